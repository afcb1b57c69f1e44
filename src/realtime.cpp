// Real-time set-up steps, their failure texts, and the set-up that reports.
#include "kalvent_legged_sdk/realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kalvent_legged_sdk/log.h"
#include "realtime_setup.h"

namespace KALVENT_LEGGED_SDK {

namespace {

// Bytes of stack faulted in before memory is locked.
constexpr int kPrefaultedStackBytes = 16384;

// The soft limit of `resource` as text: a number or "unlimited".
void limitText(int resource, char* text, std::size_t size) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0) {
    std::snprintf(text, size, "unknown");
  } else if (limit.rlim_cur == RLIM_INFINITY) {
    std::snprintf(text, size, "unlimited");
  } else {
    std::snprintf(text, size, "%llu", static_cast<unsigned long long>(limit.rlim_cur));
  }
}

// Appends `text` to `reason`, after "; " when it holds something already.
void appendReason(char* reason, std::size_t size, const char* text) {
  const std::size_t used = std::strlen(reason);
  std::snprintf(reason + used, size - used, "%s%s", used == 0 ? "" : "; ", text);
}

}  // namespace

__attribute__((noinline)) void prefaultStack() noexcept {
  // Volatile, so that the stores cannot be dropped.
  [[maybe_unused]] volatile char stack[kPrefaultedStackBytes];
  for (int i = 0; i < kPrefaultedStackBytes; ++i) stack[i] = 0;
}

int lockAllMemory() noexcept {
  return mlockall(MCL_CURRENT | MCL_FUTURE) == 0 ? 0 : errno;
}

void describeLockFailure(int error, char* text, std::size_t size) noexcept {
  char limit[32];
  limitText(RLIMIT_MEMLOCK, limit, sizeof limit);
  std::snprintf(text, size,
                "mlockall: %s; needs CAP_IPC_LOCK or a larger RLIMIT_MEMLOCK (now %s bytes): "
                "ulimit -l unlimited, or memlock in /etc/security/limits.conf",
                std::strerror(error), limit);
}

void describeFifoFailure(int error, int priority, char* text, std::size_t size) noexcept {
  if (error == EINVAL) {
    std::snprintf(text, size, "SCHED_FIFO priority %d: %s; the priority must be %d to %d", priority,
                  std::strerror(error), sched_get_priority_min(SCHED_FIFO),
                  sched_get_priority_max(SCHED_FIFO));
    return;
  }
  char limit[32];
  limitText(RLIMIT_RTPRIO, limit, sizeof limit);
  std::snprintf(text, size,
                "SCHED_FIFO priority %d: %s; needs CAP_SYS_NICE or RLIMIT_RTPRIO >= %d (now %s): "
                "ulimit -r %d, or rtprio in /etc/security/limits.conf",
                priority, std::strerror(error), priority, limit, priority);
}

RealtimeReport TryInitEnvironment(int priority) noexcept {
  RealtimeReport report{};
  prefaultStack();

  char failure[256];
  const int lockError = lockAllMemory();
  report.memoryLocked = lockError == 0;
  if (!report.memoryLocked) {
    describeLockFailure(lockError, failure, sizeof failure);
    logMessage(LogLevel::Warning, "realtime", "%s", failure);
    appendReason(report.reason, sizeof report.reason, failure);
  }

  sched_param params{};
  params.sched_priority = priority;
  const int fifoError = pthread_setschedparam(pthread_self(), SCHED_FIFO, &params);
  report.fifoScheduling = fifoError == 0;
  report.priority = report.fifoScheduling ? priority : 0;
  if (!report.fifoScheduling) {
    describeFifoFailure(fifoError, priority, failure, sizeof failure);
    logMessage(LogLevel::Warning, "realtime", "%s", failure);
    appendReason(report.reason, sizeof report.reason, failure);
  }
  return report;
}

}  // namespace KALVENT_LEGGED_SDK
