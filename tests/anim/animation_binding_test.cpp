#include "anim/track_test_support.h"
#include "kelvo_test.h"

#include <cstring>

namespace {

class AnimationBindingTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        KelvoGetAnimationBindingCacheStatus(&Start);
    }
    void TearDown() override {
        KelvoSetMaximumAnimationBindingCount(0);
        KelvoFlushAllUnusedAnimationBindings();
        KelvoSetStringComparisonCallback(nullptr);
        KelvoTest::TearDown();
    }
    // The counters since the test began.
    kelvo_animation_binding_cache_status Since() const {
        kelvo_animation_binding_cache_status Now;
        KelvoGetAnimationBindingCacheStatus(&Now);
        kelvo_int32 *N = &Now.BindingsCreated;
        kelvo_int32 const *S = &Start.BindingsCreated;
        for (int Index = 0; Index < 12; ++Index) {
            if (Index != 5 && Index != 6) { // the current counts stay absolute
                N[Index] -= S[Index];
            }
        }
        return Now;
    }
    kelvo_animation_binding_cache_status Start;
};

struct test_model {
    std::vector<std::string> Names;
    std::vector<kelvo_bone> Bones;
    kelvo_skeleton Skeleton = {};
    kelvo_model Model = {};

    // A chain: each bone's parent is the one before it.
    test_model(std::vector<std::string> BoneNames, std::vector<kelvo_transform> Rest = {})
        : Names(std::move(BoneNames)) {
        for (size_t Index = 0; Index < Names.size(); ++Index) {
            kelvo_bone Bone = {};
            Bone.ParentIndex = (kelvo_int32)Index - 1;
            KelvoMakeIdentity(&Bone.Transform);
            if (Index < Rest.size()) {
                Bone.Transform = Rest[Index];
            }
            Bones.push_back(Bone);
        }
        for (size_t Index = 0; Index < Names.size(); ++Index) {
            Bones[Index].Name = Names[Index].c_str();
        }
        Skeleton = {"skeleton", (kelvo_int32)Bones.size(), Bones.data(), 0};
        Model.Name = "model";
        Model.Skeleton = &Skeleton;
        KelvoMakeIdentity(&Model.InitialPlacement);
    }
};

struct test_animation {
    std::vector<std::unique_ptr<test_track>> Owned;
    std::vector<kelvo_transform_track> Tracks;
    std::vector<float> Errors;
    kelvo_track_group Group = {};
    kelvo_track_group_slot Slot;
    kelvo_animation Animation = {};

    explicit test_animation(std::vector<test_track *> TrackList, char const *Name = "walk") {
        for (test_track *Track : TrackList) {
            Owned.emplace_back(Track);
            Tracks.push_back(Track->Track);
        }
        Errors.assign(Tracks.size(), 0.0f);
        Group.Name = "group";
        Group.TransformTrackCount = (kelvo_int32)Tracks.size();
        Group.TransformTracks = Tracks.data();
        Group.TransformLODErrorCount = (kelvo_int32)Errors.size();
        Group.TransformLODErrors = Errors.data();
        Slot = &Group;
        Animation = {Name, 1.0f, 1.0f / 30, 1.0f, 1, &Slot};
    }
};

test_track *Moving(std::string Name) {
    return new test_track(
        std::move(Name), BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 3, {0, 1}, {0, 0, 0, 1, 2, 3}),
        IdentityCurve(4), IdentityCurve(9));
}

test_track *Still(std::string Name) {
    return new test_track(std::move(Name),
                          BuildCurve(KelvoCurveDataD3Constant32fType, 0, 3, {}, {1, 2, 3}),
                          IdentityCurve(4), IdentityCurve(9));
}

kelvo_animation_binding_identifier IDFor(test_animation const &Animation, test_model const &Model) {
    kelvo_animation_binding_identifier ID;
    KelvoMakeDefaultAnimationBindingID(&ID, &Animation.Animation, 0);
    ID.OnModel = &Model.Model;
    return ID;
}

