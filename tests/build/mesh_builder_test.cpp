// The mesh builder: welding within tolerance, skin weights, material groups,
// the adjacency tables, the outputs, what it refuses, and tangent frames.
#include "kelvo_test.h"

#include "asset/kelvo_asset_check.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace {

class MeshBuilderTest : public KelvoTest {};

using vec3 = std::array<kelvo_real32, 3>;

// Real weights make the selection visible before any quantization.
kelvo_data_type_definition const RealWeightsLayout[] = {
    {KelvoReal32Member, "Position", nullptr, 3, {0, 0, 0}, 0},
    {KelvoReal32Member, "BoneWeights", nullptr, 2, {0, 0, 0}, 0},
    {KelvoUInt32Member, "BoneIndices", nullptr, 2, {0, 0, 0}, 0},
    {KelvoReal32Member, "Normal", nullptr, 3, {0, 0, 0}, 0},
    {KelvoReal32Member, "TextureCoordinates0", nullptr, 2, {0, 0, 0}, 0},
    {KelvoEndMember, nullptr, nullptr, 0, {0, 0, 0}, 0},
};
struct real_weights_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 BoneWeights[2];
    kelvo_uint32 BoneIndices[2];
    kelvo_real32 Normal[3];
    kelvo_real32 TextureCoordinates0[2];
};

struct corner {
    kelvo_int32 Vertex;
    vec3 Normal;
    kelvo_real32 U = 0, V = 0;
};

// Feeds a builder: every vertex at Positions, every triangle's corners with
// a normal and the first texture coordinates.
kelvo_mesh_builder *Feed(kelvo_data_type_definition const *Layout,
                         std::vector<vec3> const &Positions,
                         std::vector<std::array<corner, 3>> const &Triangles,
                         std::vector<kelvo_int32> const &Materials = {},
                         kelvo_int32 MaterialCount = 1) {
    kelvo_mesh_builder *Builder = KelvoBeginMesh(
        (kelvo_int32)Positions.size(), (kelvo_int32)Triangles.size(), MaterialCount, 1, Layout);
    for (vec3 const &P : Positions) {
        KelvoSetPosition(Builder, P[0], P[1], P[2]);
        KelvoPushVertex(Builder);
    }
    for (size_t Triangle = 0; Triangle < Triangles.size(); ++Triangle) {
        KelvoSetMaterial(Builder, Materials.empty() ? 0 : Materials[Triangle]);
        for (kelvo_int32 Corner = 0; Corner < 3; ++Corner) {
            corner const &C = Triangles[Triangle][Corner];
            KelvoSetVertexIndex(Builder, Corner, C.Vertex);
            KelvoSetNormal(Builder, Corner, C.Normal[0], C.Normal[1], C.Normal[2]);
            kelvo_real32 const UV[4] = {C.U, C.V, 0, 0};
            if (KelvoGetVertexChannelCount(Layout) > 0) {
                KelvoSetChannel(Builder, Corner, 0, UV);
            }
        }
        KelvoPushTriangle(Builder);
    }
    return Builder;
}

struct mesh_result {
    kelvo_vertex_data *Data = nullptr;
    kelvo_tri_topology *Topology = nullptr;
    mesh_result(kelvo_mesh_builder *Builder) {
        EXPECT_TRUE(KelvoEndMesh(Builder, &Data, &Topology));
    }
    ~mesh_result() {
        kelvo_allocate_callback *Allocate;
        kelvo_deallocate_callback *Deallocate;
        KelvoGetAllocator(&Allocate, &Deallocate);
        Deallocate(__FILE__, __LINE__, Data);
    }
    std::vector<kelvo_int32> Indices() const {
        return {Topology->Indices, Topology->Indices + Topology->IndexCount};
    }
    std::vector<kelvo_int32> Sides() const {
        return {Topology->SideToNeighborMap,
                Topology->SideToNeighborMap + Topology->SideToNeighborCount};
    }
};

vec3 const Up = {0, 0, 1};

