// Vector, 3x3 matrix and quaternion helpers shared by the whole library, and
// the exported matrix and quaternion routines: composite products,
// quaternion/matrix conversion, polar decomposition, quaternion continuity and
// the similarity transforms of single components.
#include "foundation/kelvo_math.h"

#include <cmath>

namespace kelvo {

kelvo_real32 Length3(kelvo_real32 const *Vector) {
    return std::sqrt(Dot3(Vector, Vector));
}

kelvo_real32 Normalize3(kelvo_real32 *Vector) {
    kelvo_real32 const Length = Length3(Vector);
    if (Length > 0) {
        kelvo_real32 const Scale = 1 / Length;
        Vector[0] *= Scale;
        Vector[1] *= Scale;
        Vector[2] *= Scale;
    }
    return Length;
}

kelvo_real32 NormalizeQuaternion(kelvo_real32 *Quaternion) {
    kelvo_real32 const Length = std::sqrt(Dot4(Quaternion, Quaternion));
    if (Length > 0) {
        kelvo_real32 const Scale = 1 / Length;
        for (int Index = 0; Index < 4; ++Index) {
            Quaternion[Index] *= Scale;
        }
    }
    return Length;
}

void FastRenormalizeQuaternion(kelvo_real32 *Quaternion) {
    kelvo_real32 const E = Dot4(Quaternion, Quaternion);
    if (E > 1.1f || E < 0.9f) {
        NormalizeQuaternion(Quaternion);
        return;
    }
    kelvo_real32 const ThreeMinusE = 3 - E;
    kelvo_real32 const Scale = ThreeMinusE * (12 - E * ThreeMinusE * ThreeMinusE) * (1.0f / 16);
    for (int Index = 0; Index < 4; ++Index) {
        Quaternion[Index] *= Scale;
    }
}

bool MatrixInvert3x3(kelvo_real32 *Result, kelvo_real32 const *M) {
    kelvo_real32 const Cofactor0 = M[4] * M[8] - M[5] * M[7];
    kelvo_real32 const Cofactor1 = M[5] * M[6] - M[3] * M[8];
    kelvo_real32 const Cofactor2 = M[3] * M[7] - M[4] * M[6];
    kelvo_real32 const Determinant = M[0] * Cofactor0 + M[1] * Cofactor1 + M[2] * Cofactor2;
    if (Determinant == 0) {
        return false;
    }
    kelvo_real32 const Scale = 1 / Determinant;
    kelvo_real32 const Inverse[9] = {Cofactor0 * Scale,
                                     (M[2] * M[7] - M[1] * M[8]) * Scale,
                                     (M[1] * M[5] - M[2] * M[4]) * Scale,
                                     Cofactor1 * Scale,
                                     (M[0] * M[8] - M[2] * M[6]) * Scale,
                                     (M[2] * M[3] - M[0] * M[5]) * Scale,
                                     Cofactor2 * Scale,
                                     (M[1] * M[6] - M[0] * M[7]) * Scale,
                                     (M[0] * M[4] - M[1] * M[3]) * Scale};
    for (int Index = 0; Index < 9; ++Index) {
        Result[Index] = Inverse[Index];
    }
    return true;
}

void RotationVectorBetween(kelvo_real32 *Result, kelvo_real32 const *A, kelvo_real32 const *B) {
    kelvo_real32 Difference[4];
    ConjugateQuaternionMultiply(Difference, A, B);
    kelvo_real32 const SinLength = Length3(Difference);
    kelvo_real32 const Angle = 2 * std::atan2(SinLength, Difference[3]);
    kelvo_real32 const Scale = SinLength != 0 ? Angle / SinLength : Angle;
    Result[0] = Difference[0] * Scale;
    Result[1] = Difference[1] * Scale;
    Result[2] = Difference[2] * Scale;
}

} // namespace kelvo

using namespace kelvo;

// ---- composite products --------------------------------------------------------

KELVO_API void KelvoColumnMatrixMultiply4x4(kelvo_real32 Result[16], kelvo_real32 const A[16],
                                            kelvo_real32 const B[16]) {
    kelvo_real32 Product[16];
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            Product[4 * Row + Column] =
                A[4 * Row + 0] * B[0 + Column] + A[4 * Row + 1] * B[4 + Column] +
                A[4 * Row + 2] * B[8 + Column] + A[4 * Row + 3] * B[12 + Column];
        }
    }
    for (int Index = 0; Index < 16; ++Index) {
        Result[Index] = Product[Index];
    }
}

