"""``varnel eval``: recall, speed and size of each code width on the user's own data."""

from __future__ import annotations

import argparse
import json
import os
import time
from dataclasses import asdict, dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

import varnel
from varnel._cli_common import CliError, Console, check_results_fit, search_chunk
from varnel._cli_inputs import Hdf5File, VectorSource, batch_rows, check_index_dim, open_vectors, require
from varnel._cli_outputs import check_new_output, replacing_file

SCORE_BLOCK = 1 << 23  # exact scores computed at a time (32 MB of float32)
# Metrics whose stored neighbours are the top-k by inner product, once vectors are unit length.
INNER_PRODUCT_METRICS = {"dot": False, "ip": False, "inner_product": False, "angular": True, "cosine": True}
PLOT_FORMATS = (".png", ".svg", ".pdf")


@dataclass
class Workload:
    """Base vectors (a file, minus held-out rows), queries and, if the file has it, the true top-k."""

    source: VectorSource
    queries: NDArray[np.float32]
    held_out: NDArray[np.int64]
    stored_truth: NDArray[np.int64] | None
    unit_length: bool
    description: str

    @property
    def base_count(self) -> int:
        return self.source.count - len(self.held_out)


@dataclass
class BitsResult:
    bits: int
    recall: float
    qps: float
    build_seconds: float
    search_seconds: float
    bytes_per_vector: int


