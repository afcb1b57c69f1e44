// The library's one log sink.
#include "kalvent_legged_sdk/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

namespace KALVENT_LEGGED_SDK {

namespace {

// Longest message text handed to a sink, with its terminating zero.
constexpr int kMessageBytes = 512;

void writeToStandardError(LogLevel, const char*, const char* message) {
  std::fprintf(stderr, "%s\n", message);
}

// The installed sink and its lock. Not a global object, so that messages
// logged while other translation units are constructed or destroyed find it.
struct Sink {
  std::mutex lock;
  LogSink write{writeToStandardError};
};

Sink& sink() {
  static Sink* const installed = new Sink;  // never destroyed: logging works to the end
  return *installed;
}

std::atomic<int> threshold{static_cast<int>(LogLevel::Info)};

bool wanted(LogLevel level) noexcept {
  return level != LogLevel::Off &&
         static_cast<int>(level) >= threshold.load(std::memory_order_relaxed);
}

void deliver(LogLevel level, const char* source, const char* format, va_list arguments) {
  char message[kMessageBytes];
  std::vsnprintf(message, sizeof message, format, arguments);
  Sink& installed = sink();
  std::lock_guard<std::mutex> hold(installed.lock);
  if (installed.write) installed.write(level, source, message);
}

}  // namespace

void setLogSink(LogSink function) {
  Sink& installed = sink();
  std::lock_guard<std::mutex> hold(installed.lock);
  installed.write = std::move(function);
}

void resetLogSink() {
  setLogSink(writeToStandardError);
}

void setLogLevel(LogLevel minimum) noexcept {
  threshold.store(static_cast<int>(minimum), std::memory_order_relaxed);
}

LogLevel logLevel() noexcept {
  return static_cast<LogLevel>(threshold.load(std::memory_order_relaxed));
}

// printf-style on purpose: the message is formatted into a stack buffer.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void logMessage(LogLevel level, const char* source, const char* format, ...) {
  if (!wanted(level)) return;
  va_list arguments;
  va_start(arguments, format);
  deliver(level, source, format, arguments);
  va_end(arguments);
}

// NOLINTNEXTLINE(cert-dcl50-cpp)
bool LogEpisode::logOnce(LogLevel level, const char* source, const char* format, ...) {
  if (open_.exchange(true, std::memory_order_relaxed)) return false;
  if (!wanted(level)) return false;
  va_list arguments;
  va_start(arguments, format);
  deliver(level, source, format, arguments);
  va_end(arguments);
  return true;
}

}  // namespace KALVENT_LEGGED_SDK
