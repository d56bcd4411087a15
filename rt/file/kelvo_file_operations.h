// File operations built on readers and writers.
#ifndef KELVO_FILE_OPERATIONS_H
#define KELVO_FILE_OPERATIONS_H

#include "kelvo2/kelvo2_file_reader.h"
#include "kelvo2/kelvo2_file_writer.h"

namespace kelvo {

// Copies everything the reader yields from position 0 into the writer, in
// chunks of the caller's buffer. ByteCount receives the bytes read; false when
// a write failed.
bool CopyReaderToWriter(kelvo_file_writer *Writer, kelvo_file_reader *Reader,
                        kelvo_int32 BufferSize, void *Buffer, kelvo_int32 *ByteCount);
// The same for a file opened through the reader open callback; false when it
// cannot be opened.
bool CopyFileToWriter(kelvo_file_writer *Writer, char const *FileName, kelvo_int32 BufferSize,
                      void *Buffer, kelvo_int32 *ByteCount);
bool DeleteFile(char const *FileName);

} // namespace kelvo

#endif