TEST_F(MeshBuilderTest, CornersWeldWithinTolerance) {
    struct {
        char const *Name;
        kelvo_real32 NormalDelta, UDelta, ChannelTolerance;
        kelvo_int32 VertexCount;
    } const Cases[] = {
        {"normals 0.0005 apart", 0.0005f, 0, 0.001f, 5},
        {"normals 0.002 apart", 0.002f, 0, 0.001f, 6},
        {"texture coordinates 0.002 apart", 0, 0.002f, 0.001f, 6},
        {"within a wider channel tolerance", 0, 0.002f, 0.01f, 5},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::vector<vec3> Positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}};
        vec3 Bent = {0, Case.NormalDelta, 1};
        kelvo_mesh_builder *Builder = KelvoBeginMesh(5, 2, 1, 0, KelvoPNT332VertexType);
        KelvoSetChannelTolerance(Builder, 0, Case.ChannelTolerance);
        for (vec3 const &P : Positions) {
            KelvoSetPosition(Builder, P[0], P[1], P[2]);
            KelvoPushVertex(Builder);
        }
        std::array<corner, 3> const Triangles[] = {
            {{{0, Up}, {1, Up}, {2, Up}}},
            {{{0, Bent, Case.UDelta}, {3, Up}, {4, Up}}},
        };
        for (auto const &Triangle : Triangles) {
            for (kelvo_int32 Corner = 0; Corner < 3; ++Corner) {
                corner const &C = Triangle[Corner];
                kelvo_real32 const UV[4] = {C.U, 0, 0, 0};
                KelvoSetVertexIndex(Builder, Corner, C.Vertex);
                KelvoSetNormal(Builder, Corner, C.Normal[0], C.Normal[1], C.Normal[2]);
                KelvoSetChannel(Builder, Corner, 0, UV);
            }
            KelvoPushTriangle(Builder);
        }
        ASSERT_EQ(KelvoGetResultingVertexCount(Builder), Case.VertexCount);
        std::vector<kelvo_int32> Ring(Case.VertexCount);
        KelvoSerializeResultingCoincidentVertexMap(Builder, Ring.data());
        if (Case.VertexCount == 6) {
            EXPECT_EQ(KelvoGetOriginalVertex(Builder, 5), 0);
            EXPECT_EQ(Ring[0], 5);
            EXPECT_EQ(Ring[5], 0);
            std::vector<kelvo_pnt332_vertex> Vertices(6);
            KelvoSerializeResultingVertices(Builder, Vertices.data());
            EXPECT_EQ(Vertices[5].Normal[1], Case.NormalDelta);
            EXPECT_EQ(Vertices[5].TextureCoordinates0[0], Case.UDelta);
            EXPECT_EQ(Vertices[5].Position[0], 0);
        }
        mesh_result Result(Builder);
        // One material: the second triangle is stored first.
        EXPECT_EQ(Result.Indices()[0], Case.VertexCount == 6 ? 5 : 0);
    }
}

