// Writers: the memory writer's growth, seeking, stealing and limits, the
// operating-system writer on real files (round trips, locking, failures), the
// CRC every writer keeps, and the file operations built on readers and writers.
#include "file/kelvo_file_operations.h"
#include "file/kelvo_file_writer.h"
#include "kelvo_platform.h"
#include "kelvo_test.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace {

std::string ReadWholeFile(std::string const &Path) {
    std::string Content;
    FILE *File = fopen(Path.c_str(), "rb");
    if (File) {
        char Chunk[4096];
        size_t Read;
        while ((Read = fread(Chunk, 1, sizeof(Chunk), File)) > 0) {
            Content.append(Chunk, Read);
        }
        fclose(File);
    }
    return Content;
}

kelvo_uint32 ReferenceCRC(std::string const &Data) {
    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, (kelvo_uint32)Data.size(), Data.data());
    KelvoEndCRC32(&CRC);
    return CRC;
}

std::string StealAll(kelvo_file_writer *Writer) {
    kelvo_uint8 *Buffer = nullptr;
    kelvo_int32 Size = -1;
    EXPECT_TRUE(KelvoStealMemoryWriterBuffer(Writer, &Buffer, &Size));
    std::string Content(reinterpret_cast<char const *>(Buffer), Buffer ? (size_t)Size : 0);
    KelvoFreeMemoryWriterBuffer(Buffer);
    return Content;
}

class FileWriterTest : public KelvoTest {
  protected:
    void TearDown() override {
        for (std::string const &Path : Paths) {
            unlink(Path.c_str());
        }
        KelvoTest::TearDown();
    }

    std::string Path(char const *Name) {
        Paths.push_back(TemporaryPath(Name));
        unlink(Paths.back().c_str());
        return Paths.back();
    }

    std::vector<std::string> Paths;
};

using MemoryWriterTest = FileWriterTest;

kelvo::memory_file_writer &Record(kelvo_file_writer *Writer) {
    return *reinterpret_cast<kelvo::memory_file_writer *>(Writer);
}

TEST_F(MemoryWriterTest, GrowsInWholeStepsAndSeekingKeepsTheSize) {
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    ASSERT_NE(Writer, nullptr);
    EXPECT_TRUE(KelvoWrite(Writer, 10, "0123456789"));
    EXPECT_EQ(Record(Writer).Capacity, 4096);
    EXPECT_EQ(KelvoSeekWriterFromStart(Writer, 10000), 10000);
    EXPECT_EQ(Record(Writer).Capacity, 12288);
    EXPECT_EQ(Record(Writer).Size, 10);
    EXPECT_EQ(KelvoSeekWriterFromEnd(Writer, 0), 10);
    EXPECT_EQ(StealAll(Writer), "0123456789");
    KelvoDeleteFileWriter(Writer);
}

TEST_F(MemoryWriterTest, WritesOverwriteExtendAndZeroTheGapAfterASeek) {
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 3);
    ASSERT_NE(Writer, nullptr);
    EXPECT_TRUE(KelvoWrite(Writer, 6, "abcdef"));
    EXPECT_EQ(KelvoSeekWriterFromStart(Writer, 2), 2);
    EXPECT_TRUE(KelvoWrite(Writer, 2, "XY"));
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 0), 4);
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, -1), 3);
    // Past the end: the skipped bytes must not be whatever the heap held.
    EXPECT_EQ(KelvoSeekWriterFromEnd(Writer, 4), 10);
    EXPECT_TRUE(KelvoWrite(Writer, 1, "!"));
    EXPECT_TRUE(KelvoWrite(Writer, 0, nullptr));
    EXPECT_EQ(StealAll(Writer), std::string("abXYef\0\0\0\0!", 11));
    KelvoDeleteFileWriter(Writer);
}

