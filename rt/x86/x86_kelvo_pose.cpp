// Pose work with SSE: world-pose composition, where each output row is a sum
// of parent rows scaled by broadcast factors, four columns at a time, and the
// quaternion renormalization that ends accumulation. Rows are loaded
// unaligned so that caller offsets and in-place poses need no alignment.
#include "anim/kelvo_pose.h"

#if defined(__x86_64__) || defined(__i386__)

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

// Compiled for SSE2; callers check SSEPosesEnabled() first.
struct sse_kernels {
    static void Copy(kelvo_real32 const *Source, kelvo_real32 *Result) {
        for (int Row = 0; Row < 4; ++Row) {
            _mm_storeu_ps(Result + 4 * Row, _mm_loadu_ps(Source + 4 * Row));
        }
    }
    // X.P0 + Y.P1 + Z.P2 for the first three lanes X, Y, Z of V.
    static __m128 Combine(__m128 V, __m128 P0, __m128 P1, __m128 P2) {
        __m128 Sum = _mm_mul_ps(Spread<0>(V), P0);
        Sum = _mm_add_ps(Sum, _mm_mul_ps(Spread<1>(V), P1));
        return _mm_add_ps(Sum, _mm_mul_ps(Spread<2>(V), P2));
    }
    // The translation row; the position's fourth lane is the orientation's
    // first component, unused.
    static __m128 TranslationRow(kelvo_transform const &Local, __m128 P0, __m128 P1, __m128 P2,
                                 __m128 P3) {
        return _mm_add_ps(Combine(_mm_loadu_ps(Local.Position), P0, P1, P2), P3);
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
            __m128 const L = _mm_loadu_ps(A + 4 * Row);
            __m128 Sum = _mm_add_ps(Combine(L, B0, B1, B2), _mm_mul_ps(Spread<3>(L), B3));
            _mm_storeu_ps(Result + 4 * Row, Sum);
        }
    }
};

} // namespace

pose_routines const SSEPoseRoutines = {&BuildWorldBones<sse_kernels>, &MultiplyEach<sse_kernels>};

void RenormalizeQuaternionSSE(kelvo_real32 *Quaternion) {
    __m128 const Q = _mm_loadu_ps(Quaternion);
    __m128 const Squares = _mm_mul_ps(Q, Q);
    __m128 const Pairs = _mm_add_ps(Squares, Pick<0xb1>(Squares));
    __m128 const E = _mm_add_ps(Pairs, Pick<0x4e>(Pairs)); // in every lane
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

namespace {

// Lanes of Mask from A, the others from B.
__m128 Select(__m128 Mask, __m128 A, __m128 B) {
    return _mm_or_ps(_mm_and_ps(Mask, A), _mm_andnot_ps(Mask, B));
}

// The sums of Sum times lane Lane of Inverse.
void ScaleSums(kelvo_transform &Sum, __m128 Inverse, int Lane) {
    __m128 const Scale = Lane == 0   ? Spread<0>(Inverse)
                         : Lane == 1 ? Spread<1>(Inverse)
                         : Lane == 2 ? Spread<2>(Inverse)
                                     : Spread<3>(Inverse);
    kelvo_real32 *Position = Sum.Position;
    kelvo_real32 *ScaleShear = Sum.ScaleShear;
    __m64 *Pair = reinterpret_cast<__m64 *>(Position);
    _mm_storel_pi(Pair, _mm_mul_ps(_mm_loadl_pi(_mm_setzero_ps(), Pair), Scale));
    _mm_store_ss(Position + 2, _mm_mul_ss(_mm_load_ss(Position + 2), Scale));
    _mm_storeu_ps(ScaleShear, _mm_mul_ps(_mm_loadu_ps(ScaleShear), Scale));
    _mm_storeu_ps(ScaleShear + 4, _mm_mul_ps(_mm_loadu_ps(ScaleShear + 4), Scale));
    _mm_store_ss(ScaleShear + 8, _mm_mul_ss(_mm_load_ss(ScaleShear + 8), Scale));
}

} // namespace

bool NormalizeEntriesSSE(kelvo_local_pose_transform *Entries) {
    kelvo_local_pose_transform &A = Entries[0], &B = Entries[1], &C = Entries[2], &D = Entries[3];
    __m128 X = _mm_loadu_ps(A.Transform.Orientation), Y = _mm_loadu_ps(B.Transform.Orientation);
    __m128 Z = _mm_loadu_ps(C.Transform.Orientation), W = _mm_loadu_ps(D.Transform.Orientation);
    _MM_TRANSPOSE4_PS(X, Y, Z, W);
    // Grouped as the single-quaternion sum groups them, so every lane has
    // its bits.
    __m128 const E = _mm_add_ps(_mm_add_ps(_mm_mul_ps(X, X), _mm_mul_ps(Y, Y)),
                                _mm_add_ps(_mm_mul_ps(Z, Z), _mm_mul_ps(W, W)));
    __m128 const Weight = _mm_setr_ps(A.Weight, B.Weight, C.Weight, D.Weight);
    __m128 const Zero = _mm_setzero_ps();
    if (_mm_movemask_ps(_mm_or_ps(_mm_cmpeq_ps(Weight, Zero), _mm_cmpeq_ps(E, Zero)))) {
        return false;
    }
    __m128 const One = _mm_set1_ps(1);
    __m128 const Inverse = _mm_div_ps(One, Weight);
    for (int Index = 0; Index < 4; ++Index) {
        if (Entries[Index].Count != 1 || Entries[Index].Weight != 1) {
            ScaleSums(Entries[Index].Transform, Inverse, Index);
        }
    }
    __m128 const T = _mm_sub_ps(_mm_set1_ps(3), E);
    __m128 const Inner = _mm_sub_ps(_mm_set1_ps(12), _mm_mul_ps(E, _mm_mul_ps(T, T)));
    __m128 const Newton = _mm_mul_ps(_mm_mul_ps(T, Inner), _mm_set1_ps(1.0f / 16));
    __m128 const Exact = _mm_div_ps(One, _mm_sqrt_ps(E));
    __m128 const Near =
        _mm_and_ps(_mm_cmpge_ps(E, _mm_set1_ps(0.9f)), _mm_cmple_ps(E, _mm_set1_ps(1.1f)));
    __m128 const Scale = Select(Near, Newton, Exact);
    // A NaN length leaves its quaternion as it is.
    __m128 const Scaled = _mm_cmpgt_ps(E, Zero);
    X = Select(Scaled, _mm_mul_ps(X, Scale), X);
    Y = Select(Scaled, _mm_mul_ps(Y, Scale), Y);
    Z = Select(Scaled, _mm_mul_ps(Z, Scale), Z);
    W = Select(Scaled, _mm_mul_ps(W, Scale), W);
    _MM_TRANSPOSE4_PS(X, Y, Z, W);
    _mm_storeu_ps(A.Transform.Orientation, X);
    _mm_storeu_ps(B.Transform.Orientation, Y);
    _mm_storeu_ps(C.Transform.Orientation, Z);
    _mm_storeu_ps(D.Transform.Orientation, W);
    return true;
}

} // namespace kelvo

#else

namespace kelvo {

// Never used: SSEPosesEnabled() is false off x86.
pose_routines const SSEPoseRoutines = {};

void RenormalizeQuaternionSSE(kelvo_real32 *Quaternion) {
    FastRenormalizeQuaternion(Quaternion);
}

bool NormalizeEntriesSSE(kelvo_local_pose_transform *) {
    return false;
}

} // namespace kelvo

#endif