TEST_F(MeshBuilderTest, VerticesKeepTheHeaviestBonesNormalized) {
    struct {
        char const *Name;
        kelvo_data_type_definition const *Layout;
        std::vector<std::pair<kelvo_int32, kelvo_real32>> Weights;
        std::array<kelvo_uint32, 2> Bones;
        std::array<kelvo_real32, 2> Stored; // as the layout stores them
    } const Cases[] = {
        {"2, 7 and 9 in real weights",
         RealWeightsLayout,
         {{9, 0.25f}, {2, 0.5f}, {7, 0.5f}},
         {2, 7},
         {0.5f, 0.5f}},
        {"2, 7 and 9 in bytes",
         KelvoPWN323VertexType,
         {{2, 0.5f}, {7, 0.5f}, {9, 0.25f}},
         {2, 7},
         {128, 127}},
        {"equal weights: lower bones first",
         RealWeightsLayout,
         {{5, 0.4f}, {3, 0.3f}, {1, 0.3f}},
         {5, 1},
         {0.4f / 0.7f, 0.3f / 0.7f}},
        {"weights add up",
         RealWeightsLayout,
         {{4, 0.1f}, {6, 0.3f}, {4, 0.5f}},
         {4, 6},
         {0.6f / 0.9f, 0.3f / 0.9f}},
        {"no weight", RealWeightsLayout, {{3, 0}, {4, -1}}, {0, 0}, {1, 0}},
        {"no weight in bytes", KelvoPWN323VertexType, {}, {0, 0}, {255, 0}},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        kelvo_mesh_builder *Builder = KelvoBeginMesh(1, 0, 0, 10, Case.Layout);
        for (auto const &Weight : Case.Weights) {
            KelvoAddWeight(Builder, Weight.first, Weight.second);
        }
        KelvoPushVertex(Builder);
        if (Case.Layout == RealWeightsLayout) {
            real_weights_vertex Vertex;
            KelvoSerializeResultingVertices(Builder, &Vertex);
            EXPECT_EQ(Vertex.BoneIndices[0], Case.Bones[0]);
            EXPECT_EQ(Vertex.BoneIndices[1], Case.Bones[1]);
            EXPECT_FLOAT_EQ(Vertex.BoneWeights[0], Case.Stored[0]);
            EXPECT_FLOAT_EQ(Vertex.BoneWeights[1], Case.Stored[1]);
        } else {
            kelvo_pwn323_vertex Vertex;
            KelvoSerializeResultingVertices(Builder, &Vertex);
            EXPECT_EQ(Vertex.BoneIndices[0], Case.Bones[0]);
            EXPECT_EQ(Vertex.BoneIndices[1], Case.Bones[1]);
            EXPECT_EQ(Vertex.BoneWeights[0], Case.Stored[0]);
            EXPECT_EQ(Vertex.BoneWeights[1], Case.Stored[1]);
        }
        mesh_result Result(Builder);
    }
}

TEST_F(MeshBuilderTest, TrianglesAreGroupedByMaterialInReversePushOrder) {
    std::vector<vec3> Positions(5);
    kelvo_mesh_builder *Builder = Feed(KelvoPN33VertexType, Positions,
                                       {{{{0, Up}, {1, Up}, {2, Up}}},
                                        {{{1, Up}, {2, Up}, {3, Up}}},
                                        {{{2, Up}, {3, Up}, {4, Up}}}},
                                       {1, 0, 1}, 3);
    mesh_result Result(Builder);
    kelvo_tri_topology const &T = *Result.Topology;
    ASSERT_EQ(T.GroupCount, 2);
    EXPECT_EQ((std::array<kelvo_int32, 3>{T.Groups[0].MaterialIndex, T.Groups[0].TriFirst,
                                          T.Groups[0].TriCount}),
              (std::array<kelvo_int32, 3>{0, 0, 1}));
    EXPECT_EQ((std::array<kelvo_int32, 3>{T.Groups[1].MaterialIndex, T.Groups[1].TriFirst,
                                          T.Groups[1].TriCount}),
              (std::array<kelvo_int32, 3>{1, 1, 2}));
    EXPECT_EQ(Result.Indices(), (std::vector<kelvo_int32>{1, 2, 3, 2, 3, 4, 0, 1, 2}));
    // Each vertex names the stored triangle that made it.
    EXPECT_EQ(std::vector<kelvo_int32>(T.VertexToTriangleMap, T.VertexToTriangleMap + 5),
              (std::vector<kelvo_int32>{2, 2, 2, 0, 1}));
    EXPECT_EQ(T.Index16Count + T.BonesForTriangleCount + T.TriangleToBoneCount +
                  T.TriAnnotationSetCount,
              0);
}

