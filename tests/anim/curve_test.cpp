#include "anim/kelvo_curve_formats.h"
#include "kelvo_test.h"

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

class CurveTest : public KelvoTest {};

struct format_case {
    kelvo_data_type_definition const *Type;
    kelvo_int32 Dimension;
    int Bits; // of stored controls; 32 for floats
};

// Every format that encodes knots and controls, with a dimension it takes.
format_case const QuantizedFormats[] = {
    {KelvoCurveDataDaK32fC32fType, 4, 32},   {KelvoCurveDataDaK16uC16uType, 9, 16},
    {KelvoCurveDataDaK8uC8uType, 2, 8},      {KelvoCurveDataD4nK16uC15uType, 4, 15},
    {KelvoCurveDataD4nK8uC7uType, 4, 7},     {KelvoCurveDataD3K16uC16uType, 3, 16},
    {KelvoCurveDataD3K8uC8uType, 3, 8},      {KelvoCurveDataD9I1K16uC16uType, 9, 16},
    {KelvoCurveDataD9I3K16uC16uType, 9, 16}, {KelvoCurveDataD9I1K8uC8uType, 9, 8},
    {KelvoCurveDataD9I3K8uC8uType, 9, 8},    {KelvoCurveDataD3I1K32fC32fType, 3, 32},
    {KelvoCurveDataD3I1K16uC16uType, 3, 16}, {KelvoCurveDataD3I1K8uC8uType, 3, 8},
};

kelvo_curve2 *Build(kelvo_data_type_definition const *Type, int Degree, int Dimension,
                    std::vector<float> const &Knots, std::vector<float> const &Controls) {
    kelvo_curve_builder *Builder =
        KelvoBeginCurve(Type, Degree, Dimension, (kelvo_int32)Knots.size());
    KelvoPushCurveKnotArray(Builder, Knots.empty() ? nullptr : Knots.data());
    KelvoPushCurveControlArray(Builder, Controls.data());
    return KelvoEndCurve(Builder);
}

std::vector<float> IncreasingKnots(std::mt19937 &Random, int Count, float Last) {
    std::uniform_real_distribution<float> Step(0.2f, 1.0f);
    std::vector<float> Knots(Count);
    for (int Index = 1; Index < Count; ++Index) {
        Knots[Index] = Knots[Index - 1] + Step(Random);
    }
    for (float &Knot : Knots) {
        Knot *= Last / Knots.back();
    }
    return Knots;
}

// Controls the format can hold: unit quaternions for D4n, diagonals for D9*,
// points on a segment for D3I1*, anything for the others.
std::vector<float> ControlsFor(std::mt19937 &Random, format_case const &Format, int KnotCount) {
    std::uniform_real_distribution<float> Value(-3.0f, 3.0f);
    int Dimension = Format.Dimension;
    std::vector<float> Controls(KnotCount * Dimension);
    std::string Name = Format.Type[0].Name;
    float Start[3] = {Value(Random), Value(Random), Value(Random)};
    float Along[3] = {Value(Random), Value(Random), Value(Random)};
    for (int Knot = 0; Knot < KnotCount; ++Knot) {
        float *C = &Controls[Knot * Dimension];
        if (Name.find("D3I1") != std::string::npos) {
            float S = Value(Random);
            for (int Lane = 0; Lane < 3; ++Lane) {
                C[Lane] = Start[Lane] + S * Along[Lane];
            }
        } else if (Name.find("D9I") != std::string::npos) {
            float S = Value(Random);
            bool Uniform = Name.find("D9I1") != std::string::npos;
            C[0] = S;
            C[4] = Uniform ? S : Value(Random);
            C[8] = Uniform ? S : Value(Random);
        } else {
            for (int Lane = 0; Lane < Dimension; ++Lane) {
                C[Lane] = Value(Random);
            }
            if (Dimension == 4 && Format.Bits < 16) {
                float Length = std::sqrt(C[0] * C[0] + C[1] * C[1] + C[2] * C[2] + C[3] * C[3]);
                for (int Lane = 0; Lane < 4; ++Lane) {
                    C[Lane] /= Length;
                }
            }
        }
    }
    if (Format.Bits == 15 || Format.Bits == 7) {
        for (int Knot = 0; Knot < KnotCount; ++Knot) {
            float *C = &Controls[Knot * 4];
            float Length = std::sqrt(C[0] * C[0] + C[1] * C[1] + C[2] * C[2] + C[3] * C[3]);
            for (int Lane = 0; Lane < 4; ++Lane) {
                C[Lane] /= Length;
            }
        }
    }
    return Controls;
}

// Half a step of each component's range (D3I1: of the segment, spread over
// the components; D4n: of the widest table entry, tripled for the rebuilt lane).
float ControlBound(format_case const &Format, std::vector<float> const &Controls, int Lane) {
    if (Format.Bits == 32) {
        std::string Name = Format.Type[0].Name;
        return Name.find("D3I1") != std::string::npos ? 1e-4f : 0.0f;
    }
    float Steps = (float)((1 << Format.Bits) - 1);
    if (Format.Bits == 15 || Format.Bits == 7) {
        return 3.0f * 0.5f * 1.4142135f / Steps + 1e-6f;
    }
    int Dimension = Format.Dimension;
    float Low = 1e30f, High = -1e30f;
    for (size_t At = 0; At < Controls.size(); At += Dimension) {
        for (int Component = 0; Component < Dimension; ++Component) {
            bool Same = Component == Lane;
            if (std::string(Format.Type[0].Name).find("D3I1") != std::string::npos) {
                Same = true; // one stored value moves every component
            }
            if (Same) {
                Low = std::min(Low, Controls[At + Component]);
                High = std::max(High, Controls[At + Component]);
            }
        }
    }
    return 0.5f * (High - Low) / Steps * 1.01f + 1e-5f * std::max(std::fabs(High), std::fabs(Low));
}

