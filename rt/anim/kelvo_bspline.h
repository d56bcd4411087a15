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

// Position (3 wide) and normalized orientation (4 wide) controls read around
// their pointers, over one knot window, by degree (0 to 3): the weights are
// found once; each result has the bits of its own evaluator.
using kelvo_bspline_pair_evaluator = void(kelvo_real32 const *Knots,
                                          kelvo_real32 const *PositionControls,
                                          kelvo_real32 const *OrientationControls, kelvo_real32 T,
                                          kelvo_real32 *Position, kelvo_real32 *Orientation);
extern kelvo_bspline_pair_evaluator *const PositionOrientationBSplines[4];

// The evaluator for the combination, or null after reporting why there is
// none (origin BSpline).
kelvo_bspline_evaluator *FindBSpline(kelvo_int32 Degree, kelvo_int32 Dimension, bool Normalize);

// The Degree + 1 basis weights the evaluators blend with, by the same
// arithmetic: Weights[i] belongs to control k - Degree + i of the window
// whose knot k Knots points at. Fitting builds its rows with them, so a
// fitted curve evaluates to what the solve assumed.
void BSplineWeights(kelvo_int32 Degree, kelvo_real32 const *Knots, kelvo_real32 T,
                    kelvo_real32 *Weights);

} // namespace kelvo

#endif
