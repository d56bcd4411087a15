/* kelvo2: self-describing data type definitions. A definition is an array of
   member records ended by one whose Type is KelvoEndMember; it says, member by
   member, what lies in an object, how large it is and which members lead to
   further objects. The same records describe the library's own tables, the
   records of loaded files and whatever an application stores.

   Objects are laid out exactly as their definitions measure them for this
   build's pointers: members follow each other without gaps, so in 64-bit
   builds pointers sit at 4-byte alignment. Records described by definitions
   are therefore declared between #pragma pack(push, 4) and #pragma pack(pop).

   Bad definitions are reported under origin DataType and never followed:
   member types outside the table, negative array widths, sizes beyond int32,
   inline members that contain themselves and chains of nested types deeper
   than 64 levels. Measures of such definitions are 0, and the writing
   operations leave memory untouched. */
#ifndef KELVO2_DATA_TYPE_H
#define KELVO2_DATA_TYPE_H

#include "kelvo2_string.h"
#include "kelvo2_types.h"

/* Member types; the values are stored in files and never change. */
typedef kelvo_int32 kelvo_member_type;
enum kelvo_member_type_value {
    KelvoEndMember = 0,
    KelvoInlineMember = 1,
    KelvoReferenceMember = 2,
    KelvoReferenceToArrayMember = 3,
    KelvoArrayOfReferencesMember = 4,
    KelvoVariantReferenceMember = 5,
    KelvoRetiredSwitchableMember = 6, /* read from old files, skipped when compared */
    KelvoReferenceToVariantArrayMember = 7,
    KelvoStringMember = 8,
    KelvoTransformMember = 9,
    KelvoReal32Member = 10,
    KelvoInt8Member = 11,
    KelvoUInt8Member = 12,
    KelvoBinormalInt8Member = 13,
    KelvoNormalUInt8Member = 14,
    KelvoInt16Member = 15,
    KelvoUInt16Member = 16,
    KelvoBinormalInt16Member = 17,
    KelvoNormalUInt16Member = 18,
    KelvoInt32Member = 19,
    KelvoUInt32Member = 20,
    KelvoOnePastLastMemberType = 21
};

/* How an object's bytes are reversed for the other byte order: bit flags,
   OR-ed over an object's members. More than one bit set means the object
   mixes element sizes and is reversed member by member. */
typedef kelvo_int32 kelvo_marshalling_type;
enum kelvo_marshalling_type_value {
    KelvoNoMarshalling = 0, /* pointers (the file's fix-ups set them) and empty types */
    KelvoInt8Marshalling = 1,
    KelvoInt16Marshalling = 2,
    KelvoInt32Marshalling = 4
};

#pragma pack(push, 4)

/* One member record: 32 bytes in 32-bit builds, 44 in 64-bit builds. */
typedef struct kelvo_data_type_definition {
    kelvo_member_type Type;
    char const *Name; /* compared case-sensitively */
    /* The inline or referenced type; null for scalars, strings and variants. */
    struct kelvo_data_type_definition const *ReferenceType;
    kelvo_int32 ArrayWidth; /* consecutive elements in the object; 0 means 1 */
    kelvo_int32 Extra[3];   /* reserved, copied, never interpreted */
    kelvo_uintaddrx Ignored;
} kelvo_data_type_definition;

/* The run-time form of a VariantReferenceMember: an object with its type.
   Either pointer may be null. */
typedef struct kelvo_variant {
    kelvo_data_type_definition const *Type;
    void *Object;
} kelvo_variant;

#pragma pack(pop)

/* Built-in scalar types, the element types of arrays of plain values; each
   holds the address of its definition. */
KELVO_API kelvo_data_type_definition const *const KelvoEmptyType;
KELVO_API kelvo_data_type_definition const *const KelvoStringType;
KELVO_API kelvo_data_type_definition const *const KelvoInt16Type;
KELVO_API kelvo_data_type_definition const *const KelvoInt32Type;
KELVO_API kelvo_data_type_definition const *const KelvoUInt8Type;
KELVO_API kelvo_data_type_definition const *const KelvoUInt16Type;
KELVO_API kelvo_data_type_definition const *const KelvoUInt32Type;
KELVO_API kelvo_data_type_definition const *const KelvoReal32Type;
KELVO_API kelvo_data_type_definition const *const KelvoTripleType;
KELVO_API kelvo_data_type_definition const *const KelvoQuadType;
KELVO_API kelvo_data_type_definition const *const KelvoTransformType;

