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
  local arch
  for arch in armhf arm64; do
    case " ${missing[*]}" in
      *:$arch*)
        dpkg --print-foreign-architectures | grep -qx $arch || as_root dpkg --add-architecture $arch ;;
    esac
  done
  # A mirror caught mid-sync fails an index now and then: try again, and let
  # the install itself decide whether the lists we have are good enough.
  local attempt
  for attempt in 1 2 3; do
    as_root apt-get -o DPkg::Lock::Timeout=900 update -q && break
    echo "== apt-get update failed (attempt $attempt of 3)" >&2
    sleep $((attempt * 10))
  done
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends \
    "${missing[@]}"
}

# libmujoco-dev: kalvent_sim's rigid-body physics; libegl-dev and ffmpeg: its
# video (offscreen through Mesa, or on an X display such as xvfb-run's);
# libcli11-dev and nlohmann-json3-dev: the tools' command lines and JSON
# output; python3-mypy: stubtest checks the Python module's type stub;
# chromium: kalvent_dash's page in the browser tests.
native_packages=(cmake make g++ pkg-config googletest libbenchmark-dev liblcm-dev liblcm-bin libboost-dev
  libcli11-dev nlohmann-json3-dev
  iproute2 libmujoco-dev libegl-dev ffmpeg xvfb python3-dev pybind11-dev python3-pybind11
  python3-pytest python3-numpy python3-venv python3-mypy patchelf chromium)
fuzz_packages=(clang-14 libfuzzer-14-dev libclang-rt-14-dev)
armhf_packages=(crossbuild-essential-armhf qemu-user-static libc6:armhf libstdc++6:armhf
  libglib2.0-0:armhf)
lint_packages=(clang-format clang-tidy git)
docs_packages=(doxygen)
package_packages=(dpkg-dev lintian patchelf)
arm64_packages=(crossbuild-essential-arm64 qemu-user-static libc6:arm64 libstdc++6:arm64
  libglib2.0-0:arm64)

# kalvent_dash's page is bundled with npm at build time: Debian's nodejs and
# npm, unless a node that brings its own npm is there already.
ensure_npm() {
  { command -v node && command -v npm; } >/dev/null || ensure_packages nodejs npm
}

# configure_and_build DIR [CMAKE ARG...]
configure_and_build() {
  local dir=$1
  shift
  ensure_npm
  ensure_packages ccache
  # The same sources are built five ways (native, two cross, two sanitizers)
  # and again on every clean clone: ccache keeps the objects, and with paths
  # taken relative to the checkout, a clone elsewhere finds them too.
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true
  cmake -S "$root" -B "$dir" -DCMAKE_C_COMPILER_LAUNCHER=ccache \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
}

build_native() {
  mkdir -p "$root/build"
  configure_and_build "$root/build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

# The cross builds' end-to-end tests run their programs against this one.
native_sim="$root/build/native/tools/kalvent_sim"

armhf_sysroot="$root/build/armhf-sysroot"
aarch64_sysroot="$root/build/aarch64-sysroot"

# build_cross NAME DEBIAN_ARCH SYSROOT_VARIABLE SYSROOT [CMAKE ARG...]: the
# cross build in build/NAME with cmake/NAME-toolchain.cmake, given SYSROOT (made
# here for DEBIAN_ARCH) in the toolchain's SYSROOT_VARIABLE.
build_cross() {
  local name=$1 arch=$2 sysroot_variable=$3 sysroot=$4
  shift 4
  mkdir -p "$root/build"
  "$root/scripts/cross-sysroot" "$arch" "$sysroot"
  configure_and_build "$root/build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$name-toolchain.cmake" \
    -D"$sysroot_variable"="$sysroot" -DKALVENT_NATIVE_SIM="$native_sim" "$@"
}

build_armhf() { build_cross armhf armhf KALVENT_ARMHF_SYSROOT "$armhf_sysroot" "$@"; }
build_aarch64() { build_cross aarch64 arm64 KALVENT_AARCH64_SYSROOT "$aarch64_sysroot" "$@"; }
