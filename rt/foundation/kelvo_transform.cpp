// The decomposed transform record (position, rotation quaternion, 3x3
// scale/shear and the flags saying which differ from identity): building,
// composing, inverting, blending, applying it and turning it into composite
// matrices. They do no more work than the record's rules require and never
// allocate or log, so that inner loops over many transforms can call them.
#include "foundation/kelvo_math.h"

#include <cmath>
#include <cstddef>
#include <cstring>

using namespace kelvo;

static_assert(sizeof(kelvo_transform) == 68, "kelvo_transform is stored in files as 68 bytes");
static_assert(offsetof(kelvo_transform, Position) == 4);
static_assert(offsetof(kelvo_transform, Orientation) == 16);
static_assert(offsetof(kelvo_transform, ScaleShear) == 32);

static void Copy(kelvo_real32 *Destination, kelvo_real32 const *Source, int Count) {
    for (int Index = 0; Index < Count; ++Index) {
        Destination[Index] = Source[Index];
    }
}

// Sum of |Value - Reference| over Count entries.
static kelvo_real32 DistanceL1(kelvo_real32 const *Value, kelvo_real32 const *Reference,
                               int Count) {
    kelvo_real32 Sum = 0;
    for (int Index = 0; Index < Count; ++Index) {
        Sum += std::fabs(Value[Index] - Reference[Index]);
    }
    return Sum;
}

// ---- building ------------------------------------------------------------------

KELVO_API void KelvoSetTransform(kelvo_transform *Result, kelvo_real32 const Position[3],
                                 kelvo_real32 const Orientation[4],
                                 kelvo_real32 const ScaleShear[9]) {
    Result->Flags = KelvoHasPosition | KelvoHasOrientation | KelvoHasScaleShear;
    Copy(Result->Position, Position, 3);
    Copy(Result->Orientation, Orientation, 4);
    Copy(Result->ScaleShear, ScaleShear, 9);
}

KELVO_API void KelvoSetTransformWithIdentityCheck(kelvo_transform *Result,
                                                  kelvo_real32 const Position[3],
                                                  kelvo_real32 const Orientation[4],
                                                  kelvo_real32 const ScaleShear[9]) {
    Copy(Result->Position, Position, 3);
    Copy(Result->Orientation, Orientation, 4);
    Copy(Result->ScaleShear, ScaleShear, 9);
    // Written as "not below" so that a NaN component counts as different.
    kelvo_uint32 Flags = 0;
    if (!(DistanceL1(Position, IdentityTransform.Position, 3) < 0.001f)) {
        Flags |= KelvoHasPosition;
    }
    if (!(DistanceL1(Orientation, IdentityTransform.Orientation, 4) < 0.0001f)) {
        Flags |= KelvoHasOrientation;
    }
    if (!(DistanceL1(ScaleShear, IdentityTransform.ScaleShear, 9) < 0.001f)) {
        Flags |= KelvoHasScaleShear;
    }
    Result->Flags = Flags;
}

KELVO_API void KelvoMakeIdentity(kelvo_transform *Result) {
    *Result = IdentityTransform;
}

KELVO_API void KelvoZeroTransform(kelvo_transform *Result) {
    std::memset(Result, 0, sizeof(*Result));
}

KELVO_API kelvo_real32 KelvoGetTransformDeterminant(kelvo_transform const *Transform) {
    return MatrixDeterminant3x3(Transform->ScaleShear);
}

// ---- applying ------------------------------------------------------------------

KELVO_API void KelvoTransformVectorInPlace(kelvo_real32 Vector[3],
                                           kelvo_transform const *Transform) {
    kelvo_real32 Rotation[9];
    MatrixFromQuaternion(Rotation, Transform->Orientation);
    VectorTransform3x3(Vector, Transform->ScaleShear, Vector);
    VectorTransform3x3(Vector, Rotation, Vector);
}

KELVO_API void KelvoTransformVectorInPlaceTransposed(kelvo_real32 Vector[3],
                                                     kelvo_transform const *Transform) {
    kelvo_real32 Rotation[9];
    MatrixFromQuaternion(Rotation, Transform->Orientation);
    TransposeVectorTransform3x3(Vector, Rotation, Vector);
    TransposeVectorTransform3x3(Vector, Transform->ScaleShear, Vector);
}

