/* kelvo2: track groups and track sampling. A track group (kelvo2_file_info.h)
   animates one model: a transform track per animated bone (position,
   orientation and scale/shear curves), vector tracks, text tracks, its
   initial placement and per-track level-of-detail errors.

   Conventions of the area:
   - Messages go under origin TrackGroup unless stated.
   - The low 16 bits of AccumulationFlags are the group's flags (bit 1:
     TransformTracks is sorted by name); the high 16 bits are the VDA
     degrees of freedom.
   - A bound transform track classifies its three curves in two bits each
     (bits 0-1 position, 2-3 orientation, 4-5 scale/shear): 0 identity,
     1 constant, 2 keyframed, 3 animated. Constant curves are read from its
     LODTransform.
   - Track samplers write the bone's world matrix as the local matrix times
     the parent's world matrix (row-vector composites), and the composite as
     the offset matrix (the inverse rest world matrix) times the world. */
#ifndef KELVO2_TRACK_GROUP_H
#define KELVO2_TRACK_GROUP_H

#include "kelvo2_file_info.h"
#include "kelvo2_transform.h"
#include "kelvo2_types.h"

#define KELVO_TRACK_GROUP_IS_SORTED 0x2
/* The LOD error builders store: the track is never reduced. */
#define KELVO_NEVER_REDUCED_LOD_ERROR 1.9140881e38f

typedef enum kelvo_bound_curve_class {
    KelvoBoundCurveIdentity = 0,
    KelvoBoundCurveConstant = 1,
    KelvoBoundCurveKeyframed = 2,
    KelvoBoundCurveAnimated = 3
} kelvo_bound_curve_class;

/* Shifts of the three bit pairs in kelvo_bound_transform_track.Flags. */
#define KELVO_BOUND_POSITION_SHIFT 0
#define KELVO_BOUND_ORIENTATION_SHIFT 2
#define KELVO_BOUND_SCALE_SHEAR_SHIFT 4

typedef struct kelvo_sample_context {
    kelvo_real32 LocalClock;
    kelvo_real32 LocalDuration;
    kelvo_bool32 UnderflowLoop;
    kelvo_bool32 OverflowLoop;
    kelvo_int32 FrameIndex; /* the knot keyframed curves give */
} kelvo_sample_context;

typedef struct kelvo_bound_transform_track kelvo_bound_transform_track;

typedef void kelvo_track_sampler(kelvo_sample_context const *Context,
                                 kelvo_transform_track const *SourceTrack,
                                 kelvo_bound_transform_track const *Track, kelvo_transform *Result,
                                 kelvo_real32 const *OffsetMatrix, kelvo_real32 const *ParentMatrix,
                                 kelvo_real32 *WorldResult, kelvo_real32 *CompositeResult);

/* One bone of an animation binding. */
struct kelvo_bound_transform_track {
    kelvo_int16 SourceTrackIndex; /* -1 without a track */
    kelvo_uint8 QuaternionMode;
    kelvo_uint8 Flags; /* the curve classes */
    kelvo_transform_track const *SourceTrack;
    kelvo_track_sampler *Sampler;
    kelvo_real32 LODError;
    kelvo_transform LODTransform;
};

/* ---- lookups and flags ------------------------------------------------------ */

/* Halving search when the group is sorted (library string comparison),
   linear scan otherwise. False and -1 when absent or for a null group. */
KELVO_API kelvo_bool32 KelvoFindTrackByName(kelvo_track_group const *TrackGroup, char const *Name,
                                            kelvo_int32 *TrackIndex);
/* The first track whose name, put through the wildcard capture of Pattern,
   equals ProcessedName. */
KELVO_API kelvo_bool32 KelvoFindTrackByRule(kelvo_track_group const *TrackGroup,
                                            char const *ProcessedName, char const *Pattern,
                                            kelvo_int32 *TrackIndex);
KELVO_API kelvo_bool32 KelvoFindVectorTrackByName(kelvo_track_group const *TrackGroup,
                                                  char const *Name, kelvo_int32 *TrackIndex);
KELVO_API kelvo_bool32 KelvoFindVectorTrackByRule(kelvo_track_group const *TrackGroup,
                                                  char const *ProcessedName, char const *Pattern,
                                                  kelvo_int32 *TrackIndex);
KELVO_API void KelvoGetTrackGroupFlags(kelvo_track_group const *TrackGroup, kelvo_uint32 *Flags,
                                       kelvo_uint32 *VDADOFs);
KELVO_API void KelvoSetTrackGroupFlags(kelvo_track_group *TrackGroup, kelvo_uint32 Flags,
                                       kelvo_uint32 VDADOFs);
