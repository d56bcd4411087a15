// Compression of a whole skeleton's sampled motion against one error bound
// on virtual vertices in object space. A vertex's error is the sum of the
// errors along its chain, so a single tolerance for every bone wastes most
// of the bound; instead every track starts loose and only the tracks that
// most reduce the error of a bone over the bound are tightened, a level at
// a time, until every vertex is within it; then the largest tracks are
// loosened again while the measured error holds. Errors are always
// measured on the decoded curves, as the run-time would play them
// (orientations normalized exactly), never estimated.
#include "build/kelvo_curve_fitting.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_memory.h"

#include <math.h>
#include <string.h>

static_assert(sizeof(void *) != 4 || sizeof(kelvo_skeleton_motion) == 28,
              "kelvo_skeleton_motion is 28 bytes in the 32-bit build");
static_assert(sizeof(void *) != 8 || sizeof(kelvo_skeleton_motion) == 44,
              "kelvo_skeleton_motion is 44 bytes in 64-bit builds");
static_assert(sizeof(void *) != 4 || sizeof(kelvo_skeleton_compression) == 32,
              "kelvo_skeleton_compression is 32 bytes in the 32-bit build");
static_assert(sizeof(void *) != 8 || sizeof(kelvo_skeleton_compression) == 44,
              "kelvo_skeleton_compression is 44 bytes in 64-bit builds");

namespace kelvo {

namespace {

constexpr kelvo_log_message_origin Origin = KelvoCurveLogMessage;
constexpr kelvo_int32 Kinds = 3; // position, orientation, scale/shear
constexpr kelvo_int32 KindDimension[Kinds] = {3, 4, 9};
constexpr kelvo_int32 Decoded = 16; // reals of one decoded local transform
constexpr kelvo_int32 KindOffset[Kinds] = {0, 3, 7};
constexpr kelvo_int32 MaximumLevel = 40; // each level halves the squared allowance
constexpr double LevelFactor = 0.70710678118654752;

// A world transform: x -> Linear x + Origin (Linear row-major, acting on
// column vectors like the library's transforms).
struct world {
    double Linear[9];
    double Origin[3];
};

// Parent composed with the local transform P + R(Q) S x.
void Compose(world const &Parent, kelvo_real32 const *P, kelvo_real32 const *Q,
             kelvo_real32 const *S, world &Result) {
    double Length =
        sqrt((double)Q[0] * Q[0] + (double)Q[1] * Q[1] + (double)Q[2] * Q[2] + (double)Q[3] * Q[3]);
    double X = 0, Y = 0, Z = 0, W = 1;
    if (Length > 0) {
        X = Q[0] / Length, Y = Q[1] / Length, Z = Q[2] / Length, W = Q[3] / Length;
    }
    double const R[9] = {1 - 2 * (Y * Y + Z * Z), 2 * (X * Y - Z * W),     2 * (X * Z + Y * W),
                         2 * (X * Y + Z * W),     1 - 2 * (X * X + Z * Z), 2 * (Y * Z - X * W),
                         2 * (X * Z - Y * W),     2 * (Y * Z + X * W),     1 - 2 * (X * X + Y * Y)};
    double RS[9];
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            RS[3 * Row + Column] = R[3 * Row] * S[Column] + R[3 * Row + 1] * S[3 + Column] +
                                   R[3 * Row + 2] * S[6 + Column];
        }
    }
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Result.Linear[3 * Row + Column] = Parent.Linear[3 * Row] * RS[Column] +
                                              Parent.Linear[3 * Row + 1] * RS[3 + Column] +
                                              Parent.Linear[3 * Row + 2] * RS[6 + Column];
        }
        Result.Origin[Row] = Parent.Origin[Row] + Parent.Linear[3 * Row] * P[0] +
                             Parent.Linear[3 * Row + 1] * P[1] + Parent.Linear[3 * Row + 2] * P[2];
    }
}

world const IdentityWorld = {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0}};

