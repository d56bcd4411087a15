// SSE deformers: the portable arithmetic four matrix columns at a time. The
// rows of each bone matrix are loaded aligned, blended with broadcast
// weights and combined with broadcast vertex components.
#include "deform/kelvo_deformer.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"

#if defined(__x86_64__) || defined(__i386__)

#include <atomic>
#include <xmmintrin.h>

namespace kelvo {
namespace {

// Timing block names, direct then indirect; the rigid position-and-normal
// routine is untimed.
constexpr char const *SseNames[DeformRoutineCount][2] = {
    {"SseDeformPWNT3132D", "SseDeformPWNT3132I"},
    {"GeneratedSSEDeformPWNGT31332D", "GeneratedSSEDeformPWNGT31332I"},
    {"GeneratedSSEDeformPWNGBT313332D", "GeneratedSSEDeformPWNGBT313332I"},
    {"SseDeformPWNT3232D", "SseDeformPWNT3232I"},
    {"GeneratedSSEDeformPWNGT32332D", "GeneratedSSEDeformPWNGT32332I"},
    {"GeneratedSSEDeformPWNGBT323332D", "GeneratedSSEDeformPWNGBT323332I"},
    {"SseDeformPWNT3432D", "SseDeformPWNT3432I"},
    {"GeneratedSSEDeformPWNGT34332D", "GeneratedSSEDeformPWNGT34332I"},
    {"GeneratedSSEDeformPWNGBT343332D", "GeneratedSSEDeformPWNGBT343332I"},
    {nullptr, nullptr},
    {"GeneratedSSEDeformPNGT3332D", "GeneratedSSEDeformPNGT3332I"},
    {"GeneratedSSEDeformPNGBT33332D", "GeneratedSSEDeformPNGBT33332I"}};

// The hand-written routines (position and normal) also need an aligned
// output, and say so once.
constexpr bool HandWritten(int Routine) {
    return VectorsOfRoutine(Routine) == 1;
}

bool IsAligned(void const *Pointer) {
    return ((kelvo_uintaddrx)Pointer & 15) == 0;
}

template <int Bones> struct matrix_rows {
    __m128 Row[4];

    matrix_rows(kelvo_uint8 const *Vertex, kelvo_int32 const *Indices,
                kelvo_real32 const *Matrices) {
        auto Entry = [&](kelvo_uint32 Bone) {
            return Matrices + 16 * (kelvo_int64)(Indices ? Indices[Bone] : (kelvo_int32)Bone);
        };
        if constexpr (Bones <= 1) {
            kelvo_uint32 Bone = 0;
            if constexpr (Bones == 1) {
                memcpy(&Bone, Vertex + 12, 4);
            }
            kelvo_real32 const *M = Entry(Bone);
            for (int R = 0; R < 4; ++R) {
                Row[R] = _mm_load_ps(M + 4 * R);
            }
        } else {
            kelvo_uint8 const *Weights = Vertex + 12;
            kelvo_uint8 const *BoneIndices = Weights + Bones;
            for (int Bone = 0; Bone < Bones; ++Bone) {
                kelvo_real32 const *M = Entry(BoneIndices[Bone]);
                __m128 W = _mm_set1_ps(Weights[Bone] * (1.0f / 255.0f));
                for (int R = 0; R < 4; ++R) {
                    __m128 Term = _mm_mul_ps(_mm_load_ps(M + 4 * R), W);
                    Row[R] = Bone == 0 ? Term : _mm_add_ps(Row[R], Term);
                }
            }
        }
    }

    __m128 Times(kelvo_real32 const *V) const {
        __m128 Sum = _mm_mul_ps(_mm_set1_ps(V[0]), Row[0]);
        Sum = _mm_add_ps(Sum, _mm_mul_ps(_mm_set1_ps(V[1]), Row[1]));
        return _mm_add_ps(Sum, _mm_mul_ps(_mm_set1_ps(V[2]), Row[2]));
    }
};

// Each deformed member but the last is stored as four reals; the fourth
// lands on the next member, which is written after it.
template <int Bones, int Vectors>
void DeformSse(kelvo_int32 Count, void const *SourceVertices, void *DestVertices,
               kelvo_int32 const *Indices, kelvo_real32 const *Matrices, kelvo_int32 TailCount,
               kelvo_int32 SourceStride, kelvo_int32 DestStride) {
    EachVertex<Bones, Vectors>(
        Count, SourceVertices, DestVertices, TailCount + 2, SourceStride, DestStride,
        [&](kelvo_uint8 const *Source, kelvo_real32 const *In, kelvo_uint8 *Dest) {
            matrix_rows<Bones> M(Source, Indices, Matrices);
            auto *Out = reinterpret_cast<kelvo_real32 *>(Dest);
            _mm_storeu_ps(Out, _mm_add_ps(M.Times(In), M.Row[3]));
            for (int Vector = 1; Vector < Vectors; ++Vector) {
                _mm_storeu_ps(Out + 3 * Vector, M.Times(In + 3 * Vector));
            }
            // The last exactly, so that a tail deformed in place is not touched.
            __m128 Last = M.Times(In + 3 * Vectors);
            _mm_storel_pi(reinterpret_cast<__m64 *>(Out + 3 * Vectors), Last);
            _mm_store_ss(Out + 3 * Vectors + 2, _mm_movehl_ps(Last, Last));
        });
}

// Hands a call the SSE routine cannot take to the portable routine of the
// same routine number; the texture coordinates go as two more tail words.
template <int Routine>
bool Bypassed(kelvo_real32 const *Matrices, void const *Dest, std::atomic<bool> &Report) {
    bool MatricesAligned = IsAligned(Matrices);
    bool DestAligned = !HandWritten(Routine) || IsAligned(Dest);
    if (MatricesAligned && DestAligned) {
        return false;
    }
    if (HandWritten(Routine) && Report.exchange(false)) {
        Log(KelvoErrorLogMessage, KelvoDeformerLogMessage,
            "%s(%d): SSE routine bypassed because the following pointers were not aligned: "
            "%s%s%s  (this message will only appear once)",
            KELVO_HERE, MatricesAligned ? "" : "MatrixBuffer4x4 ", "",
            DestAligned ? "" : "DestVertices ");
    }
    return true;
}

template <int Routine>
void Run(kelvo_int32 Count, void const *Source, void *Dest, kelvo_int32 const *Indices,
         kelvo_real32 const *Matrices, kelvo_int32 TailCount, kelvo_int32 SourceStride,
         kelvo_int32 DestStride) {
    static std::atomic<bool> Report{true};
    constexpr int Bones = BonesOfRoutine(Routine), Vectors = VectorsOfRoutine(Routine);
    if (Bypassed<Routine>(Matrices, Dest, Report)) {
        DeformPortable<Bones, Vectors>(Count, Source, Dest, Indices, Matrices, TailCount + 2,
                                       SourceStride, DestStride);
        return;
    }
    // The first routine goes two vertices at a time and leaves an odd last
    // one to the portable routine.
    kelvo_int32 Paired = Routine == 0 ? Count & ~1 : Count;
    DeformSse<Bones, Vectors>(Paired, Source, Dest, Indices, Matrices, TailCount, SourceStride,
                              DestStride);
    if (Paired < Count) {
        DeformPortable<Bones, Vectors>(
            1, static_cast<kelvo_uint8 const *>(Source) + (kelvo_int64)Paired * SourceStride,
            static_cast<kelvo_uint8 *>(Dest) + (kelvo_int64)Paired * DestStride, Indices, Matrices,
            TailCount + 2, SourceStride, DestStride);
    }
}

template <int Routine>
void KELVO_CALLBACK SseDirect(kelvo_int32 Count, void const *Source, void *Dest,
                              kelvo_real32 const *Matrices, kelvo_int32 TailCount,
                              kelvo_int32 SourceStride, kelvo_int32 DestStride) {
    if constexpr (SseNames[Routine][0] != nullptr) {
        KELVO_TIMED_BLOCK(SseNames[Routine][0]);
        Run<Routine>(Count, Source, Dest, nullptr, Matrices, TailCount, SourceStride, DestStride);
    } else {
        Run<Routine>(Count, Source, Dest, nullptr, Matrices, TailCount, SourceStride, DestStride);
    }
}

template <int Routine>
void KELVO_CALLBACK SseIndirect(kelvo_int32 Count, void const *Source, void *Dest,
                                kelvo_int32 const *Indices, kelvo_real32 const *Matrices,
                                kelvo_int32 TailCount, kelvo_int32 SourceStride,
                                kelvo_int32 DestStride) {
    if constexpr (SseNames[Routine][1] != nullptr) {
        KELVO_TIMED_BLOCK(SseNames[Routine][1]);
        Run<Routine>(Count, Source, Dest, Indices, Matrices, TailCount, SourceStride, DestStride);
    } else {
        Run<Routine>(Count, Source, Dest, Indices, Matrices, TailCount, SourceStride, DestStride);
    }
}

template <int... Routines> struct sse_table {
    static constexpr kelvo_direct_deformer *Direct[] = {&SseDirect<Routines>...};
    static constexpr kelvo_indirect_deformer *Indirect[] = {&SseIndirect<Routines>...};
};
using sse = sse_table<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11>;

} // namespace

bool ProcessorHasSse() {
    return __builtin_cpu_supports("sse");
}

kelvo_direct_deformer *SseDirectDeformer(int Routine) {
    return ProcessorHasSse() ? sse::Direct[Routine] : nullptr;
}

kelvo_indirect_deformer *SseIndirectDeformer(int Routine) {
    return ProcessorHasSse() ? sse::Indirect[Routine] : nullptr;
}

} // namespace kelvo

#else

namespace kelvo {
bool ProcessorHasSse() {
    return false;
}
kelvo_direct_deformer *SseDirectDeformer(int) {
    return nullptr;
}
kelvo_indirect_deformer *SseIndirectDeformer(int) {
    return nullptr;
}
} // namespace kelvo

#endif
