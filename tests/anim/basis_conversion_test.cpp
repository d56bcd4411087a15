// Basis conversion on the sample asset: computing the change, converting
// there and back, units, winding, morph curves and shared objects.
#include "anim/track_test_support.h"
#include "kelvo_test.h"
#include "kv2_sample_asset.h"

#include <string.h>

#include <memory>
#include <vector>

namespace {

struct basis {
    float UnitsPerMeter;
    float Origin[3], Right[3], Up[3], Back[3];
};

basis const YUp100 = {100, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
basis const ZUp1 = {1, {0, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, -1, 0}};
// Turned about z, mirrored, moved and in other units.
basis const Slanted = {2.5f, {1, 2, 3}, {0.6f, 0.8f, 0}, {-0.8f, 0.6f, 0}, {0, 0, -1}};

struct change {
    float Affine[3], Linear[9], Inverse[9];
};

bool Compute(kelvo_file_info const &Info, basis const &To, change &Result) {
    return KelvoComputeBasisConversion(&Info, To.UnitsPerMeter, To.Origin, To.Right, To.Up, To.Back,
                                       Result.Affine, Result.Linear, Result.Inverse);
}

void SetBasis(kelvo_art_tool_info &Tool, basis const &Basis) {
    Tool.UnitsPerMeter = Basis.UnitsPerMeter;
    memcpy(Tool.Origin, Basis.Origin, sizeof(Tool.Origin));
    memcpy(Tool.RightVector, Basis.Right, sizeof(Tool.RightVector));
    memcpy(Tool.UpVector, Basis.Up, sizeof(Tool.UpVector));
    memcpy(Tool.BackVector, Basis.Back, sizeof(Tool.BackVector));
}

// Converts the whole asset and records the new basis, as `kv2 basis` does.
void Convert(kv2::sample_asset &Asset, basis const &To, int Flags = 3) {
    change C;
    ASSERT_TRUE(Compute(Asset.FileInfo, To, C));
    ASSERT_TRUE(
        KelvoTransformFile(&Asset.FileInfo, C.Affine, C.Linear, C.Inverse, 0, 0.0001f, Flags));
    SetBasis(Asset.ArtToolInfo, To);
}

// The world matrices of the animated skeleton at time T (row vectors,
// placement last), from the tracks' curves.
std::vector<float> AnimatedWorld(kv2::sample_asset const &Asset, float T) {
    kelvo_track_group const &Group = Asset.TrackGroup;
    std::vector<float> Worlds;
    float Placement[16];
    KelvoBuildCompositeTransform4x4(&Asset.Model.InitialPlacement, Placement);
    for (int Bone = 0; Bone < Asset.Skeleton.BoneCount; ++Bone) {
        kelvo_transform_track const &Track = Group.TransformTracks[Bone];
        kelvo_transform Local;
        KelvoMakeIdentity(&Local);
        Local.Flags = KelvoHasPosition | KelvoHasOrientation;
        KelvoEvaluateCurveAtT(3, 0, 0, &Track.PositionCurve, 0, 1, T, Local.Position,
                              KelvoCurveIdentityPosition);
        KelvoEvaluateCurveAtT(4, 1, 0, &Track.OrientationCurve, 0, 1, T, Local.Orientation,
                              KelvoCurveIdentityOrientation);
        float World[16];
        KelvoBuildCompositeTransform4x4(&Local, World);
        int Parent = Asset.Bones[Bone].ParentIndex;
        KelvoColumnMatrixMultiply4x4(World, World, Parent < 0 ? Placement : &Worlds[16 * Parent]);
        Worlds.insert(Worlds.end(), World, World + 16);
    }
    return Worlds;
}

// Every number the conversion touches, in one list; the axis-aligned boxes
// only on request, since a slanted turn widens them each way.
std::vector<float> Snapshot(kv2::sample_asset const &Asset, bool WithBoxes = true) {
    std::vector<float> Values;
    auto Add = [&](float const *From, int Count) {
        Values.insert(Values.end(), From, From + Count);
    };
    for (kelvo_bone const &Bone : Asset.Bones) {
        Add(Bone.Transform.Position, 3);
        Add(Bone.Transform.Orientation, 4);
        Add(Bone.Transform.ScaleShear, 9);
        Add(Bone.InverseWorldTransform, 16);
    }
    for (int Index = 0; Index < 4; ++Index) {
        Add(Asset.Vertices[Index].Position, 3);
        Add(Asset.Vertices[Index].Normal, 3);
        Add(Asset.MorphVertices[Index].Position, 3);
    }
    for (kelvo_bone_binding const &Binding : Asset.BoneBindings) {
        if (!WithBoxes) {
            break;
        }
        Add(Binding.OBBMin, 3);
        Add(Binding.OBBMax, 3);
    }
    Add(Asset.Model.InitialPlacement.Position, 3);
    Add(Asset.Model.InitialPlacement.Orientation, 4);
    for (float T : {0.0f, 0.3f, 0.5f, 0.85f, 1.0f}) {
        std::vector<float> World = AnimatedWorld(Asset, T);
        Values.insert(Values.end(), World.begin(), World.end());
    }
    return Values;
}

void ExpectClose(std::vector<float> const &Actual, std::vector<float> const &Expected,
                 char const *What) {
    ASSERT_EQ(Actual.size(), Expected.size());
    for (size_t Index = 0; Index < Actual.size(); ++Index) {
        float Scale = std::fabs(Expected[Index]) > 1 ? std::fabs(Expected[Index]) : 1.0f;
        EXPECT_NEAR(Actual[Index], Expected[Index], 1e-5f * Scale) << What << " value " << Index;
    }
}

class BasisConversionTest : public KelvoTest {
  protected:
    // Shared position data that is not zero shows a curve changed twice.
    void SetUp() override {
        KelvoTest::SetUp();
        float const Held[3] = {0.5f, 0.25f, -1};
        memcpy(Asset.Origin.Controls, Held, sizeof(Held));
    }
    kv2::sample_asset Asset;
};

TEST_F(BasisConversionTest, ComputesTheChangeFromTheArtToolInfo) {
    change C;
    ASSERT_TRUE(Compute(Asset.FileInfo, ZUp1, C));
    float const Expected[9] = {0.01f, 0, 0, 0, 0, -0.01f, 0, 0.01f, 0};
    float const ExpectedInverse[9] = {100, 0, 0, 0, 0, 100, 0, -100, 0};
    for (int Index = 0; Index < 9; ++Index) {
        EXPECT_NEAR(C.Linear[Index], Expected[Index], 1e-7f) << Index;
        EXPECT_NEAR(C.Inverse[Index], ExpectedInverse[Index], 1e-3f) << Index;
    }
    // Back: z up goes to y up with a positive determinant.
    SetBasis(Asset.ArtToolInfo, ZUp1);
    ASSERT_TRUE(Compute(Asset.FileInfo, {1, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, C));
    float Up[3], Z[3] = {0, 0, 1};
    for (int Row = 0; Row < 3; ++Row) {
        Up[Row] =
            C.Linear[3 * Row] * Z[0] + C.Linear[3 * Row + 1] * Z[1] + C.Linear[3 * Row + 2] * Z[2];
    }
    EXPECT_EQ(std::vector<float>(Up, Up + 3), std::vector<float>({0, 1, 0}));
    float const *L = C.Linear;
    EXPECT_GT(L[0] * (L[4] * L[8] - L[5] * L[7]) - L[1] * (L[3] * L[8] - L[5] * L[6]) +
                  L[2] * (L[3] * L[7] - L[4] * L[6]),
              0);
    // The file's origin lands on the desired one.
    Asset.ArtToolInfo.Origin[0] = 4;
    ASSERT_TRUE(Compute(Asset.FileInfo, Slanted, C));
    float Moved[3];
    for (int Row = 0; Row < 3; ++Row) {
        Moved[Row] = C.Linear[3 * Row] * 4 + C.Affine[Row];
        EXPECT_NEAR(Moved[Row], Slanted.Origin[Row], 1e-5f) << Row;
    }
}

TEST_F(BasisConversionTest, RefusesWhatHasNoChange) {
    struct {
        char const *Message;
        void (*Spoil)(kv2::sample_asset &, basis &);
    } const Cases[] = {
        {"FileInfo.ArtToolInfo is not allowed to be 0",
         [](kv2::sample_asset &A, basis &) { A.FileInfo.ArtToolInfo = nullptr; }},
        {"Units per meter must be positive",
         [](kv2::sample_asset &A, basis &) { A.ArtToolInfo.UnitsPerMeter = 0; }},
        {"Units per meter must be positive",
         [](kv2::sample_asset &, basis &B) { B.UnitsPerMeter = -1; }},
        {"The change of basis is singular",
         [](kv2::sample_asset &, basis &B) { memcpy(B.Back, B.Up, sizeof(B.Back)); }},
    };
    for (auto const &Case : Cases) {
        kv2::sample_asset Spoilt;
        basis To = ZUp1;
        Case.Spoil(Spoilt, To);
        change C;
        memset(&C, 0x55, sizeof(C));
        change const Untouched = C;
        EXPECT_FALSE(Compute(Spoilt.FileInfo, To, C)) << Case.Message;
        EXPECT_EQ(memcmp(&C, &Untouched, sizeof(C)), 0) << Case.Message;
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoMathLogMessage, Case.Message);
    }
}

// There and back through axis swaps, and through a slanted, mirrored,
// moved basis (the nodding curve made exact first: a general turn requantizes
// a quantized curve to its own precision).
TEST_F(BasisConversionTest, ThereAndBackRestoresEverything) {
    for (basis const *Via : {&ZUp1, &Slanted}) {
        kv2::sample_asset Fresh;
        memcpy(Fresh.Origin.Controls, Asset.Origin.Controls, sizeof(Fresh.Origin.Controls));
        if (Via == &Slanted) {
            Fresh.TransformTracks[1].OrientationCurve = Fresh.TransformTracks[0].OrientationCurve;
        }
        std::vector<float> Before = Snapshot(Fresh, Via == &ZUp1);
        std::vector<kelvo_int32> Indices(Fresh.Indices, Fresh.Indices + 6);
        Convert(Fresh, *Via);
        Convert(Fresh, YUp100);
        ExpectClose(Snapshot(Fresh, Via == &ZUp1), Before, Via == &ZUp1 ? "z up" : "slanted");
        EXPECT_EQ(std::vector<kelvo_int32>(Fresh.Indices, Fresh.Indices + 6), Indices);
    }
}

TEST_F(BasisConversionTest, UnitsScalePositionsAndTranslationsOnly) {
    std::vector<float> Normals(&Asset.Vertices[0].Normal[0], &Asset.Vertices[0].Normal[3]);
    kelvo_transform Spine = Asset.Bones[1].Transform;
    float Sway[4];
    KelvoEvaluateCurveAtT(4, 0, 0, &Asset.TransformTracks[0].OrientationCurve, 0, 1, 0.3f, Sway,
                          KelvoCurveIdentityOrientation);
    Convert(Asset, {1, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    EXPECT_FLOAT_EQ(Asset.Vertices[2].Position[0], 0.01f);
    EXPECT_FLOAT_EQ(Asset.MorphVertices[2].Position[2], 0.0025f);
    EXPECT_EQ(std::vector<float>(&Asset.Vertices[0].Normal[0], &Asset.Vertices[0].Normal[3]),
              Normals);
    EXPECT_FLOAT_EQ(Asset.Bones[1].Transform.Position[1], 0.01f);
    EXPECT_FLOAT_EQ(Asset.Bones[2].InverseWorldTransform[13], -0.02f);
    EXPECT_EQ(memcmp(Asset.Bones[1].Transform.Orientation, Spine.Orientation, 16), 0);
    EXPECT_FLOAT_EQ(Asset.BoneBindings[1].OBBMax[1], 0.01f);
    // The held position is shared by four tracks and scaled once.
    EXPECT_FLOAT_EQ(Asset.Origin.Controls[0], 0.005f);
    EXPECT_FLOAT_EQ(Asset.Origin.Controls[2], -0.01f);
    float After[4];
    KelvoEvaluateCurveAtT(4, 0, 0, &Asset.TransformTracks[0].OrientationCurve, 0, 1, 0.3f, After,
                          KelvoCurveIdentityOrientation);
    ExpectClose(std::vector<float>(After, After + 4), std::vector<float>(Sway, Sway + 4), "sway");
}

// A mirror reverses each topology once, also one that two meshes share,
// and only when asked to; the shared vertices move once.
TEST_F(BasisConversionTest, MirrorsReverseSharedWindingOnce) {
    basis const Mirror = {100, {0, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    struct {
        int Flags;
        kelvo_int32 FirstTriangle[3];
    } const Cases[] = {{2, {2, 1, 0}}, {0, {0, 1, 2}}};
    for (auto const &Case : Cases) {
        kv2::sample_asset Fresh;
        kelvo_mesh Twin = Fresh.Mesh; // the same vertices and topology
        kelvo_mesh_slot Meshes[2] = {&Fresh.Mesh, &Twin};
        Fresh.FileInfo.Meshes = Meshes;
        Fresh.FileInfo.MeshCount = 2;
        Convert(Fresh, Mirror, Case.Flags);
        EXPECT_EQ(std::vector<kelvo_int32>(Fresh.Indices, Fresh.Indices + 3),
                  std::vector<kelvo_int32>(Case.FirstTriangle, Case.FirstTriangle + 3))
            << Case.Flags;
        EXPECT_FLOAT_EQ(Fresh.Vertices[1].Position[0], -1) << Case.Flags;
    }
}

// Morph curves of positions take the whole change, of normals the inverse
// transpose, of tangents the linear part; other sets are left alone.
TEST_F(BasisConversionTest, MorphCurvesFollowTheirSetNames) {
    struct {
        char const *Name;
        float Expected[3];
    } const Cases[] = {
        {"VertexMorphCurvePosition", {2 + 1, 1 + 2, 1 + 3}},
        {"VertexMorphCurveNormal", {0.5f, 1, 1}},
        {"VertexMorphCurveTangentBinormalCross", {0.5f, 1, 1}},
        {"VertexMorphCurveTangent", {2, 1, 1}},
        {"VertexMorphCurveBinormal", {2, 1, 1}},
        {"colors", {1, 1, 1}},
    };
    change const Stretch = {{1, 2, 3}, {2, 0, 0, 0, 1, 0, 0, 0, 1}, {0.5f, 0, 0, 0, 1, 0, 0, 0, 1}};
    for (auto const &Case : Cases) {
        owned_curve Curve(
            BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 3, {0, 1}, {1, 1, 1, 1, 1, 1}));
        kelvo_vertex_annotation_set Set = {Case.Name, KelvoCurve2Type, 1, Curve.get(), 0,
                                           0,         nullptr};
        kv2::sample_asset Fresh;
        Fresh.VertexData.VertexAnnotationSets = &Set;
        ASSERT_TRUE(KelvoTransformMesh(&Fresh.Mesh, Stretch.Affine, Stretch.Linear, Stretch.Inverse,
                                       0, 0.0001f, 0));
        float Value[3];
        KelvoEvaluateCurveAtT(3, 0, 0, Curve.get(), 0, 1, 0.5f, Value, KelvoCurveIdentityPosition);
        ExpectClose(std::vector<float>(Value, Value + 3),
                    std::vector<float>(Case.Expected, Case.Expected + 3), Case.Name);
    }
}

TEST_F(BasisConversionTest, ResortsEveryTrackGroupOfTheFile) {
    std::swap(Asset.TransformTracks[0], Asset.TransformTracks[2]);
    KelvoResortAllFileTrackGroups(&Asset.FileInfo);
    EXPECT_STREQ(Asset.TransformTracks[0].Name, "head");
    EXPECT_STREQ(Asset.TransformTracks[2].Name, "spine");
}

TEST_F(BasisConversionTest, ChangesNothingWithoutMemory) {
    change C;
    ASSERT_TRUE(Compute(Asset.FileInfo, Slanted, C));
    std::vector<float> Before = Snapshot(Asset);
    {
        failing_allocator Failing(1, true);
        EXPECT_FALSE(
            KelvoTransformFile(&Asset.FileInfo, C.Affine, C.Linear, C.Inverse, 0, 0.0001f, 3));
    }
    bool Reported = false;
    for (auto const &Message : TakeMessages()) {
        Reported = Reported || Message.Text.find("nothing was changed") != std::string::npos;
    }
    EXPECT_TRUE(Reported);
    EXPECT_EQ(Snapshot(Asset), Before);
}

} // namespace
