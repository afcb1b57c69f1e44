#include "udp_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace kalvent_test {

Peer::Peer(const char* address, uint16_t port) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = inet_addr(address);
  socklen_t length = sizeof at;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    throw std::runtime_error("peer socket set-up failed");
  }
  port_ = ntohs(at.sin_port);
  // Room for a few seconds of states: a test that checks every datagram of
  // a stream must not lose some to the kernel while a loaded machine keeps
  // it from reading. Beyond the system's limit where allowed (root).
  const int bytes = 4 << 20;
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

Peer::~Peer() {
  close(fd_);
}

void Peer::sendTo(uint16_t port, const Bytes& datagram) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void Peer::reply(const Bytes& datagram) const {
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&lastSource_),
         sizeof lastSource_);
}

size_t Peer::receiveInto(void* buffer, size_t size, int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return 0;
  socklen_t length = sizeof lastSource_;
  const ssize_t got =
      recvfrom(fd_, buffer, size, 0, reinterpret_cast<sockaddr*>(&lastSource_), &length);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

uint16_t freePort() {
  return Peer("0.0.0.0").port();
}

void settle() {
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

bool recvUntilStored(KALVENT_LEGGED_SDK::UDP& endpoint) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline) {
    if (endpoint.Recv() == 0) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

Bytes goodPacket(size_t length, unsigned seed) {
  Bytes packet(length);
  for (size_t i = 0; i < length; ++i) packet[i] = static_cast<unsigned char>(seed * 31 + i * 7);
  stamp(packet);
  return packet;
}

}  // namespace kalvent_test
