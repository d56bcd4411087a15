// The default allocator beside plain malloc+free on the same patterns: one
// 64-byte block allocated and freed at once, and batches of 64-byte blocks
// freed in shuffled order while many other blocks stay live.
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <stdlib.h>
#include <vector>

namespace {

constexpr kelvo_int32 BlockSize = 64;
constexpr int BatchSize = 256;
constexpr int Background = 10000;

struct kelvo_heap {
    kelvo_allocate_callback *Allocate;
    kelvo_deallocate_callback *Deallocate;
    kelvo_heap() { KelvoGetAllocator(&Allocate, &Deallocate); }
    void *Get() { return Allocate(__FILE__, __LINE__, 8, BlockSize); }
    void Put(void *Memory) { Deallocate(__FILE__, __LINE__, Memory); }
};

struct c_heap {
    void *Get() { return malloc(BlockSize); }
    void Put(void *Memory) { free(Memory); }
};

template <typename Heap> void AllocateFree(benchmark::State &State) {
    Heap Allocator;
    for (auto _ : State) {
        void *Memory = Allocator.Get();
        benchmark::DoNotOptimize(Memory);
        Allocator.Put(Memory);
    }
}

template <typename Heap> void ShuffledBatches(benchmark::State &State) {
    Heap Allocator;
    std::vector<void *> Others(Background);
    for (void *&Memory : Others) {
        Memory = Allocator.Get();
    }
    std::vector<void *> Batch(BatchSize);
    std::vector<int> Order(BatchSize);
    std::mt19937 Random(1);
    for (int Index = 0; Index < BatchSize; ++Index) {
        Order[Index] = Index;
    }
    std::shuffle(Order.begin(), Order.end(), Random);
    for (auto _ : State) {
        for (void *&Memory : Batch) {
            Memory = Allocator.Get();
        }
        benchmark::DoNotOptimize(Batch.data());
        for (int Index : Order) {
            Allocator.Put(Batch[Index]);
        }
    }
    State.SetItemsProcessed((int64_t)State.iterations() * BatchSize);
    for (void *Memory : Others) {
        Allocator.Put(Memory);
    }
}

BENCHMARK_TEMPLATE(AllocateFree, c_heap)->Name("MallocFree64");
BENCHMARK_TEMPLATE(AllocateFree, kelvo_heap)->Name("KelvoAllocateFree64");
BENCHMARK_TEMPLATE(ShuffledBatches, c_heap)->Name("MallocFree64ShuffledBatches");
BENCHMARK_TEMPLATE(ShuffledBatches, kelvo_heap)->Name("KelvoAllocateFree64ShuffledBatches");

} // namespace

BENCHMARK_MAIN();
