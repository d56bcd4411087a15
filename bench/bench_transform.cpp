// Transform composition, 4x4 composite building and linear blending over
// arrays of 1,000 random transforms, beside a plain 4x4 float matrix product
// over arrays of the same length.
#include "kelvo2.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

int const Count = 1000;

struct inputs {
    std::vector<kelvo_transform> A, B;
    std::vector<float> MatrixA, MatrixB;
};

inputs const &Inputs() {
    static inputs const Data = [] {
        inputs Result;
        std::mt19937 Engine(11);
        std::uniform_real_distribution<float> Uniform(-1, 1);
        auto RandomTransform = [&] {
            float P[3] = {10 * Uniform(Engine), 10 * Uniform(Engine), 10 * Uniform(Engine)};
            float Q[4] = {Uniform(Engine), Uniform(Engine), Uniform(Engine), Uniform(Engine)};
            float Length = std::sqrt(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3]);
            for (float &Value : Q) {
                Value /= Length;
            }
            float S[9];
            for (int Index = 0; Index < 9; ++Index) {
                S[Index] = (Index % 4 == 0 ? 1.0f : 0.0f) + 0.2f * Uniform(Engine);
            }
            kelvo_transform T;
            KelvoSetTransform(&T, P, Q, S);
            return T;
        };
        for (int Index = 0; Index < Count; ++Index) {
            Result.A.push_back(RandomTransform());
            Result.B.push_back(RandomTransform());
        }
        Result.MatrixA.resize(16 * Count);
        Result.MatrixB.resize(16 * Count);
        for (int Index = 0; Index < 16 * Count; ++Index) {
            Result.MatrixA[Index] = Uniform(Engine);
            Result.MatrixB[Index] = Uniform(Engine);
        }
        return Result;
    }();
    return Data;
}

// Calls Body(Index) for every element of the arrays, once per iteration; the
// "per_call" counter is the time of one call.
template <typename output, typename body>
void RunOverArrays(benchmark::State &State, std::vector<output> &Out, body const &Body) {
    for (auto _ : State) {
        for (int Index = 0; Index < Count; ++Index) {
            Body(Index);
        }
        benchmark::DoNotOptimize(Out.data());
        benchmark::ClobberMemory();
    }
    State.SetItemsProcessed(State.iterations() * Count);
    State.counters["per_call"] =
        benchmark::Counter(double(State.iterations()) * Count,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BenchKelvoMultiply(benchmark::State &State) {
    inputs const &In = Inputs();
    std::vector<kelvo_transform> Out(Count);
    RunOverArrays(State, Out,
                  [&](int Index) { KelvoMultiply(&Out[Index], &In.A[Index], &In.B[Index]); });
}

void BenchKelvoBuildCompositeTransform4x4(benchmark::State &State) {
    inputs const &In = Inputs();
    std::vector<float> Out(16 * Count);
    RunOverArrays(State, Out, [&](int Index) {
        KelvoBuildCompositeTransform4x4(&In.A[Index], &Out[16 * Index]);
    });
}

void BenchKelvoLinearBlendTransform(benchmark::State &State) {
    inputs const &In = Inputs();
    std::vector<kelvo_transform> Out(Count);
    RunOverArrays(State, Out, [&](int Index) {
        KelvoLinearBlendTransform(&Out[Index], &In.A[Index], 0.3f, &In.B[Index]);
    });
}

// The reference: a textbook row-major 4x4 product, compiled here with the
// same flags, no library call.
void PlainMatrixProduct4x4(benchmark::State &State) {
    inputs const &In = Inputs();
    std::vector<float> Out(16 * Count);
    RunOverArrays(State, Out, [&](int Index) {
        PlainProduct4x4(&In.MatrixA[16 * Index], &In.MatrixB[16 * Index], &Out[16 * Index]);
    });
}

} // namespace

BENCHMARK(PlainMatrixProduct4x4);
BENCHMARK(BenchKelvoMultiply)->Name("KelvoMultiply");
BENCHMARK(BenchKelvoBuildCompositeTransform4x4)->Name("KelvoBuildCompositeTransform4x4");
BENCHMARK(BenchKelvoLinearBlendTransform)->Name("KelvoLinearBlendTransform");
BENCHMARK_MAIN();
