// Pixel layouts and their conversion, S3TC sizes and blocks, extraction of
// texture levels, and the material searches.
#include "kelvo_test.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

class TextureTest : public KelvoTest {};

struct stock {
    char const *Name;
    kelvo_pixel_layout const *Layout;
};

std::vector<stock> StockLayouts() {
    return {{"RGB555", KelvoRGB555PixelFormat},     {"RGB565", KelvoRGB565PixelFormat},
            {"RGBA5551", KelvoRGBA5551PixelFormat}, {"RGBA4444", KelvoRGBA4444PixelFormat},
            {"RGB888", KelvoRGB888PixelFormat},     {"RGBA8888", KelvoRGBA8888PixelFormat},
            {"ARGB8888", KelvoARGB8888PixelFormat}, {"BGR555", KelvoBGR555PixelFormat},
            {"BGR565", KelvoBGR565PixelFormat},     {"BGRA5551", KelvoBGRA5551PixelFormat},
            {"BGRA4444", KelvoBGRA4444PixelFormat}, {"BGR888", KelvoBGR888PixelFormat},
            {"BGRA8888", KelvoBGRA8888PixelFormat}};
}

// Conversion as the layouts define it, one component value at a time: the
// top bits of the source value, widened with zeros.
kelvo_uint32 ReferenceConvert(kelvo_pixel_layout const &From, kelvo_uint32 Pixel,
                              kelvo_pixel_layout const &To) {
    kelvo_uint64 Result = 0;
    for (int C = 0; C < 4; ++C) {
        int SourceBits = From.BitsForComponent[C], Bits = To.BitsForComponent[C];
        if (Bits == 0 || SourceBits == 0) {
            continue;
        }
        kelvo_uint64 Value = (Pixel >> From.ShiftForComponent[C]) & ((1ull << SourceBits) - 1);
        Value = Bits >= SourceBits ? Value << (Bits - SourceBits) : Value >> (SourceBits - Bits);
        Result |= Value << To.ShiftForComponent[C];
    }
    return (kelvo_uint32)Result;
}

kelvo_uint32 ReadPixel(kelvo_uint8 const *At, int Bytes) {
    kelvo_uint32 Pixel = 0;
    for (int Byte = 0; Byte < Bytes; ++Byte) {
        Pixel |= (kelvo_uint32)At[Byte] << (8 * Byte);
    }
    return Pixel;
}

kelvo_uint32 ComponentMask(kelvo_pixel_layout const &Layout) {
    kelvo_uint64 Mask = 0;
    for (int C = 0; C < 4; ++C) {
        Mask |= ((1ull << Layout.BitsForComponent[C]) - 1) << Layout.ShiftForComponent[C];
    }
    return (kelvo_uint32)Mask;
}

TEST_F(TextureTest, StockSpecificationsReproduceTheStockLayouts) {
    struct {
        bool BGRA;
        kelvo_int32 Bits[4];
        kelvo_pixel_layout const *Expected;
    } const Cases[] = {
        {false, {5, 6, 5, 0}, KelvoRGB565PixelFormat},   {false, {8, 8, 8, 8}, KelvoRGBA8888PixelFormat},
        {false, {5, 5, 5, 0}, KelvoRGB555PixelFormat},   {false, {4, 4, 4, 4}, KelvoRGBA4444PixelFormat},
        {false, {5, 5, 5, 1}, KelvoRGBA5551PixelFormat}, {false, {8, 8, 8, 0}, KelvoRGB888PixelFormat},
        {true, {5, 6, 5, 0}, KelvoBGR565PixelFormat},    {true, {8, 8, 8, 8}, KelvoBGRA8888PixelFormat},
        {true, {5, 5, 5, 1}, KelvoBGRA5551PixelFormat},  {true, {8, 8, 8, 0}, KelvoBGR888PixelFormat},
        {true, {5, 5, 5, 0}, KelvoBGR555PixelFormat},
    };
    for (auto const &Case : Cases) {
        kelvo_pixel_layout Layout;
        (Case.BGRA ? KelvoSetStockBGRASpecification : KelvoSetStockRGBASpecification)(
            &Layout, Case.Bits[0], Case.Bits[1], Case.Bits[2], Case.Bits[3]);
        EXPECT_TRUE(KelvoPixelLayoutsAreEqual(&Layout, Case.Expected)) << Case.Bits[0];
        EXPECT_EQ(KelvoPixelLayoutHasAlpha(&Layout), Case.Bits[3] != 0);
    }
    // Reordered, and a component order that repeats a component is refused.
    kelvo_int32 const Bits[4] = {8, 8, 8, 8}, Argb[4] = {3, 0, 1, 2}, Twice[4] = {0, 0, 1, 2};
    kelvo_pixel_layout Layout = {};
    KelvoSetStockSpecification(&Layout, Bits, Argb);
    EXPECT_TRUE(KelvoPixelLayoutsAreEqual(&Layout, KelvoARGB8888PixelFormat));
    KelvoSetStockSpecification(&Layout, Bits, Twice);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoTextureLogMessage, "was not true");
    EXPECT_TRUE(KelvoPixelLayoutsAreEqual(&Layout, KelvoARGB8888PixelFormat)); // untouched
}

