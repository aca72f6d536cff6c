"""Sharded index on one node: add and search against a plain IdMapIndex.

    python bench/distributed.py [--n 1000000] [--dim 128] [--bits 4] [--shards 1,2,4]

Starts a local Ray instance with --cpus CPUs (default 2) and, for each shard
count N, a ShardedIndex whose shards get --cpus / N CPUs each (so varnel runs
max(1, floor(cpus / N)) threads per shard). Prints, per configuration, the
time to add --n Gaussian vectors in batches of --batch, the queries per second
of a batch of --queries queries (best of --reps, after prepare()), and where a
sharded search spends its time: the slowest shard's own search, the merge on
the caller, and the rest (Ray calls, transfer of queries and results). A
second table times query with options: a filter admitting a tenth of the
ids, and "l2" with exact re-ranking (refine rows by refine_ids, re-scored on
the caller for the sharded index). The plain IdMapIndex runs in this process
with --cpus threads. A figure, not a test.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import varnel

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare import cpu_info, simd_path  # noqa: E402


def best_of(reps: int, call) -> float:
    best = float("inf")
    for _ in range(reps):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def add_in_batches(add, data: np.ndarray, ids: np.ndarray, batch: int) -> float:
    start = time.perf_counter()
    for first in range(0, len(data), batch):
        add(data[first : first + batch], ids[first : first + batch])
    return time.perf_counter() - start


def print_merge_scaling(args, merge_results) -> None:
    """The caller's merge alone for many shards (synthetic shard results), for cluster arithmetic."""
    print(f"\nmerge of {args.queries:,} queries x k = {args.k} from many shards (caller side, one thread):")
    print("| shards | merge ms | per query per shard, ns |")
    print("|---|---|---|")
    rng = np.random.default_rng(1)
    for num_shards in (16, 64, 256):
        parts = []
        for _ in range(num_shards):
            scores = -np.sort(-rng.standard_normal((args.queries, args.k), dtype=np.float32), axis=1)
            ids = rng.integers(0, 2**62, (args.queries, args.k), dtype=np.uint64)
            parts.append((scores, ids, args.k))
        merge_s = best_of(args.reps, lambda: merge_results(parts, args.k))
        print(f"| {num_shards} | {1e3 * merge_s:.1f} | {1e9 * merge_s / (args.queries * num_shards):.0f} |")


def query_options(data: np.ndarray, ids: np.ndarray) -> dict[str, dict]:
    return {
        "filter 10 %": {"allowed": ids[::10]},
        "l2 + refine": {"metric": "l2", "refine": data, "refine_ids": ids},
    }


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--bits", type=int, default=4)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--shards", default="1,2,4")
    ap.add_argument("--cpus", type=int, default=2)
    ap.add_argument("--batch", type=int, default=100_000)
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()

    import ray

    from varnel.distributed import ShardedIndex, merge_results

    cpu = cpu_info()
    print(f"CPU: {cpu['model']} ({', '.join(cpu['simd'])}), {cpu['logical_cpus']} logical CPUs; "
          f"4-bit scan path: {simd_path(cpu['simd'])}")
    print(f"varnel {varnel.__version__}, Ray {ray.__version__}, NumPy {np.__version__}; load average "
          f"{os.getloadavg()[0]:.1f} at start")
    rng = np.random.default_rng(0)
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    ids = rng.choice(2**62, args.n, replace=False).astype(np.uint64)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    print(f"n = {args.n:,}, dim {args.dim}, {args.bits} bits, {args.queries:,} queries, k = {args.k}, "
          f"adds in batches of {args.batch:,}, search best of {args.reps}")
    print()
    print("| index | threads per shard | add s | search s | QPS | slowest shard s | merge ms | Ray calls + transfer ms |")
    print("|---|---|---|---|---|---|---|---|")

    varnel.set_num_threads(args.cpus)
    plain = varnel.IdMapIndex(args.dim, args.bits)
    add_s = add_in_batches(plain.add_with_ids, data, ids, args.batch)
    plain.prepare()
    expected, _ = plain.search(queries, args.k)
    search_s = best_of(args.reps, lambda: plain.search(queries, args.k))
    print(f"| IdMapIndex | {args.cpus} | {add_s:.2f} | {search_s:.3f} | {args.queries / search_s:,.0f} | | | |")
    options = query_options(data, ids)
    expected_query = {name: plain.query(queries, args.k, **o)[0] for name, o in options.items()}
    query_rows = [("IdMapIndex", [best_of(args.reps, lambda o=o: plain.query(queries, args.k, **o)) for o in options.values()])]
    del plain

    ray.init(num_cpus=args.cpus, include_dashboard=False, log_to_driver=False, configure_logging=False)
    for num_shards in (int(s) for s in args.shards.split(",")):
        cpus_per_shard = args.cpus / num_shards
        with ShardedIndex(args.dim, args.bits, num_shards=num_shards, num_cpus_per_shard=cpus_per_shard) as index:
            threads = ray.get(index.actors[0].threads.remote())
            add_s = add_in_batches(index.add_with_ids, data, ids, args.batch)
            index.prepare()
            scores, _ = index.search(queries, args.k)
            assert np.array_equal(scores.view(np.uint32), expected.view(np.uint32)), "scores differ from IdMapIndex"
            search_s = best_of(args.reps, lambda: index.search(queries, args.k))
            # The parts of one search, from the same calls search makes: the
            # slowest shard's own time, the merge alone, and what is left.
            shared = ray.put(queries)
            best = (float("inf"), 0.0, 0.0)
            for _ in range(args.reps):
                start = time.perf_counter()
                parts = ray.get([actor.search.remote(shared, args.k) for actor in index.actors])
                gathered = time.perf_counter()
                merge_results([part[:3] for part in parts], args.k)
                end = time.perf_counter()
                best = min(best, (end - start, max(part[3] for part in parts), end - gathered))
            total_s, slowest, merge_s = best
            rest_ms = 1e3 * (total_s - slowest - merge_s)
            print(f"| ShardedIndex, {num_shards} shards | {threads} | {add_s:.2f} | {search_s:.3f} | "
                  f"{args.queries / search_s:,.0f} | {slowest:.3f} | {1e3 * merge_s:.2f} | {rest_ms:.0f} |")
            for name, o in options.items():
                got = index.query(queries, args.k, **o)[0]
                assert np.array_equal(got.view(np.uint32), expected_query[name].view(np.uint32)), name
            times = [best_of(args.reps, lambda o=o: index.query(queries, args.k, **o)) for o in options.values()]
            query_rows.append((f"ShardedIndex, {num_shards} shards", times))
    ray.shutdown()
    print(f"\nquery, {args.queries:,} queries, k = {args.k} (seconds, best of {args.reps}):")
    print("| index | " + " | ".join(options) + " |")
    print("|---|" + "---|" * len(options))
    for name, times in query_rows:
        print(f"| {name} | " + " | ".join(f"{t:.3f}" for t in times) + " |")
    print_merge_scaling(args, merge_results)
    print(f"\nload average {os.getloadavg()[0]:.1f} at the end (2 cores shared with other work skew the figures)")


if __name__ == "__main__":
    main()
