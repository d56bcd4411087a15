#include "file_image_decoder.h"
#include "data/kelvo_data_type.h"
#include "file/kelvo_file.h"
#include "kelvo_test.h"

#include <cstddef>
#include <cstring>
#include <vector>

using kelvo::MakeMember;

namespace {

#pragma pack(push, 4)
struct node {
    char const *Name;
    kelvo_int32 Value;
    node *Next;
};
struct tree {
    char const *Title;
    kelvo_int32 NodeCount;
    node *Nodes;
    kelvo_int32 PointerCount;
    node **Pointers;
    kelvo_variant Extra;
    kelvo_data_type_definition const *ArrayType;
    kelvo_int32 ArrayCount;
    void *Array;
};
#pragma pack(pop)

extern kelvo_data_type_definition const NodeType[];
kelvo_data_type_definition const NodeType[] = {
    MakeMember(KelvoStringMember, "Name"), MakeMember(KelvoInt32Member, "Value"),
    MakeMember(KelvoReferenceMember, "Next", NodeType), MakeMember(KelvoEndMember)};
kelvo_data_type_definition const TreeType[] = {
    MakeMember(KelvoStringMember, "Title"),
    MakeMember(KelvoReferenceToArrayMember, "Nodes", NodeType),
    MakeMember(KelvoArrayOfReferencesMember, "Pointers", NodeType),
    MakeMember(KelvoVariantReferenceMember, "Extra"),
    MakeMember(KelvoReferenceToVariantArrayMember, "Array"),
    MakeMember(KelvoEndMember)};

struct sample {
    node Nodes[3] = {{"a", 1, nullptr}, {"b", 2, nullptr}, {"c", 3, nullptr}};
    node *Pointers[2] = {&Nodes[2], &Nodes[0]};
    node Extra = {"extra", 4, nullptr};
    kelvo_int32 Numbers[2] = {5, 6};
    tree Root = {};
    sample() {
        Nodes[0].Next = &Nodes[1];
        Nodes[1].Next = &Nodes[0]; // a cycle
        Root = {"title", 3, Nodes, 2, Pointers, {NodeType, &Extra}, KelvoInt32Type, 2, Numbers};
    }
};

// The tree written into a one-section file of another tag and loaded; null
// when any step fails. Image keeps the bytes.
kelvo_file *WriteAndLoad(kelvo_data_type_definition const *Type, void *Root,
                         std::vector<kelvo_uint8> &Image) {
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(Type, Root, 0, 0);
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(1, 0x80000011u, KelvoKVNFileMV_ThisPlatform, 128);
    if (!Writer || !Builder || !KelvoWriteDataTreeToFileBuilder(Writer, Builder)) {
        KelvoEndFileDataTreeWriting(Writer);
        KelvoAbortFile(Builder);
        return nullptr;
    }
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    if (!KelvoEndFileToWriter(Builder, Output)) {
        KelvoDeleteFileWriter(Output);
        return nullptr;
    }
    Image = StealWriterBytes(Output);
    return KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
}

class FileTreeCheckTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        sample Sample;
        File = WriteAndLoad(TreeType, &Sample.Root, Image);
        ASSERT_NE(File, nullptr);
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        Tree = static_cast<tree *>(Root.Object);
        Type = const_cast<kelvo_data_type_definition *>(Root.Type);
        ASSERT_NE(Tree, nullptr);
    }
    void TearDown() override {
        KelvoFreeFile(File);
        KelvoTest::TearDown();
    }
    kelvo_uint8 *SectionEnd() const {
        kelvo_section_header const *Headers = reinterpret_cast<kelvo_section_header const *>(
            reinterpret_cast<kelvo_uint8 const *>(File->Header) + File->Header->SectionArrayOffset);
        return static_cast<kelvo_uint8 *>(File->Sections[0]) + Headers[0].ExpandedDataSize;
    }
    // The check fails, says why, and conversion refuses the tree too.
    void ExpectRefused(char const *Fragment) {
        EXPECT_FALSE(KelvoCheckFileDataTree(File));
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoFileReadingLogMessage, Fragment);
        EXPECT_EQ(kelvo::GetFileRootAs(File, TreeType, KelvoCurrentTypeTag), nullptr);
        ExpectLogged(KelvoWarningLogMessage, "Automatic conversion will be attempted");
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoFileReadingLogMessage, Fragment);
    }

    std::vector<kelvo_uint8> Image;
    kelvo_file *File = nullptr;
    tree *Tree = nullptr;
    kelvo_data_type_definition *Type = nullptr;
};

