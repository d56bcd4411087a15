/* kelvo2: the monotonic system clock. */
#ifndef KELVO2_SYSTEM_CLOCK_H
#define KELVO2_SYSTEM_CLOCK_H

#include "kelvo2_types.h"

/* Microseconds since the clock's first use, as two 32-bit words, low first. */
typedef struct kelvo_system_clock {
    kelvo_uint32 Data[2];
} kelvo_system_clock;

KELVO_API void KelvoGetSystemSeconds(kelvo_system_clock *Result);
KELVO_API kelvo_real32 KelvoGetSecondsElapsed(kelvo_system_clock const *StartClock,
                                              kelvo_system_clock const *EndClock);
KELVO_API void KelvoSleepForSeconds(kelvo_real32 Seconds);

#endif
