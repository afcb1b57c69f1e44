// The real-time set-up steps, each reporting its failure as a value.
#include "realtime_steps.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include "kalvent_legged_sdk/realtime.h"
#include "realtime_setup.h"

namespace KALVENT_LEGGED_SDK {

namespace {

Result<void> fifoOutcome(int error, int priority) {
  if (error == 0) return {};
  char reason[256];
  describeFifoFailure(error, priority, reason, sizeof reason);
  return Error{Step::RealtimeScheduling, error, reason};
}

}  // namespace

Result<void> lockMemory() {
  prefaultStack();
  const int error = lockAllMemory();
  if (error == 0) return {};
  char reason[256];
  describeLockFailure(error, reason, sizeof reason);
  return Error{Step::MemoryLock, error, reason};
}

Result<void> setFifoScheduling(int priority) {
  sched_param params{};
  params.sched_priority = priority;
  return fifoOutcome(pthread_setschedparam(pthread_self(), SCHED_FIFO, &params), priority);
}

Result<void> setMainThreadFifo(int priority) {
  // getpid() names the main thread, whichever thread makes the call.
  sched_param params{};
  params.sched_priority = priority;
  return fifoOutcome(sched_setscheduler(getpid(), SCHED_FIFO, &params) == -1 ? errno : 0, priority);
}

}  // namespace KALVENT_LEGGED_SDK
