// Animation bindings and their process-wide cache. A binding is one block:
// the record, its bound tracks and copies of the identifier's patterns (so a
// caller's temporary strings never dangle in the key). The cache keeps every
// binding in a search tree ordered by identifier, so the bindings of one
// animation are neighbours, and the unused ones in a list in the order they
// fell to no use, which is the order they are evicted in. The cache has no
// lock; callers serialize.
#include "kelvo2/kelvo2_animation_binding.h"
#include "kelvo2/kelvo2_curve.h"
#include "kelvo2/kelvo2_skeleton.h"

#include "anim/kelvo_track_internal.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"

#include <string.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoAnimationLogMessage;
constexpr kelvo_int32 CaptureSize = 512;

struct cache_state {
    kelvo_animation_binding *Root = nullptr;
    kelvo_animation_binding *OldestUnused = nullptr;
    kelvo_animation_binding *NewestUnused = nullptr;
    kelvo_int32 Maximum = 0;
    kelvo_animation_binding_cache_status Status = {};
};

cache_state Cache;

// ---- the identifier order --------------------------------------------------------------

template <typename value> int Order(value A, value B) {
    return A < B ? -1 : B < A ? 1 : 0;
}

int OrderPointers(void const *A, void const *B) {
    return Order((kelvo_uintaddrx)A, (kelvo_uintaddrx)B);
}

// Patterns compare by their text, a null pattern first.
int OrderPatterns(char const *A, char const *B) {
    if (!A || !B) {
        return Order(A != nullptr, B != nullptr);
    }
    kelvo_int32 Difference = KelvoStringDifference(A, B);
    return Order(Difference, 0);
}

int OrderIDs(kelvo_animation_binding_identifier const &A,
             kelvo_animation_binding_identifier const &B) {
    // Lexicographic over the fields, in this order.
    int const Orders[] = {OrderPointers(A.Animation, B.Animation),
                          Order(A.SourceTrackGroupIndex, B.SourceTrackGroupIndex),
                          OrderPatterns(A.TrackPattern, B.TrackPattern),
                          OrderPatterns(A.BonePattern, B.BonePattern),
                          OrderPointers(A.OnModel, B.OnModel),
                          OrderPointers(A.FromBasis, B.FromBasis),
                          OrderPointers(A.ToBasis, B.ToBasis)};
    for (int Result : Orders) {
        if (Result) {
            return Result;
        }
    }
    return 0;
}

// ---- the search tree (unbalanced; removal splices in the successor) ------------------------

kelvo_animation_binding *FindBinding(kelvo_animation_binding_identifier const &ID) {
    kelvo_animation_binding *Node = Cache.Root;
    while (Node) {
        int Result = OrderIDs(ID, Node->ID);
        if (Result == 0) {
            return Node;
        }
        Node = Result < 0 ? Node->Left : Node->Right;
    }
    return nullptr;
}

void InsertBinding(kelvo_animation_binding *Binding) {
    Binding->Left = Binding->Right = Binding->Parent = nullptr;
    kelvo_animation_binding **Link = &Cache.Root;
    while (*Link) {
        Binding->Parent = *Link;
        Link = OrderIDs(Binding->ID, (*Link)->ID) < 0 ? &(*Link)->Left : &(*Link)->Right;
    }
    *Link = Binding;
}

kelvo_animation_binding **LinkTo(kelvo_animation_binding *Node) {
    if (!Node->Parent) {
        return &Cache.Root;
    }
    return Node->Parent->Left == Node ? &Node->Parent->Left : &Node->Parent->Right;
}

void Replace(kelvo_animation_binding *Node, kelvo_animation_binding *Child) {
    *LinkTo(Node) = Child;
    if (Child) {
        Child->Parent = Node->Parent;
    }
}

void RemoveBinding(kelvo_animation_binding *Node) {
    if (!Node->Left) {
        Replace(Node, Node->Right);
    } else if (!Node->Right) {
        Replace(Node, Node->Left);
    } else {
        kelvo_animation_binding *Next = Node->Right;
        while (Next->Left) {
            Next = Next->Left;
        }
        if (Next->Parent != Node) {
            Replace(Next, Next->Right);
            Next->Right = Node->Right;
            Next->Right->Parent = Next;
        }
        Replace(Node, Next);
        Next->Left = Node->Left;
        Next->Left->Parent = Next;
    }
    Node->Left = Node->Right = Node->Parent = nullptr;
}

