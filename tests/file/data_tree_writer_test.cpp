#include "file_image_decoder.h"
#include "data/kelvo_data_type.h"
#include "kelvo_test.h"
#include "tree_comparison.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

using kelvo::MakeMember;

namespace {

#pragma pack(push, 4)
struct leaf { // mixes 32-, 16- and 8-bit members
    kelvo_real32 Real;
    kelvo_int16 Small[3];
    kelvo_uint8 Byte;
    kelvo_uint8 Spare;
};
struct item {
    char const *Name;
    kelvo_int32 Value;
};
struct root {
    char const *Title;
    kelvo_int32 Number;
    leaf Inline;
    item *Single;
    kelvo_int32 ItemCount;
    item *Items;
    kelvo_int32 PointerCount;
    item **Pointers;
    kelvo_variant Extra;
    kelvo_data_type_definition const *ArrayType;
    kelvo_int32 ArrayCount;
    void *Array;
    kelvo_int32 NumberCount;
    kelvo_int32 *Numbers;
    root *Self;
    kelvo_int32 EmptyCount; // with a null pointer: written as an empty array
    item *EmptyItems;
};
#pragma pack(pop)

kelvo_data_type_definition const LeafType[] = {
    MakeMember(KelvoReal32Member, "Real"), MakeMember(KelvoInt16Member, "Small", nullptr, 3),
    MakeMember(KelvoUInt8Member, "Byte"), MakeMember(KelvoUInt8Member, "Spare"),
    MakeMember(KelvoEndMember)};
kelvo_data_type_definition const ItemType[] = {MakeMember(KelvoStringMember, "Name"),
                                               MakeMember(KelvoInt32Member, "Value"),
                                               MakeMember(KelvoEndMember)};
extern kelvo_data_type_definition const RootType[];
kelvo_data_type_definition const RootType[] = {
    MakeMember(KelvoStringMember, "Title"),
    MakeMember(KelvoInt32Member, "Number"),
    MakeMember(KelvoInlineMember, "Inline", LeafType),
    MakeMember(KelvoReferenceMember, "Single", ItemType),
    MakeMember(KelvoReferenceToArrayMember, "Items", ItemType),
    MakeMember(KelvoArrayOfReferencesMember, "Pointers", ItemType),
    MakeMember(KelvoVariantReferenceMember, "Extra"),
    MakeMember(KelvoReferenceToVariantArrayMember, "Array"),
    MakeMember(KelvoReferenceToArrayMember, "Numbers", KelvoInt32Type),
    MakeMember(KelvoReferenceMember, "Self", RootType),
    MakeMember(KelvoReferenceToArrayMember, "EmptyItems", ItemType),
    MakeMember(KelvoEndMember)};

static_assert(sizeof(leaf) == 12);

// A tree that uses every pointer-bearing member type, with a shared object,
// a cycle, equal strings in different places and an array to normalise.
struct sample_tree {
    item Items[3] = {{"first", 1}, {"same", 2}, {"same", 3}};
    item Shared = {"shared", 4};
    item *Pointers[3] = {&Shared, nullptr, &Shared};
    leaf Leaves[2] = {{1.5f, {1, -2, 3}, 4, 0}, {-2.5f, {300, 301, -302}, 250, 0}};
    kelvo_int32 Numbers[4] = {10, 20, 30, 40};
    item Extra = {"extra", 5};
    root Root = {};

