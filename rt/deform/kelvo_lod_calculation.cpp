// Level-of-detail errors measured on a mesh: how far the corners of each
// bone's bounding box move, over every frame of the animation, when one
// track is held at its constant value. It needs mesh bindings, so it sits
// with deformation although the values belong to bindings and track groups.
#include "kelvo2/kelvo2_mesh_binding.h"
#include "kelvo2/kelvo2_model_instance.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <math.h>
#include <string.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoAnimationLogMessage;
constexpr kelvo_real32 NotComputed = -31415.0f;

// World matrices of every bound bone at the context's clock; bone Held (or
// none, for -1) takes its LODTransform instead of its track.
void BuildFromBinding(kelvo_animation_binding const *Binding, kelvo_skeleton const *Skeleton,
                      kelvo_sample_context const &Context, kelvo_int32 Held,
                      kelvo_real32 *World) {
    static kelvo_real32 const Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    kelvo_track_sampler *Compose = KelvoGetTrackSamplerSSS();
    for (kelvo_int32 Bone = 0; Bone < Binding->TrackBindingCount; ++Bone) {
        kelvo_bone const &B = Skeleton->Bones[Bone];
        kelvo_real32 const *Parent = (kelvo_uint32)B.ParentIndex < (kelvo_uint32)Bone
                                         ? World + 16 * B.ParentIndex
                                         : Identity;
        kelvo_bound_transform_track const &Track = Binding->TrackBindings[Bone];
        kelvo_transform Local;
        if (!Track.SourceTrack || Bone == Held) {
            Local = Track.SourceTrack ? Track.LODTransform : B.Transform;
            Compose(&Context, nullptr, &Track, &Local, Identity, Parent, World + 16 * Bone,
                    nullptr);
        } else {
            Track.Sampler(&Context, Track.SourceTrack, &Track, &Local, Identity, Parent,
                          World + 16 * Bone, nullptr);
        }
    }
}

void TransformCorner(kelvo_real32 const *Min, kelvo_real32 const *Max, int Corner,
                     kelvo_real32 const *M, kelvo_real32 *Result) {
    kelvo_real32 const P[3] = {Corner & 1 ? Max[0] : Min[0], Corner & 2 ? Max[1] : Min[1],
                               Corner & 4 ? Max[2] : Min[2]};
    for (int Column = 0; Column < 3; ++Column) {
        Result[Column] =
            P[0] * M[Column] + P[1] * M[4 + Column] + P[2] * M[8 + Column] + M[12 + Column];
    }
}

// The largest squared distance any box corner of a bone at or below index
// Track moves between the two poses.
kelvo_real32 LargestMove(kelvo_mesh_binding const *MeshBinding, kelvo_int32 Track,
                         kelvo_real32 const *Full, kelvo_real32 const *Reduced,
                         kelvo_int32 BoneCount) {
    kelvo_mesh const *Mesh = KelvoGetMeshBindingSourceMesh(MeshBinding);
    kelvo_int32 const *ToBones = KelvoGetMeshBindingToBoneIndices(MeshBinding);
    kelvo_real32 Largest = 0.0f;
    for (kelvo_int32 Slot = 0; Slot < KelvoGetMeshBindingBoneCount(MeshBinding); ++Slot) {
        kelvo_int32 Bone = ToBones[Slot];
        if (Bone < Track || Bone >= BoneCount) {
            continue;
        }
        kelvo_bone_binding const &Box = Mesh->BoneBindings[Slot];
        for (int Corner = 0; Corner < 8; ++Corner) {
            kelvo_real32 A[3], B[3];
            TransformCorner(Box.OBBMin, Box.OBBMax, Corner, Full + 16 * Bone, A);
            TransformCorner(Box.OBBMin, Box.OBBMax, Corner, Reduced + 16 * Bone, B);
            kelvo_real32 D = 0.0f;
            for (int Axis = 0; Axis < 3; ++Axis) {
                D += (A[Axis] - B[Axis]) * (A[Axis] - B[Axis]);
            }
            Largest = D > Largest ? D : Largest;
        }
    }
    return Largest;
}

} // namespace

