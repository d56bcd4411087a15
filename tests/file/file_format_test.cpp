#include "data/kelvo_data_type.h"
#include "file/kelvo_file_format.h"
#include "foundation/kelvo_memory.h"
#include "kelvo_test.h"

#include <cstring>
#include <vector>

using kelvo::MakeMember;

namespace {

constexpr kelvo_int32 PointerBits = (kelvo_int32)sizeof(void *) * 8;
constexpr kelvo_uint32 PointerSize = sizeof(void *);
constexpr kelvo_uint32 MemberSize = sizeof(kelvo_data_type_definition);

// The known values as files store them, with each row's properties.
struct magic_row {
    kelvo_file_magic_value const *Value;
    char const *Hex;
    kelvo_int32 PointerSizeInBits;
    bool IsLittleEndian;
} const MagicRows[] = {
    {KelvoKVNFileMV_32Bit_LittleEndian, "29de6cc0baa4532b25f5b7a5f666e2ee", 32, true},
    {KelvoKVNFileMV_32Bit_BigEndian, "0e1195b56aa5b54beb2828502578b304", 32, false},
    {KelvoKVNFileMV_64Bit_LittleEndian, "e59b495e6f631f141e13eba990beedc4", 64, true},
    {KelvoKVNFileMV_64Bit_BigEndian, "3195d4e320dc4f62cc36d03ab182ff89", 64, false},
    {KelvoKVNFileMV_Old, "b867b0caf86db10f84728c7e5e19001e", 32, true},
};

// The 32-byte record of a value: its 16 bytes, then zeros.
std::vector<kelvo_uint8> RecordBytes(char const *Hex) {
    std::vector<kelvo_uint8> Bytes(32, 0);
    for (int Index = 0; Index < 16; ++Index) {
        Bytes[Index] = (kelvo_uint8)std::stoi(std::string(Hex + 2 * Index, 2), nullptr, 16);
    }
    return Bytes;
}

kelvo_file_magic_value WordReversed(kelvo_file_magic_value Value) {
    kelvo::Reverse32(sizeof(Value.MagicValue), Value.MagicValue);
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
    // Writes the members and a terminator at Offset.
    kelvo_data_type_definition *PutType(int Section, kelvo_uint32 Offset,
                                        std::vector<kelvo_data_type_definition> Members) {
        Members.push_back(MakeMember(KelvoEndMember));
        std::memcpy(At(Section, Offset), Members.data(), Members.size() * MemberSize);
        return reinterpret_cast<kelvo_data_type_definition *>(At(Section, Offset));
    }
    // The mixed record's type at 0 with its inline type at 4 members: A,
    // then B[2] and C[2] inline, then D; member records 0 to 6.
    void PutMixedType() {
        auto *Inner = PutType(0, 4 * MemberSize,
                              {MakeMember(KelvoUInt16Member, "B", nullptr, 2),
                               MakeMember(KelvoUInt8Member, "C", nullptr, 2)});
        PutType(0, 0,
                {MakeMember(KelvoUInt32Member, "A"), MakeMember(KelvoInlineMember, "In", Inner),
                 MakeMember(KelvoUInt16Member, "D")});
    }
};

constexpr kelvo_uint8 NativeMixed[12] = {0x44, 0x33, 0x22, 0x11, 0x66, 0x55,
                                         0x88, 0x77, 0x99, 0xaa, 0xcc, 0xbb};
constexpr kelvo_uint8 ReversedMixed[12] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                           0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc};

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
};

