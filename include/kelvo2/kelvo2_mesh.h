/* kelvo2: meshes, vertices and triangle topologies.

   A mesh is a vertex array of any layout (its vertex data's VertexType, one
   of the stock layouts of kelvo2_file_info.h or the application's own), an
   indexed triangle list grouped by material, optional morph targets, material
   bindings and the bones it is bound to. A mesh with fewer than two bone
   bindings is rigid; otherwise the bone indices in its vertices index its
   BoneBindings. Files whose indices, material groups, vertex bone indices or
   counts break those rules are refused when their file info is taken.

   Vertex components are found by member name: "Position", "Normal",
   "Tangent", "Binormal", "TangentBinormalCross", "BoneWeights" and
   "BoneIndices" (the spatial members), and numbered channels such as
   "TextureCoordinates0", "DiffuseColor0" and "SpecularColor0". Texture
   coordinates stored as Int16Member are fixed point with 12 fraction bits.

   Layout conversion converts member by member as KelvoConvertSingleObject
   does (matched by name, missing members empty), then widens stored forms
   to the values they mean: NormalUInt8 "Normal", "Tangent" and "Binormal"
   become 2v - 1 (so 0..255 maps to -1..1), and NormalUInt8 or Int16 texture
   coordinates are scaled by 1/4096. Reports go to origin Mesh, and to
   VertexLayout for single vertices. */
#ifndef KELVO2_MESH_H
#define KELVO2_MESH_H

#include "kelvo2_data_type.h"
#include "kelvo2_file_info.h"
#include "kelvo2_types.h"

/* ---- mesh accessors: a missing vertex data or topology gives 0 or null --- */

KELVO_API kelvo_data_type_definition const *KelvoGetMeshVertexType(kelvo_mesh const *Mesh);
KELVO_API kelvo_int32 KelvoGetMeshVertexCount(kelvo_mesh const *Mesh);
KELVO_API void *KelvoGetMeshVertices(kelvo_mesh const *Mesh);
KELVO_API kelvo_data_type_definition const *
KelvoGetMeshMorphVertexType(kelvo_mesh const *Mesh, kelvo_int32 MorphTargetIndex);
KELVO_API kelvo_int32 KelvoGetMeshMorphVertexCount(kelvo_mesh const *Mesh,
                                                   kelvo_int32 MorphTargetIndex);
KELVO_API void *KelvoGetMeshMorphVertices(kelvo_mesh const *Mesh, kelvo_int32 MorphTargetIndex);
KELVO_API kelvo_bool32 KelvoMeshIsRigid(kelvo_mesh const *Mesh);

/* Indices come from "Indices" (4 bytes each) when it has entries, else from
   "Indices16" (2 bytes each, unsigned). */
KELVO_API kelvo_int32 KelvoGetMeshIndexCount(kelvo_mesh const *Mesh);
KELVO_API kelvo_int32 KelvoGetMeshTriangleCount(kelvo_mesh const *Mesh);
KELVO_API kelvo_int32 KelvoGetMeshBytesPerIndex(kelvo_mesh const *Mesh);
KELVO_API void *KelvoGetMeshIndices(kelvo_mesh const *Mesh);
/* Destination holds index count x BytesPerIndex (1, 2 or 4) bytes. */
KELVO_API void KelvoCopyMeshIndices(kelvo_mesh const *Mesh, kelvo_int32 BytesPerIndex,
                                    void *Destination);
/* Destination holds vertex count objects of VertexType. */
KELVO_API void KelvoCopyMeshVertices(kelvo_mesh const *Mesh,
                                     kelvo_data_type_definition const *VertexType,
                                     void *Destination);
KELVO_API void KelvoCopyMeshMorphVertices(kelvo_mesh const *Mesh, kelvo_int32 MorphTargetIndex,
                                          kelvo_data_type_definition const *VertexType,
                                          void *Destination);

/* Replaces Min and Max by the axis-aligned bounds of the box's eight corners
   mapped to Linear.corner + Affine (Linear row-major, acting on columns). */
KELVO_API void KelvoTransformBoundingBox(kelvo_real32 const Affine[3], kelvo_real32 const Linear[9],
                                         kelvo_real32 Min[3], kelvo_real32 Max[3]);

/* ---- vertices: Count consecutive objects of VertexType ------------------- */

KELVO_API void KelvoConvertVertexLayouts(kelvo_int32 Count,
                                         kelvo_data_type_definition const *SourceType,
                                         void const *Source,
                                         kelvo_data_type_definition const *DestinationType,
                                         void *Destination);
/* One vertex in the layout As; an index outside the data gives As's empty
   object. */
KELVO_API void KelvoGetSingleVertex(kelvo_vertex_data const *VertexData, kelvo_int32 VertexIndex,
                                    kelvo_data_type_definition const *As, void *Dest);

/* Write one member into a vertex when its layout has it; nothing else
   changes. Color and UVW name "DiffuseColor" and "TextureCoordinates" with
   the index appended. */
