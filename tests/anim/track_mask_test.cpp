// Track masks: weights with a default outside the bones, copies and
// inversion, masks along a skeleton's chains, and masks extracted from the
// bones' extended data.
#include "kelvo_test.h"
#include "kv2_sample_asset.h"

#include <memory>
#include <set>

namespace {

struct mask_deleter {
    void operator()(kelvo_track_mask *Mask) const { KelvoFreeTrackMask(Mask); }
};
using track_mask_ptr = std::unique_ptr<kelvo_track_mask, mask_deleter>;

class TrackMaskTest : public KelvoTest {};

TEST_F(TrackMaskTest, WeightsOutsideTheBonesAreTheDefault) {
    track_mask_ptr Mask(KelvoNewTrackMask(0.25f, 10));
    ASSERT_NE(Mask, nullptr);
    KelvoSetTrackMaskBoneWeight(Mask.get(), 9, 0.75f);
    struct {
        kelvo_int32 Index;
        float Weight;
    } const Cases[] = {{0, 0.25f}, {9, 0.75f}, {12, 0.25f}, {-1, 0.25f}, {10, 0.25f}};
    for (auto const &Case : Cases) {
        EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), Case.Index), Case.Weight) << Case.Index;
    }
    KelvoSetTrackMaskBoneWeight(Mask.get(), 10, 1);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoTrackMaskLogMessage,
                     "BoneIndex 10 is out-of-bounds (only 10 bones in this track mask)");
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), 10), 0.25f);

    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(KelvoIdentityTrackMask, 3), 1.0f);
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(KelvoNullTrackMask, 3), 0.0f);
    track_mask_ptr Identity(KelvoCopyTrackMask(KelvoIdentityTrackMask));
    KelvoInvertTrackMask(Identity.get());
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Identity.get(), 0), 1.0f) << "the default stays";

    track_mask_ptr Copy(KelvoCopyTrackMask(Mask.get()));
    KelvoInvertTrackMask(Copy.get());
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Copy.get(), 9), 0.25f);
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Copy.get(), 0), 0.75f);
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), 0), 0.25f) << "the original is apart";
    {
        failing_allocator Failing(1, false, false);
        EXPECT_EQ(KelvoCopyTrackMask(Mask.get()), nullptr);
    }
    ExpectLogged(KelvoErrorLogMessage, "Unable to create new track mask for copying");
    EXPECT_EQ(KelvoNewTrackMask(0, -1), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "BoneCount >= 0 was not true");
}

TEST_F(TrackMaskTest, ChainsWeightExactlyTheBonesTheyName) {
    // 0 <- 1 <- 2 <- 3, 1 <- 4 <- 5, 0 <- 6, and a second root 7 <- 8.
    int const Parents[] = {-1, 0, 1, 2, 1, 4, 0, -1, 7};
    kelvo_bone Bones[9] = {};
    for (int Bone = 0; Bone < 9; ++Bone) {
        Bones[Bone].ParentIndex = Parents[Bone];
    }
    kelvo_skeleton Skeleton = {"s", 9, Bones, 0};
    struct {
        bool Downwards;
        kelvo_int32 Bone;
        std::set<int> Named;
    } const Cases[] = {
        {true, 1, {1, 2, 3, 4, 5}}, {true, 0, {0, 1, 2, 3, 4, 5, 6}}, {true, 3, {3}},
        {true, 7, {7, 8}},          {false, 5, {5, 4, 1, 0}},         {false, 8, {8, 7}},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Bone);
        track_mask_ptr Mask(KelvoNewTrackMask(-12345, 9)); // the weight is no mark
        if (Case.Downwards) {
            KelvoSetSkeletonTrackMaskChainDownwards(Mask.get(), &Skeleton, Case.Bone, 0.5f);
        } else {
            KelvoSetSkeletonTrackMaskChainUpwards(Mask.get(), &Skeleton, Case.Bone, 0.5f);
        }
        for (int Bone = 0; Bone < 9; ++Bone) {
            EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), Bone),
                      Case.Named.count(Bone) ? 0.5f : -12345.0f)
                << Bone;
        }
    }
    // Bones beyond a short mask are left out; a bad bone is reported.
    track_mask_ptr Short(KelvoNewTrackMask(0, 3));
    KelvoSetSkeletonTrackMaskChainDownwards(Short.get(), &Skeleton, 1, 1);
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Short.get(), 2), 1.0f);
    KelvoSetSkeletonTrackMaskChainUpwards(Short.get(), &Skeleton, 9, 1);
    ExpectLogged(KelvoErrorLogMessage, "BoneIndex 9 is out of range [0, 9)");
}

