#include "link_check.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "kalvent_legged_sdk/clock.h"
#include "kalvent_legged_sdk/udp.h"
#include "wire.h"

namespace kalvent_linkcheck {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

constexpr int64_t kPeriodNs = sdk::kNanosecondsPerSecond / kLinkRateHz;

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

}  // namespace

sdk::Result<LinkResult> runLinkCheck(const Options& options) {
  auto opened = sdk::UDP::open(static_cast<uint16_t>(options.localPort), options.address.c_str(),
                               static_cast<uint16_t>(options.port),
                               options.lowLevel ? sdk::LOW_CMD_LENGTH : sdk::HIGH_CMD_LENGTH,
                               options.lowLevel ? sdk::LOW_STATE_LENGTH : sdk::HIGH_STATE_LENGTH);
  if (!opened) return opened.error();
  sdk::UDP& udp = *opened.value();
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

  int64_t next = sdk::monotonicNanoseconds();
  for (size_t period = 0; period < periods; ++period) {
    noteStale();
    if (health.anyValid()) ages.push_back(health.stateAge() * 1e3);
    udp.Send();
    const int64_t sentAt = sdk::monotonicNanoseconds();
    bool awaiting = true;
    ++r.sent;
    next += kPeriodNs;
    // Receive each state the moment it arrives until the next send is due.
    for (int64_t now = sentAt; now < next; now = sdk::monotonicNanoseconds()) {
      pollfd wait{udp.socketFd(), POLLIN, 0};
      const timespec timeout = sdk::timespecOf(next - now);
      if (ppoll(&wait, 1, &timeout, nullptr) <= 0) continue;
      const int64_t arrived = sdk::monotonicNanoseconds();
      if (udp.Recv() == 0 && awaiting) {
        sendToState.push_back(static_cast<double>(arrived - sentAt) / 1e6);
        awaiting = false;
      }
      noteStale();
    }
    // After a stall (a loaded machine), carry on at the rate instead of
    // sending the missed periods in a burst.
    const int64_t now = sdk::monotonicNanoseconds();
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
  return r;
}

}  // namespace kalvent_linkcheck
