// Arbitrary bytes loaded as a whole file from a memory reader (through
// platform conversion when they claim the other pointer size), its root and
// queries taken; a tree that KelvoCheckFileDataTree accepts is then walked
// whole by writing it into a new file, which must load again. The same bytes
// are also converted to the other pointer size, and a file info the library
// accepts is handed to the skeleton and mesh operations. Whatever the header, section
// headers, stored data, fix-ups and definitions say, nothing may be read or
// written outside the image and the loaded sections, no block may stay
// allocated, and no allocation may be far larger than the image.
#include "kelvo2.h"

#include <stdint.h>
#include <stdlib.h>

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
        KelvoBeginFileInMemory(1, 0x80000020u, KelvoKVNFileMV_ThisPlatform, 4096);
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
        if (Root.Object && KelvoCheckFileDataTree(File)) {
            WalkTree(Root);
        }
        UseAssets(KelvoGetFileInfo(File));
    }
    KelvoFreeFile(File);
    ConvertToOtherPointerSize(Data, (kelvo_int32)Size);
    if (!KelvoEndAllocationCheck(Check)) {
        abort();
    }
    return 0;
}