kelvo_animation_binding *Successor(kelvo_animation_binding *Node) {
    if (Node->Right) {
        Node = Node->Right;
        while (Node->Left) {
            Node = Node->Left;
        }
        return Node;
    }
    while (Node->Parent && Node->Parent->Right == Node) {
        Node = Node->Parent;
    }
    return Node->Parent;
}

// The first binding in key order whose animation is Animation.
kelvo_animation_binding *FirstOf(kelvo_animation const *Animation) {
    kelvo_animation_binding *Found = nullptr;
    kelvo_animation_binding *Node = Cache.Root;
    while (Node) {
        int Result = OrderPointers(Animation, Node->ID.Animation);
        if (Result <= 0) {
            if (Result == 0) {
                Found = Node;
            }
            Node = Node->Left;
        } else {
            Node = Node->Right;
        }
    }
    return Found;
}

// ---- the unused list --------------------------------------------------------------------

void AppendUnused(kelvo_animation_binding *Binding) {
    Binding->NextUnused = nullptr;
    Binding->PreviousUnused = Cache.NewestUnused;
    (Cache.NewestUnused ? Cache.NewestUnused->NextUnused : Cache.OldestUnused) = Binding;
    Cache.NewestUnused = Binding;
}

void RemoveUnused(kelvo_animation_binding *Binding) {
    (Binding->PreviousUnused ? Binding->PreviousUnused->NextUnused : Cache.OldestUnused) =
        Binding->NextUnused;
    (Binding->NextUnused ? Binding->NextUnused->PreviousUnused : Cache.NewestUnused) =
        Binding->PreviousUnused;
    Binding->PreviousUnused = Binding->NextUnused = nullptr;
}

void FreeBinding(kelvo_animation_binding *Binding) {
    RemoveBinding(Binding);
    if (Binding->UsedBy == 0) {
        RemoveUnused(Binding);
    }
    KELVO_DEALLOCATE(Binding->RebasingMemory);
    KELVO_DEALLOCATE(Binding);
    ++Cache.Status.BindingsDestroyed;
    --Cache.Status.CurrentTotalBindingCount;
}

void FreeExcessBindings() {
    while (Cache.Status.CurrentTotalBindingCount > Cache.Maximum && Cache.OldestUnused) {
        FreeBinding(Cache.OldestUnused);
        ++Cache.Status.OverflowFrees;
    }
}

void Use(kelvo_animation_binding *Binding) {
    if (Binding->UsedBy++ == 0) {
        RemoveUnused(Binding);
        ++Cache.Status.CurrentUsedBindingCount;
    }
}

// ---- building -------------------------------------------------------------------------------

kelvo_track_group *TrackGroupOf(kelvo_animation_binding_identifier const &ID) {
    kelvo_animation const *Animation = ID.Animation;
    if (!Animation || !Animation->TrackGroups || ID.SourceTrackGroupIndex < 0 ||
        ID.SourceTrackGroupIndex >= Animation->TrackGroupCount) {
        return nullptr;
    }
    return Animation->TrackGroups[ID.SourceTrackGroupIndex];
}

char const *TrackGroupName(kelvo_track_group const *Group) {
    return Group && Group->Name ? Group->Name : "";
}

bool IsPlainPattern(char const *Pattern) {
    return !Pattern || (Pattern[0] == '*' && Pattern[1] == 0);
}

kelvo_int32 FindTrackForBone(kelvo_animation_binding_identifier const &ID,
                             kelvo_track_group const *Group, char const *BoneName) {
    kelvo_int32 Index = -1;
    if (kelvo::GetStringComparisonCallback() ||
        (IsPlainPattern(ID.TrackPattern) && IsPlainPattern(ID.BonePattern))) {
        KelvoFindTrackByName(Group, BoneName, &Index);
    } else {
        char Capture[CaptureSize];
        if (kelvo::WildCardMatch(BoneName, ID.BonePattern, Capture, CaptureSize)) {
            KelvoFindTrackByRule(Group, Capture, ID.TrackPattern, &Index);
        }
    }
    return Index;
}

