// kv2 import on the shared test data: the imported file plays every bone
// and skins every vertex where assimp's own scene puts them, within what
// the fitting tolerances allow; imports repeat byte for byte; broken
// inputs fail cleanly.
#include "kelvo_test.h"
#include "kv2_runner.h"

#if defined(KELVO_KV2_PATH) && defined(KELVO_HAVE_ASSIMP)
#include <assimp/cexport.h>
#include <assimp/cimport.h>
#include <assimp/scene.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cmath>
#include <map>

std::string SharedDataPath(char const *RelativePath);

namespace {

constexpr float PositionTolerance = 0.001f, RotationTolerance = 1.0e-6f, ScaleTolerance = 0.001f;
// A shared file, read as it is or first written to another format by
// assimp's own exporter (no shared file is COLLADA or FBX).
struct source {
    char const *File;
    char const *Exporter; // assimp's exporter id, or null
    char const *Extension;
};

source const Sources[] = {
    {"characters/CesiumMan.glb", nullptr, nullptr},
    {"characters/RiggedFigure.glb", nullptr, nullptr},
    {"characters/RiggedSimple.glb", nullptr, nullptr},
    {"characters/SimpleSkin.gltf", nullptr, nullptr},
    {"mocap/walk.bvh", nullptr, nullptr},
    {"characters/RiggedFigure.glb", "collada", "dae"},
    // assimp cannot read back its own binary FBX, and its ASCII FBX keeps
    // RiggedFigure's two keys as one: RiggedSimple's 50 keys survive.
    {"characters/RiggedSimple.glb", "fbxa", "fbx"},
};

// The exported copy of a source in the temporary folder. The exporters
// write key times in ticks where the formats want seconds, so the copy is
// first retimed to one tick per second.
std::string Exported(source const &Source) {
    std::string Path = TemporaryPath(
        (std::string("exported_") + Source.Exporter + "." + Source.Extension).c_str());
    aiScene const *Scene = aiImportFile(SharedDataPath(Source.File).c_str(), 0);
    aiScene *Copy = nullptr;
    if (Scene) {
        aiCopyScene(Scene, &Copy);
        aiReleaseImport(Scene);
    }
    for (unsigned Index = 0; Copy && Index < Copy->mNumAnimations; ++Index) {
        aiAnimation *Animation = Copy->mAnimations[Index];
        double Ticks = Animation->mTicksPerSecond > 0 ? Animation->mTicksPerSecond : 25;
        auto Retime = [Ticks](auto *Keys, unsigned Count) {
            for (unsigned Key = 0; Key < Count; ++Key) {
                Keys[Key].mTime /= Ticks;
            }
        };
        for (unsigned C = 0; C < Animation->mNumChannels; ++C) {
            aiNodeAnim *Channel = Animation->mChannels[C];
            Retime(Channel->mPositionKeys, Channel->mNumPositionKeys);
            Retime(Channel->mRotationKeys, Channel->mNumRotationKeys);
            Retime(Channel->mScalingKeys, Channel->mNumScalingKeys);
        }
        Animation->mDuration /= Ticks;
        Animation->mTicksPerSecond = 1;
    }
    bool Written =
        Copy && aiExportScene(Copy, Source.Exporter, Path.c_str(), 0) == aiReturn_SUCCESS;
    EXPECT_TRUE(Written) << Source.File << " as " << Source.Exporter << ": " << aiGetErrorString();
    aiFreeScene(Copy);
    return Written ? Path : std::string();
}

// The file a source's tests read: made once per test binary.
std::string const &SourcePath(source const &Source) {
    static std::map<std::string, std::string> Done;
    std::string Key = std::string(Source.File) + (Source.Exporter ? Source.Exporter : "");
    auto Found = Done.find(Key);
    if (Found == Done.end()) {
        Found = Done.emplace(Key, Source.Exporter ? Exported(Source) : SharedDataPath(Source.File))
                    .first;
    }
    return Found->second;
}

// Each file imported once per test binary, at the tolerances above.
std::string const &Imported(std::string const &Path) {
    static std::map<std::string, std::string> Done;
    auto Found = Done.find(Path);
    if (Found == Done.end()) {
        std::string Out = TemporaryPath((std::to_string(Done.size()) + "_import.kv2").c_str());
        run_result Run = RunKv2({"import", Path, Out, "--quiet", "--tolerance",
                                 std::to_string(PositionTolerance), "--rotation-tolerance",
                                 std::to_string(RotationTolerance)});
        EXPECT_EQ(Run.Status, 0) << Run.Err;
        Found = Done.emplace(Path, Run.Status == 0 ? Out : std::string()).first;
    }
    return Found->second;
}

using matrix = aiMatrix4x4t<double>;

matrix Widen(aiMatrix4x4 const &M) {
    matrix Result;
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            Result[Row][Column] = M[Row][Column];
        }
    }
    return Result;
}

aiVector3t<double> Origin(matrix const &M) {
    return {M.a4, M.b4, M.c4};
}

// Keys interpolated as the formats define them: linear for translation
// and scale, spherical for rotation, held before the first and after the last.
template <class Key, class Value, class Blend>
Value Interpolate(Key const *Keys, unsigned Count, double Time, Value Rest, Blend const &Mix) {
    if (Count == 0) {
        return Rest;
    }
    if (Time <= Keys[0].mTime) {
        return Keys[0].mValue;
    }
    for (unsigned Index = 0; Index + 1 < Count; ++Index) {
        if (Time < Keys[Index + 1].mTime) {
            double F = (Time - Keys[Index].mTime) / (Keys[Index + 1].mTime - Keys[Index].mTime);
            return Mix(Keys[Index].mValue, Keys[Index + 1].mValue, (float)F);
        }
    }
    return Keys[Count - 1].mValue;
}

