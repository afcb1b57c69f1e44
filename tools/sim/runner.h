// The simulator program: its options, and the loop that serves the
// controller's port in real time.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "controller.h"
#include "kalvent_legged_sdk/quadruped.h"

namespace kalvent_sim {

struct Options {
  std::string address;  // IPv4 address to bind; default: the basic controller's
  int port;             // UDP port to bind; default: the controller's port
  int rateHz = 500;     // state packets per second, 1 to 1000
  KALVENT_LEGGED_SDK::LeggedType model = KALVENT_LEGGED_SDK::LeggedType::Tesmar;
  ModelKind modelKind = ControllerConfig{}.modelKind;  // how the low-level robot is simulated
  double duration = 0;                                 // seconds to run; 0: until stopped
  std::string trajectory;  // CSV file of the joint positions; empty: none

  Options();
};

enum class ParseOutcome { Run, Help, Error };

// Reads the command line into `options`; on Error, `error` says why.
ParseOutcome parseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// Writes the usage text.
void printUsage(std::FILE* out);

// Counters of one run.
struct Counters {
  uint64_t commands = 0;      // good commands taken
  uint64_t badChecksums = 0;  // commands ignored for their checksum
  uint64_t wrongLengths = 0;  // datagrams ignored for their length
  uint64_t stateSent = 0;     // state packets sent
};

// Serves the controller's port until `stop` is set or the duration has
// passed. Writes a start line, a status line per simulated second and a final
// line to `out` (none when null), errors to stderr. Returns 0, or 1 when the
// port or the trajectory file cannot be opened. `totals`, when given,
// receives the final counters.
int run(const Options& options, const std::atomic<bool>& stop, std::FILE* out,
        Counters* totals = nullptr);

// The whole program: options, signal handling, run. Returns the exit status:
// 0 (also after SIGINT or SIGTERM), 1 on a run-time failure, 2 on bad options.
int runCommandLine(int argc, const char* const* argv);

}  // namespace kalvent_sim
