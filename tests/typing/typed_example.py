"""Type-checked in CI (pyright, mypy) against the shipped stubs: the calls a user writes."""

from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import varnel


def build(path: Path) -> tuple[NDArray[np.float32], NDArray[np.uint64]]:
    vectors = np.zeros((64, 16), dtype=np.float32)
    index = varnel.SkerryIndex(16, 4)
    index.add(vectors)
    index.write(path)
    again: varnel.SkerryIndex = varnel.SkerryIndex.load(path)
    copy = varnel.SkerryIndex.from_bytes(again.to_bytes())
    positions_scores, positions = copy.query(vectors[:2], 5, metric="cosine", allowed=[1, 2, 3])
    assert positions.dtype == np.int64 and positions_scores.shape[0] == 2

    ids = varnel.IdMapIndex(16, 4, "rotor3")
    ids.add_with_ids(vectors, np.arange(64, dtype=np.uint64))
    ids.write(str(path) + ".vnim")
    loaded: varnel.IdMapIndex = varnel.IdMapIndex.load(str(path) + ".vnim")
    loaded.remove_many([1, 2])
    present: bool = 3 in loaded and loaded.contains(4) and loaded.remove(5)
    assert present
    tenant = varnel.IdFilter(range(0, 64, 2))
    admitted: NDArray[np.uint64] = tenant.ids
    assert len(tenant) == len(admitted) and 2 in tenant
    loaded.query(vectors[:1], 3, allowed=tenant)
    threads: int = varnel.num_threads()
    varnel.set_num_threads(threads)
    return loaded.query(vectors, 10, refine=vectors, refine_factor=2)