// Every node's world transform at Seconds into the animation (null: at rest).
std::map<std::string, matrix> WorldAt(aiScene const *Scene, aiAnimation const *Animation,
                                      double Seconds) {
    std::map<std::string, aiNodeAnim const *> Channels;
    for (unsigned Index = 0; Animation && Index < Animation->mNumChannels; ++Index) {
        Channels[Animation->mChannels[Index]->mNodeName.C_Str()] = Animation->mChannels[Index];
    }
    double Ticks =
        Animation ? Seconds * (Animation->mTicksPerSecond > 0 ? Animation->mTicksPerSecond : 25)
                  : 0;
    std::map<std::string, matrix> World;
    std::vector<std::pair<aiNode const *, matrix>> Stack = {{Scene->mRootNode, matrix()}};
    while (!Stack.empty()) {
        auto [Node, Parent] = Stack.back();
        Stack.pop_back();
        aiMatrix4x4 Local = Node->mTransformation;
        auto Channel = Channels.find(Node->mName.C_Str());
        if (Channel != Channels.end()) {
            aiNodeAnim const *C = Channel->second;
            aiVector3D Scale, Position;
            aiQuaternion Rotation;
            Local.Decompose(Scale, Rotation, Position);
            auto Lerp = [](aiVector3D A, aiVector3D B, float F) { return A + (B - A) * F; };
            auto Slerp = [](aiQuaternion A, aiQuaternion B, float F) {
                aiQuaternion Out;
                aiQuaternion::Interpolate(Out, A, B, F);
                return Out;
            };
            Position = Interpolate(C->mPositionKeys, C->mNumPositionKeys, Ticks, Position, Lerp);
            Rotation = Interpolate(C->mRotationKeys, C->mNumRotationKeys, Ticks, Rotation, Slerp);
            Scale = Interpolate(C->mScalingKeys, C->mNumScalingKeys, Ticks, Scale, Lerp);
            Local = aiMatrix4x4(Scale, Rotation.Normalize(), Position);
        }
        matrix Global = Parent * Widen(Local);
        World.emplace(Node->mName.C_Str(), Global);
        for (unsigned Child = 0; Child < Node->mNumChildren; ++Child) {
            Stack.push_back({Node->mChildren[Child], Global});
        }
    }
    return World;
}

// How far the tolerances let a bone drift: each ancestor's position error,
// and its rotation and scale error swinging everything below it.
struct drift {
    double Position;
    double Swing; // radians (or relative scale) summed along the chain
};

drift Allowed(aiNode const *Node, std::map<std::string, matrix> const &World) {
    double const Angle = 2 * std::acos(1.0 - RotationTolerance) + ScaleTolerance;
    aiVector3t<double> Here = Origin(World.at(Node->mName.C_Str()));
    drift Result = {1.0e-5 * (1 + Here.Length()), 0};
    for (aiNode const *At = Node; At; At = At->mParent) {
        double ParentScale = 1;
        if (At->mParent) {
            matrix const &P = World.at(At->mParent->mName.C_Str());
            ParentScale = std::max({aiVector3t<double>(P.a1, P.b1, P.c1).Length(),
                                    aiVector3t<double>(P.a2, P.b2, P.c2).Length(),
                                    aiVector3t<double>(P.a3, P.b3, P.c3).Length()});
        }
        double Lever = (Here - Origin(World.at(At->mName.C_Str()))).Length();
        Result.Position += PositionTolerance * ParentScale + Angle * Lever;
        Result.Swing += Angle;
    }
    return Result;
}

// The reference skin of a mesh: per vertex its rest position in the model
// and its bones' nodes, offsets and weights.
struct reference_skin {
    std::vector<aiVector3t<double>> Rest;
    std::vector<std::vector<std::tuple<std::string, matrix, double>>> Bones;
};

reference_skin SkinOf(aiScene const *Scene, aiMesh const *Mesh, std::string const &Holder,
                      std::map<std::string, matrix> const &RestWorld) {
    reference_skin Skin;
    Skin.Bones.resize(Mesh->mNumVertices);
    matrix ToModel; // a rigid mesh moves with the node holding it
    if (Mesh->mNumBones == 0) {
        ToModel = RestWorld.at(Holder);
        for (auto &Bones : Skin.Bones) {
            Bones.push_back({Holder, ToModel.Inverse(), 1.0});
        }
    }
    for (unsigned Index = 0; Index < Mesh->mNumBones; ++Index) {
        aiBone const *Bone = Mesh->mBones[Index];
        for (unsigned W = 0; W < Bone->mNumWeights; ++W) {
            Skin.Bones[Bone->mWeights[W].mVertexId].push_back(
                {Bone->mName.C_Str(), Widen(Bone->mOffsetMatrix), Bone->mWeights[W].mWeight});
        }
    }
    for (unsigned Index = 0; Index < Mesh->mNumVertices; ++Index) {
        aiVector3D const &V = Mesh->mVertices[Index];
        Skin.Rest.push_back(ToModel * aiVector3t<double>(V.x, V.y, V.z));
    }
    (void)Scene;
    return Skin;
}

// Linear blend skinning of vertex Index, with the largest distance between
// what its bones alone would make of it.
aiVector3t<double> Skinned(reference_skin const &Skin, size_t Index, aiVector3t<double> Model,
                           std::map<std::string, matrix> const &World, double &Spread) {
    aiVector3t<double> Sum(0, 0, 0);
    std::vector<aiVector3t<double>> Each;
    double Total = 0;
    for (auto const &[Node, Offset, Weight] : Skin.Bones[Index]) {
        Each.push_back(World.at(Node) * (Offset * Model));
        Sum += Each.back() * Weight;
        Total += Weight;
    }
    Spread = 0;
    for (auto const &A : Each) {
        for (auto const &B : Each) {
            Spread = std::max(Spread, (A - B).Length());
        }
    }
    return Total > 0 ? Sum / Total : Sum;
}

