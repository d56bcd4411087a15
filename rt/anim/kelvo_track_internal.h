// What the track modules share: curve queries as tracks see them (a track
// curve without any data, as files leave unanimated scale/shear, is the
// identity, never an error) and the order of track names.
#ifndef KELVO_TRACK_INTERNAL_H
#define KELVO_TRACK_INTERNAL_H

#include "anim/kelvo_curve_formats.h"
#include "foundation/kelvo_math.h"
#include "kelvo2/kelvo2_curve.h"
#include "kelvo2/kelvo2_pointer_hash.h"
#include "kelvo2/kelvo2_track_group.h"

#include <float.h>
#include <math.h>
#include <stddef.h>
#include <string.h>

namespace kelvo {

inline bool CurveIsAbsent(kelvo_curve2 const *Curve) {
    return !Curve->CurveData.Object;
}

inline bool TrackCurveIsIdentity(kelvo_curve2 const *Curve) {
    return CurveIsAbsent(Curve) || KelvoCurveIsIdentity(Curve);
}

inline bool TrackCurveIsConstantOrIdentity(kelvo_curve2 const *Curve) {
    return CurveIsAbsent(Curve) || KelvoCurveIsConstantOrIdentity(Curve);
}

inline bool TrackCurveIsKeyframed(kelvo_curve2 const *Curve) {
    return !CurveIsAbsent(Curve) && KelvoCurveIsKeyframed(Curve);
}

// Knots of a curve that has values to read: 0 for identity and absent curves.
inline kelvo_int32 TrackCurveKnotCount(kelvo_curve2 const *Curve) {
    return TrackCurveIsIdentity(Curve) ? 0 : KelvoCurveGetKnotCount(Curve);
}

// What a track's sampling keeps between samplings, to make steady playback
// cheaper without changing any result. First, in one cache line, its cubic
// pair as steady playback reads it, whose knots are also where the position
// and orientation curves' next searches start; then, for tracks that may
// read it, the rest: the scale/shear curve's knot, the last seam windows
// of position and orientation for the general path (deferred windows point
// into them until their group is evaluated, so they cannot be shared), and
// the pair's curves and seam windows, which the first line points at.
struct track_cursor {
    kept_pair_window Pair;
};
static_assert(sizeof(track_cursor) == 64, "a cursor's first line is all a steady frame reads");

struct track_cursor_rest {
    seam_window *Seams; // two, or null where a kept pair takes every seam
    kelvo_int32 ScaleShearKnot;
    kept_pair_seams PairSeams;
};

// The rest of a cursor, or null for a track bound without one (which then
// keeps no pair, splices into no kept window and searches scale/shear from
// scratch).
inline track_cursor_rest *RestOf(track_cursor &Cursor) {
    return Cursor.Pair.Seams
               ? reinterpret_cast<track_cursor_rest *>(reinterpret_cast<char *>(Cursor.Pair.Seams) -
                                                       offsetof(track_cursor_rest, PairSeams))
               : nullptr;
}

// Whether a track bound with these class flags gets a cursor's rest: when
// its position and orientation are both animated DaK32fC32f curves (the
// only pairs kept or spliced), either is an animated stored curve (whose
// decoded windows the general seam windows keep) or its scale/shear is
// animated. Any other track reads only the first line, so a binding
// re-pointed to other tracks loses speed there, never bits.
inline bool TrackUsesCursorRest(kelvo_transform_track const *SourceTrack, kelvo_uint8 Flags) {
    auto Animated = [Flags](int Shift) { return (Flags >> Shift & 3) == KelvoBoundCurveAnimated; };
    auto Floats = [](kelvo_curve2 const *Curve) {
        return !CurveIsAbsent(Curve) && CurveHeader(Curve)->Format == DaK32fC32f;
    };
    auto Stored = [&](int Shift, kelvo_curve2 const *Curve) {
        return Animated(Shift) && !CurveIsAbsent(Curve) && !Floats(Curve);
    };
    return (SourceTrack && Animated(KELVO_BOUND_POSITION_SHIFT) &&
            Animated(KELVO_BOUND_ORIENTATION_SHIFT) && Floats(&SourceTrack->PositionCurve) &&
            Floats(&SourceTrack->OrientationCurve)) ||
           (SourceTrack &&
            (Stored(KELVO_BOUND_POSITION_SHIFT, &SourceTrack->PositionCurve) ||
             Stored(KELVO_BOUND_ORIENTATION_SHIFT, &SourceTrack->OrientationCurve))) ||
           Animated(KELVO_BOUND_SCALE_SHEAR_SHIFT);
}

// Whether such a track's rest needs the general path's seam windows: not
// for a cubic pair sharing its knots, whose kept pair takes every window
// the general path could splice, as long as the sampler has a window to
// defer into, as cursors' samplers do (with excess precision no pair is
// kept). Without them the general path splices on its stack: slower, same
// bits.
inline bool TrackUsesGeneralSeams(kelvo_transform_track const *SourceTrack) {
    return FLT_EVAL_METHOD != 0 || !SourceTrack ||
           !CubicPairSharesKnots(&SourceTrack->PositionCurve, &SourceTrack->OrientationCurve);
}

// KelvoSampleTrackUUULocal from a cursor, or without one (null Cursor).
void SampleTrackLocal(kelvo_sample_context const *Context, kelvo_transform_track const *SourceTrack,
                      kelvo_bound_transform_track const *Track, kelvo_transform *Result,
                      track_cursor *Cursor);

// The evaluators' own normalization is one Newton step, which leaves
// quantized curves visibly off unit length; samplers normalize exactly.
inline void ExactNormalize(kelvo_real32 *Q) {
    kelvo_real32 LengthSquared = Dot4(Q, Q);
    if (LengthSquared > 0.0f) {
        kelvo_real32 Scale = 1.0f / sqrtf(LengthSquared);
        for (int Lane = 0; Lane < 4; ++Lane) {
            Q[Lane] *= Scale;
        }
    }
}

// SampleTrackLocal up to the exact normalization of an animated
// orientation, which it leaves to the caller when it returns true: callers
// sampling many tracks normalize a few together, so that the square roots
// and divisions overlap instead of each stalling the next step. With a
// Cursor and Deferred, cubic position and orientation over one window are
// left unevaluated in *Deferred (Deferred->Knots set), for
// EvaluateCubicPairs.
bool SampleTrackLocalDeferred(kelvo_sample_context const *Context,
                              kelvo_transform_track const *SourceTrack,
                              kelvo_bound_transform_track const *Track, kelvo_transform *Result,
                              track_cursor *Cursor, cubic_pair_window *Deferred = nullptr);

// The world matrix of a local transform without scale/shear (Orientation
// null for the identity) under ParentMatrix, built straight from the
// rotation: its rows are the rotation's columns. Then the composite,
// offset x world, when asked for. The specialized samplers and the direct
// build share it, so both give the same bits.
[[gnu::always_inline]] inline void
ComposeRigidWorld(kelvo_real32 const *Position, kelvo_real32 const *Orientation,
                  kelvo_real32 const *OffsetMatrix, kelvo_real32 const *ParentMatrix,
                  kelvo_real32 *WorldResult, kelvo_real32 *CompositeResult) {
    kelvo_real32 World[16];
    kelvo_real32 const *P = ParentMatrix;
    if (Orientation) {
        kelvo_real32 R[9];
        MatrixFromQuaternion(R, Orientation);
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 4; ++Column) {
                World[4 * Row + Column] =
                    R[Row] * P[Column] + R[3 + Row] * P[4 + Column] + R[6 + Row] * P[8 + Column];
            }
        }
    } else {
        memcpy(World, P, 12 * sizeof(kelvo_real32));
    }
    kelvo_real32 const *T = Position;
    for (int Column = 0; Column < 4; ++Column) {
        World[12 + Column] =
            T[0] * P[Column] + T[1] * P[4 + Column] + T[2] * P[8 + Column] + P[12 + Column];
    }
    memcpy(WorldResult, World, sizeof(World));
    if (CompositeResult) {
        KelvoColumnMatrixMultiply4x4(CompositeResult, OffsetMatrix, WorldResult);
    }
}

