// World poses: one block holding the world matrices and composites of every
// bone, and the builds that fill them from local poses or the rest pose. The
// skeleton's parent order has been checked when its file info was taken;
// every index read from a caller array (sparse reverse arrays, composite
// indices) is checked here before the loop runs.
#include "anim/kelvo_pose.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_memory.h"

#include <stddef.h>
#include <string.h>

namespace kelvo {

namespace {

struct portable_kernels {
    static void Copy(kelvo_real32 const *Source, kelvo_real32 *Result) {
        memcpy(Result, Source, 16 * sizeof(kelvo_real32));
    }
    static void TranslationRow(kelvo_real32 const *Position, kelvo_real32 const *Parent,
                               kelvo_real32 *World) {
        for (int Column = 0; Column < 4; ++Column) {
            World[12 + Column] = Position[0] * Parent[Column] + Position[1] * Parent[4 + Column] +
                                 Position[2] * Parent[8 + Column] + Parent[12 + Column];
        }
    }
    static void Translate(kelvo_transform const &Local, kelvo_real32 const *Parent,
                          kelvo_real32 *World) {
        memcpy(World, Parent, 12 * sizeof(kelvo_real32));
        TranslationRow(Local.Position, Parent, World);
    }
    static void Compose(kelvo_transform const &Local, kelvo_real32 const *Parent,
                        kelvo_real32 *World) {
        kelvo_real32 Rows[9];
        LinearRows(Local, Rows);
        for (int Row = 0; Row < 3; ++Row) {
            kelvo_real32 const *L = Rows + 3 * Row;
            for (int Column = 0; Column < 4; ++Column) {
                World[4 * Row + Column] =
                    L[0] * Parent[Column] + L[1] * Parent[4 + Column] + L[2] * Parent[8 + Column];
            }
        }
        TranslationRow(Local.Position, Parent, World);
    }
    static void Multiply(kelvo_real32 const *A, kelvo_real32 const *B, kelvo_real32 *Result) {
        for (int Row = 0; Row < 4; ++Row) {
            kelvo_real32 const *L = A + 4 * Row;
            for (int Column = 0; Column < 4; ++Column) {
                Result[4 * Row + Column] = L[0] * B[Column] + L[1] * B[4 + Column] +
                                           L[2] * B[8 + Column] + L[3] * B[12 + Column];
            }
        }
    }
};

bool SSEAllowed = true;
bool AVXAllowed = true;

} // namespace

pose_routines const PortablePoseRoutines = {&BuildWorldBones<portable_kernels>,
                                            &MultiplyEach<portable_kernels>};

pose_routines const &PoseRoutines() {
    if (!SSEPosesEnabled()) {
        return PortablePoseRoutines;
    }
    return AVXPosesEnabled() ? AVXPoseRoutines : SSEPoseRoutines;
}

bool SSEPosesEnabled() {
#if defined(__x86_64__) || defined(__i386__)
    static bool const Supported = __builtin_cpu_supports("sse2");
    return Supported && SSEAllowed;
#else
    return false;
#endif
}

void SetSSEPosesAllowed(bool Allowed) {
    SSEAllowed = Allowed;
}

bool AVXPosesEnabled() {
#if defined(__x86_64__) || defined(__i386__)
    // The run-time library's check covers the system saving AVX state too.
    static bool const Supported =
        __builtin_cpu_supports("avx") && AVXPoseRoutines.BuildWorldBones != nullptr;
    return Supported && AVXAllowed && SSEPosesEnabled();
#else
    return false;
#endif
}

void SetAVXPosesAllowed(bool Allowed) {
    AVXAllowed = Allowed;
}

bool InvertAffine4x4(kelvo_real32 *Result, kelvo_real32 const *M) {
    // Rows of the upper 3x3 are the columns of L, so invert it as it stands
    // and carry the position through the inverse.
    kelvo_real32 const Upper[9] = {M[0], M[1], M[2], M[4], M[5], M[6], M[8], M[9], M[10]};
    kelvo_real32 Inverse[9];
    if (!MatrixInvert3x3(Inverse, Upper)) {
        return false;
    }
    kelvo_real32 Position[3];
    for (int Column = 0; Column < 3; ++Column) {
        Position[Column] =
            -(M[12] * Inverse[Column] + M[13] * Inverse[3 + Column] + M[14] * Inverse[6 + Column]);
    }
    for (int Row = 0; Row < 3; ++Row) {
        Result[4 * Row + 0] = Inverse[3 * Row + 0];
        Result[4 * Row + 1] = Inverse[3 * Row + 1];
        Result[4 * Row + 2] = Inverse[3 * Row + 2];
        Result[4 * Row + 3] = 0;
    }
    Result[12] = Position[0];
    Result[13] = Position[1];
    Result[14] = Position[2];
    Result[15] = 1;
    return true;
}

} // namespace kelvo

