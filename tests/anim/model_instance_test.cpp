#include "anim/instance_test_support.h"
#include "anim/kelvo_control_internal.h"
#include "anim/kelvo_pose.h"
#include "kelvo_test.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

class ModelInstanceTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        KelvoGetAnimationBindingCacheStatus(&Start);
    }
    kelvo_int32 CurrentBindings() const {
        kelvo_animation_binding_cache_status Now;
        KelvoGetAnimationBindingCacheStatus(&Now);
        return Now.CurrentTotalBindingCount - Start.CurrentTotalBindingCount;
    }
    kelvo_animation_binding_cache_status Start;
};

TEST_F(ModelInstanceTest, WeightedAndEasedAnimationsBlendAsByHand) {
    character Hero;
    clip Clips[4] = {clip(0.2f), clip(0.7f), clip(1.1f), clip(5.0f)};
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
    kelvo_control *A = KelvoPlayControlledAnimation(0.0f, &Clips[0].Animation, Instance);
    kelvo_control *B = KelvoPlayControlledAnimation(0.2f, &Clips[1].Animation, Instance);
    kelvo_control *C = KelvoPlayControlledAnimation(0.1f, &Clips[2].Animation, Instance);
    kelvo_control *Faint = KelvoPlayControlledAnimation(0.0f, &Clips[3].Animation, Instance);
    ASSERT_TRUE(A && B && C && Faint);
    KelvoSetControlWeight(B, 0.5f);
    KelvoEaseControlIn(C, 0.5f, 0);
    KelvoSetControlWeight(Faint, 0.0005f); // contributes nothing
    KelvoSetModelClock(Instance, 0.4f);
    owned_pose Sampled(KelvoNewLocalPose(3));
    KelvoSampleModelAnimations(Instance, 0, 3, Sampled.get());

    // By hand: local clocks 0.4, 0.2 and 0.3; C's ease at f = 0.6 of (0, 0, 1, 1).
    float const F = 0.6f, G = 0.4f;
    float const Weights[3] = {1.0f, 0.5f, 3 * G * F * F + F * F * F};
    float const Clocks[3] = {0.4f, 0.2f, 0.3f};
    owned_pose Expected(KelvoNewLocalPose(3));
    KelvoBeginLocalPoseAccumulation(Expected.get(), 0, 3, nullptr);
    for (int Clip = 0; Clip < 3; ++Clip) {
        kelvo_sample_context Context = {Clocks[Clip], 1.0f, 0, 0, 0};
        for (int Bone = 0; Bone < 3; ++Bone) {
            kelvo_bound_transform_track Bound = BindTrack(&Clips[Clip].Tracks[Bone]);
            kelvo_transform Local;
            KelvoSampleTrackUUULocal(&Context, Bound.SourceTrack, &Bound, &Local);
            KelvoAccumulateLocalTransform(Expected.get(), Bone, Bone, Weights[Clip], &Hero.Skeleton,
                                          0, &Local);
        }
    }
    KelvoEndLocalPoseAccumulation(Expected.get(), 0, 3, &Hero.Skeleton, nullptr);
    ExpectPosesNear(Sampled.get(), Expected.get());

    // The single-control form samples that control alone.
    KelvoSampleSingleModelAnimation(Instance, A, 0, 3, Sampled.get());
    KelvoBeginLocalPoseAccumulation(Expected.get(), 0, 3, nullptr);
    kelvo_sample_context Context = {0.4f, 1.0f, 0, 0, 0};
    for (int Bone = 0; Bone < 3; ++Bone) {
        kelvo_bound_transform_track Bound = BindTrack(&Clips[0].Tracks[Bone]);
        kelvo_transform Local;
        KelvoSampleTrackUUULocal(&Context, Bound.SourceTrack, &Bound, &Local);
        KelvoAccumulateLocalTransform(Expected.get(), Bone, Bone, 1.0f, &Hero.Skeleton, 0, &Local);
    }
    KelvoEndLocalPoseAccumulation(Expected.get(), 0, 3, &Hero.Skeleton, nullptr);
    ExpectPosesNear(Sampled.get(), Expected.get());
    KelvoFreeModelInstance(Instance);
    for (kelvo_control *Control : {A, B, C, Faint})
        KelvoFreeControl(Control);
}

// How three clips play on the character, beside their curves: with
// AllowedError and the bound tracks' LOD errors, the masks (track mask
// 1, 0.5, 0.0015 and model mask 0.7, 1, 1, so that some bones weigh under
// the threshold), the accumulation mode and each bone's quaternion mode
// (-1: as bound).
// Clocks played forwards and backwards across the seams, then by jumps.
std::vector<float> PlayedClocks() {
    std::vector<float> Clocks;
    for (int Step = 0; Step < 50; ++Step)
        Clocks.push_back(-1.2f + 0.07f * (float)Step);
    for (int Step = 50; Step > 0; --Step)
        Clocks.push_back(-1.2f + 0.07f * (float)Step);
    for (float Jump : {3.3f, -0.01f, 7.98f, 0.5f, 1.0f, -2.0f})
        Clocks.push_back(Jump);
    return Clocks;
}

// The paths the bit tests compare: the AVX build of the kernels (the SSE2
// one where the processor lacks AVX), the SSE2 build and the portable code.
struct kernel_path {
    char const *Name;
    bool SSE, AVX;
};
kernel_path const KernelPaths[] = {
    {", AVX", true, true}, {", SSE2", true, false}, {", portable", false, false}};

void UseKernelPath(kernel_path const &Path) {
    kelvo::SetSSEPosesAllowed(Path.SSE);
    kelvo::SetAVXPosesAllowed(Path.AVX);
}

struct sampling_case {
    char const *Name;
    float AllowedError;
    float LODErrors[3]; // 0: as bound
    bool Masks;
    kelvo_accumulation_mode Accumulation;
    int QuaternionModes[3];
};

