// Track sampling: classifying a track's curves, the general sampler, which
// takes every component by its class, and the specialized samplers for the
// common tracks without scale/shear, which sample position and orientation
// and compose the bone's world matrix in one pass. Constant components come
// from the bound track's LODTransform, so they are decoded once per binding.
#include "kelvo2/kelvo2_curve.h"
#include "kelvo2/kelvo2_track_group.h"

#include "anim/kelvo_curve_formats.h"
#include "anim/kelvo_track_internal.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"

#include <float.h>
#include <math.h>
#include <string.h>

namespace {

constexpr kelvo_log_message_origin Origin = KelvoTrackGroupLogMessage;

int ClassAt(kelvo_uint8 Flags, int Shift) {
    return (Flags >> Shift) & 3;
}

kelvo_uint8 ClassOf(kelvo_curve2 const *Curve) {
    if (kelvo::TrackCurveIsIdentity(Curve)) {
        return KelvoBoundCurveIdentity;
    }
    if (kelvo::TrackCurveIsKeyframed(Curve)) {
        return KelvoBoundCurveKeyframed;
    }
    return kelvo::TrackCurveIsConstantOrIdentity(Curve) ? KelvoBoundCurveConstant
                                                        : KelvoBoundCurveAnimated;
}

// Evaluation at the context's clock; the result holds the identity vector
// first, so a curve of the wrong dimension (reported by the evaluation)
// never leaves it unwritten. The cursor (or null) is the curve's knot at
// the previous sampling, Kept (or null) its decoded window.
void Evaluate(kelvo_sample_context const *Context, kelvo_curve2 const *Curve, kelvo_int32 Dimension,
              bool Normalize, kelvo_real32 const *Identity, kelvo_real32 *Result,
              kelvo_int32 *Cursor = nullptr, kelvo::seam_window *Kept = nullptr) {
    memcpy(Result, Identity, Dimension * sizeof(kelvo_real32));
    kelvo::EvaluateCurveFrom(Cursor, Dimension, Normalize, Context->UnderflowLoop != 0, Curve,
                             Context->OverflowLoop != 0, Context->LocalDuration,
                             Context->LocalClock, Result, Identity, Kept);
}

// Keyframed curves give the control of the context's frame; a frame outside
// the curve is held at its ends.
void ExtractFrame(kelvo_sample_context const *Context, kelvo_curve2 const *Curve,
                  kelvo_int32 Dimension, kelvo_real32 const *Identity, kelvo_real32 *Result) {
    memcpy(Result, Identity, Dimension * sizeof(kelvo_real32));
    kelvo_int32 Count = kelvo::TrackCurveKnotCount(Curve);
    if (Count > 0 && KelvoCurveGetDimension(Curve) == Dimension) {
        kelvo_int32 Frame = Context->FrameIndex;
        Frame = Frame < 0 ? 0 : Frame >= Count ? Count - 1 : Frame;
        KelvoCurveExtractKnotValue(Curve, Frame, Result, Identity);
    }
}

// One component by its class; true when it differs from identity.
bool SampleComponent(kelvo_sample_context const *Context, kelvo_curve2 const *Curve, int Class,
                     kelvo_real32 const *Constant, kelvo_int32 Dimension, bool Normalize,
                     kelvo_real32 const *Identity, kelvo_real32 *Result,
                     kelvo_int32 *Cursor = nullptr, bool Exact = true,
                     kelvo::seam_window *Kept = nullptr) {
    switch (Class) {
    case KelvoBoundCurveIdentity:
        memcpy(Result, Identity, Dimension * sizeof(kelvo_real32));
        return false;
    case KelvoBoundCurveConstant:
        memcpy(Result, Constant, Dimension * sizeof(kelvo_real32));
        return true;
    case KelvoBoundCurveKeyframed:
        ExtractFrame(Context, Curve, Dimension, Identity, Result);
        return true;
    default:
        Evaluate(Context, Curve, Dimension, Normalize, Identity, Result, Cursor, Kept);
        if (Normalize && Exact) {
            kelvo::ExactNormalize(Result);
        }
        return true;
    }
}

// Position and orientation each by its class, into Result (whose flags
// start at 0); Kept (or null) holds their decoded windows.
void SamplePositionOrientation(kelvo_sample_context const *Context,
                               kelvo_transform_track const *SourceTrack,
                               kelvo_bound_transform_track const *Track, kelvo_transform *Result,
                               kelvo_int32 *Cursors, bool Exact,
                               kelvo::seam_window *Kept = nullptr) {
    kelvo_uint8 Flags = Track->Flags;
    kelvo_transform const &Constant = Track->LODTransform;
    if (SampleComponent(Context, &SourceTrack->PositionCurve,
                        ClassAt(Flags, KELVO_BOUND_POSITION_SHIFT), Constant.Position, 3, false,
                        KelvoCurveIdentityPosition, Result->Position, Cursors, true, Kept)) {
        Result->Flags |= KelvoHasPosition;
    }
    if (SampleComponent(Context, &SourceTrack->OrientationCurve,
                        ClassAt(Flags, KELVO_BOUND_ORIENTATION_SHIFT), Constant.Orientation, 4,
                        true, KelvoCurveIdentityOrientation, Result->Orientation,
                        Cursors ? Cursors + 1 : nullptr, Exact, Kept ? Kept + 1 : nullptr)) {
        Result->Flags |= KelvoHasOrientation;
    }
}

// Scale/shear by its class into Result, whose flags gain it when it differs
// from identity.
void SampleScaleShear(kelvo_sample_context const *Context, kelvo_transform_track const *SourceTrack,
                      kelvo_bound_transform_track const *Track, kelvo_transform *Result,
                      kelvo_int32 *Cursor = nullptr) {
    if (SampleComponent(Context, &SourceTrack->ScaleShearCurve,
                        ClassAt(Track->Flags, KELVO_BOUND_SCALE_SHEAR_SHIFT),
                        Track->LODTransform.ScaleShear, 9, false, KelvoCurveIdentityScaleShear,
                        Result->ScaleShear, Cursor)) {
        Result->Flags |= KelvoHasScaleShear;
    }
}

// World = local x parent, composite = offset x world (row-vector composites).
void ComposeMatrix(kelvo_real32 const Local[16], kelvo_real32 const *OffsetMatrix,
                   kelvo_real32 const *ParentMatrix, kelvo_real32 *WorldResult,
                   kelvo_real32 *CompositeResult) {
    KelvoColumnMatrixMultiply4x4(WorldResult, Local, ParentMatrix);
    if (CompositeResult) {
        KelvoColumnMatrixMultiply4x4(CompositeResult, OffsetMatrix, WorldResult);
    }
}

void ComposeTransform(kelvo_transform const *Local, kelvo_real32 const *OffsetMatrix,
                      kelvo_real32 const *ParentMatrix, kelvo_real32 *WorldResult,
                      kelvo_real32 *CompositeResult) {
    kelvo_real32 Matrix[16];
    KelvoBuildCompositeTransform4x4(Local, Matrix);
    ComposeMatrix(Matrix, OffsetMatrix, ParentMatrix, WorldResult, CompositeResult);
}

void SampleUUU(kelvo_sample_context const *Context, kelvo_transform_track const *SourceTrack,
               kelvo_bound_transform_track const *Track, kelvo_transform *Result,
               kelvo_real32 const *OffsetMatrix, kelvo_real32 const *ParentMatrix,
               kelvo_real32 *WorldResult, kelvo_real32 *CompositeResult) {
    KelvoSampleTrackUUULocal(Context, SourceTrack, Track, Result);
    ComposeTransform(Result, OffsetMatrix, ParentMatrix, WorldResult, CompositeResult);
}

void SampleSSS(kelvo_sample_context const *, kelvo_transform_track const *,
               kelvo_bound_transform_track const *, kelvo_transform *Result,
               kelvo_real32 const *OffsetMatrix, kelvo_real32 const *ParentMatrix,
               kelvo_real32 *WorldResult, kelvo_real32 *CompositeResult) {
    ComposeTransform(Result, OffsetMatrix, ParentMatrix, WorldResult, CompositeResult);
}

void SampleIIU(kelvo_sample_context const *Context, kelvo_transform_track const *SourceTrack,
               kelvo_bound_transform_track const *Track, kelvo_transform *Result,
               kelvo_real32 const *OffsetMatrix, kelvo_real32 const *ParentMatrix,
               kelvo_real32 *WorldResult, kelvo_real32 *CompositeResult) {
    *Result = kelvo::IdentityTransform;
    SampleScaleShear(Context, SourceTrack, Track, Result);
    ComposeTransform(Result, OffsetMatrix, ParentMatrix, WorldResult, CompositeResult);
}

// The specialized samplers, by position and orientation class (identity,
// constant or animated; scale/shear identity). The world matrix is built
// straight from the rotation: its rows are the rotation's columns.
template <int Position, int Orientation>
void SampleFused(kelvo_sample_context const *Context, kelvo_transform_track const *SourceTrack,
                 kelvo_bound_transform_track const *Track, kelvo_transform *Result,
                 kelvo_real32 const *OffsetMatrix, kelvo_real32 const *ParentMatrix,
                 kelvo_real32 *WorldResult, kelvo_real32 *CompositeResult) {
    *Result = kelvo::IdentityTransform;
    if (Position == KelvoBoundCurveConstant) {
        memcpy(Result->Position, Track->LODTransform.Position, sizeof(Result->Position));
    } else if (Position == KelvoBoundCurveAnimated) {
        Evaluate(Context, &SourceTrack->PositionCurve, 3, false, KelvoCurveIdentityPosition,
                 Result->Position);
    }
    if (Orientation == KelvoBoundCurveConstant) {
        memcpy(Result->Orientation, Track->LODTransform.Orientation, sizeof(Result->Orientation));
    } else if (Orientation == KelvoBoundCurveAnimated) {
        Evaluate(Context, &SourceTrack->OrientationCurve, 4, true, KelvoCurveIdentityOrientation,
                 Result->Orientation);
        kelvo::ExactNormalize(Result->Orientation);
    }
    Result->Flags = (Position ? KelvoHasPosition : 0) | (Orientation ? KelvoHasOrientation : 0);

    kelvo::ComposeRigidWorld(Result->Position, Orientation ? Result->Orientation : nullptr,
                             OffsetMatrix, ParentMatrix, WorldResult, CompositeResult);
}

constexpr int I = KelvoBoundCurveIdentity;
constexpr int C = KelvoBoundCurveConstant;
constexpr int A = KelvoBoundCurveAnimated;

// Indexed by position x 3 + orientation (scale/shear identity); null entries
// take the general sampler.
kelvo_track_sampler *const FusedSamplers[9] = {
    SampleFused<I, I>, nullptr,           nullptr,           SampleFused<C, I>, SampleFused<C, C>,
    SampleFused<C, A>, SampleFused<A, I>, SampleFused<A, C>, SampleFused<A, A>,
};

// Identity 0, constant 1, animated 2, as the sampler table counts them.
int KindOf(kelvo_curve2 const *Curve) {
    return kelvo::TrackCurveIsIdentity(Curve)             ? 0
           : kelvo::TrackCurveIsConstantOrIdentity(Curve) ? 1
                                                          : 2;
}

} // namespace

