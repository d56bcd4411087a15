// Fitting sampled motion with B-splines: the reusable solver block, the
// initial knots, the banded least-squares solve, refinement until every
// sample is within tolerance, knot removal, and the error of samples
// against a curve. The solve builds its rows with the evaluator's own basis
// (see kelvo2_curve_fitting.h), so what it minimises is what evaluation
// returns. Every caller argument is checked before the first use; buffer
// bounds come from the solver's own sizes, never from what a fit produces.
#include "build/kelvo_curve_fitting.h"

#include "anim/kelvo_bspline.h"
#include "anim/kelvo_curve_formats.h"
#include "foundation/kelvo_counters.h"

#include <math.h>
#include <string.h>

static_assert(sizeof(bspline_error) == 16, "bspline_error is 16 bytes");
static_assert(sizeof(void *) != 4 || sizeof(compress_curve_parameters) == 40,
              "compress_curve_parameters is 40 bytes in the 32-bit build");
static_assert(sizeof(void *) != 8 || sizeof(compress_curve_parameters) == 56,
              "compress_curve_parameters is 56 bytes in 64-bit builds");

struct bspline_solver {
    kelvo_int32 Degree;
    kelvo_int32 MaximumSampleCount;
    kelvo_int32 MaximumDimension;
    kelvo_int32 Capacity; // knots and controls any buffer holds
    kelvo_real32 *KnotBuffers[2];
    kelvo_real32 *Controls; // Capacity x MaximumDimension, the candidate's
    double *Band;           // Capacity x (Degree + 1): row i holds A(i, i .. i + Degree)
    double *RightHandSides; // Capacity x MaximumDimension, solved in place
    kelvo_real32 *SampleCopy = nullptr; // set by the running fit
    kelvo_curve2 ScratchCurve = {};     // the DaK32fC32f candidate, over the buffers
    kelvo_curve_data_da_k32f_c32f ScratchData = {};
};

namespace kelvo {

namespace {

constexpr kelvo_log_message_origin Origin = KelvoCurveLogMessage;
constexpr double PivotFloor = 0.00001;
constexpr double Smoothing = 1e-6;

bool AllFinite(kelvo_real32 const *Values, kelvo_int64 Count) {
    for (kelvo_int64 Index = 0; Index < Count; ++Index) {
        if (!isfinite(Values[Index])) {
            return false;
        }
    }
    return true;
}

bool IsFittableFamily(curve_family Family) {
    return Family == curve_family::Floats || Family == curve_family::Scaled ||
           Family == curve_family::Quaternion || Family == curve_family::ThreeScaled ||
           Family == curve_family::OneScaled || Family == curve_family::Line;
}

// One fit in progress: the problem, the current knots and the candidate.
struct fit {
    bspline_solver &Solver;
    kelvo_uint32 Flags;
    kelvo_int32 Degree;
    kelvo_int32 Dimension;
    kelvo_int32 SampleCount;
    kelvo_real32 const *Samples;
    kelvo_real32 ToleranceSquared;
    kelvo_data_type_definition const *Type;
    kelvo_int32 FormatIndex;
    kelvo_int32 MaximumKnotCount;
    kelvo_int32 Current = 0; // which knot buffer holds the knots
    kelvo_int32 KnotCount = 0;
    kelvo_curve2 *Candidate = nullptr; // the scratch curve or an owned one

    kelvo_real32 *Knots() const { return Solver.KnotBuffers[Current]; }
    kelvo_real32 *OtherKnots() const { return Solver.KnotBuffers[1 - Current]; }
};

void InsertKnots(kelvo_real32 *Knots, kelvo_int32 &KnotCount, kelvo_real32 Value,
                 kelvo_int32 Count) {
    kelvo_int32 At = KnotCount;
    while (At > 0 && Knots[At - 1] > Value) {
        --At;
    }
    memmove(Knots + At + Count, Knots + At, (size_t)(KnotCount - At) * sizeof(kelvo_real32));
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Knots[At + Index] = Value;
    }
    KnotCount += Count;
}

kelvo_real32 SquaredDistance(kelvo_real32 const *A, kelvo_real32 const *B, kelvo_int32 Dimension) {
    kelvo_real32 Sum = 0.0f;
    for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
        kelvo_real32 Delta = A[Component] - B[Component];
        Sum += Delta * Delta;
    }
    return Sum;
}

