#include "recording.h"

#include <cstdio>
#include <system_error>

namespace kalvent_sim {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "kalvent_sim";

unsigned long long ull(uint64_t v) {
  return static_cast<unsigned long long>(v);
}

}  // namespace

bool Recording::open(const std::string& path) {
  try {
    recorder_.emplace(path);
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "%s: cannot record: %s\n", kProgram, error.what());
    return false;
  }
  path_ = path;
  return true;
}

void Recording::command(Verdict verdict, const unsigned char* packet, size_t length) {
  if (!recorder_ || (verdict != Verdict::LowCommand && verdict != Verdict::HighCommand)) return;
  if (!attached_) {
    // One level per recording: the state's channels follow the commands'.
    recorder_->attachController(verdict == Verdict::LowCommand ? sdk::LOWLEVEL : sdk::HIGHLEVEL);
    level_ = verdict;
    attached_ = true;
  }
  if (verdict != level_) {
    ++otherLevel_;
    return;
  }
  recorder_->recordCommand(reinterpret_cast<const char*>(packet), static_cast<int>(length));
}

void Recording::state(const unsigned char* packet, size_t length) {
  if (attached_) {
    recorder_->recordState(reinterpret_cast<const char*>(packet), static_cast<int>(length));
  }
}

bool Recording::close() {
  if (!recorder_) return true;
  const sdk::RecorderStats stats = recorder_->close();
  const uint64_t dropped = stats.commandsDropped + stats.statesDropped;
  std::fprintf(stderr,
               "%s: recorded %llu commands and %llu states into %s; %llu dropped (the disk fell "
               "behind), %llu commands of the other level not recorded\n",
               kProgram, ull(stats.commandsRecorded), ull(stats.statesRecorded), path_.c_str(),
               ull(dropped), ull(otherLevel_));
  return dropped == 0 && stats.eventsUnwritten == 0;
}

}  // namespace kalvent_sim
