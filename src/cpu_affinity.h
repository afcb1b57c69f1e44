// Pinning a library thread to one CPU, for the loops. Private to the library.
#pragma once

#include <string>
#include <thread>

#include "kalvent_legged_sdk/result.h"

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// Lets `thread` run on `cpu` only. Step::CpuAffinity with errno when the
// system refuses (a CPU the machine does not have, or beyond CPU_SETSIZE:
// EINVAL); the message names `who`, e.g. "pthread_setaffinity_np loop send
// to cpu 3: Invalid argument".
Result<void> pinToCpu(std::thread& thread, int cpu, const std::string& who);

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
