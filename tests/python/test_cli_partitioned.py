"""The `varnel` command on partitioned indexes (--lists, --probes), run as a subprocess."""

import json
import subprocess
import sys

import numpy as np
import pytest

import varnel

N, DIM, NQ, K, LISTS = 600, 32, 10, 5, 12


def run(*args, cwd, check=True):
    done = subprocess.run([sys.executable, "-m", "varnel", *map(str, args)], cwd=cwd, capture_output=True, text=True)
    if check:
        assert done.returncode == 0, done.stderr
    return done


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """Clustered vectors, queries, ids and a partitioned index built by the command."""
    rng = np.random.default_rng(11)
    centres = rng.standard_normal((8, DIM)).astype(np.float32)
    vectors = (centres[rng.integers(0, 8, N)] + 0.3 * rng.standard_normal((N, DIM))).astype(np.float32)
    queries = (centres[rng.integers(0, 8, NQ)] + 0.3 * rng.standard_normal((NQ, DIM))).astype(np.float32)
    path = tmp_path_factory.mktemp("partitioned")
    np.save(path / "x.npy", vectors)
    np.save(path / "q.npy", queries)
    np.save(path / "ids.npy", np.arange(N, dtype=np.int64) * 3 + 1)
    run("build", "x.npy", "-o", "x.vnip", "--lists", LISTS, "--ids", "ids.npy", "-q", cwd=path)
    return path


def reference(folder):
    """The same index made through the library: the command must add nothing of its own."""
    vectors = np.load(folder / "x.npy")
    index = varnel.PartitionedIndex(DIM, 4, LISTS)
    index.train(vectors)  # 600 rows < 256 per list: the command trains on every row
    index.add_with_ids(vectors, (np.arange(N) * 3 + 1).astype(np.uint64))
    return index


@pytest.mark.parametrize("probes", [1, 4, LISTS])
def test_search_equals_the_library(folder, probes):
    out = f"found{probes}.npy"
    run("search", "x.vnip", "q.npy", "-k", K, "--probes", probes, "-o", out, "-q", cwd=folder)
    scores, ids = reference(folder).search(np.load(folder / "q.npy"), K, probes=probes)
    np.testing.assert_array_equal(np.load(folder / f"found{probes}.ids.npy"), ids)
    np.testing.assert_array_equal(np.load(folder / f"found{probes}.scores.npy"), scores)


def test_search_with_a_filter_returns_only_allowed_ids(folder):
    np.save(folder / "allowed.npy", np.arange(N, dtype=np.int64)[::4] * 3 + 1)
    run("search", "x.vnip", "q.npy", "-k", K, "--probes", LISTS, "--filter", "allowed.npy", "-o", "f.npy", "-q",
        cwd=folder)
    ids = np.load(folder / "f.ids.npy")
    assert np.isin(ids, np.load(folder / "allowed.npy")).all()


def test_search_with_refinement_and_its_factor_equals_the_library(folder):
    vectors = np.load(folder / "x.npy")
    rows = np.zeros((3 * N + 1, DIM), np.float32)  # refine rows are indexed by id
    rows[np.arange(N) * 3 + 1] = vectors
    np.save(folder / "rows.npy", rows)
    run("search", "x.vnip", "q.npy", "-k", K, "--refine", "rows.npy", "--refine-factor", 3, "-o", "r.npy", "-q",
        cwd=folder)
    scores, ids = reference(folder).query(np.load(folder / "q.npy"), K, refine=rows, refine_factor=3)
    np.testing.assert_array_equal(np.load(folder / "r.ids.npy"), ids)
    np.testing.assert_array_equal(np.load(folder / "r.scores.npy"), scores)


def test_info_reports_lists_and_their_spread(folder):
    facts = json.loads(run("info", "x.vnip", "--json", cwd=folder).stdout)
    sizes = reference(folder).list_sizes()
    assert facts["kind"] == "PartitionedIndex" and facts["lists"] == LISTS and facts["vectors"] == N
    assert facts["list_sizes"]["min"] == sizes.min() and facts["list_sizes"]["max"] == sizes.max()
    assert facts["list_sizes"]["imbalance"] == pytest.approx(LISTS * (sizes.astype(float) ** 2).sum() / N**2)
    text = run("info", "x.vnip", cwd=folder).stdout
    assert "lists" in text and "list sizes" in text and "imbalance" in text


