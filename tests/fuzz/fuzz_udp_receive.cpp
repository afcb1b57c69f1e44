// Arbitrary datagrams into a high-level and a low-level endpoint over
// loopback, then Recv, GetRecv and the decode, each checked against a model
// of the receive rules: the datagrams of one Recv overwrite a zeroed scratch
// from its first byte, cut to the packet length; an empty datagram ends the
// call's reading; the result is stored only when its checksum holds.
//
// Input: byte 0 chooses the endpoint (bit 0: low level) and whether every
// datagram at least a packet long gets a correct checksum stamped over its
// first packet-length bytes (bit 1), so that accepted packets are reached.
// Then up to 16 datagrams, each a little-endian 16-bit length (modulo 1200)
// followed by that many bytes (fewer where the input ends).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kalvent_legged_sdk.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "receive rule broken: %s\n", what);
  std::abort();
}

void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

uint32_t loadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int16_t loadLE16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}

// The library's checksum: fuzz_crc32 holds it to the definition, and the
// definition's bit loop under coverage tracing would slow this target tenfold.
uint32_t checksumOf(uint8_t* packet, int length) {
  return sdk::crc32(reinterpret_cast<uint32_t*>(packet), sdk::crcWords(length));
}

// A loopback endpoint with its own peer socket, kept across inputs.
struct Link {
  int peer = -1;  // the endpoint's peer: sends to it
  sdk::UDP* endpoint = nullptr;
  int recvLength = 0;
  Bytes stored;  // the model's stored packet

  Link(int sendLength, int recvLength) : recvLength(recvLength), stored(recvLength, 0) {
    static const char kLoopback[] = "127.0.0.1";
    peer = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (peer < 0 || bind(peer, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(peer, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      fail("loopback peer socket");
    }
    endpoint = new sdk::UDP(0, kLoopback, ntohs(address.sin_port), sendLength, recvLength);
    size = sizeof address;
    if (getsockname(endpoint->socketFd(), reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        connect(peer, reinterpret_cast<sockaddr*>(&address), size) != 0) {
      fail("connecting the peer to the endpoint");
    }
  }

  // One Recv over `datagrams`, which it reads to their end or to the first
  // empty one; returns how many it read.
  size_t receive(const std::vector<Bytes>& datagrams, size_t first) {
    Bytes scratch(recvLength, 0);
    size_t next = first;
    for (; next < datagrams.size(); ++next) {
      const Bytes& d = datagrams[next];
      if (d.empty()) {
        ++next;
        break;
      }
      std::copy_n(d.begin(), std::min<size_t>(d.size(), recvLength), scratch.begin());
    }
    const bool good =
        checksumOf(scratch.data(), recvLength) == loadLE32(scratch.data() + recvLength - 4);
    const sdk::UDPState before = endpoint->udpState;
    const int result = endpoint->Recv();
    check(result == (good ? 0 : -3), "Recv's result");
    check(endpoint->udpState.RecvCount == before.RecvCount + (good ? 1 : 0), "RecvCount");
    check(endpoint->udpState.RecvCRCError == before.RecvCRCError + (good ? 0 : 1), "RecvCRCError");
    if (good) stored = scratch;
    return next;
  }
};

Link& highLink() {
  static Link link(sdk::HIGH_CMD_LENGTH, sdk::HIGH_STATE_LENGTH);
  return link;
}

Link& lowLink() {
  static Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  return link;
}

void checkStored(Link& link) {
  Bytes raw(link.recvLength);
  link.endpoint->GetRecv(reinterpret_cast<char*>(raw.data()));
  check(raw == link.stored, "GetRecv(char*) differs from the accepted packet");
  if (link.recvLength == sdk::HIGH_STATE_LENGTH) {
    sdk::HighState state;
    link.endpoint->GetRecv(state);
    check(std::memcmp(&state, raw.data(), sizeof state) == 0, "GetRecv(HighState&)");
    return;
  }
  sdk::LowState state;
  std::memset(&state, 0xA5, sizeof state);
  link.endpoint->GetRecv(state);
  const auto* out = reinterpret_cast<const uint8_t*>(&state);
  const uint8_t* in = raw.data();
  auto same = [&](size_t outAt, size_t inAt, size_t n) {
    return std::memcmp(out + outAt, in + inAt, n) == 0;
  };
  auto floatAt = [&](size_t at) {
    float f;
    std::memcpy(&f, out + at, sizeof f);
    return f;
  };
  check(same(0, 0, offsetof(sdk::LowState, motorState)), "header and IMU copied");
  for (int k = 0; k < 20; ++k) {
    const size_t o = offsetof(sdk::LowState, motorState) + k * sizeof(sdk::MotorState);
    const size_t i = offsetof(sdk::LowState_t, motorState) + k * sizeof(sdk::MotorState_t);
    check(same(o + offsetof(sdk::MotorState, mode), i + offsetof(sdk::MotorState_t, mode), 9),
          "mode, q, dq copied");
    check(floatAt(o + offsetof(sdk::MotorState, ddq)) ==
              loadLE16(in + i + offsetof(sdk::MotorState_t, ddq)),
          "ddq unscaled");
    check(floatAt(o + offsetof(sdk::MotorState, tauEst)) ==
              loadLE16(in + i + offsetof(sdk::MotorState_t, tauEst)) / 256.0f,
          "tauEst = wire / 256");
    check(same(o + offsetof(sdk::MotorState, q_raw), i + offsetof(sdk::MotorState_t, q_raw), 8),
          "q_raw, dq_raw copied");
    check(floatAt(o + offsetof(sdk::MotorState, ddq_raw)) ==
              loadLE16(in + i + offsetof(sdk::MotorState_t, ddq_raw)),
          "ddq_raw unscaled");
    check(same(o + offsetof(sdk::MotorState, temperature),
               i + offsetof(sdk::MotorState_t, temperature), 9),
          "temperature and reserve copied");
  }
  check(same(offsetof(sdk::LowState, footForce), offsetof(sdk::LowState_t, footForce), 8),
        "footForce copied");
  check(same(offsetof(sdk::LowState, tick), offsetof(sdk::LowState_t, tick), 48),
        "tick, wirelessRemote and reserve copied");
  check(loadLE32(out + offsetof(sdk::LowState, crc)) == 0xA5A5A5A5u, "the caller's crc kept");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Link& link = (data[0] & 1) ? lowLink() : highLink();
  const bool stamp = (data[0] & 2) != 0;
  std::vector<Bytes> datagrams;
  for (size_t at = 1; at + 2 <= size && datagrams.size() < 16;) {
    const size_t wanted = (data[at] | data[at + 1] << 8) % 1200;
    at += 2;
    const size_t n = std::min(wanted, size - at);
    Bytes d(data + at, data + at + n);
    at += n;
    if (stamp && d.size() >= static_cast<size_t>(link.recvLength)) {
      const uint32_t crc = checksumOf(d.data(), link.recvLength);
      for (int b = 0; b < 4; ++b) d[link.recvLength - 4 + b] = static_cast<uint8_t>(crc >> 8 * b);
    }
    datagrams.push_back(std::move(d));
  }
  for (const Bytes& d : datagrams) {
    if (send(link.peer, d.data(), d.size(), 0) != static_cast<ssize_t>(d.size())) {
      fail("sending a datagram over loopback");
    }
  }
  size_t next = 0;
  do {
    next = link.receive(datagrams, next);
  } while (next < datagrams.size());
  checkStored(link);
  return 0;
}
