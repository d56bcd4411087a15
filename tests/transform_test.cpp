// Transforms, matrices, quaternions and ray tests, checked against
// computations done another way: points pushed through transforms one after
// the other, rotations by quaternion sandwich products in double precision,
// and geometry whose answer is known by construction.
#include "kelvo_math.h"
#include "kelvo_test.h"

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

class TransformTest : public KelvoTest {};

namespace {

using vec3 = std::array<double, 3>;

// v' = q.(v, 0).conjugate(q), in double; q must be unit length.
vec3 RotateBySandwich(kelvo_real32 const *Q, vec3 V) {
    double const X = Q[0], Y = Q[1], Z = Q[2], W = Q[3];
    // t = q.(v, 0)
    double const TX = W * V[0] + Y * V[2] - Z * V[1];
    double const TY = W * V[1] + Z * V[0] - X * V[2];
    double const TZ = W * V[2] + X * V[1] - Y * V[0];
    double const TW = -X * V[0] - Y * V[1] - Z * V[2];
    // t.conjugate(q)
    return {TW * -X + TX * W + TY * -Z - TZ * -Y, TW * -Y - TX * -Z + TY * W + TZ * -X,
            TW * -Z + TX * -Y - TY * -X + TZ * W};
}

// R.(S.p) + P, the stretch applied as rows, the rotation as a sandwich.
vec3 ApplyReference(kelvo_transform const &T, vec3 P, bool WithPosition = true) {
    vec3 Stretched;
    for (int Row = 0; Row < 3; ++Row) {
        Stretched[Row] = T.ScaleShear[3 * Row] * P[0] + T.ScaleShear[3 * Row + 1] * P[1] +
                         T.ScaleShear[3 * Row + 2] * P[2];
    }
    vec3 Result = RotateBySandwich(T.Orientation, Stretched);
    if (WithPosition) {
        for (int Index = 0; Index < 3; ++Index) {
            Result[Index] += T.Position[Index];
        }
    }
    return Result;
}

void ExpectNear3(vec3 Expected, kelvo_real32 const *Actual, double Tolerance) {
    for (int Index = 0; Index < 3; ++Index) {
        EXPECT_NEAR(Expected[Index], Actual[Index], Tolerance) << "component " << Index;
    }
}

void ExpectNearArray(kelvo_real32 const *Expected, kelvo_real32 const *Actual, int Count,
                     double Tolerance) {
    for (int Index = 0; Index < Count; ++Index) {
        EXPECT_NEAR(Expected[Index], Actual[Index], Tolerance) << "element " << Index;
    }
}

struct random_source {
    std::mt19937 Engine{20240611};
    kelvo_real32 Uniform(kelvo_real32 Low, kelvo_real32 High) {
        return std::uniform_real_distribution<kelvo_real32>(Low, High)(Engine);
    }
    void UnitQuaternion(kelvo_real32 *Q) {
        double Length;
        do {
            for (int Index = 0; Index < 4; ++Index) {
                Q[Index] = Uniform(-1, 1);
            }
            Length = std::sqrt(double(Q[0]) * Q[0] + double(Q[1]) * Q[1] + double(Q[2]) * Q[2] +
                               double(Q[3]) * Q[3]);
        } while (Length < 0.1 || Length > 1);
        for (int Index = 0; Index < 4; ++Index) {
            Q[Index] = kelvo_real32(Q[Index] / Length);
        }
    }
    // Positive scales with some shear: well conditioned, determinant > 0.
    void Stretch(kelvo_real32 *S) {
        for (int Index = 0; Index < 9; ++Index) {
            S[Index] = Index % 4 == 0 ? Uniform(0.5f, 2) : Uniform(-0.3f, 0.3f);
        }
    }
    kelvo_transform Transform() {
        kelvo_real32 P[3] = {Uniform(-10, 10), Uniform(-10, 10), Uniform(-10, 10)};
        kelvo_real32 Q[4], S[9];
        UnitQuaternion(Q);
        Stretch(S);
        kelvo_transform T;
        KelvoSetTransform(&T, P, Q, S);
        return T;
    }
    vec3 Point() { return {Uniform(-5, 5), Uniform(-5, 5), Uniform(-5, 5)}; }
};

void ToReals(kelvo_real32 *Out, vec3 V) {
    for (int Index = 0; Index < 3; ++Index) {
        Out[Index] = kelvo_real32(V[Index]);
    }
}

kelvo_real32 const Zero3[3] = {0, 0, 0};
kelvo_real32 const IdentityQ[4] = {0, 0, 0, 1};
kelvo_real32 const Identity3x3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

} // namespace

// ---- the record and its flags --------------------------------------------------

