"""The `varnel` command, run as a subprocess on small files the tests write themselves."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import varnel

h5py = pytest.importorskip("h5py")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

N, DIM, NQ, K = 300, 32, 12, 5
SEED = 117900524


def run(*args, cwd, check=True):
    """Runs `python -m varnel ARGS` (the same program as the `varnel` script)."""
    done = subprocess.run([sys.executable, "-m", "varnel", *map(str, args)], cwd=cwd, capture_output=True, text=True)
    if check:
        assert done.returncode == 0, done.stderr
    return done


def write_vecs(path, values, value_type):
    records = np.empty(len(values), dtype=[("dim", "<i4"), ("values", value_type, (values.shape[1],))])
    records["dim"] = values.shape[1]
    records["values"] = values
    records.tofile(path)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    return rng.standard_normal((N, DIM), dtype=np.float32), rng.standard_normal((NQ, DIM), dtype=np.float32)


@pytest.fixture(scope="module")
def files(tmp_path_factory, data):
    """One file per input format; each maps to the float32 vectors the index should receive."""
    vectors, queries = data
    folder = tmp_path_factory.mktemp("inputs")
    small_ints = np.rint(vectors * 20).astype(np.int32)
    bytes_ = np.abs(small_ints).clip(0, 255).astype(np.uint8)
    np.save(folder / "x.npy", vectors)
    np.save(folder / "x64.npy", vectors.astype(np.float64))
    np.save(folder / "q.npy", queries)
    np.save(folder / "ids.npy", np.arange(N, dtype=np.int64) * 7 + 3)
    write_vecs(folder / "x.fvecs", vectors, "<f4")
    write_vecs(folder / "x.ivecs", small_ints, "<i4")
    write_vecs(folder / "x.bvecs", bytes_, "u1")
    table = pa.table({"id": np.arange(N) * 7 + 3, "emb": pa.array(list(vectors), type=pa.list_(pa.float32()))})
    pq.write_table(table, folder / "x.parquet", row_group_size=100)
    fixed = pa.FixedSizeListArray.from_arrays(pa.array(vectors.ravel().astype(np.float64)), DIM)
    pq.write_table(pa.table({"other": np.zeros(N), "emb": fixed}), folder / "xfixed.parquet")
    with h5py.File(folder / "x.hdf5", "w") as file:
        file["train"], file["test"] = vectors, queries
        file.attrs["distance"] = "angular"
        unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        file["neighbors"] = np.argsort(-(queries @ unit.T), axis=1, kind="stable")[:, :100]
    write_bad_inputs(folder, vectors)
    np.save(folder / "allowed.npy", np.arange(0, N, 3))
    np.save(folder / "mask.npy", np.arange(N) % 2 == 0)
    expected = {
        "x.npy": vectors,
        "x64.npy": vectors,
        "x.fvecs": vectors,
        "x.ivecs": small_ints.astype(np.float32),
        "x.bvecs": bytes_.astype(np.float32),
        "x.parquet": vectors,
        "xfixed.parquet": vectors,
        "x.hdf5": vectors,
    }
    return folder, expected


@pytest.fixture
def work(tmp_path, files):
    """A clean folder with links to the input files, so that a test sees exactly what it wrote."""
    folder, _ = files
    for source in folder.iterdir():
        (tmp_path / source.name).symlink_to(source)
    return tmp_path


def api_search(index, queries, k=K):
    index.prepare()
    return index.search(queries, k)


class TestRoundTrip:
    @pytest.mark.parametrize(
        "name", ["x.npy", "x64.npy", "x.fvecs", "x.ivecs", "x.bvecs", "x.parquet", "xfixed.parquet", "x.hdf5"]
    )
    def test_every_format_builds_the_index_the_api_builds(self, work, files, data, name):
        vectors = files[1][name]
        extra = ["--column", "emb"] if name == "xfixed.parquet" else []
        run("build", name, "-o", "a.vnix", "--bits", 3, "--batch", 64, "--threads", 1, *extra, cwd=work)
        expected = varnel.SkerryIndex(DIM, 3)
        expected.add(vectors)
        expected.write(str(work / "expected.vnix"))
        assert (work / "a.vnix").read_bytes() == (work / "expected.vnix").read_bytes()
        run("search", "a.vnix", "q.npy", "-k", K, "-o", "found.npy", cwd=work)
        scores, positions = api_search(expected, data[1])
        np.testing.assert_array_equal(np.load(work / "found.scores.npy"), scores)
        np.testing.assert_array_equal(np.load(work / "found.ids.npy"), positions)

    @pytest.mark.parametrize(
        "build_args",
        [["x.npy", "--ids", "ids.npy"], ["x.parquet", "--id-column", "id"]],
        ids=["ids-file", "id-column"],
    )
    def test_ids_make_an_id_map_index(self, work, data, build_args):
        run("build", *build_args, "-o", "a.vnim", "--batch", 64, cwd=work)
        expected = varnel.IdMapIndex(DIM, 4)
        expected.add_with_ids(data[0], np.arange(N, dtype=np.uint64) * 7 + 3)
        run("search", "a.vnim", "q.npy", "-k", K, "-o", "found.npz", cwd=work)
        found = np.load(work / "found.npz")
        scores, ids = api_search(expected, data[1])
        np.testing.assert_array_equal(found["scores"], scores)
        np.testing.assert_array_equal(found["ids"], ids)

    @pytest.mark.parametrize("name, build_args", [("a.vnix", []), ("a.vnim", ["--ids", "ids.npy"])])
    def test_mapped_layout_searches_like_rows_and_info_tells_it(self, work, name, build_args):
        run("build", "x.npy", *build_args, "-o", "rows" + name, cwd=work)
        run("build", "x.npy", *build_args, "-o", name, "--layout", "mapped", cwd=work)
        kind = varnel.IdMapIndex if name.endswith("vnim") else varnel.SkerryIndex
        assert kind.open(str(work / name)).to_bytes() == (work / ("rows" + name)).read_bytes()
        info = json.loads(run("info", name, "--json", cwd=work).stdout)
        assert (info["layout"], info["kind"], info["vectors"], info["checksummed"]) == ("mapped", kind.__name__, N, True)
        assert "layout            mapped" in run("info", name, cwd=work).stdout
        for source in ("rows" + name, name):
            run("search", source, "q.npy", "-k", K, "-o", source + ".npz", cwd=work)
        for key in ("scores", "ids"):
            np.testing.assert_array_equal(
                np.load(work / (name + ".npz"))[key], np.load(work / ("rows" + name + ".npz"))[key]
            )
        (work / "cut.vnix").write_bytes((work / name).read_bytes()[:-5])
        failed = run("info", "cut.vnix", cwd=work, check=False)
        assert failed.returncode != 0 and "header checksum" not in failed.stderr and "announces" in failed.stderr

    def test_vnim_without_ids_uses_row_numbers(self, work, data):
        run("build", "x.npy", "-o", "a.vnim", cwd=work)
        run("search", "a.vnim", "q.npy", "-o", "found.npz", cwd=work)
        expected = varnel.SkerryIndex(DIM, 4)
        expected.add(data[0])
        np.testing.assert_array_equal(np.load(work / "found.npz")["ids"], api_search(expected, data[1], 10)[1])


class TestSearchOutput:
    @pytest.fixture
    def built(self, work, data):
        run("build", "x.npy", "--ids", "ids.npy", "-o", "a.vnim", cwd=work)
        index = varnel.IdMapIndex.load(str(work / "a.vnim"))
        return work, api_search(index, data[1])

    @pytest.mark.parametrize("name", ["found.csv", "found.jsonl"])
    def test_text_formats_hold_every_result(self, built, name):
        work, (scores, ids) = built
        run("search", "a.vnim", "q.npy", "-k", K, "-o", name, cwd=work)
        text = (work / name).read_text().splitlines()
        if name.endswith(".csv"):
            assert text[0] == "query,rank,id,score"
            rows = [line.split(",") for line in text[1:]]
            got_ids = np.array([int(row[2]) for row in rows], dtype=np.uint64).reshape(NQ, K)
            got_scores = np.array([float(row[3]) for row in rows], dtype=np.float32).reshape(NQ, K)
            assert [int(row[1]) for row in rows[:K]] == list(range(1, K + 1))
        else:
            objects = [json.loads(line) for line in text]
            assert [obj["query"] for obj in objects] == list(range(NQ))
            got_ids = np.array([obj["ids"] for obj in objects], dtype=np.uint64)
            got_scores = np.array([obj["scores"] for obj in objects], dtype=np.float32)
        np.testing.assert_array_equal(got_ids, ids)
        np.testing.assert_array_equal(got_scores, scores)  # shortest float32 text reads back exactly

    def test_without_output_prints_a_table_of_the_first_queries(self, built):
        work, (scores, ids) = built
        out = run("search", "a.vnim", "q.npy", "-k", 3, "--show", 2, cwd=work).stdout
        assert out.count("query ") == 2 and f"{NQ - 2} more queries" in out
        assert f"{ids[1][0]}  {scores[1][0]!s}" in out

    def test_force_replaces_an_existing_output(self, built):
        work, _ = built
        (work / "found.csv").write_text("old")
        run("search", "a.vnim", "q.npy", "-o", "found.csv", "--force", cwd=work)
        assert (work / "found.csv").read_text().startswith("query,rank,id,score")


OPTIONS = [
    (["--metric", "cosine"], {"metric": "cosine"}),
    (["--filter", "allowed.npy"], {"allowed": np.arange(0, N, 3)}),
    (["--filter", "mask.npy", "--metric", "l2"], {"allowed": np.arange(N) % 2 == 0, "metric": "l2"}),
    (["--refine", "x.npy", "--refine-factor", 8], {"refine": "x.npy", "refine_factor": 8}),
]


@pytest.mark.parametrize("args, options", OPTIONS, ids=["cosine", "filter", "mask-l2", "refine"])
def test_search_options_give_what_query_gives(work, data, args, options):
    run("search", "good.vnix", "q.npy", "-k", K, *args, "-o", "found.npz", cwd=work)
    if "refine" in options:
        options = {**options, "refine": data[0]}
    expected = varnel.SkerryIndex.load(str(work / "good.vnix")).query(data[1], K, **options)
    found = np.load(work / "found.npz")
    np.testing.assert_array_equal(found["scores"], expected[0])
    np.testing.assert_array_equal(found["ids"], expected[1])


class TestInfo:
    @pytest.mark.parametrize("with_ids", [False, True], ids=["vnix", "vnim"])
    def test_reads_the_header(self, work, with_ids):
        name = "a.vnim" if with_ids else "a.vnix"
        run(
            "build",
            "x.npy",
            *(["--ids", "ids.npy"] if with_ids else []),
            "-o",
            name,
            "--bits",
            2,
            "--rotation",
            "iso4",
            cwd=work,
        )
        size = (work / name).stat().st_size
        info = json.loads(run("info", name, "--json", cwd=work).stdout)
        per_vector = DIM * 2 // 8 + 4 + (8 if with_ids else 0)
        data_bytes = 23 + N * per_vector
        assert info == {
            "path": name,
            "kind": "IdMapIndex" if with_ids else "SkerryIndex",
            "format": "VNIM" if with_ids else "VNIX",
            "version": 2,
            "dim": DIM,
            "bits": 2,
            "rotation": "iso4",
            "seed": SEED,
            "vectors": N,
            "file_bytes": size,
            "bytes_per_vector": per_vector,
            "code_bytes_per_vector": DIM * 2 // 8,
            "trailing_bytes": size - data_bytes,
            "checksummed": size == data_bytes + 16,
            "layout": "rows",
        }
        text = run("info", name, cwd=work).stdout
        assert info["kind"] in text and f"{N:,}" in text and "iso4" in text

    def test_tolerates_bytes_after_the_data(self, work):
        run("build", "x.npy", "-o", "a.vnix", cwd=work)
        size = (work / "a.vnix").stat().st_size
        with open(work / "a.vnix", "ab") as file:
            file.write(b"appended")
        info = json.loads(run("info", "a.vnix", "--json", cwd=work).stdout)
        assert (info["vectors"], info["file_bytes"], info["checksummed"]) == (N, size + 8, False)


def write_bad_inputs(work, vectors):
    index = varnel.SkerryIndex(DIM, 4)
    index.add(vectors)
    index.write(str(work / "good.vnix"))
    good = (work / "good.vnix").read_bytes()
    (work / "cut.vnix").write_bytes(good[: -(16 + 3)])
    # A trailer that covers another length than the header announces: the header is damaged.
    (work / "damaged.vnix").write_bytes(good + b"VNCK" + (1).to_bytes(8, "little") + bytes(4))
    np.save(work / "d12.npy", np.zeros((4, 12), np.float32))
    np.save(work / "complex.npy", np.zeros((4, 16), np.complex64))
    np.save(work / "flat.npy", np.zeros(16, np.float32))
    np.save(work / "q16.npy", np.zeros((3, 16), np.float32))
    late_nan = np.ones((9, 8), np.float32)
    late_nan[7, 3] = np.nan
    np.save(work / "nan.npy", late_nan)
    np.save(work / "dup.npy", np.array([1, 2, 3] * 100))
    (work / "x.txt").write_text("1 2 3\n")
    (work / "text.npy").write_text("1 2 3\n")
    np.save(work / "objects.npy", np.array([[1, "a"]], dtype=object), allow_pickle=True)
    write_npy_header(work / "negative.npy", "(-3, 8)")
    write_npy_header(work / "overflowing.npy", "(100000000000000000000, 8)")
    (work / "untrailed.vnix").write_bytes(good[:-16])  # as written before trailers, or cut short
    (work / "junk.vnix").write_bytes(b"not an index at all")
    (work / "folder.npy").mkdir()


def write_npy_header(path, shape):
    """A .npy file whose header announces `shape`, followed by a few bytes of data."""
    header = "{'descr': '<f4', 'fortran_order': False, 'shape': %s, }" % shape
    header = header.ljust(117) + "\n"
    path.write_bytes(b"\x93NUMPY\x01\x00" + len(header).to_bytes(2, "little") + header.encode() + bytes(64))


ERRORS = [
    (["build", "missing.npy", "-o", "a.vnix"], 1, "missing.npy: no such file"),
    (["build", "folder.npy", "-o", "a.vnix"], 1, "folder.npy: not a regular file"),
    (["build", "x.txt", "-o", "a.vnix"], 1, "unknown extension '.txt'"),
    (
        ["build", "d12.npy", "-o", "a.vnix"],
        1,
        "dim 12 is not a multiple of 8; pad every vector and query with zeros to dim 16 (zero padding keeps inner products",
    ),
    (["build", "complex.npy", "-o", "a.vnix"], 1, "values of type complex64 cannot be indexed"),
    (["build", "flat.npy", "-o", "a.vnix"], 1, "vectors need a 2-D array"),
    (["build", "nan.npy", "-o", "a.vnix", "--batch", 2], 1, "nan.npy: row 7 holds a NaN"),
    (
        ["build", "x.npy", "--ids", "dup.npy", "-o", "a.vnim", "--batch", 2],
        1,
        "id 1 already present in index; ids must be unique",
    ),
    (["build", "x.npy", "-o", "a.vnix", "--bits", 5], 2, "argument --bits: bits must be 2, 3 or 4, got 5"),
    (["build", "x.npy", "-o", "a.vnix", "--rotation", "spin"], 1, "unknown rotation 'spin'"),
    (["build", "x.npy", "-o", "a.idx"], 1, "a.idx: unknown extension '.idx'"),
    (["build", "x.npy", "--ids", "ids.npy", "-o", "a.vnix"], 1, "an index with ids is written as .vnim"),
    (["build", "x.npy", "-o", "taken.vnix"], 1, "taken.vnix: exists; add --force to replace it"),
    (["build", "x.npy", "-o", "nowhere/a.vnix"], 1, "directory nowhere does not exist"),
    (["search", "cut.vnix", "q.npy"], 1, "cut.vnix: truncated"),
    (["search", "junk.vnix", "q.npy"], 1, "junk.vnix: not a varnel index file"),
    (["search", "good.vnix", "q16.npy"], 1, "queries have 16 values, but the index's dim is 32"),
    (["search", "good.vnix", "q.npy", "-k", 0], 2, "argument -k: must be at least 1, got 0"),
    (["search", "good.vnix", "q.npy", "--refine", "q16.npy"], 1, "--refine needs float32 vectors of shape (n, 32)"),
    (["search", "good.vnix", "q.npy", "--refine", "q.npy"], 1, "refine has 12 rows but position"),
    (["search", "good.vnix", "q.npy", "--filter", "q.npy"], 1, "--filter needs a 1-D array of integer positions"),
    (["search", "good.vnix", "q.npy", "-k", "x"], 2, "expected a whole number, got 'x'"),
    (["search", "good.vnix", "q.npy", "-o", "found.txt"], 1, "found.txt: unknown extension '.txt'"),
    (["info", "missing.vnix"], 1, "missing.vnix: no such file"),
    (["info", "damaged.vnix"], 1, "damaged.vnix: damaged: the header announces"),
    (["eval", "x.npy", "--bits", "2,7"], 2, "bits must be 2, 3 or 4, got 7"),
    (["eval", "x.npy", "q16.npy"], 1, "queries have 16 values, vectors 32"),
    (["demo", "--dim", 100], 2, "dim must be a positive multiple of 8, got 100"),
    (["demo", "--k", 0], 2, "argument --k: must be at least 1, got 0"),
    (["demo", "--n", 5, "--k", 10], 2, "need --n >= --k (got --n 5 and --k 10)"),
    (["build", "text.npy", "-o", "a.vnix"], 1, "text.npy: not a .npy file"),
    (["build", "x.npy", "--ids", "text.npy", "-o", "a.vnim"], 1, "text.npy: not a .npy file"),
    (["search", "good.vnix", "q.npy", "--filter", "text.npy"], 1, "text.npy: not a .npy file"),
    (["build", "objects.npy", "-o", "a.vnix"], 1, "objects.npy: holds Python objects, not numbers"),
    (["build", "negative.npy", "-o", "a.vnix"], 1, "shape (-3, 8), which no array has"),
    (["search", "good.vnix", "negative.npy"], 1, "shape (-3, 8), which no array has"),
    (["build", "overflowing.npy", "-o", "a.vnix"], 1, "overflowing.npy: truncated: its header announces"),
    (["search", "untrailed.vnix", "q.npy", "--require-checksum"], 1, "untrailed.vnix: has no integrity trailer"),
]


@pytest.mark.parametrize("args, code, message", ERRORS, ids=[" ".join(map(str, e[0][:3])) for e in ERRORS])
def test_errors_are_one_line_and_leave_no_file(work, args, code, message):
    (work / "taken.vnix").write_text("keep me")
    before = sorted(os.listdir(work))
    done = run(*args, cwd=work, check=False)
    assert done.returncode == code
    assert message in done.stderr
    assert len(done.stderr.splitlines()) == 1 and "Traceback" not in done.stderr
    assert sorted(os.listdir(work)) == before  # no output and no temporary file left behind
    assert (work / "taken.vnix").read_text() == "keep me"


class TestEval:
    def test_json_figures_are_in_range(self, work):
        done = run("eval", "x.npy", "--bits", "2,4", "-k", K, "--sample", 40, "--json", cwd=work)
        report = json.loads(done.stdout)
        assert (report["indexed"], report["queries"], report["dim"], report["k"]) == (N - 40, 40, DIM, K)
        assert [row["bits"] for row in report["results"]] == [2, 4]
        for row in report["results"]:
            assert 0.3 < row["recall"] <= 1 and row["qps"] > 0 and row["build_seconds"] >= 0
            assert row["bytes_per_vector"] == DIM * row["bits"] // 8 + 4
        assert report["results"][1]["recall"] > report["results"][0]["recall"]

    def test_stored_neighbours_match_exact_search(self, work):
        """The HDF5 file's angular neighbours give the recall that exact search on unit vectors gives."""
        stored = json.loads(run("eval", "x.hdf5", "--bits", 3, "--json", cwd=work).stdout)
        assert stored["truth"] == "stored neighbours"
        with h5py.File(work / "x.hdf5") as file:
            unit = file["train"][:] / np.linalg.norm(file["train"][:], axis=1, keepdims=True)
            np.save(work / "unit.npy", unit.astype(np.float32))
            np.save(work / "unit_q.npy", file["test"][:] / np.linalg.norm(file["test"][:], axis=1, keepdims=True))
        exact = json.loads(run("eval", "unit.npy", "unit_q.npy", "--bits", 3, "--json", cwd=work).stdout)
        assert stored["results"][0]["recall"] == exact["results"][0]["recall"]

    def test_plot_is_written(self, work):
        pytest.importorskip("matplotlib")
        done = run("eval", "x.npy", "q.npy", "--bits", "2,3,4", "--plot", "recall.png", cwd=work)
        assert "recall@10" in done.stdout and done.stdout.count("\n") >= 6
        assert (work / "recall.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


class TestProgram:
    def test_import_varnel_stays_light(self):
        code = (
            "import sys, varnel, varnel.cli; "
            "print([m for m in ('tqdm', 'pyarrow', 'h5py', 'matplotlib') if m in sys.modules])"
        )
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert done.stdout.strip() == "[]"

    @pytest.mark.parametrize("command", ["build", "search", "info", "eval", "demo"])
    def test_help_has_examples(self, tmp_path, command):
        assert f"varnel {command}" in run(command, "--help", cwd=tmp_path).stdout.split("examples:")[1]

    def test_version_and_console_script(self, tmp_path):
        assert run("--version", cwd=tmp_path).stdout.strip() == f"varnel {varnel.__version__}"
        script = Path(sys.executable).with_name("varnel")
        if script.exists():
            done = subprocess.run([str(script), "--version"], capture_output=True, text=True, check=True)
            assert done.stdout.strip() == f"varnel {varnel.__version__}"

    def test_stderr_stays_empty_off_a_terminal_and_quiet_drops_notes(self, work):
        assert run("build", "x.npy", "-o", "a.vnix", cwd=work).stderr == ""
        assert "converting to float32" in run("build", "x64.npy", "-o", "b.vnix", cwd=work).stderr
        assert run("build", "x64.npy", "-o", "c.vnix", "-q", cwd=work).stderr == ""

    def test_demo_still_runs(self, tmp_path):
        out = run("demo", "--n", 400, "--queries", 20, "--dim", 16, "--bits", 2, "--k", 5, cwd=tmp_path).stdout
        assert "recall@5" in out


class TestLimitsAndSignals:
    def test_k_beyond_any_integer_gives_every_vector(self, work, data):
        run("search", "good.vnix", "q.npy", "-k", 10**23, "--refine", "x.npy", "--refine-factor", 10**30,
            "-o", "found.npz", cwd=work)
        found = np.load(work / "found.npz")
        assert found["ids"].shape == (NQ, N)
        expected = varnel.SkerryIndex.load(str(work / "good.vnix")).query(data[1], N, refine=data[0])
        np.testing.assert_array_equal(found["scores"], expected[0])

    @pytest.mark.parametrize(
        "args, k",
        [(["search", "good.vnix", "q.npy", "-o", "found.npz"], N), (["eval", "x.npy", "q.npy", "--bits", "4"], N // 2)],
        ids=["search", "eval"],
    )
    def test_results_larger_than_memory_are_refused_before_searching(self, work, monkeypatch, capsys, args, k):
        from varnel import _cli_common, cli

        monkeypatch.setattr(_cli_common, "physical_memory", lambda: NQ * N * 12 - 1)
        monkeypatch.chdir(work)
        before = sorted(os.listdir(work))
        assert cli.main([*args, "-k", str(k)]) == 1
        assert f"{NQ:,} queries x {k:,} results need" in capsys.readouterr().err
        assert sorted(os.listdir(work)) == before

    def test_require_checksum_loads_a_file_with_a_trailer(self, work):
        assert "query 0:" in run("search", "good.vnix", "q.npy", "--require-checksum", cwd=work).stdout

    @pytest.mark.parametrize(
        "distance", [np.array([b"angular", b"euclidean"]), np.arange(3), 7], ids=["texts", "numbers", "number"]
    )
    def test_an_unusable_distance_attribute_falls_back_to_exact_search(self, work, data, distance):
        with h5py.File(work / "odd.hdf5", "w") as file:
            file["train"], file["test"] = data
            file["neighbors"] = np.zeros((NQ, 10), np.int64)
            file.attrs["distance"] = distance
        done = run("eval", "odd.hdf5", "--bits", 4, "--json", cwd=work)
        assert json.loads(done.stdout)["truth"] == "exact float32 inner product"

    def test_build_help_says_ids_need_a_vnim_output(self, tmp_path):
        assert "--ids IDS" in (text := run("build", "--help", cwd=tmp_path).stdout) and "INDEX.vnim" in text

    @pytest.mark.parametrize("name", ["out.vnix", "out.npz", "out.csv"])
    def test_a_planted_link_at_the_temporary_name_is_not_followed(self, work, name, monkeypatch):
        """Earlier temporary names were predictable (the process id): a link planted at one sent
        the output over its target. Links at every such name stay untouched now."""
        from varnel import cli

        victim = work / "victim"
        victim.write_text("precious")
        for pid in (os.getpid(), os.getpid() + 1):
            (work / f".{name}.{pid}.tmp").symlink_to(victim)
        monkeypatch.chdir(work)
        if name.endswith(".vnix"):
            code = cli.main(["build", "x.npy", "-o", name, "-q"])
        else:
            code = cli.main(["search", "good.vnix", "q.npy", "-o", name, "-q"])
        assert code == 0 and victim.read_text() == "precious"
        assert not [entry for entry in os.listdir(work) if entry.endswith(".tmp") and not os.path.islink(entry)]
        assert (work / name).stat().st_size > 0 and not (work / name).is_symlink()

    def test_sigterm_while_writing_removes_the_temporary_files(self, work, monkeypatch):
        """SIGTERM ends the command as Ctrl-C does (exit 128 + 15), removing what it staged."""
        import signal

        from varnel import cli

        made = cli.new_index

        class Interrupted:
            def __init__(self, index):
                self.index = index

            def __getattr__(self, name):
                return getattr(self.index, name)

            def write(self, path, **options):
                self.index.write(path, **options)  # the whole file is staged ...
                assert os.path.getsize(path) > 0
                os.kill(os.getpid(), signal.SIGTERM)  # ... when the signal comes

        monkeypatch.setattr(cli, "new_index", lambda *args: Interrupted(made(*args)))
        monkeypatch.chdir(work)
        before = sorted(os.listdir(work))
        assert cli.main(["build", "x.npy", "-o", "out.vnix", "-q"]) == 128 + signal.SIGTERM
        assert sorted(os.listdir(work)) == before
        assert signal.getsignal(signal.SIGTERM) == signal.SIG_DFL

    def test_ctrl_c_while_the_command_imports_ends_it_without_a_traceback(self, tmp_path):
        """The console script imports varnel.cli and so NumPy; Ctrl-C then ends it quietly."""
        script = (
            "import builtins, os, signal, sys\n"
            "sys.modules['__main__'].__file__ = os.path.join(sys.prefix, 'bin', 'varnel')\n"
            "real_import = builtins.__import__\n"
            "def interrupting(name, *args, **kwargs):\n"
            "    if name == 'numpy':\n"
            "        os.kill(os.getpid(), signal.SIGINT)\n"
            "    return real_import(name, *args, **kwargs)\n"
            "builtins.__import__ = interrupting\n"
            "from varnel.cli import main\n"
            "sys.exit(main())\n"
        )
        done = subprocess.run([sys.executable, "-c", script, "--version"], capture_output=True, text=True, cwd=tmp_path)
        assert done.returncode == -2 and done.stderr == "" and done.stdout == ""


@pytest.mark.parametrize(
    "argv, module",
    [
        (["python", "-m", "varnel", "demo"], "varnel"),
        (["python", "-X", "dev", "-W", "error", "-m", "varnel.cli"], "varnel.cli"),
        (["python", "-I", "-mvarnel"], "varnel"),
        (["python", "script.py", "-m", "varnel"], None),
        (["python", "-c", "import varnel", "-m", "varnel"], None),
    ],
)
def test_the_command_is_told_apart_by_the_interpreter_arguments(argv, module):
    from varnel._startup import _module_run_with_dash_m

    assert _module_run_with_dash_m(argv) == module


def test_install_hints_name_what_pip_can_find():
    # varnel is not on a package index: 'varnel[extra]' would fail to install.
    from varnel._cli_common import CliError
    from varnel._cli_inputs import require

    with pytest.raises(CliError) as caught:
        require("no_such_module.sub", "parquet", "reading x.parquet")
    assert str(caught.value) == (
        "reading x.parquet needs no_such_module: pip install no_such_module "
        "(or, in a varnel checkout, pip install '.[parquet]' or '.[all]')"
    )
