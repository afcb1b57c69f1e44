// The packets SetSend puts on the wire and what GetRecv makes of the packets
// received, checked byte by byte against images written at the wire offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "kalvent_legged_sdk.h"
#include "test_support.h"
#include "udp_peer.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;
using kalvent_test::bytesOf;
using kalvent_test::Link;
using kalvent_test::put;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// One value given as tau, Kp and Kd, and the 16-bit integers that must go out
// for it: truncated toward zero, saturated beyond the range, NaN as 0.
struct Scaled {
  float in;
  int16_t tau, kp, kd;
};
const Scaled kScaled[] = {{1.999f, 511, 63, 31},
                          {-0.999f, -255, -31, -15},
                          {127.99609375f, 32767, 4095, 2047},
                          {-128.0f, -32768, -4096, -2048},
                          {128.0f, 32767, 4096, 2048},
                          {1023.96875f, 32767, 32767, 16383},
                          {2047.9375f, 32767, 32767, 32767},
                          {2048.0f, 32767, 32767, 32767},
                          {-2048.0f, -32768, -32768, -32768},
                          {-1e9f, -32768, -32768, -32768},
                          {kNaN, 0, 0, 0},
                          {kInf, 32767, 32767, 32767},
                          {-kInf, -32768, -32768, -32768}};

// Fills a command with distinct values in every field, and `p` with the
// packet it must give.
void craftCommand(sdk::LowCmd& c, Bytes& p) {
  p.assign(610, 0);
  put<uint8_t>(p, 0, c.levelFlag = 0xff);
  put<uint16_t>(p, 1, c.commVersion = 0x1234);
  put<uint16_t>(p, 3, c.robotID = 0xBEEF);
  put<uint32_t>(p, 5, c.SN = 0xA1B2C3D4u);
  put<uint8_t>(p, 9, c.bandWidth = 0x5C);
  for (int k = 0; k < 20; ++k) {
    const int at = 10 + 27 * k;
    const Scaled& s = kScaled[k % std::size(kScaled)];
    sdk::MotorCmd& m = c.motorCmd[k];
    put<uint8_t>(p, at, m.mode = 0x10 + k);
    put<float>(p, at + 1, m.q = 0.1f * k - 1.0f);
    put<float>(p, at + 5, m.dq = -0.2f * k);
    m.tau = m.Kp = m.Kd = s.in;
    put<int16_t>(p, at + 9, s.tau);
    put<int16_t>(p, at + 11, s.kp);
    put<int16_t>(p, at + 13, s.kd);
    for (int r = 0; r < 3; ++r)
      put<uint32_t>(p, at + 15 + 4 * r, m.reserve[r] = 0x01000001u * k + r);
  }
  for (int i = 0; i < 4; ++i) {
    put<sdk::LED>(p, 550 + 3 * i, c.led[i] = sdk::LED{uint8_t(i), uint8_t(2 * i), 99});
  }
  for (int i = 0; i < 40; ++i) put<uint8_t>(p, 562 + i, c.wirelessRemote[i] = 200 - i);
  put<uint32_t>(p, 602, c.reserve = 0x0BADF00Du);
  c.crc = 0xDEADBEEFu;
  kalvent_test::stamp(p);
}

