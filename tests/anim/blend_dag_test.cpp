#include "anim/instance_test_support.h"
#include "kelvo_test.h"

#include "anim/kelvo_blend_dag_internal.h"

#include <cmath>
#include <functional>

namespace {

class BlendDagTest : public KelvoTest {
  protected:
    void TearDown() override {
        KelvoFreeBlendDagLocalPoseCache();
        KelvoTest::TearDown();
    }
};

// A pose of the character's three bones, each turned and moved by Seed.
owned_pose MadePose(float Seed) {
    owned_pose Pose(KelvoNewLocalPose(3));
    for (int Bone = 0; Bone < 3; ++Bone) {
        std::vector<float> Q = Turn(Seed * (float)(Bone + 1));
        float const P[3] = {Seed, 1.0f + Seed * (float)Bone, -Seed};
        float const S[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        KelvoSetTransformWithIdentityCheck(KelvoGetLocalPoseTransform(Pose.get(), Bone), P,
                                           Q.data(), S);
    }
    return Pose;
}

// What a callback leaf reads and counts; it answers sparse requests too.
struct callback_source {
    owned_pose Full = MadePose(0.45f);
    owned_pose Answer{KelvoNewLocalPose(3)};
    float Clock = -1.0f;
    float Motion[6] = {};
};

kelvo_local_pose *KELVO_CALLBACK SampleSource(void *UserData, kelvo_int32 BoneCount, kelvo_real32,
                                              kelvo_int32 const *Sparse) {
    callback_source &Source = *(callback_source *)UserData;
    for (int Index = 0; Index < BoneCount; ++Index) {
        Source.Answer->Transforms[Index] = Source.Full->Transforms[Sparse ? Sparse[Index] : Index];
    }
    return Source.Answer.get();
}

void KELVO_CALLBACK SetSourceClock(void *UserData, kelvo_real32 Clock) {
    ((callback_source *)UserData)->Clock = Clock;
}

void KELVO_CALLBACK SourceMotion(void *UserData, kelvo_real32, kelvo_real32 *Translation,
                                 kelvo_real32 *Rotation, kelvo_bool32) {
    callback_source &Source = *(callback_source *)UserData;
    std::memcpy(Translation, Source.Motion, 3 * sizeof(float));
    std::memcpy(Rotation, Source.Motion + 3, 3 * sizeof(float));
}

kelvo_blend_dag_node *CallbackLeaf(callback_source &Source) {
    return KelvoCreateBlendDagNodeCallback(SampleSource, SetSourceClock, SourceMotion, &Source);
}

TEST_F(BlendDagTest, ValidityReportsTheFirstFaultOfCraftedTrees) {
    character Hero;
    owned_pose Pose = MadePose(0.1f);
    kelvo_blend_dag_node Nodes[3];
    kelvo_blend_dag_node *Children[1] = {&Nodes[1]};
    // Nodes[0] is a weighted blend over Nodes[1], a local-pose leaf; each
    // case breaks one thing.
    auto Craft = [&]() {
        std::memset((void *)Nodes, 0, sizeof(Nodes));
        Nodes[0].Type = KelvoDagNodeType_Node_WeightedBlend;
        Nodes[0].WeightedBlend.ReferenceSkeleton = &Hero.Skeleton;
        Nodes[0].NumChildNodes = 1;
        Nodes[0].ChildNodes = Children;
        Children[0] = &Nodes[1];
        Nodes[1].Type = KelvoDagNodeType_Leaf_LocalPose;
        Nodes[1].LocalPose.LocalPose = Pose.get();
        Nodes[1].ParentNode = &Nodes[0];
    };
    struct fault {
        std::function<void()> Break;
        char const *Reason; // null: sound
        int Node;
        bool SamplingFails; // the fault leaves nothing to sample
    } const Faults[] = {
        {[] {}, nullptr, 0, false},
        {[&] {
             Nodes[1].Type = KelvoDagNodeType_Leaf_AnimationBlend;
             Nodes[1].AnimationBlend.ModelInstance = nullptr;
         },
         "AnimationBlend node has a NULL ModelInstance", 1, true},
        {[&] { Nodes[1].LocalPose.LocalPose = nullptr; }, "LocalPose node has a NULL LocalPose", 1,
         true},
        {[&] {
             Nodes[1].Type = KelvoDagNodeType_Leaf_Callback;
             Nodes[1].Callback.SampleCallback = nullptr;
         },
         "Callback node has a NULL SampleCallback", 1, true},
        {[&] { Nodes[0].Type = KelvoDagNodeType_Node_Crossfade; },
         "Crossfade node does not have exactly two children", 0, false},
        {[&] { Nodes[0].WeightedBlend.ReferenceSkeleton = nullptr; },
         "WeightedBlend node has a NULL skeleton", 0, false},
        {[&] {
             Nodes[1].NumChildNodes = 1;
             Nodes[1].ChildNodes = Children;
         },
         "Leaf type node has children", 1, false},
        {[&] { Children[0] = nullptr; }, "Node has a NULL child", 0, true},
        {[&] { Nodes[1].ParentNode = &Nodes[2]; }, "A child node does not point back to its parent",
         0, false},
        {[&] { Nodes[1].Type = 3; }, "Unknown node type", 1, true},
        {[&] { Nodes[1].Type = KelvoDagNodeType_Freed; }, "Unknown node type", 1, true},
    };
    for (fault const &Fault : Faults) {
        Craft();
        Fault.Break();
        char const *Reason = "untouched";
        kelvo_blend_dag_node const *Failed = &Nodes[2];
        EXPECT_EQ(KelvoIsBlendDagTreeValid(&Nodes[0], &Reason, &Failed), Fault.Reason == nullptr);
        EXPECT_STREQ(Reason, Fault.Reason);
        EXPECT_EQ(Failed, Fault.Reason ? &Nodes[Fault.Node] : nullptr) << Fault.Reason;
        kelvo_blend_dag_node const *Own = &Nodes[Fault.Node];
        EXPECT_EQ(KelvoIsBlendDagNodeValid(Own, &Reason, nullptr), Fault.Reason == nullptr);
        EXPECT_STREQ(Reason, Fault.Reason);
        // Sampling fails, saying why, or reads the one sound leaf.
        kelvo_local_pose *Sampled = KelvoSampleBlendDagTree(&Nodes[0], 3);
        EXPECT_EQ(Sampled, Fault.SamplingFails ? nullptr : Pose.get()) << Fault.Reason;
        EXPECT_EQ(TakeMessages().size(), Fault.SamplingFails ? 1u : 0u) << Fault.Reason;
    }
}

TEST_F(BlendDagTest, ChildrenKeepOneParentNoCycleAndABoundedDepth) {
    character Hero;
    owned_pose Pose = MadePose(0.2f);
    kelvo_blend_dag_node *Root = KelvoCreateBlendDagNodeWeightedBlend(&Hero.Skeleton, 0.2f, 2, 0);
    kelvo_blend_dag_node *Inner = KelvoCreateBlendDagNodeWeightedBlend(&Hero.Skeleton, 0.2f, 2, 0);
    kelvo_blend_dag_node *Leaf = KelvoCreateBlendDagNodeLocalPose(Pose.get(), 0);
    EXPECT_EQ(KelvoAddBlendDagNodeChild(Root, Inner), 0);
    EXPECT_EQ(KelvoAddBlendDagNodeChild(Inner, Leaf), 0);
    EXPECT_EQ(KelvoGetBlendDagNodeParent(Leaf), Inner);
    EXPECT_EQ(KelvoFindBlendDagTreeDepth(Root), 3);

    struct refusal {
        std::function<bool()> Try;
        char const *Message;
    } const Refusals[] = {
        {[&] { return KelvoAddBlendDagNodeChild(Root, Leaf) >= 0; },
         "Child->ParentNode == NULL was not true"},
        {[&] { return KelvoAddBlendDagNodeChild(Root, Root) >= 0; }, "would be a cycle"},
        {[&] { return KelvoSetBlendDagNodeChild(Inner, 0, Root) != 0; }, "would be a cycle"},
        {[&] { return KelvoAddBlendDagNodeChild(Leaf, Root) >= 0; },
         "!IsBlendDagLeafType ( Node ) was not true"},
        {[&] { return KelvoRemoveBlendDagNodeChild(Root, Leaf) != 0; },
         "Child->ParentNode == Node was not true"},
        {[&] { return KelvoGetBlendDagNodeChild(Root, 1) != nullptr; },
         "Index 1 is out of range [0, 1)"},
        {[&] { return KelvoGetBlendDagNodeCrossfadeTrackMask(Root) != nullptr; },
         "Node->Type == DagNodeType_Node_Crossfade was not true"},
        {[&] { return KelvoCreateBlendDagNodeAnimationBlend(nullptr, 0) != nullptr; },
         "ModelInstance != NULL was not true"},
        {[&] {
             return KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0, 0, 0, 1,
                                                                 nullptr) != nullptr;
         },
         "ArrayOfChildren is not allowed to be 0"},
    };
    for (refusal const &Refusal : Refusals) {
        EXPECT_FALSE(Refusal.Try()) << Refusal.Message;
        ExpectLogged(KelvoErrorLogMessage, Refusal.Message);
    }
    EXPECT_EQ(KelvoGetBlendDagNodeParent(Inner), Root);
    EXPECT_EQ(KelvoIsBlendDagTreeValid(Root, nullptr, nullptr), 1);

    kelvo_blend_dag_node *Few[1];
    EXPECT_EQ(KelvoGetBlendDagNodeChildren(Root, 0, Few), 0);
    ExpectLogged(KelvoWarningLogMessage, "Array not large enough to hold all children");

    // A chain at the depth limit takes no further level, at either end.
    kelvo_blend_dag_node *Deepest = Leaf;
    KelvoRemoveBlendDagNodeChild(Inner, Leaf);
    KelvoFreeBlendDagEntireTree(Root);
    kelvo_blend_dag_node *Top = Deepest;
    for (int Level = 1; Level < KELVO_BLEND_DAG_MAX_DEPTH; ++Level) {
        kelvo_blend_dag_node *Above =
            KelvoCreateBlendDagNodeWeightedBlend(&Hero.Skeleton, 0.2f, 2, 0);
        ASSERT_EQ(KelvoAddBlendDagNodeChild(Above, Top), 0);
        Top = Above;
    }
    EXPECT_EQ(KelvoFindBlendDagTreeDepth(Top), KELVO_BLEND_DAG_MAX_DEPTH);
    kelvo_blend_dag_node *Over = KelvoCreateBlendDagNodeWeightedBlend(&Hero.Skeleton, 0.2f, 2, 0);
    kelvo_blend_dag_node *UnderLeaf = KelvoCreateBlendDagNodeLocalPose(Pose.get(), 0);
    kelvo_blend_dag_node *Under =
        KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 1, &UnderLeaf);
    EXPECT_EQ(KelvoAddBlendDagNodeChild(Over, Top), -1);
    EXPECT_EQ(KelvoAddBlendDagNodeChild(KelvoGetBlendDagNodeParent(Deepest), Under), -1);
    ExpectLogged(KelvoErrorLogMessage, "deeper than 64 nodes");
    ExpectLogged(KelvoErrorLogMessage, "deeper than 64 nodes");
    EXPECT_NE(KelvoSampleBlendDagTree(Top, 3), nullptr);
    KelvoFreeBlendDagEntireTree(Top);
    KelvoFreeBlendDagNode(Over);
    KelvoFreeBlendDagEntireTree(Under);
}