TEST_F(AnimationBindingTest, BoundTracksDescribeTheirTracks) {
    std::vector<float> Flip = Turn(0.2f), Back = Turn(6.0f); // opposite hemispheres
    Flip.insert(Flip.end(), Back.begin(), Back.end());
    test_animation Animation(
        {Moving("hip"), Still("spine"),
         new test_track("head", IdentityCurve(3),
                        BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 4, {0, 1}, Flip),
                        IdentityCurve(9))});
    Animation.Tracks[2].Flags = 1;
    kelvo_transform Rest[4];
    for (kelvo_transform &Transform : Rest)
        KelvoMakeIdentity(&Transform);
    std::vector<float> Opposite = Turn(0.2f);
    for (float &Value : Opposite)
        Value = -Value;
    std::memcpy(Rest[1].Orientation, Opposite.data(), sizeof(Rest[1].Orientation));
    test_model Model({"hip", "spine", "tail", "head"}, {Rest[0], Rest[1], Rest[2], Rest[3]});
    kelvo_animation_binding_identifier ID = IDFor(Animation, Model);
    kelvo_animation_binding *Binding = KelvoAcquireAnimationBindingFromID(&ID);
    ASSERT_NE(Binding, nullptr);
    ASSERT_EQ(Binding->TrackBindingCount, 4);
    kelvo_bound_transform_track const *Bound = Binding->TrackBindings;

    EXPECT_EQ(Bound[0].SourceTrackIndex, 0);
    EXPECT_EQ(Bound[0].SourceTrack, &Animation.Tracks[0]);
    EXPECT_EQ(Bound[0].Flags, KelvoBoundCurveAnimated);
    EXPECT_EQ(Bound[0].LODError, KELVO_NEVER_REDUCED_LOD_ERROR);
    EXPECT_EQ(Bound[0].QuaternionMode, 0);

    EXPECT_EQ(Bound[1].Flags, KelvoBoundCurveConstant);
    EXPECT_EQ(Bound[1].LODError, 0.0f); // nothing moves
    EXPECT_EQ(Bound[1].LODTransform.Flags, (kelvo_uint32)KelvoHasPosition);
    EXPECT_EQ(Bound[1].LODTransform.Position[2], 3.0f);
    EXPECT_EQ(Bound[1].QuaternionMode,
              1); // identity (0,0,0,1) against a rest in the other hemisphere

    EXPECT_EQ(Bound[2].SourceTrackIndex, -1); // "tail" has no track
    EXPECT_TRUE(Bound[2].SourceTrack == nullptr);
    EXPECT_EQ(Bound[2].Sampler, KelvoGetTrackSamplerSSS());
    EXPECT_EQ(Bound[2].LODTransform.Flags, 0u);

    EXPECT_EQ(Bound[3].QuaternionMode, 3); // ends in opposite hemispheres, track flag bit 0
    EXPECT_EQ(Bound[3].Sampler, KelvoGetTrackSamplerUUU()); // identity position, turning

    // A rest orientation opposite the track's first: bit 0 alone.
    test_animation Turning({new test_track(
        "spine", IdentityCurve(3),
        BuildCurve(KelvoCurveDataD4Constant32fType, 0, 4, {}, Turn(0.2f)), IdentityCurve(9))});
    kelvo_animation_binding_identifier TurningID = IDFor(Turning, Model);
    kelvo_animation_binding *Other = KelvoAcquireAnimationBindingFromID(&TurningID);
    ASSERT_NE(Other, nullptr);
    EXPECT_EQ(Other->TrackBindings[1].QuaternionMode, 1);
    KelvoReleaseAnimationBinding(Other);
    KelvoReleaseAnimationBinding(Binding);
}

