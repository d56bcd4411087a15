#include "anim/track_test_support.h"
#include "kelvo_test.h"

#include <algorithm>

namespace {

class TrackGroupTest : public KelvoTest {
  protected:
    void TearDown() override {
        KelvoSetStringComparisonCallback(nullptr);
        KelvoTest::TearDown();
    }
};

kelvo_int32 KELVO_CALLBACK IgnoringCase(char const *A, char const *B) {
    for (; *A && std::tolower(*A) == std::tolower(*B); ++A, ++B) {
    }
    return std::tolower(*A) - std::tolower(*B);
}

// Tracks with names only: lookups never read the curves.
struct named_group {
    std::vector<std::string> Names;
    std::vector<kelvo_transform_track> Tracks;
    std::vector<kelvo_vector_track> Vectors;
    kelvo_track_group Group = {};

    named_group(std::vector<std::string> TrackNames, bool Sorted) : Names(std::move(TrackNames)) {
        for (std::string const &Name : Names) {
            Tracks.push_back({Name.c_str(), 0, {}, {}, {}});
            Vectors.push_back({Name.c_str(), 1, {}});
        }
        Group.TransformTrackCount = Group.VectorTrackCount = (kelvo_int32)Names.size();
        Group.TransformTracks = Tracks.data();
        Group.VectorTracks = Vectors.data();
        Group.AccumulationFlags = Sorted ? KELVO_TRACK_GROUP_IS_SORTED : 0;
    }
};

TEST_F(TrackGroupTest, FindingTracksByNameSortedOrNot) {
    named_group Sorted({"Hip", "Spine", "hip", "neck"}, true);
    named_group Unsorted({"neck", "Hip", "hip", "Spine"}, false);
    struct lookup {
        char const *Name;
        kelvo_int32 SortedIndex, UnsortedIndex;
    } const Cases[] = {{"Hip", 0, 1},   {"hip", 2, 2}, {"Spine", 1, 3}, {"neck", 3, 0},
                       {"HIP", -1, -1}, {"", -1, -1},  {"zzz", -1, -1}, {"A", -1, -1}};
    for (lookup const &Case : Cases) {
        kelvo_int32 Index = 99;
        EXPECT_EQ(KelvoFindTrackByName(&Sorted.Group, Case.Name, &Index), Case.SortedIndex >= 0);
        EXPECT_EQ(Index, Case.SortedIndex) << Case.Name;
        EXPECT_EQ(KelvoFindTrackByName(&Unsorted.Group, Case.Name, &Index),
                  Case.UnsortedIndex >= 0);
        EXPECT_EQ(Index, Case.UnsortedIndex) << Case.Name;
        KelvoFindVectorTrackByName(&Sorted.Group, Case.Name, &Index);
        EXPECT_EQ(Index, Case.SortedIndex) << "vector " << Case.Name;
    }
    kelvo_int32 Index = 5;
    EXPECT_FALSE(KelvoFindTrackByName(nullptr, "Hip", &Index));
    EXPECT_EQ(Index, -1);

    // The installed comparison decides equality; the first equal track wins.
    KelvoSetStringComparisonCallback(IgnoringCase);
    EXPECT_TRUE(KelvoFindTrackByName(&Unsorted.Group, "HIP", &Index));
    EXPECT_EQ(Index, 1);
}

TEST_F(TrackGroupTest, FindingTracksByRule) {
    named_group Group({"Bip01 Spine", "Bip02 Spine", "Bip01 Head", "Spine"}, false);
    struct rule {
        char const *Processed, *Pattern;
        kelvo_int32 Index;
    } const Cases[] = {{"Spine", "Bip01 *", 0}, {"Head", "bip01 *", 2},   {"02", "Bip* Spine", 1},
                       {"Spine", nullptr, 3},   {"Spine", "Bip03 *", -1}, {"ine", "Bip01 Sp", -1}};
    for (rule const &Case : Cases) {
        kelvo_int32 Index = 99;
        EXPECT_EQ(KelvoFindTrackByRule(&Group.Group, Case.Processed, Case.Pattern, &Index),
                  Case.Index >= 0);
        EXPECT_EQ(Index, Case.Index)
            << Case.Processed << " by " << (Case.Pattern ? Case.Pattern : "null");
        KelvoFindVectorTrackByRule(&Group.Group, Case.Processed, Case.Pattern, &Index);
        EXPECT_EQ(Index, Case.Index);
    }
}

TEST_F(TrackGroupTest, FlagsAndInitialPlacement) {
    kelvo_track_group Group = {};
    KelvoSetTrackGroupFlags(&Group, 0x12, 0xfffe);
    kelvo_uint32 Flags, DOFs;
    KelvoGetTrackGroupFlags(&Group, &Flags, &DOFs);
    EXPECT_EQ(Flags, 0x12u);
    EXPECT_EQ(DOFs, 0xfffffffeu); // the high half comes back sign-extended
    EXPECT_EQ((kelvo_uint32)Group.AccumulationFlags, 0xfffe0012u);

    float const Position[3] = {1, 2, 3};
    KelvoSetTransform(&Group.InitialPlacement, Position, KelvoCurveIdentityOrientation,
                      KelvoCurveIdentityScaleShear);
    float Matrix[16];
    KelvoGetTrackGroupInitialPlacement4x4(&Group, Matrix);
    EXPECT_EQ(Matrix[12], 1.0f);
    EXPECT_EQ(Matrix[14], 3.0f);
    EXPECT_EQ(Matrix[15], 1.0f);
}

TEST_F(TrackGroupTest, PredicatesOverTheThreeCurves) {
    auto Constant = [] { return BuildCurve(KelvoCurveDataD3Constant32fType, 0, 3, {}, {1, 2, 3}); };
    auto Keyed = [] {
        return BuildCurve(KelvoCurveDataDaKeyframes32fType, 0, 3, {}, {1, 2, 3, 4, 5, 6});
    };
    auto Animated = [] {
        return BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 3, {0, 1}, {0, 0, 0, 1, 1, 1});
    };
    struct predicate_case {
        test_track Track;
        bool Keyframed, IsAnimated, Identity;
    };
    predicate_case Cases[] = {
        {{"i", IdentityCurve(3), IdentityCurve(4), IdentityCurve(9)}, false, false, true},
        {{"c", Constant(), IdentityCurve(4), IdentityCurve(9)}, false, false, false},
        {{"a", IdentityCurve(3), IdentityCurve(4),
          BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 9, {0, 1}, std::vector<float>(18, 1.0f))},
         false,
         true,
         false},
        {{"k", Keyed(), IdentityCurve(4), IdentityCurve(9)}, true, true, false},
        {{"p", Animated(), IdentityCurve(4), IdentityCurve(9)}, false, true, false},
    };
    // Files leave unanimated curves without data: those are identities too.
    Cases[0].Track.Track.ScaleShearCurve = {{nullptr, nullptr}};
    for (predicate_case const &Case : Cases) {
        EXPECT_EQ(!!KelvoTransformTrackHasKeyframedCurves(&Case.Track.Track), Case.Keyframed)
            << Case.Track.Name;
        EXPECT_EQ(!!KelvoTransformTrackIsAnimated(&Case.Track.Track), Case.IsAnimated)
            << Case.Track.Name;
        EXPECT_EQ(!!KelvoTransformTrackIsIdentity(&Case.Track.Track), Case.Identity)
            << Case.Track.Name;
    }
}

