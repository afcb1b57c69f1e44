#include "options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>

#include "kalvent_legged_sdk/udp.h"
#include "number_text.h"
#include "server.h"

namespace kalvent_sim {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "kalvent_sim";
// The longest outage a restart may plan, ms.
const double kMaxDownMs = 600000;
// The latest time a run may stop or plan its restart, s: about 31 years, so
// "effectively forever", while the time in nanoseconds stays far inside 64
// bits.
const double kMaxSeconds = 1e9;

bool parseRestart(const std::string& text, RestartPlan* plan) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  RestartPlan p;
  if (!sdk::parseNumber(text.substr(0, colon), 0, kMaxSeconds, &p.atSeconds) ||
      !sdk::parseNumber(text.substr(colon + 1), 0, kMaxDownMs, &p.downMs) || p.downMs == 0) {
    return false;
  }
  p.planned = true;
  *plan = p;
  return true;
}

bool parseSeed(const std::string& text, uint64_t* seed) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *seed = v;
  return true;
}

// The robot model and the way it is simulated share one option: their
// names do not overlap, and either may be given.
bool parseModel(const std::string& text, Options* o) {
  if (text == "tesmar" || text == "pelk") {
    o->model = text == "pelk" ? sdk::LeggedType::Pelk : sdk::LeggedType::Tesmar;
  } else if (text == "physics" || text == "ideal") {
    o->modelKind = text == "physics" ? ModelKind::Physics : ModelKind::Ideal;
  } else {
    return false;
  }
  return true;
}

// Reads one value of an option; false when it is not valid.
using ValueParser = std::function<bool(const std::string& value)>;

ValueParser wholeNumber(long min, long max, int* target) {
  return [=](const std::string& v) { return sdk::parseWholeNumber(v, min, max, target); };
}

ValueParser number(double min, double max, double* target) {
  return [=](const std::string& v) { return sdk::parseNumber(v, min, max, target); };
}

ValueParser fileName(std::string* target) {
  return [=](const std::string& v) {
    *target = v;
    return !v.empty();
  };
}

// An option with a value, each value given read by `parse` in turn (a
// repeated option sets again what the first set). A value it rejects ends
// the parse with an error naming the option and what a valid value looks
// like.
void addValueOption(CLI::App& app, const std::string& name, const char* argument,
                    const std::string& help, const std::string& expected,
                    const ValueParser& parse) {
  app.add_option(
         name,
         [=](const CLI::results_t& values) {
           for (const std::string& v : values) {
             if (!parse(v)) {
               throw CLI::ValidationError("invalid value '" + v + "' for " + name + ": expected " +
                                          expected);
             }
           }
           return true;
         },
         help)
      ->type_name(argument)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

const std::string kPercent = "a percentage from 0 to 100";
const std::string kDelay = "milliseconds from 0 to 1000";

// The usage line and the description before the options, as the help began
// before CLI11 read the command line.
class UsageFirst : public CLI::Formatter {
 public:
  std::string make_description(const CLI::App*) const override { return ""; }
  std::string make_usage(const CLI::App* app, std::string) const override {
    return std::string("Usage: ") + kProgram + " [OPTION]...\n" + app->get_description();
  }
};

// The command line's options, reading into `o`.
void describeOptions(CLI::App& app, Options* o) {
  app.formatter(std::make_shared<UsageFirst>());
  app.get_formatter()->column_width(24);
  app.allow_extras();
  addValueOption(
      app, "--address", "ADDR",
      std::string("IPv4 address to listen on (default ") + sdk::UDP_SERVER_IP_BASIC + ")",
      "an IPv4 address such as 127.0.0.1", [o](const std::string& v) {
        in_addr parsed{};
        if (inet_pton(AF_INET, v.c_str(), &parsed) != 1) return false;
        o->address = v;
        return true;
      });
  addValueOption(app, "--port", "PORT",
                 "UDP port to listen on (default " + std::to_string(sdk::UDP_SERVER_PORT) + ")",
                 "a port from 1 to 65535", wholeNumber(1, 65535, &o->port));
  addValueOption(app, "--rate", "HZ", "state packets per second, 1 to 1000 (default 500)",
                 "a whole number of hertz from 1 to 1000", wholeNumber(1, 1000, &o->rateHz));
  addValueOption(app, "--model", "MODEL",
                 std::string("tesmar or pelk: the robot, for its joint limits (default\n"
                             "tesmar); physics or ideal: the low level as rigid\n"
                             "bodies under gravity or twelve weightless joints\n"
                             "(default ") +
                     modelKindName(ControllerConfig{}.modelKind) +
                     "). Give the option twice to set both.\n"
                     "On the physics the high level trots (mode 0 idle,\n"
                     "1 stand, 2 walk); on the ideal joints it is kinematic",
                 "tesmar, pelk, physics or ideal",
                 [o](const std::string& v) { return parseModel(v, o); });
  addValueOption(app, "--duration", "SECONDS",
                 "stop after this long, more than 0 and at most 1e9\n"
                 "(default: run until SIGINT or SIGTERM)",
                 "seconds, more than 0 and at most 1e9 (about 31 years)",
                 [o](const std::string& v) {
                   return sdk::parseNumber(v, 0, kMaxSeconds, &o->duration) && o->duration > 0;
                 });
  addValueOption(app, "--trajectory", "FILE",
                 "write the time and the twelve joint positions as CSV,\n" +
                     std::to_string(kTrajectoryRate) + " rows per second",
                 "a file name", fileName(&o->trajectory));
  addValueOption(app, "--video", "FILE",
                 "film the rigid bodies at 30 frames per second from a\ncamera following the "
                 "trunk, encoded by ffmpeg into\nFILE (e.g. stand.mp4); needs --model physics",
                 "a file name", fileName(&o->video));
  addValueOption(app, "--record", "FILE",
                 "record every command taken and every state sent, with\n"
                 "their times, into FILE (kalvent_log reads it)",
                 "a file name", fileName(&o->record));
  addValueOption(app, "--ready-file", "PATH",
                 "write \"ready\" into PATH once the port is bound; removed\nagain when the "
                 "program ends",
                 "a file name", fileName(&o->readyFile));
  addValueOption(app, "--loss", "PCT", "drop this share of state packets (default 0)", kPercent,
                 number(0, 100, &o->faults.lossPercent));
  addValueOption(app, "--delay", "MS", "delay each state packet by MS ms, 0 to 1000 ...", kDelay,
                 number(0, FaultConfig::kMaxDelayMs, &o->faults.delayMs));
  addValueOption(app, "--jitter", "MS", "... plus a uniform random 0 to MS more, 0 to 1000", kDelay,
                 number(0, FaultConfig::kMaxDelayMs, &o->faults.jitterMs));
  addValueOption(app, "--duplicate", "PCT", "send this share of state packets twice", kPercent,
                 number(0, 100, &o->faults.duplicatePercent));
  addValueOption(app, "--reorder", "PCT",
                 "hold back this share of state packets behind the next\none", kPercent,
                 number(0, 100, &o->faults.reorderPercent));
  addValueOption(app, "--corrupt", "PCT",
                 "send this share of state packets with one bit flipped,\nso that their "
                 "checksum fails",
                 kPercent, number(0, 100, &o->faults.corruptPercent));
  addValueOption(app, "--restart", "AT_S:DOWN_MS",
                 "at AT_S simulated seconds (0 to 1e9) the controller\n"
                 "stops: it ignores commands and sends nothing for\n"
                 "DOWN_MS ms (1 to 600000); then a freshly started one\n"
                 "answers: robot lying down, tick from 0",
                 "AT_S:DOWN_MS, seconds from 0 to 1e9 and milliseconds from 1 to 600000",
                 [o](const std::string& v) { return parseRestart(v, &o->restart); });
  addValueOption(app, "--seed", "N",
                 "seed of the faults' random draws (default 1): the same\nseed repeats the "
                 "same faults",
                 "a whole number from 0 to 18446744073709551615",
                 [o](const std::string& v) { return parseSeed(v, &o->faults.seed); });
  app.add_flag("--print-addresses",
               "print the controller's addresses and port as\n"
               "\"basic=ADDR sport=ADDR port=PORT\" and exit")
      ->disable_flag_override();
  app.set_help_flag("-h,--help", "show this text");
  app.footer(
      "Faults act on the state packets sent, drawn from the seed: the same\n"
      "options and seed give the same faults. Prints one status line per\n"
      "simulated second and a final line, with the counters of commands taken\n"
      "and of the faults injected. Exit status: 0 when stopped or done, 1 when\n"
      "the port or a file cannot be opened, or the film or the recording came\n"
      "out incomplete, 2 on bad options.");
}

const char kDescription[] =
    "A simulated robot controller. Listens for command packets on a UDP port\n"
    "and answers whoever sent the last good one with state packets, from that\n"
    "port, at a fixed rate: low-level state for 610-byte commands, high-level\n"
    "state for 143-byte commands.\n";

}  // namespace

