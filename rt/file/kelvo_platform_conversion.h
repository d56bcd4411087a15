// The internal side of platform conversion: rebuilding a loaded file's
// sections for another pointer size or byte order, which the loader uses for
// files of the other pointer size and the file rewriter for files
// written for other platforms.
#ifndef KELVO_PLATFORM_CONVERSION_INTERNAL_H
#define KELVO_PLATFORM_CONVERSION_INTERNAL_H

#include "kelvo2/kelvo2_file.h"

namespace kelvo {

struct platform {
    kelvo_int32 PointerSizeInBits; // 32 or 64
    bool IsLittleEndian;
};

// One pointer and one marshalling fix-up array per section (null where a
// section has none), in native order, allocated through the library.
struct fixup_arrays {
    kelvo_int32 Count;
    kelvo_pointer_fixup **Pointers;
    kelvo_marshalling_fixup **Marshallings;
};

bool AllocateFixupArrays(fixup_arrays &Arrays, kelvo_int32 SectionCount);
void FreeFixupArrays(fixup_arrays &Arrays);

// Rebuilds the loaded sections of File, which hold the file's own layout and
// byte order (pointer fields zero, their targets in Arrays.Pointers), into
// Target's layout and byte order: objects, definitions and strings reachable
// from the root, each once, with new fix-up arrays in Arrays. The section
// headers, root references, IsByteReversed and Marshalled then describe the
// result; the pointers still have to be written (phase 1). On failure the
// file is left as it was and the failure is reported.
bool ConvertFileToPlatform(kelvo_file *File, platform Target, fixup_arrays &Arrays);

} // namespace kelvo

#endif
