// The asset invariants of a loaded file, checked once before anything reads
// the file info (see kelvo_asset_check.h). The tree check has proven that
// every array lies inside the file for its count; these checks prove what
// the records mean: that indices stay inside the arrays they index and that
// the order skeleton-relative transforms rely on holds. The driver is a
// plain sequence of per-record checks; each reports the record it refuses.
#include "asset/kelvo_asset_check.h"
#include "asset/kelvo_annotation_curves.h"
#include "asset/kelvo_curve_formats.h"
#include "asset/kelvo_texture.h"

#include "data/kelvo_data_type_conversion.h"
#include "data/kelvo_data_type_iterator.h"
#include "foundation/kelvo_format.h"
#include "foundation/kelvo_log.h"

#include <initializer_list>

namespace {

using kelvo::Log;

constexpr kelvo_int32 RecordNameSize = 192;

// Names come from the file; a null one still reads well.
char const *NameOf(char const *Name) {
    return Name ? Name : "(unnamed)";
}

// A record's name in messages: its kind and its name from the file.
struct record_name {
    char Text[RecordNameSize];
    record_name(char const *Kind, char const *Name) {
        kelvo::Format(RecordNameSize, Text, "%s \"%s\"", Kind, NameOf(Name));
    }
};

struct counted_array {
    kelvo_int32 Count;
    void const *Array;
    char const *What;
};

// Every array a record counts is present.
bool HasArrays(kelvo_log_message_origin Origin, char const *Record,
               std::initializer_list<counted_array> Arrays) {
    for (counted_array const &Each : Arrays) {
        if (Each.Count > 0 && !Each.Array) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): The %s counts %d %s but has no array of them", KELVO_HERE, Record,
                Each.Count, Each.What);
            return false;
        }
    }
    return true;
}

// ---- skeletons ------------------------------------------------------------------

bool CheckSkeleton(kelvo_skeleton const &Skeleton) {
    constexpr kelvo_log_message_origin Origin = KelvoSkeletonLogMessage;
    record_name const Name("skeleton", Skeleton.Name);
    if (!HasArrays(Origin, Name.Text, {{Skeleton.BoneCount, Skeleton.Bones, "bones"}})) {
        return false;
    }
    for (kelvo_int32 Index = 0; Skeleton.Bones && Index < Skeleton.BoneCount; ++Index) {
        kelvo_int32 Parent = Skeleton.Bones[Index].ParentIndex;
        if (Parent != -1 && (Parent < 0 || Parent >= Index)) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Bone %d (\"%s\") of the %s has parent index %d, which is neither -1 "
                "nor below its own index",
                KELVO_HERE, Index, NameOf(Skeleton.Bones[Index].Name), Name.Text, Parent);
            return false;
        }
    }
    return true;
}

// ---- vertices and topologies ------------------------------------------------------

bool CheckVertexData(kelvo_vertex_data const &Data, char const *Record) {
    constexpr kelvo_log_message_origin Origin = KelvoMeshLogMessage;
    if (Data.VertexCount > 0 && !Data.VertexType) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): The %s counts %d vertices but has no layout",
            KELVO_HERE, Record, Data.VertexCount);
        return false;
    }
    if (!HasArrays(
            Origin, Record,
            {{Data.VertexCount, Data.Vertices, "vertices"},
             {Data.VertexComponentNameCount, Data.VertexComponentNames, "component names"}})) {
        return false;
    }
    // Morph curves ride in annotation sets; they are decoded like any curve.
    bool CurvesHold = true;
    for (kelvo_int32 Index = 0; Data.VertexAnnotationSets && Index < Data.VertexAnnotationSetCount;
         ++Index) {
        kelvo_vertex_annotation_set const &Set = Data.VertexAnnotationSets[Index];
        char Name[512];
        kelvo::Format((kelvo_int32)sizeof(Name), Name, "of vertex annotation set \"%s\" in %s",
                      Set.Name ? Set.Name : "", Record);
        kelvo::ForEachAnnotationCurve(Set, [&](kelvo_curve2 const *Curve) {
            CurvesHold = CurvesHold && kelvo::CheckCurve(Curve, Name);
        });
    }
    return CurvesHold;
}

