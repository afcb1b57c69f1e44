// The packet checksum: CRC-32 with polynomial 0x04C11DB7, initial value
// 0xFFFFFFFF, most significant bit first, no final XOR, over little-endian
// 32-bit words.
#pragma once

#include <cstdint>

namespace KALVENT_LEGGED_SDK {

// The checksum of `len` words starting at `data`, which may have any
// alignment and is only read. Defined and exported by the shared library.
uint32_t crc32(uint32_t* data, uint32_t len);

}  // namespace KALVENT_LEGGED_SDK

// Everything below stays inside whatever links it: the shared library exports
// none of it.
#pragma GCC visibility push(hidden)

// The checksum's implementations, each testable against the bit-serial
// definition.
namespace KALVENT_LEGGED_SDK::crc32_impl {

// Slicing-by-8 tables; any CPU, either byte order.
uint32_t portable(const void* data, uint32_t words);

// True when the CPU can run carryless(): x86-64 with PCLMULQDQ.
bool carrylessSupported();

#if defined(__x86_64__)
// Carry-less multiplication folding; call only when carrylessSupported().
uint32_t carryless(const void* data, uint32_t words);
#endif

// The fastest implementation this CPU supports; what crc32 runs.
uint32_t fastest(const void* data, uint32_t words);

}  // namespace KALVENT_LEGGED_SDK::crc32_impl

#pragma GCC visibility pop