TEST_F(BlendDagTest, AFreedNodeLeavesItsParentAndOwnedObjectsGoWithIt) {
    character Hero;
    owned_pose Kept = MadePose(0.3f);
    kelvo_blend_dag_node *Staying = KelvoCreateBlendDagNodeLocalPose(Kept.get(), 0);
    kelvo_blend_dag_node *Leaving = KelvoCreateBlendDagNodeLocalPose(MadePose(0.9f).release(), 1);
    kelvo_blend_dag_node *Fade = KelvoCreateBlendDagNodeCrossfade(Staying, Leaving, 0.5f, 0.5f,
                                                                  KelvoNewTrackMask(1.0f, 3), 1, 0);
    KelvoSetBlendDagNodeResultTrackMask(Leaving, KelvoNewTrackMask(0.5f, 3), 1);
    KelvoFreeBlendDagNode(Leaving);
    ASSERT_EQ(KelvoGetBlendDagNodeChildrenCount(Fade), 1);
    EXPECT_EQ(KelvoGetBlendDagNodeChild(Fade, 0), Staying);
    // With one child the crossfade passes it on untouched.
    EXPECT_EQ(KelvoSampleBlendDagTree(Fade, 3), Kept.get());
    KelvoFreeBlendDagNode(Fade);
    EXPECT_EQ(KelvoGetBlendDagNodeParent(Staying), nullptr);
    KelvoFreeBlendDagNode(Staying);
}

