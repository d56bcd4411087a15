#include "data/kelvo_data_type.h"
#include "kelvo_test.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <vector>

using kelvo::MakeMember;

namespace {

constexpr bool Pointers64 = sizeof(void *) == 8;

// The member record is the file's record for this build's pointer size.
static_assert(sizeof(kelvo_data_type_definition) == (Pointers64 ? 44 : 32));
static_assert(offsetof(kelvo_data_type_definition, Type) == 0);
static_assert(offsetof(kelvo_data_type_definition, Name) == 4);
static_assert(offsetof(kelvo_data_type_definition, ReferenceType) == (Pointers64 ? 12 : 8));
static_assert(offsetof(kelvo_data_type_definition, ArrayWidth) == (Pointers64 ? 20 : 12));
static_assert(offsetof(kelvo_data_type_definition, Extra) == (Pointers64 ? 24 : 16));
static_assert(offsetof(kelvo_data_type_definition, Ignored) == (Pointers64 ? 36 : 28));
static_assert(sizeof(kelvo_variant) == (Pointers64 ? 16 : 8));

// C records of the pointer-bearing members and of an object that uses every
// kind of member, laid out the way definitions measure objects.
#pragma pack(push, 4)
struct reference_to_array {
    kelvo_int32 Count;
    void *Items;
};
struct reference_to_variant_array {
    kelvo_data_type_definition const *Type;
    kelvo_int32 Count;
    void *Items;
};
struct sample_inner {
    kelvo_real32 Position[3];
    kelvo_int16 Index[2];
    kelvo_uint8 Weights[4];
};
struct sample_outer {
    char *Name;
    sample_inner Inner;
    kelvo_transform Placement[2];
    reference_to_array Children;
    reference_to_array References;
    kelvo_variant Extended;
    reference_to_variant_array Variants;
    sample_outer *Parent;
    kelvo_uint16 Tail[3];
    kelvo_uint8 Last[2];
};
#pragma pack(pop)
static_assert(sizeof(reference_to_array) == (Pointers64 ? 12 : 8));
static_assert(sizeof(reference_to_variant_array) == (Pointers64 ? 20 : 12));
static_assert(sizeof(sample_outer) == (Pointers64 ? 240 : 208));

constexpr kelvo_data_type_definition SampleInnerType[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoBinormalInt16Member, "Index", nullptr, 2),
    MakeMember(KelvoNormalUInt8Member, "Weights", nullptr, 4), MakeMember(KelvoEndMember)};

constexpr kelvo_data_type_definition SampleOuterType[] = {
    MakeMember(KelvoStringMember, "Name"),
    // An inline member is one copy of its type whatever its width says.
    MakeMember(KelvoInlineMember, "Inner", SampleInnerType, 4),
    MakeMember(KelvoTransformMember, "Placement", nullptr, 2),
    MakeMember(KelvoReferenceToArrayMember, "Children", SampleOuterType),
    MakeMember(KelvoArrayOfReferencesMember, "References", SampleOuterType),
    MakeMember(KelvoVariantReferenceMember, "Extended"),
    MakeMember(KelvoReferenceToVariantArrayMember, "Variants"),
    MakeMember(KelvoReferenceMember, "Parent", SampleOuterType),
    MakeMember(KelvoUInt16Member, "Tail", nullptr, 3),
    MakeMember(KelvoUInt8Member, "Last", nullptr, 2), MakeMember(KelvoEndMember)};

class DataTypeTest : public KelvoTest {
  protected:
    // Definitions built at run time; their addresses stay put.
    kelvo_data_type_definition *NewType(std::vector<kelvo_data_type_definition> Members) {
        Members.push_back(MakeMember(KelvoEndMember));
        Types.push_back(std::move(Members));
        return Types.back().data();
    }
    // A chain of Count types, each with Width members of MemberType that
    // lead to the next; the last one is empty.
    kelvo_data_type_definition *NewChain(kelvo_int32 Count, kelvo_member_type MemberType,
                                         kelvo_int32 Width = 1) {
        kelvo_data_type_definition *Next = NewType({});
        for (kelvo_int32 Level = 0; Level < Count; ++Level) {
            std::vector<kelvo_data_type_definition> Members;
            for (kelvo_int32 Index = 0; Index < Width; ++Index) {
                Members.push_back(MakeMember(MemberType, "Next", Next));
            }
            Next = NewType(Members);
        }
        return Next;
    }
    void ExpectDataTypeError(std::string const &Fragment) {
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoDataTypeLogMessage, Fragment);
    }

    std::deque<std::vector<kelvo_data_type_definition>> Types;
};

