// The inside of the mesh builder, shared by the builder and the tangent-space
// generation, which splits vertices and rewrites their frames.
#ifndef KELVO_MESH_BUILDER_INTERNAL_H
#define KELVO_MESH_BUILDER_INTERNAL_H

#include "kelvo2/kelvo2_memory.h"
#include "kelvo2/kelvo2_mesh_builder.h"

#include "data/kelvo_data_type_conversion.h"

namespace kelvo {

// Corner records hold reals: the four vectors, then four per channel.
constexpr kelvo_int32 NormalAt = 0;
constexpr kelvo_int32 TangentAt = 3;
constexpr kelvo_int32 BinormalAt = 6;
constexpr kelvo_int32 CrossAt = 9;
constexpr kelvo_int32 ChannelsAt = 12;
constexpr kelvo_int32 ChannelWidth = 4;
constexpr kelvo_int32 VectorMemberCount = 4;

// One corner member (or, for original vertices, one source member) and its
// counterpart in the vertex layout.
struct member_link {
    kelvo_int32 SourceOffset; // reals into the corner record
    kelvo_int32 SourceWidth;
    kelvo_int32 StoredOffset; // reals into the stored corner, -1 when the layout lacks it
    kelvo_int32 LayoutOffset; // bytes into the vertex; -1 when the layout lacks it
    kelvo_int32 Width;        // elements that travel
    kelvo_data_type_definition const *Member;
    element_run_converter ToLayout;
    element_run_converter FromLayout;
    bool Copies; // reals to reals: the values travel unchanged
};

// Beside every resulting vertex: its coincident ring, the triangle (push
// number) that made it, -1 while unused, and the original vertex.
struct vertex_link {
    kelvo_int32 Next;
    kelvo_int32 Triangle;
    kelvo_int32 Original;
};

struct builder_triangle {
    kelvo_int32 Vertices[3];
    kelvo_int32 NextInMaterial;
};

} // namespace kelvo

struct kelvo_mesh_builder {
    kelvo_data_type_definition const *VertexType;
    kelvo_int32 VertexSize;
    kelvo_int32 MemberCount; // of the layout
    kelvo_int32 ChannelCount;
    kelvo_int32 CornerRealCount;
    // Stored corners keep only what the layout holds: the values of the
    // members it has, as wide as it has them (the rest would be zero).
    kelvo_int32 StoredRealCount;
    kelvo_int32 MaxOriginalCount;
    kelvo_int32 MaxTriangleCount;
    kelvo_int32 MaterialCount;
    kelvo_int32 BoneCount;
    kelvo_int32 BonesPerVertex;

    kelvo_real32 *Tolerances; // per corner member: the four vectors, then channels
    kelvo_real32 TangentMergingTolerance;
    kelvo::member_link *CornerLinks;
    kelvo::member_link PositionLink, WeightsLink, IndicesLink;

    kelvo_real32 PendingPosition[3];
    kelvo_real32 *PendingWeights;
    kelvo_int32 *TouchedBones;
    kelvo_uint8 *BoneTouched;
    kelvo_int32 TouchedCount;
    kelvo_real32 *PendingCorners; // three corner records
    kelvo_real32 *Scratch;        // one stored corner
    kelvo_int32 PendingVertices[3];
    kelvo_int32 CurrentMaterial;
    kelvo_uint8 *EmptyVertex;

    // Units: the vertex, its link, then its stored corner.
    kelvo_stack_allocator Units;
    kelvo_int32 UnitSize;
    kelvo_int32 LinkOffset;
    kelvo_int32 CornerOffset;
    kelvo_int32 OriginalCount;

    kelvo::builder_triangle *Triangles;
    kelvo_int32 TriangleCount;
    kelvo_int32 *MaterialHeads;
    kelvo_int32 *MaterialTriangleCounts;
    kelvo_int32 UsedMaterialCount;
    kelvo_int32 *OutputOfPush;

    char const **ComponentNames; // MemberCount entries once set, else null
    char *ComponentNameText;
    kelvo_int32 ComponentNameTextSize;
};

namespace kelvo {

kelvo_uint8 *UnitAt(kelvo_mesh_builder const *Builder, kelvo_int32 Index);
inline kelvo_uint8 *VertexAt(kelvo_mesh_builder const *Builder, kelvo_int32 Index) {
    return UnitAt(Builder, Index);
}
inline vertex_link *LinkAt(kelvo_mesh_builder const *Builder, kelvo_int32 Index) {
    return reinterpret_cast<vertex_link *>(UnitAt(Builder, Index) + Builder->LinkOffset);
}
inline kelvo_real32 *CornerAt(kelvo_mesh_builder const *Builder, kelvo_int32 Index) {
    return reinterpret_cast<kelvo_real32 *>(UnitAt(Builder, Index) + Builder->CornerOffset);
}

// Writes a stored corner into the vertex and keeps it beside the vertex.
void MergeCorner(kelvo_mesh_builder *Builder, kelvo_real32 const *Stored, kelvo_int32 Vertex);
// One of the four vectors (NormalAt ... CrossAt) of a vertex's stored
// corner, zero where the layout lacks elements.
void GetCornerVector(kelvo_mesh_builder const *Builder, kelvo_int32 Vertex, kelvo_int32 At,
                     kelvo_real32 Vector[3]);
// Replaces the tangent frame of a vertex, as the layout stores it.
void SetCornerFrame(kelvo_mesh_builder *Builder, kelvo_int32 Vertex, kelvo_real32 const *Tangent,
                    kelvo_real32 const *Binormal, kelvo_real32 const *Cross);
// A copy of Vertex joined to its ring after RingPredecessor; the new index,
// or -1 when out of memory.
kelvo_int32 AppendRingCopy(kelvo_mesh_builder *Builder, kelvo_int32 Vertex,
                           kelvo_int32 RingPredecessor, kelvo_int32 Triangle);
// The layout's "Position" of a vertex (zero when it has none).
void GetVertexPosition(kelvo_mesh_builder const *Builder, kelvo_int32 Vertex,
                       kelvo_real32 Position[3]);
// The link of the channel named Name, or null.
member_link const *FindChannel(kelvo_mesh_builder const *Builder, char const *Name);

} // namespace kelvo

#endif