using namespace kelvo;

namespace {

constexpr kelvo_log_message_origin Origin = KelvoWorldPoseLogMessage;

// Pose record, then the buffers, each 16-byte aligned.
kelvo_int64 WorldPoseLayout(kelvo_int32 BoneCount, bool NoComposite, kelvo_int64 *WorldOffset,
                            kelvo_int64 *CompositeOffset) {
    if (BoneCount < 0) {
        return -1;
    }
    auto Align = [](kelvo_int64 Size) { return (Size + 15) / 16 * 16; };
    kelvo_int64 const Matrices = (kelvo_int64)BoneCount * 16 * (kelvo_int64)sizeof(kelvo_real32);
    *WorldOffset = Align((kelvo_int64)sizeof(kelvo_world_pose));
    *CompositeOffset = *WorldOffset + Matrices;
    return *CompositeOffset + (NoComposite ? 0 : Matrices);
}

kelvo_world_pose *LayOutWorldPose(kelvo_int32 BoneCount, bool NoComposite, void *Memory) {
    kelvo_int64 WorldOffset = 0, CompositeOffset = 0;
    kelvo_int64 Size = WorldPoseLayout(BoneCount, NoComposite, &WorldOffset, &CompositeOffset);
    kelvo_uint8 *Block = static_cast<kelvo_uint8 *>(Memory);
    memset(Block, 0, (size_t)Size);
    kelvo_world_pose *Pose = reinterpret_cast<kelvo_world_pose *>(Block);
    Pose->BoneCount = BoneCount;
    Pose->WorldTransformBuffer = reinterpret_cast<kelvo_real32 *>(Block + WorldOffset);
    Pose->CompositeTransformBuffer =
        NoComposite ? nullptr : reinterpret_cast<kelvo_real32 *>(Block + CompositeOffset);
    if ((kelvo_uintaddrx)Pose->WorldTransformBuffer % 16) {
        Log(KelvoWarningLogMessage, Origin, "%s(%d): world_pose WorldTransformBuffer is unaligned",
            KELVO_HERE);
    }
    if ((kelvo_uintaddrx)Pose->CompositeTransformBuffer % 16) {
        Log(KelvoWarningLogMessage, Origin,
            "%s(%d): world_pose CompositeTransformBuffer is unaligned", KELVO_HERE);
    }
    return Pose;
}

kelvo_int32 ResultingWorldPoseSize(kelvo_int32 BoneCount, bool NoComposite) {
    KELVO_CHECK(BoneCount >= 0, Origin, 0);
    kelvo_int64 WorldOffset = 0, CompositeOffset = 0;
    return kelvo::ResultingSize(
        WorldPoseLayout(BoneCount, NoComposite, &WorldOffset, &CompositeOffset), Origin);
}

kelvo_world_pose *NewWorldPose(kelvo_int32 BoneCount, bool NoComposite) {
    kelvo_int32 Size = ResultingWorldPoseSize(BoneCount, NoComposite);
    if (!Size) {
        return nullptr;
    }
    void *Memory = KELVO_ALLOCATE_ALIGNED(16, Size);
    return Memory ? LayOutWorldPose(BoneCount, NoComposite, Memory) : nullptr;
}

kelvo_int32 Smallest(kelvo_int32 A, kelvo_int32 B) {
    return A < B ? A : B;
}

// [FirstBone, FirstBone + BoneCount) inside [0, Limit]; a refused end is
// reported as EndName, out of [EndFloor, Limit].
bool RangeFits(kelvo_int32 FirstBone, kelvo_int32 BoneCount, kelvo_int32 Limit, char const *EndName,
               kelvo_int32 EndFloor) {
    if (FirstBone < 0 || FirstBone > Limit) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): FirstBone %d is out of range [%d, %d]",
            KELVO_HERE, FirstBone, 0, Limit);
        return false;
    }
    kelvo_int64 End = (kelvo_int64)FirstBone + BoneCount;
    if (BoneCount < 0 || End > Limit) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): %s %d is out of range [%d, %d]", KELVO_HERE,
            EndName, (kelvo_int32)End, EndFloor, Limit);
        return false;
    }
    return true;
}

