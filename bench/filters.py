#!/usr/bin/env python3
"""Filtered search on a PartitionedIndex: recall, short answers and CPU time per filter.

    python bench/filters.py                         # sentence embeddings, n = 200,000
    python bench/filters.py --n 20000 --queries 200 # a quick try
    python bench/filters.py --data clustered --n 20000 --dim 128   # no embedding cache needed

Data: the sentence embeddings of bench/embeddings.py (``--data minilm``, the
default; rows [0, queries) are the queries, the next n rows are stored; build
the cache first with ``python bench/embeddings.py --n 201000``), or
compare.py's Gaussian mixture scaled to unit length (``--data clustered``).

Index: ``PartitionedIndex(dim, 4, lists)`` with lists = round(4 * sqrt(n)),
trained on the stored vectors, searched with ``probes`` (default 8), one
query per call on one thread (``varnel.set_num_threads(1)``).

Filters: random ids admitting 50 %, 10 %, 1 %, 0.1 % and 0.01 % of the stored
vectors, and "far topic": the stored vectors are split into 16 topics (k-means
on a sample) and each query is filtered to the topic whose centre is least
similar to it (among topics holding at least 1 % of the vectors).

For every filter, given as a raw id array and as a ``varnel.IdFilter`` built
once: recall@10 against the exact filtered top-10 (float64 inner products over
the admitted vectors), the share of answers with fewer than 10 results while
at least 10 ids are admitted, and process CPU ms per query (best of
``--rounds`` passes over the queries), also as a ratio to the unfiltered
query. ``--exact-below`` and ``--max-probes`` pass the planner's options.

Run the full size on a quiet machine: the figures are CPU times of one
thread, but other load still slows caches and memory.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import varnel  # noqa: E402

K = 10
EMPTY = np.uint64(2**64 - 1)
RANDOM_SHARES = (0.5, 0.1, 0.01, 0.001, 0.0001)
TOPICS = 16


def load_data(args):
    if args.data == "minilm":
        import embeddings

        rows = embeddings.load_rows(0, args.queries + args.n)
        return rows[args.queries:], rows[:args.queries]
    import compare

    out = HERE / "data" / "tmp" / f"filters_clustered_{args.n}_{args.dim}_{args.queries}"
    if not (out / "x.npy").exists():
        compare.make_dataset("clustered", args.n, args.dim, args.queries, out, print)
    x = np.load(out / "x.npy").astype(np.float32)
    q = np.load(out / "q.npy").astype(np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    return np.ascontiguousarray(x), np.ascontiguousarray(q)


def topics_of(x, seed=3):
    """Each stored vector's topic: nearest of TOPICS k-means centres (a sample, 10 rounds)."""
    rng = np.random.default_rng(seed)
    sample = x[rng.choice(len(x), min(len(x), 20_000), replace=False)].astype(np.float64)
    centres = sample[rng.choice(len(sample), TOPICS, replace=False)]
    for _ in range(10):
        label = np.argmax(sample @ centres.T - 0.5 * (centres * centres).sum(1), axis=1)
        for t in range(TOPICS):
            if np.any(label == t):
                centres[t] = sample[label == t].mean(0)
    labels = np.empty(len(x), np.int64)
    for s in range(0, len(x), 50_000):
        block = x[s:s + 50_000].astype(np.float64)
        labels[s:s + 50_000] = np.argmax(block @ centres.T - 0.5 * (centres * centres).sum(1), axis=1)
    return labels, centres


def exact_top(x, q, admitted):
    """The exact filtered top-K ids of one query (float64 inner products)."""
    scores = x[admitted].astype(np.float64) @ q.astype(np.float64)
    take = min(K, len(admitted))
    best = np.argpartition(-scores, take - 1)[:take] if take < len(admitted) else np.arange(len(admitted))
    return set(admitted[best].tolist())


def cpu_ms_per_query(run, nq, rounds):
    best = math.inf
    for _ in range(rounds):
        start = time.process_time()
        run()
        best = min(best, time.process_time() - start)
    return 1000.0 * best / nq


