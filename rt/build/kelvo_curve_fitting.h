// What curve compression shares with the fitting engine: evaluation of any
// fitted or compressed curve for error measurement, and the sample metric.
#ifndef KELVO_CURVE_FITTING_INTERNAL_H
#define KELVO_CURVE_FITTING_INTERNAL_H

#include "kelvo2/kelvo2_curve_fitting.h"

namespace kelvo {

// The curve at T without looping, for any dimension 1..9 and any format,
// by the evaluators' arithmetic, with their normalizing step when Normalize
// is set (dimensions 3 and 4, degree 1 on); a curve without knots yields the
// identity vector (zeros without one). The curve's format byte must be valid.
void EvaluateFittedCurve(kelvo_curve2 const *Curve, kelvo_int32 Dimension, bool Normalize,
                         kelvo_real32 T, kelvo_real32 *Result, kelvo_real32 const *IdentityVector);

// The error of one sample against a value: squared distance, or with
// BSplineSolverEvaluateAsQuaternions (1 - cos)^2 of the angle between their
// directions; infinite when not a number.
kelvo_real32 FittedSampleError(kelvo_uint32 SolverFlags, kelvo_real32 const *Sample,
                               kelvo_real32 const *Value, kelvo_int32 Dimension);

// Scales each of Count controls to unit length (those of length 0 stay).
void NormalizeControls(kelvo_real32 *Controls, kelvo_int32 Count, kelvo_int32 Dimension);

} // namespace kelvo

#endif
