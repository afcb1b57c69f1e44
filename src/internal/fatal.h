// How a set-up failure ends the process: the documented line on standard
// output, one line on standard error saying why, then exit with a named
// status. Private to the library.
#pragma once

#include "kalvent_legged_sdk/result.h"

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// Exit statuses of the failures that end the process.
enum class ExitStatus : int {
  InvalidArgument = -1,  // status 255: a selector or argument value is invalid
  SetUpFailure = -2,     // status 254: the system refused a resource or a protection fired
};

// Writes `stdoutText` exactly as given (it carries its own newline, or
// none), then `diagnostic` followed by a newline on standard error when it is
// not null, flushes both and ends the process with `status`.
[[noreturn]] void endProcess(ExitStatus status, const char* stdoutText,
                             const char* diagnostic = nullptr);

// The status a failed step ends the process with: 255 for the selectors and
// packet lengths (the caller's arguments), 254 for what the system refused.
constexpr ExitStatus exitStatusOf(Step step) noexcept {
  return step == Step::LevelSelector || step == Step::RobotModelSelector ||
                 step == Step::PacketLength
             ? ExitStatus::InvalidArgument
             : ExitStatus::SetUpFailure;
}

// Ends the process for `error`: `stdoutText`, then the error's message on
// standard error, with the step's status.
[[noreturn]] void endProcess(const Error& error, const char* stdoutText);

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
