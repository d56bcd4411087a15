// Moving curves and track groups into another coordinate system, x ->
// Linear.x + Affine. When the linear part only permutes and flips axes
// (with one uniform scale), every format can be rewritten in place by a
// scale-offset-swizzle, without decoding; otherwise the curve is decoded,
// each control transformed, and re-encoded in its own format.
#include "kelvo2/kelvo2_curve.h"
#include "kelvo2/kelvo2_track_group.h"

#include "anim/kelvo_track_internal.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"

#include <math.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoTrackGroupLogMessage;

// Row j of Linear is Signs[j] x Scale x unit vector Columns[j].
struct axis_permutation {
    kelvo_int32 Columns[3];
    kelvo_real32 Dominant[3];
};

bool FindAxisPermutation(kelvo_real32 const *Linear, kelvo_real32 Tolerance,
                         axis_permutation &Result) {
    for (int Row = 0; Row < 3; ++Row) {
        kelvo_real32 const *R = Linear + 3 * Row;
        int Column = 0;
        for (int Candidate = 1; Candidate < 3; ++Candidate) {
            if (fabsf(R[Candidate]) > fabsf(R[Column])) {
                Column = Candidate;
            }
        }
        for (int Other = 0; Other < 3; ++Other) {
            if (Other != Column && R[Other] * R[Other] > Tolerance * Tolerance) {
                return false;
            }
        }
        for (int Earlier = 0; Earlier < Row; ++Earlier) {
            if (Result.Columns[Earlier] == Column) {
                return false;
            }
        }
        Result.Columns[Row] = Column;
        Result.Dominant[Row] = R[Column];
        if (fabsf(fabsf(R[Column]) - fabsf(Result.Dominant[0])) > Tolerance) {
            return false;
        }
    }
    return true;
}

kelvo_real32 SignOf(kelvo_real32 Value) {
    return Value < 0 ? -1.0f : 1.0f;
}

// Odd permutations of the columns flip handedness just as a negative sign does.
kelvo_real32 Handedness(axis_permutation const &P) {
    kelvo_real32 Sign = SignOf(P.Dominant[0]) * SignOf(P.Dominant[1]) * SignOf(P.Dominant[2]);
    int Inversions = (P.Columns[0] > P.Columns[1]) + (P.Columns[0] > P.Columns[2]) +
                     (P.Columns[1] > P.Columns[2]);
    return Inversions % 2 ? -Sign : Sign;
}

enum curve_role { Vector3, Position, Quaternion, ScaleShear };

kelvo_int32 DimensionOf(curve_role Role) {
    return Role == Quaternion ? 4 : Role == ScaleShear ? 9 : 3;
}

bool CanTransform(kelvo_curve2 const *Curve, curve_role Role) {
    if (kelvo::TrackCurveIsIdentity(Curve)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Curve is the identity value - can't transform it", KELVO_HERE);
        return false;
    }
    kelvo_int32 Dimension = DimensionOf(Role);
    if (KelvoCurveGetDimension(Curve) != Dimension) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Curve does not have dimension=%d", KELVO_HERE,
            Dimension);
        return false;
    }
    return true;
}

void Swizzle(kelvo_curve2 *Curve, curve_role Role, axis_permutation const &P,
             kelvo_real32 const *Affine) {
    kelvo_real32 Scales[9], Offsets[9] = {};
    kelvo_int32 Swizzles[9];
    if (Role == Quaternion) {
        // The vector part is an axis: it turns with the rotation part of P only.
        kelvo_real32 Flip = Handedness(P);
        for (int Row = 0; Row < 3; ++Row) {
            Swizzles[Row] = P.Columns[Row];
            Scales[Row] = SignOf(P.Dominant[Row]) * Flip;
        }
        Swizzles[3] = 3;
        Scales[3] = 1;
    } else if (Role == ScaleShear) {
        // P S P^-1: the uniform scale cancels, the signs meet in pairs.
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 3; ++Column) {
                Swizzles[3 * Row + Column] = 3 * P.Columns[Row] + P.Columns[Column];
                Scales[3 * Row + Column] = SignOf(P.Dominant[Row]) * SignOf(P.Dominant[Column]);
            }
        }
    } else {
        for (int Row = 0; Row < 3; ++Row) {
            Swizzles[Row] = P.Columns[Row];
            Scales[Row] = P.Dominant[Row];
            Offsets[Row] = Role == Position && Affine ? Affine[Row] : 0.0f;
        }
    }
    KelvoCurveScaleOffsetSwizzle(Curve, DimensionOf(Role), Scales, Offsets, Swizzles);
}

