#include "data/kelvo_data_type_conversion.h"
#include "data/kelvo_data_type_iterator.h"
#include "kelvo_test.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

using kelvo::MakeMember;

namespace {

constexpr bool Pointers64 = sizeof(void *) == 8;

// C records laid out the way definitions measure objects: no gaps, pointers
// at 4-byte alignment.
#pragma pack(push, 4)
struct array_ref {
    kelvo_int32 Count;
    void *Items;
};
struct old_node {
    char const *Name;
    kelvo_int16 Weight;
    kelvo_uint8 Flags[2];
    kelvo_real32 Position[3];
    old_node *Next;
    array_ref Children; // old_node[Count]
    array_ref Links;    // old_node *[Count]
    kelvo_variant Extra;
};
struct new_node {
    kelvo_real32 Position[4];
    kelvo_int32 Flags[2];
    new_node *Next;
    array_ref Links;
    array_ref Children;
    kelvo_variant Extra;
    char const *Name;
    kelvo_real32 Weight;
    kelvo_int32 Missing;
};
#pragma pack(pop)
static_assert(sizeof(old_node) == (Pointers64 ? 72 : 48));
static_assert(sizeof(new_node) == (Pointers64 ? 88 : 64));

constexpr kelvo_data_type_definition OldNodeType[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoInt16Member, "Weight"),
    MakeMember(KelvoUInt8Member, "Flags", nullptr, 2),
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReferenceMember, "Next", OldNodeType),
    MakeMember(KelvoReferenceToArrayMember, "Children", OldNodeType),
    MakeMember(KelvoArrayOfReferencesMember, "Links", OldNodeType),
    MakeMember(KelvoVariantReferenceMember, "Extra"),
    MakeMember(KelvoEndMember)};

// Reordered, widened, other numeric forms, one member the source lacks and
// names that differ in case only.
constexpr kelvo_data_type_definition NewNodeType[] = {
    MakeMember(KelvoReal32Member, "position", nullptr, 4),
    MakeMember(KelvoInt32Member, "FLAGS", nullptr, 2),
    MakeMember(KelvoReferenceMember, "Next", NewNodeType),
    MakeMember(KelvoArrayOfReferencesMember, "Links", NewNodeType),
    MakeMember(KelvoReferenceToArrayMember, "Children", NewNodeType),
    MakeMember(KelvoVariantReferenceMember, "Extra"),
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReal32Member, "Weight"),
    MakeMember(KelvoInt32Member, "Missing"),
    MakeMember(KelvoEndMember)};

void FreeBlock(void *Block) {
    kelvo_allocate_callback *Allocate;
    kelvo_deallocate_callback *Deallocate;
    KelvoGetAllocator(&Allocate, &Deallocate);
    Deallocate(__FILE__, __LINE__, Block);
}

// A converted tree, freed with the test.
struct converted_tree {
    void *Block;
    explicit converted_tree(void *Block) : Block(Block) {}
    ~converted_tree() {
        if (Block) {
            FreeBlock(Block);
        }
    }
    template <typename record> record *As() const { return static_cast<record *>(Block); }
};

class DataTypeConversionTest : public KelvoTest {
  protected:
    // Definitions and nodes made at run time; their addresses stay put.
    kelvo_data_type_definition *NewType(std::vector<kelvo_data_type_definition> Members) {
        Members.push_back(MakeMember(KelvoEndMember));
        Types.push_back(std::move(Members));
        return Types.back().data();
    }
    old_node *NewNode(char const *Name, kelvo_int16 Weight) {
        Nodes.push_back(old_node{});
        old_node *Node = &Nodes.back();
        Node->Name = Name;
        Node->Weight = Weight;
        Node->Flags[0] = (kelvo_uint8)Weight;
        Node->Position[0] = Weight * 0.5f;
        Node->Position[2] = -1.0f;
        return Node;
    }
    void ExpectDataTypeError(std::string const &Fragment) {
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoDataTypeLogMessage, Fragment);
    }

    std::deque<std::vector<kelvo_data_type_definition>> Types;
    std::deque<old_node> Nodes;
};

// ---- values --------------------------------------------------------------------------

// Moves one element of a numeric member type between its bytes and a double.
template <typename action> void AsStored(kelvo_member_type Type, action &&Act) {
    switch (Type) {
    case KelvoInt8Member:
    case KelvoBinormalInt8Member:
        return Act(kelvo_int8{});
    case KelvoUInt8Member:
    case KelvoNormalUInt8Member:
        return Act(kelvo_uint8{});
    case KelvoInt16Member:
    case KelvoBinormalInt16Member:
        return Act(kelvo_int16{});
    case KelvoUInt16Member:
    case KelvoNormalUInt16Member:
        return Act(kelvo_uint16{});
    case KelvoInt32Member:
        return Act(kelvo_int32{});
    case KelvoUInt32Member:
        return Act(kelvo_uint32{});
    default:
        return Act(float{});
    }
}

