#include "options.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <vector>

#include "kalvent_legged_sdk/udp.h"
#include "number_text.h"

namespace kalvent_linkcheck {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// The longest run either mode accepts, s.
constexpr double kMaxSeconds = 3600;

bool parsePort(const std::string& text, int min, int* port) {
  double v = 0;
  if (!sdk::parseNumber(text, min, 65535, &v) || v != std::floor(v)) return false;
  *port = static_cast<int>(v);
  return true;
}

// A single host's address: not 0.0.0.0, multicast, reserved or the broadcast.
bool parseUnicast(const std::string& text, std::string* address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  const uint32_t first = ntohl(parsed.s_addr) >> 24;
  if (first == 0 || first >= 224) return false;
  *address = text;
  return true;
}

// An option that takes a value: the accepted values, as the error names
// them, and how the value is stored.
struct ValueOption {
  const char* name;
  bool linkOnly;
  const char* expected;
  bool (*apply)(const std::string& value, Options* options);
};

const ValueOption kValueOptions[] = {
    {"--seconds", false, "seconds from 0.1 to 3600",
     [](const std::string& v, Options* o) {
       return sdk::parseNumber(v, 0.1, kMaxSeconds, &o->seconds);
     }},
    {"--stale-ms", true, "milliseconds from 1 to 60000",
     [](const std::string& v, Options* o) { return sdk::parseNumber(v, 1, 60000, &o->staleMs); }},
    {"--port", true, "a whole number from 1 to 65535",
     [](const std::string& v, Options* o) { return parsePort(v, 1, &o->port); }},
    {"--local-port", true, "a whole number from 0 to 65535",
     [](const std::string& v, Options* o) { return parsePort(v, 0, &o->localPort); }},
    {"--address", true, "a unicast IPv4 address",
     [](const std::string& v, Options* o) { return parseUnicast(v, &o->address); }},
    {"--level", true, "low or high",
     [](const std::string& v, Options* o) {
       o->lowLevel = v == "low";
       return v == "low" || v == "high";
     }},
};

// "values:" and a line per option with what it accepts.
std::string valuesText() {
  std::string text = "values:\n";
  for (const ValueOption& option : kValueOptions) {
    char line[128];
    std::snprintf(line, sizeof line, "  %-13s %s\n", option.name, option.expected);
    text += line;
  }
  return text;
}

}  // namespace

ParseOutcome parseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  if (argc < 2) {
    *error = "say which check: machine or link";
    return ParseOutcome::Error;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return ParseOutcome::Help;
  if (command != "machine" && command != "link") {
    *error = "unknown check '" + command + "': machine or link";
    return ParseOutcome::Error;
  }
  Options o;
  o.mode = command == "link" ? Mode::Link : Mode::Machine;
  o.localPort = sdk::UDP_CLIENT_PORT;

  // The command line's shape is CLI11's; each value is checked below, so
  // that a bad one is named with what the option accepts.
  CLI::App app;
  app.set_help_flag();
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  bool help = false;
  app.add_flag("-h,--help", help);
  app.add_flag("--json", o.json);
  struct Given {
    const ValueOption* option;
    CLI::Option* parsed;
    std::string text;
  };
  std::vector<Given> given;
  given.reserve(std::size(kValueOptions));
  for (const ValueOption& option : kValueOptions) {
    if (option.linkOnly && o.mode != Mode::Link) continue;
    given.push_back(Given{&option, nullptr, {}});
    given.back().parsed = app.add_option(option.name, given.back().text);
  }
  try {
    app.parse(argc - 1, argv + 1);
  } catch (const CLI::ParseError& failure) {
    if (help) return ParseOutcome::Help;
    *error = std::string(failure.what()) + " for " + command;
    return ParseOutcome::Error;
  }
  if (help) return ParseOutcome::Help;
  bool haveLevel = false;
  for (const Given& g : given) {
    if (g.parsed->count() == 0) continue;
    if (!g.option->apply(g.text, &o)) {
      *error = "invalid value '" + g.text + "' for " + g.option->name + ": expected " +
               g.option->expected;
      return ParseOutcome::Error;
    }
    haveLevel = haveLevel || std::string(g.option->name) == "--level";
  }
  if (o.mode == Mode::Link && (!haveLevel || o.address.empty() || o.port == 0)) {
    *error = "link needs --level, --address and --port";
    return ParseOutcome::Error;
  }
  if (o.seconds == 0) o.seconds = o.mode == Mode::Machine ? kMachineSeconds : kLinkSeconds;
  *options = o;
  return ParseOutcome::Run;
}

