// B-spline evaluation of one window: the basis weights of degrees 0 to 3 on
// the span [knot k-1, knot k) by the Cox-de Boor recursion written out, the
// blend of the window's controls, and the normalizing forms, which take one
// Newton step towards unit length. Knots and controls are read around the
// pointers the caller gives; nothing is checked here but the dispatch.
#include "anim/kelvo_bspline.h"

#include "foundation/kelvo_log.h"

namespace kelvo {

namespace {

template <int Degree, int Dimension, bool Normalize>
[[gnu::always_inline]] inline void Blend(kelvo_real32 const *Weights, kelvo_real32 const *Controls, kelvo_real32 *Result) {
    kelvo_real32 Sum[Dimension];
    for (int Component = 0; Component < Dimension; ++Component) {
        Sum[Component] = Weights[Degree] * Controls[Component];
    }
    for (int Index = 1; Index <= Degree; ++Index) {
        kelvo_real32 const *Control = Controls - Index * Dimension;
        for (int Component = 0; Component < Dimension; ++Component) {
            Sum[Component] += Weights[Degree - Index] * Control[Component];
        }
    }
    kelvo_real32 Factor = 1.0f;
    if constexpr (Normalize) {
        kelvo_real32 LengthSquared = 0.0f;
        for (int Component = 0; Component < Dimension; ++Component) {
            LengthSquared += Sum[Component] * Sum[Component];
        }
        Factor = (3.0f - LengthSquared) * 0.5f;
    }
    for (int Component = 0; Component < Dimension; ++Component) {
        Result[Component] = Normalize ? Sum[Component] * Factor : Sum[Component];
    }
}

// Weights[i] belongs to control k - Degree + i.
[[gnu::always_inline]] inline void Weights1(kelvo_real32 const *K, kelvo_real32 T, kelvo_real32 *W) {
    kelvo_real32 U = (T - K[-1]) / (K[0] - K[-1]);
    W[0] = 1.0f - U;
    W[1] = U;
}

[[gnu::always_inline]] inline void Weights2(kelvo_real32 const *K, kelvo_real32 T, kelvo_real32 *W) {
    kelvo_real32 A = (T - K[-2]) / (K[0] - K[-2]);
    kelvo_real32 B = (T - K[-1]) / (K[0] - K[-1]);
    kelvo_real32 C = A + B - A * B;
    kelvo_real32 E = B * ((T - K[-1]) / (K[1] - K[-1]));
    W[0] = 1.0f - C;
    W[1] = C - E;
    W[2] = E;
}

// The quotients are independent: four of them side by side divide as one
// vector where the machine has one, with the same rounding.
[[gnu::always_inline]] inline void Weights3(kelvo_real32 const *K, kelvo_real32 T,
                                            kelvo_real32 *W) {
    kelvo_real32 const M = T - K[-1];
    kelvo_real32 const Numerators[4] = {M, T - K[-2], T - K[-3], T - K[-2]};
    kelvo_real32 const Denominators[4] = {K[0] - K[-1], K[0] - K[-2], K[0] - K[-3],
                                          K[1] - K[-2]};
    kelvo_real32 Q[4];
    for (int Index = 0; Index < 4; ++Index) {
        Q[Index] = Numerators[Index] / Denominators[Index];
    }
    kelvo_real32 const R = Q[0], V = Q[1], H = Q[2], U = Q[3];
    kelvo_real32 const A = M / (K[1] - K[-1]);
    kelvo_real32 const M2 = M / (K[2] - K[-1]);
    kelvo_real32 Wv = (1.0f - R) * (1.0f - V);
    kelvo_real32 V2 = (1.0f - R) * V + R * (1.0f - A);
    kelvo_real32 R2 = R * A;
    W[0] = Wv * (1.0f - H);
    W[1] = (1.0f - U) * V2 + Wv * H;
    W[2] = (1.0f - M2) * R2 + U * V2;
    W[3] = M2 * R2;
}

template <int Degree>
[[gnu::always_inline]] inline void WeightsOf(kelvo_real32 const *Knots, kelvo_real32 T,
                                             kelvo_real32 *W) {
    if constexpr (Degree == 1) {
        Weights1(Knots, T, W);
    } else if constexpr (Degree == 2) {
        Weights2(Knots, T, W);
    } else if constexpr (Degree == 3) {
        Weights3(Knots, T, W);
    }
}

template <int Degree, int Dimension, bool Normalize>
void Evaluate(kelvo_real32 const *Knots, kelvo_real32 const *Controls, kelvo_real32 T,
              kelvo_real32 *Result) {
    kelvo_real32 W[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    WeightsOf<Degree>(Knots, T, W);
    Blend<Degree, Dimension, Normalize && Degree != 0>(W, Controls, Result);
}

// A position and a normalized orientation over the same knots: one set of
// weights for both, each blended as its own evaluator blends it.
template <int Degree>
void EvaluatePair(kelvo_real32 const *Knots, kelvo_real32 const *PositionControls,
                  kelvo_real32 const *OrientationControls, kelvo_real32 T, kelvo_real32 *Position,
                  kelvo_real32 *Orientation) {
    kelvo_real32 W[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    WeightsOf<Degree>(Knots, T, W);
    Blend<Degree, 3, false>(W, PositionControls, Position);
    Blend<Degree, 4, Degree != 0>(W, OrientationControls, Orientation);
}

} // namespace

void BSplineWeights(kelvo_int32 Degree, kelvo_real32 const *Knots, kelvo_real32 T,
                    kelvo_real32 *Weights) {
    switch (Degree) {
    case 1:
        Weights1(Knots, T, Weights);
        break;
    case 2:
        Weights2(Knots, T, Weights);
        break;
    case 3:
        Weights3(Knots, T, Weights);
        break;
    default:
        Weights[0] = 1.0f;
        break;
    }
}

} // namespace kelvo

#define KELVO_EVALUATOR(Name, Degree, Dimension, Normalize)                                        \
    KELVO_API void Name(kelvo_real32 const *Knots, kelvo_real32 const *Controls, kelvo_real32 T,   \
                        kelvo_real32 *Result) {                                                    \
        kelvo::Evaluate<Degree, Dimension, Normalize>(Knots, Controls, T, Result);                 \
    }

KELVO_EVALUATOR(KelvoSampleBSpline0x1, 0, 1, false)
KELVO_EVALUATOR(KelvoSampleBSpline0x2, 0, 2, false)
KELVO_EVALUATOR(KelvoSampleBSpline0x3, 0, 3, false)
KELVO_EVALUATOR(KelvoSampleBSpline0x4, 0, 4, false)
KELVO_EVALUATOR(KelvoSampleBSpline0x9, 0, 9, false)
KELVO_EVALUATOR(KelvoSampleBSpline1x1, 1, 1, false)
KELVO_EVALUATOR(KelvoSampleBSpline1x2, 1, 2, false)
KELVO_EVALUATOR(KelvoSampleBSpline1x3, 1, 3, false)
KELVO_EVALUATOR(KelvoSampleBSpline1x3n, 1, 3, true)
KELVO_EVALUATOR(KelvoSampleBSpline1x4, 1, 4, false)
KELVO_EVALUATOR(KelvoSampleBSpline1x4n, 1, 4, true)
KELVO_EVALUATOR(KelvoSampleBSpline1x9, 1, 9, false)
KELVO_EVALUATOR(KelvoSampleBSpline2x1, 2, 1, false)
KELVO_EVALUATOR(KelvoSampleBSpline2x2, 2, 2, false)
KELVO_EVALUATOR(KelvoSampleBSpline2x3, 2, 3, false)
KELVO_EVALUATOR(KelvoSampleBSpline2x3n, 2, 3, true)
KELVO_EVALUATOR(KelvoSampleBSpline2x4, 2, 4, false)
KELVO_EVALUATOR(KelvoSampleBSpline2x4n, 2, 4, true)
KELVO_EVALUATOR(KelvoSampleBSpline2x9, 2, 9, false)
KELVO_EVALUATOR(KelvoSampleBSpline3x1, 3, 1, false)
KELVO_EVALUATOR(KelvoSampleBSpline3x2, 3, 2, false)
KELVO_EVALUATOR(KelvoSampleBSpline3x3, 3, 3, false)
KELVO_EVALUATOR(KelvoSampleBSpline3x3n, 3, 3, true)
KELVO_EVALUATOR(KelvoSampleBSpline3x4, 3, 4, false)
KELVO_EVALUATOR(KelvoSampleBSpline3x4n, 3, 4, true)
KELVO_EVALUATOR(KelvoSampleBSpline3x9, 3, 9, false)

namespace kelvo {

#define KELVO_PLAIN_ROW(Degree)                                                                    \
    nullptr, KelvoSampleBSpline##Degree##x1, KelvoSampleBSpline##Degree##x2,                       \
        KelvoSampleBSpline##Degree##x3, KelvoSampleBSpline##Degree##x4, nullptr, nullptr, nullptr, \
        nullptr, KelvoSampleBSpline##Degree##x9
#define KELVO_NORMALIZING_ROW(Degree)                                                              \
    nullptr, KelvoSampleBSpline##Degree##x1, KelvoSampleBSpline##Degree##x2,                       \
        KelvoSampleBSpline##Degree##x3n, KelvoSampleBSpline##Degree##x4n, nullptr, nullptr,        \
        nullptr, nullptr, KelvoSampleBSpline##Degree##x9

kelvo_bspline_evaluator *const PlainBSplines[BSplineTableSize] = {
    KELVO_PLAIN_ROW(0), KELVO_PLAIN_ROW(1), KELVO_PLAIN_ROW(2), KELVO_PLAIN_ROW(3)};
kelvo_bspline_evaluator *const NormalizingBSplines[BSplineTableSize] = {
    KELVO_PLAIN_ROW(0), KELVO_NORMALIZING_ROW(1), KELVO_NORMALIZING_ROW(2),
    KELVO_NORMALIZING_ROW(3)};

kelvo_bspline_pair_evaluator *const PositionOrientationBSplines[4] = {
    EvaluatePair<0>, EvaluatePair<1>, EvaluatePair<2>, EvaluatePair<3>};

kelvo_bspline_evaluator *FindBSpline(kelvo_int32 Degree, kelvo_int32 Dimension, bool Normalize) {
    constexpr kelvo_log_message_origin Origin = KelvoBSplineLogMessage;
    if (Degree < 0 || Degree > 3) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Degree %d is out of range [0, %d)", KELVO_HERE,
            Degree, 4);
        return nullptr;
    }
    if (Dimension < 0 || Dimension > 9) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Dimension %d is out of range [0, %d)",
            KELVO_HERE, Dimension, 10);
        return nullptr;
    }
    kelvo_bspline_evaluator *Evaluator =
        (Normalize ? NormalizingBSplines : PlainBSplines)[Degree * 10 + Dimension];
    if (!Evaluator) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Unrecognized degree/dimension combination (%d/%d)", KELVO_HERE, Degree,
            Dimension);
    }
    return Evaluator;
}

} // namespace kelvo

