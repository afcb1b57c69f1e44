#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kalvent_legged_sdk.h"
#include "test_support.h"

namespace KALVENT_LEGGED_SDK {
// Exported by the library, deliberately absent from its headers.
void clamp(float& val, float min_val, float max_val);
}  // namespace KALVENT_LEGGED_SDK

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::ChildResult;
using kalvent_test::runInChild;

namespace {

const float kNaN = NAN;
const float kInf = INFINITY;

// A command whose every byte is set, so that any stray write shows.
sdk::LowCmd patternedCommand() {
  sdk::LowCmd cmd;
  std::memset(&cmd, 0x5A, sizeof cmd);
  for (auto& m : cmd.motorCmd) m.mode = 10;
  return cmd;
}

// Has the child print the modes of `cmd` as it exits, stopped by a guard or not.
sdk::LowCmd* g_watched = nullptr;
void watchModesAtExit(sdk::LowCmd* cmd) {
  g_watched = cmd;
  std::atexit([] {
    std::printf("modes");
    for (const auto& m : g_watched->motorCmd) std::printf(" %d", m.mode);
    std::printf("\n");
  });
}

// The line watchModesAtExit prints when the first `zeroed` modes are 0.
std::string modes(int zeroed) {
  std::string line = "modes";
  for (int slot = 0; slot < 20; ++slot) line += slot < zeroed ? " 0" : " 10";
  return line + "\n";
}

TEST(Safety, ClampGivesTheMaximumForInvertedBounds) {
  for (float v : {-5.0f, 0.5f, 5.0f}) {
    sdk::clamp(v, 2.0f, 1.0f);
    EXPECT_EQ(v, 1.0f);
  }
}

TEST(Safety, UnknownModelExits255) {
  const ChildResult r = runInChild([] { sdk::Safety safety(static_cast<sdk::LeggedType>(2)); });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Legged Robot Type Error.\n");
  // create returns the selector's error, and its Safety leaves without a line.
  const auto unknown = sdk::Safety::create(static_cast<sdk::LeggedType>(2));
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().step, sdk::Step::RobotModelSelector);
  EXPECT_EQ(unknown.error().message, "Safety: robot model 2 is neither Tesmar (0) nor Pelk (1)");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(sdk::Safety::create(sdk::LeggedType::Pelk));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Safety, PositionLimitClampsTheLegsIntoEachModelsMirroredRanges) {
  // Lower and upper bounds of the right hip, left hip, thigh and calf.
  const std::pair<sdk::LeggedType, std::vector<float>> models[] = {
      {sdk::LeggedType::Tesmar,
       {-1.047f, 0.873f, -0.873f, 1.047f, -0.524f, 3.927f, -2.775f, -0.611f}},
      {sdk::LeggedType::Pelk, {-0.802f, 0.802f, -0.802f, 0.802f, -1.05f, 4.19f, -2.7f, -0.916f}}};
  testing::internal::CaptureStdout();
  for (const auto& model : models) {
    sdk::Safety safety(model.first);
    const std::vector<float>& bound = model.second;
    for (int side = 0; side < 2; ++side) {
      sdk::LowCmd cmd = patternedCommand();
      for (auto& m : cmd.motorCmd) m.q = side == 0 ? -1e9f : static_cast<float>(sdk::PosStopF);
      sdk::LowCmd expected = cmd;
      for (int leg = 0; leg < 4; ++leg) {
        const bool right = leg == sdk::FR_ || leg == sdk::RR_;
        expected.motorCmd[3 * leg].q = bound[(right ? 0 : 2) + side];
        expected.motorCmd[3 * leg + 1].q = bound[4 + side];
        expected.motorCmd[3 * leg + 2].q = bound[6 + side];
      }
      for (sdk::LowCmd* c : {&cmd, &expected}) c->motorCmd[sdk::FL_0].q = 0.5f;  // in range
      // Not a number to clamp: no position target rather than an end stop.
      cmd.motorCmd[sdk::FR_1].q = side == 0 ? -kInf : kInf;
      cmd.motorCmd[sdk::RL_2].q = kNaN;
      for (const int slot : {sdk::FR_1, sdk::RL_2}) {
        expected.motorCmd[slot].q = static_cast<float>(sdk::PosStopF);
      }
      safety.PositionLimit(cmd);
      EXPECT_EQ(std::memcmp(&cmd, &expected, sizeof cmd), 0) << int(model.first) << " " << side;
    }
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "End Safety.\nEnd Safety.\n");
}

// A state whose legs draw `watts` (half on the FR hip, half as negative
// torque on the RL calf), with a huge product on slot 12 that must not count.
sdk::LowState stateDrawing(float watts) {
  sdk::LowState state{};
  state.motorState[0].tauEst = watts / 2;
  state.motorState[0].dq = 1.0f;
  state.motorState[11].tauEst = -watts / 2;
  state.motorState[11].dq = 1.0f;
  state.motorState[12].tauEst = 1e6f;
  state.motorState[12].dq = 1e6f;
  return state;
}

