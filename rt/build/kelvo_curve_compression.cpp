// Curve compression: fit in plain floats, then either collapse to a constant
// or identity curve or keep the smallest acceptable fit among the caller's
// formats; and the difference measures that decide whether a curve (or a
// set of controls) reduces to a constant or the identity.
#include "build/kelvo_curve_fitting.h"

#include "anim/kelvo_curve_formats.h"
#include "foundation/kelvo_counters.h"

#include <math.h>
#include <string.h>

namespace kelvo {

namespace {

constexpr kelvo_log_message_origin Origin = KelvoCurveLogMessage;

// 0x7f0fffff: larger than any difference, so the identity never matches.
kelvo_real32 NoIdentityDifference() {
    kelvo_uint32 Bits = 0x7f0fffffu;
    kelvo_real32 Value;
    memcpy(&Value, &Bits, sizeof(Value));
    return Value;
}

// Compression's own measure for orientations: 1 - cos of the angle between
// directions, the fit's metric, which unlike |1 - dot| in floats holds
// tolerances below 1e-7.
constexpr kelvo_int32 DirectionDifference = 3;

kelvo_real32 Difference(kelvo_int32 Type, kelvo_int32 Dimension, kelvo_real32 const *A,
                        kelvo_real32 const *B) {
    if (Type == DirectionDifference) {
        return sqrtf(FittedSampleError(BSplineSolverEvaluateAsQuaternions, A, B, Dimension));
    }
    kelvo_real32 Sum = 0.0f;
    for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
        if (Type == 0) {
            Sum += (A[Component] - B[Component]) * (A[Component] - B[Component]);
        } else if (Type == 1) {
            Sum += A[Component] * B[Component];
        } else {
            Sum += fabsf(A[Component] - B[Component]);
        }
    }
    return Type == 1 ? fabsf(1.0f - Sum) : Sum;
}

// The largest differences of a run of vectors from the first one seen and
// from the identity, gathered piece by piece.
struct differences {
    kelvo_int32 Type;
    kelvo_int32 Dimension;
    kelvo_real32 const *IdentityVector;
    kelvo_real32 First[MaxCurveDimension] = {};
    bool HaveFirst = false;
    kelvo_real32 Identity = 0.0f;
    kelvo_real32 Constant = 0.0f;

