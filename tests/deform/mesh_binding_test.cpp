#include "kelvo_test.h"

#include <vector>

namespace {

class MeshBindingTest : public KelvoTest {};

// A chain root -> spine -> tip, each bone translated from its parent; the
// inverse world transforms undo the summed translations.
struct chain {
    kelvo_bone Bones[3] = {};
    kelvo_skeleton Skeleton = {"chain", 3, Bones, 0};

    explicit chain(float Scale) {
        char const *Names[3] = {"root", "spine", "tip"};
        float World[3] = {0, 0, 0};
        for (int Index = 0; Index < 3; ++Index) {
            kelvo_bone &Bone = Bones[Index];
            Bone.Name = Names[Index];
            Bone.ParentIndex = Index - 1;
            KelvoMakeIdentity(&Bone.Transform);
            Bone.Transform.Flags = KelvoHasPosition;
            Bone.Transform.Position[Index] = Scale * (Index + 1);
            World[Index] += Scale * (Index + 1);
            for (int Element = 0; Element < 16; ++Element) {
                Bone.InverseWorldTransform[Element] = Element % 5 == 0 ? 1.0f : 0.0f;
            }
            for (int Axis = 0; Axis < 3; ++Axis) {
                Bone.InverseWorldTransform[12 + Axis] = -World[Axis];
            }
        }
    }
};

struct bound_mesh {
    kelvo_bone_binding Bindings[3] = {};
    kelvo_mesh Mesh = {};
    bound_mesh() {
        char const *Names[3] = {"tip", "missing", "spine"};
        for (int Slot = 0; Slot < 3; ++Slot) {
            Bindings[Slot].BoneName = Names[Slot];
        }
        Mesh.Name = "mesh";
        Mesh.BoneBindingCount = 3;
        Mesh.BoneBindings = Bindings;
    }
};

TEST_F(MeshBindingTest, NamesResolveOnceAndAMissingBoneIsBoneZero) {
    chain Chain(1.0f);
    bound_mesh Mesh;
    kelvo_mesh_binding *Binding = KelvoNewMeshBinding(&Mesh.Mesh, &Chain.Skeleton, &Chain.Skeleton);
    ASSERT_NE(Binding, nullptr);
    EXPECT_FALSE(KelvoMeshBindingIsTransferred(Binding));
    EXPECT_EQ(KelvoGetMeshBindingBoneCount(Binding), 3);
    EXPECT_EQ(KelvoGetMeshBindingSourceMesh(Binding), &Mesh.Mesh);
    kelvo_int32 const *To = KelvoGetMeshBindingToBoneIndices(Binding);
    EXPECT_EQ(KelvoGetMeshBindingFromBoneIndices(Binding), To);
    EXPECT_EQ(std::vector<kelvo_int32>(To, To + 3), (std::vector<kelvo_int32>{2, 0, 1}));
    EXPECT_EQ(KelvoGetMeshBinding4x4ArraySize(Binding, 3), 192);
    KelvoFreeMeshBinding(Binding);

    failing_allocator Failing(1);
    EXPECT_EQ(KelvoNewMeshBinding(&Mesh.Mesh, &Chain.Skeleton, &Chain.Skeleton), nullptr);
    TakeMessages();
}

TEST_F(MeshBindingTest, SlotMatricesTakeRestSpaceIntoThePosedWorld) {
    chain Model(1.0f), Animated(2.0f);
    bound_mesh Mesh;
    kelvo_world_pose *Pose = KelvoNewWorldPose(3);
    ASSERT_NE(Pose, nullptr);
    KelvoBuildRestWorldPose(&Animated.Skeleton, 0, 3, nullptr, Pose);
    kelvo_real32 Matrices[3 * 16];

    // Bound to its own skeleton at rest: every slot is the identity.
    kelvo_mesh_binding *Same =
        KelvoNewMeshBinding(&Mesh.Mesh, &Animated.Skeleton, &Animated.Skeleton);
    KelvoBuildMeshBinding4x4Array(Same, Pose, 0, 3, Matrices);
    for (int Element = 0; Element < 3 * 16; ++Element) {
        EXPECT_NEAR(Matrices[Element], Element % 16 % 5 == 0 ? 1.0f : 0.0f, 1e-6) << Element;
    }

    // Transferred: the model's rest space carried onto the animated bones,
    // whose translations are twice as long.
    kelvo_mesh_binding *Moved =
        KelvoNewMeshBinding(&Mesh.Mesh, &Model.Skeleton, &Animated.Skeleton);
    EXPECT_TRUE(KelvoMeshBindingIsTransferred(Moved));
    EXPECT_NE(KelvoGetMeshBindingFromBoneIndices(Moved), KelvoGetMeshBindingToBoneIndices(Moved));
    KelvoBuildMeshBinding4x4Array(Moved, Pose, 1, 2, Matrices);
    EXPECT_FLOAT_EQ(Matrices[12], 1.0f); // slot 1: bone 0, (1, 0, 0) -> (2, 0, 0)
    EXPECT_FLOAT_EQ(Matrices[13], 0.0f);
    EXPECT_FLOAT_EQ(Matrices[16 + 12], 1.0f); // slot 2: bone 1, (1, 2, 0) -> (2, 4, 0)
    EXPECT_FLOAT_EQ(Matrices[16 + 13], 2.0f);
    KelvoFreeMeshBinding(Moved);

    struct range_case {
        kelvo_int32 First, Count;
        char const *Message; // null: succeeds
    } const Ranges[] = {{3, 1, "FirstBoneIndex 3 is out of range [0, 3)"},
                        {-1, 1, "FirstBoneIndex -1 is out of range [0, 3)"},
                        {1, 3, "FirstBoneIndex + BoneCount 4 is out of range [0, 4)"},
                        {0, 3, nullptr}};
    for (range_case const &Case : Ranges) {
        KelvoBuildMeshBinding4x4Array(Same, Pose, Case.First, Case.Count, Matrices);
        if (Case.Message) {
            ExpectLoggedFrom(KelvoErrorLogMessage, KelvoMeshBindingLogMessage, Case.Message);
        }
    }
    KelvoFreeMeshBinding(Same);
    KelvoFreeWorldPose(Pose);
}

} // namespace