TEST_F(TrackGroupTest, ResortingKeepsErrorsWithTheirTracksAndWarnsOfDuplicates) {
    named_group Group({"neck", "Hip", "spine", "hip"}, false);
    float Errors[4] = {4, 1, 3, 2};
    Group.Group.TransformLODErrorCount = 4;
    Group.Group.TransformLODErrors = Errors;
    KelvoResortTrackGroup(&Group.Group);
    std::vector<std::string> Order;
    for (kelvo_transform_track const &Track : Group.Tracks) {
        Order.push_back(Track.Name);
    }
    EXPECT_EQ(Order, (std::vector<std::string>{"Hip", "hip", "neck", "spine"}));
    EXPECT_EQ(std::vector<float>(Errors, Errors + 4), (std::vector<float>{1, 2, 4, 3}));
    EXPECT_TRUE(Group.Group.AccumulationFlags & KELVO_TRACK_GROUP_IS_SORTED);
    kelvo_int32 Index;
    EXPECT_TRUE(KelvoFindTrackByName(&Group.Group, "neck", &Index));
    EXPECT_EQ(Index, 2);

    KelvoSetStringComparisonCallback(IgnoringCase);
    KelvoResortTrackGroup(&Group.Group);
    ExpectLoggedFrom(KelvoWarningLogMessage, KelvoNameMapLogMessage,
                     "ResortTrackGroup: found duplicate remapped track value - 0x");
}