void FirstAndLastOrientation(kelvo_curve2 const *Curve, kelvo_real32 First[4],
                             kelvo_real32 Last[4]) {
    memcpy(First, KelvoCurveIdentityOrientation, 4 * sizeof(kelvo_real32));
    memcpy(Last, KelvoCurveIdentityOrientation, 4 * sizeof(kelvo_real32));
    kelvo_int32 Count = kelvo::TrackCurveKnotCount(Curve);
    if (!kelvo::TrackCurveIsIdentity(Curve) && Count > 0 && KelvoCurveGetDimension(Curve) == 4) {
        KelvoCurveExtractKnotValue(Curve, 0, First, KelvoCurveIdentityOrientation);
        KelvoCurveExtractKnotValue(Curve, Count - 1, Last, KelvoCurveIdentityOrientation);
    }
}

kelvo_uint8 QuaternionModeOf(kelvo_transform_track const *Track, kelvo_bone const &Bone) {
    kelvo_real32 First[4], Last[4];
    FirstAndLastOrientation(&Track->OrientationCurve, First, Last);
    if (kelvo::Dot4(First, Last) < 0.0f) {
        return (kelvo_uint8)(2 | (Track->Flags & 1));
    }
    return kelvo::Dot4(First, Bone.Transform.Orientation) < 0.0f ? 1 : 0;
}

bool AllConstantOrIdentity(kelvo_transform_track const *Track) {
    return !KelvoTransformTrackIsAnimated(Track);
}

// Flags, LODTransform and Sampler follow the track the bound track points at.
void Classify(kelvo_bound_transform_track &Bound) {
    Bound.Flags = KelvoGetTransformTrackClassFlags(Bound.SourceTrack);
    KelvoGetTransformTrackInitialTransform(Bound.SourceTrack, &Bound.LODTransform);
    Bound.Sampler = KelvoGetTrackSamplerFor(&Bound);
}

void Unbind(kelvo_bound_transform_track &Bound) {
    Bound.SourceTrackIndex = -1;
    Bound.QuaternionMode = 0;
    Bound.Flags = 0;
    Bound.SourceTrack = nullptr;
    Bound.Sampler = KelvoGetTrackSamplerSSS();
    Bound.LODError = KELVO_NEVER_REDUCED_LOD_ERROR;
    Bound.LODTransform = kelvo::IdentityTransform;
}

kelvo_int16 StoredTrackIndex(kelvo_int32 Index) {
    if (Index > INT16_MAX) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): SourceTrackIndex %I64d is out of range for an int16 Track.SourceTrackIndex",
            KELVO_HERE, (kelvo_int64)Index);
        return -1;
    }
    return (kelvo_int16)Index;
}

// True when the track has keyframed curves.
bool Bind(kelvo_bound_transform_track &Bound, kelvo_track_group const *Group, kelvo_int32 Index,
          kelvo_bone const &Bone) {
    kelvo_transform_track const *Track = &Group->TransformTracks[Index];
    Bound.SourceTrackIndex = StoredTrackIndex(Index);
    Bound.SourceTrack = Track;
    Bound.LODError = AllConstantOrIdentity(Track) ? 0.0f : KELVO_NEVER_REDUCED_LOD_ERROR;
    Classify(Bound);
    bool Keyframed = KelvoTransformTrackHasKeyframedCurves(Track) != 0;
    Bound.QuaternionMode = Keyframed ? 0 : QuaternionModeOf(Track, Bone);
    return Keyframed;
}

// ---- rebasing -----------------------------------------------------------------------------

struct curve_role {
    kelvo_curve2 kelvo_transform_track::*Curve;
    kelvo_int32 Dimension;
};

curve_role const Roles[3] = {
    {&kelvo_transform_track::PositionCurve, 3},
    {&kelvo_transform_track::OrientationCurve, 4},
    {&kelvo_transform_track::ScaleShearCurve, 9},
};

kelvo_real32 const *IdentityOf(int Role) {
    return Role == 0   ? KelvoCurveIdentityPosition
           : Role == 1 ? KelvoCurveIdentityOrientation
                       : KelvoCurveIdentityScaleShear;
}

kelvo_int32 RebasedKnotCount(kelvo_curve2 const *Curve) {
    kelvo_int32 Count = kelvo::TrackCurveIsIdentity(Curve) ? 0 : kelvo::TrackCurveKnotCount(Curve);
    return Count > 0 ? Count : 1;
}