// A state packet with distinct values in every field, and the LowState it
// must decode to (crc: the caller's 0x5A filler).
void craftState(Bytes& p, sdk::LowState& d) {
  const int16_t torques[] = {-256, 1, -32768, 32767, 896};
  p.assign(771, 0);
  std::memset(&d, 0x5A, sizeof d);
  put<uint8_t>(p, 0, d.levelFlag = 0xff);
  put<uint16_t>(p, 1, d.commVersion = 0x0304);
  put<uint16_t>(p, 3, d.robotID = 0x0506);
  put<uint32_t>(p, 5, d.SN = 0x0708090Au);
  put<uint8_t>(p, 9, d.bandWidth = 0x0B);
  float imu[13];
  for (int i = 0; i < 13; ++i) imu[i] = put<float>(p, 10 + 4 * i, 0.5f * i - 3.0f);
  std::memcpy(&d.imu, imu, sizeof imu);
  put<int8_t>(p, 62, d.imu.temperature = -7);
  for (int k = 0; k < 20; ++k) {
    const int at = 63 + 32 * k;
    sdk::MotorState& m = d.motorState[k];
    put<uint8_t>(p, at, m.mode = k + 1);
    put<float>(p, at + 1, m.q = 0.25f * k - 2.0f);
    put<float>(p, at + 5, m.dq = -0.5f * k);
    m.ddq = put<int16_t>(p, at + 9, 100 * k - 900);
    m.tauEst = put<int16_t>(p, at + 11, torques[k % 5]) / 256.0f;
    put<float>(p, at + 13, m.q_raw = 1000.0f + k);
    put<float>(p, at + 17, m.dq_raw = -1000.0f - k);
    m.ddq_raw = put<int16_t>(p, at + 21, k == 19 ? -32768 : -7 * k - 1);
    put<int8_t>(p, at + 23, m.temperature = 5 * k - 40);
    put<uint32_t>(p, at + 24, m.reserve[0] = 0xC0DE0000u + k);
    put<uint32_t>(p, at + 28, m.reserve[1] = 0xFFFF0000u - k);
  }
  for (int leg = 0; leg < 4; ++leg) {
    put<int16_t>(p, 703 + 2 * leg, d.footForce[leg] = 100 + leg);
    put<int16_t>(p, 711 + 2 * leg, d.footForceEst[leg] = -200 - leg);
  }
  put<uint32_t>(p, 719, d.tick = 0xCAFEBABEu);
  for (int i = 0; i < 40; ++i) put<uint8_t>(p, 723 + i, d.wirelessRemote[i] = i + 1);
  put<uint32_t>(p, 763, d.reserve = 0x99887766u);
  kalvent_test::stamp(p);
}

TEST(LowLevel, CommandsGoOutAtTheWireOffsetsSaturatedAndStatesComeInExpanded) {
  Link link(610, 771);
  sdk::LowCmd cmd{};
  Bytes expected;
  craftCommand(cmd, expected);
  const Bytes before = bytesOf(cmd);
  EXPECT_EQ(link.endpoint.SetSend(cmd), 0);
  EXPECT_EQ(link.sent(), expected);
  EXPECT_EQ(bytesOf(cmd), before);

  sdk::LowState state;
  std::memset(&state, 0x5A, sizeof state);
  link.endpoint.GetRecv(state);
  expected.assign(sizeof state, 0);  // before any packet: all decoded fields zero, crc kept
  put<uint32_t>(expected, 887, 0x5A5A5A5Au);
  EXPECT_EQ(bytesOf(state), expected);
  Bytes packet;
  sdk::LowState decoded;
  craftState(packet, decoded);
  ASSERT_TRUE(link.deliver(packet));
  link.endpoint.GetRecv(state);
  EXPECT_EQ(bytesOf(state), bytesOf(decoded));
  Bytes raw(771);
  link.endpoint.GetRecv(reinterpret_cast<char*>(raw.data()));
  EXPECT_EQ(raw, packet);
}