TEST_F(CurveTest, EveryFormatRoundTripsWithinItsQuantization) {
    std::mt19937 Random(7);
    for (format_case const &Format : QuantizedFormats) {
        SCOPED_TRACE(Format.Type[0].Name);
        for (int Trial = 0; Trial < 20; ++Trial) {
            int KnotCount = 2 + (int)(Random() % 40);
            float Last = 0.5f + (float)(Random() % 100) * 0.1f;
            std::vector<float> Knots = IncreasingKnots(Random, KnotCount, Last);
            std::vector<float> Controls = ControlsFor(Random, Format, KnotCount);
            kelvo_curve2 *Curve = Build(Format.Type, 3, Format.Dimension, Knots, Controls);
            ASSERT_NE(Curve, nullptr);
            ASSERT_TRUE(kelvo::CheckCurve(Curve, "built"));
            ASSERT_EQ(KelvoCurveGetKnotCount(Curve), KnotCount);
            ASSERT_EQ(KelvoCurveGetDimension(Curve), Format.Dimension);
            std::vector<float> DecodedKnots(KnotCount), Decoded(Controls.size());
            KelvoCurveExtractKnotValues(Curve, 0, KnotCount, DecodedKnots.data(), Decoded.data(),
                                        KelvoCurveIdentityScaleShear);
            float KnotBound = Format.Bits == 32
                                  ? 0.0f
                                  : 0.5f * Last / (Format.Bits > 8 ? 65535.0f : 255.0f) * 1.01f;
            for (int Knot = 0; Knot < KnotCount; ++Knot) {
                EXPECT_NEAR(DecodedKnots[Knot], Knots[Knot], KnotBound + 1e-6f * Last);
            }
            for (size_t At = 0; At < Controls.size(); ++At) {
                int Lane = (int)(At % Format.Dimension);
                EXPECT_NEAR(Decoded[At], Controls[At], ControlBound(Format, Controls, Lane))
                    << "knot " << At / Format.Dimension << " lane " << Lane;
            }
            KelvoFreeCurve(Curve);
        }
    }
}

// Knots are quantized and decoded with the truncated scale: OneOverKnotScale
// keeps the upper 16 bits of 65535 / last knot.
TEST_F(CurveTest, QuantizedKnotsFollowTheTruncatedScale) {
    std::vector<float> Knots = {0.0f, 0.3f, 1.0f}, Controls = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    kelvo_curve2 *Curve = Build(KelvoCurveDataD3K16uC16uType, 1, 3, Knots, Controls);
    ASSERT_NE(Curve, nullptr);
    auto const *Data = static_cast<kelvo_curve_data_d3_k16u_c16u *>(Curve->CurveData.Object);
    float Full = 65535.0f;
    kelvo_uint32 Bits;
    memcpy(&Bits, &Full, 4);
    EXPECT_EQ(Data->OneOverKnotScaleTrunc, Bits >> 16);
    kelvo_uint32 TruncatedBits = (kelvo_uint32)Data->OneOverKnotScaleTrunc << 16;
    float Truncated;
    memcpy(&Truncated, &TruncatedBits, 4);
    EXPECT_EQ(Data->KnotsControls[2], (kelvo_uint16)std::lround(Truncated));
    EXPECT_EQ(Data->KnotsControls[1], (kelvo_uint16)std::lround(0.3f * Truncated));
    float Control[3];
    EXPECT_EQ(KelvoCurveExtractKnotValue(Curve, 1, Control, nullptr),
              (float)Data->KnotsControls[1] * (1.0f / Truncated));
    KelvoFreeCurve(Curve);

    // A last knot of 0 encodes every knot as 0 rather than an infinite scale.
    Knots = {0.0f, 0.0f, 0.0f};
    Curve = Build(KelvoCurveDataD3K8uC8uType, 1, 3, Knots, Controls);
    float Decoded[3] = {1, 1, 1};
    KelvoCurveExtractKnotValues(Curve, 0, 3, Decoded, nullptr, nullptr);
    EXPECT_EQ(Decoded[0], 0.0f);
    EXPECT_EQ(Decoded[2], 0.0f);
    KelvoFreeCurve(Curve);
}

// ---- evaluation against an independent de Boor evaluation ---------------------------------

struct loop {
    bool Backwards;
    bool Forwards;
};

// The curve unrolled: knots and controls for indices -Pad .. N+Pad, looping
// by whole periods or holding the end knots.
struct unrolled {
    int Pad;
    std::vector<double> Knots;
    std::vector<double> Controls;
    int Dimension;
    double Knot(int Index) const { return Knots[Index + Pad]; }
    double const *Control(int Index) const { return &Controls[(Index + Pad) * Dimension]; }
};

