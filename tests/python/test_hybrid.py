"""Keyword (BM25) and hybrid search in the document store: the index kept with the documents, fusion, upgrades."""

import contextlib
import sqlite3

import numpy as np
import pytest

from varnel import _keyword
from varnel._docstore import DocumentStore, StoreFormatError
from varnel._fusion import check_fusion, reciprocal_rank_fusion, relative_score_fusion

TEXTS = [
    "zymurgy: the branch of chemistry concerned with fermentation",
    "a cat sat on the mat",
    "the dog chased the cat around the garden",
    "New York is a large city",
    "a new car from York",
    "the chemistry of cooking",
]
META = [{"n": i, "title": t, "tags": ["even" if i % 2 == 0 else "odd"]} for i, t in enumerate(["Brewing", "Pets", "Pets", "Places", "Cars", "Kitchen"])]


def embeddings(n, dim=8, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def keys(found):
    return [record.key for record, *_ in found]


@pytest.fixture(params=["memory", "directory"])
def store(request, tmp_path):
    directory = None if request.param == "memory" else tmp_path / "s"
    store = DocumentStore(directory=directory, keyword_fields=["title", "tags"])
    store.upsert([f"k{i}" for i in range(len(TEXTS))], TEXTS, META, embeddings(len(TEXTS)))
    yield store
    store.close()


# -- fusion ---------------------------------------------------------------------------


def test_reciprocal_rank_fusion_sums_weighted_reciprocal_ranks():
    fused = reciprocal_rank_fusion([["a", "b", "c"], ["c", "d"]], k=60, weights=[1.0, 2.0])
    scores = {key: score for key, score, _ in fused}
    assert scores == pytest.approx({"a": 1 / 61, "b": 1 / 62, "c": 1 / 63 + 2 / 61, "d": 2 / 62})
    assert [key for key, _, _ in fused] == ["c", "d", "a", "b"]
    assert fused[0][2] == [3, 1] and fused[1][2] == [None, 2]
    # Equal scores: the better vector rank first, then the better keyword rank.
    assert [key for key, _, _ in reciprocal_rank_fusion([["x", "y"], ["y", "x"]])] == ["x", "y"]


@pytest.mark.parametrize("higher, best, worst", [(True, "v1", "v3"), (False, "v3", "v1")])
def test_relative_score_fusion_scales_each_side(higher, best, worst):
    vector = [("v1", 0.9), ("both", 0.5), ("v3", 0.1)] if higher else [("v3", 0.1), ("both", 0.5), ("v1", 0.9)]
    fused = relative_score_fusion(vector, [("k1", 7.0), ("both", 3.0)], alpha=0.6, vector_higher_is_better=higher)
    # best: 0.6 * 1; k1: 0.4 * 1; both: 0.6 * 0.5 + 0.4 * 0 (the worst keyword score); worst: 0.
    assert [(key, pytest.approx(score)) for key, score, _ in fused] == [(best, 0.6), ("k1", 0.4), ("both", 0.3), (worst, 0.0)]
    # A side of one result scales it to 1.
    assert relative_score_fusion([("a", -3.0)], [], alpha=0.5)[0][1] == 0.5


@pytest.mark.parametrize(
    "settings, message",
    [
        ({"fusion": "sum"}, "fusion must be one of"),
        ({"fusion": "relative", "alpha": 1.5}, "alpha must lie between 0"),
        ({"fusion": "relative", "alpha": "0.5"}, "alpha must be a finite number"),
        ({"fusion": "relative", "weights": (1, 1)}, "weights belong to fusion='rrf'"),
        ({"fusion": "rrf", "k": -1}, "rrf k must be 0 or more"),
        ({"fusion": "rrf", "weights": (1, 2, 3)}, "weights must be two numbers"),
        ({"fusion": "rrf", "weights": (0, 0)}, "not both 0"),
        ({"fusion": "rrf", "weights": (1, float("nan"))}, "finite number"),
    ],
)
def test_bad_fusion_settings_are_refused(settings, message):
    fusion = settings.pop("fusion")
    with pytest.raises(ValueError, match=message):
        check_fusion(fusion, **settings)


# -- keyword search -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "query, where, expected",
    [
        ("zymurgy", None, ["k0"]),
        ("ZYMURGY!", None, ["k0"]),
        ("cat", None, ["k1", "k2"]),  # the shorter text holds the word at a higher share
        ('"new york"', None, ["k3"]),  # a phrase
        ("york city", None, ["k3", "k4"]),
        ("pets", None, ["k1", "k2"]),  # a keyword field
        ("odd", {"n": {"$gt": 2}}, ["k5", "k3"]),  # a list field, and a filter
        ("cat", {"n": 2}, ["k2"]),
        ("nothing-here", None, []),
        ('AND OR NOT NEAR( ) * ^ - : "unbalanced', None, []),  # no FTS5 syntax gets through
        ("", None, []),
    ],
)
def test_keyword_search_ranks_matches_by_bm25(store, query, where, expected):
    found = store.keyword_search(query, 10, where=where)
    assert keys(found)[: len(expected)] == expected and len(found) == len(expected)
    assert [score for _, score, _ in found] == sorted((score for _, score, _ in found), reverse=True)
    assert all(score > 0 for _, score, _ in found)