void PlaceInitialKnots(fit &Fit, kelvo_real32 C0Threshold, kelvo_real32 C1Threshold) {
    kelvo_real32 *Knots = Fit.Knots();
    kelvo_int32 Count = Fit.SampleCount;
    kelvo_int32 Dimension = Fit.Dimension;
    kelvo_int32 &KnotCount = Fit.KnotCount;
    Knots[0] = 0.0f;
    Knots[1] = (kelvo_real32)(Count - 1);
    KnotCount = 2;
    if (Fit.Flags & BSplineSolverExtraDOFKnotZero) {
        for (kelvo_int32 Extra = Fit.Degree - 1; Extra >= 1; --Extra) {
            InsertKnots(Knots, KnotCount, 0.125f * (kelvo_real32)Extra, 1);
        }
    }
    for (kelvo_int32 Index = 1; Index + 1 < Count; ++Index) {
        kelvo_real32 const *Previous = Fit.Samples + (Index - 1) * Dimension;
        kelvo_real32 const *Sample = Previous + Dimension;
        kelvo_real32 const *Next = Sample + Dimension;
        kelvo_int32 Inserted = 0;
        if (Fit.Flags & BSplineSolverAllowC1Splitting) {
            kelvo_real32 Second = 0.0f;
            for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
                kelvo_real32 Value =
                    2.0f * Sample[Component] - Previous[Component] - Next[Component];
                Second += Value * Value;
            }
            if (C1Threshold * C1Threshold < Second) {
                Inserted = Fit.Degree;
            }
        }
        if (Fit.Flags & BSplineSolverAllowC0Splitting) {
            kelvo_real32 Jump = SquaredDistance(Sample, Next, Dimension);
            kelvo_real32 Back = SquaredDistance(Sample, Previous, Dimension);
            if (C0Threshold * C0Threshold < (Jump > Back ? Jump : Back)) {
                Inserted = Fit.Degree + 1;
            }
        }
        if (Inserted > 0) {
            InsertKnots(Knots, KnotCount, (kelvo_real32)Index, Inserted);
        }
    }
    if (KnotCount == 2) {
        kelvo_int32 Spread = Fit.Degree == 0 ? 2 : Fit.Degree + 1;
        for (kelvo_int32 Index = 0; Index < Spread; ++Index) {
            Knots[Index] =
                (kelvo_real32)Index * (kelvo_real32)(Count - 1) / (kelvo_real32)(Spread - 1);
        }
        KnotCount = Spread;
    }
}

// The window evaluation reads for time T in span Knot: knots Knot-d ..
// Knot+d-1 and controls Knot-d .. Knot, those outside the curve repeating
// its first or last.
void Window(kelvo_real32 const *Knots, kelvo_int32 KnotCount, kelvo_int32 Degree, kelvo_int32 Knot,
            kelvo_real32 *WindowKnots) {
    for (kelvo_int32 Entry = 0; Entry < 2 * Degree; ++Entry) {
        kelvo_int32 Index = Knot - Degree + Entry;
        Index = Index < 0 ? 0 : (Index >= KnotCount ? KnotCount - 1 : Index);
        WindowKnots[Entry] = Knots[Index];
    }
}

