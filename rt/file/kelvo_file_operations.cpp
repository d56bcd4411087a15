// Operations built on readers and writers: reading exactly, copying a stream
// into a writer, deleting a file, replacing a file whole, and the temporary
// directory.
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

bool ReadExactly(kelvo_file_reader *Reader, kelvo_int64 Position, kelvo_int64 Size, void *Buffer) {
    if (Position < 0 || Size < 0 || Position + Size > INT32_MAX) {
        return false;
    }
    kelvo_uint8 *Bytes = static_cast<kelvo_uint8 *>(Buffer);
    while (Size > 0) {
        kelvo_int32 Read = KelvoReadAtMost(Reader, (kelvo_int32)Position, (kelvo_int32)Size, Bytes);
        if (Read <= 0 || Read > Size) {
            return false;
        }
        Bytes += Read;
        Position += Read;
        Size -= Read;
    }
    return true;
}

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

bool BeginReplacement(char const *FileName, file_replacement &Replacement) {
    Replacement.Writer = nullptr;
    Replacement.TemporaryName[0] = 0;
    KELVO_CHECK_NOT_NULL(FileName, KelvoFileWritingLogMessage, false);
    if (!PlatformCreateFileBeside(FileName, Replacement.TemporaryName, ReplacementPathSize)) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Unable to create a temporary file beside %s", KELVO_HERE, FileName);
        return false;
    }
    Replacement.Writer =
        KelvoCreatePlatformFileWriter(KELVO_HERE, Replacement.TemporaryName, 1);
    if (!Replacement.Writer) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage, "%s(%d): Unable to open %s for writing",
            KELVO_HERE, Replacement.TemporaryName);
        AbandonReplacement(Replacement);
        return false;
    }
    return true;
}

bool CommitReplacement(file_replacement &Replacement, char const *FileName) {
    KelvoDeleteFileWriter(Replacement.Writer);
    Replacement.Writer = nullptr;
    if (!PlatformReplaceFile(Replacement.TemporaryName, FileName)) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Unable to replace %s with %s", KELVO_HERE, FileName,
            Replacement.TemporaryName);
        AbandonReplacement(Replacement);
        return false;
    }
    Replacement.TemporaryName[0] = 0;
    return true;
}

void AbandonReplacement(file_replacement &Replacement) {
    KelvoDeleteFileWriter(Replacement.Writer);
    Replacement.Writer = nullptr;
    if (Replacement.TemporaryName[0]) {
        PlatformDeleteFile(Replacement.TemporaryName);
        Replacement.TemporaryName[0] = 0;
    }
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
