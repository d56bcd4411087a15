// Building a skinned mesh of 100,352 triangles (a 224 x 224 grid whose
// texture coordinates have a seam every eighth column, so seam corners
// split their vertices) through the mesh builder: vertices with four
// weights, corner welding, material groups, the topology with its side
// neighbours. Beside it, in the same run, a straightforward welding of the
// same corners with std::unordered_map keyed by the exact corner values.
// Both report triangles per second.
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

constexpr int GridSize = 224;

struct corner {
    kelvo_int32 Vertex;
    kelvo_real32 Normal[3];
    kelvo_real32 UV[4];
};

struct grid {
    std::vector<kelvo_real32> Positions; // 3 per vertex
    std::vector<corner> Corners;         // 3 per triangle
    int VertexCount() const { return (int)Positions.size() / 3; }
    int TriangleCount() const { return (int)Corners.size() / 3; }
};

grid const &Grid() {
    static grid Result = [] {
        grid G;
        int const Side = GridSize + 1;
        for (int Y = 0; Y < Side; ++Y) {
            for (int X = 0; X < Side; ++X) {
                G.Positions.insert(G.Positions.end(), {(kelvo_real32)X, (kelvo_real32)Y, 0});
            }
        }
        for (int Y = 0; Y < GridSize; ++Y) {
            for (int X = 0; X < GridSize; ++X) {
                // Each cell's u runs from its own column tile's start.
                auto Corner = [&](int CX, int CY) {
                    kelvo_real32 U = (kelvo_real32)((CX - X / 8 * 8) % 9) / 8;
                    return corner{CY * Side + CX, {0, 0, 1}, {U, (kelvo_real32)CY / Side, 0, 0}};
                };
                corner const Cell[6] = {Corner(X, Y), Corner(X + 1, Y),     Corner(X + 1, Y + 1),
                                        Corner(X, Y), Corner(X + 1, Y + 1), Corner(X, Y + 1)};
                G.Corners.insert(G.Corners.end(), Cell, Cell + 6);
            }
        }
        return G;
    }();
    return Result;
}

void Finish(benchmark::State &State) {
    State.counters["triangles_per_second"] = benchmark::Counter(
        (double)State.iterations() * Grid().TriangleCount(), benchmark::Counter::kIsRate);
}

void BuildSkinnedMesh(benchmark::State &State) {
    grid const &G = Grid();
    kelvo_allocate_callback *Allocate;
    kelvo_deallocate_callback *Deallocate;
    KelvoGetAllocator(&Allocate, &Deallocate);
    kelvo_int32 Vertices = 0;
    for (auto _ : State) {
        kelvo_mesh_builder *Builder =
            KelvoBeginMesh(G.VertexCount(), G.TriangleCount(), 2, 64, KelvoPWNT3432VertexType);
        for (int Vertex = 0; Vertex < G.VertexCount(); ++Vertex) {
            kelvo_real32 const *P = &G.Positions[(size_t)Vertex * 3];
            KelvoSetPosition(Builder, P[0], P[1], P[2]);
            for (int Bone = 0; Bone < 4; ++Bone) {
                KelvoAddWeight(Builder, (Vertex + Bone * 7) % 64, 0.1f * (Bone + 1));
            }
            KelvoPushVertex(Builder);
        }
        for (int Triangle = 0; Triangle < G.TriangleCount(); ++Triangle) {
            KelvoSetMaterial(Builder, Triangle & 1);
            for (kelvo_int32 Index = 0; Index < 3; ++Index) {
                corner const &C = G.Corners[(size_t)Triangle * 3 + Index];
                KelvoSetVertexIndex(Builder, Index, C.Vertex);
                KelvoSetNormal(Builder, Index, C.Normal[0], C.Normal[1], C.Normal[2]);
                KelvoSetChannel(Builder, Index, 0, C.UV);
            }
            KelvoPushTriangle(Builder);
        }
        Vertices = KelvoGetResultingVertexCount(Builder);
        kelvo_vertex_data *Data;
        kelvo_tri_topology *Topology;
        KelvoEndMesh(Builder, &Data, &Topology);
        benchmark::DoNotOptimize(Topology->SideToNeighborMap);
        Deallocate(__FILE__, __LINE__, Data);
    }
    State.counters["vertices"] = Vertices;
    Finish(State);
}
BENCHMARK(BuildSkinnedMesh)->Unit(benchmark::kMillisecond);

struct corner_key {
    kelvo_int32 Vertex;
    kelvo_real32 Values[5];
    bool operator==(corner_key const &Other) const {
        return std::memcmp(this, &Other, sizeof(*this)) == 0;
    }
};

struct corner_hash {
    size_t operator()(corner_key const &Key) const {
        kelvo_uint32 Words[6];
        std::memcpy(Words, &Key, sizeof(Words));
        size_t Hash = 1469598103934665603ull;
        for (kelvo_uint32 Word : Words) {
            Hash = (Hash ^ Word) * 1099511628211ull;
        }
        return Hash;
    }
};

void ReferenceHashMapWelding(benchmark::State &State) {
    grid const &G = Grid();
    size_t Vertices = 0;
    for (auto _ : State) {
        std::unordered_map<corner_key, kelvo_int32, corner_hash> Welded;
        Welded.reserve(G.Corners.size());
        std::vector<kelvo_pwnt3432_vertex> Output;
        std::vector<kelvo_int32> Indices;
        Indices.reserve(G.Corners.size());
        for (corner const &C : G.Corners) {
            corner_key Key = {C.Vertex, {C.Normal[0], C.Normal[1], C.Normal[2], C.UV[0], C.UV[1]}};
            auto Found = Welded.emplace(Key, (kelvo_int32)Output.size());
            if (Found.second) {
                kelvo_pwnt3432_vertex V = {};
                std::memcpy(V.Position, &G.Positions[(size_t)C.Vertex * 3], sizeof(V.Position));
                std::memcpy(V.Normal, C.Normal, sizeof(V.Normal));
                std::memcpy(V.TextureCoordinates0, C.UV, sizeof(V.TextureCoordinates0));
                Output.push_back(V);
            }
            Indices.push_back(Found.first->second);
        }
        Vertices = Output.size();
        benchmark::DoNotOptimize(Indices.data());
    }
    State.counters["vertices"] = (double)Vertices;
    Finish(State);
}
BENCHMARK(ReferenceHashMapWelding)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