// One least-squares pass over the current knots: the candidate's controls.
void Solve(fit &Fit) {
    bspline_solver &Solver = Fit.Solver;
    kelvo_int32 const Degree = Fit.Degree;
    kelvo_int32 const Width = Degree + 1;
    kelvo_int32 const Dimension = Fit.Dimension;
    kelvo_int32 const KnotCount = Fit.KnotCount;
    kelvo_real32 const *Knots = Fit.Knots();
    double *Band = Solver.Band;
    double *Rhs = Solver.RightHandSides;
    {
        KELVO_TIMED_BLOCK("BuildATAAndATb");
        memset(Band, 0, (size_t)KnotCount * (size_t)Width * sizeof(double));
        memset(Rhs, 0, (size_t)KnotCount * (size_t)Dimension * sizeof(double));
        kelvo_int32 Knot = 0;
        for (kelvo_int32 Sample = 0; Sample < Fit.SampleCount; ++Sample) {
            kelvo_real32 T = (kelvo_real32)Sample;
            while (Knot < KnotCount - 1 && !(T < Knots[Knot])) {
                ++Knot;
            }
            kelvo_real32 WindowKnots[6];
            kelvo_real32 Weights[4];
            Window(Knots, KnotCount, Degree, Knot, WindowKnots);
            BSplineWeights(Degree, WindowKnots + Degree, T, Weights);
            // Controls before control 0 are control 0 to the evaluator.
            kelvo_int32 First = Knot - Degree < 0 ? 0 : Knot - Degree;
            double Merged[4] = {0.0, 0.0, 0.0, 0.0};
            for (kelvo_int32 Entry = 0; Entry <= Degree; ++Entry) {
                kelvo_int32 Control = Knot - Degree + Entry;
                Merged[(Control < 0 ? 0 : Control) - First] += Weights[Entry];
            }
            kelvo_int32 Used = Knot - First + 1;
            kelvo_real32 const *Values = Fit.Samples + (kelvo_int64)Sample * Dimension;
            for (kelvo_int32 A = 0; A < Used; ++A) {
                double *Row = Band + (kelvo_int64)(First + A) * Width;
                for (kelvo_int32 B = A; B < Used; ++B) {
                    Row[B - A] += Merged[A] * Merged[B];
                }
                double *Target = Rhs + (kelvo_int64)(First + A) * Dimension;
                for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
                    Target[Component] += Merged[A] * Values[Component];
                }
            }
        }
    }
    // A faint pull of each control toward its neighbour: controls that no
    // sample determines (with knots on every sample, around repeated knots)
    // follow their neighbours instead of growing without bound, and the
    // others move by a negligible amount.
    for (kelvo_int32 Row = 0; Degree > 0 && Row + 1 < KnotCount; ++Row) {
        Band[(kelvo_int64)Row * Width] += Smoothing;
        Band[(kelvo_int64)(Row + 1) * Width] += Smoothing;
        Band[(kelvo_int64)Row * Width + 1] -= Smoothing;
    }
    {
        // Upper factor U in place of the band; a pivot at or below the floor
        // leaves its control undetermined (row of zeros, diagonal 0).
        KELVO_TIMED_BLOCK("SymmetricBandDiagonalCholeskyFactor");
        for (kelvo_int32 Row = 0; Row < KnotCount; ++Row) {
            double *U = Band + (kelvo_int64)Row * Width;
            for (kelvo_int32 Offset = 0; Offset < Width && Row + Offset < KnotCount; ++Offset) {
                kelvo_int32 Column = Row + Offset;
                double Sum = U[Offset];
                kelvo_int32 From = Column - Degree < 0 ? 0 : Column - Degree;
                for (kelvo_int32 Above = From; Above < Row; ++Above) {
                    double const *P = Band + (kelvo_int64)Above * Width;
                    Sum -= P[Row - Above] * P[Column - Above];
                }
                if (Offset == 0) {
                    if (Sum <= PivotFloor) {
                        for (kelvo_int32 Clear = 0; Clear < Width; ++Clear) {
                            U[Clear] = 0.0;
                        }
                        break;
                    }
                    U[0] = sqrt(Sum);
                } else {
                    U[Offset] = Sum / U[0];
                }
            }
        }
    }
    {
        KELVO_TIMED_BLOCK("SymmetricBandDiagonalCholeskySolve");
        for (kelvo_int32 Row = 0; Row < KnotCount; ++Row) {
            double *Y = Rhs + (kelvo_int64)Row * Dimension;
            double Pivot = Band[(kelvo_int64)Row * Width];
            kelvo_int32 From = Row - Degree < 0 ? 0 : Row - Degree;
            for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
                double Sum = Y[Component];
                for (kelvo_int32 Above = From; Above < Row; ++Above) {
                    Sum -= Band[(kelvo_int64)Above * Width + (Row - Above)] *
                           Rhs[(kelvo_int64)Above * Dimension + Component];
                }
                Y[Component] = Pivot != 0.0 ? Sum / Pivot : 0.0;
            }
        }
        for (kelvo_int32 Row = KnotCount - 1; Row >= 0; --Row) {
            double *X = Rhs + (kelvo_int64)Row * Dimension;
            double const *U = Band + (kelvo_int64)Row * Width;
            for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
                if (U[0] == 0.0) {
                    // Undetermined: hold the next control (the last sample at the end).
                    X[Component] =
                        Row + 1 < KnotCount
                            ? X[Dimension + Component]
                            : Fit.Samples[(kelvo_int64)(Fit.SampleCount - 1) * Dimension +
                                          Component];
                    continue;
                }
                double Sum = X[Component];
                for (kelvo_int32 Offset = 1; Offset < Width && Row + Offset < KnotCount; ++Offset) {
                    Sum -= U[Offset] * X[(kelvo_int64)Offset * Dimension + Component];
                }
                X[Component] = Sum / U[0];
            }
        }
    }
    for (kelvo_int64 Index = 0; Index < (kelvo_int64)KnotCount * Dimension; ++Index) {
        Solver.Controls[Index] = (kelvo_real32)Rhs[Index];
    }
    if (Fit.Flags & BSplineSolverForceEndpointAlignment) {
        memcpy(Solver.Controls, Fit.Samples, (size_t)Dimension * sizeof(kelvo_real32));
        memcpy(Solver.Controls + (kelvo_int64)(KnotCount - 1) * Dimension,
               Fit.Samples + (kelvo_int64)(Fit.SampleCount - 1) * Dimension,
               (size_t)Dimension * sizeof(kelvo_real32));
    }
    // A degree-0 value is a control as stored, which playback uses without
    // normalizing where it holds a constant: orientations are made unit
    // (the least-squares average of unit quaternions is short).
    if (Degree == 0 && (Fit.Flags & BSplineSolverEvaluateAsQuaternions)) {
        NormalizeControls(Solver.Controls, KnotCount, Dimension);
    }
}

