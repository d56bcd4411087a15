// kv2 info, dump and make-sample on the sample asset, on the fuzz seeds and
// on damaged files, and the checked printer behind dump on trees damaged in
// memory.
#include "kelvo_test.h"
#include "kv2_runner.h"
#include "kv2_sample_asset.h"
#include "kv2_tree_walk.h"

#include <dirent.h>
#include <stdio.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

bool Contains(std::string const &Text, std::string const &Part) {
    return Text.find(Part) != std::string::npos;
}

// A sanitizer report exits like a refusal would; it must never appear.
void ExpectNoSanitizerReport(run_result const &Result, std::string const &What) {
    EXPECT_NE(Result.Status, -1) << What << " did not exit by itself";
    EXPECT_FALSE(Contains(Result.Err, "Sanitizer")) << What << "\n" << Result.Err;
    EXPECT_FALSE(Contains(Result.Err, "runtime error")) << What << "\n" << Result.Err;
}

#ifdef KELVO_KV2_PATH
class Kv2InfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Sample = TemporaryPath("sample.kv2");
        run_result Made = RunKv2({"make-sample", Sample});
        ASSERT_EQ(Made.Status, 0) << Made.Err;
        EXPECT_EQ(Made.Out + Made.Err, "");
    }
    void TearDown() override { unlink(Sample.c_str()); }
    std::string Sample;
};

TEST_F(Kv2InfoTest, InfoSummarisesTheSample) {
    run_result Result = RunKv2({"info", Sample});
    EXPECT_EQ(Result.Status, 0);
    EXPECT_EQ(Result.Err, "");
    std::string const Expected[] = {
        "file          " + Sample + "\n",
        "platform      " + std::to_string(sizeof(void *) * 8) +
            "-bit little-endian, format revision 6, type tag 0x80000020 (current)\n",
        "sections      1\n  0 - StandardMainSection ",
        "art tool      kv2 sample builder 2.7, 100 units per meter, right (1 0 0), up (0 1 0), "
        "back (0 0 1)\n",
        "exporter      kv2 make-sample 1.0, customization 0, build 42\n",
        "textures      1\n  checker.tga: 2 x 2, encoding 0, 1 image, 2 MIP levels\n",
        "materials     2\n  skin: 1 map\n  checker: 0 maps, texture checker.tga\n",
        "skeletons     1\n  sample_skeleton: 3 bones\n",
        "vertex datas  2\n  4 vertices, PWNT3432\n  4 vertices, P3\n",
        "meshes        1\n  quad: 4 vertices, 2 triangles, 2 materials, 2 bone bindings, 1 "
        "morph target\n",
        "models        1\n  sample_model: skeleton sample_skeleton, 1 mesh\n",
        "track groups  1\n  sample_model: 1 vector, 3 transform and 1 text track\n",
        "animations    1\n  sample_walk: 1 s, 1 track group\n"};
    for (std::string const &Line : Expected) {
        EXPECT_TRUE(Contains(Result.Out, Line)) << Line << "\nin:\n" << Result.Out;
    }
}

TEST_F(Kv2InfoTest, InfoDetailsMeshesAndShowsBonesOnRequest) {
    std::string const MeshLines =
        "morph target\n    layout PWNT3432\n"
        "    bone binding root: 2 triangles, box (0 0 0) to (1 0.5 0)\n"
        "    bone binding spine: 1 triangle, box (0 0.5 0) to (1 1 0)\n"
        "    material group 0: triangles 0 + 1, material 0 (skin)\n"
        "    material group 1: triangles 1 + 1, material 1 (checker)\n";
    std::string const BoneLines = "  sample_skeleton: 3 bones\n    root at (0 0 0)\n"
                                  "      spine at (0 1 0)\n        head at (0 1 0)\n";
    run_result Plain = RunKv2({"info", Sample});
    EXPECT_EQ(Plain.Status, 0);
    EXPECT_TRUE(Contains(Plain.Out, MeshLines)) << Plain.Out;
    EXPECT_FALSE(Contains(Plain.Out, "root at"));
    run_result Bones = RunKv2({"info", "--bones", Sample});
    EXPECT_EQ(Bones.Status, 0);
    EXPECT_TRUE(Contains(Bones.Out, BoneLines)) << Bones.Out;
    EXPECT_TRUE(Contains(Bones.Out, MeshLines));
    EXPECT_EQ(RunKv2({"info", "--bone", Sample}).Status, 2);
    EXPECT_EQ(RunKv2({"info", "--bones"}).Status, 2);
}

