// Conversion of typed objects and trees from one definition to another,
// member by member, matched by name.
//
// Tree conversion runs one traversal twice: to measure the block, then to
// fill it, so the destination is one allocation. Every decision depends on
// the source and the definitions only, never on where things land, which
// keeps the two passes in step. What a pair of definitions needs (matched
// members, offsets, whether referenced types are equal) is worked out once
// into a plan, so a large tree costs a walk rather than name comparisons per
// object. The walk keeps its own stack: deep or cyclic trees cost memory and
// never native stack.
#include "data/kelvo_data_type_conversion.h"
#include "data/kelvo_data_type_iterator.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_format.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_string.h"
#include "kelvo2/kelvo2_pointer_hash.h"

#include <float.h>
#include <stddef.h>

#include <array>
#include <utility>

using kelvo::Log;

namespace {

// ---- numbers ------------------------------------------------------------------

template <typename value> value Load(kelvo_uint8 const *At) {
    value Value;
    memcpy(&Value, At, sizeof(Value));
    return Value;
}

template <typename value> void Store(kelvo_uint8 *At, value Value) {
    memcpy(At, &Value, sizeof(Value));
}

// Rounded to single precision, also where the 32-bit build computes on the
// x87 stack: products are rounded to a float before they become integers.
kelvo_real32 Single(kelvo_real32 Value) {
#if FLT_EVAL_METHOD != 0
    volatile kelvo_real32 Stored = Value;
    return Stored;
#else
    return Value;
#endif
}

// Nearest integer, ties to even, whatever rounding mode the caller set.
// Values beyond int32 saturate and NaN gives 0, so that every input has one
// defined result.
kelvo_int32 RoundToInt32(kelvo_real32 Value) {
    if (!(Value > -2147483648.0f && Value < 2147483648.0f)) {
        return Value != Value ? 0 : Value > 0.0f ? INT32_MAX : INT32_MIN;
    }
    kelvo_int32 Result = (kelvo_int32)Value;              // toward zero
    kelvo_real32 Fraction = Value - (kelvo_real32)Result; // exact
    bool Odd = (Result & 1) != 0;
    if (Fraction > 0.5f || (Fraction == 0.5f && Odd)) {
        ++Result;
    } else if (Fraction < -0.5f || (Fraction == -0.5f && Odd)) {
        --Result;
    }
    return Result;
}

// The normalized forms hold reals: [0, 1] scaled by 255 or 65535, [-1, 1] by
// 127 or 32767.
bool IsRealForm(kelvo_member_type Type) {
    return Type == KelvoReal32Member || Type == KelvoBinormalInt8Member ||
           Type == KelvoNormalUInt8Member || Type == KelvoBinormalInt16Member ||
           Type == KelvoNormalUInt16Member;
}

bool IsNumber(kelvo_member_type Type) {
    return Type >= KelvoReal32Member && Type <= KelvoUInt32Member;
}

// A normalized value read as an integer is the nearest of -1, 0 and 1.
kelvo_int32 Sign(kelvo_int32 Value, kelvo_int32 Half, bool Signed) {
    return Value > Half ? 1 : (Signed && Value < -Half) ? -1 : 0;
}

inline void Parse(char const *Text, kelvo_int32 *Value) {
    kelvo::ParseInteger(Text, Value, nullptr);
}
inline void Parse(char const *Text, kelvo_real32 *Value) {
    kelvo::ParseReal(Text, Value, nullptr);
}

// A string member read as a number: what its text parses to, else 0.
template <typename number> number ParsedString(kelvo_uint8 const *At) {
    number Value = 0;
    Parse(static_cast<char const *>(kelvo::LoadPointer(At)), &Value);
    return Value;
}

inline kelvo_int32 AsInt(kelvo_member_type Type, kelvo_uint8 const *At) {
    switch (Type) {
    case KelvoStringMember:
        return ParsedString<kelvo_int32>(At);
    case KelvoReal32Member:
        return RoundToInt32(Load<kelvo_real32>(At));
    case KelvoInt8Member:
        return Load<kelvo_int8>(At);
    case KelvoUInt8Member:
        return Load<kelvo_uint8>(At);
    case KelvoInt16Member:
        return Load<kelvo_int16>(At);
    case KelvoUInt16Member:
        return Load<kelvo_uint16>(At);
    case KelvoInt32Member:
    case KelvoUInt32Member:
        return Load<kelvo_int32>(At);
    case KelvoBinormalInt8Member:
        return Sign(Load<kelvo_int8>(At), 63, true);
    case KelvoNormalUInt8Member:
        return Sign(Load<kelvo_uint8>(At), 127, false);
    case KelvoBinormalInt16Member:
        return Sign(Load<kelvo_int16>(At), 16383, true);
    case KelvoNormalUInt16Member:
        return Sign(Load<kelvo_uint16>(At), 32767, false);
    default:
        return 0;
    }
}

inline kelvo_real32 AsReal(kelvo_member_type Type, kelvo_uint8 const *At) {
    switch (Type) {
    case KelvoReal32Member:
        return Load<kelvo_real32>(At);
    case KelvoStringMember:
        return ParsedString<kelvo_real32>(At);
    case KelvoUInt32Member:
        // Unsigned: values above 2^31 stay positive.
        return Single((kelvo_real32)Load<kelvo_uint32>(At));
    case KelvoBinormalInt8Member:
        return Single(Load<kelvo_int8>(At) * (1.0f / 127.0f));
    case KelvoNormalUInt8Member:
        return Single(Load<kelvo_uint8>(At) * (1.0f / 255.0f));
    case KelvoBinormalInt16Member:
        return Single(Load<kelvo_int16>(At) * (1.0f / 32767.0f));
    case KelvoNormalUInt16Member:
        return Single(Load<kelvo_uint16>(At) * (1.0f / 65535.0f));
    default:
        // The other integers as they widen; what is no number reads as 0.
        return Single((kelvo_real32)AsInt(Type, At));
    }
}

// round(value × scale) as an integer, of which the stored low bits are kept.
inline kelvo_int32 Scaled(kelvo_member_type Type, kelvo_uint8 const *At, kelvo_real32 Scale) {
    return RoundToInt32(Single(AsReal(Type, At) * Scale));
}

inline void ConvertNumber(kelvo_member_type DestinationType, kelvo_uint8 *Destination,
                          kelvo_member_type SourceType, kelvo_uint8 const *Source) {
    switch (DestinationType) {
    case KelvoReal32Member:
        Store<kelvo_real32>(Destination, AsReal(SourceType, Source));
        break;
    case KelvoBinormalInt8Member:
        Store<kelvo_uint8>(Destination, (kelvo_uint8)Scaled(SourceType, Source, 127.0f));
        break;
    case KelvoNormalUInt8Member:
        Store<kelvo_uint8>(Destination, (kelvo_uint8)Scaled(SourceType, Source, 255.0f));
        break;
    case KelvoBinormalInt16Member:
        Store<kelvo_uint16>(Destination, (kelvo_uint16)Scaled(SourceType, Source, 32767.0f));
        break;
    case KelvoNormalUInt16Member:
        Store<kelvo_uint16>(Destination, (kelvo_uint16)Scaled(SourceType, Source, 65535.0f));
        break;
    case KelvoInt8Member:
    case KelvoUInt8Member:
        Store<kelvo_uint8>(Destination, (kelvo_uint8)AsInt(SourceType, Source));
        break;
    case KelvoInt16Member:
    case KelvoUInt16Member:
        Store<kelvo_uint16>(Destination, (kelvo_uint16)AsInt(SourceType, Source));
        break;
    case KelvoInt32Member:
    case KelvoUInt32Member:
        Store<kelvo_int32>(Destination, AsInt(SourceType, Source));
        break;
    default:
        break;
    }
}

// One converter per pair of member types, chosen when a member is planned, so
// that converting an element is one call with both types known inside it.
using element_converter = void (*)(kelvo_uint8 *Destination, kelvo_uint8 const *Source);

template <kelvo_member_type To, kelvo_member_type From>
void ConvertElement(kelvo_uint8 *Destination, kelvo_uint8 const *Source) {
    ConvertNumber(To, Destination, From, Source);
}

template <kelvo_member_type To, size_t... From>
constexpr std::array<element_converter, KelvoOnePastLastMemberType>
ConvertersInto(std::index_sequence<From...>) {
    return {&ConvertElement<To, (kelvo_member_type)From>...};
}

template <size_t... To>
constexpr std::array<std::array<element_converter, KelvoOnePastLastMemberType>, sizeof...(To)>
ConvertersIntoNumbers(std::index_sequence<To...>) {
    return {ConvertersInto<KelvoReal32Member + (kelvo_member_type)To>(
        std::make_index_sequence<KelvoOnePastLastMemberType>())...};
}

// Indexed by destination type - KelvoReal32Member, then by source type.
constexpr auto ElementConverters = ConvertersIntoNumbers(
    std::make_index_sequence<KelvoOnePastLastMemberType - KelvoReal32Member>());

// The same conversions over a run of objects: Width elements in each of Count
// objects, so that converting many objects costs one call per member.
template <kelvo_member_type To, kelvo_member_type From>
void ConvertElementRuns(kelvo_uint8 *Destination, kelvo_int32 DestinationStride,
                        kelvo_uint8 const *Source, kelvo_int32 SourceStride, kelvo_int32 Count,
                        kelvo_int32 Width) {
    constexpr kelvo_int32 DestinationUnit = kelvo::MemberTypes[To].Size64;
    constexpr kelvo_int32 SourceUnit = kelvo::MemberTypes[From].Size64;
    for (kelvo_int32 Object = 0; Object < Count; ++Object) {
        for (kelvo_int32 Index = 0; Index < Width; ++Index) {
            ConvertNumber(To, Destination + Index * DestinationUnit, From,
                          Source + Index * SourceUnit);
        }
        Destination += DestinationStride;
        Source += SourceStride;
    }
}

template <kelvo_member_type To, size_t... From>
constexpr std::array<kelvo::element_run_converter, KelvoOnePastLastMemberType>
RunConvertersInto(std::index_sequence<From...>) {
    return {&ConvertElementRuns<To, (kelvo_member_type)From>...};
}

template <size_t... To>
constexpr std::array<std::array<kelvo::element_run_converter, KelvoOnePastLastMemberType>,
                     sizeof...(To)>
RunConvertersIntoNumbers(std::index_sequence<To...>) {
    return {RunConvertersInto<KelvoReal32Member + (kelvo_member_type)To>(
        std::make_index_sequence<KelvoOnePastLastMemberType>())...};
}

constexpr auto ElementRunConverters = RunConvertersIntoNumbers(
    std::make_index_sequence<KelvoOnePastLastMemberType - KelvoReal32Member>());

constexpr kelvo_int32 TextBufferSize = 256;

// The decimal text a number becomes in a string member.
kelvo_int32 FormatNumber(kelvo_member_type Type, kelvo_uint8 const *At,
                         char (&Text)[TextBufferSize]) {
    if (IsRealForm(Type)) {
        return kelvo::Format(TextBufferSize, Text, "%f", (kelvo_real64)AsReal(Type, At));
    }
    return kelvo::Format(TextBufferSize, Text, "%d", AsInt(Type, At));
}

// ---- one member's value -----------------------------------------------------------

enum class value_action : kelvo_uint8 { None, Copy, Inline, Text, Number };

bool IsReference(kelvo_member_type Type) {
    return Type == KelvoReferenceMember || Type == KelvoReferenceToArrayMember ||
           Type == KelvoArrayOfReferencesMember;
}

// What the value pass does for a destination member fed by a source member.
struct value_step {
    value_action Action;
    kelvo_member_type SourceType;
    kelvo_member_type DestinationType;
    kelvo_int32 Count; // bytes to copy, or elements to convert
    kelvo_int32 SourceUnit;
    kelvo_int32 DestinationUnit;
    element_converter Convert; // numbers
};

bool ReferencedTypesAreEqual(kelvo_data_type_definition const &Source,
                             kelvo_data_type_definition const &Destination,
                             kelvo_data_type_definition const *Refused) {
    return kelvo::DataTypesAreEqual(Source.ReferenceType, Destination.ReferenceType, nullptr,
                                    Refused);
}

kelvo_int32 Smaller(kelvo_int32 A, kelvo_int32 B) {
    return A < B ? A : B;
}

// Definitions are checked before this is asked, so sizes are trusted here.
value_step ChooseValueStep(kelvo_data_type_definition const &Source,
                           kelvo_data_type_definition const &Destination,
                           bool ReferencedTypesEqual) {
    value_step Step = {value_action::None, Source.Type, Destination.Type, 0, 0, 0, nullptr};
    if (Source.Type == KelvoInlineMember || Destination.Type == KelvoInlineMember) {
        // Inline parts convert member by member; inline and not inline never meet.
        if (Source.Type == Destination.Type) {
            Step.Action = value_action::Inline;
        }
        return Step;
    }
    if (Source.Type == Destination.Type) {
        // A reference to objects of another layout would be followed as this
        // one: it is left empty, and tree conversion converts what it leads to.
        if (!IsReference(Source.Type) || ReferencedTypesEqual) {
            Step.Action = value_action::Copy;
            Step.Count =
                Smaller(KelvoGetMemberTypeSize(&Source), KelvoGetMemberTypeSize(&Destination));
        }
        return Step;
    }
    if (Destination.Type == KelvoStringMember) {
        Step.Action = value_action::Text;
    } else if (IsNumber(Destination.Type)) {
        Step.Action = value_action::Number;
        Step.Convert = ElementConverters[Destination.Type - KelvoReal32Member][Source.Type];
    } else {
        return Step;
    }
    Step.Count = Smaller(KelvoGetMemberArrayWidth(&Source), KelvoGetMemberArrayWidth(&Destination));
    Step.SourceUnit = kelvo::GetMemberUnitSize(Source.Type, kelvo::NativePointerSizeInBits);
    Step.DestinationUnit =
        kelvo::GetMemberUnitSize(Destination.Type, kelvo::NativePointerSizeInBits);
    return Step;
}

void ConvertNumbers(value_step const &Step, kelvo_uint8 const *Source, kelvo_uint8 *Destination) {
    for (kelvo_int32 Index = 0; Index < Step.Count; ++Index) {
        Step.Convert(Destination + Index * Step.DestinationUnit, Source + Index * Step.SourceUnit);
    }
}

// ---- matching by name ---------------------------------------------------------------

bool MemberNamesMatch(char const *A, char const *B) {
    // An installed comparison is never handed a null name.
    if (!A || !B) {
        return A == B;
    }
    return kelvo::NamesAreEqual(A, B);
}

// The first member of Type named Name, and the offset of its data. The type
// has been checked, so its sizes hold.
kelvo_data_type_definition const *FindMember(kelvo_data_type_definition const *Type,
                                             char const *Name, kelvo_int32 &Offset) {
    Offset = 0;
    for (kelvo_data_type_definition const *Member = Type; Member && Member->Type != KelvoEndMember;
         ++Member) {
        if (MemberNamesMatch(Member->Name, Name)) {
            return Member;
        }
        Offset += KelvoGetMemberTypeSize(Member);
    }
    return nullptr;
}

// ---- single objects ---------------------------------------------------------------------

// Inline members recurse; checking the definitions bounded their nesting.
void ConvertValuesDirectly(kelvo_data_type_definition const *SourceType, kelvo_uint8 const *Source,
                           kelvo_data_type_definition const *DestinationType,
                           kelvo_uint8 *Destination) {
    kelvo_int32 DestinationOffset = 0;
    for (kelvo_data_type_definition const *Member = DestinationType;
         Member && Member->Type != KelvoEndMember; ++Member) {
        kelvo_int32 SourceOffset;
        kelvo_data_type_definition const *SourceMember =
            FindMember(SourceType, Member->Name, SourceOffset);
        if (SourceMember) {
            bool Equal = IsReference(Member->Type) && Member->Type == SourceMember->Type &&
                         ReferencedTypesAreEqual(*SourceMember, *Member, nullptr);
            value_step Step = ChooseValueStep(*SourceMember, *Member, Equal);
            kelvo_uint8 const *From = Source + SourceOffset;
            kelvo_uint8 *To = Destination + DestinationOffset;
            switch (Step.Action) {
            case value_action::Inline:
                ConvertValuesDirectly(SourceMember->ReferenceType, From, Member->ReferenceType, To);
                break;
            case value_action::Copy:
                kelvo::Copy(Step.Count, From, To);
                break;
            case value_action::Number:
                ConvertNumbers(Step, From, To);
                break;
            default: // text needs a tree's block to live in
                break;
            }
        }
        DestinationOffset += KelvoGetMemberTypeSize(Member);
    }
}

kelvo_bool32 ConvertSingleObject(kelvo_data_type_definition const *SourceType,
                                 void const *SourceObject,
                                 kelvo_data_type_definition const *DestinationType,
                                 void *DestinationObject, bool Clear) {
    KELVO_CHECK_NOT_NULL(SourceObject, KelvoDataTypeLogMessage, 0);
    KELVO_CHECK_NOT_NULL(DestinationObject, KelvoDataTypeLogMessage, 0);
    if (!kelvo::CheckDefinition(SourceType) || !kelvo::CheckDefinition(DestinationType)) {
        return 0;
    }
    if (Clear) {
        KelvoMakeEmptyDataTypeObject(DestinationType, DestinationObject);
    }
    ConvertValuesDirectly(SourceType, static_cast<kelvo_uint8 const *>(SourceObject),
                          DestinationType, static_cast<kelvo_uint8 *>(DestinationObject));
    return 1;
}

// ---- memory of one tree conversion ---------------------------------------------------

// Plans and records, carved from chunks that are freed together.
class scratch_store : kelvo::no_copy {
  public:
    ~scratch_store() {
        while (Chunks) {
            chunk *Older = Chunks->Older;
            KELVO_DEALLOCATE(Chunks);
            Chunks = Older;
        }
    }

