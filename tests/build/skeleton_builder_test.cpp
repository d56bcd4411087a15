// The skeleton builder: parent order, measured and explicit LOD errors, the
// sort with its remapping, and what it refuses.
#include "kelvo_test.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

class SkeletonBuilderTest : public KelvoTest {};

kelvo_real32 const Identity3x3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
kelvo_real32 const NoRotation[4] = {0, 0, 0, 1};
kelvo_real32 const Identity4x4[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

struct bone_input {
    kelvo_int32 Parent;
    kelvo_real32 Offset;   // along x
    kelvo_real32 LODError; // negative: none given
};

kelvo_skeleton *Build(std::vector<bone_input> const &Bones, std::vector<kelvo_int32> &Remapping) {
    kelvo_skeleton_builder *Builder = KelvoBeginSkeleton((kelvo_int32)Bones.size());
    for (bone_input const &Bone : Bones) {
        kelvo_real32 const Position[3] = {Bone.Offset, 0, 0};
        KelvoAddBoneWithInverse(Builder, Position, NoRotation, Identity3x3, Identity4x4);
    }
    for (size_t Index = 0; Index < Bones.size(); ++Index) {
        KelvoSetBoneParent(Builder, (kelvo_int32)Index, Bones[Index].Parent);
        if (Bones[Index].LODError >= 0) {
            KelvoSetBoneLODError(Builder, (kelvo_int32)Index, Bones[Index].LODError);
        }
    }
    Remapping.assign(Bones.size(), -7);
    return KelvoEndSkeleton(Builder, Remapping.data());
}

std::vector<kelvo_real32> Errors(kelvo_skeleton const *Skeleton) {
    std::vector<kelvo_real32> Result;
    for (kelvo_int32 Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
        Result.push_back(Skeleton->Bones[Bone].LODError);
    }
    return Result;
}

std::vector<kelvo_int32> Parents(kelvo_skeleton const *Skeleton) {
    std::vector<kelvo_int32> Result;
    for (kelvo_int32 Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
        Result.push_back(Skeleton->Bones[Bone].ParentIndex);
    }
    return Result;
}

void Free(kelvo_skeleton *Skeleton) {
    kelvo_allocate_callback *Allocate;
    kelvo_deallocate_callback *Deallocate;
    KelvoGetAllocator(&Allocate, &Deallocate);
    Deallocate(__FILE__, __LINE__, Skeleton);
}

TEST_F(SkeletonBuilderTest, OrdersParentsFirstAndByLODError) {
    struct {
        char const *Name;
        std::vector<bone_input> Bones;
        std::vector<kelvo_int32> Remapping, Parents;
        std::vector<kelvo_real32> Errors;
        kelvo_int32 LODType;
    } const Cases[] = {
        {"child then root", {{1, 3, -1}, {-1, 0, -1}}, {1, 0}, {-1, 0}, {3, 1.5f}, 1},
        {"chain 10 / 5 / 2.5",
         {{-1, 0, -1}, {0, 10, -1}, {1, 5, -1}},
         {0, 1, 2},
         {-1, 0, 1},
         {10, 5, 2.5f},
         1},
        {"an explicit error", {{-1, 0, -1}, {0, 10, 4}}, {0, 1}, {-1, 0}, {10, 4}, 2},
        {"an explicit leaf error rises to the root",
         {{-1, 0, -1}, {0, 10, -1}, {1, 5, 20}},
         {0, 1, 2},
         {-1, 0, 1},
         {20, 20, 20},
         2},
        {"siblings sorted, ties stable",
         {{-1, 0, -1}, {0, 1, 1}, {0, 1, 5}, {0, 1, 1}},
         {0, 2, 1, 3},
         {-1, 0, 0, 0},
         {5, 5, 1, 1},
         2},
        {"grandchild emitted after its parent",
         {{2, 1, -1}, {-1, 0, -1}, {1, 4, -1}},
         {2, 0, 1},
         {-1, 0, 1},
         {4, 1, 0.5f},
         1},
    };
    for (auto const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::vector<kelvo_int32> Remapping;
        kelvo_skeleton *Skeleton = Build(Case.Bones, Remapping);
        ASSERT_NE(Skeleton, nullptr);
        EXPECT_EQ(Remapping, Case.Remapping);
        EXPECT_EQ(Parents(Skeleton), Case.Parents);
        EXPECT_EQ(Errors(Skeleton), Case.Errors);
        EXPECT_EQ(Skeleton->LODType, Case.LODType);
        EXPECT_EQ(Skeleton->Name, nullptr);
        for (size_t Input = 0; Input < Case.Bones.size(); ++Input) {
            EXPECT_EQ(Skeleton->Bones[Remapping[Input]].Transform.Position[0],
                      Case.Bones[Input].Offset);
        }
        Free(Skeleton);
    }
}

TEST_F(SkeletonBuilderTest, OffsetsAreCarriedThroughAncestorScales) {
    // The leaf's offset 1 is doubled by its parent's scale before it reaches
    // the root, whose own child offset is 1.5.
    kelvo_skeleton_builder *Builder = KelvoBeginSkeleton(3);
    kelvo_real32 const Scale2[9] = {2, 0, 0, 0, 2, 0, 0, 0, 2};
    kelvo_real32 const Zero[3] = {0, 0, 0}, Mid[3] = {1.5f, 0, 0}, Leaf[3] = {1, 0, 0};
    KelvoAddBoneWithInverse(Builder, Zero, NoRotation, Identity3x3, Identity4x4);
    KelvoAddBoneWithInverse(Builder, Mid, NoRotation, Scale2, Identity4x4);
    KelvoAddBoneWithInverse(Builder, Leaf, NoRotation, Identity3x3, Identity4x4);
    KelvoSetBoneParent(Builder, 1, 0);
    KelvoSetBoneParent(Builder, 2, 1);
    kelvo_skeleton *Skeleton = KelvoEndSkeleton(Builder, nullptr);
    EXPECT_EQ(Errors(Skeleton), (std::vector<kelvo_real32>{2, 1, 0.5f}));
    Free(Skeleton);
}

TEST_F(SkeletonBuilderTest, CyclesAndMissingParentsBecomeRoots) {
    std::vector<kelvo_int32> Remapping;
    kelvo_skeleton *Skeleton = Build({{1, 1, -1}, {0, 1, -1}}, Remapping);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoSkeletonLogMessage,
                     "Circular parenting chain located at bone 0");
    EXPECT_EQ(Parents(Skeleton), (std::vector<kelvo_int32>{-1, 0}));
    EXPECT_EQ(Remapping, (std::vector<kelvo_int32>{0, 1}));
    Free(Skeleton);

    // Three bones in a ring below a real root.
    Skeleton = Build({{-1, 0, -1}, {3, 1, -1}, {1, 1, -1}, {2, 1, -1}}, Remapping);
    ExpectLogged(KelvoErrorLogMessage, "Circular parenting chain located at bone 1");
    EXPECT_EQ(Skeleton->BoneCount, 4);
    for (kelvo_int32 Bone = 0; Bone < 4; ++Bone) {
        EXPECT_LT(Skeleton->Bones[Bone].ParentIndex, Bone);
    }
    Free(Skeleton);

    // A parent inside the allotted bones that was never added.
    kelvo_skeleton_builder *Builder = KelvoBeginSkeleton(3);
    kelvo_real32 const Zero[3] = {0, 0, 0};
    KelvoAddBoneWithInverse(Builder, Zero, NoRotation, Identity3x3, Identity4x4);
    KelvoSetBoneParent(Builder, 0, 2);
    Skeleton = KelvoEndSkeleton(Builder, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "parent index (2) is out of specified bone domain (1)");
    ASSERT_EQ(Skeleton->BoneCount, 1);
    EXPECT_EQ(Skeleton->Bones[0].ParentIndex, -1);
    Free(Skeleton);
}

