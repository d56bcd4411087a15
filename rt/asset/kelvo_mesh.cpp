// Mesh accessors: the vertices, morph targets and indices of a mesh record,
// and copies of them in another layout or index width. Meshes from files
// have had their counts, indices and bone indices checked when their file
// info was taken; a count whose array is missing still reads as empty here.
#include "kelvo2/kelvo2_mesh.h"

#include "foundation/kelvo_log.h"

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoMeshLogMessage;

kelvo_vertex_data const *PrimaryData(kelvo_mesh const *Mesh) {
    return Mesh ? Mesh->PrimaryVertexData : nullptr;
}

// The morph target's vertex data; null (reported) for an index outside the
// mesh's morph targets.
kelvo_vertex_data const *MorphData(kelvo_mesh const *Mesh, kelvo_int32 MorphTargetIndex) {
    KELVO_CHECK_NOT_NULL(Mesh, Origin, nullptr);
    kelvo_int32 Count = Mesh->MorphTargets ? Mesh->MorphTargetCount : 0;
    KELVO_CHECK_INDEX(MorphTargetIndex, Count, Origin, nullptr);
    return Mesh->MorphTargets[MorphTargetIndex].VertexData;
}

kelvo_int32 VertexCountOf(kelvo_vertex_data const *Data) {
    return Data && Data->Vertices ? Data->VertexCount : 0;
}

void *VerticesOf(kelvo_vertex_data const *Data) {
    return Data && Data->VertexCount > 0 ? Data->Vertices : nullptr;
}

void CopyVertices(kelvo_mesh const *Mesh, kelvo_vertex_data const *Data,
                  kelvo_data_type_definition const *VertexType, void *Destination) {
    if (!VerticesOf(Data) || !Data->VertexType) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Mesh \"%s\" has no vertices.", KELVO_HERE,
            Mesh->Name);
        return;
    }
    KelvoConvertVertexLayouts(Data->VertexCount, Data->VertexType, Data->Vertices, VertexType,
                              Destination);
}

kelvo_tri_topology const *TopologyOf(kelvo_mesh const *Mesh) {
    return Mesh ? Mesh->PrimaryTopology : nullptr;
}

kelvo_int32 Count32(kelvo_tri_topology const *Topology) {
    return Topology && Topology->Indices ? Topology->IndexCount : 0;
}

kelvo_int32 Count16(kelvo_tri_topology const *Topology) {
    return Topology && Topology->Indices16 ? Topology->Index16Count : 0;
}

} // namespace

KELVO_API kelvo_data_type_definition const *KelvoGetMeshVertexType(kelvo_mesh const *Mesh) {
    kelvo_vertex_data const *Data = PrimaryData(Mesh);
    return Data ? Data->VertexType : nullptr;
}

KELVO_API kelvo_int32 KelvoGetMeshVertexCount(kelvo_mesh const *Mesh) {
    return VertexCountOf(PrimaryData(Mesh));
}

KELVO_API void *KelvoGetMeshVertices(kelvo_mesh const *Mesh) {
    return VerticesOf(PrimaryData(Mesh));
}

KELVO_API kelvo_data_type_definition const *
KelvoGetMeshMorphVertexType(kelvo_mesh const *Mesh, kelvo_int32 MorphTargetIndex) {
    kelvo_vertex_data const *Data = MorphData(Mesh, MorphTargetIndex);
    return Data ? Data->VertexType : nullptr;
}

KELVO_API kelvo_int32 KelvoGetMeshMorphVertexCount(kelvo_mesh const *Mesh,
                                                   kelvo_int32 MorphTargetIndex) {
    return VertexCountOf(MorphData(Mesh, MorphTargetIndex));
}

KELVO_API void *KelvoGetMeshMorphVertices(kelvo_mesh const *Mesh, kelvo_int32 MorphTargetIndex) {
    return VerticesOf(MorphData(Mesh, MorphTargetIndex));
}

KELVO_API kelvo_bool32 KelvoMeshIsRigid(kelvo_mesh const *Mesh) {
    KELVO_CHECK_NOT_NULL(Mesh, Origin, 1);
    return (Mesh->BoneBindings ? Mesh->BoneBindingCount : 0) < 2;
}