#pragma pack(push, 4)
struct extended {
    kelvo_int32 Other;
    kelvo_uint8 Stiffness;
};
#pragma pack(pop)

// The sample's root sways and its spine nods; its third track holds
// constants; a fourth bone has no track and keeps its weight.
TEST_F(TrackMaskTest, TrackGroupsWeightBonesByHowTheirTracksMove) {
    kv2::sample_asset Asset;
    kelvo_bone Bones[4];
    for (int Index = 0; Index < 3; ++Index) {
        Bones[Index] = Asset.Bones[Index];
    }
    Bones[3] = Asset.Bones[2];
    Bones[3].Name = "untracked";
    kelvo_skeleton Skeleton = {"four", 4, Bones, 0};
    track_mask_ptr Mask(KelvoNewTrackMask(0.5f, 4));
    KelvoSetSkeletonTrackMaskFromTrackGroup(Mask.get(), &Skeleton, &Asset.TrackGroup, 0.1f, 0.2f,
                                            0.9f);
    float const Expected[4] = {0.9f, 0.9f, 0.2f, 0.5f};
    for (int Bone = 0; Bone < 4; ++Bone) {
        EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), Bone), Expected[Bone]) << Bone;
    }
    // With the third track's curves made identity, its bone takes the
    // identity weight.
    Asset.TransformTracks[2].OrientationCurve = {};
    Asset.TransformTracks[2].PositionCurve = {};
    KelvoSetSkeletonTrackMaskFromTrackGroup(Mask.get(), &Skeleton, &Asset.TrackGroup, 0.1f, 0.2f,
                                            0.9f);
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), 2), 0.1f);
}

TEST_F(TrackMaskTest, ExtractionReadsNumberMembersOfTheExtendedData) {
    kelvo_data_type_definition const Type[] = {
        {KelvoInt32Member, "Other", nullptr, 0, {0, 0, 0}, 0},
        {KelvoUInt8Member, "Stiffness", nullptr, 0, {0, 0, 0}, 0},
        {KelvoEndMember, nullptr, nullptr, 0, {0, 0, 0}, 0}};
    kelvo_data_type_definition const OtherOnly[] = {Type[0], Type[2]};
    extended Values[4] = {{1, 40}, {2, 7}, {3, 9}, {4, 11}};
    int const Parents[] = {-1, 0, 1, 0};
    kelvo_bone Bones[4] = {};
    for (int Bone = 0; Bone < 4; ++Bone) {
        Bones[Bone].ParentIndex = Parents[Bone];
        Bones[Bone].ExtendedData = {Type, &Values[Bone]};
    }
    kelvo_skeleton Skeleton = {"s", 4, Bones, 0};
    track_mask_ptr Mask(KelvoNewTrackMask(0, 4));

    EXPECT_EQ(KelvoExtractTrackMask(Mask.get(), 4, &Skeleton, "stiffness", 0.5f, 0),
              KelvoAllDataPresent);
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), 1), 7.0f);
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), 9), 0.5f);

    // Only the root stores it: with the parent flag every bone inherits it.
    for (int Bone = 1; Bone < 4; ++Bone) {
        Bones[Bone].ExtendedData = {OtherOnly, &Values[Bone]};
    }
    EXPECT_EQ(KelvoExtractTrackMask(Mask.get(), 4, &Skeleton, "Stiffness", 0.5f, 1),
              KelvoPartialDataPresent);
    for (int Bone = 0; Bone < 4; ++Bone) {
        EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), Bone), 40.0f) << Bone;
    }
    EXPECT_EQ(KelvoExtractTrackMask(Mask.get(), 4, &Skeleton, "Stiffness", 0.5f, 0),
              KelvoPartialDataPresent);
    EXPECT_EQ(KelvoGetTrackMaskBoneWeight(Mask.get(), 2), 0.5f);
    EXPECT_EQ(KelvoExtractTrackMask(Mask.get(), 4, &Skeleton, "Missing", 0.5f, 1),
              KelvoNoDataPresent);
    EXPECT_EQ(KelvoExtractTrackMask(Mask.get(), 5, &Skeleton, "Stiffness", 0.5f, 1),
              KelvoNoDataPresent);
    ExpectLogged(KelvoErrorLogMessage, "BoneCount 5 is out of range [0, 4]");
}

} // namespace
