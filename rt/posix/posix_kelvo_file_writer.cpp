// The operating-system file writer on POSIX: a descriptor with an exclusive
// advisory lock, so that two writers of this library never share a file.
#define _FILE_OFFSET_BITS 64 // positions are checked against 32 bits, not wrapped

#include "file/kelvo_file_writer.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

struct posix_file_writer {
    kelvo_file_writer Head;
    int Descriptor;
};

int DescriptorOf(kelvo_file_writer *Writer) {
    return reinterpret_cast<posix_file_writer *>(Writer)->Descriptor;
}

void KELVO_CALLBACK PosixDeleteFileWriter(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                          kelvo_file_writer *Writer) {
    if (close(DescriptorOf(Writer)) != 0) {
        kelvo::ReportLastSystemError(false, SourceFileName, SourceLineNumber, "close");
    }
    kelvo::CallDeallocate(SourceFileName, SourceLineNumber, Writer);
}

kelvo_int32 KELVO_CALLBACK PosixSeekWriter(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                           kelvo_file_writer *Writer, kelvo_int32 OffsetInUInt8s,
                                           kelvo_file_writer_seek_type SeekType) {
    int Whence;
    switch (SeekType) {
    case KelvoSeekStart:
        Whence = SEEK_SET;
        break;
    case KelvoSeekEnd:
        Whence = SEEK_END;
        break;
    case KelvoSeekCurrent:
        Whence = SEEK_CUR;
        break;
    default:
        return 0;
    }
    off_t Position = lseek(DescriptorOf(Writer), (off_t)OffsetInUInt8s, Whence);
    if (Position < 0) {
        kelvo::ReportLastSystemError(false, SourceFileName, SourceLineNumber, "lseek");
        return 0;
    }
    // The file pointer stays where the caller sent it (later writes land
    // there, after the existing bytes); only the answer cannot be given.
    if (Position > (off_t)0x7fffffff) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                   "%s(%d): File position %I64d is beyond the 32-bit range of a writer",
                   SourceFileName, SourceLineNumber, (kelvo_int64)Position);
        return 0;
    }
    return (kelvo_int32)Position;
}

kelvo_bool32 KELVO_CALLBACK PosixWrite(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                       kelvo_file_writer *Writer, kelvo_int32 UInt8Count,
                                       void const *WritePointer) {
    KELVO_TIMED_BLOCK("PosixWrite");
    if (UInt8Count < 0) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                   "%s(%d): UInt8Count >= 0 was not true", SourceFileName, SourceLineNumber);
        return 0;
    }
    if (UInt8Count > 0 && !WritePointer) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                   "%s(%d): WritePointer is not allowed to be 0", SourceFileName, SourceLineNumber);
        return 0;
    }
    char const *Bytes = static_cast<char const *>(WritePointer);
    kelvo_int32 Done = 0;
    while (Done < UInt8Count) {
        ssize_t Written = write(DescriptorOf(Writer), Bytes + Done, (size_t)(UInt8Count - Done));
        if (Written < 0 && errno == EINTR) {
            continue;
        }
        if (Written <= 0) {
            if (Written == 0) {
                errno = EIO; // no progress and no code: still a failure to report
            }
            kelvo::ReportLastSystemError(false, SourceFileName, SourceLineNumber, "write");
            return 0;
        }
        Done += (kelvo_int32)Written;
    }
    kelvo::AddToWriterCRC(Writer, UInt8Count, WritePointer);
    return 1;
}

} // namespace

namespace kelvo {

kelvo_file_writer *PlatformCreateFileWriter(char const *SourceFileName,
                                            kelvo_int32 SourceLineNumber, char const *FileName,
                                            kelvo_bool32 EraseExisting) {
    // The record first: a writer that cannot be made leaves no file behind.
    posix_file_writer *Writer = static_cast<posix_file_writer *>(CallAllocate(
        SourceFileName, SourceLineNumber, DefaultAlignment, sizeof(posix_file_writer)));
    if (!Writer) {
        return nullptr;
    }
    // Not O_TRUNC: the contents may belong to a writer that holds the lock,
    // so truncation waits until the lock is ours.
    int Descriptor = open(FileName, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    char const *Failed = Descriptor < 0                                     ? "open"
                         : flock(Descriptor, LOCK_EX | LOCK_NB) != 0        ? "flock"
                         : EraseExisting && ftruncate(Descriptor, 0) != 0 ? "ftruncate"
                                                                          : nullptr;
    if (Failed) {
        ReportLastSystemError(false, SourceFileName, SourceLineNumber, Failed, FileName);
        if (Descriptor >= 0) {
            close(Descriptor);
        }
        CallDeallocate(SourceFileName, SourceLineNumber, Writer);
        return nullptr;
    }
    KelvoInitializeFileWriter(SourceFileName, SourceLineNumber, &PosixDeleteFileWriter,
                              &PosixSeekWriter, &PosixWrite, &BeginWriterCRC, &EndWriterCRC,
                              &Writer->Head);
    Writer->Descriptor = Descriptor;
    return &Writer->Head;
}

} // namespace kelvo
