// Data type definitions: the member-type table, the built-in scalar types and
// the small operations that measure, compare, clear and byte-swap objects by
// their definitions.
//
// Definitions also come out of files, so nothing here trusts one: every walk
// is bounded in depth (MaxTypeNesting) and in members visited (MaxTypeSteps),
// types outside the table and negative widths are refused, and sizes are
// summed in 64 bits. The first fault is reported and ends the walk; the
// operations that write (clearing, byte-swapping) measure the whole
// definition first and write nothing when it is bad.
#include "data/kelvo_data_type.h"

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"

using kelvo::Log;
using kelvo::MaxTypeNesting;
using kelvo::MaxTypeSteps;

namespace {

using kelvo::member_type_row;
using kelvo::MemberTypes;

constexpr kelvo_int32 NativeUnitSize(kelvo_member_type Type) {
    return sizeof(void *) == 8 ? MemberTypes[Type].Size64 : MemberTypes[Type].Size32;
}

// Objects are handled as raw bytes by these sizes, so they must be the C
// layout of this build.
static_assert(NativeUnitSize(KelvoTransformMember) == sizeof(kelvo_transform));
static_assert(NativeUnitSize(KelvoReferenceMember) == sizeof(void *));
static_assert(NativeUnitSize(KelvoVariantReferenceMember) == sizeof(kelvo_variant));
static_assert(sizeof(kelvo_data_type_definition) == (sizeof(void *) == 8 ? 44 : 32));

bool IsKnownType(kelvo_member_type Type) {
    return Type >= 0 && Type < KelvoOnePastLastMemberType;
}

bool CheckType(kelvo_member_type Type) {
    if (IsKnownType(Type)) {
        return true;
    }
    Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
        "%s(%d): MemberType %d is out of range [0, %d)", KELVO_HERE, Type,
        (kelvo_int32)KelvoOnePastLastMemberType);
    return false;
}

bool CheckPointerSize(kelvo_int32 PointerSizeInBits) {
    if (PointerSizeInBits == 32 || PointerSizeInBits == 64) {
        return true;
    }
    Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
        "%s(%d): PointerSizeInBits %d is neither 32 nor 64", KELVO_HERE, PointerSizeInBits);
    return false;
}

// ArrayWidth, or 1 where it is 0; 0 (reported) when it is negative.
kelvo_int32 CheckedArrayWidth(kelvo_data_type_definition const &Member) {
    if (Member.ArrayWidth < 0) {
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): ArrayWidth %d of member \"%s\" is negative", KELVO_HERE, Member.ArrayWidth,
            Member.Name);
        return 0;
    }
    return Member.ArrayWidth ? Member.ArrayWidth : 1;
}

// ---- bounded walks over a definition and the types it inlines -------------

struct type_walk {
    kelvo_int32 PointerSizeInBits = kelvo::NativePointerSizeInBits;
    kelvo_int32 Depth = 0;
    kelvo_int32 Steps = 0;
    bool Failed = false;
};

bool EnterType(type_walk &Walk) {
    if (Walk.Depth >= MaxTypeNesting) {
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): Inline members nest deeper than %d levels; does a type contain itself?",
            KELVO_HERE, MaxTypeNesting);
        Walk.Failed = true;
        return false;
    }
    ++Walk.Depth;
    return true;
}

void LeaveType(type_walk &Walk) {
    --Walk.Depth;
}

bool TakeStep(type_walk &Walk) {
    if (++Walk.Steps > MaxTypeSteps) {
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): Type definition has more than %d members, counting those of inline types",
            KELVO_HERE, MaxTypeSteps);
        Walk.Failed = true;
        return false;
    }
    return true;
}

kelvo_int64 MeasureObject(type_walk &Walk, kelvo_data_type_definition const *Type);

kelvo_int64 MeasureMember(type_walk &Walk, kelvo_data_type_definition const &Member) {
    if (Member.Type == KelvoInlineMember) {
        // One copy of the inlined type; its ArrayWidth does not apply.
        return MeasureObject(Walk, Member.ReferenceType);
    }
    if (!CheckType(Member.Type)) {
        Walk.Failed = true;
        return 0;
    }
    kelvo_int32 Width = CheckedArrayWidth(Member);
    if (Width == 0) {
        Walk.Failed = true;
        return 0;
    }
    member_type_row const &Row = MemberTypes[Member.Type];
    kelvo_int64 UnitSize = Walk.PointerSizeInBits == 64 ? Row.Size64 : Row.Size32;
    kelvo_int64 Size = UnitSize * Width;
    if (Size > INT32_MAX) {
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): UnitSize * ArrayWidth %I64d is out of range for an int32 MemberTypeSize",
            KELVO_HERE, Size);
        Walk.Failed = true;
        return 0;
    }
    return Size;
}

