// Controlled animations and poses: the builder that binds an animation's
// track groups to model instances under one control, and the two kinds of
// control binding with their operations (accumulating into a local pose,
// building a world pose directly, and root motion). Bones without a track
// contribute nothing to a local pose and take their rest transform in a
// direct build, so a partial animation never collapses a bone onto its
// parent.
#include "anim/kelvo_control_internal.h"
#include "anim/kelvo_pose.h"
#include "anim/kelvo_track_internal.h"
#include "kelvo2/kelvo2_skeleton.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"

#include <math.h>
#include <string.h>

namespace {

using namespace kelvo;

constexpr kelvo_log_message_origin Origin = KelvoControlLogMessage;
constexpr kelvo_real32 NoWeight = 0.001f;

struct track_group_entry {
    kelvo_animation_binding *Binding;
    kelvo_animation_binding_identifier ID;
    kelvo_model_instance *Target;
    kelvo_accumulation_mode AccumulationMode;
    kelvo_real32 LODCopyScaler;
    kelvo_track_mask const *TrackMask;
    kelvo_track_mask const *ModelMask;
};

} // namespace

struct kelvo_controlled_animation_builder {
    kelvo_control *Control;
    kelvo_real32 CurrentClock;
    kelvo_animation const *Animation;
    kelvo_int32 TrackGroupCount;
    track_group_entry *Entries;
};

namespace {

kelvo_accumulation_mode DefaultAccumulation(kelvo_track_group const *Group) {
    kelvo_int32 Flags = Group ? Group->AccumulationFlags : 0;
    return Flags & KELVO_TRACK_GROUP_CONSTANT_EXTRACTION ? KelvoConstantExtractionAccumulation
           : Flags & KELVO_TRACK_GROUP_VARIABLE_DELTA    ? KelvoVariableDeltaAccumulation
                                                         : KelvoNoAccumulation;
}

track_group_entry *EntryAt(kelvo_controlled_animation_builder *Builder, kelvo_int32 Index) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, nullptr);
    if (Index < 0 || Index >= Builder->TrackGroupCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): TrackGroupIndex %d is out of range [0, %d)",
            KELVO_HERE, Index, Builder->TrackGroupCount);
        return nullptr;
    }
    return &Builder->Entries[Index];
}

kelvo_real32 MaskWeight(kelvo_track_mask const *Mask, kelvo_int32 Index) {
    if (!Mask) {
        return 1.0f;
    }
    return Index >= 0 && Index < Mask->BoneCount ? Mask->BoneWeights[Index] : Mask->DefaultWeight;
}

kelvo_skeleton const *SkeletonOf(kelvo_model_control_binding const &Binding) {
    return Binding.ModelInstance->Model->Skeleton;
}

// The bones both the skeleton and the binding cover.
kelvo_int32 BoundBoneCount(kelvo_model_control_binding const &Binding,
                           kelvo_animation_binding const *Bound) {
    kelvo_int32 Count = SkeletonOf(Binding)->BoneCount;
    return Bound && Bound->TrackBindingCount < Count ? Bound->TrackBindingCount : Count;
}

// The parent's world matrix, the offset for a root (and for a parent that
// does not precede its bone, which only caller-built skeletons can have).
kelvo_real32 const *ParentWorldOf(kelvo_bone const &Bone, kelvo_int32 Index,
                                  kelvo_world_pose const *Pose, kelvo_real32 const *Offset4x4) {
    kelvo_int32 Parent = Bone.ParentIndex;
    return (kelvo_uint32)Parent < (kelvo_uint32)Index ? Pose->WorldTransformBuffer + 16 * Parent
                                                      : Offset4x4;
}

// The track's transform under the LOD rule, sampled by the general sampler
// up to the exact normalization of its orientation, which the caller owes
// when this returns true (SampleTrackLocalDeferred), and then FadeUnderLOD.
// Inline: a steady frame does little more here than check the kept pair.
[[gnu::always_inline]] inline bool
SampleUnderLODDeferred(lod_rule const &Rule, kelvo_sample_context const &Context,
                       kelvo_bound_transform_track const &Track, kelvo_transform *Result,
                       track_cursor *Cursor, cubic_pair_window *Deferred = nullptr) {
    if (Track.LODError <= Rule.FadeStart) {
        *Result = Track.LODTransform;
        return false;
    }
    if (Cursor && Deferred &&
        SampleKeptPair(Context, Track.SourceTrack, Track, Result, *Cursor, Deferred)) {
        return true;
    }
    return SampleTrackLocalDeferred(&Context, Track.SourceTrack, &Track, Result, Cursor, Deferred);
}

void FadeUnderLOD(lod_rule const &Rule, kelvo_bound_transform_track const &Track,
                  kelvo_transform *Result) {
    kelvo_real32 E = Track.LODError;
    if (E > Rule.FadeStart && E <= Rule.Allowed) {
        KelvoLinearBlendTransform(Result, Result, (Rule.Allowed - E) * Rule.FadeScale,
                                  &Track.LODTransform);
    }
}

void SampleUnderLOD(lod_rule const &Rule, kelvo_sample_context const &Context,
                    kelvo_bound_transform_track const &Track, kelvo_transform *Result) {
    if (SampleUnderLODDeferred(Rule, Context, Track, Result, nullptr)) {
        ExactNormalize(Result->Orientation);
    }
    FadeUnderLOD(Rule, Track, Result);
}

// Bone 0 of a variable-delta animation keeps only its scale/shear: its
// motion is delivered as root motion.
void StripRootMotion(kelvo_transform *Transform) {
    Transform->Flags &= ~(kelvo_uint32)(KelvoHasPosition | KelvoHasOrientation);
    memcpy(Transform->Position, IdentityTransform.Position, sizeof(Transform->Position));
    memcpy(Transform->Orientation, IdentityTransform.Orientation, sizeof(Transform->Orientation));
}

