// Inverse kinematics: the iterative chain solver and the analytic two-bone
// solver. Both turn bones in their own frames (read from the rows of their
// world matrices), write the new orientations into the local pose and
// rebuild the world matrices below what they turned. Bone indices come from
// callers and are checked against the skeleton and both poses.
#include "anim/kelvo_pose.h"

#include "foundation/kelvo_counters.h"
#include "kelvo2/kelvo2_ik.h"

#include <math.h>
#include <string.h>

#include <initializer_list>

using namespace kelvo;

namespace {

constexpr kelvo_log_message_origin Origin = KelvoIKLogMessage;

kelvo_real32 const *PositionOf(kelvo_world_pose const *World, kelvo_int32 Bone) {
    return World->WorldTransformBuffer + 16 * Bone + 12;
}

void Subtract3(kelvo_real32 *Result, kelvo_real32 const *A, kelvo_real32 const *B) {
    for (int Axis = 0; Axis < 3; ++Axis) {
        Result[Axis] = A[Axis] - B[Axis];
    }
}

// A world-space offset in the frame of the bone whose world matrix is M.
void ToBoneFrame(kelvo_real32 *Result, kelvo_real32 const *Offset, kelvo_real32 const *M) {
    for (int Row = 0; Row < 3; ++Row) {
        Result[Row] = Dot3(Offset, M + 4 * Row);
    }
}

// The rotation taking direction Current onto direction Target, through the
// half-way vector; the identity when either is zero or they are opposite.
void RotationTowards(kelvo_real32 *Q, kelvo_real32 const *Current, kelvo_real32 const *Target) {
    kelvo_real32 C[3] = {Current[0], Current[1], Current[2]};
    kelvo_real32 T[3] = {Target[0], Target[1], Target[2]};
    Q[0] = Q[1] = Q[2] = 0.0f;
    Q[3] = 1.0f;
    if (Normalize3(C) <= 0.0f || Normalize3(T) <= 0.0f) {
        return;
    }
    kelvo_real32 const H[3] = {(C[0] + T[0]) / 2, (C[1] + T[1]) / 2, (C[2] + T[2]) / 2};
    kelvo_real32 R[4];
    Cross3(R, H, T);
    R[3] = Dot3(H, T);
    kelvo_real32 const Length = sqrtf(Dot4(R, R));
    if (Length > 1e-12f) {
        for (int Lane = 0; Lane < 4; ++Lane) {
            Q[Lane] = R[Lane] / Length;
        }
    }
}

// Turns Bone by the rotation from Current to Target (world-space offsets
// from the bone) in its own frame.
void TurnBone(kelvo_local_pose *Pose, kelvo_world_pose const *World, kelvo_int32 Bone,
              kelvo_real32 const *Current, kelvo_real32 const *Target) {
    kelvo_real32 const *M = World->WorldTransformBuffer + 16 * Bone;
    kelvo_real32 C[3], T[3], Q[4];
    ToBoneFrame(C, Current, M);
    ToBoneFrame(T, Target, M);
    RotationTowards(Q, C, T);
    kelvo_transform &Local = Pose->Transforms[Bone].Transform;
    kelvo_real32 Turned[4];
    QuaternionMultiply(Turned, Local.Orientation, Q);
    memcpy(Local.Orientation, Turned, sizeof(Turned));
    Local.Flags |= KelvoHasOrientation;
}

// The bone's world (and composite) matrix from its local transform and its
// parent's world matrix (the offset for a root).
void ComposeBone(kelvo_skeleton const *Skeleton, kelvo_int32 Bone, kelvo_local_pose const *Pose,
                 kelvo_real32 const *Offset, kelvo_world_pose *World) {
    kelvo_transform const &Local = Pose->Transforms[Bone].Transform;
    kelvo_real32 L[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    if (Local.Flags & ~(kelvo_uint32)KelvoHasPosition) {
        kelvo_real32 Rows[9];
        LinearRows(Local, Rows);
        for (int Row = 0; Row < 3; ++Row) {
            memcpy(L + 4 * Row, Rows + 3 * Row, 3 * sizeof(kelvo_real32));
        }
    }
    if (Local.Flags & KelvoHasPosition) {
        memcpy(L + 12, Local.Position, 3 * sizeof(kelvo_real32));
    }
    kelvo_int32 const Parent = ParentOf(Skeleton, Bone);
    kelvo_real32 const *ParentWorld =
        Parent < 0 ? Offset : World->WorldTransformBuffer + 16 * Parent;
    kelvo_real32 *Result = World->WorldTransformBuffer + 16 * Bone;
    PortablePoseRoutines.MultiplyMatrices(1, L, 0, ParentWorld, 0, Result, 0);
    if (World->CompositeTransformBuffer) {
        PortablePoseRoutines.MultiplyMatrices(1, Skeleton->Bones[Bone].InverseWorldTransform, 0,
                                              Result, 0,
                                              World->CompositeTransformBuffer + 16 * Bone, 0);
    }
}

// The bones every index must lie below: the skeleton's and both poses'.
kelvo_int32 BoneLimit(kelvo_skeleton const *Skeleton, kelvo_local_pose const *Pose,
                      kelvo_world_pose const *World) {
    kelvo_int32 Limit = Skeleton->BoneCount;
    Limit = Pose->BoneCount < Limit ? Pose->BoneCount : Limit;
    return World->BoneCount < Limit ? World->BoneCount : Limit;
}

bool ArgumentsAreValid(kelvo_int32 EEBoneIndex, kelvo_real32 const *DesiredPosition3,
                       kelvo_skeleton const *Skeleton, kelvo_local_pose const *LocalPose,
                       kelvo_world_pose const *WorldPose) {
    KELVO_CHECK_NOT_NULL(DesiredPosition3, Origin, false);
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, false);
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, false);
    KELVO_CHECK_NOT_NULL(WorldPose, Origin, false);
    KELVO_CHECK_INDEX(EEBoneIndex, BoneLimit(Skeleton, LocalPose, WorldPose), Origin, false);
    return true;
}

} // namespace

