#!/usr/bin/env python3
"""A partitioned index whose data drifts after training, before and after `rebalance()`.

Scenario: the index is trained on one part of the data only (the vectors of one
side of a 2-means split of the whole set, so a topic the first data lacked comes
later), then given every other vector in 20 batches of `add_with_ids`, then a
third of the first part is removed. It is compared with an index of the same
final data trained on all of it:

- recall@10 against the exact inner-product top-10 of the final data, at probes
  8, 16 and 32;
- rows scanned per query (the sizes of the probed lists, by the add's rule),
  mean and p99; the largest list; CPU ms per query (one thread, one query per
  call);
- the time of `rebalance()` (from the codes, and with the original vectors)
  against a full rebuild (train + add), and its longest step (`max_steps=1`
  calls, what a query waits behind one step);
- add throughput with a `rebalance(max_steps=...)` after each batch, against
  adds alone.

Data: real sentence embeddings (bench/embeddings.py, MiniLM dim 384; `--n`
rows, capped at what is cached) and a synthetic drift (`--synthetic`: clustered
Gaussian data whose later clusters lie elsewhere).

    python bench/rebalance.py --n 200000            # real embeddings
    python bench/rebalance.py --synthetic --n 200000 --dim 128
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import varnel  # noqa: E402
from compare import cpu_info, simd_path  # noqa: E402

PROBES = (8, 16, 32)


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def real_vectors(n: int, nq: int) -> tuple[np.ndarray, np.ndarray, str]:
    import embeddings

    cache = embeddings.MODELS["minilm"].cache_dir
    cached = embeddings.cached_rows(cache)
    n = min(n, cached - nq)
    if n <= 0:
        raise SystemExit(f"the MiniLM cache holds {cached} rows: build it first (python bench/embeddings.py --n ...)")
    queries = embeddings.load_rows(0, nq, cache)
    data = embeddings.load_rows(nq, nq + n, cache)
    return np.ascontiguousarray(data, np.float32), np.ascontiguousarray(queries, np.float32), "MiniLM sentences"


def synthetic_vectors(n: int, nq: int, dim: int) -> tuple[np.ndarray, np.ndarray, str]:
    rng = np.random.default_rng(20261211)
    centres = rng.standard_normal((200, dim)).astype(np.float32)
    centres[100:] += 1.5  # the later half of the clusters lies elsewhere
    labels = rng.integers(0, 200, n + nq)
    points = centres[labels] + 0.35 * rng.standard_normal((n + nq, dim)).astype(np.float32)
    points /= np.linalg.norm(points, axis=1, keepdims=True)
    return np.ascontiguousarray(points[nq:]), np.ascontiguousarray(points[:nq]), "synthetic clustered drift"


def first_part(data: np.ndarray) -> np.ndarray:
    """The side of a 2-means split holding more vectors: what the index is trained on."""
    two = varnel.PartitionedIndex(data.shape[1], 2, 2)
    two.train(data[:: max(1, len(data) // 20_000)])
    c = two.centroids()
    side = (data @ c[1] - 0.5 * c[1] @ c[1]) > (data @ c[0] - 0.5 * c[0] @ c[0])
    return np.flatnonzero(side if side.mean() >= 0.5 else ~side)


def exact_top10(data: np.ndarray, ids: np.ndarray, queries: np.ndarray) -> np.ndarray:
    truth = np.empty((len(queries), 10), np.int64)
    for start in range(0, len(queries), 100):
        scores = queries[start : start + 100] @ data[ids].T
        truth[start : start + 100] = ids[np.argsort(-scores, axis=1)[:, :10]]
    return truth


def probed_rows(index: varnel.PartitionedIndex, queries: np.ndarray, probes: int) -> np.ndarray:
    c = index.centroids()
    sizes = index.list_sizes().astype(np.int64)
    keys = queries @ c.T - 0.5 * (c * c).sum(1)
    chosen = np.argpartition(-keys, probes - 1, axis=1)[:, :probes]
    return sizes[chosen].sum(1)


def measure(index: varnel.PartitionedIndex, queries: np.ndarray, truth: np.ndarray) -> dict:
    row = {"largest": int(index.list_sizes().max()), "lists": index.lists,
           "imbalance": index.balance()["imbalance"]}
    for probes in PROBES:
        found = np.empty((len(queries), 10), np.uint64)
        started = cpu_seconds()
        for q in range(len(queries)):
            found[q] = index.search(queries[q], 10, probes=probes)[1][0]
        ms = (cpu_seconds() - started) * 1000 / len(queries)
        hits = [len(set(f.tolist()) & set(t.tolist())) for f, t in zip(found, truth)]
        rows = probed_rows(index, queries, probes)
        row[probes] = {"recall": float(np.mean(hits)) / 10, "ms": ms,
                       "rows_mean": float(rows.mean()), "rows_p99": float(np.percentile(rows, 99))}
    return row


def drifted(data: np.ndarray, first: np.ndarray, later: np.ndarray, lists: int, bits: int,
            rebalance_steps: int | None) -> tuple[varnel.PartitionedIndex, float, float]:
    index = varnel.PartitionedIndex(data.shape[1], bits, lists)
    index.train(data[first])
    index.add_with_ids(data[first], first)
    adding = 0.0
    balancing = 0.0
    for batch in np.array_split(later, 20):
        started = cpu_seconds()
        index.add_with_ids(data[batch], batch)
        adding += cpu_seconds() - started
        if rebalance_steps is not None:
            started = cpu_seconds()
            index.rebalance(lists=lists, max_steps=rebalance_steps)
            balancing += cpu_seconds() - started
    index.remove_many(first[::3])
    return index, adding, balancing


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--nq", type=int, default=1000)
    parser.add_argument("--synthetic", action="store_true")
    parser.add_argument("--dim", type=int, default=128, help="synthetic data only")
    parser.add_argument("--bits", type=int, default=4)
    parser.add_argument("--lists", type=int, default=0, help="default 4 * sqrt(n)")
    args = parser.parse_args()
    varnel.set_num_threads(1)
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    info = cpu_info()
    print(f"CPU: {info['model']}; scan path {simd_path(info['simd'])}; one thread; varnel {varnel.__version__}")

    data, queries, name = (synthetic_vectors(args.n, args.nq, args.dim) if args.synthetic
                           else real_vectors(args.n, args.nq))
    n, dim = data.shape
    lists = args.lists or int(4 * np.sqrt(n))
    first = first_part(data)
    later = np.setdiff1d(np.arange(n), first)
    final = np.setdiff1d(np.arange(n), first[::3])
    print(f"{name}: n {n:,}, dim {dim}, {args.bits} bits, {lists:,} lists; trained on {len(first):,}, "
          f"then {len(later):,} added in 20 batches, {len(first[::3]):,} removed; {len(queries):,} queries")
    truth = exact_top10(data, final, queries)

    started = cpu_seconds()
    fresh = varnel.PartitionedIndex(dim, args.bits, lists)
    fresh.train(data[final])
    fresh.add_with_ids(data[final], final)
    rebuild = cpu_seconds() - started

    index, adding, _ = drifted(data, first, later, lists, args.bits, None)
    results = {"trained on the final data": measure(fresh, queries, truth),
               "trained on the first part, then updated": measure(index, queries, truth)}
    for label, vectors in (("from codes", None), ("with the original vectors", data)):
        copy = varnel.PartitionedIndex.from_bytes(index.to_bytes())
        started = cpu_seconds()
        report = copy.rebalance(vectors=vectors)
        took = cpu_seconds() - started
        results[f"updated, then rebalance() {label}"] = measure(copy, queries, truth)
        print(f"rebalance() {label}: {report}, {took:.2f} s CPU = {took / rebuild:.2f}x a rebuild "
              f"({rebuild:.2f} s train + add)")
    stepwise = varnel.PartitionedIndex.from_bytes(index.to_bytes())
    longest = 0.0
    while True:
        started = time.perf_counter()
        report = stepwise.rebalance(lists=lists, max_steps=1)
        longest = max(longest, time.perf_counter() - started)
        if report["balanced"]:
            break
    print(f"longest single step (max_steps=1): {longest * 1000:.1f} ms")

    steady, adding_steady, balancing = drifted(data, first, later, lists, args.bits, 8)
    results["updated with rebalance(max_steps=8) after each batch"] = measure(steady, queries, truth)
    print(f"adds alone: {len(later) / adding:,.0f} vectors/s; with rebalance(max_steps=8) after each batch: "
          f"{len(later) / (adding_steady + balancing):,.0f} vectors/s "
          f"({adding_steady / (adding_steady + balancing):.2f}x)")

    print()
    header = "| index | largest list | imbalance |" + "".join(
        f" recall@10 p{p} | rows mean / p99 p{p} | CPU ms p{p} |" for p in PROBES)
    print(header)
    print("|" + "---|" * (3 + 3 * len(PROBES)))
    for label, row in results.items():
        cells = [label, f"{row['largest']:,}", f"{row['imbalance']:.2f}"]
        for p in PROBES:
            cells += [f"{row[p]['recall']:.3f}", f"{row[p]['rows_mean']:,.0f} / {row[p]['rows_p99']:,.0f}",
                      f"{row[p]['ms']:.3f}"]
        print("| " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