KELVO_API void KelvoTransformVector(kelvo_real32 Destination[3], kelvo_transform const *Transform,
                                    kelvo_real32 const Source[3]) {
    Copy(Destination, Source, 3);
    KelvoTransformVectorInPlace(Destination, Transform);
}

KELVO_API void KelvoTransformPointInPlace(kelvo_real32 Point[3], kelvo_transform const *Transform) {
    KelvoTransformVectorInPlace(Point, Transform);
    Point[0] += Transform->Position[0];
    Point[1] += Transform->Position[1];
    Point[2] += Transform->Position[2];
}

KELVO_API void KelvoTransformPoint(kelvo_real32 Destination[3], kelvo_transform const *Transform,
                                   kelvo_real32 const Source[3]) {
    Copy(Destination, Source, 3);
    KelvoTransformPointInPlace(Destination, Transform);
}

// ---- composing -----------------------------------------------------------------

KELVO_API void KelvoMultiply(kelvo_transform *Result, kelvo_transform const *A,
                             kelvo_transform const *B) {
    // Built in a local record so that Result may be A or B.
    kelvo_transform Product;
    kelvo_real32 RotationA[9], RotationB[9];
    MatrixFromQuaternion(RotationA, A->Orientation);
    MatrixFromQuaternion(RotationB, B->Orientation);

    VectorTransform3x3(Product.Position, A->ScaleShear, B->Position);
    VectorTransform3x3(Product.Position, RotationA, Product.Position);
    Product.Position[0] += A->Position[0];
    Product.Position[1] += A->Position[1];
    Product.Position[2] += A->Position[2];

    QuaternionMultiply(Product.Orientation, A->Orientation, B->Orientation);

    // R_B^T.S_A.R_B.S_B, so that R.S of the product is (R_A.S_A).(R_B.S_B):
    // A's stretch is carried into B's rotated frame.
    kelvo_real32 *S = Product.ScaleShear;
    TransposeMatrixMultiply3x3(S, RotationB, A->ScaleShear);
    MatrixMultiply3x3(S, S, RotationB);
    MatrixMultiply3x3(S, S, B->ScaleShear);

    Product.Flags = A->Flags | B->Flags;
    *Result = Product;
}

KELVO_API void KelvoPreMultiplyBy(kelvo_transform *Transform,
                                  kelvo_transform const *PreMultiplier) {
    KelvoMultiply(Transform, PreMultiplier, Transform);
}

KELVO_API void KelvoPostMultiplyBy(kelvo_transform *Transform,
                                   kelvo_transform const *PostMultiplier) {
    KelvoMultiply(Transform, Transform, PostMultiplier);
}

KELVO_API void KelvoLinearBlendTransform(kelvo_transform *Result, kelvo_transform const *A,
                                         kelvo_real32 t, kelvo_transform const *B) {
    kelvo_uint32 const Flags = A->Flags | B->Flags;
    kelvo_real32 const u = 1 - t;
    // Components whose flag is clear in both stay identity whatever the
    // records hold. Built locally: Result may be A or B.
    kelvo_transform Blend = IdentityTransform;
    Blend.Flags = Flags;
    if (Flags & KelvoHasPosition) {
        for (int Index = 0; Index < 3; ++Index) {
            Blend.Position[Index] = u * A->Position[Index] + t * B->Position[Index];
        }
    }
    if (Flags & KelvoHasOrientation) {
        for (int Index = 0; Index < 4; ++Index) {
            Blend.Orientation[Index] = u * A->Orientation[Index] + t * B->Orientation[Index];
        }
        if (!(NormalizeQuaternion(Blend.Orientation) > 0)) {
            Copy(Blend.Orientation, IdentityTransform.Orientation, 4);
        }
    }
    if (Flags & KelvoHasScaleShear) {
        for (int Index = 0; Index < 9; ++Index) {
            Blend.ScaleShear[Index] = u * A->ScaleShear[Index] + t * B->ScaleShear[Index];
        }
    }
    *Result = Blend;
}

