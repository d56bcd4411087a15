// The mesh builder: original vertices (position and skin weights) plus
// triangles whose corners carry their own vectors and channels become a
// vertex array and a triangle topology. Corners are compared as the layout
// stores them, so every corner makes one trip into the layout and back
// before it is compared; the member matching behind that trip is worked out
// once, when the builder begins. Everything the caller passes in is checked
// against the counts given to KelvoBeginMesh before anything changes.
#include "build/kelvo_mesh_builder.h"

#include "kelvo2/kelvo2_mesh.h"

#include "data/kelvo_data_type.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <math.h>
#include <string.h>

namespace {

using namespace kelvo;

constexpr kelvo_log_message_origin Origin = KelvoVertexLayoutLogMessage;
constexpr kelvo_int32 UnitsPerBlock = 8192;
constexpr kelvo_int32 MaxChannelCount = 256;
constexpr kelvo_int32 MaxBonesPerVertex = 256;
constexpr kelvo_real32 DefaultTolerance = 0.001f;
constexpr kelvo_real32 DefaultTangentMergingTolerance = 0.25f;

char const *const VectorNames[VectorMemberCount] = {"Normal", "Tangent", "Binormal",
                                                    "TangentBinormalCross"};

kelvo_int32 RoundUp(kelvo_int32 Size) {
    return (Size + DefaultAlignment - 1) / DefaultAlignment * DefaultAlignment;
}

bool AllFinite(kelvo_int32 Count, kelvo_real32 const *Values) {
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        if (!isfinite(Values[Index])) {
            return false;
        }
    }
    return true;
}

bool Finite3(kelvo_real32 X, kelvo_real32 Y, kelvo_real32 Z) {
    kelvo_real32 const Values[3] = {X, Y, Z};
    return AllFinite(3, Values);
}

bool CheckIndex(char const *Name, kelvo_int32 Index, kelvo_int32 Count) {
    if (Index >= 0 && Index < Count) {
        return true;
    }
    Log(KelvoErrorLogMessage, Origin, "%s(%d): %s %d is out of range [0, %d)", KELVO_HERE, Name,
        Index, Count);
    return false;
}

bool CheckFinite(bool Finite, char const *What) {
    if (!Finite) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): %s is not finite", KELVO_HERE, What);
    }
    return Finite;
}

// Links a source of SourceType elements to the layout member named Name.
member_link LinkMember(kelvo_data_type_definition const *Layout, char const *Name,
                       kelvo_member_type SourceType, kelvo_int32 SourceOffset,
                       kelvo_int32 SourceWidth) {
    member_link Link = {SourceOffset, SourceWidth, -1, -1, 0, nullptr, nullptr, nullptr, false};
    kelvo_int32 Offset = 0;
    kelvo_data_type_definition const *Member = FindMemberByName(Layout, Name, Offset);
    if (!Member) {
        return Link;
    }
    element_run_converter To = GetElementRunConverter(Member->Type, SourceType);
    element_run_converter From = GetElementRunConverter(SourceType, Member->Type);
    if (!To || !From) {
        return Link;
    }
    kelvo_int32 Width = KelvoGetMemberArrayWidth(Member);
    Link.LayoutOffset = Offset;
    Link.Width = Width < SourceWidth ? Width : SourceWidth;
    Link.Member = Member;
    Link.ToLayout = To;
    Link.FromLayout = From;
    Link.Copies = Member->Type == KelvoReal32Member && SourceType == KelvoReal32Member;
    return Link;
}

void ToLayout(member_link const &Link, void const *Source, kelvo_uint8 *Vertex) {
    if (Link.LayoutOffset >= 0 && Link.Copies) {
        memcpy(Vertex + Link.LayoutOffset, Source, sizeof(kelvo_real32) * (size_t)Link.Width);
    } else if (Link.LayoutOffset >= 0) {
        Link.ToLayout(Vertex + Link.LayoutOffset, 0, static_cast<kelvo_uint8 const *>(Source), 0, 1,
                      Link.Width);
    }
}

// The corner as the layout will store it: each member the layout has
// travels into it and back, as wide as the layout holds it.
void StoreCorner(kelvo_mesh_builder const *Builder, kelvo_real32 const *Corner,
                 kelvo_real32 *Stored) {
    kelvo_int32 const LinkCount = VectorMemberCount + Builder->ChannelCount;
    for (kelvo_int32 Index = 0; Index < LinkCount; ++Index) {
        member_link const &Link = Builder->CornerLinks[Index];
        if (Link.StoredOffset < 0) {
            continue;
        }
        kelvo_real32 const *From = Corner + Link.SourceOffset;
        kelvo_real32 *To = Stored + Link.StoredOffset;
        if (Link.Copies) {
            memcpy(To, From, sizeof(kelvo_real32) * (size_t)Link.Width);
        } else {
            kelvo_uint8 InLayout[ChannelWidth * 8];
            Link.ToLayout(InLayout, 0, reinterpret_cast<kelvo_uint8 const *>(From), 0, 1,
                          Link.Width);
            Link.FromLayout(reinterpret_cast<kelvo_uint8 *>(To), 0, InLayout, 0, 1, Link.Width);
        }
    }
}

bool WithinTolerance(kelvo_mesh_builder const *Builder, kelvo_real32 const *A,
                     kelvo_real32 const *B) {
    kelvo_int32 const LinkCount = VectorMemberCount + Builder->ChannelCount;
    for (kelvo_int32 Index = 0; Index < LinkCount; ++Index) {
        member_link const &Link = Builder->CornerLinks[Index];
        kelvo_real32 Distance = 0;
        for (kelvo_int32 Element = 0; Element < Link.Width; ++Element) {
            kelvo_real32 Delta = A[Link.StoredOffset + Element] - B[Link.StoredOffset + Element];
            Distance += Delta * Delta;
        }
        kelvo_real32 Tolerance = Builder->Tolerances[Index];
        if (Distance > Tolerance * Tolerance) {
            return false;
        }
    }
    return true;
}