TEST_F(DataTypeTest, UnitSizesAreTheCLayoutsOfThisBuild) {
    struct {
        kelvo_member_type Type;
        kelvo_int32 Size;
    } const Cases[] = {
        {KelvoReferenceMember, (kelvo_int32)sizeof(void *)},
        {KelvoReferenceToArrayMember, (kelvo_int32)sizeof(reference_to_array)},
        {KelvoArrayOfReferencesMember, (kelvo_int32)sizeof(reference_to_array)},
        {KelvoVariantReferenceMember, (kelvo_int32)sizeof(kelvo_variant)},
        {KelvoReferenceToVariantArrayMember, (kelvo_int32)sizeof(reference_to_variant_array)},
        {KelvoStringMember, (kelvo_int32)sizeof(char *)},
        {KelvoTransformMember, (kelvo_int32)sizeof(kelvo_transform)},
        {KelvoInlineMember, 0},
    };
    for (auto const &Case : Cases) {
        kelvo_data_type_definition Member = MakeMember(Case.Type, "M");
        EXPECT_EQ(KelvoGetMemberUnitSize(&Member), Case.Size) << Case.Type;
        EXPECT_EQ(kelvo::GetMemberUnitSize(Case.Type, kelvo::NativePointerSizeInBits), Case.Size);
    }
    // The other pointer size, as platform conversion needs it.
    EXPECT_EQ(kelvo::GetMemberUnitSize(KelvoReferenceToVariantArrayMember, 32), 12);
    EXPECT_EQ(kelvo::GetMemberUnitSize(KelvoReferenceToVariantArrayMember, 64), 20);
    EXPECT_EQ(kelvo::GetMemberUnitSize(KelvoVariantReferenceMember, 64), 16);
    EXPECT_EQ(kelvo::GetMemberUnitSize(KelvoInt16Member, 32), 2);
    EXPECT_EQ(kelvo::GetMemberUnitSize(KelvoInt16Member, 16), 0);
    ExpectDataTypeError("PointerSizeInBits 16 is neither 32 nor 64");
}

TEST_F(DataTypeTest, ScalarTablesMeasure) {
    kelvo_int32 const Record = (kelvo_int32)sizeof(kelvo_data_type_definition);
    EXPECT_EQ(KelvoGetTotalTypeSize(KelvoEmptyType), Record);
    EXPECT_EQ(KelvoGetTotalTypeSize(KelvoTripleType), 2 * Record);
    EXPECT_EQ(KelvoGetTotalTypeSize(nullptr), 0);
    EXPECT_EQ(KelvoGetTotalObjectSize(KelvoEmptyType), 0);
    EXPECT_EQ(KelvoGetTotalObjectSize(nullptr), 0);
    EXPECT_EQ(KelvoGetTotalObjectSize(KelvoTripleType), 12);
    EXPECT_EQ(KelvoGetTotalObjectSize(KelvoTransformType), 68);
    EXPECT_EQ(KelvoGetTotalObjectSize(KelvoStringType), (kelvo_int32)sizeof(char *));
    EXPECT_EQ(KelvoGetObjectMarshalling(KelvoEmptyType), KelvoNoMarshalling);
    EXPECT_FALSE(KelvoTypeHasPointers(nullptr));

    kelvo_data_type_definition const *Table[] = {KelvoTripleType, KelvoQuadType, nullptr,
                                                 KelvoInt32Type};
    EXPECT_EQ(KelvoGetTypeTableCount(Table), 2);
    EXPECT_EQ(KelvoGetTypeTableCount(nullptr), 0);
}

