// Texture levels built from arbitrary bytes, as a loaded file may hold them:
// size, encoding, S3TC format, source and destination layouts, stride and a
// level of exactly its stated bytes in a block of its own. The texture
// check decides; a level it accepts is extracted into a destination of the
// level's size, and nothing may read or write outside either.
#include "asset/kelvo_texture.h"
#include "kelvo2.h"

#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

void KELVO_CALLBACK Discard(kelvo_log_message_type, kelvo_log_message_origin, char const *,
                            void *) {}

struct input {
    uint8_t const *Data;
    size_t Size;
    uint8_t Byte() {
        if (!Size) {
            return 0;
        }
        --Size;
        return *Data++;
    }
};

// Small signed fields, so that negative and oversized ones occur.
kelvo_pixel_layout Layout(input &In) {
    kelvo_pixel_layout Result;
    Result.BytesPerPixel = (kelvo_int8)In.Byte() % 6;
    for (int Component = 0; Component < 4; ++Component) {
        Result.ShiftForComponent[Component] = (kelvo_int8)In.Byte() % 40;
        Result.BitsForComponent[Component] = (kelvo_int8)In.Byte() % 40;
    }
    return Result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *Data, size_t Size) {
    kelvo_log_callback Quiet = {Discard, nullptr};
    KelvoSetLogCallback(&Quiet);
    input In = {Data, Size};
    kelvo_texture Texture = {};
    Texture.Width = (kelvo_int8)In.Byte();
    Texture.Height = (kelvo_int8)In.Byte();
    Texture.Encoding = In.Byte() % 4;
    Texture.SubFormat = In.Byte() % 5;
    Texture.Layout = Layout(In);
    kelvo_pixel_layout Destination = Layout(In);
    kelvo_int32 MIPIndex = In.Byte() % 4;
    std::vector<kelvo_texture_mip_level> Levels(MIPIndex + 1);
    Levels[MIPIndex].Stride = (kelvo_int16)(In.Byte() | In.Byte() << 8);
    std::vector<uint8_t> Bytes(In.Data, In.Data + In.Size);
    Levels[MIPIndex].PixelByteCount = (kelvo_int32)Bytes.size();
    Levels[MIPIndex].PixelBytes = Bytes.empty() ? nullptr : Bytes.data();
    kelvo_texture_image Image = {(kelvo_int32)Levels.size(), Levels.data()};
    Texture.ImageCount = 1;
    Texture.Images = &Image;
    if (!kelvo::CheckTextureLevel(Texture, 0, MIPIndex, "the fuzzed texture")) {
        return 0;
    }
    kelvo_int32 Width, Height;
    kelvo::GetMIPLevelSize(Texture, MIPIndex, Width, Height);
    kelvo_int32 Stride = Width * (Destination.BytesPerPixel > 0 ? Destination.BytesPerPixel : 1);
    std::vector<uint8_t> Pixels((size_t)Stride * Height);
    KelvoCopyTextureImage(&Texture, 0, MIPIndex, &Destination, Width, Height, Stride,
                          Pixels.data());
    return 0;
}