// ---- the controlled-animation kind -------------------------------------------------------

kelvo_animation_binding *AnimationOf(kelvo_model_control_binding const &Binding) {
    return Binding.State.Animation.Binding;
}

kelvo_local_pose const *NoPose(kelvo_model_control_binding const &) {
    return nullptr;
}

// Bones are sampled a few at a time, their cubic curves evaluated and their
// orientations normalized together, so that the divisions and square roots
// overlap (or share vector instructions), then accumulated together: each
// as if sampled and accumulated alone. A bone takes one contribution per
// binding and entry, so the order among them is free.
constexpr int SampledGroupSize = 32;
// Kept pairs are taken in larger groups: each group's last normalization
// (a long chain) has nothing left to overlap with, and their slots are
// small.
constexpr int SteadyGroupSize = 128;

// A bone sampled by the general path, waiting to be accumulated.
struct sampled_bone {
    int Slot;       // its contribution
    bool Normalize; // its orientation still owes the exact normalization
    bool StripRoot;
    kelvo_bound_transform_track const *Track;
    kelvo_transform Transform;
};

// Kept pairs (the steady case: cubic position and orientation, identity
// scale/shear, no LOD fade) are evaluated and added to their entries
// together by AccumulateCubicPairsSSE (or its AVX build), from Steadies
// and SteadyPairs. The portable path evaluates them into rows laid out as
// a contribution's sums, whose identity scale/shear is filled once.
// Deferred windows of the general path (and the portable path's kept
// pairs) are left straight in Pairs, in the order the evaluation takes
// them.
struct sampled_group {
    int Count; // contributions
    int General;
    int Pending;
    int Steady;
    pose_contribution Contributions[SampledGroupSize];
    sampled_bone Bones[SampledGroupSize];
    kelvo_real32 Rows[SampledGroupSize][16];
    cubic_pair_window Pairs[SampledGroupSize];
    kelvo_real32 *Positions[SampledGroupSize];
    kelvo_real32 *Orientations[SampledGroupSize];
    steady_contribution Steadies[SteadyGroupSize];
    cubic_pair_window SteadyPairs[SteadyGroupSize];
};

constexpr kelvo_uint32 KeptPairFlags = KelvoHasPosition | KelvoHasOrientation;

void AccumulateAnimation(kelvo_model_control_binding &Binding, kelvo_int32 FirstBone,
                         kelvo_int32 BoneCount, kelvo_local_pose *Result, kelvo_real32 AllowedError,
                         kelvo_int32 const *SparseBoneArray) {
    controlled_animation_state const &State = Binding.State.Animation;
    kelvo_real32 W = EffectiveWeight(Binding.Control);
    if (W <= NoWeight) {
        return;
    }
    kelvo_skeleton const *Skeleton = SkeletonOf(Binding);
    kelvo_int32 const Bones = BoundBoneCount(Binding, State.Binding);
    kelvo_sample_context Context;
    GetControlSampleContext(Binding.Control, &Context);
    lod_rule const Rule = MakeLODRule(AllowedError);
    bool const VariableDelta = State.AccumulationMode == KelvoVariableDeltaAccumulation;
    bool const Masked = State.TrackMask || State.ModelMask;
    // Tracks sampled without a fade towards their LOD transform.
    kelvo_real32 const Unfaded = Rule.Allowed > Rule.FadeStart ? Rule.Allowed : Rule.FadeStart;
    kelvo_bound_transform_track const *const Tracks = State.Binding->TrackBindings;
    track_cursor *const Cursors = State.Cursors;
    // The SSE pass has the portable bits only without extended precision.
    bool const Fused = FLT_EVAL_METHOD == 0 && SSEPosesEnabled();
    auto *const AccumulateSteady =
        AVXPosesEnabled() ? AVXCubicPairRoutines.Accumulate : &AccumulateCubicPairsSSE;
    sampled_group Group;
    Group.Count = Group.General = Group.Pending = Group.Steady = 0;
    if (!Fused) {
        for (kelvo_real32 *Row : Group.Rows) {
            memcpy(Row + 7, IdentityTransform.ScaleShear, sizeof(IdentityTransform.ScaleShear));
        }
    }
    auto AccumulateGroup = [&] {
        if (Group.Steady > 0) {
            AccumulateSteady(Result->Transforms, Result->TraversalID, Skeleton->Bones, Group.Steady,
                             Group.SteadyPairs, Group.Steadies, Context.LocalClock);
        }
        if (Group.Count == 0) {
            Group.Steady = 0;
            return;
        }
        if (Group.Pending > 0) {
            EvaluateCubicPairs(Group.Pending, Group.Pairs, Context.LocalClock, Group.Positions,
                               Group.Orientations);
        }
        for (int Index = 0; Index < Group.General; ++Index) {
            sampled_bone &Sampled = Group.Bones[Index];
            if (Sampled.Normalize) {
                ExactNormalize(Sampled.Transform.Orientation);
            }
            FadeUnderLOD(Rule, *Sampled.Track, &Sampled.Transform);
            if (Sampled.StripRoot) {
                StripRootMotion(&Sampled.Transform);
            }
            Group.Contributions[Sampled.Slot].Flags = Sampled.Transform.Flags;
        }
        AccumulateContributions(Result, Skeleton->Bones, Group.Count, Group.Contributions);
        Group.Count = Group.General = Group.Pending = Group.Steady = 0;
    };
    kelvo_int32 const End =
        FirstBone + BoneCount < Result->BoneCount ? FirstBone + BoneCount : Result->BoneCount;
    for (kelvo_int32 Entry = FirstBone < 0 ? 0 : FirstBone; Entry < End; ++Entry) {
        kelvo_int32 Bone = SparseBoneArray ? SparseBoneArray[Entry] : Entry;
        if (Bone < 0 || Bone >= Bones) {
            continue;
        }
        kelvo_bound_transform_track const &Track = Tracks[Bone];
        if (!Track.SourceTrack) {
            continue;
        }
        // Without masks the weight is W itself (W x 1 x 1), above NoWeight.
        kelvo_real32 BoneWeight = W;
        if (Masked) {
            BoneWeight = W * MaskWeight(State.TrackMask, Track.SourceTrackIndex) *
                         MaskWeight(State.ModelMask, Bone);
            if (BoneWeight <= NoWeight) {
                continue;
            }
        }
        if (Track.QuaternionMode > 3) {
            // Only a caller's binding can have one: reported there.
            kelvo_transform Local;
            SampleUnderLOD(Rule, Context, Track, &Local);
            KelvoAccumulateLocalTransform(Result, Entry, Bone, BoneWeight, Skeleton,
                                          Track.QuaternionMode, &Local);
            continue;
        }
        bool const Steady = Track.LODError > Unfaded && !(VariableDelta && Bone == 0);
        kelvo_transform Unused; // SampleKeptPair's flags and scale/shear are implied
        if (Fused && Steady &&
            SampleKeptPair(Context, Track.SourceTrack, Track, &Unused, Cursors[Bone],
                           Group.SteadyPairs + Group.Steady)) {
            steady_contribution &Contribution = Group.Steadies[Group.Steady++];
            Contribution.Entry = Entry;
            Contribution.Bone = Bone;
            Contribution.Weight = BoneWeight;
            Contribution.QuaternionMode = Track.QuaternionMode;
        } else {
            int const Slot = Group.Count++;
            pose_contribution &Contribution = Group.Contributions[Slot];
            Contribution.Entry = Entry;
            Contribution.Bone = Bone;
            Contribution.Weight = BoneWeight;
            Contribution.QuaternionMode = Track.QuaternionMode;
            cubic_pair_window &Deferred = Group.Pairs[Group.Pending];
            if (!Fused && Steady &&
                SampleKeptPair(Context, Track.SourceTrack, Track, &Unused, Cursors[Bone],
                               &Deferred)) {
                kelvo_real32 *Row = Group.Rows[Slot];
                Contribution.Flags = KeptPairFlags;
                Contribution.Sums = Row;
                Group.Positions[Group.Pending] = Row;
                Group.Orientations[Group.Pending++] = Row + 3;
            } else {
                sampled_bone &Sampled = Group.Bones[Group.General++];
                Sampled.Slot = Slot;
                Sampled.Track = &Track;
                Sampled.StripRoot = VariableDelta && Bone == 0;
                Contribution.Sums = Sampled.Transform.Position;
                Deferred.Knots = nullptr;
                // A steady track got past the LOD rule and the kept pair already.
                Sampled.Normalize =
                    Steady ? SampleTrackLocalDeferred(&Context, Track.SourceTrack, &Track,
                                                      &Sampled.Transform, Cursors + Bone, &Deferred)
                           : SampleUnderLODDeferred(Rule, Context, Track, &Sampled.Transform,
                                                    Cursors + Bone, &Deferred);
                if (Deferred.Knots) {
                    Group.Positions[Group.Pending] = Sampled.Transform.Position;
                    Group.Orientations[Group.Pending++] = Sampled.Transform.Orientation;
                    Sampled.Normalize = false;
                }
            }
        }
        if (Group.Count == SampledGroupSize || Group.Steady == SteadyGroupSize) {
            AccumulateGroup();
        }
    }
    AccumulateGroup();
}

