/* kelvo2: curves. A curve (kelvo_curve2, in kelvo2_file_info.h) is a
   non-uniform B-spline of degree 0 to 3 whose knots are times and whose
   controls are vectors of 1 to 9 reals, stored in one of 19 formats, from
   plain floats to 7-bit quantized quaternions. Its CurveData variant names
   the format's definition and points at the format record, which begins
   with a kelvo_curve_data_header.

   Conventions of the area:
   - Curves from files are checked when the file's tree is checked; every
     operation here reports a curve whose format byte is not one of the 19
     (origin Curve) instead of reading it.
   - Every decode and evaluation takes an identity vector: the value of an
     identity curve, as many reals as the caller's dimension.
   - Knot-based arrays ("KnotsControls") hold all knots first, then the
     stored values of each knot in turn.
   - Curves made by KelvoEndCurve and KelvoCurveConvertToDaK32fC32f are one
     block, released with KelvoFreeCurve. */
#ifndef KELVO2_CURVE_H
#define KELVO2_CURVE_H

#include "kelvo2_data_type.h"
#include "kelvo2_file_info.h"
#include "kelvo2_types.h"

#pragma pack(push, 4)

typedef struct kelvo_curve_data_header {
    kelvo_uint8 Format; /* index into the format table; 255 when unknown */
    kelvo_uint8 Degree; /* 0 to 3 */
} kelvo_curve_data_header;

/* 0: keyframes of any dimension, one control per frame, no knots. */
typedef struct kelvo_curve_data_da_keyframes32f {
    kelvo_curve_data_header CurveDataHeader_DaKeyframes32f;
    kelvo_int16 Dimension;
    kelvo_int32 ControlCount;
    kelvo_real32 *Controls;
} kelvo_curve_data_da_keyframes32f;

/* 1: float knots and controls of any dimension. */
typedef struct kelvo_curve_data_da_k32f_c32f {
    kelvo_curve_data_header CurveDataHeader_DaK32fC32f;
    kelvo_int16 Padding;
    kelvo_int32 KnotCount;
    kelvo_real32 *Knots;
    kelvo_int32 ControlCount;
    kelvo_real32 *Controls;
} kelvo_curve_data_da_k32f_c32f;

/* 2: the identity vector, whatever the dimension. */
typedef struct kelvo_curve_data_da_identity {
    kelvo_curve_data_header CurveDataHeader_DaIdentity;
    kelvo_int16 Dimension;
} kelvo_curve_data_da_identity;

/* 3: one control of any dimension. */
typedef struct kelvo_curve_data_da_constant32f {
    kelvo_curve_data_header CurveDataHeader_DaConstant32f;
    kelvo_int16 Padding;
    kelvo_int32 ControlCount;
    kelvo_real32 *Controls;
} kelvo_curve_data_da_constant32f;

/* 4 and 5: one control of 3 or 4 reals. */
typedef struct kelvo_curve_data_d3_constant32f {
    kelvo_curve_data_header CurveDataHeader_D3Constant32f;
    kelvo_int16 Padding;
    kelvo_real32 Controls[3];
} kelvo_curve_data_d3_constant32f;

typedef struct kelvo_curve_data_d4_constant32f {
    kelvo_curve_data_header CurveDataHeader_D4Constant32f;
    kelvo_int16 Padding;
    kelvo_real32 Controls[4];
} kelvo_curve_data_d4_constant32f;

/* 6 and 7: quantized knots and controls of any dimension; the first half
   of ControlScaleOffsets holds the scales, the second the offsets. */
typedef struct kelvo_curve_data_da_k16u_c16u {
    kelvo_curve_data_header CurveDataHeader_DaK16uC16u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_int32 ControlScaleOffsetCount;
    kelvo_real32 *ControlScaleOffsets;
    kelvo_int32 KnotControlCount;
    kelvo_uint16 *KnotsControls;
} kelvo_curve_data_da_k16u_c16u;