    void Add(kelvo_int32 Count, kelvo_real32 const *Vectors) {
        for (kelvo_int32 Index = 0; Index < Count; ++Index) {
            kelvo_real32 const *Vector = Vectors + (kelvo_int64)Index * Dimension;
            if (!HaveFirst) {
                memcpy(First, Vector, (size_t)Dimension * sizeof(kelvo_real32));
                HaveFirst = true;
            }
            kelvo_real32 FromFirst = Difference(Type, Dimension, Vector, First);
            Constant = FromFirst > Constant ? FromFirst : Constant;
            if (IdentityVector) {
                kelvo_real32 FromIdentity = Difference(Type, Dimension, Vector, IdentityVector);
                Identity = FromIdentity > Identity ? FromIdentity : Identity;
            }
        }
    }
    void Finish(kelvo_real32 *IdentityDifference, kelvo_real32 *ConstantDifference) const {
        *IdentityDifference = !IdentityVector ? NoIdentityDifference()
                              : Type == 0     ? sqrtf(Identity)
                                              : Identity;
        *ConstantDifference = Type == 0 ? sqrtf(Constant) : Constant;
    }
};

bool Reducible(differences const &Differences, kelvo_real32 Tolerance, kelvo_int32 Degree,
               kelvo_int32 KnotCount, kelvo_int32 *RequiredDegree, kelvo_int32 *RequiredKnotCount) {
    kelvo_real32 Identity, Constant;
    Differences.Finish(&Identity, &Constant);
    bool Result = true;
    if (Identity < Tolerance) {
        Degree = 0;
        KnotCount = 0;
    } else if (Constant < Tolerance) {
        Degree = 0;
        KnotCount = 1;
    } else {
        Result = false;
    }
    if (RequiredDegree) {
        *RequiredDegree = Degree;
    }
    if (RequiredKnotCount) {
        *RequiredKnotCount = KnotCount;
    }
    return Result;
}

// A known format whose fixed dimension, if it has one, is Dimension.
bool FormatHoldsDimension(kelvo_data_type_definition const *Type, kelvo_int32 Dimension) {
    kelvo_uint8 Format = FindCurveFormat(Type);
    return Format != UnknownCurveFormat && (CurveFormatLayouts[Format].Dimension == 0 ||
                                            CurveFormatLayouts[Format].Dimension == Dimension);
}

bool CompressionParamsAreValid(compress_curve_parameters const *Params, kelvo_uint32 SolverFlags,
                               kelvo_int32 Dimension) {
    if (Params->DesiredDegree < 0 || !(Params->ErrorTolerance >= 0.0f) ||
        ((SolverFlags & BSplineSolverAllowC0Splitting) && !(Params->C0Threshold >= 0.0f)) ||
        ((SolverFlags & BSplineSolverAllowC1Splitting) && !(Params->C1Threshold >= 0.0f)) ||
        Params->PossibleCompressionTypesCount < 0 ||
        (Params->PossibleCompressionTypesCount > 0 && !Params->PossibleCompressionTypes) ||
        (Params->IdentityCompressionType && !Params->IdentityVector)) {
        return false;
    }
    for (kelvo_int32 Index = 0; Index < Params->PossibleCompressionTypesCount; ++Index) {
        if (!Params->PossibleCompressionTypes[Index] ||
            FindCurveFormat(Params->PossibleCompressionTypes[Index]) == UnknownCurveFormat) {
            return false;
        }
    }
    // What a reduction builds must be able to hold this dimension.
    if (Params->AllowDegreeReduction &&
        (!Params->ConstantCompressionType ||
         !FormatHoldsDimension(Params->ConstantCompressionType, Dimension) ||
         (Params->IdentityCompressionType &&
          !FormatHoldsDimension(Params->IdentityCompressionType, Dimension)))) {
        return false;
    }
    return true;
}

// An identity curve (KnotCount 0) or a constant holding First, made unit
// for orientations, which playback uses as stored.
kelvo_curve2 *BuildReduced(kelvo_data_type_definition const *Type, kelvo_int32 Dimension,
                           kelvo_int32 KnotCount, kelvo_real32 const *First, bool Orientation) {
    kelvo_curve_builder *Builder = KelvoBeginCurve(Type, 0, Dimension, KnotCount);
    if (!Builder) {
        return nullptr;
    }
    kelvo_real32 const Knot = 0.0f;
    kelvo_real32 Control[MaxCurveDimension];
    if (KnotCount > 0) {
        memcpy(Control, First, (size_t)Dimension * sizeof(kelvo_real32));
        if (Orientation) {
            NormalizeControls(Control, 1, Dimension);
        }
        KelvoPushCurveKnotArray(Builder, &Knot);
        KelvoPushCurveControlArray(Builder, Control);
    }
    return KelvoEndCurve(Builder);
}

kelvo_real32 LargestError(kelvo_uint32 SolverFlags, kelvo_int32 Dimension, kelvo_real32 Duration,
                          kelvo_curve2 const *Curve, kelvo_int32 SampleCount,
                          kelvo_real32 const *Samples, kelvo_real32 const *IdentityVector) {
    bspline_error Error;
    KelvoGetSquaredErrorOverCurve(SolverFlags, KelvoCurveGetDegree(Curve), Dimension, Duration,
                                  Curve, SampleCount, Samples, IdentityVector, &Error);
    return Error.MaximumSquaredError;
}

} // namespace

} // namespace kelvo

using namespace kelvo;