TEST_F(DataTypeConversionTest, NumbersConvertExactlyBetweenForms) {
    double const NaN = std::numeric_limits<double>::quiet_NaN();
    struct {
        kelvo_member_type From;
        double Value;
        kelvo_member_type To;
        double Result; // as the destination stores it
    } const Cases[] = {
        // Reals into the normalized forms: scaled, rounded to even, not clamped.
        {KelvoReal32Member, 1.0, KelvoNormalUInt8Member, 255},
        {KelvoReal32Member, 0.5, KelvoNormalUInt8Member, 128}, // 127.5
        {KelvoReal32Member, -1.0, KelvoBinormalInt8Member, -127},
        {KelvoReal32Member, 2.0, KelvoNormalUInt8Member, 254}, // 510: its low 8 bits
        {KelvoReal32Member, 1.0, KelvoNormalUInt16Member, 65535},
        {KelvoReal32Member, -1.0, KelvoBinormalInt16Member, -32767},
        {KelvoReal32Member, 0.5, KelvoBinormalInt16Member, 16384}, // 16383.5
        {KelvoReal32Member, 2.5, KelvoInt32Member, 2},
        {KelvoReal32Member, 3.5, KelvoInt32Member, 4},
        {KelvoReal32Member, -2.5, KelvoInt32Member, -2},
        {KelvoReal32Member, -0.5, KelvoInt32Member, 0},
        {KelvoReal32Member, 300.0, KelvoUInt8Member, 44},
        {KelvoReal32Member, 1e20, KelvoInt32Member, INT32_MAX},
        {KelvoReal32Member, -1e20, KelvoInt32Member, INT32_MIN},
        {KelvoReal32Member, NaN, KelvoInt32Member, 0},
        // Reading as a real.
        {KelvoNormalUInt8Member, 255, KelvoReal32Member, 1.0},
        {KelvoNormalUInt16Member, 65535, KelvoReal32Member, 1.0},
        {KelvoBinormalInt8Member, -127, KelvoReal32Member, -1.0},
        {KelvoInt8Member, -1, KelvoReal32Member, -1.0},
        {KelvoInt16Member, -32768, KelvoReal32Member, -32768.0},
        {KelvoUInt32Member, 7, KelvoReal32Member, 7.0},
        {KelvoUInt32Member, 3e9, KelvoReal32Member, 3e9},
        {KelvoInt32Member, -16777217, KelvoReal32Member, -16777216.0}, // to even
        // Reading as an integer: the normalized forms give the nearest of -1, 0, 1.
        {KelvoNormalUInt8Member, 255, KelvoInt32Member, 1},
        {KelvoNormalUInt8Member, 128, KelvoInt32Member, 1},
        {KelvoNormalUInt8Member, 127, KelvoInt32Member, 0},
        {KelvoBinormalInt8Member, 64, KelvoInt32Member, 1},
        {KelvoBinormalInt8Member, 63, KelvoInt32Member, 0},
        {KelvoBinormalInt8Member, -63, KelvoInt32Member, 0},
        {KelvoBinormalInt8Member, -64, KelvoInt32Member, -1},
        {KelvoNormalUInt16Member, 32768, KelvoInt32Member, 1},
        {KelvoNormalUInt16Member, 32767, KelvoInt32Member, 0},
        {KelvoBinormalInt16Member, 16384, KelvoInt32Member, 1},
        {KelvoBinormalInt16Member, -16384, KelvoInt32Member, -1},
        {KelvoBinormalInt16Member, 16383, KelvoInt32Member, 0},
        // Integers keep their low bits and widen by their sign; into the
        // normalized forms they go through their real value.
        {KelvoInt32Member, -1, KelvoUInt16Member, 65535},
        {KelvoInt32Member, 0x1ff, KelvoInt8Member, -1},
        {KelvoInt8Member, -2, KelvoInt32Member, -2},
        {KelvoUInt16Member, 65535, KelvoInt32Member, 65535},
        {KelvoInt32Member, 1, KelvoNormalUInt8Member, 255},
    };
    for (auto const &Case : Cases) {
        kelvo_uint8 From[4] = {}, To[4] = {};
        AsStored(Case.From, [&](auto Typed) {
            Typed = (decltype(Typed))Case.Value;
            std::memcpy(From, &Typed, sizeof(Typed));
        });
        kelvo_data_type_definition const *Source = NewType({MakeMember(Case.From, "V")});
        kelvo_data_type_definition const *Destination = NewType({MakeMember(Case.To, "V")});
        ASSERT_TRUE(KelvoConvertSingleObject(Source, From, Destination, To));
        double Result;
        AsStored(Case.To, [&](auto Typed) {
            std::memcpy(&Typed, To, sizeof(Typed));
            Result = Typed;
        });
        EXPECT_EQ(Result, Case.Result) << KelvoGetMemberTypeName(Case.From) << " " << Case.Value
                                       << " into " << KelvoGetMemberTypeName(Case.To);
    }

    // Strings are parsed (a null string reads as 0); what is no number reads as 0.
    kelvo_data_type_definition const *Strings =
        NewType({MakeMember(KelvoStringMember, "A"), MakeMember(KelvoStringMember, "B"),
                 MakeMember(KelvoStringMember, "C"), MakeMember(KelvoTransformMember, "D")});
    kelvo_data_type_definition const *Numbers =
        NewType({MakeMember(KelvoInt32Member, "A"), MakeMember(KelvoReal32Member, "B"),
                 MakeMember(KelvoInt32Member, "D"), MakeMember(KelvoInt16Member, "C")});
#pragma pack(push, 4)
    struct {
        char const *A, *B, *C;
        kelvo_transform D;
    } Text = {"-42", "2.25", nullptr, {}};
    // Definitions have no gaps, so the 16-bit member goes last.
    struct {
        kelvo_int32 A;
        float B;
        kelvo_int32 D;
        kelvo_int16 C;
    } Parsed;
    std::memset(&Parsed, 0x5A, sizeof(Parsed));
#pragma pack(pop)
    Text.D.Position[0] = 5.0f;
    ASSERT_TRUE(KelvoConvertSingleObject(Strings, &Text, Numbers, &Parsed));
    EXPECT_EQ(Parsed.A, -42);
    EXPECT_EQ(Parsed.B, 2.25f);
    EXPECT_EQ(Parsed.C, 0);
    EXPECT_EQ(Parsed.D, 0);
}

TEST_F(DataTypeConversionTest, NumericFormsRoundTripThroughReals) {
    // Every stored value of each normalized form, as one wide member.
    auto RoundTrip = [&](kelvo_member_type Form, kelvo_int32 Count, auto Zero, kelvo_int32 First) {
        using stored = decltype(Zero);
        kelvo_data_type_definition const *Stored = NewType({MakeMember(Form, "V", nullptr, Count)});
        kelvo_data_type_definition const *Reals =
            NewType({MakeMember(KelvoReal32Member, "V", nullptr, Count)});
        std::vector<stored> Values(Count), Back(Count);
        std::vector<float> AsReals(Count);
        for (kelvo_int32 Index = 0; Index < Count; ++Index) {
            Values[Index] = (stored)(First + Index);
        }
        ASSERT_TRUE(KelvoConvertSingleObject(Stored, Values.data(), Reals, AsReals.data()));
        ASSERT_TRUE(KelvoConvertSingleObject(Reals, AsReals.data(), Stored, Back.data()));
        EXPECT_EQ(Values, Back) << KelvoGetMemberTypeName(Form);
        EXPECT_LE(AsReals.back(), 1.0f);
    };
    RoundTrip(KelvoNormalUInt8Member, 256, kelvo_uint8{}, 0);
    RoundTrip(KelvoBinormalInt8Member, 256, kelvo_int8{}, -128);
    RoundTrip(KelvoNormalUInt16Member, 65536, kelvo_uint16{}, 0);
    RoundTrip(KelvoBinormalInt16Member, 65536, kelvo_int16{}, -32768);

    // Reals through the 16-bit form come back within half a step.
    kelvo_data_type_definition const *Real = NewType({MakeMember(KelvoReal32Member, "V")});
    kelvo_data_type_definition const *Normal = NewType({MakeMember(KelvoNormalUInt16Member, "V")});
    for (float Value = 0.0f; Value <= 1.0f; Value += 0.0137f) {
        kelvo_uint16 Stored = 0;
        float Back = -1.0f;
        KelvoConvertSingleObject(Real, &Value, Normal, &Stored);
        KelvoConvertSingleObject(Normal, &Stored, Real, &Back);
        EXPECT_NEAR(Back, Value, 0.5f / 65535.0f + 1e-7f);
    }
}