// The checks every Build form shares: the range must lie inside the
// skeleton, the world pose and (when it is read) the local pose.
bool BuildRangeIsValid(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                       kelvo_int32 LocalLimit, kelvo_world_pose const *Result) {
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, false);
    KELVO_CHECK_NOT_NULL(Result, Origin, false);
    kelvo_int32 Limit = Smallest(Smallest(Skeleton->BoneCount, Result->BoneCount), LocalLimit);
    return RangeFits(FirstBone, BoneCount, Limit, "OnePastLastBone", FirstBone);
}

// Every entry of a reverse array inside the range names -1 or an entry of
// the local pose.
bool ReverseArrayIsValid(kelvo_int32 const *Reverse, kelvo_int32 FirstBone,
                         kelvo_int32 OnePastLastBone, kelvo_local_pose const *LocalPose) {
    KELVO_CHECK_NOT_NULL(Reverse, Origin, false);
    for (kelvo_int32 Bone = FirstBone; Bone < OnePastLastBone; ++Bone) {
        if (Reverse[Bone] < -1 || Reverse[Bone] >= LocalPose->BoneCount) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): SparseBoneArrayReverse[%i] is out of range",
                KELVO_HERE, Bone);
            return false;
        }
    }
    return true;
}

void RunBuild(world_build_job &Job, kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
              kelvo_int32 BoneCount, kelvo_real32 const *Offset4x4, kelvo_world_pose *Result,
              bool Composites) {
    // The SSE path loads rows unaligned, but an aligned offset keeps both
    // paths on whole cache lines.
    alignas(16) kelvo_real32 Offset[16];
    memcpy(Offset, Offset4x4 ? Offset4x4 : IdentityMatrix4x4, sizeof(Offset));
    Job.Bones = Skeleton->Bones;
    Job.FirstBone = FirstBone;
    Job.EndBone = FirstBone + BoneCount;
    Job.Offset = Offset;
    Job.World = Result->WorldTransformBuffer;
    Job.Composite = Composites ? Result->CompositeTransformBuffer : nullptr;
    PoseRoutines().BuildWorldBones(Job);
}

void BuildFromLocalPose(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                        kelvo_int32 BoneCount, kelvo_local_pose const *LocalPose,
                        kelvo_real32 const *Offset4x4, kelvo_world_pose *Result, bool Composites) {
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, KELVO_NOTHING);
    if (!BuildRangeIsValid(Skeleton, FirstBone, BoneCount, LocalPose->BoneCount, Result)) {
        return;
    }
    world_build_job Job = {};
    Job.Entries = LocalPose->Transforms;
    Job.EndValid = INT32_MAX;
    RunBuild(Job, Skeleton, FirstBone, BoneCount, Offset4x4, Result, Composites);
}