TEST_F(TransformTest, FlagsFollowTheIdentityThresholds) {
    kelvo_transform T;
    KelvoSetTransform(&T, Zero3, IdentityQ, Identity3x3);
    EXPECT_EQ(7u, T.Flags);
    KelvoSetTransformWithIdentityCheck(&T, Zero3, IdentityQ, Identity3x3);
    EXPECT_EQ(0u, T.Flags);

    kelvo_real32 const SmallPosition[3] = {0.0004f, 0.0004f, 0.0004f};
    KelvoSetTransformWithIdentityCheck(&T, SmallPosition, IdentityQ, Identity3x3);
    EXPECT_EQ(unsigned(KelvoHasPosition), T.Flags);

    kelvo_real32 const AlmostUnit[4] = {0, 0, 0, 1.00009f};
    KelvoSetTransformWithIdentityCheck(&T, Zero3, AlmostUnit, Identity3x3);
    EXPECT_EQ(0u, T.Flags);
    kelvo_real32 const OffUnit[4] = {0, 0, 0, 1.0002f};
    KelvoSetTransformWithIdentityCheck(&T, Zero3, OffUnit, Identity3x3);
    EXPECT_EQ(unsigned(KelvoHasOrientation), T.Flags);

    kelvo_real32 Stretch[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1.0005f};
    KelvoSetTransformWithIdentityCheck(&T, Zero3, IdentityQ, Stretch);
    EXPECT_EQ(0u, T.Flags);
    Stretch[1] = 0.0006f;
    KelvoSetTransformWithIdentityCheck(&T, Zero3, IdentityQ, Stretch);
    EXPECT_EQ(unsigned(KelvoHasScaleShear), T.Flags);
    EXPECT_EQ(0.0006f, T.ScaleShear[1]);

    kelvo_real32 const NotANumber[3] = {0, NAN, 0};
    KelvoSetTransformWithIdentityCheck(&T, NotANumber, IdentityQ, Identity3x3);
    EXPECT_EQ(unsigned(KelvoHasPosition), T.Flags);

    KelvoMakeIdentity(&T);
    EXPECT_EQ(0, std::memcmp(&T, &kelvo::IdentityTransform, sizeof(T)));
    EXPECT_EQ(1.0f, T.Orientation[3]);
    EXPECT_EQ(1.0f, T.ScaleShear[8]);
    KelvoZeroTransform(&T);
    kelvo_transform const AllZero = {};
    EXPECT_EQ(0, std::memcmp(&T, &AllZero, sizeof(T)));
}

// ---- applying, composing, inverting --------------------------------------------

TEST_F(TransformTest, PointsAndVectorsMatchTheSandwichProduct) {
    random_source Random;
    for (int Round = 0; Round < 50; ++Round) {
        kelvo_transform const T = Random.Transform();
        vec3 const P = Random.Point();
        kelvo_real32 Source[3], Out[3];
        ToReals(Source, P);

        KelvoTransformPoint(Out, &T, Source);
        ExpectNear3(ApplyReference(T, P), Out, 1e-4);
        std::memcpy(Out, Source, sizeof(Out));
        KelvoTransformPointInPlace(Out, &T);
        ExpectNear3(ApplyReference(T, P), Out, 1e-4);

        KelvoTransformVector(Out, &T, Source);
        ExpectNear3(ApplyReference(T, P, false), Out, 1e-4);
        std::memcpy(Out, Source, sizeof(Out));
        KelvoTransformVectorInPlace(Out, &T);
        ExpectNear3(ApplyReference(T, P, false), Out, 1e-4);

        // The transposed form is the adjoint of the linear part: a.(L^T b) = (L a).b
        vec3 const B = Random.Point();
        kelvo_real32 Transposed[3];
        ToReals(Transposed, B);
        KelvoTransformVectorInPlaceTransposed(Transposed, &T);
        vec3 const LinearP = ApplyReference(T, P, false);
        double const Left = P[0] * Transposed[0] + P[1] * Transposed[1] + P[2] * Transposed[2];
        double const Right = LinearP[0] * B[0] + LinearP[1] * B[1] + LinearP[2] * B[2];
        EXPECT_NEAR(Right, Left, 1e-3);

        double Determinant = 0; // Leibniz, independent of the library's cofactors
        kelvo_real32 const *S = T.ScaleShear;
        Determinant = double(S[0]) * S[4] * S[8] + double(S[1]) * S[5] * S[6] +
                      double(S[2]) * S[3] * S[7] - double(S[2]) * S[4] * S[6] -
                      double(S[1]) * S[3] * S[8] - double(S[0]) * S[5] * S[7];
        EXPECT_NEAR(Determinant, KelvoGetTransformDeterminant(&T), 1e-5);
    }
}

