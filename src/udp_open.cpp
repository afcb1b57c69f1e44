// The endpoint's set-up steps, which report their failures, and the open
// factories that hand them to the program.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "kalvent_legged_sdk/udp.h"
#include "level_lengths.h"
#include "udp_setup.h"

namespace KALVENT_LEGGED_SDK {

namespace {

sockaddr_in ipv4(in_addr_t address, uint16_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = address;
  at.sin_port = htons(port);
  return at;
}

// Hands out the endpoint once its set-up went through, or the error.
Result<std::unique_ptr<UDP>> opened(std::unique_ptr<UDP> endpoint, const Result<void>& setUp) {
  if (!setUp) return setUp.error();
  return endpoint;
}

}  // namespace

Error socketCallError(Step step, const char* call, const sockaddr_in& at) {
  const int error = errno;
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &at.sin_addr, address, sizeof address);
  return Error{step, error,
               std::string(call) + " " + address + ":" + std::to_string(ntohs(at.sin_port)) + ": " +
                   std::strerror(error)};
}

Result<void> UDP::setUp(uint16_t port, const char* peerIP, uint16_t peerPort) {
  // The last four bytes of every packet hold its checksum.
  if (sendLength < 4 || recvLength < 4) {
    char message[120];
    std::snprintf(message, sizeof message,
                  "UDP: packet lengths must be at least 4 bytes (the checksum's), got send %d, "
                  "receive %d",
                  sendLength, recvLength);
    return Error{Step::PacketLength, 0, message};
  }
  targetPort = peerPort;
  localPort = port;
  allocateBuffers();

  const sockaddr_in local = ipv4(htonl(INADDR_ANY), port);
  // Non-blocking from its creation, so that no failure can leave Recv a
  // socket that waits.
  sockFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (sockFd < 0) return socketCallError(Step::Socket, "socket", local);
  if (bind(sockFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return socketCallError(Step::Bind, "bind", local);
  }

  addrRecv = ipv4(0, peerPort);
  if (!connected.load(std::memory_order_relaxed)) return {};
  if (peerIP == nullptr || inet_aton(peerIP, &addrRecv.sin_addr) == 0) {
    return Error{Step::Connect, EINVAL,
                 std::string("connect: target IP \"") + (peerIP != nullptr ? peerIP : "(null)") +
                     "\" is not an IPv4 address in dotted-decimal form (host names are not "
                     "looked up)"};
  }
  if (connect(sockFd, reinterpret_cast<const sockaddr*>(&addrRecv), sizeof addrRecv) != 0) {
    return socketCallError(Step::Connect, "connect", addrRecv);
  }
  // What the kernel made of the address (0.0.0.0 becomes a local one): the
  // source that Recv accepts.
  socklen_t length = sizeof addrRecv;
  getpeername(sockFd, reinterpret_cast<sockaddr*>(&addrRecv), &length);
  return {};
}

Result<std::unique_ptr<UDP>> UDP::openLevel(uint8_t level, HighLevelType highControl) {
  const Result<PacketLengths> lengths = levelPacketLengths("UDP", level);
  if (!lengths) return lengths.error();
  const char* const controller =
      highControl == HighLevelType::Sport ? UDP_SERVER_IP_SPORT : UDP_SERVER_IP_BASIC;
  std::unique_ptr<UDP> endpoint(
      new UDP(Unopened{}, level, controller, false, lengths->send, lengths->recv));
  const Result<void> ready = endpoint->setUp(UDP_CLIENT_PORT, controller, UDP_SERVER_PORT);
  return opened(std::move(endpoint), ready);
}

Result<std::unique_ptr<UDP>> UDP::open(uint16_t localPort, const char* targetIP,
                                       uint16_t targetPort, int sendLength, int recvLength) {
  std::unique_ptr<UDP> endpoint(
      new UDP(Unopened{}, HIGHLEVEL, targetIP, false, sendLength, recvLength));
  const Result<void> ready = endpoint->setUp(localPort, targetIP, targetPort);
  return opened(std::move(endpoint), ready);
}

Result<std::unique_ptr<UDP>> UDP::openServer(uint16_t localPort, uint16_t targetPort,
                                             int sendLength, int recvLength) {
  std::unique_ptr<UDP> endpoint(
      new UDP(Unopened{}, HIGHLEVEL, nullptr, true, sendLength, recvLength));
  const Result<void> ready = endpoint->setUp(localPort, nullptr, targetPort);
  return opened(std::move(endpoint), ready);
}

}  // namespace KALVENT_LEGGED_SDK
