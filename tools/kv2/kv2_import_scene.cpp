// kv2 import, the scene: reads the input through assimp, makes one bone of
// every node of its hierarchy, hands meshes and animations to their parts,
// fills the file info and writes it. assimp has checked the input's
// structure (aiProcess_ValidateDataStructure); indices that still matter
// here are checked again before use.
#include "kv2_import.h"

#include <assimp/cimport.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/version.h>

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <map>

namespace kv2 {

imported_asset::~imported_asset() {
    for (kelvo_curve2 *Curve : Curves) {
        KelvoFreeCurve(Curve);
    }
}

void *imported_asset::Block(size_t Bytes) {
    size_t Count = (Bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    Blocks.emplace_back(new std::max_align_t[Count ? Count : 1]);
    // Records are written whole, padding included: nothing left undefined.
    memset(Blocks.back().get(), 0, (Count ? Count : 1) * sizeof(std::max_align_t));
    return Blocks.back().get();
}

char const *imported_asset::String(std::string const &Text) {
    Strings.push_back(Text);
    return Strings.back().c_str();
}

void Multiply(double const A[16], double const B[16], double Result[16]) {
    double Product[16];
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            double Sum = 0;
            for (int K = 0; K < 4; ++K) {
                Sum += A[Row * 4 + K] * B[K * 4 + Column];
            }
            Product[Row * 4 + Column] = Sum;
        }
    }
    memcpy(Result, Product, sizeof(Product));
}

bool InvertAffine(double const M[16], double Result[16]) {
    double const *R0 = M, *R1 = M + 4, *R2 = M + 8;
    double Cofactor[9] = {R1[1] * R2[2] - R1[2] * R2[1], R0[2] * R2[1] - R0[1] * R2[2],
                          R0[1] * R1[2] - R0[2] * R1[1], R1[2] * R2[0] - R1[0] * R2[2],
                          R0[0] * R2[2] - R0[2] * R2[0], R0[2] * R1[0] - R0[0] * R1[2],
                          R1[0] * R2[1] - R1[1] * R2[0], R0[1] * R2[0] - R0[0] * R2[1],
                          R0[0] * R1[1] - R0[1] * R1[0]};
    double Determinant = R0[0] * Cofactor[0] + R0[1] * Cofactor[3] + R0[2] * Cofactor[6];
    double Inverse[16] = {0};
    if (Determinant == 0 || !isfinite(Determinant)) {
        Inverse[0] = Inverse[5] = Inverse[10] = Inverse[15] = 1;
        memcpy(Result, Inverse, sizeof(Inverse));
        return false;
    }
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Inverse[Row * 4 + Column] = Cofactor[Row * 3 + Column] / Determinant;
        }
    }
    for (int Row = 0; Row < 3; ++Row) {
        Inverse[Row * 4 + 3] =
            -(Inverse[Row * 4] * M[3] + Inverse[Row * 4 + 1] * M[7] + Inverse[Row * 4 + 2] * M[11]);
    }
    Inverse[15] = 1;
    memcpy(Result, Inverse, sizeof(Inverse));
    return true;
}

void ToRowVector(double const M[16], float Result[16]) {
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            Result[Row * 4 + Column] = (float)M[Column * 4 + Row];
        }
    }
}

void FromRowVector(float const M[16], double Result[16]) {
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            Result[Row * 4 + Column] = M[Column * 4 + Row];
        }
    }
}

void TransformPoint(double const M[16], double const P[3], double Result[3]) {
    double Out[3];
    for (int Row = 0; Row < 3; ++Row) {
        Out[Row] =
            M[Row * 4] * P[0] + M[Row * 4 + 1] * P[1] + M[Row * 4 + 2] * P[2] + M[Row * 4 + 3];
    }
    memcpy(Result, Out, sizeof(Out));
}

