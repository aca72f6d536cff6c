"""The document store under the framework integrations: filters, atomic changes, persistence."""

import builtins
import contextlib
import itertools
import os
import pathlib
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import traceback

import numpy as np
import pytest

from varnel import IdMapIndex
from varnel._docstore import MAX_FILTER_CONDITIONS, MAX_FILTER_DEPTH, DocumentStore, StoreFormatError

ROWS = [
    {"n": 0, "kind": "a", "tags": ["x", "y"], "score": 0.5},
    {"n": 1, "kind": "b", "tags": ["y"]},
    {"n": 2, "kind": "a", "tags": [], "flag": True},
    {"n": 3, "kind": "c", "note": None},
    {"n": 4, "kind": "B", "name": "Alpha beta"},
]


def embeddings(n, dim=6, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def _nested(op, depth):
    where = {"n": 1}
    for _ in range(depth):
        # The second part of $and holds everywhere, that of $or nowhere.
        where = {op: where} if op == "$not" else {op: [where, {"n": {"$gte" if op == "$and" else "$lt": 0}}]}
    return where


@pytest.fixture(params=["memory", "directory"])
def store(request, tmp_path):
    directory = None if request.param == "memory" else tmp_path / "store"
    store = DocumentStore(directory=directory)
    store.upsert([f"k{i}" for i in range(5)], [f"text {i}" for i in range(5)], ROWS, embeddings(5))
    yield store
    store.close()


@pytest.mark.parametrize(
    "where, expected",
    [
        ({"kind": "a"}, [0, 2]),
        ({"kind": {"$eq": "a"}, "n": {"$gt": 0}}, [2]),
        ({"kind": ["b", "c"]}, [1, 3]),
        ({"kind": {"$nin": ["a", "b"]}}, [3, 4]),
        ({"kind": {"$ne": "a"}}, [1, 3, 4]),
        ({"score": {"$ne": 0.5}}, [1, 2, 3, 4]),  # a missing field is "not equal"
        ({"n": {"$gte": 1, "$lte": 3}}, [1, 2, 3]),
        ({"n": {"$lt": "z"}}, []),  # strings never compare with numbers
        ({"kind": {"$gt": "a"}}, [1, 3]),
        ({"$or": [{"n": 0}, {"kind": "c"}]}, [0, 3]),
        ({"$and": [{"kind": "a"}, {"$not": {"n": 0}}]}, [2]),
        ({"$or": []}, []),
        ({"$and": []}, [0, 1, 2, 3, 4]),
        ({"tags": {"$contains": "y"}}, [0, 1]),
        ({"tags": {"$any": ["x", "q"]}}, [0]),
        ({"tags": {"$all": ["x", "y"]}}, [0]),
        ({"flag": True}, [2]),
        ({"note": None}, [3]),
        ({"note": {"$exists": True}}, [3]),
        ({"name": {"$exists": False}, "n": {"$gt": 2}}, [3]),
        ({"tags": {"$empty": True}}, [2, 3, 4]),
        ({"name": {"$text": "beta"}}, [4]),
        ({"name": {"$itext": "ALPHA"}}, [4]),
        ({"$key": ["k1", "k4", "nope"]}, [1, 4]),
        ({"tags": {"$all": []}}, [0, 1, 2, 3, 4]),
        ({"$or": [{"n": 1}, {"n": {"$in": [4]}}, {"note": None}, {"kind": "zz"}]}, [1, 3, 4]),
        # Lists longer than a few dozen values travel as one parameter.
        ({"n": {"$in": [1.0, 3.5, 4] + list(range(100, 40_000))}}, [1, 4]),
        ({"n": {"$nin": list(range(1, 40_000))}}, [0]),
        ({"kind": ["a", "x\x00y"] + [f"z{i}" for i in range(100)]}, [0, 2]),
        ({"tags": {"$all": ["y"] * 100}}, [0, 1]),
        ({"tags": {"$any": ["x"] + [f"z{i}" for i in range(100)]}}, [0]),
        ({"$key": ["k1"] + [f"no{i}" for i in range(100)]}, [1]),
    ],
)
def test_filters_select_the_matching_documents(store, where, expected):
    assert store.keys(where) == [f"k{i}" for i in expected]
    found = store.search(embeddings(1, seed=9), 10, where=where)[0]
    assert sorted(record.key for record, _, _ in found) == [f"k{i}" for i in expected]


@pytest.mark.parametrize(
    "where, message",
    [
        ({"n": {"$regex": "a"}}, "unknown filter operator '\\$regex'"),
        ({"$xor": []}, "unknown filter operator"),
        ({"n": {"$gt": [1]}}, "takes a string, number"),
        ({"n": {"$in": 3}}, "takes a list"),
        ({"n": {"$gt": float("nan")}}, "not a finite number"),
        ({"n": {}}, "is empty"),
        ({"$and": {"n": 1}}, "takes a list of filters"),
        ([("n", 1)], "must be a mapping"),
        (_nested("$not", MAX_FILTER_DEPTH + 1), f"deeper than {MAX_FILTER_DEPTH} levels"),
        ({"$or": [{"n": {"$gt": i}} for i in range(MAX_FILTER_CONDITIONS + 1)]}, "more than 5000 conditions"),
        ({"n": {"$in": [i + 0.5 for i in range(40_000)]}}, "binds 40002 values"),
        ({"kind": "\ud800"}, "lone surrogate"),
        ({"\ud800": 1}, "lone surrogate"),
    ],
)
def test_bad_filters_are_refused(store, where, message):
    with pytest.raises(ValueError, match=message):
        store.search(embeddings(1), 3, where=where)


def test_wide_and_deep_filters_run(store):
    # SQLite takes 500 terms in one compound and nests subqueries only about
    # ten deep; the filters are combined in groups and as named parts.
    assert store.keys({"$or": [{"n": {"$gt": 10 + i}} for i in range(599)] + [{"kind": "c"}]}) == ["k3"]
    assert store.keys({"$or": [{"n": i} for i in range(600)]}) == [f"k{i}" for i in range(5)]
    assert store.keys({"$and": [{"n": {"$lt": 10 + i}} for i in range(600)] + [{"kind": "a"}]}) == ["k0", "k2"]
    for op in ("$and", "$or"):
        assert store.keys(_nested(op, MAX_FILTER_DEPTH)) == ["k1"]
    assert store.keys(_nested("$not", MAX_FILTER_DEPTH)) == ["k1"]
    assert store.keys(_nested("$not", MAX_FILTER_DEPTH - 1)) == ["k0", "k2", "k3", "k4"]


def test_filtered_search_is_exact_and_runs_inside_the_scan():
    # 2,000 documents, the filter admits 1 %: every admitted document competes,
    # and the best of them come back in the exact order of the float vectors.
    count, dim = 2000, 24
    data = embeddings(count, dim, seed=1)
    store = DocumentStore(dim, bits=2)
    store.upsert([str(i) for i in range(count)], [""] * count, [{"group": i % 100} for i in range(count)], data)
    query = embeddings(1, dim, seed=2)[0]
    found = store.search(query, 10, where={"group": 7})[0]
    members = np.arange(7, count, 100)
    cosine = data[members] @ query / np.linalg.norm(data[members], axis=1) / np.linalg.norm(query)
    expected = members[np.argsort(-cosine, kind="stable")][:10]
    assert [int(record.key) for record, _, _ in found] == expected.tolist()
    np.testing.assert_allclose([score for _, score, _ in found], np.sort(cosine)[::-1][:10], rtol=1e-5)


@pytest.mark.parametrize("metric", ["cosine", "ip", "l2"])
def test_padding_keeps_scores_and_refine_off_keeps_codes_only(metric):
    data = embeddings(50, 12, seed=3)
    exact = DocumentStore(metric=metric)
    coded = DocumentStore(metric=metric, refine=False)
    for store in (exact, coded):
        store.upsert([str(i) for i in range(50)], [""] * 50, [{}] * 50, data)
    query = data[7]
    (best, score, _), *_ = exact.search(query, 3)[0]
    expected = {"cosine": 1.0, "ip": float(query @ query), "l2": 0.0}[metric]
    assert best.key == "7" and score == pytest.approx(expected, abs=1e-5)
    assert exact.memory_bytes()["refine_rows"] == 50 * 16 * 4  # dim 12 padded to 16
    assert coded.memory_bytes()["refine_rows"] == 0 and len(coded.search(query, 5)[0]) == 5


def test_upsert_replaces_by_key_and_reuses_freed_ids(store):
    store.upsert(["k1", "new"], ["changed", "fresh"], [{"n": 10}, {}], embeddings(2, seed=5))
    assert len(store) == 6 and store.get(["k1"])[0].text == "changed"
    assert store.keys({"n": 1}) == [] and store.keys({"n": 10}) == ["k1"]
    assert store.delete(["k0", "k0", "missing"]) == 1 and len(store) == 5
    store.upsert(["again"], ["x"], [{}], embeddings(1, seed=6))
    assert store._settings["next_uid"] == 7  # the freed id was taken, the rows did not grow
    assert store.search(embeddings(1, seed=6), 1)[0][0][0].key == "again"


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda s: s.upsert(["a", "b"], ["t"], [{}, {}], embeddings(2)), "2 keys but 1 texts"),
        (lambda s: s.upsert(["a"], ["t"], [{}], embeddings(2)), "expected 1 embeddings"),
        (lambda s: s.upsert(["a"], ["t"], [{}], embeddings(1, dim=7)), "7 dimensions, the store 6"),
        (lambda s: s.upsert(["a", "a"], ["t", "t"], [{}, {}], embeddings(2)), "appears more than once"),
        (lambda s: s.upsert([1], ["t"], [{}], embeddings(1)), "must be a string"),
        (lambda s: s.upsert(["a"], ["t"], [{"when": object()}], embeddings(1)), "is not JSON"),
        (lambda s: s.upsert(["a"], ["t"], [{"x": float("inf")}], embeddings(1)), "not valid JSON"),
        (lambda s: s.upsert(["a"], ["t"], [{1: "x"}], embeddings(1)), "is not a string"),
        (lambda s: s.upsert(["a"], ["t"], [{"x": 2**70}], embeddings(1)), "64-bit"),
        (lambda s: s.upsert(["a"], ["t"], [{}], np.full((1, 6), np.nan)), "finite"),
        (lambda s: s.upsert(["k0", "a"], ["t", "\ud800"], [{}, {}], embeddings(2)), "surrogate"),
    ],
)
def test_bad_input_changes_nothing(store, change, message):
    before = (store.keys(), [r.text for r in store.get(store.keys())], len(store))
    with pytest.raises((ValueError, UnicodeEncodeError), match=message):
        change(store)
    assert (store.keys(), [r.text for r in store.get(store.keys())], len(store)) == before
    assert store.search(embeddings(1), 10)[0][0][0].key in before[0]