    // Zeroed and aligned for any record; null when out of memory.
    void *Allocate(kelvo_int64 Size) {
        Size = (Size + 7) & ~(kelvo_int64)7;
        if (!Chunks || Chunks->Size - Chunks->Used < Size) {
            kelvo_int64 ChunkSize = Size > DefaultChunkSize ? Size : DefaultChunkSize;
            if (ChunkSize > INT32_MAX - HeaderSize) {
                Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                    "%s(%d): ChunkSize %I64d is out of range for an int32 Size", KELVO_HERE,
                    ChunkSize);
                return nullptr;
            }
            chunk *Chunk =
                static_cast<chunk *>(KELVO_ALLOCATE_SIZE((kelvo_int32)(HeaderSize + ChunkSize)));
            if (!Chunk) {
                return nullptr;
            }
            *Chunk = {Chunks, ChunkSize, 0};
            Chunks = Chunk;
        }
        kelvo_uint8 *Memory = reinterpret_cast<kelvo_uint8 *>(Chunks) + HeaderSize + Chunks->Used;
        Chunks->Used += Size;
        kelvo::SetUInt8((kelvo_int32)Size, 0, Memory);
        return Memory;
    }

  private:
    struct chunk {
        chunk *Older;
        kelvo_int64 Size;
        kelvo_int64 Used;
    };
    static constexpr kelvo_int64 HeaderSize = (sizeof(chunk) + 7) & ~(size_t)7;
    static constexpr kelvo_int64 DefaultChunkSize = 16384;

