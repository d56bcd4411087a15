// Track groups: finding tracks by name or rule, the group's flags, the
// predicates on transform tracks, resorting by name, the LOD error array and
// removing a track's initial transform. Groups from files have been checked
// when their file info was taken (track arrays present, curve dimensions
// fitting their roles), so the tracks here are trusted to be readable.
#include "kelvo2/kelvo2_curve.h"
#include "kelvo2/kelvo2_track_group.h"

#include "anim/kelvo_track_internal.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"

#include <algorithm>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoTrackGroupLogMessage;
constexpr kelvo_int32 CaptureSize = 512;

using kelvo::CompareTrackNames;

// Lookups by name are exact (case-sensitive) unless the application says otherwise.
bool NamesMatch(char const *A, char const *B) {
    return CompareTrackNames(A, B) == 0;
}

kelvo_bool32 Report(kelvo_int32 Found, kelvo_int32 *TrackIndex) {
    if (TrackIndex) {
        *TrackIndex = Found;
    }
    return Found >= 0;
}

template <typename track>
kelvo_int32 LinearFind(kelvo_int32 Count, track const *Tracks, char const *Name) {
    for (kelvo_int32 Index = 0; Tracks && Index < Count; ++Index) {
        if (NamesMatch(Tracks[Index].Name, Name)) {
            return Index;
        }
    }
    return -1;
}

kelvo_int32 HalvingFind(kelvo_int32 Count, kelvo_transform_track const *Tracks, char const *Name) {
    kelvo_int32 Low = 0;
    kelvo_int32 High = Tracks ? Count : 0;
    while (Low < High) {
        kelvo_int32 Middle = Low + (High - Low) / 2;
        kelvo_int32 Order = CompareTrackNames(Name, Tracks[Middle].Name);
        if (Order == 0) {
            return Middle;
        }
        if (Order < 0) {
            High = Middle;
        } else {
            Low = Middle + 1;
        }
    }
    return -1;
}

// A name that does not match the pattern has no extraction, so it never
// matches (a partial capture could otherwise equal the processed name).
template <typename track>
kelvo_int32 RuleFind(kelvo_int32 Count, track const *Tracks, char const *ProcessedName,
                     char const *Pattern) {
    char Capture[CaptureSize];
    for (kelvo_int32 Index = 0; Tracks && Index < Count; ++Index) {
        if (kelvo::WildCardMatch(Tracks[Index].Name, Pattern, Capture, CaptureSize) &&
            KelvoStringDifference(Capture, ProcessedName ? ProcessedName : "") == 0) {
            return Index;
        }
    }
    return -1;
}

kelvo_bool32 FindByRule(kelvo_track_group const *Group, bool Vectors, char const *ProcessedName,
                        char const *Pattern, kelvo_int32 *TrackIndex) {
    kelvo_int32 Found = -1;
    if (Group) {
        Found = Vectors
                    ? RuleFind(Group->VectorTrackCount, Group->VectorTracks, ProcessedName, Pattern)
                    : RuleFind(Group->TransformTrackCount, Group->TransformTracks, ProcessedName,
                               Pattern);
    }
    return Report(Found, TrackIndex);
}

bool IsSorted(kelvo_track_group const *TrackGroup) {
    return (TrackGroup->AccumulationFlags & KELVO_TRACK_GROUP_IS_SORTED) != 0;
}

char const *CurveRole(int Role) {
    static char const *const Roles[] = {"position", "orientation", "scale-shear"};
    return Roles[Role];
}

} // namespace

kelvo_int32 kelvo::CompareTrackNames(char const *A, char const *B) {
    kelvo_string_comparison_callback *Callback = GetStringComparisonCallback();
    if (Callback && A && B) {
        return Callback(A, B);
    }
    return KelvoStringDifference(A, B);
}

// ---- lookups and flags --------------------------------------------------------------

KELVO_API kelvo_bool32 KelvoFindTrackByName(kelvo_track_group const *TrackGroup, char const *Name,
                                            kelvo_int32 *TrackIndex) {
    KELVO_TIMED_BLOCK("FindTrackByName");
    if (!TrackGroup) {
        return Report(-1, TrackIndex);
    }
    kelvo_int32 Count = TrackGroup->TransformTrackCount;
    kelvo_transform_track const *Tracks = TrackGroup->TransformTracks;
    kelvo_int32 Found =
        IsSorted(TrackGroup) ? HalvingFind(Count, Tracks, Name) : LinearFind(Count, Tracks, Name);
    return Report(Found, TrackIndex);
}

