"""Prints the instruction-set paths this varnel build sees and a digest of
search and query results on each: two builds (a source build and a wheel)
must print the same lines on the same machine.

    python tools/simd_fingerprint.py            # every path, one line each
    python tools/simd_fingerprint.py --path avx2  # results on one path only
"""

from __future__ import annotations

import argparse
import hashlib
import os
import subprocess
import sys

import numpy as np


def result_digest() -> str:
    import varnel

    rng = np.random.default_rng(7)
    digest = hashlib.sha256()
    for bits in (2, 3, 4):
        vectors = rng.standard_normal((3000, 64), dtype=np.float32)
        queries = rng.standard_normal((40, 64), dtype=np.float32)
        index = varnel.SkerryIndex(64, bits)
        index.add(vectors)
        for result in (index.search(queries, 10),
                       index.query(queries, 10, metric="cosine", allowed=np.arange(0, 3000, 3)),
                       index.query(queries, 10, metric="l2")):
            for array in result:
                digest.update(np.ascontiguousarray(array).tobytes())
        digest.update(index.to_bytes())
    return digest.hexdigest()[:16]


def on_path(path: str) -> str:
    env = {**os.environ, "VARNEL_SCAN_PATH": path}
    out = subprocess.run([sys.executable, __file__, "--path", path], env=env,
                         capture_output=True, text=True, check=True)
    return out.stdout.strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="report results on this path only (set VARNEL_SCAN_PATH too)")
    args = parser.parse_args()
    import varnel

    if args.path:
        print(f"{varnel.simd_path()} {result_digest()}")
        return
    # The default is timed among the SIMD paths on first use, so which of
    # them wins may differ from run to run; that it is a SIMD one may not.
    default = varnel.simd_path()
    print(f"default path: {default}", file=sys.stderr)
    print(f"default path is the portable code: {default == 'portable'}")
    print(f"supported paths: {' '.join(varnel._varnel._supported_simd_paths())}")
    for path in varnel._varnel._supported_simd_paths():
        print(f"{path}: {on_path(path)}")


if __name__ == "__main__":
    main()