    chunk *Chunks = nullptr;
};

// ---- plans: what converting one pair of definitions takes ---------------------------

enum class sub_action : kelvo_uint8 { None, Inline, Reference, Array, References };

struct type_plan;

struct member_plan {
    char const *Name; // of the source member, for reports
    value_step Value;
    sub_action Sub;
    kelvo_int32 SourceOffset;
    kelvo_int32 DestinationOffset;
    kelvo_int32 SlotCount; // elements of the member whose sub-objects are converted
    kelvo_int32 SourceUnit;
    kelvo_int32 DestinationUnit;
    kelvo_data_type_definition const *SourceReferenceType;
    kelvo_data_type_definition const *DestinationReferenceType;
    type_plan *SubPlan; // inline parts: made with the plan; references: on first use
};

struct type_plan {
    kelvo_data_type_definition const *SourceType;
    kelvo_data_type_definition const *DestinationType;
    kelvo_int32 SourceSize;
    kelvo_int32 DestinationSize;
    kelvo_uint8 *EmptyObject; // what a new destination object starts as
    kelvo_int32 MemberCount;
    member_plan *Members; // only the members that have something to do
    bool UsesBlock;       // the value pass places text or curve data in the block
    bool HasSubObjects;
    bool HasCopiedReferences; // shared reference or variant words, for the last pass
    bool IsCurve;
    bool CurveDataMatched;
    type_plan *NextForDestination;
};