TEST_F(TransformTest, MultiplyAppliesTheRightOperandFirst) {
    random_source Random;
    for (int Round = 0; Round < 50; ++Round) {
        kelvo_transform A = Random.Transform();
        kelvo_transform B = Random.Transform();
        A.Flags = KelvoHasPosition;
        B.Flags = KelvoHasScaleShear;
        kelvo_transform AB;
        KelvoMultiply(&AB, &A, &B);
        EXPECT_EQ(unsigned(KelvoHasPosition | KelvoHasScaleShear), AB.Flags);

        vec3 const P = Random.Point();
        kelvo_real32 Point[3], Twice[3];
        ToReals(Point, P);
        KelvoTransformPoint(Twice, &B, Point);
        KelvoTransformPointInPlace(Twice, &A);
        kelvo_real32 Once[3];
        KelvoTransformPoint(Once, &AB, Point);
        ExpectNearArray(Twice, Once, 3, 2e-4 * (1 + std::fabs(Twice[0]) + std::fabs(Twice[1])));

        // Every way of writing the product over its own operands agrees.
        kelvo_transform Alias = A;
        KelvoMultiply(&Alias, &Alias, &B);
        EXPECT_EQ(0, std::memcmp(&AB, &Alias, sizeof(AB)));
        Alias = B;
        KelvoMultiply(&Alias, &A, &Alias);
        EXPECT_EQ(0, std::memcmp(&AB, &Alias, sizeof(AB)));
        Alias = A;
        KelvoPostMultiplyBy(&Alias, &B);
        EXPECT_EQ(0, std::memcmp(&AB, &Alias, sizeof(AB)));
        Alias = B;
        KelvoPreMultiplyBy(&Alias, &A);
        EXPECT_EQ(0, std::memcmp(&AB, &Alias, sizeof(AB)));
    }

    // Composing with the identity leaves every component exactly as it was.
    kelvo_transform A = Random.Transform();
    A.Flags = KelvoHasOrientation;
    kelvo_transform Identity, Result;
    KelvoMakeIdentity(&Identity);
    KelvoMultiply(&Result, &A, &Identity);
    EXPECT_EQ(A.Flags, Result.Flags);
    ExpectNearArray(A.Position, Result.Position, 3, 0);
    ExpectNearArray(A.Orientation, Result.Orientation, 4, 0);
    ExpectNearArray(A.ScaleShear, Result.ScaleShear, 9, 0);
}

TEST_F(TransformTest, InverseUndoesTheTransform) {
    random_source Random;
    for (int Round = 0; Round < 50; ++Round) {
        kelvo_transform const T = Random.Transform();
        kelvo_transform Inverse, Product;
        KelvoBuildInverse(&Inverse, &T);
        vec3 const P = Random.Point();
        kelvo_real32 Point[3], Back[3];
        ToReals(Point, P);
        KelvoTransformPoint(Back, &T, Point);
        KelvoTransformPointInPlace(Back, &Inverse);
        ExpectNearArray(Point, Back, 3, 5e-4);

        for (int Order = 0; Order < 2; ++Order) {
            if (Order == 0) {
                KelvoMultiply(&Product, &Inverse, &T);
            } else {
                KelvoMultiply(&Product, &T, &Inverse);
            }
            kelvo_real32 L[9];
            KelvoBuildCompositeTransform(&Product, 3, L);
            ExpectNearArray(Identity3x3, L, 9, 1e-4);
            ExpectNearArray(Zero3, Product.Position, 3, 1e-3);
        }
    }

    // Flags come from the values: the inverse of a translation is one.
    kelvo_real32 const Position[3] = {1, 2, 3};
    kelvo_transform T, Inverse;
    KelvoSetTransform(&T, Position, IdentityQ, Identity3x3);
    KelvoBuildInverse(&Inverse, &T);
    EXPECT_EQ(unsigned(KelvoHasPosition), Inverse.Flags);
    EXPECT_EQ(-2.0f, Inverse.Position[1]);

    // A flattened transform has no inverse: the result is the identity.
    kelvo_real32 const Flat[9] = {1, 0, 0, 0, 0, 0, 0, 0, 1};
    KelvoSetTransform(&T, Position, IdentityQ, Flat);
    std::memset(&Inverse, 0xff, sizeof(Inverse));
    KelvoBuildInverse(&Inverse, &T);
    EXPECT_EQ(0, std::memcmp(&Inverse, &kelvo::IdentityTransform, sizeof(Inverse)));
}

