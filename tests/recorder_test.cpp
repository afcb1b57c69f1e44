// The recorder: what it writes of an exchange, how a cut or corrupted file
// reads, a full disk, its ring under a writer that does not keep up, and
// LCM's own logger and player on a recording.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <lcm/lcm-cpp.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "event_log.h"
#include "kalvent_legged_sdk.h"
#include "packet_ring.h"
#include "record_codec.h"
#include "test_support.h"
#include "udp_peer.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;
using kalvent_test::goodPacket;
using kalvent_test::Link;

namespace {

std::vector<sdk::LogEvent> readLog(const std::string& path, uint64_t* truncated = nullptr) {
  sdk::EventLogReader reader(path);
  std::vector<sdk::LogEvent> events;
  sdk::LogEvent event;
  while (reader.next(event)) events.push_back(event);
  if (truncated != nullptr) *truncated = reader.truncatedBytes();
  return events;
}

size_t countOn(const std::vector<sdk::LogEvent>& events, const std::string& channel) {
  size_t n = 0;
  for (const sdk::LogEvent& event : events) n += event.channel == channel;
  return n;
}

Bytes fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Starts `argv` with standard output and error on /dev/null.
pid_t spawn(std::vector<std::string> argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(&arg[0]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// The exit status of `pid`, which is killed if it has not ended within
// `seconds`; -1 when it did not exit by itself.
int waitExit(pid_t pid, double seconds) {
  int status = 0;
  for (int i = 0; i < seconds * 100; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// The events' channels and data, without their numbers and times.
std::vector<std::pair<std::string, Bytes>> contents(const std::vector<sdk::LogEvent>& events) {
  std::vector<std::pair<std::string, Bytes>> out;
  for (const sdk::LogEvent& event : events) out.emplace_back(event.channel, event.data);
  return out;
}

void writeBytes(const std::string& path, const Bytes& bytes, size_t length) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(length));
}

// A low-level loopback exchange recorded into a file of its own: a sender
// thread and a receiving thread, as in the three-loop pattern, with states
// of which some fail the checksum.
class RecordedExchange : public ::testing::Test {
 protected:
  static constexpr int kPackets = 200;

  void SetUp() override {
    char name[] = "/tmp/kalvent_recorder_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path = name;
  }
  void TearDown() override { std::remove(path.c_str()); }

  // Runs the exchange; the recorder is gone (its file complete) on return.
  void record() {
    sdk::Recorder recorder(path);
    recorder.attach(link.endpoint);
    std::thread sender([this] {
      sdk::LowCmd cmd{};
      link.endpoint.InitCmdData(cmd);
      for (int i = 0; i < kPackets; ++i) {
        // Multiples of each field's wire step: they come back exact.
        sdk::MotorCmd& motor = cmd.motorCmd[i % 12];
        motor.tau = 0.25f * static_cast<float>(i);
        motor.Kp = 0.5f * static_cast<float>(i);
        motor.Kd = 0.125f * static_cast<float>(i);
        link.endpoint.SetSend(cmd);
        link.endpoint.Send();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    for (unsigned i = 0; i < kPackets; ++i) {
      Bytes state = goodPacket(771, i);
      if (i % 10 == 9) state[100] ^= 1;
      sent.insert(state);
      link.peer.sendTo(link.endpoint.localPort, state);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      link.endpoint.Recv();
    }
    sender.join();
    stats = recorder.stats();
  }

  std::string path;
  Link link{610, 771};
  std::set<Bytes> sent;
  sdk::RecorderStats stats{};
};

TEST_F(RecordedExchange, HoldsEveryPacketCountedAndGivesTheStatesBack) {
  record();
  const std::vector<sdk::LogEvent> events = readLog(path);
  const sdk::UDPState& counted = link.endpoint.udpState;
  EXPECT_EQ(countOn(events, sdk::kRecordedLowCmd), counted.SendCount);
  EXPECT_EQ(countOn(events, sdk::kRecordedLowState), counted.RecvCount);
  EXPECT_GE(counted.RecvCRCError, static_cast<unsigned long long>(kPackets / 10));
  EXPECT_EQ(stats.commandsRecorded, counted.SendCount);
  EXPECT_EQ(stats.statesRecorded, counted.RecvCount);
  EXPECT_EQ(stats.commandsDropped + stats.statesDropped, 0u);
  EXPECT_LT(stats.eventsWritten, events.size());  // the last link-health record came after
  ASSERT_GE(countOn(events, sdk::kRecordedLinkHealth), 1u);

  // Each direction in time order (the two interleave as the writer found them).
  int64_t previousStateNs = 0;
  int64_t previousCmdNs = 0;
  int64_t previousNumber = -1;
  float last[3] = {-1, -1, -1};  // tau, Kp, Kd of the last command's motor
  for (const sdk::LogEvent& event : events) {
    EXPECT_EQ(event.number, previousNumber + 1);
    previousNumber = event.number;
    const int length = static_cast<int>(event.data.size());
    if (event.channel == sdk::kRecordedLowState) {
      kalvent_log::low_state record{};
      ASSERT_EQ(record.decode(event.data.data(), 0, length), length);
      Bytes packet(771);
      sdk::encodePacket(record, reinterpret_cast<char*>(packet.data()));
      EXPECT_EQ(sent.count(packet), 1u) << "state event " << event.number;
      EXPECT_GE(record.monotonic_ns, previousStateNs);
      previousStateNs = record.monotonic_ns;
    } else if (event.channel == sdk::kRecordedLowCmd) {
      kalvent_log::low_cmd record{};
      ASSERT_EQ(record.decode(event.data.data(), 0, length), length);
      EXPECT_EQ(record.mode[0], 10);
      const int motor = (kPackets - 1) % 12;
      last[0] = record.tau[motor];
      last[1] = record.kp[motor];
      last[2] = record.kd[motor];
      EXPECT_GE(record.monotonic_ns, previousCmdNs);
      previousCmdNs = record.monotonic_ns;
    } else {
      kalvent_log::link_health record{};
      ASSERT_EQ(record.decode(event.data.data(), 0, length), length);
      EXPECT_EQ(record.commands_dropped + record.states_dropped, 0);
    }
  }
  EXPECT_EQ(last[0], 0.25f * (kPackets - 1));
  EXPECT_EQ(last[1], 0.5f * (kPackets - 1));
  EXPECT_EQ(last[2], 0.125f * (kPackets - 1));
}

TEST_F(RecordedExchange, ACutFileReadsUpToItsLastWholeEventAndACorruptOneIsRefused) {
  record();
  const std::vector<sdk::LogEvent> events = readLog(path);
  ASSERT_GE(events.size(), 3u);
  const Bytes whole = fileBytes(path);
  const size_t lastStart = static_cast<size_t>(events.back().offset);
  for (size_t cut = lastStart; cut < whole.size(); ++cut) {
    writeBytes(path, whole, cut);
    uint64_t truncated = 0;
    ASSERT_EQ(readLog(path, &truncated).size(), events.size() - 1) << "cut at " << cut;
    ASSERT_EQ(truncated, cut - lastStart);
  }

  // A damaged sync word or channel length of the second event, and a few
  // bytes after the last event that do not start one.
  const uint64_t second = events[1].offset;
  struct Damage {
    uint64_t at;
    uint64_t refusedAt;
  };
  for (const Damage damage : {Damage{second, second}, Damage{second + 20, second},
                              Damage{whole.size() + 2, whole.size()}}) {
    Bytes corrupt = whole;
    corrupt.resize(std::max<size_t>(whole.size(), damage.at + 1), 0xED);
    corrupt[damage.at] ^= 0x40;
    writeBytes(path, corrupt, corrupt.size());
    try {
      readLog(path);
      ADD_FAILURE() << "a corrupt byte at " << damage.at << " was read";
    } catch (const sdk::EventLogError& error) {
      EXPECT_EQ(error.offset(), damage.refusedAt);
      EXPECT_NE(std::string(error.what()).find("byte offset " + std::to_string(damage.refusedAt)),
                std::string::npos)
          << error.what();
    }
  }
}

TEST_F(RecordedExchange, ReplayServesTheRecordedStatesByteForByte) {
  record();
  std::vector<Bytes> recorded;
  for (const sdk::LogEvent& event : readLog(path)) {
    if (event.channel != sdk::kRecordedLowState) continue;
    kalvent_log::low_state record{};
    record.decode(event.data.data(), 0, static_cast<int>(event.data.size()));
    recorded.emplace_back(771);
    sdk::encodePacket(record, reinterpret_cast<char*>(recorded.back().data()));
  }
  ASSERT_FALSE(recorded.empty());

  kalvent_test::Peer program;
  const uint16_t port = kalvent_test::freePort();
  const pid_t replay =
      spawn({KALVENT_LOG_PROGRAM, "replay", path, "--port", std::to_string(port), "--wait", "10"});
  std::vector<Bytes> served;
  for (int i = 0; i < 200 && served.empty(); ++i) {  // until the replay answers
    program.sendTo(port, goodPacket(610, 1));
    Bytes state = program.receive(50);
    if (!state.empty()) served.push_back(state);
  }
  while (!served.empty() && served.size() < recorded.size()) {
    Bytes state = program.receive(2000);
    if (state.empty()) break;
    served.push_back(state);
  }
  EXPECT_EQ(waitExit(replay, 20), 0);
  EXPECT_EQ(served.size(), recorded.size());
  EXPECT_TRUE(served == recorded);
}

// The number of lines of a text file, and its first line.
size_t linesOf(const std::string& path, std::string* first) {
  std::ifstream in(path);
  std::string line;
  size_t lines = 0;
  while (std::getline(in, line)) {
    if (lines++ == 0) *first = line;
  }
  return lines;
}

TEST_F(RecordedExchange, CsvHasARowPerRecordAndAColumnPerJointFieldAndPlotDrawsItsPages) {
  record();
  const std::vector<sdk::LogEvent> events = readLog(path);
  const std::string directory = path + ".csv";
  ASSERT_EQ(waitExit(spawn({KALVENT_LOG_PROGRAM, "csv", path, directory}), 30), 0);
  std::string header;
  EXPECT_EQ(linesOf(directory + "/low_state.csv", &header),
            countOn(events, sdk::kRecordedLowState) + 1);
  // Legs FR, FL, RR, RL and joints hip, thigh, calf, in motor-slot order.
  EXPECT_NE(header.find(",FR_hip_q,FR_thigh_q,FR_calf_q,FL_hip_q,"), std::string::npos);
  EXPECT_NE(header.find(",RL_calf_tau_est,FR_hip_q_raw,"), std::string::npos);
  EXPECT_EQ(linesOf(directory + "/low_cmd.csv", &header),
            countOn(events, sdk::kRecordedLowCmd) + 1);
  EXPECT_NE(header.find(",RR_thigh_tau,"), std::string::npos);

  if (std::system("command -v gnuplot >/dev/null") == 0) {
    ASSERT_EQ(waitExit(spawn({KALVENT_LOG_PROGRAM, "plot", path, directory}), 60), 0);
    for (const char* page : {"joints", "torques", "imu", "foot_force", "link_health"}) {
      const Bytes png = fileBytes(directory + "/" + page + ".png");
      EXPECT_TRUE(png.size() > 8 && png[1] == 'P' && png[2] == 'N' && png[3] == 'G') << page;
    }
  }
  std::system(("rm -rf " + directory).c_str());
}

TEST_F(RecordedExchange, LcmLogplayerPlaysItForLcmLoggerToRecordTheSameEvents) {
  if (std::system("command -v lcm-logger >/dev/null && command -v lcm-logplayer >/dev/null") != 0) {
    GTEST_SKIP() << "lcm-logger or lcm-logplayer missing (package liblcm-bin)";
  }
  record();
  const std::string relogged = path + ".relogged";
  const std::string probe = path + ".probe";
  Bytes probeEvent;
  const unsigned char probeData = 0;
  sdk::appendEvent(probeEvent, 0, 0, "KALVENT_PROBE", &probeData, 1);
  writeBytes(probe, probeEvent, probeEvent.size());
  const auto played = [](const std::vector<sdk::LogEvent>& events) {
    auto out = contents(events);
    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const auto& event) { return event.first == "KALVENT_PROBE"; }),
              out.end());
    return out;
  };
  // The first events of the recording, a whole recording of their own:
  // few enough that a busy machine delays none past the logger's socket.
  const std::vector<sdk::LogEvent> events = readLog(path);
  ASSERT_GT(events.size(), 60u);
  const std::string head = path + ".head";
  const Bytes whole = fileBytes(path);
  writeBytes(head, whole, static_cast<size_t>(events[60].offset));
  const size_t expected = 60;
  const kalvent_test::ChildResult child = kalvent_test::runInChild([&] {
    std::string why;
    if (!kalvent_test::enterPrivateNetwork(true, &why)) std::_Exit(77);
    setenv("LCM_DEFAULT_URL", "udpm://239.255.76.67:7667?ttl=0", 1);
    const pid_t logger = spawn({"lcm-logger", "-f", relogged});
    // What the logger wrote so far; nothing before it made its file.
    const auto relog = [&] {
      return access(relogged.c_str(), F_OK) == 0 ? readLog(relogged) : std::vector<sdk::LogEvent>{};
    };
    // Probes until the logger has written one: then it listens.
    for (int i = 0; i < 50 && relog().empty(); ++i) {
      waitExit(spawn({"lcm-logplayer", probe}), 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (waitExit(spawn({"lcm-logplayer", head}), 30) != 0) std::_Exit(3);
    for (int i = 0; i < 100 && played(relog()).size() < expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(logger, SIGINT);
    if (waitExit(logger, 10) < 0) std::_Exit(4);
  });
  if (child.exited && child.status == 77) GTEST_SKIP() << "no private network namespace";
  ASSERT_TRUE(child.exited);
  ASSERT_EQ(child.status, 0);
  EXPECT_TRUE(played(readLog(relogged)) == contents(readLog(head)));
  EXPECT_EQ(readLog(head).size(), expected);
  std::remove(head.c_str());
  std::remove(probe.c_str());
  std::remove(relogged.c_str());
}

// kalvent_record takes the bridge's raw records and writes them typed.
TEST(KalventRecord, RecordsTheBridgesRecordsTyped) {
  char name[] = "/tmp/kalvent_bridge_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string path = name;
  const kalvent_test::ChildResult child = kalvent_test::runInChild([&] {
    std::string why;
    if (!kalvent_test::enterPrivateNetwork(true, &why)) std::_Exit(77);
    setenv("LCM_DEFAULT_URL", "udpm://239.255.76.67:7667?ttl=0", 1);
    const pid_t recorder = spawn({KALVENT_RECORD_PROGRAM, path});
    lcm::LCM lcm;
    sdk::LowState state{};
    sdk::LowCmd cmd{};
    cmd.motorCmd[4].tau = 1.2345f;  // not a multiple of the wire's step: kept as given
    // States until the recorder has written one: then it listens.
    for (int i = 0; i < 100 && readLog(path).empty(); ++i) {
      lcm.publish(sdk::lowStateChannel, &state, sizeof state);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    state.tick = 77;
    state.motorState[2].tauEst = -3.5f;
    lcm.publish(sdk::lowStateChannel, &state, sizeof state);
    lcm.publish(sdk::lowCmdChannel, &cmd, sizeof cmd);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(recorder, SIGINT);
    if (waitExit(recorder, 10) != 0) std::_Exit(4);
  });
  if (child.exited && child.status == 77) GTEST_SKIP() << "no private network namespace";
  ASSERT_TRUE(child.exited);
  ASSERT_EQ(child.status, 0);
  const std::vector<sdk::LogEvent> events = readLog(path);
  ASSERT_GE(events.size(), 3u);
  const sdk::LogEvent& stateEvent = events[events.size() - 2];
  const sdk::LogEvent& cmdEvent = events.back();
  ASSERT_EQ(stateEvent.channel, sdk::kRecordedLowState);
  ASSERT_EQ(cmdEvent.channel, sdk::kRecordedLowCmd);
  kalvent_log::low_state state{};
  kalvent_log::low_cmd cmd{};
  state.decode(stateEvent.data.data(), 0, static_cast<int>(stateEvent.data.size()));
  cmd.decode(cmdEvent.data.data(), 0, static_cast<int>(cmdEvent.data.size()));
  EXPECT_EQ(state.tick, 77);
  EXPECT_EQ(state.tau_est[2], -3.5f);
  EXPECT_EQ(cmd.tau[4], 1.2345f);
  std::remove(path.c_str());
}

// A command line the tools do not take ends with status 2 before any file
// is touched (a file that cannot be read or written would end with 1).
TEST(KalventRecord, BadCommandLinesEndWithStatus2) {
  const std::string missing = "/nonexistent/recording.log";
  const std::vector<std::vector<std::string>> commandLines = {
      {KALVENT_RECORD_PROGRAM},
      {KALVENT_RECORD_PROGRAM, missing, "0"},
      {KALVENT_RECORD_PROGRAM, missing, "-1"},
      {KALVENT_RECORD_PROGRAM, missing, "1", "2"},
      {KALVENT_LOG_PROGRAM, "info"},
      {KALVENT_LOG_PROGRAM, "show", missing},
      {KALVENT_LOG_PROGRAM, "info", missing, "extra"},
      {KALVENT_LOG_PROGRAM, "csv", missing},
      {KALVENT_LOG_PROGRAM, "replay", missing, "--port", "0"},
      {KALVENT_LOG_PROGRAM, "replay", missing, "--port", "65536"},
      {KALVENT_LOG_PROGRAM, "replay", missing, "--wait", "nan"},
      {KALVENT_LOG_PROGRAM, "replay", missing, "--lcm", "--loud"},
  };
  for (const std::vector<std::string>& commandLine : commandLines) {
    EXPECT_EQ(waitExit(spawn(commandLine), 10), 2) << commandLine.back();
  }
  EXPECT_EQ(waitExit(spawn({KALVENT_LOG_PROGRAM, "replay", missing, "--port", "9", "--lcm"}), 10),
            1);
}

TEST(Recorder, AFullDiskIsReportedOnceAndTheLoopGoesOn) {
  std::string err;
  const kalvent_test::ChildResult child = kalvent_test::runInChild(
      [] {
        Link link(610, 771);
        sdk::RecorderStats stats{};
        {
          sdk::Recorder recorder("/dev/full");
          recorder.attach(link.endpoint);
          for (int i = 0; i < 50; ++i) {
            if (link.endpoint.Send() != 610) std::_Exit(3);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          stats = recorder.stats();
        }
        if (stats.commandsRecorded != 50) std::_Exit(4);
      },
      &err);
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 0);
  size_t lines = 0;
  for (size_t at = 0;
       (at = err.find("recorder: writing /dev/full failed", at)) != std::string::npos; ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, 1u) << err;
}

// Each field of a high-level packet lands in its own record field (widened
// where the record is wider), and a state record encodes back to the bytes.
TEST(RecordCodec, HighLevelFieldsKeepTheirPlacesBothWays) {
  Bytes packet(sdk::HIGH_STATE_LENGTH);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i % 251 + 1);
  const char* bytes = reinterpret_cast<const char*>(packet.data());
  const auto sameBytes = [bytes](const void* field, size_t offset, size_t size) {
    return std::memcmp(field, bytes + offset, size) == 0;
  };
  kalvent_log::high_state state{};
  sdk::decodePacket(bytes, state);
  EXPECT_TRUE(sameBytes(&state.side_speed, offsetof(sdk::HighState, sideSpeed), 4));
  EXPECT_TRUE(sameBytes(&state.rotate_speed, offsetof(sdk::HighState, rotateSpeed), 4));
  EXPECT_TRUE(sameBytes(&state.side_position, offsetof(sdk::HighState, sidePosition), 4));
  EXPECT_TRUE(sameBytes(state.foot_speed_to_body, offsetof(sdk::HighState, footSpeed2Body), 48));
  EXPECT_TRUE(sameBytes(state.rpy, offsetof(sdk::HighState, imu) + offsetof(sdk::IMU, rpy), 12));
  sdk::HighState wire;
  std::memcpy(&wire, bytes, sizeof wire);
  EXPECT_EQ(state.sn, static_cast<int64_t>(wire.SN));
  EXPECT_EQ(state.crc, static_cast<int64_t>(wire.crc));
  Bytes back(packet.size());
  sdk::encodePacket(state, reinterpret_cast<char*>(back.data()));
  EXPECT_EQ(back, packet);

  kalvent_log::high_cmd cmd{};
  sdk::decodePacket(bytes, cmd);
  EXPECT_TRUE(sameBytes(&cmd.roll, offsetof(sdk::HighCmd, roll), 4));
  EXPECT_TRUE(sameBytes(cmd.led, offsetof(sdk::HighCmd, led), 12));
}

TEST(PacketRing, DropsAndCountsWhatFindsItFullAndKeepsTheRestInOrder) {
  sdk::PacketRing ring(8, 16);
  char packet[17] = {};
  int kept = 0;
  for (int i = 0; i < 20; ++i) {
    packet[0] = static_cast<char>(i);
    kept += ring.push(packet, 16, 1000 + i);  // no one takes them out: a stalled writer
  }
  EXPECT_FALSE(ring.push(packet, 17, 0));  // longer than a slot
  EXPECT_EQ(kept, 8);
  EXPECT_EQ(ring.kept(), 8u);
  EXPECT_EQ(ring.dropped(), 13u);
  sdk::PacketRing::Packet out{};
  for (int i = 0; i < 3; ++i, ring.pop()) {
    ASSERT_TRUE(ring.front(out));
    EXPECT_EQ(out.bytes[0], i);
    EXPECT_EQ(out.monotonicNs, 1000 + i);
    EXPECT_EQ(out.length, 16);
  }
  for (int i = 0; i < 4; ++i) kept += ring.push(packet, 4, 0);
  EXPECT_EQ(kept, 11);
  EXPECT_EQ(ring.dropped(), 14u);
}

}  // namespace