void TransformControl(kelvo_real32 *Control, curve_role Role, kelvo_real32 const *Affine,
                      kelvo_real32 const *Linear, kelvo_real32 const *InverseLinear) {
    static kelvo_real32 const Zero[3] = {};
    switch (Role) {
    case Vector3:
        kelvo::VectorTransform3x3(Control, Linear, Control);
        break;
    case Position:
        KelvoInPlaceSimilarityTransformPosition(Affine ? Affine : Zero, Linear, Control);
        break;
    case Quaternion:
        KelvoInPlaceSimilarityTransformOrientation(Linear, InverseLinear, Control);
        break;
    case ScaleShear:
        KelvoInPlaceSimilarityTransformScaleShear(Linear, InverseLinear, Control);
        break;
    }
}

void Decompress(kelvo_curve2 *Curve, curve_role Role, kelvo_real32 const *Affine,
                kelvo_real32 const *Linear, kelvo_real32 const *InverseLinear) {
    kelvo_int32 Dimension = DimensionOf(Role);
    kelvo_int32 KnotCount = KelvoCurveGetKnotCount(Curve);
    kelvo_int64 Size = (kelvo_int64)KnotCount * (1 + Dimension) * sizeof(kelvo_real32);
    auto *Knots = static_cast<kelvo_real32 *>(
        KnotCount > 0 && Size <= INT32_MAX ? KELVO_ALLOCATE_SIZE((kelvo_int32)Size) : nullptr);
    if (!Knots) {
        return;
    }
    kelvo_real32 *Controls = Knots + KnotCount;
    KelvoCurveExtractKnotValues(Curve, 0, KnotCount, Knots, Controls, nullptr);
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        TransformControl(Controls + Knot * Dimension, Role, Affine, Linear, InverseLinear);
    }
    KelvoCurveSetAllKnotValues(Curve, KnotCount, Dimension, Knots, Controls);
    KELVO_DEALLOCATE(Knots);
}

void TransformCurve(kelvo_curve2 *Curve, curve_role Role, kelvo_real32 const *Affine,
                    kelvo_real32 const *Linear, kelvo_real32 const *InverseLinear,
                    kelvo_real32 Tolerance) {
    KELVO_CHECK_NOT_NULL(Curve, Origin, KELVO_NOTHING);
    if (!CanTransform(Curve, Role)) {
        return;
    }
    axis_permutation Permutation;
    if (FindAxisPermutation(Linear, Tolerance, Permutation)) {
        Swizzle(Curve, Role, Permutation, Affine);
    } else {
        Decompress(Curve, Role, Affine, Linear, InverseLinear);
    }
}

} // namespace

KELVO_API kelvo_bool32 KelvoBasisConversionRequiresCurveDecompression(kelvo_real32 const *Linear,
                                                                      kelvo_real32 const *,
                                                                      kelvo_real32 Tolerance) {
    axis_permutation Permutation;
    return !FindAxisPermutation(Linear, Tolerance, Permutation);
}