TEST_F(DataTypeConversionTest, MembersMatchByNameAndWidth) {
    kelvo_data_type_definition const *Source = NewType({
        MakeMember(KelvoUInt8Member, "Pad", nullptr, 4),
        MakeMember(KelvoReal32Member, "Position", nullptr, 3),
        MakeMember(KelvoInt16Member, "Index"),
        MakeMember(KelvoInt16Member, "Index"), // the first of a name wins
        MakeMember(KelvoInlineMember, "Placement", KelvoTransformType),
    });
    kelvo_data_type_definition const *Destination = NewType({
        MakeMember(KelvoReal32Member, "position", nullptr, 4),
        MakeMember(KelvoInt32Member, "INDEX"), MakeMember(KelvoInt32Member, "Absent"),
        MakeMember(KelvoInlineMember, "placement", KelvoTransformType),
        MakeMember(KelvoTransformMember, "Pad"), // not numeric: stays empty
    });
#pragma pack(push, 4)
    struct source {
        kelvo_uint8 Pad[4];
        float Position[3];
        kelvo_int16 Index[2];
        kelvo_transform Placement;
    } From{{1, 2, 3, 4}, {1.0f, 2.0f, 3.0f}, {7, 8}, {}};
    struct destination {
        float Position[4];
        kelvo_int32 Index;
        kelvo_int32 Absent;
        kelvo_transform Placement;
        kelvo_transform Pad;
    } To;
#pragma pack(pop)
    From.Placement.Position[1] = 9.0f;
    From.Placement.Orientation[3] = 1.0f;

    // Found by name: the data address lies behind the members before it.
    kelvo_variant Match;
    ASSERT_TRUE(KelvoFindMatchingMember(Source, &From, "INDEX", &Match));
    EXPECT_EQ(+Match.Type, &Source[2]);
    EXPECT_EQ(+Match.Object, &From.Index[0]);
    ASSERT_TRUE(KelvoFindMatchingMember(Source, &From, "placement", &Match));
    EXPECT_EQ(+Match.Object, &From.Placement);
    EXPECT_FALSE(KelvoFindMatchingMember(Source, &From, "Absent", &Match));
    EXPECT_EQ(+Match.Type, nullptr);
    EXPECT_EQ(+Match.Object, nullptr);

    std::memset(&To, 0x55, sizeof(To));
    ASSERT_TRUE(KelvoConvertSingleObject(Source, &From, Destination, &To));
    EXPECT_EQ(To.Position[2], 3.0f);
    EXPECT_EQ(To.Position[3], 0.0f); // beyond the source's width: empty
    EXPECT_EQ(To.Index, 7);
    EXPECT_EQ(To.Absent, 0);
    EXPECT_EQ(To.Placement.Position[1], 9.0f);
    EXPECT_EQ(To.Pad.Orientation[3], 1.0f); // the identity, its empty value
    EXPECT_EQ(To.Pad.Position[0], 0.0f);

    // Merging keeps what has no source, and the elements beyond its width.
    To.Position[3] = 4.0f;
    To.Absent = 11;
    From.Index[0] = -3;
    ASSERT_TRUE(KelvoMergeSingleObject(Source, &From, Destination, &To));
    EXPECT_EQ(To.Position[3], 4.0f);
    EXPECT_EQ(To.Absent, 11);
    EXPECT_EQ(To.Index, -3);

    // An installed comparison decides instead: this one is case-sensitive.
    KelvoSetStringComparisonCallback(&KelvoStringDifference);
    EXPECT_FALSE(KelvoFindMatchingMember(Source, &From, "position", &Match));
    EXPECT_TRUE(KelvoFindMatchingMember(Source, &From, "Position", &Match));
    KelvoSetStringComparisonCallback(nullptr);
}

TEST_F(DataTypeConversionTest, SingleObjectsNeverPointAtObjectsOfAnotherLayout) {
    old_node Target = *NewNode("T", 1);
    old_node Source = *NewNode("Source", 2);
    Source.Next = &Target;
    Source.Children = {1, &Target};
    kelvo_data_type_definition const Extra = MakeMember(KelvoEndMember);
    Source.Extra = {&Extra, &Target};

    // Same layout: pointers and strings are copied as they are.
    old_node Copy;
    ASSERT_TRUE(KelvoConvertSingleObject(OldNodeType, &Source, OldNodeType, &Copy));
    EXPECT_EQ(std::memcmp(&Copy, &Source, sizeof(Copy)), 0);

    // Another layout: references stay empty; the variant and string are copied.
    new_node Converted;
    std::memset(&Converted, 0x55, sizeof(Converted));
    ASSERT_TRUE(KelvoConvertSingleObject(OldNodeType, &Source, NewNodeType, &Converted));
    EXPECT_EQ(+Converted.Next, nullptr);
    EXPECT_EQ(Converted.Children.Count, 0);
    EXPECT_EQ(+Converted.Children.Items, nullptr);
    EXPECT_EQ(+Converted.Extra.Object, &Target);
    EXPECT_STREQ(Converted.Name, "Source");
    EXPECT_EQ(Converted.Weight, 2.0f);
    EXPECT_EQ(Converted.Flags[0], 2);

    // A number that would become text has no block to live in: null.
    kelvo_data_type_definition const *Numbers = NewType({MakeMember(KelvoInt32Member, "Name")});
    kelvo_int32 Value = 5;
    ASSERT_TRUE(KelvoConvertSingleObject(Numbers, &Value, NewNodeType, &Converted));
    EXPECT_EQ(+Converted.Name, nullptr);
}

// ---- trees ---------------------------------------------------------------------------

TEST_F(DataTypeConversionTest, IdenticalTypesShareEverythingButTheRoot) {
    old_node *Root = NewNode("Root", 1);
    old_node *Child = NewNode("Child", 2);
    Root->Next = Child;
    Root->Children = {1, Child};
    old_node *Links[] = {Child, nullptr};
    Root->Links = {2, Links};

    EXPECT_EQ(KelvoGetConvertedTreeSize(OldNodeType, Root, OldNodeType),
              (kelvo_int32)sizeof(old_node));
    converted_tree Tree(KelvoConvertTree(OldNodeType, Root, OldNodeType));
    ASSERT_NE(Tree.Block, nullptr);
    old_node *Copy = Tree.As<old_node>();
    EXPECT_EQ(+Copy->Next, Child);
    EXPECT_EQ(+Copy->Children.Items, Child);
    EXPECT_EQ(+Copy->Links.Items, Links);
    EXPECT_EQ(+Copy->Name, +Root->Name);

    // A copy of the definition is structurally equal and shares as well.
    std::vector<kelvo_data_type_definition> Twin(std::begin(OldNodeType), std::end(OldNodeType));
    EXPECT_EQ(KelvoGetConvertedTreeSize(OldNodeType, Root, Twin.data()),
              (kelvo_int32)sizeof(old_node));
}

