// Writers: the common head with its CRC steps, the process-wide open
// callback, the seek and alignment helpers and the memory writer. The
// operating-system writer lives in the platform layer.
//
// Messages inside writer operations name the caller's source location, which
// every operation receives, rather than this module's.
#include "file/kelvo_file_writer.h"
#include "foundation/kelvo_counters.h"

#include "foundation/kelvo_crc.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo_platform.h"

#include <new>

namespace {

constexpr kelvo_int64 Int32Max = 0x7fffffff;

kelvo_open_file_writer_callback *WriterOpenCallback = &KelvoCreatePlatformFileWriter;

kelvo::memory_file_writer *AsMemoryWriter(kelvo_file_writer *Writer) {
    return reinterpret_cast<kelvo::memory_file_writer *>(Writer);
}

// Makes room for Needed bytes, in whole steps of the granularity. On failure
// the writer is unchanged.
bool GrowToHold(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                kelvo::memory_file_writer &Writer, kelvo_int32 Needed) {
    if (Needed <= Writer.Capacity) {
        return true;
    }
    kelvo_int64 Steps = ((kelvo_int64)Needed + Writer.Granularity - 1) / Writer.Granularity;
    kelvo_int64 NewCapacity = Steps * Writer.Granularity;
    if (NewCapacity > Int32Max) {
        NewCapacity = Needed; // the last whole step would not fit in 32 bits
    }
    kelvo_uint8 *NewBuffer = static_cast<kelvo_uint8 *>(kelvo::CallAllocate(
        SourceFileName, SourceLineNumber, kelvo::DefaultAlignment, (kelvo_int32)NewCapacity));
    if (!NewBuffer) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                   "%s(%d): Unable to grow memory stream to requested size [r: %d curr: %d]",
                   SourceFileName, SourceLineNumber, Needed, Writer.Capacity);
        return false;
    }
    if (Writer.Buffer) {
        kelvo::Copy(Writer.Size, Writer.Buffer, NewBuffer);
        kelvo::CallDeallocate(SourceFileName, SourceLineNumber, Writer.Buffer);
    }
    Writer.Buffer = NewBuffer;
    Writer.Capacity = (kelvo_int32)NewCapacity;
    return true;
}

void ReportPastSizeLimit(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                         kelvo_int64 Target) {
    kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
               "%s(%d): Position %I64d is beyond the 32-bit range of a memory stream",
               SourceFileName, SourceLineNumber, Target);
}

void KELVO_CALLBACK MemoryDeleteWriter(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                       kelvo_file_writer *Writer) {
    kelvo::memory_file_writer *Memory = AsMemoryWriter(Writer);
    if (Memory->Buffer) {
        kelvo::CallDeallocate(SourceFileName, SourceLineNumber, Memory->Buffer);
    }
    kelvo::CallDeallocate(SourceFileName, SourceLineNumber, Memory);
}

kelvo_int32 KELVO_CALLBACK MemorySeekWriter(char const *SourceFileName,
                                            kelvo_int32 SourceLineNumber, kelvo_file_writer *Writer,
                                            kelvo_int32 OffsetInUInt8s,
                                            kelvo_file_writer_seek_type SeekType) {
    kelvo::memory_file_writer &Memory = *AsMemoryWriter(Writer);
    kelvo_int64 Target;
    switch (SeekType) {
    case KelvoSeekStart:
        Target = OffsetInUInt8s;
        break;
    case KelvoSeekEnd:
        // End plus offset, as the operating-system writer does, so that a
        // caller lands on the same byte whichever writer it was handed.
        Target = (kelvo_int64)Memory.Size + OffsetInUInt8s;
        break;
    case KelvoSeekCurrent:
        Target = (kelvo_int64)Memory.Position + OffsetInUInt8s;
        break;
    default:
        return 0;
    }
    if (Target < 0) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                   "%s(%d): Attempting to seek before beginning of a memory stream [r: %d]",
                   SourceFileName, SourceLineNumber, (kelvo_int32)Target);
        return 0;
    }
    if (Target > Int32Max) {
        ReportPastSizeLimit(SourceFileName, SourceLineNumber, Target);
        return 0;
    }
    if (!GrowToHold(SourceFileName, SourceLineNumber, Memory, (kelvo_int32)Target)) {
        return 0;
    }
    Memory.Position = (kelvo_int32)Target;
    return Memory.Position;
}

