# Cross build for 32-bit ARM with hardware floating point.
# KALVENT_ARMHF_SYSROOT names a folder holding the armhf LCM package contents
# (`scripts/cross-sysroot armhf DIR` makes it); the C library comes from the toolchain.
include("${CMAKE_CURRENT_LIST_DIR}/cross-toolchain.cmake")
kalvent_cross_toolchain(armv7l arm-linux-gnueabihf armhf KALVENT_ARMHF_SYSROOT)
