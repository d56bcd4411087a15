// Textures: names, S3TC sizes and block decoding, and extraction of one
// level into a caller's buffer in any pixel layout.
//
// Levels come from files. Before a level is read its bytes are measured
// against what its size needs (CheckTextureLevel), here as well as in the
// asset check, so a texture reached only through a material is no less safe.
#include "asset/kelvo_texture.h"

#include "foundation/kelvo_format.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <string.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoTextureLogMessage;
constexpr kelvo_int32 RecordNameSize = 192;

enum encoding : kelvo_int32 { UserDefined = 0, Raw = 1, S3TC = 2, Tarn = 3 };
constexpr kelvo_int32 S3TCFormatCount = 4;

char const *NameOf(char const *Name) {
    return Name ? Name : "(unnamed)";
}

kelvo_int64 S3TCBlockBytes(kelvo_int32 Format) {
    return Format <= 1 ? 8 : 16;
}

kelvo_int64 S3TCSize(kelvo_int32 Format, kelvo_int32 Width, kelvo_int32 Height) {
    kelvo_int64 BlocksWide = ((kelvo_int64)(Width > 0 ? Width : 1) + 3) / 4;
    kelvo_int64 BlocksHigh = ((kelvo_int64)(Height > 0 ? Height : 1) + 3) / 4;
    return BlocksWide * BlocksHigh * S3TCBlockBytes(Format);
}

// ---- S3TC blocks ------------------------------------------------------------------
// Colours are decoded as BGRA8888 words: alpha << 24 | red << 16 | green << 8 | blue.

kelvo_uint32 Bgra(kelvo_uint32 Red, kelvo_uint32 Green, kelvo_uint32 Blue, kelvo_uint32 Alpha) {
    return Alpha << 24 | Red << 16 | Green << 8 | Blue;
}

struct rgb {
    kelvo_uint32 Red, Green, Blue;
};

rgb Expand565(kelvo_uint32 Colour) {
    kelvo_uint32 Red = Colour >> 11 & 31, Green = Colour >> 5 & 63, Blue = Colour & 31;
    return {Red << 3 | Red >> 2, Green << 2 | Green >> 4, Blue << 3 | Blue >> 2};
}

// (A * WeightA + B * WeightB) / (WeightA + WeightB), rounded to nearest.
kelvo_uint32 Mix(kelvo_uint32 A, kelvo_uint32 WeightA, kelvo_uint32 B, kelvo_uint32 WeightB) {
    kelvo_uint32 Total = WeightA + WeightB;
    return (A * WeightA + B * WeightB + Total / 2) / Total;
}

rgb MixColour(rgb A, kelvo_uint32 WeightA, rgb B, kelvo_uint32 WeightB) {
    return {Mix(A.Red, WeightA, B.Red, WeightB), Mix(A.Green, WeightA, B.Green, WeightB),
            Mix(A.Blue, WeightA, B.Blue, WeightB)};
}

kelvo_uint32 Little16(kelvo_uint8 const *At) {
    return (kelvo_uint32)At[0] | (kelvo_uint32)At[1] << 8;
}

kelvo_uint32 Little32(kelvo_uint8 const *At) {
    return Little16(At) | Little16(At + 2) << 16;
}

