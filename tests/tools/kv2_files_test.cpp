// What every kv2 command does with files that are not valid and with outputs
// it cannot or must not overwrite: the exit status, a message that names the
// file and the reason, and an existing output left exactly as it was.
#include "foundation/kelvo_memory.h"
#include "kelvo_test.h"
#include "kv2_runner.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#ifdef KELVO_KV2_PATH
namespace {

namespace fs = std::filesystem;

bool Contains(std::string const &Text, std::string const &Part) {
    return Text.find(Part) != std::string::npos;
}

void WriteText(std::string const &Path, std::string const &Content) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Content;
}

void Store32(std::string &Bytes, size_t Offset, kelvo_uint32 Value) {
    memcpy(&Bytes[Offset], &Value, 4);
}

kelvo_uint32 Load32(std::string const &Bytes, size_t Offset) {
    kelvo_uint32 Value;
    memcpy(&Value, &Bytes[Offset], 4);
    return Value;
}

// Offsets in a native file: the header follows the 32-byte magic value
// record, the section array follows the header.
constexpr size_t TotalSizeOffset = 32 + 4;
constexpr size_t CRCOffset = 32 + 8;
constexpr size_t SectionArrayStart = 32 + 56;
constexpr size_t FormatOffset = SectionArrayStart;
constexpr size_t DataOffsetOffset = SectionArrayStart + 4;
constexpr size_t DataSizeOffset = SectionArrayStart + 8;
constexpr size_t ExpandedSizeOffset = SectionArrayStart + 12;
constexpr size_t FixupOffsetOffset = SectionArrayStart + 28;

// The stored CRC made right again, so that only the planted fault remains.
void FixCRC(std::string &Bytes) {
    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, (kelvo_uint32)(Bytes.size() - SectionArrayStart),
                    Bytes.data() + SectionArrayStart);
    KelvoEndCRC32(&CRC);
    Store32(Bytes, CRCOffset, CRC);
}

constexpr kelvo_uint32 HugeSectionSize = INT32_MAX - 3;

enum input_kind { Valid, Missing, Directory, Fifo, Truncated, BadCRC, BadFixup, HugeSection };

class Kv2FilesTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        std::string Pattern = TemporaryPath("kv2_files_XXXXXX");
        ASSERT_NE(mkdtemp(Pattern.data()), nullptr);
        Scratch = Pattern + "/";
        std::string Sample = Scratch + "sample.kv2";
        run_result Made = RunKv2({"make-sample", Sample});
        ASSERT_EQ(Made.Status, 0) << Made.Err;
        SampleBytes = ReadText(Sample);
        ASSERT_GT(SampleBytes.size(), 200u);
        ASSERT_EQ(Load32(SampleBytes, FormatOffset), (kelvo_uint32)KelvoNoCompression);
    }
    void TearDown() override {
        std::error_code Ignored;
        fs::permissions(Scratch + "read_only", fs::perms::owner_all, Ignored);
        fs::remove_all(Scratch, Ignored);
        KelvoTest::TearDown();
    }

    // A fresh input of the kind, named after it.
    std::string MakeInput(input_kind Kind) {
        static char const *const Names[] = {"valid",     "missing", "directory", "fifo",
                                            "truncated", "bad_crc", "bad_fixup", "huge_section"};
        std::string Path = Scratch + Names[Kind] + ".kv2";
        std::string Bytes = SampleBytes;
        switch (Kind) {
        case Missing:
            return Path;
        case Directory:
            fs::create_directory(Path);
            return Path;
        case Fifo:
            EXPECT_EQ(mkfifo(Path.c_str(), 0600), 0);
            return Path;
        case Truncated:
            Bytes.resize(Bytes.size() / 2);
            break;
        case BadCRC:
            Store32(Bytes, CRCOffset, Load32(Bytes, CRCOffset) ^ 1);
            break;
        case BadFixup: // the first pointer fix-up aims at a section there is not
            Store32(Bytes, Load32(Bytes, FixupOffsetOffset) + 4, 6);
            FixCRC(Bytes);
            break;
        case HugeSection: // compressed bytes that could expand to the largest section
            Bytes.append(4096, '\0');
            Store32(Bytes, TotalSizeOffset, (kelvo_uint32)Bytes.size());
            Store32(Bytes, FormatOffset, KelvoFenwa1Compression);
            Store32(Bytes, DataSizeOffset,
                    (kelvo_uint32)Bytes.size() - Load32(Bytes, DataOffsetOffset));
            Store32(Bytes, ExpandedSizeOffset, HugeSectionSize);
            FixCRC(Bytes);
            break;
        case Valid:
            break;
        }
        WriteText(Path, Bytes);
        return Path;
    }

    // Files the tool left behind besides those the test made.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> Found;
        for (fs::directory_entry const &Entry : fs::recursive_directory_iterator(Scratch)) {
            if (Contains(Entry.path().filename().string(), ".kv2-")) {
                Found.push_back(Entry.path().string());
            }
        }
        return Found;
    }

    std::string Scratch;
    std::string SampleBytes;
};