TEST_F(DataTypeTest, NestedDefinitionMeasuresAsItsCRecord) {
    EXPECT_EQ(KelvoGetTotalObjectSize(SampleInnerType), (kelvo_int32)sizeof(sample_inner));
    EXPECT_EQ(KelvoGetTotalObjectSize(SampleOuterType), (kelvo_int32)sizeof(sample_outer));
    // Walking the members lands on every field of the C record.
    size_t const Offsets[] = {offsetof(sample_outer, Name),       offsetof(sample_outer, Inner),
                              offsetof(sample_outer, Placement),  offsetof(sample_outer, Children),
                              offsetof(sample_outer, References), offsetof(sample_outer, Extended),
                              offsetof(sample_outer, Variants),   offsetof(sample_outer, Parent),
                              offsetof(sample_outer, Tail),       offsetof(sample_outer, Last)};
    kelvo_int32 Offset = 0;
    for (size_t Index = 0; Index < std::size(Offsets); ++Index) {
        EXPECT_EQ((size_t)Offset, Offsets[Index]) << SampleOuterType[Index].Name;
        Offset += KelvoGetMemberTypeSize(&SampleOuterType[Index]);
    }
    // Both pointer sizes measure from the same definition.
    EXPECT_EQ(kelvo::GetTotalObjectSize(SampleOuterType, 32), 208);
    EXPECT_EQ(kelvo::GetTotalObjectSize(SampleOuterType, 64), 240);

    // Width 0 and 1 measure alike but are different definitions.
    kelvo_data_type_definition *Width0 = NewType({MakeMember(KelvoReal32Member, "X", nullptr, 0)});
    kelvo_data_type_definition *Width1 = NewType({MakeMember(KelvoReal32Member, "X", nullptr, 1)});
    EXPECT_EQ(KelvoGetTotalObjectSize(Width0), KelvoGetTotalObjectSize(Width1));
    EXPECT_EQ(KelvoGetMemberArrayWidth(Width0), 1);
    EXPECT_FALSE(KelvoDataTypesAreEqual(Width0, Width1));
}

TEST_F(DataTypeTest, PointersAndMarshallingFollowInlineTypes) {
    EXPECT_EQ(KelvoGetObjectMarshalling(SampleInnerType), 7);
    EXPECT_EQ(KelvoGetMemberMarshalling(&SampleOuterType[1]), 7);
    EXPECT_FALSE(KelvoTypeHasPointers(SampleInnerType));
    EXPECT_TRUE(KelvoTypeHasPointers(SampleOuterType));
    for (kelvo_marshalling_type Single : {0, 1, 2, 4}) {
        EXPECT_FALSE(KelvoIsMixedMarshalling(Single)) << Single;
    }
    for (kelvo_marshalling_type Mixed : {3, 5, 6, 7}) {
        EXPECT_TRUE(KelvoIsMixedMarshalling(Mixed)) << Mixed;
    }

    kelvo_data_type_definition *Untyped = NewType({MakeMember(KelvoReferenceToArrayMember, "A")});
    kelvo_data_type_definition *Variant = NewType({MakeMember(KelvoVariantReferenceMember, "V")});
    kelvo_data_type_definition *WrapsString = NewType(
        {MakeMember(KelvoInt8Member, "B"), MakeMember(KelvoInlineMember, "S", KelvoStringType)});
    // A scalar is never pointer-bearing, whatever its ReferenceType says.
    kelvo_data_type_definition *StrayReference =
        NewType({MakeMember(KelvoInt32Member, "I", KelvoInt32Type)});
    EXPECT_FALSE(KelvoTypeHasPointers(Untyped));
    EXPECT_TRUE(KelvoTypeHasPointers(Variant));
    EXPECT_TRUE(KelvoTypeHasPointers(WrapsString));
    EXPECT_FALSE(KelvoTypeHasPointers(StrayReference));
    EXPECT_EQ(KelvoGetObjectMarshalling(WrapsString), 5);
    kelvo_data_type_definition const InlineOfNothing = MakeMember(KelvoInlineMember, "N");
    EXPECT_FALSE(KelvoMemberHasPointers(&InlineOfNothing));
    EXPECT_EQ(KelvoGetMemberTypeSize(&InlineOfNothing), 0);
}