def test_a_mapped_build_is_searched_in_place_with_the_same_results(folder):
    run("build", "x.npy", "-o", "m.vnip", "--lists", LISTS, "--ids", "ids.npy", "--layout", "mapped", "-q",
        cwd=folder)
    assert (folder / "m.vnip").read_bytes()[:4] == b"VMAP" and varnel.PartitionedIndex.open(folder / "m.vnip").mapped
    facts = json.loads(run("info", "m.vnip", "--json", cwd=folder).stdout)
    assert facts["layout"] == "mapped" and facts["lists"] == LISTS and facts["vectors"] == N
    assert "layout            mapped" in run("info", "m.vnip", cwd=folder).stdout
    run("search", "m.vnip", "q.npy", "-k", K, "--probes", 4, "-o", "m.npy", "--require-checksum", "-q", cwd=folder)
    scores, ids = reference(folder).search(np.load(folder / "q.npy"), K, probes=4)
    np.testing.assert_array_equal(np.load(folder / "m.ids.npy"), ids)
    np.testing.assert_array_equal(np.load(folder / "m.scores.npy"), scores)


def test_eval_sweeps_probes_with_the_exhaustive_index_as_a_point(folder):
    pytest.importorskip("matplotlib")
    done = run("eval", "x.npy", "q.npy", "--bits", "4", "--lists", LISTS, "--plot", "p.png", "--json", cwd=folder)
    report = json.loads(done.stdout)
    probes = [row["probes"] for row in report["partitioned"]]
    assert probes == [1, 2, 4, 8, LISTS]
    assert [row["bits"] for row in report["results"]] == [4]
    recalls = [row["recall"] for row in report["partitioned"]]
    assert recalls[-1] >= recalls[0] and 0 < recalls[-1] <= 1
    assert (folder / "p.png").stat().st_size > 0


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("build", "x.npy", "-o", "y.vnix", "--lists", 4), "is written as .vnip"),
        (("build", "x.npy", "-o", "y.vnip"), "is built with --lists N"),
        (("build", "x.npy", "-o", "y.vnip", "--lists", N + 1), "more lists than"),
        (("build", "x.npy", "-o", "y.vnix", "--train-sample", 100), "--train-sample needs --lists"),
        (("build", "x.npy", "-o", "y.vnip", "--lists", 20, "--train-sample", 10), "fewer training vectors"),
        (("search", "x.vnip", "q.npy", "--probes", LISTS + 1), f"only {LISTS} lists"),
        (("eval", "x.npy", "--probes", "2"), "--probes needs --lists"),
        (("eval", "x.npy", "--lists", 4, "--probes", "8"), "only 4 lists"),
    ],
)
def test_bad_options_fail_in_one_line(folder, args, message):
    done = run(*args, cwd=folder, check=False)
    assert done.returncode == 1, done.stderr
    assert message in done.stderr and "Traceback" not in done.stderr
    assert not (folder / "y.vnip").exists() and not (folder / "y.vnix").exists()


def test_probes_on_an_exhaustive_index_is_refused(folder):
    run("build", "x.npy", "-o", "plain.vnix", "-q", cwd=folder)
    done = run("search", "plain.vnix", "q.npy", "--probes", 2, cwd=folder, check=False)
    assert done.returncode == 1 and "--probes needs a partitioned index" in done.stderr


def test_any_dim_builds_and_searches_a_vnip_while_vnix_asks_for_padding(tmp_path):
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((300, 12)).astype(np.float32)
    np.save(tmp_path / "x.npy", vectors)
    run("build", "x.npy", "-o", "x.vnip", "--lists", 4, "-q", cwd=tmp_path)
    run("search", "x.vnip", "x.npy", "-k", 3, "--probes", 4, "-o", "f.npy", "-q", cwd=tmp_path)
    index = varnel.PartitionedIndex.load(tmp_path / "x.vnip")
    assert index.dim == 12
    np.testing.assert_array_equal(np.load(tmp_path / "f.ids.npy"), index.search(vectors, 3, probes=4)[1])
    refused = run("build", "x.npy", "-o", "x.vnix", "-q", cwd=tmp_path, check=False)
    assert refused.returncode == 1 and "pad every vector" in refused.stderr
    unknown = run("build", "x.npy", "-o", "x.idx", "-q", cwd=tmp_path, check=False)
    assert unknown.returncode == 1 and ".vnip" in unknown.stderr
