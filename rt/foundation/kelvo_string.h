// The library's own string toolkit: bounded copies, comparisons, wildcard
// matching and number parsing. No C runtime string functions are used.
#ifndef KELVO_STRING_INTERNAL_H
#define KELVO_STRING_INTERNAL_H

#include "kelvo2/kelvo2_string.h"

namespace kelvo {

kelvo_int32 StringLength(char const *String); // 0 for null

// Bounded copy: always terminates; warns under origin String when the source
// did not fit. Returns true when it fitted.
bool CopyString(char *Destination, kelvo_int32 DestinationSize, char const *Source);
// Unbounded copy for destinations sized by StringLength + 1; returns that size.
kelvo_int32 CopyStringCount(char *Destination, char const *Source);

// The last "/" or "\" of a path, or null.
char const *FindLastSlash(char const *Path);

bool StringsAreEqualLowercase(char const *A, char const *B);
bool StringBeginsWithLowercase(char const *String, char const *Prefix);
// Name matching everywhere in the library: the comparison callback when one is
// installed, case-insensitive equality otherwise.
bool NamesAreEqual(char const *A, char const *B);
// The application's comparison, or null when none is installed.
kelvo_string_comparison_callback *GetStringComparisonCallback();

// "?" and "*" wildcards, case-insensitive for literals. The characters the
// wildcards matched are copied, in order, into Capture (bounded, terminated;
// Capture may be null). A null pattern matches everything.
bool WildCardMatch(char const *Name, char const *Pattern, char *Capture,
                   kelvo_int32 CaptureSize);

// Number parsing: optional sign, digits, and for reals one "." and fraction
// digits. Stops at the first other character; *End (when given) receives it.
// False when no digit was found.
bool ParseReal(char const *String, kelvo_real32 *Result, char const **End);
bool ParseInteger(char const *String, kelvo_int32 *Result, char const **End);

} // namespace kelvo

#endif