KELVO_API void KelvoIKUpdate(kelvo_int32 LinkCount, kelvo_int32 EEBoneIndex,
                             kelvo_real32 const *DesiredPosition3, kelvo_int32 IterationCount,
                             kelvo_skeleton const *Skeleton, kelvo_real32 const *Offset4x4,
                             kelvo_local_pose *LocalPose, kelvo_world_pose *WorldPose) {
    KELVO_TIMED_BLOCK("IKUpdate");
    if (!ArgumentsAreValid(EEBoneIndex, DesiredPosition3, Skeleton, LocalPose, WorldPose)) {
        return;
    }
    for (kelvo_int32 Iteration = 0; Iteration < IterationCount; ++Iteration) {
        kelvo_int32 Bone = ParentOf(Skeleton, EEBoneIndex);
        for (kelvo_int32 Link = 0; Link < LinkCount && Bone >= 0; ++Link) {
            kelvo_real32 Current[3], Target[3];
            Subtract3(Current, PositionOf(WorldPose, EEBoneIndex), PositionOf(WorldPose, Bone));
            Subtract3(Target, DesiredPosition3, PositionOf(WorldPose, Bone));
            TurnBone(LocalPose, WorldPose, Bone, Current, Target);
            KelvoUpdateWorldPoseChildren(Skeleton, Bone, LocalPose, Offset4x4, WorldPose);
            Bone = ParentOf(Skeleton, Bone);
        }
    }
}