TEST_F(TextureTest, ConversionKeepsTheTopBitsOfEachComponent) {
    kelvo_uint8 const White565[2] = {0xFF, 0xFF};
    kelvo_uint8 Out[4] = {1, 1, 1, 1};
    KelvoConvertPixelFormat(1, 1, KelvoRGB565PixelFormat, 2, White565, KelvoRGBA8888PixelFormat, 4,
                            Out);
    EXPECT_EQ(std::vector<int>(Out, Out + 4), (std::vector<int>{0xF8, 0xFC, 0xF8, 0}));

    kelvo_uint8 const Bgra[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    kelvo_uint8 Rgba[8];
    KelvoConvertPixelFormat(2, 1, KelvoBGRA8888PixelFormat, 8, Bgra, KelvoRGBA8888PixelFormat, 8,
                            Rgba);
    EXPECT_EQ(std::vector<int>(Rgba, Rgba + 8), (std::vector<int>{3, 2, 1, 4, 7, 6, 5, 8}));
}

// Every pair of stock layouts against the reference, on rows of odd widths
// with padding that must stay untouched; then back without loss where the
// destination is at least as wide in every component.
TEST_F(TextureTest, EveryStockLayoutConvertsToEveryOther) {
    std::mt19937 Random(7);
    constexpr int Width = 7, Height = 3, Pad = 5;
    for (stock const &From : StockLayouts()) {
        int SourceStride = Width * From.Layout->BytesPerPixel + Pad;
        std::vector<kelvo_uint8> Source(SourceStride * Height);
        for (kelvo_uint8 &Byte : Source) {
            Byte = (kelvo_uint8)Random();
        }
        for (stock const &To : StockLayouts()) {
            SCOPED_TRACE(std::string(From.Name) + " to " + To.Name);
            int Bytes = To.Layout->BytesPerPixel, Stride = Width * Bytes + Pad;
            std::vector<kelvo_uint8> Converted(Stride * Height, 0xA5);
            KelvoConvertPixelFormat(Width, Height, From.Layout, SourceStride, Source.data(),
                                    To.Layout, Stride, Converted.data());
            bool Lossless = true;
            for (int C = 0; C < 4; ++C) {
                Lossless = Lossless && To.Layout->BitsForComponent[C] >= From.Layout->BitsForComponent[C];
            }
            std::vector<kelvo_uint8> Back(SourceStride * Height);
            KelvoConvertPixelFormat(Width, Height, To.Layout, Stride, Converted.data(), From.Layout,
                                    SourceStride, Back.data());
            for (int Row = 0; Row < Height; ++Row) {
                for (int X = 0; X < Width; ++X) {
                    kelvo_uint32 Pixel = ReadPixel(&Source[Row * SourceStride + X * From.Layout->BytesPerPixel],
                                                   From.Layout->BytesPerPixel);
                    ASSERT_EQ(ReadPixel(&Converted[Row * Stride + X * Bytes], Bytes),
                              ReferenceConvert(*From.Layout, Pixel, *To.Layout))
                        << "row " << Row << " pixel " << X;
                    if (Lossless) {
                        ASSERT_EQ(ReadPixel(&Back[Row * SourceStride + X * From.Layout->BytesPerPixel],
                                            From.Layout->BytesPerPixel),
                                  Pixel & ComponentMask(*From.Layout));
                    }
                }
                for (int Byte = Width * Bytes; Byte < Stride; ++Byte) {
                    ASSERT_EQ(Converted[Row * Stride + Byte], 0xA5) << "padding of row " << Row;
                }
            }
        }
    }
}

// One-byte pixels make whole-word access reach past the row; each row here
// is its own exact allocation, so the sanitizer build sees any overrun.
TEST_F(TextureTest, RowsOfEveryWidthAreTouchedOnlyWithinThemselves) {
    kelvo_pixel_layout RGB332, Gray8 = {1, {0, 0, 0, 0}, {8, 0, 0, 0}};
    KelvoSetStockRGBASpecification(&RGB332, 3, 3, 2, 0);
    ASSERT_EQ(RGB332.BytesPerPixel, 1);
    kelvo_pixel_layout const *Layouts[] = {&RGB332, &Gray8, KelvoRGB565PixelFormat,
                                           KelvoRGB888PixelFormat, KelvoRGBA8888PixelFormat};
    for (kelvo_pixel_layout const *From : Layouts) {
        for (kelvo_pixel_layout const *To : Layouts) {
            for (int Width = 1; Width <= 6; ++Width) {
                std::vector<kelvo_uint8> Source(Width * From->BytesPerPixel, 0xFF);
                std::vector<kelvo_uint8> Row(Width * To->BytesPerPixel);
                KelvoConvertPixelFormat(Width, 1, From, 0, Source.data(), To, 0, Row.data());
                kelvo_uint32 Expected = ReferenceConvert(*From, ComponentMask(*From), *To);
                for (int X = 0; X < Width; ++X) {
                    ASSERT_EQ(ReadPixel(&Row[X * To->BytesPerPixel], To->BytesPerPixel), Expected);
                }
            }
        }
    }
}

TEST_F(TextureTest, LayoutsOutsideTheirPixelAreRefused) {
    kelvo_pixel_layout const Bad[] = {
        {5, {0, 8, 16, 24}, {8, 8, 8, 8}},   // five bytes
        {0, {0, 0, 0, 0}, {0, 0, 0, 0}},     // none
        {2, {0, 5, 11, 0}, {5, 6, 6, 0}},    // blue past bit 16
        {4, {-1, 8, 16, 24}, {8, 8, 8, 8}},  // a negative shift
        {4, {0, 8, 16, 24}, {8, 8, 8, -8}},  // negative bits
    };
    for (kelvo_pixel_layout const &Layout : Bad) {
        kelvo_uint8 Source[8] = {}, Destination[8] = {9, 9, 9, 9, 9, 9, 9, 9};
        KelvoConvertPixelFormat(1, 1, &Layout, 8, Source, KelvoRGBA8888PixelFormat, 8, Destination);
        KelvoConvertPixelFormat(1, 1, KelvoRGBA8888PixelFormat, 8, Source, &Layout, 8, Destination);
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoTextureLogMessage, "has a component outside its pixel");
        ExpectLogged(KelvoErrorLogMessage, "has a component outside its pixel");
        EXPECT_EQ(Destination[0], 9);
    }
}

