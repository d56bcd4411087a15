// Local poses: accumulation and its quaternion modes, the end of
// accumulation (fill, LOD fade, normalization), modulation composites,
// single-bone world matrices, local poses from world poses and sparse arrays.
#include "kelvo_test.h"

#include "anim/kelvo_pose.h"
#include "pose_test_skeleton.h"

#include <cstring>
#include <functional>
#include <memory>

namespace {

struct pose_deleter {
    void operator()(kelvo_local_pose *Pose) const { KelvoFreeLocalPose(Pose); }
    void operator()(kelvo_world_pose *Pose) const { KelvoFreeWorldPose(Pose); }
    void operator()(kelvo_track_mask *Mask) const { KelvoFreeTrackMask(Mask); }
};
using local_pose_ptr = std::unique_ptr<kelvo_local_pose, pose_deleter>;
using world_pose_ptr = std::unique_ptr<kelvo_world_pose, pose_deleter>;
using track_mask_ptr = std::unique_ptr<kelvo_track_mask, pose_deleter>;

class LocalPoseTest : public KelvoTest {};

kelvo_transform Transform(std::array<float, 3> P, std::array<float, 4> Q, float Scale = 1) {
    float const S[9] = {Scale, 0, 0, 0, Scale, 0, 0, 0, Scale};
    kelvo_transform Result;
    KelvoSetTransformWithIdentityCheck(&Result, P.data(), Q.data(), S);
    return Result;
}

void ExpectTransformNear(kelvo_transform const &Actual, kelvo_transform const &Expected,
                         float Tolerance = 1e-5f) {
    for (int Index = 0; Index < 3; ++Index) {
        EXPECT_NEAR(Actual.Position[Index], Expected.Position[Index], Tolerance);
    }
    // q and -q are the same rotation.
    float Dot = 0;
    for (int Index = 0; Index < 4; ++Index) {
        Dot += Actual.Orientation[Index] * Expected.Orientation[Index];
    }
    float const Sign = Dot < 0 ? -1.0f : 1.0f;
    for (int Index = 0; Index < 4; ++Index) {
        EXPECT_NEAR(Sign * Actual.Orientation[Index], Expected.Orientation[Index], Tolerance);
    }
    for (int Index = 0; Index < 9; ++Index) {
        EXPECT_NEAR(Actual.ScaleShear[Index], Expected.ScaleShear[Index], Tolerance);
    }
}

// Three bones in a chain with rest transforms of their own.
struct chain {
    kelvo_bone Bones[3] = {};
    kelvo_skeleton Skeleton = {"chain", 3, Bones, 0};
    chain() {
        float const H = std::sqrt(0.5f);
        Bones[0].Transform = Transform({0, 1, 0}, {0, 0, 0, 1});
        Bones[1].Transform = Transform({1, 0, 0}, {0, 0, H, H});
        Bones[2].Transform = Transform({0, 0, 2}, {H, 0, 0, H}, 2);
        for (int Index = 0; Index < 3; ++Index) {
            Bones[Index].ParentIndex = Index - 1;
            Bones[Index].LODError = (float)(3 - Index); // 3, 2, 1
        }
    }
};

TEST_F(LocalPoseTest, NewPosesStartZeroedWithTheDefaultThreshold) {
    local_pose_ptr Pose(KelvoNewLocalPose(4));
    ASSERT_NE(Pose, nullptr);
    EXPECT_EQ(KelvoGetLocalPoseBoneCount(Pose.get()), 4);
    EXPECT_EQ(KelvoGetLocalPoseFillThreshold(Pose.get()), 0.2f);
    EXPECT_EQ(Pose->TraversalID, 0);
    std::vector<unsigned char> Zero(4 * sizeof(kelvo_local_pose_transform));
    EXPECT_EQ(memcmp(Pose->Transforms, Zero.data(), Zero.size()), 0);
    EXPECT_EQ(KelvoGetLocalPoseTransform(Pose.get(), 3), &Pose->Transforms[3].Transform);
    EXPECT_EQ(KelvoGetLocalPoseTransform(Pose.get(), 4), nullptr);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoLocalPoseLogMessage,
                     "BoneIndex 4 is out of range [0, 4)");

