#include "runner.h"

#include <signal.h>

#include <string>

namespace kalvent_sim {

namespace {

const char kProgram[] = "kalvent_sim";

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onStopSignal(int) {
  stopRequested.store(true);
}

// Routes SIGINT and SIGTERM to `stopRequested` for the rest of the process's
// life. The handlers are never put back: a second signal while the program
// winds down (timeout(1) signals both the process and its group) must not
// kill it before its final line.
void routeStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int run(const Options& options, const std::atomic<bool>& stop, std::FILE* out, Counters* totals) {
  Server server(options, out);
  if (!server.open() || !server.serve(stop)) return 1;
  if (totals) *totals = server.counters();
  return 0;
}

int runCommandLine(int argc, const char* const* argv) {
  Options options;
  std::string error;
  switch (parseOptions(argc, argv, &options, &error)) {
    case ParseOutcome::Help:
      printUsage(stdout);
      return 0;
    case ParseOutcome::PrintAddresses:
      printAddresses(stdout);
      return 0;
    case ParseOutcome::Error:
      std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, error.c_str(), kProgram);
      return 2;
    case ParseOutcome::Run:
      break;
  }
  stopRequested.store(false);
  routeStopSignals();
  return run(options, stopRequested, stdout);
}

}  // namespace kalvent_sim
