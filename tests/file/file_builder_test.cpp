#include "file_image_decoder.h"
#include "kelvo_test.h"
#include "kv2_sample_asset.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define KELVO_HERE_TEST __FILE__, __LINE__

namespace {

using bytes = std::vector<kelvo_uint8>;
constexpr kelvo_int32 PointerSize = (kelvo_int32)sizeof(void *);

enum class storage { TemporaryFiles, Memory };

class FileBuilderTest : public KelvoTest {
  protected:
    kelvo_file_builder *Begin(storage Storage, kelvo_int32 SectionCount, kelvo_uint32 Tag = 7) {
        if (Storage == storage::Memory) {
            return KelvoBeginFileInMemory(SectionCount, Tag, KelvoKVNFileMV_ThisPlatform, 64);
        }
        Base = TemporaryPath(("builder_" + std::to_string(++PrefixCount)).c_str());
        size_t Slash = Base.rfind('/');
        return KelvoBeginFile(SectionCount, Tag, KelvoKVNFileMV_ThisPlatform,
                              Base.substr(0, Slash).c_str(), Base.c_str() + Slash + 1);
    }
    // True when no temporary file of the last temporary-file builder is left.
    bool TemporaryFilesGone(kelvo_int32 SectionCount) {
        for (int Section = 0; Section < SectionCount; ++Section) {
            for (int Stream = 0; Stream < 3; ++Stream) {
                std::string Name =
                    Base + "_" + std::to_string(Section) + "_" + std::to_string(Stream) + ".utf";
                if (FILE *File = fopen(Name.c_str(), "rb")) {
                    fclose(File);
                    return false;
                }
            }
        }
        return true;
    }
    bytes EndToMemory(kelvo_file_builder *Builder, bool Raw = false) {
        kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(KELVO_HERE_TEST, 256);
        kelvo_bool32 Ended =
            Raw ? KelvoEndFileRawToWriter(Builder, Writer) : KelvoEndFileToWriter(Builder, Writer);
        EXPECT_TRUE(Ended);
        return StealWriterBytes(Writer);
    }

