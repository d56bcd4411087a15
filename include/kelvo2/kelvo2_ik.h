/* kelvo2: inverse kinematics. Two solvers turn a bone chain so that its end
   effector reaches a desired world position: an iterative one for chains of
   any length and an analytic one for two bones (hip, knee, foot). Both
   change orientations in the local pose and keep the world pose's matrices
   (which must be current for the chain and its parents) up to date below
   the chain. Offset4x4 is the root's parent matrix (identity when null).
   Messages are reported under origin IK.

   Rotations take the current direction (bone to end effector) onto the
   target direction (bone to goal) in the bone's own frame; when the two
   point in exactly opposite directions the bone is left as it is. */
#ifndef KELVO2_IK_H
#define KELVO2_IK_H

#include "kelvo2_file_info.h"
#include "kelvo2_local_pose.h"
#include "kelvo2_types.h"
#include "kelvo2_world_pose.h"

/* IterationCount passes over the chain of the end effector's LinkCount
   nearest ancestors (fewer when the root comes first), each ancestor from
   the nearest outwards aiming the end effector at the goal. */
KELVO_API void KelvoIKUpdate(kelvo_int32 LinkCount, kelvo_int32 EEBoneIndex,
                             kelvo_real32 const *DesiredPosition3, kelvo_int32 IterationCount,
                             kelvo_skeleton const *Skeleton, kelvo_real32 const *Offset4x4,
                             kelvo_local_pose *LocalPose, kelvo_world_pose *WorldPose);

/* Foot = EEBoneIndex, knee = its parent, hip = the knee's parent. The knee
   bends in the plane through hip and goal that RestrictedMovementPlaneNormal3
   is normal to. Straightening is softened below HyperExtensionStart times
   the thigh's squared length: the knee height there is scaled by
   HyperExtensionScale. False when the goal is at the hip (nothing changes)
   or the chain is not there. */
KELVO_API kelvo_bool32 KelvoIKUpdate2Bone(
    kelvo_int32 EEBoneIndex, kelvo_real32 const *DesiredPosition3,
    kelvo_real32 const *RestrictedMovementPlaneNormal3, kelvo_skeleton const *Skeleton,
    kelvo_real32 const *Offset4x4, kelvo_local_pose *LocalPose, kelvo_world_pose *WorldPose,
    kelvo_real32 HyperExtensionStart, kelvo_real32 HyperExtensionScale);

#endif
