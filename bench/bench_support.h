// What every benchmark reports the same way.
#ifndef KELVO_BENCH_SUPPORT_H
#define KELVO_BENCH_SUPPORT_H

#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

// Nanoseconds per item as the counter Name, for Count items an iteration.
inline void NanosecondsPer(benchmark::State &State, char const *Name, double Count) {
    State.counters[Name] =
        benchmark::Counter((double)State.iterations() * Count,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A transform of random position and orientation, and a uniform scale of
// 0.9 to 1.1 when Scaled.
inline kelvo_transform RandomTransform(std::mt19937 &Engine, bool Scaled) {
    std::uniform_real_distribution<float> Uniform(-1, 1);
    float P[3] = {Uniform(Engine), Uniform(Engine), Uniform(Engine)};
    float Q[4] = {Uniform(Engine), Uniform(Engine), Uniform(Engine), 2.0f};
    float Length = std::sqrt(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3]);
    for (float &Value : Q) {
        Value /= Length;
    }
    float S[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (Scaled) {
        S[0] = S[4] = S[8] = 1.0f + 0.1f * Uniform(Engine);
    }
    kelvo_transform Result;
    KelvoSetTransformWithIdentityCheck(&Result, P, Q, S);
    return Result;
}

// The textbook row-major 4x4 product C = A x B, the references' own.
inline void PlainProduct4x4(float const *A, float const *B, float *C) {
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            float Sum = 0;
            for (int K = 0; K < 4; ++K) {
                Sum += A[4 * Row + K] * B[4 * K + Column];
            }
            C[4 * Row + Column] = Sum;
        }
    }
}

#endif
