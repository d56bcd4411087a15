// kv2 info: a readable summary of a file: its platform and sections, then
// the assets its file info lists. A file that is not valid (see
// kv2_files.h) is refused before anything is printed.
#include "asset/kelvo_file_info.h"
#include "kelvo2.h"
#include "kv2_commands.h"
#include "kv2_files.h"
#include "kv2_info_assets.h"

#include <stdio.h>

#include <string>

namespace {

// Names come from the file: anything unprintable is shown as '?'.
std::string Printable(char const *Text) {
    if (!Text) {
        return "(unnamed)";
    }
    std::string Result;
    for (; *Text && Result.size() < 80; ++Text) {
        unsigned char Character = (unsigned char)*Text;
        Result += Character >= 32 && Character < 127 ? (char)Character : '?';
    }
    return Result;
}

// A count whose array pointer is null counts as empty, as everywhere in the
// library.
template <typename Element> kelvo_int32 CountOf(kelvo_int32 Count, Element const *Array) {
    return Array ? Count : 0;
}

char const *Plural(kelvo_int32 Count) {
    return Count == 1 ? "" : "s";
}

// The library's name for a vertex layout, or its member names.
std::string LayoutName(kelvo_data_type_definition const *Type) {
    if (!Type) {
        return "no layout";
    }
    if (kelvo::stock_vertex_layout const *Stock = kelvo::FindStockVertexLayout(Type)) {
        return Stock->Name;
    }
    std::string Members;
    for (; Type->Type != KelvoEndMember; ++Type) {
        if (!Members.empty()) {
            Members += ' ';
        }
        Members += Printable(Type->Name);
    }
    return '{' + Members + '}';
}

char const *FormatName(kelvo_uint32 Format) {
    switch (Format) {
    case KelvoNoCompression:
        return "stored";
    case KelvoFenwa0Compression:
        return "Fenwa0";
    case KelvoFenwa1Compression:
        return "Fenwa1";
    default:
        return "unknown";
    }
}

void PrintFile(char const *FileName, kelvo_file const *File) {
    kelvo_int32 PointerBits = 0;
    kelvo_bool32 Little = 0;
    KelvoGetMagicValueProperties(File->SourceMagicValue, &PointerBits, &Little);
    kelvo_uint32 Tag = File->Header->TypeTag;
    printf("file          %s\n", FileName);
    printf("platform      %d-bit %s-endian, format revision %u, type tag 0x%08x%s\n",
           (int)PointerBits, Little ? "little" : "big", (unsigned)File->Header->Version,
           (unsigned)Tag, Tag == KelvoCurrentTypeTag ? " (current)" : " (older, converted)");
    printf("sections      %d\n", (int)File->SectionCount);
    kelvo_section_header const *Sections = KelvoGetKVNSectionArray(File->Header);
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        kelvo_section_header const &Section = Sections[Index];
        char const *Name = Index < KelvoStandardSectionCount ? KelvoGetStandardSectionName(Index)
                                                             : "(non-standard section)";
        printf("  %-36s %-7s %10u bytes, %10u expanded%s\n", Name, FormatName(Section.Format),
               (unsigned)Section.DataSize, (unsigned)Section.ExpandedDataSize,
               !File->Sections[Index] && Section.ExpandedDataSize ? ", not loaded" : "");
    }
}

void PrintHeading(char const *Name, kelvo_int32 Count) {
    printf("%-13s %d\n", Name, (int)Count);
}

