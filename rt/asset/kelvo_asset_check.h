// The asset invariants that run-time code trusts, checked once where a
// loaded file becomes a file info: texture levels that hold the bytes their
// size needs, bones whose parents precede them,
// triangle indices inside their vertices, material groups inside their
// triangles, vertex bone indices inside their mesh's bone bindings, and
// counts that have their arrays. The tree must already lie inside its
// sections (KelvoCheckFileDataTree, or a tree converted from one).
#ifndef KELVO_ASSET_CHECK_H
#define KELVO_ASSET_CHECK_H

#include "kelvo2/kelvo2_file_info.h"

namespace kelvo {

// False after an error naming the first record that breaks an invariant.
bool CheckAssetTree(kelvo_file_info const *Info);

} // namespace kelvo

#endif
