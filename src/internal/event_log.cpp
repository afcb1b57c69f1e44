#include "event_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace KALVENT_LEGGED_SDK {

namespace {

void putBigEndian(std::vector<unsigned char>& out, uint64_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<unsigned char>(value >> shift));
  }
}

uint64_t getBigEndian(const unsigned char* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | in[i];
  return value;
}

std::string atOffset(const std::string& path, uint64_t offset, const std::string& what) {
  return path + ": not an LCM event log at byte offset " + std::to_string(offset) + ": " + what;
}

}  // namespace

void appendEvent(std::vector<unsigned char>& out, int64_t number, int64_t timestampUs,
                 const std::string& channel, const unsigned char* data, size_t length) {
  putBigEndian(out, kEventSyncWord, 4);
  putBigEndian(out, static_cast<uint64_t>(number), 8);
  putBigEndian(out, static_cast<uint64_t>(timestampUs), 8);
  putBigEndian(out, channel.size(), 4);
  putBigEndian(out, length, 4);
  out.insert(out.end(), channel.begin(), channel.end());
  out.insert(out.end(), data, data + length);
}

EventLogReader::EventLogReader(const std::string& path)
    : path_(path), file_(std::fopen(path.c_str(), "rb")) {
  if (file_ == nullptr) throw std::runtime_error(path + ": " + std::strerror(errno));
  std::fseek(file_, 0, SEEK_END);
  size_ = static_cast<uint64_t>(std::ftell(file_));
  std::rewind(file_);
}

EventLogReader::~EventLogReader() {
  std::fclose(file_);
}

bool EventLogReader::next(LogEvent& event) {
  if (truncated_ != 0) return false;
  unsigned char header[kEventHeaderBytes];
  const size_t got = std::fread(header, 1, sizeof header, file_);
  if (got == 0) return false;
  if (got < sizeof header) {
    // A cut-off header must still start as one: random bytes are not a cut.
    unsigned char sync[4];
    for (int i = 0; i < 4; ++i) {
      sync[i] = static_cast<unsigned char>(kEventSyncWord >> (24 - 8 * i));
    }
    if (std::memcmp(header, sync, std::min<size_t>(got, 4)) != 0) {
      throw EventLogError(atOffset(path_, offset_, "bad sync word"), offset_);
    }
    truncated_ = got;
    return false;
  }
  if (getBigEndian(header, 4) != kEventSyncWord) {
    throw EventLogError(atOffset(path_, offset_, "bad sync word"), offset_);
  }
  const auto channelLength = static_cast<int32_t>(getBigEndian(header + 20, 4));
  const auto dataLength = static_cast<int32_t>(getBigEndian(header + 24, 4));
  if (channelLength <= 0 || channelLength > kMaxChannelLength || dataLength < 0) {
    throw EventLogError(atOffset(path_, offset_, "impossible channel or data length"), offset_);
  }
  const uint64_t end = offset_ + sizeof header + static_cast<uint64_t>(channelLength) +
                       static_cast<uint64_t>(dataLength);
  if (end > size_) {
    truncated_ = size_ - offset_;
    return false;
  }
  event.offset = offset_;
  event.number = static_cast<int64_t>(getBigEndian(header + 4, 8));
  event.timestampUs = static_cast<int64_t>(getBigEndian(header + 12, 8));
  event.channel.resize(static_cast<size_t>(channelLength));
  event.data.resize(static_cast<size_t>(dataLength));
  if (std::fread(event.channel.data(), 1, event.channel.size(), file_) != event.channel.size() ||
      std::fread(event.data.data(), 1, event.data.size(), file_) != event.data.size()) {
    throw std::runtime_error(path_ + ": read error at byte offset " + std::to_string(offset_));
  }
  offset_ += sizeof header + event.channel.size() + event.data.size();
  return true;
}

}  // namespace KALVENT_LEGGED_SDK
