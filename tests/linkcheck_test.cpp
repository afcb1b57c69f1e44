// kalvent_linkcheck's figures: the order statistics of its timings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "measure.h"

namespace {

using kalvent_linkcheck::summarize;

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
  EXPECT_EQ(toJson(summarize({2, 3, 1})).str(), R"({"count":3,"min":1,"p50":2,"p99":3,"max":3})");
  const auto none = summarize({});
  EXPECT_EQ(none.count, 0u);
  EXPECT_TRUE(std::isnan(none.min) && std::isnan(none.p50) && std::isnan(none.p99) &&
              std::isnan(none.max));
}

}  // namespace
