/* kelvo2: building a variant (a definition with a matching object) member by
   member, for the ExtendedData of records an application writes.

   Names and string values are interned in the caller's string table, which
   must outlive the results. Each add returns the member record it added, or
   null (the builder unchanged) when it cannot allocate or its arguments are
   refused. Finishing consumes the builder whatever it returns; the object's
   layout is exactly its definition's, members in the order added. */
#ifndef KELVO2_VARIANT_BUILDER_H
#define KELVO2_VARIANT_BUILDER_H

#include "kelvo2_data_type.h"
#include "kelvo2_pointer_hash.h"
#include "kelvo2_types.h"

typedef struct kelvo_variant_builder kelvo_variant_builder;

/* Null when the builder cannot be allocated. */
KELVO_API kelvo_variant_builder *KelvoBeginVariant(kelvo_string_table *StringTable);

/* Int32Member; a bool is stored as the same Int32Member. */
KELVO_API kelvo_data_type_definition *
KelvoAddIntegerMember(kelvo_variant_builder *Builder, char const *Name, kelvo_int32 Value);
KELVO_API kelvo_data_type_definition *
KelvoAddBoolMember(kelvo_variant_builder *Builder, char const *Name, kelvo_bool32 Value);
KELVO_API kelvo_data_type_definition *
KelvoAddUnsignedIntegerMember(kelvo_variant_builder *Builder, char const *Name, kelvo_uint32 Value);
KELVO_API kelvo_data_type_definition *
KelvoAddScalarMember(kelvo_variant_builder *Builder, char const *Name, kelvo_real32 Value);
/* A Real32Member of ArrayWidth Width (at least 1), the reals copied. */
KELVO_API kelvo_data_type_definition *
KelvoAddScalarArrayMember(kelvo_variant_builder *Builder, char const *Name, kelvo_int32 Width,
                          kelvo_real32 const *Values);
/* The string table's copy of Value (null stays null). */
KELVO_API kelvo_data_type_definition *
KelvoAddStringMember(kelvo_variant_builder *Builder, char const *Name, char const *Value);
/* The object and the array are referred to, not copied. */
KELVO_API kelvo_data_type_definition *
KelvoAddReferenceMember(kelvo_variant_builder *Builder, char const *Name,
                        kelvo_data_type_definition const *Type, void *Object);
KELVO_API kelvo_data_type_definition *
KelvoAddDynamicArrayMember(kelvo_variant_builder *Builder, char const *Name, kelvo_int32 Count,
                           kelvo_data_type_definition const *ElementType, void *Array);

/* Bytes of the definition (one member record per member plus the
   terminator) and of the object (4 when it would be empty). */
KELVO_API kelvo_int32 KelvoGetResultingVariantTypeSize(kelvo_variant_builder const *Builder);
KELVO_API kelvo_int32 KelvoGetResultingVariantObjectSize(kelvo_variant_builder const *Builder);

/* Writes the definition into TypeMemory and the object into ObjectMemory
   (sizes above) and frees the builder. True when both results are set; a
   null memory leaves its result null. */
KELVO_API kelvo_bool32 KelvoEndVariantInPlace(kelvo_variant_builder *Builder, void *TypeMemory,
                                              kelvo_data_type_definition **ResultType,
                                              void *ObjectMemory, void **ResultObject);
/* The same into one new block holding the definition then the object; the
   caller frees the block through *ResultType. */
KELVO_API kelvo_bool32 KelvoEndVariant(kelvo_variant_builder *Builder,
                                       kelvo_data_type_definition **ResultType,
                                       void **ResultObject);

#endif
