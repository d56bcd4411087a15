// The steady cubic-pair kernel of x86_kelvo_curve.cpp in eight lanes: the
// basis weights and the normalization of eight windows at a time, the
// blends two windows to a register (lane j in the low half, lane j + 4 in
// the high one). Every lane gets the SSE2 lane's single operations in its
// order, so every result keeps the portable bits. Builds that hold scalars
// at extended precision leave it empty, as they never take the SSE kernel.
// Nothing but AVXCubicPairRoutines may leave this file (see
// x86_kelvo_pose_avx.cpp): the entry points are flattened so that no
// inline code of the headers is left to be shared.
#include "anim/kelvo_curve_formats.h"
#include "anim/kelvo_pose.h"

#include <cfloat>

#if (defined(__x86_64__) || defined(__i386__)) && FLT_EVAL_METHOD == 0

#include "x86/x86_kelvo_contribution.h"
#include "x86/x86_kelvo_cubic_lanes.h"

#include <immintrin.h>

namespace kelvo {

namespace {

inline __m256 Join(__m128 Low, __m128 High) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(Low), High, 1);
}

inline __m256 Load4x2(kelvo_real32 const *Low, kelvo_real32 const *High) {
    return Join(_mm_loadu_ps(Low), _mm_loadu_ps(High));
}

// A 4x4 transpose in each half.
inline void Transpose(__m256 *Rows) {
    __m256 const T0 = _mm256_unpacklo_ps(Rows[0], Rows[1]);
    __m256 const T1 = _mm256_unpackhi_ps(Rows[0], Rows[1]);
    __m256 const T2 = _mm256_unpacklo_ps(Rows[2], Rows[3]);
    __m256 const T3 = _mm256_unpackhi_ps(Rows[2], Rows[3]);
    Rows[0] = _mm256_shuffle_ps(T0, T2, _MM_SHUFFLE(1, 0, 1, 0));
    Rows[1] = _mm256_shuffle_ps(T0, T2, _MM_SHUFFLE(3, 2, 3, 2));
    Rows[2] = _mm256_shuffle_ps(T1, T3, _MM_SHUFFLE(1, 0, 1, 0));
    Rows[3] = _mm256_shuffle_ps(T1, T3, _MM_SHUFFLE(3, 2, 3, 2));
}

struct avx_ops {
    using vec = __m256;
    static vec Set(kelvo_real32 Value) { return _mm256_set1_ps(Value); }
    static vec Add(vec A, vec B) { return _mm256_add_ps(A, B); }
    static vec Sub(vec A, vec B) { return _mm256_sub_ps(A, B); }
    static vec Mul(vec A, vec B) { return _mm256_mul_ps(A, B); }
    static vec Div(vec A, vec B) { return _mm256_div_ps(A, B); }
    static vec Sqrt(vec A) { return _mm256_sqrt_ps(A); }
    static vec Positive(vec A) { return _mm256_cmp_ps(A, _mm256_setzero_ps(), _CMP_GT_OQ); }
    // and/andnot/or: GCC made the blend of this selection through general
    // registers.
    static vec Select(vec Mask, vec A, vec B) {
        return _mm256_or_ps(_mm256_and_ps(Mask, A), _mm256_andnot_ps(Mask, B));
    }
};

// BlendControls of the SSE2 kernel for two windows at once.
template <int Width>
inline __m256 BlendControls(__m256 const *Weights, kelvo_real32 const *Low,
                            kelvo_real32 const *High) {
    __m256 const Last = Width == 4 ? Load4x2(Low, High) : Join(Load3(Low), Load3(High));
    __m256 Sum = _mm256_mul_ps(Weights[3], Last);
    Sum = _mm256_add_ps(Sum, _mm256_mul_ps(Weights[2], Load4x2(Low - Width, High - Width)));
    Sum = _mm256_add_ps(Sum, _mm256_mul_ps(Weights[1], Load4x2(Low - 2 * Width, High - 2 * Width)));
    return _mm256_add_ps(Sum,
                         _mm256_mul_ps(Weights[0], Load4x2(Low - 3 * Width, High - 3 * Width)));
}

// The weights of eight windows, those of lanes j and j + 4 spread over the
// halves of ByPair[j], and the knots they were found from (rows as loaded:
// knots k-3 .. k, then k-1 .. k+2, of lanes j and j + 4).
struct eight_weights {
    __m256 Knots[8];
    __m256 ByPair[4][4]; // pair, weight
};

inline bool SameKnots(__m256 const *A, __m256 const *B) {
    __m256 Differ = _mm256_xor_ps(A[0], B[0]);
    for (int Index = 1; Index < 8; ++Index) {
        Differ = _mm256_or_ps(Differ, _mm256_xor_ps(A[Index], B[Index]));
    }
    __m256i const Bits = _mm256_castps_si256(Differ);
    return _mm256_testz_si256(Bits, Bits) != 0;
}

template <int Lane> inline void Spread(__m256 const *Weights, __m256 *Pair) {
    for (int Index = 0; Index < 4; ++Index) {
        Pair[Index] = _mm256_permute_ps(Weights[Index], Lane * 0x55);
    }
}

// FindWeights of the SSE2 kernel, eight lanes wide.
inline void FindWeights(__m256 const *Knots, kelvo_real32 T, eight_weights &Result) {
    __m256 Low[4] = {Knots[0], Knots[1], Knots[2], Knots[3]};
    __m256 High[4] = {Knots[4], Knots[5], Knots[6], Knots[7]};
    Transpose(Low);
    Transpose(High);
    __m256 Weights[4];
    CubicWeights<avx_ops>(Low[0], Low[1], Low[2], Low[3], High[2], High[3], T, Weights);
    Spread<0>(Weights, Result.ByPair[0]);
    Spread<1>(Weights, Result.ByPair[1]);
    Spread<2>(Weights, Result.ByPair[2]);
    Spread<3>(Weights, Result.ByPair[3]);
    for (int Index = 0; Index < 8; ++Index) {
        Result.Knots[Index] = Knots[Index];
    }
}

