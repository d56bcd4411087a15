#include "file_image_decoder.h"
#include "data/kelvo_data_type.h"
#include "file/kelvo_file_format.h"
#include "kelvo_test.h"
#include "tree_comparison.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <vector>

using kelvo::MakeMember;

namespace {

using bytes = std::vector<kelvo_uint8>;

#pragma pack(push, 4)
struct scalars { // every scalar member type, so it mixes element sizes
    kelvo_int8 I8;
    kelvo_uint8 U8[3];
    kelvo_int8 BI8;
    kelvo_uint8 NU8;
    kelvo_int16 I16;
    kelvo_uint16 U16[2];
    kelvo_int16 BI16;
    kelvo_uint16 NU16;
    kelvo_int32 I32;
    kelvo_uint32 U32;
    kelvo_real32 R[3];
    kelvo_transform Transform;
};
struct halves { // 16-bit only: the middle region
    kelvo_int16 A;
    kelvo_uint16 B;
};
struct node {
    char const *Name;
    kelvo_int32 Value;
    node *Next;
};
struct holder {
    kelvo_variant Held;
};
struct every_kind {
    char const *Title;
    scalars Inline;
    node *Shared;
    kelvo_int32 NodeCount;
    node *Nodes;
    kelvo_int32 PointerCount;
    node **Pointers;
    kelvo_variant Variant;
    kelvo_data_type_definition const *ArrayType;
    kelvo_int32 ArrayCount;
    void *Array;
    kelvo_int32 HalfCount;
    halves *Halves;
    kelvo_int32 ByteCount;
    kelvo_uint8 *Bytes;
    kelvo_int32 HolderCount;
    holder *Holders;
    char const *NoString;
    every_kind *Self;
};
#pragma pack(pop)

kelvo_data_type_definition const ScalarsType[] = {MakeMember(KelvoInt8Member, "I8"),
                                                  MakeMember(KelvoUInt8Member, "U8", nullptr, 3),
                                                  MakeMember(KelvoBinormalInt8Member, "BI8"),
                                                  MakeMember(KelvoNormalUInt8Member, "NU8"),
                                                  MakeMember(KelvoInt16Member, "I16"),
                                                  MakeMember(KelvoUInt16Member, "U16", nullptr, 2),
                                                  MakeMember(KelvoBinormalInt16Member, "BI16"),
                                                  MakeMember(KelvoNormalUInt16Member, "NU16"),
                                                  MakeMember(KelvoInt32Member, "I32"),
                                                  MakeMember(KelvoUInt32Member, "U32"),
                                                  MakeMember(KelvoReal32Member, "R", nullptr, 3),
                                                  MakeMember(KelvoTransformMember, "Transform"),
                                                  MakeMember(KelvoEndMember)};
kelvo_data_type_definition const HalvesType[] = {MakeMember(KelvoInt16Member, "A"),
                                                 MakeMember(KelvoUInt16Member, "B"),
                                                 MakeMember(KelvoEndMember)};
extern kelvo_data_type_definition const NodeType[];
kelvo_data_type_definition const NodeType[] = {
    MakeMember(KelvoStringMember, "Name"), MakeMember(KelvoInt32Member, "Value"),
    MakeMember(KelvoReferenceMember, "Next", NodeType), MakeMember(KelvoEndMember)};
kelvo_data_type_definition const HolderType[] = {MakeMember(KelvoVariantReferenceMember, "Held"),
                                                 MakeMember(KelvoEndMember)};
extern kelvo_data_type_definition const EveryKindType[];
kelvo_data_type_definition const EveryKindType[] = {
    MakeMember(KelvoStringMember, "Title"),
    MakeMember(KelvoInlineMember, "Inline", ScalarsType),
    MakeMember(KelvoReferenceMember, "Shared", NodeType),
    MakeMember(KelvoReferenceToArrayMember, "Nodes", NodeType),
    MakeMember(KelvoArrayOfReferencesMember, "Pointers", NodeType),
    MakeMember(KelvoVariantReferenceMember, "Variant"),
    MakeMember(KelvoReferenceToVariantArrayMember, "Array"),
    MakeMember(KelvoReferenceToArrayMember, "Halves", HalvesType),
    MakeMember(KelvoReferenceToArrayMember, "Bytes", KelvoUInt8Type),
    MakeMember(KelvoReferenceToArrayMember, "Holders", HolderType),
    MakeMember(KelvoStringMember, "NoString"),
    MakeMember(KelvoReferenceMember, "Self", EveryKindType),
    MakeMember(KelvoEndMember)};

static_assert(sizeof(scalars) == 104);

constexpr char RepeatedName[] = "repeated-node-name";
constexpr kelvo_int32 HolderCount = 40;

scalars MakeScalars(kelvo_int32 Seed) {
    scalars S = {};
    S.I8 = (kelvo_int8)(-3 - Seed);
    S.U8[0] = 0x81;
    S.U8[1] = (kelvo_uint8)Seed;
    S.U8[2] = 0xfe;
    S.BI8 = -128;
    S.NU8 = 200;
    S.I16 = (kelvo_int16)(0x1234 + Seed);
    S.U16[0] = 0xabcd;
    S.U16[1] = 0x0102;
    S.BI16 = -30000;
    S.NU16 = 65000;
    S.I32 = 0x12345678 + Seed;
    S.U32 = 0xdeadbeefu;
    S.R[0] = 1.5f;
    S.R[1] = -2.25e-3f * (kelvo_real32)(Seed + 1);
    S.R[2] = 3.0e7f;
    kelvo_real32 Words[17];
    for (kelvo_int32 Index = 0; Index < 17; ++Index) {
        Words[Index] = (kelvo_real32)(Index * 7 + Seed) * 0.125f - 1.0f;
    }
    std::memcpy(&S.Transform, Words, sizeof(Words));
    S.Transform.Flags = 0x00010203u;
    return S;
}

// A tree with every member kind, shared objects, a cycle, a chain, repeated
// strings and many variants of one type.
struct sample_tree {
    node Nodes[4] = {{"first", 1, nullptr},
                     {RepeatedName, 2, nullptr},
                     {RepeatedName, 3, nullptr},
                     {RepeatedName, -4, nullptr}};
    node Shared = {"shared", 0x7fffffff, nullptr};
    node *Pointers[3] = {&Shared, nullptr, &Shared};
    scalars Array[2] = {MakeScalars(1), MakeScalars(2)};
    halves Halves[3] = {{-1, 2}, {0x1234, 0xfedc}, {7, 8}};
    kelvo_uint8 Bytes[5] = {1, 2, 3, 0xff, 0x80};
    holder Holders[HolderCount];
    every_kind Root = {};