kelvo_int32 TriangleCountOf(kelvo_tri_topology const &Topology) {
    kelvo_int32 Indices = Topology.IndexCount > 0 ? Topology.IndexCount : Topology.Index16Count;
    return Indices > 0 ? Indices / 3 : 0;
}

bool CheckTopology(kelvo_tri_topology const &Topology, char const *Record) {
    constexpr kelvo_log_message_origin Origin = KelvoMeshLogMessage;
    if (!HasArrays(Origin, Record,
                   {{Topology.GroupCount, Topology.Groups, "material groups"},
                    {Topology.IndexCount, Topology.Indices, "indices"},
                    {Topology.Index16Count, Topology.Indices16, "16-bit indices"}})) {
        return false;
    }
    kelvo_int64 Triangles = TriangleCountOf(Topology);
    for (kelvo_int32 Index = 0; Topology.Groups && Index < Topology.GroupCount; ++Index) {
        kelvo_tri_material_group const &Group = Topology.Groups[Index];
        if (Group.TriFirst < 0 || Group.TriCount < 0 ||
            (kelvo_int64)Group.TriFirst + Group.TriCount > Triangles) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Material group %d of the %s runs over triangles [%d, %d + %d), outside "
                "its %d triangles",
                KELVO_HERE, Index, Record, Group.TriFirst, Group.TriFirst, Group.TriCount,
                (kelvo_int32)Triangles);
            return false;
        }
    }
    return true;
}

// ---- meshes -------------------------------------------------------------------------

template <typename index>
bool IndicesAreBelow(index const *Indices, kelvo_int32 Count, kelvo_int32 VertexCount,
                     char const *Record) {
    for (kelvo_int32 Index = 0; Indices && Index < Count; ++Index) {
        if ((kelvo_int64)Indices[Index] < 0 || (kelvo_int64)Indices[Index] >= VertexCount) {
            Log(KelvoErrorLogMessage, KelvoMeshLogMessage,
                "%s(%d): Triangle index %d of the %s is %I64d, outside its %d vertices", KELVO_HERE,
                Index, Record, (kelvo_int64)Indices[Index], VertexCount);
            return false;
        }
    }
    return true;
}

bool CheckTriangleIndices(kelvo_mesh const &Mesh, char const *Record) {
    kelvo_tri_topology const *Topology = Mesh.PrimaryTopology;
    if (!Topology) {
        return true;
    }
    kelvo_int32 VertexCount = Mesh.PrimaryVertexData ? Mesh.PrimaryVertexData->VertexCount : 0;
    // The 16-bit form holds unsigned indices.
    return IndicesAreBelow(Topology->Indices, Topology->IndexCount, VertexCount, Record) &&
           IndicesAreBelow(reinterpret_cast<kelvo_uint16 const *>(Topology->Indices16),
                           Topology->Index16Count, VertexCount, Record);
}

// Every bone index stored in the vertices, read as layout conversion reads
// it, must name one of the mesh's bone bindings.
bool CheckVertexBoneIndices(kelvo_mesh const &Mesh, char const *Record) {
    kelvo_vertex_data const *Data = Mesh.PrimaryVertexData;
    if (!Data || !Data->Vertices || Data->VertexCount <= 0) {
        return true;
    }
    kelvo_int32 Offset;
    kelvo_data_type_definition const *Member =
        kelvo::FindMemberByName(Data->VertexType, "BoneIndices", Offset);
    if (!Member) {
        return true;
    }
    constexpr kelvo_int32 MaxWidth = 256;
    kelvo_int32 Width = KelvoGetMemberArrayWidth(Member);
    kelvo::element_run_converter Read =
        kelvo::GetElementRunConverter(KelvoInt32Member, Member->Type);
    if (!Read || Width > MaxWidth) {
        Log(KelvoErrorLogMessage, KelvoMeshLogMessage,
            "%s(%d): The %s stores bone indices as %d elements of member type %d, which are not "
            "read as up to %d integers",
            KELVO_HERE, Record, Width, Member->Type, MaxWidth);
        return false;
    }
    kelvo_int32 Bindings = Mesh.BoneBindingCount;
    kelvo_int32 Stride = KelvoGetTotalObjectSize(Data->VertexType);
    kelvo_uint8 const *At = static_cast<kelvo_uint8 const *>(Data->Vertices) + Offset;
    kelvo_int32 Indices[MaxWidth];
    for (kelvo_int32 Vertex = 0; Vertex < Data->VertexCount; ++Vertex, At += Stride) {
        Read(reinterpret_cast<kelvo_uint8 *>(Indices), 0, At, 0, 1, Width);
        for (kelvo_int32 Element = 0; Element < Width; ++Element) {
            if (Indices[Element] < 0 || Indices[Element] >= Bindings) {
                Log(KelvoErrorLogMessage, KelvoMeshLogMessage,
                    "%s(%d): Vertex %d of the %s has bone index %d, outside its %d bone "
                    "bindings",
                    KELVO_HERE, Vertex, Record, Indices[Element], Bindings);
                return false;
            }
        }
    }
    return true;
}