// The N heaviest bones, heaviest first; among equal weights the lower bone
// index first. Bones without positive weight never enter.
void SelectHeaviest(kelvo_mesh_builder const *Builder, kelvo_real32 *Weights, kelvo_uint32 *Bones) {
    kelvo_int32 const N = Builder->BonesPerVertex;
    for (kelvo_int32 Slot = 0; Slot < N; ++Slot) {
        Weights[Slot] = 0;
        Bones[Slot] = 0;
    }
    for (kelvo_int32 Touched = 0; Touched < Builder->TouchedCount; ++Touched) {
        kelvo_int32 Bone = Builder->TouchedBones[Touched];
        kelvo_real32 Weight = Builder->PendingWeights[Bone];
        kelvo_int32 Slot = 0;
        while (Slot < N && (Weights[Slot] > Weight || (Weights[Slot] == Weight && Weight > 0 &&
                                                       Bones[Slot] < (kelvo_uint32)Bone))) {
            ++Slot;
        }
        if (Slot == N || !(Weight > Weights[Slot] || (Weight == Weights[Slot] && Weight > 0))) {
            continue;
        }
        for (kelvo_int32 Move = N - 1; Move > Slot; --Move) {
            Weights[Move] = Weights[Move - 1];
            Bones[Move] = Bones[Move - 1];
        }
        Weights[Slot] = Weight;
        Bones[Slot] = (kelvo_uint32)Bone;
    }
    kelvo_real32 Sum = 0;
    for (kelvo_int32 Slot = 0; Slot < N; ++Slot) {
        Sum += Weights[Slot];
    }
    if (Sum > 0) {
        for (kelvo_int32 Slot = 0; Slot < N; ++Slot) {
            Weights[Slot] /= Sum;
        }
    } else if (N > 0) {
        Weights[0] = 1;
    }
}

bool HasExactNorm(kelvo_data_type_definition const *Member) {
    switch (Member->Type) {
    case KelvoReal32Member:
    case KelvoBinormalInt8Member:
    case KelvoNormalUInt8Member:
    case KelvoBinormalInt16Member:
    case KelvoNormalUInt16Member:
        return true;
    default:
        return false;
    }
}

void ClearPendingVertex(kelvo_mesh_builder *Builder) {
    Builder->PendingPosition[0] = Builder->PendingPosition[1] = Builder->PendingPosition[2] = 0;
    for (kelvo_int32 Touched = 0; Touched < Builder->TouchedCount; ++Touched) {
        kelvo_int32 Bone = Builder->TouchedBones[Touched];
        Builder->PendingWeights[Bone] = 0;
        Builder->BoneTouched[Bone] = 0;
    }
    Builder->TouchedCount = 0;
}

// The vertex of original V that takes this corner: V itself on first use,
// else the first of V's ring within tolerance, else a new copy in the ring.
kelvo_int32 WeldCorner(kelvo_mesh_builder *Builder, kelvo_real32 const *Corner, kelvo_int32 V,
                       kelvo_int32 Triangle, kelvo_int32 &Reserved) {
    vertex_link *Link = LinkAt(Builder, V);
    if (Link->Triangle < 0) {
        MergeCorner(Builder, Corner, V);
        Link->Triangle = Triangle;
        return V;
    }
    kelvo_int32 At = V, Last = V;
    do {
        if (WithinTolerance(Builder, CornerAt(Builder, At), Corner)) {
            return At;
        }
        Last = At;
        At = LinkAt(Builder, At)->Next;
    } while (At != V);
    kelvo_int32 Copy = Reserved++;
    memcpy(VertexAt(Builder, Copy), VertexAt(Builder, V), (size_t)Builder->VertexSize);
    *LinkAt(Builder, Copy) = {V, Triangle, V};
    LinkAt(Builder, Last)->Next = Copy;
    MergeCorner(Builder, Corner, Copy);
    return Copy;
}

// Stored triangle order: material groups in material order, each group's
// triangles from its list head (the reverse of their push order).
void ComputeOutputOrder(kelvo_mesh_builder const *Builder) {
    kelvo_int32 Position = 0;
    for (kelvo_int32 Material = 0; Material < Builder->MaterialCount; ++Material) {
        for (kelvo_int32 Triangle = Builder->MaterialHeads[Material]; Triangle >= 0;
             Triangle = Builder->Triangles[Triangle].NextInMaterial) {
            Builder->OutputOfPush[Triangle] = Position++;
        }
    }
}

// ---- the two outputs ------------------------------------------------------

struct vertex_data_plan {
    kelvo_vertex_data *Data;
    kelvo_data_type_definition *Definition;
    char *DefinitionNames;
    kelvo_uint8 *Vertices;
    kelvo_string_slot *Names;
    char *NameText;
};

kelvo_int64 DefinitionNameSize(kelvo_mesh_builder const *Builder) {
    kelvo_int64 Size = 0;
    for (kelvo_int32 Member = 0; Member < Builder->MemberCount; ++Member) {
        char const *Name = Builder->VertexType[Member].Name;
        Size += Name ? (kelvo_int64)strlen(Name) + 1 : 0;
    }
    return Size;
}

kelvo_int32 ResultingVertexCount(kelvo_mesh_builder const *Builder) {
    return KelvoGetStackUnitCount(&Builder->Units);
}

// Reservations only: the caller ends them with a size or a placement.
void PlanVertexData(aggr_allocator &Aggr, kelvo_mesh_builder const *Builder,
                    vertex_data_plan &Plan) {
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Plan.Data, sizeof(kelvo_vertex_data));
    AggrAllocArrayPtr(Aggr, (kelvo_int64)Builder->MemberCount + 1, &Plan.Definition);
    AggrAllocPtr(Aggr, &Plan.DefinitionNames, DefinitionNameSize(Builder));
    AggrAllocPtr(Aggr, &Plan.Vertices,
                 (kelvo_int64)ResultingVertexCount(Builder) * Builder->VertexSize);
    AggrAllocArrayPtr(Aggr, Builder->MemberCount, &Plan.Names);
    // Missing names share the block's one empty string.
    AggrAllocPtr(Aggr, &Plan.NameText, (kelvo_int64)Builder->ComponentNameTextSize + 1);
}

struct topology_plan {
    kelvo_tri_topology *Topology;
    kelvo_tri_material_group *Groups;
    kelvo_int32 *Indices;
    kelvo_int32 *VertexToVertex;
    kelvo_int32 *VertexToTriangle;
    kelvo_int32 *SideToNeighbor;
    // Work of the side-neighbour pass, in a block of its own.
    kelvo_int32 *Heads;
    kelvo_int32 *Originals;
    struct side_record {
        kelvo_int32 Larger, First, Last, Next;
    } * Sides;
};

