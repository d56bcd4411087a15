// Every operation of the file layer that allocates, run with each of its
// allocations failing in turn (reported as the default allocator reports an
// exhausted heap): it must return failure, free what it took, free nothing
// else and leave no file behind (not even a temporary one); with nothing
// failing it must succeed without a word.
#include "data/kelvo_data_type.h"
#include "kelvo_test.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

using kelvo::MakeMember;

namespace {

using bytes = std::vector<kelvo_uint8>;

#pragma pack(push, 4)
struct leaf { // mixes 32-, 16- and 8-bit members
    kelvo_real32 Real;
    kelvo_int16 Small[3];
    kelvo_uint8 Byte;
    kelvo_uint8 Spare;
};
struct root {
    char const *Title;
    leaf *Single;
    kelvo_int32 LeafCount;
    leaf *Leaves;
    kelvo_int32 PointerCount;
    leaf **Pointers;
    kelvo_variant Extra;
};
#pragma pack(pop)

constexpr kelvo_data_type_definition LeafType[] = {
    MakeMember(KelvoReal32Member, "Real"), MakeMember(KelvoInt16Member, "Small", nullptr, 3),
    MakeMember(KelvoUInt8Member, "Byte"), MakeMember(KelvoUInt8Member, "Spare"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition RootType[] = {
    MakeMember(KelvoStringMember, "Title"),
    MakeMember(KelvoReferenceMember, "Single", LeafType),
    MakeMember(KelvoReferenceToArrayMember, "Leaves", LeafType),
    MakeMember(KelvoArrayOfReferencesMember, "Pointers", LeafType),
    MakeMember(KelvoVariantReferenceMember, "Extra"),
    MakeMember(KelvoEndMember)};
// The same tree reordered and widened, for data type conversion.
constexpr kelvo_data_type_definition WideLeafType[] = {
    MakeMember(KelvoInt32Member, "Byte"), MakeMember(KelvoReal32Member, "Small", nullptr, 3),
    MakeMember(KelvoReal32Member, "Real"), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition WideRootType[] = {
    MakeMember(KelvoReferenceToArrayMember, "Leaves", WideLeafType),
    MakeMember(KelvoArrayOfReferencesMember, "Pointers", WideLeafType),
    MakeMember(KelvoReferenceMember, "Single", WideLeafType),
    MakeMember(KelvoVariantReferenceMember, "Extra"),
    MakeMember(KelvoStringMember, "Title"),
    MakeMember(KelvoEndMember)};

constexpr kelvo_uint32 SampleTag = 0x5a5a0001u;

struct sample_tree {
    leaf Leaves[3] = {
        {1.5f, {1, -2, 3}, 7, 0}, {-2.0f, {4, 5, 6}, 255, 0}, {0.25f, {-7, 8, -9}, 1, 0}};
    leaf *Pointers[2] = {&Leaves[2], nullptr};
    root Root = {"sample", &Leaves[1], 3, Leaves, 2, Pointers, {LeafType, &Leaves[0]}};
};

bytes StealBytes(kelvo_file_writer *Writer) {
    kelvo_uint8 *Buffer = nullptr;
    kelvo_int32 Size = 0;
    bool Stolen = KelvoStealMemoryWriterBuffer(Writer, &Buffer, &Size);
    bytes Bytes = Stolen ? bytes(Buffer, Buffer + Size) : bytes();
    KelvoFreeMemoryWriterBuffer(Buffer);
    KelvoDeleteFileWriter(Writer);
    return Bytes;
}

// What an operation works on; built before any allocation fails.
struct inputs {
    sample_tree Tree;
    std::string Directory;
    std::string Stored, Compressed; // the sample tree's file in each section format
    bytes StoredImage, CompressedImage;
    std::string Output;
    kelvo_file *Loaded = nullptr;
};

// A loaded file counts only with every section and the root in place.
bool Complete(kelvo_file *File) {
    if (!File) {
        return false;
    }
    bool Whole = true;
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        Whole = Whole && File->Sections[Index];
    }
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    KelvoFreeFile(File);
    return Whole && Root.Object;
}

bool LoadFromReader(std::string const &Path) {
    kelvo_file_reader *Reader = KelvoOpenFileReader(Path.c_str());
    if (!Reader) {
        return false;
    }
    kelvo_file *File = KelvoReadEntireFileFromReader(Reader);
    KelvoCloseFileReader(Reader);
    return Complete(File);
}

bool LoadFromMemory(bytes const &Image) {
    return Complete(KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data()));
}

bool ConvertForPlatform(bytes const &Image, kelvo_int32 PointerBits, bool LittleEndian) {
    kelvo_file_magic_value Magic;
    KelvoGetMagicValueForPlatform(PointerBits, LittleEndian, &Magic);
    kelvo_file_reader *Reader =
        KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, (kelvo_int32)Image.size(), Image.data());
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    bool Converted =
        Reader && Writer && KelvoPlatformConvertReaderToWriter(Reader, Writer, &Magic, 0);
    if (Reader) {
        KelvoCloseFileReader(Reader);
    }
    KelvoDeleteFileWriter(Writer);
    return Converted;
}

// The sample tree through the data tree writer into a builder; the end call
// (which frees the builder) writes it out.
template <typename end_call>
bool BuildTree(inputs &In, kelvo_file_builder *Builder, kelvo_compression_type Format,
               end_call End) {
    kelvo_file_data_tree_writer *Writer =
        KelvoBeginFileDataTreeWriting(RootType, &In.Tree.Root, 1, 0);
    if (!Builder || !Writer) {
        KelvoAbortFile(Builder);
        KelvoEndFileDataTreeWriting(Writer);
        return false;
    }
    KelvoSetFileSectionFormat(Builder, 0, Format, 16);
    KelvoSetFileSectionFormat(Builder, 1, Format, 4);
    bool Written = KelvoWriteDataTreeToFileBuilder(Writer, Builder);
    KelvoEndFileDataTreeWriting(Writer);
    if (!Written) {
        KelvoAbortFile(Builder);
        return false;
    }
    return End(Builder);
}

bytes BuildImage(inputs &In, kelvo_compression_type Format) {
    bytes Image;
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(2, SampleTag, KelvoKVNFileMV_ThisPlatform, 4096);
    BuildTree(In, Builder, Format, [&](kelvo_file_builder *Built) {
        kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
        if (!Writer) {
            KelvoAbortFile(Built);
            return false;
        }
        bool Ended = KelvoEndFileToWriter(Built, Writer);
        Image = StealBytes(Writer);
        return Ended;
    });
    return Image;
}

struct operation {
    char const *Name;
    bool (*Run)(inputs &In);
    bool WritesOutput;
    // A conversion to the little-endian platform of this pointer size, which
    // is no conversion in a build of that size.
    kelvo_int32 LittleEndianTargetBits = 0;
};

// clang-format off
operation const Operations[] = {
    {"load stored from memory", [](inputs &In) { return LoadFromMemory(In.StoredImage); }, false},
    {"load compressed from memory", [](inputs &In) { return LoadFromMemory(In.CompressedImage); }, false},
    {"load stored from a file reader", [](inputs &In) { return LoadFromReader(In.Stored); }, false},
    {"load compressed from a file reader", [](inputs &In) { return LoadFromReader(In.Compressed); }, false},
    {"load by name", [](inputs &In) { return Complete(KelvoReadEntireFile(In.Compressed.c_str())); }, false},
    {"tree check", [](inputs &In) { return KelvoCheckFileDataTree(In.Loaded) != 0; }, false},
    {"data type conversion", [](inputs &In) {
        void *Converted = KelvoConvertTree(RootType, &In.Tree.Root, WideRootType);
        kelvo_allocate_callback *Allocate;
        kelvo_deallocate_callback *Deallocate;
        KelvoGetAllocator(&Allocate, &Deallocate);
        if (Converted) {
            Deallocate(__FILE__, __LINE__, Converted);
        }
        return Converted != nullptr;
    }, false},
    {"platform conversion to 32-bit little-endian", [](inputs &In) { return ConvertForPlatform(In.CompressedImage, 32, true); }, false, 32},
    {"platform conversion to 32-bit big-endian", [](inputs &In) { return ConvertForPlatform(In.CompressedImage, 32, false); }, false},
    {"platform conversion to 64-bit little-endian", [](inputs &In) { return ConvertForPlatform(In.StoredImage, 64, true); }, false, 64},
    {"platform conversion to 64-bit big-endian", [](inputs &In) { return ConvertForPlatform(In.StoredImage, 64, false); }, false},
    {"data tree writer into an in-memory builder", [](inputs &In) {
        return !BuildImage(In, KelvoFenwa1Compression).empty(); }, false},
    {"data tree writer into a builder on temporary files", [](inputs &In) {
        kelvo_file_builder *Builder = KelvoBeginFile(2, SampleTag, KelvoKVNFileMV_ThisPlatform,
                                                     In.Directory.c_str(), "streams");
        return BuildTree(In, Builder, KelvoFenwa1Compression, [&](kelvo_file_builder *Built) {
            return KelvoEndFile(Built, In.Output.c_str()) != 0; });
    }, true},
    {"data tree writer to a file", [](inputs &In) {
        kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(RootType, &In.Tree.Root, 1, 0);
        bool Written = Writer && KelvoWriteDataTreeToFile(Writer, SampleTag, KelvoKVNFileMV_ThisPlatform,
                                                          In.Output.c_str(), 2);
        KelvoEndFileDataTreeWriting(Writer);
        return Written;
    }, true},
    {"memory file writer", [](inputs &) {
        kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 16);
        bool Written = Writer && KelvoWrite(Writer, 10, "0123456789") && KelvoWrite(Writer, 10, "0123456789");
        return StealBytes(Writer).size() == 20 && Written;
    }, false},
    {"platform file writer", [](inputs &In) {
        kelvo_file_writer *Writer = KelvoOpenFileWriter(In.Output.c_str(), 1);
        bool Written = Writer && KelvoWrite(Writer, 10, "0123456789");
        KelvoDeleteFileWriter(Writer);
        return Written;
    }, true},
    {"recompression of a stored file", [](inputs &In) {
        kelvo_int32 const ToFenwa1[] = {KelvoFenwa1Compression};
        return KelvoRecompressFile(In.Stored.c_str(), In.Output.c_str(), 1, ToFenwa1) != 0;
    }, true},
    {"recompression of a compressed file", [](inputs &In) {
        kelvo_int32 const ToStored[] = {KelvoNoCompression, KelvoNoCompression, KelvoNoCompression};
        return KelvoRecompressFile(In.Compressed.c_str(), In.Output.c_str(), 3, ToStored) != 0;
    }, true},
};
// clang-format on

