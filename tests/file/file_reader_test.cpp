// Readers: the memory reader's clipping against hostile positions and counts,
// the operating-system reader on real files, and the open callback.
#include "kelvo_test.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

class FileReaderTest : public KelvoTest {
  protected:
    void TearDown() override {
        for (std::string const &Path : Paths) {
            unlink(Path.c_str());
        }
        KelvoTest::TearDown();
    }

    // A file with the given bytes, removed after the test.
    std::string MakeFile(char const *Name, std::string const &Content) {
        std::string Path = TemporaryPath(Name);
        FILE *File = fopen(Path.c_str(), "wb");
        EXPECT_NE(File, nullptr);
        if (File) {
            fwrite(Content.data(), 1, Content.size(), File);
            fclose(File);
        }
        Paths.push_back(Path);
        return Path;
    }

    std::vector<std::string> Paths;
};

kelvo_uint8 const Block[10] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};

TEST_F(FileReaderTest, MemoryReaderCoversOnlyItsBlock) {
    kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(__FILE__, __LINE__, 100, 10, Block);
    ASSERT_NE(Reader, nullptr);
    char Buffer[16];
    memset(Buffer, '#', sizeof(Buffer));

    EXPECT_EQ(KelvoReadAtMost(Reader, 99, 8, Buffer), 0);
    EXPECT_EQ(KelvoReadAtMost(Reader, 110, 8, Buffer), 0);
    EXPECT_EQ(KelvoReadAtMost(Reader, 105, 8, Buffer), 5);
    EXPECT_EQ(std::string(Buffer, 6), "fghij#") << "wrote past the clipped count";

    EXPECT_EQ(KelvoReadAtMost(Reader, 100, 10, Buffer), 10);
    EXPECT_EQ(std::string(Buffer, 10), "abcdefghij");
    EXPECT_EQ(KelvoReadAtMost(Reader, 109, 1, Buffer), 1);
    EXPECT_EQ(Buffer[0], 'j');
    KelvoCloseFileReader(Reader);
}

TEST_F(FileReaderTest, MemoryReaderRefusesHostilePositionsAndCounts) {
    char Buffer[16];
    // The block's end lies past the 32-bit range: nothing may wrap around.
    kelvo_file_reader *High =
        KelvoCreateMemoryFileReader(__FILE__, __LINE__, INT32_MAX - 4, 10, Block);
    ASSERT_NE(High, nullptr);
    EXPECT_EQ(KelvoReadAtMost(High, INT32_MIN, 8, Buffer), 0);
    EXPECT_EQ(KelvoReadAtMost(High, -1, 8, Buffer), 0);
    // Its last 32-bit position is byte 4; the rest lies beyond and comes with it.
    EXPECT_EQ(KelvoReadAtMost(High, INT32_MAX, INT32_MAX, Buffer), 6);
    EXPECT_EQ(std::string(Buffer, 6), "efghij");
    EXPECT_EQ(KelvoReadAtMost(High, INT32_MAX - 4, 16, Buffer), 10);
    KelvoCloseFileReader(High);

    kelvo_file_reader *Low = KelvoCreateMemoryFileReader(__FILE__, __LINE__, INT32_MIN, 10, Block);
    ASSERT_NE(Low, nullptr);
    EXPECT_EQ(KelvoReadAtMost(Low, INT32_MIN + 9, INT32_MAX, Buffer), 1);
    EXPECT_EQ(Buffer[0], 'j');
    EXPECT_EQ(KelvoReadAtMost(Low, INT32_MAX, 1, Buffer), 0);
    EXPECT_EQ(KelvoReadAtMost(Low, INT32_MIN, -5, Buffer), 0);
    EXPECT_EQ(KelvoReadAtMost(Low, INT32_MIN, 0, nullptr), 0);
    EXPECT_EQ(KelvoReadAtMost(Low, INT32_MIN, 4, nullptr), 0);
    ExpectLogged(KelvoErrorLogMessage, "Buffer is not allowed to be 0");
    KelvoCloseFileReader(Low);
}

TEST_F(FileReaderTest, MemoryReaderRefusesBlocksItCannotRead) {
    EXPECT_EQ(KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, -1, Block), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "MemorySize >= 0 was not true");
    EXPECT_EQ(KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, 10, nullptr), nullptr);
    // The report names the caller, not the reader module.
    ExpectLogged(KelvoErrorLogMessage, "file_reader_test.cpp");

    kelvo_file_reader *Empty = KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, 0, nullptr);
    ASSERT_NE(Empty, nullptr);
    char Buffer[4];
    EXPECT_EQ(KelvoReadAtMost(Empty, 0, 4, Buffer), 0);
    KelvoCloseFileReader(Empty);
}