void PlanTopology(aggr_allocator &Aggr, kelvo_mesh_builder const *Builder, topology_plan &Plan) {
    kelvo_int64 Indices = (kelvo_int64)Builder->TriangleCount * 3;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Plan.Topology, sizeof(kelvo_tri_topology));
    AggrAllocArrayPtr(Aggr, Builder->UsedMaterialCount, &Plan.Groups);
    AggrAllocArrayPtr(Aggr, Indices, &Plan.Indices);
    AggrAllocArrayPtr(Aggr, ResultingVertexCount(Builder), &Plan.VertexToVertex);
    AggrAllocArrayPtr(Aggr, ResultingVertexCount(Builder), &Plan.VertexToTriangle);
    AggrAllocArrayPtr(Aggr, Indices, &Plan.SideToNeighbor);
}

kelvo_int32 CheckedResultSize(kelvo_int64 Size) {
    return ResultingSize(Size, Origin);
}

// Bytes of one output as its plan reserves them.
template <typename plan>
kelvo_int32 PlannedSize(kelvo_mesh_builder const *Builder,
                        void (*Reserve)(aggr_allocator &, kelvo_mesh_builder const *, plan &)) {
    aggr_allocator Aggr;
    plan Plan;
    Reserve(Aggr, Builder, Plan);
    return CheckedResultSize(EndAggrSize(Aggr, KELVO_HERE));
}

void FillVertexData(kelvo_mesh_builder const *Builder, vertex_data_plan const &Plan) {
    KelvoMakeEmptyDataTypeObject(KelvoVertexDataType, Plan.Data);
    char *NameAt = Plan.DefinitionNames;
    for (kelvo_int32 Member = 0; Member <= Builder->MemberCount; ++Member) {
        kelvo_data_type_definition Record = Builder->VertexType[Member];
        if (Member < Builder->MemberCount && Record.Name) {
            size_t Length = strlen(Record.Name) + 1;
            memcpy(NameAt, Record.Name, Length);
            Record.Name = NameAt;
            NameAt += Length;
        }
        Plan.Definition[Member] = Record;
    }
    kelvo_int32 const Count = ResultingVertexCount(Builder);
    for (kelvo_int32 Vertex = 0; Vertex < Count; ++Vertex) {
        memcpy(Plan.Vertices + (size_t)Vertex * Builder->VertexSize, VertexAt(Builder, Vertex),
               (size_t)Builder->VertexSize);
    }
    if (Builder->ComponentNameTextSize > 0) {
        memcpy(Plan.NameText, Builder->ComponentNameText, (size_t)Builder->ComponentNameTextSize);
    }
    char const *Empty = Plan.NameText + Builder->ComponentNameTextSize;
    Plan.NameText[Builder->ComponentNameTextSize] = 0;
    for (kelvo_int32 Member = 0; Member < Builder->MemberCount; ++Member) {
        char const *Name = Builder->ComponentNames ? Builder->ComponentNames[Member] : nullptr;
        Plan.Names[Member] = Name ? Plan.NameText + (Name - Builder->ComponentNameText) : Empty;
    }
    Plan.Data->VertexType = Plan.Definition;
    Plan.Data->VertexCount = Count;
    Plan.Data->Vertices = Count ? Plan.Vertices : nullptr;
    Plan.Data->VertexComponentNameCount = Builder->MemberCount;
    Plan.Data->VertexComponentNames = Builder->MemberCount ? Plan.Names : nullptr;
}

// Sides are keyed by their ends' original vertices; each side refers to the
// next side of its key in insertion order, the last back to the first. Keys
// are found through lists headed at their smaller original vertex: meshes
// keep neighbouring vertices close in number, so the lookups stay in cache
// where a hash over both ends would scatter them.
bool FillSideNeighbors(kelvo_mesh_builder const *Builder, topology_plan &Plan) {
    kelvo_int32 const SideCount = Builder->TriangleCount * 3;
    kelvo_int32 const VertexCount = ResultingVertexCount(Builder);
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocArrayPtr(Aggr, Builder->OriginalCount, &Plan.Heads);
    AggrAllocArrayPtr(Aggr, VertexCount, &Plan.Originals);
    AggrAllocArrayPtr(Aggr, SideCount, &Plan.Sides);
    void *Block = EndAggrAlloc(Aggr, KELVO_HERE);
    if (!Block) {
        return false;
    }
    memset(Plan.Heads, 0xff, sizeof(kelvo_int32) * (size_t)Builder->OriginalCount);
    for (kelvo_int32 Vertex = 0; Vertex < VertexCount; ++Vertex) {
        Plan.Originals[Vertex] = LinkAt(Builder, Vertex)->Original;
    }
    kelvo_int32 RecordCount = 0;
    for (kelvo_int32 Side = 0; Side < SideCount; ++Side) {
        kelvo_int32 Triangle = Side / 3, Corner = Side % 3;
        kelvo_int32 A = Plan.Originals[Plan.Indices[Side]];
        kelvo_int32 B = Plan.Originals[Plan.Indices[Triangle * 3 + (Corner + 1) % 3]];
        kelvo_int32 Smaller = A < B ? A : B, Larger = A < B ? B : A;
        kelvo_int32 Number = Triangle * 4 + Corner;
        kelvo_int32 Record = Plan.Heads[Smaller];
        while (Record >= 0 && Plan.Sides[Record].Larger != Larger) {
            Record = Plan.Sides[Record].Next;
        }
        if (Record < 0) {
            Plan.Sides[RecordCount] = {Larger, Number, Number, Plan.Heads[Smaller]};
            Plan.Heads[Smaller] = RecordCount++;
            Plan.SideToNeighbor[Side] = Number;
            continue;
        }
        auto &Shared = Plan.Sides[Record];
        Plan.SideToNeighbor[Shared.Last / 4 * 3 + Shared.Last % 4] = Number;
        Plan.SideToNeighbor[Side] = Shared.First;
        Shared.Last = Number;
    }
    KELVO_DEALLOCATE(Block);
    return true;
}