    sample_tree() {
        Root.Title = "title";
        Root.Number = 42;
        Root.Inline = {3.25f, {7, 8, 9}, 10, 0};
        Root.Single = &Shared;
        Root.ItemCount = 3;
        Root.Items = Items;
        Root.PointerCount = 3;
        Root.Pointers = Pointers;
        Root.Extra = {ItemType, &Extra};
        Root.ArrayType = LeafType;
        Root.ArrayCount = 2;
        Root.Array = Leaves;
        Root.NumberCount = 4;
        Root.Numbers = Numbers;
        Root.Self = &Root;
        Root.EmptyCount = 3;
        Root.EmptyItems = nullptr;
    }
};

enum class storage { TemporaryFiles, Memory };

class DataTreeWriterTest : public KelvoTest {
  protected:
    kelvo_file_builder *Begin(storage Storage, kelvo_int32 SectionCount,
                              kelvo_compression_type Format) {
        kelvo_file_builder *Builder;
        if (Storage == storage::Memory) {
            Builder = KelvoBeginFileInMemory(SectionCount, KelvoCurrentTypeTag,
                                             KelvoKVNFileMV_ThisPlatform, 128);
        } else {
            std::string Base = TemporaryPath("tree_builder");
            size_t Slash = Base.rfind('/');
            Builder = KelvoBeginFile(SectionCount, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform,
                                     Base.substr(0, Slash).c_str(), Base.c_str() + Slash + 1);
        }
        for (kelvo_int32 Index = 0; Builder && Index < SectionCount; ++Index) {
            KelvoSetFileSectionFormat(Builder, Index, Format, 4);
        }
        return Builder;
    }
    // Ends the builder into memory and takes the image apart.
    bool End(kelvo_file_builder *Builder, decoded_file &File) {
        kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
        bool Ended = KelvoEndFileToWriter(Builder, Writer);
        std::string Why = DecodeFileImage(StealWriterBytes(Writer), File);
        EXPECT_EQ(Why, "");
        return Ended && Why.empty();
    }
    void ExpectSameTree(decoded_file const &File, sample_tree const &Tree) {
        auto *Type = static_cast<kelvo_data_type_definition const *>(
            File.Resolve(File.Header.RootObjectTypeDefinition));
        ASSERT_NE(Type, nullptr);
        EXPECT_TRUE(KelvoDataTypesAreEqualWithNames(Type, RootType));
        tree_comparison Comparison;
        EXPECT_TRUE(
            Comparison.Equal(RootType, &Tree.Root, Type, File.Resolve(File.Header.RootObject)))
            << Comparison.Where;
    }
    static kelvo_int32 SectionOf(decoded_file const &File, void const *Address) {
        for (size_t Index = 0; Index < File.Sections.size(); ++Index) {
            auto const *Base = File.Sections[Index].data();
            if (Address >= Base && Address < Base + File.SectionHeaders[Index].ExpandedDataSize) {
                return (kelvo_int32)Index;
            }
        }
        return -1;
    }
};

TEST_F(DataTreeWriterTest, TreesComeBackEqualFromEveryBuilderAndFormat) {
    for (storage Storage : {storage::Memory, storage::TemporaryFiles}) {
        for (kelvo_compression_type Format : {KelvoNoCompression, KelvoFenwa1Compression}) {
            SCOPED_TRACE(testing::Message() << "storage " << (int)Storage << " format " << Format);
            sample_tree Tree;
            kelvo_file_data_tree_writer *Writer =
                KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 1, 0);
            ASSERT_NE(Writer, nullptr);
            kelvo_file_builder *Builder = Begin(Storage, 2, Format);
            ASSERT_NE(Builder, nullptr);
            EXPECT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
            KelvoSetFileExtraTag(Builder, 2, 0xabc);
            KelvoEndFileDataTreeWriting(Writer);
            decoded_file File;
            ASSERT_TRUE(End(Builder, File));
            ExpectSameTree(File, Tree);
            EXPECT_EQ(File.Header.TypeTag, KelvoCurrentTypeTag);
            EXPECT_EQ(File.Header.ExtraTags[2], 0xabcu);
            EXPECT_EQ(Tree.Root.EmptyCount, 3); // the source is left alone

            auto const *Root = static_cast<root const *>(File.Resolve(File.Header.RootObject));
            EXPECT_EQ(SectionOf(File, Root), 0);
            EXPECT_EQ(SectionOf(File, File.Resolve(File.Header.RootObjectTypeDefinition)), 1);
            EXPECT_EQ(+Root->Self, Root);
            EXPECT_EQ(+Root->Pointers[0], +Root->Pointers[2]);
            EXPECT_EQ(+Root->Pointers[0], +Root->Single);
            EXPECT_EQ(+Root->Pointers[1], nullptr);
            EXPECT_EQ(+Root->Items[1].Name, +Root->Items[2].Name); // one copy of "same"
            EXPECT_EQ(+Root->EmptyCount, 0);
            // The root (through its inline leaf) and the leaf array mix element
            // sizes: one marshalling fix-up each, naming their definitions.
            ASSERT_EQ(File.SectionHeaders[0].MixedMarshallingFixupArrayCount, 2u);
            std::vector<kelvo_marshalling_fixup> const &Fixups = File.Marshallings[0];
            bool LeavesFirst = Fixups[0].Count == 2;
            kelvo_marshalling_fixup const &Leaves = Fixups[LeavesFirst ? 0 : 1];
            kelvo_marshalling_fixup const &Whole = Fixups[LeavesFirst ? 1 : 0];
            EXPECT_EQ(Leaves.Count, 2u);
            EXPECT_EQ(File.Resolve(Leaves.Type), +Root->ArrayType);
            EXPECT_EQ(File.Section(0) + Whole.Offset, (kelvo_uint8 const *)Root);
            EXPECT_EQ(File.Resolve(Whole.Type), File.Resolve(File.Header.RootObjectTypeDefinition));
        }
    }
}

