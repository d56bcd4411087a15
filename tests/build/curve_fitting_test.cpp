// Curve fitting and compression: fits of random smooth motion measured by
// the library's own evaluation, the reductions, jumps, size limits, knot
// removal, what is refused, and what a fit allocates.
#include "kelvo_test.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

class CurveFittingTest : public KelvoTest {
  protected:
    void TearDown() override {
        KelvoDeallocateBSplineSolver(Solver);
        KelvoTest::TearDown();
    }
    bspline_solver *Solver = nullptr;
};

enum class motion { Position, Orientation, ScaleShear };

constexpr kelvo_int32 SampleCount = 90;
constexpr kelvo_real32 dT = 1.0f / 30.0f;

kelvo_int32 DimensionOf(motion Kind) {
    return Kind == motion::Position ? 3 : Kind == motion::Orientation ? 4 : 9;
}

// A few random sinusoids per component: smooth, with a handful of features.
std::vector<kelvo_real32> SmoothMotion(motion Kind, unsigned Seed,
                                       kelvo_int32 Count = SampleCount) {
    std::mt19937 Random(Seed);
    std::uniform_real_distribution<float> Unit(-1.0f, 1.0f);
    kelvo_int32 Raw = Kind == motion::Orientation ? 3 : DimensionOf(Kind);
    std::vector<float> Phase(Raw * 3), Frequency(Raw * 3), Amplitude(Raw * 3);
    for (size_t Index = 0; Index < Phase.size(); ++Index) {
        Phase[Index] = 3.0f * Unit(Random);
        Frequency[Index] = 0.5f + 1.5f * std::fabs(Unit(Random));
        Amplitude[Index] = Unit(Random) * (Kind == motion::ScaleShear    ? 0.2f
                                           : Kind == motion::Orientation ? 0.5f
                                                                         : 1.0f);
    }
    std::vector<kelvo_real32> Samples;
    for (kelvo_int32 Sample = 0; Sample < Count; ++Sample) {
        float T = (float)Sample * dT;
        float V[9] = {};
        for (kelvo_int32 C = 0; C < Raw; ++C) {
            for (int Term = 0; Term < 3; ++Term) {
                int I = C * 3 + Term;
                V[C] += Amplitude[I] * std::sin(Frequency[I] * 6.2831853f * T / 3.0f + Phase[I]);
            }
        }
        if (Kind == motion::Orientation) {
            float Angle = std::sqrt(V[0] * V[0] + V[1] * V[1] + V[2] * V[2]);
            float S = Angle > 0 ? std::sin(Angle / 2) / Angle : 0.5f;
            Samples.insert(Samples.end(), {V[0] * S, V[1] * S, V[2] * S, std::cos(Angle / 2)});
        } else if (Kind == motion::ScaleShear) {
            for (int C = 0; C < 9; ++C) {
                Samples.push_back(V[C] + (C % 4 == 0 ? 1.0f : 0.0f));
            }
        } else {
            Samples.insert(Samples.end(), V, V + 3);
        }
    }
    return Samples;
}

kelvo_uint32 FlagsOf(motion Kind) {
    return Kind == motion::Orientation ? (kelvo_uint32)BSplineSolverEvaluateAsQuaternions : 0u;
}

// The angle between the directions of two 4-vectors, in double.
double AngleBetween(kelvo_real32 const *A, kelvo_real32 const *B) {
    double LengthA = 0, LengthB = 0, Apart = 0, Together = 0;
    for (int C = 0; C < 4; ++C) {
        LengthA += (double)A[C] * A[C];
        LengthB += (double)B[C] * B[C];
    }
    for (int C = 0; C < 4; ++C) {
        double U = A[C] / std::sqrt(LengthA), V = B[C] / std::sqrt(LengthB);
        Apart += (U - V) * (U - V);
        Together += (U + V) * (U + V);
    }
    return 2 * std::atan2(std::sqrt(Apart), std::sqrt(Together));
}

// Largest error at the sample times, by the library's public evaluation:
// distance, or for quaternions 1 - cos of the angle between directions
// (the tolerance's unit).
double MeasuredError(kelvo_curve2 const *Curve, std::vector<kelvo_real32> const &Samples,
                     kelvo_int32 Dimension, bool Quaternion,
                     kelvo_real32 const *Identity = nullptr) {
    kelvo_int32 Count = (kelvo_int32)Samples.size() / Dimension;
    double Largest = 0;
    for (kelvo_int32 Sample = 0; Sample < Count; ++Sample) {
        kelvo_real32 Value[9];
        KelvoEvaluateCurveAtT(Dimension, Quaternion, false, Curve, false, (Count - 1) * dT,
                              (kelvo_real32)Sample * dT, Value, Identity);
        double Error = 0;
        if (Quaternion) {
            double Half = AngleBetween(&Samples[Sample * Dimension], Value) / 2;
            Error = 2 * std::sin(Half) * std::sin(Half);
        } else {
            for (kelvo_int32 C = 0; C < Dimension; ++C) {
                double S = Samples[Sample * Dimension + C];
                Error += (S - Value[C]) * (S - Value[C]);
            }
            Error = std::sqrt(Error);
        }
        Largest = std::isnan(Error) ? INFINITY : std::max(Largest, Error);
    }
    return Largest;
}

