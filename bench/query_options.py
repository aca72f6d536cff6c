#!/usr/bin/env python3
"""Figures of query(): filter speed, refinement recall, and what a search does to
other Python threads.

    python bench/query_options.py filter  [--n 1000000 --dim 128 --bits 4]
    python bench/query_options.py refine  [--datasets clustered,minilm --n 100000]
    python bench/query_options.py threads [--n 200000]

filter   queries per second of search, query without options, query with a
         filter admitting everything, and query with filters admitting 10 %,
         1 % and 0.1 % of the vectors (random positions), as a ratio to search.
refine   recall@10 against exact float32 inner-product search and queries per
         second of plain search and of query(refine=x, refine_factor=r) for
         r = 1, 2, 4, 8 (clustered: bench/compare.py's Gaussian mixture; minilm:
         the sentence embeddings of bench/embeddings.py, which must be cached).
threads  ticks of a 1 ms timer in a second Python thread while the main thread
         runs a long search() (holds the interpreter lock) and a long query()
         (releases it), and how long Ctrl-C takes to stop a query.

Every timing is the best of a few repetitions; the machine's other load shows
in the figures, so quote them with the CPU model printed first.
"""

from __future__ import annotations

import _thread
import argparse
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import compare  # noqa: E402  (cpu_info, make_dataset, exact_topk, recall_at_k)

import varnel  # noqa: E402


def header():
    cpu = compare.cpu_info()
    path = os.environ.get("VARNEL_SCAN_PATH") or f"{varnel.simd_path()} (fastest by timing)"
    print(f"# {cpu['model']} ({', '.join(cpu['simd'])}), {varnel.num_threads()} threads, "
          f"scan path: {path}, varnel {varnel.__version__}")


def best_time(run, min_time: float = 1.0, max_reps: int = 5) -> float:
    """Best wall time of run() over repetitions lasting about min_time in all."""
    best, spent, reps = float("inf"), 0.0, 0
    while reps < max_reps and (reps == 0 or spent < min_time):
        start = time.perf_counter()
        run()
        elapsed = time.perf_counter() - start
        best, spent, reps = min(best, elapsed), spent + elapsed, reps + 1
    return best


def dataset(kind: str, n: int, dim: int, nq: int):
    out = HERE / "data" / "tmp" / f"query_options_{kind}_{n}_{dim}_{nq}"
    if not (out / "x.npy").exists():
        compare.make_dataset(kind, n, dim, nq, out, print)
    return np.load(out / "x.npy", mmap_mode="r"), np.load(out / "q.npy")


def cmd_filter(args):
    x, q = dataset(args.dataset, args.n, args.dim, args.queries)
    index = varnel.SkerryIndex(args.dim, args.bits)
    for s in range(0, args.n, 100_000):
        index.add(np.ascontiguousarray(x[s:s + 100_000]))
    index.prepare()
    rng = np.random.default_rng(7)
    print(f"\n## Filter: {args.dataset}, n = {args.n:,}, dim {args.dim}, {args.bits} bits, "
          f"{len(q)} queries, k = {args.k}")
    variants = {"search": lambda: index.search(q, args.k),
                "query, no options": lambda: index.query(q, args.k)}
    everything = np.ones(args.n, dtype=bool)
    variants["query, filter admitting all"] = lambda: index.query(q, args.k, allowed=everything)
    for fraction in (0.1, 0.01, 0.001):
        allowed = np.sort(rng.choice(args.n, int(args.n * fraction), replace=False))
        variants[f"query, filter admitting {fraction:.1%}"] = \
            lambda allowed=allowed: index.query(q, args.k, allowed=allowed)
    # Rounds over all variants, best of each kept: a load change on the
    # machine then hits every variant alike.
    best = dict.fromkeys(variants, float("inf"))
    for _ in range(args.rounds):
        for name, run in variants.items():
            best[name] = min(best[name], best_time(run, min_time=0.0, max_reps=1))
    base = best["search"]
    print(f"(best of {args.rounds} interleaved rounds)")
    print("| search | QPS | vs search |\n|---|---:|---:|")
    for name, seconds in best.items():
        print(f"| {name} | {len(q) / seconds:,.0f} | {base / seconds:.2f}x |")


def recall_at_10(found, truth) -> float:
    return compare.recall_at_k(found, truth, 10)


