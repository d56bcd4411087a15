// Sampling a blend DAG, ns per bone per frame, beside a reference measured
// in the same run:
// - CrossfadeOfTwoBlends: a crossfade over two weighted blends of two
//   animations each (four instances of a 67-bone character, one animation
//   on each), clocks set and the tree sampled into a local pose;
// - FourAnimationsOneInstanceReference: the same four animations on one
//   instance, blended by weight without a DAG.
#include "bench_character_support.h"

namespace {

constexpr int ClipCount = 4;
constexpr float Weights[ClipCount] = {0.7f, 0.3f, 0.5f, 0.5f};

kelvo_control *PlayLooping(character &Hero, int Clip, kelvo_model_instance *Instance) {
    kelvo_control *Control = KelvoPlayControlledAnimation(0.0f, &Hero.Animations[Clip], Instance);
    KelvoSetControlLoopCount(Control, 0);
    return Control;
}

void CrossfadeOfTwoBlends(benchmark::State &State) {
    character Hero(ClipCount);
    std::vector<kelvo_model_instance *> Instances;
    std::vector<kelvo_control *> Controls;
    kelvo_blend_dag_node *Leaves[ClipCount];
    for (int Clip = 0; Clip < ClipCount; ++Clip) {
        Instances.push_back(KelvoInstantiateModel(&Hero.Model));
        Controls.push_back(PlayLooping(Hero, Clip, Instances.back()));
        Leaves[Clip] = KelvoCreateBlendDagNodeAnimationBlend(Instances.back(), 0);
        KelvoSetBlendDagNodeResultWeight(Leaves[Clip], Weights[Clip]);
    }
    kelvo_blend_dag_node *Root = KelvoCreateBlendDagNodeCrossfade(
        KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 2, Leaves),
        KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 2, Leaves + 2),
        0.4f, 0.4f, nullptr, 0, 0);
    KelvoPrimeBlendDagLocalPoseCache(BoneCount, 16);
    float Clock = 0.0f;
    for (auto _ : State) {
        Clock += 1.0f / 60;
        KelvoSetBlendDagTreeClock(Root, Clock);
        benchmark::DoNotOptimize(KelvoSampleBlendDagTree(Root, BoneCount));
        benchmark::ClobberMemory();
    }
    PerBone(State);
    KelvoFreeBlendDagEntireTree(Root);
    KelvoFreeBlendDagLocalPoseCache();
    for (int Clip = 0; Clip < ClipCount; ++Clip) {
        KelvoFreeControl(Controls[(size_t)Clip]);
        KelvoFreeModelInstance(Instances[(size_t)Clip]);
    }
}
BENCHMARK(CrossfadeOfTwoBlends);

void FourAnimationsOneInstanceReference(benchmark::State &State) {
    character Hero(ClipCount);
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
    std::vector<kelvo_control *> Controls;
    for (int Clip = 0; Clip < ClipCount; ++Clip) {
        Controls.push_back(PlayLooping(Hero, Clip, Instance));
        KelvoSetControlWeight(Controls.back(), Weights[Clip]);
    }
    kelvo_local_pose *Pose = KelvoNewLocalPose(BoneCount);
    float Clock = 0.0f;
    for (auto _ : State) {
        Clock += 1.0f / 60;
        KelvoSetModelClock(Instance, Clock);
        KelvoSampleModelAnimations(Instance, 0, BoneCount, Pose);
        benchmark::ClobberMemory();
    }
    PerBone(State);
    KelvoFreeLocalPose(Pose);
    for (kelvo_control *Control : Controls)
        KelvoFreeControl(Control);
    KelvoFreeModelInstance(Instance);
}
BENCHMARK(FourAnimationsOneInstanceReference);

} // namespace

BENCHMARK_MAIN();
