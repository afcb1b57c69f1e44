// The LCM bridge.
#include "kalvent_legged_sdk/lcm.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fatal.h"
#include "level_lengths.h"

namespace KALVENT_LEGGED_SDK {

namespace {

// Publishes the whole byte image of a record; LCM's status is not passed on.
template <typename T>
int publishRecord(::lcm::LCM& lcm, const char* channel, const T& record) {
  lcm.publish(channel, &record, sizeof record);
  return 0;
}

template <typename T>
void copyNewest(LCMHandler<T>& handler, T& out) {
  pthread_mutex_lock(&handler.recvMut);
  std::memcpy(&out, &handler.sourceBuf, sizeof out);
  pthread_mutex_unlock(&handler.recvMut);
}

// Replaces `slot` with a subscription of `handler` to `channel`, dropping
// only what `slot` held, and says on standard output which channel it
// takes and which one the bridge publishes on.
template <typename T>
void resubscribe(::lcm::LCM& lcm, ::lcm::Subscription*& slot, const char* channel,
                 LCMHandler<T>& handler, const char* published) {
  if (slot != nullptr) lcm.unsubscribe(slot);
  slot = lcm.subscribe(channel, &LCMHandler<T>::onMsg, &handler);
  std::printf("Subscribe channel: %s, Publish channel: %s\n", channel, published);
}

// Whether `fd` has something to read within `wait` (the poll itself failing
// counts as -1). ppoll, unlike select, takes any descriptor number, and,
// unlike poll, a wait finer than a millisecond.
int readable(int fd, const timespec& wait) {
  pollfd p{fd, POLLIN, 0};
  const int ready = ppoll(&p, 1, &wait, nullptr);
  if (ready <= 0) return ready;
  return (p.revents & POLLIN) != 0 ? 1 : 0;
}

}  // namespace

LCM::LCM(uint8_t level)
    : levelFlag(0), lcm(""), subCmd(nullptr), subState(nullptr), lcmFd(-1), LCM_PERIOD(2000) {
  // Whatever went wrong while LCM set itself up, before anything else runs.
  const Result<void> ready = setUp(level, errno);
  if (!ready) {
    endProcess(ready.error(), ready.error().step == Step::LevelSelector
                                  ? "Level Flag Error.\n"
                                  : "Error: LCM initiate failed.\n");
  }
  std::printf("LCM Initialized. ");
}

LCM::LCM(uint8_t level, Result<void>* outcome)
    : levelFlag(0), lcm(""), subCmd(nullptr), subState(nullptr), lcmFd(-1), LCM_PERIOD(2000) {
  *outcome = setUp(level, errno);
}

Result<void> LCM::setUp(uint8_t level, int setUpError) {
  const Result<PacketLengths> levelChecked = levelPacketLengths("LCM", level);
  if (!levelChecked) return levelChecked.error();
  if (level == LOWLEVEL) levelFlag = LOWLEVEL;
  if (lcm.good()) lcmFd = lcm.getFileno();
  if (lcmFd >= 0) return {};
  // LCM reports no reason of its own: name what it was given.
  const char* url = std::getenv("LCM_DEFAULT_URL");
  std::string message = std::string("LCM: no provider from LCM_DEFAULT_URL=") +
                        (url != nullptr ? url : "(unset: LCM's default UDP multicast)");
  if (setUpError != 0) message += std::string("; last system error: ") + std::strerror(setUpError);
  return Error{Step::LcmCreation, setUpError, message};
}

Result<std::unique_ptr<LCM>> LCM::open(uint8_t level) {
  const Result<PacketLengths> levelChecked = levelPacketLengths("LCM", level);
  if (!levelChecked) return levelChecked.error();
  errno = 0;  // what LCM's set-up leaves is then its own
  Result<void> ready;
  std::unique_ptr<LCM> bridge(new LCM(level, &ready));
  if (!ready) return ready.error();
  return bridge;
}

LCM::~LCM() = default;

void LCM::SubscribeCmd() {
  if (levelFlag == LOWLEVEL) {
    return resubscribe(lcm, subCmd, lowCmdChannel, lowCmdLCMHandler, lowStateChannel);
  }
  resubscribe(lcm, subCmd, highCmdChannel, highCmdLCMHandler, highStateChannel);
}

void LCM::SubscribeState() {
  if (levelFlag == LOWLEVEL) {
    return resubscribe(lcm, subState, lowStateChannel, lowStateLCMHandler, lowCmdChannel);
  }
  resubscribe(lcm, subState, highStateChannel, highStateLCMHandler, highCmdChannel);
}

int LCM::Send(HighCmd& cmd) {
  return publishRecord(lcm, highCmdChannel, cmd);
}

int LCM::Send(LowCmd& cmd) {
  return publishRecord(lcm, lowCmdChannel, cmd);
}

int LCM::Send(HighState& state) {
  return publishRecord(lcm, highStateChannel, state);
}

int LCM::Send(LowState& state) {
  return publishRecord(lcm, lowStateChannel, state);
}

int LCM::Recv() {
  const timespec overTime{0, static_cast<long>(LCM_PERIOD - 20) * 1000};
  const timespec clearBuf{0, 0};
  const int waited = readable(lcmFd, overTime);
  if (waited == 0) return -2;
  // handle() blocks until a message comes, so it runs only right after a
  // poll that saw one. A failed wait still drains; a failed drain poll ends
  // the drain.
  if (waited > 0) lcm.handle();
  while (readable(lcmFd, clearBuf) > 0) lcm.handle();
  return 1;
}

void LCM::Get(HighCmd& cmd) {
  copyNewest(highCmdLCMHandler, cmd);
}

void LCM::Get(LowCmd& cmd) {
  copyNewest(lowCmdLCMHandler, cmd);
}

void LCM::Get(HighState& state) {
  copyNewest(highStateLCMHandler, state);
}

void LCM::Get(LowState& state) {
  copyNewest(lowStateLCMHandler, state);
}

}  // namespace KALVENT_LEGGED_SDK
