// kv2 import, materials and textures: every material of the scene, with a
// map per texture it uses, named by the texture's role. Images are decoded
// with stb_image (embedded ones from memory, others from beside the input)
// and stored raw as 32-bit RGBA; an image that cannot be found or decoded
// is a warning, and its map is left out.
#include "kv2_import.h"

#include <assimp/material.h>
#include <assimp/scene.h>

#include <string.h>

#include <map>

#define STB_IMAGE_STATIC
#define STBI_FAILURE_USERMSG
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

namespace kv2 {

namespace {

// The roles, in the order maps are listed; a role met twice keeps its first.
struct role {
    aiTextureType Type;
    char const *Usage;
};
constexpr role Roles[] = {
    {aiTextureType_BASE_COLOR, "diffuse"},
    {aiTextureType_DIFFUSE, "diffuse"},
    {aiTextureType_SPECULAR, "specular"},
    {aiTextureType_AMBIENT, "ambient"},
    {aiTextureType_EMISSIVE, "Self-Illumination"},
    {aiTextureType_OPACITY, "Opacity"},
    {aiTextureType_NORMALS, "normal"},
    {aiTextureType_HEIGHT, "Bump"},
    {aiTextureType_DISPLACEMENT, "Displacement"},
    {aiTextureType_REFLECTION, "Reflection"},
    {aiTextureType_SHININESS, "shininess"},
    {aiTextureType_LIGHTMAP, "occlusion"},
    {aiTextureType_AMBIENT_OCCLUSION, "occlusion"},
    {aiTextureType_METALNESS, "metalness"},
    {aiTextureType_DIFFUSE_ROUGHNESS, "roughness"},
    {aiTextureType_UNKNOWN, "metallic roughness"},
};

std::string Directory(char const *Path) {
    char const *Slash = strrchr(Path, '/');
    return Slash ? std::string(Path, Slash + 1) : std::string();
}

// Decoded RGBA pixels of Reference, or null with Why set.
stbi_uc *Decode(aiScene const *Scene, char const *In, std::string const &Reference, int &Width,
                int &Height, std::string &Why) {
    aiTexture const *Embedded = Scene->GetEmbeddedTexture(Reference.c_str());
    int Channels = 0;
    stbi_uc *Pixels = nullptr;
    if (Embedded && Embedded->mHeight == 0) {
        Pixels = stbi_load_from_memory(reinterpret_cast<stbi_uc const *>(Embedded->pcData),
                                       (int)Embedded->mWidth, &Width, &Height, &Channels, 4);
    } else if (Embedded) {
        // Already decoded by assimp: BGRA texels.
        Width = (int)Embedded->mWidth;
        Height = (int)Embedded->mHeight;
        size_t Count = (size_t)Width * Height;
        Pixels = static_cast<stbi_uc *>(malloc(Count * 4));
        for (size_t Index = 0; Pixels && Index < Count; ++Index) {
            aiTexel const &Texel = Embedded->pcData[Index];
            stbi_uc const RGBA[4] = {Texel.r, Texel.g, Texel.b, Texel.a};
            memcpy(Pixels + Index * 4, RGBA, 4);
        }
    } else {
        std::string Path = Reference[0] == '/' ? Reference : Directory(In) + Reference;
        Pixels = stbi_load(Path.c_str(), &Width, &Height, &Channels, 4);
    }
    if (!Pixels) {
        Why = stbi_failure_reason() ? stbi_failure_reason() : "it cannot be decoded";
    }
    return Pixels;
}

kelvo_texture *MakeTexture(aiScene const *Scene, char const *In, std::string const &Reference,
                           imported_asset &Asset, import_summary &Summary) {
    int Width = 0, Height = 0;
    std::string Why;
    stbi_uc *Pixels = Decode(Scene, In, Reference, Width, Height, Why);
    if (!Pixels || Width <= 0 || Height <= 0 || (long long)Width * Height > (1LL << 28)) {
        Summary.Warnings.push_back("image '" + Reference + "' left out: " +
                                   (Pixels ? std::string("it is too large") : Why));
        stbi_image_free(Pixels);
        return nullptr;
    }
    kelvo_int32 Bytes = Width * Height * 4;
    kelvo_uint8 *Copy = static_cast<kelvo_uint8 *>(Asset.Block(Bytes));
    memcpy(Copy, Pixels, Bytes);
    stbi_image_free(Pixels);
    kelvo_texture_mip_level &Level = Asset.Record<kelvo_texture_mip_level>();
    Level = {Width * 4, Bytes, Copy};
    kelvo_texture_image &Image = Asset.Record<kelvo_texture_image>();
    Image = {1, &Level};
    kelvo_texture &Texture = Asset.Record<kelvo_texture>();
    Texture.FromFileName = Asset.String(Reference);
    Texture.TextureType = 0; // a colour map
    Texture.Width = Width;
    Texture.Height = Height;
    Texture.Encoding = 1; // raw pixels
    Texture.Layout = *KelvoRGBA8888PixelFormat;
    Texture.ImageCount = 1;
    Texture.Images = &Image;
    Asset.Textures.push_back(&Texture);
    Summary.Textures += 1;
    return &Texture;
}

} // namespace

void BuildMaterials(aiScene const *Scene, char const *In, imported_asset &Asset,
                    import_summary &Summary) {
    std::map<std::string, kelvo_material *> Textured; // by image reference
    std::vector<kelvo_material *> Surfaces;
    for (unsigned Index = 0; Index < Scene->mNumMaterials; ++Index) {
        aiMaterial const *Source = Scene->mMaterials[Index];
        kelvo_material &Material = Asset.Record<kelvo_material>();
        aiString Name;
        if (aiGetMaterialString(Source, AI_MATKEY_NAME, &Name) == AI_SUCCESS) {
            Material.Name = Asset.String(Name.C_Str());
        }
        std::vector<kelvo_material_map> Maps;
        for (role const &Role : Roles) {
            aiString Reference;
            bool Taken = false;
            for (kelvo_material_map const &Map : Maps) {
                Taken |= strcmp(Map.Usage, Role.Usage) == 0;
            }
            if (Taken || aiGetMaterialTextureCount(Source, Role.Type) == 0 ||
                aiGetMaterialTexture(Source, Role.Type, 0, &Reference) != AI_SUCCESS ||
                Reference.length == 0) {
                continue;
            }
            auto Found = Textured.find(Reference.C_Str());
            if (Found == Textured.end()) {
                // Tried once: an image left out is reported once.
                kelvo_texture *Texture = MakeTexture(Scene, In, Reference.C_Str(), Asset, Summary);
                kelvo_material *Map = Texture ? &Asset.Record<kelvo_material>() : nullptr;
                if (Map) {
                    Map->Name = Texture->FromFileName;
                    Map->Texture = Texture;
                }
                Found = Textured.emplace(Reference.C_Str(), Map).first;
            }
            if (Found->second) {
                Maps.push_back({Role.Usage, Found->second});
            }
        }
        if (!Maps.empty()) {
            Material.Maps = static_cast<kelvo_material_map *>(
                Asset.Block(Maps.size() * sizeof(kelvo_material_map)));
            memcpy(Material.Maps, Maps.data(), Maps.size() * sizeof(kelvo_material_map));
            Material.MapCount = (kelvo_int32)Maps.size();
        }
        Surfaces.push_back(&Material);
    }
    // The scene's materials first, so that mesh material indices hold.
    Asset.Materials = Surfaces;
    for (auto const &[Reference, Map] : Textured) {
        if (Map) {
            Asset.Materials.push_back(Map);
        }
    }
    Summary.Materials = (int)Asset.Materials.size();
}

} // namespace kv2
