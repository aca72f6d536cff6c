"""query(): filter, metrics, refinement, the interpreter lock; reconstruct, remove_many."""

import _thread
import os
import threading
import time

import numpy as np
import pytest
from conftest import EMPTY_ID, fill, vectors

from varnel import IdMapIndex, SkerryIndex


def sequential_norms(x: np.ndarray) -> np.ndarray:
    """Norms as the index stores them: float32 squares summed in coordinate order."""
    return np.sqrt(np.cumsum(x * x, axis=1, dtype=np.float32)[:, -1])


def exact(metric: str, q: np.ndarray, x: np.ndarray) -> np.float32:
    """Exact score with the summation order refinement promises."""
    if metric == "l2":
        return np.cumsum((q - x) * (q - x), dtype=np.float32)[-1]
    ip = np.cumsum(q * x, dtype=np.float32)[-1]
    if metric == "ip":
        return ip
    den = sequential_norms(q[None])[0] * sequential_norms(x[None])[0]
    return np.float32(ip / den) if den > 0 else np.float32(0)


def best_first(keys: np.ndarray, positions: np.ndarray, k: int):
    """Top k by key, ties to the lower position."""
    order = np.lexsort((positions, -keys.astype(np.float64)))[:k]
    return keys[order], positions[order]


def ids_of(index, positions):
    return positions if isinstance(index, SkerryIndex) else index_ids(index, positions)


def index_ids(index, positions):
    # fill() gives position p the id 100 + p (no removals in these tests)
    return np.where(positions < 0, EMPTY_ID, positions.astype(np.uint64) + 100)


def test_without_options_equals_search(cls, bits):
    index = fill(cls(32, bits), vectors(3000, 32))
    q = vectors(7, 32, seed=1)
    for k in (1, 10, 50):
        got, expected = index.query(q, k), index.search(q, k)
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])


class TestFilter:
    @pytest.mark.parametrize("kind", ["positions", "mask", "list"])
    @pytest.mark.parametrize("allowed", [[3, 40, 41, 299, 150], [7], list(range(0, 300, 4))],
                             ids=["scattered", "fewer-than-k", "dense"])
    def test_equals_search_over_only_the_allowed_vectors(self, bits, kind, allowed):
        data, q = vectors(300, 16), vectors(4, 16, seed=2)
        index = SkerryIndex(16, bits)
        index.add(data)
        subset = np.array(sorted(allowed))
        small = SkerryIndex(16, bits)
        small.add(data[subset])
        scores, positions = small.search(q, 5)
        if kind == "mask":
            mask = np.zeros(300, dtype=bool)
            mask[allowed] = True
            allowed = mask
        elif kind == "positions":
            allowed = np.array(allowed, dtype=np.int32)
        got = index.query(q, 5, allowed=allowed)
        np.testing.assert_array_equal(got[0], scores)
        np.testing.assert_array_equal(got[1], subset[positions])

    def test_idmap_ignores_absent_ids(self, bits):
        data, q = vectors(100, 16), vectors(3, 16, seed=3)
        index = fill(IdMapIndex(16, bits), data)  # ids 100..199
        small = fill(IdMapIndex(16, bits), data[[5, 60]], first_id=0)
        scores, _ = small.search(q, 4)
        got_scores, got_ids = index.query(q, 4, allowed=np.array([105, 160, 7, 2**64 - 1], dtype=np.uint64))
        np.testing.assert_array_equal(got_scores, scores)
        assert set(got_ids.ravel()) == {105, 160}

    def test_nothing_allowed_gives_one_empty_slot(self, cls):
        index = fill(cls(8, 4), vectors(10, 8))
        scores, found = index.query(vectors(2, 8), 3, allowed=[])
        assert scores.shape == (2, 1) and np.all(scores == -np.inf)
        assert np.all(found == (-1 if cls is SkerryIndex else EMPTY_ID))

    @pytest.mark.parametrize("allowed, error, match", [
        ([0, 10], ValueError, "position 10 is out of range"),
        ([-1], ValueError, "-1 is negative"),
        (np.ones(9, dtype=bool), ValueError, "mask has 9 entries"),
        (np.array([0.5]), TypeError, "argument 'allowed'"),
        (np.zeros((2, 2), dtype=np.int64), ValueError, "one-dimensional"),
    ])
    def test_bad_filters(self, allowed, error, match):
        index = fill(SkerryIndex(8, 2), vectors(10, 8))
        with pytest.raises(error, match=match):
            index.query(vectors(1, 8), 3, allowed=allowed)