kelvo_curve2 *BuildCurve(kelvo_data_type_definition const *Type, kelvo_int32 FormatIndex,
                         kelvo_int32 Degree, kelvo_int32 Dimension, kelvo_int32 KnotCount,
                         kelvo_real32 const *Knots, kelvo_real32 const *Controls) {
    kelvo_curve_builder Builder;
    memset(&Builder, 0, sizeof(Builder));
    Builder.Type = Type;
    Builder.FormatIndex = FormatIndex;
    Builder.Degree = Degree;
    Builder.Dimension = Dimension;
    Builder.KnotCount = KnotCount;
    Builder.Knots = Knots;
    Builder.Controls = Controls;
    Builder.SampleCount = -1;
    Builder.SampleDimension = -1;
    return KelvoEndCurve(&Builder);
}

void ReleaseCandidate(fit &Fit) {
    if (Fit.Candidate && Fit.Candidate != &Fit.Solver.ScratchCurve) {
        KelvoFreeCurve(Fit.Candidate);
    }
    Fit.Candidate = nullptr;
}

// The candidate for the current knots and controls: the scratch curve for
// DaK32fC32f, else a curve of the target format. Null when the build failed.
kelvo_curve2 *BuildCandidate(fit &Fit) {
    ReleaseCandidate(Fit);
    if (Fit.FormatIndex == DaK32fC32f) {
        Fit.Candidate = KelvoCurveMakeStaticDaK32fC32f(
            &Fit.Solver.ScratchCurve, &Fit.Solver.ScratchData, Fit.KnotCount, Fit.Degree,
            Fit.Dimension, Fit.Knots(), Fit.Solver.Controls);
    } else {
        Fit.Candidate = BuildCurve(Fit.Type, Fit.FormatIndex, Fit.Degree, Fit.Dimension,
                                   Fit.KnotCount, Fit.Knots(), Fit.Solver.Controls);
    }
    return Fit.Candidate;
}

// Orientations are evaluated as they play back (with the evaluator's
// normalizing step).
bool Quaternions(kelvo_uint32 Flags) {
    return (Flags & BSplineSolverEvaluateAsQuaternions) != 0;
}

// Orientations are judged by direction, since the run-time normalizes them
// before use: 1 - cos of the angle between the sample's and the value's
// directions, taken as half the squared distance of the two unit vectors
// in double, so that it has no floor from the rounding of a dot product in
// floats. A value without a direction counts as the opposite one.
kelvo_real32 DirectionError(kelvo_real32 const *Sample, kelvo_real32 const *Value,
                            kelvo_int32 Dimension) {
    double SampleLength = 0.0, ValueLength = 0.0;
    for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
        SampleLength += (double)Sample[Component] * Sample[Component];
        ValueLength += (double)Value[Component] * Value[Component];
    }
    if (isnan(ValueLength) || isnan(SampleLength)) {
        return INFINITY;
    }
    if (!(SampleLength > 0.0) || !(ValueLength > 0.0)) {
        return 4.0f;
    }
    double const SampleScale = 1.0 / sqrt(SampleLength);
    double const ValueScale = 1.0 / sqrt(ValueLength);
    double Distance = 0.0;
    for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
        double Delta = Sample[Component] * SampleScale - Value[Component] * ValueScale;
        Distance += Delta * Delta;
    }
    double const OneMinusCos = 0.5 * Distance;
    return (kelvo_real32)(OneMinusCos * OneMinusCos);
}

kelvo_real32 SampleError(kelvo_uint32 Flags, kelvo_real32 const *Sample, kelvo_real32 const *Value,
                         kelvo_int32 Dimension) {
    if (Flags & BSplineSolverEvaluateAsQuaternions) {
        return DirectionError(Sample, Value, Dimension);
    }
    kelvo_real32 Error = SquaredDistance(Sample, Value, Dimension);
    return isnan(Error) ? INFINITY : Error;
}

kelvo_real32 CandidateError(fit const &Fit, kelvo_int32 Sample) {
    kelvo_real32 Value[MaxCurveDimension];
    EvaluateFittedCurve(Fit.Candidate, Fit.Dimension, Quaternions(Fit.Flags), (kelvo_real32)Sample,
                        Value, nullptr);
    kelvo_real32 const *Expected = Fit.Samples + (kelvo_int64)Sample * Fit.Dimension;
    return SampleError(Fit.Flags, Expected, Value, Fit.Dimension);
}

kelvo_real32 LargestCandidateError(fit const &Fit) {
    kelvo_real32 Largest = 0.0f;
    for (kelvo_int32 Sample = 0; Sample < Fit.SampleCount; ++Sample) {
        kelvo_real32 Error = CandidateError(Fit, Sample);
        Largest = Error > Largest ? Error : Largest;
    }
    return Largest;
}

