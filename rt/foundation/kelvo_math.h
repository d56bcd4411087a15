// The library's small linear algebra: 3-vectors, 3x3 matrices (9 reals,
// row-major, acting on column vectors) and quaternions (x, y, z, w). Every
// module uses these rather than writing its own; the exported forms in
// kelvo2_transform.h are built on them. All are pure and allocation-free.
#ifndef KELVO_MATH_H
#define KELVO_MATH_H

#include "kelvo2/kelvo2_transform.h"

namespace kelvo {

inline constexpr kelvo_transform IdentityTransform = {
    0, {0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}};
inline constexpr kelvo_real32 IdentityMatrix3x3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

inline kelvo_real32 Dot3(kelvo_real32 const *A, kelvo_real32 const *B) {
    return A[0] * B[0] + A[1] * B[1] + A[2] * B[2];
}

inline kelvo_real32 Dot4(kelvo_real32 const *A, kelvo_real32 const *B) {
    return A[0] * B[0] + A[1] * B[1] + A[2] * B[2] + A[3] * B[3];
}

// Result may be A or B.
inline void Cross3(kelvo_real32 *Result, kelvo_real32 const *A, kelvo_real32 const *B) {
    kelvo_real32 const X = A[1] * B[2] - A[2] * B[1];
    kelvo_real32 const Y = A[2] * B[0] - A[0] * B[2];
    kelvo_real32 const Z = A[0] * B[1] - A[1] * B[0];
    Result[0] = X;
    Result[1] = Y;
    Result[2] = Z;
}

kelvo_real32 Length3(kelvo_real32 const *Vector);

// Divide by the length when it is above 0 (a zero vector stays zero); both
// return the length the vector had.
kelvo_real32 Normalize3(kelvo_real32 *Vector);
kelvo_real32 NormalizeQuaternion(kelvo_real32 *Quaternion);

// For sums of unit quaternions that stay nearly unit, two Newton steps of
// 1/sqrt from 1 cost less than a square root. Far from unit length it
// normalizes exactly.
void FastRenormalizeQuaternion(kelvo_real32 *Quaternion);

// Result = M.v (rows 3 apart) or M^T.v (rows 1 apart). Result may be v.
template <int RowStep, int ColumnStep>
inline void Transform3x3(kelvo_real32 *Result, kelvo_real32 const *M, kelvo_real32 const *V) {
    kelvo_real32 Out[3];
    for (int Row = 0; Row < 3; ++Row) {
        kelvo_real32 const *Line = M + Row * RowStep;
        Out[Row] = Line[0] * V[0] + Line[ColumnStep] * V[1] + Line[2 * ColumnStep] * V[2];
    }
    Result[0] = Out[0];
    Result[1] = Out[1];
    Result[2] = Out[2];
}
inline void VectorTransform3x3(kelvo_real32 *Result, kelvo_real32 const *M, kelvo_real32 const *V) {
    Transform3x3<3, 1>(Result, M, V);
}
inline void TransposeVectorTransform3x3(kelvo_real32 *Result, kelvo_real32 const *M,
                                        kelvo_real32 const *V) {
    Transform3x3<1, 3>(Result, M, V);
}

// Result = A.B. Result may be A or B.
inline void MatrixMultiply3x3(kelvo_real32 *Result, kelvo_real32 const *A, kelvo_real32 const *B) {
    kelvo_real32 Product[9];
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Product[3 * Row + Column] = A[3 * Row + 0] * B[0 + Column] +
                                        A[3 * Row + 1] * B[3 + Column] +
                                        A[3 * Row + 2] * B[6 + Column];
        }
    }
    for (int Index = 0; Index < 9; ++Index) {
        Result[Index] = Product[Index];
    }
}

// Result = A^T.B. Result may be A or B.
inline void TransposeMatrixMultiply3x3(kelvo_real32 *Result, kelvo_real32 const *A,
                                       kelvo_real32 const *B) {
    kelvo_real32 Product[9];
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Product[3 * Row + Column] = A[0 + Row] * B[0 + Column] + A[3 + Row] * B[3 + Column] +
                                        A[6 + Row] * B[6 + Column];
        }
    }
    for (int Index = 0; Index < 9; ++Index) {
        Result[Index] = Product[Index];
    }
}

inline kelvo_real32 MatrixDeterminant3x3(kelvo_real32 const *M) {
    return M[0] * (M[4] * M[8] - M[5] * M[7]) - M[1] * (M[3] * M[8] - M[5] * M[6]) +
           M[2] * (M[3] * M[7] - M[4] * M[6]);
}

// Adjugate inverse. When the determinant is exactly 0, Result is left as it
// was and the answer is false. Result may be Source.
bool MatrixInvert3x3(kelvo_real32 *Result, kelvo_real32 const *Source);

// The rotation matrix of a quaternion, which is not normalized first.
inline void MatrixFromQuaternion(kelvo_real32 *Result, kelvo_real32 const *Q) {
    kelvo_real32 const X = Q[0], Y = Q[1], Z = Q[2], W = Q[3];
    kelvo_real32 const XX = X * X, YY = Y * Y, ZZ = Z * Z;
    kelvo_real32 const XY = X * Y, XZ = X * Z, YZ = Y * Z;
    kelvo_real32 const XW = X * W, YW = Y * W, ZW = Z * W;
    Result[0] = 1 - 2 * (YY + ZZ);
    Result[1] = 2 * (XY - ZW);
    Result[2] = 2 * (XZ + YW);
    Result[3] = 2 * (XY + ZW);
    Result[4] = 1 - 2 * (XX + ZZ);
    Result[5] = 2 * (YZ - XW);
    Result[6] = 2 * (XZ - YW);
    Result[7] = 2 * (YZ + XW);
    Result[8] = 1 - 2 * (XX + YY);
}

// Hamilton product A.B. Result may be A or B.
inline void QuaternionMultiply(kelvo_real32 *Result, kelvo_real32 const *A, kelvo_real32 const *B) {
    kelvo_real32 const X = A[3] * B[0] + A[0] * B[3] + A[1] * B[2] - A[2] * B[1];
    kelvo_real32 const Y = A[3] * B[1] - A[0] * B[2] + A[1] * B[3] + A[2] * B[0];
    kelvo_real32 const Z = A[3] * B[2] + A[0] * B[1] - A[1] * B[0] + A[2] * B[3];
    kelvo_real32 const W = A[3] * B[3] - A[0] * B[0] - A[1] * B[1] - A[2] * B[2];
    Result[0] = X;
    Result[1] = Y;
    Result[2] = Z;
    Result[3] = W;
}

// conjugate(A).B: the rotation from A to B for unit quaternions. Result may be
// A or B.
inline void ConjugateQuaternionMultiply(kelvo_real32 *Result, kelvo_real32 const *A,
                                        kelvo_real32 const *B) {
    kelvo_real32 const Conjugate[4] = {-A[0], -A[1], -A[2], A[3]};
    QuaternionMultiply(Result, Conjugate, B);
}

// Axis times angle (radians) of conjugate(A).B. The angle is not folded into
// [0, pi]: callers that want the short way make A and B continuous first.
void RotationVectorBetween(kelvo_real32 *Result, kelvo_real32 const *A, kelvo_real32 const *B);

} // namespace kelvo

#endif
