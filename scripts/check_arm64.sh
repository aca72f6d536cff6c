#!/usr/bin/env bash
# Builds the library and its C++ tests for 64-bit Arm with Debian's cross
# compiler and runs them under user-mode QEMU, so that the NEON kernels (which
# no x86 build compiles) build and match the portable ones bit for bit.
# Two tests cannot hold under emulation and are left out: the CPU-feature test
# compares with /proc/cpuinfo, which is the host's, and the fork death test
# re-executes the binary, which the host cannot run without binfmt.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

sysroot=/usr/aarch64-linux-gnu
if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-aarch64-linux-gnu qemu-user
fi

jobs=$(nproc 2>/dev/null || echo 2)
cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
       -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++
       -DCMAKE_BUILD_TYPE=Release)

# GoogleTest for the target, from the sources libgtest-dev ships.
gtest=build/arm64-gtest
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B build/arm64-gtest-build "${cross[@]}" \
    -DCMAKE_INSTALL_PREFIX="$PWD/$gtest" -DINSTALL_GTEST=ON >/dev/null
  cmake --build build/arm64-gtest-build -j "$jobs" >/dev/null
  cmake --install build/arm64-gtest-build >/dev/null
fi

cmake -S . -B build/arm64 "${cross[@]}" -DVARNEL_BENCHMARKS=OFF \
  -DCMAKE_PREFIX_PATH="$PWD/$gtest" -DCMAKE_FIND_ROOT_PATH="$PWD/$gtest;$sysroot" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-aarch64;-L;$sysroot"
cmake --build build/arm64 -j "$jobs"
ctest --test-dir build/arm64 --output-on-failure -j "$jobs" \
  -E '^(CpuFeatures\.AgreeWithTheOperatingSystem|ScanPathDeathTest\.AChildForkedWhileThePathIsChosenChoosesItself)$'