def test_the_keyword_index_follows_every_change(store):
    store.upsert(["k1", "new"], ["a dog barks", "zymurgy again"], [{}, {}], embeddings(2, seed=3))
    assert keys(store.keyword_search("cat", 10)) == ["k2"]
    assert sorted(keys(store.keyword_search("zymurgy", 10))) == ["k0", "new"]
    assert store.keyword_search("pets", 10, with_vectors=True)[0][2].shape == (8,)
    store.delete(["k0"])
    store.delete_where({"n": 2})
    assert keys(store.keyword_search("zymurgy", 10)) == ["new"] and store.keyword_search("garden", 5) == []
    store.clear()
    assert store.keyword_search("zymurgy", 10) == []
    store.upsert(["again"], ["zymurgy"], [{}], embeddings(1))
    assert keys(store.keyword_search("zymurgy", 10)) == ["again"]


def test_porter_stems_and_fields_are_chosen_per_store():
    stemmed = DocumentStore(keyword_tokenizer="porter")
    plain = DocumentStore(keyword_fields=[])
    for store in (stemmed, plain):
        store.upsert(["a", "b"], ["the runners were running", "Café"], [{"title": "Sprint"}, {}], embeddings(2))
    assert keys(stemmed.keyword_search("run", 5)) == ["a"] and plain.keyword_search("run", 5) == []
    assert keys(plain.keyword_search("cafe", 5)) == ["b"]  # accents are folded by both
    assert plain.keyword_search("sprint", 5) == []


def test_the_match_budget_leaves_out_the_commonest_words():
    texts = [f"common filler {i}" for i in range(30)] + ["common rare", "rare"]
    store = DocumentStore()
    store.upsert([str(i) for i in range(32)], texts, [{}] * 32, embeddings(32))
    everything = store.keyword_search("rare common", 50, match_budget=None)
    assert len(everything) == 32 and sorted(keys(everything)[:2]) == ["30", "31"]
    budgeted = store.keyword_search("rare common", 50, match_budget=5)
    assert sorted(keys(budgeted)) == ["30", "31"]
    # The rarest word is always searched, whatever the budget.
    assert len(store.keyword_search("common", 50, match_budget=1)) == 31
    store.upsert([str(i) for i in range(30)], ["rare"] * 30, [{}] * 30, embeddings(30))
    # The counts follow the changes: "common" is now the rare word (stale counts would give all 32).
    assert keys(store.keyword_search("rare common", 50, match_budget=5)) == ["30"]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.keyword_search(b"cat", 3), ValueError, "must be a string"),
        (lambda s: s.keyword_search("cat", -1), ValueError, "non-negative integer"),
        (lambda s: s.keyword_search("cat", 3, match_budget=0), ValueError, "match_budget"),
        (lambda s: s.keyword_search("cat", 3, where={"n": {"$bad": 1}}), ValueError, "unknown filter operator"),
        (lambda s: s.hybrid_search("cat", embeddings(2), 3), ValueError, "one query vector"),
        (lambda s: s.hybrid_search("cat", embeddings(1, dim=3), 3), ValueError, "3 dimensions"),
        (lambda s: s.hybrid_search("cat", embeddings(1), 3, fusion="max"), ValueError, "fusion must be"),
        (lambda s: s.hybrid_search("cat", embeddings(1), 3, fetch_k=-2), ValueError, "fetch_k"),
    ],
)
def test_bad_queries_are_refused(store, call, error, message):
    with pytest.raises(error, match=message):
        call(store)