// Instance sampling (knot cursors, paired curves, kept pairs stepping in and
// out of seam windows, cubic pairs evaluated and orientations normalized
// several bones at a time) keeps every bit of each entry (sums, weight,
// count, traversal) of sampling each track alone, applying the LOD rule,
// masks and root-motion stripping by hand and accumulating, on every kernel
// path: linear and cubic looping clips (their tracks keyed at the same or
// at different times, their orientations keyed with their positions or
// not, their curves stored as floats or quantized) played forwards,
// backwards, by jumps and across the seam, on a sparse pose that repeats
// bones so that groups (and their batches of lanes) fill and part-fill;
// mid-play, a speed and a loop count change and a binding that two
// controls share is re-pointed to another clip, whose tracks differ in
// what their cursors need (a root that keeps a pair, knots apart or not).
// The pose repeats a pattern of 21 bones Copies times.
void ExpectInstanceSamplingKeepsEveryBit(sampling_case const &Case, int Copies = 2) {
    SCOPED_TRACE(Case.Name);
    character Hero;
    kelvo_int32 const Pattern[] = {0, 1, 2, 2, 1, 0, 1, 2, 0, 2, 2, 2, 1, 1, 0, 0, 1, 2, 0, 1, 2};
    std::vector<kelvo_int32> Sparse;
    for (int Copy = 0; Copy < Copies; ++Copy)
        Sparse.insert(Sparse.end(), std::begin(Pattern), std::end(Pattern));
    kelvo_int32 const Entries = (kelvo_int32)Sparse.size();
    std::vector<float> const Clocks = PlayedClocks();
    kelvo_track_mask *TrackMask = KelvoNewTrackMask(1.0f, 3);
    kelvo_track_mask *ModelMask = KelvoNewTrackMask(1.0f, 3);
    KelvoSetTrackMaskBoneWeight(TrackMask, 1, 0.5f);
    KelvoSetTrackMaskBoneWeight(TrackMask, 2, 0.0015f);
    KelvoSetTrackMaskBoneWeight(ModelMask, 0, 0.7f);
    float const FadeStart = Case.AllowedError * KelvoGetGlobalLODFadingFactor();
    float const FadeScale = Case.AllowedError > 0 ? 1.0f / (Case.AllowedError - FadeStart) : 0;
    // Shapes 0 to 3 as floats, then 0 and 1 quantized.
    for (int Curves = 0; Curves < 6; ++Curves) {
        int const Shape = Curves < 4 ? Curves : Curves - 4;
        bool const Cubic = Shape > 0, Uneven = Shape == 2, Apart = Shape == 3, Stored = Curves >= 4;
        for (kernel_path const &Path : KernelPaths) {
            SCOPED_TRACE(std::string(Cubic ? "cubic" : "linear") + (Uneven ? ", uneven" : "") +
                         (Apart ? ", apart" : "") + (Stored ? ", quantized" : "") + Path.Name);
            UseKernelPath(Path);
            // The first clip's root only moves: its track keeps no pair, and is
            // re-pointed mid-play to the last clip's, which does; the last
            // clip's orientations are keyed apart from their positions where
            // the first clip's are not, and the other way round.
            std::vector<float> RootOnlyMoves(Cubic ? 27 : 9);
            for (size_t Lane = 0; Lane < RootOnlyMoves.size(); ++Lane)
                RootOnlyMoves[Lane] = 0.1f * (float)(Lane % 7);
            clip Clips[4] = {clip(0.2f, RootOnlyMoves, Cubic, Uneven, Apart, Stored),
                             clip(0.7f, {}, Cubic, Uneven, Apart, Stored),
                             clip(1.1f, {}, Cubic, Uneven, Apart, Stored),
                             clip(1.6f, {}, Cubic, Uneven, !Apart, Stored)};
            kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
            kelvo_control *Controls[4];
            for (int Clip = 0; Clip < 4; ++Clip) {
                kelvo_controlled_animation_builder *Builder =
                    KelvoBeginControlledAnimation(0.0f, &Clips[Clip < 3 ? Clip : 0].Animation);
                KelvoSetTrackGroupTarget(Builder, 0, Instance);
                KelvoSetTrackGroupAccumulation(Builder, 0, Case.Accumulation);
                if (Case.Masks) {
                    KelvoSetTrackGroupTrackMask(Builder, 0, TrackMask);
                    KelvoSetTrackGroupModelMask(Builder, 0, ModelMask);
                }
                // The last control plays the first one's binding at its own speed.
                if (Clip == 3)
                    KelvoSetTrackGroupBinding(Builder, 0,
                                              KelvoGetAnimationBindingFromControlBinding(
                                                  KelvoControlModelsBegin(Controls[0])));
                kelvo_control *Control = Controls[Clip] = KelvoEndControlledAnimation(Builder);
                ASSERT_NE(Control, nullptr);
                KelvoSetControlLoopCount(Control, 0);
                KelvoSetControlWeight(Control, 1.0f / (float)(Clip + 1));
                kelvo_animation_binding *Animation =
                    KelvoGetAnimationBindingFromControlBinding(KelvoControlModelsBegin(Control));
                for (int Bone = 0; Bone < 3 && Clip < 3; ++Bone) {
                    if (Case.LODErrors[Bone] > 0)
                        KelvoSetLODErrorValue(Animation, Bone, Case.LODErrors[Bone]);
                    if (Case.QuaternionModes[Bone] >= 0)
                        Animation->TrackBindings[Bone].QuaternionMode =
                            (kelvo_uint8)Case.QuaternionModes[Bone];
                }
            }
            KelvoSetControlSpeed(Controls[3], 1.3f);
            owned_pose Sampled(KelvoNewLocalPose(Entries)), Expected(KelvoNewLocalPose(Entries));
            for (size_t Step = 0; Step < Clocks.size(); ++Step) {
                float const Clock = Clocks[Step];
                if (Step == 30)
                    KelvoSetControlSpeed(Controls[1], -0.6f);
                if (Step == 45)
                    KelvoSetControlLoopCount(Controls[2], 3);
                if (Step == 80)
                    KelvoRemapAnimationBindingPointers(KelvoGetAnimationBindingFromControlBinding(
                                                           KelvoControlModelsBegin(Controls[0])),
                                                       &Clips[3].Animation);
                KelvoSetModelClock(Instance, Clock);
                KelvoSampleModelAnimationsLODSparse(Instance, 0, Entries, Sampled.get(),
                                                    Case.AllowedError, Sparse.data());
                KelvoBeginLocalPoseAccumulation(Expected.get(), 0, Entries, Sparse.data());
                for (kelvo_model_control_binding *Binding = KelvoModelControlsBegin(Instance);
                     Binding != KelvoModelControlsEnd(Instance);
                     Binding = KelvoModelControlsNext(Binding)) {
                    kelvo_control *Control = KelvoGetControlFromBinding(Binding);
                    kelvo_sample_context Context;
                    kelvo::GetControlSampleContext(Control, &Context);
                    kelvo_animation_binding *Animation =
                        KelvoGetAnimationBindingFromControlBinding(Binding);
                    for (kelvo_int32 Entry = 0; Entry < Entries; ++Entry) {
                        kelvo_int32 const Bone = Sparse[Entry];
                        kelvo_bound_transform_track const &Track = Animation->TrackBindings[Bone];
                        float Weight = KelvoGetControlWeight(Control);
                        if (Case.Masks) {
                            Weight =
                                Weight *
                                KelvoGetTrackMaskBoneWeight(TrackMask, Track.SourceTrackIndex) *
                                KelvoGetTrackMaskBoneWeight(ModelMask, Bone);
                        }
                        if (Weight <= 0.001f)
                            continue;
                        kelvo_transform Local = Track.LODTransform;
                        if (Track.LODError > FadeStart) {
                            KelvoSampleTrackUUULocal(&Context, Track.SourceTrack, &Track, &Local);
                            if (Track.LODError <= Case.AllowedError)
                                KelvoLinearBlendTransform(&Local, &Local,
                                                          (Case.AllowedError - Track.LODError) *
                                                              FadeScale,
                                                          &Track.LODTransform);
                        }
                        if (Case.Accumulation == KelvoVariableDeltaAccumulation && Bone == 0) {
                            Local.Flags &= ~(kelvo_uint32)(KelvoHasPosition | KelvoHasOrientation);
                            float const Still[7] = {0, 0, 0, 0, 0, 0, 1};
                            std::memcpy(Local.Position, Still, sizeof(Still));
                        }
                        KelvoAccumulateLocalTransform(Expected.get(), Entry, Bone, Weight,
                                                      &Hero.Skeleton, Track.QuaternionMode, &Local);
                    }
                }
                KelvoEndLocalPoseAccumulationLOD(Expected.get(), 0, Entries, &Hero.Skeleton,
                                                 Case.AllowedError, Sparse.data());
                for (kelvo_int32 Entry = 0; Entry < Entries; ++Entry) {
                    ASSERT_EQ(memcmp(&Sampled->Transforms[Entry], &Expected->Transforms[Entry],
                                     sizeof(kelvo_local_pose_transform)),
                              0)
                        << Clock << " entry " << Entry;
                }
            }
            while (KelvoModelControlsBegin(Instance) != KelvoModelControlsEnd(Instance))
                KelvoFreeControl(KelvoGetControlFromBinding(KelvoModelControlsBegin(Instance)));
            KelvoFreeModelInstance(Instance);
        }
    }
    UseKernelPath(KernelPaths[0]);
    KelvoFreeTrackMask(TrackMask);
    KelvoFreeTrackMask(ModelMask);
}

