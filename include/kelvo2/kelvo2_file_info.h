/* kelvo2: the asset records of a file and the definitions that describe
   them. A file's root is a file info; it refers to textures, materials,
   skeletons, vertex datas, triangle topologies, meshes, models, track groups
   and animations, and those to each other. Sharing is by reference: one
   vertex data may serve several meshes and is stored once.

   Each record is laid out exactly as its exported definition measures it
   (no gaps; pointers at 4-byte alignment in 64-bit builds), so loaded files
   whose stored definitions equal these are used in place. Strings may be
   null; every array is a count followed by its pointer, and a zero count
   has a null pointer once written. ExtendedData members carry whatever the
   application stores, usually nothing. */
#ifndef KELVO2_FILE_INFO_H
#define KELVO2_FILE_INFO_H

#include "kelvo2_data_type.h"
#include "kelvo2_file.h"
#include "kelvo2_transform.h"
#include "kelvo2_types.h"

#pragma pack(push, 4)

/* ---- file info ------------------------------------------------------------ */

typedef struct kelvo_art_tool_info {
    char const *FromArtToolName;
    kelvo_int32 ArtToolMajorRevision;
    kelvo_int32 ArtToolMinorRevision;
    kelvo_real32 UnitsPerMeter;
    kelvo_real32 Origin[3];
    kelvo_real32 RightVector[3];
    kelvo_real32 UpVector[3];
    kelvo_real32 BackVector[3];
    kelvo_variant ExtendedData;
} kelvo_art_tool_info;

typedef struct kelvo_exporter_info {
    char const *ExporterName;
    kelvo_int32 ExporterMajorRevision;
    kelvo_int32 ExporterMinorRevision;
    kelvo_int32 ExporterCustomization;
    kelvo_int32 ExporterBuildNumber;
    kelvo_variant ExtendedData;
} kelvo_exporter_info;

/* Files keep 64-bit pointers at 4-byte alignment, also inside arrays of
   references and of strings; their elements are declared through these
   slot types so that reading them is well defined in 64-bit builds. */
#if defined(__GNUC__)
#define KELVO_SLOT_ALIGNMENT __attribute__((aligned(4)))
#else
#define KELVO_SLOT_ALIGNMENT
#endif
typedef char const *kelvo_string_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_texture *kelvo_texture_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_material *kelvo_material_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_skeleton *kelvo_skeleton_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_vertex_data *kelvo_vertex_data_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_tri_topology *kelvo_tri_topology_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_mesh *kelvo_mesh_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_model *kelvo_model_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_track_group *kelvo_track_group_slot KELVO_SLOT_ALIGNMENT;
typedef struct kelvo_animation *kelvo_animation_slot KELVO_SLOT_ALIGNMENT;

typedef struct kelvo_file_info {
    kelvo_art_tool_info *ArtToolInfo;
    kelvo_exporter_info *ExporterInfo;
    char const *FromFileName;
    kelvo_int32 TextureCount;
    kelvo_texture_slot *Textures;
    kelvo_int32 MaterialCount;
    kelvo_material_slot *Materials;
    kelvo_int32 SkeletonCount;
    kelvo_skeleton_slot *Skeletons;
    kelvo_int32 VertexDataCount;
    kelvo_vertex_data_slot *VertexDatas;
    kelvo_int32 TriTopologyCount;
    kelvo_tri_topology_slot *TriTopologies;
    kelvo_int32 MeshCount;
    kelvo_mesh_slot *Meshes;
    kelvo_int32 ModelCount;
    kelvo_model_slot *Models;
    kelvo_int32 TrackGroupCount;
    kelvo_track_group_slot *TrackGroups;
    kelvo_int32 AnimationCount;
    kelvo_animation_slot *Animations;
    kelvo_variant ExtendedData;
} kelvo_file_info;

/* ---- textures ------------------------------------------------------------- */

typedef struct kelvo_pixel_layout {
    kelvo_int32 BytesPerPixel;
    kelvo_int32 ShiftForComponent[4];
    kelvo_int32 BitsForComponent[4];
} kelvo_pixel_layout;

typedef struct kelvo_texture_mip_level {
    kelvo_int32 Stride;
    kelvo_int32 PixelByteCount;
    kelvo_uint8 *PixelBytes;
} kelvo_texture_mip_level;

