#include <time.h>

#include <cmath>
#include <kalvent_log/high_state.hpp>
#include <kalvent_log/link_health.hpp>
#include <kalvent_log/low_cmd.hpp>
#include <kalvent_log/low_state.hpp>
#include <stdexcept>

#include "clock.h"
#include "event_log.h"
#include "kalvent_legged_sdk/log.h"
#include "record_codec.h"
#include "server.h"
#include "sources.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_dash {

namespace {

// Sleeps until `ns` on CLOCK_MONOTONIC, in steps short enough to notice
// `stop` soon.
void sleepUntil(int64_t ns, const std::atomic<bool>& stop) {
  constexpr int64_t kStepNs = 100000000;
  for (int64_t now = monotonicNs(); now < ns && !stop; now = monotonicNs()) {
    const int64_t until = std::min(ns, now + kStepNs);
    const timespec at{static_cast<time_t>(until / 1000000000),
                      static_cast<long>(until % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
  }
}

template <typename Record>
bool decoded(const sdk::LogEvent& event, Record* record) {
  return record->decode(event.data.data(), 0, static_cast<int>(event.data.size())) >= 0;
}

}  // namespace

ReplaySource::ReplaySource(Server& server, const std::string& path, double speed)
    : server_(server), path_(path), speed_(speed) {
  // Opened here once so that a file that cannot be read fails at start-up.
  sdk::EventLogReader check(path_);
  thread_ = std::thread([this] { run(); });
}

ReplaySource::~ReplaySource() {
  stop_ = true;
  thread_.join();
}

void ReplaySource::run() {
  size_t states = 0;
  try {
    sdk::EventLogReader reader(path_);
    sdk::LogEvent event;
    bool first = true;
    int64_t firstUs = 0;
    const int64_t startNs = monotonicNs();
    while (!stop_ && reader.next(event)) {
      if (first) firstUs = event.timestampUs;
      first = false;
      sleepUntil(startNs + static_cast<int64_t>((event.timestampUs - firstUs) * 1e3 / speed_),
                 stop_);
      if (stop_) break;
      const int64_t ns = monotonicNs();
      if (event.channel == sdk::kRecordedLowState) {
        kalvent_log::low_state record;
        if (decoded(event, &record)) server_.deliver(sampleOf(record), ns, wallMs());
        ++states;
      } else if (event.channel == sdk::kRecordedHighState) {
        kalvent_log::high_state record;
        if (decoded(event, &record)) server_.deliver(sampleOf(record), ns, wallMs());
        ++states;
      } else if (event.channel == sdk::kRecordedLowCmd) {
        kalvent_log::low_cmd record;
        if (decoded(event, &record)) server_.deliver(targetsOf(record), ns);
      } else if (event.channel == sdk::kRecordedLinkHealth) {
        kalvent_log::link_health record;
        if (decoded(event, &record)) {
          server_.deliverRecordedLink(record.recent_loss, record.tick_restarts);
        }
      }
    }
  } catch (const std::exception& e) {
    sdk::logMessage(sdk::LogLevel::Error, "dash", "replay of %s stopped: %s", path_.c_str(),
                    e.what());
    return;
  }
  if (!stop_) {
    sdk::logMessage(sdk::LogLevel::Info, "dash", "replay of %s ended after %zu states",
                    path_.c_str(), states);
  }
}

}  // namespace kalvent_dash