TEST_F(Kv2InfoTest, DumpPrintsSharedObjectsOnceAndStopsAtTheDepth) {
    run_result Whole = RunKv2({"dump", Sample});
    EXPECT_EQ(Whole.Status, 0);
    EXPECT_EQ(Whole.Err, "");
    for (char const *Line :
         {"root: #1\n", "  FromFileName: \"sample.kv2\"\n", "      Name: \"sample_skeleton\"\n",
          "      VertexComponentNames: 5 strings [\"Position\", \"BoneWeights\", \"BoneIndices\", "
          "\"Normal\", \"TextureCoordinates0\"]\n",
          "      Indices16: 6 elements [0, 1, 2, 0, 2, 3]\n",
          "      Skeleton: -> #12\n", // the model's skeleton is the listed one
          "        [0]: -> #35\n",    // as is the animation's track group
          "          ScaleShearCurve:\n            CurveData: null\n"}) {
        EXPECT_TRUE(Contains(Whole.Out, Line)) << Line;
    }
    run_result Shallow = RunKv2({"dump", Sample, "--depth", "0"});
    EXPECT_EQ(Shallow.Status, 0);
    EXPECT_TRUE(Contains(Shallow.Out, "  ArtToolInfo: ...\n"));
    EXPECT_FALSE(Contains(Shallow.Out, "sample_skeleton"));
    EXPECT_LT(Shallow.Out.size(), Whole.Out.size() / 4);

    for (std::vector<std::string> const &Wrong :
         std::vector<std::vector<std::string>>{{"dump"},
                                               {"dump", Sample, "--depth"},
                                               {"dump", Sample, "--depth", "x"},
                                               {"dump", Sample, "--depth", "99"},
                                               {"info"},
                                               {"make-sample"}}) {
        EXPECT_EQ(RunKv2(Wrong).Status, 2) << Wrong.size();
    }
    std::string Missing = TemporaryPath("no_such.kv2");
    run_result NotThere = RunKv2({"info", Missing});
    EXPECT_EQ(NotThere.Status, 1);
    EXPECT_TRUE(Contains(NotThere.Err, "kv2: " + Missing + ": cannot open it: no such file"));
}

std::vector<std::string> SeedFiles() {
    std::vector<std::string> Files;
    std::string Root = std::string(KELVO_SOURCE_DIR) + "/tests/fuzz/corpus";
    for (char const *Corpus : {"file_format", "file_loading"}) {
        std::string Directory = Root + "/" + Corpus;
        DIR *Listing = opendir(Directory.c_str());
        while (dirent *Entry = Listing ? readdir(Listing) : nullptr) {
            if (Entry->d_name[0] != '.') {
                Files.push_back(Directory + "/" + Entry->d_name);
            }
        }
        if (Listing) {
            closedir(Listing);
        }
    }
    return Files;
}

// What the library reads from a file, as info and dump must show it.
struct seed_facts {
    bool Sound = false;    // loads and passes the tree check
    bool AssetsRead = false; // and its file info passes the asset checks (or it has no root type)
    std::string Platform, Sections, DumpHead, RootLine;
    std::vector<std::string> SectionLines;
};

