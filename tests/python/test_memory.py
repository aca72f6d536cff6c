import os

import numpy as np
import pytest
from conftest import vectors

from varnel import IdMapIndex, PanicException, SkerryIndex


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_no_growth_over_many_cycles(tmp_path):
    data = vectors(256, 64)
    batch = vectors(8, 64, seed=2)
    queries = vectors(64, 64, seed=1)
    skerry = SkerryIndex(64, 4)
    skerry.add(data)
    idmap = IdMapIndex(64, 3, "walsh")
    idmap.add_with_ids(data, np.arange(256, dtype=np.uint64))
    batch_ids = np.arange(1000, 1008, dtype=np.uint64)
    skerry_path, idmap_path = str(tmp_path / "s"), str(tmp_path / "m")

    def cycle():
        skerry.add(batch)
        skerry.search(queries, 50)
        for _ in range(len(batch)):
            skerry.swap_remove(len(skerry) - 1)
        idmap.add_with_ids(batch, batch_ids)
        idmap.search(queries, 50)
        for i in batch_ids:
            idmap.remove(i)
        skerry.write(skerry_path)
        idmap.write(idmap_path)
        assert len(SkerryIndex.load(skerry_path)) == len(IdMapIndex.load(idmap_path)) == 256
        # Failure paths must release what they allocated too.
        for call in (lambda: skerry.swap_remove(999), lambda: idmap.add_with_ids(batch, batch_ids[:4]),
                     lambda: skerry.search(queries.T, 3), lambda: IdMapIndex.load(skerry_path)):
            try:
                call()
            except (PanicException, ValueError, OSError):
                pass

    for _ in range(200):  # allocator warm-up
        cycle()
    before = resident_bytes()
    for _ in range(2000):
        cycle()
    growth = resident_bytes() - before
    # A leaked result buffer alone would be 2 * 64 * 50 * 12 bytes a cycle (150 MB in all).
    assert growth < 16 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"
