# What the ARM toolchain files share: Debian's cross compilers for TRIPLET,
# the libraries found in the sysroot that the cache variable SYSROOT_VARIABLE
# (or the environment variable of that name) names and in the toolchain's
# own folder, and the programs run under qemu (scripts/qemu-DEBIAN_ARCH).
# usage: kalvent_cross_toolchain(PROCESSOR TRIPLET DEBIAN_ARCH SYSROOT_VARIABLE)
macro(kalvent_cross_toolchain processor triplet debian_arch sysroot_variable)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${processor})

  set(CMAKE_C_COMPILER ${triplet}-gcc)
  set(CMAKE_CXX_COMPILER ${triplet}-g++)

  if(NOT ${sysroot_variable})
    set(${sysroot_variable} "$ENV{${sysroot_variable}}")
  endif()
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ${sysroot_variable})

  set(CMAKE_FIND_ROOT_PATH "${${sysroot_variable}}" /usr/${triplet})
  set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

  # Debian's multiarch libraries (glib, which LCM needs) resolve the links.
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/${triplet}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/${triplet}")

  set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-${debian_arch};${${sysroot_variable}}")
endmacro()