TEST_F(TransformTest, LinearBlendIsComponentWise) {
    random_source Random;
    kelvo_transform A = Random.Transform(), B = Random.Transform(), Result;
    for (kelvo_real32 t : {0.0f, 0.25f, 1.0f}) {
        KelvoLinearBlendTransform(&Result, &A, t, &B);
        EXPECT_EQ(7u, Result.Flags);
        double Q[4], Length = 0;
        for (int Index = 0; Index < 4; ++Index) {
            Q[Index] = (1 - t) * double(A.Orientation[Index]) + t * double(B.Orientation[Index]);
            Length += Q[Index] * Q[Index];
        }
        for (int Index = 0; Index < 4; ++Index) {
            EXPECT_NEAR(Q[Index] / std::sqrt(Length), Result.Orientation[Index], 1e-6);
        }
        for (int Index = 0; Index < 3; ++Index) {
            EXPECT_NEAR((1 - t) * A.Position[Index] + t * B.Position[Index], Result.Position[Index],
                        1e-5);
        }
        for (int Index = 0; Index < 9; ++Index) {
            EXPECT_NEAR((1 - t) * A.ScaleShear[Index] + t * B.ScaleShear[Index],
                        Result.ScaleShear[Index], 1e-6);
        }
    }

    // Clear flags mean identity whatever the records hold.
    A.Flags = B.Flags = KelvoHasPosition;
    KelvoLinearBlendTransform(&Result, &A, 0.5f, &B);
    EXPECT_EQ(unsigned(KelvoHasPosition), Result.Flags);
    ExpectNearArray(IdentityQ, Result.Orientation, 4, 0);
    ExpectNearArray(Identity3x3, Result.ScaleShear, 9, 0);
    A.Flags = B.Flags = KelvoHasOrientation;
    KelvoLinearBlendTransform(&A, &A, 0.5f, &B); // result aliasing an operand
    ExpectNearArray(Zero3, A.Position, 3, 0);

    // q and -q cancel at the midpoint; the blend still gives a rotation.
    for (int Index = 0; Index < 4; ++Index) {
        B.Orientation[Index] = -A.Orientation[Index];
    }
    KelvoLinearBlendTransform(&Result, &A, 0.5f, &B);
    ExpectNearArray(IdentityQ, Result.Orientation, 4, 0);
}

// ---- composite matrices ----------------------------------------------------------

TEST_F(TransformTest, CompositesMapRowVectorsLikeTheTransform) {
    random_source Random;
    for (int Round = 0; Round < 20; ++Round) {
        kelvo_transform const A = Random.Transform(), B = Random.Transform();
        kelvo_real32 MA[16], MB[16];
        KelvoBuildCompositeTransform4x4(&A, MA);
        KelvoBuildCompositeTransform4x4(&B, MB);
        EXPECT_EQ(0.0f, MA[3]);
        EXPECT_EQ(0.0f, MA[7]);
        EXPECT_EQ(0.0f, MA[11]);
        EXPECT_EQ(1.0f, MA[15]);

        vec3 const P = Random.Point();
        vec3 const Expected = ApplyReference(A, P);
        for (int Column = 0; Column < 3; ++Column) {
            double RowTimesMatrix = MA[12 + Column];
            for (int Row = 0; Row < 3; ++Row) {
                RowTimesMatrix += P[Row] * MA[4 * Row + Column];
            }
            EXPECT_NEAR(Expected[Column], RowTimesMatrix, 1e-4);
        }

        kelvo_real32 M43[12];
        KelvoBuildCompositeTransform4x3(&A, M43);
        for (int Row = 0; Row < 4; ++Row) {
            ExpectNearArray(MA + 4 * Row, M43 + 3 * Row, 3, 1e-5);
        }

        // Row vectors apply the left factor first: MA.MB is the matrix of B o A.
        kelvo_transform BA;
        KelvoMultiply(&BA, &B, &A);
        kelvo_real32 Expected4x4[16], Product[16];
        KelvoBuildCompositeTransform4x4(&BA, Expected4x4);
        KelvoColumnMatrixMultiply4x4(Product, MA, MB);
        ExpectNearArray(Expected4x4, Product, 16, 2e-4 * (1 + std::fabs(Expected4x4[12])));

        // The 4x3 product ignores whatever the fourth columns hold.
        kelvo_real32 Dirty[16];
        std::memcpy(Dirty, MA, sizeof(Dirty));
        Dirty[3] = 5;
        Dirty[15] = 7;
        kelvo_real32 Affine[16], Transposed[12];
        KelvoColumnMatrixMultiply4x3(Affine, Dirty, MB);
        ExpectNearArray(Product, Affine, 16, 1e-5 * (1 + std::fabs(Product[12])));
        KelvoColumnMatrixMultiply4x3Transpose(Transposed, Dirty, MB);
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 4; ++Column) {
                EXPECT_NEAR(Affine[4 * Column + Row], Transposed[4 * Row + Column], 1e-5);
            }
        }
        KelvoColumnMatrixMultiply4x4(MA, MA, MB); // in place
        ExpectNearArray(Product, MA, 16, 1e-5);
    }
}

