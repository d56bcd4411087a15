// The curve format table: per format, its definition, its name and the
// operations every public curve operation dispatches through, in a fixed
// order. Operations trust what the curve check proved of curves from files
// (format byte, degree, counts); callers keep knot indices in range.
#ifndef KELVO_ANIM_CURVE_FORMATS_INTERNAL_H
#define KELVO_ANIM_CURVE_FORMATS_INTERNAL_H

#include "asset/kelvo_curve_formats.h"
#include "foundation/kelvo_memory.h"

#include <math.h>
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

// The integer keys between which a knot search started at a knot answers
// that knot at once: Low <= key < High, the key of a clock taken as the
// search takes it (KnotKey); it answers the next knot for High <= key <
// Next and the one after for Next <= key < After, as playback at a frame
// rate below the knot rate meets them.
struct knot_keys {
    kelvo_real32 Scale;
    kelvo_real32 Largest;
    kelvo_int32 Low;
    kelvo_int32 High;
    kelvo_int32 Next;
    kelvo_int32 After;
};

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
    // The keys around Knot (a valid index) of a format searched by integer
    // keys; null for the others.
    void (*KnotKeysAt)(kelvo_curve2 const *Curve, kelvo_int32 Knot, kelvo_int32 KnotCount,
                       knot_keys *Keys);
};

extern kelvo_curve_format const CurveFormats[CurveFormatCount];

// The key integer knots are searched with. It is clamped to one below the
// smallest and the largest stored value, so that times before the curve or
// past its end never wrap to its other end.
inline kelvo_int32 KnotKey(kelvo_real32 T, kelvo_real32 Scale, kelvo_real32 Largest) {
    kelvo_real32 Key = floorf(T * Scale);
    return Key >= 0.0f ? (Key < Largest ? (kelvo_int32)Key : (kelvo_int32)Largest) : -1;
}

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

// A window spliced at a loop seam or a held end, kept for the evaluations
// that follow at the same knot: playback at a steady rate meets each seam
// window several times. It is keyed by everything the splice reads but the
// curve's values, which, like the constants a binding decodes, are taken to
// stay as they were while the curve is played.
struct seam_window {
    void const *Data; // the curve data spliced; null while empty
    // Set only with a stored curve's window: its evaluator, what it was found
    // for (Form: loops, dimension, normalizing) and, where Keys.Scale is not
    // 0, the keys within which the clock needs no knot search. First, with
    // the key, so that a steady frame reads one line before the window.
    kelvo_bspline_evaluator *Evaluator;
    kelvo_int32 Knot;
    kelvo_uint32 Loops; // 1 backwards, 2 forwards
    kelvo_uint32 DurationBits;
    kelvo_uint32 Form;
    kelvo_int32 KnotCount;
    knot_keys Keys;
    kelvo_real32 Knots[2 * MaxCurveDegree];
    kelvo_real32 Controls[(MaxCurveDegree + 1) * 4];
};

// Evaluation at T as KelvoEvaluateCurveAtT gives it (the dimension trusted
// to be 0 to 9), with the knot searched from *Cursor, the knot of an earlier
// evaluation, which it then updates. A null cursor searches from scratch.
// With Kept, a stored curve (any format but DaK32fC32f) of up to four
// dimensions keeps its decoded window there, keyed as a seam window is, so
// that the evaluations that follow at the same knot decode nothing (steady
// playback meets each window of a sparse curve several times) and those at
// another knot decode only the entries the windows do not share.
void EvaluateCurveFrom(kelvo_int32 *Cursor, kelvo_int32 Dimension, bool Normalize,
                       bool BackwardsLoop, kelvo_curve2 const *Curve, bool ForwardsLoop,
                       kelvo_real32 Duration, kelvo_real32 T, kelvo_real32 *Result,
                       kelvo_real32 const *IdentityVector, seam_window *Kept = nullptr);

// Cubic position and orientation controls over one knot window, read
// around the pointers as the pair evaluators read them, left for a caller
// that evaluates several such windows together. Knots is null when none
// was left.
struct cubic_pair_window {
    kelvo_real32 const *Knots;
    kelvo_real32 const *PositionControls;
    kelvo_real32 const *OrientationControls;
};

// The windows of a cubic pair that lie across a loop seam or a held end,
// spliced once each and kept for as long as the pair plays under the same
// loops and duration: knots k-3 .. k+2, position and orientation controls
// k-3 .. k. Slot k for knots k < 3, slot k - KnotCount + 6 at the far end.
struct seam_pair_window {
    kelvo_real32 Knots[2 * MaxCurveDegree];
    kelvo_real32 PositionControls[(MaxCurveDegree + 1) * 3];
    kelvo_real32 OrientationControls[(MaxCurveDegree + 1) * 4];
};
constexpr int SeamPairSlots = 2 * MaxCurveDegree;

// What a kept pair reads only when it changes window: its curves, whether
// they share their knots bit for bit (then one search serves both), and the
// seam windows spliced so far (a bit per slot), for these curves, loops and
// duration.
struct kept_pair_seams {
    // The curves' arrays and counts, first: a step reads no more of this.
    kelvo_real32 const *PositionKnots;
    kelvo_real32 const *OrientationKnots;
    kelvo_real32 const *PositionControls;
    kelvo_real32 const *OrientationControls;
    kelvo_int32 PositionKnotCount;
    kelvo_int32 OrientationKnotCount;
    kelvo_uint32 Loops;
    kelvo_uint32 DurationBits;
    kelvo_uint32 Spliced;
    kelvo_uint32 SameKnots;
    kelvo_curve_data_da_k32f_c32f const *Position; // null until a pair is kept
    kelvo_curve_data_da_k32f_c32f const *Orientation;
    seam_pair_window Windows[SeamPairSlots];
};

