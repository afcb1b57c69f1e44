// The recorder: the endpoint's rings, and the thread that decodes their
// packets and writes them as LCM events.
#include "kalvent_legged_sdk/recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "event_log.h"
#include "kalvent_legged_sdk/log.h"
#include "packet_ring.h"
#include "record_codec.h"
#include "wire.h"

namespace KALVENT_LEGGED_SDK {

namespace {

constexpr int64_t kHealthPeriodNs = 1000000000;
constexpr auto kWriterPeriod = std::chrono::milliseconds(10);

}  // namespace

// Hidden: the library keeps it to itself.
struct __attribute__((visibility("hidden"))) Recorder::Writer {
  Writer(const std::string& path, size_t slots) : path_(path), slots_(slots) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "Recorder: " + path);
  }

  ~Writer() { stop(); }

  // Writes what is queued and a last link-health record, ends the thread and
  // closes the file.
  void stop() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
      }
      wake_.notify_one();
      thread_.join();
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    handCommandLength_ = handStateLength_ = -1;
  }

  // `health` null: the controller's side, where the link is not measured.
  void start(bool lowLevel, int commandLength, int stateLength, const LinkHealth* health) {
    if (tapOwner_ != nullptr) throw std::logic_error("Recorder: already attached");
    if (fd_ < 0) throw std::logic_error("Recorder: closed");
    lowLevel_ = lowLevel;
    health_ = health;
    // Packets come by hand only on the controller's side: each ring keeps
    // one producer.
    handCommandLength_ = health == nullptr ? commandLength : -1;
    handStateLength_ = health == nullptr ? stateLength : -1;
    tapOwner_ = std::make_unique<PacketTap>(slots_, commandLength, stateLength);
    tap_.store(tapOwner_.get(), std::memory_order_release);
    thread_ = std::thread(&Writer::run, this);
  }

  void run() {
    int64_t nextHealth = monotonicNanoseconds() + kHealthPeriodNs;
    for (;;) {
      bool stopping;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, kWriterPeriod, [this] { return stop_; });
        stopping = stop_;
      }
      drain();
      const int64_t now = monotonicNanoseconds();
      if (stopping || now >= nextHealth) {
        appendHealth(now);
        nextHealth = std::max(nextHealth + kHealthPeriodNs, now);
      }
      flush();
      if (stopping) return;
    }
  }

  // Takes every queued packet, the two directions merged in time order.
  void drain() {
    PacketTap& tap = *tapOwner_;
    PacketRing::Packet command{};
    PacketRing::Packet state{};
    bool haveCommand = tap.commands.front(command);
    bool haveState = tap.states.front(state);
    while (haveCommand || haveState) {
      if (haveCommand && (!haveState || command.monotonicNs <= state.monotonicNs)) {
        lowLevel_ ? append<kalvent_log::low_cmd>(kRecordedLowCmd, command)
                  : append<kalvent_log::high_cmd>(kRecordedHighCmd, command);
        tap.commands.pop();
        haveCommand = tap.commands.front(command);
      } else {
        lowLevel_ ? append<kalvent_log::low_state>(kRecordedLowState, state)
                  : append<kalvent_log::high_state>(kRecordedHighState, state);
        tap.states.pop();
        haveState = tap.states.front(state);
      }
    }
  }

  template <typename Record>
  void append(const char* channel, const PacketRing::Packet& packet) {
    Record record;
    record.monotonic_ns = packet.monotonicNs;
    decodePacket(packet.bytes, record);
    appendRecord(channel, record, packet.monotonicNs);
  }

  void appendHealth(int64_t now) {
    const PacketTap& tap = *tapOwner_;
    kalvent_log::link_health record;
    record.monotonic_ns = now;
    if (health_ != nullptr) {
      record.state_age_s = health_->stateAge();
      record.valid_packets = static_cast<int64_t>(health_->validPackets());
      record.empty_polls = static_cast<int64_t>(health_->emptyPolls());
      record.checksum_failures = static_cast<int64_t>(health_->checksumFailures());
      record.tick_restarts = static_cast<int64_t>(health_->tickRestarts());
      record.recent_loss = health_->recentLoss();
      record.overall_loss = health_->overallLoss();
    } else {
      constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();
      record.state_age_s = record.recent_loss = record.overall_loss = kNotMeasured;
      record.valid_packets = record.empty_polls = record.checksum_failures = record.tick_restarts =
          -1;
    }
    record.commands_recorded = static_cast<int64_t>(tap.commands.kept());
    record.states_recorded = static_cast<int64_t>(tap.states.kept());
    record.commands_dropped = static_cast<int64_t>(tap.commands.dropped());
    record.states_dropped = static_cast<int64_t>(tap.states.dropped());
    appendRecord(kRecordedLinkHealth, record, now);
  }

  template <typename Record>
  void appendRecord(const char* channel, const Record& record, int64_t monotonicNs) {
    const int size = record.getEncodedSize();
    encoded_.resize(static_cast<size_t>(size));
    record.encode(encoded_.data(), 0, size);
    // Event times on the wall clock, as lcm-logger stamps them; the records
    // carry the monotonic time.
    const int64_t timestampUs = wallAtStartUs_ + (monotonicNs - monotonicAtStartNs_) / 1000;
    appendEvent(pending_, eventNumber_++, timestampUs, channel, encoded_.data(), encoded_.size());
    ++pendingEvents_;
  }

  // Writes the pending events; after a failed write, only counts them.
  void flush() {
    size_t done = 0;
    while (!failed_ && done < pending_.size()) {
      const ssize_t n = write(fd_, pending_.data() + done, pending_.size() - done);
      if (n >= 0) {
        done += static_cast<size_t>(n);
      } else if (errno != EINTR) {
        logMessage(LogLevel::Error, "recorder",
                   "kalvent_legged_sdk: recorder: writing %s failed: %s; the recording ends "
                   "here, the program goes on",
                   path_.c_str(), std::strerror(errno));
        failed_ = true;
      }
    }
    if (failed_) {
      eventsUnwritten_.fetch_add(pendingEvents_, std::memory_order_relaxed);
    } else {
      eventsWritten_.fetch_add(pendingEvents_, std::memory_order_relaxed);
    }
    pending_.clear();
    pendingEvents_ = 0;
  }

  const std::string path_;
  const size_t slots_;
  int fd_ = -1;
  bool lowLevel_ = false;
  // Set before tap_; -1 when an endpoint feeds the rings.
  int handCommandLength_ = -1;
  int handStateLength_ = -1;
  const LinkHealth* health_ = nullptr;
  std::unique_ptr<PacketTap> tapOwner_;
  std::atomic<PacketTap*> tap_{nullptr};  ///< tapOwner_ once attached, for stats()
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  ///< under mutex_

  // The writer thread's own.
  const int64_t monotonicAtStartNs_ = monotonicNanoseconds();
  const int64_t wallAtStartUs_ = wallClockMicroseconds();
  int64_t eventNumber_ = 0;
  std::vector<unsigned char> encoded_;
  std::vector<unsigned char> pending_;
  uint64_t pendingEvents_ = 0;
  bool failed_ = false;

  std::atomic<uint64_t> eventsWritten_{0};
  std::atomic<uint64_t> eventsUnwritten_{0};
};