class AllocationFailureTest : public KelvoTest, public testing::WithParamInterface<operation> {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        In.Directory = TemporaryPath("allocation_failure");
        ASSERT_EQ(mkdir(In.Directory.c_str(), 0700), 0);
        In.Stored = In.Directory + "/stored.kv2";
        In.Compressed = In.Directory + "/compressed.kv2";
        In.Output = In.Directory + "/output.kv2";
        In.StoredImage = BuildImage(In, KelvoNoCompression);
        In.CompressedImage = BuildImage(In, KelvoFenwa1Compression);
        ASSERT_FALSE(In.StoredImage.empty());
        ASSERT_FALSE(In.CompressedImage.empty());
        WriteFile(In.Stored, In.StoredImage);
        WriteFile(In.Compressed, In.CompressedImage);
        In.Loaded = KelvoReadEntireFileFromMemory((kelvo_int32)In.StoredImage.size(),
                                                  In.StoredImage.data());
        ASSERT_NE(In.Loaded, nullptr);
    }
    void TearDown() override {
        KelvoFreeFile(In.Loaded);
        for (std::string const &Name : DirectoryEntries()) {
            std::remove((In.Directory + "/" + Name).c_str());
        }
        rmdir(In.Directory.c_str());
        KelvoTest::TearDown();
    }

    static void WriteFile(std::string const &Path, bytes const &Image) {
        FILE *File = fopen(Path.c_str(), "wb");
        ASSERT_NE(File, nullptr);
        EXPECT_EQ(fwrite(Image.data(), 1, Image.size(), File), Image.size());
        fclose(File);
    }

    std::set<std::string> DirectoryEntries() const {
        std::set<std::string> Names;
        if (DIR *Directory = opendir(In.Directory.c_str())) {
            while (dirent *Entry = readdir(Directory)) {
                if (std::string(Entry->d_name) != "." && std::string(Entry->d_name) != "..") {
                    Names.insert(Entry->d_name);
                }
            }
            closedir(Directory);
        }
        return Names;
    }

    // The files the operation left beside its inputs.
    std::set<std::string> NewFiles() const {
        std::set<std::string> Names = DirectoryEntries();
        Names.erase("stored.kv2");
        Names.erase("compressed.kv2");
        return Names;
    }

    inputs In;
};