TEST_F(TextureTest, NamesAndS3TCMeasures) {
    EXPECT_STREQ(KelvoGetTextureTypeName(0), "Color map");
    EXPECT_STREQ(KelvoGetTextureTypeName(1), "Cube map");
    EXPECT_STREQ(KelvoGetTextureTypeName(2), "Unknown texture type");
    char const *const Encodings[] = {"User-defined texture format", "Raw texture format",
                                     "S3TC format", "Tarn texture format", "Unknown texture format"};
    for (int Encoding = 0; Encoding < 5; ++Encoding) {
        EXPECT_STREQ(KelvoGetTextureEncodingName(Encoding), Encodings[Encoding]);
    }
    EXPECT_STREQ(KelvoGetTextureEncodingName(-1), "Unknown texture format");
    struct {
        char const *Name;
        kelvo_pixel_layout const *Layout;
    } const Formats[] = {{"S3TC RGB555 (DXT1)", KelvoBGR565PixelFormat},
                         {"S3TC RGBA5551 (DXT1 with alpha)", KelvoBGRA5551PixelFormat},
                         {"S3TC RGBA8888, mapped alpha (DXT2/3)", KelvoBGRA8888PixelFormat},
                         {"S3TC RGBA8888, interpolated alpha (DXT4/5)", KelvoBGRA8888PixelFormat}};
    for (int Format = 0; Format < 4; ++Format) {
        EXPECT_STREQ(KelvoGetS3TCTextureFormatName(Format), Formats[Format].Name);
        EXPECT_EQ(KelvoGetS3TCPixelLayout(Format), Formats[Format].Layout);
    }
    EXPECT_EQ(KelvoGetS3TCPixelLayout(4), nullptr);

    struct {
        kelvo_int32 Format, Width, Height, Bytes;
    } const Sizes[] = {{0, 1, 1, 8}, {3, 8, 8, 64},  {1, 4, 4, 8},    {2, 2, 16, 64},
                       {0, 6, 6, 32}, {3, 5, 4, 32}, {0, 16, 8, 64}, {2, 1, 1, 16}};
    for (auto const &Size : Sizes) {
        EXPECT_EQ(KelvoGetS3TCImageSize(Size.Format, Size.Width, Size.Height), Size.Bytes)
            << Size.Format << " " << Size.Width << "x" << Size.Height;
    }
    EXPECT_EQ(KelvoGetS3TCImageSize(4, 4, 4), 0);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoTextureLogMessage,
                     "Unrecognized S3TC texture format (4)");
}

