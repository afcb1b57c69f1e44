// The link's health as the dashboard sees it, from the states' ticks and
// their arrival times: the figures of the library's LinkHealth (loss over
// the last second, the newest state's age, stale episodes, controller
// restarts), learnt on the dashboard's side of the bridge. A state whose
// tick did not advance is a repeat and brings no news: a relay that goes on
// publishing its last state still reads stale.
//
// Used on one thread; times are CLOCK_MONOTONIC, ns.
#pragma once

#include <cstdint>
#include <deque>

namespace kalvent_dash {

struct LinkSnapshot {
  double loss;        // 0 to 1; NaN while not measurable
  double stateAgeMs;  // NaN before the first state
  bool stale;         // no new state for longer than the threshold (or none yet)
  int64_t staleEpisodes;
  int64_t restarts;
};

class LinkFigures {
 public:
  explicit LinkFigures(double staleAfterMs)
      : staleAfterNs_(static_cast<int64_t>(staleAfterMs * 1e6)) {}

  // A state with `tick` arrived at `nowNs`. Returns whether it was news (its
  // tick advanced, or the controller restarted).
  bool onState(uint32_t tick, int64_t nowNs);
  // The figures at `nowNs`; counts a stale episode when one has begun since
  // the last call. Call it at least once per threshold to count every
  // episode.
  LinkSnapshot at(int64_t nowNs);
  // A recording's own figures, which replace the loss and the restarts
  // learnt here from then on.
  void useRecorded(double loss, int64_t restarts);
  // When the state turns stale if nothing new arrives; INT64_MAX before the
  // first state.
  int64_t staleDeadline() const;

 private:
  struct Arrival {
    int64_t ns;
    uint32_t tick;
  };
  // The tick advance per state sent, learnt from the window (1 until known).
  uint32_t step() const;
  double windowLoss() const;

  int64_t staleAfterNs_;
  std::deque<Arrival> window_;  // news of the last second, oldest first
  bool any_ = false;
  uint32_t newestTick_ = 0;
  int64_t newestNs_ = 0;
  bool staleNow_ = true;
  int64_t staleEpisodes_ = 0;
  int64_t restarts_ = 0;
  bool recorded_ = false;
  double recordedLoss_ = 0;
  int64_t recordedRestarts_ = 0;
};

}  // namespace kalvent_dash
