// Vertices of any layout: conversion between layouts, single vertices, the
// member writers, normalization, transformation, bone weights and the names
// of vertex components.
//
// Layouts convert as KelvoConvertSingleObject converts one object, but a
// mesh has many vertices of one layout: the member matching is worked out
// once into a plan, and the plan converts blocks of vertices member by
// member through the data layer's run converters. Pairs of members the plan
// does not cover (inline parts, references, text) send the whole call
// through the single-object conversion, vertex by vertex, with the same
// result.
#include "kelvo2/kelvo2_mesh.h"

#include "data/kelvo_data_type_conversion.h"
#include "data/kelvo_data_type_iterator.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_format.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_string.h"

#include <string.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoVertexLayoutLogMessage;

// Vertices converted per pass of a plan: the block's source and destination
// stay in cache while each member is converted across it.
constexpr kelvo_int32 BlockVertexCount = 64;
constexpr kelvo_int32 MaxPlanSteps = 32;
// The largest destination layout whose empty vertex a plan keeps (the
// weight arrays layout is 2048 bytes).
constexpr kelvo_int32 MaxTemplateSize = 2048;

bool NameIs(char const *Name, char const *Expected) {
    return Name && KelvoStringDifference(Name, Expected) == 0;
}

bool NameBeginsWith(char const *Name, char const *Prefix) {
    if (!Name) {
        return false;
    }
    while (*Prefix) {
        if (*Name++ != *Prefix++) {
            return false;
        }
    }
    return true;
}

enum class step_kind : kelvo_uint8 { Copy, Convert };

struct plan_step {
    step_kind Kind;
    kelvo_int32 SourceOffset;
    kelvo_int32 DestinationOffset;
    kelvo_int32 Size; // bytes to copy, or elements to convert
    kelvo::element_run_converter Convert;
};

// A stored form widened after conversion: Count reals at Offset become
// v * Scale + Bias.
struct widening {
    kelvo_int32 Offset;
    kelvo_int32 Count;
    kelvo_real32 Scale;
    kelvo_real32 Bias;
};

struct vertex_plan {
    kelvo_data_type_definition const *SourceType;
    kelvo_data_type_definition const *DestinationType;
    kelvo_int32 SourceSize;
    kelvo_int32 DestinationSize;
    bool Clear;
    bool Direct;     // the steps cover every matched member
    bool FillsEmpty; // some destination bytes are no step's: the empty vertex goes first
    kelvo_int32 StepCount;
    plan_step Steps[MaxPlanSteps];
    kelvo_int32 WideningCount;
    widening Widenings[MaxPlanSteps];
    alignas(8) kelvo_uint8 Empty[MaxTemplateSize];
};

bool IsNumber(kelvo_member_type Type) {
    return Type >= KelvoReal32Member && Type <= KelvoUInt32Member;
}

// The widening rule for a Real32 destination member fed by Source.
bool FindWidening(kelvo_data_type_definition const &Source,
                  kelvo_data_type_definition const &Destination, widening &Widening) {
    if (Destination.Type != KelvoReal32Member) {
        return false;
    }
    char const *Name = Destination.Name;
    if (Source.Type == KelvoNormalUInt8Member &&
        (NameIs(Name, "Normal") || NameIs(Name, "Tangent") || NameIs(Name, "Binormal"))) {
        Widening.Scale = 2.0f;
        Widening.Bias = -1.0f;
        return true;
    }
    if ((Source.Type == KelvoNormalUInt8Member || Source.Type == KelvoInt16Member) &&
        NameBeginsWith(Name, "TextureCoordinates")) {
        Widening.Scale = 1.0f / 4096.0f;
        Widening.Bias = 0.0f;
        return true;
    }
    return false;
}

kelvo_int32 Smaller(kelvo_int32 A, kelvo_int32 B) {
    return A < B ? A : B;
}