struct holder_mesh {
    aiMesh const *Mesh;
    std::string Holder;
};

std::map<std::string, holder_mesh> MeshesByName(aiScene const *Scene) {
    std::map<std::string, holder_mesh> Result;
    std::vector<aiNode const *> Stack = {Scene->mRootNode};
    while (!Stack.empty()) {
        aiNode const *Node = Stack.back();
        Stack.pop_back();
        for (unsigned Slot = 0; Slot < Node->mNumMeshes; ++Slot) {
            aiMesh const *Mesh = Scene->mMeshes[Node->mMeshes[Slot]];
            // An unnamed mesh goes by its node's name.
            std::string Name = Mesh->mName.length ? Mesh->mName.C_Str() : Node->mName.C_Str();
            Result.emplace(Name, holder_mesh{Mesh, Node->mName.C_Str()});
        }
        for (unsigned Child = 0; Child < Node->mNumChildren; ++Child) {
            Stack.push_back(Node->mChildren[Child]);
        }
    }
    return Result;
}

class Kv2ImportTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        if (SharedDataPath("").empty()) {
            GTEST_SKIP() << "../shared/data is absent: the import tests need the shared test data";
        }
    }
};

struct played {
    kelvo_model_instance *Instance;
    kelvo_control *Control;
    kelvo_local_pose *Pose;
    kelvo_world_pose *World;
};

// Compares one mesh's deformed vertices at one time; returns the worst
// error over its bound.
double CompareSkin(kelvo_mesh const *Mesh, kelvo_skeleton const *Skeleton, played const &Play,
                   reference_skin const &Skin, std::vector<std::vector<size_t>> const &Matches,
                   std::map<std::string, matrix> const &World,
                   std::map<std::string, drift> const &Drifts) {
    kelvo_mesh_binding *Binding = KelvoNewMeshBinding(Mesh, Skeleton, Skeleton);
    kelvo_int32 Bones = KelvoGetMeshBindingBoneCount(Binding);
    std::vector<kelvo_real32> Matrices((size_t)Bones * 16 + 16);
    KelvoBuildMeshBinding4x4Array(Binding, Play.World, 0, Bones, Matrices.data());
    kelvo_data_type_definition const *In = KelvoGetMeshVertexType(Mesh);
    bool Tangents = KelvoDataTypesAreEqual(In, KelvoPWNGT34332VertexType);
    kelvo_data_type_definition const *Out =
        Tangents ? KelvoPNGT3332VertexType : KelvoPN33VertexType;
    kelvo_mesh_deformer *Deformer = KelvoNewMeshDeformer(
        In, Out, Tangents ? KelvoDeformPositionNormalTangent : KelvoDeformPositionNormal, 0);
    kelvo_int32 Count = KelvoGetMeshVertexCount(Mesh);
    kelvo_int32 Stride = KelvoGetTotalObjectSize(Out);
    std::vector<char> Deformed((size_t)Count * Stride);
    KelvoDeformVertices(Deformer, nullptr, Matrices.data(), Count, KelvoGetMeshVertices(Mesh),
                        Deformed.data());
    double Worst = 0;
    for (kelvo_int32 Vertex = 0; Vertex < Count; ++Vertex) {
        float const *P = reinterpret_cast<float const *>(Deformed.data() + (size_t)Vertex * Stride);
        double Best = INFINITY;
        for (size_t Source : Matches[Vertex]) {
            double Spread = 0;
            aiVector3t<double> Reference = Skinned(Skin, Source, Skin.Rest[Source], World, Spread);
            double Bound = 2.0 / 255 * Spread; // weights are stored in 8 bits
            for (auto const &[Node, Offset, Weight] : Skin.Bones[Source]) {
                (void)Offset;
                (void)Weight;
                drift const &Drift = Drifts.at(Node);
                double Lever = (Reference - Origin(World.at(Node))).Length();
                Bound = std::max(Bound, 2.0 / 255 * Spread + Drift.Position + Drift.Swing * Lever);
            }
            Best =
                std::min(Best, (aiVector3t<double>(P[0], P[1], P[2]) - Reference).Length() / Bound);
        }
        Worst = std::max(Worst, Best);
    }
    KelvoFreeMeshDeformer(Deformer);
    KelvoFreeMeshBinding(Binding);
    return Worst;
}

// File vertices to the source vertices at the same rest position.
std::vector<std::vector<size_t>> MatchVertices(kelvo_mesh const *Mesh, reference_skin const &Skin) {
    std::map<std::tuple<long, long, long>, std::vector<size_t>> Cells;
    auto Cell = [](double X, double Y, double Z) {
        return std::make_tuple(std::lround(X * 1e4), std::lround(Y * 1e4), std::lround(Z * 1e4));
    };
    for (size_t Index = 0; Index < Skin.Rest.size(); ++Index) {
        Cells[Cell(Skin.Rest[Index].x, Skin.Rest[Index].y, Skin.Rest[Index].z)].push_back(Index);
    }
    kelvo_data_type_definition const *Type = KelvoGetMeshVertexType(Mesh);
    kelvo_int32 Stride = KelvoGetTotalObjectSize(Type);
    std::vector<std::vector<size_t>> Matches;
    for (kelvo_int32 Vertex = 0; Vertex < KelvoGetMeshVertexCount(Mesh); ++Vertex) {
        float const *P = reinterpret_cast<float const *>(
            static_cast<char const *>(KelvoGetMeshVertices(Mesh)) + (size_t)Vertex * Stride);
        Matches.push_back(Cells[Cell(P[0], P[1], P[2])]);
        EXPECT_FALSE(Matches.back().empty()) << "vertex " << Vertex << " of " << Mesh->Name;
    }
    return Matches;
}