// Checks the tree converted from the one the next test builds.
void ExpectConvertedTree(new_node const *Root, old_node const *Source) {
    ASSERT_NE(Root, nullptr);
    EXPECT_STREQ(Root->Name, "Root");
    EXPECT_EQ(Root->Weight, 10.0f);
    EXPECT_EQ(Root->Position[0], 5.0f);
    EXPECT_EQ(Root->Position[2], -1.0f);
    EXPECT_EQ(Root->Flags[0], 10);
    EXPECT_EQ(Root->Missing, 0);

    // The shared node is converted once, whichever way it is reached.
    new_node const *Shared = Root->Next;
    ASSERT_NE(Shared, nullptr);
    EXPECT_NE((void const *)Shared, (void const *)Source->Next);
    EXPECT_EQ(Shared->Weight, 20.0f);
    ASSERT_EQ(Root->Links.Count, 3);
    new_node *const *Links = static_cast<new_node *const *>(Root->Links.Items);
    EXPECT_EQ(Links[0], Shared);
    EXPECT_EQ(Links[1], nullptr);
    EXPECT_EQ(Links[2], Shared);
    // The cycle back to the root ends at the converted root.
    EXPECT_EQ(+Shared->Next, Root);

    ASSERT_EQ(Root->Children.Count, 2);
    new_node const *Children = static_cast<new_node const *>(Root->Children.Items);
    EXPECT_EQ(Children[0].Weight, 30.0f);
    EXPECT_EQ(Children[1].Weight, 31.0f);
    // A child whose array is its parent's array gets the same converted array.
    EXPECT_EQ(+Children[1].Children.Items, +Root->Children.Items);
    EXPECT_EQ(Children[1].Children.Count, 2);
    // The variant keeps pointing at the source where nothing was converted ...
    EXPECT_EQ(+Children[0].Extra.Object, +Source->Children.Items);
    EXPECT_EQ(+Children[0].Extra.Type, OldNodeType);
    // ... and follows its object where it was: to the converted node, with
    // the type that describes it.
    EXPECT_EQ(+Root->Extra.Object, Shared);
    EXPECT_EQ(+Root->Extra.Type, NewNodeType);
}

TEST_F(DataTypeConversionTest, TreesConvertIntoOneBlockWithSharedObjectsOnce) {
    old_node *Root = NewNode("Root", 10);
    old_node *Shared = NewNode("Shared", 20);
    Shared->Next = Root;
    Root->Next = Shared;
    old_node *Links[] = {Shared, nullptr, Shared};
    Root->Links = {3, Links};
    old_node Children[2] = {*NewNode("Child0", 30), *NewNode("Child1", 31)};
    Children[1].Children = {2, Children};
    Children[0].Extra = {OldNodeType, &Children[0]};
    Root->Children = {2, Children};
    Root->Extra = {OldNodeType, Shared};

    kelvo_int32 Size = KelvoGetConvertedTreeSize(OldNodeType, Root, NewNodeType);
    kelvo_int32 PointerSize = (kelvo_int32)sizeof(void *);
    // Root, shared node, slot array, children: nothing twice.
    EXPECT_EQ(Size, 4 * (kelvo_int32)sizeof(new_node) + 3 * PointerSize);

    converted_tree Tree(KelvoConvertTree(OldNodeType, Root, NewNodeType));
    ExpectConvertedTree(Tree.As<new_node>(), Root);

    // In caller memory: the same tree, and not a byte beyond the size.
    std::vector<kelvo_uint8> Memory(Size + 64, 0xcd);
    void *InPlace = KelvoConvertTreeInPlace(OldNodeType, Root, NewNodeType, Memory.data());
    EXPECT_EQ(InPlace, Memory.data());
    ExpectConvertedTree(static_cast<new_node *>(InPlace), Root);
    for (kelvo_int32 Index = Size; Index < Size + 64; ++Index) {
        ASSERT_EQ(Memory[Index], 0xcd) << Index;
    }
}

TEST_F(DataTypeConversionTest, OneSourceObjectReachedAsTwoTypesBecomesTwoObjects) {
    kelvo_data_type_definition const *Narrow = NewType({MakeMember(KelvoInt16Member, "A")});
    kelvo_data_type_definition const *Wide = NewType({MakeMember(KelvoInt32Member, "A")});
    kelvo_data_type_definition const *AsReal = NewType({MakeMember(KelvoReal32Member, "A")});
    kelvo_data_type_definition const *Source =
        NewType({MakeMember(KelvoReferenceMember, "First", Narrow),
                 MakeMember(KelvoReferenceMember, "Second", Narrow)});
    kelvo_data_type_definition const *Destination =
        NewType({MakeMember(KelvoReferenceMember, "First", Wide),
                 MakeMember(KelvoReferenceMember, "Second", AsReal)});
    kelvo_int16 Value = -5;
    kelvo_int16 *Roots[2] = {&Value, &Value};
    converted_tree Tree(KelvoConvertTree(Source, Roots, Destination));
    ASSERT_NE(Tree.Block, nullptr);
    void **Converted = Tree.As<void *>();
    ASSERT_NE(Converted[0], Converted[1]);
    EXPECT_EQ(*static_cast<kelvo_int32 *>(Converted[0]), -5);
    EXPECT_EQ(*static_cast<float *>(Converted[1]), -5.0f);
}