TEST_F(DataTreeWriterTest, SectionsFollowTypesAndExplicitChoices) {
    sample_tree Tree;
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 0, 0);
    ASSERT_NE(Writer, nullptr);
    KelvoSetFileSectionForObjectsOfType(Writer, ItemType, 1);
    KelvoSetFileSectionForObject(Writer, Tree.Numbers, 2);
    KelvoSetFileSectionForObject(Writer, &Tree.Shared, 2);
    kelvo_file_builder *Builder = Begin(storage::Memory, 3, KelvoNoCompression);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    decoded_file File;
    ASSERT_TRUE(End(Builder, File));
    ExpectSameTree(File, Tree);
    auto const *Root = static_cast<root const *>(File.Resolve(File.Header.RootObject));
    EXPECT_EQ(SectionOf(File, Root), 0);
    EXPECT_EQ(SectionOf(File, Root->Items), 1);
    EXPECT_EQ(SectionOf(File, Root->Extra.Object), 1);
    EXPECT_EQ(SectionOf(File, Root->Numbers), 2);
    EXPECT_EQ(SectionOf(File, Root->Single), 2);
}

TEST_F(DataTreeWriterTest, WriterWritesTheSameTreeToSeveralBuilders) {
    sample_tree Tree;
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 0, 0);
    ASSERT_NE(Writer, nullptr);
    for (int Pass = 0; Pass < 2; ++Pass) {
        kelvo_file_builder *Builder = Begin(storage::Memory, 1, KelvoNoCompression);
        ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
        decoded_file File;
        ASSERT_TRUE(End(Builder, File));
        ExpectSameTree(File, Tree);
    }
    KelvoEndFileDataTreeWriting(Writer);
}

kelvo_uintaddrx KELVO_CALLBACK StringIdentifier(void *UserData, char const *String) {
    auto &Strings = *static_cast<std::vector<std::string> *>(UserData);
    Strings.push_back(String);
    return 1000 + Strings.size();
}

TEST_F(DataTreeWriterTest, StringCallbackReplacesEveryStringAndName) {
    sample_tree Tree;
    std::vector<std::string> Strings;
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 0, 0);
    ASSERT_NE(Writer, nullptr);
    KelvoSetFileWriterStringCallback(Writer, &StringIdentifier, &Strings);
    kelvo_file_builder *Builder = Begin(storage::Memory, 1, KelvoNoCompression);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    EXPECT_STREQ(Tree.Root.Title, "title");
    decoded_file File;
    ASSERT_TRUE(End(Builder, File));
    auto const *Root = static_cast<root const *>(File.Resolve(File.Header.RootObject));
    auto const *Type = static_cast<kelvo_data_type_definition const *>(
        File.Resolve(File.Header.RootObjectTypeDefinition));
    auto Text = [&](void const *Value) { return Strings.at((kelvo_uintaddrx)Value - 1001); };
    EXPECT_EQ(Text(Root->Title), "title");
    EXPECT_EQ(Text(Root->Items[1].Name), "same");
    EXPECT_EQ(Text(Type[0].Name), "Title");
    EXPECT_EQ(Text(Type[10].Name), "EmptyItems");
    std::string Section(File.Sections[0].begin(), File.Sections[0].end());
    EXPECT_EQ(Section.find("title"), std::string::npos);
    EXPECT_EQ(Section.find("EmptyItems"), std::string::npos);
}

