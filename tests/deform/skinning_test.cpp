#include "kelvo_test.h"
#include "kv2_sample_asset.h"

#include <math.h>
#include <string.h>

namespace {

class SkinningTest : public KelvoTest {};

// The sample's skinned quad, posed by its animation at several times through
// the library (local pose, world pose, mesh binding, deformer), against
// linear blend skinning computed in double precision from the world pose:
// v' = sum over bones of w / 255 * v . IW . W.
TEST_F(SkinningTest, TheSampleAnimationSkinsAsLinearBlendSkinningInDoublePrecision) {
    kv2::sample_asset Asset;
    kelvo_skeleton const &Skeleton = Asset.Skeleton;
    kelvo_mesh const &Mesh = Asset.Mesh;
    kelvo_int32 const BoneCount = Skeleton.BoneCount;
    kelvo_local_pose *Local = KelvoNewLocalPose(BoneCount);
    kelvo_world_pose *World = KelvoNewWorldPose(BoneCount);
    kelvo_mesh_binding *Binding = KelvoNewMeshBinding(&Mesh, &Skeleton, &Skeleton);
    kelvo_mesh_deformer *Deformer =
        KelvoNewMeshDeformer(KelvoPWNT3432VertexType, KelvoPNT332VertexType, 2, 0);
    ASSERT_TRUE(Local && World && Binding && Deformer);
    kelvo_track_group const &Group = Asset.TrackGroup;
    kelvo_real32 const Duration = Asset.Animation.Duration;
    kelvo_real32 const IdentityPosition[3] = {0, 0, 0}, IdentityOrientation[4] = {0, 0, 0, 1};

    for (kelvo_real32 T : {0.0f, 0.3f, 0.75f}) {
        for (kelvo_int32 Bone = 0; Bone < BoneCount; ++Bone) {
            kelvo_transform *Transform = KelvoGetLocalPoseTransform(Local, Bone);
            KelvoMakeIdentity(Transform);
            kelvo_int32 Track = -1;
            ASSERT_TRUE(KelvoFindTrackByName(&Group, Skeleton.Bones[Bone].Name, &Track));
            kelvo_transform_track const &Source = Group.TransformTracks[Track];
            KelvoEvaluateCurveAtT(3, 0, 0, &Source.PositionCurve, 0, Duration, T,
                                  Transform->Position, IdentityPosition);
            KelvoEvaluateCurveAtT(4, 1, 0, &Source.OrientationCurve, 0, Duration, T,
                                  Transform->Orientation, IdentityOrientation);
            Transform->Flags = KelvoHasPosition | KelvoHasOrientation;
        }
        KelvoBuildWorldPose(&Skeleton, 0, BoneCount, Local, nullptr, World);
        alignas(16) kelvo_real32 Matrices[16 * 2];
        ASSERT_EQ(Mesh.BoneBindingCount, 2);
        KelvoBuildMeshBinding4x4Array(Binding, World, 0, 2, Matrices);
        kelvo_pnt332_vertex Out[4];
        KelvoDeformVertices(Deformer, nullptr, Matrices, 4, Asset.Vertices, Out);

        for (int Vertex = 0; Vertex < 4; ++Vertex) {
            kelvo_pwnt3432_vertex const &In = Asset.Vertices[Vertex];
            double Position[3] = {}, Normal[3] = {};
            for (int Influence = 0; Influence < 4; ++Influence) {
                char const *Name = Mesh.BoneBindings[In.BoneIndices[Influence]].BoneName;
                kelvo_int32 Bone = 0;
                while (strcmp(Skeleton.Bones[Bone].Name, Name) != 0) {
                    ++Bone;
                }
                kelvo_real32 const *IW = Skeleton.Bones[Bone].InverseWorldTransform;
                kelvo_real32 const *W = KelvoGetWorldPose4x4(World, Bone);
                double M[16];
                for (int Row = 0; Row < 4; ++Row) {
                    for (int Column = 0; Column < 4; ++Column) {
                        M[4 * Row + Column] = 0;
                        for (int K = 0; K < 4; ++K) {
                            M[4 * Row + Column] += (double)IW[4 * Row + K] * W[4 * K + Column];
                        }
                    }
                }
                double Weight = In.BoneWeights[Influence] / 255.0;
                for (int Column = 0; Column < 3; ++Column) {
                    double P = M[12 + Column], N = 0;
                    for (int Row = 0; Row < 3; ++Row) {
                        P += In.Position[Row] * M[4 * Row + Column];
                        N += In.Normal[Row] * M[4 * Row + Column];
                    }
                    Position[Column] += Weight * P;
                    Normal[Column] += Weight * N;
                }
            }
            for (int Axis = 0; Axis < 3; ++Axis) {
                EXPECT_NEAR(Out[Vertex].Position[Axis], Position[Axis], 1e-5) << T << " " << Vertex;
                EXPECT_NEAR(Out[Vertex].Normal[Axis], Normal[Axis], 1e-5) << T << " " << Vertex;
            }
            EXPECT_EQ(memcmp(Out[Vertex].TextureCoordinates0, In.TextureCoordinates0, 8), 0);
        }
    }
    KelvoFreeMeshDeformer(Deformer);
    KelvoFreeMeshBinding(Binding);
    KelvoFreeWorldPose(World);
    KelvoFreeLocalPose(Local);
}

} // namespace
