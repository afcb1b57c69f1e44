// The packets SetSend puts on the wire and what GetRecv makes of the packets
// received, checked byte by byte against images written at the wire offsets.
// Fields of the packed records are copied before gtest binds references.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "kalvent_legged_sdk.h"
#include "udp_peer.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;
using kalvent_test::bytesOf;
using kalvent_test::checksumOf;
using kalvent_test::get;
using kalvent_test::Link;
using kalvent_test::put;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// A float command field and the 16-bit integer that must go out for it.
struct Scaled {
  float in;
  int16_t out;
};

const Scaled kTau[] = {
    {127.99609375f, 32767}, {-128.0f, -32768}, {1.0f, 256},     {0.5f, 128},         {-0.5f, -128},
    {1.999f, 511},          {0.001f, 0},       {-0.003f, 0},    {-1.5f, -384},       {0.0f, 0},
    {127.999f, 32767},      {128.0f, 32767},   {-1e9f, -32768}, {-128.001f, -32768}, {kNaN, 0},
    {kInf, 32767},          {-kInf, -32768},   {3e38f, 32767}};
const Scaled kKp[] = {{1023.96875f, 32767}, {20.0f, 640},       {0.999f, 31}, {-0.999f, -31},
                      {1024.0f, 32767},     {-1025.0f, -32768}, {kNaN, 0}};
const Scaled kKd[] = {{-2048.0f, -32768}, {0.5f, 8},        {2.5f, 40}, {-2.5f, -40},
                      {0.03f, 0},         {2048.0f, 32767}, {kNaN, 0},  {-kInf, -32768}};

template <size_t N>
const Scaled& pick(const Scaled (&cases)[N], int slot) {
  return cases[static_cast<size_t>(slot) % N];
}

sdk::LowCmd distinctLowCmd() {
  sdk::LowCmd cmd{};
  cmd.levelFlag = 0xff;
  cmd.commVersion = 0x1234;
  cmd.robotID = 0xBEEF;
  cmd.SN = 0xA1B2C3D4u;
  cmd.bandWidth = 0x5C;
  for (int k = 0; k < 20; ++k) {
    sdk::MotorCmd& m = cmd.motorCmd[k];
    m.mode = static_cast<uint8_t>(0x10 + k);
    m.q = 0.1f * static_cast<float>(k) - 1.0f;
    m.dq = -0.2f * static_cast<float>(k);
    m.tau = pick(kTau, k).in;
    m.Kp = pick(kKp, k).in;
    m.Kd = pick(kKd, k).in;
    const uint32_t reserve[3] = {static_cast<uint32_t>(k), 0x01000001u * static_cast<uint32_t>(k),
                                 0xFFFFFFFFu - static_cast<uint32_t>(k)};
    std::memcpy(m.reserve, reserve, sizeof reserve);
  }
  for (int i = 0; i < 4; ++i) {
    cmd.led[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(2 * i), static_cast<uint8_t>(99)};
  }
  for (int i = 0; i < 40; ++i) cmd.wirelessRemote[i] = static_cast<uint8_t>(200 - i);
  cmd.reserve = 0x0BADF00Du;
  cmd.crc = 0xDEADBEEFu;
  return cmd;
}

// The 610-byte packet for distinctLowCmd(), written field by field.
Bytes expectedLowCmdPacket() {
  const sdk::LowCmd cmd = distinctLowCmd();
  Bytes p(610);
  put<uint8_t>(p, 0, cmd.levelFlag);
  put<uint16_t>(p, 1, cmd.commVersion);
  put<uint16_t>(p, 3, cmd.robotID);
  put<uint32_t>(p, 5, cmd.SN);
  put<uint8_t>(p, 9, cmd.bandWidth);
  for (int k = 0; k < 20; ++k) {
    const size_t at = 10 + 27 * static_cast<size_t>(k);
    const sdk::MotorCmd m = cmd.motorCmd[k];
    put<uint8_t>(p, at, m.mode);
    put<float>(p, at + 1, m.q);
    put<float>(p, at + 5, m.dq);
    put<int16_t>(p, at + 9, pick(kTau, k).out);
    put<int16_t>(p, at + 11, pick(kKp, k).out);
    put<int16_t>(p, at + 13, pick(kKd, k).out);
    for (size_t r = 0; r < 3; ++r) put<uint32_t>(p, at + 15 + 4 * r, m.reserve[r]);
  }
  for (size_t i = 0; i < 4; ++i) {
    put<uint8_t>(p, 550 + 3 * i, cmd.led[i].r);
    put<uint8_t>(p, 551 + 3 * i, cmd.led[i].g);
    put<uint8_t>(p, 552 + 3 * i, cmd.led[i].b);
  }
  for (size_t i = 0; i < 40; ++i) put<uint8_t>(p, 562 + i, cmd.wirelessRemote[i]);
  put<uint32_t>(p, 602, cmd.reserve);
  kalvent_test::stamp(p);
  return p;
}