TEST_F(FileTreeCheckTest, AcceptsAWrittenTreeAndConvertsIt) {
    EXPECT_TRUE(KelvoCheckFileDataTree(File));
    auto *Converted =
        static_cast<tree *>(kelvo::GetFileRootAs(File, TreeType, KelvoCurrentTypeTag));
    ExpectLogged(KelvoWarningLogMessage, "Automatic conversion will be attempted");
    ASSERT_NE(Converted, nullptr);
    EXPECT_STREQ(Converted->Nodes[1].Name, "b");
    EXPECT_EQ(+Converted->Nodes[1].Next, &Converted->Nodes[0]);
    EXPECT_EQ(static_cast<kelvo_int32 *>(Converted->Array)[1], 6);
}

TEST_F(FileTreeCheckTest, RefusesCountsThatReachPastTheSection) {
    Tree->NodeCount = 1000;
    ExpectRefused("elements of member \"Nodes\" do not lie inside");
    Tree->NodeCount = -1;
    ExpectRefused("Count -1 of member \"Nodes\" is negative");
    Tree->NodeCount = 3;
    Tree->PointerCount = 0x40000000; // count * pointer size overflows 32 bits
    ExpectRefused("references of member \"Pointers\" do not lie inside");
    Tree->PointerCount = 2;
    Tree->ArrayCount = 0x7fffffff;
    ExpectRefused("elements of member \"Array\" do not lie inside");
    Tree->ArrayCount = 2;
    EXPECT_TRUE(KelvoCheckFileDataTree(File));
}

// A tree of byte elements, which lie in the last region of a section, so
// that elements may be placed (zeroed) against the section's end: a count
// that ends exactly there is accepted, one element more is refused.
#pragma pack(push, 4)
struct byte_tree {
    kelvo_int32 ByteCount;
    kelvo_uint8 *Bytes;
    kelvo_int32 SlotCount;
    kelvo_uint8 **Slots;
    kelvo_data_type_definition const *VariantType;
    kelvo_int32 VariantCount;
    void *Variants;
};
#pragma pack(pop)
kelvo_data_type_definition const ByteType[] = {MakeMember(KelvoUInt8Member, "Byte"),
                                               MakeMember(KelvoEndMember)};
kelvo_data_type_definition const ByteTreeType[] = {
    MakeMember(KelvoReferenceToArrayMember, "Bytes", ByteType),
    MakeMember(KelvoArrayOfReferencesMember, "Slots", ByteType),
    MakeMember(KelvoReferenceToVariantArrayMember, "Variants"), MakeMember(KelvoEndMember)};

TEST_F(FileTreeCheckTest, CountsAreBoundedExactlyByTheSectionEnd) {
    kelvo_uint8 Bytes[3] = {1, 2, 3};
    kelvo_uint8 *Slots[2] = {&Bytes[0], &Bytes[1]};
    byte_tree Root = {3, Bytes, 2, Slots, ByteType, 2, Bytes + 1};
    std::vector<kelvo_uint8> Image;
    kelvo_file *Small = WriteAndLoad(ByteTreeType, &Root, Image);
    ASSERT_NE(Small, nullptr);
    kelvo_variant Loaded;
    KelvoGetDataTreeFromFile(Small, &Loaded);
    auto *Fields = static_cast<kelvo_uint8 *>(Loaded.Object);
    kelvo_uint8 *End = static_cast<kelvo_uint8 *>(Small->Sections[0]) +
                       KelvoGetKVNSectionArray(Small->Header)[0].ExpandedDataSize;
    struct count_case {
        char const *Message;
        size_t CountOffset, PointerOffset, Stride;
    } const Cases[] = {
        {"elements of member \"Bytes\" do not lie inside", offsetof(byte_tree, ByteCount),
         offsetof(byte_tree, Bytes), 1},
        {"references of member \"Slots\" do not lie inside", offsetof(byte_tree, SlotCount),
         offsetof(byte_tree, Slots), sizeof(void *)},
        {"elements of member \"Variants\" do not lie inside", offsetof(byte_tree, VariantCount),
         offsetof(byte_tree, Variants), 1},
    };
    constexpr kelvo_int32 Count = 2;
    for (count_case const &Case : Cases) {
        SCOPED_TRACE(Case.Message);
        kelvo_uint8 *Start = End - Count * Case.Stride;
        std::memset(Start, 0, Count * Case.Stride);
        std::memcpy(Fields + Case.PointerOffset, &Start, sizeof(Start));
        for (kelvo_int32 Past = 0; Past < 2; ++Past) {
            kelvo_int32 Elements = Count + Past;
            std::memcpy(Fields + Case.CountOffset, &Elements, sizeof(Elements));
            EXPECT_EQ(KelvoCheckFileDataTree(Small), !Past);
            if (Past) {
                ExpectLoggedFrom(KelvoErrorLogMessage, KelvoFileReadingLogMessage, Case.Message);
            }
        }
        std::memset(Fields + Case.CountOffset, 0, sizeof(kelvo_int32));
    }
    KelvoFreeFile(Small);
}