class Kv2ImportSourceTest : public Kv2ImportTest, public ::testing::WithParamInterface<source> {};

TEST_P(Kv2ImportSourceTest, BonesAndSkinsFollowTheSourceWithinTheTolerances) {
    {
        std::string const &Input = SourcePath(GetParam());
        ASSERT_FALSE(Input.empty());
        std::string const &Path = Imported(Input);
        aiScene const *Scene = aiImportFile(Input.c_str(), 0);
        kelvo_file *File = Path.empty() ? nullptr : KelvoReadEntireFile(Path.c_str());
        kelvo_file_info *Info = File ? KelvoGetFileInfo(File) : nullptr;
        ASSERT_TRUE(Scene && Info && Info->ModelCount == 1);
        ASSERT_EQ((unsigned)Info->AnimationCount, Scene->mNumAnimations);
        kelvo_model const *Model = Info->Models[0];
        kelvo_skeleton const *Skeleton = Model->Skeleton;
        std::map<std::string, holder_mesh> SourceMeshes = MeshesByName(Scene);
        // A bone per node, a mesh per mesh of triangles a node holds.
        EXPECT_EQ(Skeleton->BoneCount, (kelvo_int32)WorldAt(Scene, nullptr, 0).size());
        EXPECT_EQ(Info->MeshCount,
                  std::count_if(SourceMeshes.begin(), SourceMeshes.end(), [](auto const &Entry) {
                      return (Entry.second.Mesh->mPrimitiveTypes &
                              (aiPrimitiveType_TRIANGLE | aiPrimitiveType_POLYGON)) != 0;
                  }));
        std::map<std::string, matrix> const Rest = WorldAt(Scene, nullptr, 0);
        std::vector<reference_skin> Skins;
        std::vector<std::vector<std::vector<size_t>>> Matches;
        for (kelvo_int32 Index = 0; Index < Model->MeshBindingCount; ++Index) {
            kelvo_mesh const *Mesh = Model->MeshBindings[Index].Mesh;
            holder_mesh const &Found = SourceMeshes.at(Mesh->Name);
            Skins.push_back(SkinOf(Scene, Found.Mesh, Found.Holder, Rest));
            Matches.push_back(MatchVertices(Mesh, Skins.back()));
        }
        for (kelvo_int32 Which = 0; Which < Info->AnimationCount; ++Which) {
            kelvo_animation const *Animation = Info->Animations[Which];
            played Play = {KelvoInstantiateModel(Model), nullptr,
                           KelvoNewLocalPose(Skeleton->BoneCount),
                           KelvoNewWorldPose(Skeleton->BoneCount)};
            Play.Control = KelvoPlayControlledAnimation(0, Animation, Play.Instance);
            KelvoSetControlLoopCount(Play.Control, 1);
            double WorstBone = 0, WorstVertex = 0;
            for (int Step = 0; Step < 20; ++Step) {
                double Time = Animation->Duration * Step / 19.0;
                KelvoSetModelClock(Play.Instance, (float)Time);
                KelvoSampleModelAnimations(Play.Instance, 0, Skeleton->BoneCount, Play.Pose);
                KelvoBuildWorldPose(Skeleton, 0, Skeleton->BoneCount, Play.Pose, nullptr,
                                    Play.World);
                std::map<std::string, matrix> World =
                    WorldAt(Scene, Scene->mAnimations[Which], Time);
                std::map<std::string, drift> Drifts;
                for (auto const &[Name, Transform] : World) {
                    Drifts[Name] = Allowed(Scene->mRootNode->FindNode(Name.c_str()), World);
                }
                for (kelvo_int32 Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
                    aiNode const *Node = Scene->mRootNode->FindNode(Skeleton->Bones[Bone].Name);
                    ASSERT_TRUE(Node) << Skeleton->Bones[Bone].Name;
                    float const *M = KelvoGetWorldPose4x4(Play.World, Bone);
                    matrix const &R = World.at(Node->mName.C_Str());
                    drift const &Drift = Drifts.at(Node->mName.C_Str());
                    double Linear = 0;
                    for (int Row = 0; Row < 3; ++Row) {
                        for (int Column = 0; Column < 3; ++Column) {
                            Linear =
                                std::max(Linear, std::fabs(M[Column * 4 + Row] - R[Row][Column]));
                        }
                    }
                    double Position =
                        (aiVector3t<double>(M[12], M[13], M[14]) - Origin(R)).Length();
                    WorstBone = std::max(
                        {WorstBone, Position / Drift.Position, Linear / (Drift.Swing + 1.0e-5)});
                }
                for (kelvo_int32 Index = 0; Index < Model->MeshBindingCount; ++Index) {
                    WorstVertex = std::max(WorstVertex, CompareSkin(Model->MeshBindings[Index].Mesh,
                                                                    Skeleton, Play, Skins[Index],
                                                                    Matches[Index], World, Drifts));
                }
            }
            // Errors as a share of what the tolerances allow.
            EXPECT_LE(WorstBone, 1.0) << Animation->Name;
            EXPECT_LE(WorstVertex, 1.0) << Animation->Name;
            KelvoFreeWorldPose(Play.World);
            KelvoFreeLocalPose(Play.Pose);
            KelvoFreeControl(Play.Control);
            KelvoFreeModelInstance(Play.Instance);
        }
        KelvoFreeFile(File);
        aiReleaseImport(Scene);
    }
}

