#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

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

const float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// The records are packed: gtest's EXPECT_EQ would bind a reference to a
// misaligned field, so compare copies.
float qOf(const sdk::LowCmd& cmd, int slot) {
  return cmd.motorCmd[slot].q;
}

// A command whose every byte is set, so that any stray write shows.
sdk::LowCmd patternedCommand() {
  sdk::LowCmd cmd;
  std::memset(&cmd, 0x5A, sizeof cmd);
  for (auto& m : cmd.motorCmd) m.mode = 10;
  return cmd;
}

// The command a protection stopped on, printed by an exit handler in the
// child, so that the zeroed modes can be checked after exit.
sdk::LowCmd* g_stoppedCommand = nullptr;

void printModesAtExit() {
  std::printf("modes");
  for (const auto& m : g_stoppedCommand->motorCmd) std::printf(" %d", m.mode);
  std::printf("\n");
}

void watchModesAtExit(sdk::LowCmd* cmd) {
  g_stoppedCommand = cmd;
  std::atexit(printModesAtExit);
}

const char* const kStoppedModes = "modes 0 0 0 0 0 0 0 0 0 0 0 0 10 10 10 10 10 10 10 10\n";

// ---------------------------------------------------------------- clamp

TEST(Clamp, NaNAndBoundValuesStayAndInvertedBoundsGiveTheMaximum) {
  float v = kNaN;
  sdk::clamp(v, -1.0f, 1.0f);
  EXPECT_EQ(bitsOf(v), bitsOf(kNaN));

  v = -1.0f;
  sdk::clamp(v, -1.0f, 1.0f);
  EXPECT_EQ(v, -1.0f);
  v = 1.0f;
  sdk::clamp(v, -1.0f, 1.0f);
  EXPECT_EQ(v, 1.0f);

  for (float x : {-5.0f, 0.5f, 5.0f}) {
    v = x;
    sdk::clamp(v, 2.0f, 1.0f);
    EXPECT_EQ(v, 1.0f) << "from " << x;
  }
}

// ---------------------------------------------------------------- models

struct ModelBounds {
  sdk::LeggedType type;
  float rightHip[2], leftHip[2], thigh[2], calf[2];
};

const ModelBounds kModels[] = {
    {sdk::LeggedType::Tesmar,
     {-1.047f, 0.873f},
     {-0.873f, 1.047f},
     {-0.524f, 3.927f},
     {-2.775f, -0.611f}},
    {sdk::LeggedType::Pelk,
     {-0.802f, 0.802f},
     {-0.802f, 0.802f},
     {-1.05f, 4.19f},
     {-2.7f, -0.916f}},
};

TEST(SafetyModel, EachModelLimitsEveryJointToItsRange) {
  for (const ModelBounds& model : kModels) {
    SCOPED_TRACE(static_cast<int>(model.type));
    testing::internal::CaptureStdout();
    {
      sdk::Safety safety(model.type);
      for (int side = 0; side < 2; ++side) {
        sdk::LowCmd cmd = patternedCommand();
        for (auto& m : cmd.motorCmd) m.q = side == 0 ? -1e9f : 1e9f;
        safety.PositionLimit(cmd);
        for (int leg = 0; leg < 4; ++leg) {
          const bool right = leg == sdk::FR_ || leg == sdk::RR_;
          EXPECT_EQ(qOf(cmd, 3 * leg), right ? model.rightHip[side] : model.leftHip[side]);
          EXPECT_EQ(qOf(cmd, 3 * leg + 1), model.thigh[side]);
          EXPECT_EQ(qOf(cmd, 3 * leg + 2), model.calf[side]);
        }
        for (int slot = 12; slot < 20; ++slot) {
          EXPECT_EQ(qOf(cmd, slot), side == 0 ? -1e9f : 1e9f);
        }
      }
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "End Safety.\n");
  }
}

TEST(SafetyModel, UnknownModelExits255) {
  const ChildResult r = runInChild([] { sdk::Safety safety(static_cast<sdk::LeggedType>(2)); });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Legged Robot Type Error.\n");
}

