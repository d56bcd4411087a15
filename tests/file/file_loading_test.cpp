#include "file/kelvo_file.h"
#include "file/kelvo_file_format.h"
#include "foundation/kelvo_memory.h"
#include "kelvo_test.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<kelvo_uint8>;
constexpr kelvo_int32 PointerBits = (kelvo_int32)sizeof(void *) * 8;
constexpr kelvo_uint32 MemberSize = sizeof(kelvo_data_type_definition);

#pragma pack(push, 4)
// The root: a value and a pointer into section 1.
struct test_root {
    kelvo_uint32 Value;
    kelvo_uint32 *Other;
};
// A record of section 1's 8-bit region, mixing element sizes.
struct test_mixed {
    kelvo_uint8 A, B;
    kelvo_uint16 C;
    kelvo_uint32 D;
};
#pragma pack(pop)

kelvo_data_type_definition const MixedType[] = {
    {KelvoUInt8Member, "A", nullptr, 0, {}, 0}, {KelvoUInt8Member, "B", nullptr, 0, {}, 0},
    {KelvoUInt16Member, "C", nullptr, 0, {}, 0}, {KelvoUInt32Member, "D", nullptr, 0, {}, 0},
    {KelvoEndMember, nullptr, nullptr, 0, {}, 0}};

struct section_image {
    bytes Data; // expanded, native order
    kelvo_uint32 First16Bit = 0, First8Bit = 0;
    std::vector<kelvo_pointer_fixup> Fixups;
    std::vector<kelvo_marshalling_fixup> Marshalling;
    kelvo_uint32 Format = KelvoNoCompression;

    kelvo_uint32 Append(void const *Source, size_t Size) {
        kelvo_uint32 Offset = (kelvo_uint32)Data.size();
        Data.insert(Data.end(), (kelvo_uint8 const *)Source, (kelvo_uint8 const *)Source + Size);
        while (Data.size() % 4) {
            Data.push_back(0);
        }
        return Offset;
    }
    void Fixup(kelvo_uint32 From, kelvo_uint32 ToSection, kelvo_uint32 ToOffset) {
        Fixups.push_back({From, {ToSection, ToOffset}});
    }
};

struct file_image {
    std::vector<section_image> Sections;
    kelvo_file_reference RootType{}, Root{};
    kelvo_uint32 TypeTag = KelvoCurrentTypeTag;
    kelvo_uint32 Version = 6;
};

// Section 0: the root type (member names in its 8-bit region), the root and
// the mixed record's type. Section 1: words, halves and two mixed records.
file_image TestFile() {
    file_image File;
    File.Sections.resize(2);
    section_image &Main = File.Sections[0];
    section_image &Data = File.Sections[1];

    kelvo_data_type_definition RootType[3] = {};
    RootType[0].Type = KelvoUInt32Member;
    RootType[1].Type = KelvoReferenceMember;
    kelvo_uint32 RootTypeAt = Main.Append(RootType, sizeof(RootType));
    kelvo_data_type_definition Mixed[5] = {};
    for (int Index = 0; Index < 5; ++Index) {
        Mixed[Index].Type = MixedType[Index].Type;
    }
    kelvo_uint32 MixedAt = Main.Append(Mixed, sizeof(Mixed));
    test_root Root = {0x11223344u, nullptr};
    kelvo_uint32 RootAt = Main.Append(&Root, sizeof(Root));
    Main.First16Bit = Main.First8Bit = (kelvo_uint32)Main.Data.size();
    kelvo_uint32 ValueName = Main.Append("Value", 6);
    kelvo_uint32 OtherName = Main.Append("Other", 6);
    Main.Fixup(RootTypeAt + (kelvo_uint32)offsetof(kelvo_data_type_definition, Name), 0, ValueName);
    Main.Fixup(RootTypeAt + MemberSize + (kelvo_uint32)offsetof(kelvo_data_type_definition, Name),
               0, OtherName);
    Main.Fixup(RootTypeAt + MemberSize +
                   (kelvo_uint32)offsetof(kelvo_data_type_definition, ReferenceType),
               0, MixedAt);
    // The root refers to the first mixed record, after the words and halves.
    Main.Fixup(RootAt + (kelvo_uint32)offsetof(test_root, Other), 1, 20);

    kelvo_uint32 Words[4] = {0xA0B0C0D0u, 0x01020304u, 0xDEADBEEFu, 7};
    Data.Append(Words, sizeof(Words));
    Data.First16Bit = (kelvo_uint32)Data.Data.size();
    kelvo_uint16 Halves[2] = {0x1234, 0xABCD};
    Data.Append(Halves, sizeof(Halves));
    Data.First8Bit = (kelvo_uint32)Data.Data.size();
    test_mixed Records[2] = {{1, 2, 0x0304, 0x05060708u}, {9, 10, 0x0B0C, 0x0D0E0F10u}};
    kelvo_uint32 RecordsAt = Data.Append(Records, sizeof(Records));
    Data.Marshalling.push_back({2, RecordsAt, {0, MixedAt}});

    File.RootType = {0, RootTypeAt};
    File.Root = {0, RootAt};
    return File;
}

