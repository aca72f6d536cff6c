"""The demo behind ``python -m varnel demo``: recall and speed on synthetic data."""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
from numpy.typing import NDArray

from varnel import SkerryIndex, num_threads
from varnel._cli_common import at_least, bits_value, dim_value, physical_memory


def clustered_embeddings(
    rng: np.random.Generator, n: int, dim: int, centers: NDArray[np.float32]
) -> NDArray[np.float32]:
    """Points scattered around random cluster centres, like real embeddings."""
    labels = rng.integers(0, len(centers), size=n)
    noise = rng.standard_normal((n, dim), dtype=np.float32) * np.float32(0.35)
    return np.ascontiguousarray(centers[labels] + noise, dtype=np.float32)


def exact_top_k(data: NDArray[np.float32], queries: NDArray[np.float32], k: int) -> NDArray[np.int64]:
    """Exact top-k by float32 inner product, in chunks of about 32 MB of scores."""
    out = np.empty((len(queries), k), dtype=np.int64)
    rows = max(1, min(256, (1 << 23) // max(len(data), 1)))
    for start in range(0, len(queries), rows):
        scores = queries[start : start + rows] @ data.T
        top = np.argpartition(-scores, k - 1, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1, kind="stable")
        out[start : start + rows] = np.take_along_axis(top, order, axis=1)
    return out


def recall_at_k(found: NDArray[np.int64], truth: NDArray[np.int64]) -> float:
    hits = sum(len(np.intersect1d(f, t)) for f, t in zip(found, truth))
    return hits / truth.size


def run(n: int, nq: int, dim: int, bits: int, k: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((max(n // 100, 1), dim), dtype=np.float32)
    data = clustered_embeddings(rng, n, dim, centers)
    queries = clustered_embeddings(rng, nq, dim, centers)

    start = time.perf_counter()
    index = SkerryIndex(dim, bits)
    index.add(data)
    index.prepare()
    build_s = time.perf_counter() - start

    start = time.perf_counter()
    _, found = index.search(queries, k)
    search_s = time.perf_counter() - start

    truth = exact_top_k(data, queries, k)
    print(f"varnel demo: {n:,} clustered vectors, dim {dim}, {bits} bits, {index.rotation}")
    print(f"build (add + prepare): {build_s:.3f} s")
    print(f"search: {nq:,} queries, k={k}, {num_threads()} threads: {search_s:.3f} s")
    print(f"recall@{k}: {recall_at_k(found, truth):.4f}")
    print(f"queries per second: {nq / search_s:,.0f}")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--n", type=at_least(1), default=20_000, help="stored vectors (default 20000)")
    parser.add_argument("--queries", type=at_least(1), default=1_000, help="queries (default 1000)")
    parser.add_argument("--dim", type=dim_value, default=128, help="dimension, a multiple of 8 (default 128)")
    parser.add_argument("--bits", type=bits_value, default=4, help="code width: 2, 3 or 4 (default 4)")
    parser.add_argument("--k", type=at_least(1), default=10, help="neighbours per query (default 10)")
    parser.add_argument("--seed", type=at_least(0), default=7, help="NumPy seed of the data (default 7)")


def check_arguments(args: argparse.Namespace) -> str | None:
    """What is wrong with the combination of arguments, if anything."""
    if args.n < args.k:
        return f"need --n >= --k (got --n {args.n} and --k {args.k})"
    needed = (args.n + args.queries) * args.dim * 4 * 2
    if needed > physical_memory() // 2:
        return f"--n {args.n} and --queries {args.queries} at --dim {args.dim} need more memory than this machine has"
    return None


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(
        prog="python -m varnel demo",
        description="Index synthetic clustered embeddings and report recall against exact search.",
    )
    add_arguments(parser)
    args = parser.parse_args(argv)
    problem = check_arguments(args)
    if problem:
        parser.error(problem)
    run(args.n, args.queries, args.dim, args.bits, args.k, args.seed)