// Splits at its midpoint every span holding a sample beyond tolerance
// (the worst of each span decides), into the other knot buffer. Missed is
// set when such a span is too narrow to split or the knots would run out.
bool Refine(fit &Fit, bool &Missed) {
    kelvo_real32 const *Knots = Fit.Knots();
    kelvo_real32 *NewKnots = Fit.OtherKnots();
    kelvo_int32 const KnotCount = Fit.KnotCount;
    kelvo_int32 NewCount = 0;
    kelvo_int32 Sample = 0;
    bool Added = false;
    Missed = false;
    // A span beyond tolerance that cannot be split hands the split on to
    // the next span that can (its knots reach back into the narrow one).
    bool Pending = false;
    for (kelvo_int32 Span = 1; Span < KnotCount; ++Span) {
        NewKnots[NewCount++] = Knots[Span - 1];
        kelvo_real32 Start = Knots[Span - 1];
        kelvo_real32 End = Knots[Span];
        bool LastSpan = Span == KnotCount - 1;
        kelvo_real32 Bar = Fit.ToleranceSquared;
        kelvo_int32 Worst = -1;
        while (Sample < Fit.SampleCount && ((kelvo_real32)Sample < End || LastSpan)) {
            kelvo_real32 Error = CandidateError(Fit, Sample);
            if (Error > Bar) {
                Bar = Error;
                Worst = Sample;
            }
            ++Sample;
        }
        if (Worst < 0 && !Pending) {
            continue;
        }
        // Splits fall halfway between samples, nearest the span's middle,
        // with a sample on each side, so that spans can narrow to one
        // sample (captured motion's noise needs it) and no sample sits on
        // a knot, where its weights would leave a neighbouring control
        // undetermined.
        kelvo_real32 Lowest = ceilf(Start) + 0.5f;
        kelvo_real32 Highest = ceilf(End) - 1.5f;
        kelvo_real32 Split = floorf(0.5f * (Start + End)) + 0.5f;
        Split = Split < Lowest ? Lowest : (Split > Highest ? Highest : Split);
        bool WideEnough = Lowest <= Highest;
        bool RoomLeft = NewCount + 1 + (KnotCount - Span) < Fit.MaximumKnotCount;
        if (WideEnough && RoomLeft) {
            NewKnots[NewCount++] = Split;
            Added = true;
            Pending = false;
        } else {
            Pending = true;
        }
    }
    NewKnots[NewCount++] = Knots[KnotCount - 1];
    Missed = Pending;
    if (Added) {
        Fit.Current = 1 - Fit.Current;
        Fit.KnotCount = NewCount;
    }
    return Added;
}

// Removes interior knots one by one while the fit stays within tolerance;
// ends with the candidate of the kept knots.
void RemoveKnots(fit &Fit) {
    kelvo_int32 Index = (Fit.Flags & BSplineSolverExtraDOFKnotZero) ? 2 : 1;
    while (Fit.KnotCount > 3 && Index < Fit.KnotCount - 1) {
        kelvo_real32 *Knots = Fit.Knots();
        kelvo_real32 Removed = Knots[Index];
        memmove(Knots + Index, Knots + Index + 1,
                (size_t)(Fit.KnotCount - Index - 1) * sizeof(kelvo_real32));
        --Fit.KnotCount;
        Solve(Fit);
        bool Keep = BuildCandidate(Fit) && LargestCandidateError(Fit) <= Fit.ToleranceSquared;
        if (!Keep) {
            memmove(Knots + Index + 1, Knots + Index,
                    (size_t)(Fit.KnotCount - Index) * sizeof(kelvo_real32));
            Knots[Index] = Removed;
            ++Fit.KnotCount;
            ++Index;
        }
    }
    Solve(Fit);
    BuildCandidate(Fit);
}

bool FitArgumentsAreValid(bspline_solver const *Solver, kelvo_uint32 SolverFlags,
                          kelvo_int32 Degree, kelvo_real32 ErrorThreshold, kelvo_real32 C0Threshold,
                          kelvo_real32 C1Threshold, kelvo_real32 const *Samples,
                          kelvo_int32 Dimension, kelvo_int32 SampleCount, kelvo_real32 dT) {
    KELVO_CHECK_NOT_NULL(Solver, Origin, false);
    KELVO_CHECK_NOT_NULL(Samples, Origin, false);
    KELVO_CHECK(Degree >= 0 && Degree <= Solver->Degree, Origin, false);
    KELVO_CHECK(Dimension >= 1 && Dimension <= Solver->MaximumDimension, Origin, false);
    KELVO_CHECK(SampleCount >= 2 && SampleCount <= Solver->MaximumSampleCount, Origin, false);
    KELVO_CHECK(ErrorThreshold >= 0.0f && isfinite(ErrorThreshold), Origin, false);
    KELVO_CHECK(!(SolverFlags & BSplineSolverAllowC0Splitting) || C0Threshold >= 0.0f, Origin,
                false);
    KELVO_CHECK(!(SolverFlags & BSplineSolverAllowC1Splitting) || C1Threshold >= 0.0f, Origin,
                false);
    KELVO_CHECK(dT > 0.0f && isfinite(dT), Origin, false);
    KELVO_CHECK(AllFinite(Samples, (kelvo_int64)SampleCount * Dimension), Origin, false);
    return true;
}

