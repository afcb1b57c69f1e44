#include <cstdlib>
#include <cstring>
#include <lcm/lcm-cpp.hpp>
#include <stdexcept>

#include "clock.h"
#include "kalvent_legged_sdk/lcm.h"
#include "server.h"
#include "sources.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_dash {

namespace {

constexpr int kPollMs = 100;  // how soon the thread notices it should stop

// A record of exactly its size (the bridge's rule), copied out of the
// message.
template <typename Record>
bool recordOf(const lcm::ReceiveBuffer* buffer, Record* record) {
  if (buffer->data_size != sizeof(Record)) return false;
  std::memcpy(record, buffer->data, sizeof(Record));
  return true;
}

}  // namespace

LcmSource::LcmSource(Server& server) : server_(server), lcm_(std::make_unique<lcm::LCM>()) {
  if (!lcm_->good()) {
    throw std::runtime_error("LCM cannot be set up (LCM_DEFAULT_URL: " + url() + ")");
  }
  // Only subscriptions: this side never publishes.
  lcm_->subscribeFunction(
      sdk::lowStateChannel,
      +[](const lcm::ReceiveBuffer* b, const std::string&, Server* s) {
        const int64_t ns = monotonicNs();
        const double wall = wallMs();
        sdk::LowState state;
        if (recordOf(b, &state)) s->deliver(sampleOf(state), ns, wall);
      },
      &server_);
  lcm_->subscribeFunction(
      sdk::highStateChannel,
      +[](const lcm::ReceiveBuffer* b, const std::string&, Server* s) {
        const int64_t ns = monotonicNs();
        const double wall = wallMs();
        sdk::HighState state;
        if (recordOf(b, &state)) s->deliver(sampleOf(state), ns, wall);
      },
      &server_);
  lcm_->subscribeFunction(
      sdk::lowCmdChannel,
      +[](const lcm::ReceiveBuffer* b, const std::string&, Server* s) {
        sdk::LowCmd cmd;
        if (recordOf(b, &cmd)) s->deliver(targetsOf(cmd), monotonicNs());
      },
      &server_);
  // High-level commands carry nothing the page shows; listened to so that
  // all four channels are taken in alike (and dropped).
  lcm_->subscribeFunction(
      sdk::highCmdChannel, +[](const lcm::ReceiveBuffer*, const std::string&, Server*) {},
      &server_);
  thread_ = std::thread([this] { run(); });
}

LcmSource::~LcmSource() {
  stop_ = true;
  thread_.join();
}

std::string LcmSource::url() {
  const char* u = std::getenv("LCM_DEFAULT_URL");
  return u != nullptr && *u != '\0' ? u : "default";
}

void LcmSource::run() {
  while (!stop_) lcm_->handleTimeout(kPollMs);
}

}  // namespace kalvent_dash
