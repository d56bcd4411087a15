// Bone lookups, level-of-detail bone counts, skeleton-relative transforms
// and model placement.
#include "kelvo_test.h"

#include <cmath>
#include <random>
#include <vector>

namespace {

class SkeletonTest : public KelvoTest {};

kelvo_bone Bone(char const *Name, kelvo_int32 Parent, kelvo_real32 LODError = 0) {
    kelvo_bone Result = {};
    Result.Name = Name;
    Result.ParentIndex = Parent;
    KelvoMakeIdentity(&Result.Transform);
    Result.LODError = LODError;
    return Result;
}

kelvo_int32 KELVO_CALLBACK FirstLetterOnly(char const *A, char const *B) {
    return A[0] != B[0];
}

TEST_F(SkeletonTest, BonesAreFoundByExactOrFoldedNameOrTheInstalledComparison) {
    kelvo_bone Bones[] = {Bone("Root", -1), Bone("spine", 0), Bone("Spine", 1), Bone("spine", 2)};
    kelvo_skeleton Skeleton = {"s", 4, Bones, 0};
    struct {
        char const *Name;
        bool Folded;
        kelvo_string_comparison_callback *Comparison;
        kelvo_bool32 Found;
        kelvo_int32 Index;
    } const Cases[] = {
        {"Root", false, nullptr, 1, 0},      {"root", false, nullptr, 0, 4},
        {"root", true, nullptr, 1, 0},       {"Spine", false, nullptr, 1, 2},
        {"SPINE", true, nullptr, 1, 1},      {"spine", false, nullptr, 1, 1},
        {"tail", true, nullptr, 0, 4},       {"Sx", false, FirstLetterOnly, 1, 2},
        {"sx", true, FirstLetterOnly, 1, 1},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        KelvoSetStringComparisonCallback(Case.Comparison);
        kelvo_int32 Index = -7;
        kelvo_bool32 Found = Case.Folded
                                 ? KelvoFindBoneByNameLowercase(&Skeleton, Case.Name, &Index)
                                 : KelvoFindBoneByName(&Skeleton, Case.Name, &Index);
        EXPECT_EQ(Found, Case.Found);
        EXPECT_EQ(Index, Case.Index);
    }
    KelvoSetStringComparisonCallback(nullptr);
    kelvo_int32 Index = -7;
    EXPECT_FALSE(KelvoFindBoneByName(nullptr, "Root", &Index));
    EXPECT_FALSE(KelvoFindBoneByNameLowercase(nullptr, "Root", &Index));
    EXPECT_EQ(Index, -7);
}

TEST_F(SkeletonTest, BoneCountForLODStopsAtTheFirstBoneBelowTheFadedError) {
    EXPECT_EQ(KelvoGetGlobalLODFadingFactor(), 0.8f);
    kelvo_bone Bones[] = {Bone("a", -1, 10), Bone("b", 0, 5), Bone("c", 1, 2), Bone("d", 2, 1)};
    kelvo_skeleton Skeleton = {"s", 4, Bones, 1};
    struct {
        kelvo_int32 LODType;
        kelvo_real32 Allowed;
        kelvo_int32 Count;
    } const Cases[] = {
        {1, 3.75f, 2},                                               // threshold 3
        {1, 0.0f, 4},  {0, 100.0f, 4}, {1, 100.0f, 0}, {1, 1.0f, 4}, // 0.8 is below no error
        {1, -5.0f, 4},                                               // threshold 0
    };
    for (auto const &Case : Cases) {
        Skeleton.LODType = Case.LODType;
        EXPECT_EQ(KelvoGetBoneCountForLOD(&Skeleton, Case.Allowed), Case.Count)
            << Case.LODType << " " << Case.Allowed;
    }

    // The unrolled scan agrees with a plain one on longer skeletons.
    std::vector<kelvo_bone> Many;
    for (int Index = 0; Index < 23; ++Index) {
        Many.push_back(Bone("b", Index - 1, (kelvo_real32)(23 - Index)));
    }
    kelvo_skeleton Long = {"long", (kelvo_int32)Many.size(), Many.data(), 1};
    KelvoSetGlobalLODFadingFactor(1.0f);
    for (int Allowed = 1; Allowed <= 24; ++Allowed) {
        kelvo_int32 Expected = 0;
        while (Expected < 23 && !(Many[Expected].LODError < (kelvo_real32)Allowed)) {
            ++Expected;
        }
        EXPECT_EQ(KelvoGetBoneCountForLOD(&Long, (kelvo_real32)Allowed), Expected) << Allowed;
    }
    KelvoSetGlobalLODFadingFactor(0.8f);

    EXPECT_EQ(KelvoGetBoneCountForLOD(nullptr, 1.0f), 0);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoSkeletonLogMessage,
                     "Skeleton != NULL is not allowed to be 0");
}

kelvo_transform RandomTransform(std::mt19937 &Random) {
    std::uniform_real_distribution<float> Unit(-1.0f, 1.0f);
    kelvo_real32 Position[3] = {Unit(Random), Unit(Random), Unit(Random)};
    kelvo_real32 Orientation[4] = {Unit(Random), Unit(Random), Unit(Random), 1.5f};
    kelvo_real32 Length =
        std::sqrt(Orientation[0] * Orientation[0] + Orientation[1] * Orientation[1] +
                  Orientation[2] * Orientation[2] + Orientation[3] * Orientation[3]);
    for (kelvo_real32 &Component : Orientation) {
        Component /= Length;
    }
    kelvo_real32 ScaleShear[9] = {
        1 + 0.1f * Unit(Random), 0.05f * Unit(Random), 0, 0, 1 + 0.1f * Unit(Random), 0, 0, 0, 1};
    kelvo_transform Result;
    KelvoSetTransform(&Result, Position, Orientation, ScaleShear);
    return Result;
}

