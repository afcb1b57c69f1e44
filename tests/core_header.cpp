// Built, never run: the core header compiles on its own and pulls in none of
// LCM's headers.
#include "kalvent_legged_sdk/core.h"

#ifdef __lcm_cpp_hpp__
#error "kalvent_legged_sdk/core.h includes LCM"
#endif