kelvo_int64 MeasureObject(type_walk &Walk, kelvo_data_type_definition const *Type) {
    if (!Type || !EnterType(Walk)) {
        return 0;
    }
    kelvo_int64 TotalSize = 0;
    for (kelvo_data_type_definition const *Member = Type;
         !Walk.Failed && Member->Type != KelvoEndMember && TakeStep(Walk); ++Member) {
        TotalSize += MeasureMember(Walk, *Member);
        if (TotalSize > INT32_MAX) {
            Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                "%s(%d): TotalSize %I64d is out of range for an int32 ObjectSize", KELVO_HERE,
                TotalSize);
            Walk.Failed = true;
        }
    }
    LeaveType(Walk);
    return Walk.Failed ? 0 : TotalSize;
}

bool TypeHasPointers(type_walk &Walk, kelvo_data_type_definition const *Type);

bool MemberHasPointers(type_walk &Walk, kelvo_data_type_definition const &Member) {
    switch (Member.Type) {
    case KelvoInlineMember:
        return TypeHasPointers(Walk, Member.ReferenceType);
    case KelvoReferenceMember:
    case KelvoReferenceToArrayMember:
    case KelvoArrayOfReferencesMember:
        // Without a type there is nothing that could be followed.
        return Member.ReferenceType != nullptr;
    case KelvoVariantReferenceMember:
    case KelvoReferenceToVariantArrayMember:
    case KelvoStringMember:
        return true;
    default:
        if (!CheckType(Member.Type)) {
            Walk.Failed = true;
        }
        return false;
    }
}

bool TypeHasPointers(type_walk &Walk, kelvo_data_type_definition const *Type) {
    if (!Type || !EnterType(Walk)) {
        return false;
    }
    bool HasPointers = false;
    for (kelvo_data_type_definition const *Member = Type;
         !HasPointers && !Walk.Failed && Member->Type != KelvoEndMember && TakeStep(Walk);
         ++Member) {
        HasPointers = MemberHasPointers(Walk, *Member);
    }
    LeaveType(Walk);
    return HasPointers && !Walk.Failed;
}

kelvo_marshalling_type ObjectMarshalling(type_walk &Walk, kelvo_data_type_definition const *Type);

kelvo_marshalling_type MemberMarshalling(type_walk &Walk,
                                         kelvo_data_type_definition const &Member) {
    if (Member.Type == KelvoInlineMember) {
        return ObjectMarshalling(Walk, Member.ReferenceType);
    }
    if (!CheckType(Member.Type)) {
        Walk.Failed = true;
        return KelvoNoMarshalling;
    }
    return MemberTypes[Member.Type].Marshalling;
}

kelvo_marshalling_type ObjectMarshalling(type_walk &Walk, kelvo_data_type_definition const *Type) {
    if (!Type || !EnterType(Walk)) {
        return KelvoNoMarshalling;
    }
    kelvo_marshalling_type Marshalling = KelvoNoMarshalling;
    for (kelvo_data_type_definition const *Member = Type;
         !Walk.Failed && Member->Type != KelvoEndMember && TakeStep(Walk); ++Member) {
        Marshalling |= MemberMarshalling(Walk, *Member);
    }
    LeaveType(Walk);
    return Walk.Failed ? KelvoNoMarshalling : Marshalling;
}

// ---- writing over definitions that measured without fault -----------------

kelvo_int32 MeasuredSize(kelvo_data_type_definition const &Member) {
    return NativeUnitSize(Member.Type) * (Member.ArrayWidth ? Member.ArrayWidth : 1);
}

kelvo_int32 WriteEmptyObject(kelvo_data_type_definition const *Type, kelvo_uint8 *Destination);