// The largest distance between the virtual vertices (Distance along each
// axis) of two world transforms of one bone.
double VertexError(world const &A, world const &B, double Distance) {
    double Largest = 0;
    for (int Axis = 0; Axis < 3; ++Axis) {
        double Sum = 0;
        for (int Row = 0; Row < 3; ++Row) {
            double D = A.Origin[Row] - B.Origin[Row] +
                       Distance * (A.Linear[3 * Row + Axis] - B.Linear[3 * Row + Axis]);
            Sum += D * D;
        }
        Largest = Sum > Largest ? Sum : Largest;
    }
    return sqrt(Largest);
}

struct job {
    bspline_solver *Solver;
    kelvo_skeleton_compression const &Settings;
    kelvo_skeleton_motion const &Motion;
    kelvo_curve2 **Curves;
    kelvo_int32 Bones, Samples;
    // Work arrays, one block.
    kelvo_real32 *Raw = nullptr;       // Bones x Samples x Decoded: the samples as local transforms
    kelvo_real32 *Playback = nullptr;  // the same, decoded from the current curves
    world *RawWorld = nullptr;         // Bones x Samples
    world *PlaybackWorld = nullptr;    // Bones x Samples
    double *Reach = nullptr;           // per bone
    double *WorstError = nullptr;      // per bone
    kelvo_int32 *WorstFrame = nullptr; // per bone
    kelvo_int32 *Level = nullptr;      // per track
    kelvo_int32 *Size = nullptr;       // per track
    kelvo_uint8 *Marked = nullptr;     // per track

    kelvo_real32 const *Source(kelvo_int32 Bone, kelvo_int32 Kind) const {
        kelvo_real32 const *Arrays[Kinds] = {Motion.Positions, Motion.Orientations,
                                             Motion.ScaleShears};
        return Arrays[Kind] + (kelvo_int64)Bone * Samples * KindDimension[Kind];
    }
    kelvo_real32 *Local(kelvo_real32 *Array, kelvo_int32 Bone, kelvo_int32 Sample) const {
        return Array + ((kelvo_int64)Bone * Samples + Sample) * Decoded;
    }
    world *World(world *Array, kelvo_int32 Bone, kelvo_int32 Sample) const {
        return Array + (kelvo_int64)Bone * Samples + Sample;
    }
    world const &ParentWorld(world *Array, kelvo_int32 Bone, kelvo_int32 Sample) const {
        kelvo_int32 Parent = Motion.ParentIndices[Bone];
        return Parent < 0 ? IdentityWorld : *World(Array, Parent, Sample);
    }
};

void ComposeAll(job &Job, kelvo_real32 *Locals, world *Worlds) {
    for (kelvo_int32 Bone = 0; Bone < Job.Bones; ++Bone) {
        for (kelvo_int32 Sample = 0; Sample < Job.Samples; ++Sample) {
            kelvo_real32 const *L = Job.Local(Locals, Bone, Sample);
            Compose(Job.ParentWorld(Worlds, Bone, Sample), L, L + 3, L + 7,
                    *Job.World(Worlds, Bone, Sample));
        }
    }
}

// The farthest virtual vertex of a bone's subtree from the bone's origin,
// over every sample.
void MeasureReach(job &Job) {
    double const Distance = Job.Settings.VertexDistance;
    for (kelvo_int32 Bone = 0; Bone < Job.Bones; ++Bone) {
        Job.Reach[Bone] = Distance;
    }
    for (kelvo_int32 Sample = 0; Sample < Job.Samples; ++Sample) {
        for (kelvo_int32 Bone = 0; Bone < Job.Bones; ++Bone) {
            world const &Own = *Job.World(Job.RawWorld, Bone, Sample);
            for (kelvo_int32 Up = Job.Motion.ParentIndices[Bone]; Up >= 0;
                 Up = Job.Motion.ParentIndices[Up]) {
                world const &Ancestor = *Job.World(Job.RawWorld, Up, Sample);
                for (int Axis = 0; Axis < 3; ++Axis) {
                    double Sum = 0;
                    for (int Row = 0; Row < 3; ++Row) {
                        double D = Own.Origin[Row] + Distance * Own.Linear[3 * Row + Axis] -
                                   Ancestor.Origin[Row];
                        Sum += D * D;
                    }
                    Job.Reach[Up] = sqrt(Sum) > Job.Reach[Up] ? sqrt(Sum) : Job.Reach[Up];
                }
            }
        }
    }
}