KELVO_API void KelvoSetVertexPosition(kelvo_data_type_definition const *VertexType, void *Vertex,
                                      kelvo_real32 const Position[3]);
KELVO_API void KelvoSetVertexNormal(kelvo_data_type_definition const *VertexType, void *Vertex,
                                    kelvo_real32 const Normal[3]);
KELVO_API void KelvoSetVertexColor(kelvo_data_type_definition const *VertexType, void *Vertex,
                                   kelvo_int32 ColorIndex, kelvo_real32 const Color[3]);
KELVO_API void KelvoSetVertexUVW(kelvo_data_type_definition const *VertexType, void *Vertex,
                                 kelvo_int32 UVWIndex, kelvo_real32 const UVW[3]);

/* Normal, Tangent, Binormal and TangentBinormalCross to unit length in
   place; a vector no longer than 0.00001 becomes zero. */
KELVO_API void KelvoNormalizeVertices(kelvo_int32 Count,
                                      kelvo_data_type_definition const *VertexType, void *Vertices);
/* Position <- Linear.p + Affine; Tangent and Binormal <- Linear.v; Normal and
   TangentBinormalCross <- InverseLinear^T.v; then, when Renormalize is set,
   the four directions are normalized as above. */
KELVO_API void KelvoTransformVertices(kelvo_int32 Count,
                                      kelvo_data_type_definition const *VertexType, void *Vertices,
                                      kelvo_real32 const Affine[3], kelvo_real32 const Linear[9],
                                      kelvo_real32 const InverseLinear[9],
                                      kelvo_bool32 Renormalize);
/* Scales each vertex's BoneWeights to sum to one, then makes the stored
   integer weights sum exactly to their unit. */
KELVO_API void KelvoOneNormalizeWeights(kelvo_int32 Count,
                                        kelvo_data_type_definition const *VertexType,
                                        void *Vertices);
/* Adjusts one vertex's stored weights (WeightsMember is the member record,
   WeightsData its data) so that they sum exactly to 255 for NormalUInt8,
   65535 for NormalUInt16, 127 for BinormalInt8 and 32767 for BinormalInt16:
   missing units are added from the first weight on, surplus ones taken from
   the last. Real32 weights are left alone. */
KELVO_API void KelvoEnsureExactOneNorm(kelvo_data_type_definition const *WeightsMember,
                                       void *WeightsData);

/* Member names of numbered channels; Buffer holds 64 characters. */
KELVO_API void KelvoGetVertexTextureCoordinatesName(kelvo_int32 Index, char *Buffer);
KELVO_API void KelvoGetVertexDiffuseColorName(kelvo_int32 Index, char *Buffer);
KELVO_API void KelvoGetVertexSpecularColorName(kelvo_int32 Index, char *Buffer);

/* Whether Name is one of the seven spatial names (case-sensitive). */
KELVO_API kelvo_bool32 KelvoIsSpatialVertexMember(char const *Name);
/* The raw ArrayWidth of the "BoneWeights" member, else of "BoneIndices",
   else 0. */
KELVO_API kelvo_int32 KelvoGetVertexBoneCount(kelvo_data_type_definition const *VertexType);
/* Members that are not spatial. */
KELVO_API kelvo_int32 KelvoGetVertexChannelCount(kelvo_data_type_definition const *VertexType);
/* Members not named "BoneWeights". */
KELVO_API kelvo_int32 KelvoGetVertexComponentCount(kelvo_data_type_definition const *VertexType);
/* Index of the first member matching Name (the installed string comparison,
   else case-insensitive), or -1. */
KELVO_API kelvo_int32 KelvoGetVertexComponentIndex(char const *Name,
                                                   kelvo_data_type_definition const *VertexType);
/* The modeling tool's name for that member, or null. */
KELVO_API char const *KelvoGetVertexComponentToolName(char const *Name,
                                                      kelvo_vertex_data const *VertexData);

/* ---- indices and topologies ----------------------------------------------- */

/* Copies indices between widths of 1, 2 and 4 bytes: widening zero-extends,
   narrowing keeps the low bits. */
KELVO_API void KelvoConvertIndices(kelvo_int32 IndexCount, kelvo_int32 FromBytesPerIndex,
                                   void const *FromIndices, kelvo_int32 ToBytesPerIndex,
                                   void *ToIndices);
/* Each group's MaterialIndex i becomes RemapTable[i]; an index outside the
   table is kept, with a warning. */
KELVO_API void KelvoRemapTopologyMaterials(kelvo_tri_topology *Topology, kelvo_int32 RemapCount,
                                           kelvo_int32 const *RemapTable);
/* Reverses every triangle (its first and third index swap) and keeps the
   side-to-neighbour map consistent with the new sides. */
KELVO_API void KelvoInvertTriTopologyWinding(kelvo_tri_topology *Topology);

#endif
