// Controls: their lifetime, the process-wide list, and every computation of
// local time, loops and ease. Setting a clock only records the elapsed time;
// each local-time query first brings the local clock up to date. Controls
// trust nothing about the numbers they are given: a zero local duration or a
// clock far outside the loop never divides by zero nor overflows a loop
// index.
#include "anim/kelvo_control_internal.h"

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <math.h>
#include <string.h>

namespace {

using namespace kelvo;

constexpr kelvo_log_message_origin Origin = KelvoControlLogMessage;
constexpr kelvo_real32 Forever = 1.9140881e38f;

kelvo_fixed_allocator ControlAllocator;
kelvo_control ControlList; // the sentinel

// The list's sentinel, set up on first use with the allocator.
kelvo_control *SetUpList() {
    if (!ControlList.Next) {
        ControlList.Next = ControlList.Previous = &ControlList;
        KelvoInitializeFixedAllocator(&ControlAllocator, (kelvo_int32)sizeof(kelvo_control));
    }
    return &ControlList;
}

kelvo_uint32 PackEase(kelvo_real32 const Values[4]) {
    kelvo_uint32 Packed = 0;
    for (int Index = 0; Index < 4; ++Index) {
        kelvo_real32 V = Values[Index] * 255.0f + 0.5f;
        kelvo_uint32 Byte = V <= 0.0f ? 0u : V >= 255.0f ? 255u : (kelvo_uint32)V;
        Packed |= Byte << (8 * Index);
    }
    return Packed;
}

kelvo_uint32 WithFlag(kelvo_uint32 Flags, kelvo_uint32 Flag, bool On) {
    return On ? Flags | Flag : Flags & ~Flag;
}

kelvo_real32 EaseValue(kelvo_uint32 Packed, int Index) {
    return (kelvo_real32)((Packed >> (8 * Index)) & 0xFF) / 255.0f;
}

// The cubic Bezier of the four ease values at Clock within [Start, End].
kelvo_real32 EaseCurve(kelvo_uint32 Values, kelvo_real32 Start, kelvo_real32 Clock,
                       kelvo_real32 End) {
    kelvo_real32 F;
    if (End == Start) {
        F = Clock < Start ? 0.0f : 1.0f;
    } else {
        F = (Clock - Start) / (End - Start);
        F = F < 0.0f ? 0.0f : F > 1.0f ? 1.0f : F;
    }
    kelvo_real32 G = 1.0f - F;
    return G * G * G * EaseValue(Values, 0) + 3.0f * G * G * F * EaseValue(Values, 1) +
           3.0f * G * F * F * EaseValue(Values, 2) + F * F * F * EaseValue(Values, 3);
}

// The quotient truncated toward zero, kept inside the int32 range.
kelvo_int32 LoopsIn(kelvo_real32 LocalClock, kelvo_real32 LocalDuration) {
    kelvo_real32 Quotient = truncf(LocalClock / LocalDuration);
    if (!(Quotient > -2.0e9f)) { // NaN included
        return Quotient != Quotient ? 0 : -2000000000;
    }
    return Quotient < 2.0e9f ? (kelvo_int32)Quotient : 2000000000;
}

// Moves the local clock into the loop it lies in (clamped to the loops that
// exist). A control without duration has no loops to move between.
void WrapLoop(kelvo_control *Control) {
    if (!(Control->LocalDuration > 0.0f)) {
        return;
    }
    kelvo_int64 N = (kelvo_int64)LoopsIn(Control->LocalClock, Control->LocalDuration) +
                    Control->LoopIndex - (Control->LocalClock < 0.0f ? 1 : 0);
    if (Control->LoopCount != 0) {
        N = N < 0 ? 0 : N > Control->LoopCount - 1 ? Control->LoopCount - 1 : N;
    }
    N = N < INT32_MIN ? INT32_MIN : N > INT32_MAX ? INT32_MAX : N;
    if (N != Control->LoopIndex) {
        Control->LocalClock -= (kelvo_real32)(N - Control->LoopIndex) * Control->LocalDuration;
        Control->LoopIndex = (kelvo_int32)N;
    }
}

void FreeControl(kelvo_control *Control) {
    Control->Flags &=
        ~(kelvo_uint32)(ControlActive | ControlCompletionCheck | ControlFreeOnceUnused);
    Control->Next->Previous = Control->Previous;
    Control->Previous->Next = Control->Next;
    while (Control->Bindings.ControlNext != &Control->Bindings) {
        FreeControlBinding(Control->Bindings.ControlNext);
    }
    KelvoDeallocateFixed(&ControlAllocator, Control);
}

} // namespace