bool CheckMesh(kelvo_mesh const &Mesh) {
    record_name const Name("mesh", Mesh.Name);
    if (!HasArrays(KelvoMeshLogMessage, Name.Text,
                   {{Mesh.MorphTargetCount, Mesh.MorphTargets, "morph targets"},
                    {Mesh.MaterialBindingCount, Mesh.MaterialBindings, "material bindings"},
                    {Mesh.BoneBindingCount, Mesh.BoneBindings, "bone bindings"}})) {
        return false;
    }
    if (Mesh.PrimaryVertexData && !CheckVertexData(*Mesh.PrimaryVertexData, Name.Text)) {
        return false;
    }
    for (kelvo_int32 Index = 0; Mesh.MorphTargets && Index < Mesh.MorphTargetCount; ++Index) {
        kelvo_vertex_data const *Morph = Mesh.MorphTargets[Index].VertexData;
        if (Morph && !CheckVertexData(*Morph, Name.Text)) {
            return false;
        }
    }
    if (Mesh.PrimaryTopology && !CheckTopology(*Mesh.PrimaryTopology, Name.Text)) {
        return false;
    }
    return CheckTriangleIndices(Mesh, Name.Text) && CheckVertexBoneIndices(Mesh, Name.Text);
}

// ---- the file info's lists ----------------------------------------------------------------

// Each non-null record of a file info list, checked as Check(record, index).
// The list's slots are pointers at 4-byte alignment: they are loaded bytewise.
template <typename record, typename check>
bool CheckList(char const *What, kelvo_int32 Count, void const *Slots, check Check) {
    if (!HasArrays(KelvoFileReadingLogMessage, "file info", {{Count, Slots, What}})) {
        return false;
    }
    kelvo_uint8 const *Slot = static_cast<kelvo_uint8 const *>(Slots);
    for (kelvo_int32 Index = 0; Slot && Index < Count; ++Index, Slot += sizeof(void *)) {
        record const *Record = static_cast<record const *>(kelvo::LoadPointer(Slot));
        if (Record && !Check(*Record, Index)) {
            return false;
        }
    }
    return true;
}

bool CheckListedVertexData(kelvo_vertex_data const &Data, kelvo_int32 Index) {
    char Record[RecordNameSize];
    kelvo::Format(RecordNameSize, Record, "vertex data %d", Index);
    return CheckVertexData(Data, Record);
}

bool CheckListedTopology(kelvo_tri_topology const &Topology, kelvo_int32 Index) {
    char Record[RecordNameSize];
    kelvo::Format(RecordNameSize, Record, "topology %d", Index);
    return CheckTopology(Topology, Record);
}

bool IsListedMesh(kelvo_file_info const &Info, kelvo_mesh const *Mesh) {
    for (kelvo_int32 Index = 0; Info.Meshes && Index < Info.MeshCount; ++Index) {
        if (Info.Meshes[Index] == Mesh) {
            return true;
        }
    }
    return false;
}

// Models may reach skeletons and meshes the lists leave out.
bool CheckModel(kelvo_file_info const &Info, kelvo_model const &Model) {
    record_name const Name("model", Model.Name);
    if (!HasArrays(KelvoModelLogMessage, Name.Text,
                   {{Model.MeshBindingCount, Model.MeshBindings, "mesh bindings"}}) ||
        (Model.Skeleton && !CheckSkeleton(*Model.Skeleton))) {
        return false;
    }
    for (kelvo_int32 Binding = 0; Model.MeshBindings && Binding < Model.MeshBindingCount;
         ++Binding) {
        kelvo_mesh const *Mesh = Model.MeshBindings[Binding].Mesh;
        if (Mesh && !IsListedMesh(Info, Mesh) && !CheckMesh(*Mesh)) {
            return false;
        }
    }
    return true;
}