TEST_F(FileFormatTest, MagicValuesAreTheirFileBytes) {
    for (magic_row const &Row : MagicRows) {
        std::vector<kelvo_uint8> const Expected = RecordBytes(Row.Hex);
        EXPECT_EQ(std::memcmp(Row.Value, Expected.data(), 32), 0) << Row.Hex;
        if (Row.Value == KelvoKVNFileMV_Old) {
            continue; // read, never written
        }
        kelvo_file_magic_value Copy;
        std::memset(&Copy, 0xee, sizeof(Copy));
        EXPECT_TRUE(
            KelvoGetMagicValueForPlatform(Row.PointerSizeInBits, Row.IsLittleEndian, &Copy));
        EXPECT_EQ(std::memcmp(&Copy, Expected.data(), 32), 0) << Row.Hex;
        if (Row.PointerSizeInBits == PointerBits && Row.IsLittleEndian) {
            EXPECT_EQ(std::memcmp(KelvoKVNFileMV_ThisPlatform, Expected.data(), 32), 0);
        }
    }
    kelvo_file_magic_value Copy = {};
    EXPECT_FALSE(KelvoGetMagicValueForPlatform(16, 1, &Copy));
    EXPECT_FALSE(KelvoGetMagicValueForPlatform(128, 0, &Copy));
    EXPECT_EQ(Copy.MagicValue[0], 0u);
    EXPECT_FALSE(KelvoGetMagicValueForPlatform(32, 1, nullptr));
    ExpectFileReadingError("MagicValue is not allowed to be 0");

    kelvo_int32 Bits = 0;
    kelvo_bool32 Little = 0;
    EXPECT_TRUE(KelvoGetThisPlatformProperties(&Bits, &Little));
    EXPECT_EQ(Bits, PointerBits);
    EXPECT_TRUE(Little);
}

