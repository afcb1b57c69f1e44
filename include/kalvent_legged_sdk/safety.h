/// @file
/// Safety guards for low-level joint commands.
#pragma once

#include <memory>

#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/quadruped.h"
#include "kalvent_legged_sdk/result.h"

namespace KALVENT_LEGGED_SDK {

/// What a check found: nothing (kind None), a joint outside its range, or the
/// legs' power over its limit. The command it was given then has the modes of
/// motors 0 to 11 set to 0, as the protections leave it.
struct TripReport {
  /// What tripped.
  enum class Kind {
    None,          ///< nothing tripped; the other fields are -1, 0, 0
    Position,      ///< `joint`'s measured angle, rad, lies beyond `limit`, rad
    Power,         ///< the legs' power, W, stayed over `limit`, W; `joint` is -1
    InvalidLimit,  ///< the margin given is not a finite number; it is `limit`
  };
  Kind kind = Kind::None;  ///< what tripped, None when nothing did
  int joint = -1;          ///< leg joint slot 0..11 (FR_0 .. RL_2), or -1
  double measured = 0;     ///< rad or W (NaN for InvalidLimit)
  double limit = 0;        ///< rad or W
};

/// Guards a low-level control program applies to its own LowCmd (`send`) and
/// the latest LowState it copied out of the endpoint (`recv`), after computing
/// the command and before UDP::SetSend. They touch the twelve leg joints
/// (slots 0 to 11) only; slots 12 to 19 are never read or written.
///
/// Joint ranges come from the robot model's limits (tesmar_const.h,
/// pelk_const.h). Those hip limits are the left legs'; the right legs (FR, RR)
/// use the mirror image [-Hip_max, -Hip_min].
///
/// The two protections end the process (status 254) after setting the mode
/// of motors 0 to 11 in `send` to 0. The two checks apply the same tests and
/// set the same modes to 0, but print nothing and return a TripReport, so
/// that the program keeps control (for instance to command a damped stop).
/// One object is used by one thread.
class Safety {
 public:
  /// Takes the joint ranges of `type`. Any other value prints "Legged Robot
  /// Type Error." and ends the process with status 255.
  explicit Safety(LeggedType type);
  /// The same guards without ending the process: any other `type` is
  /// Step::RobotModelSelector (errno 0). Such a Safety prints nothing when
  /// destroyed; its protections end the process as described above.
  static Result<std::unique_ptr<Safety>> create(LeggedType type);
  /// Prints "End Safety." (not for one made by create).
  ~Safety();

  /// Clamps the twelve commanded leg positions `q` into their joint ranges
  /// (bounds rounded to float). A PosStopF marker is clamped like any value,
  /// so it becomes the upper bound. A `q` that is not a finite number (NaN,
  /// +Inf, -Inf) becomes PosStopF instead: no position target, so the motor
  /// drops its Kp term and the joint is not driven toward either end stop
  /// (the velocity and torque terms still apply). Nothing else in `send`
  /// changes.
  void PositionLimit(LowCmd& send);

  /// Estimates the legs' mechanical power, the sum of |tauEst * dq| over the
  /// twelve leg motors in watts, against a limit of `factor` x 100 W
  /// (`factor` bounded to 1..10). An up-down counter goes up on each call over
  /// the limit and down (not below 0) on each call at or under it; a power
  /// that is not a number (a NaN reading, or Inf x 0) counts as over the
  /// limit. The call that takes it to 6 zeroes the modes, prints "Error: Power
  /// Protection." and ends the process (status 254).
  void PowerProtect(LowCmd& send, LowState& recv, int factor);

  /// Checks the twelve measured angles against the joint ranges narrowed by
  /// `limit` radians at both ends (a negative margin widens them). If any lies
  /// outside, prints each offending joint on standard output (first the hips,
  /// "FR 0", "FL 0", "RR 0", "RL 0"; then leg by leg "leg L thigh: DEG" and
  /// "leg L calf: DEG", the measured angle in degrees), zeroes the modes,
  /// prints "Error: Position Protection." and ends the process (status 254).
  /// A NaN or infinite angle always violates. A margin that is NaN or
  /// infinite is refused: the modes are zeroed and the process ends with
  /// status 255 (invalid argument), with a line on stderr and none on stdout.
  void PositionProtect(LowCmd& send, LowState& recv, double limit);

  /// PowerProtect's test, sharing its counter, without ending the process:
  /// the counter stays at 6 while the power stays over the limit, and each
  /// call at 6 returns a Power report (the power of this call and the limit,
  /// `factor` x 100 W after bounding) with the modes zeroed. Otherwise
  /// returns kind None and leaves `send` alone.
  TripReport checkPower(LowCmd& send, const LowState& recv, int factor);

  /// PositionProtect's test without printing or ending the process. If a
  /// joint violates, zeroes the modes and returns a Position report naming
  /// the first joint PositionProtect would list: its measured angle and the
  /// narrowed bound it lies beyond (the lower one for a NaN angle), both in
  /// radians. A margin that is NaN or infinite zeroes the modes and returns
  /// InvalidLimit. Otherwise returns kind None and leaves `send` alone.
  TripReport checkPosition(LowCmd& send, const LowState& recv, double limit);

 private:
  /// create's: takes the ranges of `type` into the fields, or stores the
  /// error in `outcome`; prints nothing.
  Safety(LeggedType type, Result<void>* outcome);
  /// Takes the joint ranges of `type`, or the selector's error.
  Result<void> takeRanges(LeggedType type);

  // The first two members fill the 8 bytes that two ints held before
  // create() came, so that the class keeps its size and layout for
  // programs built against earlier headers.
  int WattLimit;        ///< W at the full factor of 10
  int16_t Wcount;       ///< over-power counter, 0..6
  bool quiet_ = false;  ///< made by create: destroyed without a line
  double Hip_max;       ///< rad, left legs
  double Hip_min;
  double Thigh_max;  ///< rad, all legs
  double Thigh_min;
  double Calf_max;  ///< rad, all legs
  double Calf_min;
};

}  // namespace KALVENT_LEGGED_SDK
