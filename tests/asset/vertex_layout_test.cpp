// Vertex layout conversion and its widening rules, the member writers,
// normalization, transformation, weight normalization and the component
// helpers.
#include "data/kelvo_data_type.h"
#include "kelvo_test.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using kelvo::MakeMember;

namespace {

class VertexLayoutTest : public KelvoTest {};

#pragma pack(push, 4)
struct packed_vertex {
    kelvo_real32 Position[3];
    kelvo_uint8 Normal[3];
    kelvo_uint8 Tangent[3];
    kelvo_int16 TextureCoordinates0[2];
    kelvo_uint8 TextureCoordinates1[2];
};
#pragma pack(pop)

constexpr kelvo_data_type_definition PackedVertexType[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "Normal", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "Tangent", nullptr, 3),
    MakeMember(KelvoInt16Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoNormalUInt8Member, "TextureCoordinates1", nullptr, 2),
    MakeMember(KelvoEndMember)};
static_assert(sizeof(packed_vertex) ==
              (size_t)kelvo::ConstantObjectSize(PackedVertexType, kelvo::NativePointerSizeInBits));

struct wide_vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 Tangent[3];
    kelvo_real32 TextureCoordinates0[2];
    kelvo_real32 TextureCoordinates1[2];
    kelvo_real32 DiffuseColor0[3];
};

constexpr kelvo_data_type_definition WideVertexType[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "tangent", nullptr, 3), // widened only by the exact name
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoReal32Member, "TextureCoordinates1", nullptr, 2),
    MakeMember(KelvoReal32Member, "DiffuseColor0", nullptr, 3),
    MakeMember(KelvoEndMember)};

TEST_F(VertexLayoutTest, StoredFormsWidenToTheValuesTheyMean) {
    packed_vertex Source[2] = {{{1, 2, 3}, {255, 128, 0}, {255, 128, 0}, {4096, 2048}, {255, 0}},
                               {{-4, 5, 6}, {0, 0, 0}, {0, 0, 0}, {-4096, 1}, {0, 0}}};
    wide_vertex Wide[2];
    memset(Wide, 0x7f, sizeof(Wide));
    KelvoConvertVertexLayouts(2, PackedVertexType, Source, WideVertexType, Wide);
    EXPECT_EQ(Wide[0].Position[2], 3.0f);
    EXPECT_EQ(Wide[0].Normal[0], 1.0f);
    EXPECT_FLOAT_EQ(Wide[0].Normal[1], 2.0f * 128.0f / 255.0f - 1.0f);
    EXPECT_EQ(Wide[0].Normal[2], -1.0f);
    // "tangent" matches "Tangent", but only the exact names widen.
    EXPECT_FLOAT_EQ(Wide[0].Tangent[1], 128.0f / 255.0f);
    EXPECT_EQ(Wide[0].TextureCoordinates0[0], 1.0f);
    EXPECT_EQ(Wide[0].TextureCoordinates0[1], 0.5f);
    EXPECT_FLOAT_EQ(Wide[0].TextureCoordinates1[0], 1.0f / 4096.0f);
    EXPECT_EQ(Wide[0].DiffuseColor0[1], 0.0f); // no source: empty
    EXPECT_EQ(Wide[1].Normal[0], -1.0f);
    EXPECT_EQ(Wide[1].TextureCoordinates0[0], -1.0f);
    EXPECT_EQ(Wide[1].TextureCoordinates0[1], 1.0f / 4096.0f);

    // Single vertices convert the same way; an index outside gives the empty vertex.
    kelvo_vertex_data Data = {PackedVertexType, 2, Source, 0, nullptr, 0, nullptr};
    wide_vertex One;
    KelvoGetSingleVertex(&Data, 1, WideVertexType, &One);
    EXPECT_EQ(memcmp(&One, &Wide[1], sizeof(One)), 0);
    KelvoGetSingleVertex(&Data, 2, WideVertexType, &One);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoVertexLayoutLogMessage,
                     "VertexIndex 2 is out of range [0, 2)");
    EXPECT_EQ(One.Position[0], 0.0f);
    KelvoGetSingleVertex(&Data, 0, nullptr, &One);
    ExpectLogged(KelvoErrorLogMessage, "As is not allowed to be 0");
    KelvoGetSingleVertex(&Data, 0, WideVertexType, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Dest is not allowed to be 0");
}

