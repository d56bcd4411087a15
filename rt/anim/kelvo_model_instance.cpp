// Model instances, the rings of control bindings that tie controls to them,
// sampling every playing control into a local or world pose, and root
// motion. An instance's ring keeps its active bindings before its inactive
// ones, so every walk stops at the first inactive binding.
#include "anim/kelvo_control_internal.h"
#include "anim/kelvo_pose.h"
#include "kelvo2/kelvo2_skeleton.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"

#include <math.h>
#include <string.h>

namespace {

using namespace kelvo;

constexpr kelvo_log_message_origin Origin = KelvoAnimationLogMessage;

kelvo_fixed_allocator InstanceAllocator;
kelvo_fixed_allocator BindingAllocator;
kelvo_model_instance InstanceList; // the sentinel

// The list's sentinel, set up on first use with the allocators.
kelvo_model_instance *SetUpList() {
    if (!InstanceList.Next) {
        InstanceList.Next = InstanceList.Previous = &InstanceList;
        KelvoInitializeFixedAllocator(&InstanceAllocator,
                                      (kelvo_int32)sizeof(kelvo_model_instance));
        KelvoInitializeFixedAllocator(&BindingAllocator,
                                      (kelvo_int32)sizeof(kelvo_model_control_binding));
    }
    return &InstanceList;
}

void UnlinkFromInstance(kelvo_model_control_binding *Binding) {
    Binding->ModelNext->ModelPrevious = Binding->ModelPrevious;
    Binding->ModelPrevious->ModelNext = Binding->ModelNext;
}

// Active bindings go to the front of the instance's ring, others to the back.
void LinkIntoInstance(kelvo_model_control_binding *Binding) {
    kelvo_model_control_binding *Sentinel = &Binding->ModelInstance->Bindings;
    if (BindingIsActive(Binding)) {
        Binding->ModelPrevious = Sentinel;
        Binding->ModelNext = Sentinel->ModelNext;
    } else {
        Binding->ModelNext = Sentinel;
        Binding->ModelPrevious = Sentinel->ModelPrevious;
    }
    Binding->ModelPrevious->ModelNext = Binding;
    Binding->ModelNext->ModelPrevious = Binding;
}

template <typename action> void ForEachActive(kelvo_model_instance *Instance, action Action) {
    for (kelvo_model_control_binding *Binding = Instance->Bindings.ModelNext;
         Binding != &Instance->Bindings && BindingIsActive(Binding);) {
        kelvo_model_control_binding *Next = Binding->ModelNext;
        Action(*Binding);
        Binding = Next;
    }
}

kelvo_skeleton const *SkeletonOf(kelvo_model_instance const *Instance) {
    return Instance->Model ? Instance->Model->Skeleton : nullptr;
}

// A range of bones that the pose holds; false (reported) otherwise.
bool PoseRangeIsValid(kelvo_model_instance *Instance, kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                      kelvo_local_pose const *Pose) {
    KELVO_CHECK_NOT_NULL(Instance, Origin, false);
    KELVO_CHECK_NOT_NULL(Pose, Origin, false);
    KELVO_CHECK(SkeletonOf(Instance) != nullptr, Origin, false);
    if (FirstBone < 0 || BoneCount < 0 || (kelvo_int64)FirstBone + BoneCount > Pose->BoneCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): BoneCount %d is out of range [%d, %d]",
            KELVO_HERE, BoneCount, 0, Pose->BoneCount - (FirstBone > 0 ? FirstBone : 0));
        return false;
    }
    return true;
}

void SampleBindings(kelvo_model_instance *Instance, kelvo_model_control_binding *Only,
                    kelvo_int32 FirstBone, kelvo_int32 BoneCount, kelvo_local_pose *Result,
                    kelvo_real32 AllowedError, kelvo_int32 const *SparseBoneArray) {
    KelvoBeginLocalPoseAccumulation(Result, FirstBone, BoneCount, SparseBoneArray);
    if (Only) {
        if (BindingIsActive(Only)) {
            Only->Operations->AccumulateBindingState(*Only, FirstBone, BoneCount, Result,
                                                     AllowedError, SparseBoneArray);
        }
    } else {
        ForEachActive(Instance, [&](kelvo_model_control_binding &Binding) {
            Binding.Operations->AccumulateBindingState(Binding, FirstBone, BoneCount, Result,
                                                       AllowedError, SparseBoneArray);
        });
    }
    KelvoEndLocalPoseAccumulationLOD(Result, FirstBone, BoneCount, SkeletonOf(Instance),
                                     AllowedError, SparseBoneArray);
}

} // namespace