// Bones built directly are taken a group at a time: the group's kept pairs
// are evaluated together (as AccumulateAnimation does), then every bone is
// composed in order, so that parents still precede their children.
constexpr int DirectGroupSize = 16;

void BuildAnimationDirect(kelvo_model_control_binding &Binding, kelvo_int32 BoneCount,
                          kelvo_real32 const *Offset4x4, kelvo_world_pose *Result,
                          kelvo_real32 AllowedError) {
    KELVO_TIMED_BLOCK("AnimationBuildDirect");
    controlled_animation_state const &State = Binding.State.Animation;
    kelvo_skeleton const *Skeleton = SkeletonOf(Binding);
    kelvo_int32 Bones = BoundBoneCount(Binding, State.Binding);
    Bones = BoneCount < Bones ? BoneCount : Bones;
    Bones = Result->BoneCount < Bones ? Result->BoneCount : Bones;
    kelvo_sample_context Context;
    GetControlSampleContext(Binding.Control, &Context);
    lod_rule const Rule = MakeLODRule(AllowedError);
    bool const VariableDelta = State.AccumulationMode == KelvoVariableDeltaAccumulation;
    kelvo_track_sampler *const Compose = KelvoGetTrackSamplerSSS();
    kelvo_bound_transform_track const *const Tracks = State.Binding->TrackBindings;
    auto Masked = [&](kelvo_bound_transform_track const &Track, kelvo_int32 Bone) {
        return MaskWeight(State.TrackMask, Track.SourceTrackIndex) < NoWeight ||
               MaskWeight(State.ModelMask, Bone) < NoWeight;
    };
    // Kept: the bone's local position and orientation, sampled already.
    // Without Composites the composite is left to the caller.
    auto Build = [&](kelvo_int32 Bone, kelvo_real32 const *Kept, bool Composites) {
        kelvo_bone const &SkeletonBone = Skeleton->Bones[Bone];
        kelvo_real32 const *ParentWorld = ParentWorldOf(SkeletonBone, Bone, Result, Offset4x4);
        kelvo_real32 *World = Result->WorldTransformBuffer + 16 * Bone;
        kelvo_real32 *Composite = Composites && Result->CompositeTransformBuffer
                                      ? Result->CompositeTransformBuffer + 16 * Bone
                                      : nullptr;
        kelvo_real32 const *Offset = SkeletonBone.InverseWorldTransform;
        kelvo_bound_transform_track const &Track = Tracks[Bone];
        kelvo_transform Local;
        if (Kept) {
            ComposeRigidWorld(Kept, Kept + 3, Offset, ParentWorld, World, Composite);
        } else if (!Track.SourceTrack || Masked(Track, Bone)) {
            Local = SkeletonBone.Transform;
            Compose(&Context, nullptr, &Track, &Local, Offset, ParentWorld, World, Composite);
        } else if (VariableDelta && Bone == 0) {
            KelvoGetTrackSamplerIIU()(&Context, Track.SourceTrack, &Track, &Local, Offset,
                                      ParentWorld, World, Composite);
        } else if (Track.LODError <= Rule.Allowed) {
            SampleUnderLOD(Rule, Context, Track, &Local);
            Compose(&Context, nullptr, &Track, &Local, Offset, ParentWorld, World, Composite);
        } else {
            Track.Sampler(&Context, Track.SourceTrack, &Track, &Local, Offset, ParentWorld, World,
                          Composite);
        }
    };
#if FLT_EVAL_METHOD == 0
    // Tracks the pair sampler would build (animated position and
    // orientation, identity scale/shear) are sampled through their cursors
    // instead, which gives the same local bits.
    kelvo_track_sampler *const PairSampler = AnimatedPairSampler();
    track_cursor *const Cursors = State.Cursors;
    // Position then orientation, for each bone of the group.
    kelvo_real32 Locals[DirectGroupSize][7];
    bool Sampled[DirectGroupSize];
    cubic_pair_window Pairs[DirectGroupSize];
    kelvo_real32 *Positions[DirectGroupSize];
    kelvo_real32 *Orientations[DirectGroupSize];
    for (kelvo_int32 First = 0; First < Bones; First += DirectGroupSize) {
        int const Count = Bones - First < DirectGroupSize ? Bones - First : DirectGroupSize;
        int Pending = 0;
        for (int Index = 0; Index < Count; ++Index) {
            kelvo_int32 const Bone = First + Index;
            kelvo_bound_transform_track const &Track = Tracks[Bone];
            Sampled[Index] = Track.Sampler == PairSampler && HasPairClasses(Track.Flags) &&
                             Track.SourceTrack && Track.LODError > Rule.Allowed &&
                             !(VariableDelta && Bone == 0) && !Masked(Track, Bone);
            if (!Sampled[Index]) {
                continue;
            }
            kelvo_real32 *Local = Locals[Index];
            kelvo_transform Transform;
            cubic_pair_window &Deferred = Pairs[Pending];
            bool Owed = SampleKeptPair(Context, Track.SourceTrack, Track, &Transform, Cursors[Bone],
                                       &Deferred);
            if (!Owed) {
                Deferred.Knots = nullptr;
                Owed = SampleTrackLocalDeferred(&Context, Track.SourceTrack, &Track, &Transform,
                                                Cursors + Bone, &Deferred);
            }
            if (Deferred.Knots) {
                Positions[Pending] = Local;
                Orientations[Pending++] = Local + 3;
                continue;
            }
            if (Owed) {
                ExactNormalize(Transform.Orientation);
            }
            memcpy(Local, Transform.Position, 3 * sizeof(kelvo_real32));
            memcpy(Local + 3, Transform.Orientation, 4 * sizeof(kelvo_real32));
        }
        if (Pending > 0) {
            EvaluateCubicPairs(Pending, Pairs, Context.LocalClock, Positions, Orientations);
        }
        for (int Index = 0; Index < Count; ++Index) {
            Build(First + Index, Sampled[Index] ? Locals[Index] : nullptr, false);
        }
    }
    // Every route's composite is offset x world, which the pose routines
    // give with the same bits, four columns at a time on SSE.
    if (Result->CompositeTransformBuffer && Bones > 0) {
        static_assert(sizeof(kelvo_bone) % sizeof(kelvo_real32) == 0, "bones are whole reals");
        PoseRoutines().MultiplyMatrices(Bones, Skeleton->Bones[0].InverseWorldTransform,
                                        (kelvo_int32)(sizeof(kelvo_bone) / sizeof(kelvo_real32)),
                                        Result->WorldTransformBuffer, 16,
                                        Result->CompositeTransformBuffer, 16);
    }
#else
    // Kept pairs need the exact rounding of each step.
    for (kelvo_int32 Bone = 0; Bone < Bones; ++Bone) {
        Build(Bone, nullptr, true);
    }
#endif
}