void Decompose(double const M[16], kelvo_real32 Position[3], kelvo_real32 Orientation[4],
               kelvo_real32 ScaleShear[9]) {
    kelvo_real32 Linear[9], Rotation[9];
    for (int Row = 0; Row < 3; ++Row) {
        Position[Row] = (kelvo_real32)M[Row * 4 + 3];
        for (int Column = 0; Column < 3; ++Column) {
            Linear[Row * 3 + Column] = (kelvo_real32)M[Row * 4 + Column];
        }
    }
    // A source matrix with shear keeps it in the stretch.
    KelvoPolarDecompose(Linear, 1.0e-6f, Rotation, ScaleShear);
    KelvoQuaternionEqualsMatrix3x3(Orientation, Rotation);
    MakeUnit(Orientation);
}

void MakeUnit(kelvo_real32 Q[4]) {
    kelvo_real32 Length = sqrtf(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3]);
    for (int Component = 0; Length > 0 && Component < 4; ++Component) {
        Q[Component] /= Length;
    }
}

void Progress(import_settings const &Settings, char const *Stage, int Done, int Total) {
    if (!Settings.Progress) {
        return;
    }
    if (isatty(1)) {
        int const Width = 30;
        int Filled = Total > 0 ? Done * Width / Total : Width;
        printf("\r%-12s [%.*s%*s] %d/%d", Stage, Filled,
               "==============================", Width - Filled, "", Done, Total);
        if (Done >= Total) {
            printf("\n");
        }
        fflush(stdout);
    } else if (Done >= Total) {
        printf("%s: %d/%d\n", Stage, Done, Total);
    }
}

std::map<std::string, int> NodesBySourceName(imported_asset const &Asset) {
    std::map<std::string, int> Result;
    for (size_t Index = Asset.Nodes.size(); Index-- > 0;) {
        Result[Asset.Nodes[Index].Node->mName.C_Str()] = (int)Index;
    }
    return Result;
}

std::string UniqueName(std::map<std::string, int> &Taken, std::string const &Name) {
    int &Uses = Taken[Name];
    return Uses++ ? Name + "#" + std::to_string(Uses - 1) : Name;
}

namespace {

void CopyMatrix(aiMatrix4x4 const &M, double Result[16]) {
    for (int Row = 0; Row < 4; ++Row) {
        for (int Column = 0; Column < 4; ++Column) {
            Result[Row * 4 + Column] = M[Row][Column];
        }
    }
}

// Every node, parents first, with a name no other node has.
void CollectNodes(aiScene const *Scene, imported_asset &Asset) {
    std::vector<std::pair<aiNode const *, int>> Stack = {{Scene->mRootNode, -1}};
    std::map<std::string, int> Taken;
    while (!Stack.empty()) {
        auto [Node, Parent] = Stack.back();
        Stack.pop_back();
        scene_node Entry = {};
        Entry.Node = Node;
        Entry.Parent = Parent;
        std::string Name = Node->mName.C_Str();
        if (Name.empty()) {
            Name = "node";
        }
        Entry.Name = UniqueName(Taken, Name);
        CopyMatrix(Node->mTransformation, Entry.Local);
        if (Parent < 0) {
            memcpy(Entry.World, Entry.Local, sizeof(Entry.World));
        } else {
            Multiply(Asset.Nodes[Parent].World, Entry.Local, Entry.World);
        }
        double Inverse[16];
        InvertAffine(Entry.World, Inverse);
        ToRowVector(Inverse, Entry.InverseWorld);
        int Self = (int)Asset.Nodes.size();
        Asset.Nodes.push_back(Entry);
        for (unsigned Child = Node->mNumChildren; Child-- > 0;) {
            Stack.push_back({Node->mChildren[Child], Self});
        }
    }
}

} // namespace

