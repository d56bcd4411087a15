#include "asset/kelvo_curve_formats.h"
#include "kelvo_test.h"

#include <cmath>
#include <functional>

namespace {

class CurveCheckTest : public KelvoTest {};

// One record of each shape, valid as set up, which the cases then break.
struct records {
    float Floats[12] = {0, 1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0};
    kelvo_uint16 Words[8] = {0, 10, 20, 30, 2, 3, 4, 5};
    kelvo_curve_data_da_k32f_c32f Knotted = {{1, 3}, 0, 4, Floats, 8, Floats + 4};
    kelvo_curve_data_da_keyframes32f Keyframes = {{0, 0}, 2, 8, Floats};
    kelvo_curve_data_d3_k16u_c16u Quantized = {{10, 1}, 0x477F, {1, 1, 1}, {0, 0, 0}, 8, Words};
    kelvo_curve_data_da_k16u_c16u Scaled = {{6, 1}, 0x477F, 2, Floats, 8, Words};
    kelvo_curve_data_d3_constant32f Constant = {{4, 0}, 0, {1, 2, 3}};
};

struct check_case {
    char const *Name;
    std::function<void(records &, kelvo_curve2 &)> Break;
    char const *Message; // null: accepted
};

check_case const Cases[] = {
    {"valid knots and controls", [](records &, kelvo_curve2 &) {}, nullptr},
    {"no curve at all",
     [](records &, kelvo_curve2 &C) {
         C.CurveData = {nullptr, nullptr};
     },
     nullptr},
    {"a format without data", [](records &, kelvo_curve2 &C) { C.CurveData.Object = nullptr; },
     "it has a format and no data"},
    {"data without a format", [](records &, kelvo_curve2 &C) { C.CurveData.Type = nullptr; },
     "it has data and no format"},
    {"a definition of no format",
     [](records &, kelvo_curve2 &C) { C.CurveData.Type = KelvoOldCurveType; },
     "none of the 19 curve formats"},
    {"format byte 255",
     [](records &R, kelvo_curve2 &) { R.Knotted.CurveDataHeader_DaK32fC32f.Format = 255; },
     "format byte 255 disagrees with its definition, format 1"},
    {"format byte 19",
     [](records &R, kelvo_curve2 &) { R.Knotted.CurveDataHeader_DaK32fC32f.Format = 19; },
     "format byte 19 disagrees"},
    {"a variant type of another format",
     [](records &, kelvo_curve2 &C) { C.CurveData.Type = KelvoCurveDataDaK16uC16uType; },
     "format byte 1 disagrees with its definition, format 6"},
    {"degree 4",
     [](records &R, kelvo_curve2 &) { R.Knotted.CurveDataHeader_DaK32fC32f.Degree = 4; },
     "degree 4 is out of range [0, 3]"},
    {"a negative count", [](records &R, kelvo_curve2 &) { R.Knotted.ControlCount = -8; },
     "Controls count -8 is negative"},
    {"a count without its array", [](records &R, kelvo_curve2 &) { R.Knotted.Knots = nullptr; },
     "Knots has 4 values and no array"},
    {"controls not a multiple of the knots",
     [](records &R, kelvo_curve2 &) { R.Knotted.ControlCount = 7; },
     "Controls count 7 is not a multiple of knot count 4"},
    {"no controls for knots", [](records &R, kelvo_curve2 &) { R.Knotted.ControlCount = 0; },
     "dimension 0 is out of range [1, 9]"},
    {"dimension 10",
     [](records &R, kelvo_curve2 &) { R.Knotted.KnotCount = 1, R.Knotted.ControlCount = 10; },
     "dimension 10 is out of range [1, 9]"},
    {"decreasing knots", [](records &R, kelvo_curve2 &) { R.Floats[2] = 0.5f; },
     "knot 2 is out of order"},
    {"a NaN knot", [](records &R, kelvo_curve2 &) { R.Floats[0] = NAN; }, "knot 0 is out of order"},
    {"keyframes of dimension 0",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataDaKeyframes32fType, &R.Keyframes}, R.Keyframes.Dimension = 0;
     },
     "dimension 0 is out of range [1, 9]"},
    {"keyframes of a negative dimension",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataDaKeyframes32fType, &R.Keyframes}, R.Keyframes.Dimension = -3;
     },
     "dimension -3 is out of range [1, 9]"},
    {"keyframes not a multiple of the dimension",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataDaKeyframes32fType, &R.Keyframes}, R.Keyframes.Dimension = 3;
     },
     "Controls count 8 is not a multiple of dimension 3"},
    {"valid quantized knots",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataD3K16uC16uType, &R.Quantized};
     },
     nullptr},
    {"a KnotsControls count that is no whole number of knots",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataD3K16uC16uType, &R.Quantized},
         R.Quantized.KnotControlCount = 7;
     },
     "KnotsControls count 7 is not a multiple of 4 values per knot"},
    {"decreasing integer knots",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataD3K16uC16uType, &R.Quantized}, R.Words[0] = 30;
     },
     "knot 1 is out of order"},
    {"scales and offsets of an odd count",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataDaK16uC16uType, &R.Scaled},
         R.Scaled.ControlScaleOffsetCount = 3;
     },
     "ControlScaleOffsets count 3 is odd"},
    {"scales and offsets of dimension 10",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataDaK16uC16uType, &R.Scaled},
         R.Scaled.ControlScaleOffsetCount = 20;
     },
     "dimension 10 is out of range [1, 9]"},
    {"a valid constant",
     [](records &R, kelvo_curve2 &C) {
         C.CurveData = {KelvoCurveDataD3Constant32fType, &R.Constant};
     },
     nullptr},
};