// Crossfades of two fixed poses, each leaf borrowed or made scratch by a
// one-child weighted blend, against the composite worked out here.
TEST_F(BlendDagTest, CrossfadesBlendEitherChildIntoAWritablePose) {
    character Hero;
    owned_pose A = MadePose(0.3f), B = MadePose(-0.6f);
    kelvo_track_mask *Mask = KelvoNewTrackMask(0.0f, 3);
    KelvoSetTrackMaskBoneWeight(Mask, 1, 1.0f);
    KelvoSetTrackMaskBoneWeight(Mask, 2, 0.5f);
    struct fade_case {
        float None, All;
        bool Masked;
        bool ScratchA, ScratchB;
    } const Cases[] = {
        {0.0f, 0.9995f, false, false, false}, // child 1 unchanged
        {0.0f, 0.0005f, false, false, false}, // child 0 unchanged
        {0.2f, 0.7f, true, false, false},     {0.2f, 0.7f, true, true, false},
        {0.2f, 0.7f, true, false, true},      {0.4f, 0.4f, false, true, true},
    };
    for (fade_case const &Case : Cases) {
        // A weighted blend of the pose alone (its twin weighs nothing) is scratch.
        auto Leaf = [&](kelvo_local_pose *Pose, bool Scratch) {
            kelvo_blend_dag_node *Pair[2] = {KelvoCreateBlendDagNodeLocalPose(Pose, 0),
                                             KelvoCreateBlendDagNodeLocalPose(Pose, 0)};
            if (!Scratch) {
                KelvoFreeBlendDagNode(Pair[1]);
                return Pair[0];
            }
            KelvoSetBlendDagNodeResultWeight(Pair[1], 0.0f);
            return KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 2,
                                                                Pair);
        };
        kelvo_blend_dag_node *Fade = KelvoCreateBlendDagNodeCrossfade(
            Leaf(A.get(), Case.ScratchA), Leaf(B.get(), Case.ScratchB), Case.All, Case.None,
            Case.Masked ? Mask : nullptr, 0, 0);
        kelvo_local_pose *Result = KelvoSampleBlendDagTree(Fade, 3);
        ASSERT_NE(Result, nullptr);
        if (Case.All > 0.999f || Case.All < 0.001f) {
            EXPECT_EQ(Result, Case.All > 0.999f ? B.get() : A.get());
        }
        for (int Bone = 0; Bone < 3; ++Bone) {
            float M = Case.Masked ? KelvoGetTrackMaskBoneWeight(Mask, Bone) : 1.0f;
            float D = Case.Masked ? Case.None + M * (Case.All - Case.None) : Case.All;
            D = Case.All > 0.999f ? 1.0f : Case.All < 0.001f ? 0.0f : D;
            kelvo_transform const &X = A->Transforms[Bone].Transform;
            kelvo_transform const &Y = B->Transforms[Bone].Transform;
            kelvo_transform const &Got = Result->Transforms[Bone].Transform;
            float Sign = 0, Q[4], Length = 0;
            for (int Lane = 0; Lane < 4; ++Lane)
                Sign += X.Orientation[Lane] * Y.Orientation[Lane];
            for (int Lane = 0; Lane < 4; ++Lane) {
                Q[Lane] =
                    (Sign >= 0 ? D : -D) * Y.Orientation[Lane] + (1 - D) * X.Orientation[Lane];
                Length += Q[Lane] * Q[Lane];
            }
            for (int Lane = 0; Lane < 3; ++Lane)
                EXPECT_NEAR(Got.Position[Lane], D * Y.Position[Lane] + (1 - D) * X.Position[Lane],
                            1e-5f);
            for (int Lane = 0; Lane < 4; ++Lane)
                EXPECT_NEAR(Got.Orientation[Lane], Q[Lane] / std::sqrt(Length), 1e-5f);
        }
        // The sources themselves are never written.
        EXPECT_EQ(A->Transforms[1].Transform.Position[0], 0.3f);
        EXPECT_EQ(B->Transforms[1].Transform.Position[0], -0.6f);
        KelvoFreeBlendDagEntireTree(Fade);
    }
    KelvoFreeTrackMask(Mask);
}

