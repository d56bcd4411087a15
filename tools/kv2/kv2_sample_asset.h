// A small asset built in code: a file info that holds every kind of record
// (art-tool and exporter info, a texture with two MIP levels, materials with
// a map, a three-bone skeleton, skinned quad vertices with annotations and a
// morph target, a topology, a mesh with material and bone bindings, a model,
// a track group with vector, transform and text tracks, and an animation).
// `kv2 make-sample` writes it; the tests round-trip it.
#ifndef KV2_SAMPLE_ASSET_H
#define KV2_SAMPLE_ASSET_H

#include "kelvo2.h"

namespace kv2 {

// Owns every record and array of the tree; the records point at each other,
// so the asset is neither copied nor moved.
struct sample_asset {
    sample_asset();
    sample_asset(sample_asset const &) = delete;
    sample_asset &operator=(sample_asset const &) = delete;

    kelvo_file_info FileInfo;

    kelvo_art_tool_info ArtToolInfo;
    char const *ArtToolNote;
    kelvo_exporter_info ExporterInfo;

    kelvo_uint8 LargeMIPPixels[16];
    kelvo_uint8 SmallMIPPixels[4];
    kelvo_texture_mip_level MIPLevels[2];
    kelvo_texture_image Image;
    kelvo_texture Texture;
    kelvo_texture_slot Textures[1];

    kelvo_material_map SkinMaps[1];
    kelvo_material Skin, Diffuse;
    kelvo_material_slot Materials[2];

    kelvo_bone Bones[3];
    kelvo_skeleton Skeleton;
    kelvo_skeleton_slot Skeletons[1];

    kelvo_pwnt3432_vertex Vertices[4];
    kelvo_string_slot ComponentNames[5];
    kelvo_real32 VertexColors[4][3];
    kelvo_int32 VertexColorIndices[4];
    kelvo_vertex_annotation_set VertexAnnotations[1];
    kelvo_vertex_data VertexData;
    kelvo_p3_vertex MorphVertices[4];
    kelvo_vertex_data MorphVertexData;
    kelvo_vertex_data_slot VertexDatas[2];

    kelvo_tri_material_group Groups[2];
    kelvo_int32 Indices[6];
    kelvo_int16 Indices16[6];
    kelvo_int32 VertexToVertex[4];
    kelvo_int32 VertexToTriangle[4];
    kelvo_int32 SideToNeighbor[6];
    kelvo_int32 BonesForTriangle[3];
    kelvo_int32 TriangleToBone[2];
    kelvo_int32 TriangleIdentifiers[2];
    kelvo_tri_annotation_set TriAnnotations[1];
    kelvo_tri_topology Topology;
    kelvo_tri_topology_slot TriTopologies[1];

    kelvo_morph_target MorphTargets[1];
    kelvo_material_binding MaterialBindings[2];
    kelvo_int32 RootTriangles[2];
    kelvo_int32 SpineTriangles[1];
    kelvo_bone_binding BoneBindings[2];
    kelvo_mesh Mesh;
    kelvo_mesh_slot Meshes[1];

    kelvo_model_mesh_binding MeshBindings[1];
    kelvo_model Model;
    kelvo_model_slot Models[1];

    // Curves of several formats; the held position is shared by several tracks.
    kelvo_real32 Knots[3];
    kelvo_real32 Controls[12];
    kelvo_curve_data_da_k32f_c32f Sway;
    kelvo_curve_data_d4_constant32f Upright;
    kelvo_curve_data_d3_constant32f Origin;
    kelvo_uint64 Nod[12];   // D4nK16uC15u data, built in place
    kelvo_uint64 Blink[12]; // DaK8uC8u data, built in place
    kelvo_vector_track VectorTracks[1];
    kelvo_transform_track TransformTracks[3];
    kelvo_transform_track RootMotion;
    kelvo_real32 LODErrors[3];
    kelvo_text_track_entry Entries[2];
    kelvo_text_track TextTracks[1];
    kelvo_periodic_loop Loop;
    kelvo_track_group TrackGroup;
    kelvo_track_group_slot TrackGroups[1];

    kelvo_animation Animation;
    kelvo_animation_slot Animations[1];
};

// Writes the asset to a file of this build's format; false (reported through
// the log) on failure.
bool WriteSampleAsset(sample_asset &Asset, char const *FileName);

} // namespace kv2

#endif