void Put32(bytes &Image, size_t At, kelvo_uint32 Value, bool Reversed) {
    if (Reversed) {
        kelvo::Reverse32(4, &Value);
    }
    std::memcpy(Image.data() + At, &Value, 4);
}

// Words of Count records appended in the file's byte order, 4-aligned.
template <typename T>
kelvo_uint32 AppendRecords(bytes &Image, std::vector<T> const &Records, bool Reversed) {
    kelvo_uint32 Offset = (kelvo_uint32)Image.size();
    for (T Record : Records) {
        if (Reversed) {
            kelvo::Reverse32(sizeof(T), &Record);
        }
        Image.insert(Image.end(), (kelvo_uint8 *)&Record, (kelvo_uint8 *)&Record + sizeof(T));
    }
    return Offset;
}

// The image a writer of this pointer size and the given byte order stores.
bytes BuildImage(file_image const &File, bool Reversed) {
    kelvo_uint32 Count = (kelvo_uint32)File.Sections.size();
    kelvo_uint32 HeaderSize = (kelvo_uint32)kelvo::HeaderSizeForSections(Count);
    bytes Image(HeaderSize, 0);
    std::vector<kelvo_section_header> Headers(Count);
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        section_image const &Section = File.Sections[Index];
        bytes Stored = Section.Data;
        if (Reversed) {
            KelvoReverseSection(Section.First16Bit, Section.First8Bit, (kelvo_uint32)Stored.size(),
                                Stored.data());
            for (kelvo_marshalling_fixup const &Fixup : Section.Marshalling) {
                KelvoReverseTypeArray(MixedType, (kelvo_int32)Fixup.Count,
                                      Stored.data() + Fixup.Offset);
            }
        }
        if (Section.Format == KelvoFenwa1Compression) {
            kelvo_fenwa1_compressor *Compressor =
                KelvoFenwa1BeginSimple((kelvo_int32)Stored.size(), 3);
            kelvo_uint32 Stops[3] = {Section.First16Bit, Section.First8Bit,
                                     (kelvo_uint32)Stored.size()};
            kelvo_uint32 Start = 0;
            for (kelvo_uint32 Stop : Stops) {
                KelvoFenwa1Compress(Compressor, (kelvo_int32)(Stop - Start), Stored.data() + Start);
                Start = Stop;
            }
            void *Compressed;
            kelvo_int32 Size = KelvoFenwa1End(Compressor, &Compressed, Reversed);
            bytes Copy((kelvo_uint8 *)Compressed, (kelvo_uint8 *)Compressed + Size);
            KelvoFenwa1FreeSimple(Compressor);
            Stored = Copy;
        }
        kelvo_section_header &Header = Headers[Index];
        Header.Format = Section.Format;
        Header.DataOffset = (kelvo_uint32)Image.size();
        Header.DataSize = (kelvo_uint32)Stored.size();
        Header.ExpandedDataSize = (kelvo_uint32)Section.Data.size();
        Header.InternalAlignment = 4;
        Header.First16Bit = Section.First16Bit;
        Header.First8Bit = Section.First8Bit;
        Image.insert(Image.end(), Stored.begin(), Stored.end());
        while (Image.size() % 4) {
            Image.push_back(0);
        }
    }
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        Headers[Index].PointerFixupArrayOffset =
            AppendRecords(Image, File.Sections[Index].Fixups, Reversed);
        Headers[Index].PointerFixupArrayCount = (kelvo_uint32)File.Sections[Index].Fixups.size();
    }
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        Headers[Index].MixedMarshallingFixupArrayOffset =
            AppendRecords(Image, File.Sections[Index].Marshalling, Reversed);
        Headers[Index].MixedMarshallingFixupArrayCount =
            (kelvo_uint32)File.Sections[Index].Marshalling.size();
    }
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        kelvo_section_header Header = Headers[Index];
        if (Reversed) {
            kelvo::Reverse32(sizeof(Header), &Header);
        }
        std::memcpy(Image.data() + 88 + 44 * Index, &Header, sizeof(Header));
    }
    kelvo_file_magic_value Magic;
    KelvoGetMagicValueForPlatform(PointerBits, kelvo::ThisPlatformIsLittleEndian != Reversed,
                                  &Magic);
    std::memcpy(Image.data(), &Magic, 16);
    Put32(Image, 16, HeaderSize, Reversed);
    kelvo_file_header Header = {};
    Header.Version = File.Version;
    Header.TotalSize = (kelvo_uint32)Image.size();
    Header.SectionArrayOffset = 56;
    Header.SectionArrayCount = Count;
    Header.RootObjectTypeDefinition = File.RootType;
    Header.RootObject = File.Root;
    Header.TypeTag = File.TypeTag;
    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, (kelvo_uint32)Image.size() - 88, Image.data() + 88);
    KelvoEndCRC32(&CRC);
    Header.CRC = CRC;
    if (Reversed) {
        kelvo::Reverse32(sizeof(Header), &Header);
    }
    std::memcpy(Image.data() + 32, &Header, sizeof(Header));
    return Image;
}

