// Helpers shared by the test programs.
#pragma once

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

namespace kalvent_test {

// How a forked child ended and what it wrote to standard output.
struct ChildResult {
  bool exited = false;  // ended through exit/_exit (not a signal)
  int status = -1;      // exit status when `exited`
  int signal = 0;       // terminating signal otherwise
  std::string out;      // everything written to stdout
};

// Runs `body` in a forked child whose stdout is a pipe; the child exits 0
// when `body` returns. Kills the child after `timeoutSeconds`.
ChildResult runInChild(const std::function<void()>& body, int timeoutSeconds = 60);
// The same, collecting what the child wrote to standard error into `err`.
ChildResult runInChild(const std::function<void()>& body, std::string* err,
                       int timeoutSeconds = 60);

// The exit status of a child whose case cannot run here (CTest's
// SKIP_RETURN_CODE of the end-to-end scripts too).
constexpr int kSkipStatus = 77;

// Moves the calling process into a new, private network namespace with lo up,
// 127.0.0.1 and both controller addresses on it, and, when `multicast` is
// set, multicast routed over lo. Returns false (with the reason in `why`)
// where namespaces cannot be made; call it only in a forked child.
bool enterPrivateNetwork(bool multicast, std::string* why);

// runInChild inside a private network namespace with multicast routed over
// lo; where none can be made the child prints why and exits kSkipStatus.
// Collects the child's standard error into `err` when it is given.
ChildResult runInPrivateNetwork(const std::function<void()>& body, std::string* err = nullptr,
                                int timeoutSeconds = 60);

// A record whose every byte differs from its neighbours, so that a byte moved
// or changed shows; another salt, another record.
template <typename T>
T patternedRecord(int salt) {
  T record;
  auto* bytes = reinterpret_cast<unsigned char*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + salt);
  return record;
}

template <typename T>
bool sameBytes(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace kalvent_test
