// The steps of the real-time set-up and the words for their failures, shared
// by InitEnvironment (which ends the process) and TryInitEnvironment (which
// reports). Private to the library.
#pragma once

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// Writes zeros over 16 KiB of the calling thread's stack below the caller's
// frame, so that those pages are present before memory is locked.
void prefaultStack() noexcept;

// mlockall(MCL_CURRENT | MCL_FUTURE). Returns 0, or the errno of the failure.
int lockAllMemory() noexcept;

// Why memory could not be locked (the `error` from lockAllMemory): the call,
// strerror, the limit and how to raise it. Written into `text` (`size` bytes).
void describeLockFailure(int error, char* text, std::size_t size) noexcept;

// Why the FIFO class at `priority` was refused with `error`: the call,
// strerror, the limit and how to raise it.
void describeFifoFailure(int error, int priority, char* text, std::size_t size) noexcept;

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
