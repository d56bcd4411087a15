// Local poses: weighted accumulation of bone transforms with its quaternion
// sign rules, the end of accumulation (fill from rest, LOD fade,
// normalization), modulation compositing, world matrices of single bones,
// local transforms recovered from world matrices, and sparse bone arrays.
// Skeletons from files have checked parents; indices taken from callers
// (pose positions, sparse arrays) are checked before they are used.
#include "anim/kelvo_pose.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_skeleton.h"
#include "kelvo2/kelvo2_track_mask.h"

#include <cfloat>
#include <cmath>
#include <stddef.h>
#include <string.h>

using namespace kelvo;

namespace {

constexpr kelvo_log_message_origin Origin = KelvoLocalPoseLogMessage;

// The expressions the argument checks name in their messages.
kelvo_int32 GetLocalPoseBoneCount(kelvo_local_pose const &Pose) {
    return Pose.BoneCount;
}
kelvo_int32 GetWorldPoseBoneCount(kelvo_world_pose const *Pose) {
    return Pose->BoneCount;
}

enum quaternion_mode {
    QuaternionModeDirect = 0,
    QuaternionModeInverted = 1,
    QuaternionModeRestNeighbourhood = 2,
    QuaternionModeAccumulatedNeighbourhood = 3,
};

// The pose record and its entries, one block.
void ReserveLocalPose(kelvo_int32 BoneCount, aggr_allocator &Allocator, kelvo_local_pose **Pose) {
    AggrInit(Allocator);
    kelvo_int64 PoseOffset = AggrAllocPtr(Allocator, Pose, sizeof(kelvo_local_pose));
    AggrAllocOffsetArraySizePtr(
        Allocator, PoseOffset, BoneCount, offsetof(kelvo_local_pose, BoneCount),
        offsetof(kelvo_local_pose, Transforms), sizeof(kelvo_local_pose_transform));
}

kelvo_int32 ResultingLocalPoseSize(kelvo_int32 BoneCount) {
    KELVO_CHECK(BoneCount >= 0, Origin, 0);
    aggr_allocator Allocator;
    kelvo_local_pose *Pose = nullptr;
    ReserveLocalPose(BoneCount, Allocator, &Pose);
    return ResultingSize(EndAggrSize(Allocator, KELVO_HERE), Origin);
}

void InitializeLocalPose(kelvo_local_pose *Pose, kelvo_int32 BoneCount) {
    memset(Pose->Transforms, 0, (size_t)BoneCount * sizeof(kelvo_local_pose_transform));
    Pose->FillThreshold = 0.2f;
    Pose->TraversalID = 0;
}

static_assert(offsetof(kelvo_transform, Orientation) == offsetof(kelvo_transform, Position) + 12 &&
                  offsetof(kelvo_transform, ScaleShear) == offsetof(kelvo_transform, Position) + 28,
              "a transform's reals after its flags are the 16 sums of a contribution");

// The 16 reals after a transform's flags: position, orientation, scale/shear.
kelvo_real32 *SumsOf(kelvo_transform &Transform) {
    return Transform.Position;
}

// The first-contribution and the adding step of accumulation; Sign is +1 or
// -1 by the quaternion mode. Sums (the contribution's position, orientation
// and scale/shear) may not be the entry's own (the restrict lets the sums
// vectorize).
void AddContribution(kelvo_local_pose_transform &Entry, kelvo_int32 TraversalID,
                     kelvo_real32 Weight, kelvo_real32 Sign, kelvo_uint32 Flags,
                     kelvo_real32 const *__restrict Sums) {
    kelvo_real32 const OrientationWeight = Sign * Weight;
    kelvo_real32 *__restrict Sum = SumsOf(Entry.Transform);
    if (Entry.TraversalID == TraversalID) {
        Entry.Transform.Flags |= Flags;
        for (int Index = 0; Index < 3; ++Index) {
            Sum[Index] += Weight * Sums[Index];
        }
        for (int Index = 3; Index < 7; ++Index) {
            Sum[Index] += OrientationWeight * Sums[Index];
        }
        for (int Index = 7; Index < 16; ++Index) {
            Sum[Index] += Weight * Sums[Index];
        }
        Entry.Weight += Weight;
        ++Entry.Count;
        return;
    }
    Entry.Transform.Flags = Flags;
    if (Weight == 1) {
        memcpy(Sum, Sums, 16 * sizeof(kelvo_real32));
    } else {
        for (int Index = 0; Index < 3; ++Index) {
            Sum[Index] = Weight * Sums[Index];
        }
        for (int Index = 7; Index < 16; ++Index) {
            Sum[Index] = Weight * Sums[Index];
        }
    }
    for (int Index = 3; Index < 7; ++Index) {
        Sum[Index] = OrientationWeight * Sums[Index];
    }
    Entry.Weight = Weight;
    Entry.Count = 1;
    Entry.TraversalID = TraversalID;
}

void AddContribution(kelvo_local_pose_transform &Entry, kelvo_int32 TraversalID,
                     kelvo_real32 Weight, kelvo_real32 Sign, kelvo_transform const &Transform) {
    AddContribution(Entry, TraversalID, Weight, Sign, Transform.Flags, Transform.Position);
}

// A NaN dot product counts as negative.
kelvo_real32 SignTowards(kelvo_real32 const *Reference, kelvo_real32 const *Orientation) {
    return Dot4(Reference, Orientation) >= 0 ? 1.0f : -1.0f;
}

void AccumulateRest(kelvo_local_pose_transform &Entry, kelvo_int32 TraversalID, kelvo_real32 Weight,
                    kelvo_transform const &Rest) {
    AddContribution(Entry, TraversalID, Weight, SignTowards(Rest.Orientation, Rest.Orientation),
                    Rest);
}

void SetToRest(kelvo_local_pose_transform &Entry, kelvo_int32 TraversalID,
               kelvo_transform const &Rest) {
    Entry.Transform = Rest;
    Entry.Weight = 1;
    Entry.Count = 1;
    Entry.TraversalID = TraversalID;
}

// Divides the sums by their weight and renormalizes the orientation.
void NormalizeEntry(kelvo_local_pose_transform &Entry, kelvo_transform const &Rest, bool SSE) {
    kelvo_transform &Sum = Entry.Transform;
    if (Entry.Weight == 0 || Dot4(Sum.Orientation, Sum.Orientation) == 0) {
        SetToRest(Entry, Entry.TraversalID, Rest);
        return;
    }
    if (Entry.Count != 1 || Entry.Weight != 1) {
        kelvo_real32 const Scale = 1 / Entry.Weight;
        for (int Index = 0; Index < 3; ++Index) {
            Sum.Position[Index] *= Scale;
        }
        for (int Index = 0; Index < 9; ++Index) {
            Sum.ScaleShear[Index] *= Scale;
        }
    }
    if (SSE) {
        RenormalizeQuaternionSSE(Sum.Orientation);
    } else {
        FastRenormalizeQuaternion(Sum.Orientation);
    }
}

// The skeleton bone of pose position Position, or -1 (reported) when a
// sparse array names none of the skeleton's bones.
kelvo_int32 SkeletonBoneAt(kelvo_skeleton const *Skeleton, kelvo_int32 const *SparseBoneArray,
                           kelvo_int32 Position) {
    kelvo_int32 Bone = SparseBoneArray ? SparseBoneArray[Position] : Position;
    if (Bone < 0 || Bone >= Skeleton->BoneCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): SparseBoneArray[%i] is out of range", KELVO_HERE,
            Position);
        return -1;
    }
    return Bone;
}

