"""Time of to_bytes / from_bytes against write / load of the same index.

    python bench/persist_time.py [--n 1000000] [--dim 128] [--bits 4] [--reps 5] [--dir build]

Builds one SkerryIndex of --n Gaussian vectors and prints, for each way of
saving and restoring it, the best and median of --reps runs in milliseconds
and the throughput in MB/s of the serialised size. Files go to a temporary
folder under --dir (the disk, not a tmpfs; the page cache is warm after the
first run, so load measures the reader, not the disk). A figure, not a test.
"""
from __future__ import annotations

import argparse
import os
import pickle
import statistics
import tempfile
import time

import numpy as np

import varnel


def cpu() -> tuple[str, bool]:
    model, crc_instruction = "unknown", False
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name") and model == "unknown":
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    crc_instruction = "sse4_2" in line.split()
    except OSError:
        pass
    return model, crc_instruction


def timed(call, reps: int) -> list[float]:
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--bits", type=int, default=4)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--dir", default="build")
    args = ap.parse_args()
    model, crc_instruction = cpu()
    print(f"varnel {varnel.__version__}, CPU {model}, checksum: "
          f"{'CRC-32C by the SSE4.2 crc32 instruction' if crc_instruction else 'CRC-32C, portable tables'}")

    index = varnel.SkerryIndex(args.dim, args.bits)
    rng = np.random.default_rng(0)
    for start in range(0, args.n, 100_000):
        index.add(rng.standard_normal((min(100_000, args.n - start), args.dim), dtype=np.float32))
    raw = index.to_bytes()
    size_mb = len(raw) / 1e6
    print(f"{args.n:,} x {args.dim}, {args.bits} bits: {size_mb:.1f} MB; ms (best, median) and MB/s of the best")
    os.makedirs(args.dir, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        path = os.path.join(folder, "index.vnix")
        index.write(path)
        pickled = pickle.dumps(index, protocol=5)
        runs = {
            "to_bytes": lambda: index.to_bytes(),
            "from_bytes": lambda: varnel.SkerryIndex.from_bytes(raw),
            "write": lambda: index.write(path),
            "load": lambda: varnel.SkerryIndex.load(path),
            "pickle.dumps": lambda: pickle.dumps(index, protocol=5),
            "pickle.loads": lambda: pickle.loads(pickled),
        }
        print("| operation | best ms | median ms | MB/s |")
        print("|---|---|---|---|")
        for name, call in runs.items():
            times = timed(call, args.reps)
            best = min(times)
            print(f"| {name} | {1e3 * best:.1f} | {1e3 * statistics.median(times):.1f} | {size_mb / best:,.0f} |")


if __name__ == "__main__":
    main()