    std::vector<unsigned char> Memory((size_t)KelvoGetResultingLocalPoseSize(4), 0xcd);
    kelvo_local_pose *InPlace = KelvoNewLocalPoseInPlace(4, Memory.data());
    ASSERT_EQ((void *)InPlace, Memory.data());
    EXPECT_EQ(memcmp(InPlace->Transforms, Zero.data(), Zero.size()), 0);
    EXPECT_LE((unsigned char *)(InPlace->Transforms + 4), Memory.data() + Memory.size());

    EXPECT_EQ(KelvoNewLocalPose(-1), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "BoneCount >= 0 was not true");
    {
        failing_allocator Failing(1);
        EXPECT_EQ(KelvoNewLocalPose(4), nullptr);
    }
    TakeMessages();
}

// The Must-hold cases of accumulation, each closed by End.
TEST_F(LocalPoseTest, AccumulationFillsSignsAndNormalizesAsSpecified) {
    chain C;
    float const H = std::sqrt(0.5f);
    kelvo_transform const Animated = Transform({2, 0, 0}, {0, H, 0, H});
    kelvo_transform const Flipped = Transform({4, 0, 0}, {0, -H, 0, -H});
    local_pose_ptr Pose(KelvoNewLocalPose(3));

    // 0.1 of animated, topped up with 0.1 of rest: the mean of the two.
    KelvoBeginLocalPoseAccumulation(Pose.get(), 0, 3, nullptr);
    KelvoAccumulateLocalTransform(Pose.get(), 0, 0, 0.1f, &C.Skeleton, 0, &Animated);
    KelvoEndLocalPoseAccumulation(Pose.get(), 0, 3, &C.Skeleton, nullptr);
    kelvo_transform Mean;
    KelvoLinearBlendTransform(&Mean, &Animated, 0.5f, &C.Bones[0].Transform);
    ExpectTransformNear(Pose->Transforms[0].Transform, Mean);
    // The untouched bones are at rest.
    ExpectTransformNear(Pose->Transforms[1].Transform, C.Bones[1].Transform, 0);
    ExpectTransformNear(Pose->Transforms[2].Transform, C.Bones[2].Transform, 0);

    // Opposite signs of one rotation: modes that align them blend it, mode 0
    // lets them cancel (and the bone falls back to rest).
    struct {
        kelvo_int32 Mode;
        bool Blends;
    } const Cases[] = {{3, true}, {2, true}, {0, false}};
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Mode);
        KelvoBeginLocalPoseAccumulation(Pose.get(), 0, 3, nullptr);
        KelvoAccumulateLocalTransform(Pose.get(), 1, 1, 0.5f, &C.Skeleton, Case.Mode, &Animated);
        KelvoAccumulateLocalTransform(Pose.get(), 1, 1, 0.5f, &C.Skeleton, Case.Mode, &Flipped);
        KelvoEndLocalPoseAccumulation(Pose.get(), 0, 3, &C.Skeleton, nullptr);
        kelvo_transform Expected =
            Case.Blends ? Transform({3, 0, 0}, {0, H, 0, H}) : C.Bones[1].Transform;
        ExpectTransformNear(Pose->Transforms[1].Transform, Expected);
    }

    // Mode 1 negates the orientation; a NaN dot product counts as negative.
    kelvo_transform NaNRotation = Animated;
    NaNRotation.Orientation[0] = NAN;
    KelvoBeginLocalPoseAccumulation(Pose.get(), 0, 3, nullptr);
    KelvoAccumulateLocalTransform(Pose.get(), 0, 0, 1, &C.Skeleton, 1, &Animated);
    KelvoAccumulateLocalTransform(Pose.get(), 1, 1, 1, &C.Skeleton, 2, &NaNRotation);
    EXPECT_EQ(Pose->Transforms[0].Transform.Orientation[3], -H);
    EXPECT_EQ(Pose->Transforms[1].Transform.Orientation[3], -H);
    EXPECT_EQ(Pose->Transforms[0].Count, 1);

    KelvoAccumulateLocalTransform(Pose.get(), 3, 0, 1, &C.Skeleton, 0, &Animated);
    ExpectLogged(KelvoErrorLogMessage, "LocalPoseBoneIndex 3 is out of range [0, 3)");
    KelvoAccumulateLocalTransform(Pose.get(), 0, 0, 1, &C.Skeleton, 4, &Animated);
    ExpectLogged(KelvoErrorLogMessage, "QuaternionMode 4 is out of range [0, 3]");
    KelvoAccumulateLocalTransform(Pose.get(), 0, 7, 1, &C.Skeleton, 2, &Animated);
    ExpectLogged(KelvoErrorLogMessage, "SkeletonBoneIndex 7 is out of range [0, 3)");
}