// A destination object or array made for a source address. One address may
// be reached as different types; each gets its own.
struct made_object {
    kelvo_data_type_definition const *Type;
    kelvo_int64 Offset;
    kelvo_int32 Count; // elements of a made array; 0 for an object
    made_object *Next;
};

struct pending_object {
    type_plan *Plan;
    kelvo_uint8 const *Source;
    kelvo_int64 Offset;
    kelvo_int32 Count; // the next Count elements of an array, or 1
};

struct tree_conversion {
    kelvo_pointer_hash *Plans = nullptr; // destination type -> its plans
    kelvo_pointer_hash *Made = nullptr;  // source address -> made_object list
    scratch_store Scratch;
    kelvo::work_stack<pending_object> Pending;
    kelvo::work_stack<pending_object> Copied; // objects with shared references
    kelvo::curve_conversion const *Curves = nullptr;
    kelvo_data_type_definition const *Refused = nullptr;
    kelvo_uint8 *Base = nullptr; // null while measuring
    kelvo_int64 Total = 0;
    bool Failed = false;

    tree_conversion(const tree_conversion &) = delete;
    tree_conversion &operator=(const tree_conversion &) = delete;
    tree_conversion();
    ~tree_conversion() {
        KelvoDeletePointerHash(Plans);
        KelvoDeletePointerHash(Made);
    }
    bool Ready() const { return Plans && Made; }
    bool StartWriting(kelvo_uint8 *Memory);
};

kelvo::curve_conversion const *InstalledCurves = nullptr;

tree_conversion::tree_conversion()
    : Plans(KelvoNewPointerHash()), Made(KelvoNewPointerHash()), Curves(InstalledCurves),
      Refused(InstalledCurves ? InstalledCurves->CurveType : nullptr) {}

// Plans stay; what the measuring pass made is forgotten.
bool tree_conversion::StartWriting(kelvo_uint8 *Memory) {
    KelvoDeletePointerHash(Made);
    Made = KelvoNewPointerHash();
    Pending.Clear();
    Copied.Clear();
    Base = Memory;
    Total = 0;
    return Made != nullptr;
}

bool Remember(tree_conversion &Conversion, kelvo_pointer_hash *Hash, void const *Key, void *Data,
              bool Present) {
    if (Present ? !KelvoSetHashedPointerData(Hash, Key, Data)
                : !KelvoAddPointerToHash(Hash, Key, Data)) {
        Conversion.Failed = true;
        return false;
    }
    return true;
}

type_plan *GetPlan(tree_conversion &Conversion, kelvo_data_type_definition const *SourceType,
                   kelvo_data_type_definition const *DestinationType);

