// File-system services on POSIX: removing, creating beside and replacing a
// file, and the temporary directory.
#include "foundation/kelvo_format.h"
#include "foundation/kelvo_log.h"
#include "kelvo_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace kelvo {

bool PlatformDeleteFile(char const *FileName) {
    if (unlink(FileName) != 0) {
        ReportLastSystemError(false, KELVO_HERE, "unlink");
        return false;
    }
    return true;
}

bool PlatformCreateFileBeside(char const *Beside, char *Name, kelvo_int32 NameSize) {
    static kelvo_uint32 Counter = 0;
    for (kelvo_int32 Attempt = 0; Attempt < 100; ++Attempt) {
        kelvo_uint32 Serial = __atomic_fetch_add(&Counter, 1u, __ATOMIC_RELAXED);
        kelvo_int32 Length = Format(NameSize, Name, "%s.%u-%u.partial", Beside,
                                    (kelvo_uint32)getpid(), Serial);
        if (Length < 0 || Length >= NameSize - 1) {
            Name[0] = 0;
            return false; // cut short it would name another file
        }
        // O_EXCL: a name that exists (even a link) belongs to someone else.
        int Descriptor = open(Name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (Descriptor >= 0) {
            close(Descriptor);
            return true;
        }
        if (errno != EEXIST) {
            ReportLastSystemError(false, KELVO_HERE, "open");
            break;
        }
    }
    Name[0] = 0;
    return false;
}

bool PlatformReplaceFile(char const *Source, char const *Destination) {
    if (rename(Source, Destination) != 0) {
        ReportLastSystemError(false, KELVO_HERE, "rename");
        return false;
    }
    return true;
}

bool PlatformGetTemporaryPath(char *Buffer, kelvo_int32 BufferSize) {
    if (!Buffer || BufferSize < 1) {
        return false;
    }
    char const *Path = getenv("TMPDIR");
    if (!Path || !*Path) {
        Path = "/tmp";
    }
    kelvo_int32 Length = 0;
    while (Path[Length]) {
        if (Length + 1 >= BufferSize) {
            Buffer[0] = 0;
            return false; // cut short it would name another directory
        }
        Buffer[Length] = Path[Length];
        ++Length;
    }
    Buffer[Length] = 0;
    return true;
}

} // namespace kelvo
