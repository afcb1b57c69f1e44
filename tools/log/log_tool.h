// kalvent_log: the subcommands that read a recording.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "event_log.h"

namespace kalvent_log_tool {

// A recording on disk, read event by event: a long one need not fit in
// memory. forEach throws KALVENT_LEGGED_SDK::EventLogError (naming the byte
// offset) for a corrupted file and std::runtime_error for one that cannot be
// read; a cut-off last event ends the events, with one line on standard
// error.
class Recording {
 public:
  explicit Recording(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  // Calls `visit` with every whole event, in file order.
  void forEach(const std::function<void(const KALVENT_LEGGED_SDK::LogEvent&)>& visit) const;
  // Bytes after the last whole event, as the last forEach found them.
  uint64_t truncatedBytes() const { return truncated_; }

 private:
  std::string path_;
  mutable uint64_t truncated_ = 0;
  mutable bool warned_ = false;
};

// Each returns the process's exit status.
int printInfo(const Recording& recording);
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