KELVO_API kelvo_uint8 KelvoGetTransformTrackClassFlags(kelvo_transform_track const *Track) {
    KELVO_CHECK_NOT_NULL(Track, Origin, 0);
    return (kelvo_uint8)(ClassOf(&Track->PositionCurve) << KELVO_BOUND_POSITION_SHIFT |
                         ClassOf(&Track->OrientationCurve) << KELVO_BOUND_ORIENTATION_SHIFT |
                         ClassOf(&Track->ScaleShearCurve) << KELVO_BOUND_SCALE_SHEAR_SHIFT);
}

KELVO_API void KelvoGetTransformTrackInitialTransform(kelvo_transform_track const *Track,
                                                      kelvo_transform *Result) {
    KELVO_CHECK_NOT_NULL(Result, Origin, KELVO_NOTHING);
    *Result = kelvo::IdentityTransform;
    KELVO_CHECK_NOT_NULL(Track, Origin, KELVO_NOTHING);
    struct component {
        kelvo_curve2 const *Curve;
        kelvo_int32 Dimension;
        kelvo_real32 *Value;
        kelvo_real32 const *Identity;
        kelvo_uint32 Flag;
    } const Components[] = {
        {&Track->PositionCurve, 3, Result->Position, KelvoCurveIdentityPosition, KelvoHasPosition},
        {&Track->OrientationCurve, 4, Result->Orientation, KelvoCurveIdentityOrientation,
         KelvoHasOrientation},
        {&Track->ScaleShearCurve, 9, Result->ScaleShear, KelvoCurveIdentityScaleShear,
         KelvoHasScaleShear},
    };
    for (component const &Component : Components) {
        if (!kelvo::TrackCurveIsIdentity(Component.Curve) &&
            kelvo::TrackCurveKnotCount(Component.Curve) > 0 &&
            KelvoCurveGetDimension(Component.Curve) == Component.Dimension) {
            KelvoCurveExtractKnotValue(Component.Curve, 0, Component.Value, Component.Identity);
            Result->Flags |= Component.Flag;
        }
    }
}