bool PoseRangeIsValid(kelvo_local_pose const *Pose, kelvo_int32 FirstBone, kelvo_int32 BoneCount) {
    KELVO_CHECK_INDEX(FirstBone, Pose->BoneCount, Origin, false);
    kelvo_int64 End = (kelvo_int64)FirstBone + BoneCount;
    if (End < 0 || End > Pose->BoneCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): FirstBone + BoneCount %d is out of range [%d, %d]", KELVO_HERE,
            (kelvo_int32)End, 0, Pose->BoneCount);
        return false;
    }
    return true;
}

// The fill from rest and the LOD fade of one entry; false when the entry is
// final already (rest), true when its sums still need NormalizeEntry.
bool PrepareEntry(kelvo_local_pose_transform &Entry, kelvo_int32 TraversalID,
                  kelvo_real32 FillThreshold, kelvo_real32 AllowedError, kelvo_real32 FadeScale,
                  kelvo_bone const &Bone) {
    kelvo_transform const &Rest = Bone.Transform;
    if (Entry.TraversalID != TraversalID) {
        SetToRest(Entry, TraversalID, Rest);
        return false;
    }
    if (Entry.Weight < FillThreshold) {
        AccumulateRest(Entry, TraversalID, FillThreshold - Entry.Weight, Rest);
    }
    if (FadeScale != 0) {
        kelvo_real32 const Fade = (AllowedError - Bone.LODError) * FadeScale;
        if (Fade >= 0.99f) {
            SetToRest(Entry, TraversalID, Rest);
            return false;
        }
        if (Fade > 0) {
            AccumulateRest(Entry, TraversalID, Fade * Entry.Weight / (1 - Fade), Rest);
        }
    }
    return true;
}