constexpr kelvo_int64 RoundUp(kelvo_int64 Size) {
    return (Size + 7) & ~(kelvo_int64)7;
}

kelvo_int64 RebasedTrackSize(kelvo_transform_track const *Track) {
    kelvo_int64 Size = RoundUp(sizeof(kelvo_transform_track));
    for (int Role = 0; Role < 3; ++Role) {
        kelvo_int64 Knots = RebasedKnotCount(&(Track->*Roles[Role].Curve));
        Size += RoundUp(sizeof(kelvo_curve_data_da_k32f_c32f)) +
                RoundUp(Knots * (1 + Roles[Role].Dimension) * (kelvo_int64)sizeof(kelvo_real32));
    }
    return Size;
}

bool FindRestTransform(kelvo_model const *Model, char const *Name, kelvo_transform *Result) {
    kelvo_int32 Index;
    if (!Model || !KelvoFindBoneByName(Model->Skeleton, Name, &Index)) {
        return false;
    }
    *Result = Model->Skeleton->Bones[Index].Transform;
    return true;
}

// R takes a pose authored against the From skeleton's rest onto the To
// skeleton's rest: To o inverse(From), so that From's rest comes out as To's.
bool RebasingTransform(kelvo_animation_binding_identifier const &ID, char const *BoneName,
                       kelvo_transform *R) {
    kelvo_transform From, To;
    if (!FindRestTransform(ID.FromBasis, BoneName, &From) ||
        !FindRestTransform(ID.ToBasis, BoneName, &To)) {
        return false;
    }
    KelvoBuildInverse(R, &From);
    KelvoPreMultiplyBy(R, &To);
    return true;
}

// Lays out one rebased track at Memory and fills it by sampling the bound
// track at every knot of each of its curves; returns the bytes used.
kelvo_int64 RebaseTrack(kelvo_bound_transform_track &Bound, kelvo_transform const &R,
                        kelvo_real32 Duration, kelvo_uint8 *Memory) {
    kelvo_transform_track const *Source = Bound.SourceTrack;
    auto *Track = reinterpret_cast<kelvo_transform_track *>(Memory);
    kelvo_int64 Used = RoundUp(sizeof(kelvo_transform_track));
    Track->Name = Source->Name;
    Track->Flags = Source->Flags;
    for (int Role = 0; Role < 3; ++Role) {
        kelvo_curve2 const *SourceCurve = &(Source->*Roles[Role].Curve);
        kelvo_int32 Dimension = Roles[Role].Dimension;
        kelvo_int32 KnotCount = RebasedKnotCount(SourceCurve);
        auto *Data = reinterpret_cast<kelvo_curve_data_da_k32f_c32f *>(Memory + Used);
        Used += RoundUp(sizeof(kelvo_curve_data_da_k32f_c32f));
        auto *Knots = reinterpret_cast<kelvo_real32 *>(Memory + Used);
        kelvo_real32 *Controls = Knots + KnotCount;
        Used += RoundUp((kelvo_int64)KnotCount * (1 + Dimension) * sizeof(kelvo_real32));
        Knots[0] = 0.0f;
        if (!kelvo::TrackCurveIsIdentity(SourceCurve) &&
            kelvo::TrackCurveKnotCount(SourceCurve) > 0) {
            KelvoCurveExtractKnotValues(SourceCurve, 0, KnotCount, Knots, nullptr,
                                        IdentityOf(Role));
        }
        for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
            kelvo_sample_context Context = {Knots[Knot], Duration, 0, 0, 0};
            kelvo_transform Sample;
            KelvoSampleTrackUUULocal(&Context, Source, &Bound, &Sample);
            KelvoPreMultiplyBy(&Sample, &R);
            kelvo_real32 const *Value = Role == 0   ? Sample.Position
                                        : Role == 1 ? Sample.Orientation
                                                    : Sample.ScaleShear;
            memcpy(Controls + Knot * Dimension, Value, Dimension * sizeof(kelvo_real32));
        }
        if (Role == 1) {
            KelvoEnsureQuaternionContinuity(KnotCount, Controls);
        }
        kelvo_int32 Degree =
            kelvo::TrackCurveIsIdentity(SourceCurve) ? 0 : KelvoCurveGetDegree(SourceCurve);
        KelvoCurveMakeStaticDaK32fC32f(&(Track->*Roles[Role].Curve), Data, KnotCount, Degree,
                                       Dimension, Knots, Controls);
    }
    Bound.SourceTrack = Track;
    Classify(Bound);
    if (AllConstantOrIdentity(Track)) {
        Bound.LODError = 0.0f;
    }
    return Used;
}