// P = A.B for two affine composites, reading only their first three columns:
// rows 0 to 2 are the 3x3 product, row 3 is A's position through B plus B's.
static void AffineProduct(kelvo_real32 P[4][3], kelvo_real32 const *A, kelvo_real32 const *B) {
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            P[Row][Column] = A[4 * Row + 0] * B[0 + Column] + A[4 * Row + 1] * B[4 + Column] +
                             A[4 * Row + 2] * B[8 + Column];
        }
    }
    P[3][0] += B[12];
    P[3][1] += B[13];
    P[3][2] += B[14];
}

KELVO_API void KelvoColumnMatrixMultiply4x3(kelvo_real32 Result[16], kelvo_real32 const A[16],
                                            kelvo_real32 const B[16]) {
    kelvo_real32 P[4][3];
    AffineProduct(P, A, B);
    for (int Row = 0; Row < 4; ++Row) {
        Result[4 * Row + 0] = P[Row][0];
        Result[4 * Row + 1] = P[Row][1];
        Result[4 * Row + 2] = P[Row][2];
        Result[4 * Row + 3] = Row == 3 ? 1.0f : 0.0f;
    }
}

KELVO_API void KelvoColumnMatrixMultiply4x3Transpose(kelvo_real32 Result[12],
                                                     kelvo_real32 const A[16],
                                                     kelvo_real32 const B[16]) {
    kelvo_real32 P[4][3];
    AffineProduct(P, A, B);
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            Result[4 * Row + Column] = P[Column][Row];
        }
    }
}

// ---- quaternions and rotation matrices -------------------------------------------

KELVO_API void KelvoMatrixEqualsQuaternion3x3(kelvo_real32 Result[9],
                                              kelvo_real32 const Quaternion[4]) {
    MatrixFromQuaternion(Result, Quaternion);
}

KELVO_API void KelvoQuaternionEqualsMatrix3x3(kelvo_real32 Result[4], kelvo_real32 const M[9]) {
    kelvo_real32 const Trace = M[0] + M[4] + M[8];
    if (Trace > 0) {
        kelvo_real32 const S = std::sqrt(Trace + 1);
        kelvo_real32 const H = 0.5f / S;
        Result[0] = (M[7] - M[5]) * H;
        Result[1] = (M[2] - M[6]) * H;
        Result[2] = (M[3] - M[1]) * H;
        Result[3] = S * 0.5f;
        return;
    }
    // Build from the largest diagonal element, where the square root is
    // furthest from 0.
    int I = M[4] > M[0] ? 1 : 0;
    if (M[8] > M[4 * I]) {
        I = 2;
    }
    int const J = (I + 1) % 3;
    int const K = (I + 2) % 3;
    auto At = [M](int Row, int Column) { return M[3 * Row + Column]; };
    kelvo_real32 const S = std::sqrt(At(I, I) - (At(K, K) + At(J, J)) + 1);
    kelvo_real32 const H = 0.5f / S;
    Result[I] = S * 0.5f;
    Result[J] = (At(J, I) + At(I, J)) * H;
    Result[K] = (At(K, I) + At(I, K)) * H;
    Result[3] = (At(K, J) - At(J, K)) * H;
}

static bool IsFinite3x3(kelvo_real32 const *M) {
    for (int Index = 0; Index < 9; ++Index) {
        if (!std::isfinite(M[Index])) {
            return false;
        }
    }
    return true;
}

KELVO_API kelvo_bool32 KelvoPolarDecompose(kelvo_real32 const Source[9], kelvo_real32 Tolerance,
                                           kelvo_real32 Q[9], kelvo_real32 S[9]) {
    kelvo_real32 Current[9];
    for (int Index = 0; Index < 9; ++Index) {
        Current[Index] = Source[Index];
    }
    // Start from a proper rotation's neighbourhood so the iteration cannot
    // converge to a reflection; the stretch then carries the sign.
    if (MatrixDeterminant3x3(Source) < 0) {
        Current[2] = -Current[2];
        Current[5] = -Current[5];
        Current[8] = -Current[8];
    }

    bool Converged = false;
    bool Singular = false;
    for (int Iteration = 0; Iteration < 1000; ++Iteration) {
        kelvo_real32 Inverse[9];
        if (!MatrixInvert3x3(Inverse, Current)) {
            Singular = true;
            break;
        }
        // Next = (Current + Inverse^T) / 2
        kelvo_real32 Next[9];
        kelvo_real32 Change = 0;
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 3; ++Column) {
                int const Index = 3 * Row + Column;
                Next[Index] = 0.5f * (Current[Index] + Inverse[3 * Column + Row]);
                Change += std::fabs(Next[Index] - Current[Index]);
            }
        }
        if (!IsFinite3x3(Next)) {
            Singular = true;
            break;
        }
        for (int Index = 0; Index < 9; ++Index) {
            Current[Index] = Next[Index];
        }
        if (Change < Tolerance) {
            Converged = true;
            break;
        }
    }

    if (Singular) {
        // No rotation can be told apart here; this split at least keeps Q.S
        // equal to the source.
        for (int Index = 0; Index < 9; ++Index) {
            Q[Index] = IdentityMatrix3x3[Index];
            S[Index] = Source[Index];
        }
        return 0;
    }
    kelvo_real32 Stretch[9];
    TransposeMatrixMultiply3x3(Stretch, Current, Source);
    for (int Index = 0; Index < 9; ++Index) {
        Q[Index] = Current[Index];
        S[Index] = Stretch[Index];
    }
    return Converged ? 1 : 0;
}

