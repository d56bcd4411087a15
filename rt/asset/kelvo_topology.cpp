// Triangle indices and topologies: index width conversion, material slot
// remapping and winding inversion. Each array is walked within its own
// count, so a topology whose tables disagree in length is never read past
// any of them.
#include "kelvo2/kelvo2_mesh.h"

#include "foundation/kelvo_log.h"

#include <string.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoMeshLogMessage;

bool IsIndexWidth(kelvo_int32 Bytes) {
    return Bytes == 1 || Bytes == 2 || Bytes == 4;
}

kelvo_uint32 ReadIndex(kelvo_uint8 const *At, kelvo_int32 Bytes) {
    switch (Bytes) {
    case 1:
        return *At;
    case 2: {
        kelvo_uint16 Value;
        memcpy(&Value, At, 2);
        return Value;
    }
    default: {
        kelvo_uint32 Value;
        memcpy(&Value, At, 4);
        return Value;
    }
    }
}

void WriteIndex(kelvo_uint8 *At, kelvo_int32 Bytes, kelvo_uint32 Value) {
    if (Bytes == 1) {
        *At = (kelvo_uint8)Value;
    } else if (Bytes == 2) {
        kelvo_uint16 Narrow = (kelvo_uint16)Value;
        memcpy(At, &Narrow, 2);
    } else {
        memcpy(At, &Value, 4);
    }
}

template <typename index> void SwapFirstAndThird(kelvo_int32 Count, index *Indices) {
    if (!Indices) {
        return;
    }
    for (kelvo_int32 First = 0; First + 3 <= Count; First += 3) {
        index Swapped = Indices[First];
        Indices[First] = Indices[First + 2];
        Indices[First + 2] = Swapped;
    }
}

// A stored side is triangle * 4 + side; sides 0 and 1 trade places when the
// first and third corners do, side 2 stays. Negative entries mark open edges.
kelvo_int32 RenumberSide(kelvo_int32 Side) {
    if (Side < 0) {
        return Side;
    }
    switch (Side & 3) {
    case 0:
        return Side + 1;
    case 1:
        return Side - 1;
    default:
        return Side;
    }
}

} // namespace

KELVO_API void KelvoConvertIndices(kelvo_int32 IndexCount, kelvo_int32 FromBytesPerIndex,
                                   void const *FromIndices, kelvo_int32 ToBytesPerIndex,
                                   void *ToIndices) {
    if (!IsIndexWidth(FromBytesPerIndex)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Illegal value for FromBytesPerIndex (%d)",
            KELVO_HERE, FromBytesPerIndex);
        return;
    }
    if (!IsIndexWidth(ToBytesPerIndex)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Illegal value for ToBytesPerIndex (%d)",
            KELVO_HERE, ToBytesPerIndex);
        return;
    }
    if (IndexCount <= 0) {
        return;
    }
    KELVO_CHECK_NOT_NULL(FromIndices, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(ToIndices, Origin, KELVO_NOTHING);
    kelvo_uint8 const *From = static_cast<kelvo_uint8 const *>(FromIndices);
    kelvo_uint8 *To = static_cast<kelvo_uint8 *>(ToIndices);
    if (FromBytesPerIndex == ToBytesPerIndex) {
        memmove(To, From, (size_t)IndexCount * (size_t)FromBytesPerIndex);
        return;
    }
    for (kelvo_int32 Index = 0; Index < IndexCount; ++Index) {
        WriteIndex(To + (kelvo_intaddrx)Index * ToBytesPerIndex, ToBytesPerIndex,
                   ReadIndex(From + (kelvo_intaddrx)Index * FromBytesPerIndex, FromBytesPerIndex));
    }
}

KELVO_API void KelvoRemapTopologyMaterials(kelvo_tri_topology *Topology, kelvo_int32 RemapCount,
                                           kelvo_int32 const *RemapTable) {
    KELVO_CHECK_NOT_NULL(Topology, Origin, KELVO_NOTHING);
    if (!RemapTable) {
        RemapCount = 0;
    }
    kelvo_int32 GroupCount = Topology->Groups ? Topology->GroupCount : 0;
    for (kelvo_int32 Index = 0; Index < GroupCount; ++Index) {
        kelvo_tri_material_group &Group = Topology->Groups[Index];
        if (Group.MaterialIndex >= 0 && Group.MaterialIndex < RemapCount) {
            Group.MaterialIndex = RemapTable[Group.MaterialIndex];
        } else {
            Log(KelvoWarningLogMessage, Origin,
                "%s(%d): tri_topology material group had out-of-range index %d during remapping",
                KELVO_HERE, Group.MaterialIndex);
        }
    }
}

KELVO_API void KelvoInvertTriTopologyWinding(kelvo_tri_topology *Topology) {
    KELVO_CHECK_NOT_NULL(Topology, Origin, KELVO_NOTHING);
    SwapFirstAndThird(Topology->IndexCount, Topology->Indices);
    SwapFirstAndThird(Topology->Index16Count, Topology->Indices16);
    kelvo_int32 *Sides = Topology->SideToNeighborMap;
    if (!Sides) {
        return;
    }
    for (kelvo_int32 First = 0; First + 3 <= Topology->SideToNeighborCount; First += 3) {
        kelvo_int32 Side0 = Sides[First];
        Sides[First] = RenumberSide(Sides[First + 1]);
        Sides[First + 1] = RenumberSide(Side0);
        Sides[First + 2] = RenumberSide(Sides[First + 2]);
    }
}