typedef struct kelvo_curve_data_da_k8u_c8u {
    kelvo_curve_data_header CurveDataHeader_DaK8uC8u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_int32 ControlScaleOffsetCount;
    kelvo_real32 *ControlScaleOffsets;
    kelvo_int32 KnotControlCount;
    kelvo_uint8 *KnotsControls;
} kelvo_curve_data_da_k8u_c8u;

/* 8 and 9: normalized quaternions, three 15- or 7-bit fields per knot. */
typedef struct kelvo_curve_data_d4n_k16u_c15u {
    kelvo_curve_data_header CurveDataHeader_D4nK16uC15u;
    kelvo_uint16 ScaleOffsetTableEntries;
    kelvo_real32 OneOverKnotScale;
    kelvo_int32 KnotControlCount;
    kelvo_uint16 *KnotsControls;
} kelvo_curve_data_d4n_k16u_c15u;

typedef struct kelvo_curve_data_d4n_k8u_c7u {
    kelvo_curve_data_header CurveDataHeader_D4nK8uC7u;
    kelvo_uint16 ScaleOffsetTableEntries;
    kelvo_real32 OneOverKnotScale;
    kelvo_int32 KnotControlCount;
    kelvo_uint8 *KnotsControls;
} kelvo_curve_data_d4n_k8u_c7u;

/* 10, 11, 13, 15: three stored values per knot with a scale and an offset
   each (D3: the vector; D9I3: the diagonal of a 3x3 matrix). */
typedef struct kelvo_curve_data_d3_k16u_c16u {
    kelvo_curve_data_header CurveDataHeader_D3K16uC16u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_real32 ControlScales[3];
    kelvo_real32 ControlOffsets[3];
    kelvo_int32 KnotControlCount;
    kelvo_uint16 *KnotsControls;
} kelvo_curve_data_d3_k16u_c16u;

typedef struct kelvo_curve_data_d3_k8u_c8u {
    kelvo_curve_data_header CurveDataHeader_D3K8uC8u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_real32 ControlScales[3];
    kelvo_real32 ControlOffsets[3];
    kelvo_int32 KnotControlCount;
    kelvo_uint8 *KnotsControls;
} kelvo_curve_data_d3_k8u_c8u;

typedef struct kelvo_curve_data_d9i3_k16u_c16u {
    kelvo_curve_data_header CurveDataHeader_D9I3K16uC16u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_real32 ControlScales[3];
    kelvo_real32 ControlOffsets[3];
    kelvo_int32 KnotControlCount;
    kelvo_uint16 *KnotsControls;
} kelvo_curve_data_d9i3_k16u_c16u;

typedef struct kelvo_curve_data_d9i3_k8u_c8u {
    kelvo_curve_data_header CurveDataHeader_D9I3K8uC8u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_real32 ControlScales[3];
    kelvo_real32 ControlOffsets[3];
    kelvo_int32 KnotControlCount;
    kelvo_uint8 *KnotsControls;
} kelvo_curve_data_d9i3_k8u_c8u;

/* 12 and 14: one stored value per knot, a uniform scale on the diagonal. */
typedef struct kelvo_curve_data_d9i1_k16u_c16u {
    kelvo_curve_data_header CurveDataHeader_D9I1K16uC16u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_real32 ControlScale;
    kelvo_real32 ControlOffset;
    kelvo_int32 KnotControlCount;
    kelvo_uint16 *KnotsControls;
} kelvo_curve_data_d9i1_k16u_c16u;

typedef struct kelvo_curve_data_d9i1_k8u_c8u {
    kelvo_curve_data_header CurveDataHeader_D9I1K8uC8u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_real32 ControlScale;
    kelvo_real32 ControlOffset;
    kelvo_int32 KnotControlCount;
    kelvo_uint8 *KnotsControls;
} kelvo_curve_data_d9i1_k8u_c8u;

/* 16 to 18: one stored value per knot, a point on a line in 3-D. */
typedef struct kelvo_curve_data_d3i1_k32f_c32f {
    kelvo_curve_data_header CurveDataHeader_D3I1K32fC32f;
    kelvo_uint16 Padding;
    kelvo_real32 ControlScales[3];
    kelvo_real32 ControlOffsets[3];
    kelvo_int32 KnotControlCount;
    kelvo_real32 *KnotsControls;
} kelvo_curve_data_d3i1_k32f_c32f;

