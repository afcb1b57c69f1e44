// The UDP link to the robot controller and the packet checksum.
#include "kalvent_legged_sdk/udp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "crc32.h"
#include "datagram_batch.h"
#include "fatal.h"
#include "kalvent_legged_sdk/log.h"
#include "level_lengths.h"
#include "packet_ring.h"
#include "udp_setup.h"
#include "wire.h"

namespace KALVENT_LEGGED_SDK {

uint32_t crc32(uint32_t* data, uint32_t len) {
  return crc32_impl::fastest(data, len);
}

namespace {

// A call that takes a record of one level, and its bit in the endpoint's
// once-flags.
struct RecordCall {
  const char* name;
  bool lowLevelRecord;
  unsigned warnedBit;
  const char* consequence;
};
const char kSendConsequence[] = "the packet goes out unchanged, but the controller refuses it";
const char kRecvConsequence[] = "the record is filled as ever, from a packet of the other level";
const RecordCall kSetSendHigh{"SetSend(HighCmd)", false, 1u, kSendConsequence};
const RecordCall kSetSendLow{"SetSend(LowCmd)", true, 2u, kSendConsequence};
const RecordCall kGetRecvHigh{"GetRecv(HighState)", false, 4u, kRecvConsequence};
const RecordCall kGetRecvLow{"GetRecv(LowState)", true, 8u, kRecvConsequence};

// The endpoint's lengths are those of the level the record is not of.
// Endpoints of other lengths carry packets of their own making.
bool otherLevelLengths(const RecordCall& call, int sendLength, int recvLength) {
  return call.lowLevelRecord ? sendLength == HIGH_CMD_LENGTH && recvLength == HIGH_STATE_LENGTH
                             : sendLength == LOW_CMD_LENGTH && recvLength == LOW_STATE_LENGTH;
}

// Says once per endpoint and call, on standard error, that a record met an
// endpoint of the other level; otherwise the mistake would only show as the
// link-health warning that no valid packet comes.
void warnOtherLevel(const RecordCall& call, int sendLength, int recvLength,
                    std::atomic<unsigned>& warned) {
  if ((warned.fetch_or(call.warnedBit, std::memory_order_relaxed) & call.warnedBit) != 0) return;
  logMessage(LogLevel::Warning, "udp",
             "kalvent_legged_sdk: %s on an endpoint of the %s-level packet lengths (%d out / %d "
             "in): %s",
             call.name, call.lowLevelRecord ? "high" : "low", sendLength, recvLength,
             call.consequence);
}

}  // namespace

UDP::UDP(uint8_t level, HighLevelType highControl) : levelFlag(level) {
  const Result<PacketLengths> lengths = levelPacketLengths("UDP", level);
  if (!lengths) endProcess(lengths.error(), "Level Flag Error.\n");
  sendLength = lengths->send;
  recvLength = lengths->recv;
  targetIP = const_cast<char*>(highControl == HighLevelType::Sport ? UDP_SERVER_IP_SPORT
                                                                   : UDP_SERVER_IP_BASIC);
  init(UDP_CLIENT_PORT, targetIP, UDP_SERVER_PORT);
}

UDP::UDP(uint16_t localPort, const char* targetIP, uint16_t targetPort, int sendLength,
         int recvLength)
    : targetIP(const_cast<char*>(targetIP)), sendLength(sendLength), recvLength(recvLength) {
  init(localPort, targetIP, targetPort);
}

UDP::UDP(uint16_t localPort, uint16_t targetPort, int sendLength, int recvLength)
    : connected(false), sendLength(sendLength), recvLength(recvLength) {
  init(localPort, nullptr, targetPort);
}

UDP::UDP(Unopened, uint8_t level, const char* peerIP, bool serverMode, int sendLength,
         int recvLength)
    : targetIP(const_cast<char*>(peerIP)),
      levelFlag(level),
      quiet_(true),
      connected(!serverMode),
      sendLength(sendLength),
      recvLength(recvLength) {}

UDP::~UDP() {
  if (!quiet_) std::printf("Closing UDP.\n");
  // Fails on a server-mode endpoint that never got a client: it is not connected.
  if (shutdown(sockFd, SHUT_RDWR) != 0 && !quiet_) std::printf("Error! Close UDP Failed.\n");
  close(sockFd);
}

void UDP::init(uint16_t port, const char* peerIP, uint16_t peerPort) {
  const Result<void> ready = setUp(port, peerIP, peerPort);
  if (!ready) {
    std::string line;
    switch (ready.error().step) {
      case Step::Socket:
        line = "Error: Socket init failed.\n";
        break;
      case Step::Bind:
        line = "Error: Bind client ip&port failed.\n";
        break;
      case Step::Connect:
        line = std::string("Error: Connect failed. target IP:") +
               (targetIP != nullptr ? targetIP : "(null)") + "\n";
        break;
      default:
        break;  // a packet length: nothing on standard output
    }
    endProcess(ready.error(), line.c_str());
  }
  std::printf("UDP Initialized. Port: %d \n", port);
}

void UDP::allocateBuffers() {
  recvTemp = std::make_unique<char[]>(recvLength);
  recvBuf = std::make_unique<char[]>(recvLength);
  sendBuf = std::make_unique<char[]>(sendLength);
  recvBatch = std::make_unique<DatagramBatch>(recvLength);
  batchNext = 0;
  batchCount = 0;
}

int UDP::Send() {
  if (!connected.load(std::memory_order_acquire)) return 0;
  ssize_t sent;
  {
    std::lock_guard<std::mutex> lock(sendMut);
    sent = send(sockFd, sendBuf.get(), sendLength, 0);
    PacketTap* const tap = tap_.load(std::memory_order_acquire);
    if (tap != nullptr && sent >= 0) {
      tap->commands.push(sendBuf.get(), sendLength, monotonicNanoseconds());
    }
  }
  ++udpState.SendCount;
  health_.onSend(addrRecv);
  return static_cast<int>(sent);
}

int UDP::Recv() {
  char* const temp = recvTemp.get();
  DatagramBatch& batch = *recvBatch;
  // Each datagram overwrites the scratch from its first byte; what lies
  // beyond the longest one of this call is zeroed afterwards, which leaves
  // the same bytes as zeroing it all beforehand.
  int longest = 0;
  // Link health counts as arrived only the datagrams with a good checksum.
  // The newest of this call is judged in the scratch; one that a newer one
  // replaces is judged in its batch slot when the next comes, or before the
  // slots are refilled (kept aside then, as it may turn out the newest).
  int replacedGood = 0;
  int inScratch = -1;  ///< the batch slot of the datagram in the scratch
  bool setAside = false, setAsideGood = false;
  auto goodInSlot = [&](int i) {
    return batch.length(i) == recvLength &&
           checksumMatches(batch.data(i), static_cast<size_t>(recvLength));
  };
  bool queueMayHoldMore = true;
  for (;;) {
    if (batchNext == batchCount) {
      if (!queueMayHoldMore) break;
      if (inScratch >= 0) {
        setAside = true;
        setAsideGood = goodInSlot(inScratch);
        inScratch = -1;
      }
      batchCount = batch.receive(sockFd);
      batchNext = 0;
      queueMayHoldMore = batchCount == DatagramBatch::kCapacity;
      if (batchCount == 0) break;
    }
    const int i = batchNext++;
    const bool haveClient = connected.load(std::memory_order_relaxed);
    // Other senders' datagrams that queued before the peer was set.
    if (haveClient && !fromPeer(batch.sender(i))) continue;
    const int length = batch.length(i);
    // An empty datagram ends the drain, as a read that returns nothing does;
    // what the batch holds behind it waits for the next call.
    if (length == 0) break;
    if (!haveClient && !acceptClient(batch.sender(i))) continue;
    if (inScratch >= 0 && goodInSlot(inScratch)) {
      ++replacedGood;
      health_.onReplaced(batch.data(inScratch), recvLength);
    }
    if (setAside && setAsideGood) {
      ++replacedGood;
      health_.onReplaced(temp, recvLength);
    }
    setAside = false;
    std::memcpy(temp, batch.data(i), static_cast<size_t>(length));
    inScratch = i;
    longest = std::max(longest, length);
  }
  // With nothing received the scratch is all zeros: its stored checksum 0
  // never matches, as the checksum register starts non-zero and zero words
  // never bring it to zero. So skip computing it.
  if (longest == 0) {
    ++udpState.RecvCRCError;
    health_.onEmptyPoll(addrRecv);
    return -3;
  }
  std::memset(temp + longest, 0, static_cast<size_t>(recvLength - longest));
  if (!checksumMatches(temp, static_cast<size_t>(recvLength))) {
    ++udpState.RecvCRCError;
    health_.onChecksumFailure(replacedGood + 1, addrRecv);
    return -3;
  }
  {
    std::lock_guard<std::mutex> lock(recvMut);
    std::memcpy(recvBuf.get(), temp, static_cast<size_t>(recvLength));
  }
  ++udpState.RecvCount;
  if (PacketTap* const tap = tap_.load(std::memory_order_acquire)) {
    tap->states.push(temp, recvLength, monotonicNanoseconds());
  }
  health_.onAccepted(temp, recvLength, replacedGood + 1, addrRecv);
  return 0;
}

bool UDP::fromPeer(const sockaddr_in& sender) const noexcept {
  return sender.sin_addr.s_addr == addrRecv.sin_addr.s_addr && sender.sin_port == addrRecv.sin_port;
}

// Server mode: the sender of the first datagram becomes the peer for good.
bool UDP::acceptClient(const sockaddr_in& sender) {
  if (connect(sockFd, reinterpret_cast<const sockaddr*>(&sender), sizeof sender) != 0) {
    const Error failed = socketCallError(Step::Connect, "connect client", sender);
    if (!quiet_) endProcess(failed, "Error: Connect client failed.\n");
    logMessage(LogLevel::Error, "udp", "%s", failed.message.c_str());
    return false;
  }
  addrRecv = sender;
  inet_ntop(AF_INET, &addrRecv.sin_addr, clientAddress, sizeof clientAddress);
  targetIP = clientAddress;
  connected.store(true, std::memory_order_release);
  if (quiet_) {
    logMessage(LogLevel::Info, "udp", "client connected: %s", targetIP);
  } else {
    std::printf("Client connected! Client IP:%s\n", targetIP);
  }
  return true;
}

void UDP::InitCmdData(HighCmd& cmd) {
  cmd.levelFlag = levelFlag;
}

void UDP::InitCmdData(LowCmd& cmd) {
  cmd.levelFlag = levelFlag;
  for (MotorCmd& motor : cmd.motorCmd) {
    motor.mode = 0x0A;
    motor.q = static_cast<float>(PosStopF);
    motor.dq = static_cast<float>(VelStopF);
    motor.tau = 0.0f;
    motor.Kp = 0.0f;
    motor.Kd = 0.0f;
  }
}

void UDP::switchLevel(int level) {
  const PacketLengths lengths = packetLengthsOf(level);
  sendLength = lengths.send;
  recvLength = lengths.recv;
  allocateBuffers();
  sleep(1);
}

// The record variants copy at most their record's size, so that one used on
// an endpoint of the other level never reads or writes past the record.

int UDP::SetSend(HighCmd& cmd) {
  if (otherLevelLengths(kSetSendHigh, sendLength, recvLength)) {
    warnOtherLevel(kSetSendHigh, sendLength, recvLength, levelMismatchWarned_);
  }
  cmd.crc = packetChecksum(&cmd, HIGH_CMD_LENGTH);
  std::lock_guard<std::mutex> lock(sendMut);
  std::memcpy(sendBuf.get(), &cmd, static_cast<size_t>(std::min(sendLength, HIGH_CMD_LENGTH)));
  return 0;
}

int UDP::SetSend(LowCmd& cmd) {
  if (otherLevelLengths(kSetSendLow, sendLength, recvLength)) {
    warnOtherLevel(kSetSendLow, sendLength, recvLength, levelMismatchWarned_);
  }
  // On the stack: endpoints driven from different threads share nothing.
  LowCmd_t wire;
  copyHeader(cmd, wire);
  for (int k = 0; k < 20; ++k) wire.motorCmd[k] = encodeMotorCmd(cmd.motorCmd[k]);
  std::memcpy(wire.led, cmd.led, sizeof wire.led);
  std::memcpy(wire.wirelessRemote, cmd.wirelessRemote, sizeof wire.wirelessRemote);
  wire.reserve = cmd.reserve;
  wire.crc = packetChecksum(&wire, LOW_CMD_LENGTH);

  std::lock_guard<std::mutex> lock(sendMut);
  std::memcpy(sendBuf.get(), &wire, static_cast<size_t>(std::min(sendLength, LOW_CMD_LENGTH)));
  return 0;
}

int UDP::SetSend(char* cmd) {
  stampChecksum(cmd, static_cast<size_t>(sendLength));
  std::lock_guard<std::mutex> lock(sendMut);
  std::memcpy(sendBuf.get(), cmd, static_cast<size_t>(sendLength));
  return 0;
}

void UDP::GetRecv(HighState& state) {
  if (otherLevelLengths(kGetRecvHigh, sendLength, recvLength)) {
    warnOtherLevel(kGetRecvHigh, sendLength, recvLength, levelMismatchWarned_);
  }
  std::lock_guard<std::mutex> lock(recvMut);
  std::memcpy(&state, recvBuf.get(), static_cast<size_t>(std::min(recvLength, HIGH_STATE_LENGTH)));
}

void UDP::GetRecv(LowState& state) {
  if (otherLevelLengths(kGetRecvLow, sendLength, recvLength)) {
    warnOtherLevel(kGetRecvLow, sendLength, recvLength, levelMismatchWarned_);
  }
  // On the stack, as in SetSend(LowCmd&). Zeroed first: a shorter packet
  // leaves the rest of the record zero.
  LowState_t wire{};
  {
    std::lock_guard<std::mutex> lock(recvMut);
    std::memcpy(&wire, recvBuf.get(), static_cast<size_t>(std::min(recvLength, LOW_STATE_LENGTH)));
  }
  decodeLowState(wire, state);
}

void UDP::GetRecv(char* recv) {
  std::lock_guard<std::mutex> lock(recvMut);
  std::memcpy(recv, recvBuf.get(), static_cast<size_t>(recvLength));
}

}  // namespace KALVENT_LEGGED_SDK
