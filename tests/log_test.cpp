// The log sink: what reaches it, what the threshold and silence drop, the
// once-per-episode limit, and the default on standard error.
#include "kalvent_legged_sdk/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kalvent_legged_sdk/udp.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Collects every message as "LEVEL source: text"; restores the default
// sink and threshold afterwards.
class LogSink : public testing::Test {
 protected:
  void SetUp() override {
    sdk::setLogSink([this](sdk::LogLevel level, const char* source, const char* message) {
      got.push_back(std::to_string(static_cast<int>(level)) + " " + source + ": " + message);
    });
  }
  void TearDown() override {
    sdk::resetLogSink();
    sdk::setLogLevel(sdk::LogLevel::Info);
  }

  std::vector<std::string> got;
};

TEST_F(LogSink, ReceivesWhatTheThresholdLetsThrough) {
  sdk::logMessage(sdk::LogLevel::Info, "udp", "port %d", 8080);
  sdk::logMessage(sdk::LogLevel::Debug, "udp", "below the default threshold");
  sdk::setLogLevel(sdk::LogLevel::Error);
  sdk::logMessage(sdk::LogLevel::Warning, "udp", "below Error");
  sdk::logMessage(sdk::LogLevel::Error, "lcm", "%s", std::string(600, 'x').c_str());
  sdk::setLogLevel(sdk::LogLevel::Off);
  sdk::logMessage(sdk::LogLevel::Error, "udp", "nothing passes Off");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "1 udp: port 8080");
  EXPECT_EQ(got[1], "3 lcm: " + std::string(511, 'x'));  // cut to the stack buffer
}

TEST_F(LogSink, AnEpisodeSpeaksOnceUntilItEnds) {
  sdk::LogEpisode silence;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(silence.logOnce(sdk::LogLevel::Warning, "link", "silent %d", i), i == 0);
  }
  EXPECT_TRUE(silence.isOpen());
  silence.end();
  EXPECT_TRUE(silence.logOnce(sdk::LogLevel::Warning, "link", "silent again"));
  EXPECT_EQ(got, (std::vector<std::string>{"2 link: silent 0", "2 link: silent again"}));
}

// The default writes the text alone on standard error, until silenced; the
// exiting layer's diagnostics pass through the sink, named by the failed step.
TEST(DefaultLogSink, WritesTheTextOnStandardErrorAndCarriesTheExitDiagnostics) {
  std::string err;
  const auto plain = kalvent_test::runInChild(
      [] {
        sdk::logMessage(sdk::LogLevel::Warning, "udp", "to stderr %d", 1);
        sdk::setLogSink(nullptr);
        sdk::logMessage(sdk::LogLevel::Error, "udp", "silenced");
      },
      &err);
  EXPECT_EQ(plain.out, "");
  EXPECT_EQ(err, "to stderr 1\n");
  const auto exiting = kalvent_test::runInChild([] {
    sdk::setLogSink([](sdk::LogLevel, const char* source, const char* message) {
      std::printf("sink %s: %s\n", source, message);
    });
    sdk::UDP endpoint(0x01);
  });
  EXPECT_EQ(exiting.status, 255);
  EXPECT_EQ(exiting.out,
            "Level Flag Error.\nsink level selector: UDP: level 0x01 is neither HIGHLEVEL (0x00) "
            "nor LOWLEVEL (0xff)\n");
}

}  // namespace