INSTANTIATE_TEST_SUITE_P(SharedData, Kv2ImportSourceTest, ::testing::ValuesIn(Sources),
                         [](::testing::TestParamInfo<source> const &Info) {
                             std::string Name = strrchr(Info.param.File, '/') + 1;
                             return Name.substr(0, Name.find('.')) +
                                    (Info.param.Exporter ? std::string("_") + Info.param.Extension
                                                         : "");
                         });

TEST_F(Kv2ImportTest, ImportingTwiceGivesTheSameBytes) {
    for (char const *Source : {"characters/RiggedFigure.glb", "characters/SimpleSkin.gltf"}) {
        std::string Again = TemporaryPath("import_again.kv2");
        ASSERT_EQ(RunKv2({"import", SharedDataPath(Source), Again, "--quiet", "--tolerance",
                          std::to_string(PositionTolerance), "--rotation-tolerance",
                          std::to_string(RotationTolerance)})
                      .Status,
                  0);
        EXPECT_EQ(ReadText(Again), ReadText(Imported(SharedDataPath(Source)))) << Source;
        unlink(Again.c_str());
    }
}

TEST_F(Kv2ImportTest, AMissingImageIsAWarningAndItsMapIsLeftOut) {
    std::string Text = ReadText(SharedDataPath("characters/SimpleSkin.gltf"));
    Text.replace(Text.find("\"indices\" : 0"), 14, "\"indices\" : 0, \"material\" : 0");
    Text.replace(Text.find("\"skins\""), 8,
                 "\"materials\" : [ { \"pbrMetallicRoughness\" : { \"baseColorTexture\" : "
                 "{ \"index\" : 0 } } } ], \"textures\" : [ { \"source\" : 0 } ], "
                 "\"images\" : [ { \"uri\" : \"missing.png\" } ], \"skins\"");
    std::string In = TemporaryPath("textured.gltf"), Out = TemporaryPath("textured.kv2");
    std::ofstream(In, std::ios::binary) << Text;
    run_result Run = RunKv2({"import", In, Out, "--quiet"});
    EXPECT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_EQ(Run.Err,
              "kv2: " + In + ": warning: image 'missing.png' left out: Unable to open file\n");
    kelvo_file *File = KelvoReadEntireFile(Out.c_str());
    kelvo_file_info *Info = File ? KelvoGetFileInfo(File) : nullptr;
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->TextureCount, 0);
    EXPECT_EQ(Info->Materials[0]->MapCount, 0);
    KelvoFreeFile(File);
    unlink(In.c_str());
    unlink(Out.c_str());
}

TEST_F(Kv2ImportTest, MorphTargetsMoveTheVerticesTheirSourceMoves) {
    // One triangle whose third corner the target lifts by one along z.
    std::string const Scene =
        R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],)"
        R"("nodes":[{"mesh":0,"name":"holder"}],"meshes":[{"name":"face","primitives":[)"
        R"({"attributes":{"POSITION":0},"targets":[{"POSITION":1}]}],"weights":[0]}],)"
        R"("buffers":[{"byteLength":72,"uri":"data:application/octet-stream;base64,)"
        R"(AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAIA/"}],)"
        R"("bufferViews":[{"buffer":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":36}],)"
        R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",)"
        R"("min":[0,0,0],"max":[1,1,0]},{"bufferView":1,"componentType":5126,"count":3,)"
        R"("type":"VEC3","min":[0,0,0],"max":[0,0,1]}]})";
    std::string In = TemporaryPath("morph.gltf"), Out = TemporaryPath("morph.kv2");
    std::ofstream(In, std::ios::binary) << Scene;
    run_result Run = RunKv2({"import", In, Out, "--quiet"});
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    kelvo_file *File = KelvoReadEntireFile(Out.c_str());
    kelvo_file_info *Info = File ? KelvoGetFileInfo(File) : nullptr;
    ASSERT_TRUE(Info && Info->MeshCount == 1);
    kelvo_mesh const *Mesh = Info->Meshes[0];
    ASSERT_EQ(Mesh->MorphTargetCount, 1);
    kelvo_int32 Stride = KelvoGetTotalObjectSize(KelvoGetMeshVertexType(Mesh));
    ASSERT_EQ(KelvoGetMeshMorphVertexCount(Mesh, 0), KelvoGetMeshVertexCount(Mesh));
    auto const *Morphed = static_cast<kelvo_p3_vertex const *>(KelvoGetMeshMorphVertices(Mesh, 0));
    for (kelvo_int32 Vertex = 0; Vertex < KelvoGetMeshVertexCount(Mesh); ++Vertex) {
        float const *P = reinterpret_cast<float const *>(
            static_cast<char const *>(KelvoGetMeshVertices(Mesh)) + (size_t)Vertex * Stride);
        bool Lifted = P[0] == 0 && P[1] == 1;
        EXPECT_EQ(Morphed[Vertex].Position[0], P[0]);
        EXPECT_EQ(Morphed[Vertex].Position[1], P[1]);
        EXPECT_EQ(Morphed[Vertex].Position[2], P[2] + (Lifted ? 1.0f : 0.0f)) << Vertex;
    }
    KelvoFreeFile(File);
    unlink(In.c_str());
    unlink(Out.c_str());
}

// A glTF scene written by a test: float accessors, each in its own view of
// one buffer carried inline as base64.
struct gltf_data {
    std::string Bytes, Views, Accessors;
    int Count = 0;