KELVO_API kelvo_int32 KelvoGetMeshIndexCount(kelvo_mesh const *Mesh) {
    kelvo_tri_topology const *Topology = TopologyOf(Mesh);
    return Count32(Topology) ? Count32(Topology) : Count16(Topology);
}

KELVO_API kelvo_int32 KelvoGetMeshTriangleCount(kelvo_mesh const *Mesh) {
    return KelvoGetMeshIndexCount(Mesh) / 3;
}

KELVO_API kelvo_int32 KelvoGetMeshBytesPerIndex(kelvo_mesh const *Mesh) {
    kelvo_tri_topology const *Topology = TopologyOf(Mesh);
    return Count32(Topology) ? 4 : Count16(Topology) ? 2 : 0;
}

KELVO_API void *KelvoGetMeshIndices(kelvo_mesh const *Mesh) {
    kelvo_tri_topology const *Topology = TopologyOf(Mesh);
    if (Count32(Topology)) {
        return Topology->Indices;
    }
    return Count16(Topology) ? Topology->Indices16 : nullptr;
}

KELVO_API void KelvoCopyMeshIndices(kelvo_mesh const *Mesh, kelvo_int32 BytesPerIndex,
                                    void *Destination) {
    KELVO_CHECK_NOT_NULL(Mesh, Origin, KELVO_NOTHING);
    kelvo_int32 FromBytes = KelvoGetMeshBytesPerIndex(Mesh);
    if (FromBytes == 0) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Mesh \"%s\" has no indices.", KELVO_HERE,
            Mesh->Name);
        return;
    }
    KelvoConvertIndices(KelvoGetMeshIndexCount(Mesh), FromBytes, KelvoGetMeshIndices(Mesh),
                        BytesPerIndex, Destination);
}

KELVO_API void KelvoCopyMeshVertices(kelvo_mesh const *Mesh,
                                     kelvo_data_type_definition const *VertexType,
                                     void *Destination) {
    KELVO_CHECK_NOT_NULL(Mesh, Origin, KELVO_NOTHING);
    CopyVertices(Mesh, Mesh->PrimaryVertexData, VertexType, Destination);
}

KELVO_API void KelvoCopyMeshMorphVertices(kelvo_mesh const *Mesh, kelvo_int32 MorphTargetIndex,
                                          kelvo_data_type_definition const *VertexType,
                                          void *Destination) {
    KELVO_CHECK_NOT_NULL(Mesh, Origin, KELVO_NOTHING);
    kelvo_int32 Count = Mesh->MorphTargets ? Mesh->MorphTargetCount : 0;
    if (MorphTargetIndex < 0 || MorphTargetIndex >= Count) {
        MorphData(Mesh, MorphTargetIndex); // reports the index
        return;
    }
    CopyVertices(Mesh, Mesh->MorphTargets[MorphTargetIndex].VertexData, VertexType, Destination);
}

KELVO_API void KelvoTransformBoundingBox(kelvo_real32 const Affine[3], kelvo_real32 const Linear[9],
                                         kelvo_real32 Min[3], kelvo_real32 Max[3]) {
    kelvo_real32 NewMin[3], NewMax[3];
    for (int Corner = 0; Corner < 8; ++Corner) {
        kelvo_real32 const Point[3] = {(Corner & 1) ? Max[0] : Min[0],
                                       (Corner & 2) ? Max[1] : Min[1],
                                       (Corner & 4) ? Max[2] : Min[2]};
        for (int Row = 0; Row < 3; ++Row) {
            kelvo_real32 Value = Linear[3 * Row] * Point[0] + Linear[3 * Row + 1] * Point[1] +
                                 Linear[3 * Row + 2] * Point[2] + Affine[Row];
            if (Corner == 0 || Value < NewMin[Row]) {
                NewMin[Row] = Value;
            }
            if (Corner == 0 || Value > NewMax[Row]) {
                NewMax[Row] = Value;
            }
        }
    }
    for (int Axis = 0; Axis < 3; ++Axis) {
        Min[Axis] = NewMin[Axis];
        Max[Axis] = NewMax[Axis];
    }
}