// ---------------------------------------------------------------- PositionLimit

TEST(PositionLimit, AllOnesMirrorTheRightHipsAndTouchNothingElse) {
  testing::internal::CaptureStdout();
  {
    sdk::Safety safety(sdk::LeggedType::Tesmar);
    sdk::LowCmd cmd = patternedCommand();
    for (auto& m : cmd.motorCmd) m.q = 1.0f;
    sdk::LowCmd expected = cmd;
    safety.PositionLimit(cmd);

    expected.motorCmd[sdk::FR_0].q = 0.873f;
    expected.motorCmd[sdk::RR_0].q = 0.873f;
    for (int leg = 0; leg < 4; ++leg) expected.motorCmd[3 * leg + 2].q = -0.611f;
    EXPECT_EQ(std::memcmp(&cmd, &expected, sizeof cmd), 0);
    EXPECT_EQ(qOf(cmd, sdk::FL_0), 1.0f);
    EXPECT_EQ(qOf(cmd, sdk::RL_0), 1.0f);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "End Safety.\n");
}

TEST(PositionLimit, StopMarkerIsClampedAndNaNIsKept) {
  testing::internal::CaptureStdout();
  {
    sdk::Safety safety(sdk::LeggedType::Tesmar);
    sdk::LowCmd cmd = patternedCommand();
    for (auto& m : cmd.motorCmd) m.q = 0.0f;
    cmd.motorCmd[sdk::FL_1].q = static_cast<float>(sdk::PosStopF);
    cmd.motorCmd[sdk::RL_2].q = kNaN;
    safety.PositionLimit(cmd);
    EXPECT_EQ(qOf(cmd, sdk::FL_1), 3.927f);
    EXPECT_EQ(bitsOf(cmd.motorCmd[sdk::RL_2].q), bitsOf(kNaN));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "End Safety.\n");
}

// ---------------------------------------------------------------- PowerProtect

// A state whose legs draw `watts` (half on FR hip, half as negative torque on
// RL calf), with a huge product on slot 12 that must not count.
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

// Runs PowerProtect in a child once per letter of `calls` ('o' over the
// limit, 'e' exactly on it, 'u' under it, 'n' NaN power), printing each call's
// number first, and one line after the last call.
ChildResult powerCalls(int factor, float wlimit, const std::string& calls) {
  return runInChild([=] {
    sdk::Safety safety(sdk::LeggedType::Pelk);
    sdk::LowCmd cmd = patternedCommand();
    watchModesAtExit(&cmd);
    sdk::LowState over = stateDrawing(wlimit + 1.0f);
    sdk::LowState exact = stateDrawing(wlimit);
    sdk::LowState under = stateDrawing(wlimit / 2);
    sdk::LowState nan = stateDrawing(wlimit + 1.0f);
    nan.motorState[7].dq = kNaN;
    int n = 0;
    for (char c : calls) {
      std::printf("%d ", ++n);
      sdk::LowState& s = c == 'o' ? over : c == 'e' ? exact : c == 'u' ? under : nan;
      safety.PowerProtect(cmd, s, factor);
    }
    std::printf("returned\n");
    std::exit(0);
  });
}

TEST(PowerProtect, FactorIsBoundedAndScalesTheLimit) {
  struct {
    int factor;
    float wlimit;
  } const table[] = {{-3, 100}, {0, 100}, {1, 100}, {2, 200}, {3, 300},   {4, 400},  {5, 500},
                     {6, 600},  {7, 700}, {8, 800}, {9, 900}, {10, 1000}, {15, 1000}};
  for (const auto& row : table) {
    SCOPED_TRACE(row.factor);
    // Power exactly at the limit never counts; one watt over counts.
    const ChildResult r = powerCalls(row.factor, row.wlimit, "eeeeeeeoooooo");
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, std::string("1 2 3 4 5 6 7 8 9 10 11 12 13 Error: Power Protection.\n") +
                         kStoppedModes);
  }
}