bool FillTopology(kelvo_mesh_builder const *Builder, topology_plan &Plan) {
    KelvoMakeEmptyDataTypeObject(KelvoTriTopologyType, Plan.Topology);
    ComputeOutputOrder(Builder);
    kelvo_int32 GroupCount = 0, First = 0;
    for (kelvo_int32 Material = 0; Material < Builder->MaterialCount; ++Material) {
        kelvo_int32 Count = Builder->MaterialTriangleCounts[Material];
        if (Count > 0) {
            Plan.Groups[GroupCount++] = {Material, First, Count};
            First += Count;
        }
    }
    for (kelvo_int32 Triangle = 0; Triangle < Builder->TriangleCount; ++Triangle) {
        memcpy(Plan.Indices + (size_t)Builder->OutputOfPush[Triangle] * 3,
               Builder->Triangles[Triangle].Vertices, sizeof(kelvo_int32) * 3);
    }
    kelvo_int32 const VertexCount = ResultingVertexCount(Builder);
    for (kelvo_int32 Vertex = 0; Vertex < VertexCount; ++Vertex) {
        vertex_link const *Link = LinkAt(Builder, Vertex);
        Plan.VertexToVertex[Vertex] = Link->Next;
        Plan.VertexToTriangle[Vertex] =
            Link->Triangle < 0 ? -1 : Builder->OutputOfPush[Link->Triangle];
    }
    kelvo_tri_topology &T = *Plan.Topology;
    kelvo_int32 const IndexCount = Builder->TriangleCount * 3;
    T.GroupCount = GroupCount;
    T.Groups = GroupCount ? Plan.Groups : nullptr;
    T.IndexCount = IndexCount;
    T.Indices = IndexCount ? Plan.Indices : nullptr;
    T.VertexToVertexCount = VertexCount;
    T.VertexToVertexMap = VertexCount ? Plan.VertexToVertex : nullptr;
    T.VertexToTriangleCount = VertexCount;
    T.VertexToTriangleMap = VertexCount ? Plan.VertexToTriangle : nullptr;
    T.SideToNeighborCount = IndexCount;
    T.SideToNeighborMap = IndexCount ? Plan.SideToNeighbor : nullptr;
    return FillSideNeighbors(Builder, Plan);
}

void FreeBuilder(kelvo_mesh_builder *Builder) {
    KelvoStackCleanUp(&Builder->Units);
    if (Builder->ComponentNames) {
        KELVO_DEALLOCATE(Builder->ComponentNames);
    }
    KELVO_DEALLOCATE(Builder);
}

bool CheckCorner(kelvo_int32 Corner) {
    return CheckIndex("Corner", Corner, 3);
}

kelvo_real32 *PendingCorner(kelvo_mesh_builder *Builder, kelvo_int32 Corner) {
    return Builder->PendingCorners + (size_t)Corner * Builder->CornerRealCount;
}

void SetCornerVector(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_int32 At,
                     kelvo_real32 X, kelvo_real32 Y, kelvo_real32 Z) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (!CheckCorner(Corner) || !CheckFinite(Finite3(X, Y, Z), VectorNames[At / 3])) {
        return;
    }
    kelvo_real32 *Values = PendingCorner(Builder, Corner) + At;
    Values[0] = X;
    Values[1] = Y;
    Values[2] = Z;
}

void SetTolerance(kelvo_mesh_builder *Builder, kelvo_int32 Index, kelvo_real32 Tolerance) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    Builder->Tolerances[Index] = Tolerance;
}

} // namespace

// ---- shared with the tangent space ----------------------------------------

namespace kelvo {

kelvo_uint8 *UnitAt(kelvo_mesh_builder const *Builder, kelvo_int32 Index) {
    kelvo_stack_allocator const &Units = Builder->Units;
    kelvo_stack_allocator_block const *Block = Units.BlockDirectory[Index / UnitsPerBlock];
    return Block->Base + (size_t)(Index - Block->FirstIndex) * Builder->UnitSize;
}

void MergeCorner(kelvo_mesh_builder *Builder, kelvo_real32 const *Stored, kelvo_int32 Vertex) {
    kelvo_uint8 *InLayout = VertexAt(Builder, Vertex);
    kelvo_int32 const LinkCount = VectorMemberCount + Builder->ChannelCount;
    for (kelvo_int32 Index = 0; Index < LinkCount; ++Index) {
        member_link const &Link = Builder->CornerLinks[Index];
        if (Link.StoredOffset >= 0) {
            ToLayout(Link, Stored + Link.StoredOffset, InLayout);
        }
    }
    memcpy(CornerAt(Builder, Vertex), Stored, sizeof(kelvo_real32) * Builder->StoredRealCount);
}

void GetCornerVector(kelvo_mesh_builder const *Builder, kelvo_int32 Vertex, kelvo_int32 At,
                     kelvo_real32 Vector[3]) {
    member_link const &Link = Builder->CornerLinks[At / 3];
    for (kelvo_int32 Element = 0; Element < 3; ++Element) {
        Vector[Element] =
            Element < Link.Width ? CornerAt(Builder, Vertex)[Link.StoredOffset + Element] : 0;
    }
}

void SetCornerFrame(kelvo_mesh_builder *Builder, kelvo_int32 Vertex, kelvo_real32 const *Tangent,
                    kelvo_real32 const *Binormal, kelvo_real32 const *Cross) {
    kelvo_real32 Corner[ChannelsAt] = {};
    GetCornerVector(Builder, Vertex, NormalAt, Corner + NormalAt);
    memcpy(Corner + TangentAt, Tangent, sizeof(kelvo_real32) * 3);
    memcpy(Corner + BinormalAt, Binormal, sizeof(kelvo_real32) * 3);
    memcpy(Corner + CrossAt, Cross, sizeof(kelvo_real32) * 3);
    kelvo_real32 *Stored = CornerAt(Builder, Vertex);
    kelvo_uint8 *InLayout = VertexAt(Builder, Vertex);
    for (kelvo_int32 Index = 1; Index < VectorMemberCount; ++Index) {
        member_link const &Link = Builder->CornerLinks[Index];
        if (Link.StoredOffset < 0) {
            continue;
        }
        kelvo_real32 Values[3];
        kelvo_real32 *At = Stored + Link.StoredOffset;
        // Through the layout and back, as corners are stored.
        kelvo_uint8 Staged[3 * 8];
        if (Link.Copies) {
            memcpy(At, Corner + Link.SourceOffset, sizeof(kelvo_real32) * (size_t)Link.Width);
        } else {
            memcpy(Values, Corner + Link.SourceOffset, sizeof(Values));
            Link.ToLayout(Staged, 0, reinterpret_cast<kelvo_uint8 const *>(Values), 0, 1,
                          Link.Width);
            Link.FromLayout(reinterpret_cast<kelvo_uint8 *>(At), 0, Staged, 0, 1, Link.Width);
        }
        ToLayout(Link, At, InLayout);
    }
}

kelvo_int32 AppendRingCopy(kelvo_mesh_builder *Builder, kelvo_int32 Vertex,
                           kelvo_int32 RingPredecessor, kelvo_int32 Triangle) {
    kelvo_int32 Copy;
    if (!KelvoNewStackUnit(&Builder->Units, &Copy)) {
        return -1;
    }
    memcpy(UnitAt(Builder, Copy), UnitAt(Builder, Vertex), (size_t)Builder->UnitSize);
    vertex_link *Predecessor = LinkAt(Builder, RingPredecessor);
    *LinkAt(Builder, Copy) = {Predecessor->Next, Triangle, LinkAt(Builder, Vertex)->Original};
    Predecessor->Next = Copy;
    return Copy;
}

void GetVertexPosition(kelvo_mesh_builder const *Builder, kelvo_int32 Vertex,
                       kelvo_real32 Position[3]) {
    Position[0] = Position[1] = Position[2] = 0;
    member_link const &Link = Builder->PositionLink;
    if (Link.LayoutOffset >= 0) {
        Link.FromLayout(reinterpret_cast<kelvo_uint8 *>(Position), 0,
                        VertexAt(Builder, Vertex) + Link.LayoutOffset, 0, 1, Link.Width);
    }
}

member_link const *FindChannel(kelvo_mesh_builder const *Builder, char const *Name) {
    for (kelvo_int32 Channel = 0; Channel < Builder->ChannelCount; ++Channel) {
        member_link const &Link = Builder->CornerLinks[VectorMemberCount + Channel];
        if (Link.Member && Link.Member->Name && strcmp(Link.Member->Name, Name) == 0) {
            return &Link;
        }
    }
    return nullptr;
}

} // namespace kelvo