TEST_F(MemoryWriterTest, RefusedSeeksLeaveThePositionAlone) {
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 16);
    ASSERT_NE(Writer, nullptr);
    EXPECT_TRUE(KelvoWrite(Writer, 4, "abcd"));

    EXPECT_EQ(KelvoSeekWriterFromStart(Writer, -1), 0);
    ExpectLogged(KelvoErrorLogMessage,
                 "Attempting to seek before beginning of a memory stream [r: -1]");
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, INT32_MIN), 0);
    ExpectLogged(KelvoErrorLogMessage, "Attempting to seek before beginning");
    EXPECT_EQ(
        Writer->SeekWriterCallback(__FILE__, __LINE__, Writer, 1, (kelvo_file_writer_seek_type)7),
        0);
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 0), 4);
    EXPECT_EQ(KelvoSeekWriterFromStart(nullptr, 0), 0);
    ExpectLogged(KelvoErrorLogMessage, "Writer is not allowed to be 0");
    KelvoDeleteFileWriter(Writer);
}

TEST_F(MemoryWriterTest, RefusesToPassThe32BitLimit) {
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 16);
    ASSERT_NE(Writer, nullptr);
    // Reaching this position for real would need a 2 GiB buffer; the guard
    // only looks at the position.
    Record(Writer).Position = INT32_MAX - 4;
    EXPECT_FALSE(KelvoWrite(Writer, 10, "0123456789"));
    ExpectLogged(KelvoErrorLogMessage, "Position 2147483653 is beyond the 32-bit range");
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 10), 0);
    ExpectLogged(KelvoErrorLogMessage, "beyond the 32-bit range of a memory stream");
    EXPECT_EQ(Record(Writer).Buffer, nullptr) << "nothing may be allocated for it";
    EXPECT_EQ(Record(Writer).Position, INT32_MAX - 4);
    Record(Writer).Position = 0;

    EXPECT_FALSE(KelvoWrite(Writer, -1, "x"));
    ExpectLogged(KelvoErrorLogMessage, "UInt8Count >= 0 was not true");
    EXPECT_FALSE(KelvoWrite(Writer, 1, nullptr));
    ExpectLogged(KelvoErrorLogMessage, "WritePointer is not allowed to be 0");
    KelvoDeleteFileWriter(Writer);

    EXPECT_EQ(KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 0), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Granularity 0 of a memory writer is less than 1");
    EXPECT_EQ(KelvoCreateMemoryFileWriter(__FILE__, __LINE__, -4096), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "file_writer_test.cpp");
}

// Refuses blocks above a limit and records who asked.
class LimitedAllocatorTest : public FileWriterTest {
  protected:
    void SetUp() override {
        FileWriterTest::SetUp();
        Heap = std::make_unique<failing_allocator>(0, false, false);
    }
    void TearDown() override {
        Heap.reset();
        FileWriterTest::TearDown();
    }
    std::unique_ptr<failing_allocator> Heap;
};

TEST_F(LimitedAllocatorTest, FailedGrowthLeavesTheWriterAsItWas) {
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    ASSERT_NE(Writer, nullptr);
    EXPECT_TRUE(KelvoWrite(Writer, 5, "hello"));
    Heap->SizeLimit = 4096;

    EXPECT_EQ(KelvoSeekWriterFromStart(Writer, 100000), 0);
    ExpectLogged(KelvoErrorLogMessage,
                 "Unable to grow memory stream to requested size [r: 100000 curr: 4096]");
    std::string Big(5000, 'b');
    EXPECT_FALSE(KelvoWrite(Writer, (kelvo_int32)Big.size(), Big.data()));
    ExpectLogged(KelvoErrorLogMessage, "[r: 5005 curr: 4096]");

    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 0), 5);
    EXPECT_TRUE(KelvoWrite(Writer, 6, " world"));
    EXPECT_EQ(StealAll(Writer), "hello world");
    KelvoDeleteFileWriter(Writer);

    // Every block was asked for in the caller's name.
    for (std::string const &File : Heap->Callers) {
        EXPECT_NE(File.find("file_writer_test.cpp"), std::string::npos) << File;
    }
}

TEST_F(LimitedAllocatorTest, WriterThatCannotBeAllocatedIsReported) {
    Heap->SizeLimit = 0;
    EXPECT_EQ(KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 64), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Unable to allocate a memory writer...");
    EXPECT_EQ(KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, 4, "abcd"), nullptr);
}

