/// @file
/// How well the link to the robot controller works: whether state arrives,
/// how old the newest state is, what is lost on the way, and warnings on
/// standard error when it goes wrong.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <limits>

namespace KALVENT_LEGGED_SDK {

/// The health of one UDP endpoint's incoming link, kept up to date by the
/// endpoint's own Send and Recv (get it with UDP::linkHealth()). It starts no
/// thread and allocates nothing: it learns only what those calls see, so it
/// is as current as the receive loop that calls Recv.
///
/// Threads: every reader below loads atomics and may be called from any
/// thread at any time, also while Send and Recv run. Times are seconds on the
/// monotonic clock (CLOCK_MONOTONIC), taken when Recv found the packet.
///
/// Warnings (on by default, each once per episode, on standard error only,
/// each line starting "kalvent_legged_sdk: " and naming the peer's address
/// and port):
///  - no valid packet kWarnSilentSeconds after the first Send, naming the two
///    usual causes (nothing listening there; commands not stamped, because
///    the send loop started before the first SetSend);
///  - the state went stale (no valid packet for kWarnStaleSeconds), and again
///    when it comes back, with the length of the gap in ms.
///
/// They are printed from inside Send or Recv. Nothing here ends the process
/// or throws.
class LinkHealth {
 public:
  /// Age of the newest valid state beyond which a warning says the state is
  /// stale, s. A program's own threshold for stale() is its choice.
  static constexpr double kWarnStaleSeconds = 0.1;
  /// Time after the first Send without any valid packet before the warning,
  /// s.
  static constexpr double kWarnSilentSeconds = 1.0;
  /// The window recentLoss() covers, s.
  static constexpr double kLossWindowSeconds = 1.0;
  /// How often recentLoss() and overallLoss() are brought up to date, s.
  static constexpr double kLossUpdateSeconds = 0.1;

  /// Nothing seen yet: no valid packet, all counters 0, losses NaN, warnings
  /// on.
  LinkHealth() = default;
  LinkHealth(const LinkHealth&) = delete;
  LinkHealth& operator=(const LinkHealth&) = delete;

  /// True once a packet with a good checksum has arrived.
  bool anyValid() const noexcept;
  /// Seconds since Recv accepted the newest valid packet; +infinity before
  /// the first.
  double stateAge() const noexcept;
  /// True when stateAge() > `thresholdSeconds` (so, for any finite
  /// threshold, before the first valid packet).
  bool stale(double thresholdSeconds) const noexcept;
  /// Packets accepted (the same count as UDPState::RecvCount).
  uint64_t validPackets() const noexcept;
  /// Recv calls that found nothing queued. UDPState::RecvCRCError counts
  /// these together with checksumFailures().
  uint64_t emptyPolls() const noexcept;
  /// Recv calls whose newest datagram failed the checksum (a datagram of the
  /// wrong length fails it too).
  uint64_t checksumFailures() const noexcept;
  /// Times the state's tick went back by more than kRestartTicks packet
  /// periods: the controller started afresh. Each restart clears the loss
  /// estimates.
  uint64_t tickRestarts() const noexcept;
  /// The share, 0 to 1, of the controller's state packets that never
  /// arrived over the last kLossWindowSeconds, updated every
  /// kLossUpdateSeconds (by Recv: only while Recv is being called).
  ///
  /// The controller stamps each state packet with a rising tick; the tick
  /// advance per packet (the step, which may be a fraction: a millisecond
  /// tick at 400 Hz advances by 2 and 3 in turn) is learnt from the link, so
  /// the ticks spanned tell how many packets were sent, and every datagram
  /// Recv drained with a good checksum counts as arrived (also those it
  /// dropped for a newer one). Duplicated packets make it read low (never
  /// below 0). A corrupted packet counts as lost, whether it was the newest
  /// of its Recv or one drained behind a newer one. A window in which
  /// nothing arrived reads 1; while an outage lasts the window shrinks to
  /// what came before it, so stale() tells an outage sooner.
  ///
  /// Within 2 points of the truth at any rate up to one packet per tick and
  /// loss up to 30 %, for a controller whose period is a ratio of whole
  /// ticks of up to 25 ticks (a millisecond tick at any multiple of 40 or 50
  /// Hz). Where the tick advances by less than 3 per packet (above 333
  /// packets per second of a millisecond tick), an advance of 2 may be one
  /// packet or two with one lost, so the step is read from where the ticks of
  /// the last 256 good state datagrams fall; until those have come, and for
  /// other periods, the estimate may read low under loss (bench/loss_table
  /// prints the figures).
  ///
  /// NaN until the step is known: the first update (every
  /// kLossUpdateSeconds) after 16 datagrams came in order, whether one or
  /// several per Recv. From then on it is never NaN, until a restart clears
  /// it to NaN up to the first update after a state arrived again. Always NaN
  /// for packets without a tick (endpoints of other lengths than the low-
  /// and high-level state).
  double recentLoss() const noexcept;
  /// The same share since the first state (or the last restart): a steadier
  /// figure for a whole run. NaN in the same cases.
  double overallLoss() const noexcept;
  /// Sleeps in 1 ms steps until a valid state arrived (returns true) or
  /// `timeoutSeconds` passed (returns false). Another thread must be calling
  /// Recv meanwhile; from the thread that calls Recv it can only time out.
  /// +infinity (or any timeout beyond the monotonic clock's range) waits
  /// until a state arrives, if need be forever. NaN or a negative timeout is
  /// refused: it returns false at once with a line on standard error, and
  /// does not end the process.
  bool waitForFirstState(double timeoutSeconds) const;
  /// Turns the standard-error warnings on (the default) or off; from any
  /// thread.
  void setWarnings(bool enabled) noexcept;

