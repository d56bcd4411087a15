// Files whose records break an asset invariant are refused when their file
// info is taken, with an error naming the record.
#include "file_image_decoder.h"
#include "kelvo_test.h"
#include "kv2_sample_asset.h"

#include <functional>
#include <string>
#include <vector>

namespace {

class AssetCheckTest : public KelvoTest {};

std::vector<kelvo_uint8> WriteSample(kv2::sample_asset &Asset, kelvo_uint32 TypeTag) {
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(1, TypeTag, KelvoKVNFileMV_ThisPlatform, 4096);
    kelvo_file_data_tree_writer *Writer =
        KelvoBeginFileDataTreeWriting(KelvoFileInfoType, &Asset.FileInfo, 0, 0);
    bool Written = Builder && Writer && KelvoWriteDataTreeToFileBuilder(Writer, Builder);
    KelvoEndFileDataTreeWriting(Writer);
    if (!Written) {
        KelvoAbortFile(Builder);
        return {};
    }
    kelvo_file_writer *Memory = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    if (!KelvoEndFileToWriter(Builder, Memory)) {
        KelvoDeleteFileWriter(Memory);
        return {};
    }
    return StealWriterBytes(Memory);
}

struct broken_record {
    char const *Name;
    std::function<void(kelvo_file_info &)> Break;
    char const *Message;
};

// Breaks are made in the loaded tree, which is the file's own memory, so
// that counts without arrays (which the writer never stores) are covered.
std::vector<broken_record> const BrokenRecords = {
    {"parent after its bone",
     [](kelvo_file_info &Info) { Info.Skeletons[0]->Bones[1].ParentIndex = 1; },
     "Bone 1 (\"spine\") of the skeleton \"sample_skeleton\" has parent index 1, which is "
     "neither -1 nor below its own index"},
    {"parent below -1", [](kelvo_file_info &Info) { Info.Skeletons[0]->Bones[2].ParentIndex = -2; },
     "has parent index -2"},
    {"bones without their array", [](kelvo_file_info &Info) { Info.Skeletons[0]->Bones = nullptr; },
     "The skeleton \"sample_skeleton\" counts 3 bones but has no array of them"},
    {"triangle index at the vertex count",
     [](kelvo_file_info &Info) { Info.TriTopologies[0]->Indices[2] = 4; },
     "Triangle index 2 of the mesh \"quad\" is 4, outside its 4 vertices"},
    {"negative triangle index",
     [](kelvo_file_info &Info) { Info.TriTopologies[0]->Indices[0] = -1; },
     "Triangle index 0 of the mesh \"quad\" is -1"},
    {"16-bit index past the vertices",
     [](kelvo_file_info &Info) { Info.TriTopologies[0]->Indices16[5] = -1; },
     "Triangle index 5 of the mesh \"quad\" is 65535"},
    {"group past the triangles",
     [](kelvo_file_info &Info) { Info.TriTopologies[0]->Groups[1].TriCount = 2; },
     "Material group 1 of the topology 0 runs over triangles [1, 1 + 2), outside its 2 triangles"},
    {"group before the triangles",
     [](kelvo_file_info &Info) { Info.TriTopologies[0]->Groups[0].TriFirst = -1; },
     "Material group 0 of the topology 0"},
    {"vertex bone index at the binding count",
     [](kelvo_file_info &Info) {
         static_cast<kelvo_pwnt3432_vertex *>(Info.VertexDatas[0]->Vertices)[3].BoneIndices[2] = 2;
     },
     "Vertex 3 of the mesh \"quad\" has bone index 2, outside its 2 bone bindings"},
    {"vertices without their array",
     [](kelvo_file_info &Info) { Info.VertexDatas[0]->Vertices = nullptr; },
     "The vertex data 0 counts 4 vertices but has no array of them"},
    {"vertices without a layout",
     [](kelvo_file_info &Info) { Info.VertexDatas[1]->VertexType = nullptr; },
     "The vertex data 1 counts 4 vertices but has no layout"},
    {"bone bindings without their array",
     [](kelvo_file_info &Info) { Info.Meshes[0]->BoneBindings = nullptr; },
     "The mesh \"quad\" counts 2 bone bindings but has no array of them"},
    {"meshes without their array", [](kelvo_file_info &Info) { Info.Meshes = nullptr; },
     "The file info counts 1 meshes but has no array of them"},
    {"raw texture level shorter than its size",
     [](kelvo_file_info &Info) {
         Info.Textures[0]->Encoding = 1;
         Info.Textures[0]->Images[0].MIPLevels[0].PixelByteCount = 15;
     },
     "MIP level 0 of image 0 of texture 0 (\"checker.tga\") holds 15 bytes where its 2 x 2 "
     "pixels need 16"},
    {"S3TC texture level shorter than its block",
     [](kelvo_file_info &Info) { Info.Textures[0]->Encoding = 2; },
     "MIP level 1 of image 0 of texture 0 (\"checker.tga\") holds 4 bytes where its 1 x 1 "
     "pixels need 8"},
    {"raw texture layout outside its pixel",
     [](kelvo_file_info &Info) {
         Info.Textures[0]->Encoding = 1;
         Info.Textures[0]->Layout.BytesPerPixel = 3;
     },
     "The pixel layout of texture 0 (\"checker.tga\") (3 bytes; shifts 16 8 0 24; bits 8 8 8 8) "
     "has a component outside its pixel"},
    {"MIP levels without their array",
     [](kelvo_file_info &Info) { Info.Textures[0]->Images[0].MIPLevels = nullptr; },
     "Image 0 of the texture 0 (\"checker.tga\") counts 2 MIP levels but has no array of them"},
    {"a broken mesh reached only through its model",
     [](kelvo_file_info &Info) {
         Info.MeshCount = 0;
         static_cast<kelvo_pwnt3432_vertex *>(Info.VertexDatas[0]->Vertices)[0].BoneIndices[0] = 9;
     },
     "Vertex 0 of the mesh \"quad\" has bone index 9"},
    {"transform tracks without their array",
     [](kelvo_file_info &Info) { Info.TrackGroups[0]->TransformTracks = nullptr; },
     "The track group \"sample_model\" counts 3 transform tracks but has no array of them"},
    {"LOD errors for some tracks only",
     [](kelvo_file_info &Info) { Info.TrackGroups[0]->TransformLODErrorCount = 2; },
     "The track group \"sample_model\" has 2 LOD errors for its 3 transform tracks"},
    {"text entries without their array",
     [](kelvo_file_info &Info) { Info.TrackGroups[0]->TextTracks[0].Entries = nullptr; },
     "counts 2 text entries but has no array of them"},
    {"a track group reached only through its animation",
     [](kelvo_file_info &Info) {
         Info.TrackGroupCount = 0;
         Info.Animations[0]->TrackGroups[0]->VectorTracks = nullptr;
     },
     "The track group \"sample_model\" counts 1 vector tracks but has no array of them"},
    {"an orientation of three values",
     [](kelvo_file_info &Info) {
         kelvo_transform_track &Track = Info.TrackGroups[0]->TransformTracks[2];
         Track.OrientationCurve = Track.PositionCurve;
     },
     "is refused: its dimension 3 is not the 4 of its role"},
};

TEST_F(AssetCheckTest, EachBrokenInvariantRefusesTheFile) {
    kv2::sample_asset Asset;
    std::vector<kelvo_uint8> Image = WriteSample(Asset, 0x80000020u);
    ASSERT_FALSE(Image.empty());
    for (broken_record const &Case : BrokenRecords) {
        SCOPED_TRACE(Case.Name);
        kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
        ASSERT_NE(File, nullptr);
        ASSERT_NE(KelvoGetFileInfo(File), nullptr); // sound as written
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        Case.Break(*static_cast<kelvo_file_info *>(Root.Object));
        EXPECT_EQ(KelvoGetFileInfo(File), nullptr);
        ExpectLogged(KelvoErrorLogMessage, Case.Message);
        KelvoFreeFile(File);
    }
}

// Morph curves ride in vertex annotation sets and are decoded like track curves.
TEST_F(AssetCheckTest, AnnotationCurvesAreChecked) {
    kv2::sample_asset Asset;
    float Knots[2] = {0, 1}, Controls[6] = {0, 0, 0, 1, 1, 1};
    kelvo_curve_data_da_k32f_c32f Data;
    kelvo_curve2 Curve;
    KelvoCurveMakeStaticDaK32fC32f(&Curve, &Data, 2, 1, 3, Knots, Controls);
    kelvo_vertex_annotation_set Sets[2] = {
        Asset.VertexAnnotations[0],
        {"VertexMorphCurvePosition", KelvoCurve2Type, 1, &Curve, 0, 0, nullptr}};
    Asset.VertexData.VertexAnnotationSetCount = 2;
    Asset.VertexData.VertexAnnotationSets = Sets;
    std::vector<kelvo_uint8> Image = WriteSample(Asset, 0x80000020u);
    kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
    ASSERT_NE(File, nullptr);
    kelvo_file_info *Info = KelvoGetFileInfo(File);
    ASSERT_NE(Info, nullptr);
    auto *Loaded = static_cast<kelvo_curve2 *>(
        Info->VertexDatas[0]->VertexAnnotationSets[1].VertexAnnotations);
    static_cast<kelvo_curve_data_da_k32f_c32f *>(Loaded->CurveData.Object)
        ->CurveDataHeader_DaK32fC32f.Degree = 7;
    EXPECT_EQ(KelvoGetFileInfo(File), nullptr);
    ExpectLogged(KelvoErrorLogMessage,
                 "Curve of vertex annotation set \"VertexMorphCurvePosition\" in vertex data 0 "
                 "is refused: degree 7");
    KelvoFreeFile(File);
}

TEST_F(AssetCheckTest, ConvertedTreesAreCheckedToo) {
    kv2::sample_asset Asset;
    Asset.Bones[2].ParentIndex = 2;
    kelvo_file *File = nullptr;
    std::vector<kelvo_uint8> Image = WriteSample(Asset, 0x80000011u);
    File = KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
    ASSERT_NE(File, nullptr);
    for (int Call = 0; Call < 2; ++Call) {
        EXPECT_EQ(KelvoGetFileInfo(File), nullptr);
        ExpectLoggedFrom(
            KelvoErrorLogMessage, KelvoSkeletonLogMessage,
            "Bone 2 (\"head\") of the skeleton \"sample_skeleton\" has parent index 2");
    }
    ExpectLogged(KelvoWarningLogMessage, "File has run-time type tag of 0x80000011");
    KelvoFreeFile(File);
}

// The loading fuzz target starts from these seeds, so that mutations reach
// the checks of every record.
TEST_F(AssetCheckTest, FuzzSeedsBreakWhatTheirNamesSay) {
    std::string const Corpus = std::string(KELVO_SOURCE_DIR) + "/tests/fuzz/corpus/file_loading/";
    struct {
        char const *Name;
        char const *Message; // null for the sound one
    } const Seeds[] = {
        {"asset_sound.kv2", nullptr},
        {"asset_bone_parent.kv2", "Bone 1 (\"spine\")"},
        {"asset_triangle_index.kv2", "Triangle index 5 of the mesh \"quad\" is 4"},
        {"asset_material_group.kv2", "Material group 1 of the topology 0"},
        {"asset_vertex_bone_index.kv2", "Vertex 2 of the mesh \"quad\" has bone index 2"},
        {"asset_texture_level.kv2",
         "MIP level 0 of image 0 of texture 0 (\"checker.tga\") holds 15 bytes"}};
    for (auto const &Seed : Seeds) {
        SCOPED_TRACE(Seed.Name);
        kelvo_file *File = KelvoReadEntireFile((Corpus + Seed.Name).c_str());
        ASSERT_NE(File, nullptr);
        if (sizeof(void *) == 4) { // the seeds are 64-bit files
            ExpectLogged(KelvoWarningLogMessage, "Converting pointer size from 64 to 32");
        }
        kelvo_file_info *Info = KelvoGetFileInfo(File);
        EXPECT_EQ(Info == nullptr, Seed.Message != nullptr);
        if (Seed.Message) {
            ExpectLogged(KelvoErrorLogMessage, Seed.Message);
        }
        KelvoFreeFile(File);
    }
}

} // namespace