Recorder::Recorder(const std::string& path, std::size_t slotsPerDirection)
    : writer_(std::make_unique<Writer>(path, slotsPerDirection)) {}

Recorder::~Recorder() {
  close();
}

RecorderStats Recorder::close() {
  if (udp_ != nullptr) udp_->tap_.store(nullptr, std::memory_order_release);
  udp_ = nullptr;
  writer_->stop();
  return stats();
}

void Recorder::attach(UDP& udp) {
  if (udp.tap_.load(std::memory_order_acquire) != nullptr) {
    throw std::logic_error("Recorder: the endpoint already has a recorder");
  }
  const bool low = udp.sendLength == LOW_CMD_LENGTH && udp.recvLength == LOW_STATE_LENGTH;
  const bool high = udp.sendLength == HIGH_CMD_LENGTH && udp.recvLength == HIGH_STATE_LENGTH;
  if (!low && !high) {
    throw std::invalid_argument("Recorder: packet lengths " + std::to_string(udp.sendLength) +
                                " out / " + std::to_string(udp.recvLength) +
                                " in are neither level's");
  }
  writer_->start(low, udp.sendLength, udp.recvLength, &udp.linkHealth());
  udp_ = &udp;
  udp.tap_.store(writer_->tap_.load(std::memory_order_relaxed), std::memory_order_release);
}

void Recorder::attachController(uint8_t level) {
  if (level != LOWLEVEL && level != HIGHLEVEL) {
    throw std::invalid_argument("Recorder: level " + std::to_string(level) +
                                " is neither LOWLEVEL nor HIGHLEVEL");
  }
  const bool low = level == LOWLEVEL;
  writer_->start(low, low ? LOW_CMD_LENGTH : HIGH_CMD_LENGTH,
                 low ? LOW_STATE_LENGTH : HIGH_STATE_LENGTH, nullptr);
}

bool Recorder::recordCommand(const char* packet, int length) noexcept {
  PacketTap* const tap = writer_->tap_.load(std::memory_order_acquire);
  return tap != nullptr && length == writer_->handCommandLength_ &&
         tap->commands.push(packet, length, monotonicNanoseconds());
}

bool Recorder::recordState(const char* packet, int length) noexcept {
  PacketTap* const tap = writer_->tap_.load(std::memory_order_acquire);
  return tap != nullptr && length == writer_->handStateLength_ &&
         tap->states.push(packet, length, monotonicNanoseconds());
}

RecorderStats Recorder::stats() const noexcept {
  RecorderStats stats{};
  if (const PacketTap* tap = writer_->tap_.load(std::memory_order_acquire)) {
    stats.commandsRecorded = tap->commands.kept();
    stats.statesRecorded = tap->states.kept();
    stats.commandsDropped = tap->commands.dropped();
    stats.statesDropped = tap->states.dropped();
  }
  stats.eventsWritten = writer_->eventsWritten_.load(std::memory_order_relaxed);
  stats.eventsUnwritten = writer_->eventsUnwritten_.load(std::memory_order_relaxed);
  return stats;
}

}  // namespace KALVENT_LEGGED_SDK
