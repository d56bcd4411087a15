/* kelvo2: controls and controlled animations. A control is the playback state
   of one animation or pose: a global clock, a local clock that runs at a speed
   and loops LoopCount times (0: forever) over a local duration, a weight,
   optional ease-in and ease-out curves and a completion time. Controls are
   bound to model instances (kelvo2_model_instance.h); each such binding knows
   how to accumulate into a local pose, build a world pose directly and
   contribute root motion.

   Conventions of the area:
   - Messages go under origin Control.
   - Setting the control's clock only records the elapsed time; the local
     clock is brought up to date (and wrapped into its loop) by every query
     of local time. In the last loop the raw local clock runs past the
     duration; the clamped local clock stops at it.
   - Ease values are four bytes, byte 0 first, each b standing for b/255;
     the curve is the cubic Bezier of the four values over its clock span.
   - Controls and their bindings are process-wide and unguarded. */
#ifndef KELVO2_CONTROL_H
#define KELVO2_CONTROL_H

#include "kelvo2_animation_binding.h"
#include "kelvo2_file_info.h"
#include "kelvo2_local_pose.h"
#include "kelvo2_track_mask.h"
#include "kelvo2_types.h"

typedef struct kelvo_control kelvo_control;
typedef struct kelvo_model_instance kelvo_model_instance;
typedef struct kelvo_model_control_binding kelvo_model_control_binding;
typedef struct kelvo_controlled_animation_builder kelvo_controlled_animation_builder;

typedef enum kelvo_accumulation_mode {
    KelvoNoAccumulation = 0,
    KelvoConstantExtractionAccumulation = 1,
    KelvoVariableDeltaAccumulation = 2,
    KelvoAccumulationModeForceInt = 0x7fffffff
} kelvo_accumulation_mode;

/* Track-group flag bits that choose the default accumulation mode. */
#define KELVO_TRACK_GROUP_CONSTANT_EXTRACTION 0x1
#define KELVO_TRACK_GROUP_VARIABLE_DELTA 0x4

/* ---- lifetime ------------------------------------------------------------- */

/* Active, speed 1, one loop, weight 1, eases off; null when out of memory. */
KELVO_API kelvo_control *KelvoCreateControl(kelvo_real32 CurrentClock,
                                            kelvo_real32 LocalDuration);
/* Frees the control and its bindings (which release their animation bindings). */
KELVO_API void KelvoFreeControl(kelvo_control *Control);
/* Frees it when its last binding goes (now, if it has none). */
KELVO_API void KelvoFreeControlOnceUnused(kelvo_control *Control);
KELVO_API void KelvoCompleteControlAt(kelvo_control *Control, kelvo_real32 Clock);
KELVO_API kelvo_real32 KelvoGetControlCompletionClock(kelvo_control const *Control);
KELVO_API kelvo_bool32 KelvoGetControlCompletionCheckFlag(kelvo_control const *Control);
KELVO_API void KelvoSetControlCompletionCheckFlag(kelvo_control *Control, kelvo_bool32 Check);
KELVO_API kelvo_bool32 KelvoControlIsComplete(kelvo_control const *Control);
/* Frees the control when complete; returns whether it did. */
KELVO_API kelvo_bool32 KelvoFreeControlIfComplete(kelvo_control *Control);

/* ---- clocks ----------------------------------------------------------------- */

KELVO_API kelvo_real32 KelvoGetControlClock(kelvo_control const *Control);
/* Advances local time by the clock's change times the speed. */
KELVO_API void KelvoSetControlClock(kelvo_control *Control, kelvo_real32 Clock);
/* Moves the clock without advancing local time. */
KELVO_API void KelvoSetControlClockOnly(kelvo_control *Control, kelvo_real32 Clock);
KELVO_API kelvo_real32 KelvoGetControlRawLocalClock(kelvo_control *Control);
KELVO_API void KelvoSetControlRawLocalClock(kelvo_control *Control, kelvo_real32 LocalClock);
KELVO_API kelvo_real32 KelvoGetControlClampedLocalClock(kelvo_control *Control);
KELVO_API kelvo_real32 KelvoGetControlLocalDuration(kelvo_control const *Control);
KELVO_API kelvo_real32 KelvoGetControlSpeed(kelvo_control const *Control);
KELVO_API void KelvoSetControlSpeed(kelvo_control *Control, kelvo_real32 Speed);
KELVO_API kelvo_int32 KelvoGetControlLoopCount(kelvo_control const *Control);
KELVO_API void KelvoSetControlLoopCount(kelvo_control *Control, kelvo_int32 LoopCount);
KELVO_API void KelvoSetControlLoopIndex(kelvo_control *Control, kelvo_int32 LoopIndex);
KELVO_API kelvo_int32 KelvoGetControlLoopIndex(kelvo_control *Control);
/* Whether sampling wraps times before 0 and after the duration. */
KELVO_API void KelvoGetControlLoopState(kelvo_control *Control, kelvo_bool32 *UnderflowLoop,
                                        kelvo_bool32 *OverflowLoop);
