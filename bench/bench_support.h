// What every benchmark reports the same way.
#ifndef KELVO_BENCH_SUPPORT_H
#define KELVO_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

// Nanoseconds per item as the counter Name, for Count items an iteration.
inline void NanosecondsPer(benchmark::State &State, char const *Name, double Count) {
    State.counters[Name] =
        benchmark::Counter((double)State.iterations() * Count,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

#endif