    // Index of an accessor of Values grouped by Width ("SCALAR", "VEC2", ...).
    int Add(std::vector<float> const &Values, int Width) {
        char const *const Types[] = {"", "SCALAR", "VEC2", "VEC3", "VEC4"};
        std::string Low, High;
        for (int C = 0; C < Width; ++C) {
            float L = INFINITY, H = -INFINITY;
            for (size_t At = C; At < Values.size(); At += Width) {
                L = std::min(L, Values[At]);
                H = std::max(H, Values[At]);
            }
            Low.append(C ? "," : "").append(std::to_string(L));
            High.append(C ? "," : "").append(std::to_string(H));
        }
        std::string Comma = Count ? "," : "";
        Views += Comma + "{\"buffer\":0,\"byteOffset\":" + std::to_string(Bytes.size()) +
                 ",\"byteLength\":" + std::to_string(Values.size() * 4) + "}";
        Accessors += Comma + "{\"bufferView\":" + std::to_string(Count) +
                     ",\"componentType\":5126,\"count\":" + std::to_string(Values.size() / Width) +
                     ",\"type\":\"" + Types[Width] + "\",\"min\":[" + Low + "],\"max\":[" + High +
                     "]}";
        Bytes.append(reinterpret_cast<char const *>(Values.data()), Values.size() * 4);
        return Count++;
    }

    std::string Json(std::string const &Rest) const {
        static char const Digits[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string Text;
        for (size_t At = 0; At < Bytes.size(); At += 3) {
            unsigned Word = (unsigned char)Bytes[At] << 16;
            Word |= At + 1 < Bytes.size() ? (unsigned char)Bytes[At + 1] << 8 : 0;
            Word |= At + 2 < Bytes.size() ? (unsigned char)Bytes[At + 2] : 0;
            for (size_t Sextet = 0; Sextet < 4; ++Sextet) {
                Text +=
                    At + Sextet <= Bytes.size() ? Digits[(Word >> (18 - 6 * Sextet)) & 63] : '=';
            }
        }
        return R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],)" + Rest +
               R"(,"buffers":[{"byteLength":)" + std::to_string(Bytes.size()) +
               R"(,"uri":"data:application/octet-stream;base64,)" + Text +
               R"("}],"bufferViews":[)" + Views + "],\"accessors\":[" + Accessors + "]}";
    }
};

// The file kv2 import makes of Json, read back (null on failure).
kelvo_file *ImportJson(std::string const &Json, char const *Name) {
    std::string In = TemporaryPath((std::string(Name) + ".gltf").c_str());
    std::string Out = TemporaryPath((std::string(Name) + ".kv2").c_str());
    std::ofstream(In, std::ios::binary) << Json;
    run_result Run = RunKv2({"import", In, Out, "--quiet"});
    EXPECT_EQ(Run.Status, 0) << Run.Err;
    kelvo_file *File = Run.Status == 0 ? KelvoReadEntireFile(Out.c_str()) : nullptr;
    unlink(In.c_str());
    unlink(Out.c_str());
    return File;
}

TEST_F(Kv2ImportTest, AnimatedMorphWeightsPlayBackAsVectorTracksNamedAfterTheMesh) {
    // A curve holds at most 9 reals: 11 targets take a second track.
    for (int Targets : {2, 11}) {
        SCOPED_TRACE(Targets);
        std::vector<float> const Times = {0, 0.5f, 1, 2};
        auto Weight = [](int Target, size_t Key) {
            return (float)((Target * 7 + Key * 3) % 5) / 4;
        };
        gltf_data Data;
        Data.Add({0, 0, 0, 1, 0, 0, 0, 1, 0}, 3);
        std::string TargetList, Rest;
        for (int Target = 0; Target < Targets; ++Target) {
            std::vector<float> Offsets(9, 0.0f);
            Offsets[(size_t)(Target % 9)] = 0.25f * (float)(Target + 1);
            TargetList.append(Target ? ",{\"POSITION\":" : "{\"POSITION\":")
                .append(std::to_string(Data.Add(Offsets, 3)))
                .append("}");
            Rest += Target ? ",0" : "0";
        }
        std::vector<float> Keys;
        for (size_t Key = 0; Key < Times.size(); ++Key) {
            for (int Target = 0; Target < Targets; ++Target) {
                Keys.push_back(Weight(Target, Key));
            }
        }
        int Input = Data.Add(Times, 1), Output = Data.Add(Keys, 1);
        kelvo_file *File =
            ImportJson(Data.Json(R"("nodes":[{"mesh":0,"name":"holder"}],"meshes":[{"name":"face",)"
                                 R"("primitives":[{"attributes":{"POSITION":0},"targets":[)" +
                                 TargetList + "]}],\"weights\":[" + Rest +
                                 R"(]}],"animations":[{"name":"blink","samplers":[{"input":)" +
                                 std::to_string(Input) + ",\"output\":" + std::to_string(Output) +
                                 R"(,"interpolation":"LINEAR"}],"channels":[{"sampler":0,)"
                                 R"("target":{"node":0,"path":"weights"}}]}])"),
                       "morph_weights");
        kelvo_file_info *Info = File ? KelvoGetFileInfo(File) : nullptr;
        ASSERT_TRUE(Info && Info->MeshCount == 1 && Info->AnimationCount == 1);
        ASSERT_EQ(Info->Meshes[0]->MorphTargetCount, Targets);
        kelvo_track_group const *Group = Info->Animations[0]->TrackGroups[0];
        ASSERT_EQ(Group->VectorTrackCount, (Targets + 8) / 9);
        for (int First = 0; First < Targets; First += 9) {
            std::string Name = First ? "face@" + std::to_string(First) : "face";
            kelvo_int32 Index = -1;
            ASSERT_TRUE(KelvoFindVectorTrackByName(Group, Name.c_str(), &Index)) << Name;
            kelvo_vector_track const &Track = Group->VectorTracks[Index];
            ASSERT_EQ(Track.Dimension, std::min(9, Targets - First));
            for (float Time = 0; Time <= 2.0f; Time += 0.0625f) {
                float Value[9];
                KelvoEvaluateCurveAtT(Track.Dimension, false, false, &Track.ValueCurve, false,
                                      Info->Animations[0]->Duration, Time, Value, nullptr);
                size_t Key = Time < 0.5f ? 0 : Time < 1 ? 1 : 2;
                float F = std::min(1.0f, (Time - Times[Key]) / (Times[Key + 1] - Times[Key]));
                for (kelvo_int32 C = 0; C < Track.Dimension; ++C) {
                    float Expected = Weight(First + C, Key) +
                                     F * (Weight(First + C, Key + 1) - Weight(First + C, Key));
                    EXPECT_NEAR(Value[C], Expected, 1.001e-3f)
                        << Name << " " << C << " at " << Time;
                }
            }
        }
        KelvoFreeFile(File);
    }
}