struct stock_layout {
    char const *Name;
    kelvo_data_type_definition const *Type;
};

std::vector<stock_layout> StockLayouts() {
    return {{"GBX333", KelvoGBX333VertexType},
            {"P3", KelvoP3VertexType},
            {"PN33", KelvoPN33VertexType},
            {"PNG333", KelvoPNG333VertexType},
            {"PNGB3333", KelvoPNGB3333VertexType},
            {"PNGBT33332", KelvoPNGBT33332VertexType},
            {"PNGBT33333", KelvoPNGBT33333VertexType},
            {"PNGT3332", KelvoPNGT3332VertexType},
            {"PNT332", KelvoPNT332VertexType},
            {"PNT333", KelvoPNT333VertexType},
            {"PT32", KelvoPT32VertexType},
            {"PWN313", KelvoPWN313VertexType},
            {"PWN323", KelvoPWN323VertexType},
            {"PWN343", KelvoPWN343VertexType},
            {"PWNG3133", KelvoPWNG3133VertexType},
            {"PWNG3233", KelvoPWNG3233VertexType},
            {"PWNG3433", KelvoPWNG3433VertexType},
            {"PWNGB31333", KelvoPWNGB31333VertexType},
            {"PWNGB32333", KelvoPWNGB32333VertexType},
            {"PWNGB34333", KelvoPWNGB34333VertexType},
            {"PWNGBT313332", KelvoPWNGBT313332VertexType},
            {"PWNGBT323332", KelvoPWNGBT323332VertexType},
            {"PWNGBT343332", KelvoPWNGBT343332VertexType},
            {"PWNGT31332", KelvoPWNGT31332VertexType},
            {"PWNGT32332", KelvoPWNGT32332VertexType},
            {"PWNGT34332", KelvoPWNGT34332VertexType},
            {"PWNT3132", KelvoPWNT3132VertexType},
            {"PWNT3232", KelvoPWNT3232VertexType},
            {"PWNT3432", KelvoPWNT3432VertexType}};
}

// Random vertices whose values survive every stock member type: reals of
// any value, bytes of any value.
std::vector<kelvo_uint8> RandomVertices(kelvo_data_type_definition const *Type, int Count,
                                        std::mt19937 &Random) {
    kelvo_int32 Size = KelvoGetTotalObjectSize(Type);
    std::vector<kelvo_uint8> Bytes((size_t)(Size * Count));
    kelvo_uint8 *At = Bytes.data();
    for (int Vertex = 0; Vertex < Count; ++Vertex) {
        for (kelvo_data_type_definition const *Member = Type; Member->Type != KelvoEndMember;
             ++Member) {
            for (kelvo_int32 Element = 0; Element < KelvoGetMemberArrayWidth(Member); ++Element) {
                if (Member->Type == KelvoReal32Member) {
                    kelvo_real32 Value = (kelvo_real32)(int)(Random() % 2001 - 1000) / 64.0f;
                    memcpy(At, &Value, 4);
                    At += 4;
                } else if (Member->Type == KelvoUInt32Member) {
                    kelvo_uint32 Value = Random() % 256; // a bone index
                    memcpy(At, &Value, 4);
                    At += 4;
                } else {
                    *At++ = (kelvo_uint8)Random();
                }
            }
        }
    }
    return Bytes;
}

// An element as the number it stores; stock layouts hold reals, bytes and
// 32-bit bone indices.
double ElementValue(kelvo_variant const &Member, kelvo_int32 Index) {
    kelvo_uint8 const *At = static_cast<kelvo_uint8 const *>(Member.Object);
    switch (Member.Type->Type) {
    case KelvoReal32Member: {
        kelvo_real32 Value;
        memcpy(&Value, At + 4 * Index, 4);
        return Value;
    }
    case KelvoUInt32Member: {
        kelvo_uint32 Value;
        memcpy(&Value, At + 4 * Index, 4);
        return Value;
    }
    default:
        return At[Index];
    }
}