seed_facts ReadFacts(std::string const &Path) {
    seed_facts Facts;
    kelvo_file *File = KelvoReadEntireFile(Path.c_str());
    kelvo_variant Root = {};
    if (File) {
        KelvoGetDataTreeFromFile(File, &Root);
    }
    if (!File || !Root.Object || !KelvoCheckFileDataTree(File)) {
        KelvoFreeFile(File);
        return Facts;
    }
    Facts.Sound = true;
    Facts.AssetsRead = Root.Type->Type == KelvoEndMember || KelvoGetFileInfo(File) != nullptr;
    kelvo_int32 Bits = 0;
    kelvo_bool32 Little = 0;
    KelvoGetMagicValueProperties(File->SourceMagicValue, &Bits, &Little);
    char Tag[16];
    snprintf(Tag, sizeof(Tag), "0x%x", KelvoGetFileTypeTag(File));
    Facts.Platform = "platform      " + std::to_string(Bits) + "-bit " +
                     (Little ? "little" : "big") + "-endian, format revision " +
                     std::to_string(File->Header->Version) + ", type tag " + Tag;
    Facts.Sections = "sections      " + std::to_string(File->SectionCount) + "\n";
    Facts.DumpHead = Path + ": type tag " + Tag + ", " + std::to_string(File->SectionCount) +
                     " sections\nroot: #1\n";
    kelvo_section_header const *Sections = KelvoGetKVNSectionArray(File->Header);
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        Facts.SectionLines.push_back(std::string("  ").append(KelvoGetStandardSectionName(Index)));
        Facts.SectionLines.push_back(
            std::string(" ").append(std::to_string(Sections[Index].ExpandedDataSize)).append(" expanded\n"));
    }
    // The root's first member, when it is a number or a string (built piece
    // by piece: g++ 12 warns falsely about operator+ on string literals).
    std::string Value;
    if (Root.Type->Type == KelvoInt32Member || Root.Type->Type == KelvoUInt32Member) {
        kelvo_uint32 Word;
        memcpy(&Word, Root.Object, 4);
        Value = Root.Type->Type == KelvoInt32Member ? std::to_string((kelvo_int32)Word)
                                                   : std::to_string(Word);
    } else if (Root.Type->Type == KelvoStringMember) {
        char const *Text;
        memcpy(&Text, Root.Object, sizeof(Text));
        Value = Text ? std::string("\"").append(Text).append("\"") : std::string("null");
    }
    if (!Value.empty()) {
        Facts.RootLine.append("  ").append(Root.Type->Name ? Root.Type->Name : "(unnamed)");
        Facts.RootLine.append(": ").append(Value).append("\n");
    }
    KelvoFreeFile(File);
    return Facts;
}

// Each seed is summarised and dumped as the library reads it, or refused
// with a report when the library refuses it.
TEST_F(Kv2InfoTest, SeedFilesAreSummarisedAndDumpedAsTheLibraryReadsThem) {
    std::vector<std::string> Files = SeedFiles();
    EXPECT_GE(Files.size(), 10u);
    for (std::string const &File : Files) {
        SCOPED_TRACE(File);
        seed_facts Facts = ReadFacts(File);
        run_result Info = RunKv2({"info", File});
        run_result Dump = RunKv2({"dump", File});
        ExpectNoSanitizerReport(Info, "info " + File);
        ExpectNoSanitizerReport(Dump, "dump " + File);
        if (!Facts.Sound) {
            EXPECT_EQ(Info.Status, 1);
            EXPECT_EQ(Dump.Status, 1);
            EXPECT_NE(Info.Err + Dump.Err, "");
            continue;
        }
        EXPECT_EQ(Info.Status, Facts.AssetsRead ? 0 : 1) << Info.Err;
        EXPECT_EQ(Info.Out.rfind("file          " + File + "\n" + Facts.Platform, 0), 0u)
            << Info.Out;
        EXPECT_TRUE(Contains(Info.Out, Facts.Sections)) << Info.Out;
        for (std::string const &Part : Facts.SectionLines) {
            EXPECT_TRUE(Contains(Info.Out, Part)) << Part << "\nin:\n" << Info.Out;
        }
        EXPECT_EQ(Dump.Status, 0) << Dump.Err;
        EXPECT_EQ(Dump.Out.rfind(Facts.DumpHead, 0), 0u) << Dump.Out;
        EXPECT_TRUE(Contains(Dump.Out, Facts.RootLine)) << Facts.RootLine << "\nin:\n" << Dump.Out;
        EXPECT_FALSE(Contains(Dump.Err, "Error")) << Dump.Err;
        EXPECT_EQ(Contains(Info.Err, "Error"), !Facts.AssetsRead) << Info.Err;
    }
}