void BuildLOD(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone, kelvo_int32 BoneCount,
              kelvo_int32 FirstValidLocalBone, kelvo_int32 ValidLocalBoneCount,
              kelvo_local_pose const *LocalPose, kelvo_real32 const *Offset4x4,
              kelvo_world_pose *Result, bool Composites) {
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, KELVO_NOTHING);
    if (!BuildRangeIsValid(Skeleton, FirstBone, BoneCount, INT32_MAX, Result)) {
        return;
    }
    kelvo_int64 OnePastLastValidLocalBone = (kelvo_int64)FirstValidLocalBone + ValidLocalBoneCount;
    if (FirstValidLocalBone < 0 || ValidLocalBoneCount < 0 ||
        OnePastLastValidLocalBone > LocalPose->BoneCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): OnePastLastValidLocalBone %d is out of range [%d, %d]", KELVO_HERE,
            (kelvo_int32)OnePastLastValidLocalBone, 0, LocalPose->BoneCount);
        return;
    }
    world_build_job Job = {};
    Job.Entries = LocalPose->Transforms;
    Job.FirstValid = FirstValidLocalBone;
    Job.EndValid = (kelvo_int32)OnePastLastValidLocalBone;
    RunBuild(Job, Skeleton, FirstBone, BoneCount, Offset4x4, Result, Composites);
}

void BuildSparse(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                 kelvo_int32 const *SparseBoneArrayReverse, kelvo_local_pose const *LocalPose,
                 kelvo_real32 const *Offset4x4, kelvo_world_pose *Result, bool Composites) {
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, KELVO_NOTHING);
    if (!BuildRangeIsValid(Skeleton, FirstBone, BoneCount, INT32_MAX, Result) ||
        !ReverseArrayIsValid(SparseBoneArrayReverse, FirstBone, FirstBone + BoneCount, LocalPose)) {
        return;
    }
    world_build_job Job = {};
    Job.Entries = LocalPose->Transforms;
    Job.Reverse = SparseBoneArrayReverse;
    RunBuild(Job, Skeleton, FirstBone, BoneCount, Offset4x4, Result, Composites);
}

void MultiplyMatrices(kelvo_int32 Count, kelvo_real32 const *A, kelvo_int32 AStride,
                      kelvo_real32 const *B, kelvo_int32 BStride, kelvo_real32 *Result,
                      kelvo_int32 ResultStride) {
    PoseRoutines().MultiplyMatrices(Count, A, AStride, B, BStride, Result, ResultStride);
}

kelvo_int32 const BoneStride = (kelvo_int32)(sizeof(kelvo_bone) / sizeof(kelvo_real32));
static_assert(sizeof(kelvo_bone) % sizeof(kelvo_real32) == 0, "bones are whole reals");

// The bones the skeleton and the world pose both have, or -1 (reported)
// when either, or the buffer the composite-buffer forms write, is null.
kelvo_int32 CompositeLimit(kelvo_skeleton const *Skeleton, kelvo_world_pose const *Pose,
                           kelvo_real32 const *CompositeBuffer) {
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, -1);
    KELVO_CHECK_NOT_NULL(Pose, Origin, -1);
    KELVO_CHECK_NOT_NULL(CompositeBuffer, Origin, -1);
    return Smallest(Skeleton->BoneCount, Pose->BoneCount);
}

// The checks of the composite-buffer forms: the range lies inside the
// skeleton and the world pose, and there is a buffer to write.
bool CompositeRangeIsValid(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                           kelvo_int32 BoneCount, kelvo_world_pose const *Pose,
                           kelvo_real32 const *CompositeBuffer) {
    kelvo_int32 Limit = CompositeLimit(Skeleton, Pose, CompositeBuffer);
    return Limit >= 0 && RangeFits(FirstBone, BoneCount, Limit, "FirstBone + BoneCount", 0);
}

// The bones the skeleton and both poses have, or -1 (reported) when a
// pointer is null or ParentBone is not one of them.
kelvo_int32 ChildrenLimit(kelvo_skeleton const *Skeleton, kelvo_int32 ParentBone,
                          kelvo_local_pose const *LocalPose, kelvo_world_pose const *Result) {
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, -1);
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, -1);
    KELVO_CHECK_NOT_NULL(Result, Origin, -1);
    kelvo_int32 Limit =
        Smallest(Smallest(Skeleton->BoneCount, Result->BoneCount), LocalPose->BoneCount);
    if (ParentBone < 0 || ParentBone >= Limit) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): ParentBone %d is out of range [%d, %d]",
            KELVO_HERE, ParentBone, 0, Limit - 1);
        return -1;
    }
    return Limit;
}