// A track's cubic pair as steady playback reads it, one cache line: the
// window it was last left with and the clocks it holds for, [From, Before),
// the knots it was found at (the two curves' cursors, kept or not), and
// what it was kept for. While the owner (the source track), loops and
// duration are the same and T stays in [From, Before), the window is the
// same and neither curve needs to be read.
struct alignas(64) kept_pair_window {
    kelvo_real32 From;
    kelvo_real32 Before;
    cubic_pair_window Window;
    void const *Owner; // null while no pair is kept
    kelvo_uint32 DurationBits;
    kelvo_uint8 Loops;
    kelvo_uint8 SameKnots;
    // In-place windows after this one, when this one is in place and the
    // curves share their knots: those steps need nothing but the window.
    kelvo_uint16 Ahead;
    kelvo_int32 Knots[2];
    kept_pair_seams *Seams; // null: this cursor can keep no pair
};

// A kept pair stepped on to the next window (knot Knots[0] + 1) when it is
// the window at T, in place as this one is, as StepKeptPairWindow would.
// False, with nothing changed, otherwise.
inline bool StepKeptPairWithinCurves(kept_pair_window &Kept, kelvo_real32 T) {
    kelvo_real32 const *Knots = Kept.Window.Knots;
    // Where CloseUpperBound from this knot goes one knot on.
    if (!Kept.Ahead || T < Knots[-1] || T < Knots[0] || !(T < Knots[1])) {
        return false;
    }
    Kept.From = isnan(Knots[0]) ? -INFINITY : Knots[0];
    Kept.Before = Knots[1];
    Kept.Window.Knots = Knots + 1;
    Kept.Window.PositionControls += 3;
    Kept.Window.OrientationControls += 4;
    ++Kept.Knots[0];
    ++Kept.Knots[1];
    --Kept.Ahead;
    return true;
}

// Loops as the kept windows hold them: 1 backwards, 2 forwards.
inline kelvo_uint32 LoopBits(bool BackwardsLoop, bool ForwardsLoop) {
    return (BackwardsLoop ? 1u : 0u) | (ForwardsLoop ? 2u : 0u);
}

inline kelvo_uint32 BitsOf(kelvo_real32 Value) {
    kelvo_uint32 Bits;
    memcpy(&Bits, &Value, sizeof(Bits));
    return Bits;
}

// Whether Kept is kept by Owner under these loops and duration.
inline bool KeptPairIsOf(kept_pair_window const &Kept, void const *Owner, kelvo_uint32 Loops,
                         kelvo_real32 Duration) {
    return Kept.Owner == Owner && Kept.Loops == Loops && Kept.DurationBits == BitsOf(Duration);
}

// A kept pair moved on to its curves' window at T: in place, or a seam
// window (spliced on its first use) when the curves share their knots. The
// knots, the kept pair and *Deferred updated, as the evaluation at T would
// read them. False, with the pair's window unchanged, where there is no
// such window: before the first knot without looping backwards, and at
// windows whose knot values differ.
bool StepKeptPairWindow(kept_pair_window &Kept, kelvo_real32 T, cubic_pair_window *Deferred);

// Kept made the pair of two cubic DaK32fC32f curves for Owner, at their
// window at T (as StepKeptPairWindow finds it, from Kept's knots), with its
// window in *Deferred. False, with no pair kept, for other curves and where
// StepKeptPairWindow finds no window, and always without Kept's Seams.
bool KeepPairWindow(kept_pair_window &Kept, void const *Owner, kelvo_curve2 const *PositionCurve,
                    kelvo_curve2 const *OrientationCurve, bool BackwardsLoop, bool ForwardsLoop,
                    kelvo_real32 Duration, kelvo_real32 T, cubic_pair_window *Deferred);

// Whether KeepPairWindow can keep these curves (cubic DaK32fC32f) and they
// share their knots bit for bit: then a kept pair steps through every
// window of theirs there is.
bool CubicPairSharesKnots(kelvo_curve2 const *PositionCurve, kelvo_curve2 const *OrientationCurve);

// A track's position and orientation at T, as EvaluateCurveFrom gives them
// (the orientation normalized), when both curves are DaK32fC32f with a
// window at T; Cursors[0] and [1] are their cursors, Seams (or null) their
// kept seam windows. Windows with the same knot values share one set of
// basis weights. False, with nothing changed, for every other case.
// With Deferred and Seams, two cubic curves over one window are not
// evaluated: their window, which stays valid until the cursor's next
// sampling, goes to *Deferred instead.
bool EvaluatePositionOrientationFrom(kelvo_int32 *Cursors, seam_window *Seams, bool BackwardsLoop,
                                     bool ForwardsLoop, kelvo_real32 Duration,
                                     kelvo_curve2 const *PositionCurve,
                                     kelvo_curve2 const *OrientationCurve, kelvo_real32 T,
                                     kelvo_real32 *Position, kelvo_real32 *Orientation,
                                     cubic_pair_window *Deferred = nullptr);

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
