// What the page is shown: the newest state, the newest position targets and
// the link's figures, as the hello and frame messages of the WebSocket.
// Used on the server's I/O thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "link_figures.h"
#include "sample.h"

namespace kalvent_dash {

// A state older than this reads stale on the page, ms: twenty periods of a
// 500 Hz robot, and early enough that the page, whose drawing can hold up
// its messages by tens of milliseconds, shows it within 100 ms of the last
// state.
constexpr double kStaleAfterMs = 40;

class View {
 public:
  // `source` is "lcm" or "recording"; `sourceName` says which (the LCM URL,
  // the file); times count from `startNs`.
  View(std::string source, std::string sourceName, int64_t startNs);

  // A state that arrived at `nowNs` (and `nowWallMs`); returns whether it
  // was news (see LinkFigures::onState). A repeat changes nothing shown.
  bool onState(const Sample& sample, int64_t nowNs, double nowWallMs);
  void onTargets(const Targets& targets, int64_t nowNs);
  void onRecordedLink(double loss, int64_t restarts) { link_.useRecorded(loss, restarts); }
  // Counts stale episodes: call it at staleDeadline() as well as per frame.
  LinkSnapshot link(int64_t nowNs) { return link_.at(nowNs); }
  int64_t staleDeadline() const { return link_.staleDeadline(); }

  std::string hello() const;
  std::string frame(int64_t nowNs);

 private:
  std::string source_;
  std::string sourceName_;
  int64_t startNs_;
  LinkFigures link_{kStaleAfterMs};
  std::optional<Sample> sample_;
  double sampleWallMs_ = 0;
  std::optional<Targets> targets_;
  int64_t targetsNs_ = 0;
};

}  // namespace kalvent_dash