void EndAccumulation(kelvo_local_pose *Pose, kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                     kelvo_skeleton const *Skeleton, kelvo_real32 AllowedError,
                     kelvo_int32 const *SparseBoneArray) {
    KELVO_CHECK_NOT_NULL(Pose, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, KELVO_NOTHING);
    if (!PoseRangeIsValid(Pose, FirstBone, BoneCount)) {
        return;
    }
    kelvo_real32 FadeScale = 0;
    if (Skeleton->LODType != 0 && AllowedError > 0) {
        kelvo_real32 const FadeStart = AllowedError * KelvoGetGlobalLODFadingFactor();
        if (AllowedError - FadeStart > 0) {
            FadeScale = 1 / (AllowedError - FadeStart);
        }
    }
    // Locals, so that writes to the entries do not force these to be reread.
    kelvo_int32 const TraversalID = Pose->TraversalID;
    kelvo_real32 const FillThreshold = Pose->FillThreshold;
    kelvo_bone const *const Bones = Skeleton->Bones;
    kelvo_local_pose_transform *const Entries = Pose->Transforms;
    bool const SSE = SSEPosesEnabled();
    // Scalars held at extended precision round otherwise than SSE lanes.
    bool const Batch = SSE && FLT_EVAL_METHOD == 0;
    kelvo_int32 const End = FirstBone + BoneCount;
    // Four entries at a time, so that the SSE path can divide and
    // renormalize them together when all four need it.
    for (kelvo_int32 Group = FirstBone; Group < End; Group += 4) {
        kelvo_int32 const Size = End - Group < 4 ? End - Group : 4;
        kelvo_int32 GroupBones[4];
        unsigned Pending = 0;
        for (kelvo_int32 Index = 0; Index < Size; ++Index) {
            GroupBones[Index] = SkeletonBoneAt(Skeleton, SparseBoneArray, Group + Index);
            if (GroupBones[Index] >= 0 &&
                PrepareEntry(Entries[Group + Index], TraversalID, FillThreshold, AllowedError,
                             FadeScale, Bones[GroupBones[Index]])) {
                Pending |= 1u << Index;
            }
        }
        if (Pending == 15 && Batch && NormalizeEntriesSSE(Entries + Group)) {
            continue;
        }
        for (kelvo_int32 Index = 0; Index < Size; ++Index) {
            if (Pending & (1u << Index)) {
                NormalizeEntry(Entries[Group + Index], Bones[GroupBones[Index]].Transform, SSE);
            }
        }
    }
}

kelvo_real32 MaskWeight(kelvo_track_mask const *Mask, kelvo_int32 Bone) {
    return Bone >= 0 && Bone < Mask->BoneCount ? Mask->BoneWeights[Bone] : Mask->DefaultWeight;
}

void BlendEntry(kelvo_transform &Base, kelvo_transform const &Composite, kelvo_real32 Weight) {
    kelvo_real32 const Keep = 1 - Weight;
    Base.Flags |= Composite.Flags;
    if (Base.Flags & KelvoHasPosition) {
        for (int Index = 0; Index < 3; ++Index) {
            Base.Position[Index] = Weight * Composite.Position[Index] + Keep * Base.Position[Index];
        }
    }
    if (Base.Flags & KelvoHasOrientation) {
        kelvo_real32 const Signed = SignTowards(Base.Orientation, Composite.Orientation) * Weight;
        kelvo_real32 Length2 = 0;
        for (int Index = 0; Index < 4; ++Index) {
            Base.Orientation[Index] =
                Signed * Composite.Orientation[Index] + Keep * Base.Orientation[Index];
            Length2 += Base.Orientation[Index] * Base.Orientation[Index];
        }
        kelvo_real32 const Length = std::sqrt(Length2);
        kelvo_real32 const Scale = Length > 0.00001f ? 1 / Length : 0;
        for (int Index = 0; Index < 4; ++Index) {
            Base.Orientation[Index] *= Scale;
        }
    }
    if (Base.Flags & KelvoHasScaleShear) {
        for (int Index = 0; Index < 9; ++Index) {
            Base.ScaleShear[Index] =
                Keep * Base.ScaleShear[Index] + Weight * Composite.ScaleShear[Index];
        }
    }
}

// The local transform of a skeleton bone in the pose: through the reverse
// array when one is given (rest where it names no entry).
kelvo_transform const *PoseTransformOf(kelvo_skeleton const *Skeleton, kelvo_local_pose const *Pose,
                                       kelvo_int32 const *Reverse, kelvo_int32 Bone) {
    kelvo_int32 Entry = Reverse ? Reverse[Bone] : Bone;
    if (Reverse && Entry == -1) {
        return &Skeleton->Bones[Bone].Transform;
    }
    if (Entry < 0 || Entry >= Pose->BoneCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): SparseBoneArrayReverse[%i] is out of range",
            KELVO_HERE, Bone);
        return nullptr;
    }
    return &Pose->Transforms[Entry].Transform;
}