// A track's tolerance at a level: the vertex bound shrunk by the level, as
// a distance for positions, a rotation over the bone's reach for
// orientations (in the fit's 1 - cos units) and a matrix change over the
// reach for scale/shear.
kelvo_real32 ToleranceAt(job const &Job, kelvo_int32 Bone, kelvo_int32 Kind, kelvo_int32 Level) {
    double Allowance = Job.Settings.VertexTolerance * pow(LevelFactor, Level);
    if (Kind == 0) {
        return (kelvo_real32)Allowance;
    }
    double PerReach = Allowance / Job.Reach[Bone];
    if (Kind == 2) {
        return (kelvo_real32)PerReach;
    }
    double Angle = PerReach < 3.14159 ? PerReach : 3.14159;
    double Half = sin(Angle / 4);
    return (kelvo_real32)(2 * Half * Half);
}

// The curve played back at every sample, into Playback.
void Decode(job &Job, kelvo_int32 Bone, kelvo_int32 Kind, kelvo_curve2 const *Curve) {
    kelvo_real32 const Duration = (kelvo_real32)(Job.Samples - 1) * Job.Motion.dT;
    kelvo_real32 const *Identity = Kind == 0   ? KelvoCurveIdentityPosition
                                   : Kind == 1 ? KelvoCurveIdentityOrientation
                                               : KelvoCurveIdentityScaleShear;
    for (kelvo_int32 Sample = 0; Sample < Job.Samples; ++Sample) {
        kelvo_real32 T = (kelvo_real32)Sample * Job.Motion.dT;
        KelvoEvaluateCurveAtT(KindDimension[Kind], Kind == 1, false, Curve, false, Duration,
                              T < Duration ? T : Duration,
                              Job.Local(Job.Playback, Bone, Sample) + KindOffset[Kind], Identity);
    }
}

// Fits one track at its level into *Curve and decodes it into Playback;
// false when the fit failed (reported by it).
bool FitTrack(job &Job, kelvo_int32 Bone, kelvo_int32 Kind, kelvo_curve2 **Curve) {
    compress_curve_parameters Params = *Job.Settings.Parameters[Kind];
    Params.ErrorTolerance = ToleranceAt(Job, Bone, Kind, Job.Level[Bone * Kinds + Kind]);
    *Curve = KelvoCompressCurve(Job.Solver, Job.Settings.SolverFlags[Kind], &Params,
                                Job.Source(Bone, Kind), KindDimension[Kind], Job.Samples,
                                Job.Motion.dT, nullptr);
    // A curved fit of noisy motion swings its controls off the unit sphere,
    // which the quantized quaternion formats cannot store; straight lines
    // keep them near the samples. Tried when the curved fit stayed in
    // floats; the smaller is kept.
    if (*Curve && Params.DesiredDegree > 1 && KelvoCurveIsTypeDaK32fC32f(*Curve)) {
        Params.DesiredDegree = 1;
        kelvo_curve2 *Straight = KelvoCompressCurve(
            Job.Solver, Job.Settings.SolverFlags[Kind], &Params, Job.Source(Bone, Kind),
            KindDimension[Kind], Job.Samples, Job.Motion.dT, nullptr);
        if (Straight && KelvoCurveGetSize(Straight) < KelvoCurveGetSize(*Curve)) {
            KelvoFreeCurve(*Curve);
            *Curve = Straight;
        } else {
            KelvoFreeCurve(Straight);
        }
    }
    if (*Curve) {
        Decode(Job, Bone, Kind, *Curve);
    }
    return *Curve != nullptr;
}