TEST_F(MeshBuilderTest, SidesReferToTheirNeighbours) {
    std::vector<vec3> Positions(5);
    vec3 const Side = {1, 0, 0};
    struct {
        char const *Name;
        std::vector<std::array<corner, 3>> Triangles;
        std::vector<kelvo_int32> Sides;
    } const Cases[] = {
        {"two triangles sharing 1-2",
         {{{{0, Up}, {1, Up}, {2, Up}}}, {{{2, Up}, {1, Up}, {3, Up}}}},
         {0, 4, 2, 1, 5, 6}},
        // Split vertices still share the sides of their originals.
        {"shared through split vertices",
         {{{{0, Up}, {1, Up}, {2, Up}}}, {{{2, Side}, {1, Side}, {3, Up}}}},
         {0, 4, 2, 1, 5, 6}},
        {"three triangles on one side cycle in order",
         {{{{0, Up}, {1, Up}, {2, Up}}},
          {{{1, Up}, {0, Up}, {3, Up}}},
          {{{4, Up}, {0, Up}, {1, Up}}}},
         {4, 1, 2, 9, 5, 6, 8, 0, 10}},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        // One material each, so that the stored order is the push order.
        std::vector<kelvo_int32> Materials;
        for (size_t Index = 0; Index < Case.Triangles.size(); ++Index) {
            Materials.push_back((kelvo_int32)Index);
        }
        mesh_result Result(Feed(KelvoPN33VertexType, Positions, Case.Triangles, Materials,
                                (kelvo_int32)Materials.size()));
        EXPECT_EQ(Result.Sides(), Case.Sides);
    }
}

TEST_F(MeshBuilderTest, RefusesWhatItWasNotPromised) {
    kelvo_mesh_builder *Builder = KelvoBeginMesh(3, 1, 1, 2, KelvoPWN323VertexType);
    kelvo_real32 const Inf = INFINITY, NaN = NAN;
    for (int Vertex = 0; Vertex < 3; ++Vertex) {
        KelvoPushVertex(Builder);
    }
    struct {
        char const *Message;
        void (*Act)(kelvo_mesh_builder *, kelvo_real32, kelvo_real32);
    } const Cases[] = {
        {"PushVertex called after all 3 announced vertices were pushed",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) { KelvoPushVertex(B); }},
        {"BoneIndex 2 is out of range [0, 2)",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) { KelvoAddWeight(B, 2, 1); }},
        {"Weight is not finite",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32 N) { KelvoAddWeight(B, 0, N); }},
        {"Position is not finite",
         [](kelvo_mesh_builder *B, kelvo_real32 I, kelvo_real32) { KelvoSetPosition(B, 0, I, 0); }},
        {"Normal is not finite", [](kelvo_mesh_builder *B, kelvo_real32,
                                    kelvo_real32 N) { KelvoSetNormal(B, 0, N, 0, 0); }},
        {"Corner 3 is out of range [0, 3)",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) { KelvoSetVertexIndex(B, 3, 0); }},
        {"MaterialIndex 1 is out of range [0, 1)",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) { KelvoSetMaterial(B, 1); }},
        {"Channel 0 is out of range [0, 0)",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) {
             kelvo_real32 const Values[4] = {};
             KelvoSetChannel(B, 0, 0, Values);
         }},
        {"VertexIndex 3 is out of range [0, 3)",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) {
             KelvoSetVertexIndex(B, 2, 3);
             KelvoPushTriangle(B);
             KelvoSetVertexIndex(B, 2, 2);
         }},
        {"ChannelCount == GetVertexComponentCount(Builder.VertexType) was not true",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) {
             char const *Names[2] = {"a", "b"};
             KelvoSetVertexChannelComponentNames(B, 2, Names);
         }},
        {"PushVertex called after the first triangle",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) {
             KelvoPushTriangle(B);
             KelvoPushVertex(B);
         }},
        {"PushTriangle called after all 1 announced triangles were pushed",
         [](kelvo_mesh_builder *B, kelvo_real32, kelvo_real32) { KelvoPushTriangle(B); }},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Message);
        Case.Act(Builder, Inf, NaN);
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoVertexLayoutLogMessage, Case.Message);
        EXPECT_LE(KelvoGetResultingVertexCount(Builder), 3);
    }
    mesh_result Result(Builder);
    EXPECT_EQ(Result.Data->VertexCount, 3);
    EXPECT_EQ(Result.Topology->IndexCount, 3);
    EXPECT_EQ(KelvoBeginMesh(1, 1, 1, 1, nullptr), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "VertexType is not allowed to be 0");
}

