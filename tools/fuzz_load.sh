#!/usr/bin/env bash
# Fuzzes the index-file reader with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer for a bounded time.
#   tools/fuzz_load.sh [seconds]      (default 120)
# Build output and the growing corpus go to build/fuzz (or $FUZZ_OUT).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-120}"
out="${FUZZ_OUT:-$root/build/fuzz}"

if ! command -v clang++ >/dev/null 2>&1; then
  sudo_if_needed=""
  [ "$(id -u)" -eq 0 ] || sudo_if_needed="sudo"
  $sudo_if_needed apt-get update -qq
  $sudo_if_needed apt-get install -y -qq clang
fi

mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/varnel/src" "$root/tests/fuzz/fuzz_load.cpp" "$root"/varnel/src/*.cpp \
  -pthread -o "$out/fuzz_load"

# Small valid files of both kinds as a starting point (little-endian fields:
# magic, version, bits, rotation tag, dim, n, codes, norms, seed, ids).
seed='\xec\x04\x07\x07\x00\x00\x00\x00'
printf '%b' "VNIX\x02\x02\x03\x08\x00\x00\x00\x00\x00\x00\x00$seed" >"$out/corpus/seed_empty_vnix"
printf '%b' "VNIX\x02\x02\x03\x08\x00\x00\x00\x02\x00\x00\x00\x5a\xa5\x0f\xf0\x00\x00\x80\x3f\x00\x00\x00\x40$seed" \
  >"$out/corpus/seed_vnix"
printf '%b' "VNIM\x02\x04\x05\x08\x00\x00\x00\x02\x00\x00\x00\x01\x23\x45\x67\x89\xab\xcd\xef\x00\x00\x80\x3f\x00\x00\xc0\x7f$seed\x07\x00\x00\x00\x00\x00\x00\x00\xff\xff\xff\xff\xff\xff\xff\xff" \
  >"$out/corpus/seed_vnim"

"$out/fuzz_load" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -max_len=8192 \
  -print_final_stats=1 "$out/corpus"
