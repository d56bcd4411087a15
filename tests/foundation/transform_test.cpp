// Transforms, matrices, quaternions and ray tests, checked against
// computations done another way: points pushed through transforms one after
// the other, rotations by quaternion sandwich products in double precision,
// and geometry whose answer is known by construction.
#include "foundation/kelvo_math.h"
#include "kelvo_test.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>

class TransformTest : public KelvoTest {};

namespace {

using vec3 = std::array<double, 3>;
using quat = std::array<double, 4>;

quat Hamilton(quat A, quat B) {
    return {A[3] * B[0] + A[0] * B[3] + A[1] * B[2] - A[2] * B[1],
            A[3] * B[1] + A[1] * B[3] + A[2] * B[0] - A[0] * B[2],
            A[3] * B[2] + A[2] * B[3] + A[0] * B[1] - A[1] * B[0],
            A[3] * B[3] - A[0] * B[0] - A[1] * B[1] - A[2] * B[2]};
}

// q.(v, 0).conjugate(q) in double; q must be unit length.
vec3 RotateBySandwich(kelvo_real32 const *Q, vec3 V) {
    quat const Unit = {Q[0], Q[1], Q[2], Q[3]};
    quat const R = Hamilton(Hamilton(Unit, {V[0], V[1], V[2], 0}), {-Q[0], -Q[1], -Q[2], Q[3]});
    return {R[0], R[1], R[2]};
}

// R.(S.p) + P, the stretch applied as rows, the rotation as a sandwich.
vec3 ApplyReference(kelvo_transform const &T, vec3 P, bool WithPosition = true) {
    vec3 Stretched;
    for (int Row = 0; Row < 3; ++Row) {
        Stretched[Row] = T.ScaleShear[3 * Row] * P[0] + T.ScaleShear[3 * Row + 1] * P[1] +
                         T.ScaleShear[3 * Row + 2] * P[2];
    }
    vec3 Result = RotateBySandwich(T.Orientation, Stretched);
    for (int Index = 0; Index < 3 && WithPosition; ++Index) {
        Result[Index] += T.Position[Index];
    }
    return Result;
}

template <typename expected>
void ExpectNear(expected const &Expected, kelvo_real32 const *Actual, int Count, double Tolerance) {
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
        do {
            for (int Index = 0; Index < 4; ++Index) {
                Q[Index] = Uniform(-1, 1);
            }
        } while (kelvo::Dot4(Q, Q) < 0.01f);
        kelvo::NormalizeQuaternion(Q);
    }
    // Positive scales with some shear: well conditioned, determinant > 0.
    void Stretch(kelvo_real32 *S) {
        for (int Index = 0; Index < 9; ++Index) {
            S[Index] = Index % 4 == 0 ? Uniform(0.5f, 2) : Uniform(-0.3f, 0.3f);
        }
    }
    kelvo_transform Transform() {
        kelvo_real32 P[3] = {Uniform(-10, 10), Uniform(-10, 10), Uniform(-10, 10)}, Q[4], S[9];
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

    struct {
        kelvo_real32 Position[3], Orientation[4], ScaleShear[9];
        kelvo_uint32 Flags;
    } const Cases[] = {
        {{0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 0},
        {{0.0004f, 0.0004f, 0.0004f}, {0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, KelvoHasPosition},
        {{0, NAN, 0}, {0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, KelvoHasPosition},
        {{0, 0, 0}, {0, 0, 0, 1.00009f}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 0},
        {{0, 0, 0}, {0, 0, 0, 1.0002f}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, KelvoHasOrientation},
        {{0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1.0005f}, 0},
        {{0, 0, 0}, {0, 0, 0, 1}, {1, 0.0006f, 0, 0, 1, 0, 0, 0, 1.0005f}, KelvoHasScaleShear},
    };
    for (auto const &Case : Cases) {
        KelvoSetTransformWithIdentityCheck(&T, Case.Position, Case.Orientation, Case.ScaleShear);
        EXPECT_EQ(Case.Flags, T.Flags) << &Case - Cases;
        EXPECT_EQ(0, std::memcmp(Case.ScaleShear, T.ScaleShear, sizeof(T.ScaleShear)));
    }

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
        vec3 const P = Random.Point(), B = Random.Point();
        kelvo_real32 Source[3], Out[3], Transposed[3];
        ToReals(Source, P);
        KelvoTransformPoint(Out, &T, Source);
        ExpectNear(ApplyReference(T, P), Out, 3, 1e-4);
        KelvoTransformVector(Out, &T, Source);
        ExpectNear(ApplyReference(T, P, false), Out, 3, 1e-4);

        // The transposed form is the adjoint of the linear part: p.(L^T b) = (L p).b
        ToReals(Transposed, B);
        KelvoTransformVectorInPlaceTransposed(Transposed, &T);
        double const Left = P[0] * Transposed[0] + P[1] * Transposed[1] + P[2] * Transposed[2];
        EXPECT_NEAR(Out[0] * B[0] + Out[1] * B[1] + Out[2] * B[2], Left, 1e-3);
    }
    kelvo_real32 const Sheared[9] = {2, 5, 7, 0, 3, 11, 0, 0, 0.5f};
    kelvo_transform T;
    KelvoSetTransform(&T, Zero3, IdentityQ, Sheared);
    EXPECT_FLOAT_EQ(3, KelvoGetTransformDeterminant(&T)); // triangular: product of the diagonal
}

TEST_F(TransformTest, MultiplyAppliesTheRightOperandFirst) {
    random_source Random;
    for (int Round = 0; Round < 50; ++Round) {
        kelvo_transform A = Random.Transform(), B = Random.Transform(), AB;
        A.Flags = KelvoHasPosition;
        B.Flags = KelvoHasScaleShear;
        KelvoMultiply(&AB, &A, &B);
        EXPECT_EQ(unsigned(KelvoHasPosition | KelvoHasScaleShear), AB.Flags);

        kelvo_real32 Point[3], Twice[3], Once[3];
        ToReals(Point, Random.Point());
        KelvoTransformPoint(Twice, &B, Point);
        KelvoTransformPointInPlace(Twice, &A);
        KelvoTransformPoint(Once, &AB, Point);
        ExpectNear(Twice, Once, 3, 2e-4 * (1 + std::fabs(Twice[0]) + std::fabs(Twice[1])));

        // Every way of writing the product over its own operands agrees.
        kelvo_transform Aliased[4] = {A, B, A, B};
        KelvoMultiply(&Aliased[0], &Aliased[0], &B);
        KelvoMultiply(&Aliased[1], &A, &Aliased[1]);
        KelvoPostMultiplyBy(&Aliased[2], &B);
        KelvoPreMultiplyBy(&Aliased[3], &A);
        for (kelvo_transform const &Product : Aliased) {
            EXPECT_EQ(0, std::memcmp(&AB, &Product, sizeof(AB)));
        }
    }

    // Composing with the identity leaves every component exactly as it was.
    kelvo_transform A = Random.Transform(), Identity, Result;
    A.Flags = KelvoHasOrientation;
    KelvoMakeIdentity(&Identity);
    KelvoMultiply(&Result, &A, &Identity);
    EXPECT_EQ(0, std::memcmp(&A, &Result, sizeof(A)));
}

TEST_F(TransformTest, InverseUndoesTheTransform) {
    random_source Random;
    for (int Round = 0; Round < 50; ++Round) {
        kelvo_transform const T = Random.Transform();
        kelvo_transform Inverse, Product[2];
        KelvoBuildInverse(&Inverse, &T);
        kelvo_real32 Point[3], Back[3];
        ToReals(Point, Random.Point());
        KelvoTransformPoint(Back, &T, Point);
        KelvoTransformPointInPlace(Back, &Inverse);
        ExpectNear(Point, Back, 3, 5e-4);

        KelvoMultiply(&Product[0], &Inverse, &T);
        KelvoMultiply(&Product[1], &T, &Inverse);
        for (kelvo_transform const &Each : Product) {
            kelvo_real32 L[9];
            KelvoBuildCompositeTransform(&Each, 3, L);
            ExpectNear(Identity3x3, L, 9, 1e-4);
            ExpectNear(Zero3, Each.Position, 3, 1e-3);
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
        quat Q;
        double Length = 0;
        for (int Index = 0; Index < 4; ++Index) {
            Q[Index] = (1 - t) * double(A.Orientation[Index]) + t * double(B.Orientation[Index]);
            Length += Q[Index] * Q[Index];
        }
        for (int Index = 0; Index < 9; ++Index) {
            if (Index < 3) {
                EXPECT_NEAR((1 - t) * A.Position[Index] + t * B.Position[Index],
                            Result.Position[Index], 1e-5);
            }
            if (Index < 4) {
                EXPECT_NEAR(Q[Index] / std::sqrt(Length), Result.Orientation[Index], 1e-6);
            }
            EXPECT_NEAR((1 - t) * A.ScaleShear[Index] + t * B.ScaleShear[Index],
                        Result.ScaleShear[Index], 1e-6);
        }
    }

    // Clear flags mean identity whatever the records hold.
    A.Flags = B.Flags = KelvoHasPosition;
    KelvoLinearBlendTransform(&Result, &A, 0.5f, &B);
    EXPECT_EQ(unsigned(KelvoHasPosition), Result.Flags);
    ExpectNear(IdentityQ, Result.Orientation, 4, 0);
    ExpectNear(Identity3x3, Result.ScaleShear, 9, 0);
    A.Flags = B.Flags = KelvoHasOrientation;
    KelvoLinearBlendTransform(&A, &A, 0.5f, &B); // result aliasing an operand
    ExpectNear(Zero3, A.Position, 3, 0);

    // q and -q cancel at the midpoint; the blend still gives a rotation.
    for (int Index = 0; Index < 4; ++Index) {
        B.Orientation[Index] = -A.Orientation[Index];
    }
    KelvoLinearBlendTransform(&Result, &A, 0.5f, &B);
    ExpectNear(IdentityQ, Result.Orientation, 4, 0);
}

// ---- composite matrices ----------------------------------------------------------

TEST_F(TransformTest, CompositesMapRowVectorsLikeTheTransform) {
    random_source Random;
    for (int Round = 0; Round < 20; ++Round) {
        kelvo_transform const A = Random.Transform(), B = Random.Transform();
        kelvo_real32 MA[16], MB[16], M43[12];
        KelvoBuildCompositeTransform4x4(&A, MA);
        KelvoBuildCompositeTransform4x4(&B, MB);
        KelvoBuildCompositeTransform4x3(&A, M43);
        for (int Row = 0; Row < 4; ++Row) {
            EXPECT_EQ(Row == 3 ? 1.0f : 0.0f, MA[4 * Row + 3]);
            ExpectNear(MA + 4 * Row, M43 + 3 * Row, 3, 1e-5);
        }
        vec3 const P = Random.Point(), Expected = ApplyReference(A, P);
        for (int Column = 0; Column < 3; ++Column) {
            double const RowTimesMatrix =
                P[0] * MA[Column] + P[1] * MA[4 + Column] + P[2] * MA[8 + Column] + MA[12 + Column];
            EXPECT_NEAR(Expected[Column], RowTimesMatrix, 1e-4);
        }

        // Row vectors apply the left factor first: MA.MB is the matrix of B o A.
        kelvo_transform BA;
        KelvoMultiply(&BA, &B, &A);
        kelvo_real32 Expected4x4[16], Product[16];
        KelvoBuildCompositeTransform4x4(&BA, Expected4x4);
        KelvoColumnMatrixMultiply4x4(Product, MA, MB);
        ExpectNear(Expected4x4, Product, 16, 2e-4 * (1 + std::fabs(Expected4x4[12])));

        // The 4x3 products ignore whatever the fourth columns hold.
        kelvo_real32 Dirty[16], Affine[16], Transposed[12];
        std::memcpy(Dirty, MA, sizeof(Dirty));
        Dirty[3] = 5;
        Dirty[15] = 7;
        KelvoColumnMatrixMultiply4x3(Affine, Dirty, MB);
        ExpectNear(Product, Affine, 16, 1e-5 * (1 + std::fabs(Product[12])));
        KelvoColumnMatrixMultiply4x3Transpose(Transposed, Dirty, MB);
        for (int Index = 0; Index < 12; ++Index) {
            EXPECT_NEAR(Affine[4 * (Index % 4) + Index / 4], Transposed[Index], 1e-5);
        }
        KelvoColumnMatrixMultiply4x4(MA, MA, MB); // in place
        ExpectNear(Product, MA, 16, 1e-5);
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
    ExpectNear(Rigid, M, 16, 1e-6);

    // The strided form always includes it and touches nothing between groups.
    kelvo_real32 Groups[12];
    std::fill(Groups, Groups + 12, -99.0f);
    KelvoBuildCompositeTransform(&T, 4, Groups);
    kelvo_real32 const Columns[12] = {0, 2, 0, -99, -3, 0, 0, -99, 0, 0, 4, -99};
    ExpectNear(Columns, Groups, 12, 1e-6);
}

// ---- quaternions, matrices, polar decomposition -------------------------------------

TEST_F(TransformTest, QuaternionMatrixRoundTripInEveryBranch) {
    random_source Random;
    for (int Round = 0; Round < 43; ++Round) {
        kelvo_real32 Q[4];
        Random.UnitQuaternion(Q);
        if (Round >= 40) { // near half turns about each axis: trace <= 0
            kelvo_real32 const Other[4] = {0.1f, -0.2f, 0.15f, 0.05f};
            std::memcpy(Q, Other, sizeof(Q));
            Q[Round - 40] = 0.95f;
            kelvo::NormalizeQuaternion(Q);
        }
        kelvo_real32 R[9], Back[4];
        KelvoMatrixEqualsQuaternion3x3(R, Q);
        for (int Column = 0; Column < 3; ++Column) {
            vec3 Basis = {0, 0, 0};
            Basis[Column] = 1;
            vec3 const Image = RotateBySandwich(Q, Basis);
            for (int Row = 0; Row < 3; ++Row) {
                EXPECT_NEAR(Image[Row], R[3 * Row + Column], 1e-6);
            }
        }
        KelvoQuaternionEqualsMatrix3x3(Back, R);
        kelvo_real32 const Sign = kelvo::Dot4(Back, Q) < 0 ? -1.0f : 1.0f;
        for (int Index = 0; Index < 4; ++Index) {
            EXPECT_NEAR(Q[Index], Sign * Back[Index], 1e-5);
        }
    }
}

TEST_F(TransformTest, PolarDecompositionReconstructsTheSource) {
    random_source Random;
    kelvo_real32 Q[9], S[9], Check[9];
    for (int Round = 0; Round < 40; ++Round) {
        kelvo_real32 Source[9];
        for (kelvo_real32 &Value : Source) {
            Value = Random.Uniform(-2, 2);
        }
        double const Determinant = kelvo::MatrixDeterminant3x3(Source);
        if (std::fabs(Determinant) < 0.05) {
            continue;
        }
        ASSERT_TRUE(KelvoPolarDecompose(Source, 1e-5f, Q, S));
        kelvo::TransposeMatrixMultiply3x3(Check, Q, Q);
        ExpectNear(Identity3x3, Check, 9, 1e-4);
        EXPECT_NEAR(1.0, kelvo::MatrixDeterminant3x3(Q), 1e-4);
        EXPECT_EQ(Determinant < 0, kelvo::MatrixDeterminant3x3(S) < 0);
        kelvo::MatrixMultiply3x3(Check, Q, S);
        ExpectNear(Source, Check, 9, 1e-4);
    }

    // A rotation times a symmetric stretch gives both back.
    kelvo_real32 Rotation[9], Stretch[9] = {2, 0.3f, 0, 0.3f, 1, -0.2f, 0, -0.2f, 1.5f}, Source[9];
    kelvo_real32 Turn[4];
    Random.UnitQuaternion(Turn);
    KelvoMatrixEqualsQuaternion3x3(Rotation, Turn);
    kelvo::MatrixMultiply3x3(Source, Rotation, Stretch);
    EXPECT_TRUE(KelvoPolarDecompose(Source, 1e-5f, Q, S));
    ExpectNear(Rotation, Q, 9, 1e-4);
    ExpectNear(Stretch, S, 9, 1e-4);

    // Singular or broken input: the identity split, reported as not converged.
    kelvo_real32 const Flat[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};
    EXPECT_FALSE(KelvoPolarDecompose(Flat, 1e-5f, Q, S));
    ExpectNear(Identity3x3, Q, 9, 0);
    ExpectNear(Flat, S, 9, 0);
    kelvo_real32 const Broken[9] = {1, 0, 0, 0, NAN, 0, 0, 0, 1};
    EXPECT_FALSE(KelvoPolarDecompose(Broken, 1e-5f, Q, S));
    ExpectNear(Identity3x3, Q, 9, 0);
}

TEST_F(TransformTest, QuaternionHelpers) {
    // Continuity: each one is compared with its corrected predecessor; the
    // first is kept even with a negative w.
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
        bool const NearUnit = Scale < 1.05f && Scale > 0.94f;
        EXPECT_NEAR(1.0, Length, NearUnit ? 1e-4 : 1e-6) << Scale;
        EXPECT_EQ(NearUnit, Length < 1 - 1e-6) << Scale;
        EXPECT_NEAR(-7 * Q[0], Q[1], 1e-5);
    }

    // Rotation vector: b is a turned by 1.2 radians about (2, -1, 2)/3 in a's
    // frame, so the vector is that axis times 1.2.
    random_source Random;
    kelvo_real32 A[4], B[4], Vector[3];
    Random.UnitQuaternion(A);
    kelvo_real32 const Axis[3] = {2.0f / 3, -1.0f / 3, 2.0f / 3};
    kelvo_real32 const Turn[4] = {Axis[0] * std::sin(0.6f), Axis[1] * std::sin(0.6f),
                                  Axis[2] * std::sin(0.6f), std::cos(0.6f)};
    kelvo::QuaternionMultiply(B, A, Turn);
    kelvo::RotationVectorBetween(Vector, A, B);
    ExpectNear(vec3{1.2 * Axis[0], 1.2 * Axis[1], 1.2 * Axis[2]}, Vector, 3, 1e-5);
    kelvo::RotationVectorBetween(Vector, A, A);
    ExpectNear(Zero3, Vector, 3, 1e-6);

    // The 3x3 inverse, and leaving the output alone when there is none.
    kelvo_real32 M[9], Inverse[9], Product[9];
    Random.Stretch(M);
    ASSERT_TRUE(kelvo::MatrixInvert3x3(Inverse, M));
    kelvo::MatrixMultiply3x3(Product, M, Inverse);
    ExpectNear(Identity3x3, Product, 9, 1e-5);
    kelvo_real32 const Singular[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};
    std::memcpy(Product, M, sizeof(M));
    EXPECT_FALSE(kelvo::MatrixInvert3x3(Product, Singular));
    ExpectNear(M, Product, 9, 0);
}

// ---- change of basis ---------------------------------------------------------------

TEST_F(TransformTest, SimilarityTransformConjugatesTheLinearPart) {
    // Units and handedness change: uniform scale by 2, z mirrored, then turned.
    // (Only such maps keep M.R.M^-1 a rotation.)
    kelvo_real32 const Turn[4] = {0, std::sin(0.3f), 0, std::cos(0.3f)};
    kelvo_real32 const Mirror[9] = {2, 0, 0, 0, 2, 0, 0, 0, -2};
    kelvo_real32 const Affine[3] = {1, -2, 3};
    kelvo_real32 Linear[9], InverseLinear[9];
    KelvoMatrixEqualsQuaternion3x3(Linear, Turn);
    kelvo::MatrixMultiply3x3(Linear, Linear, Mirror);
    ASSERT_TRUE(kelvo::MatrixInvert3x3(InverseLinear, Linear));

    random_source Random;
    for (int Round = 0; Round < 20; ++Round) {
        kelvo_transform const T = Random.Transform();
        kelvo_transform Changed = T;
        for (kelvo_real32 &Component : Changed.Orientation) {
            Component *= 2; // a blended, non-unit quaternion keeps its length
        }
        Changed.Flags = KelvoHasOrientation;
        KelvoSimilarityTransform(&Changed, Affine, Linear, InverseLinear);
        EXPECT_EQ(unsigned(KelvoHasOrientation), Changed.Flags);
        EXPECT_NEAR(2.0, std::sqrt(kelvo::Dot4(Changed.Orientation, Changed.Orientation)), 1e-5);
        kelvo::NormalizeQuaternion(Changed.Orientation);

        // Position is mapped as a point.
        vec3 Expected = {Affine[0], Affine[1], Affine[2]};
        for (int Index = 0; Index < 9; ++Index) {
            Expected[Index / 3] += Linear[Index] * T.Position[Index % 3];
        }
        ExpectNear(Expected, Changed.Position, 3, 1e-4);

        // Linear part: L'.(M.v) = M.(L.v) for any direction v.
        vec3 const V = Random.Point();
        kelvo_real32 MV[3], Left[3], Right[3];
        ToReals(MV, V);
        kelvo::VectorTransform3x3(MV, Linear, MV);
        KelvoTransformVector(Left, &Changed, MV);
        ToReals(Right, ApplyReference(T, V, false));
        kelvo::VectorTransform3x3(Right, Linear, Right);
        ExpectNear(Right, Left, 3, 1e-3);

        // The composite form agrees with the record's.
        kelvo_real32 Composite[16], Expected4x4[16];
        KelvoBuildCompositeTransform4x4(&T, Composite);
        KelvoInPlaceSimilarityTransform4x3(Affine, Linear, InverseLinear, Composite);
        Changed.Flags = KelvoHasPosition | KelvoHasOrientation | KelvoHasScaleShear;
        KelvoBuildCompositeTransform4x4(&Changed, Expected4x4);
        ExpectNear(Expected4x4, Composite, 16, 1e-3);
    }
}

// ---- rays ------------------------------------------------------------------------

TEST_F(TransformTest, RaysAgainstPlanesAndSpheres) {
    kelvo_real32 const Up[3] = {0, 0, 1}, Down[3] = {0, 0, -1}, Sideways[3] = {1, 0, 0};
    kelvo_real32 const Origin[3] = {1, 2, 5}, Inside[3] = {1, 2, 1}, Center[3] = {1, 2, 0};
    kelvo_real32 T = 0, In = 0, Out = 0;
    EXPECT_EQ(1, KelvoRayIntersectsPlaneAt(Up, -2, Origin, Down, &T)); // plane z = 2
    EXPECT_FLOAT_EQ(3, T);
    EXPECT_EQ(-1, KelvoRayIntersectsPlaneAt(Up, -2, Origin, Up, &T));
    EXPECT_FLOAT_EQ(-3, T);
    EXPECT_EQ(0, KelvoRayIntersectsPlaneAt(Up, -2, Origin, Sideways, &T));

    EXPECT_TRUE(KelvoRayIntersectsSphere(Center, 2, Origin, Down));
    EXPECT_EQ(1, KelvoRayIntersectsSphereAt(Center, 2, Origin, Down, &In, &Out));
    EXPECT_FLOAT_EQ(3, In);
    EXPECT_FLOAT_EQ(7, Out);
    EXPECT_EQ(-1, KelvoRayIntersectsSphereAt(Center, 2, Origin, Up, &In, &Out));
    EXPECT_FLOAT_EQ(-7, In);
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
    kelvo_real32 Box[16], Scaled[16];
    KelvoBuildCompositeTransform4x4(&Frame, Box);
    kelvo_real32 const Min[3] = {-1, -2, 0}, Max[3] = {1, 2, 3};

    // Along world +x at height 1: enters the box's max-y face (world x = 8),
    // leaves its min-y face (world x = 12).
    kelvo_real32 const Origin[3] = {0, 0.5f, 1}, AlongX[3] = {1, 0, 0}, MinusX[3] = {-1, 0, 0};
    EXPECT_TRUE(KelvoRayIntersectsBox(Box, Min, Max, Origin, AlongX));
    kelvo_box_intersection Hit;
    ASSERT_TRUE(KelvoRayIntersectsBoxAt(Box, Min, Max, Origin, AlongX, &Hit));
    EXPECT_NEAR(8, Hit.InT, 1e-5);
    EXPECT_NEAR(12, Hit.OutT, 1e-5);
    ExpectNear(MinusX, Hit.InNormal, 3, 1e-6);
    ExpectNear(AlongX, Hit.OutNormal, 3, 1e-6);

    // Scaled axes double the box's extent along its own y (world x).
    std::memcpy(Scaled, Box, sizeof(Box));
    for (int Index = 4; Index < 7; ++Index) {
        Scaled[Index] *= 2;
    }
    ASSERT_TRUE(KelvoRayIntersectsBoxAt(Scaled, Min, Max, Origin, AlongX, &Hit));
    EXPECT_NEAR(6, Hit.InT, 1e-5);
    EXPECT_NEAR(14, Hit.OutT, 1e-5);
    ExpectNear(MinusX, Hit.InNormal, 3, 1e-6);

    // Misses: above the box, pointing away, and parallel outside a slab.
    kelvo_real32 const Above[3] = {0, 0.5f, 4}, Up[3] = {0, 0, 1};
    EXPECT_FALSE(KelvoRayIntersectsBox(Box, Min, Max, Above, AlongX));
    EXPECT_FALSE(KelvoRayIntersectsBoxAt(Box, Min, Max, Above, AlongX, &Hit));
    EXPECT_FALSE(KelvoRayIntersectsBox(Box, Min, Max, Origin, MinusX));
    EXPECT_FALSE(KelvoRayIntersectsBox(Box, Min, Max, Origin, Up));

    // From inside: entry behind, exit ahead.
    kelvo_real32 const Inside[3] = {10, 0, 1};
    ASSERT_TRUE(KelvoRayIntersectsBoxAt(Box, Min, Max, Inside, Up, &Hit));
    EXPECT_NEAR(-1, Hit.InT, 1e-5);
    EXPECT_NEAR(2, Hit.OutT, 1e-5);
    ExpectNear(Up, Hit.OutNormal, 3, 1e-6);
}

TEST_F(TransformTest, RaysAgainstTriangles) {
    random_source Random;
    kelvo_real32 const V0[3] = {0, 0, 0}, V1[3] = {4, 0, 0}, V2[3] = {0, 2, 1};
    kelvo_real32 const Normal[3] = {0, -4, 8}; // EdgeU x EdgeV
    kelvo_triangle_intersection Hit;
    for (int Round = 0; Round < 20; ++Round) {
        // Aim at a known barycentric point from a known distance, not grazing.
        kelvo_real32 const U = Random.Uniform(0.05f, 0.45f), V = Random.Uniform(0.05f, 0.45f);
        kelvo_real32 const Distance = Random.Uniform(-3, 3);
        kelvo_real32 Direction[3], Origin[3];
        do {
            ToReals(Direction, Random.Point());
            kelvo::Normalize3(Direction);
        } while (std::fabs(kelvo::Dot3(Normal, Direction)) < 2);
        for (int Index = 0; Index < 3; ++Index) {
            Origin[Index] = V0[Index] + U * (V1[Index] - V0[Index]) + V * (V2[Index] - V0[Index]) -
                            Distance * Direction[Index];
        }
        ASSERT_EQ(Distance >= 0 ? 1 : -1,
                  KelvoRayIntersectsTriangleAt(V0, V1, V2, Origin, Direction, &Hit));
        EXPECT_NEAR(Distance, Hit.T, 1e-4);
        EXPECT_NEAR(U, Hit.U, 1e-4);
        EXPECT_NEAR(V, Hit.V, 1e-4);
        EXPECT_EQ(kelvo::Dot3(Normal, Direction) > 0, Hit.Backfacing != 0);
        EXPECT_EQ(2.0f, Hit.EdgeV[1]);
    }
    // Edges miss, outside misses, parallel misses.
    kelvo_real32 const Down[3] = {0, 0, -1}, Sideways[3] = {1, 0, 0};
    kelvo_real32 const OverEdge[3] = {1, 0, 5}, Outside[3] = {3, 1, 5},
                       Level[3] = {-1, 0.5f, 0.25f};
    EXPECT_EQ(0, KelvoRayIntersectsTriangleAt(V0, V1, V2, OverEdge, Down, &Hit));
    EXPECT_EQ(0, KelvoRayIntersectsTriangleAt(V0, V1, V2, Outside, Down, &Hit));
    EXPECT_EQ(0, KelvoRayIntersectsTriangleAt(V0, V1, V2, Level, Sideways, &Hit));
}
