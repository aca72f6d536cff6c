import json
import os
import re
import shutil
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest
from conftest import vectors

from varnel import IdFilter, IdMapIndex, PanicException, PartitionedIndex

try:
    import ray

    from varnel import distributed
    from varnel.distributed import ShardedIndex, ShardUnavailableError, shard_of
except ImportError:
    ray = None

needs_ray = pytest.mark.skipif(ray is None, reason="Ray is not installed (pip install '.[ray]')")
EMPTY_ID = 2**64 - 1
# Outputs of a SplitMix64 generator seeded with 0, its published reference sequence.
SPLITMIX64_SEED0 = [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]
GOLDEN_GAMMA = 0x9E3779B97F4A7C15


def test_import_varnel_does_not_import_ray():
    script = "import sys, varnel; sys.exit(any(m.split('.')[0] == 'ray' for m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", script], timeout=60).returncode == 0


@pytest.fixture(scope="module")
def cluster():
    ray.init(
        num_cpus=2, object_store_memory=256 << 20, include_dashboard=False, log_to_driver=False, configure_logging=False
    )
    yield
    ray.shutdown()


@pytest.fixture
def make_index(cluster):
    """Builds sharded indexes (a quarter CPU per shard by default) and ends their actors after the test."""
    made = []

    def make(*args, loader=None, **kwargs):
        kwargs.setdefault("num_cpus_per_shard", 0.25)
        index = (loader or ShardedIndex)(*args, **kwargs)
        made.append(index)
        return index

    yield make
    for index in made:
        index.close()


def kill_shard(index, shard: int) -> None:
    """Kills a shard's actor and waits until Ray reports it dead (the kill is asynchronous)."""
    actor = index.actors[shard]
    ray.kill(actor)
    with pytest.raises(ray.exceptions.RayActorError):
        for _ in range(100):
            ray.get(actor.size.remote())
            time.sleep(0.1)


def random_ids(count: int, seed: int = 1) -> np.ndarray:
    return np.random.default_rng(seed).choice(2**62, count, replace=False).astype(np.uint64)


def single_index(dim, bits, rotation, data, ids) -> IdMapIndex:
    index = IdMapIndex(dim, bits, rotation)
    index.add_with_ids(data, ids)
    return index


def assert_same_results(found, expected):
    """Scores bit for bit; ids the same once equal scores are put in ascending id
    order, except in a row's last run of equal scores, which the k-th place may cut."""
    (scores, ids), (single_scores, single_ids) = found, expected
    assert (scores.dtype, ids.dtype, ids.shape) == (single_scores.dtype, single_ids.dtype, single_ids.shape)
    np.testing.assert_array_equal(scores.view(np.uint32), single_scores.view(np.uint32))
    for row in range(len(scores)):
        runs = np.concatenate([[0], np.cumsum(single_scores[row][1:] != single_scores[row][:-1])])
        by_score_then_id = np.lexsort((single_ids[row], runs))
        cut_run = scores[row] == scores[row][-1]
        np.testing.assert_array_equal(ids[row][~cut_run], single_ids[row][by_score_then_id][~cut_run])


def assert_same_search(sharded, single, queries, k):
    assert_same_results(sharded.search(queries, k), single.search(queries, k))


@needs_ray
class TestRouting:
    @pytest.mark.parametrize("num_shards", [2, 7, 1000])
    def test_rule_is_splitmix64_mod_shards(self, num_shards):
        ids = [0, GOLDEN_GAMMA, (2 * GOLDEN_GAMMA) % 2**64]
        assert shard_of(np.array(ids, dtype=np.uint64), num_shards).tolist() == [
            x % num_shards for x in SPLITMIX64_SEED0
        ]

    def test_files_hold_the_ids_of_their_shard_after_write_and_load(self, make_index, tmp_path):
        ids = random_ids(600)
        index = make_index(32, 4, num_shards=3)
        index.add_with_ids(vectors(600, 32), ids)
        index.write(tmp_path)
        for shard in range(3):
            part = IdMapIndex.load(str(tmp_path / f"shard-{shard:05d}.vnim"))
            mine = ids[shard_of(ids, 3) == shard]
            assert len(part) == len(mine) and all(part.contains(i) for i in mine.tolist())
        (tmp_path / "shard-00001.vnim.tmp").write_bytes(b"left by an interrupted write")
        loaded = make_index(str(tmp_path), loader=ShardedIndex.load)
        more, more_ids = vectors(90, 32, seed=4), random_ids(90, seed=9)
        for target in (index, loaded):
            target.add_with_ids(more, more_ids)
        queries = vectors(20, 32, seed=2)
        for a, b in zip(index.search(queries, 15), loaded.search(queries, 15)):
            np.testing.assert_array_equal(a, b)
        assert (loaded.dim, loaded.bits, loaded.rotation, loaded.num_shards, len(loaded)) == (32, 4, "rotor3", 3, 690)