struct kelvo_animation_lod_calculation {
    kelvo_animation const *Animation;
    kelvo_real32 Scale;
    kelvo_bool8 *AllocatedErrors; // per track group: Begin made its error array
};

KELVO_API void KelvoCalculateLODErrorValues(kelvo_animation_binding *Binding,
                                            kelvo_mesh_binding const *MeshBinding, void *,
                                            kelvo_real32 ErrorScale) {
    KELVO_TIMED_BLOCK("CalculateLODErrorValues");
    KELVO_CHECK_NOT_NULL(Binding, Origin, KELVO_NOTHING);
    kelvo_animation_binding &AnimationBinding = *Binding;
    KELVO_CHECK_NOT_NULL(AnimationBinding.TrackBindings, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(MeshBinding, Origin, KELVO_NOTHING);
    kelvo_animation_binding_identifier const &ID = Binding->ID;
    KELVO_CHECK_NOT_NULL(ID.OnModel, Origin, KELVO_NOTHING);
    kelvo_skeleton const *OnSkeleton = ID.OnModel->Skeleton;
    KELVO_CHECK_NOT_NULL(OnSkeleton, Origin, KELVO_NOTHING);
    if (KelvoGetMeshBindingToSkeleton(MeshBinding) != OnSkeleton) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): GetMeshBindingToSkeleton((mesh_binding&)MeshBinding) must equal OnSkeleton",
            KELVO_HERE);
        return;
    }
    kelvo_int32 const BoneCount = Binding->TrackBindingCount;
    if (BoneCount < 0 || BoneCount > OnSkeleton->BoneCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): BoneCount %d is out of range [%d, %d]",
            KELVO_HERE, BoneCount, 0, OnSkeleton->BoneCount);
        return;
    }
    kelvo_animation const *Animation = ID.Animation;
    kelvo_real32 const Step = Animation->TimeStep;
    kelvo_int64 Frames =
        Step > 0.0f ? (kelvo_int64)(Animation->Duration / Step + 0.5f) : 0;
    Frames = Frames < 0 ? 0 : Frames > 1000000 ? 1000000 : Frames; // a hostile step
    kelvo_real32 *Full = (kelvo_real32 *)KELVO_ALLOCATE_SIZE(2 * 16 * sizeof(kelvo_real32) *
                                                             (kelvo_int64)(BoneCount ? BoneCount : 1));
    if (!Full) {
        return;
    }
    kelvo_real32 *Reduced = Full + 16 * BoneCount;
    kelvo_sample_context Context = {0.0f, Animation->Duration, 0, 0, 0};
    for (kelvo_int32 Track = 0; Track < BoneCount; ++Track) {
        kelvo_bound_transform_track &Bound = Binding->TrackBindings[Track];
        Bound.LODError = KELVO_NEVER_REDUCED_LOD_ERROR;
        if (!Bound.SourceTrack) {
            KelvoMakeIdentity(&Bound.LODTransform);
            continue;
        }
        KelvoGetTransformTrackInitialTransform(Bound.SourceTrack, &Bound.LODTransform);
        if (!KelvoTransformTrackIsAnimated(Bound.SourceTrack)) {
            Bound.LODError = 0.0f;
            continue;
        }
        kelvo_real32 Largest = 0.0f;
        for (kelvo_int64 Frame = 0; Frame <= Frames; ++Frame) {
            Context.LocalClock = (kelvo_real32)Frame * Step;
            BuildFromBinding(Binding, OnSkeleton, Context, -1, Full);
            BuildFromBinding(Binding, OnSkeleton, Context, Track, Reduced);
            kelvo_real32 Move = LargestMove(MeshBinding, Track, Full, Reduced, BoneCount);
            Largest = Move > Largest ? Move : Largest;
        }
        Bound.LODError = sqrtf(Largest) * ErrorScale;
    }
    KELVO_DEALLOCATE(Full);
}