TEST_F(MemoryWriterTest, BufferCanBeStolenOnlyOnce) {
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 8);
    ASSERT_NE(Writer, nullptr);
    EXPECT_TRUE(KelvoWrite(Writer, 3, "abc"));
    EXPECT_EQ(StealAll(Writer), "abc");
    EXPECT_EQ(KelvoSeekWriterFromEnd(Writer, 0), 0) << "the stream starts over";

    // Written after the theft: the writer owns it again and frees it on delete.
    EXPECT_TRUE(KelvoWrite(Writer, 2, "de"));
    kelvo_uint8 *Buffer = reinterpret_cast<kelvo_uint8 *>(1);
    kelvo_int32 Size = 99;
    EXPECT_FALSE(KelvoStealMemoryWriterBuffer(Writer, &Buffer, &Size));
    EXPECT_EQ(Buffer, nullptr);
    EXPECT_EQ(Size, 0);
    EXPECT_FALSE(KelvoStealMemoryWriterBuffer(Writer, nullptr, &Size));
    ExpectLogged(KelvoErrorLogMessage, "Buffer is not allowed to be 0");
    KelvoDeleteFileWriter(Writer);

    // Any other writer has another record behind the head.
    kelvo_file_writer Other;
    KelvoInitializeFileWriter(__FILE__, __LINE__, nullptr, nullptr, nullptr, nullptr, nullptr,
                              &Other);
    EXPECT_FALSE(KelvoStealMemoryWriterBuffer(&Other, &Buffer, &Size));
    ExpectLogged(KelvoErrorLogMessage, "IsMemoryWriter(Writer) was not true");
    KelvoFreeMemoryWriterBuffer(nullptr);
}

TEST_F(FileWriterTest, AlignmentPadsWithZerosToAMultipleOfFour) {
    EXPECT_EQ(KelvoPredictWriterAlignment(8), 0);
    EXPECT_EQ(KelvoPredictWriterAlignment(9), 3);
    EXPECT_EQ(KelvoPredictWriterAlignment(11), 1);
    EXPECT_EQ(KelvoPredictWriterAlignment(0), 0);

    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 64);
    ASSERT_NE(Writer, nullptr);
    EXPECT_EQ(KelvoAlignWriter(Writer), 0);
    EXPECT_TRUE(KelvoWrite(Writer, 5, "\1\2\3\4\5"));
    EXPECT_EQ(KelvoAlignWriter(Writer), 3);
    EXPECT_EQ(KelvoAlignWriter(Writer), 0);
    EXPECT_EQ(StealAll(Writer), std::string("\1\2\3\4\5\0\0\0", 8));
    KelvoDeleteFileWriter(Writer);
}

// Every writer: the CRC covers exactly the bytes written between begin and end.
void CheckWriterCRC(kelvo_file_writer *Writer) {
    KelvoBeginWriterCRC(Writer);
    EXPECT_EQ(KelvoEndWriterCRC(Writer), 0u) << "an empty CRC";

    EXPECT_TRUE(KelvoWrite(Writer, 4, "skip"));
    KelvoBeginWriterCRC(Writer);
    EXPECT_TRUE(Writer->CRCing);
    std::string Data;
    for (int Index = 0; Index < 1000; ++Index) {
        Data.push_back((char)(Index * 31));
    }
    EXPECT_TRUE(KelvoWrite(Writer, 300, Data.data()));
    EXPECT_TRUE(KelvoWrite(Writer, 700, Data.data() + 300));
    EXPECT_EQ(KelvoEndWriterCRC(Writer), ReferenceCRC(Data));
    EXPECT_FALSE(Writer->CRCing);
    EXPECT_TRUE(KelvoWrite(Writer, 4, "more"));
    EXPECT_EQ(Writer->CRC, ReferenceCRC(Data)) << "no CRCing after the end";
}

TEST_F(FileWriterTest, EveryWriterKeepsTheCRCOfWhatItWrites) {
    kelvo_file_writer *Memory = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 100);
    ASSERT_NE(Memory, nullptr);
    EXPECT_FALSE(Memory->CRCing);
    EXPECT_EQ(Memory->CRC, 0u);
    CheckWriterCRC(Memory);
    KelvoDeleteFileWriter(Memory);

    std::string File = Path("crc.bin");
    kelvo_file_writer *Platform = KelvoOpenFileWriter(File.c_str(), 1);
    ASSERT_NE(Platform, nullptr);
    EXPECT_EQ(Platform->CRC, 0u);
    CheckWriterCRC(Platform);
    KelvoDeleteFileWriter(Platform);
}

