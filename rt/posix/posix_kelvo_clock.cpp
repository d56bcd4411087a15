// Counters and sleeping on POSIX: one monotonic clock serves as both the
// high-resolution counter (nanoseconds) and the millisecond tick.
#include "kelvo_platform.h"

#include <errno.h>
#include <time.h>

namespace {

kelvo_uint64 MonotonicNanoseconds() {
    timespec Now;
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return (kelvo_uint64)Now.tv_sec * 1000000000u + (kelvo_uint64)Now.tv_nsec;
}

} // namespace

namespace kelvo {

kelvo_uint64 PlatformPerformanceCounter() { return MonotonicNanoseconds(); }

kelvo_uint64 PlatformPerformanceFrequency() { return 1000000000u; }

kelvo_uint32 PlatformTickCount() { return (kelvo_uint32)(MonotonicNanoseconds() / 1000000u); }

void PlatformSleepMilliseconds(kelvo_uint32 Milliseconds) {
    timespec Remaining;
    Remaining.tv_sec = (time_t)(Milliseconds / 1000u);
    Remaining.tv_nsec = (long)(Milliseconds % 1000u) * 1000000L;
    // Sleep the whole time even when a signal interrupts.
    while (nanosleep(&Remaining, &Remaining) != 0 && errno == EINTR) {
    }
}

} // namespace kelvo
