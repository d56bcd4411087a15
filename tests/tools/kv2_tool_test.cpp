// The kv2 tool as a user runs it: output, error lines and exit statuses.
#include "kelvo2.h"
#include "kv2_runner.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

std::string TemporaryPath(char const *Name);

namespace {

class Kv2ToolTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (std::string const &Path : Paths) {
            unlink(Path.c_str());
        }
    }

    std::string MakeFile(char const *Name, std::string const &Content) {
        std::string Path = TemporaryPath(Name);
        std::ofstream(Path, std::ios::binary) << Content;
        Paths.push_back(Path);
        return Path;
    }

    run_result Run(std::vector<std::string> const &Arguments) { return RunKv2(Arguments); }

    std::vector<std::string> Paths;
};

TEST_F(Kv2ToolTest, VersionIsTheLibraryVersion) {
    run_result Result = Run({"version"});
    EXPECT_EQ(Result.Status, 0);
    EXPECT_EQ(Result.Out, std::string(KelvoGetVersionString()) + "\n");
    EXPECT_EQ(Result.Err, "");
}

TEST_F(Kv2ToolTest, CRCOfEachFileInChecksumToolFormat) {
    std::string Check = MakeFile("check.txt", "123456789");
    std::string Empty = MakeFile("empty.txt", "");
    // Several 64 KiB chunks and a partial one.
    std::string Large;
    for (int Index = 0; Index < 200001; ++Index) {
        Large.push_back((char)(Index * 13 + (Index >> 9)));
    }
    std::string LargePath = MakeFile("large.bin", Large);
    kelvo_uint32 LargeCRC;
    KelvoBeginCRC32(&LargeCRC);
    KelvoAddToCRC32(&LargeCRC, (kelvo_uint32)Large.size(), Large.data());
    KelvoEndCRC32(&LargeCRC);
    char LargeHex[9];
    snprintf(LargeHex, sizeof(LargeHex), "%08x", (unsigned)LargeCRC);

    run_result Result = Run({"crc", Check, Empty, LargePath});
    EXPECT_EQ(Result.Status, 0);
    EXPECT_EQ(Result.Out, "cbf43926  " + Check + "\n" + "00000000  " + Empty + "\n" + LargeHex +
                              "  " + LargePath + "\n");
    EXPECT_EQ(Result.Err, "");
}

TEST_F(Kv2ToolTest, UnreadableFilesAreReportedAndTheRestStillDone) {
    std::string Check = MakeFile("check2.txt", "123456789");
    std::string Missing = TemporaryPath("no_such_file");
    std::string Directory = "/";
    run_result Result = Run({"crc", Missing, Check, Directory});
    EXPECT_EQ(Result.Status, 1);
    EXPECT_EQ(Result.Out, "cbf43926  " + Check + "\n");
    // The library's own report of the directory comes first.
    EXPECT_NE(Result.Err.find("kv2: " + Missing + ": cannot open it: no such file\n"),
              std::string::npos)
        << Result.Err;
    EXPECT_NE(Result.Err.find("kv2: /: cannot open it: fstat found that \"/\" is a directory"),
              std::string::npos)
        << Result.Err;
}

TEST_F(Kv2ToolTest, UsageAndCommandLineMistakes) {
    run_result Bare = Run({});
    EXPECT_EQ(Bare.Status, 2);
    EXPECT_EQ(Bare.Out, "");
    EXPECT_NE(Bare.Err.find("usage: kv2"), std::string::npos);

    for (char const *Help : {"--help", "help"}) {
        run_result Result = Run({Help});
        EXPECT_EQ(Result.Status, 0) << Help;
        EXPECT_NE(Result.Out.find("version"), std::string::npos) << Help;
        EXPECT_NE(Result.Out.find("crc FILE..."), std::string::npos) << Help;
        EXPECT_EQ(Result.Err, "") << Help;
    }

    run_result Unknown = Run({"frobnicate", "x"});
    EXPECT_EQ(Unknown.Status, 2);
    EXPECT_EQ(Unknown.Out, "");
    EXPECT_EQ(Unknown.Err, "kv2: unknown command 'frobnicate' (try 'kv2 --help')\n");

    run_result NoFile = Run({"crc"});
    EXPECT_EQ(NoFile.Status, 2);
    EXPECT_EQ(NoFile.Err, "kv2: crc needs at least one FILE\n");

    run_result Extra = Run({"version", "now"});
    EXPECT_EQ(Extra.Status, 2);
    EXPECT_EQ(Extra.Err, "kv2: version takes no arguments\n");
}

// The commands that rewrite files share one reading of their options.
TEST_F(Kv2ToolTest, RewritingCommandsRefuseTheSameOptionMistakes) {
    std::string In = TemporaryPath("options_in.kv2");
    std::string Out = TemporaryPath("options_out.kv2");
    Paths.push_back(In);
    ASSERT_EQ(Run({"make-sample", In}).Status, 0);
    std::vector<std::vector<std::string>> const Valid = {
        {"convert", In, Out, "--platform", "64le"},
        {"recompress", In, Out},
        {"compress", In, Out},
        {"basis", In, Out, "--units-per-meter", "1", "--right", "1,0,0", "--up", "0,1,0",
         "--back", "0,0,1"}};
    std::vector<std::vector<std::string>> const Mistakes = {
        {"--ignore-crc", "--ignore-crc"}, {"--format"}, {"--bogus", "1"}};
    for (std::vector<std::string> const &Command : Valid) {
        EXPECT_EQ(Run(Command).Status, 0) << Command[0];
        unlink(Out.c_str());
        for (std::vector<std::string> const &Mistake : Mistakes) {
            std::vector<std::string> Wrong = Command;
            Wrong.insert(Wrong.end(), Mistake.begin(), Mistake.end());
            run_result Result = Run(Wrong);
            EXPECT_EQ(Result.Status, 2) << Command[0] << " " << Mistake[0];
            EXPECT_EQ(access(Out.c_str(), F_OK), -1) << Command[0] << " " << Mistake[0];
        }
    }
}

} // namespace