typedef struct kelvo_curve_data_d3i1_k16u_c16u {
    kelvo_curve_data_header CurveDataHeader_D3I1K16uC16u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_real32 ControlScales[3];
    kelvo_real32 ControlOffsets[3];
    kelvo_int32 KnotControlCount;
    kelvo_uint16 *KnotsControls;
} kelvo_curve_data_d3i1_k16u_c16u;

typedef struct kelvo_curve_data_d3i1_k8u_c8u {
    kelvo_curve_data_header CurveDataHeader_D3I1K8uC8u;
    kelvo_uint16 OneOverKnotScaleTrunc;
    kelvo_real32 ControlScales[3];
    kelvo_real32 ControlOffsets[3];
    kelvo_int32 KnotControlCount;
    kelvo_uint8 *KnotsControls;
} kelvo_curve_data_d3i1_k8u_c8u;

#pragma pack(pop)

/* Builds a curve of a chosen format: Begin, optionally Push*, then one End
   or the Abort. */
typedef struct kelvo_curve_builder kelvo_curve_builder;

/* ---- the formats' definitions, in format order, and the identity vectors -- */

KELVO_API kelvo_data_type_definition const *const KelvoCurveDataHeaderType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataDaKeyframes32fType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataDaK32fC32fType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataDaIdentityType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataDaConstant32fType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD3Constant32fType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD4Constant32fType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataDaK16uC16uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataDaK8uC8uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD4nK16uC15uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD4nK8uC7uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD3K16uC16uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD3K8uC8uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD9I1K16uC16uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD9I3K16uC16uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD9I1K8uC8uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD9I3K8uC8uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD3I1K32fC32fType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD3I1K16uC16uType;
KELVO_API kelvo_data_type_definition const *const KelvoCurveDataD3I1K8uC8uType;

KELVO_API kelvo_real32 const *const KelvoCurveIdentityPosition;    /* 0 0 0 */
KELVO_API kelvo_real32 const *const KelvoCurveIdentityOrientation; /* 0 0 0 1 */
KELVO_API kelvo_real32 const *const KelvoCurveIdentityScaleShear;  /* 3x3 identity */
KELVO_API kelvo_real32 const *const KelvoCurveIdentityScale;       /* 1 1 1 */
KELVO_API kelvo_real32 const *const KelvoCurveIdentityShear;       /* 0 0 0 */
KELVO_API kelvo_real32 const *const KelvoCurveIdentityNormal;      /* 0 0 1 */

/* ---- queries ---------------------------------------------------------------- */

/* Sets the format byte from the variant's definition (255 when none matches). */
KELVO_API void KelvoCurveInitializeFormat(kelvo_curve2 *Curve);
KELVO_API kelvo_bool8 KelvoCurveFormatIsInitializedCorrectly(kelvo_curve2 const *Curve);
KELVO_API kelvo_bool8 KelvoCurveIsKeyframed(kelvo_curve2 const *Curve);
KELVO_API kelvo_bool8 KelvoCurveIsIdentity(kelvo_curve2 const *Curve);
KELVO_API kelvo_bool8 KelvoCurveIsConstantOrIdentity(kelvo_curve2 const *Curve);
KELVO_API kelvo_bool8 KelvoCurveIsConstantNotIdentity(kelvo_curve2 const *Curve);
KELVO_API kelvo_int32 KelvoCurveGetKnotCount(kelvo_curve2 const *Curve);
/* 0 for a curve without knots (identity and empty curves). */
KELVO_API kelvo_int32 KelvoCurveGetDimension(kelvo_curve2 const *Curve);
KELVO_API kelvo_int32 KelvoCurveGetDegree(kelvo_curve2 const *Curve);
KELVO_API kelvo_data_type_definition const *
KelvoCurveGetDataTypeDefinition(kelvo_curve2 const *Curve);
/* The first knot strictly after T, or the last knot when none is. */
KELVO_API kelvo_int32 KelvoCurveFindKnot(kelvo_curve2 const *Curve, kelvo_real32 T);
KELVO_API kelvo_int32 KelvoCurveFindCloseKnot(kelvo_curve2 const *Curve, kelvo_real32 T,
                                              kelvo_int32 StartIndex);