@needs_ray
class TestAgainstSingleIndex:
    @pytest.mark.parametrize(
        "num_shards, bits, rotation", [(1, 4, "rotor3"), (2, 2, "planar2"), (3, 3, "walshrotor3"), (5, 4, "iso4")]
    )
    def test_same_results_through_adds_and_removals(self, make_index, num_shards, bits, rotation):
        dim, n = 64, 1500
        data, ids = vectors(n, dim), random_ids(n)
        sharded = make_index(dim, bits, rotation, num_shards=num_shards)
        single = IdMapIndex(dim, bits, rotation)
        queries = vectors(40, dim, seed=3)
        assert_same_search(sharded, single, queries, 10)
        assert sharded.search(queries, 10)[1].tolist() == [[EMPTY_ID]] * 40  # empty: one empty slot per query
        for part in (slice(0, 700), slice(700, n)):
            sharded.add_with_ids(data[part], ids[part])
            single.add_with_ids(data[part], ids[part])
        sharded.prepare()
        for k in (0, 1, 10, n + 5):
            assert_same_search(sharded, single, queries, k)
        gone = np.concatenate([ids[::7], ids[:3], [np.uint64(5)]])  # repeats and an unknown id
        removed = sharded.remove_many(gone)
        assert removed.tolist() == [single.remove(i) for i in gone.tolist()]
        assert len(sharded) == len(single) and sharded.remove(ids[1]) == single.remove(ids[1])
        assert ids[3] in sharded and not sharded.contains(ids[0])
        assert_same_search(sharded, single, queries, 10)
        assert sharded.search(queries[:0], 4)[1].shape == single.search(queries[:0], 4)[1].shape == (0, 4)

    def test_equal_scores_come_by_ascending_id(self, make_index):
        base = vectors(40, 32)
        data = np.repeat(base, 4, axis=0)  # every vector four times: exact ties
        ids = random_ids(160)
        sharded = make_index(32, 4, num_shards=3)
        sharded.add_with_ids(data, ids)
        single = single_index(32, 4, "rotor3", data, ids)
        queries = vectors(10, 32, seed=8)
        (scores, found), (single_scores, single_found) = sharded.search(queries, 160), single.search(queries, 160)
        np.testing.assert_array_equal(scores, single_scores)
        for row in range(len(queries)):
            for value in np.unique(scores[row]):
                tied = found[row][scores[row] == value].tolist()
                assert len(tied) == 4 and tied == sorted(single_found[row][single_scores[row] == value].tolist())


@needs_ray
class TestMerge:
    @pytest.mark.parametrize("k", [1, 3, 10, 25])
    def test_best_scores_then_smaller_ids_with_many_ties_and_nan(self, k):
        rng = np.random.default_rng(k)
        parts = []
        for size in (7, 0, 12, 3):
            width = max(1, min(k, size))
            scores = rng.integers(0, 4, (50, width)).astype(np.float32)  # many equal scores
            scores[rng.random((50, width)) < 0.1] = np.nan
            scores = -np.sort(-scores, axis=1)
            parts.append((scores, rng.integers(0, 40, (50, width), dtype=np.uint64), size))
        got_scores, got_ids = distributed.merge_results(parts, k)
        all_scores = np.concatenate([p[0] for p in parts if p[2]], axis=1)
        all_ids = np.concatenate([p[1] for p in parts if p[2]], axis=1)
        reference = np.lexsort((all_ids, -all_scores), axis=1)[:, : min(k, 22)]
        np.testing.assert_array_equal(got_scores, np.take_along_axis(all_scores, reference, axis=1))
        np.testing.assert_array_equal(got_ids, np.take_along_axis(all_ids, reference, axis=1))


@pytest.fixture(scope="class")
def twenty_in_four_shards(cluster):
    """Ids 0..19 over four shards; every test using it must leave it unchanged."""
    with ShardedIndex(16, 4, num_shards=4, num_cpus_per_shard=0.25) as sharded:
        sharded.add_with_ids(vectors(20, 16), np.arange(20, dtype=np.uint64))
        yield sharded