// A texture of one image whose levels are the given byte strings.
struct test_texture {
    std::vector<std::vector<kelvo_uint8>> Bytes;
    std::vector<kelvo_texture_mip_level> Levels;
    kelvo_texture_image Image = {};
    kelvo_texture Texture = {};

    test_texture(kelvo_int32 Encoding, kelvo_int32 SubFormat, kelvo_int32 Width,
                 kelvo_int32 Height, kelvo_pixel_layout const &Layout,
                 std::vector<std::vector<kelvo_uint8>> LevelBytes, kelvo_int32 Stride = 0)
        : Bytes(std::move(LevelBytes)) {
        for (auto &Level : Bytes) {
            Levels.push_back({Stride, (kelvo_int32)Level.size(), Level.data()});
        }
        Image = {(kelvo_int32)Levels.size(), Levels.data()};
        Texture.FromFileName = "test.tga";
        Texture.Width = Width;
        Texture.Height = Height;
        Texture.Encoding = Encoding;
        Texture.SubFormat = SubFormat;
        Texture.Layout = Layout;
        Texture.ImageCount = 1;
        Texture.Images = &Image;
    }
};

// Each level of a test texture in RGBA8888, one vector of 4 bytes a pixel.
std::vector<std::vector<int>> CopyRGBA(kelvo_texture const &Texture, kelvo_int32 Width,
                                       kelvo_int32 Height) {
    std::vector<kelvo_uint8> Pixels(Width * Height * 4);
    EXPECT_TRUE(KelvoCopyTextureImage(&Texture, 0, 0, KelvoRGBA8888PixelFormat, Width, Height,
                                      Width * 4, Pixels.data()));
    std::vector<std::vector<int>> Result;
    for (size_t At = 0; At < Pixels.size(); At += 4) {
        Result.push_back({Pixels[At], Pixels[At + 1], Pixels[At + 2], Pixels[At + 3]});
    }
    return Result;
}

std::vector<kelvo_uint8> Little(std::initializer_list<kelvo_uint64> Words, int Bytes) {
    std::vector<kelvo_uint8> Result;
    for (kelvo_uint64 Word : Words) {
        for (int Byte = 0; Byte < Bytes; ++Byte) {
            Result.push_back((kelvo_uint8)(Word >> (8 * Byte)));
        }
    }
    return Result;
}

