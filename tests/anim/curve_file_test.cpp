#include "asset/kelvo_curve_formats.h"
#include "file_image_decoder.h"
#include "kelvo_test.h"
#include "kv2_sample_asset.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

class CurveFileTest : public KelvoTest {};

// Tracks of earlier files, whose curves are the old record inline.
#pragma pack(push, 4)
struct old_vector_track {
    char const *Name;
    kelvo_int32 Dimension;
    kelvo_old_curve ValueCurve;
};
struct old_transform_track {
    char const *Name;
    kelvo_int32 Flags;
    kelvo_old_curve OrientationCurve;
    kelvo_old_curve PositionCurve;
    kelvo_old_curve ScaleShearCurve;
};
#pragma pack(pop)

// A copy of a definition with some members referring elsewhere.
std::vector<kelvo_data_type_definition> Redirected(kelvo_data_type_definition const *Type,
                                                   std::vector<std::string> const &Members,
                                                   kelvo_data_type_definition const *To) {
    std::vector<kelvo_data_type_definition> Copy;
    do {
        Copy.push_back(*Type);
        for (std::string const &Member : Members) {
            if (Type->Name && Member == Type->Name) {
                Copy.back().ReferenceType = To;
            }
        }
    } while ((Type++)->Type != KelvoEndMember);
    return Copy;
}

std::vector<kelvo_uint8> WriteImage(kelvo_data_type_definition const *Type, void *Root,
                                    kelvo_uint32 TypeTag, kelvo_file_magic_value const *Magic) {
    kelvo_file_builder *Builder = KelvoBeginFileInMemory(1, TypeTag, Magic, 4096);
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(Type, Root, 0, 0);
    bool Written = Builder && Writer && KelvoWriteDataTreeToFileBuilder(Writer, Builder);
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_file_writer *Memory = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 4096);
    if (!Written || !KelvoEndFileToWriter(Builder, Memory)) {
        if (!Written) {
            KelvoAbortFile(Builder);
        }
        KelvoDeleteFileWriter(Memory);
        return {};
    }
    return StealWriterBytes(Memory);
}

// Curves of several degrees and dimensions, and one without knots.
struct curve_data {
    int Degree, Dimension;
    std::vector<float> Knots, Controls;
};

curve_data Data[4] = {
    {2, 1, {0, 0.5f, 1, 1.5f, 2}, {1, 3, 2, 5, 1}},
    {3, 4, {0, 0.4f, 0.8f, 1.2f, 1.6f, 2}, {0,    0, 0, 1, 0.1f, 0, 0, 1, 0.2f, 0, 0, 1,
                                            0.3f, 0, 0, 1, 0.4f, 0, 0, 1, 0,    0, 0, 1}},
    {1, 3, {0, 1, 2}, {0, 0, 0, 1, 2, 3, -1, 0, 4}},
    {0, 9, {}, {}},
};

void Sample(kelvo_curve2 const *Curve, curve_data const &Shape, std::vector<float> &Samples) {
    for (float T : {-0.3f, 0.0f, 0.25f, 0.9f, 1.7f, 2.0f, 2.4f}) {
        for (bool Loop : {false, true}) {
            float Result[9];
            KelvoEvaluateCurveAtT(Shape.Dimension, Shape.Dimension == 4, Loop, Curve, Loop, 2.0f, T,
                                  Result, KelvoCurveIdentityScaleShear);
            Samples.insert(Samples.end(), Result, Result + Shape.Dimension);
        }
    }
}

std::vector<float> SampleAll(kelvo_file_info const *Info) {
    std::vector<float> Samples;
    kelvo_track_group const *Group = Info->TrackGroups[0];
    Sample(&Group->VectorTracks[0].ValueCurve, Data[0], Samples);
    kelvo_transform_track const &Track = Group->TransformTracks[0];
    Sample(&Track.OrientationCurve, Data[1], Samples);
    Sample(&Track.PositionCurve, Data[2], Samples);
    Sample(&Track.ScaleShearCurve, Data[3], Samples);
    return Samples;
}

