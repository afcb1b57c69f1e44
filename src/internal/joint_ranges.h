// The travel of each leg joint, per robot model and motor slot: the one
// table that the safety guards and the simulated robot both read.
#pragma once

#include <array>

#include "kalvent_legged_sdk/pelk_const.h"
#include "kalvent_legged_sdk/quadruped.h"
#include "kalvent_legged_sdk/tesmar_const.h"

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// One joint's range, rad.
struct JointBounds {
  double min;
  double max;
};

// Motor slots 0 to 11 (3 x leg + joint, legs FR, FL, RR, RL).
constexpr int kLegJointSlots = 12;
using LegJointRanges = std::array<JointBounds, kLegJointSlots>;

// The twelve slots' ranges of a model whose left legs' limits are given.
// The right legs (FR, RR) turn their hips the other way, so theirs is the
// mirror image [-hipMax, -hipMin]; thigh and calf ranges are the same on
// every leg.
inline LegJointRanges legJointRanges(double hipMin, double hipMax, double thighMin, double thighMax,
                                     double calfMin, double calfMax) {
  LegJointRanges ranges{};
  for (int leg = 0; leg < 4; ++leg) {
    const bool right = leg == FR_ || leg == RR_;
    ranges[3 * leg] = right ? JointBounds{-hipMax, -hipMin} : JointBounds{hipMin, hipMax};
    ranges[3 * leg + 1] = {thighMin, thighMax};
    ranges[3 * leg + 2] = {calfMin, calfMax};
  }
  return ranges;
}

// The ranges of `model`, or null for a value that names no model.
inline const LegJointRanges* jointRangesOf(LeggedType model) {
  static const LegJointRanges tesmar =
      legJointRanges(tesmar_Hip_min, tesmar_Hip_max, tesmar_Thigh_min, tesmar_Thigh_max,
                     tesmar_Calf_min, tesmar_Calf_max);
  static const LegJointRanges pelk = legJointRanges(pelk_Hip_min, pelk_Hip_max, pelk_Thigh_min,
                                                    pelk_Thigh_max, pelk_Calf_min, pelk_Calf_max);
  switch (model) {
    case LeggedType::Tesmar:
      return &tesmar;
    case LeggedType::Pelk:
      return &pelk;
  }
  return nullptr;
}

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
