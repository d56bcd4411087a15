/* kelvo2: conversion of typed object trees from one data type definition to
   another, and rebasing of the pointers of a tree that was moved.

   Members are matched by name: through the string comparison callback when
   one is installed (KelvoSetStringComparisonCallback), case-insensitively
   otherwise; the first source member of the name wins. Values are converted
   member by member: equal member types are copied, numbers are converted
   between the integer, normalized and real forms (rounding to nearest, ties
   to even; the low bits of the result are kept), numbers become decimal text
   in string members. Destination members without a source keep their empty
   values (or, when merging, whatever they held).

   A converted tree is one block. Where the source and destination types of a
   referenced part are structurally equal, the destination shares the source's
   part, so the source must outlive the converted tree. Objects and arrays
   reached more than once are converted once, so cycles end where they meet
   a converted one; an array element that is also referenced on its own is
   converted once as each.

   Definitions are checked before they are followed: member types outside the
   table, negative widths or counts, reference members without a
   ReferenceType, inline members nested deeper than 64 levels and sizes beyond
   int32 are reported under origin DataType and refuse the operation. Source
   and destination memory must not overlap. */
#ifndef KELVO2_DATA_TYPE_CONVERSION_H
#define KELVO2_DATA_TYPE_CONVERSION_H

#include "kelvo2_data_type.h"

/* The first member of SourceType named MemberName: Result->Type is its member
   record and Result->Object the address of its data in SourceObject. False,
   with both null, when there is none. */
KELVO_API kelvo_bool32 KelvoFindMatchingMember(kelvo_data_type_definition const *SourceType,
                                               void const *SourceObject, char const *MemberName,
                                               kelvo_variant *Result);

/* Converts the values of one object; sub-objects are not converted. Reference
   members are copied only where the referenced types are structurally equal
   (elsewhere they stay null), and numbers that would become text leave string
   members null, because there is no block to hold the text. Convert first
   empties every destination member; Merge keeps those without a source. False
   when a definition is refused. */
KELVO_API kelvo_bool32 KelvoConvertSingleObject(kelvo_data_type_definition const *SourceType,
                                                void const *SourceObject,
                                                kelvo_data_type_definition const *DestinationType,
                                                void *DestinationObject);
KELVO_API kelvo_bool32 KelvoMergeSingleObject(kelvo_data_type_definition const *SourceType,
                                              void const *SourceObject,
                                              kelvo_data_type_definition const *DestinationType,
                                              void *DestinationObject);

/* Bytes KelvoConvertTreeInPlace needs for the tree, or 0 when the tree is
   refused. A tree converted into its own type needs only its root. */
KELVO_API kelvo_int32 KelvoGetConvertedTreeSize(kelvo_data_type_definition const *SourceType,
                                                void const *SourceRoot,
                                                kelvo_data_type_definition const *DestinationType);
/* Converts the tree into Memory (KelvoGetConvertedTreeSize bytes at least) and
   returns the destination root, which is Memory; null when refused. */
KELVO_API void *KelvoConvertTreeInPlace(kelvo_data_type_definition const *SourceType,
                                        void const *SourceRoot,
                                        kelvo_data_type_definition const *DestinationType,
                                        void *Memory);
/* The same into one new block, freed through the deallocation callback
   (KelvoGetAllocator); null when refused or out of memory. */
KELVO_API void *KelvoConvertTree(kelvo_data_type_definition const *SourceType,
                                 void const *SourceRoot,
                                 kelvo_data_type_definition const *DestinationType);

/* Replaces a string pointer during rebasing; both values are addresses. */
typedef kelvo_uintaddrx KELVO_CALLBACK kelvo_string_callback(void *UserData,
                                                             kelvo_uintaddrx String);

/* Adds Offset to every non-null pointer of the tree below Root, Root itself
   excluded: references, arrays, the slot arrays of arrays of references and
   their entries, the definitions of variants with their member names and
   referenced types. String members get the offset only when RebaseStrings is
   set. Every pointer gets it once, however often it is reached. False when
   the walk could not run or met a definition it refuses (the tree is then
   partly rebased). */
KELVO_API kelvo_bool32 KelvoRebasePointers(kelvo_data_type_definition const *Type, void *Root,
                                           kelvo_intaddrx Offset, kelvo_bool32 RebaseStrings);
/* The same, but every non-null string pointer (string members and the member
   names of variant definitions) becomes Callback(UserData, pointer). */
KELVO_API kelvo_bool32 KelvoRebasePointersStringCallback(kelvo_data_type_definition const *Type,
                                                         void *Root, kelvo_intaddrx Offset,
                                                         kelvo_string_callback *Callback,
                                                         void *UserData);

#endif
