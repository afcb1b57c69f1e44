// kalvent_dash: a live view of the robot in the browser. Serves the page on
// 127.0.0.1:8765 (by default) and streams it the robot's state from the LCM
// bridge, or from a recording. Read-only: nothing reaches the robot from
// the page.
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "clock.h"
#include "kalvent_legged_sdk/log.h"
#include "options.h"
#include "server.h"
#include "sources.h"
#include "view.h"
#include "web_dir.h"

namespace fs = std::filesystem;
namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_dash::Options;

namespace {

// The page's files: --web, else the build tree's, else the installed ones
// (relative to the program, so that an installed tree can be moved).
std::string webDirectory(const Options& options) {
  if (!options.web.empty()) return options.web;
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec).parent_path();
  for (const fs::path& candidate :
       {program / "web", program / ".." / kalvent_dash::kInstalledWebDir}) {
    if (fs::is_regular_file(candidate / "index.html", ec)) return candidate.lexically_normal();
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = 0;
  if (kalvent_dash::parseOptions(argc, argv, &options, &status) ==
      kalvent_dash::ParseOutcome::Exit) {
    return status;
  }
  const std::string web = webDirectory(options);
  if (web.empty()) {
    sdk::logMessage(sdk::LogLevel::Error, "dash",
                    "kalvent_dash: the page's files are not found; give --web DIR");
    return 1;
  }
  try {
    boost::asio::io_context io(1);
    const bool replay = !options.replay.empty();
    kalvent_dash::View view(replay ? "recording" : "lcm",
                            replay ? options.replay : kalvent_dash::LcmSource::url(),
                            kalvent_dash::monotonicNs());
    kalvent_dash::ServerConfig config;
    config.bind = options.bind;
    config.port = options.port;
    config.bindGiven = options.bindGiven;
    config.webDir = web;
    kalvent_dash::Server server(io, config, view);
    std::unique_ptr<kalvent_dash::LcmSource> lcm;
    std::unique_ptr<kalvent_dash::ReplaySource> recording;
    if (replay) {
      recording =
          std::make_unique<kalvent_dash::ReplaySource>(server, options.replay, options.speed);
    } else {
      lcm = std::make_unique<kalvent_dash::LcmSource>(server);
    }
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
    std::printf("kalvent_dash: open http://%s:%u/\n", options.bind.c_str(), server.port());
    std::fflush(stdout);
    io.run();
  } catch (const std::exception& e) {
    sdk::logMessage(sdk::LogLevel::Error, "dash", "kalvent_dash: %s", e.what());
    return 1;
  }
  return 0;
}
