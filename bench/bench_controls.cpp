// The frame of a character with three blended animations, ns per bone per
// frame, beside references measured in the same run:
// - Frame3Animations: set the clock, sample and blend three animations of
//   cubic curves into a local pose (ending the accumulation), build the
//   world pose with composites, for a 67-bone character;
// - SampleOnlyReference: the three animations' tracks sampled by the
//   general sampler, without blending or world matrices;
// - WorldPoseOnlyReference: the world pose with composites alone;
// - OneAnimationAcceleratedReference: one animation straight to the world
//   pose (the accelerated single-control path).
// The target is about 38 ns per bone for the three-animation frame.
#include "bench_curves_support.h"
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int BoneCount = 67;


// A chain skeleton and three animations of it, each with cubic position and
// orientation curves on every bone.
struct character {
    std::vector<std::string> Names;
    std::vector<kelvo_curve2 *> Curves;
    kelvo_curve2 *Identity;
    std::vector<kelvo_bone> Bones;
    std::vector<kelvo_transform_track> Tracks[3];
    kelvo_track_group Groups[3] = {};
    kelvo_track_group_slot Slots[3];
    kelvo_animation Animations[3] = {};
    kelvo_skeleton Skeleton = {};
    kelvo_model Model = {};

    character() : Names(BoneCount), Bones(BoneCount) {
        kelvo_curve_builder *Builder = KelvoBeginCurve(KelvoCurveDataDaIdentityType, 0, 9, 0);
        Identity = KelvoEndCurve(Builder);
        for (int Index = 0; Index < BoneCount; ++Index) {
            char Name[32];
            std::snprintf(Name, sizeof(Name), "bone_%03d", Index);
            Names[(size_t)Index] = Name;
            kelvo_bone &Bone = Bones[(size_t)Index];
            Bone = {};
            Bone.Name = Names[(size_t)Index].c_str();
            Bone.ParentIndex = Index - 1;
            KelvoMakeIdentity(&Bone.Transform);
            Bone.Transform.Position[1] = 1.0f;
            Bone.Transform.Flags = KelvoHasPosition;
            float const I[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -(float)Index, 0, 1};
            std::copy(I, I + 16, Bone.InverseWorldTransform);
        }
        for (int Clip = 0; Clip < 3; ++Clip) {
            for (int Index = 0; Index < BoneCount; ++Index) {
                std::vector<float> Positions, Orientations;
                for (int Knot = 0; Knot < 16; ++Knot) {
                    float Angle = 0.1f * (float)(Knot + Index) + (float)Clip;
                    Positions.insert(Positions.end(), {0.1f * std::sin(Angle), 1.0f, 0.0f});
                    Orientations.insert(Orientations.end(), {0.0f, std::sin(Angle / 4), 0.0f,
                                                             std::cos(Angle / 4)});
                }
                Curves.push_back(BuildCubicCurve(3, Positions, 16));
                Curves.push_back(BuildCubicCurve(4, Orientations, 16));
                Tracks[Clip].push_back({Names[(size_t)Index].c_str(), 0,
                                        *Curves[Curves.size() - 1], *Curves[Curves.size() - 2],
                                        *Identity});
            }
            Groups[Clip].Name = "hero";
            Groups[Clip].TransformTrackCount = BoneCount;
            Groups[Clip].TransformTracks = Tracks[Clip].data();
            Groups[Clip].AccumulationFlags = KELVO_TRACK_GROUP_IS_SORTED;
            KelvoMakeIdentity(&Groups[Clip].InitialPlacement);
            Slots[Clip] = &Groups[Clip];
            Animations[Clip] = {"clip", 1.0f, 1.0f / 30, 1.0f, 1, &Slots[Clip]};
        }
        Skeleton = {"hero", BoneCount, Bones.data(), 0};
        Model.Name = "hero";
        Model.Skeleton = &Skeleton;
        KelvoMakeIdentity(&Model.InitialPlacement);
    }
    ~character() {
        for (kelvo_curve2 *Curve : Curves)
            KelvoFreeCurve(Curve);
        KelvoFreeCurve(Identity);
    }
};

