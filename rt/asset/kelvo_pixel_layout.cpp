// Pixel layouts: the stock layouts, layouts made to measure and conversion of
// rectangles of pixels between any two layouts.
//
// Conversion works on whole 32-bit words: each source pixel is loaded as a
// word, each component is moved into its destination field by one shift and
// one mask, and the sum is stored as a word that the next pixel partly
// overwrites. Pixels whose word would reach past the end of their row are
// loaded and stored byte by byte instead, so no row is touched past its
// last pixel whatever the pixel size.
#include "asset/kelvo_texture.h"

#include "foundation/kelvo_log.h"

#include <string.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoTextureLogMessage;

constexpr kelvo_pixel_layout RGB555 = {2, {0, 5, 10, 0}, {5, 5, 5, 0}};
constexpr kelvo_pixel_layout RGB565 = {2, {0, 5, 11, 0}, {5, 6, 5, 0}};
constexpr kelvo_pixel_layout RGBA5551 = {2, {0, 5, 10, 15}, {5, 5, 5, 1}};
constexpr kelvo_pixel_layout RGBA4444 = {2, {0, 4, 8, 12}, {4, 4, 4, 4}};
constexpr kelvo_pixel_layout RGB888 = {3, {0, 8, 16, 0}, {8, 8, 8, 0}};
constexpr kelvo_pixel_layout RGBA8888 = {4, {0, 8, 16, 24}, {8, 8, 8, 8}};
constexpr kelvo_pixel_layout ARGB8888 = {4, {8, 16, 24, 0}, {8, 8, 8, 8}};
constexpr kelvo_pixel_layout BGR555 = {2, {10, 5, 0, 0}, {5, 5, 5, 0}};
constexpr kelvo_pixel_layout BGR565 = {2, {11, 5, 0, 0}, {5, 6, 5, 0}};
constexpr kelvo_pixel_layout BGRA5551 = {2, {10, 5, 0, 15}, {5, 5, 5, 1}};
constexpr kelvo_pixel_layout BGRA4444 = {2, {8, 4, 0, 12}, {4, 4, 4, 4}};
constexpr kelvo_pixel_layout BGR888 = {3, {16, 8, 0, 0}, {8, 8, 8, 0}};
constexpr kelvo_pixel_layout BGRA8888 = {4, {16, 8, 0, 24}, {8, 8, 8, 8}};

kelvo_uint32 LoadWord(kelvo_uint8 const *At) {
    kelvo_uint32 Word;
    memcpy(&Word, At, 4);
    return Word;
}

void StoreWord(kelvo_uint8 *At, kelvo_uint32 Word) {
    memcpy(At, &Word, 4);
}

// Pixels are little-endian whatever the machine.
kelvo_uint32 LoadPixel(kelvo_uint8 const *At, kelvo_int32 Bytes) {
    kelvo_uint32 Pixel = 0;
    for (kelvo_int32 Byte = 0; Byte < Bytes; ++Byte) {
        Pixel |= (kelvo_uint32)At[Byte] << (8 * Byte);
    }
    return Pixel;
}

void StorePixel(kelvo_uint8 *At, kelvo_int32 Bytes, kelvo_uint32 Pixel) {
    for (kelvo_int32 Byte = 0; Byte < Bytes; ++Byte) {
        At[Byte] = (kelvo_uint8)(Pixel >> (8 * Byte));
    }
}

bool MachineIsLittleEndian() {
    kelvo_uint32 const One = 1;
    kelvo_uint8 First;
    memcpy(&First, &One, 1);
    return First == 1;
}

// Each component as (pixel << Left >> Right) & Mask.
struct conversion {
    kelvo_uint32 Left[4];
    kelvo_uint32 Right[4];
    kelvo_uint32 Mask[4];
    kelvo_uint32 SourceMask; // the source pixel's bytes within a loaded word
};

kelvo_uint32 FieldMask(kelvo_int32 From, kelvo_int32 To) {
    kelvo_uint64 const One = 1;
    return (kelvo_uint32)(((One << To) - 1) & ~((One << From) - 1));
}

conversion PlanConversion(kelvo_pixel_layout const &Source, kelvo_pixel_layout const &Destination) {
    conversion Plan = {};
    for (int Component = 0; Component < 4; ++Component) {
        kelvo_int32 SourceBits = Source.BitsForComponent[Component];
        kelvo_int32 Bits = Destination.BitsForComponent[Component];
        if (Bits == 0 || SourceBits == 0) {
            continue; // mask 0: absent from either side
        }
        kelvo_int32 SourceEnd = Source.ShiftForComponent[Component] + SourceBits;
        kelvo_int32 End = Destination.ShiftForComponent[Component] + Bits;
        kelvo_int32 Start = End - SourceBits;
        if (Start < Destination.ShiftForComponent[Component]) {
            Start = Destination.ShiftForComponent[Component];
        }
        Plan.Left[Component] = End > SourceEnd ? End - SourceEnd : 0;
        Plan.Right[Component] = End < SourceEnd ? SourceEnd - End : 0;
        Plan.Mask[Component] = FieldMask(Start, End);
    }
    Plan.SourceMask = FieldMask(0, 8 * Source.BytesPerPixel);
    return Plan;
}