// ---- track groups -------------------------------------------------------------------

// Arrays present where counted and one LOD error per transform track, if
// any; the curves are checked after this (kelvo_curve_check), roles included.
bool CheckTrackGroup(kelvo_track_group const &Group) {
    constexpr kelvo_log_message_origin Origin = KelvoTrackGroupLogMessage;
    record_name const Name("track group", Group.Name);
    if (!HasArrays(Origin, Name.Text,
                   {{Group.VectorTrackCount, Group.VectorTracks, "vector tracks"},
                    {Group.TransformTrackCount, Group.TransformTracks, "transform tracks"},
                    {Group.TransformLODErrorCount, Group.TransformLODErrors, "LOD errors"},
                    {Group.TextTrackCount, Group.TextTracks, "text tracks"}})) {
        return false;
    }
    if (Group.TransformLODErrorCount != 0 &&
        Group.TransformLODErrorCount != Group.TransformTrackCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): The %s has %d LOD errors for its %d transform tracks", KELVO_HERE, Name.Text,
            Group.TransformLODErrorCount, Group.TransformTrackCount);
        return false;
    }
    for (kelvo_int32 Index = 0; Group.TextTracks && Index < Group.TextTrackCount; ++Index) {
        kelvo_text_track const &Track = Group.TextTracks[Index];
        if (!HasArrays(Origin, Name.Text, {{Track.EntryCount, Track.Entries, "text entries"}})) {
            return false;
        }
    }
    return true;
}

bool CheckListedTrackGroup(kelvo_track_group const &Group, kelvo_int32) {
    return CheckTrackGroup(Group);
}

// Animations may hold track groups the file info does not list.
bool CheckAnimationTrackGroups(kelvo_animation const &Animation, kelvo_int32) {
    return HasArrays(KelvoAnimationLogMessage, record_name("animation", Animation.Name).Text,
                     {{Animation.TrackGroupCount, Animation.TrackGroups, "track groups"}}) &&
           CheckList<kelvo_track_group>("track groups", Animation.TrackGroupCount,
                                        Animation.TrackGroups, CheckListedTrackGroup);
}

} // namespace

namespace kelvo {

bool CheckAssetTree(kelvo_file_info const *Info) {
    if (!Info) {
        return false;
    }
    kelvo_file_info const &Lists = *Info;
    auto Skeleton = [](kelvo_skeleton const &Record, kelvo_int32) { return CheckSkeleton(Record); };
    auto Mesh = [](kelvo_mesh const &Record, kelvo_int32) { return CheckMesh(Record); };
    auto Model = [&](kelvo_model const &Record, kelvo_int32) { return CheckModel(Lists, Record); };
    return CheckList<kelvo_texture>("textures", Lists.TextureCount, Lists.Textures,
                                    kelvo::CheckTexture) &&
           CheckList<kelvo_skeleton>("skeletons", Lists.SkeletonCount, Lists.Skeletons, Skeleton) &&
           CheckList<kelvo_vertex_data>("vertex datas", Lists.VertexDataCount, Lists.VertexDatas,
                                        CheckListedVertexData) &&
           CheckList<kelvo_tri_topology>("topologies", Lists.TriTopologyCount, Lists.TriTopologies,
                                         CheckListedTopology) &&
           CheckList<kelvo_mesh>("meshes", Lists.MeshCount, Lists.Meshes, Mesh) &&
           CheckList<kelvo_model>("models", Lists.ModelCount, Lists.Models, Model) &&
           CheckList<kelvo_track_group>("track groups", Lists.TrackGroupCount, Lists.TrackGroups,
                                        CheckListedTrackGroup) &&
           CheckList<kelvo_animation>("animations", Lists.AnimationCount, Lists.Animations,
                                      CheckAnimationTrackGroups) &&
           CheckFileInfoCurves(Info);
}

} // namespace kelvo
