#include "link_figures.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kalvent_legged_sdk/link_health.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_dash {

namespace {

constexpr int64_t kWindowNs = static_cast<int64_t>(sdk::LinkHealth::kLossWindowSeconds * 1e9);
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

bool LinkFigures::onState(uint32_t tick, int64_t nowNs) {
  if (any_) {
    const int32_t advance = static_cast<int32_t>(tick - newestTick_);
    if (advance == 0) return false;
    if (advance < 0) {
      // A tick far back is a controller that started afresh; a little back,
      // a state overtaken on the way.
      if (static_cast<uint32_t>(-advance) <= sdk::LinkHealth::kRestartTicks * step()) {
        return false;
      }
      ++restarts_;
      window_.clear();
    }
  }
  any_ = true;
  newestTick_ = tick;
  newestNs_ = nowNs;
  window_.push_back({nowNs, tick});
  return true;
}

uint32_t LinkFigures::step() const {
  // The smallest advance seen: a lost state shows as an advance of two.
  uint32_t smallest = std::numeric_limits<uint32_t>::max();
  for (size_t i = 1; i < window_.size(); ++i) {
    smallest = std::min(smallest, window_[i].tick - window_[i - 1].tick);
  }
  return window_.size() < 2 ? 1 : smallest;
}

double LinkFigures::windowLoss() const {
  if (window_.empty()) return any_ ? 1.0 : kNaN;
  if (window_.size() < 2) return kNaN;
  const double sent = static_cast<double>(window_.back().tick - window_.front().tick) / step();
  const double arrived = static_cast<double>(window_.size() - 1);
  return std::clamp(1.0 - arrived / sent, 0.0, 1.0);
}

LinkSnapshot LinkFigures::at(int64_t nowNs) {
  while (!window_.empty() && window_.front().ns < nowNs - kWindowNs) window_.pop_front();
  const bool stale = !any_ || nowNs - newestNs_ > staleAfterNs_;
  if (stale && !staleNow_) ++staleEpisodes_;
  staleNow_ = stale;
  LinkSnapshot s;
  s.loss = recorded_ ? recordedLoss_ : windowLoss();
  s.stateAgeMs = any_ ? (nowNs - newestNs_) * 1e-6 : kNaN;
  s.stale = stale;
  s.staleEpisodes = staleEpisodes_;
  s.restarts = recorded_ ? recordedRestarts_ : restarts_;
  return s;
}

void LinkFigures::useRecorded(double loss, int64_t restarts) {
  recorded_ = true;
  recordedLoss_ = loss;
  recordedRestarts_ = restarts;
}

int64_t LinkFigures::staleDeadline() const {
  return any_ ? newestNs_ + staleAfterNs_ + 1 : std::numeric_limits<int64_t>::max();
}

}  // namespace kalvent_dash