namespace kelvo {

void BringLocalClockUpToDate(kelvo_control *Control) {
    kelvo_real32 Pending = Control->dTLocalClockPending;
    if (Pending == 0.0f) {
        return;
    }
    Control->LocalClock += Pending * Control->Speed;
    bool const Forever = Control->LoopCount == 0;
    if ((Control->LocalClock >= 0.0f && Control->LocalClock >= Control->LocalDuration &&
         (Forever || Control->LoopIndex < Control->LoopCount - 1)) ||
        (Control->LocalClock < 0.0f && (Forever || Control->LoopIndex > 0))) {
        WrapLoop(Control);
    }
    Control->dTLocalClockPending = 0.0f;
}

void GetControlSampleContext(kelvo_control *Control, kelvo_sample_context *Context) {
    Context->LocalClock = KelvoGetControlClampedLocalClock(Control);
    Context->LocalDuration = Control->LocalDuration;
    KelvoGetControlLoopState(Control, &Context->UnderflowLoop, &Context->OverflowLoop);
    Context->FrameIndex = 0;
}

kelvo_real32 EffectiveWeight(kelvo_control const *Control) {
    if (!(Control->Flags & ControlActive)) {
        return 0.0f;
    }
    return KelvoGetControlEaseCurveMultiplier(Control) * Control->Weight;
}

} // namespace kelvo

// ---- lifetime ---------------------------------------------------------------------------

KELVO_API kelvo_control *KelvoCreateControl(kelvo_real32 CurrentClock, kelvo_real32 LocalDuration) {
    SetUpList();
    kelvo_control *Control = (kelvo_control *)KelvoAllocateFixed(&ControlAllocator);
    if (!Control) {
        return nullptr;
    }
    memset(Control, 0, sizeof(*Control));
    Control->Bindings.ControlNext = Control->Bindings.ControlPrevious = &Control->Bindings;
    Control->Bindings.Control = Control;
    Control->Flags = ControlActive;
    Control->CurrentClock = CurrentClock;
    Control->Speed = 1.0f;
    Control->LocalDuration = LocalDuration;
    Control->LoopCount = 1;
    Control->Weight = 1.0f;
    Control->EaseInValues = 0xFFFF0000u;
    Control->EaseOutValues = 0x0000FFFFu;
    Control->Next = ControlList.Next;
    Control->Previous = &ControlList;
    ControlList.Next->Previous = Control;
    ControlList.Next = Control;
    return Control;
}

KELVO_ACCESSOR(void, KelvoFreeControl, kelvo_control, Control, FreeControl(Control), KELVO_NOTHING)

KELVO_API void KelvoFreeControlOnceUnused(kelvo_control *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->Flags |= ControlFreeOnceUnused;
    if (Control->Bindings.ControlNext == &Control->Bindings) {
        FreeControl(Control);
    }
}

KELVO_API void KelvoCompleteControlAt(kelvo_control *Control, kelvo_real32 Clock) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->Flags |= ControlCompletionCheck;
    Control->CompletionClock = Clock;
}

KELVO_GETTER(kelvo_real32, KelvoGetControlCompletionClock, kelvo_control const, Control,
             CompletionClock, 0.0f)

KELVO_API kelvo_bool32 KelvoGetControlCompletionCheckFlag(kelvo_control const *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0);
    return (Control->Flags & ControlCompletionCheck) != 0;
}

KELVO_API void KelvoSetControlCompletionCheckFlag(kelvo_control *Control, kelvo_bool32 Check) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->Flags = WithFlag(Control->Flags, ControlCompletionCheck, Check);
}

KELVO_API kelvo_bool32 KelvoControlIsComplete(kelvo_control const *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0);
    return (Control->Flags & ControlCompletionCheck) &&
           Control->CurrentClock >= Control->CompletionClock;
}

KELVO_API kelvo_bool32 KelvoFreeControlIfComplete(kelvo_control *Control) {
    if (!KelvoControlIsComplete(Control)) {
        return 0;
    }
    FreeControl(Control);
    return 1;
}

// ---- clocks -----------------------------------------------------------------------------

KELVO_GETTER(kelvo_real32, KelvoGetControlClock, kelvo_control const, Control, CurrentClock, 0.0f)

KELVO_API void KelvoSetControlClock(kelvo_control *Control, kelvo_real32 Clock) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->dTLocalClockPending += Clock - Control->CurrentClock;
    Control->CurrentClock = Clock;
}

KELVO_SETTER(KelvoSetControlClockOnly, kelvo_control, Control, kelvo_real32, Clock, CurrentClock)