def test_a_failed_index_write_leaves_table_and_index_as_they_were(tmp_path):
    store = DocumentStore(directory=tmp_path / "s")
    store.upsert(["a", "b"], ["A", "B"], [{}, {}], embeddings(2))
    # A directory where the next index file goes makes that write fail.
    blocker = tmp_path / "s" / f"index-{store._settings['generation'] + 1}.vnim"
    blocker.mkdir()
    with pytest.raises(OSError):
        store.upsert(["b", "c"], ["B2", "C"], [{}, {}], embeddings(2, seed=4))
    with pytest.raises(OSError):
        store.delete(["a"])
    assert store.keys() == ["a", "b"] and store.get(["b"])[0].text == "B" and len(store) == 2
    assert store.search(embeddings(1, seed=4), 5)[0][0][0].key in ("a", "b")
    blocker.rmdir()
    store.upsert(["c"], ["C"], [{}], embeddings(1, seed=4))
    store.close()
    again = DocumentStore.load(tmp_path / "s")
    assert again.keys() == ["a", "b", "c"] and len(again) == 3


def test_a_crash_between_index_file_and_table_commit_pairs_them_correctly(tmp_path):
    # The next generation's index file is written, the table never names it.
    store = DocumentStore(directory=tmp_path / "s")
    store.upsert(["a"], ["A"], [{}], embeddings(1))
    generation = store._settings["generation"]
    orphan = IdMapIndex(8, 4)
    orphan.add_with_ids(np.zeros((3, 8), np.float32) + 1, np.arange(3, dtype=np.uint64))
    orphan.write(tmp_path / "s" / f"index-{generation + 1}.vnim")
    store.close()
    again = DocumentStore.load(tmp_path / "s")
    assert again.keys() == ["a"] and len(again) == 1
    assert sorted(os.listdir(tmp_path / "s")).count(f"index-{generation + 1}.vnim") == 0


