// Built, never run: the core header compiles on its own, pulls in none of
// LCM's headers, and the documented constructors take plain int arguments
// without ambiguity.
#include "kalvent_legged_sdk/core.h"

#ifdef __lcm_cpp_hpp__
#error "kalvent_legged_sdk/core.h includes LCM"
#endif

namespace KALVENT_LEGGED_SDK {

[[maybe_unused]] void constructFromIntLiterals() {
  UDP client(8080, "127.0.0.1", 8007, 610, 771);
  UDP server(8080, 8007, 771, 610);
}

}  // namespace KALVENT_LEGGED_SDK
