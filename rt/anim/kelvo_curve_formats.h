// The curve format table: per format, its definition, its name and the
// operations every public curve operation dispatches through, in a fixed
// order. Operations trust what the curve check proved of curves from files
// (format byte, degree, counts); callers keep knot indices in range.
#ifndef KELVO_ANIM_CURVE_FORMATS_INTERNAL_H
#define KELVO_ANIM_CURVE_FORMATS_INTERNAL_H

#include "asset/kelvo_curve_formats.h"
#include "foundation/kelvo_memory.h"

#include <string.h>

struct kelvo_curve_builder {
    bool OwnedByCaller;
    kelvo_data_type_definition const *Type;
    kelvo_int32 FormatIndex; // -1 when the type is no known format
    kelvo_int32 Degree;
    kelvo_int32 Dimension;
    kelvo_int32 KnotCount;
    kelvo_real32 const *Knots;
    kelvo_real32 const *Controls;
    kelvo_curve2 const *SourceCurve;
    kelvo_int32 SampleCount; // -1 until samples are pushed
    kelvo_int32 SampleDimension;
    kelvo_real32 const *TransformedSamples;
    kelvo_real32 const *UntransformedSamples;
};

namespace kelvo {

struct kelvo_curve_format {
    kelvo_data_type_definition const *Definition;
    char const *Name;
    kelvo_int32 (*GetDimension)(kelvo_curve2 const *Curve);
    kelvo_int32 (*GetKnotCount)(kelvo_curve2 const *Curve);
    kelvo_int32 (*FindKnot)(kelvo_curve2 const *Curve, kelvo_real32 T);
    kelvo_int32 (*FindCloseKnot)(kelvo_curve2 const *Curve, kelvo_real32 T, kelvo_int32 Start);
    void (*ExtractKnotValues)(kelvo_curve2 const *Curve, kelvo_int32 KnotIndex,
                              kelvo_int32 KnotCount, kelvo_real32 *KnotResults,
                              kelvo_real32 *ControlResults, kelvo_real32 const *IdentityVector);
    void (*Unused)();
    void (*SetFromSamples)(kelvo_curve2 *Curve, kelvo_int32 SampleCount,
                           kelvo_int32 SampleDimension, kelvo_real32 const *Samples);
    void (*SetAllKnotValues)(kelvo_curve2 *Curve, kelvo_int32 KnotCount, kelvo_int32 Dimension,
                             kelvo_real32 const *Knots, kelvo_real32 const *Controls);
    // Reserves the format record (its address into *Record at the end) and
    // its arrays for the builder's counts; the record's offset, or -1 when a
    // count is out of range.
    kelvo_int64 (*AddToAggregate)(kelvo_curve_builder const &Builder, aggr_allocator &Allocator,
                                  void **Record);
    void (*Copy)(kelvo_curve2 *Destination, kelvo_curve2 const *Source);
    // False (reported) when the arguments do not fit the curve; it is then unchanged.
    bool (*ScaleOffsetSwizzle)(kelvo_curve2 *Curve, kelvo_int32 Dimension,
                               kelvo_real32 const *Scales, kelvo_real32 const *Offsets,
                               kelvo_int32 const *Swizzles);
};

extern kelvo_curve_format const CurveFormats[CurveFormatCount];

// The first knot strictly after Key, or the last knot when none is.
template <typename value, typename key>
kelvo_int32 UpperBound(value const *Knots, kelvo_int32 KnotCount, key Key) {
    if (KnotCount <= 0) {
        return 0;
    }
    kelvo_int32 Low = 0;
    kelvo_int32 High = KnotCount;
    while (High - Low > 8) {
        kelvo_int32 Middle = Low + (High - Low) / 2;
        if (Key < (key)Knots[Middle]) {
            High = Middle;
        } else {
            Low = Middle + 1;
        }
    }
    while (Low < High && !(Key < (key)Knots[Low])) {
        ++Low;
    }
    return Low < KnotCount ? Low : KnotCount - 1;
}

// UpperBound started from Start (the answer for a nearby key, say): a few
// steps either way when the answer is near, the halving search otherwise.
// The answer is UpperBound's whenever the knots do not decrease, which the
// curve check holds every curve from a file to.
template <typename value, typename key>
kelvo_int32 CloseUpperBound(value const *Knots, kelvo_int32 KnotCount, key Key, kelvo_int32 Start) {
    constexpr kelvo_int32 MostSteps = 4;
    if (Start < 0 || Start >= KnotCount) {
        return UpperBound(Knots, KnotCount, Key);
    }
    kelvo_int32 Index = Start;
    if (Index > 0 && Key < (key)Knots[Index - 1]) {
        for (kelvo_int32 Step = 0; Step < MostSteps; ++Step) {
            --Index;
            if (Index == 0 || !(Key < (key)Knots[Index - 1])) {
                return Index;
            }
        }
    } else {
        for (kelvo_int32 Step = 0; Step <= MostSteps; ++Step) {
            if (Index == KnotCount - 1 || Key < (key)Knots[Index]) {
                return Index;
            }
            ++Index;
        }
    }
    return UpperBound(Knots, KnotCount, Key);
}

// The format entry of a curve, or null (reported under origin Curve) when
// the curve has no data or its format byte is none of the table's.
kelvo_curve_format const *CurveFormatOf(kelvo_curve2 const *Curve);

// Evaluation at T as KelvoEvaluateCurveAtT gives it (the dimension trusted
// to be 0 to 9), with the knot searched from *Cursor, the knot of an earlier
// evaluation, which it then updates. A null cursor searches from scratch.
void EvaluateCurveFrom(kelvo_int32 *Cursor, kelvo_int32 Dimension, bool Normalize,
                       bool BackwardsLoop, kelvo_curve2 const *Curve, bool ForwardsLoop,
                       kelvo_real32 Duration, kelvo_real32 T, kelvo_real32 *Result,
                       kelvo_real32 const *IdentityVector);

// A window spliced at a loop seam or a held end, kept for the evaluations
// that follow at the same knot: playback at a steady rate meets each seam
// window several times. It is keyed by everything the splice reads but the
// curve's values, which, like the constants a binding decodes, are taken to
// stay as they were while the curve is played.
struct seam_window {
    void const *Data; // the curve data spliced; null while empty
    kelvo_int32 Knot;
    kelvo_uint32 Loops; // 1 backwards, 2 forwards
    kelvo_uint32 DurationBits;
    kelvo_real32 Knots[2 * MaxCurveDegree];
    kelvo_real32 Controls[(MaxCurveDegree + 1) * 4];
};

// Cubic position and orientation controls over one knot window, read
// around the pointers as the pair evaluators read them, left for a caller
// that evaluates several such windows together. Knots is null when none
// was left.
struct cubic_pair_window {
    kelvo_real32 const *Knots;
    kelvo_real32 const *PositionControls;
    kelvo_real32 const *OrientationControls;
};

// The window a track's cubic pair was last left with, and what it was found
// from: while T stays in the same knot spans of the same curves, under the
// same loop setting and duration, the window is the same, and the search,
// the window checks and the knot comparison can be skipped. The spans'
// common part, [From, Before), is kept with it so that the check reads
// neither curve.
struct kept_pair_window {
    void const *PositionData; // null while empty
    void const *OrientationData;
    kelvo_int32 Knots[2];
    kelvo_uint32 Loops;
    kelvo_uint32 DurationBits;
    kelvo_real32 From;
    kelvo_real32 Before;
    cubic_pair_window Window;
};

// Loops as the kept windows hold them: 1 backwards, 2 forwards.
inline kelvo_uint32 LoopBits(bool BackwardsLoop, bool ForwardsLoop) {
    return (BackwardsLoop ? 1u : 0u) | (ForwardsLoop ? 2u : 0u);
}

// Whether Kept was found for the curves with these data from these cursors
// (the cursors of the position and orientation curve), under these loops
// and duration.
inline bool KeptPairWindowIsOf(kept_pair_window const &Kept, kelvo_int32 const *Cursors,
                               void const *PositionData, void const *OrientationData,
                               kelvo_uint32 Loops, kelvo_real32 Duration) {
    kelvo_uint32 DurationBits;
    memcpy(&DurationBits, &Duration, sizeof(DurationBits));
    return Kept.PositionData == PositionData && PositionData &&
           Kept.OrientationData == OrientationData && Kept.Knots[0] == Cursors[0] &&
           Kept.Knots[1] == Cursors[1] && Kept.Loops == Loops && Kept.DurationBits == DurationBits;
}

// Whether Kept is the window of the curves with these data at T from these
// cursors.
inline bool KeptPairWindowHolds(kept_pair_window const &Kept, kelvo_int32 const *Cursors,
                                void const *PositionData, void const *OrientationData,
                                kelvo_uint32 Loops, kelvo_real32 Duration, kelvo_real32 T) {
    return KeptPairWindowIsOf(Kept, Cursors, PositionData, OrientationData, Loops, Duration) &&
           !(T < Kept.From) && T < Kept.Before;
}

// A kept pair (KeptPairWindowIsOf the curves played) moved on to its
// curves' windows at T, where both lie inside the curves: the cursors, the
// kept pair and *Deferred updated, as EvaluatePositionOrientationFrom would.
// False, with nothing changed, for windows spliced at a seam and windows
// whose knot values differ.
bool StepKeptPairWindow(kept_pair_window &Kept, kelvo_int32 *Cursors, kelvo_real32 T,
                        cubic_pair_window *Deferred);

// A track's position and orientation at T, as EvaluateCurveFrom gives them
// (the orientation normalized), when both curves are DaK32fC32f with a
// window at T; Cursors[0] and [1] are their cursors, Seams (or null) their
// kept seam windows. Windows with the same knot values share one set of
// basis weights. False, with nothing changed, for every other case.
// With Deferred and Seams, two cubic curves over one window are not
// evaluated: their window, which stays valid until the cursor's next
// sampling, goes to *Deferred instead, and to *Kept (when given) for the
// samplings that follow.
bool EvaluatePositionOrientationFrom(kelvo_int32 *Cursors, seam_window *Seams, bool BackwardsLoop,
                                     bool ForwardsLoop, kelvo_real32 Duration,
                                     kelvo_curve2 const *PositionCurve,
                                     kelvo_curve2 const *OrientationCurve, kelvo_real32 T,
                                     kelvo_real32 *Position, kelvo_real32 *Orientation,
                                     cubic_pair_window *Deferred = nullptr,
                                     kept_pair_window *Kept = nullptr);

// Count deferred cubic pairs at T: each position as the pair evaluator
// gives it, each orientation likewise and then normalized exactly (as
// ExactNormalize does), bit for bit. With SSE (SSEPosesEnabled) windows are
// evaluated four at a time, one lane each.
void EvaluateCubicPairs(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                        kelvo_real32 *const *Positions, kelvo_real32 *const *Orientations);
// The SSE form (rt/x86), for SSE2 machines only.
void EvaluateCubicPairsSSE(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                           kelvo_real32 *const *Positions, kelvo_real32 *const *Orientations);

// The D4n lane scales and offsets, entries 8..15 negating 0..7.
struct scale_offset {
    kelvo_real32 Scale;
    kelvo_real32 Offset;
};
extern scale_offset const QuaternionScaleOffsetTable[16];

// Fills a builder (on the caller's stack, say) to copy SourceCurve: type,
// format, degree, dimension and knot count. False (reported) for a null
// curve or an unknown format.
bool DescribeCurveCopy(kelvo_curve_builder &Builder, kelvo_curve2 const *SourceCurve);

// The block of a builder's curve: the curve record (unless the caller
// keeps its own), the format record and its arrays. The size is -1 when a
// count does not fit.
kelvo_int64 CurveBlockSize(kelvo_curve_builder const &Builder, bool WithCurveRecord);
// The same as an int32, or 0 when it does not fit (reported).
kelvo_int32 ResultingCurveSize(kelvo_curve_builder const &Builder, bool WithCurveRecord);
// Lays the block out in Memory (of CurveBlockSize bytes) and points the curve
// at its data: Curve, or with a null Curve the record at the block's start.
// The format record's header is set; its values are not. Null when the
// layout fails (reported).
kelvo_curve2 *LayOutCurve(kelvo_curve_builder const &Builder, kelvo_curve2 *Curve, void *Memory);

} // namespace kelvo

#endif
