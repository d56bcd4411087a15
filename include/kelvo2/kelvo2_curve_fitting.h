/* kelvo2: fitting sampled motion with B-spline curves and compressing them
   into the stored curve formats (a content tool).

   Conventions of the area:
   - Samples are SampleCount vectors of Dimension reals, sample-major. Sample
     i sits at time i x dT; the fit works in sample units and scales the
     knots by dT only when it builds the result.
   - A solver is made once for the largest problem (degree, sample count,
     dimension) and reused; fits allocate only their sample copy and the
     curves they build. Curves returned are freed with KelvoFreeCurve.
   - The error of a sample is its squared Euclidean distance from the curve,
     or for unit quaternions (BSplineSolverEvaluateAsQuaternions)
     (1 - cos a)^2, a the angle between the directions of the sample and of
     the curve's value (evaluated with the normalizing step orientations
     play back with): the run-time normalizes orientations before use, so
     only the direction counts. For unit vectors 1 - cos a is 1 - dot, but
     it is computed in double from the directions, so tolerances far below
     the 1e-7 that 1 - dot resolves in floats hold. A quaternion tolerance T
     therefore allows a rotation of 2 acos(1 - T) radians, about
     2 sqrt(2 T) (T = 1e-6: 0.0028 rad; 1e-9: 8.9e-5 rad); a rotation limit
     R gives T = 1 - cos(R / 2). A fit achieves its tolerance when every
     sample's error is within Tolerance^2, sample 0 included.
   - Degree-0 quaternion fits and constant quaternion curves hold unit
     controls: playback uses a constant as stored.
   - Rows of the least-squares system come from the evaluator's own basis:
     sample i belongs to the span that evaluation picks for time i (the first
     knot strictly after it), the window's knots before knot 0 repeat knot 0
     and those after the last knot repeat it, and the weights of the window's
     controls before control 0 are summed onto control 0, which is what
     evaluation reads there.
   - Arguments are checked before use; a refusal is reported (Error, origin
     Curve) and the call returns null, false or nothing. */
#ifndef KELVO2_CURVE_FITTING_H
#define KELVO2_CURVE_FITTING_H

#include "kelvo2_curve.h"
#include "kelvo2_data_type.h"
#include "kelvo2_file_info.h"
#include "kelvo2_types.h"

/* Solver flags. */
enum {
    /* samples are unit quaternions: (1 - cos)^2 of the angle between
       directions, quaternion reduction */
    BSplineSolverEvaluateAsQuaternions = 0x01,
    /* a jump to a neighbour above the C0 threshold gets degree + 1 knots */
    BSplineSolverAllowC0Splitting = 0x02,
    /* a second difference above the C1 threshold gets degree knots */
    BSplineSolverAllowC1Splitting = 0x04,
    /* degree - 1 extra knots at 0.125, 0.25, ... after the first */
    BSplineSolverExtraDOFKnotZero = 0x10,
    /* first and last controls are the first and last samples */
    BSplineSolverForceEndpointAlignment = 0x20,
    /* once the tolerance is met, knots are removed while it stays met */
    BSplineSolverAllowReduceKeys = 0x40
};

typedef struct bspline_solver bspline_solver;

#pragma pack(push, 4)

typedef struct compress_curve_parameters {
    kelvo_int32 DesiredDegree;
    kelvo_bool8 AllowDegreeReduction; /* collapse to constant or identity */
    /* accept a smaller format that misses the tolerance (when the plain fit
       missed it too, and it is not much worse) */
    kelvo_bool8 AllowReductionOnMissedTolerance;
    kelvo_real32 ErrorTolerance;
    kelvo_real32 C0Threshold;
    kelvo_real32 C1Threshold;
    kelvo_data_type_definition const **PossibleCompressionTypes;
    kelvo_int32 PossibleCompressionTypesCount;
    kelvo_data_type_definition const *ConstantCompressionType;
    kelvo_data_type_definition const *IdentityCompressionType; /* or null */
    kelvo_real32 const *IdentityVector; /* required with IdentityCompressionType */
} compress_curve_parameters;

