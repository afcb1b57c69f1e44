// The UDP endpoint as Python holds it.
#pragma once

#include <kalvent_legged_sdk.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "record_view.h"

namespace kalvent_python {

// A UDP endpoint together with what Python needs beside it: the peer's
// address text, which the endpoint reads for its whole life, the packet
// lengths, which the raw-buffer calls check the caller's buffer against, and
// the locks that let any number of Python threads share it.
//
// The endpoint comes from the library's non-exiting factories, which write
// nothing on standard output; this object writes the lines the classic
// endpoint writes ("UDP Initialized. Port: N ", "Client connected! Client
// IP:ADDR", "Closing UDP."), so that Python programs print what they did.
//
// The library allows one thread per call (one Send, one Recv, one control
// thread); Python threads may call anything at once, so each call kind is
// serialised here. Lock order: sendCall, recvCall, packets. No thread waits
// for one of them while holding the GIL (lockKeepingGil releases it first).
struct Endpoint {
  std::string targetText;
  int sendLength = 0;  // guarded by packets
  int recvLength = 0;  // guarded by packets
  std::unique_ptr<KALVENT_LEGGED_SDK::UDP> udp;
  bool serverMode = false;
  bool clientAnnounced = false;  // guarded by recvCall

  Endpoint() = default;
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
  // Prints "Closing UDP." (and "Error! Close UDP Failed." for a server-mode
  // endpoint that never had a client) when it holds a socket.
  ~Endpoint();

  std::mutex sendCall;  // one Send at a time
  std::mutex recvCall;  // one Recv at a time
  std::mutex packets;   // SetSend and GetRecv, against switchLevel re-sizing

  // Set, under all three locks, from a state loop's start until its
  // shutdown: its thread alone then receives and sends, so send() and recv()
  // do nothing and fail, and the Python calls refuse.
  std::atomic<bool> stateLoopOwns{false};

  // Without the GIL, from Python or from a loop thread.
  int send() {
    const std::lock_guard<std::mutex> lock(sendCall);
    return stateLoopOwns ? -1 : udp->Send();
  }
  int recv() {
    const std::lock_guard<std::mutex> lock(recvCall);
    if (stateLoopOwns) return -3;
    const int received = udp->Recv();
    if (serverMode && !clientAnnounced) announceClient();
    return received;
  }

  // RuntimeError for a Python call of `call` while a state loop owns the
  // endpoint. GIL held.
  void refuseWhileStateLoopOwns(const char* call) const;

 private:
  // Prints the server-mode endpoint's first client, once. With recvCall held.
  void announceClient();
};

// Locks `mutex` for a caller that holds the GIL: at once when it is free,
// otherwise after releasing the GIL for the wait, so that a holder that needs
// the GIL is never kept waiting for it.
std::unique_lock<std::mutex> lockKeepingGil(std::mutex& mutex);

// Registers class UDP; returns it for the parts that add to it.
py::class_<Endpoint> bindEndpoint(py::module_& m);
// LinkHealth, UDP.linkHealth() and TryInitEnvironment.
void bindHealth(py::module_& m, py::class_<Endpoint>& udp);

}  // namespace kalvent_python
