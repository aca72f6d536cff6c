"""The demo behind ``python -m varnel demo``: recall and speed on synthetic data."""

from __future__ import annotations

import argparse
import time

import numpy as np
from numpy.typing import NDArray

from varnel import SkerryIndex, num_threads


def clustered_embeddings(
    rng: np.random.Generator, n: int, dim: int, centers: NDArray[np.float32]
) -> NDArray[np.float32]:
    """Points scattered around random cluster centres, like real embeddings."""
    labels = rng.integers(0, len(centers), size=n)
    noise = rng.standard_normal((n, dim), dtype=np.float32) * np.float32(0.35)
    return np.ascontiguousarray(centers[labels] + noise, dtype=np.float32)


def exact_top_k(data: NDArray[np.float32], queries: NDArray[np.float32], k: int) -> NDArray[np.int64]:
    """Exact top-k by float32 inner product, in chunks to bound memory."""
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), 256):
        scores = queries[start : start + 256] @ data.T
        top = np.argpartition(-scores, k - 1, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1, kind="stable")
        out[start : start + 256] = np.take_along_axis(top, order, axis=1)
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


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(
        prog="python -m varnel demo",
        description="Index synthetic clustered embeddings and report recall against exact search.",
    )
    parser.add_argument("--n", type=int, default=20_000, help="stored vectors (default 20000)")
    parser.add_argument("--queries", type=int, default=1_000, help="queries (default 1000)")
    parser.add_argument("--dim", type=int, default=128, help="dimension, a multiple of 8 (default 128)")
    parser.add_argument("--bits", type=int, default=4, choices=(2, 3, 4), help="code width (default 4)")
    parser.add_argument("--k", type=int, default=10, help="neighbours per query (default 10)")
    parser.add_argument("--seed", type=int, default=7, help="NumPy seed of the data (default 7)")
    args = parser.parse_args(argv)
    if args.n < args.k or args.queries < 1:
        parser.error("need --n >= --k and at least one query")
    run(args.n, args.queries, args.dim, args.bits, args.k, args.seed)