bool WorldMatrixOfBone(kelvo_skeleton const *Skeleton, kelvo_int32 BoneIndex,
                       kelvo_local_pose const *Pose, kelvo_real32 const *Offset4x4,
                       kelvo_real32 *Result, kelvo_int32 const *Reverse) {
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, false);
    KELVO_CHECK_NOT_NULL(Pose, Origin, false);
    KELVO_CHECK_NOT_NULL(Result, Origin, false);
    KELVO_CHECK_INDEX(BoneIndex, Skeleton->BoneCount, Origin, false);
    kelvo_real32 World[16];
    memcpy(World, IdentityMatrix4x4, sizeof(World));
    for (kelvo_int32 Bone = BoneIndex; Bone >= 0;) {
        kelvo_transform const *Local = PoseTransformOf(Skeleton, Pose, Reverse, Bone);
        if (!Local) {
            return false;
        }
        kelvo_real32 Matrix[16];
        KelvoBuildCompositeTransform4x4(Local, Matrix);
        KelvoColumnMatrixMultiply4x4(World, World, Matrix);
        Bone = ParentOf(Skeleton, Bone);
    }
    if (Offset4x4) {
        KelvoColumnMatrixMultiply4x4(World, World, Offset4x4);
    }
    memcpy(Result, World, sizeof(World));
    return true;
}

// The local transform of a matrix: position from the last row; rotation and
// stretch from the upper 3x3 (whose rows are the columns of R.S).
void TransformFromMatrix(kelvo_real32 const *M, bool WithScale, kelvo_transform *Result) {
    kelvo_real32 const L[9] = {M[0], M[4], M[8], M[1], M[5], M[9], M[2], M[6], M[10]};
    kelvo_real32 Rotation[9], Stretch[9];
    if (WithScale) {
        KelvoPolarDecompose(L, 0.0000001f, Rotation, Stretch);
    } else {
        memcpy(Rotation, L, sizeof(Rotation));
        memcpy(Stretch, IdentityMatrix3x3, sizeof(Stretch));
    }
    kelvo_real32 Orientation[4];
    KelvoQuaternionEqualsMatrix3x3(Orientation, Rotation);
    NormalizeQuaternion(Orientation);
    KelvoSetTransformWithIdentityCheck(Result, M + 12, Orientation, Stretch);
}

void LocalPoseFromWorldPose(kelvo_skeleton const *Skeleton, kelvo_local_pose *Result,
                            kelvo_world_pose const *WorldPose, kelvo_real32 const *Offset4x4,
                            kelvo_int32 FirstBone, kelvo_int32 BoneCount, bool WithScale) {
    KELVO_CHECK_NOT_NULL(Result, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(WorldPose, Origin, KELVO_NOTHING);
    KELVO_CHECK(FirstBone >= 0, Origin, KELVO_NOTHING);
    KELVO_CHECK(BoneCount >= 0, Origin, KELVO_NOTHING);
    KELVO_CHECK(Skeleton->BoneCount >= FirstBone + BoneCount, Origin, KELVO_NOTHING);
    KELVO_CHECK(GetLocalPoseBoneCount(*Result) >= FirstBone + BoneCount, Origin, KELVO_NOTHING);
    KELVO_CHECK(GetWorldPoseBoneCount(WorldPose) >= FirstBone + BoneCount, Origin, KELVO_NOTHING);
    kelvo_real32 const *Offset = Offset4x4 ? Offset4x4 : IdentityMatrix4x4;
    for (kelvo_int32 Bone = FirstBone + BoneCount - 1; Bone >= FirstBone; --Bone) {
        kelvo_int32 Parent = ParentOf(Skeleton, Bone);
        kelvo_real32 const *ParentWorld =
            Parent >= 0 ? WorldPose->WorldTransformBuffer + 16 * Parent : Offset;
        kelvo_real32 InverseParent[16], Local[16];
        if (!InvertAffine4x4(InverseParent, ParentWorld)) {
            memcpy(InverseParent, IdentityMatrix4x4, sizeof(InverseParent));
        }
        KelvoColumnMatrixMultiply4x4(Local, WorldPose->WorldTransformBuffer + 16 * Bone,
                                     InverseParent);
        TransformFromMatrix(Local, WithScale, &Result->Transforms[Bone].Transform);
    }
}

} // namespace

namespace kelvo {

void AccumulateContributions(kelvo_local_pose *Pose, kelvo_bone const *Bones, int Count,
                             pose_contribution const *Contributions) {
    kelvo_local_pose_transform *const Entries = Pose->Transforms;
    kelvo_int32 const TraversalID = Pose->TraversalID;
    if (FLT_EVAL_METHOD == 0 && SSEPosesEnabled()) {
        AccumulateContributionsSSE(Entries, TraversalID, Bones, Count, Contributions);
        return;
    }
    AddEachContribution(Entries, TraversalID, Bones, Count, Contributions,
                        [TraversalID](kelvo_local_pose_transform &Entry, kelvo_real32 Sign,
                                      pose_contribution const &Contribution) {
                            AddContribution(Entry, TraversalID, Contribution.Weight, Sign,
                                            Contribution.Flags, Contribution.Sums);
                        });
}

} // namespace kelvo

