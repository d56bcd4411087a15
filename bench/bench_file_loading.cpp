// Loading a 64 MiB file in this build's format, from a memory reader and
// from a warm file, beside memcpy and a plain read() of the same bytes; and a
// Fenwa1-compressed file's load with its read and its decompression apart.
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

constexpr kelvo_uint32 StoredSectionSize = 64u << 20;
constexpr kelvo_uint32 CompressedSectionSize = 16u << 20;
constexpr kelvo_uint32 FixupCount = 4096;

// Words that compress about as well as vertex data: small steps, some noise.
bytes SectionData(kelvo_uint32 Size) {
    bytes Data(Size);
    std::mt19937 Random(11);
    kelvo_uint32 Value = 0;
    for (kelvo_uint32 At = 0; At + 4 <= Size; At += 4) {
        Value += Random() % 64;
        memcpy(&Data[At], &Value, 4);
    }
    return Data;
}

// One section with FixupCount pointers into itself, in this build's format.
bytes BuildFile(kelvo_uint32 SectionSize, kelvo_compression_type Format) {
    bytes Expanded = SectionData(SectionSize);
    bytes Stored = Expanded;
    if (Format == KelvoFenwa1Compression) {
        kelvo_fenwa1_compressor *Compressor = KelvoFenwa1BeginSimple((kelvo_int32)SectionSize, 3);
        KelvoFenwa1Compress(Compressor, (kelvo_int32)SectionSize, Expanded.data());
        KelvoFenwa1Compress(Compressor, 0, nullptr);
        KelvoFenwa1Compress(Compressor, 0, nullptr);
        void *Compressed;
        kelvo_int32 Size = KelvoFenwa1End(Compressor, &Compressed, 0);
        Stored.assign((unsigned char *)Compressed, (unsigned char *)Compressed + Size);
        KelvoFenwa1FreeSimple(Compressor);
    }
    kelvo_file_magic_value Magic = *KelvoKVNFileMV_ThisPlatform;
    Magic.HeaderSize = 88 + 44;
    kelvo_section_header Section = {};
    Section.Format = (kelvo_uint32)Format;
    Section.DataOffset = Magic.HeaderSize;
    Section.DataSize = (kelvo_uint32)Stored.size();
    Section.ExpandedDataSize = SectionSize;
    Section.InternalAlignment = 16;
    Section.First16Bit = Section.First8Bit = SectionSize;
    Section.PointerFixupArrayOffset = (Section.DataOffset + Section.DataSize + 3) & ~3u;
    Section.PointerFixupArrayCount = FixupCount;
    Section.MixedMarshallingFixupArrayOffset =
        Section.PointerFixupArrayOffset + FixupCount * sizeof(kelvo_pointer_fixup);

    bytes Image(Section.MixedMarshallingFixupArrayOffset, 0);
    memcpy(&Image[0], &Magic, sizeof(Magic));
    memcpy(&Image[88], &Section, sizeof(Section));
    memcpy(&Image[Section.DataOffset], Stored.data(), Stored.size());
    for (kelvo_uint32 Index = 0; Index < FixupCount; ++Index) {
        kelvo_pointer_fixup Fixup = {Index * 16, {0, (Index * 7919u) % SectionSize}};
        memcpy(&Image[Section.PointerFixupArrayOffset + Index * sizeof(Fixup)], &Fixup,
               sizeof(Fixup));
    }
    kelvo_file_header Header = {};
    Header.Version = 6;
    Header.TotalSize = (kelvo_uint32)Image.size();
    Header.SectionArrayOffset = sizeof(kelvo_file_header);
    Header.SectionArrayCount = 1;
    Header.TypeTag = KelvoCurrentTypeTag;
    KelvoBeginCRC32(&Header.CRC);
    KelvoAddToCRC32(&Header.CRC, (kelvo_uint32)Image.size() - 88, Image.data() + 88);
    KelvoEndCRC32(&Header.CRC);
    memcpy(&Image[sizeof(Magic)], &Header, sizeof(Header));
    return Image;
}

struct test_file {
    bytes Image;
    std::string Path;
};

