"""PartitionedIndex: residual codes in lists, searched over the probed lists.

At 2 and 3 bits the estimator is checked against IdMapIndex holding the
residuals themselves, with the partitioned index's per-vector scales in
place of the residual norms: a vector's score is (the float32 inner product
of the query with its list's centroid, summed coordinate by coordinate, plus
the vector's shift) plus what that IdMapIndex scores for its residual, bit
for bit. (At 4 bits IdMapIndex scores by its byte table, the partitioned
index by float sums: the C++ tests check those bit for bit.)"""

import copy
import os
import pickle
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import varnel
from varnel import IdMapIndex, PanicException, PartitionedIndex

EMPTY_ID = 2**64 - 1


def clustered(n, dim, clusters=12, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim), dtype=np.float32) * 2
    points = centres[np.arange(n) % clusters] + rng.standard_normal((n, dim), dtype=np.float32) * 0.5
    return np.ascontiguousarray(points, dtype=np.float32)


def ids_for(n, first=1000):
    return np.arange(first, first + 3 * n, 3, dtype=np.uint64)


def build(dim=32, bits=4, lists=8, n=3000, seed=0):
    data = clustered(n, dim, seed=seed)
    index = PartitionedIndex(dim, bits, lists)
    index.train(data)
    index.add_with_ids(data, ids_for(n))
    return index, data


def sequential_dot(q, c):
    """The float32 inner product summed in coordinate order, as the library does."""
    total = np.float32(0)
    for a, b in zip(q, c):
        total = np.float32(total + np.float32(a * b))
    return total


def assigned_lists(index, data):
    """Each vector's list: the nearest centroid (float64 here; the tests use
    clustered data with no near ties)."""
    c = index.centroids().astype(np.float64)
    x = data.astype(np.float64)
    return np.argmax(x @ c.T - 0.5 * (c * c).sum(1), axis=1)


def stored_terms(index):
    """Each list's per-vector (scales, shifts), read from the VNIP bytes (docs/formats.md)."""
    data = index.to_bytes()
    assert data[4] == 3
    dim, lists = index.dim, index.lists
    at = 24 + 4 * lists * dim
    row = dim // 8 * index.bits
    terms = []
    for _ in range(lists):
        n = int(np.frombuffer(data, np.uint32, 1, at)[0])
        at += 4 + n * row
        scales = np.frombuffer(data, np.float32, n, at)
        shifts = np.frombuffer(data, np.float32, n, at + 4 * n)
        terms.append((scales, shifts))
        at += n * (4 + 4 + 4 + 8)
    return terms


