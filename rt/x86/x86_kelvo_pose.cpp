// Pose work with SSE: world-pose composition, where each output row is a sum
// of parent rows scaled by broadcast factors, four columns at a time, and the
// quaternion renormalization that ends accumulation. Rows are loaded
// unaligned so that caller offsets and in-place poses need no alignment.
#include "anim/kelvo_pose.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace kelvo {

namespace {

// Compiled for SSE2; callers check SSEPosesEnabled() first.
struct sse_kernels {
    static void Copy(kelvo_real32 const *Source, kelvo_real32 *Result) {
        for (int Row = 0; Row < 4; ++Row) {
            _mm_storeu_ps(Result + 4 * Row, _mm_loadu_ps(Source + 4 * Row));
        }
    }
    static __m128 Combine(kelvo_real32 X, kelvo_real32 Y, kelvo_real32 Z, __m128 P0, __m128 P1,
                          __m128 P2) {
        __m128 Sum = _mm_mul_ps(_mm_set1_ps(X), P0);
        Sum = _mm_add_ps(Sum, _mm_mul_ps(_mm_set1_ps(Y), P1));
        return _mm_add_ps(Sum, _mm_mul_ps(_mm_set1_ps(Z), P2));
    }
    static void Translate(kelvo_real32 const *Position, kelvo_real32 const *Parent,
                          kelvo_real32 *World) {
        __m128 P0 = _mm_loadu_ps(Parent), P1 = _mm_loadu_ps(Parent + 4);
        __m128 P2 = _mm_loadu_ps(Parent + 8), P3 = _mm_loadu_ps(Parent + 12);
        _mm_storeu_ps(World, P0);
        _mm_storeu_ps(World + 4, P1);
        _mm_storeu_ps(World + 8, P2);
        _mm_storeu_ps(World + 12,
                      _mm_add_ps(Combine(Position[0], Position[1], Position[2], P0, P1, P2), P3));
    }
    static void Compose(kelvo_real32 const *Rows, kelvo_real32 const *Position,
                        kelvo_real32 const *Parent, kelvo_real32 *World) {
        __m128 P0 = _mm_loadu_ps(Parent), P1 = _mm_loadu_ps(Parent + 4);
        __m128 P2 = _mm_loadu_ps(Parent + 8), P3 = _mm_loadu_ps(Parent + 12);
        for (int Row = 0; Row < 3; ++Row) {
            kelvo_real32 const *L = Rows + 3 * Row;
            _mm_storeu_ps(World + 4 * Row, Combine(L[0], L[1], L[2], P0, P1, P2));
        }
        _mm_storeu_ps(World + 12,
                      _mm_add_ps(Combine(Position[0], Position[1], Position[2], P0, P1, P2), P3));
    }
    static void Multiply(kelvo_real32 const *A, kelvo_real32 const *B, kelvo_real32 *Result) {
        __m128 B0 = _mm_loadu_ps(B), B1 = _mm_loadu_ps(B + 4);
        __m128 B2 = _mm_loadu_ps(B + 8), B3 = _mm_loadu_ps(B + 12);
        for (int Row = 0; Row < 4; ++Row) {
            kelvo_real32 const *L = A + 4 * Row;
            __m128 Sum = _mm_add_ps(Combine(L[0], L[1], L[2], B0, B1, B2),
                                    _mm_mul_ps(_mm_set1_ps(L[3]), B3));
            _mm_storeu_ps(Result + 4 * Row, Sum);
        }
    }
};

} // namespace

pose_routines const SSEPoseRoutines = {&BuildWorldBones<sse_kernels>, &MultiplyEach<sse_kernels>};

void RenormalizeQuaternionSSE(kelvo_real32 *Quaternion) {
    __m128 const Q = _mm_loadu_ps(Quaternion);
    __m128 const Squares = _mm_mul_ps(Q, Q);
    __m128 const Pairs = _mm_add_ps(Squares, _mm_shuffle_ps(Squares, Squares, 0xb1));
    __m128 const E = _mm_add_ps(Pairs, _mm_shuffle_ps(Pairs, Pairs, 0x4e)); // in every lane
    kelvo_real32 const Length2 = _mm_cvtss_f32(E);
    __m128 Scale;
    if (Length2 >= 0.9f && Length2 <= 1.1f) {
        // Two Newton steps of 1/sqrt from 1, as the portable path takes them.
        __m128 const T = _mm_sub_ps(_mm_set1_ps(3), E);
        __m128 const Inner = _mm_sub_ps(_mm_set1_ps(12), _mm_mul_ps(E, _mm_mul_ps(T, T)));
        Scale = _mm_mul_ps(_mm_mul_ps(T, Inner), _mm_set1_ps(1.0f / 16));
    } else if (Length2 > 0) {
        Scale = _mm_div_ps(_mm_set1_ps(1), _mm_sqrt_ps(E));
    } else {
        return;
    }
    _mm_storeu_ps(Quaternion, _mm_mul_ps(Q, Scale));
}

} // namespace kelvo

#else

namespace kelvo {

// Never used: SSEPosesEnabled() is false off x86.
pose_routines const SSEPoseRoutines = {};

void RenormalizeQuaternionSSE(kelvo_real32 *Quaternion) {
    FastRenormalizeQuaternion(Quaternion);
}

} // namespace kelvo

#endif
