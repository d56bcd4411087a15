#include "file_image_decoder.h"
#include "data/kelvo_data_type.h"
#include "kelvo_test.h"
#include "kv2_sample_asset.h"
#include "tree_comparison.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using kelvo::MakeMember;

namespace {

struct record_size {
    char const *Name;
    kelvo_data_type_definition const *Type;
    size_t RecordSize;  // the C record of this build
    kelvo_int32 Size32; // with 4-byte pointers, as files and callers know it
};

#define RECORD(Name, Record, Size32)                                                               \
    { #Name, Name, sizeof(Record), Size32 }
record_size const Records[] = {
    RECORD(KelvoFileInfoType, kelvo_file_info, 92),
    RECORD(KelvoArtToolInfoType, kelvo_art_tool_info, 72),
    RECORD(KelvoExporterInfoType, kelvo_exporter_info, 28),
    RECORD(KelvoTextureType, kelvo_texture, 76),
    RECORD(KelvoPixelLayoutType, kelvo_pixel_layout, 36),
    RECORD(KelvoTextureImageType, kelvo_texture_image, 8),
    RECORD(KelvoTextureMIPLevelType, kelvo_texture_mip_level, 12),
    RECORD(KelvoMaterialType, kelvo_material, 24),
    RECORD(KelvoMaterialMapType, kelvo_material_map, 8),
    RECORD(KelvoSkeletonType, kelvo_skeleton, 16),
    RECORD(KelvoBoneType, kelvo_bone, 152),
    RECORD(KelvoVertexDataType, kelvo_vertex_data, 28),
    RECORD(KelvoVertexAnnotationSetType, kelvo_vertex_annotation_set, 28),
    RECORD(KelvoTriTopologyType, kelvo_tri_topology, 72),
    RECORD(KelvoTriMaterialGroupType, kelvo_tri_material_group, 12),
    RECORD(KelvoTriAnnotationSetType, kelvo_tri_annotation_set, 28),
    RECORD(KelvoMeshType, kelvo_mesh, 44),
    RECORD(KelvoMorphTargetType, kelvo_morph_target, 8),
    RECORD(KelvoMaterialBindingType, kelvo_material_binding, 4),
    RECORD(KelvoBoneBindingType, kelvo_bone_binding, 36),
    RECORD(KelvoModelType, kelvo_model, 84),
    RECORD(KelvoModelMeshBindingType, kelvo_model_mesh_binding, 4),
    RECORD(KelvoAnimationType, kelvo_animation, 24),
    RECORD(KelvoTrackGroupType, kelvo_track_group, 136),
    RECORD(KelvoVectorTrackType, kelvo_vector_track, 16),
    RECORD(KelvoTransformTrackType, kelvo_transform_track, 32),
    RECORD(KelvoTextTrackType, kelvo_text_track, 12),
    RECORD(KelvoTextTrackEntryType, kelvo_text_track_entry, 8),
    RECORD(KelvoPeriodicLoopType, kelvo_periodic_loop, 48),
    RECORD(KelvoCurve2Type, kelvo_curve2, 8),
    RECORD(KelvoOldCurveType, kelvo_old_curve, 20),
    RECORD(KelvoVertexWeightArraysType, kelvo_vertex_weight_arrays, 2048),
    RECORD(KelvoGBX333VertexType, kelvo_gbx333_vertex, 36),
    RECORD(KelvoP3VertexType, kelvo_p3_vertex, 12),
    RECORD(KelvoPN33VertexType, kelvo_pn33_vertex, 24),
    RECORD(KelvoPNG333VertexType, kelvo_png333_vertex, 36),
    RECORD(KelvoPNGB3333VertexType, kelvo_pngb3333_vertex, 48),
    RECORD(KelvoPNGBT33332VertexType, kelvo_pngbt33332_vertex, 56),
    RECORD(KelvoPNGBT33333VertexType, kelvo_pngbt33333_vertex, 60),
    RECORD(KelvoPNGT3332VertexType, kelvo_pngt3332_vertex, 44),
    RECORD(KelvoPNT332VertexType, kelvo_pnt332_vertex, 32),
    RECORD(KelvoPNT333VertexType, kelvo_pnt333_vertex, 36),
    RECORD(KelvoPT32VertexType, kelvo_pt32_vertex, 20),
    RECORD(KelvoPWN313VertexType, kelvo_pwn313_vertex, 28),
    RECORD(KelvoPWN323VertexType, kelvo_pwn323_vertex, 28),
    RECORD(KelvoPWN343VertexType, kelvo_pwn343_vertex, 32),
    RECORD(KelvoPWNG3133VertexType, kelvo_pwng3133_vertex, 40),
    RECORD(KelvoPWNG3233VertexType, kelvo_pwng3233_vertex, 40),
    RECORD(KelvoPWNG3433VertexType, kelvo_pwng3433_vertex, 44),
    RECORD(KelvoPWNGB31333VertexType, kelvo_pwngb31333_vertex, 52),
    RECORD(KelvoPWNGB32333VertexType, kelvo_pwngb32333_vertex, 52),
    RECORD(KelvoPWNGB34333VertexType, kelvo_pwngb34333_vertex, 56),
    RECORD(KelvoPWNGBT313332VertexType, kelvo_pwngbt313332_vertex, 60),
    RECORD(KelvoPWNGBT323332VertexType, kelvo_pwngbt323332_vertex, 60),
    RECORD(KelvoPWNGBT343332VertexType, kelvo_pwngbt343332_vertex, 64),
    RECORD(KelvoPWNGT31332VertexType, kelvo_pwngt31332_vertex, 52),
    RECORD(KelvoPWNGT32332VertexType, kelvo_pwngt32332_vertex, 48),
    RECORD(KelvoPWNGT34332VertexType, kelvo_pwngt34332_vertex, 52),
    RECORD(KelvoPWNT3132VertexType, kelvo_pwnt3132_vertex, 36),
    RECORD(KelvoPWNT3232VertexType, kelvo_pwnt3232_vertex, 36),
    RECORD(KelvoPWNT3432VertexType, kelvo_pwnt3432_vertex, 40),
};
#undef RECORD

class FileInfoTest : public KelvoTest {};

TEST_F(FileInfoTest, DefinitionsMeasureAsTheirRecordsWithEitherPointerSize) {
    for (record_size const &Record : Records) {
        SCOPED_TRACE(Record.Name);
        ASSERT_NE(Record.Type, nullptr);
        EXPECT_EQ((size_t)KelvoGetTotalObjectSize(Record.Type), Record.RecordSize);
        EXPECT_EQ(kelvo::GetTotalObjectSize(Record.Type, 32), Record.Size32);
        // Members are matched by name when trees are converted: each must
        // have one, once.
        std::set<std::string> Names;
        for (kelvo_data_type_definition const *Member = Record.Type; Member->Type != KelvoEndMember;
             ++Member) {
            ASSERT_NE(+Member->Name, nullptr);
            EXPECT_TRUE(Names.insert(Member->Name).second) << Member->Name;
            bool Refers = Member->Type == KelvoInlineMember ||
                          Member->Type == KelvoReferenceMember ||
                          Member->Type == KelvoReferenceToArrayMember ||
                          Member->Type == KelvoArrayOfReferencesMember;
            EXPECT_EQ(Refers, Member->ReferenceType != nullptr) << Member->Name;
        }
    }
    // Mixed element sizes make the vertex layouts with bytes marshal member
    // by member; the all-real ones in one sweep.
    EXPECT_TRUE(KelvoIsMixedMarshalling(KelvoGetObjectMarshalling(KelvoPWNT3432VertexType)));
    EXPECT_EQ(KelvoGetObjectMarshalling(KelvoPNT332VertexType), KelvoInt32Marshalling);
    EXPECT_TRUE(KelvoDataTypeBeginsWith(KelvoPNGBT33332VertexType, KelvoPNGB3333VertexType));
}

// A definition's members in one line: a letter per member type, the width
// when above one, and what a reference refers to in brackets (a table by its
// name, a scalar table by its letter): s string, i int32, u uint32, h int16,
// b uint8, B normalized uint8, r real32, T transform, v variant, R reference,
// A array, S array of references, V variant array, I inline.
std::string Signature(kelvo_data_type_definition const *Type, bool WithNames = false) {
    static std::pair<kelvo_member_type, char> const Letters[] = {
        {KelvoStringMember, 's'},          {KelvoInt32Member, 'i'},
        {KelvoUInt32Member, 'u'},          {KelvoInt16Member, 'h'},
        {KelvoUInt8Member, 'b'},           {KelvoNormalUInt8Member, 'B'},
        {KelvoReal32Member, 'r'},          {KelvoTransformMember, 'T'},
        {KelvoVariantReferenceMember, 'v'}, {KelvoReferenceMember, 'R'},
        {KelvoReferenceToArrayMember, 'A'}, {KelvoArrayOfReferencesMember, 'S'},
        {KelvoReferenceToVariantArrayMember, 'V'}, {KelvoInlineMember, 'I'}};
    std::pair<kelvo_data_type_definition const *, char const *> const Scalars[] = {
        {KelvoStringType, "s"}, {KelvoInt32Type, "i"}, {KelvoInt16Type, "h"},
        {KelvoUInt8Type, "b"},  {KelvoReal32Type, "r"}, {KelvoUInt32Type, "u"}};
    std::string Result;
    for (; Type->Type != KelvoEndMember; ++Type) {
        Result += Result.empty() ? "" : " ";
        Result += WithNames ? std::string(Type->Name) + ":" : "";
        char Letter = '?';
        for (auto const &[MemberType, Known] : Letters) {
            Letter = MemberType == Type->Type ? Known : Letter;
        }
        Result += Letter;
        Result += Type->ArrayWidth > 1 ? std::to_string(Type->ArrayWidth) : "";
        if (Type->ReferenceType) {
            std::string Target = "?";
            for (record_size const &Record : Records) {
                if (Record.Type == Type->ReferenceType) {
                    Target = std::string(Record.Name + 5); // without "Kelvo"
                    Target.resize(Target.size() - 4);      // and "Type"
                }
            }
            for (auto const &[Scalar, Name] : Scalars) {
                Target = Scalar == Type->ReferenceType ? Name : Target;
            }
            Result += "<" + Target + ">";
        }
    }
    return Result;
}

// The member types the asset records declare in the public header.
TEST_F(FileInfoTest, AssetTablesHaveTheMemberTypesOfTheirRecords) {
    std::pair<kelvo_data_type_definition const *, char const *> const Tables[] = {
        {KelvoFileInfoType, "R<ArtToolInfo> R<ExporterInfo> s S<Texture> S<Material> S<Skeleton> "
                            "S<VertexData> S<TriTopology> S<Mesh> S<Model> S<TrackGroup> "
                            "S<Animation> v"},
        {KelvoArtToolInfoType, "s i i r r3 r3 r3 r3 v"},
        {KelvoExporterInfoType, "s i i i i v"},
        {KelvoTextureType, "s i i i i i I<PixelLayout> A<TextureImage> v"},
        {KelvoPixelLayoutType, "i i4 i4"},
        {KelvoTextureImageType, "A<TextureMIPLevel>"},
        {KelvoTextureMIPLevelType, "i A<b>"},
        {KelvoMaterialType, "s A<MaterialMap> R<Texture> v"},
        {KelvoMaterialMapType, "s R<Material>"},
        {KelvoSkeletonType, "s A<Bone> i"},
        {KelvoBoneType, "s i T r16 r v"},
        {KelvoVertexDataType, "V A<s> A<VertexAnnotationSet>"},
        {KelvoVertexAnnotationSetType, "s V i A<i>"},
        {KelvoTriTopologyType, "A<TriMaterialGroup> A<i> A<h> A<i> A<i> A<i> A<i> A<i> "
                               "A<TriAnnotationSet>"},
        {KelvoTriMaterialGroupType, "i i i"},
        {KelvoTriAnnotationSetType, "s V i A<i>"},
        {KelvoMeshType, "s R<VertexData> A<MorphTarget> R<TriTopology> A<MaterialBinding> "
                        "A<BoneBinding> v"},
        {KelvoMorphTargetType, "s R<VertexData>"},
        {KelvoMaterialBindingType, "R<Material>"},
        {KelvoBoneBindingType, "s r3 r3 A<i>"},
        {KelvoModelType, "s R<Skeleton> T A<ModelMeshBinding>"},
        {KelvoModelMeshBindingType, "R<Mesh>"},
        {KelvoAnimationType, "s r r r S<TrackGroup>"},
        {KelvoTrackGroupType, "s A<VectorTrack> A<TransformTrack> A<r> A<TextTrack> T i r3 "
                              "R<PeriodicLoop> R<TransformTrack> v"},
        {KelvoVectorTrackType, "s i I<Curve2>"},
        {KelvoTransformTrackType, "s i I<Curve2> I<Curve2> I<Curve2>"},
        {KelvoTextTrackType, "s A<TextTrackEntry>"},
        {KelvoTextTrackEntryType, "r s"},
        {KelvoPeriodicLoopType, "r r r r3 r3 r3"},
        {KelvoCurve2Type, "v"},
        {KelvoOldCurveType, "i A<r> A<r>"},
        {KelvoVertexWeightArraysType, "r256 u256"}};
    for (auto const &[Type, Expected] : Tables) {
        EXPECT_EQ(Signature(Type), Expected);
    }
}

// A vertex layout's name spells its members: P position, W bone weights and
// indices (a single index and no weight for width 1), N normal, G tangent,
// B binormal, X the tangent-binormal cross, T texture coordinates; the digits
// are their widths in order.
TEST_F(FileInfoTest, VertexLayoutsHaveTheMembersTheirNamesSpell) {
    int Layouts = 0;
    for (record_size const &Record : Records) {
        std::string Name = Record.Name;
        size_t End = Name.find("VertexType");
        if (End == std::string::npos) {
            continue;
        }
        ++Layouts;
        std::string Code = Name.substr(5, End - 5); // "PWN323"
        size_t Letters = Code.size() / 2;
        std::string Expected;
        for (size_t Index = 0; Index < Letters; ++Index) {
            std::string Width = Code[Letters + Index] == '1' ? "" : Code.substr(Letters + Index, 1);
            Expected += Expected.empty() ? "" : " ";
            switch (Code[Index]) {
            case 'P': Expected += "Position:r" + Width; break;
            case 'W':
                Expected += Width.empty() ? "BoneIndices:u"
                                          : "BoneWeights:B" + Width + " BoneIndices:b" + Width;
                break;
            case 'N': Expected += "Normal:r" + Width; break;
            case 'G': Expected += "Tangent:r" + Width; break;
            case 'B': Expected += "Binormal:r" + Width; break;
            case 'X': Expected += "TangentBinormalCross:r" + Width; break;
            case 'T': Expected += "TextureCoordinates0:r" + Width; break;
            default: ADD_FAILURE() << Name;
            }
        }
        if (Code == "PWNGT31332") { // three coordinates, as files written with it have
            Expected.back() = '3';
        }
        EXPECT_EQ(Signature(Record.Type, true), Expected) << Name;
    }
    EXPECT_EQ(Layouts, 29);

    // So an 8-bit normalized weight of 255 is a weight of one.
    kelvo_pwn323_vertex Vertex = {{1, 2, 3}, {255, 0}, {200, 1}, {0, 0, 1}};
    constexpr kelvo_data_type_definition Weights[] = {
        MakeMember(KelvoReal32Member, "BoneWeights", nullptr, 2),
        MakeMember(KelvoReal32Member, "BoneIndices", nullptr, 2), MakeMember(KelvoEndMember)};
    kelvo_real32 Converted[4] = {};
    ASSERT_TRUE(KelvoConvertSingleObject(KelvoPWN323VertexType, &Vertex, Weights, Converted));
    EXPECT_EQ(Converted[0], 1.0f);
    EXPECT_EQ(Converted[1], 0.0f);
    EXPECT_EQ(Converted[2], 200.0f);
    EXPECT_EQ(Converted[3], 1.0f);
}

TEST_F(FileInfoTest, DefinedTypesAreListedByUIDAndName) {
    ASSERT_EQ(KelvoGetDefinedTypeCount(), 30);
    std::set<kelvo_data_type_definition const *> Definitions;
    for (kelvo_int32 Index = 0; Index < KelvoGetDefinedTypeCount(); ++Index) {
        kelvo_defined_type const &Entry = KelvoDefinedTypes[Index];
        // 0x10001 to 0x1000E, then 0x10011 to 0x10020.
        kelvo_uint32 Expected = 0x10001u + (kelvo_uint32)Index + (Index >= 14 ? 2 : 0);
        EXPECT_EQ(Entry.UID, Expected);
        ASSERT_NE(Entry.Definition, nullptr);
        EXPECT_TRUE(Definitions.insert(Entry.Definition).second) << Entry.Name;
    }
    auto Find = [](char const *Name) -> kelvo_defined_type const * {
        for (kelvo_int32 Index = 0; Index < KelvoGetDefinedTypeCount(); ++Index) {
            if (strcmp(KelvoDefinedTypes[Index].Name, Name) == 0) {
                return &KelvoDefinedTypes[Index];
            }
        }
        return nullptr;
    };
    struct {
        char const *Name;
        kelvo_uint32 UID;
        kelvo_data_type_definition const *Definition;
    } const Spots[] = {{"animation", 0x10001, KelvoAnimationType},
                       {"curve2", 0x10003, KelvoCurve2Type},
                       {"pixel_layout", 0x1000E, KelvoPixelLayoutType},
                       {"bone", 0x10011, KelvoBoneType},
                       {"skeleton", 0x10012, KelvoSkeletonType},
                       {"strings", 0x10013, KelvoStringType},
                       {"texture_mip_level", 0x10014, KelvoTextureMIPLevelType},
                       {"track_group", 0x1001B, KelvoTrackGroupType},
                       {"vertex_data", 0x10020, KelvoVertexDataType}};
    for (auto const &Spot : Spots) {
        kelvo_defined_type const *Entry = Find(Spot.Name);
        ASSERT_NE(Entry, nullptr) << Spot.Name;
        EXPECT_EQ(Entry->UID, Spot.UID) << Spot.Name;
        EXPECT_EQ(Entry->Definition, Spot.Definition) << Spot.Name;
    }
    // The file info itself is not a listed type.
    EXPECT_EQ(Definitions.count(KelvoFileInfoType), 0u);
}

// ---- writing and loading -----------------------------------------------------

// The asset written through the data tree writer into memory for a platform;
// empty when the builder refuses.
std::vector<kelvo_uint8> WriteImage(kelvo_data_type_definition const *Type, void *Root,
                                    kelvo_uint32 TypeTag, kelvo_file_magic_value const *Magic) {
    kelvo_file_builder *Builder = KelvoBeginFileInMemory(2, TypeTag, Magic, 4096);
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(Type, Root, 0, 0);
    if (!Builder || !Writer) {
        KelvoAbortFile(Builder);
        KelvoEndFileDataTreeWriting(Writer);
        return {};
    }
    // Vertices apart and compressed, as the library's own files keep them.
    KelvoSetFileSectionForObjectsOfType(Writer, KelvoPWNT3432VertexType, 1);
    KelvoSetFileSectionFormat(Builder, 1, KelvoFenwa1Compression, 4);
    bool Written = KelvoWriteDataTreeToFileBuilder(Writer, Builder);
    KelvoEndFileDataTreeWriting(Writer);
    if (!Written) {
        KelvoAbortFile(Builder);
        return {};
    }
    kelvo_file_writer *Memory = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    if (!KelvoEndFileToWriter(Builder, Memory)) {
        KelvoDeleteFileWriter(Memory);
        return {};
    }
    return StealWriterBytes(Memory);
}

kelvo_file *Load(std::vector<kelvo_uint8> const &Image) {
    return KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
}

// A pointer read from a packed record or a 4-byte-aligned slot, as a plain
// pointer gtest may take by reference.
template <typename Target> Target *Plain(Target *Pointer) {
    return Pointer;
}

void ExpectEqualTrees(kelvo_data_type_definition const *Type, void const *Expected,
                      void const *Actual) {
    tree_comparison Comparison;
    EXPECT_TRUE(Comparison.Equal(Type, Expected, KelvoFileInfoType, Actual)) << Comparison.Where;
}

struct platform {
    char const *Name;
    kelvo_file_magic_value const *Magic;
};

platform const Platforms[] = {{"32-bit little-endian", KelvoKVNFileMV_32Bit_LittleEndian},
                              {"32-bit big-endian", KelvoKVNFileMV_32Bit_BigEndian},
                              {"64-bit little-endian", KelvoKVNFileMV_64Bit_LittleEndian},
                              {"64-bit big-endian", KelvoKVNFileMV_64Bit_BigEndian}};

void PrintTo(platform const &Platform, std::ostream *Out) {
    *Out << Platform.Name;
}

class FileInfoRoundTrip : public KelvoTest, public testing::WithParamInterface<platform> {};

// Written for each platform and loaded on this one, the tree with every kind
// of record comes back member by member.
TEST_P(FileInfoRoundTrip, EveryKindOfRecordComesBackEqual) {
    platform const &Platform = GetParam();
    kv2::sample_asset Asset;
    std::vector<kelvo_uint8> Image =
        WriteImage(KelvoFileInfoType, &Asset.FileInfo, KelvoCurrentTypeTag, Platform.Magic);
    ASSERT_FALSE(Image.empty());
    kelvo_file *File = Load(Image);
    ASSERT_NE(File, nullptr);
    TakeMessages(); // byte-reversed and converted files are announced
    kelvo_file_info *Info = KelvoGetFileInfo(File);
    ASSERT_NE(Info, nullptr);
    kv2::sample_asset Expected;
    ExpectEqualTrees(KelvoFileInfoType, &Expected.FileInfo, Info);
    // Shared records stay shared.
    // Compared as plain pointers read by value from the packed records.
    EXPECT_EQ(Plain(Info->Materials[0]->Maps[0].Map), Plain(Info->Materials[1]));
    EXPECT_EQ(Plain(Info->Meshes[0]->PrimaryVertexData), Plain(Info->VertexDatas[0]));
    EXPECT_EQ(Plain(Info->Meshes[0]->MorphTargets[0].VertexData), Plain(Info->VertexDatas[1]));
    EXPECT_EQ(Plain(Info->Models[0]->Skeleton), Plain(Info->Skeletons[0]));
    EXPECT_EQ(Plain(Info->Animations[0]->TrackGroups[0]), Plain(Info->TrackGroups[0]));
    EXPECT_EQ(Plain(Info->TrackGroups[0]->RootMotion->PositionCurve.CurveData.Object),
              Plain(Info->TrackGroups[0]->TransformTracks[0].PositionCurve.CurveData.Object));
    EXPECT_EQ(KelvoGetFileSectionOfLoadedObject(File, Info->VertexDatas[0]->Vertices), 1);
    KelvoFreeFile(File);
}

INSTANTIATE_TEST_SUITE_P(Platforms, FileInfoRoundTrip, testing::ValuesIn(Platforms),
                         [](testing::TestParamInfo<platform> const &Info) {
                             std::string Name;
                             for (char const *At = Info.param.Name; *At; ++At) {
                                 Name += isalnum((unsigned char)*At) ? *At : '_';
                             }
                             return Name;
                         });

TEST_F(FileInfoTest, CurrentFilesAreTheirRootAndOthersConvertOnce) {
    kv2::sample_asset Asset;
    kelvo_file *File = Load(WriteImage(KelvoFileInfoType, &Asset.FileInfo, KelvoCurrentTypeTag,
                                       KelvoKVNFileMV_ThisPlatform));
    ASSERT_NE(File, nullptr);
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    // Used in place: the checks that prove it sound keep nothing.
    void *Marker = KelvoBeginAllocationCheck();
    EXPECT_EQ((void *)KelvoGetFileInfo(File), Root.Object);
    EXPECT_TRUE(KelvoEndAllocationCheck(Marker));
    EXPECT_EQ(File->ConversionBuffer, nullptr);
    KelvoFreeFile(File);

    File = Load(
        WriteImage(KelvoFileInfoType, &Asset.FileInfo, 0x80000011u, KelvoKVNFileMV_ThisPlatform));
    ASSERT_NE(File, nullptr);
    kelvo_file_info *Converted = KelvoGetFileInfo(File);
    ExpectLogged(KelvoWarningLogMessage,
                 "File has run-time type tag of 0x80000011, which doesn't match this version of "
                 "Kelvo (0x80000020).  Automatic conversion will be attempted.");
    ASSERT_NE(Converted, nullptr);
    KelvoGetDataTreeFromFile(File, &Root);
    EXPECT_NE((void *)Converted, Root.Object);
    EXPECT_EQ(File->ConversionBuffer, (void *)Converted);
    for (int Call = 0; Call < 3; ++Call) {
        EXPECT_EQ(KelvoGetFileInfo(File), Converted);
    }
    EXPECT_TRUE(Messages().empty());
    kv2::sample_asset Expected;
    ExpectEqualTrees(KelvoFileInfoType, &Expected.FileInfo, Converted);
    KelvoFreeFile(File);
}

// The current tag does not make any root a file info: a 4-byte root, or a
// file info whose definition names one member differently, is converted
// rather than handed out in place, and raw conversion writes whole records.
TEST_F(FileInfoTest, CurrentTagWithAnotherRootDefinitionIsConverted) {
    kelvo_int32 Small = 7;
    kv2::sample_asset Asset;
    std::vector<kelvo_data_type_definition> Renamed;
    for (kelvo_data_type_definition const *Member = KelvoFileInfoType;; ++Member) {
        Renamed.push_back(*Member);
        if (Member->Type == KelvoEndMember) {
            break;
        }
    }
    Renamed[0].Name = "Renamed";
    struct root_case {
        kelvo_data_type_definition const *Type;
        void *Root;
    } const Cases[] = {{KelvoInt32Type, &Small}, {Renamed.data(), &Asset.FileInfo}};
    std::string Source = TemporaryPath("current_tag.kv2"), Raw = TemporaryPath("current_raw.kv2");
    for (root_case const &Case : Cases) {
        std::vector<kelvo_uint8> Image =
            WriteImage(Case.Type, Case.Root, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform);
        kelvo_file *File = Load(Image);
        ASSERT_NE(File, nullptr);
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        kelvo_file_info *Info = KelvoGetFileInfo(File);
        ExpectLogged(KelvoWarningLogMessage, "but its root type definition differs");
        ASSERT_NE(Info, nullptr);
        EXPECT_NE((void *)Info, Root.Object);
        EXPECT_EQ(KelvoGetFileInfo(File), Info);
        KelvoFreeFile(File);

        FILE *Out = fopen(Source.c_str(), "wb");
        ASSERT_NE(Out, nullptr);
        fwrite(Image.data(), 1, Image.size(), Out);
        fclose(Out);
        EXPECT_TRUE(KelvoConvertFileToRaw(Source.c_str(), Raw.c_str()));
        ExpectLogged(KelvoWarningLogMessage, "but its root type definition differs");
    }
    remove(Source.c_str());
    remove(Raw.c_str());
}

// ---- an older layout ---------------------------------------------------------

// A bone as an earlier exporter wrote it: a 16-bit parent index beside a
// member that no longer exists, and no LOD error.
#pragma pack(push, 4)
struct old_bone {
    char const *Name;
    kelvo_int16 ParentIndex;
    kelvo_int16 MirrorIndex;
    kelvo_transform Transform;
    kelvo_real32 InverseWorldTransform[16];
    kelvo_variant ExtendedData;
};
#pragma pack(pop)

constexpr kelvo_data_type_definition OldBoneType[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoInt16Member, "ParentIndex"),
    MakeMember(KelvoInt16Member, "MirrorIndex"),
    MakeMember(KelvoTransformMember, "Transform"),
    MakeMember(KelvoReal32Member, "InverseWorldTransform", nullptr, 16),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"),
    MakeMember(KelvoEndMember)};
static_assert(sizeof(old_bone) ==
              (size_t)kelvo::ConstantObjectSize(OldBoneType, kelvo::NativePointerSizeInBits));

// A copy of a definition with one member referring elsewhere.
std::vector<kelvo_data_type_definition> Redirected(kelvo_data_type_definition const *Type,
                                                   char const *Member,
                                                   kelvo_data_type_definition const *To) {
    std::vector<kelvo_data_type_definition> Copy;
    do {
        Copy.push_back(*Type);
        if (Type->Name && strcmp(Type->Name, Member) == 0) {
            Copy.back().ReferenceType = To;
        }
    } while ((Type++)->Type != KelvoEndMember);
    return Copy;
}

TEST_F(FileInfoTest, OlderLayoutsConvertWithValuesKeptByName) {
    std::vector<kelvo_data_type_definition> OldSkeleton =
        Redirected(KelvoSkeletonType, "Bones", OldBoneType);
    std::vector<kelvo_data_type_definition> OldModel =
        Redirected(KelvoModelType, "Skeleton", OldSkeleton.data());
    std::vector<kelvo_data_type_definition> OldFileInfo =
        Redirected(KelvoFileInfoType, "Skeletons", OldSkeleton.data());
    OldFileInfo = Redirected(OldFileInfo.data(), "Models", OldModel.data());

    kv2::sample_asset Asset;
    old_bone OldBones[3];
    for (int Index = 0; Index < 3; ++Index) {
        kelvo_bone const &Bone = Asset.Bones[Index];
        OldBones[Index] = {Bone.Name,
                           (kelvo_int16)Bone.ParentIndex,
                           (kelvo_int16)(2 - Index),
                           Bone.Transform,
                           {},
                           {nullptr, nullptr}};
        memcpy(OldBones[Index].InverseWorldTransform, Bone.InverseWorldTransform,
               sizeof(Bone.InverseWorldTransform));
    }
    Asset.Skeleton.Bones = reinterpret_cast<kelvo_bone *>(OldBones);
    kelvo_file *File = Load(
        WriteImage(OldFileInfo.data(), &Asset.FileInfo, 0x80000010u, KelvoKVNFileMV_ThisPlatform));
    ASSERT_NE(File, nullptr);
    kelvo_file_info *Info = KelvoGetFileInfo(File);
    ExpectLogged(KelvoWarningLogMessage, "File has run-time type tag of 0x80000010");
    ASSERT_NE(Info, nullptr);

    // The bones widen their parents, lose the mirror and gain an empty LOD
    // error; everything else is the tree that was written.
    kv2::sample_asset Expected;
    for (kelvo_bone &Bone : Expected.Bones) {
        Bone.LODError = 0;
    }
    ExpectEqualTrees(KelvoFileInfoType, &Expected.FileInfo, Info);
    kelvo_bone const *Bones = Info->Skeletons[0]->Bones;
    EXPECT_EQ(Bones[0].ParentIndex, -1);
    EXPECT_EQ(Bones[2].ParentIndex, 1);
    EXPECT_EQ(Plain(Info->Models[0]->Skeleton), Plain(Info->Skeletons[0]));
    KelvoFreeFile(File);
}

// ---- normalisation and raw images --------------------------------------------

TEST_F(FileInfoTest, EmptyArraysAreWrittenAsNullPointers) {
    kelvo_file_info Info = {};
    kelvo_texture_slot Dangling[1] = {nullptr};
    Info.TextureCount = 0;
    Info.Textures = Dangling; // a pointer without a count
    Info.MaterialCount = 4;   // a count without a pointer
    Info.FromFileName = "empty.kv2";
    kelvo_file *File = Load(
        WriteImage(KelvoFileInfoType, &Info, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform));
    ASSERT_NE(File, nullptr);
    kelvo_file_info const *Loaded = KelvoGetFileInfo(File);
    ASSERT_NE(Loaded, nullptr);
    EXPECT_STREQ(Loaded->FromFileName, "empty.kv2");
    EXPECT_EQ(Loaded->TextureCount, 0);
    EXPECT_EQ(+Loaded->Textures, nullptr);
    EXPECT_EQ(Loaded->MaterialCount, 0);
    EXPECT_EQ(+Loaded->Materials, nullptr);
    EXPECT_EQ(+Loaded->ArtToolInfo, nullptr);
    EXPECT_EQ(+Loaded->ExtendedData.Type, nullptr);
    KelvoFreeFile(File);
}

kelvo_uintaddrx PointerAt(std::vector<kelvo_uint8> const &Image, kelvo_uintaddrx Offset) {
    kelvo_uintaddrx Value = 0;
    EXPECT_LE(Offset + sizeof(Value), Image.size());
    if (Offset + sizeof(Value) <= Image.size()) {
        memcpy(&Value, Image.data() + Offset, sizeof(Value));
    }
    return Value;
}

std::string StringAt(std::vector<kelvo_uint8> const &Image, kelvo_uintaddrx Offset) {
    if (Offset >= Image.size()) {
        return "(outside the image)";
    }
    char const *Text = reinterpret_cast<char const *>(Image.data()) + Offset;
    return std::string(Text, strnlen(Text, Image.size() - Offset));
}

TEST_F(FileInfoTest, RawImagesHoldOffsetsAndMatchFromFileOrTree) {
    kv2::sample_asset Asset;
    std::string Source = TemporaryPath("raw_source.kv2");
    std::string FromTree = TemporaryPath("raw_tree.bin");
    std::string FromFile = TemporaryPath("raw_file.bin");
    ASSERT_TRUE(kv2::WriteSampleAsset(Asset, Source.c_str()));
    ASSERT_TRUE(KelvoConvertFileInfoToRaw(&Asset.FileInfo, FromTree.c_str()));
    ASSERT_TRUE(KelvoConvertFileToRaw(Source.c_str(), FromFile.c_str()));
    std::vector<kelvo_uint8> Image = ReadFileBytes(FromTree);
    EXPECT_EQ(Image, ReadFileBytes(FromFile));

    // The root comes first; every pointer is an offset into the image.
    ASSERT_GE(Image.size(), sizeof(kelvo_file_info));
    EXPECT_EQ(StringAt(Image, PointerAt(Image, offsetof(kelvo_file_info, FromFileName))),
              "sample.kv2");
    kelvo_uintaddrx Slots = PointerAt(Image, offsetof(kelvo_file_info, Skeletons));
    kelvo_uintaddrx Skeleton = PointerAt(Image, Slots);
    EXPECT_EQ(StringAt(Image, PointerAt(Image, Skeleton + offsetof(kelvo_skeleton, Name))),
              "sample_skeleton");
    kelvo_uintaddrx Bones = PointerAt(Image, Skeleton + offsetof(kelvo_skeleton, Bones));
    EXPECT_EQ(StringAt(Image, PointerAt(Image, Bones + sizeof(kelvo_bone))), "spine");

    // A current-tag file is used in place, so its tree is checked before the
    // writer walks it: here the root's first array claims far more elements
    // than the file holds.
    std::vector<kelvo_uint8> Hostile = ReadFileBytes(Source);
    kelvo_section_header Section;
    memcpy(&Section, Hostile.data() + 32 + sizeof(kelvo_file_header), sizeof(Section));
    ASSERT_EQ(Section.Format, (kelvo_uint32)KelvoNoCompression);
    kelvo_file_header Header;
    memcpy(&Header, Hostile.data() + 32, sizeof(Header));
    ASSERT_EQ(Header.RootObject.SectionIndex, 0u);
    kelvo_int32 Huge = 0x10000000;
    memcpy(Hostile.data() + Section.DataOffset + Header.RootObject.Offset +
               offsetof(kelvo_file_info, TextureCount),
           &Huge, sizeof(Huge));
    std::string HostilePath = TemporaryPath("raw_hostile.kv2");
    FILE *Out = fopen(HostilePath.c_str(), "wb");
    ASSERT_NE(Out, nullptr);
    fwrite(Hostile.data(), 1, Hostile.size(), Out);
    fclose(Out);
    EXPECT_FALSE(KelvoConvertFileToRaw(HostilePath.c_str(), FromFile.c_str()));
    ExpectLogged(KelvoErrorLogMessage, "references of member \"Textures\" do not lie inside");
    remove(HostilePath.c_str());

    std::string Missing = TemporaryPath("no_such_source.kv2");
    EXPECT_FALSE(KelvoConvertFileToRaw(Missing.c_str(), FromFile.c_str()));
    ExpectLogged(KelvoErrorLogMessage, "Unable to open");
    ExpectLogged(KelvoWarningLogMessage, "for raw conversion.");
    EXPECT_FALSE(KelvoConvertFileInfoToRaw(nullptr, FromFile.c_str()));
    ExpectLogged(KelvoErrorLogMessage, "FileInfo is not allowed to be 0");
    remove(Source.c_str());
    remove(FromTree.c_str());
    remove(FromFile.c_str());
}

} // namespace