KELVO_API void KelvoGetTrackGroupInitialPlacement4x4(kelvo_track_group const *TrackGroup,
                                                     kelvo_real32 Result[16]);

/* ---- predicates ---------------------------------------------------------------- */

KELVO_API kelvo_bool32 KelvoTransformTrackHasKeyframedCurves(kelvo_transform_track const *Track);
/* False only when all three curves are constant or identity. */
KELVO_API kelvo_bool32 KelvoTransformTrackIsAnimated(kelvo_transform_track const *Track);
KELVO_API kelvo_bool32 KelvoTransformTrackIsIdentity(kelvo_transform_track const *Track);

/* ---- sampling ------------------------------------------------------------------- */

/* The curve classes of a track, as a bound track's Flags. */
KELVO_API kelvo_uint8 KelvoGetTransformTrackClassFlags(kelvo_transform_track const *Track);
/* The track's value at knot 0 of each non-identity curve. */
KELVO_API void KelvoGetTransformTrackInitialTransform(kelvo_transform_track const *Track,
                                                      kelvo_transform *Result);

KELVO_API void KelvoSampleTrackUUULocal(kelvo_sample_context const *Context,
                                        kelvo_transform_track const *SourceTrack,
                                        kelvo_bound_transform_track const *Track,
                                        kelvo_transform *Result);
KELVO_API void KelvoSampleTrackPOLocal(kelvo_sample_context const *Context,
                                       kelvo_transform_track const *SourceTrack,
                                       kelvo_bound_transform_track const *Track,
                                       kelvo_real32 *ResultPosition,
                                       kelvo_real32 *ResultOrientation);
/* The specialized sampler for the track's classes (the general one for any
   keyframed curve, for a non-identity scale/shear, and for an identity
   position under a non-identity orientation). */
KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerFor(kelvo_bound_transform_track const *Track);
KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerUUU(void);
/* Composes the transform passed in Result without sampling. */
KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerSSS(void);
KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerIII(void);
KELVO_API kelvo_track_sampler *KelvoGetTrackSamplerIIU(void);

/* ---- transformations ------------------------------------------------------------ */

/* Makes knot 0 of the track the identity by applying the inverse of the
   track's initial transform to every control; all curves must be DaK32fC32f
   or identity. */
KELVO_API void KelvoRemoveTrackInitialTransform(kelvo_transform_track *Track);

/* Coordinate-system changes x -> Linear.x + Affine (InverseLinear is
   Linear's inverse), in place. A linear part that only permutes and flips
   axes with one uniform scale (within Tolerance) rewrites any format
   without decoding; others decode and re-encode the curve. Vec3 curves
   take the linear part only; identity curves and curves of the wrong
   dimension are refused. */
KELVO_API kelvo_bool32 KelvoBasisConversionRequiresCurveDecompression(
    kelvo_real32 const *Linear, kelvo_real32 const *InverseLinear, kelvo_real32 Tolerance);
KELVO_API void KelvoTransformCurveVec3(kelvo_real32 const *Affine, kelvo_real32 const *Linear,
                                       kelvo_real32 const *InverseLinear, kelvo_real32 Tolerance,
                                       kelvo_curve2 *Curve);
KELVO_API void KelvoSimilarityTransformCurvePosition(kelvo_real32 const *Affine,
                                                     kelvo_real32 const *Linear,
                                                     kelvo_real32 const *InverseLinear,
                                                     kelvo_real32 Tolerance, kelvo_curve2 *Curve);
KELVO_API void KelvoSimilarityTransformCurveQuaternion(kelvo_real32 const *Affine,
                                                       kelvo_real32 const *Linear,
                                                       kelvo_real32 const *InverseLinear,
                                                       kelvo_real32 Tolerance, kelvo_curve2 *Curve);
KELVO_API void KelvoSimilarityTransformCurveScaleShear(kelvo_real32 const *Affine,
                                                       kelvo_real32 const *Linear,
                                                       kelvo_real32 const *InverseLinear,
                                                       kelvo_real32 Tolerance, kelvo_curve2 *Curve);
/* Every non-identity curve by the linear part, the loop translation and
   periodic loop likewise (renormalized, lengths moved into dZ and Radius),
   and the initial placement by the whole transform. */
KELVO_API void KelvoSimilarityTransformTrackGroup(kelvo_track_group *TrackGroup,
                                                  kelvo_real32 const *Affine,
                                                  kelvo_real32 const *Linear,
                                                  kelvo_real32 const *InverseLinear,
                                                  kelvo_real32 Tolerance);

/* ---- resorting and LOD errors ---------------------------------------------------- */

KELVO_API void KelvoResortTrackGroup(kelvo_track_group *TrackGroup);
/* One error per transform track, only when the group has none; the errors
   are one block owned by the caller until KelvoFreeLODErrorSpace. */
