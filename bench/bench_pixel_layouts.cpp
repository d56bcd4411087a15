// KelvoConvertPixelFormat on a 2048 x 2048 image, RGBA8888 to BGRA8888 and
// RGB565 to RGBA8888, beside a straightforward per-pixel loop over the same
// layouts in the same run. Figure: megapixels per second. Target: at least
// the loop's speed.
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

int const Side = 2048;

struct pair {
    kelvo_pixel_layout const *From;
    kelvo_pixel_layout const *To;
};

pair Pair(int Index) {
    return Index == 0 ? pair{KelvoRGBA8888PixelFormat, KelvoBGRA8888PixelFormat}
                      : pair{KelvoRGB565PixelFormat, KelvoRGBA8888PixelFormat};
}

std::vector<kelvo_uint8> const &Source() {
    static std::vector<kelvo_uint8> const Bytes = [] {
        std::mt19937 Engine(22);
        std::vector<kelvo_uint8> Result((size_t)Side * Side * 4);
        for (kelvo_uint8 &Byte : Result) {
            Byte = (kelvo_uint8)Engine();
        }
        return Result;
    }();
    return Bytes;
}

void Finish(benchmark::State &State) {
    State.SetLabel(State.range(0) == 0 ? "RGBA8888 to BGRA8888" : "RGB565 to RGBA8888");
    State.counters["Mpixel_per_s"] = benchmark::Counter(
        (double)State.iterations() * Side * Side / 1e6, benchmark::Counter::kIsRate);
}

void ConvertPixelFormat(benchmark::State &State) {
    pair Layouts = Pair((int)State.range(0));
    std::vector<kelvo_uint8> Destination((size_t)Side * Side * 4);
    for (auto _ : State) {
        KelvoConvertPixelFormat(Side, Side, Layouts.From, Side * Layouts.From->BytesPerPixel,
                                Source().data(), Layouts.To, Side * Layouts.To->BytesPerPixel,
                                Destination.data());
        benchmark::ClobberMemory();
    }
    Finish(State);
}
BENCHMARK(ConvertPixelFormat)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The reference: each pixel read byte by byte, each component taken out,
// rescaled to the destination's bits and put back, byte by byte.
void PerPixelLoop(benchmark::State &State) {
    pair Layouts = Pair((int)State.range(0));
    kelvo_pixel_layout const &From = *Layouts.From, &To = *Layouts.To;
    std::vector<kelvo_uint8> Destination((size_t)Side * Side * 4);
    for (auto _ : State) {
        kelvo_uint8 const *In = Source().data();
        kelvo_uint8 *Out = Destination.data();
        for (int Pixel = 0; Pixel < Side * Side; ++Pixel) {
            kelvo_uint32 Value = 0, Result = 0;
            for (int Byte = 0; Byte < From.BytesPerPixel; ++Byte) {
                Value |= (kelvo_uint32)*In++ << (8 * Byte);
            }
            for (int C = 0; C < 4; ++C) {
                int SourceBits = From.BitsForComponent[C], Bits = To.BitsForComponent[C];
                if (SourceBits == 0 || Bits == 0) {
                    continue;
                }
                kelvo_uint32 Component =
                    (Value >> From.ShiftForComponent[C]) & ((1u << SourceBits) - 1);
                Component = Bits >= SourceBits ? Component << (Bits - SourceBits)
                                               : Component >> (SourceBits - Bits);
                Result |= Component << To.ShiftForComponent[C];
            }
            for (int Byte = 0; Byte < To.BytesPerPixel; ++Byte) {
                *Out++ = (kelvo_uint8)(Result >> (8 * Byte));
            }
        }
        benchmark::ClobberMemory();
    }
    Finish(State);
}
BENCHMARK(PerPixelLoop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