// Compares the elements both members hold.
void ExpectCommonMembersEqual(kelvo_data_type_definition const *A, kelvo_uint8 const *VertexA,
                              kelvo_data_type_definition const *B, kelvo_uint8 const *VertexB,
                              std::string const &What) {
    for (kelvo_data_type_definition const *Member = A; Member->Type != KelvoEndMember; ++Member) {
        kelvo_variant InA, InB;
        ASSERT_TRUE(KelvoFindMatchingMember(A, VertexA, Member->Name, &InA));
        if (!KelvoFindMatchingMember(B, VertexB, Member->Name, &InB)) {
            continue;
        }
        kelvo_int32 Width =
            std::min(KelvoGetMemberArrayWidth(InA.Type), KelvoGetMemberArrayWidth(InB.Type));
        for (kelvo_int32 Element = 0; Element < Width; ++Element) {
            EXPECT_EQ(ElementValue(InA, Element), ElementValue(InB, Element))
                << What << " " << Member->Name << "[" << Element << "]";
        }
    }
}

TEST_F(VertexLayoutTest, EveryStockLayoutConvertsIntoEveryOtherAndBack) {
    std::mt19937 Random(4);
    std::vector<stock_layout> Layouts = StockLayouts();
    for (stock_layout const &From : Layouts) {
        std::vector<kelvo_uint8> Source = RandomVertices(From.Type, 3, Random);
        for (stock_layout const &To : Layouts) {
            std::string What = std::string(From.Name) + " -> " + To.Name;
            std::vector<kelvo_uint8> Middle((size_t)(3 * KelvoGetTotalObjectSize(To.Type)));
            std::vector<kelvo_uint8> Back(Source.size());
            KelvoConvertVertexLayouts(3, From.Type, Source.data(), To.Type, Middle.data());
            KelvoConvertVertexLayouts(3, To.Type, Middle.data(), From.Type, Back.data());
            for (int Vertex = 0; Vertex < 3; ++Vertex) {
                kelvo_int32 Size = KelvoGetTotalObjectSize(From.Type);
                ExpectCommonMembersEqual(From.Type, Source.data() + Vertex * Size, To.Type,
                                         Middle.data() + Vertex * KelvoGetTotalObjectSize(To.Type),
                                         What);
                ExpectCommonMembersEqual(To.Type,
                                         Middle.data() + Vertex * KelvoGetTotalObjectSize(To.Type),
                                         From.Type, Back.data() + Vertex * Size, What + " back");
            }
        }
    }
}

TEST_F(VertexLayoutTest, ComponentHelpersCountAndNameMembers) {
    EXPECT_EQ(KelvoGetVertexChannelCount(KelvoPNT332VertexType), 1);
    EXPECT_EQ(KelvoGetVertexComponentCount(KelvoPWN343VertexType), 3);
    EXPECT_EQ(KelvoGetVertexComponentCount(KelvoPWN313VertexType), 3);
    EXPECT_EQ(KelvoGetVertexChannelCount(KelvoPWNGBT343332VertexType), 1);
    EXPECT_EQ(KelvoGetVertexBoneCount(KelvoPWN343VertexType), 4);
    EXPECT_EQ(KelvoGetVertexBoneCount(KelvoPWN323VertexType), 2);
    EXPECT_EQ(KelvoGetVertexBoneCount(KelvoPWN313VertexType), 1);
    EXPECT_EQ(KelvoGetVertexBoneCount(KelvoPNT332VertexType), 0);
    EXPECT_EQ(KelvoGetVertexComponentIndex("position", KelvoPN33VertexType), 0);
    EXPECT_EQ(KelvoGetVertexComponentIndex("normal", KelvoPWN343VertexType), 3);
    EXPECT_EQ(KelvoGetVertexComponentIndex("Color", KelvoPN33VertexType), -1);
    for (char const *Name : {"Position", "Normal", "Tangent", "Binormal", "TangentBinormalCross",
                             "BoneWeights", "BoneIndices"}) {
        EXPECT_TRUE(KelvoIsSpatialVertexMember(Name)) << Name;
    }
    EXPECT_FALSE(KelvoIsSpatialVertexMember("position"));
    EXPECT_FALSE(KelvoIsSpatialVertexMember("TextureCoordinates0"));
    EXPECT_FALSE(KelvoIsSpatialVertexMember(nullptr));

    char Buffer[64];
    KelvoGetVertexTextureCoordinatesName(12, Buffer);
    EXPECT_STREQ(Buffer, "TextureCoordinates12");
    KelvoGetVertexDiffuseColorName(0, Buffer);
    EXPECT_STREQ(Buffer, "DiffuseColor0");
    KelvoGetVertexSpecularColorName(3, Buffer);
    EXPECT_STREQ(Buffer, "SpecularColor3");

    kelvo_string_slot Names[2] = {"pos", "nrm"};
    kelvo_vertex_data Data = {KelvoPNT332VertexType, 0, nullptr, 2, Names, 0, nullptr};
    EXPECT_STREQ(KelvoGetVertexComponentToolName("normal", &Data), "nrm");
    EXPECT_EQ(KelvoGetVertexComponentToolName("TextureCoordinates0", &Data), nullptr);
    EXPECT_EQ(KelvoGetVertexComponentToolName("Color", &Data), nullptr);
}

