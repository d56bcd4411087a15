// The exported data of libkelvo2.so read as a program that declares them by
// the public header does: each symbol is a pointer variable, and what it
// points at is the constant it names. An export that were an array would
// hand its first bytes out as an address here.
#include "kelvo_test.h"

#include "asset/kelvo_file_info.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <cstring>
#include <string>

namespace {

class ExportedDataTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        char const *Path = getenv("KELVO_SHARED_LIBRARY");
        if (!Path) {
            GTEST_SKIP() << "KELVO_SHARED_LIBRARY names no shared library (run through CTest)";
        }
        Library = dlopen(Path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(Library, nullptr) << dlerror();
    }
    void TearDown() override {
        if (Library) {
            dlclose(Library);
        }
        KelvoTest::TearDown();
    }

    // The value of the pointer variable Name in the shared library.
    template <typename Pointee> Pointee const *Read(std::string const &Name) {
        auto *Variable = static_cast<Pointee const *const *>(dlsym(Library, Name.c_str()));
        EXPECT_NE(Variable, nullptr) << Name << " is not exported";
        return Variable ? *Variable : nullptr;
    }

    void *Library = nullptr;
};

TEST_F(ExportedDataTest, ScalarTablesPointAtTheirDefinition) {
    struct scalar {
        char const *Export;
        kelvo_member_type Type;
        char const *Name;
        kelvo_int32 ArrayWidth;
    } const Scalars[] = {
        {"KelvoEmptyType", KelvoEndMember, nullptr, 0},
        {"KelvoStringType", KelvoStringMember, "String", 0},
        {"KelvoInt16Type", KelvoInt16Member, "Int16", 0},
        {"KelvoInt32Type", KelvoInt32Member, "Int32", 0},
        {"KelvoUInt8Type", KelvoUInt8Member, "UInt8", 0},
        {"KelvoUInt16Type", KelvoUInt16Member, "UInt16", 0},
        {"KelvoUInt32Type", KelvoUInt32Member, "UInt32", 0},
        {"KelvoReal32Type", KelvoReal32Member, "Real32", 0},
        {"KelvoTripleType", KelvoReal32Member, "Real32", 3},
        {"KelvoQuadType", KelvoReal32Member, "Real32", 4},
        {"KelvoTransformType", KelvoTransformMember, "Transform", 0},
    };
    for (scalar const &Scalar : Scalars) {
        kelvo_data_type_definition const *Type = Read<kelvo_data_type_definition>(Scalar.Export);
        ASSERT_NE(Type, nullptr) << Scalar.Export;
        EXPECT_EQ(Type[0].Type, Scalar.Type) << Scalar.Export;
        EXPECT_EQ(Type[0].ArrayWidth, Scalar.ArrayWidth) << Scalar.Export;
        EXPECT_EQ(+Type[0].ReferenceType, nullptr) << Scalar.Export;
        if (Scalar.Name) {
            EXPECT_STREQ(Type[0].Name, Scalar.Name) << Scalar.Export;
            EXPECT_EQ(Type[1].Type, KelvoEndMember) << Scalar.Export;
        }
    }
}

