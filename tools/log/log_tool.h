// kalvent_log: the subcommands that read a recording.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event_log.h"

namespace kalvent_log_tool {

// A whole recording in memory. Throws KALVENT_LEGGED_SDK::EventLogError
// (naming the byte offset) for a corrupted file and std::runtime_error for
// one that cannot be read.
struct Recording {
  std::vector<KALVENT_LEGGED_SDK::LogEvent> events;
  uint64_t truncatedBytes = 0;  // after the last whole event: a cut recording
};
Recording loadRecording(const std::string& path);

// Each returns the process's exit status.
int printInfo(const std::string& path, const Recording& recording);
int writeCsv(const Recording& recording, const std::string& directory);
// The CSV files, and PNG pages beside them drawn by gnuplot.
int writePlots(const Recording& recording, const std::string& directory);

struct ReplayOptions {
  uint16_t port = 8007;     // where the program's commands go
  double waitSeconds = 10;  // for the program's first command
  bool lcm = false;         // onto the bridge's channels instead
};
int replay(const Recording& recording, const ReplayOptions& options);

}  // namespace kalvent_log_tool