namespace kelvo {

bool BindingIsActive(kelvo_model_control_binding const *Binding) {
    kelvo_control const *Control = Binding->Control;
    return (Control->Flags & ControlActive) && Control->Weight != 0.0f;
}

kelvo_model_control_binding *BindControl(kelvo_control *Control, kelvo_model_instance *Instance,
                                         kelvo_model_control_binding_operations const *Operations) {
    SetUpList();
    kelvo_model_control_binding *Binding =
        (kelvo_model_control_binding *)KelvoAllocateFixed(&BindingAllocator);
    if (!Binding) {
        return nullptr;
    }
    memset(Binding, 0, sizeof(*Binding));
    Binding->Control = Control;
    Binding->ModelInstance = Instance;
    Binding->Operations = Operations;
    Binding->ControlNext = &Control->Bindings;
    Binding->ControlPrevious = Control->Bindings.ControlPrevious;
    Binding->ControlPrevious->ControlNext = Binding;
    Control->Bindings.ControlPrevious = Binding;
    LinkIntoInstance(Binding);
    return Binding;
}

void FreeControlBinding(kelvo_model_control_binding *Binding) {
    kelvo_control *Control = Binding->Control;
    Binding->ControlNext->ControlPrevious = Binding->ControlPrevious;
    Binding->ControlPrevious->ControlNext = Binding->ControlNext;
    UnlinkFromInstance(Binding);
    Binding->Operations->CleanupBindingState(*Binding);
    KelvoDeallocateFixed(&BindingAllocator, Binding);
    if ((Control->Flags & ControlFreeOnceUnused) &&
        Control->Bindings.ControlNext == &Control->Bindings) {
        KelvoFreeControl(Control);
    }
}

void UpdateControlActivity(kelvo_control *Control) {
    for (kelvo_model_control_binding *Binding = Control->Bindings.ControlNext;
         Binding != &Control->Bindings; Binding = Binding->ControlNext) {
        UnlinkFromInstance(Binding);
        LinkIntoInstance(Binding);
    }
}

} // namespace kelvo

// ---- instances --------------------------------------------------------------------------------

KELVO_API kelvo_model_instance *KelvoInstantiateModel(kelvo_model const *Model) {
    KELVO_CHECK_NOT_NULL(Model, Origin, nullptr);
    KELVO_CHECK(Model->Skeleton != nullptr, Origin, nullptr);
    SetUpList();
    kelvo_model_instance *Instance = (kelvo_model_instance *)KelvoAllocateFixed(&InstanceAllocator);
    if (!Instance) {
        return nullptr;
    }
    memset(Instance, 0, sizeof(*Instance));
    Instance->Model = Model;
    Instance->Bindings.ModelNext = Instance->Bindings.ModelPrevious = &Instance->Bindings;
    Instance->Bindings.ModelInstance = Instance;
    Instance->Next = InstanceList.Next;
    Instance->Previous = &InstanceList;
    InstanceList.Next->Previous = Instance;
    InstanceList.Next = Instance;
    return Instance;
}

KELVO_API void KelvoFreeModelInstance(kelvo_model_instance *ModelInstance) {
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    while (ModelInstance->Bindings.ModelNext != &ModelInstance->Bindings) {
        FreeControlBinding(ModelInstance->Bindings.ModelNext);
    }
    ModelInstance->Next->Previous = ModelInstance->Previous;
    ModelInstance->Previous->Next = ModelInstance->Next;
    KelvoDeallocateFixed(&InstanceAllocator, ModelInstance);
}

KELVO_GETTER(kelvo_model const *, KelvoGetSourceModel, kelvo_model_instance const, ModelInstance,
             Model, nullptr)

