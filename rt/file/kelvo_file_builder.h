// The internal side of the file builder: what the data tree writer needs to
// know about a builder beyond the public calls.
#ifndef KELVO_FILE_BUILDER_INTERNAL_H
#define KELVO_FILE_BUILDER_INTERNAL_H

#include "kelvo2/kelvo2_file_builder.h"

namespace kelvo {

kelvo_int32 GetBuilderSectionCount(kelvo_file_builder const *Builder);
// The magic value record the builder writes for.
kelvo_file_magic_value const *GetBuilderTargetMagicValue(kelvo_file_builder const *Builder);

} // namespace kelvo

#endif
