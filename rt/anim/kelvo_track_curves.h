// Curve queries as tracks see them: a track curve without any data (files
// leave unanimated scale/shear that way) is the identity, never an error.
#ifndef KELVO_TRACK_CURVES_H
#define KELVO_TRACK_CURVES_H

#include "kelvo2/kelvo2_curve.h"

namespace kelvo {

inline bool CurveIsAbsent(kelvo_curve2 const *Curve) {
    return !Curve->CurveData.Object;
}

inline bool TrackCurveIsIdentity(kelvo_curve2 const *Curve) {
    return CurveIsAbsent(Curve) || KelvoCurveIsIdentity(Curve);
}

inline bool TrackCurveIsConstantOrIdentity(kelvo_curve2 const *Curve) {
    return CurveIsAbsent(Curve) || KelvoCurveIsConstantOrIdentity(Curve);
}

inline bool TrackCurveIsKeyframed(kelvo_curve2 const *Curve) {
    return !CurveIsAbsent(Curve) && KelvoCurveIsKeyframed(Curve);
}

// Knots of a curve that has values to read: 0 for identity and absent curves.
inline kelvo_int32 TrackCurveKnotCount(kelvo_curve2 const *Curve) {
    return TrackCurveIsIdentity(Curve) ? 0 : KelvoCurveGetKnotCount(Curve);
}

} // namespace kelvo

#endif
