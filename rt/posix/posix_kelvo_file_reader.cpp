// The operating-system file reader on POSIX: a descriptor read with pread,
// so that every read names its own position and the reader keeps no cursor.
#define _FILE_OFFSET_BITS 64 // files past 2 GiB still open in the 32-bit build

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_memory.h"
#include "kelvo_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct posix_file_reader {
    kelvo_file_reader Head;
    int Descriptor;
};

kelvo_int32 KELVO_CALLBACK PosixReadAtMost(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                           kelvo_file_reader *Reader, kelvo_int32 FilePosition,
                                           kelvo_int32 UInt8Count, void *Buffer) {
    KELVO_TIMED_BLOCK("PosixReadAtMost");
    posix_file_reader const *File = reinterpret_cast<posix_file_reader const *>(Reader);
    if (FilePosition < 0 || UInt8Count <= 0) {
        return 0;
    }
    if (!Buffer) {
        kelvo::Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                   "%s(%d): Buffer is not allowed to be 0", SourceFileName, SourceLineNumber);
        return 0;
    }
    // pread may stop short (signals, large counts): go on until the count or
    // the end of the file.
    kelvo_int32 Total = 0;
    while (Total < UInt8Count) {
        ssize_t Read = pread(File->Descriptor, static_cast<char *>(Buffer) + Total,
                             (size_t)(UInt8Count - Total), (off_t)FilePosition + Total);
        if (Read < 0) {
            if (errno == EINTR) {
                continue;
            }
            kelvo::ReportLastSystemError(false, SourceFileName, SourceLineNumber, "pread");
            break;
        }
        if (Read == 0) {
            break;
        }
        Total += (kelvo_int32)Read;
    }
    return Total;
}

void KELVO_CALLBACK PosixCloseFileReader(char const *SourceFileName, kelvo_int32 SourceLineNumber,
                                         kelvo_file_reader *Reader) {
    posix_file_reader *File = reinterpret_cast<posix_file_reader *>(Reader);
    if (close(File->Descriptor) != 0) {
        kelvo::ReportLastSystemError(false, SourceFileName, SourceLineNumber, "close");
    }
    kelvo::CallDeallocate(SourceFileName, SourceLineNumber, File);
}

char const *KindOfFile(mode_t Mode) {
    return S_ISDIR(Mode)    ? "a directory"
           : S_ISFIFO(Mode) ? "a FIFO"
           : S_ISCHR(Mode)  ? "a character device"
           : S_ISBLK(Mode)  ? "a block device"
           : S_ISSOCK(Mode) ? "a socket"
                            : "something else";
}

} // namespace

namespace kelvo {

kelvo_file_reader *PlatformCreateFileReader(char const *SourceFileName,
                                            kelvo_int32 SourceLineNumber, char const *FileName) {
    // A file that is not there is an ordinary answer, not a failure to
    // report. O_NONBLOCK keeps a FIFO or a device from holding the open up
    // before it can be refused below.
    int Descriptor = open(FileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (Descriptor < 0) {
        if (errno != ENOENT) {
            ReportLastSystemError(true, SourceFileName, SourceLineNumber, "open", FileName);
        }
        return nullptr;
    }
    struct stat Status;
    if (fstat(Descriptor, &Status) != 0) {
        ReportLastSystemError(true, SourceFileName, SourceLineNumber, "fstat", FileName);
        close(Descriptor);
        return nullptr;
    }
    if (!S_ISREG(Status.st_mode)) {
        // Reads of anything else may block or never end.
        Log(KelvoErrorLogMessage, KelvoWin32SubsystemLogMessage,
            "%s(%d): fstat found that \"%s\" is %s, not a regular file", SourceFileName,
            SourceLineNumber, FileName, KindOfFile(Status.st_mode));
        close(Descriptor);
        return nullptr;
    }
    int Flags = fcntl(Descriptor, F_GETFL);
    if (Flags < 0 || fcntl(Descriptor, F_SETFL, Flags & ~O_NONBLOCK) != 0) {
        ReportLastSystemError(true, SourceFileName, SourceLineNumber, "fcntl", FileName);
        close(Descriptor);
        return nullptr;
    }
    posix_file_reader *Reader = static_cast<posix_file_reader *>(CallAllocate(
        SourceFileName, SourceLineNumber, DefaultAlignment, sizeof(posix_file_reader)));
    if (!Reader) {
        close(Descriptor);
        return nullptr;
    }
    KelvoInitializeFileReader(SourceFileName, SourceLineNumber, &PosixCloseFileReader,
                              &PosixReadAtMost, &Reader->Head);
    Reader->Descriptor = Descriptor;
    return &Reader->Head;
}

} // namespace kelvo