kelvo_bool32 KELVO_CALLBACK MemoryWrite(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                        kelvo_file_writer *Writer, kelvo_int32 UInt8Count,
                                        void const *WritePointer) {
    KELVO_TIMED_BLOCK("MemoryWrite");
    kelvo::memory_file_writer &Memory = *AsMemoryWriter(Writer);
    if (UInt8Count < 0) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                   "%s(%d): UInt8Count >= 0 was not true", SourceFileName, SourceLineNumber);
        return 0;
    }
    if (UInt8Count == 0) {
        return 1;
    }
    KELVO_CHECK_CALLER_NOT_NULL(WritePointer, KelvoFileWritingLogMessage, 0);
    kelvo_int64 End = (kelvo_int64)Memory.Position + UInt8Count;
    if (End > Int32Max) {
        ReportPastSizeLimit(SourceFileName, SourceLineNumber, End);
        return 0;
    }
    if (!GrowToHold(SourceFileName, SourceLineNumber, Memory, (kelvo_int32)End)) {
        return 0;
    }
    // A write past the end after a seek leaves a gap; zero it, as a file
    // system does, so that no stale heap bytes reach the stream.
    if (Memory.Position > Memory.Size) {
        kelvo::SetUInt8(Memory.Position - Memory.Size, 0, Memory.Buffer + Memory.Size);
    }
    kelvo::Copy(UInt8Count, WritePointer, Memory.Buffer + Memory.Position);
    kelvo::AddToWriterCRC(Writer, UInt8Count, WritePointer);
    Memory.Position = (kelvo_int32)End;
    if (Memory.Position > Memory.Size) {
        Memory.Size = Memory.Position;
    }
    return 1;
}

kelvo_int32 SeekThroughStub(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                            kelvo_file_writer *Writer, kelvo_int32 OffsetInUInt8s,
                            kelvo_file_writer_seek_type SeekType) {
    KELVO_CHECK_CALLER_NOT_NULL(Writer, KelvoFileWritingLogMessage, 0);
    return Writer->SeekWriterCallback(SourceFileName, SourceLineNumber, Writer, OffsetInUInt8s,
                                      SeekType);
}

} // namespace

namespace kelvo {

void KELVO_CALLBACK BeginWriterCRC(char const *, kelvo_int32, kelvo_file_writer *Writer) {
    Writer->CRCing = 1;
    Writer->CRC = 0xFFFFFFFFu;
}

kelvo_uint32 KELVO_CALLBACK EndWriterCRC(char const *, kelvo_int32, kelvo_file_writer *Writer) {
    Writer->CRCing = 0;
    Writer->CRC = ~Writer->CRC;
    return Writer->CRC;
}

void AddToWriterCRC(kelvo_file_writer *Writer, kelvo_int32 UInt8Count, void const *Data) {
    if (Writer->CRCing && UInt8Count > 0) {
        Writer->CRC = UpdateCRC32(Writer->CRC, (kelvo_uint32)UInt8Count, Data);
    }
}

bool IsMemoryWriter(kelvo_file_writer const *Writer) {
    return Writer && Writer->DeleteFileWriterCallback == &MemoryDeleteWriter;
}

} // namespace kelvo

KELVO_API void
KelvoInitializeFileWriter(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                          kelvo_delete_file_writer_callback *DeleteFileWriterCallback,
                          kelvo_seek_file_writer_callback *SeekWriterCallback,
                          kelvo_write_file_writer_callback *WriteCallback,
                          kelvo_begin_writer_crc_callback *BeginWriterCRCCallback,
                          kelvo_end_writer_crc_callback *EndWriterCRCCallback,
                          kelvo_file_writer *Writer) {
    KELVO_CHECK_CALLER_NOT_NULL(Writer, KelvoFileWritingLogMessage, KELVO_NOTHING);
    *Writer = {SourceFileName,       SourceLineNumber, DeleteFileWriterCallback,
               SeekWriterCallback,   WriteCallback,    BeginWriterCRCCallback,
               EndWriterCRCCallback, /* CRCing */ 0,   /* CRC */ 0};
}

KELVO_API kelvo_file_writer *KelvoCreatePlatformFileWriter(char const *SourceFileName,
                                                           kelvo_int32 SourceLineNumber,
                                                           char const *FileNameToOpen,
                                                           kelvo_bool32 EraseExisting) {
    KELVO_CHECK_CALLER_NOT_NULL(FileNameToOpen, KelvoFileWritingLogMessage, nullptr);
    return kelvo::PlatformCreateFileWriter(SourceFileName, SourceLineNumber, FileNameToOpen,
                                           EraseExisting);
}

