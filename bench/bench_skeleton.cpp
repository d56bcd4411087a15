// KelvoBuildSkeletonRelativeTransforms over skeletons of 67 and 368 bones
// read from the bone records (stride 152) into a packed array, in ns per
// bone, beside a reference loop in the same run that composes each bone
// with its parent's result by KelvoMultiply from plain arrays.
#include "kelvo2.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

std::vector<kelvo_bone> MakeBones(int Count) {
    std::mt19937 Engine((unsigned)Count);
    std::vector<kelvo_bone> Bones((size_t)Count);
    for (int Index = 0; Index < Count; ++Index) {
        kelvo_bone &Bone = Bones[(size_t)Index];
        Bone = {};
        Bone.Transform = RandomTransform(Engine, false);
        Bone.ParentIndex = Index == 0 ? -1 : (int)(Engine() % (unsigned)Index);
    }
    return Bones;
}

void Finish(benchmark::State &State, int Count) {
    NanosecondsPer(State, "ns_per_bone", Count);
}

void BuildSkeletonRelativeTransforms(benchmark::State &State) {
    int Count = (int)State.range(0);
    std::vector<kelvo_bone> Bones = MakeBones(Count);
    std::vector<kelvo_transform> Results((size_t)Count);
    kelvo_int32 const Stride = (kelvo_int32)sizeof(kelvo_bone);
    for (auto _ : State) {
        KelvoBuildSkeletonRelativeTransforms(Stride, &Bones[0].Transform, Stride,
                                             &Bones[0].ParentIndex, Count,
                                             (kelvo_int32)sizeof(kelvo_transform), Results.data());
        benchmark::ClobberMemory();
    }
    Finish(State, Count);
}
BENCHMARK(BuildSkeletonRelativeTransforms)->Arg(67)->Arg(368);

void ReferenceLoop(benchmark::State &State) {
    int Count = (int)State.range(0);
    std::vector<kelvo_bone> Bones = MakeBones(Count);
    std::vector<kelvo_transform> Transforms((size_t)Count), Results((size_t)Count);
    std::vector<int> Parents((size_t)Count);
    for (int Index = 0; Index < Count; ++Index) {
        Transforms[(size_t)Index] = Bones[(size_t)Index].Transform;
        Parents[(size_t)Index] = Bones[(size_t)Index].ParentIndex;
    }
    for (auto _ : State) {
        for (int Index = 0; Index < Count; ++Index) {
            int Parent = Parents[(size_t)Index];
            if (Parent < 0) {
                Results[(size_t)Index] = Transforms[(size_t)Index];
            } else {
                KelvoMultiply(&Results[(size_t)Index], &Results[(size_t)Parent],
                              &Transforms[(size_t)Index]);
            }
        }
        benchmark::ClobberMemory();
    }
    Finish(State, Count);
}
BENCHMARK(ReferenceLoop)->Arg(67)->Arg(368);

} // namespace

BENCHMARK_MAIN();