TEST_F(VertexLayoutTest, WritersSetOnlyTheMembersTheLayoutHas) {
    kelvo_pnt332_vertex Vertex;
    memset(&Vertex, 0, sizeof(Vertex));
    kelvo_real32 const Values[3] = {1, 2, 3};
    KelvoSetVertexPosition(KelvoPNT332VertexType, &Vertex, Values);
    KelvoSetVertexNormal(KelvoPNT332VertexType, &Vertex, Values);
    KelvoSetVertexUVW(KelvoPNT332VertexType, &Vertex, 0, Values);
    KelvoSetVertexUVW(KelvoPNT332VertexType, &Vertex, 1, Values);   // no such channel
    KelvoSetVertexColor(KelvoPNT332VertexType, &Vertex, 0, Values); // no colours
    kelvo_pnt332_vertex const Expected = {{1, 2, 3}, {1, 2, 3}, {1, 2}};
    EXPECT_EQ(memcmp(&Vertex, &Expected, sizeof(Vertex)), 0);

    wide_vertex Wide;
    memset(&Wide, 0, sizeof(Wide));
    KelvoSetVertexColor(WideVertexType, &Wide, 0, Values);
    EXPECT_EQ(Wide.DiffuseColor0[2], 3.0f);
    EXPECT_EQ(Wide.Position[0], 0.0f);
}

TEST_F(VertexLayoutTest, DirectionsNormalizeAndTransformInPlace) {
    kelvo_pwngb34333_vertex Vertices[2] = {
        {{1, 2, 3}, {10, 20, 30, 40}, {1, 2, 3, 4}, {3, 0, 4}, {0, 0, 0.000001f}, {0, 2, 0}},
        {{0, 0, 0}, {255, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 2}, {2, 0, 0}, {0, 0, 0}}};
    KelvoNormalizeVertices(2, KelvoPWNGB34333VertexType, Vertices);
    EXPECT_FLOAT_EQ(Vertices[0].Normal[0], 0.6f);
    EXPECT_FLOAT_EQ(Vertices[0].Normal[2], 0.8f);
    EXPECT_EQ(Vertices[0].Tangent[2], 0.0f); // too short: zero
    EXPECT_EQ(Vertices[0].Binormal[1], 1.0f);
    EXPECT_EQ(Vertices[0].Position[2], 3.0f);
    EXPECT_EQ(Vertices[0].BoneWeights[3], 40); // untouched
    EXPECT_EQ(Vertices[0].BoneIndices[3], 4);

    // Scale x by 2 and move by (1, 1, 1): normals follow the inverse transpose.
    kelvo_real32 const Affine[3] = {1, 1, 1};
    kelvo_real32 const Linear[9] = {2, 0, 0, 0, 1, 0, 0, 0, 1};
    kelvo_real32 const Inverse[9] = {0.5f, 0, 0, 0, 1, 0, 0, 0, 1};
    kelvo_pngb3333_vertex Vertex = {{1, 2, 3}, {1, 0, 1}, {1, 1, 0}, {0, 0, 3}};
    kelvo_pngb3333_vertex Kept = Vertex;
    KelvoTransformVertices(1, KelvoPNGB3333VertexType, &Vertex, Affine, Linear, Inverse, 0);
    kelvo_pngb3333_vertex const Expected = {{3, 3, 4}, {0.5f, 0, 1}, {2, 1, 0}, {0, 0, 3}};
    EXPECT_EQ(memcmp(&Vertex, &Expected, sizeof(Vertex)), 0);
    KelvoTransformVertices(1, KelvoPNGB3333VertexType, &Kept, Affine, Linear, Inverse, 1);
    EXPECT_FLOAT_EQ(Kept.Normal[0], 0.5f / std::sqrt(1.25f));
    EXPECT_FLOAT_EQ(Kept.Binormal[2], 1.0f);
    EXPECT_EQ(Kept.Position[0], 3.0f);
}