TEST_F(FileWriterTest, PlatformWriterRoundTripsThroughThePlatformReader) {
    std::string File = Path("round_trip.bin");
    std::string Data;
    for (int Index = 0; Index < 100000; ++Index) {
        Data.push_back((char)(Index ^ (Index >> 8)));
    }
    kelvo_file_writer *Writer = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, File.c_str(), 1);
    ASSERT_NE(Writer, nullptr);
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 0), 0);
    EXPECT_TRUE(KelvoWrite(Writer, (kelvo_int32)Data.size(), Data.data()));
    EXPECT_EQ(KelvoSeekWriterFromStart(Writer, 10), 10);
    EXPECT_TRUE(KelvoWrite(Writer, 3, "ABC"));
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 0), 13);
    // The same seek lands on the same byte in either kind of writer.
    EXPECT_EQ(KelvoSeekWriterFromEnd(Writer, -2), (kelvo_int32)Data.size() - 2);
    EXPECT_TRUE(KelvoWrite(Writer, 4, "tail"));
    EXPECT_EQ(
        Writer->SeekWriterCallback(__FILE__, __LINE__, Writer, 5, (kelvo_file_writer_seek_type)3),
        0);
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 0), (kelvo_int32)Data.size() + 2);
    KelvoDeleteFileWriter(Writer);

    std::string Expected = Data;
    Expected.replace(10, 3, "ABC");
    Expected.replace(Data.size() - 2, 2, "tail");
    kelvo_file_reader *Reader = KelvoOpenFileReader(File.c_str());
    ASSERT_NE(Reader, nullptr);
    std::string Back(Expected.size() + 10, '\0');
    EXPECT_EQ(KelvoReadAtMost(Reader, 0, (kelvo_int32)Back.size(), &Back[0]),
              (kelvo_int32)Expected.size());
    Back.resize(Expected.size());
    EXPECT_EQ(Back, Expected);
    KelvoCloseFileReader(Reader);

    kelvo_file_writer *Memory = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 64);
    ASSERT_NE(Memory, nullptr);
    EXPECT_TRUE(KelvoWrite(Memory, 8, "abcdefgh"));
    EXPECT_EQ(KelvoSeekWriterFromEnd(Memory, -2), 6);
    EXPECT_TRUE(KelvoWrite(Memory, 4, "tail"));
    EXPECT_EQ(StealAll(Memory), "abcdeftail");
    KelvoDeleteFileWriter(Memory);
}

TEST_F(FileWriterTest, EraseExistingDecidesWhetherContentsSurvive) {
    std::string File = Path("erase.bin");
    kelvo_file_writer *Writer = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, File.c_str(), 0);
    ASSERT_NE(Writer, nullptr) << "a missing file is created either way";
    EXPECT_TRUE(KelvoWrite(Writer, 6, "abcdef"));
    KelvoDeleteFileWriter(Writer);

    Writer = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, File.c_str(), 0);
    ASSERT_NE(Writer, nullptr);
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 0), 0) << "writing starts at 0";
    EXPECT_TRUE(KelvoWrite(Writer, 2, "XY"));
    KelvoDeleteFileWriter(Writer);
    EXPECT_EQ(ReadWholeFile(File), "XYcdef");

    Writer = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, File.c_str(), 1);
    ASSERT_NE(Writer, nullptr);
    EXPECT_EQ(KelvoSeekWriterFromEnd(Writer, 0), 0);
    EXPECT_TRUE(KelvoWrite(Writer, 1, "z"));
    KelvoDeleteFileWriter(Writer);
    EXPECT_EQ(ReadWholeFile(File), "z");
}