TEST_F(DataTreeWriterTest, ExcludedTypeTreeStoresTheEmptyType) {
    item Item = {"only", 9};
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(ItemType, &Item, 0, 0);
    ASSERT_NE(Writer, nullptr);
    KelvoSetFileDataTreeFlags(Writer, KelvoExcludeTypeTree);
    kelvo_file_builder *Builder = Begin(storage::Memory, 1, KelvoNoCompression);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    decoded_file File;
    ASSERT_TRUE(End(Builder, File));
    auto const *Type = static_cast<kelvo_data_type_definition const *>(
        File.Resolve(File.Header.RootObjectTypeDefinition));
    EXPECT_TRUE(KelvoDataTypesAreEqual(Type, KelvoEmptyType));
    auto const *Stored = static_cast<item const *>(File.Resolve(File.Header.RootObject));
    EXPECT_STREQ(Stored->Name, "only");
    EXPECT_EQ(Stored->Value, 9);
}

TEST_F(DataTreeWriterTest, ThousandsOfObjectsGrowTheEntries) {
    std::vector<item> Items(5000);
    std::vector<std::string> Names(Items.size());
    std::vector<item *> Pointers(Items.size());
    for (size_t Index = 0; Index < Items.size(); ++Index) {
        Names[Index] = "item " + std::to_string(Index % 1000);
        Items[Index] = {Names[Index].c_str(), (kelvo_int32)Index};
        Pointers[Index] = &Items[Index];
    }
    sample_tree Tree;
    Tree.Root.PointerCount = (kelvo_int32)Pointers.size();
    Tree.Root.Pointers = Pointers.data();
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 0, 0);
    ASSERT_NE(Writer, nullptr);
    kelvo_file_builder *Builder = Begin(storage::Memory, 1, KelvoFenwa1Compression);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    decoded_file File;
    ASSERT_TRUE(End(Builder, File));
    ExpectSameTree(File, Tree);
    auto const *Root = static_cast<root const *>(File.Resolve(File.Header.RootObject));
    EXPECT_EQ(+Root->Pointers[7]->Name, +Root->Pointers[1007]->Name);
}

TEST_F(DataTreeWriterTest, FailuresAreReported) {
    sample_tree Tree;
    EXPECT_EQ(KelvoBeginFileDataTreeWriting(RootType, nullptr, 0, 0), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "RootObject is not allowed to be 0");
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 0, 3);
    ASSERT_NE(Writer, nullptr);
    kelvo_file_builder *Builder = Begin(storage::Memory, 1, KelvoNoCompression);
    EXPECT_FALSE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    ExpectLogged(KelvoErrorLogMessage, "SectionIndex 3 is out of range [0, 1)");
    KelvoAbortFile(Builder);

    std::string Path = TemporaryPath("tree.kv2");
    EXPECT_FALSE(KelvoWriteDataTreeToFile(Writer, 0, KelvoKVNFileMV_ThisPlatform, Path.c_str(), 1));
    ExpectLogged(KelvoErrorLogMessage, "SectionIndex 3 is out of range [0, 1)");
    ExpectLogged(KelvoErrorLogMessage, "Unable to write tree contents to file buffer");
    KelvoEndFileDataTreeWriting(Writer);

    Writer = KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 0, 0);
    kelvo_file_magic_value Unknown = {};
    EXPECT_FALSE(KelvoWriteDataTreeToFile(Writer, 0, &Unknown, Path.c_str(), 1));
    ExpectLogged(KelvoWarningLogMessage, "doesn't match any known file format");
    ExpectLogged(KelvoErrorLogMessage, "Unable to create file writing buffer");
    std::string Unwritable = TemporaryPath("no_such_directory/tree.kv2");
    EXPECT_FALSE(
        KelvoWriteDataTreeToFile(Writer, 0, KelvoKVNFileMV_ThisPlatform, Unwritable.c_str(), 1));
    ExpectLogged(KelvoErrorLogMessage, "Unable to write buffer to file");
    TakeMessages(); // the platform's report of the failed creation

    ASSERT_TRUE(KelvoWriteDataTreeToFile(Writer, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform,
                                         Path.c_str(), 1));
    decoded_file File;
    ASSERT_EQ(DecodeFileImage(ReadFileBytes(Path), File), "");
    ExpectSameTree(File, Tree);
    KelvoEndFileDataTreeWriting(Writer);
    remove(Path.c_str());
}

} // namespace