KELVO_API kelvo_local_pose *KelvoNewLocalPose(kelvo_int32 BoneCount) {
    kelvo_int32 Size = ResultingLocalPoseSize(BoneCount);
    if (!Size) {
        return nullptr;
    }
    aggr_allocator Allocator;
    kelvo_local_pose *Pose = nullptr;
    ReserveLocalPose(BoneCount, Allocator, &Pose);
    if (!EndAggrAlloc(Allocator, KELVO_HERE)) {
        return nullptr;
    }
    InitializeLocalPose(Pose, BoneCount);
    return Pose;
}

KELVO_API kelvo_int32 KelvoGetResultingLocalPoseSize(kelvo_int32 BoneCount) {
    return ResultingLocalPoseSize(BoneCount);
}

KELVO_API kelvo_local_pose *KelvoNewLocalPoseInPlace(kelvo_int32 BoneCount, void *Memory) {
    KELVO_CHECK_NOT_NULL(Memory, Origin, nullptr);
    if (!ResultingLocalPoseSize(BoneCount)) {
        return nullptr;
    }
    aggr_allocator Allocator;
    kelvo_local_pose *Pose = nullptr;
    ReserveLocalPose(BoneCount, Allocator, &Pose);
    if (!EndAggrPlacement(Allocator, KELVO_HERE, Memory)) {
        return nullptr;
    }
    InitializeLocalPose(Pose, BoneCount);
    return Pose;
}

KELVO_API void KelvoFreeLocalPose(kelvo_local_pose *LocalPose) {
    KELVO_DEALLOCATE(LocalPose);
}

KELVO_GETTER(kelvo_int32, KelvoGetLocalPoseBoneCount, kelvo_local_pose const, LocalPose, BoneCount,
             0)

KELVO_API kelvo_transform *KelvoGetLocalPoseTransform(kelvo_local_pose const *LocalPose,
                                                      kelvo_int32 BoneIndex) {
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, nullptr);
    KELVO_CHECK_INDEX(BoneIndex, LocalPose->BoneCount, Origin, nullptr);
    return &LocalPose->Transforms[BoneIndex].Transform;
}

KELVO_GETTER(kelvo_real32, KelvoGetLocalPoseFillThreshold, kelvo_local_pose const, LocalPose,
             FillThreshold, 0)

KELVO_API void KelvoSetLocalPoseFillThreshold(kelvo_local_pose *LocalPose,
                                              kelvo_real32 FillThreshold) {
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, KELVO_NOTHING);
    LocalPose->FillThreshold = FillThreshold;
}

KELVO_API void KelvoCopyLocalPose(kelvo_local_pose const *Source, kelvo_local_pose *Destination) {
    KELVO_CHECK_NOT_NULL(Source, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Destination, Origin, KELVO_NOTHING);
    KELVO_CHECK(GetLocalPoseBoneCount(*Destination) >= GetLocalPoseBoneCount(*Source), Origin,
                KELVO_NOTHING);
    memmove(Destination->Transforms, Source->Transforms,
            (size_t)Source->BoneCount * sizeof(kelvo_local_pose_transform));
}

KELVO_API void KelvoBeginLocalPoseAccumulation(kelvo_local_pose *LocalPose, kelvo_int32 FirstBone,
                                               kelvo_int32 BoneCount,
                                               kelvo_int32 const *SparseBoneArray) {
    (void)FirstBone;
    (void)BoneCount;
    (void)SparseBoneArray;
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, KELVO_NOTHING);
    ++LocalPose->TraversalID;
}