KELVO_API void KelvoCalculateLODErrorValuesAllBindings(kelvo_model_instance *ModelInstance,
                                                       kelvo_mesh_binding const *MeshBinding,
                                                       void *Unused, kelvo_real32 ErrorScale) {
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    for (kelvo_model_control_binding *Binding = KelvoModelControlsBegin(ModelInstance);
         Binding != KelvoModelControlsEnd(ModelInstance); Binding = KelvoModelControlsNext(Binding)) {
        if (kelvo_animation_binding *Bound = KelvoGetAnimationBindingFromControlBinding(Binding)) {
            KelvoCalculateLODErrorValues(Bound, MeshBinding, Unused, ErrorScale);
        }
    }
}

KELVO_API kelvo_animation_lod_calculation *
KelvoCalculateAnimationLODBegin(kelvo_animation *Animation, kelvo_real32 Scale) {
    KELVO_CHECK_NOT_NULL(Animation, Origin, nullptr);
    kelvo_int32 Count = Animation->TrackGroups && Animation->TrackGroupCount > 0
                            ? Animation->TrackGroupCount
                            : 0;
    kelvo_animation_lod_calculation *Calculation;
    kelvo_bool8 *Allocated;
    kelvo::aggr_allocator Aggr;
    kelvo::AggrInit(Aggr);
    kelvo::AggrAllocPtr(Aggr, &Calculation, sizeof(*Calculation));
    kelvo::AggrAllocArrayPtr(Aggr, Count, &Allocated);
    if (!kelvo::EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    *Calculation = {Animation, Scale, Allocated};
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        kelvo_track_group *Group = Animation->TrackGroups[Index];
        Allocated[Index] = Group && !Group->TransformLODErrors;
        if (Allocated[Index]) {
            KelvoAllocateLODErrorSpace(Group);
        }
        if (Group) {
            KelvoSetAllLODErrorSpace(Group, NotComputed);
        }
    }
    return Calculation;
}

KELVO_API void KelvoCalculateAnimationLODAddMeshBinding(kelvo_animation_lod_calculation *Calculation,
                                                        kelvo_model const *Model,
                                                        kelvo_mesh_binding const *MeshBinding,
                                                        kelvo_real32 Tolerance) {
    KELVO_CHECK_NOT_NULL(Calculation, Origin, KELVO_NOTHING);
    kelvo_model_instance *Instance = KelvoInstantiateModel(Model);
    if (!Instance) {
        return;
    }
    kelvo_control *Control = KelvoPlayControlledAnimation(0.0f, Calculation->Animation, Instance);
    if (Control) {
        KelvoCalculateLODErrorValuesAllBindings(Instance, MeshBinding, nullptr, 1.0f);
        KelvoCopyLODErrorValuesToAllAnimations(Instance, Calculation->Scale * Tolerance, 1);
        KelvoFreeControl(Control);
    }
    KelvoFreeModelInstance(Instance);
}

KELVO_API void KelvoCalculateAnimationLODEnd(kelvo_animation_lod_calculation *Calculation) {
    KELVO_CHECK_NOT_NULL(Calculation, Origin, KELVO_NOTHING);
    kelvo_animation const *Animation = Calculation->Animation;
    for (kelvo_int32 Index = 0; Animation->TrackGroups && Index < Animation->TrackGroupCount;
         ++Index) {
        kelvo_track_group *Group = Animation->TrackGroups[Index];
        for (kelvo_int32 Track = 0; Group && Track < Group->TransformLODErrorCount; ++Track) {
            if (Group->TransformLODErrors[Track] < 0.0f) {
                Group->TransformLODErrors[Track] = KELVO_NEVER_REDUCED_LOD_ERROR;
            }
        }
    }
}

KELVO_API void KelvoCalculateAnimationLODCleanup(kelvo_animation_lod_calculation *Calculation) {
    if (!Calculation) {
        return;
    }
    kelvo_animation const *Animation = Calculation->Animation;
    for (kelvo_int32 Index = 0; Animation->TrackGroups && Index < Animation->TrackGroupCount;
         ++Index) {
        if (Calculation->AllocatedErrors[Index]) {
            KelvoFreeLODErrorSpace(Animation->TrackGroups[Index]);
        }
    }
    KELVO_DEALLOCATE(Calculation);
}
