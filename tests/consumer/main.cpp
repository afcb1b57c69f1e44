// A program built against the installed library: it must load the library
// and get the checksum right, not only compile against the headers.
#include <kalvent_legged_sdk.h>

#include <cstdint>
#include <cstdio>

// Exported by the library though no public header declares them.
namespace KALVENT_LEGGED_SDK {
extern const char* LIB_INFO;
uint32_t crc32(uint32_t* data, uint32_t len);
}  // namespace KALVENT_LEGGED_SDK

int main() {
  uint32_t word = 0x12345678u;
  const bool checksumRight = KALVENT_LEGGED_SDK::crc32(&word, 1) == 0xDF8A8A2Bu;
  std::printf("consumer: linked against %s\n", KALVENT_LEGGED_SDK::LIB_INFO);
  return checksumRight && sizeof(KALVENT_LEGGED_SDK::LowCmd) == 730 ? 0 : 1;
}
