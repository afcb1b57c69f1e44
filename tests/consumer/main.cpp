#include <kalvent_legged_sdk.h>
int main() {
  return sizeof(KALVENT_LEGGED_SDK::LowCmd) == 730 ? 0 : 1;
}