    std::string Base;
    int PrefixCount = 0;
};

kelvo_file_location Write(kelvo_file_builder *Builder, kelvo_int32 Section,
                          kelvo_uint32 Marshalling, void const *Data, kelvo_int32 Size) {
    kelvo_file_location Location = {99, 99, 99};
    KelvoWriteFileChunk(Builder, Section, Marshalling, Size, Data, &Location);
    return Location;
}

TEST_F(FileBuilderTest, ChunksLandOnTheSectionAlignmentOfTheirRegionStream) {
    for (storage Storage : {storage::Memory, storage::TemporaryFiles}) {
        kelvo_file_builder *Builder = Begin(Storage, 2);
        ASSERT_NE(Builder, nullptr);
        KelvoSetFileSectionFormat(Builder, 1, KelvoNoCompression, 16);
        char const Six[] = "abcdef";
        kelvo_file_location A = Write(Builder, 0, KelvoInt32Marshalling, Six, 6);
        kelvo_file_location B = Write(Builder, 0, KelvoInt32Marshalling, Six, 6);
        kelvo_file_location C = Write(Builder, 1, 0, Six, 6);
        kelvo_file_location D = Write(Builder, 1, KelvoInt32Marshalling, Six, 6);
        kelvo_file_location Half = Write(Builder, 0, KelvoInt16Marshalling, "xy", 2);
        kelvo_file_location Mixed =
            Write(Builder, 0, KelvoInt16Marshalling | KelvoInt32Marshalling, "m", 1);
        kelvo_file_location Byte = Write(Builder, 0, KelvoInt8Marshalling, "b", 1);
        EXPECT_EQ(A.Offset, 0u);
        EXPECT_EQ(B.Offset, 8u);
        EXPECT_EQ(C.Offset, 0u);
        EXPECT_EQ(D.Offset, 16u);
        EXPECT_EQ(A.BufferIndex, 0u);
        EXPECT_EQ(Half.BufferIndex, 1u);
        EXPECT_EQ(Mixed.BufferIndex, 2u);
        EXPECT_EQ(Byte.BufferIndex, 2u);
        EXPECT_EQ(Byte.Offset, 4u);
        EXPECT_EQ(D.SectionIndex, 1u);

        decoded_file File;
        ASSERT_EQ(DecodeFileImage(EndToMemory(Builder), File), "");
        kelvo_section_header const &Main = File.SectionHeaders[0];
        EXPECT_EQ(Main.First16Bit, 16u);
        EXPECT_EQ(Main.First8Bit, 20u);
        EXPECT_EQ(Main.ExpandedDataSize, 28u);
        EXPECT_EQ(memcmp(File.Section(0), "abcdef\0\0abcdef\0\0xy\0\0m\0\0\0b\0\0\0", 28), 0);
        EXPECT_EQ(File.SectionHeaders[1].ExpandedDataSize, 32u);
        EXPECT_EQ(File.SectionHeaders[1].InternalAlignment, 16u);
        if (Storage == storage::TemporaryFiles) {
            EXPECT_TRUE(TemporaryFilesGone(2));
        }
    }
}

TEST_F(FileBuilderTest, ThreeSectionFileLayout) {
    kelvo_file_builder *Builder = Begin(storage::Memory, 3);
    ASSERT_NE(Builder, nullptr);
    Write(Builder, 0, KelvoInt32Marshalling, "abcd", 4);
    Write(Builder, 2, KelvoInt8Marshalling, "xyz", 3);
    bytes Image = EndToMemory(Builder);
    decoded_file File;
    ASSERT_EQ(DecodeFileImage(Image, File), "");
    EXPECT_EQ(File.Magic.HeaderSize, 220u);
    EXPECT_EQ(File.SectionHeaders[0].DataOffset, 220u);
    EXPECT_EQ(File.SectionHeaders[1].DataSize, 0u);
    EXPECT_EQ(File.SectionHeaders[1].ExpandedDataSize, 0u);
    EXPECT_EQ(File.SectionHeaders[2].DataOffset, 224u);
    EXPECT_EQ(File.Header.TypeTag, 7u);
    EXPECT_EQ(memcmp(Image.data(), KelvoKVNFileMV_ThisPlatform, 16), 0);
}

// Two objects in two sections pointing at each other, a string, a record of
// mixed element sizes with its marshalling fix-up, the root and the tags:
// everything must come back through the layout operations alone.
struct linked_file {
    kelvo_file_location Root, Leaf, Text, Mixed, Type;
};

linked_file BuildLinkedFile(kelvo_file_builder *Builder) {
    linked_file Made;
    struct node {
        kelvo_int32 Value;
        void *Next;
    } __attribute__((packed));
    static char const Text[] = "hello";
    node Root = {11, &Made}; // a live address: must not reach the file
    node Leaf = {22, nullptr};
    Made.Root = Write(Builder, 0, KelvoInt32Marshalling, &Root, sizeof(Root));
    Made.Leaf = Write(Builder, 1, KelvoInt32Marshalling, &Leaf, sizeof(Leaf));
    Made.Text = Write(Builder, 1, KelvoInt8Marshalling, Text, sizeof(Text));
    kelvo_uint8 const Mixed[8] = {1, 2, 0, 3, 0, 0, 0, 4};
    Made.Mixed = Write(Builder, 0, KelvoInt8Marshalling | KelvoInt16Marshalling, Mixed, 8);
    Made.Type = Write(Builder, 0, KelvoInt32Marshalling, "TYPE", 4);
    KelvoMarkFileFixup(Builder, &Made.Root, 4, &Made.Leaf);
    kelvo_file_fixup *Fixup = KelvoMarkFileFixup(Builder, &Made.Leaf, 4, &Made.Root);
    KelvoAdjustFileFixup(Builder, Fixup, &Made.Text);
    KelvoMarkMarshallingFixup(Builder, &Made.Type, &Made.Mixed, 1);
    KelvoMarkFileRootObject(Builder, &Made.Type, &Made.Root);
    KelvoSetFileExtraTag(Builder, 0, 100);
    KelvoSetFileExtraTag(Builder, 3, 103);
    return Made;
}

void CheckLinkedFile(decoded_file const &File) {
    ASSERT_EQ(File.Sections.size(), 2u);
    kelvo_uint8 const *Root =
        static_cast<kelvo_uint8 const *>(File.Resolve(File.Header.RootObject));
    ASSERT_EQ(Root, File.Section(0));
    kelvo_int32 Value;
    memcpy(&Value, Root, 4);
    EXPECT_EQ(Value, 11);
    kelvo_uint8 *Leaf;
    memcpy(&Leaf, Root + 4, PointerSize);
    ASSERT_EQ(Leaf, File.Section(1));
    memcpy(&Value, Leaf, 4);
    EXPECT_EQ(Value, 22);
    char const *Text;
    memcpy(&Text, Leaf + 4, PointerSize);
    ASSERT_NE(Text, nullptr);
    EXPECT_STREQ(Text, "hello");
    EXPECT_EQ(memcmp(File.Resolve(File.Header.RootObjectTypeDefinition), "TYPE", 4), 0);
    ASSERT_EQ(File.Marshallings[0].size(), 1u);
    kelvo_marshalling_fixup const &Marshalling = File.Marshallings[0][0];
    EXPECT_EQ(Marshalling.Count, 1u);
    EXPECT_GE(Marshalling.Offset, File.SectionHeaders[0].First8Bit);
    kelvo_uint8 const Mixed[8] = {1, 2, 0, 3, 0, 0, 0, 4};
    EXPECT_EQ(memcmp(File.Section(0) + Marshalling.Offset, Mixed, 8), 0);
    EXPECT_EQ(memcmp(File.Resolve(Marshalling.Type), "TYPE", 4), 0);
    EXPECT_EQ(File.Header.ExtraTags[0], 100u);
    EXPECT_EQ(File.Header.ExtraTags[1], 0u);
    EXPECT_EQ(File.Header.ExtraTags[3], 103u);
}

TEST_F(FileBuilderTest, FixupsRootAndTagsSurviveEveryStorageAndFormat) {
    for (storage Storage : {storage::Memory, storage::TemporaryFiles}) {
        for (kelvo_compression_type Format : {KelvoNoCompression, KelvoFenwa1Compression}) {
            SCOPED_TRACE(testing::Message() << "storage " << (int)Storage << " format " << Format);
            kelvo_file_builder *Builder = Begin(Storage, 2);
            ASSERT_NE(Builder, nullptr);
            KelvoSetFileSectionFormat(Builder, 0, Format, 4);
            KelvoSetFileSectionFormat(Builder, 1, Format, 8);
            BuildLinkedFile(Builder);
            std::string Path = TemporaryPath("linked.kv2");
            ASSERT_TRUE(KelvoEndFile(Builder, Path.c_str()));
            decoded_file File;
            ASSERT_EQ(DecodeFileImage(ReadFileBytes(Path), File), "");
            EXPECT_EQ(File.SectionHeaders[0].Format, (kelvo_uint32)Format);
            CheckLinkedFile(File);
            remove(Path.c_str());
            if (Storage == storage::TemporaryFiles) {
                EXPECT_TRUE(TemporaryFilesGone(2));
            }
        }
    }
}

TEST_F(FileBuilderTest, RawImageHoldsTargetOffsets) {
    kelvo_file_builder *Builder = Begin(storage::Memory, 1);
    ASSERT_NE(Builder, nullptr);
    struct {
        kelvo_int32 Value;
        void *Pointer;
    } __attribute__((packed)) Record = {5, &Record};
    kelvo_file_location Byte = Write(Builder, 0, KelvoInt8Marshalling, "q", 1);
    kelvo_file_location First = Write(Builder, 0, KelvoInt32Marshalling, &Record, sizeof(Record));
    kelvo_file_location Second = Write(Builder, 0, KelvoInt32Marshalling, &Record, sizeof(Record));
    KelvoMarkFileFixup(Builder, &First, 4, &Byte);
    KelvoMarkFileFixup(Builder, &Second, 4, &First);
    bytes Image = EndToMemory(Builder, true);
    kelvo_int32 RecordSize = (kelvo_int32)sizeof(Record);
    kelvo_int32 Stream0 = (RecordSize + 3) / 4 * 4 * 2;
    ASSERT_EQ(Image.size(), (size_t)Stream0 + 4);
    kelvo_uintaddrx Field;
    memcpy(&Field, Image.data() + 4, PointerSize);
    EXPECT_EQ(Field, (kelvo_uintaddrx)Stream0); // the byte behind both records
    memcpy(&Field, Image.data() + Stream0 / 2 + 4, PointerSize);
    EXPECT_EQ(Field, 0u);
    EXPECT_EQ(Image[Stream0], 'q');
}

TEST_F(FileBuilderTest, MarkingOutsideTheBuilderIsRefused) {
    kelvo_file_builder *Builder = Begin(storage::Memory, 1);
    ASSERT_NE(Builder, nullptr);
    KelvoSetFileSectionFormat(Builder, 1, KelvoNoCompression, 4);
    ExpectLogged(KelvoErrorLogMessage, "SectionIndex 1 is out of range [0, 1)");
    kelvo_file_location Location = {99, 99, 99};
    KelvoWriteFileChunk(Builder, -1, 0, 4, "abcd", &Location);
    ExpectLogged(KelvoErrorLogMessage, "InSectionIndex -1 is out of range [0, 1)");
    EXPECT_EQ(Location.SectionIndex, 99u);
    kelvo_file_location Good = Write(Builder, 0, 0, "abcdefgh", 8);
    kelvo_file_location Bad = {3, 0, 0};
    KelvoMarkFileFixup(Builder, &Bad, 0, &Good);
    ExpectLogged(KelvoErrorLogMessage, "From.SectionIndex 3 is out of range [0, 1)");
    KelvoMarkFileFixup(Builder, &Good, 0, &Bad);
    ExpectLogged(KelvoErrorLogMessage, "To.SectionIndex 3 is out of range [0, 1)");
    kelvo_file_location BadStream = {0, 3, 0};
    KelvoMarkFileFixup(Builder, &BadStream, 0, &Good);
    ExpectLogged(KelvoErrorLogMessage, "From.BufferIndex 3 is out of range [0, 3)");
    KelvoMarkMarshallingFixup(Builder, &Bad, &Good, 1);
    ExpectLogged(KelvoErrorLogMessage, "Type.SectionIndex 3 is out of range [0, 1)");
    KelvoMarkMarshallingFixup(Builder, &Good, &Bad, 1);
    ExpectLogged(KelvoErrorLogMessage, "Object.SectionIndex 3 is out of range [0, 1)");
    KelvoSetFileExtraTag(Builder, 4, 1);
    ExpectLogged(KelvoErrorLogMessage, "Index 4 is out of range [0, 4)");
    KelvoSetFileSectionFormat(Builder, 0, KelvoFenwa0Compression, 4);
    ExpectLogged(KelvoErrorLogMessage, "was not true");
    KelvoSetFileSectionFormat(Builder, 0, KelvoNoCompression, 0);
    ExpectLogged(KelvoErrorLogMessage, "was not true");
    decoded_file File;
    ASSERT_EQ(DecodeFileImage(EndToMemory(Builder), File), "");
    EXPECT_EQ(File.SectionHeaders[0].PointerFixupArrayCount, 0u);
    EXPECT_EQ(File.SectionHeaders[0].MixedMarshallingFixupArrayCount, 0u);
    EXPECT_EQ(File.SectionHeaders[0].InternalAlignment, 4u);
}

TEST_F(FileBuilderTest, FixupFieldOutsideItsStreamFailsTheEnd) {
    for (bool Raw : {false, true}) {
        kelvo_file_builder *Builder = Begin(storage::Memory, 1);
        ASSERT_NE(Builder, nullptr);
        kelvo_file_location Location = Write(Builder, 0, 0, "abcdefgh", 8);
        // The field's last byte would be the stream's ninth.
        KelvoMarkFileFixup(Builder, &Location, 8 - PointerSize + 1, &Location);
        kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(KELVO_HERE_TEST, 64);
        EXPECT_FALSE(Raw ? KelvoEndFileRawToWriter(Builder, Writer)
                         : KelvoEndFileToWriter(Builder, Writer));
        ExpectLogged(KelvoErrorLogMessage, "lies outside its 8 bytes");
        EXPECT_TRUE(StealWriterBytes(Writer).empty());
    }
}

TEST_F(FileBuilderTest, StreamBeyondInt32FailsForGood) {
    kelvo_file_builder *Builder = Begin(storage::Memory, 1);
    ASSERT_NE(Builder, nullptr);
    Write(Builder, 0, 0, "abcd", 4);
    KelvoWriteFileChunk(Builder, 0, 0, 0x7ffffffe, "x", nullptr);
    ExpectLogged(KelvoErrorLogMessage, "is out of range for an int32 StreamSize");
    Write(Builder, 0, 0, "abcd", 4);
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(KELVO_HERE_TEST, 64);
    EXPECT_FALSE(KelvoEndFileToWriter(Builder, Writer));
    KelvoDeleteFileWriter(Writer);
}

TEST_F(FileBuilderTest, AFailedEndLeavesAnExistingFileAsItWas) {
    std::string Path = TemporaryPath("kept.kv2");
    bytes const Kept = {'k', 'e', 'e', 'p'};
    FILE *Out = fopen(Path.c_str(), "wb");
    ASSERT_NE(Out, nullptr);
    fwrite(Kept.data(), 1, Kept.size(), Out);
    fclose(Out);
    for (bool Raw : {false, true}) {
        kelvo_file_builder *Builder = Begin(storage::Memory, 1);
        ASSERT_NE(Builder, nullptr);
        kelvo_file_location Location = Write(Builder, 0, 0, "abcd", 4);
        KelvoMarkFileFixup(Builder, &Location, 4, &Location); // a field past the stream
        EXPECT_FALSE(Raw ? KelvoEndFileRaw(Builder, Path.c_str())
                         : KelvoEndFile(Builder, Path.c_str()));
        ExpectLogged(KelvoErrorLogMessage, "lies outside its 4 bytes");
        EXPECT_EQ(ReadFileBytes(Path), Kept);
    }
    remove(Path.c_str());
}

TEST_F(FileBuilderTest, BeginRefusals) {
    kelvo_file_magic_value Unknown = *KelvoKVNFileMV_ThisPlatform;
    Unknown.MagicValue[2] ^= 1;
    EXPECT_EQ(KelvoBeginFileInMemory(1, 0, &Unknown, 64), nullptr);
    ExpectLogged(KelvoWarningLogMessage, "doesn't match any known file format");
    EXPECT_EQ(KelvoBeginFileInMemory(1, 0, KelvoKVNFileMV_ThisPlatform, 0), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Granularity 0");
    std::string Missing = TemporaryPath("no_such_directory");
    EXPECT_EQ(KelvoBeginFile(2, 0, KelvoKVNFileMV_ThisPlatform, Missing.c_str(), "x"), nullptr);
    TakeMessages(); // the platform's own report of the failed creation
    EXPECT_EQ(KelvoBeginFile(2, 0, nullptr, "/tmp", "x"), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "PlatformMagicValue is not allowed to be 0");
}

TEST_F(FileBuilderTest, CompressorStage) {
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(KELVO_HERE_TEST, 8);
    EXPECT_EQ(KelvoBeginFileCompression(4, 1, KelvoFenwa0Compression, 0, Writer), nullptr);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(KelvoBeginFileCompression(4, 1, 7, 0, Writer), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Unrecognized compression type 7");

    bytes Data(5000);
    for (size_t Index = 0; Index < Data.size(); ++Index) {
        Data[Index] = (kelvo_uint8)(Index * Index % 251 / 8);
    }
    std::string Path = TemporaryPath("contents.bin");
    {
        FILE *File = fopen(Path.c_str(), "wb");
        ASSERT_NE(File, nullptr);
        fwrite(Data.data(), 1, 3000, File);
        fclose(File);
    }
    char CopyBuffer[100];
    for (kelvo_compression_type Type : {KelvoNoCompression, KelvoFenwa1Compression}) {
        kelvo_file_compressor *Compressor =
            KelvoBeginFileCompression((kelvo_int32)Data.size(), 3, Type, 0, Writer);
        ASSERT_NE(Compressor, nullptr);
        EXPECT_TRUE(KelvoCompressContentsOfFile(Compressor, 3000, Path.c_str(), sizeof(CopyBuffer),
                                                CopyBuffer));
        EXPECT_TRUE(KelvoCompressContentsOfMemory(Compressor, 2000, Data.data() + 3000));
        EXPECT_TRUE(KelvoCompressContentsOfMemory(Compressor, 0, nullptr));
        kelvo_int32 Size = -1;
        EXPECT_TRUE(KelvoEndFileCompression(Compressor, &Size));
        kelvo_uint8 *Stored = nullptr;
        kelvo_int32 StoredSize = 0;
        ASSERT_TRUE(KelvoStealMemoryWriterBuffer(Writer, &Stored, &StoredSize));
        EXPECT_EQ(Size, StoredSize);
        bytes Padded(Stored, Stored + StoredSize);
        KelvoFreeMemoryWriterBuffer(Stored);
        KelvoDeleteFileWriter(Writer);
        Writer = KelvoCreateMemoryFileWriter(KELVO_HERE_TEST, 8);
        Padded.resize(Padded.size() + 4);
        bytes Out(Data.size());
        if (Type == KelvoNoCompression) {
            EXPECT_EQ(Size, 5000);
        } else {
            EXPECT_LT(Size, 5000);
        }
        ASSERT_TRUE(
            KelvoDecompressData(Type, 0, Size, Padded.data(), 3000, 5000, 5000, Out.data()));
        EXPECT_EQ(Out, Data);
    }
    // A reader shorter than the count it is asked for fails the contents.
    kelvo_file_compressor *Compressor =
        KelvoBeginFileCompression(4000, 1, KelvoFenwa1Compression, 0, Writer);
    EXPECT_FALSE(KelvoCompressContentsOfFile(Compressor, 4000, Path.c_str(), 100, CopyBuffer));
    KelvoEndFileCompression(Compressor, nullptr);
    KelvoDeleteFileWriter(Writer);
    remove(Path.c_str());
}

} // namespace

#ifdef KELVO_KV2_PATH
namespace {

int RunKv2(std::string const &Arguments) {
    std::string Command = std::string(KELVO_KV2_PATH) + " " + Arguments + " 2>/dev/null";
    int Status = system(Command.c_str());
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

TEST_F(FileBuilderTest, Kv2RecompressCommand) {
    // Recompression takes only files whose tree checks: the sample asset.
    kv2::sample_asset Asset;
    std::string In = TemporaryPath("kv2_in.kv2");
    std::string Out = TemporaryPath("kv2_out.kv2");
    std::string Back = TemporaryPath("kv2_back.kv2");
    ASSERT_TRUE(kv2::WriteSampleAsset(Asset, In.c_str()));
    ASSERT_EQ(RunKv2("recompress " + In + " " + Out), 0);
    decoded_file File;
    ASSERT_EQ(DecodeFileImage(ReadFileBytes(Out), File), "");
    EXPECT_EQ(File.SectionHeaders[0].Format, (kelvo_uint32)KelvoFenwa1Compression);
    ASSERT_EQ(RunKv2("recompress " + Out + " " + Back + " --format 0"), 0);
    EXPECT_EQ(ReadFileBytes(Back), ReadFileBytes(In));
    EXPECT_EQ(RunKv2("recompress " + In + " " + Out + " --format 1"), 2);
    EXPECT_EQ(RunKv2("recompress " + In), 2);
    EXPECT_EQ(RunKv2("recompress " + In + "_missing " + Out), 1);
    for (std::string const &Path : {In, Out, Back}) {
        remove(Path.c_str());
    }
}

} // namespace
#endif
