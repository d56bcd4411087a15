/* kelvo2: model instances, live copies of a model that controls play on.
   An instance owns only the ring of its control bindings (active ones
   first: a binding is active while its control is active with a non-zero
   weight) and four user data slots. Through it the application advances
   clocks, frees finished controls, samples every playing animation into a
   local pose or straight into a world pose, and takes root motion.

   Conventions of the area:
   - Messages go under origin Animation.
   - Root motion is a translation and a rotation vector (axis times angle in
     radians), in the model's space, for the seconds elapsed up to the
     controls' current clocks; Inverse asks for the motion backwards.
   - Sampling walks the ring from the front and stops at the first
     inactive binding. */
#ifndef KELVO2_MODEL_INSTANCE_H
#define KELVO2_MODEL_INSTANCE_H

#include "kelvo2_control.h"
#include "kelvo2_world_pose.h"

KELVO_API kelvo_model_instance *KelvoInstantiateModel(kelvo_model const *Model);
/* Frees its bindings; controls marked FreeOnceUnused that lose their last
   binding go with them. */
KELVO_API void KelvoFreeModelInstance(kelvo_model_instance *ModelInstance);
KELVO_API kelvo_model const *KelvoGetSourceModel(kelvo_model_instance const *ModelInstance);
KELVO_API kelvo_skeleton const *KelvoGetSourceSkeleton(kelvo_model_instance const *ModelInstance);
KELVO_API void **KelvoGetModelUserDataArray(kelvo_model_instance *ModelInstance);

/* All instances, newest first; End is a sentinel. */
KELVO_API kelvo_model_instance *KelvoGetGlobalModelInstancesBegin(void);
KELVO_API kelvo_model_instance *KelvoGetGlobalModelInstancesEnd(void);
KELVO_API kelvo_model_instance *KelvoGetGlobalNextModelInstance(kelvo_model_instance *Instance);

/* The instance's bindings from the front; End is a sentinel. */
KELVO_API kelvo_model_control_binding *KelvoModelControlsBegin(kelvo_model_instance *Instance);
KELVO_API kelvo_model_control_binding *KelvoModelControlsNext(kelvo_model_control_binding *Binding);
KELVO_API kelvo_model_control_binding *KelvoModelControlsEnd(kelvo_model_instance *Instance);
/* The control's bindings, one per instance it plays on. */
KELVO_API kelvo_model_control_binding *KelvoControlModelsBegin(kelvo_control *Control);
KELVO_API kelvo_model_control_binding *KelvoControlModelsNext(kelvo_model_control_binding *Binding);
KELVO_API kelvo_model_control_binding *KelvoControlModelsEnd(kelvo_control *Control);
KELVO_API kelvo_model_instance *
KelvoGetModelInstanceFromBinding(kelvo_model_control_binding const *Binding);
KELVO_API kelvo_control *KelvoGetControlFromBinding(kelvo_model_control_binding const *Binding);

/* Sets the clock of every control bound to the instance. */
KELVO_API void KelvoSetModelClock(kelvo_model_instance *ModelInstance, kelvo_real32 Clock);
KELVO_API void KelvoFreeCompletedModelControls(kelvo_model_instance *ModelInstance);

/* Adds every active binding to a pose already in accumulation. A sparse
   array maps pose positions to skeleton bones (kelvo2_local_pose.h). */
KELVO_API void KelvoAccumulateModelAnimations(kelvo_model_instance *ModelInstance,
                                              kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                              kelvo_local_pose *Result);
KELVO_API void KelvoAccumulateModelAnimationsLOD(kelvo_model_instance *ModelInstance,
                                                 kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                 kelvo_local_pose *Result,
                                                 kelvo_real32 AllowedError);
KELVO_API void KelvoAccumulateModelAnimationsLODSparse(kelvo_model_instance *ModelInstance,
                                                       kelvo_int32 FirstBone,
                                                       kelvo_int32 BoneCount,
                                                       kelvo_local_pose *Result,
                                                       kelvo_real32 AllowedError,
                                                       kelvo_int32 const *SparseBoneArray);
/* Begins, accumulates and ends: bones without enough weight take rest. */
KELVO_API void KelvoSampleModelAnimations(kelvo_model_instance *ModelInstance,
                                          kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                          kelvo_local_pose *Result);
KELVO_API void KelvoSampleModelAnimationsLOD(kelvo_model_instance *ModelInstance,
                                             kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                             kelvo_local_pose *Result, kelvo_real32 AllowedError);
