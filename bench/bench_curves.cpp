// Curve evaluation in ns per call: degree 3 quaternions (dimension 4,
// normalized) in DaK32fC32f, D4nK16uC15u and D4nK8uC7u, and degree 3
// positions in D3K16uC16u, on curves of 30 and 300 knots, at random times and
// at steadily advancing times. The reference is what keyframe runtimes do:
// a binary search for the key pair, a linear blend of two quaternions and a
// normalize, over keys as many as the curve's knots.
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

float const Duration = 10.0f;
int const TimeCount = 4096;

struct curve_set {
    std::vector<float> Knots;
    std::vector<float> Quaternions; // 4 per knot
    std::vector<float> Positions;   // 3 per knot
};

curve_set const &Data(int KnotCount) {
    static curve_set Sets[2];
    curve_set &Set = Sets[KnotCount > 100];
    if (Set.Knots.empty()) {
        std::mt19937 Engine(KnotCount);
        std::uniform_real_distribution<float> Uniform(-1, 1);
        for (int Knot = 0; Knot < KnotCount; ++Knot) {
            Set.Knots.push_back(Duration * Knot / (KnotCount - 1));
            float Q[4] = {Uniform(Engine), Uniform(Engine), Uniform(Engine), 2 + Uniform(Engine)};
            float Length = std::sqrt(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3]);
            for (float Value : Q) {
                Set.Quaternions.push_back(Value / Length);
            }
            for (int Lane = 0; Lane < 3; ++Lane) {
                Set.Positions.push_back(10 * Uniform(Engine));
            }
        }
    }
    return Set;
}

std::vector<float> Times(bool Advancing) {
    std::vector<float> Result(TimeCount);
    std::mt19937 Engine(3);
    std::uniform_real_distribution<float> Uniform(0, Duration);
    for (int Index = 0; Index < TimeCount; ++Index) {
        Result[Index] = Advancing ? std::fmod(Index * (1.0f / 60.0f), Duration) : Uniform(Engine);
    }
    return Result;
}

void Report(benchmark::State &State) {
    State.counters["ns_per_call"] =
        benchmark::Counter(double(State.iterations()) * TimeCount,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

enum format_choice { Floats, D4n16, D4n8, D3K16 };

// Args: format, knot count, advancing (0/1).
void BenchEvaluateCurve(benchmark::State &State) {
    format_choice Choice = (format_choice)State.range(0);
    int KnotCount = (int)State.range(1);
    curve_set const &Set = Data(KnotCount);
    kelvo_data_type_definition const *Types[] = {
        KelvoCurveDataDaK32fC32fType, KelvoCurveDataD4nK16uC15uType, KelvoCurveDataD4nK8uC7uType,
        KelvoCurveDataD3K16uC16uType};
    int Dimension = Choice == D3K16 ? 3 : 4;
    kelvo_curve_builder *Builder = KelvoBeginCurve(Types[Choice], 3, Dimension, KnotCount);
    KelvoPushCurveKnotArray(Builder, Set.Knots.data());
    KelvoPushCurveControlArray(Builder,
                               Dimension == 4 ? Set.Quaternions.data() : Set.Positions.data());
    kelvo_curve2 *Curve = KelvoEndCurve(Builder);
    if (!Curve) {
        State.SkipWithError("the curve could not be built");
        return;
    }
    std::vector<float> T = Times(State.range(2) != 0);
    float Result[4] = {};
    for (auto _ : State) {
        for (float Time : T) {
            KelvoEvaluateCurveAtT(Dimension, Dimension == 4, false, Curve, false, Duration, Time,
                                  Result, KelvoCurveIdentityOrientation);
            benchmark::DoNotOptimize(Result);
        }
    }
    Report(State);
    KelvoFreeCurve(Curve);
}

// The reference: keys at the knots, the pair around t found by binary
// search, blended linearly and normalized.
void BenchKeyframeReference(benchmark::State &State) {
    int KnotCount = (int)State.range(1);
    curve_set const &Set = Data(KnotCount);
    std::vector<float> T = Times(State.range(2) != 0);
    float Result[4] = {};
    for (auto _ : State) {
        for (float Time : T) {
            auto Upper = std::upper_bound(Set.Knots.begin(), Set.Knots.end(), Time);
            int Next = std::min((int)(Upper - Set.Knots.begin()), KnotCount - 1);
            int Previous = std::max(Next - 1, 0);
            float Span = Set.Knots[Next] - Set.Knots[Previous];
            float U = Span > 0 ? (Time - Set.Knots[Previous]) / Span : 0.0f;
            float const *A = &Set.Quaternions[Previous * 4];
            float const *B = &Set.Quaternions[Next * 4];
            float Sign = A[0] * B[0] + A[1] * B[1] + A[2] * B[2] + A[3] * B[3] < 0 ? -1.0f : 1.0f;
            float Length = 0;
            for (int Lane = 0; Lane < 4; ++Lane) {
                Result[Lane] = (1 - U) * A[Lane] + U * Sign * B[Lane];
                Length += Result[Lane] * Result[Lane];
            }
            float Scale = 1.0f / std::sqrt(Length);
            for (float &Value : Result) {
                Value *= Scale;
            }
            benchmark::DoNotOptimize(Result);
        }
    }
    Report(State);
}

void Arguments(benchmark::internal::Benchmark *Bench, std::vector<int> const &Formats) {
    for (int Format : Formats) {
        for (int Knots : {30, 300}) {
            for (int Advancing : {0, 1}) {
                Bench->Args({Format, Knots, Advancing});
            }
        }
    }
    Bench->ArgNames({"format", "knots", "advancing"});
}

BENCHMARK(BenchKeyframeReference)->Apply([](benchmark::internal::Benchmark *Bench) {
    Arguments(Bench, {0});
});
BENCHMARK(BenchEvaluateCurve)->Apply([](benchmark::internal::Benchmark *Bench) {
    Arguments(Bench, {Floats, D4n16, D4n8, D3K16});
});

} // namespace

BENCHMARK_MAIN();
