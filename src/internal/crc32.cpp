// The checksum's implementations: slicing-by-8 tables anywhere, carry-less
// multiplication folding where x86-64 has it.
#include "crc32.h"

#include "wire.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace KALVENT_LEGGED_SDK {

namespace {

const uint32_t kCrcPolynomial = 0x04C11DB7u;

// kSlices.t[k][b]: the checksum register after feeding byte b followed by k
// zero bytes into a zero register, most significant bit first.
struct SliceTables {
  uint32_t t[8][256];
};

constexpr SliceTables makeSliceTables() {
  SliceTables s{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b << 24;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 0x80000000u) ? (c << 1) ^ kCrcPolynomial : c << 1;
    }
    s.t[0][b] = c;
  }
  for (int k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      const uint32_t prev = s.t[k - 1][b];
      s.t[k][b] = (prev << 8) ^ s.t[0][prev >> 24];
    }
  }
  return s;
}

constexpr SliceTables kSlices = makeSliceTables();

// Feeds one word, most significant byte first.
inline uint32_t feedWord(uint32_t crc, uint32_t word) {
  const uint32_t c = crc ^ word;
  return kSlices.t[3][c >> 24] ^ kSlices.t[2][(c >> 16) & 0xff] ^ kSlices.t[1][(c >> 8) & 0xff] ^
         kSlices.t[0][c & 0xff];
}

uint32_t feedWords(uint32_t crc, const unsigned char* p, uint32_t words) {
  for (; words >= 2; words -= 2, p += 8) {
    const uint32_t c = crc ^ loadLittleEndian(p);
    const uint32_t d = loadLittleEndian(p + 4);
    crc = kSlices.t[7][c >> 24] ^ kSlices.t[6][(c >> 16) & 0xff] ^ kSlices.t[5][(c >> 8) & 0xff] ^
          kSlices.t[4][c & 0xff] ^ kSlices.t[3][d >> 24] ^ kSlices.t[2][(d >> 16) & 0xff] ^
          kSlices.t[1][(d >> 8) & 0xff] ^ kSlices.t[0][d & 0xff];
  }
  if (words != 0) crc = feedWord(crc, loadLittleEndian(p));
  return crc;
}

#if defined(__x86_64__)

// X^n mod P, the folding constants.
constexpr uint64_t powerOfXModP(int n) {
  uint32_t r = 1;
  for (int i = 0; i < n; ++i) r = (r & 0x80000000u) ? (r << 1) ^ kCrcPolynomial : r << 1;
  return r;
}

// A 16-byte block as one 128-bit polynomial, first bit of the stream highest:
// the stream takes each word most significant byte first, so only the order
// of the four words is reversed.
__attribute__((target("pclmul,sse4.1"))) inline __m128i loadBlock(const unsigned char* p) {
  return _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 0x1B);
}

// x * X^distance mod P, folded down to at most 96 bits. `k` holds
// X^(distance+64) mod P in its high and X^distance mod P in its low half.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

#endif

}  // namespace

namespace crc32_impl {

uint32_t portable(const void* data, uint32_t words) {
  return feedWords(0xFFFFFFFFu, static_cast<const unsigned char*>(data), words);
}

#if defined(__x86_64__)

bool carrylessSupported() {
  return __builtin_cpu_supports("pclmul");
}

__attribute__((target("pclmul,sse4.1"))) uint32_t carryless(const void* data, uint32_t words) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t blocks = words / 4;
  if (blocks < 2) return portable(data, words);

  const __m128i by128 = _mm_set_epi64x(powerOfXModP(192), powerOfXModP(128));
  __m128i x = _mm_xor_si128(loadBlock(p), _mm_set_epi32(-1, 0, 0, 0));
  p += 16;
  --blocks;

  if (blocks >= 4) {
    // Four independent lanes hide the multiplier's latency.
    const __m128i by512 = _mm_set_epi64x(powerOfXModP(576), powerOfXModP(512));
    __m128i a0 = x;
    __m128i a1 = loadBlock(p);
    __m128i a2 = loadBlock(p + 16);
    __m128i a3 = loadBlock(p + 32);
    p += 48;
    blocks -= 3;
    for (; blocks >= 4; blocks -= 4, p += 64) {
      a0 = _mm_xor_si128(fold(a0, by512), loadBlock(p));
      a1 = _mm_xor_si128(fold(a1, by512), loadBlock(p + 16));
      a2 = _mm_xor_si128(fold(a2, by512), loadBlock(p + 32));
      a3 = _mm_xor_si128(fold(a3, by512), loadBlock(p + 48));
    }
    const __m128i by384 = _mm_set_epi64x(powerOfXModP(448), powerOfXModP(384));
    const __m128i by256 = _mm_set_epi64x(powerOfXModP(320), powerOfXModP(256));
    x = _mm_xor_si128(_mm_xor_si128(fold(a0, by384), fold(a1, by256)),
                      _mm_xor_si128(fold(a2, by128), a3));
  }
  for (; blocks > 0; --blocks, p += 16) x = _mm_xor_si128(fold(x, by128), loadBlock(p));

  // The folded 128 bits are an ordinary 4-word message fed into a zero register.
  alignas(16) uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), x);
  uint32_t crc = 0;
  for (int lane = 3; lane >= 0; --lane) crc = feedWord(crc, lanes[lane]);
  return feedWords(crc, p, words % 4);
}

#else

bool carrylessSupported() {
  return false;
}

#endif

uint32_t fastest(const void* data, uint32_t words) {
#if defined(__x86_64__)
  static const bool useCarryless = carrylessSupported();
  if (useCarryless) return carryless(data, words);
#endif
  return portable(data, words);
}

}  // namespace crc32_impl

}  // namespace KALVENT_LEGGED_SDK