// The curve exports differ only in the role their curve plays.
#define KELVO_CURVE_TRANSFORM(Name, Role)                                                          \
    KELVO_API void Name(kelvo_real32 const *Affine, kelvo_real32 const *Linear,                    \
                        kelvo_real32 const *InverseLinear, kelvo_real32 Tolerance,                 \
                        kelvo_curve2 *Curve) {                                                     \
        TransformCurve(Curve, Role, Affine, Linear, InverseLinear, Tolerance);                     \
    }
KELVO_CURVE_TRANSFORM(KelvoTransformCurveVec3, Vector3)
KELVO_CURVE_TRANSFORM(KelvoSimilarityTransformCurvePosition, Position)
KELVO_CURVE_TRANSFORM(KelvoSimilarityTransformCurveQuaternion, Quaternion)
KELVO_CURVE_TRANSFORM(KelvoSimilarityTransformCurveScaleShear, ScaleShear)
#undef KELVO_CURVE_TRANSFORM

void kelvo::SimilarityTransformTrackGroup(kelvo_track_group *TrackGroup, kelvo_real32 const *Affine,
                                          kelvo_real32 const *Linear,
                                          kelvo_real32 const *InverseLinear, kelvo_real32 Tolerance,
                                          kelvo_pointer_hash *Done) {
    auto TransformTrack = [&](kelvo_transform_track &Track) {
        struct {
            kelvo_curve2 *Curve;
            curve_role Role;
        } const Curves[] = {{&Track.PositionCurve, Position},
                            {&Track.OrientationCurve, Quaternion},
                            {&Track.ScaleShearCurve, ScaleShear}};
        for (auto const &Entry : Curves) {
            if (!kelvo::TrackCurveIsIdentity(Entry.Curve) &&
                FirstVisit(Done, Entry.Curve->CurveData.Object)) {
                TransformCurve(Entry.Curve, Entry.Role, nullptr, Linear, InverseLinear, Tolerance);
            }
        }
    };
    kelvo_int32 Count = TrackGroup->TransformTracks ? TrackGroup->TransformTrackCount : 0;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        TransformTrack(TrackGroup->TransformTracks[Index]);
    }
    // Root motion lives beside the tracks and moves with them.
    if (TrackGroup->RootMotion) {
        TransformTrack(*TrackGroup->RootMotion);
    }
    kelvo::VectorTransform3x3(TrackGroup->LoopTranslation, Linear, TrackGroup->LoopTranslation);
    if (kelvo_periodic_loop *Loop = TrackGroup->PeriodicLoop) {
        kelvo::VectorTransform3x3(Loop->BasisX, Linear, Loop->BasisX);
        kelvo::VectorTransform3x3(Loop->BasisY, Linear, Loop->BasisY);
        kelvo::VectorTransform3x3(Loop->Axis, Linear, Loop->Axis);
        Loop->dZ *= kelvo::Normalize3(Loop->Axis);
        Loop->Radius *= kelvo::Normalize3(Loop->BasisX);
        kelvo::Normalize3(Loop->BasisY);
    }
    KelvoSimilarityTransform(&TrackGroup->InitialPlacement, Affine, Linear, InverseLinear);
}

KELVO_API void KelvoSimilarityTransformTrackGroup(kelvo_track_group *TrackGroup,
                                                  kelvo_real32 const *Affine,
                                                  kelvo_real32 const *Linear,
                                                  kelvo_real32 const *InverseLinear,
                                                  kelvo_real32 Tolerance) {
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    // Tracks may share curve data; each is changed once.
    kelvo_pointer_hash *Done = KelvoNewPointerHash();
    KELVO_REFUSE_UNLESS(Done, Origin, KELVO_NOTHING,
                        "%s(%d): Out of memory for the curves of track group %s", KELVO_HERE,
                        TrackGroup->Name ? TrackGroup->Name : "(unnamed)");
    kelvo::SimilarityTransformTrackGroup(TrackGroup, Affine, Linear, InverseLinear, Tolerance,
                                         Done);
    KelvoDeletePointerHash(Done);
}