KELVO_API void KelvoAccumulateLocalTransform(kelvo_local_pose *LocalPose,
                                             kelvo_int32 LocalPoseBoneIndex,
                                             kelvo_int32 SkeletonBoneIndex, kelvo_real32 Weight,
                                             kelvo_skeleton const *ReferenceSkeleton,
                                             kelvo_int32 QuaternionMode,
                                             kelvo_transform const *Transform) {
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Transform, Origin, KELVO_NOTHING);
    KELVO_CHECK_INDEX(LocalPoseBoneIndex, LocalPose->BoneCount, Origin, KELVO_NOTHING);
    kelvo_local_pose_transform &Entry = LocalPose->Transforms[LocalPoseBoneIndex];
    kelvo_int32 const TraversalID = LocalPose->TraversalID;
    kelvo_real32 Sign = 1;
    // The blend of layers (an accumulated neighbourhood, written before)
    // is tested first: it is the most frequent call.
    if (QuaternionMode == QuaternionModeAccumulatedNeighbourhood &&
        Entry.TraversalID == TraversalID) {
        Sign = SignTowards(Entry.Transform.Orientation, Transform->Orientation);
    } else if (QuaternionMode == QuaternionModeRestNeighbourhood ||
               QuaternionMode == QuaternionModeAccumulatedNeighbourhood) {
        KELVO_CHECK_NOT_NULL(ReferenceSkeleton, Origin, KELVO_NOTHING);
        KELVO_CHECK_INDEX(SkeletonBoneIndex, ReferenceSkeleton->BoneCount, Origin, KELVO_NOTHING);
        kelvo_transform const &Rest = ReferenceSkeleton->Bones[SkeletonBoneIndex].Transform;
        Sign = SignTowards(Rest.Orientation, Transform->Orientation);
    } else if (QuaternionMode == QuaternionModeInverted) {
        Sign = -1;
    } else if (QuaternionMode != QuaternionModeDirect) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): QuaternionMode %d is out of range [%d, %d]",
            KELVO_HERE, QuaternionMode, 0, 3);
        return;
    }
    // A call to the SSE kernel per contribution costs more than the
    // compiler's own vectors inline (measured on the two-layer blend).
    AddContribution(Entry, TraversalID, Weight, Sign, *Transform);
}

KELVO_API void KelvoEndLocalPoseAccumulation(kelvo_local_pose *LocalPose, kelvo_int32 FirstBone,
                                             kelvo_int32 BoneCount,
                                             kelvo_skeleton const *ReferenceSkeleton,
                                             kelvo_int32 const *SparseBoneArray) {
    EndAccumulation(LocalPose, FirstBone, BoneCount, ReferenceSkeleton, 0, SparseBoneArray);
}

KELVO_API void KelvoEndLocalPoseAccumulationLOD(kelvo_local_pose *LocalPose, kelvo_int32 FirstBone,
                                                kelvo_int32 BoneCount,
                                                kelvo_skeleton const *ReferenceSkeleton,
                                                kelvo_real32 AllowedError,
                                                kelvo_int32 const *SparseBoneArray) {
    EndAccumulation(LocalPose, FirstBone, BoneCount, ReferenceSkeleton, AllowedError,
                    SparseBoneArray);
}

KELVO_API void KelvoModulationCompositeLocalPose(kelvo_local_pose *BasePose,
                                                 kelvo_real32 WeightWhereMaskIsZero,
                                                 kelvo_real32 WeightWhereMaskIsOne,
                                                 kelvo_track_mask const *Mask,
                                                 kelvo_local_pose const *CompositePose) {
    KelvoModulationCompositeLocalPoseSparse(BasePose, WeightWhereMaskIsZero, WeightWhereMaskIsOne,
                                            Mask, CompositePose, nullptr);
}

KELVO_API void KelvoModulationCompositeLocalPoseSparse(kelvo_local_pose *Base,
                                                       kelvo_real32 WeightWhereMaskIsZero,
                                                       kelvo_real32 WeightWhereMaskIsOne,
                                                       kelvo_track_mask const *Mask,
                                                       kelvo_local_pose const *Composite,
                                                       kelvo_int32 const *SparseBoneArray) {
    KELVO_CHECK_NOT_NULL(Base, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Composite, Origin, KELVO_NOTHING);
    if (Composite->BoneCount != Base->BoneCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): GetLocalPoseBoneCount(CompositePose) %d must be %d", KELVO_HERE,
            Composite->BoneCount, Base->BoneCount);
        return;
    }
    kelvo_real32 const Start = Mask ? WeightWhereMaskIsZero : WeightWhereMaskIsOne;
    kelvo_real32 const Range = WeightWhereMaskIsOne - Start;
    if (std::fabs(Range) < 0.001f) {
        if (Start < 0.001f) {
            return;
        }
        if (Start > 0.999f) {
            KelvoCopyLocalPose(Composite, Base);
            return;
        }
        Mask = nullptr;
    }
    for (kelvo_int32 Position = 0; Position < Base->BoneCount; ++Position) {
        kelvo_real32 Weight = Start;
        if (Mask) {
            kelvo_int32 Bone = SparseBoneArray ? SparseBoneArray[Position] : Position;
            Weight = Start + MaskWeight(Mask, Bone) * Range;
        }
        BlendEntry(Base->Transforms[Position].Transform, Composite->Transforms[Position].Transform,
                   Weight);
    }
}

KELVO_API void
KelvoGetWorldMatrixFromLocalPose(kelvo_skeleton const *Skeleton, kelvo_int32 BoneIndex,
                                 kelvo_local_pose const *LocalPose, kelvo_real32 const *Offset4x4,
                                 kelvo_real32 *Result4x4, kelvo_int32 const *SparseBoneArray,
                                 kelvo_int32 const *SparseBoneArrayReverse) {
    (void)SparseBoneArray;
    WorldMatrixOfBone(Skeleton, BoneIndex, LocalPose, Offset4x4, Result4x4, SparseBoneArrayReverse);
}