KELVO_API void KelvoSampleBSpline(kelvo_int32 Degree, kelvo_int32 Dimension, kelvo_bool8 Normalize,
                                  kelvo_real32 const *Knots, kelvo_real32 const *Controls,
                                  kelvo_real32 T, kelvo_real32 *Result) {
    if (kelvo_bspline_evaluator *Evaluator = kelvo::FindBSpline(Degree, Dimension, Normalize)) {
        Evaluator(Knots, Controls, T, Result);
    }
}

// Callers name an existing combination; these do no more than the table
// lookup.
KELVO_API void KelvoUncheckedSampleBSpline(kelvo_int32 Degree, kelvo_int32 Dimension,
                                           kelvo_real32 const *Knots, kelvo_real32 const *Controls,
                                           kelvo_real32 T, kelvo_real32 *Result) {
    kelvo::PlainBSplines[Degree * 10 + Dimension](Knots, Controls, T, Result);
}

KELVO_API void KelvoUncheckedSampleBSplineN(kelvo_int32 Degree, kelvo_int32 Dimension,
                                            kelvo_real32 const *Knots, kelvo_real32 const *Controls,
                                            kelvo_real32 T, kelvo_real32 *Result) {
    kelvo::NormalizingBSplines[Degree * 10 + Dimension](Knots, Controls, T, Result);
}