TEST_F(DataTypeTest, MemberTypeNamesStayInTheirRows) {
    // The rows around the retired type are where the table could slip.
    EXPECT_STREQ(KelvoGetMemberTypeName(KelvoEndMember), "EndMember");
    EXPECT_STREQ(KelvoGetMemberTypeName(KelvoVariantReferenceMember), "VariantReferenceMember");
    EXPECT_STREQ(KelvoGetMemberTypeName(KelvoRetiredSwitchableMember), "__REMOVED");
    EXPECT_STREQ(KelvoGetMemberCTypeName(KelvoRetiredSwitchableMember), "unsupported");
    EXPECT_STREQ(KelvoGetMemberTypeName(KelvoReferenceToVariantArrayMember),
                 "ReferenceToVariantArrayMember");
    EXPECT_STREQ(KelvoGetMemberTypeName(KelvoUInt32Member), "UInt32Member");
    EXPECT_STREQ(KelvoGetMemberCTypeName(KelvoUInt32Member), "kelvo_uint32");
    EXPECT_STREQ(KelvoGetMemberCTypeName(KelvoTransformMember), "kelvo_transform");

    EXPECT_STREQ(KelvoGetMemberTypeName(21), "");
    ExpectDataTypeError("MemberType 21 is out of range [0, 21)");
    EXPECT_STREQ(KelvoGetMemberCTypeName(-1), "");
    ExpectDataTypeError("MemberType -1 is out of range [0, 21)");
}

TEST_F(DataTypeTest, EmptyObjectIsZeroWithIdentityTransforms) {
    constexpr size_t Guard = 16;
    std::vector<kelvo_uint8> Buffer(sizeof(sample_outer) + Guard, 0xCD);
    EXPECT_EQ(KelvoMakeEmptyDataTypeObject(SampleOuterType, Buffer.data()),
              (kelvo_int32)sizeof(sample_outer));

    sample_outer Expected;
    std::memset(&Expected, 0, sizeof(Expected));
    for (kelvo_transform &Placement : Expected.Placement) {
        Placement.Orientation[3] = 1;
        Placement.ScaleShear[0] = Placement.ScaleShear[4] = Placement.ScaleShear[8] = 1;
    }
    EXPECT_EQ(std::memcmp(Buffer.data(), &Expected, sizeof(Expected)), 0);
    EXPECT_TRUE(
        std::all_of(Buffer.end() - Guard, Buffer.end(), [](kelvo_uint8 B) { return B == 0xCD; }));

    // One member at a time, at an address that is not 4-byte aligned.
    std::vector<kelvo_uint8> One(1 + 3 * sizeof(kelvo_transform), 0xCD);
    kelvo_data_type_definition const Three = MakeMember(KelvoTransformMember, "T", nullptr, 3);
    EXPECT_EQ(KelvoMakeEmptyDataTypeMember(&Three, One.data() + 1), 204);
    kelvo_transform Last;
    std::memcpy(&Last, One.data() + 1 + 2 * sizeof(kelvo_transform), sizeof(Last));
    EXPECT_EQ(Last.Orientation[3], 1.0f);
    EXPECT_EQ(Last.ScaleShear[8], 1.0f);
    EXPECT_EQ(One[0], 0xCD);
    EXPECT_EQ(KelvoMakeEmptyDataTypeMember(&SampleOuterType[1], One.data()),
              (kelvo_int32)sizeof(sample_inner));
    EXPECT_EQ(KelvoMakeEmptyDataTypeObject(KelvoEmptyType, nullptr), 0);
}

// Reverses every Word-byte word of a byte range.
void ReverseWords(kelvo_uint8 *Bytes, size_t Count, size_t Word) {
    for (size_t Offset = 0; Offset + Word <= Count; Offset += Word) {
        std::reverse(Bytes + Offset, Bytes + Offset + Word);
    }
}

TEST_F(DataTypeTest, ReversalSwapsEachMemberByItsWordSize) {
    constexpr int Count = 2;
    constexpr size_t Guard = 8;
    std::vector<kelvo_uint8> Objects(Count * sizeof(sample_outer) + Guard);
    for (size_t Index = 0; Index < Objects.size(); ++Index) {
        Objects[Index] = (kelvo_uint8)(Index * 7 + 1);
    }
    std::vector<kelvo_uint8> Expected = Objects;
    for (int Object = 0; Object < Count; ++Object) {
        kelvo_uint8 *Base = Expected.data() + Object * sizeof(sample_outer);
        auto Swap = [Base](size_t Offset, size_t Size, size_t Word) {
            ReverseWords(Base + Offset, Size, Word);
        };
        // Strings and the counted arrays go as 32-bit words, pointers and all;
        // plain references, variants and bytes stay as they are.
        Swap(offsetof(sample_outer, Name), sizeof(char *), 4);
        Swap(offsetof(sample_outer, Inner) + offsetof(sample_inner, Position), 12, 4);
        Swap(offsetof(sample_outer, Inner) + offsetof(sample_inner, Index), 4, 2);
        Swap(offsetof(sample_outer, Placement), 2 * sizeof(kelvo_transform), 4);
        Swap(offsetof(sample_outer, Children), sizeof(reference_to_array), 4);
        Swap(offsetof(sample_outer, References), sizeof(reference_to_array), 4);
        Swap(offsetof(sample_outer, Variants), sizeof(reference_to_variant_array), 4);
        Swap(offsetof(sample_outer, Tail), 6, 2);
    }
    KelvoReverseTypeArray(SampleOuterType, Count, Objects.data());
    EXPECT_EQ(Objects, Expected);
}

