// Operations built on readers and writers: copying a stream into a writer,
// deleting a file and the temporary directory.
#include "file/kelvo_file_operations.h"

#include "foundation/kelvo_log.h"
#include "kelvo_platform.h"

namespace {

constexpr kelvo_int32 TemporaryPathSize = 260;

char TemporaryPath[TemporaryPathSize];
bool TemporaryPathKnown = false;

// Forward slashes only, and no trailing one, so callers can add "/Name".
void NormaliseTemporaryPath(char *Path) {
    kelvo_int32 Length = 0;
    for (; Path[Length]; ++Length) {
        if (Path[Length] == '\\') {
            Path[Length] = '/';
        }
    }
    while (Length > 0 && Path[Length - 1] == '/') {
        Path[--Length] = 0;
    }
}

} // namespace

namespace kelvo {

bool CopyReaderToWriter(kelvo_file_writer *Writer, kelvo_file_reader *Reader,
                        kelvo_int32 BufferSize, void *Buffer, kelvo_int32 *ByteCount) {
    if (ByteCount) {
        *ByteCount = 0;
    }
    KELVO_CHECK_NOT_NULL(Writer, KelvoFileWritingLogMessage, false);
    KELVO_CHECK_NOT_NULL(Reader, KelvoFileWritingLogMessage, false);
    KELVO_CHECK_NOT_NULL(Buffer, KelvoFileWritingLogMessage, false);
    KELVO_CHECK(BufferSize > 0, KelvoFileWritingLogMessage, false);
    kelvo_int32 Position = 0;
    bool Written = true;
    for (;;) {
        // Positions are 32-bit: never ask for bytes past the last one.
        kelvo_int32 Request = BufferSize;
        if (Request > 0x7fffffff - Position) {
            Request = 0x7fffffff - Position;
        }
        if (Request == 0) {
            break;
        }
        kelvo_int32 Read = KelvoReadAtMost(Reader, Position, Request, Buffer);
        // An application's reader may misbehave; trust no more than was asked.
        if (Read <= 0 || Read > Request) {
            break;
        }
        Position += Read;
        if (!KelvoWrite(Writer, Read, Buffer)) {
            Written = false;
            break;
        }
    }
    if (ByteCount) {
        *ByteCount = Position;
    }
    return Written;
}

bool CopyFileToWriter(kelvo_file_writer *Writer, char const *FileName, kelvo_int32 BufferSize,
                      void *Buffer, kelvo_int32 *ByteCount) {
    if (ByteCount) {
        *ByteCount = 0;
    }
    KELVO_CHECK_NOT_NULL(FileName, KelvoFileWritingLogMessage, false);
    kelvo_file_reader *Reader = KelvoOpenFileReader(FileName);
    if (!Reader) {
        return false;
    }
    bool Result = CopyReaderToWriter(Writer, Reader, BufferSize, Buffer, ByteCount);
    KelvoCloseFileReader(Reader);
    return Result;
}

bool DeleteFile(char const *FileName) {
    KELVO_CHECK_NOT_NULL(FileName, KelvoFileWritingLogMessage, false);
    return PlatformDeleteFile(FileName);
}

} // namespace kelvo

KELVO_API char const *KelvoGetTemporaryDirectory(void) {
    if (!TemporaryPathKnown) {
        if (!kelvo::PlatformGetTemporaryPath(TemporaryPath, TemporaryPathSize)) {
            // No usable system answer: the current directory still takes "/Name".
            TemporaryPath[0] = '.';
            TemporaryPath[1] = 0;
        }
        NormaliseTemporaryPath(TemporaryPath);
        TemporaryPathKnown = true;
    }
    return TemporaryPath;
}