// switchLevel sleeps one second per call: both directions in one case, with
// the high-level and raw forms and InitCmdData on either side.
TEST(SwitchLevel, ResizesAndZeroesThePacketsButKeepsTheLevelFlag) {
  Link link(143, 256);
  const Bytes packet = kalvent_test::goodPacket(256, 3);
  ASSERT_TRUE(link.deliver(packet));
  sdk::HighState high;
  link.endpoint.GetRecv(high);
  EXPECT_EQ(bytesOf(high), packet);
  sdk::HighCmd highCmd{};
  highCmd.mode = 2;
  highCmd.reserve = 0x11223344u;  // bytes 136-138 lie beyond the 34 words covered
  EXPECT_EQ(link.endpoint.SetSend(highCmd), 0);
  Bytes expected = bytesOf(highCmd);
  kalvent_test::stamp(expected);
  EXPECT_EQ(bytesOf(highCmd), expected);  // the checksum stamped into the caller's record
  EXPECT_EQ(link.sent(), expected);

  link.endpoint.switchLevel(sdk::LOWLEVEL);
  EXPECT_EQ(link.sent(), Bytes(610, 0));
  Bytes raw(771, 0xEE);
  link.endpoint.GetRecv(reinterpret_cast<char*>(raw.data()));
  EXPECT_EQ(raw, Bytes(771, 0));
  expected = kalvent_test::goodPacket(610, 4);  // 151 words covered, checksum at 606-609
  raw.assign(expected.begin(), expected.end());
  raw[607] ^= 0xFF;
  EXPECT_EQ(link.endpoint.SetSend(reinterpret_cast<char*>(raw.data())), 0);
  EXPECT_EQ(raw, expected);
  EXPECT_EQ(link.sent(), expected);

  sdk::LowCmd cmd;
  std::memset(&cmd, 0xAB, sizeof cmd);
  link.endpoint.InitCmdData(cmd);
  expected.assign(sizeof cmd, 0xAB);
  expected[0] = 0x00;  // the explicit-peer endpoint's level flag
  for (int k = 0; k < 20; ++k) {
    const int at = 10 + 33 * k;
    put<uint8_t>(expected, at, 10);
    put<uint32_t>(expected, at + 1, 0x4EFFD2B9u);  // PosStopF
    put<uint32_t>(expected, at + 5, 0x467A0000u);  // VelStopF
    for (int f = 0; f < 3; ++f) put<float>(expected, at + 9 + 4 * f, 0.0f);
  }
  EXPECT_EQ(bytesOf(cmd), expected);

  link.endpoint.switchLevel(1);
  EXPECT_EQ(link.sent(), Bytes(143, 0));
  EXPECT_EQ(link.endpoint.udpState.SendCount, 4u);
}

// A record of the other level on an endpoint of one level's lengths moves
// the same bytes as ever, and the endpoint says so on standard error once per
// call; an endpoint of other lengths takes either record without a word.
TEST(MixedLevels, ARecordOfTheOtherLevelIsNamedOncePerCall) {
  std::string err;
  const auto child = kalvent_test::runInChild(
      [] {
        Link low(610, 771), high(143, 256), custom(143, 771);
        for (int round = 0; round < 2; ++round) {
          for (Link* link : {&low, &high, &custom}) {
            sdk::HighCmd highCmd{};
            sdk::LowCmd lowCmd{};
            sdk::HighState highState;
            sdk::LowState lowState;
            link->endpoint.SetSend(highCmd);
            link->endpoint.SetSend(lowCmd);
            link->endpoint.GetRecv(highState);
            link->endpoint.GetRecv(lowState);
          }
        }
      },
      &err);
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 0);
  const std::string lowLengths =
      " on an endpoint of the low-level packet lengths (610 out / 771 in): ";
  const std::string highLengths =
      " on an endpoint of the high-level packet lengths (143 out / 256 in): ";
  const std::string sent = "the packet goes out unchanged, but the controller refuses it\n";
  const std::string filled = "the record is filled as ever, from a packet of the other level\n";
  EXPECT_EQ(err, "kalvent_legged_sdk: SetSend(HighCmd)" + lowLengths + sent +
                     "kalvent_legged_sdk: GetRecv(HighState)" + lowLengths + filled +
                     "kalvent_legged_sdk: SetSend(LowCmd)" + highLengths + sent +
                     "kalvent_legged_sdk: GetRecv(LowState)" + highLengths + filled);
}

}  // namespace
