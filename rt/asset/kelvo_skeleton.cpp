// Skeletons and models: bone lookups by name, the bone count for a level of
// detail, transforms relative to the skeleton root, and a model's initial
// placement. Skeletons from files have had their parent order checked when
// their file info was taken (kelvo_asset_check); the strided transform
// operations take caller arrays as well, so a parent that does not precede
// its bone ends the chain there instead of being followed.
#include "kelvo2/kelvo2_skeleton.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_string.h"

namespace {

using kelvo::Log;

kelvo_real32 GlobalLODFadingFactor = 0.8f;

using name_test = bool (*)(char const *BoneName, char const *Name);

bool ExactNamesMatch(char const *BoneName, char const *Name) {
    return KelvoStringDifference(BoneName, Name) == 0;
}

// The installed comparison is never handed a null name.
bool MatchesWith(name_test Test, char const *BoneName, char const *Name) {
    if (!BoneName || !Name) {
        return BoneName == Name;
    }
    if (kelvo_string_comparison_callback *Callback = kelvo::GetStringComparisonCallback()) {
        return Callback(BoneName, Name) == 0;
    }
    return Test(BoneName, Name);
}

bool FindBone(kelvo_skeleton const *Skeleton, char const *Name, kelvo_int32 *BoneIndex,
              name_test Test) {
    if (!Skeleton) {
        return false;
    }
    kelvo_int32 Count = Skeleton->Bones ? Skeleton->BoneCount : 0;
    kelvo_int32 Index = 0;
    while (Index < Count && !MatchesWith(Test, Skeleton->Bones[Index].Name, Name)) {
        ++Index;
    }
    if (BoneIndex) {
        *BoneIndex = Index;
    }
    return Index < Count;
}

kelvo_transform const *TransformAt(kelvo_transform const *Transforms, kelvo_int32 Stride,
                                   kelvo_int32 Index) {
    return reinterpret_cast<kelvo_transform const *>(
        reinterpret_cast<kelvo_uint8 const *>(Transforms) + (kelvo_intaddrx)Index * Stride);
}

// The parent of a bone, or -1 for a root and for a parent that does not
// precede it (which would make the chain loop or read outside the arrays).
kelvo_int32 ParentOf(kelvo_int32 const *Parents, kelvo_int32 Stride, kelvo_int32 Index) {
    kelvo_int32 Parent = *reinterpret_cast<kelvo_int32 const *>(
        reinterpret_cast<kelvo_uint8 const *>(Parents) + (kelvo_intaddrx)Index * Stride);
    return Parent >= 0 && Parent < Index ? Parent : -1;
}

} // namespace

KELVO_API kelvo_bool32 KelvoFindBoneByName(kelvo_skeleton const *Skeleton, char const *Name,
                                           kelvo_int32 *BoneIndex) {
    KELVO_TIMED_BLOCK("FindBoneByName");
    return FindBone(Skeleton, Name, BoneIndex, ExactNamesMatch);
}

KELVO_API kelvo_bool32 KelvoFindBoneByNameLowercase(kelvo_skeleton const *Skeleton,
                                                    char const *Name, kelvo_int32 *BoneIndex) {
    KELVO_TIMED_BLOCK("FindBoneByNameLowercase");
    return FindBone(Skeleton, Name, BoneIndex, kelvo::StringsAreEqualLowercase);
}

KELVO_API kelvo_int32 KelvoGetBoneCountForLOD(kelvo_skeleton const *Skeleton,
                                              kelvo_real32 AllowedError) {
    KELVO_TIMED_BLOCK("GetBoneCountForLOD");
    if (!Skeleton) {
        Log(KelvoErrorLogMessage, KelvoSkeletonLogMessage,
            "%s(%d): Skeleton != NULL is not allowed to be 0", KELVO_HERE);
        return 0;
    }
    kelvo_int32 Count = Skeleton->Bones ? Skeleton->BoneCount : 0;
    if (AllowedError == 0.0f || Skeleton->LODType == 0) {
        return Count;
    }
    kelvo_real32 Threshold = AllowedError > 0.0f ? AllowedError * GlobalLODFadingFactor : 0.0f;
    kelvo_bone const *Bones = Skeleton->Bones;
    kelvo_int32 Index = 0;
    // Unrolled by four: the scan runs per model per frame.
    for (; Index + 4 <= Count; Index += 4) {
        if (Bones[Index].LODError < Threshold || Bones[Index + 1].LODError < Threshold ||
            Bones[Index + 2].LODError < Threshold || Bones[Index + 3].LODError < Threshold) {
            break;
        }
    }
    while (Index < Count && !(Bones[Index].LODError < Threshold)) {
        ++Index;
    }
    return Index;
}

KELVO_API kelvo_real32 KelvoGetGlobalLODFadingFactor(void) {
    return GlobalLODFadingFactor;
}

KELVO_API void KelvoSetGlobalLODFadingFactor(kelvo_real32 Factor) {
    GlobalLODFadingFactor = Factor;
}

KELVO_API void KelvoBuildSkeletonRelativeTransform(kelvo_int32 SourceTransformStride,
                                                   kelvo_transform const *SourceTransforms,
                                                   kelvo_int32 SourceParentStride,
                                                   kelvo_int32 const *SourceParentIndices,
                                                   kelvo_int32 BoneIndex, kelvo_transform *Result) {
    *Result = *TransformAt(SourceTransforms, SourceTransformStride, BoneIndex);
    for (kelvo_int32 Ancestor = ParentOf(SourceParentIndices, SourceParentStride, BoneIndex);
         Ancestor != -1; Ancestor = ParentOf(SourceParentIndices, SourceParentStride, Ancestor)) {
        KelvoMultiply(Result, TransformAt(SourceTransforms, SourceTransformStride, Ancestor),
                      Result);
    }
}

// In place and into separate arrays alike: a bone's source transform is read
// before its result is written, and its parent's result is already final.
KELVO_API void KelvoBuildSkeletonRelativeTransforms(kelvo_int32 SourceTransformStride,
                                                    kelvo_transform const *SourceTransforms,
                                                    kelvo_int32 SourceParentStride,
                                                    kelvo_int32 const *SourceParentIndices,
                                                    kelvo_int32 Count, kelvo_int32 ResultStride,
                                                    kelvo_transform *Results) {
    for (kelvo_int32 Bone = 0; Bone < Count; ++Bone) {
        kelvo_transform const *Source = TransformAt(SourceTransforms, SourceTransformStride, Bone);
        kelvo_transform *Result =
            const_cast<kelvo_transform *>(TransformAt(Results, ResultStride, Bone));
        kelvo_int32 Parent = ParentOf(SourceParentIndices, SourceParentStride, Bone);
        if (Parent == -1) {
            if (Result != Source) {
                *Result = *Source;
            }
        } else {
            KelvoMultiply(Result, TransformAt(Results, ResultStride, Parent), Source);
        }
    }
}

KELVO_API void KelvoGetModelInitialPlacement4x4(kelvo_model const *Model, kelvo_real32 Result[16]) {
    KELVO_CHECK_NOT_NULL(Model, KelvoModelLogMessage, KELVO_NOTHING);
    KelvoBuildCompositeTransform4x4(&Model->InitialPlacement, Result);
}
