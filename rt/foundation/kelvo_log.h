// The internal side of the log: the reporting operation every module calls.
#ifndef KELVO_LOG_INTERNAL_H
#define KELVO_LOG_INTERNAL_H

#include "kelvo2/kelvo2_log.h"

#include <stdarg.h>

// Source location of a report or an allocation: the first two arguments of
// every "%s(%d): ..." message.
#define KELVO_HERE __FILE__, __LINE__

namespace kelvo {

// Formats are the library's own (see kelvo_format.h); by convention they start
// with "%s(%d): " and take the reporting path and line first.
void Log(kelvo_log_message_type Type, kelvo_log_message_origin Origin, char const *Format, ...);
void LogV(kelvo_log_message_type Type, kelvo_log_message_origin Origin, char const *Format,
          va_list Arguments);

// Reports the calling thread's last system error, if any, under origin
// Win32Subsystem, naming the failed call, the file it was about (when one is
// given) and the caller's location.
void ReportLastSystemError(bool Serious, char const *SourceFileName, kelvo_int32 SourceLineNumber,
                           char const *FailedCallName, char const *FileName = nullptr);

} // namespace kelvo

// Pointers in messages: "0x%" KELVO_PTR_FORMAT with KELVO_PTR_ARG(p) prints the
// whole address in either build.
#if UINTPTR_MAX > 0xffffffffu
#define KELVO_PTR_FORMAT "I64x"
#define KELVO_PTR_ARG(Pointer) ((kelvo_uint64)(kelvo_uintaddrx)(Pointer))
#else
#define KELVO_PTR_FORMAT "x"
#define KELVO_PTR_ARG(Pointer) ((kelvo_uint32)(kelvo_uintaddrx)(Pointer))
#endif

// Argument checks with the fixed wordings every module uses: each logs an
// error and returns FailResult when its condition fails.
#define KELVO_REFUSE_UNLESS(Condition, Origin, FailResult, ...)                                    \
    do {                                                                                           \
        if (!(Condition)) {                                                                        \
            ::kelvo::Log(KelvoErrorLogMessage, Origin, __VA_ARGS__);                               \
            return FailResult;                                                                     \
        }                                                                                          \
    } while (0)
#define KELVO_CHECK_NOT_NULL(Argument, Origin, FailResult)                                         \
    KELVO_REFUSE_UNLESS(Argument, Origin, FailResult,                                              \
                        "%s(%d): " #Argument " is not allowed to be 0", KELVO_HERE)
// Reported at the caller's location, for exports that take one
// (SourceFileName and SourceLineNumber in scope).
#define KELVO_CHECK_CALLER_NOT_NULL(Argument, Origin, FailResult)                                  \
    KELVO_REFUSE_UNLESS(Argument, Origin, FailResult,                                              \
                        "%s(%d): " #Argument " is not allowed to be 0", SourceFileName,            \
                        SourceLineNumber)
#define KELVO_CHECK(Condition, Origin, FailResult)                                                 \
    KELVO_REFUSE_UNLESS(Condition, Origin, FailResult, "%s(%d): " #Condition " was not true",      \
                        KELVO_HERE)
#define KELVO_CHECK_INDEX(Index, Count, Origin, FailResult)                                        \
    KELVO_REFUSE_UNLESS((Index) >= 0 && (Index) < (Count), Origin, FailResult,                     \
                        "%s(%d): " #Index " %d is out of range [0, %d)", KELVO_HERE, (Index),      \
                        (Count))

// For functions without a result: KELVO_CHECK(x, Origin, KELVO_NOTHING).
#define KELVO_NOTHING

// Exports that read or set one field of a record and refuse a null record
// (Origin in scope). Object names the parameter, as the message shows it.
#define KELVO_ACCESSOR(Result, Name, Type, Object, Expression, FailResult)                         \
    KELVO_API Result Name(Type *Object) {                                                          \
        KELVO_CHECK_NOT_NULL(Object, Origin, FailResult);                                          \
        return Expression;                                                                         \
    }
#define KELVO_GETTER(Result, Name, Type, Object, Field, FailResult)                                \
    KELVO_ACCESSOR(Result, Name, Type, Object, Object->Field, FailResult)
#define KELVO_SETTER(Name, Type, Object, ValueType, Value, Field)                                  \
    KELVO_API void Name(Type *Object, ValueType Value) {                                           \
        KELVO_CHECK_NOT_NULL(Object, Origin, KELVO_NOTHING);                                       \
        Object->Field = Value;                                                                     \
    }

#endif
