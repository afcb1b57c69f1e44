#include "fatal.h"

#include <cstdio>
#include <cstdlib>

#include "kalvent_legged_sdk/log.h"

namespace KALVENT_LEGGED_SDK {

void endProcess(ExitStatus status, const char* stdoutText, const char* diagnostic) {
  std::fputs(stdoutText, stdout);
  std::fflush(stdout);
  if (diagnostic != nullptr) logMessage(LogLevel::Error, "kalvent_legged_sdk", "%s", diagnostic);
  std::exit(static_cast<int>(status));
}

void endProcess(const Error& error, const char* stdoutText) {
  std::fputs(stdoutText, stdout);
  std::fflush(stdout);
  logMessage(LogLevel::Error, stepName(error.step), "%s", error.message.c_str());
  std::exit(static_cast<int>(exitStatusOf(error.step)));
}

}  // namespace KALVENT_LEGGED_SDK