TEST_F(AnimationBindingTest, PatternsMapBoneNamesToTrackNames) {
    test_animation Animation({Moving("Hip"), Moving("Spine")});
    test_model Model({"Bip01 Spine", "Bip01 Hip", "Other"});
    kelvo_animation_binding_identifier ID = IDFor(Animation, Model);
    char Pattern[] = "Bip01 *"; // the binding keeps its own copy
    ID.BonePattern = Pattern;
    kelvo_animation_binding *Binding = KelvoAcquireAnimationBindingFromID(&ID);
    ASSERT_NE(Binding, nullptr);
    std::strcpy(Pattern, "changed");
    EXPECT_STREQ(Binding->ID.BonePattern, "Bip01 *");
    EXPECT_EQ(Binding->TrackBindings[0].SourceTrackIndex, 1);
    EXPECT_EQ(Binding->TrackBindings[1].SourceTrackIndex, 0);
    EXPECT_EQ(Binding->TrackBindings[2].SourceTrackIndex, -1);
    // An equal identifier built from other strings is a hit.
    kelvo_animation_binding_identifier Same = ID;
    Same.BonePattern = "Bip01 *";
    EXPECT_EQ(KelvoAcquireAnimationBindingFromID(&Same), Binding);
    KelvoReleaseAnimationBinding(Binding);
    KelvoReleaseAnimationBinding(Binding);
}

TEST_F(AnimationBindingTest, TheCacheEdgeCases) {
    test_animation Animation({Moving("hip")});
    test_model Models[3] = {test_model({"hip"}), test_model({"hip"}), test_model({"hip"})};

    // Maximum 0: the binding goes with its last use, so the next acquire builds again.
    kelvo_animation_binding_identifier ID = IDFor(Animation, Models[0]);
    KelvoReleaseAnimationBinding(KelvoAcquireAnimationBindingFromID(&ID));
    KelvoReleaseAnimationBinding(KelvoAcquireAnimationBindingFromID(&ID));
    EXPECT_EQ(Since().CacheMisses, 2);
    EXPECT_EQ(Since().BindingsCreated, 2);
    EXPECT_EQ(Since().CurrentTotalBindingCount, 0);

    // Maximum 2: of three released bindings the first released is freed.
    KelvoSetMaximumAnimationBindingCount(2);
    kelvo_animation_binding *Bindings[3];
    for (int Index = 0; Index < 3; ++Index) {
        kelvo_animation_binding_identifier Each = IDFor(Animation, Models[Index]);
        Bindings[Index] = KelvoAcquireAnimationBindingFromID(&Each);
    }
    for (int Index : {1, 0, 2}) {
        KelvoReleaseAnimationBinding(Bindings[Index]);
    }
    EXPECT_EQ(Since().OverflowFrees, 3); // the two frees at maximum 0 included
    EXPECT_EQ(KelvoGetFirstUnusedAnimationBinding(), Bindings[0]);
    EXPECT_EQ(KelvoGetNextUnusedAnimationBinding(Bindings[0]), Bindings[2]);
    EXPECT_EQ(KelvoGetNextUnusedAnimationBinding(Bindings[2]), nullptr);
    EXPECT_EQ(KelvoGetMaximumAnimationBindingCount(), 2);
}

TEST_F(AnimationBindingTest, KeyframedTracksWarnOncePerBuild) {
    test_animation Animation({new test_track(
        "hip", BuildCurve(KelvoCurveDataDaKeyframes32fType, 0, 3, {}, {1, 2, 3, 4, 5, 6}),
        IdentityCurve(4), IdentityCurve(9))});
    test_model Model({"hip"});
    kelvo_animation_binding_identifier ID = IDFor(Animation, Model);
    kelvo_animation_binding *Binding = KelvoAcquireAnimationBindingFromID(&ID);
    KelvoAcquireAnimationBindingFromID(&ID); // a hit builds nothing
    EXPECT_EQ(Binding->TrackBindings[0].QuaternionMode, 0);
    EXPECT_EQ(Binding->TrackBindings[0].Flags, KelvoBoundCurveKeyframed);
    KelvoReleaseAnimationBinding(Binding);
    KelvoReleaseAnimationBinding(Binding);
    KelvoReleaseAnimationBinding(KelvoAcquireAnimationBindingFromID(&ID)); // built again
    std::string const Warning = "The track group \"group\" has keyframed animation tracks, which "
                                "are meant for preprocessing only.  They will be ignored during "
                                "playback.";
    ExpectLoggedFrom(KelvoWarningLogMessage, KelvoAnimationLogMessage, Warning);
    ExpectLoggedFrom(KelvoWarningLogMessage, KelvoAnimationLogMessage, Warning);
}

