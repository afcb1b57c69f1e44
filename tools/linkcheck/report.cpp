#include "report.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace kalvent_linkcheck {

namespace {

std::string percent(double share) {
  if (std::isnan(share)) return "not measurable";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%", share * 100);
  return text;
}

std::string milliseconds(const Distribution& d) {
  if (d.count == 0) return "none";
  char text[128];
  std::snprintf(text, sizeof text, "p50 %.2f, p99 %.2f, max %.2f ms (%zu samples)", d.p50, d.p99,
                d.max, d.count);
  return text;
}

Json realtimeJson(const KALVENT_LEGGED_SDK::RealtimeReport& realtime) {
  return Json{{"fifo", realtime.fifoScheduling},
              {"priority", static_cast<uint64_t>(realtime.priority)},
              {"memory_locked", realtime.memoryLocked}};
}

}  // namespace

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Ok:
      return "ok";
    case Verdict::Info:
      return "info";
    case Verdict::Warn:
      return "warn";
    case Verdict::Fail:
      return "fail";
  }
  return "?";
}

void printMachineReport(const std::vector<CheckItem>& items, bool json) {
  if (json) {
    Json list = Json::array();
    bool failed = false;
    for (const CheckItem& item : items) {
      list.push_back(Json{{"name", item.key},
                          {"status", verdictName(item.verdict)},
                          {"finding", item.finding},
                          {"fix", item.fix},
                          {"facts", item.facts}});
      failed = failed || item.verdict == Verdict::Fail;
    }
    const Json report{{"check", "machine"}, {"ready", !failed}, {"items", list}};
    std::printf("%s\n", report.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    return;
  }
  std::printf("kalvent_linkcheck machine: real-time readiness of this machine\n");
  for (const CheckItem& item : items) {
    std::printf("  %-6s %-24s %s\n", ("[" + std::string(verdictName(item.verdict)) + "]").c_str(),
                item.title.c_str(), item.finding.c_str());
    if (!item.fix.empty()) std::printf("         fix: %s\n", item.fix.c_str());
  }
}

void printLinkReport(const Options& options, const LinkResult& r,
                     const KALVENT_LEGGED_SDK::RealtimeReport& realtime) {
  const char* level = options.lowLevel ? "low" : "high";
  if (options.json) {
    const Json o{{"check", "link"},
                 {"level", level},
                 {"address", options.address},
                 {"port", options.port},
                 {"local_port", r.localPort},
                 {"seconds", jsonNumber(options.seconds)},
                 {"rate_hz", kLinkRateHz},
                 {"realtime", realtimeJson(realtime)},
                 {"answered", r.answered},
                 {"sent", r.sent},
                 {"received", r.received},
                 {"checksum_failures", r.checksumFailures},
                 {"empty_polls", r.emptyPolls},
                 {"loss_pct", jsonNumber(r.lossRun * 100)},
                 {"recent_loss_pct", jsonNumber(r.lossRecent * 100)},
                 {"tick_restarts", r.tickRestarts},
                 {"state_age_ms", toJson(r.stateAgeMs)},
                 {"send_to_state_ms", toJson(r.sendToStateMs)},
                 {"stale_ms", jsonNumber(options.staleMs)},
                 {"stale_episodes", r.staleEpisodes}};
    std::printf("%s\n", o.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    return;
  }
  std::printf("kalvent_linkcheck link: %s level, %s:%d from local port %d, %.1f s at %d Hz\n",
              level, options.address.c_str(), options.port, r.localPort, options.seconds,
              kLinkRateHz);
  std::printf("  %-18s %s\n", "this program", schedulingText(realtime).c_str());
  std::printf("  %-18s %llu\n", "commands sent", static_cast<unsigned long long>(r.sent));
  std::printf("  %-18s %llu valid\n", "states received",
              static_cast<unsigned long long>(r.received));
  std::printf("  %-18s %llu (empty polls, not counted here: %llu)\n", "checksum failures",
              static_cast<unsigned long long>(r.checksumFailures),
              static_cast<unsigned long long>(r.emptyPolls));
  std::printf("  %-18s %s over the run, %s in the last second (controller restarts: %llu)\n",
              "loss", percent(r.lossRun).c_str(), percent(r.lossRecent).c_str(),
              static_cast<unsigned long long>(r.tickRestarts));
  std::printf("  %-18s %s\n", "state age", milliseconds(r.stateAgeMs).c_str());
  std::printf("  %-18s %s\n", "send to state", milliseconds(r.sendToStateMs).c_str());
  std::printf("  %-18s %llu (state older than %g ms)\n", "stale episodes",
              static_cast<unsigned long long>(r.staleEpisodes), options.staleMs);
  std::printf("%s\n", r.answered ? "the link answered"
                                 : "no valid state arrived: is the controller at that address and "
                                   "port, and is the level right?");
}

}  // namespace kalvent_linkcheck
