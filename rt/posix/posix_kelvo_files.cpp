// File-system services on POSIX: removing a file and the temporary directory.
#include "foundation/kelvo_log.h"
#include "kelvo_platform.h"

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
