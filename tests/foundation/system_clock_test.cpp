#include "foundation/kelvo_system_clock.h"
#include "kelvo_test.h"

namespace {

class SystemClockTest : public KelvoTest {};

TEST_F(SystemClockTest, ReadingsFollowTheCounterAndNeverGoBack) {
    kelvo::system_clock_state State = {};
    kelvo::StartSystemClock(State, 1000, 5000, 100); // a millisecond counter
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, 5000, 100), 0);
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, 5100, 200), 100000);
    // The counter jumps back: the last reading is returned again.
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, 5050, 210), 100000);
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, 5150, 250), 150000);
}

TEST_F(SystemClockTest, CounterDriftBeyondTheTickIsCorrected) {
    kelvo::system_clock_state State = {};
    kelvo::StartSystemClock(State, 1000, 0, 0);
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, 1000, 1000), 1000000);
    // The counter leaps ten seconds while the tick says one: trust the tick.
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, 11000, 2000), 2000000);
    // The correction stays, so the counter is followed again from there.
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, 11500, 2500), 2500000);
    // Small disagreements (up to 0.2 s) follow the counter.
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, 11650, 2500), 2650000);
}

TEST_F(SystemClockTest, LargeCountsDoNotOverflow) {
    kelvo::system_clock_state State = {};
    kelvo_uint64 const Frequency = 1000000000u;
    kelvo::StartSystemClock(State, Frequency, 0, 0);
    kelvo_uint64 Days = 30;
    kelvo_uint64 Counter = Days * 86400u * Frequency + 500; // rounds to the microsecond
    kelvo_uint32 Tick = (kelvo_uint32)(Days * 86400000u);
    EXPECT_EQ(kelvo::AdvanceSystemClock(State, Counter, Tick), (kelvo_int64)(Days * 86400000000u + 1));
}

TEST_F(SystemClockTest, SystemSecondsAndSleeping) {
    kelvo_system_clock Start, End;
    KelvoGetSystemSeconds(&Start);
    KelvoSleepForSeconds(0.02f);
    KelvoGetSystemSeconds(&End);
    EXPECT_GE(KelvoGetSecondsElapsed(&Start, &End), 0.015f);
    EXPECT_EQ(KelvoGetSecondsElapsed(&End, &Start), 0.0f);
    KelvoSleepForSeconds(-1.0f); // returns at once

    KelvoGetSystemSeconds(nullptr);
    ExpectLogged(KelvoErrorLogMessage, ": Result is not allowed to be 0");
}

TEST_F(SystemClockTest, VersionCheck) {
    kelvo_int32 Major, Minor, Customization, Build;
    KelvoGetVersion(&Major, &Minor, &Customization, &Build);
    EXPECT_EQ(Major, 2);
    EXPECT_EQ(Minor, 7);
    EXPECT_EQ(Customization, 0);
    EXPECT_EQ(Build, 14);
    EXPECT_STREQ(KelvoGetVersionString(), "2.7.0.14");
    EXPECT_TRUE(KelvoVersionsMatch);
    EXPECT_FALSE(KelvoVersionsMatch_(2, 7, 0, 13));
    ExpectLogged(KelvoWarningLogMessage,
                 ": Version of DLL (2.7.0.14) does not match version of .h (2.7.0.13)");
}

} // namespace