TEST_F(DataTypeConversionTest, NumbersBecomeTextInTheBlock) {
    kelvo_data_type_definition const *Numbers = NewType({
        MakeMember(KelvoInt32Member, "A"),
        MakeMember(KelvoInt32Member, "B"),
        MakeMember(KelvoReal32Member, "C"),
        MakeMember(KelvoNormalUInt8Member, "D", nullptr, 4),
    });
    kelvo_data_type_definition const *Strings = NewType({
        MakeMember(KelvoStringMember, "A"),
        MakeMember(KelvoStringMember, "B"),
        MakeMember(KelvoStringMember, "C"),
        MakeMember(KelvoStringMember, "D"),
    });
#pragma pack(push, 4)
    struct numbers {
        kelvo_int32 A, B;
        float C;
        kelvo_uint8 D[4];
    };
    struct strings {
        char const *A, *B, *C, *D;
    };
#pragma pack(pop)
    kelvo_int32 const RootSize = (kelvo_int32)sizeof(strings);
    struct {
        numbers Values;
        char const *A, *B, *C, *D;
        kelvo_int32 TextBytes;
    } const Cases[] = {
        // "7" and its terminator take 4 bytes; "1234" takes 8, so that its
        // terminator does not run into what follows.
        {{7, 1234, 0.5f, {255, 0, 0, 0}}, "7", "1234", "0.500000", "1.000000", 4 + 8 + 12 + 12},
        {{-2147483647 - 1, 0, -2.25f, {0}},
         "-2147483648",
         "0",
         "-2.250000",
         "0.000000",
         12 + 4 + 12 + 12},
    };
    for (auto const &Case : Cases) {
        EXPECT_EQ(KelvoGetConvertedTreeSize(Numbers, &Case.Values, Strings),
                  RootSize + Case.TextBytes);
        converted_tree Tree(KelvoConvertTree(Numbers, &Case.Values, Strings));
        ASSERT_NE(Tree.Block, nullptr);
        strings const *Text = Tree.As<strings>();
        EXPECT_STREQ(Text->A, Case.A);
        EXPECT_STREQ(Text->B, Case.B);
        EXPECT_STREQ(Text->C, Case.C);
        EXPECT_STREQ(Text->D, Case.D);
        // The text lies in the block, behind the root.
        EXPECT_EQ(Text->A, static_cast<char const *>(Tree.Block) + RootSize);

        // And reads back as the numbers it came from.
        numbers Back{};
        ASSERT_TRUE(KelvoConvertSingleObject(Strings, Text, Numbers, &Back));
        EXPECT_EQ(Back.A, Case.Values.A);
        EXPECT_EQ(Back.B, Case.Values.B);
        EXPECT_EQ(Back.C, Case.Values.C);
    }
}

TEST_F(DataTypeConversionTest, DeepTreesUseNoNativeStack) {
    // A list far longer than any native stack could recurse through.
    constexpr kelvo_int32 Length = 200000;
    std::vector<old_node> List(Length);
    for (kelvo_int32 Index = 0; Index < Length; ++Index) {
        List[Index].Weight = (kelvo_int16)Index;
        List[Index].Next = Index + 1 < Length ? &List[Index + 1] : nullptr;
    }
    converted_tree Tree(KelvoConvertTree(OldNodeType, List.data(), NewNodeType));
    ASSERT_NE(Tree.Block, nullptr);
    kelvo_int32 Count = 0;
    new_node const *Last = nullptr;
    for (new_node const *Node = Tree.As<new_node>(); Node; Node = Node->Next) {
        Last = Node;
        ++Count;
    }
    EXPECT_EQ(Count, Length);
    EXPECT_EQ(Last->Weight, (float)(kelvo_int16)(Length - 1));

    // Moving it and rebasing walks as deep.
    std::vector<kelvo_uint8> Moved(Length * sizeof(new_node));
    std::memcpy(Moved.data(), Tree.Block, Moved.size());
    kelvo_intaddrx Offset = (kelvo_intaddrx)Moved.data() - (kelvo_intaddrx)Tree.Block;
    ASSERT_TRUE(KelvoRebasePointers(NewNodeType, Moved.data(), Offset, false));
    new_node const *Node = reinterpret_cast<new_node const *>(Moved.data());
    for (Count = 1; Node->Next; ++Count) {
        ASSERT_EQ((void const *)+Node->Next, (void const *)(Node + 1));
        Node = Node->Next;
    }
    EXPECT_EQ(Count, Length);
}

TEST_F(DataTypeConversionTest, BadDefinitionsAreRefusedBeforeAnythingIsFollowed) {
    old_node *Root = NewNode("Root", 1);
    old_node Bad = *NewNode("Bad", 2);
    Root->Next = &Bad;
    struct {
        kelvo_data_type_definition const *Source;
        kelvo_data_type_definition const *Destination;
        char const *Error;
    } const Cases[] = {
        {NewType({MakeMember(99, "Strange")}), NewNodeType, "MemberType 99 is out of range"},
        {OldNodeType, NewType({MakeMember(KelvoReferenceMember, "Next")}),
         "ReferenceMember \"Next\" has no ReferenceType"},
        {NewType({MakeMember(KelvoInt32Member, "W", nullptr, -2)}), NewNodeType,
         "ArrayWidth -2 of member \"W\" is negative"},
    };
    for (auto const &Case : Cases) {
        EXPECT_EQ(KelvoConvertTree(Case.Source, Root, Case.Destination), nullptr) << Case.Error;
        ExpectDataTypeError(Case.Error);
        EXPECT_EQ(KelvoGetConvertedTreeSize(Case.Source, Root, Case.Destination), 0);
        ExpectDataTypeError(Case.Error);
    }

    // A bad type behind a reference is refused when an object leads to it.
    kelvo_data_type_definition const *Holder =
        NewType({MakeMember(KelvoReferenceMember, "Next", NewType({MakeMember(-1, "X")}))});
    old_node *Held[] = {nullptr};
    EXPECT_EQ(KelvoGetConvertedTreeSize(Holder, Held, NewNodeType), (kelvo_int32)sizeof(new_node));
    Held[0] = &Bad;
    EXPECT_EQ(KelvoGetConvertedTreeSize(Holder, Held, NewNodeType), 0);
    ExpectDataTypeError("MemberType -1 is out of range");

    // A type that contains itself inline never measures.
    std::vector<kelvo_data_type_definition> Self = {MakeMember(KelvoInt8Member, "B"),
                                                    MakeMember(KelvoInlineMember, "Self"),
                                                    MakeMember(KelvoEndMember)};
    Self[1].ReferenceType = Self.data();
    kelvo_variant Match;
    EXPECT_FALSE(KelvoFindMatchingMember(Self.data(), Root, "B", &Match));
    ExpectDataTypeError("Inline members nest deeper than 64 levels");
    EXPECT_FALSE(KelvoConvertSingleObject(OldNodeType, Root, Self.data(), Root));
    ExpectDataTypeError("Inline members nest deeper than 64 levels");

    // Negative counts in the data are refused too.
    Root->Children = {-5, &Bad};
    EXPECT_EQ(KelvoConvertTree(OldNodeType, Root, NewNodeType), nullptr);
    ExpectDataTypeError("Count -5 of member \"Children\" is negative");
    EXPECT_FALSE(KelvoRebasePointers(OldNodeType, Root, 0, false));
    ExpectDataTypeError("Count -5 of member \"Children\" is negative");
    // Counts whose arrays would not fit in one block are refused before
    // anything is read from them.
    Root->Children = {INT32_MAX, &Bad};
    EXPECT_EQ(KelvoGetConvertedTreeSize(OldNodeType, Root, NewNodeType), 0);
    ExpectDataTypeError("is out of range for an int32 ConvertedTreeSize");

    EXPECT_EQ(KelvoConvertTree(OldNodeType, nullptr, NewNodeType), nullptr);
    ExpectDataTypeError("SourceRoot is not allowed to be 0");
}

