#include "foundation/kelvo_string.h"
#include "kelvo_test.h"

#include <string>

namespace {

class StringTest : public KelvoTest {};

TEST_F(StringTest, BoundedCopyTruncatesAndWarns) {
    char Buffer[8] = "zzzzzzz";
    EXPECT_FALSE(kelvo::CopyString(Buffer, 4, "abcdef"));
    EXPECT_STREQ(Buffer, "abc");
    EXPECT_EQ(Buffer[4], 'z');
    ExpectLogged(KelvoWarningLogMessage,
                 ": String overflow in StringEquals (Source is 6 characters, but dest can only "
                 "hold 4)");
    EXPECT_TRUE(kelvo::CopyString(Buffer, 4, "abc"));
    EXPECT_STREQ(Buffer, "abc");
    EXPECT_TRUE(kelvo::CopyString(Buffer, 4, nullptr));
    EXPECT_STREQ(Buffer, "");
    EXPECT_TRUE(kelvo::CopyString(nullptr, 4, nullptr));
    EXPECT_EQ(kelvo::CopyStringCount(Buffer, "hey"), 4);
    EXPECT_STREQ(Buffer, "hey");
    EXPECT_EQ(kelvo::StringLength(nullptr), 0);
}

TEST_F(StringTest, Comparisons) {
    EXPECT_EQ(KelvoStringDifference("abc", "abd"), -1);
    EXPECT_EQ(KelvoStringDifference("abc", "ab"), 99);
    EXPECT_EQ(KelvoStringDifference("abc", "abc"), 0);
    EXPECT_EQ(KelvoStringDifference(nullptr, nullptr), 0);
    EXPECT_EQ(KelvoStringDifference(nullptr, "a"), -1);
    EXPECT_EQ(KelvoStringDifference("a", nullptr), 1);
    EXPECT_EQ(KelvoStringDifference("\xE9", "a"), (signed char)'\xE9' - 'a');

    EXPECT_TRUE(kelvo::StringsAreEqualLowercase("Bone01", "bone01"));
    EXPECT_FALSE(kelvo::StringsAreEqualLowercase("Bone01", "Bone01 "));
    EXPECT_FALSE(kelvo::StringsAreEqualLowercase("A[", "a{")); // only A-Z fold
    EXPECT_TRUE(kelvo::StringsAreEqualLowercase(nullptr, nullptr));
    EXPECT_FALSE(kelvo::StringsAreEqualLowercase("", nullptr));

    EXPECT_TRUE(kelvo::StringBeginsWithLowercase("Bip01 Spine", "BIP01"));
    EXPECT_FALSE(kelvo::StringBeginsWithLowercase("Bip", "Bip01"));
    EXPECT_TRUE(kelvo::StringBeginsWithLowercase("x", ""));

    char const *Path = "dir/sub\\file.kv2";
    EXPECT_EQ(kelvo::FindLastSlash(Path), Path + 7);
    EXPECT_EQ(kelvo::FindLastSlash("plain"), nullptr);
}

kelvo_int32 KELVO_CALLBACK CaseSensitive(char const *A, char const *B) {
    return KelvoStringDifference(A, B);
}

TEST_F(StringTest, NameMatchingUsesTheInstalledComparison) {
    EXPECT_TRUE(kelvo::NamesAreEqual("Pelvis", "PELVIS"));
    KelvoSetStringComparisonCallback(&CaseSensitive);
    EXPECT_FALSE(kelvo::NamesAreEqual("Pelvis", "PELVIS"));
    EXPECT_TRUE(kelvo::NamesAreEqual("Pelvis", "Pelvis"));
    KelvoSetStringComparisonCallback(nullptr);
    EXPECT_TRUE(kelvo::NamesAreEqual("Pelvis", "PELVIS"));
}

std::string CaptureOf(char const *Name, char const *Pattern, bool ExpectMatch = true) {
    char Capture[64] = "unset";
    EXPECT_EQ(kelvo::WildCardMatch(Name, Pattern, Capture, sizeof(Capture)), ExpectMatch)
        << Name << " ~ " << (Pattern ? Pattern : "(null)");
    return Capture;
}

TEST_F(StringTest, WildcardsMatchAndCapture) {
    EXPECT_EQ(CaptureOf("bip01 Spine", "Bip01 *"), "Spine");
    EXPECT_EQ(CaptureOf("Bone", "?ONE"), "B");
    EXPECT_EQ(CaptureOf("aXbYc", "a*b*c"), "XY");
    EXPECT_EQ(CaptureOf("aab", "*ab"), "a");
    EXPECT_EQ(CaptureOf("abab", "*b"), "aba");
    EXPECT_EQ(CaptureOf("abx", "*?x"), "ab");
    EXPECT_EQ(CaptureOf("anything", nullptr), "anything");
    EXPECT_EQ(CaptureOf("", "*"), "");
    EXPECT_EQ(CaptureOf("exact", "EXACT"), "");
    CaptureOf("abc", "*x", false);
    CaptureOf("abc", "ab", false);
    CaptureOf("ab", "abc", false);
    CaptureOf("", "?", false);
    EXPECT_FALSE(kelvo::WildCardMatch("abc", "b*", nullptr, 0));
    EXPECT_TRUE(kelvo::WildCardMatch("abc", "A*", nullptr, 0));

    // Capture is bounded and terminated.
    char Small[4] = "zzz";
    EXPECT_TRUE(kelvo::WildCardMatch("Bip01 LeftHand", "Bip01 *", Small, sizeof(Small)));
    EXPECT_STREQ(Small, "Lef");
}

TEST_F(StringTest, WildcardBacktrackingStaysLinearOnHostilePatterns) {
    std::string Name(20000, 'a');
    EXPECT_FALSE(kelvo::WildCardMatch(Name.c_str(), "*a*a*a*a*a*a*a*b", nullptr, 0));
    Name += "b";
    EXPECT_TRUE(kelvo::WildCardMatch(Name.c_str(), "*a*a*a*a*a*a*a*b", nullptr, 0));
}

TEST_F(StringTest, NumberParsing) {
    kelvo_real32 Real = 0;
    char const *End = nullptr;
    char const *Text = "-12.5xyz";
    EXPECT_TRUE(kelvo::ParseReal(Text, &Real, &End));
    EXPECT_FLOAT_EQ(Real, -12.5f);
    EXPECT_EQ(End, Text + 5);
    EXPECT_TRUE(kelvo::ParseReal(".25", &Real, nullptr));
    EXPECT_FLOAT_EQ(Real, 0.25f);
    EXPECT_TRUE(kelvo::ParseReal("+3", &Real, nullptr));
    EXPECT_FLOAT_EQ(Real, 3.0f);
    Text = "x1";
    EXPECT_FALSE(kelvo::ParseReal(Text, &Real, &End));
    EXPECT_EQ(End, Text);
    EXPECT_FALSE(kelvo::ParseReal(nullptr, &Real, nullptr));

    kelvo_int32 Integer = 0;
    Text = "12.7";
    EXPECT_TRUE(kelvo::ParseInteger(Text, &Integer, &End));
    EXPECT_EQ(Integer, 12);
    EXPECT_EQ(End, Text + 2);
    EXPECT_TRUE(kelvo::ParseInteger("-2147483648", &Integer, nullptr));
    EXPECT_EQ(Integer, (kelvo_int32)(-2147483647 - 1));
    EXPECT_TRUE(kelvo::ParseInteger("99999999999999", &Integer, nullptr));
    EXPECT_EQ(Integer, 2147483647);
    EXPECT_FALSE(kelvo::ParseInteger("-", &Integer, nullptr));
}

} // namespace
