// The simulator's command line, read into Options by CLI11.
#pragma once

#include <cstdio>
#include <string>

#include "controller.h"
#include "fault.h"
#include "kalvent_legged_sdk/quadruped.h"

namespace kalvent_sim {

struct Options {
  std::string address;  // IPv4 address to bind; default: the basic controller's
  int port;             // UDP port to bind; default: the controller's port
  int rateHz = 500;     // state packets per second, 1 to 1000
  KALVENT_LEGGED_SDK::LeggedType model = KALVENT_LEGGED_SDK::LeggedType::Tesmar;
  ModelKind modelKind = ControllerConfig{}.modelKind;
  double duration = 0;     // seconds to run; 0: until stopped
  std::string trajectory;  // CSV file of the joint positions; empty: none
  std::string video;       // film of the rigid bodies (physics model only); empty: none
  std::string readyFile;   // written once the port is bound; empty: none
  std::string record;      // recording of the commands taken and states sent; empty: none
  FaultConfig faults;      // on the state packets sent
  RestartPlan restart;

  Options();
};

enum class ParseOutcome { Run, Help, PrintAddresses, Error };

// Reads the command line into `options`; on Error, `error` says why.
ParseOutcome parseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// Writes the usage text.
void printUsage(std::FILE* out);

// Writes the controller's addresses and port as one line for scripts:
// "basic=ADDR sport=ADDR port=PORT".
void printAddresses(std::FILE* out);

const char* modelName(KALVENT_LEGGED_SDK::LeggedType model);
const char* modelKindName(ModelKind kind);

}  // namespace kalvent_sim