KELVO_ACCESSOR(kelvo_skeleton const *, KelvoGetSourceSkeleton, kelvo_model_instance const,
               ModelInstance, SkeletonOf(ModelInstance), nullptr)

KELVO_GETTER(void **, KelvoGetModelUserDataArray, kelvo_model_instance, ModelInstance, UserData,
             nullptr)

KELVO_API kelvo_model_instance *KelvoGetGlobalModelInstancesBegin(void) {
    return SetUpList()->Next;
}

KELVO_API kelvo_model_instance *KelvoGetGlobalModelInstancesEnd(void) {
    return SetUpList();
}

KELVO_GETTER(kelvo_model_instance *, KelvoGetGlobalNextModelInstance, kelvo_model_instance,
             Instance, Next, nullptr)

KELVO_GETTER(kelvo_model_control_binding *, KelvoModelControlsBegin, kelvo_model_instance, Instance,
             Bindings.ModelNext, nullptr)

KELVO_GETTER(kelvo_model_control_binding *, KelvoModelControlsNext, kelvo_model_control_binding,
             Binding, ModelNext, nullptr)

KELVO_ACCESSOR(kelvo_model_control_binding *, KelvoModelControlsEnd, kelvo_model_instance, Instance,
               &Instance->Bindings, nullptr)

KELVO_GETTER(kelvo_model_control_binding *, KelvoControlModelsBegin, kelvo_control, Control,
             Bindings.ControlNext, nullptr)

KELVO_GETTER(kelvo_model_control_binding *, KelvoControlModelsNext, kelvo_model_control_binding,
             Binding, ControlNext, nullptr)

KELVO_ACCESSOR(kelvo_model_control_binding *, KelvoControlModelsEnd, kelvo_control, Control,
               &Control->Bindings, nullptr)

KELVO_GETTER(kelvo_model_instance *, KelvoGetModelInstanceFromBinding,
             kelvo_model_control_binding const, Binding, ModelInstance, nullptr)

KELVO_GETTER(kelvo_control *, KelvoGetControlFromBinding, kelvo_model_control_binding const,
             Binding, Control, nullptr)

KELVO_API void KelvoSetModelClock(kelvo_model_instance *ModelInstance, kelvo_real32 Clock) {
    KELVO_TIMED_BLOCK("SetModelClock");
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    for (kelvo_model_control_binding *Binding = ModelInstance->Bindings.ModelNext;
         Binding != &ModelInstance->Bindings; Binding = Binding->ModelNext) {
        KelvoSetControlClock(Binding->Control, Clock);
    }
}

// Freeing a control takes its bindings out of the ring, so the walk starts
// over after every free.
KELVO_API void KelvoFreeCompletedModelControls(kelvo_model_instance *ModelInstance) {
    KELVO_TIMED_BLOCK("FreeCompletedModelControls");
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    kelvo_model_control_binding *Binding = ModelInstance->Bindings.ModelNext;
    while (Binding != &ModelInstance->Bindings) {
        if (KelvoFreeControlIfComplete(Binding->Control)) {
            Binding = ModelInstance->Bindings.ModelNext;
        } else {
            Binding = Binding->ModelNext;
        }
    }
}

// ---- sampling ----------------------------------------------------------------------------------

KELVO_API void KelvoAccumulateModelAnimationsLODSparse(kelvo_model_instance *ModelInstance,
                                                       kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                       kelvo_local_pose *Result,
                                                       kelvo_real32 AllowedError,
                                                       kelvo_int32 const *SparseBoneArray) {
    if (!PoseRangeIsValid(ModelInstance, FirstBone, BoneCount, Result)) {
        return;
    }
    ForEachActive(ModelInstance, [&](kelvo_model_control_binding &Binding) {
        Binding.Operations->AccumulateBindingState(Binding, FirstBone, BoneCount, Result,
                                                   AllowedError, SparseBoneArray);
    });
}

KELVO_API void KelvoAccumulateModelAnimationsLOD(kelvo_model_instance *ModelInstance,
                                                 kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                 kelvo_local_pose *Result,
                                                 kelvo_real32 AllowedError) {
    KelvoAccumulateModelAnimationsLODSparse(ModelInstance, FirstBone, BoneCount, Result,
                                            AllowedError, nullptr);
}