// The colour half of a block: two 565 end points and 2-bit indices. Only
// DXT1 has the three-colour mode (the third colour the mean, the fourth
// transparent black) when the first end point is not the larger.
void DecodeColours(kelvo_uint8 const *Block, bool ThreeColourMode, kelvo_uint32 Pixels[16]) {
    kelvo_uint32 First = Little16(Block), Second = Little16(Block + 2);
    rgb A = Expand565(First), B = Expand565(Second);
    kelvo_uint32 Palette[4];
    Palette[0] = Bgra(A.Red, A.Green, A.Blue, 255);
    Palette[1] = Bgra(B.Red, B.Green, B.Blue, 255);
    if (ThreeColourMode && First <= Second) {
        rgb Mean = MixColour(A, 1, B, 1);
        Palette[2] = Bgra(Mean.Red, Mean.Green, Mean.Blue, 255);
        Palette[3] = 0;
    } else {
        rgb Near = MixColour(A, 2, B, 1), Far = MixColour(A, 1, B, 2);
        Palette[2] = Bgra(Near.Red, Near.Green, Near.Blue, 255);
        Palette[3] = Bgra(Far.Red, Far.Green, Far.Blue, 255);
    }
    kelvo_uint32 Indices = Little32(Block + 4);
    for (int Pixel = 0; Pixel < 16; ++Pixel) {
        Pixels[Pixel] = Palette[Indices >> (2 * Pixel) & 3];
    }
}

void SetAlpha(kelvo_uint32 &Pixel, kelvo_uint32 Alpha) {
    Pixel = (Pixel & 0x00FFFFFFu) | Alpha << 24;
}

void DecodeDXT1(kelvo_uint8 const *Block, kelvo_uint32 Pixels[16]) {
    DecodeColours(Block, true, Pixels);
}

// Explicit 4-bit alpha per pixel, low nibble first.
void DecodeDXT3(kelvo_uint8 const *Block, kelvo_uint32 Pixels[16]) {
    DecodeColours(Block + 8, false, Pixels);
    for (int Pixel = 0; Pixel < 16; ++Pixel) {
        kelvo_uint32 Alpha = Block[Pixel / 2] >> (4 * (Pixel & 1)) & 15;
        SetAlpha(Pixels[Pixel], Alpha * 17);
    }
}

// Two alpha end points and 3-bit indices: eight interpolated values when
// the first is larger, otherwise six with 0 and 255 as the last two.
void DecodeDXT5(kelvo_uint8 const *Block, kelvo_uint32 Pixels[16]) {
    DecodeColours(Block + 8, false, Pixels);
    kelvo_uint32 A = Block[0], B = Block[1];
    kelvo_uint32 Alphas[8] = {A, B};
    if (A > B) {
        for (kelvo_uint32 Step = 1; Step < 7; ++Step) {
            Alphas[Step + 1] = Mix(A, 7 - Step, B, Step);
        }
    } else {
        for (kelvo_uint32 Step = 1; Step < 5; ++Step) {
            Alphas[Step + 1] = Mix(A, 5 - Step, B, Step);
        }
        Alphas[6] = 0;
        Alphas[7] = 255;
    }
    kelvo_uint64 Indices = 0;
    for (int Byte = 0; Byte < 6; ++Byte) {
        Indices |= (kelvo_uint64)Block[2 + Byte] << (8 * Byte);
    }
    for (int Pixel = 0; Pixel < 16; ++Pixel) {
        SetAlpha(Pixels[Pixel], Alphas[Indices >> (3 * Pixel) & 7]);
    }
}

// Decodes a level into Width x Height BGRA8888 pixels, clipping the blocks
// of the right and bottom edges.
void DecodeS3TC(kelvo_int32 Format, kelvo_uint8 const *Bytes, kelvo_int32 Width,
                kelvo_int32 Height, kelvo_uint8 *Pixels) {
    void (*Decode)(kelvo_uint8 const *, kelvo_uint32[16]) =
        Format <= 1 ? DecodeDXT1 : Format == 2 ? DecodeDXT3 : DecodeDXT5;
    kelvo_int32 BlockBytes = (kelvo_int32)S3TCBlockBytes(Format);
    for (kelvo_int32 Top = 0; Top < Height; Top += 4) {
        for (kelvo_int32 Left = 0; Left < Width; Left += 4, Bytes += BlockBytes) {
            kelvo_uint32 Block[16];
            Decode(Bytes, Block);
            for (kelvo_int32 Y = 0; Y < 4 && Top + Y < Height; ++Y) {
                for (kelvo_int32 X = 0; X < 4 && Left + X < Width; ++X) {
                    kelvo_uint8 *At = Pixels + 4 * ((kelvo_int64)(Top + Y) * Width + Left + X);
                    kelvo_uint32 Pixel = Block[4 * Y + X];
                    At[0] = (kelvo_uint8)Pixel;
                    At[1] = (kelvo_uint8)(Pixel >> 8);
                    At[2] = (kelvo_uint8)(Pixel >> 16);
                    At[3] = (kelvo_uint8)(Pixel >> 24);
                }
            }
        }
    }
}

