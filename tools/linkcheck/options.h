// The tool's command line.
#pragma once

#include <string>

namespace kalvent_linkcheck {

enum class Mode { Machine, Link };

struct Options {
  Mode mode = Mode::Machine;
  bool json = false;     // one JSON object on stdout instead of the readable report
  double seconds = 0;    // how long to measure; 0: the mode's default
  bool lowLevel = true;  // link: low- or high-level packets
  std::string address;   // link: the controller's IPv4 address
  int port = 0;          // link: the controller's UDP port
  int localPort = 0;     // link: the local port to bind (0: any free one)
  double staleMs = 100;  // link: a state older than this is stale
};

// Measuring times when --seconds is not given, s.
constexpr double kMachineSeconds = 3;
constexpr double kLinkSeconds = 5;

enum class ParseOutcome { Run, Help, Error };

// Reads argv into *options; on Error, *error says what was wrong.
ParseOutcome parseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// The --help text.
std::string helpText();

}  // namespace kalvent_linkcheck
