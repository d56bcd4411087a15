// kv2 import, the meshes: every mesh a node holds becomes a mesh bound to
// the skeleton. Skinned meshes keep their skin's bones; a rigid mesh is
// skinned wholly to its node, so that one deformer path serves both. Its
// vertices are moved into the space the bones' inverse transforms expect:
// for a skin, the space its inverse bind matrices start from.
#include "kv2_import.h"

#include <assimp/material.h>
#include <assimp/scene.h>

#include <math.h>
#include <string.h>

#include <map>

namespace kv2 {

namespace {

struct mesh_source {
    aiMesh const *Mesh;
    std::vector<int> Bones;                                  // node of each bone binding
    double ToModel[16];                                      // source vertex space -> model space
    std::vector<std::vector<std::pair<int, float>>> Weights; // per vertex
};

void Identity(double M[16]) {
    memset(M, 0, 16 * sizeof(double));
    M[0] = M[5] = M[10] = M[15] = 1;
}

void TransformDirection(double const M[16], aiVector3D const &V, kelvo_real32 Result[3]) {
    double Out[3], Length = 0;
    for (int Row = 0; Row < 3; ++Row) {
        Out[Row] = M[Row * 4] * V.x + M[Row * 4 + 1] * V.y + M[Row * 4 + 2] * V.z;
        Length += Out[Row] * Out[Row];
    }
    Length = Length > 0 ? sqrt(Length) : 1;
    for (int Row = 0; Row < 3; ++Row) {
        Result[Row] = (kelvo_real32)(Out[Row] / Length);
    }
}

// The bones, weights and model-space change of Mesh held by node Holder.
bool Resolve(aiMesh const *Mesh, int Holder, imported_asset const &Asset,
             std::map<std::string, int> const &NodeByName, mesh_source &Source,
             std::string &Reason) {
    Source.Mesh = Mesh;
    Source.Weights.assign(Mesh->mNumVertices, {});
    double Offset[16];
    Identity(Offset);
    if (Mesh->mNumBones == 0) {
        Source.Bones = {Holder};
        for (auto &Weights : Source.Weights) {
            Weights.push_back({0, 1.0f});
        }
    }
    for (unsigned Index = 0; Index < Mesh->mNumBones; ++Index) {
        aiBone const *Bone = Mesh->mBones[Index];
        auto Found = NodeByName.find(Bone->mName.C_Str());
        if (Found == NodeByName.end()) {
            Reason = std::string("mesh '") + Mesh->mName.C_Str() + "' is skinned to '" +
                     Bone->mName.C_Str() + "', which is no node of the scene";
            return false;
        }
        if (Index == 0) {
            for (int Row = 0; Row < 4; ++Row) {
                for (int Column = 0; Column < 4; ++Column) {
                    Offset[Row * 4 + Column] = Bone->mOffsetMatrix[Row][Column];
                }
            }
        }
        Source.Bones.push_back(Found->second);
        for (unsigned W = 0; W < Bone->mNumWeights; ++W) {
            aiVertexWeight const &Weight = Bone->mWeights[W];
            if (Weight.mVertexId < Mesh->mNumVertices && Weight.mWeight > 0) {
                Source.Weights[Weight.mVertexId].push_back({(int)Index, Weight.mWeight});
            }
        }
    }
    // Model space is where the first bone's stored inverse starts from.
    double Stored[16], Back[16];
    FromRowVector(Asset.Nodes[Source.Bones[0]].InverseWorld, Stored);
    InvertAffine(Stored, Back);
    Multiply(Back, Offset, Source.ToModel);
    bool NearIdentity = true;
    for (int Entry = 0; Entry < 16; ++Entry) {
        NearIdentity &= fabs(Source.ToModel[Entry] - (Entry % 5 == 0 ? 1 : 0)) < 1e-6;
    }
    if (NearIdentity) {
        Identity(Source.ToModel);
    }
    return true;
}

struct built_mesh {
    kelvo_vertex_data *VertexData = nullptr;
    kelvo_tri_topology *Topology = nullptr;
    std::vector<kelvo_int32> Original; // the source vertex of each vertex
};

// The vertex layout of a mesh: a stock one, extended by a second UV
// channel and a colour (RGBA, as sources give it) when the mesh has them.
// Extensions keep the stock members first, so code reading the stock
// prefix reads these too; the vertex data carries its own copy.
struct mesh_layout {
    std::vector<kelvo_data_type_definition> Members;
    int SecondUVChannel = -1, ColorChannel = -1; // builder channels, -1: none

