/* kelvo2: building a vertex array and a triangle topology from an exporter's
   view of a mesh: positions with skin weights (original vertices), then
   triangles whose corners carry their own normal, tangent frame and channels
   (every member of the vertex layout that is not spatial: texture
   coordinates, colours). Corners of one original vertex that agree within
   the tolerances share a vertex; those that differ make further vertices,
   which join the original's coincident ring. Positions and weights are the
   original vertex's and never compared.

   A vertex keeps the layout's heaviest bones (equal weights: the lower bone
   index), normalized to sum one and stored so that integer weights sum
   exactly to their unit. Corner values are compared as the layout stores
   them. Triangles are grouped by material in material order; within a group
   they come in the reverse of their push order. The topology gets 32-bit
   indices, the coincident rings (VertexToVertexMap), the triangle that made
   each vertex (VertexToTriangleMap, triangles numbered as stored; -1 for an
   original vertex no triangle uses) and the side-neighbour map: side s of
   stored triangle t is numbered t * 4 + s (from corner s to corner s + 1
   mod 3), and entry t * 3 + s holds the next side over the same two
   original vertices, cycling back to the first; a side nobody shares refers
   to itself.

   The counts given to KelvoBeginMesh bound the builder: more vertices or
   triangles than announced, bone, material, corner or channel indices
   outside their counts, corners naming vertices not pushed yet, vertices
   pushed after the first triangle and values that are not finite are
   refused with an error and change nothing. Reports go to origin
   VertexLayout, and to Exporter for the tangent space. */
#ifndef KELVO2_MESH_BUILDER_H
#define KELVO2_MESH_BUILDER_H

#include "kelvo2_data_type.h"
#include "kelvo2_file_info.h"
#include "kelvo2_types.h"

typedef struct kelvo_mesh_builder kelvo_mesh_builder;

/* A builder for at most VertexCount original vertices and TriangleCount
   triangles in the layout VertexType (which must outlive the builder); null
   when the layout is refused or memory runs out. */
KELVO_API kelvo_mesh_builder *KelvoBeginMesh(kelvo_int32 VertexCount, kelvo_int32 TriangleCount,
                                             kelvo_int32 MaterialCount, kelvo_int32 BoneCount,
                                             kelvo_data_type_definition const *VertexType);

/* Largest distance at which two corners still share a vertex (0.001 by
   default); tangent merging (0.25) is the smallest cosine at which tangent
   frames of triangles are averaged by KelvoGenerateTangentSpaceFromUVs. */
KELVO_API void KelvoSetNormalTolerance(kelvo_mesh_builder *Builder, kelvo_real32 Tolerance);
KELVO_API void KelvoSetTangentTolerance(kelvo_mesh_builder *Builder, kelvo_real32 Tolerance);
KELVO_API void KelvoSetBinormalTolerance(kelvo_mesh_builder *Builder, kelvo_real32 Tolerance);
KELVO_API void KelvoSetTangentBinormalCrossTolerance(kelvo_mesh_builder *Builder,
                                                     kelvo_real32 Tolerance);
KELVO_API void KelvoSetTangentMergingTolerance(kelvo_mesh_builder *Builder, kelvo_real32 Tolerance);
KELVO_API void KelvoSetChannelTolerance(kelvo_mesh_builder *Builder, kelvo_int32 Channel,
                                        kelvo_real32 Tolerance);
/* The modeling tool's name of every layout member but "BoneWeights", in
   layout order (ChannelCount must equal KelvoGetVertexComponentCount); the
   names are copied. A null name is stored as an empty string. */
KELVO_API void KelvoSetVertexChannelComponentNames(kelvo_mesh_builder *Builder,
                                                   kelvo_int32 ChannelCount,
                                                   char const *const *ChannelNames);

/* ---- original vertices ---------------------------------------------------- */

KELVO_API void KelvoSetPosition(kelvo_mesh_builder *Builder, kelvo_real32 X, kelvo_real32 Y,
                                kelvo_real32 Z);
KELVO_API void KelvoAddWeight(kelvo_mesh_builder *Builder, kelvo_int32 BoneIndex,
                              kelvo_real32 Weight);