/* Decodes Count knots from KnotIndex: their times and/or their controls
   (Count x dimension reals). Indices must lie in [0, knot count). */
KELVO_API void KelvoCurveExtractKnotValues(kelvo_curve2 const *Curve, kelvo_int32 KnotIndex,
                                           kelvo_int32 KnotCount, kelvo_real32 *KnotResults,
                                           kelvo_real32 *ControlResults,
                                           kelvo_real32 const *IdentityVector);
KELVO_API kelvo_real32 KelvoCurveExtractKnotValue(kelvo_curve2 const *Curve, kelvo_int32 KnotIndex,
                                                  kelvo_real32 *ControlResult,
                                                  kelvo_real32 const *IdentityVector);
/* Re-encodes the whole curve in its own format; counts must match its own. */
KELVO_API void KelvoCurveSetAllKnotValues(kelvo_curve2 *Curve, kelvo_int32 KnotCount,
                                          kelvo_int32 Dimension, kelvo_real32 const *KnotSrc,
                                          kelvo_real32 const *ControlSrc);
/* Each output component j becomes input component Swizzles[j] times
   Scales[j] plus Offsets[j], in place. */
KELVO_API void KelvoCurveScaleOffsetSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension,
                                            kelvo_real32 const *Scales, kelvo_real32 const *Offsets,
                                            kelvo_int32 const *Swizzles);
KELVO_API kelvo_int32 KelvoCurveGetSize(kelvo_curve2 const *Curve);

/* ---- the plain float format ----------------------------------------------- */

KELVO_API kelvo_bool8 KelvoCurveIsTypeDaK32fC32f(kelvo_curve2 const *Curve);
KELVO_API kelvo_curve_data_da_k32f_c32f *
KelvoCurveGetContentsOfDaK32fC32f(kelvo_curve2 const *Curve);
/* Points both caller records at each other and at the arrays (not copied). */
KELVO_API kelvo_curve2 *
KelvoCurveMakeStaticDaK32fC32f(kelvo_curve2 *Curve, kelvo_curve_data_da_k32f_c32f *CurveData,
                               kelvo_int32 KnotCount, kelvo_int32 Degree, kelvo_int32 Dimension,
                               kelvo_real32 const *Knots, kelvo_real32 const *Controls);
KELVO_API kelvo_int32 KelvoGetResultingDaK32fC32fCurveSize(kelvo_curve2 const *Curve);
KELVO_API kelvo_curve2 *KelvoCurveConvertToDaK32fC32fInPlace(kelvo_curve2 const *Curve,
                                                             void *Memory,
                                                             kelvo_real32 const *IdentityVector);
KELVO_API kelvo_curve2 *KelvoCurveConvertToDaK32fC32f(kelvo_curve2 const *Curve,
                                                      kelvo_real32 const *IdentityVector);

/* ---- evaluation ------------------------------------------------------------- */

/* Evaluates at T; times outside the knots extrapolate, or wrap with a
   looping curve of the given duration. Dimension must be the curve's. */
KELVO_API void KelvoEvaluateCurveAtT(kelvo_int32 Dimension, kelvo_bool8 Normalize,
                                     kelvo_bool8 BackwardsLoop, kelvo_curve2 const *Curve,
                                     kelvo_bool8 ForwardsLoop, kelvo_real32 CurveDuration,
                                     kelvo_real32 T, kelvo_real32 *Result,
                                     kelvo_real32 const *IdentityVector);
KELVO_API void KelvoEvaluateCurveAtKnotIndex(kelvo_int32 Dimension, kelvo_bool8 Normalize,
                                             kelvo_bool8 BackwardsLoop, kelvo_curve2 const *Curve,
                                             kelvo_bool8 ForwardsLoop, kelvo_real32 CurveDuration,
                                             kelvo_int32 KnotIndex, kelvo_real32 T,
                                             kelvo_real32 *Result,
                                             kelvo_real32 const *IdentityVector);