TEST_F(DataTypeTest, SelfReferringTypesCompareEqualToCopies) {
    // A bone refers to bones; a mesh and a binding refer to each other.
    kelvo_data_type_definition *BoneA =
        NewType({MakeMember(KelvoStringMember, "Name"), MakeMember(KelvoReferenceMember, "Parent"),
                 MakeMember(KelvoTransformMember, "Placement")});
    BoneA[1].ReferenceType = BoneA;
    kelvo_data_type_definition *BoneB =
        NewType({MakeMember(KelvoStringMember, "Name"), MakeMember(KelvoReferenceMember, "Parent"),
                 MakeMember(KelvoTransformMember, "Placement")});
    BoneB[1].ReferenceType = BoneB;
    EXPECT_TRUE(KelvoDataTypesAreEqual(BoneA, BoneB));
    EXPECT_TRUE(KelvoDataTypesAreEqualWithNames(BoneA, BoneB));

    kelvo_data_type_definition *MeshA =
        NewType({MakeMember(KelvoReferenceToArrayMember, "Bindings")});
    kelvo_data_type_definition *BindA = NewType(
        {MakeMember(KelvoReferenceMember, "Mesh", MeshA), MakeMember(KelvoInt32Member, "Index")});
    MeshA[0].ReferenceType = BindA;
    kelvo_data_type_definition *MeshB =
        NewType({MakeMember(KelvoReferenceToArrayMember, "Bindings")});
    kelvo_data_type_definition *BindB = NewType(
        {MakeMember(KelvoReferenceMember, "Mesh", MeshB), MakeMember(KelvoInt32Member, "index")});
    MeshB[0].ReferenceType = BindB;
    EXPECT_TRUE(KelvoDataTypesAreEqual(MeshA, MeshB));
    // Names are compared case-sensitively, or as the callback says.
    EXPECT_FALSE(KelvoDataTypesAreEqualWithNames(MeshA, MeshB));
    auto IgnoreCase = [](char const *A, char const *B) -> kelvo_int32 { return strcasecmp(A, B); };
    EXPECT_TRUE(KelvoDataTypesAreEqualWithNameCallback(MeshA, MeshB, IgnoreCase));
    // A difference deep inside the cycle is still found.
    BindB[1].Type = KelvoUInt32Member;
    EXPECT_FALSE(KelvoDataTypesAreEqual(MeshA, MeshB));

    EXPECT_TRUE(KelvoDataTypesAreEqual(nullptr, nullptr));
    EXPECT_FALSE(KelvoDataTypesAreEqual(BoneA, nullptr));
    EXPECT_FALSE(KelvoDataTypesAreEqual(BoneA, KelvoEmptyType));
    kelvo_data_type_definition *Longer = NewType(
        {MakeMember(KelvoStringMember, "Name"), MakeMember(KelvoReferenceMember, "Parent"),
         MakeMember(KelvoTransformMember, "Placement"), MakeMember(KelvoInt8Member, "More")});
    Longer[1].ReferenceType = Longer;
    EXPECT_FALSE(KelvoDataTypesAreEqual(BoneA, Longer));
    EXPECT_FALSE(KelvoDataTypesAreEqual(Longer, BoneA));
}