// ---- rebasing ---------------------------------------------------------------------------

// Carves records out of one block, as a loaded file holds them.
class block_builder {
  public:
    explicit block_builder(size_t Size) : Bytes(Size) {}
    template <typename record> record *Add(kelvo_int32 Count = 1) {
        record *Result = reinterpret_cast<record *>(Bytes.data() + Used);
        Used += (Count * sizeof(record) + 3) & ~(size_t)3;
        EXPECT_LE(Used, Bytes.size());
        return Result;
    }
    char const *AddString(char const *Text) {
        char *Copy = Add<char>((kelvo_int32)std::strlen(Text) + 1);
        std::strcpy(Copy, Text);
        return Copy;
    }
    kelvo_uint8 *Base() { return Bytes.data(); }
    // Where an address of this block lies in a moved copy.
    template <typename any> any *In(std::vector<kelvo_uint8> &Moved, any *Address) {
        return reinterpret_cast<any *>(Moved.data() +
                                       (reinterpret_cast<kelvo_uint8 const *>(Address) - Base()));
    }
    std::vector<kelvo_uint8> Bytes;
    size_t Used = 0;
};

#pragma pack(push, 4)
struct extra_object {
    kelvo_int32 Count;
    extra_object *Self;
};
#pragma pack(pop)

struct rebase_fixture {
    block_builder Block{4096};
    old_node *Root;
    old_node *Shared;
    old_node *Children;
    old_node **Slots;
    kelvo_data_type_definition *Extra; // a definition that travels with the data
    extra_object *ExtraObject;

    rebase_fixture() {
        Root = Block.Add<old_node>();
        Shared = Block.Add<old_node>();
        Children = Block.Add<old_node>(2);
        Slots = Block.Add<old_node *>(3);
        Extra = Block.Add<kelvo_data_type_definition>(3);
        ExtraObject = Block.Add<extra_object>();
        Root->Name = Block.AddString("Root");
        Root->Next = Shared;
        Root->Children = {2, Children};
        Slots[0] = Shared;
        Slots[2] = Shared;
        Root->Links = {3, Slots};
        // The same slot array and the same child array from elsewhere.
        Shared->Links = {3, Slots};
        Shared->Next = Root;
        Children[0].Next = Shared;
        Children[1].Children = {2, Children};
        Children[1].Name = Block.AddString("Child");
        Extra[0] = MakeMember(KelvoInt32Member, Block.AddString("Count"));
        Extra[1] = MakeMember(KelvoReferenceMember, Block.AddString("Self"), Extra);
        Extra[2] = MakeMember(KelvoEndMember);
        *ExtraObject = {3, ExtraObject};
        Children[0].Extra = {Extra, ExtraObject};
        Shared->Extra = {Extra, ExtraObject};
    }
};

TEST_F(DataTypeConversionTest, RebasingOffsetsEveryPointerOnce) {
    rebase_fixture Tree;
    block_builder &Block = Tree.Block;
    for (bool RebaseStrings : {false, true}) {
        std::vector<kelvo_uint8> Moved = Block.Bytes;
        kelvo_intaddrx Offset = (kelvo_intaddrx)Moved.data() - (kelvo_intaddrx)Block.Base();
        old_node *Root = Block.In(Moved, Tree.Root);
        ASSERT_TRUE(KelvoRebasePointers(OldNodeType, Root, Offset, RebaseStrings));

        EXPECT_EQ(+Root->Next, Block.In(Moved, Tree.Shared));
        EXPECT_EQ(+Root->Next->Next, Root);
        EXPECT_EQ(+Root->Children.Items, Block.In(Moved, Tree.Children));
        EXPECT_EQ(+Root->Links.Items, Block.In(Moved, Tree.Slots));
        old_node **Slots = Block.In(Moved, Tree.Slots);
        EXPECT_EQ(Slots[0], +Root->Next); // a shared slot array gets the offset once
        EXPECT_EQ(Slots[1], nullptr);
        EXPECT_EQ(Slots[2], +Root->Next);
        old_node *Children = Block.In(Moved, Tree.Children);
        EXPECT_EQ(+Children[0].Next, +Root->Next);
        EXPECT_EQ(+Children[1].Children.Items, Children);
        EXPECT_EQ(+Children[0].Children.Items, nullptr);

        // The travelling definition is rebased with its names and the types it
        // refers to; its object is walked by it.
        kelvo_data_type_definition *Extra = Block.In(Moved, Tree.Extra);
        EXPECT_EQ(+Children[0].Extra.Type, Extra);
        EXPECT_EQ(+Children[0].Extra.Object, Block.In(Moved, Tree.ExtraObject));
        EXPECT_EQ(+Block.In(Moved, Tree.ExtraObject)->Self, Block.In(Moved, Tree.ExtraObject));
        EXPECT_EQ(+Root->Next->Extra.Type, Extra);
        EXPECT_STREQ(Extra[0].Name, "Count");
        EXPECT_EQ(+Extra[0].Name, Block.In(Moved, Tree.Extra[0].Name));
        EXPECT_EQ(Extra[1].ReferenceType, Extra);
        EXPECT_EQ(+Extra[2].Name, nullptr);

        // Strings move only when asked.
        char const *Name = RebaseStrings ? Block.In(Moved, Tree.Root->Name) : Tree.Root->Name;
        EXPECT_EQ(+Root->Name, Name);
        EXPECT_EQ(+Children[1].Name,
                  RebaseStrings ? Block.In(Moved, Tree.Children[1].Name) : Tree.Children[1].Name);
        EXPECT_EQ(+Children[0].Name, nullptr);
    }
}

