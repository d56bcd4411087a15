/* kelvo2: building skeletons bone by bone. Bones are numbered in the order
   they are added; parents, explicit LOD errors and the remapping table use
   that numbering. Finishing gives every bone without an explicit LODError
   one measured from its descendants' offsets (a leaf gets half its parent's),
   raises every ancestor's error to at least its descendants', puts parents
   before children and sorts the bones by non-increasing LODError (stable),
   so the result satisfies the skeleton invariants of kelvo2_skeleton.h.
   LODType is 2 when any error was explicit, else 1. A bone on a parenting
   cycle, or whose parent was never added, becomes a root (reported).
   Reports go to origin Skeleton. */
#ifndef KELVO2_SKELETON_BUILDER_H
#define KELVO2_SKELETON_BUILDER_H

#include "kelvo2_file_info.h"
#include "kelvo2_types.h"

typedef struct kelvo_skeleton_builder kelvo_skeleton_builder;

/* A builder with room for BoneCount bones; null when out of memory. */
KELVO_API kelvo_skeleton_builder *KelvoBeginSkeleton(kelvo_int32 BoneCount);

/* Appends a bone with its transform relative to its parent and the inverse
   of its rest transform relative to the skeleton (a row-vector 4x4). */
KELVO_API void KelvoAddBoneWithInverse(kelvo_skeleton_builder *Builder,
                                       kelvo_real32 const LocalPosition[3],
                                       kelvo_real32 const LocalOrientation[4],
                                       kelvo_real32 const LocalScaleShear[9],
                                       kelvo_real32 const InverseWorld4x4[16]);
/* The same from the rest transform relative to the skeleton, whose inverse
   is computed. */
KELVO_API void KelvoAddBone(kelvo_skeleton_builder *Builder, kelvo_real32 const LocalPosition[3],
                            kelvo_real32 const LocalOrientation[4],
                            kelvo_real32 const LocalScaleShear[9],
                            kelvo_real32 const WorldPosition[3],
                            kelvo_real32 const WorldOrientation[4],
                            kelvo_real32 const WorldScaleShear[9]);
/* ParentIndex -1 makes the bone a root. */
KELVO_API void KelvoSetBoneParent(kelvo_skeleton_builder *Builder, kelvo_int32 BoneIndex,
                                  kelvo_int32 ParentIndex);
KELVO_API void KelvoSetBoneLODError(kelvo_skeleton_builder *Builder, kelvo_int32 BoneIndex,
                                    kelvo_real32 LODError);

/* Bytes of the finished skeleton with its bones; 0 when that exceeds int32. */
KELVO_API kelvo_int32 KelvoGetResultingSkeletonSize(kelvo_skeleton_builder const *Builder);
/* Builds the skeleton in Memory (KelvoGetResultingSkeletonSize bytes),
   writes RemappingTable[added index] = index in the result when the table is
   given (one entry per added bone), frees the builder and returns the
   skeleton, whose Name is null. Null for a null builder or memory (the
   builder is freed all the same). */
KELVO_API kelvo_skeleton *KelvoEndSkeletonInPlace(kelvo_skeleton_builder *Builder, void *Memory,
                                                  kelvo_int32 *RemappingTable);
/* The same in one block from the library allocator, freed through it. */
KELVO_API kelvo_skeleton *KelvoEndSkeleton(kelvo_skeleton_builder *Builder,
                                           kelvo_int32 *RemappingTable);

#endif
