// The monotonic system clock: microseconds from the performance counter,
// cross-checked against the millisecond tick so that a counter that jumps is
// corrected, and never returning an earlier reading than before.
#include "foundation/kelvo_system_clock.h"

#include "foundation/kelvo_log.h"
#include "kelvo_platform.h"

namespace {

constexpr kelvo_int64 MaximumDrift = 200000; // microseconds

kelvo::system_clock_state Clock;

} // namespace

namespace kelvo {

void StartSystemClock(system_clock_state &State, kelvo_uint64 Frequency, kelvo_uint64 Counter,
                      kelvo_uint32 Tick) {
    State.Started = true;
    State.Frequency = Frequency ? Frequency : 1;
    State.FirstCounter = Counter;
    State.RecordedTick = Tick;
    State.LastReading = 0;
    State.Correction = 0;
}

kelvo_int64 AdvanceSystemClock(system_clock_state &State, kelvo_uint64 Counter,
                               kelvo_uint32 Tick) {
    // Split the scaling so that counts * 1,000,000 cannot overflow.
    kelvo_uint64 Delta = Counter - State.FirstCounter;
    kelvo_uint64 Whole = Delta / State.Frequency;
    kelvo_uint64 Rest = Delta % State.Frequency;
    kelvo_int64 CounterTime =
        (kelvo_int64)(Whole * 1000000u + (Rest * 1000000u + State.Frequency / 2) / State.Frequency);
    CounterTime += State.Correction;

    kelvo_int64 TickEstimate =
        State.LastReading + (kelvo_int64)(kelvo_uint32)(Tick - State.RecordedTick) * 1000;
    kelvo_int64 Drift = TickEstimate - CounterTime;
    if (Drift > MaximumDrift || Drift < -MaximumDrift) {
        State.Correction += Drift;
        CounterTime = TickEstimate;
    }
    if (CounterTime >= State.LastReading) {
        State.LastReading = CounterTime;
        State.RecordedTick = Tick;
    }
    return State.LastReading;
}

} // namespace kelvo

KELVO_API void KelvoGetSystemSeconds(kelvo_system_clock *Result) {
    KELVO_CHECK_NOT_NULL(Result, KelvoWin32SubsystemLogMessage, KELVO_NOTHING);
    if (!Clock.Started) {
        kelvo::StartSystemClock(Clock, kelvo::PlatformPerformanceFrequency(),
                                kelvo::PlatformPerformanceCounter(), kelvo::PlatformTickCount());
    }
    kelvo_uint64 Reading = (kelvo_uint64)kelvo::AdvanceSystemClock(
        Clock, kelvo::PlatformPerformanceCounter(), kelvo::PlatformTickCount());
    Result->Data[0] = (kelvo_uint32)Reading;
    Result->Data[1] = (kelvo_uint32)(Reading >> 32);
}

KELVO_API kelvo_real32 KelvoGetSecondsElapsed(kelvo_system_clock const *StartClock,
                                              kelvo_system_clock const *EndClock) {
    KELVO_CHECK_NOT_NULL(StartClock, KelvoWin32SubsystemLogMessage, 0.0f);
    KELVO_CHECK_NOT_NULL(EndClock, KelvoWin32SubsystemLogMessage, 0.0f);
    kelvo_uint64 Start = StartClock->Data[0] | ((kelvo_uint64)StartClock->Data[1] << 32);
    kelvo_uint64 End = EndClock->Data[0] | ((kelvo_uint64)EndClock->Data[1] << 32);
    if (End < Start) {
        return 0.0f;
    }
    return (kelvo_real32)((kelvo_real64)(End - Start) * 0.000001);
}

KELVO_API void KelvoSleepForSeconds(kelvo_real32 Seconds) {
    kelvo_real64 Milliseconds = (kelvo_real64)Seconds * 1000.0 + 0.5;
    if (!(Milliseconds >= 1.0)) {
        return; // negative, zero or not a number
    }
    if (Milliseconds > 4294967295.0) {
        Milliseconds = 4294967295.0;
    }
    kelvo::PlatformSleepMilliseconds((kelvo_uint32)Milliseconds);
}
