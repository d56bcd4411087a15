// Track masks: per-bone weights with a default for every other index, built
// by hand, along a skeleton's bone chains, or from values the bones carry in
// their extended data. Skeletons from files have checked parents; a parent
// that does not precede its bone ends a chain here.
#include "kelvo2/kelvo2_track_mask.h"

#include "anim/kelvo_pose.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_data_type_conversion.h"
#include "kelvo2/kelvo2_skeleton.h"
#include "kelvo2/kelvo2_track_group.h"

#include <stddef.h>

using namespace kelvo;

namespace {

constexpr kelvo_log_message_origin Origin = KelvoTrackMaskLogMessage;

kelvo_track_mask const IdentityMask = {1.0f, 0, nullptr};
kelvo_track_mask const NullMask = {0.0f, 0, nullptr};

bool ChainArgumentsAreValid(kelvo_track_mask const *Mask, kelvo_skeleton const *Skeleton,
                            kelvo_int32 BoneIndex) {
    KELVO_CHECK_NOT_NULL(Mask, Origin, false);
    return SkeletonBoneIsValid(Skeleton, BoneIndex, Origin);
}

void SetIfInside(kelvo_track_mask *Mask, kelvo_int32 Bone, kelvo_real32 Weight) {
    if (Bone < Mask->BoneCount) {
        Mask->BoneWeights[Bone] = Weight;
    }
}

bool IsNumberMember(kelvo_member_type Type) {
    return Type >= KelvoReal32Member && Type <= KelvoUInt32Member;
}

// The value of the number member Name of a bone's extended data, converted
// as conversion converts it; false when the bone has no such member.
bool ExtendedValue(kelvo_bone const &Bone, char const *Name, kelvo_real32 *Value) {
    kelvo_variant const &Data = Bone.ExtendedData;
    kelvo_variant Found = {nullptr, nullptr};
    if (!Data.Type || !Data.Object ||
        !KelvoFindMatchingMember(Data.Type, Data.Object, Name, &Found) ||
        !IsNumberMember(Found.Type->Type)) {
        return false;
    }
    kelvo_data_type_definition Source[2] = {*Found.Type, {}};
    Source[0].ArrayWidth = 0;
    kelvo_data_type_definition const Destination[2] = {
        {KelvoReal32Member, Found.Type->Name, nullptr, 0, {0, 0, 0}, 0}, {}};
    return KelvoConvertSingleObject(Source, Found.Object, Destination, Value) != 0;
}

} // namespace

kelvo_track_mask const *const KelvoIdentityTrackMask = &IdentityMask;
kelvo_track_mask const *const KelvoNullTrackMask = &NullMask;

KELVO_API kelvo_track_mask *KelvoNewTrackMask(kelvo_real32 DefaultWeight, kelvo_int32 BoneCount) {
    KELVO_CHECK(BoneCount >= 0, Origin, nullptr);
    aggr_allocator Allocator;
    AggrInit(Allocator);
    kelvo_track_mask *Mask = nullptr;
    kelvo_int64 MaskOffset = AggrAllocPtr(Allocator, &Mask, sizeof(kelvo_track_mask));
    AggrAllocOffsetArraySizePtr(Allocator, MaskOffset, BoneCount,
                                offsetof(kelvo_track_mask, BoneCount),
                                offsetof(kelvo_track_mask, BoneWeights), sizeof(kelvo_real32));
    if (!EndAggrAlloc(Allocator, KELVO_HERE)) {
        return nullptr;
    }
    Mask->DefaultWeight = DefaultWeight;
    for (kelvo_int32 Bone = 0; Bone < BoneCount; ++Bone) {
        Mask->BoneWeights[Bone] = DefaultWeight;
    }
    return Mask;
}

KELVO_API void KelvoFreeTrackMask(kelvo_track_mask *Mask) {
    if (Mask) {
        KELVO_DEALLOCATE(Mask);
    }
}

KELVO_API kelvo_track_mask *KelvoCopyTrackMask(kelvo_track_mask const *Mask) {
    KELVO_CHECK_NOT_NULL(Mask, Origin, nullptr);
    kelvo_track_mask *Copy = KelvoNewTrackMask(Mask->DefaultWeight, Mask->BoneCount);
    if (!Copy) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to create new track mask for copying",
            KELVO_HERE);
        return nullptr;
    }
    for (kelvo_int32 Bone = 0; Bone < Mask->BoneCount; ++Bone) {
        Copy->BoneWeights[Bone] = Mask->BoneWeights[Bone];
    }
    return Copy;
}

KELVO_API kelvo_real32 KelvoGetTrackMaskBoneWeight(kelvo_track_mask const *Mask,
                                                   kelvo_int32 BoneIndex) {
    KELVO_CHECK_NOT_NULL(Mask, Origin, 0);
    if (BoneIndex < 0 || BoneIndex >= Mask->BoneCount) {
        return Mask->DefaultWeight;
    }
    return Mask->BoneWeights[BoneIndex];
}