namespace kelvo {

kelvo_track_sampler *AnimatedPairSampler() {
    return SampleFused<A, A>;
}

bool SampleTrackLocalDeferred(kelvo_sample_context const *Context,
                              kelvo_transform_track const *SourceTrack,
                              kelvo_bound_transform_track const *Track, kelvo_transform *Result,
                              track_cursor *Cursor, cubic_pair_window *Deferred) {
    kelvo_uint8 Flags = Track->Flags;
    kelvo_int32 *Cursors = nullptr;
    kelvo_int32 *ScaleShearCursor = nullptr;
    seam_window *Seams = nullptr;
    if (Cursor) {
        // Kept again below, or not at all.
        Cursor->Pair.Owner = nullptr;
        Cursors = Cursor->Pair.Knots;
        if (track_cursor_rest *Rest = RestOf(*Cursor)) {
            ScaleShearCursor = &Rest->ScaleShearKnot;
            Seams = Rest->Seams;
        }
    }
    Result->Flags = 0;
    bool const Animated = ClassAt(Flags, KELVO_BOUND_ORIENTATION_SHIFT) == KelvoBoundCurveAnimated;
    bool const Pair =
        Cursor && Animated && ClassAt(Flags, KELVO_BOUND_POSITION_SHIFT) == KelvoBoundCurveAnimated;
    bool const Backwards = Context->UnderflowLoop != 0, Forwards = Context->OverflowLoop != 0;
#if FLT_EVAL_METHOD == 0
    bool const Kept = Pair && Deferred &&
                      KeepPairWindow(Cursor->Pair, SourceTrack, &SourceTrack->PositionCurve,
                                     &SourceTrack->OrientationCurve, Backwards, Forwards,
                                     Context->LocalDuration, Context->LocalClock, Deferred);
#else
    bool const Kept = false;
#endif
    if (Kept || (Pair && EvaluatePositionOrientationFrom(
                             Cursors, Seams, Backwards, Forwards, Context->LocalDuration,
                             &SourceTrack->PositionCurve, &SourceTrack->OrientationCurve,
                             Context->LocalClock, Result->Position, Result->Orientation,
                             FLT_EVAL_METHOD == 0 ? Deferred : nullptr))) {
        Result->Flags = KelvoHasPosition | KelvoHasOrientation;
    } else {
        SamplePositionOrientation(Context, SourceTrack, Track, Result, Cursors, false, Seams);
    }
    SampleScaleShear(Context, SourceTrack, Track, Result, ScaleShearCursor);
#if FLT_EVAL_METHOD != 0
    // With excess precision the rounding could follow the place the
    // normalization is inlined into: it stays here.
    if (Animated) {
        ExactNormalize(Result->Orientation);
    }
    return false;
#else
    return Animated;
#endif
}

void SampleTrackLocal(kelvo_sample_context const *Context, kelvo_transform_track const *SourceTrack,
                      kelvo_bound_transform_track const *Track, kelvo_transform *Result,
                      track_cursor *Cursor) {
    if (SampleTrackLocalDeferred(Context, SourceTrack, Track, Result, Cursor)) {
        ExactNormalize(Result->Orientation);
    }
}

} // namespace kelvo