void Rebase(kelvo_animation_binding *Binding, kelvo_track_group const *Group,
            kelvo_skeleton const *Skeleton) {
    kelvo_int64 Size = 0;
    for (kelvo_int32 Bone = 0; Bone < Binding->TrackBindingCount; ++Bone) {
        if (kelvo_transform_track const *Track = Binding->TrackBindings[Bone].SourceTrack) {
            Size += RebasedTrackSize(Track);
        }
    }
    void *Memory = Size > 0 && Size <= INT32_MAX ? KELVO_ALLOCATE_SIZE((kelvo_int32)Size) : nullptr;
    if (!Memory) {
        if (Size > 0) {
            Log(KelvoWarningLogMessage, Origin,
                "%s(%d): Out of memory for rebasing track group \"%s\".", KELVO_HERE,
                TrackGroupName(Group));
        }
        return;
    }
    Binding->RebasingMemory = Memory;
    kelvo_uint8 *At = static_cast<kelvo_uint8 *>(Memory);
    kelvo_real32 Duration = Binding->ID.Animation->Duration;
    for (kelvo_int32 Bone = 0; Bone < Binding->TrackBindingCount; ++Bone) {
        kelvo_bound_transform_track &Bound = Binding->TrackBindings[Bone];
        kelvo_transform R;
        if (Bound.SourceTrack && !KelvoTransformTrackHasKeyframedCurves(Bound.SourceTrack) &&
            RebasingTransform(Binding->ID, Skeleton->Bones[Bone].Name, &R)) {
            At += RebaseTrack(Bound, R, Duration, At);
        }
    }
}

kelvo_int32 PatternSize(char const *Pattern) {
    return Pattern ? kelvo::StringLength(Pattern) + 1 : 0;
}

char *KeepPattern(char const *Pattern, char *&At) {
    if (!Pattern) {
        return nullptr;
    }
    char *Copy = At;
    At += kelvo::CopyStringCount(Copy, Pattern);
    return Copy;
}

kelvo_animation_binding *BuildBinding(kelvo_animation_binding_identifier const &ID) {
    kelvo_track_group const *Group = TrackGroupOf(ID);
    if (!Group) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): The animation has no track group %d to bind",
            KELVO_HERE, ID.SourceTrackGroupIndex);
        return nullptr;
    }
    KELVO_CHECK_NOT_NULL(ID.OnModel, Origin, nullptr);
    kelvo_skeleton const *Skeleton = ID.OnModel->Skeleton;
    KELVO_CHECK_NOT_NULL(Skeleton, Origin, nullptr);
    kelvo_int32 BoneCount = Skeleton->Bones ? Skeleton->BoneCount : 0;
    kelvo_int64 Size = RoundUp(sizeof(kelvo_animation_binding)) +
                       (kelvo_int64)BoneCount * (kelvo_int64)sizeof(kelvo_bound_transform_track) +
                       PatternSize(ID.TrackPattern) + PatternSize(ID.BonePattern);
    if (BoneCount < 0 || Size > INT32_MAX) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): BoneCount %d is out of range [%d, %d]",
            KELVO_HERE, BoneCount, 0,
            (kelvo_int32)(INT32_MAX / sizeof(kelvo_bound_transform_track)));
        return nullptr;
    }
    auto *Binding = static_cast<kelvo_animation_binding *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Size));
    if (!Binding) {
        return nullptr;
    }
    memset(Binding, 0, sizeof(*Binding));
    Binding->ID = ID;
    Binding->TrackBindingCount = BoneCount;
    Binding->TrackBindings = reinterpret_cast<kelvo_bound_transform_track *>(
        reinterpret_cast<kelvo_uint8 *>(Binding) + RoundUp(sizeof(kelvo_animation_binding)));
    char *Patterns = reinterpret_cast<char *>(Binding->TrackBindings + BoneCount);
    Binding->ID.TrackPattern = KeepPattern(ID.TrackPattern, Patterns);
    Binding->ID.BonePattern = KeepPattern(ID.BonePattern, Patterns);

    bool Keyframed = false;
    for (kelvo_int32 Bone = 0; Bone < BoneCount; ++Bone) {
        kelvo_bound_transform_track &Bound = Binding->TrackBindings[Bone];
        Unbind(Bound);
        kelvo_int32 Index = FindTrackForBone(Binding->ID, Group, Skeleton->Bones[Bone].Name);
        if (Index >= 0) {
            Keyframed |= Bind(Bound, Group, Index, Skeleton->Bones[Bone]);
        }
    }
    if (Keyframed) {
        Log(KelvoWarningLogMessage, Origin,
            "%s(%d): The track group \"%s\" has keyframed animation tracks, which are meant for "
            "preprocessing only.  They will be ignored during playback.",
            KELVO_HERE, TrackGroupName(Group));
    }
    if (ID.FromBasis != ID.ToBasis) {
        Rebase(Binding, Group, Skeleton);
    }
    ++Cache.Status.BindingsCreated;
    ++Cache.Status.CurrentTotalBindingCount;
    return Binding;
}

