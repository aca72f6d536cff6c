"""How many single-bit flips of a valid index file still load.

    python bench/bitflips.py [--flips 3000] [--n 200] [--dim 64] [--bits 4]

Writes one SkerryIndex and one IdMapIndex, flips one random bit at a time
(seeded, so every run flips the same bits), loads each damaged file and counts
the loads that raise no error, and among those the ones whose search results
differ from the original. Then flips the lowest bit of the stored seed and
reports self-recall@1 of whatever loads. Runs on any version that has write
and load, so the same command measures before and after a change.
"""

import argparse
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

import varnel

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare import cpu_info  # noqa: E402


def build(cls, data):
    index = cls(data.shape[1], BITS)
    if cls is varnel.IdMapIndex:
        index.add_with_ids(data, np.arange(len(data), dtype=np.uint64))
    else:
        index.add(data)
    return index


def results(index, queries):
    scores, found = index.search(queries, 5)
    return scores.tobytes() + found.tobytes()


def flips(cls, data, queries, count, folder):
    path = os.path.join(folder, "index")
    build(cls, data).write(path)
    valid = open(path, "rb").read()
    expected = results(cls.load(path), queries)
    rng = np.random.default_rng(1234)
    loaded = differ = 0
    for bit in rng.integers(0, len(valid) * 8, size=count):
        damaged = bytearray(valid)
        damaged[bit // 8] ^= 1 << (bit % 8)
        with open(path, "wb") as out:
            out.write(damaged)
        try:
            index = cls.load(path)
        except OSError:
            continue
        loaded += 1
        try:
            differ += results(index, queries) != expected
        except BaseException:  # a loaded index that fails to search also counts
            differ += 1
    return len(valid), loaded, differ


def seed_flip(data, folder):
    path = os.path.join(folder, "index")
    index = build(varnel.SkerryIndex, data)
    index.write(path)
    raw = bytearray(open(path, "rb").read())
    seed_offset = 15 + len(data) * (data.shape[1] * BITS // 8 + 4)
    raw[seed_offset] ^= 1
    with open(path, "wb") as out:
        out.write(raw)
    try:
        damaged = varnel.SkerryIndex.load(path)
    except OSError as error:
        return f"refused: {error}"
    recall = float(np.mean(damaged.search(data, 1)[1][:, 0] == np.arange(len(data))))
    before = float(np.mean(index.search(data, 1)[1][:, 0] == np.arange(len(data))))
    return f"loaded silently, self-recall@1 {before:.3f} -> {recall:.3f}"


def main():
    global BITS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--flips", type=int, default=3000)
    parser.add_argument("--n", type=int, default=200)
    parser.add_argument("--dim", type=int, default=64)
    parser.add_argument("--bits", type=int, default=4)
    args = parser.parse_args()
    BITS = args.bits
    print(f"varnel {varnel.__version__}, CPU {cpu_info()['model']}")
    data = np.random.default_rng(0).standard_normal((args.n, args.dim), dtype=np.float32)
    queries = np.random.default_rng(1).standard_normal((20, args.dim), dtype=np.float32)
    with tempfile.TemporaryDirectory() as folder:
        for cls in (varnel.SkerryIndex, varnel.IdMapIndex):
            size, loaded, differ = flips(cls, data, queries, args.flips, folder)
            print(
                f"{cls.__name__}: file of {size} bytes, {args.flips} single-bit flips: "
                f"{loaded} loaded without error ({differ} of them search differently)"
            )
        print(f"seed bit flipped: {seed_flip(data, folder)}")


BITS = 4
if __name__ == "__main__":
    main()