TEST_F(ModelInstanceTest, InstanceSamplingKeepsEveryBitOfTrackByTrackSampling) {
    // Past a full group of kept pairs.
    ExpectInstanceSamplingKeepsEveryBit(
        {"as bound", 0.0f, {0, 0, 0}, false, KelvoNoAccumulation, {-1, -1, -1}}, 7);
}

// The paths beside the steady one, in the same ranges as steady tracks.
TEST_F(ModelInstanceTest, InstanceSamplingKeepsEveryBitOnEveryPathBesideTheSteadyOne) {
    sampling_case const Cases[] = {
        {"quaternion modes", 0.0f, {0, 0, 0}, false, KelvoNoAccumulation, {1, 2, 3}},
        {"LOD transform, fade, sampled",
         0.5f,
         {0.1f, 0.45f, 2.0f},
         false,
         KelvoNoAccumulation,
         {3, 3, 3}},
        {"masks", 0.0f, {0, 0, 0}, true, KelvoNoAccumulation, {3, 2, 0}},
        {"variable-delta root", 0.0f, {0, 0, 0}, false, KelvoVariableDeltaAccumulation, {2, 3, 3}},
    };
    for (sampling_case const &Case : Cases)
        ExpectInstanceSamplingKeepsEveryBit(Case);
}