struct format_case {
    motion Kind;
    kelvo_data_type_definition const *const *Type;
    kelvo_real32 Tolerance;
    bool Reachable; // else only: an achieved fit must be within tolerance
};

TEST_F(CurveFittingTest, SmoothMotionIsWithinToleranceInEveryDegreeAndFormat) {
    format_case const Cases[] = {
        {motion::Position, &KelvoCurveDataDaK32fC32fType, 0.002f, true},
        {motion::Position, &KelvoCurveDataDaK16uC16uType, 0.002f, true},
        {motion::Position, &KelvoCurveDataD3K16uC16uType, 0.002f, true},
        {motion::Position, &KelvoCurveDataD3K8uC8uType, 0.05f, false},
        {motion::Position, &KelvoCurveDataDaK8uC8uType, 0.05f, false},
        {motion::Position, &KelvoCurveDataD3I1K16uC16uType, 0.01f, false},
        {motion::Orientation, &KelvoCurveDataDaK32fC32fType, 0.0001f, true},
        {motion::Orientation, &KelvoCurveDataDaK16uC16uType, 0.0001f, true},
        {motion::Orientation, &KelvoCurveDataD4nK16uC15uType, 0.0001f, true},
        {motion::Orientation, &KelvoCurveDataD4nK8uC7uType, 0.001f, false},
        {motion::ScaleShear, &KelvoCurveDataDaK32fC32fType, 0.002f, true},
        {motion::ScaleShear, &KelvoCurveDataDaK16uC16uType, 0.002f, true},
        {motion::ScaleShear, &KelvoCurveDataD9I3K16uC16uType, 0.002f, false},
    };
    Solver = KelvoAllocateBSplineSolver(3, SampleCount, 9);
    ASSERT_NE(Solver, nullptr);
    int Achieved8Bit = 0;
    for (format_case const &Case : Cases) {
        for (kelvo_int32 Degree = 0; Degree <= 3; ++Degree) {
            for (unsigned Seed = 1; Seed <= 2; ++Seed) {
                SCOPED_TRACE(testing::Message() << "case " << &Case - Cases << " degree " << Degree
                                                << " seed " << Seed);
                kelvo_int32 Dimension = DimensionOf(Case.Kind);
                std::vector<kelvo_real32> Samples = SmoothMotion(Case.Kind, Seed);
                // Spans stay at least a sample and a half wide: steps and
                // chords cannot follow this motion as closely as curves.
                kelvo_real32 const Looser[4] = {200, 20, 1, 1};
                kelvo_real32 Tolerance = Case.Tolerance * Looser[Degree];
                kelvo_bool8 Achieved = false;
                kelvo_int32 Size = 0;
                kelvo_curve2 *Curve = KelvoFitBSplineToSamples(
                    Solver, FlagsOf(Case.Kind) | BSplineSolverExtraDOFKnotZero, Degree, Tolerance,
                    0, 0, Samples.data(), Dimension, SampleCount, dT, *Case.Type, 0, &Achieved,
                    &Size);
                ASSERT_NE(Curve, nullptr);
                EXPECT_EQ(KelvoCurveGetDataTypeDefinition(Curve), *Case.Type);
                EXPECT_EQ(KelvoCurveGetDegree(Curve), Degree);
                if (Case.Reachable) {
                    EXPECT_TRUE(Achieved);
                    EXPECT_LT(KelvoCurveGetKnotCount(Curve), SampleCount);
                }
                if (Achieved) {
                    EXPECT_LE(
                        MeasuredError(Curve, Samples, Dimension, Case.Kind == motion::Orientation),
                        Tolerance * 1.0001);
                    EXPECT_GT(Size, 0);
                    Achieved8Bit += !Case.Reachable;
                } else {
                    EXPECT_EQ(Size, -1);
                }
                KelvoFreeCurve(Curve);
            }
        }
    }
    EXPECT_GT(Achieved8Bit, 0); // the honest-report branch was not vacuous
}

// Captured motion jitters from frame to frame; a tight tolerance must still
// be reachable (spans narrow to a sample), in every degree above 0, with
// the jump of a reference pose in the first frame.
TEST_F(CurveFittingTest, FrameToFrameNoiseIsFollowedToATightTolerance) {
    Solver = KelvoAllocateBSplineSolver(3, SampleCount, 3);
    std::vector<kelvo_real32> Samples = SmoothMotion(motion::Position, 3);
    for (kelvo_int32 Sample = 0; Sample < SampleCount; ++Sample) {
        Samples[Sample * 3 + 1] += 0.002f * (float)((Sample * 7) % 5 - 2);
    }
    Samples[0] += 3.0f;
    for (kelvo_int32 Degree = 1; Degree <= 3; ++Degree) {
        kelvo_bool8 Achieved = false;
        kelvo_curve2 *Curve = KelvoFitBSplineToSamples(
            Solver, BSplineSolverExtraDOFKnotZero | BSplineSolverAllowC0Splitting, Degree, 0.001f,
            1.0f, 0, Samples.data(), 3, SampleCount, dT, nullptr, 0, &Achieved, nullptr);
        EXPECT_TRUE(Achieved) << Degree;
        EXPECT_LE(MeasuredError(Curve, Samples, 3, false), 0.001f * 1.0001) << Degree;
        KelvoFreeCurve(Curve);
    }
}

