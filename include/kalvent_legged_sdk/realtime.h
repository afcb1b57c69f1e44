/// @file
/// Real-time set-up that reports instead of ending the process.
///
/// InitEnvironment (loop.h) ends the process when the system refuses memory
/// locking or the real-time class. TryInitEnvironment does the same two steps
/// and tells the program what it achieved, so that a program can run without
/// real-time rights (on a development PC, say) and say so. lockMemory and
/// setFifoScheduling are the two steps alone, each returning its Error.
#pragma once

#include "kalvent_legged_sdk/loop.h"
#include "kalvent_legged_sdk/result.h"

namespace KALVENT_LEGGED_SDK {

/// What TryInitEnvironment achieved.
struct RealtimeReport {
  bool memoryLocked;    ///< mlockall(MCL_CURRENT|MCL_FUTURE) succeeded
  bool fifoScheduling;  ///< the calling thread now runs SCHED_FIFO at `priority`
  int priority;         ///< the FIFO priority set; 0 when none was
  /// Why not, naming the call, the system's reason, the limit with its
  /// current value and the fix (CAP_IPC_LOCK or RLIMIT_MEMLOCK, `ulimit -l`;
  /// CAP_SYS_NICE or RLIMIT_RTPRIO, `ulimit -r`; /etc/security/limits.conf;
  /// or the valid priority range). Both failures are separated by "; " and
  /// cut to fit; the text is empty when both steps succeeded.
  char reason[256];
};

/// Prepares the calling thread for real-time control: pre-faults 16 KiB of
/// its stack, locks all current and future memory of the process, and makes
/// the calling thread SCHED_FIFO at `priority` (1 to 99), which loops it
/// starts afterwards inherit. It tries the scheduling step even when locking
/// failed.
///
/// Logs one Warning for each step that fails (the same text as in
/// RealtimeReport::reason; on standard error unless the program changed the
/// log sink, log.h), writes nothing on standard output, and never ends the
/// process. Call it from the thread that will start the loops, before
/// starting them. Returns what it achieved.
RealtimeReport TryInitEnvironment(int priority = THREAD_PRIORITY) noexcept;

/// Pre-faults 16 KiB of the calling thread's stack and locks all current and
/// future memory of the process (mlockall). Step::MemoryLock with errno and
/// the reason of RealtimeReport::reason; logs nothing.
Result<void> lockMemory();

/// Makes the calling thread SCHED_FIFO at `priority` (1 to 99).
/// Step::RealtimeScheduling with errno and the reason of
/// RealtimeReport::reason; logs nothing.
Result<void> setFifoScheduling(int priority = THREAD_PRIORITY);

}  // namespace KALVENT_LEGGED_SDK