std::string Substitute(std::string Text, std::string const &Path) {
    for (size_t At; (At = Text.find('@')) != std::string::npos;) {
        Text.replace(At, 1, Path);
    }
    return Text;
}

std::vector<std::string> CommandLine(char const *Command, std::string const &In,
                                     std::string const &Out) {
    if (strcmp(Command, "convert") == 0) {
        return {Command, In, Out, "--platform", "32be"};
    }
    if (strcmp(Command, "convert-format") == 0) {
        return {"convert", In, Out, "--platform", "64le", "--format", "2"};
    }
    if (strcmp(Command, "recompress") == 0) {
        return {Command, In, Out, "--format", "2"};
    }
    if (strcmp(Command, "compress") == 0) {
        return {Command, In, Out};
    }
    if (strcmp(Command, "basis") == 0) {
        return {Command, In,       Out,     "--units-per-meter", "1", "--right", "1,0,0", "--up",
                "0,0,1", "--back", "0,-1,0"};
    }
    return {Command, In};
}

bool Writes(char const *Command) {
    return strncmp(Command, "convert", 7) == 0 || strcmp(Command, "recompress") == 0 ||
           strcmp(Command, "compress") == 0 || strcmp(Command, "basis") == 0;
}

char const *const NoFile = "@: cannot open it: no such file";
char const *const IsDirectory = "@: cannot open it: fstat found that \"@\" is a directory, not a "
                                "regular file";
char const *const IsFifo =
    "@: cannot open it: fstat found that \"@\" is a FIFO, not a regular file";
char const *const Truncation = "@: unreadable header: File claims a total size of";
char const *const Mismatch = "@: CRC mismatch\n";
char const *const Launder = "@: CRC mismatch; --ignore-crc rewrites it all the same\n";
char const *const WarnCRC = "kv2: warning: @: CRC mismatch";
char const *const Fixup = "@: loading it met an error: Pointer fix-up 0 of section 0";
// The heap request of the section's block, which its header puts past 32 bits.
std::string const Huge =
    "@: section 0 did not load: Unable to allocate " +
    std::to_string((kelvo_int64)HugeSectionSize + 4 + kelvo::AllocationHeaderSize - 1) +
    " bytes (" + std::to_string(HugeSectionSize) + " requested by ";

// What check says, what info and dump say (and their status), and what
// convert and recompress say ("" when they succeed); '@' is the input.
struct hostile_case {
    input_kind Input;
    std::string Check;
    std::string Show;
    int ShowStatus;
    std::string Rewrite;
};

hostile_case const HostileCases[] = {
    {Missing, NoFile, NoFile, 1, NoFile},    {Directory, IsDirectory, IsDirectory, 1, IsDirectory},
    {Fifo, IsFifo, IsFifo, 1, IsFifo},       {Truncated, Truncation, Truncation, 1, Truncation},
    {BadCRC, Mismatch, WarnCRC, 0, Launder}, {BadFixup, Fixup, Fixup, 1, Fixup},
    {HugeSection, Huge, Huge, 1, Huge},      {Valid, "ok      @\n", "type tag 0x80000020", 0, ""},
};