bool MakeMemberPlan(tree_conversion &Conversion, type_plan &Plan,
                    kelvo_data_type_definition const &Member, kelvo_int32 DestinationOffset,
                    member_plan &Result) {
    kelvo_int32 SourceOffset;
    kelvo_data_type_definition const *Source =
        FindMember(Plan.SourceType, Member.Name, SourceOffset);
    if (!Source) {
        return false;
    }
    bool SameKind = Source->Type == Member.Type;
    bool Equal = SameKind && (Member.Type == KelvoInlineMember || IsReference(Member.Type)) &&
                 ReferencedTypesAreEqual(*Source, Member, Conversion.Refused);
    Result = {};
    Result.Name = Source->Name;
    Result.Value = ChooseValueStep(*Source, Member, Equal);
    Result.SourceOffset = SourceOffset;
    Result.DestinationOffset = DestinationOffset;
    Result.SourceReferenceType = Source->ReferenceType;
    Result.DestinationReferenceType = Member.ReferenceType;
    if (Result.Value.Action == value_action::Inline) {
        Result.SubPlan = GetPlan(Conversion, Source->ReferenceType, Member.ReferenceType);
        if (!Result.SubPlan) {
            return false;
        }
        Plan.UsesBlock |= Result.SubPlan->UsesBlock;
        Plan.HasCopiedReferences |= Result.SubPlan->HasCopiedReferences;
        if (!Equal && Result.SubPlan->HasSubObjects) {
            Result.Sub = sub_action::Inline;
        }
    } else if (SameKind && IsReference(Member.Type) && !Equal) {
        Result.Sub = Member.Type == KelvoReferenceMember          ? sub_action::Reference
                     : Member.Type == KelvoReferenceToArrayMember ? sub_action::Array
                                                                  : sub_action::References;
        Result.SlotCount =
            Smaller(KelvoGetMemberArrayWidth(Source), KelvoGetMemberArrayWidth(&Member));
        Result.SourceUnit = KelvoGetMemberUnitSize(Source);
        Result.DestinationUnit = KelvoGetMemberUnitSize(&Member);
    }
    Plan.UsesBlock |= Result.Value.Action == value_action::Text;
    Plan.HasSubObjects |= Result.Sub != sub_action::None;
    Plan.HasCopiedReferences |=
        Result.Value.Action == value_action::Copy &&
        (Member.Type == KelvoReferenceMember || Member.Type == KelvoVariantReferenceMember);
    return Result.Value.Action != value_action::None || Result.Sub != sub_action::None;
}

// Inline parts make their plans at once (their nesting was bounded when the
// definitions were checked); referenced types wait until an object needs them.
type_plan *MakePlan(tree_conversion &Conversion, kelvo_data_type_definition const *SourceType,
                    kelvo_data_type_definition const *DestinationType) {
    if (!kelvo::CheckDefinition(SourceType) || !kelvo::CheckDefinition(DestinationType)) {
        Conversion.Failed = true;
        return nullptr;
    }
    kelvo_int32 MemberCount = 0;
    for (kelvo_data_type_definition const *Member = DestinationType;
         Member && Member->Type != KelvoEndMember; ++Member) {
        ++MemberCount;
    }
    type_plan *Plan = static_cast<type_plan *>(Conversion.Scratch.Allocate(sizeof(type_plan)));
    member_plan *Members = static_cast<member_plan *>(
        Conversion.Scratch.Allocate((kelvo_int64)MemberCount * (kelvo_int64)sizeof(member_plan)));
    kelvo_int32 DestinationSize = KelvoGetTotalObjectSize(DestinationType);
    kelvo_uint8 *EmptyObject =
        static_cast<kelvo_uint8 *>(Conversion.Scratch.Allocate(DestinationSize));
    if (!Plan || !Members || !EmptyObject) {
        Conversion.Failed = true;
        return nullptr;
    }
    KelvoMakeEmptyDataTypeObject(DestinationType, EmptyObject);
    Plan->SourceType = SourceType;
    Plan->DestinationType = DestinationType;
    Plan->SourceSize = KelvoGetTotalObjectSize(SourceType);
    Plan->DestinationSize = DestinationSize;
    Plan->EmptyObject = EmptyObject;
    Plan->Members = Members;
    kelvo_int32 DestinationOffset = 0;
    for (kelvo_data_type_definition const *Member = DestinationType;
         Member && Member->Type != KelvoEndMember; ++Member) {
        if (MakeMemberPlan(Conversion, *Plan, *Member, DestinationOffset,
                           Members[Plan->MemberCount])) {
            ++Plan->MemberCount;
        }
        if (Conversion.Failed) {
            return nullptr;
        }
        DestinationOffset += KelvoGetMemberTypeSize(Member);
    }
    kelvo::curve_conversion const *Curves = Conversion.Curves;
    if (Curves && DestinationType &&
        (DestinationType == Curves->CurveType ||
         KelvoDataTypesAreEqualWithNames(DestinationType, Curves->CurveType))) {
        kelvo_int32 Offset;
        Plan->IsCurve = true;
        Plan->CurveDataMatched = FindMember(SourceType, "CurveData", Offset) != nullptr;
        Plan->UsesBlock |= !Plan->CurveDataMatched && Curves->ConvertOldCurve;
    }
    return Plan;
}

type_plan *GetPlan(tree_conversion &Conversion, kelvo_data_type_definition const *SourceType,
                   kelvo_data_type_definition const *DestinationType) {
    void *First = nullptr;
    KelvoGetHashedPointerData(Conversion.Plans, DestinationType, &First);
    for (type_plan *Plan = static_cast<type_plan *>(First); Plan; Plan = Plan->NextForDestination) {
        if (Plan->SourceType == SourceType) {
            return Plan;
        }
    }
    type_plan *Plan = MakePlan(Conversion, SourceType, DestinationType);
    if (Plan) {
        Plan->NextForDestination = static_cast<type_plan *>(First);
        if (!Remember(Conversion, Conversion.Plans, DestinationType, Plan, First != nullptr)) {
            return nullptr;
        }
    }
    return Plan;
}

type_plan *SubPlan(tree_conversion &Conversion, member_plan &Member) {
    if (!Member.SubPlan) {
        Member.SubPlan =
            GetPlan(Conversion, Member.SourceReferenceType, Member.DestinationReferenceType);
    }
    return Member.SubPlan;
}

// ---- the block ------------------------------------------------------------------------

