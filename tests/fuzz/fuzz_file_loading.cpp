// Arbitrary bytes loaded as a whole file from a memory reader (through
// platform conversion when they claim the other pointer size), its root and
// queries taken; a tree that KelvoCheckFileDataTree accepts is then walked
// whole by writing it into a new file, which must load again, and its file
// info is read to the last array element and string. The same bytes are
// also converted to the other pointer size, and a file info the library
// accepts is handed to the skeleton and mesh operations. Whatever the header, section
// headers, stored data, fix-ups and definitions say, nothing may be read or
// written outside the image and the loaded sections, no block may stay
// allocated, and no allocation may be far larger than the image.
#include "kelvo2.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <vector>

namespace {

void KELVO_CALLBACK Discard(kelvo_log_message_type, kelvo_log_message_origin, char const *,
                            void *) {}

// Every object, definition and string of the tree, visited by the data tree
// writer; the file it writes must load.
void WalkTree(kelvo_variant const &Root) {
    kelvo_file_data_tree_writer *Writer =
        KelvoBeginFileDataTreeWriting(Root.Type, Root.Object, 0, 0);
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(1, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform, 4096);
    if (!Writer || !Builder) {
        KelvoEndFileDataTreeWriting(Writer);
        KelvoAbortFile(Builder);
        return;
    }
    bool Written = KelvoWriteDataTreeToFileBuilder(Writer, Builder);
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    Written = Output && KelvoEndFileToWriter(Builder, Output) && Written;
    kelvo_uint8 *Image = nullptr;
    kelvo_int32 Size = 0;
    if (Written && KelvoStealMemoryWriterBuffer(Output, &Image, &Size)) {
        kelvo_file *Again = KelvoReadEntireFileFromMemory(Size, Image);
        if (!Again || !KelvoCheckFileDataTree(Again)) {
            abort(); // a sound tree written by the library must load soundly
        }
        KelvoFreeFile(Again);
        KelvoFreeMemoryWriterBuffer(Image);
    }
    if (Output) {
        KelvoDeleteFileWriter(Output);
    }
}

// Reads every byte of the file info that its records reach: strings, arrays
// and their elements, shared records once. Variants are read as far as their
// definitions and the bytes of their objects.
class file_info_walk {
  public:
    void Info(kelvo_file_info const &Info) {
        if (Info.ArtToolInfo) {
            Bytes(Info.ArtToolInfo, sizeof(kelvo_art_tool_info));
            String(Info.ArtToolInfo->FromArtToolName);
            Variant(Info.ArtToolInfo->ExtendedData);
        }
        if (Info.ExporterInfo) {
            Bytes(Info.ExporterInfo, sizeof(kelvo_exporter_info));
            String(Info.ExporterInfo->ExporterName);
            Variant(Info.ExporterInfo->ExtendedData);
        }
        String(Info.FromFileName);
        Slots(Info.TextureCount, Info.Textures, [&](kelvo_texture *T) { Texture(T); });
        Slots(Info.MaterialCount, Info.Materials, [&](kelvo_material *M) { Material(M); });
        Slots(Info.SkeletonCount, Info.Skeletons, [&](kelvo_skeleton *S) { Skeleton(S); });
        Slots(Info.VertexDataCount, Info.VertexDatas, [&](kelvo_vertex_data *V) { VertexData(V); });
        Slots(Info.TriTopologyCount, Info.TriTopologies,
              [&](kelvo_tri_topology *T) { Topology(T); });
        Slots(Info.MeshCount, Info.Meshes, [&](kelvo_mesh *M) { Mesh(M); });
        Slots(Info.ModelCount, Info.Models, [&](kelvo_model *M) { Model(M); });
        Slots(Info.TrackGroupCount, Info.TrackGroups, [&](kelvo_track_group *T) { TrackGroup(T); });
        Slots(Info.AnimationCount, Info.Animations, [&](kelvo_animation *A) {
            if (First(A)) {
                String(A->Name);
                Slots(A->TrackGroupCount, A->TrackGroups,
                      [&](kelvo_track_group *T) { TrackGroup(T); });
            }
        });
        Variant(Info.ExtendedData);
        Types();
    }
    unsigned Sum = 0;