typedef struct bspline_error {
    kelvo_int32 MaximumSquaredErrorKnotIndex;
    kelvo_int32 MaximumSquaredErrorSampleIndex;
    kelvo_real32 MaximumSquaredError;
    kelvo_real32 AccumulatedSquaredError;
} bspline_error;

/* A skeleton's sampled motion: local transforms of every bone at
   SampleCount samples dT seconds apart; each array holds the bones one
   after the other, each bone's samples in order. */
typedef struct kelvo_skeleton_motion {
    kelvo_int32 BoneCount;
    kelvo_int32 const *ParentIndices; /* -1 for a root; a parent precedes its bones */
    kelvo_int32 SampleCount;
    kelvo_real32 dT;
    kelvo_real32 const *Positions;    /* 3 reals per sample */
    kelvo_real32 const *Orientations; /* unit quaternions, 4 reals per sample */
    kelvo_real32 const *ScaleShears;  /* 3x3, 9 reals per sample */
} kelvo_skeleton_motion;

/* How KelvoCompressSkeletonMotion bounds the error: virtual vertices at
   VertexDistance along each axis of every bone, in object space (every
   root's transform included), stay within VertexTolerance of where the
   samples put them. Parameters and SolverFlags are those of the position,
   orientation and scale/shear curves (KelvoCompressCurve); their
   ErrorTolerance is chosen per track. */
typedef struct kelvo_skeleton_compression {
    kelvo_real32 VertexDistance;
    kelvo_real32 VertexTolerance;
    compress_curve_parameters const *Parameters[3];
    kelvo_uint32 SolverFlags[3];
} kelvo_skeleton_compression;

#pragma pack(pop)

/* SampleCount x (Degree + 1): the longest knot vector a fit may reach. */
KELVO_API kelvo_int32 KelvoGetMaximumKnotCountForSampleCount(kelvo_int32 Degree,
                                                             kelvo_int32 SampleCount);
/* One block for fits of degree up to Degree, up to MaximumSampleCount
   samples of up to MaximumDimension (1..9) reals; null when refused or out
   of memory. */
KELVO_API bspline_solver *KelvoAllocateBSplineSolver(kelvo_int32 Degree,
                                                     kelvo_int32 MaximumSampleCount,
                                                     kelvo_int32 MaximumDimension);
KELVO_API void KelvoDeallocateBSplineSolver(bspline_solver *Solver);

/* Fits the samples within ErrorThreshold in the curve format CurveType
   (null: DaK32fC32f), refining the knots until every sample is within it,
   the knots run out or the curve outgrows MaximumCurveSizeInBytes (< 1:
   unlimited). The best curve found is returned also when the tolerance is
   missed; *AchievedTolerance says which, and *CurveSizeInBytes the size of
   the last candidate (-1 when missed). Null only for refused arguments or
   failed allocations. */
KELVO_API kelvo_curve2 *KelvoFitBSplineToSamples(
    bspline_solver *Solver, kelvo_uint32 SolverFlags, kelvo_int32 Degree,
    kelvo_real32 ErrorThreshold, kelvo_real32 C0Threshold, kelvo_real32 C1Threshold,
    kelvo_real32 const *Samples, kelvo_int32 Dimension, kelvo_int32 SampleCount, kelvo_real32 dT,
    kelvo_data_type_definition const *CurveType, kelvo_int32 MaximumCurveSizeInBytes,
    kelvo_bool8 *AchievedTolerance, kelvo_int32 *CurveSizeInBytes);

/* The errors of the samples against the curve, sample i at time
   i x Duration / (SampleCount - 1). */