// The rotation vector of a unit quaternion, the short way round.
void RotationVectorOf(kelvo_real32 const *Q, kelvo_real32 *Result) {
    kelvo_real32 Sign = Q[3] < 0.0f ? -1.0f : 1.0f;
    kelvo_real32 Length = Length3(Q);
    if (Length == 0.0f) {
        Result[0] = Result[1] = Result[2] = 0.0f;
        return;
    }
    kelvo_real32 Angle = 2.0f * atan2f(Length, Sign * Q[3]);
    for (int Axis = 0; Axis < 3; ++Axis) {
        Result[Axis] = Sign * Q[Axis] / Length * Angle;
    }
}

void RotateByQuaternion(kelvo_real32 *Vector, kelvo_real32 const *Q) {
    kelvo_real32 R[9];
    MatrixFromQuaternion(R, Q);
    VectorTransform3x3(Vector, R, Vector);
}

// The root track's translation and rotation from Start to End, both inside
// [0, Duration], as seen in the parent's frame.
void RootDeltaWithinLoop(kelvo_sample_context const &Context, kelvo_transform_track const *Root,
                         kelvo_bound_transform_track const &Bound, kelvo_real32 Start,
                         kelvo_real32 End, kelvo_real32 *Translation, kelvo_real32 *Rotation,
                         kelvo_real32 *StartOrientation) {
    kelvo_sample_context At = Context;
    kelvo_real32 P0[3], P1[3], Q1[4];
    At.LocalClock = Start;
    KelvoSampleTrackPOLocal(&At, Root, &Bound, P0, StartOrientation);
    At.LocalClock = End;
    KelvoSampleTrackPOLocal(&At, Root, &Bound, P1, Q1);
    kelvo_real32 Difference[4];
    kelvo_real32 const Inverse[4] = {-StartOrientation[0], -StartOrientation[1],
                                     -StartOrientation[2], StartOrientation[3]};
    QuaternionMultiply(Difference, Q1, Inverse);
    RotationVectorOf(Difference, Rotation);
    for (int Axis = 0; Axis < 3; ++Axis) {
        Translation[Axis] = P1[Axis] - P0[Axis];
    }
}

