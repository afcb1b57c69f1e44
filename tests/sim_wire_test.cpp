// The simulator on a real socket: raw command datagrams from loopback
// clients, state packets back, and the program's command line and signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runner.h"
#include "sim_packets.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;
using kalvent_test::WireMotor;
using Clock = std::chrono::steady_clock;

namespace {

// A loopback port that was free a moment ago.
int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("free port");
    std::abort();
  }
  close(fd);
  return ntohs(a.sin_port);
}

kalvent_sim::Options loopback(int port) {
  kalvent_sim::Options o;
  o.address = "127.0.0.1";
  o.port = port;
  return o;
}

// A user program's end of the link: an unconnected socket on 127.0.0.1.
class Client {
 public:
  explicit Client(int simPort) : simPort_(simPort) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void send(const Bytes& packet) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(simPort_));
    ASSERT_EQ(
        sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(packet.size()));
    ++sent_;
  }

  // Waits up to `timeoutMs` for one datagram; false on timeout.
  bool receive(Bytes* packet, int timeoutMs, int* fromPort = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    packet->resize(2048);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        recvfrom(fd_, packet->data(), packet->size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return false;
    packet->resize(static_cast<size_t>(n));
    if (fromPort) *fromPort = ntohs(from.sin_port);
    return true;
  }

  // Sends `command` every 50 ms until the first state comes back (the
  // simulator may still be starting); false after `timeoutMs`.
  bool handshake(const Bytes& command, Bytes* state, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      send(command);
      if (receive(state, 50)) return true;
    }
    return false;
  }

  // For `ms` milliseconds sends `command` every 10 ms and hands every packet
  // that comes back to `onPacket`.
  template <typename OnPacket>
  void exchange(const Bytes& command, int ms, OnPacket onPacket) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    auto nextSend = Clock::now();
    Bytes packet;
    while (Clock::now() < until) {
      if (Clock::now() >= nextSend) {
        send(command);
        nextSend += std::chrono::milliseconds(10);
      }
      if (receive(&packet, 5)) onPacket(packet);
    }
  }

  int sent() const { return sent_; }

 private:
  int fd_;
  int simPort_;
  int sent_ = 0;
};

// The simulator's loop on a thread of this process, stopped by the
// destructor or `finish`.
class SimThread {
 public:
  explicit SimThread(const kalvent_sim::Options& options) {
    out_ = open_memstream(&text_, &size_);
    thread_ = std::thread(
        [this, options] { status_ = kalvent_sim::run(options, stop_, out_, &totals_); });
  }
  ~SimThread() { finish(); }

  // Stops the loop; returns its status.
  int finish() {
    if (thread_.joinable()) {
      stop_.store(true);
      thread_.join();
      std::fclose(out_);
      output_.assign(text_, size_);
      std::free(text_);
    }
    return status_;
  }
  const kalvent_sim::Counters& totals() const { return totals_; }
  const std::string& output() const { return output_; }

 private:
  std::atomic<bool> stop_{false};
  std::FILE* out_ = nullptr;
  char* text_ = nullptr;
  size_t size_ = 0;
  std::string output_;
  int status_ = -1;
  kalvent_sim::Counters totals_;
  std::thread thread_;
};

Bytes idleLowCommand() {
  return kalvent_test::lowCommand({});
}

TEST(SimWire, LowLevelStateComesFromTheControllerPortChecksummedWithARisingTick) {
  const int port = freeLoopbackPort();
  SimThread sim(loopback(port));
  Client client(port);
  Bytes state;
  ASSERT_TRUE(client.handshake(idleLowCommand(), &state));
  uint32_t lastTick = 0;
  int packets = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (packets < 100 && Clock::now() < deadline) {
    int from = 0;
    if (!client.receive(&state, 1000, &from)) continue;
    ++packets;
    ASSERT_EQ(state.size(), static_cast<size_t>(sdk::LOW_STATE_LENGTH));
    ASSERT_EQ(from, port);
    ASSERT_TRUE(kalvent_test::checksumValid(state)) << "packet " << packets;
    const auto s = kalvent_test::decoded<sdk::LowState_t>(state);
    ASSERT_EQ(static_cast<int>(s.levelFlag), sdk::LOWLEVEL);
    const uint32_t tick = kalvent_test::tickOf(s);
    ASSERT_GT(tick, lastTick);
    lastTick = tick;
  }
  EXPECT_EQ(packets, 100);
  ASSERT_EQ(sim.finish(), 0);
  // Commands sent before the socket was bound are lost on the way.
  EXPECT_GE(sim.totals().commands, 1u);
  EXPECT_LE(sim.totals().commands, static_cast<uint64_t>(client.sent()));
  EXPECT_GE(sim.totals().stateSent, 101u);
  EXPECT_NE(sim.output().find("listening on 127.0.0.1:" + std::to_string(port)), std::string::npos)
      << sim.output();
  EXPECT_NE(sim.output().find("stopped after"), std::string::npos) << sim.output();
}

