/* kelvo2: world poses, the 4x4 world matrix of every bone and, optionally,
   its composite (the bone's InverseWorldTransform times its world matrix),
   which skinning consumes. Matrices are row-vector composites (see
   kelvo2_transform.h): a child's world matrix is its local matrix times its
   parent's, and a root's parent is the offset matrix (the identity when the
   Offset4x4 argument is null). Messages are reported under origin WorldPose.

   A pose is one block with both buffers 16-byte aligned (the in-place form
   needs 16-byte aligned memory for that; it warns otherwise, and refuses
   memory off the alignment of the record's own pointers). Every Build
   form checks its bone range against the skeleton, the world pose and the
   local pose it reads, and writes nothing when a check fails. Bones are
   built in index order, so a range that does not start at 0 reads the
   parents' matrices already in the pose. */
#ifndef KELVO2_WORLD_POSE_H
#define KELVO2_WORLD_POSE_H

#include "kelvo2_file_info.h"
#include "kelvo2_local_pose.h"
#include "kelvo2_types.h"

typedef struct kelvo_world_pose {
    kelvo_int32 BoneCount;
    kelvo_real32 *WorldTransformBuffer;     /* 16 reals per bone */
    kelvo_real32 *CompositeTransformBuffer; /* 16 reals per bone, or null */
} kelvo_world_pose;

KELVO_API kelvo_world_pose *KelvoNewWorldPose(kelvo_int32 BoneCount);
KELVO_API kelvo_world_pose *KelvoNewWorldPoseNoComposite(kelvo_int32 BoneCount);
KELVO_API kelvo_int32 KelvoGetResultingWorldPoseSize(kelvo_int32 BoneCount,
                                                     kelvo_bool32 NoComposite);
KELVO_API kelvo_world_pose *KelvoNewWorldPoseInPlace(kelvo_int32 BoneCount,
                                                     kelvo_bool32 NoComposite, void *Memory);
KELVO_API void KelvoFreeWorldPose(kelvo_world_pose *WorldPose);

KELVO_API kelvo_int32 KelvoGetWorldPoseBoneCount(kelvo_world_pose const *WorldPose);
/* Null for an index outside [0, BoneCount) (and for composites of a pose
   without them). */
KELVO_API kelvo_real32 *KelvoGetWorldPose4x4(kelvo_world_pose const *WorldPose,
                                             kelvo_int32 BoneIndex);
KELVO_API kelvo_real32 *KelvoGetWorldPoseComposite4x4(kelvo_world_pose const *WorldPose,
                                                      kelvo_int32 BoneIndex);

/* From the skeleton's rest transforms. */
KELVO_API void KelvoBuildRestWorldPose(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                       kelvo_int32 BoneCount, kelvo_real32 const *Offset4x4,
                                       kelvo_world_pose *Result);
/* Bone i from local pose entry i. */
KELVO_API void KelvoBuildWorldPose(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                   kelvo_int32 BoneCount, kelvo_local_pose const *LocalPose,
                                   kelvo_real32 const *Offset4x4, kelvo_world_pose *Result);
/* Bones in [FirstValidLocalBone, FirstValidLocalBone + ValidLocalBoneCount)
   from the local pose, the others from their rest transforms. */
KELVO_API void KelvoBuildWorldPoseLOD(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                      kelvo_int32 BoneCount, kelvo_int32 FirstValidLocalBone,
                                      kelvo_int32 ValidLocalBoneCount,
                                      kelvo_local_pose const *LocalPose,
                                      kelvo_real32 const *Offset4x4, kelvo_world_pose *Result);
/* Bone i from local pose entry SparseBoneArrayReverse[i], or its rest
   transform where that is -1. */
KELVO_API void KelvoBuildWorldPoseSparse(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                         kelvo_int32 BoneCount,
                                         kelvo_int32 const *SparseBoneArrayReverse,
                                         kelvo_local_pose const *LocalPose,
                                         kelvo_real32 const *Offset4x4, kelvo_world_pose *Result);
/* The same, never writing composites. */
KELVO_API void KelvoBuildWorldPoseNoComposite(kelvo_skeleton const *Skeleton,
                                              kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                              kelvo_local_pose const *LocalPose,
                                              kelvo_real32 const *Offset4x4,
                                              kelvo_world_pose *Result);
KELVO_API void KelvoBuildWorldPoseNoCompositeLOD(
    kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone, kelvo_int32 BoneCount,
    kelvo_int32 FirstValidLocalBone, kelvo_int32 ValidLocalBoneCount,
    kelvo_local_pose const *LocalPose, kelvo_real32 const *Offset4x4, kelvo_world_pose *Result);
KELVO_API void KelvoBuildWorldPoseNoCompositeSparse(kelvo_skeleton const *Skeleton,
                                                    kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                    kelvo_int32 const *SparseBoneArrayReverse,
                                                    kelvo_local_pose const *LocalPose,
                                                    kelvo_real32 const *Offset4x4,
                                                    kelvo_world_pose *Result);

/* Composites from the world matrices already in the pose. */
KELVO_API void KelvoBuildWorldPoseComposites(kelvo_skeleton const *Skeleton,
                                             kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                             kelvo_world_pose *Result);
/* Into a caller buffer at the bones' own indices: 16 reals per bone, or
   (Transposed) the upper 4x3 part transposed, 12 reals per bone. */
KELVO_API void KelvoBuildCompositeBuffer(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                         kelvo_int32 BoneCount, kelvo_world_pose const *Pose,
                                         kelvo_real32 *CompositeBuffer);
KELVO_API void KelvoBuildCompositeBufferTransposed(kelvo_skeleton const *Skeleton,
                                                   kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                   kelvo_world_pose const *Pose,
                                                   kelvo_real32 *CompositeBuffer);
/* CompositeBuffer entry i is the composite of bone Indices[i]. */
KELVO_API void KelvoBuildIndexedCompositeBuffer(kelvo_skeleton const *Skeleton,
                                                kelvo_world_pose const *Pose,
                                                kelvo_int32 const *Indices,
                                                kelvo_int32 IndexCount,
                                                kelvo_real32 *CompositeBuffer);
KELVO_API void KelvoBuildIndexedCompositeBufferTransposed(kelvo_skeleton const *Skeleton,
                                                          kelvo_world_pose const *Pose,
                                                          kelvo_int32 const *Indices,
                                                          kelvo_int32 IndexCount,
                                                          kelvo_real32 *CompositeBuffer);

/* Rebuilds ParentBone and every bone below it from the local pose. */
KELVO_API void KelvoUpdateWorldPoseChildren(kelvo_skeleton const *Skeleton, kelvo_int32 ParentBone,
                                            kelvo_local_pose const *LocalPose,
                                            kelvo_real32 const *Offset4x4,
                                            kelvo_world_pose *Result);

#endif
