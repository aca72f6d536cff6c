"""The ``varnel`` command on partitioned indexes (``--lists``, ``--probes``, ``.vnip`` files)."""

from __future__ import annotations

import argparse
import json
import os
import time
from types import SimpleNamespace
from typing import Any

import numpy as np
from numpy.typing import NDArray

import varnel
from varnel import _cli_eval
from varnel._cli_common import CliError, Console, search_chunk
from varnel._cli_inputs import IdFile, batch_rows, open_vectors, require_readable_file
from varnel._cli_outputs import check_new_output, replacing, replacing_file, result_table, write_results

EXTENSION = ".vnip"
MAGIC = b"VNIP"
# Training uses at most this many vectors per list (the library subsamples beyond it),
# so a larger default sample would only cost reading time.
TRAIN_PER_LIST = 256
DEFAULT_PROBES = 8


def is_partitioned(path: str) -> bool:
    """Whether the file holds a partitioned index, in the row or the mapped layout (False for anything unreadable)."""
    try:
        with open(path, "rb") as file:
            head = file.read(6)
    except OSError:
        return False
    return head[: len(MAGIC)] == MAGIC or is_mapped_partitioned(head)


def is_mapped_partitioned(head: bytes) -> bool:
    """Whether the first bytes of a file start the mapped layout of a partitioned index (kind 3)."""
    return len(head) >= 6 and head[:4] == b"VMAP" and head[5] == 3


def check_options(args: argparse.Namespace) -> None:
    if getattr(args, "lists", None) is None and getattr(args, "train_sample", None) is not None:
        raise CliError("--train-sample needs --lists")


def new_index(dim: int, bits: int, lists: int, rotation: str) -> Any:
    try:
        return varnel.PartitionedIndex(dim, bits, lists, rotation)
    except (ValueError, varnel.PanicException) as error:
        raise CliError(f"--lists {lists} / --rotation {rotation}: {error}") from None


def training_rows(count: int, lists: int, requested: int | None, excluded: NDArray[np.int64] | None = None) -> Any:
    """Sorted, seeded row numbers of the training sample (every row when the sample covers them all)."""
    candidates = np.arange(count, dtype=np.int64)
    if excluded is not None and excluded.size:
        candidates = np.setdiff1d(candidates, excluded)
    if len(candidates) < lists:
        raise CliError(f"--lists {lists:,}: more lists than the {len(candidates):,} vectors to index")
    wanted = min(len(candidates), requested if requested is not None else TRAIN_PER_LIST * lists)
    if wanted < lists:
        raise CliError(f"--train-sample {wanted:,}: fewer training vectors than --lists {lists:,}")
    if wanted == len(candidates):
        return candidates
    return np.sort(np.random.default_rng(0).choice(candidates, wanted, replace=False))


def train(index: Any, sample: NDArray[np.float32], console: Console) -> float:
    console.note(f"training {index.lists:,} lists on {len(sample):,} vectors")
    started = time.perf_counter()
    index.train(sample)
    return time.perf_counter() - started


def size_spread(index: Any) -> dict[str, Any]:
    sizes = np.asarray(index.list_sizes(), dtype=np.int64)
    mean = float(sizes.mean()) if sizes.size else 0.0
    return {
        "lists": int(index.lists),
        "min": int(sizes.min()) if sizes.size else 0,
        "median": float(np.median(sizes)) if sizes.size else 0.0,
        "max": int(sizes.max()) if sizes.size else 0,
        "mean": mean,
        "empty": int((sizes == 0).sum()),
        "cv": float(sizes.std() / mean) if mean > 0 else 0.0,
        "imbalance": float(index.balance()["imbalance"]),
    }


def stored_bytes_per_vector(index: Any) -> int:
    """Codes of the residual, its scale and shift, the vector's own length and the id."""
    return code_bytes(index) + 4 + 4 + 4 + 8


