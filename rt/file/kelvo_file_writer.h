// The internal side of writers: the CRC steps every writer shares and the
// memory writer's record, which the file builder and the tests look into.
#ifndef KELVO_FILE_WRITER_INTERNAL_H
#define KELVO_FILE_WRITER_INTERNAL_H

#include "kelvo2/kelvo2_file_writer.h"

namespace kelvo {

// The begin and end CRC callbacks of the library's own writers.
void KELVO_CALLBACK BeginWriterCRC(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                   kelvo_file_writer *Writer);
kelvo_uint32 KELVO_CALLBACK EndWriterCRC(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                         kelvo_file_writer *Writer);
// Adds written bytes to the running CRC while the writer is CRCing.
void AddToWriterCRC(kelvo_file_writer *Writer, kelvo_int32 UInt8Count, void const *Data);

struct memory_file_writer {
    kelvo_file_writer Head;
    bool Stolen = false;
    kelvo_uint8 *Buffer = nullptr; // owned until stolen; null until the first growth
    kelvo_int32 Capacity = 0;
    kelvo_int32 Granularity = 1;
    kelvo_int32 Position = 0;
    kelvo_int32 Size = 0; // the highest position ever written
};

// True when the writer was made by KelvoCreateMemoryFileWriter.
bool IsMemoryWriter(kelvo_file_writer const *Writer);

} // namespace kelvo

#endif
