// Materials: finding the texture that plays a role, by a map's usage.
//
// Material graphs come from files and may share materials or loop back on
// themselves. The walk keeps an explicit path, refuses to step onto a
// material already on it, stops at a fixed depth, and bounds the materials
// it visits so that heavily shared graphs cannot make it run away.
#include "kelvo2/kelvo2_texture.h"

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_string.h"

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoMaterialLogMessage;
constexpr kelvo_int32 MaxDepth = 64;
constexpr kelvo_int32 MaxVisits = 4096;

// The usages that count as each material texture type.
struct usage {
    kelvo_int32 Type;
    char const *Name;
};
constexpr usage Usages[] = {
    {1, "Ambient Color"},     {1, "BaseColor"},         {1, "ambience"},
    {1, "ambient"},           {2, "color"},             {2, "Diffuse Color"},
    {2, "BaseColor"},         {2, "diffuse"},           {3, "specularColor"},
    {3, "Specular Color"},    {3, "Specular Level"},    {3, "Specularity"},
    {3, "specular"},          {4, "incandescence"},     {4, "Self-Illumination"},
    {4, "Luminosity"},        {4, "incandescence"},     {4, "radiance"},
    {5, "Opacity"},           {5, "Transparency"},      {5, "transparency"},
    {6, "normalCamera"},      {6, "Bump"},              {6, "Bump"},
    {6, "Bump"},              {7, "Reflection"},        {7, "ReflectionImage"},
    {7, "reflectivity"},      {8, "Refraction"},        {8, "RefractionImage"},
    {8, "index_of_refraction"}, {9, "Displacement"},
};
static_assert(sizeof(Usages) / sizeof(Usages[0]) == 32, "32 usages");

bool UsageIsOfType(char const *Usage, kelvo_int32 Type) {
    for (usage const &Entry : Usages) {
        if (Entry.Type == Type && kelvo::StringsAreEqualLowercase(Usage, Entry.Name)) {
            return true;
        }
    }
    return false;
}

// The material itself when it has a texture, else the first textured
// material depth-first through its maps in order.
kelvo_material *FindTexturedMaterial(kelvo_material *Material) {
    struct step {
        kelvo_material *Material;
        kelvo_int32 NextMap;
    } Path[MaxDepth];
    kelvo_int32 Depth = 0, Visits = 0;
    Path[Depth++] = {Material, 0};
    while (Depth > 0) {
        step &Top = Path[Depth - 1];
        if (Top.NextMap == 0 && Top.Material->Texture) {
            return Top.Material;
        }
        if (!Top.Material->Maps || Top.NextMap >= Top.Material->MapCount) {
            --Depth;
            continue;
        }
        kelvo_material *Next = Top.Material->Maps[Top.NextMap++].Map;
        bool OnPath = false;
        for (kelvo_int32 Index = 0; Next && Index < Depth; ++Index) {
            OnPath = OnPath || Path[Index].Material == Next;
        }
        if (!Next || OnPath) {
            continue;
        }
        if (Depth == MaxDepth || ++Visits > MaxVisits) {
            Log(KelvoWarningLogMessage, Origin,
                "%s(%d): The maps of material \"%s\" lead more than %d levels deep or through "
                "more than %d materials; the search stops there",
                KELVO_HERE, Material->Name ? Material->Name : "(unnamed)", MaxDepth, MaxVisits);
            return nullptr;
        }
        Path[Depth++] = {Next, 0};
    }
    return nullptr;
}

// The textured material behind the first map (in order) whose usage
// Matches and that leads to one.
template <typename matches>
kelvo_material *FindByUsage(kelvo_material const *Material, matches Matches) {
    if (!Material) {
        return nullptr;
    }
    for (kelvo_int32 Index = 0; Material->Maps && Index < Material->MapCount; ++Index) {
        kelvo_material_map const &Map = Material->Maps[Index];
        if (Map.Map && Matches(Map.Usage)) {
            if (kelvo_material *Found = FindTexturedMaterial(Map.Map)) {
                return Found;
            }
        }
    }
    return nullptr;
}

} // namespace

kelvo_texture *KelvoGetMaterialTextureByType(kelvo_material const *Material, kelvo_int32 Type) {
    kelvo_material *Found =
        FindByUsage(Material, [Type](char const *Usage) { return UsageIsOfType(Usage, Type); });
    return Found ? Found->Texture : nullptr;
}

kelvo_material *KelvoGetTexturedMaterialByChannelName(kelvo_material const *Material,
                                                      char const *ChannelName) {
    return FindByUsage(Material, [ChannelName](char const *Usage) {
        return Usage && ChannelName && kelvo::StringsAreEqualLowercase(Usage, ChannelName);
    });
}

kelvo_texture *KelvoGetMaterialTextureByChannelName(kelvo_material const *Material,
                                                    char const *ChannelName) {
    kelvo_material *Found = KelvoGetTexturedMaterialByChannelName(Material, ChannelName);
    return Found ? Found->Texture : nullptr;
}