// Corners of random triangles over few original vertices; each corner's
// normal is one of a palette of directions far apart, jittered by much less
// than the tolerance, so the vertices the builder must make are exactly the
// (original vertex, palette entry) pairs the corners use.
TEST_F(MeshBuilderTest, RandomSoupWeldsToTheBruteForceVertices) {
    std::mt19937 Random(7);
    std::uniform_real_distribution<kelvo_real32> Jitter(-0.0002f, 0.0002f);
    vec3 const Palette[] = {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}, {0.6f, 0.8f, 0}, {0, -0.6f, 0.8f}};
    kelvo_int32 const VertexCount = 60, TriangleCount = 500;
    std::vector<vec3> Positions(VertexCount);
    for (auto &P : Positions) {
        P = {(kelvo_real32)(Random() % 100), (kelvo_real32)(Random() % 100), 0};
    }
    std::vector<std::array<corner, 3>> Triangles(TriangleCount);
    std::vector<std::array<int, 3>> Choices(TriangleCount);
    for (int T = 0; T < TriangleCount; ++T) {
        for (int C = 0; C < 3; ++C) {
            int Choice = (int)(Random() % 5);
            vec3 N = Palette[Choice];
            for (auto &Axis : N) {
                Axis += Jitter(Random);
            }
            Triangles[T][C] = {(kelvo_int32)(Random() % VertexCount), N};
            Choices[T][C] = Choice;
        }
    }
    kelvo_mesh_builder *Builder = Feed(KelvoPN33VertexType, Positions, Triangles);
    std::set<std::pair<int, int>> Expected;
    std::map<std::pair<int, int>, kelvo_int32> VertexOf;
    std::vector<std::array<kelvo_int32, 3>> Pushed(TriangleCount);
    for (int T = 0; T < TriangleCount; ++T) {
        for (int C = 0; C < 3; ++C) {
            Expected.insert({Triangles[T][C].Vertex, Choices[T][C]});
        }
    }
    kelvo_int32 Unused = 0;
    for (kelvo_int32 V = 0; V < VertexCount; ++V) {
        bool Used = false;
        for (auto const &Pair : Expected) {
            Used = Used || Pair.first == V;
        }
        Unused += !Used;
    }
    kelvo_int32 const Count = KelvoGetResultingVertexCount(Builder);
    ASSERT_EQ(Count, (kelvo_int32)Expected.size() + Unused);
    std::vector<kelvo_int32> Ring(Count);
    KelvoSerializeResultingCoincidentVertexMap(Builder, Ring.data());
    for (kelvo_int32 Original = 0; Original < VertexCount; ++Original) {
        std::set<kelvo_int32> Copies, Walked;
        for (kelvo_int32 V = 0; V < Count; ++V) {
            if (KelvoGetOriginalVertex(Builder, V) == Original) {
                Copies.insert(V);
            }
        }
        kelvo_int32 At = Original;
        do {
            ASSERT_TRUE(Walked.insert(At).second) << "ring " << Original << " loops early";
            At = Ring[At];
        } while (At != Original);
        EXPECT_EQ(Walked, Copies) << Original;
    }
    // Every corner landed on a vertex of its original and its palette entry.
    mesh_result Result(Builder);
    std::vector<kelvo_int32> const Indices = Result.Indices();
    auto const *Vertices = static_cast<kelvo_pn33_vertex const *>(Result.Data->Vertices);
    for (int Stored = 0; Stored < TriangleCount; ++Stored) {
        int T = TriangleCount - 1 - Stored; // one material: reverse push order
        for (int C = 0; C < 3; ++C) {
            kelvo_pn33_vertex const &V = Vertices[Indices[Stored * 3 + C]];
            EXPECT_EQ(V.Position[0], Positions[Triangles[T][C].Vertex][0]);
            for (int Axis = 0; Axis < 3; ++Axis) {
                EXPECT_NEAR(V.Normal[Axis], Palette[Choices[T][C]][Axis], 0.0005f);
            }
        }
    }
    // Sides over the same pair of originals form one cycle in stored order.
    std::map<std::pair<int, int>, std::vector<kelvo_int32>> SidesOf;
    for (int Side = 0; Side < TriangleCount * 3; ++Side) {
        int A = Triangles[TriangleCount - 1 - Side / 3][Side % 3].Vertex;
        int B = Triangles[TriangleCount - 1 - Side / 3][(Side % 3 + 1) % 3].Vertex;
        SidesOf[{std::min(A, B), std::max(A, B)}].push_back(Side / 3 * 4 + Side % 3);
    }
    std::vector<kelvo_int32> const Sides = Result.Sides();
    for (auto const &Key : SidesOf) {
        auto const &List = Key.second;
        for (size_t Index = 0; Index < List.size(); ++Index) {
            EXPECT_EQ(Sides[List[Index] / 4 * 3 + List[Index] % 4],
                      List[(Index + 1) % List.size()]);
        }
    }
}