TEST_F(AnimationBindingTest, CountersFollowAScriptedSequence) {
    KelvoSetMaximumAnimationBindingCount(1);
    test_animation Animation({Moving("hip")});
    test_model A({"hip"}), B({"hip"});
    kelvo_animation_binding_identifier IDA = IDFor(Animation, A), IDB = IDFor(Animation, B);
    kelvo_animation_binding *First = KelvoAcquireAnimationBindingFromID(&IDA);  // miss
    KelvoAcquireAnimationBindingFromID(&IDA);                                   // hit
    KelvoAcquireAnimationBinding(First);                                        // direct hit
    kelvo_animation_binding *Second = KelvoAcquireAnimationBindingFromID(&IDB); // miss
    for (int Release = 0; Release < 3; ++Release) {
        KelvoReleaseAnimationBinding(First); // unused at the third; total 2 > 1 frees it
    }
    EXPECT_EQ(KelvoGetFirstUnusedAnimationBinding(), nullptr);
    KelvoReleaseAnimationBinding(Second); // kept: total 1
    KelvoFlushAllUnusedAnimationBindings();
    kelvo_animation_binding_cache_status Status = Since();
    kelvo_animation_binding_cache_status const Expected = {
        2, 2, 1, 3, 4, Start.CurrentTotalBindingCount, Start.CurrentUsedBindingCount,
        2, 2, 1, 1, 1};
    EXPECT_EQ(0, std::memcmp(&Status, &Expected, sizeof(Status)))
        << Status.BindingsCreated << " " << Status.BindingsDestroyed << " "
        << Status.DirectAcquireCount << " " << Status.IndirectAcquireCount << " "
        << Status.ReleaseCount << " " << Status.CurrentTotalBindingCount << " "
        << Status.CurrentUsedBindingCount << " " << Status.CacheHits << " " << Status.CacheMisses
        << " " << Status.ExplicitFlushCount << " " << Status.ExplicitFlushFrees << " "
        << Status.OverflowFrees;
}

TEST_F(AnimationBindingTest, FlushingIteratingAndRemapping) {
    KelvoSetMaximumAnimationBindingCount(10);
    test_animation Walk({Moving("hip"), Still("spine")}, "walk");
    test_animation Copy({Moving("hip"), Still("spine")}, "walk copy");
    test_model Models[3] = {test_model({"hip"}), test_model({"spine"}), test_model({"hip"})};
    kelvo_animation_binding *Bindings[3];
    for (int Index = 0; Index < 3; ++Index) {
        kelvo_animation_binding_identifier ID = IDFor(Walk, Models[Index]);
        Bindings[Index] = KelvoAcquireAnimationBindingFromID(&ID);
    }
    int Seen = 0;
    for (kelvo_animation_binding *Binding = KelvoGetFirstBindingForAnimation(&Walk.Animation);
         Binding; Binding = KelvoGetNextBindingForAnimation(&Walk.Animation, Binding)) {
        EXPECT_EQ(Binding->ID.Animation, &Walk.Animation);
        ++Seen;
    }
    EXPECT_EQ(Seen, 3);
    EXPECT_EQ(KelvoGetFirstBindingForAnimation(&Copy.Animation), nullptr);
    EXPECT_TRUE(KelvoIsAnimationUsed(&Walk.Animation));

    KelvoReleaseAnimationBinding(Bindings[0]);
    KelvoFlushAllBindingsForAnimation(&Walk.Animation); // frees the unused one only
    ExpectLoggedFrom(
        KelvoErrorLogMessage, KelvoAnimationLogMessage,
        "FlushAllBindingsForAnimation() tried to flush an animation still in use (walk)");
    ExpectLogged(KelvoErrorLogMessage, "FlushAllBindingsForAnimation() tried to flush");
    KelvoFlushAnimationBinding(Bindings[1]);
    ExpectLogged(KelvoErrorLogMessage,
                 "FlushAnimationBinding() tried to flush an animation still in use (walk)");

    KelvoRemapAllAnimationBindingPointers(&Walk.Animation, &Copy.Animation);
    EXPECT_EQ(KelvoGetFirstBindingForAnimation(&Walk.Animation), nullptr);
    EXPECT_FALSE(KelvoIsAnimationUsed(&Walk.Animation));
    EXPECT_EQ(Bindings[1]->TrackBindings[0].SourceTrack, &Copy.Tracks[1]);
    EXPECT_EQ(Bindings[2]->TrackBindings[0].SourceTrack, &Copy.Tracks[0]);
    EXPECT_EQ(Bindings[2]->TrackBindings[0].Flags, KelvoBoundCurveAnimated);
    KelvoRemapAnimationBindingPointers(Bindings[2], nullptr);
    ExpectLogged(KelvoErrorLogMessage, "NewAnimationPointer is not allowed to be 0");
    // A remapped binding is found under its new key.
    kelvo_animation_binding_identifier ID = IDFor(Copy, Models[2]);
    EXPECT_EQ(KelvoAcquireAnimationBindingFromID(&ID), Bindings[2]);
    KelvoReleaseAnimationBinding(Bindings[2]);
    KelvoReleaseAnimationBinding(Bindings[2]);
    KelvoReleaseAnimationBinding(Bindings[1]);
    EXPECT_FALSE(KelvoIsAnimationUsed(&Copy.Animation));
}