kelvo_track_group *GroupOfBinding(kelvo_animation_binding const *Binding) {
    return TrackGroupOf(Binding->ID);
}

// Re-points the bound tracks into the binding's (new) animation by index; a
// track whose index did not fit the int16 field is found again by name.
void RepointTracks(kelvo_animation_binding *Binding) {
    kelvo_track_group const *Group = GroupOfBinding(Binding);
    for (kelvo_int32 Bone = 0; Bone < Binding->TrackBindingCount; ++Bone) {
        kelvo_bound_transform_track &Bound = Binding->TrackBindings[Bone];
        if (!Bound.SourceTrack) {
            continue;
        }
        kelvo_int32 Index = Bound.SourceTrackIndex;
        if (Index < 0) {
            KelvoFindTrackByName(Group, Bound.SourceTrack->Name, &Index);
        }
        if (!Group || Index < 0 || Index >= Group->TransformTrackCount || !Group->TransformTracks) {
            kelvo_real32 Error = Bound.LODError;
            Unbind(Bound);
            Bound.LODError = Error;
            continue;
        }
        Bound.SourceTrack = &Group->TransformTracks[Index];
        Classify(Bound);
    }
}

void RefillLODTransforms(kelvo_animation_binding *Binding) {
    for (kelvo_int32 Index = 0; Index < Binding->TrackBindingCount; ++Index) {
        kelvo_bound_transform_track &Bound = Binding->TrackBindings[Index];
        if (Bound.SourceTrack) {
            KelvoGetTransformTrackInitialTransform(Bound.SourceTrack, &Bound.LODTransform);
        } else {
            Bound.LODTransform = kelvo::IdentityTransform;
        }
    }
}

char const *AnimationName(kelvo_animation_binding const *Binding) {
    kelvo_animation const *Animation = Binding->ID.Animation;
    return Animation && Animation->Name ? Animation->Name : "";
}

bool TrackIndexIsValid(kelvo_animation_binding const *Binding, kelvo_int32 TrackIndex) {
    KELVO_CHECK_INDEX(TrackIndex, Binding->TrackBindingCount, Origin, false);
    return true;
}

} // namespace

// ---- the cache ---------------------------------------------------------------------------------

KELVO_API void KelvoMakeDefaultAnimationBindingID(kelvo_animation_binding_identifier *ID,
                                                  kelvo_animation const *Animation,
                                                  kelvo_int32 TrackGroupIndex) {
    KELVO_CHECK_NOT_NULL(ID, Origin, KELVO_NOTHING);
    *ID = {Animation, TrackGroupIndex, "*", "*", nullptr, nullptr, nullptr};
}

KELVO_API kelvo_animation_binding *
KelvoAcquireAnimationBindingFromID(kelvo_animation_binding_identifier const *ID) {
    if (!ID) {
        return nullptr;
    }
    ++Cache.Status.IndirectAcquireCount;
    kelvo_animation_binding *Binding = FindBinding(*ID);
    if (Binding) {
        ++Cache.Status.CacheHits;
    } else {
        ++Cache.Status.CacheMisses;
        Binding = BuildBinding(*ID);
        if (!Binding) {
            return nullptr;
        }
        InsertBinding(Binding);
    }
    Use(Binding);
    FreeExcessBindings();
    return Binding;
}