KELVO_API void KelvoEnsureQuaternionContinuity(kelvo_int32 QuaternionCount,
                                               kelvo_real32 *Quaternions) {
    for (kelvo_int32 Index = 1; Index < QuaternionCount; ++Index) {
        kelvo_real32 const *Previous = Quaternions + 4 * (Index - 1);
        kelvo_real32 *Current = Quaternions + 4 * Index;
        if (Dot4(Previous, Current) < 0) {
            for (int Component = 0; Component < 4; ++Component) {
                Current[Component] = -Current[Component];
            }
        }
    }
}

// ---- similarity transforms -------------------------------------------------------

KELVO_API void KelvoInPlaceSimilarityTransformPosition(kelvo_real32 const Affine[3],
                                                       kelvo_real32 const Linear[9],
                                                       kelvo_real32 Position[3]) {
    VectorTransform3x3(Position, Linear, Position);
    Position[0] += Affine[0];
    Position[1] += Affine[1];
    Position[2] += Affine[2];
}

KELVO_API void KelvoInPlaceSimilarityTransformOrientation(kelvo_real32 const Linear[9],
                                                          kelvo_real32 const InverseLinear[9],
                                                          kelvo_real32 Orientation[4]) {
    // Blended orientations are not unit length, and their length is part of
    // the data, so the rotation is taken from the unit quaternion and the
    // length put back.
    kelvo_real32 Unit[4] = {Orientation[0], Orientation[1], Orientation[2], Orientation[3]};
    kelvo_real32 const Length = NormalizeQuaternion(Unit);
    if (!(Length > 0)) {
        return;
    }
    kelvo_real32 Rotation[9];
    MatrixFromQuaternion(Rotation, Unit);
    MatrixMultiply3x3(Rotation, Linear, Rotation);
    MatrixMultiply3x3(Rotation, Rotation, InverseLinear);
    KelvoQuaternionEqualsMatrix3x3(Orientation, Rotation);
    for (int Index = 0; Index < 4; ++Index) {
        Orientation[Index] *= Length;
    }
}

KELVO_API void KelvoInPlaceSimilarityTransformScaleShear(kelvo_real32 const Linear[9],
                                                         kelvo_real32 const InverseLinear[9],
                                                         kelvo_real32 ScaleShear[9]) {
    MatrixMultiply3x3(ScaleShear, Linear, ScaleShear);
    MatrixMultiply3x3(ScaleShear, ScaleShear, InverseLinear);
}

KELVO_API void
KelvoInPlaceSimilarityTransform(kelvo_real32 const Affine[3], kelvo_real32 const Linear[9],
                                kelvo_real32 const InverseLinear[9], kelvo_real32 Position[3],
                                kelvo_real32 Orientation[4], kelvo_real32 ScaleShear[9]) {
    KelvoInPlaceSimilarityTransformPosition(Affine, Linear, Position);
    KelvoInPlaceSimilarityTransformOrientation(Linear, InverseLinear, Orientation);
    KelvoInPlaceSimilarityTransformScaleShear(Linear, InverseLinear, ScaleShear);
}

KELVO_API void KelvoInPlaceSimilarityTransform4x3(kelvo_real32 const Affine[3],
                                                  kelvo_real32 const Linear[9],
                                                  kelvo_real32 const InverseLinear[9],
                                                  kelvo_real32 Matrix[16]) {
    kelvo_real32 Position[3] = {Matrix[12], Matrix[13], Matrix[14]};
    kelvo_real32 ScaleShear[9];
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            ScaleShear[3 * Row + Column] = Matrix[4 * Column + Row];
        }
    }
    KelvoInPlaceSimilarityTransformPosition(Affine, Linear, Position);
    KelvoInPlaceSimilarityTransformScaleShear(Linear, InverseLinear, ScaleShear);
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Matrix[4 * Column + Row] = ScaleShear[3 * Row + Column];
        }
    }
    Matrix[12] = Position[0];
    Matrix[13] = Position[1];
    Matrix[14] = Position[2];
}
