// Curves: the public operations, which dispatch on the format byte through
// the format table, and evaluation, which builds the window of knots and
// controls around a knot index (reading DaK32fC32f in place, decoding other
// formats onto the stack, splicing in looped or held entries at the ends)
// and blends it with the evaluator for the degree and dimension.
#include "anim/kelvo_bspline.h"
#include "anim/kelvo_curve_formats.h"
#include "anim/kelvo_pose.h"
#include "anim/kelvo_track_internal.h"
#include "foundation/kelvo_counters.h"

#include <float.h>
#include <math.h>
#include <string.h>

using namespace kelvo;

namespace {

constexpr kelvo_log_message_origin Origin = KelvoCurveLogMessage;

kelvo_curve_data_da_k32f_c32f const *Floats(kelvo_curve2 const *Curve) {
    return static_cast<kelvo_curve_data_da_k32f_c32f const *>(Curve->CurveData.Object);
}

kelvo_uint8 FormatByte(kelvo_curve2 const *Curve) {
    return CurveHeader(Curve)->Format;
}

bool IsIdentity(kelvo_curve2 const *Curve) {
    kelvo_uint8 Format = FormatByte(Curve);
    return Format == DaIdentity || (Format == DaK32fC32f && Floats(Curve)->KnotCount == 0 &&
                                    Floats(Curve)->ControlCount == 0);
}

bool IsConstantOrIdentity(kelvo_curve2 const *Curve) {
    kelvo_uint8 Format = FormatByte(Curve);
    if (Format >= DaIdentity && Format <= D4Constant32f) {
        return true;
    }
    if (Format == DaK32fC32f) {
        kelvo_int32 KnotCount = Floats(Curve)->KnotCount;
        return KnotCount == 1 || (KnotCount == 0 && Floats(Curve)->ControlCount == 0);
    }
    return false;
}

kelvo_int32 Dimension(kelvo_curve_format const &Format, kelvo_curve2 const *Curve) {
    return Format.GetKnotCount(Curve) == 0 ? 0 : Format.GetDimension(Curve);
}

bool KnotRangeIsValid(kelvo_curve_format const &Format, kelvo_curve2 const *Curve,
                      kelvo_int32 First, kelvo_int32 Count) {
    // An identity curve yields its knot and vector whatever is asked.
    kelvo_int32 KnotCount =
        FormatByte(Curve) == DaIdentity ? INT32_MAX : Format.GetKnotCount(Curve);
    if (First < 0 || Count < 0 || First > KnotCount - Count) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): KnotIndex %d is out of range [0, %d)",
            KELVO_HERE, First + (Count > 0 ? Count - 1 : 0), KnotCount);
        return false;
    }
    return true;
}

// ---- the evaluation window -----------------------------------------------------------

struct window {
    kelvo_curve_format const *Format;
    kelvo_curve2 const *Curve;
    kelvo_int32 KnotCount; // of the curve
    kelvo_int32 Inside;    // entries at or past this come from the loop or the end
    kelvo_int32 Dimension;
    bool BackwardsLoop;
    bool ForwardsLoop;
    kelvo_real32 Duration;
    kelvo_real32 const *IdentityVector;
};

// The curve knot that window entry Index (a knot index, maybe outside the
// curve) stands for, and the time shift that goes with it. Looping walks
// the knots of one period (all but the last, which equals the next
// period's first); without looping the end knots are held. A window wraps
// at most once unless the curve is shorter than it, so the division is
// rarely needed.
inline kelvo_int32 SourceOf(window const &Window, kelvo_int32 Index, kelvo_real32 &Shift) {
    kelvo_int32 Period = Window.KnotCount > 1 ? Window.KnotCount - 1 : 1;
    Shift = 0.0f;
    if (Index < 0) {
        if (!Window.BackwardsLoop) {
            return 0;
        }
        kelvo_int32 Back = -Index - 1;
        kelvo_int32 Wraps = Back < Period ? 0 : Back / Period;
        Shift = -(kelvo_real32)(Wraps + 1) * Window.Duration;
        return Period - 1 - (Back - Wraps * Period);
    }
    if (Index >= Window.Inside) {
        if (!Window.ForwardsLoop) {
            return Window.Inside - 1;
        }
        kelvo_int32 On = Index - Window.Inside;
        kelvo_int32 Wraps = On < Period ? 0 : On / Period;
        Shift = (kelvo_real32)(Wraps + 1) * Window.Duration;
        return On - Wraps * Period;
    }
    return Index;
}

// Whole-width copies for the common widths: the evaluators read a control
// in one load, which a store of single lanes would stall.
inline void CopyControl(kelvo_real32 *To, kelvo_real32 const *From, kelvo_int32 Dimension) {
    switch (Dimension) {
    case 3:
        memcpy(To, From, 3 * sizeof(kelvo_real32));
        break;
    case 4:
        memcpy(To, From, 4 * sizeof(kelvo_real32));
        break;
    default:
        for (kelvo_int32 Lane = 0; Lane < Dimension; ++Lane) {
            To[Lane] = From[Lane];
        }
    }
}

// Knots k-d .. k+d-1 and controls k-d .. k: each entry's source found once
// for both; DaK32fC32f is read from its arrays, other formats decode one
// knot at a time.
void SpliceWindow(window const &Window, kelvo_int32 Knot, kelvo_int32 Degree, kelvo_real32 *Knots,
                  kelvo_real32 *Controls) {
    kelvo_int32 const Dimension = Window.Dimension;
    kelvo_int32 const Entries = 2 * Degree > Degree + 1 ? 2 * Degree : Degree + 1;
    kelvo_int32 Sources[2 * MaxCurveDegree + 1];
    kelvo_real32 Shifts[2 * MaxCurveDegree + 1];
    // Every entry, used or not: a loop of fixed length keeps the shifts'
    // zeroing out of a variable-length fill, which costs more than the rest.
    for (kelvo_int32 Entry = 0; Entry < 2 * MaxCurveDegree + 1; ++Entry) {
        Sources[Entry] = SourceOf(Window, Knot - Degree + Entry, Shifts[Entry]);
    }
    if (FormatByte(Window.Curve) == DaK32fC32f) {
        kelvo_curve_data_da_k32f_c32f const *Data = Floats(Window.Curve);
        for (kelvo_int32 Entry = 0; Entry < 2 * Degree; ++Entry) {
            Knots[Entry] = Data->Knots[Sources[Entry]] + Shifts[Entry];
        }
        for (kelvo_int32 Entry = 0; Entry <= Degree; ++Entry) {
            CopyControl(Controls + Entry * Dimension, Data->Controls + Sources[Entry] * Dimension,
                        Dimension);
        }
        return;
    }
    for (kelvo_int32 Entry = 0; Entry < Entries; ++Entry) {
        bool const HasKnot = Entry < 2 * Degree;
        kelvo_real32 Time = 0.0f;
        Window.Format->ExtractKnotValues(Window.Curve, Sources[Entry], 1,
                                         HasKnot ? &Time : nullptr,
                                         Entry <= Degree ? Controls + Entry * Dimension : nullptr,
                                         Window.IdentityVector);
        if (HasKnot) {
            Knots[Entry] = Time + Shifts[Entry];
        }
    }
}