TEST_F(ExportedDataTest, MagicValuesPointAtTheirRecord) {
    struct magic {
        char const *Export;
        kelvo_uint8 Bytes[16];
    } const Magics[] = {
        {"KelvoKVNFileMV_32Bit_LittleEndian",
         {0x29, 0xde, 0x6c, 0xc0, 0xba, 0xa4, 0x53, 0x2b, 0x25, 0xf5, 0xb7, 0xa5, 0xf6, 0x66, 0xe2,
          0xee}},
        {"KelvoKVNFileMV_32Bit_BigEndian",
         {0x0e, 0x11, 0x95, 0xb5, 0x6a, 0xa5, 0xb5, 0x4b, 0xeb, 0x28, 0x28, 0x50, 0x25, 0x78, 0xb3,
          0x04}},
        {"KelvoKVNFileMV_64Bit_LittleEndian",
         {0xe5, 0x9b, 0x49, 0x5e, 0x6f, 0x63, 0x1f, 0x14, 0x1e, 0x13, 0xeb, 0xa9, 0x90, 0xbe, 0xed,
          0xc4}},
        {"KelvoKVNFileMV_64Bit_BigEndian",
         {0x31, 0x95, 0xd4, 0xe3, 0x20, 0xdc, 0x4f, 0x62, 0xcc, 0x36, 0xd0, 0x3a, 0xb1, 0x82, 0xff,
          0x89}},
        {"KelvoKVNFileMV_Old",
         {0xb8, 0x67, 0xb0, 0xca, 0xf8, 0x6d, 0xb1, 0x0f, 0x84, 0x72, 0x8c, 0x7e, 0x5e, 0x19, 0x00,
          0x1e}},
    };
    kelvo_uint8 const Zeros[16] = {};
    for (magic const &Magic : Magics) {
        kelvo_file_magic_value const *Value = Read<kelvo_file_magic_value>(Magic.Export);
        ASSERT_NE(Value, nullptr) << Magic.Export;
        // Stored as in files: the record's bytes are the file's bytes.
        EXPECT_EQ(memcmp(Value, Magic.Bytes, 16), 0) << Magic.Export;
        EXPECT_EQ(memcmp(reinterpret_cast<kelvo_uint8 const *>(Value) + 16, Zeros, 16), 0)
            << Magic.Export;
    }
    // This build's own value: its pointer size, little-endian.
    kelvo_file_magic_value const *ThisPlatform =
        Read<kelvo_file_magic_value>("KelvoKVNFileMV_ThisPlatform");
    ASSERT_NE(ThisPlatform, nullptr);
    EXPECT_EQ(memcmp(ThisPlatform, Magics[sizeof(void *) == 8 ? 2 : 0].Bytes, 16), 0);
}

TEST_F(ExportedDataTest, StockPixelLayoutsPointAtTheirLayout) {
    struct stock {
        char const *Name;
        kelvo_pixel_layout Layout;
    } const Stocks[] = {
        {"RGB555", {2, {0, 5, 10, 0}, {5, 5, 5, 0}}},    {"RGB565", {2, {0, 5, 11, 0}, {5, 6, 5, 0}}},
        {"RGBA5551", {2, {0, 5, 10, 15}, {5, 5, 5, 1}}}, {"RGBA4444", {2, {0, 4, 8, 12}, {4, 4, 4, 4}}},
        {"RGB888", {3, {0, 8, 16, 0}, {8, 8, 8, 0}}},    {"RGBA8888", {4, {0, 8, 16, 24}, {8, 8, 8, 8}}},
        {"ARGB8888", {4, {8, 16, 24, 0}, {8, 8, 8, 8}}}, {"BGR555", {2, {10, 5, 0, 0}, {5, 5, 5, 0}}},
        {"BGR565", {2, {11, 5, 0, 0}, {5, 6, 5, 0}}},    {"BGRA5551", {2, {10, 5, 0, 15}, {5, 5, 5, 1}}},
        {"BGRA4444", {2, {8, 4, 0, 12}, {4, 4, 4, 4}}},  {"BGR888", {3, {16, 8, 0, 0}, {8, 8, 8, 0}}},
        {"BGRA8888", {4, {16, 8, 0, 24}, {8, 8, 8, 8}}},
    };
    for (stock const &Stock : Stocks) {
        std::string Export = std::string("Kelvo") + Stock.Name + "PixelFormat";
        kelvo_pixel_layout const *Layout = Read<kelvo_pixel_layout>(Export);
        EXPECT_TRUE(Layout && memcmp(Layout, &Stock.Layout, sizeof(Stock.Layout)) == 0) << Export;
    }
}

