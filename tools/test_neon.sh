#!/usr/bin/env bash
# Cross-builds the 4-bit scan and its GoogleTest suite for aarch64 and runs
# them under qemu-user, so the NEON path is checked bit for bit against the
# portable one on an x86 machine.
#
#   tools/test_neon.sh [build-dir]      (default: build/neon)
#
# Installs g++-aarch64-linux-gnu, qemu-user and libgtest-dev with apt-get when
# they are missing. GoogleTest is built from its sources for aarch64 once and
# kept in the build directory.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$repo/build/neon}"
cxx=aarch64-linux-gnu-g++
gtest_src=/usr/src/googletest/googletest

install_missing() {
  local missing=()
  command -v "$cxx" >/dev/null || missing+=(g++-aarch64-linux-gnu)
  command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
  [[ -d "$gtest_src" ]] || missing+=(libgtest-dev)
  if ((${#missing[@]})); then
    echo "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# The same numeric flags as the main build: no contraction into fused
# multiply-adds, never fast-math.
flags=(-std=c++20 -O2 -ffp-contract=off -fno-fast-math -Wall -Wextra -pthread)

build_gtest() {
  local out="$build/gtest"
  [[ -f "$out/libgtest_main.a" ]] && return
  mkdir -p "$out"
  echo "building GoogleTest for aarch64"
  "$cxx" "${flags[@]}" -w -I"$gtest_src/include" -I"$gtest_src" -c "$gtest_src/src/gtest-all.cc" \
    -o "$out/gtest-all.o"
  "$cxx" "${flags[@]}" -w -I"$gtest_src/include" -c "$gtest_src/src/gtest_main.cc" \
    -o "$out/gtest_main.o"
  aarch64-linux-gnu-ar rcs "$out/libgtest_main.a" "$out/gtest-all.o" "$out/gtest_main.o"
}

build_test() {
  local sources=("$repo"/varnel/src/lut_scan*.cpp "$repo"/varnel/src/kernels/lut_scan*.cpp "$repo/tests/cpp/test_lut_scan.cpp")
  echo "building test_lut_scan for aarch64"
  "$cxx" "${flags[@]}" -static -I"$repo/varnel/src" -I"$gtest_src/include" "${sources[@]}" \
    "$build/gtest/libgtest_main.a" -o "$build/test_lut_scan"
}

install_missing
mkdir -p "$build"
build_gtest
build_test
echo "running under qemu-aarch64"
qemu-aarch64 "$build/test_lut_scan"
# The path chosen on first use follows VARNEL_SCAN_PATH.
for path in portable neon; do
  echo "VARNEL_SCAN_PATH=$path:"
  VARNEL_SCAN_PATH=$path qemu-aarch64 "$build/test_lut_scan" --gtest_brief=1 --gtest_filter="ScanPaths.*"
done
