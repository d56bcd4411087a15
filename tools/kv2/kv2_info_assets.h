// kv2 info's detail lines for meshes and skeletons (kv2_info_assets.cpp).
#ifndef KV2_INFO_ASSETS_H
#define KV2_INFO_ASSETS_H

#include "kelvo2.h"

#include <string>
#include <vector>

// Shows a name read from a file safely.
using printable_name = std::string (*)(char const *Text);

// Layout, bone bindings and material groups, indented below the mesh's line.
void PrintMeshDetails(kelvo_mesh const &Mesh, char const *LayoutName, printable_name Printable);
// One line per bone, indented by its depth, with its rest position.
void PrintBoneHierarchy(kelvo_skeleton const &Skeleton, printable_name Printable);

#endif