def test_a_store_without_keyword_index(tmp_path):
    store = DocumentStore(directory=tmp_path / "s", keyword_index=False)
    store.upsert(["a"], ["cat"], [{}], embeddings(1))
    for call in (lambda: store.keyword_search("cat", 1), lambda: store.hybrid_search("cat", embeddings(1), 1)):
        with pytest.raises(ValueError, match="no keyword index"):
            call()
    store.close()
    with pytest.raises(ValueError, match="keyword_index=0, not 1"):
        DocumentStore(directory=tmp_path / "s", keyword_index=True)
    with pytest.raises(ValueError, match="keyword_fields must be a list"):
        DocumentStore(keyword_fields="title")
    with pytest.raises(ValueError, match="keyword_tokenizer must be one of"):
        DocumentStore(keyword_tokenizer="trigram")
    assert DocumentStore.load(tmp_path / "s").search(embeddings(1), 1)[0][0][0].key == "a"


# -- hybrid search ------------------------------------------------------------------------------


def test_hybrid_search_finds_what_either_side_finds():
    # Vector k3 is the query's nearest; only keywords know "zymurgy" (k0, far from the query vector).
    vectors = embeddings(len(TEXTS))
    query = vectors[3] + 0.01
    vectors[0] = -query
    store = DocumentStore(keyword_fields=["title"])
    store.upsert([f"k{i}" for i in range(len(TEXTS))], TEXTS, META, vectors)
    assert "k0" not in keys(store.search(query, 3)[0])
    found = store.hybrid_search("zymurgy", query, 2)
    assert sorted(keys(found)) == ["k0", "k3"]
    scores = {record.key: s for record, s, _ in found}
    assert scores["k3"].vector_rank == 1 and scores["k3"].keyword_rank is None and scores["k3"].keyword_score is None
    assert scores["k0"].keyword_rank == 1 and scores["k0"].vector_rank == len(TEXTS)
    assert scores["k0"].score == pytest.approx(1 / 61 + 1 / 66) and scores["k3"].score == pytest.approx(1 / 61)
    assert scores["k0"].vector_score == pytest.approx(-1.0, abs=1e-3)
    # alpha 1 is the vectors alone, 0 the keywords alone; weights move the rrf balance.
    assert keys(store.hybrid_search("zymurgy", query, 3, fusion="relative", alpha=1.0)) == keys(store.search(query, 3)[0])
    assert keys(store.hybrid_search("zymurgy", query, 3, fusion="relative", alpha=0.0)) == ["k0"]
    assert keys(store.hybrid_search("zymurgy", query, 1, weights=(1.0, 0.0))) == ["k3"]
    assert keys(store.hybrid_search("zymurgy", query, 1, weights=(1.0, 3.0))) == ["k0"]
    # The filter holds on both sides.
    only_even = store.hybrid_search("zymurgy cat", query, 10, where={"n": {"$in": [1, 3, 5]}})
    assert sorted(keys(only_even)) == ["k1", "k3", "k5"]
    assert store.hybrid_search("zymurgy", query, 0) == [] and store.hybrid_search("zymurgy", query, 3, where={"n": 99}) == []
    (_, _, vector), *_ = store.hybrid_search("zymurgy", query, 1, with_vectors=True)
    np.testing.assert_array_equal(vector, vectors[0])


def test_hybrid_search_with_l2_ranks_small_distances_first():
    store = DocumentStore(metric="l2")
    vectors = embeddings(4)
    store.upsert(["a", "b", "c", "d"], ["x", "y", "z", "w"], [{}] * 4, vectors)
    found = store.hybrid_search("nothing", vectors[2], 4, fusion="relative", alpha=0.5)
    assert keys(found)[0] == "c" and found[0][1].vector_score == pytest.approx(0.0, abs=1e-4)
    assert DocumentStore().hybrid_search("x", embeddings(1), 3) == []  # nothing stored yet


# -- on disk: upgrades, failures, tampering --------------------------------------------------------


@contextlib.contextmanager
def database(directory):
    with contextlib.closing(sqlite3.connect(directory / "store.sqlite")) as db, db:
        yield db


def make_version_1(directory):
    """What a store written before the keyword index looks like: no table, no settings, version 1."""
    with database(directory) as db:
        db.execute("DROP TABLE keywords")
        db.execute("DELETE FROM settings WHERE name LIKE 'keyword%'")
        db.execute("UPDATE settings SET value = 1 WHERE name = 'version'")