namespace {

TEST_F(DataTreeWriterTest, LoaderReadsWrittenTreesBack) {
    for (storage Storage : {storage::Memory, storage::TemporaryFiles}) {
        for (kelvo_compression_type Format : {KelvoNoCompression, KelvoFenwa1Compression}) {
            SCOPED_TRACE(testing::Message() << "storage " << (int)Storage << " format " << Format);
            sample_tree Tree;
            kelvo_file_data_tree_writer *Writer =
                KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 1, 0);
            ASSERT_NE(Writer, nullptr);
            KelvoSetFileSectionForObjectsOfType(Writer, LeafType, 2);
            kelvo_file_builder *Builder = Begin(Storage, 3, Format);
            ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
            KelvoEndFileDataTreeWriting(Writer);
            KelvoSetFileExtraTag(Builder, 1, 77);
            std::string Path = TemporaryPath("loaded_tree.kv2");
            ASSERT_TRUE(KelvoEndFile(Builder, Path.c_str()));
            EXPECT_TRUE(KelvoFileCRCIsValid(Path.c_str()));

            kelvo_file *File = KelvoReadEntireFile(Path.c_str());
            ASSERT_NE(File, nullptr);
            kelvo_variant Root;
            KelvoGetDataTreeFromFile(File, &Root);
            ASSERT_NE(Root.Type, nullptr);
            EXPECT_TRUE(KelvoDataTypesAreEqualWithNames(Root.Type, RootType));
            tree_comparison Comparison;
            EXPECT_TRUE(Comparison.Equal(RootType, &Tree.Root, Root.Type, Root.Object))
                << Comparison.Where;
            EXPECT_EQ(KelvoGetFileTypeTag(File), KelvoCurrentTypeTag);
            EXPECT_EQ(File->Header->ExtraTags[1], 77u);
            auto const *Loaded = static_cast<root const *>(Root.Object);
            EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, +Loaded->Array), 2);
            KelvoFreeFile(File);
            remove(Path.c_str());
        }
    }
}

} // namespace

namespace {

TEST_F(DataTreeWriterTest, LoadedSectionsArePreservedWhenRewritten) {
    sample_tree Tree;
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 0, 0);
    ASSERT_NE(Writer, nullptr);
    KelvoSetFileSectionForObjectsOfType(Writer, ItemType, 1);
    KelvoSetFileSectionForObject(Writer, Tree.Numbers, 2);
    std::string Path = TemporaryPath("preserved.kv2");
    ASSERT_TRUE(KelvoWriteDataTreeToFile(Writer, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform,
                                         Path.c_str(), 3));
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file *Source = KelvoReadEntireFile(Path.c_str());
    ASSERT_NE(Source, nullptr);
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(Source, &Root);

    // All defaults point at section 0; the loaded layout must win, apart
    // from an explicit choice.
    Writer = KelvoBeginFileDataTreeWriting(Root.Type, Root.Object, 0, 0);
    KelvoPreserveFileSections(Writer, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "SourceFile is not allowed to be 0");
    KelvoPreserveFileSections(Writer, Source);
    auto const *Loaded = static_cast<root const *>(Root.Object);
    KelvoSetFileSectionForObject(Writer, +Loaded->Numbers, 0);
    kelvo_file_builder *Builder = Begin(storage::Memory, 3, KelvoNoCompression);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    decoded_file File;
    ASSERT_TRUE(End(Builder, File));
    ExpectSameTree(File, Tree);
    auto const *Rewritten = static_cast<root const *>(File.Resolve(File.Header.RootObject));
    EXPECT_EQ(SectionOf(File, Rewritten), 0);
    EXPECT_EQ(SectionOf(File, Rewritten->Items), 1);
    EXPECT_EQ(SectionOf(File, Rewritten->Single), 1);
    EXPECT_EQ(SectionOf(File, Rewritten->Numbers), 0);
    KelvoFreeFile(Source);
    remove(Path.c_str());
}

} // namespace