class TestMetric:
    @pytest.mark.parametrize("metric", ["cosine", "l2"])
    def test_rankings_follow_from_search_scores_and_norms(self, cls, bits, metric):
        data = vectors(200, 16)
        data[13] = 0  # a zero vector: defined score, never NaN
        q = vectors(3, 16, seed=4)
        q[2] = 0      # and a zero query
        index = fill(cls(16, bits), data)
        ip, found = index.search(q, 200)
        positions = found.astype(np.int64) - (0 if cls is SkerryIndex else 100)
        qn, xn = sequential_norms(q)[:, None], sequential_norms(data)[positions]
        if metric == "cosine":
            den = qn * xn
            keys = np.where(den > 0, ip / np.where(den > 0, den, 1), np.float32(0))
        else:
            keys = -((qn * qn + xn * xn) - np.float32(2) * ip)
        got_scores, got_found = index.query(q, 10, metric=metric)
        assert not np.isnan(got_scores).any()
        for row in range(3):
            k_keys, k_pos = best_first(keys[row], positions[row], 10)
            np.testing.assert_array_equal(got_scores[row], -k_keys if metric == "l2" else k_keys)
            np.testing.assert_array_equal(got_found[row], ids_of(index, k_pos))

    def test_unknown_metric(self):
        with pytest.raises(ValueError, match="unknown metric 'dot'"):
            fill(SkerryIndex(8, 2), vectors(4, 8)).query(vectors(1, 8), 1, metric="dot")

    def test_l2_empty_slots_are_infinite(self):
        scores, _ = SkerryIndex(8, 3).query(vectors(1, 8), 2, metric="l2")
        assert scores.tolist() == [[np.inf]]


class TestRefine:
    @pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
    @pytest.mark.parametrize("factor", [1, 3])
    def test_equals_exact_rescoring_of_the_code_top(self, cls, metric, factor):
        data, q, k = vectors(400, 32), vectors(3, 32, seed=5), 5
        index = fill(cls(32, 2), data)
        rows = data if cls is SkerryIndex else np.vstack([np.zeros((100, 32), np.float32), data])
        _, candidates = index.query(q, k * factor, metric=metric)
        got_scores, got_found = index.query(q, k, metric=metric, refine=rows, refine_factor=factor)
        for row in range(3):
            keys = np.array([exact(metric, q[row], rows[c]) for c in candidates[row]], dtype=np.float32)
            keys = -keys if metric == "l2" else keys
            k_keys, k_found = best_first(keys, candidates[row].astype(np.int64), k)
            np.testing.assert_array_equal(got_scores[row], -k_keys if metric == "l2" else k_keys)
            np.testing.assert_array_equal(got_found[row].astype(np.int64), k_found)

    def test_memmap_rows(self, tmp_path):
        data, q = vectors(300, 16), vectors(2, 16, seed=6)
        rows = np.memmap(tmp_path / "rows.f32", dtype=np.float32, mode="w+", shape=data.shape)
        rows[:] = data
        rows.flush()
        index = fill(SkerryIndex(16, 4), data)
        got = index.query(q, 3, refine=np.memmap(tmp_path / "rows.f32", dtype=np.float32, shape=data.shape))
        expected = index.query(q, 3, refine=data)
        np.testing.assert_array_equal(got[1], expected[1])

    @pytest.mark.parametrize("kwargs, match", [
        ({"refine": np.zeros((9, 8), np.float32)}, "refine has 9 rows but position 9 may be returned"),
        ({"refine": np.zeros((10, 16), np.float32)}, "refine has 16 columns but the index has dim 8"),
        ({"refine_factor": 2}, "refine_factor needs refine"),
        ({"refine": np.zeros((10, 8), np.float32), "refine_factor": 0}, "at least 1"),
    ])
    def test_bad_refinement(self, kwargs, match):
        index = fill(SkerryIndex(8, 2), vectors(10, 8))
        with pytest.raises(ValueError, match=match):
            index.query(vectors(1, 8), 3, **kwargs)

    def test_idmap_rows_are_indexed_by_id(self):
        index = fill(IdMapIndex(8, 2), vectors(10, 8))  # ids 100..109
        with pytest.raises(ValueError, match="109 may be returned"):
            index.query(vectors(1, 8), 3, refine=np.zeros((109, 8), np.float32))
        index.query(vectors(1, 8), 3, refine=np.zeros((200, 8), np.float32), allowed=np.array([100], np.uint64))


