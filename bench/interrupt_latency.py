"""How soon Ctrl-C stops a long call: SIGINT from another process while a
search, an add or a prepare of several seconds runs; prints the time from the
signal to the KeyboardInterrupt and checks that the index is as before.

    python bench/interrupt_latency.py [--n 400000] [--dim 256]
"""

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import varnel

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare import cpu_info  # noqa: E402


def interrupt_after(seconds: float, call) -> tuple[float, bool]:
    """Runs `call`, sends SIGINT after `seconds`; returns the latency."""
    subprocess.Popen(["sh", "-c", f"sleep {seconds}; kill -INT {os.getpid()}"])
    start = time.perf_counter()
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - start - seconds, True
    return time.perf_counter() - start, False


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=400_000)
    parser.add_argument("--dim", type=int, default=256)
    args = parser.parse_args()
    print(f"CPU: {cpu_info()['model']}; threads: {varnel.num_threads()}; varnel {varnel.__version__}")
    rng = np.random.default_rng(0)
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    more = rng.standard_normal((4 * args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((20_000, args.dim), dtype=np.float32)
    for bits in (2, 4):
        index = varnel.SkerryIndex(args.dim, bits)
        index.add(data)
        probe = index.search(queries[:3], 10)
        for name, call in (("search", lambda: index.search(queries, 10)), ("add", lambda: index.add(more))):
            latency, stopped = interrupt_after(0.3, call)
            same = len(index) == args.n and all(
                np.array_equal(a, b) for a, b in zip(probe, index.search(queries[:3], 10))
            )
            what = f"stopped {latency * 1000:.1f} ms after SIGINT" if stopped else f"ended first ({latency:.2f} s)"
            print(f"{bits}-bit {name:6}: {what}; index unchanged: {same}")


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)
    main()
