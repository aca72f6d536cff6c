"""Random sequences of calls against a plain NumPy model of the same index.

The model keeps the stored vectors (and ids) in position order. A search is
checked against a fresh index built from the model's vectors: encoding is
deterministic per vector, so the two must agree bit for bit. A refused call
must leave both the index and the model unchanged."""

import os
import tempfile

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import settings, strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule  # noqa: E402

from varnel import IdMapIndex, PanicException, SkerryIndex  # noqa: E402

DIM = 16
SETTINGS = settings(max_examples=40, stateful_step_count=25, deadline=None)


def batch(seed: int, count: int, poison: bool) -> np.ndarray:
    rows = np.random.default_rng(seed).standard_normal((count, DIM), dtype=np.float32)
    if poison and count:
        rows[count - 1, seed % DIM] = np.nan
    return rows


def same(a, b) -> bool:
    return all(np.array_equal(x, y) for x, y in zip(a, b))


def reload(index):
    """A round trip through a file, or through bytes where the class has them."""
    if hasattr(index, "to_bytes") and index.__len__() % 2:
        return type(index).from_bytes(index.to_bytes())
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "index")
        index.write(path)
        return type(index).load(path)


class PositionModel(RuleBasedStateMachine):
    @initialize(bits=st.sampled_from([2, 3, 4]), rotation=st.sampled_from(["planar2", "rotor3", "iso4", "walshrotor3"]))
    def start(self, bits, rotation):
        self.index = SkerryIndex(DIM, bits, rotation)
        self.params = (DIM, bits, rotation)
        self.rows = np.empty((0, DIM), np.float32)

    @rule(seed=st.integers(0, 2**32 - 1), count=st.integers(0, 6), poison=st.booleans())
    def add(self, seed, count, poison):
        rows = batch(seed, count, poison)
        if poison and count:
            with pytest.raises(PanicException):
                self.index.add(rows)
        else:
            self.index.add(rows)
            self.rows = np.concatenate([self.rows, rows])

    @rule(position=st.integers(0, 12))
    def swap_remove(self, position):
        n = len(self.rows)
        if position >= n:
            with pytest.raises(PanicException, match=f"index {position} out of bounds"):
                self.index.swap_remove(position)
            return
        assert self.index.swap_remove(position) == n - 1
        self.rows[position] = self.rows[n - 1]
        self.rows = self.rows[: n - 1]

    @rule()
    def round_trip(self):
        self.index = reload(self.index)

    @rule(seed=st.integers(0, 2**32 - 1), nq=st.integers(0, 3), k=st.integers(0, 12))
    def search(self, seed, nq, k):
        queries = batch(seed, nq, False)
        fresh = SkerryIndex(*self.params)
        fresh.add(self.rows)
        assert same(self.index.search(queries, k), fresh.search(queries, k))

    @invariant()
    def length(self):
        assert len(self.index) == len(self.rows)


class IdModel(RuleBasedStateMachine):
    @initialize(bits=st.sampled_from([2, 3, 4]))
    def start(self, bits):
        self.index = IdMapIndex(DIM, bits)
        self.bits = bits
        self.rows = np.empty((0, DIM), np.float32)
        self.ids: list[int] = []

    @rule(seed=st.integers(0, 2**32 - 1), ids=st.lists(st.integers(0, 20), max_size=5), poison=st.booleans())
    def add_with_ids(self, seed, ids, poison):
        rows = batch(seed, len(ids), poison)
        clash = len(set(ids)) < len(ids) or any(i in self.ids for i in ids)
        id_array = np.array(ids, np.uint64)
        if clash or (poison and ids):
            with pytest.raises(PanicException):
                self.index.add_with_ids(rows, id_array)
        else:
            self.index.add_with_ids(rows, id_array)
            self.rows = np.concatenate([self.rows, rows])
            self.ids += ids

    @rule(id=st.integers(0, 20))
    def remove(self, id):
        if id not in self.ids:
            assert self.index.remove(id) is False
            return
        assert self.index.remove(id) is True
        position, last = self.ids.index(id), len(self.ids) - 1
        self.rows[position], self.ids[position] = self.rows[last], self.ids[last]
        self.rows, self.ids = self.rows[:last], self.ids[:last]

    @rule()
    def round_trip(self):
        self.index = reload(self.index)

    @rule(seed=st.integers(0, 2**32 - 1), nq=st.integers(0, 3), k=st.integers(0, 12))
    def search(self, seed, nq, k):
        queries = batch(seed, nq, False)
        fresh = IdMapIndex(DIM, self.bits)
        fresh.add_with_ids(self.rows, np.array(self.ids, np.uint64))
        assert same(self.index.search(queries, k), fresh.search(queries, k))

    @invariant()
    def membership(self):
        assert len(self.index) == len(self.ids)
        assert all(i in self.index for i in self.ids)


TestPositions = PositionModel.TestCase
TestPositions.settings = SETTINGS
TestIds = IdModel.TestCase
TestIds.settings = SETTINGS
