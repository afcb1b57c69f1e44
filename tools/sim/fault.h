// Link faults the simulator can inject into the state packets it sends:
// loss, delay with jitter, duplication, reordering and corruption, drawn
// from a seeded generator so that a run can be repeated exactly. Time is
// passed in by the caller (nanoseconds on any monotonic clock), so tests can
// drive it on simulated time. Not thread-safe: one thread owns an injector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "controller.h"

namespace kalvent_sim {

// A generator with the same sequence on every platform and standard library
// (splitmix64), for faults that repeat across builds.
class FaultRandom {
 public:
  explicit FaultRandom(uint64_t seed) : state_(seed) {}
  uint64_t next();
  // Uniform in [0, 1).
  double uniform();

 private:
  uint64_t state_;
};

struct FaultConfig {
  double lossPercent = 0;       // share of state packets never sent, 0 to 100
  double delayMs = 0;           // every packet leaves this much later, 0 to kMaxDelayMs
  double jitterMs = 0;          // plus a uniform random 0 to this much more, 0 to kMaxDelayMs
  double duplicatePercent = 0;  // share sent twice
  double reorderPercent = 0;    // share held back behind the next packet not held
  double corruptPercent = 0;    // share sent with one bit flipped under the checksum
  uint64_t seed = 1;

  static constexpr double kMaxDelayMs = 1000;

  // True when any packet may be dropped, changed or sent other than at once.
  bool active() const;
};

// What the injector did, counted per packet offered (a duplicate's copies
// count once).
struct FaultCounters {
  uint64_t lost = 0;
  uint64_t corrupted = 0;
  uint64_t duplicated = 0;
  uint64_t reordered = 0;  // packets held back and sent behind a later one
};

// Where released packets go.
class PacketSink {
 public:
  virtual void send(const unsigned char* packet, size_t length) = 0;

 protected:
  ~PacketSink() = default;
};

// Holds the packets in flight. All memory is taken at construction: offering
// and releasing packets never allocates.
class FaultInjector {
 public:
  // `rateHz`: the most packets offered per second, which sizes the queue.
  FaultInjector(const FaultConfig& config, int rateHz);

  // Takes one state packet (at most kMaxStateLength bytes) sent at `nowNs`
  // and decides its fate. Should the queue be full, the packet due first
  // goes out to `sink` at once to make room: nothing is lost that the
  // configuration did not drop.
  void offer(const unsigned char* packet, size_t length, int64_t nowNs, PacketSink& sink);

  // Sends every packet due at `nowNs` to `sink`, in the order of their
  // release times (equal times in the order offered).
  void release(int64_t nowNs, PacketSink& sink);

  // Lets held-back packets go at their own release time. For when no next
  // packet will come to go ahead of them (the sender stops).
  void unhold();

  // Release time of the next packet due, ns; INT64_MAX when none is queued.
  int64_t nextReleaseNs() const;

  const FaultCounters& counters() const { return counters_; }

 private:
  struct Slot {
    int64_t releaseNs = 0;
    uint64_t order = 0;  // breaks ties between equal release times
    size_t length = 0;
    unsigned char bytes[kMaxStateLength];
  };
  struct Later {
    const std::vector<Slot>* slots;
    bool operator()(uint32_t a, uint32_t b) const;
  };

  // Copies held back at most; a packet that would hold more goes as usual.
  static constexpr int kMaxHeldCopies = 16;

  void enqueue(uint32_t slot, int64_t releaseNs);
  void sendEarliest(PacketSink& sink);

  FaultConfig config_;
  FaultRandom random_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
  std::vector<uint32_t> due_;           // heap of queued slots, earliest on top
  uint32_t held_[kMaxHeldCopies] = {};  // slots held back, in the order offered
  int heldCount_ = 0;
  uint64_t heldPackets_ = 0;  // the packets those slots hold
  uint64_t nextOrder_ = 0;
  FaultCounters counters_;
};

// A controller restart: at `atSeconds` the controller is gone for `downMs`,
// then a freshly started one answers.
struct RestartPlan {
  double atSeconds = 0;
  double downMs = 0;
  bool planned = false;
};

// Where a run stands with respect to its planned restart.
class RestartSchedule {
 public:
  enum class Change { None, GoesDown, ComesBack };

  explicit RestartSchedule(const RestartPlan& plan);

  // The change due at `nowNs` since the start of the run, each once.
  Change update(int64_t nowNs);
  bool down() const { return phase_ == Phase::Down; }

 private:
  enum class Phase { Before, Down, After };
  int64_t downAtNs_;
  int64_t upAtNs_;
  Phase phase_;
};

}  // namespace kalvent_sim
