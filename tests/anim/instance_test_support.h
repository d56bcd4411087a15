// A three-bone character and one-second animations of it, for the suites
// that play animations on model instances.
#ifndef KELVO_INSTANCE_TEST_SUPPORT_H
#define KELVO_INSTANCE_TEST_SUPPORT_H

#include "anim/track_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

char const *const BoneNames[] = {"root", "spine", "head"};

// A three-bone chain, one unit apart.
struct character {
    kelvo_bone Bones[3];
    kelvo_skeleton Skeleton = {"skeleton", 3, Bones, 0};
    kelvo_model Model = {};
    character() {
        for (int Index = 0; Index < 3; ++Index) {
            Bones[Index] = {};
            Bones[Index].Name = BoneNames[Index];
            Bones[Index].ParentIndex = Index - 1;
            KelvoMakeIdentity(&Bones[Index].Transform);
            Bones[Index].Transform.Position[1] = Index ? 1.0f : 0.0f;
            Bones[Index].Transform.Flags = Index ? KelvoHasPosition : 0;
            float const Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
            std::memcpy(Bones[Index].InverseWorldTransform, Identity, sizeof(Identity));
        }
        Model.Name = "hero";
        Model.Skeleton = &Skeleton;
        KelvoMakeIdentity(&Model.InitialPlacement);
    }
};

// An animation of one second for the character; Seed varies its motion.
// Track i moves and turns bone i; the root track may be the root motion.
struct clip {
    std::vector<std::unique_ptr<test_track>> Owned;
    kelvo_transform_track Tracks[3];
    kelvo_track_group Group = {};
    kelvo_track_group_slot Slot = &Group;
    kelvo_animation Animation = {"clip", 1.0f, 1.0f / 30, 1.0f, 1, &Slot};

    // Linear curves of 3 knots, or with Cubic, cubic curves of 9 knots whose
    // last head orientation lies in the other hemisphere; with Uneven, each
    // track's inner knots lie apart from the other tracks' and its curves end
    // before the clip does; with Apart, one inner knot of each orientation
    // lies apart from its position's; with Stored, quantized as imports
    // store them (D3K16uC16u positions, D4nK16uC15u orientations).
    explicit clip(float Seed, std::vector<float> RootPositions = {}, bool Cubic = false,
                  bool Uneven = false, bool Apart = false, bool Stored = false) {
        for (int Index = 0; Index < 3; ++Index) {
            std::vector<float> Knots = {0, 0.5f, 1};
            if (Cubic) {
                Knots = {0, 0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 0.875f, 1};
            }
            for (size_t Knot = 1; Uneven && Knot + 1 < Knots.size(); ++Knot) {
                Knots[Knot] += 0.01f * (float)Index;
            }
            Knots.back() = Uneven ? 0.96f : Knots.back();
            std::vector<float> Positions = {Seed, 1, 0, 0, 1 + Seed, Index * Seed, 0.5f, 1, 2};
            if (Index == 0 && !RootPositions.empty()) {
                Positions = RootPositions;
            }
            std::vector<float> Turns = Turn(0.1f * Seed);
            for (float Angle : {0.3f + Seed, 0.9f * Seed}) {
                std::vector<float> More = Turn(Angle);
                Turns.insert(Turns.end(), More.begin(), More.end());
            }
            for (size_t Knot = 3; Knot < Knots.size(); ++Knot) {
                float const Wave = std::sin(Seed * (float)(Knot + Index));
                Positions.insert(Positions.end(), {Wave, 1 - Wave, Seed});
                std::vector<float> More = Turn(Seed + Wave);
                Turns.insert(Turns.end(), More.begin(), More.end());
            }
            for (size_t Lane = Turns.size() - 4; Cubic && Index == 2 && Lane < Turns.size();
                 ++Lane) {
                Turns[Lane] = -Turns[Lane];
            }
            int const Degree = Cubic ? 3 : 1;
            std::vector<float> TurnKnots = Knots;
            TurnKnots[TurnKnots.size() / 2] += Apart ? 0.03f : 0.0f;
            Owned.emplace_back(new test_track(
                BoneNames[Index],
                BuildCurve(Stored ? KelvoCurveDataD3K16uC16uType : KelvoCurveDataDaK32fC32fType,
                           Degree, 3, Knots, Positions),
                Index == 0 && !RootPositions.empty()
                    ? IdentityCurve(4)
                    : BuildCurve(Stored ? KelvoCurveDataD4nK16uC15uType
                                        : KelvoCurveDataDaK32fC32fType,
                                 Degree, 4, TurnKnots, Turns),
                IdentityCurve(9)));
            Tracks[Index] = Owned.back()->Track;
        }
        Group.Name = "hero";
        Group.TransformTrackCount = 3;
        Group.TransformTracks = Tracks;
        KelvoMakeIdentity(&Group.InitialPlacement);
    }
};

struct pose_deleter {
    void operator()(kelvo_local_pose *Pose) const { KelvoFreeLocalPose(Pose); }
};
using owned_pose = std::unique_ptr<kelvo_local_pose, pose_deleter>;

inline void ExpectPosesNear(kelvo_local_pose const *A, kelvo_local_pose const *B) {
    for (int Bone = 0; Bone < 3; ++Bone) {
        kelvo_transform const *X = KelvoGetLocalPoseTransform(A, Bone);
        kelvo_transform const *Y = KelvoGetLocalPoseTransform(B, Bone);
        for (int Lane = 0; Lane < 3; ++Lane)
            EXPECT_NEAR(X->Position[Lane], Y->Position[Lane], 1e-5f) << "bone " << Bone;
        for (int Lane = 0; Lane < 4; ++Lane)
            EXPECT_NEAR(X->Orientation[Lane], Y->Orientation[Lane], 1e-5f) << "bone " << Bone;
    }
}

} // namespace

#endif