// Every bone's largest vertex error and where it is; the largest of all.
double MeasureErrors(job &Job) {
    ComposeAll(Job, Job.Playback, Job.PlaybackWorld);
    double Largest = 0;
    for (kelvo_int32 Bone = 0; Bone < Job.Bones; ++Bone) {
        Job.WorstError[Bone] = -1;
        for (kelvo_int32 Sample = 0; Sample < Job.Samples; ++Sample) {
            double Error = VertexError(*Job.World(Job.RawWorld, Bone, Sample),
                                       *Job.World(Job.PlaybackWorld, Bone, Sample),
                                       Job.Settings.VertexDistance);
            if (Error > Job.WorstError[Bone]) {
                Job.WorstError[Bone] = Error;
                Job.WorstFrame[Bone] = Sample;
            }
        }
        Largest = Job.WorstError[Bone] > Largest ? Job.WorstError[Bone] : Largest;
    }
    return Largest;
}

// The error of Bone at Sample with the played-back chain, except that the
// track (Exact, Kind) takes its sampled value.
double ErrorWithExactTrack(job &Job, kelvo_int32 Bone, kelvo_int32 Sample, kelvo_int32 Exact,
                           kelvo_int32 Kind) {
    kelvo_int32 Chain[64];
    kelvo_int32 Depth = 0;
    for (kelvo_int32 Up = Bone; Up >= 0 && Depth < 64; Up = Job.Motion.ParentIndices[Up]) {
        Chain[Depth++] = Up;
    }
    world Current = IdentityWorld, Next;
    for (kelvo_int32 Index = Depth - 1; Index >= 0; --Index) {
        kelvo_int32 Link = Chain[Index];
        kelvo_real32 Local[Decoded];
        memcpy(Local, Job.Local(Job.Playback, Link, Sample), sizeof(Local));
        if (Link == Exact) {
            memcpy(Local + KindOffset[Kind], Job.Local(Job.Raw, Link, Sample) + KindOffset[Kind],
                   (size_t)KindDimension[Kind] * sizeof(kelvo_real32));
        }
        Compose(Current, Local, Local + 3, Local + 7, Next);
        Current = Next;
    }
    return VertexError(*Job.World(Job.RawWorld, Bone, Sample), Current,
                       Job.Settings.VertexDistance);
}

// For every bone over the bound, marks the track of its chain whose exact
// value would lower its worst error the most; false when none can be
// tightened further.
bool MarkTracksToTighten(job &Job) {
    memset(Job.Marked, 0, (size_t)Job.Bones * Kinds);
    bool Any = false;
    for (kelvo_int32 Bone = 0; Bone < Job.Bones; ++Bone) {
        if (Job.WorstError[Bone] <= Job.Settings.VertexTolerance) {
            continue;
        }
        kelvo_int32 Sample = Job.WorstFrame[Bone];
        double BestGain = 0;
        kelvo_int32 Best = -1;
        for (kelvo_int32 Up = Bone; Up >= 0; Up = Job.Motion.ParentIndices[Up]) {
            for (kelvo_int32 Kind = 0; Kind < Kinds; ++Kind) {
                if (Job.Level[Up * Kinds + Kind] >= MaximumLevel) {
                    continue;
                }
                double Gain =
                    Job.WorstError[Bone] - ErrorWithExactTrack(Job, Bone, Sample, Up, Kind);
                if (Gain > BestGain) {
                    BestGain = Gain;
                    Best = Up * Kinds + Kind;
                }
            }
        }
        if (Best >= 0) {
            Job.Marked[Best] = 1;
            Any = true;
        }
    }
    return Any;
}

// Replaces a track's curve by a fit at Level; on failure the old curve
// stays. Playback is updated either way.
bool Refit(job &Job, kelvo_int32 Track, kelvo_int32 Level) {
    kelvo_int32 const Old = Job.Level[Track];
    Job.Level[Track] = Level;
    kelvo_curve2 *Curve = nullptr;
    if (!FitTrack(Job, Track / Kinds, Track % Kinds, &Curve)) {
        Job.Level[Track] = Old;
        return false;
    }
    KelvoFreeCurve(Job.Curves[Track]);
    Job.Curves[Track] = Curve;
    Job.Size[Track] = KelvoCurveGetSize(Curve);
    return true;
}

