#include "runner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "controller.h"
#include "kalvent_legged_sdk/udp.h"

namespace kalvent_sim {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "kalvent_sim";
// Rows per simulated second in the trajectory file.
const int kTrajectoryRate = 50;
// Periods simulated at most to catch up after the process was held up;
// beyond that the simulated clock falls behind the wall clock.
const uint64_t kMaxCatchUp = 100;
// Datagrams taken at most per wake-up, so a flood cannot starve the state.
const int kMaxDrain = 256;
// Longest wait for the socket or the timer, ms: bounds the reaction to
// `stop` even should the timer fail.
const int kPollTimeoutMs = 100;

const char* modelName(sdk::LeggedType model) {
  return model == sdk::LeggedType::Pelk ? "pelk" : "tesmar";
}

const char* levelName(Level level) {
  switch (level) {
    case Level::Low:
      return "low";
    case Level::High:
      return "high";
    case Level::None:
      break;
  }
  return "none";
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool parseInt(const std::string& text, long min, long max, int* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *value = static_cast<int>(v);
  return true;
}

bool parseSeconds(const std::string& text, double* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0) return false;
  *value = v;
  return true;
}

void printCounters(std::FILE* out, const Counters& c) {
  std::fprintf(out, "commands=%llu bad_checksum=%llu wrong_length=%llu state_sent=%llu\n",
               static_cast<unsigned long long>(c.commands),
               static_cast<unsigned long long>(c.badChecksums),
               static_cast<unsigned long long>(c.wrongLengths),
               static_cast<unsigned long long>(c.stateSent));
  std::fflush(out);
}

void writeTrajectoryHeader(std::FILE* f) {
  static const char* const names[kJoints] = {"FR_0", "FR_1", "FR_2", "FL_0", "FL_1", "FL_2",
                                             "RR_0", "RR_1", "RR_2", "RL_0", "RL_1", "RL_2"};
  std::fputs("time", f);
  for (const char* name : names) std::fprintf(f, ",%s", name);
  std::fputc('\n', f);
}

void writeTrajectoryRow(std::FILE* f, const Controller& controller) {
  std::fprintf(f, "%.3f", controller.time());
  for (int j = 0; j < kJoints; ++j) std::fprintf(f, ",%.5f", controller.joints().q(j));
  std::fputc('\n', f);
}

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onStopSignal(int) {
  stopRequested.store(true);
}

// Routes SIGINT and SIGTERM to `stopRequested` for the rest of the process's
// life. The handlers are never put back: a second signal while the program
// winds down (timeout(1) signals both the process and its group) must not
// kill it before its final line.
void routeStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

Options::Options() : address(sdk::UDP_SERVER_IP_BASIC), port(sdk::UDP_SERVER_PORT) {}

ParseOutcome parseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return ParseOutcome::Help;
    std::string value;
    bool hasValue = false;
    const size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    const bool known = arg == "--address" || arg == "--port" || arg == "--rate" ||
                       arg == "--model" || arg == "--duration" || arg == "--trajectory";
    if (!known) {
      *error =
          (arg.compare(0, 1, "-") == 0 ? "unknown option '" : "unexpected argument '") + arg + "'";
      return ParseOutcome::Error;
    }
    if (!hasValue) {
      if (i + 1 >= argc) {
        *error = "option '" + arg + "' needs a value";
        return ParseOutcome::Error;
      }
      value = argv[++i];
    }
    bool ok = true;
    if (arg == "--address") {
      in_addr parsed{};
      ok = inet_pton(AF_INET, value.c_str(), &parsed) == 1;
      if (ok) options->address = value;
    } else if (arg == "--port") {
      ok = parseInt(value, 1, 65535, &options->port);
    } else if (arg == "--rate") {
      ok = parseInt(value, 1, 1000, &options->rateHz);
    } else if (arg == "--model") {
      if (value == "tesmar") {
        options->model = sdk::LeggedType::Tesmar;
      } else if (value == "pelk") {
        options->model = sdk::LeggedType::Pelk;
      } else {
        ok = false;
      }
    } else if (arg == "--duration") {
      ok = parseSeconds(value, &options->duration);
    } else {
      ok = !value.empty();
      if (ok) options->trajectory = value;
    }
    if (!ok) {
      static const char* const expected[][2] = {
          {"--address", "an IPv4 address such as 127.0.0.1"},
          {"--port", "a port from 1 to 65535"},
          {"--rate", "a whole number of hertz from 1 to 1000"},
          {"--model", "tesmar or pelk"},
          {"--duration", "a positive number of seconds"},
          {"--trajectory", "a file name"},
      };
      *error = "invalid value '" + value + "' for " + arg;
      for (const auto& e : expected) {
        if (arg == e[0]) *error += ": expected " + std::string(e[1]);
      }
      return ParseOutcome::Error;
    }
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
               "\n"
               "  --address ADDR     IPv4 address to listen on (default %s)\n"
               "  --port PORT        UDP port to listen on (default %d)\n"
               "  --rate HZ          state packets per second, 1 to 1000 (default 500)\n"
               "  --model MODEL      robot model for the joint limits: tesmar or pelk\n"
               "                     (default tesmar)\n"
               "  --duration SECONDS stop after this long (default: run until SIGINT or\n"
               "                     SIGTERM)\n"
               "  --trajectory FILE  write the time and the twelve joint positions as CSV,\n"
               "                     %d rows per second\n"
               "  -h, --help         show this text\n"
               "\n"
               "Prints one status line per second. Exit status: 0 when stopped or done,\n"
               "1 when the port or the file cannot be opened, 2 on bad options.\n",
               kProgram, sdk::UDP_SERVER_IP_BASIC, sdk::UDP_SERVER_PORT, kTrajectoryRate);
}