def test_queries_must_have_dim_columns(cls):
    index = fill(cls(16, 2), vectors(10, 16))
    with pytest.raises(ValueError, match="queries have 8 columns but the index has dim 16"):
        index.query(vectors(4, 8), 3)


# ---- The interpreter lock and Ctrl-C -------------------------------------

@pytest.fixture(scope="module")
def slow_index():
    """A 2-bit index and a batch of queries that takes many seconds to answer."""
    index = SkerryIndex(128, 2)
    index.add(vectors(100_000, 128))
    index.prepare()
    return index, vectors(50_000, 128, seed=7)


def test_ctrl_c_stops_a_long_query(slow_index):
    index, q = slow_index
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        index.query(q, 10)
    elapsed = time.monotonic() - start
    timer.join()
    # Uninterrupted the batch takes far longer; the bound only catches a
    # query that ignores the interrupt.
    assert elapsed < 5.0
    np.testing.assert_array_equal(index.query(q[:3], 4)[1], index.search(q[:3], 4)[1])


def test_other_threads_run_and_writers_are_refused(slow_index):
    index, q = slow_index
    before = len(index)
    ticks, errors, searched, stop = [0], [], [], threading.Event()

    def writer():
        while not stop.is_set():
            ticks[0] += 1
            if ticks[0] == 20:
                try:
                    index.add(vectors(1, 128))
                except RuntimeError as e:
                    errors.append(str(e))
                # The query has shown what it must: stop it, however fast
                # the machine (it would otherwise take seconds).
                _thread.interrupt_main()
                # Readers wait for the worker pool without holding the
                # interpreter lock, which the query needs back to check for
                # Ctrl-C: no deadlock.
                searched.append(index.search(q[:1], 3)[1])
            time.sleep(0.001)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            index.query(q, 10)
    finally:
        stop.set()
        thread.join()
    assert ticks[0] >= 20  # the 20th tick searches, which waits for the query
    assert errors == ["Already borrowed"]
    np.testing.assert_array_equal(searched[0], index.search(q[:1], 3)[1])
    assert len(index) == before


# ---- reconstruct, remove_many ----------------------------------------------

def test_reconstruct_is_close_to_the_input(cls):
    data = vectors(200, 64)
    index = fill(cls(64, 4), data)
    which = [199, 0, 42] if cls is SkerryIndex else np.array([299, 100, 142], dtype=np.uint64)
    decoded = index.reconstruct(which)
    assert decoded.dtype == np.float32 and decoded.shape == (3, 64)
    original = data[[199, 0, 42]]
    error = np.sum((decoded - original) ** 2, axis=1) / np.sum(original**2, axis=1)
    assert np.all(error < 0.1)
    with pytest.raises(ValueError):
        index.reconstruct([1000])


class TestRemoveMany:
    def test_removes_all(self):
        index = fill(IdMapIndex(8, 2), vectors(5, 8))  # ids 100..104
        assert index.remove_many(np.array([104, 100], dtype=np.uint64)) is None
        assert len(index) == 3 and 100 not in index and 104 not in index and 101 in index

    @pytest.mark.parametrize("ids, match", [([101, 7], "id 7 is not in the index"),
                                            ([102, 101, 102], "id 102 appears more than once")])
    def test_absent_or_repeated_id_removes_nothing(self, ids, match):
        index = fill(IdMapIndex(8, 2), vectors(5, 8))
        before = index.search(vectors(2, 8, seed=1), 5)
        with pytest.raises(ValueError, match=match):
            index.remove_many(ids)
        assert len(index) == 5
        np.testing.assert_array_equal(index.search(vectors(2, 8, seed=1), 5)[1], before[1])