KELVO_API void KelvoGetAttachmentOffset(kelvo_skeleton const *Skeleton, kelvo_int32 BoneIndex,
                                        kelvo_local_pose const *LocalPose,
                                        kelvo_real32 const *Offset4x4, kelvo_real32 *Result4x4,
                                        kelvo_int32 const *SparseBoneArray,
                                        kelvo_int32 const *SparseBoneArrayReverse) {
    (void)SparseBoneArray;
    kelvo_real32 World[16];
    if (WorldMatrixOfBone(Skeleton, BoneIndex, LocalPose, Offset4x4, World,
                          SparseBoneArrayReverse) &&
        !InvertAffine4x4(Result4x4, World)) {
        memcpy(Result4x4, IdentityMatrix4x4, sizeof(World));
    }
}

KELVO_API void KelvoLocalPoseFromWorldPose(kelvo_skeleton const *Skeleton, kelvo_local_pose *Result,
                                           kelvo_world_pose const *WorldPose,
                                           kelvo_real32 const *Offset4x4, kelvo_int32 FirstBone,
                                           kelvo_int32 BoneCount) {
    KELVO_TIMED_BLOCK("LocalPoseFromWorldPose");
    LocalPoseFromWorldPose(Skeleton, Result, WorldPose, Offset4x4, FirstBone, BoneCount, true);
}

KELVO_API void KelvoLocalPoseFromWorldPoseNoScale(kelvo_skeleton const *Skeleton,
                                                  kelvo_local_pose *Result,
                                                  kelvo_world_pose const *WorldPose,
                                                  kelvo_real32 const *Offset4x4,
                                                  kelvo_int32 FirstBone, kelvo_int32 BoneCount) {
    KELVO_TIMED_BLOCK("LocalPoseFromWorldPoseNoScale");
    LocalPoseFromWorldPose(Skeleton, Result, WorldPose, Offset4x4, FirstBone, BoneCount, false);
}

// ---- sparse bone arrays ------------------------------------------------------------

namespace {

bool SkeletonBoneIsValid(kelvo_skeleton const *Skeleton, kelvo_int32 BoneIndex) {
    return kelvo::SkeletonBoneIsValid(Skeleton, BoneIndex, Origin);
}

// Every entry of From (Count of them; -1 allowed when Absent is) names an
// entry of To (ToCount of them) that names it back; the first fault is
// reported.
bool MappingIsInverse(kelvo_int32 Count, kelvo_int32 const *From, char const *FromName,
                      kelvo_int32 ToCount, kelvo_int32 const *To, char const *ToName, bool Absent) {
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        kelvo_int32 Target = From[Index];
        if (Absent && Target == -1) {
            continue;
        }
        if (Target < 0 || Target >= ToCount) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): %s[%i] is out of range", KELVO_HERE,
                FromName, Index);
            return false;
        }
        if (To[Target] != Index) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): %s[%i] should be %i", KELVO_HERE, ToName,
                Target, Index);
            return false;
        }
    }
    return true;
}

// Puts Bone at its sorted place among Count entries and renumbers the
// reverse entries of the bones it moves.
void InsertSorted(kelvo_int32 Bone, kelvo_int32 Count, kelvo_int32 *Sparse, kelvo_int32 *Reverse) {
    kelvo_int32 Position = Count;
    while (Position > 0 && Sparse[Position - 1] > Bone) {
        Sparse[Position] = Sparse[Position - 1];
        Reverse[Sparse[Position]] = Position;
        --Position;
    }
    Sparse[Position] = Bone;
    Reverse[Bone] = Position;
}

} // namespace

namespace kelvo {

bool SkeletonBoneIsValid(kelvo_skeleton const *Skeleton, kelvo_int32 BoneIndex,
                         kelvo_log_message_origin ReportAs) {
    KELVO_CHECK_NOT_NULL(Skeleton, ReportAs, false);
    KELVO_CHECK_INDEX(BoneIndex, Skeleton->BoneCount, ReportAs, false);
    return true;
}

} // namespace kelvo

KELVO_API kelvo_int32 KelvoSparseBoneArrayCreateSingleBone(kelvo_skeleton const *Skeleton,
                                                           kelvo_int32 BoneIndex,
                                                           kelvo_int32 *SparseBoneArray,
                                                           kelvo_int32 *SparseBoneArrayReverse) {
    KELVO_CHECK_NOT_NULL(SparseBoneArray, Origin, 0);
    KELVO_CHECK_NOT_NULL(SparseBoneArrayReverse, Origin, 0);
    if (!SkeletonBoneIsValid(Skeleton, BoneIndex)) {
        return 0;
    }
    for (kelvo_int32 Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
        SparseBoneArrayReverse[Bone] = -1;
    }
    return KelvoSparseBoneArrayAddBone(Skeleton, BoneIndex, 0, SparseBoneArray,
                                       SparseBoneArrayReverse);
}