unrolled Unroll(std::vector<float> const &Knots, std::vector<float> const &Controls, int Dimension,
                loop Loop, double Duration) {
    int N = (int)Knots.size();
    int Period = N - 1;
    unrolled Result{12, {}, {}, Dimension};
    for (int Index = -Result.Pad; Index < N + Result.Pad; ++Index) {
        int Source = Index;
        double Shift = 0;
        int Inside = Loop.Forwards ? N - 1 : N;
        if (Index < 0 && Loop.Backwards) {
            int Periods = (-Index + Period - 1) / Period;
            Source = Index + Periods * Period;
            Shift = -Periods * Duration;
        } else if (Index < 0) {
            Source = 0;
        } else if (Index >= Inside && Loop.Forwards) {
            int Periods = (Index - Inside) / Period + 1;
            Source = Index - Periods * Period;
            Shift = Periods * Duration;
        } else if (Index >= Inside) {
            Source = N - 1;
        }
        Result.Knots.push_back(Knots[Source] + Shift);
        for (int Lane = 0; Lane < Dimension; ++Lane) {
            Result.Controls.push_back(Controls[Source * Dimension + Lane]);
        }
    }
    return Result;
}

// de Boor's algorithm on the span [knot k-1, knot k] with controls k-d .. k.
std::vector<double> DeBoor(unrolled const &Curve, int Degree, int K, double T) {
    int Dimension = Curve.Dimension;
    std::vector<std::vector<double>> D(Degree + 1);
    for (int J = 0; J <= Degree; ++J) {
        D[J].assign(Curve.Control(K - Degree + J), Curve.Control(K - Degree + J) + Dimension);
    }
    auto U = [&](int J) { return Curve.Knot(K - Degree + J); }; // U(j) = knot k-d+j
    for (int R = 1; R <= Degree; ++R) {
        for (int J = Degree; J >= R; --J) {
            double Alpha = (T - U(J - 1)) / (U(J + Degree - R) - U(J - 1));
            for (int Lane = 0; Lane < Dimension; ++Lane) {
                D[J][Lane] = (1 - Alpha) * D[J - 1][Lane] + Alpha * D[J][Lane];
            }
        }
    }
    return D[Degree];
}

void ExpectClose(float const *Actual, std::vector<double> const &Expected, char const *What) {
    double Size = 0;
    for (double Value : Expected) {
        Size = std::max(Size, std::fabs(Value));
    }
    for (size_t Lane = 0; Lane < Expected.size(); ++Lane) {
        EXPECT_NEAR(Actual[Lane], Expected[Lane], 1e-5 * std::max(Size, 1.0))
            << What << " lane " << Lane;
    }
}

TEST_F(CurveTest, EvaluationAgreesWithDeBoorInsideBeforeAfterAndAcrossTheSeam) {
    std::mt19937 Random(11);
    std::uniform_real_distribution<float> Value(-2.0f, 2.0f);
    loop const Loops[] = {{false, false}, {true, true}, {true, false}, {false, true}};
    for (int Degree = 0; Degree <= 3; ++Degree) {
        for (int Dimension : {1, 2, 3, 4, 9}) {
            for (loop Loop : Loops) {
                for (bool Normalize : {false, true}) {
                    SCOPED_TRACE(testing::Message()
                                 << "degree " << Degree << " dimension " << Dimension << " loop "
                                 << Loop.Backwards << Loop.Forwards << " normalize " << Normalize);
                    int N = 6 + (int)(Random() % 10);
                    float Duration = 4.0f;
                    std::vector<float> Knots = IncreasingKnots(Random, N, Duration);
                    std::vector<float> Controls(N * Dimension);
                    for (float &Control : Controls) {
                        Control = Value(Random);
                    }
                    if (Loop.Forwards) { // the last knot is the next period's first
                        std::copy(Controls.begin(), Controls.begin() + Dimension,
                                  Controls.end() - Dimension);
                    }
                    kelvo_curve2 Curve;
                    kelvo_curve_data_da_k32f_c32f Data;
                    KelvoCurveMakeStaticDaK32fC32f(&Curve, &Data, N, Degree, Dimension,
                                                   Knots.data(), Controls.data());
                    unrolled Reference = Unroll(Knots, Controls, Dimension, Loop, Duration);
                    for (float T : {-0.7f, -0.01f, 0.0f, 0.37f, 1.9f, 2.5f, 3.99f, 4.0f, 4.3f}) {
                        float Result[9] = {};
                        KelvoEvaluateCurveAtT(Dimension, Normalize, Loop.Backwards, &Curve,
                                              Loop.Forwards, Duration, T, Result, nullptr);
                        int K = KelvoCurveFindKnot(&Curve, T);
                        std::vector<double> Expected;
                        if (Degree > 0 && K == 0 && !Loop.Backwards) {
                            Expected.assign(Controls.begin(), Controls.begin() + Dimension);
                        } else {
                            Expected = DeBoor(Reference, Degree, K, T);
                        }
                        bool Normalizing =
                            Normalize && Degree > 0 && (Dimension == 3 || Dimension == 4);
                        if (Normalizing && !(Degree > 0 && K == 0 && !Loop.Backwards)) {
                            double Squared = 0;
                            for (double V : Expected) {
                                Squared += V * V;
                            }
                            for (double &V : Expected) {
                                V *= (3 - Squared) / 2;
                            }
                        }
                        bool Spliced =
                            K - Degree < 0 || K + Degree - 1 >= (Loop.Forwards ? N - 1 : N);
                        if (Normalize && Dimension == 4 && Spliced && Degree > 0) {
                            continue; // hemisphere flips: checked on their own below
                        }
                        ExpectClose(Result, Expected, "at t");
                    }
                }
            }
        }
    }
}