@needs_ray
class TestAddChecks:
    @pytest.mark.parametrize(
        "batch_ids, poisoned, message",
        [
            ([1001, 1002, 7, 1003], False, "id 7 already present in index"),  # stored on its own shard
            ([1001, 1002, 1003, 1002], False, "id 1002 already present in index"),  # repeated in the batch
            ([1001, 1002], False, "assertion `left == right` failed: expected 4 ids, got 2\n  left: 2\n right: 4"),
            # Rows 2 and 3 (NaN, inf) go to shards 0 and 2, as their vectors 1 and 0.
            ([1001, 1002, 1003, 1004], True, "vector 2 of the batch has a NaN or infinite value"),
        ],
        ids=["stored", "repeated", "count", "nan"],
    )
    def test_refused_with_every_shard_unchanged(self, twenty_in_four_shards, batch_ids, poisoned, message):
        sharded = twenty_in_four_shards
        before = sharded.search(vectors(5, 16, seed=1), 30)
        batch = np.array(batch_ids, dtype=np.uint64)
        assert len(set(shard_of(batch, 4).tolist())) > 1  # the batch spans shards
        added = vectors(4, 16, seed=2)
        if poisoned:
            added[2, 5], added[3, 0] = np.nan, np.inf
        with pytest.raises(PanicException) as info:
            sharded.add_with_ids(added, batch)
        single = IdMapIndex(16, 4)
        single.add_with_ids(vectors(20, 16), np.arange(20, dtype=np.uint64))
        with pytest.raises(PanicException) as single_info:
            single.add_with_ids(added, batch)
        assert info.value.args == single_info.value.args
        assert info.value.args[0].startswith(message)
        assert len(sharded) == 20 and not any(sharded.contains(i) for i in (1001, 1002, 1003))
        for a, b in zip(before, sharded.search(vectors(5, 16, seed=1), 30)):
            np.testing.assert_array_equal(a, b)

    def test_interrupted_add_is_taken_back(self, twenty_in_four_shards, monkeypatch):
        add_then_interrupt = ShardedIndex._call_all

        def interrupted(index, method, arguments):
            results = add_then_interrupt(index, method, arguments)
            if method == "add":
                raise KeyboardInterrupt  # as Ctrl-C while waiting for the shards
            return results

        monkeypatch.setattr(ShardedIndex, "_call_all", interrupted)
        with pytest.raises(KeyboardInterrupt):
            twenty_in_four_shards.add_with_ids(vectors(8, 16, seed=4), np.arange(100, 108, dtype=np.uint64))
        monkeypatch.undo()
        assert len(twenty_in_four_shards) == 20 and not any(twenty_in_four_shards.contains(i) for i in range(100, 108))

    @pytest.mark.parametrize(
        "vectors_in, ids_in, error",
        [
            (np.zeros((2, 16)), np.arange(2, dtype=np.uint64), TypeError),
            (np.zeros((2, 16), np.float32), np.arange(2), TypeError),
            (np.zeros((2, 8), np.float32), np.arange(2, dtype=np.uint64), ValueError),
            (np.zeros((16, 2), np.float32).T, np.arange(2, dtype=np.uint64), ValueError),
        ],
        ids=["float64", "int64-ids", "wrong-dim", "fortran"],
    )
    def test_bad_arrays(self, twenty_in_four_shards, vectors_in, ids_in, error):
        with pytest.raises(error):
            twenty_in_four_shards.add_with_ids(vectors_in, ids_in)
        assert len(twenty_in_four_shards) == 20


@needs_ray
class TestDataset:
    def write_parquet(self, path, data, ids):
        import pyarrow as pa
        import pyarrow.parquet as pq

        table = pa.table({"id": pa.array(ids.astype(np.int64)), "vector": pa.array(list(data), pa.list_(pa.float32()))})
        pq.write_table(table, str(path), row_group_size=100)

    def test_parquet_in_batches_equals_single_index(self, make_index, tmp_path):
        data, ids = vectors(450, 32), random_ids(450)
        self.write_parquet(tmp_path / "part.parquet", data, ids)
        sharded = make_index(32, 4, num_shards=3)
        added = sharded.add_dataset(ray.data.read_parquet(str(tmp_path)), batch_size=200)
        assert added == 450
        assert_same_search(sharded, single_index(32, 4, "rotor3", data, ids), vectors(12, 32, seed=6), 10)

    def test_no_cpu_left_for_reading_is_refused_at_once(self, make_index, tmp_path):
        """Shards holding every CPU leave Ray Data's reading tasks waiting for ever; a data set
        already in memory needs no task and is added."""
        data, ids = vectors(200, 32), random_ids(200)
        self.write_parquet(tmp_path / "part.parquet", data, ids)
        sharded = make_index(32, 4, num_shards=2, num_cpus_per_shard=1.0)
        with pytest.raises(RuntimeError, match="reserve 2 of the cluster's 2 CPUs"):
            sharded.add_dataset(ray.data.read_parquet(str(tmp_path)))
        assert len(sharded) == 0
        in_memory = ray.data.from_items([{"id": int(i), "vector": v} for i, v in zip(ids, data)])
        assert sharded.add_dataset(in_memory) == 200

    def test_failing_batch_takes_back_the_whole_data_set(self, make_index, tmp_path):
        data, ids = vectors(300, 32), random_ids(300)
        ids[250] = ids[10]  # the third batch of 100 repeats an id of the first
        sharded = make_index(32, 4, num_shards=2)
        sharded.add_with_ids(vectors(5, 32, seed=9), random_ids(5, seed=5))
        dataset = ray.data.from_items([{"id": int(i), "vector": v} for i, v in zip(ids, data)])
        with pytest.raises(PanicException, match=f"id {ids[10]} already present in index"):
            sharded.add_dataset(dataset, batch_size=100)
        assert len(sharded) == 5 and not any(sharded.contains(i) for i in ids[:10].tolist())


