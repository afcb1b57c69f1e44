// kalvent_record: records the LCM bridge's channels (LCM_Low_Cmd,
// LCM_Low_State, LCM_High_Cmd, LCM_High_State) into a recording, each raw
// record decoded into the typed record of its channel, as a Recorder writes
// them.
//
// usage: kalvent_record FILE [SECONDS]   until SIGINT or SIGTERM, or SECONDS
#include <poll.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <lcm/lcm-cpp.hpp>
#include <string>
#include <vector>

#include "event_log.h"
#include "kalvent_legged_sdk/clock.h"
#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/lcm.h"
#include "record_codec.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

std::atomic<bool> stopRequested{false};

void onStopSignal(int) {
  stopRequested = true;
}

class BridgeRecorder {
 public:
  explicit BridgeRecorder(std::FILE* file) : file_(file) {}

  void onMessage(const lcm::ReceiveBuffer* buffer, const std::string& channel) {
    const int64_t now = sdk::monotonicNanoseconds();
    const auto* bytes = static_cast<const char*>(buffer->data);
    const size_t size = buffer->data_size;
    if (channel == sdk::lowCmdChannel && size == sizeof(sdk::LowCmd)) {
      writeLowLevel<sdk::LowCmd, kalvent_log::low_cmd>(sdk::kRecordedLowCmd, bytes, now);
    } else if (channel == sdk::lowStateChannel && size == sizeof(sdk::LowState)) {
      writeLowLevel<sdk::LowState, kalvent_log::low_state>(sdk::kRecordedLowState, bytes, now);
    } else if (channel == sdk::highCmdChannel && size == sizeof(sdk::HighCmd)) {
      kalvent_log::high_cmd record{};
      sdk::decodePacket(bytes, record);
      write(sdk::kRecordedHighCmd, record, now);
    } else if (channel == sdk::highStateChannel && size == sizeof(sdk::HighState)) {
      kalvent_log::high_state record{};
      sdk::decodePacket(bytes, record);
      write(sdk::kRecordedHighState, record, now);
    } else {
      ++wrongSize_;
      return;
    }
  }

  uint64_t events() const { return eventNumber_; }
  uint64_t wrongSize() const { return wrongSize_; }
  bool failed() const { return failed_; }

 private:
  // A low-level message of the bridge (the program's record, `Message`) as
  // its typed record.
  template <typename Message, typename Record>
  void writeLowLevel(const char* channel, const char* bytes, int64_t monotonicNs) {
    Message in;
    std::memcpy(&in, bytes, sizeof in);
    Record record{};
    sdk::decodeRecord(in, record);
    write(channel, record, monotonicNs);
  }

  template <typename Record>
  void write(const char* channel, Record& record, int64_t monotonicNs) {
    record.monotonic_ns = monotonicNs;
    encoded_.resize(static_cast<size_t>(record.getEncodedSize()));
    record.encode(encoded_.data(), 0, static_cast<int>(encoded_.size()));
    event_.clear();
    sdk::appendEvent(event_, eventNumber_++, sdk::wallClockMicroseconds(), channel, encoded_.data(),
                     encoded_.size());
    if (!failed_ && std::fwrite(event_.data(), 1, event_.size(), file_) != event_.size()) {
      std::fprintf(stderr, "kalvent_record: writing failed: %s; the recording ends here\n",
                   std::strerror(errno));
      failed_ = true;
    }
  }

  std::FILE* file_;
  std::vector<unsigned char> encoded_;
  std::vector<unsigned char> event_;
  int64_t eventNumber_ = 0;
  uint64_t wrongSize_ = 0;
  bool failed_ = false;
};

}  // namespace

// What escapes ends the program with a line, not with std::terminate.
int main(int argc, char** argv) try {
  CLI::App app;
  app.set_help_flag();
  std::string path;
  double seconds = 0;
  app.add_option("FILE", path)->required();
  const CLI::Option* secondsGiven = app.add_option("SECONDS", seconds);
  bool valid = true;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError&) {
    valid = false;
  }
  if (!valid || (secondsGiven->count() != 0 && !(seconds > 0))) {
    std::fprintf(stderr,
                 "usage: kalvent_record FILE [SECONDS]  records the LCM bridge's channels until "
                 "SIGINT or SIGTERM, or for SECONDS\n");
    return 2;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "kalvent_record: %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  lcm::LCM lcm;
  if (!lcm.good()) {
    std::fprintf(stderr, "kalvent_record: LCM cannot be set up\n");
    return 1;
  }
  BridgeRecorder recorder(file);
  for (const char* channel :
       {sdk::lowCmdChannel, sdk::lowStateChannel, sdk::highCmdChannel, sdk::highStateChannel}) {
    lcm.subscribe(channel, &BridgeRecorder::onMessage, &recorder);
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const int64_t stopAt =
      seconds > 0 ? sdk::monotonicNanoseconds() + static_cast<int64_t>(seconds * 1e9) : 0;
  while (!stopRequested && (stopAt == 0 || sdk::monotonicNanoseconds() < stopAt)) {
    pollfd wait{lcm.getFileno(), POLLIN, 0};
    if (poll(&wait, 1, 100) > 0) lcm.handle();
  }
  const bool closed = std::fclose(file) == 0;
  std::fprintf(stderr, "kalvent_record: %llu events recorded, %llu messages of a wrong size\n",
               static_cast<unsigned long long>(recorder.events()),
               static_cast<unsigned long long>(recorder.wrongSize()));
  return recorder.failed() || !closed ? 1 : 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "kalvent_record: %s\n", e.what());
  return 1;
}
