// kv2 texture: writes the top MIP level of a file's texture as a PNG. The
// texture is found by its FromFileName, whole or by its last path part.
#include "kv2_commands.h"
#include "kv2_files.h"

#include "kelvo2.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace {

std::string LastPart(char const *Path) {
    std::string Text = Path ? Path : "";
    size_t Slash = Text.find_last_of("/\\");
    return Slash == std::string::npos ? Text : Text.substr(Slash + 1);
}

kelvo_texture const *FindTexture(kelvo_file_info const &Info, char const *Name,
                                 std::string &Names) {
    kelvo_int32 Count = Info.Textures ? Info.TextureCount : 0;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        kelvo_texture const *Texture = Info.Textures[Index];
        if (Texture && Texture->FromFileName &&
            (strcmp(Texture->FromFileName, Name) == 0 || LastPart(Texture->FromFileName) == Name)) {
            return Texture;
        }
        Names += Names.empty() ? "" : ", ";
        Names += Texture && Texture->FromFileName ? Texture->FromFileName : "(unnamed)";
    }
    return nullptr;
}

// Image 0, MIP level 0, as RGBA when the texture has alpha and RGB otherwise.
bool WritePng(kelvo_texture const &Texture, char const *Path, std::string &Reason) {
    kelvo_pixel_layout Recommended;
    if (!KelvoGetRecommendedPixelLayout(&Texture, &Recommended) || Texture.Encoding == 3) {
        Reason = std::string("textures of the ") + KelvoGetTextureEncodingName(Texture.Encoding) +
                 " cannot be extracted";
        return false;
    }
    bool Alpha = KelvoPixelLayoutHasAlpha(&Recommended);
    kelvo_pixel_layout const *Layout = Alpha ? KelvoRGBA8888PixelFormat : KelvoRGB888PixelFormat;
    kelvo_int32 Width = Texture.Width > 1 ? Texture.Width : 1;
    kelvo_int32 Height = Texture.Height > 1 ? Texture.Height : 1;
    kelvo_int64 Stride = (kelvo_int64)Width * Layout->BytesPerPixel;
    if (Stride * Height > 0x7fffffff) {
        Reason = "the texture is too large to write";
        return false;
    }
    std::vector<unsigned char> Pixels((size_t)(Stride * Height));
    kv2::library_reports Copying;
    if (!KelvoCopyTextureImage(&Texture, 0, 0, Layout, Width, Height, (kelvo_int32)Stride,
                               Pixels.data())) {
        Reason = "cannot extract it: " + Copying.FirstError("no reason was given");
        return false;
    }
    if (!stbi_write_png(Path, Width, Height, Layout->BytesPerPixel, Pixels.data(), (int)Stride)) {
        Reason = "cannot write the PNG";
        return false;
    }
    return true;
}

} // namespace

int RunTexture(int ArgumentCount, char **Arguments) {
    if (ArgumentCount != 3) {
        fprintf(stderr, "kv2: texture needs FILE NAME OUT.png\n");
        return 2;
    }
    char const *FileName = Arguments[0];
    char const *Out = Arguments[2];
    std::string Reason;
    kelvo_file *File = kv2::LoadValidFile(FileName, kv2::crc_mismatch::Warn, Reason);
    if (!File) {
        return kv2::Refuse(FileName, Reason);
    }
    int Status = 1;
    kelvo_file_info const *Info = KelvoGetFileInfo(File);
    std::string Names;
    kelvo_texture const *Texture = Info ? FindTexture(*Info, Arguments[1], Names) : nullptr;
    kv2::staged_output Output(Out);
    if (!Info) {
        kv2::Refuse(FileName, "the root cannot be read as a file info");
    } else if (!Texture) {
        kv2::Refuse(FileName, std::string("no texture is named '") + Arguments[1] + "' (" +
                                  (Names.empty() ? "it has none" : "it has " + Names) + ")");
    } else if (!Output.Create(Reason) || !WritePng(*Texture, Output.Path(), Reason) ||
               !Output.Commit(Reason)) {
        kv2::Refuse(Texture->FromFileName, Reason);
    } else {
        Status = 0;
    }
    KelvoFreeFile(File);
    return Status;
}