// 1 - dot in floats cannot resolve 1e-9; the angle between directions can.
TEST_F(CurveFittingTest, OrientationToleranceHoldsBelowFloatResolutionOfTheDot) {
    Solver = KelvoAllocateBSplineSolver(3, SampleCount, 4);
    std::vector<kelvo_real32> Samples = SmoothMotion(motion::Orientation, 4);
    kelvo_bool8 Achieved = false;
    kelvo_curve2 *Curve = KelvoFitBSplineToSamples(
        Solver, BSplineSolverEvaluateAsQuaternions | BSplineSolverExtraDOFKnotZero, 3, 1e-9f, 0, 0,
        Samples.data(), 4, SampleCount, dT, nullptr, 0, &Achieved, nullptr);
    ASSERT_NE(Curve, nullptr);
    EXPECT_TRUE(Achieved);
    EXPECT_LE(MeasuredError(Curve, Samples, 4, true), 1e-9);
    KelvoFreeCurve(Curve);
}

// Playback uses a constant as stored: a degree-0 fit of orientations and a
// constant reduced from slightly short samples hold unit quaternions.
TEST_F(CurveFittingTest, ConstantOrientationsAreUnitLength) {
    Solver = KelvoAllocateBSplineSolver(3, SampleCount, 4);
    std::vector<kelvo_real32> Smooth = SmoothMotion(motion::Orientation, 6), Short;
    for (int Sample = 0; Sample < 8; ++Sample) {
        Short.insert(Short.end(), {0.3f * 0.999f, 0.1f * 0.999f, -0.1f * 0.999f, 0.0f});
        Short.back() = std::sqrt(1 - 0.11f) * 0.999f;
    }
    compress_curve_parameters Params = {};
    Params.AllowDegreeReduction = true;
    Params.ErrorTolerance = 1e-5f;
    Params.ConstantCompressionType = KelvoCurveDataD4Constant32fType;
    kelvo_curve2 *Curves[2] = {
        KelvoFitBSplineToSamples(Solver, BSplineSolverEvaluateAsQuaternions, 0, 0.002f, 0, 0,
                                 Smooth.data(), 4, SampleCount, dT, nullptr, 0, nullptr, nullptr),
        KelvoCompressCurve(Solver, BSplineSolverEvaluateAsQuaternions, &Params, Short.data(), 4, 8,
                           dT, nullptr)};
    ASSERT_NE(Curves[1], nullptr);
    EXPECT_EQ(KelvoCurveGetDataTypeDefinition(Curves[1]), KelvoCurveDataD4Constant32fType);
    for (kelvo_curve2 *Curve : Curves) {
        ASSERT_NE(Curve, nullptr);
        kelvo_int32 KnotCount = KelvoCurveGetKnotCount(Curve);
        std::vector<kelvo_real32> Controls(4 * KnotCount);
        KelvoCurveExtractKnotValues(Curve, 0, KnotCount, nullptr, Controls.data(), nullptr);
        for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
            kelvo_real32 const *Q = &Controls[4 * Knot];
            EXPECT_NEAR(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3], 1.0f, 1e-6f) << Knot;
        }
        KelvoFreeCurve(Curve);
    }
}

TEST_F(CurveFittingTest, ConstantAndIdentitySamplesReduce) {
    Solver = KelvoAllocateBSplineSolver(3, 16, 4);
    struct {
        kelvo_real32 Value[4];
        kelvo_data_type_definition const *const *Expected;
    } const Cases[] = {
        {{0.5f, -0.5f, 0.5f, 0.5f}, &KelvoCurveDataD4Constant32fType},
        {{0, 0, 0, 1}, &KelvoCurveDataDaIdentityType},
    };
    for (auto const &Case : Cases) {
        std::vector<kelvo_real32> Samples;
        for (int Sample = 0; Sample < 16; ++Sample) {
            Samples.insert(Samples.end(), Case.Value, Case.Value + 4);
        }
        compress_curve_parameters Params = {};
        Params.DesiredDegree = 3;
        Params.AllowDegreeReduction = true;
        Params.ErrorTolerance = 0.0001f;
        Params.ConstantCompressionType = KelvoCurveDataD4Constant32fType;
        Params.IdentityCompressionType = KelvoCurveDataDaIdentityType;
        Params.IdentityVector = KelvoCurveIdentityOrientation;
        kelvo_bool8 Achieved = false;
        kelvo_curve2 *Curve = KelvoCompressCurve(Solver, BSplineSolverEvaluateAsQuaternions,
                                                 &Params, Samples.data(), 4, 16, dT, &Achieved);
        ASSERT_NE(Curve, nullptr);
        EXPECT_TRUE(Achieved);
        EXPECT_EQ(KelvoCurveGetDataTypeDefinition(Curve), *Case.Expected);
        kelvo_real32 Control[4];
        if (*Case.Expected == KelvoCurveDataD4Constant32fType) {
            EXPECT_EQ(KelvoCurveExtractKnotValue(Curve, 0, Control, nullptr), 0.0f);
            EXPECT_EQ(0, std::memcmp(Control, Case.Value, sizeof(Control)));
        }
        KelvoFreeCurve(Curve);
    }
}