TEST_F(DataTypeConversionTest, RebasingFollowsVariantArrays) {
    // A variant array of objects whose definition, names and strings travel
    // with them.
    block_builder Block(1024);
#pragma pack(push, 4)
    struct item {
        char const *Label;
        item *Other;
    };
    struct holder {
        kelvo_data_type_definition const *Type;
        kelvo_int32 Count;
        item *Items;
    };
#pragma pack(pop)
    holder *Root = Block.Add<holder>();
    kelvo_data_type_definition *ItemType = Block.Add<kelvo_data_type_definition>(3);
    item *Items = Block.Add<item>(2);
    ItemType[0] = MakeMember(KelvoStringMember, Block.AddString("Label"));
    ItemType[1] = MakeMember(KelvoReferenceMember, Block.AddString("Other"), ItemType);
    ItemType[2] = MakeMember(KelvoEndMember);
    Items[0] = {Block.AddString("first"), &Items[1]};
    Items[1] = {Block.AddString("second"), &Items[1]};
    *Root = {ItemType, 2, Items};
    kelvo_data_type_definition const *HolderType =
        NewType({MakeMember(KelvoReferenceToVariantArrayMember, "Items")});

    std::vector<kelvo_uint8> Moved = Block.Bytes;
    kelvo_intaddrx Offset = (kelvo_intaddrx)Moved.data() - (kelvo_intaddrx)Block.Base();
    holder *MovedRoot = Block.In(Moved, Root);
    ASSERT_TRUE(KelvoRebasePointers(HolderType, MovedRoot, Offset, true));
    item *MovedItems = Block.In(Moved, Items);
    EXPECT_EQ(+MovedRoot->Type, Block.In(Moved, ItemType));
    EXPECT_EQ(MovedRoot->Count, 2);
    EXPECT_EQ(+MovedRoot->Items, MovedItems);
    EXPECT_EQ(+MovedRoot->Type[1].ReferenceType, MovedRoot->Type);
    EXPECT_STREQ(MovedRoot->Type[1].Name, "Other");
    EXPECT_EQ(+MovedRoot->Type[1].Name, Block.In(Moved, ItemType[1].Name));
    EXPECT_EQ(+MovedItems[0].Other, &MovedItems[1]);
    EXPECT_EQ(+MovedItems[1].Other, &MovedItems[1]);
    EXPECT_EQ(+MovedItems[1].Label, Block.In(Moved, Items[1].Label));
}

kelvo_uintaddrx KELVO_CALLBACK MarkString(void *UserData, kelvo_uintaddrx String) {
    ++*static_cast<kelvo_int32 *>(UserData);
    return String + 1;
}

TEST_F(DataTypeConversionTest, RebasingCanHandStringsToACallback) {
    rebase_fixture Tree;
    block_builder &Block = Tree.Block;
    std::vector<kelvo_uint8> Moved = Block.Bytes;
    kelvo_intaddrx Offset = (kelvo_intaddrx)Moved.data() - (kelvo_intaddrx)Block.Base();
    kelvo_int32 Calls = 0;
    old_node *Root = Block.In(Moved, Tree.Root);
    ASSERT_TRUE(KelvoRebasePointersStringCallback(OldNodeType, Root, Offset, &MarkString, &Calls));
    // Two string members and the two names of the travelling definition.
    EXPECT_EQ(Calls, 4);
    EXPECT_STREQ(Root->Name, "oot");
    EXPECT_STREQ(Block.In(Moved, Tree.Extra)[1].Name, "elf");
    EXPECT_EQ(+Root->Next, Block.In(Moved, Tree.Shared));
}

TEST_F(DataTypeConversionTest, RebasingRefusesBadDefinitionsInTheData) {
    rebase_fixture Tree;
    Tree.Extra[0].Type = 42;
    std::vector<kelvo_uint8> Moved = Tree.Block.Bytes;
    kelvo_intaddrx Offset = (kelvo_intaddrx)Moved.data() - (kelvo_intaddrx)Tree.Block.Base();
    EXPECT_FALSE(KelvoRebasePointers(OldNodeType, Tree.Block.In(Moved, Tree.Root), Offset, true));
    ExpectDataTypeError("MemberType 42 is out of range");
    EXPECT_FALSE(KelvoRebasePointersStringCallback(OldNodeType, Moved.data(), 0, nullptr, nullptr));
    ExpectDataTypeError("Callback is not allowed to be 0");
}

// ---- the member iterator ---------------------------------------------------------------------

TEST_F(DataTypeConversionTest, IteratorFindsPointerWordsInEitherLayout) {
    kelvo_data_type_definition const *Inner =
        NewType({MakeMember(KelvoInt8Member, "Byte"), MakeMember(KelvoStringMember, "Text")});
    kelvo_data_type_definition const *Type = NewType({
        MakeMember(KelvoInt16Member, "Small"),
        MakeMember(KelvoReferenceMember, "Pair", KelvoInt32Type, 2),
        MakeMember(KelvoInlineMember, "Inner", Inner),
        MakeMember(KelvoReferenceToVariantArrayMember, "Variants"),
        MakeMember(KelvoVariantReferenceMember, "Variant"),
        MakeMember(KelvoArrayOfReferencesMember, "Slots", KelvoReal32Type),
        MakeMember(KelvoTransformMember, "Placement"),
    });
    struct expected_slot {
        char const *Name;
        kelvo_int32 Element, Offset, TypeOffset, CountOffset, PointerOffset;
    };
    auto Expect = [&](kelvo_int32 Bits, std::vector<expected_slot> const &Slots) {
        kelvo::member_iterator Members(Type, nullptr, Bits);
        kelvo::pointer_slot Slot;
        for (expected_slot const &Want : Slots) {
            ASSERT_TRUE(Members.Next(Slot)) << Want.Name;
            EXPECT_STREQ(Slot.Member->Name, Want.Name);
            EXPECT_EQ(Slot.Element, Want.Element) << Want.Name;
            EXPECT_EQ(Slot.Offset, Want.Offset) << Want.Name;
            EXPECT_EQ(Slot.TypeOffset, Want.TypeOffset) << Want.Name;
            EXPECT_EQ(Slot.CountOffset, Want.CountOffset) << Want.Name;
            EXPECT_EQ(Slot.PointerOffset, Want.PointerOffset) << Want.Name;
        }
        EXPECT_FALSE(Members.Next(Slot));
        EXPECT_FALSE(Members.Failed());
    };
    Expect(32, {{"Pair", 0, 2, -1, -1, 0},
                {"Pair", 1, 6, -1, -1, 0},
                {"Text", 0, 11, -1, -1, 0},
                {"Variants", 0, 15, 0, 4, 8},
                {"Variant", 0, 27, 0, -1, 4},
                {"Slots", 0, 35, -1, 0, 4}});
    Expect(64, {{"Pair", 0, 2, -1, -1, 0},
                {"Pair", 1, 10, -1, -1, 0},
                {"Text", 0, 19, -1, -1, 0},
                {"Variants", 0, 27, 0, 8, 12},
                {"Variant", 0, 47, 0, -1, 8},
                {"Slots", 0, 63, -1, 0, 4}});

    // A string leads to no objects.
    char const *Text = "x";
    kelvo::member_iterator Members(KelvoStringType, &Text);
    kelvo::pointer_slot Slot;
    ASSERT_TRUE(Members.Next(Slot));
    kelvo::sub_object_cursor Cursor;
    EXPECT_FALSE(kelvo::IterateOverSubMembers(Slot, Cursor));
    kelvo::sub_object Object;
    EXPECT_FALSE(Cursor.Next(Object));
    ExpectDataTypeError("Illegal iterator type (8) in IterateOverSubMembers");
}

