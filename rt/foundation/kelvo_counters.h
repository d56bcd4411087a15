// Named timing blocks. KELVO_TIMED_BLOCK("Name") at the top of a scope times
// the rest of that scope; its counter is registered once, on first entry.
#ifndef KELVO_COUNTERS_INTERNAL_H
#define KELVO_COUNTERS_INTERNAL_H

#include "kelvo2/kelvo2_counters.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace kelvo {

struct counter {
    char const *Name;
    kelvo_int32 Count;
    kelvo_uint64 TotalCycles; // nested blocks included
    kelvo_uint64 ChildCycles; // blocks nested directly inside
    kelvo_int32 PeakCount;
    kelvo_uint64 PeakTotalCycles;
    kelvo_uint64 PeakExclusiveCycles;
};

// Appends a counter to the global table; null when the table is full (the
// block then goes untimed).
counter *RegisterCounter(char const *Name);

kelvo_uint64 ReadCycleCounterFallback();

inline kelvo_uint64 ReadCycleCounter() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return ReadCycleCounterFallback();
#endif
}

// The innermost running block (the never-reported root above the outermost).
extern counter *CurrentCounter;

// Entering returns the parent to restore on leaving.
inline counter *EnterCounter(counter *Counter) {
    counter *Parent = CurrentCounter;
    CurrentCounter = Counter;
    return Parent;
}

inline void LeaveCounter(counter *Counter, counter *Parent, kelvo_uint64 Cycles) {
    Counter->Count += 1;
    Counter->TotalCycles += Cycles;
    CurrentCounter = Parent;
    Parent->ChildCycles += Cycles;
}

class timed_block {
public:
    explicit timed_block(counter *Counter) : Counter(Counter) {
        if (Counter) {
            Parent = EnterCounter(Counter);
            Start = ReadCycleCounter();
        }
    }
    ~timed_block() {
        if (Counter) {
            LeaveCounter(Counter, Parent, ReadCycleCounter() - Start);
        }
    }
    timed_block(timed_block const &) = delete;
    timed_block &operator=(timed_block const &) = delete;

private:
    counter *Counter;
    counter *Parent = nullptr;
    kelvo_uint64 Start = 0;
};

} // namespace kelvo

#define KELVO_TIMED_BLOCK_JOIN2(A, B) A##B
#define KELVO_TIMED_BLOCK_JOIN(A, B) KELVO_TIMED_BLOCK_JOIN2(A, B)
#define KELVO_TIMED_BLOCK(Name)                                                                \
    static ::kelvo::counter *const KELVO_TIMED_BLOCK_JOIN(KelvoCounter, __LINE__) =            \
        ::kelvo::RegisterCounter(Name);                                                        \
    ::kelvo::timed_block KELVO_TIMED_BLOCK_JOIN(KelvoTimedBlock, __LINE__)(                    \
        KELVO_TIMED_BLOCK_JOIN(KelvoCounter, __LINE__))

#endif