TEST_F(FileWriterTest, ASecondWriterOnAnOpenFileFailsAndKeepsItsContents) {
    std::string File = Path("locked.bin");
    kelvo_file_writer *First = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, File.c_str(), 1);
    ASSERT_NE(First, nullptr);
    EXPECT_TRUE(KelvoWrite(First, 5, "first"));

    // Erasing would destroy the first writer's bytes: it must not happen.
    EXPECT_EQ(KelvoCreatePlatformFileWriter(__FILE__, __LINE__, File.c_str(), 1), nullptr);
    ExpectLogged(KelvoWarningLogMessage, "flock failed");
    EXPECT_EQ(ReadWholeFile(File), "first");
    EXPECT_EQ(KelvoOpenFileWriter(File.c_str(), 0), nullptr);
    ExpectLogged(KelvoWarningLogMessage, "flock failed");

    // Readers are not shut out.
    kelvo_file_reader *Reader = KelvoOpenFileReader(File.c_str());
    EXPECT_NE(Reader, nullptr);
    KelvoCloseFileReader(Reader);

    KelvoDeleteFileWriter(First);
    kelvo_file_writer *Second = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, File.c_str(), 0);
    EXPECT_NE(Second, nullptr) << "the lock goes with the writer";
    KelvoDeleteFileWriter(Second);
}

TEST_F(FileWriterTest, UnwritableLocationsFailWithAWarningNamingOpen) {
    std::string Plain = Path("plain_file");
    kelvo_file_writer *Writer = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, Plain.c_str(), 1);
    ASSERT_NE(Writer, nullptr);
    KelvoDeleteFileWriter(Writer);

    std::string BelowFile = Plain + "/child.bin";
    EXPECT_EQ(KelvoCreatePlatformFileWriter(__FILE__, __LINE__, BelowFile.c_str(), 1), nullptr);
    ExpectLogged(KelvoWarningLogMessage, std::string("open failed with error \"") +
                                             strerror(ENOTDIR) + "\" for \"" + BelowFile + "\"");
    EXPECT_EQ(KelvoCreatePlatformFileWriter(__FILE__, __LINE__, KelvoGetTemporaryDirectory(), 0),
              nullptr);
    ExpectLogged(KelvoWarningLogMessage, "open failed");

    // Permissions only bind when not running as the superuser.
    if (geteuid() != 0) {
        std::string Directory = Path("read_only_dir");
        ASSERT_EQ(mkdir(Directory.c_str(), 0500), 0);
        std::string Inside = Directory + "/file.bin";
        EXPECT_EQ(KelvoCreatePlatformFileWriter(__FILE__, __LINE__, Inside.c_str(), 1), nullptr);
        ExpectLogged(KelvoWarningLogMessage, "open failed");
        rmdir(Directory.c_str());
    }
    EXPECT_EQ(KelvoCreatePlatformFileWriter(__FILE__, __LINE__, nullptr, 1), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "FileNameToOpen is not allowed to be 0");
}

TEST_F(FileWriterTest, PlatformSeeksOutsideThe32BitRangeFail) {
    std::string File = Path("sparse.bin");
    kelvo_file_writer *Writer = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, File.c_str(), 1);
    ASSERT_NE(Writer, nullptr);
    EXPECT_EQ(KelvoSeekWriterFromStart(Writer, -1), 0);
    ExpectLogged(KelvoWarningLogMessage, "lseek failed");
    // Seeking writes nothing, so the file stays empty.
    EXPECT_EQ(KelvoSeekWriterFromStart(Writer, INT32_MAX - 16), INT32_MAX - 16);
    EXPECT_EQ(KelvoSeekWriterFromCurrentPosition(Writer, 256), 0);
    ExpectLogged(KelvoErrorLogMessage, "File position 2147483887 is beyond the 32-bit range");
    KelvoDeleteFileWriter(Writer);
    EXPECT_EQ(ReadWholeFile(File), "");
}

// Writes fail once the writer has taken Limit bytes.
struct failing_writer {
    kelvo_file_writer Head;
    kelvo_int32 Limit;
    std::string Written;
};