bool BuildSkeleton(aiScene const *Scene, std::string const &Name, imported_asset &Asset,
                   import_summary &Summary, std::string &Reason) {
    CollectNodes(Scene, Asset);
    // Joints take the inverse bind transform of the first skin naming them.
    std::map<std::string, int> const NodeByName = NodesBySourceName(Asset);
    for (unsigned MeshIndex = 0; MeshIndex < Scene->mNumMeshes; ++MeshIndex) {
        aiMesh const *Mesh = Scene->mMeshes[MeshIndex];
        for (unsigned BoneIndex = 0; BoneIndex < Mesh->mNumBones; ++BoneIndex) {
            aiBone const *Bone = Mesh->mBones[BoneIndex];
            auto Found = NodeByName.find(Bone->mName.C_Str());
            if (Found == NodeByName.end() || Asset.Nodes[Found->second].Bound) {
                continue;
            }
            double Offset[16];
            CopyMatrix(Bone->mOffsetMatrix, Offset);
            scene_node &Node = Asset.Nodes[Found->second];
            ToRowVector(Offset, Node.InverseWorld);
            Node.Bound = true;
        }
    }
    kelvo_int32 Count = (kelvo_int32)Asset.Nodes.size();
    kelvo_skeleton_builder *Builder = KelvoBeginSkeleton(Count);
    if (!Builder) {
        Reason = "out of memory for the skeleton";
        return false;
    }
    for (scene_node const &Node : Asset.Nodes) {
        kelvo_real32 Position[3], Orientation[4], ScaleShear[9];
        Decompose(Node.Local, Position, Orientation, ScaleShear);
        KelvoAddBoneWithInverse(Builder, Position, Orientation, ScaleShear, Node.InverseWorld);
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        KelvoSetBoneParent(Builder, Index, Asset.Nodes[Index].Parent);
    }
    Asset.BoneOfNode.assign(Count, -1);
    kelvo_int32 Size = KelvoGetResultingSkeletonSize(Builder);
    void *Memory = Size > 0 ? Asset.Block(Size) : nullptr;
    Asset.Skeleton = KelvoEndSkeletonInPlace(Builder, Memory, Asset.BoneOfNode.data());
    if (!Asset.Skeleton) {
        Reason = "the skeleton could not be built";
        return false;
    }
    Asset.Skeleton->Name = Asset.String(Name);
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Asset.Skeleton->Bones[Asset.BoneOfNode[Index]].Name = Asset.String(Asset.Nodes[Index].Name);
    }
    Asset.Skeletons.push_back(Asset.Skeleton);
    Summary.Bones = Count;
    return true;
}

