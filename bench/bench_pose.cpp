// Pose building on skeletons of 67 and 368 bones, in ns per bone: a
// two-layer blend (two contributions accumulated per bone, then the end of
// accumulation) and KelvoBuildWorldPose with composites, on the SSE and the
// portable path, each beside a straightforward scalar loop in the same run
// that does the same work on plain arrays.
#include "kelvo2.h"

#include "anim/kelvo_pose.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// One bone in eight carries scale, as in typical rigs.
struct rig {
    std::vector<kelvo_bone> Bones;
    kelvo_skeleton Skeleton;
    std::vector<kelvo_transform> LayerA, LayerB;

    explicit rig(int Count) : Bones((size_t)Count) {
        std::mt19937 Engine((unsigned)Count);
        for (int Index = 0; Index < Count; ++Index) {
            kelvo_bone &Bone = Bones[(size_t)Index];
            Bone = {};
            Bone.ParentIndex =
                Index == 0 ? -1 : Index - 1 - (int)(Engine() % (unsigned)(Index < 4 ? Index : 4));
            Bone.Transform = RandomTransform(Engine, Index % 8 == 0);
            for (int Element = 0; Element < 16; ++Element) {
                Bone.InverseWorldTransform[Element] = Element % 5 == 0 ? 1.0f : 0.0f;
            }
            LayerA.push_back(RandomTransform(Engine, Index % 8 == 0));
            LayerB.push_back(RandomTransform(Engine, Index % 8 == 0));
        }
        Skeleton = {"bench", Count, Bones.data(), 0};
    }
};

void Finish(benchmark::State &State, int Count) {
    NanosecondsPer(State, "ns_per_bone", Count);
}

void TwoLayerBlend(benchmark::State &State) {
    int Count = (int)State.range(0);
    rig Rig(Count);
    kelvo_local_pose *Pose = KelvoNewLocalPose(Count);
    for (auto _ : State) {
        KelvoBeginLocalPoseAccumulation(Pose, 0, Count, nullptr);
        for (int Bone = 0; Bone < Count; ++Bone) {
            KelvoAccumulateLocalTransform(Pose, Bone, Bone, 0.7f, &Rig.Skeleton, 3,
                                          &Rig.LayerA[(size_t)Bone]);
            KelvoAccumulateLocalTransform(Pose, Bone, Bone, 0.3f, &Rig.Skeleton, 3,
                                          &Rig.LayerB[(size_t)Bone]);
        }
        KelvoEndLocalPoseAccumulation(Pose, 0, Count, &Rig.Skeleton, nullptr);
        benchmark::ClobberMemory();
    }
    KelvoFreeLocalPose(Pose);
    Finish(State, Count);
}
BENCHMARK(TwoLayerBlend)->Arg(67)->Arg(368);

// The same blend written plainly: weighted sums with the hemisphere check,
// then division by the weight and an exact normalization.
void ReferenceBlend(benchmark::State &State) {
    int Count = (int)State.range(0);
    rig Rig(Count);
    std::vector<kelvo_transform> Result((size_t)Count);
    for (auto _ : State) {
        for (int Bone = 0; Bone < Count; ++Bone) {
            kelvo_transform const &A = Rig.LayerA[(size_t)Bone];
            kelvo_transform const &B = Rig.LayerB[(size_t)Bone];
            kelvo_transform &R = Result[(size_t)Bone];
            float const WA = 0.7f, WB = 0.3f, Total = WA + WB;
            float Dot = 0;
            for (int Index = 0; Index < 4; ++Index) {
                Dot += A.Orientation[Index] * B.Orientation[Index];
            }
            float const SB = Dot >= 0 ? WB : -WB;
            R.Flags = A.Flags | B.Flags;
            for (int Index = 0; Index < 3; ++Index) {
                R.Position[Index] = (WA * A.Position[Index] + WB * B.Position[Index]) / Total;
            }
            float Length2 = 0;
            for (int Index = 0; Index < 4; ++Index) {
                R.Orientation[Index] = WA * A.Orientation[Index] + SB * B.Orientation[Index];
                Length2 += R.Orientation[Index] * R.Orientation[Index];
            }
            float const Scale = 1 / std::sqrt(Length2);
            for (int Index = 0; Index < 4; ++Index) {
                R.Orientation[Index] *= Scale;
            }
            for (int Index = 0; Index < 9; ++Index) {
                R.ScaleShear[Index] = (WA * A.ScaleShear[Index] + WB * B.ScaleShear[Index]) / Total;
            }
        }
        benchmark::ClobberMemory();
    }
    Finish(State, Count);
}
BENCHMARK(ReferenceBlend)->Arg(67)->Arg(368);

