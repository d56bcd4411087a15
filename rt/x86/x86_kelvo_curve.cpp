// Cubic position/orientation pairs of up to four tracks evaluated side by
// side: the basis weights and the normalization one track per lane, the
// blends one track at a time over the controls as stored. Every real gets
// the portable evaluator's IEEE single operations in its order (this file
// is built without contraction into fused multiply-adds), so every result
// keeps the portable bits.
#include "anim/kelvo_curve_formats.h"
#include "anim/kelvo_pose.h"

#if defined(__x86_64__) || defined(__i386__)

#include "x86/x86_kelvo_contribution.h"
#include "x86/x86_kelvo_cubic_lanes.h"

#include <immintrin.h>

namespace kelvo {

namespace {

struct sse_ops {
    using vec = __m128;
    static vec Set(kelvo_real32 Value) { return _mm_set1_ps(Value); }
    static vec Add(vec A, vec B) { return _mm_add_ps(A, B); }
    static vec Sub(vec A, vec B) { return _mm_sub_ps(A, B); }
    static vec Mul(vec A, vec B) { return _mm_mul_ps(A, B); }
    static vec Div(vec A, vec B) { return _mm_div_ps(A, B); }
    static vec Sqrt(vec A) { return _mm_sqrt_ps(A); }
    static vec Positive(vec A) { return _mm_cmpgt_ps(A, _mm_setzero_ps()); }
    static vec Select(vec Mask, vec A, vec B) { return kelvo::Select(Mask, A, B); }
};

// W3 C[0] + W2 C[-1] + W1 C[-2] + W0 C[-3], added in that order, every
// component at once: the controls are blended as stored, so that only the
// weights need moving between lanes. The reals of a position past its third
// are its successor's (control 0 is read as three), and are dropped.
template <int Width>
inline __m128 BlendControls(__m128 const *Weights, kelvo_real32 const *Controls) {
    __m128 const Last = Width == 4 ? _mm_loadu_ps(Controls) : Load3(Controls);
    __m128 Sum = _mm_mul_ps(Weights[3], Last);
    Sum = _mm_add_ps(Sum, _mm_mul_ps(Weights[2], _mm_loadu_ps(Controls - Width)));
    Sum = _mm_add_ps(Sum, _mm_mul_ps(Weights[1], _mm_loadu_ps(Controls - 2 * Width)));
    return _mm_add_ps(Sum, _mm_mul_ps(Weights[0], _mm_loadu_ps(Controls - 3 * Width)));
}

// Lane Lane of each weight vector, in every lane.
template <int Lane> inline void Broadcast(__m128 const *Weights, __m128 *Lanes) {
    for (int Index = 0; Index < 4; ++Index) {
        Lanes[Index] = _mm_shuffle_ps(Weights[Index], Weights[Index], Lane * 0x55);
    }
}

// The weights of four windows, each lane's in every lane, and the knots
// they were found from (as loaded: knots k-3 .. k and k-1 .. k+2 of each
// lane): tracks keyed at the same times share their windows' knot values,
// and their weights need not be found again.
struct four_weights {
    __m128i Knots[8];
    __m128 ByLane[4][4]; // lane, weight
};

inline bool SameKnots(__m128i const *A, __m128i const *B) {
    __m128i Equal = _mm_cmpeq_epi32(A[0], B[0]);
    for (int Index = 1; Index < 8; ++Index) {
        Equal = _mm_and_si128(Equal, _mm_cmpeq_epi32(A[Index], B[Index]));
    }
    return _mm_movemask_epi8(Equal) == 0xFFFF;
}

// The cubic basis weights at T, one lane per window.
inline void FindWeights(__m128i const *Knots, kelvo_real32 T, four_weights &Result) {
    __m128 Low[4], High[4];
    for (int Lane = 0; Lane < 4; ++Lane) {
        Low[Lane] = _mm_castsi128_ps(Knots[Lane]);
        High[Lane] = _mm_castsi128_ps(Knots[4 + Lane]);
    }
    _MM_TRANSPOSE4_PS(Low[0], Low[1], Low[2], Low[3]);
    _MM_TRANSPOSE4_PS(High[0], High[1], High[2], High[3]);
    __m128 Weights[4];
    CubicWeights<sse_ops>(Low[0], Low[1], Low[2], Low[3], High[2], High[3], T, Weights);
    Broadcast<0>(Weights, Result.ByLane[0]);
    Broadcast<1>(Weights, Result.ByLane[1]);
    Broadcast<2>(Weights, Result.ByLane[2]);
    Broadcast<3>(Weights, Result.ByLane[3]);
    for (int Index = 0; Index < 8; ++Index) {
        Result.Knots[Index] = Knots[Index];
    }
}

// Up to four lanes evaluated, their orientations not yet normalized. A
// position's lane 3 is its successor's, to be dropped.
struct four_lanes {
    int Count;
    __m128 Position[4];    // by lane
    __m128 Orientation[4]; // by lane
};

// Count (1 to 4) windows blended at T into Result. Missing lanes repeat
// the first window. Weights holds the weights of the last four and is
// updated when these knots differ.
inline void BlendFour(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                      four_weights &Weights, bool &HaveWeights, four_lanes &Result) {
    cubic_pair_window const *Lanes[4];
    for (int Lane = 0; Lane < 4; ++Lane) {
        Lanes[Lane] = Windows + (Lane < Count ? Lane : 0);
    }
    __m128i Knots[8];
    for (int Lane = 0; Lane < 4; ++Lane) {
        Knots[Lane] = _mm_loadu_si128(reinterpret_cast<__m128i const *>(Lanes[Lane]->Knots - 3));
        Knots[4 + Lane] =
            _mm_loadu_si128(reinterpret_cast<__m128i const *>(Lanes[Lane]->Knots - 1));
    }
    if (!HaveWeights || !SameKnots(Knots, Weights.Knots)) {
        FindWeights(Knots, T, Weights);
        HaveWeights = true;
    }
    for (int Lane = 0; Lane < 4; ++Lane) {
        cubic_pair_window const &Window = *Lanes[Lane];
        Result.Orientation[Lane] =
            BlendControls<4>(Weights.ByLane[Lane], Window.OrientationControls);
        Result.Position[Lane] = BlendControls<3>(Weights.ByLane[Lane], Window.PositionControls);
    }
    Result.Count = Count;
}

// The orientations: one Newton step towards unit length, then the exact
// normalization (where the length is positive), left by lane.
inline void NormalizeFour(four_lanes &Lanes) {
    __m128 *const Orientation = Lanes.Orientation;
    _MM_TRANSPOSE4_PS(Orientation[0], Orientation[1], Orientation[2], Orientation[3]);
    NormalizeLanes<sse_ops>(Orientation);
    _MM_TRANSPOSE4_PS(Orientation[0], Orientation[1], Orientation[2], Orientation[3]);
}

inline void FinishFour(four_lanes &Lanes, kelvo_real32 *const *Positions,
                       kelvo_real32 *const *Orientations) {
    NormalizeFour(Lanes);
    for (int Lane = 0; Lane < Lanes.Count; ++Lane) {
        Store3(Positions[Lane], Lanes.Position[Lane]);
        _mm_storeu_ps(Orientations[Lane], Lanes.Orientation[Lane]);
    }
}

// The lanes normalized, then each added to its entry, in lane order.
inline void AddFour(four_lanes &Lanes, kelvo_local_pose_transform *Entries, kelvo_int32 TraversalID,
                    kelvo_bone const *Bones, steady_contribution const *Contributions) {
    NormalizeFour(Lanes);
    for (int Lane = 0; Lane < Lanes.Count; ++Lane) {
        AddSteadyLane(Entries, TraversalID, Bones, Contributions[Lane], Lanes.Position[Lane],
                      Lanes.Orientation[Lane]);
    }
}

// Count windows blended four at a time, each four handed to Finish(Lanes,
// First) once the next four is blended: a four's normalization (a square
// root and a division after a long chain) then overlaps the next blend.
template <typename finish>
inline void BlendOverlapped(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                            finish Finish) {
    four_lanes Lanes[2];
    four_weights Weights;
    bool HaveWeights = false; // T is the same for all
    int Last = -1;
    for (int First = 0; First < Count; First += 4) {
        four_lanes &Next = Lanes[(First / 4) & 1];
        BlendFour(Count - First < 4 ? Count - First : 4, Windows + First, T, Weights, HaveWeights,
                  Next);
        if (Last >= 0) {
            Finish(Lanes[(Last / 4) & 1], Last);
        }
        Last = First;
    }
    if (Last >= 0) {
        Finish(Lanes[(Last / 4) & 1], Last);
    }
}

} // namespace

void EvaluateCubicPairsSSE(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                           kelvo_real32 *const *Positions, kelvo_real32 *const *Orientations) {
    BlendOverlapped(Count, Windows, T, [&](four_lanes &Lanes, int First) {
        FinishFour(Lanes, Positions + First, Orientations + First);
    });
}

void AccumulateCubicPairsSSE(kelvo_local_pose_transform *Entries, kelvo_int32 TraversalID,
                             kelvo_bone const *Bones, int Count, cubic_pair_window const *Windows,
                             steady_contribution const *Contributions, kelvo_real32 T) {
    BlendOverlapped(Count, Windows, T, [&](four_lanes &Lanes, int First) {
        AddFour(Lanes, Entries, TraversalID, Bones, Contributions + First);
    });
}

} // namespace kelvo

#else

namespace kelvo {

// Never used: SSEPosesEnabled() is false off x86.
void EvaluateCubicPairsSSE(int, cubic_pair_window const *, kelvo_real32, kelvo_real32 *const *,
                           kelvo_real32 *const *) {}

void AccumulateCubicPairsSSE(kelvo_local_pose_transform *, kelvo_int32, kelvo_bone const *, int,
                             cubic_pair_window const *, steady_contribution const *, kelvo_real32) {
}

} // namespace kelvo

#endif
