// What the endpoint's constructors and its open factories share. Private to
// the library.
#pragma once

#include <netinet/in.h>

#include "kalvent_legged_sdk/result.h"

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// The error of a socket call that just failed: `step`, errno, and the call,
// its address and the system's reason, e.g. "bind 0.0.0.0:8080: Address
// already in use".
Error socketCallError(Step step, const char* call, const sockaddr_in& at);

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