TEST_F(AnimationBindingTest, LODValuesAndTheirCopies) {
    test_animation Animation({Moving("hip"), Moving("spine")});
    test_model Model({"spine", "hip", "tail"});
    kelvo_animation_binding_identifier ID = IDFor(Animation, Model);
    kelvo_animation_binding *Binding = KelvoAcquireAnimationBindingFromID(&ID);
    KelvoSetLODErrorValue(Binding, 0, 2.0f);
    KelvoSetLODErrorValue(Binding, 1, 5.0f);
    EXPECT_EQ(KelvoGetLODErrorValue(Binding, 1), 5.0f);
    KelvoGetLODErrorValue(Binding, 3);
    ExpectLogged(KelvoErrorLogMessage, "TrackIndex 3 is out of range [0, 3)");

    Animation.Errors = {4.0f, 4.0f};
    KelvoCopyLODErrorValuesToAnimation(Binding, 1.0f, true); // only the larger moves
    EXPECT_EQ(Animation.Errors, (std::vector<float>{5.0f, 4.0f}));
    KelvoCopyLODErrorValuesToAnimation(Binding, 0.5f, false);
    EXPECT_EQ(Animation.Errors, (std::vector<float>{2.5f, 1.0f}));
    KelvoCopyLODErrorValuesFromAnimation(Binding, 2.0f);
    EXPECT_EQ(KelvoGetLODErrorValue(Binding, 0), 2.0f);
    EXPECT_EQ(KelvoGetLODErrorValue(Binding, 1), 5.0f);
    KelvoSetAllLODErrorValues(Binding, 0.125f);
    EXPECT_EQ(KelvoGetLODErrorValue(Binding, 2), 0.125f);
    KelvoResetLODErrorValues(Binding);
    EXPECT_EQ(KelvoGetLODErrorValue(Binding, 0), KELVO_NEVER_REDUCED_LOD_ERROR);
    KelvoReleaseAnimationBinding(Binding);
}

// Track indices past the int16 field are reported and stored as -1, never wrapped.
TEST_F(AnimationBindingTest, TrackIndicesBeyondInt16AreNotWrapped) {
    constexpr int Count = 32770;
    std::vector<std::string> Names(Count);
    std::vector<kelvo_transform_track> Tracks(Count);
    owned_curve Identity3(IdentityCurve(3)), Identity4(IdentityCurve(4)),
        Identity9(IdentityCurve(9));
    for (int Index = 0; Index < Count; ++Index) {
        char Name[16];
        std::snprintf(Name, sizeof(Name), "b%05d", Index);
        Names[Index] = Name;
        Tracks[Index] = {Names[Index].c_str(), 0, *Identity4, *Identity3, *Identity9};
    }
    kelvo_track_group Group = {};
    Group.Name = "many";
    Group.TransformTrackCount = Count;
    Group.TransformTracks = Tracks.data();
    Group.AccumulationFlags = KELVO_TRACK_GROUP_IS_SORTED;
    kelvo_track_group_slot Slot = &Group;
    kelvo_animation Animation = {"many", 1, 1, 1, 1, &Slot};
    test_model Model({"b00005", "b32768"});
    kelvo_animation_binding_identifier ID;
    KelvoMakeDefaultAnimationBindingID(&ID, &Animation, 0);
    ID.OnModel = &Model.Model;
    kelvo_animation_binding *Binding = KelvoAcquireAnimationBindingFromID(&ID);
    ASSERT_NE(Binding, nullptr);
    EXPECT_EQ(Binding->TrackBindings[0].SourceTrackIndex, 5);
    EXPECT_EQ(Binding->TrackBindings[1].SourceTrackIndex, -1);
    EXPECT_EQ(Binding->TrackBindings[1].SourceTrack, &Tracks[32768]);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoAnimationLogMessage,
                     "SourceTrackIndex 32768 is out of range for an int16 Track.SourceTrackIndex");
    KelvoReleaseAnimationBinding(Binding);
}

