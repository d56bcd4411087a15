// System error codes and their text on POSIX: errno and strerror_r.
#include "kelvo_platform.h"

#include <errno.h>
#include <string.h>

namespace {

// strerror_r comes in two flavours; each overload takes one of them.
[[maybe_unused]] char const *ErrorTextResult(int Result, char const *Buffer) {
    return Result == 0 ? Buffer : "";
}
[[maybe_unused]] char const *ErrorTextResult(char const *Result, char const *) {
    return Result ? Result : "";
}

} // namespace

namespace kelvo {

kelvo_int32 PlatformLastErrorCode() { return errno; }

void PlatformSetLastErrorCode(kelvo_int32 Code) { errno = Code; }

void PlatformErrorText(kelvo_int32 Code, char *Buffer, kelvo_int32 BufferSize) {
    if (!Buffer || BufferSize < 1) {
        return;
    }
    char Scratch[256];
    Scratch[0] = 0;
    char const *Text = ErrorTextResult(strerror_r(Code, Scratch, sizeof(Scratch)), Scratch);
    kelvo_int32 Length = 0;
    while (Text[Length] && Length + 1 < BufferSize) {
        Buffer[Length] = Text[Length];
        ++Length;
    }
    Buffer[Length] = 0;
}

} // namespace kelvo
