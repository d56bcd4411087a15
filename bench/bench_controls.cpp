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
#include "bench_character_support.h"
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

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

// Count animations played at 60 frames a second: each frame sets the clock,
// then Frame(Scene) does the frame's work.
template <typename frame> void PlayFrames(benchmark::State &State, int Count, frame Frame) {
    playing Scene(Count);
    float Clock = 0.0f;
    for (auto _ : State) {
        Clock += 1.0f / 60;
        KelvoSetModelClock(Scene.Instance, Clock);
        Frame(Scene);
        benchmark::ClobberMemory();
    }
    PerBone(State);
}

void Frame3Animations(benchmark::State &State) {
    PlayFrames(State, 3, [](playing &Scene) {
        KelvoSampleModelAnimations(Scene.Instance, 0, BoneCount, Scene.Pose);
        KelvoBuildWorldPose(&Scene.Hero.Skeleton, 0, BoneCount, Scene.Pose, nullptr, Scene.World);
    });
}
BENCHMARK(Frame3Animations);

void SampleOnlyReference(benchmark::State &State) {
    playing Scene(3);
    float Clock = 0.0f;
    for (auto _ : State) {
        Clock = Clock > 0.98f ? 0.0f : Clock + 1.0f / 60;
        kelvo_sample_context Context = {Clock, 1.0f, 1, 1, 0};
        for (kelvo_control *Control : Scene.Controls) {
            kelvo_animation_binding *Binding =
                KelvoGetAnimationBindingFromControlBinding(KelvoControlModelsBegin(Control));
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
    PlayFrames(State, 1, [](playing &Scene) {
        KelvoSampleModelAnimationsAccelerated(Scene.Instance, BoneCount, nullptr, Scene.Pose,
                                              Scene.World);
    });
}
BENCHMARK(OneAnimationAcceleratedReference);

} // namespace

BENCHMARK_MAIN();