TEST_F(TrackGroupTest, LODErrorSpace) {
    named_group Group({"a", "b", "c"}, true);
    KelvoAllocateLODErrorSpace(&Group.Group);
    ASSERT_EQ(Group.Group.TransformLODErrorCount, 3);
    EXPECT_EQ(Group.Group.TransformLODErrors[2], KELVO_NEVER_REDUCED_LOD_ERROR);
    float *First = Group.Group.TransformLODErrors;
    KelvoAllocateLODErrorSpace(&Group.Group); // only when there are none
    EXPECT_EQ(static_cast<float *>(Group.Group.TransformLODErrors), First);
    KelvoSetAllLODErrorSpace(&Group.Group, 0.25f);
    EXPECT_EQ(Group.Group.TransformLODErrors[1], 0.25f);
    KelvoResetLODErrorSpace(&Group.Group);
    EXPECT_EQ(Group.Group.TransformLODErrors[0], KELVO_NEVER_REDUCED_LOD_ERROR);
    KelvoFreeLODErrorSpace(&Group.Group);
    EXPECT_EQ(static_cast<float *>(Group.Group.TransformLODErrors), nullptr);
    EXPECT_EQ(Group.Group.TransformLODErrorCount, 0);
}

TEST_F(TrackGroupTest, RemovingTheInitialTransform) {
    std::vector<float> Q0 = Turn(0.5f), Q1 = Turn(1.5f);
    std::vector<float> Orientations(Q0);
    Orientations.insert(Orientations.end(), Q1.begin(), Q1.end());
    // Scale/shear is taken apart per component, which only inverts exactly
    // when the initial transform has none.
    std::vector<float> Scales = {1, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 0, 0, 3, 0.5f, 0, 0, 1};
    test_track Track("t",
                     BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 3, {0, 1}, {1, 2, 3, -1, 0, 4}),
                     BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 4, {0, 1}, Orientations),
                     BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 9, {0, 1}, Scales));
    kelvo_transform Initial, Before[2], After[2];
    KelvoGetTransformTrackInitialTransform(&Track.Track, &Initial);
    kelvo_bound_transform_track Bound = BindTrack(&Track.Track);
    for (int Knot = 0; Knot < 2; ++Knot) {
        kelvo_sample_context Context = {(float)Knot, 1, false, false, 0};
        KelvoSampleTrackUUULocal(&Context, &Track.Track, &Bound, &Before[Knot]);
    }
    KelvoRemoveTrackInitialTransform(&Track.Track);
    Bound = BindTrack(&Track.Track);
    for (int Knot = 0; Knot < 2; ++Knot) {
        kelvo_sample_context Context = {(float)Knot, 1, false, false, 0};
        KelvoSampleTrackUUULocal(&Context, &Track.Track, &Bound, &After[Knot]);
    }
    // Knot 0 is now the identity, and the initial transform composed with
    // the new track gives the old one back.
    float Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    float Matrix[16];
    KelvoBuildCompositeTransform4x4(&After[0], Matrix);
    for (int Index = 0; Index < 16; ++Index) {
        EXPECT_NEAR(Matrix[Index], Identity[Index], 1e-5f);
    }
    kelvo_transform Restored;
    KelvoMultiply(&Restored, &Initial, &After[1]);
    float Expected[16];
    KelvoBuildCompositeTransform4x4(&Before[1], Expected);
    KelvoBuildCompositeTransform4x4(&Restored, Matrix);
    for (int Index = 0; Index < 16; ++Index) {
        EXPECT_NEAR(Matrix[Index], Expected[Index], 1e-4f) << Index;
    }

    // Compressed curves are refused, position first.
    test_track Packed("p", BuildCurve(KelvoCurveDataD3K8uC8uType, 1, 3, {0, 1}, {1, 2, 3, 4, 5, 6}),
                      IdentityCurve(4), IdentityCurve(9));
    KelvoRemoveTrackInitialTransform(&Packed.Track);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoTrackGroupLogMessage,
                     "Track contains compressed position curve type - can't remove initial "
                     "transform");
}

} // namespace