void AccumulateVariableDelta(kelvo_control *Control, kelvo_transform_track const *Root,
                             kelvo_real32 Start, kelvo_real32 End, kelvo_real32 *Translation,
                             kelvo_real32 *Rotation) {
    kelvo_bound_transform_track Bound = {};
    Bound.SourceTrack = Root;
    Bound.Flags = KelvoGetTransformTrackClassFlags(Root);
    KelvoGetTransformTrackInitialTransform(Root, &Bound.LODTransform);
    kelvo_real32 const D = Control->LocalDuration;
    kelvo_sample_context Context = {0.0f, D, 0, 0, 0};
    kelvo_real32 M = floorf(Start / D), N = floorf(End / D);
    kelvo_real32 StartOrientation[4], Ignored[4];
    RootDeltaWithinLoop(Context, Root, Bound, Start - M * D, End - N * D, Translation, Rotation,
                        StartOrientation);
    if (M != N) {
        kelvo_real32 LoopTranslation[3], LoopRotation[3];
        RootDeltaWithinLoop(Context, Root, Bound, 0.0f, D, LoopTranslation, LoopRotation, Ignored);
        for (int Axis = 0; Axis < 3; ++Axis) {
            Translation[Axis] += (N - M) * LoopTranslation[Axis];
            Rotation[Axis] += (N - M) * LoopRotation[Axis];
        }
    }
    // Into the root's frame at the start, re-expressed in its frame at knot 0.
    if ((Bound.Flags >> KELVO_BOUND_ORIENTATION_SHIFT & 3) != KelvoBoundCurveIdentity) {
        kelvo_real32 Frame[4];
        kelvo_real32 const Inverse[4] = {-StartOrientation[0], -StartOrientation[1],
                                         -StartOrientation[2], StartOrientation[3]};
        QuaternionMultiply(Frame, Bound.LODTransform.Orientation, Inverse);
        RotateByQuaternion(Translation, Frame);
        RotateByQuaternion(Rotation, Frame);
    }
}

void AccumulateAnimationLoop(kelvo_model_control_binding &Binding, kelvo_real32 SecondsElapsed,
                             kelvo_real32 &TotalWeight, kelvo_real32 *Translation,
                             kelvo_real32 *Rotation, bool Inverse) {
    controlled_animation_state const &State = Binding.State.Animation;
    kelvo_control *Control = Binding.Control;
    kelvo_real32 W = EffectiveWeight(Control);
    kelvo_track_group const *Group =
        State.Binding->ID.Animation->TrackGroups[State.Binding->ID.SourceTrackGroupIndex];
    kelvo_real32 const D = Control->LocalDuration;
    if (State.AccumulationMode == KelvoNoAccumulation || W <= NoWeight || !Group->RootMotion ||
        !(D > 0.00001f)) {
        return;
    }
    kelvo_real32 End = KelvoGetControlRawLocalClock(Control);
    kelvo_real32 Start = End - Control->Speed * SecondsElapsed;
    if (Start > End) {
        kelvo_real32 Swap = Start;
        Start = End;
        End = Swap;
        Inverse = !Inverse;
    }
    kelvo_bool32 Underflow, Overflow;
    KelvoGetControlLoopState(Control, &Underflow, &Overflow);
    if (!Underflow) {
        if (End < 0.0f) {
            return;
        }
        Start = Start < 0.0f ? 0.0f : Start;
    }
    if (!Overflow) {
        if (Start > D) {
            return;
        }
        End = End > D ? D : End;
    }
    kelvo_real32 DeltaT[3] = {0, 0, 0}, DeltaR[3] = {0, 0, 0};
    kelvo_real32 const Delta = End - Start;
    if (State.AccumulationMode == KelvoConstantExtractionAccumulation) {
        if (kelvo_periodic_loop const *Loop = Group->PeriodicLoop) {
            kelvo_real32 const A = Loop->dAngle * Delta;
            for (int Axis = 0; Axis < 3; ++Axis) {
                DeltaT[Axis] = Loop->dZ * Delta * Loop->Axis[Axis] +
                               (cosf(A) - 1.0f) * Loop->Radius * Loop->BasisX[Axis] +
                               sinf(A) * Loop->Radius * Loop->BasisY[Axis];
                DeltaR[Axis] = A * Loop->Axis[Axis];
            }
        } else {
            for (int Axis = 0; Axis < 3; ++Axis) {
                DeltaT[Axis] = Delta / D * Group->LoopTranslation[Axis];
            }
        }
    } else {
        AccumulateVariableDelta(Control, Group->RootMotion, Start, End, DeltaT, DeltaR);
    }
    kelvo_real32 const Scale = Inverse ? -W : W;
    for (int Axis = 0; Axis < 3; ++Axis) {
        Translation[Axis] += Scale * DeltaT[Axis];
        Rotation[Axis] += Scale * DeltaR[Axis];
    }
    TotalWeight += W;
}