typedef struct kelvo_texture_image {
    kelvo_int32 MIPLevelCount;
    kelvo_texture_mip_level *MIPLevels;
} kelvo_texture_image;

typedef struct kelvo_texture {
    char const *FromFileName;
    kelvo_int32 TextureType;
    kelvo_int32 Width;
    kelvo_int32 Height;
    kelvo_int32 Encoding;
    kelvo_int32 SubFormat;
    kelvo_pixel_layout Layout;
    kelvo_int32 ImageCount;
    kelvo_texture_image *Images;
    kelvo_variant ExtendedData;
} kelvo_texture;

/* ---- materials ------------------------------------------------------------ */

struct kelvo_material_map;

typedef struct kelvo_material {
    char const *Name;
    kelvo_int32 MapCount;
    struct kelvo_material_map *Maps;
    kelvo_texture *Texture;
    kelvo_variant ExtendedData;
} kelvo_material;

typedef struct kelvo_material_map {
    char const *Usage;
    kelvo_material *Map;
} kelvo_material_map;

/* ---- skeletons ------------------------------------------------------------ */

typedef struct kelvo_bone {
    char const *Name;
    kelvo_int32 ParentIndex;   /* -1 for a root; parents precede their children */
    kelvo_transform Transform; /* relative to the parent */
    kelvo_real32 InverseWorldTransform[16];
    kelvo_real32 LODError;
    kelvo_variant ExtendedData;
} kelvo_bone;

typedef struct kelvo_skeleton {
    char const *Name;
    kelvo_int32 BoneCount;
    kelvo_bone *Bones;
    kelvo_int32 LODType;
} kelvo_skeleton;

/* ---- vertex data ---------------------------------------------------------- */

typedef struct kelvo_vertex_annotation_set {
    char const *Name;
    kelvo_data_type_definition const *VertexAnnotationType;
    kelvo_int32 VertexAnnotationCount;
    void *VertexAnnotations;
    kelvo_int32 IndicesMapFromVertexToAnnotation;
    kelvo_int32 VertexAnnotationIndexCount;
    kelvo_int32 *VertexAnnotationIndices;
} kelvo_vertex_annotation_set;

typedef struct kelvo_vertex_data {
    kelvo_data_type_definition const *VertexType; /* any layout, usually one below */
    kelvo_int32 VertexCount;
    void *Vertices;
    kelvo_int32 VertexComponentNameCount;
    kelvo_string_slot *VertexComponentNames;
    kelvo_int32 VertexAnnotationSetCount;
    kelvo_vertex_annotation_set *VertexAnnotationSets;
} kelvo_vertex_data;

/* ---- triangle topology ---------------------------------------------------- */

typedef struct kelvo_tri_material_group {
    kelvo_int32 MaterialIndex;
    kelvo_int32 TriFirst;
    kelvo_int32 TriCount;
} kelvo_tri_material_group;

typedef struct kelvo_tri_annotation_set {
    char const *Name;
    kelvo_data_type_definition const *TriAnnotationType;
    kelvo_int32 TriAnnotationCount;
    void *TriAnnotations;
    kelvo_int32 IndicesMapFromTriToAnnotation;
    kelvo_int32 TriAnnotationIndexCount;
    kelvo_int32 *TriAnnotationIndices;
} kelvo_tri_annotation_set;

typedef struct kelvo_tri_topology {
    kelvo_int32 GroupCount;
    kelvo_tri_material_group *Groups;
    kelvo_int32 IndexCount;
    kelvo_int32 *Indices;
    kelvo_int32 Index16Count;
    kelvo_int16 *Indices16;
    kelvo_int32 VertexToVertexCount;
    kelvo_int32 *VertexToVertexMap;
    kelvo_int32 VertexToTriangleCount;
    kelvo_int32 *VertexToTriangleMap;
    kelvo_int32 SideToNeighborCount;
    kelvo_int32 *SideToNeighborMap;
    kelvo_int32 BonesForTriangleCount;
    kelvo_int32 *BonesForTriangle;
    kelvo_int32 TriangleToBoneCount;
    kelvo_int32 *TriangleToBoneIndices;
    kelvo_int32 TriAnnotationSetCount;
    kelvo_tri_annotation_set *TriAnnotationSets;
} kelvo_tri_topology;

/* ---- meshes --------------------------------------------------------------- */

typedef struct kelvo_morph_target {
    char const *ScalarName;
    kelvo_vertex_data *VertexData;
} kelvo_morph_target;