KELVO_API void KelvoBuildInverse(kelvo_transform *Result, kelvo_transform const *Source) {
    kelvo_real32 InverseScaleShear[9];
    if (!MatrixInvert3x3(InverseScaleShear, Source->ScaleShear)) {
        // A flattened transform has no inverse; identity is the one value
        // that cannot blow up whatever consumes it.
        *Result = IdentityTransform;
        return;
    }
    kelvo_real32 const Orientation[4] = {-Source->Orientation[0], -Source->Orientation[1],
                                         -Source->Orientation[2], Source->Orientation[3]};
    kelvo_real32 Rotation[9], InverseRotation[9];
    MatrixFromQuaternion(Rotation, Source->Orientation);
    MatrixFromQuaternion(InverseRotation, Orientation);

    // S' = R.S^-1.R^T
    kelvo_real32 ScaleShear[9];
    MatrixMultiply3x3(ScaleShear, Rotation, InverseScaleShear);
    MatrixMultiply3x3(ScaleShear, ScaleShear, InverseRotation);

    // P' = R'.(S'.(-P))
    kelvo_real32 Position[3] = {-Source->Position[0], -Source->Position[1], -Source->Position[2]};
    VectorTransform3x3(Position, ScaleShear, Position);
    VectorTransform3x3(Position, InverseRotation, Position);

    KelvoSetTransformWithIdentityCheck(Result, Position, Orientation, ScaleShear);
}

// ---- change of basis -------------------------------------------------------------

KELVO_API void KelvoSimilarityTransform(kelvo_transform *Transform, kelvo_real32 const Affine[3],
                                        kelvo_real32 const Linear[9],
                                        kelvo_real32 const InverseLinear[9]) {
    KelvoInPlaceSimilarityTransform(Affine, Linear, InverseLinear, Transform->Position,
                                    Transform->Orientation, Transform->ScaleShear);
}

// ---- composite matrices ------------------------------------------------------------

// L = R.S, or R alone when the scale/shear may be skipped.
static void LinearPart(kelvo_real32 *L, kelvo_transform const *Transform, bool WithScaleShear) {
    MatrixFromQuaternion(L, Transform->Orientation);
    if (WithScaleShear) {
        MatrixMultiply3x3(L, L, Transform->ScaleShear);
    }
}

KELVO_API void KelvoBuildCompositeTransform(kelvo_transform const *Transform, kelvo_int32 Stride,
                                            kelvo_real32 *Result) {
    kelvo_real32 L[9];
    LinearPart(L, Transform, true);
    for (int Column = 0; Column < 3; ++Column) {
        kelvo_real32 *Group = Result + Column * Stride;
        Group[0] = L[0 + Column];
        Group[1] = L[3 + Column];
        Group[2] = L[6 + Column];
    }
}

// Rows of Width reals: the columns of L (padded with 0 when Width is 4), then
// the position (padded with 1).
static void BuildRowComposite(kelvo_transform const *Transform, int Width, kelvo_real32 *Result) {
    kelvo_real32 L[9];
    LinearPart(L, Transform, (Transform->Flags & KelvoHasScaleShear) != 0);
    for (int Row = 0; Row < 3; ++Row) {
        kelvo_real32 *Out = Result + Row * Width;
        Out[0] = L[0 + Row];
        Out[1] = L[3 + Row];
        Out[2] = L[6 + Row];
        if (Width == 4) {
            Out[3] = 0;
        }
    }
    kelvo_real32 *Out = Result + 3 * Width;
    Copy(Out, Transform->Position, 3);
    if (Width == 4) {
        Out[3] = 1;
    }
}

KELVO_API void KelvoBuildCompositeTransform4x4(kelvo_transform const *Transform,
                                               kelvo_real32 Result[16]) {
    BuildRowComposite(Transform, 4, Result);
}

KELVO_API void KelvoBuildCompositeTransform4x3(kelvo_transform const *Transform,
                                               kelvo_real32 Result[12]) {
    BuildRowComposite(Transform, 3, Result);
}