bool IndicesAreValid(kelvo_skeleton const *Skeleton, kelvo_world_pose const *Pose,
                     kelvo_int32 const *Indices, kelvo_int32 IndexCount,
                     kelvo_real32 const *CompositeBuffer) {
    kelvo_int32 Limit = CompositeLimit(Skeleton, Pose, CompositeBuffer);
    KELVO_CHECK_NOT_NULL(Indices, Origin, false);
    if (Limit < 0) {
        return false;
    }
    if (IndexCount < 0 || IndexCount > Limit) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): IndexCount %d is out of range [%d, %d]",
            KELVO_HERE, IndexCount, 0, Limit);
        return false;
    }
    for (kelvo_int32 Index = 0; Index < IndexCount; ++Index) {
        if (Indices[Index] < 0 || Indices[Index] >= Limit) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): Indices[%d] %d is out of range [%d, %d)",
                KELVO_HERE, Index, Indices[Index], 0, Limit);
            return false;
        }
    }
    return true;
}

void Transposed(kelvo_skeleton const *Skeleton, kelvo_world_pose const *Pose, kelvo_int32 Bone,
                kelvo_real32 *Result) {
    KelvoColumnMatrixMultiply4x3Transpose(Result, Skeleton->Bones[Bone].InverseWorldTransform,
                                          Pose->WorldTransformBuffer + 16 * Bone);
}

} // namespace

KELVO_API kelvo_world_pose *KelvoNewWorldPose(kelvo_int32 BoneCount) {
    return NewWorldPose(BoneCount, false);
}

KELVO_API kelvo_world_pose *KelvoNewWorldPoseNoComposite(kelvo_int32 BoneCount) {
    return NewWorldPose(BoneCount, true);
}

KELVO_API kelvo_int32 KelvoGetResultingWorldPoseSize(kelvo_int32 BoneCount,
                                                     kelvo_bool32 NoComposite) {
    return ResultingWorldPoseSize(BoneCount, NoComposite != 0);
}

KELVO_API kelvo_world_pose *KelvoNewWorldPoseInPlace(kelvo_int32 BoneCount,
                                                     kelvo_bool32 NoComposite, void *Memory) {
    KELVO_CHECK_NOT_NULL(Memory, Origin, nullptr);
    // The record itself holds pointers; memory off their alignment cannot
    // hold it at all (unaligned buffers only cost speed, and are warned of).
    if ((kelvo_uintaddrx)Memory % alignof(kelvo_world_pose)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Memory 0x%" KELVO_PTR_FORMAT " is not aligned to %d bytes", KELVO_HERE,
            KELVO_PTR_ARG(Memory), (kelvo_int32)alignof(kelvo_world_pose));
        return nullptr;
    }
    if (!ResultingWorldPoseSize(BoneCount, NoComposite != 0)) {
        return nullptr;
    }
    return LayOutWorldPose(BoneCount, NoComposite != 0, Memory);
}

KELVO_GETTER(kelvo_int32, KelvoGetWorldPoseBoneCount, kelvo_world_pose const, WorldPose, BoneCount,
             0)

KELVO_API void KelvoFreeWorldPose(kelvo_world_pose *WorldPose) {
    KELVO_DEALLOCATE(WorldPose);
}

KELVO_API kelvo_real32 *KelvoGetWorldPose4x4(kelvo_world_pose const *WorldPose,
                                             kelvo_int32 BoneIndex) {
    KELVO_CHECK_NOT_NULL(WorldPose, Origin, nullptr);
    if (BoneIndex < 0 || BoneIndex >= WorldPose->BoneCount) {
        return nullptr;
    }
    return WorldPose->WorldTransformBuffer + 16 * BoneIndex;
}

KELVO_API kelvo_real32 *KelvoGetWorldPoseComposite4x4(kelvo_world_pose const *WorldPose,
                                                      kelvo_int32 BoneIndex) {
    KELVO_CHECK_NOT_NULL(WorldPose, Origin, nullptr);
    if (!WorldPose->CompositeTransformBuffer || BoneIndex < 0 ||
        BoneIndex >= WorldPose->BoneCount) {
        return nullptr;
    }
    return WorldPose->CompositeTransformBuffer + 16 * BoneIndex;
}