def cmd_refine(args):
    for kind in args.datasets.split(","):
        dim = 384 if kind == "minilm" else args.dim
        x, q = dataset(kind, args.n, dim, args.queries)
        x = np.ascontiguousarray(x)
        _, truth = compare.exact_topk(x, q, 10)
        print(f"\n## Refinement: {kind}, n = {len(x):,}, dim {dim}, {len(q)} queries, k = 10, "
              f"exact inner-product ground truth")
        print("| bits | search | recall@10 | QPS | QPS vs plain |\n|---|---|---:|---:|---:|")
        for bits in [int(b) for b in args.bits.split(",")]:
            index = varnel.SkerryIndex(dim, bits)
            index.add(x)
            index.prepare()
            found = index.search(q, 10)[1]
            base = best_time(lambda: index.search(q, 10))
            print(f"| {bits} | plain | {recall_at_10(found, truth):.4f} | {len(q) / base:,.0f} | 1.00x |")
            for factor in (1, 2, 4, 8):
                found = index.query(q, 10, refine=x, refine_factor=factor)[1]
                seconds = best_time(lambda: index.query(q, 10, refine=x, refine_factor=factor))
                print(f"| {bits} | refine x{factor} | {recall_at_10(found, truth):.4f} | "
                      f"{len(q) / seconds:,.0f} | {base / seconds:.2f}x |")


def ticks_during(call) -> tuple[float, int]:
    """Seconds call() took and the ticks a 1 ms timer thread made meanwhile."""
    ticks, stop = [0], threading.Event()

    def timer():
        while not stop.is_set():
            time.sleep(0.001)
            ticks[0] += 1

    thread = threading.Thread(target=timer)
    thread.start()
    time.sleep(0.05)
    before = ticks[0]
    start = time.perf_counter()
    call()
    elapsed = time.perf_counter() - start
    counted = ticks[0] - before
    stop.set()
    thread.join()
    return elapsed, counted


def cmd_threads(args):
    x, q = dataset("clustered", args.n, args.dim, args.queries)
    index = varnel.SkerryIndex(args.dim, args.bits)
    index.add(np.ascontiguousarray(x))
    index.prepare()
    print(f"\n## Other Python threads during a search: n = {args.n:,}, dim {args.dim}, "
          f"{args.bits} bits, {len(q)} queries")
    index.search(q[:200], 10)  # warm: first touches of the caches are not what is measured
    index.query(q[:200], 10)
    idle, idle_ticks = ticks_during(lambda: time.sleep(1.0))
    print("| main thread runs | seconds | ticks of a 1 ms timer | ticks per second |\n|---|---:|---:|---:|")
    print(f"| time.sleep(1) | {idle:.2f} | {idle_ticks} | {idle_ticks / idle:,.0f} |")
    for name, call in (("search (holds the lock)", lambda: index.search(q, 10)),
                       ("query (releases it)", lambda: index.query(q, 10))):
        seconds, ticks = ticks_during(call)
        print(f"| {name} | {seconds:.2f} | {ticks} | {ticks / seconds:,.0f} |")

    delays = []
    for _ in range(5):
        fired = []

        def interrupt():
            fired.append(time.perf_counter())
            _thread.interrupt_main()

        timer = threading.Timer(0.2, interrupt)
        timer.start()
        try:
            index.query(q, 10)
        except KeyboardInterrupt:
            delays.append(time.perf_counter() - fired[0])
        timer.join()
    print(f"\nCtrl-C during query: stopped {1000 * np.median(delays):.1f} ms after the signal "
          f"(median of {len(delays)}, worst {1000 * max(delays):.1f} ms)")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="command", required=True)
    f = sub.add_parser("filter")
    f.add_argument("--dataset", default="clustered", choices=("clustered", "gaussian"))
    f.add_argument("--n", type=int, default=1_000_000)
    f.add_argument("--dim", type=int, default=128)
    f.add_argument("--bits", type=int, default=4)
    f.add_argument("--queries", type=int, default=200)
    f.add_argument("-k", type=int, default=10)
    f.add_argument("--rounds", type=int, default=5)
    r = sub.add_parser("refine")
    r.add_argument("--datasets", default="clustered,minilm")
    r.add_argument("--n", type=int, default=100_000)
    r.add_argument("--dim", type=int, default=384, help="dim of the clustered data")
    r.add_argument("--bits", default="4")
    r.add_argument("--queries", type=int, default=1000)
    t = sub.add_parser("threads")
    t.add_argument("--n", type=int, default=200_000)
    t.add_argument("--dim", type=int, default=128)
    t.add_argument("--bits", type=int, default=4)
    t.add_argument("--queries", type=int, default=2000)
    args = ap.parse_args(argv)
    header()
    {"filter": cmd_filter, "refine": cmd_refine, "threads": cmd_threads}[args.command](args)


if __name__ == "__main__":
    main()
