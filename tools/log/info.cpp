// kalvent_log info, and reading a recording.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "log_tool.h"
#include "record_codec.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_log_tool {

void Recording::forEach(const std::function<void(const sdk::LogEvent&)>& visit) const {
  sdk::EventLogReader reader(path_);
  sdk::LogEvent event;
  while (reader.next(event)) visit(event);
  truncated_ = reader.truncatedBytes();
  if (truncated_ != 0 && !warned_) {
    std::fprintf(stderr,
                 "kalvent_log: %s ends in an event cut short (%llu bytes): read up to the last "
                 "whole event\n",
                 path_.c_str(), static_cast<unsigned long long>(truncated_));
    warned_ = true;
  }
}

namespace {

// Intervals between a channel's events longer than this many times their
// median count as gaps.
constexpr double kGapFactor = 3;

struct ChannelFigures {
  std::vector<int64_t> timesUs;
};

}  // namespace

int printInfo(const Recording& recording) {
  std::map<std::string, ChannelFigures> channels;
  size_t events = 0;
  int64_t firstUs = 0;
  int64_t lastUs = 0;
  sdk::LogEvent lastHealth;
  recording.forEach([&](const sdk::LogEvent& event) {
    if (events++ == 0) firstUs = event.timestampUs;
    lastUs = event.timestampUs;
    channels[event.channel].timesUs.push_back(event.timestampUs);
    if (event.channel == sdk::kRecordedLinkHealth) lastHealth = event;
  });
  std::printf("file: %s\n", recording.path().c_str());
  if (events == 0) {
    std::printf("events: 0\n");
    return 0;
  }
  std::printf("events: %zu, duration %.3f s%s\n", events, (lastUs - firstUs) * 1e-6,
              recording.truncatedBytes() != 0 ? " (the last event was cut short)" : "");
  std::printf("%-22s %8s %10s %14s %6s\n", "channel", "events", "rate Hz", "longest gap ms",
              "gaps");
  for (const auto& [name, figures] : channels) {
    const std::vector<int64_t>& times = figures.timesUs;
    std::vector<int64_t> intervals;
    for (size_t i = 1; i < times.size(); ++i) intervals.push_back(times[i] - times[i - 1]);
    double rate = 0;
    double longestMs = 0;
    size_t gaps = 0;
    if (!intervals.empty()) {
      rate = static_cast<double>(intervals.size()) / ((times.back() - times.front()) * 1e-6);
      std::vector<int64_t> sorted = intervals;
      std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
      const double median = static_cast<double>(sorted[sorted.size() / 2]);
      longestMs = *std::max_element(intervals.begin(), intervals.end()) * 1e-3;
      for (int64_t interval : intervals) gaps += interval > kGapFactor * median;
    }
    std::printf("%-22s %8zu %10.1f %14.3f %6zu\n", name.c_str(), times.size(),
                std::isfinite(rate) ? rate : 0.0, longestMs, gaps);
  }

  // The newest link-health record has the figures of the whole run.
  kalvent_log::link_health health{};
  if (!lastHealth.data.empty() &&
      health.decode(lastHealth.data.data(), 0, static_cast<int>(lastHealth.data.size())) >= 0) {
    // A recording of the controller's side has no link figures (-1).
    if (health.valid_packets >= 0) {
      std::printf("link: %" PRId64 " valid packets, %" PRId64 " checksum failures, %" PRId64
                  " empty polls, %" PRId64 " controller restarts, loss %.2f %% overall\n",
                  health.valid_packets, health.checksum_failures, health.empty_polls,
                  health.tick_restarts, health.overall_loss * 100);
    }
    std::printf("recorder: %" PRId64 " commands and %" PRId64 " states recorded, %" PRId64
                " commands and %" PRId64 " states dropped (the disk fell behind)\n",
                health.commands_recorded, health.states_recorded, health.commands_dropped,
                health.states_dropped);
  }
  return 0;
}

}  // namespace kalvent_log_tool