TEST_F(MeshBuilderTest, OutputsCarryTheLayoutNamesAndPassTheAssetCheck) {
    kelvo_mesh_builder *Builder =
        Feed(KelvoPNT332VertexType, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 5, 5}},
             {{{{0, Up}, {1, Up}, {2, Up}}}});
    EXPECT_EQ(KelvoGetChannelComponentCount(Builder, 0), 4);
    char const *Names[3] = {"pos", nullptr, "map1"};
    KelvoSetVertexChannelComponentNames(Builder, 3, Names);
    kelvo_int32 DataSize = KelvoGetResultingVertexDataSize(Builder);
    kelvo_int32 TopologySize = KelvoGetResultingTopologySize(Builder);
    std::vector<kelvo_uint64> DataMemory(DataSize / 8 + 1), TopologyMemory(TopologySize / 8 + 1);
    kelvo_vertex_data *Data;
    kelvo_tri_topology *Topology;
    ASSERT_TRUE(
        KelvoEndMeshInPlace(Builder, DataMemory.data(), &Data, TopologyMemory.data(), &Topology));
    EXPECT_TRUE(KelvoDataTypesAreEqualWithNames(Data->VertexType, KelvoPNT332VertexType));
    EXPECT_NE(Data->VertexType, KelvoPNT332VertexType);
    EXPECT_STREQ(KelvoGetVertexComponentToolName("Position", Data), "pos");
    EXPECT_STREQ(KelvoGetVertexComponentToolName("Normal", Data), "");
    EXPECT_STREQ(KelvoGetVertexComponentToolName("TextureCoordinates0", Data), "map1");
    EXPECT_EQ(Data->VertexAnnotationSetCount, 0);
    // The unused fourth vertex is its own ring and was made by no triangle.
    EXPECT_EQ(Topology->VertexToVertexMap[3], 3);
    EXPECT_EQ(Topology->VertexToTriangleMap[3], -1);

    kelvo_mesh Mesh = {};
    Mesh.PrimaryVertexData = Data;
    Mesh.PrimaryTopology = Topology;
    kelvo_vertex_data_slot Datas[] = {Data};
    kelvo_tri_topology_slot Topologies[] = {Topology};
    kelvo_mesh_slot Meshes[] = {&Mesh};
    kelvo_file_info Info = {};
    Info.VertexDataCount = 1;
    Info.VertexDatas = Datas;
    Info.TriTopologyCount = 1;
    Info.TriTopologies = Topologies;
    Info.MeshCount = 1;
    Info.Meshes = Meshes;
    EXPECT_TRUE(kelvo::CheckAssetTree(&Info));
}

// Frames must be orthonormal, the tangent must follow growing u, and the
// cross member must be +Normal for right-handed and -Normal for mirrored
// mappings.
void ExpectFrames(std::vector<kelvo_pngbt33332_vertex> const &Vertices,
                  std::vector<vec3> const &ExpectedTangents,
                  std::vector<kelvo_real32> const &Handedness) {
    for (size_t Index = 0; Index < Vertices.size(); ++Index) {
        SCOPED_TRACE(Index);
        kelvo_pngbt33332_vertex const &V = Vertices[Index];
        kelvo_real32 const *N = V.Normal, *T = V.Tangent, *B = V.Binormal;
        auto Dot = [](kelvo_real32 const *A, kelvo_real32 const *C) {
            return A[0] * C[0] + A[1] * C[1] + A[2] * C[2];
        };
        EXPECT_NEAR(Dot(T, T), 1, 1e-4f);
        EXPECT_NEAR(Dot(B, B), 1, 1e-4f);
        EXPECT_NEAR(Dot(T, N), 0, 1e-4f);
        EXPECT_NEAR(Dot(B, N), 0, 1e-4f);
        EXPECT_NEAR(Dot(T, B), 0, 1e-4f);
        kelvo_real32 const Cross[3] = {T[1] * B[2] - T[2] * B[1], T[2] * B[0] - T[0] * B[2],
                                       T[0] * B[1] - T[1] * B[0]};
        EXPECT_NEAR(Dot(Cross, N), Handedness[Index], 1e-4f);
        if (!ExpectedTangents.empty()) {
            EXPECT_GT(Dot(T, ExpectedTangents[Index].data()), 0.99f);
        }
    }
}

