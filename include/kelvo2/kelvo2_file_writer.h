/* kelvo2: file writers. A writer seeks, writes and keeps a running CRC-32 of
   what it writes; applications may supply their own. */
#ifndef KELVO2_FILE_WRITER_H
#define KELVO2_FILE_WRITER_H

#include "kelvo2_types.h"

typedef struct kelvo_file_writer kelvo_file_writer;

typedef enum kelvo_file_writer_seek_type {
    KelvoSeekStart = 0,
    KelvoSeekEnd = 1,
    KelvoSeekCurrent = 2,
    KelvoFileWriterSeekTypeForceInt = 0x7fffffff
} kelvo_file_writer_seek_type;

typedef void KELVO_CALLBACK kelvo_delete_file_writer_callback(char const *SourceFileName,
                                                              kelvo_int32 SourceLineNumber,
                                                              kelvo_file_writer *Writer);
typedef kelvo_int32 KELVO_CALLBACK kelvo_seek_file_writer_callback(
    char const *SourceFileName, kelvo_int32 SourceLineNumber, kelvo_file_writer *Writer,
    kelvo_int32 OffsetInUInt8s, kelvo_file_writer_seek_type SeekType);
typedef kelvo_bool32 KELVO_CALLBACK kelvo_write_file_writer_callback(
    char const *SourceFileName, kelvo_int32 SourceLineNumber, kelvo_file_writer *Writer,
    kelvo_int32 UInt8Count, void const *WritePointer);
typedef void KELVO_CALLBACK kelvo_begin_writer_crc_callback(char const *SourceFileName,
                                                            kelvo_int32 SourceLineNumber,
                                                            kelvo_file_writer *Writer);
typedef kelvo_uint32 KELVO_CALLBACK kelvo_end_writer_crc_callback(char const *SourceFileName,
                                                                  kelvo_int32 SourceLineNumber,
                                                                  kelvo_file_writer *Writer);
typedef kelvo_file_writer *KELVO_CALLBACK kelvo_open_file_writer_callback(
    char const *SourceFileName, kelvo_int32 SourceLineNumber, char const *FileNameToOpen,
    kelvo_bool32 EraseExisting);

/* The common head of every writer; implementations append their own fields. */
struct kelvo_file_writer {
    char const *SourceFileName;
    kelvo_int32 SourceLineNumber;
    kelvo_delete_file_writer_callback *DeleteFileWriterCallback;
    kelvo_seek_file_writer_callback *SeekWriterCallback;
    kelvo_write_file_writer_callback *WriteCallback;
    kelvo_begin_writer_crc_callback *BeginWriterCRCCallback;
    kelvo_end_writer_crc_callback *EndWriterCRCCallback;
    kelvo_bool32 CRCing;
    kelvo_uint32 CRC;
};

KELVO_API void KelvoInitializeFileWriter(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                         kelvo_delete_file_writer_callback *DeleteFileWriterCallback,
                                         kelvo_seek_file_writer_callback *SeekWriterCallback,
                                         kelvo_write_file_writer_callback *WriteCallback,
                                         kelvo_begin_writer_crc_callback *BeginWriterCRCCallback,
                                         kelvo_end_writer_crc_callback *EndWriterCRCCallback,
                                         kelvo_file_writer *Writer);
KELVO_API kelvo_file_writer *KelvoCreatePlatformFileWriter(char const *SourceFileName,
                                                           kelvo_int32 SourceLineNumber,
                                                           char const *FileNameToOpen,
                                                           kelvo_bool32 EraseExisting);
KELVO_API kelvo_open_file_writer_callback *KelvoGetDefaultFileWriterOpenCallback(void);
KELVO_API void KelvoSetDefaultFileWriterOpenCallback(kelvo_open_file_writer_callback *Callback);

KELVO_API kelvo_int32 KelvoSeekWriterFromStartStub(char const *SourceFileName,
                                                   kelvo_int32 SourceLineNumber,
                                                   kelvo_file_writer *Writer,
                                                   kelvo_int32 OffsetInUInt8s);
KELVO_API kelvo_int32 KelvoSeekWriterFromEndStub(char const *SourceFileName,
                                                 kelvo_int32 SourceLineNumber,
                                                 kelvo_file_writer *Writer,
                                                 kelvo_int32 OffsetInUInt8s);
KELVO_API kelvo_int32 KelvoSeekWriterFromCurrentPositionStub(char const *SourceFileName,
                                                             kelvo_int32 SourceLineNumber,
                                                             kelvo_file_writer *Writer,
                                                             kelvo_int32 OffsetInUInt8s);
KELVO_API kelvo_int32 KelvoPredictWriterAlignment(kelvo_int32 Position);
KELVO_API kelvo_int32 KelvoAlignWriter(kelvo_file_writer *Writer);

KELVO_API kelvo_file_writer *KelvoCreateMemoryFileWriter(char const *SourceFileName,
                                                         kelvo_int32 SourceLineNumber,
                                                         kelvo_int32 Granularity);
KELVO_API kelvo_bool32 KelvoStealMemoryWriterBuffer(kelvo_file_writer *Writer,
                                                    kelvo_uint8 **Buffer, kelvo_int32 *BufferSize);
KELVO_API void KelvoFreeMemoryWriterBuffer(kelvo_uint8 *Buffer);

/* The system's temporary directory with forward slashes, without a trailing one. */
KELVO_API char const *KelvoGetTemporaryDirectory(void);

#define KelvoOpenFileWriter(FileNameToOpen, EraseExisting)                                     \
    (*KelvoGetDefaultFileWriterOpenCallback())(__FILE__, __LINE__, FileNameToOpen, EraseExisting)
#define KelvoDeleteFileWriter(Writer)                                                          \
    ((Writer) ? (*(Writer)->DeleteFileWriterCallback)(__FILE__, __LINE__, Writer) : (void)0)
#define KelvoSeekWriterFromStart(Writer, Offset)                                               \
    KelvoSeekWriterFromStartStub(__FILE__, __LINE__, Writer, Offset)
#define KelvoSeekWriterFromEnd(Writer, Offset)                                                 \
    KelvoSeekWriterFromEndStub(__FILE__, __LINE__, Writer, Offset)
#define KelvoSeekWriterFromCurrentPosition(Writer, Offset)                                     \
    KelvoSeekWriterFromCurrentPositionStub(__FILE__, __LINE__, Writer, Offset)
#define KelvoWrite(Writer, Count, Data)                                                        \
    (*(Writer)->WriteCallback)(__FILE__, __LINE__, Writer, Count, Data)
#define KelvoBeginWriterCRC(Writer)                                                            \
    (*(Writer)->BeginWriterCRCCallback)(__FILE__, __LINE__, Writer)
#define KelvoEndWriterCRC(Writer) (*(Writer)->EndWriterCRCCallback)(__FILE__, __LINE__, Writer)

#endif