// The format a fit may produce: a known one with knots whose dimension
// agrees; -1 (reported) otherwise.
kelvo_int32 FittableFormat(kelvo_data_type_definition const *Type, kelvo_int32 Dimension) {
    kelvo_uint8 Format = FindCurveFormat(Type);
    KELVO_REFUSE_UNLESS(Format != UnknownCurveFormat, Origin, -1,
                        "%s(%d): Invalid format specified for a kelvo_curve2 - returning NULL",
                        KELVO_HERE);
    curve_format_layout const &Layout = CurveFormatLayouts[Format];
    KELVO_REFUSE_UNLESS(IsFittableFamily(Layout.Family) &&
                            (Layout.Dimension == 0 || Layout.Dimension == Dimension),
                        Origin, -1, "%s(%d): Curve format \"%s\" cannot hold a fit of dimension %d",
                        KELVO_HERE, Layout.Name, Dimension);
    return Format;
}

} // namespace

// Scales each control of Count to unit length (those of length 0 stay).
void NormalizeControls(kelvo_real32 *Controls, kelvo_int32 Count, kelvo_int32 Dimension) {
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        kelvo_real32 *Control = Controls + (kelvo_int64)Index * Dimension;
        double Length = 0.0;
        for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
            Length += (double)Control[Component] * Control[Component];
        }
        double const Norm = sqrt(Length);
        for (kelvo_int32 Component = 0; Length > 0.0 && Component < Dimension; ++Component) {
            Control[Component] = (kelvo_real32)(Control[Component] / Norm);
        }
    }
}

void EvaluateFittedCurve(kelvo_curve2 const *Curve, kelvo_int32 Dimension, bool Normalize,
                         kelvo_real32 T, kelvo_real32 *Result, kelvo_real32 const *IdentityVector) {
    kelvo_curve_format const &Format = CurveFormats[CurveHeader(Curve)->Format];
    kelvo_int32 KnotCount = Format.GetKnotCount(Curve);
    if (KnotCount == 0) {
        for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
            Result[Component] = IdentityVector ? IdentityVector[Component] : 0.0f;
        }
        return;
    }
    if (KnotCount == 1 || KelvoCurveIsKeyframed(Curve)) {
        // Constants hold their control; keyframes have no times to place T.
        Format.ExtractKnotValues(Curve, 0, 1, nullptr, Result, IdentityVector);
        return;
    }
    kelvo_int32 Degree = CurveHeader(Curve)->Degree;
    kelvo_int32 Knot = KnotCount == 1 ? 0 : Format.FindKnot(Curve, T);
    // The decoded stretch the window reads, then the window with its ends repeated.
    kelvo_int32 First = Knot - Degree < 0 ? 0 : Knot - Degree;
    kelvo_int32 Last = Knot + Degree - 1 < Knot ? Knot : Knot + Degree - 1;
    Last = Last >= KnotCount ? KnotCount - 1 : Last;
    kelvo_real32 Knots[7];
    kelvo_real32 Controls[7 * MaxCurveDimension];
    Format.ExtractKnotValues(Curve, First, Last - First + 1, Knots, Controls, IdentityVector);
    kelvo_real32 WindowKnots[6];
    for (kelvo_int32 Entry = 0; Entry < 2 * Degree; ++Entry) {
        kelvo_int32 Index = Knot - Degree + Entry;
        Index = Index < First ? First : (Index > Last ? Last : Index);
        WindowKnots[Entry] = Knots[Index - First];
    }
    kelvo_real32 Weights[4];
    BSplineWeights(Degree, WindowKnots + Degree, T, Weights);
    // Summed in the evaluators' order, so results agree to the bit.
    kelvo_real32 const *Newest = Controls + (Knot - First) * Dimension;
    for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
        Result[Component] = Weights[Degree] * Newest[Component];
    }
    for (kelvo_int32 Back = 1; Back <= Degree; ++Back) {
        kelvo_int32 Index = Knot - Back < First ? First : Knot - Back;
        kelvo_real32 const *Control = Controls + (Index - First) * Dimension;
        for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
            Result[Component] += Weights[Degree - Back] * Control[Component];
        }
    }
    if (Normalize && Degree >= 1 && (Dimension == 3 || Dimension == 4)) {
        kelvo_real32 LengthSquared = 0.0f;
        for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
            LengthSquared += Result[Component] * Result[Component];
        }
        kelvo_real32 Factor = (3.0f - LengthSquared) * 0.5f;
        for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
            Result[Component] *= Factor;
        }
    }
}

kelvo_real32 FittedSampleError(kelvo_uint32 SolverFlags, kelvo_real32 const *Sample,
                               kelvo_real32 const *Value, kelvo_int32 Dimension) {
    return SampleError(SolverFlags, Sample, Value, Dimension);
}

} // namespace kelvo