// Root pointers sit at 4-byte alignment in 64-bit builds: read, never bound.
kelvo_uint32 *OtherOf(void const *Root) {
    kelvo_uint32 *Other;
    std::memcpy(&Other, (kelvo_uint8 const *)Root + offsetof(test_root, Other), sizeof(Other));
    return Other;
}

kelvo_file *LoadImage(bytes const &Image) {
    return KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
}

class FileLoadingTest : public KelvoTest {
protected:
    // The test file's tree, as every loading path must leave it.
    void ExpectTestTree(kelvo_file *File) {
        ASSERT_NE(File, nullptr);
        ASSERT_EQ(File->SectionCount, 2);
        for (kelvo_int32 Index = 0; Index < 2; ++Index) {
            EXPECT_TRUE(File->Marshalled[Index]);
        }
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        ASSERT_NE(Root.Object, nullptr);
        EXPECT_STREQ(Root.Type[0].Name, "Value");
        EXPECT_STREQ(Root.Type[1].Name, "Other");
        EXPECT_EQ(Root.Type[1].ReferenceType[3].Type, KelvoUInt32Member);
        auto *Tree = static_cast<test_root *>(Root.Object);
        EXPECT_EQ(Tree->Value, 0x11223344u);
        kelvo_uint32 *Other = OtherOf(Tree);
        auto *Data = static_cast<kelvo_uint8 *>(File->Sections[1]);
        EXPECT_EQ((kelvo_uint8 *)Other, Data + 20);
        kelvo_uint32 Word;
        std::memcpy(&Word, Data + 4, 4);
        EXPECT_EQ(Word, 0x01020304u);
        kelvo_uint16 Halves[2];
        std::memcpy(Halves, Data + 16, 4);
        EXPECT_EQ(Halves[1], 0xABCD);
        test_mixed Records[2];
        std::memcpy(Records, Data + 20, sizeof(Records));
        EXPECT_EQ(Records[1].C, 0x0B0C);
        EXPECT_EQ(Records[1].D, 0x0D0E0F10u);
        EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, Tree), 0);
        EXPECT_EQ(KelvoGetFileTypeTag(File), KelvoCurrentTypeTag);
    }

    // Loads an image and frees the result; every message is taken, since
    // damaged files are allowed to report. What did load must be sound: the
    // root lies in a loaded section, and a tree the check passes can be
    // walked to its last object, definition and string (copying it reads
    // them all, where a sanitizer sees any stray read).
    void LoadDamaged(bytes const &Image) {
        kelvo_file *File = LoadImage(Image);
        if (File) {
            kelvo_variant Root;
            KelvoGetDataTreeFromFile(File, &Root);
            if (Root.Object) {
                kelvo_int32 Section = KelvoGetFileSectionOfLoadedObject(File, Root.Object);
                EXPECT_GE(Section, 0);
                EXPECT_GE(KelvoGetFileSectionOfLoadedObject(File, Root.Type), 0);
            }
            if (Root.Object && KelvoCheckFileDataTree(File)) {
                void *Copy = KelvoConvertTree(Root.Type, Root.Object, Root.Type);
                EXPECT_NE(Copy, nullptr) << "a checked tree cannot be walked";
                kelvo_allocate_callback *Allocate;
                kelvo_deallocate_callback *Deallocate;
                KelvoGetAllocator(&Allocate, &Deallocate);
                if (Copy) {
                    Deallocate(__FILE__, __LINE__, Copy);
                }
            }
            KelvoGetInMemoryFileCRC(File);
        }
        KelvoFreeFile(File);
        TakeMessages();
    }
};

struct load_case {
    bool Reversed;
    bool Compressed;
};

class FileLoadingFormsTest : public FileLoadingTest,
                             public ::testing::WithParamInterface<load_case> {
protected:
    bytes Image() {
        file_image File = TestFile();
        if (GetParam().Compressed) {
            File.Sections[1].Format = KelvoFenwa1Compression;
        }
        return BuildImage(File, GetParam().Reversed);
    }
    void ExpectEndianWarning() {
        if (GetParam().Reversed) {
            ExpectLogged(KelvoWarningLogMessage, "Endian mismatch between current platform and "
                                                 "source.  File will be endian marshalled.");
        }
    }
};

