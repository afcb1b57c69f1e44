#include "fatal.h"

#include <cstdio>
#include <cstdlib>

namespace KALVENT_LEGGED_SDK {

void endProcess(ExitStatus status, const char* stdoutText, const char* diagnostic) {
  std::fputs(stdoutText, stdout);
  std::fflush(stdout);
  if (diagnostic != nullptr) std::fprintf(stderr, "%s\n", diagnostic);
  std::exit(static_cast<int>(status));
}

}  // namespace KALVENT_LEGGED_SDK
