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

#include "kalvent_legged_sdk/comm.h"
#include "wire.h"

namespace KALVENT_LEGGED_SDK {

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

int64_t secondsToNs(double seconds) {
  return static_cast<int64_t>(seconds * kNsPerSecond);
}

int64_t monotonicNs() noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * kNsPerSecond + t.tv_nsec;
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

// 1 - arrived/expected within 0..1; NaN while too few packets are expected.
double lossShare(double arrived, double expected, double minimumExpected) {
  if (!(expected >= minimumExpected)) return std::nan("");
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
  return static_cast<double>(monotonicNs() - last) / kNsPerSecond;
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
  const int64_t deadline = monotonicNs() + secondsToNs(timeoutSeconds);
  const timespec pause{0, 1000000};
  while (!anyValid()) {
    if (monotonicNs() >= deadline) return false;
    nanosleep(&pause, nullptr);
  }
  return true;
}

void LinkHealth::setWarnings(bool enabled) noexcept {
  warnings_.store(enabled, std::memory_order_relaxed);
}

void LinkHealth::onSend(const sockaddr_in& peer) noexcept {
  if (anyValid() || silentWarned_.load(std::memory_order_relaxed)) return;
  const int64_t now = monotonicNs();
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
  increment(emptyPolls_);
  watch(monotonicNs(), peer);
}

void LinkHealth::onChecksumFailure(int datagrams, const sockaddr_in& peer) noexcept {
  increment(checksumFailures_);
  const int64_t now = monotonicNs();
  watch(now, peer);
  // The ones drained before the judged one may well have been good.
  if (haveTick_) {
    bucketArrivals_[bucket_] += static_cast<uint32_t>(datagrams - 1);
    overallArrivals_ += static_cast<uint64_t>(datagrams - 1);
  }
}

void LinkHealth::onAccepted(const char* packet, int length, int datagrams,
                            const sockaddr_in& peer) noexcept {
  const int64_t now = monotonicNs();
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
    return;
  }
  const auto advance = static_cast<int32_t>(tick - newestTick_);
  if (advance < 0 && static_cast<uint32_t>(-static_cast<int64_t>(advance)) >
                         kRestartTicks * std::max<uint32_t>(minStep_, 1)) {
    increment(tickRestarts_);
    newestTick_ = tick;
    restartEstimates();
    return;
  }
  bucketArrivals_[bucket_] += static_cast<uint32_t>(datagrams);
  overallArrivals_ += static_cast<uint64_t>(datagrams);
  if (advance > 0) {
    // With more than one datagram the advance spans several packets.
    if (datagrams == 1) learnStep(static_cast<uint32_t>(advance));
    newestTick_ = tick;
  }
}

void LinkHealth::learnStep(uint32_t delta) noexcept {
  if (minStep_ == 0 || delta < minStep_) {
    minStep_ = delta;
    stepSum_ = 0;
    stepCount_ = 0;
  }
  if (2 * static_cast<uint64_t>(delta) < 3 * static_cast<uint64_t>(minStep_)) {
    stepSum_ += delta;
    ++stepCount_;
  }
}

void LinkHealth::restartEstimates() noexcept {
  firstTick_ = newestTick_;
  overallArrivals_ = 0;
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

  if (stepCount_ == 0) return;
  const double step = stepSum_ / stepCount_;
  int oldest = (bucket_ + 1) % kBuckets;
  const bool windowFull = bucketValid_[oldest];
  while (!bucketValid_[oldest]) oldest = (oldest + 1) % kBuckets;
  uint64_t arrived = 0;
  for (int b = oldest;; b = (b + 1) % kBuckets) {
    arrived += bucketArrivals_[b];
    if (b == bucket_) break;
  }
  const double expected = (newestTick_ - bucketStartTick_[oldest]) / step;
  double recent = lossShare(static_cast<double>(arrived), expected, kMinimumExpected);
  if (std::isnan(recent) && arrived == 0 && windowFull) recent = 1.0;
  recentLoss_.store(recent, std::memory_order_relaxed);
  overallLoss_.store(lossShare(static_cast<double>(overallArrivals_),
                               (newestTick_ - firstTick_) / step, kMinimumExpected),
                     std::memory_order_relaxed);
}

void LinkHealth::warn(const char* format, const sockaddr_in& peer, double value) const noexcept {
  if (!warnings_.load(std::memory_order_relaxed)) return;
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  char line[320];
  std::snprintf(line, sizeof line, format, address, static_cast<unsigned>(ntohs(peer.sin_port)),
                value);
  std::fprintf(stderr, "kalvent_legged_sdk: %s\n", line);
}

}  // namespace KALVENT_LEGGED_SDK
