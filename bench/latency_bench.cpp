// State-to-command latency, measured from the robot's side.
//
// A measuring peer on loopback plays the robot: it sends a low-level state
// every period with a rising tick, busy-polls its socket, timestamps each
// command and matches the tick the program copied into the command's
// wirelessRemote. The latency of a state is the time from just before its
// send to the arrival of the first command carrying its tick. Three programs
// take turns against the same peer, at 500 Hz and at 1 kHz:
//   - three LoopFuncs (control, Send, Recv) at the period: the usual pattern;
//   - a LowStateLoop;
//   - a raw event-driven loop on a plain socket (poll, recv, checksum check,
//     copy the tick, checksum, send): the floor;
//   - when the Python module is built, a LowStateLoop whose control function
//     is Python (python/bench/state_loop_echo.py, a process of its own).
//
// usage: latency_bench [SECONDS]   seconds per program and rate, default 5,
//                                  run in turns of one second
//
// With the right to (root), the programs' threads run SCHED_FIFO with memory
// locked, and the peer SCHED_FIFO below them: other work on a loaded
// machine then delays neither. A plain program rather than a Google
// Benchmark: it reports latency distributions, not rates.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_main.h"
#include "bench_support.h"
#include "kalvent_legged_sdk.h"
#include "percentile.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const size_t kTickAt = offsetof(sdk::LowState_t, tick);
const size_t kEchoAt = offsetof(sdk::LowCmd_t, wirelessRemote);
// States at the start of each turn left out: the first ones meet cold caches.
const uint32_t kWarmUpStates = 20;
const int kProgramPriority = 80;
const int kPeerPriority = 70;
// The peer busy-polls from kLeadNs before each state until kBusyNs after it,
// and waits in ppoll in between: answers later than kBusyNs (the three-loop
// pattern's, about a period) are timed on a wake-up, a few microseconds
// late, and the peer leaves most of a CPU to the rest of the machine.
const int64_t kBusyNs = 500000;
const int64_t kLeadNs = 50000;

using kalvent_bench::loopbackSocket;
using sdk::monotonicNanoseconds;

// One of the programs under test; each copies the tick of the state it used
// into the command.
class Program {
 public:
  virtual ~Program() = default;
  virtual const char* name() const = 0;
  virtual uint16_t port() const = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
};

void echoTick(const sdk::LowState& state, sdk::LowCmd& cmd) {
  const uint32_t tick = state.tick;
  std::memcpy(cmd.wirelessRemote, &tick, sizeof tick);
}

// Starts a LoopFunc; std::runtime_error when it does not start.
void startLoop(sdk::LoopFunc& loop) {
  const sdk::Result<void> started = loop.tryStart();
  if (!started) throw std::runtime_error(started.error().message);
}

// A program on a library endpoint connected to the peer, with its records.
class OnEndpoint : public Program {
 public:
  explicit OnEndpoint(uint16_t peerPort)
      : endpoint_(
            kalvent_bench::loopbackEndpoint(peerPort, sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH)),
        udp_(*endpoint_) {
    udp_.InitCmdData(cmd_);
  }
  uint16_t port() const override { return kalvent_bench::boundPort(udp_.socketFd()); }

 protected:
  std::unique_ptr<sdk::UDP> endpoint_;
  sdk::UDP& udp_;
  sdk::LowCmd cmd_{};
  sdk::LowState state_{};
};

class ThreeLoops : public OnEndpoint {
 public:
  ThreeLoops(uint16_t peerPort, float period) : OnEndpoint(peerPort), period_(period) {}
  const char* name() const override { return "three LoopFuncs"; }
  void start() override {
    control_ = std::make_unique<sdk::LoopFunc>("control", period_, [this] {
      udp_.GetRecv(state_);
      echoTick(state_, cmd_);
      udp_.SetSend(cmd_);
    });
    send_ = std::make_unique<sdk::LoopFunc>("udp_send", period_, [this] { udp_.Send(); });
    recv_ = std::make_unique<sdk::LoopFunc>("udp_recv", period_, [this] { udp_.Recv(); });
    startLoop(*send_);
    startLoop(*recv_);
    startLoop(*control_);
  }
  void stop() override {
    control_.reset();
    send_.reset();
    recv_.reset();
  }