@needs_ray
class TestFaults:
    def test_dead_shard_is_named_and_recover_restores_the_written_state(self, make_index, tmp_path):
        written, written_ids = vectors(500, 32), random_ids(500)
        later, later_ids = vectors(200, 32, seed=1), random_ids(200, seed=2)
        sharded = make_index(32, 4, num_shards=3)
        sharded.add_with_ids(written, written_ids)
        sharded.write(tmp_path)
        sharded.add_with_ids(later, later_ids)  # never written
        kill_shard(sharded, 1)
        calls = [
            lambda: sharded.search(vectors(3, 32), 5),
            lambda: sharded.query(vectors(3, 32), 5, metric="l2"),
            lambda: len(sharded),
            lambda: sharded.add_with_ids(vectors(30, 32, seed=3), random_ids(30, seed=4)),
            lambda: sharded.write(tmp_path / "again"),
        ]
        for call in calls:
            with pytest.raises(ShardUnavailableError, match="shard 1 of 3 unavailable") as info:
                call()
            assert info.value.shards == (1,)
        assert not os.path.exists(tmp_path / "again" / "manifest.json")
        with pytest.warns(RuntimeWarning, match=r"shards \[1\] changed after the last write"):
            assert sharded.recover() == (1,)
        kept = shard_of(later_ids, 3) != 1  # later adds survive only on the live shards
        expected = single_index(32, 4, "rotor3", written, written_ids)
        expected.add_with_ids(later[kept], later_ids[kept])
        assert len(sharded) == len(expected)
        assert_same_search(sharded, expected, vectors(25, 32, seed=5), 10)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert sharded.recover() == ()

    def test_recover_without_a_write_refuses(self, make_index):
        sharded = make_index(16, 4, num_shards=2)
        kill_shard(sharded, 0)
        with pytest.raises(RuntimeError, match="never written"):
            sharded.recover()

    @pytest.mark.parametrize("cpus, threads", [(0.5, 1), (2, 2)])
    def test_shard_threads_follow_its_cpus(self, make_index, cpus, threads):
        sharded = make_index(16, 4, num_shards=1, num_cpus_per_shard=cpus)
        assert ray.get(sharded.actors[0].threads.remote()) == threads

    def test_start_times_out_on_a_cluster_too_small(self, cluster):
        with pytest.raises(TimeoutError, match="did not start"):
            ShardedIndex(16, 4, num_shards=1, num_cpus_per_shard=3, start_timeout=1)


def flip_byte(path, offset=40):
    raw = bytearray(path.read_bytes())
    raw[offset] ^= 1
    path.write_bytes(bytes(raw))


def edit_manifest(directory, change, reseal=False):
    path = directory / "manifest.json"
    manifest = json.loads(path.read_text())
    change(manifest)
    if reseal:  # an editor who also recomputes the manifest's own checksum
        manifest["checksum"] = distributed._manifest_checksum(manifest)
    path.write_text(json.dumps(manifest))


def swap_shard_files(directory):
    first, second = sorted(directory.glob("shard-*"))[:2]
    first_bytes = first.read_bytes()
    first.write_bytes(second.read_bytes())
    second.write_bytes(first_bytes)

    def swap(manifest):
        shards = manifest["shards"]
        for key in ("sha256", "bytes", "count"):
            shards[0][key], shards[1][key] = shards[1][key], shards[0][key]

    edit_manifest(directory, swap, reseal=True)


def replace_with(path, make):
    path.unlink()
    make(path)


def sparse_file(path, size):
    with open(path, "wb") as file:
        file.truncate(size)


@pytest.fixture(scope="module")
def written_directory(cluster, tmp_path_factory):
    directory = tmp_path_factory.mktemp("written")
    with ShardedIndex(32, 4, num_shards=3, num_cpus_per_shard=0.25) as sharded:
        sharded.add_with_ids(vectors(300, 32), random_ids(300))
        sharded.write(directory)
    return directory


@needs_ray
def test_write_follows_no_planted_link_and_leaves_no_staging(make_index, tmp_path):
    victim = tmp_path / "victim"
    victim.write_text("precious")
    directory = tmp_path / "index"
    directory.mkdir()
    for name in ("shard-00000.vnim.tmp", "shard-00001.vnim.tmp", "manifest.json.tmp"):  # the names once used
        (directory / name).symlink_to(victim)
    sharded = make_index(32, 4, num_shards=2)
    sharded.add_with_ids(vectors(50, 32), random_ids(50))
    sharded.write(directory)
    assert victim.read_text() == "precious"
    assert sorted(p.name for p in directory.iterdir() if not p.is_symlink()) == [
        "manifest.json", "shard-00000.vnim", "shard-00001.vnim"
    ]
    assert len(make_index(None, None, loader=lambda *_, **kw: ShardedIndex.load(directory, **kw))) == 50


