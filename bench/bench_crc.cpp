// CRC-32 throughput beside zlib's crc32 on the same buffers.
#include "kelvo2.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

std::vector<unsigned char> const &Buffer() {
    static std::vector<unsigned char> Data = [] {
        std::vector<unsigned char> Bytes(1 << 20);
        std::mt19937 Random(7);
        for (unsigned char &Byte : Bytes) {
            Byte = (unsigned char)Random();
        }
        return Bytes;
    }();
    return Data;
}

void KelvoCRC32(benchmark::State &State) {
    auto const &Data = Buffer();
    kelvo_uint32 Size = (kelvo_uint32)State.range(0);
    for (auto _ : State) {
        kelvo_uint32 CRC;
        KelvoBeginCRC32(&CRC);
        KelvoAddToCRC32(&CRC, Size, Data.data());
        KelvoEndCRC32(&CRC);
        benchmark::DoNotOptimize(CRC);
    }
    State.SetBytesProcessed((int64_t)State.iterations() * Size);
}

void ZlibCRC32(benchmark::State &State) {
    auto const &Data = Buffer();
    uInt Size = (uInt)State.range(0);
    for (auto _ : State) {
        uLong CRC = crc32(0L, Z_NULL, 0);
        CRC = crc32(CRC, Data.data(), Size);
        benchmark::DoNotOptimize(CRC);
    }
    State.SetBytesProcessed((int64_t)State.iterations() * Size);
}

} // namespace

BENCHMARK(KelvoCRC32)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(ZlibCRC32)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK_MAIN();