TEST_F(VertexLayoutTest, StoredWeightsSumExactlyToTheirUnit) {
    struct {
        kelvo_member_type Type;
        kelvo_int32 Width;
        std::vector<int> Weights;
        std::vector<int> Expected;
    } const Cases[] = {
        {KelvoNormalUInt8Member, 4, {64, 64, 64, 64}, {64, 64, 64, 63}},
        {KelvoNormalUInt8Member, 4, {63, 63, 63, 63}, {64, 64, 64, 63}},
        {KelvoNormalUInt8Member, 4, {255, 255, 0, 0}, {128, 127, 0, 0}},
        {KelvoNormalUInt8Member, 2, {0, 0}, {128, 127}},
        {KelvoNormalUInt8Member, 0, {7}, {7}}, // width 0: nothing to adjust, and it ends
        {KelvoBinormalInt8Member, 2, {100, 100}, {64, 63}},
        {KelvoBinormalInt8Member, 3, {127, 127, -128}, {127, 127, -127}},
        {KelvoNormalUInt16Member, 2, {30000, 30000}, {32768, 32767}},
        {KelvoBinormalInt16Member, 2, {32767, 32767}, {16384, 16383}},
        {KelvoReal32Member, 2, {0, 0}, {0, 0}},
    };
    for (auto const &Case : Cases) {
        kelvo_data_type_definition const Member =
            MakeMember(Case.Type, "BoneWeights", nullptr, Case.Width);
        kelvo_int32 Unit = KelvoGetMemberUnitSize(&Member);
        std::vector<kelvo_uint8> Data(Case.Weights.size() * (size_t)Unit);
        for (size_t Index = 0; Index < Case.Weights.size(); ++Index) {
            memcpy(&Data[Index * (size_t)Unit], &Case.Weights[Index], (size_t)Unit);
        }
        KelvoEnsureExactOneNorm(&Member, Data.data());
        for (size_t Index = 0; Index < Case.Weights.size(); ++Index) {
            int Value = 0;
            memcpy(&Value, &Data[Index * (size_t)Unit], (size_t)Unit);
            if (Unit == 1 && Case.Type == KelvoBinormalInt8Member) {
                Value = (kelvo_int8)Value;
            }
            EXPECT_EQ(Value, Case.Expected[Index]) << Case.Type << " weight " << Index;
        }
    }
    kelvo_data_type_definition const Wrong =
        MakeMember(KelvoUInt8Member, "BoneWeights", nullptr, 4);
    kelvo_uint8 Bytes[4] = {1, 2, 3, 4};
    KelvoEnsureExactOneNorm(&Wrong, Bytes);
    ExpectLoggedFrom(KelvoErrorLogMessage, KelvoMeshLogMessage,
                     "EnsureExactOneNorm called on unsupported type 12\n");
    EXPECT_EQ(Bytes[3], 4);
}

TEST_F(VertexLayoutTest, WeightsNormalizeToOneAndQuantizeExactly) {
    kelvo_pwn343_vertex Vertices[3] = {{{1, 2, 3}, {10, 10, 0, 0}, {5, 6, 7, 8}, {0, 1, 0}},
                                       {{0, 0, 0}, {1, 1, 1, 0}, {0, 1, 2, 3}, {0, 0, 1}},
                                       {{0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 1}}};
    KelvoOneNormalizeWeights(3, KelvoPWN343VertexType, Vertices);
    kelvo_uint8 const Expected[3][4] = {{128, 127, 0, 0}, {85, 85, 85, 0}, {64, 64, 64, 63}};
    for (int Vertex = 0; Vertex < 3; ++Vertex) {
        EXPECT_EQ(memcmp(Vertices[Vertex].BoneWeights, Expected[Vertex], 4), 0) << Vertex;
    }
    EXPECT_EQ(Vertices[0].BoneIndices[3], 8);
    EXPECT_EQ(Vertices[0].Position[2], 3.0f);
    // Without weights nothing happens.
    kelvo_pn33_vertex Plain = {{1, 2, 3}, {4, 5, 6}};
    KelvoOneNormalizeWeights(1, KelvoPN33VertexType, &Plain);
    EXPECT_EQ(Plain.Normal[2], 6.0f);
}

} // namespace
