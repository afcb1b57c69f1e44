# Cross build for 32-bit ARM with hardware floating point.
# KALVENT_ARMHF_SYSROOT names a folder holding the armhf LCM package contents
# (scripts/armhf-sysroot makes it); the C library comes from the toolchain.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT KALVENT_ARMHF_SYSROOT)
  set(KALVENT_ARMHF_SYSROOT "$ENV{KALVENT_ARMHF_SYSROOT}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KALVENT_ARMHF_SYSROOT)

set(CMAKE_FIND_ROOT_PATH "${KALVENT_ARMHF_SYSROOT}" /usr/arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's armhf multiarch libraries (glib, which LCM needs) resolve the links.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/arm-linux-gnueabihf")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/arm-linux-gnueabihf")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-armhf;${KALVENT_ARMHF_SYSROOT}")
