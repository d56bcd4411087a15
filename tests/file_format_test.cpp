#include "kelvo_data_type.h"
#include "kelvo_file_format.h"
#include "kelvo_memory.h"
#include "kelvo_test.h"

#include <cstring>
#include <vector>

using kelvo::MakeMember;

namespace {

constexpr kelvo_int32 PointerBits = (kelvo_int32)sizeof(void *) * 8;
constexpr kelvo_uint32 PointerSize = sizeof(void *);
constexpr kelvo_uint32 MemberRecordSize = sizeof(kelvo_data_type_definition);

struct magic_row {
    kelvo_file_magic_value const *Value;
    kelvo_uint8 Bytes[16];
    kelvo_int32 PointerSizeInBits;
    bool IsLittleEndian;
};

// The values as files store them, with the properties of each table row.
magic_row const MagicRows[] = {
    {KelvoKVNFileMV_32Bit_LittleEndian,
     {0x29, 0xde, 0x6c, 0xc0, 0xba, 0xa4, 0x53, 0x2b, 0x25, 0xf5, 0xb7, 0xa5, 0xf6, 0x66, 0xe2,
      0xee},
     32,
     true},
    {KelvoKVNFileMV_32Bit_BigEndian,
     {0x0e, 0x11, 0x95, 0xb5, 0x6a, 0xa5, 0xb5, 0x4b, 0xeb, 0x28, 0x28, 0x50, 0x25, 0x78, 0xb3,
      0x04},
     32,
     false},
    {KelvoKVNFileMV_64Bit_LittleEndian,
     {0xe5, 0x9b, 0x49, 0x5e, 0x6f, 0x63, 0x1f, 0x14, 0x1e, 0x13, 0xeb, 0xa9, 0x90, 0xbe, 0xed,
      0xc4},
     64,
     true},
    {KelvoKVNFileMV_64Bit_BigEndian,
     {0x31, 0x95, 0xd4, 0xe3, 0x20, 0xdc, 0x4f, 0x62, 0xcc, 0x36, 0xd0, 0x3a, 0xb1, 0x82, 0xff,
      0x89},
     64,
     false},
};
constexpr kelvo_uint8 OldBytes[16] = {0xb8, 0x67, 0xb0, 0xca, 0xf8, 0x6d, 0xb1, 0x0f,
                                      0x84, 0x72, 0x8c, 0x7e, 0x5e, 0x19, 0x00, 0x1e};

kelvo_file_magic_value WordReversed(kelvo_file_magic_value Value) {
    kelvo_uint8 *Bytes = reinterpret_cast<kelvo_uint8 *>(Value.MagicValue);
    for (int Word = 0; Word < 4; ++Word) {
        std::swap(Bytes[4 * Word], Bytes[4 * Word + 3]);
        std::swap(Bytes[4 * Word + 1], Bytes[4 * Word + 2]);
    }
    return Value;
}

void *PointerAt(void const *Field) {
    void *Pointer;
    std::memcpy(&Pointer, Field, sizeof(Pointer));
    return Pointer;
}

// Two sections in aligned memory with the headers that bound them.
struct test_sections {
    alignas(8) kelvo_uint8 Data[2][4096] = {};
    void *Bases[2] = {Data[0], Data[1]};
    kelvo_section_header Headers[2] = {};

    test_sections(kelvo_uint32 Size0, kelvo_uint32 Size1) {
        Headers[0].ExpandedDataSize = Size0;
        Headers[1].ExpandedDataSize = Size1;
    }
    kelvo::section_bounds Bounds() const { return {2, Bases, Headers}; }
    kelvo_uint8 *At(int Section, kelvo_uint32 Offset) { return Data[Section] + Offset; }
    // Writes the members and a terminator at Offset; returns the definition.
    kelvo_data_type_definition *PutType(int Section, kelvo_uint32 Offset,
                                        std::vector<kelvo_data_type_definition> Members) {
        Members.push_back(MakeMember(KelvoEndMember));
        std::memcpy(At(Section, Offset), Members.data(), Members.size() * MemberRecordSize);
        return reinterpret_cast<kelvo_data_type_definition *>(At(Section, Offset));
    }
};

// The mixed record the marshalling tests reverse: A, then inline B, C, D.
#pragma pack(push, 4)
struct mixed_inner {
    kelvo_uint16 B[2];
    kelvo_uint8 C[2];
};
struct mixed_record {
    kelvo_uint32 A;
    mixed_inner Inner;
    kelvo_uint16 D;
};
#pragma pack(pop)
static_assert(sizeof(mixed_record) == 12);

constexpr mixed_record NativeMixed = {0x11223344u, {{0x5566, 0x7788}, {0x99, 0xaa}}, 0xbbcc};
constexpr mixed_record ReversedMixed = {0x44332211u, {{0x6655, 0x8877}, {0x99, 0xaa}}, 0xccbb};

bool SameRecord(mixed_record const &A, mixed_record const &B) {
    return std::memcmp(&A, &B, sizeof(A)) == 0;
}

class FileFormatTest : public KelvoTest {
  protected:
    void ExpectFileReadingError(std::string const &Fragment) {
        for (captured_message const &Message : Messages()) {
            if (Message.Text.find(Fragment) != std::string::npos) {
                EXPECT_EQ(Message.Origin, KelvoFileReadingLogMessage) << Message.Text;
            }
        }
        ExpectLogged(KelvoErrorLogMessage, Fragment);
    }