// Works out how one layout converts into another. False (reported) when a
// definition is refused.
bool MakePlan(vertex_plan &Plan, kelvo_data_type_definition const *SourceType,
              kelvo_data_type_definition const *DestinationType, bool Clear, bool Widen) {
    if (!kelvo::CheckDefinition(SourceType) || !kelvo::CheckDefinition(DestinationType)) {
        return false;
    }
    Plan.SourceType = SourceType;
    Plan.DestinationType = DestinationType;
    Plan.SourceSize = KelvoGetTotalObjectSize(SourceType);
    Plan.DestinationSize = KelvoGetTotalObjectSize(DestinationType);
    Plan.Clear = Clear;
    Plan.Direct = !Clear || Plan.DestinationSize <= MaxTemplateSize;
    Plan.StepCount = 0;
    Plan.WideningCount = 0;
    if (Clear && Plan.Direct) {
        KelvoMakeEmptyDataTypeObject(DestinationType, Plan.Empty);
    }
    kelvo_int32 DestinationOffset = 0;
    kelvo_int32 Covered = 0; // destination bytes the steps write (members never overlap)
    for (kelvo_data_type_definition const *Member = DestinationType;
         Member && Member->Type != KelvoEndMember; ++Member) {
        kelvo_int32 SourceOffset;
        kelvo_data_type_definition const *Source =
            kelvo::FindMemberByName(SourceType, Member->Name, SourceOffset);
        if (Source) {
            plan_step Step = {step_kind::Copy, SourceOffset, DestinationOffset, 0, nullptr};
            bool Scalar = IsNumber(Source->Type) || Source->Type == KelvoTransformMember;
            if (Source->Type == Member->Type && Scalar) {
                Step.Size = Smaller(KelvoGetMemberTypeSize(Source), KelvoGetMemberTypeSize(Member));
            } else if (IsNumber(Source->Type) && IsNumber(Member->Type)) {
                Step.Kind = step_kind::Convert;
                Step.Size =
                    Smaller(KelvoGetMemberArrayWidth(Source), KelvoGetMemberArrayWidth(Member));
                Step.Convert = kelvo::GetElementRunConverter(Member->Type, Source->Type);
            } else {
                Plan.Direct = false;
            }
            if (Plan.StepCount == MaxPlanSteps) {
                Plan.Direct = false;
            } else {
                Plan.Steps[Plan.StepCount++] = Step;
                Covered += Step.Kind == step_kind::Copy
                               ? Step.Size
                               : Step.Size * KelvoGetMemberUnitSize(Member);
            }
            widening Widening;
            if (Widen && Plan.WideningCount < MaxPlanSteps &&
                FindWidening(*Source, *Member, Widening)) {
                Widening.Offset = DestinationOffset;
                Widening.Count =
                    Smaller(KelvoGetMemberArrayWidth(Source), KelvoGetMemberArrayWidth(Member));
                Plan.Widenings[Plan.WideningCount++] = Widening;
            }
        }
        DestinationOffset += KelvoGetMemberTypeSize(Member);
    }
    Plan.FillsEmpty = Clear && Covered < Plan.DestinationSize;
    return true;
}

// Fixed sizes let the compiler move a member in registers.
template <kelvo_int32 Size>
void CopyMembers(kelvo_uint8 *To, kelvo_int32 ToStride, kelvo_uint8 const *From,
                 kelvo_int32 FromStride, kelvo_int32 Count) {
    for (kelvo_int32 Vertex = 0; Vertex < Count; ++Vertex) {
        memcpy(To + Vertex * ToStride, From + Vertex * FromStride, Size);
    }
}

void CopyMembers(kelvo_uint8 *To, kelvo_int32 ToStride, kelvo_uint8 const *From,
                 kelvo_int32 FromStride, kelvo_int32 Count, kelvo_int32 Size) {
    switch (Size) {
    case 4:
        return CopyMembers<4>(To, ToStride, From, FromStride, Count);
    case 8:
        return CopyMembers<8>(To, ToStride, From, FromStride, Count);
    case 12:
        return CopyMembers<12>(To, ToStride, From, FromStride, Count);
    case 16:
        return CopyMembers<16>(To, ToStride, From, FromStride, Count);
    default:
        for (kelvo_int32 Vertex = 0; Vertex < Count; ++Vertex) {
            memcpy(To + Vertex * ToStride, From + Vertex * FromStride, (size_t)Size);
        }
    }
}

