// Link health: staleness, counters, the loss estimate from the state's tick,
// and the stderr warnings.
#include "kalvent_legged_sdk/link_health.h"

#include <arpa/inet.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <iterator>

#include "kalvent_legged_sdk/clock.h"
#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/log.h"
#include "wire.h"

namespace KALVENT_LEGGED_SDK {

namespace {

int64_t secondsToNs(double seconds) {
  return static_cast<int64_t>(seconds * kNanosecondsPerSecond);
}

// Where the tick sits in the state packets that carry one; -1 for others.
long tickOffset(int packetLength) {
  if (packetLength == LOW_STATE_LENGTH) return offsetof(LowState_t, tick);
  if (packetLength == HIGH_STATE_LENGTH) return offsetof(HighState, tick);
  return -1;
}

uint32_t loadTick(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// 1 - arrived/expected within 0..1; a stretch in which nothing arrived is
// all loss, and one in which the tick did not move (only repeated or
// reordered packets) none.
double lossShare(double arrived, double expected) {
  if (arrived == 0) return 1.0;
  if (!(expected > 0)) return 0.0;
  return std::clamp(1.0 - arrived / expected, 0.0, 1.0);
}

template <typename T>
void increment(std::atomic<T>& counter) noexcept {
  // One writer: a plain load and store, no locked instruction.
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

bool LinkHealth::anyValid() const noexcept {
  return validPackets_.load(std::memory_order_acquire) != 0;
}

double LinkHealth::stateAge() const noexcept {
  const int64_t last = lastValidNs_.load(std::memory_order_acquire);
  if (last == INT64_MIN) return HUGE_VAL;
  return static_cast<double>(monotonicNanoseconds() - last) / kNanosecondsPerSecond;
}

bool LinkHealth::stale(double thresholdSeconds) const noexcept {
  return stateAge() > thresholdSeconds;
}

uint64_t LinkHealth::validPackets() const noexcept {
  return validPackets_.load(std::memory_order_relaxed);
}

uint64_t LinkHealth::emptyPolls() const noexcept {
  return emptyPolls_.load(std::memory_order_relaxed);
}

uint64_t LinkHealth::checksumFailures() const noexcept {
  return checksumFailures_.load(std::memory_order_relaxed);
}

uint64_t LinkHealth::tickRestarts() const noexcept {
  return tickRestarts_.load(std::memory_order_relaxed);
}

double LinkHealth::recentLoss() const noexcept {
  return recentLoss_.load(std::memory_order_relaxed);
}

double LinkHealth::overallLoss() const noexcept {
  return overallLoss_.load(std::memory_order_relaxed);
}

bool LinkHealth::waitForFirstState(double timeoutSeconds) const {
  if (!(timeoutSeconds >= 0)) {
    logMessage(LogLevel::Error, "link",
               "kalvent_legged_sdk: waitForFirstState(%g): the timeout must be a number of "
               "seconds, 0 or more",
               timeoutSeconds);
    return false;
  }
  const int64_t start = monotonicNanoseconds();
  // Beyond the clock's range (infinity included) there is no deadline.
  const bool forever =
      timeoutSeconds >= static_cast<double>(INT64_MAX - start) / kNanosecondsPerSecond;
  const int64_t deadline = forever ? INT64_MAX : start + secondsToNs(timeoutSeconds);
  const timespec pause{0, 1000000};
  while (!anyValid()) {
    if (!forever && monotonicNanoseconds() >= deadline) return false;
    nanosleep(&pause, nullptr);
  }
  return true;
}

void LinkHealth::setWarnings(bool enabled) noexcept {
  warnings_.store(enabled, std::memory_order_relaxed);
}

void LinkHealth::onSend(const sockaddr_in& peer) noexcept {
  if (anyValid() || silentWarned_.load(std::memory_order_relaxed)) return;
  const int64_t now = monotonicNanoseconds();
  int64_t first = firstSendNs_.load(std::memory_order_relaxed);
  if (first == 0) {
    firstSendNs_.compare_exchange_strong(first, now, std::memory_order_relaxed);
    return;
  }
  if (now - first < secondsToNs(kWarnSilentSeconds)) return;
  if (!silentWarned_.exchange(true, std::memory_order_relaxed)) {
    warn(
        "no valid packet from %s:%u %.1f s after the first Send: either nothing is listening "
        "there, or the commands are not stamped (call SetSend before starting the send loop)",
        peer, kWarnSilentSeconds);
  }
}

void LinkHealth::onEmptyPoll(const sockaddr_in& peer) noexcept {
  onEmptyPollAt(monotonicNanoseconds(), peer);
}

void LinkHealth::onChecksumFailure(int datagrams, const sockaddr_in& peer) noexcept {
  onChecksumFailureAt(monotonicNanoseconds(), datagrams, peer);
}

void LinkHealth::onAccepted(const char* packet, int length, int datagrams,
                            const sockaddr_in& peer) noexcept {
  onAcceptedAt(monotonicNanoseconds(), packet, length, datagrams, peer);
}

void LinkHealth::onEmptyPollAt(int64_t now, const sockaddr_in& peer) noexcept {
  increment(emptyPolls_);
  watch(now, peer);
}

void LinkHealth::onChecksumFailureAt(int64_t now, int datagrams, const sockaddr_in& peer) noexcept {
  increment(checksumFailures_);
  watch(now, peer);
  // The judged datagram is lost; the ones drained before it may well have
  // been good. The next advance spans the lost one: no step to learn there.
  inOrder_ = false;
  if (haveTick_) {
    bucketArrivals_[bucket_] += static_cast<uint32_t>(datagrams - 1);
    overallArrivals_ += static_cast<uint64_t>(datagrams - 1);
  }
}

void LinkHealth::onAcceptedAt(int64_t now, const char* packet, int length, int datagrams,
                              const sockaddr_in& peer) noexcept {
  rollBuckets(now);
  if (staleWarned_) {
    staleWarned_ = false;
    const double gapMs =
        static_cast<double>(now - lastValidNs_.load(std::memory_order_relaxed)) / 1e6;
    warn("state from %s:%u is back after %.0f ms", peer, gapMs);
  }
  lastValidNs_.store(now, std::memory_order_release);
  validPackets_.store(validPackets_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  const long offset = tickOffset(length);
  if (offset >= 0) countTick(loadTick(packet + offset), datagrams);
}

void LinkHealth::onReplaced(const char* packet, int length) noexcept {
  const long offset = tickOffset(length);
  if (offset >= 0) rememberTick(loadTick(packet + offset));
}

// Nothing valid came in this Recv: is the state going stale?
void LinkHealth::watch(int64_t now, const sockaddr_in& peer) noexcept {
  rollBuckets(now);
  if (staleWarned_ || !anyValid()) return;
  const int64_t age = now - lastValidNs_.load(std::memory_order_relaxed);
  if (age <= secondsToNs(kWarnStaleSeconds)) return;
  staleWarned_ = true;
  warn("state from %s:%u is stale: no valid packet for %.0f ms", peer, kWarnStaleSeconds * 1000);
}

void LinkHealth::countTick(uint32_t tick, int datagrams) noexcept {
  if (!haveTick_) {
    haveTick_ = true;
    newestTick_ = tick;
    restartEstimates();
    rememberTick(tick);
    return;
  }
  const auto advance = static_cast<int32_t>(tick - newestTick_);
  if (advance < 0 && -static_cast<double>(advance) > kRestartTicks * std::max(step_, 1.0)) {
    increment(tickRestarts_);
    newestTick_ = tick;
    restartEstimates();
    rememberTick(tick);
    return;
  }
  rememberTick(tick);
  bucketArrivals_[bucket_] += static_cast<uint32_t>(datagrams);
  overallArrivals_ += static_cast<uint64_t>(datagrams);
  if (advance <= 0) {
    // Repeated or held back: the next advance may span packets counted here.
    inOrder_ = false;
    return;
  }
  if (inOrder_) learnStep(static_cast<uint32_t>(advance), static_cast<uint32_t>(datagrams));
  inOrder_ = true;
  newestTick_ = tick;
}

void LinkHealth::restartEstimates() noexcept {
  firstTick_ = newestTick_;
  overallArrivals_ = 0;
  inOrder_ = false;
  forgetTicks();
  std::fill(std::begin(bucketValid_), std::end(bucketValid_), false);
  std::fill(std::begin(bucketArrivals_), std::end(bucketArrivals_), 0u);
  bucketValid_[bucket_] = true;
  bucketStartTick_[bucket_] = newestTick_;
  recentLoss_.store(std::nan(""), std::memory_order_relaxed);
  overallLoss_.store(std::nan(""), std::memory_order_relaxed);
}

// Moves the window on to the bucket `now` falls in and publishes the
// estimates; a no-op between bucket ends.
void LinkHealth::rollBuckets(int64_t now) noexcept {
  const int64_t bucketNs = secondsToNs(kLossUpdateSeconds);
  if (now < bucketEndNs_) return;
  if (bucketEndNs_ == 0) {
    bucketEndNs_ = now + bucketNs;
    return;
  }
  for (int n = 0; n < kBuckets && now >= bucketEndNs_; ++n) {
    bucket_ = (bucket_ + 1) % kBuckets;
    bucketStartTick_[bucket_] = newestTick_;
    bucketArrivals_[bucket_] = 0;
    bucketValid_[bucket_] = haveTick_;
    bucketEndNs_ += bucketNs;
  }
  if (now >= bucketEndNs_) bucketEndNs_ = now + bucketNs;

  updateExactStep();
  // Nothing to tell before the step is known or anything arrived since the
  // first state (or the restart).
  const double step = packetStep();
  if (step == 0 || overallArrivals_ == 0) return;
  int oldest = (bucket_ + 1) % kBuckets;
  while (!bucketValid_[oldest]) oldest = (oldest + 1) % kBuckets;
  uint64_t arrived = 0;
  for (int b = oldest;; b = (b + 1) % kBuckets) {
    arrived += bucketArrivals_[b];
    if (b == bucket_) break;
  }
  // Tick differences, not ticks: right across the tick's wrap at 2^32.
  const uint32_t windowTicks = newestTick_ - bucketStartTick_[oldest];
  const uint32_t overallTicks = newestTick_ - firstTick_;
  recentLoss_.store(lossShare(static_cast<double>(arrived), windowTicks / step),
                    std::memory_order_relaxed);
  overallLoss_.store(lossShare(static_cast<double>(overallArrivals_), overallTicks / step),
                     std::memory_order_relaxed);
}

void LinkHealth::warn(const char* format, const sockaddr_in& peer, double value) const noexcept {
  if (!warnings_.load(std::memory_order_relaxed)) return;
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  char line[320];
  std::snprintf(line, sizeof line, format, address, static_cast<unsigned>(ntohs(peer.sin_port)),
                value);
  logMessage(LogLevel::Warning, "link", "kalvent_legged_sdk: %s", line);
}

}  // namespace KALVENT_LEGGED_SDK