TEST_F(CurveFittingTest, JumpAboveC0ThresholdGetsCoincidentKnots) {
    Solver = KelvoAllocateBSplineSolver(3, 40, 1);
    std::vector<kelvo_real32> Samples;
    for (int Sample = 0; Sample < 40; ++Sample) {
        Samples.push_back(Sample < 17 ? 0.001f * Sample : 5.0f + 0.001f * Sample);
    }
    for (kelvo_int32 Degree = 0; Degree <= 3; ++Degree) {
        SCOPED_TRACE(Degree);
        kelvo_bool8 Achieved = false;
        kelvo_curve2 *Curve = KelvoFitBSplineToSamples(
            Solver, BSplineSolverAllowC0Splitting | BSplineSolverExtraDOFKnotZero, Degree, 0.01f,
            1.0f, 0, Samples.data(), 1, 40, dT, nullptr, 0, &Achieved, nullptr);
        ASSERT_NE(Curve, nullptr);
        kelvo_int32 KnotCount = KelvoCurveGetKnotCount(Curve);
        std::vector<kelvo_real32> Knots(KnotCount);
        KelvoCurveExtractKnotValues(Curve, 0, KnotCount, Knots.data(), nullptr, nullptr);
        EXPECT_EQ(std::count(Knots.begin(), Knots.end(), 17.0f * dT), Degree + 1);
        EXPECT_TRUE(Achieved);
        EXPECT_LE(MeasuredError(Curve, Samples, 1, false), 0.01f);
        KelvoFreeCurve(Curve);
    }
}

TEST_F(CurveFittingTest, SizeLimitBelowAnyCurveReturnsACurveAndReportsTheMiss) {
    Solver = KelvoAllocateBSplineSolver(2, SampleCount, 3);
    std::vector<kelvo_real32> Samples = SmoothMotion(motion::Position, 7);
    kelvo_bool8 Achieved = true;
    kelvo_int32 Size = 0;
    kelvo_curve2 *Curve = KelvoFitBSplineToSamples(Solver, 0, 2, 0.001f, 0, 0, Samples.data(), 3,
                                                   SampleCount, dT, nullptr, 8, &Achieved, &Size);
    ASSERT_NE(Curve, nullptr);
    EXPECT_FALSE(Achieved);
    EXPECT_EQ(Size, -1);
    KelvoFreeCurve(Curve);
}

TEST_F(CurveFittingTest, KnotRemovalKeepsToleranceWithFewerKnots) {
    Solver = KelvoAllocateBSplineSolver(3, SampleCount, 3);
    std::vector<kelvo_real32> Samples = SmoothMotion(motion::Position, 3);
    kelvo_int32 Counts[2];
    for (int Reduce = 0; Reduce < 2; ++Reduce) {
        kelvo_bool8 Achieved = false;
        kelvo_curve2 *Curve = KelvoFitBSplineToSamples(
            Solver, BSplineSolverExtraDOFKnotZero | (Reduce ? BSplineSolverAllowReduceKeys : 0), 3,
            0.005f, 0, 0, Samples.data(), 3, SampleCount, dT, nullptr, 0, &Achieved, nullptr);
        ASSERT_NE(Curve, nullptr);
        EXPECT_TRUE(Achieved);
        EXPECT_LE(MeasuredError(Curve, Samples, 3, false), 0.005f);
        Counts[Reduce] = KelvoCurveGetKnotCount(Curve);
        KelvoFreeCurve(Curve);
    }
    EXPECT_LT(Counts[1], Counts[0]);
}

