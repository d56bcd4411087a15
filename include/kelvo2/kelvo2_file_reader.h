/* kelvo2: file readers. A reader reads at most a number of bytes at an
   absolute position; applications may supply their own. */
#ifndef KELVO2_FILE_READER_H
#define KELVO2_FILE_READER_H

#include "kelvo2_types.h"

typedef struct kelvo_file_reader kelvo_file_reader;

typedef void KELVO_CALLBACK kelvo_close_file_reader_callback(char const *SourceFileName,
                                                             kelvo_int32 SourceLineNumber,
                                                             kelvo_file_reader *Reader);
/* Returns the bytes read: 0 at or after the end, or on failure. */
typedef kelvo_int32 KELVO_CALLBACK kelvo_read_at_most_callback(char const *SourceFileName,
                                                               kelvo_int32 SourceLineNumber,
                                                               kelvo_file_reader *Reader,
                                                               kelvo_int32 FilePosition,
                                                               kelvo_int32 UInt8Count,
                                                               void *Buffer);
typedef kelvo_file_reader *KELVO_CALLBACK kelvo_open_file_reader_callback(
    char const *SourceFileName, kelvo_int32 SourceLineNumber, char const *FileNameToOpen);

/* The common head of every reader; implementations append their own fields. */
struct kelvo_file_reader {
    char const *SourceFileName;
    kelvo_int32 SourceLineNumber;
    kelvo_close_file_reader_callback *CloseFileReaderCallback;
    kelvo_read_at_most_callback *ReadAtMostCallback;
};

KELVO_API void KelvoInitializeFileReader(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                         kelvo_close_file_reader_callback *CloseFileReaderCallback,
                                         kelvo_read_at_most_callback *ReadAtMostCallback,
                                         kelvo_file_reader *Reader);
KELVO_API kelvo_file_reader *KelvoCreatePlatformFileReader(char const *SourceFileName,
                                                           kelvo_int32 SourceLineNumber,
                                                           char const *FileNameToOpen);
KELVO_API kelvo_open_file_reader_callback *KelvoGetDefaultFileReaderOpenCallback(void);
KELVO_API void KelvoSetDefaultFileReaderOpenCallback(kelvo_open_file_reader_callback *Callback);

/* The reader does not own Memory; it covers file positions
   [Offset, Offset + MemorySize). */
KELVO_API kelvo_file_reader *KelvoCreateMemoryFileReader(char const *SourceFileName,
                                                         kelvo_int32 SourceLineNumber,
                                                         kelvo_int32 Offset, kelvo_int32 MemorySize,
                                                         void const *Memory);

#define KelvoOpenFileReader(FileNameToOpen)                                                    \
    (*KelvoGetDefaultFileReaderOpenCallback())(__FILE__, __LINE__, FileNameToOpen)
#define KelvoCloseFileReader(Reader)                                                           \
    ((Reader) ? (*(Reader)->CloseFileReaderCallback)(__FILE__, __LINE__, Reader) : (void)0)
#define KelvoReadAtMost(Reader, Pos, Count, Buffer)                                            \
    (*(Reader)->ReadAtMostCallback)(__FILE__, __LINE__, Reader, Pos, Count, Buffer)

#endif