// The three leaf kinds under a weighted blend under a masked crossfade give
// what accumulating the same sources by hand gives, in every sampling form,
// and a warmed cache makes sampling allocation-free.
TEST_F(BlendDagTest, AMixedTreeMatchesAccumulationByHandWithoutAllocating) {
    character Hero;
    clip Walk(0.4f), Run(1.3f);
    kelvo_model_instance *Walker = KelvoInstantiateModel(&Hero.Model);
    kelvo_model_instance *Runner = KelvoInstantiateModel(&Hero.Model);
    // The controls go with the instances, which go with the tree.
    KelvoFreeControlOnceUnused(KelvoPlayControlledAnimation(0.0f, &Walk.Animation, Walker));
    KelvoFreeControlOnceUnused(KelvoPlayControlledAnimation(0.0f, &Run.Animation, Runner));
    owned_pose Fixed = MadePose(0.7f);
    callback_source Source;

    kelvo_blend_dag_node *Animated = KelvoCreateBlendDagNodeAnimationBlend(Walker, 1);
    kelvo_blend_dag_node *Still = KelvoCreateBlendDagNodeLocalPose(Fixed.get(), 0);
    kelvo_blend_dag_node *Called = CallbackLeaf(Source);
    KelvoSetBlendDagNodeResultWeight(Animated, 0.6f);
    KelvoSetBlendDagNodeResultWeight(Still, 0.3f);
    KelvoSetBlendDagNodeResultWeight(Called, 0.8f);
    kelvo_track_mask *StillMask = KelvoNewTrackMask(1.0f, 3);
    KelvoSetTrackMaskBoneWeight(StillMask, 2, 0.25f);
    KelvoSetBlendDagNodeResultTrackMask(Still, StillMask, 1);
    kelvo_blend_dag_node *Leaves[3] = {Animated, Still, Called};
    kelvo_blend_dag_node *Blend =
        KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 3, Leaves);
    kelvo_track_mask *FadeMask = KelvoNewTrackMask(0.0f, 3);
    KelvoSetSkeletonTrackMaskChainDownwards(FadeMask, &Hero.Skeleton, 1, 1.0f);
    kelvo_blend_dag_node *Root = KelvoCreateBlendDagNodeCrossfade(
        Blend, KelvoCreateBlendDagNodeAnimationBlend(Runner, 1), 0.7f, 0.2f, FadeMask, 1, 0);
    ASSERT_EQ(KelvoIsBlendDagTreeValid(Root, nullptr, nullptr), 1);
    KelvoSetBlendDagTreeClock(Root, 0.35f);
    EXPECT_EQ(Source.Clock, 0.35f);

    owned_pose Walked(KelvoNewLocalPose(3)), Ran(KelvoNewLocalPose(3)),
        Expected(KelvoNewLocalPose(3));
    KelvoSampleModelAnimations(Walker, 0, 3, Walked.get());
    KelvoSampleModelAnimations(Runner, 0, 3, Ran.get());
    KelvoBeginLocalPoseAccumulation(Expected.get(), 0, 3, nullptr);
    for (int Bone = 0; Bone < 3; ++Bone) {
        float const Weights[3] = {0.6f, 0.3f * KelvoGetTrackMaskBoneWeight(StillMask, Bone), 0.8f};
        kelvo_local_pose const *Sources[3] = {Walked.get(), Fixed.get(), Source.Full.get()};
        for (int Index = 0; Index < 3; ++Index)
            KelvoAccumulateLocalTransform(Expected.get(), Bone, Bone, Weights[Index],
                                          &Hero.Skeleton, 2,
                                          &Sources[Index]->Transforms[Bone].Transform);
    }
    KelvoEndLocalPoseAccumulation(Expected.get(), 0, 3, &Hero.Skeleton, nullptr);
    KelvoModulationCompositeLocalPose(Expected.get(), 0.2f, 0.7f, FadeMask, Ran.get());

    kelvo_dag_pose_cache *Cache = KelvoCreateDagPoseCache(3, 3);
    kelvo_int32 const Sparse[2] = {0, 2};
    KelvoPrimeBlendDagLocalPoseCache(3, 16);
    for (int Form = 0; Form < 4; ++Form) {
        bool const Reentrant = Form & 1, Sparsely = Form & 2;
        auto Sample = [&] {
            return Reentrant ? KelvoSampleBlendDagTreeLODSparseReentrant(
                                   Root, Sparsely ? 2 : 3, 0.0f, Sparsely ? Sparse : nullptr, Cache)
                             : KelvoSampleBlendDagTreeLODSparse(Root, Sparsely ? 2 : 3, 0.0f,
                                                                Sparsely ? Sparse : nullptr);
        };
        kelvo_local_pose *Warm = Sample();
        void *Marker = KelvoBeginAllocationCheck();
        kelvo_local_pose *Result;
        {
            failing_allocator Counter;
            Result = Sample();
            EXPECT_EQ(Counter.Allocations, 0) << "form " << Form;
        }
        EXPECT_EQ(KelvoCheckedAllocationsEnd(Marker), KelvoAllocationsBegin());
        KelvoEndAllocationCheck(Marker);
        ASSERT_NE(Result, nullptr);
        EXPECT_EQ(Result, Warm) << "the cache's first block is reused";
        for (int Index = 0; Index < (Sparsely ? 2 : 3); ++Index) {
            kelvo_transform const &Got = Result->Transforms[Index].Transform;
            kelvo_transform const &Want =
                Expected->Transforms[Sparsely ? Sparse[Index] : Index].Transform;
            for (int Lane = 0; Lane < 3; ++Lane)
                EXPECT_NEAR(Got.Position[Lane], Want.Position[Lane], 1e-5f) << Form;
            for (int Lane = 0; Lane < 4; ++Lane)
                EXPECT_NEAR(Got.Orientation[Lane], Want.Orientation[Lane], 1e-5f) << Form;
        }
    }
    KelvoFreeDagPoseCache(Cache);
    KelvoFreeBlendDagEntireTree(Root); // frees both owned instances
    EXPECT_EQ(KelvoGetGlobalModelInstancesBegin(), KelvoGetGlobalModelInstancesEnd());
}