void RunSteps(vertex_plan const &Plan, kelvo_int32 Count, kelvo_uint8 const *Source,
              kelvo_uint8 *Destination) {
    kelvo_int32 const SourceSize = Plan.SourceSize;
    kelvo_int32 const DestinationSize = Plan.DestinationSize;
    if (Plan.FillsEmpty) {
        for (kelvo_int32 Vertex = 0; Vertex < Count; ++Vertex) {
            memcpy(Destination + Vertex * DestinationSize, Plan.Empty, (size_t)DestinationSize);
        }
    }
    for (kelvo_int32 Index = 0; Index < Plan.StepCount; ++Index) {
        plan_step const &Step = Plan.Steps[Index];
        kelvo_uint8 const *From = Source + Step.SourceOffset;
        kelvo_uint8 *To = Destination + Step.DestinationOffset;
        if (Step.Kind == step_kind::Convert) {
            Step.Convert(To, DestinationSize, From, SourceSize, Count, Step.Size);
        } else {
            CopyMembers(To, DestinationSize, From, SourceSize, Count, Step.Size);
        }
    }
}

void Widen(vertex_plan const &Plan, kelvo_int32 Count, kelvo_uint8 *Destination) {
    for (kelvo_int32 Index = 0; Index < Plan.WideningCount; ++Index) {
        widening const &Widening = Plan.Widenings[Index];
        kelvo_uint8 *At = Destination + Widening.Offset;
        for (kelvo_int32 Vertex = 0; Vertex < Count; ++Vertex, At += Plan.DestinationSize) {
            for (kelvo_int32 Element = 0; Element < Widening.Count; ++Element) {
                kelvo_real32 Value;
                memcpy(&Value, At + 4 * Element, 4);
                Value = Widening.Bias == 0.0f ? Value * Widening.Scale
                                              : Value * Widening.Scale + Widening.Bias;
                memcpy(At + 4 * Element, &Value, 4);
            }
        }
    }
}

void RunPlan(vertex_plan const &Plan, kelvo_int32 Count, void const *SourceVertices,
             void *DestinationVertices) {
    kelvo_uint8 const *Source = static_cast<kelvo_uint8 const *>(SourceVertices);
    kelvo_uint8 *Destination = static_cast<kelvo_uint8 *>(DestinationVertices);
    for (kelvo_int32 First = 0; First < Count; First += BlockVertexCount) {
        kelvo_int32 Block = Smaller(BlockVertexCount, Count - First);
        kelvo_uint8 const *From = Source + (kelvo_intaddrx)First * Plan.SourceSize;
        kelvo_uint8 *To = Destination + (kelvo_intaddrx)First * Plan.DestinationSize;
        if (Plan.Direct) {
            RunSteps(Plan, Block, From, To);
        } else {
            for (kelvo_int32 Vertex = 0; Vertex < Block; ++Vertex) {
                kelvo_uint8 const *One = From + Vertex * Plan.SourceSize;
                kelvo_uint8 *Into = To + Vertex * Plan.DestinationSize;
                if (Plan.Clear) {
                    KelvoConvertSingleObject(Plan.SourceType, One, Plan.DestinationType, Into);
                } else {
                    KelvoMergeSingleObject(Plan.SourceType, One, Plan.DestinationType, Into);
                }
            }
        }
        Widen(Plan, Block, To);
    }
}

// Converts Count vertices; Clear empties destination members without a
// source, Widen applies the widening rules of layout conversion.
void ConvertVertices(kelvo_int32 Count, kelvo_data_type_definition const *SourceType,
                     void const *Source, kelvo_data_type_definition const *DestinationType,
                     void *Destination, bool Clear, bool Widen) {
    if (Count <= 0) {
        return;
    }
    vertex_plan Plan;
    if (MakePlan(Plan, SourceType, DestinationType, Clear, Widen)) {
        RunPlan(Plan, Count, Source, Destination);
    }
}

// ---- the internal layouts ----------------------------------------------------------------

#pragma pack(push, 4)
struct direction_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 Binormal[3];
    kelvo_real32 TangentBinormalCross[3];
};
#pragma pack(pop)

constexpr kelvo_data_type_definition DirectionVertexMembers[] = {
    kelvo::MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    kelvo::MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    kelvo::MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    kelvo::MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    kelvo::MakeMember(KelvoReal32Member, "TangentBinormalCross", nullptr, 3),
    kelvo::MakeMember(KelvoEndMember)};