TEST_P(FileLoadingFormsTest, MemoryReaderAndNamedFileGiveTheSameTree) {
    bytes Bytes = Image();
    kelvo_file *File = LoadImage(Bytes);
    ExpectEndianWarning();
    ExpectTestTree(File);
    EXPECT_EQ(File->IsByteReversed, (kelvo_bool32)GetParam().Reversed);
    KelvoFreeFile(File);

    std::string Path = TemporaryPath("loading.kv2");
    std::ofstream(Path, std::ios::binary).write((char const *)Bytes.data(), Bytes.size());
    File = KelvoReadEntireFile(Path.c_str());
    ExpectEndianWarning();
    ExpectTestTree(File);
    KelvoFreeFile(File);
    EXPECT_TRUE(KelvoFileCRCIsValid(Path.c_str()));
    unlink(Path.c_str());
}

TEST_P(FileLoadingFormsTest, StepByStepWithApplicationMemory) {
    bytes Bytes = Image();
    kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(
        __FILE__, __LINE__, 0, (kelvo_int32)Bytes.size(), Bytes.data());
    kelvo_file *File = KelvoReadPartialFileFromReader(Reader);
    ASSERT_NE(File, nullptr);
    EXPECT_EQ(File->Sections[0], nullptr);
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    EXPECT_EQ(Root.Object, nullptr);

    alignas(8) kelvo_uint8 Memory[64];
    kelvo_section_header const *Headers = KelvoGetKVNSectionArray(File->Header);
    ASSERT_LE(Headers[1].ExpandedDataSize, sizeof(Memory));
    KelvoReadFileSection(Reader, File, 0);
    KelvoReadFileSectionInPlace(Reader, File, 1, Memory);
    EXPECT_EQ(File->Sections[1], Memory);
    EXPECT_TRUE(File->IsUserMemory[1]);
    EXPECT_EQ(File->Marshalled[1], !GetParam().Reversed);
    KelvoReadFileSection(Reader, File, 1);
    ExpectLogged(KelvoWarningLogMessage,
                 "Ignored request to read already populated file section 1");
    EXPECT_EQ(File->Sections[1], Memory);

    kelvo_pointer_fixup *Fixups[2];
    for (kelvo_int32 Index = 0; Index < 2; ++Index) {
        Fixups[Index] = KelvoLoadFixupArray(Reader, &Headers[Index], File->IsByteReversed);
    }
    EXPECT_EQ(Fixups[1], nullptr); // section 1 has no pointers
    KelvoFixupFileSectionPhase1(File, 0, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "PointerFixupArray is not allowed to be 0");
    for (kelvo_int32 Index = 0; Index < 2; ++Index) {
        KelvoFixupFileSectionPhase1(File, Index, Fixups[Index]);
    }
    for (kelvo_int32 Index = 0; Index < 2; ++Index) {
        KelvoFixupFileSectionPhase2(Reader, File, Index, Fixups[Index]);
    }
    ExpectTestTree(File);
    KelvoFixupFileSectionPhase1(File, 2, Fixups[0]);
    ExpectLogged(KelvoErrorLogMessage, "SectionIndex 2 is out of range [0, 2)");

    // Application memory outlives its section.
    KelvoFreeFileSection(File, 1);
    EXPECT_EQ(File->Sections[1], nullptr);
    EXPECT_FALSE(File->IsUserMemory[1]);
    EXPECT_EQ(Memory[0], 0xD0); // still readable, never freed
    for (kelvo_pointer_fixup *Array : Fixups) {
        KELVO_DEALLOCATE(Array);
    }
    KelvoFreeFile(File);
    KelvoCloseFileReader(Reader);
}

TEST_P(FileLoadingFormsTest, EveryTruncationFailsCleanly) {
    bytes Bytes = Image();
    for (size_t Size = 0; Size < Bytes.size(); ++Size) {
        bytes Cut(Bytes.begin(), Bytes.begin() + Size);
        kelvo_file *File = LoadImage(Cut);
        // TotalSize is probed, so nothing of a cut file loads.
        EXPECT_EQ(File, nullptr) << Size;
        KelvoFreeFile(File);
        TakeMessages();
    }
}

