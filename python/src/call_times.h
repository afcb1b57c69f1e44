// When a loop's calls begin and end, for measuring what a period's work
// costs from the loop's own point of view.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kalvent_legged_sdk/clock.h"

namespace kalvent_python {

// Entry and exit of a loop's first calls, in ns on CLOCK_MONOTONIC (the
// clock of Python's time.monotonic_ns). The storage is sized beforehand, so
// the loop thread never allocates; a reader may copy what is recorded while
// the loop goes on.
class CallTimes {
 public:
  using Call = std::pair<int64_t, int64_t>;

  static int64_t now() { return KALVENT_LEGGED_SDK::monotonicNanoseconds(); }

  // Forgets what was recorded and makes room for `count` calls. Not while a
  // loop thread records.
  void reset(size_t count) {
    calls_.assign(count, Call{});
    recorded_.store(0, std::memory_order_relaxed);
  }

  // Loop thread only: makes the call `run`, recording its entry and exit
  // while there is room.
  template <typename Run>
  void time(Run&& run) {
    if (!wanted()) {
      run();
      return;
    }
    const int64_t entry = now();
    run();
    add(entry, now());
  }

  std::vector<Call> recorded() const {
    const size_t count = recorded_.load(std::memory_order_acquire);
    return {calls_.begin(), calls_.begin() + static_cast<std::ptrdiff_t>(count)};
  }

 private:
  bool wanted() const { return recorded_.load(std::memory_order_relaxed) < calls_.size(); }
  void add(int64_t entry, int64_t exit) {
    const size_t index = recorded_.load(std::memory_order_relaxed);
    calls_[index] = Call{entry, exit};
    recorded_.store(index + 1, std::memory_order_release);
  }

  std::vector<Call> calls_;
  std::atomic<size_t> recorded_{0};
};

}  // namespace kalvent_python