TEST_F(AnimationBindingTest, BadIdentifiersAndAllocationFailures) {
    test_animation Animation({Moving("hip")});
    test_model Model({"hip"});
    kelvo_animation_binding_identifier ID = IDFor(Animation, Model);
    ID.SourceTrackGroupIndex = 1;
    EXPECT_EQ(KelvoAcquireAnimationBindingFromID(&ID), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "The animation has no track group 1 to bind");
    ID.SourceTrackGroupIndex = 0;
    ID.OnModel = nullptr;
    EXPECT_EQ(KelvoAcquireAnimationBindingFromID(&ID), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "ID.OnModel is not allowed to be 0");
    EXPECT_EQ(KelvoAcquireAnimationBindingFromID(nullptr), nullptr);
    ID.OnModel = &Model.Model;
    {
        failing_allocator Failing(1, false, false);
        EXPECT_EQ(KelvoAcquireAnimationBindingFromID(&ID), nullptr);
    }
    // Rebasing memory that cannot be had leaves the binding unrebased.
    test_model Other({"hip"});
    ID.FromBasis = &Model.Model;
    ID.ToBasis = &Other.Model;
    kelvo_animation_binding *Binding;
    {
        failing_allocator Failing(2, false, false);
        Binding = KelvoAcquireAnimationBindingFromID(&ID);
    }
    ASSERT_NE(Binding, nullptr);
    EXPECT_TRUE(Binding->RebasingMemory == nullptr);
    EXPECT_EQ(Binding->TrackBindings[0].SourceTrack, &Animation.Tracks[0]);
    ExpectLoggedFrom(KelvoWarningLogMessage, KelvoAnimationLogMessage,
                     "Out of memory for rebasing track group \"group\".");
    KelvoReleaseAnimationBinding(Binding);
}

kelvo_transform MakeTransform(std::vector<float> Position, float Angle) {
    kelvo_transform Result;
    KelvoSetTransform(&Result, Position.data(), Turn(Angle).data(), KelvoCurveIdentityScaleShear);
    return Result;
}

// World matrices of a chain, each bone's local given.
std::vector<std::vector<float>> ChainWorld(std::vector<kelvo_transform> const &Locals) {
    std::vector<std::vector<float>> Worlds;
    kelvo_transform World;
    KelvoMakeIdentity(&World);
    for (kelvo_transform const &Local : Locals) {
        KelvoPostMultiplyBy(&World, &Local);
        std::vector<float> Matrix(16);
        KelvoBuildCompositeTransform4x4(&World, Matrix.data());
        Worlds.push_back(Matrix);
    }
    return Worlds;
}