TEST_F(Kv2ImportTest, SecondUVsAndColoursExtendTheStockLayoutOnlyWhenPresent) {
    struct channels {
        bool UV0, UV1, Color;
        kelvo_data_type_definition const *Stock; // the layout expected when not extended
    } const Cases[] = {
        {true, false, false, KelvoPWNGT34332VertexType},
        {true, true, true, nullptr},
        {false, false, true, nullptr},
    };
    kelvo_data_type_definition const Read[] = {
        {KelvoReal32Member, "Position", nullptr, 3, {}, 0},
        {KelvoReal32Member, "TextureCoordinates0", nullptr, 2, {}, 0},
        {KelvoReal32Member, "TextureCoordinates1", nullptr, 2, {}, 0},
        {KelvoReal32Member, "DiffuseColor0", nullptr, 4, {}, 0},
        {KelvoEndMember, nullptr, nullptr, 0, {}, 0}};
    for (channels const &Case : Cases) {
        SCOPED_TRACE(std::to_string(Case.UV0) + std::to_string(Case.UV1) +
                     std::to_string(Case.Color));
        gltf_data Data;
        std::string Attributes =
            "\"POSITION\":" + std::to_string(Data.Add({0, 0, 0, 1, 0, 0, 0, 1, 0}, 3));
        if (Case.UV0) {
            Attributes += ",\"TEXCOORD_0\":" +
                          std::to_string(Data.Add({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}, 2));
        }
        if (Case.UV1) {
            Attributes += ",\"TEXCOORD_1\":" +
                          std::to_string(Data.Add({0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.25f}, 2));
        }
        if (Case.Color) {
            Attributes +=
                ",\"COLOR_0\":" +
                std::to_string(Data.Add({1, 0, 0, 1, 0, 0.5f, 0, 0.75f, 0.25f, 0.5f, 1, 0}, 4));
        }
        std::string Json =
            Data.Json(R"("nodes":[{"mesh":0,"name":"holder"}],"meshes":[{"name":"face",)"
                      R"("primitives":[{"attributes":{)" +
                      Attributes + "}}]}]");
        kelvo_file *File = ImportJson(Json, "channels");
        kelvo_file_info *Info = File ? KelvoGetFileInfo(File) : nullptr;
        ASSERT_TRUE(Info && Info->MeshCount == 1);
        kelvo_mesh const *Mesh = Info->Meshes[0];
        kelvo_data_type_definition const *Type = KelvoGetMeshVertexType(Mesh);
        EXPECT_EQ(Case.Stock != nullptr, Case.Stock && KelvoDataTypesAreEqual(Type, Case.Stock));
        EXPECT_EQ(KelvoGetVertexChannelCount(Type), Case.UV0 + Case.UV1 + Case.Color);
        EXPECT_EQ(KelvoGetVertexComponentIndex("TextureCoordinates1", Type) >= 0, Case.UV1);
        EXPECT_EQ(KelvoGetVertexComponentIndex("DiffuseColor0", Type) >= 0, Case.Color);
        // What assimp reads of the same file, vertex by vertex.
        std::string In = TemporaryPath("channels_source.gltf");
        std::ofstream(In, std::ios::binary) << Json;
        aiScene const *Scene = aiImportFile(In.c_str(), 0);
        unlink(In.c_str());
        ASSERT_TRUE(Scene && Scene->mNumMeshes == 1);
        aiMesh const *Source = Scene->mMeshes[0];
        kelvo_int32 Count = KelvoGetMeshVertexCount(Mesh);
        std::vector<float> Values((size_t)Count * 11, -1.0f);
        KelvoCopyMeshVertices(Mesh, Read, Values.data());
        ASSERT_EQ(Count, 3);
        for (kelvo_int32 Vertex = 0; Vertex < Count; ++Vertex) {
            float const *V = &Values[(size_t)Vertex * 11];
            unsigned From = V[0] == 1 ? 1 : V[1] == 1 ? 2 : 0;
            float Expected[8] = {0, 0, 0, 0, 0, 0, 0, 0}; // a member the file lacks reads as 0
            if (Case.UV0) {
                Expected[0] = Source->mTextureCoords[0][From].x;
                Expected[1] = Source->mTextureCoords[0][From].y;
            }
            if (Case.UV1) {
                Expected[2] = Source->mTextureCoords[1][From].x;
                Expected[3] = Source->mTextureCoords[1][From].y;
            }
            if (Case.Color) {
                aiColor4D const &C = Source->mColors[0][From];
                float const Color[4] = {C.r, C.g, C.b, C.a};
                std::copy(Color, Color + 4, Expected + 4);
            }
            for (int C = 0; C < 8; ++C) {
                EXPECT_EQ(V[3 + C], Expected[C]) << "vertex " << Vertex << " value " << C;
            }
        }
        aiReleaseImport(Scene);
        KelvoFreeFile(File);
    }
}