    sample_tree() {
        Nodes[0].Next = &Nodes[1];
        Nodes[1].Next = &Shared;
        Nodes[3].Next = &Nodes[0];
        for (kelvo_int32 Index = 0; Index < HolderCount; ++Index) {
            // The first element of an array, reached alone too, stays one object.
            Holders[Index].Held = {NodeType, Index % 2 ? &Shared : &Nodes[0]};
        }
        Root.Title = "every kind";
        Root.Inline = MakeScalars(0);
        Root.Shared = &Shared;
        Root.NodeCount = 4;
        Root.Nodes = Nodes;
        Root.PointerCount = 3;
        Root.Pointers = Pointers;
        Root.Variant = {HalvesType, &Halves[0]};
        Root.ArrayType = ScalarsType;
        Root.ArrayCount = 2;
        Root.Array = Array;
        Root.HalfCount = 3;
        Root.Halves = Halves;
        Root.ByteCount = 5;
        Root.Bytes = Bytes;
        Root.HolderCount = HolderCount;
        Root.Holders = Holders;
        Root.NoString = nullptr;
        Root.Self = &Root;
    }
};

struct platform {
    kelvo_int32 PointerBits;
    bool LittleEndian;
    char const *Name;
};
constexpr platform Platforms[] = {
    {32, true, "32le"}, {32, false, "32be"}, {64, true, "64le"}, {64, false, "64be"}};
constexpr kelvo_int32 ThisPointerBits = (kelvo_int32)sizeof(void *) * 8;

kelvo_file_magic_value MagicOf(platform const &Platform) {
    kelvo_file_magic_value Magic;
    EXPECT_TRUE(KelvoGetMagicValueForPlatform(Platform.PointerBits, Platform.LittleEndian, &Magic));
    return Magic;
}

bool IsThisPlatform(platform const &Platform) {
    return Platform.PointerBits == ThisPointerBits &&
           Platform.LittleEndian == kelvo::ThisPlatformIsLittleEndian;
}

size_t Occurrences(bytes const &Image, char const *Text) {
    size_t Count = 0, Size = strlen(Text) + 1; // with its terminator
    for (auto At = Image.begin();
         (At = std::search(At, Image.end(), Text, Text + Size)) != Image.end(); ++At) {
        ++Count;
    }
    return Count;
}

class PlatformConversionTest : public KelvoTest {
  protected:
    // The sample tree written for Platform through the data tree writer and
    // the in-memory builder: objects in section 0 (alignment 16), types in 1,
    // the 16-bit records in 2.
    bytes WriteTree(sample_tree &Tree, kelvo_file_magic_value const &Magic,
                    kelvo_compression_type Format,
                    kelvo_data_type_definition const *RootType = EveryKindType) {
        kelvo_file_data_tree_writer *Writer =
            KelvoBeginFileDataTreeWriting(RootType, &Tree.Root, 1, 0);
        EXPECT_NE(Writer, nullptr);
        KelvoSetFileSectionForObjectsOfType(Writer, HalvesType, 2);
        kelvo_file_builder *Builder = KelvoBeginFileInMemory(3, KelvoCurrentTypeTag, &Magic, 4096);
        EXPECT_NE(Builder, nullptr);
        for (kelvo_int32 Index = 0; Index < 3; ++Index) {
            KelvoSetFileSectionFormat(Builder, Index, Format, Index == 0 ? 16 : 4);
        }
        EXPECT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
        KelvoEndFileDataTreeWriting(Writer);
        KelvoSetFileExtraTag(Builder, 3, 0xfeedu);
        kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
        bool Ended = KelvoEndFileToWriter(Builder, Output);
        bytes Image = StealWriterBytes(Output);
        return Ended ? Image : bytes();
    }