KELVO_API kelvo_real32 KelvoGetControlRawLocalClock(kelvo_control *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0.0f);
    BringLocalClockUpToDate(Control);
    return Control->LocalClock;
}

KELVO_API void KelvoSetControlRawLocalClock(kelvo_control *Control, kelvo_real32 LocalClock) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->LocalClock = LocalClock;
    Control->dTLocalClockPending = 0.0f;
}

KELVO_API kelvo_real32 KelvoGetControlClampedLocalClock(kelvo_control *Control) {
    kelvo_real32 Clock = KelvoGetControlRawLocalClock(Control);
    if (!Control) {
        return 0.0f;
    }
    return Clock < 0.0f ? 0.0f : Clock > Control->LocalDuration ? Control->LocalDuration : Clock;
}

KELVO_GETTER(kelvo_real32, KelvoGetControlLocalDuration, kelvo_control const, Control,
             LocalDuration, 0.0f)

KELVO_GETTER(kelvo_real32, KelvoGetControlSpeed, kelvo_control const, Control, Speed, 0.0f)

KELVO_SETTER(KelvoSetControlSpeed, kelvo_control, Control, kelvo_real32, Speed, Speed)

KELVO_GETTER(kelvo_int32, KelvoGetControlLoopCount, kelvo_control const, Control, LoopCount, 0)

KELVO_SETTER(KelvoSetControlLoopCount, kelvo_control, Control, kelvo_int32, LoopCount, LoopCount)

KELVO_SETTER(KelvoSetControlLoopIndex, kelvo_control, Control, kelvo_int32, LoopIndex, LoopIndex)

KELVO_API kelvo_int32 KelvoGetControlLoopIndex(kelvo_control *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0);
    BringLocalClockUpToDate(Control);
    return Control->LoopIndex;
}

KELVO_API void KelvoGetControlLoopState(kelvo_control *Control, kelvo_bool32 *UnderflowLoop,
                                        kelvo_bool32 *OverflowLoop) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    bool Underflow = true, Overflow = true;
    if (Control->Flags & ControlForceClampedLooping) {
        Underflow = Overflow = false;
    } else if (Control->LoopCount != 0) {
        Underflow = Control->LoopIndex > 0;
        Overflow = Control->LoopIndex < Control->LoopCount - 1;
    }
    if (UnderflowLoop) {
        *UnderflowLoop = Underflow;
    }
    if (OverflowLoop) {
        *OverflowLoop = Overflow;
    }
}

KELVO_API kelvo_real32 KelvoGetControlDuration(kelvo_control const *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0.0f);
    if (Control->LoopCount == 0 || Control->Speed == 0.0f) {
        return Forever;
    }
    return Control->LocalDuration / fabsf(Control->Speed) * (kelvo_real32)Control->LoopCount;
}

// A clock run past the end of the last loop leaves nothing, never less.
KELVO_API kelvo_real32 KelvoGetControlDurationLeft(kelvo_control *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0.0f);
    BringLocalClockUpToDate(Control);
    kelvo_real32 const D = Control->LocalDuration;
    if (Control->LoopCount == 0 || Control->Speed == 0.0f) {
        return Forever;
    }
    kelvo_real32 Left;
    if (Control->Speed > 0.0f) {
        if (Control->LoopIndex >= Control->LoopCount) {
            return 0.0f;
        }
        Left = (D * (kelvo_real32)(Control->LoopCount - Control->LoopIndex - 1) +
                (D - Control->LocalClock)) /
               Control->Speed;
    } else {
        if (Control->LoopIndex < 0) {
            return 0.0f;
        }
        Left = -(D * (kelvo_real32)Control->LoopIndex + Control->LocalClock) / Control->Speed;
    }
    return Left > 0.0f ? Left : 0.0f;
}

KELVO_API void KelvoSetControlTargetState(kelvo_control *Control, kelvo_real32 CurrentClock,
                                          kelvo_real32 TargetClock, kelvo_real32 LocalTime,
                                          kelvo_int32 LoopIndex) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->dTLocalClockPending = 0.0f;
    Control->CurrentClock = CurrentClock;
    Control->LoopIndex = LoopIndex;
    Control->LocalClock = LocalTime - (TargetClock - CurrentClock) * Control->Speed;
    WrapLoop(Control);
}

KELVO_API void KelvoRecenterControlClocks(kelvo_control *Control, kelvo_real32 Delta) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->CurrentClock += Delta;
    Control->CompletionClock += Delta;
    Control->EaseInStartClock += Delta;
    Control->EaseInEndClock += Delta;
    Control->EaseOutStartClock += Delta;
    Control->EaseOutEndClock += Delta;
}

