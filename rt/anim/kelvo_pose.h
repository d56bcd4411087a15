// The internal side of local and world poses: the bone composition both the
// portable build loop and the SSE one (rt/x86/) run, the job they share, and
// the helpers the pose modules have in common.
#ifndef KELVO_POSE_INTERNAL_H
#define KELVO_POSE_INTERNAL_H

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "kelvo2/kelvo2_local_pose.h"
#include "kelvo2/kelvo2_world_pose.h"

namespace kelvo {

// Where the build loop takes each bone's local transform: bone i reads entry
// Reverse[i] (rest for -1) when Reverse is given, else entry i inside
// [FirstValid, EndValid) and rest outside. Entries null means all rest.
struct world_build_job {
    kelvo_bone const *Bones;
    kelvo_int32 FirstBone;
    kelvo_int32 EndBone;
    kelvo_local_pose_transform const *Entries;
    kelvo_int32 FirstValid;
    kelvo_int32 EndValid;
    kelvo_int32 const *Reverse;
    kelvo_real32 const *Offset; // 16-byte aligned
    kelvo_real32 *World;
    kelvo_real32 *Composite; // null: no composites
};

inline kelvo_transform const &LocalTransformFor(world_build_job const &Job, kelvo_int32 Bone) {
    if (Job.Reverse) {
        kelvo_int32 Entry = Job.Reverse[Bone];
        return Entry >= 0 ? Job.Entries[Entry].Transform : Job.Bones[Bone].Transform;
    }
    bool Valid = Job.Entries && Bone >= Job.FirstValid && Bone < Job.EndValid;
    return Valid ? Job.Entries[Bone].Transform : Job.Bones[Bone].Transform;
}

// The first three rows of a transform's row-vector composite: the columns of
// R (or R.S with scale/shear).
inline void LinearRows(kelvo_transform const &Transform, kelvo_real32 *Rows) {
    kelvo_real32 L[9];
    MatrixFromQuaternion(L, Transform.Orientation);
    if (Transform.Flags & KelvoHasScaleShear) {
        MatrixMultiply3x3(L, L, Transform.ScaleShear);
    }
    for (int Row = 0; Row < 3; ++Row) {
        Rows[3 * Row + 0] = L[0 + Row];
        Rows[3 * Row + 1] = L[3 + Row];
        Rows[3 * Row + 2] = L[6 + Row];
    }
}

// The bone loop both paths instantiate with their kernels: Copy(source,
// result), Translate(local, parent, world), Compose(local, parent, world)
// and Multiply(a, b, result) on row-vector 4x4 matrices. The flags pick
// the cheapest composition that gives the full product's result.
// Count products A x B, each operand and result Stride reals from the last.
template <typename Kernels>
void MultiplyEach(kelvo_int32 Count, kelvo_real32 const *A, kelvo_int32 AStride,
                  kelvo_real32 const *B, kelvo_int32 BStride, kelvo_real32 *Result,
                  kelvo_int32 ResultStride) {
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Kernels::Multiply(A + (kelvo_intaddrx)Index * AStride, B + (kelvo_intaddrx)Index * BStride,
                          Result + (kelvo_intaddrx)Index * ResultStride);
    }
}

// LocalOf(bone) gives the bone's local transform. The job's fields are
// copied first: stores to the matrices could alias them.
template <typename Kernels, typename Source>
void BuildWorldBonesFrom(world_build_job const &Job, Source LocalOf) {
    kelvo_bone const *const Bones = Job.Bones;
    kelvo_real32 const *const Offset = Job.Offset;
    kelvo_real32 *const WorldBuffer = Job.World;
    kelvo_real32 *const Composite = Job.Composite;
    kelvo_int32 const EndBone = Job.EndBone;
    for (kelvo_int32 Bone = Job.FirstBone; Bone < EndBone; ++Bone) {
        kelvo_transform const &Local = LocalOf(Bone);
        // A parent that does not precede its bone (only caller-built
        // skeletons can have one) counts as a root: the offset.
        kelvo_int32 const ParentIndex = Bones[Bone].ParentIndex;
        kelvo_real32 const *Parent = (kelvo_uint32)ParentIndex < (kelvo_uint32)Bone
                                         ? WorldBuffer + 16 * ParentIndex
                                         : Offset;
        kelvo_real32 *World = WorldBuffer + 16 * Bone;
        if (Local.Flags == 0) {
            Kernels::Copy(Parent, World);
        } else if (Local.Flags == KelvoHasPosition) {
            Kernels::Translate(Local, Parent, World);
        } else {
            Kernels::Compose(Local, Parent, World);
        }
        if (Composite) {
            Kernels::Multiply(Bones[Bone].InverseWorldTransform, World, Composite + 16 * Bone);
        }
    }
}