KELVO_API void
KelvoGetVectorDifferences(kelvo_int32 Dimension, kelvo_int32 Count, kelvo_real32 const *Vectors,
                          kelvo_real32 const *IdentityVector, kelvo_int32 DifferenceType,
                          kelvo_real32 *IdentityDifference, kelvo_real32 *ConstantDifference) {
    KELVO_CHECK_NOT_NULL(IdentityDifference, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(ConstantDifference, Origin, KELVO_NOTHING);
    KELVO_CHECK(Dimension >= 1 && Dimension <= MaxCurveDimension, Origin, KELVO_NOTHING);
    KELVO_CHECK(Count >= 0 && (Count == 0 || Vectors), Origin, KELVO_NOTHING);
    KELVO_CHECK(DifferenceType >= 0 && DifferenceType <= 2, Origin, KELVO_NOTHING);
    differences Differences{DifferenceType, Dimension, IdentityVector};
    Differences.Add(Count, Vectors);
    Differences.Finish(IdentityDifference, ConstantDifference);
}

KELVO_API kelvo_bool8 KelvoKnotsAreReducible(
    kelvo_int32 Degree, kelvo_int32 Dimension, kelvo_int32 KnotCount, kelvo_real32 const *Knots,
    kelvo_real32 const *Controls, kelvo_real32 const *IdentityVector, kelvo_real32 Tolerance,
    kelvo_int32 DifferenceType, kelvo_int32 *RequiredDegree, kelvo_int32 *RequiredKnotCount) {
    (void)Knots; // only the controls decide
    KELVO_CHECK(Dimension >= 1 && Dimension <= MaxCurveDimension, Origin, false);
    KELVO_CHECK(KnotCount >= 0 && (KnotCount == 0 || Controls), Origin, false);
    KELVO_CHECK(DifferenceType >= 0 && DifferenceType <= 2, Origin, false);
    differences Differences{DifferenceType, Dimension, IdentityVector};
    Differences.Add(KnotCount, Controls);
    return Reducible(Differences, Tolerance, Degree, KnotCount, RequiredDegree, RequiredKnotCount);
}

KELVO_API kelvo_bool8 KelvoCurveIsReducible(kelvo_curve2 const *Curve,
                                            kelvo_real32 const *IdentityVector,
                                            kelvo_real32 Tolerance, kelvo_int32 DifferenceType,
                                            kelvo_int32 *RequiredDegree,
                                            kelvo_int32 *RequiredKnotCount) {
    KELVO_CHECK_NOT_NULL(Curve, Origin, false);
    KELVO_CHECK(DifferenceType >= 0 && DifferenceType <= 2, Origin, false);
    kelvo_curve_format const *Format = CurveFormatOf(Curve);
    if (!Format) {
        return false;
    }
    kelvo_int32 KnotCount = Format->GetKnotCount(Curve);
    kelvo_int32 Dimension = KnotCount > 0 ? Format->GetDimension(Curve) : 1;
    differences Differences{DifferenceType, Dimension, IdentityVector};
    // Decoded a stretch at a time, so that no curve needs memory of its own.
    constexpr kelvo_int32 Stretch = 64;
    kelvo_real32 Controls[Stretch * MaxCurveDimension];
    for (kelvo_int32 First = 0; First < KnotCount; First += Stretch) {
        kelvo_int32 Count = KnotCount - First < Stretch ? KnotCount - First : Stretch;
        Format->ExtractKnotValues(Curve, First, Count, nullptr, Controls, IdentityVector);
        Differences.Add(Count, Controls);
    }
    return Reducible(Differences, Tolerance, KelvoCurveGetDegree(Curve), KnotCount, RequiredDegree,
                     RequiredKnotCount);
}

KELVO_API kelvo_curve2 *KelvoCompressCurve(bspline_solver *Solver, kelvo_uint32 SolverFlags,
                                           compress_curve_parameters const *Params,
                                           kelvo_real32 const *Samples, kelvo_int32 Dimension,
                                           kelvo_int32 SampleCount, kelvo_real32 dT,
                                           kelvo_bool8 *AchievedTolerance) {
    KELVO_TIMED_BLOCK("CompressCurve");
    if (AchievedTolerance) {
        *AchievedTolerance = false;
    }
    KELVO_CHECK_NOT_NULL(Params, Origin, nullptr);
    KELVO_REFUSE_UNLESS(CompressionParamsAreValid(Params, SolverFlags, Dimension), Origin, nullptr,
                        "%s(%d): CompressionParamsAreValid(Params, SolverFlags) was not true",
                        KELVO_HERE);
    kelvo_bool8 Achieved = false;
    kelvo_curve2 *Best = KelvoFitBSplineToSamples(
        Solver, SolverFlags, Params->DesiredDegree, Params->ErrorTolerance, Params->C0Threshold,
        Params->C1Threshold, Samples, Dimension, SampleCount, dT, KelvoCurveDataDaK32fC32fType, 0,
        &Achieved, nullptr);
    if (!Best) {
        return nullptr;
    }
    bool const Orientation = (SolverFlags & BSplineSolverEvaluateAsQuaternions) != 0;
    if (Params->AllowDegreeReduction) {
        // Decided on the samples themselves, by the fit's metric, so a
        // reduced curve is within tolerance of every sample and not only of
        // the fit.
        differences Differences{Orientation ? DirectionDifference : 0, Dimension,
                                Params->IdentityVector};
        Differences.Add(SampleCount, Samples);
        kelvo_int32 KnotCount = -1;
        if (Reducible(Differences, Params->ErrorTolerance, Params->DesiredDegree, SampleCount,
                      nullptr, &KnotCount)) {
            kelvo_curve2 *Reduced =
                KnotCount == 0 && Params->IdentityCompressionType
                    ? BuildReduced(Params->IdentityCompressionType, Dimension, 0, nullptr, false)
                    : BuildReduced(Params->ConstantCompressionType, Dimension, 1, Samples,
                                   Orientation);
            if (Reduced) {
                KelvoFreeCurve(Best);
                if (AchievedTolerance) {
                    *AchievedTolerance = true;
                }
                return Reduced;
            }
        }
    }
    kelvo_real32 const Duration = (kelvo_real32)(SampleCount - 1) * dT;
    kelvo_real32 const FirstError = LargestError(SolverFlags, Dimension, Duration, Best,
                                                 SampleCount, Samples, Params->IdentityVector);
    kelvo_int32 const FirstSize = KelvoCurveGetSize(Best);
    kelvo_int32 BestSize = FirstSize;
    for (kelvo_int32 Index = 0; Index < Params->PossibleCompressionTypesCount; ++Index) {
        kelvo_data_type_definition const *Type = Params->PossibleCompressionTypes[Index];
        kelvo_uint8 Format = FindCurveFormat(Type);
        curve_format_layout const &Layout = CurveFormatLayouts[Format];
        bool HasKnots =
            Layout.Family != curve_family::Keyframes && Layout.Family != curve_family::Identity &&
            Layout.Family != curve_family::Constant && Layout.Family != curve_family::FixedConstant;
        if (Format == DaK32fC32f || !HasKnots ||
            (Layout.Dimension != 0 && Layout.Dimension != Dimension)) {
            continue; // a list may serve curves of several dimensions
        }
        kelvo_bool8 CandidateAchieved = false;
        kelvo_curve2 *Candidate = KelvoFitBSplineToSamples(
            Solver, SolverFlags, Params->DesiredDegree, Params->ErrorTolerance, Params->C0Threshold,
            Params->C1Threshold, Samples, Dimension, SampleCount, dT, Type, BestSize,
            &CandidateAchieved, nullptr);
        if (!Candidate) {
            continue;
        }
        kelvo_int32 Size = KelvoCurveGetSize(Candidate);
        bool Keep = false;
        if (CandidateAchieved) {
            Keep = Size < BestSize;
        } else if (Params->AllowReductionOnMissedTolerance && !Achieved && Size < BestSize) {
            kelvo_real32 Error = LargestError(SolverFlags, Dimension, Duration, Candidate,
                                              SampleCount, Samples, Params->IdentityVector);
            Keep = sqrtf(Error) <=
                   sqrtf(FirstError) * (2.0f - (kelvo_real32)Size / (kelvo_real32)FirstSize);
        }
        if (Keep) {
            KelvoFreeCurve(Best);
            Best = Candidate;
            BestSize = Size;
        } else {
            KelvoFreeCurve(Candidate);
        }
    }
    if (AchievedTolerance) {
        *AchievedTolerance = Achieved;
    }
    return Best;
}