TEST_F(ModelInstanceTest, CompletedControlsAndFreedInstancesReleaseTheirBindings) {
    character Hero;
    clip Walk(0.3f), Run(0.6f);
    kelvo_model_instance *First = KelvoInstantiateModel(&Hero.Model);
    kelvo_model_instance *Second = KelvoInstantiateModel(&Hero.Model);
    EXPECT_EQ(KelvoGetGlobalModelInstancesBegin(), Second);
    kelvo_control *Done = KelvoPlayControlledAnimation(0.0f, &Walk.Animation, First);
    kelvo_control *Shared = KelvoPlayControlledAnimation(0.0f, &Run.Animation, First);
    kelvo_controlled_animation_builder *Builder = KelvoBeginControlledAnimation(0, &Run.Animation);
    KelvoUseExistingControlForAnimation(Builder, Shared);
    KelvoSetTrackGroupTarget(Builder, 0, Second);
    EXPECT_EQ(KelvoEndControlledAnimation(Builder), Shared);
    EXPECT_EQ(CurrentBindings(), 2); // the run's binding serves both instances

    KelvoCompleteControlAt(Done, 1.0f);
    KelvoSetModelClock(First, 1.5f);
    KelvoFreeCompletedModelControls(First);
    EXPECT_EQ(CurrentBindings(), 1); // the walk's binding went with its control
    kelvo_model_control_binding *Ring = KelvoModelControlsBegin(First);
    EXPECT_EQ(KelvoGetAnimationBindingFromControlBinding(Ring)->ID.Animation, &Run.Animation);
    EXPECT_EQ(KelvoModelControlsNext(Ring), KelvoModelControlsEnd(First));

    KelvoFreeControlOnceUnused(Shared); // still bound twice
    KelvoFreeModelInstance(First);
    EXPECT_EQ(CurrentBindings(), 1);
    EXPECT_EQ(KelvoGetGlobalControlsBegin(), Shared);
    KelvoFreeModelInstance(Second); // its last binding: the control goes too
    EXPECT_EQ(CurrentBindings(), 0);
    EXPECT_EQ(KelvoGetGlobalControlsBegin(), KelvoGetGlobalControlsEnd());
    EXPECT_EQ(KelvoGetGlobalModelInstancesBegin(), KelvoGetGlobalModelInstancesEnd());
}

TEST_F(ModelInstanceTest, ActiveBindingsLeadTheRing) {
    character Hero;
    clip Walk(0.3f), Run(0.6f);
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
    kelvo_control *Walking = KelvoPlayControlledAnimation(0.0f, &Walk.Animation, Instance);
    kelvo_control *Running = KelvoPlayControlledAnimation(0.0f, &Run.Animation, Instance);
    auto FrontControl = [&] {
        return KelvoGetControlFromBinding(KelvoModelControlsBegin(Instance));
    };
    EXPECT_EQ(FrontControl(), Running);
    KelvoSetControlWeight(Running, 0.0f);
    EXPECT_EQ(FrontControl(), Walking);
    KelvoSetControlWeight(Running, 0.5f);
    EXPECT_EQ(FrontControl(), Running);
    KelvoSetControlActive(Running, 0);
    EXPECT_EQ(FrontControl(), Walking);
    KelvoFreeControl(Walking);
    KelvoFreeControl(Running);
    KelvoFreeModelInstance(Instance);
}

TEST_F(ModelInstanceTest, AcceleratedSamplingMatchesTheLocalPosePath) {
    character Hero;
    clip Walk(0.3f), Run(0.6f), Idle(0.9f);
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
    owned_pose Scratch(KelvoNewLocalPose(3)), Pose(KelvoNewLocalPose(3));
    kelvo_world_pose *Fast = KelvoNewWorldPose(3), *Slow = KelvoNewWorldPose(3);
    float const Offset[16] = {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 4, 5, 6, 1};
    std::vector<kelvo_control *> Controls;
    // No animation, one, one with an inactive one behind it, two.
    clip *const Added[] = {nullptr, &Walk, &Run, &Idle};
    for (clip *Clip : Added) {
        if (Clip) {
            Controls.push_back(KelvoPlayControlledAnimation(0.0f, &Clip->Animation, Instance));
        }
        if (Clip == &Run) {
            KelvoSetControlWeight(Controls.back(), 0.0f);
        }
        if (Clip == &Idle) {
            KelvoSetControlWeight(Controls[1], 0.4f);
        }
        KelvoSetModelClock(Instance, 0.35f);
        KelvoSampleModelAnimationsAccelerated(Instance, 3, Offset, Scratch.get(), Fast);
        KelvoSampleModelAnimations(Instance, 0, 3, Pose.get());
        KelvoBuildWorldPose(&Hero.Skeleton, 0, 3, Pose.get(), Offset, Slow);
        for (int Bone = 0; Bone < 3; ++Bone) {
            for (int Index = 0; Index < 16; ++Index) {
                EXPECT_NEAR(KelvoGetWorldPose4x4(Fast, Bone)[Index],
                            KelvoGetWorldPose4x4(Slow, Bone)[Index], 2e-5f)
                    << Controls.size() << " controls, bone " << Bone << " element " << Index;
            }
        }
    }
    KelvoSampleModelAnimationsAccelerated(Instance, 3, nullptr, nullptr, Fast);
    ExpectLogged(KelvoErrorLogMessage, "&Scratch is not allowed to be 0");
    KelvoFreeModelInstance(Instance);
    for (kelvo_control *Control : Controls)
        KelvoFreeControl(Control);
    KelvoFreeWorldPose(Fast);
    KelvoFreeWorldPose(Slow);
}