TEST_F(TransformTest, CompositeFlagsAndStride) {
    kelvo_real32 const Q[4] = {0, 0, std::sqrt(0.5f), std::sqrt(0.5f)}; // 90 degrees about z
    kelvo_real32 const Stretch[9] = {2, 0, 0, 0, 3, 0, 0, 0, 4};
    kelvo_real32 const Position[3] = {7, 8, 9};
    kelvo_transform T;
    KelvoSetTransform(&T, Position, Q, Stretch);
    T.Flags = KelvoHasPosition | KelvoHasOrientation;

    // Without the flag the stretch is skipped: x -> y, y -> -x.
    kelvo_real32 M[16];
    KelvoBuildCompositeTransform4x4(&T, M);
    kelvo_real32 const Rigid[16] = {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 7, 8, 9, 1};
    ExpectNearArray(Rigid, M, 16, 1e-6);

    // The strided form always includes it and touches nothing between groups.
    kelvo_real32 Groups[12];
    for (kelvo_real32 &Value : Groups) {
        Value = -99;
    }
    KelvoBuildCompositeTransform(&T, 4, Groups);
    kelvo_real32 const Columns[12] = {0, 2, 0, -99, -3, 0, 0, -99, 0, 0, 4, -99};
    ExpectNearArray(Columns, Groups, 12, 1e-6);
}

// ---- quaternions, matrices, polar decomposition -------------------------------------

TEST_F(TransformTest, QuaternionMatrixRoundTripInEveryBranch) {
    random_source Random;
    std::vector<std::array<kelvo_real32, 4>> Cases;
    for (int Round = 0; Round < 40; ++Round) {
        std::array<kelvo_real32, 4> Q;
        Random.UnitQuaternion(Q.data());
        Cases.push_back(Q);
    }
    // Near half turns about each axis: trace <= 0, each diagonal the largest.
    for (int Axis = 0; Axis < 3; ++Axis) {
        std::array<kelvo_real32, 4> Q = {0.1f, -0.2f, 0.15f, 0.05f};
        Q[Axis] = 0.95f;
        kelvo::NormalizeQuaternion(Q.data());
        Cases.push_back(Q);
    }
    for (auto const &Q : Cases) {
        kelvo_real32 R[9];
        KelvoMatrixEqualsQuaternion3x3(R, Q.data());
        for (int Column = 0; Column < 3; ++Column) {
            vec3 Basis = {0, 0, 0};
            Basis[Column] = 1;
            vec3 const Image = RotateBySandwich(Q.data(), Basis);
            for (int Row = 0; Row < 3; ++Row) {
                EXPECT_NEAR(Image[Row], R[3 * Row + Column], 1e-6);
            }
        }
        kelvo_real32 Back[4];
        KelvoQuaternionEqualsMatrix3x3(Back, R);
        kelvo_real32 const Sign = kelvo::Dot4(Back, Q.data()) < 0 ? -1.0f : 1.0f;
        for (int Index = 0; Index < 4; ++Index) {
            EXPECT_NEAR(Q[Index], Sign * Back[Index], 1e-5);
        }
    }
}

TEST_F(TransformTest, PolarDecompositionReconstructsTheSource) {
    random_source Random;
    for (int Round = 0; Round < 40; ++Round) {
        kelvo_real32 Source[9];
        for (kelvo_real32 &Value : Source) {
            Value = Random.Uniform(-2, 2);
        }
        double const Determinant = kelvo::MatrixDeterminant3x3(Source);
        if (std::fabs(Determinant) < 0.05) {
            continue;
        }
        kelvo_real32 Q[9], S[9];
        ASSERT_TRUE(KelvoPolarDecompose(Source, 1e-5f, Q, S));
        kelvo_real32 Check[9];
        kelvo::TransposeMatrixMultiply3x3(Check, Q, Q);
        ExpectNearArray(Identity3x3, Check, 9, 1e-4);
        EXPECT_NEAR(1.0, kelvo::MatrixDeterminant3x3(Q), 1e-4);
        EXPECT_EQ(Determinant < 0, kelvo::MatrixDeterminant3x3(S) < 0);
        kelvo::MatrixMultiply3x3(Check, Q, S);
        ExpectNearArray(Source, Check, 9, 1e-4);
    }

    // A rotation times a symmetric stretch gives both back.
    kelvo_real32 Rotation[9], Stretch[9] = {2, 0.3f, 0, 0.3f, 1, -0.2f, 0, -0.2f, 1.5f}, Source[9];
    kelvo_real32 Q4[4];
    Random.UnitQuaternion(Q4);
    KelvoMatrixEqualsQuaternion3x3(Rotation, Q4);
    kelvo::MatrixMultiply3x3(Source, Rotation, Stretch);
    kelvo_real32 Q[9], S[9];
    EXPECT_TRUE(KelvoPolarDecompose(Source, 1e-5f, Q, S));
    ExpectNearArray(Rotation, Q, 9, 1e-4);
    ExpectNearArray(Stretch, S, 9, 1e-4);

    // Singular: the identity split, reported as not converged.
    kelvo_real32 const Flat[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};
    EXPECT_FALSE(KelvoPolarDecompose(Flat, 1e-5f, Q, S));
    ExpectNearArray(Identity3x3, Q, 9, 0);
    ExpectNearArray(Flat, S, 9, 0);
    kelvo_real32 const Broken[9] = {1, 0, 0, 0, NAN, 0, 0, 0, 1};
    EXPECT_FALSE(KelvoPolarDecompose(Broken, 1e-5f, Q, S));
    ExpectNearArray(Identity3x3, Q, 9, 0);
}

