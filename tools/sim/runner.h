// The simulator program: its command line, signal handling and the run of
// its server.
#pragma once

#include <atomic>
#include <cstdio>

#include "options.h"
#include "server.h"

namespace kalvent_sim {

// Serves the controller's port until `stop` is set or the duration has
// passed. Writes a start line, a status line per simulated second and a final
// line to `out` (none when null), errors to stderr. Returns 0, or 1 when the
// port or a file cannot be opened or the film or the recording came out
// incomplete. `totals`, when given, receives the final counters.
int run(const Options& options, const std::atomic<bool>& stop, std::FILE* out,
        Counters* totals = nullptr);

// The whole program: options, signal handling, run. Returns the exit status:
// 0 (also after SIGINT or SIGTERM), 1 on a run-time failure, 2 on bad options.
int runCommandLine(int argc, const char* const* argv);

}  // namespace kalvent_sim