@needs_ray
class TestTamperedFiles:
    @pytest.mark.parametrize(
        "tamper, message",
        [
            (lambda d: (d / "shard-00001.vnim").unlink(), "missing shard file shard-00001.vnim"),
            (lambda d: shutil.copy(d / "shard-00000.vnim", d / "shard-00003.vnim"), "unexpected shard file shard-000"),
            (lambda d: flip_byte(d / "shard-00002.vnim"), "shard-00002.vnim was altered"),
            (lambda d: open(d / "shard-00000.vnim", "ab").write(b"\0"), "shard-00000.vnim has .* bytes"),
            (lambda d: (d / "manifest.json").unlink(), "no manifest.json"),
            (lambda d: edit_manifest(d, lambda m: m.update(dim=64)), "manifest.json .* was altered"),
            (lambda d: edit_manifest(d, lambda m: m.update(bits=2), reseal=True), "does not match the manifest"),
            (lambda d: edit_manifest(d, lambda m: m.update(routing="id mod n"), reseal=True), "unknown routing"),
            (swap_shard_files, "route to another shard"),
            (lambda d: edit_manifest(d, lambda m: m["shards"][1].pop("bytes"), reseal=True), "no valid entry for shard"),
            # Hostile directories: nothing may hang, fill memory or escape as another error.
            (lambda d: replace_with(d / "shard-00000.vnim", lambda p: p.symlink_to("/dev/zero")), "not a regular"),
            (lambda d: replace_with(d / "shard-00001.vnim", os.mkfifo), "shard-00001.vnim .* not a regular file"),
            (lambda d: replace_with(d / "manifest.json", lambda p: p.symlink_to("/dev/zero")), "not a regular file"),
            (lambda d: replace_with(d / "manifest.json", os.mkfifo), "manifest.json .* not a regular file"),
            (lambda d: sparse_file(d / "manifest.json", 1 << 30), "larger than 16,777,216 bytes"),
            (lambda d: (d / "manifest.json").write_text("[" * 200_000 + "]" * 200_000), "nested too deeply"),
        ],
        ids=[
            "missing", "extra", "altered", "appended", "no-manifest", "manifest-edit", "bits", "routing", "swapped",
            "entry", "shard-device", "shard-fifo", "manifest-device", "manifest-fifo", "manifest-huge", "manifest-deep",
        ],
    )
    def test_load_refuses(self, written_directory, tmp_path, tamper, message):
        directory = tmp_path / "copy"
        shutil.copytree(written_directory, directory)
        tamper(directory)
        with pytest.raises(OSError, match=message):
            ShardedIndex.load(str(directory), num_cpus_per_shard=0.25)


@needs_ray
def test_partitioned_shards_return_what_one_partitioned_index_returns(make_index):
    data, queries = vectors(900, 32, seed=21), vectors(20, 32, seed=22)
    ids = np.arange(900, dtype=np.uint64) * 5 + 7
    single = PartitionedIndex(32, 4, 12)
    single.train(data)
    single.add_with_ids(data, ids)
    sharded = make_index(32, 4, num_shards=3, lists=12)
    sharded.train(data)
    sharded.add_with_ids(data, ids)
    assert len(sharded) == 900 and sharded.lists == 12
    for probes in (1, 5, 12):
        expected = single.search(queries, 10, probes=probes)
        found = sharded.search(queries, 10, probes=probes)
        np.testing.assert_array_equal(found[0], expected[0])
        np.testing.assert_array_equal(found[1], expected[1])


@needs_ray
def test_partitioned_shards_refuse_misuse(make_index):
    data = vectors(200, 16, seed=3)
    plain = make_index(16, 4, num_shards=2)
    with pytest.raises(TypeError, match="lists=N"):
        plain.search(data[:2], 5, probes=2)
    with pytest.raises(TypeError, match="lists=N"):
        plain.train(data)
    sharded = make_index(16, 4, num_shards=2, lists=4)
    with pytest.raises(ValueError, match="not trained"):
        sharded.add_with_ids(data, np.arange(200, dtype=np.uint64))  # not trained yet
    assert len(sharded) == 0
    sharded.train(data)
    sharded.add_with_ids(data, np.arange(200, dtype=np.uint64))
    with pytest.raises(ValueError):
        sharded.search(data[:2], 5, probes=5)


# ---------------------------------------------------------------------------
# query through shards, against one index of the same kind holding the same vectors


def outcome(call):
    """The result of a call, or the type and message of the error it raised."""
    try:
        return call()
    except (ValueError, TypeError, OverflowError, PanicException) as error:
        return type(error), str(error)


def assert_same_outcome(found, expected):
    if isinstance(expected[0], type):
        assert found == expected
    else:
        assert not isinstance(found[0], type), found
        assert_same_results(found, expected)


@pytest.fixture(scope="module", params=["exhaustive", "partitioned"])
def same_data(request, cluster):
    """A sharded index and one index of its kind, with the same 1,200 vectors of varied lengths
    and ids below 4,800, so that refine rows can be indexed by id."""
    dim, n = 64, 1200
    rng = np.random.default_rng(7)
    data = vectors(n, dim, seed=7) * rng.uniform(0.5, 2.0, (n, 1)).astype(np.float32)
    ids = rng.choice(4 * n, n, replace=False).astype(np.uint64)
    partitioned = request.param == "partitioned"
    lists = 6 if partitioned else None  # fewer than the 8 probes search takes by default
    # A tenth of a CPU per shard: these actors live as long as the module's other tests.
    sharded = ShardedIndex(dim, 4, num_shards=3, num_cpus_per_shard=0.1, lists=lists)
    single = PartitionedIndex(dim, 4, lists) if partitioned else IdMapIndex(dim, 4)
    if partitioned:
        sharded.train(data)
        single.train(data)
    sharded.add_with_ids(data, ids)
    single.add_with_ids(data, ids)
    by_id = np.zeros((4 * n, dim), np.float32)
    by_id[ids.astype(np.int64)] = data
    order = rng.permutation(n)
    yield {
        "sharded": sharded, "single": single, "ids": ids, "by_id": by_id, "rows": data[order],
        "row_ids": ids[order], "queries": vectors(25, dim, seed=8), "probes": {"probes": 3} if partitioned else {},
    }
    sharded.close()


