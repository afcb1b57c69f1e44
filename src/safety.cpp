// Safety guards, the real-time environment set-up and the library's version.
#include "kalvent_legged_sdk/safety.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "fatal.h"
#include "joint_ranges.h"
#include "kalvent_legged_sdk/loop.h"
#include "kalvent_legged_sdk/realtime.h"
#include "realtime_steps.h"
#include "version.h"

namespace KALVENT_LEGGED_SDK {

// Version text, exported for tools that inspect the library.
const char* LIB_INFO = kVersionText;

// Exported for programs that declare it themselves; safety.h does not.
// std::max/std::min keep their first argument unless the second is strictly
// beyond it: a NaN `val` survives, and min_val > max_val yields max_val.
void clamp(float& val, float min_val, float max_val) {
  val = std::min(std::max(val, min_val), max_val);
}

namespace {

const double kPi = 3.141592653589793;

// The command fields are packed: clamp a copy and store it back. A target
// that is not a finite number comes from a broken computation, not from a
// wish to reach an end stop: it becomes the PosStopF marker, so that the
// motor drops its position term rather than drive the joint to a bound.
void clampPosition(LowCmd& send, int slot, float min_val, float max_val) {
  float q = send.motorCmd[slot].q;
  if (std::isfinite(q)) {
    clamp(q, min_val, max_val);
  } else {
    q = static_cast<float>(PosStopF);
  }
  send.motorCmd[slot].q = q;
}

// Written as "not inside" so that a NaN angle, which compares false with
// everything, violates.
bool outside(float q, double min_val, double max_val) {
  const double angle = q;
  return !(angle >= min_val && angle <= max_val);
}

// Degrees as the protection reports them: the product in single precision.
double degrees(float q) {
  const float scaled = q * 180.0f;
  return static_cast<double>(scaled) / kPi;
}

void zeroModes(LowCmd& send) {
  for (int i = 0; i < kLegJointSlots; ++i) send.motorCmd[i].mode = 0;
}

// The over-limit count at which the power check trips.
const int16_t kPowerTripCount = 6;

// The order in which the position protection lists violating joints: the
// four hips, then leg by leg thigh and calf.
const int kListingOrder[kLegJointSlots] = {0, 3, 6, 9, 1, 2, 4, 5, 7, 8, 10, 11};

}  // namespace

// Programs built against earlier headers allocate this much for a Safety.
static_assert(sizeof(Safety) == 2 * sizeof(int) + 6 * sizeof(double),
              "Safety changed its size: programs built against earlier headers would break");

Safety::Safety(LeggedType type) : WattLimit(1000), Wcount(0) {
  const Result<void> known = takeRanges(type);
  if (!known) endProcess(known.error(), "Legged Robot Type Error.\n");
}

Safety::Safety(LeggedType type, Result<void>* outcome) : WattLimit(1000), Wcount(0), quiet_(true) {
  *outcome = takeRanges(type);
}

Result<std::unique_ptr<Safety>> Safety::create(LeggedType type) {
  Result<void> known;
  std::unique_ptr<Safety> safety(new Safety(type, &known));
  if (!known) return known.error();
  return safety;
}

Result<void> Safety::takeRanges(LeggedType type) {
  const LegJointRanges* ranges = jointRangesOf(type);
  if (ranges == nullptr) {
    char why[96];
    std::snprintf(why, sizeof why, "Safety: robot model %d is neither Tesmar (0) nor Pelk (1)",
                  static_cast<int>(type));
    return Error{Step::RobotModelSelector, 0, why};
  }
  // The left legs' ranges; the guards mirror the right hips from them.
  Hip_max = (*ranges)[FL_0].max;
  Hip_min = (*ranges)[FL_0].min;
  Thigh_max = (*ranges)[FL_1].max;
  Thigh_min = (*ranges)[FL_1].min;
  Calf_max = (*ranges)[FL_2].max;
  Calf_min = (*ranges)[FL_2].min;
  return {};
}

Safety::~Safety() {
  if (!quiet_) std::printf("End Safety.\n");
}

void Safety::PositionLimit(LowCmd& send) {
  const LegJointRanges ranges =
      legJointRanges(Hip_min, Hip_max, Thigh_min, Thigh_max, Calf_min, Calf_max);
  for (int slot = 0; slot < kLegJointSlots; ++slot) {
    clampPosition(send, slot, static_cast<float>(ranges[slot].min),
                  static_cast<float>(ranges[slot].max));
  }
}

TripReport Safety::checkPower(LowCmd& send, const LowState& recv, int factor) {
  const int f = std::min(std::max(factor, 1), 10);
  const double wlimit = (f / 10.0) * WattLimit;

  double watts = 0;
  for (int i = 0; i < kLegJointSlots; ++i) {
    const float tau = recv.motorState[i].tauEst;
    const float dq = recv.motorState[i].dq;
    watts += static_cast<double>(std::fabs(tau * dq));
  }

  // A NaN power (a NaN reading, or Inf x 0) says nothing is known about the
  // load: it counts against the motors rather than leaving the counter alone.
  if (!(watts <= wlimit)) {
    if (Wcount < kPowerTripCount) ++Wcount;
  } else if (Wcount > 0) {
    --Wcount;
  }
  if (Wcount < kPowerTripCount) return {};
  zeroModes(send);
  return {TripReport::Kind::Power, -1, watts, wlimit};
}

void Safety::PowerProtect(LowCmd& send, LowState& recv, int factor) {
  const TripReport trip = checkPower(send, recv, factor);
  if (trip.kind == TripReport::Kind::None) return;
  char why[96];
  std::snprintf(why, sizeof why,
                "PowerProtect: leg power stayed above %g W (over-limit counter reached 6)",
                trip.limit);
  endProcess(ExitStatus::SetUpFailure, "Error: Power Protection.\n", why);
}

TripReport Safety::checkPosition(LowCmd& send, const LowState& recv, double limit) {
  // A NaN or infinite margin would turn every comparison off (or every joint
  // into a violation): the caller's program is broken, so stop the motors.
  if (!std::isfinite(limit)) {
    zeroModes(send);
    return {TripReport::Kind::InvalidLimit, -1, NAN, limit};
  }
  const LegJointRanges ranges =
      legJointRanges(Hip_min, Hip_max, Thigh_min, Thigh_max, Calf_min, Calf_max);
  for (const int slot : kListingOrder) {
    const double lower = ranges[slot].min + limit;
    const double upper = ranges[slot].max - limit;
    const float q = recv.motorState[slot].q;
    if (outside(q, lower, upper)) {
      zeroModes(send);
      return {TripReport::Kind::Position, slot, q, q > upper ? upper : lower};
    }
  }
  return {};
}

void Safety::PositionProtect(LowCmd& send, LowState& recv, double limit) {
  const TripReport trip = checkPosition(send, recv, limit);
  if (trip.kind == TripReport::Kind::None) return;
  if (trip.kind == TripReport::Kind::InvalidLimit) {
    char why[96];
    std::snprintf(why, sizeof why, "PositionProtect: margin %g rad is not a finite number", limit);
    endProcess(ExitStatus::InvalidArgument, "", why);
  }
  const LegJointRanges ranges =
      legJointRanges(Hip_min, Hip_max, Thigh_min, Thigh_max, Calf_min, Calf_max);
  const char* const hipLines[] = {"FR 0\n", "FL 0\n", "RR 0\n", "RL 0\n"};
  for (const int slot : kListingOrder) {
    const float q = recv.motorState[slot].q;
    if (!outside(q, ranges[slot].min + limit, ranges[slot].max - limit)) continue;
    const int leg = slot / 3;
    if (slot % 3 == 0) {
      std::printf("%s", hipLines[leg]);
    } else {
      std::printf("leg %d %s: %f\n", leg, slot % 3 == 1 ? "thigh" : "calf", degrees(q));
    }
  }
  endProcess(ExitStatus::SetUpFailure, "Error: Position Protection.\n",
             "PositionProtect: a measured joint angle is outside its range (listed above)");
}

void InitEnvironment() {
  const Result<void> locked = lockMemory();
  if (!locked) endProcess(locked.error(), "Error: Lock memory failed.\n");
  const Result<void> fifo = setMainThreadFifo(THREAD_PRIORITY);
  if (!fifo) endProcess(fifo.error(), "Error: Pthread set sched policy failed.\n");
}

}  // namespace KALVENT_LEGGED_SDK