// ---- exports ----------------------------------------------------------------

KELVO_API kelvo_mesh_builder *KelvoBeginMesh(kelvo_int32 VertexCount, kelvo_int32 TriangleCount,
                                             kelvo_int32 MaterialCount, kelvo_int32 BoneCount,
                                             kelvo_data_type_definition const *VertexType) {
    KELVO_CHECK_NOT_NULL(VertexType, Origin, nullptr);
    KELVO_CHECK(VertexCount >= 0 && TriangleCount >= 0 && MaterialCount >= 0 && BoneCount >= 0,
                Origin, nullptr);
    // Side numbers (triangle * 4 + side) and the store bound must fit int32.
    KELVO_CHECK(TriangleCount <= INT32_MAX / 12, Origin, nullptr);
    kelvo_int64 MaxUnits = 4 * (kelvo_int64)VertexCount + 12 * (kelvo_int64)TriangleCount;
    KELVO_CHECK(MaxUnits <= INT32_MAX, Origin, nullptr);
    kelvo_int32 VertexSize = KelvoGetTotalObjectSize(VertexType);
    KELVO_CHECK(VertexSize > 0, Origin, nullptr);
    kelvo_int32 BonesPerVertex = KelvoGetVertexBoneCount(VertexType);
    KELVO_CHECK(BonesPerVertex <= MaxBonesPerVertex, Origin, nullptr);
    kelvo_int32 ChannelCount = KelvoGetVertexChannelCount(VertexType);
    KELVO_CHECK(ChannelCount <= MaxChannelCount, Origin, nullptr);
    kelvo_int32 MemberCount = 0;
    while (VertexType[MemberCount].Type != KelvoEndMember) {
        ++MemberCount;
    }
    kelvo_int32 const LinkCount = VectorMemberCount + ChannelCount;
    kelvo_int32 const CornerRealCount = ChannelsAt + ChannelWidth * ChannelCount;

    kelvo_mesh_builder *B;
    aggr_allocator Aggr;
    kelvo_real32 *Tolerances, *PendingWeights, *PendingCorners, *Scratch;
    member_link *Links;
    kelvo_int32 *TouchedBones, *MaterialHeads, *MaterialCounts, *OutputOfPush;
    kelvo_uint8 *BoneTouched, *EmptyVertex;
    builder_triangle *Triangles;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &B, sizeof(kelvo_mesh_builder));
    AggrAllocArrayPtr(Aggr, LinkCount, &Tolerances);
    AggrAllocArrayPtr(Aggr, LinkCount, &Links);
    AggrAllocArrayPtr(Aggr, BoneCount, &PendingWeights);
    AggrAllocArrayPtr(Aggr, BoneCount, &TouchedBones);
    AggrAllocArrayPtr(Aggr, BoneCount, &BoneTouched);
    AggrAllocArrayPtr(Aggr, 3 * (kelvo_int64)CornerRealCount, &PendingCorners);
    AggrAllocArrayPtr(Aggr, CornerRealCount, &Scratch);
    AggrAllocArrayPtr(Aggr, VertexSize, &EmptyVertex);
    AggrAllocArrayPtr(Aggr, TriangleCount, &Triangles);
    AggrAllocArrayPtr(Aggr, MaterialCount, &MaterialHeads);
    AggrAllocArrayPtr(Aggr, MaterialCount, &MaterialCounts);
    AggrAllocArrayPtr(Aggr, TriangleCount, &OutputOfPush);
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    *B = kelvo_mesh_builder{};
    B->VertexType = VertexType;
    B->VertexSize = VertexSize;
    B->MemberCount = MemberCount;
    B->ChannelCount = ChannelCount;
    B->CornerRealCount = CornerRealCount;
    B->MaxOriginalCount = VertexCount;
    B->MaxTriangleCount = TriangleCount;
    B->MaterialCount = MaterialCount;
    B->BoneCount = BoneCount;
    B->BonesPerVertex = BonesPerVertex;
    B->Tolerances = Tolerances;
    B->TangentMergingTolerance = DefaultTangentMergingTolerance;
    B->CornerLinks = Links;
    B->PendingWeights = PendingWeights;
    B->TouchedBones = TouchedBones;
    B->BoneTouched = BoneTouched;
    B->PendingCorners = PendingCorners;
    B->Scratch = Scratch;
    B->EmptyVertex = EmptyVertex;
    B->Triangles = Triangles;
    B->MaterialHeads = MaterialHeads;
    B->MaterialTriangleCounts = MaterialCounts;
    B->OutputOfPush = OutputOfPush;

    for (kelvo_int32 Index = 0; Index < VectorMemberCount; ++Index) {
        Links[Index] = LinkMember(VertexType, VectorNames[Index], KelvoReal32Member, Index * 3, 3);
    }
    kelvo_int32 Channel = 0;
    for (kelvo_int32 Member = 0; Member < MemberCount; ++Member) {
        char const *Name = VertexType[Member].Name;
        if (!KelvoIsSpatialVertexMember(Name)) {
            Links[VectorMemberCount + Channel] =
                LinkMember(VertexType, Name ? Name : "", KelvoReal32Member,
                           ChannelsAt + ChannelWidth * Channel, ChannelWidth);
            ++Channel;
        }
    }
    kelvo_int32 StoredRealCount = 0;
    for (kelvo_int32 Index = 0; Index < LinkCount; ++Index) {
        Tolerances[Index] = DefaultTolerance;
        if (Links[Index].LayoutOffset >= 0) {
            Links[Index].StoredOffset = StoredRealCount;
            StoredRealCount += Links[Index].Width;
        }
    }
    B->StoredRealCount = StoredRealCount;
    B->PositionLink = LinkMember(VertexType, "Position", KelvoReal32Member, 0, 3);
    B->WeightsLink = LinkMember(VertexType, "BoneWeights", KelvoReal32Member, 0, BonesPerVertex);
    B->IndicesLink = LinkMember(VertexType, "BoneIndices", KelvoUInt32Member, 0, BonesPerVertex);
    memset(PendingWeights, 0, sizeof(kelvo_real32) * (size_t)BoneCount);
    memset(BoneTouched, 0, (size_t)BoneCount);
    memset(PendingCorners, 0, sizeof(kelvo_real32) * 3 * (size_t)CornerRealCount);
    for (kelvo_int32 Material = 0; Material < MaterialCount; ++Material) {
        MaterialHeads[Material] = -1;
        MaterialCounts[Material] = 0;
    }
    KelvoMakeEmptyDataTypeObject(VertexType, EmptyVertex);

    B->LinkOffset = RoundUp(VertexSize);
    B->CornerOffset = B->LinkOffset + (kelvo_int32)sizeof(vertex_link);
    B->UnitSize = RoundUp(B->CornerOffset + (kelvo_int32)sizeof(kelvo_real32) * StoredRealCount);
    KelvoStackInitializeWithDirectory(&B->Units, B->UnitSize, UnitsPerBlock, (kelvo_int32)MaxUnits);
    if (!B->Units.BlockDirectory && MaxUnits > 0) {
        FreeBuilder(B);
        return nullptr;
    }
    return B;
}