// Across the seam the quaternions of a looping window are brought into one
// hemisphere, each following the one before it, before they are blended.
TEST_F(CurveTest, LoopingQuaternionsAreMadeContinuousAtTheSeam) {
    std::vector<float> Knots = {0, 1, 2, 3, 4};
    float const R = 0.70710677f;
    std::vector<float> Controls = {0, 0, 0, 1, 0, 0, R, R, 0, 0, 1, 0, 0, 0, R, -R, 0, 0, 0, 1};
    kelvo_curve2 Curve;
    kelvo_curve_data_da_k32f_c32f Data;
    KelvoCurveMakeStaticDaK32fC32f(&Curve, &Data, 5, 3, 4, Knots.data(), Controls.data());
    float Result[4];
    KelvoEvaluateCurveAtT(4, true, true, &Curve, true, 4.0f, 3.9f, Result, nullptr);
    // The window is controls 1, 2, 3 and the next period's 0, which follows
    // control 3 only when negated.
    float const WindowKnots[6] = {1, 2, 3, 4, 5, 6};
    float const Window[16] = {0, 0, R, R, 0, 0, 1, 0, 0, 0, R, -R, 0, 0, 0, -1};
    float Expected[4];
    KelvoSampleBSpline3x4n(WindowKnots + 3, Window + 12, 3.9f, Expected);
    for (int Lane = 0; Lane < 4; ++Lane) {
        EXPECT_FLOAT_EQ(Result[Lane], Expected[Lane]);
    }
    EXPECT_LT(Result[3], -0.5f);
}

// Quantized curves evaluate as their decoded knots and controls do.
TEST_F(CurveTest, QuantizedCurvesEvaluateAsTheirDecodedForm) {
    std::mt19937 Random(5);
    for (format_case const &Format : QuantizedFormats) {
        SCOPED_TRACE(Format.Type[0].Name);
        int KnotCount = 12;
        std::vector<float> Knots = IncreasingKnots(Random, KnotCount, 3.0f);
        std::vector<float> Controls = ControlsFor(Random, Format, KnotCount);
        kelvo_curve2 *Curve = Build(Format.Type, 2, Format.Dimension, Knots, Controls);
        kelvo_curve2 *Floats = KelvoCurveConvertToDaK32fC32f(Curve, nullptr);
        ASSERT_NE(Floats, nullptr);
        EXPECT_TRUE(KelvoCurveIsTypeDaK32fC32f(Floats));
        for (float T : {-0.5f, 0.1f, 1.3f, 2.99f, 3.5f}) {
            for (bool Loop : {false, true}) {
                float A[9], B[9];
                KelvoEvaluateCurveAtT(Format.Dimension, false, Loop, Curve, Loop, 3.0f, T, A,
                                      nullptr);
                KelvoEvaluateCurveAtT(Format.Dimension, false, Loop, Floats, Loop, 3.0f, T, B,
                                      nullptr);
                for (int Lane = 0; Lane < Format.Dimension; ++Lane) {
                    EXPECT_NEAR(A[Lane], B[Lane], 1e-4f) << T;
                }
            }
        }
        KelvoFreeCurve(Floats);
        KelvoFreeCurve(Curve);
    }
}

// ---- knot search -------------------------------------------------------------------

TEST_F(CurveTest, KnotSearchFindsTheFirstKnotAfterTAndClampsOutsideTheCurve) {
    std::vector<float> Knots = {0, 1, 2, 3}, Controls = {0, 1, 2, 3};
    for (auto *Type :
         {KelvoCurveDataDaK32fC32fType, KelvoCurveDataDaK16uC16uType, KelvoCurveDataDaK8uC8uType}) {
        SCOPED_TRACE(Type[0].Name);
        kelvo_curve2 *Curve = Build(Type, 1, 1, Knots, Controls);
        struct {
            float T;
            int Knot;
        } const Cases[] = {{-100.0f, 0}, {-0.001f, 0}, {0.0f, 1}, {0.5f, 1},
                           {1.0f, 2},    {2.999f, 3},  {3.0f, 3}, {3.02f, 3},
                           {5.0f, 3},    {1e30f, 3},   {NAN, 3}};
        for (auto const &Case : Cases) {
            int Found = KelvoCurveFindKnot(Curve, Case.T);
            if (std::isnan(Case.T)) {
                EXPECT_GE(Found, 0); // any knot, but one of the curve's
                EXPECT_LE(Found, 3);
            } else {
                EXPECT_EQ(Found, Case.Knot) << Case.T;
            }
        }
        KelvoFreeCurve(Curve);
    }
}

// Times of playback: from First by Step, Steps steps forwards and back
// again, then Jumps random times in [Low, High).
std::vector<float> PlaybackTimes(std::mt19937 &Random, float First, float Step, int Steps,
                                 int Jumps, float Low, float High) {
    std::uniform_real_distribution<float> Jump(Low, High);
    std::vector<float> Times;
    for (int At = 0; At <= Steps; ++At) {
        Times.push_back(First + (float)At * Step);
    }
    for (int At = Steps; At >= 0; --At) {
        Times.push_back(First + (float)At * Step);
    }
    for (int At = 0; At < Jumps; ++At) {
        Times.push_back(Jump(Random));
    }
    return Times;
}