// The rest are compared with the static build's constants, which the asset
// tests check member by member.
TEST_F(ExportedDataTest, AssetTablesAndTheRegistryPointAtTheLibrarysDefinitions) {
#define ASSET_TABLE(Name) {"Kelvo" #Name "Type", Kelvo##Name##Type}
    struct table {
        char const *Export;
        kelvo_data_type_definition const *Type;
    } const Tables[] = {
        // clang-format off
        ASSET_TABLE(FileInfo), ASSET_TABLE(ArtToolInfo), ASSET_TABLE(ExporterInfo),
        ASSET_TABLE(Texture), ASSET_TABLE(PixelLayout), ASSET_TABLE(TextureImage),
        ASSET_TABLE(TextureMIPLevel), ASSET_TABLE(Material), ASSET_TABLE(MaterialMap),
        ASSET_TABLE(Skeleton), ASSET_TABLE(Bone), ASSET_TABLE(VertexData),
        ASSET_TABLE(VertexAnnotationSet), ASSET_TABLE(TriTopology), ASSET_TABLE(TriMaterialGroup),
        ASSET_TABLE(TriAnnotationSet), ASSET_TABLE(Mesh), ASSET_TABLE(MorphTarget),
        ASSET_TABLE(MaterialBinding), ASSET_TABLE(BoneBinding), ASSET_TABLE(Model),
        ASSET_TABLE(ModelMeshBinding), ASSET_TABLE(Animation), ASSET_TABLE(TrackGroup),
        ASSET_TABLE(VectorTrack), ASSET_TABLE(TransformTrack), ASSET_TABLE(TextTrack),
        ASSET_TABLE(TextTrackEntry), ASSET_TABLE(PeriodicLoop), ASSET_TABLE(Curve2),
        ASSET_TABLE(OldCurve), ASSET_TABLE(VertexWeightArrays),
        // clang-format on
    };
#undef ASSET_TABLE
    for (table const &Table : Tables) {
        kelvo_data_type_definition const *Type = Read<kelvo_data_type_definition>(Table.Export);
        EXPECT_TRUE(Type && KelvoDataTypesAreEqualWithNames(Type, Table.Type)) << Table.Export;
    }
    // Every stock vertex layout is exported under the name the library
    // gives it.
    EXPECT_EQ(kelvo::StockVertexLayoutCount, 29);
    for (kelvo_int32 Index = 0; Index < kelvo::StockVertexLayoutCount; ++Index) {
        kelvo::stock_vertex_layout const &Layout = kelvo::StockVertexLayouts[Index];
        std::string Export = std::string("Kelvo") + Layout.Name + "VertexType";
        kelvo_data_type_definition const *Type = Read<kelvo_data_type_definition>(Export);
        EXPECT_TRUE(Type && KelvoDataTypesAreEqualWithNames(Type, Layout.Type)) << Export;
        EXPECT_EQ(kelvo::FindStockVertexLayout(Layout.Type), &Layout);
    }

    kelvo_defined_type const *Defined = Read<kelvo_defined_type>("KelvoDefinedTypes");
    ASSERT_NE(Defined, nullptr);
    auto *Count =
        reinterpret_cast<kelvo_int32 (*)(void)>(dlsym(Library, "KelvoGetDefinedTypeCount"));
    ASSERT_NE(Count, nullptr);
    ASSERT_EQ(Count(), 30);
    EXPECT_EQ(Defined[0].UID, 0x10001u);
    EXPECT_STREQ(Defined[0].Name, "animation");
    EXPECT_EQ(+Defined[0].Definition, Read<kelvo_data_type_definition>("KelvoAnimationType"));
    EXPECT_EQ(Defined[29].UID, 0x10020u);
    EXPECT_STREQ(Defined[29].Name, "vertex_data");
    EXPECT_EQ(+Defined[29].Definition, Read<kelvo_data_type_definition>("KelvoVertexDataType"));
    for (kelvo_int32 Index = 0; Index < 30; ++Index) {
        EXPECT_EQ(Defined[Index].UID, KelvoDefinedTypes[Index].UID);
        EXPECT_STREQ(Defined[Index].Name, KelvoDefinedTypes[Index].Name);
        EXPECT_TRUE(KelvoDataTypesAreEqualWithNames(Defined[Index].Definition,
                                                    KelvoDefinedTypes[Index].Definition))
            << Defined[Index].Name;
    }
}

TEST_F(ExportedDataTest, ConstantTrackMasksPointAtTheirRecords) {
    kelvo_track_mask const *Identity = Read<kelvo_track_mask>("KelvoIdentityTrackMask");
    kelvo_track_mask const *Null = Read<kelvo_track_mask>("KelvoNullTrackMask");
    ASSERT_NE(Identity, nullptr);
    ASSERT_NE(Null, nullptr);
    EXPECT_EQ(Identity->DefaultWeight, 1.0f);
    EXPECT_EQ(Identity->BoneCount, 0);
    EXPECT_EQ(Null->DefaultWeight, 0.0f);
    EXPECT_EQ(Null->BoneCount, 0);
}

} // namespace