bool Tighten(job &Job, double &Largest) {
    while (Largest > Job.Settings.VertexTolerance && MarkTracksToTighten(Job)) {
        for (kelvo_int32 Track = 0; Track < Job.Bones * Kinds; ++Track) {
            if (Job.Marked[Track] && !Refit(Job, Track, Job.Level[Track] + 1)) {
                return false;
            }
        }
        Largest = MeasureErrors(Job);
    }
    return true;
}

// Largest tracks first, each loosened a level at a time while it gets
// smaller and every vertex stays within the bound.
bool Loosen(job &Job, double &Largest) {
    kelvo_int32 const Tracks = Job.Bones * Kinds;
    memset(Job.Marked, 0, (size_t)Tracks);
    for (;;) {
        kelvo_int32 Track = -1;
        for (kelvo_int32 Index = 0; Index < Tracks; ++Index) {
            if (!Job.Marked[Index] && Job.Level[Index] > 0 &&
                (Track < 0 || Job.Size[Index] > Job.Size[Track])) {
                Track = Index;
            }
        }
        if (Track < 0) {
            return true;
        }
        Job.Marked[Track] = 1;
        while (Job.Level[Track] > 0) {
            kelvo_curve2 *Kept = Job.Curves[Track];
            kelvo_int32 const KeptSize = Job.Size[Track], KeptLevel = Job.Level[Track];
            Job.Curves[Track] = nullptr;
            if (!Refit(Job, Track, KeptLevel - 1)) {
                Job.Curves[Track] = Kept;
                return false;
            }
            double Tried = MeasureErrors(Job);
            if (Tried <= Job.Settings.VertexTolerance && Job.Size[Track] < KeptSize) {
                KelvoFreeCurve(Kept);
                Largest = Tried;
                continue;
            }
            KelvoFreeCurve(Job.Curves[Track]);
            Job.Curves[Track] = Kept;
            Job.Size[Track] = KeptSize;
            Job.Level[Track] = KeptLevel;
            Decode(Job, Track / Kinds, Track % Kinds, Kept);
            Largest = MeasureErrors(Job);
            break;
        }
    }
}

bool MotionIsValid(bspline_solver const *Solver, kelvo_skeleton_compression const *Settings,
                   kelvo_skeleton_motion const *Motion, kelvo_curve2 *const *Curves) {
    KELVO_CHECK_NOT_NULL(Solver, Origin, false);
    KELVO_CHECK_NOT_NULL(Settings, Origin, false);
    KELVO_CHECK_NOT_NULL(Motion, Origin, false);
    KELVO_CHECK_NOT_NULL(Curves, Origin, false);
    KELVO_CHECK(Motion->BoneCount >= 1, Origin, false);
    KELVO_CHECK(Motion->SampleCount >= 2, Origin, false);
    KELVO_CHECK(Motion->dT > 0.0f && isfinite(Motion->dT), Origin, false);
    KELVO_CHECK_NOT_NULL(Motion->ParentIndices, Origin, false);
    KELVO_CHECK_NOT_NULL(Motion->Positions, Origin, false);
    KELVO_CHECK_NOT_NULL(Motion->Orientations, Origin, false);
    KELVO_CHECK_NOT_NULL(Motion->ScaleShears, Origin, false);
    KELVO_CHECK(Settings->VertexDistance > 0.0f && isfinite(Settings->VertexDistance), Origin,
                false);
    KELVO_CHECK(Settings->VertexTolerance > 0.0f && isfinite(Settings->VertexTolerance), Origin,
                false);
    for (kelvo_int32 Kind = 0; Kind < Kinds; ++Kind) {
        KELVO_CHECK_NOT_NULL(Settings->Parameters[Kind], Origin, false);
    }
    // Parents come first, so that chains end and worlds compose in order.
    for (kelvo_int32 Bone = 0; Bone < Motion->BoneCount; ++Bone) {
        kelvo_int32 Parent = Motion->ParentIndices[Bone];
        KELVO_REFUSE_UNLESS(Parent >= -1 && Parent < Bone, Origin, false,
                            "%s(%d): ParentIndices[%d] %d is out of range [-1, %d)", KELVO_HERE,
                            Bone, Parent, Bone);
    }
    return true;
}

} // namespace

} // namespace kelvo