    bytes Convert(bytes const &Image, kelvo_file_magic_value const &Magic) {
        kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(
            __FILE__, __LINE__, 0, (kelvo_int32)Image.size(), Image.data());
        kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
        bool Converted = KelvoPlatformConvertReaderToWriter(Reader, Writer, &Magic, 0);
        KelvoCloseFileReader(Reader);
        bytes Result = StealWriterBytes(Writer);
        return Converted ? Result : bytes();
    }

    // Loads an image of Platform, expecting the loader's announcement.
    kelvo_file *Load(bytes const &Image, platform const &Platform) {
        kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
        ExpectLoadAnnouncement(Platform);
        return File;
    }
    void ExpectLoadAnnouncement(platform const &Platform) {
        if (Platform.PointerBits != ThisPointerBits) {
            ExpectLogged(KelvoWarningLogMessage, "Converting pointer size from " +
                                                     std::to_string(Platform.PointerBits) + " to " +
                                                     std::to_string(ThisPointerBits) +
                                                     ".  This is EXTREMELY SLOW!");
        } else if (Platform.LittleEndian != kelvo::ThisPlatformIsLittleEndian) {
            ExpectLogged(KelvoWarningLogMessage, "Endian mismatch");
        }
    }

    // Values, strings, roots, tags and which objects are shared.
    void ExpectSameTree(kelvo_file *File, sample_tree const &Tree) {
        ASSERT_NE(File, nullptr);
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        ASSERT_NE(Root.Object, nullptr);
        EXPECT_TRUE(KelvoDataTypesAreEqualWithNames(Root.Type, EveryKindType));
        tree_comparison Comparison;
        EXPECT_TRUE(Comparison.Equal(EveryKindType, &Tree.Root, Root.Type, Root.Object))
            << Comparison.Where;
        EXPECT_EQ(KelvoGetFileTypeTag(File), KelvoCurrentTypeTag);
        EXPECT_EQ(File->Header->ExtraTags[3], 0xfeedu);
        auto const *Loaded = static_cast<every_kind const *>(Root.Object);
        EXPECT_EQ(+Loaded->Self, Loaded);
        EXPECT_EQ(+Loaded->Shared, +Loaded->Pointers[0]);
        EXPECT_EQ(+Loaded->Shared, +Loaded->Pointers[2]);
        EXPECT_EQ(+Loaded->Shared, +Loaded->Nodes[1].Next);
        EXPECT_EQ(+Loaded->Nodes[3].Next, &Loaded->Nodes[0]);
        EXPECT_EQ(+Loaded->Pointers[1], nullptr);
        EXPECT_EQ(+Loaded->Nodes[1].Name, +Loaded->Nodes[2].Name);
        for (kelvo_int32 Index = 0; Index < HolderCount; ++Index) {
            EXPECT_EQ(+Loaded->Holders[Index].Held.Type, +Loaded->Holders[0].Held.Type);
            EXPECT_EQ(+Loaded->Holders[Index].Held.Object,
                      Index % 2 ? +Loaded->Shared : &Loaded->Nodes[0]);
        }
        EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, +Loaded->Halves), 2);
        EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, Root.Type), 1);
        EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, Loaded), 0);
    }
};

