// The dump's walk and the library's tree check hold one notion of a sound
// tree: what the check accepts, the walk prints whole.
#include "data/kelvo_data_type.h"
#include "file_image_decoder.h"
#include "kelvo_test.h"
#include "kv2_tree_walk.h"

#include <stdio.h>
#include <string.h>

#include <vector>

using kelvo::MakeMember;

namespace {

class Kv2TreeWalkTest : public KelvoTest {};

kelvo_file *WriteAndLoad(kelvo_data_type_definition const *Type, void *Root) {
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(Type, Root, 0, 0);
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(1, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform, 4096);
    bool Written = Writer && Builder && KelvoWriteDataTreeToFileBuilder(Writer, Builder);
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    if (!Written || !KelvoEndFileToWriter(Builder, Output)) {
        KelvoAbortFile(Written ? nullptr : Builder);
        KelvoDeleteFileWriter(Output);
        return nullptr;
    }
    std::vector<kelvo_uint8> Image = StealWriterBytes(Output);
    return KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
}

TEST_F(Kv2TreeWalkTest, TheWalkAcceptsWhatTheCheckAccepts) {
    static kelvo_data_type_definition const Empty[] = {MakeMember(KelvoEndMember)};
    static kelvo_data_type_definition const Retired[] = {
        MakeMember(KelvoRetiredSwitchableMember, "Old"), MakeMember(KelvoEndMember)};
    static kelvo_data_type_definition const InlineEmpty[] = {
        MakeMember(KelvoInt32Member, "A"), MakeMember(KelvoInlineMember, "Nothing", Empty),
        MakeMember(KelvoEndMember)};
    static kelvo_data_type_definition const InlineRetired[] = {
        MakeMember(KelvoInlineMember, "Old", Retired), MakeMember(KelvoInt32Member, "A"),
        MakeMember(KelvoEndMember)};
    // Inline types nested 40 deep, within the library's bound of 64.
    std::vector<kelvo_data_type_definition> Chain(2 * 40);
    for (size_t Level = 0; Level < 40; ++Level) {
        Chain[2 * Level] = Level + 1 < 40
                               ? MakeMember(KelvoInlineMember, "Inner", &Chain[2 * Level + 2])
                               : MakeMember(KelvoInt32Member, "Value");
        Chain[2 * Level + 1] = MakeMember(KelvoEndMember);
    }
    // Empty objects and an array of them, with no names written after
    // them: they sit at the very end of their section, which holds their
    // zero bytes.
    static kelvo_data_type_definition const EmptyAtTheEnd[] = {
        MakeMember(KelvoReferenceMember, nullptr, Empty),
        MakeMember(KelvoReferenceToArrayMember, nullptr, Empty), MakeMember(KelvoEndMember)};
    kelvo_data_type_definition const *const Types[] = {InlineEmpty, InlineRetired, Chain.data(),
                                                       EmptyAtTheEnd};
    FILE *Sink = fopen("/dev/null", "w");
    ASSERT_NE(Sink, nullptr);
    for (kelvo_data_type_definition const *Type : Types) {
        // Members are packed: the reference, then the array's count and
        // pointer. The empty objects' address is any byte, as nothing of
        // them is read.
        char Nothing = 0;
        void *Address = &Nothing;
        kelvo_int32 Words[5] = {7, 8, 9, 10, 3};
        alignas(8) kelvo_uint8 Root[24] = {};
        memcpy(Root, Words, sizeof(Words));
        if (Type == EmptyAtTheEnd) {
            memcpy(Root, &Address, sizeof(void *));
            memcpy(Root + sizeof(void *), &Words[4], 4);
            memcpy(Root + sizeof(void *) + 4, &Address, sizeof(void *));
        }
        kelvo_file *File = WriteAndLoad(Type, Root);
        ASSERT_NE(File, nullptr);
        kelvo_variant Loaded;
        KelvoGetDataTreeFromFile(File, &Loaded);
        EXPECT_TRUE(KelvoCheckFileDataTree(File));
        kv2::section_memory Memory(File);
        kv2::walk_options Options;
        Options.Out = Sink;
        kv2::tree_walker Walker(Memory, Options);
        EXPECT_TRUE(Walker.Walk(Loaded.Type, Loaded.Object)) << Walker.Fault();
        KelvoFreeFile(File);
    }
    fclose(Sink);
}

} // namespace