// Places Size bytes at the allocation point, 4-byte aligned, so that the
// records of the block can be read in place; -1 when the block would outgrow
// int32.
kelvo_int64 Place(tree_conversion &Conversion, kelvo_int64 Size) {
    kelvo_int64 Offset = (Conversion.Total + 3) & ~(kelvo_int64)3;
    if (Offset + Size > INT32_MAX) {
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): Offset + Size %I64d is out of range for an int32 ConvertedTreeSize",
            KELVO_HERE, Offset + Size);
        Conversion.Failed = true;
        return -1;
    }
    Conversion.Total = Offset + Size;
    return Offset;
}

bool SameLayout(kelvo_data_type_definition const *A, kelvo_data_type_definition const *B) {
    return A == B || kelvo::DataTypesAreEqual(A, B, nullptr, nullptr);
}

// What was made for Source as Type (Count elements, 0 for an object); with a
// null Type, the first object made for it.
// What was made for a source address, newest first.
made_object *MadeFor(tree_conversion &Conversion, void const *Source) {
    void *First = nullptr;
    KelvoGetHashedPointerData(Conversion.Made, Source, &First);
    return static_cast<made_object *>(First);
}

// The one made as Type (Count elements, 0 for an object), or with AnyType the
// first object made.
made_object *FindMade(made_object *First, kelvo_data_type_definition const *Type, kelvo_int32 Count,
                      bool AnyType) {
    for (made_object *Made = First; Made; Made = Made->Next) {
        if (Made->Count == Count && (AnyType || SameLayout(Made->Type, Type))) {
            return Made;
        }
    }
    return nullptr;
}

// The offset of the destination object or array made for Source, which is
// placed and queued for conversion the first time. While measuring, objects
// that take no more room than their own are not visited at all.
kelvo_int64 Make(tree_conversion &Conversion, type_plan &Plan, kelvo_uint8 const *Source,
                 kelvo_int32 Count) {
    made_object *First = MadeFor(Conversion, Source);
    if (made_object *Made = FindMade(First, Plan.DestinationType, Count, false)) {
        return Made->Offset;
    }
    kelvo_int32 Elements = Count ? Count : 1;
    kelvo_int64 Offset = Place(Conversion, (kelvo_int64)Elements * Plan.DestinationSize);
    made_object *Made =
        static_cast<made_object *>(Conversion.Scratch.Allocate(sizeof(made_object)));
    if (Offset < 0 || !Made) {
        Conversion.Failed = true;
        return -1;
    }
    *Made = {Plan.DestinationType, Offset, Count, First};
    bool Visit = Conversion.Base || Plan.UsesBlock || Plan.HasSubObjects;
    if (!Remember(Conversion, Conversion.Made, Source, Made, First != nullptr) ||
        (Visit && !Conversion.Pending.Push({&Plan, Source, Offset, Elements}))) {
        Conversion.Failed = true;
        return -1;
    }
    return Offset;
}

kelvo_uint8 *At(tree_conversion &Conversion, kelvo_int64 Offset) {
    return Conversion.Base + Offset;
}

// ---- the value pass ---------------------------------------------------------------------

void PlaceText(tree_conversion &Conversion, value_step const &Step, kelvo_uint8 const *Source,
               kelvo_uint8 *Destination) {
    for (kelvo_int32 Index = 0; Index < Step.Count; ++Index) {
        char Text[TextBufferSize];
        kelvo_int32 Length = FormatNumber(Step.SourceType, Source + Index * Step.SourceUnit, Text);
        // The terminator is inside the rounded size, so text never runs into
        // what follows it.
        kelvo_int64 Offset = Place(Conversion, (Length + 1 + 3) & ~3);
        if (Offset >= 0 && Destination) {
            kelvo::Copy(Length + 1, Text, At(Conversion, Offset));
            kelvo::StorePointer(Destination + Index * Step.DestinationUnit, At(Conversion, Offset));
        }
    }
}

void ConvertCurve(tree_conversion &Conversion, type_plan const &Plan, kelvo_uint8 const *Source,
                  kelvo_uint8 *Destination) {
    kelvo::curve_conversion const &Curves = *Conversion.Curves;
    if (!Plan.CurveDataMatched && Curves.ConvertOldCurve) {
        kelvo_int64 Offset = Place(Conversion, Curves.OldCurveDataSize);
        if (Offset >= 0 && Destination) {
            Curves.ConvertOldCurve(Plan.SourceType, Source, Destination, At(Conversion, Offset));
        }
    }
    if (Destination && Curves.UpdateCurveFormat) {
        Curves.UpdateCurveFormat(Destination);
    }
}

// Destination is null while measuring; then only what takes room in the
// block is worked out.
void ConvertValues(tree_conversion &Conversion, type_plan const &Plan, kelvo_uint8 const *Source,
                   kelvo_uint8 *Destination) {
    for (kelvo_int32 Index = 0; Index < Plan.MemberCount; ++Index) {
        member_plan const &Member = Plan.Members[Index];
        kelvo_uint8 const *From = Source + Member.SourceOffset;
        kelvo_uint8 *To = Destination ? Destination + Member.DestinationOffset : nullptr;
        switch (Member.Value.Action) {
        case value_action::Copy:
            if (To) {
                kelvo::Copy(Member.Value.Count, From, To);
            }
            break;
        case value_action::Number:
            if (To) {
                ConvertNumbers(Member.Value, From, To);
            }
            break;
        case value_action::Inline:
            if (To || Member.SubPlan->UsesBlock) {
                ConvertValues(Conversion, *Member.SubPlan, From, To);
            }
            break;
        case value_action::Text:
            PlaceText(Conversion, Member.Value, From, To);
            break;
        case value_action::None:
            break;
        }
    }
    if (Plan.IsCurve) {
        ConvertCurve(Conversion, Plan, Source, Destination);
    }
}

// ---- the sub-object pass ----------------------------------------------------------------

bool CheckCount(tree_conversion &Conversion, kelvo_int32 Count, member_plan const &Member) {
    if (Count >= 0) {
        return true;
    }
    Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
        "%s(%d): Count %d of member \"%s\" is negative", KELVO_HERE, Count, Member.Name);
    Conversion.Failed = true;
    return false;
}