test_file MakeFile(char const *Name, kelvo_uint32 SectionSize, kelvo_compression_type Format) {
    test_file File = {BuildFile(SectionSize, Format), std::string("/tmp/") + Name};
    int Descriptor = open(File.Path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (Descriptor < 0 ||
        write(Descriptor, File.Image.data(), File.Image.size()) != (ssize_t)File.Image.size()) {
        abort();
    }
    close(Descriptor);
    return File;
}

test_file const &StoredFile() {
    static test_file File =
        MakeFile("kelvo2_bench_stored.kv2", StoredSectionSize, KelvoNoCompression);
    return File;
}

test_file const &CompressedFile() {
    static test_file File =
        MakeFile("kelvo2_bench_fenwa1.kv2", CompressedSectionSize, KelvoFenwa1Compression);
    return File;
}

void Memcpy(benchmark::State &State) {
    bytes const &Image = StoredFile().Image;
    bytes Copy(Image.size());
    for (auto _ : State) {
        memcpy(Copy.data(), Image.data(), Image.size());
        benchmark::ClobberMemory();
    }
    State.SetBytesProcessed((int64_t)State.iterations() * Image.size());
}

// The reference: open, allocate, read the whole warm file, close.
void PlainRead(benchmark::State &State) {
    test_file const &File = StoredFile();
    for (auto _ : State) {
        int Descriptor = open(File.Path.c_str(), O_RDONLY);
        void *Buffer = malloc(File.Image.size());
        size_t Done = 0;
        while (Done < File.Image.size()) {
            ssize_t Read = read(Descriptor, (char *)Buffer + Done, File.Image.size() - Done);
            if (Read <= 0) {
                abort();
            }
            Done += (size_t)Read;
        }
        close(Descriptor);
        benchmark::DoNotOptimize(Buffer);
        free(Buffer);
    }
    State.SetBytesProcessed((int64_t)State.iterations() * File.Image.size());
}

// Loads a file through Open each iteration; Bytes is what one load yields.
template <typename open> void LoadEach(benchmark::State &State, size_t Bytes, open Open) {
    for (auto _ : State) {
        kelvo_file *File = Open();
        if (!File || !File->Sections[0]) {
            State.SkipWithError("load failed");
        }
        KelvoFreeFile(File);
    }
    State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Bytes);
}

void LoadFromMemoryReader(benchmark::State &State) {
    bytes const &Image = StoredFile().Image;
    LoadEach(State, Image.size(), [&] {
        return KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
    });
}

void LoadFromWarmFile(benchmark::State &State) {
    test_file const &Stored = StoredFile();
    LoadEach(State, Stored.Image.size(), [&] { return KelvoReadEntireFile(Stored.Path.c_str()); });
}

// The compressed file whole, then its two costs apart; bytes are expanded.
void LoadCompressedFile(benchmark::State &State) {
    test_file const &Compressed = CompressedFile();
    LoadEach(State, CompressedSectionSize,
             [&] { return KelvoReadEntireFile(Compressed.Path.c_str()); });
    State.counters["stored_bytes"] = (double)Compressed.Image.size();
}

void ReadCompressedBytes(benchmark::State &State) {
    test_file const &Compressed = CompressedFile();
    for (auto _ : State) {
        kelvo_file_reader *Reader = KelvoOpenFileReader(Compressed.Path.c_str());
        void *Buffer = malloc(Compressed.Image.size());
        kelvo_int32 Read = KelvoReadAtMost(Reader, 0, (kelvo_int32)Compressed.Image.size(), Buffer);
        benchmark::DoNotOptimize(Read);
        free(Buffer);
        KelvoCloseFileReader(Reader);
    }
    State.SetBytesProcessed((int64_t)State.iterations() * CompressedSectionSize);
}

void DecompressSection(benchmark::State &State) {
    test_file const &Compressed = CompressedFile();
    kelvo_section_header Section;
    memcpy(&Section, &Compressed.Image[88], sizeof(Section));
    bytes Stored(Compressed.Image.begin() + Section.DataOffset,
                 Compressed.Image.begin() + Section.DataOffset + Section.DataSize);
    Stored.resize(Stored.size() + 4);
    bytes Expanded(Section.ExpandedDataSize);
    for (auto _ : State) {
        if (!KelvoDecompressData(KelvoFenwa1Compression, 0, (kelvo_int32)Section.DataSize,
                                 Stored.data(), (kelvo_int32)Section.First16Bit,
                                 (kelvo_int32)Section.First8Bit,
                                 (kelvo_int32)Section.ExpandedDataSize, Expanded.data())) {
            State.SkipWithError("decompression failed");
        }
        benchmark::ClobberMemory();
    }
    State.SetBytesProcessed((int64_t)State.iterations() * CompressedSectionSize);
}

} // namespace

BENCHMARK(Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadFromMemoryReader)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadFromWarmFile)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadCompressedFile)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadCompressedBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(DecompressSection)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