// ---- curves ----------------------------------------------------------------------------------

struct curve_calls {
    kelvo_int32 Updated = 0;
    kelvo_int32 OldConverted = 0;
    void *LastData = nullptr;
} CurveCalls;

constexpr kelvo_data_type_definition TestCurveType[] = {
    MakeMember(KelvoVariantReferenceMember, "CurveData"), MakeMember(KelvoEndMember)};

void ConvertOldTestCurve(kelvo_data_type_definition const *, void const *, void *Curve,
                         void *Data) {
    ++CurveCalls.OldConverted;
    CurveCalls.LastData = Data;
    kelvo_variant CurveData = {KelvoInt32Type, Data};
    std::memcpy(Curve, &CurveData, sizeof(CurveData));
}

void UpdateTestCurve(void *) {
    ++CurveCalls.Updated;
}

TEST_F(DataTypeConversionTest, CurvesAreAlwaysConvertedAndOldOnesBroughtUpToDate) {
    kelvo::curve_conversion const Curves = {TestCurveType, 20, &ConvertOldTestCurve,
                                            &UpdateTestCurve};
    kelvo_data_type_definition const *Track =
        NewType({MakeMember(KelvoInt32Member, "Id"),
                 MakeMember(KelvoInlineMember, "Curve", TestCurveType)});
    kelvo_data_type_definition const *Holder =
        NewType({MakeMember(KelvoReferenceMember, "Track", Track)});
    // As a file's copy of the types would be.
    kelvo_data_type_definition const *SourceTrack =
        NewType({MakeMember(KelvoInt32Member, "Id"),
                 MakeMember(KelvoInlineMember, "Curve", TestCurveType)});
    kelvo_data_type_definition const *SourceHolder =
        NewType({MakeMember(KelvoReferenceMember, "Track", SourceTrack)});
    kelvo_data_type_definition const *OldCurve = NewType({MakeMember(KelvoInt32Member, "Degree")});
    kelvo_data_type_definition const *OldTrack = NewType(
        {MakeMember(KelvoInt32Member, "Id"), MakeMember(KelvoInlineMember, "Curve", OldCurve)});
    kelvo_data_type_definition const *OldHolder =
        NewType({MakeMember(KelvoReferenceMember, "Track", OldTrack)});
    kelvo_int32 const PointerSize = (kelvo_int32)sizeof(void *);
    kelvo_int32 const TrackSize = 4 + (kelvo_int32)sizeof(kelvo_variant);

#pragma pack(push, 4)
    struct track {
        kelvo_int32 Id;
        kelvo_variant Curve;
    } Source = {7, {KelvoReal32Type, nullptr}};
#pragma pack(pop)
    void *Root = &Source;

    kelvo::SetCurveConversion(&Curves);
    CurveCalls = {};
    // Without the curve, the equal track type would be shared.
    EXPECT_EQ(KelvoGetConvertedTreeSize(SourceHolder, &Root, Holder), PointerSize + TrackSize);
    {
        converted_tree Tree(KelvoConvertTree(SourceHolder, &Root, Holder));
        ASSERT_NE(Tree.Block, nullptr);
        track const *Converted = *Tree.As<track *>();
        EXPECT_NE(Converted, &Source);
        EXPECT_EQ(Converted->Id, 7);
        EXPECT_EQ(+Converted->Curve.Type, KelvoReal32Type);
        EXPECT_EQ(CurveCalls.Updated, 1);
        EXPECT_EQ(CurveCalls.OldConverted, 0);
    }
    // The old form has no curve data: a block for it joins the tree.
    kelvo_int32 const Degree[2] = {3, 3};
    Root = const_cast<kelvo_int32 *>(Degree);
    EXPECT_EQ(KelvoGetConvertedTreeSize(OldHolder, &Root, Holder), PointerSize + TrackSize + 20);
    {
        converted_tree Tree(KelvoConvertTree(OldHolder, &Root, Holder));
        ASSERT_NE(Tree.Block, nullptr);
        track const *Converted = *Tree.As<track *>();
        EXPECT_EQ(CurveCalls.OldConverted, 1);
        EXPECT_EQ(CurveCalls.LastData,
                  reinterpret_cast<kelvo_uint8 const *>(Converted) + TrackSize);
        EXPECT_EQ(+Converted->Curve.Object, CurveCalls.LastData);
        EXPECT_EQ(CurveCalls.Updated, 2);
    }
    kelvo::SetCurveConversion(nullptr);
    Root = &Source;
    EXPECT_EQ(KelvoGetConvertedTreeSize(SourceHolder, &Root, Holder), PointerSize);
}

// ---- timing ----------------------------------------------------------------------------------

kelvo_int32 CounterCalls(char const *Name) {
    for (kelvo_int32 Index = 0; Index < KelvoGetCounterCount(); ++Index) {
        kelvo_counter_results Results;
        KelvoGetCounterResults(Index, &Results);
        if (std::string(Results.Name) == Name) {
            return Results.Count;
        }
    }
    return 0;
}

TEST_F(DataTypeConversionTest, OperationsRunInNamedTimingBlocks) {
    old_node *Root = NewNode("Root", 1);
    char const *Names[] = {"GetConvertedTreeSize", "ConvertTreeInPlace", "ConvertTree",
                           "RebasePointers"};
    kelvo_int32 Before[4];
    for (int Index = 0; Index < 4; ++Index) {
        Before[Index] = CounterCalls(Names[Index]);
    }
    std::vector<kelvo_uint8> Memory(KelvoGetConvertedTreeSize(OldNodeType, Root, NewNodeType));
    KelvoConvertTreeInPlace(OldNodeType, Root, NewNodeType, Memory.data());
    FreeBlock(KelvoConvertTree(OldNodeType, Root, NewNodeType));
    KelvoRebasePointers(NewNodeType, Memory.data(), 0, false);
    for (int Index = 0; Index < 4; ++Index) {
        EXPECT_EQ(CounterCalls(Names[Index]), Before[Index] + 1) << Names[Index];
    }
}

} // namespace
