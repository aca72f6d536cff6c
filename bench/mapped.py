"""Mapped index files against loaded ones: open time, shared memory of forked
workers, search speed from a warm mapping, and the first query after open.

    python bench/mapped.py [--n 1000000] [--dim 768] [--bits 4] [--workers 4]
                           [--queries 64] [--reps 5] [--dir build/mapped-bench] [--keep]

Builds one SkerryIndex of --n Gaussian vectors (kept in --dir with --keep, so
a second run skips the build), writes it in the row layout and the mapped
layout, then measures:
- open (mapped, with and without verify) against load, median of --reps; and
  the open of an IdMapIndex of the same vectors with shuffled ids (open reads
  its norms, ids and sorted id table to prove the ids unique: 28 bytes a
  vector, the ids in table order);
- --workers processes forked after open (or after nothing, each calling load
  itself), each searching the same queries, their summed proportional set size
  (Pss in /proc/PID/smaps_rollup) against one index's codes + norms, next to the
  Pss of as many idle forked processes (the interpreter and libraries);
- queries per second of the warm mapped index against the loaded one (same
  queries, best of 2 * --reps runs, alternating between the two);
- the first search after open: with the file in the page cache, and after
  evicting it with posix_fadvise(DONTNEED) (read from the disk).
Prints the CPU model, the SIMD path and the load average: figures taken while
other work runs on the machine vary with it. A figure, not a test.
"""
from __future__ import annotations

import argparse
import os
import statistics
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import varnel


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def build(path_rows: str, path_mapped: str, n: int, dim: int, bits: int) -> None:
    index = varnel.SkerryIndex(dim, bits)
    rng = np.random.default_rng(7)
    step = 50_000
    for first in range(0, n, step):
        index.add(rng.standard_normal((min(step, n - first), dim), dtype=np.float32))
    index.write(path_rows)
    index.write(path_mapped, layout="mapped")


def build_id_map(path_mapped: str, n: int, dim: int, bits: int) -> None:
    """The vectors of build() with shuffled ids, in the mapped layout."""
    index = varnel.IdMapIndex(dim, bits)
    rng = np.random.default_rng(7)
    ids = np.random.default_rng(8).permutation(n).astype(np.uint64) * 7 + 1
    step = 50_000
    for first in range(0, n, step):
        count = min(step, n - first)
        index.add_with_ids(rng.standard_normal((count, dim), dtype=np.float32), ids[first:first + count])
    index.write(path_mapped, layout="mapped")


def median_ms(action: Callable[[], Any], reps: int) -> float:
    times = []
    for _ in range(reps):
        started = time.perf_counter()
        action()
        times.append((time.perf_counter() - started) * 1e3)
    return statistics.median(times)


def pss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    raise RuntimeError("no Pss line in smaps_rollup")


def forked_workers(count: int, work: Callable[[], None]) -> int:
    """Forks `count` children that run `work` and wait; returns their summed Pss in KiB."""
    children = []
    for _ in range(count):
        ready_read, ready_write = os.pipe()
        hold_read, hold_write = os.pipe()
        pid = os.fork()
        if pid == 0:  # the worker
            os.close(ready_read)
            os.close(hold_write)
            try:
                work()
                os.write(ready_write, b"1")
                os.read(hold_read, 1)  # stay alive (and mapped) until measured
            finally:
                os._exit(0)
        os.close(ready_write)
        os.close(hold_read)
        children.append((pid, ready_read, hold_write))
    for _, ready_read, _ in children:
        assert os.read(ready_read, 1) == b"1", "a worker failed"
    total = sum(pss_kib(pid) for pid, _, _ in children)
    for pid, ready_read, hold_write in children:
        os.write(hold_write, b"1")
        os.waitpid(pid, 0)
        os.close(ready_read)
        os.close(hold_write)
    return total


def interleaved_qps(indexes: list[Any], queries: np.ndarray, k: int, reps: int) -> list[float]:
    """Best queries per second of each index; the runs alternate between them, so
    that a change in the machine's load during the run hits both alike."""
    for index in indexes:
        index.search(queries, k)  # warm: tables built, pages mapped
    best = [float("inf")] * len(indexes)
    for _ in range(reps):
        for i, index in enumerate(indexes):
            best[i] = min(best[i], median_ms(lambda: index.search(queries, k), 1))
    return [len(queries) / (ms / 1e3) for ms in best]