TEST_F(BlendDagTest, ZeroWeightChildrenGiveTheRestPose) {
    character Hero;
    owned_pose A = MadePose(0.3f), B = MadePose(0.8f);
    kelvo_blend_dag_node *Leaves[2] = {KelvoCreateBlendDagNodeLocalPose(A.get(), 0),
                                       KelvoCreateBlendDagNodeLocalPose(B.get(), 0)};
    for (kelvo_blend_dag_node *Leaf : Leaves)
        KelvoSetBlendDagNodeResultWeight(Leaf, 0.0f);
    kelvo_blend_dag_node *Blend =
        KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 2, Leaves);
    kelvo_local_pose *Result = KelvoSampleBlendDagTree(Blend, 3);
    ASSERT_NE(Result, nullptr);
    for (int Bone = 0; Bone < 3; ++Bone) {
        EXPECT_EQ(0, std::memcmp(&Result->Transforms[Bone].Transform, &Hero.Bones[Bone].Transform,
                                 sizeof(kelvo_transform)));
    }
    KelvoFreeBlendDagEntireTree(Blend);
}

TEST_F(BlendDagTest, MotionFollowsTheBlendWeightsAndMovesTheModelMatrix) {
    callback_source Sources[3];
    float const Motions[3][6] = {
        {1, 0, 0, 0, 0.1f, 0}, {0, 2, 0, 0, 0, 0.3f}, {0, 0, 4, 0.2f, 0, 0}};
    for (int Index = 0; Index < 3; ++Index)
        std::memcpy(Sources[Index].Motion, Motions[Index], sizeof(Motions[Index]));
    character Hero;
    kelvo_blend_dag_node *Pair[2] = {CallbackLeaf(Sources[0]), CallbackLeaf(Sources[1])};
    KelvoSetBlendDagNodeResultWeight(Pair[1], 3.0f);
    kelvo_blend_dag_node *Blend =
        KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 2, Pair);
    kelvo_track_mask *Mask = KelvoNewTrackMask(0.0f, 3);
    KelvoSetTrackMaskBoneWeight(Mask, 0, 0.5f);
    kelvo_blend_dag_node *Root =
        KelvoCreateBlendDagNodeCrossfade(Blend, CallbackLeaf(Sources[2]), 0.6f, 0.2f, Mask, 1, 0);
    float T[3], R[3];
    KelvoGetBlendDagTreeMotionVectors(Root, 0.1f, T, R, 0);
    float const E = 0.5f * 0.2f + 0.5f * 0.6f; // the mask's bone-0 weight between None and All
    for (int Axis = 0; Axis < 3; ++Axis) {
        float Blended = (Motions[0][Axis] + 3 * Motions[1][Axis]) / 4;
        float Turned = (Motions[0][3 + Axis] + 3 * Motions[1][3 + Axis]) / 4;
        EXPECT_NEAR(T[Axis], (1 - E) * Blended + E * Motions[2][Axis], 1e-6f);
        EXPECT_NEAR(R[Axis], (1 - E) * Turned + E * Motions[2][3 + Axis], 1e-6f);
    }
    float const Model[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1};
    float Moved[16], Expected[16];
    KelvoUpdateBlendDagTreeMatrix(Root, 0.1f, Model, Moved, 0);
    KelvoApplyRootMotionVectorsToMatrix(Model, T, R, Expected);
    for (int Index = 0; Index < 16; ++Index)
        EXPECT_FLOAT_EQ(Moved[Index], Expected[Index]);
    KelvoUpdateBlendDagTreeMatrix(Root, 0.1f, nullptr, Moved, 0);
    ExpectLogged(KelvoErrorLogMessage, "ModelMatrix4x4 is not allowed to be 0");
    KelvoFreeBlendDagEntireTree(Root);
}