// Colour end points and 2-bit indices, pixel 0 in the lowest bits.
std::vector<kelvo_uint8> ColourBlock(kelvo_uint16 First, kelvo_uint16 Second,
                                     kelvo_uint32 Indices) {
    std::vector<kelvo_uint8> Block = Little({First, Second}, 2);
    std::vector<kelvo_uint8> Rest = Little({Indices}, 4);
    Block.insert(Block.end(), Rest.begin(), Rest.end());
    return Block;
}

TEST_F(TextureTest, DXT1BlocksDecodeInBothColourModes) {
    // Red over blue: four colours, the two between at thirds. Pixel p takes
    // index p % 4.
    test_texture Four(2, 0, 4, 4, *KelvoBGR565PixelFormat, {ColourBlock(0xF800, 0x001F, 0xE4E4E4E4)});
    std::vector<std::vector<int>> Pixels = CopyRGBA(Four.Texture, 4, 4);
    std::vector<std::vector<int>> const FourColours = {
        {255, 0, 0, 255}, {0, 0, 255, 255}, {170, 0, 85, 255}, {85, 0, 170, 255}};
    for (int Pixel = 0; Pixel < 16; ++Pixel) {
        EXPECT_EQ(Pixels[Pixel], FourColours[Pixel % 4]) << Pixel;
    }
    // First end point not the larger: three colours and transparent black.
    test_texture Three(2, 1, 4, 4, *KelvoBGRA5551PixelFormat, {ColourBlock(0x0000, 0x1040, 0xE4E4E4E4)});
    Pixels = CopyRGBA(Three.Texture, 4, 4);
    std::vector<std::vector<int>> const ThreeColours = {
        {0, 0, 0, 255}, {16, 8, 0, 255}, {8, 4, 0, 255}, {0, 0, 0, 0}};
    for (int Pixel = 0; Pixel < 16; ++Pixel) {
        EXPECT_EQ(Pixels[Pixel], ThreeColours[Pixel % 4]) << Pixel;
    }
}

TEST_F(TextureTest, DXT3AndDXT5BlocksDecodeTheirAlpha) {
    // Blue over red with every index 3: no three-colour mode in these formats.
    std::vector<kelvo_uint8> const Colour = ColourBlock(0x001F, 0xF800, 0xFFFFFFFF);
    std::vector<kelvo_uint8> Explicit;
    for (int Byte = 0; Byte < 8; ++Byte) {
        Explicit.push_back((kelvo_uint8)(2 * Byte | (2 * Byte + 1) << 4)); // pixel p has alpha p
    }
    Explicit.insert(Explicit.end(), Colour.begin(), Colour.end());
    test_texture DXT3(2, 2, 4, 4, *KelvoBGRA8888PixelFormat, {Explicit});
    std::vector<std::vector<int>> Pixels = CopyRGBA(DXT3.Texture, 4, 4);
    for (int Pixel = 0; Pixel < 16; ++Pixel) {
        EXPECT_EQ(Pixels[Pixel], (std::vector<int>{170, 0, 85, 17 * Pixel})) << Pixel;
    }
    // Interpolated alpha, pixel p taking index p % 8: eight values when the
    // first end point is larger, else six with 0 and 255.
    kelvo_uint64 Indices = 0;
    for (int Pixel = 0; Pixel < 16; ++Pixel) {
        Indices |= (kelvo_uint64)(Pixel % 8) << (3 * Pixel);
    }
    struct {
        kelvo_uint8 First, Second;
        int Alphas[8];
    } const Modes[] = {{70, 0, {70, 0, 60, 50, 40, 30, 20, 10}},
                       {0, 50, {0, 50, 10, 20, 30, 40, 0, 255}}};
    for (auto const &Mode : Modes) {
        std::vector<kelvo_uint8> Block = {Mode.First, Mode.Second};
        std::vector<kelvo_uint8> IndexBytes = Little({Indices}, 6);
        Block.insert(Block.end(), IndexBytes.begin(), IndexBytes.end());
        Block.insert(Block.end(), Colour.begin(), Colour.end());
        test_texture DXT5(2, 3, 4, 4, *KelvoBGRA8888PixelFormat, {Block});
        Pixels = CopyRGBA(DXT5.Texture, 4, 4);
        for (int Pixel = 0; Pixel < 16; ++Pixel) {
            EXPECT_EQ(Pixels[Pixel], (std::vector<int>{170, 0, 85, Mode.Alphas[Pixel % 8]}))
                << "first " << (int)Mode.First << " pixel " << Pixel;
        }
    }
}