TEST(LowCmdEncoding, PacketMatchesTheWireLayoutAndCallerRecordIsUntouched) {
  Link link(610, 771);
  sdk::LowCmd cmd = distinctLowCmd();
  const Bytes before = bytesOf(cmd);
  EXPECT_EQ(link.endpoint.SetSend(cmd), 0);
  const Bytes wire = link.sent();
  EXPECT_EQ(bytesOf(cmd), before);
  ASSERT_EQ(wire.size(), 610u);
  for (int k = 0; k < 20; ++k) {
    SCOPED_TRACE("slot " + std::to_string(k));
    const size_t at = 10 + 27 * static_cast<size_t>(k);
    EXPECT_EQ(get<int16_t>(wire, at + 9), pick(kTau, k).out) << "tau " << pick(kTau, k).in;
    EXPECT_EQ(get<int16_t>(wire, at + 11), pick(kKp, k).out) << "Kp " << pick(kKp, k).in;
    EXPECT_EQ(get<int16_t>(wire, at + 13), pick(kKd, k).out) << "Kd " << pick(kKd, k).in;
  }
  EXPECT_EQ(wire, expectedLowCmdPacket());
}

TEST(LowCmdEncoding, ChecksumCoversBytes0To603Only) {
  Link link(610, 771);
  sdk::LowCmd cmd = distinctLowCmd();
  link.endpoint.SetSend(cmd);
  const Bytes base = link.sent();

  cmd.reserve ^= 0xFFFF0000u;  // packet bytes 604 and 605
  link.endpoint.SetSend(cmd);
  const Bytes uncovered = link.sent();
  EXPECT_NE(uncovered, base);
  EXPECT_EQ(get<uint32_t>(uncovered, 606), get<uint32_t>(base, 606));

  cmd.reserve ^= 0x00000100u;  // packet byte 603
  link.endpoint.SetSend(cmd);
  EXPECT_NE(get<uint32_t>(link.sent(), 606), get<uint32_t>(base, 606));
}

TEST(InitCmdData, PreparesEverySlotAndLeavesOtherFieldsAlone) {
  Link link(610, 771);
  sdk::LowCmd cmd;
  std::memset(&cmd, 0xAB, sizeof cmd);
  link.endpoint.InitCmdData(cmd);

  Bytes expected(sizeof cmd, 0xAB);
  put<uint8_t>(expected, 0, 0x00);  // the explicit-peer endpoint's level flag
  for (size_t k = 0; k < 20; ++k) {
    const size_t at = 10 + 33 * k;
    put<uint8_t>(expected, at, 10);
    put<uint32_t>(expected, at + 1, 0x4EFFD2B9u);
    put<uint32_t>(expected, at + 5, 0x467A0000u);
    for (size_t f = 0; f < 3; ++f) put<float>(expected, at + 9 + 4 * f, 0.0f);
  }
  EXPECT_EQ(bytesOf(cmd), expected);

  link.endpoint.SetSend(cmd);
  const Bytes wire = link.sent();
  for (size_t k = 0; k < 20; ++k) {
    const size_t at = 10 + 27 * k;
    EXPECT_EQ(wire[at], 0x0A);
    EXPECT_EQ(get<uint32_t>(wire, at + 1), 0x4EFFD2B9u);
    EXPECT_EQ(get<uint32_t>(wire, at + 5), 0x467A0000u);
    EXPECT_EQ(
        get<uint16_t>(wire, at + 9) | get<uint16_t>(wire, at + 11) | get<uint16_t>(wire, at + 13),
        0);
  }

  sdk::HighCmd high;
  std::memset(&high, 0xAB, sizeof high);
  link.endpoint.InitCmdData(high);
  Bytes expectedHigh(sizeof high, 0xAB);
  expectedHigh[0] = 0x00;
  EXPECT_EQ(bytesOf(high), expectedHigh);
}

TEST(HighCmdEncoding, ChecksumIsStampedIntoTheCallerRecordAndSentAsIs) {
  Link link(143, 256);
  sdk::HighCmd cmd{};
  cmd.mode = 2;
  cmd.forwardSpeed = 0.3f;
  cmd.yaw = -0.1f;
  for (int i = 0; i < 40; ++i) cmd.AppRemote[i] = static_cast<uint8_t>(i * 3);
  cmd.reserve = 0x11223344u;
  cmd.crc = 0xDEADBEEFu;
  EXPECT_EQ(link.endpoint.SetSend(cmd), 0);
  const Bytes image = bytesOf(cmd);
  EXPECT_EQ(uint32_t{cmd.crc}, checksumOf(image));
  EXPECT_EQ(link.sent(), image);

  const uint32_t crc = cmd.crc;
  cmd.reserve ^= 0xFFFFFF00u;  // bytes 136 to 138 lie outside the 34 words
  link.endpoint.SetSend(cmd);
  EXPECT_EQ(uint32_t{cmd.crc}, crc);
  cmd.reserve ^= 0x000000FFu;  // byte 135 lies inside
  link.endpoint.SetSend(cmd);
  EXPECT_NE(uint32_t{cmd.crc}, crc);
  EXPECT_EQ(link.sent(), bytesOf(cmd));
}