// Damaged copies of the sample on disk: bytes of the stored section flipped
// one word at a time. Each must be summarised, dumped or refused.
TEST_F(Kv2InfoTest, DamagedFilesAreSummarisedOrRefused) {
    std::vector<kelvo_uint8> Bytes;
    {
        std::string Text = ReadText(Sample);
        Bytes.assign(Text.begin(), Text.end());
    }
    std::string Damaged = TemporaryPath("damaged.kv2");
    int Refused = 0;
    // The section data starts after the 88-byte header and one section header.
    for (size_t Offset = 132; Offset + 4 <= Bytes.size(); Offset += 388) {
        std::vector<kelvo_uint8> Copy = Bytes;
        kelvo_uint32 Garbage = 0x7ffffff0u;
        memcpy(&Copy[Offset], &Garbage, 4);
        FILE *Out = fopen(Damaged.c_str(), "wb");
        ASSERT_NE(Out, nullptr);
        fwrite(Copy.data(), 1, Copy.size(), Out);
        fclose(Out);
        for (char const *Command : {"info", "dump"}) {
            run_result Result = RunKv2({Command, Damaged});
            ExpectNoSanitizerReport(Result, std::string(Command) + " at " + std::to_string(Offset));
            Refused += Result.Status == 1;
        }
    }
    EXPECT_GT(Refused, 0); // some of the damage lands on counts or pointers
    unlink(Damaged.c_str());
}
#endif

// ---- the walk itself, over trees damaged in memory -----------------------------

class TreeWalkTest : public KelvoTest {
  protected:
    kelvo_file *LoadSample(kv2::sample_asset &Asset) {
        kelvo_file_builder *Builder =
            KelvoBeginFileInMemory(1, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform, 4096);
        kelvo_file_data_tree_writer *Writer =
            KelvoBeginFileDataTreeWriting(KelvoFileInfoType, &Asset.FileInfo, 0, 0);
        EXPECT_TRUE(KelvoWriteDataTreeToFileBuilder(Writer, Builder));
        KelvoEndFileDataTreeWriting(Writer);
        kelvo_file_writer *Memory = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
        EXPECT_TRUE(KelvoEndFileToWriter(Builder, Memory));
        kelvo_uint8 *Image = nullptr;
        kelvo_int32 Size = 0;
        KelvoStealMemoryWriterBuffer(Memory, &Image, &Size);
        KelvoDeleteFileWriter(Memory);
        kelvo_file *File = KelvoReadEntireFileFromMemory(Size, Image);
        KelvoFreeMemoryWriterBuffer(Image);
        return File;
    }
};