static_assert(sizeof(direction_vertex) ==
              (size_t)kelvo::ConstantObjectSize(DirectionVertexMembers,
                                                kelvo::NativePointerSizeInBits));

constexpr kelvo_real32 MinimumLength = 0.00001f;

void NormalizeDirection(kelvo_real32 *Vector) {
    kelvo_real32 Length = kelvo::Length3(Vector);
    kelvo_real32 Scale = Length > MinimumLength ? 1.0f / Length : 0.0f;
    for (int Axis = 0; Axis < 3; ++Axis) {
        Vector[Axis] *= Scale;
    }
}

void NormalizeDirections(direction_vertex &Vertex) {
    NormalizeDirection(Vertex.Normal);
    NormalizeDirection(Vertex.Tangent);
    NormalizeDirection(Vertex.Binormal);
    NormalizeDirection(Vertex.TangentBinormalCross);
}

// Runs Operation over the vertices seen through the direction layout and
// merges the results back, so members the layout lacks stay untouched.
template <typename operation>
void ForEachDirectionVertex(kelvo_int32 Count, kelvo_data_type_definition const *VertexType,
                            void *Vertices, operation Operation) {
    if (Count <= 0) {
        return;
    }
    vertex_plan Plans[2];
    if (MakePlan(Plans[0], VertexType, DirectionVertexMembers, true, false) &&
        MakePlan(Plans[1], DirectionVertexMembers, VertexType, false, false)) {
        direction_vertex Block[BlockVertexCount];
        kelvo_uint8 *At = static_cast<kelvo_uint8 *>(Vertices);
        kelvo_int32 Stride = Plans[0].SourceSize;
        for (kelvo_int32 First = 0; First < Count; First += BlockVertexCount) {
            kelvo_int32 Size = Smaller(BlockVertexCount, Count - First);
            kelvo_uint8 *Vertex = At + (kelvo_intaddrx)First * Stride;
            RunPlan(Plans[0], Size, Vertex, Block);
            for (kelvo_int32 Index = 0; Index < Size; ++Index) {
                Operation(Block[Index]);
            }
            RunPlan(Plans[1], Size, Block, Vertex);
        }
    }
}

// Writes Value into the member named Name, when the layout has one.
void SetVertexMember(kelvo_data_type_definition const *VertexType, void *Vertex, char const *Name,
                     kelvo_real32 const Value[3]) {
    KELVO_CHECK_NOT_NULL(Vertex, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Value, Origin, KELVO_NOTHING);
    // A layout of its own per call, so concurrent writers share nothing.
    kelvo_data_type_definition const Member[] = {
        kelvo::MakeMember(KelvoReal32Member, Name, nullptr, 3), kelvo::MakeMember(KelvoEndMember)};
    KelvoMergeSingleObject(Member, Value, VertexType, Vertex);
}

void SetNumberedVertexMember(kelvo_data_type_definition const *VertexType, void *Vertex,
                             char const *Channel, kelvo_int32 Index, kelvo_real32 const Value[3]) {
    char Name[64];
    kelvo::Format(sizeof(Name), Name, "%s%d", Channel, Index);
    SetVertexMember(VertexType, Vertex, Name, Value);
}

// ---- exact weight sums ---------------------------------------------------------------------

template <typename weight>
void WalkToExactNorm(weight *Weights, kelvo_int32 Count, kelvo_int32 Unit) {
    kelvo_int32 Missing = Unit;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Missing -= Weights[Index];
    }
    // Each walk that changes nothing ends the adjustment: no weight can move.
    while (Missing > 0) {
        kelvo_int32 Before = Missing;
        for (kelvo_int32 Index = 0; Index < Count && Missing > 0; ++Index) {
            if (Weights[Index] < Unit) {
                ++Weights[Index];
                --Missing;
            }
        }
        if (Missing == Before) {
            break;
        }
    }
    while (Missing < 0) {
        kelvo_int32 Before = Missing;
        for (kelvo_int32 Index = Count - 1; Index >= 0 && Missing < 0; --Index) {
            if (Weights[Index] > 0) {
                --Weights[Index];
                ++Missing;
            }
        }
        if (Missing == Before) {
            break;
        }
    }
}

