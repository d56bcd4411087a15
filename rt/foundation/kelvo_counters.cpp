// The table of timing counters behind KELVO_TIMED_BLOCK, their reset and peak
// rules, and their conversion to seconds.
#include "foundation/kelvo_counters.h"

#include "kelvo2/kelvo2_system_clock.h"
#include "foundation/kelvo_log.h"
#include "kelvo_platform.h"

namespace {

// The library wraps about 130 operations; leave room for the rest.
constexpr kelvo_int32 MaximumCounterCount = 512;

kelvo::counter Counters[MaximumCounterCount];
kelvo_int32 CounterCount = 0;
kelvo::counter Root = {"Root", 0, 0, 0, 0, 0, 0};
kelvo_real64 TicksPerSecond = 0.0;

kelvo_uint64 Larger(kelvo_uint64 A, kelvo_uint64 B) { return A > B ? A : B; }

kelvo_uint64 ExclusiveCycles(kelvo::counter const &Counter) {
    // Guard against a child that outlived its parent's own reading.
    return Counter.TotalCycles > Counter.ChildCycles ? Counter.TotalCycles - Counter.ChildCycles
                                                     : 0;
}

} // namespace

namespace kelvo {

counter *CurrentCounter = &Root;

counter *RegisterCounter(char const *Name) {
    if (CounterCount >= MaximumCounterCount) {
        return nullptr;
    }
    counter *Counter = &Counters[CounterCount++];
    *Counter = counter{Name, 0, 0, 0, 0, 0, 0};
    return Counter;
}

kelvo_uint64 ReadCycleCounterFallback() { return PlatformPerformanceCounter(); }

} // namespace kelvo

KELVO_API kelvo_int32 KelvoGetCounterCount(void) { return CounterCount; }

KELVO_API kelvo_real64 KelvoGetCounterTicksPerSecond(void) {
    if (TicksPerSecond == 0.0) {
        kelvo_system_clock StartClock, EndClock;
        KelvoGetSystemSeconds(&StartClock);
        kelvo_uint64 StartCycles = kelvo::ReadCycleCounter();
        kelvo::PlatformSleepMilliseconds(1);
        KelvoGetSystemSeconds(&EndClock);
        kelvo_uint64 EndCycles = kelvo::ReadCycleCounter();
        kelvo_real64 Seconds = KelvoGetSecondsElapsed(&StartClock, &EndClock);
        if (Seconds > 0.0 && EndCycles > StartCycles) {
            TicksPerSecond = (kelvo_real64)(EndCycles - StartCycles) / Seconds;
        }
    }
    return TicksPerSecond;
}

KELVO_API void KelvoResetCounters(void) {
    for (kelvo_int32 Index = 0; Index < CounterCount; ++Index) {
        kelvo::counter &Counter = Counters[Index];
        if (Counter.Count > Counter.PeakCount) {
            Counter.PeakCount = Counter.Count;
        }
        Counter.PeakTotalCycles = Larger(Counter.PeakTotalCycles, Counter.TotalCycles);
        Counter.PeakExclusiveCycles = Larger(Counter.PeakExclusiveCycles, ExclusiveCycles(Counter));
        Counter.Count = 0;
        Counter.TotalCycles = 0;
        Counter.ChildCycles = 0;
    }
}

KELVO_API void KelvoResetCounterPeaks(void) {
    for (kelvo_int32 Index = 0; Index < CounterCount; ++Index) {
        Counters[Index].PeakCount = 0;
        Counters[Index].PeakTotalCycles = 0;
        Counters[Index].PeakExclusiveCycles = 0;
    }
}

KELVO_API void KelvoGetCounterResults(kelvo_int32 CounterIndex, kelvo_counter_results *Results) {
    KELVO_CHECK_NOT_NULL(Results, KelvoApplicationLogMessage, KELVO_NOTHING);
    if (CounterIndex < 0 || CounterIndex >= CounterCount) {
        kelvo::Log(KelvoErrorLogMessage, KelvoApplicationLogMessage,
                   "%s(%d): CounterIndex %d is out of range [0, %d)", KELVO_HERE, CounterIndex,
                   CounterCount);
        *Results = kelvo_counter_results{};
        return;
    }
    kelvo::counter const &Counter = Counters[CounterIndex];
    kelvo_real64 Ticks = KelvoGetCounterTicksPerSecond();
    kelvo_real64 SecondsPerTick = Ticks > 0.0 ? 1.0 / Ticks : 0.0;
    Results->Name = Counter.Name;
    Results->Count = Counter.Count;
    Results->TotalCycles = (kelvo_real64)Counter.TotalCycles;
    Results->TotalCyclesWithoutChildren = (kelvo_real64)ExclusiveCycles(Counter);
    Results->TotalSeconds = Results->TotalCycles * SecondsPerTick;
    Results->TotalSecondsWithoutChildren = Results->TotalCyclesWithoutChildren * SecondsPerTick;
    Results->PeakCount = Counter.PeakCount;
    Results->PeakTotalSeconds = (kelvo_real64)Counter.PeakTotalCycles * SecondsPerTick;
    Results->PeakTotalSecondsWithoutChildren =
        (kelvo_real64)Counter.PeakExclusiveCycles * SecondsPerTick;
}
