/* kelvo2: the decomposed transform record, its operations, and the matrix,
   quaternion and ray routines that pose building and deformation rest on.

   Conventions, used throughout the library:
   - 3x3 matrices are 9 reals, row-major: element (r, c) at 3r + c. Vectors
     are columns, so a 3x3 M maps v to M.v.
   - A transform maps a point p to R.(S.p) + Position, where R is the rotation
     of Orientation (quaternion x, y, z, w) and S is ScaleShear; its linear
     part is L = R.S.
   - Composite matrices are 16 reals laid out for row vectors: the rows are the
     columns of L and the last row is the position.
   - Quaternion products are Hamilton products.

   Degenerate input, where the record gives no answer of its own:
   - KelvoBuildInverse of a transform whose ScaleShear has a determinant of
     exactly 0 writes the identity transform (flags 0).
   - KelvoPolarDecompose of a source, or of an iterate, that is singular or no
     longer finite gives up: Q is the identity, S is the source (so Q.S still
     equals the source) and the result is false.
   - KelvoLinearBlendTransform whose blended quaternion has length 0 (q and -q
     at t = 0.5) writes orientation (0, 0, 0, 1).
   - A quaternion of length 0 is left as it is by the similarity transforms.
   None of these routines allocates or logs; all are pure functions of their
   arguments. */
#ifndef KELVO2_TRANSFORM_H
#define KELVO2_TRANSFORM_H

#include "kelvo2_types.h"

typedef enum kelvo_transform_flags {
    KelvoHasPosition = 0x1,
    KelvoHasOrientation = 0x2,
    KelvoHasScaleShear = 0x4,
    KelvoTransformFlagsForceInt = 0x7fffffff
} kelvo_transform_flags;

/* 68 bytes in every build. The flags say which components differ from
   identity; a component whose flag is clear still holds its identity value. */
typedef struct kelvo_transform {
    kelvo_uint32 Flags;
    kelvo_real32 Position[3];
    kelvo_real32 Orientation[4];
    kelvo_real32 ScaleShear[9];
} kelvo_transform;

/* Building transforms. */
KELVO_API void KelvoSetTransform(kelvo_transform *Result, kelvo_real32 const Position[3],
                                 kelvo_real32 const Orientation[4],
                                 kelvo_real32 const ScaleShear[9]);
KELVO_API void KelvoSetTransformWithIdentityCheck(kelvo_transform *Result,
                                                  kelvo_real32 const Position[3],
                                                  kelvo_real32 const Orientation[4],
                                                  kelvo_real32 const ScaleShear[9]);
KELVO_API void KelvoMakeIdentity(kelvo_transform *Result);
KELVO_API void KelvoZeroTransform(kelvo_transform *Result);

/* Determinant of ScaleShear alone. */
KELVO_API kelvo_real32 KelvoGetTransformDeterminant(kelvo_transform const *Transform);

/* Applying transforms to directions (no position) and points. */
KELVO_API void KelvoTransformVectorInPlace(kelvo_real32 Vector[3],
                                           kelvo_transform const *Transform);
/* v <- S^T.(R^T.v) */
KELVO_API void KelvoTransformVectorInPlaceTransposed(kelvo_real32 Vector[3],
                                                     kelvo_transform const *Transform);
KELVO_API void KelvoTransformVector(kelvo_real32 Destination[3], kelvo_transform const *Transform,
                                    kelvo_real32 const Source[3]);
KELVO_API void KelvoTransformPointInPlace(kelvo_real32 Point[3], kelvo_transform const *Transform);
KELVO_API void KelvoTransformPoint(kelvo_real32 Destination[3], kelvo_transform const *Transform,
                                   kelvo_real32 const Source[3]);

/* Composition: Result = A o B applies B first, then A. Result may be A or B. */
KELVO_API void KelvoMultiply(kelvo_transform *Result, kelvo_transform const *A,
                             kelvo_transform const *B);
/* Transform <- PreMultiplier o Transform */
KELVO_API void KelvoPreMultiplyBy(kelvo_transform *Transform, kelvo_transform const *PreMultiplier);
/* Transform <- Transform o PostMultiplier */
KELVO_API void KelvoPostMultiplyBy(kelvo_transform *Transform,
                                   kelvo_transform const *PostMultiplier);