TEST_F(PlatformConversionTest, TreesWrittenForEveryPlatformLoadEqual) {
    for (kelvo_compression_type Format : {KelvoNoCompression, KelvoFenwa1Compression}) {
        for (platform const &Platform : Platforms) {
            SCOPED_TRACE(testing::Message() << Platform.Name << " format " << Format);
            sample_tree Tree;
            kelvo_file_magic_value Magic = MagicOf(Platform);
            bytes Image = WriteTree(Tree, Magic, Format);
            ASSERT_FALSE(Image.empty());
            EXPECT_EQ(std::memcmp(Image.data(), &Magic, 16), 0);
            kelvo_file *File = Load(Image, Platform);
            ExpectSameTree(File, Tree);
            if (File) {
                for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
                    EXPECT_TRUE(File->Marshalled[Index]) << "section " << Index;
                }
                kelvo_int32 Bits = 0;
                kelvo_bool32 Little = 0;
                KelvoGetMagicValueProperties(File->SourceMagicValue, &Bits, &Little);
                EXPECT_EQ(Bits, Platform.PointerBits);
                EXPECT_EQ(Little != 0, Platform.LittleEndian);
            }
            KelvoFreeFile(File);
        }
    }
}

TEST_F(PlatformConversionTest, ConvertedThereAndBackLoadsEqualWithSharedDataOnce) {
    sample_tree Tree;
    platform const &This = *std::find_if(std::begin(Platforms), std::end(Platforms),
                                         [](platform const &P) { return IsThisPlatform(P); });
    bytes Native = WriteTree(Tree, MagicOf(This), KelvoNoCompression);
    ASSERT_FALSE(Native.empty());
    EXPECT_EQ(Occurrences(Native, RepeatedName), 1u);
    for (platform const &Platform : Platforms) {
        if (IsThisPlatform(Platform)) {
            continue;
        }
        SCOPED_TRACE(Platform.Name);
        bytes There = Convert(Native, MagicOf(Platform));
        ASSERT_FALSE(There.empty());
        EXPECT_EQ(std::memcmp(There.data(), MagicOf(Platform).MagicValue, 16), 0);
        // One copy of a string used by many objects, one of each member name.
        EXPECT_EQ(Occurrences(There, RepeatedName), 1u);
        EXPECT_EQ(Occurrences(There, "Held"), 1u);
        kelvo_file *Direct = Load(There, Platform);
        ExpectSameTree(Direct, Tree);
        KelvoFreeFile(Direct);

        bytes Back = Convert(There, MagicOf(This));
        ASSERT_FALSE(Back.empty());
        kelvo_file *File = Load(Back, This);
        ExpectSameTree(File, Tree);
        KelvoFreeFile(File);
    }
}

TEST_F(PlatformConversionTest, ConvertedSectionsKeepAlignmentAndFormat) {
    sample_tree Tree;
    for (platform const &Platform : Platforms) {
        SCOPED_TRACE(Platform.Name);
        bytes Image = WriteTree(Tree, MagicOf(Platform), KelvoFenwa1Compression);
        kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(
            __FILE__, __LINE__, 0, (kelvo_int32)Image.size(), Image.data());
        kelvo_file *File = KelvoReadPartialFileFromReader(Reader);
        KelvoCloseFileReader(Reader);
        ASSERT_NE(File, nullptr);
        kelvo_section_header const *Sections = KelvoGetKVNSectionArray(File->Header);
        for (kelvo_int32 Index = 0; Index < 3; ++Index) {
            kelvo_uint32 Alignment = Sections[Index].InternalAlignment;
            EXPECT_EQ(Alignment, Index == 0 ? 16u : 4u);
            EXPECT_EQ(Sections[Index].First16Bit % Alignment, 0u);
            EXPECT_EQ(Sections[Index].First8Bit % Alignment, 0u);
            EXPECT_EQ(Sections[Index].Format, (kelvo_uint32)KelvoFenwa1Compression);
            EXPECT_GT(Sections[Index].ExpandedDataSize, 0u);
        }
        // The halves alone are 16-bit records, in the middle region.
        EXPECT_EQ(Sections[2].First16Bit, 0u);
        EXPECT_GT(Sections[2].First8Bit, 0u);
        KelvoFreeFile(File);
    }
}

TEST_F(PlatformConversionTest, OwnPlatformWarnsAndStillWrites) {
    sample_tree Tree;
    for (platform const &Platform : Platforms) {
        SCOPED_TRACE(Platform.Name);
        bytes Image = WriteTree(Tree, MagicOf(Platform), KelvoNoCompression);
        bytes Same = Convert(Image, MagicOf(Platform));
        ExpectLoggedFrom(KelvoWarningLogMessage, KelvoFileReadingLogMessage,
                         "PlatformConvertReaderToWriter called when Source and Dest Magic values "
                         "match.");
        ASSERT_FALSE(Same.empty());
        kelvo_file *File = Load(Same, Platform);
        ExpectSameTree(File, Tree);
        KelvoFreeFile(File);
    }
}