// Every bone's world position half way through the first animation.
std::vector<float> BonePositions(std::string const &Path) {
    std::vector<float> Positions;
    kelvo_file *File = KelvoReadEntireFile(Path.c_str());
    kelvo_file_info *Info = File ? KelvoGetFileInfo(File) : nullptr;
    if (!Info || Info->ModelCount != 1 || Info->AnimationCount < 1) {
        ADD_FAILURE() << Path << " has no model and animation";
        KelvoFreeFile(File);
        return Positions;
    }
    kelvo_skeleton const *Skeleton = Info->Models[0]->Skeleton;
    played Play = {KelvoInstantiateModel(Info->Models[0]), nullptr,
                   KelvoNewLocalPose(Skeleton->BoneCount), KelvoNewWorldPose(Skeleton->BoneCount)};
    Play.Control = KelvoPlayControlledAnimation(0, Info->Animations[0], Play.Instance);
    KelvoSetModelClock(Play.Instance, 0.5f * Info->Animations[0]->Duration);
    KelvoSampleModelAnimations(Play.Instance, 0, Skeleton->BoneCount, Play.Pose);
    KelvoBuildWorldPose(Skeleton, 0, Skeleton->BoneCount, Play.Pose, nullptr, Play.World);
    for (kelvo_int32 Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
        float const *M = KelvoGetWorldPose4x4(Play.World, Bone);
        Positions.insert(Positions.end(), M + 12, M + 15);
    }
    KelvoFreeWorldPose(Play.World);
    KelvoFreeLocalPose(Play.Pose);
    KelvoFreeControl(Play.Control);
    KelvoFreeModelInstance(Play.Instance);
    KelvoFreeFile(File);
    return Positions;
}

TEST_F(Kv2ImportTest, BasisUnitsFormatAndPlatformChangeOnlyWhatTheySay) {
    struct change {
        std::vector<std::string> Options;
        float Map[3][3]; // new coordinates from the source's x, y, z
        float Scale;
    } const Cases[] = {
        {{"--basis", "x,z,-y"}, {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}, 1},
        {{"--units-per-meter", "100"}, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, 100},
        {{"--format", "2", "--platform", "32be"}, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, 1},
    };
    char const *Source = "characters/RiggedFigure.glb";
    std::vector<float> const Plain = BonePositions(Imported(SharedDataPath(Source)));
    std::string Out = TemporaryPath("import_changed.kv2");
    for (change const &Case : Cases) {
        SCOPED_TRACE(Case.Options[0]);
        std::vector<std::string> Arguments = {"import",
                                              SharedDataPath(Source),
                                              Out,
                                              "--quiet",
                                              "--tolerance",
                                              std::to_string(PositionTolerance),
                                              "--rotation-tolerance",
                                              std::to_string(RotationTolerance)};
        Arguments.insert(Arguments.end(), Case.Options.begin(), Case.Options.end());
        ASSERT_EQ(RunKv2(Arguments).Status, 0);
        std::vector<float> Changed = BonePositions(Out);
        if (Case.Options[0] == "--format") {
            ExpectLogged(KelvoWarningLogMessage, "Converting pointer size from 32 to 64");
        }
        ASSERT_EQ(Changed.size(), Plain.size());
        for (size_t At = 0; At < Plain.size(); At += 3) {
            for (int Axis = 0; Axis < 3; ++Axis) {
                float Expected = Case.Scale * (Case.Map[Axis][0] * Plain[At] +
                                               Case.Map[Axis][1] * Plain[At + 1] +
                                               Case.Map[Axis][2] * Plain[At + 2]);
                EXPECT_NEAR(Changed[At + Axis], Expected, 1.0e-4f * Case.Scale) << At / 3;
            }
        }
    }
    unlink(Out.c_str());
}

// Names in Directory that start with Prefix.
int CountEntries(std::string const &Directory, std::string const &Prefix) {
    int Count = 0;
    DIR *Listing = opendir(Directory.c_str());
    while (dirent *Entry = Listing ? readdir(Listing) : nullptr) {
        Count += std::string(Entry->d_name).rfind(Prefix, 0) == 0;
    }
    if (Listing) {
        closedir(Listing);
    }
    return Count;
}

TEST_F(Kv2ImportTest, BrokenInputsFailNamingTheFileAndLeaveNothing) {
    struct broken {
        char const *Source;
        char const *Name;
        size_t Keep;      // bytes kept of the source (0: all)
        size_t Overwrite; // bytes overwritten from this offset with garbage (0: none)
    } const Cases[] = {
        {"characters/CesiumMan.glb", "empty.glb", 1, 0},
        {"characters/CesiumMan.glb", "truncated.glb", 20000, 0},
        {"characters/RiggedFigure.glb", "corrupted.glb", 0, 24},
        {"characters/SimpleSkin.gltf", "truncated.gltf", 1500, 0},
        {"mocap/walk.bvh", "corrupted.bvh", 0, 600},
    };
    std::string Directory = TemporaryPath("import_broken");
    mkdir(Directory.c_str(), 0700);
    for (broken const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::string Bytes = ReadText(SharedDataPath(Case.Source));
        Bytes.resize(Case.Keep ? Case.Keep - 1 : Bytes.size());
        for (size_t At = Case.Overwrite; Case.Overwrite && At < Case.Overwrite + 64; ++At) {
            Bytes[At] = (char)(At * 37 + 11);
        }
        std::string In = Directory + "/" + Case.Name;
        std::ofstream(In, std::ios::binary) << Bytes;
        std::string Out = Directory + "/out.kv2";
        run_result Run = RunKv2({"import", In, Out, "--quiet"});
        EXPECT_EQ(Run.Status, 1);
        EXPECT_EQ(Run.Err.rfind("kv2: " + In + ": cannot be read", 0), 0u) << Run.Err;
        EXPECT_EQ(CountEntries(Directory, "out.kv2"), 0);
        unlink(In.c_str());
    }
    rmdir(Directory.c_str());
}

} // namespace
#endif