class ExactTopK:
    """Running exact top-k by float32 inner product over base vectors seen batch by batch."""

    def __init__(self, queries: NDArray[np.float32], k: int) -> None:
        self.queries = queries
        self.k = k
        self.scores = np.full((len(queries), k), -np.inf, dtype=np.float32)
        self.ids = np.full((len(queries), k), -1, dtype=np.int64)

    def update(self, base: NDArray[np.float32], first: int) -> None:
        rows = max(1, SCORE_BLOCK // max(len(base), 1))
        for start in range(0, len(self.queries), rows):
            self._merge(slice(start, start + rows), self.queries[start : start + rows] @ base.T, first)

    def _merge(self, rows: slice, scores: NDArray[np.float32], first: int) -> None:
        k = self.k
        both = np.concatenate([self.scores[rows], scores], axis=1)
        top = np.argpartition(-both, k - 1, axis=1)[:, :k]
        kept_ids = np.take_along_axis(self.ids[rows], np.minimum(top, k - 1), axis=1)
        self.ids[rows] = np.where(top < k, kept_ids, first + top - k)
        self.scores[rows] = np.take_along_axis(both, top, axis=1)

    def result(self) -> NDArray[np.int64]:
        order = np.argsort(-self.scores, axis=1, kind="stable")
        return np.take_along_axis(self.ids, order, axis=1)


def recall_at_k(found: NDArray[Any], truth: NDArray[np.int64]) -> float:
    """Share of the true top-k found, over all queries (compared in blocks of bounded size)."""
    found = found.astype(np.int64)
    rows = max(1, (1 << 24) // (found.shape[1] * truth.shape[1]))
    hits = 0
    for start in range(0, len(truth), rows):
        block = truth[start : start + rows]
        matched = (found[start : start + rows, :, None] == block[:, None, :]).any(axis=1)
        hits += int((matched & (block >= 0)).sum())
    return hits / max(int((truth >= 0).sum()), 1)


def unit_rows(vectors: NDArray[np.float32]) -> NDArray[np.float32]:
    norms = np.linalg.norm(vectors, axis=1, keepdims=True)
    return np.ascontiguousarray(vectors / np.where(norms > 0, norms, 1), dtype=np.float32)


def run(args: argparse.Namespace, console: Console) -> int:
    if args.plot is not None:
        check_plot_output(args.plot, args.force)
    source = open_vectors(args.vectors, column=args.column, dataset=args.dataset)
    check_index_dim(source.dim, source.name)
    workload = choose_queries(args, source, console)
    if workload.base_count < args.k:
        raise CliError(f"{source.name}: {workload.base_count:,} vectors to index, fewer than k = {args.k}")
    # The exact top-k, its merge buffer and the found positions of one code width.
    check_results_fit(len(workload.queries), args.k, copies=3)
    indexes, build_seconds, truth = build_all(args, workload, console)
    results = [measure(index, workload, truth, build_seconds[bits], args.k, console) for bits, index in indexes.items()]
    rotation = next(iter(indexes.values())).rotation
    report = summary(args, workload, results, rotation)
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        print(table(report))
    if args.plot is not None:
        draw_plot(args.plot, report)
        console.note(f"wrote {args.plot}")
    return 0


def check_plot_output(path: str, force: bool) -> None:
    if os.path.splitext(path)[1].lower() not in PLOT_FORMATS:
        raise CliError(f"{path}: unknown extension; a plot is written as .png, .svg or .pdf")
    check_new_output(path, force)
    require("matplotlib", "plot", "--plot")


def choose_queries(args: argparse.Namespace, source: VectorSource, console: Console) -> Workload:
    """Queries from QUERIES, from the HDF5 file's own test set, or held out from VECTORS."""
    if args.queries is not None:
        queries_file = open_vectors(args.queries, column=args.column, dataset=args.dataset, default_dataset="test")
        if queries_file.dim != source.dim:
            raise CliError(f"{queries_file.name}: queries have {queries_file.dim} values, vectors {source.dim}")
        note_conversion(console, queries_file)
        return workload_of(source, read_queries(queries_file), None, False, f"queries from {queries_file.name}")
    if isinstance(source, Hdf5File) and args.dataset is None and source.has_dataset("test"):
        return hdf5_workload(args, source, console)
    return held_out_workload(args, source, console)


def workload_of(
    source: VectorSource,
    queries: NDArray[np.float32],
    truth: NDArray[np.int64] | None,
    unit_length: bool,
    description: str,
    held_out: NDArray[np.int64] | None = None,
) -> Workload:
    no_rows = np.empty(0, np.int64)
    return Workload(source, queries, no_rows if held_out is None else held_out, truth, unit_length, description)


def read_queries(source: VectorSource) -> NDArray[np.float32]:
    queries = source.read_all()
    if len(queries) == 0:
        raise CliError(f"{source.name}: holds no queries")
    return queries


def hdf5_workload(args: argparse.Namespace, source: Hdf5File, console: Console) -> Workload:
    """The benchmark file's test set, and its stored neighbours when they rank by inner product."""
    test = open_vectors(source.path, default_dataset="test")
    if test.dim != source.dim:
        raise CliError(f"{test.name}: queries have {test.dim} values, vectors {source.dim}")
    queries = read_queries(test)
    metric = (source.metric() or "").lower()
    neighbors = source.stored_neighbors()
    usable = neighbors is not None and neighbors.shape[0] == len(queries) and neighbors.shape[1] >= args.k
    if neighbors is None or not usable or metric not in INNER_PRODUCT_METRICS:
        reason = f"for {metric} distance" if metric and metric not in INNER_PRODUCT_METRICS else "not usable here"
        console.note(f"the file's stored neighbours are {reason}; computing exact inner-product top-{args.k}")
        return workload_of(source, queries, None, False, f"queries from {test.name}")
    unit_length = INNER_PRODUCT_METRICS[metric]
    if unit_length:
        console.note(f"{metric} metric: vectors and queries are scaled to unit length")
        queries = unit_rows(queries)
    truth = neighbors[:, : args.k]
    return workload_of(source, queries, truth, unit_length, f"queries and {metric} neighbours from {test.name}")


def held_out_workload(args: argparse.Namespace, source: VectorSource, console: Console) -> Workload:
    count = min(args.sample, source.count // 2)
    if count < 1:
        raise CliError(f"{source.name}: {source.count} vectors are too few to hold some out as queries")
    rows = np.sort(np.random.default_rng(args.seed).choice(source.count, count, replace=False))
    console.note(f"holding out {count:,} random vectors of {source.name} as queries")
    note_conversion(console, source)
    return workload_of(source, source.take(rows), None, False, f"{count:,} held-out vectors", rows)


def note_conversion(console: Console, source: VectorSource) -> None:
    note = source.conversion_note()
    if note:
        console.note(note)


def build_all(
    args: argparse.Namespace, workload: Workload, console: Console
) -> tuple[dict[int, Any], dict[int, float], NDArray[np.int64]]:
    """One pass over the base vectors feeds every index and the exact top-k."""
    try:
        indexes = {bits: varnel.SkerryIndex(workload.source.dim, bits, args.rotation) for bits in args.bits}
    except (ValueError, varnel.PanicException) as error:
        raise CliError(f"--rotation: {error}") from None
    seconds = dict.fromkeys(indexes, 0.0)
    exact = ExactTopK(workload.queries, args.k) if workload.stored_truth is None else None
    position = 0
    with console.bar(workload.source.count, "adding + exact top-k") as bar:
        for first, vectors, _ in workload.source.batches(batch_rows(args.batch, workload.source.dim)):
            base = base_rows(vectors, first, workload)
            for bits, index in indexes.items():
                started = time.perf_counter()
                index.add(base)
                seconds[bits] += time.perf_counter() - started
            if exact is not None:
                exact.update(base, position)
            position += len(base)
            bar.update(len(vectors))
    for bits, index in indexes.items():
        started = time.perf_counter()
        index.prepare()
        seconds[bits] += time.perf_counter() - started
    truth = exact.result() if exact is not None else workload.stored_truth
    assert truth is not None
    return indexes, seconds, truth


def base_rows(vectors: NDArray[np.float32], first: int, workload: Workload) -> NDArray[np.float32]:
    """A batch without its held-out rows, scaled to unit length when the metric asks."""
    held = workload.held_out
    inside = held[(held >= first) & (held < first + len(vectors))]
    if inside.size:
        vectors = np.delete(vectors, inside - first, axis=0)
    return unit_rows(vectors) if workload.unit_length else vectors


def measure(
    index: Any, workload: Workload, truth: NDArray[np.int64], build_seconds: float, k: int, console: Console
) -> BitsResult:
    queries = workload.queries
    found = np.empty((len(queries), k), dtype=np.int64)
    seconds = 0.0
    size = search_chunk(len(index), varnel.num_threads())
    with console.bar(len(queries), f"searching, {index.bits} bits", unit="query") as bar:
        for start in range(0, len(queries), size):
            chunk = queries[start : start + size]
            started = time.perf_counter()
            _, positions = index.search(chunk, k)
            seconds += time.perf_counter() - started
            found[start : start + len(chunk)] = positions
            bar.update(len(chunk))
    return BitsResult(
        bits=index.bits,
        recall=recall_at_k(found, truth),
        qps=len(queries) / max(seconds, 1e-9),
        build_seconds=build_seconds,
        search_seconds=seconds,
        bytes_per_vector=index.dim // 8 * index.bits + 4,
    )


def summary(args: argparse.Namespace, workload: Workload, results: list[BitsResult], rotation: str) -> dict[str, Any]:
    truth = "stored neighbours" if workload.stored_truth is not None else "exact float32 inner product"
    return {
        "vectors": workload.source.name,
        "indexed": workload.base_count,
        "queries": len(workload.queries),
        "query_source": workload.description,
        "dim": workload.source.dim,
        "k": args.k,
        "rotation": rotation,
        "threads": varnel.num_threads(),
        "truth": truth,
        "results": [asdict(result) for result in results],
    }


def table(report: dict[str, Any]) -> str:
    k = report["k"]
    lines = [
        (
            f"{report['vectors']}: {report['indexed']:,} vectors of dim {report['dim']}, "
            f"{report['queries']:,} queries ({report['query_source']}), k = {k}"
        ),
        f"rotation {report['rotation']}, {report['threads']} threads, truth: {report['truth']}",
        "",
        f"{'bits':>4}  {f'recall@{k}':>10}  {'queries/s':>10}  {'build s':>8}  {'bytes/vector':>12}",
    ]
    for row in report["results"]:
        lines.append(
            f"{row['bits']:>4}  {row['recall']:>10.4f}  {row['qps']:>10,.0f}  "
            f"{row['build_seconds']:>8.3f}  {row['bytes_per_vector']:>12}"
        )
    return "\n".join(lines)


def draw_plot(path: str, report: dict[str, Any]) -> None:
    """Recall against queries per second, one labelled point per code width."""
    matplotlib = require("matplotlib", "plot", "--plot")
    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import FuncFormatter

    results = report["results"]
    figure, axes = pyplot.subplots(figsize=(6.4, 4.4), dpi=100)
    recalls = [row["recall"] for row in results]
    speeds = [row["qps"] for row in results]
    axes.scatter(recalls, speeds, s=40, color="tab:blue", zorder=3)
    left = min([*recalls, 1.0]) - 0.05
    for row in results:
        label = f"{row['bits']} bits, {row['bytes_per_vector']} B/vector"
        on_the_left = row["recall"] > (left + 1.0) / 2  # keeps labels of high-recall points inside the axes
        axes.annotate(
            label,
            (row["recall"], row["qps"]),
            textcoords="offset points",
            xytext=(-6 if on_the_left else 6, 6),
            ha="right" if on_the_left else "left",
            fontsize=9,
        )
    axes.set_xlabel(f"recall@{report['k']}")
    axes.set_ylabel(f"queries per second ({report['threads']} threads)")
    axes.set_xlim(left, 1.0)
    axes.set_ylim(0, max(speeds) * 1.2)
    axes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:,.0f}"))
    axes.grid(True, alpha=0.3)
    name = os.path.basename(report["vectors"])
    axes.set_title(f"varnel on {name}: {report['indexed']:,} x {report['dim']}, {report['queries']:,} queries")
    figure.tight_layout()
    with replacing_file(path) as file:
        figure.savefig(file, format=os.path.splitext(path)[1].lower()[1:])
    pyplot.close(figure)