kelvo_old_curve OldCurve(curve_data &Curve) {
    return {Curve.Degree, (kelvo_int32)Curve.Knots.size(),
            Curve.Knots.empty() ? nullptr : Curve.Knots.data(), (kelvo_int32)Curve.Controls.size(),
            Curve.Controls.empty() ? nullptr : Curve.Controls.data()};
}

// A file whose tracks hold old-record curves loads, converts them to the
// current record and samples exactly as the same curves written as
// DaK32fC32f curves, on this platform and from a byte-reversed 64-bit file.
TEST_F(CurveFileTest, OldRecordFilesSampleAsCurrentOnes) {
    auto Old = Redirected(KelvoVectorTrackType, {"ValueCurve"}, KelvoOldCurveType);
    auto OldTransform =
        Redirected(KelvoTransformTrackType,
                   {"OrientationCurve", "PositionCurve", "ScaleShearCurve"}, KelvoOldCurveType);
    auto OldGroup = Redirected(KelvoTrackGroupType, {"VectorTracks"}, Old.data());
    OldGroup = Redirected(OldGroup.data(), {"TransformTracks", "RootMotion"}, OldTransform.data());
    auto OldInfo = Redirected(KelvoFileInfoType, {"TrackGroups"}, OldGroup.data());

    old_vector_track OldVector = {"blink", 1, OldCurve(Data[0])};
    old_transform_track OldTrack = {"spine", 0, OldCurve(Data[1]), OldCurve(Data[2]),
                                    OldCurve(Data[3])};
    kelvo_curve_data_da_k32f_c32f Records[4];
    kelvo_curve2 Curves[4];
    for (int Index = 0; Index < 4; ++Index) {
        curve_data &Curve = Data[Index];
        KelvoCurveMakeStaticDaK32fC32f(
            &Curves[Index], &Records[Index], (kelvo_int32)Curve.Knots.size(), Curve.Degree,
            Curve.Knots.empty() ? 0 : Curve.Dimension, Curve.Knots.data(), Curve.Controls.data());
    }
    kelvo_vector_track Vector = {"blink", 1, Curves[0]};
    kelvo_transform_track Track = {"spine", 0, Curves[1], Curves[2], Curves[3]};
    kelvo_track_group Group = {};
    Group.Name = "motion";
    Group.VectorTrackCount = 1;
    Group.TransformTrackCount = 1;
    kelvo_track_group_slot Groups[1] = {&Group};
    kelvo_file_info Info = {};
    Info.TrackGroupCount = 1;
    Info.TrackGroups = Groups;

    Group.VectorTracks = &Vector;
    Group.TransformTracks = &Track;
    std::vector<kelvo_uint8> Current =
        WriteImage(KelvoFileInfoType, &Info, 0x80000020u, KelvoKVNFileMV_ThisPlatform);
    Group.VectorTracks = reinterpret_cast<kelvo_vector_track *>(&OldVector);
    Group.TransformTracks = reinterpret_cast<kelvo_transform_track *>(&OldTrack);
    for (kelvo_file_magic_value const *Magic :
         {KelvoKVNFileMV_ThisPlatform, KelvoKVNFileMV_64Bit_BigEndian}) {
        std::vector<kelvo_uint8> Older = WriteImage(OldInfo.data(), &Info, 0x80000010u, Magic);
        ASSERT_FALSE(Current.empty());
        ASSERT_FALSE(Older.empty());
        kelvo_file *CurrentFile =
            KelvoReadEntireFileFromMemory((kelvo_int32)Current.size(), Current.data());
        kelvo_file *OlderFile =
            KelvoReadEntireFileFromMemory((kelvo_int32)Older.size(), Older.data());
        ASSERT_NE(CurrentFile, nullptr);
        ASSERT_NE(OlderFile, nullptr);
        kelvo_file_info *CurrentInfo = KelvoGetFileInfo(CurrentFile);
        kelvo_file_info *OlderInfo = KelvoGetFileInfo(OlderFile);
        TakeMessages(); // the conversion is announced
        ASSERT_NE(CurrentInfo, nullptr);
        ASSERT_NE(OlderInfo, nullptr);
        EXPECT_TRUE(kelvo::CheckFileInfoCurves(CurrentInfo));
        EXPECT_TRUE(kelvo::CheckFileInfoCurves(OlderInfo));
        kelvo_curve2 const &Converted = OlderInfo->TrackGroups[0]->TransformTracks[0].PositionCurve;
        EXPECT_TRUE(KelvoCurveIsTypeDaK32fC32f(&Converted));
        EXPECT_TRUE(KelvoCurveFormatIsInitializedCorrectly(&Converted));
        EXPECT_TRUE(
            KelvoCurveIsIdentity(&OlderInfo->TrackGroups[0]->TransformTracks[0].ScaleShearCurve));
        EXPECT_EQ(SampleAll(CurrentInfo), SampleAll(OlderInfo));
        KelvoFreeFile(OlderFile);
        KelvoFreeFile(CurrentFile);
    }
}

