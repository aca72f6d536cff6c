"""Time and peak resident memory of `varnel build` on a large .npy file.

    python bench/cli_build.py [--n 1000000] [--dim 128] [--bits 4] [--reps 3] [--dir /tmp]

Writes n x dim Gaussian float32 vectors to a temporary .npy file (deleted at
the end), runs `python -m varnel build` on it --reps times, each as a child
process, and prints each run's wall time and the child's peak resident memory
next to the sizes of the input and of the codes. The input is memory-mapped
and added in batches whose pages are handed back, so the peak should stay near
the codes plus the interpreter, not the input. A figure, not a test.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare import cpu_info, simd_path


# Runs in a child: a child's peak resident memory starts from its parent's at the
# fork, so this process keeps no large array of its own.
WRITE_VECTORS = """
import sys
import numpy as np
from numpy.lib.format import open_memmap
path, n, dim = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
vectors = open_memmap(path, mode="w+", dtype=np.float32, shape=(n, dim))
rng = np.random.default_rng(0)
for first in range(0, n, 65536):
    vectors[first : first + 65536] = rng.standard_normal((min(65536, n - first), dim), dtype=np.float32)
vectors.flush()
"""


def run_child(command: list[str]) -> tuple[float, int]:
    """Wall seconds and peak resident bytes of one child process."""
    started = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status):
        raise SystemExit(f"{' '.join(command)} failed")
    return seconds, usage.ru_maxrss * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--bits", type=int, default=4)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the temporary files go")
    args = parser.parse_args()
    info = cpu_info()
    print(f"CPU: {info['model']}, {info['logical_cpus']} logical CPUs; scan path {simd_path(info['simd'])}")
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        vectors, output = Path(folder) / "vectors.npy", Path(folder) / "index.vnix"
        subprocess.run([sys.executable, "-c", WRITE_VECTORS, str(vectors), str(args.n), str(args.dim)], check=True)
        codes = args.n * (args.dim * args.bits // 8 + 4)
        print(
            f"varnel build: {args.n:,} x {args.dim} float32 ({vectors.stat().st_size / 1e6:,.0f} MB input), "
            f"{args.bits} bits: codes and norms {codes / 1e6:,.0f} MB"
        )
        print("| run | wall s | peak RSS MB |")
        print("|---|---|---|")
        build = [sys.executable, "-m", "varnel", "build", str(vectors), "-o", str(output)]
        for run in range(1, args.reps + 1):
            seconds, peak = run_child([*build, "--bits", str(args.bits), "--force", "-q"])
            print(f"| {run} | {seconds:.2f} | {peak / 1e6:,.0f} |")
    _, baseline = run_child([sys.executable, "-m", "varnel", "--version"])
    print(f"the same interpreter with numpy and varnel loaded, doing nothing: {baseline / 1e6:,.0f} MB")


if __name__ == "__main__":
    main()