KELVO_API kelvo_animation_binding *KelvoAcquireAnimationBinding(kelvo_animation_binding *Binding) {
    if (Binding) {
        ++Cache.Status.DirectAcquireCount;
        ++Cache.Status.CacheHits;
        Use(Binding);
    }
    return Binding;
}

KELVO_API void KelvoReleaseAnimationBinding(kelvo_animation_binding *Binding) {
    if (!Binding) {
        return;
    }
    ++Cache.Status.ReleaseCount;
    if (Binding->UsedBy <= 0) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Binding->UsedBy > 0 was not true", KELVO_HERE);
        return;
    }
    if (--Binding->UsedBy == 0) {
        --Cache.Status.CurrentUsedBindingCount;
        AppendUnused(Binding);
        FreeExcessBindings();
    }
}

KELVO_API kelvo_int32 KelvoGetMaximumAnimationBindingCount(void) {
    return Cache.Maximum;
}

KELVO_API void KelvoSetMaximumAnimationBindingCount(kelvo_int32 Maximum) {
    Cache.Maximum = Maximum;
}

KELVO_API void KelvoFlushAllUnusedAnimationBindings(void) {
    ++Cache.Status.ExplicitFlushCount;
    while (Cache.OldestUnused) {
        FreeBinding(Cache.OldestUnused);
        ++Cache.Status.ExplicitFlushFrees;
    }
}

KELVO_API void KelvoFlushAllBindingsForAnimation(kelvo_animation const *Animation) {
    kelvo_animation_binding *Binding = FirstOf(Animation);
    while (Binding && Binding->ID.Animation == Animation) {
        kelvo_animation_binding *Next = Successor(Binding);
        if (Binding->UsedBy > 0) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): FlushAllBindingsForAnimation() tried to flush an animation still in use "
                "(%s)",
                KELVO_HERE, AnimationName(Binding));
        } else {
            FreeBinding(Binding);
        }
        Binding = Next;
    }
}

KELVO_API void KelvoFlushAnimationBinding(kelvo_animation_binding *Binding) {
    if (!Binding) {
        return;
    }
    if (Binding->UsedBy > 0) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): FlushAnimationBinding() tried to flush an animation still in use (%s)",
            KELVO_HERE, AnimationName(Binding));
        return;
    }
    FreeBinding(Binding);
}

KELVO_API kelvo_animation_binding *
KelvoGetFirstBindingForAnimation(kelvo_animation const *Animation) {
    return FirstOf(Animation);
}

KELVO_API kelvo_animation_binding *
KelvoGetNextBindingForAnimation(kelvo_animation const *Animation,
                                kelvo_animation_binding *Binding) {
    kelvo_animation_binding *Next = Binding ? Successor(Binding) : nullptr;
    return Next && Next->ID.Animation == Animation ? Next : nullptr;
}

KELVO_API kelvo_animation_binding *KelvoGetFirstUnusedAnimationBinding(void) {
    return Cache.OldestUnused;
}

KELVO_API kelvo_animation_binding *
KelvoGetNextUnusedAnimationBinding(kelvo_animation_binding *Binding) {
    return Binding ? Binding->NextUnused : nullptr;
}

KELVO_API kelvo_bool32 KelvoIsAnimationUsed(kelvo_animation const *Animation) {
    for (kelvo_animation_binding *Binding = FirstOf(Animation);
         Binding && Binding->ID.Animation == Animation; Binding = Successor(Binding)) {
        if (Binding->UsedBy > 0) {
            return true;
        }
    }
    return false;
}

KELVO_API void KelvoRemapAnimationBindingPointers(kelvo_animation_binding *Binding,
                                                  kelvo_animation const *NewAnimation) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, KELVO_NOTHING);
    if (!NewAnimation) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): NewAnimationPointer is not allowed to be 0",
            KELVO_HERE);
        return;
    }
    RemoveBinding(Binding);
    Binding->ID.Animation = NewAnimation;
    RepointTracks(Binding);
    // A rebased binding's tracks were copies made from the old animation:
    // they are made again from the new one, or the rebasing would be lost.
    KELVO_DEALLOCATE(Binding->RebasingMemory);
    Binding->RebasingMemory = nullptr;
    if (Binding->ID.FromBasis != Binding->ID.ToBasis && Binding->ID.OnModel &&
        Binding->ID.OnModel->Skeleton) {
        Rebase(Binding, GroupOfBinding(Binding), Binding->ID.OnModel->Skeleton);
    }
    InsertBinding(Binding);
}