QUERY_CASES = {
    "plain": (10, lambda d: {}),
    "cosine": (10, lambda d: {"metric": "cosine"}),
    "l2": (10, lambda d: {"metric": "l2"}),
    # Repeated ids and ids not stored are ignored.
    "allowed": (10, lambda d: {"allowed": np.concatenate([d["ids"][::9], d["ids"][:5], [4801]])}),
    "allowed-fewer-than-k": (10, lambda d: {"allowed": d["ids"][:4].tolist(), "metric": "l2"}),
    "allowed-none-stored": (5, lambda d: {"allowed": np.array([4801, 4802])}),
    "allowed-empty": (5, lambda d: {"allowed": []}),
    "refine": (10, lambda d: {"refine": d["by_id"]}),
    "refine-l2-factor-1": (10, lambda d: {"refine": d["by_id"], "metric": "l2", "refine_factor": 1}),
    "refine-ids-cosine": (10, lambda d: {"refine": d["rows"], "refine_ids": d["row_ids"], "metric": "cosine"}),
    # Rows only for what the filter lets through.
    "refine-ids-filtered": (
        5, lambda d: {"allowed": d["row_ids"][1:], "refine": d["rows"][1:], "refine_ids": d["row_ids"][1:]}
    ),
    "allowed-refine": (
        7, lambda d: {"allowed": d["ids"][::13], "refine": d["by_id"], "metric": "l2", "refine_factor": 3}
    ),
    "k-0": (0, lambda d: {"metric": "cosine"}),
    "k-above-size": (1500, lambda d: {"allowed": d["ids"][::40], "refine": d["by_id"]}),
}