namespace {

std::string BaseName(char const *Path) {
    char const *Slash = strrchr(Path, '/');
    return Slash ? Slash + 1 : Path;
}

std::string Stem(char const *Path) {
    std::string Name = BaseName(Path);
    size_t Dot = Name.rfind('.');
    return Dot == std::string::npos || Dot == 0 ? Name : Name.substr(0, Dot);
}

int MetadataInt(aiScene const *Scene, char const *Key, int Otherwise) {
    int Value = Otherwise;
    if (Scene->mMetaData && Scene->mMetaData->Get(Key, Value)) {
        return Value;
    }
    return Otherwise;
}

void Axis(int Index, int Sign, kelvo_real32 Result[3]) {
    Result[0] = Result[1] = Result[2] = 0;
    Result[Index >= 0 && Index < 3 ? Index : 0] = Sign < 0 ? -1.0f : 1.0f;
}

// The source's units and axes: those the file states (FBX), else glTF's
// metres with y up and z towards the viewer, which assimp gives the other
// formats too.
void DescribeSource(aiScene const *Scene, char const *In, imported_asset &Asset) {
    kelvo_art_tool_info &Tool = Asset.ArtTool;
    std::string Extension = BaseName(In);
    size_t Dot = Extension.rfind('.');
    Extension = Dot == std::string::npos ? "" : Extension.substr(Dot + 1);
    aiImporterDesc const *Importer = aiGetImporterDesc(Extension.c_str());
    Tool.FromArtToolName = Asset.String(Importer ? Importer->mName : "assimp");
    Tool.ArtToolMajorRevision = (kelvo_int32)aiGetVersionMajor();
    Tool.ArtToolMinorRevision = (kelvo_int32)aiGetVersionMinor();
    double Scale = 1.0;
    Tool.UnitsPerMeter = 1.0f;
    if (Scene->mMetaData && Scene->mMetaData->Get("UnitScaleFactor", Scale) && Scale > 0) {
        Tool.UnitsPerMeter = (kelvo_real32)(100.0 / Scale); // the factor is centimetres per unit
    }
    Axis(MetadataInt(Scene, "CoordAxis", 0), MetadataInt(Scene, "CoordAxisSign", 1),
         Tool.RightVector);
    Axis(MetadataInt(Scene, "UpAxis", 1), MetadataInt(Scene, "UpAxisSign", 1), Tool.UpVector);
    Axis(MetadataInt(Scene, "FrontAxis", 2), MetadataInt(Scene, "FrontAxisSign", 1),
         Tool.BackVector);
    Asset.Exporter = {"kv2 import",      KelvoProductMajorVersion, KelvoProductMinorVersion, 0, 0,
                      {nullptr, nullptr}};
}

bool ConvertBasis(import_settings const &Settings, imported_asset &Asset, std::string &Reason) {
    kelvo_art_tool_info &Tool = Asset.ArtTool;
    kelvo_real32 UnitsPerMeter =
        Settings.UnitsPerMeter > 0 ? Settings.UnitsPerMeter : Tool.UnitsPerMeter;
    kelvo_real32 const Origin[3] = {0, 0, 0};
    kelvo_real32 Affine[3], Linear[9], InverseLinear[9];
    if (!KelvoComputeBasisConversion(&Asset.Info, UnitsPerMeter, Origin, Settings.Right,
                                     Settings.Up, Settings.Back, Affine, Linear, InverseLinear) ||
        !KelvoTransformFile(&Asset.Info, Affine, Linear, InverseLinear, 0.0f, 0.0001f,
                            KelvoBasisRenormalize | KelvoBasisReverseWinding)) {
        Reason = "the basis conversion failed";
        return false;
    }
    Tool.UnitsPerMeter = UnitsPerMeter;
    memcpy(Tool.RightVector, Settings.Right, sizeof(Tool.RightVector));
    memcpy(Tool.UpVector, Settings.Up, sizeof(Tool.UpVector));
    memcpy(Tool.BackVector, Settings.Back, sizeof(Tool.BackVector));
    return true;
}

// A list as one of the file info's counted arrays of references. The slots
// come back by value: the file info is packed to 4 bytes, so its pointer
// members cannot be bound by reference.
template <class Slot, class T>
Slot *Slots(imported_asset &Asset, std::vector<T *> const &List, kelvo_int32 &Count) {
    Count = (kelvo_int32)List.size();
    if (List.empty()) {
        return nullptr;
    }
    Slot *Result = static_cast<Slot *>(Asset.Block(List.size() * sizeof(Slot)));
    for (size_t Index = 0; Index < List.size(); ++Index) {
        Result[Index] = List[Index];
    }
    return Result;
}

void FillFileInfo(char const *In, imported_asset &Asset) {
    kelvo_file_info &Info = Asset.Info;
    Info.ArtToolInfo = &Asset.ArtTool;
    Info.ExporterInfo = &Asset.Exporter;
    Info.FromFileName = Asset.String(BaseName(In));
    Info.Textures = Slots<kelvo_texture_slot>(Asset, Asset.Textures, Info.TextureCount);
    Info.Materials = Slots<kelvo_material_slot>(Asset, Asset.Materials, Info.MaterialCount);
    Info.Skeletons = Slots<kelvo_skeleton_slot>(Asset, Asset.Skeletons, Info.SkeletonCount);
    Info.VertexDatas =
        Slots<kelvo_vertex_data_slot>(Asset, Asset.VertexDatas, Info.VertexDataCount);
    Info.TriTopologies =
        Slots<kelvo_tri_topology_slot>(Asset, Asset.Topologies, Info.TriTopologyCount);
    Info.Meshes = Slots<kelvo_mesh_slot>(Asset, Asset.Meshes, Info.MeshCount);
    Info.Models = Slots<kelvo_model_slot>(Asset, Asset.Models, Info.ModelCount);
    Info.TrackGroups =
        Slots<kelvo_track_group_slot>(Asset, Asset.TrackGroups, Info.TrackGroupCount);
    Info.Animations = Slots<kelvo_animation_slot>(Asset, Asset.Animations, Info.AnimationCount);
}

bool Write(imported_asset &Asset, char const *Out, std::string &Reason) {
    kelvo_file_data_tree_writer *Writer =
        KelvoBeginFileDataTreeWriting(KelvoFileInfoType, &Asset.Info, 0, 0);
    bool Written = Writer && KelvoWriteDataTreeToFile(Writer, KelvoCurrentTypeTag,
                                                      KelvoKVNFileMV_ThisPlatform, Out, 1);
    if (Writer) {
        KelvoEndFileDataTreeWriting(Writer);
    }
    if (!Written) {
        Reason = "the file could not be written";
    }
    return Written;
}

struct scene_release {
    void operator()(aiScene const *Scene) const { aiReleaseImport(Scene); }
};

} // namespace