// Accumulating a range at once, on the SSE and on the portable path, keeps
// every bit of each entry of accumulating contribution by contribution, in
// every quaternion mode: first contributions of weight 1 (copied) and of
// other weights, added ones, negative zeros (a zero sum plus a zero
// product), a NaN orientation.
TEST_F(LocalPoseTest, AccumulatingARangeAtOnceKeepsTheBitsOfEachContribution) {
    int const Count = 67;
    test_skeleton S(Count, 51);
    std::mt19937 Engine(52);
    std::uniform_real_distribution<float> Weight(0.05f, 0.9f);
    std::vector<kelvo_transform> Transforms;
    std::vector<kelvo::pose_contribution> Contributions;
    for (int Bone = 0; Bone < Count; ++Bone) {
        for (int Layer = 0; Layer < 3; ++Layer) {
            kelvo_transform T = RandomTransform(Engine, 3);
            T.ScaleShear[1] = Bone % 3 == 0 || (Bone + Layer) % 2 ? -0.0f : 0.0f;
            if ((Bone + Layer) % 5 == 0) {
                T.Position[1] = T.Orientation[2] = -0.0f;
            }
            if (Bone % 11 == 3 && Layer == 1) {
                T.Orientation[1] = NAN;
            }
            float const W = (Bone + Layer) % 3 == 0 ? 1.0f : Weight(Engine);
            Transforms.push_back(T);
            Contributions.push_back({Bone, Bone, W, (Bone + Layer) % 4, T.Flags, nullptr});
        }
    }
    for (size_t Index = 0; Index < Transforms.size(); ++Index) {
        Contributions[Index].Sums = Transforms[Index].Position;
    }
    local_pose_ptr Single(KelvoNewLocalPose(Count));
    KelvoBeginLocalPoseAccumulation(Single.get(), 0, Count, nullptr);
    for (kelvo::pose_contribution const &C : Contributions) {
        KelvoAccumulateLocalTransform(Single.get(), C.Entry, C.Bone, C.Weight, &S.Skeleton,
                                      C.QuaternionMode,
                                      &Transforms[(size_t)(&C - &Contributions[0])]);
    }
    for (bool SSE : {true, false}) {
        SCOPED_TRACE(SSE ? "SSE" : "portable");
        kelvo::SetSSEPosesAllowed(SSE);
        local_pose_ptr Whole(KelvoNewLocalPose(Count));
        KelvoBeginLocalPoseAccumulation(Whole.get(), 0, Count, nullptr);
        kelvo::AccumulateContributions(Whole.get(), S.Skeleton.Bones, (int)Contributions.size(),
                                       Contributions.data());
        for (int Bone = 0; Bone < Count; ++Bone) {
            EXPECT_EQ(memcmp(&Whole->Transforms[Bone], &Single->Transforms[Bone],
                             sizeof(kelvo_local_pose_transform)),
                      0)
                << Bone;
        }
    }
    kelvo::SetSSEPosesAllowed(true);
}

