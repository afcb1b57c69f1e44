// kalvent_linkcheck: checks a machine's real-time readiness, or a link to a
// robot controller, without writing a program.
#include <unistd.h>

#include <cstdio>
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

// The library writes its own console lines (endpoint set-up and closing) on
// stdout; while they come, stdout is stderr, so that stdout carries the
// report alone.
class LibraryLinesToStderr {
 public:
  LibraryLinesToStderr() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~LibraryLinesToStderr() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  LibraryLinesToStderr(const LibraryLinesToStderr&) = delete;
  LibraryLinesToStderr& operator=(const LibraryLinesToStderr&) = delete;

 private:
  int saved_;
};

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

int runLink(const Options& options) {
  std::string error;
  if (!addressUsable(options, &error)) {
    std::fprintf(stderr, "kalvent_linkcheck: %s\n", error.c_str());
    return kExitUsage;
  }
  // Real-time where allowed, so that the figures are the link's and not the
  // scheduler's on a loaded machine.
  const sdk::RealtimeReport realtime = sdk::TryInitEnvironment();
  LinkResult result;
  bool bound = false;
  {
    LibraryLinesToStderr redirect;
    bound = runLinkCheck(options, &result, &error);
  }
  if (!bound) {
    std::fprintf(stderr, "kalvent_linkcheck: %s\n", error.c_str());
    return kExitFailed;
  }
  printLinkReport(options, result, realtime);
  return result.answered ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
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
}
