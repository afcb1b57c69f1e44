#include "datagram_batch.h"

namespace KALVENT_LEGGED_SDK {

DatagramBatch::DatagramBatch(int slotLength)
    : slotLength_(slotLength), slots_(std::make_unique<char[]>(kCapacity * slotLength)) {
  for (int i = 0; i < kCapacity; ++i) {
    vectors_[i].iov_base = slots_.get() + i * slotLength;
    vectors_[i].iov_len = static_cast<size_t>(slotLength);
    messages_[i].msg_hdr.msg_iov = &vectors_[i];
    messages_[i].msg_hdr.msg_iovlen = 1;
    messages_[i].msg_hdr.msg_name = &senders_[i];
  }
}

int DatagramBatch::receive(int fd) noexcept {
  // The kernel shortens the address lengths to what it wrote.
  for (mmsghdr& message : messages_) message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
  const int taken = recvmmsg(fd, messages_, kCapacity, MSG_DONTWAIT, nullptr);
  return taken > 0 ? taken : 0;
}

}  // namespace KALVENT_LEGGED_SDK