KELVO_API void KelvoAccumulateModelAnimations(kelvo_model_instance *ModelInstance,
                                              kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                              kelvo_local_pose *Result) {
    KelvoAccumulateModelAnimationsLODSparse(ModelInstance, FirstBone, BoneCount, Result, 0.0f,
                                            nullptr);
}

KELVO_API void KelvoSampleModelAnimationsLODSparse(kelvo_model_instance *ModelInstance,
                                                   kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                   kelvo_local_pose *Result,
                                                   kelvo_real32 AllowedError,
                                                   kelvo_int32 const *SparseBoneArray) {
    KELVO_TIMED_BLOCK("SampleModelAnimationsLODSparse");
    if (PoseRangeIsValid(ModelInstance, FirstBone, BoneCount, Result)) {
        SampleBindings(ModelInstance, nullptr, FirstBone, BoneCount, Result, AllowedError,
                       SparseBoneArray);
    }
}

KELVO_API void KelvoSampleModelAnimationsLOD(kelvo_model_instance *ModelInstance,
                                             kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                             kelvo_local_pose *Result, kelvo_real32 AllowedError) {
    KelvoSampleModelAnimationsLODSparse(ModelInstance, FirstBone, BoneCount, Result, AllowedError,
                                        nullptr);
}

KELVO_API void KelvoSampleModelAnimations(kelvo_model_instance *ModelInstance,
                                          kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                          kelvo_local_pose *Result) {
    KelvoSampleModelAnimationsLODSparse(ModelInstance, FirstBone, BoneCount, Result, 0.0f, nullptr);
}

KELVO_API kelvo_bool32 KelvoSampleSingleModelAnimationLODSparse(
    kelvo_model_instance *ModelInstance, kelvo_control *Control, kelvo_int32 FirstBone,
    kelvo_int32 BoneCount, kelvo_local_pose *Result, kelvo_real32 AllowedError,
    kelvo_int32 const *SparseBoneArray) {
    KELVO_TIMED_BLOCK("SampleSingleModelAnimationLODSparse");
    KELVO_CHECK_NOT_NULL(Control, Origin, 0);
    if (!PoseRangeIsValid(ModelInstance, FirstBone, BoneCount, Result)) {
        return 0;
    }
    kelvo_model_control_binding *Binding = kelvo::FindBinding(
        &ModelInstance->Bindings, &kelvo_model_control_binding::ModelNext, Control, ModelInstance);
    if (!Binding) {
        KelvoBeginLocalPoseAccumulation(Result, FirstBone, BoneCount, SparseBoneArray);
        KelvoEndLocalPoseAccumulationLOD(Result, FirstBone, BoneCount, SkeletonOf(ModelInstance),
                                         AllowedError, SparseBoneArray);
        return 0;
    }
    SampleBindings(ModelInstance, Binding, FirstBone, BoneCount, Result, AllowedError,
                   SparseBoneArray);
    return 1;
}

KELVO_API kelvo_bool32 KelvoSampleSingleModelAnimationLOD(
    kelvo_model_instance *ModelInstance, kelvo_control *Control, kelvo_int32 FirstBone,
    kelvo_int32 BoneCount, kelvo_local_pose *Result, kelvo_real32 AllowedError) {
    return KelvoSampleSingleModelAnimationLODSparse(ModelInstance, Control, FirstBone, BoneCount,
                                                    Result, AllowedError, nullptr);
}

KELVO_API kelvo_bool32 KelvoSampleSingleModelAnimation(kelvo_model_instance *ModelInstance,
                                                       kelvo_control *Control,
                                                       kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                       kelvo_local_pose *Result) {
    return KelvoSampleSingleModelAnimationLODSparse(ModelInstance, Control, FirstBone, BoneCount,
                                                    Result, 0.0f, nullptr);
}

