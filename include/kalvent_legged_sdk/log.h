/// @file
/// The library's diagnostics: one sink for every message that is not one of
/// the documented standard-output lines.
///
/// Each message has a level, a source (the part of the library that speaks,
/// e.g. "udp", "lcm", "realtime") and one line of text without newline. By
/// default messages of level Info and above are written to standard error,
/// the text alone followed by a newline. A program may install its own
/// function (to route the messages into its own logging), raise the
/// threshold, or silence the library altogether. The documented
/// standard-output lines (the "UDP Initialized." line, the loop lines, the
/// protections' lines, ...) never pass through the sink.
///
/// Threads: every function here may be called from any thread. The sink is
/// called with a lock held, one message at a time, on the thread that logs:
/// it must neither throw, nor log itself, nor change the sink. Messages below the threshold
/// cost one atomic load; logging through the default sink allocates nothing.
#pragma once

#include <atomic>
#include <functional>

namespace KALVENT_LEGGED_SDK {

/// How much a message matters; a threshold of Off drops them all.
enum class LogLevel : int { Debug = 0, Info = 1, Warning = 2, Error = 3, Off = 4 };

/// Receives one message: its level, its source and its text (no newline);
/// both strings live only for the call.
using LogSink = std::function<void(LogLevel level, const char* source, const char* message)>;

/// Installs `function` as the sink for every message from now on; an empty
/// function silences the library.
void setLogSink(LogSink function);
/// Goes back to the default sink: the text and a newline on standard error.
void resetLogSink();
/// Drops messages below `minimum` before they are formatted (default Info).
void setLogLevel(LogLevel minimum) noexcept;
/// The current threshold.
LogLevel logLevel() noexcept;

/// Formats a message printf-style (cut at 511 bytes) and hands it to the
/// sink, unless its level is below the threshold.
void logMessage(LogLevel level, const char* source, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/// One warning's episode: a condition that may last many calls (a silent
/// link, a stream of bad packets) is reported once when it begins, and again
/// only after the caller said it ended. Any thread may log or end it.
class LogEpisode {
 public:
  /// Logs as logMessage does when no episode is open, and opens one; while
  /// one is open, drops the message. Returns whether the message was handed
  /// on (a message below the threshold still opens the episode).
  bool logOnce(LogLevel level, const char* source, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  /// The condition is over: the next logOnce speaks again.
  void end() noexcept { open_.store(false, std::memory_order_relaxed); }
  /// Whether an episode is open.
  bool isOpen() const noexcept { return open_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> open_{false};
};

}  // namespace KALVENT_LEGGED_SDK