TEST_F(TransformTest, QuaternionHelpers) {
    // Continuity: each one is compared with its corrected predecessor.
    kelvo_real32 Chain[16] = {0.5f,  0.5f,  0.5f,  -0.5f, -0.5f, -0.5f, -0.5f, 0.5f,
                              -0.5f, -0.5f, -0.5f, 0.5f,  0.5f,  0.5f,  0.5f,  -0.5f};
    KelvoEnsureQuaternionContinuity(4, Chain);
    for (int Index = 0; Index < 16; ++Index) {
        EXPECT_EQ(Index % 4 == 3 ? -0.5f : 0.5f, Chain[Index]) << Index;
    }

    // Fast renormalization: near unit length it falls short of 1 by what two
    // Newton steps leave over; far from it, it is exact.
    for (kelvo_real32 Scale : {0.95f, 1.04f, 3.0f, 0.2f}) {
        kelvo_real32 Q[4] = {0.1f * Scale, -0.7f * Scale, 0.5f * Scale, 0.5f * Scale};
        kelvo::FastRenormalizeQuaternion(Q);
        double const Length = std::sqrt(double(kelvo::Dot4(Q, Q)));
        if (Scale < 1.05f && Scale > 0.94f) {
            EXPECT_NEAR(1.0, Length, 1e-4) << Scale;
            EXPECT_LT(Length, 1 - 1e-6) << Scale;
        } else {
            EXPECT_NEAR(1.0, Length, 1e-6) << Scale;
        }
        EXPECT_NEAR(-7 * Q[0], Q[1], 1e-5);
    }

    // Rotation vector: b is a turned by 1.2 radians about (2, -1, 2)/3 (in a's
    // frame), so the vector is that axis times 1.2.
    random_source Random;
    kelvo_real32 A[4], Turn[4], B[4], Vector[3];
    Random.UnitQuaternion(A);
    kelvo_real32 const Axis[3] = {2.0f / 3, -1.0f / 3, 2.0f / 3};
    for (int Index = 0; Index < 3; ++Index) {
        Turn[Index] = Axis[Index] * std::sin(0.6f);
    }
    Turn[3] = std::cos(0.6f);
    kelvo::QuaternionMultiply(B, A, Turn);
    kelvo::RotationVectorBetween(Vector, A, B);
    for (int Index = 0; Index < 3; ++Index) {
        EXPECT_NEAR(1.2 * Axis[Index], Vector[Index], 1e-5);
    }
    kelvo::RotationVectorBetween(Vector, A, A);
    ExpectNearArray(Zero3, Vector, 3, 1e-6);

    // The 3x3 inverse, and leaving the output alone when there is none.
    kelvo_real32 M[9], Inverse[9], Product[9];
    Random.Stretch(M);
    ASSERT_TRUE(kelvo::MatrixInvert3x3(Inverse, M));
    kelvo::MatrixMultiply3x3(Product, M, Inverse);
    ExpectNearArray(Identity3x3, Product, 9, 1e-5);
    kelvo_real32 const Singular[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};
    std::memcpy(Product, M, sizeof(M));
    EXPECT_FALSE(kelvo::MatrixInvert3x3(Product, Singular));
    ExpectNearArray(M, Product, 9, 0);
}

// ---- change of basis ---------------------------------------------------------------

TEST_F(TransformTest, SimilarityTransformConjugatesTheLinearPart) {
    random_source Random;
    // Units and handedness change: uniform scale by 2, z mirrored, then turned.
    // (Only such maps keep M.R.M^-1 a rotation.)
    kelvo_real32 const Turn[4] = {0, std::sin(0.3f), 0, std::cos(0.3f)};
    kelvo_real32 Rotation[9], Linear[9], InverseLinear[9];
    KelvoMatrixEqualsQuaternion3x3(Rotation, Turn);
    kelvo_real32 const Mirror[9] = {2, 0, 0, 0, 2, 0, 0, 0, -2};
    kelvo::MatrixMultiply3x3(Linear, Rotation, Mirror);
    ASSERT_TRUE(kelvo::MatrixInvert3x3(InverseLinear, Linear));
    kelvo_real32 const Affine[3] = {1, -2, 3};

    for (int Round = 0; Round < 20; ++Round) {
        kelvo_transform const T = Random.Transform();
        kelvo_transform Changed = T;
        Changed.Orientation[0] *= 2; // a blended, non-unit quaternion keeps its length
        Changed.Orientation[1] *= 2;
        Changed.Orientation[2] *= 2;
        Changed.Orientation[3] *= 2;
        Changed.Flags = KelvoHasOrientation;
        KelvoSimilarityTransform(&Changed, Affine, Linear, InverseLinear);
        EXPECT_EQ(unsigned(KelvoHasOrientation), Changed.Flags);
        EXPECT_NEAR(2.0, std::sqrt(kelvo::Dot4(Changed.Orientation, Changed.Orientation)), 1e-5);
        kelvo::NormalizeQuaternion(Changed.Orientation);

        // Position is mapped as a point.
        vec3 Expected = {Affine[0], Affine[1], Affine[2]};
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 3; ++Column) {
                Expected[Row] += Linear[3 * Row + Column] * T.Position[Column];
            }
        }
        ExpectNear3(Expected, Changed.Position, 1e-4);

        // Linear part: L'.(M.v) = M.(L.v) for any direction v.
        vec3 const V = Random.Point();
        kelvo_real32 MV[3], Left[3], Right[3];
        ToReals(MV, V);
        kelvo::VectorTransform3x3(MV, Linear, MV);
        KelvoTransformVector(Left, &Changed, MV);
        ToReals(Right, ApplyReference(T, V, false));
        kelvo::VectorTransform3x3(Right, Linear, Right);
        ExpectNearArray(Right, Left, 3, 1e-3);

        // The composite form agrees with the record's.
        kelvo_real32 Composite[16], Expected4x4[16];
        KelvoBuildCompositeTransform4x4(&T, Composite);
        KelvoInPlaceSimilarityTransform4x3(Affine, Linear, InverseLinear, Composite);
        Changed.Flags = KelvoHasPosition | KelvoHasOrientation | KelvoHasScaleShear;
        KelvoBuildCompositeTransform4x4(&Changed, Expected4x4);
        ExpectNearArray(Expected4x4, Composite, 16, 1e-3);
    }
}

