# Cross build for 64-bit ARM (arm64).
# KALVENT_AARCH64_SYSROOT names a folder holding the arm64 LCM package contents
# (`scripts/cross-sysroot arm64 DIR` makes it); the C library comes from the toolchain.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT KALVENT_AARCH64_SYSROOT)
  set(KALVENT_AARCH64_SYSROOT "$ENV{KALVENT_AARCH64_SYSROOT}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KALVENT_AARCH64_SYSROOT)

set(CMAKE_FIND_ROOT_PATH "${KALVENT_AARCH64_SYSROOT}" /usr/aarch64-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's arm64 multiarch libraries (glib, which LCM needs) resolve the links.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/aarch64-linux-gnu")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/aarch64-linux-gnu")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-arm64;${KALVENT_AARCH64_SYSROOT}")