KELVO_API kelvo_open_file_writer_callback *KelvoGetDefaultFileWriterOpenCallback(void) {
    return WriterOpenCallback;
}

KELVO_API void KelvoSetDefaultFileWriterOpenCallback(kelvo_open_file_writer_callback *Callback) {
    // Null puts the default back rather than leaving a call through null behind.
    WriterOpenCallback = Callback ? Callback : &KelvoCreatePlatformFileWriter;
}

// The three seek stubs differ only in where they seek from.
#define KELVO_SEEK_STUB(Name, Origin)                                                              \
    KELVO_API kelvo_int32 Name(char const *SourceFileName, kelvo_int32 SourceLineNumber,           \
                               kelvo_file_writer *Writer, kelvo_int32 OffsetInUInt8s) {            \
        return SeekThroughStub(SourceFileName, SourceLineNumber, Writer, OffsetInUInt8s, Origin);  \
    }
KELVO_SEEK_STUB(KelvoSeekWriterFromStartStub, KelvoSeekStart)
KELVO_SEEK_STUB(KelvoSeekWriterFromEndStub, KelvoSeekEnd)
KELVO_SEEK_STUB(KelvoSeekWriterFromCurrentPositionStub, KelvoSeekCurrent)
#undef KELVO_SEEK_STUB

KELVO_API kelvo_int32 KelvoPredictWriterAlignment(kelvo_int32 Position) {
    return (4 - (Position & 3)) & 3;
}

KELVO_API kelvo_int32 KelvoAlignWriter(kelvo_file_writer *Writer) {
    KELVO_CHECK_NOT_NULL(Writer, KelvoFileWritingLogMessage, 0);
    static kelvo_uint8 const Zeros[4] = {0, 0, 0, 0};
    kelvo_int32 Position = KelvoSeekWriterFromCurrentPosition(Writer, 0);
    kelvo_int32 Padding = KelvoPredictWriterAlignment(Position);
    if (Padding > 0 && !KelvoWrite(Writer, Padding, Zeros)) {
        return 0;
    }
    return Padding;
}

KELVO_API kelvo_file_writer *KelvoCreateMemoryFileWriter(char const *SourceFileName,
                                                         kelvo_int32 SourceLineNumber,
                                                         kelvo_int32 Granularity) {
    if (Granularity < 1) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                   "%s(%d): Granularity %d of a memory writer is less than 1", SourceFileName,
                   SourceLineNumber, Granularity);
        return nullptr;
    }
    kelvo::memory_file_writer *Writer = static_cast<kelvo::memory_file_writer *>(
        kelvo::CallAllocate(SourceFileName, SourceLineNumber, kelvo::DefaultAlignment,
                            sizeof(kelvo::memory_file_writer)));
    if (!Writer) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                   "%s(%d): Unable to allocate a memory writer...", SourceFileName,
                   SourceLineNumber);
        return nullptr;
    }
    new (Writer) kelvo::memory_file_writer;
    KelvoInitializeFileWriter(SourceFileName, SourceLineNumber, &MemoryDeleteWriter,
                              &MemorySeekWriter, &MemoryWrite, &kelvo::BeginWriterCRC,
                              &kelvo::EndWriterCRC, &Writer->Head);
    Writer->Granularity = Granularity;
    return &Writer->Head;
}

KELVO_API kelvo_bool32 KelvoStealMemoryWriterBuffer(kelvo_file_writer *Writer, kelvo_uint8 **Buffer,
                                                    kelvo_int32 *BufferSize) {
    KELVO_CHECK_NOT_NULL(Buffer, KelvoFileWritingLogMessage, 0);
    KELVO_CHECK_NOT_NULL(BufferSize, KelvoFileWritingLogMessage, 0);
    *Buffer = nullptr;
    *BufferSize = 0;
    // Any other writer has a different record behind its head.
    KELVO_CHECK(kelvo::IsMemoryWriter(Writer), KelvoFileWritingLogMessage, 0);
    kelvo::memory_file_writer &Memory = *AsMemoryWriter(Writer);
    if (Memory.Stolen) {
        return 0;
    }
    *Buffer = Memory.Buffer;
    *BufferSize = Memory.Size;
    Memory.Buffer = nullptr;
    Memory.Capacity = 0;
    Memory.Size = 0;
    Memory.Position = 0;
    Memory.Stolen = true;
    return 1;
}

KELVO_API void KelvoFreeMemoryWriterBuffer(kelvo_uint8 *Buffer) {
    if (Buffer) {
        KELVO_DEALLOCATE(Buffer);
    }
}