TEST(PowerProtect, SixthConsecutiveCallOverTheLimitStops) {
  const ChildResult r = powerCalls(5, 500, "oooooo");
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, std::string("1 2 3 4 5 6 Error: Power Protection.\n") + kStoppedModes);
}

TEST(PowerProtect, CallsAtOrUnderTheLimitTakeACountBack) {
  // Alternating keeps the counter between 4 and 5 indefinitely.
  std::string alternating = "ooooo";
  for (int i = 0; i < 100; ++i) alternating += "uo";
  ChildResult r = powerCalls(5, 500, alternating);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(" 205 returned\n"), std::string::npos);

  // ... and stands at 5 afterwards; exactly the limit takes one back too.
  r = powerCalls(5, 500, alternating + "eoo");
  EXPECT_EQ(r.status, 254);
  EXPECT_NE(r.out.find(" 208 Error: Power Protection.\n"), std::string::npos);
}

TEST(PowerProtect, NaNPowerLeavesTheCounter) {
  const ChildResult r = powerCalls(5, 500, "ooooonnno");
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, std::string("1 2 3 4 5 6 7 8 9 Error: Power Protection.\n") + kStoppedModes);
}

TEST(PowerProtect, PowerIsSummedInDoubleOfSinglePrecisionProducts) {
  // 1000 W and 3e-5 W: over the limit in double, exactly 1000 in float.
  const ChildResult sum = runInChild([] {
    sdk::Safety safety(sdk::LeggedType::Tesmar);
    sdk::LowCmd cmd = patternedCommand();
    sdk::LowState state{};
    state.motorState[0].tauEst = 1000.0f;
    state.motorState[0].dq = 1.0f;
    state.motorState[1].tauEst = 3e-5f;
    state.motorState[1].dq = 1.0f;
    for (int i = 0; i < 6; ++i) safety.PowerProtect(cmd, state, 10);
  });
  EXPECT_EQ(sum.status, 254);

  // 333.33334f x 3 is 1000.0000305 in double but rounds to 1000 in float.
  const ChildResult product = runInChild([] {
    sdk::Safety safety(sdk::LeggedType::Tesmar);
    sdk::LowCmd cmd = patternedCommand();
    sdk::LowState state{};
    state.motorState[4].tauEst = 1000.0f / 3.0f;
    state.motorState[4].dq = 3.0f;
    for (int i = 0; i < 10; ++i) safety.PowerProtect(cmd, state, 10);
  });
  EXPECT_EQ(product.status, 0);
}