// ---- rays ------------------------------------------------------------------------

TEST_F(TransformTest, RaysAgainstPlanesAndSpheres) {
    kelvo_real32 const Up[3] = {0, 0, 1};
    kelvo_real32 const Origin[3] = {1, 2, 5};
    kelvo_real32 const Down[3] = {0, 0, -1};
    kelvo_real32 const Sideways[3] = {1, 0, 0};
    kelvo_real32 T = -1;
    EXPECT_EQ(1, KelvoRayIntersectsPlaneAt(Up, -2, Origin, Down, &T)); // plane z = 2
    EXPECT_FLOAT_EQ(3, T);
    EXPECT_EQ(-1, KelvoRayIntersectsPlaneAt(Up, -2, Origin, Up, &T));
    EXPECT_FLOAT_EQ(-3, T);
    EXPECT_EQ(0, KelvoRayIntersectsPlaneAt(Up, -2, Origin, Sideways, &T));

    kelvo_real32 const Center[3] = {1, 2, 0};
    kelvo_real32 In = 0, Out = 0;
    EXPECT_TRUE(KelvoRayIntersectsSphere(Center, 2, Origin, Down));
    EXPECT_EQ(1, KelvoRayIntersectsSphereAt(Center, 2, Origin, Down, &In, &Out));
    EXPECT_FLOAT_EQ(3, In);
    EXPECT_FLOAT_EQ(7, Out);
    EXPECT_EQ(-1, KelvoRayIntersectsSphereAt(Center, 2, Origin, Up, &In, &Out));
    EXPECT_FLOAT_EQ(-7, In);
    kelvo_real32 const Inside[3] = {1, 2, 1};
    EXPECT_EQ(1, KelvoRayIntersectsSphereAt(Center, 2, Inside, Down, &In, &Out));
    EXPECT_FLOAT_EQ(-1, In);
    EXPECT_FLOAT_EQ(3, Out);
    EXPECT_FALSE(KelvoRayIntersectsSphere(Center, 2, Origin, Sideways));
    EXPECT_EQ(0, KelvoRayIntersectsSphereAt(Center, 2, Origin, Sideways, &In, &Out));
}