void KELVO_CALLBACK FailingDelete(char const *, kelvo_int32, kelvo_file_writer *) {}
kelvo_int32 KELVO_CALLBACK FailingSeek(char const *, kelvo_int32, kelvo_file_writer *, kelvo_int32,
                                       kelvo_file_writer_seek_type) {
    return 0;
}
kelvo_bool32 KELVO_CALLBACK FailingWrite(char const *, kelvo_int32, kelvo_file_writer *Writer,
                                         kelvo_int32 Count, void const *Data) {
    failing_writer *Failing = reinterpret_cast<failing_writer *>(Writer);
    if ((kelvo_int32)Failing->Written.size() + Count > Failing->Limit) {
        return 0;
    }
    Failing->Written.append(static_cast<char const *>(Data), (size_t)Count);
    return 1;
}

// Claims to have read more than it was asked for.
kelvo_int32 KELVO_CALLBACK OverreportingRead(char const *, kelvo_int32, kelvo_file_reader *,
                                             kelvo_int32, kelvo_int32 Count, void *) {
    return Count + 1000;
}
void KELVO_CALLBACK NoClose(char const *, kelvo_int32, kelvo_file_reader *) {}

TEST_F(FileWriterTest, CopyingAReaderIntoAWriter) {
    std::string Data = "the quick brown fox jumps over the lazy dog";
    kelvo_file_reader *Reader =
        KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, (kelvo_int32)Data.size(), Data.data());
    ASSERT_NE(Reader, nullptr);
    char Buffer[5];
    kelvo_int32 Count = -1;

    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 16);
    ASSERT_NE(Writer, nullptr);
    EXPECT_TRUE(kelvo::CopyReaderToWriter(Writer, Reader, sizeof(Buffer), Buffer, &Count));
    EXPECT_EQ(Count, (kelvo_int32)Data.size());
    EXPECT_EQ(StealAll(Writer), Data);
    KelvoDeleteFileWriter(Writer);

    failing_writer Failing;
    KelvoInitializeFileWriter(__FILE__, __LINE__, &FailingDelete, &FailingSeek, &FailingWrite,
                              &kelvo::BeginWriterCRC, &kelvo::EndWriterCRC, &Failing.Head);
    Failing.Limit = 12;
    EXPECT_FALSE(kelvo::CopyReaderToWriter(&Failing.Head, Reader, sizeof(Buffer), Buffer, &Count));
    EXPECT_EQ(Failing.Written, Data.substr(0, 10));
    EXPECT_EQ(Count, 15) << "the bytes read, the failed chunk included";

    EXPECT_FALSE(kelvo::CopyReaderToWriter(&Failing.Head, Reader, 0, Buffer, &Count));
    ExpectLogged(KelvoErrorLogMessage, "BufferSize > 0 was not true");
    EXPECT_EQ(Count, 0);
    KelvoCloseFileReader(Reader);

    kelvo_file_reader Liar;
    KelvoInitializeFileReader(__FILE__, __LINE__, &NoClose, &OverreportingRead, &Liar);
    Failing.Written.clear();
    EXPECT_TRUE(kelvo::CopyReaderToWriter(&Failing.Head, &Liar, sizeof(Buffer), Buffer, &Count));
    EXPECT_EQ(Count, 0);
    EXPECT_EQ(Failing.Written, "");
}

TEST_F(FileWriterTest, CopyingANamedFileIntoAWriter) {
    std::string File = Path("copy_source.bin");
    std::string Data(70000, 'q');
    Data[12345] = 'x';
    kelvo_file_writer *Source = KelvoOpenFileWriter(File.c_str(), 1);
    ASSERT_NE(Source, nullptr);
    EXPECT_TRUE(KelvoWrite(Source, (kelvo_int32)Data.size(), Data.data()));
    KelvoDeleteFileWriter(Source);

    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    ASSERT_NE(Writer, nullptr);
    std::string Buffer(4096, '\0');
    kelvo_int32 Count = 0;
    EXPECT_TRUE(kelvo::CopyFileToWriter(Writer, File.c_str(), 4096, &Buffer[0], &Count));
    EXPECT_EQ(Count, (kelvo_int32)Data.size());
    EXPECT_EQ(StealAll(Writer), Data);

    std::string Missing = Path("copy_missing.bin");
    EXPECT_FALSE(kelvo::CopyFileToWriter(Writer, Missing.c_str(), 4096, &Buffer[0], &Count));
    EXPECT_EQ(Count, 0);
    KelvoDeleteFileWriter(Writer);
}

