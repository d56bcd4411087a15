// Random skeletons and poses for the pose tests, with a double-precision
// reference for world matrices that shares no code with the library.
#ifndef POSE_TEST_SKELETON_H
#define POSE_TEST_SKELETON_H

#include "kelvo2.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

using matrix64 = std::array<double, 16>;

// Position, unit orientation and (when Scaled) a scale/shear near identity;
// Kind 0 is the identity, 1 translation only, 2 rigid, 3 with scale/shear.
inline kelvo_transform RandomTransform(std::mt19937 &Engine, int Kind) {
    std::uniform_real_distribution<float> Uniform(-1, 1);
    float P[3] = {Uniform(Engine), Uniform(Engine), Uniform(Engine)};
    float Q[4] = {Uniform(Engine), Uniform(Engine), Uniform(Engine), Uniform(Engine) + 1.5f};
    float Length = std::sqrt(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3]);
    for (float &Value : Q) {
        Value /= Length;
    }
    float S[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (Kind == 3) {
        for (float &Value : S) {
            Value += 0.3f * Uniform(Engine);
        }
    }
    float const Zero[3] = {0, 0, 0}, Unit[4] = {0, 0, 0, 1};
    kelvo_transform Result;
    KelvoSetTransformWithIdentityCheck(&Result, Kind >= 1 ? P : Zero, Kind >= 2 ? Q : Unit, S);
    return Result;
}

inline matrix64 Matrix64(kelvo_transform const &T) {
    double const X = T.Orientation[0], Y = T.Orientation[1], Z = T.Orientation[2],
                 W = T.Orientation[3];
    double const R[9] = {1 - 2 * (Y * Y + Z * Z), 2 * (X * Y - Z * W),     2 * (X * Z + Y * W),
                         2 * (X * Y + Z * W),     1 - 2 * (X * X + Z * Z), 2 * (Y * Z - X * W),
                         2 * (X * Z - Y * W),     2 * (Y * Z + X * W),     1 - 2 * (X * X + Y * Y)};
    matrix64 M = {};
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            double L = 0; // L = R.S, element (Column, Row) lands in row Row
            for (int K = 0; K < 3; ++K) {
                L += R[3 * Column + K] * T.ScaleShear[3 * K + Row];
            }
            M[4 * Row + Column] = L;
        }
        M[12 + Row] = T.Position[Row];
    }
    M[15] = 1;
    return M;
}

inline matrix64 Multiply64(matrix64 const &A, matrix64 const &B) {
    matrix64 Result = {};
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            for (int K = 0; K < 4; ++K) {
                Result[4 * Row + Column] += A[4 * Row + K] * B[4 * K + Column];
            }
        }
    }
    return Result;
}

inline matrix64 Inverse64(matrix64 const &M) {
    double const *A = M.data();
    double const C0 = A[5] * A[10] - A[6] * A[9], C1 = A[6] * A[8] - A[4] * A[10],
                 C2 = A[4] * A[9] - A[5] * A[8];
    double const D = A[0] * C0 + A[1] * C1 + A[2] * C2;
    double const I[9] = {C0 / D,
                         (A[2] * A[9] - A[1] * A[10]) / D,
                         (A[1] * A[6] - A[2] * A[5]) / D,
                         C1 / D,
                         (A[0] * A[10] - A[2] * A[8]) / D,
                         (A[2] * A[4] - A[0] * A[6]) / D,
                         C2 / D,
                         (A[1] * A[8] - A[0] * A[9]) / D,
                         (A[0] * A[5] - A[1] * A[4]) / D};
    matrix64 Result = {};
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Result[4 * Row + Column] = I[3 * Row + Column];
            Result[12 + Column] -= A[12 + Row] * I[3 * Row + Column];
        }
    }
    Result[15] = 1;
    return Result;
}

inline matrix64 FromFloats(float const *M) {
    matrix64 Result;
    for (int Index = 0; Index < 16; ++Index) {
        Result[Index] = M[Index];
    }
    return Result;
}

// Every element within Tolerance of the reference, relative to its largest.
inline void ExpectMatrixNear(float const *Actual, matrix64 const &Expected, double Tolerance) {
    double Scale = 1;
    for (double Value : Expected) {
        Scale = std::fmax(Scale, std::fabs(Value));
    }
    for (int Index = 0; Index < 16; ++Index) {
        EXPECT_NEAR(Actual[Index], Expected[Index], Tolerance * Scale) << "element " << Index;
    }
}

// Bones with random parents that precede them, rest transforms of every kind,
// inverse rest world matrices and decreasing LOD errors.
struct test_skeleton {
    std::vector<kelvo_bone> Bones;
    kelvo_skeleton Skeleton = {};

    test_skeleton(int Count, unsigned Seed) : Bones((size_t)Count) {
        std::mt19937 Engine(Seed);
        std::vector<matrix64> World((size_t)Count);
        for (int Index = 0; Index < Count; ++Index) {
            kelvo_bone &Bone = Bones[(size_t)Index];
            Bone = {};
            Bone.Name = "bone";
            Bone.ParentIndex = Index == 0 ? -1 : (int)(Engine() % (unsigned)Index);
            if (Index > 2 && Engine() % 5 == 0) {
                Bone.ParentIndex = -1; // a second root
            }
            Bone.Transform = RandomTransform(Engine, (int)(Engine() % 4));
            matrix64 Local = Matrix64(Bone.Transform);
            World[(size_t)Index] = Bone.ParentIndex < 0
                                       ? Local
                                       : Multiply64(Local, World[(size_t)Bone.ParentIndex]);
            matrix64 Inverse = Inverse64(World[(size_t)Index]);
            for (int Element = 0; Element < 16; ++Element) {
                Bone.InverseWorldTransform[Element] = (float)Inverse[(size_t)Element];
            }
            Bone.LODError = (float)(Count - Index);
        }
        Skeleton = {"test", Count, Bones.data(), 0};
    }
};

// The world matrix of a bone from the given local transforms, in double.
inline matrix64 ReferenceWorld(test_skeleton const &S, std::vector<kelvo_transform> const &Local,
                               int Bone, matrix64 const &Offset) {
    matrix64 Result = Matrix64(Local[(size_t)Bone]);
    for (int Parent = S.Bones[(size_t)Bone].ParentIndex; Parent >= 0;
         Parent = S.Bones[(size_t)Parent].ParentIndex) {
        Result = Multiply64(Result, Matrix64(Local[(size_t)Parent]));
    }
    return Multiply64(Result, Offset);
}

#endif