/* Component-wise blend from A (t = 0) to B (t = 1); components whose flag is
   clear in both come out as identity. No quaternion hemisphere correction. */
KELVO_API void KelvoLinearBlendTransform(kelvo_transform *Result, kelvo_transform const *A,
                                         kelvo_real32 t, kelvo_transform const *B);
/* Flags of the result are recomputed from its values. */
KELVO_API void KelvoBuildInverse(kelvo_transform *Result, kelvo_transform const *Source);

/* Change of basis by x -> Linear.x + Affine (InverseLinear is Linear's
   inverse). Flags are left unchanged. */
KELVO_API void KelvoSimilarityTransform(kelvo_transform *Transform, kelvo_real32 const Affine[3],
                                        kelvo_real32 const Linear[9],
                                        kelvo_real32 const InverseLinear[9]);

/* Writes L = R.S only: column j of L at Result + j * Stride (Stride in reals). */
KELVO_API void KelvoBuildCompositeTransform(kelvo_transform const *Transform, kelvo_int32 Stride,
                                            kelvo_real32 *Result);
/* Row-vector composites; L = R when the HasScaleShear flag is clear. The 4x3
   form is the 4x4 without its fourth column (12 reals). */
KELVO_API void KelvoBuildCompositeTransform4x4(kelvo_transform const *Transform,
                                               kelvo_real32 Result[16]);
KELVO_API void KelvoBuildCompositeTransform4x3(kelvo_transform const *Transform,
                                               kelvo_real32 Result[12]);

/* Matrix products of row-vector composites. Result may be A or B. */
KELVO_API void KelvoColumnMatrixMultiply4x4(kelvo_real32 Result[16], kelvo_real32 const A[16],
                                            kelvo_real32 const B[16]);
/* Affine product reading only the first three columns of A and B; the fourth
   column of Result is written as (0, 0, 0, 1). */
KELVO_API void KelvoColumnMatrixMultiply4x3(kelvo_real32 Result[16], kelvo_real32 const A[16],
                                            kelvo_real32 const B[16]);
/* The same product written transposed: three rows of four reals, row j ending
   with the j-th position component. */
KELVO_API void KelvoColumnMatrixMultiply4x3Transpose(kelvo_real32 Result[12],
                                                     kelvo_real32 const A[16],
                                                     kelvo_real32 const B[16]);

/* Quaternions and rotation matrices. The quaternion is not normalized first. */
KELVO_API void KelvoMatrixEqualsQuaternion3x3(kelvo_real32 Result[9],
                                              kelvo_real32 const Quaternion[4]);
KELVO_API void KelvoQuaternionEqualsMatrix3x3(kelvo_real32 Result[4], kelvo_real32 const Matrix[9]);

/* Source = Q.S with Q a rotation (determinant +1) and S a stretch. True when
   the iteration converged within Tolerance (sum of absolute changes). */
KELVO_API kelvo_bool32 KelvoPolarDecompose(kelvo_real32 const Source[9], kelvo_real32 Tolerance,
                                           kelvo_real32 Q[9], kelvo_real32 S[9]);
/* Negates each quaternion that lies in the opposite hemisphere from its
   (already corrected) predecessor; the first is never changed. */
KELVO_API void KelvoEnsureQuaternionContinuity(kelvo_int32 QuaternionCount,
                                               kelvo_real32 *Quaternions);

/* The similarity transform by components. */
KELVO_API void KelvoInPlaceSimilarityTransformPosition(kelvo_real32 const Affine[3],
                                                       kelvo_real32 const Linear[9],
                                                       kelvo_real32 Position[3]);
/* Keeps the quaternion's length. */
KELVO_API void KelvoInPlaceSimilarityTransformOrientation(kelvo_real32 const Linear[9],
                                                          kelvo_real32 const InverseLinear[9],
                                                          kelvo_real32 Orientation[4]);
KELVO_API void KelvoInPlaceSimilarityTransformScaleShear(kelvo_real32 const Linear[9],
                                                         kelvo_real32 const InverseLinear[9],
                                                         kelvo_real32 ScaleShear[9]);