template <typename weight> void ExactNorm(void *Data, kelvo_int32 Count, kelvo_int32 Unit) {
    // Vertex members sit at any byte offset.
    weight Weights[256];
    memcpy(Weights, Data, Count * sizeof(weight));
    WalkToExactNorm(Weights, Count, Unit);
    memcpy(Data, Weights, Count * sizeof(weight));
}

// ---- component names ----------------------------------------------------------------------

char const *const SpatialNames[] = {
    "Position",    "Normal",     "Tangent", "Binormal", "TangentBinormalCross",
    "BoneWeights", "BoneIndices"};

bool IsSpatial(char const *Name) {
    for (char const *Spatial : SpatialNames) {
        if (NameIs(Name, Spatial)) {
            return true;
        }
    }
    return false;
}

// Counts the members of a checked layout that Keep accepts.
template <typename predicate>
kelvo_int32 CountMembers(kelvo_data_type_definition const *VertexType, predicate Keep) {
    if (!kelvo::CheckDefinition(VertexType)) {
        return 0;
    }
    kelvo_int32 Count = 0;
    for (kelvo_data_type_definition const *Member = VertexType;
         Member && Member->Type != KelvoEndMember; ++Member) {
        Count += Keep(*Member) ? 1 : 0;
    }
    return Count;
}

} // namespace

// ---- exports ---------------------------------------------------------------------------------

KELVO_API void KelvoConvertVertexLayouts(kelvo_int32 Count,
                                         kelvo_data_type_definition const *SourceType,
                                         void const *Source,
                                         kelvo_data_type_definition const *DestinationType,
                                         void *Destination) {
    KELVO_TIMED_BLOCK("ConvertVertexLayouts");
    if (Count > 0) {
        KELVO_CHECK_NOT_NULL(Source, Origin, KELVO_NOTHING);
        KELVO_CHECK_NOT_NULL(Destination, Origin, KELVO_NOTHING);
    }
    ConvertVertices(Count, SourceType, Source, DestinationType, Destination, true, true);
}

KELVO_API void KelvoGetSingleVertex(kelvo_vertex_data const *VertexData, kelvo_int32 VertexIndex,
                                    kelvo_data_type_definition const *As, void *Dest) {
    KELVO_CHECK_NOT_NULL(As, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Dest, Origin, KELVO_NOTHING);
    kelvo_int32 Count = VertexData && VertexData->Vertices ? VertexData->VertexCount : 0;
    if (VertexIndex < 0 || VertexIndex >= Count) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): VertexIndex %d is out of range [0, %d)",
            KELVO_HERE, VertexIndex, Count);
        KelvoMakeEmptyDataTypeObject(As, Dest);
        return;
    }
    kelvo_int32 Size = KelvoGetTotalObjectSize(VertexData->VertexType);
    KelvoConvertVertexLayouts(1, VertexData->VertexType,
                              static_cast<kelvo_uint8 const *>(VertexData->Vertices) +
                                  (kelvo_intaddrx)VertexIndex * Size,
                              As, Dest);
}

KELVO_API void KelvoSetVertexPosition(kelvo_data_type_definition const *VertexType, void *Vertex,
                                      kelvo_real32 const Position[3]) {
    SetVertexMember(VertexType, Vertex, "Position", Position);
}

KELVO_API void KelvoSetVertexNormal(kelvo_data_type_definition const *VertexType, void *Vertex,
                                    kelvo_real32 const Normal[3]) {
    SetVertexMember(VertexType, Vertex, "Normal", Normal);
}

KELVO_API void KelvoSetVertexColor(kelvo_data_type_definition const *VertexType, void *Vertex,
                                   kelvo_int32 ColorIndex, kelvo_real32 const Color[3]) {
    SetNumberedVertexMember(VertexType, Vertex, "DiffuseColor", ColorIndex, Color);
}

KELVO_API void KelvoSetVertexUVW(kelvo_data_type_definition const *VertexType, void *Vertex,
                                 kelvo_int32 UVWIndex, kelvo_real32 const UVW[3]) {
    SetNumberedVertexMember(VertexType, Vertex, "TextureCoordinates", UVWIndex, UVW);
}

