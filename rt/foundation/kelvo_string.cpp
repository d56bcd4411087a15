// The library's string toolkit and the exported string comparison.
#include "foundation/kelvo_string.h"

#include "foundation/kelvo_log.h"

namespace {

kelvo_string_comparison_callback *ComparisonCallback = nullptr;

char Lower(char Character) {
    return (Character >= 'A' && Character <= 'Z') ? (char)(Character - 'A' + 'a') : Character;
}

bool IsDigit(char Character) { return Character >= '0' && Character <= '9'; }

// Capture output for the wildcard matcher: bounded, always terminated.
struct capture {
    char *Buffer;
    kelvo_int32 Size;
    kelvo_int32 Length;

    void Put(char Character) {
        if (Buffer && Length + 1 < Size) {
            Buffer[Length] = Character;
        }
        ++Length;
    }
    void Truncate(kelvo_int32 NewLength) { Length = NewLength; }
    void Finish() {
        if (Buffer && Size > 0) {
            Buffer[Length < Size ? Length : Size - 1] = 0;
        }
    }
};

} // namespace

namespace kelvo {

kelvo_int32 StringLength(char const *String) {
    kelvo_int32 Length = 0;
    if (String) {
        while (String[Length]) {
            ++Length;
        }
    }
    return Length;
}

bool CopyString(char *Destination, kelvo_int32 DestinationSize, char const *Source) {
    if (!Destination || DestinationSize < 1) {
        return !Source || !*Source;
    }
    kelvo_int32 Length = 0;
    if (Source) {
        while (Source[Length] && DestinationSize - Length >= 2) {
            Destination[Length] = Source[Length];
            ++Length;
        }
    }
    Destination[Length] = 0;
    if (Source && Source[Length]) {
        Log(KelvoWarningLogMessage, KelvoStringLogMessage,
            "%s(%d): String overflow in StringEquals (Source is %d characters, but dest can "
            "only hold %d)",
            KELVO_HERE, StringLength(Source), DestinationSize);
        return false;
    }
    return true;
}

kelvo_int32 CopyStringCount(char *Destination, char const *Source) {
    kelvo_int32 Length = StringLength(Source);
    for (kelvo_int32 Index = 0; Index < Length; ++Index) {
        Destination[Index] = Source[Index];
    }
    Destination[Length] = 0;
    return Length + 1;
}

char const *FindLastSlash(char const *Path) {
    char const *Last = nullptr;
    for (char const *At = Path; At && *At; ++At) {
        if (*At == '/' || *At == '\\') {
            Last = At;
        }
    }
    return Last;
}

bool StringsAreEqualLowercase(char const *A, char const *B) {
    if (!A || !B) {
        return A == B;
    }
    while (*A && *B && Lower(*A) == Lower(*B)) {
        ++A;
        ++B;
    }
    return *A == 0 && *B == 0;
}

bool StringBeginsWithLowercase(char const *String, char const *Prefix) {
    if (!Prefix) {
        return true;
    }
    if (!String) {
        return *Prefix == 0;
    }
    while (*Prefix) {
        if (Lower(*String++) != Lower(*Prefix++)) {
            return false;
        }
    }
    return true;
}

kelvo_string_comparison_callback *GetStringComparisonCallback() {
    return ComparisonCallback;
}

bool NamesAreEqual(char const *A, char const *B) {
    if (ComparisonCallback) {
        return ComparisonCallback(A, B) == 0;
    }
    return StringsAreEqualLowercase(A, B);
}

// Iterative matching with one backtrack point (the last "*"): each "*" takes
// the shortest run that lets the rest match, without exponential recursion.
bool WildCardMatch(char const *Name, char const *Pattern, char *Capture,
                   kelvo_int32 CaptureSize) {
    capture Out = {Capture, CaptureSize, 0};
    if (!Name) {
        Name = "";
    }
    if (!Pattern) {
        for (char const *At = Name; *At; ++At) {
            Out.Put(*At);
        }
        Out.Finish();
        return true;
    }
    char const *StarPattern = nullptr; // pattern position after the last "*"
    char const *StarName = nullptr;    // name position where that "*" run ends
    kelvo_int32 StarCapture = 0;       // capture length after that run
    char const *N = Name;
    char const *P = Pattern;
    while (*N) {
        if (*P == '*') {
            StarPattern = ++P;
            StarName = N;
            StarCapture = Out.Length;
        } else if (*P == '?') {
            Out.Put(*N++);
            ++P;
        } else if (*P && Lower(*P) == Lower(*N)) {
            ++P;
            ++N;
        } else if (StarPattern) {
            // Widen the last "*" by one character and retry from there.
            Out.Truncate(StarCapture);
            Out.Put(*StarName++);
            StarCapture = Out.Length;
            N = StarName;
            P = StarPattern;
        } else {
            Out.Finish();
            return false;
        }
    }
    while (*P == '*') {
        ++P;
    }
    Out.Finish();
    return *P == 0;
}

// Sign and whole digits, shared by both parsers.
char const *ParseWholeNumber(char const *At, bool &Negative, kelvo_real64 &Value, bool &SawDigit) {
    Negative = false;
    if (*At == '-' || *At == '+') {
        Negative = *At++ == '-';
    }
    Value = 0.0;
    SawDigit = false;
    while (IsDigit(*At)) {
        Value = Value * 10.0 + (*At++ - '0');
        SawDigit = true;
    }
    return At;
}

bool ParseReal(char const *String, kelvo_real32 *Result, char const **End) {
    bool Negative, SawDigit;
    kelvo_real64 Value;
    char const *At = ParseWholeNumber(String ? String : "", Negative, Value, SawDigit);
    if (*At == '.') {
        ++At;
        kelvo_real64 Scale = 0.1;
        while (IsDigit(*At)) {
            Value += (*At++ - '0') * Scale;
            Scale *= 0.1;
            SawDigit = true;
        }
    }
    if (End) {
        *End = SawDigit ? At : String;
    }
    if (Result) {
        *Result = SawDigit ? (kelvo_real32)(Negative ? -Value : Value) : 0.0f;
    }
    return SawDigit;
}

bool ParseInteger(char const *String, kelvo_int32 *Result, char const **End) {
    bool Negative, SawDigit;
    kelvo_real64 Value;
    char const *At = ParseWholeNumber(String ? String : "", Negative, Value, SawDigit);
    if (End) {
        *End = SawDigit ? At : String;
    }
    if (Result) {
        if (Negative) {
            Value = -Value;
        }
        // Out-of-range numbers saturate instead of overflowing.
        if (Value > 2147483647.0) {
            *Result = 2147483647;
        } else if (Value < -2147483648.0) {
            *Result = (kelvo_int32)(-2147483647 - 1);
        } else {
            *Result = (kelvo_int32)(Value < 0 ? Value - 0.5 : Value + 0.5);
        }
    }
    return SawDigit;
}

} // namespace kelvo

KELVO_API kelvo_int32 KelvoStringDifference(char const *StringA, char const *StringB) {
    if (!StringA || !StringB) {
        return StringA == StringB ? 0 : (StringA ? 1 : -1);
    }
    while (*StringA && *StringB && *StringA == *StringB) {
        ++StringA;
        ++StringB;
    }
    return (kelvo_int32)(signed char)*StringA - (kelvo_int32)(signed char)*StringB;
}

KELVO_API void KelvoSetStringComparisonCallback(kelvo_string_comparison_callback *Callback) {
    ComparisonCallback = Callback;
}