  private:
    bool First(void const *Record) { return Record && Seen.insert(Record).second; }
    void Bytes(void const *At, kelvo_int64 Size) {
        for (kelvo_int64 Index = 0; At && Index < Size; ++Index) {
            Sum += static_cast<kelvo_uint8 const *>(At)[Index];
        }
    }
    void String(char const *Text) { Sum += Text ? (unsigned)strlen(Text) : 0; }
    template <typename element, typename each>
    void Array(kelvo_int32 Count, element const *Items, each Each) {
        Bytes(Items, (kelvo_int64)Count * (kelvo_int64)sizeof(element));
        for (kelvo_int32 Index = 0; Items && Index < Count; ++Index) {
            Each(Items[Index]);
        }
    }
    template <typename element> void Array(kelvo_int32 Count, element const *Items) {
        Array(Count, Items, [](element const &) {});
    }
    // Slot arrays hold pointers at 4-byte alignment, which a template
    // parameter would not keep: each is copied out.
    template <typename pointer, typename each>
    void Slots(kelvo_int32 Count, pointer const *Items, each Each) {
        Bytes(Items, (kelvo_int64)Count * (kelvo_int64)sizeof(pointer));
        for (kelvo_int32 Index = 0; Items && Index < Count; ++Index) {
            pointer Item;
            memcpy(&Item, reinterpret_cast<char const *>(Items) + Index * sizeof(pointer),
                   sizeof(pointer));
            Each(Item);
        }
    }
    void Objects(kelvo_data_type_definition const *Type, kelvo_int32 Count, void const *Objects) {
        if (Type) {
            PendingTypes.push_back(Type);
            Bytes(Objects, (kelvo_int64)Count * KelvoGetTotalObjectSize(Type));
        }
    }
    void Variant(kelvo_variant const &Variant) { Objects(Variant.Type, 1, Variant.Object); }
    // Definitions with their names and the definitions they refer to.
    void Types() {
        while (!PendingTypes.empty()) {
            kelvo_data_type_definition const *Member = PendingTypes.back();
            PendingTypes.pop_back();
            for (; First(Member); ++Member) {
                Bytes(Member, sizeof(*Member));
                if (Member->Type == KelvoEndMember) {
                    break;
                }
                String(Member->Name);
                if (kelvo_data_type_definition const *Reference = Member->ReferenceType) {
                    PendingTypes.push_back(Reference); // a copy: the field is packed
                }
            }
        }
    }
    void Texture(kelvo_texture const *Record) {
        if (!First(Record)) {
            return;
        }
        String(Record->FromFileName);
        Array(Record->ImageCount, Record->Images, [&](kelvo_texture_image const &Image) {
            Array(Image.MIPLevelCount, Image.MIPLevels, [&](kelvo_texture_mip_level const &Level) {
                Bytes(Level.PixelBytes, Level.PixelByteCount);
            });
        });
        Variant(Record->ExtendedData);
    }
    void Material(kelvo_material const *Record) {
        if (!First(Record)) {
            return;
        }
        String(Record->Name);
        Array(Record->MapCount, Record->Maps, [&](kelvo_material_map const &Map) {
            String(Map.Usage);
            Material(Map.Map);
        });
        Texture(Record->Texture);
        Variant(Record->ExtendedData);
    }
    void Skeleton(kelvo_skeleton const *Record) {
        if (!First(Record)) {
            return;
        }
        String(Record->Name);
        Array(Record->BoneCount, Record->Bones, [&](kelvo_bone const &Bone) {
            String(Bone.Name);
            Variant(Bone.ExtendedData);
        });
    }
    void VertexData(kelvo_vertex_data const *Data) {
        if (!First(Data)) {
            return;
        }
        Objects(Data->VertexType, Data->VertexCount, Data->Vertices);
        Slots(Data->VertexComponentNameCount, Data->VertexComponentNames,
              [&](char const *Name) { String(Name); });
        Array(Data->VertexAnnotationSetCount, Data->VertexAnnotationSets,
              [&](kelvo_vertex_annotation_set const &Set) {
                  String(Set.Name);
                  Objects(Set.VertexAnnotationType, Set.VertexAnnotationCount,
                          Set.VertexAnnotations);
                  Array(Set.VertexAnnotationIndexCount, Set.VertexAnnotationIndices);
              });
    }
    void Topology(kelvo_tri_topology const *Record) {
        if (!First(Record)) {
            return;
        }
        Array(Record->GroupCount, Record->Groups);
        Array(Record->IndexCount, Record->Indices);
        Array(Record->Index16Count, Record->Indices16);
        Array(Record->VertexToVertexCount, Record->VertexToVertexMap);
        Array(Record->VertexToTriangleCount, Record->VertexToTriangleMap);
        Array(Record->SideToNeighborCount, Record->SideToNeighborMap);
        Array(Record->BonesForTriangleCount, Record->BonesForTriangle);
        Array(Record->TriangleToBoneCount, Record->TriangleToBoneIndices);
        Array(Record->TriAnnotationSetCount, Record->TriAnnotationSets,
              [&](kelvo_tri_annotation_set const &Set) {
                  String(Set.Name);
                  Objects(Set.TriAnnotationType, Set.TriAnnotationCount, Set.TriAnnotations);
                  Array(Set.TriAnnotationIndexCount, Set.TriAnnotationIndices);
              });
    }
    void Mesh(kelvo_mesh const *Record) {
        if (!First(Record)) {
            return;
        }
        String(Record->Name);
        VertexData(Record->PrimaryVertexData);
        Array(Record->MorphTargetCount, Record->MorphTargets, [&](kelvo_morph_target const &Target) {
            String(Target.ScalarName);
            VertexData(Target.VertexData);
        });
        Topology(Record->PrimaryTopology);
        Array(Record->MaterialBindingCount, Record->MaterialBindings,
              [&](kelvo_material_binding const &Binding) { Material(Binding.Material); });
        Array(Record->BoneBindingCount, Record->BoneBindings, [&](kelvo_bone_binding const &Binding) {
            String(Binding.BoneName);
            Array(Binding.TriangleIndexCount, Binding.TriangleIndices);
        });
        Variant(Record->ExtendedData);
    }
    void Model(kelvo_model const *Record) {
        if (!First(Record)) {
            return;
        }
        String(Record->Name);
        Skeleton(Record->Skeleton);
        Array(Record->MeshBindingCount, Record->MeshBindings,
              [&](kelvo_model_mesh_binding const &Binding) { Mesh(Binding.Mesh); });
    }
    void TransformTrack(kelvo_transform_track const &Track) {
        String(Track.Name);
        Variant(Track.OrientationCurve.CurveData);
        Variant(Track.PositionCurve.CurveData);
        Variant(Track.ScaleShearCurve.CurveData);
    }
    void TrackGroup(kelvo_track_group const *Group) {
        if (!First(Group)) {
            return;
        }
        String(Group->Name);
        Array(Group->VectorTrackCount, Group->VectorTracks, [&](kelvo_vector_track const &Track) {
            String(Track.Name);
            Variant(Track.ValueCurve.CurveData);
        });
        Array(Group->TransformTrackCount, Group->TransformTracks,
              [&](kelvo_transform_track const &Track) { TransformTrack(Track); });
        Array(Group->TransformLODErrorCount, Group->TransformLODErrors);
        Array(Group->TextTrackCount, Group->TextTracks, [&](kelvo_text_track const &Track) {
            String(Track.Name);
            Array(Track.EntryCount, Track.Entries,
                  [&](kelvo_text_track_entry const &Entry) { String(Entry.Text); });
        });
        Bytes(Group->PeriodicLoop, Group->PeriodicLoop ? sizeof(kelvo_periodic_loop) : 0);
        if (Group->RootMotion) {
            TransformTrack(*Group->RootMotion);
        }
        Variant(Group->ExtendedData);
    }