// Playback keeps the knot of the last sampling and starts the next search
// there, and may keep the window it decoded there (one kept window per loop
// setting, which steady playback hits, and one that both settings share,
// which they must never mistake for their own); forwards, backwards, with
// jumps and across the seams, what it evaluates and finds must be exactly
// what a fresh search gives.
TEST_F(CurveTest, KnotCursorsChangeNoBitOfTheResult) {
    std::mt19937 Random(11);
    std::vector<float> Times = PlaybackTimes(Random, -0.5f, 0.025f, 160, 60, -1.0f, 4.0f);
    // Frames longer than the knots' spacing: kept windows step by several knots.
    std::vector<float> const Strides = PlaybackTimes(Random, -0.4f, 0.55f, 7, 0, 0.0f, 0.0f);
    Times.insert(Times.end(), Strides.begin(), Strides.end());
    Times.push_back(NAN);
    for (format_case const &Format : QuantizedFormats) {
        for (int Degree : {1, 3}) {
            char const *Name = Format.Type[0].Name; // a copy: the record's slot is 4-aligned
            SCOPED_TRACE(testing::Message() << Name << " degree " << Degree);
            int const KnotCount = 9;
            kelvo_curve2 *Curve = Build(Format.Type, Degree, Format.Dimension,
                                        IncreasingKnots(Random, KnotCount, 3.0f),
                                        ControlsFor(Random, Format, KnotCount));
            bool const Normalize = Format.Dimension == 4;
            kelvo_int32 Cursor = -1, KeptCursors[3] = {-1, -1, -1};
            kelvo::seam_window Kept[3] = {}; // shared, then one per loop setting
            for (float T : Times) {
                for (bool Loop : {true, false}) {
                    float Fresh[9], Resumed[9];
                    KelvoEvaluateCurveAtT(Format.Dimension, Normalize, Loop, Curve, Loop, 3.0f, T,
                                          Fresh, nullptr);
                    kelvo::EvaluateCurveFrom(&Cursor, Format.Dimension, Normalize, Loop, Curve,
                                             Loop, 3.0f, T, Resumed, nullptr);
                    ASSERT_EQ(memcmp(Fresh, Resumed, Format.Dimension * sizeof(float)), 0) << T;
                    for (int Window : {0, Loop ? 1 : 2}) {
                        kelvo::EvaluateCurveFrom(KeptCursors + Window, Format.Dimension, Normalize,
                                                 Loop, Curve, Loop, 3.0f, T, Resumed, nullptr,
                                                 Kept + Window);
                        ASSERT_EQ(memcmp(Fresh, Resumed, Format.Dimension * sizeof(float)), 0)
                            << T << " kept window " << Window;
                    }
                }
                kelvo_int32 Knot = KelvoCurveFindKnot(Curve, T);
                ASSERT_EQ(Cursor, Knot) << T;
                for (kelvo_int32 Start = -2; Start <= KnotCount + 1; Start += 3) {
                    ASSERT_EQ(KelvoCurveFindCloseKnot(Curve, T, Start), Knot) << T << " " << Start;
                }
            }
            KelvoFreeCurve(Curve);
        }
    }
}