using namespace kelvo;

KELVO_API kelvo_bool8 KelvoCompressSkeletonMotion(bspline_solver *Solver,
                                                  kelvo_skeleton_compression const *Settings,
                                                  kelvo_skeleton_motion const *Motion,
                                                  kelvo_curve2 **Curves, kelvo_real32 *Tolerances,
                                                  kelvo_real32 *LargestVertexError,
                                                  kelvo_bool8 *AchievedTolerance) {
    KELVO_TIMED_BLOCK("CompressSkeletonMotion");
    if (AchievedTolerance) {
        *AchievedTolerance = false;
    }
    if (!MotionIsValid(Solver, Settings, Motion, Curves)) {
        return false;
    }
    kelvo_int32 const Bones = Motion->BoneCount, Samples = Motion->SampleCount;
    kelvo_int64 const Frames = (kelvo_int64)Bones * Samples;
    job Job{Solver, *Settings, *Motion, Curves, Bones, Samples};
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocArrayPtr(Aggr, Frames * Decoded, &Job.Raw);
    AggrAllocArrayPtr(Aggr, Frames * Decoded, &Job.Playback);
    AggrAllocArrayPtr(Aggr, Frames, &Job.RawWorld);
    AggrAllocArrayPtr(Aggr, Frames, &Job.PlaybackWorld);
    AggrAllocArrayPtr(Aggr, Bones, &Job.Reach);
    AggrAllocArrayPtr(Aggr, Bones, &Job.WorstError);
    AggrAllocArrayPtr(Aggr, Bones, &Job.WorstFrame);
    AggrAllocArrayPtr(Aggr, (kelvo_int64)Bones * Kinds, &Job.Level);
    AggrAllocArrayPtr(Aggr, (kelvo_int64)Bones * Kinds, &Job.Size);
    AggrAllocArrayPtr(Aggr, (kelvo_int64)Bones * Kinds, &Job.Marked);
    void *Block = EndAggrAlloc(Aggr, KELVO_HERE);
    if (!Block) {
        return false;
    }
    for (kelvo_int32 Bone = 0; Bone < Bones; ++Bone) {
        for (kelvo_int32 Sample = 0; Sample < Samples; ++Sample) {
            for (kelvo_int32 Kind = 0; Kind < Kinds; ++Kind) {
                memcpy(Job.Local(Job.Raw, Bone, Sample) + KindOffset[Kind],
                       Job.Source(Bone, Kind) + (kelvo_int64)Sample * KindDimension[Kind],
                       (size_t)KindDimension[Kind] * sizeof(kelvo_real32));
            }
        }
    }
    ComposeAll(Job, Job.Raw, Job.RawWorld);
    MeasureReach(Job);
    memset(Curves, 0, (size_t)Bones * Kinds * sizeof(kelvo_curve2 *));
    bool Built = true;
    for (kelvo_int32 Track = 0; Built && Track < Bones * Kinds; ++Track) {
        Job.Level[Track] = 0;
        Built = Refit(Job, Track, 0);
    }
    double Largest = Built ? MeasureErrors(Job) : 0;
    Built = Built && Tighten(Job, Largest) && Loosen(Job, Largest);
    if (Built) {
        for (kelvo_int32 Track = 0; Tolerances && Track < Bones * Kinds; ++Track) {
            Tolerances[Track] = ToleranceAt(Job, Track / Kinds, Track % Kinds, Job.Level[Track]);
        }
        if (LargestVertexError) {
            *LargestVertexError = (kelvo_real32)Largest;
        }
        if (AchievedTolerance) {
            *AchievedTolerance = Largest <= Settings->VertexTolerance;
        }
    } else {
        for (kelvo_int32 Track = 0; Track < Bones * Kinds; ++Track) {
            KelvoFreeCurve(Curves[Track]);
            Curves[Track] = nullptr;
        }
    }
    KELVO_DEALLOCATE(Block);
    return Built;
}