TEST_F(CurveCheckTest, CurvesFromFilesAreCheckedBeforeUse) {
    for (check_case const &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        records Records;
        kelvo_curve2 Curve = {{KelvoCurveDataDaK32fC32fType, &Records.Knotted}};
        Case.Break(Records, Curve);
        EXPECT_EQ(kelvo::CheckCurve(&Curve, "\"test\""), Case.Message == nullptr);
        if (Case.Message) {
            ExpectLoggedFrom(KelvoErrorLogMessage, KelvoCurveLogMessage, Case.Message);
        }
    }
}

// The file check names the curve by its member, track and track group.
TEST_F(CurveCheckTest, FileInfoChecksNameTheCurve) {
    records Records;
    Records.Knotted.CurveDataHeader_DaK32fC32f.Degree = 7;
    kelvo_transform_track Tracks[2] = {};
    Tracks[0].Name = "hip";
    Tracks[1].Name = "knee";
    Tracks[1].PositionCurve.CurveData = {KelvoCurveDataDaK32fC32fType, &Records.Knotted};
    kelvo_track_group Group = {};
    Group.Name = "walk";
    Group.TransformTrackCount = 2;
    Group.TransformTracks = Tracks;
    kelvo_track_group_slot Groups[1] = {&Group};
    kelvo_file_info Info = {};
    Info.TrackGroupCount = 1;
    Info.TrackGroups = Groups;
    EXPECT_FALSE(kelvo::CheckFileInfoCurves(&Info));
    ExpectLogged(KelvoErrorLogMessage,
                 "Curve \"PositionCurve\" of transform track \"knee\" in track group \"walk\" is "
                 "refused: degree 7");
    Records.Knotted.CurveDataHeader_DaK32fC32f.Degree = 3;
    // A curve must also fit its role: positions have 3 values, vector tracks their own count.
    EXPECT_FALSE(kelvo::CheckFileInfoCurves(&Info));
    ExpectLogged(KelvoErrorLogMessage, "track \"knee\" in track group \"walk\" is refused: its "
                                       "dimension 2 is not the 3 of its role");
    kelvo_vector_track Vector = {"weights", 2, Tracks[1].PositionCurve};
    Tracks[1].PositionCurve = {};
    Group.VectorTrackCount = 1;
    Group.VectorTracks = &Vector;
    EXPECT_TRUE(kelvo::CheckFileInfoCurves(&Info));
    Vector.Dimension = 3;
    EXPECT_FALSE(kelvo::CheckFileInfoCurves(&Info));
    ExpectLogged(KelvoErrorLogMessage, "its dimension 2 is not the 3 of its role");
}

} // namespace
