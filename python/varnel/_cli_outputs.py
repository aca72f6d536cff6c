"""Files the ``varnel`` command writes: never over an existing file without --force, never half-written."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

from varnel._cli_common import CliError
from varnel._files import create_new, move_into_place, staging_directory

RESULT_EXTENSIONS = (".npy", ".npz", ".csv", ".jsonl", ".ndjson")


def check_new_output(path: str, force: bool) -> None:
    """Refuses, before any work starts, an output that could not or should not be written."""
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory")
    if os.path.lexists(path) and not force:
        raise CliError(f"{path}: exists; add --force to replace it")
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise CliError(f"{path}: directory {directory} does not exist")
    if not os.access(directory, os.W_OK):
        raise CliError(f"{path}: directory {directory} is not writable")


@contextlib.contextmanager
def replacing(path: str) -> Iterator[str]:
    """Yields a temporary name for `path`; it becomes `path` only if the block succeeds.

    The name lies in a private directory beside `path` (see varnel._files), so
    no link planted by someone else is followed. On any failure, Ctrl-C and
    SIGTERM included, the temporary file is removed, so a reader of `path`
    sees either the old file, or nothing, or the whole new one, also after a
    power loss (file and directory are synced).
    """
    with staging_directory(path) as staging:
        temporary = os.path.join(staging, os.path.basename(path))
        yield temporary
        move_into_place(temporary, path)


@contextlib.contextmanager
def replacing_file(path: str, mode: str = "wb") -> Iterator[IO[Any]]:
    with replacing(path) as temporary:
        with create_new(temporary, text="b" not in mode) as file:
            yield file


def result_paths(path: str) -> list[str]:
    """The files a search writes for `-o path`: a .npy name stands for a scores/ids pair."""
    stem, kind = os.path.splitext(path)
    if kind.lower() not in RESULT_EXTENSIONS:
        raise CliError(
            f"{path}: unknown extension '{kind}'; results are written as .npy (a pair of files), .npz, .csv or .jsonl"
        )
    if kind.lower() == ".npy":
        return [f"{stem}.scores.npy", f"{stem}.ids.npy"]
    return [path]


def filled_slots(ids: NDArray[Any]) -> NDArray[np.bool_]:
    """False where a result slot is empty (fewer stored vectors than k)."""
    empty = np.iinfo(ids.dtype).max if ids.dtype == np.uint64 else -1
    return ids != empty


def write_results(path: str, scores: NDArray[np.float32], ids: NDArray[Any]) -> list[str]:
    """Writes the (nq, k) results in the format of `path`'s extension; returns the files written."""
    paths = result_paths(path)
    kind = os.path.splitext(path)[1].lower()
    if kind == ".npy":
        with replacing_file(paths[0]) as scores_file, replacing_file(paths[1]) as ids_file:
            np.save(scores_file, scores)
            np.save(ids_file, ids)
    elif kind == ".npz":
        with replacing_file(path) as file:
            np.savez(file, scores=scores, ids=ids)
    elif kind == ".csv":
        with replacing_file(path, "w") as file:
            write_csv(file, scores, ids)
    else:
        with replacing_file(path, "w") as file:
            write_json_lines(file, scores, ids)
    return paths


def write_csv(file: IO[str], scores: NDArray[np.float32], ids: NDArray[Any]) -> None:
    """One line per found neighbour: query row, rank (from 1), id or position, score; empty slots left out."""
    file.write("query,rank,id,score\n")
    for query, (row_scores, row_ids) in enumerate(zip(scores, ids)):
        kept = filled_slots(row_ids)
        for rank, (id_, score) in enumerate(zip(row_ids[kept].tolist(), row_scores[kept].astype(str)), 1):
            file.write(f"{query},{rank},{id_},{score}\n")


def write_json_lines(file: IO[str], scores: NDArray[np.float32], ids: NDArray[Any]) -> None:
    """One JSON object per query: {"query": row, "ids": [...], "scores": [...]}, best first."""
    for query, (row_scores, row_ids) in enumerate(zip(scores, ids)):
        kept = filled_slots(row_ids)
        id_text = ", ".join(map(str, row_ids[kept].tolist()))
        score_text = ", ".join(row_scores[kept].astype(str))
        file.write(f'{{"query": {query}, "ids": [{id_text}], "scores": [{score_text}]}}\n')


def result_table(scores: NDArray[np.float32], ids: NDArray[Any], shown: int, id_label: str) -> str:
    """The first `shown` queries' results as a readable text table."""
    lines = []
    for query in range(min(shown, len(ids))):
        kept = filled_slots(ids[query])
        found = ids[query][kept].tolist()
        width = max([len(id_label), *(len(str(id_)) for id_ in found)])
        lines.append(f"query {query}:")
        lines.append(f"  {'rank':>4}  {id_label:>{width}}  score")
        for rank, (id_, score) in enumerate(zip(found, scores[query][kept].astype(str)), 1):
            lines.append(f"  {rank:>4}  {id_:>{width}}  {score}")
        if not found:
            lines.append("  (no results)")
    if len(ids) > shown:
        lines.append(f"... {len(ids) - shown:,} more queries; -o FILE writes them all")
    return "\n".join(lines)