bool IndexIsInRange(char const *Name, kelvo_int32 Index, kelvo_int32 Count) {
    if (Index < 0 || Index >= Count) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): %s %d is out of range [0, %d)", KELVO_HERE, Name,
            Index, Count);
        return false;
    }
    return true;
}

bool CopyS3TCLevel(kelvo_texture const &Texture, kelvo_texture_mip_level const &Level,
                   kelvo_int32 Width, kelvo_int32 Height, kelvo_pixel_layout const &Layout,
                   kelvo_int32 Stride, void *Pixels) {
    // The level check has refused sizes whose buffer exceeds int32.
    kelvo_int32 Size = (kelvo_int32)((kelvo_int64)Width * Height * 4);
    kelvo_uint8 *Decoded = static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_SIZE(Size));
    if (!Decoded) {
        return false;
    }
    DecodeS3TC(Texture.SubFormat, Level.PixelBytes, Width, Height, Decoded);
    KelvoConvertPixelFormat(Width, Height, KelvoBGRA8888PixelFormat, 4 * Width, Decoded, &Layout,
                            Stride, Pixels);
    KELVO_DEALLOCATE(Decoded);
    return true;
}

} // namespace

namespace kelvo {

void GetMIPLevelSize(kelvo_texture const &Texture, kelvo_int32 MIPIndex, kelvo_int32 &Width,
                     kelvo_int32 &Height) {
    kelvo_int32 Shift = MIPIndex < 31 ? MIPIndex : 31;
    Width = Texture.Width >> Shift;
    Height = Texture.Height >> Shift;
    Width = Width > 1 ? Width : 1;
    Height = Height > 1 ? Height : 1;
}

bool CheckTextureLevel(kelvo_texture const &Texture, kelvo_int32 ImageIndex, kelvo_int32 MIPIndex,
                       char const *Record) {
    kelvo_texture_mip_level const &Level = Texture.Images[ImageIndex].MIPLevels[MIPIndex];
    kelvo_int32 Width, Height;
    GetMIPLevelSize(Texture, MIPIndex, Width, Height);
    kelvo_int64 Needed = 0;
    if (Texture.Encoding == Raw) {
        if (!CheckPixelLayout(Texture.Layout, Record)) {
            return false;
        }
        kelvo_int64 RowBytes = (kelvo_int64)Width * Texture.Layout.BytesPerPixel;
        if (Level.Stride < RowBytes) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): MIP level %d of image %d of %s has stride %d, shorter than its %I64d-byte "
                "rows",
                KELVO_HERE, MIPIndex, ImageIndex, Record, Level.Stride, RowBytes);
            return false;
        }
        Needed = (kelvo_int64)(Height - 1) * Level.Stride + RowBytes;
    } else if (Texture.Encoding == S3TC) {
        if (Texture.SubFormat < 0 || Texture.SubFormat >= S3TCFormatCount) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): Unrecognized S3 texture format (%d)",
                KELVO_HERE, Texture.SubFormat);
            return false;
        }
        Needed = S3TCSize(Texture.SubFormat, Width, Height);
        // Decoding goes through a buffer of 4 bytes a pixel.
        if ((kelvo_int64)Width * Height * 4 > 0x7fffffff) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): MIP level %d of image %d of %s is %d x %d pixels, too large to decode",
                KELVO_HERE, MIPIndex, ImageIndex, Record, Width, Height);
            return false;
        }
    }
    if (Level.PixelByteCount < Needed || (Level.PixelByteCount > 0 && !Level.PixelBytes)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): MIP level %d of image %d of %s holds %d bytes where its %d x %d pixels need "
            "%I64d",
            KELVO_HERE, MIPIndex, ImageIndex, Record, Level.PixelBytes ? Level.PixelByteCount : 0,
            Width, Height, Needed);
        return false;
    }
    return true;
}

