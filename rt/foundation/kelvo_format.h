// The library's bounded formatter. Every log message and every built file
// name goes through it; it never writes past its buffer and always
// terminates the text.
#ifndef KELVO_FORMAT_H
#define KELVO_FORMAT_H

#include "kelvo2/kelvo2_types.h"

#include <stdarg.h>

namespace kelvo {

// Where the formatter takes its arguments from: a va_list normally, or a
// fixed list (tests and fuzzing feed it hostile formats safely that way).
class format_arguments {
public:
    virtual kelvo_int32 NextInt32() = 0;
    virtual kelvo_int64 NextInt64() = 0;
    virtual kelvo_real64 NextReal64() = 0;
    virtual void *NextPointer() = 0;

protected:
    ~format_arguments() = default;
};

// Returns the characters written (not counting the terminator).
kelvo_int32 FormatWith(kelvo_int32 BufferSize, char *Buffer, char const *Format,
                       format_arguments &Arguments);
kelvo_int32 FormatV(kelvo_int32 BufferSize, char *Buffer, char const *Format, va_list Arguments);
kelvo_int32 Format(kelvo_int32 BufferSize, char *Buffer, char const *Format, ...);

} // namespace kelvo

#endif
