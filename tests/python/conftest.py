import numpy as np
import pytest

from varnel import IdMapIndex, SkerryIndex

EMPTY_ID = 2**64 - 1


def vectors(n: int, dim: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, dim), dtype=np.float32)


def fill(index, data: np.ndarray, first_id: int = 100):
    """Adds `data` to either class; ids of an IdMapIndex start at `first_id`."""
    if isinstance(index, IdMapIndex):
        index.add_with_ids(data, np.arange(first_id, first_id + len(data), dtype=np.uint64))
    else:
        index.add(data)
    return index


class Reenter:
    """An integer argument whose conversion calls back into an index."""

    def __init__(self, action, value: int = 0):
        self.action = action
        self.value = value

    def __index__(self) -> int:
        self.action()
        return self.value


@pytest.fixture(params=[SkerryIndex, IdMapIndex], ids=["skerry", "idmap"])
def cls(request):
    return request.param


@pytest.fixture(params=[2, 3, 4], ids=["bits2", "bits3", "bits4"])
def bits(request):
    return request.param
