// The internal side of deformation: the routine table the registry is made
// from, and the seam to the SSE routines of rt/x86.
#ifndef KELVO_DEFORMER_INTERNAL_H
#define KELVO_DEFORMER_INTERNAL_H

#include "kelvo2/kelvo2_deformer.h"

#include <string.h>

// A registry entry, and the deformer that copies it: both flags are set on
// portable entries, clear on SSE entries (exact layouts only).
struct kelvo_deformer_entry {
    kelvo_int32 DeformationType;
    kelvo_direct_deformer *Direct;
    kelvo_indirect_deformer *Indirect;
    kelvo_data_type_definition const *InputLayout;
    kelvo_data_type_definition const *OutputLayout;
    kelvo_uint8 TailCopy;
    kelvo_uint8 PartialTail;
};

struct kelvo_mesh_deformer {
    kelvo_deformer_entry Entry;
    kelvo_int32 TailCount;
    kelvo_int32 InputSize;
    kelvo_int32 OutputSize;
};

namespace kelvo {

// Routines are numbered by bones per vertex (1, 2, 4, then rigid) and by the
// vectors deformed besides the position (normal; normal and tangent; normal,
// tangent and binormal): Routine = BoneSlot * 3 + Vectors - 1.
constexpr int DeformRoutineCount = 12;
constexpr int BonesOfRoutine(int Routine) {
    return Routine / 3 == 3 ? 0 : 1 << (Routine / 3);
}
constexpr int VectorsOfRoutine(int Routine) {
    return Routine % 3 + 1;
}

kelvo_direct_deformer *PortableDirectDeformer(int Routine);
kelvo_indirect_deformer *PortableIndirectDeformer(int Routine);

// SSE routines (rt/x86): null where the processor has no SSE or the build
// carries none. They need 16-byte aligned matrices and copy two more words
// (the texture coordinates) than their tail count.
kelvo_direct_deformer *SseDirectDeformer(int Routine);
kelvo_indirect_deformer *SseIndirectDeformer(int Routine);
bool ProcessorHasSse();

// Test hook: rebuilds the registry with or without the SSE entries.
void RebuildDeformerRegistry(bool WithSse);

// The arithmetic both forms share. Bytes of bone data after the position:
// a 32-bit index (one bone), weights then indices (two or four), none (rigid).
constexpr int SkinBytes(int Bones) {
    return Bones == 0 ? 0 : Bones == 1 ? 4 : 2 * Bones;
}

// The matrix of one vertex: a buffer entry, or the weighted sum of its bones'
// entries in Scratch (every bone, zero weights included, not renormalized).
template <int Bones>
kelvo_real32 const *VertexMatrix(kelvo_uint8 const *Vertex, kelvo_int32 const *Indices,
                                 kelvo_real32 const *Matrices, kelvo_real32 *Scratch) {
    auto Entry = [&](kelvo_uint32 Bone) {
        return Matrices + 16 * (kelvo_int64)(Indices ? Indices[Bone] : (kelvo_int32)Bone);
    };
    if constexpr (Bones == 0) {
        return Entry(0);
    } else if constexpr (Bones == 1) {
        kelvo_uint32 Bone;
        memcpy(&Bone, Vertex + 12, 4);
        return Entry(Bone);
    } else {
        kelvo_uint8 const *Weights = Vertex + 12;
        kelvo_uint8 const *Bones_ = Weights + Bones;
        kelvo_real32 const *First = Entry(Bones_[0]);
        kelvo_real32 const Weight = Weights[0] * (1.0f / 255.0f);
        for (int Element = 0; Element < 16; ++Element) {
            Scratch[Element] = First[Element] * Weight;
        }
        for (int Bone = 1; Bone < Bones; ++Bone) {
            kelvo_real32 const *Matrix = Entry(Bones_[Bone]);
            kelvo_real32 const W = Weights[Bone] * (1.0f / 255.0f);
            for (int Element = 0; Element < 16; ++Element) {
                Scratch[Element] += Matrix[Element] * W;
            }
        }
        return Scratch;
    }
}

// Walks Count vertices in order, each stride apart: Deform gets the vertex,
// its position and vectors as reals and where its output goes, and then
// TailCount words after the deformed members are copied.
template <int Bones, int Vectors, typename deform>
void EachVertex(kelvo_int32 Count, void const *SourceVertices, void *DestVertices,
                kelvo_int32 TailCount, kelvo_int32 SourceStride, kelvo_int32 DestStride,
                deform &&Deform) {
    constexpr int SourceDeformed = 12 + SkinBytes(Bones) + 12 * Vectors;
    constexpr int DestDeformed = 12 + 12 * Vectors;
    auto const *Source = static_cast<kelvo_uint8 const *>(SourceVertices);
    auto *Dest = static_cast<kelvo_uint8 *>(DestVertices);
    for (kelvo_int32 Vertex = 0; Vertex < Count; ++Vertex) {
        kelvo_real32 In[3 + 3 * Vectors];
        memcpy(In, Source, 12);
        memcpy(In + 3, Source + 12 + SkinBytes(Bones), 12 * Vectors);
        Deform(Source, In, Dest);
        memcpy(Dest + DestDeformed, Source + SourceDeformed, 4 * (size_t)TailCount);
        Source += SourceStride;
        Dest += DestStride;
    }
}

template <int Bones, int Vectors>
void DeformPortable(kelvo_int32 Count, void const *SourceVertices, void *DestVertices,
                    kelvo_int32 const *Indices, kelvo_real32 const *Matrices, kelvo_int32 TailCount,
                    kelvo_int32 SourceStride, kelvo_int32 DestStride) {
    EachVertex<Bones, Vectors>(
        Count, SourceVertices, DestVertices, TailCount, SourceStride, DestStride,
        [&](kelvo_uint8 const *Source, kelvo_real32 const *In, kelvo_uint8 *Dest) {
            kelvo_real32 Scratch[16];
            kelvo_real32 const *M = VertexMatrix<Bones>(Source, Indices, Matrices, Scratch);
            kelvo_real32 Out[3 + 3 * Vectors];
            for (int Column = 0; Column < 3; ++Column) {
                Out[Column] = In[0] * M[Column] + In[1] * M[4 + Column] + In[2] * M[8 + Column] +
                              M[12 + Column];
                for (int Vector = 1; Vector <= Vectors; ++Vector) {
                    kelvo_real32 const *V = In + 3 * Vector;
                    Out[3 * Vector + Column] =
                        V[0] * M[Column] + V[1] * M[4 + Column] + V[2] * M[8 + Column];
                }
            }
            memcpy(Dest, Out, sizeof(Out));
        });
}

} // namespace kelvo

#endif