TEST(RawEncoding, ChecksumOfWholeWordsLandsInTheLastFourBytes) {
  Link link(23, 23);  // 4 words covered (bytes 0-15), checksum at 19-22
  Bytes buffer(23);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<unsigned char>(i * 11 + 1);
  EXPECT_EQ(link.endpoint.SetSend(reinterpret_cast<char*>(buffer.data())), 0);
  EXPECT_EQ(get<uint32_t>(buffer, 19), kalvent_test::crc32BitSerial(buffer.data(), 4));
  EXPECT_EQ(link.sent(), buffer);

  const uint32_t crc = get<uint32_t>(buffer, 19);
  buffer[16] ^= 0xFF;
  buffer[18] ^= 0xFF;
  link.endpoint.SetSend(reinterpret_cast<char*>(buffer.data()));
  EXPECT_EQ(get<uint32_t>(buffer, 19), crc);
}

// A state packet with distinct values in every field, and the LowState it
// must decode to (crc: the caller's 0x5A filler).
struct CraftedState {
  Bytes packet = Bytes(771);
  sdk::LowState decoded{};
};

CraftedState craftedState() {
  struct Torque {
    int16_t wire;
    float value;
  };
  const Torque torques[] = {
      {-256, -1.0f}, {1, 0.00390625f}, {-32768, -128.0f}, {32767, 127.99609375f}, {896, 3.5f}};
  CraftedState s;
  Bytes& p = s.packet;
  sdk::LowState& d = s.decoded;
  std::memset(&d, 0x5A, sizeof d);
  put<uint8_t>(p, 0, d.levelFlag = 0xff);
  put<uint16_t>(p, 1, d.commVersion = 0x0304);
  put<uint16_t>(p, 3, d.robotID = 0x0506);
  put<uint32_t>(p, 5, d.SN = 0x0708090Au);
  put<uint8_t>(p, 9, d.bandWidth = 0x0B);
  float imu[13];
  for (int i = 0; i < 13; ++i) imu[i] = 0.5f * static_cast<float>(i) - 3.0f;
  std::memcpy(&d.imu, imu, sizeof imu);
  for (size_t i = 0; i < 13; ++i) put<float>(p, 10 + 4 * i, imu[i]);
  put<int8_t>(p, 62, d.imu.temperature = -7);
  for (int k = 0; k < 20; ++k) {
    const size_t at = 63 + 32 * static_cast<size_t>(k);
    const auto fk = static_cast<float>(k);
    const Torque& torque = torques[k % 5];
    sdk::MotorState m{};
    put<uint8_t>(p, at, m.mode = static_cast<uint8_t>(k + 1));
    put<float>(p, at + 1, m.q = 0.25f * fk - 2.0f);
    put<float>(p, at + 5, m.dq = -0.5f * fk);
    put<int16_t>(p, at + 9, static_cast<int16_t>(100 * k - 900));
    m.ddq = static_cast<float>(100 * k - 900);
    put<int16_t>(p, at + 11, torque.wire);
    m.tauEst = torque.value;
    put<float>(p, at + 13, m.q_raw = 1000.0f + fk);
    put<float>(p, at + 17, m.dq_raw = -1000.0f - fk);
    put<int16_t>(p, at + 21, static_cast<int16_t>(k == 19 ? -32768 : -7 * k - 1));
    m.ddq_raw = k == 19 ? -32768.0f : static_cast<float>(-7 * k - 1);
    put<int8_t>(p, at + 23, m.temperature = static_cast<int8_t>(5 * k - 40));
    m.reserve[0] = 0xC0DE0000u + static_cast<uint32_t>(k);
    m.reserve[1] = 0xFFFF0000u - static_cast<uint32_t>(k);
    put<uint32_t>(p, at + 24, m.reserve[0]);
    put<uint32_t>(p, at + 28, m.reserve[1]);
    d.motorState[k] = m;
  }
  for (size_t leg = 0; leg < 4; ++leg) {
    d.footForce[leg] = static_cast<int16_t>(100 + leg);
    d.footForceEst[leg] = static_cast<int16_t>(-200 - static_cast<int>(leg));
    put<int16_t>(p, 703 + 2 * leg, d.footForce[leg]);
    put<int16_t>(p, 711 + 2 * leg, d.footForceEst[leg]);
  }
  put<uint32_t>(p, 719, d.tick = 0xCAFEBABEu);
  for (size_t i = 0; i < 40; ++i) {
    put<uint8_t>(p, 723 + i, d.wirelessRemote[i] = static_cast<uint8_t>(i + 1));
  }
  put<uint32_t>(p, 763, d.reserve = 0x99887766u);
  kalvent_test::stamp(p);
  return s;
}