inline kelvo_uint32 Convert(conversion const &Plan, kelvo_uint32 Pixel) {
    return (((Pixel << Plan.Left[0]) >> Plan.Right[0]) & Plan.Mask[0]) +
           (((Pixel << Plan.Left[1]) >> Plan.Right[1]) & Plan.Mask[1]) +
           (((Pixel << Plan.Left[2]) >> Plan.Right[2]) & Plan.Mask[2]) +
           (((Pixel << Plan.Left[3]) >> Plan.Right[3]) & Plan.Mask[3]);
}

// Pixels of a row whose whole word lies inside the row.
kelvo_int32 WordPixels(kelvo_int32 Width, kelvo_int32 Bytes) {
    kelvo_int64 RowBytes = (kelvo_int64)Width * Bytes;
    return RowBytes < 4 ? 0 : (kelvo_int32)((RowBytes - 4) / Bytes + 1);
}

void ConvertRow(conversion const &Plan, kelvo_int32 Width, kelvo_uint8 const *Source,
                kelvo_int32 SourceBytes, kelvo_uint8 *Destination, kelvo_int32 Bytes,
                kelvo_int32 WordCount) {
    kelvo_int32 Pixel = 0;
    for (; Pixel < WordCount; ++Pixel, Source += SourceBytes, Destination += Bytes) {
        StoreWord(Destination, Convert(Plan, LoadWord(Source) & Plan.SourceMask));
    }
    for (; Pixel < Width; ++Pixel, Source += SourceBytes, Destination += Bytes) {
        StorePixel(Destination, Bytes, Convert(Plan, LoadPixel(Source, SourceBytes)));
    }
}

} // namespace

namespace kelvo {

bool CheckPixelLayout(kelvo_pixel_layout const &Layout, char const *What) {
    bool Valid = Layout.BytesPerPixel >= 1 && Layout.BytesPerPixel <= 4;
    for (int Component = 0; Valid && Component < 4; ++Component) {
        kelvo_int32 Shift = Layout.ShiftForComponent[Component];
        kelvo_int32 Bits = Layout.BitsForComponent[Component];
        Valid = Bits >= 0 && Bits <= 32 &&
                (Bits == 0 || (Shift >= 0 && Shift <= 32 - Bits &&
                               Shift + Bits <= 8 * Layout.BytesPerPixel));
    }
    if (!Valid) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): The pixel layout of %s (%d bytes; shifts %d %d %d %d; bits %d %d %d %d) has "
            "a component outside its pixel",
            KELVO_HERE, What, Layout.BytesPerPixel, Layout.ShiftForComponent[0],
            Layout.ShiftForComponent[1], Layout.ShiftForComponent[2], Layout.ShiftForComponent[3],
            Layout.BitsForComponent[0], Layout.BitsForComponent[1], Layout.BitsForComponent[2],
            Layout.BitsForComponent[3]);
    }
    return Valid;
}

} // namespace kelvo

constinit kelvo_pixel_layout const *const KelvoRGB555PixelFormat = &RGB555;
constinit kelvo_pixel_layout const *const KelvoRGB565PixelFormat = &RGB565;
constinit kelvo_pixel_layout const *const KelvoRGBA5551PixelFormat = &RGBA5551;
constinit kelvo_pixel_layout const *const KelvoRGBA4444PixelFormat = &RGBA4444;
constinit kelvo_pixel_layout const *const KelvoRGB888PixelFormat = &RGB888;
constinit kelvo_pixel_layout const *const KelvoRGBA8888PixelFormat = &RGBA8888;
constinit kelvo_pixel_layout const *const KelvoARGB8888PixelFormat = &ARGB8888;
constinit kelvo_pixel_layout const *const KelvoBGR555PixelFormat = &BGR555;
constinit kelvo_pixel_layout const *const KelvoBGR565PixelFormat = &BGR565;
constinit kelvo_pixel_layout const *const KelvoBGRA5551PixelFormat = &BGRA5551;
constinit kelvo_pixel_layout const *const KelvoBGRA4444PixelFormat = &BGRA4444;
constinit kelvo_pixel_layout const *const KelvoBGR888PixelFormat = &BGR888;
constinit kelvo_pixel_layout const *const KelvoBGRA8888PixelFormat = &BGRA8888;