// A single control built straight to the world pose (cursors, kept pairs
// evaluated a group of bones at a time) keeps every bit of the world and
// composite matrices that each bone's own sampler, without cursors, gives
// under the LOD rule, masks and root motion, on every kernel path: a
// 36-bone tree (groups fill and part-fill, parents in earlier
// groups, bones without a track) playing linear and cubic clips forwards
// and backwards across loop seams, by jumps, with a speed and a loop count
// change mid-play.
TEST_F(ModelInstanceTest, SingleControlBuildsTheWorldPoseAsEachTrackSamplerDoes) {
    struct direct_case {
        char const *Name;
        float AllowedError;
        bool LODErrors; // bones cycle through at, fading to and above their LOD transform
        bool Masks;
        kelvo_accumulation_mode Accumulation;
    } const Cases[] = {
        {"steady", 0.0f, false, false, KelvoNoAccumulation},
        {"LOD", 0.5f, true, false, KelvoConstantExtractionAccumulation},
        {"masks", 0.0f, false, true, KelvoNoAccumulation},
        {"variable-delta root", 0.5f, true, true, KelvoVariableDeltaAccumulation},
    };
    constexpr int Bones = 36;
    std::vector<std::string> Names;
    for (int Bone = 0; Bone < Bones; ++Bone)
        Names.push_back("bone" + std::to_string(Bone));
    std::vector<kelvo_bone> Skeleton(Bones);
    for (int Bone = 0; Bone < Bones; ++Bone) {
        kelvo_bone &Into = Skeleton[Bone];
        Into = {};
        Into.Name = Names[Bone].c_str();
        Into.ParentIndex = Bone ? (Bone - 1) / 2 : -1;
        KelvoMakeIdentity(&Into.Transform);
        Into.Transform.Position[0] = 0.25f * (float)(Bone % 3);
        Into.Transform.Flags = KelvoHasPosition;
        float const Inverse[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -(float)Bone, 0.5f, 1};
        std::memcpy(Into.InverseWorldTransform, Inverse, sizeof(Inverse));
    }
    kelvo_skeleton Tree = {"tree", Bones, Skeleton.data(), 0};
    kelvo_model Model = {};
    Model.Name = "tree";
    Model.Skeleton = &Tree;
    KelvoMakeIdentity(&Model.InitialPlacement);
    std::vector<float> const Clocks = PlayedClocks();
    float const Offset[16] = {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 4, 5, 6, 1};
    kelvo_track_mask *TrackMask = KelvoNewTrackMask(1.0f, Bones);
    kelvo_track_mask *ModelMask = KelvoNewTrackMask(1.0f, Bones);
    for (int Bone = 0; Bone < Bones; ++Bone) {
        KelvoSetTrackMaskBoneWeight(TrackMask, Bone, Bone % 5 == 1 ? 0.0005f : 0.5f);
        KelvoSetTrackMaskBoneWeight(ModelMask, Bone, Bone % 4 == 3 ? 0.0002f : 1.0f);
    }
    owned_pose Scratch(KelvoNewLocalPose(Bones));
    kelvo_world_pose *Built = KelvoNewWorldPose(Bones), *Expected = KelvoNewWorldPose(Bones);
    for (direct_case const &Case : Cases) {
        float const FadeStart = Case.AllowedError * KelvoGetGlobalLODFadingFactor();
        float const FadeScale = Case.AllowedError > 0 ? 1.0f / (Case.AllowedError - FadeStart) : 0;
        for (int Curves = 0; Curves < 4; ++Curves) {
            bool const Cubic = Curves > 0, Uneven = Curves == 2, Apart = Curves == 3;
            clip Shapes(0.7f, {}, Cubic, Uneven, Apart);
            // Bone i plays the shape of track i % 3; every seventh has no track.
            std::vector<kelvo_transform_track> Tracks;
            for (int Bone = 0; Bone < Bones; ++Bone) {
                if (Bone % 7 == 6)
                    continue;
                Tracks.push_back(Shapes.Tracks[Bone % 3]);
                Tracks.back().Name = Names[Bone].c_str();
            }
            Shapes.Group.Name = "tree";
            Shapes.Group.TransformTrackCount = (kelvo_int32)Tracks.size();
            Shapes.Group.TransformTracks = Tracks.data();
            for (kernel_path const &Path : KernelPaths) {
                SCOPED_TRACE(std::string(Case.Name) + ", curves " + std::to_string(Curves) +
                             Path.Name);
                UseKernelPath(Path);
                kelvo_model_instance *Instance = KelvoInstantiateModel(&Model);
                kelvo_controlled_animation_builder *Builder =
                    KelvoBeginControlledAnimation(0.0f, &Shapes.Animation);
                KelvoSetTrackGroupTarget(Builder, 0, Instance);
                KelvoSetTrackGroupAccumulation(Builder, 0, Case.Accumulation);
                if (Case.Masks) {
                    KelvoSetTrackGroupTrackMask(Builder, 0, TrackMask);
                    KelvoSetTrackGroupModelMask(Builder, 0, ModelMask);
                }
                kelvo_control *Control = KelvoEndControlledAnimation(Builder);
                ASSERT_NE(Control, nullptr);
                KelvoSetControlLoopCount(Control, 0);
                kelvo_animation_binding *Animation =
                    KelvoGetAnimationBindingFromControlBinding(KelvoControlModelsBegin(Control));
                float const Errors[4] = {0.1f, 0.45f, 2.0f, 0.3f};
                for (int Bone = 0; Case.LODErrors && Bone < Bones; ++Bone)
                    KelvoSetLODErrorValue(Animation, Bone, Errors[Bone % 4]);
                for (size_t Step = 0; Step < Clocks.size(); ++Step) {
                    if (Step == 30)
                        KelvoSetControlSpeed(Control, -0.6f);
                    if (Step == 45)
                        KelvoSetControlLoopCount(Control, 3);
                    KelvoSetModelClock(Instance, Clocks[Step]);
                    KelvoSampleModelAnimationsAcceleratedLOD(Instance, Bones, Offset, Scratch.get(),
                                                             Built, Case.AllowedError);
                    kelvo_sample_context Context;
                    kelvo::GetControlSampleContext(Control, &Context);
                    for (int Bone = 0; Bone < Bones; ++Bone) {
                        kelvo_bone const &Of = Skeleton[Bone];
                        float const *Parent =
                            Bone ? KelvoGetWorldPose4x4(Expected, Of.ParentIndex) : Offset;
                        float *World = KelvoGetWorldPose4x4(Expected, Bone);
                        float *Composite = KelvoGetWorldPoseComposite4x4(Expected, Bone);
                        kelvo_bound_transform_track const &Track = Animation->TrackBindings[Bone];
                        kelvo_track_sampler *Sampler = KelvoGetTrackSamplerSSS();
                        kelvo_transform Local = Of.Transform;
                        if (!Track.SourceTrack ||
                            (Case.Masks &&
                             (KelvoGetTrackMaskBoneWeight(TrackMask, Track.SourceTrackIndex) <
                                  0.001f ||
                              KelvoGetTrackMaskBoneWeight(ModelMask, Bone) < 0.001f))) {
                        } else if (Case.Accumulation == KelvoVariableDeltaAccumulation &&
                                   Bone == 0) {
                            Sampler = KelvoGetTrackSamplerIIU();
                        } else if (Track.LODError <= Case.AllowedError) {
                            Local = Track.LODTransform;
                            if (Track.LODError > FadeStart) {
                                KelvoSampleTrackUUULocal(&Context, Track.SourceTrack, &Track,
                                                         &Local);
                                KelvoLinearBlendTransform(&Local, &Local,
                                                          (Case.AllowedError - Track.LODError) *
                                                              FadeScale,
                                                          &Track.LODTransform);
                            }
                        } else {
                            Sampler = Track.Sampler;
                        }
                        Sampler(&Context, Track.SourceTrack, &Track, &Local,
                                Of.InverseWorldTransform, Parent, World, Composite);
                        ASSERT_EQ(std::memcmp(KelvoGetWorldPose4x4(Built, Bone), World, 64), 0)
                            << Clocks[Step] << " bone " << Bone;
                        ASSERT_EQ(
                            std::memcmp(KelvoGetWorldPoseComposite4x4(Built, Bone), Composite, 64),
                            0)
                            << Clocks[Step] << " bone " << Bone;
                    }
                }
                KelvoFreeControl(Control);
                KelvoFreeModelInstance(Instance);
            }
        }
    }
    UseKernelPath(KernelPaths[0]);
    KelvoFreeTrackMask(TrackMask);
    KelvoFreeTrackMask(ModelMask);
    KelvoFreeWorldPose(Built);
    KelvoFreeWorldPose(Expected);
}