TEST_P(FileLoadingFormsTest, BitFlipsInHeadersAndFixupsStayInBounds) {
    bytes Bytes = Image();
    kelvo_uint32 FixupStart = 0;
    kelvo_section_header Header;
    std::memcpy(&Header, Bytes.data() + 88, sizeof(Header));
    FixupStart = GetParam().Reversed ? __builtin_bswap32(Header.PointerFixupArrayOffset)
                                     : Header.PointerFixupArrayOffset;
    std::vector<size_t> Positions;
    for (size_t At = 0; At < 88 + 2 * 44; ++At) {
        Positions.push_back(At);
    }
    for (size_t At = FixupStart; At < Bytes.size(); ++At) {
        Positions.push_back(At);
    }
    for (size_t At : Positions) {
        for (int Bit = 0; Bit < 8; ++Bit) {
            bytes Flipped = Bytes;
            Flipped[At] ^= (kelvo_uint8)(1 << Bit);
            SCOPED_TRACE(testing::Message() << "byte " << At << " bit " << Bit);
            LoadDamaged(Flipped);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, FileLoadingFormsTest,
                         ::testing::Values(load_case{false, false}, load_case{true, false},
                                           load_case{false, true}, load_case{true, true}),
                         [](auto const &Info) {
                             return std::string(Info.param.Reversed ? "Reversed" : "Native") +
                                    (Info.param.Compressed ? "Compressed" : "Stored");
                         });

TEST_F(FileLoadingTest, HeaderFaultsGiveNullFiles) {
    bytes Good = BuildImage(TestFile(), false);
    struct fault {
        size_t At;
        kelvo_uint32 Value;
        char const *Message;
    } const Faults[] = {
        {0, 0x12345678u, "File is not a Kelvo file"},
        {20, 1, "File has an unrecognized header format (1)"},
        {16, 40, "Unable to read file header"},
        {16, 0x7ffffff0u, "Unable to read file header"},
        {36, 0x7ffffff0u, "which its header and the file's end do not allow"},
        {36, 100, "which its header and the file's end do not allow"},
        {48, 1000, "does not lie inside"},
    };
    for (fault const &Fault : Faults) {
        bytes Bad = Good;
        Put32(Bad, Fault.At, Fault.Value, false);
        EXPECT_EQ(LoadImage(Bad), nullptr) << Fault.Message;
        ExpectLogged(KelvoErrorLogMessage, Fault.Message);
        TakeMessages(); // the unknown magic value's warning
    }
    EXPECT_EQ(LoadImage(bytes(10, 0)), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Unable to read magic value");
    EXPECT_EQ(KelvoReadEntireFile(nullptr), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "FileName is not allowed to be 0");
    EXPECT_EQ(KelvoReadEntireFile("/nonexistent/x.kv2"), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Unable to open /nonexistent/x.kv2 for reading");
    TakeMessages(); // the platform reader's own report
}

TEST_F(FileLoadingTest, OlderRevisionWarns) {
    file_image Old = TestFile();
    Old.Version = 5;
    kelvo_file *File = LoadImage(BuildImage(Old, false));
    ExpectLogged(KelvoWarningLogMessage, "File is file format revision 5 (current version is 6)");
    ExpectTestTree(File);
    KelvoFreeFile(File);
}

// Sizes a short file claims are refused before any block of that size.
TEST_F(FileLoadingTest, ClaimedSizesAreCheckedBeforeAllocating) {
    bytes Good = BuildImage(TestFile(), false);
    constexpr size_t Section1 = 88 + 44;
    struct fault {
        size_t At;
        kelvo_uint32 Value;
        char const *Message;
    } const Faults[] = {
        {Section1 + 12, 0x40000000u, "uncompressed bytes"},                      // expanded
        {Section1 + 8, 0x40000000u, "past the end"},                             // stored
        {Section1 + 32, 0x10000000u, "pointer fix-ups"},                         // fix-up count
        {Section1 + 40, 0x10000000u, "marshalling fix-ups"},                     // marshalling
        {Section1 + 16, 1u << 30, "alignment"},                                  // alignment
        {Section1 + 20, 0x100, "not in order"},                                  // regions
        {Section1 + 0, 7, "unknown compression type 7"},                         // format
    };
    auto LoadMeasured = [](bytes const &Image, kelvo_int32 &LargestRequest) {
        failing_allocator Heap;
        kelvo_file *File = LoadImage(Image);
        LargestRequest = Heap.LargestRequest;
        return File;
    };
    for (fault const &Fault : Faults) {
        bytes Bad = Good;
        Put32(Bad, Fault.At, Fault.Value, false);
        kelvo_int32 LargestRequest;
        kelvo_file *File = LoadMeasured(Bad, LargestRequest);
        EXPECT_LE(LargestRequest, 4096) << Fault.Message;
        ASSERT_NE(File, nullptr);
        EXPECT_EQ(File->Sections[1], nullptr) << Fault.Message;
        EXPECT_NE(File->Sections[0], nullptr);
        ExpectLogged(KelvoErrorLogMessage, Fault.Message);
        // The root's pointer into the dropped section is null.
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        EXPECT_EQ(OtherOf(Root.Object), nullptr);
        KelvoFreeFile(File);
    }

    // A compressed section may not claim more than its bytes could expand to.
    file_image Compressed = TestFile();
    Compressed.Sections[1].Format = KelvoFenwa1Compression;
    bytes Bad = BuildImage(Compressed, false);
    Put32(Bad, Section1 + 12, 0x7ffffff0u, false);
    Put32(Bad, Section1 + 24, 0x7ffffff0u, false);
    kelvo_int32 LargestRequest;
    kelvo_file *File = LoadMeasured(Bad, LargestRequest);
    EXPECT_LE(LargestRequest, 4096);
    ExpectLogged(KelvoErrorLogMessage, "further than any compressor reaches");
    KelvoFreeFile(File);
}

TEST_F(FileLoadingTest, CorruptSectionDataIsDroppedAndFailsTheCRC) {
    file_image Compressed = TestFile();
    Compressed.Sections[1].Format = KelvoFenwa1Compression;
    bytes Bytes = BuildImage(Compressed, false);
    kelvo_section_header Header;
    std::memcpy(&Header, Bytes.data() + 88 + 44, sizeof(Header));
    // The stream's first byte after its piece header.
    Bytes[Header.DataOffset + 12] ^= 0xFF;
    std::string Path = TemporaryPath("corrupt.kv2");
    std::ofstream(Path, std::ios::binary).write((char const *)Bytes.data(), Bytes.size());
    EXPECT_FALSE(KelvoFileCRCIsValid(Path.c_str()));
    kelvo_file *File = KelvoReadEntireFile(Path.c_str());
    ASSERT_NE(File, nullptr);
    if (File->Sections[1]) {
        // Some corruptions still decode; the CRC is what tells.
        KelvoFreeFile(File);
    } else {
        ExpectLogged(KelvoErrorLogMessage, "Unable to read section 1");
        KelvoFreeFile(File);
    }
    TakeMessages();

    // The header lies outside the CRC.
    bytes Version = BuildImage(TestFile(), false);
    Put32(Version, 32, 5, false);
    std::ofstream(Path, std::ios::binary).write((char const *)Version.data(), Version.size());
    EXPECT_TRUE(KelvoFileCRCIsValid(Path.c_str()));
    EXPECT_FALSE(KelvoFileCRCIsValid(nullptr));
    ExpectLogged(KelvoErrorLogMessage, "FileName is not allowed to be 0");
    unlink(Path.c_str());
}

TEST_F(FileLoadingTest, SectionOfObjectAndInMemoryCRC) {
    kelvo_file *File = LoadImage(BuildImage(TestFile(), false));
    ASSERT_NE(File, nullptr);
    kelvo_section_header const *Headers = KelvoGetKVNSectionArray(File->Header);
    auto *Base1 = static_cast<kelvo_uint8 *>(File->Sections[1]);
    EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, Base1), 1);
    EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, Base1 + Headers[1].ExpandedDataSize - 1), 1);
    EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, Base1 + Headers[1].ExpandedDataSize), -1);
    EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, nullptr), -1);

    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, Headers[0].ExpandedDataSize, File->Sections[0]);
    KelvoAddToCRC32(&CRC, Headers[1].ExpandedDataSize, File->Sections[1]);
    KelvoEndCRC32(&CRC);
    EXPECT_EQ(KelvoGetInMemoryFileCRC(File), CRC);
    KelvoFreeFileSection(File, 1);
    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, Headers[0].ExpandedDataSize, File->Sections[0]);
    KelvoEndCRC32(&CRC);
    EXPECT_EQ(KelvoGetInMemoryFileCRC(File), CRC);
    KelvoFreeFileSection(File, 9);
    ExpectLogged(KelvoErrorLogMessage, "SectionIndex 9 is out of range [0, 2)");
    KelvoFreeFile(File);
    KelvoFreeFile(nullptr);

    kelvo_file Headerless = {};
    EXPECT_EQ(KelvoGetFileTypeTag(&Headerless), 0u);
    ExpectLogged(KelvoErrorLogMessage, "File.Header is not allowed to be 0");
    EXPECT_EQ(KelvoGetInMemoryFileCRC(&Headerless), 0u);
    ExpectLogged(KelvoErrorLogMessage, "File->Header is not allowed to be 0");
    EXPECT_EQ(KelvoGetInMemoryFileCRC(nullptr), 0u);
    ExpectLogged(KelvoErrorLogMessage, "File is not allowed to be 0");
}

