/// @file
/// The LCM bridge: carries the four robot records between processes.
///
/// One process takes the command side (SubscribeCmd): it receives commands
/// and publishes state, typically because it owns the UDP link to the robot.
/// The other takes the state side (SubscribeState): it receives state and
/// publishes commands. Every channel carries one raw record, exactly its
/// size, with no header or encoding; a message of any other length is not a
/// record of ours and is ignored.
///
/// LCM's default provider is used, so the transport follows LCM_DEFAULT_URL
/// (multicast UDP unless configured otherwise): the chosen interface must
/// have multicast enabled and routed.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <lcm/lcm-cpp.hpp>
#include <memory>
#include <string>

#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/result.h"

namespace KALVENT_LEGGED_SDK {

/// Channel of HighCmd records (143 bytes each).
const char highCmdChannel[] = "LCM_High_Cmd";
/// Channel of HighState records (256 bytes each).
const char highStateChannel[] = "LCM_High_State";
/// Channel of LowCmd records (730 bytes each).
const char lowCmdChannel[] = "LCM_Low_Cmd";
/// Channel of LowState records (891 bytes each).
const char lowStateChannel[] = "LCM_Low_State";

/// Receives one record type T (HighCmd, HighState, LowCmd or LowState) from
/// one channel and keeps the newest. onMsg runs on the thread that calls
/// LCM::Recv; read the record from other threads under recvMut (LCM::Get
/// does).
template <typename T>
class LCMHandler {
 public:
  /// Nothing received yet: isrunning false, sourceBuf all zero, counter 0.
  LCMHandler() : isrunning(false), counter(0) {
    std::memset(&sourceBuf, 0, sizeof sourceBuf);
    pthread_mutex_init(&countMut, nullptr);
    pthread_mutex_init(&recvMut, nullptr);
  }

  ~LCMHandler() {
    pthread_mutex_destroy(&recvMut);
    pthread_mutex_destroy(&countMut);
  }

  LCMHandler(const LCMHandler&) = delete;
  LCMHandler& operator=(const LCMHandler&) = delete;

  /// Called by LCM for each message on the subscribed channel. Stores a
  /// message of exactly sizeof(T) bytes as the newest record, marks the
  /// handler running and resets counter; any other length leaves all three
  /// untouched.
  void onMsg(const lcm::ReceiveBuffer* rbuf, const std::string& channel) {
    static_cast<void>(channel);
    if (rbuf->data_size != sizeof(T)) return;
    isrunning = true;
    pthread_mutex_lock(&countMut);
    counter = 0;
    pthread_mutex_unlock(&countMut);
    pthread_mutex_lock(&recvMut);
    std::memcpy(&sourceBuf, rbuf->data, sizeof(T));
    pthread_mutex_unlock(&recvMut);
  }

  /// True once a record has arrived; never cleared. Written by the Recv
  /// thread without a lock.
  bool isrunning;
  /// The newest record received (all zero before the first); guarded by recvMut.
  T sourceBuf;
  /// Guards counter.
  pthread_mutex_t countMut;
  /// Guards sourceBuf.
  pthread_mutex_t recvMut;
  /// Set to 0 on every record received and never counted up by the bridge:
  /// users count it up (under countMut) to measure a record's age.
  int32_t counter;
};

/// One process's end of the bridge, for one level. Construct it, call
/// SubscribeCmd or SubscribeState once, then call Recv repeatedly on one
/// thread (for instance from a periodic loop); Send and Get may be called
/// from any thread.
class LCM {
 public:
  /// Creates the LCM instance and prints "LCM Initialized. " (no newline:
  /// the subscribe line follows). `level` is HIGHLEVEL or LOWLEVEL; any other
  /// value prints "Level Flag Error." and ends the process with status 255.
  /// If LCM cannot be set up, prints "Error: LCM initiate failed." and ends
  /// the process with status 254.
  explicit LCM(uint8_t level);
  /// The same bridge without ending the process and without the console
  /// line: Step::LevelSelector (checked before LCM is created), or
  /// Step::LcmCreation with the errno LCM's set-up left (0 when it left none)
  /// and the provider URL it was given.
  static Result<std::unique_ptr<LCM>> open(uint8_t level);
  /// Drops the subscriptions and the LCM instance; prints nothing.
  ~LCM();

  LCM(const LCM&) = delete;
  LCM& operator=(const LCM&) = delete;

  /// Command side: receive the level's command channel (LowCmd or HighCmd)
  /// and print the subscribe and publish channel names. Called again, it
  /// replaces the command subscription this bridge made before.
  void SubscribeCmd();
  /// State side: receive the level's state channel (LowState or HighState)
  /// and print the subscribe and publish channel names. Called again, it
  /// replaces the state subscription this bridge made before.
  void SubscribeState();

  /// Publish the record on its own channel, whatever the level or side;
  /// the record is not changed. Always return 0.
  ///@{
  int Send(HighCmd& cmd);
  int Send(LowCmd& cmd);
  int Send(HighState& state);
  int Send(LowState& state);
  ///@}

  /// Waits up to LCM_PERIOD - 20 µs (1980 µs) for a message; then handles
  /// every message waiting, including those arriving meanwhile, storing each
  /// into its handler on this thread. Returns 1, or -2 when nothing arrived
  /// in time. One thread at a time per bridge.
  int Recv();

  /// Copy the newest received record of that type (all zero before the
  /// first) into the caller's record.
  ///@{
  void Get(HighCmd& cmd);
  void Get(LowCmd& cmd);
  void Get(HighState& state);
  void Get(LowState& state);
  ///@}

  /// Receives "LCM_High_State".
  LCMHandler<HighState> highStateLCMHandler;
  /// Receives "LCM_Low_State".
  LCMHandler<LowState> lowStateLCMHandler;
  /// Receives "LCM_High_Cmd".
  LCMHandler<HighCmd> highCmdLCMHandler;
  /// Receives "LCM_Low_Cmd".
  LCMHandler<LowCmd> lowCmdLCMHandler;

 private:
  /// Creates the LCM instance and stores in `outcome` whether the bridge is
  /// usable; prints nothing and never ends the process.
  LCM(uint8_t level, Result<void>* outcome);
  /// The level and the LCM instance, given the errno LCM's set-up left.
  Result<void> setUp(uint8_t level, int setUpError);

  uint8_t levelFlag;  ///< HIGHLEVEL or LOWLEVEL
  ::lcm::LCM lcm;     ///< this bridge's own LCM instance (default provider)
  /// What each side's last Subscribe call made (null until then); kept
  /// apart so that re-subscribing one side never drops the other's.
  ::lcm::Subscription* subCmd;
  ::lcm::Subscription* subState;
  int lcmFd;       ///< readable while messages wait
  int LCM_PERIOD;  ///< µs; Recv waits at most LCM_PERIOD - 20
};

}  // namespace KALVENT_LEGGED_SDK
