// Counts the socket system calls a program makes, by standing in front of the
// C library's send and receive functions in the program that links it.
#pragma once

#include <cstdint>

namespace kalvent_test {

// Calls so far by the calling thread of send, sendto, sendmsg, sendmmsg,
// recv, recvfrom, recvmsg and recvmmsg, from any library of the process.
uint64_t socketCalls();

}  // namespace kalvent_test