KELVO_API kelvo_int32 KelvoSparseBoneArrayAddBone(kelvo_skeleton const *Skeleton,
                                                  kelvo_int32 BoneIndex,
                                                  kelvo_int32 InitialSparseBoneCount,
                                                  kelvo_int32 *SparseBoneArray,
                                                  kelvo_int32 *SparseBoneArrayReverse) {
    KELVO_CHECK_NOT_NULL(SparseBoneArray, Origin, InitialSparseBoneCount);
    KELVO_CHECK_NOT_NULL(SparseBoneArrayReverse, Origin, InitialSparseBoneCount);
    if (!SkeletonBoneIsValid(Skeleton, BoneIndex)) {
        return InitialSparseBoneCount;
    }
    if (InitialSparseBoneCount < 0 || InitialSparseBoneCount > Skeleton->BoneCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): InitialSparseBoneCount %d is out of range [%d, %d]", KELVO_HERE,
            InitialSparseBoneCount, 0, Skeleton->BoneCount);
        return InitialSparseBoneCount;
    }
    kelvo_int32 Count = InitialSparseBoneCount;
    for (kelvo_int32 Bone = BoneIndex; Bone >= 0 && SparseBoneArrayReverse[Bone] == -1;
         Bone = ParentOf(Skeleton, Bone)) {
        if (Count == Skeleton->BoneCount) {
            // Only a reverse array that disagrees with its sparse array gets here.
            Log(KelvoErrorLogMessage, Origin, "%s(%d): SparseBoneArrayReverse[%i] should be %i",
                KELVO_HERE, Bone, -1);
            break;
        }
        InsertSorted(Bone, Count++, SparseBoneArray, SparseBoneArrayReverse);
    }
    return Count;
}

KELVO_API void KelvoSparseBoneArrayExpand(kelvo_skeleton const *Skeleton,
                                          kelvo_local_pose const *SparsePose,
                                          kelvo_int32 SparseBoneCount,
                                          kelvo_int32 const *SparseBoneArray, kelvo_int32 BoneCount,
                                          kelvo_local_pose *FullPose) {
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(SparsePose, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(SparseBoneArray, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(FullPose, Origin, KELVO_NOTHING);
    kelvo_int32 const BoneLimit =
        Skeleton->BoneCount < FullPose->BoneCount ? Skeleton->BoneCount : FullPose->BoneCount;
    if (BoneCount < 0 || BoneCount > BoneLimit) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): BoneCount %d is out of range [%d, %d]",
            KELVO_HERE, BoneCount, 0, BoneLimit);
        return;
    }
    if (SparseBoneCount < 0 || SparseBoneCount > SparsePose->BoneCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): SparseBoneCount %d is out of range [%d, %d]",
            KELVO_HERE, SparseBoneCount, 0, SparsePose->BoneCount);
        return;
    }
    for (kelvo_int32 Bone = 0; Bone < BoneCount; ++Bone) {
        FullPose->Transforms[Bone].Transform = Skeleton->Bones[Bone].Transform;
    }
    // Sparse entries naming bones beyond BoneCount are not part of the expansion.
    for (kelvo_int32 Position = 0; Position < SparseBoneCount; ++Position) {
        kelvo_int32 Bone = SparseBoneArray[Position];
        if (Bone >= 0 && Bone < BoneCount) {
            FullPose->Transforms[Bone].Transform = SparsePose->Transforms[Position].Transform;
        }
    }
}

KELVO_API kelvo_bool32 KelvoSparseBoneArrayIsValid(kelvo_int32 SkeletonBoneCount,
                                                   kelvo_int32 SparseBoneCount,
                                                   kelvo_int32 const *SparseBoneArray,
                                                   kelvo_int32 const *SparseBoneArrayReverse) {
    KELVO_CHECK_NOT_NULL(SparseBoneArray, Origin, 0);
    KELVO_CHECK_NOT_NULL(SparseBoneArrayReverse, Origin, 0);
    KELVO_CHECK(SparseBoneCount >= 0 && SparseBoneCount <= SkeletonBoneCount, Origin, 0);
    return MappingIsInverse(SparseBoneCount, SparseBoneArray, "SparseBoneArray", SkeletonBoneCount,
                            SparseBoneArrayReverse, "SparseBoneArrayReverse", false) &&
           MappingIsInverse(SkeletonBoneCount, SparseBoneArrayReverse, "SparseBoneArrayReverse",
                            SparseBoneCount, SparseBoneArray, "SparseBoneArray", true);
}