/* Global seconds of all loops, and of those left (never negative); the
   largest LOD error value stands for forever. */
KELVO_API kelvo_real32 KelvoGetControlDuration(kelvo_control const *Control);
KELVO_API kelvo_real32 KelvoGetControlDurationLeft(kelvo_control *Control);
/* Places the control so that it reaches LocalTime of loop LoopIndex at
   TargetClock. */
KELVO_API void KelvoSetControlTargetState(kelvo_control *Control, kelvo_real32 CurrentClock,
                                          kelvo_real32 TargetClock, kelvo_real32 LocalTime,
                                          kelvo_int32 LoopIndex);
/* Shifts every global clock of the control (current, completion, eases). */
KELVO_API void KelvoRecenterControlClocks(kelvo_control *Control, kelvo_real32 Delta);
KELVO_API void KelvoRecenterAllControlClocks(kelvo_real32 Delta);
KELVO_API void KelvoRecenterAllModelInstanceControlClocks(kelvo_model_instance *ModelInstance,
                                                          kelvo_real32 Delta);
/* Sampling never wraps. */
KELVO_API void KelvoSetControlForceClampedLooping(kelvo_control *Control, kelvo_bool32 Clamp);

/* ---- weight and eases ----------------------------------------------------------- */

KELVO_API kelvo_bool32 KelvoControlIsActive(kelvo_control const *Control);
KELVO_API void KelvoSetControlActive(kelvo_control *Control, kelvo_bool32 Active);
KELVO_API kelvo_real32 KelvoGetControlWeight(kelvo_control const *Control);
KELVO_API void KelvoSetControlWeight(kelvo_control *Control, kelvo_real32 Weight);
/* 0 when inactive, else the ease multiplier times the weight. */
KELVO_API kelvo_real32 KelvoGetControlEffectiveWeight(kelvo_control const *Control);
KELVO_API void KelvoSetControlEaseIn(kelvo_control *Control, kelvo_bool32 EaseIn);
KELVO_API void KelvoSetControlEaseOut(kelvo_control *Control, kelvo_bool32 EaseOut);
KELVO_API void KelvoSetControlEaseInCurve(kelvo_control *Control, kelvo_real32 StartClock,
                                          kelvo_real32 EndClock, kelvo_real32 StartValue,
                                          kelvo_real32 StartTangent, kelvo_real32 EndTangent,
                                          kelvo_real32 EndValue);
KELVO_API void KelvoSetControlEaseOutCurve(kelvo_control *Control, kelvo_real32 StartClock,
                                           kelvo_real32 EndClock, kelvo_real32 StartValue,
                                           kelvo_real32 StartTangent, kelvo_real32 EndTangent,
                                           kelvo_real32 EndValue);
/* Eases in from now over Duration, from the current multiplier (or from 0);
   returns the end clock. */
KELVO_API kelvo_real32 KelvoEaseControlIn(kelvo_control *Control, kelvo_real32 Duration,
                                          kelvo_bool32 FromCurrent);
KELVO_API kelvo_real32 KelvoEaseControlOut(kelvo_control *Control, kelvo_real32 Duration);
KELVO_API kelvo_real32 KelvoGetControlEaseCurveMultiplier(kelvo_control const *Control);

KELVO_API void **KelvoGetControlUserDataArray(kelvo_control *Control);

/* All controls, newest first; End is a sentinel, never a control. */
KELVO_API kelvo_control *KelvoGetGlobalControlsBegin(void);
KELVO_API kelvo_control *KelvoGetGlobalControlsEnd(void);
KELVO_API kelvo_control *KelvoGetGlobalNextControl(kelvo_control *Control);

