// crc32 and each of its implementations against the bit-serial definition,
// at any length and alignment.
//
// Input: byte 0 modulo 8 is the misalignment of the words; the rest are the
// words (a trailing part word is left out).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crc32.h"
#include "crc32_oracle.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

void expectSame(uint32_t got, uint32_t expected, const char* implementation) {
  if (got == expected) return;
  std::fprintf(stderr, "%s gives %08x, the definition %08x\n", implementation, got, expected);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t misalignment = data[0] % 8;
  const auto words = static_cast<uint32_t>((size - 1) / 4);
  std::vector<uint64_t> storage((misalignment + 4 * words + 7) / 8 + 1);
  auto* start = reinterpret_cast<uint8_t*>(storage.data()) + misalignment;
  std::memcpy(start, data + 1, 4 * words);
  // Ends right after the words, so that the sanitizer catches a read past them.
  uint8_t* heapCopy = new uint8_t[4 * words];
  std::memcpy(heapCopy, data + 1, 4 * words);

  const uint32_t expected = kalvent_test::crc32BitSerial(start, words);
  expectSame(sdk::crc32(reinterpret_cast<uint32_t*>(start), words), expected, "crc32");
  expectSame(sdk::crc32_impl::portable(start, words), expected, "portable");
  expectSame(sdk::crc32_impl::portable(heapCopy, words), expected, "portable (heap end)");
#if defined(__x86_64__)
  if (sdk::crc32_impl::carrylessSupported()) {
    expectSame(sdk::crc32_impl::carryless(start, words), expected, "carryless");
    expectSame(sdk::crc32_impl::carryless(heapCopy, words), expected, "carryless (heap end)");
  }
#endif
  delete[] heapCopy;
  return 0;
}