TEST_F(PlatformConversionTest, RawFileTypesAreRefused) {
    sample_tree Tree;
    kelvo_file_data_tree_writer *Writer =
        KelvoBeginFileDataTreeWriting(EveryKindType, &Tree.Root, 0, 0);
    ASSERT_NE(Writer, nullptr);
    KelvoSetFileDataTreeFlags(Writer, KelvoExcludeTypeTree);
    platform Other = {ThisPointerBits == 64 ? 32 : 64, true, "other"};
    kelvo_file_magic_value Magic = MagicOf(Other);
    kelvo_file_builder *Builder = KelvoBeginFileInMemory(1, 0, &Magic, 256);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 256);
    EXPECT_FALSE(KelvoEndFileToWriter(Builder, Output));
    KelvoDeleteFileWriter(Output);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                     "PlatformConversion: Cannot convert Raw File types (empty type as root "
                     "object type detected)");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(PlatformConversionTest, ArgumentsAndUnreadableSources) {
    kelvo_file_magic_value Magic = *KelvoKVNFileMV_ThisPlatform;
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 256);
    EXPECT_FALSE(KelvoPlatformConvertReaderToWriter(nullptr, Writer, &Magic, 0));
    ExpectLogged(KelvoErrorLogMessage, "SourceReader is not allowed to be 0");
    bytes Junk(200, 0x55);
    kelvo_file_reader *Reader =
        KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, (kelvo_int32)Junk.size(), Junk.data());
    EXPECT_FALSE(KelvoPlatformConvertReaderToWriter(Reader, Writer, &Magic, 0));
    ExpectLogged(KelvoWarningLogMessage, "doesn't match any known file format");
    ExpectLogged(KelvoErrorLogMessage, "File is not a Kelvo file");
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                     "PlatformConvertReaderToWriter: ReadPartialFileFromReader failed");
    KelvoCloseFileReader(Reader);

    sample_tree Tree;
    bytes Image = WriteTree(Tree, Magic, KelvoNoCompression);
    Reader =
        KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, (kelvo_int32)Image.size(), Image.data());
    kelvo_file_magic_value Unknown = Magic;
    Unknown.MagicValue[1] ^= 1;
    EXPECT_FALSE(KelvoPlatformConvertReaderToWriter(Reader, Writer, &Unknown, 0));
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                     "PlatformConvertReaderToWriter: failed to obtain good platform information");
    KelvoCloseFileReader(Reader);
    KelvoDeleteFileWriter(Writer);
}

// The string callback's value for the node's name; every other string is null.
kelvo_uintaddrx KELVO_CALLBACK PayloadValue(void *, char const *String) {
    // All eight bytes distinct where the value has eight bytes.
    return strcmp(String, "payload") == 0 ? (kelvo_uintaddrx)0x0123456789abcdefull : 0;
}

TEST_F(PlatformConversionTest, ValueWithoutFixupKeepsAllEightBytesThroughBigEndian) {
    node Node = {"payload", 5, nullptr};
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(NodeType, &Node, 0, 0);
    ASSERT_NE(Writer, nullptr);
    KelvoSetFileWriterStringCallback(Writer, &PayloadValue, nullptr);
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(1, 0x80000020u, KelvoKVNFileMV_ThisPlatform, 4096);
    ASSERT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    ASSERT_TRUE(KelvoEndFileToWriter(Builder, Output));
    bytes Native = StealWriterBytes(Output);

    kelvo_uint64 const Value = PayloadValue(nullptr, "payload");
    auto Holds = [](bytes const &Image, kelvo_uint64 Word) {
        kelvo_uint8 Bytes[8];
        std::memcpy(Bytes, &Word, 8);
        return std::search(Image.begin(), Image.end(), Bytes, Bytes + 8) != Image.end();
    };
    bytes Big = Convert(Native, MagicOf({64, false, "64be"}));
    EXPECT_TRUE(Holds(Big, __builtin_bswap64(Value)));
    bytes Back = Convert(Big, MagicOf({64, true, "64le"}));
    EXPECT_TRUE(Holds(Back, Value));
}

void WriteBytes(std::string const &Path, bytes const &Image) {
    FILE *File = fopen(Path.c_str(), "wb");
    ASSERT_NE(File, nullptr);
    fwrite(Image.data(), 1, Image.size(), File);
    fclose(File);
}

