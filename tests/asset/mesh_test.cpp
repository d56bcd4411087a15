// Mesh accessors and copies, index widths, material remapping, winding
// inversion and bounding boxes.
#include "kelvo_test.h"

#include <cstring>
#include <vector>

namespace {

class MeshTest : public KelvoTest {};

// A mesh of two triangles over four vertices, with one morph target.
struct quad {
    kelvo_pnt332_vertex Vertices[4] = {{{0, 0, 0}, {0, 0, 1}, {0, 0}},
                                       {{1, 0, 0}, {0, 0, 1}, {1, 0}},
                                       {{1, 1, 0}, {0, 0, 1}, {1, 1}},
                                       {{0, 1, 0}, {0, 0, 1}, {0, 1}}};
    kelvo_p3_vertex Morph[4] = {{{0, 0, 1}}, {{1, 0, 1}}, {{1, 1, 1}}, {{0, 1, 1}}};
    kelvo_vertex_data Data = {KelvoPNT332VertexType, 4, Vertices, 0, nullptr, 0, nullptr};
    kelvo_vertex_data MorphData = {KelvoP3VertexType, 4, Morph, 0, nullptr, 0, nullptr};
    kelvo_morph_target Targets[1] = {{"lift", &MorphData}};
    kelvo_int32 Indices[6] = {0, 1, 2, 0, 2, 3};
    kelvo_int16 Indices16[6] = {0, 1, 2, 0, 2, 3};
    kelvo_tri_topology Topology = {};
    kelvo_bone_binding Bones[2] = {};
    kelvo_mesh Mesh = {};

    quad() {
        Mesh.Name = "quad";
        Mesh.PrimaryVertexData = &Data;
        Mesh.MorphTargetCount = 1;
        Mesh.MorphTargets = Targets;
        Mesh.PrimaryTopology = &Topology;
        Topology.IndexCount = 6;
        Topology.Indices = Indices;
    }
};

TEST_F(MeshTest, AccessorsReadTheVertexDataAndTopology) {
    quad Quad;
    kelvo_mesh const *Mesh = &Quad.Mesh;
    EXPECT_EQ(KelvoGetMeshVertexType(Mesh), KelvoPNT332VertexType);
    EXPECT_EQ(KelvoGetMeshVertexCount(Mesh), 4);
    EXPECT_EQ(KelvoGetMeshVertices(Mesh), (void *)Quad.Vertices);
    EXPECT_EQ(KelvoGetMeshMorphVertexType(Mesh, 0), KelvoP3VertexType);
    EXPECT_EQ(KelvoGetMeshMorphVertexCount(Mesh, 0), 4);
    EXPECT_EQ(KelvoGetMeshMorphVertices(Mesh, 0), (void *)Quad.Morph);
    for (kelvo_int32 Bad : {-1, 1}) {
        EXPECT_EQ(KelvoGetMeshMorphVertices(Mesh, Bad), nullptr);
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoMeshLogMessage,
                         "MorphTargetIndex " + std::to_string(Bad) + " is out of range [0, 1)");
    }

    // Rigid below two bone bindings.
    for (kelvo_int32 Bindings : {0, 1, 2}) {
        Quad.Mesh.BoneBindingCount = Bindings;
        Quad.Mesh.BoneBindings = Bindings ? Quad.Bones : nullptr;
        EXPECT_EQ(KelvoMeshIsRigid(Mesh), Bindings < 2) << Bindings;
    }

    // "Indices" wins when both forms are filled.
    struct {
        kelvo_int32 Count32, Count16, Bytes;
        void *Indices;
    } const Forms[] = {{6, 6, 4, Quad.Indices}, {0, 6, 2, Quad.Indices16}, {0, 0, 0, nullptr}};
    Quad.Topology.Indices16 = Quad.Indices16;
    for (auto const &Form : Forms) {
        Quad.Topology.IndexCount = Form.Count32;
        Quad.Topology.Index16Count = Form.Count16;
        EXPECT_EQ(KelvoGetMeshBytesPerIndex(Mesh), Form.Bytes);
        EXPECT_EQ(KelvoGetMeshIndices(Mesh), Form.Indices);
        EXPECT_EQ(KelvoGetMeshIndexCount(Mesh), Form.Bytes ? 6 : 0);
        EXPECT_EQ(KelvoGetMeshTriangleCount(Mesh), Form.Bytes ? 2 : 0);
    }
    Quad.Mesh.PrimaryVertexData = nullptr;
    Quad.Mesh.PrimaryTopology = nullptr;
    EXPECT_EQ(KelvoGetMeshVertexType(Mesh), nullptr);
    EXPECT_EQ(KelvoGetMeshVertexCount(Mesh), 0);
    EXPECT_EQ(KelvoGetMeshIndexCount(Mesh), 0);
}

TEST_F(MeshTest, CopiesConvertVerticesAndIndices) {
    quad Quad;
    kelvo_p3_vertex Positions[4];
    KelvoCopyMeshVertices(&Quad.Mesh, KelvoP3VertexType, Positions);
    EXPECT_EQ(Positions[2].Position[1], 1.0f);
    kelvo_pn33_vertex Lifted[4];
    KelvoCopyMeshMorphVertices(&Quad.Mesh, 0, KelvoPN33VertexType, Lifted);
    EXPECT_EQ(Lifted[3].Position[2], 1.0f);
    EXPECT_EQ(Lifted[3].Normal[2], 0.0f);
    kelvo_uint16 Narrow[6];
    KelvoCopyMeshIndices(&Quad.Mesh, 2, Narrow);
    EXPECT_EQ(Narrow[5], 3);

    kelvo_mesh Empty = {};
    Empty.Name = "empty";
    KelvoCopyMeshIndices(&Empty, 2, Narrow);
    ExpectLogged(KelvoErrorLogMessage, "Mesh \"empty\" has no indices.");
    KelvoCopyMeshVertices(&Empty, KelvoP3VertexType, Positions);
    ExpectLogged(KelvoErrorLogMessage, "Mesh \"empty\" has no vertices.");
    KelvoCopyMeshMorphVertices(&Empty, 0, KelvoP3VertexType, Positions);
    ExpectLogged(KelvoErrorLogMessage, "MorphTargetIndex 0 is out of range [0, 0)");
}

