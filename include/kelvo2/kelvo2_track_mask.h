/* kelvo2: track masks, per-bone weights that restrict an animation to part of
   a skeleton or blend two poses bone by bone. A mask holds BoneCount weights
   and answers DefaultWeight for any index outside them. Messages are reported
   under origin TrackMask. */
#ifndef KELVO2_TRACK_MASK_H
#define KELVO2_TRACK_MASK_H

#include "kelvo2_file_info.h"
#include "kelvo2_types.h"

typedef struct kelvo_track_mask {
    kelvo_real32 DefaultWeight;
    kelvo_int32 BoneCount;
    kelvo_real32 *BoneWeights;
} kelvo_track_mask;

typedef enum kelvo_extract_track_mask_result {
    KelvoAllDataPresent = 0,
    KelvoPartialDataPresent = 1,
    KelvoNoDataPresent = 2,
    KelvoExtractTrackMaskResultForceInt = 0x7fffffff
} kelvo_extract_track_mask_result;

/* Masks without bones: every weight 1, and every weight 0. */
KELVO_API kelvo_track_mask const *const KelvoIdentityTrackMask;
KELVO_API kelvo_track_mask const *const KelvoNullTrackMask;

/* One block, every weight set to DefaultWeight; null for a negative count. */
KELVO_API kelvo_track_mask *KelvoNewTrackMask(kelvo_real32 DefaultWeight, kelvo_int32 BoneCount);
KELVO_API void KelvoFreeTrackMask(kelvo_track_mask *Mask);
KELVO_API kelvo_track_mask *KelvoCopyTrackMask(kelvo_track_mask const *Mask);

KELVO_API kelvo_real32 KelvoGetTrackMaskBoneWeight(kelvo_track_mask const *Mask,
                                                   kelvo_int32 BoneIndex);
KELVO_API void KelvoSetTrackMaskBoneWeight(kelvo_track_mask *Mask, kelvo_int32 BoneIndex,
                                           kelvo_real32 Weight);
/* Every bone weight w becomes 1 - w; DefaultWeight stays. */
KELVO_API void KelvoInvertTrackMask(kelvo_track_mask *Mask);

/* The bone and each ancestor (Upwards) or each descendant (Downwards) get
   Weight; bones beyond the mask's BoneCount are left out. */
KELVO_API void KelvoSetSkeletonTrackMaskChainUpwards(kelvo_track_mask *Mask,
                                                     kelvo_skeleton const *Skeleton,
                                                     kelvo_int32 BoneIndex, kelvo_real32 Weight);
KELVO_API void KelvoSetSkeletonTrackMaskChainDownwards(kelvo_track_mask *Mask,
                                                       kelvo_skeleton const *Skeleton,
                                                       kelvo_int32 BoneIndex, kelvo_real32 Weight);

/* For each transform track named like a bone of the skeleton: that bone gets
   AnimatedWeight when the track is animated, else IdentityWeight when it is
   the identity, else ConstantWeight. Bones without a track keep theirs. */
KELVO_API void KelvoSetSkeletonTrackMaskFromTrackGroup(
    kelvo_track_mask *Mask, kelvo_skeleton const *Skeleton, kelvo_track_group const *TrackGroup,
    kelvo_real32 IdentityWeight, kelvo_real32 ConstantWeight, kelvo_real32 AnimatedWeight);

/* Weights of the first BoneCount bones from the number member MemberName of
   each bone's ExtendedData (matched as conversion matches members). A bone
   without it takes its parent's weight when UseParentForDefault is set and it
   has a parent, else DefaultWeight, which also becomes the mask's default.
   Members that are not numbers count as absent. */
KELVO_API kelvo_extract_track_mask_result KelvoExtractTrackMask(
    kelvo_track_mask *Mask, kelvo_int32 BoneCount, kelvo_skeleton const *Skeleton,
    char const *MemberName, kelvo_real32 DefaultWeight, kelvo_bool32 UseParentForDefault);

#endif
