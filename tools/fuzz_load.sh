#!/usr/bin/env bash
# Fuzzes the index-file reader with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#   tools/fuzz_load.sh [seconds] [extra libFuzzer flags...]   (default 120 s)
#   tools/fuzz_load.sh merge    minimise the grown corpus into tests/fuzz/corpus
# The run starts from the corpus kept in the repository (tests/fuzz/corpus),
# which the C++ tests also load; build output and the growing corpus go to
# build/fuzz (or $FUZZ_OUT).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${FUZZ_OUT:-$root/build/fuzz}"
kept="$root/tests/fuzz/corpus"

if ! command -v clang++ >/dev/null 2>&1; then
  sudo_if_needed=""
  [ "$(id -u)" -eq 0 ] || sudo_if_needed="sudo"
  $sudo_if_needed apt-get update -qq
  $sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang
fi

mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/varnel/src" "$root/tests/fuzz/fuzz_load.cpp" $(find "$root/varnel/src" -name "*.cpp" | sort) \
  -pthread -o "$out/fuzz_load"

if [ "${1:-}" = "merge" ]; then
  # Keeps the smallest set of inputs that covers what both corpora cover.
  fresh="$out/merged"
  rm -rf "$fresh" && mkdir -p "$fresh"
  "$out/fuzz_load" -merge=1 -rss_limit_mb=2048 -max_len=8192 "$fresh" "$kept" "$out/corpus"
  rm -f "$kept"/* && cp "$fresh"/* "$kept"/
  echo "kept $(ls "$kept" | wc -l) inputs, $(du -sh "$kept" | cut -f1)"
  exit 0
fi

seconds="${1:-120}"
shift || true
"$out/fuzz_load" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -max_len=8192 \
  -print_final_stats=1 "$@" "$out/corpus" "$kept"
