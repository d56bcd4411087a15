#include "anim/track_test_support.h"
#include "kelvo_test.h"

#include <cstring>

namespace {

class TrackSamplerTest : public KelvoTest {};

enum kind { I, C, A };

std::mt19937 Random(16);

float Uniform(float Low, float High) {
    return std::uniform_real_distribution<float>(Low, High)(Random);
}

std::vector<float> RandomValues(int Count, float Low, float High) {
    std::vector<float> Values(Count);
    for (float &Value : Values) {
        Value = Uniform(Low, High);
    }
    return Values;
}

// A curve of each kind for each role; Variant picks one of two animated formats.
kelvo_curve2 *PositionCurve(kind Kind, int Variant) {
    if (Kind == I)
        return IdentityCurve(3);
    if (Kind == C)
        return BuildCurve(KelvoCurveDataD3Constant32fType, 0, 3, {}, {0.5f, -1, 2});
    return BuildCurve(Variant ? KelvoCurveDataD3K16uC16uType : KelvoCurveDataDaK32fC32fType, 2, 3,
                      EvenKnots(6, 2.0f), RandomValues(18, -2, 2));
}

kelvo_curve2 *OrientationCurve(kind Kind, int Variant) {
    if (Kind == I)
        return IdentityCurve(4);
    if (Kind == C)
        return BuildCurve(KelvoCurveDataD4Constant32fType, 0, 4, {}, Turn(0.7f));
    std::vector<float> Controls;
    for (int Knot = 0; Knot < 7; ++Knot) {
        std::vector<float> Q = Turn(0.6f * Knot + Uniform(-0.2f, 0.2f));
        Controls.insert(Controls.end(), Q.begin(), Q.end());
    }
    return BuildCurve(Variant ? KelvoCurveDataD4nK16uC15uType : KelvoCurveDataDaK32fC32fType, 3, 4,
                      EvenKnots(7, 2.0f), Controls);
}

kelvo_curve2 *ScaleShearCurve(kind Kind, int Variant) {
    if (Kind == I)
        return IdentityCurve(9);
    std::vector<float> Controls;
    for (int Knot = 0; Knot < (Kind == C ? 1 : 4); ++Knot) {
        for (int Index = 0; Index < 9; ++Index) {
            Controls.push_back((Index % 4 == 0 ? 1.0f : 0.0f) + Uniform(-0.3f, 0.3f));
        }
    }
    if (Kind == C)
        return BuildCurve(KelvoCurveDataDaConstant32fType, 0, 9, {}, Controls);
    return BuildCurve(Variant ? KelvoCurveDataDaK16uC16uType : KelvoCurveDataDaK32fC32fType, 1, 9,
                      EvenKnots(4, 2.0f), Controls);
}

void RandomMatrix(float Result[16]) {
    std::vector<float> Q = Turn(Uniform(-3, 3));
    std::vector<float> P = RandomValues(3, -5, 5);
    std::vector<float> S = RandomValues(9, -0.2f, 0.2f);
    S[0] += 1, S[4] += 1, S[8] += 1;
    kelvo_transform Transform;
    KelvoSetTransform(&Transform, P.data(), Q.data(), S.data());
    KelvoBuildCompositeTransform4x4(&Transform, Result);
}

void ExpectNear(float const *Expected, float const *Actual, int Count, float Tolerance,
                std::string const &What) {
    for (int Index = 0; Index < Count; ++Index) {
        ASSERT_NEAR(Expected[Index], Actual[Index], Tolerance) << What << " [" << Index << "]";
    }
}

bool HasFusedSampler(kind P, kind O, kind S) {
    return S == I && !(P == I && O != I);
}

// Every class combination, two animated formats each: the sampler chosen
// for it gives the general sampler's local transform and the world and
// composite matrices composed by hand, at random times, looping or not.
TEST_F(TrackSamplerTest, EverySamplerAgreesWithTheGeneralOne) {
    kelvo_track_sampler *General = KelvoGetTrackSamplerUUU();
    int FusedSeen = 0;
    for (int Variant = 0; Variant < 2; ++Variant) {
        for (int Combination = 0; Combination < 27; ++Combination) {
            kind P = kind(Combination / 9), O = kind(Combination / 3 % 3),
                 S = kind(Combination % 3);
            test_track Track("t", PositionCurve(P, Variant), OrientationCurve(O, Variant),
                             ScaleShearCurve(S, Variant));
            kelvo_bound_transform_track Bound = BindTrack(&Track.Track);
            std::string What = "combination " + std::to_string(Combination) + " variant " +
                               std::to_string(Variant);
            ASSERT_EQ(Bound.Sampler != General, HasFusedSampler(P, O, S)) << What;
            FusedSeen += Bound.Sampler != General;
            for (int Sample = 0; Sample < 40; ++Sample) {
                bool Loop = Sample % 2;
                kelvo_sample_context Context = {Uniform(-0.3f, 2.3f), 2.0f, Loop, Loop, 0};
                float Parent[16], Offset[16];
                RandomMatrix(Parent);
                RandomMatrix(Offset);
                kelvo_transform Expected;
                KelvoSampleTrackUUULocal(&Context, &Track.Track, &Bound, &Expected);
                float Local[16], World[16], Composite[16];
                KelvoBuildCompositeTransform4x4(&Expected, Local);
                KelvoColumnMatrixMultiply4x4(World, Local, Parent);
                KelvoColumnMatrixMultiply4x4(Composite, Offset, World);

                kelvo_transform Actual;
                float ActualWorld[16], ActualComposite[16], WorldOnly[16];
                Bound.Sampler(&Context, &Track.Track, &Bound, &Actual, Offset, Parent, ActualWorld,
                              ActualComposite);
                EXPECT_EQ(Actual.Flags, Expected.Flags) << What;
                ExpectNear(Expected.Position, Actual.Position, 3, 1e-5f, What + " position");
                ExpectNear(Expected.Orientation, Actual.Orientation, 4, 1e-4f,
                           What + " orientation");
                ExpectNear(Expected.ScaleShear, Actual.ScaleShear, 9, 1e-5f, What + " scale/shear");
                ExpectNear(World, ActualWorld, 16, 1e-3f, What + " world");
                ExpectNear(Composite, ActualComposite, 16, 1e-3f, What + " composite");
                Bound.Sampler(&Context, &Track.Track, &Bound, &Actual, Offset, Parent, WorldOnly,
                              nullptr);
                ExpectNear(ActualWorld, WorldOnly, 16, 0.0f, What + " world without composite");
            }
        }
    }
    EXPECT_EQ(FusedSeen, 14);
}

// What the general sampler takes from each class: identity values without
// flags, constants from the bound track, evaluation for animated curves
// (the scale/shear beside a constant orientation included), and the control
// of the frame for keyframed ones.
TEST_F(TrackSamplerTest, TheGeneralSamplerTakesEachComponentByItsClass) {
    test_track Track("t", IdentityCurve(3), OrientationCurve(C, 0), ScaleShearCurve(A, 0));
    kelvo_bound_transform_track Bound = BindTrack(&Track.Track);
    EXPECT_EQ(Bound.Flags, (KelvoBoundCurveConstant << KELVO_BOUND_ORIENTATION_SHIFT) |
                               (KelvoBoundCurveAnimated << KELVO_BOUND_SCALE_SHEAR_SHIFT));
    kelvo_sample_context Context = {0.9f, 2.0f, false, false, 0};
    kelvo_transform Result;
    KelvoSampleTrackUUULocal(&Context, &Track.Track, &Bound, &Result);
    EXPECT_EQ(Result.Flags, (kelvo_uint32)(KelvoHasOrientation | KelvoHasScaleShear));
    float Expected[9];
    KelvoEvaluateCurveAtT(9, false, false, Track.ScaleShear.get(), false, 2.0f, 0.9f, Expected,
                          KelvoCurveIdentityScaleShear);
    ExpectNear(Expected, Result.ScaleShear, 9, 0.0f, "animated scale/shear");
    ExpectNear(Turn(0.7f).data(), Result.Orientation, 4, 1e-6f, "constant orientation");
    ExpectNear(KelvoCurveIdentityPosition, Result.Position, 3, 0.0f, "identity position");

    // A scale/shear curve without data is the identity.
    Track.Track.ScaleShearCurve = {{nullptr, nullptr}};
    Bound = BindTrack(&Track.Track);
    KelvoSampleTrackUUULocal(&Context, &Track.Track, &Bound, &Result);
    EXPECT_EQ(Result.Flags, (kelvo_uint32)KelvoHasOrientation);
    EXPECT_EQ(Bound.Flags >> KELVO_BOUND_SCALE_SHEAR_SHIFT, KelvoBoundCurveIdentity);

    // Keyframes: the frame's control whatever the clock; frames past the end hold.
    std::vector<float> Frames = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    test_track Keyed("k", BuildCurve(KelvoCurveDataDaKeyframes32fType, 0, 3, {}, Frames),
                     IdentityCurve(4), IdentityCurve(9));
    Bound = BindTrack(&Keyed.Track);
    EXPECT_TRUE(KelvoTransformTrackHasKeyframedCurves(&Keyed.Track));
    EXPECT_EQ(Bound.Sampler, KelvoGetTrackSamplerUUU());
    for (int Frame : {1, 2, 7, -4}) {
        Context = {0.0f, 1.0f, false, false, Frame};
        KelvoSampleTrackUUULocal(&Context, &Keyed.Track, &Bound, &Result);
        int Held = Frame < 0 ? 0 : Frame > 2 ? 2 : Frame;
        ExpectNear(&Frames[3 * Held], Result.Position, 3, 0.0f, "frame " + std::to_string(Frame));
    }
}

TEST_F(TrackSamplerTest, PositionOrientationSamplingAndTheFixedSamplers) {
    test_track Track("t", PositionCurve(A, 0), OrientationCurve(A, 0), IdentityCurve(9));
    kelvo_bound_transform_track Bound = BindTrack(&Track.Track);
    kelvo_sample_context Context = {1.3f, 2.0f, true, true, 0};
    kelvo_transform Full;
    KelvoSampleTrackUUULocal(&Context, &Track.Track, &Bound, &Full);
    float Position[3], Orientation[4];
    KelvoSampleTrackPOLocal(&Context, &Track.Track, &Bound, Position, Orientation);
    ExpectNear(Full.Position, Position, 3, 0.0f, "position");
    ExpectNear(Full.Orientation, Orientation, 4, 0.0f, "orientation");

    // Identity curves give the identity position and orientation.
    test_track Still("s", IdentityCurve(3), IdentityCurve(4), ScaleShearCurve(A, 0));
    kelvo_bound_transform_track StillBound = BindTrack(&Still.Track);
    KelvoSampleTrackPOLocal(&Context, &Still.Track, &StillBound, Position, Orientation);
    ExpectNear(KelvoCurveIdentityOrientation, Orientation, 4, 0.0f, "identity orientation");

    float Parent[16], Offset[16], World[16], Expected[16], Local[16];
    RandomMatrix(Parent);
    RandomMatrix(Offset);
    // The compose-only sampler composes what it is given.
    kelvo_transform Given = Full;
    KelvoGetTrackSamplerSSS()(&Context, nullptr, nullptr, &Given, Offset, Parent, World, nullptr);
    KelvoBuildCompositeTransform4x4(&Full, Local);
    KelvoColumnMatrixMultiply4x4(Expected, Local, Parent);
    ExpectNear(Expected, World, 16, 1e-4f, "compose only");
    // The all-identity sampler gives the parent; the scale-only one samples scale/shear alone.
    KelvoGetTrackSamplerIII()(&Context, &Track.Track, &Bound, &Given, Offset, Parent, World,
                              nullptr);
    ExpectNear(Parent, World, 16, 0.0f, "identity");
    KelvoGetTrackSamplerIIU()(&Context, &Still.Track, &StillBound, &Given, Offset, Parent, World,
                              nullptr);
    KelvoSampleTrackUUULocal(&Context, &Still.Track, &StillBound, &Full);
    EXPECT_EQ(Given.Flags, (kelvo_uint32)KelvoHasScaleShear);
    ExpectNear(Full.ScaleShear, Given.ScaleShear, 9, 0.0f, "sampled scale/shear");
}

// A full turn: the last control is the first one negated. Sampling across
// the seam with looping must follow the rotation, not blend through the
// other hemisphere, in every orientation format.
TEST_F(TrackSamplerTest, OrientationIsContinuousAcrossTheLoopSeam) {
    kelvo_data_type_definition const *Formats[] = {
        KelvoCurveDataDaK32fC32fType, KelvoCurveDataDaK16uC16uType, KelvoCurveDataDaK8uC8uType,
        KelvoCurveDataD4nK16uC15uType, KelvoCurveDataD4nK8uC7uType};
    constexpr int Knots = 9;
    constexpr float Duration = 2.0f;
    std::vector<float> Controls;
    for (int Knot = 0; Knot < Knots; ++Knot) {
        std::vector<float> Q = Turn(6.2831853f * Knot / (Knots - 1));
        Controls.insert(Controls.end(), Q.begin(), Q.end());
    }
    for (kelvo_data_type_definition const *Format : Formats) {
        for (int Degree : {1, 2, 3}) {
            test_track Track("t", BuildCurve(KelvoCurveDataD3Constant32fType, 0, 3, {}, {1, 0, 0}),
                             BuildCurve(Format, Degree, 4, EvenKnots(Knots, Duration), Controls),
                             IdentityCurve(9));
            kelvo_bound_transform_track Bound = BindTrack(&Track.Track);
            std::string What = std::string(Format->Name) + " degree " + std::to_string(Degree);
            float Previous[9] = {};
            float Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
            for (int Step = -60; Step <= 60; ++Step) {
                float Time = Step * 0.005f;
                kelvo_sample_context Context = {Time < 0 ? Time + Duration : Time, Duration, true,
                                                true, 0};
                kelvo_transform Local;
                float World[16];
                Bound.Sampler(&Context, &Track.Track, &Bound, &Local, Identity, Identity, World,
                              nullptr);
                float General[4];
                float Position[3];
                KelvoSampleTrackPOLocal(&Context, &Track.Track, &Bound, Position, General);
                ASSERT_NEAR(std::sqrt(General[0] * General[0] + General[1] * General[1] +
                                      General[2] * General[2] + General[3] * General[3]),
                            1.0f, 0.02f)
                    << What << " at " << Time;
                float Rotation[9] = {World[0], World[1], World[2], World[4], World[5],
                                     World[6], World[8], World[9], World[10]};
                if (Step > -60) {
                    for (int Index = 0; Index < 9; ++Index) {
                        ASSERT_NEAR(Rotation[Index], Previous[Index], 0.06f)
                            << What << " jumps at " << Time;
                    }
                }
                std::memcpy(Previous, Rotation, sizeof(Rotation));
            }
        }
    }
}

} // namespace