// Quaternions that wrapped across a seam may lie in the other hemisphere.
void MakeContinuous(kelvo_real32 *Controls, kelvo_int32 Count) {
    for (kelvo_int32 Index = 1; Index < Count; ++Index) {
        kelvo_real32 *Q = Controls + Index * 4;
        kelvo_real32 const *P = Q - 4;
        if (P[0] * Q[0] + P[1] * Q[1] + P[2] * Q[2] + P[3] * Q[3] < 0.0f) {
            for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
                Q[Lane] = -Q[Lane];
            }
        }
    }
}

// The evaluator of a DaK32fC32f curve of two knots or more whose controls
// are Dimension wide, or null (for every other curve, which the general
// checks below handle and report).
kelvo_bspline_evaluator *FloatsEvaluator(kelvo_curve2 const *Curve, kelvo_int32 Dimension,
                                         bool Normalize) {
    if (FormatByte(Curve) != DaK32fC32f) {
        return nullptr;
    }
    kelvo_curve_data_da_k32f_c32f const *Data = Floats(Curve);
    kelvo_int32 Degree = Data->CurveDataHeader_DaK32fC32f.Degree;
    if (Data->KnotCount < 2 || Data->ControlCount != (kelvo_int64)Data->KnotCount * Dimension ||
        Degree > MaxCurveDegree) {
        return nullptr;
    }
    return (Normalize ? NormalizingBSplines : PlainBSplines)[Degree * 10 + Dimension];
}

// The knots and controls an evaluator reads around knot Knot (clamped to the
// curve): in place for DaK32fC32f inside its knots, else decoded or spliced
// into the buffers. WindowKnots/WindowControls then point at knot k and
// control k. False when there is no window: before the first knot, with
// nothing looping backwards, the first control is held.
struct window_buffers {
    kelvo_real32 Knots[2 * MaxCurveDegree] = {};
    kelvo_real32 Controls[(MaxCurveDegree + 1) * MaxCurveDimension];
    kelvo_real32 const *WindowKnots;
    kelvo_real32 const *WindowControls;
};

bool WindowAt(kelvo_curve_format const &Format, kelvo_curve2 const *Curve, kelvo_int32 KnotCount,
              kelvo_int32 Dimension, bool Normalize, bool BackwardsLoop, bool ForwardsLoop,
              kelvo_real32 Duration, kelvo_int32 KnotIndex, kelvo_real32 const *IdentityVector,
              window_buffers &Window) {
    kelvo_int32 const Degree = CurveHeader(Curve)->Degree;
    kelvo_int32 const Knot = KnotIndex < 0 ? 0 : KnotIndex >= KnotCount ? KnotCount - 1 : KnotIndex;
    // Before the first knot nothing precedes it but copies of itself, whose
    // spans are empty.
    if (Degree > 0 && Knot == 0 && !BackwardsLoop) {
        return false;
    }
    kelvo_int32 const Inside = KnotCount - (ForwardsLoop ? 1 : 0);
    Window.WindowKnots = Window.Knots + Degree;
    Window.WindowControls = Window.Controls + Degree * Dimension;
    if (Knot - Degree >= 0 && Knot + Degree - 1 < Inside) {
        if (FormatByte(Curve) == DaK32fC32f) {
            Window.WindowKnots = Floats(Curve)->Knots + Knot;
            Window.WindowControls = Floats(Curve)->Controls + Knot * Dimension;
            return true;
        }
        if (Degree > 0) {
            Format.ExtractKnotValues(Curve, Knot - Degree, 2 * Degree, Window.Knots, nullptr,
                                     IdentityVector);
        }
        Format.ExtractKnotValues(Curve, Knot - Degree, Degree + 1, nullptr, Window.Controls,
                                 IdentityVector);
        return true;
    }
    window Spliced = {&Format,       Curve,        KnotCount, Inside,        Dimension,
                      BackwardsLoop, ForwardsLoop, Duration,  IdentityVector};
    SpliceWindow(Spliced, Knot, Degree, Window.Knots, Window.Controls);
    if (Normalize && Dimension == 4) {
        MakeContinuous(Window.Controls, Degree + 1);
    }
    return true;
}

void Evaluate(kelvo_curve_format const &Format, kelvo_int32 Dimension, bool Normalize,
              bool BackwardsLoop, kelvo_curve2 const *Curve, bool ForwardsLoop,
              kelvo_real32 Duration, kelvo_int32 KnotIndex, kelvo_real32 T, kelvo_real32 *Result,
              kelvo_real32 const *IdentityVector) {
    kelvo_int32 KnotCount = Format.GetKnotCount(Curve);
    kelvo_bspline_evaluator *Evaluator = FloatsEvaluator(Curve, Dimension, Normalize);
    if (!Evaluator) {
        // Curves without knots (identity, and keyframes without knots) are
        // the identity vector.
        if (KnotCount <= 0 || IsIdentity(Curve)) {
            if (Dimension > 0) {
                memcpy(Result, IdentityVector, Dimension * sizeof(kelvo_real32));
            }
            return;
        }
        if (Format.GetDimension(Curve) != Dimension) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Curve and argument dimensions do not match", KELVO_HERE);
            return;
        }
        if (IsConstantOrIdentity(Curve)) {
            Format.ExtractKnotValues(Curve, 0, 1, nullptr, Result, IdentityVector);
            return;
        }
        Evaluator = FindBSpline(CurveHeader(Curve)->Degree, Dimension, Normalize);
        if (!Evaluator) {
            return;
        }
    }
    window_buffers Window;
    if (!WindowAt(Format, Curve, KnotCount, Dimension, Normalize, BackwardsLoop, ForwardsLoop,
                  Duration, KnotIndex, IdentityVector, Window)) {
        Format.ExtractKnotValues(Curve, 0, 1, nullptr, Result, IdentityVector);
        return;
    }
    Evaluator(Window.WindowKnots, Window.WindowControls, T, Result);
}

} // namespace

// ---- queries -----------------------------------------------------------------------------

KELVO_API void KelvoCurveInitializeFormat(kelvo_curve2 *Curve) {
    KELVO_CHECK_NOT_NULL(Curve, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Curve->CurveData.Object, Origin, KELVO_NOTHING);
    CurveHeader(Curve)->Format = FindCurveFormat(Curve->CurveData.Type);
}

KELVO_API kelvo_bool8 KelvoCurveFormatIsInitializedCorrectly(kelvo_curve2 const *Curve) {
    KELVO_CHECK_NOT_NULL(Curve, Origin, 0);
    if (!Curve->CurveData.Object) {
        return 0;
    }
    kelvo_uint8 Format = FormatByte(Curve);
    return Format < CurveFormatCount &&
           KelvoDataTypesAreEqualWithNames(CurveFormats[Format].Definition, Curve->CurveData.Type);
}

KELVO_API kelvo_bool8 KelvoCurveIsKeyframed(kelvo_curve2 const *Curve) {
    if (!CurveFormatOf(Curve)) {
        return 0;
    }
    kelvo_uint8 Format = FormatByte(Curve);
    return Format == DaKeyframes32f || (Format == DaK32fC32f && Floats(Curve)->KnotCount == 0 &&
                                        Floats(Curve)->ControlCount != 0);
}

KELVO_API kelvo_bool8 KelvoCurveIsIdentity(kelvo_curve2 const *Curve) {
    return CurveFormatOf(Curve) && IsIdentity(Curve);
}

