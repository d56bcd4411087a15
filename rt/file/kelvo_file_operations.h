// File operations built on readers and writers.
#ifndef KELVO_FILE_OPERATIONS_H
#define KELVO_FILE_OPERATIONS_H

#include "kelvo2/kelvo2_file_reader.h"
#include "kelvo2/kelvo2_file_writer.h"

namespace kelvo {

// Size bytes at Position, across short reads; false when the reader stops
// first. Reader positions are int32, so nothing beyond reaches a file.
bool ReadExactly(kelvo_file_reader *Reader, kelvo_int64 Position, kelvo_int64 Size, void *Buffer);

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

// A file written whole or not at all: the writer goes to a fresh temporary
// file beside FileName, which CommitReplacement renames over FileName (an
// existing file, the writer's own input included, is replaced only then)
// and AbandonReplacement deletes. Both close the writer. Failures are
// reported with the file's name.
constexpr kelvo_int32 ReplacementPathSize = 1024;
struct file_replacement {
    kelvo_file_writer *Writer;
    char TemporaryName[ReplacementPathSize];
};
bool BeginReplacement(char const *FileName, file_replacement &Replacement);
bool CommitReplacement(file_replacement &Replacement, char const *FileName);
void AbandonReplacement(file_replacement &Replacement);

} // namespace kelvo

#endif
