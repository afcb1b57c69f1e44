// Safety guards, the real-time environment set-up and the library's version.
#include "kalvent_legged_sdk/safety.h"

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "kalvent_legged_sdk/loop.h"
#include "kalvent_legged_sdk/pelk_const.h"
#include "kalvent_legged_sdk/tesmar_const.h"
#include "version.h"

namespace KALVENT_LEGGED_SDK {

// Version text, exported for tools that inspect the library.
const char* LIB_INFO = kVersionText;

// Bytes of stack InitEnvironment faults in before locking memory.
const int MAX_STACK_SIZE = 16384;

// Exported for programs that declare it themselves; safety.h does not.
// std::max/std::min keep their first argument unless the second is strictly
// beyond it: a NaN `val` survives, and min_val > max_val yields max_val.
void clamp(float& val, float min_val, float max_val) {
  val = std::min(std::max(val, min_val), max_val);
}

namespace {

const int kLegJoints = 12;
const double kPi = 3.141592653589793;

// The command fields are packed: clamp a copy and store it back.
void clampPosition(LowCmd& send, int slot, float min_val, float max_val) {
  float q = send.motorCmd[slot].q;
  clamp(q, min_val, max_val);
  send.motorCmd[slot].q = q;
}

bool outside(float q, double min_val, double max_val) {
  const double angle = q;
  return angle < min_val || angle > max_val;
}

// Degrees as the protection reports them: the product in single precision.
double degrees(float q) {
  const float scaled = q * 180.0f;
  return static_cast<double>(scaled) / kPi;
}

[[noreturn]] void stopMotors(LowCmd& send, const char* message) {
  for (int i = 0; i < kLegJoints; ++i) send.motorCmd[i].mode = 0;
  std::printf("%s", message);
  std::exit(-2);
}

}  // namespace

Safety::Safety(LeggedType type) : WattLimit(1000), Wcount(0) {
  switch (type) {
    case LeggedType::Tesmar:
      Hip_max = tesmar_Hip_max;
      Hip_min = tesmar_Hip_min;
      Thigh_max = tesmar_Thigh_max;
      Thigh_min = tesmar_Thigh_min;
      Calf_max = tesmar_Calf_max;
      Calf_min = tesmar_Calf_min;
      return;
    case LeggedType::Pelk:
      Hip_max = pelk_Hip_max;
      Hip_min = pelk_Hip_min;
      Thigh_max = pelk_Thigh_max;
      Thigh_min = pelk_Thigh_min;
      Calf_max = pelk_Calf_max;
      Calf_min = pelk_Calf_min;
      return;
  }
  std::printf("Legged Robot Type Error.\n");
  std::exit(-1);
}

Safety::~Safety() {
  std::printf("End Safety.\n");
}

void Safety::PositionLimit(LowCmd& send) {
  const float hipMax = static_cast<float>(Hip_max);
  const float hipMin = static_cast<float>(Hip_min);
  const float thighMax = static_cast<float>(Thigh_max);
  const float thighMin = static_cast<float>(Thigh_min);
  const float calfMax = static_cast<float>(Calf_max);
  const float calfMin = static_cast<float>(Calf_min);

  clampPosition(send, FR_0, -hipMax, -hipMin);
  clampPosition(send, FL_0, hipMin, hipMax);
  clampPosition(send, RR_0, -hipMax, -hipMin);
  clampPosition(send, RL_0, hipMin, hipMax);
  for (int leg = 0; leg < 4; ++leg) {
    clampPosition(send, 3 * leg + 1, thighMin, thighMax);
    clampPosition(send, 3 * leg + 2, calfMin, calfMax);
  }
}

void Safety::PowerProtect(LowCmd& send, LowState& recv, int factor) {
  const int f = std::min(std::max(factor, 1), 10);
  const double wlimit = (f / 10.0) * WattLimit;

  double watts = 0;
  for (int i = 0; i < kLegJoints; ++i) {
    const float tau = recv.motorState[i].tauEst;
    const float dq = recv.motorState[i].dq;
    watts += static_cast<double>(std::fabs(tau * dq));
  }

  // A NaN power fails both tests and leaves the counter alone.
  if (watts > wlimit) {
    ++Wcount;
  } else if (watts <= wlimit && Wcount > 0) {
    --Wcount;
  }
  if (Wcount > 5) stopMotors(send, "Error: Power Protection.\n");
}

void Safety::PositionProtect(LowCmd& send, LowState& recv, double limit) {
  bool protect_triger = false;

  struct Hip {
    int slot;
    bool right;
    const char* line;
  };
  const Hip hips[] = {{FR_0, true, "FR 0\n"},
                      {FL_0, false, "FL 0\n"},
                      {RR_0, true, "RR 0\n"},
                      {RL_0, false, "RL 0\n"}};
  for (const Hip& hip : hips) {
    const double lo = hip.right ? limit - Hip_max : Hip_min + limit;
    const double hi = hip.right ? -Hip_min - limit : Hip_max - limit;
    if (outside(recv.motorState[hip.slot].q, lo, hi)) {
      std::printf("%s", hip.line);
      protect_triger = true;
    }
  }

  for (int leg = 0; leg < 4; ++leg) {
    const float thigh = recv.motorState[3 * leg + 1].q;
    if (outside(thigh, Thigh_min + limit, Thigh_max - limit)) {
      std::printf("leg %d thigh: %f\n", leg, degrees(thigh));
      protect_triger = true;
    }
    const float calf = recv.motorState[3 * leg + 2].q;
    if (outside(calf, Calf_min + limit, Calf_max - limit)) {
      std::printf("leg %d calf: %f\n", leg, degrees(calf));
      protect_triger = true;
    }
  }

  if (protect_triger) stopMotors(send, "Error: Position Protection.\n");
}

void InitEnvironment() {
  // Fault in the stack pages the caller is about to lock. Volatile, so the
  // stores cannot be dropped.
  [[maybe_unused]] volatile char stack[MAX_STACK_SIZE];
  for (int i = 0; i < MAX_STACK_SIZE; ++i) stack[i] = 0;

  if (mlockall(MCL_CURRENT | MCL_FUTURE) == -1) {
    std::printf("Error: Lock memory failed.\n");
    std::exit(-2);
  }

  sched_param params{};
  params.sched_priority = THREAD_PRIORITY;
  if (sched_setscheduler(getpid(), SCHED_FIFO, &params) == -1) {
    std::printf("Error: Pthread set sched policy failed.\n");
    std::exit(-2);
  }
}

}  // namespace KALVENT_LEGGED_SDK
