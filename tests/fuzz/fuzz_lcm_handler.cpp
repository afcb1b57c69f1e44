// The LCM bridge's message handlers with arbitrary payloads on each channel:
// a payload of exactly the record's size becomes the newest record, marks
// the handler running and resets its counter; any other leaves all three as
// they were.
//
// Input: byte 0 modulo 4 chooses the channel (high command, high state, low
// command, low state); the rest is the payload.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kalvent_legged_sdk.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "handler rule broken: %s\n", what);
  std::abort();
}

template <typename T>
void deliver(const char* channel, const uint8_t* payload, size_t size) {
  static sdk::LCMHandler<T> handler;
  handler.counter = 7;  // as a user counting the record's age would leave it
  std::vector<uint8_t> before(sizeof(T));
  std::memcpy(before.data(), &handler.sourceBuf, sizeof(T));
  const bool wasRunning = handler.isrunning;

  // LCM hands the handler its own copy of the message.
  std::vector<uint8_t> message(payload, payload + size);
  lcm::ReceiveBuffer buffer{message.data(), static_cast<uint32_t>(size), 0};
  handler.onMsg(&buffer, std::string(channel));

  if (size == sizeof(T)) {
    check(handler.isrunning, "a record marks the handler running");
    check(handler.counter == 0, "a record resets the counter");
    check(std::memcmp(&handler.sourceBuf, payload, sizeof(T)) == 0, "the record is stored");
  } else {
    check(handler.isrunning == wasRunning, "another length leaves isrunning");
    check(handler.counter == 7, "another length leaves the counter");
    check(std::memcmp(&handler.sourceBuf, before.data(), sizeof(T)) == 0,
          "another length leaves the record");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* payload = data + 1;
  const size_t length = size - 1;
  switch (data[0] % 4) {
    case 0:
      deliver<sdk::HighCmd>(sdk::highCmdChannel, payload, length);
      break;
    case 1:
      deliver<sdk::HighState>(sdk::highStateChannel, payload, length);
      break;
    case 2:
      deliver<sdk::LowCmd>(sdk::lowCmdChannel, payload, length);
      break;
    default:
      deliver<sdk::LowState>(sdk::lowStateChannel, payload, length);
      break;
  }
  return 0;
}
