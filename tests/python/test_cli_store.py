"""`varnel store`: a document store built from JSON lines or Parquet, searched by keywords, vectors or both."""

import json

import numpy as np
import pytest

from varnel._docstore import DocumentStore
from varnel.cli import main

TEXTS = ["zymurgy: the chemistry of brewing", "cats nap all day", "dogs bark at night", "New York is a big city"]
TITLES = ["Brewing", "Cats", "Dogs", "Places"]
DIM = 12


def rows():
    vectors = np.random.default_rng(3).standard_normal((len(TEXTS), DIM)).astype(np.float32)
    return [
        {"id": f"d{i}", "text": text, "emb": vectors[i].tolist(), "title": TITLES[i], "year": 2020 + i}
        for i, text in enumerate(TEXTS)
    ], vectors


def write_jsonl(path, records):
    path.write_text("".join(json.dumps(record) + "\n" for record in records), encoding="utf-8")


def run(capsys, *args):
    code = main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture()
def built(tmp_path, capsys):
    records, vectors = rows()
    write_jsonl(tmp_path / "docs.jsonl", records)
    np.save(tmp_path / "q.npy", vectors[2] + 0.01)
    code, out, err = run(
        capsys, "store", "build", tmp_path / "docs.jsonl", "-o", tmp_path / "st", "--id-field", "id",
        "--embedding-field", "emb", "--keyword-fields", "title", "--metadata-fields", "title,year",
    )
    assert code == 0, err
    assert "4 documents, dim 12" in out
    return tmp_path


def test_build_then_search_by_keywords_vectors_and_both(built, capsys):
    store = DocumentStore.load(built / "st")
    assert store.keys() == ["d0", "d1", "d2", "d3"] and store.get(["d1"])[0].metadata == {"title": "Cats", "year": 2021}
    store.close()
    code, out, _ = run(capsys, "store", "search", built / "st", "--text", "zymurgy", "--json")
    assert code == 0 and [json.loads(line)["id"] for line in out.splitlines()] == ["d0"]
    code, out, _ = run(capsys, "store", "search", built / "st", "--query-embedding", built / "q.npy", "-k", "2", "--json")
    assert [json.loads(line)["id"] for line in out.splitlines()][0] == "d2"
    code, out, _ = run(capsys, "store", "search", built / "st", "--text", "places", "--query-embedding", built / "q.npy", "--json")
    hits = [json.loads(line) for line in out.splitlines()]
    assert {hit["id"] for hit in hits[:2]} == {"d2", "d3"}  # the vectors' best and the keyword field's match
    assert hits[0]["vector_rank"] is not None and "keyword_score" in hits[0]
    code, out, _ = run(
        capsys, "store", "search", built / "st", "--text", "cats dogs", "--filter", '{"year": {"$gte": 2022}}'
    )
    assert code == 0 and "d2" in out and "d1" not in out and out.startswith("rank")
    code, out, _ = run(capsys, "store", "info", built / "st", "--json")
    info = json.loads(out)
    assert (info["documents"], info["dim"], info["keyword_fields"], info["format_version"]) == (4, DIM, ["title"], 2)


def test_build_from_parquet(tmp_path, capsys):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    records, _ = rows()
    pq.write_table(pa.Table.from_pylist(records), tmp_path / "docs.parquet", row_group_size=2)
    code, out, err = run(
        capsys, "store", "build", tmp_path / "docs.parquet", "-o", tmp_path / "st", "--embedding-field", "emb",
        "--no-keyword-index", "--batch", "3",
    )
    assert code == 0, err
    store = DocumentStore.load(tmp_path / "st")
    assert store.keys() == ["0", "1", "2", "3"] and store.get(["3"])[0].metadata == {"id": "d3", "title": "Places", "year": 2023}
    store.close()
    code, _, err = run(capsys, "store", "search", tmp_path / "st", "--text", "cats")
    assert code == 1 and "no keyword index" in err


@pytest.mark.parametrize(
    "lines, options, message",
    [
        (['{"text": "a", "embedding": [1, 2]}', "not json"], [], "line 2 is not JSON"),
        (['[1, 2]'], [], "holds a list, not a JSON object"),
        (['{"text": "a"}'], [], "'embedding' is missing or not a list of numbers"),
        (['{"text": "a", "embedding": [1, "x"]}'], [], "other than finite numbers"),
        (['{"text": "a", "embedding": [1, 2]}', '{"text": "b", "embedding": [1, 2, 3]}'], [], "has 3 values, the ones before 2"),
        (['{"text": 5, "embedding": [1, 2]}'], [], "holds a int, not a text"),
        (['{"id": "x", "embedding": [1, 2]}', '{"id": "x", "embedding": [1, 2]}'], ["--id-field", "id"], "the id 'x' appears twice"),
        (['{"embedding": [1, 2]}'], ["--id-field", "id"], "the id field 'id' is missing"),
        (['{"embedding": [1, 2], "when": 1e400}'], [], "not valid JSON"),
        ([], [], "holds no documents"),
    ],
)
def test_bad_documents_are_refused_and_leave_no_store(tmp_path, capsys, lines, options, message):
    (tmp_path / "docs.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    code, _, err = run(capsys, "store", "build", tmp_path / "docs.jsonl", "-o", tmp_path / "st", *options)
    assert code == 1 and message in err and err.count("\n") == 1
    assert not (tmp_path / "st").exists()


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["build", "{dir}/docs.jsonl", "-o", "{dir}/st", "--embedding-field", "emb"], 1, "holds a store; add --force"),
        (["build", "{dir}/docs.csv", "-o", "{dir}/other"], 1, "no such file"),
        (["build", "{dir}/q.npy", "-o", "{dir}/other"], 1, "unknown extension '.npy'"),
        (["search", "{dir}/st", "--mode", "hybrid", "--text", "x"], 2, "needs --query-embedding"),
        (["search", "{dir}/st", "--mode", "keyword"], 2, "needs --text"),
        (["search", "{dir}/st", "--text", "x", "--filter", "{year"], 2, "--filter is not JSON"),
        (["search", "{dir}/st", "--text", "x", "--filter", '{"year": {"$near": 1}}'], 1, "unknown filter operator"),
        (["search", "{dir}/st", "--query-embedding", "{dir}/short.npy"], 1, "has 3 values, the store's dim is 12"),
        (["search", "{dir}/st", "--text", "x", "--query-embedding", "{dir}/q.npy", "--fusion", "relative", "--alpha", "3"], 1, "alpha must lie"),
        (["search", "{dir}", "--text", "x"], 1, "not a store directory"),
        (["info", "{dir}/missing"], 1, "not a store directory"),
    ],
)
def test_command_line_mistakes(built, capsys, args, code, message):
    np.save(built / "short.npy", np.ones(3, np.float32))
    got, _, err = run(capsys, "store", *[arg.replace("{dir}", str(built)) for arg in args])
    assert got == code and message in err


def test_force_replaces_a_store(built, capsys):
    write_jsonl(built / "more.jsonl", [{"text": "only one", "embedding": [1.0, 2.0]}])
    code, _, err = run(capsys, "store", "build", built / "more.jsonl", "-o", built / "st", "--force", "-q")
    assert code == 0, err
    code, out, _ = run(capsys, "store", "info", built / "st")
    assert "documents         1" in out and "dim               2" in out
