#include "kelvo_test.h"

#include <cmath>

namespace {

class ControlTest : public KelvoTest {};

struct clock_case {
    int LoopCount;
    float Speed;
    float Clock; // set once, from 0, on a control of duration 1
    float Raw, Clamped;
    int LoopIndex;
    float DurationLeft;
};

TEST_F(ControlTest, LocalClocksWrapIntoTheirLoops) {
    clock_case const Cases[] = {
        {1, 1, 1.5f, 1.5f, 1.0f, 0, 0.0f},       // past the end of the last loop
        {0, 1, -0.25f, 0.75f, 0.75f, -1, 1.9140881e38f}, // forever, before the start
        {0, 1, 2.5f, 0.5f, 0.5f, 2, 1.9140881e38f},
        {0, 2, 1.25f, 0.5f, 0.5f, 2, 1.9140881e38f},
        {3, 1, 10.0f, 8.0f, 1.0f, 2, 0.0f},  // held in the last loop
        {3, 1, 1.25f, 0.25f, 0.25f, 1, 1.75f},
        {3, -1, 1.0f, -1.0f, 0.0f, 0, 0.0f}, // backwards from the first loop
    };
    for (clock_case const &Case : Cases) {
        SCOPED_TRACE(testing::Message() << "loops " << Case.LoopCount << " speed " << Case.Speed
                                        << " clock " << Case.Clock);
        kelvo_control *Control = KelvoCreateControl(0.0f, 1.0f);
        KelvoSetControlLoopCount(Control, Case.LoopCount);
        KelvoSetControlSpeed(Control, Case.Speed);
        KelvoSetControlClock(Control, Case.Clock);
        EXPECT_FLOAT_EQ(KelvoGetControlRawLocalClock(Control), Case.Raw);
        EXPECT_FLOAT_EQ(KelvoGetControlClampedLocalClock(Control), Case.Clamped);
        EXPECT_EQ(KelvoGetControlLoopIndex(Control), Case.LoopIndex);
        EXPECT_FLOAT_EQ(KelvoGetControlDurationLeft(Control), Case.DurationLeft);
        KelvoFreeControl(Control);
    }
}

TEST_F(ControlTest, LoopStateAndDuration) {
    kelvo_control *Control = KelvoCreateControl(0.0f, 2.0f);
    KelvoSetControlLoopCount(Control, 3);
    KelvoSetControlSpeed(Control, -4.0f);
    EXPECT_FLOAT_EQ(KelvoGetControlDuration(Control), 1.5f);
    kelvo_bool32 Under, Over;
    struct {
        int LoopIndex;
        bool Clamped, Under, Over;
    } const States[] = {{0, false, false, true}, {1, false, true, true},
                        {2, false, true, false}, {1, true, false, false}};
    for (auto const &State : States) {
        KelvoSetControlLoopIndex(Control, State.LoopIndex);
        KelvoSetControlForceClampedLooping(Control, State.Clamped);
        KelvoGetControlLoopState(Control, &Under, &Over);
        EXPECT_EQ(Under != 0, State.Under) << State.LoopIndex;
        EXPECT_EQ(Over != 0, State.Over) << State.LoopIndex;
    }
    // A control without duration never wraps (nothing to divide by).
    kelvo_control *Empty = KelvoCreateControl(0.0f, 0.0f);
    KelvoSetControlLoopCount(Empty, 0);
    KelvoSetControlClock(Empty, 3.0f);
    EXPECT_FLOAT_EQ(KelvoGetControlRawLocalClock(Empty), 3.0f);
    EXPECT_EQ(KelvoGetControlLoopIndex(Empty), 0);
    KelvoFreeControl(Empty);
    KelvoFreeControl(Control);
}

TEST_F(ControlTest, TargetStateReachesTheLocalTimeAtTheTarget) {
    kelvo_control *Control = KelvoCreateControl(0.0f, 1.0f);
    KelvoSetControlLoopCount(Control, 0);
    KelvoSetControlTargetState(Control, 10.0f, 12.25f, 0.5f, 4);
    EXPECT_FLOAT_EQ(KelvoGetControlRawLocalClock(Control), 0.25f); // 0.5 - 2.25 wraps back
    EXPECT_EQ(KelvoGetControlLoopIndex(Control), 2);
    KelvoSetControlClock(Control, 12.25f);
    EXPECT_FLOAT_EQ(KelvoGetControlRawLocalClock(Control), 0.5f);
    EXPECT_EQ(KelvoGetControlLoopIndex(Control), 4);
    KelvoFreeControl(Control);
}

TEST_F(ControlTest, EaseMultipliers) {
    kelvo_control *Control = KelvoCreateControl(1.0f, 1.0f);
    EXPECT_FLOAT_EQ(KelvoEaseControlIn(Control, 2.0f, 0), 3.0f);
    struct {
        float Clock, Multiplier;
    } const EaseIn[] = {{1.0f, 0.0f}, {2.0f, 0.5f}, {3.0f, 1.0f}, {5.0f, 1.0f}};
    for (auto const &Point : EaseIn) {
        KelvoSetControlClock(Control, Point.Clock);
        EXPECT_NEAR(KelvoGetControlEaseCurveMultiplier(Control), Point.Multiplier, 1e-6f)
            << Point.Clock;
    }
    // An ease-out ending at 2 s and an ease-in starting at 3 s: a straight
    // ramp from the one's last value to the other's first.
    KelvoSetControlEaseOutCurve(Control, 1.0f, 2.0f, 1.0f, 1.0f, 0.2f, 0.2f);
    KelvoSetControlEaseInCurve(Control, 3.0f, 4.0f, 0.6f, 0.6f, 1.0f, 1.0f);
    KelvoSetControlEaseIn(Control, 1);
    KelvoSetControlEaseOut(Control, 1);
    struct {
        float Clock, Multiplier;
    } const Ramp[] = {{1.0f, 1.0f}, {2.0f, 0.2f}, {2.25f, 0.3f}, {2.5f, 0.4f},
                      {3.0f, 0.6f}, {4.0f, 1.0f}, {9.0f, 1.0f}};
    KelvoSetControlWeight(Control, 0.5f);
    for (auto const &Point : Ramp) {
        KelvoSetControlClock(Control, Point.Clock);
        EXPECT_NEAR(KelvoGetControlEaseCurveMultiplier(Control), Point.Multiplier, 1e-6f)
            << Point.Clock;
        EXPECT_NEAR(KelvoGetControlEffectiveWeight(Control), 0.5f * Point.Multiplier, 1e-6f);
    }
    // Easing out from the middle of the ramp starts from where it is.
    KelvoSetControlClock(Control, 2.5f);
    KelvoEaseControlOut(Control, 1.0f);
    EXPECT_NEAR(KelvoGetControlEaseCurveMultiplier(Control), 0.4f, 1.0f / 255);
    KelvoSetControlActive(Control, 0);
    EXPECT_EQ(KelvoGetControlEffectiveWeight(Control), 0.0f);
    KelvoFreeControl(Control);
}

TEST_F(ControlTest, CompletionAndTheGlobalList) {
    kelvo_control *First = KelvoCreateControl(0.0f, 1.0f);
    kelvo_control *Second = KelvoCreateControl(0.0f, 1.0f);
    EXPECT_EQ(KelvoGetGlobalControlsBegin(), Second); // newest first
    EXPECT_EQ(KelvoGetGlobalNextControl(Second), First);
    KelvoRecenterAllControlClocks(-1.0f);
    EXPECT_EQ(KelvoGetControlClock(First), -1.0f);
    KelvoCompleteControlAt(First, 2.0f);
    KelvoSetControlClock(First, 1.5f);
    EXPECT_FALSE(KelvoFreeControlIfComplete(First));
    KelvoSetControlClock(First, 2.0f);
    EXPECT_TRUE(KelvoFreeControlIfComplete(First));
    EXPECT_EQ(KelvoGetGlobalNextControl(Second), KelvoGetGlobalControlsEnd());
    KelvoFreeControlOnceUnused(Second); // no bindings: freed at once
    EXPECT_EQ(KelvoGetGlobalControlsBegin(), KelvoGetGlobalControlsEnd());
}

} // namespace