TEST_F(MeshTest, IndexWidthsWidenByZeroAndNarrowToTheLowBits) {
    kelvo_uint32 const Wide[3] = {70000, 255, 65535};
    kelvo_uint16 Half[3];
    KelvoConvertIndices(3, 4, Wide, 2, Half);
    EXPECT_EQ(Half[0], 4464);
    EXPECT_EQ(Half[2], 65535);
    kelvo_uint8 Bytes[3];
    KelvoConvertIndices(3, 2, Half, 1, Bytes);
    EXPECT_EQ(Bytes[0], 4464 & 0xff);
    EXPECT_EQ(Bytes[1], 255);
    kelvo_uint32 Back[3];
    KelvoConvertIndices(3, 2, Half, 4, Back);
    EXPECT_EQ(Back[2], 65535u); // zero-extended
    KelvoConvertIndices(3, 1, Bytes, 4, Back);
    EXPECT_EQ(Back[1], 255u);
    KelvoConvertIndices(3, 4, Wide, 4, Back);
    EXPECT_EQ(Back[0], 70000u);

    Back[0] = 7;
    KelvoConvertIndices(3, 3, Wide, 4, Back);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoMeshLogMessage,
                     "Illegal value for FromBytesPerIndex (3)");
    KelvoConvertIndices(3, 4, Wide, 8, Back);
    ExpectLogged(KelvoErrorLogMessage, "Illegal value for ToBytesPerIndex (8)");
    EXPECT_EQ(Back[0], 7u);
}

TEST_F(MeshTest, MaterialsRemapThroughTheTableAndKeepIndicesOutsideIt) {
    kelvo_tri_material_group Groups[3] = {{0, 0, 1}, {1, 1, 1}, {5, 2, 1}};
    kelvo_tri_topology Topology = {};
    Topology.GroupCount = 3;
    Topology.Groups = Groups;
    kelvo_int32 const Table[2] = {7, 3};
    KelvoRemapTopologyMaterials(&Topology, 2, Table);
    EXPECT_EQ(Groups[0].MaterialIndex, 7);
    EXPECT_EQ(Groups[1].MaterialIndex, 3);
    EXPECT_EQ(Groups[2].MaterialIndex, 5);
    ExpectLoggedFrom(KelvoWarningLogMessage, KelvoMeshLogMessage,
                     "tri_topology material group had out-of-range index 5 during remapping");
}

TEST_F(MeshTest, InvertedWindingSwapsCornersAndRenumbersSides) {
    quad Quad;
    kelvo_tri_topology &Topology = Quad.Topology;
    Topology.Index16Count = 6;
    Topology.Indices16 = Quad.Indices16;
    // Side 2 of triangle 0 (edge 2-0) meets side 0 of triangle 1 (edge 0-2).
    kelvo_int32 Sides[6] = {-1, -1, 1 * 4 + 0, 0 * 4 + 2, -1, -1};
    Topology.SideToNeighborCount = 6;
    Topology.SideToNeighborMap = Sides;
    KelvoInvertTriTopologyWinding(&Topology);
    kelvo_int32 const Indices[6] = {2, 1, 0, 3, 2, 0};
    EXPECT_EQ(memcmp(Quad.Indices, Indices, sizeof(Indices)), 0);
    EXPECT_EQ(Quad.Indices16[3], 3);
    // Now (2, 1, 0) and (3, 2, 0): the shared edge is side 2 of the first and
    // side 1 of the second.
    kelvo_int32 const Expected[6] = {-1, -1, 1 * 4 + 1, -1, 0 * 4 + 2, -1};
    EXPECT_EQ(memcmp(Sides, Expected, sizeof(Sides)), 0);
    KelvoInvertTriTopologyWinding(&Topology);
    kelvo_int32 const Original[6] = {-1, -1, 1 * 4 + 0, 0 * 4 + 2, -1, -1};
    EXPECT_EQ(memcmp(Sides, Original, sizeof(Sides)), 0);
    EXPECT_EQ(Quad.Indices[0], 0);
}

TEST_F(MeshTest, BoundingBoxesBoundTheMappedCorners) {
    kelvo_real32 const Affine[3] = {10, 0, 0};
    kelvo_real32 const Quarter[9] = {0, -1, 0, 1, 0, 0, 0, 0, 2}; // z scaled by 2
    kelvo_real32 Min[3] = {0, 0, -1}, Max[3] = {2, 1, 1};
    KelvoTransformBoundingBox(Affine, Quarter, Min, Max);
    kelvo_real32 const ExpectedMin[3] = {9, 0, -2}, ExpectedMax[3] = {10, 2, 2};
    EXPECT_EQ(memcmp(Min, ExpectedMin, sizeof(Min)), 0);
    EXPECT_EQ(memcmp(Max, ExpectedMax, sizeof(Max)), 0);
}

} // namespace
