// The counts behind LoopStatus, kept beside the loops rather than in them,
// so that the loop classes keep the size programs built against earlier
// headers give them. Private to the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "kalvent_legged_sdk/loop_status.h"

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// Written by the loop thread without locks or allocation; any thread may
// take a copy meanwhile.
class LoopCounters {
 public:
  // At start(), before the thread exists.
  void reset();
  // On the loop thread, once per call.
  void count(bool overran) noexcept {
    _iterations.store(_iterations.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (overran) {
      _overruns.store(_overruns.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  }
  // Keeps the first error reported since the last reset(). Allocates.
  void reportError(const std::string& why);
  // A copy, with `running` as the loop knows it.
  LoopStatus snapshot(bool running) const;

 private:
  std::atomic<uint64_t> _iterations{0};
  std::atomic<uint64_t> _overruns{0};
  mutable std::mutex _errorMutex;
  std::string _error;
};

// The counters of the loop at `loop`, made at its first start(); they stay
// at one address until forgetLoopCounters. Allocates the first time.
LoopCounters& loopCountersOf(const void* loop);
// The status of the loop at `loop`: zero counts before its first start().
LoopStatus loopStatusOf(const void* loop, bool running);
// Keeps `why` for the loop at `loop` (see LoopCounters::reportError).
void reportLoopError(const void* loop, const std::string& why);
// As the loop at `loop` goes, its thread ended.
void forgetLoopCounters(const void* loop);

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
