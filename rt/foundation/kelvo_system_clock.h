// The system clock's arithmetic, apart from the platform counters so that it
// can be driven with chosen readings.
#ifndef KELVO_SYSTEM_CLOCK_INTERNAL_H
#define KELVO_SYSTEM_CLOCK_INTERNAL_H

#include "kelvo2/kelvo2_system_clock.h"

namespace kelvo {

struct system_clock_state {
    bool Started;
    kelvo_uint64 Frequency;
    kelvo_uint64 FirstCounter;
    kelvo_uint32 RecordedTick;  // tick count of the last returned reading
    kelvo_int64 LastReading;    // microseconds
    kelvo_int64 Correction;     // microseconds added to the counter time
};

void StartSystemClock(system_clock_state &State, kelvo_uint64 Frequency, kelvo_uint64 Counter,
                      kelvo_uint32 Tick);
// The next reading in microseconds; never earlier than the one before.
kelvo_int64 AdvanceSystemClock(system_clock_state &State, kelvo_uint64 Counter,
                               kelvo_uint32 Tick);

} // namespace kelvo

#endif