    // Section 0 holds the mixed record's type at 0 and its inner type at
    // 4 member records; the records themselves go where the test puts them.
    kelvo_data_type_definition *PutMixedType(test_sections &Sections) {
        kelvo_data_type_definition *Inner =
            Sections.PutType(0, 4 * MemberRecordSize,
                             {MakeMember(KelvoUInt16Member, "B", nullptr, 2),
                              MakeMember(KelvoUInt8Member, "C", nullptr, 2)});
        return Sections.PutType(0, 0,
                                {MakeMember(KelvoUInt32Member, "A"),
                                 MakeMember(KelvoInlineMember, "Inner", Inner),
                                 MakeMember(KelvoUInt16Member, "D")});
    }
};

TEST_F(FileFormatTest, MagicValuesAreStoredAsTheirFileBytes) {
    kelvo_uint8 const Zeros[16] = {};
    for (magic_row const &Row : MagicRows) {
        EXPECT_EQ(std::memcmp(Row.Value, Row.Bytes, 16), 0) << Row.PointerSizeInBits;
        EXPECT_EQ(std::memcmp(reinterpret_cast<kelvo_uint8 const *>(Row.Value) + 16, Zeros, 16), 0);
        if (Row.PointerSizeInBits == PointerBits && Row.IsLittleEndian) {
            EXPECT_EQ(std::memcmp(KelvoKVNFileMV_ThisPlatform, Row.Value, 32), 0);
        }
    }
    EXPECT_EQ(std::memcmp(KelvoKVNFileMV_Old, OldBytes, 16), 0);
    EXPECT_EQ(
        std::memcmp(reinterpret_cast<kelvo_uint8 const *>(KelvoKVNFileMV_Old) + 16, Zeros, 16), 0);

    kelvo_int32 Bits = 0;
    kelvo_bool32 Little = 0;
    EXPECT_TRUE(KelvoGetThisPlatformProperties(&Bits, &Little));
    EXPECT_EQ(Bits, PointerBits);
    EXPECT_TRUE(Little);
    EXPECT_TRUE(KelvoGetMagicValueProperties(KelvoKVNFileMV_ThisPlatform, &Bits, &Little));
    EXPECT_EQ(Bits, PointerBits);
    EXPECT_TRUE(Little);
}

TEST_F(FileFormatTest, MagicValuesAreRecognisedInEitherWordOrder) {
    for (magic_row const &Row : MagicRows) {
        // The kind of match does not matter for these rows.
        for (kelvo_file_magic_value const &Value : {*Row.Value, WordReversed(*Row.Value)}) {
            kelvo_int32 Bits = 0;
            kelvo_bool32 Little = 0;
            EXPECT_TRUE(KelvoGetMagicValueProperties(&Value, &Bits, &Little));
            EXPECT_EQ(Bits, Row.PointerSizeInBits);
            EXPECT_EQ(Little != 0, Row.IsLittleEndian) << Row.PointerSizeInBits;

            kelvo_uint32 HeaderSize = 1;
            kelvo_bool32 Reversed = 1, Differs = 1;
            EXPECT_TRUE(KelvoIsKelvoFile(&Value, &HeaderSize, &Reversed, &Differs));
            EXPECT_EQ(Reversed != 0, !Row.IsLittleEndian);
            EXPECT_EQ(Differs != 0, Row.PointerSizeInBits != PointerBits);
        }
    }
    // The old value's word order alone tells its byte order.
    kelvo_int32 Bits = 0;
    kelvo_bool32 Little = 0;
    EXPECT_TRUE(KelvoGetMagicValueProperties(KelvoKVNFileMV_Old, &Bits, &Little));
    EXPECT_EQ(Bits, 32);
    EXPECT_TRUE(Little);
    kelvo_file_magic_value const Reversed = WordReversed(*KelvoKVNFileMV_Old);
    EXPECT_TRUE(KelvoGetMagicValueProperties(&Reversed, &Bits, &Little));
    EXPECT_EQ(Bits, 32);
    EXPECT_FALSE(Little);
    EXPECT_TRUE(KelvoGetMagicValueProperties(&Reversed, nullptr, nullptr));
}

TEST_F(FileFormatTest, UnknownMagicValueIsRefusedWithZeroedOutputs) {
    kelvo_file_magic_value Value = *KelvoKVNFileMV_32Bit_LittleEndian;
    Value.HeaderSize = 440;
    reinterpret_cast<kelvo_uint8 *>(Value.MagicValue)[9] ^= 0x01;
    kelvo_uint32 HeaderSize = 7;
    kelvo_bool32 Reversed = 7, Differs = 7;
    EXPECT_FALSE(KelvoIsKelvoFile(&Value, &HeaderSize, &Reversed, &Differs));
    EXPECT_EQ(HeaderSize, 0u);
    EXPECT_FALSE(Reversed);
    EXPECT_FALSE(Differs);
    ExpectLogged(KelvoWarningLogMessage, "Magic value (0xc06cde29, 0x2b53a4ba, 0xa5b7f425, "
                                         "0xeee266f6) doesn't match any known file format");
    EXPECT_EQ(Messages().size(), 0u);

    kelvo_int32 Bits = 7;
    kelvo_bool32 Little = 7;
    EXPECT_FALSE(KelvoGetMagicValueProperties(&Value, &Bits, &Little));
    EXPECT_EQ(Bits, 0);
    EXPECT_FALSE(Little);
    ExpectLogged(KelvoWarningLogMessage, "doesn't match any known file format");

    EXPECT_FALSE(KelvoIsKelvoFile(nullptr, &HeaderSize, nullptr, nullptr));
    ExpectFileReadingError("MagicValue is not allowed to be 0");
}

TEST_F(FileFormatTest, IsKelvoFileReadsHeaderSizeInTheFilesByteOrder) {
    kelvo_file_magic_value Little = *KelvoKVNFileMV_ThisPlatform;
    Little.HeaderSize = 440;
    kelvo_uint32 HeaderSize = 0;
    kelvo_bool32 Reversed = 1, Differs = 1;
    EXPECT_TRUE(KelvoIsKelvoFile(&Little, &HeaderSize, &Reversed, &Differs));
    EXPECT_EQ(HeaderSize, 440u);
    EXPECT_FALSE(Reversed);
    EXPECT_FALSE(Differs);

    kelvo_file_magic_value Big = *KelvoKVNFileMV_32Bit_BigEndian;
    Big.HeaderSize = 0xb8010000u; // 440 as a big-endian writer stores it
    EXPECT_TRUE(KelvoIsKelvoFile(&Big, &HeaderSize, &Reversed, &Differs));
    EXPECT_EQ(HeaderSize, 440u);
    EXPECT_TRUE(Reversed);
    EXPECT_EQ(Differs != 0, PointerBits != 32);
}

TEST_F(FileFormatTest, MagicValueForPlatformCopiesTheTableRow) {
    for (magic_row const &Row : MagicRows) {
        kelvo_file_magic_value Value;
        std::memset(&Value, 0xee, sizeof(Value));
        EXPECT_TRUE(
            KelvoGetMagicValueForPlatform(Row.PointerSizeInBits, Row.IsLittleEndian, &Value));
        EXPECT_EQ(std::memcmp(&Value, Row.Value, sizeof(Value)), 0);
    }
    kelvo_file_magic_value Value = {};
    EXPECT_FALSE(KelvoGetMagicValueForPlatform(16, 1, &Value));
    EXPECT_FALSE(KelvoGetMagicValueForPlatform(128, 0, &Value));
    EXPECT_EQ(Value.MagicValue[0], 0u);
    EXPECT_FALSE(KelvoGetMagicValueForPlatform(32, 1, nullptr));
    ExpectFileReadingError("MagicValue is not allowed to be 0");
}

TEST_F(FileFormatTest, StandardSectionNames) {
    char const *const Names[] = {"0 - StandardMainSection",
                                 "1 - StandardRigidVertexSection",
                                 "2 - StandardRigidIndexSection",
                                 "3 - StandardDeformableVertexSection",
                                 "4 - StandardDeformableIndexSection",
                                 "5 - StandardTextureSection",
                                 "6 - StandardDiscardableSection",
                                 "7 - StandardUnloadedSection"};
    for (kelvo_int32 Index = 0; Index < KelvoStandardSectionCount; ++Index) {
        EXPECT_STREQ(KelvoGetStandardSectionName(Index), Names[Index]);
    }
    EXPECT_STREQ(KelvoGetStandardSectionName(8), "(non-standard section)");
    ExpectFileReadingError("SectionIndex 8 is out of range [0, 8)");
    EXPECT_STREQ(KelvoGetStandardSectionName(-1), "(non-standard section)");
    ExpectFileReadingError("SectionIndex -1 is out of range [0, 8)");
}

TEST_F(FileFormatTest, SectionArrayMustLieInsideTheHeaderBlock) {
    // Eight sections: the data starts right after the array, at 440.
    EXPECT_EQ(kelvo::HeaderSizeForSections(8), 440);
    constexpr kelvo_int64 BlockSize = 440 - 32;
    alignas(4) kelvo_uint8 Block[BlockSize] = {};
    auto *Header = reinterpret_cast<kelvo_file_header *>(Block);
    Header->SectionArrayOffset = 56;
    Header->SectionArrayCount = 8;
    EXPECT_EQ(reinterpret_cast<kelvo_uint8 *>(KelvoGetKVNSectionArray(Header)), Block + 56);
    EXPECT_EQ(kelvo::GetCheckedSectionArray(Header, BlockSize),
              reinterpret_cast<kelvo_section_header *>(Block + 56));

    struct {
        kelvo_uint32 Offset, Count;
        kelvo_int64 BlockSize;
    } const Refused[] = {
        {56, 9, BlockSize},           // one header too many
        {60, 8, BlockSize},           // shifted past the end
        {58, 1, BlockSize},           // not 4-aligned
        {52, 1, BlockSize},           // overlapping the header
        {56, 0xffffffffu, BlockSize}, // a count that would wrap
        {56, 0, 40},                  // a block shorter than the header
    };
    for (auto const &Case : Refused) {
        Header->SectionArrayOffset = Case.Offset;
        Header->SectionArrayCount = Case.Count;
        EXPECT_EQ(kelvo::GetCheckedSectionArray(Header, Case.BlockSize), nullptr);
        EXPECT_EQ(Messages().size(), 1u) << Case.Offset << " " << Case.Count;
        TakeMessages();
    }
    EXPECT_EQ(KelvoGetKVNSectionArray(nullptr), nullptr);
    ExpectFileReadingError("Header is not allowed to be 0");
}

TEST_F(FileFormatTest, SectionHeadersAreCheckedAgainstTheFile) {
    kelvo_section_header Good = {};
    Good.Format = KelvoNoCompression;
    Good.DataOffset = 440;
    Good.DataSize = Good.ExpandedDataSize = 100;
    Good.First16Bit = 40;
    Good.First8Bit = 60;
    Good.PointerFixupArrayOffset = 540;
    Good.PointerFixupArrayCount = 2;
    Good.MixedMarshallingFixupArrayOffset = 564;
    Good.MixedMarshallingFixupArrayCount = 1;
    constexpr kelvo_int64 FileSize = 580;
    EXPECT_TRUE(kelvo::CheckSectionHeader(Good, 3, FileSize));

    struct {
        void (*Change)(kelvo_section_header &);
        char const *Fragment;
    } const Cases[] = {
        {[](kelvo_section_header &S) { S.DataOffset = 481; }, "Section 3 stores 100 bytes"},
        {[](kelvo_section_header &S) { S.DataSize = 0xffffffffu; }, "stores 4294967295 bytes"},
        {[](kelvo_section_header &S) { S.PointerFixupArrayCount = 4; }, "4 pointer fix-ups"},
        {[](kelvo_section_header &S) { S.PointerFixupArrayCount = 0x20000000u; },
         "pointer fix-ups at offset 540"},
        {[](kelvo_section_header &S) { S.MixedMarshallingFixupArrayOffset = 565; },
         "1 marshalling fix-ups"},
        {[](kelvo_section_header &S) { S.First16Bit = 61; }, "not in order"},
        {[](kelvo_section_header &S) { S.First8Bit = 101; }, "not in order"},
        {[](kelvo_section_header &S) { S.DataSize = 80, S.ExpandedDataSize = 79; },
         "80 uncompressed bytes for 79"},
        {[](kelvo_section_header &S) { S.DataSize = 79, S.ExpandedDataSize = 80; },
         "79 uncompressed bytes for 80"},
        {[](kelvo_section_header &S) {
             S.Format = KelvoFenwa1Compression;
             S.DataSize = 0;
             S.ExpandedDataSize = 0x7ffffffdu;
         },
         "more than one block can hold"},
    };
    for (auto const &Case : Cases) {
        kelvo_section_header Section = Good;
        Case.Change(Section);
        EXPECT_FALSE(kelvo::CheckSectionHeader(Section, 3, FileSize)) << Case.Fragment;
        ExpectFileReadingError(Case.Fragment);
    }
    // Compressed data may be smaller or larger than what it expands to.
    kelvo_section_header Compressed = Good;
    Compressed.Format = KelvoFenwa1Compression;
    Compressed.ExpandedDataSize = 64;
    EXPECT_TRUE(kelvo::CheckSectionHeader(Compressed, 3, FileSize));
}

TEST_F(FileFormatTest, ReverseSectionSwapsTwoRegionsAndStopsAtTheEnd) {
    kelvo_uint8 Data[24];
    for (int Index = 0; Index < 24; ++Index) {
        Data[Index] = (kelvo_uint8)Index;
    }
    KelvoReverseSection(8, 14, 24, Data);
    kelvo_uint8 const Expected[24] = {3,  2,  1,  0,  7,  6,  5,  4,  9,  8,  11, 10,
                                      13, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23};
    EXPECT_EQ(std::memcmp(Data, Expected, 24), 0);

    // Regions claimed past the end are cut there; nothing beyond is touched.
    for (int Index = 0; Index < 24; ++Index) {
        Data[Index] = (kelvo_uint8)Index;
    }
    KelvoReverseSection(12, 100, 16, Data);
    kelvo_uint8 const Cut[24] = {3,  2,  1,  0,  7,  6,  5,  4,  11, 10, 9,  8,
                                 13, 12, 15, 14, 16, 17, 18, 19, 20, 21, 22, 23};
    EXPECT_EQ(std::memcmp(Data, Cut, 24), 0);
    KelvoReverseSection(100, 200, 0, nullptr); // empty: nothing to touch
    KelvoReverseSection(4, 4, 8, nullptr);
    ExpectFileReadingError("SectionData is not allowed to be 0");
}

TEST_F(FileFormatTest, PointerFixupsWriteNativePointersAndNullForUnloadedTargets) {
    test_sections Sections(64, 32);
    kelvo_pointer_fixup const Fixups[] = {
        {0, {1, 12}}, {PointerSize, {0, 64}}, {2 * PointerSize, {1, 0}}};
    std::memset(Sections.Data[0], 0, 3 * PointerSize);
    KelvoKVNFixUp(3, Fixups, Sections.Bases, Sections.Bases[0]);
    EXPECT_EQ(PointerAt(Sections.At(0, 0)), Sections.At(1, 12));
    EXPECT_EQ(PointerAt(Sections.At(0, PointerSize)), Sections.At(0, 64));
    EXPECT_EQ(PointerAt(Sections.At(0, 2 * PointerSize)), Sections.At(1, 0));

    // Section 1 not loaded: its targets become null, which is no error.
    Sections.Bases[1] = nullptr;
    KelvoKVNFixUp(3, Fixups, Sections.Bases, Sections.Bases[0]);
    EXPECT_EQ(PointerAt(Sections.At(0, 0)), nullptr);
    EXPECT_EQ(PointerAt(Sections.At(0, 2 * PointerSize)), nullptr);
    std::memset(Sections.Data[0], 0x5a, 3 * PointerSize);
    EXPECT_TRUE(kelvo::FixUpSection(Sections.Bounds(), 0, 3, Fixups));
    EXPECT_EQ(PointerAt(Sections.At(0, 0)), nullptr);
    EXPECT_EQ(PointerAt(Sections.At(0, PointerSize)), Sections.At(0, 64));
    EXPECT_EQ(PointerAt(Sections.At(0, 2 * PointerSize)), nullptr);

    kelvo_file_reference const Reference = {0, 20};
    EXPECT_EQ(KelvoDecodeKVNReference(Sections.Bases, &Reference), Sections.At(0, 20));
    kelvo_file_reference const Unloaded = {1, 20};
    EXPECT_EQ(KelvoDecodeKVNReference(Sections.Bases, &Unloaded), nullptr);

    EXPECT_EQ(KelvoGetCompressedBytesPaddingSize(KelvoNoCompression), 0);
    EXPECT_EQ(KelvoGetCompressedBytesPaddingSize(KelvoFenwa0Compression), 4);
    EXPECT_EQ(KelvoGetCompressedBytesPaddingSize(KelvoFenwa1Compression), 4);
    EXPECT_EQ(KelvoGetCompressedBytesPaddingSize(3), 0);
}

TEST_F(FileFormatTest, CheckedFixupsSkipFieldsAndTargetsOutsideTheirSections) {
    test_sections Sections(64, 32);
    kelvo_uint32 const LastField = 64 - PointerSize;
    kelvo_pointer_fixup const Fixups[] = {
        {LastField + 1, {1, 0}},    // field straddles the end: skipped
        {0xfffffffcu, {1, 0}},      // field far outside: skipped
        {0, {2, 0}},                // no section 2: null
        {PointerSize, {1, 33}},     // past section 1's end: null
        {2 * PointerSize, {1, 32}}, // one past the end, as empty arrays point
        {LastField, {0, 4}},
    };
    std::memset(Sections.Data[0], 0x5a, sizeof(Sections.Data[0]));
    EXPECT_FALSE(kelvo::FixUpSection(Sections.Bounds(), 0, 6, Fixups));
    ExpectFileReadingError("Pointer fix-up 0 of section 0 writes at offset " +
                           std::to_string(LastField + 1) + ", past the section's 64 bytes");
    ExpectFileReadingError("Pointer fix-up 1 of section 0 writes at offset 4294967292");
    ExpectFileReadingError("Pointer fix-up 2 of section 0 points at offset 0 of section 2");
    ExpectFileReadingError("Pointer fix-up 3 of section 0 points at offset 33 of section 1");
    EXPECT_EQ(PointerAt(Sections.At(0, 0)), nullptr);
    EXPECT_EQ(PointerAt(Sections.At(0, PointerSize)), nullptr);
    EXPECT_EQ(PointerAt(Sections.At(0, 2 * PointerSize)), Sections.At(1, 32));
    EXPECT_EQ(PointerAt(Sections.At(0, LastField)), Sections.At(0, 4));
    EXPECT_EQ(Sections.Data[0][64], 0x5a) << "nothing written past the section";

    // Many bad records are reported a few at a time, then counted.
    std::vector<kelvo_pointer_fixup> Bad(1000, kelvo_pointer_fixup{64, {0, 0}});
    EXPECT_FALSE(kelvo::FixUpSection(Sections.Bounds(), 1, 1000, Bad.data()));
    ExpectFileReadingError("1000 pointer fix-ups of section 1 were skipped in all");
    EXPECT_LE(TakeMessages().size(), 4u);

    EXPECT_FALSE(kelvo::FixUpSection(Sections.Bounds(), 2, 1, Fixups));
    ExpectFileReadingError("SectionIndex 2 is out of range [0, 2)");
}

TEST_F(FileFormatTest, MarshallingReversesMixedRecordsThroughInlineTypes) {
    test_sections Sections(1024, 64);
    kelvo_data_type_definition *Type = PutMixedType(Sections);
    ASSERT_EQ(KelvoGetTotalObjectSize(Type), (kelvo_int32)sizeof(mixed_record));
    mixed_record Records[3] = {ReversedMixed, ReversedMixed, NativeMixed};
    std::memcpy(Sections.At(1, 16), Records, sizeof(Records));

    // Two records in section 1 described by the type in section 0.
    kelvo_marshalling_fixup const Fixups[] = {{2, 16, {0, 0}}, {0, 60, {0, 0}}};
    EXPECT_TRUE(kelvo::MarshallSection(Sections.Bounds(), 1, 2, Fixups));
    std::memcpy(Records, Sections.At(1, 16), sizeof(Records));
    EXPECT_TRUE(SameRecord(Records[0], NativeMixed));
    EXPECT_TRUE(SameRecord(Records[1], NativeMixed));
    EXPECT_TRUE(SameRecord(Records[2], NativeMixed)) << "the record after them is left alone";

    // The trusting export does the same, and back.
    KelvoKVNMarshall(1, Fixups, Sections.Bases, Sections.Bases[1]);
    std::memcpy(Records, Sections.At(1, 16), sizeof(Records));
    EXPECT_TRUE(SameRecord(Records[0], ReversedMixed));
    EXPECT_TRUE(SameRecord(Records[1], ReversedMixed));
}

TEST_F(FileFormatTest, CheckedMarshallingSkipsRecordsAndTypesOutsideTheSections) {
    test_sections Sections(0, 64);
    PutMixedType(Sections); // records 0 to 6
    kelvo_uint32 const Outside = 7 * MemberRecordSize;
    auto *Hostile = Sections.PutType(0, Outside,
                                     {MakeMember(KelvoUInt32Member, "A"),
                                      MakeMember(KelvoInlineMember, "Static", KelvoInt16Type)});
    kelvo_uint32 const Unterminated = 10 * MemberRecordSize;
    Sections.PutType(0, Unterminated, {MakeMember(KelvoUInt32Member, "A")});
    Sections.Headers[0].ExpandedDataSize = 11 * MemberRecordSize; // cuts its terminator off

    std::memset(Sections.At(1, 48), 0x77, 16);
    kelvo_marshalling_fixup const Fixups[] = {
        {2, 48, {0, 0}},                         // two 12-byte records from 48 overrun 64
        {1, 60, {0, 0}},                         // one from 60 overruns too
        {0x80000000u, 0, {0, 0}},                // a count beyond int32
        {1, 48, {0, 2}},                         // type not 4-aligned
        {1, 48, {0, 10 * MemberRecordSize + 4}}, // type record past its section's end
        {1, 48, {3, 0}},                         // no such section
        {1, 48, {0, Unterminated}},              // no terminator inside the section
        {1, 48, {0, Outside}},                   // inline type outside every section
    };
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 8, Fixups));
    ExpectFileReadingError("Marshalling fix-up 0 of section 1: 2 records of 12 bytes at offset 48 "
                           "run past the section's 64 bytes");
    ExpectFileReadingError("Marshalling fix-up 1 of section 1: 1 records");
    ExpectFileReadingError("Marshalling fix-up 2 of section 1: 2147483648 records");
    ExpectFileReadingError("Marshalling fix-up 3 of section 1 uses a type definition that does "
                           "not lie, 4-byte aligned, inside a loaded section");
    ExpectFileReadingError("8 marshalling fix-ups of section 1 were skipped in all");
    kelvo_uint8 Untouched[16];
    std::memset(Untouched, 0x77, 16);
    EXPECT_EQ(std::memcmp(Sections.At(1, 48), Untouched, 16), 0);

    // One at a time, to see each reason.
    struct {
        kelvo_marshalling_fixup Fixup;
        std::string Fragment;
    } const Singles[] = {
        {Fixups[4], "takes its type from offset " + std::to_string(Fixups[4].Type.Offset) +
                        " of section 0, which is not loaded or not there"},
        {Fixups[5], "takes its type from offset 0 of section 3"},
        {Fixups[6], "uses a type definition that runs past the end of its section"},
        {Fixups[7], "does not lie, 4-byte aligned, inside a loaded section"},
    };
    for (auto const &Single : Singles) {
        EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Single.Fixup));
        ExpectFileReadingError(Single.Fragment);
    }

    // Member types and widths are refused before the type is measured.
    Hostile[0].ArrayWidth = -1;
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Fixups[7]));
    ExpectFileReadingError("member type or array width out of range");
    Hostile[0].ArrayWidth = 0;
    Hostile[0].Type = KelvoOnePastLastMemberType;
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Fixups[7]));
    ExpectFileReadingError("member type or array width out of range");

    // Without the type's section the records stay as they are.
    Sections.Bases[0] = nullptr;
    kelvo_marshalling_fixup const Good = {1, 48, {0, 0}};
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Good));
    ExpectFileReadingError("which is not loaded or not there");
    EXPECT_EQ(std::memcmp(Sections.At(1, 48), Untouched, 16), 0);
}

