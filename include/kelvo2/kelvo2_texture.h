/* kelvo2: pixel layouts, textures and materials.

   A pixel layout describes a packed pixel: a little-endian unsigned integer
   of BytesPerPixel bytes (1 to 4) in which component c (0 red, 1 green,
   2 blue, 3 alpha) takes BitsForComponent[c] bits from bit
   ShiftForComponent[c]; 0 bits means the component is absent. Layouts whose
   fields lie outside their pixel are refused under origin Texture.

   Conversion keeps the top bits of each component: a wider destination
   field gets zero low bits, a narrower one the source's high bits, and a
   component the source lacks (alpha included) comes out as 0. Rows never
   overlap between source and destination.

   A texture stores one image (six for a cube map), each a chain of MIP
   levels; level m is max(1, Width >> m) by max(1, Height >> m). Levels are
   raw pixels in the texture's Layout, S3TC blocks (SubFormat 0 DXT1, 1 DXT1
   with alpha, 2 DXT3, 3 DXT5), or the library's own codec, which this build
   does not decode. Textures from files whose levels are shorter than their
   size are refused when the file info is taken.

   Materials form a graph: named maps lead to other materials, and a
   material with a Texture is textured. The searches below follow maps
   depth-first in order, at most 64 levels deep and never around a cycle. */
#ifndef KELVO2_TEXTURE_H
#define KELVO2_TEXTURE_H

#include "kelvo2_file_info.h"
#include "kelvo2_types.h"

/* ---- pixel layouts ------------------------------------------------------- */

KELVO_API kelvo_pixel_layout const *const KelvoRGB555PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoRGB565PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoRGBA5551PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoRGBA4444PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoRGB888PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoRGBA8888PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoARGB8888PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoBGR555PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoBGR565PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoBGRA5551PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoBGRA4444PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoBGR888PixelFormat;
KELVO_API kelvo_pixel_layout const *const KelvoBGRA8888PixelFormat;

/* True when all nine integers are equal. */
KELVO_API kelvo_bool32 KelvoPixelLayoutsAreEqual(kelvo_pixel_layout const *A,
                                                 kelvo_pixel_layout const *B);
KELVO_API kelvo_bool32 KelvoPixelLayoutHasAlpha(kelvo_pixel_layout const *Layout);

/* Packs the components tightly: Order[0] (a component index) starts at bit
   0, each next one where the previous ended; the bytes are the total bits
   rounded up. Bits are given per component (red, green, blue, alpha). */
KELVO_API void KelvoSetStockSpecification(kelvo_pixel_layout *Layout, kelvo_int32 const Bits[4],
                                          kelvo_int32 const Order[4]);
KELVO_API void KelvoSetStockRGBASpecification(kelvo_pixel_layout *Layout, kelvo_int32 RedBits,
                                              kelvo_int32 GreenBits, kelvo_int32 BlueBits,
                                              kelvo_int32 AlphaBits);
KELVO_API void KelvoSetStockBGRASpecification(kelvo_pixel_layout *Layout, kelvo_int32 RedBits,
                                              kelvo_int32 GreenBits, kelvo_int32 BlueBits,
                                              kelvo_int32 AlphaBits);

/* Converts Width x Height pixels; each side advances by its stride per row
   and no row is touched past Width pixels. */
KELVO_API void KelvoConvertPixelFormat(kelvo_int32 Width, kelvo_int32 Height,
                                       kelvo_pixel_layout const *SourceLayout,
                                       kelvo_int32 SourceStride, void const *SourcePixels,
                                       kelvo_pixel_layout const *DestinationLayout,
                                       kelvo_int32 DestinationStride, void *DestinationPixels);

/* ---- textures ------------------------------------------------------------ */

KELVO_API char const *KelvoGetTextureTypeName(kelvo_int32 TextureType);
KELVO_API char const *KelvoGetTextureEncodingName(kelvo_int32 Encoding);
KELVO_API char const *KelvoGetS3TCTextureFormatName(kelvo_int32 S3TCFormat);
/* The layout an S3TC format decodes to; null for an unknown format. */
KELVO_API kelvo_pixel_layout const *KelvoGetS3TCPixelLayout(kelvo_int32 S3TCFormat);
/* Bytes of one S3TC level: whole 4 x 4 blocks of 8 bytes (formats 0 and 1)
   or 16 bytes (2 and 3); 0 after an error for an unknown format. */
KELVO_API kelvo_int32 KelvoGetS3TCImageSize(kelvo_int32 S3TCFormat, kelvo_int32 Width,
                                            kelvo_int32 Height);

/* The layout to extract the texture in: its Layout for raw and codec
   textures, the S3TC format's for S3TC ones; false for user-defined ones. */
KELVO_API kelvo_bool32 KelvoGetRecommendedPixelLayout(kelvo_texture const *Texture,
                                                      kelvo_pixel_layout *Result);
KELVO_API kelvo_bool32 KelvoTextureHasAlpha(kelvo_texture const *Texture);

/* Writes one level of one image into the destination in its layout. The
   destination must have the level's size: no rescaling is done (a warning
   and false otherwise). False for user-defined and codec textures. */
KELVO_API kelvo_bool32 KelvoCopyTextureImage(kelvo_texture const *Texture, kelvo_int32 ImageIndex,
                                             kelvo_int32 MIPIndex,
                                             kelvo_pixel_layout const *Layout,
                                             kelvo_int32 DestinationWidth,
                                             kelvo_int32 DestinationHeight,
                                             kelvo_int32 DestinationStride, void *Pixels);

/* The library's own texture codec. Its bit stream is not part of this
   build: both report an error; compression returns 0 bytes and
   decompression false. */
KELVO_API kelvo_int32 KelvoTarnCompressTexture(kelvo_int32 Width, kelvo_int32 Height,
                                               kelvo_pixel_layout const *Layout,
                                               kelvo_int32 Stride, void const *Pixels,
                                               kelvo_int32 BufferSize, void *Buffer);
KELVO_API kelvo_bool32 KelvoTarnDecompressTexture(kelvo_int32 ByteCount, void const *Bytes,
                                                  kelvo_int32 Width, kelvo_int32 Height,
                                                  kelvo_int32 SubFormat, kelvo_int32 Stride,
                                                  void *Pixels);

/* ---- materials ----------------------------------------------------------- */

/* Material texture types: what a map's Usage means. */
enum kelvo_material_texture_type_value {
    KelvoUnknownTextureType = 0, /* matches nothing */
    KelvoAmbientColorTexture = 1,
    KelvoDiffuseColorTexture = 2,
    KelvoSpecularColorTexture = 3,
    KelvoSelfIlluminationTexture = 4,
    KelvoOpacityTexture = 5,
    KelvoBumpHeightTexture = 6,
    KelvoReflectionTexture = 7,
    KelvoRefractionTexture = 8,
    KelvoDisplacementTexture = 9
};

/* The texture of the first map (in order) whose usage counts as Type and
   that leads to a textured material; null when none. */
KELVO_API kelvo_texture *KelvoGetMaterialTextureByType(kelvo_material const *Material,
                                                       kelvo_int32 Type);
/* The same for a usage equal to ChannelName (case-insensitive). */
KELVO_API kelvo_material *KelvoGetTexturedMaterialByChannelName(kelvo_material const *Material,
                                                                char const *ChannelName);
KELVO_API kelvo_texture *KelvoGetMaterialTextureByChannelName(kelvo_material const *Material,
                                                              char const *ChannelName);

#endif