void CleanupAnimation(kelvo_model_control_binding &Binding) {
    KelvoReleaseAnimationBinding(Binding.State.Animation.Binding);
    Binding.State.Animation.Binding = nullptr;
    if (Binding.State.Animation.Cursors) {
        KELVO_DEALLOCATE(Binding.State.Animation.Cursors);
        Binding.State.Animation.Cursors = nullptr;
    }
}

// ---- the controlled-pose kind ----------------------------------------------------------------

kelvo_animation_binding *NoAnimation(kelvo_model_control_binding const &) {
    return nullptr;
}

kelvo_local_pose const *PoseOf(kelvo_model_control_binding const &Binding) {
    return Binding.State.Pose.Pose;
}

void AccumulatePose(kelvo_model_control_binding &Binding, kelvo_int32 FirstBone,
                    kelvo_int32 BoneCount, kelvo_local_pose *Result, kelvo_real32,
                    kelvo_int32 const *SparseBoneArray) {
    controlled_pose_state const &State = Binding.State.Pose;
    kelvo_real32 W = EffectiveWeight(Binding.Control);
    if (W <= NoWeight) {
        return;
    }
    kelvo_skeleton const *Skeleton = SkeletonOf(Binding);
    kelvo_int32 const End =
        FirstBone + BoneCount < Result->BoneCount ? FirstBone + BoneCount : Result->BoneCount;
    for (kelvo_int32 Entry = FirstBone < 0 ? 0 : FirstBone; Entry < End; ++Entry) {
        kelvo_int32 Bone = SparseBoneArray ? SparseBoneArray[Entry] : Entry;
        if (Bone < 0 || Bone >= State.Pose->BoneCount || Bone >= Skeleton->BoneCount) {
            continue;
        }
        kelvo_real32 BoneWeight = W * MaskWeight(State.TrackMask, Bone);
        if (BoneWeight > NoWeight) {
            KelvoAccumulateLocalTransform(Result, Entry, Bone, BoneWeight, Skeleton, 2,
                                          &State.Pose->Transforms[Bone].Transform);
        }
    }
}

void BuildPoseDirect(kelvo_model_control_binding &Binding, kelvo_int32 BoneCount,
                     kelvo_real32 const *Offset4x4, kelvo_world_pose *Result, kelvo_real32) {
    KELVO_TIMED_BLOCK("AnimationBuildDirect");
    controlled_pose_state const &State = Binding.State.Pose;
    kelvo_skeleton const *Skeleton = SkeletonOf(Binding);
    kelvo_int32 Bones = Skeleton->BoneCount < BoneCount ? Skeleton->BoneCount : BoneCount;
    Bones = Result->BoneCount < Bones ? Result->BoneCount : Bones;
    kelvo_track_sampler *const Compose = KelvoGetTrackSamplerSSS();
    kelvo_bound_transform_track const None = {};
    for (kelvo_int32 Bone = 0; Bone < Bones; ++Bone) {
        kelvo_bone const &SkeletonBone = Skeleton->Bones[Bone];
        kelvo_real32 const *ParentWorld = ParentWorldOf(SkeletonBone, Bone, Result, Offset4x4);
        bool Posed = Bone < State.Pose->BoneCount && MaskWeight(State.TrackMask, Bone) >= NoWeight;
        kelvo_transform Local =
            Posed ? State.Pose->Transforms[Bone].Transform : SkeletonBone.Transform;
        Compose(nullptr, nullptr, &None, &Local, SkeletonBone.InverseWorldTransform, ParentWorld,
                Result->WorldTransformBuffer + 16 * Bone,
                Result->CompositeTransformBuffer ? Result->CompositeTransformBuffer + 16 * Bone
                                                 : nullptr);
    }
}

void NoLoopTransform(kelvo_model_control_binding &, kelvo_real32, kelvo_real32 &, kelvo_real32 *,
                     kelvo_real32 *, bool) {}

void NoCleanup(kelvo_model_control_binding &) {}

kelvo_model_control_binding_operations const ControlledPoseOperations = {
    NoAnimation, PoseOf, AccumulatePose, BuildPoseDirect, NoLoopTransform, NoCleanup,
};

kelvo_control *ControlFor(kelvo_controlled_animation_builder *Builder) {
    if (Builder->Control) {
        kelvo_control *Control = Builder->Control;
        if (!(Control->LocalDuration >= 0.0f &&
              Control->LocalDuration <= Builder->Animation->Duration)) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Control->LocalDuration %f is out of range [%f, %f]", KELVO_HERE,
                (double)Control->LocalDuration, 0.0, (double)Builder->Animation->Duration);
            return nullptr;
        }
        return Control;
    }
    return KelvoCreateControl(Builder->CurrentClock, Builder->Animation->Duration);
}