int run(const Options& options, const std::atomic<bool>& stop, std::FILE* out, Counters* totals) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(options.port));
  if (inet_pton(AF_INET, options.address.c_str(), &local.sin_addr) != 1) {
    std::fprintf(stderr, "%s: invalid address '%s'\n", kProgram, options.address.c_str());
    return 1;
  }
  const FileDescriptor sock(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (sock.get() < 0 ||
      bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::fprintf(stderr, "%s: cannot listen on %s:%d: %s\n", kProgram, options.address.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  const FileDescriptor timer(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  itimerspec interval{};
  const long periodNs = 1000000000L / options.rateHz;
  interval.it_interval.tv_sec = periodNs / 1000000000L;
  interval.it_interval.tv_nsec = periodNs % 1000000000L;
  interval.it_value = interval.it_interval;
  if (timer.get() < 0 || timerfd_settime(timer.get(), 0, &interval, nullptr) != 0) {
    std::fprintf(stderr, "%s: cannot start the period timer: %s\n", kProgram, std::strerror(errno));
    return 1;
  }
  File trajectory;
  if (!options.trajectory.empty()) {
    trajectory.reset(std::fopen(options.trajectory.c_str(), "w"));
    if (!trajectory) {
      std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, options.trajectory.c_str(),
                   std::strerror(errno));
      return 1;
    }
    writeTrajectoryHeader(trajectory.get());
  }

  Controller controller({options.model, ModelKind::Ideal, options.rateHz});
  Counters counters;
  const uint64_t trajectoryEvery =
      std::max<uint64_t>(1, static_cast<uint64_t>(options.rateHz / kTrajectoryRate));
  if (out) {
    std::fprintf(out, "%s: listening on %s:%d, model %s, state at %d Hz\n", kProgram,
                 options.address.c_str(), options.port, modelName(options.model), options.rateHz);
    std::fflush(out);
  }
  if (trajectory) writeTrajectoryRow(trajectory.get(), controller);

  sockaddr_in peer{};
  bool havePeer = false;
  unsigned char datagram[2048];
  unsigned char state[kMaxStateLength];
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(options.duration));

  while (!stop.load()) {
    if (options.duration > 0 && std::chrono::steady_clock::now() >= deadline) break;
    pollfd fds[2] = {{sock.get(), POLLIN, 0}, {timer.get(), POLLIN, 0}};
    if (poll(fds, 2, kPollTimeoutMs) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: poll: %s\n", kProgram, std::strerror(errno));
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      for (int n = 0; n < kMaxDrain; ++n) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC: the true length, so that oversized datagrams are told apart.
        const ssize_t got = recvfrom(sock.get(), datagram, sizeof datagram, MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) break;
        const Verdict v = controller.receive(datagram, static_cast<size_t>(got));
        if (v == Verdict::LowCommand || v == Verdict::HighCommand) {
          peer = from;
          havePeer = true;
        }
      }
    }
    if (!(fds[1].revents & POLLIN)) continue;
    uint64_t expirations = 0;
    if (read(timer.get(), &expirations, sizeof expirations) != sizeof expirations) continue;
    for (uint64_t i = 0; i < std::min(expirations, kMaxCatchUp); ++i) {
      controller.advance();
      if (trajectory && controller.periods() % trajectoryEvery == 0) {
        writeTrajectoryRow(trajectory.get(), controller);
      }
      counters.commands = controller.commands();
      counters.badChecksums = controller.badChecksums();
      counters.wrongLengths = controller.wrongLengths();
      if (out && controller.periods() % static_cast<uint64_t>(options.rateHz) == 0) {
        std::fprintf(out, "%s: t=%llus level=%s ", kProgram,
                     static_cast<unsigned long long>(controller.periods() /
                                                     static_cast<uint64_t>(options.rateHz)),
                     levelName(controller.level()));
        printCounters(out, counters);
      }
    }
    if (!havePeer) continue;
    const size_t length = controller.writeState(state);
    if (length == 0) continue;
    if (sendto(sock.get(), state, length, 0, reinterpret_cast<const sockaddr*>(&peer),
               sizeof peer) == static_cast<ssize_t>(length)) {
      ++counters.stateSent;
    }
  }

  counters.commands = controller.commands();
  counters.badChecksums = controller.badChecksums();
  counters.wrongLengths = controller.wrongLengths();
  if (out) {
    std::fprintf(out, "%s: stopped after %.1f s ", kProgram,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    printCounters(out, counters);
  }
  if (totals) *totals = counters;
  return 0;
}

int runCommandLine(int argc, const char* const* argv) {
  Options options;
  std::string error;
  switch (parseOptions(argc, argv, &options, &error)) {
    case ParseOutcome::Help:
      printUsage(stdout);
      return 0;
    case ParseOutcome::Error:
      std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, error.c_str(), kProgram);
      return 2;
    case ParseOutcome::Run:
      break;
  }
  stopRequested.store(false);
  routeStopSignals();
  return run(options, stopRequested, stdout);
}

}  // namespace kalvent_sim