KELVO_API void
KelvoInPlaceSimilarityTransform(kelvo_real32 const Affine[3], kelvo_real32 const Linear[9],
                                kelvo_real32 const InverseLinear[9], kelvo_real32 Position[3],
                                kelvo_real32 Orientation[4], kelvo_real32 ScaleShear[9]);
/* On a row-vector composite: its upper 3x3 is taken as a transposed
   scale/shear and its last row as a position. The fourth column is kept. */
KELVO_API void KelvoInPlaceSimilarityTransform4x3(kelvo_real32 const Affine[3],
                                                  kelvo_real32 const Linear[9],
                                                  kelvo_real32 const InverseLinear[9],
                                                  kelvo_real32 Matrix[16]);

/* Ray tests. The ray is Origin + t.Direction with Direction of unit length.
   Results of the "At" forms: 0 no hit, 1 hit at t >= 0, -1 hit behind. */

/* Plane N.x + D = 0; 0 when the ray is parallel. */
KELVO_API kelvo_int32 KelvoRayIntersectsPlaneAt(kelvo_real32 const PlaneNormal[3],
                                                kelvo_real32 PlaneD,
                                                kelvo_real32 const RayOrigin[3],
                                                kelvo_real32 const RayDirection[3],
                                                kelvo_real32 *T);
KELVO_API kelvo_bool32 KelvoRayIntersectsSphere(kelvo_real32 const Center[3], kelvo_real32 Radius,
                                                kelvo_real32 const RayOrigin[3],
                                                kelvo_real32 const RayDirection[3]);
/* InT and OutT are written whenever the line meets the sphere. */
KELVO_API kelvo_int32 KelvoRayIntersectsSphereAt(kelvo_real32 const Center[3], kelvo_real32 Radius,
                                                 kelvo_real32 const RayOrigin[3],
                                                 kelvo_real32 const RayDirection[3],
                                                 kelvo_real32 *InT, kelvo_real32 *OutT);

/* Where a ray enters and leaves a box, with the outward unit normals of the
   faces it crosses there. */
typedef struct kelvo_box_intersection {
    kelvo_real32 InT;
    kelvo_real32 InNormal[3];
    kelvo_real32 OutT;
    kelvo_real32 OutNormal[3];
} kelvo_box_intersection;

/* The box spans Min to Max along the axes given by the first three rows of
   the composite Box, measured from its last row. KelvoRayIntersectsBox takes
   the axes as unit length and orthogonal; the At form accepts any invertible
   axes (false when they are singular) and fills Result on a hit. A hit is an
   entry no later than the exit with either of them at t >= 0. */
KELVO_API kelvo_bool32 KelvoRayIntersectsBox(kelvo_real32 const Box[16], kelvo_real32 const Min[3],
                                             kelvo_real32 const Max[3],
                                             kelvo_real32 const RayOrigin[3],
                                             kelvo_real32 const RayDirection[3]);
KELVO_API kelvo_bool32 KelvoRayIntersectsBoxAt(kelvo_real32 const Box[16],
                                               kelvo_real32 const Min[3], kelvo_real32 const Max[3],
                                               kelvo_real32 const RayOrigin[3],
                                               kelvo_real32 const RayDirection[3],
                                               kelvo_box_intersection *Result);

/* Hit point = Vertex0 + U.EdgeU + V.EdgeV with EdgeU = Vertex1 - Vertex0 and
   EdgeV = Vertex2 - Vertex0. Backfacing when the ray runs along the normal
   EdgeU x EdgeV (the determinant of the edges and direction is below 0). */
typedef struct kelvo_triangle_intersection {
    kelvo_real32 T;
    kelvo_real32 U;
    kelvo_real32 V;
    kelvo_real32 EdgeU[3];
    kelvo_real32 EdgeV[3];
    kelvo_bool32 Backfacing;
} kelvo_triangle_intersection;

/* Interior hits only (edges and corners miss); Result is filled on a hit. */
KELVO_API kelvo_int32 KelvoRayIntersectsTriangleAt(kelvo_real32 const Vertex0[3],
                                                   kelvo_real32 const Vertex1[3],
                                                   kelvo_real32 const Vertex2[3],
                                                   kelvo_real32 const RayOrigin[3],
                                                   kelvo_real32 const RayDirection[3],
                                                   kelvo_triangle_intersection *Result);

#endif
