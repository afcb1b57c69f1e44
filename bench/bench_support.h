// What the benchmarks share: loopback endpoints made by the non-exiting
// factories, which print nothing, so that a benchmark's figures stand alone
// on standard output; and plain loopback sockets for the raw baselines.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "kalvent_legged_sdk/result.h"
#include "kalvent_legged_sdk/udp.h"
#include "udp_peer.h"

namespace kalvent_bench {

// What a set-up call made, or std::runtime_error naming the failed step.
template <typename T>
T orThrow(KALVENT_LEGGED_SDK::Result<T> result) {
  if (!result) {
    throw std::runtime_error(std::string(KALVENT_LEGGED_SDK::stepName(result.error().step)) + ": " +
                             result.error().message);
  }
  return std::move(result).value();
}

// The local port a socket is bound to.
inline uint16_t boundPort(int fd) {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    throw std::runtime_error("getsockname failed");
  }
  return ntohs(at.sin_port);
}

// A UDP socket bound to 127.0.0.1 at a free port, and that port; throws
// std::runtime_error when there is none.
inline int loopbackSocket(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("no loopback socket");
  }
  *port = boundPort(fd);
  return fd;
}

// An endpoint at a free local port, connected to 127.0.0.1:`peerPort`;
// throws std::runtime_error when it cannot be made.
inline std::unique_ptr<KALVENT_LEGGED_SDK::UDP> loopbackEndpoint(uint16_t peerPort, int sendLength,
                                                                 int recvLength) {
  return orThrow(KALVENT_LEGGED_SDK::UDP::open(0, "127.0.0.1", peerPort, sendLength, recvLength));
}

// An endpoint on loopback with its own peer, as kalvent_test::Link, made by
// the open factory.
struct Link {
  Link(int sendLength, int recvLength)
      : endpoint(loopbackEndpoint(peer.port(), sendLength, recvLength)),
        port(boundPort(endpoint->socketFd())) {}

  // Sends `packet` from the peer and lets the endpoint accept it.
  bool deliver(const kalvent_test::Bytes& packet) {
    peer.sendTo(port, packet);
    return kalvent_test::recvUntilStored(*endpoint);
  }

  kalvent_test::Peer peer;
  std::unique_ptr<KALVENT_LEGGED_SDK::UDP> endpoint;
  uint16_t port;  // the endpoint's local port
};

}  // namespace kalvent_bench