// Two random contributions per bone, whose sums lie both near and far from
// unit length, end alike on the SSE and the portable path.
TEST_F(LocalPoseTest, EndOfAccumulationAgreesOnBothPaths) {
    int const Count = 67;
    test_skeleton S(Count, 31);
    std::mt19937 Engine(32);
    std::uniform_real_distribution<float> Weight(0.05f, 0.9f);
    std::vector<local_pose_ptr> Poses;
    for (bool SSE : {true, false}) {
        kelvo::SetSSEPosesAllowed(SSE);
        Poses.emplace_back(KelvoNewLocalPose(Count));
        std::mt19937 Same = Engine;
        KelvoBeginLocalPoseAccumulation(Poses.back().get(), 0, Count, nullptr);
        for (int Bone = 0; Bone < Count; ++Bone) {
            for (int Layer = 0; Layer < 2; ++Layer) {
                kelvo_transform T = RandomTransform(Same, 3);
                KelvoAccumulateLocalTransform(Poses.back().get(), Bone, Bone, Weight(Same),
                                              &S.Skeleton, 3, &T);
            }
        }
        KelvoEndLocalPoseAccumulation(Poses.back().get(), 0, Count, &S.Skeleton, nullptr);
    }
    kelvo::SetSSEPosesAllowed(true);
    for (int Bone = 0; Bone < Count; ++Bone) {
        SCOPED_TRACE(Bone);
        ExpectTransformNear(Poses[0]->Transforms[Bone].Transform,
                            Poses[1]->Transforms[Bone].Transform, 1e-6f);
        kelvo_real32 const *Q = Poses[0]->Transforms[Bone].Transform.Orientation;
        // Two Newton steps from up to 10% off leave a few parts in 10^5.
        EXPECT_NEAR(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3], 1, 1e-4);
    }
}

// Ending a range at once (four entries together on the SSE path) and bone
// by bone give the same bits, whatever each entry needs: a lone weight-1
// contribution, sums near and far from unit length, a cancelled orientation
// (rest), a NaN, no contribution, a weight under the fill threshold.
TEST_F(LocalPoseTest, EndingARangeAtOnceKeepsTheBitsOfEndingEachBone) {
    int const Count = 67;
    test_skeleton S(Count, 41);
    std::mt19937 Engine(42);
    std::uniform_real_distribution<float> Weight(0.05f, 0.9f);
    local_pose_ptr Whole(KelvoNewLocalPose(Count)), Single(KelvoNewLocalPose(Count));
    for (kelvo_local_pose *Pose : {Whole.get(), Single.get()}) {
        std::mt19937 Same = Engine;
        KelvoBeginLocalPoseAccumulation(Pose, 0, Count, nullptr);
        for (int Bone = 0; Bone < Count; ++Bone) {
            kelvo_transform A = RandomTransform(Same, 3), B = RandomTransform(Same, 3);
            kelvo_real32 WA = Weight(Same), WB = Weight(Same);
            // From bone 32 on every group of four goes to the SSE batch.
            int const Case = Bone % 8 + (Bone < 32 ? 0 : 8);
            if (Case == 1 || Case == 9) { // a lone weight-1 contribution
                KelvoAccumulateLocalTransform(Pose, Bone, Bone, 1, &S.Skeleton, 3, &A);
                continue;
            }
            if (Case == 2) { // opposite orientations of equal weight cancel
                for (int Index = 0; Index < 4; ++Index) {
                    B.Orientation[Index] = -A.Orientation[Index];
                }
                WB = WA;
            }
            if (Case == 3 || Case == 11) {
                A.Orientation[2] = NAN;
            }
            if (Case == 6) { // no contribution
                continue;
            }
            if (Case == 5 || Case == 13) { // under the fill threshold
                WA = WB = 0.05f;
            }
            KelvoAccumulateLocalTransform(Pose, Bone, Bone, WA, &S.Skeleton, 0, &A);
            KelvoAccumulateLocalTransform(Pose, Bone, Bone, WB, &S.Skeleton, 0, &B);
        }
    }
    KelvoEndLocalPoseAccumulation(Whole.get(), 0, Count, &S.Skeleton, nullptr);
    for (int Bone = 0; Bone < Count; ++Bone) {
        KelvoEndLocalPoseAccumulation(Single.get(), Bone, 1, &S.Skeleton, nullptr);
    }
    for (int Bone = 0; Bone < Count; ++Bone) {
        SCOPED_TRACE(Bone);
        EXPECT_EQ(memcmp(&Whole->Transforms[Bone], &Single->Transforms[Bone],
                         sizeof(kelvo_local_pose_transform)),
                  0);
    }
}