TEST_F(TrackGroupTest, SampledAnimationKeepsEachCurvesFramesApart) {
    kelvo_sampled_animation *Buffer = KelvoBeginSampledAnimation(2, 3);
    ASSERT_NE(Buffer, nullptr);
    // Frame f of curve c: position (c, f, 0); curve 1 leaves frame 1 unset.
    for (int Frame = 0; Frame < 3; ++Frame) {
        for (int Curve = 0; Curve < 2; ++Curve) {
            kelvo_real32 Position[3] = {(kelvo_real32)Curve, (kelvo_real32)Frame, 0};
            kelvo_real32 Orientation[4] = {0, 1, 0, 0};
            kelvo_real32 Scale[9] = {2, 0, 0, 0, 2, 0, 0, 0, 2};
            if (Curve == 0 || Frame != 1) {
                KelvoSetTransformSample(Buffer, Curve, Position, Orientation,
                                        Frame == 2 ? nullptr : Scale);
            }
        }
        KelvoPushSampledFrame(Buffer);
    }
    for (int Curve = 0; Curve < 2; ++Curve) {
        kelvo_real32 const *P = KelvoGetPositionSamples(Buffer, Curve);
        kelvo_real32 const *Q = KelvoGetOrientationSamples(Buffer, Curve);
        kelvo_real32 const *S = KelvoGetScaleShearSamples(Buffer, Curve);
        for (int Frame = 0; Frame < 3; ++Frame) {
            bool Unset = Curve == 1 && Frame == 1;
            EXPECT_EQ(P[Frame * 3 + 0], Unset ? 0 : Curve);
            EXPECT_EQ(P[Frame * 3 + 1], Unset ? 0 : Frame);
            EXPECT_EQ(Q[Frame * 4 + 1], Unset ? 0 : 1); // identity (0,0,0,1) when unset
            EXPECT_EQ(Q[Frame * 4 + 3], Unset ? 1 : 0);
            EXPECT_EQ(S[Frame * 9 + 4], Unset || Frame == 2 ? 1 : 2);
        }
    }
    EXPECT_TRUE(Messages().empty());
    KelvoEndSampledAnimation(Buffer);
}

TEST_F(TrackGroupTest, SampledAnimationRefusesWhatItDoesNotHold) {
    kelvo_real32 Position[3] = {1, 2, 3};
    EXPECT_EQ(KelvoBeginSampledAnimation(-1, 4), nullptr);
    EXPECT_EQ(KelvoBeginSampledAnimation(1 << 20, 1 << 20), nullptr);
    kelvo_sampled_animation *Buffer = KelvoBeginSampledAnimation(1, 1);
    EXPECT_EQ(KelvoGetPositionSamples(Buffer, 1), nullptr);
    EXPECT_EQ(KelvoGetOrientationSamples(Buffer, -1), nullptr);
    KelvoSetTransformSample(Buffer, 1, Position, nullptr, nullptr);
    KelvoPushSampledFrame(Buffer);
    KelvoPushSampledFrame(Buffer); // past the last frame
    KelvoSetTransformSample(Buffer, 0, Position, nullptr, nullptr);
    EXPECT_EQ(KelvoGetPositionSamples(Buffer, 0)[0], 0);
    EXPECT_EQ(TakeMessages().size(), 7u);
    KelvoEndSampledAnimation(Buffer);
}
