#include "anim/track_test_support.h"
#include "kelvo_test.h"

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

class IKTest : public KelvoTest {};

using vec3 = std::array<float, 3>;

float Distance(float const *A, float const *B) {
    return std::sqrt((A[0] - B[0]) * (A[0] - B[0]) + (A[1] - B[1]) * (A[1] - B[1]) +
                     (A[2] - B[2]) * (A[2] - B[2]));
}

// A chain of bones, each placed at Offsets[i] from its parent and turned a
// little, with its rest pose in a local pose and a world pose built from it
// under an offset matrix.
struct chain {
    std::vector<kelvo_bone> Bones;
    kelvo_skeleton Skeleton;
    kelvo_local_pose *Local;
    kelvo_world_pose *World;
    float Offset[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.5f, -1, 2, 1};

    explicit chain(std::vector<vec3> const &Offsets) : Bones(Offsets.size()) {
        int const Count = (int)Offsets.size();
        for (int Index = 0; Index < Count; ++Index) {
            kelvo_bone &Bone = Bones[(size_t)Index];
            Bone = {};
            Bone.Name = "bone";
            Bone.ParentIndex = Index - 1;
            std::vector<float> Q = Turn(0.15f * (float)Index);
            float const S[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
            KelvoSetTransformWithIdentityCheck(&Bone.Transform, Offsets[(size_t)Index].data(),
                                               Q.data(), S);
            float const I[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
            std::memcpy(Bone.InverseWorldTransform, I, sizeof(I));
        }
        Skeleton = {"chain", Count, Bones.data(), 0};
        Local = KelvoNewLocalPose(Count);
        World = KelvoNewWorldPose(Count);
        for (int Index = 0; Index < Count; ++Index)
            Local->Transforms[Index].Transform = Bones[(size_t)Index].Transform;
        KelvoBuildWorldPose(&Skeleton, 0, Count, Local, Offset, World);
    }
    ~chain() {
        KelvoFreeLocalPose(Local);
        KelvoFreeWorldPose(World);
    }
    float const *At(int Bone) const { return KelvoGetWorldPose4x4(World, Bone) + 12; }
    // The solvers keep the world pose what the local pose builds.
    void ExpectWorldMatchesLocal() const {
        kelvo_world_pose *Rebuilt = KelvoNewWorldPose(Skeleton.BoneCount);
        KelvoBuildWorldPose(&Skeleton, 0, Skeleton.BoneCount, Local, Offset, Rebuilt);
        for (int Index = 0; Index < 16 * Skeleton.BoneCount; ++Index) {
            EXPECT_NEAR(World->WorldTransformBuffer[Index], Rebuilt->WorldTransformBuffer[Index],
                        1e-4f);
            EXPECT_NEAR(World->CompositeTransformBuffer[Index],
                        Rebuilt->CompositeTransformBuffer[Index], 1e-4f);
        }
        KelvoFreeWorldPose(Rebuilt);
    }
};

// Pelvis, hip, knee, foot: a bent leg with a thigh of 1.02 and a shin of 1.2.
chain MakeLeg() {
    return chain({{0, 0, 0}, {0.2f, 2, 0}, {0.2f, -1, 0}, {-0.3f, -1.16f, 0}});
}

TEST_F(IKTest, TwoBonesReachWhatTheyCanAndStraightenTowardsTheRest) {
    float const Normal[3] = {0, 0, 1};
    vec3 const Reaches[] = {{0.5f, -1.2f, 0.3f}, {1.0f, -0.5f, -0.8f}, {-0.3f, -1.9f, 0.1f},
                            {0.0f, 0.8f, 0.9f},  {1.5f, 0.1f, 0.2f},   {0.2f, -0.4f, 0.0f}};
    for (vec3 const &Reach : Reaches) {
        for (float Beyond : {1.0f, 3.0f}) { // 3: every reach lands out of range
            chain Leg = MakeLeg();
            float const Thigh = Distance(Leg.At(1), Leg.At(2)),
                        Shin = Distance(Leg.At(2), Leg.At(3));
            float Hip[3], Goal[3];
            std::memcpy(Hip, Leg.At(1), sizeof(Hip));
            for (int Axis = 0; Axis < 3; ++Axis)
                Goal[Axis] = Hip[Axis] + Beyond * Reach[(size_t)Axis];
            ASSERT_TRUE(KelvoIKUpdate2Bone(3, Goal, Normal, &Leg.Skeleton, Leg.Offset, Leg.Local,
                                           Leg.World, 0.0f, 0.5f));
            EXPECT_NEAR(Distance(Leg.At(1), Hip), 0, 1e-5f) << "the hip stays";
            EXPECT_NEAR(Distance(Leg.At(1), Leg.At(2)), Thigh, 1e-4f);
            EXPECT_NEAR(Distance(Leg.At(2), Leg.At(3)), Shin, 1e-4f);
            float const Reachable = Distance(Goal, Hip);
            if (Reachable < Thigh + Shin) {
                EXPECT_NEAR(Distance(Leg.At(3), Goal), 0, 1e-4f * (Thigh + Shin));
            } else { // straight, along the line to the goal
                for (int Axis = 0; Axis < 3; ++Axis) {
                    float const Along = (Goal[Axis] - Hip[Axis]) / Reachable;
                    EXPECT_NEAR(Leg.At(2)[Axis], Hip[Axis] + Thigh * Along, 1e-3f);
                    EXPECT_NEAR(Leg.At(3)[Axis], Hip[Axis] + (Thigh + Shin) * Along, 1e-3f);
                }
            }
            Leg.ExpectWorldMatchesLocal();
        }
    }
}

// At full reach the knee would straighten; below HyperExtensionStart times
// the thigh's squared length its squared height is scaled by the scale, so
// the knee stands off the hip-goal line by sqrt(start x (1 - scale)) of its
// distance along it.
TEST_F(IKTest, TheSoftLimitKeepsTheKneeBentAtFullReach) {
    float const Normal[3] = {0, 0, 1};
    float const Limits[][2] = {{0.0f, 0.5f}, {0.1f, 0.5f}, {0.2f, 0.0f}, {0.3f, 0.9f}};
    for (auto const &Limit : Limits) {
        chain Leg = MakeLeg();
        float const Thigh = Distance(Leg.At(1), Leg.At(2)), Shin = Distance(Leg.At(2), Leg.At(3));
        float const Direction[3] = {0.6f, -0.64f, 0.48f}; // unit
        float Hip[3], Goal[3];
        std::memcpy(Hip, Leg.At(1), sizeof(Hip));
        for (int Axis = 0; Axis < 3; ++Axis)
            Goal[Axis] = Hip[Axis] + (Thigh + Shin) * Direction[Axis];
        ASSERT_TRUE(KelvoIKUpdate2Bone(3, Goal, Normal, &Leg.Skeleton, Leg.Offset, Leg.Local,
                                       Leg.World, Limit[0], Limit[1]));
        float Along = 0, Off[3];
        for (int Axis = 0; Axis < 3; ++Axis)
            Along += (Leg.At(2)[Axis] - Hip[Axis]) * Direction[Axis];
        for (int Axis = 0; Axis < 3; ++Axis)
            Off[Axis] = Leg.At(2)[Axis] - Hip[Axis] - Along * Direction[Axis];
        float const Zero[3] = {0, 0, 0};
        EXPECT_NEAR(Distance(Off, Zero) / Along, std::sqrt(Limit[0] * (1 - Limit[1])), 1e-3f)
            << Limit[0] << ", " << Limit[1];
        EXPECT_NEAR(Distance(Leg.At(1), Leg.At(2)), Thigh, 1e-4f);
    }
}

TEST_F(IKTest, TwoBoneRefusalsChangeNothing) {
    float const Normal[3] = {0, 0, 1};
    struct refusal {
        int Foot;
        bool AtHip;
        char const *Message; // null: the goal at the hip, refused without a word
    } const Refusals[] = {
        {3, true, nullptr},
        {0, false, "L2BoneIndex -1 is out of range [0, 4)"},
        {1, false, "L1BoneIndex -1 is out of range [0, 4)"},
        {4, false, "EEBoneIndex 4 is out of range [0, 4)"},
    };
    for (refusal const &Refusal : Refusals) {
        chain Leg = MakeLeg();
        std::vector<kelvo_local_pose_transform> Before(Leg.Local->Transforms,
                                                       Leg.Local->Transforms + 4);
        float Goal[3] = {3, 3, 3};
        if (Refusal.AtHip)
            std::memcpy(Goal, Leg.At(1), sizeof(Goal));
        EXPECT_FALSE(KelvoIKUpdate2Bone(Refusal.Foot, Goal, Normal, &Leg.Skeleton, Leg.Offset,
                                        Leg.Local, Leg.World, 0.0f, 0.5f));
        EXPECT_EQ(0, std::memcmp(Before.data(), Leg.Local->Transforms, 4 * sizeof(Before[0])));
        if (Refusal.Message)
            ExpectLoggedFrom(KelvoErrorLogMessage, KelvoIKLogMessage, Refusal.Message);
    }
}

TEST_F(IKTest, TheChainSolverConvergesOnAFiveBoneChain) {
    std::vector<vec3> const Links = {{0, 0, 0}, {0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {0, 1, 0}};
    float const Goal[3] = {2.0f, 0.5f, 3.2f}; // 2.6 from the root, which the offset moves
    chain Still(Links);
    std::vector<kelvo_local_pose_transform> Before(Still.Local->Transforms,
                                                   Still.Local->Transforms + 5);
    KelvoIKUpdate(4, 4, Goal, 0, &Still.Skeleton, Still.Offset, Still.Local, Still.World);
    EXPECT_EQ(0, std::memcmp(Before.data(), Still.Local->Transforms, 5 * sizeof(Before[0])));

    float Previous = 1e9f;
    for (int Iterations : {1, 4, 40}) {
        chain Arm(Links);
        KelvoIKUpdate(4, 4, Goal, Iterations, &Arm.Skeleton, Arm.Offset, Arm.Local, Arm.World);
        float const Miss = Distance(Arm.At(4), Goal);
        EXPECT_LT(Miss, Previous) << Iterations << " iterations";
        Previous = Miss;
        for (int Bone = 1; Bone < 5; ++Bone)
            EXPECT_NEAR(Distance(Arm.At(Bone - 1), Arm.At(Bone)), 1.0f, 1e-4f);
        Arm.ExpectWorldMatchesLocal();
    }
    EXPECT_LT(Previous, 1e-3f);
}

} // namespace
