// The pointer hash beside std::map and std::unordered_map: inserting the
// addresses of 100,000 live objects in shuffled order into a fresh container,
// and looking every one of them up (in another order) in a full container.
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdint.h>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int KeyCount = 100000;

struct addresses {
    std::vector<kelvo_int64> Objects = std::vector<kelvo_int64>(KeyCount);
    std::vector<void const *> InsertOrder;
    std::vector<void const *> LookupOrder;
    addresses() {
        for (kelvo_int64 const &Object : Objects) {
            InsertOrder.push_back(&Object);
        }
        std::mt19937 Random(5);
        std::shuffle(InsertOrder.begin(), InsertOrder.end(), Random);
        LookupOrder = InsertOrder;
        std::shuffle(LookupOrder.begin(), LookupOrder.end(), Random);
    }
};

addresses const &Keys() {
    static addresses const Shared;
    return Shared;
}

struct kelvo_container {
    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ~kelvo_container() { KelvoDeletePointerHash(Hash); }
    void Insert(void const *Key) { KelvoAddPointerToHash(Hash, Key, const_cast<void *>(Key)); }
    void *Find(void const *Key) {
        void *Data;
        KelvoGetHashedPointerData(Hash, Key, &Data);
        return Data;
    }
};

template <typename Map> struct std_container {
    Map Table;
    void Insert(void const *Key) { Table.emplace(Key, const_cast<void *>(Key)); }
    void *Find(void const *Key) {
        auto Found = Table.find(Key);
        return Found == Table.end() ? nullptr : Found->second;
    }
};

using std_map = std_container<std::map<void const *, void *>>;
using std_unordered_map = std_container<std::unordered_map<void const *, void *>>;

template <typename Container> void Insert(benchmark::State &State) {
    addresses const &Shared = Keys();
    for (auto _ : State) {
        Container Table;
        for (void const *Key : Shared.InsertOrder) {
            Table.Insert(Key);
        }
        benchmark::ClobberMemory();
    }
    State.SetItemsProcessed((int64_t)State.iterations() * KeyCount);
}

template <typename Container> void Lookup(benchmark::State &State) {
    addresses const &Shared = Keys();
    Container Table;
    for (void const *Key : Shared.InsertOrder) {
        Table.Insert(Key);
    }
    for (auto _ : State) {
        for (void const *Key : Shared.LookupOrder) {
            benchmark::DoNotOptimize(Table.Find(Key));
        }
    }
    State.SetItemsProcessed((int64_t)State.iterations() * KeyCount);
}

// Insertion and lookup of each container, registered under its name.
template <typename container> bool Register(std::string const &Name) {
    benchmark::RegisterBenchmark((Name + "Insert100k").c_str(), Insert<container>)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((Name + "Lookup100k").c_str(), Lookup<container>)
        ->Unit(benchmark::kMillisecond);
    return true;
}
[[maybe_unused]] bool const Registered = Register<std_map>("StdMap") &&
                                         Register<std_unordered_map>("StdUnorderedMap") &&
                                         Register<kelvo_container>("KelvoPointerHash");

} // namespace

BENCHMARK_MAIN();
