// The library's set-up errors as Python exceptions.
#pragma once

#include <kalvent_legged_sdk.h>

#include <utility>

#include "bindings.h"

namespace kalvent_python {

// Raises `error` in Python: ValueError for a bad argument (level, robot
// model, packet length), OSError(errno, message) for a failed system step
// (socket, bind, connect, LCM creation).
[[noreturn]] void raiseSetUpError(const KALVENT_LEGGED_SDK::Error& error);

// What a non-exiting set-up call made, or its error raised in Python.
template <typename T>
T madeOrRaised(KALVENT_LEGGED_SDK::Result<T> result) {
  if (!result) raiseSetUpError(result.error());
  return std::move(result).value();
}

}  // namespace kalvent_python