TEST_F(PlatformConversionTest, FilesOfEveryPlatformRecompressInTheirOwnLayout) {
    sample_tree Tree;
    std::string In = TemporaryPath("recompress_in.kv2");
    std::string Out = TemporaryPath("recompress_out.kv2");
    for (platform const &Platform : Platforms) {
        SCOPED_TRACE(Platform.Name);
        WriteBytes(In, WriteTree(Tree, MagicOf(Platform), KelvoNoCompression));
        kelvo_int32 const ToFenwa1[1] = {KelvoFenwa1Compression};
        ASSERT_TRUE(KelvoRecompressFile(In.c_str(), Out.c_str(), 1, ToFenwa1));
        ExpectLoadAnnouncement(Platform); // the source is loaded whole before it is rewritten
        EXPECT_TRUE(KelvoFileCRCIsValid(Out.c_str()));
        bytes Packed = ReadFileBytes(Out);
        EXPECT_EQ(std::memcmp(Packed.data(), MagicOf(Platform).MagicValue, 16), 0);
        kelvo_file *File = Load(Packed, Platform);
        ExpectSameTree(File, Tree);
        KelvoFreeFile(File);
    }
    remove(In.c_str());
    remove(Out.c_str());
}

int RunKv2(std::string const &Arguments) {
    std::string Command = std::string(KELVO_KV2_PATH) + " " + Arguments + " 2>/dev/null";
    int Status = system(Command.c_str());
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

TEST_F(PlatformConversionTest, Kv2ConvertCommand) {
    sample_tree Tree;
    std::string In = TemporaryPath("kv2_convert_in.kv2");
    std::string Out = TemporaryPath("kv2_convert_out.kv2");
    WriteBytes(In, WriteTree(Tree, *KelvoKVNFileMV_ThisPlatform, KelvoNoCompression));
    for (platform const &Platform : Platforms) {
        for (char const *Format : {"", " --format 2", " --format 0"}) {
            SCOPED_TRACE(testing::Message() << Platform.Name << Format);
            ASSERT_EQ(RunKv2("convert " + In + " " + Out + " --platform " + Platform.Name + Format),
                      0);
            bytes Image = ReadFileBytes(Out);
            ASSERT_GT(Image.size(), 32u);
            EXPECT_EQ(std::memcmp(Image.data(), MagicOf(Platform).MagicValue, 16), 0);
            kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(
                __FILE__, __LINE__, 0, (kelvo_int32)Image.size(), Image.data());
            kelvo_file *Partial = KelvoReadPartialFileFromReader(Reader);
            KelvoCloseFileReader(Reader);
            ASSERT_NE(Partial, nullptr);
            kelvo_uint32 Expected = *Format ? (kelvo_uint32)(Format[10] - '0') : 0u;
            EXPECT_EQ(KelvoGetKVNSectionArray(Partial->Header)[0].Format, Expected);
            KelvoFreeFile(Partial);
            kelvo_file *File = Load(Image, Platform);
            ExpectSameTree(File, Tree);
            KelvoFreeFile(File);
        }
    }
    EXPECT_EQ(RunKv2("convert " + In + " " + Out), 2);
    EXPECT_EQ(RunKv2("convert " + In + " " + Out + " --platform 16le"), 2);
    EXPECT_EQ(RunKv2("convert " + In + " " + Out + " --platform 32le --format 1"), 2);
    EXPECT_EQ(RunKv2("convert " + In + "_missing " + Out + " --platform 32le"), 1);
    remove(In.c_str());
    remove(Out.c_str());
}

// The seeds of the file-loading fuzz target: a small tree of every member
// kind for every platform, stored and compressed. They are written where
// KELVO_FUZZ_SEED_DIR says (tests/fuzz/corpus/file_loading) and must load.
TEST_F(PlatformConversionTest, FuzzSeedsOfEveryPlatformAndFormat) {
    char const *Directory = getenv("KELVO_FUZZ_SEED_DIR");
    for (kelvo_compression_type Format : {KelvoNoCompression, KelvoFenwa1Compression}) {
        for (platform const &Platform : Platforms) {
            SCOPED_TRACE(testing::Message() << Platform.Name << " format " << Format);
            sample_tree Tree;
            Tree.Root.HolderCount = 2;
            Tree.Root.ArrayCount = 1;
            Tree.Root.NodeCount = 2;
            bytes Image = WriteTree(Tree, MagicOf(Platform), Format);
            ASSERT_FALSE(Image.empty());
            EXPECT_LT(Image.size(), 4096u);
            kelvo_file *File = Load(Image, Platform);
            ASSERT_NE(File, nullptr);
            EXPECT_TRUE(KelvoCheckFileDataTree(File));
            KelvoFreeFile(File);
            if (Directory) {
                std::string Name = std::string(Directory) + "/tree_" + Platform.Name +
                                   (Format ? "_fenwa1.kv2" : "_stored.kv2");
                WriteBytes(Name, Image);
            }
        }
    }
}

// Hand-made files in this build's layout whose tree cannot be laid out for
// the other pointer size: converting them must fail with a report, whether
// the builder converts or the loader does.
class HostileTreeTest : public PlatformConversionTest {
  protected:
    kelvo_file_builder *Builder = nullptr;
    kelvo_file_magic_value Other = MagicOf({ThisPointerBits == 64 ? 32 : 64, true, "other"});

    void SetUp() override {
        PlatformConversionTest::SetUp();
        Builder = KelvoBeginFileInMemory(2, 0, KelvoKVNFileMV_ThisPlatform, 256);
        ASSERT_NE(Builder, nullptr);
    }
    kelvo_file_location Chunk(kelvo_int32 Section, kelvo_marshalling_type Marshalling,
                              kelvo_int32 Size, void const *Data) {
        kelvo_file_location Location;
        KelvoWriteFileChunk(Builder, Section, Marshalling, Size, Data, &Location);
        return Location;
    }
    // A definition whose ReferenceType fields point where References say.
    kelvo_file_location Type(std::vector<kelvo_data_type_definition> Members,
                             std::vector<std::pair<size_t, kelvo_file_location>> References = {}) {
        for (kelvo_data_type_definition &Member : Members) {
            Member.Name = nullptr;
            Member.ReferenceType = nullptr;
        }
        kelvo_file_location Location = Chunk(
            1, KelvoInt32Marshalling,
            (kelvo_int32)(Members.size() * sizeof(kelvo_data_type_definition)), Members.data());
        for (auto const &[Index, To] : References) {
            KelvoMarkFileFixup(Builder, &Location,
                               (kelvo_int32)(Index * sizeof(kelvo_data_type_definition) +
                                             offsetof(kelvo_data_type_definition, ReferenceType)),
                               &To);
        }
        return Location;
    }
    // The native image, and the same tree converted by the builder.
    void ExpectRefused(kelvo_file_location const &RootType, kelvo_file_location const &Root,
                       char const *Why, char const *Pass = "Initial") {
        KelvoMarkFileRootObject(Builder, &RootType, &Root);
        kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 256);
        ASSERT_TRUE(KelvoEndFileToWriter(Builder, Output));
        bytes Native = StealWriterBytes(Output);
        EXPECT_TRUE(Convert(Native, Other).empty());
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoDataTypeLogMessage, Why);
        if (Pass) { // a bad root type fails before the walks
            ExpectLogged(KelvoErrorLogMessage,
                         std::string("PlatformConversion: ") + Pass + " tree traversal failed");
        }
        for (captured_message const &Message : TakeMessages()) {
            EXPECT_TRUE(Message.Text.find("PlatformConversion") != std::string::npos)
                << Message.Text;
        }
    }
};