KELVO_API void KelvoBuildRestWorldPose(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                       kelvo_int32 BoneCount, kelvo_real32 const *Offset4x4,
                                       kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("BuildRestWorldPose");
    if (BuildRangeIsValid(Skeleton, FirstBone, BoneCount, INT32_MAX, Result)) {
        world_build_job Job = {};
        RunBuild(Job, Skeleton, FirstBone, BoneCount, Offset4x4, Result, true);
    }
}

KELVO_API void KelvoBuildWorldPose(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                   kelvo_int32 BoneCount, kelvo_local_pose const *LocalPose,
                                   kelvo_real32 const *Offset4x4, kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("BuildWorldPose");
    BuildFromLocalPose(Skeleton, FirstBone, BoneCount, LocalPose, Offset4x4, Result, true);
}

KELVO_API void KelvoBuildWorldPoseLOD(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                      kelvo_int32 BoneCount, kelvo_int32 FirstValidLocalBone,
                                      kelvo_int32 ValidLocalBoneCount,
                                      kelvo_local_pose const *LocalPose,
                                      kelvo_real32 const *Offset4x4, kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("BuildWorldPoseLOD");
    BuildLOD(Skeleton, FirstBone, BoneCount, FirstValidLocalBone, ValidLocalBoneCount, LocalPose,
             Offset4x4, Result, true);
}

KELVO_API void KelvoBuildWorldPoseSparse(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                         kelvo_int32 BoneCount,
                                         kelvo_int32 const *SparseBoneArrayReverse,
                                         kelvo_local_pose const *LocalPose,
                                         kelvo_real32 const *Offset4x4, kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("BuildWorldPoseSparse");
    BuildSparse(Skeleton, FirstBone, BoneCount, SparseBoneArrayReverse, LocalPose, Offset4x4,
                Result, true);
}

KELVO_API void KelvoBuildWorldPoseNoComposite(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                              kelvo_int32 BoneCount,
                                              kelvo_local_pose const *LocalPose,
                                              kelvo_real32 const *Offset4x4,
                                              kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("BuildWorldPoseNoComposite");
    BuildFromLocalPose(Skeleton, FirstBone, BoneCount, LocalPose, Offset4x4, Result, false);
}

KELVO_API void KelvoBuildWorldPoseNoCompositeLOD(
    kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone, kelvo_int32 BoneCount,
    kelvo_int32 FirstValidLocalBone, kelvo_int32 ValidLocalBoneCount,
    kelvo_local_pose const *LocalPose, kelvo_real32 const *Offset4x4, kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("BuildWorldPoseNoCompositeLOD");
    BuildLOD(Skeleton, FirstBone, BoneCount, FirstValidLocalBone, ValidLocalBoneCount, LocalPose,
             Offset4x4, Result, false);
}

KELVO_API void KelvoBuildWorldPoseNoCompositeSparse(kelvo_skeleton const *Skeleton,
                                                    kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                    kelvo_int32 const *SparseBoneArrayReverse,
                                                    kelvo_local_pose const *LocalPose,
                                                    kelvo_real32 const *Offset4x4,
                                                    kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("BuildWorldPoseNoCompositeSparse");
    BuildSparse(Skeleton, FirstBone, BoneCount, SparseBoneArrayReverse, LocalPose, Offset4x4,
                Result, false);
}

KELVO_API void KelvoBuildWorldPoseComposites(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                             kelvo_int32 BoneCount, kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("BuildWorldPoseComposites");
    if (!BuildRangeIsValid(Skeleton, FirstBone, BoneCount, INT32_MAX, Result)) {
        return;
    }
    if (!Result->CompositeTransformBuffer) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Result.CompositeTransformBuffer is not allowed to be 0", KELVO_HERE);
        return;
    }
    MultiplyMatrices(BoneCount, Skeleton->Bones[FirstBone].InverseWorldTransform, BoneStride,
                     Result->WorldTransformBuffer + 16 * FirstBone, 16,
                     Result->CompositeTransformBuffer + 16 * FirstBone, 16);
}

