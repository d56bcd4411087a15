/* kelvo2: timing counters. Every costly operation of the library runs inside a
   named block that counts its calls and processor cycles. */
#ifndef KELVO2_COUNTERS_H
#define KELVO2_COUNTERS_H

#include "kelvo2_types.h"

typedef struct kelvo_counter_results {
    char const *Name;
    kelvo_int32 Count;
    kelvo_real64 TotalSeconds;
    kelvo_real64 TotalSecondsWithoutChildren;
    kelvo_real64 TotalCycles;
    kelvo_real64 TotalCyclesWithoutChildren;
    kelvo_int32 PeakCount;
    kelvo_real64 PeakTotalSeconds;
    kelvo_real64 PeakTotalSecondsWithoutChildren;
} kelvo_counter_results;

KELVO_API kelvo_int32 KelvoGetCounterCount(void);
KELVO_API kelvo_real64 KelvoGetCounterTicksPerSecond(void);
KELVO_API void KelvoResetCounters(void);
KELVO_API void KelvoResetCounterPeaks(void);
KELVO_API void KelvoGetCounterResults(kelvo_int32 CounterIndex, kelvo_counter_results *Results);

#endif