TEST_F(FileFormatTest, HostileMarshallingEndsInBoundedWork) {
    test_sections Sections(4096, 64);
    // Records laid over their own type would rewrite it while it is read.
    PutMixedType(Sections); // records 0 to 6
    kelvo_marshalling_fixup const OverType = {2, 4, {0, 0}};
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 0, 1, &OverType));
    ExpectFileReadingError("reverses records that overlap their own type definition");

    // An inline type that contains itself stops at the nesting limit.
    kelvo_uint32 const Loop = 8 * MemberRecordSize;
    auto *Looping = Sections.PutType(0, Loop, {MakeMember(KelvoInlineMember, "Self")});
    Looping->ReferenceType = Looping;
    kelvo_marshalling_fixup const OnLoop = {1, 0, {0, Loop}};
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &OnLoop));
    ExpectFileReadingError("nest deeper than 64 levels");

    // Each level inlines the one below twice: 2^21 members of empty types.
    kelvo_uint32 Offset = 10 * MemberRecordSize;
    kelvo_data_type_definition *Level = Sections.PutType(0, Offset, {});
    for (int Depth = 0; Depth < 21; ++Depth) {
        Offset += (Depth ? 3 : 1) * MemberRecordSize;
        Level = Sections.PutType(
            0, Offset,
            {MakeMember(KelvoInlineMember, "L", Level), MakeMember(KelvoInlineMember, "R", Level)});
    }
    ASSERT_LE(Offset + 3 * MemberRecordSize, 4096u);
    kelvo_marshalling_fixup const OnDoubling = {1, 0, {0, Offset}};
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &OnDoubling));
    ExpectFileReadingError("more than 1048576 members, counting those of inline types");

    // The same records reversed over and over exhaust the section's budget.
    std::vector<kelvo_marshalling_fixup> Repeated(200000, kelvo_marshalling_fixup{4, 0, {0, 0}});
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, (kelvo_int32)Repeated.size(),
                                        Repeated.data()));
    ExpectFileReadingError("ask for more work than its 64 bytes can need");
    ExpectFileReadingError("marshalling fix-ups of section 1 were skipped in all");
}