KELVO_API void KelvoRecenterAllControlClocks(kelvo_real32 Delta) {
    SetUpList();
    for (kelvo_control *Control = ControlList.Next; Control != &ControlList;
         Control = Control->Next) {
        KelvoRecenterControlClocks(Control, Delta);
    }
}

KELVO_API void KelvoRecenterAllModelInstanceControlClocks(kelvo_model_instance *ModelInstance,
                                                          kelvo_real32 Delta) {
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, KELVO_NOTHING);
    for (kelvo_model_control_binding *Binding = ModelInstance->Bindings.ModelNext;
         Binding != &ModelInstance->Bindings; Binding = Binding->ModelNext) {
        KelvoRecenterControlClocks(Binding->Control, Delta);
    }
}

KELVO_API void KelvoSetControlForceClampedLooping(kelvo_control *Control, kelvo_bool32 Clamp) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->Flags = WithFlag(Control->Flags, ControlForceClampedLooping, Clamp);
}

// ---- weight and eases -----------------------------------------------------------------------

KELVO_API kelvo_bool32 KelvoControlIsActive(kelvo_control const *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0);
    return (Control->Flags & ControlActive) != 0;
}

KELVO_API void KelvoSetControlActive(kelvo_control *Control, kelvo_bool32 Active) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    kelvo_uint32 Flags = WithFlag(Control->Flags, ControlActive, Active);
    if (Flags != Control->Flags) {
        Control->Flags = Flags;
        UpdateControlActivity(Control);
    }
}

KELVO_GETTER(kelvo_real32, KelvoGetControlWeight, kelvo_control const, Control, Weight, 0.0f)

KELVO_API void KelvoSetControlWeight(kelvo_control *Control, kelvo_real32 Weight) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    bool Changes = (Control->Weight == 0.0f) != (Weight == 0.0f);
    Control->Weight = Weight;
    if (Changes) {
        UpdateControlActivity(Control);
    }
}

KELVO_API kelvo_real32 KelvoGetControlEffectiveWeight(kelvo_control const *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0.0f);
    return EffectiveWeight(Control);
}

KELVO_API void KelvoSetControlEaseIn(kelvo_control *Control, kelvo_bool32 EaseIn) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->Flags = WithFlag(Control->Flags, ControlEaseIn, EaseIn);
}

KELVO_API void KelvoSetControlEaseOut(kelvo_control *Control, kelvo_bool32 EaseOut) {
    KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);
    Control->Flags = WithFlag(Control->Flags, ControlEaseOut, EaseOut);
}

// The ease-in and ease-out curves: two clocks and four packed values each.
#define KELVO_EASE_CURVE_SETTER(Name, Which)                                                       \
    KELVO_API void Name(kelvo_control *Control, kelvo_real32 StartClock, kelvo_real32 EndClock,    \
                        kelvo_real32 StartValue, kelvo_real32 StartTangent,                        \
                        kelvo_real32 EndTangent, kelvo_real32 EndValue) {                          \
        KELVO_CHECK_NOT_NULL(Control, Origin, KELVO_NOTHING);                                      \
        kelvo_real32 const Values[4] = {StartValue, StartTangent, EndTangent, EndValue};           \
        Control->Which##StartClock = StartClock;                                                   \
        Control->Which##EndClock = EndClock;                                                       \
        Control->Which##Values = PackEase(Values);                                                 \
    }
KELVO_EASE_CURVE_SETTER(KelvoSetControlEaseInCurve, EaseIn)
KELVO_EASE_CURVE_SETTER(KelvoSetControlEaseOutCurve, EaseOut)
#undef KELVO_EASE_CURVE_SETTER

KELVO_API kelvo_real32 KelvoEaseControlIn(kelvo_control *Control, kelvo_real32 Duration,
                                          kelvo_bool32 FromCurrent) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0.0f);
    kelvo_real32 V = FromCurrent ? KelvoGetControlEaseCurveMultiplier(Control) : 0.0f;
    Control->Flags = (Control->Flags | ControlEaseIn) & ~(kelvo_uint32)ControlEaseOut;
    kelvo_real32 End = Control->CurrentClock + Duration;
    KelvoSetControlEaseInCurve(Control, Control->CurrentClock, End, V, V, 1.0f, 1.0f);
    return End;
}