TEST_P(AllocationFailureTest, EveryAllocationFailingInTurnFailsCleanly) {
    operation const &Op = GetParam();
    if (Op.LittleEndianTargetBits == (kelvo_int32)sizeof(void *) * 8) {
        GTEST_SKIP() << "the build's own platform";
    }
    for (int FailAt = 1;; ++FailAt) {
        SCOPED_TRACE(testing::Message() << "allocation " << FailAt << " failing");
        std::remove(In.Output.c_str());
        void *Marker = KelvoBeginAllocationCheck();
        bool Succeeded;
        int Failures;
        {
            failing_allocator Heap(FailAt);
            Succeeded = Op.Run(In);
            Failures = Heap.Failures;
        }
        EXPECT_TRUE(KelvoEndAllocationCheck(Marker)) << "blocks leaked";
        // The allocator reports its failure; any other word on memory (a
        // foreign block freed, a block left) is a fault of the operation.
        std::vector<captured_message> Messages = TakeMessages();
        for (captured_message const &Message : Messages) {
            EXPECT_TRUE(Message.Origin != KelvoMemoryLogMessage ||
                        Message.Text.find("Unable to allocate") != std::string::npos)
                << Message.Text;
        }
        std::set<std::string> const Left = NewFiles();
        if (Failures == 0) {
            // FailAt is past the operation's last allocation.
            EXPECT_GT(FailAt, 1) << "the operation allocates nothing";
            EXPECT_TRUE(Succeeded);
            EXPECT_TRUE(Messages.empty()) << Messages.front().Text;
            EXPECT_EQ(Left, Op.WritesOutput ? std::set<std::string>{"output.kv2"}
                                            : std::set<std::string>{});
            break;
        }
        EXPECT_FALSE(Succeeded);
        EXPECT_TRUE(Left.empty()) << "left " << *Left.begin();
        if (HasFailure()) {
            break; // one report per operation is enough
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, AllocationFailureTest, testing::ValuesIn(Operations),
                         [](testing::TestParamInfo<operation> const &Info) {
                             std::string Name = Info.param.Name;
                             for (char &Character : Name) {
                                 Character = isalnum((unsigned char)Character) ? Character : '_';
                             }
                             return Name;
                         });

} // namespace
