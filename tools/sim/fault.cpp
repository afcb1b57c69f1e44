#include "fault.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "udp_comm.h"

namespace kalvent_sim {

namespace {

const int64_t kNsPerMs = 1000000;

bool chance(double draw, double percent) {
  return draw * 100.0 < percent;
}

}  // namespace

uint64_t FaultRandom::next() {
  uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

double FaultRandom::uniform() {
  return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

bool FaultConfig::active() const {
  return lossPercent > 0 || delayMs > 0 || jitterMs > 0 || duplicatePercent > 0 ||
         reorderPercent > 0 || corruptPercent > 0;
}

bool FaultInjector::Later::operator()(uint32_t a, uint32_t b) const {
  const Slot& x = (*slots)[a];
  const Slot& y = (*slots)[b];
  return x.releaseNs != y.releaseNs ? x.releaseNs > y.releaseNs : x.order > y.order;
}

FaultInjector::FaultInjector(const FaultConfig& config, int rateHz)
    : config_(config), random_(config.seed) {
  // One packet per period stays queued for at most delay + jitter, two
  // copies of each, with some slack, and the held ones besides.
  const double inFlight = std::ceil((config.delayMs + config.jitterMs) * rateHz / 1000.0);
  const size_t capacity = 2 * (static_cast<size_t>(inFlight) + 2) + kMaxHeldCopies;
  slots_.resize(capacity);
  free_.reserve(capacity);
  due_.reserve(capacity);
  for (size_t i = capacity; i > 0; --i) free_.push_back(static_cast<uint32_t>(i - 1));
}

void FaultInjector::offer(const unsigned char* packet, size_t length, int64_t nowNs,
                          PacketSink& sink) {
  // The same number of draws for every packet: one fault's share does not
  // shift another's sequence.
  const double lossDraw = random_.uniform();
  const double corruptDraw = random_.uniform();
  const double duplicateDraw = random_.uniform();
  const double reorderDraw = random_.uniform();
  const double jitterDraw = random_.uniform();
  const uint64_t bitDraw = random_.next();
  if (chance(lossDraw, config_.lossPercent)) {
    ++counters_.lost;
    return;
  }
  const bool corrupt = chance(corruptDraw, config_.corruptPercent);
  const int copies = chance(duplicateDraw, config_.duplicatePercent) ? 2 : 1;
  const bool hold =
      chance(reorderDraw, config_.reorderPercent) && heldCount_ + copies <= kMaxHeldCopies;
  const int64_t releaseNs =
      nowNs + std::llround((config_.delayMs + jitterDraw * config_.jitterMs) * kNsPerMs);
  counters_.corrupted += corrupt ? 1 : 0;
  counters_.duplicated += copies == 2 ? 1 : 0;

  for (int copy = 0; copy < copies; ++copy) {
    if (free_.empty()) sendEarliest(sink);
    const uint32_t slot = free_.back();
    free_.pop_back();
    Slot& s = slots_[slot];
    s.length = std::min(length, sizeof s.bytes);
    std::memcpy(s.bytes, packet, s.length);
    // CRC-32 catches every single-bit error in the words it covers.
    const uint64_t coveredBits =
        s.length < 8 ? 0 : uint64_t{KALVENT_LEGGED_SDK::crcWords(static_cast<int>(s.length))} * 32;
    if (corrupt && coveredBits > 0) {
      const uint64_t bit = bitDraw % coveredBits;
      s.bytes[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    }
    if (hold) {
      s.releaseNs = releaseNs;
      held_[heldCount_++] = slot;
    } else {
      enqueue(slot, releaseNs);
    }
  }
  if (hold) {
    ++heldPackets_;
    return;
  }
  // The packets held so far go out behind this one.
  for (int i = 0; i < heldCount_; ++i) {
    enqueue(held_[i], std::max(slots_[held_[i]].releaseNs, releaseNs));
  }
  counters_.reordered += heldPackets_;
  heldCount_ = 0;
  heldPackets_ = 0;
}

void FaultInjector::unhold() {
  for (int i = 0; i < heldCount_; ++i) enqueue(held_[i], slots_[held_[i]].releaseNs);
  heldCount_ = 0;
  heldPackets_ = 0;
}

void FaultInjector::enqueue(uint32_t slot, int64_t releaseNs) {
  slots_[slot].releaseNs = releaseNs;
  slots_[slot].order = nextOrder_++;
  due_.push_back(slot);
  std::push_heap(due_.begin(), due_.end(), Later{&slots_});
}

void FaultInjector::sendEarliest(PacketSink& sink) {
  std::pop_heap(due_.begin(), due_.end(), Later{&slots_});
  const uint32_t slot = due_.back();
  due_.pop_back();
  sink.send(slots_[slot].bytes, slots_[slot].length);
  free_.push_back(slot);
}

void FaultInjector::release(int64_t nowNs, PacketSink& sink) {
  while (!due_.empty() && slots_[due_.front()].releaseNs <= nowNs) sendEarliest(sink);
}

int64_t FaultInjector::nextReleaseNs() const {
  return due_.empty() ? std::numeric_limits<int64_t>::max() : slots_[due_.front()].releaseNs;
}

RestartSchedule::RestartSchedule(const RestartPlan& plan)
    : downAtNs_(std::llround(plan.atSeconds * 1e9)),
      upAtNs_(downAtNs_ + std::llround(plan.downMs * kNsPerMs)),
      phase_(plan.planned ? Phase::Before : Phase::After) {}

RestartSchedule::Change RestartSchedule::update(int64_t nowNs) {
  if (phase_ == Phase::Before && nowNs >= downAtNs_) {
    phase_ = Phase::Down;
    return Change::GoesDown;
  }
  if (phase_ == Phase::Down && nowNs >= upAtNs_) {
    phase_ = Phase::After;
    return Change::ComesBack;
  }
  return Change::None;
}

}  // namespace kalvent_sim