TEST(PowerProtect, ReturningCallLeavesTheCommandAlone) {
  testing::internal::CaptureStdout();
  {
    sdk::Safety safety(sdk::LeggedType::Tesmar);
    sdk::LowCmd cmd = patternedCommand();
    const sdk::LowCmd before = cmd;
    sdk::LowState over = stateDrawing(2000.0f);
    for (int i = 0; i < 5; ++i) safety.PowerProtect(cmd, over, 10);
    EXPECT_EQ(std::memcmp(&cmd, &before, sizeof cmd), 0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "End Safety.\n");
}

// ---------------------------------------------------------------- PositionProtect

// Angles well inside every Tesmar range.
sdk::LowState restingState() {
  sdk::LowState state{};
  for (int leg = 0; leg < 4; ++leg) {
    state.motorState[3 * leg].q = 0.0f;
    state.motorState[3 * leg + 1].q = 1.0f;
    state.motorState[3 * leg + 2].q = -1.5f;
  }
  for (int slot = 12; slot < 20; ++slot) state.motorState[slot].q = 1e9f;
  return state;
}

ChildResult protectInChild(sdk::LowState state, double limit) {
  return runInChild([=]() mutable {
    sdk::Safety safety(sdk::LeggedType::Tesmar);
    sdk::LowCmd cmd = patternedCommand();
    watchModesAtExit(&cmd);
    safety.PositionProtect(cmd, state, limit);
    std::printf("returned\n");
    std::exit(0);
  });
}

// Calls PositionProtect in this process; it must return without a word.
void expectPasses(const sdk::LowState& state, double limit) {
  testing::internal::CaptureStdout();
  {
    sdk::Safety safety(sdk::LeggedType::Tesmar);
    sdk::LowCmd cmd = patternedCommand();
    const sdk::LowCmd before = cmd;
    sdk::LowState copy = state;
    safety.PositionProtect(cmd, copy, limit);
    EXPECT_EQ(std::memcmp(&cmd, &before, sizeof cmd), 0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "End Safety.\n");
}

TEST(PositionProtect, AnglesInsideOnABoundOrNaNPass) {
  expectPasses(restingState(), 0.1);

  // FL hip exactly on its narrowed lower bound: -0.873 + 0.373 = -0.5.
  sdk::LowState onBound = restingState();
  onBound.motorState[sdk::FL_0].q = -0.5f;
  expectPasses(onBound, -0.5 - sdk::tesmar_Hip_min);

  sdk::LowState nan = restingState();
  for (int slot = 0; slot < 12; ++slot) nan.motorState[slot].q = kNaN;
  expectPasses(nan, 0.1);

  // A negative margin widens the ranges beyond the model's bounds.
  sdk::LowState wide = restingState();
  wide.motorState[sdk::FL_0].q = 1.2f;
  wide.motorState[sdk::RR_2].q = -2.9f;
  expectPasses(wide, -0.2);
}

TEST(PositionProtect, MarginPointOneGivesTheFrontRightHipItsRange) {
  sdk::LowState state = restingState();
  state.motorState[sdk::FR_0].q = -0.94f;
  expectPasses(state, 0.1);

  for (float q : {-0.95f, 0.78f}) {
    SCOPED_TRACE(q);
    state.motorState[sdk::FR_0].q = q;
    const ChildResult r = protectInChild(state, 0.1);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, std::string("FR 0\nError: Position Protection.\n") + kStoppedModes);
  }
}

TEST(PositionProtect, FrontRightHipAndRearRightCalfAreBothReported) {
  sdk::LowState state = restingState();
  state.motorState[sdk::FR_0].q = 1.2f;
  state.motorState[sdk::RR_2].q = -2.9f;
  const ChildResult r = protectInChild(state, 0.0);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, std::string("FR 0\nleg 2 calf: -166.157761\nError: Position Protection.\n") +
                       kStoppedModes);
}

TEST(PositionProtect, EveryJointIsScannedInOrderWithMirroredHips) {
  sdk::LowState state = restingState();
  for (int leg = 0; leg < 4; ++leg) {
    const bool right = leg == sdk::FR_ || leg == sdk::RR_;
    // 1.0 is beyond a right hip's 0.873 but inside a left hip's 1.047.
    state.motorState[3 * leg].q = right ? 1.0f : -1.0f;
    state.motorState[3 * leg + 1].q = 3.95f;
    state.motorState[3 * leg + 2].q = -2.9f;
  }
  const ChildResult r = protectInChild(state, 0.0);
  EXPECT_EQ(r.status, 254);
  std::string expected = "FR 0\nFL 0\nRR 0\nRL 0\n";
  for (int leg = 0; leg < 4; ++leg) {
    expected += "leg " + std::to_string(leg) + " thigh: 226.318329\n";
    expected += "leg " + std::to_string(leg) + " calf: -166.157761\n";
  }
  EXPECT_EQ(r.out, expected + "Error: Position Protection.\n" + kStoppedModes);
}

TEST(PositionProtect, MarginWiderThanHalfARangeLeavesNoAngle) {
  // Hip ranges are 1.92 wide: a 1.0 margin leaves them no angle at all, while
  // thigh and calf keep [0.476, 2.927] and [-1.775, -1.611].
  sdk::LowState state = restingState();
  for (int leg = 0; leg < 4; ++leg) state.motorState[3 * leg + 2].q = -1.7f;
  const ChildResult r = protectInChild(state, 1.0);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out,
            std::string("FR 0\nFL 0\nRR 0\nRL 0\nError: Position Protection.\n") + kStoppedModes);
}

}  // namespace
