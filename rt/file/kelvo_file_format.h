// The internal side of the file layout: constants of the format, the
// identification of a magic value without a report, and the checked forms of
// the operations that the loader and platform conversion apply to files,
// which never trust an offset or a count read from one.
#ifndef KELVO_FILE_FORMAT_INTERNAL_H
#define KELVO_FILE_FORMAT_INTERNAL_H

#include "kelvo2/kelvo2_file_format.h"

namespace kelvo {

constexpr kelvo_uint32 CurrentFileFormatRevision = 6;

constexpr kelvo_int32 FileHeaderOffset = (kelvo_int32)sizeof(kelvo_file_magic_value);
constexpr kelvo_int32 FileHeaderSize = (kelvo_int32)sizeof(kelvo_file_header);

// HeaderSize of a file with this many sections: everything before the data.
constexpr kelvo_int64 HeaderSizeForSections(kelvo_int64 SectionCount) {
    return FileHeaderOffset + FileHeaderSize +
           SectionCount * (kelvo_int64)sizeof(kelvo_section_header);
}

constexpr kelvo_int32 ThisPlatformPointerSizeInBits = (kelvo_int32)sizeof(void *) * 8;
constexpr bool ThisPlatformIsLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Pointer size and byte order of a magic value; false when it is unknown,
// reported only when Report is set.
bool IdentifyMagicValue(kelvo_file_magic_value const &MagicValue, kelvo_int32 &PointerSizeInBits,
                        bool &IsLittleEndian, bool Report);

// The section array of a header block in native order (the HeaderSize bytes
// a loader reads from FileHeaderOffset): null (reported) unless the header
// and its whole array lie inside the BlockSize bytes, the array 4-aligned
// after the header.
kelvo_section_header *GetCheckedSectionArray(kelvo_file_header *Header, kelvo_int64 BlockSize);

// Whether a section header can be followed in a file of FileSize bytes: its
// stored bytes and fix-up arrays lie inside the file, its regions are in
// order inside its expanded size, which an int32 allocation rounded up to 4
// can hold, and uncompressed data is as large as it. Failures are reported.
bool CheckSectionHeader(kelvo_section_header const &Section, kelvo_int32 SectionIndex,
                        kelvo_int64 FileSize);

// The loaded sections of a file: base addresses (null where not loaded) and
// the headers whose ExpandedDataSize bounds each.
struct section_bounds {
    kelvo_int32 Count;
    void *const *Bases;
    kelvo_section_header const *Headers;
};

enum class reference_status { Resolved, NotLoaded, BadSection, BadOffset };

// Resolves a reference to ObjectSize bytes that must lie inside their
// section; Address is null unless Resolved. Nothing is reported.
reference_status ResolveReference(section_bounds const &Sections,
                                  kelvo_file_reference const &Reference, kelvo_uint32 ObjectSize,
                                  void *&Address);

// The loaded section that holds [Address, Address + Size), or -1.
kelvo_int32 FindLoadedSection(section_bounds const &Sections, void const *Address,
                              kelvo_uintaddrx Size);

// Whether a pointer fix-up's field, PointerSize bytes at its FromOffset,
// lies 4-byte aligned inside its section of SectionSize bytes. The loader
// and platform conversion skip fix-ups that fail it alike, so that files of
// either pointer size obey one rule. A failure is reported while Skipped,
// which counts them for the section, stays small.
bool PointerFieldFits(kelvo_pointer_fixup const &Fixup, kelvo_int32 FixupIndex,
                      kelvo_int32 SectionIndex, kelvo_uint32 SectionSize,
                      kelvo_int32 PointerSize, kelvo_int32 &Skipped);
// The total of a section's skipped fix-ups, when it was too many to report.
void ReportSkipTotal(char const *What, kelvo_int32 Skipped, kelvo_int32 SectionIndex);

// Checked fix-up and marshalling of one loaded section. A pointer fix-up
// whose field does not lie inside the section is skipped; one whose target
// lies outside its section writes null. A marshalling fix-up whose records
// run past the section's end, or whose type definition (with the types it
// inlines) does not lie whole inside loaded sections, is skipped. Each is
// reported under origin FileReading; the result is false when any was.
// When given, WrittenWords gets a bit (word / 32, bit word % 32) for every
// 4-byte word a pointer was written at, and Applied each marshalling fix-up
// applied (room for FixupCount), counted in AppliedCount.
bool FixUpSection(section_bounds const &Sections, kelvo_int32 SectionIndex, kelvo_int32 FixupCount,
                  kelvo_pointer_fixup const *Fixups, kelvo_uint32 *WrittenWords = nullptr);
bool MarshallSection(section_bounds const &Sections, kelvo_int32 SectionIndex,
                     kelvo_int32 FixupCount, kelvo_marshalling_fixup const *Fixups,
                     kelvo_marshalling_fixup *Applied = nullptr,
                     kelvo_int32 *AppliedCount = nullptr);

} // namespace kelvo

#endif
