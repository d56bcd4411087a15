// The one writer of the file layout: magic value record, header, section
// array, then per section its stored bytes, then per section its pointer
// fix-ups, then per section its marshalling fix-ups, each part started on a
// 4-byte boundary, with the CRC over everything after the header. The file
// builder and the file rewriters (recompression, platform conversion) hand
// it their parts.
#ifndef KELVO_FILE_LAYOUT_INTERNAL_H
#define KELVO_FILE_LAYOUT_INTERNAL_H

#include "kelvo2/kelvo2_file_format.h"
#include "kelvo2/kelvo2_file_writer.h"

namespace kelvo {

// Receives one part: stored bytes as they are, records of 32-bit words in
// native order (written in the file's byte order).
struct layout_output {
    kelvo_file_writer *Writer;
    bool Reversed;
    bool OK;
    kelvo_int64 Written; // bytes of the current part

    void Bytes(kelvo_int64 Count, void const *Data);
    void Words(kelvo_int64 Count, void const *Data);
};

enum class layout_part { Data, PointerFixups, MarshallingFixups };

// Writes one part of one section; false when it cannot.
using layout_part_writer = bool (*)(void *Context, kelvo_int32 Section, layout_part Part,
                                    layout_output &Out);

struct file_layout {
    kelvo_int32 PointerSizeInBits; // of the file's platform
    bool IsLittleEndian;
    // Root references, type tag and extra tags; the rest is the writer's.
    kelvo_file_header Header;
    kelvo_int32 SectionCount;
    // In native order: every field but the three file offsets, which the
    // writer sets.
    kelvo_section_header *Sections;
};

// Writes the file from the writer's current position and leaves the writer
// at its end. False (reported) when a write fails, the platform is unknown,
// the file would not fit 2 GiB, or a part's size differs from what its
// section header counts.
bool WriteFileLayout(kelvo_file_writer *Writer, file_layout &Layout, layout_part_writer WritePart,
                     void *Context);

} // namespace kelvo

#endif