KELVO_API void KelvoBuildCompositeBuffer(kelvo_skeleton const *Skeleton, kelvo_int32 FirstBone,
                                         kelvo_int32 BoneCount, kelvo_world_pose const *Pose,
                                         kelvo_real32 *CompositeBuffer) {
    KELVO_TIMED_BLOCK("BuildCompositeBuffer");
    if (!CompositeRangeIsValid(Skeleton, FirstBone, BoneCount, Pose, CompositeBuffer)) {
        return;
    }
    MultiplyMatrices(BoneCount, Skeleton->Bones[FirstBone].InverseWorldTransform, BoneStride,
                     Pose->WorldTransformBuffer + 16 * FirstBone, 16,
                     CompositeBuffer + 16 * FirstBone, 16);
}

KELVO_API void KelvoBuildCompositeBufferTransposed(kelvo_skeleton const *Skeleton,
                                                   kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                   kelvo_world_pose const *Pose,
                                                   kelvo_real32 *CompositeBuffer) {
    KELVO_TIMED_BLOCK("BuildCompositeBufferTransposed");
    if (!CompositeRangeIsValid(Skeleton, FirstBone, BoneCount, Pose, CompositeBuffer)) {
        return;
    }
    for (kelvo_int32 Bone = FirstBone; Bone < FirstBone + BoneCount; ++Bone) {
        Transposed(Skeleton, Pose, Bone, CompositeBuffer + 12 * Bone);
    }
}

KELVO_API void KelvoBuildIndexedCompositeBuffer(kelvo_skeleton const *Skeleton,
                                                kelvo_world_pose const *Pose,
                                                kelvo_int32 const *Indices, kelvo_int32 IndexCount,
                                                kelvo_real32 *CompositeBuffer) {
    KELVO_TIMED_BLOCK("BuildIndexedCompositeBuffer");
    if (!IndicesAreValid(Skeleton, Pose, Indices, IndexCount, CompositeBuffer)) {
        return;
    }
    for (kelvo_int32 Index = 0; Index < IndexCount; ++Index) {
        kelvo_int32 Bone = Indices[Index];
        MultiplyMatrices(1, Skeleton->Bones[Bone].InverseWorldTransform, 0,
                         Pose->WorldTransformBuffer + 16 * Bone, 0, CompositeBuffer + 16 * Index,
                         0);
    }
}

KELVO_API void KelvoBuildIndexedCompositeBufferTransposed(kelvo_skeleton const *Skeleton,
                                                          kelvo_world_pose const *Pose,
                                                          kelvo_int32 const *Indices,
                                                          kelvo_int32 IndexCount,
                                                          kelvo_real32 *CompositeBuffer) {
    KELVO_TIMED_BLOCK("BuildIndexedCompositeBufferTransposed");
    if (!IndicesAreValid(Skeleton, Pose, Indices, IndexCount, CompositeBuffer)) {
        return;
    }
    for (kelvo_int32 Index = 0; Index < IndexCount; ++Index) {
        Transposed(Skeleton, Pose, Indices[Index], CompositeBuffer + 12 * Index);
    }
}

KELVO_API void KelvoUpdateWorldPoseChildren(kelvo_skeleton const *Skeleton, kelvo_int32 ParentBone,
                                            kelvo_local_pose const *LocalPose,
                                            kelvo_real32 const *Offset4x4,
                                            kelvo_world_pose *Result) {
    KELVO_TIMED_BLOCK("UpdateWorldPoseChildren");
    kelvo_int32 const Limit = ChildrenLimit(Skeleton, ParentBone, LocalPose, Result);
    if (Limit < 0) {
        return;
    }
    for (kelvo_int32 Bone = ParentBone; Bone < Limit; ++Bone) {
        if (BoneIsBelow(Skeleton, Bone, ParentBone)) {
            world_build_job Job = {};
            Job.Entries = LocalPose->Transforms;
            Job.EndValid = INT32_MAX;
            RunBuild(Job, Skeleton, Bone, 1, Offset4x4, Result, true);
        }
    }
}