void PrintAssets(kelvo_file_info const &Info, bool Bones) {
    printf("from file     %s\n", Printable(Info.FromFileName).c_str());
    if (kelvo_art_tool_info const *Tool = Info.ArtToolInfo) {
        printf("art tool      %s %d.%d, %g units per meter, right (%g %g %g), up (%g %g %g), "
               "back (%g %g %g)\n",
               Printable(Tool->FromArtToolName).c_str(), (int)Tool->ArtToolMajorRevision,
               (int)Tool->ArtToolMinorRevision, (double)Tool->UnitsPerMeter,
               (double)Tool->RightVector[0], (double)Tool->RightVector[1],
               (double)Tool->RightVector[2], (double)Tool->UpVector[0], (double)Tool->UpVector[1],
               (double)Tool->UpVector[2], (double)Tool->BackVector[0], (double)Tool->BackVector[1],
               (double)Tool->BackVector[2]);
    }
    if (kelvo_exporter_info const *Exporter = Info.ExporterInfo) {
        printf("exporter      %s %d.%d, customization %d, build %d\n",
               Printable(Exporter->ExporterName).c_str(), (int)Exporter->ExporterMajorRevision,
               (int)Exporter->ExporterMinorRevision, (int)Exporter->ExporterCustomization,
               (int)Exporter->ExporterBuildNumber);
    }

    PrintHeading("textures", Info.TextureCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.TextureCount, Info.Textures); ++Index) {
        if (kelvo_texture const *Texture = Info.Textures[Index]) {
            kelvo_int32 Levels = CountOf(Texture->ImageCount, Texture->Images)
                                     ? Texture->Images[0].MIPLevelCount
                                     : 0;
            printf("  %s: %d x %d, encoding %d, %d image%s, %d MIP level%s\n",
                   Printable(Texture->FromFileName).c_str(), (int)Texture->Width,
                   (int)Texture->Height, (int)Texture->Encoding, (int)Texture->ImageCount,
                   Plural(Texture->ImageCount), (int)Levels, Plural(Levels));
        }
    }
    PrintHeading("materials", Info.MaterialCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.MaterialCount, Info.Materials); ++Index) {
        if (kelvo_material const *Material = Info.Materials[Index]) {
            printf("  %s: %d map%s", Printable(Material->Name).c_str(), (int)Material->MapCount,
                   Plural(Material->MapCount));
            if (Material->Texture) {
                printf(", texture %s", Printable(Material->Texture->FromFileName).c_str());
            }
            printf("\n");
        }
    }
    PrintHeading("skeletons", Info.SkeletonCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.SkeletonCount, Info.Skeletons); ++Index) {
        if (kelvo_skeleton const *Skeleton = Info.Skeletons[Index]) {
            printf("  %s: %d bone%s\n", Printable(Skeleton->Name).c_str(), (int)Skeleton->BoneCount,
                   Plural(Skeleton->BoneCount));
            if (Bones) {
                PrintBoneHierarchy(*Skeleton, Printable);
            }
        }
    }
    PrintHeading("vertex datas", Info.VertexDataCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.VertexDataCount, Info.VertexDatas); ++Index) {
        if (kelvo_vertex_data const *Data = Info.VertexDatas[Index]) {
            printf("  %d vertices, %s\n", (int)Data->VertexCount,
                   LayoutName(Data->VertexType).c_str());
        }
    }
    PrintHeading("topologies", Info.TriTopologyCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.TriTopologyCount, Info.TriTopologies);
         ++Index) {
        if (kelvo_tri_topology const *Topology = Info.TriTopologies[Index]) {
            kelvo_int32 Indices =
                Topology->IndexCount ? Topology->IndexCount : Topology->Index16Count;
            printf("  %d triangles, %d material group%s\n", (int)(Indices / 3),
                   (int)Topology->GroupCount, Plural(Topology->GroupCount));
        }
    }
    PrintHeading("meshes", Info.MeshCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.MeshCount, Info.Meshes); ++Index) {
        kelvo_mesh const *Mesh = Info.Meshes[Index];
        if (!Mesh) {
            continue;
        }
        kelvo_int32 Vertices = Mesh->PrimaryVertexData ? Mesh->PrimaryVertexData->VertexCount : 0;
        kelvo_tri_topology const *Topology = Mesh->PrimaryTopology;
        kelvo_int32 Indices = !Topology              ? 0
                              : Topology->IndexCount ? Topology->IndexCount
                                                     : Topology->Index16Count;
        printf("  %s: %d vertices, %d triangles, %d material%s, %d bone binding%s, %d morph "
               "target%s\n",
               Printable(Mesh->Name).c_str(), (int)Vertices, (int)(Indices / 3),
               (int)Mesh->MaterialBindingCount, Plural(Mesh->MaterialBindingCount),
               (int)Mesh->BoneBindingCount, Plural(Mesh->BoneBindingCount),
               (int)Mesh->MorphTargetCount, Plural(Mesh->MorphTargetCount));
        PrintMeshDetails(*Mesh,
                         LayoutName(Mesh->PrimaryVertexData ? Mesh->PrimaryVertexData->VertexType
                                                            : nullptr)
                             .c_str(),
                         Printable);
    }
    PrintHeading("models", Info.ModelCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.ModelCount, Info.Models); ++Index) {
        if (kelvo_model const *Model = Info.Models[Index]) {
            printf("  %s: skeleton %s, %d mesh%s\n", Printable(Model->Name).c_str(),
                   Model->Skeleton ? Printable(Model->Skeleton->Name).c_str() : "none",
                   (int)Model->MeshBindingCount, Model->MeshBindingCount == 1 ? "" : "es");
        }
    }
    PrintHeading("track groups", Info.TrackGroupCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.TrackGroupCount, Info.TrackGroups); ++Index) {
        if (kelvo_track_group const *Group = Info.TrackGroups[Index]) {
            printf("  %s: %d vector, %d transform and %d text track%s\n",
                   Printable(Group->Name).c_str(), (int)Group->VectorTrackCount,
                   (int)Group->TransformTrackCount, (int)Group->TextTrackCount,
                   Plural(Group->TextTrackCount));
        }
    }
    PrintHeading("animations", Info.AnimationCount);
    for (kelvo_int32 Index = 0; Index < CountOf(Info.AnimationCount, Info.Animations); ++Index) {
        if (kelvo_animation const *Animation = Info.Animations[Index]) {
            printf("  %s: %g s, %d track group%s\n", Printable(Animation->Name).c_str(),
                   (double)Animation->Duration, (int)Animation->TrackGroupCount,
                   Plural(Animation->TrackGroupCount));
        }
    }
}

} // namespace

int RunInfo(int ArgumentCount, char **Arguments) {
    bool Bones = ArgumentCount >= 1 && std::string(Arguments[0]) == "--bones";
    if (ArgumentCount != 1 + (Bones ? 1 : 0)) {
        fprintf(stderr, "kv2: info needs [--bones] FILE\n");
        return 2;
    }
    char const *FileName = Arguments[ArgumentCount - 1];
    std::string Reason;
    kelvo_file *File = kv2::LoadValidFile(FileName, kv2::crc_mismatch::Warn, Reason);
    if (!File) {
        return kv2::Refuse(FileName, Reason);
    }
    PrintFile(FileName, File);
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    int Status = 1;
    if (Root.Type->Type == KelvoEndMember) {
        printf("the file stores no definitions for its root, so its assets are not shown\n");
        Status = 0;
    } else if (kelvo_file_info *Info = KelvoGetFileInfo(File)) {
        PrintAssets(*Info, Bones);
        Status = 0;
    } else {
        kv2::Refuse(FileName, "the root cannot be read as a file info");
    }
    KelvoFreeFile(File);
    return Status;
}