// Each command on each kind of input, writing over an existing output
// beside it and then over the input itself.
TEST_F(Kv2FilesTest, EveryCommandRefusesWhatIsNotAValidFileAndLosesNothing) {
    std::string const Precious = "an existing file that a failure must leave alone";
    for (hostile_case const &Case : HostileCases) {
        std::string In = MakeInput(Case.Input);
        for (char const *Command :
             {"check", "info", "dump", "convert", "convert-format", "recompress", "compress",
              "basis"}) {
            std::string Out = Scratch + "existing_output.kv2";
            WriteText(Out, Precious);
            std::string What = std::string(Command) + " " + In;
            bool Checks = strcmp(Command, "check") == 0;
            int Status = Checks            ? Case.Input != Valid
                         : Writes(Command) ? !Case.Rewrite.empty()
                                           : Case.ShowStatus;
            std::string Fragment = Substitute(Checks            ? Case.Check
                                              : Writes(Command) ? Case.Rewrite
                                                                : Case.Show,
                                              In);

            run_result Result = RunKv2(CommandLine(Command, In, Out));
            EXPECT_EQ(Result.Status, Status) << What << "\n" << Result.Out << Result.Err;
            EXPECT_TRUE(Contains(Result.Out + Result.Err, Fragment))
                << What << ": no \"" << Fragment << "\" in\n"
                << Result.Out << Result.Err;
            if (Status == 0 && Writes(Command)) {
                run_result Check = RunKv2({"check", Out});
                EXPECT_EQ(Check.Status, 0) << What << "\n" << Check.Out;
            } else {
                EXPECT_EQ(ReadText(Out), Precious) << What;
            }
            if (Writes(Command) && Status != 0 && fs::is_regular_file(In)) {
                std::string Before = ReadText(In);
                run_result Over = RunKv2(CommandLine(Command, In, In));
                EXPECT_EQ(Over.Status, Status) << What << " over itself";
                EXPECT_EQ(ReadText(In), Before) << What << " over itself";
            }
            EXPECT_EQ(Leftovers(), std::vector<std::string>()) << What;
        }
    }
}

TEST_F(Kv2FilesTest, IgnoreCRCRewritesAMismatchWithAWarning) {
    // Recompression reads through the library's CRC check: a big-endian
    // input shows the CRC stored in the file's own order.
    std::string BigEndian = Scratch + "big_endian.kv2";
    ASSERT_EQ(RunKv2({"convert", MakeInput(Valid), BigEndian, "--platform", "64be"}).Status, 0);
    std::string Bytes = ReadText(BigEndian);
    Bytes[CRCOffset] ^= 1;
    WriteText(BigEndian, Bytes);
    std::string Native = MakeInput(BadCRC);
    std::vector<std::vector<std::string>> const Commands = {
        {"convert", Native, "--platform", "64be"},
        {"recompress", Native, "--format", "0"},
        {"recompress", BigEndian, "--format", "2"}};
    for (std::vector<std::string> Command : Commands) {
        std::string In = Command[1], Out = Scratch + "rewritten.kv2";
        Command.insert(Command.begin() + 2, Out);
        Command.push_back("--ignore-crc");
        run_result Result = RunKv2(Command);
        EXPECT_EQ(Result.Status, 0) << Command[0] << " " << In << ": " << Result.Err;
        EXPECT_TRUE(Contains(Result.Err, Substitute(WarnCRC, In))) << Result.Err;
        EXPECT_EQ(RunKv2({"check", Out}).Status, 0) << Command[0] << " " << In;
        EXPECT_EQ(Leftovers(), std::vector<std::string>()) << Command[0] << " " << In;
    }
}

TEST_F(Kv2FilesTest, AnOutputOverItsInputReplacesItWhole) {
    std::string Sample = MakeInput(Valid);
    run_result Converted = RunKv2({"convert", Sample, Sample, "--platform", "32be"});
    EXPECT_EQ(Converted.Status, 0) << Converted.Err;
    run_result Info = RunKv2({"info", Sample});
    EXPECT_EQ(Info.Status, 0) << Info.Err;
    EXPECT_TRUE(Contains(Info.Out, "platform      32-bit big-endian")) << Info.Out;

    run_result Recompressed = RunKv2({"recompress", Sample, Sample, "--format", "2"});
    EXPECT_EQ(Recompressed.Status, 0) << Recompressed.Err;
    EXPECT_TRUE(Contains(RunKv2({"info", Sample}).Out, "Fenwa1"));
    EXPECT_EQ(RunKv2({"check", Sample}).Status, 0);
    EXPECT_EQ(Leftovers(), std::vector<std::string>());
}

