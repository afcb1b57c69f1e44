// kalvent_log: looks at a recording (info, csv) or plays its states back
// (replay).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "log_tool.h"
#include "number_text.h"

namespace sdk = KALVENT_LEGGED_SDK;

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

}  // namespace

// What escapes ends the program with a line, not with std::terminate.
int main(int argc, char** argv) try {
  CLI::App app;
  app.set_help_flag();
  app.require_subcommand(1);
  std::string path;
  std::string directory;
  std::string portText;
  kalvent_log_tool::ReplayOptions replayOptions;
  CLI::App* info = app.add_subcommand("info");
  CLI::App* csv = app.add_subcommand("csv");
  CLI::App* plot = app.add_subcommand("plot");
  CLI::App* replay = app.add_subcommand("replay");
  for (CLI::App* command : {info, csv, plot, replay}) {
    command->add_option("FILE", path)->required();
  }
  for (CLI::App* command : {csv, plot}) command->add_option("DIRECTORY", directory)->required();
  const CLI::Option* portGiven = replay->add_option("--port", portText);
  replay->add_option("--wait", replayOptions.waitSeconds);
  replay->add_flag("--lcm", replayOptions.lcm);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError&) {
    return usage();
  }
  if ((portGiven->count() != 0 &&
       !sdk::parseWholeNumber(portText, 1, 65535, &replayOptions.port)) ||
      !(replayOptions.waitSeconds > 0)) {
    return usage();
  }
  const kalvent_log_tool::Recording recording(path);
  try {
    if (info->parsed()) return kalvent_log_tool::printInfo(recording);
    if (csv->parsed()) return kalvent_log_tool::writeCsv(recording, directory);
    if (plot->parsed()) return kalvent_log_tool::writePlots(recording, directory);
    return kalvent_log_tool::replay(recording, replayOptions);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kalvent_log: %s\n", error.what());
    return 1;
  }
} catch (const std::exception& e) {
  std::fprintf(stderr, "kalvent_log: %s\n", e.what());
  return 1;
}
