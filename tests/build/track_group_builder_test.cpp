#include "anim/track_test_support.h"
#include "kelvo_test.h"

namespace {

class TrackGroupBuilderTest : public KelvoTest {};

struct sample_curves {
    owned_curve Position{
        BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 3, {0, 1}, {0, 0, 0, 1, 2, 3})};
    owned_curve Orientation{IdentityCurve(4)};
    owned_curve Weights{BuildCurve(KelvoCurveDataDaK16uC16uType, 1, 2, {0, 1}, {0, 1, 1, 0})};
};

// Three transform tracks in no order, a vector track and a text track.
kelvo_track_group_builder *BeginSample(bool LODErrors, sample_curves const &Curves) {
    kelvo_track_group_builder *Builder = KelvoBeginTrackGroup("walk", 1, 3, 1, LODErrors);
    if (!Builder) {
        return nullptr;
    }
    for (char const *Name : {"spine", "hip", "Head"}) {
        owned_curve const &Position = Curves.Position;
        owned_curve const &Orientation = Curves.Orientation;
        KelvoBeginTransformTrack(Builder, Name);
        KelvoSetTransformTrackPositionCurve(Builder, Position.get());
        KelvoSetTransformTrackOrientationCurve(Builder, Orientation.get());
        KelvoEndTransformTrack(Builder);
    }
    KelvoPushVectorTrackCurve(Builder, "smile", Curves.Weights.get());
    KelvoBeginTextTrack(Builder, "steps");
    for (int Entry = 0; Entry < 10; ++Entry) {
        std::string Text = "step " + std::to_string(Entry);
        KelvoAddTextEntry(Builder, 0.1f * Entry, Text.c_str());
    }
    KelvoEndTextTrack(Builder);
    return Builder;
}

TEST_F(TrackGroupBuilderTest, TheGroupIsOneSortedBlockOfCopies) {
    kelvo_track_group_builder *Builder;
    {
        sample_curves Curves; // freed before the end: the builder keeps copies
        Builder = BeginSample(true, Curves);
    }
    ASSERT_NE(Builder, nullptr);
    kelvo_int32 Size = KelvoGetResultingTrackGroupSize(Builder);
    ASSERT_GT(Size, 0);
    // Exactly the size asked for, so that sanitizers see any write past it.
    std::vector<kelvo_uint8> Memory(Size);
    kelvo_track_group *Group = KelvoEndTrackGroupInPlace(Builder, Memory.data());
    ASSERT_NE(Group, nullptr);
    EXPECT_STREQ(Group->Name, "walk");
    EXPECT_EQ(Group->AccumulationFlags, KELVO_TRACK_GROUP_IS_SORTED);
    ASSERT_EQ(Group->TransformTrackCount, 3);
    EXPECT_STREQ(Group->TransformTracks[0].Name, "Head");
    EXPECT_STREQ(Group->TransformTracks[1].Name, "hip");
    EXPECT_STREQ(Group->TransformTracks[2].Name, "spine");
    ASSERT_EQ(Group->TransformLODErrorCount, 3);
    for (int Index = 0; Index < 3; ++Index) {
        EXPECT_EQ(Group->TransformLODErrors[Index], KELVO_NEVER_REDUCED_LOD_ERROR);
    }
    // Identity curves share one record; curves are readable copies.
    kelvo_transform_track const &Hip = Group->TransformTracks[1];
    // Packed pointer members are compared as values, never bound by reference.
    EXPECT_EQ(static_cast<void *>(Hip.OrientationCurve.CurveData.Object),
              static_cast<void *>(Group->TransformTracks[2].ScaleShearCurve.CurveData.Object));
    EXPECT_TRUE(KelvoCurveIsIdentity(&Hip.ScaleShearCurve));
    float Position[3];
    KelvoEvaluateCurveAtT(3, false, false, &Hip.PositionCurve, false, 1, 0.5f, Position, nullptr);
    EXPECT_FLOAT_EQ(Position[2], 1.5f);
    kelvo_int32 Index;
    EXPECT_TRUE(KelvoFindTrackByName(Group, "spine", &Index));
    EXPECT_EQ(Index, 2);

    ASSERT_EQ(Group->VectorTrackCount, 1);
    EXPECT_EQ(Group->VectorTracks[0].Dimension, 2);
    EXPECT_EQ(KelvoCurveGetKnotCount(&Group->VectorTracks[0].ValueCurve), 2);
    ASSERT_EQ(Group->TextTrackCount, 1);
    ASSERT_EQ(Group->TextTracks[0].EntryCount, 10);
    EXPECT_STREQ(Group->TextTracks[0].Entries[9].Text, "step 9");
    EXPECT_FLOAT_EQ(Group->TextTracks[0].Entries[3].TimeStamp, 0.3f);
    EXPECT_TRUE(Group->PeriodicLoop == nullptr);
    EXPECT_TRUE(Group->RootMotion == nullptr);
}

TEST_F(TrackGroupBuilderTest, WithoutLODSpaceAndBeyondTheDeclaredCounts) {
    kelvo_track_group_builder *Builder = KelvoBeginTrackGroup("g", 0, 1, 0, false);
    KelvoBeginTransformTrack(Builder, "a");
    KelvoEndTransformTrack(Builder);
    KelvoBeginTransformTrack(Builder, "b");
    ExpectLogged(KelvoErrorLogMessage, "The track group was begun with 1 transform tracks");
    KelvoEndTransformTrack(Builder);
    ExpectLogged(KelvoErrorLogMessage, "No transform track was begun");
    kelvo_track_group *Group = KelvoEndTrackGroup(Builder);
    ASSERT_NE(Group, nullptr);
    EXPECT_EQ(Group->TransformTrackCount, 1);
    EXPECT_EQ(static_cast<float *>(Group->TransformLODErrors), nullptr);
    EXPECT_TRUE(KelvoTransformTrackIsIdentity(&Group->TransformTracks[0]));
    KelvoFreeTrackGroup(Group);
}

TEST_F(TrackGroupBuilderTest, EveryAllocationFailingInTurnFailsCleanly) {
    sample_curves Curves;
    for (int FailAt = 1;; ++FailAt) {
        failing_allocator Failing(FailAt, false, false);
        kelvo_track_group_builder *Builder = BeginSample(false, Curves);
        kelvo_track_group *Group = Builder ? KelvoEndTrackGroup(Builder) : nullptr;
        TakeMessages();
        if (!Failing.Failures) {
            ASSERT_NE(Group, nullptr);
            KelvoFreeTrackGroup(Group);
            break;
        }
        EXPECT_EQ(Group, nullptr) << "failing allocation " << FailAt;
    }
}

} // namespace
