// The simulator's side of the link in a recording: every command it took and
// every state it sent, in the format and on the channels of the library's
// recorder, so that kalvent_log reads it as a program's own recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "controller.h"
#include "kalvent_legged_sdk/recorder.h"

namespace kalvent_sim {

class Recording {
 public:
  // Creates (or empties) the file; false, after a line on stderr, when it
  // cannot. Packets are recorded from the first command on, at its level.
  bool open(const std::string& path);
  // A datagram the controller took as `verdict` (commands only are kept).
  void command(Verdict verdict, const unsigned char* packet, size_t length);
  // A state datagram sent.
  void state(const unsigned char* packet, size_t length);
  // Writes what is queued and closes the file; one line of figures on
  // stderr. False when a packet was lost on the way to the file: dropped
  // because the disk fell behind, or not written (the recorder's own line
  // said why). True without open().
  bool close();

 private:
  std::string path_;
  std::optional<KALVENT_LEGGED_SDK::Recorder> recorder_;
  bool attached_ = false;
  Verdict level_ = Verdict::LowCommand;
  uint64_t otherLevel_ = 0;  // commands of the other level, not recorded
};

}  // namespace kalvent_sim
