// Cubic position/orientation pairs of up to four tracks evaluated side by
// side, one track per lane. Each lane does the portable evaluator's IEEE
// single operations in its order (this file is built without contraction
// into fused multiply-adds), so every result keeps the portable bits.
#include "anim/kelvo_curve_formats.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace kelvo {

namespace {

// Three reals into lanes 0-2 (lane 3 zero) without reading past them.
inline __m128 Load3(kelvo_real32 const *From) {
    // loadl, unlike load_sd, is no double access, which the reals' 4-byte
    // alignment would not allow.
    __m128 const XY = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<__m64 const *>(From));
    return _mm_movelh_ps(XY, _mm_load_ss(From + 2));
}

inline void Store3(kelvo_real32 *To, __m128 Value) {
    _mm_storel_pi(reinterpret_cast<__m64 *>(To), Value);
    _mm_store_ss(To + 2, _mm_movehl_ps(Value, Value));
}

// Sum = W3 C[0] + W2 C[-1] + W1 C[-2] + W0 C[-3], added in that order, for
// one component; Controls[j] holds control -j of every lane.
inline __m128 BlendComponent(__m128 const *Weights, __m128 const *Controls) {
    __m128 Sum = _mm_mul_ps(Weights[3], Controls[0]);
    Sum = _mm_add_ps(Sum, _mm_mul_ps(Weights[2], Controls[1]));
    Sum = _mm_add_ps(Sum, _mm_mul_ps(Weights[1], Controls[2]));
    return _mm_add_ps(Sum, _mm_mul_ps(Weights[0], Controls[3]));
}

// Width (3 or 4) reals at each lane's Member + Offset, one vector per
// component (lane 3 of a width of 3 is zero).
template <int Width>
inline void Transposed(cubic_pair_window const *const *Lanes,
                       kelvo_real32 const *cubic_pair_window::*Member, int Offset,
                       __m128 *Components) {
    for (int Lane = 0; Lane < 4; ++Lane) {
        kelvo_real32 const *From = Lanes[Lane]->*Member + Offset;
        Components[Lane] = Width == 4 ? _mm_loadu_ps(From) : Load3(From);
    }
    _MM_TRANSPOSE4_PS(Components[0], Components[1], Components[2], Components[3]);
}

inline __m128 LengthSquared(__m128 const *Q) {
    __m128 Sum = _mm_add_ps(_mm_mul_ps(Q[0], Q[0]), _mm_mul_ps(Q[1], Q[1]));
    Sum = _mm_add_ps(Sum, _mm_mul_ps(Q[2], Q[2]));
    return _mm_add_ps(Sum, _mm_mul_ps(Q[3], Q[3]));
}

// Up to four lanes evaluated, their orientations not yet normalized.
struct four_lanes {
    int Count;
    __m128 Position[4];    // by component
    __m128 Orientation[4]; // by component
};

// Count (1 to 4) windows blended at T; missing lanes repeat the first
// window and their results are dropped.
inline void BlendFour(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                      four_lanes &Result) {
    cubic_pair_window const *Lanes[4];
    for (int Lane = 0; Lane < 4; ++Lane) {
        Lanes[Lane] = Windows + (Lane < Count ? Lane : 0);
    }
    // Knots k-3 .. k+2 of each lane, one vector per knot.
    __m128 Low[4], High[4];
    Transposed<4>(Lanes, &cubic_pair_window::Knots, -3, Low);
    Transposed<4>(Lanes, &cubic_pair_window::Knots, -1, High);
    __m128 const Km3 = Low[0], Km2 = Low[1], Km1 = Low[2], K0 = Low[3], K1 = High[2], K2 = High[3];

    // The cubic basis weights, as the portable Weights3 forms them.
    __m128 const Tv = _mm_set1_ps(T);
    __m128 const One = _mm_set1_ps(1.0f);
    __m128 const M = _mm_sub_ps(Tv, Km1);
    __m128 const FromKm2 = _mm_sub_ps(Tv, Km2);
    __m128 const R = _mm_div_ps(M, _mm_sub_ps(K0, Km1));
    __m128 const V = _mm_div_ps(FromKm2, _mm_sub_ps(K0, Km2));
    __m128 const H = _mm_div_ps(_mm_sub_ps(Tv, Km3), _mm_sub_ps(K0, Km3));
    __m128 const U = _mm_div_ps(FromKm2, _mm_sub_ps(K1, Km2));
    __m128 const A = _mm_div_ps(M, _mm_sub_ps(K1, Km1));
    __m128 const M2 = _mm_div_ps(M, _mm_sub_ps(K2, Km1));
    __m128 const OneMinusR = _mm_sub_ps(One, R);
    __m128 const Wv = _mm_mul_ps(OneMinusR, _mm_sub_ps(One, V));
    __m128 const V2 = _mm_add_ps(_mm_mul_ps(OneMinusR, V), _mm_mul_ps(R, _mm_sub_ps(One, A)));
    __m128 const R2 = _mm_mul_ps(R, A);
    __m128 Weights[4];
    Weights[0] = _mm_mul_ps(Wv, _mm_sub_ps(One, H));
    Weights[1] = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(One, U), V2), _mm_mul_ps(Wv, H));
    Weights[2] = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(One, M2), R2), _mm_mul_ps(U, V2));
    Weights[3] = _mm_mul_ps(M2, R2);

    // Controls k, k-1, k-2, k-3 of each lane, by component, blended.
    __m128 P[4][4], Q[4][4]; // component, control
    for (int Back = 0; Back < 4; ++Back) {
        __m128 Components[4];
        Transposed<3>(Lanes, &cubic_pair_window::PositionControls, -3 * Back, Components);
        for (int Component = 0; Component < 4; ++Component) {
            P[Component][Back] = Components[Component];
        }
        Transposed<4>(Lanes, &cubic_pair_window::OrientationControls, -4 * Back, Components);
        for (int Component = 0; Component < 4; ++Component) {
            Q[Component][Back] = Components[Component];
        }
    }
    for (int Component = 0; Component < 3; ++Component) {
        Result.Position[Component] = BlendComponent(Weights, P[Component]);
    }
    Result.Position[3] = _mm_setzero_ps();
    for (int Component = 0; Component < 4; ++Component) {
        Result.Orientation[Component] = BlendComponent(Weights, Q[Component]);
    }
    Result.Count = Count;
}