// An animation made on one skeleton, played on another of other rest
// transforms: each bone's motion away from the first skeleton's rest is
// carried onto the second's (To o inverse(From) o animated).
TEST_F(AnimationBindingTest, RebasingOntoAnotherSkeleton) {
    std::vector<kelvo_transform> FromRest = {MakeTransform({0, 1, 0}, 0.3f),
                                             MakeTransform({0, 2, 0}, -0.4f),
                                             MakeTransform({1, 0, 0}, 0.9f)};
    std::vector<kelvo_transform> ToRest = {MakeTransform({0, 1.5f, 0}, -0.2f),
                                           MakeTransform({0.5f, 2.5f, 0}, 0.6f),
                                           MakeTransform({0, 0, 1}, 1.4f)};
    std::vector<kelvo_transform> Moved = {MakeTransform({1, 1, 0}, 1.1f),
                                          MakeTransform({0, 3, 1}, 0.2f),
                                          MakeTransform({2, 0, 0}, -0.5f)};
    char const *Names[3] = {"a", "b", "c"};
    auto MakeTracks = [&] {
        std::vector<test_track *> Tracks;
        for (int Bone = 0; Bone < 3; ++Bone) {
            std::vector<float> P(FromRest[Bone].Position, FromRest[Bone].Position + 3);
            P.insert(P.end(), Moved[Bone].Position, Moved[Bone].Position + 3);
            std::vector<float> Q(FromRest[Bone].Orientation, FromRest[Bone].Orientation + 4);
            Q.insert(Q.end(), Moved[Bone].Orientation, Moved[Bone].Orientation + 4);
            Tracks.push_back(new test_track(
                Names[Bone], BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 3, {0, 1}, P),
                BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 4, {0, 1}, Q), IdentityCurve(9)));
        }
        return Tracks;
    };
    test_animation Animation(MakeTracks());
    test_model From({"a", "b", "c"}, FromRest), To({"a", "b", "c"}, ToRest);
    kelvo_animation_binding_identifier ID = IDFor(Animation, To);
    ID.FromBasis = &From.Model;
    ID.ToBasis = &To.Model;
    kelvo_animation_binding *Binding = KelvoAcquireAnimationBindingFromID(&ID);
    ASSERT_NE(Binding, nullptr);
    ASSERT_TRUE(Binding->RebasingMemory != nullptr);

    // Remapped to a copy of the animation, the binding stays rebased.
    test_animation Copy(MakeTracks());
    for (bool Remapped : {false, true}) {
        if (Remapped) {
            KelvoRemapAnimationBindingPointers(Binding, &Copy.Animation);
            ASSERT_TRUE(Binding->RebasingMemory != nullptr);
        }
        for (float Time : {0.0f, 0.5f, 1.0f}) {
            std::vector<kelvo_transform> Expected;
            for (int Bone = 0; Bone < 3; ++Bone) {
                kelvo_sample_context Context = {Time, 1, false, false, 0};
                kelvo_bound_transform_track Original = BindTrack(&Animation.Tracks[Bone]);
                kelvo_transform Sampled, Inverse;
                KelvoSampleTrackUUULocal(&Context, &Animation.Tracks[Bone], &Original, &Sampled);
                KelvoBuildInverse(&Inverse, &FromRest[Bone]);
                KelvoPreMultiplyBy(&Sampled, &Inverse);
                KelvoPreMultiplyBy(&Sampled, &ToRest[Bone]);
                Expected.push_back(Sampled);
            }
            std::vector<std::vector<float>> ExpectedWorld = ChainWorld(Expected);
            // At knot 0 the animation is the first skeleton's rest, which becomes the second's.
            if (Time == 0.0f) {
                ExpectedWorld = ChainWorld(ToRest);
            }
            float Parent[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
            for (int Bone = 0; Bone < 3; ++Bone) {
                kelvo_bound_transform_track const &Bound = Binding->TrackBindings[Bone];
                EXPECT_NE(Bound.SourceTrack, &Animation.Tracks[Bone]);
                kelvo_sample_context Context = {Time, 1, false, false, 0};
                kelvo_transform Local;
                float World[16];
                Bound.Sampler(&Context, Bound.SourceTrack, &Bound, &Local, Parent, Parent, World,
                              nullptr);
                for (int Index = 0; Index < 16; ++Index) {
                    EXPECT_NEAR(World[Index], ExpectedWorld[Bone][Index], 1e-4f)
                        << "bone " << Bone << " at " << Time << " [" << Index << "]";
                }
                std::memcpy(Parent, World, sizeof(World));
            }
        }
    }
    KelvoReleaseAnimationBinding(Binding);
}

} // namespace
