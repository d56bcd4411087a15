// The sample asset: a skinned quad on a three-bone skeleton with one short
// animation, small enough to read in `kv2 dump` and complete enough that
// every record of the asset tree appears at least once.
#include "kv2_sample_asset.h"

#include <string.h>

namespace kv2 {

namespace {

void Translation(kelvo_transform &Transform, kelvo_real32 X, kelvo_real32 Y, kelvo_real32 Z) {
    KelvoMakeIdentity(&Transform);
    Transform.Flags = KelvoHasPosition;
    Transform.Position[0] = X;
    Transform.Position[1] = Y;
    Transform.Position[2] = Z;
}

// The inverse of a pure translation by (0, Height, 0) as a row-vector matrix.
void InverseTranslation(kelvo_real32 (&Matrix)[16], kelvo_real32 Height) {
    memset(Matrix, 0, sizeof(Matrix));
    Matrix[0] = Matrix[5] = Matrix[10] = Matrix[15] = 1;
    Matrix[13] = -Height;
}

// A curve of Type with degree 2 over Knots (three of them), its data built
// into Memory.
void BuildInPlace(kelvo_data_type_definition const *Type, kelvo_int32 Dimension,
                  kelvo_real32 const *Controls, kelvo_real32 const *Knots, kelvo_curve2 &Curve,
                  void *Memory, kelvo_int32 Size) {
    kelvo_curve_builder *Builder = KelvoBeginCurve(Type, 2, Dimension, 3);
    KelvoPushCurveKnotArray(Builder, Knots);
    KelvoPushCurveControlArray(Builder, Controls);
    Curve = {{nullptr, nullptr}};
    if (KelvoGetResultingCurveDataSize(Builder) > Size) {
        KelvoAbortCurveBuilder(Builder);
        return;
    }
    KelvoEndCurveDataInPlace(Builder, &Curve, Memory);
}

void Vector3(kelvo_real32 (&Vector)[3], kelvo_real32 X, kelvo_real32 Y, kelvo_real32 Z) {
    Vector[0] = X;
    Vector[1] = Y;
    Vector[2] = Z;
}

} // namespace

sample_asset::sample_asset() {
    memset(static_cast<void *>(this), 0, sizeof(*this));

    ArtToolInfo.FromArtToolName = "kv2 sample builder";
    ArtToolInfo.ArtToolMajorRevision = 2;
    ArtToolInfo.ArtToolMinorRevision = 7;
    ArtToolInfo.UnitsPerMeter = 100;
    Vector3(ArtToolInfo.RightVector, 1, 0, 0);
    Vector3(ArtToolInfo.UpVector, 0, 1, 0);
    Vector3(ArtToolInfo.BackVector, 0, 0, 1);
    ArtToolNote = "built in code";
    ArtToolInfo.ExtendedData = {KelvoStringType, &ArtToolNote};
    ExporterInfo = {"kv2 make-sample", 1, 0, 0, 42, {nullptr, nullptr}};

    // A 2x2 texture of 32-bit pixels with its 1x1 MIP level.
    for (int Index = 0; Index < 16; ++Index) {
        LargeMIPPixels[Index] = (kelvo_uint8)(Index * 17);
    }
    memset(SmallMIPPixels, 0x80, sizeof(SmallMIPPixels));
    MIPLevels[0] = {8, 16, LargeMIPPixels};
    MIPLevels[1] = {4, 4, SmallMIPPixels};
    Image = {2, MIPLevels};
    Texture.FromFileName = "checker.tga";
    Texture.Width = Texture.Height = 2;
    Texture.Layout = {4, {16, 8, 0, 24}, {8, 8, 8, 8}};
    Texture.ImageCount = 1;
    Texture.Images = &Image;
    Textures[0] = &Texture;

    Diffuse.Name = "checker";
    Diffuse.Texture = &Texture;
    SkinMaps[0] = {"diffuse", &Diffuse};
    Skin.Name = "skin";
    Skin.MapCount = 1;
    Skin.Maps = SkinMaps;
    Materials[0] = &Skin;
    Materials[1] = &Diffuse;

    // root at the origin, spine one unit above it, head one more above.
    char const *const BoneNames[3] = {"root", "spine", "head"};
    for (int Index = 0; Index < 3; ++Index) {
        kelvo_bone &Bone = Bones[Index];
        Bone.Name = BoneNames[Index];
        Bone.ParentIndex = Index - 1;
        Translation(Bone.Transform, 0, Index == 0 ? 0.0f : 1.0f, 0);
        InverseTranslation(Bone.InverseWorldTransform, (kelvo_real32)Index);
        Bone.LODError = 0.5f / (kelvo_real32)(Index + 1);
    }
    Skeleton = {"sample_skeleton", 3, Bones, 1};
    Skeletons[0] = &Skeleton;

    // A unit quad facing +z, its top half weighted to the spine.
    kelvo_real32 const Corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (int Index = 0; Index < 4; ++Index) {
        kelvo_pwnt3432_vertex &Vertex = Vertices[Index];
        bool Top = Corners[Index][1] > 0;
        Vector3(Vertex.Position, Corners[Index][0], Corners[Index][1], 0);
        Vertex.BoneWeights[0] = Top ? 128 : 255;
        Vertex.BoneWeights[1] = Top ? 127 : 0;
        Vertex.BoneIndices[0] = 0;
        Vertex.BoneIndices[1] = 1;
        Vector3(Vertex.Normal, 0, 0, 1);
        Vertex.TextureCoordinates0[0] = Corners[Index][0];
        Vertex.TextureCoordinates0[1] = Corners[Index][1];
        Vector3(VertexColors[Index], Corners[Index][0], Corners[Index][1], 0.5f);
        VertexColorIndices[Index] = Index;
        Vector3(MorphVertices[Index].Position, Corners[Index][0], Corners[Index][1],
                Top ? 0.25f : 0.0f);
    }
    ComponentNames[0] = "Position";
    ComponentNames[1] = "BoneWeights";
    ComponentNames[2] = "BoneIndices";
    ComponentNames[3] = "Normal";
    ComponentNames[4] = "TextureCoordinates0";
    VertexAnnotations[0] = {"colors", KelvoTripleType, 4, VertexColors, 1, 4, VertexColorIndices};
    VertexData = {KelvoPWNT3432VertexType, 4, Vertices, 5, ComponentNames, 1, VertexAnnotations};
    MorphVertexData = {KelvoP3VertexType, 4, MorphVertices, 0, nullptr, 0, nullptr};
    VertexDatas[0] = &VertexData;
    VertexDatas[1] = &MorphVertexData;

    // Two triangles, one per material.
    kelvo_int32 const Triangles[6] = {0, 1, 2, 0, 2, 3};
    kelvo_int32 const Neighbors[6] = {-1, -1, 1, 0, -1, -1};
    for (int Index = 0; Index < 6; ++Index) {
        Indices[Index] = Triangles[Index];
        Indices16[Index] = (kelvo_int16)Triangles[Index];
        SideToNeighbor[Index] = Neighbors[Index];
    }
    for (int Index = 0; Index < 4; ++Index) {
        VertexToVertex[Index] = Index;
        VertexToTriangle[Index] = Index == 3 ? 1 : 0;
    }
    Groups[0] = {0, 0, 1};
    Groups[1] = {1, 1, 1};
    BonesForTriangle[0] = 0;
    BonesForTriangle[1] = 0;
    BonesForTriangle[2] = 1;
    TriangleToBone[0] = 0;
    TriangleToBone[1] = 1;
    TriangleIdentifiers[0] = 7;
    TriangleIdentifiers[1] = 8;
    // Annotated per triangle directly: no index map, so no indices.
    TriAnnotations[0] = {"identifiers", KelvoInt32Type, 2, TriangleIdentifiers, 0, 0, nullptr};
    Topology = {2, Groups,           6, Indices,          6, Indices16,
                4, VertexToVertex,   4, VertexToTriangle, 6, SideToNeighbor,
                3, BonesForTriangle, 2, TriangleToBone,   1, TriAnnotations};
    TriTopologies[0] = &Topology;

    MorphTargets[0] = {"smile", &MorphVertexData};
    MaterialBindings[0] = {&Skin};
    MaterialBindings[1] = {&Diffuse};
    RootTriangles[0] = 0;
    RootTriangles[1] = 1;
    SpineTriangles[0] = 1;
    BoneBindings[0] = {"root", {0, 0, 0}, {1, 0.5f, 0}, 2, RootTriangles};
    BoneBindings[1] = {"spine", {0, 0.5f, 0}, {1, 1, 0}, 1, SpineTriangles};
    Mesh = {"quad", &VertexData,      1, MorphTargets, &Topology,
            2,      MaterialBindings, 2, BoneBindings, {nullptr, nullptr}};
    Meshes[0] = &Mesh;

    MeshBindings[0] = {&Mesh};
    Model.Name = "sample_model";
    Model.Skeleton = &Skeleton;
    Translation(Model.InitialPlacement, 2, 0, 0);
    Model.MeshBindingCount = 1;
    Model.MeshBindings = MeshBindings;
    Models[0] = &Model;

    // The root sways and the spine nods once a second, the eyes blink; the
    // other curves are constants.
    kelvo_real32 const Time[3] = {0, 0.5f, 1};
    kelvo_real32 const Sways[12] = {0, 0, 0, 1, 0, 0.1f, 0, 0.995f, 0, 0, 0, 1};
    kelvo_real32 const Nods[12] = {0, 0, 0, 1, 0.2f, 0, 0, 0.98f, 0, 0, 0, 1};
    kelvo_real32 const Blinks[3] = {0, 1, 0};
    memcpy(Knots, Time, sizeof(Knots));
    memcpy(Controls, Sways, sizeof(Controls));
    kelvo_curve2 Swaying, Nodding, Blinking;
    KelvoCurveMakeStaticDaK32fC32f(&Swaying, &Sway, 3, 2, 4, Knots, Controls);
    BuildInPlace(KelvoCurveDataD4nK16uC15uType, 4, Nods, Knots, Nodding, Nod, sizeof(Nod));
    BuildInPlace(KelvoCurveDataDaK8uC8uType, 1, Blinks, Knots, Blinking, Blink, sizeof(Blink));
    Upright = {{5, 0}, 0, {0, 0, 0, 1}};
    Origin = {{4, 0}, 0, {0, 1, 0}}; // each bone held one unit above its parent
    kelvo_curve2 const Held = {{KelvoCurveDataD4Constant32fType, &Upright}};
    kelvo_curve2 const Still = {{KelvoCurveDataD3Constant32fType, &Origin}};
    VectorTracks[0] = {"blink", 1, Blinking};
    for (int Index = 0; Index < 3; ++Index) {
        kelvo_transform_track &Track = TransformTracks[Index];
        Track.Name = BoneNames[Index];
        Track.OrientationCurve = Index == 0 ? Swaying : Index == 1 ? Nodding : Held;
        Track.PositionCurve = Still;
        // Scale and shear stay the identity: no curve at all.
        LODErrors[Index] = Bones[Index].LODError;
    }
    RootMotion.Name = "root motion";
    RootMotion.PositionCurve = Still;
    Entries[0] = {0.0f, "step left"};
    Entries[1] = {0.5f, "step right"};
    TextTracks[0] = {"footsteps", 2, Entries};
    Loop = {1, 0.1f, 0, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    TrackGroup.Name = "sample_model"; // named for the model it animates
    TrackGroup.VectorTrackCount = 1;
    TrackGroup.VectorTracks = VectorTracks;
    TrackGroup.TransformTrackCount = 3;
    TrackGroup.TransformTracks = TransformTracks;
    TrackGroup.TransformLODErrorCount = 3;
    TrackGroup.TransformLODErrors = LODErrors;
    TrackGroup.TextTrackCount = 1;
    TrackGroup.TextTracks = TextTracks;
    KelvoMakeIdentity(&TrackGroup.InitialPlacement);
    Vector3(TrackGroup.LoopTranslation, 0, 0, 1);
    TrackGroup.PeriodicLoop = &Loop;
    TrackGroup.RootMotion = &RootMotion;
    TrackGroups[0] = &TrackGroup;

    Animation = {"sample_walk", 1.0f, 1.0f / 30.0f, 1.0f, 1, TrackGroups};
    Animations[0] = &Animation;

    FileInfo = {&ArtToolInfo,  &ExporterInfo,
                "sample.kv2",  1,
                Textures,      2,
                Materials,     1,
                Skeletons,     2,
                VertexDatas,   1,
                TriTopologies, 1,
                Meshes,        1,
                Models,        1,
                TrackGroups,   1,
                Animations,    {nullptr, nullptr}};
}

bool WriteSampleAsset(sample_asset &Asset, char const *FileName) {
    kelvo_file_data_tree_writer *Writer =
        KelvoBeginFileDataTreeWriting(KelvoFileInfoType, &Asset.FileInfo, 0, 0);
    if (!Writer) {
        return false;
    }
    bool Written = KelvoWriteDataTreeToFile(Writer, KelvoCurrentTypeTag,
                                            KelvoKVNFileMV_ThisPlatform, FileName, 1);
    KelvoEndFileDataTreeWriting(Writer);
    return Written;
}

} // namespace kv2