TEST_F(HostileTreeTest, TypeThatInlinesItself) {
    kelvo_file_location Self = Type(
        {MakeMember(KelvoInt32Member), MakeMember(KelvoInlineMember), MakeMember(KelvoEndMember)});
    KelvoMarkFileFixup(Builder, &Self,
                       (kelvo_int32)(sizeof(kelvo_data_type_definition) +
                                     offsetof(kelvo_data_type_definition, ReferenceType)),
                       &Self);
    kelvo_int32 Object[4] = {1, 2, 3, 4};
    ExpectRefused(Self, Chunk(0, KelvoInt32Marshalling, sizeof(Object), Object), "inlines itself");
}

TEST_F(HostileTreeTest, DefinitionWithoutEndMarker) {
    kelvo_file_location Open = Type({MakeMember(KelvoInt32Member), MakeMember(KelvoInt32Member)});
    kelvo_int32 Object[2] = {1, 2};
    ExpectRefused(Open, Chunk(0, KelvoInt32Marshalling, sizeof(Object), Object),
                  "has no end marker inside its section", nullptr);
}

TEST_F(HostileTreeTest, UnterminatedString) {
    kelvo_file_location Root = Type({MakeMember(KelvoStringMember), MakeMember(KelvoEndMember)});
    void *Field = nullptr;
    kelvo_file_location Object = Chunk(0, KelvoInt32Marshalling, sizeof(Field), &Field);
    kelvo_file_location Text = Chunk(0, KelvoInt8Marshalling, 4, "abcd");
    KelvoMarkFileFixup(Builder, &Object, 0, &Text);
    ExpectRefused(Root, Object, "not terminated inside its section", "Secondary");
}

TEST_F(HostileTreeTest, ArrayLongerThanItsSection) {
    kelvo_file_location Element = Type({MakeMember(KelvoInt32Member), MakeMember(KelvoEndMember)});
    kelvo_file_location Root =
        Type({MakeMember(KelvoReferenceToArrayMember), MakeMember(KelvoEndMember)}, {{0, Element}});
#pragma pack(push, 4)
    struct {
        kelvo_int32 Count;
        void *Array;
    } Object = {0x40000000, nullptr};
#pragma pack(pop)
    kelvo_file_location At = Chunk(0, KelvoInt32Marshalling, sizeof(Object), &Object);
    kelvo_int32 Values[3] = {1, 2, 3};
    kelvo_file_location Array = Chunk(0, KelvoInt32Marshalling, sizeof(Values), Values);
    KelvoMarkFileFixup(Builder, &At, 4, &Array);
    ExpectRefused(Root, At, "An array at offset");
}