@needs_ray
class TestQuery:
    @pytest.mark.parametrize("case", QUERY_CASES)
    def test_same_results_as_one_index(self, same_data, case):
        k, options = QUERY_CASES[case]
        options = {**options(same_data), **same_data["probes"]}
        queries = same_data["queries"]
        assert_same_outcome(
            outcome(lambda: same_data["sharded"].query(queries, k, **options)),
            outcome(lambda: same_data["single"].query(queries, k, **options)),
        )

    @pytest.mark.parametrize(
        "queries",
        [lambda q: q[0].astype(np.float64), lambda q: q[:3].tolist(), lambda q: q[:0], lambda q: np.asfortranarray(q)],
        ids=["one-float64", "lists", "no-rows", "fortran"],
    )
    def test_queries_taken_as_one_index_takes_them(self, same_data, queries):
        rows = queries(same_data["queries"])
        assert_same_outcome(
            outcome(lambda: same_data["sharded"].query(rows, 6, **same_data["probes"])),
            outcome(lambda: same_data["single"].query(rows, 6, **same_data["probes"])),
        )

    def test_filter_spread_over_shards_returns_every_allowed_id(self, same_data):
        allowed = same_data["ids"][:9]
        assert len(set(shard_of(allowed, 3).tolist())) == 3
        lists = {"probes": 6} if same_data["probes"] else {}  # every list: every allowed vector is found
        for given in (allowed, IdFilter(allowed)):
            _, found = same_data["sharded"].query(same_data["queries"], 9, allowed=given, **lists)
            assert found.shape == (25, 9) and all(sorted(row) == sorted(allowed.tolist()) for row in found.tolist())

    @pytest.mark.parametrize(
        "k, options",
        [
            (5, lambda d: {"metric": "x"}),
            (5, lambda d: {"allowed": [-1]}),
            (5, lambda d: {"allowed": np.array([1.0])}),
            (5, lambda d: {"allowed": d["ids"][None, :4]}),
            (-1, lambda d: {}),
            (5, lambda d: {"bogus": 1}),
            (5, lambda d: {"refine": d["by_id"][:4000]}),  # too short for the largest id
            (5, lambda d: {"refine": d["by_id"][:, :32].copy()}),
            (5, lambda d: {"refine": d["by_id"].astype(np.float64)}),
            (5, lambda d: {"refine": d["by_id"], "refine_factor": 0}),
            (5, lambda d: {"refine": d["rows"], "refine_ids": np.concatenate([d["row_ids"][:1], d["row_ids"][:-1]])}),
            (5, lambda d: {"refine": d["rows"][1:], "refine_ids": d["row_ids"][1:]}),  # a stored id has no row
        ],
        ids=[
            "metric", "allowed-negative", "allowed-float", "allowed-2d", "k-negative", "unknown-option",
            "refine-short", "refine-columns", "refine-float64", "refine-factor-0", "refine-ids-repeated",
            "refine-ids-missing",
        ],
    )
    def test_refused_as_one_index_refuses(self, same_data, k, options):
        options = {**options(same_data), **same_data["probes"]}
        queries = same_data["queries"]
        expected = outcome(lambda: same_data["single"].query(queries, k, **options))
        found = outcome(lambda: same_data["sharded"].query(queries, k, **options))
        if same_data["probes"] and isinstance(expected[0], type) and "may be returned" in expected[1]:
            # A partitioned index checks its candidates' rows as it meets them: the id it names
            # depends on that order, which shards do not share.
            expected, found = ((o[0], re.sub(r"id \d+", "id N", o[1])) if isinstance(o[0], type) else o
                               for o in (expected, found))
        assert_same_outcome(found, expected)

    @pytest.mark.parametrize(
        "queries, options",
        [
            (lambda q: q[:, :32].copy(), {}),
            (lambda q: [["a"] * 64], {}),
            # IdMapIndex refuses it in the shards, which the caller's checks do not see.
            (lambda q: q * np.float32(1e20), {"metric": "l2"}),
        ],
        ids=["columns", "strings", "l2-overflow"],
    )
    def test_bad_queries_taken_as_one_index_takes_them(self, same_data, queries, options):
        rows, options = queries(same_data["queries"]), {**options, **same_data["probes"]}
        assert_same_outcome(
            outcome(lambda: same_data["sharded"].query(rows, 5, **options)),
            outcome(lambda: same_data["single"].query(rows, 5, **options)),
        )

    def test_refine_row_with_nan_is_refused_where_it_is_used(self, same_data):
        if same_data["probes"]:
            pytest.skip("a PartitionedIndex does not look for NaN in its refine rows")
        queries = same_data["queries"][:1]
        best = int(same_data["single"].query(queries, 1)[1][0, 0])
        refine = same_data["by_id"].copy()
        refine[best, 3] = np.nan
        expected = outcome(lambda: same_data["single"].query(queries, 3, refine=refine))
        assert expected == (ValueError, f"refine row {best} has a NaN or infinite value")
        assert outcome(lambda: same_data["sharded"].query(queries, 3, refine=refine)) == expected
        unused = np.full_like(refine, np.nan)
        unused[same_data["ids"].astype(np.int64)] = same_data["by_id"][same_data["ids"].astype(np.int64)]
        assert_same_outcome(
            outcome(lambda: same_data["sharded"].query(queries, 3, refine=unused)),
            outcome(lambda: same_data["single"].query(queries, 3, refine=unused)),
        )

    @pytest.mark.parametrize(
        "call",
        [
            lambda index, q: index.search(q, -1),
            lambda index, q: index.search(q, 2.5),
            lambda index, q: index.search(q.astype(np.float64), 3),
            lambda index, q: index.search(np.asfortranarray(q), 3),
            lambda index, q: index.contains(-1),
            lambda index, q: index.contains("7"),
            lambda index, q: index.remove(2**64),
        ],
        ids=["k-negative", "k-float", "float64", "fortran", "id-negative", "id-str", "id-too-large"],
    )
    def test_other_arguments_checked_as_one_index_checks_them(self, same_data, call):
        queries = same_data["queries"]
        expected = outcome(lambda: call(same_data["single"], queries))
        # A partitioned index takes float64 and Fortran-ordered queries (converted once).
        assert isinstance(expected[0], type) or same_data["probes"]
        assert_same_outcome(outcome(lambda: call(same_data["sharded"], queries)), expected)

    def test_search_probes_as_one_partitioned_index(self, same_data):
        if not same_data["probes"]:
            pytest.skip("probes are the partitioned kind's")
        sharded, single, queries = same_data["sharded"], same_data["single"], same_data["queries"]
        assert_same_results(sharded.search(queries, 10), single.search(queries, 10))  # by default min(8, lists)
        for probes in (0, 7):
            expected = outcome(lambda: single.search(queries, 10, probes=probes))
            assert outcome(lambda: sharded.search(queries, 10, probes=probes)) == expected


# ---------------------------------------------------------------------------
# Partitioned shards in files