KELVO_API void KelvoSetNormalTolerance(kelvo_mesh_builder *Builder, kelvo_real32 Tolerance) {
    SetTolerance(Builder, NormalAt / 3, Tolerance);
}
KELVO_API void KelvoSetTangentTolerance(kelvo_mesh_builder *Builder, kelvo_real32 Tolerance) {
    SetTolerance(Builder, TangentAt / 3, Tolerance);
}
KELVO_API void KelvoSetBinormalTolerance(kelvo_mesh_builder *Builder, kelvo_real32 Tolerance) {
    SetTolerance(Builder, BinormalAt / 3, Tolerance);
}
KELVO_API void KelvoSetTangentBinormalCrossTolerance(kelvo_mesh_builder *Builder,
                                                     kelvo_real32 Tolerance) {
    SetTolerance(Builder, CrossAt / 3, Tolerance);
}
KELVO_API void KelvoSetTangentMergingTolerance(kelvo_mesh_builder *Builder,
                                               kelvo_real32 Tolerance) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    Builder->TangentMergingTolerance = Tolerance;
}
KELVO_API void KelvoSetChannelTolerance(kelvo_mesh_builder *Builder, kelvo_int32 Channel,
                                        kelvo_real32 Tolerance) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (CheckIndex("Channel", Channel, Builder->ChannelCount)) {
        Builder->Tolerances[VectorMemberCount + Channel] = Tolerance;
    }
}

KELVO_API void KelvoSetVertexChannelComponentNames(kelvo_mesh_builder *Builder,
                                                   kelvo_int32 ChannelCount,
                                                   char const *const *ChannelNames) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (ChannelCount != KelvoGetVertexComponentCount(Builder->VertexType)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): ChannelCount == GetVertexComponentCount(Builder.VertexType) was not true",
            KELVO_HERE);
        return;
    }
    KELVO_CHECK_NOT_NULL(ChannelNames, Origin, KELVO_NOTHING);
    // Names are stored parallel to the layout's members; "BoneWeights" has
    // no tool name of its own and gets an empty one.
    kelvo_int64 TextSize = 0;
    for (kelvo_int32 Index = 0; Index < ChannelCount; ++Index) {
        TextSize += ChannelNames[Index] ? (kelvo_int64)strlen(ChannelNames[Index]) + 1 : 0;
    }
    kelvo_int64 TableSize = sizeof(char const *) * (kelvo_int64)Builder->MemberCount;
    KELVO_CHECK(TextSize <= INT32_MAX / 2 && TableSize <= INT32_MAX / 2, Origin, KELVO_NOTHING);
    void *Block = KELVO_ALLOCATE_SIZE((kelvo_int32)(TableSize + TextSize));
    if (!Block) {
        return;
    }
    char const **Names = static_cast<char const **>(Block);
    char *Text = static_cast<char *>(Block) + TableSize;
    char *At = Text;
    kelvo_int32 Given = 0;
    for (kelvo_int32 Member = 0; Member < Builder->MemberCount; ++Member) {
        char const *Name = Builder->VertexType[Member].Name;
        Names[Member] = nullptr;
        if (Name && strcmp(Name, "BoneWeights") == 0) {
            continue;
        }
        if (char const *ToolName = ChannelNames[Given++]) {
            size_t Length = strlen(ToolName) + 1;
            memcpy(At, ToolName, Length);
            Names[Member] = At;
            At += Length;
        }
    }
    if (Builder->ComponentNames) {
        KELVO_DEALLOCATE(Builder->ComponentNames);
    }
    Builder->ComponentNames = Names;
    Builder->ComponentNameText = Text;
    Builder->ComponentNameTextSize = (kelvo_int32)(At - Text);
}