TEST(LowStateDecoding, EveryFieldIsExpandedAndCrcKeepsTheCallerValue) {
  Link link(610, 771);
  const CraftedState crafted = craftedState();
  ASSERT_TRUE(link.deliver(crafted.packet));
  sdk::LowState state;
  std::memset(&state, 0x5A, sizeof state);
  link.endpoint.GetRecv(state);

  EXPECT_EQ(float{state.motorState[0].tauEst}, -1.0f);
  EXPECT_EQ(float{state.motorState[1].tauEst}, 0.00390625f);
  EXPECT_EQ(float{state.motorState[2].tauEst}, -128.0f);
  EXPECT_EQ(float{state.motorState[10].ddq}, 100.0f);
  EXPECT_EQ(int16_t{state.footForceEst[3]}, -203);
  EXPECT_EQ(uint32_t{state.crc}, 0x5A5A5A5Au);
  EXPECT_EQ(bytesOf(state), bytesOf(crafted.decoded));
}

TEST(LowStateDecoding, BeforeAnyPacketEveryDecodedFieldIsZero) {
  Link link(610, 771);
  sdk::LowState state;
  std::memset(&state, 0x5A, sizeof state);
  link.endpoint.GetRecv(state);
  Bytes expected(sizeof state, 0);
  put<uint32_t>(expected, 887, 0x5A5A5A5Au);
  EXPECT_EQ(bytesOf(state), expected);
}

TEST(HighAndRawDecoding, CopyTheAcceptedPacketByteForByte) {
  Link link(143, 256);
  sdk::HighState state;
  Bytes raw(256, 0xEE);
  link.endpoint.GetRecv(state);
  link.endpoint.GetRecv(reinterpret_cast<char*>(raw.data()));
  EXPECT_EQ(bytesOf(state), Bytes(256, 0));
  EXPECT_EQ(raw, Bytes(256, 0));

  const Bytes packet = kalvent_test::goodPacket(256, 3);
  ASSERT_TRUE(link.deliver(packet));
  link.endpoint.GetRecv(state);
  link.endpoint.GetRecv(reinterpret_cast<char*>(raw.data()));
  EXPECT_EQ(bytesOf(state), packet);
  EXPECT_EQ(raw, packet);
}

TEST(RecordVariants, StayWithinTheirRecordOnLongerPackets) {
  Link link(700, 900);
  sdk::HighCmd cmd{};
  cmd.mode = 7;
  link.endpoint.SetSend(cmd);
  Bytes expected(700, 0);
  const Bytes image = bytesOf(cmd);
  std::copy(image.begin(), image.end(), expected.begin());
  EXPECT_EQ(link.sent(), expected);

  const Bytes packet = kalvent_test::goodPacket(900, 5);
  ASSERT_TRUE(link.deliver(packet));
  sdk::HighState high;
  link.endpoint.GetRecv(high);
  EXPECT_EQ(bytesOf(high), Bytes(packet.begin(), packet.begin() + 256));
  sdk::LowState low{};
  link.endpoint.GetRecv(low);
  EXPECT_EQ(uint32_t{low.tick}, get<uint32_t>(packet, 719));
}

// switchLevel sleeps one second per call: both directions in one case.
TEST(SwitchLevel, ResizesAndZeroesThePacketsButKeepsTheLevelFlag) {
  Link link(143, 256);
  sdk::HighCmd high{};
  high.mode = 1;
  link.endpoint.SetSend(high);

  link.endpoint.switchLevel(sdk::LOWLEVEL);
  EXPECT_EQ(link.sent(), Bytes(610, 0));
  Bytes raw(771, 0xEE);
  link.endpoint.GetRecv(reinterpret_cast<char*>(raw.data()));
  EXPECT_EQ(raw, Bytes(771, 0));
  sdk::LowCmd cmd{};
  link.endpoint.InitCmdData(cmd);
  EXPECT_EQ(cmd.levelFlag, 0x00);
  link.endpoint.SetSend(cmd);
  EXPECT_EQ(link.sent().size(), 610u);
  EXPECT_TRUE(link.deliver(kalvent_test::goodPacket(771, 9)));

  link.endpoint.switchLevel(1);
  EXPECT_EQ(link.sent(), Bytes(143, 0));
  EXPECT_EQ(link.endpoint.udpState.SendCount, 3u);
}

}  // namespace
