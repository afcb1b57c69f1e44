// A link's quality, measured against a controller like a control program
// would see it.
#pragma once

#include <cstdint>

#include "kalvent_legged_sdk/result.h"
#include "measure.h"
#include "options.h"

namespace kalvent_linkcheck {

// The command rate, Hz: a 500 Hz control loop.
constexpr int kLinkRateHz = 500;

struct LinkResult {
  int localPort = 0;      // the port actually bound
  uint64_t sent = 0;      // commands sent
  uint64_t received = 0;  // valid states accepted
  uint64_t checksumFailures = 0;
  uint64_t emptyPolls = 0;
  uint64_t tickRestarts = 0;
  double lossRun;              // share 0..1 since the first state (or the last restart); NaN
  double lossRecent;           // share 0..1 over the last second; NaN
  Distribution stateAgeMs;     // the newest state's age just before each send
  Distribution sendToStateMs;  // from a send to the next valid state's arrival
  uint64_t staleEpisodes = 0;  // times the state became older than the threshold
  bool answered = false;       // a valid state arrived
};

// Runs the link check of `options` on the calling thread: its figures, or
// why the endpoint could not be set up (Step::Bind for a local port in use,
// Step::Connect for an address this machine cannot send to, such as a
// subnet's broadcast address).
KALVENT_LEGGED_SDK::Result<LinkResult> runLinkCheck(const Options& options);

}  // namespace kalvent_linkcheck
