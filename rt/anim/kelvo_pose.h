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

// The parent's world matrix, the offset for a root. A parent that does not
// precede its bone (only caller-built skeletons can have one) counts as a root.
inline kelvo_real32 const *ParentWorldFor(world_build_job const &Job, kelvo_int32 Bone) {
    kelvo_int32 Parent = Job.Bones[Bone].ParentIndex;
    return (kelvo_uint32)Parent < (kelvo_uint32)Bone ? Job.World + 16 * Parent : Job.Offset;
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
// result), Translate(position, parent, world), Compose(rows, position, parent,
// world) and Multiply(a, b, result) on row-vector 4x4 matrices. The flags pick
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

template <typename Kernels> void BuildWorldBones(world_build_job const &Job) {
    for (kelvo_int32 Bone = Job.FirstBone; Bone < Job.EndBone; ++Bone) {
        kelvo_transform const &Local = LocalTransformFor(Job, Bone);
        kelvo_real32 const *Parent = ParentWorldFor(Job, Bone);
        kelvo_real32 *World = Job.World + 16 * Bone;
        if (Local.Flags == 0) {
            Kernels::Copy(Parent, World);
        } else if (Local.Flags == KelvoHasPosition) {
            Kernels::Translate(Local.Position, Parent, World);
        } else {
            kelvo_real32 Rows[9];
            LinearRows(Local, Rows);
            Kernels::Compose(Rows, Local.Position, Parent, World);
        }
        if (Job.Composite) {
            Kernels::Multiply(Job.Bones[Bone].InverseWorldTransform, World,
                              Job.Composite + 16 * Bone);
        }
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
// The SSE routines when SSEPosesEnabled(), else the portable ones.
pose_routines const &PoseRoutines();

// The end-of-accumulation renormalization (FastRenormalizeQuaternion) in SSE.
void RenormalizeQuaternionSSE(kelvo_real32 *Quaternion);

// True when the processor has SSE2 and tests have not switched the SSE path
// off; the switch lets them compare both paths on one machine.
bool SSEPosesEnabled();
void SetSSEPosesAllowed(bool Allowed);

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