using namespace kelvo;

KELVO_API kelvo_int32 KelvoGetMaximumKnotCountForSampleCount(kelvo_int32 Degree,
                                                             kelvo_int32 SampleCount) {
    kelvo_int64 Count = (kelvo_int64)SampleCount * (Degree + 1);
    return Count > INT32_MAX ? INT32_MAX : (kelvo_int32)Count;
}

KELVO_API bspline_solver *KelvoAllocateBSplineSolver(kelvo_int32 Degree,
                                                     kelvo_int32 MaximumSampleCount,
                                                     kelvo_int32 MaximumDimension) {
    KELVO_CHECK(Degree >= 0 && Degree <= MaxCurveDegree, Origin, nullptr);
    KELVO_CHECK(MaximumSampleCount >= 2, Origin, nullptr);
    KELVO_CHECK(MaximumDimension >= 1 && MaximumDimension <= MaxCurveDimension, Origin, nullptr);
    kelvo_int64 Width = Degree + 1;
    kelvo_int64 Capacity = (kelvo_int64)MaximumSampleCount * Width + 2 * Width + 1;
    // Band and right-hand sides in doubles, two knot buffers and the controls.
    kelvo_int64 Bytes =
        Capacity * (Width * 8 + MaximumDimension * 8 + 2 * 4 + MaximumDimension * 4);
    KELVO_REFUSE_UNLESS(Bytes < INT32_MAX / 2, Origin, nullptr,
                        "%s(%d): MaximumSampleCount %d is out of range for a solver", KELVO_HERE,
                        MaximumSampleCount);
    bspline_solver *Solver = nullptr;
    kelvo_real32 *Knots0 = nullptr, *Knots1 = nullptr, *Controls = nullptr;
    double *Band = nullptr, *Rhs = nullptr;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Solver, (kelvo_int64)sizeof(bspline_solver));
    AggrAllocArrayPtr(Aggr, Capacity * Width, &Band);
    AggrAllocArrayPtr(Aggr, Capacity * MaximumDimension, &Rhs);
    AggrAllocArrayPtr(Aggr, Capacity, &Knots0);
    AggrAllocArrayPtr(Aggr, Capacity, &Knots1);
    AggrAllocArrayPtr(Aggr, Capacity * MaximumDimension, &Controls);
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    *Solver = {.Degree = Degree,
               .MaximumSampleCount = MaximumSampleCount,
               .MaximumDimension = MaximumDimension,
               .Capacity = (kelvo_int32)Capacity,
               .KnotBuffers = {Knots0, Knots1},
               .Controls = Controls,
               .Band = Band,
               .RightHandSides = Rhs};
    return Solver;
}

KELVO_API void KelvoDeallocateBSplineSolver(bspline_solver *Solver) {
    if (Solver) {
        KELVO_DEALLOCATE(Solver);
    }
}