KELVO_API void KelvoAllocateLODErrorSpace(kelvo_track_group *TrackGroup);
KELVO_API void KelvoFreeLODErrorSpace(kelvo_track_group *TrackGroup);
KELVO_API void KelvoSetAllLODErrorSpace(kelvo_track_group *TrackGroup, kelvo_real32 Value);
KELVO_API void KelvoResetLODErrorSpace(kelvo_track_group *TrackGroup);

/* ---- building track groups (tool side) ------------------------------------------

   Begin the group; add each transform track with its Begin, the curve
   setters and its End, each vector track with one Push, each text track
   with its Begin, entries and End; then end the group. Curves are copied;
   identity curves become one shared identity record. The finished group is
   one block, its tracks in name order, flagged sorted, every LOD error
   (when asked for) never-reduced. */
typedef struct kelvo_track_group_builder kelvo_track_group_builder;

KELVO_API kelvo_track_group_builder *KelvoBeginTrackGroup(char const *Name,
                                                          kelvo_int32 VectorTrackCount,
                                                          kelvo_int32 TransformTrackCount,
                                                          kelvo_int32 TextTrackCount,
                                                          kelvo_bool32 IncludeLODErrorSpace);
KELVO_API void KelvoBeginTransformTrack(kelvo_track_group_builder *Builder, char const *Name);
KELVO_API void KelvoSetTransformTrackPositionCurve(kelvo_track_group_builder *Builder,
                                                   kelvo_curve2 const *Curve);
KELVO_API void KelvoSetTransformTrackOrientationCurve(kelvo_track_group_builder *Builder,
                                                      kelvo_curve2 const *Curve);
KELVO_API void KelvoSetTransformTrackScaleShearCurve(kelvo_track_group_builder *Builder,
                                                     kelvo_curve2 const *Curve);
KELVO_API void KelvoEndTransformTrack(kelvo_track_group_builder *Builder);
KELVO_API void KelvoPushVectorTrackCurve(kelvo_track_group_builder *Builder, char const *Name,
                                         kelvo_curve2 const *Curve);
KELVO_API void KelvoBeginTextTrack(kelvo_track_group_builder *Builder, char const *Name);
KELVO_API void KelvoAddTextEntry(kelvo_track_group_builder *Builder, kelvo_real32 TimeStamp,
                                 char const *Text);
KELVO_API void KelvoEndTextTrack(kelvo_track_group_builder *Builder);
/* 0 when the group would not fit an int32 size. */
KELVO_API kelvo_int32 KelvoGetResultingTrackGroupSize(kelvo_track_group_builder const *Builder);
/* Both free the builder; null on failure. */
KELVO_API kelvo_track_group *KelvoEndTrackGroupInPlace(kelvo_track_group_builder *Builder,
                                                       void *Memory);
KELVO_API kelvo_track_group *KelvoEndTrackGroup(kelvo_track_group_builder *Builder);
/* Frees a group made by KelvoEndTrackGroup. */
KELVO_API void KelvoFreeTrackGroup(kelvo_track_group *TrackGroup);

/* ---- sampled animations (tool side) ---------------------------------------------

   Per transform curve, SampleCount positions (3 floats), orientations (4)
   and scale/shears (9), starting as the identity. Set the current frame's
   samples of each curve, then push the frame; setting or pushing past the
   last frame is refused. The sample getters return a curve's whole array. */
typedef struct kelvo_sampled_animation kelvo_sampled_animation;

KELVO_API kelvo_sampled_animation *KelvoBeginSampledAnimation(kelvo_int32 TransformCurveCount,
                                                              kelvo_int32 SampleCount);
/* Any of the three may be null to leave that sample as it is. */
KELVO_API void KelvoSetTransformSample(kelvo_sampled_animation *Buffer, kelvo_int32 CurveIndex,
                                       kelvo_real32 const *Position,
                                       kelvo_real32 const *Orientation,
                                       kelvo_real32 const *ScaleShear);
KELVO_API void KelvoPushSampledFrame(kelvo_sampled_animation *Buffer);
KELVO_API kelvo_real32 *KelvoGetPositionSamples(kelvo_sampled_animation *Buffer,
                                                kelvo_int32 CurveIndex);
KELVO_API kelvo_real32 *KelvoGetOrientationSamples(kelvo_sampled_animation *Buffer,
                                                   kelvo_int32 CurveIndex);
KELVO_API kelvo_real32 *KelvoGetScaleShearSamples(kelvo_sampled_animation *Buffer,
                                                  kelvo_int32 CurveIndex);
KELVO_API void KelvoEndSampledAnimation(kelvo_sampled_animation *Buffer);

#endif
