// Link health: the tick advance per state packet (the step) that turns the
// ticks spanned into the number of packets sent.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <utility>

#include "kalvent_legged_sdk/link_health.h"

namespace KALVENT_LEGGED_SDK {

namespace {

// The datagrams drained in order before the first estimate of the tick step,
// and those judged free of loss before their mean replaces it.
constexpr uint32_t kFirstStepDatagrams = 16;
constexpr uint32_t kMeanStepDatagrams = 32;
// In-order advances in a row that fit no whole number of steps before the
// step is learnt afresh.
constexpr uint32_t kStepMisfitsToRelearn = 64;
// The datagrams of loss-free advances the step estimate averages over, about.
constexpr double kStepMemoryDatagrams = 256;

// Below this step a loss-free advance and one spanning a lost packet overlap,
// so the step comes from where the recent ticks fall instead; below the
// other the tick repeats, and the advances alone tell the step.
constexpr double kExactStepBelow = 3.0;
constexpr double kTicksRepeatBelow = 0.9;
// Lost packets make the mean over the advances judged loss-free read long,
// but not by this much: an exact step further below it is no step at all
// (the ticks do not repeat within kLongestTickPeriod). Nor does the mean
// read short by more than its rounding: an exact step further above it is
// loss that repeats with the period (one packet in ten lost, at a step of 2,
// leaves 9 of 20 residues occupied).
constexpr double kMeanStepLongBy = 1.5;
constexpr double kMeanStepShortBy = 1.02;
// Offsets from the base tick stay below this; beyond, the counts start anew.
constexpr int32_t kLargestOffset = 1 << 30;

// How far, in ticks, an advance may be from a whole number of steps and
// still be free of loss. Rounding the tick moves each end by under half a
// tick, so a loss-free advance is within 1 of it and one packet lost puts
// it a step further: beyond step - 1. Between the two where they do not
// meet (a step of 2 or more), else the rounding's own bound.
double lossFreeTolerance(double step) {
  return std::max(1.0, std::min(0.5 * step + 0.5, step - 1.0));
}

// Counts `offset` in (`change` +1) or out of (-1) its residue modulo each
// period from `Shortest` on, each period's counters following the shorter
// one's. The periods are constants, so that no remainder takes a division.
template <int Shortest, int... Beyond, size_t Counters, size_t Periods>
void countResiduesOf(std::integer_sequence<int, Beyond...>, int32_t offset, int change,
                     uint16_t (&counts)[Counters], uint16_t (&occupied)[Periods]) {
  auto count = [&](int period, int start) {
    const int residue = (offset % period + period) % period;
    uint16_t& slot = counts[start + residue];
    if (change > 0 && slot++ == 0) ++occupied[period];
    if (change < 0 && --slot == 0) --occupied[period];
  };
  (count(Shortest + Beyond, Beyond * Shortest + Beyond * (Beyond - 1) / 2), ...);
}

}  // namespace

// The tick advance per packet. The controller's tick need not advance by a
// whole number per packet: a millisecond tick at 400 Hz advances by 2 and 3
// in turn. So the step is the mean advance per datagram over the recent Recvs
// judged free of loss: those whose advance is within lossFreeTolerance() of
// one step per datagram drained. The first estimate is the smallest advance
// per datagram seen in order, plus half a tick for its rounding. Every
// advance also bounds the step from above: the packets it spans, at least
// the datagrams drained, each moved the tick by a step, give or take the
// rounding at either end.
void LinkHealth::learnStep(uint32_t advance, uint32_t datagrams) noexcept {
  const double ticks = advance;
  const double drained = datagrams;
  stepBound_ = std::min(stepBound_, (ticks + 1.0) / drained);
  if (step_ == 0) {
    const double perDatagram = (ticks + 0.5) / drained;
    if (firstStep_ == 0 || perDatagram < firstStep_) firstStep_ = perDatagram;
    stepDatagrams_ += datagrams;
    if (stepDatagrams_ >= kFirstStepDatagrams) {
      step_ = firstStep_;
      stepTicks_ = 0;
      stepDatagrams_ = 0;
    }
    return;
  }
  if (std::fabs(ticks - drained * step_) >= lossFreeTolerance(step_)) {
    // None fits for long: the first estimate was off (a packet reordered
    // inside one Recv's drain shows a short advance), so learn afresh.
    if (++stepMisfits_ >= kStepMisfitsToRelearn) relearnStep();
    return;
  }
  stepMisfits_ = 0;
  stepTicks_ += ticks;
  stepDatagrams_ += datagrams;
  // Not from a few advances: rounded alike, they would pull the step off.
  if (stepDatagrams_ >= kMeanStepDatagrams) step_ = stepTicks_ / stepDatagrams_;
  // Older advances count less and less: a step that drifts is followed.
  if (stepDatagrams_ >= kStepMemoryDatagrams) {
    stepTicks_ /= 2;
    stepDatagrams_ /= 2;
  }
}

void LinkHealth::relearnStep() noexcept {
  step_ = 0;
  firstStep_ = 0;
  stepTicks_ = 0;
  stepDatagrams_ = 0;
  stepMisfits_ = 0;
  stepBound_ = std::numeric_limits<double>::infinity();
  exactStep_ = 0;
  forgetTicks();
}

double LinkHealth::packetStep() const noexcept {
  return exactStep_ != 0 ? exactStep_ : step_;
}

void LinkHealth::rememberTick(uint32_t tick) noexcept {
  // The advances tell a longer step; a tick left out is one more not seen.
  if (step_ >= kExactStepBelow) return;
  if (recentTickCount_ == 0) tickBase_ = tick;
  // A difference, not the tick: right across the tick's wrap at 2^32.
  int32_t offset = static_cast<int32_t>(tick - tickBase_);
  if (offset > kLargestOffset || offset < -kLargestOffset) {
    forgetTicks();
    tickBase_ = tick;
    offset = 0;
  }
  if (recentTickCount_ == kRecentTicks) countResidues(recentOffsets_[recentTickNext_], -1);
  recentOffsets_[recentTickNext_] = offset;
  countResidues(offset, +1);
  recentTickNext_ = (recentTickNext_ + 1) % kRecentTicks;
  if (recentTickCount_ < kRecentTicks) ++recentTickCount_;
}

void LinkHealth::forgetTicks() noexcept {
  recentTickCount_ = 0;
  recentTickNext_ = 0;
  std::fill(std::begin(residueCounts_), std::end(residueCounts_), uint16_t{0});
  std::fill(std::begin(residuesOccupied_), std::end(residuesOccupied_), uint16_t{0});
}

void LinkHealth::countResidues(int32_t offset, int change) noexcept {
  countResiduesOf<kShortestTickPeriod>(
      std::make_integer_sequence<int, kLongestTickPeriod - kShortestTickPeriod + 1>(), offset,
      change, residueCounts_, residuesOccupied_);
}

// With a millisecond tick above 333 packets per second, an advance of 2 may
// be one packet, or two with one lost between them: the mean over the
// advances judged loss-free takes in some lossy ones, comes out long, and
// the loss estimate low. The ticks themselves tell more. A controller whose
// period is a ratio of whole ticks, `period` ticks for `packets` packets (a
// millisecond tick at 850 Hz: 20 for 17), stamps ticks that repeat modulo
// `period` on `packets` residues only, whatever is lost; so does every
// multiple of that period, and any other period sees all its residues
// occupied. So the step is the largest ratio of a period to the residues
// the recent ticks occupy (the periods from kShortestTickPeriod on: every
// shorter one has a multiple among them): exact once every residue has been seen, which
// kRecentTicks ticks make all but certain. Kept while the ticks are too few
// (after a restart) or tell nothing better than the mean.
void LinkHealth::updateExactStep() noexcept {
  if (step_ < kTicksRepeatBelow || step_ >= kExactStepBelow) {
    exactStep_ = 0;
    return;
  }
  if (recentTickCount_ < kRecentTicks) return;
  double widest = 1.0;
  for (int period = kShortestTickPeriod; period <= kLongestTickPeriod; ++period) {
    widest = std::max(widest, static_cast<double>(period) / residuesOccupied_[period]);
  }
  const bool fitsMean = widest * kMeanStepLongBy > step_ && widest < step_ * kMeanStepShortBy;
  exactStep_ = widest < stepBound_ && fitsMean ? widest : 0;
}

}  // namespace KALVENT_LEGGED_SDK
