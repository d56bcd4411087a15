#include "anim/track_test_support.h"
#include "kelvo_test.h"

namespace {

class LODCalculationTest : public KelvoTest {};

// A root that slides two units along x over the second, a child held one
// unit above it, and a tail bone without a track; each bone has a unit box.
struct sliding_model {
    char const *Names[3] = {"root", "child", "tail"};
    kelvo_bone Bones[3];
    kelvo_skeleton Skeleton = {"skeleton", 3, Bones, 0};
    kelvo_model Model = {};
    kelvo_bone_binding Boxes[3];
    kelvo_mesh Mesh = {};
    test_track Root{"root", BuildCurve(KelvoCurveDataDaK32fC32fType, 1, 3, {0, 1}, {0, 0, 0, 2, 0, 0}),
                    IdentityCurve(4), IdentityCurve(9)};
    test_track Child{"child", BuildCurve(KelvoCurveDataD3Constant32fType, 0, 3, {}, {0, 1, 0}),
                     IdentityCurve(4), IdentityCurve(9)};
    kelvo_transform_track Tracks[2] = {Root.Track, Child.Track};
    kelvo_track_group Group = {};
    kelvo_track_group_slot Slot = &Group;
    kelvo_animation Animation = {"slide", 1.0f, 0.25f, 1.0f, 1, &Slot};

    sliding_model() {
        for (int Index = 0; Index < 3; ++Index) {
            Bones[Index] = {};
            Bones[Index].Name = Names[Index];
            Bones[Index].ParentIndex = Index - 1;
            KelvoMakeIdentity(&Bones[Index].Transform);
            Boxes[Index] = {Names[Index], {0, 0, 0}, {1, 1, 1}, 0, nullptr};
        }
        Model.Name = "slider";
        Model.Skeleton = &Skeleton;
        Mesh.BoneBindingCount = 3;
        Mesh.BoneBindings = Boxes;
        Group.Name = "slider";
        Group.TransformTrackCount = 2;
        Group.TransformTracks = Tracks;
    }
};

TEST_F(LODCalculationTest, ErrorsMeasureHowFarBoxesMove) {
    sliding_model Slider;
    kelvo_mesh_binding *Mesh = KelvoNewMeshBinding(&Slider.Mesh, &Slider.Skeleton, &Slider.Skeleton);
    kelvo_model_instance *Instance = KelvoInstantiateModel(&Slider.Model);
    kelvo_control *Control = KelvoPlayControlledAnimation(0.0f, &Slider.Animation, Instance);
    ASSERT_NE(Control, nullptr);
    KelvoCalculateLODErrorValuesAllBindings(Instance, Mesh, nullptr, 0.5f);
    kelvo_animation_binding *Binding =
        KelvoGetAnimationBindingFromControlBinding(KelvoModelControlsBegin(Instance));
    // Held at its first value the root is two units behind at the end.
    EXPECT_NEAR(KelvoGetLODErrorValue(Binding, 0), 2.0f * 0.5f, 1e-5f);
    EXPECT_EQ(KelvoGetLODErrorValue(Binding, 1), 0.0f); // constant
    EXPECT_EQ(KelvoGetLODErrorValue(Binding, 2), KELVO_NEVER_REDUCED_LOD_ERROR); // no track

    // A mesh bound to another skeleton is refused.
    sliding_model Other;
    kelvo_mesh_binding *Elsewhere =
        KelvoNewMeshBinding(&Other.Mesh, &Other.Skeleton, &Other.Skeleton);
    KelvoCalculateLODErrorValues(Binding, Elsewhere, nullptr, 1.0f);
    ExpectLogged(KelvoErrorLogMessage, "must equal OnSkeleton");
    KelvoFreeMeshBinding(Elsewhere);
    KelvoFreeControl(Control);
    KelvoFreeModelInstance(Instance);

    // Over a whole animation: errors arrays made for the run, raised to
    // Scale x Tolerance x the measure, then freed again.
    kelvo_animation_lod_calculation *Calculation =
        KelvoCalculateAnimationLODBegin(&Slider.Animation, 2.0f);
    ASSERT_EQ(Slider.Group.TransformLODErrorCount, 2);
    EXPECT_EQ(Slider.Group.TransformLODErrors[0], -31415.0f);
    KelvoCalculateAnimationLODAddMeshBinding(Calculation, &Slider.Model, Mesh, 1.5f);
    KelvoCalculateAnimationLODEnd(Calculation);
    EXPECT_NEAR(Slider.Group.TransformLODErrors[0], 2.0f * 2.0f * 1.5f, 1e-4f);
    EXPECT_EQ(Slider.Group.TransformLODErrors[1], 0.0f);
    KelvoCalculateAnimationLODCleanup(Calculation);
    EXPECT_TRUE(Slider.Group.TransformLODErrors == nullptr);
    KelvoFreeMeshBinding(Mesh);
}

} // namespace