unsigned const ReadSteps = aiProcess_Triangulate | aiProcess_SortByPType |
                           aiProcess_GenSmoothNormals | aiProcess_ValidateDataStructure;

bool ImportScene(char const *In, char const *Out, import_settings const &Settings,
                 import_summary &Summary, std::string &Reason) {
    if (Settings.Progress) {
        printf("reading %s\n", In);
    }
    std::unique_ptr<aiScene const, scene_release> Scene(aiImportFile(In, ReadSteps));
    if (!Scene || !Scene->mRootNode) {
        char const *Why = aiGetErrorString();
        Reason = std::string("cannot be read: ") + (Why && *Why ? Why : "unknown format");
        return false;
    }
    if (Scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) {
        Reason = "cannot be read: the scene is incomplete";
        return false;
    }
    imported_asset Asset;
    DescribeSource(Scene.get(), In, Asset);
    std::string Name = Stem(In);
    if (!BuildSkeleton(Scene.get(), Name, Asset, Summary, Reason)) {
        return false;
    }
    Progress(Settings, "skeleton", Summary.Bones, Summary.Bones);
    BuildMaterials(Scene.get(), In, Asset, Summary);
    Progress(Settings, "materials", Summary.Materials, Summary.Materials);
    if (!BuildMeshes(Scene.get(), Settings, Asset, Summary, Reason)) {
        return false;
    }
    Asset.Model.Name = Asset.String(Name);
    Asset.Model.Skeleton = Asset.Skeleton;
    KelvoMakeIdentity(&Asset.Model.InitialPlacement);
    Asset.Model.MeshBindingCount = (kelvo_int32)Asset.MeshBindings.size();
    Asset.Model.MeshBindings = Asset.MeshBindings.empty() ? nullptr : Asset.MeshBindings.data();
    Asset.Models.push_back(&Asset.Model);
    if (!BuildAnimations(Scene.get(), Settings, Asset, Summary, Reason)) {
        return false;
    }
    FillFileInfo(In, Asset);
    if ((Settings.ChangeBasis || Settings.UnitsPerMeter > 0) &&
        !ConvertBasis(Settings, Asset, Reason)) {
        return false;
    }
    if (Settings.Progress) {
        printf("writing %s\n", Settings.Destination.empty() ? Out : Settings.Destination.c_str());
    }
    return Write(Asset, Out, Reason);
}

} // namespace kv2