TEST_F(FileFormatTest, MagicValuesAreRecognisedInEitherWordOrder) {
    for (magic_row const &Row : MagicRows) {
        for (bool Reverse : {false, true}) {
            kelvo_file_magic_value Value = Reverse ? WordReversed(*Row.Value) : *Row.Value;
            Value.HeaderSize = Reverse ? 0xb8010000u : 440; // 440 in the writer's order
            // Only the old value's word order tells its byte order.
            bool Little = Row.Value == KelvoKVNFileMV_Old ? !Reverse : Row.IsLittleEndian;
            kelvo_int32 Bits = 0;
            kelvo_bool32 ReadLittle = !Little;
            EXPECT_TRUE(KelvoGetMagicValueProperties(&Value, &Bits, &ReadLittle));
            EXPECT_EQ(Bits, Row.PointerSizeInBits) << Row.Hex << Reverse;
            EXPECT_EQ(ReadLittle != 0, Little) << Row.Hex << Reverse;

            kelvo_uint32 HeaderSize = 0;
            kelvo_bool32 Reversed = Little, Differs = 1;
            EXPECT_TRUE(KelvoIsKelvoFile(&Value, &HeaderSize, &Reversed, &Differs));
            EXPECT_EQ(Reversed != 0, !Little);
            EXPECT_EQ(Differs != 0, Row.PointerSizeInBits != PointerBits);
            EXPECT_EQ(HeaderSize, Little == !Reverse ? 440u : 0xb8010000u) << Row.Hex << Reverse;
        }
    }
    EXPECT_TRUE(KelvoGetMagicValueProperties(KelvoKVNFileMV_ThisPlatform, nullptr, nullptr));
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

TEST_F(FileFormatTest, StandardSectionNames) {
    char const *const Names[] = {"0 - StandardMainSection",
                                 "1 - StandardRigidVertexSection",
                                 "2 - StandardRigidIndexSection",
                                 "3 - StandardDeformableVertexSection",
                                 "4 - StandardDeformableIndexSection",
                                 "5 - StandardTextureSection",
                                 "6 - StandardDiscardableSection",
                                 "7 - StandardUnloadedSection"};
    for (kelvo_int32 Index = 0; Index < 8; ++Index) {
        EXPECT_STREQ(KelvoGetStandardSectionName(Index), Names[Index]);
    }
    for (kelvo_int32 Index : {8, -1}) {
        EXPECT_STREQ(KelvoGetStandardSectionName(Index), "(non-standard section)");
        ExpectFileReadingError("SectionIndex " + std::to_string(Index) + " is out of range [0, 8)");
    }
}

TEST_F(FileFormatTest, SectionArrayMustLieInsideTheHeaderBlock) {
    // Eight sections: the data starts right after the array, at 440.
    EXPECT_EQ(kelvo::HeaderSizeForSections(8), 440);
    constexpr kelvo_int64 BlockSize = 440 - 32;
    alignas(4) kelvo_uint8 Block[BlockSize] = {};
    auto *Header = reinterpret_cast<kelvo_file_header *>(Block);
    Header->SectionArrayOffset = 56;
    Header->SectionArrayCount = 8;
    auto *Array = reinterpret_cast<kelvo_section_header *>(Block + 56);
    EXPECT_EQ(KelvoGetKVNSectionArray(Header), Array);
    EXPECT_EQ(kelvo::GetCheckedSectionArray(Header, BlockSize), Array);

    struct {
        kelvo_uint32 Offset, Count;
        kelvo_int64 BlockSize;
    } const Refused[] = {
        {56, 9, BlockSize},
        {60, 8, BlockSize},           // past the end
        {58, 1, BlockSize},           // not 4-aligned
        {52, 1, BlockSize},           // overlapping the header
        {56, 0xffffffffu, BlockSize}, // a count that would wrap
        {56, 0, 40},                  // a block shorter than the header
    };
    for (auto const &Case : Refused) {
        Header->SectionArrayOffset = Case.Offset;
        Header->SectionArrayCount = Case.Count;
        EXPECT_EQ(kelvo::GetCheckedSectionArray(Header, Case.BlockSize), nullptr);
        EXPECT_EQ(TakeMessages().size(), 1u) << Case.Offset << " " << Case.Count;
    }
    EXPECT_EQ(KelvoGetKVNSectionArray(nullptr), nullptr);
    ExpectFileReadingError("Header is not allowed to be 0");
}

TEST_F(FileFormatTest, SectionHeadersAreCheckedAgainstTheFile) {
    // Data at 440, two pointer fix-ups at 540, one marshalling fix-up at 564.
    kelvo_section_header const Good = {0, 440, 100, 100, 4, 40, 60, 540, 2, 564, 1};
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
        {[](kelvo_section_header &S) { S.ExpandedDataSize = 99; }, "100 uncompressed bytes for 99"},
        {[](kelvo_section_header &S) { S.ExpandedDataSize = 101; }, "for 101 loaded bytes"},
        {[](kelvo_section_header &S) { S.Format = 2, S.ExpandedDataSize = 0x7ffffffdu; },
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
    struct {
        kelvo_uint32 First16Bit, First8Bit, End;
        kelvo_uint8 Expected[24];
    } const Cases[] = {
        {8, 14, 24, {3,  2,  1,  0,  7,  6,  5,  4,  9,  8,  11, 10,
                     13, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23}},
        // Regions claimed past the end are cut there; nothing beyond is touched.
        {12, 100, 16, {3,  2,  1,  0,  7,  6,  5,  4,  11, 10, 9,  8,
                       13, 12, 15, 14, 16, 17, 18, 19, 20, 21, 22, 23}},
    };
    for (auto const &Case : Cases) {
        kelvo_uint8 Data[24];
        for (int Index = 0; Index < 24; ++Index) {
            Data[Index] = (kelvo_uint8)Index;
        }
        KelvoReverseSection(Case.First16Bit, Case.First8Bit, Case.End, Data);
        EXPECT_EQ(std::memcmp(Data, Case.Expected, 24), 0) << Case.End;
    }
    KelvoReverseSection(100, 200, 0, nullptr); // empty: nothing to touch
    KelvoReverseSection(4, 4, 8, nullptr);
    ExpectFileReadingError("SectionData is not allowed to be 0");
}

TEST_F(FileFormatTest, PointerFixupsWriteNativePointersAndNullForUnloadedTargets) {
    test_sections Sections(64, 32);
    kelvo_pointer_fixup const Fixups[] = {
        {0, {1, 12}}, {PointerSize, {0, 64}}, {2 * PointerSize, {1, 0}}};
    KelvoKVNFixUp(3, Fixups, Sections.Bases, Sections.Bases[0]);
    EXPECT_EQ(PointerAt(Sections.At(0, 0)), Sections.At(1, 12));
    EXPECT_EQ(PointerAt(Sections.At(0, PointerSize)), Sections.At(0, 64));
    EXPECT_EQ(PointerAt(Sections.At(0, 2 * PointerSize)), Sections.At(1, 0));
    kelvo_file_reference const Reference = {1, 20};
    EXPECT_EQ(KelvoDecodeKVNReference(Sections.Bases, &Reference), Sections.At(1, 20));

    // Section 1 not loaded: its targets become null, which is no error.
    Sections.Bases[1] = nullptr;
    EXPECT_EQ(KelvoDecodeKVNReference(Sections.Bases, &Reference), nullptr);
    KelvoKVNFixUp(3, Fixups, Sections.Bases, Sections.Bases[0]);
    EXPECT_EQ(PointerAt(Sections.At(0, 0)), nullptr);
    std::memset(Sections.Data[0], 0x5a, 3 * PointerSize);
    EXPECT_TRUE(kelvo::FixUpSection(Sections.Bounds(), 0, 3, Fixups));
    EXPECT_EQ(PointerAt(Sections.At(0, 0)), nullptr);
    EXPECT_EQ(PointerAt(Sections.At(0, PointerSize)), Sections.At(0, 64));
    EXPECT_EQ(PointerAt(Sections.At(0, 2 * PointerSize)), nullptr);

    for (kelvo_compression_type Format : {-1, 0, 1, 2, 3}) {
        EXPECT_EQ(KelvoGetCompressedBytesPaddingSize(Format), Format == 1 || Format == 2 ? 4 : 0);
    }
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
    Sections.PutMixedType();
    for (kelvo_uint32 Record = 0; Record < 3; ++Record) {
        std::memcpy(Sections.At(1, 16 + 12 * Record), Record < 2 ? ReversedMixed : NativeMixed, 12);
    }
    // Two records in section 1 described by the type in section 0.
    kelvo_marshalling_fixup const Fixups[] = {{2, 16, {0, 0}}, {0, 60, {0, 0}}};
    EXPECT_TRUE(kelvo::MarshallSection(Sections.Bounds(), 1, 2, Fixups));
    for (kelvo_uint32 Record = 0; Record < 3; ++Record) {
        EXPECT_EQ(std::memcmp(Sections.At(1, 16 + 12 * Record), NativeMixed, 12), 0) << Record;
    }
    // The trusting export does the same, and back.
    KelvoKVNMarshall(1, Fixups, Sections.Bases, Sections.Bases[1]);
    EXPECT_EQ(std::memcmp(Sections.At(1, 16), ReversedMixed, 12), 0);
    EXPECT_EQ(std::memcmp(Sections.At(1, 28), ReversedMixed, 12), 0);
}

TEST_F(FileFormatTest, CheckedMarshallingSkipsRecordsAndTypesOutsideTheSections) {
    test_sections Sections(11 * MemberSize, 64); // cuts the last type's terminator off
    Sections.PutMixedType();
    kelvo_uint32 const Outside = 7 * MemberSize, Unterminated = 10 * MemberSize;
    auto *Hostile = Sections.PutType(0, Outside,
                                     {MakeMember(KelvoUInt32Member, "A"),
                                      MakeMember(KelvoInlineMember, "Static", KelvoInt16Type)});
    Sections.PutType(0, Unterminated, {MakeMember(KelvoUInt32Member, "A")});
    std::memset(Sections.At(1, 48), 0x77, 16);
    struct {
        kelvo_marshalling_fixup Fixup;
        std::string Fragment;
    } const Cases[] = {
        {{2, 48, {0, 0}},
         "fix-up 0 of section 1: 2 records of 12 bytes at offset 48 run past "
         "the section's 64 bytes"},
        {{1, 60, {0, 0}}, "1 records of 12 bytes at offset 60"},
        {{0x80000000u, 0, {0, 0}}, "2147483648 records"},
        {{1, 48, {0, 2}},
         "uses a type definition that does not lie, 4-byte aligned, inside a "
         "loaded section"},
        {{1, 48, {0, Unterminated + 4}},
         "takes its type from offset " + std::to_string(Unterminated + 4) +
             " of section 0, which is not loaded or not there"},
        {{1, 48, {3, 0}}, "takes its type from offset 0 of section 3"},
        {{1, 48, {0, Unterminated}}, "uses a type definition that runs past the end"},
        {{1, 48, {0, Outside}}, "does not lie, 4-byte aligned, inside a loaded section"},
    };
    for (auto const &Case : Cases) {
        EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Case.Fixup));
        ExpectFileReadingError(Case.Fragment);
    }
    // Member types and widths are refused before the type is measured.
    Hostile[0].ArrayWidth = -1;
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Cases[7].Fixup));
    ExpectFileReadingError("member type or array width out of range");
    Hostile[0].ArrayWidth = 0;
    Hostile[0].Type = KelvoOnePastLastMemberType;
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Cases[7].Fixup));
    ExpectFileReadingError("member type or array width out of range");
    Hostile[0].Type = KelvoUInt32Member;
    Hostile[0].ArrayWidth = 0x20000000; // 2 GB a record
    Hostile[1].Type = KelvoEndMember;
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Cases[7].Fixup));
    ExpectLogged(KelvoErrorLogMessage, "out of range for an int32");
    ExpectFileReadingError("uses a type definition too large to measure");

    // Without the type's section the records stay as they are.
    Sections.Bases[0] = nullptr;
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &Cases[0].Fixup));
    ExpectFileReadingError("which is not loaded or not there");
    kelvo_uint8 Untouched[16];
    std::memset(Untouched, 0x77, 16);
    EXPECT_EQ(std::memcmp(Sections.At(1, 48), Untouched, 16), 0);
}

