/* kelvo2: string comparison and CRC-32. */
#ifndef KELVO2_STRING_H
#define KELVO2_STRING_H

#include "kelvo2_types.h"

/* Returns 0 when the two names are equal; used for every name match. */
typedef kelvo_int32 KELVO_CALLBACK kelvo_string_comparison_callback(char const *A, char const *B);

KELVO_API kelvo_int32 KelvoStringDifference(char const *StringA, char const *StringB);
KELVO_API void KelvoSetStringComparisonCallback(kelvo_string_comparison_callback *Callback);

KELVO_API void KelvoBeginCRC32(kelvo_uint32 *CRC);
KELVO_API void KelvoAddToCRC32(kelvo_uint32 *CRC, kelvo_uint32 Count, void const *Data);
KELVO_API void KelvoEndCRC32(kelvo_uint32 *CRC);

#endif