def test_save_and_load_round_trip_and_replace(store, tmp_path):
    query = embeddings(2, seed=8)
    before = store.search(query, 3, where={"kind": {"$ne": "c"}})
    store.save(tmp_path / "copy")
    store.save(tmp_path / "copy")  # replaces the earlier copy
    again = DocumentStore.load(tmp_path / "copy")
    assert again.search(query, 3, where={"kind": {"$ne": "c"}}) == before
    assert (again.metric, again.bits, again.dim, again.refine) == (store.metric, store.bits, 6, True)
    with pytest.raises(RuntimeError, match="open in another store"):
        DocumentStore.load(tmp_path / "copy")
    again.close()
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="holds no document store"):
        store.save(tmp_path / "other")


_HOLDER = """
import sys
import numpy as np
from varnel._docstore import DocumentStore
store = DocumentStore(directory=sys.argv[1])
store.upsert(["o1"], ["one"], [{}], np.ones((1, 6), np.float32))
print("open", flush=True)
sys.stdin.readline()
store.upsert(["o2"], ["two"], [{}], np.full((1, 6), 2, np.float32))
store.close()
"""


def test_save_onto_a_store_another_process_holds_is_refused_and_changes_nothing(tmp_path):
    directory = tmp_path / "held"
    holder = subprocess.Popen([sys.executable, "-c", _HOLDER, str(directory)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "open\n"
        before = {path.name: path.read_bytes() for path in directory.iterdir()}
        other = DocumentStore()
        other.upsert(["x"], ["X"], [{}], embeddings(1))
        with pytest.raises(RuntimeError, match="another store \\(or another process\\) has it open"):
            other.save(directory)
        assert {path.name: path.read_bytes() for path in directory.iterdir()} == before
        holder.stdin.write("\n")
        holder.stdin.flush()
        assert holder.wait(timeout=60) == 0
    finally:
        if holder.poll() is None:
            holder.kill()
    assert DocumentStore.load(directory).keys() == ["o1", "o2"]


@pytest.fixture
def fast_tmp(tmp_path):
    """A folder in memory where there is one: the crash tests sync files often."""
    if not (os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK)):
        yield tmp_path
        return
    with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
        yield pathlib.Path(folder)


_FILE_OPERATIONS = [
    (os, "open"), (os, "mkdir"), (os, "rename"), (os, "replace"), (os, "remove"), (os, "unlink"),
    (os, "rmdir"), (os, "fsync"), (os, "truncate"), (builtins, "open"), (sqlite3, "connect"),
]


def _killed_at(at, action):
    """Runs `action` in a child process that dies at its `at`-th file operation (as
    if killed there); True if it finished before."""
    pid = os.fork()
    if pid == 0:
        calls = itertools.count(1)

        def counted(function):
            def call(*args, **kwargs):
                if next(calls) == at:
                    os._exit(9)
                return function(*args, **kwargs)
            return call

        try:
            for module, name in _FILE_OPERATIONS:
                setattr(module, name, counted(getattr(module, name)))
            action()
        except BaseException:
            traceback.print_exc()
            os._exit(1)
        os._exit(0)
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    assert status in (0, 9)
    return status == 0


@pytest.mark.parametrize("over_a_store", [True, False])
def test_a_save_killed_at_any_file_operation_leaves_the_old_store_or_the_new(fast_tmp, over_a_store):
    old = DocumentStore(directory=fast_tmp / "old")
    old.upsert(["a", "b"], ["A", "B"], [{}, {}], embeddings(2))
    old.close()
    new = DocumentStore(refine=False)  # other files than the old store: no vectors
    new.upsert(["c", "d", "e"], ["C", "D", "E"], [{}, {}, {}], embeddings(3, seed=1))
    target = fast_tmp / "target"
    seen = set()
    for at in itertools.count(1):
        shutil.rmtree(target, ignore_errors=True)
        if over_a_store:
            shutil.copytree(fast_tmp / "old", target)
        finished = _killed_at(at, lambda: new.save(target))
        try:
            loaded = DocumentStore.load(target)
        except FileNotFoundError:
            assert not over_a_store and not finished
            new.save(target)  # what the crash left is in nobody's way
            loaded = DocumentStore.load(target)
            seen.add("none")
        keys = loaded.keys()
        assert keys in (["a", "b"], ["c", "d", "e"]) and len(loaded) == len(keys)
        assert sorted(record.key for record, _, _ in loaded.search(embeddings(1), 5)[0]) == keys
        loaded.close()
        seen.add(tuple(keys))
        assert not [name for name in os.listdir(target) if name.startswith(".")]
        assert sorted(os.listdir(fast_tmp)) == ["old", "target"]
        if finished:
            break
    assert at > 10 and seen == ({("a", "b")} if over_a_store else {"none"}) | {("c", "d", "e")}


@pytest.mark.parametrize("dim", [6, None])
def test_creating_a_store_killed_at_any_file_operation_leaves_it_creatable(fast_tmp, dim):
    target = fast_tmp / "new"
    seen = set()
    for at in itertools.count(1):
        shutil.rmtree(target, ignore_errors=True)
        finished = _killed_at(at, lambda: DocumentStore(dim, directory=target, bits=2).close())
        # A store the crash left half-made is completed (bits=2), or made anew (the default, 4).
        store = DocumentStore(dim, directory=target)
        assert len(store) == 0 and store.dim == dim and store.bits in ((2,) if finished else (2, 4))
        seen.add(store.bits)
        store.upsert(["a"], ["A"], [{}], embeddings(1))
        store.close()
        loaded = DocumentStore.load(target)
        assert loaded.keys() == ["a"] and loaded.search(embeddings(1), 1)[0][0][0].key == "a"
        loaded.close()
        if finished:
            break
    assert at > 10 and seen == {2, 4}


@pytest.mark.parametrize("leftover", ["lock file", "index file", "vectors file"])
def test_a_store_an_earlier_version_left_half_made_is_completed(tmp_path, leftover):
    directory = tmp_path / "s"
    DocumentStore(None if leftover == "vectors file" else 6, directory=directory).close()
    if leftover == "lock file":
        for path in directory.iterdir():
            if path.name != "store.lock":
                path.unlink()
    else:
        (directory / ("index-0.vnim" if leftover == "index file" else "vectors.f32")).unlink()
    store = DocumentStore(directory=directory)
    store.upsert(["a"], ["A"], [{}], embeddings(1))
    store.close()
    assert DocumentStore.load(directory).keys() == ["a"]


@pytest.mark.parametrize("manifest", [None, b'[["x"]]', b'["store.sqlite", "../notes.txt"]', b"[" * 5000])
def test_a_committed_save_with_a_damaged_manifest_is_refused(tmp_path, manifest):
    store = DocumentStore(directory=tmp_path / "s")
    store.upsert(["a"], ["A"], [{}], embeddings(1))
    store.close()
    ready = tmp_path / "s" / ".varnel-ready"
    ready.mkdir()
    if manifest is not None:
        (ready / "manifest.json").write_bytes(manifest)
    with pytest.raises(StoreFormatError, match="cannot be completed"):
        DocumentStore.load(tmp_path / "s")
    shutil.rmtree(ready)
    assert DocumentStore.load(tmp_path / "s").keys() == ["a"]


def test_temporary_index_files_of_a_killed_writer_are_removed_at_open(fast_tmp):
    directory = fast_tmp / "s"
    count, dim = 20_000, 32
    store = DocumentStore(dim, directory=directory, refine=False)
    store.upsert([str(i) for i in range(count)], [""] * count, [{}] * count, embeddings(count, dim))
    store.close()

    def temporary():
        return [name for name in os.listdir(directory) if ".tmp-" in name]

    for _ in range(20):
        pid = os.fork()
        if pid == 0:
            try:
                writer = DocumentStore.load(directory)
                for seed in itertools.count():
                    writer.upsert(["extra"], [""], [{}], embeddings(1, dim, seed=seed))
            finally:
                os._exit(1)
        deadline = time.monotonic() + 10
        while not temporary() and time.monotonic() < deadline:
            pass
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        if temporary():
            break
    assert temporary()
    again = DocumentStore.load(directory)
    assert temporary() == [] and len(again) in (count, count + 1)


def test_a_dropped_store_releases_its_directory(tmp_path):
    store = DocumentStore(directory=tmp_path / "s")
    store.upsert(["a"], ["A"], [{}], embeddings(1))
    del store
    assert DocumentStore.load(tmp_path / "s").keys() == ["a"]


def test_reopening_with_other_settings_is_refused(tmp_path):
    DocumentStore(directory=tmp_path / "s", bits=2).close()
    with pytest.raises(ValueError, match="bits=2, not 4"):
        DocumentStore(directory=tmp_path / "s", bits=4)
    DocumentStore(directory=tmp_path / "s").close()  # unset settings are taken from the store


@contextlib.contextmanager
def _database(directory):
    # Closed at once: a connection left to the garbage collector would move
    # its log into the file at some later moment, in the middle of a test.
    db = sqlite3.connect(directory / "store.sqlite")
    try:
        with db:
            yield db
    finally:
        db.close()


def _tamper(directory, how):
    if how == "version":
        with _database(directory) as db:
            db.execute("UPDATE settings SET value = 99 WHERE name = 'version'")
    elif how == "metadata":
        with _database(directory) as db:
            db.execute("UPDATE documents SET metadata = '{broken' WHERE key = 'k1'")
    elif how == "extra row":
        with _database(directory) as db:
            db.execute("INSERT INTO documents (uid, key, metadata) VALUES (4, 'ghost', '{}')")
            db.execute("UPDATE settings SET value = 5 WHERE name = 'next_uid'")
    elif how == "index bit flip":
        (path,) = directory.glob("index-*.vnim")
        data = bytearray(path.read_bytes())
        data[len(data) // 2] ^= 1
        path.write_bytes(bytes(data))
    elif how == "index missing":
        (path,) = directory.glob("index-*.vnim")
        path.unlink()
    elif how == "vectors cut":
        os.truncate(directory / "vectors.f32", 10)
    elif how == "not sqlite":
        (directory / "store.sqlite").write_bytes(b"garbage" * 100)
        for extra in directory.glob("store.sqlite-*"):
            extra.unlink()


@pytest.mark.parametrize(
    "how, message",
    [
        ("version", "another version"),
        ("metadata", "not JSON"),
        ("extra row", "hold different documents"),
        ("index bit flip", "cannot be loaded"),
        ("index missing", "cannot be loaded"),
        ("vectors cut", "not whole rows"),
        ("not sqlite", "cannot be read"),
    ],
)
def test_a_tampered_directory_is_refused_and_left_alone(tmp_path, how, message):
    directory = tmp_path / "s"
    store = DocumentStore(directory=directory)
    store.upsert(["k0", "k1", "k2"], ["a", "b", "c"], [{}, {}, {}], embeddings(3))
    store.close()
    _tamper(directory, how)
    listing = {p.name: p.read_bytes() for p in directory.iterdir() if not p.name.startswith("store.sqlite-")}
    with pytest.raises(StoreFormatError, match=message):
        DocumentStore.load(directory)
    after = {p.name: p.read_bytes() for p in directory.iterdir() if not p.name.startswith("store.sqlite-")}
    assert after == listing
    with pytest.raises(FileNotFoundError, match="holds no document store"):
        DocumentStore.load(tmp_path / "nothing")


def test_import_varnel_imports_no_framework():
    import subprocess
    import sys

    script = "import sys, varnel, varnel._docstore; sys.exit(any(m.startswith(('langchain', 'llama_index')) for m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", script], timeout=60).returncode == 0
