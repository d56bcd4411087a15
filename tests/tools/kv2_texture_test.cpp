// kv2 texture: the sample's texture as a PNG, read back with stb_image, and
// the refusals that leave no output behind.
#include "kelvo_test.h"
#include "kv2_runner.h"
#include "kv2_sample_asset.h"

#include <unistd.h>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include <string>
#include <vector>

namespace {

#ifdef KELVO_KV2_PATH
class Kv2TextureTest : public KelvoTest {
  protected:
    void TearDown() override {
        unlink(Sample.c_str());
        unlink(Png.c_str());
        KelvoTest::TearDown();
    }
    std::string Sample = TemporaryPath("texture_sample.kv2");
    std::string Png = TemporaryPath("texture.png");
};

TEST_F(Kv2TextureTest, RawTexturesBecomePngs) {
    kv2::sample_asset Asset;
    Asset.Texture.Encoding = 1; // its 2 x 2 BGRA8888 pixels, raw
    ASSERT_TRUE(kv2::WriteSampleAsset(Asset, Sample.c_str()));
    run_result Run = RunKv2({"texture", Sample, "checker.tga", Png});
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    int Width, Height, Channels;
    unsigned char *Pixels = stbi_load(Png.c_str(), &Width, &Height, &Channels, 0);
    ASSERT_NE(Pixels, nullptr);
    EXPECT_EQ(Width, 2);
    EXPECT_EQ(Height, 2);
    ASSERT_EQ(Channels, 4);
    for (int Pixel = 0; Pixel < 4; ++Pixel) {
        kelvo_uint8 const *Stored = &Asset.LargeMIPPixels[4 * Pixel]; // blue, green, red, alpha
        std::vector<int> Expected = {Stored[2], Stored[1], Stored[0], Stored[3]};
        EXPECT_EQ(std::vector<int>(Pixels + 4 * Pixel, Pixels + 4 * Pixel + 4), Expected) << Pixel;
    }
    stbi_image_free(Pixels);
}

TEST_F(Kv2TextureTest, RefusalsWriteNothing) {
    kv2::sample_asset Asset; // its texture is of the user-defined encoding
    ASSERT_TRUE(kv2::WriteSampleAsset(Asset, Sample.c_str()));
    struct {
        std::vector<std::string> Arguments;
        int Status;
        char const *Error;
    } const Cases[] = {
        {{"texture", Sample, "brick.tga", Png}, 1, "no texture is named 'brick.tga' (it has checker.tga)"},
        {{"texture", Sample, "checker.tga", Png}, 1,
         "checker.tga: textures of the User-defined texture format cannot be extracted"},
        {{"texture", Sample, "checker.tga"}, 2, "kv2: texture needs FILE NAME OUT.png"},
    };
    for (auto const &Case : Cases) {
        run_result Run = RunKv2(Case.Arguments);
        EXPECT_EQ(Run.Status, Case.Status);
        EXPECT_NE(Run.Err.find(Case.Error), std::string::npos) << Run.Err;
        EXPECT_NE(access(Png.c_str(), F_OK), 0) << "an output was left behind";
    }
}
#endif

} // namespace