// Position and orientation evaluated as a pair (one set of weights where
// their knots agree, seam windows kept or not) give each curve's own bits,
// with its cursor, for shared and differing knots, every degree, forwards,
// backwards, jumps and across the seam under each loop setting; other
// formats are declined.
TEST_F(CurveTest, PairedEvaluationChangesNoBitOfEitherCurve) {
    std::mt19937 Random(12);
    std::vector<float> const Times = PlaybackTimes(Random, -1.0f, 0.07f, 70, 40, -2.0f, 5.0f);
    format_case const Floats3 = {KelvoCurveDataDaK32fC32fType, 3, 32};
    format_case const Floats4 = {KelvoCurveDataDaK32fC32fType, 4, 32};
    std::vector<float> const Shared = IncreasingKnots(Random, 10, 3.0f);
    std::vector<float> Moved = Shared;
    Moved[5] = (Moved[4] + Moved[5]) / 2; // the same ends, one knot apart
    struct pair_case {
        int PositionDegree, OrientationDegree;
        std::vector<float> const &OrientationKnots;
        kelvo_data_type_definition const *OrientationType;
        bool Evaluates;
    } const Cases[] = {
        {3, 3, Shared, KelvoCurveDataDaK32fC32fType, true},
        {2, 2, Shared, KelvoCurveDataDaK32fC32fType, true},
        {1, 1, Shared, KelvoCurveDataDaK32fC32fType, true},
        {0, 0, Shared, KelvoCurveDataDaK32fC32fType, true},
        {3, 3, Moved, KelvoCurveDataDaK32fC32fType, true},
        {3, 2, Shared, KelvoCurveDataDaK32fC32fType, true},
        {3, 3, Shared, KelvoCurveDataD4nK16uC15uType, false},
    };
    for (pair_case const &Case : Cases) {
        kelvo_curve2 *P =
            Build(Floats3.Type, Case.PositionDegree, 3, Shared, ControlsFor(Random, Floats3, 10));
        kelvo_curve2 *Q = Build(Case.OrientationType, Case.OrientationDegree, 4,
                                Case.OrientationKnots, ControlsFor(Random, Floats4, 10));
        for (int Setting = 0; Setting < 8; ++Setting) {
            bool const Backwards = Setting & 1, Forwards = Setting & 2, Kept = Setting & 4;
            SCOPED_TRACE(testing::Message() << "degrees " << Case.PositionDegree << "/"
                                            << Case.OrientationDegree << " setting " << Setting);
            kelvo_int32 Cursors[2] = {-1, -1};
            kelvo::seam_window Seams[2] = {};
            for (float T : Times) {
                float Position[3], Orientation[4], ExpectedP[3], ExpectedQ[4];
                kelvo_int32 const Before[2] = {Cursors[0], Cursors[1]};
                bool const Evaluated = kelvo::EvaluatePositionOrientationFrom(
                    Cursors, Kept ? Seams : nullptr, Backwards, Forwards, 3.0f, P, Q, T, Position,
                    Orientation);
                kelvo::EvaluateCurveFrom(nullptr, 3, false, Backwards, P, Forwards, 3.0f, T,
                                         ExpectedP, nullptr);
                kelvo::EvaluateCurveFrom(nullptr, 4, true, Backwards, Q, Forwards, 3.0f, T,
                                         ExpectedQ, nullptr);
                if (!Evaluated) {
                    // Declined only for other formats and before the held first control.
                    ASSERT_TRUE(!Case.Evaluates || (!Backwards && T < Shared[0])) << T;
                    ASSERT_TRUE(Cursors[0] == Before[0] && Cursors[1] == Before[1]) << T;
                    continue;
                }
                ASSERT_EQ(memcmp(Position, ExpectedP, sizeof(Position)), 0) << T;
                ASSERT_EQ(memcmp(Orientation, ExpectedQ, sizeof(Orientation)), 0) << T;
                ASSERT_EQ(Cursors[0], KelvoCurveFindKnot(P, T)) << T;
                ASSERT_EQ(Cursors[1], KelvoCurveFindKnot(Q, T)) << T;
            }
        }
        // A kept window is keyed by all the splice reads but the values: a
        // window kept at a seam knot is not taken for another curve, loop
        // setting or duration at that knot.
        kelvo_curve2 *Other =
            Build(Floats3.Type, Case.PositionDegree, 3, Shared, ControlsFor(Random, Floats3, 10));
        struct call {
            kelvo_curve2 const *Curve;
            bool Backwards;
            float Duration;
        } const Changes[][2] = {{{P, true, 3.0f}, {Other, true, 3.0f}},
                                {{P, true, 3.0f}, {P, false, 3.0f}},
                                {{P, true, 3.0f}, {P, true, 6.0f}}};
        for (auto const &Change : Changes) {
            kelvo_int32 Cursors[2] = {-1, -1};
            kelvo::seam_window Seams[2] = {};
            float Position[3], Orientation[4], ExpectedP[3];
            for (call const &Call : Change) {
                kelvo::EvaluatePositionOrientationFrom(Cursors, Seams, Call.Backwards, true,
                                                       Call.Duration, Call.Curve, Q, 0.01f,
                                                       Position, Orientation);
            }
            kelvo::EvaluateCurveFrom(nullptr, 3, false, Change[1].Backwards, Change[1].Curve, true,
                                     Change[1].Duration, 0.01f, ExpectedP, nullptr);
            EXPECT_TRUE(!Case.Evaluates || memcmp(Position, ExpectedP, sizeof(Position)) == 0)
                << &Change - Changes;
        }
        KelvoFreeCurve(Other);
        KelvoFreeCurve(P);
        KelvoFreeCurve(Q);
    }
}

// ---- scale, offset and swizzle ---------------------------------------------------------

TEST_F(CurveTest, NegativeScalesNegateEveryDecodedQuaternion) {
    std::mt19937 Random(3);
    for (auto *Type : {KelvoCurveDataD4nK16uC15uType, KelvoCurveDataD4nK8uC7uType}) {
        format_case Format = {Type, 4, Type == KelvoCurveDataD4nK8uC7uType ? 7 : 15};
        std::vector<float> Knots = IncreasingKnots(Random, 30, 2.0f);
        std::vector<float> Controls = ControlsFor(Random, Format, 30);
        kelvo_curve2 *Curve = Build(Type, 3, 4, Knots, Controls);
        std::vector<float> Before(120), After(120);
        KelvoCurveExtractKnotValues(Curve, 0, 30, nullptr, Before.data(), nullptr);
        float const Scales[4] = {-1, -1, -1, -1}, Offsets[4] = {5, 5, 5, 5};
        kelvo_int32 const Swizzles[4] = {0, 1, 2, 3};
        KelvoCurveScaleOffsetSwizzle(Curve, 4, Scales, Offsets, Swizzles);
        KelvoCurveExtractKnotValues(Curve, 0, 30, nullptr, After.data(), nullptr);
        for (int At = 0; At < 120; ++At) {
            EXPECT_EQ(After[At], -Before[At]) << At;
        }
        KelvoFreeCurve(Curve);
    }
}

