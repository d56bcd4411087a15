// Mesh bindings: bone names resolved once, and the slot matrices the direct
// deformers take.
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_mesh_binding.h"
#include "kelvo2/kelvo2_skeleton.h"
#include "kelvo2/kelvo2_transform.h"

struct kelvo_mesh_binding {
    kelvo_mesh const *Mesh;
    kelvo_int32 BoneCount;
    kelvo_skeleton const *FromSkeleton;
    kelvo_int32 *FromBoneIndices;
    kelvo_skeleton const *ToSkeleton;
    kelvo_int32 *ToBoneIndices; // the same array as FromBoneIndices unless transferred
};

namespace kelvo {
namespace {

constexpr kelvo_log_message_origin Origin = KelvoMeshBindingLogMessage;

// Reserves the header and its index arrays: one shared array unless the
// skeletons differ.
void Reserve(aggr_allocator &Allocator, kelvo_mesh const *Mesh, kelvo_skeleton const *From,
             kelvo_skeleton const *To, kelvo_mesh_binding *&Binding, kelvo_int32 *&FromIndices,
             kelvo_int32 *&ToIndices) {
    AggrInit(Allocator);
    kelvo_int32 Count = Mesh->BoneBindingCount > 0 ? Mesh->BoneBindingCount : 0;
    AggrAllocPtr(Allocator, &Binding, sizeof(kelvo_mesh_binding));
    AggrAllocArrayPtr(Allocator, Count, &ToIndices);
    if (From != To) {
        AggrAllocArrayPtr(Allocator, Count, &FromIndices);
    }
}

kelvo_int32 BoneOrZero(kelvo_skeleton const *Skeleton, char const *Name) {
    kelvo_int32 Index = 0;
    return Name && KelvoFindBoneByName(Skeleton, Name, &Index) ? Index : 0;
}

void Resolve(kelvo_mesh const *Mesh, kelvo_skeleton const *Skeleton, kelvo_int32 *Indices) {
    for (kelvo_int32 Slot = 0; Slot < Mesh->BoneBindingCount; ++Slot) {
        Indices[Slot] = BoneOrZero(Skeleton, Mesh->BoneBindings[Slot].BoneName);
    }
}

} // namespace
} // namespace kelvo

using namespace kelvo;

KELVO_API kelvo_int32 KelvoGetResultingMeshBindingSize(kelvo_mesh const *Mesh,
                                                       kelvo_skeleton const *FromSkeleton,
                                                       kelvo_skeleton const *ToSkeleton) {
    KELVO_CHECK_NOT_NULL(Mesh, Origin, 0);
    aggr_allocator Allocator;
    kelvo_mesh_binding *Binding;
    kelvo_int32 *From = nullptr, *To = nullptr;
    Reserve(Allocator, Mesh, FromSkeleton, ToSkeleton, Binding, From, To);
    return ResultingSize(EndAggrSize(Allocator, KELVO_HERE), Origin);
}

