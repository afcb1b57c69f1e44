/// @file
/// Robot models, high-level controller types and the leg/joint numbering.
#pragma once

namespace KALVENT_LEGGED_SDK {

/// Robot model; selects the joint limits used by Safety.
enum class LeggedType : int {
  Tesmar = 0,
  Pelk = 1,
};

/// Which robot controller the default UDP endpoint talks to.
enum class HighLevelType : int {
  Basic = 0,  // UDP_SERVER_IP_BASIC
  Sport = 1,  // UDP_SERVER_IP_SPORT
};

/// Leg indices: index of the per-leg arrays, and motor slot = 3 * leg + joint.
const int FR_ = 0;  ///< front right
const int FL_ = 1;  ///< front left
const int RR_ = 2;  ///< rear right
const int RL_ = 3;  ///< rear left

/// Motor slots of the twelve leg joints: joint 0 hip, 1 thigh, 2 calf.
///@{
const int FR_0 = 0;
const int FR_1 = 1;
const int FR_2 = 2;

const int FL_0 = 3;
const int FL_1 = 4;
const int FL_2 = 5;

const int RR_0 = 6;
const int RR_1 = 7;
const int RR_2 = 8;

const int RL_0 = 9;
const int RL_1 = 10;
const int RL_2 = 11;
///@}

}  // namespace KALVENT_LEGGED_SDK