void BuildWorldPose(benchmark::State &State, bool SSE) {
    int Count = (int)State.range(0);
    rig Rig(Count);
    kelvo_local_pose *Local = KelvoNewLocalPose(Count);
    for (int Bone = 0; Bone < Count; ++Bone) {
        Local->Transforms[Bone].Transform = Rig.LayerA[(size_t)Bone];
    }
    kelvo_world_pose *World = KelvoNewWorldPose(Count);
    kelvo::SetSSEPosesAllowed(SSE);
    for (auto _ : State) {
        KelvoBuildWorldPose(&Rig.Skeleton, 0, Count, Local, nullptr, World);
        benchmark::ClobberMemory();
    }
    kelvo::SetSSEPosesAllowed(true);
    KelvoFreeWorldPose(World);
    KelvoFreeLocalPose(Local);
    Finish(State, Count);
}
void BuildWorldPoseSSE(benchmark::State &State) {
    BuildWorldPose(State, true);
}
void BuildWorldPosePortable(benchmark::State &State) {
    BuildWorldPose(State, false);
}
BENCHMARK(BuildWorldPoseSSE)->Arg(67)->Arg(368);
BENCHMARK(BuildWorldPosePortable)->Arg(67)->Arg(368);

// The same build written plainly: each local transform made a 4x4 matrix,
// multiplied by its parent's world matrix, then the composite product.
void ReferenceBuild(benchmark::State &State) {
    int Count = (int)State.range(0);
    rig Rig(Count);
    std::vector<float> World((size_t)Count * 16), Composite((size_t)Count * 16);
    float const Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    auto Multiply = PlainProduct4x4;
    for (auto _ : State) {
        for (int Bone = 0; Bone < Count; ++Bone) {
            kelvo_transform const &T = Rig.LayerA[(size_t)Bone];
            float const X = T.Orientation[0], Y = T.Orientation[1], Z = T.Orientation[2],
                        W = T.Orientation[3];
            float const R[9] = {
                1 - 2 * (Y * Y + Z * Z), 2 * (X * Y - Z * W),     2 * (X * Z + Y * W),
                2 * (X * Y + Z * W),     1 - 2 * (X * X + Z * Z), 2 * (Y * Z - X * W),
                2 * (X * Z - Y * W),     2 * (Y * Z + X * W),     1 - 2 * (X * X + Y * Y)};
            float Local[16] = {};
            for (int Row = 0; Row < 3; ++Row) {
                for (int Column = 0; Column < 3; ++Column) {
                    float L = 0;
                    for (int K = 0; K < 3; ++K) {
                        L += R[3 * Column + K] * T.ScaleShear[3 * K + Row];
                    }
                    Local[4 * Row + Column] = L;
                }
                Local[12 + Row] = T.Position[Row];
            }
            Local[15] = 1;
            int Parent = Rig.Bones[(size_t)Bone].ParentIndex;
            float *Out = &World[16 * (size_t)Bone];
            Multiply(Local, Parent < 0 ? Identity : &World[16 * (size_t)Parent], Out);
            Multiply(Rig.Bones[(size_t)Bone].InverseWorldTransform, Out,
                     &Composite[16 * (size_t)Bone]);
        }
        benchmark::ClobberMemory();
    }
    Finish(State, Count);
}
BENCHMARK(ReferenceBuild)->Arg(67)->Arg(368);

} // namespace

BENCHMARK_MAIN();