def main(argv=None) -> int:
    sys.stdout.reconfigure(line_buffering=True)
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", choices=("minilm", "clustered"), default="minilm")
    ap.add_argument("--n", type=int, default=200_000, help="stored vectors")
    ap.add_argument("--dim", type=int, default=128, help="clustered data only")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--probes", type=int, default=8)
    ap.add_argument("--lists", type=int, help="default round(4 * sqrt(n))")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--exact-below", type=int, help="filter_exact_below (default: the library's)")
    ap.add_argument("--max-probes", type=int, help="filter_max_probes (default: the library's)")
    ap.add_argument("--json", type=Path, help="also write the figures here")
    args = ap.parse_args(argv)

    varnel.set_num_threads(1)
    x, q = load_data(args)
    n, dim = x.shape
    lists = args.lists or round(4 * math.sqrt(n))
    print(f"# varnel {varnel.__version__}, scan path {varnel.simd_path()}, one thread; data {args.data}, "
          f"n = {n:,}, dim {dim}, {len(q)} queries; PartitionedIndex(dim, 4, {lists}), probes {args.probes}")
    ids = np.arange(n, dtype=np.uint64)
    index = varnel.PartitionedIndex(dim, 4, lists)
    start = time.perf_counter()
    index.train(x)
    index.add_with_ids(x, ids)
    print(f"build: {time.perf_counter() - start:.1f} s")

    options = {"probes": args.probes}
    if args.exact_below is not None:
        options["filter_exact_below"] = args.exact_below
    if args.max_probes is not None:
        options["filter_max_probes"] = args.max_probes

    rng = np.random.default_rng(11)
    filters = {}  # name -> per-query admitted id arrays
    for share in RANDOM_SHARES:
        admitted = np.sort(rng.choice(n, max(1, round(n * share)), replace=False)).astype(np.uint64)
        filters[f"random {share:.2%}"] = [admitted] * len(q)
    labels, centres = topics_of(x)
    sizes = np.bincount(labels, minlength=TOPICS)
    big = np.flatnonzero(sizes >= 0.01 * n)
    far = big[np.argmin(q.astype(np.float64) @ centres[big].T, axis=1)]
    topic_ids = {int(t): np.flatnonzero(labels == t).astype(np.uint64) for t in big}
    filters["far topic"] = [topic_ids[int(t)] for t in far]

    rows = []
    unfiltered = cpu_ms_per_query(lambda: [index.query(q[i:i + 1], K, **options) for i in range(len(q))], len(q),
                                  args.rounds)
    every = np.arange(n, dtype=np.int64)
    plain = [index.query(q[i:i + 1], K, **options)[1][0] for i in range(len(q))]
    plain_recall = np.mean([len(exact_top(x, q[i], every) & set(plain[i].tolist())) / K for i in range(len(q))])
    print(f"unfiltered: recall@10 {plain_recall:.3f}, {unfiltered:.3f} CPU ms per query")
    print("| filter | admitted | recall@10 | short | CPU ms (raw) | x unfiltered | CPU ms (IdFilter) "
          "| x unfiltered |\n|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, per_query in filters.items():
        built = {}
        id_filters = []
        for admitted in per_query:
            key = id(admitted)
            if key not in built:
                built[key] = varnel.IdFilter(admitted)
            id_filters.append(built[key])
        found = [index.query(q[i:i + 1], K, allowed=id_filters[i], **options)[1][0] for i in range(len(q))]
        raw = [index.query(q[i:i + 1], K, allowed=per_query[i], **options)[1][0] for i in range(len(q))]
        assert all(np.array_equal(a, b) for a, b in zip(found, raw)), "IdFilter and raw array differ"
        recall, short = [], 0
        for i, ids_found in enumerate(found):
            truth = exact_top(x, q[i], per_query[i].astype(np.int64))
            got = [int(v) for v in ids_found if v != EMPTY]
            recall.append(len(truth & set(got)) / len(truth))
            short += len(got) < min(K, len(per_query[i]))
        raw_ms = cpu_ms_per_query(lambda: [index.query(q[i:i + 1], K, allowed=per_query[i], **options)
                                           for i in range(len(q))], len(q), args.rounds)
        filter_ms = cpu_ms_per_query(lambda: [index.query(q[i:i + 1], K, allowed=id_filters[i], **options)
                                              for i in range(len(q))], len(q), args.rounds)
        admitted_mean = float(np.mean([len(a) for a in per_query]))
        row = {"filter": name, "admitted": admitted_mean, "recall": float(np.mean(recall)),
               "short": short / len(q), "raw_ms": raw_ms, "filter_ms": filter_ms}
        rows.append(row)
        print(f"| {name} | {admitted_mean:,.0f} | {row['recall']:.3f} | {row['short']:.0%} | {raw_ms:.3f} | "
              f"{raw_ms / unfiltered:.2f}x | {filter_ms:.3f} | {filter_ms / unfiltered:.2f}x |")
    if args.json:
        args.json.write_text(json.dumps({"n": n, "dim": dim, "lists": lists, "probes": args.probes,
                                         "unfiltered_ms": unfiltered, "rows": rows,
                                         "simd_path": varnel.simd_path(), "cpus": os.cpu_count()}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