TEST_F(Kv2FilesTest, RecompressingThereAndBackGivesTheSameBytes) {
    std::string Sample = MakeInput(Valid);
    std::string Packed = Scratch + "packed.kv2";
    std::string Back = Scratch + "back.kv2";
    EXPECT_EQ(RunKv2({"recompress", Sample, Packed}).Status, 0);
    EXPECT_EQ(Load32(ReadText(Packed), FormatOffset), (kelvo_uint32)KelvoFenwa1Compression);
    EXPECT_EQ(RunKv2({"recompress", Packed, Back, "--format", "0"}).Status, 0);
    EXPECT_EQ(ReadText(Back), SampleBytes);
}

// Writes that stop at a file size limit, as on a full disk.
TEST_F(Kv2FilesTest, AWriteThatFailsHalfwayLeavesTheOutputAsItWas) {
    std::string Sample = MakeInput(Valid);
    std::string Out = Scratch + "existing_output.kv2";
    for (char const *Command : {"convert", "convert-format", "recompress"}) {
        WriteText(Out, "kept");
        run_result Result =
            RunKv2(CommandLine(Command, Sample, Out), "trap '' XFSZ; ulimit -f 4; ");
        EXPECT_EQ(Result.Status, 1) << Command << "\n" << Result.Err;
        EXPECT_TRUE(Contains(Result.Err, " " + Sample + " into " + Out +
                                             ": write failed with error \"" + strerror(EFBIG)))
            << Result.Err;
        EXPECT_EQ(ReadText(Out), "kept") << Command;
        EXPECT_EQ(Leftovers(), std::vector<std::string>()) << Command;
    }
}

// The output's place is blamed, not the input, and nothing is left there.
TEST_F(Kv2FilesTest, AnOutputThatCannotBeWrittenIsNamedWithTheReason) {
    std::string Sample = MakeInput(Valid);
    // Permissions do not bind the superuser; a missing directory fails the same way.
    std::string Unwritable = Scratch + "read_only";
    fs::create_directory(Unwritable);
    WriteText(Unwritable + "/out.kv2", "kept");
    fs::permissions(Unwritable, fs::perms::owner_read | fs::perms::owner_exec);
    std::string Place = geteuid() == 0 ? Scratch + "no_such_directory" : Unwritable;
    std::string Reason = geteuid() == 0 ? strerror(ENOENT) : strerror(EACCES);
    std::string Blocker = Scratch + "a_directory.kv2";
    fs::create_directory(Blocker);

    struct output_case {
        char const *Command;
        std::string Out;
        std::string Fragment;
    } const Cases[] = {
        {"convert", Place + "/out.kv2",
         Place + "/out.kv2: cannot write it: cannot create a temporary file in " + Place +
             "/: " + Reason},
        {"convert-format", Place + "/out.kv2",
         Place + "/out.kv2: cannot write it: cannot create a temporary file in " + Place +
             "/: " + Reason},
        {"recompress", Place + "/out.kv2",
         Place + "/out.kv2: cannot write it: cannot create a temporary file"},
        {"convert", Blocker, Blocker + ": cannot write it: it is a directory"},
    };
    for (output_case const &Case : Cases) {
        run_result Result = RunKv2(CommandLine(Case.Command, Sample, Case.Out));
        EXPECT_EQ(Result.Status, 1) << Case.Command << " " << Case.Out;
        EXPECT_TRUE(Contains(Result.Err, "kv2: " + Case.Fragment)) << Result.Err;
        EXPECT_FALSE(Contains(Result.Err, Sample)) << Result.Err;
    }
    EXPECT_EQ(ReadText(Unwritable + "/out.kv2"), "kept");
    EXPECT_TRUE(fs::is_directory(Blocker));
    EXPECT_EQ(Leftovers(), std::vector<std::string>());
}

} // namespace
#endif