TEST_F(BlendDagTest, SweepsFreeCompletedControlsOfEveryAnimationLeaf) {
    character Hero;
    clip Walk(0.4f);
    kelvo_model_instance *Instances[2] = {KelvoInstantiateModel(&Hero.Model),
                                          KelvoInstantiateModel(&Hero.Model)};
    kelvo_blend_dag_node *Leaves[2];
    for (int Index = 0; Index < 2; ++Index) {
        kelvo_control *Control =
            KelvoPlayControlledAnimation(0.0f, &Walk.Animation, Instances[Index]);
        KelvoCompleteControlAt(Control, 0.5f);
        Leaves[Index] = KelvoCreateBlendDagNodeAnimationBlend(Instances[Index], 1);
    }
    kelvo_blend_dag_node *Root =
        KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 2, Leaves);
    KelvoSetBlendDagTreeClock(Root, 0.6f);
    KelvoBlendDagNodeAnimationBlendFreeCompletedControls(Leaves[0]);
    EXPECT_EQ(KelvoModelControlsBegin(Instances[0]), KelvoModelControlsEnd(Instances[0]));
    EXPECT_NE(KelvoModelControlsBegin(Instances[1]), KelvoModelControlsEnd(Instances[1]));
    KelvoBlendDagFreeCompletedControlsEntireTree(Root);
    EXPECT_EQ(KelvoModelControlsBegin(Instances[1]), KelvoModelControlsEnd(Instances[1]));
    KelvoFreeBlendDagEntireTree(Root);
}