// The root track's position, piecewise linear through (0, 0.5, 1).
struct root_path {
    float Points[3][3];
    void At(float T, float *Result) const {
        int Segment = T < 0.5f ? 0 : 1;
        float F = (T - 0.5f * (float)Segment) / 0.5f;
        for (int Axis = 0; Axis < 3; ++Axis) {
            Result[Axis] =
                Points[Segment][Axis] + F * (Points[Segment + 1][Axis] - Points[Segment][Axis]);
        }
    }
    // From local time Start to End, through whole loops of one second.
    void Displacement(float Start, float End, float *Result) const {
        float Loops = std::floor(End) - std::floor(Start), A[3], B[3];
        At(Start - std::floor(Start), A);
        At(End - std::floor(End), B);
        for (int Axis = 0; Axis < 3; ++Axis) {
            Result[Axis] = B[Axis] - A[Axis] + Loops * (Points[2][Axis] - Points[0][Axis]);
        }
    }
};

TEST_F(ModelInstanceTest, RootMotionMatchesTheRootTrack) {
    root_path const Path = {{{0, 0, 0}, {1, 0, 0.5f}, {1.5f, 2, 0}}};
    character Hero;
    clip Walk(0.3f, {0, 0, 0, 1, 0, 0.5f, 1.5f, 2, 0});
    Walk.Group.RootMotion = &Walk.Tracks[0];
    Walk.Group.LoopTranslation[0] = 3.0f;
    kelvo_periodic_loop Loop = {2.0f, 0.5f, 0.25f, {1, 0, 0}, {0, 0, 1}, {0, 1, 0}};
    struct {
        kelvo_accumulation_mode Mode;
        bool Periodic;
        float Speed, LocalStart, Elapsed;
    } const Cases[] = {
        {KelvoVariableDeltaAccumulation, false, 1, 0.2f, 0.25f},
        {KelvoVariableDeltaAccumulation, false, 1, 0.8f, 0.5f},  // across the seam
        {KelvoVariableDeltaAccumulation, false, 1, 0.3f, 2.3f},  // two seams
        {KelvoVariableDeltaAccumulation, false, -1, 0.8f, 0.3f}, // backwards
        {KelvoVariableDeltaAccumulation, false, -1, 0.2f, 0.5f}, // backwards, across
        {KelvoConstantExtractionAccumulation, false, 1, 0.7f, 0.5f},
        {KelvoConstantExtractionAccumulation, true, 1, 0.7f, 0.5f},
        {KelvoConstantExtractionAccumulation, false, -1, 0.1f, 0.3f},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(testing::Message() << "mode " << Case.Mode << " speed " << Case.Speed
                                        << " from " << Case.LocalStart << " for " << Case.Elapsed);
        Walk.Group.PeriodicLoop = Case.Periodic ? &Loop : nullptr;
        kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
        kelvo_controlled_animation_builder *Builder =
            KelvoBeginControlledAnimation(0.0f, &Walk.Animation);
        KelvoSetTrackGroupTarget(Builder, 0, Instance);
        KelvoSetTrackGroupAccumulation(Builder, 0, Case.Mode);
        kelvo_control *Control = KelvoEndControlledAnimation(Builder);
        KelvoSetControlLoopCount(Control, 0);
        KelvoSetControlSpeed(Control, Case.Speed);
        KelvoSetControlRawLocalClock(Control, Case.LocalStart);
        KelvoSetModelClock(Instance, Case.Elapsed);
        float Translation[3], Rotation[3];
        KelvoGetRootMotionVectors(Instance, Case.Elapsed, Translation, Rotation, 0);

        float Start = Case.LocalStart, End = Start + Case.Speed * Case.Elapsed, Expected[3] = {};
        float ExpectedRotation[3] = {};
        float Sign = Start <= End ? 1.0f : -1.0f;
        float Low = std::fmin(Start, End), High = std::fmax(Start, End), Delta = High - Low;
        if (Case.Mode == KelvoVariableDeltaAccumulation) {
            Path.Displacement(Low, High, Expected);
        } else if (Case.Periodic) {
            float Angle = Loop.dAngle * Delta;
            Expected[0] = (std::cos(Angle) - 1) * Loop.Radius;
            Expected[1] = Loop.dZ * Delta;
            Expected[2] = std::sin(Angle) * Loop.Radius;
            ExpectedRotation[1] = Angle;
        } else {
            Expected[0] = Delta * 3.0f;
        }
        for (int Axis = 0; Axis < 3; ++Axis) {
            EXPECT_NEAR(Translation[Axis], Sign * Expected[Axis], 1e-4f) << "axis " << Axis;
            EXPECT_NEAR(Rotation[Axis], Sign * ExpectedRotation[Axis], 1e-5f) << "axis " << Axis;
        }
        // A root whose motion is delivered as root motion is held at the origin.
        owned_pose Pose(KelvoNewLocalPose(3));
        KelvoSampleModelAnimations(Instance, 0, 3, Pose.get());
        float const *Root = KelvoGetLocalPoseTransform(Pose.get(), 0)->Position;
        float Distance = std::sqrt(Root[0] * Root[0] + Root[1] * Root[1] + Root[2] * Root[2]);
        if (Case.Mode == KelvoVariableDeltaAccumulation) {
            EXPECT_EQ(Distance, 0.0f);
        } else {
            EXPECT_GT(Distance, 0.1f);
        }
        KelvoFreeModelInstance(Instance);
        KelvoFreeControl(Control);
    }
}