// A swizzle that reverses the components, with a scale and an offset, acts
// on the decoded controls of every format the same way.
TEST_F(CurveTest, SwizzlesPermuteTheDecodedComponentsOfEveryFormat) {
    std::mt19937 Random(9);
    for (format_case const &Format : QuantizedFormats) {
        SCOPED_TRACE(Format.Type[0].Name);
        int Dimension = Format.Dimension;
        bool Quaternion = Format.Bits == 15 || Format.Bits == 7;
        bool Diagonal = std::string(Format.Type[0].Name).find("D9") != std::string::npos;
        std::vector<float> Knots = IncreasingKnots(Random, 10, 1.0f);
        std::vector<float> Controls = ControlsFor(Random, Format, 10);
        kelvo_curve2 *Curve = Build(Format.Type, 1, Dimension, Knots, Controls);
        std::vector<float> Before(10 * Dimension), After(10 * Dimension);
        KelvoCurveExtractKnotValues(Curve, 0, 10, nullptr, Before.data(), nullptr);
        kelvo_int32 Swizzles[9];
        float Scales[9], Offsets[9];
        for (int Lane = 0; Lane < Dimension; ++Lane) {
            Swizzles[Lane] = Dimension - 1 - Lane; // reverses the diagonal too
            Scales[Lane] = Quaternion ? 1.0f : 2.0f;
            Offsets[Lane] = Quaternion ? 0.0f : 0.5f;
        }
        KelvoCurveScaleOffsetSwizzle(Curve, Dimension, Scales, Offsets, Swizzles);
        KelvoCurveExtractKnotValues(Curve, 0, 10, nullptr, After.data(), nullptr);
        for (int Knot = 0; Knot < 10; ++Knot) {
            for (int Lane = 0; Lane < Dimension; ++Lane) {
                if (Diagonal && Lane % 4 != 0) {
                    EXPECT_EQ(After[Knot * Dimension + Lane], 0.0f);
                    continue;
                }
                float In = Before[Knot * Dimension + Swizzles[Lane]];
                float Expected = In * Scales[Lane] + Offsets[Lane];
                EXPECT_NEAR(After[Knot * Dimension + Lane], Expected,
                            1e-4f * (1 + std::fabs(Expected)))
                    << "knot " << Knot << " lane " << Lane;
            }
        }
        KelvoFreeCurve(Curve);
    }
}

// A diagonal curve stores three values; a swizzle that would read a fourth,
// or move an off-diagonal entry onto the diagonal, is refused and changes nothing.
TEST_F(CurveTest, DiagonalSwizzlesOutsideTheDiagonalAreRefused) {
    std::vector<float> Knots = {0, 1}, Controls(18);
    Controls[0] = Controls[4] = Controls[8] = 1;
    Controls[9] = Controls[13] = Controls[17] = 2;
    kelvo_curve2 *Curve = Build(KelvoCurveDataD9I3K16uC16uType, 1, 9, Knots, Controls);
    std::vector<float> Before(18), After(18);
    KelvoCurveExtractKnotValues(Curve, 0, 2, nullptr, Before.data(), nullptr);
    float const Ones[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1}, Zeros[9] = {};
    kelvo_int32 const ThreeWide[3] = {0, 1, 5};
    kelvo_int32 const OffDiagonal[9] = {1, 0, 2, 3, 4, 5, 6, 7, 8};
    KelvoCurveScaleOffsetSwizzle(Curve, 3, Ones, Zeros, ThreeWide);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoCurveLogMessage,
                     "Swizzle 5 is out of range [0, 3)");
    KelvoCurveScaleOffsetSwizzle(Curve, 9, Ones, Zeros, OffDiagonal);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoCurveLogMessage, "names no diagonal component");
    KelvoCurveExtractKnotValues(Curve, 0, 2, nullptr, After.data(), nullptr);
    EXPECT_EQ(Before, After);
    KelvoFreeCurve(Curve);
}

// ---- constants, identities and the builder ----------------------------------------------

TEST_F(CurveTest, ConstantsIdentitiesAndTheirQueries) {
    // Controls without knots for one knot: a constant whose knot is 0.
    float const Control[4] = {1, 2, 3, 4};
    kelvo_curve_builder *Builder = KelvoBeginCurve(KelvoCurveDataD4Constant32fType, 0, 4, 1);
    KelvoPushCurveControlArray(Builder, Control);
    kelvo_curve2 *Constant = KelvoEndCurve(Builder);
    ASSERT_NE(Constant, nullptr);
    float Result[4];
    EXPECT_EQ(KelvoCurveExtractKnotValue(Constant, 0, Result, nullptr), 0.0f);
    EXPECT_EQ(Result[3], 4.0f);
    EXPECT_TRUE(KelvoCurveIsConstantNotIdentity(Constant));
    KelvoEvaluateCurveAtT(4, true, true, Constant, true, 1.0f, 7.0f, Result, nullptr);
    EXPECT_EQ(Result[0], 1.0f);
    EXPECT_GT(KelvoCurveGetSize(Constant), 0);

    Builder = KelvoBeginCurve(KelvoCurveDataDaIdentityType, 0, 3, 0);
    kelvo_curve2 *Identity = KelvoEndCurve(Builder);
    ASSERT_NE(Identity, nullptr);
    EXPECT_EQ(KelvoCurveGetDimension(Identity), 0); // though the record says 3
    EXPECT_TRUE(KelvoCurveIsIdentity(Identity));
    KelvoEvaluateCurveAtT(3, false, false, Identity, false, 1.0f, 0.5f, Result,
                          KelvoCurveIdentityScale);
    EXPECT_EQ(Result[2], 1.0f);

    // A copy is the same curve in a block of its own.
    kelvo_curve2 *Copy = KelvoEndCurve(KelvoBeginCurveCopy(Constant));
    ASSERT_NE(Copy, nullptr);
    EXPECT_NE(Copy->CurveData.Object, Constant->CurveData.Object);
    KelvoCurveExtractKnotValue(Copy, 0, Result, nullptr);
    EXPECT_EQ(Result[1], 2.0f);
    EXPECT_TRUE(KelvoCurveFormatIsInitializedCorrectly(Copy));
    KelvoFreeCurve(Copy);
    KelvoFreeCurve(Identity);
    KelvoFreeCurve(Constant);
}

