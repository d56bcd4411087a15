// Building curves, transform tracks and bound tracks for the track, sampler
// and binding suites. A test_track owns its curves.
#ifndef KELVO_TRACK_TEST_SUPPORT_H
#define KELVO_TRACK_TEST_SUPPORT_H

#include "kelvo2.h"

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

inline kelvo_curve2 *BuildCurve(kelvo_data_type_definition const *Type, int Degree, int Dimension,
                                std::vector<float> const &Knots,
                                std::vector<float> const &Controls) {
    kelvo_int32 Count = Knots.empty() ? (kelvo_int32)(Controls.size() / (Dimension ? Dimension : 1))
                                      : (kelvo_int32)Knots.size();
    kelvo_curve_builder *Builder = KelvoBeginCurve(Type, Degree, Dimension, Count);
    if (!Knots.empty()) {
        KelvoPushCurveKnotArray(Builder, Knots.data());
    }
    if (!Controls.empty()) {
        KelvoPushCurveControlArray(Builder, Controls.data());
    }
    return KelvoEndCurve(Builder);
}

inline kelvo_curve2 *IdentityCurve(int Dimension) {
    return BuildCurve(KelvoCurveDataDaIdentityType, 0, Dimension, {}, {});
}

// Unit quaternion of a turn by Angle about a fixed, slanted axis.
inline std::vector<float> Turn(float Angle) {
    float const Axis[3] = {0.48f, 0.6f, 0.64f};
    float S = std::sin(Angle / 2);
    return {Axis[0] * S, Axis[1] * S, Axis[2] * S, std::cos(Angle / 2)};
}

inline std::vector<float> EvenKnots(int Count, float Duration) {
    std::vector<float> Knots(Count);
    for (int Index = 0; Index < Count; ++Index) {
        Knots[Index] = Duration * (float)Index / (float)(Count - 1);
    }
    return Knots;
}

struct curve_deleter {
    void operator()(kelvo_curve2 *Curve) const { KelvoFreeCurve(Curve); }
};
using owned_curve = std::unique_ptr<kelvo_curve2, curve_deleter>;

// A transform track over three owned curves.
struct test_track {
    std::string Name;
    owned_curve Position, Orientation, ScaleShear;
    kelvo_transform_track Track = {};

    test_track(std::string TrackName, kelvo_curve2 *P, kelvo_curve2 *O, kelvo_curve2 *S)
        : Name(std::move(TrackName)), Position(P), Orientation(O), ScaleShear(S) {
        Refresh();
    }
    void Refresh() {
        Track.Name = Name.c_str();
        Track.PositionCurve = *Position;
        Track.OrientationCurve = *Orientation;
        Track.ScaleShearCurve = *ScaleShear;
    }
};

// What a binding records for a track.
inline kelvo_bound_transform_track BindTrack(kelvo_transform_track const *Track) {
    kelvo_bound_transform_track Bound = {};
    Bound.SourceTrack = Track;
    Bound.Flags = KelvoGetTransformTrackClassFlags(Track);
    KelvoGetTransformTrackInitialTransform(Track, &Bound.LODTransform);
    Bound.Sampler = KelvoGetTrackSamplerFor(&Bound);
    return Bound;
}

#endif