KELVO_API void KelvoRemapAllAnimationBindingPointers(kelvo_animation const *Animation,
                                                     kelvo_animation const *NewAnimation) {
    if (!NewAnimation) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): NewAnimationPointer is not allowed to be 0",
            KELVO_HERE);
        return;
    }
    // Re-keying moves bindings in the tree, so collect the first each time.
    while (Animation != NewAnimation) {
        kelvo_animation_binding *Binding = FirstOf(Animation);
        if (!Binding) {
            break;
        }
        KelvoRemapAnimationBindingPointers(Binding, NewAnimation);
    }
}

KELVO_API void KelvoGetAnimationBindingCacheStatus(kelvo_animation_binding_cache_status *Result) {
    KELVO_CHECK_NOT_NULL(Result, Origin, KELVO_NOTHING);
    *Result = Cache.Status;
}

// ---- level-of-detail values ------------------------------------------------------------------

KELVO_API kelvo_real32 KelvoGetLODErrorValue(kelvo_animation_binding const *Binding,
                                             kelvo_int32 TrackIndex) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, 0.0f);
    return TrackIndexIsValid(Binding, TrackIndex) ? Binding->TrackBindings[TrackIndex].LODError
                                                  : 0.0f;
}

KELVO_API void KelvoSetLODErrorValue(kelvo_animation_binding *Binding, kelvo_int32 TrackIndex,
                                     kelvo_real32 Value) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, KELVO_NOTHING);
    if (TrackIndexIsValid(Binding, TrackIndex)) {
        Binding->TrackBindings[TrackIndex].LODError = Value;
    }
}

KELVO_API void KelvoSetAllLODErrorValues(kelvo_animation_binding *Binding, kelvo_real32 Value) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, KELVO_NOTHING);
    for (kelvo_int32 Index = 0; Index < Binding->TrackBindingCount; ++Index) {
        Binding->TrackBindings[Index].LODError = Value;
    }
    RefillLODTransforms(Binding);
}

KELVO_API void KelvoResetLODErrorValues(kelvo_animation_binding *Binding) {
    KelvoSetAllLODErrorValues(Binding, KELVO_NEVER_REDUCED_LOD_ERROR);
}

// Errors of bound tracks whose index did not fit the int16 field have no
// place in the group and are skipped.
KELVO_API void KelvoCopyLODErrorValuesToAnimation(kelvo_animation_binding *Binding,
                                                  kelvo_real32 Scale, kelvo_bool32 OnlyIfLarger) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, KELVO_NOTHING);
    kelvo_track_group *Group = GroupOfBinding(Binding);
    if (!Group || !Group->TransformLODErrors) {
        return;
    }
    for (kelvo_int32 Index = 0; Index < Binding->TrackBindingCount; ++Index) {
        kelvo_bound_transform_track const &Bound = Binding->TrackBindings[Index];
        if (Bound.SourceTrack && Bound.SourceTrackIndex >= 0 &&
            Bound.SourceTrackIndex < Group->TransformLODErrorCount) {
            kelvo_real32 Value = Scale * Bound.LODError;
            kelvo_real32 &Stored = Group->TransformLODErrors[Bound.SourceTrackIndex];
            if (!OnlyIfLarger || Value > Stored) {
                Stored = Value;
            }
        }
    }
}

KELVO_API void KelvoCopyLODErrorValuesFromAnimation(kelvo_animation_binding *Binding,
                                                    kelvo_real32 Scale) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, KELVO_NOTHING);
    kelvo_track_group const *Group = GroupOfBinding(Binding);
    if (!Group || !Group->TransformLODErrors) {
        return;
    }
    for (kelvo_int32 Index = 0; Index < Binding->TrackBindingCount; ++Index) {
        kelvo_bound_transform_track &Bound = Binding->TrackBindings[Index];
        if (Bound.SourceTrack && Bound.SourceTrackIndex >= 0 &&
            Bound.SourceTrackIndex < Group->TransformLODErrorCount) {
            Bound.LODError = Scale * Group->TransformLODErrors[Bound.SourceTrackIndex];
        }
    }
    RefillLODTransforms(Binding);
}