TEST_F(LocalPoseTest, LODFadesBonesTowardsRestByTheirError) {
    chain C;
    C.Skeleton.LODType = 1;
    kelvo_transform const Animated = Transform({0, 0, 0}, {0, 0, 0, 1}, 3);
    local_pose_ptr Pose(KelvoNewLocalPose(3));
    KelvoSetGlobalLODFadingFactor(0.5f);
    // Allowed error 2.5 fades from 1.25: bone 0 (error 3) stays animated,
    // bone 1 (error 2) is 0.4 of the way to rest, bone 2 (error 1) is rest.
    KelvoBeginLocalPoseAccumulation(Pose.get(), 0, 3, nullptr);
    for (int Bone = 0; Bone < 3; ++Bone) {
        KelvoAccumulateLocalTransform(Pose.get(), Bone, Bone, 1, &C.Skeleton, 2, &Animated);
    }
    KelvoEndLocalPoseAccumulationLOD(Pose.get(), 0, 3, &C.Skeleton, 2.5f, nullptr);
    KelvoSetGlobalLODFadingFactor(0.8f);
    ExpectTransformNear(Pose->Transforms[0].Transform, Animated);
    kelvo_transform Faded;
    KelvoLinearBlendTransform(&Faded, &Animated, 0.4f, &C.Bones[1].Transform);
    ExpectTransformNear(Pose->Transforms[1].Transform, Faded);
    ExpectTransformNear(Pose->Transforms[2].Transform, C.Bones[2].Transform);

    // Without LOD ordering the same call leaves every bone animated.
    C.Skeleton.LODType = 0;
    KelvoBeginLocalPoseAccumulation(Pose.get(), 0, 3, nullptr);
    for (int Bone = 0; Bone < 3; ++Bone) {
        KelvoAccumulateLocalTransform(Pose.get(), Bone, Bone, 1, &C.Skeleton, 2, &Animated);
    }
    KelvoEndLocalPoseAccumulationLOD(Pose.get(), 0, 3, &C.Skeleton, 2.5f, nullptr);
    ExpectTransformNear(Pose->Transforms[2].Transform, Animated);

    KelvoEndLocalPoseAccumulation(Pose.get(), 3, 0, &C.Skeleton, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "FirstBone 3 is out of range [0, 3)");
    KelvoEndLocalPoseAccumulation(Pose.get(), 1, 3, &C.Skeleton, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "FirstBone + BoneCount 4 is out of range [0, 3]");
    kelvo_int32 const BadSparse[] = {0, 5};
    KelvoEndLocalPoseAccumulation(Pose.get(), 0, 2, &C.Skeleton, BadSparse);
    ExpectLogged(KelvoErrorLogMessage, "SparseBoneArray[1] is out of range");
}

