#!/usr/bin/env bash
# Rebuilds varnel/src/quantize/codebook_tables.cpp from the library's own
# compute_codebook. Run it after any change to the codebook computation; the
# codebook table tests fail until it has been run.
#   tools/gen_codebook_tables.sh [output path]
# The tool is compiled with the library's floating point flags (no
# contraction, no fast-math) so that it computes the bits the library does.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${GEN_OUT:-$root/build/gen_codebook_tables}"
mkdir -p "$out"

nice -n 19 g++ -std=c++20 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra \
  -I"$root/varnel/src" \
  "$root/tools/gen_codebook_tables.cpp" "$root/varnel/src/quantize/codebook.cpp" \
  -o "$out/gen_codebook_tables"

cd "$root"
nice -n 19 "$out/gen_codebook_tables" "${1:-varnel/src/quantize/codebook_tables.cpp}"
