// kv2 play with a blend DAG and reaching on the sample asset: blends of the
// walk with itself play as the walk, a reaching bone lands on its point, and
// bad arguments are refused.
#include "kelvo_test.h"
#include "kv2_runner.h"

#include <cmath>
#include <map>

#ifdef KELVO_KV2_PATH
namespace {

class Kv2PlayTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        ASSERT_EQ(RunKv2({"make-sample", Sample}).Status, 0);
    }
    void TearDown() override {
        unlink(Sample.c_str());
        KelvoTest::TearDown();
    }
    // Bone positions by "time/bone" from a play run's output.
    std::map<std::string, std::array<double, 3>> Play(std::vector<std::string> Options) {
        Options.insert(Options.begin(), {"play", Sample, "--at", "0.2,0.55"});
        run_result Run = RunKv2(Options);
        EXPECT_EQ(Run.Status, 0) << Run.Err;
        std::map<std::string, std::array<double, 3>> Positions;
        std::istringstream Lines(Run.Out);
        std::string Line, Time;
        while (std::getline(Lines, Line)) {
            std::istringstream Words(Line);
            std::string Name;
            std::array<double, 3> P;
            if (Line.rfind("t=", 0) == 0) {
                Time = Line;
            } else if (Line.rfind("  ", 0) == 0 && Words >> Name >> P[0] >> P[1] >> P[2]) {
                Positions[Time + "/" + Name] = P;
            }
        }
        EXPECT_EQ(Positions.size(), 6u) << Run.Out;
        return Positions;
    }
    std::string Sample = TemporaryPath("play_in.kv2");
};

double Distance(std::array<double, 3> const &A, std::array<double, 3> const &B) {
    return std::sqrt(std::pow(A[0] - B[0], 2) + std::pow(A[1] - B[1], 2) +
                     std::pow(A[2] - B[2], 2));
}

TEST_F(Kv2PlayTest, BlendsOfTheWalkWithItselfPlayAsTheWalk) {
    auto const Plain = Play({});
    std::vector<std::string> const Blends[] = {
        {"--blend", "sample_walk"},
        {"--blend", "sample_walk", "--weight", "0.3"},
        {"--blend", "sample_walk", "--weight", "0.8", "--mask-from", "spine"},
    };
    for (auto const &Blend : Blends) {
        auto const Blended = Play(Blend);
        for (auto const &[Key, Position] : Plain) {
            ASSERT_TRUE(Blended.count(Key)) << Key;
            EXPECT_LT(Distance(Blended.at(Key), Position), 2e-4) << Key << " " << Blend.back();
        }
    }
}

TEST_F(Kv2PlayTest, AReachingBoneLandsOnItsPointWithItsBonesWhole) {
    auto const Plain = Play({});
    auto const Root = Plain.at("t=0.2000/root");
    std::array<double, 3> const Goal = {Root[0] + 0.6, Root[1] + 1.2, Root[2] + 0.5};
    char Point[96];
    std::snprintf(Point, sizeof(Point), "%.4f,%.4f,%.4f", Goal[0], Goal[1], Goal[2]);
    auto const Reached = Play({"--reach", "head", Point});
    EXPECT_LT(Distance(Reached.at("t=0.2000/head"), Goal), 5e-4);
    for (char const *Time : {"t=0.2000/", "t=0.5500/"}) {
        std::string const T = Time;
        EXPECT_NEAR(Distance(Reached.at(T + "root"), Reached.at(T + "spine")),
                    Distance(Plain.at(T + "root"), Plain.at(T + "spine")), 5e-4);
        EXPECT_NEAR(Distance(Reached.at(T + "spine"), Reached.at(T + "head")),
                    Distance(Plain.at(T + "spine"), Plain.at(T + "head")), 5e-4);
    }
}

TEST_F(Kv2PlayTest, BadBlendAndReachArgumentsAreRefused) {
    struct refusal {
        std::vector<std::string> Options;
        char const *Complaint;
    } const Refusals[] = {
        {{"--weight", "0.5"}, "--weight and --mask-from need --blend"},
        {{"--blend", "stroll"}, "no animation named stroll"},
        {{"--blend", "sample_walk", "--mask-from", "tail"}, "no bone named tail"},
        {{"--reach", "spine", "1,1,1"}, "--reach needs a bone with a parent and a grandparent"},
        {{"--reach", "head", "1,2"}, "--reach needs BONE X,Y,Z"},
    };
    for (refusal const &Refusal : Refusals) {
        std::vector<std::string> Arguments = {"play", Sample};
        Arguments.insert(Arguments.end(), Refusal.Options.begin(), Refusal.Options.end());
        run_result Run = RunKv2(Arguments);
        EXPECT_NE(Run.Status, 0) << Refusal.Complaint;
        EXPECT_NE(Run.Err.find(Refusal.Complaint), std::string::npos) << Run.Err;
        EXPECT_EQ(Run.Out.find("t="), std::string::npos) << Refusal.Complaint;
    }
}

} // namespace
#endif