TEST_F(SkeletonBuilderTest, RefusesNullPartsAndIndicesOutsideTheAllottedBones) {
    kelvo_skeleton_builder *Builder = KelvoBeginSkeleton(2);
    kelvo_real32 const Zero[3] = {0, 0, 0};
    // Refused bones use up no slot.
    KelvoAddBoneWithInverse(Builder, Zero, nullptr, Identity3x3, Identity4x4);
    ExpectLogged(KelvoErrorLogMessage, "LocalOrientation is not allowed to be 0");
    KelvoAddBone(Builder, Zero, NoRotation, Identity3x3, Zero, NoRotation, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "WorldScaleShear is not allowed to be 0");
    for (int Bone = 0; Bone < 3; ++Bone) {
        KelvoAddBoneWithInverse(Builder, Zero, NoRotation, Identity3x3, Identity4x4);
    }
    ExpectLogged(KelvoErrorLogMessage, "AddBone called after all allotted bones were already used");
    KelvoSetBoneParent(Builder, 1, 0);
    KelvoSetBoneParent(Builder, 2, 0);
    ExpectLogged(KelvoErrorLogMessage,
                 "SetBoneParent bone index (2) is out of specified bone domain (2)");
    KelvoSetBoneParent(Builder, 1, 2);
    ExpectLogged(KelvoErrorLogMessage,
                 "SetBoneParent parent index (2) is out of specified bone domain (2)");
    KelvoSetBoneParent(Builder, 1, -2);
    ExpectLogged(KelvoErrorLogMessage,
                 "SetBoneParent parent index (-2) is out of specified bone domain (2)");
    KelvoSetBoneLODError(Builder, -1, 5);
    ExpectLogged(KelvoErrorLogMessage, "bone index (-1) is out of specified bone domain (2)");
    kelvo_skeleton *Skeleton = KelvoEndSkeleton(Builder, nullptr);
    EXPECT_EQ(Parents(Skeleton), (std::vector<kelvo_int32>{-1, 0}));
    EXPECT_EQ(Skeleton->LODType, 1);
    Free(Skeleton);
    EXPECT_EQ(KelvoEndSkeleton(nullptr, nullptr), nullptr);
}