kelvo_bool32 KelvoPixelLayoutsAreEqual(kelvo_pixel_layout const *A, kelvo_pixel_layout const *B) {
    KELVO_CHECK_NOT_NULL(A, Origin, false);
    KELVO_CHECK_NOT_NULL(B, Origin, false);
    if (A->BytesPerPixel != B->BytesPerPixel) {
        return false;
    }
    for (int Component = 0; Component < 4; ++Component) {
        if (A->ShiftForComponent[Component] != B->ShiftForComponent[Component] ||
            A->BitsForComponent[Component] != B->BitsForComponent[Component]) {
            return false;
        }
    }
    return true;
}

kelvo_bool32 KelvoPixelLayoutHasAlpha(kelvo_pixel_layout const *Layout) {
    KELVO_CHECK_NOT_NULL(Layout, Origin, false);
    return Layout->BitsForComponent[3] != 0;
}

void KelvoSetStockSpecification(kelvo_pixel_layout *Layout, kelvo_int32 const Bits[4],
                                kelvo_int32 const Order[4]) {
    KELVO_CHECK_NOT_NULL(Layout, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Bits, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Order, Origin, KELVO_NOTHING);
    kelvo_pixel_layout Result = {};
    bool Placed[4] = {};
    kelvo_int32 Shift = 0;
    for (int Index = 0; Index < 4; ++Index) {
        kelvo_int32 Component = Order[Index];
        KELVO_CHECK(Component >= 0 && Component < 4 && !Placed[Component], Origin, KELVO_NOTHING);
        KELVO_CHECK(Bits[Component] >= 0 && Bits[Component] <= 32 - Shift, Origin, KELVO_NOTHING);
        Placed[Component] = true;
        // Absent components sit at 0, as in the stock layouts.
        Result.ShiftForComponent[Component] = Bits[Component] ? Shift : 0;
        Result.BitsForComponent[Component] = Bits[Component];
        Shift += Bits[Component];
    }
    Result.BytesPerPixel = (Shift + 7) / 8;
    *Layout = Result;
}

void KelvoSetStockRGBASpecification(kelvo_pixel_layout *Layout, kelvo_int32 RedBits,
                                    kelvo_int32 GreenBits, kelvo_int32 BlueBits,
                                    kelvo_int32 AlphaBits) {
    kelvo_int32 const Bits[4] = {RedBits, GreenBits, BlueBits, AlphaBits};
    kelvo_int32 const Order[4] = {0, 1, 2, 3};
    KelvoSetStockSpecification(Layout, Bits, Order);
}

void KelvoSetStockBGRASpecification(kelvo_pixel_layout *Layout, kelvo_int32 RedBits,
                                    kelvo_int32 GreenBits, kelvo_int32 BlueBits,
                                    kelvo_int32 AlphaBits) {
    kelvo_int32 const Bits[4] = {RedBits, GreenBits, BlueBits, AlphaBits};
    kelvo_int32 const Order[4] = {2, 1, 0, 3};
    KelvoSetStockSpecification(Layout, Bits, Order);
}

void KelvoConvertPixelFormat(kelvo_int32 Width, kelvo_int32 Height,
                             kelvo_pixel_layout const *SourceLayout, kelvo_int32 SourceStride,
                             void const *SourcePixels, kelvo_pixel_layout const *DestinationLayout,
                             kelvo_int32 DestinationStride, void *DestinationPixels) {
    if (Width <= 0 || Height <= 0) {
        return;
    }
    KELVO_CHECK_NOT_NULL(SourceLayout, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(DestinationLayout, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(SourcePixels, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(DestinationPixels, Origin, KELVO_NOTHING);
    if (!kelvo::CheckPixelLayout(*SourceLayout, "the source") ||
        !kelvo::CheckPixelLayout(*DestinationLayout, "the destination")) {
        return;
    }
    kelvo_int32 SourceBytes = SourceLayout->BytesPerPixel;
    kelvo_int32 Bytes = DestinationLayout->BytesPerPixel;
    conversion const Plan = PlanConversion(*SourceLayout, *DestinationLayout);
    // Words are the pixels' own byte order only on little-endian machines.
    kelvo_int32 WordCount = 0;
    if (MachineIsLittleEndian()) {
        WordCount = WordPixels(Width, SourceBytes);
        kelvo_int32 DestinationWords = WordPixels(Width, Bytes);
        WordCount = DestinationWords < WordCount ? DestinationWords : WordCount;
    }
    kelvo_uint8 const *Source = static_cast<kelvo_uint8 const *>(SourcePixels);
    kelvo_uint8 *Destination = static_cast<kelvo_uint8 *>(DestinationPixels);
    for (kelvo_int32 Row = 0; Row < Height; ++Row) {
        ConvertRow(Plan, Width, Source, SourceBytes, Destination, Bytes, WordCount);
        Source += SourceStride;
        Destination += DestinationStride;
    }
}