@needs_ray
@pytest.mark.parametrize("dim", [32, 20])  # 20: coded with zeros up to 24 inside each shard file
def test_partitioned_shards_written_loaded_and_recovered(make_index, tmp_path, dim):
    data, ids, queries = vectors(900, dim, seed=21), random_ids(900), vectors(20, dim, seed=22)
    sharded = make_index(dim, 4, num_shards=3, lists=8, num_cpus_per_shard=0.1)
    sharded.train(data)
    sharded.add_with_ids(data[:600], ids[:600])
    sharded.write(tmp_path)
    sharded.add_with_ids(data[600:], ids[600:])  # never written
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "manifest.json", "shard-00000.vnip", "shard-00001.vnip", "shard-00002.vnip"
    ]
    single = PartitionedIndex(dim, 4, 8)
    single.train(data)
    single.add_with_ids(data[:600], ids[:600])
    for shard in range(3):  # each an ordinary PartitionedIndex file holding its shard's ids
        part = PartitionedIndex.load(str(tmp_path / f"shard-{shard:05d}.vnip"))
        np.testing.assert_array_equal(part.centroids(), single.centroids())
        assert len(part) == np.count_nonzero(shard_of(ids[:600], 3) == shard)
    loaded = make_index(str(tmp_path), loader=ShardedIndex.load, num_cpus_per_shard=0.1)
    assert (loaded.lists, len(loaded)) == (8, 600)
    options = {"probes": 3, "metric": "l2", "allowed": ids[:900:3]}  # the loaded shards know their ids
    assert_same_results(loaded.query(queries, 10, **options), single.query(queries, 10, **options))

    kill_shard(sharded, 1)
    with pytest.raises(ShardUnavailableError, match="shard 1 of 3"):
        sharded.query(queries, 10)
    with pytest.warns(RuntimeWarning, match=r"shards \[1\] changed after the last write"):
        assert sharded.recover() == (1,)
    kept = shard_of(ids[600:], 3) != 1  # later adds survive only on the live shards
    single.add_with_ids(data[600:][kept], ids[600:][kept])
    assert len(sharded) == len(single)
    assert_same_results(sharded.search(queries, 10, probes=5), single.search(queries, 10, probes=5))


@needs_ray
def test_untrained_partitioned_shards_load_and_train(make_index, tmp_path):
    make_index(16, 4, num_shards=1, lists=4).write(tmp_path)
    loaded = make_index(str(tmp_path), loader=ShardedIndex.load)
    data = vectors(100, 16, seed=2)
    loaded.train(data)
    loaded.add_with_ids(data, np.arange(100, dtype=np.uint64))
    assert loaded.search(data[:1], 1, probes=4)[1][0, 0] == 0


@needs_ray
def test_train_on_shards_holding_vectors_changes_no_shard(make_index):
    data = vectors(300, 16, seed=3)
    sharded = make_index(16, 4, num_shards=3, lists=4)
    sharded.train(data)
    before = [ray.get(actor.centroids.remote()) for actor in sharded.actors]
    sharded.add_with_ids(data[:1], np.array([7], np.uint64))  # one shard holds a vector, two are empty
    with pytest.raises((PanicException, ValueError), match="empty"):
        sharded.train(data[::-1] * 3)
    for actor, centroids in zip(sharded.actors, before):
        np.testing.assert_array_equal(ray.get(actor.centroids.remote()), centroids)


@pytest.fixture(scope="module")
def written_partitioned_directory(cluster, tmp_path_factory):
    directory = tmp_path_factory.mktemp("written-partitioned")
    data = vectors(300, 32, seed=4)
    with ShardedIndex(32, 4, num_shards=2, num_cpus_per_shard=0.25, lists=4) as sharded:
        sharded.train(data)
        sharded.add_with_ids(data, random_ids(300))
        sharded.write(directory)
    return directory


def replace_shard_file(directory, name, data):
    """Puts `data` in a shard file and records it in the manifest as its writer would."""
    import hashlib

    (directory / name).write_bytes(data)

    def record(manifest):
        entry = next(e for e in manifest["shards"] if e["file"] == name)
        entry.update(bytes=len(data), sha256=hashlib.sha256(data).hexdigest())

    edit_manifest(directory, record, reseal=True)


def other_centroids_in(directory):
    index = PartitionedIndex.load(str(directory / "shard-00001.vnip"))
    replacement = PartitionedIndex(32, 4, 4)
    replacement.set_centroids(index.centroids() * 2)
    replace_shard_file(directory, "shard-00001.vnip", replacement.to_bytes())


def id_map_file_in(directory):
    index = IdMapIndex(32, 4)
    replace_shard_file(directory, "shard-00000.vnip", index.to_bytes())


@needs_ray
@pytest.mark.parametrize(
    "tamper, message",
    [
        (swap_shard_files, "route to another shard"),
        (other_centroids_in, "shard-00001.vnip does not match the manifest's .* centroids"),
        (lambda d: edit_manifest(d, lambda m: m.update(lists=8), reseal=True), "does not match the manifest's"),
        (id_map_file_in, "shard-00000.vnip is not a version 2 or 3 VNIP file"),
        (lambda d: edit_manifest(d, lambda m: m.pop("lists"), reseal=True), "no valid lists or centroids"),
        (lambda d: edit_manifest(d, lambda m: m.update(version=1), reseal=True), "names lists"),
    ],
    ids=["swapped", "centroids", "lists", "id-map-file", "no-lists", "version-1"],
)
def test_partitioned_load_refuses(written_partitioned_directory, tmp_path, tamper, message):
    directory = tmp_path / "copy"
    shutil.copytree(written_partitioned_directory, directory)
    tamper(directory)
    with pytest.raises(OSError, match=message):
        ShardedIndex.load(str(directory), num_cpus_per_shard=0.25)
