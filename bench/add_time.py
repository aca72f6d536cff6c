"""Time of SkerryIndex.add for one batch of 100,000 Gaussian vectors.

    python bench/add_time.py [--n 100000] [--dims 128,768] [--reps 9]

Prints, per (dim, bits), the first add in the process and the median and best
of --reps adds, each into a new index, in milliseconds. A figure, not a test.
"""
from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import varnel


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dims", default="128,768")
    ap.add_argument("--reps", type=int, default=9)
    args = ap.parse_args()
    print(f"add of {args.n:,} vectors, {varnel.num_threads()} threads; ms")
    print("| dim | bits | first | median | best |")
    print("|---|---|---|---|---|")
    for dim in (int(d) for d in args.dims.split(",")):
        x = np.random.default_rng(0).standard_normal((args.n, dim), dtype=np.float32)
        for bits in (2, 3, 4):
            times = []
            for _ in range(args.reps):
                index = varnel.SkerryIndex(dim, bits)
                start = time.perf_counter()
                index.add(x)
                times.append(time.perf_counter() - start)
                del index
            print(f"| {dim} | {bits} | {1e3 * times[0]:.1f} | {1e3 * statistics.median(times):.1f} "
                  f"| {1e3 * min(times):.1f} |")


if __name__ == "__main__":
    main()