KELVO_API void
KelvoSampleModelAnimationsAcceleratedLOD(kelvo_model_instance *ModelInstance, kelvo_int32 BoneCount,
                                         kelvo_real32 const *Offset4x4, kelvo_local_pose *Scratch,
                                         kelvo_world_pose *Result, kelvo_real32 AllowedError) {
    KELVO_TIMED_BLOCK("SampleModelAnimationsAcceleratedLOD");
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Result, Origin, KELVO_NOTHING);
    if (!Scratch) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): &Scratch is not allowed to be 0", KELVO_HERE);
        return;
    }
    kelvo_skeleton const *Skeleton = SkeletonOf(ModelInstance);
    BoneCount = BoneCount < Skeleton->BoneCount ? BoneCount : Skeleton->BoneCount;
    if (BoneCount < 0 || BoneCount > Result->BoneCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): BoneCount %d is out of range [%d, %d]",
            KELVO_HERE, BoneCount, 0, Result->BoneCount);
        return;
    }
    alignas(16) kelvo_real32 Offset[16];
    memcpy(Offset, Offset4x4 ? Offset4x4 : IdentityMatrix4x4, sizeof(Offset));

    kelvo_model_control_binding *First = ModelInstance->Bindings.ModelNext;
    bool const None = First == &ModelInstance->Bindings || !BindingIsActive(First);
    bool const One = !None && (First->ModelNext == &ModelInstance->Bindings ||
                               !BindingIsActive(First->ModelNext));
    if (None) {
        KelvoBuildRestWorldPose(Skeleton, 0, BoneCount, Offset, Result);
    } else if (One) {
        First->Operations->BuildBindingDirect(*First, BoneCount, Offset, Result, AllowedError);
    } else {
        kelvo_int32 LODBones = KelvoGetBoneCountForLOD(Skeleton, AllowedError);
        LODBones = LODBones < BoneCount ? LODBones : BoneCount;
        LODBones = LODBones < Scratch->BoneCount ? LODBones : Scratch->BoneCount;
        KelvoSampleModelAnimationsLODSparse(ModelInstance, 0, LODBones, Scratch, AllowedError,
                                            nullptr);
        KelvoBuildWorldPoseLOD(Skeleton, 0, BoneCount, 0, LODBones, Scratch, Offset, Result);
    }
}

KELVO_API void KelvoSampleModelAnimationsAccelerated(kelvo_model_instance *ModelInstance,
                                                     kelvo_int32 BoneCount,
                                                     kelvo_real32 const *Offset4x4,
                                                     kelvo_local_pose *Scratch,
                                                     kelvo_world_pose *Result) {
    KelvoSampleModelAnimationsAcceleratedLOD(ModelInstance, BoneCount, Offset4x4, Scratch, Result,
                                             0.0f);
}

// ---- root motion
// ---------------------------------------------------------------------------------

KELVO_API void KelvoGetRootMotionVectors(kelvo_model_instance *ModelInstance,
                                         kelvo_real32 SecondsElapsed,
                                         kelvo_real32 ResultTranslation[3],
                                         kelvo_real32 ResultRotation[3], kelvo_bool32 Inverse) {
    KELVO_CHECK_NOT_NULL(ResultTranslation, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(ResultRotation, Origin, KELVO_NOTHING);
    memset(ResultTranslation, 0, 3 * sizeof(kelvo_real32));
    memset(ResultRotation, 0, 3 * sizeof(kelvo_real32));
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    kelvo_real32 TotalWeight = 0.0f;
    ForEachActive(ModelInstance, [&](kelvo_model_control_binding &Binding) {
        Binding.Operations->AccumulateLoopTransform(
            Binding, SecondsElapsed, TotalWeight, ResultTranslation, ResultRotation, Inverse != 0);
    });
    if (TotalWeight > 0.001f) {
        for (int Axis = 0; Axis < 3; ++Axis) {
            ResultTranslation[Axis] /= TotalWeight;
            ResultRotation[Axis] /= TotalWeight;
        }
    }
}

KELVO_API void KelvoApplyRootMotionVectorsToMatrix(kelvo_real32 const ModelMatrix[16],
                                                   kelvo_real32 const Translation[3],
                                                   kelvo_real32 const Rotation[3],
                                                   kelvo_real32 Result[16]) {
    KELVO_CHECK_NOT_NULL(ModelMatrix, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Translation, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Rotation, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Result, Origin, KELVO_NOTHING);
    kelvo_real32 R[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    kelvo_real32 const Theta = Length3(Rotation);
    if (Theta > 0.0f) {
        kelvo_real32 const A[3] = {Rotation[0] / Theta, Rotation[1] / Theta, Rotation[2] / Theta};
        kelvo_real32 const C = cosf(Theta), S = sinf(Theta), T = 1.0f - C;
        kelvo_real32 const Skew[9] = {0, -A[2], A[1], A[2], 0, -A[0], -A[1], A[0], 0};
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 3; ++Column) {
                R[3 * Row + Column] = (Row == Column ? C : 0.0f) + T * A[Row] * A[Column] +
                                      S * Skew[3 * Row + Column];
            }
        }
    }
    kelvo_real32 Delta[16] = {};
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Delta[4 * Row + Column] = R[3 * Column + Row]; // rows are R's columns
        }
        Delta[12 + Row] = Translation[Row];
    }
    Delta[15] = 1.0f;
    kelvo_real32 Model[16];
    memcpy(Model, ModelMatrix, sizeof(Model));
    KelvoColumnMatrixMultiply4x4(Result, Delta, Model);
}

