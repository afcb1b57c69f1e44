#include "options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "kalvent_legged_sdk/udp.h"
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

bool parseLong(const std::string& text, long min, long max, long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *value = v;
  return true;
}

bool parseInt(const std::string& text, long min, long max, int* value) {
  long v = 0;
  if (!parseLong(text, min, max, &v)) return false;
  *value = static_cast<int>(v);
  return true;
}

// A finite number within [min, max], the whole of `text`.
bool parseNumber(const std::string& text, double min, double max, double* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < min || v > max) return false;
  *value = v;
  return true;
}

bool parsePercent(const std::string& text, double* value) {
  return parseNumber(text, 0, 100, value);
}

bool parseDelay(const std::string& text, double* value) {
  return parseNumber(text, 0, FaultConfig::kMaxDelayMs, value);
}

bool parseRestart(const std::string& text, RestartPlan* plan) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  RestartPlan p;
  if (!parseNumber(text.substr(0, colon), 0, kMaxSeconds, &p.atSeconds) ||
      !parseNumber(text.substr(colon + 1), 0, kMaxDownMs, &p.downMs) || p.downMs == 0) {
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

struct OptionEntry {
  const char* name;
  const char* argument;  // null for an option without a value
  std::string help;      // lines after the first are indented under it
  const char* expected;  // what a valid value looks like
  bool (*parse)(const std::string& value, Options* options);
  ParseOutcome outcome;  // of an option without a value
};

const std::vector<OptionEntry>& optionTable() {
  static const std::vector<OptionEntry> table = {
      {"--address", "ADDR",
       std::string("IPv4 address to listen on (default ") + sdk::UDP_SERVER_IP_BASIC + ")",
       "an IPv4 address such as 127.0.0.1",
       [](const std::string& v, Options* o) {
         in_addr parsed{};
         if (inet_pton(AF_INET, v.c_str(), &parsed) != 1) return false;
         o->address = v;
         return true;
       },
       ParseOutcome::Run},
      {"--port", "PORT",
       "UDP port to listen on (default " + std::to_string(sdk::UDP_SERVER_PORT) + ")",
       "a port from 1 to 65535",
       [](const std::string& v, Options* o) { return parseInt(v, 1, 65535, &o->port); },
       ParseOutcome::Run},
      {"--rate", "HZ", "state packets per second, 1 to 1000 (default 500)",
       "a whole number of hertz from 1 to 1000",
       [](const std::string& v, Options* o) { return parseInt(v, 1, 1000, &o->rateHz); },
       ParseOutcome::Run},
      {"--model", "MODEL",
       std::string("tesmar or pelk: the robot, for its joint limits (default\n"
                   "tesmar); physics or ideal: the low level as rigid\n"
                   "bodies under gravity or twelve weightless joints\n"
                   "(default ") +
           modelKindName(ControllerConfig{}.modelKind) +
           "). Give the option twice to set both.\n"
           "On the physics the high level trots (mode 0 idle,\n"
           "1 stand, 2 walk); on the ideal joints it is kinematic",
       "tesmar, pelk, physics or ideal", parseModel, ParseOutcome::Run},
      {"--duration", "SECONDS",
       "stop after this long, more than 0 and at most 1e9\n"
       "(default: run until SIGINT or SIGTERM)",
       "seconds, more than 0 and at most 1e9 (about 31 years)",
       [](const std::string& v, Options* o) {
         return parseNumber(v, 0, kMaxSeconds, &o->duration) && o->duration > 0;
       },
       ParseOutcome::Run},
      {"--trajectory", "FILE",
       "write the time and the twelve joint positions as CSV,\n" + std::to_string(kTrajectoryRate) +
           " rows per second",
       "a file name",
       [](const std::string& v, Options* o) {
         o->trajectory = v;
         return !v.empty();
       },
       ParseOutcome::Run},
      {"--video", "FILE",
       "film the rigid bodies at 30 frames per second from a\ncamera following the trunk, encoded "
       "by ffmpeg into\nFILE (e.g. stand.mp4); needs --model physics",
       "a file name",
       [](const std::string& v, Options* o) {
         o->video = v;
         return !v.empty();
       },
       ParseOutcome::Run},
      {"--ready-file", "PATH",
       "write \"ready\" into PATH once the port is bound; removed\nagain when the program ends",
       "a file name",
       [](const std::string& v, Options* o) {
         o->readyFile = v;
         return !v.empty();
       },
       ParseOutcome::Run},
      {"--loss", "PCT", "drop this share of state packets (default 0)",
       "a percentage from 0 to 100",
       [](const std::string& v, Options* o) { return parsePercent(v, &o->faults.lossPercent); },
       ParseOutcome::Run},
      {"--delay", "MS", "delay each state packet by MS ms, 0 to 1000 ...",
       "milliseconds from 0 to 1000",
       [](const std::string& v, Options* o) { return parseDelay(v, &o->faults.delayMs); },
       ParseOutcome::Run},
      {"--jitter", "MS", "... plus a uniform random 0 to MS more, 0 to 1000",
       "milliseconds from 0 to 1000",
       [](const std::string& v, Options* o) { return parseDelay(v, &o->faults.jitterMs); },
       ParseOutcome::Run},
      {"--duplicate", "PCT", "send this share of state packets twice", "a percentage from 0 to 100",
       [](const std::string& v, Options* o) {
         return parsePercent(v, &o->faults.duplicatePercent);
       },
       ParseOutcome::Run},
      {"--reorder", "PCT", "hold back this share of state packets behind the next\none",
       "a percentage from 0 to 100",
       [](const std::string& v, Options* o) { return parsePercent(v, &o->faults.reorderPercent); },
       ParseOutcome::Run},
      {"--corrupt", "PCT",
       "send this share of state packets with one bit flipped,\nso that their checksum fails",
       "a percentage from 0 to 100",
       [](const std::string& v, Options* o) { return parsePercent(v, &o->faults.corruptPercent); },
       ParseOutcome::Run},
      {"--restart", "AT_S:DOWN_MS",
       "at AT_S simulated seconds (0 to 1e9) the controller\n"
       "stops: it ignores commands and sends nothing for\n"
       "DOWN_MS ms (1 to 600000); then a freshly started one\n"
       "answers: robot lying down, tick from 0",
       "AT_S:DOWN_MS, seconds from 0 to 1e9 and milliseconds from 1 to 600000",
       [](const std::string& v, Options* o) { return parseRestart(v, &o->restart); },
       ParseOutcome::Run},
      {"--seed", "N",
       "seed of the faults' random draws (default 1): the same\nseed repeats the same faults",
       "a whole number from 0 to 18446744073709551615",
       [](const std::string& v, Options* o) { return parseSeed(v, &o->faults.seed); },
       ParseOutcome::Run},
      {"--print-addresses", nullptr,
       "print the controller's addresses and port as\n"
       "\"basic=ADDR sport=ADDR port=PORT\" and exit",
       "", nullptr, ParseOutcome::PrintAddresses},
      {"--help", nullptr, "show this text", "", nullptr, ParseOutcome::Help},
  };
  return table;
}

const OptionEntry* findOption(const std::string& name) {
  const std::string canonical = name == "-h" ? "--help" : name;
  for (const OptionEntry& entry : optionTable()) {
    if (canonical == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace

Options::Options() : address(sdk::UDP_SERVER_IP_BASIC), port(sdk::UDP_SERVER_PORT) {}

const char* modelName(sdk::LeggedType model) {
  return model == sdk::LeggedType::Pelk ? "pelk" : "tesmar";
}

const char* modelKindName(ModelKind kind) {
  return kind == ModelKind::Physics ? "physics" : "ideal";
}

ParseOutcome parseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    const size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    const OptionEntry* entry = findOption(arg);
    if (!entry) {
      *error =
          (arg.compare(0, 1, "-") == 0 ? "unknown option '" : "unexpected argument '") + arg + "'";
      return ParseOutcome::Error;
    }
    if (!entry->argument) {
      if (hasValue) {
        *error = "option '" + arg + "' takes no value";
        return ParseOutcome::Error;
      }
      return entry->outcome;
    }
    if (!hasValue) {
      if (i + 1 >= argc) {
        *error = "option '" + arg + "' needs a value";
        return ParseOutcome::Error;
      }
      value = argv[++i];
    }
    if (!entry->parse(value, options)) {
      *error = "invalid value '" + value + "' for " + arg + ": expected " + entry->expected;
      return ParseOutcome::Error;
    }
  }
  if (!options->video.empty() && options->modelKind != ModelKind::Physics) {
    *error = "--video films the rigid bodies: it needs --model physics";
    return ParseOutcome::Error;
  }
  return ParseOutcome::Run;
}

void printUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: %s [OPTION]...\n"
               "A simulated robot controller. Listens for command packets on a UDP port\n"
               "and answers whoever sent the last good one with state packets, from that\n"
               "port, at a fixed rate: low-level state for 610-byte commands, high-level\n"
               "state for 143-byte commands.\n"
               "\n",
               kProgram);
  const size_t headWidth = 21;
  for (const OptionEntry& entry : optionTable()) {
    std::string head = entry.name;
    if (entry.name == std::string("--help")) head = "-h, --help";
    if (entry.argument) head += std::string(" ") + entry.argument;
    const std::string& help = entry.help;
    size_t begin = 0;
    bool first = true;
    if (head.size() > headWidth) {
      std::fprintf(out, "  %s\n", head.c_str());
      first = false;
    }
    for (; begin <= help.size(); first = false) {
      size_t end = help.find('\n', begin);
      if (end == std::string::npos) end = help.size();
      std::fprintf(out, "  %-*s %s\n", static_cast<int>(headWidth), first ? head.c_str() : "",
                   help.substr(begin, end - begin).c_str());
      begin = end + 1;
    }
  }
  std::fprintf(out,
               "\n"
               "Faults act on the state packets sent, drawn from the seed: the same\n"
               "options and seed give the same faults. Prints one status line per\n"
               "simulated second and a final line, with the counters of commands taken\n"
               "and of the faults injected. Exit status: 0 when stopped or done, 1 when\n"
               "the port or a file cannot be opened, 2 on bad options.\n");
}

void printAddresses(std::FILE* out) {
  std::fprintf(out, "basic=%s sport=%s port=%d\n", sdk::UDP_SERVER_IP_BASIC,
               sdk::UDP_SERVER_IP_SPORT, sdk::UDP_SERVER_PORT);
}

}  // namespace kalvent_sim