// The orientations: one Newton step towards unit length, then the exact
// normalization (where the length is positive); every lane stored.
inline void FinishFour(four_lanes &Lanes, kelvo_real32 *const *Positions,
                       kelvo_real32 *const *Orientations) {
    __m128 *const Orientation = Lanes.Orientation;
    __m128 *const Position = Lanes.Position;
    __m128 const Factor =
        _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(3.0f), LengthSquared(Orientation)), _mm_set1_ps(0.5f));
    for (int Component = 0; Component < 4; ++Component) {
        Orientation[Component] = _mm_mul_ps(Orientation[Component], Factor);
    }
    __m128 const Length2 = LengthSquared(Orientation);
    __m128 const Positive = _mm_cmpgt_ps(Length2, _mm_setzero_ps()); // false for NaN, as in C
    __m128 const Scale = _mm_div_ps(_mm_set1_ps(1.0f), _mm_sqrt_ps(Length2));
    for (int Component = 0; Component < 4; ++Component) {
        __m128 const Scaled = _mm_mul_ps(Orientation[Component], Scale);
        Orientation[Component] = _mm_or_ps(_mm_and_ps(Positive, Scaled),
                                           _mm_andnot_ps(Positive, Orientation[Component]));
    }

    _MM_TRANSPOSE4_PS(Orientation[0], Orientation[1], Orientation[2], Orientation[3]);
    _MM_TRANSPOSE4_PS(Position[0], Position[1], Position[2], Position[3]);
    for (int Lane = 0; Lane < Lanes.Count; ++Lane) {
        _mm_storeu_ps(Orientations[Lane], Orientation[Lane]);
        Store3(Positions[Lane], Position[Lane]);
    }
}

} // namespace

// Each four's normalization (a square root and a division after a long
// chain) is left until the next four is blended, so that the two overlap.
void EvaluateCubicPairsSSE(int Count, cubic_pair_window const *Windows, kelvo_real32 T,
                           kelvo_real32 *const *Positions, kelvo_real32 *const *Orientations) {
    four_lanes Lanes[2];
    int Last = -1;
    for (int First = 0; First < Count; First += 4) {
        four_lanes &Next = Lanes[(First / 4) & 1];
        BlendFour(Count - First < 4 ? Count - First : 4, Windows + First, T, Next);
        if (Last >= 0) {
            FinishFour(Lanes[(Last / 4) & 1], Positions + Last, Orientations + Last);
        }
        Last = First;
    }
    if (Last >= 0) {
        FinishFour(Lanes[(Last / 4) & 1], Positions + Last, Orientations + Last);
    }
}

} // namespace kelvo

#else

namespace kelvo {

// Never used: SSEPosesEnabled() is false off x86.
void EvaluateCubicPairsSSE(int, cubic_pair_window const *, kelvo_real32, kelvo_real32 *const *,
                           kelvo_real32 *const *) {}

} // namespace kelvo

#endif