TEST_F(DataTypeTest, EqualityDetails) {
    // A refused type is unequal even to itself, at any depth.
    kelvo_data_type_definition *Holder =
        NewType({MakeMember(KelvoReferenceMember, "R", KelvoTripleType)});
    kelvo_data_type_definition *Copy =
        NewType({MakeMember(KelvoReferenceMember, "R", KelvoTripleType)});
    EXPECT_TRUE(kelvo::DataTypesAreEqual(Holder, Copy, nullptr, KelvoQuadType));
    EXPECT_FALSE(kelvo::DataTypesAreEqual(Holder, Copy, nullptr, KelvoTripleType));
    EXPECT_FALSE(
        kelvo::DataTypesAreEqual(KelvoTripleType, KelvoTripleType, nullptr, KelvoTripleType));

    // Null names never reach the callback, and match only each other.
    static int Calls;
    Calls = 0;
    auto Counting = [](char const *A, char const *B) -> kelvo_int32 {
        ++Calls;
        return strcmp(A, B);
    };
    kelvo_data_type_definition *Unnamed = NewType({MakeMember(KelvoInt32Member, nullptr)});
    kelvo_data_type_definition *Unnamed2 = NewType({MakeMember(KelvoInt32Member, nullptr)});
    EXPECT_TRUE(KelvoDataTypesAreEqualWithNameCallback(Unnamed, Unnamed2, Counting));
    EXPECT_FALSE(KelvoDataTypesAreEqualWithNameCallback(Unnamed, KelvoInt32Type, Counting));
    EXPECT_FALSE(KelvoDataTypesAreEqualWithNames(KelvoInt32Type, Unnamed));
    EXPECT_EQ(Calls, 0);
    EXPECT_FALSE(KelvoDataTypesAreEqualWithNameCallback(Unnamed, Unnamed2, nullptr));
    ExpectDataTypeError("NameComparison is not allowed to be 0");

    // The retired type is skipped with its warning, whatever it refers to.
    kelvo_data_type_definition *RetiredA =
        NewType({MakeMember(KelvoRetiredSwitchableMember, "S", KelvoInt32Type),
                 MakeMember(KelvoInt8Member, "B")});
    kelvo_data_type_definition *RetiredB =
        NewType({MakeMember(KelvoRetiredSwitchableMember, "S", KelvoQuadType),
                 MakeMember(KelvoInt8Member, "B")});
    EXPECT_TRUE(KelvoDataTypesAreEqual(RetiredA, RetiredB));
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].Text, "Switchable types no longer supported in Kelvo 2.7+");
    EXPECT_EQ(Messages()[0].Origin, KelvoNotImplementedLogMessage);
    ExpectLogged(KelvoWarningLogMessage, "Switchable types");
    EXPECT_EQ(KelvoGetTotalObjectSize(RetiredA), 1);
}

TEST_F(DataTypeTest, PrefixTest) {
    kelvo_data_type_definition *Vertex =
        NewType({MakeMember(KelvoReal32Member, "Position", nullptr, 3),
                 MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
                 MakeMember(KelvoInlineMember, "UV", KelvoQuadType)});
    kelvo_data_type_definition *Positions =
        NewType({MakeMember(KelvoReal32Member, "Anything", nullptr, 3)});
    kelvo_data_type_definition *Width0 =
        NewType({MakeMember(KelvoReal32Member, "Position", nullptr, 0)});
    kelvo_data_type_definition *CopyOfVertex =
        NewType({MakeMember(KelvoReal32Member, "Position", nullptr, 3),
                 MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
                 MakeMember(KelvoInlineMember, "UV", KelvoQuadType)});
    kelvo_data_type_definition *OtherUV =
        NewType({MakeMember(KelvoReal32Member, "Position", nullptr, 3),
                 MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
                 MakeMember(KelvoInlineMember, "UV", KelvoTripleType)});

    EXPECT_EQ(KelvoDataTypeBeginsWith(Vertex, Positions), &Vertex[1]);
    EXPECT_EQ(KelvoDataTypeBeginsWith(Vertex, Vertex), &Vertex[3]);
    EXPECT_EQ(KelvoDataTypeBeginsWith(Vertex, CopyOfVertex), &Vertex[3]);
    EXPECT_EQ(KelvoDataTypeBeginsWith(Vertex, KelvoEmptyType), &Vertex[0]);
    EXPECT_EQ(KelvoDataTypeBeginsWith(KelvoEmptyType, Vertex), nullptr);
    EXPECT_EQ(KelvoDataTypeBeginsWith(Positions, Vertex), nullptr);
    EXPECT_EQ(KelvoDataTypeBeginsWith(Vertex, Width0), nullptr);
    EXPECT_EQ(KelvoDataTypeBeginsWith(Vertex, OtherUV), nullptr);
    EXPECT_EQ(KelvoDataTypeBeginsWith(nullptr, KelvoEmptyType), nullptr);
    EXPECT_EQ(KelvoDataTypeBeginsWith(Vertex, nullptr), nullptr);
}