TEST_F(CurveFittingTest, CompressionKeepsTheSmallestFormatWithinTolerance) {
    Solver = KelvoAllocateBSplineSolver(3, SampleCount, 3);
    std::vector<kelvo_real32> Samples = SmoothMotion(motion::Position, 5);
    kelvo_data_type_definition const *Types[] = {
        KelvoCurveDataDaK32fC32fType, KelvoCurveDataD4nK16uC15uType, KelvoCurveDataDaK16uC16uType,
        KelvoCurveDataD3K16uC16uType, KelvoCurveDataD3K8uC8uType};
    compress_curve_parameters Params = {};
    Params.DesiredDegree = 3;
    Params.AllowDegreeReduction = true;
    Params.ErrorTolerance = 0.005f;
    Params.PossibleCompressionTypes = Types;
    Params.PossibleCompressionTypesCount = 5;
    Params.ConstantCompressionType = KelvoCurveDataD3Constant32fType;
    kelvo_bool8 Achieved = false;
    kelvo_uint32 const Flags = BSplineSolverExtraDOFKnotZero;
    kelvo_curve2 *Plain =
        KelvoFitBSplineToSamples(Solver, Flags, 3, 0.005f, 0, 0, Samples.data(), 3, SampleCount, dT,
                                 nullptr, 0, &Achieved, nullptr);
    kelvo_curve2 *Curve =
        KelvoCompressCurve(Solver, Flags, &Params, Samples.data(), 3, SampleCount, dT, &Achieved);
    ASSERT_NE(Curve, nullptr);
    EXPECT_TRUE(Achieved);
    EXPECT_EQ(KelvoCurveGetDataTypeDefinition(Curve), KelvoCurveDataD3K16uC16uType);
    EXPECT_LT(KelvoCurveGetSize(Curve), KelvoCurveGetSize(Plain) / 2 + 64);
    EXPECT_LE(MeasuredError(Curve, Samples, 3, false), 0.005f);
    KelvoFreeCurve(Plain);
    KelvoFreeCurve(Curve);
}

TEST_F(CurveFittingTest, RefusesBadArgumentsBeforeUse) {
    Solver = KelvoAllocateBSplineSolver(2, 10, 3);
    std::vector<kelvo_real32> Good(30, 1.0f), NotFinite(30, 1.0f);
    NotFinite[17] = NAN;
    struct {
        kelvo_int32 Degree, Dimension, Count;
        kelvo_real32 Tolerance, Step;
        std::vector<kelvo_real32> const *Samples;
        kelvo_data_type_definition const *const *Type;
        char const *Message;
    } const Cases[] = {
        {2, 3, 1, 0.1f, dT, &Good, nullptr, "SampleCount >= 2"},
        {2, 3, 11, 0.1f, dT, &Good, nullptr, "SampleCount <= Solver->MaximumSampleCount"},
        {2, 0, 10, 0.1f, dT, &Good, nullptr, "Dimension >= 1"},
        {2, 4, 5, 0.1f, dT, &Good, nullptr, "Dimension <= Solver->MaximumDimension"},
        {3, 3, 10, 0.1f, dT, &Good, nullptr, "Degree <= Solver->Degree"},
        {-1, 3, 10, 0.1f, dT, &Good, nullptr, "Degree >= 0"},
        {2, 3, 10, -0.1f, dT, &Good, nullptr, "ErrorThreshold >= 0.0f"},
        {2, 3, 10, 0.1f, 0.0f, &Good, nullptr, "dT > 0.0f"},
        {2, 3, 10, 0.1f, dT, &NotFinite, nullptr, "AllFinite"},
        {2, 2, 10, 0.1f, dT, &Good, &KelvoCurveDataD3K16uC16uType, "cannot hold a fit"},
        {2, 3, 10, 0.1f, dT, &Good, &KelvoCurveDataD3Constant32fType, "cannot hold a fit"},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Message);
        kelvo_bool8 Achieved = true;
        EXPECT_EQ(KelvoFitBSplineToSamples(Solver, 0, Case.Degree, Case.Tolerance, 0, 0,
                                           Case.Samples->data(), Case.Dimension, Case.Count,
                                           Case.Step, Case.Type ? *Case.Type : nullptr, 0,
                                           &Achieved, nullptr),
                  nullptr);
        EXPECT_FALSE(Achieved);
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoCurveLogMessage, Case.Message);
    }
    EXPECT_EQ(KelvoAllocateBSplineSolver(4, 10, 3), nullptr);
    EXPECT_EQ(KelvoAllocateBSplineSolver(1, 10, 10), nullptr);
    EXPECT_EQ(TakeMessages().size(), 2u);

    kelvo_data_type_definition const *Null[] = {nullptr};
    compress_curve_parameters Params = {};
    Params.ErrorTolerance = 0.1f;
    compress_curve_parameters Bad[4] = {Params, Params, Params, Params};
    Bad[0].ErrorTolerance = -1;
    Bad[1].PossibleCompressionTypes = Null;
    Bad[1].PossibleCompressionTypesCount = 1;
    Bad[2].IdentityCompressionType = KelvoCurveDataDaIdentityType;
    Bad[3].AllowDegreeReduction = true; // without a constant format
    for (compress_curve_parameters const &Case : Bad) {
        EXPECT_EQ(KelvoCompressCurve(Solver, 0, &Case, Good.data(), 3, 10, dT, nullptr), nullptr);
        ExpectLogged(KelvoErrorLogMessage,
                     "CompressionParamsAreValid(Params, SolverFlags) was not true");
    }
    KelvoGetSquaredErrorOverCurve(0, 0, 3, 1, nullptr, 10, Good.data(), nullptr, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Result is not allowed to be 0");
    EXPECT_FALSE(KelvoCurveIsReducible(nullptr, nullptr, 1, 0, nullptr, nullptr));
    ExpectLogged(KelvoErrorLogMessage, "Curve is not allowed to be 0");
}