bool CheckTexture(kelvo_texture const &Texture, kelvo_int32 Index) {
    char Record[RecordNameSize];
    Format(RecordNameSize, Record, "texture %d (\"%s\")", Index, NameOf(Texture.FromFileName));
    if ((Texture.ImageCount > 0 && !Texture.Images) || Texture.Width < 0 || Texture.Height < 0) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): The %s counts %d images of %d x %d pixels but has no array of them or a "
            "negative size",
            KELVO_HERE, Record, Texture.ImageCount, Texture.Width, Texture.Height);
        return false;
    }
    for (kelvo_int32 Image = 0; Texture.Images && Image < Texture.ImageCount; ++Image) {
        kelvo_texture_image const &Levels = Texture.Images[Image];
        if (Levels.MIPLevelCount > 0 && !Levels.MIPLevels) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Image %d of the %s counts %d MIP levels but has no array of them",
                KELVO_HERE, Image, Record, Levels.MIPLevelCount);
            return false;
        }
        for (kelvo_int32 Level = 0; Levels.MIPLevels && Level < Levels.MIPLevelCount; ++Level) {
            if (!CheckTextureLevel(Texture, Image, Level, Record)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace kelvo

char const *KelvoGetTextureTypeName(kelvo_int32 TextureType) {
    switch (TextureType) {
    case 0: return "Color map";
    case 1: return "Cube map";
    default: return "Unknown texture type";
    }
}

char const *KelvoGetTextureEncodingName(kelvo_int32 Encoding) {
    switch (Encoding) {
    case UserDefined: return "User-defined texture format";
    case Raw: return "Raw texture format";
    case S3TC: return "S3TC format";
    case Tarn: return "Tarn texture format";
    default: return "Unknown texture format";
    }
}

char const *KelvoGetS3TCTextureFormatName(kelvo_int32 S3TCFormat) {
    switch (S3TCFormat) {
    case 0: return "S3TC RGB555 (DXT1)";
    case 1: return "S3TC RGBA5551 (DXT1 with alpha)";
    case 2: return "S3TC RGBA8888, mapped alpha (DXT2/3)";
    case 3: return "S3TC RGBA8888, interpolated alpha (DXT4/5)";
    default: return "Unknown S3TC format";
    }
}

kelvo_pixel_layout const *KelvoGetS3TCPixelLayout(kelvo_int32 S3TCFormat) {
    switch (S3TCFormat) {
    case 0: return KelvoBGR565PixelFormat;
    case 1: return KelvoBGRA5551PixelFormat;
    case 2:
    case 3: return KelvoBGRA8888PixelFormat;
    default: return nullptr;
    }
}

kelvo_int32 KelvoGetS3TCImageSize(kelvo_int32 S3TCFormat, kelvo_int32 Width, kelvo_int32 Height) {
    if (S3TCFormat < 0 || S3TCFormat >= S3TCFormatCount) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unrecognized S3TC texture format (%d)",
            KELVO_HERE, S3TCFormat);
        return 0;
    }
    kelvo_int64 Size = S3TCSize(S3TCFormat, Width, Height);
    KELVO_CHECK(Size <= 0x7fffffff, Origin, 0);
    return (kelvo_int32)Size;
}