KELVO_API void KelvoSampleTrackUUULocal(kelvo_sample_context const *Context,
                                        kelvo_transform_track const *SourceTrack,
                                        kelvo_bound_transform_track const *Track,
                                        kelvo_transform *Result) {
    // Without a cursor there is no pair to keep: the components in turn, in
    // the order the cursor path takes them, so the bits are the same.
    kelvo_uint8 Flags = Track->Flags;
    Result->Flags = 0;
    SamplePositionOrientation(Context, SourceTrack, Track, Result, nullptr, false);
    SampleScaleShear(Context, SourceTrack, Track, Result);
    if (ClassAt(Flags, KELVO_BOUND_ORIENTATION_SHIFT) == KelvoBoundCurveAnimated) {
        kelvo::ExactNormalize(Result->Orientation);
    }
}

KELVO_API void KelvoSampleTrackPOLocal(kelvo_sample_context const *Context,
                                       kelvo_transform_track const *SourceTrack,
                                       kelvo_bound_transform_track const *Track,
                                       kelvo_real32 *ResultPosition,
                                       kelvo_real32 *ResultOrientation) {
    kelvo_uint8 Flags = Track->Flags;
    SampleComponent(Context, &SourceTrack->PositionCurve,
                    ClassAt(Flags, KELVO_BOUND_POSITION_SHIFT), Track->LODTransform.Position, 3,
                    false, KelvoCurveIdentityPosition, ResultPosition);
    SampleComponent(Context, &SourceTrack->OrientationCurve,
                    ClassAt(Flags, KELVO_BOUND_ORIENTATION_SHIFT), Track->LODTransform.Orientation,
                    4, true, KelvoCurveIdentityOrientation, ResultOrientation);
}

KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerFor(kelvo_bound_transform_track const *Track) {
    KELVO_CHECK_NOT_NULL(Track, Origin, SampleUUU);
    kelvo_transform_track const *Source = Track->SourceTrack;
    if (!Source) {
        return SampleSSS;
    }
    if (KelvoTransformTrackHasKeyframedCurves(Source) || KindOf(&Source->ScaleShearCurve) != 0) {
        return SampleUUU;
    }
    kelvo_track_sampler *Fused =
        FusedSamplers[KindOf(&Source->PositionCurve) * 3 + KindOf(&Source->OrientationCurve)];
    return Fused ? Fused : SampleUUU;
}

KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerUUU(void) {
    return SampleUUU;
}

KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerSSS(void) {
    return SampleSSS;
}

KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerIII(void) {
    return SampleFused<I, I>;
}

KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerIIU(void) {
    return SampleIIU;
}
