// kalvent_linkcheck: checks a machine's real-time readiness, or a link to a
// robot controller, without writing a program.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "kalvent_legged_sdk/realtime.h"
#include "link_check.h"
#include "machine_check.h"
#include "options.h"
#include "report.h"
#include "timer_check.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;
using namespace kalvent_linkcheck;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // machine: an item failed; link: no valid state arrived
constexpr int kExitUsage = 2;

int runMachine(const Options& options) {
  std::vector<CheckItem> items = checkMachine();
  // Real-time where allowed: the timer is measured as a control loop would run.
  const sdk::RealtimeReport realtime = sdk::TryInitEnvironment();
  items.push_back(checkTimer(options.seconds, realtime));
  printMachineReport(items, options.json);
  for (const CheckItem& item : items) {
    if (item.verdict == Verdict::Fail) return kExitFailed;
  }
  return kExitOk;
}

// Why the link's endpoint could not be set up, on stderr; the exit status.
int setUpFailed(const Options& options, const sdk::Error& error) {
  const std::string reason = std::strerror(error.errnoValue);
  if (error.step == sdk::Step::Connect) {
    std::fprintf(stderr, "kalvent_linkcheck: cannot send to --address %s port %d: %s\n",
                 options.address.c_str(), options.port, reason.c_str());
    return kExitUsage;
  }
  if (error.step == sdk::Step::Bind) {
    std::fprintf(stderr,
                 "kalvent_linkcheck: cannot bind local port %d: %s (is a control program using "
                 "it? try --local-port 0)\n",
                 options.localPort, reason.c_str());
  } else {
    std::fprintf(stderr, "kalvent_linkcheck: %s\n", error.message.c_str());
  }
  return kExitFailed;
}

int runLink(const Options& options) {
  // Real-time where allowed, so that the figures are the link's and not the
  // scheduler's on a loaded machine.
  const sdk::RealtimeReport realtime = sdk::TryInitEnvironment();
  const sdk::Result<LinkResult> result = runLinkCheck(options);
  if (!result) return setUpFailed(options, result.error());
  printLinkReport(options, result.value(), realtime);
  return result->answered ? kExitOk : kExitFailed;
}

}  // namespace

// What escapes ends the program with a line, not with std::terminate.
int main(int argc, char** argv) try {
  Options options;
  std::string error;
  switch (parseOptions(argc, argv, &options, &error)) {
    case ParseOutcome::Help:
      std::fputs(helpText().c_str(), stdout);
      return kExitOk;
    case ParseOutcome::Error:
      std::fprintf(stderr, "kalvent_linkcheck: %s (see --help)\n", error.c_str());
      return kExitUsage;
    case ParseOutcome::Run:
      break;
  }
  return options.mode == Mode::Machine ? runMachine(options) : runLink(options);
} catch (const std::exception& e) {
  std::fprintf(stderr, "kalvent_linkcheck: %s\n", e.what());
  return 1;
}