TEST_F(CurveFittingTest, FitAllocatesOnlyItsSampleCopyAndItsCurves) {
    std::vector<kelvo_real32> Samples = SmoothMotion(motion::Position, 11);
    Solver = KelvoAllocateBSplineSolver(3, SampleCount, 3);
    // The timing blocks' counters come with the first fit of the process.
    KelvoFreeCurve(KelvoFitBSplineToSamples(Solver, 0x10, 3, 0.0005f, 0, 0, Samples.data(), 3,
                                            SampleCount, dT, nullptr, 0, nullptr, nullptr));
    {
        failing_allocator Listing;
        kelvo_curve2 *Curve =
            KelvoFitBSplineToSamples(Solver, 0x10, 3, 0.0005f, 0, 0, Samples.data(), 3, SampleCount,
                                     dT, nullptr, 0, nullptr, nullptr);
        ASSERT_NE(Curve, nullptr);
        EXPECT_GT(KelvoCurveGetKnotCount(Curve), 4); // refinement ran several passes
        EXPECT_EQ(Listing.Allocations, 2) << ::testing::PrintToString(Listing.Callers);
        EXPECT_EQ(Listing.Frees, 1); // the sample copy
        KelvoFreeCurve(Curve);
    }
    for (int FailAt = 1; FailAt <= 2; ++FailAt) {
        failing_allocator Failing(FailAt, false, false);
        kelvo_bool8 Achieved = true;
        EXPECT_EQ(KelvoFitBSplineToSamples(Solver, 0x10, 3, 0.0005f, 0, 0, Samples.data(), 3,
                                           SampleCount, dT, nullptr, 0, &Achieved, nullptr),
                  nullptr);
        EXPECT_FALSE(Achieved);
        TakeMessages();
    }
}

TEST_F(CurveFittingTest, VectorDifferencesAndReducibility) {
    kelvo_real32 const Quaternions[] = {0, 0, 0, 1, 0, 0.6f, 0, 0.8f};
    kelvo_real32 const Points[] = {1, 2, 3, 1, 2, 4, 0, 2, 3};
    struct {
        kelvo_int32 Dimension, Count, Type;
        kelvo_real32 const *Vectors, *Identity;
        kelvo_real32 IdentityDifference, ConstantDifference;
    } const Cases[] = {
        {3, 3, 0, Points, KelvoCurveIdentityPosition, std::sqrt(21.0f), 1},
        {3, 3, 2, Points, KelvoCurveIdentityPosition, 7, 1},
        {4, 2, 1, Quaternions, KelvoCurveIdentityOrientation, 0.2f, 0.2f},
        {3, 1, 0, Points, KelvoCurveIdentityPosition, std::sqrt(14.0f), 0},
    };
    for (auto const &Case : Cases) {
        kelvo_real32 Identity = -1, Constant = -1;
        KelvoGetVectorDifferences(Case.Dimension, Case.Count, Case.Vectors, Case.Identity,
                                  Case.Type, &Identity, &Constant);
        EXPECT_FLOAT_EQ(Identity, Case.IdentityDifference);
        EXPECT_FLOAT_EQ(Constant, Case.ConstantDifference);
    }
    kelvo_real32 Identity, Constant;
    KelvoGetVectorDifferences(3, 3, Points, nullptr, 0, &Identity, &Constant);
    kelvo_uint32 Bits;
    std::memcpy(&Bits, &Identity, 4);
    EXPECT_EQ(Bits, 0x7f0fffffu);

    kelvo_real32 const Knots[3] = {0, 1, 2};
    kelvo_real32 const Near[] = {0, 0, 0.001f, 0.001f, 0, 0, 0, 0, 0};
    struct {
        kelvo_real32 const *Controls;
        kelvo_real32 Tolerance;
        bool Reducible;
        kelvo_int32 Degree, KnotCount;
    } const Reductions[] = {
        {Near, 0.01f, true, 0, 0},
        {Points, 2.5f, true, 0, 1},
        {Points, 1.0f, false, 2, 3},
    };
    for (auto const &Case : Reductions) {
        kelvo_int32 Degree = -1, KnotCount = -1;
        EXPECT_EQ(KelvoKnotsAreReducible(2, 3, 3, Knots, Case.Controls, KelvoCurveIdentityPosition,
                                         Case.Tolerance, 0, &Degree, &KnotCount),
                  Case.Reducible);
        EXPECT_EQ(Degree, Case.Degree);
        EXPECT_EQ(KnotCount, Case.KnotCount);
        kelvo_curve2 Curve;
        kelvo_curve_data_da_k32f_c32f Data;
        KelvoCurveMakeStaticDaK32fC32f(&Curve, &Data, 3, 2, 3, Knots, Case.Controls);
        EXPECT_EQ(KelvoCurveIsReducible(&Curve, KelvoCurveIdentityPosition, Case.Tolerance, 0,
                                        &Degree, &KnotCount),
                  Case.Reducible);
        EXPECT_EQ(KnotCount, Case.KnotCount);
    }
}