// One element of a reference member. Its referenced type gets its plan when
// an object first needs it, so a type nothing leads to is never looked at.
void ConvertSlot(tree_conversion &Conversion, member_plan &Member, kelvo_uint8 const *From,
                 kelvo_int64 To) {
    constexpr kelvo_int32 PointerSize = (kelvo_int32)sizeof(void *);
    kelvo_int32 Count = 1;
    kelvo_uint8 const *Items = From;
    if (Member.Sub != sub_action::Reference) {
        Count = kelvo::LoadInt32(From);
        Items = static_cast<kelvo_uint8 const *>(kelvo::LoadPointer(From + 4));
        if (!CheckCount(Conversion, Count, Member)) {
            return;
        }
    }
    type_plan *Referenced = nullptr;
    if (Member.Sub == sub_action::Reference) {
        kelvo_uint8 const *Object = static_cast<kelvo_uint8 const *>(kelvo::LoadPointer(From));
        kelvo_int64 Made = -1;
        if (Object && (Referenced = SubPlan(Conversion, Member))) {
            Made = Make(Conversion, *Referenced, Object, 0);
        }
        if (Made >= 0 && Conversion.Base) {
            kelvo::StorePointer(At(Conversion, To), At(Conversion, Made));
        }
        return;
    }
    if (!Items || Count == 0 || !(Referenced = SubPlan(Conversion, Member))) {
        return;
    }
    kelvo_int64 Made;
    if (Member.Sub == sub_action::Array) {
        Made = Make(Conversion, *Referenced, Items, Count);
    } else {
        // The slot array is the destination's own; each object in it is
        // converted as an object of its own.
        Made = Place(Conversion, (kelvo_int64)Count * PointerSize);
        for (kelvo_int32 Entry = 0; Made >= 0 && Entry < Count && !Conversion.Failed; ++Entry) {
            kelvo_uint8 const *Object =
                static_cast<kelvo_uint8 const *>(kelvo::LoadPointer(Items + Entry * PointerSize));
            kelvo_int64 Target = Object ? Make(Conversion, *Referenced, Object, 0) : -1;
            if (Conversion.Base) {
                kelvo::StorePointer(At(Conversion, Made + Entry * PointerSize),
                                    Target >= 0 ? At(Conversion, Target) : nullptr);
            }
        }
    }
    if (Made >= 0 && Conversion.Base) {
        kelvo::StoreInt32(At(Conversion, To), Count);
        kelvo::StorePointer(At(Conversion, To) + 4, At(Conversion, Made));
    }
}

// Null references, empty arrays and null entries stay empty in the
// destination, which starts as the empty object.
void ConvertSubObjects(tree_conversion &Conversion, type_plan &Plan, kelvo_uint8 const *Source,
                       kelvo_int64 Offset) {
    for (kelvo_int32 Index = 0; Index < Plan.MemberCount && !Conversion.Failed; ++Index) {
        member_plan &Member = Plan.Members[Index];
        if (Member.Sub == sub_action::None) {
            continue;
        }
        if (Member.Sub == sub_action::Inline) {
            ConvertSubObjects(Conversion, *Member.SubPlan, Source + Member.SourceOffset,
                              Offset + Member.DestinationOffset);
            continue;
        }
        for (kelvo_int32 Slot = 0; Slot < Member.SlotCount && !Conversion.Failed; ++Slot) {
            kelvo_uint8 const *From = Source + Member.SourceOffset + Slot * Member.SourceUnit;
            kelvo_int64 To = Offset + Member.DestinationOffset + Slot * Member.DestinationUnit;
            ConvertSlot(Conversion, Member, From, To);
        }
    }
}

void ConvertObject(tree_conversion &Conversion, type_plan &Plan, kelvo_uint8 const *Source,
                   kelvo_int64 Offset) {
    kelvo_uint8 *Destination = Conversion.Base ? At(Conversion, Offset) : nullptr;
    if (Destination) {
        kelvo::Copy(Plan.DestinationSize, Plan.EmptyObject, Destination);
    }
    if (Destination || Plan.UsesBlock) {
        ConvertValues(Conversion, Plan, Source, Destination);
    }
    if (Destination && Plan.HasCopiedReferences &&
        !Conversion.Copied.Push({&Plan, Source, Offset, 1})) {
        Conversion.Failed = true;
    }
    if (Plan.HasSubObjects) {
        ConvertSubObjects(Conversion, Plan, Source, Offset);
    }
}

// ---- the last pass: shared references to objects converted elsewhere -----------

// A copied reference or variant may point at a source object that another
// path converted. It then uses the converted object, where that object has
// the layout the reference expects; a variant takes the converted object's
// type with it. Slot arrays need nothing: those made here hold converted
// objects already, and shared ones belong to the source, which is never
// written.
void RedirectCopiedReferences(tree_conversion &Conversion) {
    for (kelvo_int32 Index = 0; Index < Conversion.Copied.Size(); ++Index) {
        pending_object const &Object = Conversion.Copied[Index];
        kelvo::member_iterator Members(Object.Plan->DestinationType, At(Conversion, Object.Offset));
        kelvo::pointer_slot Slot;
        while (Members.Next(Slot)) {
            kelvo_member_type Type = Slot.Member->Type;
            if (Type != KelvoReferenceMember && Type != KelvoVariantReferenceMember) {
                continue;
            }
            kelvo_uint8 *Word = Slot.Address + Slot.PointerOffset;
            void const *Target = kelvo::LoadPointer(Word);
            bool Variant = Type == KelvoVariantReferenceMember;
            made_object *Made = Target ? FindMade(MadeFor(Conversion, Target),
                                                  Slot.Member->ReferenceType, 0, Variant)
                                       : nullptr;
            if (Made) {
                kelvo::StorePointer(Word, At(Conversion, Made->Offset));
                if (Variant) {
                    kelvo::StorePointer(Slot.Address + Slot.TypeOffset, Made->Type);
                }
            }
        }
    }
}

