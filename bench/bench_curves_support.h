// What the animation benchmarks share: cubic DaK32fC32f curves on evenly
// spaced knots over one second.
#ifndef BENCH_CURVES_SUPPORT_H
#define BENCH_CURVES_SUPPORT_H

#include "kelvo2.h"

#include <vector>

inline kelvo_curve2 *BuildCubicCurve(int Dimension, std::vector<float> const &Controls,
                                     int Knots) {
    std::vector<float> Times((size_t)Knots);
    for (int Index = 0; Index < Knots; ++Index) {
        Times[(size_t)Index] = (float)Index / (float)(Knots - 1);
    }
    kelvo_curve_builder *Builder =
        KelvoBeginCurve(KelvoCurveDataDaK32fC32fType, 3, Dimension, Knots);
    KelvoPushCurveKnotArray(Builder, Times.data());
    KelvoPushCurveControlArray(Builder, Controls.data());
    return KelvoEndCurve(Builder);
}

#endif