KELVO_API void KelvoGetSquaredErrorOverCurve(kelvo_uint32 SolverFlags, kelvo_int32 Degree,
                                             kelvo_int32 Dimension, kelvo_real32 Duration,
                                             kelvo_curve2 const *Curve, kelvo_int32 SampleCount,
                                             kelvo_real32 const *Samples,
                                             kelvo_real32 const *IdentityVector,
                                             bspline_error *Result);

/* Fits in DaK32fC32f, then collapses the fit to a constant or identity curve
   or keeps the smallest acceptable curve among the possible formats.
   *AchievedTolerance reports the DaK32fC32f fit. */
KELVO_API kelvo_curve2 *KelvoCompressCurve(bspline_solver *Solver, kelvo_uint32 SolverFlags,
                                           compress_curve_parameters const *Params,
                                           kelvo_real32 const *Samples, kelvo_int32 Dimension,
                                           kelvo_int32 SampleCount, kelvo_real32 dT,
                                           kelvo_bool8 *AchievedTolerance);

/* Compresses every track of a skeleton's motion (BoneCount x 3 curves
   into Curves: position, orientation and scale/shear of bone 0, then of
   bone 1, ...) so that the largest virtual-vertex error, measured on the
   curves as they play back, is within the bound, spending the bound where
   it saves most: every track starts with the whole bound (over the reach
   of its bone's subtree for orientations and scale/shear), the track of a
   chain whose exact value would lower an offending bone's error most is
   tightened a step (each step halves the squared allowance) until every
   vertex is within the bound, then the largest tracks are loosened while
   it still holds. Tolerances (BoneCount x 3, may be null) receives each
   track's ErrorTolerance, *LargestVertexError the measured error and
   *AchievedTolerance whether it is within the bound. Returns false, with
   no curves, for refused arguments or failed fits and allocations. The
   solver must hold SampleCount samples of dimension 9. */
KELVO_API kelvo_bool8 KelvoCompressSkeletonMotion(bspline_solver *Solver,
                                                  kelvo_skeleton_compression const *Settings,
                                                  kelvo_skeleton_motion const *Motion,
                                                  kelvo_curve2 **Curves, kelvo_real32 *Tolerances,
                                                  kelvo_real32 *LargestVertexError,
                                                  kelvo_bool8 *AchievedTolerance);

/* Largest difference of Count vectors from the first (ConstantDifference)
   and from IdentityVector (IdentityDifference; huge without one).
   DifferenceType 0: Euclidean distance; 1: |1 - dot| (quaternions); 2: sum
   of absolute differences. */
KELVO_API void
KelvoGetVectorDifferences(kelvo_int32 Dimension, kelvo_int32 Count, kelvo_real32 const *Vectors,
                          kelvo_real32 const *IdentityVector, kelvo_int32 DifferenceType,
                          kelvo_real32 *IdentityDifference, kelvo_real32 *ConstantDifference);
/* True when the controls are all within Tolerance of the identity (degree 0,
   knot count 0) or of the first control (degree 0, knot count 1); otherwise
   false with the given degree and knot count. */
KELVO_API kelvo_bool8 KelvoKnotsAreReducible(
    kelvo_int32 Degree, kelvo_int32 Dimension, kelvo_int32 KnotCount, kelvo_real32 const *Knots,
    kelvo_real32 const *Controls, kelvo_real32 const *IdentityVector, kelvo_real32 Tolerance,
    kelvo_int32 DifferenceType, kelvo_int32 *RequiredDegree, kelvo_int32 *RequiredKnotCount);
/* The same test on a curve's decoded knots and controls. */
KELVO_API kelvo_bool8 KelvoCurveIsReducible(kelvo_curve2 const *Curve,
                                            kelvo_real32 const *IdentityVector,
                                            kelvo_real32 Tolerance, kelvo_int32 DifferenceType,
                                            kelvo_int32 *RequiredDegree,
                                            kelvo_int32 *RequiredKnotCount);

#endif