template <typename Kernels> void BuildWorldBones(world_build_job const &Job) {
    kelvo_local_pose_transform const *const Entries = Job.Entries;
    if (Entries && !Job.Reverse && Job.FirstValid <= Job.FirstBone && Job.EndBone <= Job.EndValid) {
        BuildWorldBonesFrom<Kernels>(Job, [Entries](kelvo_int32 Bone) -> kelvo_transform const & {
            return Entries[Bone].Transform;
        });
    } else {
        BuildWorldBonesFrom<Kernels>(Job, [&Job](kelvo_int32 Bone) -> kelvo_transform const & {
            return LocalTransformFor(Job, Bone);
        });
    }
}

// The world-build loop and the matrix products (Result = A x B for Count
// row-vector 4x4 pairs) of one instruction set.
struct pose_routines {
    void (*BuildWorldBones)(world_build_job const &Job);
    void (*MultiplyMatrices)(kelvo_int32 Count, kelvo_real32 const *A, kelvo_int32 AStride,
                             kelvo_real32 const *B, kelvo_int32 BStride, kelvo_real32 *Result,
                             kelvo_int32 ResultStride);
};
extern pose_routines const PortablePoseRoutines;
extern pose_routines const SSEPoseRoutines; // empty off x86
extern pose_routines const AVXPoseRoutines; // the SSE ones built for AVX
// The AVX routines when AVXPosesEnabled(), else the SSE routines when
// SSEPosesEnabled(), else the portable ones.
pose_routines const &PoseRoutines();

// The end-of-accumulation renormalization (FastRenormalizeQuaternion) in SSE.
void RenormalizeQuaternionSSE(kelvo_real32 *Quaternion);
// The end of accumulation of four consecutive entries on the SSE path: the
// sums divided by the weight (unless one contribution of weight 1 made
// them) and the orientation renormalized as RenormalizeQuaternionSSE does,
// with the same bits. False, with nothing written, when an entry has a zero
// weight or orientation (those become rest).
bool NormalizeEntriesSSE(kelvo_local_pose_transform *Entries);

// One weighted contribution to pose entry Entry: Flags and the 16 reals
// that follow a transform's flags (position, orientation, scale/shear) at
// Sums. Bone is the skeleton bone whose rest orientation the neighbourhood
// modes compare with; QuaternionMode lies in [0, 3].
struct pose_contribution {
    kelvo_int32 Entry;
    kelvo_int32 Bone;
    kelvo_real32 Weight;
    kelvo_int32 QuaternionMode;
    kelvo_uint32 Flags;
    kelvo_real32 const *Sums;
};

// The orientation's sign by the quaternion mode. The dot products keep the
// scalar order (another order can flip the sign near 0); a NaN counts as
// negative.
inline kelvo_real32 ContributionSign(kelvo_local_pose_transform const &Entry,
                                     kelvo_int32 TraversalID, kelvo_int32 QuaternionMode,
                                     kelvo_real32 const *Rest, kelvo_real32 const *Orientation) {
    if (QuaternionMode == 3 && Entry.TraversalID == TraversalID) {
        return Dot4(Entry.Transform.Orientation, Orientation) >= 0 ? 1.0f : -1.0f;
    }
    if (QuaternionMode >= 2) {
        return Dot4(Rest, Orientation) >= 0 ? 1.0f : -1.0f;
    }
    return QuaternionMode == 1 ? -1.0f : 1.0f;
}