KELVO_API void KelvoSetTrackMaskBoneWeight(kelvo_track_mask *Mask, kelvo_int32 BoneIndex,
                                           kelvo_real32 Weight) {
    KELVO_CHECK_NOT_NULL(Mask, Origin, KELVO_NOTHING);
    if (BoneIndex < 0 || BoneIndex >= Mask->BoneCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): BoneIndex %d is out-of-bounds (only %d bones in this track mask)", KELVO_HERE,
            BoneIndex, Mask->BoneCount);
        return;
    }
    Mask->BoneWeights[BoneIndex] = Weight;
}

KELVO_API void KelvoInvertTrackMask(kelvo_track_mask *Mask) {
    KELVO_CHECK_NOT_NULL(Mask, Origin, KELVO_NOTHING);
    for (kelvo_int32 Bone = 0; Bone < Mask->BoneCount; ++Bone) {
        Mask->BoneWeights[Bone] = 1 - Mask->BoneWeights[Bone];
    }
}

KELVO_API void KelvoSetSkeletonTrackMaskChainUpwards(kelvo_track_mask *Mask,
                                                     kelvo_skeleton const *Skeleton,
                                                     kelvo_int32 BoneIndex, kelvo_real32 Weight) {
    if (!ChainArgumentsAreValid(Mask, Skeleton, BoneIndex)) {
        return;
    }
    for (kelvo_int32 Bone = BoneIndex; Bone >= 0; Bone = ParentOf(Skeleton, Bone)) {
        SetIfInside(Mask, Bone, Weight);
    }
}

KELVO_API void KelvoSetSkeletonTrackMaskChainDownwards(kelvo_track_mask *Mask,
                                                       kelvo_skeleton const *Skeleton,
                                                       kelvo_int32 BoneIndex, kelvo_real32 Weight) {
    if (!ChainArgumentsAreValid(Mask, Skeleton, BoneIndex)) {
        return;
    }
    // Descendants are found by walking each later bone's chain up to the
    // start bone rather than by marking weights, so no weight the mask held
    // can pass for a mark.
    for (kelvo_int32 Bone = BoneIndex; Bone < Skeleton->BoneCount; ++Bone) {
        if (BoneIsBelow(Skeleton, Bone, BoneIndex)) {
            SetIfInside(Mask, Bone, Weight);
        }
    }
}

KELVO_API void KelvoSetSkeletonTrackMaskFromTrackGroup(
    kelvo_track_mask *Mask, kelvo_skeleton const *Skeleton, kelvo_track_group const *TrackGroup,
    kelvo_real32 IdentityWeight, kelvo_real32 ConstantWeight, kelvo_real32 AnimatedWeight) {
    KELVO_CHECK_NOT_NULL(Mask, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    for (kelvo_int32 Index = 0; Index < TrackGroup->TransformTrackCount; ++Index) {
        kelvo_transform_track const &Track = TrackGroup->TransformTracks[Index];
        kelvo_int32 Bone = -1;
        if (!Track.Name || !KelvoFindBoneByName(Skeleton, Track.Name, &Bone)) {
            continue;
        }
        SetIfInside(Mask, Bone,
                    KelvoTransformTrackIsAnimated(&Track)   ? AnimatedWeight
                    : KelvoTransformTrackIsIdentity(&Track) ? IdentityWeight
                                                            : ConstantWeight);
    }
}

KELVO_API kelvo_extract_track_mask_result KelvoExtractTrackMask(
    kelvo_track_mask *Mask, kelvo_int32 BoneCount, kelvo_skeleton const *Skeleton,
    char const *MemberName, kelvo_real32 DefaultWeight, kelvo_bool32 UseParentForDefault) {
    KELVO_TIMED_BLOCK("ExtractTrackMask");
    KELVO_CHECK_NOT_NULL(Mask, Origin, KelvoNoDataPresent);
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, KelvoNoDataPresent);
    KELVO_CHECK_NOT_NULL(MemberName, Origin, KelvoNoDataPresent);
    kelvo_int32 Limit =
        Skeleton->BoneCount < Mask->BoneCount ? Skeleton->BoneCount : Mask->BoneCount;
    if (BoneCount < 0 || BoneCount > Limit) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): BoneCount %d is out of range [%d, %d]",
            KELVO_HERE, BoneCount, 0, Limit);
        return KelvoNoDataPresent;
    }
    Mask->DefaultWeight = DefaultWeight;
    kelvo_int32 Found = 0;
    for (kelvo_int32 Bone = 0; Bone < BoneCount; ++Bone) {
        kelvo_real32 Value = 0;
        if (ExtendedValue(Skeleton->Bones[Bone], MemberName, &Value)) {
            Mask->BoneWeights[Bone] = Value;
            ++Found;
            continue;
        }
        kelvo_int32 Parent = ParentOf(Skeleton, Bone);
        Mask->BoneWeights[Bone] =
            UseParentForDefault && Parent >= 0 ? Mask->BoneWeights[Parent] : DefaultWeight;
    }
    if (Found == BoneCount && BoneCount > 0) {
        return KelvoAllDataPresent;
    }
    return Found == 0 ? KelvoNoDataPresent : KelvoPartialDataPresent;
}
