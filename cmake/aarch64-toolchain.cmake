# Cross build for 64-bit ARM (arm64).
# KALVENT_AARCH64_SYSROOT names a folder holding the arm64 LCM package contents
# (`scripts/cross-sysroot arm64 DIR` makes it); the C library comes from the toolchain.
include("${CMAKE_CURRENT_LIST_DIR}/cross-toolchain.cmake")
kalvent_cross_toolchain(aarch64 aarch64-linux-gnu arm64 KALVENT_AARCH64_SYSROOT)
