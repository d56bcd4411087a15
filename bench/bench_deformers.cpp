// Skinning 10,000 vertices: the SSE and portable routines for 1, 2 and 4
// bones per vertex, deforming the normal (PN) or the normal and tangent
// (PNG), beside a straightforward scalar loop for the same vertices, in ns
// per vertex. Targets: the SSE 4-bone PN routine at or below 6.5 ns, and
// every SSE routine at least twice as fast as its portable routine.
#include "deform/kelvo_deformer.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string.h>
#include <vector>

namespace {

int const Count = 10000;
int const BoneCount = 60;

struct setup {
    std::vector<float> MatrixStorage;
    float *Matrices;
    std::vector<kelvo_uint8> Source;
    std::vector<float> DestStorage;
    float *Dest;
    int SourceStride, DestStride;

    explicit setup(int Routine) : MatrixStorage(16 * BoneCount + 4), DestStorage(Count * 17 + 4) {
        int Bones = kelvo::BonesOfRoutine(Routine), Vectors = kelvo::VectorsOfRoutine(Routine);
        std::mt19937 Random(5);
        std::uniform_real_distribution<float> Value(-1.0f, 1.0f);
        Matrices = Align(MatrixStorage.data());
        for (int Index = 0; Index < 16 * BoneCount; ++Index) {
            Matrices[Index] = Index % 4 == 3 ? 0.0f : Value(Random);
        }
        // The SSE layouts: the deformed members and two texture coordinates.
        SourceStride = 12 + kelvo::SkinBytes(Bones) + 12 * Vectors + 8;
        DestStride = 12 + 12 * Vectors + 8;
        Source.resize((size_t)SourceStride * Count);
        for (int Vertex = 0; Vertex < Count; ++Vertex) {
            kelvo_uint8 *At = Source.data() + (size_t)Vertex * SourceStride;
            for (int Byte = 0; Byte < SourceStride; Byte += 4) {
                float V = Value(Random);
                memcpy(At + Byte, &V, 4);
            }
            kelvo_uint8 *Skin = At + 12;
            if (Bones == 1) {
                kelvo_uint32 Bone = Random() % BoneCount;
                memcpy(Skin, &Bone, 4);
            }
            for (int Bone = 0; Bone < Bones && Bones > 1; ++Bone) {
                Skin[Bone] = (kelvo_uint8)(255 / Bones);
                Skin[Bones + Bone] = (kelvo_uint8)(Random() % BoneCount);
            }
        }
        Dest = Align(DestStorage.data());
    }
    static float *Align(float *Pointer) {
        return reinterpret_cast<float *>((reinterpret_cast<uintptr_t>(Pointer) + 15) &
                                         ~uintptr_t(15));
    }
};

void Finish(benchmark::State &State) {
    NanosecondsPer(State, "ns_per_vertex", Count);
}

// Tail: 32-bit words after each vertex copied through (the routines' last
// argument before the strides), as the library calls each path.
void Measure(benchmark::State &State, kelvo_direct_deformer *Deform, int Tail) {
    int Routine = (int)State.range(0);
    if (!Deform) {
        State.SkipWithError("no SSE on this processor");
        return;
    }
    setup Setup(Routine);
    for (auto _ : State) {
        Deform(Count, Setup.Source.data(), Setup.Dest, Setup.Matrices, Tail, Setup.SourceStride,
               Setup.DestStride);
        benchmark::ClobberMemory();
    }
    Finish(State);
}

void Portable(benchmark::State &State) {
    Measure(State, kelvo::PortableDirectDeformer((int)State.range(0)), 2);
}

void Sse(benchmark::State &State) {
    Measure(State, kelvo::SseDirectDeformer((int)State.range(0)), 0);
}

// The reference: each vertex's blended matrix, then position and vectors,
// written as one would without the library.
void ScalarLoop(benchmark::State &State) {
    int Routine = (int)State.range(0);
    int Bones = kelvo::BonesOfRoutine(Routine), Vectors = kelvo::VectorsOfRoutine(Routine);
    setup Setup(Routine);
    for (auto _ : State) {
        for (int Vertex = 0; Vertex < Count; ++Vertex) {
            kelvo_uint8 const *In = Setup.Source.data() + (size_t)Vertex * Setup.SourceStride;
            float *Out = reinterpret_cast<float *>(reinterpret_cast<kelvo_uint8 *>(Setup.Dest) +
                                                   (size_t)Vertex * Setup.DestStride);
            float M[16] = {};
            for (int Bone = 0; Bone < Bones; ++Bone) {
                kelvo_uint32 Index = 0;
                float Weight = 1.0f;
                if (Bones == 1) {
                    memcpy(&Index, In + 12, 4);
                } else {
                    Index = In[12 + Bones + Bone];
                    Weight = In[12 + Bone] / 255.0f;
                }
                for (int Element = 0; Element < 16; ++Element) {
                    M[Element] += Weight * Setup.Matrices[16 * Index + Element];
                }
            }
            float V[12];
            memcpy(V, In, 12);
            memcpy(V + 3, In + 12 + kelvo::SkinBytes(Bones), 12 * Vectors);
            for (int Member = 0; Member <= Vectors; ++Member) {
                for (int Column = 0; Column < 3; ++Column) {
                    Out[3 * Member + Column] =
                        V[3 * Member] * M[Column] + V[3 * Member + 1] * M[4 + Column] +
                        V[3 * Member + 2] * M[8 + Column] + (Member == 0 ? M[12 + Column] : 0.0f);
                }
            }
            memcpy(Out + 3 + 3 * Vectors, In + Setup.SourceStride - 8, 8);
        }
        benchmark::ClobberMemory();
    }
    Finish(State);
}

// Routines 0-1, 3-4, 6-7: 1, 2 and 4 bones, PN and PNG.
void Routines(benchmark::internal::Benchmark *Benchmark) {
    for (int Routine : {0, 1, 3, 4, 6, 7}) {
        Benchmark->Arg(Routine);
    }
}

BENCHMARK(ScalarLoop)->Apply(Routines);
BENCHMARK(Portable)->Apply(Routines);
BENCHMARK(Sse)->Apply(Routines);

} // namespace

BENCHMARK_MAIN();