TEST_F(FileReaderTest, PlatformReaderReadsAtAbsolutePositions) {
    std::string Content;
    for (int Index = 0; Index < 200000; ++Index) {
        Content.push_back((char)(Index * 7 + Index / 251));
    }
    std::string Path = MakeFile("positions.bin", Content);
    kelvo_file_reader *Reader = KelvoCreatePlatformFileReader(__FILE__, __LINE__, Path.c_str());
    ASSERT_NE(Reader, nullptr);

    std::string Buffer(Content.size() + 100, '\0');
    // Backwards, so that a reader keeping a cursor would go wrong.
    EXPECT_EQ(KelvoReadAtMost(Reader, 150000, 1000, &Buffer[0]), 1000);
    EXPECT_EQ(Buffer.substr(0, 1000), Content.substr(150000, 1000));
    EXPECT_EQ(KelvoReadAtMost(Reader, 3, 5, &Buffer[0]), 5);
    EXPECT_EQ(Buffer.substr(0, 5), Content.substr(3, 5));
    // The whole file in one call, asking for more than there is.
    EXPECT_EQ(KelvoReadAtMost(Reader, 0, (kelvo_int32)Buffer.size(), &Buffer[0]),
              (kelvo_int32)Content.size());
    EXPECT_EQ(Buffer.substr(0, Content.size()), Content);

    EXPECT_EQ(KelvoReadAtMost(Reader, (kelvo_int32)Content.size(), 10, &Buffer[0]), 0);
    EXPECT_EQ(KelvoReadAtMost(Reader, INT32_MAX, 10, &Buffer[0]), 0);
    EXPECT_EQ(KelvoReadAtMost(Reader, -1, 10, &Buffer[0]), 0);
    EXPECT_EQ(KelvoReadAtMost(Reader, 0, -10, &Buffer[0]), 0);
    EXPECT_EQ(KelvoReadAtMost(Reader, 0, 10, nullptr), 0);
    ExpectLogged(KelvoErrorLogMessage, "Buffer is not allowed to be 0");
    KelvoCloseFileReader(Reader);
}

// A missing file is an ordinary answer; anything but a regular file is
// refused at once (a FIFO without a writer would block the open forever).
TEST_F(FileReaderTest, WhatIsNotARegularFileGivesNoReader) {
    std::string Missing = TemporaryPath("does_not_exist.bin");
    EXPECT_EQ(KelvoCreatePlatformFileReader(__FILE__, __LINE__, Missing.c_str()), nullptr);
    EXPECT_EQ(KelvoOpenFileReader(Missing.c_str()), nullptr);
    EXPECT_TRUE(Messages().empty());

    std::string Fifo = TemporaryPath("fifo");
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    std::string Directory = KelvoGetTemporaryDirectory();
    struct {
        std::string Path;
        char const *Kind;
    } const Cases[] = {
        {Directory, "a directory"}, {Fifo, "a FIFO"}, {"/dev/null", "a character device"}};
    for (auto const &Case : Cases) {
        EXPECT_EQ(KelvoOpenFileReader(Case.Path.c_str()), nullptr) << Case.Path;
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoWin32SubsystemLogMessage,
                         "fstat found that \"" + Case.Path + "\" is " + Case.Kind +
                             ", not a regular file");
    }
    unlink(Fifo.c_str());

    EXPECT_EQ(KelvoCreatePlatformFileReader(__FILE__, __LINE__, nullptr), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "FileNameToOpen is not allowed to be 0");
}

kelvo_file_reader *KELVO_CALLBACK OpenFromMemory(char const *SourceFileName,
                                                 kelvo_int32 SourceLineNumber, char const *) {
    return KelvoCreateMemoryFileReader(SourceFileName, SourceLineNumber, 0, 10, Block);
}

TEST_F(FileReaderTest, OpenCallbackDecidesWhatEveryOpenReads) {
    kelvo_open_file_reader_callback *Default = KelvoGetDefaultFileReaderOpenCallback();
    EXPECT_EQ(Default, &KelvoCreatePlatformFileReader);

    KelvoSetDefaultFileReaderOpenCallback(&OpenFromMemory);
    kelvo_file_reader *Reader = KelvoOpenFileReader("any name at all");
    ASSERT_NE(Reader, nullptr);
    char Buffer[10];
    EXPECT_EQ(KelvoReadAtMost(Reader, 0, 10, Buffer), 10);
    KelvoCloseFileReader(Reader);

    // Null brings the default back instead of leaving a null to call through.
    KelvoSetDefaultFileReaderOpenCallback(nullptr);
    EXPECT_EQ(KelvoGetDefaultFileReaderOpenCallback(), Default);

    kelvo_file_reader *None = nullptr;
    KelvoCloseFileReader(None);
}

} // namespace
