/* kelvo2: skeletons and models. A skeleton is a flat array of bones; each
   bone's Transform is relative to its parent, and a parent always precedes
   its children (ParentIndex is -1 or below the bone's own index). Files that
   break that order are refused when their file info is taken, so these
   operations trust it.

   Skeleton-relative transforms compose the parent chain: a bone's result is
   T[root] o ... o T[parent] o T[bone]. The strided forms read the i-th
   transform at Transforms + i * TransformStride and the i-th parent index at
   ParentIndices + i * ParentStride (bytes), so the Transform and ParentIndex
   fields of a bone array serve directly, both with stride sizeof(kelvo_bone). */
#ifndef KELVO2_SKELETON_H
#define KELVO2_SKELETON_H

#include "kelvo2_file_info.h"
#include "kelvo2_transform.h"
#include "kelvo2_types.h"

/* The first bone whose name equals Name exactly (or for which the installed
   string comparison returns 0). False with *BoneIndex set to the bone count
   when none does; false for a null skeleton. */
KELVO_API kelvo_bool32 KelvoFindBoneByName(kelvo_skeleton const *Skeleton, char const *Name,
                                           kelvo_int32 *BoneIndex);
/* The same, ignoring the case of ASCII letters. */
KELVO_API kelvo_bool32 KelvoFindBoneByNameLowercase(kelvo_skeleton const *Skeleton,
                                                    char const *Name, kelvo_int32 *BoneIndex);

/* The number of leading bones needed for AllowedError: all of them when the
   error is 0 or the skeleton has no LOD ordering, else up to the first bone
   whose LODError is below AllowedError times the global LOD fading factor. */
KELVO_API kelvo_int32 KelvoGetBoneCountForLOD(kelvo_skeleton const *Skeleton,
                                              kelvo_real32 AllowedError);

/* The process-wide factor (initially 0.8) by which an allowed error is
   scaled to where level-of-detail fading starts. */
KELVO_API kelvo_real32 KelvoGetGlobalLODFadingFactor(void);
KELVO_API void KelvoSetGlobalLODFadingFactor(kelvo_real32 Factor);

/* One bone's transform relative to the skeleton root. */
KELVO_API void KelvoBuildSkeletonRelativeTransform(kelvo_int32 SourceTransformStride,
                                                   kelvo_transform const *SourceTransforms,
                                                   kelvo_int32 SourceParentStride,
                                                   kelvo_int32 const *SourceParentIndices,
                                                   kelvo_int32 BoneIndex, kelvo_transform *Result);
/* Count bones at once, in order; Results (ResultStride bytes apart) may be
   the source transforms themselves, with the same stride. */
KELVO_API void KelvoBuildSkeletonRelativeTransforms(kelvo_int32 SourceTransformStride,
                                                    kelvo_transform const *SourceTransforms,
                                                    kelvo_int32 SourceParentStride,
                                                    kelvo_int32 const *SourceParentIndices,
                                                    kelvo_int32 Count, kelvo_int32 ResultStride,
                                                    kelvo_transform *Results);

/* The composite of the model's InitialPlacement. */
KELVO_API void KelvoGetModelInitialPlacement4x4(kelvo_model const *Model, kelvo_real32 Result[16]);

#endif