    explicit mesh_layout(aiMesh const *Mesh) {
        bool HasUVs = Mesh->HasTextureCoords(0);
        kelvo_data_type_definition const *Stock =
            HasUVs ? KelvoPWNGT34332VertexType : KelvoPWN343VertexType;
        for (kelvo_data_type_definition const *Member = Stock; Member->Type != KelvoEndMember;
             ++Member) {
            Members.push_back(*Member);
        }
        int Channels = HasUVs ? 1 : 0;
        if (HasUVs && Mesh->HasTextureCoords(1)) {
            Members.push_back({KelvoReal32Member, "TextureCoordinates1", nullptr, 2, {}, 0});
            SecondUVChannel = Channels++;
        }
        if (Mesh->HasVertexColors(0)) {
            Members.push_back({KelvoReal32Member, "DiffuseColor0", nullptr, 4, {}, 0});
            ColorChannel = Channels++;
        }
        Members.push_back({KelvoEndMember, nullptr, nullptr, 0, {}, 0});
        Type = Channels > (HasUVs ? 1 : 0) ? Members.data() : Stock;
    }
    mesh_layout(mesh_layout const &) = delete;

    kelvo_data_type_definition const *Type; // the stock layout itself when not extended
};

bool Feed(mesh_source const &Source, imported_asset &Asset, built_mesh &Built,
          std::string &Reason) {
    aiMesh const *Mesh = Source.Mesh;
    bool HasUVs = Mesh->HasTextureCoords(0);
    mesh_layout const Layout(Mesh);
    kelvo_mesh_builder *Builder =
        KelvoBeginMesh((kelvo_int32)Mesh->mNumVertices, (kelvo_int32)Mesh->mNumFaces, 1,
                       (kelvo_int32)Source.Bones.size(), Layout.Type);
    if (!Builder) {
        Reason = "out of memory for a mesh";
        return false;
    }
    for (unsigned Index = 0; Index < Mesh->mNumVertices; ++Index) {
        aiVector3D const &V = Mesh->mVertices[Index];
        double const P[3] = {V.x, V.y, V.z};
        double Model[3];
        TransformPoint(Source.ToModel, P, Model);
        KelvoSetPosition(Builder, (kelvo_real32)Model[0], (kelvo_real32)Model[1],
                         (kelvo_real32)Model[2]);
        for (auto const &[Bone, Weight] : Source.Weights[Index]) {
            KelvoAddWeight(Builder, Bone, Weight);
        }
        KelvoPushVertex(Builder);
    }
    bool HasTangents = Mesh->HasTangentsAndBitangents();
    for (unsigned Face = 0; Face < Mesh->mNumFaces; ++Face) {
        aiFace const &Triangle = Mesh->mFaces[Face];
        if (Triangle.mNumIndices != 3) {
            continue;
        }
        for (kelvo_int32 Corner = 0; Corner < 3; ++Corner) {
            unsigned Vertex = Triangle.mIndices[Corner];
            KelvoSetVertexIndex(Builder, Corner, (kelvo_int32)Vertex);
            if (Vertex >= Mesh->mNumVertices) {
                continue; // refused by the builder, which reports it
            }
            kelvo_real32 Direction[3] = {0, 0, 1};
            if (Mesh->HasNormals()) {
                TransformDirection(Source.ToModel, Mesh->mNormals[Vertex], Direction);
            }
            KelvoSetNormal(Builder, Corner, Direction[0], Direction[1], Direction[2]);
            if (HasTangents) {
                TransformDirection(Source.ToModel, Mesh->mTangents[Vertex], Direction);
                KelvoSetTangent(Builder, Corner, Direction[0], Direction[1], Direction[2]);
            }
            if (HasUVs) {
                aiVector3D const &UV = Mesh->mTextureCoords[0][Vertex];
                kelvo_real32 const Values[4] = {UV.x, UV.y, 0, 0};
                KelvoSetChannel(Builder, Corner, 0, Values);
            }
            if (Layout.SecondUVChannel >= 0) {
                aiVector3D const &UV = Mesh->mTextureCoords[1][Vertex];
                kelvo_real32 const Values[4] = {UV.x, UV.y, 0, 0};
                KelvoSetChannel(Builder, Corner, Layout.SecondUVChannel, Values);
            }
            if (Layout.ColorChannel >= 0) {
                aiColor4D const &Color = Mesh->mColors[0][Vertex];
                kelvo_real32 const Values[4] = {Color.r, Color.g, Color.b, Color.a};
                KelvoSetChannel(Builder, Corner, Layout.ColorChannel, Values);
            }
        }
        KelvoPushTriangle(Builder);
    }
    if (HasUVs && !HasTangents) {
        KelvoGenerateTangentSpaceFromUVs(Builder);
    }
    for (kelvo_int32 Index = 0; Index < KelvoGetResultingVertexCount(Builder); ++Index) {
        Built.Original.push_back(KelvoGetOriginalVertex(Builder, Index));
    }
    kelvo_int32 DataSize = KelvoGetResultingVertexDataSize(Builder);
    kelvo_int32 TopologySize = KelvoGetResultingTopologySize(Builder);
    if (DataSize <= 0 || TopologySize <= 0) {
        KelvoEndMeshInPlace(Builder, nullptr, &Built.VertexData, nullptr, &Built.Topology);
        Reason = std::string("mesh '") + Mesh->mName.C_Str() + "' is too large";
        return false;
    }
    void *DataMemory = Asset.Block(DataSize);
    void *TopologyMemory = Asset.Block(TopologySize);
    if (!KelvoEndMeshInPlace(Builder, DataMemory, &Built.VertexData, TopologyMemory,
                             &Built.Topology)) {
        Reason = std::string("mesh '") + Mesh->mName.C_Str() + "' could not be built";
        return false;
    }
    return true;
}

// Per bone: the box of its vertices in its own rest space and the
// triangles it moves.
// Each morph target of the source as positions of every vertex of the
// mesh (assimp gives whole positions, not offsets). Returns the target
// each source target became (-1: left out).
std::vector<int> AddMorphTargets(mesh_source const &Source, built_mesh const &Built,
                                 imported_asset &Asset, kelvo_mesh &Mesh) {
    aiMesh const *From = Source.Mesh;
    std::vector<kelvo_morph_target> Targets;
    std::vector<int> TargetOfSource(From->mNumAnimMeshes, -1);
    for (unsigned Index = 0; Index < From->mNumAnimMeshes; ++Index) {
        aiAnimMesh const *Target = From->mAnimMeshes[Index];
        if (!Target || !Target->mVertices || Target->mNumVertices != From->mNumVertices) {
            continue;
        }
        TargetOfSource[Index] = (int)Targets.size();
        size_t Count = Built.Original.size();
        kelvo_p3_vertex *Vertices =
            static_cast<kelvo_p3_vertex *>(Asset.Block(Count * sizeof(kelvo_p3_vertex)));
        for (size_t Vertex = 0; Vertex < Count; ++Vertex) {
            aiVector3D const &P = Target->mVertices[Built.Original[Vertex]];
            double const Position[3] = {P.x, P.y, P.z};
            double Model[3];
            TransformPoint(Source.ToModel, Position, Model);
            for (int Axis = 0; Axis < 3; ++Axis) {
                Vertices[Vertex].Position[Axis] = (kelvo_real32)Model[Axis];
            }
        }
        kelvo_vertex_data &Data = Asset.Record<kelvo_vertex_data>();
        Data.VertexType = KelvoP3VertexType;
        Data.VertexCount = (kelvo_int32)Count;
        Data.Vertices = Vertices;
        Asset.VertexDatas.push_back(&Data);
        std::string Name =
            Target->mName.length ? Target->mName.C_Str() : "morph" + std::to_string(Index);
        Targets.push_back({Asset.String(Name), &Data});
    }
    if (!Targets.empty()) {
        Mesh.MorphTargets = static_cast<kelvo_morph_target *>(
            Asset.Block(Targets.size() * sizeof(kelvo_morph_target)));
        memcpy(Mesh.MorphTargets, Targets.data(), Targets.size() * sizeof(kelvo_morph_target));
        Mesh.MorphTargetCount = (kelvo_int32)Targets.size();
    }
    return TargetOfSource;
}

void BindBones(mesh_source const &Source, built_mesh const &Built, imported_asset &Asset,
               kelvo_mesh &Mesh) {
    size_t Count = Source.Bones.size();
    kelvo_bone_binding *Bindings =
        static_cast<kelvo_bone_binding *>(Asset.Block(Count * sizeof(kelvo_bone_binding)));
    std::vector<std::vector<double>> Inverse(Count, std::vector<double>(16));
    std::vector<bool> Seen(Count, false);
    for (size_t Bone = 0; Bone < Count; ++Bone) {
        Bindings[Bone].BoneName = Asset.String(Asset.Nodes[Source.Bones[Bone]].Name);
        FromRowVector(Asset.Nodes[Source.Bones[Bone]].InverseWorld, Inverse[Bone].data());
    }
    kelvo_vertex_data const &Data = *Built.VertexData;
    kelvo_int32 Stride = KelvoGetTotalObjectSize(Data.VertexType);
    auto VertexAt = [&](kelvo_int32 Index) {
        kelvo_pwn343_vertex Vertex; // the layouts used share this prefix
        memcpy(&Vertex, static_cast<char const *>(Data.Vertices) + (size_t)Index * Stride,
               sizeof(Vertex));
        return Vertex;
    };
    for (kelvo_int32 Index = 0; Index < Data.VertexCount; ++Index) {
        kelvo_pwn343_vertex Vertex = VertexAt(Index);
        for (int Slot = 0; Slot < 4; ++Slot) {
            size_t Bone = Vertex.BoneIndices[Slot];
            if (Vertex.BoneWeights[Slot] == 0 || Bone >= Count) {
                continue;
            }
            double const P[3] = {Vertex.Position[0], Vertex.Position[1], Vertex.Position[2]};
            double Local[3];
            TransformPoint(Inverse[Bone].data(), P, Local);
            kelvo_bone_binding &Binding = Bindings[Bone];
            for (int Axis = 0; Axis < 3; ++Axis) {
                kelvo_real32 Value = (kelvo_real32)Local[Axis];
                Binding.OBBMin[Axis] = Seen[Bone] ? fminf(Binding.OBBMin[Axis], Value) : Value;
                Binding.OBBMax[Axis] = Seen[Bone] ? fmaxf(Binding.OBBMax[Axis], Value) : Value;
            }
            Seen[Bone] = true;
        }
    }
    kelvo_tri_topology const &Topology = *Built.Topology;
    std::vector<std::vector<kelvo_int32>> Triangles(Count);
    for (kelvo_int32 Triangle = 0; Triangle < Topology.IndexCount / 3; ++Triangle) {
        std::vector<bool> Moves(Count, false);
        for (int Corner = 0; Corner < 3; ++Corner) {
            kelvo_pwn343_vertex Vertex = VertexAt(Topology.Indices[Triangle * 3 + Corner]);
            for (int Slot = 0; Slot < 4; ++Slot) {
                if (Vertex.BoneWeights[Slot] && Vertex.BoneIndices[Slot] < Count) {
                    Moves[Vertex.BoneIndices[Slot]] = true;
                }
            }
        }
        for (size_t Bone = 0; Bone < Count; ++Bone) {
            if (Moves[Bone]) {
                Triangles[Bone].push_back(Triangle);
            }
        }
    }
    for (size_t Bone = 0; Bone < Count; ++Bone) {
        std::vector<kelvo_int32> const &List = Triangles[Bone];
        Bindings[Bone].TriangleIndexCount = (kelvo_int32)List.size();
        if (!List.empty()) {
            Bindings[Bone].TriangleIndices =
                static_cast<kelvo_int32 *>(Asset.Block(List.size() * sizeof(kelvo_int32)));
            memcpy(Bindings[Bone].TriangleIndices, List.data(), List.size() * sizeof(kelvo_int32));
        }
    }
    Mesh.BoneBindingCount = (kelvo_int32)Count;
    Mesh.BoneBindings = Bindings;
}

} // namespace

bool BuildMeshes(aiScene const *Scene, import_settings const &Settings, imported_asset &Asset,
                 import_summary &Summary, std::string &Reason) {
    std::map<std::string, int> const NodeByName = NodesBySourceName(Asset);
    int Total = 0;
    for (scene_node const &Node : Asset.Nodes) {
        Total += (int)Node.Node->mNumMeshes;
    }
    std::map<std::string, int> Taken;
    int Done = 0;
    for (size_t Holder = 0; Holder < Asset.Nodes.size(); ++Holder) {
        aiNode const *Node = Asset.Nodes[Holder].Node;
        for (unsigned Slot = 0; Slot < Node->mNumMeshes; ++Slot, ++Done) {
            unsigned MeshIndex = Node->mMeshes[Slot];
            aiMesh const *Source =
                MeshIndex < Scene->mNumMeshes ? Scene->mMeshes[MeshIndex] : nullptr;
            if (!Source || !(Source->mPrimitiveTypes & aiPrimitiveType_TRIANGLE) ||
                Source->mNumVertices == 0) {
                continue; // points and lines have no place in a mesh
            }
            mesh_source Resolved;
            built_mesh Built;
            if (!Resolve(Source, (int)Holder, Asset, NodeByName, Resolved, Reason) ||
                !Feed(Resolved, Asset, Built, Reason)) {
                return false;
            }
            kelvo_mesh &Mesh = Asset.Record<kelvo_mesh>();
            std::string Name =
                Source->mName.length ? Source->mName.C_Str() : Asset.Nodes[Holder].Name;
            Mesh.Name = Asset.String(UniqueName(Taken, Name));
            Mesh.PrimaryVertexData = Built.VertexData;
            Mesh.PrimaryTopology = Built.Topology;
            if (Source->mMaterialIndex < Asset.Materials.size()) {
                kelvo_material_binding &Binding = Asset.Record<kelvo_material_binding>();
                Binding.Material = Asset.Materials[Source->mMaterialIndex];
                Mesh.MaterialBindingCount = 1;
                Mesh.MaterialBindings = &Binding;
            }
            BindBones(Resolved, Built, Asset, Mesh);
            Asset.VertexDatas.push_back(Built.VertexData);
            std::vector<int> Targets = AddMorphTargets(Resolved, Built, Asset, Mesh);
            if (Mesh.MorphTargetCount > 0) {
                Asset.MorphMeshes.push_back({(int)Holder, Source, &Mesh, Targets});
            }
            Asset.Topologies.push_back(Built.Topology);
            Asset.Meshes.push_back(&Mesh);
            Asset.MeshBindings.push_back({&Mesh});
            Summary.Meshes += 1;
            Summary.Vertices += Built.VertexData->VertexCount;
            Summary.Triangles += Built.Topology->IndexCount / 3;
            Progress(Settings, "meshes", Done + 1, Total);
        }
    }
    return true;
}

} // namespace kv2