// Up to eight lanes evaluated, lanes j and j + 4 in the halves of pair j.
struct eight_lanes {
    int Count;
    __m256 Position[4];
    __m256 Orientation[4];
};

// Count (1 to 8) windows blended at T; missing lanes repeat the first.
inline void BlendEight(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                       eight_weights &Weights, bool &HaveWeights, eight_lanes &Result) {
    cubic_pair_window const *Lanes[8];
    for (int Lane = 0; Lane < 8; ++Lane) {
        Lanes[Lane] = Windows + (Lane < Count ? Lane : 0);
    }
    __m256 Knots[8];
    for (int Pair = 0; Pair < 4; ++Pair) {
        kelvo_real32 const *const Low = Lanes[Pair]->Knots, *const High = Lanes[4 + Pair]->Knots;
        Knots[Pair] = Load4x2(Low - 3, High - 3);
        Knots[4 + Pair] = Load4x2(Low - 1, High - 1);
    }
    if (!HaveWeights || !SameKnots(Knots, Weights.Knots)) {
        FindWeights(Knots, T, Weights);
        HaveWeights = true;
    }
    for (int Pair = 0; Pair < 4; ++Pair) {
        cubic_pair_window const &Low = *Lanes[Pair], &High = *Lanes[4 + Pair];
        Result.Orientation[Pair] = BlendControls<4>(Weights.ByPair[Pair], Low.OrientationControls,
                                                    High.OrientationControls);
        Result.Position[Pair] =
            BlendControls<3>(Weights.ByPair[Pair], Low.PositionControls, High.PositionControls);
    }
    Result.Count = Count;
}

// NormalizeFour of the SSE2 kernel, eight lanes wide.
inline void NormalizeEight(eight_lanes &Lanes) {
    Transpose(Lanes.Orientation);
    NormalizeLanes<avx_ops>(Lanes.Orientation);
    Transpose(Lanes.Orientation);
}

inline __m128 Half(__m256 Pair, int Lane) {
    return Lane < 4 ? _mm256_castps256_ps128(Pair) : _mm256_extractf128_ps(Pair, 1);
}

inline void FinishEight(eight_lanes &Lanes, kelvo_real32 *const *Positions,
                        kelvo_real32 *const *Orientations) {
    for (int Lane = 0; Lane < Lanes.Count; ++Lane) {
        Store3(Positions[Lane], Half(Lanes.Position[Lane & 3], Lane));
        _mm_storeu_ps(Orientations[Lane], Half(Lanes.Orientation[Lane & 3], Lane));
    }
}

// Each lane added to its entry, in lane order, as the SSE2 kernel adds it.
inline void AddEight(eight_lanes &Lanes, kelvo_local_pose_transform *Entries,
                     kelvo_int32 TraversalID, kelvo_bone const *Bones,
                     steady_contribution const *Contributions) {
    for (int Lane = 0; Lane < Lanes.Count; ++Lane) {
        AddSteadyLane(Entries, TraversalID, Bones, Contributions[Lane],
                      Half(Lanes.Position[Lane & 3], Lane),
                      Half(Lanes.Orientation[Lane & 3], Lane));
    }
}

// Count windows blended and normalized up to four eights at a time, then
// each eight handed to Finish(Lanes, First): the normalizations (a square
// root and a division after a long chain) overlap one another.
template <typename finish>
inline void BlendInBatches(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                           finish Finish) {
    eight_weights Weights;
    bool HaveWeights = false; // T is the same for all
    for (int Start = 0; Start < Count; Start += 32) {
        eight_lanes Lanes[4];
        int const End = Count - Start < 32 ? Count : Start + 32;
        for (int First = Start; First < End; First += 8) {
            eight_lanes &Next = Lanes[(First - Start) / 8];
            BlendEight(End - First < 8 ? End - First : 8, Windows + First, T, Weights, HaveWeights,
                       Next);
            NormalizeEight(Next);
        }
        for (int First = Start; First < End; First += 8) {
            Finish(Lanes[(First - Start) / 8], First);
        }
    }
}

[[gnu::flatten]] void EvaluateCubicPairsAVX(int Count, cubic_pair_window const *Windows,
                                            kelvo_real32 T, kelvo_real32 *const *Positions,
                                            kelvo_real32 *const *Orientations) {
    BlendInBatches(Count, Windows, T, [&](eight_lanes &Lanes, int First) {
        FinishEight(Lanes, Positions + First, Orientations + First);
    });
}

[[gnu::flatten]] void AccumulateCubicPairsAVX(kelvo_local_pose_transform *Entries,
                                              kelvo_int32 TraversalID, kelvo_bone const *Bones,
                                              int Count, cubic_pair_window const *Windows,
                                              steady_contribution const *Contributions,
                                              kelvo_real32 T) {
    BlendInBatches(Count, Windows, T, [&](eight_lanes &Lanes, int First) {
        AddEight(Lanes, Entries, TraversalID, Bones, Contributions + First);
    });
}

} // namespace

cubic_pair_routines const AVXCubicPairRoutines = {&EvaluateCubicPairsAVX, &AccumulateCubicPairsAVX};

} // namespace kelvo

#else

namespace kelvo {

// Empty: AVXPosesEnabled() is false.
cubic_pair_routines const AVXCubicPairRoutines = {};

} // namespace kelvo

#endif