def test_a_version_1_store_gets_its_keyword_index_on_open(tmp_path, monkeypatch):
    store = DocumentStore(directory=tmp_path / "s")
    store.upsert(["a", "b"], ["zymurgy here", "cats"], [{}, {}], embeddings(2))
    store.close()
    make_version_1(tmp_path / "s")

    def fail(*args):
        raise OSError("disk full")

    # An upgrade that fails leaves the store at version 1, to be upgraded next time.
    monkeypatch.setattr(_keyword, "create", fail)
    with pytest.raises(OSError, match="disk full"):
        DocumentStore.load(tmp_path / "s")
    monkeypatch.undo()
    with database(tmp_path / "s") as db:
        assert db.execute("SELECT value FROM settings WHERE name = 'version'").fetchone() == (1,)
    again = DocumentStore.load(tmp_path / "s")
    assert keys(again.keyword_search("zymurgy", 5)) == ["a"]
    assert (again._settings["version"], again._settings["keyword_tokenizer"]) == (2, "unicode61")
    again.close()


def test_a_failed_change_leaves_the_keyword_index_as_it_was(tmp_path):
    store = DocumentStore(directory=tmp_path / "s")
    store.upsert(["a"], ["cats"], [{}], embeddings(1))
    blocker = tmp_path / "s" / f"index-{store._settings['generation'] + 1}.vnim"
    blocker.mkdir()  # the next index file cannot be written
    with pytest.raises(OSError):
        store.upsert(["a", "b"], ["dogs", "zymurgy"], [{}, {}], embeddings(2, seed=1))
    with pytest.raises(OSError):
        store.delete(["a"])
    assert keys(store.keyword_search("cats", 5)) == ["a"] and store.keyword_search("zymurgy dogs", 5) == []
    blocker.rmdir()
    store.close()
    assert keys(DocumentStore.load(tmp_path / "s").keyword_search("cats", 5)) == ["a"]


@pytest.mark.parametrize(
    "tamper, message",
    [
        ("DELETE FROM keywords WHERE rowid = 1", "different documents"),
        ("INSERT INTO keywords (rowid, text) VALUES (77, 'ghost')", "different documents"),
        ("DROP TABLE keywords", "keyword index cannot be read"),
        ("UPDATE settings SET value = 'trigram' WHERE name = 'keyword_tokenizer'", "keyword_tokenizer is missing or invalid"),
        ("UPDATE settings SET value = '{' WHERE name = 'keyword_fields'", "keyword_fields is missing or invalid"),
        ("DELETE FROM settings WHERE name = 'keyword_index'", "keyword_index is missing or invalid"),
    ],
)
def test_a_tampered_keyword_index_is_refused(tmp_path, tamper, message):
    store = DocumentStore(directory=tmp_path / "s")
    store.upsert(["a", "b"], ["x", "y"], [{}, {}], embeddings(2))
    store.close()
    with database(tmp_path / "s") as db:
        db.execute(tamper)
    with pytest.raises(StoreFormatError, match=message):
        DocumentStore.load(tmp_path / "s")
    with database(tmp_path / "s") as db:
        assert db.execute("SELECT count(*) FROM documents").fetchone() == (2,)


def test_save_copies_the_keyword_index(store, tmp_path):
    store.save(tmp_path / "copy")
    again = DocumentStore.load(tmp_path / "copy")
    assert keys(again.keyword_search("pets", 5)) == keys(store.keyword_search("pets", 5))
    assert again._settings["keyword_fields"] == '["title", "tags"]'
    again.close()


CHANGER = """
import sys
import numpy as np
from varnel._docstore import DocumentStore

store = DocumentStore(directory=sys.argv[1])
rng = np.random.default_rng(0)
print("ready", flush=True)
for round in range(10**6):
    keys = [f"k{i}" for i in rng.choice(200, 20, replace=False)]
    store.upsert(keys, [f"word{round % 7} round{round}" for _ in keys], [{}] * len(keys), rng.standard_normal((20, 8)))
    store.delete([f"k{i}" for i in rng.choice(200, 5)])
"""


def test_killed_mid_change_the_keyword_index_and_the_vectors_agree(tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import time

    directory = tmp_path / "s"
    child = subprocess.Popen([sys.executable, "-c", CHANGER, str(directory)], stdout=subprocess.PIPE, env=os.environ)
    try:
        assert child.stdout.readline() == b"ready\n"
        time.sleep(1.0)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    store = DocumentStore.load(directory)  # checks that the keyword index holds the table's documents
    stored = {record.key: record.text for record in store.get(store.keys())}
    assert stored and len(store) == len(stored)
    for word in (f"word{i}" for i in range(7)):
        expected = sorted(key for key, text in stored.items() if word in text.split())
        assert sorted(keys(store.keyword_search(word, 500))) == expected
    # And every document the keywords find is found by its vector too.
    vectors = store.vectors(list(stored))
    assert all(store.search(vector, 1)[0][0][0].key == key for key, vector in zip(stored, vectors))
    store.close()