KELVO_API void KelvoNormalizeVertices(kelvo_int32 Count,
                                      kelvo_data_type_definition const *VertexType,
                                      void *Vertices) {
    KELVO_TIMED_BLOCK("NormalizeVertices");
    ForEachDirectionVertex(Count, VertexType, Vertices, NormalizeDirections);
}

KELVO_API void KelvoTransformVertices(kelvo_int32 Count,
                                      kelvo_data_type_definition const *VertexType, void *Vertices,
                                      kelvo_real32 const Affine[3], kelvo_real32 const Linear[9],
                                      kelvo_real32 const InverseLinear[9],
                                      kelvo_bool32 Renormalize) {
    KELVO_TIMED_BLOCK("TransformVertices");
    KELVO_CHECK_NOT_NULL(Affine, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Linear, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(InverseLinear, Origin, KELVO_NOTHING);
    ForEachDirectionVertex(Count, VertexType, Vertices, [&](direction_vertex &Vertex) {
        kelvo::VectorTransform3x3(Vertex.Position, Linear, Vertex.Position);
        for (int Axis = 0; Axis < 3; ++Axis) {
            Vertex.Position[Axis] += Affine[Axis];
        }
        kelvo::VectorTransform3x3(Vertex.Tangent, Linear, Vertex.Tangent);
        kelvo::VectorTransform3x3(Vertex.Binormal, Linear, Vertex.Binormal);
        kelvo::TransposeVectorTransform3x3(Vertex.Normal, InverseLinear, Vertex.Normal);
        kelvo::TransposeVectorTransform3x3(Vertex.TangentBinormalCross, InverseLinear,
                                           Vertex.TangentBinormalCross);
        if (Renormalize) {
            NormalizeDirections(Vertex);
        }
    });
}

KELVO_API void KelvoOneNormalizeWeights(kelvo_int32 Count,
                                        kelvo_data_type_definition const *VertexType,
                                        void *Vertices) {
    KELVO_TIMED_BLOCK("OneNormalizeWeights");
    if (Count <= 0 || !kelvo::CheckDefinition(VertexType)) {
        return;
    }
    KELVO_CHECK_NOT_NULL(Vertices, Origin, KELVO_NOTHING);
    kelvo_int32 WeightsOffset;
    kelvo_data_type_definition const *Weights =
        kelvo::FindMemberByName(VertexType, "BoneWeights", WeightsOffset);
    if (!Weights) {
        return;
    }
    vertex_plan Plans[2];
    kelvo_vertex_weight_arrays Real;
    kelvo_int32 Width = Smaller(KelvoGetMemberArrayWidth(Weights), 256);
    if (MakePlan(Plans[0], VertexType, KelvoVertexWeightArraysType, true, false) &&
        MakePlan(Plans[1], KelvoVertexWeightArraysType, VertexType, false, false)) {
        kelvo_int32 Stride = Plans[0].SourceSize;
        for (kelvo_int32 Index = 0; Index < Count; ++Index) {
            kelvo_uint8 *Vertex =
                static_cast<kelvo_uint8 *>(Vertices) + (kelvo_intaddrx)Index * Stride;
            RunPlan(Plans[0], 1, Vertex, &Real);
            kelvo_real32 Sum = 0.0f;
            for (kelvo_int32 Bone = 0; Bone < Width; ++Bone) {
                Sum += Real.BoneWeights[Bone];
            }
            if (Sum != 0.0f) {
                kelvo_real32 Scale = 1.0f / Sum;
                for (kelvo_int32 Bone = 0; Bone < Width; ++Bone) {
                    Real.BoneWeights[Bone] *= Scale;
                }
            }
            RunPlan(Plans[1], 1, &Real, Vertex);
            KelvoEnsureExactOneNorm(Weights, Vertex + WeightsOffset);
        }
    }
}

KELVO_API void KelvoEnsureExactOneNorm(kelvo_data_type_definition const *WeightsMember,
                                       void *WeightsData) {
    KELVO_CHECK_NOT_NULL(WeightsMember, KelvoMeshLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(WeightsData, KelvoMeshLogMessage, KELVO_NOTHING);
    // The raw width: a width of 0 leaves nothing to adjust.
    kelvo_int32 Count = WeightsMember->ArrayWidth;
    if (Count < 0 || Count > 256) {
        Log(KelvoErrorLogMessage, KelvoMeshLogMessage,
            "%s(%d): WeightsMember->ArrayWidth %d is out of range [0, 257)", KELVO_HERE, Count);
        return;
    }
    switch (WeightsMember->Type) {
    case KelvoBinormalInt8Member:
        ExactNorm<kelvo_int8>(WeightsData, Count, 127);
        break;
    case KelvoNormalUInt8Member:
        ExactNorm<kelvo_uint8>(WeightsData, Count, 255);
        break;
    case KelvoBinormalInt16Member:
        ExactNorm<kelvo_int16>(WeightsData, Count, 32767);
        break;
    case KelvoNormalUInt16Member:
        ExactNorm<kelvo_uint16>(WeightsData, Count, 65535);
        break;
    case KelvoReal32Member:
        break;
    default:
        Log(KelvoErrorLogMessage, KelvoMeshLogMessage,
            "%s(%d): EnsureExactOneNorm called on unsupported type %d\n", KELVO_HERE,
            WeightsMember->Type);
        break;
    }
}

KELVO_API void KelvoGetVertexTextureCoordinatesName(kelvo_int32 Index, char *Buffer) {
    KELVO_CHECK_NOT_NULL(Buffer, Origin, KELVO_NOTHING);
    kelvo::Format(64, Buffer, "TextureCoordinates%d", Index);
}

KELVO_API void KelvoGetVertexDiffuseColorName(kelvo_int32 Index, char *Buffer) {
    KELVO_CHECK_NOT_NULL(Buffer, Origin, KELVO_NOTHING);
    kelvo::Format(64, Buffer, "DiffuseColor%d", Index);
}

KELVO_API void KelvoGetVertexSpecularColorName(kelvo_int32 Index, char *Buffer) {
    KELVO_CHECK_NOT_NULL(Buffer, Origin, KELVO_NOTHING);
    kelvo::Format(64, Buffer, "SpecularColor%d", Index);
}

KELVO_API kelvo_bool32 KelvoIsSpatialVertexMember(char const *Name) {
    return IsSpatial(Name);
}

KELVO_API kelvo_int32 KelvoGetVertexBoneCount(kelvo_data_type_definition const *VertexType) {
    if (!kelvo::CheckDefinition(VertexType)) {
        return 0;
    }
    kelvo_int32 Offset;
    kelvo_data_type_definition const *Member =
        kelvo::FindMemberByName(VertexType, "BoneWeights", Offset);
    if (!Member) {
        Member = kelvo::FindMemberByName(VertexType, "BoneIndices", Offset);
    }
    return Member ? Member->ArrayWidth : 0;
}

KELVO_API kelvo_int32 KelvoGetVertexChannelCount(kelvo_data_type_definition const *VertexType) {
    return CountMembers(VertexType, [](kelvo_data_type_definition const &Member) {
        return !IsSpatial(Member.Name);
    });
}

KELVO_API kelvo_int32 KelvoGetVertexComponentCount(kelvo_data_type_definition const *VertexType) {
    return CountMembers(VertexType, [](kelvo_data_type_definition const &Member) {
        return !NameIs(Member.Name, "BoneWeights");
    });
}

KELVO_API kelvo_int32 KelvoGetVertexComponentIndex(char const *Name,
                                                   kelvo_data_type_definition const *VertexType) {
    if (!kelvo::CheckDefinition(VertexType)) {
        return -1;
    }
    kelvo_int32 Offset;
    kelvo_data_type_definition const *Member = kelvo::FindMemberByName(VertexType, Name, Offset);
    return Member ? (kelvo_int32)(Member - VertexType) : -1;
}

KELVO_API char const *KelvoGetVertexComponentToolName(char const *Name,
                                                      kelvo_vertex_data const *VertexData) {
    if (!VertexData || !VertexData->VertexComponentNames) {
        return nullptr;
    }
    kelvo_int32 Index = KelvoGetVertexComponentIndex(Name, VertexData->VertexType);
    if (Index < 0 || Index >= VertexData->VertexComponentNameCount) {
        return nullptr;
    }
    return VertexData->VertexComponentNames[Index];
}