TEST_F(FileLoadingTest, RootOfAnotherTagIsConvertedOnceAndKept) {
    file_image Image = TestFile();
    Image.TypeTag = 0x80000010u;
    kelvo_file *File = LoadImage(BuildImage(Image, false));
    ASSERT_NE(File, nullptr);

    // A root of the target tag and definition is its own root, without
    // conversion; the stored mixed type has no member names.
    kelvo_data_type_definition const Unnamed[] = {
        {KelvoUInt8Member, nullptr, nullptr, 0, {}, 0}, {KelvoUInt8Member, nullptr, nullptr, 0, {}, 0},
        {KelvoUInt16Member, nullptr, nullptr, 0, {}, 0}, {KelvoUInt32Member, nullptr, nullptr, 0, {}, 0},
        {KelvoEndMember, nullptr, nullptr, 0, {}, 0}};
    kelvo_data_type_definition const Stored[] = {
        {KelvoUInt32Member, "Value", nullptr, 0, {}, 0},
        {KelvoReferenceMember, "Other", Unnamed, 0, {}, 0},
        {KelvoEndMember, nullptr, nullptr, 0, {}, 0}};
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    EXPECT_EQ(kelvo::GetFileRootAs(File, Stored, 0x80000010u), Root.Object);

    // The target keeps "Value" only, widened to a real.
    kelvo_data_type_definition const Target[] = {{KelvoReal32Member, "Value", nullptr, 0, {}, 0},
                                                 {KelvoEndMember, nullptr, nullptr, 0, {}, 0}};
    void *Converted = kelvo::GetFileRootAs(File, Target, KelvoCurrentTypeTag);
    ExpectLogged(KelvoWarningLogMessage,
                 "File has run-time type tag of 0x80000010, which doesn't match this version of "
                 "Kelvo (0x80000020).  Automatic conversion will be attempted.");
    ASSERT_NE(Converted, nullptr);
    EXPECT_EQ(*static_cast<kelvo_real32 *>(Converted), (kelvo_real32)0x11223344u);
    EXPECT_EQ(kelvo::GetFileRootAs(File, Target, KelvoCurrentTypeTag), Converted);
    EXPECT_EQ(File->ConversionBuffer, Converted);
    KelvoFreeFile(File);
}