TEST_F(LocalPoseTest, ModulationCompositeBlendsByMaskWeight) {
    chain C;
    local_pose_ptr Base(KelvoNewLocalPose(3)), Composite(KelvoNewLocalPose(3));
    float const H = std::sqrt(0.5f);
    for (int Bone = 0; Bone < 3; ++Bone) {
        Base->Transforms[Bone].Transform = Transform({0, 0, 0}, {0, 0, 0, 1});
        Composite->Transforms[Bone].Transform = Transform({4, 0, 0}, {0, 0, -H, -H}, 2);
    }
    track_mask_ptr Mask(KelvoNewTrackMask(0, 2)); // bone 2 takes the default 0
    KelvoSetTrackMaskBoneWeight(Mask.get(), 1, 0.5f);
    KelvoSetTrackMaskBoneWeight(Mask.get(), 0, 1);
    // Mask weight 0 blends by 0.2, weight 1 by 1: bone 1 by 0.6.
    KelvoModulationCompositeLocalPose(Base.get(), 0.2f, 1, Mask.get(), Composite.get());
    float const Expected[3] = {1, 0.6f, 0.2f};
    for (int Bone = 0; Bone < 3; ++Bone) {
        kelvo_transform const &T = Base->Transforms[Bone].Transform;
        EXPECT_NEAR(T.Position[0], 4 * Expected[Bone], 1e-5) << Bone;
        EXPECT_NEAR(T.ScaleShear[0], 1 + Expected[Bone], 1e-5) << Bone;
        EXPECT_NEAR(T.Orientation[0] * T.Orientation[0] + T.Orientation[1] * T.Orientation[1] +
                        T.Orientation[2] * T.Orientation[2] + T.Orientation[3] * T.Orientation[3],
                    1, 1e-5);
        EXPECT_GT(T.Orientation[2], 0) << "the composite's sign was aligned with the base";
    }
    // Both weights 1 copy the composite; both 0 change nothing.
    KelvoModulationCompositeLocalPose(Base.get(), 1, 1, Mask.get(), Composite.get());
    EXPECT_EQ(memcmp(Base->Transforms, Composite->Transforms, 3 * sizeof(Base->Transforms[0])), 0);
    Base->Transforms[0].Transform = C.Bones[0].Transform;
    KelvoModulationCompositeLocalPose(Base.get(), 0, 0, nullptr, Composite.get());
    EXPECT_EQ(
        memcmp(&Base->Transforms[0].Transform, &C.Bones[0].Transform, sizeof(kelvo_transform)), 0);
    // Through a sparse array the mask is read at the skeleton bone.
    kelvo_int32 const Sparse[] = {2, 1, 0};
    for (int Bone = 0; Bone < 3; ++Bone) {
        Base->Transforms[Bone].Transform = Transform({0, 0, 0}, {0, 0, 0, 1});
    }
    KelvoModulationCompositeLocalPoseSparse(Base.get(), 0, 1, Mask.get(), Composite.get(), Sparse);
    EXPECT_NEAR(Base->Transforms[0].Transform.Position[0], 0, 1e-6);
    EXPECT_NEAR(Base->Transforms[2].Transform.Position[0], 4, 1e-6);

    local_pose_ptr Short(KelvoNewLocalPose(2));
    KelvoModulationCompositeLocalPose(Base.get(), 0, 1, nullptr, Short.get());
    ExpectLogged(KelvoErrorLogMessage, "GetLocalPoseBoneCount(CompositePose) 2 must be 3");
}