TEST_F(CurveTest, BuildersThatCannotEndSayWhy) {
    float const Values[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    struct {
        kelvo_data_type_definition const *Type;
        int KnotCount;
        bool Knots, Controls;
        char const *Message;
    } const Cases[] = {
        {KelvoEmptyType, 2, true, true,
         "Invalid format specified for a kelvo_curve2 - returning NULL"},
        {KelvoCurveDataDaK32fC32fType, 2, false, true, "Unknown curve type - returning NULL"},
        {KelvoCurveDataDaK32fC32fType, 2, false, false,
         "Need either a source curve to copy, or both knot and control arrays - returning NULL"},
        {KelvoCurveDataDaK32fC32fType, 2, true, false,
         "Need either a source curve to copy, or both knot and control arrays - returning NULL"},
    };
    for (auto const &Case : Cases) {
        kelvo_curve_builder *Builder = KelvoBeginCurve(Case.Type, 1, 1, Case.KnotCount);
        if (Case.Type == KelvoEmptyType) {
            ExpectLogged(KelvoErrorLogMessage, "creating this curve will fail");
            EXPECT_EQ(KelvoGetResultingCurveSize(Builder), 0);
            ExpectLogged(KelvoErrorLogMessage, "returning size of 0");
        }
        KelvoPushCurveKnotArray(Builder, Case.Knots ? Values : nullptr);
        KelvoPushCurveControlArray(Builder, Case.Controls ? Values : nullptr);
        EXPECT_EQ(KelvoEndCurve(Builder), nullptr);
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoCurveLogMessage, Case.Message);
    }
    EXPECT_EQ(KelvoEndCurve(nullptr), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Invalid curve_builder address - returning NULL");
    kelvo_curve_builder *Builder = KelvoBeginCurve(KelvoCurveDataDaK32fC32fType, 1, 1, 2);
    KelvoEndCurveInPlace(Builder, nullptr);
    ExpectLogged(KelvoErrorLogMessage,
                 "Out of memory or invalid address for curve - returning NULL");
    // A fixed-dimension format refuses another dimension at once.
    Builder = KelvoBeginCurve(KelvoCurveDataD3K8uC8uType, 1, 1, 2);
    ExpectLogged(KelvoErrorLogMessage, "does not fit format \"D3K8uC8u\"");
    KelvoAbortCurveBuilder(Builder);
}

// ---- operations on a format byte from nowhere ---------------------------------------------

TEST_F(CurveTest, UnknownFormatBytesAreReportedNotIndexed) {
    kelvo_curve_data_d3_constant32f Data = {{255, 0}, 0, {1, 2, 3}};
    kelvo_curve2 Curve = {{KelvoCurveDataD3Constant32fType, &Data}};
    float Result[3] = {};
    EXPECT_FALSE(KelvoCurveFormatIsInitializedCorrectly(&Curve));
    EXPECT_EQ(KelvoCurveGetKnotCount(&Curve), 0);
    KelvoEvaluateCurveAtT(3, false, false, &Curve, false, 1, 0, Result, nullptr);
    EXPECT_EQ(Result[0], 0.0f);
    EXPECT_EQ(KelvoCurveFindKnot(&Curve, 0.5f), 0);
    for (int Report = 0; Report < 3; ++Report) {
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoCurveLogMessage, "Curve format 255 is unknown");
    }
    KelvoCurveInitializeFormat(&Curve);
    EXPECT_EQ(Data.CurveDataHeader_D3Constant32f.Format, 4);
    EXPECT_TRUE(KelvoCurveFormatIsInitializedCorrectly(&Curve));
    KelvoEvaluateCurveAtT(3, false, false, &Curve, false, 1, 0, Result, nullptr);
    EXPECT_EQ(Result[2], 3.0f);
}

TEST_F(CurveTest, EvaluatorsRefuseCombinationsTheyDoNotHave) {
    float Knots[6] = {0, 1, 2, 3, 4, 5}, Controls[40] = {}, Result[9];
    struct {
        int Degree, Dimension;
        char const *Message;
    } const Cases[] = {{4, 3, "Degree 4 is out of range [0, 4)"},
                       {-1, 3, "Degree -1 is out of range [0, 4)"},
                       {1, 10, "Dimension 10 is out of range [0, 10)"},
                       {2, 5, "Unrecognized degree/dimension combination (2/5)"}};
    for (auto const &Case : Cases) {
        KelvoSampleBSpline(Case.Degree, Case.Dimension, 0, Knots + 3, Controls + 20, 2.5f, Result);
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoBSplineLogMessage, Case.Message);
    }
    // The checked dispatcher reaches the named evaluators.
    for (int At = 0; At < 40; ++At) {
        Controls[At] = (float)At;
    }
    float Named[4], Dispatched[4];
    KelvoSampleBSpline3x4n(Knots + 3, Controls + 12, 2.5f, Named);
    KelvoSampleBSpline(3, 4, 1, Knots + 3, Controls + 12, 2.5f, Dispatched);
    EXPECT_EQ(memcmp(Named, Dispatched, sizeof(Named)), 0);
    KelvoUncheckedSampleBSpline(1, 9, Knots + 3, Controls + 9, 2.5f, Result);
    EXPECT_FLOAT_EQ(Result[0], 4.5f);
}

} // namespace
