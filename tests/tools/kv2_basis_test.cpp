// kv2 basis: a file there and back through another basis, the basis the
// output records, and the refusals that leave no output behind.
#include "kelvo_test.h"
#include "kv2_runner.h"
#include "kv2_sample_asset.h"

#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

#ifdef KELVO_KV2_PATH
class Kv2BasisTest : public KelvoTest {
  protected:
    void TearDown() override {
        for (std::string const &Path : {Sample, There, Back}) {
            unlink(Path.c_str());
        }
        KelvoTest::TearDown();
    }
    std::string Sample = TemporaryPath("basis_sample.kv2");
    std::string There = TemporaryPath("basis_there.kv2");
    std::string Back = TemporaryPath("basis_back.kv2");
};

std::vector<std::string> ToBasis(std::string const &In, std::string const &Out, char const *Units,
                                 char const *Up, char const *Back) {
    return {"basis", In,       Out, "--units-per-meter", Units, "--right", "1,0,0", "--up",
            Up,      "--back", Back};
}

// The positions of the first mesh, the bone transforms and the art tool's
// units and up vector, as loaded from Path.
std::vector<float> Loaded(std::string const &Path) {
    std::vector<float> Values;
    kelvo_file *File = KelvoReadEntireFile(Path.c_str());
    kelvo_file_info *Info = File ? KelvoGetFileInfo(File) : nullptr;
    if (!Info) {
        KelvoFreeFile(File);
        return Values;
    }
    auto Add = [&](float const *From, int Count) {
        Values.insert(Values.end(), From, From + Count);
    };
    kelvo_vertex_data const *Data = Info->Meshes[0]->PrimaryVertexData;
    auto const *Vertices = static_cast<kelvo_pwnt3432_vertex const *>(Data->Vertices);
    for (int Index = 0; Index < Data->VertexCount; ++Index) {
        Add(Vertices[Index].Position, 3);
    }
    kelvo_skeleton const *Skeleton = Info->Skeletons[0];
    for (int Index = 0; Index < Skeleton->BoneCount; ++Index) {
        Add(Skeleton->Bones[Index].Transform.Position, 3);
        Add(Skeleton->Bones[Index].InverseWorldTransform, 16);
    }
    Add(&Info->ArtToolInfo->UnitsPerMeter, 1);
    Add(Info->ArtToolInfo->UpVector, 3);
    KelvoFreeFile(File);
    return Values;
}

TEST_F(Kv2BasisTest, ConvertsThereAndBack) {
    kv2::sample_asset Asset;
    ASSERT_TRUE(kv2::WriteSampleAsset(Asset, Sample.c_str()));
    run_result Run = RunKv2(ToBasis(Sample, There, "1", "0,0,1", "0,-1,0"));
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    std::vector<float> Converted = Loaded(There);
    ASSERT_FALSE(Converted.empty());
    // Vertex 2, (1, 1, 0) in centimetres with y up, is (0.01, 0, 0.01) in metres with z up.
    EXPECT_NEAR(Converted[6], 0.01f, 1e-7f);
    EXPECT_NEAR(Converted[7], 0, 1e-7f);
    EXPECT_NEAR(Converted[8], 0.01f, 1e-7f);
    EXPECT_EQ(std::vector<float>(Converted.end() - 4, Converted.end()),
              std::vector<float>({1, 0, 0, 1}));

    Run = RunKv2(ToBasis(There, Back, "100", "0,1,0", "0,0,1"));
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    std::vector<float> Original = Loaded(Sample), Restored = Loaded(Back);
    ASSERT_EQ(Restored.size(), Original.size());
    for (size_t Index = 0; Index < Original.size(); ++Index) {
        EXPECT_NEAR(Restored[Index], Original[Index], 1e-5f * (1 + std::fabs(Original[Index])))
            << Index;
    }
    EXPECT_EQ(RunKv2({"check", Back}).Status, 0);
}

TEST_F(Kv2BasisTest, RefusalsWriteNothing) {
    kv2::sample_asset Asset;
    Asset.FileInfo.ArtToolInfo = nullptr;
    ASSERT_TRUE(kv2::WriteSampleAsset(Asset, Sample.c_str()));
    std::string const Usage = "kv2: basis needs FILE OUT --units-per-meter U";
    struct {
        std::vector<std::string> Arguments;
        int Status;
        std::string Error;
    } const Cases[] = {
        {ToBasis(Sample, There, "1", "0,0,1", "0,-1,0"), 1,
         "it has no art tool info, so the basis it is in is unknown"},
        {ToBasis(Sample, There, "0", "0,0,1", "0,-1,0"), 2, Usage},
        {ToBasis(Sample, There, "1", "0,0", "0,-1,0"), 2, Usage},
        {ToBasis(Sample, There, "1", "0,0,1,", "0,-1,0"), 2, Usage},
        {ToBasis(Sample, There, "1", "0,0,x", "0,-1,0"), 2, Usage},
        {{"basis", Sample, There, "--units-per-meter", "1", "--right", "1,0,0"}, 2, Usage},
        {{"basis", Sample, There, "--units-per-meter", "1", "--units-per-meter", "2"}, 2, Usage},
    };
    for (auto const &Case : Cases) {
        run_result Run = RunKv2(Case.Arguments);
        EXPECT_EQ(Run.Status, Case.Status) << Run.Err;
        EXPECT_NE(Run.Err.find(Case.Error), std::string::npos) << Run.Err;
        EXPECT_NE(access(There.c_str(), F_OK), 0) << "an output was left behind";
    }
}
#endif

} // namespace