TEST_F(ModelInstanceTest, RootMotionVectorsApplied) {
    float const Model[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 10, 20, 30, 1};
    float const Move[3] = {1, 2, 3}, Still[3] = {0, 0, 0}, QuarterZ[3] = {0, 0, 1.5707964f};
    float Result[16];
    KelvoApplyRootMotionVectorsToMatrix(Model, Move, Still, Result);
    EXPECT_FLOAT_EQ(Result[0], 1.0f);
    EXPECT_FLOAT_EQ(Result[12], 11.0f);
    EXPECT_FLOAT_EQ(Result[14], 33.0f);
    // A quarter turn about z takes x to y; the delta acts before the model.
    KelvoApplyRootMotionVectorsToMatrix(Model, Still, QuarterZ, Result);
    EXPECT_NEAR(Result[1], 1.0f, 1e-6f);
    EXPECT_NEAR(Result[12], 10.0f, 1e-5f);
    EXPECT_NEAR(Result[13], 20.0f, 1e-5f);
    KelvoApplyRootMotionVectorsToMatrix(Result, Move, Still, Result); // in place
    EXPECT_NEAR(Result[12], 10.0f - 2.0f, 1e-5f);

    owned_pose Pose(KelvoNewLocalPose(1));
    KelvoMakeIdentity(KelvoGetLocalPoseTransform(Pose.get(), 0));
    KelvoApplyRootMotionVectorsToLocalPose(Pose.get(), Move, QuarterZ);
    kelvo_transform const *Root = KelvoGetLocalPoseTransform(Pose.get(), 0);
    EXPECT_FLOAT_EQ(Root->Position[2], 3.0f);
    EXPECT_NEAR(Root->Orientation[2], std::sqrt(0.5f), 1e-6f);

    float Allowed[3], AllowedTurn[3], Rest[3], RestTurn[3];
    KelvoClipRootMotionVectors(Move, QuarterZ, KelvoXTranslation | KelvoZRotation, Allowed,
                               AllowedTurn, Rest, RestTurn);
    EXPECT_EQ(Allowed[0], 1.0f);
    EXPECT_EQ(Allowed[1], 0.0f);
    EXPECT_EQ(Rest[1], 2.0f);
    EXPECT_EQ(AllowedTurn[2], QuarterZ[2]);
    EXPECT_EQ(RestTurn[2], 0.0f);

    character Hero;
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
    float Translation[3] = {9, 9, 9}, Rotation[3] = {9, 9, 9};
    KelvoGetRootMotionVectors(Instance, 0.5f, Translation, Rotation, 0);
    EXPECT_EQ(Translation[0], 0.0f);
    EXPECT_EQ(Rotation[2], 0.0f);
    KelvoFreeModelInstance(Instance);
}

} // namespace

namespace {

std::vector<std::string> DumpOf(kelvo_stats const *Stats) {
    std::vector<std::string> Result;
    char **Lines = KelvoDumpStatHUD(Stats);
    for (char **Line = Lines; *Line; ++Line)
        Result.push_back(*Line);
    KelvoFreeStatHUDDump(Lines);
    return Result;
}

bool Has(std::vector<std::string> const &Lines, std::string const &Line) {
    return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
}

TEST_F(ModelInstanceTest, StatisticsSnapshot) {
    kelvo_stats *Empty = KelvoCaptureCurrentStats(1);
    ASSERT_NE(Empty, nullptr);
    std::vector<std::string> Lines = DumpOf(Empty);
    EXPECT_EQ(Lines[0], "Model Instances:");
    EXPECT_TRUE(Has(Lines, "  Completion range: (none)"));
    EXPECT_TRUE(Has(Lines, "  Clock range: 0.000000s - 0.000000s"));
    KelvoFreeStats(Empty);

    character Hero, Villain;
    clip Walk(0.3f), Run(0.6f);
    kelvo_model_instance *Instances[3] = {KelvoInstantiateModel(&Hero.Model),
                                          KelvoInstantiateModel(&Hero.Model),
                                          KelvoInstantiateModel(&Villain.Model)};
    kelvo_control *Walking = KelvoPlayControlledAnimation(1.0f, &Walk.Animation, Instances[0]);
    kelvo_control *Running = KelvoPlayControlledAnimation(2.0f, &Run.Animation, Instances[0]);
    kelvo_control *Idle = KelvoCreateControl(0.5f, 1.0f);
    KelvoCompleteControlAt(Running, 1.5f);
    KelvoSetControlWeight(Walking, 0.0f);
    kelvo_stats *Stats = KelvoCaptureCurrentStats(2);
    EXPECT_GE(Stats->AllocationCount, 1);
    EXPECT_GE(Stats->SiteCount, 1);
    Lines = DumpOf(Stats);
    for (char const *Expected : {
             "  Total instances: 3   Bones: 9   Source models: 2",
             "  Max instances/m: 2   Max bones/m: 3   Max controls/i: 2",
             "  Total controls: 3   Active: 3   A/Weighted: 2",
             "  Completable: 1   Completed: 1   Unused: 1",
             "  Clock range: 0.500000s - 2.000000s",
             "  Completion range: (none)", // one completable control: minimum = maximum
             "  (100%) AAI bindings:    6 +    0r =    6",
         }) {
        EXPECT_TRUE(Has(Lines, Expected)) << Expected << "\n" << testing::PrintToString(Lines);
    }
    KelvoFreeStats(Stats);
    for (kelvo_model_instance *Instance : Instances)
        KelvoFreeModelInstance(Instance);
    for (kelvo_control *Control : {Walking, Running, Idle})
        KelvoFreeControl(Control);
}

} // namespace