TEST(Safety, PowerProtectCountsCallsOverTheFactorsLimitUpAndDown) {
  // One call per letter: 'o' a watt over the limit, 'e' exactly on it, 'u'
  // under it, 'n' no number (Inf x 0 on one motor); at 1000 W, 'd' is 1000 + 3e-5
  // (over in double, not in float) and 'f' 333.33334f x 3 (over only when
  // the product is taken in double). Each case stops at its last call or not.
  std::string alternating = "ooooo";
  for (int i = 0; i < 100; ++i) alternating += "uo";
  const std::string factorProbe = "eeeeeeeoooooo";
  const struct {
    int factor;
    float wlimit;
    std::string calls;
    bool stops;
  } cases[] = {
      {-3, 100, factorProbe, true},  {0, 100, factorProbe, true},
      {1, 100, factorProbe, true},   {7, 700, factorProbe, true},
      {10, 1000, factorProbe, true}, {15, 1000, factorProbe, true},
      {5, 500, alternating, false},  {5, 500, alternating + "eoo", true},
      {5, 500, "nnnnnn", true},      {10, 1000, "dddddd", true},
      {10, 1000, "ffffff", false},
  };
  for (const auto& c : cases) {
    const ChildResult r = runInChild([&] {
      sdk::Safety safety(sdk::LeggedType::Pelk);
      sdk::LowCmd cmd = patternedCommand();
      watchModesAtExit(&cmd);
      sdk::LowState s[] = {stateDrawing(c.wlimit + 1),
                           stateDrawing(c.wlimit),
                           stateDrawing(c.wlimit / 2),
                           sdk::LowState{},
                           sdk::LowState{},
                           sdk::LowState{}};
      s[3].motorState[7].tauEst = kInf;
      s[4].motorState[0].tauEst = 1000.0f;
      s[4].motorState[1].tauEst = 3e-5f;
      s[4].motorState[0].dq = s[4].motorState[1].dq = 1.0f;
      s[5].motorState[4].tauEst = 1000.0f / 3.0f;
      s[5].motorState[4].dq = 3.0f;
      for (size_t n = 1; n <= c.calls.size(); ++n) {
        std::printf("%zu ", n);
        safety.PowerProtect(cmd, s[std::string("oeundf").find(c.calls[n - 1])], c.factor);
      }
      std::printf("returned\n");
      std::exit(0);
    });
    std::string expected;
    for (size_t n = 1; n <= c.calls.size(); ++n) expected += std::to_string(n) + " ";
    expected += c.stops ? "Error: Power Protection.\n" + modes(12) : "returned\n" + modes(0);
    EXPECT_EQ(r.status, c.stops ? 254 : 0) << c.factor << " " << c.calls;
    EXPECT_EQ(r.out, expected);
  }
}

// Angles well inside every Tesmar range; slots 12 to 19 far outside any.
sdk::LowState restingState() {
  sdk::LowState state{};
  for (int leg = 0; leg < 4; ++leg) {
    state.motorState[3 * leg + 1].q = 1.0f;
    state.motorState[3 * leg + 2].q = -1.5f;
  }
  for (int slot = 12; slot < 20; ++slot) state.motorState[slot].q = 1e9f;
  return state;
}

TEST(Safety, PositionProtectReportsEveryJointOutsideTheNarrowedRanges) {
  using Angles = std::vector<std::pair<int, float>>;
  Angles everyJoint, calves;
  std::string everyLine = "FR 0\nFL 0\nRR 0\nRL 0\n";
  for (int leg = 0; leg < 4; ++leg) {
    // 1.0 is beyond a right hip's 0.873 but inside a left hip's 1.047.
    const bool right = leg == sdk::FR_ || leg == sdk::RR_;
    everyJoint.insert(
        everyJoint.end(),
        {{3 * leg, right ? 1.0f : -1.0f}, {3 * leg + 1, 3.95f}, {3 * leg + 2, -2.9f}});
    calves.push_back({3 * leg + 2, -1.7f});
    everyLine += "leg " + std::to_string(leg) + " thigh: 226.318329\nleg " + std::to_string(leg) +
                 " calf: -166.157761\n";
  }
  const struct {
    Angles angles;
    double limit;
    std::string printed;  // empty: passes
  } cases[] = {
      {{}, 0.1, ""},
      {{{sdk::FL_0, -0.5f}}, -0.5 - sdk::tesmar_Hip_min, ""},  // exactly on the narrowed bound
      {{{sdk::FR_0, kNaN}, {sdk::FL_1, kNaN}, {sdk::RR_2, kNaN}},
       0.1,
       "FR 0\nleg 1 thigh: nan\nleg 2 calf: nan\n"},
      // Within the margin of the thigh's and the calf's lower bounds.
      {{{sdk::FL_1, -0.474f}, {sdk::RL_2, -2.725f}},
       0.1,
       "leg 1 thigh: -27.158199\nleg 3 calf: -156.130989\n"},
      {{{sdk::FL_0, 1.2f}, {sdk::RR_2, -2.9f}}, -0.2, ""},  // a negative margin widens
      // With 0.1 the FR hip keeps [-0.947, 0.773].
      {{{sdk::FR_0, -0.94f}}, 0.1, ""},
      {{{sdk::FR_0, -0.95f}}, 0.1, "FR 0\n"},
      {{{sdk::FR_0, 0.78f}}, 0.1, "FR 0\n"},
      {{{sdk::FR_0, 1.2f}, {sdk::RR_2, -2.9f}}, 0.0, "FR 0\nleg 2 calf: -166.157761\n"},
      {everyJoint, 0.0, everyLine},
      // Wider than half of a hip's range: no hip angle is left.
      {calves, 1.0, "FR 0\nFL 0\nRR 0\nRL 0\n"},
  };
  for (const auto& c : cases) {
    const ChildResult r = runInChild([&] {
      sdk::LowState state = restingState();
      for (const auto& a : c.angles) state.motorState[a.first].q = a.second;
      sdk::Safety safety(sdk::LeggedType::Tesmar);
      sdk::LowCmd cmd = patternedCommand();
      const sdk::LowCmd before = cmd;
      watchModesAtExit(&cmd);
      safety.PositionProtect(cmd, state, c.limit);
      std::printf("unchanged %d\n", std::memcmp(&cmd, &before, sizeof cmd) == 0);
      std::exit(0);
    });
    const bool stops = !c.printed.empty();
    EXPECT_EQ(r.status, stops ? 254 : 0);
    EXPECT_EQ(r.out, stops ? c.printed + "Error: Position Protection.\n" + modes(12)
                           : "unchanged 1\n" + modes(0));
  }
}