def evict(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--bits", type=int, default=4)
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--queries", type=int, default=64)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--dir", default="build/mapped-bench")
    parser.add_argument("--keep", action="store_true", help="reuse the index files of an earlier run")
    args = parser.parse_args()

    print(f"cpu: {cpu_model()}, simd path: {varnel.simd_path()}, threads: {varnel.num_threads()}, "
          f"load average: {os.getloadavg()[0]:.1f}")
    os.makedirs(args.dir, exist_ok=True)
    stem = os.path.join(args.dir, f"n{args.n}-d{args.dim}-b{args.bits}")
    rows, mapped_path, id_map_path = stem + ".vnix", stem + ".mapped.vnix", stem + ".mapped.vnim"
    if not (args.keep and all(os.path.exists(path) for path in (rows, mapped_path, id_map_path))):
        started = time.perf_counter()
        build(rows, mapped_path, args.n, args.dim, args.bits)
        build_id_map(id_map_path, args.n, args.dim, args.bits)
        print(f"built {args.n:,} x {args.dim}, {args.bits} bits in {time.perf_counter() - started:.1f} s")
    codes_norms = args.n * (args.dim // 8 * args.bits + 4)
    print(f"codes + norms: {codes_norms / 2**20:.1f} MiB; files: rows {os.path.getsize(rows) / 2**20:.1f} MiB, "
          f"mapped {os.path.getsize(mapped_path) / 2**20:.1f} MiB")

    # Open and load, the page cache warm (each was just written or read).
    varnel.SkerryIndex.load(rows)
    load_ms = median_ms(lambda: varnel.SkerryIndex.load(rows), args.reps)
    open_ms = median_ms(lambda: varnel.SkerryIndex.open(mapped_path), max(args.reps, 20))
    verify_ms = median_ms(lambda: varnel.SkerryIndex.open(mapped_path, verify=True), args.reps)
    print(f"load {load_ms:.1f} ms | open {open_ms:.3f} ms | open(verify=True) {verify_ms:.1f} ms  (median)")
    varnel.IdMapIndex.open(id_map_path)
    id_open_ms = median_ms(lambda: varnel.IdMapIndex.open(id_map_path), max(args.reps, 20))
    print(f"IdMapIndex open {id_open_ms:.3f} ms (median; shuffled ids checked against the id table)")

    queries = np.random.default_rng(11).standard_normal((args.queries, args.dim), dtype=np.float32)
    # The first search after open: tables are built once per process and shape,
    # so build them first and time the pages alone.
    varnel.SkerryIndex.open(mapped_path).prepare()
    fresh = varnel.SkerryIndex.open(mapped_path)
    fresh.prepare()
    first_cached = median_ms(lambda: fresh.search(queries[:1], args.k), 1)
    second = median_ms(lambda: fresh.search(queries[:1], args.k), 1)
    del fresh
    evict(mapped_path)
    cold = varnel.SkerryIndex.open(mapped_path)
    cold.prepare()
    first_cold = median_ms(lambda: cold.search(queries[:1], args.k), 1)
    del cold
    print(f"first 1-query search after open: {first_cached:.1f} ms (file in page cache), "
          f"{first_cold:.1f} ms (evicted, read from disk); the next one {second:.1f} ms")

    loaded = varnel.SkerryIndex.load(rows)
    opened = varnel.SkerryIndex.open(mapped_path)
    memory_qps, mapped_qps = interleaved_qps([loaded, opened], queries, args.k, 2 * args.reps)
    np.testing.assert_array_equal(loaded.search(queries, args.k)[1], opened.search(queries, args.k)[1])
    print(f"QPS ({args.queries} queries, k={args.k}): in memory {memory_qps:,.0f}, warm mapping {mapped_qps:,.0f} "
          f"({mapped_qps / memory_qps:.3f}x)")
    del loaded, opened

    # Shared memory of forked workers. Each searches with one thread, as a
    # worker process of a server would.
    few = queries[:8]
    varnel.set_num_threads(1)
    idle = forked_workers(args.workers, lambda: None)
    shared = varnel.SkerryIndex.open(mapped_path)
    mapped_pss = forked_workers(args.workers, lambda: shared.search(few, args.k))
    del shared
    kept = []  # a worker's loaded index stays alive until it is measured

    def load_and_search() -> None:
        kept.append(varnel.SkerryIndex.load(rows))
        kept[-1].search(few, args.k)

    loaded_pss = forked_workers(args.workers, load_and_search)
    varnel.set_num_threads(0)
    unit = codes_norms / 1024
    print(f"Pss of {args.workers} forked workers: idle {idle / 1024:.0f} MiB; "
          f"mapped (open before fork) {mapped_pss / 1024:.0f} MiB = {mapped_pss / unit:.2f}x codes+norms "
          f"({(mapped_pss - idle) / unit:.2f}x above idle); "
          f"load in each {loaded_pss / 1024:.0f} MiB = {loaded_pss / unit:.2f}x ({(loaded_pss - idle) / unit:.2f}x above idle)")


if __name__ == "__main__":
    main()
