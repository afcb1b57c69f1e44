#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crc32_oracle.h"
#include "wire.h"

namespace {

using Checksum = uint32_t (*)(const void*, uint32_t);

uint32_t viaExported(const void* data, uint32_t words) {
  return KALVENT_LEGGED_SDK::crc32(static_cast<uint32_t*>(const_cast<void*>(data)), words);
}

struct Implementation {
  std::string name;
  Checksum fn;
};

std::vector<Implementation> implementations() {
  std::vector<Implementation> all = {{"exported", viaExported},
                                     {"portable", KALVENT_LEGGED_SDK::crc32_impl::portable},
                                     {"oracle", kalvent_test::crc32BitSerial}};
#if defined(__x86_64__)
  if (KALVENT_LEGGED_SDK::crc32_impl::carrylessSupported()) {
    all.push_back({"carryless", KALVENT_LEGGED_SDK::crc32_impl::carryless});
  }
#endif
  return all;
}

class Crc32 : public ::testing::TestWithParam<Implementation> {};

uint32_t ofBytes(Checksum fn, std::vector<unsigned char> bytes) {
  return fn(bytes.data(), static_cast<uint32_t>(bytes.size() / 4));
}

TEST_P(Crc32, KnownVectors) {
  const Checksum fn = GetParam().fn;
  EXPECT_EQ(fn(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(ofBytes(fn, {0, 0, 0, 0}), 0xC704DD7Bu);
  EXPECT_EQ(ofBytes(fn, {0xff, 0xff, 0xff, 0xff}), 0x00000000u);
  EXPECT_EQ(ofBytes(fn, {0x78, 0x56, 0x34, 0x12}), 0xDF8A8A2Bu);
  EXPECT_EQ(ofBytes(fn, {'a', 'b', 'c', 'd'}), 0xA62F1C36u);
  EXPECT_EQ(ofBytes(fn, {'1', '2', '3', '4', '5', '6', '7', '8'}), 0xFEFC54F9u);
  // An empty packet buffer of each state length: the zero words do not
  // checksum to the zero in the checksum field.
  EXPECT_EQ(ofBytes(fn, std::vector<unsigned char>(63 * 4)), 0x7065399Au);
  EXPECT_EQ(ofBytes(fn, std::vector<unsigned char>(191 * 4)), 0xC54DCDDDu);
}

TEST_P(Crc32, MatchesBitSerialForEveryLengthAndAlignment) {
  const Checksum fn = GetParam().fn;
  std::mt19937 rng(20261208);
  std::vector<unsigned char> buf(200 * 4 + 8);
  for (int round = 0; round < 4; ++round) {
    for (auto& b : buf) b = static_cast<unsigned char>(rng());
    for (uint32_t offset = 0; offset < 4; ++offset) {
      for (uint32_t words = 0; words <= 200; ++words) {
        const unsigned char* p = buf.data() + offset;
        ASSERT_EQ(fn(p, words), kalvent_test::crc32BitSerial(p, words))
            << "words " << words << " offset " << offset;
      }
    }
  }
}

TEST_P(Crc32, EveryBitOfACoveredWordMatters) {
  const Checksum fn = GetParam().fn;
  std::vector<unsigned char> packet(771);
  std::mt19937 rng(7);
  for (auto& b : packet) b = static_cast<unsigned char>(rng());
  const uint32_t words = KALVENT_LEGGED_SDK::crcWords(771);
  const uint32_t reference = fn(packet.data(), words);
  for (size_t i = 0; i < words * 4; i += 37) {
    for (int bit = 0; bit < 8; ++bit) {
      packet[i] ^= static_cast<unsigned char>(1u << bit);
      EXPECT_NE(fn(packet.data(), words), reference) << "byte " << i << " bit " << bit;
      packet[i] ^= static_cast<unsigned char>(1u << bit);
    }
  }
  packet[words * 4] ^= 0xff;  // first uncovered byte, inside the reserve word
  EXPECT_EQ(fn(packet.data(), words), reference);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Crc32, ::testing::ValuesIn(implementations()),
                         [](const auto& info) { return info.param.name; });

TEST(CrcWords, CoverEverythingBeforeTheChecksumWord) {
  EXPECT_EQ(KALVENT_LEGGED_SDK::crcWords(143), 34u);
  EXPECT_EQ(KALVENT_LEGGED_SDK::crcWords(256), 63u);
  EXPECT_EQ(KALVENT_LEGGED_SDK::crcWords(610), 151u);
  EXPECT_EQ(KALVENT_LEGGED_SDK::crcWords(771), 191u);
}

}  // namespace