TEST_F(TransformTest, RaysAgainstTurnedBoxes) {
    // Box [-1, 1] x [-2, 2] x [0, 3] in a frame turned 90 degrees about z and
    // moved to (10, 0, 0): its x axis is world y, its y axis world -x.
    kelvo_real32 const Turn[4] = {0, 0, std::sqrt(0.5f), std::sqrt(0.5f)};
    kelvo_real32 const Where[3] = {10, 0, 0};
    kelvo_transform Frame;
    KelvoSetTransform(&Frame, Where, Turn, Identity3x3);
    kelvo_real32 Box[16];
    KelvoBuildCompositeTransform4x4(&Frame, Box);
    kelvo_real32 const Min[3] = {-1, -2, 0}, Max[3] = {1, 2, 3};

    // Along world +x at height 1: enters the box's max-y face (world x = 8),
    // leaves its min-y face (world x = 12).
    kelvo_real32 const Origin[3] = {0, 0.5f, 1};
    kelvo_real32 const AlongX[3] = {1, 0, 0};
    EXPECT_TRUE(KelvoRayIntersectsBox(Box, Min, Max, Origin, AlongX));
    kelvo_box_intersection Hit;
    ASSERT_TRUE(KelvoRayIntersectsBoxAt(Box, Min, Max, Origin, AlongX, &Hit));
    EXPECT_NEAR(8, Hit.InT, 1e-5);
    EXPECT_NEAR(12, Hit.OutT, 1e-5);
    kelvo_real32 const MinusX[3] = {-1, 0, 0};
    ExpectNearArray(MinusX, Hit.InNormal, 3, 1e-6);
    ExpectNearArray(AlongX, Hit.OutNormal, 3, 1e-6);

    // Scaled axes double the box's extent along its own y (world x).
    kelvo_real32 Scaled[16];
    std::memcpy(Scaled, Box, sizeof(Box));
    for (int Index = 4; Index < 7; ++Index) {
        Scaled[Index] *= 2;
    }
    ASSERT_TRUE(KelvoRayIntersectsBoxAt(Scaled, Min, Max, Origin, AlongX, &Hit));
    EXPECT_NEAR(6, Hit.InT, 1e-5);
    EXPECT_NEAR(14, Hit.OutT, 1e-5);
    ExpectNearArray(MinusX, Hit.InNormal, 3, 1e-6);

    // Misses: above the box, pointing away, and parallel outside a slab.
    kelvo_real32 const Above[3] = {0, 0.5f, 4};
    EXPECT_FALSE(KelvoRayIntersectsBox(Box, Min, Max, Above, AlongX));
    EXPECT_FALSE(KelvoRayIntersectsBoxAt(Box, Min, Max, Above, AlongX, &Hit));
    EXPECT_FALSE(KelvoRayIntersectsBox(Box, Min, Max, Origin, MinusX));
    kelvo_real32 const Up[3] = {0, 0, 1};
    EXPECT_FALSE(KelvoRayIntersectsBox(Box, Min, Max, Origin, Up));

    // From inside: entry behind, exit ahead.
    kelvo_real32 const Inside[3] = {10, 0, 1};
    ASSERT_TRUE(KelvoRayIntersectsBoxAt(Box, Min, Max, Inside, Up, &Hit));
    EXPECT_NEAR(-1, Hit.InT, 1e-5);
    EXPECT_NEAR(2, Hit.OutT, 1e-5);
    ExpectNearArray(Up, Hit.OutNormal, 3, 1e-6);
}

TEST_F(TransformTest, RaysAgainstTriangles) {
    random_source Random;
    kelvo_real32 const V0[3] = {0, 0, 0}, V1[3] = {4, 0, 0}, V2[3] = {0, 2, 1};
    for (int Round = 0; Round < 20; ++Round) {
        // Aim at a known barycentric point from a known distance.
        kelvo_real32 const U = Random.Uniform(0.05f, 0.45f), V = Random.Uniform(0.05f, 0.45f);
        kelvo_real32 const Distance = Random.Uniform(-3, 3);
        kelvo_real32 const Normal[3] = {0, -4, 8}; // EdgeU x EdgeV
        kelvo_real32 Direction[3];
        do { // not grazing, so that t is well conditioned
            ToReals(Direction, Random.Point());
            kelvo::Normalize3(Direction);
        } while (std::fabs(kelvo::Dot3(Normal, Direction)) < 2);
        kelvo_real32 Origin[3];
        for (int Index = 0; Index < 3; ++Index) {
            kelvo_real32 const Target =
                V0[Index] + U * (V1[Index] - V0[Index]) + V * (V2[Index] - V0[Index]);
            Origin[Index] = Target - Distance * Direction[Index];
        }
        kelvo_triangle_intersection Hit;
        kelvo_int32 const Result =
            KelvoRayIntersectsTriangleAt(V0, V1, V2, Origin, Direction, &Hit);
        ASSERT_EQ(Distance >= 0 ? 1 : -1, Result);
        EXPECT_NEAR(Distance, Hit.T, 1e-4);
        EXPECT_NEAR(U, Hit.U, 1e-4);
        EXPECT_NEAR(V, Hit.V, 1e-4);
        EXPECT_EQ(kelvo::Dot3(Normal, Direction) > 0, Hit.Backfacing != 0);
        EXPECT_EQ(2.0f, Hit.EdgeV[1]);
    }
    kelvo_real32 const Down[3] = {0, 0, -1}, Sideways[3] = {1, 0, 0};
    kelvo_real32 const OverEdge[3] = {1, 0, 5}, Outside[3] = {3, 1, 5},
                       Level[3] = {-1, 0.5f, 0.25f};
    kelvo_triangle_intersection Hit;
    EXPECT_EQ(0, KelvoRayIntersectsTriangleAt(V0, V1, V2, OverEdge, Down, &Hit));
    EXPECT_EQ(0, KelvoRayIntersectsTriangleAt(V0, V1, V2, Outside, Down, &Hit));
    EXPECT_EQ(0, KelvoRayIntersectsTriangleAt(V0, V1, V2, Level, Sideways, &Hit));
}
