// Inputs the file-loading fuzz target once found troublesome, kept under
// tests/data/file_loading_findings and run through the same path as the
// target: load (converting the other pointer size), check the tree, write a
// sound tree anew and load that, take the file info and write it whole as
// raw conversion does, convert the bytes to the other pointer size.
//
// definition_check_per_element.kv2: a string member of width 2^27 in a
// referenced type; checking the definition before writing visited every
// element slot, seconds per load (a minute under sanitizers).
// root_not_file_info.kv2: the current type tag over a 4-byte root, which
// was handed out in place as a file info; writing it read past its block.
// fixup_over_string.kv2, marshalling_by_another_layout.kv2: trees that a
// pointer fix-up or a marshalling fix-up would change on loading, which the
// tree check must refuse.
#include "file_image_decoder.h"
#include "kelvo_test.h"

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<kelvo_uint8>;

std::vector<std::string> Findings() {
    std::string Directory = std::string(KELVO_SOURCE_DIR) + "/tests/data/file_loading_findings";
    std::vector<std::string> Paths;
    if (DIR *Listing = opendir(Directory.c_str())) {
        while (dirent *Entry = readdir(Listing)) {
            std::string Name = Entry->d_name;
            if (Name.size() > 4 && Name.substr(Name.size() - 4) == ".kv2") {
                Paths.push_back(Directory + "/" + Name);
            }
        }
        closedir(Listing);
    }
    std::sort(Paths.begin(), Paths.end());
    return Paths;
}

bytes EndToBytes(kelvo_file_builder *Builder) {
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    bool Ended = KelvoEndFileToWriter(Builder, Writer);
    bytes Image = StealWriterBytes(Writer);
    return Ended ? Image : bytes();
}

// Writes the whole tree, which reads every object of it, and loads it again.
void WriteAndReload(kelvo_data_type_definition const *Type, void *Root) {
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(Type, Root, 0, 0);
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(1, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform, 4096);
    ASSERT_TRUE(Writer && Builder);
    EXPECT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    bytes Again = EndToBytes(Builder);
    kelvo_file *Reloaded = KelvoReadEntireFileFromMemory((kelvo_int32)Again.size(), Again.data());
    EXPECT_TRUE(Reloaded && KelvoCheckFileDataTree(Reloaded));
    KelvoFreeFile(Reloaded);
}

class FileLoadingFindingsTest : public KelvoTest {};

TEST_F(FileLoadingFindingsTest, FindingsGoThroughTheWholeLoadingPath) {
    std::vector<std::string> Paths = Findings();
    ASSERT_FALSE(Paths.empty());
    for (std::string const &Path : Paths) {
        SCOPED_TRACE(Path);
        bytes Image = ReadFileBytes(Path);
        kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
        kelvo_variant Root = {};
        if (File) {
            KelvoGetDataTreeFromFile(File, &Root);
        }
        if (Root.Object && KelvoCheckFileDataTree(File)) {
            WriteAndReload(Root.Type, Root.Object);
            if (kelvo_file_info *Info = KelvoGetFileInfo(File)) {
                WriteAndReload(KelvoFileInfoType, Info);
            }
        }
        KelvoFreeFile(File);
        kelvo_file_magic_value Other;
        KelvoGetMagicValueForPlatform(sizeof(void *) == 8 ? 32 : 64, 1, &Other);
        kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(
            __FILE__, __LINE__, 0, (kelvo_int32)Image.size(), Image.data());
        kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
        KelvoPlatformConvertReaderToWriter(Reader, Output, &Other, 0);
        KelvoCloseFileReader(Reader);
        KelvoDeleteFileWriter(Output);
        TakeMessages(); // hostile inputs are reported as they like; they must not crash
    }
}

} // namespace
