#!/usr/bin/env bash
# Search throughput for n = 100,000 and 1,000,000, dim 128 and 768, bits 2-4,
# 1,000 queries, k = 10; one process per configuration.
#   bash bench/search_matrix.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j "$(nproc)" --target bench_search >/dev/null
sizes="100000 1000000"
[ "${1:-}" = "--quick" ] && sizes="20000"
grep -m1 'model name' /proc/cpuinfo || true
echo "| n | dim | bits | rotation | threads | path | prepare s | QPS | pairs/s/core | 1-query ms | peak MiB |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for n in $sizes; do
  for dim in 128 768; do
    for bits in 2 3 4; do
      ./build/bench/bench_search "$n" "$dim" "$bits" 1000 10 | tail -n 1
    done
  done
done
