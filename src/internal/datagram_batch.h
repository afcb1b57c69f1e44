// Datagrams taken from a socket several at a time, so that draining a queue
// costs one system call rather than one per datagram plus one that finds it
// empty.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

class DatagramBatch {
 public:
  // Most datagrams one receive() takes: at control rates one or two wait.
  static constexpr int kCapacity = 8;

  // Slots of `slotLength` bytes (at least 1) each, allocated here only.
  explicit DatagramBatch(int slotLength);

  DatagramBatch(const DatagramBatch&) = delete;
  DatagramBatch& operator=(const DatagramBatch&) = delete;

  // Takes what is queued on `fd`, up to kCapacity datagrams, in one call that
  // never waits. Returns how many it took: 0 when none was queued or the call
  // failed (a pending socket error is consumed, as a single read would).
  int receive(int fd) noexcept;

  // Datagram `i` of the last receive(), in arrival order: its first bytes, how
  // many (a longer datagram is cut to the slot length) and its sender.
  const char* data(int i) const noexcept { return slots_.get() + i * slotLength_; }
  int length(int i) const noexcept { return static_cast<int>(messages_[i].msg_len); }
  const sockaddr_in& sender(int i) const noexcept { return senders_[i]; }

 private:
  int slotLength_;
  std::unique_ptr<char[]> slots_;
  iovec vectors_[kCapacity]{};
  sockaddr_in senders_[kCapacity]{};
  mmsghdr messages_[kCapacity]{};
};

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
