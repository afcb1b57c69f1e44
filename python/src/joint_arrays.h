// The joint-array fast path: the twelve leg joints of a low-level record in
// one call, so that a control step costs a handful of Python calls rather
// than sixty attribute accesses.
#pragma once

#include <kalvent_legged_sdk.h>

#include "record_view.h"

namespace kalvent_python {

// Leg joints: motor slots 0 to 11.
constexpr int kLegJoints = KALVENT_LEGGED_SDK::RL_2 + 1;

// LowState.joint_state() and LowState.joint_state_into().
void bindLowStateJoints(py::class_<RecordView<KALVENT_LEGGED_SDK::LowState>>& cls);
// LowCmd.set_joints() and LowCmd.joint_command().
void bindLowCmdJoints(py::class_<RecordView<KALVENT_LEGGED_SDK::LowCmd>>& cls);

}  // namespace kalvent_python