typedef struct kelvo_material_binding {
    kelvo_material *Material;
} kelvo_material_binding;

typedef struct kelvo_bone_binding {
    char const *BoneName;
    kelvo_real32 OBBMin[3];
    kelvo_real32 OBBMax[3];
    kelvo_int32 TriangleIndexCount;
    kelvo_int32 *TriangleIndices;
} kelvo_bone_binding;

typedef struct kelvo_mesh {
    char const *Name;
    kelvo_vertex_data *PrimaryVertexData;
    kelvo_int32 MorphTargetCount;
    kelvo_morph_target *MorphTargets;
    kelvo_tri_topology *PrimaryTopology;
    kelvo_int32 MaterialBindingCount;
    kelvo_material_binding *MaterialBindings;
    kelvo_int32 BoneBindingCount;
    kelvo_bone_binding *BoneBindings;
    kelvo_variant ExtendedData;
} kelvo_mesh;

/* ---- models --------------------------------------------------------------- */

typedef struct kelvo_model_mesh_binding {
    kelvo_mesh *Mesh;
} kelvo_model_mesh_binding;

typedef struct kelvo_model {
    char const *Name;
    kelvo_skeleton *Skeleton;
    kelvo_transform InitialPlacement;
    kelvo_int32 MeshBindingCount;
    kelvo_model_mesh_binding *MeshBindings;
} kelvo_model;

/* ---- curves, tracks, track groups and animations ---------------------------- */

/* A curve of any stored format: the format's definition and its data. */
typedef struct kelvo_curve2 {
    kelvo_variant CurveData;
} kelvo_curve2;

/* The curve of earlier files: a B-spline by its knots and controls. */
typedef struct kelvo_old_curve {
    kelvo_int32 Degree;
    kelvo_int32 KnotCount;
    kelvo_real32 *Knots;
    kelvo_int32 ControlCount;
    kelvo_real32 *Controls;
} kelvo_old_curve;

typedef struct kelvo_vector_track {
    char const *Name;
    kelvo_int32 Dimension;
    kelvo_curve2 ValueCurve;
} kelvo_vector_track;

typedef struct kelvo_transform_track {
    char const *Name;
    kelvo_int32 Flags;
    kelvo_curve2 OrientationCurve;
    kelvo_curve2 PositionCurve;
    kelvo_curve2 ScaleShearCurve;
} kelvo_transform_track;

typedef struct kelvo_text_track_entry {
    kelvo_real32 TimeStamp;
    char const *Text;
} kelvo_text_track_entry;

typedef struct kelvo_text_track {
    char const *Name;
    kelvo_int32 EntryCount;
    kelvo_text_track_entry *Entries;
} kelvo_text_track;

typedef struct kelvo_periodic_loop {
    kelvo_real32 Radius;
    kelvo_real32 dAngle;
    kelvo_real32 dZ;
    kelvo_real32 BasisX[3];
    kelvo_real32 BasisY[3];
    kelvo_real32 Axis[3];
} kelvo_periodic_loop;

typedef struct kelvo_track_group {
    char const *Name;
    kelvo_int32 VectorTrackCount;
    kelvo_vector_track *VectorTracks;
    kelvo_int32 TransformTrackCount;
    kelvo_transform_track *TransformTracks;
    kelvo_int32 TransformLODErrorCount;
    kelvo_real32 *TransformLODErrors;
    kelvo_int32 TextTrackCount;
    kelvo_text_track *TextTracks;
    kelvo_transform InitialPlacement;
    kelvo_int32 AccumulationFlags;
    kelvo_real32 LoopTranslation[3];
    kelvo_periodic_loop *PeriodicLoop;
    kelvo_transform_track *RootMotion;
    kelvo_variant ExtendedData;
} kelvo_track_group;

typedef struct kelvo_animation {
    char const *Name;
    kelvo_real32 Duration; /* seconds */
    kelvo_real32 TimeStep;
    kelvo_real32 Oversampling;
    kelvo_int32 TrackGroupCount;
    kelvo_track_group_slot *TrackGroups;
} kelvo_animation;

/* ---- skinning weights and vertex layouts ---------------------------------- */

typedef struct kelvo_vertex_weight_arrays {
    kelvo_real32 BoneWeights[256];
    kelvo_uint32 BoneIndices[256];
} kelvo_vertex_weight_arrays;