TEST_F(MeshBuilderTest, TangentFramesOnAMirroredQuad) {
    // Two triangles meeting at x = 1 whose u runs back down on the right:
    // the seam vertices split and every frame keeps its own handedness.
    std::vector<vec3> Positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0},
                                   {0, 1, 0}, {2, 0, 0}, {2, 1, 0}};
    kelvo_mesh_builder *Builder = Feed(KelvoPNGBT33332VertexType, Positions,
                                       {{{{0, Up, 0, 0}, {1, Up, 1, 0}, {2, Up, 1, 1}}},
                                        {{{0, Up, 0, 0}, {2, Up, 1, 1}, {3, Up, 0, 1}}},
                                        {{{1, Up, 1, 0}, {4, Up, 0, 0}, {5, Up, 0, 1}}},
                                        {{{1, Up, 1, 0}, {5, Up, 0, 1}, {2, Up, 1, 1}}}});
    KelvoGenerateTangentSpaceFromUVs(Builder);
    kelvo_int32 Count = KelvoGetResultingVertexCount(Builder);
    ASSERT_EQ(Count, 8);
    std::vector<kelvo_pngbt33332_vertex> Vertices(Count);
    KelvoSerializeResultingVertices(Builder, Vertices.data());
    vec3 const Right = {1, 0, 0}, Left = {-1, 0, 0};
    ExpectFrames(Vertices, {Right, Right, Right, Right, Left, Left, Left, Left},
                 {1, 1, 1, 1, -1, -1, -1, -1});
    for (kelvo_int32 Split : {6, 7}) {
        EXPECT_LT(KelvoGetOriginalVertex(Builder, Split), 3);
        EXPECT_GT(KelvoGetOriginalVertex(Builder, Split), 0);
    }
    mesh_result Result(Builder);
    // Stored in reverse push order: the mirrored triangles come first.
    std::vector<kelvo_int32> const Indices = Result.Indices();
    for (size_t Corner = 0; Corner < Indices.size(); ++Corner) {
        EXPECT_EQ(Vertices[Indices[Corner]].Tangent[0] > 0, Corner >= 6) << Corner;
    }
}

TEST_F(MeshBuilderTest, TangentFramesOnAUVSphere) {
    int const Rings = 12, Segments = 16;
    std::vector<vec3> Positions;
    std::vector<std::array<corner, 3>> Triangles;
    auto Index = [&](int R, int S) { return R * (Segments + 1) + S; };
    for (int R = 0; R <= Rings; ++R) {
        for (int S = 0; S <= Segments; ++S) {
            kelvo_real32 Theta = 3.14159265f * R / Rings, Phi = 6.2831853f * S / Segments;
            Positions.push_back({sinf(Theta) * cosf(Phi), sinf(Theta) * sinf(Phi), cosf(Theta)});
        }
    }
    auto Corner = [&](int R, int S) {
        vec3 const &P = Positions[Index(R, S)];
        return corner{Index(R, S), P, (kelvo_real32)S / Segments, 1 - (kelvo_real32)R / Rings};
    };
    for (int R = 1; R < Rings - 1; ++R) { // poles left out: their u is undefined
        for (int S = 0; S < Segments; ++S) {
            Triangles.push_back({Corner(R, S), Corner(R + 1, S), Corner(R + 1, S + 1)});
            Triangles.push_back({Corner(R, S), Corner(R + 1, S + 1), Corner(R, S + 1)});
        }
    }
    kelvo_mesh_builder *Builder = Feed(KelvoPNGBT33332VertexType, Positions, Triangles);
    KelvoGenerateTangentSpaceFromUVs(Builder);
    std::vector<kelvo_pngbt33332_vertex> Vertices(KelvoGetResultingVertexCount(Builder));
    KelvoSerializeResultingVertices(Builder, Vertices.data());
    // u grows with the longitude, so the tangent points east, also on the
    // seam where u jumps from 1 back to 0. The poles carry no UV frame.
    std::vector<kelvo_pngbt33332_vertex> Used;
    std::vector<vec3> UsedExpected;
    for (auto const &V : Vertices) {
        if (fabsf(V.Position[2]) < 0.99f) {
            kelvo_real32 Phi = atan2f(V.Position[1], V.Position[0]);
            Used.push_back(V);
            UsedExpected.push_back({-sinf(Phi), cosf(Phi), 0});
        }
    }
    ExpectFrames(Used, UsedExpected, std::vector<kelvo_real32>(Used.size(), 1));
    mesh_result Result(Builder);
}

