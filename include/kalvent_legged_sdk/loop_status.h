/// @file
/// What a running or stopped loop has done: LoopFunc::status() and
/// StateLoop::status().
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
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

/// The counts behind LoopStatus. The loop thread counts without locks or
/// allocation; any thread may take a copy meanwhile.
class LoopStatusCounters {
 public:
  /// At start(), before the thread exists.
  void reset() {
    _iterations.store(0, std::memory_order_relaxed);
    _overruns.store(0, std::memory_order_relaxed);
    const std::lock_guard<std::mutex> lock(_errorMutex);
    _error.clear();
  }
  /// On the loop thread, once per call.
  void count(bool overran) noexcept {
    _iterations.store(_iterations.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (overran) {
      _overruns.store(_overruns.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  }
  /// Keeps the first error reported since the last reset(). Allocates.
  void reportError(const std::string& why) {
    const std::lock_guard<std::mutex> lock(_errorMutex);
    if (_error.empty()) _error = why;
  }
  /// A copy, with `running` as the loop knows it.
  LoopStatus snapshot(bool running) const {
    LoopStatus status;
    status.running = running;
    status.iterations = _iterations.load(std::memory_order_relaxed);
    status.overruns = _overruns.load(std::memory_order_relaxed);
    const std::lock_guard<std::mutex> lock(_errorMutex);
    status.error = _error;
    return status;
  }

 private:
  std::atomic<uint64_t> _iterations{0};
  std::atomic<uint64_t> _overruns{0};
  mutable std::mutex _errorMutex;
  std::string _error;
};

}  // namespace KALVENT_LEGGED_SDK
