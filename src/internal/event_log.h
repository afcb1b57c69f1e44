// LCM's event-log file format, as lcm-logger writes it: events one after
// another, each a 28-byte big-endian header (sync word 0xEDA1DA01, event
// number, timestamp in µs, channel length, data length), the channel name
// and the data.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

constexpr uint32_t kEventSyncWord = 0xEDA1DA01;
constexpr size_t kEventHeaderBytes = 28;
// lcm-logger refuses longer channel names.
constexpr int32_t kMaxChannelLength = 256;

// The wall clock (CLOCK_REALTIME) in µs: an event's timestamp, as
// lcm-logger stamps them.
inline int64_t wallClockMicroseconds() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Appends one event to `out`.
void appendEvent(std::vector<unsigned char>& out, int64_t number, int64_t timestampUs,
                 const std::string& channel, const unsigned char* data, size_t length);

// A file that is not a whole event log; what() names the byte offset.
class EventLogError : public std::runtime_error {
 public:
  EventLogError(const std::string& what, uint64_t offset)
      : std::runtime_error(what), offset_(offset) {}
  uint64_t offset() const noexcept { return offset_; }

 private:
  uint64_t offset_;
};

struct LogEvent {
  uint64_t offset = 0;  // of its header in the file
  int64_t number = 0;
  int64_t timestampUs = 0;
  std::string channel;
  std::vector<unsigned char> data;
};

// Reads an event log from its start. An event cut short at the end of the
// file (a recording that was stopped mid-write) ends the log: the events
// before it are read, and truncatedBytes() tells how much was left over.
// Anything else that is not an event throws EventLogError.
class EventLogReader {
 public:
  // Throws std::runtime_error when the file cannot be opened.
  explicit EventLogReader(const std::string& path);
  ~EventLogReader();
  EventLogReader(const EventLogReader&) = delete;
  EventLogReader& operator=(const EventLogReader&) = delete;

  // The next whole event, or false at the end of the log.
  bool next(LogEvent& event);
  // Bytes after the last whole event (0 for a log that ended cleanly).
  uint64_t truncatedBytes() const noexcept { return truncated_; }

 private:
  std::string path_;
  std::FILE* file_;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
  uint64_t truncated_ = 0;
};

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
