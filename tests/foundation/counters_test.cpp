#include "foundation/kelvo_counters.h"
#include "kelvo_test.h"

#include <string.h>

namespace {

class CountersTest : public KelvoTest {};

kelvo_int32 FindCounter(char const *Name) {
    for (kelvo_int32 Index = 0; Index < KelvoGetCounterCount(); ++Index) {
        kelvo_counter_results Results;
        KelvoGetCounterResults(Index, &Results);
        if (strcmp(Results.Name, Name) == 0) {
            return Index;
        }
    }
    return -1;
}

void TimedWork() { KELVO_TIMED_BLOCK("CountersTestBlock"); }

TEST_F(CountersTest, BlockRegistersOnceAndCountsEveryEntry) {
    kelvo_int32 Before = KelvoGetCounterCount();
    TimedWork();
    EXPECT_EQ(KelvoGetCounterCount(), Before + 1);
    kelvo_int32 Index = FindCounter("CountersTestBlock");
    ASSERT_GE(Index, 0);
    kelvo_counter_results Results;
    KelvoGetCounterResults(Index, &Results);
    kelvo_int32 CountBefore = Results.Count;
    for (int Round = 0; Round < 10; ++Round) {
        TimedWork();
    }
    EXPECT_EQ(KelvoGetCounterCount(), Before + 1);
    KelvoGetCounterResults(Index, &Results);
    EXPECT_EQ(Results.Count, CountBefore + 10);
    EXPECT_GE(Results.TotalCycles, 0.0);
}

TEST_F(CountersTest, NestedCyclesAreExcludedFromTheOuterOwnTime) {
    kelvo::counter Outer = {"Outer", 0, 0, 0, 0, 0, 0};
    kelvo::counter Inner = {"Inner", 0, 0, 0, 0, 0, 0};
    kelvo::counter *Top = kelvo::CurrentCounter;
    kelvo_uint64 TopChildren = Top->ChildCycles;

    kelvo::counter *OuterParent = kelvo::EnterCounter(&Outer);
    EXPECT_EQ(OuterParent, Top);
    for (int Round = 0; Round < 3; ++Round) {
        kelvo::counter *InnerParent = kelvo::EnterCounter(&Inner);
        EXPECT_EQ(InnerParent, &Outer);
        EXPECT_EQ(kelvo::CurrentCounter, &Inner);
        kelvo::LeaveCounter(&Inner, InnerParent, 40);
    }
    kelvo::LeaveCounter(&Outer, OuterParent, 200);

    EXPECT_EQ(kelvo::CurrentCounter, Top);
    EXPECT_EQ(Inner.Count, 3);
    EXPECT_EQ(Inner.TotalCycles, 120u);
    EXPECT_EQ(Outer.Count, 1);
    EXPECT_EQ(Outer.TotalCycles, 200u);
    EXPECT_EQ(Outer.ChildCycles, 120u);
    EXPECT_EQ(Top->ChildCycles, TopChildren + 200u);
}

TEST_F(CountersTest, ResetFoldsIntoPeaksAndResultsUseThem) {
    kelvo::counter *Counter = kelvo::RegisterCounter("CountersTestReset");
    ASSERT_NE(Counter, nullptr);
    kelvo_int32 Index = KelvoGetCounterCount() - 1;
    Counter->Count = 5;
    Counter->TotalCycles = 1000;
    Counter->ChildCycles = 300;
    KelvoResetCounters();
    EXPECT_EQ(Counter->Count, 0);
    EXPECT_EQ(Counter->TotalCycles, 0u);
    EXPECT_EQ(Counter->ChildCycles, 0u);
    EXPECT_EQ(Counter->PeakCount, 5);
    EXPECT_EQ(Counter->PeakTotalCycles, 1000u);
    EXPECT_EQ(Counter->PeakExclusiveCycles, 700u);

    // A second reset in a row leaves the peaks; a smaller run does not lower them.
    KelvoResetCounters();
    Counter->Count = 2;
    Counter->TotalCycles = 1500;
    Counter->ChildCycles = 1000;
    KelvoResetCounters();
    EXPECT_EQ(Counter->PeakCount, 5);
    EXPECT_EQ(Counter->PeakTotalCycles, 1500u);
    EXPECT_EQ(Counter->PeakExclusiveCycles, 700u);

    Counter->Count = 1;
    Counter->TotalCycles = 400;
    Counter->ChildCycles = 100;
    kelvo_counter_results Results;
    KelvoGetCounterResults(Index, &Results);
    kelvo_real64 Ticks = KelvoGetCounterTicksPerSecond();
    ASSERT_GT(Ticks, 0.0);
    EXPECT_STREQ(Results.Name, "CountersTestReset");
    EXPECT_EQ(Results.Count, 1);
    EXPECT_DOUBLE_EQ(Results.TotalCycles, 400.0);
    EXPECT_DOUBLE_EQ(Results.TotalCyclesWithoutChildren, 300.0);
    EXPECT_DOUBLE_EQ(Results.TotalSeconds, 400.0 / Ticks);
    EXPECT_DOUBLE_EQ(Results.TotalSecondsWithoutChildren, 300.0 / Ticks);
    EXPECT_EQ(Results.PeakCount, 5);
    EXPECT_DOUBLE_EQ(Results.PeakTotalSeconds, 1500.0 / Ticks);
    EXPECT_DOUBLE_EQ(Results.PeakTotalSecondsWithoutChildren, 700.0 / Ticks);

    KelvoResetCounterPeaks();
    EXPECT_EQ(Counter->PeakCount, 0);
    EXPECT_EQ(Counter->PeakTotalCycles, 0u);
    EXPECT_EQ(Counter->PeakExclusiveCycles, 0u);
    Counter->Count = 0;
    Counter->TotalCycles = 0;
    Counter->ChildCycles = 0;
}

TEST_F(CountersTest, TicksPerSecondIsPlausibleAndCached) {
    kelvo_real64 Ticks = KelvoGetCounterTicksPerSecond();
    EXPECT_GT(Ticks, 1e6);  // slower than a megahertz would be no cycle counter
    EXPECT_LT(Ticks, 1e11);
    EXPECT_EQ(KelvoGetCounterTicksPerSecond(), Ticks);
}

TEST_F(CountersTest, BadResultArguments) {
    kelvo_counter_results Results;
    Results.Count = 77;
    KelvoGetCounterResults(KelvoGetCounterCount(), &Results);
    ExpectLogged(KelvoErrorLogMessage, "is out of range [0, ");
    EXPECT_EQ(Results.Count, 0);
    EXPECT_EQ(Results.Name, nullptr);
    KelvoGetCounterResults(-1, &Results);
    ExpectLogged(KelvoErrorLogMessage, "CounterIndex -1 is out of range");
    KelvoGetCounterResults(0, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Results is not allowed to be 0");
}

} // namespace