// The specialized sampler of tracks with animated position and orientation
// and identity scale/shear (as KelvoGetTrackSamplerFor gives it).
kelvo_track_sampler *AnimatedPairSampler();

// Whether a bound track's classes are those of a kept pair: animated
// position and orientation, identity scale/shear.
inline bool HasPairClasses(kelvo_uint8 Flags) {
    constexpr int Classes = KelvoBoundCurveAnimated << KELVO_BOUND_POSITION_SHIFT |
                            KelvoBoundCurveAnimated << KELVO_BOUND_ORIENTATION_SHIFT |
                            KelvoBoundCurveIdentity << KELVO_BOUND_SCALE_SHEAR_SHIFT;
    constexpr int ClassMask = 3 << KELVO_BOUND_POSITION_SHIFT | 3 << KELVO_BOUND_ORIENTATION_SHIFT |
                              3 << KELVO_BOUND_SCALE_SHEAR_SHIFT;
    return (Flags & ClassMask) == Classes;
}

// SampleTrackLocalDeferred's steady case, inline for callers that sample
// many tracks: animated position and orientation whose kept pair still
// holds at the clock, or steps on to its next window, identity scale/shear.
// The window goes to *Deferred and the result owes its position and
// orientation. False otherwise, with nothing changed but a kept pair that
// could not step, which is dropped (as the general path would drop it
// first). Only the bound track and the cursor's first line are read while
// the window holds: the pair is keyed by its source track, which a binding
// re-pointed to other tracks changes, and by the loops and duration.
inline bool SampleKeptPair(kelvo_sample_context const &Context,
                           kelvo_transform_track const *SourceTrack,
                           kelvo_bound_transform_track const &Track, kelvo_transform *Result,
                           track_cursor &Cursor, cubic_pair_window *Deferred) {
#if FLT_EVAL_METHOD == 0
    kept_pair_window &Pair = Cursor.Pair;
    if (!HasPairClasses(Track.Flags) ||
        !KeptPairIsOf(Pair, SourceTrack,
                      LoopBits(Context.UnderflowLoop != 0, Context.OverflowLoop != 0),
                      Context.LocalDuration)) {
        return false;
    }
    kelvo_real32 const T = Context.LocalClock;
    if ((!(T < Pair.From) && T < Pair.Before) || StepKeptPairWithinCurves(Pair, T)) {
        *Deferred = Pair.Window;
    } else if (!StepKeptPairWindow(Pair, T, Deferred)) {
        Pair.Owner = nullptr;
        return false;
    }
    Result->Flags = KelvoHasPosition | KelvoHasOrientation;
    // By element: the constants become stores, where a copy of this size
    // becomes a string move.
    for (int Index = 0; Index < 9; ++Index) {
        Result->ScaleShear[Index] = IdentityTransform.ScaleShear[Index];
    }
    return true;
#else
    (void)Context, (void)SourceTrack, (void)Track, (void)Result, (void)Cursor, (void)Deferred;
    return false;
#endif
}

// The library's ordering of names: the application's comparison when one is
// installed (never handed a null name), byte-wise otherwise.
kelvo_int32 CompareTrackNames(char const *A, char const *B);

// True the first time Object is met in a walk that notes what it changed in
// Done; always true without a hash. An object that cannot be noted (reported)
// counts as new.
inline bool FirstVisit(kelvo_pointer_hash *Done, void const *Object) {
    if (!Done) {
        return true;
    }
    if (KelvoHashedPointerKeyExists(Done, Object)) {
        return false;
    }
    KelvoAddPointerToHash(Done, Object, nullptr);
    return true;
}

// The track group's similarity transform, changing each curve's data (which
// tracks and groups may share) only on its first visit in Done.
void SimilarityTransformTrackGroup(kelvo_track_group *TrackGroup, kelvo_real32 const *Affine,
                                   kelvo_real32 const *Linear, kelvo_real32 const *InverseLinear,
                                   kelvo_real32 Tolerance, kelvo_pointer_hash *Done);

} // namespace kelvo

#endif
