#include "options.h"

#include <CLI/CLI.hpp>

namespace kalvent_dash {

ParseOutcome parseOptions(int argc, char** argv, Options* options, int* status) {
  CLI::App app{
      "kalvent_dash: a live view of the robot in the browser, read-only. Listens to the LCM "
      "bridge's four channels, or replays a recording."};
  app.add_option("--port", options->port, "TCP port of the page (0: any free port)")
      ->capture_default_str();
  app.add_option("--bind", options->bind,
                 "address to listen on; anything but 127.0.0.1 exposes the page to that network")
      ->capture_default_str();
  app.add_option("--web", options->web, "directory of the page's files")
      ->check(CLI::ExistingDirectory);
  app.add_option("--replay", options->replay, "a recording (kalvent_record, Recorder) to replay")
      ->check(CLI::ExistingFile);
  app.add_option("--speed", options->speed, "replay speed factor")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    *status = app.exit(e);
    return ParseOutcome::Exit;
  }
  options->bindGiven = app.count("--bind") > 0;
  return ParseOutcome::Run;
}

}  // namespace kalvent_dash