KELVO_API kelvo_real32 KelvoEaseControlOut(kelvo_control *Control, kelvo_real32 Duration) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0.0f);
    kelvo_real32 V = KelvoGetControlEaseCurveMultiplier(Control);
    Control->Flags = (Control->Flags | ControlEaseOut) & ~(kelvo_uint32)ControlEaseIn;
    kelvo_real32 End = Control->CurrentClock + Duration;
    KelvoSetControlEaseOutCurve(Control, Control->CurrentClock, End, V, V, 0.0f, 0.0f);
    return End;
}

KELVO_API kelvo_real32 KelvoGetControlEaseCurveMultiplier(kelvo_control const *Control) {
    KELVO_CHECK_NOT_NULL(Control, Origin, 0.0f);
    kelvo_control const &C = *Control;
    kelvo_real32 const Clock = C.CurrentClock;
    bool const In = (C.Flags & ControlEaseIn) != 0, Out = (C.Flags & ControlEaseOut) != 0;
    if (In && Out && C.EaseInStartClock >= C.EaseOutStartClock) {
        // An ease-out followed by an ease-in, with a straight line between.
        if (Clock <= C.EaseOutEndClock) {
            return EaseCurve(C.EaseOutValues, C.EaseOutStartClock, Clock, C.EaseOutEndClock);
        }
        if (Clock <= C.EaseInStartClock) {
            kelvo_real32 From = EaseValue(C.EaseOutValues, 3), To = EaseValue(C.EaseInValues, 0);
            kelvo_real32 Span = C.EaseInStartClock - C.EaseOutEndClock;
            kelvo_real32 F = Span > 0.0f ? (Clock - C.EaseOutEndClock) / Span : 1.0f;
            return From + (To - From) * F;
        }
        if (Clock <= C.EaseInEndClock) {
            return EaseCurve(C.EaseInValues, C.EaseInStartClock, Clock, C.EaseInEndClock);
        }
        return 1.0f;
    }
    kelvo_real32 Multiplier = 1.0f;
    if (Out && Clock >= C.EaseOutStartClock) {
        Multiplier = EaseCurve(C.EaseOutValues, C.EaseOutStartClock, Clock, C.EaseOutEndClock);
    }
    if (In && Clock <= C.EaseInEndClock) {
        return EaseCurve(C.EaseInValues, C.EaseInStartClock, Clock, C.EaseInEndClock);
    }
    return Multiplier;
}

KELVO_GETTER(void **, KelvoGetControlUserDataArray, kelvo_control, Control, UserData, nullptr)

// ---- the global list and masks ----------------------------------------------------------------

KELVO_API kelvo_control *KelvoGetGlobalControlsBegin(void) {
    return SetUpList()->Next;
}

KELVO_API kelvo_control *KelvoGetGlobalControlsEnd(void) {
    return SetUpList();
}

KELVO_GETTER(kelvo_control *, KelvoGetGlobalNextControl, kelvo_control, Control, Next, nullptr)

KELVO_API kelvo_track_mask *
KelvoGetControlTrackGroupModelMask(kelvo_control *Control, kelvo_model_instance *ModelInstance) {
    KELVO_CHECK_NOT_NULL(Control, Origin, nullptr);
    kelvo_model_control_binding *Binding = kelvo::FindBinding(
        &Control->Bindings, &kelvo_model_control_binding::ControlNext, Control, ModelInstance);
    if (!Binding || Binding->Operations != &ControlledAnimationOperations) {
        return nullptr;
    }
    return const_cast<kelvo_track_mask *>(Binding->State.Animation.ModelMask);
}

KELVO_API kelvo_track_mask *KelvoGetControlTrackGroupTrackMask(kelvo_control *Control,
                                                               kelvo_animation const *Animation,
                                                               kelvo_int32 TrackGroupIndex) {
    KELVO_CHECK_NOT_NULL(Control, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(Animation, Origin, nullptr);
    if (TrackGroupIndex < 0 || TrackGroupIndex >= Animation->TrackGroupCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): TrackGroupIndex %d is out of range [0, %d)",
            KELVO_HERE, TrackGroupIndex, Animation->TrackGroupCount);
        return nullptr;
    }
    for (kelvo_model_control_binding *Binding = Control->Bindings.ControlNext;
         Binding != &Control->Bindings; Binding = Binding->ControlNext) {
        kelvo_animation_binding *Bound = Binding->Operations->GetControlledAnimation(*Binding);
        if (Bound && Bound->ID.Animation == Animation &&
            Bound->ID.SourceTrackGroupIndex == TrackGroupIndex) {
            return const_cast<kelvo_track_mask *>(Binding->State.Animation.TrackMask);
        }
    }
    return nullptr;
}
