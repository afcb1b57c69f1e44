// The body of the plain benchmark programs (those that print tables rather
// than Google Benchmark's rates): their command line, a quiet library and
// a failure reported rather than ending the process.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "kalvent_legged_sdk/log.h"

namespace kalvent_bench {

// Reads an optional positive SECONDS (default `seconds`) from the command
// line, silences the library's log sink and calls `measure(seconds)`.
// Returns the exit status: 0; 2 for a command line it does not take (0
// after --help); 1 when `measure` throws, the reason on standard error.
template <typename Seconds, typename Measure>
int benchMain(int argc, char** argv, const char* program, const char* secondsMeaning,
              Seconds seconds, Measure measure) {
  CLI::App app(program);
  app.add_option("SECONDS", seconds, secondsMeaning)->check(CLI::PositiveNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  KALVENT_LEGGED_SDK::setLogSink({});
  try {
    measure(seconds);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s: %s\n", program, failure.what());
    return 1;
  }
  return 0;
}

}  // namespace kalvent_bench
