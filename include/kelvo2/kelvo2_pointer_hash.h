/* kelvo2: the pointer hash, which maps object addresses to caller data, and
   the string table, which keeps one copy of each distinct string. Both are
   ordered, height-balanced trees. Neither is locked: use each from one thread
   at a time. */
#ifndef KELVO2_POINTER_HASH_H
#define KELVO2_POINTER_HASH_H

#include "kelvo2_types.h"

typedef struct kelvo_pointer_hash kelvo_pointer_hash;

/* Null when the allocation fails. */
KELVO_API kelvo_pointer_hash *KelvoNewPointerHash(void);
/* A null hash is ignored. */
KELVO_API void KelvoDeletePointerHash(kelvo_pointer_hash *Hash);

/* Adds a node even when the key is already present (lookups then find one of
   them). False, reported, when no node could be allocated: the key is not
   added. */
KELVO_API kelvo_bool32 KelvoAddPointerToHash(kelvo_pointer_hash *Hash, void const *Key, void *Data);
/* True when the key was present and its data was replaced; false when it was
   added instead (or could not be added, which is reported). */
KELVO_API kelvo_bool32 KelvoSetHashedPointerData(kelvo_pointer_hash *Hash, void const *Key,
                                                 void *Data);
/* True and the key's data, or false and null. */
KELVO_API kelvo_bool32 KelvoGetHashedPointerData(kelvo_pointer_hash *Hash, void const *Key,
                                                 void **Data);
KELVO_API kelvo_bool32 KelvoHashedPointerKeyExists(kelvo_pointer_hash *Hash, void const *Key);

typedef struct kelvo_string_table kelvo_string_table;

/* Null when the allocation fails. */
KELVO_API kelvo_string_table *KelvoNewStringTable(void);
/* Frees every copy the table handed out. A null table is ignored. */
KELVO_API void KelvoFreeStringTable(kelvo_string_table *Table);
/* The table's copy of String: the same pointer for every equal string
   (compared case-sensitively), valid until the table is freed. A null string
   maps to null. Null, reported, when memory runs out. */
KELVO_API char const *KelvoMapString(kelvo_string_table *Table, char const *String);

#endif