// One traversal; measuring or filling as the conversion's base says.
bool RunConversion(tree_conversion &Conversion, kelvo_data_type_definition const *SourceType,
                   kelvo_uint8 const *Source, kelvo_data_type_definition const *DestinationType) {
    if (!Conversion.Ready()) {
        return false;
    }
    type_plan *Root = GetPlan(Conversion, SourceType, DestinationType);
    if (!Root || Make(Conversion, *Root, Source, 0) < 0) {
        return false;
    }
    pending_object Object;
    while (!Conversion.Failed && Conversion.Pending.Pop(Object)) {
        type_plan &Plan = *Object.Plan;
        for (kelvo_int32 Element = 0; Element < Object.Count && !Conversion.Failed; ++Element) {
            ConvertObject(Conversion, Plan, Object.Source + (kelvo_int64)Element * Plan.SourceSize,
                          Object.Offset + (kelvo_int64)Element * Plan.DestinationSize);
        }
    }
    if (!Conversion.Failed && Conversion.Base) {
        RedirectCopiedReferences(Conversion);
    }
    return !Conversion.Failed;
}

} // namespace

namespace kelvo {

void SetCurveConversion(curve_conversion const *Conversion) {
    InstalledCurves = Conversion;
}

kelvo_data_type_definition const *FindMemberByName(kelvo_data_type_definition const *Type,
                                                   char const *Name, kelvo_int32 &Offset) {
    return FindMember(Type, Name, Offset);
}

element_run_converter GetElementRunConverter(kelvo_member_type DestinationType,
                                             kelvo_member_type SourceType) {
    if (!IsNumber(DestinationType) || !IsNumber(SourceType)) {
        return nullptr;
    }
    return ElementRunConverters[DestinationType - KelvoReal32Member][SourceType];
}

} // namespace kelvo

// ---- exports ----------------------------------------------------------------------------

KELVO_API kelvo_bool32 KelvoFindMatchingMember(kelvo_data_type_definition const *SourceType,
                                               void const *SourceObject, char const *MemberName,
                                               kelvo_variant *Result) {
    KELVO_CHECK_NOT_NULL(Result, KelvoDataTypeLogMessage, 0);
    *Result = {};
    KELVO_CHECK_NOT_NULL(SourceObject, KelvoDataTypeLogMessage, 0);
    if (!kelvo::CheckDefinition(SourceType)) {
        return 0;
    }
    kelvo_int32 Offset;
    kelvo_data_type_definition const *Member = FindMember(SourceType, MemberName, Offset);
    if (!Member) {
        return 0;
    }
    Result->Type = Member;
    // The match is handed out as a variant, whose object is writable.
    Result->Object =
        const_cast<kelvo_uint8 *>(static_cast<kelvo_uint8 const *>(SourceObject)) + Offset;
    return 1;
}

KELVO_API kelvo_bool32 KelvoConvertSingleObject(kelvo_data_type_definition const *SourceType,
                                                void const *SourceObject,
                                                kelvo_data_type_definition const *DestinationType,
                                                void *DestinationObject) {
    return ConvertSingleObject(SourceType, SourceObject, DestinationType, DestinationObject, true);
}

KELVO_API kelvo_bool32 KelvoMergeSingleObject(kelvo_data_type_definition const *SourceType,
                                              void const *SourceObject,
                                              kelvo_data_type_definition const *DestinationType,
                                              void *DestinationObject) {
    return ConvertSingleObject(SourceType, SourceObject, DestinationType, DestinationObject, false);
}

KELVO_API kelvo_int32 KelvoGetConvertedTreeSize(kelvo_data_type_definition const *SourceType,
                                                void const *SourceRoot,
                                                kelvo_data_type_definition const *DestinationType) {
    KELVO_TIMED_BLOCK("GetConvertedTreeSize");
    KELVO_CHECK_NOT_NULL(SourceRoot, KelvoDataTypeLogMessage, 0);
    tree_conversion Conversion;
    bool Converted = RunConversion(Conversion, SourceType,
                                   static_cast<kelvo_uint8 const *>(SourceRoot), DestinationType);
    return Converted ? (kelvo_int32)Conversion.Total : 0;
}

KELVO_API void *KelvoConvertTreeInPlace(kelvo_data_type_definition const *SourceType,
                                        void const *SourceRoot,
                                        kelvo_data_type_definition const *DestinationType,
                                        void *Memory) {
    KELVO_TIMED_BLOCK("ConvertTreeInPlace");
    KELVO_CHECK_NOT_NULL(SourceRoot, KelvoDataTypeLogMessage, nullptr);
    KELVO_CHECK_NOT_NULL(Memory, KelvoDataTypeLogMessage, nullptr);
    tree_conversion Conversion;
    if (!Conversion.StartWriting(static_cast<kelvo_uint8 *>(Memory))) {
        return nullptr;
    }
    bool Converted = RunConversion(Conversion, SourceType,
                                   static_cast<kelvo_uint8 const *>(SourceRoot), DestinationType);
    return Converted ? Memory : nullptr;
}

KELVO_API void *KelvoConvertTree(kelvo_data_type_definition const *SourceType,
                                 void const *SourceRoot,
                                 kelvo_data_type_definition const *DestinationType) {
    KELVO_TIMED_BLOCK("ConvertTree");
    KELVO_CHECK_NOT_NULL(SourceRoot, KelvoDataTypeLogMessage, nullptr);
    kelvo_uint8 const *Source = static_cast<kelvo_uint8 const *>(SourceRoot);
    // Both passes share the plans.
    tree_conversion Conversion;
    if (!RunConversion(Conversion, SourceType, Source, DestinationType)) {
        return nullptr;
    }
    kelvo_uint8 *Block =
        static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Conversion.Total));
    if (!Block) {
        return nullptr;
    }
    if (!Conversion.StartWriting(Block) ||
        !RunConversion(Conversion, SourceType, Source, DestinationType)) {
        KELVO_DEALLOCATE(Block);
        return nullptr;
    }
    return Block;
}
