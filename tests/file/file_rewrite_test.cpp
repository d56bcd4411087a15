// Recompression of hostile and sound files: refusals that allocate only what
// the file's size allows and leave an existing output as it was, and a round
// trip through the output as its own input that the kv2 check accepts.
#define _FILE_OFFSET_BITS 64 // readdir of 32-bit builds would fail on 64-bit inode numbers

#include "file_image_decoder.h"
#include "kelvo_test.h"
#include "kv2_sample_asset.h"
#include "tools/kv2_runner.h"

#include <dirent.h>

#include <cstdio>
#include <functional>

namespace {

using bytes = std::vector<kelvo_uint8>;

void WriteBytes(std::string const &Path, bytes const &Image) {
    FILE *File = fopen(Path.c_str(), "wb");
    ASSERT_NE(File, nullptr);
    fwrite(Image.data(), 1, Image.size(), File);
    fclose(File);
}

void Store32(bytes &Image, size_t Offset, kelvo_uint32 Value) {
    memcpy(Image.data() + Offset, &Value, 4);
}

// A crafted file keeps its stored CRC true, so it meets the checks behind it.
void StoreCRC(bytes &Image) {
    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, (kelvo_uint32)(Image.size() - 88), Image.data() + 88);
    KelvoEndCRC32(&CRC);
    Store32(Image, 32 + 8, CRC);
}

// The largest block asked of the allocator while installed.
struct largest_request {
    static inline kelvo_allocate_callback *Allocate;
    static inline kelvo_deallocate_callback *Deallocate;
    static inline kelvo_int32 Largest;

    static void *KELVO_CALLBACK Track(char const *File, kelvo_int32 Line, kelvo_int32 Alignment,
                                      kelvo_int32 Size) {
        Largest = Size > Largest ? Size : Largest;
        return Allocate(File, Line, Alignment, Size);
    }
    largest_request() {
        KelvoGetAllocator(&Allocate, &Deallocate);
        Largest = 0;
        KelvoSetAllocator(&Track, Deallocate);
    }
    ~largest_request() { KelvoSetAllocator(Allocate, Deallocate); }
};

std::string BaseName(std::string const &Path) {
    return Path.substr(Path.rfind('/') + 1);
}

// Files beside Path whose names start with its name: the output and any
// temporary left behind.
std::vector<std::string> FilesBeside(std::string const &Path) {
    std::string Directory = Path.substr(0, Path.rfind('/')), Name = BaseName(Path);
    std::vector<std::string> Found;
    if (DIR *Listing = opendir(Directory.c_str())) {
        while (dirent *Entry = readdir(Listing)) {
            if (std::string(Entry->d_name).rfind(Name, 0) == 0) {
                Found.push_back(Entry->d_name);
            }
        }
        closedir(Listing);
    }
    return Found;
}

class FileRewriteTest : public KelvoTest {
protected:
    void SetUp() override {
        KelvoTest::SetUp();
        Source = TemporaryPath("rewrite_source.kv2");
        Output = TemporaryPath("rewrite_output.kv2");
        kv2::sample_asset Asset;
        ASSERT_TRUE(kv2::WriteSampleAsset(Asset, Source.c_str()));
        Sample = ReadFileBytes(Source);
    }
    void TearDown() override {
        remove(Source.c_str());
        remove(Output.c_str());
        KelvoTest::TearDown();
    }

    std::string Source, Output;
    bytes Sample;
};

TEST_F(FileRewriteTest, RefusalsAllocateWithinTheFileAndKeepTheOutput) {
    struct hostile_case {
        char const *Name;
        std::function<void(bytes &)> Craft;
        std::vector<kelvo_int32> Mapping;
        std::vector<char const *> Errors;
    };
    constexpr kelvo_uint32 SectionArray = 88, Alignment = 16;
    std::vector<hostile_case> const Cases = {
        {"not a Kelvo file", [](bytes &Image) { Image[0] ^= 0x40; }, {},
         {"File is not a Kelvo file", "Unable to check the CRC"}},
        {"a 64-byte file declaring a 2 GiB header",
         [](bytes &Image) {
             Image.resize(64);
             Store32(Image, 16, 0x7FF00000u);
         },
         {},
         {"Unable to read file header", "Unable to check the CRC"}},
        {"a section alignment of 0x20000000",
         [](bytes &Image) {
             Store32(Image, SectionArray + Alignment, 0x20000000u);
             StoreCRC(Image);
         },
         {},
         {"asks for an alignment of", "does not load whole and sound"}},
        {"a stored CRC that does not match",
         [](bytes &Image) { Image.back() ^= 1; },
         {},
         {"does not match the CRC its header stores"}},
        {"a format that does not exist", [](bytes &) {}, {7}, {"which is no compression type"}},
    };
    bytes const Precious = {'k', 'e', 'e', 'p'};
    for (hostile_case const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        bytes Image = Sample;
        Case.Craft(Image);
        WriteBytes(Source, Image);
        WriteBytes(Output, Precious);
        kelvo_int32 Largest;
        {
            largest_request Tracking;
            EXPECT_FALSE(KelvoRecompressFile(Source.c_str(), Output.c_str(),
                                             (kelvo_int32)Case.Mapping.size(),
                                             Case.Mapping.data()));
            Largest = largest_request::Largest;
        }
        // Fixed buffers aside (the CRC is read in 64 KiB chunks), nothing
        // grows past what the file's bytes expand to.
        EXPECT_LE(Largest, 65536 + 16 * (kelvo_int32)Sample.size());
        for (char const *Error : Case.Errors) {
            ExpectLogged(KelvoErrorLogMessage, Error);
        }
        TakeMessages(); // the loader's own reports of the same fault
        EXPECT_EQ(ReadFileBytes(Output), Precious);
        EXPECT_EQ(FilesBeside(Output), std::vector<std::string>{BaseName(Output)});
    }
}

TEST_F(FileRewriteTest, ARecompressedFileReplacesItsInputWholeAndPassesTheCheck) {
    kelvo_int32 const ToFenwa1[] = {KelvoFenwa1Compression};
    ASSERT_TRUE(KelvoRecompressFile(Source.c_str(), Output.c_str(), 1, ToFenwa1));
    run_result Check = RunKv2({"check", Output});
    EXPECT_EQ(Check.Status, 0) << Check.Out << Check.Err;
    decoded_file Packed;
    ASSERT_EQ(DecodeFileImage(ReadFileBytes(Output), Packed), "");
    EXPECT_EQ(Packed.SectionHeaders[0].Format, (kelvo_uint32)KelvoFenwa1Compression);

    // Onto itself: the input is read whole before the output replaces it.
    kelvo_int32 const Back[] = {0, 0, KelvoNoCompression};
    ASSERT_TRUE(KelvoRecompressFile(Output.c_str(), Output.c_str(), 3, Back));
    EXPECT_EQ(ReadFileBytes(Output), Sample);
    EXPECT_EQ(FilesBeside(Output), std::vector<std::string>{BaseName(Output)});
}

} // namespace