TEST(SimWire, BadCommandsAreIgnoredCountedAndNeverAnswered) {
  const int port = freeLoopbackPort();
  SimThread sim(loopback(port));
  Client peer(port);
  Bytes state;
  ASSERT_TRUE(peer.handshake(idleLowCommand(), &state));

  Client stranger(port);
  for (int i = 0; i < 3; ++i) {
    Bytes corrupt = idleLowCommand();
    corrupt[100 + i] ^= 0x04;
    stranger.send(corrupt);
  }
  Bytes high = kalvent_test::highCommand(2, 1, 0, 0, 0);
  high[12] ^= 0x01;
  stranger.send(high);
  for (const size_t length : {0, 100, 611, 1500}) stranger.send(Bytes(length, 0x11));

  // The stranger gets nothing, and the peer stays at the low level.
  EXPECT_FALSE(stranger.receive(&state, 300));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(peer.receive(&state, 5000));
    EXPECT_EQ(state.size(), static_cast<size_t>(sdk::LOW_STATE_LENGTH));
  }
  ASSERT_EQ(sim.finish(), 0);
  EXPECT_GE(sim.totals().commands, 1u);
  EXPECT_LE(sim.totals().commands, static_cast<uint64_t>(peer.sent()));
  EXPECT_EQ(sim.totals().badChecksums, 4u);
  EXPECT_EQ(sim.totals().wrongLengths, 4u);
  EXPECT_NE(sim.output().find("bad_checksum=4 wrong_length=4"), std::string::npos) << sim.output();
}

TEST(SimWire, HighLevelWalksEchoesAndGivesWayToTheLowLevel) {
  const int port = freeLoopbackPort();
  SimThread sim(loopback(port));
  Client client(port);
  const Bytes walk = kalvent_test::highCommand(2, 0.5f, 0, 0, 0.1f);
  Bytes packet;
  ASSERT_TRUE(client.handshake(walk, &packet));

  float lastPosition = -1;
  kalvent_test::Walk last{};
  int packets = 0;
  client.exchange(walk, 600, [&](const Bytes& p) {
    ++packets;
    ASSERT_EQ(p.size(), static_cast<size_t>(sdk::HIGH_STATE_LENGTH));
    ASSERT_TRUE(kalvent_test::checksumValid(p));
    last = kalvent_test::walkOf(kalvent_test::decoded<sdk::HighState>(p));
    ASSERT_GE(last.forwardPosition, lastPosition);
    lastPosition = last.forwardPosition;
  });
  ASSERT_GT(packets, 0);
  EXPECT_EQ(last.levelFlag, sdk::HIGHLEVEL);
  EXPECT_EQ(last.mode, 2);
  EXPECT_EQ(last.bodyHeight, 0.1f);
  EXPECT_GT(last.forwardPosition, 0.1f);
  EXPECT_LT(last.forwardPosition, 2.0f);
  EXPECT_NEAR(last.sidePosition, 0, 1e-6);

  // A low-level command switches the answers to low-level state.
  Bytes state;
  ASSERT_TRUE(client.handshake(idleLowCommand(), &state));
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (state.size() != static_cast<size_t>(sdk::LOW_STATE_LENGTH) && Clock::now() < deadline) {
    client.receive(&state, 100);
  }
  EXPECT_EQ(state.size(), static_cast<size_t>(sdk::LOW_STATE_LENGTH));
  EXPECT_TRUE(kalvent_test::checksumValid(state));
}

TEST(SimWire, JointsAreDampedOnceCommandsStop) {
  const int port = freeLoopbackPort();
  SimThread sim(loopback(port));
  Client client(port);
  WireMotor run;  // 1 rad/s with Kd 2
  run.dq = 1.0f;
  run.Kd = 32;
  const Bytes command = kalvent_test::lowCommand({{sdk::FR_1, run}});
  Bytes packet;
  ASSERT_TRUE(client.handshake(command, &packet));

  float fastest = 0;
  client.exchange(command, 500, [&](const Bytes& p) {
    fastest =
        std::max(fastest, kalvent_test::motorOf(kalvent_test::decoded<sdk::LowState_t>(p), 1).dq);
  });
  EXPECT_GT(fastest, 0.8f);

  // Silence: within a bounded time the joint comes to rest under the brake.
  bool rested = false;
  bool braked = false;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!rested && Clock::now() < deadline) {
    if (!client.receive(&packet, 500)) continue;
    const auto m = kalvent_test::motorOf(kalvent_test::decoded<sdk::LowState_t>(packet), 1);
    braked = braked || m.tauEst < 0;
    rested = std::abs(m.dq) < 0.01f;
  }
  EXPECT_TRUE(braked);
  EXPECT_TRUE(rested);
}

