// Periodic real-time loops and the process's real-time set-up.
#pragma once

namespace KALVENT_LEGGED_SDK {

// SCHED_FIFO priority that InitEnvironment gives the main thread.
const int THREAD_PRIORITY = 99;

}  // namespace KALVENT_LEGGED_SDK
