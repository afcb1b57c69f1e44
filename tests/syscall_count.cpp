#include "syscall_count.h"

#include <dlfcn.h>
#include <sys/socket.h>

namespace kalvent_test {

namespace {

// Per thread, so that counting costs no shared cache line.
thread_local uint64_t calls = 0;

void countCall() {
  ++calls;
}

// The C library's own function behind the stand-in of the same name.
template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

uint64_t socketCalls() {
  return calls;
}

}  // namespace kalvent_test

using kalvent_test::countCall;
using kalvent_test::real;

extern "C" {

ssize_t send(int fd, const void* data, size_t length, int flags) {
  static const auto next = real<decltype(&send)>("send");
  countCall();
  return next(fd, data, length, flags);
}

ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
               socklen_t toLength) {
  static const auto next = real<decltype(&sendto)>("sendto");
  countCall();
  return next(fd, data, length, flags, to, toLength);
}

ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  static const auto next = real<decltype(&sendmsg)>("sendmsg");
  countCall();
  return next(fd, message, flags);
}

int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
  static const auto next = real<decltype(&sendmmsg)>("sendmmsg");
  countCall();
  return next(fd, messages, count, flags);
}

ssize_t recv(int fd, void* data, size_t length, int flags) {
  static const auto next = real<decltype(&recv)>("recv");
  countCall();
  return next(fd, data, length, flags);
}

ssize_t recvfrom(int fd, void* data, size_t length, int flags, sockaddr* from,
                 socklen_t* fromLength) {
  static const auto next = real<decltype(&recvfrom)>("recvfrom");
  countCall();
  return next(fd, data, length, flags, from, fromLength);
}

ssize_t recvmsg(int fd, msghdr* message, int flags) {
  static const auto next = real<decltype(&recvmsg)>("recvmsg");
  countCall();
  return next(fd, message, flags);
}

int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) {
  static const auto next = real<decltype(&recvmmsg)>("recvmmsg");
  countCall();
  return next(fd, messages, count, flags, timeout);
}
}
