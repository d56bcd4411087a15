// The cost of an empty timing block (it will wrap hot calls) beside an empty
// function call.
#include "foundation/kelvo_counters.h"

#include <benchmark/benchmark.h>

namespace {

__attribute__((noinline)) void EmptyFunction() { benchmark::ClobberMemory(); }

__attribute__((noinline)) void EmptyTimedBlock() {
    KELVO_TIMED_BLOCK("BenchEmptyBlock");
    benchmark::ClobberMemory();
}

void EmptyCall(benchmark::State &State) {
    for (auto _ : State) {
        EmptyFunction();
    }
}

void EmptyTimedCall(benchmark::State &State) {
    for (auto _ : State) {
        EmptyTimedBlock();
    }
}

} // namespace

BENCHMARK(EmptyCall);
BENCHMARK(EmptyTimedCall);
BENCHMARK_MAIN();