KELVO_API kelvo_curve2 *KelvoFitBSplineToSamples(
    bspline_solver *Solver, kelvo_uint32 SolverFlags, kelvo_int32 Degree,
    kelvo_real32 ErrorThreshold, kelvo_real32 C0Threshold, kelvo_real32 C1Threshold,
    kelvo_real32 const *Samples, kelvo_int32 Dimension, kelvo_int32 SampleCount, kelvo_real32 dT,
    kelvo_data_type_definition const *CurveType, kelvo_int32 MaximumCurveSizeInBytes,
    kelvo_bool8 *AchievedTolerance, kelvo_int32 *CurveSizeInBytes) {
    KELVO_TIMED_BLOCK("FitBSplineToSamples");
    bool Achieved = false;
    kelvo_int32 Size = -1;
    kelvo_curve2 *Result = nullptr;
    kelvo_int32 Format = -1;
    kelvo_data_type_definition const *Type = CurveType ? CurveType : KelvoCurveDataDaK32fC32fType;
    kelvo_real32 *Copy = nullptr;
    if (FitArgumentsAreValid(Solver, SolverFlags, Degree, ErrorThreshold, C0Threshold, C1Threshold,
                             Samples, Dimension, SampleCount, dT)) {
        Format = FittableFormat(Type, Dimension);
    }
    if (Format >= 0) {
        Copy = (kelvo_real32 *)KELVO_ALLOCATE_SIZE(SampleCount * Dimension *
                                                   (kelvo_int32)sizeof(kelvo_real32));
    }
    if (Copy) {
        memcpy(Copy, Samples, (size_t)SampleCount * (size_t)Dimension * sizeof(kelvo_real32));
        fit Fit{*Solver,
                SolverFlags,
                Degree,
                Dimension,
                SampleCount,
                Copy,
                ErrorThreshold * ErrorThreshold,
                Type,
                Format,
                KelvoGetMaximumKnotCountForSampleCount(Degree, SampleCount)};
        PlaceInitialKnots(Fit, C0Threshold, C1Threshold);
        Achieved = true;
        for (;;) {
            Solve(Fit);
            if (!BuildCandidate(Fit)) {
                Achieved = false;
                break;
            }
            Size = KelvoCurveGetSize(Fit.Candidate);
            if (MaximumCurveSizeInBytes >= 1 && Size > MaximumCurveSizeInBytes) {
                Achieved = false;
                break;
            }
            bool Missed = false;
            if (Refine(Fit, Missed)) {
                continue;
            }
            if (Missed) {
                Achieved = false;
                break;
            }
            if (SolverFlags & BSplineSolverAllowReduceKeys) {
                RemoveKnots(Fit);
                Size = Fit.Candidate ? KelvoCurveGetSize(Fit.Candidate) : -1;
            }
            break;
        }
        if (Fit.Candidate) {
            // The kept candidate's knots, in seconds, with the same controls.
            kelvo_real32 *Times = Fit.OtherKnots();
            CurveFormats[Format].ExtractKnotValues(Fit.Candidate, 0, Fit.KnotCount, Times, nullptr,
                                                   nullptr);
            for (kelvo_int32 Knot = 0; Knot < Fit.KnotCount; ++Knot) {
                Times[Knot] *= dT;
            }
            Result =
                BuildCurve(Type, Format, Degree, Dimension, Fit.KnotCount, Times, Solver->Controls);
        }
        ReleaseCandidate(Fit);
        // Rescaled quantized knots round differently: the result is what counts.
        for (kelvo_int32 Sample = 0; Achieved && Result && Sample < SampleCount; ++Sample) {
            kelvo_real32 Value[MaxCurveDimension];
            EvaluateFittedCurve(Result, Dimension, Quaternions(SolverFlags),
                                (kelvo_real32)Sample * dT, Value, nullptr);
            Achieved = SampleError(SolverFlags, Copy + (kelvo_int64)Sample * Dimension, Value,
                                   Dimension) <= Fit.ToleranceSquared;
        }
        KELVO_DEALLOCATE(Copy);
    }
    Achieved = Achieved && Result;
    if (AchievedTolerance) {
        *AchievedTolerance = Achieved;
    }
    if (CurveSizeInBytes) {
        *CurveSizeInBytes = Achieved ? Size : -1;
    }
    return Result;
}

KELVO_API void KelvoGetSquaredErrorOverCurve(kelvo_uint32 SolverFlags, kelvo_int32 Degree,
                                             kelvo_int32 Dimension, kelvo_real32 Duration,
                                             kelvo_curve2 const *Curve, kelvo_int32 SampleCount,
                                             kelvo_real32 const *Samples,
                                             kelvo_real32 const *IdentityVector,
                                             bspline_error *Result) {
    KELVO_TIMED_BLOCK("GetSquaredErrorOverCurve");
    (void)Degree; // the curve's own degree is the one its evaluation uses
    KELVO_CHECK_NOT_NULL(Result, Origin, KELVO_NOTHING);
    memset(Result, 0, sizeof(*Result));
    Result->MaximumSquaredErrorKnotIndex = -1;
    Result->MaximumSquaredErrorSampleIndex = -1;
    KELVO_CHECK_NOT_NULL(Curve, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Samples, Origin, KELVO_NOTHING);
    KELVO_CHECK(Dimension >= 1 && Dimension <= MaxCurveDimension, Origin, KELVO_NOTHING);
    KELVO_CHECK(SampleCount >= 1, Origin, KELVO_NOTHING);
    if (!CurveFormatOf(Curve)) {
        return;
    }
    KELVO_CHECK(!KelvoCurveIsKeyframed(Curve), Origin, KELVO_NOTHING);
    kelvo_int32 CurveDimension = KelvoCurveGetDimension(Curve);
    KELVO_CHECK(CurveDimension == Dimension || (CurveDimension == 0 && IdentityVector), Origin,
                KELVO_NOTHING);
    kelvo_real32 Step = SampleCount > 1 ? Duration / (kelvo_real32)(SampleCount - 1) : 0.0f;
    for (kelvo_int32 Sample = 0; Sample < SampleCount; ++Sample) {
        kelvo_real32 T = (kelvo_real32)Sample * Step;
        kelvo_real32 Value[MaxCurveDimension];
        EvaluateFittedCurve(Curve, Dimension, Quaternions(SolverFlags), T, Value, IdentityVector);
        kelvo_real32 Error =
            SampleError(SolverFlags, Samples + (kelvo_int64)Sample * Dimension, Value, Dimension);
        Result->AccumulatedSquaredError += Error;
        if (Error > Result->MaximumSquaredError || Result->MaximumSquaredErrorSampleIndex < 0) {
            Result->MaximumSquaredError = Error;
            Result->MaximumSquaredErrorSampleIndex = Sample;
            Result->MaximumSquaredErrorKnotIndex = KelvoCurveFindKnot(Curve, T);
        }
    }
}