KELVO_API kelvo_bool8 KelvoCurveIsConstantOrIdentity(kelvo_curve2 const *Curve) {
    return CurveFormatOf(Curve) && IsConstantOrIdentity(Curve);
}

KELVO_API kelvo_bool8 KelvoCurveIsConstantNotIdentity(kelvo_curve2 const *Curve) {
    return CurveFormatOf(Curve) && IsConstantOrIdentity(Curve) && !IsIdentity(Curve);
}

KELVO_API kelvo_int32 KelvoCurveGetKnotCount(kelvo_curve2 const *Curve) {
    kelvo_curve_format const *Format = CurveFormatOf(Curve);
    return Format ? Format->GetKnotCount(Curve) : 0;
}

KELVO_API kelvo_int32 KelvoCurveGetDimension(kelvo_curve2 const *Curve) {
    kelvo_curve_format const *Format = CurveFormatOf(Curve);
    return Format ? Dimension(*Format, Curve) : 0;
}

KELVO_API kelvo_int32 KelvoCurveGetDegree(kelvo_curve2 const *Curve) {
    KELVO_CHECK_NOT_NULL(Curve, Origin, 0);
    KELVO_CHECK_NOT_NULL(Curve->CurveData.Object, Origin, 0);
    return CurveHeader(Curve)->Degree;
}

KELVO_API kelvo_data_type_definition const *
KelvoCurveGetDataTypeDefinition(kelvo_curve2 const *Curve) {
    KELVO_CHECK_NOT_NULL(Curve, Origin, nullptr);
    return Curve->CurveData.Type;
}

KELVO_API kelvo_int32 KelvoCurveFindKnot(kelvo_curve2 const *Curve, kelvo_real32 T) {
    kelvo_curve_format const *Format = CurveFormatOf(Curve);
    return Format ? Format->FindKnot(Curve, T) : 0;
}

KELVO_API kelvo_int32 KelvoCurveFindCloseKnot(kelvo_curve2 const *Curve, kelvo_real32 T,
                                              kelvo_int32 StartIndex) {
    kelvo_curve_format const *Format = CurveFormatOf(Curve);
    return Format ? Format->FindCloseKnot(Curve, T, StartIndex) : 0;
}

KELVO_API void KelvoCurveExtractKnotValues(kelvo_curve2 const *Curve, kelvo_int32 KnotIndex,
                                           kelvo_int32 KnotCount, kelvo_real32 *KnotResults,
                                           kelvo_real32 *ControlResults,
                                           kelvo_real32 const *IdentityVector) {
    kelvo_curve_format const *Format = CurveFormatOf(Curve);
    if (Format && KnotRangeIsValid(*Format, Curve, KnotIndex, KnotCount)) {
        Format->ExtractKnotValues(Curve, KnotIndex, KnotCount, KnotResults, ControlResults,
                                  IdentityVector);
    }
}

KELVO_API kelvo_real32 KelvoCurveExtractKnotValue(kelvo_curve2 const *Curve, kelvo_int32 KnotIndex,
                                                  kelvo_real32 *ControlResult,
                                                  kelvo_real32 const *IdentityVector) {
    kelvo_real32 Time = 0.0f;
    KelvoCurveExtractKnotValues(Curve, KnotIndex, 1, &Time, ControlResult, IdentityVector);
    return Time;
}

KELVO_API void KelvoCurveSetAllKnotValues(kelvo_curve2 *Curve, kelvo_int32 KnotCount,
                                          kelvo_int32 Dimension, kelvo_real32 const *KnotSrc,
                                          kelvo_real32 const *ControlSrc) {
    kelvo_curve_format const *Format = CurveFormatOf(Curve);
    if (!Format) {
        return;
    }
    if (Dimension != KelvoCurveGetDimension(Curve)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Curve and argument dimensions do not match",
            KELVO_HERE);
        return;
    }
    if (KnotCount != Format->GetKnotCount(Curve)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Curve and argument knot counts do not match",
            KELVO_HERE);
        return;
    }
    curve_family Family = CurveFormatLayouts[FormatByte(Curve)].Family;
    bool KnotsRead = Family != curve_family::Keyframes && Family != curve_family::Identity &&
                     Family != curve_family::Constant && Family != curve_family::FixedConstant;
    if (KnotCount > 0) {
        KELVO_CHECK(ControlSrc || Family == curve_family::Identity, Origin, KELVO_NOTHING);
        KELVO_CHECK(KnotSrc || !KnotsRead, Origin, KELVO_NOTHING);
    }
    Format->SetAllKnotValues(Curve, KnotCount, Dimension, KnotSrc, ControlSrc);
}

KELVO_API void KelvoCurveScaleOffsetSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension,
                                            kelvo_real32 const *Scales, kelvo_real32 const *Offsets,
                                            kelvo_int32 const *Swizzles) {
    KELVO_CHECK_NOT_NULL(Scales, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Offsets, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Swizzles, Origin, KELVO_NOTHING);
    KELVO_CHECK(Dimension >= 0 && Dimension <= MaxCurveDimension, Origin, KELVO_NOTHING);
    if (kelvo_curve_format const *Format = CurveFormatOf(Curve)) {
        Format->ScaleOffsetSwizzle(Curve, Dimension, Scales, Offsets, Swizzles);
    }
}

// A size query allocates nothing: the copy is described on the stack.
KELVO_API kelvo_int32 KelvoCurveGetSize(kelvo_curve2 const *Curve) {
    kelvo_curve_builder Builder = {};
    return DescribeCurveCopy(Builder, Curve) ? ResultingCurveSize(Builder, true) : 0;
}

// ---- the plain float format -----------------------------------------------------------

KELVO_API kelvo_bool8 KelvoCurveIsTypeDaK32fC32f(kelvo_curve2 const *Curve) {
    return CurveFormatOf(Curve) && FormatByte(Curve) == DaK32fC32f;
}

KELVO_API kelvo_curve_data_da_k32f_c32f *
KelvoCurveGetContentsOfDaK32fC32f(kelvo_curve2 const *Curve) {
    if (!KelvoCurveIsTypeDaK32fC32f(Curve)) {
        return nullptr;
    }
    return static_cast<kelvo_curve_data_da_k32f_c32f *>(Curve->CurveData.Object);
}

