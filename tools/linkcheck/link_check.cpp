#include "link_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "kalvent_legged_sdk/udp.h"
#include "wire.h"

namespace kalvent_linkcheck {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

constexpr int64_t kPeriodNs = 1000000000 / kLinkRateHz;

// The endpoint ends the process when it cannot bind; a taken port (a control
// program already running, say) deserves a plain answer instead.
bool portFree(int port, std::string* error) {
  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  const bool bound =
      probe >= 0 && bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  if (!bound) {
    *error = "cannot bind local port " + std::to_string(port) + ": " + std::strerror(errno) +
             " (is a control program using it? try --local-port 0)";
  }
  if (probe >= 0) close(probe);
  return bound;
}

int boundPort(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

// Stores the harmless command of the endpoint's level: no torque, no motion.
void storeIdleCommand(sdk::UDP& udp, bool lowLevel) {
  if (lowLevel) {
    sdk::LowCmd cmd{};
    udp.InitCmdData(cmd);
    cmd.levelFlag = sdk::LOWLEVEL;
    for (sdk::MotorCmd& motor : cmd.motorCmd) motor.mode = 0;
    udp.SetSend(cmd);
  } else {
    sdk::HighCmd cmd{};
    udp.InitCmdData(cmd);
    cmd.levelFlag = sdk::HIGHLEVEL;
    cmd.mode = 0;
    udp.SetSend(cmd);
  }
}

timespec toTimespec(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

// The endpoint ends the process when it cannot connect; a probe socket
// connected the same way tells first.
bool addressUsable(const Options& options, std::string* error) {
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<uint16_t>(options.port));
  if (inet_pton(AF_INET, options.address.c_str(), &remote.sin_addr) != 1) {
    *error = "--address " + options.address + " is not an IPv4 address";
    return false;
  }
  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const bool connected =
      probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
  const int failure = errno;
  if (probe >= 0) close(probe);
  if (!connected) {
    *error = "cannot send to --address " + options.address + " port " +
             std::to_string(options.port) + ": " + std::strerror(failure);
  }
  return connected;
}

bool runLinkCheck(const Options& options, LinkResult* result, std::string* error) {
  if (!portFree(options.localPort, error)) return false;
  sdk::UDP udp(static_cast<uint16_t>(options.localPort), options.address.c_str(),
               static_cast<uint16_t>(options.port),
               options.lowLevel ? sdk::LOW_CMD_LENGTH : sdk::HIGH_CMD_LENGTH,
               options.lowLevel ? sdk::LOW_STATE_LENGTH : sdk::HIGH_STATE_LENGTH);
  sdk::LinkHealth& health = udp.linkHealth();
  health.setWarnings(false);
  storeIdleCommand(udp, options.lowLevel);

  LinkResult r;
  r.localPort = boundPort(udp.socketFd());
  const double staleSeconds = options.staleMs / 1e3;
  const auto periods = static_cast<size_t>(options.seconds * kLinkRateHz);
  std::vector<double> ages;
  std::vector<double> sendToState;
  ages.reserve(periods);
  sendToState.reserve(periods);
  bool wasStale = false;
  const auto noteStale = [&] {
    const bool stale = health.anyValid() && health.stale(staleSeconds);
    if (stale && !wasStale) ++r.staleEpisodes;
    wasStale = stale;
  };

  int64_t next = monotonicNs();
  for (size_t period = 0; period < periods; ++period) {
    noteStale();
    if (health.anyValid()) ages.push_back(health.stateAge() * 1e3);
    udp.Send();
    const int64_t sentAt = monotonicNs();
    bool awaiting = true;
    ++r.sent;
    next += kPeriodNs;
    // Receive each state the moment it arrives until the next send is due.
    for (int64_t now = sentAt; now < next; now = monotonicNs()) {
      pollfd wait{udp.socketFd(), POLLIN, 0};
      const timespec timeout = toTimespec(next - now);
      if (ppoll(&wait, 1, &timeout, nullptr) <= 0) continue;
      const int64_t arrived = monotonicNs();
      if (udp.Recv() == 0 && awaiting) {
        sendToState.push_back(static_cast<double>(arrived - sentAt) / 1e6);
        awaiting = false;
      }
      noteStale();
    }
    // After a stall (a loaded machine), carry on at the rate instead of
    // sending the missed periods in a burst.
    const int64_t now = monotonicNs();
    if (now > next + kPeriodNs) next = now;
  }

  r.received = health.validPackets();
  r.checksumFailures = health.checksumFailures();
  r.emptyPolls = health.emptyPolls();
  r.tickRestarts = health.tickRestarts();
  r.lossRun = health.overallLoss();
  r.lossRecent = health.recentLoss();
  r.stateAgeMs = summarize(ages);
  r.sendToStateMs = summarize(sendToState);
  r.answered = health.anyValid();
  *result = r;
  return true;
}

}  // namespace kalvent_linkcheck