// A 5 x 3 level is two blocks wide; the right block's first column lands in
// column 4 and the rest is clipped.
TEST_F(TextureTest, S3TCEdgeBlocksAreClipped) {
    std::vector<kelvo_uint8> Blocks = ColourBlock(0xF800, 0x001F, 0);
    std::vector<kelvo_uint8> Second = ColourBlock(0xF800, 0x001F, 0x55555555);
    Blocks.insert(Blocks.end(), Second.begin(), Second.end());
    test_texture Edge(2, 0, 5, 3, *KelvoBGR565PixelFormat, {Blocks});
    std::vector<std::vector<int>> Pixels = CopyRGBA(Edge.Texture, 5, 3);
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 5; ++Column) {
            EXPECT_EQ(Pixels[Row * 5 + Column][0], Column < 4 ? 255 : 0) << Row << "," << Column;
        }
    }
}

TEST_F(TextureTest, RawLevelsConvertWithTheirStride) {
    // 3 x 2 RGB565 with a 2-byte pad per row, MIP level 1 is 1 x 1.
    test_texture Raw(1, 0, 3, 2, *KelvoRGB565PixelFormat,
                     {Little({0xF800, 0x07E0, 0x001F, 0, 0xFFFF, 0x0000, 0xF81F, 0}, 2),
                      Little({0x07E0}, 2)},
                     8);
    kelvo_uint8 Pixels[6 * 4];
    ASSERT_TRUE(KelvoCopyTextureImage(&Raw.Texture, 0, 0, KelvoBGR888PixelFormat, 3, 2, 12, Pixels));
    // BGR888: blue, green, red bytes.
    EXPECT_EQ(std::vector<int>(Pixels, Pixels + 9), (std::vector<int>{0xF8, 0, 0, 0, 0xFC, 0, 0, 0, 0xF8}));
    EXPECT_EQ(std::vector<int>(Pixels + 12, Pixels + 21),
              (std::vector<int>{0xF8, 0xFC, 0xF8, 0, 0, 0, 0xF8, 0, 0xF8}));
    kelvo_uint8 Small[4] = {};
    ASSERT_TRUE(KelvoCopyTextureImage(&Raw.Texture, 0, 1, KelvoRGBA8888PixelFormat, 1, 1, 4, Small));
    EXPECT_EQ(std::vector<int>(Small, Small + 4), (std::vector<int>{0, 0xFC, 0, 0}));

    kelvo_pixel_layout Recommended = {};
    EXPECT_TRUE(KelvoGetRecommendedPixelLayout(&Raw.Texture, &Recommended));
    EXPECT_TRUE(KelvoPixelLayoutsAreEqual(&Recommended, KelvoRGB565PixelFormat));
    EXPECT_FALSE(KelvoTextureHasAlpha(&Raw.Texture));
    Raw.Texture.Encoding = 2;
    Raw.Texture.SubFormat = 3;
    EXPECT_TRUE(KelvoGetRecommendedPixelLayout(&Raw.Texture, &Recommended));
    EXPECT_TRUE(KelvoPixelLayoutsAreEqual(&Recommended, KelvoBGRA8888PixelFormat));
    Raw.Texture.Encoding = 0;
    EXPECT_FALSE(KelvoGetRecommendedPixelLayout(&Raw.Texture, &Recommended));
}

