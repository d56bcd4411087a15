// The B-spline evaluators by degree and dimension, indexed by
// degree x 10 + dimension; null where no evaluator exists.
#ifndef KELVO_BSPLINE_INTERNAL_H
#define KELVO_BSPLINE_INTERNAL_H

#include "kelvo2/kelvo2_curve.h"

namespace kelvo {

constexpr kelvo_int32 BSplineTableSize = 40;
extern kelvo_bspline_evaluator *const PlainBSplines[BSplineTableSize];
// The same, with the normalizing forms for dimensions 3 and 4 of degrees 1 to 3.
extern kelvo_bspline_evaluator *const NormalizingBSplines[BSplineTableSize];

// The evaluator for the combination, or null after reporting why there is
// none (origin BSpline).
kelvo_bspline_evaluator *FindBSpline(kelvo_int32 Degree, kelvo_int32 Dimension, bool Normalize);

} // namespace kelvo

#endif
