#include <cstdlib>
#include <cstring>
#include <lcm/lcm-cpp.hpp>
#include <stdexcept>
#include <type_traits>

#include "clock.h"
#include "kalvent_legged_sdk/lcm.h"
#include "record_codec.h"
#include "server.h"
#include "sources.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_dash {

namespace {

constexpr int kPollMs = 100;  // how soon the thread notices it should stop

// A message of the bridge, taken when it is exactly the size of the
// program's record `Message` (the bridge's rule), as the recorded record
// that says the same: the page reads recordings' records only.
template <typename Message, typename Record>
bool recordOf(const lcm::ReceiveBuffer* buffer, Record* record) {
  if (buffer->data_size != sizeof(Message)) return false;
  const auto* bytes = static_cast<const char*>(buffer->data);
  if constexpr (std::is_same_v<Message, sdk::HighState>) {
    // The bridge's high-level state is the packet itself.
    sdk::decodePacket(bytes, *record);
  } else {
    Message message;
    std::memcpy(&message, bytes, sizeof message);
    sdk::decodeRecord(message, *record);
  }
  return true;
}

// A state of the bridge onto the page, timed as it arrived.
template <typename Message, typename Record>
void deliverState(const lcm::ReceiveBuffer* buffer, const std::string&, Server* server) {
  const int64_t ns = monotonicNs();
  const double wall = wallMs();
  Record record;
  if (recordOf<Message>(buffer, &record)) server->deliver(sampleOf(record), ns, wall);
}

}  // namespace

LcmSource::LcmSource(Server& server) : server_(server), lcm_(std::make_unique<lcm::LCM>()) {
  if (!lcm_->good()) {
    throw std::runtime_error("LCM cannot be set up (LCM_DEFAULT_URL: " + url() + ")");
  }
  // Only subscriptions: this side never publishes.
  lcm_->subscribeFunction(sdk::lowStateChannel,
                          &deliverState<sdk::LowState, kalvent_log::low_state>, &server_);
  lcm_->subscribeFunction(sdk::highStateChannel,
                          &deliverState<sdk::HighState, kalvent_log::high_state>, &server_);
  lcm_->subscribeFunction(
      sdk::lowCmdChannel,
      +[](const lcm::ReceiveBuffer* b, const std::string&, Server* s) {
        kalvent_log::low_cmd cmd;
        if (recordOf<sdk::LowCmd>(b, &cmd)) s->deliver(targetsOf(cmd), monotonicNs());
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