// Count contributions, each added to its entry in order by Add(Entry,
// Sign, Contribution).
template <typename add>
inline void AddEachContribution(kelvo_local_pose_transform *Entries, kelvo_int32 TraversalID,
                                kelvo_bone const *Bones, int Count,
                                pose_contribution const *Contributions, add Add) {
    for (int Index = 0; Index < Count; ++Index) {
        pose_contribution const &Contribution = Contributions[Index];
        kelvo_local_pose_transform &Entry = Entries[Contribution.Entry];
        Add(Entry,
            ContributionSign(Entry, TraversalID, Contribution.QuaternionMode,
                             Bones[Contribution.Bone].Transform.Orientation, Contribution.Sums + 3),
            Contribution);
    }
}

// Count contributions added in order, each as KelvoAccumulateLocalTransform
// adds it, bit for bit. Entries and bones are trusted: the caller checked
// its range once.
void AccumulateContributions(kelvo_local_pose *Pose, kelvo_bone const *Bones, int Count,
                             pose_contribution const *Contributions);
// The same in SSE, the same operations per real as the portable code; for
// builds without extended precision.
void AccumulateContributionsSSE(kelvo_local_pose_transform *Entries, kelvo_int32 TraversalID,
                                kelvo_bone const *Bones, int Count,
                                pose_contribution const *Contributions);

struct cubic_pair_window;

// A steady track's contribution (a cubic position and orientation pair of
// identity scale/shear) to pose entry Entry.
struct steady_contribution {
    kelvo_int32 Entry;
    kelvo_int32 Bone;
    kelvo_real32 Weight;
    kelvo_int32 QuaternionMode;
};

// Count pairs evaluated at T (as EvaluateCubicPairs) and each added to its
// entry as KelvoAccumulateLocalTransform adds the transform they make, bit
// for bit, straight from registers: SSE only, for builds without extended
// precision. Entries must differ.
void AccumulateCubicPairsSSE(kelvo_local_pose_transform *Entries, kelvo_int32 TraversalID,
                             kelvo_bone const *Bones, int Count, cubic_pair_window const *Windows,
                             steady_contribution const *Contributions, kelvo_real32 T);

// EvaluateCubicPairsSSE and AccumulateCubicPairsSSE built for AVX, eight
// windows at a time, with the same bits; empty where AVXPosesEnabled() is
// never true.
struct cubic_pair_routines {
    void (*Evaluate)(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                     kelvo_real32 *const *Positions, kelvo_real32 *const *Orientations);
    void (*Accumulate)(kelvo_local_pose_transform *Entries, kelvo_int32 TraversalID,
                       kelvo_bone const *Bones, int Count, cubic_pair_window const *Windows,
                       steady_contribution const *Contributions, kelvo_real32 T);
};
extern cubic_pair_routines const AVXCubicPairRoutines;

// True when the processor has SSE2 and tests have not switched the SSE path
// off; the switch lets them compare both paths on one machine.
bool SSEPosesEnabled();
void SetSSEPosesAllowed(bool Allowed);
// True when SSE poses are enabled, the processor and the system have AVX,
// and tests have not switched AVX off (to run the SSE2 build on it).
bool AVXPosesEnabled();
void SetAVXPosesAllowed(bool Allowed);

// Inverse of an affine row-vector matrix (fourth column 0, 0, 0, 1); false
// and Result untouched when its 3x3 part is singular.
bool InvertAffine4x4(kelvo_real32 *Result, kelvo_real32 const *M);

// A bone's parent, or -1 for a root and for a parent that does not precede
// it (only caller-built skeletons can have one; the chain ends there).
inline kelvo_int32 ParentOf(kelvo_skeleton const *Skeleton, kelvo_int32 Bone) {
    kelvo_int32 Parent = Skeleton->Bones[Bone].ParentIndex;
    return Parent < Bone ? Parent : -1;
}

// Whether Bone is Root or lies below it: its chain reaches Root before it
// drops under it (parents precede their children).
inline bool BoneIsBelow(kelvo_skeleton const *Skeleton, kelvo_int32 Bone, kelvo_int32 Root) {
    while (Bone > Root) {
        Bone = ParentOf(Skeleton, Bone);
    }
    return Bone == Root;
}

// A skeleton and an index inside it; reports "BoneIndex %d is out of range".
bool SkeletonBoneIsValid(kelvo_skeleton const *Skeleton, kelvo_int32 BoneIndex,
                         kelvo_log_message_origin ReportAs);

constexpr kelvo_real32 IdentityMatrix4x4[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

} // namespace kelvo

#endif