bool BindEntry(kelvo_control *Control, track_group_entry &Entry) {
    kelvo_animation_binding *Bound = Entry.Binding ? KelvoAcquireAnimationBinding(Entry.Binding)
                                                   : KelvoAcquireAnimationBindingFromID(&Entry.ID);
    // The cursors (a cache line each), then the rest of those that use one,
    // then the general seam windows of those rests that use them.
    kelvo_int32 RestCount = 0, SeamsCount = 0;
    for (kelvo_int32 Track = 0; Bound && Track < Bound->TrackBindingCount; ++Track) {
        kelvo_bound_transform_track const &BoundTrack = Bound->TrackBindings[Track];
        if (TrackUsesCursorRest(BoundTrack.SourceTrack, BoundTrack.Flags)) {
            ++RestCount;
            SeamsCount += TrackUsesGeneralSeams(BoundTrack.SourceTrack) ? 1 : 0;
        }
    }
    kelvo_int64 CursorBytes =
        Bound ? (kelvo_int64)Bound->TrackBindingCount * (kelvo_int64)sizeof(track_cursor) +
                    (kelvo_int64)RestCount * (kelvo_int64)sizeof(track_cursor_rest) +
                    (kelvo_int64)SeamsCount * (kelvo_int64)(2 * sizeof(seam_window)) + 4
              : 0;
    track_cursor *Cursors = Bound && CursorBytes <= INT32_MAX
                                ? static_cast<track_cursor *>(KELVO_ALLOCATE_ALIGNED(
                                      alignof(track_cursor), (kelvo_int32)CursorBytes))
                                : nullptr;
    kelvo_model_control_binding *Binding =
        Cursors ? BindControl(Control, Entry.Target, &ControlledAnimationOperations) : nullptr;
    if (!Binding) {
        if (Cursors) {
            KELVO_DEALLOCATE(Cursors);
        }
        KelvoReleaseAnimationBinding(Bound);
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to bind track group", KELVO_HERE);
        return false;
    }
    // Any start is right (the first search from knot 0 walks or halves), and
    // no pair or seam window is kept yet.
    track_cursor_rest *Rest =
        reinterpret_cast<track_cursor_rest *>(Cursors + Bound->TrackBindingCount);
    seam_window *Seams = reinterpret_cast<seam_window *>(Rest + RestCount);
    for (kelvo_int32 Track = 0; Track < Bound->TrackBindingCount; ++Track) {
        kelvo_bound_transform_track const &BoundTrack = Bound->TrackBindings[Track];
        Cursors[Track] = {};
        if (TrackUsesCursorRest(BoundTrack.SourceTrack, BoundTrack.Flags)) {
            *Rest = {};
            if (TrackUsesGeneralSeams(BoundTrack.SourceTrack)) {
                Seams[0] = Seams[1] = {};
                Rest->Seams = Seams;
                Seams += 2;
            }
            Cursors[Track].Pair.Seams = &Rest++->PairSeams;
        }
    }
    Binding->State.Animation = {Bound, Entry.AccumulationMode, Entry.TrackMask, Entry.ModelMask,
                                Cursors};
    if (Entry.LODCopyScaler >= 0.0f) {
        KelvoCopyLODErrorValuesFromAnimation(Bound, Entry.LODCopyScaler);
    }
    return true;
}

} // namespace

namespace kelvo {

kelvo_model_control_binding_operations const ControlledAnimationOperations = {
    AnimationOf,      NoPose, AccumulateAnimation, BuildAnimationDirect, AccumulateAnimationLoop,
    CleanupAnimation,
};

lod_rule MakeLODRule(kelvo_real32 AllowedError) {
    lod_rule Rule = {AllowedError, 0.0f, 0.0f};
    if (AllowedError > 0.0f) {
        Rule.FadeStart = AllowedError * KelvoGetGlobalLODFadingFactor();
        Rule.FadeScale = 1.0f / (AllowedError - Rule.FadeStart);
    }
    return Rule;
}

} // namespace kelvo

// ---- the builder --------------------------------------------------------------------------------

KELVO_API kelvo_controlled_animation_builder *
KelvoBeginControlledAnimation(kelvo_real32 CurrentClock, kelvo_animation const *Animation) {
    KELVO_TIMED_BLOCK("BeginControlledAnimation");
    KELVO_CHECK_NOT_NULL(Animation, Origin, nullptr);
    kelvo_int32 Count =
        Animation->TrackGroupCount > 0 && Animation->TrackGroups ? Animation->TrackGroupCount : 0;
    kelvo_controlled_animation_builder *Builder;
    track_group_entry *Entries;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Builder, sizeof(*Builder));
    AggrAllocPtr(Aggr, &Entries, (kelvo_int64)Count * sizeof(track_group_entry));
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    *Builder = {nullptr, CurrentClock, Animation, Count, Entries};
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        track_group_entry &Entry = Entries[Index];
        Entry = {};
        KelvoMakeDefaultAnimationBindingID(&Entry.ID, Animation, Index);
        Entry.AccumulationMode = DefaultAccumulation(Animation->TrackGroups[Index]);
        Entry.LODCopyScaler = -1.0f;
    }
    return Builder;
}

KELVO_API void KelvoUseExistingControlForAnimation(kelvo_controlled_animation_builder *Builder,
                                                   kelvo_control *Control) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    Builder->Control = Control;
}

KELVO_API void KelvoSetTrackMatchRule(kelvo_controlled_animation_builder *Builder,
                                      kelvo_int32 TrackGroupIndex, char const *TrackPattern,
                                      char const *BonePattern) {
    if (track_group_entry *Entry = EntryAt(Builder, TrackGroupIndex)) {
        Entry->ID.TrackPattern = TrackPattern;
        Entry->ID.BonePattern = BonePattern;
    }
}

KELVO_API void KelvoSetTrackGroupTarget(kelvo_controlled_animation_builder *Builder,
                                        kelvo_int32 TrackGroupIndex,
                                        kelvo_model_instance *ModelInstance) {
    if (track_group_entry *Entry = EntryAt(Builder, TrackGroupIndex)) {
        Entry->Target = ModelInstance;
        Entry->ID.OnModel = ModelInstance ? ModelInstance->Model : nullptr;
    }
}

KELVO_API void KelvoSetTrackGroupBinding(kelvo_controlled_animation_builder *Builder,
                                         kelvo_int32 TrackGroupIndex,
                                         kelvo_animation_binding *Binding) {
    if (track_group_entry *Entry = EntryAt(Builder, TrackGroupIndex)) {
        Entry->Binding = Binding;
    }
}

KELVO_API void KelvoSetTrackGroupBasisTransform(kelvo_controlled_animation_builder *Builder,
                                                kelvo_int32 TrackGroupIndex,
                                                kelvo_model const *FromModel,
                                                kelvo_model const *ToModel) {
    if (track_group_entry *Entry = EntryAt(Builder, TrackGroupIndex)) {
        Entry->ID.FromBasis = FromModel;
        Entry->ID.ToBasis = ToModel;
    }
}