def code_bytes(index: Any) -> int:
    # The codes cover the dim rounded up to a multiple of 8 (zeros appended inside).
    return -(-index.dim // 8) * index.bits


def spread_text(spread: dict[str, Any]) -> str:
    return (
        f"{spread['lists']:,} lists, sizes {spread['min']:,} to {spread['max']:,} "
        f"(median {spread['median']:,.0f}, {spread['empty']:,} empty, std/mean {spread['cv']:.2f})"
    )


# ---------------------------------------------------------------------------
# build


def check_positive_dim(dim: int, name: str) -> None:
    # A partitioned index takes any dim: it appends the zeros itself.
    if dim < 1:
        raise CliError(f"{name}: vectors of dim {dim} cannot be indexed")


def run_build(args: argparse.Namespace, console: Console) -> int:
    if os.path.splitext(args.output)[1].lower() != EXTENSION:
        raise CliError(f"{args.output}: a partitioned index (--lists) is written as {EXTENSION}")
    check_new_output(args.output, args.force)
    source = open_vectors(args.vectors, column=args.column, id_column=args.id_column, dataset=args.dataset)
    check_positive_dim(source.dim, source.name)
    id_file = IdFile(args.ids, source.count) if args.ids else None
    if id_file is not None and source.has_ids:
        raise CliError("give ids with --ids or with --id-column, not both")
    index = new_index(source.dim, args.bits, args.lists, args.rotation)
    rows = training_rows(source.count, args.lists, args.train_sample)
    started = time.perf_counter()
    train(index, source.take(rows), console)
    note = source.conversion_note()
    if note:
        console.note(note)
    with console.bar(source.count, "adding") as bar:
        for first, vectors, ids in source.batches(batch_rows(args.batch, source.dim)):
            if ids is None:
                ids = id_file.slice(first, first + len(vectors)) if id_file else row_ids(first, len(vectors))
            add_with_ids(index, vectors, ids, id_file.name if id_file else source.name)
            bar.update(len(vectors))
    with replacing(args.output) as temporary:
        index.write(temporary, layout=getattr(args, "layout", "rows"))
    if not args.quiet:
        size = os.path.getsize(args.output)
        print(
            f"wrote {args.output}: {len(index):,} vectors, dim {index.dim}, {index.bits} bits, {index.rotation}, "
            f"{spread_text(size_spread(index))}, {size:,} bytes in {time.perf_counter() - started:.2f} s"
        )
    return 0


def row_ids(first: int, count: int) -> NDArray[np.uint64]:
    return np.arange(first, first + count, dtype=np.uint64)


def add_with_ids(index: Any, vectors: NDArray[np.float32], ids: NDArray[np.uint64], name: str) -> None:
    from varnel._cli_common import panic_text

    try:
        index.add_with_ids(vectors, ids)
    except varnel.PanicException as error:
        raise CliError(f"{name}: {panic_text(error)}; ids must be unique") from None


# ---------------------------------------------------------------------------
# search


def load(path: str, require_checksum: bool = False) -> Any:
    require_readable_file(path)
    try:
        with open(path, "rb") as file:
            mapped = is_mapped_partitioned(file.read(6))
        # A mapped file is searched in place: nothing is read but the pages a search touches.
        if mapped:
            return varnel.PartitionedIndex.open(path, verify=require_checksum)
        return varnel.PartitionedIndex.load(path, require_checksum=require_checksum)
    except OSError as error:
        raise CliError(f"{path}: {error}") from None


def checked_probes(probes: int | None, lists: int) -> int:
    if probes is None:
        return min(DEFAULT_PROBES, lists)
    if probes > lists:
        raise CliError(f"--probes {probes}: the index has only {lists:,} lists")
    return probes


def run_search(args: argparse.Namespace, console: Console) -> int:
    from varnel._cli_inputs import query_options

    if args.output is not None:
        from varnel._cli_outputs import result_paths

        for path in result_paths(args.output):
            check_new_output(path, args.force)
    index = load(args.index, getattr(args, "require_checksum", False))
    probes = checked_probes(args.probes, index.lists)
    queries_file = open_vectors(args.queries, column=args.column, dataset=args.dataset, default_dataset="test")
    if queries_file.dim != index.dim:
        raise CliError(f"{queries_file.name}: queries have {queries_file.dim} values, but the index's dim is {index.dim}")
    note = queries_file.conversion_note()
    if note:
        console.note(note)
    queries = queries_file.read_all()
    if len(queries) == 0:
        raise CliError(f"{queries_file.name}: holds no queries")
    options = query_options(args, SimpleNamespace(has_ids=True, dim=index.dim, count=len(index)))
    scores, ids = search_all(index, queries, args.k, probes, options, console)
    if args.output is None:
        print(result_table(scores, ids, args.show, "id"))
        return 0
    written = write_results(args.output, scores, ids)
    console.note(f"wrote {', '.join(written)}: {len(queries):,} queries, k = {scores.shape[1]}, probes = {probes}")
    return 0


def search_all(
    index: Any, queries: NDArray[np.float32], k: int, probes: int, options: dict[str, Any], console: Console
) -> tuple[NDArray[Any], NDArray[Any]]:
    scores, ids = [], []
    chunk = search_chunk(max(1, len(index) * probes // max(index.lists, 1)), varnel.num_threads())
    with console.bar(len(queries), "searching", unit="query") as bar:
        for start in range(0, len(queries), chunk):
            part = queries[start : start + chunk]
            try:
                if options:
                    found = index.query(part, k, probes=probes, **options)
                else:
                    found = index.search(part, k, probes=probes)
            except (ValueError, TypeError) as error:
                raise CliError(f"--filter/--refine: {error}") from None
            scores.append(found[0])
            ids.append(found[1])
            bar.update(len(part))
    return np.concatenate(scores), np.concatenate(ids)


# ---------------------------------------------------------------------------
# info


def run_info(args: argparse.Namespace) -> int:
    index = load(args.index)
    spread = size_spread(index)
    size = os.path.getsize(args.index)
    per_vector = stored_bytes_per_vector(index)
    facts = {
        "path": args.index,
        "kind": "PartitionedIndex",
        "format": "VMAP" if index.mapped else MAGIC.decode(),
        "layout": "mapped" if index.mapped else "rows",
        "vectors": len(index),
        "dim": index.dim,
        "bits": index.bits,
        "rotation": index.rotation,
        "lists": index.lists,
        "list_sizes": {key: spread[key] for key in ("min", "median", "max", "mean", "empty", "cv", "imbalance")},
        "file_bytes": size,
        "bytes_per_vector": per_vector,
        "centroid_bytes": 4 * index.dim * index.lists,
    }
    if args.json:
        print(json.dumps(facts))
        return 0
    lines = [
        f"file              {args.index}",
        f"kind              PartitionedIndex ({'VMAP' if index.mapped else MAGIC.decode()}, addressed by ids)",
        (
            "layout            mapped (searched in place by open; load reads it into memory)"
            if index.mapped
            else "layout            rows (read into memory by load)"
        ),
        f"vectors           {len(index):,}",
        f"dim               {index.dim}",
        f"bits              {index.bits}",
        f"rotation          {index.rotation}",
        f"lists             {index.lists:,} ({4 * index.dim * index.lists:,} bytes of centroids)",
        (
            f"list sizes        min {spread['min']:,}, median {spread['median']:,.0f}, max {spread['max']:,}, "
            f"mean {spread['mean']:,.1f}, {spread['empty']:,} empty, std/mean {spread['cv']:.2f}"
        ),
        (
            f"imbalance         {spread['imbalance']:.2f} (rows a query scans relative to equal lists; "
            "rebalance() evens the lists out)"
        ),
        f"file size         {size:,} bytes",
        f"bytes per vector  {per_vector} ({code_bytes(index)} codes + 4 scale + 4 shift + 4 length + 8 id)",
    ]
    print("\n".join(lines))
    return 0


# ---------------------------------------------------------------------------
# eval


def probe_sweep(lists: int, requested: list[int] | None) -> list[int]:
    if requested:
        too_many = [p for p in requested if p > lists]
        if too_many:
            raise CliError(f"--probes {too_many[0]}: the index has only {lists:,} lists")
        return sorted(set(requested))
    sweep, probes = [], 1
    while probes < lists:
        sweep.append(probes)
        probes *= 2
    return [*sweep, lists]


def run_eval(args: argparse.Namespace, console: Console) -> int:
    if args.plot is not None:
        _cli_eval.check_plot_output(args.plot, args.force)
    source = open_vectors(args.vectors, column=args.column, dataset=args.dataset)
    check_positive_dim(source.dim, source.name)
    workload = _cli_eval.choose_queries(args, source, console)
    if workload.base_count < args.k:
        raise CliError(f"{source.name}: {workload.base_count:,} vectors to index, fewer than k = {args.k}")
    sweep = probe_sweep(args.lists, args.probes)
    rows = training_rows(source.count, args.lists, args.train_sample, workload.held_out)
    indexes, build_seconds, truth = _cli_eval.build_all(args, workload, console)
    exhaustive = [
        _cli_eval.measure(index, workload, truth, build_seconds[bits], args.k, console) for bits, index in indexes.items()
    ]
    indexes.clear()
    points = []
    for bits in args.bits:
        index, seconds = build_partitioned(args, workload, rows, bits, console)
        for probes in sweep:
            points.append(measure(index, workload, truth, probes, seconds, args.k, console))
        del index
    report = _cli_eval.summary(args, workload, exhaustive, args.rotation)
    report.update(lists=args.lists, train_sample=len(rows), partitioned=points)
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        print(table(report))
    if args.plot is not None:
        draw_plot(args.plot, report)
        console.note(f"wrote {args.plot}")
    return 0


def build_partitioned(
    args: argparse.Namespace, workload: _cli_eval.Workload, rows: NDArray[np.int64], bits: int, console: Console
) -> tuple[Any, float]:
    index = new_index(workload.source.dim, bits, args.lists, args.rotation)
    sample = workload.source.take(rows)
    seconds = train(index, _cli_eval.unit_rows(sample) if workload.unit_length else sample, console)
    position = 0
    with console.bar(workload.source.count, f"adding, {bits} bits, {args.lists:,} lists") as bar:
        for first, vectors, _ in workload.source.batches(batch_rows(args.batch, workload.source.dim)):
            base = _cli_eval.base_rows(vectors, first, workload)
            started = time.perf_counter()
            index.add_with_ids(base, row_ids(position, len(base)))
            seconds += time.perf_counter() - started
            position += len(base)
            bar.update(len(vectors))
    return index, seconds


def measure(
    index: Any, workload: _cli_eval.Workload, truth: NDArray[np.int64], probes: int, build_seconds: float, k: int,
    console: Console,
) -> dict[str, Any]:
    queries = workload.queries
    found = np.empty((len(queries), k), dtype=np.int64)
    seconds = 0.0
    size = search_chunk(max(1, len(index) * probes // index.lists), varnel.num_threads())
    with console.bar(len(queries), f"searching, {index.bits} bits, {probes} probes", unit="query") as bar:
        for start in range(0, len(queries), size):
            chunk = queries[start : start + size]
            started = time.perf_counter()
            _, ids = index.search(chunk, k, probes=probes)
            seconds += time.perf_counter() - started
            found[start : start + len(chunk)] = ids.astype(np.int64)
            bar.update(len(chunk))
    return {
        "bits": index.bits,
        "probes": probes,
        "recall": _cli_eval.recall_at_k(found, truth),
        "qps": len(queries) / max(seconds, 1e-9),
        "build_seconds": build_seconds,
        "search_seconds": seconds,
        "bytes_per_vector": stored_bytes_per_vector(index),
    }


def table(report: dict[str, Any]) -> str:
    k = report["k"]
    lines = [
        (
            f"{report['vectors']}: {report['indexed']:,} vectors of dim {report['dim']}, "
            f"{report['queries']:,} queries ({report['query_source']}), k = {k}"
        ),
        (
            f"rotation {report['rotation']}, {report['threads']} threads, truth: {report['truth']}; "
            f"{report['lists']:,} lists trained on {report['train_sample']:,} vectors"
        ),
        "",
        f"{'index':>12}  {'bits':>4}  {'probes':>6}  {f'recall@{k}':>10}  {'queries/s':>10}  {'build s':>8}  "
        f"{'bytes/vector':>12}",
    ]
    rows = [dict(row, kind="exhaustive", probes="-") for row in report["results"]]
    rows += [dict(row, kind="partitioned") for row in report["partitioned"]]
    for row in rows:
        lines.append(
            f"{row['kind']:>12}  {row['bits']:>4}  {row['probes']:>6}  {row['recall']:>10.4f}  {row['qps']:>10,.0f}  "
            f"{row['build_seconds']:>8.3f}  {row['bytes_per_vector']:>12}"
        )
    return "\n".join(lines)


def draw_plot(path: str, report: dict[str, Any]) -> None:
    """Recall against queries per second: a curve over the probes per code width, the exhaustive index as points."""
    from varnel._cli_inputs import require

    matplotlib = require("matplotlib", "plot", "--plot")
    matplotlib.use("Agg")
    from matplotlib import pyplot

    figure, axes = pyplot.subplots(figsize=(6.4, 4.4), dpi=100)
    colors = {2: "tab:green", 3: "tab:orange", 4: "tab:blue"}
    for bits in sorted({row["bits"] for row in report["partitioned"]}):
        rows = [row for row in report["partitioned"] if row["bits"] == bits]
        axes.plot(
            [row["qps"] for row in rows], [row["recall"] for row in rows], marker="o", markersize=4,
            color=colors.get(bits), label=f"{report['lists']:,} lists, {bits} bits",
        )
        for row in rows:
            axes.annotate(str(row["probes"]), (row["qps"], row["recall"]), textcoords="offset points",
                          xytext=(3, -9), fontsize=7)
    for row in report["results"]:
        axes.scatter(row["qps"], row["recall"], marker="*", s=120, color=colors.get(row["bits"]), zorder=3,
                     label=f"exhaustive, {row['bits']} bits")
    axes.set_xscale("log")
    axes.set_xlabel(f"queries per second ({report['threads']} threads; labels: probes)")
    axes.set_ylabel(f"recall@{report['k']}")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8, loc="lower left")
    name = os.path.basename(report["vectors"])
    axes.set_title(f"varnel on {name}: {report['indexed']:,} x {report['dim']}, {report['queries']:,} queries")
    figure.tight_layout()
    with replacing_file(path) as file:
        figure.savefig(file, format=os.path.splitext(path)[1].lower()[1:])
    pyplot.close(figure)

