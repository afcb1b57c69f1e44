// kalvent_dash's command line.
#pragma once

#include <cstdint>
#include <string>

namespace kalvent_dash {

struct Options {
  uint16_t port = 8765;            // 0: any free port (the printed address tells which)
  std::string bind = "127.0.0.1";  // the address to listen on
  bool bindGiven = false;          // --bind given: its origin is accepted as well
  std::string web;                 // the page's files; empty: found beside the program
  std::string replay;              // a recording to replay instead of listening to LCM
  double speed = 1;                // replay speed, > 0
};

enum class ParseOutcome { Run, Exit };

// Reads argv into *options. On Exit, *status is the process's exit status
// (0 after --help, non-zero for a bad command line) and CLI11 has printed
// what it had to say.
ParseOutcome parseOptions(int argc, char** argv, Options* options, int* status);

}  // namespace kalvent_dash
