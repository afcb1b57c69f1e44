/// @file
/// What a running or stopped loop has done: LoopFunc::status() and
/// StateLoop::status().
#pragma once

#include <cstdint>
#include <string>

namespace KALVENT_LEGGED_SDK {

/// A copy of a loop's status, taken at one moment. The counts start again
/// from zero at each start().
struct LoopStatus {
  /// The loop's thread runs (from start() until shutdown(), or until the loop
  /// stops itself).
  bool running = false;
  /// Calls of the loop's function since the last start().
  uint64_t iterations = 0;
  /// Calls since the last start() that began more than one period late: for
  /// a LoopFunc, a call after which at least two whole periods had gone by;
  /// for a StateLoop, a call that took longer than two periods, so that the
  /// state after the one it answered waited more than a period.
  uint64_t overruns = 0;
  /// Why the loop was stopped with an error (see reportError), or empty.
  std::string error;
};

}  // namespace KALVENT_LEGGED_SDK