KELVO_API void KelvoSetPosition(kelvo_mesh_builder *Builder, kelvo_real32 X, kelvo_real32 Y,
                                kelvo_real32 Z) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (CheckFinite(Finite3(X, Y, Z), "Position")) {
        Builder->PendingPosition[0] = X;
        Builder->PendingPosition[1] = Y;
        Builder->PendingPosition[2] = Z;
    }
}

KELVO_API void KelvoAddWeight(kelvo_mesh_builder *Builder, kelvo_int32 BoneIndex,
                              kelvo_real32 Weight) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    // A sum of finite weights can still overflow.
    if (!CheckIndex("BoneIndex", BoneIndex, Builder->BoneCount) ||
        !CheckFinite(isfinite(Weight) && isfinite(Builder->PendingWeights[BoneIndex] + Weight),
                     "Weight")) {
        return;
    }
    if (!Builder->BoneTouched[BoneIndex]) {
        Builder->BoneTouched[BoneIndex] = 1;
        Builder->TouchedBones[Builder->TouchedCount++] = BoneIndex;
    }
    Builder->PendingWeights[BoneIndex] += Weight;
}

KELVO_API void KelvoPushVertex(kelvo_mesh_builder *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    // Original vertices must stay the first of the resulting ones.
    if (Builder->TriangleCount > 0) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): PushVertex called after the first triangle",
            KELVO_HERE);
        return;
    }
    if (Builder->OriginalCount >= Builder->MaxOriginalCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PushVertex called after all %d announced vertices were pushed", KELVO_HERE,
            Builder->MaxOriginalCount);
        return;
    }
    kelvo_int32 Vertex;
    if (!KelvoNewStackUnit(&Builder->Units, &Vertex)) {
        return;
    }
    kelvo_real32 Weights[MaxBonesPerVertex];
    kelvo_uint32 Bones[MaxBonesPerVertex];
    SelectHeaviest(Builder, Weights, Bones);
    kelvo_uint8 *Stored = VertexAt(Builder, Vertex);
    memcpy(Stored, Builder->EmptyVertex, (size_t)Builder->VertexSize);
    ToLayout(Builder->PositionLink, Builder->PendingPosition, Stored);
    ToLayout(Builder->WeightsLink, Weights, Stored);
    ToLayout(Builder->IndicesLink, Bones, Stored);
    member_link const &WeightsLink = Builder->WeightsLink;
    if (WeightsLink.LayoutOffset >= 0 && HasExactNorm(WeightsLink.Member)) {
        KelvoEnsureExactOneNorm(WeightsLink.Member, Stored + WeightsLink.LayoutOffset);
    }
    *LinkAt(Builder, Vertex) = {Vertex, -1, Vertex};
    memset(CornerAt(Builder, Vertex), 0, sizeof(kelvo_real32) * Builder->StoredRealCount);
    ++Builder->OriginalCount;
    ClearPendingVertex(Builder);
}

KELVO_API void KelvoSetVertexIndex(kelvo_mesh_builder *Builder, kelvo_int32 Corner,
                                   kelvo_int32 OriginalVertexIndex) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (CheckCorner(Corner)) {
        Builder->PendingVertices[Corner] = OriginalVertexIndex;
    }
}

KELVO_API void KelvoSetNormal(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_real32 X,
                              kelvo_real32 Y, kelvo_real32 Z) {
    SetCornerVector(Builder, Corner, NormalAt, X, Y, Z);
}
KELVO_API void KelvoSetTangent(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_real32 X,
                               kelvo_real32 Y, kelvo_real32 Z) {
    SetCornerVector(Builder, Corner, TangentAt, X, Y, Z);
}
KELVO_API void KelvoSetBinormal(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_real32 X,
                                kelvo_real32 Y, kelvo_real32 Z) {
    SetCornerVector(Builder, Corner, BinormalAt, X, Y, Z);
}
KELVO_API void KelvoSetTangentBinormalCross(kelvo_mesh_builder *Builder, kelvo_int32 Corner,
                                            kelvo_real32 X, kelvo_real32 Y, kelvo_real32 Z) {
    SetCornerVector(Builder, Corner, CrossAt, X, Y, Z);
}

KELVO_API kelvo_int32 KelvoGetChannelComponentCount(kelvo_mesh_builder const *Builder,
                                                    kelvo_int32 Channel) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    return CheckIndex("Channel", Channel, Builder->ChannelCount) ? ChannelWidth : 0;
}

KELVO_API void KelvoSetChannel(kelvo_mesh_builder *Builder, kelvo_int32 Corner, kelvo_int32 Channel,
                               kelvo_real32 const *Values) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Values, Origin, KELVO_NOTHING);
    if (!CheckCorner(Corner) || !CheckIndex("Channel", Channel, Builder->ChannelCount) ||
        !CheckFinite(AllFinite(ChannelWidth, Values), "Channel")) {
        return;
    }
    memcpy(PendingCorner(Builder, Corner) + ChannelsAt + ChannelWidth * Channel, Values,
           sizeof(kelvo_real32) * ChannelWidth);
}

KELVO_API void KelvoSetMaterial(kelvo_mesh_builder *Builder, kelvo_int32 MaterialIndex) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (CheckIndex("MaterialIndex", MaterialIndex, Builder->MaterialCount)) {
        Builder->CurrentMaterial = MaterialIndex;
    }
}