/* Appends the pending position and weights as the next original vertex and
   clears them. */
KELVO_API void KelvoPushVertex(kelvo_mesh_builder *Builder);

/* ---- triangles: Corner is 0, 1 or 2 ---------------------------------------- */

KELVO_API void KelvoSetVertexIndex(kelvo_mesh_builder *Builder, kelvo_int32 Corner,
                                   kelvo_int32 OriginalVertexIndex);
KELVO_API void KelvoSetNormal(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_real32 X,
                              kelvo_real32 Y, kelvo_real32 Z);
KELVO_API void KelvoSetTangent(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_real32 X,
                               kelvo_real32 Y, kelvo_real32 Z);
KELVO_API void KelvoSetBinormal(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_real32 X,
                                kelvo_real32 Y, kelvo_real32 Z);
KELVO_API void KelvoSetTangentBinormalCross(kelvo_mesh_builder *Builder, kelvo_int32 Corner,
                                            kelvo_real32 X, kelvo_real32 Y, kelvo_real32 Z);
/* Reals per channel value: 4 for every channel. */
KELVO_API kelvo_int32 KelvoGetChannelComponentCount(kelvo_mesh_builder const *Builder,
                                                    kelvo_int32 Channel);
KELVO_API void KelvoSetChannel(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_int32 Channel,
                               kelvo_real32 const *Values);
/* Material of the triangles pushed from now on (0 at first). */
KELVO_API void KelvoSetMaterial(kelvo_mesh_builder *Builder, kelvo_int32 MaterialIndex);
KELVO_API void KelvoPushTriangle(kelvo_mesh_builder *Builder);

/* Replaces every vertex's Tangent, Binormal and TangentBinormalCross by a
   frame from the positions and "TextureCoordinates0": per-triangle frames
   averaged per vertex (a vertex is split where triangles' frames differ in
   handedness or direction), made orthonormal to the normal; the cross member
   is +Normal for right-handed texture mapping and -Normal for mirrored. When
   no frame can be made every vertex gets (1, 0, 0), (0, 1, 0), (0, 0, 1). */
KELVO_API void KelvoGenerateTangentSpaceFromUVs(kelvo_mesh_builder *Builder);

/* ---- results ----------------------------------------------------------------- */

KELVO_API kelvo_int32 KelvoGetResultingVertexCount(kelvo_mesh_builder const *Builder);
/* Destination holds KelvoGetResultingVertexCount vertices, or ints. */
KELVO_API void KelvoSerializeResultingVertices(kelvo_mesh_builder const *Builder,
                                               void *Destination);
KELVO_API void KelvoSerializeResultingCoincidentVertexMap(kelvo_mesh_builder const *Builder,
                                                          kelvo_int32 *Destination);
KELVO_API void KelvoSerializeResultingVertexToTriangleMap(kelvo_mesh_builder const *Builder,
                                                          kelvo_int32 *Destination);
/* The original vertex a resulting vertex was made from; -1 out of range. */
KELVO_API kelvo_int32 KelvoGetOriginalVertex(kelvo_mesh_builder const *Builder,
                                             kelvo_int32 VertexIndex);

/* Bytes of the two outputs; 0 when one exceeds int32. */
KELVO_API kelvo_int32 KelvoGetResultingVertexDataSize(kelvo_mesh_builder const *Builder);
KELVO_API kelvo_int32 KelvoGetResultingTopologySize(kelvo_mesh_builder const *Builder);
/* Builds the vertex data (its own copy of the layout, the vertices and the
   component names) and the topology in caller memory of those sizes, then
   frees the builder (also on failure). False when either output failed. */
KELVO_API kelvo_bool32 KelvoEndMeshInPlace(kelvo_mesh_builder *Builder, void *VertexDataMemory,
                                           kelvo_vertex_data **VertexData, void *TopologyMemory,
                                           kelvo_tri_topology **Topology);
/* The same in one block from the library allocator, vertex data first: the
   caller frees the block through *VertexData. */
KELVO_API kelvo_bool32 KelvoEndMesh(kelvo_mesh_builder *Builder, kelvo_vertex_data **VertexData,
                                    kelvo_tri_topology **Topology);

#endif