TEST_F(DataTypeTest, BadMembersAreReportedAndNeverWrittenThrough) {
    kelvo_data_type_definition *Unknown =
        NewType({MakeMember(KelvoInt32Member, "A"), MakeMember(99, "Bad")});
    kelvo_data_type_definition *Negative = NewType(
        {MakeMember(KelvoInt32Member, "A"), MakeMember(KelvoInt16Member, "Bad", nullptr, -2)});
    std::vector<kelvo_uint8> Buffer(64, 0xCD);
    std::vector<kelvo_uint8> const Untouched = Buffer;

    EXPECT_EQ(KelvoGetTotalObjectSize(Unknown), 0);
    ExpectDataTypeError("MemberType 99 is out of range [0, 21)");
    EXPECT_EQ(KelvoMakeEmptyDataTypeObject(Unknown, Buffer.data()), 0);
    ExpectDataTypeError("MemberType 99");
    KelvoReverseTypeArray(Unknown, 2, Buffer.data());
    ExpectDataTypeError("MemberType 99");
    EXPECT_EQ(KelvoGetObjectMarshalling(Unknown), KelvoNoMarshalling);
    ExpectDataTypeError("MemberType 99");
    EXPECT_FALSE(KelvoTypeHasPointers(Unknown));
    ExpectDataTypeError("MemberType 99");
    EXPECT_EQ(KelvoGetMemberUnitSize(&Unknown[1]), 0);
    ExpectDataTypeError("MemberType 99");

    EXPECT_EQ(KelvoGetTotalObjectSize(Negative), 0);
    ExpectDataTypeError("ArrayWidth -2 of member \"Bad\" is negative");
    EXPECT_EQ(KelvoGetMemberArrayWidth(&Negative[1]), 0);
    ExpectDataTypeError("ArrayWidth -2");
    EXPECT_EQ(KelvoMakeEmptyDataTypeMember(&Negative[1], Buffer.data()), 0);
    ExpectDataTypeError("ArrayWidth -2");
    KelvoReverseTypeArray(Negative, 1, Buffer.data());
    ExpectDataTypeError("ArrayWidth -2");
    EXPECT_EQ(Buffer, Untouched);

    EXPECT_EQ(KelvoGetMemberUnitSize(nullptr), 0);
    ExpectDataTypeError("Member is not allowed to be 0");
    EXPECT_EQ(KelvoGetMemberTypeSize(nullptr), 0);
    ExpectDataTypeError("Member is not allowed to be 0");
    EXPECT_EQ(KelvoMakeEmptyDataTypeObject(KelvoTripleType, nullptr), 0);
    ExpectDataTypeError("Destination is not allowed to be 0");
    KelvoReverseTypeArray(KelvoTripleType, -1, Buffer.data());
    ExpectDataTypeError("Count >= 0 was not true");
    KelvoReverseTypeArray(KelvoTripleType, 1, nullptr);
    ExpectDataTypeError("Objects is not allowed to be 0");
    KelvoReverseTypeArray(nullptr, 3, nullptr);
    KelvoReverseTypeArray(KelvoTripleType, 0, nullptr);
    EXPECT_EQ(Buffer, Untouched);
}