    std::set<void const *> Seen;
    std::vector<kelvo_data_type_definition const *> PendingTypes;
};

unsigned volatile WalkSum;

// A file info the library accepted is trusted by the run-time operations:
// they may read every skeleton and mesh it reaches without further checks.
void UseAssets(kelvo_file_info const *Info) {
    if (!Info) {
        return;
    }
    for (kelvo_int32 Index = 0; Info->Skeletons && Index < Info->SkeletonCount; ++Index) {
        kelvo_skeleton const *Skeleton = Info->Skeletons[Index];
        if (!Skeleton || !Skeleton->Bones || Skeleton->BoneCount <= 0) {
            continue;
        }
        std::vector<kelvo_transform> Results((size_t)Skeleton->BoneCount);
        kelvo_int32 const Stride = (kelvo_int32)sizeof(kelvo_bone);
        KelvoBuildSkeletonRelativeTransforms(Stride, &Skeleton->Bones[0].Transform, Stride,
                                             &Skeleton->Bones[0].ParentIndex, Skeleton->BoneCount,
                                             (kelvo_int32)sizeof(kelvo_transform), Results.data());
        kelvo_int32 Found;
        KelvoFindBoneByNameLowercase(Skeleton, Skeleton->Bones[Skeleton->BoneCount - 1].Name,
                                     &Found);
        KelvoGetBoneCountForLOD(Skeleton, 0.5f);
    }
    for (kelvo_int32 Index = 0; Info->Meshes && Index < Info->MeshCount; ++Index) {
        kelvo_mesh const *Mesh = Info->Meshes[Index];
        // Vertices of an empty layout take no bytes, so their count is not
        // bounded by the file's size.
        if (!Mesh || KelvoGetMeshVertexCount(Mesh) > 65536) {
            continue;
        }
        std::vector<kelvo_uint32> Indices((size_t)KelvoGetMeshIndexCount(Mesh) + 1);
        if (KelvoGetMeshBytesPerIndex(Mesh)) {
            KelvoCopyMeshIndices(Mesh, 4, Indices.data());
        }
        std::vector<kelvo_pwngbt343332_vertex> Vertices((size_t)KelvoGetMeshVertexCount(Mesh) + 1);
        if (KelvoGetMeshVertices(Mesh)) {
            KelvoCopyMeshVertices(Mesh, KelvoPWNGBT343332VertexType, Vertices.data());
        }
        KelvoMeshIsRigid(Mesh);
    }
}

void ConvertToOtherPointerSize(uint8_t const *Data, kelvo_int32 Size) {
    kelvo_file_magic_value Other;
    KelvoGetMagicValueForPlatform(sizeof(void *) == 8 ? 32 : 64, 1, &Other);
    kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(__FILE__, __LINE__, 0, Size, Data);
    kelvo_file_writer *Writer = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    if (Reader && Writer) {
        KelvoPlatformConvertReaderToWriter(Reader, Writer, &Other, 0);
    }
    KelvoCloseFileReader(Reader);
    if (Writer) {
        KelvoDeleteFileWriter(Writer);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *Data, size_t Size) {
    static bool Quiet = [] {
        kelvo_log_callback Callback = {&Discard, nullptr};
        KelvoSetLogCallback(&Callback);
        return true;
    }();
    (void)Quiet;
    if (Size > INT32_MAX) {
        return 0;
    }
    void *Check = KelvoBeginAllocationCheck();
    kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Size, Data);
    if (File) {
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        if (Root.Object && KelvoGetFileSectionOfLoadedObject(File, Root.Object) < 0) {
            abort(); // a root outside the sections it was checked against
        }
        KelvoGetInMemoryFileCRC(File);
        bool Checked = Root.Object && KelvoCheckFileDataTree(File);
        if (Checked) {
            WalkTree(Root);
        }
        // A root of the current tag is handed out in place: only a checked
        // tree may be read.
        kelvo_file_info *Info = KelvoGetFileInfo(File);
        if (Info && Checked) {
            file_info_walk Walk;
            Walk.Info(*Info);
            WalkSum = Walk.Sum;
        }
        UseAssets(Info);
    }
    KelvoFreeFile(File);
    ConvertToOtherPointerSize(Data, (kelvo_int32)Size);
    if (!KelvoEndAllocationCheck(Check)) {
        abort();
    }
    return 0;
}