KELVO_API void KelvoPushTriangle(kelvo_mesh_builder *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (Builder->TriangleCount >= Builder->MaxTriangleCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PushTriangle called after all %d announced triangles were pushed", KELVO_HERE,
            Builder->MaxTriangleCount);
        return;
    }
    if (!CheckIndex("MaterialIndex", Builder->CurrentMaterial, Builder->MaterialCount)) {
        return;
    }
    for (kelvo_int32 Corner = 0; Corner < 3; ++Corner) {
        if (!CheckIndex("VertexIndex", Builder->PendingVertices[Corner], Builder->OriginalCount)) {
            return;
        }
    }
    // Room for three new vertices first, so that a triangle is added whole
    // or not at all; the units it does not use are given back.
    kelvo_int32 Reserved;
    kelvo_int32 const Before = KelvoGetStackUnitCount(&Builder->Units);
    if (!KelvoMultipleNewStackUnits(&Builder->Units, 3, &Reserved, nullptr)) {
        KelvoPopStackUnits(&Builder->Units, KelvoGetStackUnitCount(&Builder->Units) - Before);
        return;
    }
    kelvo_int32 const Triangle = Builder->TriangleCount++;
    builder_triangle &Record = Builder->Triangles[Triangle];
    for (kelvo_int32 Corner = 0; Corner < 3; ++Corner) {
        StoreCorner(Builder, PendingCorner(Builder, Corner), Builder->Scratch);
        Record.Vertices[Corner] = WeldCorner(Builder, Builder->Scratch,
                                             Builder->PendingVertices[Corner], Triangle, Reserved);
    }
    KelvoPopStackUnits(&Builder->Units, KelvoGetStackUnitCount(&Builder->Units) - Reserved);
    kelvo_int32 const Material = Builder->CurrentMaterial;
    Record.NextInMaterial = Builder->MaterialHeads[Material];
    Builder->MaterialHeads[Material] = Triangle;
    if (Builder->MaterialTriangleCounts[Material]++ == 0) {
        ++Builder->UsedMaterialCount;
    }
}

KELVO_API kelvo_int32 KelvoGetResultingVertexCount(kelvo_mesh_builder const *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    return ResultingVertexCount(Builder);
}

KELVO_API void KelvoSerializeResultingVertices(kelvo_mesh_builder const *Builder,
                                               void *Destination) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Destination, Origin, KELVO_NOTHING);
    kelvo_uint8 *To = static_cast<kelvo_uint8 *>(Destination);
    for (kelvo_int32 Vertex = 0; Vertex < ResultingVertexCount(Builder); ++Vertex) {
        memcpy(To + (size_t)Vertex * Builder->VertexSize, VertexAt(Builder, Vertex),
               (size_t)Builder->VertexSize);
    }
}

KELVO_API void KelvoSerializeResultingCoincidentVertexMap(kelvo_mesh_builder const *Builder,
                                                          kelvo_int32 *Destination) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Destination, Origin, KELVO_NOTHING);
    for (kelvo_int32 Vertex = 0; Vertex < ResultingVertexCount(Builder); ++Vertex) {
        Destination[Vertex] = LinkAt(Builder, Vertex)->Next;
    }
}

KELVO_API void KelvoSerializeResultingVertexToTriangleMap(kelvo_mesh_builder const *Builder,
                                                          kelvo_int32 *Destination) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Destination, Origin, KELVO_NOTHING);
    ComputeOutputOrder(Builder);
    for (kelvo_int32 Vertex = 0; Vertex < ResultingVertexCount(Builder); ++Vertex) {
        kelvo_int32 Triangle = LinkAt(Builder, Vertex)->Triangle;
        Destination[Vertex] = Triangle < 0 ? -1 : Builder->OutputOfPush[Triangle];
    }
}

KELVO_API kelvo_int32 KelvoGetOriginalVertex(kelvo_mesh_builder const *Builder,
                                             kelvo_int32 VertexIndex) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, -1);
    if (!CheckIndex("VertexIndex", VertexIndex, ResultingVertexCount(Builder))) {
        return -1;
    }
    return LinkAt(Builder, VertexIndex)->Original;
}

KELVO_API kelvo_int32 KelvoGetResultingVertexDataSize(kelvo_mesh_builder const *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    return PlannedSize(Builder, PlanVertexData);
}

KELVO_API kelvo_int32 KelvoGetResultingTopologySize(kelvo_mesh_builder const *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    return PlannedSize(Builder, PlanTopology);
}

KELVO_API kelvo_bool32 KelvoEndMeshInPlace(kelvo_mesh_builder *Builder, void *VertexDataMemory,
                                           kelvo_vertex_data **VertexData, void *TopologyMemory,
                                           kelvo_tri_topology **Topology) {
    KELVO_TIMED_BLOCK("EndMesh");
    if (VertexData) {
        *VertexData = nullptr;
    }
    if (Topology) {
        *Topology = nullptr;
    }
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    bool Succeeded = false;
    aggr_allocator VertexAggr, TopologyAggr;
    vertex_data_plan VertexPlan;
    topology_plan TopologyPlan;
    PlanVertexData(VertexAggr, Builder, VertexPlan);
    PlanTopology(TopologyAggr, Builder, TopologyPlan);
    if (!VertexDataMemory || !TopologyMemory) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): %s is not allowed to be 0", KELVO_HERE,
            VertexDataMemory ? "TopologyMemory" : "VertexDataMemory");
    } else if (EndAggrPlacement(VertexAggr, KELVO_HERE, VertexDataMemory) &&
               EndAggrPlacement(TopologyAggr, KELVO_HERE, TopologyMemory)) {
        FillVertexData(Builder, VertexPlan);
        Succeeded = FillTopology(Builder, TopologyPlan);
        if (Succeeded && VertexData) {
            *VertexData = VertexPlan.Data;
        }
        if (Succeeded && Topology) {
            *Topology = TopologyPlan.Topology;
        }
    }
    FreeBuilder(Builder);
    return Succeeded;
}

KELVO_API kelvo_bool32 KelvoEndMesh(kelvo_mesh_builder *Builder, kelvo_vertex_data **VertexData,
                                    kelvo_tri_topology **Topology) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    kelvo_int64 VertexDataSize = RoundUp(KelvoGetResultingVertexDataSize(Builder));
    kelvo_int64 TopologySize = KelvoGetResultingTopologySize(Builder);
    kelvo_int64 Total = VertexDataSize + TopologySize;
    kelvo_uint8 *Block = nullptr;
    if (VertexDataSize > 0 && TopologySize > 0 && CheckedResultSize(Total) > 0) {
        Block = static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Total));
    }
    if (!Block) {
        FreeBuilder(Builder);
        return 0;
    }
    kelvo_vertex_data *Data = nullptr;
    if (!KelvoEndMeshInPlace(Builder, Block, &Data, Block + VertexDataSize, Topology)) {
        KELVO_DEALLOCATE(Block);
        return 0;
    }
    if (VertexData) {
        *VertexData = Data;
    }
    return 1;
}