kelvo_int32 WriteEmptyMember(kelvo_data_type_definition const &Member, kelvo_uint8 *Destination) {
    if (Member.Type == KelvoInlineMember) {
        return WriteEmptyObject(Member.ReferenceType, Destination);
    }
    kelvo_int32 Size = MeasuredSize(Member);
    if (Member.Type == KelvoTransformMember) {
        // Every element, so that the members after an array of transforms
        // land where the layout puts them. Copied bytewise: the destination
        // is only 4-byte aligned at best.
        for (kelvo_int32 Offset = 0; Offset < Size;
             Offset += (kelvo_int32)sizeof(kelvo_transform)) {
            kelvo::Copy((kelvo_int32)sizeof(kelvo_transform), &kelvo::IdentityTransform,
                        Destination + Offset);
        }
    } else {
        kelvo::SetUInt8(Size, 0, Destination);
    }
    return Size;
}

kelvo_int32 WriteEmptyObject(kelvo_data_type_definition const *Type, kelvo_uint8 *Destination) {
    kelvo_int32 Offset = 0;
    for (kelvo_data_type_definition const *Member = Type; Member && Member->Type != KelvoEndMember;
         ++Member) {
        Offset += WriteEmptyMember(*Member, Destination + Offset);
    }
    return Offset;
}

kelvo_int32 ReverseObject(kelvo_data_type_definition const *Type, kelvo_uint8 *Object) {
    kelvo_int32 Offset = 0;
    for (kelvo_data_type_definition const *Member = Type; Member && Member->Type != KelvoEndMember;
         ++Member) {
        if (Member->Type == KelvoInlineMember) {
            Offset += ReverseObject(Member->ReferenceType, Object + Offset);
            continue;
        }
        kelvo_int32 Size = MeasuredSize(*Member);
        switch (MemberTypes[Member->Type].Marshalling) {
        case KelvoInt16Marshalling:
            kelvo::Reverse16(Size, Object + Offset);
            break;
        case KelvoInt32Marshalling:
            kelvo::Reverse32(Size, Object + Offset);
            break;
        default: // bytes and pointers the fix-ups set stay as they are
            break;
        }
        Offset += Size;
    }
    return Offset;
}

// ---- structural equality ---------------------------------------------------

struct type_pair {
    kelvo_data_type_definition const *A;
    kelvo_data_type_definition const *B;
};

struct type_comparison {
    kelvo_string_comparison_callback *NameComparison = nullptr;
    kelvo_data_type_definition const *Refused = nullptr;
    kelvo::definition_memory const *AMemory = nullptr;
    // The pairs being compared on the way down; meeting one again means the
    // types refer to themselves, and the pair is taken as equal there.
    type_pair Chain[MaxTypeNesting] = {};
    kelvo_int32 Depth = 0;
    kelvo_int32 Steps = 0;
};

void WarnRetiredType() {
    Log(KelvoWarningLogMessage, KelvoNotImplementedLogMessage,
        "Switchable types no longer supported in Kelvo 2.7+");
}

bool NamesMatch(type_comparison const &Comparison, char const *A, char const *B) {
    if (!Comparison.NameComparison) {
        return true;
    }
    if (!A || !B) {
        return A == B;
    }
    return Comparison.NameComparison(A, B) == 0;
}

bool TypesAreEqual(type_comparison &Comparison, kelvo_data_type_definition const *A,
                   kelvo_data_type_definition const *B);

// Type, raw width (0 and 1 differ), name, then the referenced types.
bool MembersAreEqual(type_comparison &Comparison, kelvo_data_type_definition const &A,
                     kelvo_data_type_definition const &B) {
    if (A.Type != B.Type || A.ArrayWidth != B.ArrayWidth ||
        (Comparison.AMemory && A.Name && !Comparison.AMemory->HoldsString(A.Name)) ||
        !NamesMatch(Comparison, A.Name, B.Name)) {
        return false;
    }
    if (A.Type == KelvoRetiredSwitchableMember) {
        WarnRetiredType();
        return true;
    }
    return TypesAreEqual(Comparison, A.ReferenceType, B.ReferenceType);
}

bool IsInChain(type_comparison const &Comparison, kelvo_data_type_definition const *A,
               kelvo_data_type_definition const *B) {
    for (kelvo_int32 Index = 0; Index < Comparison.Depth; ++Index) {
        type_pair const &Pair = Comparison.Chain[Index];
        if ((Pair.A == A && Pair.B == B) || (Pair.A == B && Pair.B == A)) {
            return true;
        }
    }
    return false;
}