/* Named by their members in order (P position, W bone weights and indices,
   N normal, G tangent, B binormal, T texture coordinates) and the width of
   each; W's digit is the bones per vertex. KelvoPWNGT31332VertexType keeps
   three texture coordinates, as files written with it do. */
typedef struct kelvo_gbx333_vertex {
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
    kelvo_real32 TangentBinormalCross[3];
} kelvo_gbx333_vertex;
typedef struct kelvo_p3_vertex {
    kelvo_real32 Position[3];
} kelvo_p3_vertex;
typedef struct kelvo_pn33_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
} kelvo_pn33_vertex;
typedef struct kelvo_png333_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
} kelvo_png333_vertex;
typedef struct kelvo_pngb3333_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
} kelvo_pngb3333_vertex;
typedef struct kelvo_pngbt33332_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pngbt33332_vertex;
typedef struct kelvo_pngbt33333_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
    kelvo_real32 TextureCoordinates0[3];
} kelvo_pngbt33333_vertex;
typedef struct kelvo_pngt3332_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pngt3332_vertex;
typedef struct kelvo_pnt332_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pnt332_vertex;
typedef struct kelvo_pnt333_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 TextureCoordinates0[3];
} kelvo_pnt333_vertex;
typedef struct kelvo_pt32_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pt32_vertex;
typedef struct kelvo_pwn313_vertex {
    kelvo_real32 Position[3];
    kelvo_uint32 BoneIndices[1];
    kelvo_real32 Normal[3];
} kelvo_pwn313_vertex;
typedef struct kelvo_pwn323_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[2];
    kelvo_uint8 BoneIndices[2];
    kelvo_real32 Normal[3];
} kelvo_pwn323_vertex;
typedef struct kelvo_pwn343_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[4];
    kelvo_uint8 BoneIndices[4];
    kelvo_real32 Normal[3];
} kelvo_pwn343_vertex;
typedef struct kelvo_pwng3133_vertex {
    kelvo_real32 Position[3];
    kelvo_uint32 BoneIndices[1];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
} kelvo_pwng3133_vertex;
typedef struct kelvo_pwng3233_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[2];
    kelvo_uint8 BoneIndices[2];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
} kelvo_pwng3233_vertex;
typedef struct kelvo_pwng3433_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[4];
    kelvo_uint8 BoneIndices[4];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
} kelvo_pwng3433_vertex;
typedef struct kelvo_pwngb31333_vertex {
    kelvo_real32 Position[3];
    kelvo_uint32 BoneIndices[1];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
} kelvo_pwngb31333_vertex;
typedef struct kelvo_pwngb32333_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[2];
    kelvo_uint8 BoneIndices[2];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
} kelvo_pwngb32333_vertex;
typedef struct kelvo_pwngb34333_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[4];
    kelvo_uint8 BoneIndices[4];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
} kelvo_pwngb34333_vertex;
typedef struct kelvo_pwngbt313332_vertex {
    kelvo_real32 Position[3];
    kelvo_uint32 BoneIndices[1];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pwngbt313332_vertex;
typedef struct kelvo_pwngbt323332_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[2];
    kelvo_uint8 BoneIndices[2];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pwngbt323332_vertex;
typedef struct kelvo_pwngbt343332_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[4];
    kelvo_uint8 BoneIndices[4];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pwngbt343332_vertex;
typedef struct kelvo_pwngt31332_vertex {
    kelvo_real32 Position[3];
    kelvo_uint32 BoneIndices[1];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 TextureCoordinates0[3];
} kelvo_pwngt31332_vertex;
typedef struct kelvo_pwngt32332_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[2];
    kelvo_uint8 BoneIndices[2];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pwngt32332_vertex;
typedef struct kelvo_pwngt34332_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[4];
    kelvo_uint8 BoneIndices[4];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pwngt34332_vertex;
typedef struct kelvo_pwnt3132_vertex {
    kelvo_real32 Position[3];
    kelvo_uint32 BoneIndices[1];
    kelvo_real32 Normal[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pwnt3132_vertex;
typedef struct kelvo_pwnt3232_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[2];
    kelvo_uint8 BoneIndices[2];
    kelvo_real32 Normal[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pwnt3232_vertex;
typedef struct kelvo_pwnt3432_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 BoneWeights[4];
    kelvo_uint8 BoneIndices[4];
    kelvo_real32 Normal[3];
    kelvo_real32 TextureCoordinates0[2];
} kelvo_pwnt3432_vertex;

#pragma pack(pop)

/* The definitions, as pointers to their member arrays. */
KELVO_API kelvo_data_type_definition const *const KelvoFileInfoType;
KELVO_API kelvo_data_type_definition const *const KelvoArtToolInfoType;
KELVO_API kelvo_data_type_definition const *const KelvoExporterInfoType;
KELVO_API kelvo_data_type_definition const *const KelvoTextureType;
KELVO_API kelvo_data_type_definition const *const KelvoPixelLayoutType;
KELVO_API kelvo_data_type_definition const *const KelvoTextureImageType;
KELVO_API kelvo_data_type_definition const *const KelvoTextureMIPLevelType;
KELVO_API kelvo_data_type_definition const *const KelvoMaterialType;
KELVO_API kelvo_data_type_definition const *const KelvoMaterialMapType;
KELVO_API kelvo_data_type_definition const *const KelvoSkeletonType;
KELVO_API kelvo_data_type_definition const *const KelvoBoneType;
KELVO_API kelvo_data_type_definition const *const KelvoVertexDataType;
KELVO_API kelvo_data_type_definition const *const KelvoVertexAnnotationSetType;
KELVO_API kelvo_data_type_definition const *const KelvoTriTopologyType;
KELVO_API kelvo_data_type_definition const *const KelvoTriMaterialGroupType;
KELVO_API kelvo_data_type_definition const *const KelvoTriAnnotationSetType;
KELVO_API kelvo_data_type_definition const *const KelvoMeshType;
KELVO_API kelvo_data_type_definition const *const KelvoMorphTargetType;
KELVO_API kelvo_data_type_definition const *const KelvoMaterialBindingType;
KELVO_API kelvo_data_type_definition const *const KelvoBoneBindingType;
KELVO_API kelvo_data_type_definition const *const KelvoModelType;
KELVO_API kelvo_data_type_definition const *const KelvoModelMeshBindingType;
KELVO_API kelvo_data_type_definition const *const KelvoAnimationType;
KELVO_API kelvo_data_type_definition const *const KelvoTrackGroupType;
KELVO_API kelvo_data_type_definition const *const KelvoVectorTrackType;
KELVO_API kelvo_data_type_definition const *const KelvoTransformTrackType;
KELVO_API kelvo_data_type_definition const *const KelvoTextTrackType;
KELVO_API kelvo_data_type_definition const *const KelvoTextTrackEntryType;
KELVO_API kelvo_data_type_definition const *const KelvoPeriodicLoopType;
KELVO_API kelvo_data_type_definition const *const KelvoCurve2Type;
KELVO_API kelvo_data_type_definition const *const KelvoOldCurveType;
KELVO_API kelvo_data_type_definition const *const KelvoVertexWeightArraysType;
KELVO_API kelvo_data_type_definition const *const KelvoGBX333VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoP3VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPN33VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPNG333VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPNGB3333VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPNGBT33332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPNGBT33333VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPNGT3332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPNT332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPNT333VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPT32VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWN313VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWN323VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWN343VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNG3133VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNG3233VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNG3433VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGB31333VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGB32333VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGB34333VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGBT313332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGBT323332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGBT343332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGT31332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGT32332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNGT34332VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNT3132VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNT3232VertexType;
KELVO_API kelvo_data_type_definition const *const KelvoPWNT3432VertexType;

/* The top-level asset types by UID and snake-case name, in UID order. */
typedef struct kelvo_defined_type {
    kelvo_uint32 UID;
    char const *Name;
    kelvo_data_type_definition const *Definition;
} kelvo_defined_type;

KELVO_API kelvo_defined_type const *const KelvoDefinedTypes; /* KelvoGetDefinedTypeCount entries */
KELVO_API kelvo_int32 KelvoGetDefinedTypeCount(void);

/* Writes the file info tree as a headerless image in this build's format
   (pointer fields hold offsets from the image's start); false on failure.
   The file form reads the source first, converting it when its tag is old. */
KELVO_API kelvo_bool32 KelvoConvertFileToRaw(char const *SourceFileName,
                                             char const *DestinationFileName);
KELVO_API kelvo_bool32 KelvoConvertFileInfoToRaw(kelvo_file_info *FileInfo,
                                                 char const *DestinationFileName);

#endif