// Files whose bytes would mean something else after a fix-up, a byte
// reversal or a conversion: the tree check refuses them, so that every
// command that accepts a file reproduces its tree.
TEST_F(FileLoadingTest, FilesThatWouldChangeOnTheWayThroughAreRefused) {
    struct hostile_case {
        char const *Message;
        bool ReversedOnly; // marshalling fix-ups are applied to reversed files only
        void (*Damage)(file_image &);
    } const Cases[] = {
        {"writes over the bytes of a string", false,
         [](file_image &F) { F.Sections[0].Fixup(F.Sections[0].First8Bit, 1, 0); }},
        {"writes over the bytes of an object", false,
         [](file_image &F) { F.Sections[0].Fixup(F.Root.Offset, 1, 0); }},
        {"writes over the bytes of an object", false, // the first visited, without pointers
         [](file_image &F) {
             kelvo_int32 const Words = KelvoUInt32Member; // the root's reference, retyped
             memcpy(&F.Sections[0].Data[F.RootType.Offset + MemberSize +
                                        offsetof(kelvo_data_type_definition, Type)],
                    &Words, sizeof(Words));
         }},
        {"is not aligned to its 4 bytes", false,
         [](file_image &F) { F.Sections[0].Fixups.back().To.Offset = 21; }},
        {"lies outside the region [20, 36)", false,
         [](file_image &F) { F.Sections[0].Fixups.back().To.Offset = 4; }},
        {"by a layout that does not describe them", true,
         [](file_image &F) { F.Sections[1].Marshalling[0] = {1, 20, F.RootType}; }},
        {"have no marshalling fix-up", true, [](file_image &F) { F.Sections[1].Marshalling.clear(); }},
        {"reverse the same bytes twice", true,
         [](file_image &F) { F.Sections[1].Marshalling.push_back(F.Sections[1].Marshalling[0]); }},
    };
    for (bool Reversed : {false, true}) {
        kelvo_file *File = LoadImage(BuildImage(TestFile(), Reversed));
        EXPECT_TRUE(KelvoCheckFileDataTree(File));
        KelvoFreeFile(File);
        TakeMessages(); // the reversed file's warning
        for (hostile_case const &Case : Cases) {
            if (Case.ReversedOnly && !Reversed) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << Case.Message << (Reversed ? ", reversed" : ""));
            file_image Image = TestFile();
            Case.Damage(Image);
            File = LoadImage(BuildImage(Image, Reversed));
            ASSERT_NE(File, nullptr);
            EXPECT_FALSE(KelvoCheckFileDataTree(File));
            ExpectLoggedFrom(KelvoErrorLogMessage, KelvoFileReadingLogMessage, Case.Message);
            KelvoFreeFile(File);
            TakeMessages();
        }
    }
}

