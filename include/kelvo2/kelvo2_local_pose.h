/* kelvo2: local poses, one transform per bone relative to its parent, where
   animation contributions meet. Messages are reported under origin LocalPose.

   Accumulation: Begin starts a traversal (nothing is cleared: an entry counts
   as written only when its TraversalID is the pose's), Accumulate adds
   weighted contributions without normalizing, End closes the traversal bone
   by bone: an unwritten bone takes its rest transform (the skeleton bone's
   Transform); a bone lighter than FillThreshold is topped up with its rest
   transform; the LOD fade blends towards rest; then the sums are divided by
   their weight and the orientation is renormalized. Choices of this library:
   - a bone whose accumulated orientation sums to length 0, or whose total
     weight is exactly 0, ends with its rest transform;
   - KelvoLocalPoseFromWorldPose splits sheared matrices by the polar
     decomposition (rotation times stretch; the stretch becomes ScaleShear).

   Quaternion modes (QuaternionMode arguments) say how a contribution's
   orientation is signed before it is added:
   0 as it is; 1 negated; 2 negated when its dot product with the rest
   orientation is negative; 3 negated when its dot product with what this
   traversal accumulated so far is negative (with the rest orientation when
   nothing is accumulated yet). A dot product that is not a number counts as
   negative.

   Sparse bone arrays: SparseBoneArray maps pose positions to skeleton bones
   and is kept sorted by bone index, so parents precede their children;
   SparseBoneArrayReverse has one entry per skeleton bone, the position of
   the bone or -1. Both must hold the skeleton's bone count of entries for
   the operations that add to them. A null sparse array means position i is
   bone i. */
#ifndef KELVO2_LOCAL_POSE_H
#define KELVO2_LOCAL_POSE_H

#include "kelvo2_file_info.h"
#include "kelvo2_transform.h"
#include "kelvo2_types.h"

struct kelvo_track_mask;
struct kelvo_world_pose;

typedef struct kelvo_local_pose_transform {
    kelvo_real32 Weight; /* accumulated in the current traversal */
    kelvo_int32 Count;   /* contributions in the current traversal */
    kelvo_transform Transform;
    kelvo_int32 TraversalID; /* the traversal that last wrote the entry */
} kelvo_local_pose_transform;

typedef struct kelvo_local_pose {
    kelvo_int32 BoneCount;
    kelvo_local_pose_transform *Transforms;
    kelvo_real32 FillThreshold; /* 0.2 initially */
    kelvo_int32 TraversalID;
} kelvo_local_pose;

/* Pose and entries are one block; entries start zeroed. */
KELVO_API kelvo_local_pose *KelvoNewLocalPose(kelvo_int32 BoneCount);
KELVO_API kelvo_int32 KelvoGetResultingLocalPoseSize(kelvo_int32 BoneCount);
KELVO_API kelvo_local_pose *KelvoNewLocalPoseInPlace(kelvo_int32 BoneCount, void *Memory);
KELVO_API void KelvoFreeLocalPose(kelvo_local_pose *LocalPose);

KELVO_API kelvo_int32 KelvoGetLocalPoseBoneCount(kelvo_local_pose const *LocalPose);
/* Null for an index outside [0, BoneCount). */
KELVO_API kelvo_transform *KelvoGetLocalPoseTransform(kelvo_local_pose const *LocalPose,
                                                      kelvo_int32 BoneIndex);
KELVO_API kelvo_real32 KelvoGetLocalPoseFillThreshold(kelvo_local_pose const *LocalPose);
KELVO_API void KelvoSetLocalPoseFillThreshold(kelvo_local_pose *LocalPose,
                                              kelvo_real32 FillThreshold);
/* Refused when the destination has fewer bones than the source. */
KELVO_API void KelvoCopyLocalPose(kelvo_local_pose const *Source, kelvo_local_pose *Destination);

KELVO_API void KelvoBeginLocalPoseAccumulation(kelvo_local_pose *LocalPose, kelvo_int32 FirstBone,
                                               kelvo_int32 BoneCount,
                                               kelvo_int32 const *SparseBoneArray);
/* Adds one weighted contribution to entry LocalPoseBoneIndex; the skeleton
   bone gives the rest orientation of modes 2 and 3. */
KELVO_API void KelvoAccumulateLocalTransform(kelvo_local_pose *LocalPose,
                                             kelvo_int32 LocalPoseBoneIndex,
                                             kelvo_int32 SkeletonBoneIndex, kelvo_real32 Weight,
                                             kelvo_skeleton const *ReferenceSkeleton,
                                             kelvo_int32 QuaternionMode,
                                             kelvo_transform const *Transform);
KELVO_API void KelvoEndLocalPoseAccumulation(kelvo_local_pose *LocalPose, kelvo_int32 FirstBone,
                                             kelvo_int32 BoneCount,
                                             kelvo_skeleton const *ReferenceSkeleton,
                                             kelvo_int32 const *SparseBoneArray);
/* With a skeleton that has LOD ordering, bones whose LODError lies between
   AllowedError times the global fading factor and AllowedError fade towards
   rest, and those below are replaced by it. */