TEST_F(FileWriterTest, DeletingFiles) {
    std::string File = Path("to_delete.bin");
    kelvo_file_writer *Writer = KelvoOpenFileWriter(File.c_str(), 1);
    ASSERT_NE(Writer, nullptr);
    KelvoDeleteFileWriter(Writer);
    EXPECT_TRUE(kelvo::DeleteFile(File.c_str()));
    EXPECT_EQ(KelvoOpenFileReader(File.c_str()), nullptr);
    EXPECT_FALSE(kelvo::DeleteFile(File.c_str()));
    ExpectLogged(KelvoWarningLogMessage, "unlink failed");
}

kelvo_file_writer *KELVO_CALLBACK OpenIntoMemory(char const *SourceFileName,
                                                 kelvo_int32 SourceLineNumber, char const *,
                                                 kelvo_bool32) {
    return KelvoCreateMemoryFileWriter(SourceFileName, SourceLineNumber, 32);
}

TEST_F(FileWriterTest, WriterOpenCallbackIsStoredAndRestorable) {
    EXPECT_EQ(KelvoGetDefaultFileWriterOpenCallback(), &KelvoCreatePlatformFileWriter);
    KelvoSetDefaultFileWriterOpenCallback(&OpenIntoMemory);
    kelvo_file_writer *Writer = KelvoOpenFileWriter("never created on disk", 1);
    ASSERT_NE(Writer, nullptr);
    EXPECT_TRUE(kelvo::IsMemoryWriter(Writer));
    KelvoDeleteFileWriter(Writer);
    KelvoSetDefaultFileWriterOpenCallback(nullptr);
    EXPECT_EQ(KelvoGetDefaultFileWriterOpenCallback(), &KelvoCreatePlatformFileWriter);
    KelvoDeleteFileWriter(static_cast<kelvo_file_writer *>(nullptr));
}

TEST_F(FileWriterTest, TemporaryDirectoryIsStableAndTakesANameAfterASlash) {
    char const *First = KelvoGetTemporaryDirectory();
    ASSERT_NE(First, nullptr);
    EXPECT_EQ(strchr(First, '\\'), nullptr);
    size_t Length = strlen(First);
    EXPECT_TRUE(Length == 0 || First[Length - 1] != '/');
    EXPECT_EQ(KelvoGetTemporaryDirectory(), First);

    // Usable as the library's callers use it.
    std::string File = std::string(First) + "/kelvo2_test_" + std::to_string(getpid()) + "_tmp";
    Paths.push_back(File);
    kelvo_file_writer *Writer = KelvoOpenFileWriter(File.c_str(), 1);
    EXPECT_NE(Writer, nullptr);
    KelvoDeleteFileWriter(Writer);
}

TEST_F(FileWriterTest, SystemTemporaryPathFollowsTMPDIR) {
    char const *Saved = getenv("TMPDIR");
    std::string SavedValue = Saved ? Saved : "";
    char Buffer[260];

    setenv("TMPDIR", "/some/where/", 1);
    EXPECT_TRUE(kelvo::PlatformGetTemporaryPath(Buffer, sizeof(Buffer)));
    EXPECT_STREQ(Buffer, "/some/where/");
    setenv("TMPDIR", "", 1);
    EXPECT_TRUE(kelvo::PlatformGetTemporaryPath(Buffer, sizeof(Buffer)));
    EXPECT_STREQ(Buffer, "/tmp");
    unsetenv("TMPDIR");
    EXPECT_TRUE(kelvo::PlatformGetTemporaryPath(Buffer, sizeof(Buffer)));
    EXPECT_STREQ(Buffer, "/tmp");
    // Cut short it would name some other directory.
    setenv("TMPDIR", std::string(300, 'd').c_str(), 1);
    EXPECT_FALSE(kelvo::PlatformGetTemporaryPath(Buffer, sizeof(Buffer)));
    unsetenv("TMPDIR");
    EXPECT_FALSE(kelvo::PlatformGetTemporaryPath(Buffer, 4)) << "\"/tmp\" needs 5 bytes";

    if (Saved) {
        setenv("TMPDIR", SavedValue.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

} // namespace
