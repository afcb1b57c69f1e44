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

JsonObject realtimeJson(const KALVENT_LEGGED_SDK::RealtimeReport& realtime) {
  JsonObject o;
  o.boolean("fifo", realtime.fifoScheduling)
      .integer("priority", static_cast<uint64_t>(realtime.priority))
      .boolean("memory_locked", realtime.memoryLocked);
  return o;
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
    std::string list;
    bool failed = false;
    for (const CheckItem& item : items) {
      JsonObject o;
      o.text("name", item.key)
          .text("status", verdictName(item.verdict))
          .text("finding", item.finding)
          .text("fix", item.fix)
          .object("facts", item.facts);
      list += (list.empty() ? "" : ",") + o.str();
      failed = failed || item.verdict == Verdict::Fail;
    }
    JsonObject report;
    report.text("check", "machine").boolean("ready", !failed).array("items", list);
    std::printf("%s\n", report.str().c_str());
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
    JsonObject o;
    o.text("check", "link")
        .text("level", level)
        .text("address", options.address)
        .integer("port", static_cast<uint64_t>(options.port))
        .integer("local_port", static_cast<uint64_t>(r.localPort))
        .number("seconds", options.seconds)
        .integer("rate_hz", kLinkRateHz)
        .object("realtime", realtimeJson(realtime))
        .boolean("answered", r.answered)
        .integer("sent", r.sent)
        .integer("received", r.received)
        .integer("checksum_failures", r.checksumFailures)
        .integer("empty_polls", r.emptyPolls)
        .number("loss_pct", r.lossRun * 100)
        .number("recent_loss_pct", r.lossRecent * 100)
        .integer("tick_restarts", r.tickRestarts)
        .object("state_age_ms", toJson(r.stateAgeMs))
        .object("send_to_state_ms", toJson(r.sendToStateMs))
        .number("stale_ms", options.staleMs)
        .integer("stale_episodes", r.staleEpisodes);
    std::printf("%s\n", o.str().c_str());
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