TEST_F(FileFormatTest, HostileMarshallingEndsInBoundedWork) {
    test_sections Sections(4096, 64);
    Sections.PutMixedType();
    // Records laid over their own type would rewrite it while it is read.
    kelvo_marshalling_fixup const OverType = {2, 4, {0, 0}};
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 0, 1, &OverType));
    ExpectFileReadingError("reverses records that overlap their own type definition");

    // An inline type that contains itself stops at the nesting limit.
    auto *Looping = Sections.PutType(0, 8 * MemberSize, {MakeMember(KelvoInlineMember)});
    Looping->ReferenceType = Looping;
    kelvo_marshalling_fixup const OnLoop = {1, 0, {0, 8 * MemberSize}};
    EXPECT_FALSE(kelvo::MarshallSection(Sections.Bounds(), 1, 1, &OnLoop));
    ExpectFileReadingError("nest deeper than 64 levels");

    // Each level inlines the one below twice: 2^21 members of empty types.
    kelvo_uint32 Offset = 10 * MemberSize;
    kelvo_data_type_definition *Level = Sections.PutType(0, Offset, {});
    for (int Depth = 0; Depth < 21; ++Depth) {
        Offset += (Depth ? 3 : 1) * MemberSize;
        Level = Sections.PutType(
            0, Offset,
            {MakeMember(KelvoInlineMember, "L", Level), MakeMember(KelvoInlineMember, "R", Level)});
    }
    ASSERT_LE(Offset + 3 * MemberSize, 4096u);
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

} // namespace