TEST_F(DataTypeTest, SizesBeyondInt32AreRefused) {
    kelvo_data_type_definition const Huge = MakeMember(KelvoInt32Member, "H", nullptr, 0x7FFFFFFF);
    EXPECT_EQ(KelvoGetMemberTypeSize(&Huge), 0);
    ExpectDataTypeError("UnitSize * ArrayWidth 8589934588 is out of range for an int32");
    // Each member fits; together they do not, once inlined twice.
    kelvo_data_type_definition *Quarter =
        NewType({MakeMember(KelvoInt32Member, "Q", nullptr, 0x08000000)});
    kelvo_data_type_definition *Half = NewType(
        {MakeMember(KelvoInlineMember, "A", Quarter), MakeMember(KelvoInlineMember, "B", Quarter)});
    kelvo_data_type_definition *Whole = NewType(
        {MakeMember(KelvoInlineMember, "A", Half), MakeMember(KelvoInlineMember, "B", Half)});
    EXPECT_EQ(KelvoGetTotalObjectSize(Half), 0x40000000);
    EXPECT_EQ(KelvoGetTotalObjectSize(Whole), 0);
    ExpectDataTypeError("TotalSize 2147483648 is out of range for an int32 ObjectSize");
    kelvo_uint8 Small[8] = {};
    EXPECT_EQ(KelvoMakeEmptyDataTypeObject(Whole, Small), 0);
    ExpectDataTypeError("is out of range for an int32 ObjectSize");
    KelvoReverseTypeArray(Whole, 1, Small);
    ExpectDataTypeError("is out of range for an int32 ObjectSize");
}

TEST_F(DataTypeTest, RecursiveAndHostileDefinitionsEndInBoundedTime) {
    // A type that inlines itself has no size.
    kelvo_data_type_definition *Itself =
        NewType({MakeMember(KelvoInt8Member, "B"), MakeMember(KelvoInlineMember, "Again")});
    Itself[1].ReferenceType = Itself;
    kelvo_uint8 Small[8] = {};
    EXPECT_EQ(KelvoGetTotalObjectSize(Itself), 0);
    ExpectDataTypeError("Inline members nest deeper than 64 levels");
    EXPECT_FALSE(KelvoTypeHasPointers(Itself));
    ExpectDataTypeError("nest deeper than 64");
    EXPECT_EQ(KelvoGetObjectMarshalling(Itself), KelvoNoMarshalling);
    ExpectDataTypeError("nest deeper than 64");
    EXPECT_EQ(KelvoMakeEmptyDataTypeObject(Itself, Small), 0);
    ExpectDataTypeError("nest deeper than 64");
    KelvoReverseTypeArray(Itself, 1, Small);
    ExpectDataTypeError("nest deeper than 64");
    // Comparing it with a copy is fine: equality stops at pairs it is
    // already comparing.
    kelvo_data_type_definition *Copy =
        NewType({MakeMember(KelvoInt8Member, "B"), MakeMember(KelvoInlineMember, "Again")});
    Copy[1].ReferenceType = Copy;
    EXPECT_TRUE(KelvoDataTypesAreEqualWithNames(Itself, Copy));

    auto Start = std::chrono::steady_clock::now();
    // 60 levels of two inline members each: 2^60 members of empty types.
    kelvo_data_type_definition *Doubling = NewChain(60, KelvoInlineMember, 2);
    EXPECT_EQ(KelvoGetTotalObjectSize(Doubling), 0);
    ExpectDataTypeError("more than 1048576 members");
    // The same shape through references: nothing to measure, but a
    // comparison with a copy would meet 2^60 pairs.
    kelvo_data_type_definition *DoublingA = NewChain(60, KelvoReferenceMember, 2);
    kelvo_data_type_definition *DoublingB = NewChain(60, KelvoReferenceMember, 2);
    EXPECT_EQ(KelvoGetTotalObjectSize(DoublingA), 2 * (kelvo_int32)sizeof(void *));
    EXPECT_FALSE(KelvoDataTypesAreEqual(DoublingA, DoublingB));
    ExpectDataTypeError("more than 1048576 member steps");
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(10));

    // Long chains of distinct types: within the limit they compare, beyond
    // it they are refused rather than recursed into.
    EXPECT_TRUE(KelvoDataTypesAreEqual(NewChain(60, KelvoReferenceMember),
                                       NewChain(60, KelvoReferenceMember)));
    EXPECT_FALSE(KelvoDataTypesAreEqual(NewChain(5000, KelvoReferenceMember),
                                        NewChain(5000, KelvoReferenceMember)));
    ExpectDataTypeError("Type definitions nest deeper than 64 levels");
    EXPECT_EQ(KelvoGetTotalObjectSize(NewChain(60, KelvoInlineMember)), 0);
    EXPECT_EQ(KelvoGetTotalObjectSize(NewChain(5000, KelvoInlineMember)), 0);
    ExpectDataTypeError("Inline members nest deeper than 64 levels");
}

} // namespace