KELVO_API kelvo_track_mask *KelvoGetControlTrackGroupModelMask(kelvo_control *Control,
                                                               kelvo_model_instance *ModelInstance);
KELVO_API kelvo_track_mask *KelvoGetControlTrackGroupTrackMask(kelvo_control *Control,
                                                               kelvo_animation const *Animation,
                                                               kelvo_int32 TrackGroupIndex);

/* ---- controlled animations ------------------------------------------------------ */

/* One entry per track group, none targeted yet. */
KELVO_API kelvo_controlled_animation_builder *
KelvoBeginControlledAnimation(kelvo_real32 CurrentClock, kelvo_animation const *Animation);
KELVO_API void KelvoUseExistingControlForAnimation(kelvo_controlled_animation_builder *Builder,
                                                   kelvo_control *Control);
KELVO_API void KelvoSetTrackMatchRule(kelvo_controlled_animation_builder *Builder,
                                      kelvo_int32 TrackGroupIndex, char const *TrackPattern,
                                      char const *BonePattern);
KELVO_API void KelvoSetTrackGroupTarget(kelvo_controlled_animation_builder *Builder,
                                        kelvo_int32 TrackGroupIndex,
                                        kelvo_model_instance *ModelInstance);
/* Uses (and acquires) this binding instead of the cache's. */
KELVO_API void KelvoSetTrackGroupBinding(kelvo_controlled_animation_builder *Builder,
                                         kelvo_int32 TrackGroupIndex,
                                         kelvo_animation_binding *Binding);
KELVO_API void KelvoSetTrackGroupBasisTransform(kelvo_controlled_animation_builder *Builder,
                                                kelvo_int32 TrackGroupIndex,
                                                kelvo_model const *FromModel,
                                                kelvo_model const *ToModel);
KELVO_API void KelvoSetTrackGroupTrackMask(kelvo_controlled_animation_builder *Builder,
                                           kelvo_int32 TrackGroupIndex, kelvo_track_mask *Mask);
KELVO_API void KelvoSetTrackGroupModelMask(kelvo_controlled_animation_builder *Builder,
                                           kelvo_int32 TrackGroupIndex, kelvo_track_mask *Mask);
KELVO_API void KelvoSetTrackGroupAccumulation(kelvo_controlled_animation_builder *Builder,
                                              kelvo_int32 TrackGroupIndex,
                                              kelvo_accumulation_mode Mode);
/* Copy the track group's LOD errors, times Scale, into the binding. */
KELVO_API void KelvoSetTrackGroupLOD(kelvo_controlled_animation_builder *Builder,
                                     kelvo_int32 TrackGroupIndex, kelvo_bool32 CopyFromAnimation,
                                     kelvo_real32 Scale);
/* Binds every targeted track group; frees the builder. Null on failure. */
KELVO_API kelvo_control *KelvoEndControlledAnimation(kelvo_controlled_animation_builder *Builder);

/* The index of the track group named like the model, or false and -1. */
KELVO_API kelvo_bool32 KelvoFindTrackGroupForModel(kelvo_animation const *Animation,
                                                   kelvo_model const *Model,
                                                   kelvo_int32 *TrackGroupIndex);
KELVO_API kelvo_control *KelvoPlayControlledAnimation(kelvo_real32 CurrentClock,
                                                      kelvo_animation const *Animation,
                                                      kelvo_model_instance *ModelInstance);
KELVO_API kelvo_control *
KelvoPlayControlledAnimationBinding(kelvo_real32 CurrentClock, kelvo_animation const *Animation,
                                    kelvo_animation_binding *Binding,
                                    kelvo_model_instance *ModelInstance);
KELVO_API kelvo_animation_binding *
KelvoGetAnimationBindingFromControlBinding(kelvo_model_control_binding const *Binding);

/* A fixed pose played like an animation of the given duration; the pose
   must outlive the control. */
KELVO_API kelvo_control *KelvoPlayControlledPose(kelvo_real32 CurrentClock,
                                                 kelvo_real32 Duration,
                                                 kelvo_local_pose const *LocalPose,
                                                 kelvo_model_instance *ModelInstance,
                                                 kelvo_track_mask const *TrackMask);
KELVO_API kelvo_local_pose const *
KelvoGetLocalPoseFromControlBinding(kelvo_model_control_binding const *Binding);

#endif