// Any difference, and any limit reached, ends the whole comparison as
// unequal, so each limit is reported once.
bool TypesAreEqual(type_comparison &Comparison, kelvo_data_type_definition const *A,
                   kelvo_data_type_definition const *B) {
    if (Comparison.Refused && B == Comparison.Refused) {
        return false;
    }
    if (A == B) {
        return true;
    }
    if (!A || !B) {
        return false;
    }
    if (IsInChain(Comparison, A, B)) {
        return true;
    }
    if (Comparison.Depth >= MaxTypeNesting) {
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): Type definitions nest deeper than %d levels; compared as unequal", KELVO_HERE,
            MaxTypeNesting);
        return false;
    }
    Comparison.Chain[Comparison.Depth++] = {A, B};
    bool Equal = true;
    while (Equal) {
        if (Comparison.AMemory && !Comparison.AMemory->HoldsRecord(A)) {
            Equal = false;
            break;
        }
        if (A->Type == KelvoEndMember || B->Type == KelvoEndMember) {
            break;
        }
        if (++Comparison.Steps > MaxTypeSteps) {
            Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                "%s(%d): Comparing type definitions took more than %d member steps; compared "
                "as unequal",
                KELVO_HERE, MaxTypeSteps);
            Equal = false;
            break;
        }
        Equal = MembersAreEqual(Comparison, *A++, *B++);
    }
    --Comparison.Depth;
    return Equal && A->Type == KelvoEndMember && B->Type == KelvoEndMember;
}

// Measures a definition this build lays out; 0 when it is bad.
kelvo_int32 NativeObjectSize(kelvo_data_type_definition const *Type, bool &Failed) {
    type_walk Walk;
    kelvo_int64 Size = MeasureObject(Walk, Type);
    Failed = Walk.Failed;
    return (kelvo_int32)Size;
}

} // namespace

// ---- the built-in scalar types ----------------------------------------------