void ExpectNear(kelvo_transform const &Expected, kelvo_transform const &Actual, char const *What,
                int Bone) {
    float const *A = &Expected.Position[0];
    float const *B = &Actual.Position[0];
    for (int Index = 0; Index < 16; ++Index) {
        ASSERT_NEAR(A[Index], B[Index], 1e-3f * (1 + std::fabs(A[Index])))
            << What << " bone " << Bone << " component " << Index;
    }
}

// A record with the transform and parent at the offsets callers use.
struct wide_result {
    kelvo_transform Transform;
    kelvo_uint8 Padding[152 - sizeof(kelvo_transform)];
};

TEST_F(SkeletonTest, RelativeTransformsComposeTheParentChain) {
    std::mt19937 Random(14);
    std::vector<kelvo_bone> Bones;
    for (int Index = 0; Index < 100; ++Index) {
        int Parent = Index == 0 || Random() % 8 == 0 ? -1 : (int)(Random() % Index);
        Bones.push_back(Bone("b", Parent));
        Bones.back().Transform = RandomTransform(Random);
    }
    // By hand: T[root] o ... o T[parent] o T[bone].
    std::vector<kelvo_transform> Expected(Bones.size());
    for (size_t Index = 0; Index < Bones.size(); ++Index) {
        kelvo_transform Chain = Bones[Index].Transform;
        for (int Ancestor = Bones[Index].ParentIndex; Ancestor != -1;
             Ancestor = Bones[Ancestor].ParentIndex) {
            KelvoPreMultiplyBy(&Chain, &Bones[Ancestor].Transform);
        }
        Expected[Index] = Chain;
    }
    kelvo_int32 const Stride = (kelvo_int32)sizeof(kelvo_bone);
    for (size_t Index = 0; Index < Bones.size(); ++Index) {
        kelvo_transform One;
        KelvoBuildSkeletonRelativeTransform(Stride, &Bones[0].Transform, Stride,
                                            &Bones[0].ParentIndex, (kelvo_int32)Index, &One);
        ExpectNear(Expected[Index], One, "one", (int)Index);
    }
    std::vector<kelvo_transform> Packed(Bones.size());
    KelvoBuildSkeletonRelativeTransforms(Stride, &Bones[0].Transform, Stride, &Bones[0].ParentIndex,
                                         100, 68, Packed.data());
    std::vector<wide_result> Wide(Bones.size());
    KelvoBuildSkeletonRelativeTransforms(Stride, &Bones[0].Transform, Stride, &Bones[0].ParentIndex,
                                         100, 152, &Wide[0].Transform);
    std::vector<kelvo_bone> InPlace = Bones;
    KelvoBuildSkeletonRelativeTransforms(Stride, &InPlace[0].Transform, Stride,
                                         &InPlace[0].ParentIndex, 100, Stride,
                                         &InPlace[0].Transform);
    for (size_t Index = 0; Index < Bones.size(); ++Index) {
        ExpectNear(Expected[Index], Packed[Index], "stride 68", (int)Index);
        // The same arithmetic in every form: equal to the bit.
        EXPECT_EQ(memcmp(&Packed[Index], &Wide[Index].Transform, sizeof(kelvo_transform)), 0);
        EXPECT_EQ(memcmp(&Packed[Index], &InPlace[Index].Transform, sizeof(kelvo_transform)), 0);
    }
}

TEST_F(SkeletonTest, ParentsThatDoNotPrecedeTheirBoneEndTheChain) {
    std::mt19937 Random(3);
    kelvo_transform Transforms[3] = {RandomTransform(Random), RandomTransform(Random),
                                     RandomTransform(Random)};
    kelvo_int32 const Parents[3] = {1, 2, -5}; // forward, forward, neither -1 nor a bone
    for (kelvo_int32 Index = 0; Index < 3; ++Index) {
        kelvo_transform Result;
        KelvoBuildSkeletonRelativeTransform(68, Transforms, 4, Parents, Index, &Result);
        EXPECT_EQ(memcmp(&Result, &Transforms[Index], sizeof(Result)), 0) << Index;
    }
    kelvo_transform Results[3];
    KelvoBuildSkeletonRelativeTransforms(68, Transforms, 4, Parents, 3, 68, Results);
    EXPECT_EQ(memcmp(Results, Transforms, sizeof(Results)), 0);
}

TEST_F(SkeletonTest, ModelPlacementIsTheCompositeOfItsTransform) {
    std::mt19937 Random(5);
    kelvo_model Model = {};
    Model.InitialPlacement = RandomTransform(Random);
    kelvo_real32 Expected[16], Actual[16];
    KelvoBuildCompositeTransform4x4(&Model.InitialPlacement, Expected);
    KelvoGetModelInitialPlacement4x4(&Model, Actual);
    EXPECT_EQ(memcmp(Expected, Actual, sizeof(Expected)), 0);
}

} // namespace