def with_norms(index, norms):
    """The IdMapIndex with its stored norms replaced (trailer dropped: read unverified)."""
    data = bytearray(index.to_bytes()[:-16])
    n = len(index)
    at = 15 + n * (index.dim // 8 * index.bits)
    data[at : at + 4 * n] = np.asarray(norms, np.float32).tobytes()
    return IdMapIndex.from_bytes(bytes(data))


def reference_scores(index, data, ids, queries):
    """{id: score} per query: (<q, c> + shift) + IdMapIndex's score of the residual with its scale."""
    assert index.bits in (2, 3)
    lists = assigned_lists(index, data)
    np.testing.assert_array_equal(np.bincount(lists, minlength=index.lists), index.list_sizes())
    centroids = index.centroids()
    terms = stored_terms(index)
    out = [dict() for _ in queries]
    for l in range(index.lists):
        members = np.flatnonzero(lists == l)
        if len(members) == 0:
            continue
        residuals = IdMapIndex(index.dim, index.bits, index.rotation)
        residuals.add_with_ids(np.ascontiguousarray(data[members] - centroids[l]), ids[members])
        scales, shifts = terms[l]
        residuals = with_norms(residuals, scales)
        shift_of = dict(zip(ids[members].tolist(), shifts))
        scores, found = residuals.search(queries, len(members))
        for q, query in enumerate(queries):
            offset = sequential_dot(query, centroids[l])
            for score, i in zip(scores[q], found[q]):
                out[q][int(i)] = np.float32(np.float32(offset + shift_of[int(i)]) + score)
    return out


@pytest.mark.parametrize("bits", [2, 3])
def test_every_list_probed_scores_each_vector_by_the_estimator(bits):
    index, data = build(bits=bits, n=1200, lists=6)
    queries = clustered(5, 32, seed=9)
    expected = reference_scores(index, data, ids_for(1200), queries)
    scores, ids = index.search(queries, 1200, probes=6)
    for q in range(len(queries)):
        assert sorted(ids[q].tolist()) == sorted(expected[q])
        got = dict(zip(ids[q].tolist(), scores[q].tolist()))
        assert all(np.float32(got[i]) == expected[q][i] for i in got)
        assert np.all(np.diff(scores[q]) <= 0)


@pytest.mark.parametrize("bits", [2, 3])
def test_fewer_probes_return_the_best_of_the_probed_lists(bits):
    index, data = build(bits=bits, n=2000, lists=10)
    queries = clustered(4, 32, seed=5)
    expected = reference_scores(index, data, ids_for(2000), queries)
    lists_of = dict(zip(ids_for(2000).tolist(), assigned_lists(index, data).tolist()))
    centroids = index.centroids()
    scores, ids = index.search(queries, 10, probes=3)
    for q, query in enumerate(queries):
        # The lists nearest by Euclidean distance, the rule that placed the vectors.
        nearness = np.array([sequential_dot(query, c) - np.float32(0.5) * sequential_dot(c, c) for c in centroids])
        probed = set(np.argsort(-nearness, kind="stable")[:3].tolist())
        candidates = sorted((s, i) for i, s in expected[q].items() if lists_of[i] in probed)
        best = [i for s, i in sorted(candidates, key=lambda t: -t[0])[:10]]
        assert set(ids[q].tolist()) == set(best)
        assert scores[q].tolist() == sorted((expected[q][i] for i in best), reverse=True)


@pytest.mark.parametrize("bits", [2, 4])
def test_a_query_probes_the_nearest_list_not_the_longest_centroid(bits):
    # The long centroid has the larger inner product with the query, but the
    # query's neighbours were placed in the near one (nearest by Euclidean
    # distance), so that is the list one probe must scan.
    dim = 32
    near, far = np.zeros(dim, np.float32), np.zeros(dim, np.float32)
    near[0], far[0] = 1.0, 2.0
    index = varnel.PartitionedIndex(dim, bits, 2)
    index.set_centroids(np.stack([near, far]))
    rng = np.random.default_rng(3)
    data = (near + 0.05 * rng.standard_normal((50, dim))).astype(np.float32)
    index.add_with_ids(data, ids_for(50))
    assert index.list_sizes().tolist() == [50, 0]
    _, ids = index.search(data[:5], 3, probes=1)
    assert (ids != EMPTY_ID).all()


@pytest.mark.parametrize("bits", [2, 3, 4])
def test_equal_scores_rank_by_position_in_the_list(bits):
    # Copies of one vector share a list, codes and terms: equal scores, which
    # rank in the order the copies were added, on every bit width.
    index, data = build(bits=bits, n=600, lists=4)
    copies = np.repeat(data[:1], 30, axis=0)
    copy_ids = np.arange(5000, 5030, dtype=np.uint64)[::-1].copy()  # ids falling while positions rise
    index.add_with_ids(copies, copy_ids)
    _, ids = index.search(data[:1], 60, probes=4)
    from_copies = [i for i in ids[0].tolist() if i >= 5000]
    assert len(from_copies) >= 20
    assert from_copies == copy_ids[:len(from_copies)].tolist()


@pytest.mark.parametrize(("bits", "at_least"), [(2, 0.56), (3, 0.74), (4, 0.82)])
def test_residual_codes_find_neighbours_that_codes_of_whole_vectors_miss(bits, at_least):
    # Unit vectors in tight clusters, as embeddings lie: coded against their
    # list's centroid with the scale and shift of each residual, recall@10
    # with every list probed is far above the exhaustive index's
    # (0.24 / 0.42 / 0.64 here).
    data = clustered(4000, 32, seed=1)
    data /= np.linalg.norm(data, axis=1, keepdims=True)
    queries = clustered(50, 32, seed=2)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    truth = np.argsort(-(queries @ data.T), axis=1)[:, :10]
    ids = ids_for(4000)
    index = PartitionedIndex(32, bits, 16)
    index.train(data)
    index.add_with_ids(data, ids)
    exhaustive = IdMapIndex(32, bits)
    exhaustive.add_with_ids(data, ids)

    def recall(found):
        return np.mean([len(set(f.tolist()) & set(ids[t].tolist())) / 10 for f, t in zip(found, truth)])

    assert recall(index.search(queries, 10, probes=16)[1]) >= at_least
    assert recall(index.search(queries, 10, probes=16)[1]) > recall(exhaustive.search(queries, 10)[1]) + 0.15


def test_results_do_not_depend_on_threads_and_single_queries_match_batches():
    index, data = build(bits=3, n=20000, lists=16, dim=64)
    queries = clustered(12, 64, seed=3)
    results = []
    for threads in (1, 2, 3):
        varnel.set_num_threads(threads)
        results.append(index.search(queries, 10, probes=5))
        results.append(tuple(np.concatenate(part) for part in zip(
            *[index.search(queries[i:i + 1], 10, probes=5) for i in range(len(queries))])))
    varnel.set_num_threads(0)
    for scores, ids in results[1:]:
        np.testing.assert_array_equal(scores, results[0][0])
        np.testing.assert_array_equal(ids, results[0][1])


PATH_DIGEST = textwrap.dedent(
    """
    import hashlib, numpy as np, varnel
    rng = np.random.default_rng(0)
    data = (rng.standard_normal((6, 64), dtype=np.float32)[np.arange(6000) % 6] * 2
            + rng.standard_normal((6000, 64), dtype=np.float32)).astype(np.float32)
    digest = hashlib.sha256()
    for bits in (2, 3, 4):
        index = varnel.PartitionedIndex(64, bits, 20)
        index.train(data)
        index.add_with_ids(data, np.arange(6000, dtype=np.uint64))
        digest.update(index.centroids().tobytes())
        for part in index.search(data[:50] + 0.25, 10, probes=4):
            digest.update(part.tobytes())
    print(varnel.simd_path(), digest.hexdigest())
    """
)


def test_training_and_search_are_identical_on_every_simd_path():
    digests = {}
    for path in varnel._varnel._supported_simd_paths():
        run = subprocess.run([sys.executable, "-c", PATH_DIGEST], capture_output=True, text=True,
                             env={**os.environ, "VARNEL_SCAN_PATH": path}, timeout=300, check=True)
        taken, digest = run.stdout.split()
        assert taken == path
        digests[path] = digest
    assert len(set(digests.values())) == 1, digests


def test_ids_removal_and_list_sizes():
    index, data = build(n=600, lists=4)
    ids = ids_for(600)
    assert len(index) == 600 and index.list_sizes().sum() == 600
    assert index.list_sizes().dtype == np.uint64
    assert int(ids[3]) in index and index.contains(int(ids[3])) and 7 not in index
    assert index.remove(int(ids[3])) and not index.remove(int(ids[3]))
    index.remove_many(ids[10:20])
    assert len(index) == 589 and index.list_sizes().sum() == 589
    _, found = index.search(data[:40], 589, probes=4)
    assert not set(ids[[3, *range(10, 20)]].tolist()) & set(found.ravel().tolist())
    assert set(found[0].tolist()) == set(ids.tolist()) - set(ids[[3, *range(10, 20)]].tolist())
    with pytest.raises(ValueError, match="id 7 is not in the index"):
        index.remove_many(np.array([int(ids[30]), 7], np.uint64))
    assert len(index) == 589 and int(ids[30]) in index
    assert (index.dim, index.bits, index.lists, index.rotation) == (32, 4, 4, "rotor3")


def test_few_vectors_fill_the_rest_with_empty_slots():
    index, data = build(n=40, lists=4)
    scores, ids = index.search(data[:2], 30, probes=1)
    assert scores.shape == (2, 30)
    filled = ids != EMPTY_ID
    assert np.all(scores[~filled] == -np.inf)
    assert filled.sum(axis=1).tolist() == [(ids[q] != EMPTY_ID).sum() for q in range(2)]


@pytest.fixture
def trained():
    return build(n=500, lists=4)


def state(index, queries):
    return index.search(queries, 8, probes=2), index.list_sizes(), len(index)


def assert_unchanged(index, before, queries):
    (scores, ids), sizes, n = state(index, queries)
    np.testing.assert_array_equal(scores, before[0][0])
    np.testing.assert_array_equal(ids, before[0][1])
    np.testing.assert_array_equal(sizes, before[1])
    assert n == before[2]


def bad_calls(data):
    nan = data[:5].copy()
    nan[3, 2] = np.nan
    big = data[:5].copy()
    big[1, :4] = 3e38
    fresh = ids_for(5, first=10**9)
    return [
        ("text vectors", lambda ix: ix.add_with_ids(np.array([["a"] * 32]), fresh[:1]), TypeError, "vectors"),
        ("3-D vectors", lambda ix: ix.add_with_ids(data[:4].reshape(2, 2, 32), fresh[:4]), ValueError,
         "vectors must be one vector"),
        ("wrong dim", lambda ix: ix.add_with_ids(np.ascontiguousarray(data[:5, :16]), fresh), ValueError,
         "columns"),
        ("negative ids", lambda ix: ix.add_with_ids(data[:2], [7, -1]), ValueError, "-1 is negative"),
        ("float ids", lambda ix: ix.add_with_ids(data[:2], [7.0, 8.0]), TypeError, "ids"),
        ("nan", lambda ix: ix.add_with_ids(nan, fresh), ValueError, "^vector 3 of the batch has a NaN"),
        ("huge", lambda ix: ix.add_with_ids(big, fresh), ValueError, "^vector 1 of the batch"),
        ("duplicate in index", lambda ix: ix.add_with_ids(data[:5], ids_for(5)), ValueError,
         "already present"),
        ("duplicate in batch", lambda ix: ix.add_with_ids(data[:2], np.array([5, 5], np.uint64)),
         ValueError, "id 5 already present"),
        ("id count", lambda ix: ix.add_with_ids(data[:5], fresh[:4]), ValueError, "expected 5 ids, got 4"),
        ("k 0", lambda ix: ix.search(data[:2], 0), ValueError, "k must be at least 1"),
        ("probes 0", lambda ix: ix.search(data[:2], 3, probes=0), ValueError, "probes must be between 1"),
        ("probes > lists", lambda ix: ix.search(data[:2], 3, probes=5), ValueError, "probes must be between 1"),
        ("nan query", lambda ix: ix.search(nan, 3, probes=2), ValueError, "^query 3 has a NaN"),
        ("query dim", lambda ix: ix.search(np.ascontiguousarray(data[:2, :16]), 3, probes=2), ValueError,
         "columns"),
        ("retrain", lambda ix: ix.train(data), ValueError, "train needs an empty index"),
    ]


@pytest.mark.parametrize("case", range(16))
def test_bad_input_is_refused_and_changes_nothing(trained, case):
    index, data = trained
    name, call, error, match = bad_calls(data)[case]
    before = state(index, data[:3])
    with pytest.raises(error, match=match):
        call(index)
    assert_unchanged(index, before, data[:3])


def test_untrained_and_too_small_samples_say_so():
    index = PartitionedIndex(16, 4, 8)
    data = clustered(20, 16)
    assert not index.is_trained
    with pytest.raises(ValueError, match="not trained"):
        index.add_with_ids(data, ids_for(20))
    with pytest.raises(ValueError, match="not trained"):
        index.search(data[:1], 3, probes=1)
    with pytest.raises(ValueError, match="got 5 vectors for 8 lists"):
        index.train(data[:5])
    assert not index.is_trained and len(index) == 0
    for args in [(16, 4, 0), (0, 4, 2), (16, 5, 2)]:
        with pytest.raises(ValueError):
            PartitionedIndex(*args)


@pytest.mark.parametrize("how", ["train", "set_centroids"])
def test_centroids_too_long_to_code_against_are_refused(how):
    # Vectors of norm ~1e20 pass train's check (their norm fits float32), but
    # nothing could be added near their centroids: each residual's squares
    # overflow, even that of np.ones.
    sample = clustered(200, 16)
    sample[:, 0] += np.float32(1e20)
    index = PartitionedIndex(16, 4, 2)
    with pytest.raises(ValueError, match=r"centroid [01] has a norm too large for float32 squares \(above 1.8e19\)"):
        if how == "train":
            index.train(sample)
        else:
            index.set_centroids(sample[:2])
    assert not index.is_trained
    sample[:, 0] = np.float32(1.7e19)  # as long as vectors add takes: centroids as long are fine
    index.train(sample)
    index.add_with_ids(np.ones((3, 16), np.float32), ids_for(3))
    assert len(index) == 3


def test_vectors_as_long_as_add_takes_round_trip_through_files(tmp_path):
    # Far from their centroid, their residual scales exceed any vector's norm
    # (up to twice the residual's length): the files must load again.
    data = clustered(200, 16)
    data *= np.float32(1.7e19) / np.linalg.norm(data, axis=1, keepdims=True)
    index = PartitionedIndex(16, 3, 1)
    index.set_centroids(np.zeros((1, 16), np.float32))
    index.add_with_ids(data, ids_for(200))
    index.write(tmp_path / "mapped", layout="mapped")
    for again in (PartitionedIndex.from_bytes(index.to_bytes()), PartitionedIndex.open(tmp_path / "mapped")):
        for a, b in zip(again.search(data[:4], 5, probes=1), index.search(data[:4], 5, probes=1)):
            np.testing.assert_array_equal(a, b)
    # Longer vectors are refused as IdMapIndex refuses them, not stored to make a file that no longer loads.
    with pytest.raises(ValueError, match="^vector 0 of the batch has a NaN or infinite value, or a norm too large"):
        index.add_with_ids(data[:1] * np.float32(2), ids_for(1, first=1))


def test_files_bytes_pickle_and_copy_search_alike(tmp_path, trained):
    index, data = trained
    expected = index.search(data[:6], 10, probes=3)
    path = tmp_path / "lists.vnpi"
    index.write(path)
    copies = [PartitionedIndex.load(path), PartitionedIndex.from_bytes(index.to_bytes()),
              pickle.loads(pickle.dumps(index)), copy.copy(index), copy.deepcopy(index)]
    assert path.read_bytes() == index.to_bytes()
    for other in copies:
        assert len(other) == len(index) and other.lists == index.lists
        np.testing.assert_array_equal(other.list_sizes(), index.list_sizes())
        for a, b in zip(other.search(data[:6], 10, probes=3), expected):
            np.testing.assert_array_equal(a, b)


def test_a_trained_empty_index_ships_its_centroids(trained):
    index, data = trained
    empty = PartitionedIndex(32, 4, 4)
    empty.set_centroids(index.centroids())
    shipped = pickle.loads(pickle.dumps(empty))
    assert shipped.is_trained and len(shipped) == 0
    np.testing.assert_array_equal(shipped.centroids(), index.centroids())
    # Two shards of one trained index find what the whole finds.
    halves = [pickle.loads(pickle.dumps(empty)) for _ in range(2)]
    halves[0].add_with_ids(data[:250], ids_for(500)[:250])
    halves[1].add_with_ids(data[250:], ids_for(500)[250:])
    whole = index.search(data[:5], 10, probes=2)
    parts = [h.search(data[:5], 10, probes=2) for h in halves]
    scores = np.concatenate([p[0] for p in parts], axis=1)
    ids = np.concatenate([p[1] for p in parts], axis=1)
    for q in range(5):
        order = np.argsort(-scores[q], kind="stable")[:10]
        assert set(ids[q][order].tolist()) == set(whole[1][q].tolist())
        np.testing.assert_array_equal(np.sort(scores[q][order]), np.sort(whole[0][q]))


@pytest.mark.parametrize("damage", ["truncate", "flip", "magic", "empty"])
def test_damaged_files_are_refused(tmp_path, trained, damage):
    index, _ = trained
    blob = bytearray(index.to_bytes())
    if damage == "truncate":
        blob = blob[: len(blob) // 2]
    elif damage == "flip":
        blob[len(blob) // 2] ^= 0x40
    elif damage == "magic":
        blob[0:4] = b"VNIX"
    else:
        blob = bytearray()
    with pytest.raises(OSError):
        PartitionedIndex.from_bytes(bytes(blob))
    path = tmp_path / "bad.vnpi"
    path.write_bytes(bytes(blob))
    with pytest.raises(OSError):
        PartitionedIndex.load(path)


@pytest.fixture
def alarm_raises_keyboard_interrupt():
    def raise_interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, raise_interrupt)
    yield lambda seconds: signal.setitimer(signal.ITIMER_REAL, seconds)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def test_ctrl_c_stops_train_add_and_search(alarm_raises_keyboard_interrupt):
    import time

    dim = 128
    data = clustered(60_000, dim, clusters=50)
    index = PartitionedIndex(dim, 4, 64)
    index.train(data[:5000])
    index.add_with_ids(data[:5000], ids_for(5000))
    before = state(index, data[:3])
    calls = [
        lambda: PartitionedIndex(dim, 4, 2000).train(np.tile(data, (4, 1))),
        lambda: index.add_with_ids(np.tile(data, (8, 1)), np.arange(10**6, 10**6 + 480_000, dtype=np.uint64)),
        lambda: index.search(np.tile(data, (4, 1)), 10, probes=64),
    ]
    for call in calls:
        alarm_raises_keyboard_interrupt(0.1)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            call()
        assert time.monotonic() - started < 2.0  # stopped long before the work was done
        assert_unchanged(index, before, data[:3])


FORKED = textwrap.dedent(
    """
    import os, sys, numpy as np, varnel
    rng = np.random.default_rng(0)
    data = rng.standard_normal((4000, 32), dtype=np.float32)
    ix = varnel.PartitionedIndex(32, 4, 16)
    ix.train(data)
    ix.add_with_ids(data, np.arange(4000, dtype=np.uint64))
    expected = ix.search(data[:8], 5, probes=4)
    pid = os.fork()
    if pid == 0:
        got = ix.search(data[:8], 5, probes=4)
        ix.add_with_ids(data[:3] + 1, np.array([10**6, 10**6 + 1, 10**6 + 2], np.uint64))
        os._exit(0 if all(np.array_equal(a, b) for a, b in zip(expected, got)) and len(ix) == 4003 else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    print("ok")
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_a_forked_child_gets_a_working_index():
    run = subprocess.run([sys.executable, "-c", FORKED], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr


@pytest.fixture
def small():
    data = clustered(1500, 32, seed=4)
    index = PartitionedIndex(32, 4, 6)
    index.train(data)
    index.add_with_ids(data, np.arange(1500, dtype=np.uint64))
    return index, data, clustered(4, 32, seed=8)


def test_query_without_options_is_search(small):
    index, _, queries = small
    for a, b in zip(index.query(queries, 10, probes=3), index.search(queries, 10, probes=3)):
        np.testing.assert_array_equal(a, b)


def test_query_allowed_ids_rank_like_search_restricted_to_them(small):
    index, _, queries = small
    allowed = np.arange(0, 1500, 7, dtype=np.uint64)
    scores, ids = index.query(queries, 10, probes=6, allowed=np.append(allowed, np.uint64(10**9)))
    all_scores, all_ids = index.search(queries, 1500, probes=6)
    for q in range(len(queries)):
        keep = np.isin(all_ids[q], allowed)
        np.testing.assert_array_equal(ids[q], all_ids[q][keep][:10])
        np.testing.assert_array_equal(scores[q], all_scores[q][keep][:10])
    scores, ids = index.query(queries, 10, probes=6, allowed=np.array([5, 9], np.uint64))
    assert ids.shape == (4, 2) and set(ids.ravel().tolist()) == {5, 9}


@pytest.mark.parametrize("metric", ["cosine", "l2"])
def test_query_metrics_follow_from_the_estimated_inner_product(small, metric):
    index, data, queries = small
    scores, ids = index.query(queries, 20, probes=6, metric=metric)
    ip_scores, ip_ids = index.search(queries, 1500, probes=6)
    lengths = np.linalg.norm(data.astype(np.float64), axis=1)
    for q, query in enumerate(queries):
        ip = dict(zip(ip_ids[q].tolist(), ip_scores[q].astype(np.float64).tolist()))
        qn = np.linalg.norm(query.astype(np.float64))
        if metric == "cosine":
            expected = {i: ip[i] / (qn * lengths[i]) for i in ip}
            best = sorted(expected, key=lambda i: -expected[i])[:20]
        else:
            expected = {i: qn * qn + lengths[i] ** 2 - 2 * ip[i] for i in ip}
            best = sorted(expected, key=lambda i: expected[i])[:20]
        np.testing.assert_allclose(scores[q], [expected[i] for i in ids[q].tolist()], rtol=1e-4, atol=1e-4)
        assert len(set(ids[q].tolist()) ^ set(best)) <= 2  # float32 rounding may swap near ties
        assert np.all(np.diff(scores[q]) <= 0) if metric == "cosine" else np.all(np.diff(scores[q]) >= 0)


def test_query_refine_rescores_exactly_by_id(small):
    index, data, queries = small
    scores, ids = index.query(queries, 10, probes=6, refine=data, refine_factor=8)
    code_scores, code_ids = index.search(queries, 80, probes=6)
    for q, query in enumerate(queries):
        exact = {int(i): float(data[i].astype(np.float64) @ query.astype(np.float64)) for i in code_ids[q]}
        best = sorted(exact, key=lambda i: -exact[i])[:10]
        assert ids[q].tolist() == best
        np.testing.assert_allclose(scores[q], [exact[i] for i in best], rtol=1e-5)
    with pytest.raises(ValueError):
        index.query(queries, 10, probes=6, refine=data[:100])  # ids up to 1499 may be returned


# ---- What users of other libraries pass ----------------------------------


def test_array_likes_float64_lists_and_integer_ids_give_the_same_index():
    data = clustered(600, 16)
    strict = PartitionedIndex(16, 4, 4)
    strict.train(data)
    strict.add_with_ids(data, np.arange(600, dtype=np.uint64))
    loose = PartitionedIndex(16, 4, 4)
    loose.train(data.astype(np.float64).tolist())
    loose.add_with_ids(data[:300].astype(np.float64), np.arange(300, dtype=np.int64))
    loose.add_with_ids(data[300:].tolist(), list(range(300, 600)))
    assert strict.to_bytes() == loose.to_bytes()
    expected = strict.query(data[:1], 5, probes=2)
    for query in (data[0], data[0].astype(np.float64), data[0].tolist(), data[:1].T.copy().T):
        found = loose.query(query, 5, probes=2)
        np.testing.assert_array_equal(found[1], expected[1])
        np.testing.assert_array_equal(found[0], expected[0])
    np.testing.assert_array_equal(loose.search(data[0].astype(np.float64), 5, probes=2)[1], expected[1])


@pytest.mark.parametrize("dim", [1, 5, 20, 44])
def test_any_dim_searches_as_vectors_padded_by_hand(tmp_path, dim):
    coded = -(-dim // 8) * 8
    data = clustered(500, dim, seed=dim)
    padded = np.zeros((500, coded), np.float32)
    padded[:, :dim] = data
    ids = np.arange(500, dtype=np.uint64) * 7
    odd, by_hand = PartitionedIndex(dim, 3, 4), PartitionedIndex(coded, 3, 4)
    for index, rows in ((odd, data), (by_hand, padded)):
        index.train(rows)
        index.add_with_ids(rows, ids)
    assert odd.dim == dim and odd.centroids().shape == (4, dim)
    np.testing.assert_array_equal(odd.centroids(), by_hand.centroids()[:, :dim])
    refine = np.zeros((int(ids.max()) + 1, dim), np.float32)
    refine[ids.astype(np.int64)] = data
    refine_padded = np.zeros((len(refine), coded), np.float32)
    refine_padded[:, :dim] = refine
    odd.write(tmp_path / "rows.vnip")
    odd.write(tmp_path / "mapped.vnip", layout="mapped")
    copies = [odd, PartitionedIndex.load(tmp_path / "rows.vnip"), PartitionedIndex.open(tmp_path / "mapped.vnip"),
              pickle.loads(pickle.dumps(odd))]
    for metric in ("ip", "cosine", "l2"):
        want = by_hand.query(padded[:6], 7, probes=2, metric=metric, refine=refine_padded)
        plain = by_hand.query(padded[:6], 7, probes=2, metric=metric)
        for index in copies:
            assert index.dim == dim
            got = index.query(data[:6], 7, probes=2, metric=metric, refine=refine)
            np.testing.assert_array_equal(got[1], want[1])
            np.testing.assert_array_equal(got[0], want[0])
            got = index.query(data[:6], 7, probes=2, metric=metric)
            np.testing.assert_array_equal(got[1], plain[1])
            np.testing.assert_array_equal(got[0], plain[0])


def test_refine_ids_match_rows_indexed_by_id(trained):
    index, data = trained
    ids = ids_for(len(data))
    by_id = np.zeros((int(ids.max()) + 1, index.dim), np.float32)
    by_id[ids.astype(np.int64)] = data
    order = np.random.default_rng(3).permutation(len(data))
    for metric in ("ip", "l2"):
        want = index.query(data[:4], 6, probes=3, metric=metric, refine=by_id)
        got = index.query(data[:4], 6, probes=3, metric=metric, refine=data[order].astype(np.float64),
                          refine_ids=ids[order].astype(np.int64))
        np.testing.assert_array_equal(got[1], want[1])
        np.testing.assert_array_equal(got[0], want[0])
    for refine, refine_ids, match in [
        (data[:-1], ids[:-1], "may be returned but is not in refine_ids"),
        (data, np.r_[ids[:-1], ids[0]], "more than once in refine_ids"),
        (data, ids[:-1], "refine_ids has"),
        (by_id[:10], None, "rows but id"),
    ]:
        with pytest.raises(ValueError, match=match):
            index.query(data[-1:], 6, probes=4, refine=refine, refine_ids=refine_ids, refine_factor=20)
    with pytest.raises(ValueError, match="refine_ids needs refine"):
        index.query(data[:1], 3, refine_ids=ids)


def test_seed_gives_another_index_that_files_keep(tmp_path):
    data = clustered(400, 16)
    one, same, other = (PartitionedIndex(16, 2, 4, seed=s) for s in (5, 5, 6))
    for index in (one, same, other):
        index.train(data)
        index.add_with_ids(data, np.arange(400))
    assert one.to_bytes() == same.to_bytes() != other.to_bytes()
    one.write(tmp_path / "seeded.vnip")
    again = PartitionedIndex.load(tmp_path / "seeded.vnip")
    np.testing.assert_array_equal(again.search(data[:3], 5)[0], one.search(data[:3], 5)[0])
    assert PartitionedIndex(16, 2, 4).to_bytes() == PartitionedIndex(16, 2, 4, seed=117900524).to_bytes()
