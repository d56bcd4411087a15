// The bounded formatter. It writes a character only while at least two bytes
// of the buffer remain, so the text always fits with its terminator, whatever
// the format string asks for.
#include "foundation/kelvo_format.h"

#include <math.h>

namespace {

char const LowerDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
char const UpperDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

class output {
public:
    output(kelvo_int32 Size, char *Buffer) : Buffer(Buffer), Size(Buffer ? Size : 0) {}

    bool Full() const { return Size - Written < 2; }
    void Put(char Character) {
        if (!Full()) {
            Buffer[Written++] = Character;
        }
    }
    void PutString(char const *String, kelvo_int64 MaxCount) {
        for (kelvo_int64 Index = 0; String && String[Index] && Index < MaxCount && !Full();
             ++Index) {
            Put(String[Index]);
        }
    }
    kelvo_int32 Finish() {
        if (Size > 0) {
            Buffer[Written] = 0;
        }
        return Written;
    }
    kelvo_int32 Count() const { return Written; }

private:
    char *Buffer;
    kelvo_int32 Size;
    kelvo_int32 Written = 0;
};

void PutUnsigned(output &Out, kelvo_uint64 Value, kelvo_uint32 Base, char const *Digits) {
    char Reversed[64];
    int Count = 0;
    do {
        Reversed[Count++] = Digits[Value % Base];
        Value /= Base;
    } while (Value);
    while (Count) {
        Out.Put(Reversed[--Count]);
    }
}

void PutSigned(output &Out, kelvo_int64 Value) {
    if (Value < 0) {
        Out.Put('-');
        PutUnsigned(Out, 0 - (kelvo_uint64)Value, 10, LowerDigits);
    } else {
        PutUnsigned(Out, (kelvo_uint64)Value, 10, LowerDigits);
    }
}

// Digits are produced in single precision, as the library always has; the
// fraction is truncated, not rounded.
void PutReal(output &Out, kelvo_real64 Value, kelvo_int32 Precision) {
    if (isnan(Value)) {
        Out.PutString("(nan)", 5);
        return;
    }
    float Single = (float)Value;
    if (isinf(Single)) {
        Out.PutString(Single > 0 ? "(infinity)" : "(-infinity)", 11);
        return;
    }
    if (Single == 0.0f) {
        Out.Put('0');
        Out.Put('.');
        for (kelvo_int32 Index = 0; Index < Precision && !Out.Full(); ++Index) {
            Out.Put('0');
        }
        return;
    }
    if (Single < 0.0f) {
        Out.Put('-');
        Single = -Single;
    }
    float Whole = floorf(Single);
    float Fraction = Single - Whole;
    if (Whole < 1.0f) {
        Out.Put('0');
    } else {
        char Reversed[64]; // a float's integer part has at most 39 digits
        int Count = 0;
        while (Whole >= 1.0f && Count < (int)sizeof(Reversed)) {
            Reversed[Count++] = (char)('0' + (int)fmodf(Whole, 10.0f));
            Whole = floorf(Whole / 10.0f);
        }
        while (Count) {
            Out.Put(Reversed[--Count]);
        }
    }
    Out.Put('.');
    for (kelvo_int32 Index = 0; Index < Precision && !Out.Full(); ++Index) {
        Fraction *= 10.0f;
        int Digit = (int)Fraction;
        Out.Put((char)('0' + Digit % 10));
        Fraction -= (float)Digit;
    }
}

bool IsDigit(char Character) { return Character >= '0' && Character <= '9'; }

class va_arguments final : public kelvo::format_arguments {
public:
    explicit va_arguments(va_list Source) { va_copy(Arguments, Source); }
    ~va_arguments() { va_end(Arguments); }

    kelvo_int32 NextInt32() override { return va_arg(Arguments, kelvo_int32); }
    kelvo_int64 NextInt64() override { return va_arg(Arguments, kelvo_int64); }
    kelvo_real64 NextReal64() override { return va_arg(Arguments, kelvo_real64); }
    void *NextPointer() override { return va_arg(Arguments, void *); }

private:
    va_list Arguments;
};

} // namespace

namespace kelvo {

kelvo_int32 FormatWith(kelvo_int32 BufferSize, char *Buffer, char const *Format,
                       format_arguments &Arguments) {
    output Out(BufferSize, Buffer);
    char const *At = Format ? Format : "";
    while (*At && !Out.Full()) {
        if (*At != '%') {
            Out.Put(*At++);
            continue;
        }
        ++At;
        // Flags and width are accepted and ignored.
        while (*At == ' ' || *At == '#' || *At == '+' || *At == '-' || *At == '0') {
            ++At;
        }
        while (IsDigit(*At) || *At == '*') {
            if (*At++ == '*') {
                Arguments.NextInt32();
            }
        }
        kelvo_int32 Precision = 6;
        if (*At == '.') {
            ++At;
            Precision = 0;
            if (*At == '*') {
                ++At;
                Precision = Arguments.NextInt32();
                if (Precision < 0) {
                    Precision = 6;
                }
            }
            while (IsDigit(*At)) {
                Precision = Precision * 10 + (*At++ - '0');
                if (Precision > 1000000) {
                    Precision = 1000000; // no buffer can hold more digits
                }
            }
        }
        bool Wide = false;
        if (At[0] == 'I' && At[1] == '6' && At[2] == '4') {
            Wide = true;
            At += 3;
        } else if (At[0] == 'I' && At[1] == '3' && At[2] == '2') {
            At += 3;
        }
        char Conversion = *At;
        if (!Conversion) {
            break;
        }
        ++At;
        switch (Conversion) {
        case 'd':
        case 'i':
            PutSigned(Out, Wide ? Arguments.NextInt64() : (kelvo_int64)Arguments.NextInt32());
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            kelvo_uint64 Value = Wide ? (kelvo_uint64)Arguments.NextInt64()
                                      : (kelvo_uint64)(kelvo_uint32)Arguments.NextInt32();
            kelvo_uint32 Base = Conversion == 'u' ? 10 : Conversion == 'o' ? 8 : 16;
            PutUnsigned(Out, Value, Base, Conversion == 'X' ? UpperDigits : LowerDigits);
            break;
        }
        case 'c':
            Out.Put((char)Arguments.NextInt32());
            break;
        case 's':
            Out.PutString(static_cast<char const *>(Arguments.NextPointer()), INT64_MAX);
            break;
        case 'l': {
            kelvo_int32 Count = Arguments.NextInt32();
            Out.PutString(static_cast<char const *>(Arguments.NextPointer()), Count);
            break;
        }
        case 'f':
            PutReal(Out, Arguments.NextReal64(), Precision);
            break;
        case 'n': {
            kelvo_int32 *Target = static_cast<kelvo_int32 *>(Arguments.NextPointer());
            if (Target) {
                *Target = Out.Count();
            }
            break;
        }
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'C':
        case 'S':
            break;
        default:
            Out.Put(Conversion);
            break;
        }
    }
    return Out.Finish();
}

kelvo_int32 FormatV(kelvo_int32 BufferSize, char *Buffer, char const *Format,
                    va_list Arguments) {
    va_arguments Source(Arguments);
    return FormatWith(BufferSize, Buffer, Format, Source);
}

kelvo_int32 Format(kelvo_int32 BufferSize, char *Buffer, char const *Format, ...) {
    va_list Arguments;
    va_start(Arguments, Format);
    kelvo_int32 Result = FormatV(BufferSize, Buffer, Format, Arguments);
    va_end(Arguments);
    return Result;
}

} // namespace kelvo