TEST_F(MeshBuilderTest, TangentSpaceFallsBackWithoutTextureCoordinates) {
    struct {
        char const *Name;
        kelvo_data_type_definition const *Layout;
        kelvo_real32 U2;
    } const Cases[] = {
        {"no texture coordinates", KelvoPNGB3333VertexType, 1},
        {"every triangle degenerate in uv", KelvoPNGBT33332VertexType, 0},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        kelvo_mesh_builder *Builder = Feed(Case.Layout, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}},
                                           {{{{0, Up, 0, 0}, {1, Up, 1, 0}, {2, Up, Case.U2, 0}}}});
        KelvoGenerateTangentSpaceFromUVs(Builder);
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoExporterLogMessage,
                         "Failed to create the tangent space");
        std::vector<kelvo_pngb3333_vertex> Vertices(3);
        KelvoConvertVertexLayouts(
            3, Case.Layout,
            [&] {
                static std::vector<kelvo_uint8> Raw;
                Raw.assign(3 * (size_t)KelvoGetTotalObjectSize(Case.Layout), 0);
                KelvoSerializeResultingVertices(Builder, Raw.data());
                return Raw.data();
            }(),
            KelvoPNGB3333VertexType, Vertices.data());
        for (auto const &V : Vertices) {
            EXPECT_EQ((vec3{V.Tangent[0], V.Tangent[1], V.Tangent[2]}), (vec3{1, 0, 0}));
            EXPECT_EQ((vec3{V.Binormal[0], V.Binormal[1], V.Binormal[2]}), (vec3{0, 1, 0}));
        }
        mesh_result Result(Builder);
    }
}

TEST_F(MeshBuilderTest, FailedAllocationsLoseNothing) {
    for (int FailAt = 1;; ++FailAt) {
        failing_allocator Failing(FailAt);
        kelvo_mesh_builder *Builder = KelvoBeginMesh(3, 2, 1, 1, KelvoPNGBT33332VertexType);
        if (Builder) {
            for (int Vertex = 0; Vertex < 3; ++Vertex) {
                KelvoPushVertex(Builder);
            }
            for (int Triangle = 0; Triangle < 2; ++Triangle) {
                for (kelvo_int32 Corner = 0; Corner < 3; ++Corner) {
                    KelvoSetVertexIndex(Builder, Corner, Corner);
                    KelvoSetNormal(Builder, Corner, 0, (kelvo_real32)Triangle, 1);
                }
                KelvoPushTriangle(Builder);
            }
            char const *Names[5] = {"p", "n", "t", "b", "uv"};
            KelvoSetVertexChannelComponentNames(Builder, 5, Names);
            TakeMessages();
            KelvoGenerateTangentSpaceFromUVs(Builder);
            kelvo_vertex_data *Data = nullptr;
            kelvo_tri_topology *Topology = nullptr;
            if (KelvoEndMesh(Builder, &Data, &Topology)) {
                EXPECT_NE(Topology, nullptr);
                Failing.Deallocate(__FILE__, __LINE__, Data);
            }
        }
        TakeMessages();
        if (Failing.Failures == 0) {
            break;
        }
    }
}

} // namespace
