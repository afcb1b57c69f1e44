/// @file
/// Errors as values: what the non-exiting set-up calls return.
///
/// The classic constructors and functions end the process when a set-up step
/// fails (see udp.h, lcm.h, loop.h, safety.h). Beside each of them stands a
/// call that returns a Result instead: the object or value it made, or the
/// Error saying which step failed, the system's errno where there is one, and
/// a message (the same text the exiting call writes on standard error).
///
///     auto opened = UDP::open(0, "127.0.0.1", 9007, LOW_CMD_LENGTH, LOW_STATE_LENGTH);
///     if (!opened) {
///       std::fprintf(stderr, "%s: %s\n", stepName(opened.error().step),
///                    opened.error().message.c_str());
///       return 1;
///     }
///     std::unique_ptr<UDP> udp = std::move(opened.value());
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace KALVENT_LEGGED_SDK {

/// The set-up step or argument check that failed.
enum class Step : int {
  Socket,              ///< socket(): no datagram socket
  Bind,                ///< bind(): the local port
  Connect,             ///< connect(): the peer address (or its text)
  CpuAffinity,         ///< pinning a thread to a CPU
  LcmCreation,         ///< creating the LCM instance of the bridge
  MemoryLock,          ///< mlockall()
  RealtimeScheduling,  ///< the SCHED_FIFO class
  LevelSelector,       ///< a level that is neither HIGHLEVEL nor LOWLEVEL
  RobotModelSelector,  ///< a LeggedType that names no robot model
  PacketLength,        ///< a packet length below 4 bytes (the checksum's)
  LoopPeriod,          ///< a loop period the timer cannot run
  LoopRunning,         ///< starting a loop that is running already
};

/// The step's name in lower case, e.g. "bind" or "level selector".
constexpr const char* stepName(Step step) noexcept {
  switch (step) {
    case Step::Socket:
      return "socket";
    case Step::Bind:
      return "bind";
    case Step::Connect:
      return "connect";
    case Step::CpuAffinity:
      return "cpu affinity";
    case Step::LcmCreation:
      return "lcm creation";
    case Step::MemoryLock:
      return "memory lock";
    case Step::RealtimeScheduling:
      return "real-time scheduling";
    case Step::LevelSelector:
      return "level selector";
    case Step::RobotModelSelector:
      return "robot model selector";
    case Step::PacketLength:
      return "packet length";
    case Step::LoopPeriod:
      return "loop period";
    case Step::LoopRunning:
      return "loop running";
  }
  return "unknown";
}

/// Why a set-up step failed.
struct Error {
  Step step;            ///< what failed
  int errnoValue;       ///< the system's errno, or 0 for an argument check
  std::string message;  ///< one line, without newline: the call, its arguments, the reason
};

/// The value a set-up call made, or the Error that stopped it: a small
/// std::expected. Test it (has_value() or as a bool) before value(): value()
/// of a failed Result throws std::bad_variant_access, and error() of a
/// successful one throws too.
template <typename T>
class Result {
 public:
  /// Success, holding `value`.
  Result(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  /// Failure, holding `error`.
  Result(Error error) : outcome_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  /// Whether the call succeeded.
  ///@{
  bool has_value() const noexcept { return outcome_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  ///@}
  /// What the call made.
  ///@{
  T& value() & { return std::get<0>(outcome_); }
  const T& value() const& { return std::get<0>(outcome_); }
  T&& value() && { return std::get<0>(std::move(outcome_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  ///@}
  /// Why the call failed.
  const Error& error() const { return std::get<1>(outcome_); }

 private:
  std::variant<T, Error> outcome_;
};

/// A step that makes nothing: success, or the Error.
template <>
class Result<void> {
 public:
  /// Success.
  Result() = default;
  /// Failure, holding `error`.
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit

  /// Whether the step succeeded.
  ///@{
  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  ///@}
  /// Why the step failed.
  const Error& error() const { return error_.value(); }

 private:
  std::optional<Error> error_;
};

}  // namespace KALVENT_LEGGED_SDK
