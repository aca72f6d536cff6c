"""PartitionedIndex.rebalance: lists split and merged as the data drifts, deterministically."""

import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import varnel
from varnel import PartitionedIndex

DIM, LISTS = 16, 24


def drifted():
    """Trained on one region, then given as much from another, a third of the first removed."""
    rng = np.random.default_rng(7)
    old = rng.standard_normal((12, DIM)).astype(np.float32) * 2
    new = rng.standard_normal((12, DIM)).astype(np.float32) * 2 + 3
    first = (old[rng.integers(0, 12, 2000)] + 0.4 * rng.standard_normal((2000, DIM))).astype(np.float32)
    later = (new[rng.integers(0, 12, 2000)] + 0.4 * rng.standard_normal((2000, DIM))).astype(np.float32)
    index = PartitionedIndex(DIM, 4, LISTS)
    index.train(first)
    index.add_with_ids(first, np.arange(2000))
    index.add_with_ids(later, np.arange(2000, 4000))
    index.remove_many(np.arange(0, 2000, 3))
    vectors = np.concatenate([first, later])
    kept = np.setdiff1d(np.arange(4000), np.arange(0, 2000, 3))
    return index, vectors, kept


@pytest.fixture(scope="module")
def drift():
    return drifted()


def recall(index, vectors, kept, probes):
    queries = vectors[kept[::40]]
    truth = kept[np.argsort(-(queries @ vectors[kept].T), axis=1)[:, :10]]
    found = index.search(queries, 10, probes=probes)[1]
    return np.mean([len(set(f) & set(t)) / 10 for f, t in zip(found, truth)])


@pytest.mark.parametrize("exact", [False, True], ids=["from-codes", "exact"])
def test_rebalance_bounds_the_lists_and_keeps_every_vector(drift, exact):
    drifted_index, vectors, kept = drift
    index = pickle.loads(pickle.dumps(drifted_index))
    before = index.balance()
    assert before["largest"] > 4 * before["mean"] and before["imbalance"] > 2
    report = index.rebalance(vectors=vectors if exact else None)
    after = index.balance()
    assert report["balanced"] and report["splits"] > 0 and report["merges"] > 0
    assert after["lists"] == LISTS == index.lists and after["vectors"] == len(kept) == len(index)
    assert after["largest"] <= 2 * after["mean"] and after["smallest"] >= 0.25 * after["mean"]
    assert after["imbalance"] < 1.5
    assert all(int(i) in index for i in kept) and 0 not in index
    _, every = index.search(vectors[:1], len(kept), probes=LISTS)
    assert sorted(every[0].tolist()) == kept.tolist()
    if exact:
        # As good as an index trained on the final data (on average over probes: small data is noisy).
        fresh = PartitionedIndex(DIM, 4, LISTS)
        fresh.train(vectors[kept])
        fresh.add_with_ids(vectors[kept], kept)
        probes = (1, 2, 4, 8)
        ours = np.mean([recall(index, vectors, kept, p) for p in probes])
        assert ours >= np.mean([recall(fresh, vectors, kept, p) for p in probes]) - 0.02


def test_rebalance_is_the_same_on_every_thread_count_path_and_budget(drift, tmp_path):
    drifted_index, vectors, _ = drift
    whole = pickle.loads(pickle.dumps(drifted_index))
    whole.rebalance(lists=LISTS)
    stepwise = pickle.loads(pickle.dumps(drifted_index))
    while not stepwise.rebalance(lists=LISTS, max_steps=3)["balanced"]:
        pass
    assert stepwise.to_bytes() == whole.to_bytes()
    varnel.set_num_threads(1)
    try:
        single = pickle.loads(pickle.dumps(drifted_index))
        single.rebalance()
    finally:
        varnel.set_num_threads(0)
    assert single.to_bytes() == whole.to_bytes()
    drifted_index.write(tmp_path / "drift.vnip")
    script = textwrap.dedent(f"""
        import varnel
        index = varnel.PartitionedIndex.load({str(tmp_path / "drift.vnip")!r})
        index.rebalance()
        index.write({str(tmp_path / "portable.vnip")!r})
    """)
    env = dict(os.environ, VARNEL_SCAN_PATH="portable")
    subprocess.run([sys.executable, "-c", script], check=True, env=env)
    assert (tmp_path / "portable.vnip").read_bytes() == whole.to_bytes()
    whole.write(tmp_path / "mapped.vnip", layout="mapped")
    mapped = PartitionedIndex.open(tmp_path / "mapped.vnip")
    np.testing.assert_array_equal(mapped.search(vectors[:5], 5)[1], whole.search(vectors[:5], 5)[1])
    with pytest.raises(ValueError, match="read-only"):
        mapped.rebalance()


@pytest.mark.parametrize("kwargs, match", [
    (dict(split_above=1.0), "split_above"),
    (dict(merge_below=1.0), "merge_below"),
    (dict(vectors=np.zeros((10, DIM + 1), np.float32)), "columns"),
    (dict(vectors=np.zeros((10, DIM), np.float32)), "rows are indexed by id"),
    (dict(vectors=np.zeros((3, DIM), np.float32), vector_ids=[1, 2]), "vector_ids has 2 ids"),
    (dict(vectors=np.zeros((4000, DIM), np.float32), vector_ids=np.arange(4000) + 5), "not in vector_ids"),
    (dict(vector_ids=[1]), "vector_ids needs vectors"),
])
def test_bad_rebalance_arguments_change_nothing(drift, kwargs, match):
    index = pickle.loads(pickle.dumps(drift[0]))
    before = index.to_bytes()
    with pytest.raises(ValueError, match=match):
        index.rebalance(**kwargs)
    assert index.to_bytes() == before


def test_reconstruct_is_close_and_a_balanced_index_is_left_alone():
    rng = np.random.default_rng(1)
    data = rng.standard_normal((2000, 20)).astype(np.float32)
    index = PartitionedIndex(20, 4, 8)
    index.train(data)
    index.add_with_ids(data, np.arange(2000))
    decoded = index.reconstruct(np.arange(0, 2000, 7))
    error = np.linalg.norm(decoded - data[::7], axis=1) / np.linalg.norm(data[::7], axis=1)
    assert decoded.shape == (286, 20) and np.median(error) < 0.15
    with pytest.raises(ValueError, match="not in the index"):
        index.reconstruct([5000])
    before = index.to_bytes()
    assert index.rebalance(split_above=4.0, merge_below=0.1) == {"splits": 0, "merges": 0, "recoded": 0,
                                                                  "balanced": True}
    assert index.to_bytes() == before


def test_compact_frees_the_room_removals_leave_and_changes_no_result(drift):
    index = pickle.loads(pickle.dumps(drift[0]))
    vectors = drift[1]
    index.remove_many(np.arange(2000, 3500))
    before = index.to_bytes(), index.search(vectors[:5], 10, probes=LISTS)
    freed = index.compact()
    assert freed >= 1500 * (DIM // 8 * 4 + 20)
    assert index.to_bytes() == before[0]
    np.testing.assert_array_equal(index.search(vectors[:5], 10, probes=LISTS)[1], before[1][1])
    assert index.compact() == 0
    index.add_with_ids(vectors[2000:2100], np.arange(2000, 2100))
    assert len(index) == len(drift[0]) - 1400
