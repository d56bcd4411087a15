// The world-pose kernels of rt/x86/, written once and compiled twice: for
// SSE2 (x86_kelvo_pose.cpp) and for AVX (x86_kelvo_pose_avx.cpp), which
// takes the same single-precision operations in the same order, so both
// give the portable path's bits. Each output row is a sum of parent rows
// scaled by broadcast factors, four columns at a time; rows are loaded
// unaligned so that caller offsets and in-place poses need no alignment.
// Everything here is local to the including file.
#ifndef KELVO_X86_POSE_KERNELS_H
#define KELVO_X86_POSE_KERNELS_H

#include "anim/kelvo_pose.h"

#include <cfloat>
#include <immintrin.h>

namespace kelvo {

namespace {

// Lanes of V in the order _mm_shuffle_ps(V, V, Order) picks them, in one
// instruction that keeps V (no copy before the shuffle).
template <int Order> __m128 Pick(__m128 V) {
    return _mm_castsi128_ps(_mm_shuffle_epi32(_mm_castps_si128(V), Order));
}
template <int Lane> __m128 Spread(__m128 V) {
    return Pick<Lane * 0x55>(V);
}

// Element Lane of the four reals at V in every lane: with AVX a load that
// broadcasts, which spares the shuffle units the kernels keep busy; with
// SSE2 the shuffle of the quadruple (loaded once per call site).
template <int Lane> __m128 Broadcast(kelvo_real32 const *V) {
#ifdef __AVX__
    return _mm_broadcast_ss(V + Lane);
#else
    return Spread<Lane>(_mm_loadu_ps(V));
#endif
}

// Callers check SSEPosesEnabled() (and AVXPosesEnabled() for the AVX build)
// first.
struct sse_kernels {
    static void Copy(kelvo_real32 const *Source, kelvo_real32 *Result) {
        for (int Row = 0; Row < 4; ++Row) {
            _mm_storeu_ps(Result + 4 * Row, _mm_loadu_ps(Source + 4 * Row));
        }
    }
    // X.P0 + Y.P1 + Z.P2 for the reals X, Y, Z at V, which has a fourth.
    static __m128 Combine(kelvo_real32 const *V, __m128 P0, __m128 P1, __m128 P2) {
        __m128 Sum = _mm_mul_ps(Broadcast<0>(V), P0);
        Sum = _mm_add_ps(Sum, _mm_mul_ps(Broadcast<1>(V), P1));
        return _mm_add_ps(Sum, _mm_mul_ps(Broadcast<2>(V), P2));
    }
    // The translation row; the position's fourth real is the orientation's
    // first component, unused.
    static __m128 TranslationRow(kelvo_transform const &Local, __m128 P0, __m128 P1, __m128 P2,
                                 __m128 P3) {
        return _mm_add_ps(Combine(Local.Position, P0, P1, P2), P3);
    }
    static void Translate(kelvo_transform const &Local, kelvo_real32 const *Parent,
                          kelvo_real32 *World) {
        __m128 P0 = _mm_loadu_ps(Parent), P1 = _mm_loadu_ps(Parent + 4);
        __m128 P2 = _mm_loadu_ps(Parent + 8), P3 = _mm_loadu_ps(Parent + 12);
        _mm_storeu_ps(World, P0);
        _mm_storeu_ps(World + 4, P1);
        _mm_storeu_ps(World + 8, P2);
        _mm_storeu_ps(World + 12, TranslationRow(Local, P0, P1, P2, P3));
    }
    // The rows of R (or R.S), as LinearRows gives them, broadcast: Rows[r][k]
    // holds element k of row r in every lane.
    static void BroadcastRows(kelvo_transform const &Local, __m128 Rows[3][3]) {
#if FLT_EVAL_METHOD != 0
        // Scalars held at extended precision round otherwise: take theirs.
        kelvo_real32 Scalar[9];
        LinearRows(Local, Scalar);
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 3; ++Column) {
                Rows[Row][Column] = _mm_set1_ps(Scalar[3 * Row + Column]);
            }
        }
        return;
#endif
        // Each product, sum and difference is the one MatrixFromQuaternion
        // forms, operands in its order, so every element keeps its bits.
        __m128 const Q = _mm_loadu_ps(Local.Orientation); // X Y Z W
        __m128 const Squares = _mm_mul_ps(Q, Q);
        __m128 const Diagonal = _mm_add_ps(Pick<0x01>(Squares),  // YY XX XX
                                           Pick<0x1a>(Squares)); // ZZ ZZ YY
        __m128 const Cross = _mm_mul_ps(Pick<0x04>(Q),           // X Y X
                                        Pick<0x29>(Q));          // Y Z Z
        __m128 const ByW = _mm_mul_ps(Pick<0x12>(Q),             // Z X Y
                                      Spread<3>(Q));             // W W W
        __m128 const Plus = _mm_add_ps(Cross, ByW);              // XY+ZW YZ+XW XZ+YW
        __m128 const Minus = _mm_sub_ps(Pick<0x12>(Cross),       // XZ XY YZ
                                        Pick<0x12>(ByW));        // YW ZW XW
        __m128 const D = _mm_sub_ps(_mm_set1_ps(1), _mm_add_ps(Diagonal, Diagonal));
        __m128 const P = _mm_add_ps(Plus, Plus);
        __m128 const M = _mm_add_ps(Minus, Minus);
        if (!(Local.Flags & KelvoHasScaleShear)) {
            // Row r is column r of R: (D0 P0 M0), (M1 D1 P1), (P2 M2 D2).
            Rows[0][0] = Spread<0>(D);
            Rows[0][1] = Spread<0>(P);
            Rows[0][2] = Spread<0>(M);
            Rows[1][0] = Spread<1>(M);
            Rows[1][1] = Spread<1>(D);
            Rows[1][2] = Spread<1>(P);
            Rows[2][0] = Spread<2>(P);
            Rows[2][1] = Spread<2>(M);
            Rows[2][2] = Spread<2>(D);
            return;
        }
        alignas(16) kelvo_real32 Parts[3][4];
        _mm_store_ps(Parts[0], D);
        _mm_store_ps(Parts[1], P);
        _mm_store_ps(Parts[2], M);
        kelvo_real32 const L[9] = {Parts[0][0], Parts[2][1], Parts[1][2], Parts[1][0], Parts[0][1],
                                   Parts[2][2], Parts[2][0], Parts[1][1], Parts[0][2]};
        kelvo_real32 LS[9];
        MatrixMultiply3x3(LS, L, Local.ScaleShear);
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 3; ++Column) {
                Rows[Row][Column] = _mm_set1_ps(LS[3 * Column + Row]);
            }
        }
    }
    static void Compose(kelvo_transform const &Local, kelvo_real32 const *Parent,
                        kelvo_real32 *World) {
        __m128 Rows[3][3];
        BroadcastRows(Local, Rows);
        __m128 P0 = _mm_loadu_ps(Parent), P1 = _mm_loadu_ps(Parent + 4);
        __m128 P2 = _mm_loadu_ps(Parent + 8), P3 = _mm_loadu_ps(Parent + 12);
        for (int Row = 0; Row < 3; ++Row) {
            __m128 Sum = _mm_mul_ps(Rows[Row][0], P0);
            Sum = _mm_add_ps(Sum, _mm_mul_ps(Rows[Row][1], P1));
            _mm_storeu_ps(World + 4 * Row, _mm_add_ps(Sum, _mm_mul_ps(Rows[Row][2], P2)));
        }
        _mm_storeu_ps(World + 12, TranslationRow(Local, P0, P1, P2, P3));
    }
    static void Multiply(kelvo_real32 const *A, kelvo_real32 const *B, kelvo_real32 *Result) {
        __m128 B0 = _mm_loadu_ps(B), B1 = _mm_loadu_ps(B + 4);
        __m128 B2 = _mm_loadu_ps(B + 8), B3 = _mm_loadu_ps(B + 12);
        for (int Row = 0; Row < 4; ++Row) {
            kelvo_real32 const *const L = A + 4 * Row;
            __m128 Sum = _mm_add_ps(Combine(L, B0, B1, B2), _mm_mul_ps(Broadcast<3>(L), B3));
            _mm_storeu_ps(Result + 4 * Row, Sum);
        }
    }
};

} // namespace

} // namespace kelvo

#endif