// A chain of four bones, noisy like a capture: every virtual vertex of the
// played-back curves, composed independently in double, stays within the
// bound, and the whole costs less than every track held to the share a
// uniform split would give it.
TEST_F(CurveFittingTest, SkeletonMotionKeepsEveryVirtualVertexWithinTheBound) {
    constexpr kelvo_int32 Bones = 4, Count = 40;
    kelvo_int32 const Parents[Bones] = {-1, 0, 1, 1};
    std::vector<kelvo_real32> Positions, Orientations, Scales;
    for (kelvo_int32 Bone = 0; Bone < Bones; ++Bone) {
        std::vector<kelvo_real32> Q = SmoothMotion(motion::Orientation, 20 + Bone, Count);
        for (kelvo_int32 Sample = 0; Sample < Count; ++Sample) {
            kelvo_real32 Noise = 0.002f * (float)((Sample * 7 + Bone) % 5 - 2);
            Positions.insert(Positions.end(), {Bone ? 30.0f : Noise, Bone ? 0.0f : 5.0f, 0.0f});
            kelvo_real32 *R = &Q[Sample * 4];
            R[1] += Noise;
            double Length = std::sqrt(R[0] * R[0] + R[1] * R[1] + R[2] * R[2] + R[3] * R[3]);
            for (int C = 0; C < 4; ++C) {
                Orientations.push_back((kelvo_real32)(R[C] / Length));
            }
            Scales.insert(Scales.end(), {1, 0, 0, 0, 1, 0, 0, 0, 1});
        }
    }
    kelvo_data_type_definition const *Types[] = {KelvoCurveDataD4nK16uC15uType,
                                                 KelvoCurveDataD3K16uC16uType};
    compress_curve_parameters Params[3] = {};
    kelvo_skeleton_compression Settings = {3.0f, 0.05f, {}, {}};
    for (int Kind = 0; Kind < 3; ++Kind) {
        Params[Kind].DesiredDegree = 3;
        Params[Kind].AllowDegreeReduction = true;
        Params[Kind].PossibleCompressionTypes = Types;
        Params[Kind].PossibleCompressionTypesCount = 2;
        Params[Kind].ConstantCompressionType = KelvoCurveDataDaConstant32fType;
        Settings.Parameters[Kind] = &Params[Kind];
        Settings.SolverFlags[Kind] = Kind == 1 ? BSplineSolverEvaluateAsQuaternions : 0;
    }
    kelvo_skeleton_motion Motion = {
        Bones, Parents, Count, dT, Positions.data(), Orientations.data(), Scales.data()};
    Solver = KelvoAllocateBSplineSolver(3, Count, 9);
    kelvo_curve2 *Curves[Bones * 3] = {};
    kelvo_real32 Tolerances[Bones * 3], Largest = -1;
    kelvo_bool8 Achieved = false;
    ASSERT_TRUE(KelvoCompressSkeletonMotion(Solver, &Settings, &Motion, Curves, Tolerances,
                                            &Largest, &Achieved));
    EXPECT_TRUE(Achieved);
    // World transforms composed from the samples and from the curves.
    auto Vertices = [&](bool Played, kelvo_int32 Sample, std::vector<double> &Out) {
        std::vector<double> Linear(Bones * 9), Origin(Bones * 3);
        Out.clear();
        for (kelvo_int32 Bone = 0; Bone < Bones; ++Bone) {
            kelvo_real32 P[3], Q[4];
            std::memcpy(P, &Positions[(Bone * Count + Sample) * 3], sizeof(P));
            std::memcpy(Q, &Orientations[(Bone * Count + Sample) * 4], sizeof(Q));
            kelvo_real32 const Duration = (Count - 1) * dT, T = std::min(Sample * dT, Duration);
            if (Played) {
                KelvoEvaluateCurveAtT(3, false, false, Curves[Bone * 3], false, Duration, T, P,
                                      KelvoCurveIdentityPosition);
                KelvoEvaluateCurveAtT(4, true, false, Curves[Bone * 3 + 1], false, Duration, T, Q,
                                      KelvoCurveIdentityOrientation);
            }
            double L = std::sqrt((double)Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3]);
            double X = Q[0] / L, Y = Q[1] / L, Z = Q[2] / L, W = Q[3] / L;
            double const R[9] = {
                1 - 2 * (Y * Y + Z * Z), 2 * (X * Y - Z * W),     2 * (X * Z + Y * W),
                2 * (X * Y + Z * W),     1 - 2 * (X * X + Z * Z), 2 * (Y * Z - X * W),
                2 * (X * Z - Y * W),     2 * (Y * Z + X * W),     1 - 2 * (X * X + Y * Y)};
            kelvo_int32 Up = Parents[Bone];
            for (int Row = 0; Row < 3; ++Row) {
                Origin[Bone * 3 + Row] = Up < 0 ? P[Row] : Origin[Up * 3 + Row];
                for (int C = 0; C < 3; ++C) {
                    Origin[Bone * 3 + Row] += Up < 0 ? 0 : Linear[Up * 9 + Row * 3 + C] * P[C];
                    double Sum = 0;
                    for (int K = 0; K < 3; ++K) {
                        Sum += (Up < 0 ? (Row == K) : Linear[Up * 9 + Row * 3 + K]) * R[K * 3 + C];
                    }
                    Linear[Bone * 9 + Row * 3 + C] = Sum;
                }
            }
            for (int Axis = 0; Axis < 3; ++Axis) {
                for (int Row = 0; Row < 3; ++Row) {
                    Out.push_back(Origin[Bone * 3 + Row] + 3.0 * Linear[Bone * 9 + Row * 3 + Axis]);
                }
            }
        }
    };
    double Measured = 0;
    std::vector<double> Expected, Actual;
    for (kelvo_int32 Sample = 0; Sample < Count; ++Sample) {
        Vertices(false, Sample, Expected);
        Vertices(true, Sample, Actual);
        for (size_t V = 0; V < Expected.size(); V += 3) {
            double D = 0;
            for (int C = 0; C < 3; ++C) {
                D += (Expected[V + C] - Actual[V + C]) * (Expected[V + C] - Actual[V + C]);
            }
            Measured = std::max(Measured, std::sqrt(D));
        }
    }
    EXPECT_LE(Measured, 0.05);
    EXPECT_NEAR(Measured, Largest, 1e-4);
    // A uniform split: the root's position and the rotations of a chain of
    // three bones each held to a quarter of the bound over a reach of 65.
    kelvo_int32 Allocated = 0, Uniform = 0;
    float const Angle = 0.05f / 4 / 65;
    float const Shares[3] = {0.05f / 4, Angle * Angle / 8, Angle};
    std::vector<kelvo_real32> const *Arrays[3] = {&Positions, &Orientations, &Scales};
    for (kelvo_int32 Track = 0; Track < Bones * 3; ++Track) {
        kelvo_int32 Kind = Track % 3, Dimension = DimensionOf((motion)Kind);
        Allocated += KelvoCurveGetSize(Curves[Track]);
        Params[Kind].ErrorTolerance = Shares[Kind];
        kelvo_curve2 *Curve = KelvoCompressCurve(
            Solver, Settings.SolverFlags[Kind], &Params[Kind],
            Arrays[Kind]->data() + (Track / 3) * Count * Dimension, Dimension, Count, dT, nullptr);
        Uniform += KelvoCurveGetSize(Curve);
        KelvoFreeCurve(Curve);
        KelvoFreeCurve(Curves[Track]);
    }
    EXPECT_LT(Allocated, Uniform);
}