TEST_F(LocalPoseTest, WorldMatricesOfOneBoneAndBackFromAWorldPose) {
    int const Count = 40;
    test_skeleton S(Count, 21);
    std::mt19937 Engine(22);
    local_pose_ptr Local(KelvoNewLocalPose(Count)), Back(KelvoNewLocalPose(Count));
    std::vector<kelvo_transform> Locals;
    for (int Bone = 0; Bone < Count; ++Bone) {
        Locals.push_back(RandomTransform(Engine, Bone % 4));
        Local->Transforms[Bone].Transform = Locals.back();
    }
    kelvo_transform OffsetTransform = RandomTransform(Engine, 2);
    float Offset[16];
    KelvoBuildCompositeTransform4x4(&OffsetTransform, Offset);
    world_pose_ptr World(KelvoNewWorldPose(Count));
    KelvoBuildWorldPose(&S.Skeleton, 0, Count, Local.get(), Offset, World.get());

    for (int Bone = 0; Bone < Count; ++Bone) {
        float Single[16], Attachment[16];
        KelvoGetWorldMatrixFromLocalPose(&S.Skeleton, Bone, Local.get(), Offset, Single, nullptr,
                                         nullptr);
        KelvoGetAttachmentOffset(&S.Skeleton, Bone, Local.get(), Offset, Attachment, nullptr,
                                 nullptr);
        matrix64 Expected = ReferenceWorld(S, Locals, Bone, FromFloats(Offset));
        ExpectMatrixNear(Single, Expected, 1e-5);
        ExpectMatrixNear(Attachment, Inverse64(Expected), 1e-4);
    }

    // The general form gives back each local matrix (a sheared one as
    // rotation times symmetric stretch) and rigid bones component by
    // component; the no-scale form is exact where no scale is involved.
    KelvoLocalPoseFromWorldPose(&S.Skeleton, Back.get(), World.get(), Offset, 0, Count);
    auto IsRigid = [&](int Bone) {
        return Bone < 0 || !(Locals[(size_t)Bone].Flags & KelvoHasScaleShear);
    };
    for (int Bone = 0; Bone < Count; ++Bone) {
        SCOPED_TRACE(Bone);
        float Recovered[16];
        KelvoBuildCompositeTransform4x4(&Back->Transforms[Bone].Transform, Recovered);
        ExpectMatrixNear(Recovered, Matrix64(Locals[(size_t)Bone]), 1e-4);
        if (IsRigid(Bone)) {
            ExpectTransformNear(Back->Transforms[Bone].Transform, Locals[(size_t)Bone], 1e-4f);
        }
    }
    KelvoLocalPoseFromWorldPoseNoScale(&S.Skeleton, Back.get(), World.get(), Offset, 0, Count);
    for (int Bone = 0; Bone < Count; ++Bone) {
        if (IsRigid(Bone) && IsRigid(S.Bones[(size_t)Bone].ParentIndex)) {
            ExpectTransformNear(Back->Transforms[Bone].Transform, Locals[(size_t)Bone], 1e-4f);
        }
    }

    // A bone missing from a sparse pose is at rest.
    std::vector<kelvo_int32> Reverse((size_t)Count, -1);
    float Rest[16];
    KelvoGetWorldMatrixFromLocalPose(&S.Skeleton, 5, Local.get(), nullptr, Rest, nullptr,
                                     Reverse.data());
    ExpectMatrixNear(Rest, Inverse64(FromFloats(S.Bones[5].InverseWorldTransform)), 1e-5);

    float Unused[16];
    KelvoGetWorldMatrixFromLocalPose(&S.Skeleton, Count, Local.get(), nullptr, Unused, nullptr,
                                     nullptr);
    ExpectLogged(KelvoErrorLogMessage, "BoneIndex 40 is out of range [0, 40)");
    local_pose_ptr Short(KelvoNewLocalPose(3));
    KelvoLocalPoseFromWorldPose(&S.Skeleton, Short.get(), World.get(), nullptr, 0, 4);
    ExpectLogged(KelvoErrorLogMessage,
                 "GetLocalPoseBoneCount(*Result) >= FirstBone + BoneCount was not true");
    KelvoLocalPoseFromWorldPose(&S.Skeleton, Back.get(), World.get(), nullptr, -1, 4);
    ExpectLogged(KelvoErrorLogMessage, "FirstBone >= 0 was not true");
}