KELVO_API kelvo_bool32 KelvoFindVectorTrackByName(kelvo_track_group const *TrackGroup,
                                                  char const *Name, kelvo_int32 *TrackIndex) {
    KELVO_TIMED_BLOCK("FindVectorTrackByName");
    kelvo_int32 Found =
        TrackGroup ? LinearFind(TrackGroup->VectorTrackCount, TrackGroup->VectorTracks, Name) : -1;
    return Report(Found, TrackIndex);
}

KELVO_API kelvo_bool32 KelvoFindTrackByRule(kelvo_track_group const *TrackGroup,
                                            char const *ProcessedName, char const *Pattern,
                                            kelvo_int32 *TrackIndex) {
    KELVO_TIMED_BLOCK("FindTrackByRule");
    return FindByRule(TrackGroup, false, ProcessedName, Pattern, TrackIndex);
}

KELVO_API kelvo_bool32 KelvoFindVectorTrackByRule(kelvo_track_group const *TrackGroup,
                                                  char const *ProcessedName, char const *Pattern,
                                                  kelvo_int32 *TrackIndex) {
    KELVO_TIMED_BLOCK("FindVectorTrackByRule");
    return FindByRule(TrackGroup, true, ProcessedName, Pattern, TrackIndex);
}

KELVO_API void KelvoGetTrackGroupFlags(kelvo_track_group const *TrackGroup, kelvo_uint32 *Flags,
                                       kelvo_uint32 *VDADOFs) {
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    if (Flags) {
        *Flags = (kelvo_uint32)TrackGroup->AccumulationFlags & 0xffffu;
    }
    if (VDADOFs) {
        *VDADOFs = (kelvo_uint32)(TrackGroup->AccumulationFlags >> 16);
    }
}

KELVO_API void KelvoSetTrackGroupFlags(kelvo_track_group *TrackGroup, kelvo_uint32 Flags,
                                       kelvo_uint32 VDADOFs) {
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    TrackGroup->AccumulationFlags = (kelvo_int32)(Flags | (VDADOFs << 16));
}

KELVO_API void KelvoGetTrackGroupInitialPlacement4x4(kelvo_track_group const *TrackGroup,
                                                     kelvo_real32 Result[16]) {
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    KelvoBuildCompositeTransform4x4(&TrackGroup->InitialPlacement, Result);
}

// ---- predicates ---------------------------------------------------------------------

KELVO_API kelvo_bool32 KelvoTransformTrackHasKeyframedCurves(kelvo_transform_track const *Track) {
    return kelvo::TrackCurveIsKeyframed(&Track->PositionCurve) ||
           kelvo::TrackCurveIsKeyframed(&Track->OrientationCurve) ||
           kelvo::TrackCurveIsKeyframed(&Track->ScaleShearCurve);
}

KELVO_API kelvo_bool32 KelvoTransformTrackIsAnimated(kelvo_transform_track const *Track) {
    return !(kelvo::TrackCurveIsConstantOrIdentity(&Track->PositionCurve) &&
             kelvo::TrackCurveIsConstantOrIdentity(&Track->OrientationCurve) &&
             kelvo::TrackCurveIsConstantOrIdentity(&Track->ScaleShearCurve));
}

KELVO_API kelvo_bool32 KelvoTransformTrackIsIdentity(kelvo_transform_track const *Track) {
    return kelvo::TrackCurveIsIdentity(&Track->PositionCurve) &&
           kelvo::TrackCurveIsIdentity(&Track->OrientationCurve) &&
           kelvo::TrackCurveIsIdentity(&Track->ScaleShearCurve);
}

// ---- resorting and LOD errors ---------------------------------------------------------

// The LOD errors belong to the tracks by index, so they move with them.
KELVO_API void KelvoResortTrackGroup(kelvo_track_group *TrackGroup) {
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    kelvo_int32 Count = TrackGroup->TransformTracks ? TrackGroup->TransformTrackCount : 0;
    kelvo_transform_track *Tracks = TrackGroup->TransformTracks;
    bool MoveErrors = TrackGroup->TransformLODErrors && TrackGroup->TransformLODErrorCount == Count;
    // Insertion sort: stable, in place and without allocation; groups are small.
    for (kelvo_int32 Index = 1; Index < Count; ++Index) {
        kelvo_int32 At = Index;
        while (At > 0 && CompareTrackNames(Tracks[At - 1].Name, Tracks[At].Name) > 0) {
            std::swap(Tracks[At - 1], Tracks[At]);
            if (MoveErrors) {
                std::swap(TrackGroup->TransformLODErrors[At - 1],
                          TrackGroup->TransformLODErrors[At]);
            }
            --At;
        }
    }
    if (kelvo::GetStringComparisonCallback()) {
        for (kelvo_int32 Index = 1; Index < Count; ++Index) {
            if (CompareTrackNames(Tracks[Index - 1].Name, Tracks[Index].Name) == 0) {
                Log(KelvoWarningLogMessage, KelvoNameMapLogMessage,
                    "%s(%d): ResortTrackGroup: found duplicate remapped track value - 0x%08x",
                    KELVO_HERE, (kelvo_uint32)Index);
            }
        }
    }
    TrackGroup->AccumulationFlags |= KELVO_TRACK_GROUP_IS_SORTED;
}

