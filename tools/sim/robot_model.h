// The simulated quadruped of tools/sim/quadruped.xml, compiled by MuJoCo.
#pragma once

#include <mujoco/mujoco.h>

#include <memory>
#include <string>

#include "kalvent_legged_sdk/quadruped.h"
#include "low_level_model.h"

namespace kalvent_sim {

struct ModelDeleter {
  void operator()(mjModel* m) const { mj_deleteModel(m); }
};
struct DataDeleter {
  void operator()(mjData* d) const { mj_deleteData(d); }
};
using ModelPtr = std::unique_ptr<mjModel, ModelDeleter>;
using DataPtr = std::unique_ptr<mjData, DataDeleter>;

// Where motor slot `joint` (0-11) lives in the compiled model: the free
// trunk joint comes first, then the leg joints and the motors in slot order.
constexpr int kTrunkJointPositions = 7;  // position and orientation quaternion
constexpr int kTrunkJointVelocities = 6;
constexpr int jointId(int joint) {
  return 1 + joint;
}
constexpr int positionIndex(int joint) {
  return kTrunkJointPositions + joint;
}
constexpr int velocityIndex(int joint) {
  return kTrunkJointVelocities + joint;
}

// The text of quadruped.xml, compiled in so that the simulator needs no
// data file beside it.
const std::string& quadrupedXml();

// Compiles MJCF text. Throws std::runtime_error with MuJoCo's message when it
// refuses the text, or when it compiles with a warning.
ModelPtr compileModel(const std::string& xml);

// The quadruped with the joint stops of robot `model`. Throws
// std::runtime_error, naming what is wrong, when the built-in text does not
// compile cleanly or its joints and motors are not in slot order.
ModelPtr loadQuadruped(KALVENT_LEGGED_SDK::LeggedType model);

}  // namespace kalvent_sim