TEST_F(LocalPoseTest, SparseArraysStaySortedAndExpandOverRest) {
    // 0 <- 1 <- 2 <- 3, 1 <- 4, 0 <- 5
    kelvo_bone Bones[6] = {};
    int const Parents[6] = {-1, 0, 1, 2, 1, 0};
    for (int Bone = 0; Bone < 6; ++Bone) {
        Bones[Bone].ParentIndex = Parents[Bone];
        float P[3] = {(float)Bone, 0, 0};
        float const Q[4] = {0, 0, 0, 1}, S[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        KelvoSetTransformWithIdentityCheck(&Bones[Bone].Transform, P, Q, S);
    }
    kelvo_skeleton Skeleton = {"s", 6, Bones, 0};
    kelvo_int32 Sparse[6], Reverse[6];
    EXPECT_EQ(KelvoSparseBoneArrayCreateSingleBone(&Skeleton, 3, Sparse, Reverse), 4);
    EXPECT_EQ(std::vector<int>(Sparse, Sparse + 4), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(KelvoSparseBoneArrayAddBone(&Skeleton, 5, 4, Sparse, Reverse), 5);
    EXPECT_EQ(KelvoSparseBoneArrayAddBone(&Skeleton, 4, 5, Sparse, Reverse), 6);
    EXPECT_EQ(std::vector<int>(Sparse, Sparse + 6), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(KelvoSparseBoneArrayIsValid(6, 6, Sparse, Reverse));
    EXPECT_EQ(KelvoSparseBoneArrayCreateSingleBone(&Skeleton, 4, Sparse, Reverse), 3);
    EXPECT_EQ(Reverse[2], -1);
    EXPECT_EQ(Reverse[4], 2);

    // Expanding puts the sparse entries at their bones and rest elsewhere.
    local_pose_ptr SparsePose(KelvoNewLocalPose(3)), Full(KelvoNewLocalPose(6));
    for (int Position = 0; Position < 3; ++Position) {
        SparsePose->Transforms[Position].Transform.Position[1] = 10.0f + (float)Position;
    }
    KelvoSparseBoneArrayExpand(&Skeleton, SparsePose.get(), 3, Sparse, 6, Full.get());
    float const Expected[6] = {10, 11, 0, 0, 12, 0};
    for (int Bone = 0; Bone < 6; ++Bone) {
        EXPECT_EQ(Full->Transforms[Bone].Transform.Position[1], Expected[Bone]) << Bone;
        if (Expected[Bone] == 0) {
            EXPECT_EQ(Full->Transforms[Bone].Transform.Position[0], (float)Bone);
        }
    }
    KelvoSparseBoneArrayExpand(&Skeleton, SparsePose.get(), 3, Sparse, 7, Full.get());
    ExpectLogged(KelvoErrorLogMessage, "BoneCount 7 is out of range [0, 6]");
    KelvoSparseBoneArrayExpand(&Skeleton, SparsePose.get(), 4, Sparse, 6, Full.get());
    ExpectLogged(KelvoErrorLogMessage, "SparseBoneCount 4 is out of range [0, 3]");
}

TEST_F(LocalPoseTest, SparseValidityFindsEachFault) {
    struct {
        std::vector<int> Sparse, Reverse;
        char const *Message;
    } const Cases[] = {
        {{0, 4}, {0, -1, -1, -1}, "SparseBoneArray[1] is out of range"},
        {{0, 2}, {0, -1, 0, -1}, "SparseBoneArrayReverse[2] should be 1"},
        {{0, 2}, {0, 7, 1, -1}, "SparseBoneArrayReverse[1] is out of range"},
        {{0, 2}, {0, -1, 1, 0}, "SparseBoneArray[0] should be 3"},
    };
    for (auto const &Case : Cases) {
        EXPECT_FALSE(KelvoSparseBoneArrayIsValid(4, 2, Case.Sparse.data(), Case.Reverse.data()));
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoLocalPoseLogMessage, Case.Message);
    }
}

} // namespace