TEST(Safety, PositionProtectRefusesAMarginThatIsNoFiniteNumber) {
  for (double limit : {double(kNaN), -double(kInf), double(kInf)}) {
    const ChildResult r = runInChild([&] {
      sdk::Safety safety(sdk::LeggedType::Tesmar);
      sdk::LowCmd cmd = patternedCommand();
      watchModesAtExit(&cmd);
      sdk::LowState state = restingState();
      safety.PositionProtect(cmd, state, limit);
      std::exit(0);
    });
    EXPECT_EQ(r.status, 255) << limit;
    EXPECT_EQ(r.out, modes(12)) << limit;
  }
}

// One line per check: what it returned, and whether the command's modes are
// untouched (10) or zeroed on the twelve legs only.
std::string reportLine(const sdk::TripReport& trip, const sdk::LowCmd& cmd) {
  int zeroed = 0;
  for (const auto& m : cmd.motorCmd) zeroed += m.mode == 0;
  char line[128];
  std::snprintf(line, sizeof line, "%d %d %.6f %.6f zeroed %d\n", static_cast<int>(trip.kind),
                trip.joint, trip.measured, trip.limit, zeroed);
  return line;
}

TEST(Safety, ChecksReportWhatTrippedZeroTheModesAndReturn) {
  const ChildResult r = runInChild([] {
    sdk::Safety safety(sdk::LeggedType::Tesmar);
    auto position = [&](std::vector<std::pair<int, float>> angles, double margin) {
      sdk::LowState state = restingState();
      for (const auto& a : angles) state.motorState[a.first].q = a.second;
      sdk::LowCmd cmd = patternedCommand();
      std::printf("%s", reportLine(safety.checkPosition(cmd, state, margin), cmd).c_str());
    };
    position({}, 0.1);
    // Listed first, the RL hip is reported before the FL thigh (slot 4).
    position({{sdk::FL_1, 4.0f}, {sdk::RL_0, -0.9f}}, 0.1);
    position({{sdk::FR_0, 0.78f}}, 0.1);
    position({{sdk::FL_1, kNaN}}, 0.1);
    position({}, double(kInf));
    sdk::LowState hot = restingState();
    for (int j = 0; j < 12; ++j) {
      hot.motorState[j].tauEst = -10;
      hot.motorState[j].dq = 1;
    }
    const sdk::LowState cool = restingState();
    const sdk::LowState* const hotThenCool[] = {&hot, &hot, &hot, &hot, &hot, &hot, &hot, &cool};
    for (const sdk::LowState* state : hotThenCool) {
      sdk::LowCmd cmd = patternedCommand();
      std::printf("%s", reportLine(safety.checkPower(cmd, *state, 1), cmd).c_str());
    }
    std::exit(0);
  });
  char expected[1024];
  std::snprintf(expected, sizeof expected,
                "0 -1 0.000000 0.000000 zeroed 0\n"
                "1 9 %.6f %.6f zeroed 12\n"
                "1 0 %.6f %.6f zeroed 12\n"
                "1 4 nan %.6f zeroed 12\n"
                "3 -1 nan inf zeroed 12\n",
                double(-0.9f), sdk::tesmar_Hip_min + 0.1, double(0.78f), -sdk::tesmar_Hip_min - 0.1,
                sdk::tesmar_Thigh_min + 0.1);
  std::string power;
  for (int call = 0; call < 5; ++call) power += "0 -1 0.000000 0.000000 zeroed 0\n";
  // The sixth call over 100 W trips, and so does each further one.
  power += "2 -1 120.000000 100.000000 zeroed 12\n2 -1 120.000000 100.000000 zeroed 12\n";
  power += "0 -1 0.000000 0.000000 zeroed 0\n";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected + power);
}

}  // namespace
