// Curve fitting as the kv2 commands do it: a fit of sampled motion of one
// kind, compressed into the smallest allowed format within its tolerance,
// with the largest error it left.
#ifndef KV2_FITTING_H
#define KV2_FITTING_H

#include "kelvo2.h"

#include <string>
#include <vector>

namespace kv2 {

enum curve_kind { PositionCurve, OrientationCurve, ScaleShearCurve, VectorCurve, CurveKindCount };
extern char const *const CurveKindNames[CurveKindCount];

// Every format a fit can produce, by name; false for an unknown name.
std::vector<kelvo_data_type_definition const *> AllFittedFormats();
bool ParseCurveFormats(std::string const &List,
                       std::vector<kelvo_data_type_definition const *> &Formats);

// The identity vector of a kind, or null for vectors.
kelvo_real32 const *IdentityOf(curve_kind Kind);

// Fits SampleCount samples with a curve of Degree (at most 3) of Dimension reals, dT apart, and
// compresses the fit; orientation samples must be unit and continuous. Null on failure.
// *LargestError is the largest distance (or 1 - dot for orientations) of a
// sample from the result.
kelvo_curve2 *FitSamples(bspline_solver *Solver, curve_kind Kind, kelvo_int32 Degree,
                         kelvo_real32 Tolerance,
                         std::vector<kelvo_data_type_definition const *> const &Formats,
                         kelvo_real32 const *Samples, kelvo_int32 Dimension,
                         kelvo_int32 SampleCount, kelvo_real32 dT, double *LargestError);

// Unit length, in the hemisphere of Previous (when given) so that fits see
// a continuous rotation.
void MakeContinuousQuaternion(kelvo_real32 *Q, kelvo_real32 const *Previous);

} // namespace kv2

#endif