void PerBone(benchmark::State &State) {
    State.counters["ns_per_bone"] =
        benchmark::Counter((double)State.iterations() * BoneCount,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Three looping controls with different weights on one instance.
struct playing {
    character Hero;
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
    std::vector<kelvo_control *> Controls;
    kelvo_local_pose *Pose = KelvoNewLocalPose(BoneCount);
    kelvo_world_pose *World = KelvoNewWorldPose(BoneCount);
    explicit playing(int Count) {
        for (int Clip = 0; Clip < Count; ++Clip) {
            kelvo_control *Control =
                KelvoPlayControlledAnimation(0.0f, &Hero.Animations[Clip], Instance);
            KelvoSetControlLoopCount(Control, 0);
            KelvoSetControlWeight(Control, 1.0f / (float)(Clip + 1));
            Controls.push_back(Control);
        }
    }
    ~playing() {
        for (kelvo_control *Control : Controls)
            KelvoFreeControl(Control);
        KelvoFreeModelInstance(Instance);
        KelvoFreeLocalPose(Pose);
        KelvoFreeWorldPose(World);
    }
};

void Frame3Animations(benchmark::State &State) {
    playing Scene(3);
    float Clock = 0.0f;
    for (auto _ : State) {
        Clock += 1.0f / 60;
        KelvoSetModelClock(Scene.Instance, Clock);
        KelvoSampleModelAnimations(Scene.Instance, 0, BoneCount, Scene.Pose);
        KelvoBuildWorldPose(&Scene.Hero.Skeleton, 0, BoneCount, Scene.Pose, nullptr, Scene.World);
        benchmark::ClobberMemory();
    }
    PerBone(State);
}
BENCHMARK(Frame3Animations);

void SampleOnlyReference(benchmark::State &State) {
    playing Scene(3);
    float Clock = 0.0f;
    for (auto _ : State) {
        Clock = Clock > 0.98f ? 0.0f : Clock + 1.0f / 60;
        kelvo_sample_context Context = {Clock, 1.0f, 1, 1, 0};
        for (kelvo_control *Control : Scene.Controls) {
            kelvo_animation_binding *Binding = KelvoGetAnimationBindingFromControlBinding(
                KelvoControlModelsBegin(Control));
            for (int Bone = 0; Bone < BoneCount; ++Bone) {
                kelvo_bound_transform_track const &Track = Binding->TrackBindings[Bone];
                kelvo_transform Local;
                KelvoSampleTrackUUULocal(&Context, Track.SourceTrack, &Track, &Local);
                benchmark::DoNotOptimize(Local);
            }
        }
    }
    PerBone(State);
}
BENCHMARK(SampleOnlyReference);

void WorldPoseOnlyReference(benchmark::State &State) {
    playing Scene(3);
    KelvoSampleModelAnimations(Scene.Instance, 0, BoneCount, Scene.Pose);
    for (auto _ : State) {
        KelvoBuildWorldPose(&Scene.Hero.Skeleton, 0, BoneCount, Scene.Pose, nullptr, Scene.World);
        benchmark::ClobberMemory();
    }
    PerBone(State);
}
BENCHMARK(WorldPoseOnlyReference);

void OneAnimationAcceleratedReference(benchmark::State &State) {
    playing Scene(1);
    float Clock = 0.0f;
    for (auto _ : State) {
        Clock += 1.0f / 60;
        KelvoSetModelClock(Scene.Instance, Clock);
        KelvoSampleModelAnimationsAccelerated(Scene.Instance, BoneCount, nullptr, Scene.Pose,
                                              Scene.World);
        benchmark::ClobberMemory();
    }
    PerBone(State);
}
BENCHMARK(OneAnimationAcceleratedReference);

} // namespace

BENCHMARK_MAIN();