// A file as a big-endian writer with this build's pointer size stores it,
// taken apart the way the loader does.
TEST_F(FileFormatTest, BigEndianFileImageDecodesToNativeValues) {
    std::vector<kelvo_uint8> Image(1024, 0);
    auto Put32 = [&Image](kelvo_uint32 At, kelvo_uint32 Value) {
        for (int Byte = 0; Byte < 4; ++Byte) {
            Image[At + Byte] = (kelvo_uint8)(Value >> (24 - 8 * Byte));
        }
    };
    auto Put16 = [&Image](kelvo_uint32 At, kelvo_uint16 Value) {
        Image[At] = (kelvo_uint8)(Value >> 8);
        Image[At + 1] = (kelvo_uint8)Value;
    };
    kelvo_file_magic_value Magic;
    ASSERT_TRUE(KelvoGetMagicValueForPlatform(PointerBits, 0, &Magic));
    std::memcpy(Image.data(), &Magic, 16);
    constexpr kelvo_uint32 HeaderSize = 88 + 2 * 44; // section 1 is empty
    Put32(16, HeaderSize);

    // Section 0: the 32-bit region holds a word, two pointers and the mixed
    // record's type; then two 16-bit words; then bytes and two mixed records.
    constexpr kelvo_uint32 Data = HeaderSize;
    constexpr kelvo_uint32 TypeAt = 4 + 2 * PointerSize;
    constexpr kelvo_uint32 First16Bit = TypeAt + 4 * MemberRecordSize;
    constexpr kelvo_uint32 First8Bit = First16Bit + 4;
    constexpr kelvo_uint32 RecordsAt = First8Bit + 4;
    constexpr kelvo_uint32 Expanded = RecordsAt + 2 * sizeof(mixed_record);
    Put32(Data, 0x01020304u);
    auto PutMember = [&](kelvo_uint32 At, kelvo_member_type Type, kelvo_int32 Width) {
        Put32(At, (kelvo_uint32)Type);
        Put32(At + 4 + 2 * PointerSize, (kelvo_uint32)Width);
    };
    PutMember(Data + TypeAt, KelvoUInt32Member, 0);
    PutMember(Data + TypeAt + MemberRecordSize, KelvoUInt16Member, 3);
    PutMember(Data + TypeAt + 2 * MemberRecordSize, KelvoUInt8Member, 2);
    Put16(Data + First16Bit, 0xa1b2);
    Put16(Data + First16Bit + 2, 0xc3d4);
    std::memcpy(&Image[Data + First8Bit], "kv2!", 4);
    for (kelvo_uint32 Record = 0; Record < 2; ++Record) {
        kelvo_uint32 At = Data + RecordsAt + Record * 12;
        Put32(At, 0x0a0b0c0du + Record);
        Put16(At + 4, 0x1122);
        Put16(At + 6, 0x3344);
        Put16(At + 8, 0x5566);
        Image[At + 10] = 0x77;
        Image[At + 11] = 0x88;
    }
    constexpr kelvo_uint32 Fixups = Data + (Expanded + 3) / 4 * 4;
    Put32(Fixups, 4); // pointer at 4 to the records
    Put32(Fixups + 8, RecordsAt);
    Put32(Fixups + 12, 4 + PointerSize); // pointer to an unloaded section
    Put32(Fixups + 16, 1);
    constexpr kelvo_uint32 Marshalling = Fixups + 24;
    Put32(Marshalling, 2);
    Put32(Marshalling + 4, RecordsAt);
    Put32(Marshalling + 12, TypeAt);
    constexpr kelvo_uint32 FileSize = Marshalling + 16;

    Put32(32 + 12, 56); // SectionArrayOffset
    Put32(32 + 16, 2);  // SectionArrayCount
    kelvo_uint32 const Section[11] = {
        KelvoNoCompression, Data,   Expanded, Expanded,    4, First16Bit,
        First8Bit,          Fixups, 2,        Marshalling, 1};
    for (int Field = 0; Field < 11; ++Field) {
        Put32(88 + 4 * Field, Section[Field]);
    }

    kelvo_uint32 ReadHeaderSize;
    kelvo_bool32 Reversed, Differs;
    ASSERT_TRUE(KelvoIsKelvoFile(reinterpret_cast<kelvo_file_magic_value *>(Image.data()),
                                 &ReadHeaderSize, &Reversed, &Differs));
    EXPECT_EQ(ReadHeaderSize, HeaderSize);
    EXPECT_TRUE(Reversed);
    EXPECT_FALSE(Differs);

    std::vector<kelvo_uint32> Block((HeaderSize + 3) / 4);
    std::memcpy(Block.data(), &Image[32], HeaderSize);
    kelvo::Reverse32((kelvo_int32)HeaderSize, Block.data());
    auto *Header = reinterpret_cast<kelvo_file_header *>(Block.data());
    kelvo_section_header *Headers = kelvo::GetCheckedSectionArray(Header, HeaderSize);
    ASSERT_NE(Headers, nullptr);
    ASSERT_TRUE(kelvo::CheckSectionHeader(Headers[0], 0, FileSize));
    ASSERT_TRUE(kelvo::CheckSectionHeader(Headers[1], 1, FileSize));
    EXPECT_EQ(Headers[1].ExpandedDataSize, 0u);
    EXPECT_EQ(Headers[0].First8Bit, First8Bit);

    alignas(8) kelvo_uint8 Loaded[Expanded];
    std::memcpy(Loaded, &Image[Headers[0].DataOffset], Headers[0].DataSize);
    KelvoReverseSection(Headers[0].First16Bit, Headers[0].First8Bit, Headers[0].ExpandedDataSize,
                        Loaded);
    kelvo_pointer_fixup PointerFixups[2];
    std::memcpy(PointerFixups, &Image[Headers[0].PointerFixupArrayOffset], sizeof(PointerFixups));
    kelvo::Reverse32(sizeof(PointerFixups), PointerFixups);
    kelvo_marshalling_fixup MarshallingFixup;
    std::memcpy(&MarshallingFixup, &Image[Marshalling], sizeof(MarshallingFixup));
    kelvo::Reverse32(sizeof(MarshallingFixup), &MarshallingFixup);

    void *Bases[2] = {Loaded, nullptr};
    kelvo::section_bounds Sections = {2, Bases, Headers};
    EXPECT_TRUE(kelvo::FixUpSection(Sections, 0, 2, PointerFixups));
    EXPECT_TRUE(kelvo::MarshallSection(Sections, 0, 1, &MarshallingFixup));

    kelvo_uint32 Word;
    std::memcpy(&Word, Loaded, 4);
    EXPECT_EQ(Word, 0x01020304u);
    EXPECT_EQ(PointerAt(Loaded + 4), Loaded + RecordsAt);
    EXPECT_EQ(PointerAt(Loaded + 4 + PointerSize), nullptr);
    kelvo_uint16 Halves[2];
    std::memcpy(Halves, Loaded + First16Bit, 4);
    EXPECT_EQ(Halves[0], 0xa1b2);
    EXPECT_EQ(Halves[1], 0xc3d4);
    EXPECT_EQ(std::memcmp(Loaded + First8Bit, "kv2!", 4), 0);
    for (kelvo_uint32 Record = 0; Record < 2; ++Record) {
        kelvo_uint8 const *At = Loaded + RecordsAt + Record * 12;
        kelvo_uint16 Shorts[3];
        std::memcpy(&Word, At, 4);
        std::memcpy(Shorts, At + 4, 6);
        EXPECT_EQ(Word, 0x0a0b0c0du + Record);
        EXPECT_EQ(Shorts[0], 0x1122);
        EXPECT_EQ(Shorts[2], 0x5566);
        EXPECT_EQ(At[10], 0x77);
        EXPECT_EQ(At[11], 0x88);
    }
}

} // namespace