Options::Options() : address(sdk::UDP_SERVER_IP_BASIC), port(sdk::UDP_SERVER_PORT) {}

const char* modelName(sdk::LeggedType model) {
  return model == sdk::LeggedType::Pelk ? "pelk" : "tesmar";
}

const char* modelKindName(ModelKind kind) {
  return kind == ModelKind::Physics ? "physics" : "ideal";
}

ParseOutcome parseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  CLI::App app(kDescription, kProgram);
  describeOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return ParseOutcome::Help;
  } catch (const CLI::ArgumentMismatch& e) {
    // CLI11 names a flag given a value ("--print-addresses=x") without its
    // dashes, an option short of its value with them.
    const std::string what = e.what();
    *error = what.compare(0, 2, "--") == 0
                 ? what
                 : "option '--" + what.substr(0, what.find(' ')) + "' takes no value";
    return ParseOutcome::Error;
  } catch (const CLI::ParseError& e) {
    *error = e.what();
    return ParseOutcome::Error;
  }
  if (!app.remaining().empty()) {
    const std::string arg = app.remaining().front();
    *error = (arg.compare(0, 1, "-") == 0 ? "unknown option '" : "unexpected argument '") +
             arg.substr(0, arg.find('=')) + "'";
    return ParseOutcome::Error;
  }
  if (app.count("--print-addresses") > 0) return ParseOutcome::PrintAddresses;
  if (!options->video.empty() && options->modelKind != ModelKind::Physics) {
    *error = "--video films the rigid bodies: it needs --model physics";
    return ParseOutcome::Error;
  }
  return ParseOutcome::Run;
}

void printUsage(std::FILE* out) {
  Options unused;
  CLI::App app(kDescription, kProgram);
  describeOptions(app, &unused);
  std::fputs(app.help().c_str(), out);
}

void printAddresses(std::FILE* out) {
  std::fprintf(out, "basic=%s sport=%s port=%d\n", sdk::UDP_SERVER_IP_BASIC,
               sdk::UDP_SERVER_IP_SPORT, sdk::UDP_SERVER_PORT);
}

}  // namespace kalvent_sim
