// kalvent_log: looks at a recording (info, csv) or plays its states back
// (replay).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "log_tool.h"

namespace {

const char kUsage[] =
    "usage: kalvent_log info FILE\n"
    "       kalvent_log csv FILE DIRECTORY\n"
    "       kalvent_log plot FILE DIRECTORY\n"
    "       kalvent_log replay FILE [--port N] [--wait SECONDS] [--lcm]\n"
    "  info    channels, counts, duration, rates, gaps, loss and checksum failures\n"
    "  csv     one CSV file per record type in DIRECTORY, one named column per field\n"
    "  plot    the CSV files and PNG pages (joints, torques, IMU, foot forces, link\n"
    "          health) in DIRECTORY, drawn by gnuplot\n"
    "  replay  serves the recorded states as a robot controller on UDP port N\n"
    "          (default 8007) with the recorded timing, from the program's first\n"
    "          command on (waiting up to SECONDS, default 10); --lcm publishes\n"
    "          them on the LCM bridge's state channel instead\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool parseReplayOptions(int argc, char** argv, kalvent_log_tool::ReplayOptions& options) {
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    char* end = nullptr;
    if (option == "--lcm") {
      options.lcm = true;
    } else if (option == "--port" && i + 1 < argc) {
      const long port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 1 || port > 65535) return false;
      options.port = static_cast<uint16_t>(port);
    } else if (option == "--wait" && i + 1 < argc) {
      options.waitSeconds = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(options.waitSeconds > 0)) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string command = argv[1];
  const std::string path = argv[2];
  kalvent_log_tool::ReplayOptions replayOptions;
  if (command == "info" || command == "csv" || command == "plot" || command == "replay") {
    if ((command == "info" && argc != 3) ||
        ((command == "csv" || command == "plot") && argc != 4) ||
        (command == "replay" && !parseReplayOptions(argc, argv, replayOptions))) {
      return usage();
    }
  } else {
    return usage();
  }
  const kalvent_log_tool::Recording recording(path);
  try {
    if (command == "info") return kalvent_log_tool::printInfo(recording);
    if (command == "csv") return kalvent_log_tool::writeCsv(recording, argv[3]);
    if (command == "plot") return kalvent_log_tool::writePlots(recording, argv[3]);
    return kalvent_log_tool::replay(recording, replayOptions);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kalvent_log: %s\n", error.what());
    return 1;
  }
}
