"""The document store under the framework integrations: filters, atomic changes, persistence."""

import contextlib
import os
import sqlite3

import numpy as np
import pytest

from varnel import IdMapIndex
from varnel._docstore import DocumentStore, StoreFormatError

ROWS = [
    {"n": 0, "kind": "a", "tags": ["x", "y"], "score": 0.5},
    {"n": 1, "kind": "b", "tags": ["y"]},
    {"n": 2, "kind": "a", "tags": [], "flag": True},
    {"n": 3, "kind": "c", "note": None},
    {"n": 4, "kind": "B", "name": "Alpha beta"},
]


def embeddings(n, dim=6, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


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
    ],
)
def test_bad_filters_are_refused(store, where, message):
    with pytest.raises(ValueError, match=message):
        store.search(embeddings(1), 3, where=where)


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
    # Closed at once: a connection left to the garbage collector would move its
    # write-ahead log into store.sqlite at some later moment.
    with contextlib.closing(sqlite3.connect(directory / "store.sqlite")) as db, db:
        yield db


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
