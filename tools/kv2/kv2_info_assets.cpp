// kv2 info's detail lines: per mesh its vertex layout, bone bindings and
// material groups, and on request each skeleton's bone hierarchy. The tree
// has been checked against its sections, but indices inside it are read
// defensively: the summary also serves files whose records are refused.
#include "kv2_info_assets.h"

#include <stdio.h>

namespace {

template <typename Element> kelvo_int32 CountOf(kelvo_int32 Count, Element const *Array) {
    return Array && Count > 0 ? Count : 0;
}

char const *MaterialName(kelvo_mesh const &Mesh, kelvo_int32 Index, printable_name Printable,
                         std::string &Storage) {
    if (Index < 0 || Index >= CountOf(Mesh.MaterialBindingCount, Mesh.MaterialBindings) ||
        !Mesh.MaterialBindings[Index].Material) {
        return "no material";
    }
    Storage = Printable(Mesh.MaterialBindings[Index].Material->Name);
    return Storage.c_str();
}

} // namespace

void PrintMeshDetails(kelvo_mesh const &Mesh, char const *LayoutName, printable_name Printable) {
    printf("    layout %s\n", LayoutName);
    for (kelvo_int32 Index = 0; Index < CountOf(Mesh.BoneBindingCount, Mesh.BoneBindings);
         ++Index) {
        kelvo_bone_binding const &Binding = Mesh.BoneBindings[Index];
        kelvo_int32 Triangles = CountOf(Binding.TriangleIndexCount, Binding.TriangleIndices);
        printf("    bone binding %s: %d triangle%s, box (%g %g %g) to (%g %g %g)\n",
               Printable(Binding.BoneName).c_str(), (int)Triangles, Triangles == 1 ? "" : "s",
               (double)Binding.OBBMin[0], (double)Binding.OBBMin[1], (double)Binding.OBBMin[2],
               (double)Binding.OBBMax[0], (double)Binding.OBBMax[1], (double)Binding.OBBMax[2]);
    }
    kelvo_tri_topology const *Topology = Mesh.PrimaryTopology;
    kelvo_int32 Groups = Topology ? CountOf(Topology->GroupCount, Topology->Groups) : 0;
    for (kelvo_int32 Index = 0; Index < Groups; ++Index) {
        kelvo_tri_material_group const &Group = Topology->Groups[Index];
        std::string Name;
        printf("    material group %d: triangles %d + %d, material %d (%s)\n", (int)Index,
               (int)Group.TriFirst, (int)Group.TriCount, (int)Group.MaterialIndex,
               MaterialName(Mesh, Group.MaterialIndex, Printable, Name));
    }
}

void PrintBoneHierarchy(kelvo_skeleton const &Skeleton, printable_name Printable) {
    constexpr kelvo_int32 MaxIndent = 32;
    kelvo_int32 Count = CountOf(Skeleton.BoneCount, Skeleton.Bones);
    std::vector<kelvo_int32> Depths((size_t)Count);
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        kelvo_bone const &Bone = Skeleton.Bones[Index];
        kelvo_int32 Parent = Bone.ParentIndex;
        // A parent that does not precede its bone (a refused file) starts a root.
        kelvo_int32 Depth = Parent >= 0 && Parent < Index ? Depths[(size_t)Parent] + 1 : 0;
        Depths[(size_t)Index] = Depth;
        printf("    %*s%s at (%g %g %g)\n", 2 * (Depth < MaxIndent ? Depth : MaxIndent), "",
               Printable(Bone.Name).c_str(), (double)Bone.Transform.Position[0],
               (double)Bone.Transform.Position[1], (double)Bone.Transform.Position[2]);
    }
}
