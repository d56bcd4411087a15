// The internal side of file loading: the root converted to a chosen type,
// which KelvoGetFileInfo uses with the library's file-info definition.
#ifndef KELVO_FILE_INTERNAL_H
#define KELVO_FILE_INTERNAL_H

#include "kelvo2/kelvo2_file.h"
#include "file/kelvo_platform_conversion.h"

namespace kelvo {

// Compressed sections expanding further than this per stored byte are
// refused before their block is allocated. The Fenwa1 encoder stays below
// 1:310,000 even on a GiB of zeros.
constexpr kelvo_int64 MaxExpansionPerStoredByte = 1 << 20;

// What the library's fix-ups did to one loaded section, kept with it (in the
// file's AppliedFixups) so that KelvoCheckFileDataTree can tell the words a
// pointer fix-up wrote from the bytes of objects and strings: a bit per
// 4-byte word (word / 32, bit word % 32), and the marshalling fix-ups that
// were applied, in native order.
struct applied_fixups {
    kelvo_uint32 *WrittenWords;
    kelvo_uint32 WordCount;
    kelvo_marshalling_fixup *Marshalling;
    kelvo_int32 MarshallingCount;
};

// A section's record, or null when nothing kept one: the section is not
// loaded, or was fixed up other than through the library's loader.
applied_fixups const *GetAppliedFixups(kelvo_file const *File, kelvo_int32 SectionIndex);

// The root as TargetType: the root object itself when the file's tag is
// TargetTag and its stored definition equals TargetType, names included;
// else a tree converted once (with a warning) and kept in the file's
// ConversionBuffer. Null when the root or the conversion fails.
void *GetFileRootAs(kelvo_file *File, kelvo_data_type_definition const *TargetType,
                    kelvo_uint32 TargetTag);

// Reads every section of a partial file in the file's own byte order (a
// byte-reversed file's sections are not reversed) with its pointer fix-ups,
// as platform conversion takes them, and its marshalling fix-ups when asked.
// A section whose fix-ups cannot be read is dropped. False only when the
// arrays cannot be allocated.
bool ReadSectionsForConversion(kelvo_file_reader *Reader, kelvo_file *File, fixup_arrays &Arrays,
                               bool WithMarshallingFixups);

// Whether the CRC the file's header stores is that of the bytes it covers.
// The header is read with the loader's checks; Computed, when given, tells a
// mismatch from a header or allocation fault (those are reported).
bool FileCRCIsValid(kelvo_file_reader *Reader, bool *Computed = nullptr);

} // namespace kelvo

#endif