KELVO_API void KelvoApplyRootMotionVectorsToLocalPose(kelvo_local_pose *Pose,
                                                      kelvo_real32 const Translation[3],
                                                      kelvo_real32 const Rotation[3]) {
    KELVO_CHECK_NOT_NULL(Pose, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Translation, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Rotation, Origin, KELVO_NOTHING);
    if (Pose->BoneCount < 1) {
        return;
    }
    kelvo_transform &Root = Pose->Transforms[0].Transform;
    for (int Axis = 0; Axis < 3; ++Axis) {
        Root.Position[Axis] += Translation[Axis];
    }
    Root.Flags |= KelvoHasPosition;
    kelvo_real32 const Theta = Length3(Rotation);
    if (Theta > 0.0f) {
        kelvo_real32 const S = sinf(Theta / 2) / Theta;
        kelvo_real32 const Q[4] = {Rotation[0] * S, Rotation[1] * S, Rotation[2] * S,
                                   cosf(Theta / 2)};
        QuaternionMultiply(Root.Orientation, Q, Root.Orientation);
        Root.Flags |= KelvoHasOrientation;
    }
}

KELVO_API void KelvoUpdateModelMatrix(kelvo_model_instance *ModelInstance,
                                      kelvo_real32 SecondsElapsed,
                                      kelvo_real32 const ModelMatrix[16], kelvo_real32 Result[16],
                                      kelvo_bool32 Inverse) {
    KELVO_TIMED_BLOCK("UpdateModelMatrix");
    kelvo_real32 Translation[3], Rotation[3];
    KelvoGetRootMotionVectors(ModelInstance, SecondsElapsed, Translation, Rotation, Inverse);
    KelvoApplyRootMotionVectorsToMatrix(ModelMatrix, Translation, Rotation, Result);
}

// ---- LOD values of every control
// -----------------------------------------------------------------

KELVO_API void KelvoCopyLODErrorValuesToAllAnimations(kelvo_model_instance *ModelInstance,
                                                      kelvo_real32 Scale,
                                                      kelvo_bool32 OnlyIfLarger) {
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    for (kelvo_model_control_binding *Binding = ModelInstance->Bindings.ModelNext;
         Binding != &ModelInstance->Bindings; Binding = Binding->ModelNext) {
        if (kelvo_animation_binding *Bound =
                Binding->Operations->GetControlledAnimation(*Binding)) {
            KelvoCopyLODErrorValuesToAnimation(Bound, Scale, OnlyIfLarger);
        }
    }
}

KELVO_API void KelvoCopyLODErrorValuesFromAllAnimations(kelvo_model_instance *ModelInstance,
                                                        kelvo_real32 Scale) {
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    for (kelvo_model_control_binding *Binding = ModelInstance->Bindings.ModelNext;
         Binding != &ModelInstance->Bindings; Binding = Binding->ModelNext) {
        if (kelvo_animation_binding *Bound =
                Binding->Operations->GetControlledAnimation(*Binding)) {
            KelvoCopyLODErrorValuesFromAnimation(Bound, Scale);
        }
    }
}
