// The loops' status counters, in a table keyed by the loop's address.
#include "loop_counters.h"

#include <map>
#include <memory>

namespace KALVENT_LEGGED_SDK {

void LoopCounters::reset() {
  _iterations.store(0, std::memory_order_relaxed);
  _overruns.store(0, std::memory_order_relaxed);
  const std::lock_guard<std::mutex> lock(_errorMutex);
  _error.clear();
}

void LoopCounters::reportError(const std::string& why) {
  const std::lock_guard<std::mutex> lock(_errorMutex);
  if (_error.empty()) _error = why;
}

LoopStatus LoopCounters::snapshot(bool running) const {
  LoopStatus status;
  status.running = running;
  status.iterations = _iterations.load(std::memory_order_relaxed);
  status.overruns = _overruns.load(std::memory_order_relaxed);
  const std::lock_guard<std::mutex> lock(_errorMutex);
  status.error = _error;
  return status;
}

namespace {

std::mutex tableMutex;

// Leaked on purpose: loops of static storage may outlive any static table.
std::map<const void*, std::unique_ptr<LoopCounters>>& table() {
  static auto* counters = new std::map<const void*, std::unique_ptr<LoopCounters>>;
  return *counters;
}

}  // namespace

LoopCounters& loopCountersOf(const void* loop) {
  const std::lock_guard<std::mutex> lock(tableMutex);
  std::unique_ptr<LoopCounters>& counters = table()[loop];
  if (!counters) counters = std::make_unique<LoopCounters>();
  return *counters;
}

LoopStatus loopStatusOf(const void* loop, bool running) {
  const std::lock_guard<std::mutex> lock(tableMutex);
  const auto found = table().find(loop);
  if (found == table().end()) {
    LoopStatus status;
    status.running = running;
    return status;
  }
  return found->second->snapshot(running);
}

void reportLoopError(const void* loop, const std::string& why) {
  loopCountersOf(loop).reportError(why);
}

void forgetLoopCounters(const void* loop) {
  const std::lock_guard<std::mutex> lock(tableMutex);
  table().erase(loop);
}

}  // namespace KALVENT_LEGGED_SDK