TEST_F(HostileTreeTest, ReferenceBeyondItsSection) {
    kelvo_file_location Element = Type({MakeMember(KelvoInt32Member), MakeMember(KelvoEndMember)});
    kelvo_file_location Root =
        Type({MakeMember(KelvoReferenceMember), MakeMember(KelvoEndMember)}, {{0, Element}});
    void *Field = nullptr;
    kelvo_file_location At = Chunk(0, KelvoInt32Marshalling, sizeof(Field), &Field);
    kelvo_file_location Far;
    KelvoOffsetFileLocation(Builder, &At, 1 << 20, &Far);
    KelvoMarkFileFixup(Builder, &At, 0, &Far);
    ExpectRefused(Root, At, "An object at offset");
}

TEST_F(HostileTreeTest, NestedDefinitionsCannotMakeTheWalkRunOn) {
    // 8192 small records whose definition unfolds into two million members.
    std::vector<kelvo_data_type_definition> Leaf(256, MakeMember(KelvoRetiredSwitchableMember));
    Leaf[0] = MakeMember(KelvoUInt8Member);
    Leaf[1] = MakeMember(KelvoStringMember);
    Leaf.push_back(MakeMember(KelvoEndMember));
    kelvo_file_location Level = Type(Leaf);
    for (kelvo_int32 Depth = 0; Depth < 13; ++Depth) {
        Level = Type({MakeMember(KelvoInlineMember), MakeMember(KelvoInlineMember),
                      MakeMember(KelvoEndMember)},
                     {{0, Level}, {1, Level}});
    }
    std::vector<kelvo_uint8> Object(8192 * (1 + sizeof(void *)), 0);
    ExpectRefused(Level, Chunk(0, KelvoInt8Marshalling, (kelvo_int32)Object.size(), Object.data()),
                  "the tree visits more than");
}

TEST_F(HostileTreeTest, LongChainsDoNotExhaustTheStack) {
    // A linked list far longer than any recursion could follow. The writers
    // grow by their granularity and copy at each step: big steps keep that
    // copying from being most of the test's time.
    KelvoAbortFile(Builder);
    Builder = KelvoBeginFileInMemory(2, 0, KelvoKVNFileMV_ThisPlatform, 1 << 20);
    ASSERT_NE(Builder, nullptr);
    kelvo_file_location Node = Type({MakeMember(KelvoReferenceMember), MakeMember(KelvoEndMember)});
    KelvoMarkFileFixup(Builder, &Node,
                       (kelvo_int32)offsetof(kelvo_data_type_definition, ReferenceType), &Node);
    constexpr kelvo_int32 Length = 200000;
    std::vector<void *> Fields(Length, nullptr);
    kelvo_file_location First =
        Chunk(0, KelvoInt32Marshalling, (kelvo_int32)(Length * sizeof(void *)), Fields.data());
    for (kelvo_int32 Index = 0; Index + 1 < Length; ++Index) {
        kelvo_file_location Next;
        KelvoOffsetFileLocation(Builder, &First, (kelvo_int32)((Index + 1) * sizeof(void *)),
                                &Next);
        KelvoMarkFileFixup(Builder, &First, (kelvo_int32)(Index * sizeof(void *)), &Next);
    }
    KelvoMarkFileRootObject(Builder, &Node, &First);
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 1 << 22);
    ASSERT_TRUE(KelvoEndFileToWriter(Builder, Output));
    bytes Native = StealWriterBytes(Output);
    // Nor may it cost an allocation per link (it cost one a link when the
    // walk's stack freed its block each time it emptied).
    bytes There;
    {
        failing_allocator Counted; // fails nothing
        There = Convert(Native, Other);
        EXPECT_LT(Counted.Allocations, Length / 10);
    }
    ASSERT_FALSE(There.empty());
    platform OtherPlatform = {ThisPointerBits == 64 ? 32 : 64, true, "other"};
    kelvo_file *File = Load(There, OtherPlatform);
    ASSERT_NE(File, nullptr);
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    EXPECT_NE(Root.Object, nullptr);
    kelvo_int32 Length2 = 0;
    for (void **At = static_cast<void **>(Root.Object); At; At = static_cast<void **>(*At)) {
        ++Length2;
    }
    EXPECT_EQ(Length2, Length);
    KelvoFreeFile(File);
}

} // namespace