namespace kelvo {

constinit kelvo_data_type_definition const EmptyMembers[] = {MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const StringMembers[] = {
    MakeMember(KelvoStringMember, "String"), MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const Int16Members[] = {MakeMember(KelvoInt16Member, "Int16"),
                                                             MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const Int32Members[] = {MakeMember(KelvoInt32Member, "Int32"),
                                                             MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const UInt8Members[] = {MakeMember(KelvoUInt8Member, "UInt8"),
                                                             MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const UInt16Members[] = {
    MakeMember(KelvoUInt16Member, "UInt16"), MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const UInt32Members[] = {
    MakeMember(KelvoUInt32Member, "UInt32"), MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const Real32Members[] = {
    MakeMember(KelvoReal32Member, "Real32"), MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const TripleMembers[] = {
    MakeMember(KelvoReal32Member, "Real32", nullptr, 3), MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const QuadMembers[] = {
    MakeMember(KelvoReal32Member, "Real32", nullptr, 4), MakeMember(KelvoEndMember)};
constinit kelvo_data_type_definition const TransformMembers[] = {
    MakeMember(KelvoTransformMember, "Transform"), MakeMember(KelvoEndMember)};

} // namespace kelvo

constinit kelvo_data_type_definition const *const KelvoEmptyType = kelvo::EmptyMembers;
constinit kelvo_data_type_definition const *const KelvoStringType = kelvo::StringMembers;
constinit kelvo_data_type_definition const *const KelvoInt16Type = kelvo::Int16Members;
constinit kelvo_data_type_definition const *const KelvoInt32Type = kelvo::Int32Members;
constinit kelvo_data_type_definition const *const KelvoUInt8Type = kelvo::UInt8Members;
constinit kelvo_data_type_definition const *const KelvoUInt16Type = kelvo::UInt16Members;
constinit kelvo_data_type_definition const *const KelvoUInt32Type = kelvo::UInt32Members;
constinit kelvo_data_type_definition const *const KelvoReal32Type = kelvo::Real32Members;
constinit kelvo_data_type_definition const *const KelvoTripleType = kelvo::TripleMembers;
constinit kelvo_data_type_definition const *const KelvoQuadType = kelvo::QuadMembers;
constinit kelvo_data_type_definition const *const KelvoTransformType = kelvo::TransformMembers;

// ---- internal interface -------------------------------------------------------

namespace kelvo {

kelvo_int32 KELVO_CALLBACK CaseSensitiveDifference(char const *A, char const *B) {
    return KelvoStringDifference(A, B);
}

kelvo_int32 GetMemberUnitSize(kelvo_member_type Type, kelvo_int32 PointerSizeInBits) {
    if (!CheckPointerSize(PointerSizeInBits) || !CheckType(Type)) {
        return 0;
    }
    return PointerSizeInBits == 64 ? MemberTypes[Type].Size64 : MemberTypes[Type].Size32;
}

kelvo_int32 GetTotalObjectSize(kelvo_data_type_definition const *TypeDefinition,
                               kelvo_int32 PointerSizeInBits) {
    if (!CheckPointerSize(PointerSizeInBits)) {
        return 0;
    }
    type_walk Walk;
    Walk.PointerSizeInBits = PointerSizeInBits;
    return (kelvo_int32)MeasureObject(Walk, TypeDefinition);
}

bool DataTypesAreEqual(kelvo_data_type_definition const *A, kelvo_data_type_definition const *B,
                       kelvo_string_comparison_callback *NameComparison,
                       kelvo_data_type_definition const *Refused,
                       definition_memory const *AMemory) {
    type_comparison Comparison;
    Comparison.NameComparison = NameComparison;
    Comparison.Refused = Refused;
    Comparison.AMemory = AMemory;
    return TypesAreEqual(Comparison, A, B);
}

} // namespace kelvo

// ---- measures -----------------------------------------------------------------

KELVO_API kelvo_int32 KelvoGetMemberUnitSize(kelvo_data_type_definition const *Member) {
    KELVO_CHECK_NOT_NULL(Member, KelvoDataTypeLogMessage, 0);
    return kelvo::GetMemberUnitSize(Member->Type, kelvo::NativePointerSizeInBits);
}

KELVO_API kelvo_int32 KelvoGetMemberTypeSize(kelvo_data_type_definition const *Member) {
    KELVO_CHECK_NOT_NULL(Member, KelvoDataTypeLogMessage, 0);
    type_walk Walk;
    kelvo_int64 Size = MeasureMember(Walk, *Member);
    return Walk.Failed ? 0 : (kelvo_int32)Size;
}

KELVO_API kelvo_int32 KelvoGetMemberArrayWidth(kelvo_data_type_definition const *Member) {
    KELVO_CHECK_NOT_NULL(Member, KelvoDataTypeLogMessage, 0);
    return CheckedArrayWidth(*Member);
}

KELVO_API kelvo_int32 KelvoGetTotalObjectSize(kelvo_data_type_definition const *TypeDefinition) {
    return kelvo::GetTotalObjectSize(TypeDefinition, kelvo::NativePointerSizeInBits);
}

KELVO_API kelvo_int32 KelvoGetTotalTypeSize(kelvo_data_type_definition const *TypeDefinition) {
    if (!TypeDefinition) {
        return 0;
    }
    kelvo_int64 RecordCount = 1;
    for (kelvo_data_type_definition const *Member = TypeDefinition; Member->Type != KelvoEndMember;
         ++Member) {
        ++RecordCount;
    }
    kelvo_int64 TotalSize = RecordCount * (kelvo_int64)sizeof(kelvo_data_type_definition);
    if (TotalSize > INT32_MAX) {
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): TotalSize %I64d is out of range for an int32 TypeSize", KELVO_HERE, TotalSize);
        return 0;
    }
    return (kelvo_int32)TotalSize;
}

KELVO_API kelvo_int32 KelvoGetTypeTableCount(kelvo_data_type_definition const *const *TypeTable) {
    kelvo_int32 Count = 0;
    while (TypeTable && TypeTable[Count] && Count < INT32_MAX) {
        ++Count;
    }
    return Count;
}

KELVO_API char const *KelvoGetMemberTypeName(kelvo_member_type Type) {
    return CheckType(Type) ? MemberTypes[Type].Name : "";
}

KELVO_API char const *KelvoGetMemberCTypeName(kelvo_member_type Type) {
    return CheckType(Type) ? MemberTypes[Type].CTypeName : "";
}

// ---- pointers and marshalling ------------------------------------------------

KELVO_API kelvo_bool32 KelvoMemberHasPointers(kelvo_data_type_definition const *Member) {
    KELVO_CHECK_NOT_NULL(Member, KelvoDataTypeLogMessage, 0);
    type_walk Walk;
    bool HasPointers = MemberHasPointers(Walk, *Member);
    return HasPointers && !Walk.Failed;
}

KELVO_API kelvo_bool32 KelvoTypeHasPointers(kelvo_data_type_definition const *TypeDefinition) {
    type_walk Walk;
    return TypeHasPointers(Walk, TypeDefinition);
}

KELVO_API kelvo_marshalling_type
KelvoGetMemberMarshalling(kelvo_data_type_definition const *Member) {
    KELVO_CHECK_NOT_NULL(Member, KelvoDataTypeLogMessage, KelvoNoMarshalling);
    type_walk Walk;
    kelvo_marshalling_type Marshalling = MemberMarshalling(Walk, *Member);
    return Walk.Failed ? KelvoNoMarshalling : Marshalling;
}

KELVO_API kelvo_marshalling_type
KelvoGetObjectMarshalling(kelvo_data_type_definition const *TypeDefinition) {
    type_walk Walk;
    return ObjectMarshalling(Walk, TypeDefinition);
}

KELVO_API kelvo_bool32 KelvoIsMixedMarshalling(kelvo_marshalling_type Marshalling) {
    return (Marshalling & (Marshalling - 1)) != 0;
}

// ---- empty objects and byte reversal ---------------------------------------

KELVO_API kelvo_int32 KelvoMakeEmptyDataTypeMember(kelvo_data_type_definition const *Member,
                                                   void *Destination) {
    KELVO_CHECK_NOT_NULL(Member, KelvoDataTypeLogMessage, 0);
    type_walk Walk;
    kelvo_int64 Size = MeasureMember(Walk, *Member);
    if (Walk.Failed || Size == 0) {
        return 0;
    }
    KELVO_CHECK_NOT_NULL(Destination, KelvoDataTypeLogMessage, 0);
    return WriteEmptyMember(*Member, static_cast<kelvo_uint8 *>(Destination));
}

KELVO_API kelvo_int32 KelvoMakeEmptyDataTypeObject(kelvo_data_type_definition const *TypeDefinition,
                                                   void *Destination) {
    bool Failed;
    kelvo_int32 Size = NativeObjectSize(TypeDefinition, Failed);
    if (Failed || Size == 0) {
        return 0;
    }
    KELVO_CHECK_NOT_NULL(Destination, KelvoDataTypeLogMessage, 0);
    return WriteEmptyObject(TypeDefinition, static_cast<kelvo_uint8 *>(Destination));
}

KELVO_API void KelvoReverseTypeArray(kelvo_data_type_definition const *TypeDefinition,
                                     kelvo_int32 Count, void *Objects) {
    KELVO_CHECK(Count >= 0, KelvoDataTypeLogMessage, KELVO_NOTHING);
    if (Count == 0) {
        return;
    }
    bool Failed;
    kelvo_int32 Size = NativeObjectSize(TypeDefinition, Failed);
    if (Failed || Size == 0) {
        return;
    }
    KELVO_CHECK_NOT_NULL(Objects, KelvoDataTypeLogMessage, KELVO_NOTHING);
    kelvo_uint8 *Object = static_cast<kelvo_uint8 *>(Objects);
    for (kelvo_int32 Index = 0; Index < Count; ++Index, Object += Size) {
        ReverseObject(TypeDefinition, Object);
    }
}

// ---- equality -------------------------------------------------------------------

KELVO_API kelvo_bool32 KelvoDataTypesAreEqual(kelvo_data_type_definition const *A,
                                              kelvo_data_type_definition const *B) {
    return kelvo::DataTypesAreEqual(A, B, nullptr, nullptr);
}

KELVO_API kelvo_bool32 KelvoDataTypesAreEqualWithNames(kelvo_data_type_definition const *A,
                                                       kelvo_data_type_definition const *B) {
    return kelvo::DataTypesAreEqual(A, B, &kelvo::CaseSensitiveDifference, nullptr);
}

KELVO_API kelvo_bool32 KelvoDataTypesAreEqualWithNameCallback(
    kelvo_data_type_definition const *A, kelvo_data_type_definition const *B,
    kelvo_string_comparison_callback *NameComparison) {
    // Without the callback the names could not be compared as asked.
    KELVO_CHECK_NOT_NULL(NameComparison, KelvoDataTypeLogMessage, 0);
    return kelvo::DataTypesAreEqual(A, B, NameComparison, nullptr);
}

KELVO_API kelvo_data_type_definition const *
KelvoDataTypeBeginsWith(kelvo_data_type_definition const *TypeDefinition,
                        kelvo_data_type_definition const *Prefix) {
    if (!TypeDefinition || !Prefix) {
        return nullptr;
    }
    type_comparison Comparison;
    for (; Prefix->Type != KelvoEndMember; ++TypeDefinition, ++Prefix) {
        if (TypeDefinition->Type == KelvoEndMember ||
            !MembersAreEqual(Comparison, *TypeDefinition, *Prefix)) {
            return nullptr;
        }
    }
    return TypeDefinition;
}
