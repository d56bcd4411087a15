// The lane arithmetic of the steady cubic-pair kernels, for vectors of any
// width (ops gives the vector type and its single operations): every lane
// gets the portable code's operations in its order, so the SSE2 and AVX
// kernels keep the same bits. Each kernel instantiates it with ops of its
// own file's anonymous namespace, so no instance is shared between them.
#pragma once

#include "kelvo2/kelvo2_types.h"

namespace kelvo {

template <typename ops> inline typename ops::vec LengthSquared(typename ops::vec const *Q) {
    typename ops::vec Sum = ops::Add(ops::Mul(Q[0], Q[0]), ops::Mul(Q[1], Q[1]));
    Sum = ops::Add(Sum, ops::Mul(Q[2], Q[2]));
    return ops::Add(Sum, ops::Mul(Q[3], Q[3]));
}

// The cubic basis weights at T, as the portable Weights3 forms them, one
// window per lane, from its knots k-3 .. k+2 (Km3 .. K2).
template <typename ops>
inline void CubicWeights(typename ops::vec Km3, typename ops::vec Km2, typename ops::vec Km1,
                         typename ops::vec K0, typename ops::vec K1, typename ops::vec K2,
                         kelvo_real32 T, typename ops::vec *Weights) {
    using vec = typename ops::vec;
    vec const Tv = ops::Set(T);
    vec const One = ops::Set(1.0f);
    vec const M = ops::Sub(Tv, Km1);
    vec const FromKm2 = ops::Sub(Tv, Km2);
    vec const R = ops::Div(M, ops::Sub(K0, Km1));
    vec const V = ops::Div(FromKm2, ops::Sub(K0, Km2));
    vec const H = ops::Div(ops::Sub(Tv, Km3), ops::Sub(K0, Km3));
    vec const U = ops::Div(FromKm2, ops::Sub(K1, Km2));
    vec const A = ops::Div(M, ops::Sub(K1, Km1));
    vec const M2 = ops::Div(M, ops::Sub(K2, Km1));
    vec const OneMinusR = ops::Sub(One, R);
    vec const Wv = ops::Mul(OneMinusR, ops::Sub(One, V));
    vec const V2 = ops::Add(ops::Mul(OneMinusR, V), ops::Mul(R, ops::Sub(One, A)));
    vec const R2 = ops::Mul(R, A);
    Weights[0] = ops::Mul(Wv, ops::Sub(One, H));
    Weights[1] = ops::Add(ops::Mul(ops::Sub(One, U), V2), ops::Mul(Wv, H));
    Weights[2] = ops::Add(ops::Mul(ops::Sub(One, M2), R2), ops::Mul(U, V2));
    Weights[3] = ops::Mul(M2, R2);
}

// The orientations (Component[c] holds component c of every lane): one
// Newton step towards unit length, then the exact normalization where the
// length is positive (not for NaN, as in C).
template <typename ops> inline void NormalizeLanes(typename ops::vec *Component) {
    using vec = typename ops::vec;
    vec const Factor =
        ops::Mul(ops::Sub(ops::Set(3.0f), LengthSquared<ops>(Component)), ops::Set(0.5f));
    for (int Index = 0; Index < 4; ++Index) {
        Component[Index] = ops::Mul(Component[Index], Factor);
    }
    vec const Length2 = LengthSquared<ops>(Component);
    vec const Positive = ops::Positive(Length2);
    vec const Scale = ops::Div(ops::Set(1.0f), ops::Sqrt(Length2));
    for (int Index = 0; Index < 4; ++Index) {
        Component[Index] =
            ops::Select(Positive, ops::Mul(Component[Index], Scale), Component[Index]);
    }
}

} // namespace kelvo