std::string helpText() {
  return std::string(
             "usage: kalvent_linkcheck machine [--seconds N] [--json]\n"
             "       kalvent_linkcheck link --level low|high --address ADDR --port PORT\n"
             "                         [--local-port PORT] [--seconds N] [--stale-ms MS] [--json]\n"
             "\n"
             "machine: is this computer ready to run a 500 Hz to 1 kHz control loop?\n"
             "  Checks the real-time priority and memory-locking limits (RLIMIT_RTPRIO,\n"
             "  RLIMIT_MEMLOCK) and capabilities (CAP_SYS_NICE, CAP_IPC_LOCK), the kernel's\n"
             "  preemption model, the CPU frequency governor, /dev/cpu_dma_latency and\n"
             "  isolated CPUs, printing a one-line fix under each item that is not ok.\n"
             "  Then it runs a 2 ms timer loop for N seconds (default 3), real-time\n"
             "  (SCHED_FIFO) where allowed, and reports how late it woke: min, median,\n"
             "  p99, max in microseconds. Exit status 0, 1 when an item failed, 2 on bad\n"
             "  options.\n"
             "\n"
             "link: how well does the link to a controller (the robot or kalvent_sim) work?\n"
             "  Binds local port PORT (default ") +
         std::to_string(sdk::UDP_CLIENT_PORT) +
         "; 0: any free one) and for N seconds (default 5)\n"
         "  sends a harmless command every 2 ms: at the low level every motor in mode 0\n"
         "  (no torque) with zero gains; at the high level mode 0 with zero speeds.\n"
         "  It receives whenever a state arrives and reports\n"
         "    commands sent and states received;\n"
         "    loss: from the gaps in the state's tick, over the run and the last second;\n"
         "    state age: how old the newest state was at each send (ms);\n"
         "    send to state: from each send to the next valid state (ms). The\n"
         "      controller sends state on its own clock, so this is a send-to-state\n"
         "      time, not an echo: it includes waiting up to one state period;\n"
         "    checksum failures (datagrams that arrived damaged), apart from empty polls;\n"
         "    stale episodes: how often the state became older than --stale-ms\n"
         "      (default 100).\n"
         "  Exit status 0 when the link answered, 1 when no valid state arrived (or the\n"
         "  local port is taken), 2 on bad options or an address this machine cannot\n"
         "  send to (a broadcast address, say).\n"
         "\n" +
         valuesText() +
         "\n"
         "--json prints one JSON object on stdout instead of the report; diagnostics\n"
         "go to stderr.\n"
         "\n"
         "examples:\n"
         "  kalvent_linkcheck machine\n"
         "  kalvent_linkcheck machine --seconds 10 --json\n"
         "  kalvent_linkcheck link --level low --address " +
         sdk::UDP_SERVER_IP_BASIC + " --port " + std::to_string(sdk::UDP_SERVER_PORT) +
         "\n"
         "  kalvent_sim --address 127.0.0.1 --port 9007 --loss 10 &\n"
         "  kalvent_linkcheck link --level high --address 127.0.0.1 --port 9007 \\\n"
         "      --local-port 0 --seconds 4 --json\n";
}

}  // namespace kalvent_linkcheck