/* One window of a B-spline: Knots points at the window's knot k (knots
   k-degree .. k+degree-1 are read), Controls at its control k (controls
   k-degree .. k). The n forms take one Newton step towards unit length. */
typedef void kelvo_bspline_evaluator(kelvo_real32 const *Knots, kelvo_real32 const *Controls,
                                     kelvo_real32 T, kelvo_real32 *Result);

KELVO_API void KelvoSampleBSpline(kelvo_int32 Degree, kelvo_int32 Dimension, kelvo_bool8 Normalize,
                                  kelvo_real32 const *Knots, kelvo_real32 const *Controls,
                                  kelvo_real32 T, kelvo_real32 *Result);
KELVO_API void KelvoUncheckedSampleBSpline(kelvo_int32 Degree, kelvo_int32 Dimension,
                                           kelvo_real32 const *Knots, kelvo_real32 const *Controls,
                                           kelvo_real32 T, kelvo_real32 *Result);
KELVO_API void KelvoUncheckedSampleBSplineN(kelvo_int32 Degree, kelvo_int32 Dimension,
                                            kelvo_real32 const *Knots, kelvo_real32 const *Controls,
                                            kelvo_real32 T, kelvo_real32 *Result);

KELVO_API kelvo_bspline_evaluator KelvoSampleBSpline0x1, KelvoSampleBSpline0x2,
    KelvoSampleBSpline0x3, KelvoSampleBSpline0x4, KelvoSampleBSpline0x9, KelvoSampleBSpline1x1,
    KelvoSampleBSpline1x2, KelvoSampleBSpline1x3, KelvoSampleBSpline1x3n, KelvoSampleBSpline1x4,
    KelvoSampleBSpline1x4n, KelvoSampleBSpline1x9, KelvoSampleBSpline2x1, KelvoSampleBSpline2x2,
    KelvoSampleBSpline2x3, KelvoSampleBSpline2x3n, KelvoSampleBSpline2x4, KelvoSampleBSpline2x4n,
    KelvoSampleBSpline2x9, KelvoSampleBSpline3x1, KelvoSampleBSpline3x2, KelvoSampleBSpline3x3,
    KelvoSampleBSpline3x3n, KelvoSampleBSpline3x4, KelvoSampleBSpline3x4n, KelvoSampleBSpline3x9;

/* ---- the builder -------------------------------------------------------------- */

KELVO_API kelvo_curve_builder *KelvoBeginCurve(kelvo_data_type_definition const *CurveType,
                                               kelvo_int32 Degree, kelvo_int32 Dimension,
                                               kelvo_int32 KnotCount);
KELVO_API kelvo_curve_builder *KelvoBeginCurveCopy(kelvo_curve2 const *SourceCurve);
KELVO_API void KelvoPushCurveKnotArray(kelvo_curve_builder *Builder, kelvo_real32 const *KnotArray);
KELVO_API void KelvoPushCurveControlArray(kelvo_curve_builder *Builder,
                                          kelvo_real32 const *ControlArray);
KELVO_API void KelvoPushCurveSampleArrays(kelvo_curve_builder *Builder, kelvo_int32 SampleCount,
                                          kelvo_int32 Dimension,
                                          kelvo_real32 const *TransformedSamples,
                                          kelvo_real32 const *OriginalSamples);
KELVO_API kelvo_int32 KelvoGetResultingCurveSize(kelvo_curve_builder const *Builder);
KELVO_API kelvo_int32 KelvoGetResultingCurveDataSize(kelvo_curve_builder const *Builder);
KELVO_API kelvo_curve2 *KelvoEndCurveInPlace(kelvo_curve_builder *Builder, void *Memory);
KELVO_API void KelvoEndCurveDataInPlace(kelvo_curve_builder *Builder, kelvo_curve2 *Curve,
                                        void *Memory);
KELVO_API kelvo_curve2 *KelvoEndCurve(kelvo_curve_builder *Builder);
KELVO_API void KelvoAbortCurveBuilder(kelvo_curve_builder *Builder);
KELVO_API void KelvoFreeCurve(kelvo_curve2 *Curve);

#endif