TEST_F(TreeWalkTest, SoundTreesPassAndEveryDamagedWordIsWalkedSafely) {
    kv2::sample_asset Asset;
    kelvo_file *File = LoadSample(Asset);
    ASSERT_NE(File, nullptr);
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    FILE *Sink = fopen("/dev/null", "w");
    ASSERT_NE(Sink, nullptr);
    kv2::walk_options Printing;
    Printing.Out = Sink;
    Printing.MaxElements = 1000; // every element of the sample
    {
        kv2::section_memory Memory(File);
        kv2::tree_walker Printer(Memory, Printing);
        EXPECT_TRUE(Printer.Walk(Root.Type, Root.Object)) << Printer.Fault();
    }

    // Every word of the section in turn holds a huge count, a small negative
    // one, and a pointer just outside the section; the printer may stop but
    // must read nothing outside it (the sanitizer builds check).
    auto *Section = static_cast<kelvo_uint8 *>(File->Sections[0]);
    kelvo_uint32 Size = KelvoGetKVNSectionArray(File->Header)[0].ExpandedDataSize;
    kelvo_uintaddrx const Words[] = {0x7ffffff0u, (kelvo_uintaddrx)-2,
                                     (kelvo_uintaddrx)(Section + Size)};
    int Refused = 0, Walks = 0;
    for (kelvo_uint32 Offset = 0; Offset + sizeof(kelvo_uintaddrx) <= Size; Offset += 4) {
        for (kelvo_uintaddrx Word : Words) {
            kelvo_uint8 Saved[sizeof(Word)];
            memcpy(Saved, Section + Offset, sizeof(Word));
            memcpy(Section + Offset, &Word, sizeof(Word));
            kv2::section_memory Damaged(File); // definitions are checked afresh
            kv2::tree_walker Printer(Damaged, Printing);
            Refused += !Printer.Walk(Root.Type, Root.Object);
            memcpy(Section + Offset, Saved, sizeof(Word));
            ++Walks;
        }
    }
    fclose(Sink);
    TakeMessages(); // damaged definitions are reported as they are measured
    EXPECT_GT(Refused, Walks / 20);
    KelvoFreeFile(File);
}

TEST_F(TreeWalkTest, DefinitionsAndStringsMustLieInsideTheSections) {
    kv2::sample_asset Asset;
    kelvo_file *File = LoadSample(Asset);
    ASSERT_NE(File, nullptr);
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    kv2::section_memory Memory(File);
    EXPECT_TRUE(Memory.HoldsDefinition(Root.Type));
    // Records are read in place: a definition off its alignment is refused.
    auto const *Shifted = reinterpret_cast<kelvo_data_type_definition const *>(
        reinterpret_cast<kelvo_uint8 const *>(Root.Type) + 2);
    EXPECT_FALSE(Memory.HoldsDefinition(Shifted));
    EXPECT_FALSE(Memory.HoldsDefinition(KelvoFileInfoType)); // the library's own
    auto const *Info = static_cast<kelvo_file_info const *>(Root.Object);
    EXPECT_TRUE(Memory.HoldsString(Info->FromFileName));
    EXPECT_FALSE(Memory.HoldsString("sample.kv2"));
    EXPECT_TRUE(Memory.Holds(Info, sizeof(*Info)));
    kelvo_uint32 Size = KelvoGetKVNSectionArray(File->Header)[0].ExpandedDataSize;
    auto const *End = static_cast<kelvo_uint8 const *>(File->Sections[0]) + Size;
    EXPECT_TRUE(Memory.Holds(End - 4, 4));
    EXPECT_FALSE(Memory.Holds(End - 4, 5));
    // An empty object may sit at the very end, as the library's check
    // holds: it reads nothing there.
    EXPECT_TRUE(Memory.Holds(End, 0));
    EXPECT_FALSE(Memory.Holds(End, 1));

    // The walk refuses the library's own definitions: they lie outside the file.
    kv2::walk_options Quiet;
    Quiet.Out = fopen("/dev/null", "w");
    ASSERT_NE(Quiet.Out, nullptr);
    kv2::tree_walker Printer(Memory, Quiet);
    EXPECT_FALSE(Printer.Walk(KelvoFileInfoType, Root.Object));
    EXPECT_STREQ(Printer.Fault(), "a definition lies outside the loaded sections");
    fclose(Quiet.Out);
    KelvoFreeFile(File);
}

} // namespace