class TestExtremeInputs:
    @pytest.fixture
    def index(self):
        index = IdMapIndex(16, 4)
        index.add_with_ids(vectors(200, 16), np.arange(200, dtype=np.uint64))
        return index

    def test_cosine_of_a_query_whose_squares_overflow_float32(self, index):
        # |q| = 1e20: its squares overflow float32, yet the cosine is scale-free.
        q = vectors(4, 16, seed=3)
        scaled = index.query(q * np.float32(1e20), 5, metric="cosine")
        plain = index.query(q, 5, metric="cosine")
        np.testing.assert_array_equal(scaled[1], plain[1])
        np.testing.assert_allclose(scaled[0], plain[0], rtol=1e-5)

    def test_l2_of_such_a_query_is_refused(self, index):
        with pytest.raises(ValueError, match="norm above 1.8e19"):
            index.query(vectors(2, 16) * np.float32(1e20), 5, metric="l2")

    def test_stored_norms_above_what_add_can_store_are_refused(self, index):
        data = bytearray(index.to_bytes())
        head = IdMapIndex(16, 4).to_bytes()  # the empty file: the header before codes
        norms_at = len(head) - 16 - 8 + 200 * 4 * 16 // 8  # header, codes, then norms
        data[norms_at:norms_at + 4] = np.float32(1e20).tobytes()
        with pytest.raises(OSError, match="norm above 1.8e19"):
            IdMapIndex.from_bytes(bytes(data[:-16]))  # cut the trailer: only the check stops it

    def test_refine_rows_with_nan_or_inf_are_refused_when_used(self, index):
        clean = vectors(200, 16)
        rows = clean.copy()
        rows[5, 3] = np.nan
        rows[6, 0] = np.inf
        for bad in (5, 6):
            with pytest.raises(ValueError, match=f"refine row {bad} has a NaN or infinite value"):
                index.query(clean[bad:bad + 1], 3, refine=rows)
        allowed = np.arange(10, 200, dtype=np.uint64)  # the bad rows can never be returned
        index.query(clean[5:7], 3, refine=rows, allowed=allowed)

    def test_results_that_cannot_fit_fail_at_once(self):
        index = SkerryIndex(8, 2)
        index.add(vectors(200_000, 8))
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        nq = memory // (200_000 * 12) + 1  # a float32 score and an int64 position per result
        for call in (index.search, index.query):
            with pytest.raises(MemoryError, match="would need .* GB, more than this machine's"):
                call(vectors(nq, 8), 200_000)