KELVO_API void KelvoSetTrackGroupTrackMask(kelvo_controlled_animation_builder *Builder,
                                           kelvo_int32 TrackGroupIndex, kelvo_track_mask *Mask) {
    if (track_group_entry *Entry = EntryAt(Builder, TrackGroupIndex)) {
        Entry->TrackMask = Mask;
    }
}

KELVO_API void KelvoSetTrackGroupModelMask(kelvo_controlled_animation_builder *Builder,
                                           kelvo_int32 TrackGroupIndex, kelvo_track_mask *Mask) {
    if (track_group_entry *Entry = EntryAt(Builder, TrackGroupIndex)) {
        Entry->ModelMask = Mask;
    }
}

KELVO_API void KelvoSetTrackGroupAccumulation(kelvo_controlled_animation_builder *Builder,
                                              kelvo_int32 TrackGroupIndex,
                                              kelvo_accumulation_mode Mode) {
    if (track_group_entry *Entry = EntryAt(Builder, TrackGroupIndex)) {
        Entry->AccumulationMode = Mode;
    }
}

KELVO_API void KelvoSetTrackGroupLOD(kelvo_controlled_animation_builder *Builder,
                                     kelvo_int32 TrackGroupIndex, kelvo_bool32 CopyFromAnimation,
                                     kelvo_real32 Scale) {
    if (track_group_entry *Entry = EntryAt(Builder, TrackGroupIndex)) {
        Entry->LODCopyScaler = CopyFromAnimation ? Scale : -1.0f;
    }
}

KELVO_API kelvo_control *KelvoEndControlledAnimation(kelvo_controlled_animation_builder *Builder) {
    KELVO_TIMED_BLOCK("EndControlledAnimation");
    KELVO_CHECK_NOT_NULL(Builder, Origin, nullptr);
    // A refused builder is freed too: the caller has no other way to free it.
    kelvo_control *Control = ControlFor(Builder);
    if (!Control) {
        if (!Builder->Control) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to create control", KELVO_HERE);
        }
        KELVO_DEALLOCATE(Builder);
        return nullptr;
    }
    for (kelvo_int32 Index = 0; Index < Builder->TrackGroupCount; ++Index) {
        if (Builder->Entries[Index].Target) {
            BindEntry(Control, Builder->Entries[Index]);
        }
    }
    KELVO_DEALLOCATE(Builder);
    return Control;
}

KELVO_API kelvo_bool32 KelvoFindTrackGroupForModel(kelvo_animation const *Animation,
                                                   kelvo_model const *Model,
                                                   kelvo_int32 *TrackGroupIndex) {
    if (TrackGroupIndex) {
        *TrackGroupIndex = -1;
    }
    if (!Animation || !Model || !Model->Name || !Animation->TrackGroups) {
        return 0;
    }
    for (kelvo_int32 Index = 0; Index < Animation->TrackGroupCount; ++Index) {
        kelvo_track_group const *Group = Animation->TrackGroups[Index];
        if (Group && Group->Name && NamesAreEqual(Group->Name, Model->Name)) {
            if (TrackGroupIndex) {
                *TrackGroupIndex = Index;
            }
            return 1;
        }
    }
    return 0;
}

KELVO_API kelvo_control *KelvoPlayControlledAnimationBinding(kelvo_real32 CurrentClock,
                                                             kelvo_animation const *Animation,
                                                             kelvo_animation_binding *Binding,
                                                             kelvo_model_instance *ModelInstance) {
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, nullptr);
    kelvo_int32 Index;
    if (!KelvoFindTrackGroupForModel(Animation, ModelInstance->Model, &Index)) {
        return nullptr;
    }
    kelvo_controlled_animation_builder *Builder =
        KelvoBeginControlledAnimation(CurrentClock, Animation);
    if (!Builder) {
        return nullptr;
    }
    KelvoSetTrackGroupTarget(Builder, Index, ModelInstance);
    if (Binding) {
        KelvoSetTrackGroupBinding(Builder, Index, Binding);
    }
    KelvoSetTrackGroupLOD(Builder, Index, 1, 1.0f);
    return KelvoEndControlledAnimation(Builder);
}

KELVO_API kelvo_control *KelvoPlayControlledAnimation(kelvo_real32 CurrentClock,
                                                      kelvo_animation const *Animation,
                                                      kelvo_model_instance *ModelInstance) {
    return KelvoPlayControlledAnimationBinding(CurrentClock, Animation, nullptr, ModelInstance);
}

KELVO_API kelvo_animation_binding *
KelvoGetAnimationBindingFromControlBinding(kelvo_model_control_binding const *Binding) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, nullptr);
    return Binding->Operations->GetControlledAnimation(*Binding);
}

KELVO_API kelvo_control *KelvoPlayControlledPose(kelvo_real32 CurrentClock, kelvo_real32 Duration,
                                                 kelvo_local_pose const *LocalPose,
                                                 kelvo_model_instance *ModelInstance,
                                                 kelvo_track_mask const *TrackMask) {
    KELVO_CHECK_NOT_NULL(LocalPose, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(ModelInstance, Origin, nullptr);
    kelvo_control *Control = KelvoCreateControl(CurrentClock, Duration);
    if (!Control) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to create control", KELVO_HERE);
        return nullptr;
    }
    kelvo_model_control_binding *Binding =
        BindControl(Control, ModelInstance, &ControlledPoseOperations);
    if (!Binding) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to bind track group", KELVO_HERE);
        KelvoFreeControl(Control);
        return nullptr;
    }
    Binding->State.Pose = {LocalPose, TrackMask};
    return Control;
}

KELVO_API kelvo_local_pose const *
KelvoGetLocalPoseFromControlBinding(kelvo_model_control_binding const *Binding) {
    KELVO_CHECK_NOT_NULL(Binding, Origin, nullptr);
    return Binding->Operations->GetControlledPose(*Binding);
}