// The sample asset's curves (floats, a D4n quaternion, 8-bit scaled values,
// constants) pass the check and sample the same written for every platform:
// platform conversion carries the curve variants and their arrays.
TEST_F(CurveFileTest, SampleAssetCurvesSurviveEveryPlatform) {
    kelvo_file_magic_value const *Magics[] = {
        KelvoKVNFileMV_32Bit_LittleEndian, KelvoKVNFileMV_32Bit_BigEndian,
        KelvoKVNFileMV_64Bit_LittleEndian, KelvoKVNFileMV_64Bit_BigEndian};
    kv2::sample_asset Asset;
    kelvo_transform_track const &Spine = Asset.TransformTracks[1];
    ASSERT_EQ(KelvoCurveGetDataTypeDefinition(&Spine.OrientationCurve),
              KelvoCurveDataD4nK16uC15uType);
    float Nod[4];
    KelvoEvaluateCurveAtT(4, true, false, &Spine.OrientationCurve, false, 1, 0.5f, Nod, nullptr);
    EXPECT_GT(Nod[0], 0.05f); // the spine does nod
    for (kelvo_file_magic_value const *Magic : Magics) {
        std::vector<kelvo_uint8> Image =
            WriteImage(KelvoFileInfoType, &Asset.FileInfo, 0x80000020u, Magic);
        kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
        ASSERT_NE(File, nullptr);
        kelvo_file_info *Info = KelvoGetFileInfo(File);
        TakeMessages();
        ASSERT_NE(Info, nullptr);
        EXPECT_TRUE(kelvo::CheckFileInfoCurves(Info));
        kelvo_track_group const *Group = Info->TrackGroups[0];
        for (int Track = 0; Track < 3; ++Track) {
            for (float T : {0.1f, 0.7f}) {
                float Loaded[4], Built[4];
                KelvoEvaluateCurveAtT(4, true, true,
                                      &Group->TransformTracks[Track].OrientationCurve, true, 1, T,
                                      Loaded, nullptr);
                KelvoEvaluateCurveAtT(4, true, true, &Asset.TransformTracks[Track].OrientationCurve,
                                      true, 1, T, Built, nullptr);
                EXPECT_EQ(memcmp(Loaded, Built, sizeof(Built)), 0) << Track << " at " << T;
            }
        }
        float Blink[1], Built[1];
        KelvoEvaluateCurveAtT(1, false, false, &Group->VectorTracks[0].ValueCurve, false, 1, 0.5f,
                              Blink, nullptr);
        KelvoEvaluateCurveAtT(1, false, false, &Asset.VectorTracks[0].ValueCurve, false, 1, 0.5f,
                              Built, nullptr);
        EXPECT_EQ(Blink[0], Built[0]);
        EXPECT_GT(Blink[0], 0.4f);
        KelvoFreeFile(File);
    }
}

} // namespace