 private:
  float period_;
  std::unique_ptr<sdk::LoopFunc> control_, send_, recv_;
};

class StateDriven : public OnEndpoint {
 public:
  StateDriven(uint16_t peerPort, float period)
      : OnEndpoint(peerPort),
        loop_("bench", udp_, state_, cmd_, period, period / 2,
              [](sdk::LowState& state, sdk::LowCmd& cmd, const sdk::StateTick&) {
                echoTick(state, cmd);
              }) {}
  const char* name() const override { return "LowStateLoop"; }
  void start() override { loop_.start(); }
  void stop() override { loop_.shutdown(); }

 private:
  sdk::LowStateLoop loop_;
};

// The floor: what any program must do for a state, written on the socket.
class RawLoop : public Program {
 public:
  explicit RawLoop(uint16_t peerPort) {
    fd_ = loopbackSocket(&port_);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(peerPort);
    connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ~RawLoop() override { close(fd_); }
  const char* name() const override { return "raw loop on a socket"; }
  uint16_t port() const override { return port_; }
  void start() override {
    running_ = true;
    thread_ = std::thread([this] { run(); });
  }
  void stop() override {
    running_ = false;
    thread_.join();
  }

 private:
  void run() {
    unsigned char state[sdk::LOW_STATE_LENGTH];
    unsigned char cmd[sdk::LOW_CMD_LENGTH] = {};
    pollfd wait{fd_, POLLIN, 0};
    while (running_) {
      if (poll(&wait, 1, 20) != 1) continue;
      if (recv(fd_, state, sizeof state, MSG_DONTWAIT) != sdk::LOW_STATE_LENGTH) continue;
      if (!sdk::checksumMatches(state, sizeof state)) continue;
      std::memcpy(cmd + kEchoAt, state + kTickAt, 4);
      sdk::stampChecksum(cmd, sizeof cmd);
      send(fd_, cmd, sizeof cmd, 0);
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

// The robot's side: states out on a fixed grid, commands timed as they come.
#ifdef KALVENT_PYTHON_ECHO
// The Python state-driven program, in a child process started and stopped
// over a pipe. It inherits the scheduling policy; it locks its own memory.
class PythonStateDriven : public Program {
 public:
  PythonStateDriven(uint16_t peerPort, float period) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) fail("no pipe");
    const std::string portText = std::to_string(peerPort);
    const std::string periodText = std::to_string(period);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toChild[0], STDIN_FILENO);
      dup2(fromChild[1], STDOUT_FILENO);
      setenv("PYTHONPATH", KALVENT_PYTHON_MODULE_DIR, 1);
      execl(KALVENT_PYTHON, KALVENT_PYTHON, KALVENT_PYTHON_ECHO, portText.c_str(),
            periodText.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    to_ = fdopen(toChild[1], "w");
    from_ = fdopen(fromChild[0], "r");
    char line[32];
    unsigned port = 0;
    if (pid_ < 0 || to_ == nullptr || from_ == nullptr ||
        std::fgets(line, sizeof line, from_) == nullptr ||
        std::sscanf(line, "port %u", &port) != 1) {
      fail("the Python program did not start");
    }
    port_ = static_cast<uint16_t>(port);
  }
  ~PythonStateDriven() override {
    std::fclose(to_);  // the end of its input ends it
    waitpid(pid_, nullptr, 0);
    std::fclose(from_);
  }
  const char* name() const override { return "Python LowStateLoop"; }
  uint16_t port() const override { return port_; }
  void start() override { ask("start"); }
  void stop() override { ask("stop"); }

 private:
  [[noreturn]] static void fail(const char* why) { throw std::runtime_error(why); }
  // Waits for the answer, so that the loop runs (or has stopped) on return.
  void ask(const char* request) {
    char answer[32];
    if (std::fprintf(to_, "%s\n", request) < 0 || std::fflush(to_) != 0 ||
        std::fgets(answer, sizeof answer, from_) == nullptr) {
      fail("the Python program ended");
    }
  }

  pid_t pid_ = -1;
  FILE* to_ = nullptr;
  FILE* from_ = nullptr;
  uint16_t port_ = 0;
};
#endif

class Peer {
 public:
  Peer() : fd_(loopbackSocket(&port_)) { std::memset(state_, 0, sizeof state_); }
  ~Peer() { close(fd_); }
  uint16_t port() const { return port_; }

  // Sends `count` states to `port` every `periodNs`, appending the latency
  // of each state after the warm-up (µs) to `latencies`. Returns how many
  // states no command ever answered.
  uint32_t run(uint16_t port, uint32_t count, int64_t periodNs, std::vector<double>& latencies) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    drain();
    const uint32_t first = nextTick_;
    std::vector<int64_t> sentAt(count + 1, 0);
    std::vector<bool> answered(count + 1, false);
    unsigned char cmd[2048];
    int64_t due = monotonicNanoseconds() + periodNs;
    // Commands are taken until one period after the last state.
    const int64_t end = due + static_cast<int64_t>(count) * periodNs;
    uint32_t sent = 0;
    int64_t busyUntil = 0;
    for (int64_t now = monotonicNanoseconds(); now < end; now = monotonicNanoseconds()) {
      if (sent < count && now >= due) {
        const uint32_t tick = nextTick_++;
        std::memcpy(state_ + kTickAt, &tick, sizeof tick);
        sdk::stampChecksum(state_, sizeof state_);
        ++sent;
        sentAt[sent] = monotonicNanoseconds();
        sendto(fd_, state_, sizeof state_, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        busyUntil = sentAt[sent] + kBusyNs;
        due += periodNs;
      }
      const int64_t wakeAt = sent < count ? due - kLeadNs : end;
      if (now >= busyUntil && now < wakeAt) {
        pollfd wait{fd_, POLLIN, 0};
        const timespec timeout = sdk::timespecOf(wakeAt - now);
        ppoll(&wait, 1, &timeout, nullptr);
      }
      if (recv(fd_, cmd, sizeof cmd, MSG_DONTWAIT) != sdk::LOW_CMD_LENGTH) continue;
      const int64_t at = monotonicNanoseconds();
      uint32_t tick;
      std::memcpy(&tick, cmd + kEchoAt, sizeof tick);
      if (tick < first || tick - first + 1 > sent) continue;  // an earlier turn's, or none yet
      const uint32_t k = tick - first + 1;
      if (answered[k]) continue;
      answered[k] = true;
      if (k > kWarmUpStates) latencies.push_back(static_cast<double>(at - sentAt[k]) / 1e3);
    }
    return static_cast<uint32_t>(std::count(answered.begin() + 1, answered.end(), false));
  }

 private:
  void drain() {
    unsigned char junk[2048];
    while (recv(fd_, junk, sizeof junk, MSG_DONTWAIT) > 0) {
    }
  }

  uint16_t port_ = 0;
  int fd_;
  uint32_t nextTick_ = 1;
  unsigned char state_[sdk::LOW_STATE_LENGTH];
};

// The peer's thread: real-time below the programs when they are, so that
// their threads preempt it, while other work on the machine does not.
void lowerBelowPrograms(bool realtime) {
  const sched_param priority{realtime ? kPeerPriority : 0};
  pthread_setschedparam(pthread_self(), realtime ? SCHED_FIFO : SCHED_OTHER, &priority);
}

bool tryRealtime() {
  const sdk::RealtimeReport report = sdk::TryInitEnvironment(kProgramPriority);
  return report.memoryLocked && report.fifoScheduling;
}

void measureRate(int hz, int turns, bool realtime) {
  const int64_t periodNs = 1000000000 / hz;
  const float period = 1.0f / static_cast<float>(hz);
  Peer peer;
  std::vector<std::unique_ptr<Program>> programs;
  programs.push_back(std::make_unique<ThreeLoops>(peer.port(), period));
  programs.push_back(std::make_unique<StateDriven>(peer.port(), period));
  programs.push_back(std::make_unique<RawLoop>(peer.port()));
#ifdef KALVENT_PYTHON_ECHO
  programs.push_back(std::make_unique<PythonStateDriven>(peer.port(), period));
#endif
  const size_t count = programs.size();
  std::vector<std::vector<double>> latencies(count);
  std::vector<uint32_t> unanswered(count, 0);
  for (auto& l : latencies) l.reserve(static_cast<size_t>(hz) * static_cast<size_t>(turns));
  std::thread measuring([&] {
    lowerBelowPrograms(realtime);
    for (int turn = 0; turn < turns; ++turn) {
      for (size_t p = 0; p < count; ++p) {
        programs[p]->start();
        unanswered[p] +=
            peer.run(programs[p]->port(), static_cast<uint32_t>(hz), periodNs, latencies[p]);
        programs[p]->stop();
      }
    }
  });
  measuring.join();

  std::vector<sdk::Distribution> s(count);
  for (size_t p = 0; p < count; ++p) s[p] = sdk::summarize(std::move(latencies[p]));
  std::printf("\n%d Hz (a state every %g ms), %d s per program\n", hz, 1000.0 / hz, turns);
  std::printf("  %-22s %8s %10s %8s %8s %8s %8s\n", "program", "states", "unanswered", "min",
              "median", "p99", "max");
  for (size_t p = 0; p < count; ++p) {
    std::printf("  %-22s %8zu %10u %8.1f %8.1f %8.1f %8.1f\n", programs[p]->name(), s[p].count,
                unanswered[p], s[p].min, s[p].p50, s[p].p99, s[p].max);
  }
  std::printf(
      "  LowStateLoop / raw loop: median %.2fx, p99 %.2fx; three LoopFuncs / "
      "LowStateLoop: median %.1fx, p99 %.1fx\n",
      s[1].p50 / s[2].p50, s[1].p99 / s[2].p99, s[0].p50 / s[1].p50, s[0].p99 / s[1].p99);
  if (count > 3) {
    std::printf("  Python LowStateLoop / LowStateLoop: median %.2fx, p99 %.2fx\n",
                s[3].p50 / s[1].p50, s[3].p99 / s[1].p99);
  }
}

// The header, then both rates.
void measureBothRates(int seconds) {
  const bool realtime = tryRealtime();
  double load[3] = {};
  getloadavg(load, 3);
  std::printf(
      "latency_bench: state-to-command latency from the robot's side, loopback, us\n"
      "programs: %s; load average %.2f\n",
      realtime ? "SCHED_FIFO 80 and the peer SCHED_FIFO 70, memory locked"
               : "normal priority (not root)",
      load[0]);
  measureRate(500, seconds, realtime);
  measureRate(1000, seconds, realtime);
}

}  // namespace

// What escapes ends the program with a line, not with std::terminate.
int main(int argc, char** argv) try {
  // The report alone on standard output: the endpoints print nothing, the
  // state loop's lines go to the silenced log sink. The LoopFuncs' start and
  // end lines, which LoopFunc always prints, come between the tables.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return kalvent_bench::benchMain(argc, argv, "latency_bench", "seconds per program and rate", 5,
                                  measureBothRates);
} catch (const std::exception& e) {
  std::fprintf(stderr, "latency_bench: %s\n", e.what());
  return 1;
}
