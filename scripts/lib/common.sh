# Shared by the project's scripts: package set-up and the build folders.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ensure_packages PKG...: installs with apt-get whatever is missing.
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  case " ${missing[*]}" in
    *:armhf*)
      dpkg --print-foreign-architectures | grep -qx armhf || as_root dpkg --add-architecture armhf ;;
  esac
  as_root apt-get -o DPkg::Lock::Timeout=900 update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends \
    "${missing[@]}"
}

# libbullet-dev and liburdfdom-dev: kalvent_sim's rigid-body physics and its
# robot model file.
native_packages=(cmake make g++ pkg-config googletest libbenchmark-dev liblcm-dev libboost-dev
  iproute2 libbullet-dev liburdfdom-dev python3-dev pybind11-dev python3-pybind11 python3-pytest)
fuzz_packages=(clang-14 libfuzzer-14-dev libclang-rt-14-dev)
armhf_packages=(crossbuild-essential-armhf qemu-user-static libc6:armhf libstdc++6:armhf
  libglib2.0-0:armhf)

# configure_and_build DIR [CMAKE ARG...]
configure_and_build() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
}

build_native() {
  mkdir -p "$root/build"
  configure_and_build "$root/build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

armhf_sysroot="$root/build/armhf-sysroot"

build_armhf() {
  mkdir -p "$root/build"
  "$root/scripts/armhf-sysroot" "$armhf_sysroot"
  configure_and_build "$root/build/armhf" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
    -DKALVENT_ARMHF_SYSROOT="$armhf_sysroot" "$@"
}