TEST_F(TextureTest, CopyingRefusesWhatItCannotDo) {
    // 16 x 4 with four MIP levels: level 3 is 2 x 1.
    std::vector<std::vector<kelvo_uint8>> Levels = {std::vector<kelvo_uint8>(16 * 4 * 4),
                                                    std::vector<kelvo_uint8>(8 * 2 * 4),
                                                    std::vector<kelvo_uint8>(4 * 1 * 4),
                                                    std::vector<kelvo_uint8>(2 * 1 * 4)};
    test_texture Texture(1, 0, 16, 4, *KelvoRGBA8888PixelFormat, Levels, 64);
    for (kelvo_int32 Level = 0; Level < 4; ++Level) {
        Texture.Levels[Level].Stride = std::max(1, 16 >> Level) * 4;
    }
    kelvo_uint8 Pixels[16 * 4 * 4];
    EXPECT_TRUE(KelvoCopyTextureImage(&Texture.Texture, 0, 3, KelvoRGBA8888PixelFormat, 2, 1, 8, Pixels));
    EXPECT_FALSE(KelvoCopyTextureImage(&Texture.Texture, 0, 3, KelvoRGBA8888PixelFormat, 4, 2, 16, Pixels));
    std::vector<captured_message> Messages = TakeMessages();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Type, KelvoWarningLogMessage);
    EXPECT_EQ(Messages[0].Origin, KelvoNotImplementedLogMessage);
    EXPECT_EQ(Messages[0].Text, "Automatic rescaling not supported");

    struct {
        kelvo_int32 Encoding, SubFormat, Image, Level;
        char const *Message;
    } const Refusals[] = {
        {1, 0, 1, 0, "ImageIndex 1 is out of range [0, 1)"},
        {1, 0, -1, 0, "ImageIndex -1 is out of range [0, 1)"},
        {1, 0, 0, 4, "MIPIndex 4 is out of range [0, 4)"},
        {2, 4, 0, 0, "Unrecognized S3 texture format (4)"},
        {3, 0, 0, 0, "does not include the Tarn texture codec"},
        {0, 0, 0, 0, nullptr}, // user-defined: nothing to report
    };
    for (auto const &Refusal : Refusals) {
        Texture.Texture.Encoding = Refusal.Encoding;
        Texture.Texture.SubFormat = Refusal.SubFormat;
        EXPECT_FALSE(KelvoCopyTextureImage(&Texture.Texture, Refusal.Image, Refusal.Level,
                                           KelvoRGBA8888PixelFormat, 16, 4, 64, Pixels));
        if (Refusal.Message) {
            ExpectLoggedFrom(KelvoErrorLogMessage, KelvoTextureLogMessage, Refusal.Message);
        }
    }
}

// Levels are measured before they are read, wherever the texture came from.
TEST_F(TextureTest, ShortLevelsAreRefusedNotReadPast) {
    struct {
        kelvo_int32 Encoding, SubFormat, Stride, Bytes;
        char const *Message;
    } const Cases[] = {
        {1, 0, 16, 63, "holds 63 bytes where its 4 x 4 pixels need 64"},
        {1, 0, 20, 75, "holds 75 bytes where its 4 x 4 pixels need 76"},
        {1, 0, 12, 64, "has stride 12, shorter than its 16-byte rows"},
        {2, 0, 0, 7, "holds 7 bytes where its 4 x 4 pixels need 8"},
        {2, 3, 0, 15, "holds 15 bytes where its 4 x 4 pixels need 16"},
    };
    for (auto const &Case : Cases) {
        test_texture Short(Case.Encoding, Case.SubFormat, 4, 4, *KelvoRGBA8888PixelFormat,
                           {std::vector<kelvo_uint8>(Case.Bytes)}, Case.Stride);
        kelvo_uint8 Pixels[64];
        EXPECT_FALSE(KelvoCopyTextureImage(&Short.Texture, 0, 0, KelvoRGBA8888PixelFormat, 4, 4, 16, Pixels));
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoTextureLogMessage, Case.Message);
    }
}

TEST_F(TextureTest, S3TCCopyFailsCleanlyWithoutMemory) {
    test_texture Texture(2, 0, 4, 4, *KelvoBGR565PixelFormat, {ColourBlock(0, 0, 0)});
    kelvo_uint8 Pixels[64];
    failing_allocator Failing(1, false, false);
    EXPECT_FALSE(KelvoCopyTextureImage(&Texture.Texture, 0, 0, KelvoRGBA8888PixelFormat, 4, 4, 16, Pixels));
    EXPECT_EQ(Failing.Failures, 1);
}

