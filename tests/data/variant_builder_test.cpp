// The variant builder: sizes and layout of its results, interning, every
// member kind through a written file, and failures that lose nothing.
#include "file_image_decoder.h"
#include "kelvo_test.h"

#include <cstring>
#include <vector>

namespace {

class VariantBuilderTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        Strings = KelvoNewStringTable();
        ASSERT_NE(Strings, nullptr);
    }
    void TearDown() override {
        KelvoFreeStringTable(Strings);
        KelvoTest::TearDown();
    }
    kelvo_string_table *Strings = nullptr;
};

// Results of KelvoEndVariant are freed with the library's deallocation.
void FreeBlock(void *Block) {
    kelvo_allocate_callback *Allocate;
    kelvo_deallocate_callback *Deallocate;
    KelvoGetAllocator(&Allocate, &Deallocate);
    Deallocate(__FILE__, __LINE__, Block);
}

constexpr kelvo_int32 RecordSize = (kelvo_int32)sizeof(kelvo_data_type_definition);

TEST_F(VariantBuilderTest, MeasuresAndLayoutFollowTheMembersAdded) {
    kelvo_variant_builder *Empty = KelvoBeginVariant(Strings);
    ASSERT_NE(Empty, nullptr);
    EXPECT_EQ(KelvoGetResultingVariantTypeSize(Empty), RecordSize);
    EXPECT_EQ(KelvoGetResultingVariantObjectSize(Empty), 4);
    kelvo_data_type_definition *Type;
    void *Object;
    ASSERT_TRUE(KelvoEndVariant(Empty, &Type, &Object));
    EXPECT_EQ(KelvoGetTotalObjectSize(Type), 0);
    FreeBlock(Type);

    kelvo_variant_builder *Builder = KelvoBeginVariant(Strings);
    ASSERT_NE(KelvoAddScalarMember(Builder, "Weight", 0.5f), nullptr);
    ASSERT_NE(KelvoAddIntegerMember(Builder, "Count", 3), nullptr);
    EXPECT_EQ(KelvoGetResultingVariantTypeSize(Builder), 3 * RecordSize);
    EXPECT_EQ(KelvoGetResultingVariantObjectSize(Builder), 8);
    ASSERT_TRUE(KelvoEndVariant(Builder, &Type, &Object));
    EXPECT_EQ(Type[0].Type, KelvoReal32Member);
    EXPECT_STREQ(Type[0].Name, "Weight");
    EXPECT_EQ(Type[1].Type, KelvoInt32Member);
    EXPECT_EQ(+Type[0].Name, KelvoMapString(Strings, "Weight")); // interned
    // The whole terminator is zero.
    kelvo_data_type_definition Zero;
    memset(&Zero, 0, sizeof(Zero));
    EXPECT_EQ(memcmp(&Type[2], &Zero, sizeof(Zero)), 0);
    float Weight;
    kelvo_int32 Count;
    memcpy(&Weight, Object, 4);
    memcpy(&Count, static_cast<char *>(Object) + 4, 4);
    EXPECT_EQ(Weight, 0.5f);
    EXPECT_EQ(Count, 3);
    EXPECT_GE(static_cast<char *>(Object), reinterpret_cast<char *>(Type) + 3 * RecordSize);
    FreeBlock(Type);
}

TEST_F(VariantBuilderTest, StringsAreInternedAndArraysCopied) {
    kelvo_variant_builder *Builder = KelvoBeginVariant(Strings);
    char Value[] = "left hand";
    kelvo_real32 Reals[3] = {1, 2, 3};
    KelvoAddStringMember(Builder, "A", Value);
    KelvoAddStringMember(Builder, "B", "left hand");
    KelvoAddScalarArrayMember(Builder, "Reals", 3, Reals);
    EXPECT_EQ(KelvoGetResultingVariantObjectSize(Builder), 2 * (kelvo_int32)sizeof(void *) + 12);
    Value[0] = 'X';
    Reals[0] = 9;
    std::vector<kelvo_uint8> Type(KelvoGetResultingVariantTypeSize(Builder));
    std::vector<kelvo_uint8> Object(KelvoGetResultingVariantObjectSize(Builder));
    kelvo_data_type_definition *ResultType;
    void *ResultObject;
    ASSERT_TRUE(KelvoEndVariantInPlace(Builder, Type.data(), &ResultType, Object.data(), &ResultObject));
    char const *A, *B;
    memcpy(&A, Object.data(), sizeof(A));
    memcpy(&B, Object.data() + sizeof(A), sizeof(B));
    EXPECT_EQ(A, B);
    EXPECT_STREQ(A, "left hand");
    EXPECT_EQ(ResultType[2].ArrayWidth, 3);
    kelvo_real32 Copied[3];
    memcpy(Copied, Object.data() + 2 * sizeof(A), 12);
    EXPECT_EQ(Copied[0], 1.0f);
    EXPECT_EQ(Copied[2], 3.0f);
}

#pragma pack(push, 4)
struct point {
    kelvo_real32 Position[3];
};
#pragma pack(pop)