KELVO_API kelvo_bool32 KelvoIKUpdate2Bone(
    kelvo_int32 EEBoneIndex, kelvo_real32 const *DesiredPosition3,
    kelvo_real32 const *RestrictedMovementPlaneNormal3, kelvo_skeleton const *Skeleton,
    kelvo_real32 const *Offset4x4, kelvo_local_pose *LocalPose, kelvo_world_pose *WorldPose,
    kelvo_real32 HyperExtensionStart, kelvo_real32 HyperExtensionScale) {
    KELVO_TIMED_BLOCK("IKUpdate2Bone");
    KELVO_CHECK_NOT_NULL(RestrictedMovementPlaneNormal3, Origin, 0);
    if (!ArgumentsAreValid(EEBoneIndex, DesiredPosition3, Skeleton, LocalPose, WorldPose)) {
        return 0;
    }
    kelvo_int32 const Limit = BoneLimit(Skeleton, LocalPose, WorldPose);
    kelvo_int32 const L2BoneIndex = ParentOf(Skeleton, EEBoneIndex);
    KELVO_CHECK_INDEX(L2BoneIndex, Limit, Origin, 0);
    kelvo_int32 const L1BoneIndex = ParentOf(Skeleton, L2BoneIndex);
    KELVO_CHECK_INDEX(L1BoneIndex, Limit, Origin, 0);

    kelvo_real32 const *Hip = PositionOf(WorldPose, L1BoneIndex);
    kelvo_real32 const *Knee = PositionOf(WorldPose, L2BoneIndex);
    kelvo_real32 const *Foot = PositionOf(WorldPose, EEBoneIndex);
    kelvo_real32 D[3], Thigh[3], Shin[3];
    Subtract3(D, DesiredPosition3, Hip);
    Subtract3(Thigh, Knee, Hip);
    Subtract3(Shin, Foot, Knee);
    kelvo_real32 const DD = Dot3(D, D);
    if (DD < 1e-8f) {
        return 0;
    }
    kelvo_real32 const L1L1 = Dot3(Thigh, Thigh), L2L2 = Dot3(Shin, Shin);
    kelvo_real32 const V = ((L1L1 - L2L2) / DD + 1) / 2;
    kelvo_real32 F = L1L1 - V * V * DD;
    kelvo_real32 const G = L1L1 * HyperExtensionStart;
    if (F < G) {
        F = G + (F - G) * HyperExtensionScale;
    }
    F = F > 0 ? F : 0;

    // The knee rises along w, in the bending plane and square to D; a plane
    // normal along D leaves w to the knee's present side of D.
    kelvo_real32 W[3];
    Cross3(W, D, RestrictedMovementPlaneNormal3);
    if (Dot3(W, W) < 1e-12f * DD) {
        kelvo_real32 const Along = Dot3(Thigh, D) / DD;
        for (int Axis = 0; Axis < 3; ++Axis) {
            W[Axis] = Thigh[Axis] - Along * D[Axis];
        }
    }
    kelvo_real32 const WW = Dot3(W, W);
    kelvo_real32 const Height = WW > 0 ? sqrtf(F / WW) : 0.0f;
    kelvo_real32 NewThigh[3];
    for (int Axis = 0; Axis < 3; ++Axis) {
        NewThigh[Axis] = V * D[Axis] + Height * W[Axis];
    }

    alignas(16) kelvo_real32 Offset[16];
    memcpy(Offset, Offset4x4 ? Offset4x4 : IdentityMatrix4x4, sizeof(Offset));
    TurnBone(LocalPose, WorldPose, L1BoneIndex, Thigh, NewThigh);
    for (kelvo_int32 Bone : {L1BoneIndex, L2BoneIndex, EEBoneIndex}) {
        ComposeBone(Skeleton, Bone, LocalPose, Offset, WorldPose);
    }
    kelvo_real32 Goal[3];
    Subtract3(Shin, Foot, Knee);
    Subtract3(Goal, DesiredPosition3, Knee);
    TurnBone(LocalPose, WorldPose, L2BoneIndex, Shin, Goal);
    KelvoUpdateWorldPoseChildren(Skeleton, L1BoneIndex, LocalPose, Offset, WorldPose);
    return 1;
}
