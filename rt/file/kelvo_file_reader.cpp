// Readers: the common head, the process-wide open callback and the memory
// reader. The operating-system reader lives in the platform layer.
//
// Messages inside reader operations name the caller's source location, which
// every operation receives, rather than this module's.
#include "kelvo2/kelvo2_file_reader.h"

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo_platform.h"

namespace {

kelvo_open_file_reader_callback *ReaderOpenCallback = &KelvoCreatePlatformFileReader;

struct memory_file_reader {
    kelvo_file_reader Head;
    kelvo_int32 Offset; // the file position at which Data begins
    kelvo_int32 Size;
    void const *Data; // not owned
};

kelvo_int32 KELVO_CALLBACK MemoryReadAtMost(char const *SourceFileName,
                                            kelvo_int32 SourceLineNumber, kelvo_file_reader *Reader,
                                            kelvo_int32 FilePosition, kelvo_int32 UInt8Count,
                                            void *Buffer) {
    memory_file_reader const *Memory = reinterpret_cast<memory_file_reader const *>(Reader);
    if (UInt8Count <= 0) {
        return 0;
    }
    KELVO_CHECK_CALLER_NOT_NULL(Buffer, KelvoFileReadingLogMessage, 0);
    // 64 bits, so that no position or count can wrap into the block.
    kelvo_int64 Start = (kelvo_int64)FilePosition - Memory->Offset;
    if (Start < 0 || Start >= Memory->Size) {
        return 0;
    }
    kelvo_int64 Remaining = Memory->Size - Start;
    kelvo_int32 Count = UInt8Count < Remaining ? UInt8Count : (kelvo_int32)Remaining;
    kelvo::Copy(Count, static_cast<kelvo_uint8 const *>(Memory->Data) + Start, Buffer);
    return Count;
}

void KELVO_CALLBACK MemoryCloseReader(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                      kelvo_file_reader *Reader) {
    kelvo::CallDeallocate(SourceFileName, SourceLineNumber, Reader);
}

} // namespace

KELVO_API void KelvoInitializeFileReader(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                         kelvo_close_file_reader_callback *CloseFileReaderCallback,
                                         kelvo_read_at_most_callback *ReadAtMostCallback,
                                         kelvo_file_reader *Reader) {
    KELVO_CHECK_CALLER_NOT_NULL(Reader, KelvoFileReadingLogMessage, KELVO_NOTHING);
    *Reader = {SourceFileName, SourceLineNumber, CloseFileReaderCallback, ReadAtMostCallback};
}

KELVO_API kelvo_file_reader *KelvoCreatePlatformFileReader(char const *SourceFileName,
                                                           kelvo_int32 SourceLineNumber,
                                                           char const *FileNameToOpen) {
    KELVO_CHECK_CALLER_NOT_NULL(FileNameToOpen, KelvoFileReadingLogMessage, nullptr);
    return kelvo::PlatformCreateFileReader(SourceFileName, SourceLineNumber, FileNameToOpen);
}

KELVO_API kelvo_open_file_reader_callback *KelvoGetDefaultFileReaderOpenCallback(void) {
    return ReaderOpenCallback;
}

KELVO_API void KelvoSetDefaultFileReaderOpenCallback(kelvo_open_file_reader_callback *Callback) {
    // Every open goes through this pointer: null puts the default back rather
    // than leaving a call through null behind.
    ReaderOpenCallback = Callback ? Callback : &KelvoCreatePlatformFileReader;
}

KELVO_API kelvo_file_reader *KelvoCreateMemoryFileReader(char const *SourceFileName,
                                                         kelvo_int32 SourceLineNumber,
                                                         kelvo_int32 Offset, kelvo_int32 MemorySize,
                                                         void const *Memory) {
    if (MemorySize < 0) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                   "%s(%d): MemorySize >= 0 was not true", SourceFileName, SourceLineNumber);
        return nullptr;
    }
    if (!Memory && MemorySize > 0) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                   "%s(%d): Memory is not allowed to be 0", SourceFileName, SourceLineNumber);
        return nullptr;
    }
    memory_file_reader *Reader = static_cast<memory_file_reader *>(kelvo::CallAllocate(
        SourceFileName, SourceLineNumber, kelvo::DefaultAlignment, sizeof(memory_file_reader)));
    if (!Reader) {
        return nullptr;
    }
    KelvoInitializeFileReader(SourceFileName, SourceLineNumber, &MemoryCloseReader,
                              &MemoryReadAtMost, &Reader->Head);
    Reader->Offset = Offset;
    Reader->Size = MemorySize;
    Reader->Data = Memory;
    return &Reader->Head;
}
