// Far ends of UDP endpoints under test, and helpers to build and check
// packets byte by byte.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "crc32_oracle.h"
#include "kalvent_legged_sdk/udp.h"
#include "wire.h"

namespace kalvent_test {

using Bytes = std::vector<unsigned char>;

// A plain UDP socket bound to `address`:`port` (port 0: any free one).
class Peer {
 public:
  explicit Peer(const char* address = "127.0.0.1", uint16_t port = 0);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  uint16_t port() const { return port_; }
  // Sends one datagram to 127.0.0.1:`port`.
  void sendTo(uint16_t port, const Bytes& datagram) const;
  // Sends one datagram to where the last one received came from.
  void reply(const Bytes& datagram) const;
  // Waits up to `timeoutMs` for one datagram, copied into the caller's
  // buffer without allocating: its length, or 0 on timeout.
  size_t receiveInto(void* buffer, size_t size, int timeoutMs = 2000);
  // The same as a vector; empty on timeout.
  Bytes receive(int timeoutMs = 2000) {
    Bytes datagram(65536);
    datagram.resize(receiveInto(datagram.data(), datagram.size(), timeoutMs));
    return datagram;
  }
  // Port the last datagram received came from, host order.
  uint16_t lastSourcePort() const { return ntohs(lastSource_.sin_port); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in lastSource_{};
};

// A local port that no socket holds at the moment of the call.
uint16_t freePort();

// Gives the loopback device time to deliver what was just sent.
void settle();

// Calls Recv until it stores a packet; false if none came within 2 s.
bool recvUntilStored(KALVENT_LEGGED_SDK::UDP& endpoint);

// An endpoint on loopback with its own peer (explicit-peer constructor).
struct Link {
  Link(int sendLength, int recvLength)
      : endpoint(freePort(), "127.0.0.1", peer.port(), sendLength, recvLength) {}

  // Sends the stored packet once and returns it as the peer got it.
  Bytes sent() {
    endpoint.Send();
    return peer.receive();
  }

  // Sends `packet` from the peer and lets the endpoint accept it.
  bool deliver(const Bytes& packet) {
    peer.sendTo(endpoint.localPort, packet);
    return recvUntilStored(endpoint);
  }

  Peer peer;
  KALVENT_LEGGED_SDK::UDP endpoint;
};

// Checksum of a packet as the bit-serial definition gives it for its length.
inline uint32_t checksumOf(const Bytes& packet) {
  return crc32BitSerial(packet.data(), static_cast<uint32_t>(packet.size() / 4 - 1));
}

// Field writer (returning the value written) and reader on a packet image;
// both targets are little-endian, like the wire.
template <typename T>
T put(Bytes& packet, size_t offset, T value) {
  std::memcpy(packet.data() + offset, &value, sizeof value);
  return value;
}

template <typename T>
T get(const Bytes& packet, size_t offset) {
  T value;
  std::memcpy(&value, packet.data() + offset, sizeof value);
  return value;
}

// Writes the checksum of the bit-serial definition into the packet's last
// four bytes.
inline void stamp(Bytes& packet) {
  KALVENT_LEGGED_SDK::storeLittleEndian(packet.data() + packet.size() - 4, checksumOf(packet));
}

// A packet of `length` bytes of varied content with a correct checksum.
Bytes goodPacket(size_t length, unsigned seed);

template <typename Record>
Bytes bytesOf(const Record& record) {
  Bytes out(sizeof record);
  std::memcpy(out.data(), &record, sizeof record);
  return out;
}

}  // namespace kalvent_test