KELVO_API kelvo_curve2 *
KelvoCurveMakeStaticDaK32fC32f(kelvo_curve2 *Curve, kelvo_curve_data_da_k32f_c32f *CurveData,
                               kelvo_int32 KnotCount, kelvo_int32 Degree, kelvo_int32 Dimension,
                               kelvo_real32 const *Knots, kelvo_real32 const *Controls) {
    KELVO_CHECK_NOT_NULL(Curve, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(CurveData, Origin, nullptr);
    KELVO_CHECK(Degree >= 0 && Degree <= MaxCurveDegree, Origin, nullptr);
    KELVO_CHECK(KnotCount >= 0 && Dimension >= 0 && Dimension <= MaxCurveDimension, Origin,
                nullptr);
    memset(CurveData, 0, sizeof(*CurveData));
    CurveData->CurveDataHeader_DaK32fC32f.Format = DaK32fC32f;
    CurveData->CurveDataHeader_DaK32fC32f.Degree = (kelvo_uint8)Degree;
    CurveData->KnotCount = KnotCount;
    CurveData->Knots = const_cast<kelvo_real32 *>(Knots);
    CurveData->ControlCount = KnotCount * Dimension;
    CurveData->Controls = const_cast<kelvo_real32 *>(Controls);
    Curve->CurveData.Type = KelvoCurveDataDaK32fC32fType;
    Curve->CurveData.Object = CurveData;
    return Curve;
}

namespace {

// A builder for the DaK32fC32f form of a curve: same knots and degree, its
// dimension (none for an identity curve).
bool FloatFormOf(kelvo_curve2 const *Curve, kelvo_curve_builder &Builder) {
    kelvo_curve_format const *Format = CurveFormatOf(Curve);
    if (!Format) {
        return false;
    }
    memset(&Builder, 0, sizeof(Builder));
    Builder.FormatIndex = DaK32fC32f;
    Builder.Type = KelvoCurveDataDaK32fC32fType;
    Builder.Degree = CurveHeader(Curve)->Degree;
    Builder.KnotCount = Format->GetKnotCount(Curve);
    Builder.Dimension = IsIdentity(Curve) ? 0 : Dimension(*Format, Curve);
    return true;
}

} // namespace

KELVO_API kelvo_int32 KelvoGetResultingDaK32fC32fCurveSize(kelvo_curve2 const *Curve) {
    kelvo_curve_builder Builder;
    if (!FloatFormOf(Curve, Builder)) {
        return 0;
    }
    return ResultingCurveSize(Builder, true);
}

KELVO_API kelvo_curve2 *KelvoCurveConvertToDaK32fC32fInPlace(kelvo_curve2 const *Curve,
                                                             void *Memory,
                                                             kelvo_real32 const *IdentityVector) {
    KELVO_TIMED_BLOCK("CurveConvertToDaK32fC32f");
    KELVO_CHECK_NOT_NULL(Memory, Origin, nullptr);
    kelvo_curve_builder Builder;
    if (!FloatFormOf(Curve, Builder)) {
        return nullptr;
    }
    kelvo_curve2 *Result = LayOutCurve(Builder, nullptr, Memory);
    if (Result && Builder.KnotCount > 0) {
        kelvo_curve_data_da_k32f_c32f *Data = KelvoCurveGetContentsOfDaK32fC32f(Result);
        // Keyframes have no knot times; theirs stay 0.
        CurveFormatOf(Curve)->ExtractKnotValues(Curve, 0, Builder.KnotCount, Data->Knots,
                                                Builder.Dimension ? Data->Controls : nullptr,
                                                IdentityVector);
    }
    return Result;
}

KELVO_API kelvo_curve2 *KelvoCurveConvertToDaK32fC32f(kelvo_curve2 const *Curve,
                                                      kelvo_real32 const *IdentityVector) {
    kelvo_int32 Size = KelvoGetResultingDaK32fC32fCurveSize(Curve);
    void *Memory = Size > 0 ? KELVO_ALLOCATE_SIZE(Size) : nullptr;
    if (!Memory) {
        return nullptr;
    }
    kelvo_curve2 *Result = KelvoCurveConvertToDaK32fC32fInPlace(Curve, Memory, IdentityVector);
    if (!Result) {
        KELVO_DEALLOCATE(Memory);
    }
    return Result;
}

// ---- evaluation ------------------------------------------------------------------------

namespace {

// The common case read in place: DaK32fC32f with its window inside the knots.
bool EvaluatedInPlace(kelvo_int32 Dimension, bool Normalize, kelvo_curve2 const *Curve,
                      bool ForwardsLoop, kelvo_real32 T, kelvo_real32 *Result) {
    kelvo_curve_data_da_k32f_c32f const *Data = Floats(Curve);
    kelvo_int32 KnotCount = Data->KnotCount;
    kelvo_int32 Degree = Data->CurveDataHeader_DaK32fC32f.Degree;
    if (KnotCount < 2 || Data->ControlCount != (kelvo_int64)KnotCount * Dimension ||
        Degree > MaxCurveDegree) {
        return false;
    }
    kelvo_int32 Knot = UpperBound(Data->Knots, KnotCount, T);
    if (Knot - Degree < 0 || Knot + Degree - 1 >= KnotCount - (ForwardsLoop ? 1 : 0)) {
        return false;
    }
    kelvo_bspline_evaluator *Evaluator =
        (Normalize ? NormalizingBSplines : PlainBSplines)[Degree * 10 + Dimension];
    if (!Evaluator) {
        return false;
    }
    Evaluator(Data->Knots + Knot, Data->Controls + Knot * Dimension, T, Result);
    return true;
}

} // namespace

KELVO_API void KelvoEvaluateCurveAtT(kelvo_int32 Dimension, kelvo_bool8 Normalize,
                                     kelvo_bool8 BackwardsLoop, kelvo_curve2 const *Curve,
                                     kelvo_bool8 ForwardsLoop, kelvo_real32 CurveDuration,
                                     kelvo_real32 T, kelvo_real32 *Result,
                                     kelvo_real32 const *IdentityVector) {
    KELVO_CHECK(Dimension >= 0 && Dimension <= MaxCurveDimension, Origin, KELVO_NOTHING);
    if (kelvo_curve_format const *Format = CurveFormatOf(Curve)) {
        if (FormatByte(Curve) == DaK32fC32f &&
            EvaluatedInPlace(Dimension, Normalize, Curve, ForwardsLoop, T, Result)) {
            return;
        }
        Evaluate(*Format, Dimension, Normalize, BackwardsLoop, Curve, ForwardsLoop, CurveDuration,
                 Format->FindKnot(Curve, T), T, Result, IdentityVector);
    }
}

namespace {

// Kept (a window of Curve under the same loops and duration, at knot
// Kept.Knot, in place as this one is) moved to knot Knot, either way: the
// entries both windows hold are moved, only the others decoded, each as a
// whole window's decoding gives it (formats decode knot by knot and splice
// nothing in place). Playback at a frame rate below the knot rate steps
// on by more than one knot, where no entry may be shared at all; that
// still spares the decoding onto the stack and the copy. False, with
// nothing changed, where either window is not in place.
bool SlideKeptWindow(kelvo_curve_format const &Format, kelvo_int32 Dimension,
                     kelvo_curve2 const *Curve, bool ForwardsLoop, kelvo_int32 Degree,
                     kelvo_int32 Knot, kelvo_real32 const *IdentityVector, seam_window &Kept) {
    kelvo_int32 const Inside = Kept.KnotCount - (ForwardsLoop ? 1 : 0);
    if (Degree < 1 || Kept.Knot - Degree < 0 || Knot - Degree < 0 ||
        Kept.Knot + Degree - 1 >= Inside || Knot + Degree - 1 >= Inside) {
        return false;
    }
    kelvo_int32 const Step = Knot - Kept.Knot;
    kelvo_int32 const Distance = Step < 0 ? -Step : Step;
    kelvo_int32 const KnotEntries = 2 * Degree, ControlEntries = Degree + 1;
    kelvo_int32 const SharedKnots = Distance < KnotEntries ? KnotEntries - Distance : 0;
    kelvo_int32 const SharedControls = Distance < ControlEntries ? ControlEntries - Distance : 0;
    // The new entries: at the end of the window going on, at its start going back.
    kelvo_int32 const NewKnot = Step > 0 ? SharedKnots : 0;
    kelvo_int32 const NewControl = Step > 0 ? SharedControls : 0;
    // Entry by entry, in the order that reads each before it is written
    // over; a control whole, as the evaluator loads it.
    if (Step > 0) {
        for (kelvo_int32 Entry = 0; Entry < SharedKnots; ++Entry) {
            Kept.Knots[Entry] = Kept.Knots[Entry + Distance];
        }
        for (kelvo_int32 Entry = 0; Entry < SharedControls; ++Entry) {
            CopyControl(Kept.Controls + Entry * Dimension,
                        Kept.Controls + (Entry + Distance) * Dimension, Dimension);
        }
    } else {
        for (kelvo_int32 Entry = SharedKnots - 1; Entry >= 0; --Entry) {
            Kept.Knots[Entry + Distance] = Kept.Knots[Entry];
        }
        for (kelvo_int32 Entry = SharedControls - 1; Entry >= 0; --Entry) {
            CopyControl(Kept.Controls + (Entry + Distance) * Dimension,
                        Kept.Controls + Entry * Dimension, Dimension);
        }
    }
    Format.ExtractKnotValues(Curve, Knot - Degree + NewKnot, KnotEntries - SharedKnots,
                             Kept.Knots + NewKnot, nullptr, IdentityVector);
    Format.ExtractKnotValues(Curve, Knot - Degree + NewControl, ControlEntries - SharedControls,
                             nullptr, Kept.Controls + NewControl * Dimension, IdentityVector);
    Kept.Knot = Knot;
    return true;
}

inline kelvo_uint32 FormOf(kelvo_uint32 Loops, kelvo_int32 Dimension, bool Normalize) {
    return Loops | (kelvo_uint32)Dimension << 2 | (Normalize ? 1u << 8 : 0u);
}

// The keys within which the next clock may skip the knot search. Only
// where floats keep no excess precision: the key's rounding could
// otherwise follow where it is inlined.
inline void KeepKnotKeys(kelvo_curve_format const &Format, kelvo_curve2 const *Curve,
                         kelvo_int32 Knot, seam_window &Kept) {
    Kept.Keys.Scale = 0.0f;
#if FLT_EVAL_METHOD == 0
    if (Format.KnotKeysAt) {
        Format.KnotKeysAt(Curve, Knot, Kept.KnotCount, &Kept.Keys);
    }
#else
    (void)Format;
    (void)Curve;
    (void)Knot;
#endif
}

// Evaluate's result from the window kept in Kept, decoded into it first
// (or slid on to it) unless it was kept for this curve data, knot, loops
// and duration. False, with nothing evaluated, wherever Evaluate takes
// another road (no knots, identity, constant, a wrong dimension, a degree
// without an evaluator, no window before the first knot): Evaluate then
// takes it.
bool EvaluateKept(kelvo_curve_format const &Format, kelvo_int32 Dimension, bool Normalize,
                  bool BackwardsLoop, kelvo_curve2 const *Curve, bool ForwardsLoop,
                  kelvo_real32 Duration, kelvo_int32 Knot, kelvo_real32 T, kelvo_real32 *Result,
                  kelvo_real32 const *IdentityVector, seam_window &Kept) {
    kelvo_int32 const Degree = CurveHeader(Curve)->Degree;
    kelvo_uint32 const Loops = LoopBits(BackwardsLoop, ForwardsLoop);
    kelvo_uint32 const DurationBits = BitsOf(Duration);
    kelvo_uint32 const Form = FormOf(Loops, Dimension, Normalize);
    bool const Same = Kept.Data == Curve->CurveData.Object && Kept.Loops == Loops &&
                      Kept.DurationBits == DurationBits;
    if (!Same || (Kept.Knot != Knot && !SlideKeptWindow(Format, Dimension, Curve, ForwardsLoop,
                                                        Degree, Knot, IdentityVector, Kept))) {
        // A window of this curve kept for this form passed the checks.
        bool const Checked = Same && Kept.Evaluator && Kept.Form == Form;
        kelvo_int32 const KnotCount = Checked ? Kept.KnotCount : Format.GetKnotCount(Curve);
        kelvo_bspline_evaluator *Evaluator = Kept.Evaluator;
        if (!Checked) {
            bool const Evaluates = KnotCount > 0 && !IsIdentity(Curve) &&
                                   Format.GetDimension(Curve) == Dimension &&
                                   !IsConstantOrIdentity(Curve);
            Evaluator = Evaluates ? FindBSpline(Degree, Dimension, Normalize) : nullptr;
        }
        window_buffers Window;
        if (!Evaluator || !WindowAt(Format, Curve, KnotCount, Dimension, Normalize, BackwardsLoop,
                                    ForwardsLoop, Duration, Knot, IdentityVector, Window)) {
            return false;
        }
        memcpy(Kept.Knots, Window.WindowKnots - Degree, 2 * Degree * sizeof(kelvo_real32));
        memcpy(Kept.Controls, Window.WindowControls - Degree * Dimension,
               (Degree + 1) * Dimension * sizeof(kelvo_real32));
        Kept.Data = Curve->CurveData.Object;
        Kept.Knot = Knot;
        Kept.Loops = Loops;
        Kept.DurationBits = DurationBits;
        Kept.KnotCount = KnotCount;
        Kept.Evaluator = Evaluator;
        Kept.Form = Form;
        // A clock that jumped here may jump on: keys only for a window met
        // again.
        Kept.Keys.Scale = 0.0f;
    } else {
        if (!Kept.Evaluator || Kept.Form != Form) {
            Kept.Evaluator = FindBSpline(Degree, Dimension, Normalize);
            Kept.Form = Form;
        }
        KeepKnotKeys(Format, Curve, Knot, Kept);
    }
    Kept.Evaluator(Kept.Knots + Degree, Kept.Controls + Degree * Dimension, T, Result);
    return true;
}

// The knot the search from *Cursor finds, told by the keys of the window
// kept there (the same knot, or one or two on), or -1 where they cannot
// tell or were kept for another curve or evaluation.
inline kelvo_int32 KeptKnotAt(kelvo_int32 const *Cursor, kelvo_int32 Dimension, bool Normalize,
                              bool BackwardsLoop, kelvo_curve2 const *Curve, bool ForwardsLoop,
                              kelvo_real32 Duration, kelvo_real32 T, seam_window const &Kept) {
    if (Kept.Keys.Scale == 0.0f || !Kept.Evaluator || Kept.Data != Curve->CurveData.Object ||
        Kept.Knot != *Cursor ||
        Kept.Form != FormOf(LoopBits(BackwardsLoop, ForwardsLoop), Dimension, Normalize) ||
        Kept.DurationBits != BitsOf(Duration)) {
        return -1;
    }
    kelvo_int32 const Key = KnotKey(T, Kept.Keys.Scale, Kept.Keys.Largest);
    if (Key < Kept.Keys.Low) {
        return -1;
    }
    return Key < Kept.Keys.High    ? Kept.Knot
           : Key < Kept.Keys.Next  ? Kept.Knot + 1
           : Key < Kept.Keys.After ? Kept.Knot + 2
                                   : -1;
}

// EvaluateCurveFrom's search (unless Found, the knot it finds, is known)
// and evaluation of any curve but DaK32fC32f, out of line: steady frames of
// DaK32fC32f and of kept windows pass it by.
[[gnu::noinline]] void EvaluateStoredFrom(kelvo_int32 *Cursor, kelvo_int32 Dimension,
                                          bool Normalize, bool BackwardsLoop,
                                          kelvo_curve2 const *Curve, bool ForwardsLoop,
                                          kelvo_real32 Duration, kelvo_real32 T,
                                          kelvo_real32 *Result, kelvo_real32 const *IdentityVector,
                                          seam_window *Kept, kelvo_int32 Found) {
    if (kelvo_curve_format const *Format = CurveFormatOf(Curve)) {
        kelvo_int32 Knot =
            Found >= 0 ? Found : Format->FindCloseKnot(Curve, T, Cursor ? *Cursor : -1);
        if (Cursor) {
            *Cursor = Knot;
        }
        if (Kept && Dimension <= 4 &&
            EvaluateKept(*Format, Dimension, Normalize, BackwardsLoop, Curve, ForwardsLoop,
                         Duration, Knot, T, Result, IdentityVector, *Kept)) {
            return;
        }
        Evaluate(*Format, Dimension, Normalize, BackwardsLoop, Curve, ForwardsLoop, Duration, Knot,
                 T, Result, IdentityVector);
    }
}

} // namespace

namespace kelvo {

void EvaluateCurveFrom(kelvo_int32 *Cursor, kelvo_int32 Dimension, bool Normalize,
                       bool BackwardsLoop, kelvo_curve2 const *Curve, bool ForwardsLoop,
                       kelvo_real32 Duration, kelvo_real32 T, kelvo_real32 *Result,
                       kelvo_real32 const *IdentityVector, seam_window *Kept) {
    kelvo_int32 const Start = Cursor ? *Cursor : -1;
    // Steady playback of DaK32fC32f inside its knots goes straight to the
    // evaluator, as Evaluate would.
    if (Curve && Curve->CurveData.Object && FormatByte(Curve) == DaK32fC32f) {
        kelvo_curve_data_da_k32f_c32f const *Data = Floats(Curve);
        kelvo_int32 Knot = CloseUpperBound(Data->Knots, Data->KnotCount, T, Start);
        if (Cursor) {
            *Cursor = Knot;
        }
        kelvo_int32 Degree = Data->CurveDataHeader_DaK32fC32f.Degree;
        kelvo_bspline_evaluator *Evaluator = FloatsEvaluator(Curve, Dimension, Normalize);
        if (Evaluator && Knot - Degree >= 0 &&
            Knot + Degree - 1 < Data->KnotCount - (ForwardsLoop ? 1 : 0)) {
            Evaluator(Data->Knots + Knot, Data->Controls + Knot * Dimension, T, Result);
            return;
        }
        Evaluate(CurveFormats[DaK32fC32f], Dimension, Normalize, BackwardsLoop, Curve, ForwardsLoop,
                 Duration, Knot, T, Result, IdentityVector);
        return;
    }
    kelvo_int32 Found = -1;
    if (Kept && Cursor && Curve) {
        Found = KeptKnotAt(Cursor, Dimension, Normalize, BackwardsLoop, Curve, ForwardsLoop,
                           Duration, T, *Kept);
        // The same knot: the same window and evaluator, so the same bits.
        if (Found >= 0 && Found == Kept->Knot) {
            kelvo_int32 const Degree = CurveHeader(Curve)->Degree;
            Kept->Evaluator(Kept->Knots + Degree, Kept->Controls + Degree * Dimension, T, Result);
            return;
        }
    }
    EvaluateStoredFrom(Cursor, Dimension, Normalize, BackwardsLoop, Curve, ForwardsLoop, Duration,
                       T, Result, IdentityVector, Kept, Found);
}

namespace {

// WindowAt's common case, which needs no buffer: a DaK32fC32f window inside
// the knots, read in place.
inline bool InPlaceWindow(kelvo_curve_data_da_k32f_c32f const *Data, kelvo_int32 Dimension,
                          bool ForwardsLoop, kelvo_int32 Knot, window_buffers &Window) {
    kelvo_int32 const Degree = Data->CurveDataHeader_DaK32fC32f.Degree;
    if (Knot - Degree < 0 || Knot + Degree - 1 >= Data->KnotCount - (ForwardsLoop ? 1 : 0)) {
        return false;
    }
    Window.WindowKnots = Data->Knots + Knot;
    Window.WindowControls = Data->Controls + Knot * Dimension;
    return true;
}

// Equal bit patterns (so -0 and +0 differ, and a NaN equals itself).
inline bool SameBits(kelvo_real32 const *A, kelvo_real32 const *B, kelvo_int32 Count) {
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        kelvo_uint32 X, Y;
        memcpy(&X, A + Index, sizeof(X));
        memcpy(&Y, B + Index, sizeof(Y));
        if (X != Y) {
            return false;
        }
    }
    return true;
}

// The window at Knot: in place, from the kept seam window when its key
// matches, or spliced (and kept, with a Seam). False where WindowAt is.
bool FloatsWindowAt(kelvo_curve2 const *Curve, kelvo_int32 Dimension, bool Normalize,
                    bool BackwardsLoop, bool ForwardsLoop, kelvo_real32 Duration, kelvo_int32 Knot,
                    seam_window *Seam, window_buffers &Window) {
    kelvo_curve_data_da_k32f_c32f const *Data = Floats(Curve);
    if (InPlaceWindow(Data, Dimension, ForwardsLoop, Knot, Window)) {
        return true;
    }
    kelvo_int32 const Degree = Data->CurveDataHeader_DaK32fC32f.Degree;
    kelvo_uint32 const Loops = LoopBits(BackwardsLoop, ForwardsLoop);
    kelvo_uint32 DurationBits;
    memcpy(&DurationBits, &Duration, sizeof(DurationBits));
    if (Seam && Seam->Data == Data && Seam->Knot == Knot && Seam->Loops == Loops &&
        Seam->DurationBits == DurationBits) {
        Window.WindowKnots = Seam->Knots + Degree;
        Window.WindowControls = Seam->Controls + Degree * Dimension;
        return true;
    }
    if (!Seam) {
        return WindowAt(CurveFormats[DaK32fC32f], Curve, Data->KnotCount, Dimension, Normalize,
                        BackwardsLoop, ForwardsLoop, Duration, Knot, nullptr, Window);
    }
    // WindowAt's splice, straight into the seam window.
    if (Degree > 0 && Knot == 0 && !BackwardsLoop) {
        return false;
    }
    window const Spliced = {&CurveFormats[DaK32fC32f],
                            Curve,
                            Data->KnotCount,
                            Data->KnotCount - (ForwardsLoop ? 1 : 0),
                            Dimension,
                            BackwardsLoop,
                            ForwardsLoop,
                            Duration,
                            nullptr};
    SpliceWindow(Spliced, Knot, Degree, Seam->Knots, Seam->Controls);
    if (Normalize && Dimension == 4) {
        MakeContinuous(Seam->Controls, Degree + 1);
    }
    Seam->Data = Data;
    Seam->Knot = Knot;
    Seam->Loops = Loops;
    Seam->DurationBits = DurationBits;
    Seam->KnotCount = Data->KnotCount;
    Seam->Evaluator = nullptr;
    Window.WindowKnots = Seam->Knots + Degree;
    Window.WindowControls = Seam->Controls + Degree * Dimension;
    return true;
}

// The clocks from which CloseUpperBound from Knot (a valid index) answers
// Knot at once: T with !(T < *From) and T < *Before. A NaN knot below never
// stops it, one above always does, and the ends bound nothing (an infinite
// clock or a NaN at the last knot only misses the shortcut, never changes
// a result).
inline void SpanOf(kelvo_real32 const *Knots, kelvo_int32 KnotCount, kelvo_int32 Knot,
                   kelvo_real32 *From, kelvo_real32 *Before) {
    *From = Knot == 0 || isnan(Knots[Knot - 1]) ? -INFINITY : Knots[Knot - 1];
    *Before = Knot == KnotCount - 1 ? INFINITY : isnan(Knots[Knot]) ? -INFINITY : Knots[Knot];
}

// Kept moved to Window, found at these knots of its curves: the clocks it
// holds for are where both knots' spans meet.
inline void KeepWindowAt(kept_pair_window &Kept, kept_pair_seams const &Seams,
                         kelvo_int32 PositionKnot, kelvo_int32 OrientationKnot,
                         cubic_pair_window const &Window) {
    kelvo_real32 From[2], Before[2];
    SpanOf(Seams.PositionKnots, Seams.PositionKnotCount, PositionKnot, From, Before);
    Kept.Knots[0] = PositionKnot;
    Kept.Knots[1] = OrientationKnot;
    Kept.Window = Window;
    if (Kept.SameKnots) {
        Kept.From = From[0];
        Kept.Before = Before[0];
        return;
    }
    SpanOf(Seams.OrientationKnots, Seams.OrientationKnotCount, OrientationKnot, From + 1,
           Before + 1);
    Kept.From = From[0] < From[1] ? From[1] : From[0];
    Kept.Before = Before[1] < Before[0] ? Before[1] : Before[0];
}

// The pair's seam window at Knot (a knot of both curves, which share their
// knots, whose window is not in place), spliced on its first use as
// FloatsWindowAt would splice each curve's. Null where there is none.
seam_pair_window const *SeamPairWindowAt(kept_pair_seams &Seams, kelvo_int32 Knot) {
    kelvo_curve_data_da_k32f_c32f const *P = Seams.Position;
    bool const BackwardsLoop = Seams.Loops & 1, ForwardsLoop = Seams.Loops & 2;
    if (Knot == 0 && !BackwardsLoop) {
        return nullptr;
    }
    kelvo_int32 const Slot = Knot < MaxCurveDegree ? Knot : Knot - P->KnotCount + SeamPairSlots;
    seam_pair_window &Window = Seams.Windows[Slot];
    if (Seams.Spliced & 1u << Slot) {
        return &Window;
    }
    kelvo_real32 Duration;
    memcpy(&Duration, &Seams.DurationBits, sizeof(Duration));
    // The splice reads a curve's data only.
    kelvo_curve2 Curves[2] = {};
    Curves[0].CurveData.Object = const_cast<kelvo_curve_data_da_k32f_c32f *>(P);
    Curves[1].CurveData.Object = const_cast<kelvo_curve_data_da_k32f_c32f *>(Seams.Orientation);
    window Spliced = {&CurveFormats[DaK32fC32f],
                      &Curves[0],
                      P->KnotCount,
                      P->KnotCount - (ForwardsLoop ? 1 : 0),
                      3,
                      BackwardsLoop,
                      ForwardsLoop,
                      Duration,
                      nullptr};
    SpliceWindow(Spliced, Knot, MaxCurveDegree, Window.Knots, Window.PositionControls);
    // The same knots again: the curves share them.
    kelvo_real32 Knots[2 * MaxCurveDegree];
    Spliced.Curve = &Curves[1];
    Spliced.Dimension = 4;
    SpliceWindow(Spliced, Knot, MaxCurveDegree, Knots, Window.OrientationControls);
    MakeContinuous(Window.OrientationControls, MaxCurveDegree + 1);
    Seams.Spliced |= 1u << Slot;
    return &Window;
}

// A DaK32fC32f curve of degree 3 whose controls are Dimension wide, or null.
kelvo_curve_data_da_k32f_c32f const *CubicFloats(kelvo_curve2 const *Curve, kelvo_int32 Dimension) {
    if (!Curve->CurveData.Object || !FloatsEvaluator(Curve, Dimension, Dimension == 4)) {
        return nullptr;
    }
    kelvo_curve_data_da_k32f_c32f const *Data = Floats(Curve);
    return Data->CurveDataHeader_DaK32fC32f.Degree == MaxCurveDegree ? Data : nullptr;
}

} // namespace

bool StepKeptPairWindow(kept_pair_window &Kept, kelvo_real32 T, cubic_pair_window *Deferred) {
    kept_pair_seams &Seams = *Kept.Seams;
    kelvo_real32 const *const PositionKnots = Seams.PositionKnots;
    kelvo_real32 const *const OrientationKnots = Seams.OrientationKnots;
    kelvo_int32 const PositionKnotCount = Seams.PositionKnotCount;
    kelvo_int32 const OrientationKnotCount = Seams.OrientationKnotCount;
    kelvo_int32 const PositionKnot =
        CloseUpperBound(PositionKnots, PositionKnotCount, T, Kept.Knots[0]);
    kelvo_int32 const OrientationKnot =
        Kept.SameKnots ? PositionKnot
                       : CloseUpperBound(OrientationKnots, OrientationKnotCount, T, Kept.Knots[1]);
    kelvo_int32 const Forwards = Kept.Loops & 2 ? 1 : 0;
    cubic_pair_window Window;
    if (PositionKnot >= 3 && PositionKnot + 2 < PositionKnotCount - Forwards &&
        OrientationKnot >= 3 && OrientationKnot + 2 < OrientationKnotCount - Forwards &&
        (Kept.SameKnots ||
         SameBits(PositionKnots + PositionKnot - 3, OrientationKnots + OrientationKnot - 3, 6))) {
        Window = {PositionKnots + PositionKnot, Seams.PositionControls + PositionKnot * 3,
                  Seams.OrientationControls + OrientationKnot * 4};
        kelvo_int32 const Ahead = PositionKnotCount - Forwards - 3 - PositionKnot;
        Kept.Ahead = !Kept.SameKnots ? 0 : Ahead < 0xFFFF ? (kelvo_uint16)Ahead : 0xFFFF;
    } else if (!Kept.SameKnots) {
        return false;
    } else if (seam_pair_window const *Seam = SeamPairWindowAt(Seams, PositionKnot)) {
        Window = {Seam->Knots + MaxCurveDegree, Seam->PositionControls + MaxCurveDegree * 3,
                  Seam->OrientationControls + MaxCurveDegree * 4};
        Kept.Ahead = 0;
    } else {
        return false;
    }
    *Deferred = Window;
    KeepWindowAt(Kept, Seams, PositionKnot, OrientationKnot, Window);
    return true;
}

bool KeepPairWindow(kept_pair_window &Kept, void const *Owner, kelvo_curve2 const *PositionCurve,
                    kelvo_curve2 const *OrientationCurve, bool BackwardsLoop, bool ForwardsLoop,
                    kelvo_real32 Duration, kelvo_real32 T, cubic_pair_window *Deferred) {
    Kept.Owner = nullptr;
    if (!Kept.Seams) {
        return false;
    }
    kelvo_curve_data_da_k32f_c32f const *P = CubicFloats(PositionCurve, 3);
    kelvo_curve_data_da_k32f_c32f const *Q = CubicFloats(OrientationCurve, 4);
    if (!P || !Q) {
        return false;
    }
    kept_pair_seams &Seams = *Kept.Seams;
    kelvo_uint32 const Loops = LoopBits(BackwardsLoop, ForwardsLoop);
    kelvo_uint32 const DurationBits = BitsOf(Duration);
    if (Seams.Position != P || Seams.Orientation != Q || Seams.Loops != Loops ||
        Seams.DurationBits != DurationBits) {
        Seams.Position = P;
        Seams.Orientation = Q;
        Seams.PositionKnots = P->Knots;
        Seams.OrientationKnots = Q->Knots;
        Seams.PositionControls = P->Controls;
        Seams.OrientationControls = Q->Controls;
        Seams.PositionKnotCount = P->KnotCount;
        Seams.OrientationKnotCount = Q->KnotCount;
        Seams.Loops = Loops;
        Seams.DurationBits = DurationBits;
        Seams.Spliced = 0;
        Seams.SameKnots = P->KnotCount == Q->KnotCount &&
                          (P->Knots == Q->Knots || SameBits(P->Knots, Q->Knots, P->KnotCount));
    }
    Kept.Loops = (kelvo_uint8)Loops;
    Kept.DurationBits = DurationBits;
    Kept.SameKnots = (kelvo_uint8)Seams.SameKnots;
    if (!StepKeptPairWindow(Kept, T, Deferred)) {
        return false;
    }
    Kept.Owner = Owner;
    return true;
}

bool CubicPairSharesKnots(kelvo_curve2 const *PositionCurve, kelvo_curve2 const *OrientationCurve) {
    kelvo_curve_data_da_k32f_c32f const *P = CubicFloats(PositionCurve, 3);
    kelvo_curve_data_da_k32f_c32f const *Q = CubicFloats(OrientationCurve, 4);
    return P && Q && P->KnotCount == Q->KnotCount &&
           (P->Knots == Q->Knots || SameBits(P->Knots, Q->Knots, P->KnotCount));
}

bool EvaluatePositionOrientationFrom(kelvo_int32 *Cursors, seam_window *Seams, bool BackwardsLoop,
                                     bool ForwardsLoop, kelvo_real32 Duration,
                                     kelvo_curve2 const *PositionCurve,
                                     kelvo_curve2 const *OrientationCurve, kelvo_real32 T,
                                     kelvo_real32 *Position, kelvo_real32 *Orientation,
                                     cubic_pair_window *Deferred) {
    void const *const PositionData = PositionCurve->CurveData.Object;
    void const *const OrientationData = OrientationCurve->CurveData.Object;
    if (!PositionData || !OrientationData) {
        return false;
    }
    kelvo_bspline_evaluator *PositionEvaluator = FloatsEvaluator(PositionCurve, 3, false);
    kelvo_bspline_evaluator *OrientationEvaluator = FloatsEvaluator(OrientationCurve, 4, true);
    if (!PositionEvaluator || !OrientationEvaluator) {
        return false;
    }
    kelvo_curve_data_da_k32f_c32f const *P = Floats(PositionCurve);
    kelvo_curve_data_da_k32f_c32f const *Q = Floats(OrientationCurve);
    kelvo_int32 const PositionKnot = CloseUpperBound(P->Knots, P->KnotCount, T, Cursors[0]);
    kelvo_int32 const OrientationKnot = CloseUpperBound(Q->Knots, Q->KnotCount, T, Cursors[1]);
    window_buffers PositionWindow, OrientationWindow;
    if (!FloatsWindowAt(PositionCurve, 3, false, BackwardsLoop, ForwardsLoop, Duration,
                        PositionKnot, Seams, PositionWindow) ||
        !FloatsWindowAt(OrientationCurve, 4, true, BackwardsLoop, ForwardsLoop, Duration,
                        OrientationKnot, Seams ? Seams + 1 : nullptr, OrientationWindow)) {
        return false;
    }
    Cursors[0] = PositionKnot;
    Cursors[1] = OrientationKnot;
#if FLT_EVAL_METHOD == 0 // weights held at extended precision need not round as two sets do
    kelvo_int32 const Degree = P->CurveDataHeader_DaK32fC32f.Degree;
    if (Q->CurveDataHeader_DaK32fC32f.Degree == Degree &&
        SameBits(PositionWindow.WindowKnots - Degree, OrientationWindow.WindowKnots - Degree,
                 2 * Degree)) {
        // Windows are in the curve or in the kept seam windows, never in the
        // buffers on this stack, when there are Seams.
        if (Deferred && Seams && Degree == 3) {
            cubic_pair_window const Window = {PositionWindow.WindowKnots,
                                              PositionWindow.WindowControls,
                                              OrientationWindow.WindowControls};
            *Deferred = Window;
            return true;
        }
        PositionOrientationBSplines[Degree](
            PositionWindow.WindowKnots, PositionWindow.WindowControls,
            OrientationWindow.WindowControls, T, Position, Orientation);
        return true;
    }
#else
    (void)Deferred;
#endif
    PositionEvaluator(PositionWindow.WindowKnots, PositionWindow.WindowControls, T, Position);
    OrientationEvaluator(OrientationWindow.WindowKnots, OrientationWindow.WindowControls, T,
                         Orientation);
    return true;
}

void EvaluateCubicPairs(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                        kelvo_real32 *const *Positions, kelvo_real32 *const *Orientations) {
    if (AVXPosesEnabled()) {
        AVXCubicPairRoutines.Evaluate(Count, Windows, T, Positions, Orientations);
        return;
    }
    if (SSEPosesEnabled()) {
        EvaluateCubicPairsSSE(Count, Windows, T, Positions, Orientations);
        return;
    }
    for (int Lane = 0; Lane < Count; ++Lane) {
        cubic_pair_window const &Window = Windows[Lane];
        PositionOrientationBSplines[3](Window.Knots, Window.PositionControls,
                                       Window.OrientationControls, T, Positions[Lane],
                                       Orientations[Lane]);
        ExactNormalize(Orientations[Lane]);
    }
}

} // namespace kelvo

KELVO_API void KelvoEvaluateCurveAtKnotIndex(kelvo_int32 Dimension, kelvo_bool8 Normalize,
                                             kelvo_bool8 BackwardsLoop, kelvo_curve2 const *Curve,
                                             kelvo_bool8 ForwardsLoop, kelvo_real32 CurveDuration,
                                             kelvo_int32 KnotIndex, kelvo_real32 T,
                                             kelvo_real32 *Result,
                                             kelvo_real32 const *IdentityVector) {
    KELVO_CHECK(Dimension >= 0 && Dimension <= MaxCurveDimension, Origin, KELVO_NOTHING);
    if (kelvo_curve_format const *Format = CurveFormatOf(Curve)) {
        Evaluate(*Format, Dimension, Normalize, BackwardsLoop, Curve, ForwardsLoop, CurveDuration,
                 KnotIndex, T, Result, IdentityVector);
    }
}