namespace {

TEST_F(ModelInstanceTest, PosesMasksAndRefusedBuilders) {
    character Hero;
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
    owned_pose Held(KelvoNewLocalPose(3)), Pose(KelvoNewLocalPose(3));
    for (int Bone = 0; Bone < 3; ++Bone) {
        kelvo_transform *T = KelvoGetLocalPoseTransform(Held.get(), Bone);
        KelvoMakeIdentity(T);
        T->Position[0] = 1.0f + (float)Bone;
        T->Flags = KelvoHasPosition;
    }
    kelvo_track_mask *Mask = KelvoNewTrackMask(1.0f, 3);
    KelvoSetTrackMaskBoneWeight(Mask, 2, 0.0f); // the head keeps its rest transform
    kelvo_control *Control = KelvoPlayControlledPose(0.0f, 1.0f, Held.get(), Instance, Mask);
    ASSERT_NE(Control, nullptr);
    EXPECT_EQ(KelvoGetLocalPoseFromControlBinding(KelvoModelControlsBegin(Instance)), Held.get());
    KelvoSampleModelAnimations(Instance, 0, 3, Pose.get());
    kelvo_world_pose *World = KelvoNewWorldPose(3);
    KelvoSampleModelAnimationsAccelerated(Instance, 3, nullptr, Pose.get(), World);
    float const Expected[3][2] = {{1, 0}, {2, 0}, {0, 1}}; // local x and y
    float const WorldX[3] = {1, 3, 3};
    for (int Bone = 0; Bone < 3; ++Bone) {
        kelvo_transform const *T = KelvoGetLocalPoseTransform(Pose.get(), Bone);
        EXPECT_NEAR(T->Position[0], Expected[Bone][0], 1e-6f) << Bone;
        EXPECT_NEAR(T->Position[1], Expected[Bone][1], 1e-6f) << Bone;
        EXPECT_NEAR(KelvoGetWorldPose4x4(World, Bone)[12], WorldX[Bone], 1e-6f) << Bone;
    }
    KelvoFreeControl(Control);
    KelvoFreeWorldPose(World);
    KelvoFreeTrackMask(Mask);

    // A bad track group index, and an existing control longer than the
    // animation: refused, the builder freed all the same.
    clip Walk(0.3f);
    kelvo_controlled_animation_builder *Builder = KelvoBeginControlledAnimation(0, &Walk.Animation);
    KelvoSetTrackGroupTarget(Builder, 5, Instance);
    ExpectLogged(KelvoErrorLogMessage, "TrackGroupIndex 5 is out of range [0, 1)");
    kelvo_control *Long = KelvoCreateControl(0.0f, 2.0f);
    KelvoUseExistingControlForAnimation(Builder, Long);
    EXPECT_EQ(KelvoEndControlledAnimation(Builder), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Control->LocalDuration 2.000000 is out of range");
    KelvoFreeControl(Long);
    KelvoFreeModelInstance(Instance);
}

TEST_F(ModelInstanceTest, TracksBelowTheAllowedErrorFadeToTheirLODValue) {
    character Hero;
    clip Walk(0.3f);
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Hero.Model);
    kelvo_control *Control = KelvoPlayControlledAnimation(0.0f, &Walk.Animation, Instance);
    kelvo_animation_binding *Binding =
        KelvoGetAnimationBindingFromControlBinding(KelvoModelControlsBegin(Instance));
    KelvoSetLODErrorValue(Binding, 1, 0.5f);
    KelvoSetModelClock(Instance, 0.6f);
    kelvo_bound_transform_track Bound = BindTrack(&Walk.Tracks[1]);
    kelvo_sample_context Context = {0.6f, 1.0f, 0, 0, 0};
    kelvo_transform Sampled;
    KelvoSampleTrackUUULocal(&Context, Bound.SourceTrack, &Bound, &Sampled);
    owned_pose Pose(KelvoNewLocalPose(3));
    // Allowed error and how far towards the LOD value the track goes (fading
    // starts at 0.8 of the allowed error).
    struct {
        float Allowed, Towards;
    } const Cases[] = {
        {0.0f, 0.0f}, {0.4f, 0.0f}, {0.55f, (0.55f - 0.5f) / (0.55f * 0.2f)}, {1.0f, 1.0f}};
    for (auto const &Case : Cases) {
        KelvoSampleModelAnimationsLOD(Instance, 0, 3, Pose.get(), Case.Allowed);
        float const *P = KelvoGetLocalPoseTransform(Pose.get(), 1)->Position;
        for (int Axis = 0; Axis < 3; ++Axis) {
            float Want =
                Sampled.Position[Axis] +
                Case.Towards * (Bound.LODTransform.Position[Axis] - Sampled.Position[Axis]);
            EXPECT_NEAR(P[Axis], Want, 1e-5f) << "allowed " << Case.Allowed << " axis " << Axis;
        }
    }
    KelvoFreeControl(Control);
    KelvoFreeModelInstance(Instance);
}

} // namespace