  /// A tick that falls back by more than this many packet periods is a
  /// controller restart; less is a packet reordered on the way.
  static constexpr uint32_t kRestartTicks = 32;

 private:
  friend class UDP;
  /// The benchmark times the updates apart from the system calls around them.
  friend struct LinkHealthBenchAccess;
  /// The tests drive it on a simulated clock.
  friend struct LinkHealthTestAccess;

  // Called by UDP with the peer the endpoint talks to.
  void onSend(const sockaddr_in& peer) noexcept;
  void onEmptyPoll(const sockaddr_in& peer) noexcept;
  /// `datagrams`: the datagrams of this call that arrived whole: those with a
  /// good checksum that a newer one replaced, plus the judged newest one.
  void onChecksumFailure(int datagrams, const sockaddr_in& peer) noexcept;
  void onAccepted(const char* packet, int length, int datagrams, const sockaddr_in& peer) noexcept;
  /// A datagram with a good checksum that a newer one of the same Recv
  /// replaced, before that newer one is judged: its tick tells the step.
  void onReplaced(const char* packet, int length) noexcept;
  // The same at a given monotonic time, ns: the tests and the benchmark
  // drive the estimates on a clock of their own.
  void onEmptyPollAt(int64_t now, const sockaddr_in& peer) noexcept;
  void onChecksumFailureAt(int64_t now, int datagrams, const sockaddr_in& peer) noexcept;
  void onAcceptedAt(int64_t now, const char* packet, int length, int datagrams,
                    const sockaddr_in& peer) noexcept;

  void watch(int64_t now, const sockaddr_in& peer) noexcept;
  void countTick(uint32_t tick, int datagrams) noexcept;
  // The tick step: learnt from the advances (link_health_step.cpp), and
  // made exact from the recent ticks where the advances cannot tell it.
  void learnStep(uint32_t advance, uint32_t datagrams) noexcept;
  void relearnStep() noexcept;
  double packetStep() const noexcept;
  void rememberTick(uint32_t tick) noexcept;
  void forgetTicks() noexcept;
  void countResidues(int32_t offset, int change) noexcept;
  void updateExactStep() noexcept;
  void rollBuckets(int64_t now) noexcept;
  void restartEstimates() noexcept;
  void warn(const char* format, const sockaddr_in& peer, double value) const noexcept;

  static constexpr int kBuckets = 10;            ///< kLossWindowSeconds / kLossUpdateSeconds
  static constexpr int kRecentTicks = 256;       ///< the ticks the exact step is read from
  static constexpr int kLongestTickPeriod = 25;  ///< ticks after which the steps repeat, at most
  /// Every shorter period has a multiple from here to kLongestTickPeriod.
  static constexpr int kShortestTickPeriod = (kLongestTickPeriod + 1) / 2;
  /// One counter per residue modulo each period counted.
  static constexpr int kResidueCounters = (kLongestTickPeriod * (kLongestTickPeriod + 1) -
                                           kShortestTickPeriod * (kShortestTickPeriod - 1)) /
                                          2;

  // Read from any thread.
  std::atomic<bool> warnings_{true};
  std::atomic<int64_t> firstSendNs_{0};          ///< 0: not sent yet
  std::atomic<int64_t> lastValidNs_{INT64_MIN};  ///< INT64_MIN: none yet
  std::atomic<uint64_t> validPackets_{0};
  std::atomic<uint64_t> emptyPolls_{0};
  std::atomic<uint64_t> checksumFailures_{0};
  std::atomic<uint64_t> tickRestarts_{0};
  std::atomic<double> recentLoss_{std::numeric_limits<double>::quiet_NaN()};
  std::atomic<double> overallLoss_{std::numeric_limits<double>::quiet_NaN()};
  std::atomic<bool> silentWarned_{false};

  // Touched only by the thread in Recv.
  bool staleWarned_ = false;
  bool haveTick_ = false;
  uint32_t newestTick_ = 0;
  // The tick advance per packet (0: not known yet), and what learns it: the
  // first guess, and the sums of the block being averaged.
  double step_ = 0;
  double firstStep_ = 0;
  double stepTicks_ = 0;
  double stepDatagrams_ = 0;
  uint32_t stepMisfits_ = 0;  ///< in-order advances in a row that fit no step
  bool inOrder_ = false;      ///< the newest tick came after its predecessor
  // The ticks of the last kRecentTicks state datagrams with a good checksum
  // (a ring, as offsets from a base tick); per period, how many of them fall
  // on each residue and how many residues they occupy; the least upper bound
  // of the step the advances gave; and the step those ticks tell exactly (0:
  // none).
  int32_t recentOffsets_[kRecentTicks] = {};
  uint32_t tickBase_ = 0;
  int recentTickCount_ = 0;
  int recentTickNext_ = 0;
  uint16_t residueCounts_[kResidueCounters] = {};
  uint16_t residuesOccupied_[kLongestTickPeriod + 1] = {};
  double stepBound_ = std::numeric_limits<double>::infinity();
  double exactStep_ = 0;
  // Per window bucket: the newest tick when it began, the datagrams that
  // arrived during it, and whether it saw any tick at its beginning.
  uint32_t bucketStartTick_[kBuckets] = {};
  uint32_t bucketArrivals_[kBuckets] = {};
  bool bucketValid_[kBuckets] = {};
  int bucket_ = 0;
  int64_t bucketEndNs_ = 0;
  uint32_t firstTick_ = 0;  ///< the tick the overall figure counts from
  uint64_t overallArrivals_ = 0;
};

}  // namespace KALVENT_LEGGED_SDK
