// KelvoConvertVertexLayouts from a 4-bone skinned layout with 8-bit normals
// and weights and 16-bit texture coordinates into a float position, normal
// and UV layout, over 100,000 vertices, beside a hand-written loop for the
// same pair. Target: the conversion at least a quarter of the loop's speed.
#include "kelvo2.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

int const Count = 100000;

#pragma pack(push, 4)
struct skinned_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[4];
    kelvo_uint8 BoneIndices[4];
    kelvo_uint8 Normal[4];
    kelvo_int16 TextureCoordinates0[2];
};
#pragma pack(pop)

kelvo_data_type_definition const SkinnedVertexType[] = {
    {KelvoReal32Member, "Position", nullptr, 3, {}, 0},
    {KelvoNormalUInt8Member, "BoneWeights", nullptr, 4, {}, 0},
    {KelvoUInt8Member, "BoneIndices", nullptr, 4, {}, 0},
    {KelvoNormalUInt8Member, "Normal", nullptr, 4, {}, 0},
    {KelvoInt16Member, "TextureCoordinates0", nullptr, 2, {}, 0},
    {KelvoEndMember, nullptr, nullptr, 0, {}, 0}};

std::vector<skinned_vertex> const &Source() {
    static std::vector<skinned_vertex> const Vertices = [] {
        std::mt19937 Engine(14);
        std::vector<skinned_vertex> Result(Count);
        for (skinned_vertex &Vertex : Result) {
            for (int Index = 0; Index < 4; ++Index) {
                Vertex.BoneWeights[Index] = (kelvo_uint8)Engine();
                Vertex.BoneIndices[Index] = (kelvo_uint8)(Engine() % 60);
                Vertex.Normal[Index] = (kelvo_uint8)Engine();
            }
            for (int Axis = 0; Axis < 3; ++Axis) {
                Vertex.Position[Axis] = (float)(Engine() % 2000) / 100.0f;
            }
            Vertex.TextureCoordinates0[0] = (kelvo_int16)(Engine() % 4096);
            Vertex.TextureCoordinates0[1] = (kelvo_int16)(Engine() % 4096);
        }
        return Result;
    }();
    return Vertices;
}

void Finish(benchmark::State &State) {
    State.SetItemsProcessed(State.iterations() * Count);
    NanosecondsPer(State, "ns_per_vertex", Count);
}

void ConvertVertexLayouts(benchmark::State &State) {
    std::vector<kelvo_pnt332_vertex> Destination(Count);
    for (auto _ : State) {
        KelvoConvertVertexLayouts(Count, SkinnedVertexType, Source().data(), KelvoPNT332VertexType,
                                  Destination.data());
        benchmark::ClobberMemory();
    }
    Finish(State);
}
BENCHMARK(ConvertVertexLayouts)->Unit(benchmark::kMicrosecond);

// The reference: the same values written by a loop that knows both layouts.
void HandWrittenLoop(benchmark::State &State) {
    std::vector<kelvo_pnt332_vertex> Destination(Count);
    for (auto _ : State) {
        skinned_vertex const *From = Source().data();
        kelvo_pnt332_vertex *To = Destination.data();
        for (int Vertex = 0; Vertex < Count; ++Vertex, ++From, ++To) {
            for (int Axis = 0; Axis < 3; ++Axis) {
                To->Position[Axis] = From->Position[Axis];
                To->Normal[Axis] = From->Normal[Axis] * (1.0f / 255.0f) * 2.0f - 1.0f;
            }
            To->TextureCoordinates0[0] = From->TextureCoordinates0[0] * (1.0f / 4096.0f);
            To->TextureCoordinates0[1] = From->TextureCoordinates0[1] * (1.0f / 4096.0f);
        }
        benchmark::ClobberMemory();
    }
    Finish(State);
}
BENCHMARK(HandWrittenLoop)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