TEST_F(CurveFittingTest, SkeletonMotionRefusesBadArguments) {
    kelvo_int32 const Parents[2] = {-1, 1};
    kelvo_real32 const Samples[2 * 2 * 9] = {};
    compress_curve_parameters Params = {};
    kelvo_skeleton_compression Good = {3.0f, 0.05f, {&Params, &Params, &Params}, {}};
    kelvo_skeleton_motion Motion = {2, Parents, 2, dT, Samples, Samples, Samples};
    Solver = KelvoAllocateBSplineSolver(3, 2, 9);
    kelvo_skeleton_compression NoParams = Good, BadBound = Good;
    NoParams.Parameters[1] = nullptr;
    BadBound.VertexTolerance = 0;
    kelvo_skeleton_motion OneSample = Motion;
    OneSample.SampleCount = 1;
    struct {
        kelvo_skeleton_compression const *Settings;
        kelvo_skeleton_motion const *Motion;
        char const *Message;
    } const Cases[] = {
        {&Good, &Motion, "ParentIndices[1] 1 is out of range [-1, 1)"},
        {&NoParams, &Motion, "Settings->Parameters[Kind] is not allowed to be 0"},
        {&BadBound, &Motion, "Settings->VertexTolerance > 0.0f"},
        {&Good, &OneSample, "Motion->SampleCount >= 2"},
    };
    for (auto const &Case : Cases) {
        kelvo_curve2 *Curves[6];
        EXPECT_FALSE(KelvoCompressSkeletonMotion(Solver, Case.Settings, Case.Motion, Curves,
                                                 nullptr, nullptr, nullptr));
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoCurveLogMessage, Case.Message);
    }
}

TEST_F(CurveFittingTest, ErrorOverCurveReportsTheWorstSample) {
    kelvo_real32 const Knots[2] = {0, 1};
    kelvo_real32 const Controls[2] = {0, 1};
    kelvo_curve2 Curve;
    kelvo_curve_data_da_k32f_c32f Data;
    KelvoCurveMakeStaticDaK32fC32f(&Curve, &Data, 2, 1, 1, Knots, Controls);
    kelvo_real32 const Samples[5] = {0, 0.25f, 0.75f, 0.75f, 1};
    bspline_error Error;
    KelvoGetSquaredErrorOverCurve(0, 1, 1, 1.0f, &Curve, 5, Samples, nullptr, &Error);
    EXPECT_EQ(Error.MaximumSquaredErrorSampleIndex, 2);
    EXPECT_EQ(Error.MaximumSquaredErrorKnotIndex, 1);
    EXPECT_FLOAT_EQ(Error.MaximumSquaredError, 0.0625f);
    EXPECT_FLOAT_EQ(Error.AccumulatedSquaredError, 0.0625f);
}

} // namespace