KELVO_API void KelvoSampleModelAnimationsLODSparse(kelvo_model_instance *ModelInstance,
                                                   kelvo_int32 FirstBone, kelvo_int32 BoneCount,
                                                   kelvo_local_pose *Result,
                                                   kelvo_real32 AllowedError,
                                                   kelvo_int32 const *SparseBoneArray);
/* The same with the control's binding on this instance alone; true when
   the control plays on the instance. */
KELVO_API kelvo_bool32 KelvoSampleSingleModelAnimation(kelvo_model_instance *ModelInstance,
                                                       kelvo_control *Control,
                                                       kelvo_int32 FirstBone,
                                                       kelvo_int32 BoneCount,
                                                       kelvo_local_pose *Result);
KELVO_API kelvo_bool32 KelvoSampleSingleModelAnimationLOD(kelvo_model_instance *ModelInstance,
                                                          kelvo_control *Control,
                                                          kelvo_int32 FirstBone,
                                                          kelvo_int32 BoneCount,
                                                          kelvo_local_pose *Result,
                                                          kelvo_real32 AllowedError);
KELVO_API kelvo_bool32 KelvoSampleSingleModelAnimationLODSparse(
    kelvo_model_instance *ModelInstance, kelvo_control *Control, kelvo_int32 FirstBone,
    kelvo_int32 BoneCount, kelvo_local_pose *Result, kelvo_real32 AllowedError,
    kelvo_int32 const *SparseBoneArray);
/* Straight to the world pose: rest without an active binding, one pass
   without a local pose for exactly one, else through Scratch. */
KELVO_API void KelvoSampleModelAnimationsAccelerated(kelvo_model_instance *ModelInstance,
                                                     kelvo_int32 BoneCount,
                                                     kelvo_real32 const *Offset4x4,
                                                     kelvo_local_pose *Scratch,
                                                     kelvo_world_pose *Result);
KELVO_API void KelvoSampleModelAnimationsAcceleratedLOD(kelvo_model_instance *ModelInstance,
                                                        kelvo_int32 BoneCount,
                                                        kelvo_real32 const *Offset4x4,
                                                        kelvo_local_pose *Scratch,
                                                        kelvo_world_pose *Result,
                                                        kelvo_real32 AllowedError);

/* ---- root motion ---------------------------------------------------------------- */

/* The weighted mean of the active bindings' motion over the last
   SecondsElapsed; zero when nothing contributes. */
KELVO_API void KelvoGetRootMotionVectors(kelvo_model_instance *ModelInstance,
                                         kelvo_real32 SecondsElapsed,
                                         kelvo_real32 ResultTranslation[3],
                                         kelvo_real32 ResultRotation[3], kelvo_bool32 Inverse);
/* Splits the vectors into the parts the degrees of freedom allow and the
   rest (the DOF flags of KelvoClipPositionDOFs). */
KELVO_API void KelvoClipRootMotionVectors(
    kelvo_real32 const Translation[3], kelvo_real32 const Rotation[3], kelvo_uint32 AllowedDOFs,
    kelvo_real32 AllowedTranslation[3], kelvo_real32 AllowedRotation[3],
    kelvo_real32 DisallowedTranslation[3], kelvo_real32 DisallowedRotation[3]);
/* Result = delta x ModelMatrix (row-vector composites); Result may be
   ModelMatrix. */
KELVO_API void KelvoApplyRootMotionVectorsToMatrix(kelvo_real32 const ModelMatrix[16],
                                                   kelvo_real32 const Translation[3],
                                                   kelvo_real32 const Rotation[3],
                                                   kelvo_real32 Result[16]);
/* Moves and turns bone 0. */
KELVO_API void KelvoApplyRootMotionVectorsToLocalPose(kelvo_local_pose *Pose,
                                                      kelvo_real32 const Translation[3],
                                                      kelvo_real32 const Rotation[3]);
KELVO_API void KelvoUpdateModelMatrix(kelvo_model_instance *ModelInstance,
                                      kelvo_real32 SecondsElapsed,
                                      kelvo_real32 const ModelMatrix[16], kelvo_real32 Result[16],
                                      kelvo_bool32 Inverse);

/* ---- level-of-detail values of every control on the instance ---------------------- */

KELVO_API void KelvoCopyLODErrorValuesToAllAnimations(kelvo_model_instance *ModelInstance,
                                                      kelvo_real32 Scale,
                                                      kelvo_bool32 OnlyIfLarger);
KELVO_API void KelvoCopyLODErrorValuesFromAllAnimations(kelvo_model_instance *ModelInstance,
                                                        kelvo_real32 Scale);

#endif