TEST_F(BlendDagTest, ADuplicateSamplesAlikeAndOwnsNothing) {
    character Hero;
    callback_source Source;
    kelvo_blend_dag_node *Pair[2] = {KelvoCreateBlendDagNodeLocalPose(MadePose(0.2f).release(), 1),
                                     CallbackLeaf(Source)};
    KelvoSetBlendDagNodeResultWeight(Pair[1], 0.4f);
    kelvo_blend_dag_node *Root =
        KelvoCreateBlendDagNodeWeightedBlendChildren(&Hero.Skeleton, 0.2f, 2, 0, 2, Pair);
    kelvo_blend_dag_node const *From[3];
    kelvo_blend_dag_node *To[3];
    kelvo_int32 Count = 0;
    EXPECT_EQ(KelvoDuplicateBlendDagTree(Root, From, To, 2, &Count), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "MaxNodes 2 is out of range [3, ");
    kelvo_blend_dag_node *Copy = KelvoDuplicateBlendDagTree(Root, From, To, 3, &Count);
    ASSERT_EQ(Count, 3);
    EXPECT_EQ(From[0], Root);
    EXPECT_EQ(To[0], Copy);
    EXPECT_EQ(KelvoGetBlendDagNodeLocalPose(To[1]), KelvoGetBlendDagNodeLocalPose(Pair[0]));
    EXPECT_EQ(KelvoGetBlendDagNodeResultWeight(To[2]), 0.4f);
    kelvo_local_pose Original = *KelvoSampleBlendDagTree(Root, 3);
    std::vector<kelvo_local_pose_transform> Before(Original.Transforms, Original.Transforms + 3);
    kelvo_local_pose *Copied = KelvoSampleBlendDagTree(Copy, 3);
    EXPECT_EQ(0, std::memcmp(Copied->Transforms, Before.data(), 3 * sizeof(Before[0])));
    KelvoFreeBlendDagEntireTree(Copy); // the pose stays with the source
    EXPECT_NE(KelvoSampleBlendDagTree(Root, 3), nullptr);
    KelvoFreeBlendDagEntireTree(Root);
}