TEST_F(SkeletonBuilderTest, AddBoneStoresTheInverseOfTheWorldTransform) {
    kelvo_real32 const Position[3] = {1, -2, 3};
    kelvo_real32 const Orientation[4] = {0.2f, 0.4f, -0.1f, 0.88f};
    kelvo_real32 const ScaleShear[9] = {1.5f, 0.1f, 0, 0, 0.8f, 0, 0.2f, 0, 2};
    kelvo_skeleton_builder *Builder = KelvoBeginSkeleton(1);
    KelvoAddBone(Builder, Position, Orientation, ScaleShear, Position, Orientation, ScaleShear);
    kelvo_skeleton *Skeleton = KelvoEndSkeleton(Builder, nullptr);
    kelvo_transform World;
    KelvoSetTransformWithIdentityCheck(&World, Position, Orientation, ScaleShear);
    kelvo_real32 Composite[16], Product[16];
    KelvoBuildCompositeTransform4x4(&World, Composite);
    KelvoColumnMatrixMultiply4x4(Product, Composite, Skeleton->Bones[0].InverseWorldTransform);
    for (int Index = 0; Index < 16; ++Index) {
        EXPECT_NEAR(Product[Index], Identity4x4[Index], 1e-5f) << Index;
    }
    EXPECT_EQ(std::memcmp(&Skeleton->Bones[0].Transform, &World, sizeof(World)), 0);
    Free(Skeleton);
}

TEST_F(SkeletonBuilderTest, RandomHierarchiesKeepTheSkeletonInvariants) {
    std::mt19937 Random(21);
    for (int Round = 0; Round < 50; ++Round) {
        int Count = 1 + (int)(Random() % 40);
        // A random forest, then shuffled into the input order.
        std::vector<int> Shuffle(Count);
        for (int Index = 0; Index < Count; ++Index) {
            Shuffle[Index] = Index;
        }
        std::shuffle(Shuffle.begin(), Shuffle.end(), Random);
        std::vector<bone_input> Bones(Count);
        for (int Index = 0; Index < Count; ++Index) {
            int Parent = Index == 0 || Random() % 5 == 0 ? -1 : (int)(Random() % Index);
            Bones[Shuffle[Index]] = {Parent < 0 ? -1 : Shuffle[Parent],
                                     (kelvo_real32)(Random() % 10),
                                     Random() % 4 == 0 ? (kelvo_real32)(Random() % 30) : -1};
        }
        std::vector<kelvo_int32> Remapping;
        kelvo_skeleton *Skeleton = Build(Bones, Remapping);
        std::vector<kelvo_int32> Sorted = Remapping;
        std::sort(Sorted.begin(), Sorted.end());
        for (int Index = 0; Index < Count; ++Index) {
            ASSERT_EQ(Sorted[Index], Index);
            kelvo_bone const &Bone = Skeleton->Bones[Remapping[Index]];
            EXPECT_EQ(Bone.ParentIndex,
                      Bones[Index].Parent < 0 ? -1 : Remapping[Bones[Index].Parent]);
            EXPECT_LT(Bone.ParentIndex, Remapping[Index]);
            if (Bone.ParentIndex >= 0) {
                EXPECT_GE(Skeleton->Bones[Bone.ParentIndex].LODError, Bone.LODError);
            }
            if (Index > 0) {
                EXPECT_GE(Skeleton->Bones[Index - 1].LODError, Skeleton->Bones[Index].LODError);
            }
        }
        Free(Skeleton);
    }
}

TEST_F(SkeletonBuilderTest, FailedAllocationsLoseNothing) {
    for (int FailAt = 1; FailAt <= 2; ++FailAt) {
        failing_allocator Failing(FailAt);
        kelvo_skeleton_builder *Builder = KelvoBeginSkeleton(3);
        if (Builder) {
            kelvo_real32 const Zero[3] = {0, 0, 0};
            KelvoAddBoneWithInverse(Builder, Zero, NoRotation, Identity3x3, Identity4x4);
            EXPECT_EQ(KelvoEndSkeleton(Builder, nullptr), nullptr);
        }
        TakeMessages();
    }
}

} // namespace