/* Measures. A null definition measures as empty. Member sizes are those of
   this build's pointers; an InlineMember counts one copy of its type whatever
   its ArrayWidth. */
KELVO_API kelvo_int32 KelvoGetMemberUnitSize(kelvo_data_type_definition const *Member);
KELVO_API kelvo_int32 KelvoGetMemberTypeSize(kelvo_data_type_definition const *Member);
KELVO_API kelvo_int32 KelvoGetMemberArrayWidth(kelvo_data_type_definition const *Member);
KELVO_API kelvo_int32 KelvoGetTotalObjectSize(kelvo_data_type_definition const *TypeDefinition);
/* Bytes of the definition array itself, terminator included. */
KELVO_API kelvo_int32 KelvoGetTotalTypeSize(kelvo_data_type_definition const *TypeDefinition);

/* Entries before the first null entry; 0 for a null table. */
KELVO_API kelvo_int32 KelvoGetTypeTableCount(kelvo_data_type_definition const *const *TypeTable);

/* Names of the member types; "" (reported) for values outside the table. */
KELVO_API char const *KelvoGetMemberTypeName(kelvo_member_type Type);
KELVO_API char const *KelvoGetMemberCTypeName(kelvo_member_type Type);

/* Whether objects of the type hold pointers. Only the pointer-bearing member
   types can: a scalar never does, whatever its ReferenceType says. */
KELVO_API kelvo_bool32 KelvoMemberHasPointers(kelvo_data_type_definition const *Member);
KELVO_API kelvo_bool32 KelvoTypeHasPointers(kelvo_data_type_definition const *TypeDefinition);

KELVO_API kelvo_marshalling_type
KelvoGetMemberMarshalling(kelvo_data_type_definition const *Member);
KELVO_API kelvo_marshalling_type
KelvoGetObjectMarshalling(kelvo_data_type_definition const *TypeDefinition);
KELVO_API kelvo_bool32 KelvoIsMixedMarshalling(kelvo_marshalling_type Marshalling);

/* Write the empty value (zero, or the identity for transforms) and return the
   bytes written. */
KELVO_API kelvo_int32 KelvoMakeEmptyDataTypeMember(kelvo_data_type_definition const *Member,
                                                   void *Destination);
KELVO_API kelvo_int32 KelvoMakeEmptyDataTypeObject(kelvo_data_type_definition const *TypeDefinition,
                                                   void *Destination);

/* Structural equality: member types, raw array widths (0 and 1 differ) and
   referenced types, recursively; types that refer to themselves compare
   without end. Names are compared case-sensitively by the WithNames form and
   by the callback (0 when they match) in the other; the callback is only
   given non-null names, and a null name matches only a null name. */
KELVO_API kelvo_bool32 KelvoDataTypesAreEqual(kelvo_data_type_definition const *A,
                                              kelvo_data_type_definition const *B);
KELVO_API kelvo_bool32 KelvoDataTypesAreEqualWithNames(kelvo_data_type_definition const *A,
                                                       kelvo_data_type_definition const *B);
KELVO_API kelvo_bool32 KelvoDataTypesAreEqualWithNameCallback(
    kelvo_data_type_definition const *A, kelvo_data_type_definition const *B,
    kelvo_string_comparison_callback *NameComparison);

/* When TypeDefinition starts with every member of Prefix (names not
   compared): its first member after them, which is its terminator when
   nothing follows. Null otherwise. */
KELVO_API kelvo_data_type_definition const *
KelvoDataTypeBeginsWith(kelvo_data_type_definition const *TypeDefinition,
                        kelvo_data_type_definition const *Prefix);

/* Reverses the byte order of Count consecutive objects in place, 16- or
   32-bit words by each member's marshalling; bytes and pointer-only members
   are left alone. */
KELVO_API void KelvoReverseTypeArray(kelvo_data_type_definition const *TypeDefinition,
                                     kelvo_int32 Count, void *Objects);

#endif