KELVO_API void KelvoEndLocalPoseAccumulationLOD(kelvo_local_pose *LocalPose,
                                                kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                kelvo_skeleton const *ReferenceSkeleton,
                                                kelvo_real32 AllowedError,
                                                kelvo_int32 const *SparseBoneArray);

/* Blends CompositePose into BasePose: each bone by WeightWhereMaskIsZero +
   mask weight x (WeightWhereMaskIsOne - WeightWhereMaskIsZero), or by
   WeightWhereMaskIsOne everywhere without a mask. The mask is indexed by
   skeleton bone (through the sparse array when one is given). */
KELVO_API void KelvoModulationCompositeLocalPose(kelvo_local_pose *BasePose,
                                                 kelvo_real32 WeightWhereMaskIsZero,
                                                 kelvo_real32 WeightWhereMaskIsOne,
                                                 struct kelvo_track_mask const *Mask,
                                                 kelvo_local_pose const *CompositePose);
KELVO_API void KelvoModulationCompositeLocalPoseSparse(
    kelvo_local_pose *BasePose, kelvo_real32 WeightWhereMaskIsZero,
    kelvo_real32 WeightWhereMaskIsOne, struct kelvo_track_mask const *Mask,
    kelvo_local_pose const *CompositePose, kelvo_int32 const *SparseBoneArray);

/* The bone's world matrix: its local matrices up the parent chain, root last,
   then Offset4x4 (identity when null). The pose entry of a bone is found
   through SparseBoneArrayReverse when given (-1: the rest transform);
   SparseBoneArray is not read. GetAttachmentOffset writes its inverse (the
   identity when it is singular). */
KELVO_API void KelvoGetWorldMatrixFromLocalPose(kelvo_skeleton const *Skeleton,
                                                kelvo_int32 BoneIndex,
                                                kelvo_local_pose const *LocalPose,
                                                kelvo_real32 const *Offset4x4,
                                                kelvo_real32 *Result4x4,
                                                kelvo_int32 const *SparseBoneArray,
                                                kelvo_int32 const *SparseBoneArrayReverse);
KELVO_API void KelvoGetAttachmentOffset(kelvo_skeleton const *Skeleton, kelvo_int32 BoneIndex,
                                        kelvo_local_pose const *LocalPose,
                                        kelvo_real32 const *Offset4x4, kelvo_real32 *Result4x4,
                                        kelvo_int32 const *SparseBoneArray,
                                        kelvo_int32 const *SparseBoneArrayReverse);

/* Local transforms of bones [FirstBone, FirstBone + BoneCount) from world
   matrices: local = world x inverse(parent world), the parent of a root
   being Offset4x4 (identity when null). The NoScale form keeps rotation and
   position only. */
KELVO_API void KelvoLocalPoseFromWorldPose(kelvo_skeleton const *Skeleton,
                                           kelvo_local_pose *Result,
                                           struct kelvo_world_pose const *WorldPose,
                                           kelvo_real32 const *Offset4x4, kelvo_int32 FirstBone,
                                           kelvo_int32 BoneCount);
KELVO_API void KelvoLocalPoseFromWorldPoseNoScale(kelvo_skeleton const *Skeleton,
                                                  kelvo_local_pose *Result,
                                                  struct kelvo_world_pose const *WorldPose,
                                                  kelvo_real32 const *Offset4x4,
                                                  kelvo_int32 FirstBone, kelvo_int32 BoneCount);

/* The bone and its ancestors, sorted by bone index; returns the count. */
KELVO_API kelvo_int32 KelvoSparseBoneArrayCreateSingleBone(kelvo_skeleton const *Skeleton,
                                                           kelvo_int32 BoneIndex,
                                                           kelvo_int32 *SparseBoneArray,
                                                           kelvo_int32 *SparseBoneArrayReverse);
/* Inserts the bone and its missing ancestors in order; returns the new count
   (the old one when refused). */
KELVO_API kelvo_int32 KelvoSparseBoneArrayAddBone(kelvo_skeleton const *Skeleton,
                                                  kelvo_int32 BoneIndex,
                                                  kelvo_int32 InitialSparseBoneCount,
                                                  kelvo_int32 *SparseBoneArray,
                                                  kelvo_int32 *SparseBoneArrayReverse);
/* Bones [0, BoneCount) of FullPose: the sparse pose's transform for bones
   the sparse array names, the rest transform for the others. */
KELVO_API void KelvoSparseBoneArrayExpand(kelvo_skeleton const *Skeleton,
                                          kelvo_local_pose const *SparsePose,
                                          kelvo_int32 SparseBoneCount,
                                          kelvo_int32 const *SparseBoneArray,
                                          kelvo_int32 BoneCount, kelvo_local_pose *FullPose);
/* True when both arrays agree; the first fault is reported. */
KELVO_API kelvo_bool32 KelvoSparseBoneArrayIsValid(kelvo_int32 SkeletonBoneCount,
                                                   kelvo_int32 SparseBoneCount,
                                                   kelvo_int32 const *SparseBoneArray,
                                                   kelvo_int32 const *SparseBoneArrayReverse);

#endif