class TestArrayLikesAndSparseRefine:
    @pytest.fixture
    def index(self):
        index = IdMapIndex(16, 3)
        index.add_with_ids(vectors(300, 16), np.arange(300, dtype=np.uint64) * 1_000_003)
        return index

    @pytest.mark.parametrize("convert", [
        lambda q: q.astype(np.float64), lambda q: q.tolist(), lambda q: np.asfortranarray(q),
        lambda q: np.rint(q * 4).astype(np.int32) / np.float32(4),
    ])
    def test_queries_of_any_numeric_array_like_give_the_float32_results(self, index, convert):
        q = np.rint(vectors(5, 16, seed=9) * 4) / np.float32(4)  # exact in every type above
        expected = index.query(q, 4, metric="cosine")
        got = index.query(convert(q), 4, metric="cosine")
        assert all(np.array_equal(a, b) for a, b in zip(expected, got))
        single = index.query(q[2], 4, metric="cosine")  # one query, 1-D
        assert all(np.array_equal(a, b[2:3]) for a, b in zip(single, expected))

    @pytest.mark.parametrize("queries, error", [
        ("text", TypeError), ([["a"] * 16], TypeError), (np.zeros((2, 2, 16)), ValueError),
        (np.zeros((2, 8)), ValueError), (np.full((1, 16), 1e39), ValueError),
    ])
    @pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
    def test_unusable_array_likes_are_refused(self, index, queries, error):
        with pytest.raises(error):
            index.query(queries, 3)

    def test_refine_rows_given_with_their_ids_in_any_order(self, index):
        rows = vectors(300, 16, seed=4)
        ids = np.arange(300, dtype=np.uint64) * 1_000_003
        order = np.random.default_rng(2).permutation(300)
        q = vectors(6, 16, seed=5)
        dense_ids = IdMapIndex(16, 3)  # the same vectors under ids 0..299
        dense_ids.add_with_ids(vectors(300, 16), np.arange(300, dtype=np.uint64))
        expected_scores, expected_ids = dense_ids.query(q, 5, refine=rows)
        scores, got = index.query(q, 5, refine=rows[order], refine_ids=ids[order])
        np.testing.assert_array_equal(scores, expected_scores)
        np.testing.assert_array_equal(got, expected_ids * 1_000_003)

    @pytest.mark.parametrize("options, message", [
        (dict(refine_ids=[0]), "refine_ids needs refine"),
        (dict(refine=np.zeros((3, 16), np.float32), refine_ids=[0, 1]), "has 2 ids but refine has 3 rows"),
        (dict(refine=np.zeros((2, 16), np.float32), refine_ids=[0, 0]), "id 0 appears more than once"),
        (dict(refine=np.zeros((2, 16), np.float32), refine_ids=[0, 1_000_003]),
         "id 2000006 may be returned but is not in refine_ids"),
    ])
    def test_refine_ids_errors(self, index, options, message):
        with pytest.raises(ValueError, match=message):
            index.query(vectors(1, 16), 3, **options)
        # with a filter, only the allowed ids need rows
        index.query(vectors(1, 16), 1, refine=np.ones((2, 16), np.float32), refine_ids=[0, 1_000_003],
                    allowed=np.array([0, 1_000_003], np.uint64))


@pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
def test_radius_keeps_exactly_the_slots_within_it(cls, metric):
    from varnel import PartitionedIndex

    data, q = vectors(400, 16), vectors(3, 16, seed=4)
    partitioned = PartitionedIndex(16, 4, 4)
    partitioned.train(data)
    partitioned.add_with_ids(data, np.arange(400))
    for index, empty in ((fill(cls(16, 4), data), -1 if cls is SkerryIndex else EMPTY_ID),
                         (partitioned, EMPTY_ID)):
        scores, found = index.query(q, 400, metric=metric)
        radius = float(np.median(scores[:, 20]))
        within = scores <= radius if metric == "l2" else scores >= radius
        got_scores, got = index.query(q, 400, metric=metric, radius=radius)
        np.testing.assert_array_equal(got, np.where(within, found, empty))
        np.testing.assert_array_equal(got_scores[within], scores[within])
        assert np.all(np.isinf(got_scores[~within]))
        assert 0 < within.sum() < within.size
        with pytest.raises(ValueError, match="NaN"):
            index.query(q, 4, metric=metric, radius=float("nan"))


def test_upsert_replaces_stored_ids_and_checks_the_batch_first():
    data, fresh = vectors(200, 16), vectors(50, 16, seed=9)
    index = IdMapIndex(16, 3)
    index.add_with_ids(data, np.arange(200, dtype=np.uint64))
    expected = IdMapIndex(16, 3)
    expected.add_with_ids(data[:150], np.arange(150, dtype=np.uint64))
    expected.add_with_ids(fresh, np.arange(150, 200, dtype=np.uint64))
    index.upsert(fresh.astype(np.float64), list(range(150, 200)))
    assert len(index) == 200
    np.testing.assert_array_equal(index.search(data[:5], 10)[1], expected.search(data[:5], 10)[1])
    np.testing.assert_array_equal(index.search(data[:5], 10)[0], expected.search(data[:5], 10)[0])
    before = index.to_bytes()
    for vectors_, ids, error, match in [
        (fresh[:2], [3, 3], ValueError, "more than once"),
        (fresh[:2], [1], ValueError, "ids"),
        (fresh[:2, :8], [1, 2], ValueError, "columns"),
        (fresh[:2], [1, -2], ValueError, "negative"),
    ]:
        with pytest.raises(error, match=match):
            index.upsert(vectors_, ids)
        assert index.to_bytes() == before
    index.upsert(fresh[:3], np.array([500, 501, 502], np.int64))
    assert len(index) == 203 and 501 in index