KELVO_API kelvo_mesh_binding *KelvoNewMeshBindingInPlace(kelvo_mesh const *Mesh,
                                                         kelvo_skeleton const *FromSkeleton,
                                                         kelvo_skeleton const *ToSkeleton,
                                                         void *Memory) {
    KELVO_CHECK_NOT_NULL(Mesh, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(FromSkeleton, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(ToSkeleton, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(Memory, Origin, nullptr);
    aggr_allocator Allocator;
    kelvo_mesh_binding *Binding = nullptr;
    kelvo_int32 *From = nullptr, *To = nullptr;
    Reserve(Allocator, Mesh, FromSkeleton, ToSkeleton, Binding, From, To);
    if (!EndAggrPlacement(Allocator, KELVO_HERE, Memory)) {
        return nullptr;
    }
    *Binding = {Mesh,         Mesh->BoneBindingCount > 0 ? Mesh->BoneBindingCount : 0,
                FromSkeleton, From ? From : To,
                ToSkeleton,   To};
    Resolve(Mesh, ToSkeleton, To);
    if (From) {
        Resolve(Mesh, FromSkeleton, From);
    }
    return Binding;
}

KELVO_API kelvo_mesh_binding *KelvoNewMeshBinding(kelvo_mesh const *Mesh,
                                                  kelvo_skeleton const *FromSkeleton,
                                                  kelvo_skeleton const *ToSkeleton) {
    KELVO_CHECK_NOT_NULL(FromSkeleton, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(ToSkeleton, Origin, nullptr);
    kelvo_int32 Size = KelvoGetResultingMeshBindingSize(Mesh, FromSkeleton, ToSkeleton);
    void *Memory = Size > 0 ? KELVO_ALLOCATE_SIZE(Size) : nullptr;
    if (!Memory) {
        return nullptr;
    }
    return KelvoNewMeshBindingInPlace(Mesh, FromSkeleton, ToSkeleton, Memory);
}

KELVO_API void KelvoFreeMeshBinding(kelvo_mesh_binding *Binding) {
    KELVO_DEALLOCATE(Binding);
}

KELVO_API kelvo_bool32 KelvoMeshBindingIsTransferred(kelvo_mesh_binding const *Binding) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, 0);
    return Binding->FromSkeleton != Binding->ToSkeleton;
}

// The accessors: each field of the record, refusing a null binding.
#define KELVO_BINDING_FIELD(Type, Name, Field, Refused)                                            \
    KELVO_API Type Name(kelvo_mesh_binding const *Binding) {                                       \
        KELVO_CHECK_NOT_NULL(Binding, Origin, Refused);                                            \
        return Binding->Field;                                                                     \
    }
KELVO_BINDING_FIELD(kelvo_int32, KelvoGetMeshBindingBoneCount, BoneCount, 0)
KELVO_BINDING_FIELD(kelvo_mesh const *, KelvoGetMeshBindingSourceMesh, Mesh, nullptr)
KELVO_BINDING_FIELD(kelvo_skeleton const *, KelvoGetMeshBindingFromSkeleton, FromSkeleton, nullptr)
KELVO_BINDING_FIELD(kelvo_skeleton const *, KelvoGetMeshBindingToSkeleton, ToSkeleton, nullptr)
KELVO_BINDING_FIELD(kelvo_int32 const *, KelvoGetMeshBindingFromBoneIndices, FromBoneIndices,
                    nullptr)
KELVO_BINDING_FIELD(kelvo_int32 const *, KelvoGetMeshBindingToBoneIndices, ToBoneIndices, nullptr)
#undef KELVO_BINDING_FIELD

KELVO_API kelvo_int32 KelvoGetMeshBinding4x4ArraySize(kelvo_mesh_binding const *,
                                                      kelvo_int32 BoneCount) {
    return BoneCount > 0 && BoneCount <= INT32_MAX / 64 ? BoneCount * 64 : 0;
}

KELVO_API void KelvoBuildMeshBinding4x4Array(kelvo_mesh_binding const *Binding,
                                             kelvo_world_pose const *WorldPose,
                                             kelvo_int32 FirstBoneIndex, kelvo_int32 BoneCount,
                                             kelvo_real32 *Matrix4x4Array) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(WorldPose, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Matrix4x4Array, Origin, KELVO_NOTHING);
    KELVO_CHECK_INDEX(FirstBoneIndex, Binding->BoneCount, Origin, KELVO_NOTHING);
    kelvo_int64 End = (kelvo_int64)FirstBoneIndex + BoneCount;
    if (BoneCount < 0 || End > Binding->BoneCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): FirstBoneIndex + BoneCount %I64d is out of range [0, %d)", KELVO_HERE, End,
            Binding->BoneCount + 1);
        return;
    }
    static kelvo_real32 const Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    kelvo_skeleton const *From = Binding->FromSkeleton;
    for (kelvo_int32 Slot = FirstBoneIndex; Slot < End; ++Slot) {
        // A skeleton without bones has no bone 0 to fall back on.
        kelvo_int32 FromBone = Binding->FromBoneIndices[Slot];
        kelvo_real32 const *Inverse =
            FromBone < From->BoneCount ? From->Bones[FromBone].InverseWorldTransform : Identity;
        kelvo_real32 const *World = KelvoGetWorldPose4x4(WorldPose, Binding->ToBoneIndices[Slot]);
        if (!World) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Bone %d of slot %d is not in the world pose of %d bones", KELVO_HERE,
                Binding->ToBoneIndices[Slot], Slot, KelvoGetWorldPoseBoneCount(WorldPose));
            World = Identity;
        }
        KelvoColumnMatrixMultiply4x3(Matrix4x4Array + 16 * (Slot - FirstBoneIndex), Inverse, World);
    }
}
