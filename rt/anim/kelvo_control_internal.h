// The records behind controls, model instances and the bindings between
// them, and what the control, controlled-animation, model-instance and
// statistics modules share. A binding sits on two rings at once: its
// control's and its instance's; each ring has a sentinel binding.
#ifndef KELVO_CONTROL_INTERNAL_H
#define KELVO_CONTROL_INTERNAL_H

#include "anim/kelvo_track_internal.h"
#include "kelvo2/kelvo2_model_instance.h"

// The operations of one kind of binding (a controlled animation or a pose).
struct kelvo_model_control_binding_operations {
    kelvo_animation_binding *(*GetControlledAnimation)(kelvo_model_control_binding const &Binding);
    kelvo_local_pose const *(*GetControlledPose)(kelvo_model_control_binding const &Binding);
    void (*AccumulateBindingState)(kelvo_model_control_binding &Binding, kelvo_int32 FirstBone,
                                   kelvo_int32 BoneCount, kelvo_local_pose *Result,
                                   kelvo_real32 AllowedError, kelvo_int32 const *SparseBoneArray);
    void (*BuildBindingDirect)(kelvo_model_control_binding &Binding, kelvo_int32 BoneCount,
                               kelvo_real32 const *Offset4x4, kelvo_world_pose *Result,
                               kelvo_real32 AllowedError);
    void (*AccumulateLoopTransform)(kelvo_model_control_binding &Binding,
                                    kelvo_real32 SecondsElapsed, kelvo_real32 &TotalWeight,
                                    kelvo_real32 *Translation, kelvo_real32 *Rotation,
                                    bool Inverse);
    void (*CleanupBindingState)(kelvo_model_control_binding &Binding);
};

struct controlled_animation_state {
    kelvo_animation_binding *Binding;
    kelvo_accumulation_mode AccumulationMode;
    kelvo_track_mask const *TrackMask;
    kelvo_track_mask const *ModelMask;
    // One per bound track.
    kelvo::track_cursor *Cursors;
};

struct controlled_pose_state {
    kelvo_local_pose const *Pose;
    kelvo_track_mask const *TrackMask;
};

struct kelvo_model_control_binding {
    kelvo_control *Control;
    kelvo_model_control_binding *ControlNext;
    kelvo_model_control_binding *ControlPrevious;
    kelvo_model_instance *ModelInstance;
    kelvo_model_control_binding *ModelNext;
    kelvo_model_control_binding *ModelPrevious;
    kelvo_model_control_binding_operations const *Operations;
    union {
        controlled_animation_state Animation;
        controlled_pose_state Pose;
    } State;
};

enum control_flags : kelvo_uint32 {
    ControlActive = 0x1,
    ControlCompletionCheck = 0x2,
    ControlFreeOnceUnused = 0x4,
    ControlEaseIn = 0x8,
    ControlEaseOut = 0x10,
    ControlForceClampedLooping = 0x20,
};

struct kelvo_control {
    kelvo_model_control_binding Bindings; // the ring's sentinel
    kelvo_uint32 Flags;
    kelvo_real32 CurrentClock;
    kelvo_real32 dTLocalClockPending;
    kelvo_real32 LocalClock;
    kelvo_real32 Speed;
    kelvo_real32 LocalDuration;
    kelvo_int32 LoopIndex;
    kelvo_int32 LoopCount;
    kelvo_real32 CompletionClock;
    kelvo_real32 Weight;
    kelvo_real32 EaseInStartClock;
    kelvo_real32 EaseInEndClock;
    kelvo_uint32 EaseInValues;
    kelvo_real32 EaseOutStartClock;
    kelvo_real32 EaseOutEndClock;
    kelvo_uint32 EaseOutValues;
    void *UserData[4];
    kelvo_control *Next;
    kelvo_control *Previous;
};

struct kelvo_model_instance {
    kelvo_model const *Model;
    kelvo_model_control_binding Bindings; // the ring's sentinel
    void *UserData[4];
    kelvo_model_instance *Next;
    kelvo_model_instance *Previous;
};

namespace kelvo {

// Bound to a control through an instance. Null when out of memory.
kelvo_model_control_binding *BindControl(kelvo_control *Control, kelvo_model_instance *Instance,
                                         kelvo_model_control_binding_operations const *Operations);
// Unlinks it, runs its cleanup, and frees the control when that was its
// last binding and it is marked FreeOnceUnused.
void FreeControlBinding(kelvo_model_control_binding *Binding);
// Moves the control's bindings to the front (active) or back of their rings.
void UpdateControlActivity(kelvo_control *Control);
bool BindingIsActive(kelvo_model_control_binding const *Binding);
// The first binding of the control to the instance on one side's ring (the
// ring at Sentinel, through Next), in that ring's order.
inline kelvo_model_control_binding *
FindBinding(kelvo_model_control_binding *Sentinel,
            kelvo_model_control_binding *kelvo_model_control_binding::*Next,
            kelvo_control const *Control, kelvo_model_instance const *Instance) {
    for (kelvo_model_control_binding *Binding = Sentinel->*Next; Binding != Sentinel;
         Binding = Binding->*Next) {
        if (Binding->Control == Control && Binding->ModelInstance == Instance) {
            return Binding;
        }
    }
    return nullptr;
}

void BringLocalClockUpToDate(kelvo_control *Control);
void GetControlSampleContext(kelvo_control *Control, kelvo_sample_context *Context);
kelvo_real32 EffectiveWeight(kelvo_control const *Control);

// The level-of-detail rule of every sampler: below FadeStart the track's
// LODTransform is used, between it and Allowed a blend towards it.
struct lod_rule {
    kelvo_real32 Allowed;
    kelvo_real32 FadeStart;
    kelvo_real32 FadeScale;
};
lod_rule MakeLODRule(kelvo_real32 AllowedError);

extern kelvo_model_control_binding_operations const ControlledAnimationOperations;

} // namespace kelvo

#endif