// ---- materials -------------------------------------------------------------

struct material_graph {
    kelvo_texture Textures[3] = {};
    kelvo_material Materials[6] = {};
    std::vector<kelvo_material_map> Maps[6];

    void Link(int From, char const *Usage, int To) {
        Maps[From].push_back({Usage, &Materials[To]});
        Materials[From].MapCount = (kelvo_int32)Maps[From].size();
        Materials[From].Maps = Maps[From].data();
    }
};

TEST_F(TextureTest, MaterialSearchesFollowMapsByUsage) {
    material_graph Graph;
    // 0 --"Diffuse Color"--> 1 (textured 0); 0 --"bump"--> 2 --"x"--> 3 (textured 1);
    // 0 --"Opacity"--> 4, which has no texture anywhere below it.
    Graph.Materials[1].Texture = &Graph.Textures[0];
    Graph.Materials[3].Texture = &Graph.Textures[1];
    Graph.Link(0, "Diffuse Color", 1);
    Graph.Link(0, "bump", 2);
    Graph.Link(2, "x", 3);
    Graph.Link(0, "Opacity", 4);
    Graph.Link(0, "opacity", 3);
    kelvo_material const *Root = &Graph.Materials[0];
    EXPECT_EQ(KelvoGetMaterialTextureByType(Root, KelvoDiffuseColorTexture), &Graph.Textures[0]);
    EXPECT_EQ(KelvoGetMaterialTextureByType(Root, KelvoSpecularColorTexture), nullptr);
    EXPECT_EQ(KelvoGetMaterialTextureByType(Root, KelvoBumpHeightTexture), &Graph.Textures[1]);
    // The first map of the type leads nowhere, so the next one counts.
    EXPECT_EQ(KelvoGetMaterialTextureByType(Root, KelvoOpacityTexture), &Graph.Textures[1]);
    EXPECT_EQ(KelvoGetMaterialTextureByType(Root, 0), nullptr);
    EXPECT_EQ(KelvoGetMaterialTextureByType(nullptr, 2), nullptr);

    EXPECT_EQ(KelvoGetTexturedMaterialByChannelName(Root, "DIFFUSE COLOR"), &Graph.Materials[1]);
    EXPECT_EQ(KelvoGetMaterialTextureByChannelName(Root, "Bump"), &Graph.Textures[1]);
    EXPECT_EQ(KelvoGetMaterialTextureByChannelName(Root, "diffuse"), nullptr);
    EXPECT_EQ(KelvoGetMaterialTextureByChannelName(nullptr, "bump"), nullptr);
}

TEST_F(TextureTest, MaterialSearchesSurviveCyclesAndDepth) {
    material_graph Graph;
    // 0 -> 1 -> 2 -> 1 (a cycle), and 2 -> 3 textured after the cycle.
    Graph.Materials[3].Texture = &Graph.Textures[2];
    Graph.Link(0, "diffuse", 1);
    Graph.Link(1, "a", 2);
    Graph.Link(2, "back", 1);
    Graph.Link(2, "self", 2);
    Graph.Link(2, "on", 3);
    EXPECT_EQ(KelvoGetMaterialTextureByType(&Graph.Materials[0], 2), &Graph.Textures[2]);

    // A chain deeper than the search goes stops with a warning.
    std::vector<kelvo_material> Chain(100);
    std::vector<kelvo_material_map> Links(100);
    for (size_t Index = 0; Index + 1 < Chain.size(); ++Index) {
        Links[Index] = {"diffuse", &Chain[Index + 1]};
        Chain[Index].MapCount = 1;
        Chain[Index].Maps = &Links[Index];
    }
    Chain.back().Texture = &Graph.Textures[0];
    EXPECT_EQ(KelvoGetMaterialTextureByType(&Chain[0], 2), nullptr);
    ExpectLoggedFrom(KelvoWarningLogMessage, KelvoMaterialLogMessage, "more than 64 levels deep");
}

} // namespace