TEST(SimWire, BoundedRunWritesTheTrajectory) {
  char dir[] = "/tmp/kalvent_sim_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/trajectory.csv";
  kalvent_sim::Options o = loopback(freeLoopbackPort());
  o.duration = 0.5;
  o.trajectory = file;
  const std::atomic<bool> stop{false};
  const auto start = Clock::now();
  EXPECT_EQ(kalvent_sim::run(o, stop, nullptr), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));

  std::ifstream in(file);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "time,FR_0,FR_1,FR_2,FL_0,FL_1,FL_2,RR_0,RR_1,RR_2,RL_0,RL_1,RL_2");
  int rows = 0;
  double lastTime = -1;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream row(line);
    for (std::string f; std::getline(row, f, ',');) fields.push_back(f);
    ASSERT_EQ(fields.size(), 13u) << line;
    EXPECT_GT(std::stod(fields[0]), lastTime);
    lastTime = std::stod(fields[0]);
    EXPECT_NEAR(std::stod(fields[2]), 1.12, 1e-4) << "lying, untouched";
    ++rows;
  }
  EXPECT_GE(rows, 5);
  std::remove(file.c_str());

  // A trajectory file that cannot be made is a run-time failure.
  o.trajectory = std::string(dir) + "/missing/trajectory.csv";
  EXPECT_EQ(kalvent_sim::run(o, stop, nullptr), 1);
  rmdir(dir);
}

TEST(SimWire, PortInUseIsARunTimeFailure) {
  const int port = freeLoopbackPort();
  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const std::atomic<bool> stop{false};
  EXPECT_EQ(kalvent_sim::run(loopback(port), stop, nullptr), 1);
  close(holder);
}

// --- the program's command line, in forked children ---

int commandLine(std::vector<std::string> args) {
  args.insert(args.begin(), "kalvent_sim");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const int status = kalvent_sim::runCommandLine(static_cast<int>(args.size()), argv.data());
  std::fflush(stdout);
  return status;
}

TEST(SimProgram, HelpAndBadOptions) {
  auto help = kalvent_test::runInChild([] { _exit(commandLine({"--help"})); });
  ASSERT_TRUE(help.exited);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: kalvent_sim", 0), 0u) << help.out;
  for (const char* option :
       {"--address", "--port", "--rate", "--model", "--duration", "--trajectory"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }

  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},          {"stray"},          {"--port"},          {"--port", "0"},
      {"--port", "70000"},  {"--port=80x"},     {"--rate", "0"},     {"--rate", "1001"},
      {"--rate", "fast"},   {"--model", "dog"}, {"--model="},        {"--address", "localhost"},
      {"--duration", "-1"}, {"--duration=nan"}, {"--duration", "0"}, {"--trajectory="},
  };
  for (const auto& args : bad) {
    auto r = kalvent_test::runInChild([&] {
      dup2(STDOUT_FILENO, STDERR_FILENO);  // to read the error, which goes to stderr
      _exit(commandLine(args));
    });
    ASSERT_TRUE(r.exited) << args[0];
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.out.rfind("kalvent_sim: ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(args[0].substr(0, args[0].find('='))), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Try 'kalvent_sim --help'."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
  }
}

TEST(SimProgram, EndsAfterItsDuration) {
  const std::string port = std::to_string(freeLoopbackPort());
  auto r = kalvent_test::runInChild([&] {
    _exit(commandLine({"--address", "127.0.0.1", "--port=" + port, "--duration", "1.2", "--rate",
                       "1000", "--model", "pelk"}));
  });
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("listening on 127.0.0.1:" + port + ", model pelk, state at 1000 Hz"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("t=1s level=none commands=0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stopped after"), std::string::npos) << r.out;
}

TEST(SimProgram, SigtermAndSigintStopItCleanly) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    const int port = freeLoopbackPort();
    const auto start = Clock::now();
    auto r = kalvent_test::runInChild(
        [&] {
          // Signals once the simulator answers, so its handlers are in place.
          std::thread user([&] {
            Client client(port);
            Bytes state;
            client.handshake(idleLowCommand(), &state);
            kill(getpid(), sig);
          });
          const int status =
              commandLine({"--address", "127.0.0.1", "--port", std::to_string(port)});
          user.join();
          _exit(status);
        },
        60);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(r.out.find("stopped after"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("commands=0 "), std::string::npos) << r.out;
  }
}

}  // namespace
