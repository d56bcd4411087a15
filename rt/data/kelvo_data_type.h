// The internal side of data type definitions: measures for either pointer
// size (files may come from the other one), the equality with a refused
// type that conversion needs, and a constant way to write member records.
#ifndef KELVO_DATA_TYPE_INTERNAL_H
#define KELVO_DATA_TYPE_INTERNAL_H

#include "kelvo2/kelvo2_data_type.h"

namespace kelvo {

// How deep definitions may nest (inline members while measuring, referenced
// types while comparing), and how many members one measure or comparison may
// visit. Real types stay far below both; hostile ones stop there.
constexpr kelvo_int32 MaxTypeNesting = 64;
constexpr kelvo_int32 MaxTypeSteps = 1 << 20;

constexpr kelvo_int32 NativePointerSizeInBits = (kelvo_int32)sizeof(void *) * 8;

struct member_type_row {
    char const *Name;
    kelvo_int32 Size32; // one element, 4-byte pointers
    kelvo_int32 Size64; // one element, 8-byte pointers
    kelvo_marshalling_type Marshalling;
    char const *CTypeName;
};

// Indexed by member type; constant so that tables of definitions can be
// measured while compiling. Counts inside the array members stay 4 bytes with
// either pointer size; only the pointers widen.
inline constexpr member_type_row MemberTypes[KelvoOnePastLastMemberType] = {
    {"EndMember", 0, 0, KelvoNoMarshalling, ""},
    {"InlineMember", 0, 0, KelvoNoMarshalling, ""},
    {"ReferenceMember", 4, 8, KelvoNoMarshalling, "void *"},
    {"ReferenceToArrayMember", 8, 12, KelvoInt32Marshalling, "void *"},
    {"ArrayOfReferencesMember", 8, 12, KelvoInt32Marshalling, "void **"},
    {"VariantReferenceMember", 8, 16, KelvoNoMarshalling, "void *"},
    {"__REMOVED", 0, 0, KelvoNoMarshalling, "unsupported"},
    {"ReferenceToVariantArrayMember", 12, 20, KelvoInt32Marshalling, "void *"},
    {"StringMember", 4, 8, KelvoInt32Marshalling, "char *"},
    {"TransformMember", 68, 68, KelvoInt32Marshalling, "kelvo_transform"},
    {"Real32Member", 4, 4, KelvoInt32Marshalling, "kelvo_real32"},
    {"Int8Member", 1, 1, KelvoInt8Marshalling, "kelvo_int8"},
    {"UInt8Member", 1, 1, KelvoInt8Marshalling, "kelvo_uint8"},
    {"BinormalInt8Member", 1, 1, KelvoInt8Marshalling, "kelvo_int8"},
    {"NormalUInt8Member", 1, 1, KelvoInt8Marshalling, "kelvo_uint8"},
    {"Int16Member", 2, 2, KelvoInt16Marshalling, "kelvo_int16"},
    {"UInt16Member", 2, 2, KelvoInt16Marshalling, "kelvo_uint16"},
    {"BinormalInt16Member", 2, 2, KelvoInt16Marshalling, "kelvo_int16"},
    {"NormalUInt16Member", 2, 2, KelvoInt16Marshalling, "kelvo_uint16"},
    {"Int32Member", 4, 4, KelvoInt32Marshalling, "kelvo_int32"},
    {"UInt32Member", 4, 4, KelvoInt32Marshalling, "kelvo_uint32"},
};

// Member types whose words hold pointers (strings included).
constexpr bool IsPointerBearing(kelvo_member_type Type) {
    return Type == KelvoReferenceMember || Type == KelvoReferenceToArrayMember ||
           Type == KelvoArrayOfReferencesMember || Type == KelvoVariantReferenceMember ||
           Type == KelvoReferenceToVariantArrayMember || Type == KelvoStringMember;
}

// The members that say what they lead to by their ReferenceType.
constexpr bool NeedsReferenceType(kelvo_member_type Type) {
    return Type == KelvoInlineMember || Type == KelvoReferenceMember ||
           Type == KelvoReferenceToArrayMember || Type == KelvoArrayOfReferencesMember;
}

// Size of one element of a member type with pointers of 32 or 64 bits; 0 for
// InlineMember, for any other pointer size and for types outside the table
// (those two are reported).
kelvo_int32 GetMemberUnitSize(kelvo_member_type Type, kelvo_int32 PointerSizeInBits);

// Size of one object laid out for pointers of 32 or 64 bits; 0 (reported)
// when the definition is bad or the pointer size unknown.
kelvo_int32 GetTotalObjectSize(kelvo_data_type_definition const *TypeDefinition,
                               kelvo_int32 PointerSizeInBits);

// Names compared as KelvoDataTypesAreEqualWithNames compares them.
kelvo_int32 KELVO_CALLBACK CaseSensitiveDifference(char const *A, char const *B);

// What a comparison may read of definitions that come out of a file: a
// member record, and a name up to its terminator.
struct definition_memory {
    virtual bool HoldsRecord(kelvo_data_type_definition const *Record) const = 0;
    virtual bool HoldsString(char const *String) const = 0;
};

// Structural equality; names are compared when NameComparison is given
// (non-null names only), and B is never equal to a non-null Refused type.
// With AMemory, A's records and names are read only where it holds them;
// anything else makes the types unequal.
bool DataTypesAreEqual(kelvo_data_type_definition const *A, kelvo_data_type_definition const *B,
                       kelvo_string_comparison_callback *NameComparison,
                       kelvo_data_type_definition const *Refused,
                       definition_memory const *AMemory = nullptr);

// Measures of trusted constant tables while compiling, so that C records can
// be checked against the definitions that describe them:
//   static_assert(offsetof(kelvo_bone, Transform) ==
//                 ConstantMemberOffset(BoneMembers, "Transform", NativePointerSizeInBits));
// -1 where a measure is impossible (unknown member types, missing names).
constexpr kelvo_int32 ConstantObjectSize(kelvo_data_type_definition const *Type,
                                         kelvo_int32 PointerSizeInBits);

constexpr kelvo_int32 ConstantMemberSize(kelvo_data_type_definition const &Member,
                                         kelvo_int32 PointerSizeInBits) {
    if (Member.Type == KelvoInlineMember) {
        return ConstantObjectSize(Member.ReferenceType, PointerSizeInBits);
    }
    if (Member.Type < 0 || Member.Type >= KelvoOnePastLastMemberType || Member.ArrayWidth < 0) {
        return -1;
    }
    member_type_row const &Row = MemberTypes[Member.Type];
    return (PointerSizeInBits == 64 ? Row.Size64 : Row.Size32) *
           (Member.ArrayWidth ? Member.ArrayWidth : 1);
}

constexpr kelvo_int32 ConstantObjectSize(kelvo_data_type_definition const *Type,
                                         kelvo_int32 PointerSizeInBits) {
    kelvo_int32 Size = 0;
    for (; Type && Type->Type != KelvoEndMember; ++Type) {
        kelvo_int32 MemberSize = ConstantMemberSize(*Type, PointerSizeInBits);
        if (MemberSize < 0) {
            return -1;
        }
        Size += MemberSize;
    }
    return Size;
}

constexpr bool ConstantNamesMatch(char const *A, char const *B) {
    while (*A && *A == *B) {
        ++A, ++B;
    }
    return *A == *B;
}

constexpr kelvo_int32 ConstantMemberOffset(kelvo_data_type_definition const *Type, char const *Name,
                                           kelvo_int32 PointerSizeInBits) {
    kelvo_int32 Offset = 0;
    for (; Type && Type->Type != KelvoEndMember; ++Type) {
        if (Type->Name && ConstantNamesMatch(Type->Name, Name)) {
            return Offset;
        }
        kelvo_int32 MemberSize = ConstantMemberSize(*Type, PointerSizeInBits);
        if (MemberSize < 0) {
            return -1;
        }
        Offset += MemberSize;
    }
    return -1;
}

// The built-in scalar tables the exported pointers hold, for constant tables
// of the library: a pointer variable's value is no constant in other files.
extern kelvo_data_type_definition const EmptyMembers[];
extern kelvo_data_type_definition const StringMembers[];
extern kelvo_data_type_definition const Int16Members[];
extern kelvo_data_type_definition const Int32Members[];
extern kelvo_data_type_definition const UInt8Members[];
extern kelvo_data_type_definition const UInt16Members[];
extern kelvo_data_type_definition const UInt32Members[];
extern kelvo_data_type_definition const Real32Members[];
extern kelvo_data_type_definition const TripleMembers[];
extern kelvo_data_type_definition const QuadMembers[];
extern kelvo_data_type_definition const TransformMembers[];

// A member record for constant tables, reserved words zero:
//   constexpr kelvo_data_type_definition ThingMembers[] = {
//       MakeMember(KelvoStringMember, "Name"),
//       MakeMember(KelvoReferenceToArrayMember, "Values", Int32Members),
//       MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition
MakeMember(kelvo_member_type Type, char const *Name = nullptr,
           kelvo_data_type_definition const *ReferenceType = nullptr, kelvo_int32 ArrayWidth = 0) {
    kelvo_data_type_definition Member{};
    Member.Type = Type;
    Member.Name = Name;
    Member.ReferenceType = ReferenceType;
    Member.ArrayWidth = ArrayWidth;
    return Member;
}

} // namespace kelvo

#endif