// One rule for pointer fix-ups in files of either pointer size, whether the
// file loads as it is or through conversion: a field past the section is
// reported and skipped, one over the bytes of a definition refuses the tree.
TEST_F(FileLoadingTest, MisplacedPointerFixupsAreRefusedInEitherPointerSize) {
    bytes Native = BuildImage(TestFile(), false);
    kelvo_file_magic_value Other;
    KelvoGetMagicValueForPlatform(PointerBits == 64 ? 32 : 64, 1, &Other);
    kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(
        __FILE__, __LINE__, 0, (kelvo_int32)Native.size(), Native.data());
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    ASSERT_TRUE(KelvoPlatformConvertReaderToWriter(Reader, Writer, &Other, 0));
    KelvoCloseFileReader(Reader);
    kelvo_uint8 *Buffer = nullptr;
    kelvo_int32 Size = 0;
    ASSERT_TRUE(KelvoStealMemoryWriterBuffer(Writer, &Buffer, &Size));
    bytes Converted(Buffer, Buffer + Size);
    KelvoFreeMemoryWriterBuffer(Buffer);
    KelvoDeleteFileWriter(Writer);
    for (bool Past : {true, false}) {
        for (bool IsConverted : {false, true}) {
            bytes Image = IsConverted ? Converted : Native;
            SCOPED_TRACE(testing::Message() << (Past ? "past" : "definition")
                                            << (IsConverted ? ", converted" : ""));
            // Section 0's first pointer fix-up, moved past the section or onto
            // the member type word of the root's definition.
            kelvo_section_header Section;
            std::memcpy(&Section, Image.data() + 88, sizeof(Section));
            kelvo_file_header Header;
            std::memcpy(&Header, Image.data() + 32, sizeof(Header));
            ASSERT_GT(Section.PointerFixupArrayCount, 0u);
            Put32(Image, Section.PointerFixupArrayOffset,
                  Past ? 0xFFFFFFFFu : Header.RootObjectTypeDefinition.Offset, false);
            kelvo_file *File = LoadImage(Image);
            if (Past) {
                ExpectLoggedFrom(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                                 "writes at offset 4294967295, past the section's");
            } else {
                EXPECT_FALSE(File && KelvoCheckFileDataTree(File));
            }
            TakeMessages(); // the refusals' reasons and the conversion's warning
            KelvoFreeFile(File);
        }
    }
}

TEST_F(FileLoadingTest, RootOutsideTheSectionsIsRefused) {
    file_image Image = TestFile();
    Image.RootType.Offset = 1000;
    kelvo_file *File = LoadImage(BuildImage(Image, false));
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    EXPECT_EQ(Root.Object, nullptr);
    EXPECT_EQ(Root.Type, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "does not lie inside the loaded sections");
    // A type that runs to its section's end without a terminator.
    Image = TestFile();
    kelvo_data_type_definition Last = {};
    Last.Type = KelvoUInt32Member;
    Image.RootType.Offset = Image.Sections[0].Append(&Last, sizeof(Last));
    KelvoFreeFile(File);
    File = LoadImage(BuildImage(Image, false));
    KelvoGetDataTreeFromFile(File, &Root);
    EXPECT_EQ(Root.Object, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "does not lie inside the loaded sections");
    KelvoGetDataTreeFromFile(File, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Result is not allowed to be 0");
    KelvoFreeFile(File);
}

#ifdef KELVO_KV2_PATH
TEST_F(FileLoadingTest, Kv2CheckPrintsALinePerFileAndFailsOnAnyBadOne) {
    std::string Good = TemporaryPath("check_good.kv2");
    std::string Bad = TemporaryPath("check_bad.kv2");
    bytes Bytes = BuildImage(TestFile(), true);
    std::ofstream(Good, std::ios::binary).write((char const *)Bytes.data(), Bytes.size());
    Bytes[Bytes.size() - 1] ^= 1;
    std::ofstream(Bad, std::ios::binary).write((char const *)Bytes.data(), Bytes.size());
    // Intact bytes whose tree leads outside the file: the root's reference
    // keeps a stored address because no fix-up rewrites it.
    std::string Outside = TemporaryPath("check_outside.kv2");
    file_image Hostile = TestFile();
    Hostile.Sections[0].Fixups.pop_back();
    kelvo_uint32 *Address = (kelvo_uint32 *)(kelvo_uintaddrx)0x10000;
    std::memcpy(Hostile.Sections[0].Data.data() + Hostile.Root.Offset + offsetof(test_root, Other),
                &Address, sizeof(Address));
    Bytes = BuildImage(Hostile, false);
    std::ofstream(Outside, std::ios::binary).write((char const *)Bytes.data(), Bytes.size());
    std::string Out = TemporaryPath("check_out");
    auto Run = [&](std::string const &Files) {
        std::string Command = std::string(KELVO_KV2_PATH) + " check " + Files + " >" + Out +
                              " 2>/dev/null";
        int Status = system(Command.c_str());
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    };
    auto Output = [&]() {
        std::ifstream File(Out);
        return std::string(std::istreambuf_iterator<char>(File), {});
    };
    EXPECT_EQ(Run(Good), 0);
    EXPECT_EQ(Output(), "ok      " + Good + "\n");
    EXPECT_EQ(Run(Good + " " + Bad), 1);
    EXPECT_EQ(Output(), "ok      " + Good + "\nFAILED  " + Bad + ": CRC mismatch\n");
    EXPECT_EQ(Run(Outside), 1);
    // Piece by piece: g++ 12 warns falsely about operator+ on string literals here.
    std::string Expected = "FAILED  ";
    Expected.append(Outside).append(": its data tree reaches outside its sections\n");
    EXPECT_EQ(Output(), Expected);
    unlink(Outside.c_str());
    unlink(Good.c_str());
    unlink(Bad.c_str());
    unlink(Out.c_str());
}
#endif

} // namespace
