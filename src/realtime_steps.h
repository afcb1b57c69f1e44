// The real-time set-up step InitEnvironment takes beyond the public ones.
// Private to the library.
#pragma once

#include "kalvent_legged_sdk/result.h"

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// Makes the process's main thread SCHED_FIFO at `priority`, whichever thread
// calls; fails as setFifoScheduling does.
Result<void> setMainThreadFifo(int priority);

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