TEST_F(FileTreeCheckTest, RefusesPointersNoFixupWrote) {
    // Words a hostile file leaves without fix-ups keep whatever it stored.
    node Outside = {"outside", 0, nullptr};
    Tree->Nodes[0].Next = &Outside;
    ExpectRefused("An object of");
    Tree->Nodes[0].Next = nullptr;
    Tree->Extra.Type = NodeType; // the library's own table, not the file's
    ExpectRefused("type definition of the data tree does not lie inside");
    Tree->Extra.Type = nullptr; // a variant without a type leads nowhere
    EXPECT_TRUE(KelvoCheckFileDataTree(File));
    Tree->Nodes[2].Name = "literal";
    ExpectRefused("String member \"Name\" is not terminated");
}

TEST_F(FileTreeCheckTest, RefusesStringsRunningOffTheSection) {
    // Point a name at the last bytes of the section and fill them: no
    // terminator before the end.
    kelvo_uint8 *End = SectionEnd();
    std::memset(End - 3, 'x', 3);
    Tree->Title = reinterpret_cast<char const *>(End - 3);
    ExpectRefused("String member \"Title\" is not terminated");
}

TEST_F(FileTreeCheckTest, RefusesMalformedDefinitions) {
    kelvo_data_type_definition *Nodes =
        const_cast<kelvo_data_type_definition *>(Type[1].ReferenceType);
    kelvo_data_type_definition Saved = Nodes[1];

    Nodes[1].Type = 99;
    ExpectRefused("Member 1 of a type definition of the data tree is malformed");
    Nodes[1] = Saved;
    Nodes[1].ArrayWidth = -2;
    ExpectRefused("is malformed");
    Nodes[1] = Saved;
    Nodes[1].Type = KelvoInlineMember; // an inline member without a type
    ExpectRefused("is malformed");
    Nodes[1] = Saved;
    Nodes[2].Type = KelvoInlineMember; // "Next" refers to the node: now it inlines it
    ExpectRefused("contains itself");
    Nodes[2].Type = KelvoReferenceMember;
    Nodes[1].ArrayWidth = 0x40000000; // 4 GiB of int32 in one object
    ExpectRefused("measures beyond the library's bounds");
    Nodes[1] = Saved;
    EXPECT_TRUE(KelvoCheckFileDataTree(File));
}

TEST_F(FileTreeCheckTest, RefusesDefinitionsWithoutTerminator) {
    // A variant's definition whose one record is the section's last: the end
    // marker would lie past it.
    constexpr size_t RecordSize = sizeof(kelvo_data_type_definition);
    kelvo_uintaddrx Last = ((kelvo_uintaddrx)SectionEnd() - RecordSize) & ~(kelvo_uintaddrx)3;
    kelvo_data_type_definition Member = MakeMember(KelvoInt32Member);
    std::memcpy((void *)Last, &Member, RecordSize);
    Tree->Extra.Type = (kelvo_data_type_definition const *)Last;
    ExpectRefused("type definition of the data tree does not lie inside");
}

TEST_F(FileTreeCheckTest, RefusesFilesWithoutRootOrRecord) {
    EXPECT_FALSE(KelvoCheckFileDataTree(nullptr));
    ExpectLogged(KelvoErrorLogMessage, "File is not allowed to be 0");
    KelvoFreeAllFileSections(File);
    EXPECT_FALSE(KelvoCheckFileDataTree(File));
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                     "The file has no loaded root to check");
}

// A tree whose objects are referred to many times is checked once per
// object, not once per reference: a long chain of arrays of references to
// one object must finish within the budget.
TEST_F(FileTreeCheckTest, SharedObjectsAreCheckedOnce) {
    std::vector<node> Nodes(20000, node{"n", 0, nullptr});
    std::vector<node *> Pointers(200000, &Nodes[0]);
    for (size_t Index = 1; Index < Nodes.size(); ++Index) {
        Nodes[Index].Next = &Nodes[Index - 1];
        Pointers[Index % Pointers.size()] = &Nodes[Index];
    }
    tree Root = {"big", (kelvo_int32)Nodes.size(), Nodes.data(), (kelvo_int32)Pointers.size(),
                 Pointers.data(), {}, nullptr, 0, nullptr};
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(TreeType, &Root, 0, 0);
    ASSERT_NE(Writer, nullptr);
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(1, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform, 1 << 20);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 1 << 20);
    ASSERT_TRUE(KelvoEndFileToWriter(Builder, Output));
    std::vector<kelvo_uint8> Bytes = StealWriterBytes(Output);
    kelvo_file *Big = KelvoReadEntireFileFromMemory((kelvo_int32)Bytes.size(), Bytes.data());
    ASSERT_NE(Big, nullptr);
    EXPECT_TRUE(KelvoCheckFileDataTree(Big));
    KelvoFreeFile(Big);
}

} // namespace
