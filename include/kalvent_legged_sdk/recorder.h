/// @file
/// Recording a program's exchange with the robot controller to a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kalvent_legged_sdk/state_loop.h"
#include "kalvent_legged_sdk/udp.h"

namespace KALVENT_LEGGED_SDK {

/// What a Recorder has seen so far.
struct RecorderStats {
  uint64_t commandsRecorded;  ///< packets Send sent, taken into the recorder
  uint64_t statesRecorded;    ///< packets Recv accepted, taken into the recorder
  uint64_t commandsDropped;   ///< sent packets lost because the writer fell behind
  uint64_t statesDropped;     ///< accepted packets lost because the writer fell behind
  uint64_t eventsWritten;     ///< events in the file, link-health records included
  uint64_t eventsUnwritten;   ///< events lost to a failed write (a full disk, say)
};

/// Records every command an endpoint sends and every state it accepts, each
/// with the time it was sent or accepted (CLOCK_MONOTONIC), and the link's
/// health once a second, into a file in LCM's event-log format (the format
/// lcm-logger writes: lcm-logplayer plays it, lcm-spy and the `kalvent_log`
/// tool read it). The records are the LCM types of the package kalvent_log,
/// on the channels KALVENT_LOW_CMD, KALVENT_LOW_STATE, KALVENT_HIGH_CMD,
/// KALVENT_HIGH_STATE and KALVENT_LINK_HEALTH; each carries its packet's
/// every field, in the units of comm.h's records.
///
/// Cost in the control thread: Send and Recv copy each packet into a ring
/// buffer in memory (one per direction), without waiting, allocating,
/// locking or a system call; without a recorder attached, they pay one
/// atomic load. A thread of the recorder decodes the packets and writes the
/// file. When it falls behind (a slow disk), packets that find their ring
/// full are dropped and counted (stats(), and in the file's link-health
/// records); the control thread never waits for it. A failed write (a full
/// disk) is reported once on standard error; recording stops, the control
/// loop goes on, and what was written stays readable.
///
/// A file cut short (the process killed) is readable up to its last whole
/// event.
///
/// Threads and lifetime: construct and attach from any one thread, before or
/// while the endpoint's loops run. The recorder must be destroyed before its
/// endpoint (declare it after the endpoint) and after the loops that call
/// Send and Recv have stopped: the destructor detaches it, writes what is
/// left and closes the file.
class Recorder {
 public:
  /// Packets per direction that may wait for the writer: 8 s at 1 kHz.
  static constexpr std::size_t kDefaultSlots = 8192;

  /// Creates (or empties) the file at `path` and starts the writer thread.
  /// Throws std::system_error when the file cannot be created.
  explicit Recorder(const std::string& path, std::size_t slotsPerDirection = kDefaultSlots);
  /// Detaches, writes the records still queued and a last link-health
  /// record, and closes the file.
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  /// Starts recording `udp`, an endpoint of the low-level packet lengths
  /// (610 out / 771 in) or of the high-level ones (143 / 256); other lengths
  /// throw std::invalid_argument. One endpoint per recorder and one
  /// recorder per endpoint: a second attach throws std::logic_error.
  /// Re-size the endpoint (UDP::switchLevel) before attaching, not after.
  void attach(UDP& udp);
  /// Starts recording the endpoint of a state-driven loop.
  template <typename State, typename Command>
  void attach(StateLoop<State, Command>& loop) {
    attach(loop.endpoint());
  }

  /// Starts recording the other side of the link, for a program that serves
  /// the controller's port itself (a simulated controller): the commands it
  /// takes and the states it sends, handed in by recordCommand and
  /// recordState, on the same channels as an endpoint's. `level` is LOWLEVEL
  /// (610-byte commands, 771-byte states) or HIGHLEVEL (143 / 256); another
  /// value throws std::invalid_argument, a recorder already attached
  /// std::logic_error. The link-health records then carry the recorder's own
  /// counts only: the link's figures, which an endpoint measures, read -1
  /// (counts) and NaN (state age, losses).
  void attachController(uint8_t level);
  /// After attachController: records a command the program took, stamped
  /// with the time of the call (CLOCK_MONOTONIC). From one thread at a time;
  /// without waiting, allocating, locking or a system call. True when kept;
  /// false when dropped because the writer fell behind (counted, as for an
  /// endpoint), and, uncounted, for a packet of another length than the
  /// level's or before attachController.
  bool recordCommand(const char* packet, int length) noexcept;
  /// The same for a state the program sent; may run on another thread than
  /// recordCommand.
  bool recordState(const char* packet, int length) noexcept;

  /// What the destructor does, but returning the final figures: detaches,
  /// writes the records still queued and a last link-health record, and
  /// closes the file. Under the same rules as the destructor. The recorder
  /// records nothing more (recordCommand and recordState return false,
  /// attaching throws std::logic_error); a second call only returns the
  /// figures.
  RecorderStats close();

  /// The figures so far; from any thread.
  RecorderStats stats() const noexcept;

 private:
  struct Writer;
  std::unique_ptr<Writer> writer_;
  UDP* udp_ = nullptr;
};

}  // namespace KALVENT_LEGGED_SDK
