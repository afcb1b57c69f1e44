#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "kalvent_legged_sdk.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

template <typename Record>
std::vector<unsigned char> bytesOf(const Record& r) {
  std::vector<unsigned char> out(sizeof r);
  std::memcpy(out.data(), &r, sizeof r);
  return out;
}

uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

TEST(Records, StopValuesAreExactFloats) {
  EXPECT_EQ(bitsOf(static_cast<float>(sdk::PosStopF)), 0x4EFFD2B9u);
  EXPECT_EQ(bitsOf(static_cast<float>(sdk::VelStopF)), 0x467A0000u);
  EXPECT_EQ(static_cast<double>(static_cast<float>(sdk::PosStopF)), sdk::PosStopF);
}

TEST(Records, FieldsLandAtTheirWireOffsetsLittleEndian) {
  sdk::LowCmd cmd{};
  cmd.motorCmd[19].q = 1.0f;  // 0x3F800000
  cmd.crc = 0x11223344u;
  const auto bytes = bytesOf(cmd);
  const size_t q19 = 11 + 33 * 19;
  EXPECT_EQ(bytes[q19 + 2], 0x80);
  EXPECT_EQ(bytes[q19 + 3], 0x3F);
  EXPECT_EQ(bytes[726], 0x44);
  EXPECT_EQ(bytes[729], 0x11);

  sdk::LowState state{};
  state.motorState[7].q = -2.0f;  // 0xC0000000
  state.footForce[3] = -2;
  const auto sbytes = bytesOf(state);
  EXPECT_EQ(sbytes[64 + 38 * 7 + 3], 0xC0);
  EXPECT_EQ(sbytes[823 + 6], 0xFE);
  EXPECT_EQ(sbytes[823 + 7], 0xFF);
}

TEST(Records, ByteImageRoundTripKeepsNaNPayloads) {
  sdk::HighState s{};
  const uint32_t quietNaN = 0x7FC01234u;
  std::memcpy(&s.forwardSpeed, &quietNaN, sizeof quietNaN);
  s.imu.rpy[2] = std::numeric_limits<float>::infinity();
  unsigned char wire[sdk::HIGH_STATE_LENGTH];
  std::memcpy(wire, &s, sizeof s);
  sdk::HighState back;
  std::memcpy(&back, wire, sizeof back);
  EXPECT_EQ(bitsOf(back.forwardSpeed), quietNaN);
  EXPECT_EQ(std::memcmp(&back, &s, sizeof s), 0);
}

TEST(Records, JointSlotsFollowLegTimesThreePlusJoint) {
  const int hips[] = {sdk::FR_0, sdk::FL_0, sdk::RR_0, sdk::RL_0};
  const int legs[] = {sdk::FR_, sdk::FL_, sdk::RR_, sdk::RL_};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(hips[i], 3 * legs[i]);
  EXPECT_EQ(sdk::FR_2, 2);
  EXPECT_EQ(sdk::RL_2, 11);
}

TEST(Records, ControllerAddressesShareOnePrivateSubnet) {
  EXPECT_EQ(std::strlen(sdk::UDP_SERVER_IP_BASIC), 14u);
  EXPECT_EQ(std::strlen(sdk::UDP_SERVER_IP_SPORT), 15u);
  const std::string basic = sdk::UDP_SERVER_IP_BASIC;
  const std::string sport = sdk::UDP_SERVER_IP_SPORT;
  EXPECT_EQ(basic.substr(0, basic.rfind('.')), sport.substr(0, sport.rfind('.')));
}

}  // namespace