TEST_F(BlendDagTest, BadSamplingRequestsAreRefusedWithTheirCause) {
    character Hero;
    owned_pose Small(KelvoNewLocalPose(2));
    kelvo_blend_dag_node *Leaf = KelvoCreateBlendDagNodeLocalPose(Small.get(), 0);
    kelvo_blend_dag_node *Blend = KelvoCreateBlendDagNodeWeightedBlend(&Hero.Skeleton, 0.2f, 2, 0);
    kelvo_int32 const Negative[1] = {-1}, Beyond[1] = {3};
    struct request {
        std::function<kelvo_local_pose *()> Sample;
        kelvo_log_message_origin Origin;
        char const *Message;
    } const Requests[] = {
        {[&] { return KelvoSampleBlendDagTree(Leaf, 3); }, KelvoAnimationLogMessage,
         "LocalPose node gave a pose of 2 bones, 3 are sampled"},
        {[&] { return KelvoSampleBlendDagTree(Blend, 4); }, KelvoAnimationLogMessage,
         "the skeleton has 3 bones, 4 are sampled"},
        {[&] { return KelvoSampleBlendDagTreeLODSparse(Blend, 1, 0, Beyond); },
         KelvoAnimationLogMessage, "the skeleton has 3 bones, 4 are sampled"},
        {[&] { return KelvoSampleBlendDagTreeLODSparse(Leaf, 1, 0, Negative); },
         KelvoAnimationLogMessage, "SparseBoneArray[0] is out of range"},
        {[&] { return KelvoSampleBlendDagTree(Leaf, -1); }, KelvoAnimationLogMessage,
         "BoneCount -1 is out of range"},
        {[&] { return KelvoSampleBlendDagTreeReentrant(Leaf, 2, nullptr); },
         KelvoAnimationLogMessage, "PoseCache is not allowed to be 0"},
    };
    for (request const &Request : Requests) {
        EXPECT_EQ(Request.Sample(), nullptr) << Request.Message;
        ExpectLoggedFrom(KelvoErrorLogMessage, Request.Origin, Request.Message);
    }
    KelvoPrimeBlendDagLocalPoseCache(-1, 4);
    ExpectLogged(KelvoErrorLogMessage, "NumBones -1 is out of range");
    EXPECT_EQ(KelvoCreateDagPoseCache(3, -2), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "InitTreeDepth -2 is out of range");
    KelvoFreeBlendDagNode(Leaf);
    KelvoFreeBlendDagNode(Blend);
}

} // namespace

namespace {

// Every allocation of building and sampling a tree failing in turn: each
// call fails cleanly and nothing leaks.
TEST_F(BlendDagTest, EveryAllocationFailingInTurnFailsCleanly) {
    character Hero;
    owned_pose A = MadePose(0.3f), B = MadePose(0.6f);
    for (int FailAt = 1;; ++FailAt) {
        failing_allocator Failing(FailAt);
        kelvo_blend_dag_node *Root =
            KelvoCreateBlendDagNodeWeightedBlend(&Hero.Skeleton, 0.2f, 2, 0);
        for (kelvo_local_pose *Pose : {A.get(), B.get()}) {
            kelvo_blend_dag_node *Leaf = KelvoCreateBlendDagNodeLocalPose(Pose, 0);
            if (Leaf && (!Root || KelvoAddBlendDagNodeChild(Root, Leaf) < 0))
                KelvoFreeBlendDagNode(Leaf);
        }
        kelvo_local_pose *Result = Root ? KelvoSampleBlendDagTree(Root, 3) : nullptr;
        bool const Whole = Root && KelvoGetBlendDagNodeChildrenCount(Root) == 2 && Result;
        if (Root)
            KelvoFreeBlendDagEntireTree(Root);
        KelvoFreeBlendDagLocalPoseCache();
        TakeMessages();
        EXPECT_EQ(Whole, Failing.Failures == 0) << FailAt;
        if (Failing.Failures == 0)
            break;
    }
}

} // namespace
