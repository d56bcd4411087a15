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

// Size of one element of a member type with pointers of 32 or 64 bits; 0 for
// InlineMember, for any other pointer size and for types outside the table
// (those two are reported).
kelvo_int32 GetMemberUnitSize(kelvo_member_type Type, kelvo_int32 PointerSizeInBits);

// Size of one object laid out for pointers of 32 or 64 bits; 0 (reported)
// when the definition is bad or the pointer size unknown.
kelvo_int32 GetTotalObjectSize(kelvo_data_type_definition const *TypeDefinition,
                               kelvo_int32 PointerSizeInBits);

// Structural equality; names are compared when NameComparison is given
// (non-null names only), and B is never equal to a non-null Refused type.
bool DataTypesAreEqual(kelvo_data_type_definition const *A, kelvo_data_type_definition const *B,
                       kelvo_string_comparison_callback *NameComparison,
                       kelvo_data_type_definition const *Refused);

// A member record for constant tables, reserved words zero:
//   constinit kelvo_data_type_definition const KelvoThingType[] = {
//       MakeMember(KelvoStringMember, "Name"),
//       MakeMember(KelvoReferenceToArrayMember, "Values", KelvoInt32Type),
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