kelvo_bool32 KelvoGetRecommendedPixelLayout(kelvo_texture const *Texture,
                                            kelvo_pixel_layout *Result) {
    KELVO_CHECK_NOT_NULL(Texture, Origin, false);
    KELVO_CHECK_NOT_NULL(Result, Origin, false);
    if (Texture->Encoding == Raw || Texture->Encoding == Tarn) {
        *Result = Texture->Layout;
        return true;
    }
    if (Texture->Encoding == S3TC) {
        kelvo_pixel_layout const *Layout = KelvoGetS3TCPixelLayout(Texture->SubFormat);
        if (Layout) {
            *Result = *Layout;
        }
        return Layout != nullptr;
    }
    return false;
}

kelvo_bool32 KelvoTextureHasAlpha(kelvo_texture const *Texture) {
    KELVO_CHECK_NOT_NULL(Texture, Origin, false);
    return KelvoPixelLayoutHasAlpha(&Texture->Layout);
}

kelvo_bool32 KelvoCopyTextureImage(kelvo_texture const *Texture, kelvo_int32 ImageIndex,
                                   kelvo_int32 MIPIndex, kelvo_pixel_layout const *Layout,
                                   kelvo_int32 DestinationWidth, kelvo_int32 DestinationHeight,
                                   kelvo_int32 DestinationStride, void *Pixels) {
    KELVO_CHECK_NOT_NULL(Texture, Origin, false);
    KELVO_CHECK_NOT_NULL(Layout, Origin, false);
    KELVO_CHECK_NOT_NULL(Pixels, Origin, false);
    if (!IndexIsInRange("ImageIndex", ImageIndex, Texture->Images ? Texture->ImageCount : 0)) {
        return false;
    }
    kelvo_texture_image const &Image = Texture->Images[ImageIndex];
    if (!IndexIsInRange("MIPIndex", MIPIndex, Image.MIPLevels ? Image.MIPLevelCount : 0)) {
        return false;
    }
    kelvo_int32 Width, Height;
    kelvo::GetMIPLevelSize(*Texture, MIPIndex, Width, Height);
    if (DestinationWidth != Width || DestinationHeight != Height) {
        Log(KelvoWarningLogMessage, KelvoNotImplementedLogMessage,
            "Automatic rescaling not supported");
        return false;
    }
    char Record[RecordNameSize];
    kelvo::Format(RecordNameSize, Record, "texture \"%s\"", NameOf(Texture->FromFileName));
    if (!kelvo::CheckTextureLevel(*Texture, ImageIndex, MIPIndex, Record) ||
        !kelvo::CheckPixelLayout(*Layout, "the destination")) {
        return false;
    }
    kelvo_texture_mip_level const &Level = Image.MIPLevels[MIPIndex];
    switch (Texture->Encoding) {
    case Raw:
        KelvoConvertPixelFormat(Width, Height, &Texture->Layout, Level.Stride, Level.PixelBytes,
                                Layout, DestinationStride, Pixels);
        return true;
    case S3TC:
        return CopyS3TCLevel(*Texture, Level, Width, Height, *Layout, DestinationStride, Pixels);
    case Tarn:
        return KelvoTarnDecompressTexture(
            Level.PixelByteCount, Level.PixelBytes, Width, Height,
            Texture->SubFormat | (KelvoPixelLayoutHasAlpha(&Texture->Layout) ? 1 : 0),
            DestinationStride, Pixels);
    default:
        return false;
    }
}

kelvo_int32 KelvoTarnCompressTexture(kelvo_int32, kelvo_int32, kelvo_pixel_layout const *,
                                     kelvo_int32, void const *, kelvo_int32, void *) {
    Log(KelvoErrorLogMessage, Origin,
        "%s(%d): This build does not include the Tarn texture codec", KELVO_HERE);
    return 0;
}

kelvo_bool32 KelvoTarnDecompressTexture(kelvo_int32, void const *, kelvo_int32, kelvo_int32,
                                        kelvo_int32, kelvo_int32, void *) {
    Log(KelvoErrorLogMessage, Origin,
        "%s(%d): This build does not include the Tarn texture codec", KELVO_HERE);
    return false;
}