KELVO_API void KelvoAllocateLODErrorSpace(kelvo_track_group *TrackGroup) {
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    if (TrackGroup->TransformLODErrorCount != 0 || TrackGroup->TransformTrackCount <= 0) {
        return;
    }
    kelvo_int64 Size = (kelvo_int64)TrackGroup->TransformTrackCount * sizeof(kelvo_real32);
    if (Size > INT32_MAX) {
        return;
    }
    auto *Errors = static_cast<kelvo_real32 *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Size));
    if (Errors) {
        TrackGroup->TransformLODErrors = Errors;
        TrackGroup->TransformLODErrorCount = TrackGroup->TransformTrackCount;
        KelvoResetLODErrorSpace(TrackGroup);
    }
}

KELVO_API void KelvoFreeLODErrorSpace(kelvo_track_group *TrackGroup) {
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    KELVO_DEALLOCATE(TrackGroup->TransformLODErrors);
    TrackGroup->TransformLODErrors = nullptr;
    TrackGroup->TransformLODErrorCount = 0;
}

KELVO_API void KelvoSetAllLODErrorSpace(kelvo_track_group *TrackGroup, kelvo_real32 Value) {
    KELVO_CHECK_NOT_NULL(TrackGroup, Origin, KELVO_NOTHING);
    for (kelvo_int32 Index = 0;
         TrackGroup->TransformLODErrors && Index < TrackGroup->TransformLODErrorCount; ++Index) {
        TrackGroup->TransformLODErrors[Index] = Value;
    }
}

KELVO_API void KelvoResetLODErrorSpace(kelvo_track_group *TrackGroup) {
    KelvoSetAllLODErrorSpace(TrackGroup, KELVO_NEVER_REDUCED_LOD_ERROR);
}

// ---- removing the initial transform -------------------------------------------------------

namespace {

kelvo_curve2 *CurveOf(kelvo_transform_track *Track, int Role) {
    return Role == 0   ? &Track->PositionCurve
           : Role == 1 ? &Track->OrientationCurve
                       : &Track->ScaleShearCurve;
}

template <typename apply>
void ForEachControl(kelvo_curve2 *Curve, kelvo_int32 Dimension, apply Apply) {
    if (kelvo::TrackCurveIsIdentity(Curve)) {
        return;
    }
    kelvo_curve_data_da_k32f_c32f *Data = KelvoCurveGetContentsOfDaK32fC32f(Curve);
    kelvo_int32 Count = Data->ControlCount / Dimension;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Apply(Data->Controls + Index * Dimension);
    }
}

} // namespace

KELVO_API void KelvoRemoveTrackInitialTransform(kelvo_transform_track *Track) {
    KELVO_CHECK_NOT_NULL(Track, Origin, KELVO_NOTHING);
    for (int Role = 0; Role < 3; ++Role) {
        kelvo_curve2 *Curve = CurveOf(Track, Role);
        if (!kelvo::TrackCurveIsIdentity(Curve) && !KelvoCurveIsTypeDaK32fC32f(Curve)) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Track contains compressed %s curve type - can't remove initial transform",
                KELVO_HERE, CurveRole(Role));
            return;
        }
    }
    kelvo_transform Initial;
    KelvoGetTransformTrackInitialTransform(Track, &Initial);
    kelvo_transform Inverse;
    KelvoBuildInverse(&Inverse, &Initial);
    ForEachControl(&Track->PositionCurve, 3,
                   [&](kelvo_real32 *P) { KelvoTransformPointInPlace(P, &Inverse); });
    ForEachControl(&Track->OrientationCurve, 4,
                   [&](kelvo_real32 *Q) { kelvo::QuaternionMultiply(Q, Inverse.Orientation, Q); });
    ForEachControl(&Track->ScaleShearCurve, 9,
                   [&](kelvo_real32 *S) { kelvo::MatrixMultiply3x3(S, Inverse.ScaleShear, S); });
}