// A variant of every kind as the root of a file: it loads back with an equal
// definition and every member is found by name with its value.
TEST_F(VariantBuilderTest, EveryMemberKindRoundTripsThroughAFile) {
    point Point = {{1, 2, 3}};
    kelvo_int32 Elements[4] = {10, 20, 30, 40};
    kelvo_real32 const Reals[2] = {0.25f, -4.0f};
    kelvo_variant_builder *Builder = KelvoBeginVariant(Strings);
    ASSERT_NE(KelvoAddIntegerMember(Builder, "Integer", -7), nullptr);
    ASSERT_NE(KelvoAddBoolMember(Builder, "Flag", 1), nullptr);
    ASSERT_NE(KelvoAddUnsignedIntegerMember(Builder, "Unsigned", 0xFEDCBA98u), nullptr);
    ASSERT_NE(KelvoAddScalarMember(Builder, "Scalar", 1.5f), nullptr);
    ASSERT_NE(KelvoAddScalarArrayMember(Builder, "Reals", 2, Reals), nullptr);
    ASSERT_NE(KelvoAddStringMember(Builder, "Text", "hello"), nullptr);
    ASSERT_NE(KelvoAddReferenceMember(Builder, "Point", KelvoTripleType, &Point), nullptr);
    ASSERT_NE(KelvoAddDynamicArrayMember(Builder, "Elements", 4, KelvoInt32Type, Elements), nullptr);
    kelvo_data_type_definition *Type;
    void *Object;
    ASSERT_TRUE(KelvoEndVariant(Builder, &Type, &Object));

    kelvo_file_builder *File = KelvoBeginFileInMemory(1, 1, KelvoKVNFileMV_ThisPlatform, 4096);
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(Type, Object, 0, 0);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, File));
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file_writer *Memory = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    ASSERT_TRUE(KelvoEndFileToWriter(File, Memory));
    std::vector<kelvo_uint8> Image = StealWriterBytes(Memory);
    kelvo_file *Loaded = KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
    ASSERT_NE(Loaded, nullptr);
    ASSERT_TRUE(KelvoCheckFileDataTree(Loaded));
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(Loaded, &Root);
    EXPECT_TRUE(KelvoDataTypesAreEqualWithNames(Root.Type, Type));

    auto Find = [&](char const *Name) {
        kelvo_variant Member;
        EXPECT_TRUE(KelvoFindMatchingMember(Root.Type, Root.Object, Name, &Member)) << Name;
        return static_cast<kelvo_uint8 const *>(Member.Object);
    };
    auto Word = [](kelvo_uint8 const *At) {
        kelvo_uint32 Value;
        memcpy(&Value, At, 4);
        return Value;
    };
    auto Pointer = [](kelvo_uint8 const *At) {
        void const *Value;
        memcpy(&Value, At, sizeof(Value));
        return Value;
    };
    EXPECT_EQ((kelvo_int32)Word(Find("Integer")), -7);
    EXPECT_EQ(Word(Find("Flag")), 1u);
    EXPECT_EQ(Word(Find("Unsigned")), 0xFEDCBA98u);
    kelvo_real32 Read[3];
    memcpy(Read, Find("Scalar"), 4);
    EXPECT_EQ(Read[0], 1.5f);
    memcpy(Read, Find("Reals"), 8);
    EXPECT_EQ(Read[0], 0.25f);
    EXPECT_EQ(Read[1], -4.0f);
    EXPECT_STREQ(static_cast<char const *>(Pointer(Find("Text"))), "hello");
    memcpy(Read, Pointer(Find("Point")), 12);
    EXPECT_EQ(Read[2], 3.0f);
    kelvo_uint8 const *Array = Find("Elements");
    EXPECT_EQ(Word(Array), 4u);
    kelvo_int32 LoadedElements[4];
    memcpy(LoadedElements, Pointer(Array + 4), 16);
    EXPECT_EQ(LoadedElements[3], 40);
    KelvoFreeFile(Loaded);
    FreeBlock(Type);
}

TEST_F(VariantBuilderTest, FailuresLoseNothing) {
    kelvo_variant_builder *Builder = KelvoBeginVariant(Strings);
    KelvoAddIntegerMember(Builder, "Kept", 1);
    kelvo_int32 TypeSize = KelvoGetResultingVariantTypeSize(Builder);
    {
        // The name is interned by then, so the failing allocation is the node's.
        KelvoMapString(Strings, "Lost");
        failing_allocator Failing(1, false, false);
        EXPECT_EQ(KelvoAddScalarMember(Builder, "Lost", 2.0f), nullptr);
        EXPECT_EQ(Failing.Failures, 1);
    }
    EXPECT_EQ(KelvoGetResultingVariantTypeSize(Builder), TypeSize);
    EXPECT_EQ(KelvoGetResultingVariantObjectSize(Builder), 4);
    EXPECT_EQ(KelvoAddScalarArrayMember(Builder, "None", 0, nullptr), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Width >= 1 was not true");
    {
        failing_allocator Failing(1, false, false);
        kelvo_data_type_definition *Type = nullptr;
        void *Object = nullptr;
        EXPECT_FALSE(KelvoEndVariant(Builder, &Type, &Object)); // consumed all the same
        EXPECT_EQ(Type, nullptr);
        EXPECT_EQ(Object, nullptr);
    }
    // A null memory leaves its result null.
    Builder = KelvoBeginVariant(Strings);
    KelvoAddIntegerMember(Builder, "Only", 5);
    std::vector<kelvo_uint8> Type(KelvoGetResultingVariantTypeSize(Builder));
    kelvo_data_type_definition *ResultType;
    void *ResultObject = &ResultType;
    EXPECT_FALSE(KelvoEndVariantInPlace(Builder, Type.data(), &ResultType, nullptr, &ResultObject));
    EXPECT_EQ(ResultType, reinterpret_cast<kelvo_data_type_definition *>(Type.data()));
    EXPECT_EQ(ResultObject, nullptr);
}

} // namespace
