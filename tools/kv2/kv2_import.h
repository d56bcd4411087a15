// kv2 import: what the command's parts share. The scene is read through
// assimp (kv2_import_scene.cpp), its hierarchy becomes a skeleton and its
// meshes skinned meshes (kv2_import_mesh.cpp), its animations fitted track
// groups (kv2_import_animation.cpp); every record is made by the library's
// builders and owned by one imported_asset until the file is written.
#ifndef KV2_IMPORT_H
#define KV2_IMPORT_H

#include "kelvo2.h"

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct aiScene;
struct aiNode;
struct aiMesh;

namespace kv2 {

struct import_settings {
    kelvo_real32 PositionTolerance = 0.001f;  // scene units
    kelvo_real32 RotationTolerance = 1.0e-6f; // 1 - cos of the quaternions' angle
    kelvo_real32 ScaleTolerance = 0.001f;
    kelvo_real32 WeightTolerance = 0.001f; // morph-target weights
    kelvo_real32 FramesPerSecond = 0.0f;   // 0: the rate of the source's keys
    bool ChangeBasis = false;
    kelvo_real32 UnitsPerMeter = 0.0f; // 0: the source's
    kelvo_real32 Right[3] = {1, 0, 0}, Up[3] = {0, 1, 0}, Back[3] = {0, 0, 1};
    bool Progress = true;
    std::string Destination; // the name progress lines give the output
};

struct import_summary {
    int Bones = 0, Meshes = 0, Vertices = 0, Triangles = 0, Materials = 0, Textures = 0;
    int Animations = 0, Tracks = 0, WeightTracks = 0, MissedTolerances = 0;
    long long SampleBytes = 0, CurveBytes = 0;
    double LargestError[4] = {}; // position, rotation, scale/shear, vector
    std::vector<std::string> Warnings;
};

// A scene node as a bone: its unique name, parent (index, -1 for the root),
// rest transform relative to the parent and to the scene (column-vector
// 4x4 as assimp keeps them, row-major) and the inverse rest transform the
// skin binds it with (row-vector, as bones store it).
struct scene_node {
    aiNode const *Node;
    int Parent;
    std::string Name;
    double Local[16];
    double World[16];
    float InverseWorld[16];
    bool Bound = false; // InverseWorld came from a skin
};

// A mesh with morph targets, as animations of its weights find it: by the
// node holding it or by its source's name, each source target's index in
// the mesh's targets (-1 when left out).
struct morph_mesh {
    int Holder;
    aiMesh const *Source;
    kelvo_mesh const *Mesh;
    std::vector<int> TargetOfSource;
};

// Owns every record the file info reaches.
struct imported_asset {
    imported_asset() = default;
    imported_asset(imported_asset const &) = delete;
    imported_asset &operator=(imported_asset const &) = delete;
    ~imported_asset();

    // Memory that outlives the builders' results.
    void *Block(size_t Bytes);
    char const *String(std::string const &Text);
    template <class T> T &Record() { return *static_cast<T *>(Block(sizeof(T))); }

    std::vector<scene_node> Nodes;
    std::vector<kelvo_int32> BoneOfNode; // node index -> bone index
    std::vector<morph_mesh> MorphMeshes;

    kelvo_file_info Info = {};
    kelvo_art_tool_info ArtTool = {};
    kelvo_exporter_info Exporter = {};
    kelvo_skeleton *Skeleton = nullptr;
    kelvo_model Model = {};
    std::vector<kelvo_texture *> Textures;
    std::vector<kelvo_material *> Materials;
    std::vector<kelvo_skeleton *> Skeletons;
    std::vector<kelvo_vertex_data *> VertexDatas;
    std::vector<kelvo_tri_topology *> Topologies;
    std::vector<kelvo_mesh *> Meshes;
    std::vector<kelvo_model_mesh_binding> MeshBindings;
    std::vector<kelvo_model *> Models;
    std::vector<kelvo_track_group *> TrackGroups;
    std::vector<kelvo_animation *> Animations;
    std::vector<kelvo_curve2 *> Curves;

  private:
    std::deque<std::unique_ptr<std::max_align_t[]>> Blocks;
    std::deque<std::string> Strings;
};

// Affine 4x4 matrices for column vectors, row-major (assimp's convention),
// and their row-vector form as bones and deformers keep them.
void Multiply(double const A[16], double const B[16], double Result[16]);
// False (Result the identity) when M is singular.
bool InvertAffine(double const M[16], double Result[16]);
void ToRowVector(double const M[16], float Result[16]);
void FromRowVector(float const M[16], double Result[16]);
void TransformPoint(double const M[16], double const P[3], double Result[3]);
void MakeUnit(kelvo_real32 Q[4]);
// Position, orientation (x, y, z, w) and scale/shear of an affine matrix.
void Decompose(double const M[16], kelvo_real32 Position[3], kelvo_real32 Orientation[4],
               kelvo_real32 ScaleShear[9]);

// The node of each source name (the first node of a name shared).
std::map<std::string, int> NodesBySourceName(imported_asset const &Asset);
// Name, or Name#N when Taken says it was given N times before.
std::string UniqueName(std::map<std::string, int> &Taken, std::string const &Name);

// Prints a progress line, or a bar that redraws itself on a terminal.
void Progress(import_settings const &Settings, char const *Stage, int Done, int Total);

// The parts of an import; each returns false with Reason on failure.
bool BuildSkeleton(aiScene const *Scene, std::string const &Name, imported_asset &Asset,
                   import_summary &Summary, std::string &Reason);
// The scene's materials in its order, then the textured maps they lead to.
void BuildMaterials(aiScene const *Scene, char const *In, imported_asset &Asset,
                    import_summary &Summary);
bool BuildMeshes(aiScene const *Scene, import_settings const &Settings, imported_asset &Asset,
                 import_summary &Summary, std::string &Reason);
bool BuildAnimations(aiScene const *Scene, import_settings const &Settings, imported_asset &Asset,
                     import_summary &Summary, std::string &Reason);

// assimp's post-processing of every import.
extern unsigned const ReadSteps;

// Reads In and writes the asset to Out; false with Reason when In cannot be
// read or the asset cannot be built or written.
bool ImportScene(char const *In, char const *Out, import_settings const &Settings,
                 import_summary &Summary, std::string &Reason);

} // namespace kv2

#endif
