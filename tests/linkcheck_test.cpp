// kalvent_linkcheck: the order statistics of its timings, their JSON, and its
// command line, with the numbers that the tools' command lines share.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "measure.h"
#include "number_text.h"
#include "options.h"

namespace {

using kalvent_linkcheck::summarize;
using kalvent_linkcheck::toJson;

// Nearest rank: the smallest sample with at least that share of the samples
// at or below it. Shuffled, so that the summary has to sort.
TEST(LinkcheckDistribution, PercentilesAreNearestRanks) {
  struct Case {
    int count;
    double p50, p99;
  };
  std::mt19937 shuffle(7);
  for (const Case c : {Case{100, 50, 99}, Case{10, 5, 10}, Case{3, 2, 3}, Case{1, 1, 1}}) {
    std::vector<double> samples(static_cast<size_t>(c.count));
    std::iota(samples.begin(), samples.end(), 1.0);
    std::shuffle(samples.begin(), samples.end(), shuffle);
    const auto d = summarize(samples);
    EXPECT_EQ(d.count, samples.size());
    EXPECT_EQ(d.min, 1) << c.count;
    EXPECT_EQ(d.p50, c.p50) << c.count;
    EXPECT_EQ(d.p99, c.p99) << c.count;
    EXPECT_EQ(d.max, c.count) << c.count;
  }
  EXPECT_EQ(toJson(summarize({2, 3, 1})).dump(), R"({"count":3,"min":1,"p50":2,"p99":3,"max":3})");
  EXPECT_EQ(toJson(summarize({0.5, 1.0 / 3})).dump(),
            R"({"count":2,"min":0.333333,"p50":0.333333,"p99":0.5,"max":0.5})");
  const auto none = summarize({});
  EXPECT_EQ(none.count, 0u);
  EXPECT_TRUE(std::isnan(none.min) && std::isnan(none.p50) && std::isnan(none.p99) &&
              std::isnan(none.max));
  EXPECT_EQ(toJson(none).dump(), R"({"count":0,"min":null,"p50":null,"p99":null,"max":null})");
}

// The command line: both forms of a value, the last of a repeated option,
// the link's required options, and options of the other check refused.
TEST(LinkcheckOptions, ReadsValuesAndRefusesWhatTheCheckDoesNotTake) {
  using kalvent_linkcheck::Options;
  using kalvent_linkcheck::ParseOutcome;
  const auto parse = [](std::vector<const char*> args, Options* options, std::string* error) {
    args.insert(args.begin(), "kalvent_linkcheck");
    return kalvent_linkcheck::parseOptions(static_cast<int>(args.size()), args.data(), options,
                                           error);
  };
  Options o;
  std::string error;
  ASSERT_EQ(parse({"link", "--level=high", "--address", "127.0.0.2", "--port=9", "--seconds", "1",
                   "--seconds=2", "--local-port", "0", "--json"},
                  &o, &error),
            ParseOutcome::Run)
      << error;
  EXPECT_FALSE(o.lowLevel);
  EXPECT_EQ(o.address, "127.0.0.2");
  EXPECT_EQ(o.port, 9);
  EXPECT_EQ(o.localPort, 0);
  EXPECT_EQ(o.seconds, 2);
  EXPECT_TRUE(o.json);
  ASSERT_EQ(parse({"machine"}, &o, &error), ParseOutcome::Run);
  EXPECT_EQ(o.seconds, kalvent_linkcheck::kMachineSeconds);
  EXPECT_EQ(parse({"link", "--port", "9", "--help"}, &o, &error), ParseOutcome::Help);
  EXPECT_EQ(parse({"link", "--level", "low", "--port", "9"}, &o, &error), ParseOutcome::Error);
  EXPECT_EQ(error, "link needs --level, --address and --port");
  EXPECT_EQ(parse({"machine", "--port", "9"}, &o, &error), ParseOutcome::Error);
  EXPECT_EQ(parse({"machine", "--seconds"}, &o, &error), ParseOutcome::Error);
}

// A number is the whole text, finite and within its range; anything else
// leaves the value as it was.
TEST(LinkcheckOptions, NumbersAreTheWholeTextWithinTheirRange) {
  namespace sdk = KALVENT_LEGGED_SDK;
  double number = 0;
  EXPECT_TRUE(sdk::parseNumber("-2.5e0", -2.5, 1, &number));
  EXPECT_EQ(number, -2.5);
  for (const char* bad : {"", "1x", "1 ", "nan", "inf", "1e999", "1.0001", "-2.6"}) {
    EXPECT_FALSE(sdk::parseNumber(bad, -2.5, 1, &number)) << bad;
  }
  EXPECT_EQ(number, -2.5);
  uint16_t port = 0;
  EXPECT_TRUE(sdk::parseWholeNumber("8007", 1, 65535, &port));
  EXPECT_EQ(port, 8007);
  for (const char* bad : {"", "0", "65536", "8.0", "80x", "99999999999999999999"}) {
    EXPECT_FALSE(sdk::parseWholeNumber(bad, 1, 65535, &port)) << bad;
  }
  EXPECT_EQ(port, 8007);
}

}  // namespace
