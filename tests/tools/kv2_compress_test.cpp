// kv2 compress on the sample asset: the refitted file plays back within the
// tolerances asked for, the report says so, and bad arguments are refused.
#include "kelvo_test.h"
#include "kv2_runner.h"

#include <cmath>
#include <cstdio>

#ifdef KELVO_KV2_PATH
namespace {

class Kv2CompressTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        ASSERT_EQ(RunKv2({"make-sample", Sample}).Status, 0);
    }
    void TearDown() override {
        unlink(Sample.c_str());
        unlink(Out.c_str());
        KelvoTest::TearDown();
    }
    std::string Sample = TemporaryPath("compress_in.kv2");
    std::string Out = TemporaryPath("compress_out.kv2");
};

// The largest difference between the two files' tracks at the animation's
// frames: position distance, and 1 - |dot| of the normalized orientations.
void LargestDifferences(kelvo_file_info const *A, kelvo_file_info const *B, double &Position,
                        double &Orientation) {
    kelvo_animation const *Animation = A->Animations[0];
    kelvo_track_group const *GroupA = Animation->TrackGroups[0];
    kelvo_track_group const *GroupB = B->Animations[0]->TrackGroups[0];
    ASSERT_EQ(GroupA->TransformTrackCount, GroupB->TransformTrackCount);
    int Frames = (int)std::lround(Animation->Duration / Animation->TimeStep) + 1;
    Position = Orientation = 0;
    for (int Track = 0; Track < GroupA->TransformTrackCount; ++Track) {
        for (int Frame = 0; Frame < Frames; ++Frame) {
            float T = Frame * Animation->TimeStep;
            float P[2][3], Q[2][4];
            kelvo_transform_track const *Tracks[2] = {&GroupA->TransformTracks[Track],
                                                      &GroupB->TransformTracks[Track]};
            for (int Which = 0; Which < 2; ++Which) {
                KelvoEvaluateCurveAtT(3, false, false, &Tracks[Which]->PositionCurve, false,
                                      Animation->Duration, T, P[Which], KelvoCurveIdentityPosition);
                KelvoEvaluateCurveAtT(4, true, false, &Tracks[Which]->OrientationCurve, false,
                                      Animation->Duration, T, Q[Which],
                                      KelvoCurveIdentityOrientation);
            }
            double Distance = 0, Dot = 0, LengthA = 0, LengthB = 0;
            for (int C = 0; C < 4; ++C) {
                Distance += C < 3 ? std::pow(P[0][C] - P[1][C], 2) : 0;
                Dot += Q[0][C] * Q[1][C];
                LengthA += Q[0][C] * Q[0][C];
                LengthB += Q[1][C] * Q[1][C];
            }
            Position = std::max(Position, std::sqrt(Distance));
            Orientation = std::max(Orientation, 1 - std::fabs(Dot) / std::sqrt(LengthA * LengthB));
        }
    }
}

TEST_F(Kv2CompressTest, RefittedFilePlaysBackWithinTolerance) {
    run_result Result = RunKv2({"compress", Sample, Out, "--tolerance", "0.001,0.00001,0.001",
                                "--formats", "D3K16uC16u,D4nK16uC15u,DaK16uC16u"});
    ASSERT_EQ(Result.Status, 0) << Result.Err;
    double Reported[4];
    long long Before, After;
    ASSERT_EQ(std::sscanf(Result.Out.c_str(),
                          "sample_walk: %lld -> %lld bytes, largest error: position %lf, rotation "
                          "%lf, scale/shear %lf, vector %lf",
                          &Before, &After, &Reported[0], &Reported[1], &Reported[2], &Reported[3]),
              6)
        << Result.Out;
    EXPECT_GT(Before, 0);
    EXPECT_GT(After, 0);
    EXPECT_LE(Reported[0], 0.001);
    EXPECT_LE(Reported[1], 0.00001);

    kelvo_file *Original = KelvoReadEntireFile(Sample.c_str());
    kelvo_file *Compressed = KelvoReadEntireFile(Out.c_str());
    ASSERT_NE(Original, nullptr);
    ASSERT_NE(Compressed, nullptr);
    double Position, Orientation;
    LargestDifferences(KelvoGetFileInfo(Original), KelvoGetFileInfo(Compressed), Position,
                       Orientation);
    EXPECT_LE(Position, 0.001);
    EXPECT_LE(Orientation, 0.00002); // the fit's bound, plus the sampling's normalization
    KelvoFreeFile(Original);
    KelvoFreeFile(Compressed);
}

TEST_F(Kv2CompressTest, RefusesBadArguments) {
    for (std::vector<std::string> const &Wrong : std::vector<std::vector<std::string>>{
             {"compress", Sample},
             {"compress", Sample, Out, "--tolerance", "-1,0,0"},
             {"compress", Sample, Out, "--formats", "D3K16uC16u,DaIdentity"},
             {"compress", Sample, Out, "--level", "3"}}) {
        run_result Result = RunKv2(Wrong);
        EXPECT_EQ(Result.Status, 2) << Wrong.back();
        EXPECT_NE(Result.Err.find("kv2: compress"), std::string::npos) << Result.Err;
    }
}

} // namespace
#endif
