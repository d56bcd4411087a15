#include "foundation/kelvo_format.h"
#include "kelvo_test.h"

#include <math.h>
#include <random>
#include <string.h>

namespace {

class FormatTest : public KelvoTest {};

std::string Formatted(char const *Format, ...) {
    char Buffer[256];
    va_list Arguments;
    va_start(Arguments, Format);
    kelvo_int32 Count = kelvo::FormatV(sizeof(Buffer), Buffer, Format, Arguments);
    va_end(Arguments);
    EXPECT_EQ((size_t)Count, strlen(Buffer));
    return Buffer;
}

TEST_F(FormatTest, Integers) {
    EXPECT_EQ(Formatted("%s(%d): x", "rt/a.cpp", 279), "rt/a.cpp(279): x");
    EXPECT_EQ(Formatted("%d %i", -42, 7), "-42 7");
    EXPECT_EQ(Formatted("%d", (kelvo_int32)(-2147483647 - 1)), "-2147483648");
    EXPECT_EQ(Formatted("%u", 0u), "0");
    EXPECT_EQ(Formatted("%u", 4294967295u), "4294967295");
    EXPECT_EQ(Formatted("%x %X %o", 0xbeefu, 0xbeefu, 8u), "beef BEEF 10");
    EXPECT_EQ(Formatted("%I64x", (kelvo_uint64)0x123456789abcdef0ull), "123456789abcdef0");
    EXPECT_EQ(Formatted("%I64d", (kelvo_int64)-5000000000ll), "-5000000000");
    EXPECT_EQ(Formatted("%I64d", (kelvo_int64)INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(Formatted("%I32d", -3), "-3");
    // Flags and widths are skipped; "*" consumes its argument.
    EXPECT_EQ(Formatted("[%-08d|% +#5u|%*d]", 1, 2u, 99, 3), "[1|2|3]");
}

TEST_F(FormatTest, StringsCharactersAndCounts) {
    EXPECT_EQ(Formatted("<%s>", (char const *)nullptr), "<>");
    EXPECT_EQ(Formatted("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(Formatted("%l|", 3, "abcdef"), "abc|");
    EXPECT_EQ(Formatted("%l|", 10, "ab"), "ab|");
    kelvo_int32 Position = -1;
    EXPECT_EQ(Formatted("abc%nde", &Position), "abcde");
    EXPECT_EQ(Position, 3);
    // Conversions the formatter does not support print nothing and take no argument.
    EXPECT_EQ(Formatted("%e%E%g%G%C%S%d", 5), "5");
    EXPECT_EQ(Formatted("100%% %q %"), "100% q ");
}

TEST_F(FormatTest, Reals) {
    EXPECT_EQ(Formatted("%5.2f", 3.14159), "3.14");
    EXPECT_EQ(Formatted("%f", 0.0), "0.000000");
    EXPECT_EQ(Formatted("%.3f", 0.5), "0.500");
    EXPECT_EQ(Formatted("%f", -2.25), "-2.250000");
    EXPECT_EQ(Formatted("%.1f", 1234.5), "1234.5");
    EXPECT_EQ(Formatted("%.0f", 7.9), "7."); // truncated, not rounded
    EXPECT_EQ(Formatted("%.1f", 1e10), "10000000000.0");
    EXPECT_EQ(Formatted("%f %f", (double)INFINITY, (double)-INFINITY), "(infinity) (-infinity)");
    EXPECT_EQ(Formatted("%f", 1e300), "(infinity)"); // beyond single precision
    EXPECT_EQ(Formatted("%f", (double)NAN), "(nan)");
}

TEST_F(FormatTest, TruncatesAtTheBufferAndAlwaysTerminates) {
    char Buffer[16];
    memset(Buffer, 'Z', sizeof(Buffer));
    EXPECT_EQ(kelvo::Format(8, Buffer, "%s(%d)", "a/very/long/path/module.cpp", 12), 7);
    EXPECT_STREQ(Buffer, "a/very/");
    EXPECT_EQ(Buffer[8], 'Z');

    memset(Buffer, 'Z', sizeof(Buffer));
    EXPECT_EQ(kelvo::Format(1, Buffer, "abc"), 0);
    EXPECT_EQ(Buffer[0], 0);
    EXPECT_EQ(Buffer[1], 'Z');
    EXPECT_EQ(kelvo::Format(0, Buffer, "abc"), 0);
    EXPECT_EQ(Buffer[1], 'Z');
    EXPECT_EQ(kelvo::Format(16, nullptr, "abc"), 0);
    EXPECT_EQ(kelvo::Format(16, Buffer, nullptr), 0);
    EXPECT_STREQ(Buffer, "");
    // A huge precision stops at the end of the buffer.
    EXPECT_EQ(kelvo::Format(16, Buffer, "%.999999999f", 1.0), 15);
}

// Arguments that are safe whatever a conversion asks for.
class safe_arguments final : public kelvo::format_arguments {
public:
    kelvo_int32 NextInt32() override { return Values[Next++ % 5]; }
    kelvo_int64 NextInt64() override { return (kelvo_int64)Values[Next++ % 5] * 3000000000ll; }
    kelvo_real64 NextReal64() override {
        static double const Reals[] = {1.5, -0.0, 1e38, -123.456, (double)INFINITY, 1e-30};
        return Reals[Next++ % 6];
    }
    void *NextPointer() override {
        ++Next;
        return Next % 3 ? (void *)Text : nullptr;
    }
    // Doubles as a string and as the target of "%n".
    alignas(8) char Text[64] = "text";

private:
    unsigned Next = 0;
    kelvo_int32 const Values[5] = {0, -1, 2147483647, -2147483647 - 1, 123};
};

TEST_F(FormatTest, HostileFormatsNeverWritePastTheBuffer) {
    static char const Alphabet[] = "%%%%dsfxlnI64I32.*0123456789-+ #cueEgGCSoX?a";
    std::mt19937 Random(1234);
    for (int Round = 0; Round < 20000; ++Round) {
        char Format[40];
        int Length = (int)(Random() % (sizeof(Format) - 1));
        for (int Index = 0; Index < Length; ++Index) {
            Format[Index] = Alphabet[Random() % (sizeof(Alphabet) - 1)];
        }
        Format[Length] = 0;
        kelvo_int32 Size = (kelvo_int32)(Random() % 48);
        char Buffer[64];
        memset(Buffer, 0x5A, sizeof(Buffer));
        safe_arguments Arguments;
        kelvo_int32 Count = kelvo::FormatWith(Size, Buffer, Format, Arguments);
        for (kelvo_int32 Index = Size; Index < (kelvo_int32)sizeof(Buffer); ++Index) {
            ASSERT_EQ(Buffer[Index], 0x5A) << "format \"" << Format << "\" size " << Size;
        }
        if (Size > 0) {
            ASSERT_LT(Count, Size);
            ASSERT_EQ(Buffer[Count], 0) << Format; // "%c" may have put zeros before it
            ASSERT_LE((kelvo_int32)strlen(Buffer), Count) << Format;
        } else {
            ASSERT_EQ(Count, 0);
        }
    }
}

} // namespace
