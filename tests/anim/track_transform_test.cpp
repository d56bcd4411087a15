#include "anim/track_test_support.h"
#include "foundation/kelvo_math.h"
#include "kelvo_test.h"

namespace {

class TrackTransformTest : public KelvoTest {};

struct basis {
    char const *Name;
    float Linear[9];
    bool Permutation;
};

// An odd signed permutation with a uniform scale, and a general turn with scale.
basis const Bases[] = {
    {"axes swapped and flipped", {0, 0, -2, 2, 0, 0, 0, 2, 0}, true},
    {"turned", {0.8f, -0.6f, 0, 0.6f, 0.8f, 0, 0, 0, 1}, false},
    {"z up to y up", {1, 0, 0, 0, 0, 1, 0, -1, 0}, true},
};

using transform_function = void (*)(float const *, float const *, float const *, float,
                                    kelvo_curve2 *);

struct role_case {
    kelvo_data_type_definition const *Type;
    int Dimension;
    transform_function Transform;
    float Tolerance;
    bool PermutationOnly; // a format that cannot hold a general result
};

std::vector<float> ControlsFor(int Dimension, int Knots) {
    std::vector<float> Controls;
    for (int Knot = 0; Knot < Knots; ++Knot) {
        if (Dimension == 4) {
            std::vector<float> Q = Turn(0.4f + 0.7f * Knot);
            Controls.insert(Controls.end(), Q.begin(), Q.end());
        } else if (Dimension == 9) {
            float Diagonal[9] = {1.0f + Knot, 0, 0, 0, 2, 0, 0, 0, 0.5f + Knot};
            Controls.insert(Controls.end(), Diagonal, Diagonal + 9);
        } else {
            float Vector[3] = {1.0f + Knot, -2.0f * Knot, 0.5f};
            Controls.insert(Controls.end(), Vector, Vector + 3);
        }
    }
    return Controls;
}

void Reference(int Dimension, float const *Affine, float const *Linear, float const *Inverse,
               float *Value) {
    if (Dimension == 3)
        KelvoInPlaceSimilarityTransformPosition(Affine, Linear, Value);
    if (Dimension == 4)
        KelvoInPlaceSimilarityTransformOrientation(Linear, Inverse, Value);
    if (Dimension == 9)
        KelvoInPlaceSimilarityTransformScaleShear(Linear, Inverse, Value);
}

// Both paths give what transforming the evaluated values gives.
TEST_F(TrackTransformTest, CurvesFollowTheirValuesIntoTheNewBasis) {
    role_case const Roles[] = {
        {KelvoCurveDataDaK32fC32fType, 3, KelvoSimilarityTransformCurvePosition, 1e-4f, false},
        {KelvoCurveDataD3K16uC16uType, 3, KelvoSimilarityTransformCurvePosition, 2e-3f, false},
        {KelvoCurveDataDaK32fC32fType, 4, KelvoSimilarityTransformCurveQuaternion, 1e-4f, false},
        {KelvoCurveDataD4nK16uC15uType, 4, KelvoSimilarityTransformCurveQuaternion, 2e-3f, false},
        {KelvoCurveDataDaK32fC32fType, 9, KelvoSimilarityTransformCurveScaleShear, 1e-4f, false},
        {KelvoCurveDataD9I3K16uC16uType, 9, KelvoSimilarityTransformCurveScaleShear, 2e-3f, true},
    };
    float const Affine[3] = {1, -2, 3};
    for (basis const &Basis : Bases) {
        float Inverse[9];
        ASSERT_TRUE(kelvo::MatrixInvert3x3(Inverse, Basis.Linear));
        EXPECT_EQ(!KelvoBasisConversionRequiresCurveDecompression(Basis.Linear, Inverse, 1e-4f),
                  Basis.Permutation)
            << Basis.Name;
        for (role_case const &Role : Roles) {
            if (Role.PermutationOnly && !Basis.Permutation) {
                continue;
            }
            owned_curve Curve(BuildCurve(Role.Type, 2, Role.Dimension, EvenKnots(4, 1.0f),
                                         ControlsFor(Role.Dimension, 4)));
            std::vector<std::vector<float>> Expected;
            for (float Time : {0.0f, 0.3f, 0.77f, 1.0f}) {
                std::vector<float> Value(Role.Dimension);
                KelvoEvaluateCurveAtT(Role.Dimension, false, false, Curve.get(), false, 1, Time,
                                      Value.data(), nullptr);
                Reference(Role.Dimension, Affine, Basis.Linear, Inverse, Value.data());
                Expected.push_back(Value);
            }
            Role.Transform(Affine, Basis.Linear, Inverse, 1e-4f, Curve.get());
            int Sample = 0;
            for (float Time : {0.0f, 0.3f, 0.77f, 1.0f}) {
                std::vector<float> Value(Role.Dimension);
                KelvoEvaluateCurveAtT(Role.Dimension, false, false, Curve.get(), false, 1, Time,
                                      Value.data(), nullptr);
                // Quaternions q and -q are one rotation.
                float Sign =
                    Role.Dimension == 4 && kelvo::Dot4(Value.data(), Expected[Sample].data()) < 0
                        ? -1.0f
                        : 1.0f;
                for (int Lane = 0; Lane < Role.Dimension; ++Lane) {
                    EXPECT_NEAR(Sign * Value[Lane], Expected[Sample][Lane], Role.Tolerance * 10)
                        << Basis.Name << ", " << Role.Type->Name << " at " << Time << " [" << Lane
                        << "]";
                }
                ++Sample;
            }
        }
    }
}

TEST_F(TrackTransformTest, IdentityAndMismatchedCurvesAreRefused) {
    float const Affine[3] = {}, Linear[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    owned_curve Identity(IdentityCurve(3));
    KelvoSimilarityTransformCurvePosition(Affine, Linear, Linear, 0, Identity.get());
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoTrackGroupLogMessage,
                     "Curve is the identity value - can't transform it");
    owned_curve Position(BuildCurve(KelvoCurveDataD3Constant32fType, 0, 3, {}, {1, 2, 3}));
    KelvoSimilarityTransformCurveQuaternion(Affine, Linear, Linear, 0, Position.get());
    ExpectLogged(KelvoErrorLogMessage, "Curve does not have dimension=4");
    KelvoSimilarityTransformCurveScaleShear(Affine, Linear, Linear, 0, Position.get());
    ExpectLogged(KelvoErrorLogMessage, "Curve does not have dimension=9");
}

TEST_F(TrackTransformTest, TrackGroupsMoveTheirCurvesOnceWithTheirLoopAndPlacement) {
    basis const &Basis = Bases[0];
    float Inverse[9];
    kelvo::MatrixInvert3x3(Inverse, Basis.Linear);
    float const Affine[3] = {5, 0, 0};
    test_track Track("t", BuildCurve(KelvoCurveDataD3Constant32fType, 0, 3, {}, {1, 2, 3}),
                     IdentityCurve(4), IdentityCurve(9));
    kelvo_periodic_loop Loop = {1, 0.1f, 1, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    // Two tracks and the root motion share one curve's data: it moves once.
    kelvo_transform_track Tracks[2] = {Track.Track, Track.Track};
    kelvo_transform_track RootMotion = Track.Track;
    kelvo_track_group Group = {};
    Group.TransformTrackCount = 2;
    Group.TransformTracks = Tracks;
    Group.RootMotion = &RootMotion;
    Group.PeriodicLoop = &Loop;
    Group.LoopTranslation[0] = 1;
    KelvoMakeIdentity(&Group.InitialPlacement);
    KelvoSimilarityTransformTrackGroup(&Group, Affine, Basis.Linear, Inverse, 1e-4f);
    float Position[3];
    KelvoCurveExtractKnotValue(&Track.Track.PositionCurve, 0, Position, nullptr);
    EXPECT_EQ(std::vector<float>(Position, Position + 3), (std::vector<float>{-6, 2, 4}));
    EXPECT_EQ(std::vector<float>(Group.LoopTranslation, Group.LoopTranslation + 3),
              (std::vector<float>{0, 2, 0}));
    EXPECT_FLOAT_EQ(Loop.Radius, 2);
    EXPECT_FLOAT_EQ(Loop.dZ, 2);
    EXPECT_FLOAT_EQ(Loop.Axis[0], -1);
    EXPECT_FLOAT_EQ(Loop.BasisY[2], 1);
    EXPECT_FLOAT_EQ(Group.InitialPlacement.Position[0], 5);
}

} // namespace
