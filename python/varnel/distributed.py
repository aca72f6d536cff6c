"""A sharded index on Ray: one index per Ray actor, searched together.

``ShardedIndex`` spreads vectors over ``num_shards`` actors, each holding one
``IdMapIndex`` (or, with ``lists=N``, one ``PartitionedIndex`` of N lists
sharing the same centroids) with the same ``dim``, ``bits``, ``rotation`` and
the default seed, so every shard encodes a vector exactly as a single index
would. ``search`` and ``query`` send the query batch to every shard at once and
merge their top-k lists on the caller's side; the scores are bit for bit those
of one index holding the same vectors.

Routing: an id lives on shard ``splitmix64(id) mod num_shards`` (see
``shard_of``). The rule depends on nothing but the id and the shard count, so
it is the same in every process, on every machine and in every version; an
index written with N shards must be loaded with N shards.

Ray is an optional dependency (``pip install 'ray[data]'``, or ``pip install '.[ray]'`` in a varnel checkout); ``import varnel``
does not import this module.
"""

from __future__ import annotations

import hashlib
import json
import operator
import os
import re
import threading
import time
import warnings
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np

from varnel._install import install_hint

try:
    import ray
    import ray.exceptions
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("varnel.distributed needs Ray: " + install_hint("'ray[data]'", "ray")) from error

import varnel
from varnel import IdFilter, IdMapIndex, PanicException, PartitionedIndex
from varnel._files import create_new, move_into_place, open_regular_file, staging_directory, sync_directory

__all__ = ["ShardedIndex", "ShardUnavailableError", "shard_of", "merge_results", "ROUTING_RULE"]

EMPTY_ID = 2**64 - 1
# The seed every IdMapIndex created from Python uses; shard files must carry it.
DEFAULT_SEED = 117900524
ROUTING_RULE = "splitmix64(id) mod num_shards"
MANIFEST_NAME = "manifest.json"
MANIFEST_FORMAT = "varnel-sharded-index"
MANIFEST_VERSION = 1
# Partitioned shards: the manifest also names the list count and the sha256 of
# the centroids every shard file must hold (older readers refuse it by version).
PARTITIONED_MANIFEST_VERSION = 2
# Shard files; a name like this that the manifest does not list is an error
# (the hidden staging directory an interrupted write may leave is not one).
_SHARD_FILE_NAME = re.compile(r"^shard-\d+\.vni[mp]$")
_MAX_LISTS = 1 << 20
# A manifest lists about 150 bytes per shard: this allows some 100,000 shards
# and keeps a hostile file from filling memory.
_MANIFEST_MAX_BYTES = 16 << 20
_ROTATION_TAGS = {"planar2": 2, "rotor3": 3, "iso4": 4, "walshrotor3": 5}
_HASH_CHUNK = 1 << 20
_TRAILER_BYTES = 16  # the integrity trailer ("VNCK", length, CRC-32C) that ends a file


class ShardUnavailableError(RuntimeError):
    """A shard's actor is gone; ``shards`` names the missing shard numbers."""

    def __init__(self, shards: Iterable[int], num_shards: int):
        self.shards = tuple(sorted(shards))
        names = ", ".join(str(s) for s in self.shards)
        noun = "shard" if len(self.shards) == 1 else "shards"
        super().__init__(
            f"{noun} {names} of {num_shards} unavailable (Ray actor died); "
            "no result was returned. Call recover() to restore from the last written files."
        )


def shard_of(ids: Any, num_shards: int) -> np.ndarray:
    """The shard of each id: the SplitMix64 output of ``id`` modulo ``num_shards``.

    SplitMix64 output of x: z = x + 0x9E3779B97F4A7C15;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9; z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    z ^ (z >> 31), all modulo 2**64. Returns an int64 array of the ids' shape.
    """
    z = np.array(ids, dtype=np.uint64, copy=True, ndmin=1)
    with np.errstate(over="ignore"):
        z += np.uint64(0x9E3779B97F4A7C15)
        z ^= z >> np.uint64(30)
        z *= np.uint64(0xBF58476D1CE4E5B9)
        z ^= z >> np.uint64(27)
        z *= np.uint64(0x94D049BB133111EB)
        z ^= z >> np.uint64(31)
    return (z % np.uint64(num_shards)).astype(np.int64)


# ---------------------------------------------------------------------------
# Arguments. Whatever the library itself accepts is checked by the library:
# each ShardedIndex keeps an empty index of its shards' kind and parameters and
# hands it the caller's arguments first, so every refusal carries the
# library's message and no shard is asked anything. Only what a single index
# does not have (the column count of adds and searches, which a sharded index
# insists on) is checked here.


def _check_array(name: str, value: Any, ndim: int, dtype: type) -> np.ndarray:
    """The rule of the library's add_with_ids (and remove_many here): exactly this dtype and rank."""
    if not isinstance(value, np.ndarray) or value.ndim != ndim or value.dtype != np.dtype(dtype):
        raise TypeError(f"argument '{name}': '{type(value).__name__}' object cannot be cast as 'ndarray'")
    if not value.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous")
    return value


def _check_rows(name: str, array: Any, dim: int) -> None:
    if isinstance(array, np.ndarray) and array.ndim == 2 and array.shape[0] and array.shape[1] != dim:
        raise ValueError(f"{name} must have {dim} columns, got {array.shape[1]}")


def _as_ids(value: Any) -> np.ndarray:
    """Ids the library has accepted (non-negative integers of any dtype, a list, an IdFilter) as one
    uint64 array."""
    if isinstance(value, IdFilter):
        return value.ids
    return np.ascontiguousarray(np.asarray(value), dtype=np.uint64).reshape(-1)


def _query_rows(queries: Any) -> np.ndarray:
    """Queries the library has accepted, converted as it converts them: one C-contiguous
    float32 array of rows (a 1-D query becomes one row); float32 rows are used as they are."""
    rows = np.ascontiguousarray(np.asarray(queries), dtype=np.float32)
    return rows.reshape(1, -1) if rows.ndim == 1 else rows


def _isin_sorted(values: np.ndarray, sorted_values: np.ndarray) -> np.ndarray:
    """Per value, whether it is in the ascending array `sorted_values`."""
    places = np.searchsorted(sorted_values, values)
    found = np.zeros(len(values), dtype=bool)
    inside = places < len(sorted_values)
    found[inside] = sorted_values[places[inside]] == values[inside]
    return found


def _saturating_product(a: int, b: int) -> int:
    return min(a * b, EMPTY_ID)


def _empty_score(metric: str) -> float:
    return np.inf if metric == "l2" else -np.inf


# ---------------------------------------------------------------------------
# Exact re-scoring on the caller: the float32 sums the library's refinement
# makes, in the same order, so the scores are bit for bit its own. NumPy
# rounds every product and every sum to float32 on its own (no fused
# multiply-add), as the library does.


def _vector_norms(columns: np.ndarray) -> np.ndarray:
    """|v| of vectors given coordinate by coordinate (`columns[j]` holds coordinate j of
    every vector): squares summed in coordinate order in float32, then the square root;
    a vector whose squares overflow float32 is summed in float64 instead."""
    squares = np.full(columns.shape[1:], -0.0, dtype=np.float32)
    for column in columns:
        squares += column * column
    with np.errstate(over="ignore", invalid="ignore"):
        norms = np.sqrt(squares)
    overflow = np.isinf(squares)
    if overflow.any():
        picked = columns[:, overflow]
        wide = np.zeros(picked.shape[1:], dtype=np.float64)
        for column in picked:
            wide += column.astype(np.float64) * column
        norms[overflow] = np.sqrt(wide).astype(np.float32)
    return norms


def _exact_scores(metric: str, queries: np.ndarray, vectors: np.ndarray) -> np.ndarray:
    """Exact scores of `vectors` (q, c, dim) against their query of `queries` (q, dim):
    "ip" sum q_j x_j, "l2" sum (q_j - x_j)^2, "cosine" ip / (|q| |x|), 0 for a zero norm."""
    columns = np.ascontiguousarray(np.moveaxis(vectors, 2, 0))  # coordinate j of every vector
    query_columns = np.ascontiguousarray(queries.T)[:, :, None]
    total = np.zeros(vectors.shape[:2], dtype=np.float32)
    with np.errstate(all="ignore"):
        for q_j, x_j in zip(query_columns, columns):
            if metric == "l2":
                difference = q_j - x_j
                total += difference * difference
            else:
                total += q_j * x_j
        if metric != "cosine":
            return total
        q_norm = _vector_norms(query_columns)
        x_norm = _vector_norms(columns)
        denominator = q_norm * x_norm
        cosine = np.where(denominator > 0, total / denominator, np.float32(0))
        return np.where(denominator == np.inf, total / q_norm / x_norm, cosine).astype(np.float32)


def _first_offending_id(ids: np.ndarray, present: np.ndarray) -> int | None:
    """The first id, in input order, that is stored already or repeats an earlier one."""
    _, first_seen = np.unique(ids, return_index=True)
    repeated = np.ones(len(ids), dtype=bool)
    repeated[first_seen] = False
    offending = np.flatnonzero(present | repeated)
    return int(ids[offending[0]]) if len(offending) else None


_VECTOR_IN_BATCH = re.compile(r"^vector (\d+) of the batch")


def _earliest_failure(failures: list[tuple[np.ndarray, BaseException]]) -> BaseException:
    """The failure of a shard's add that concerns the earliest row of the whole batch.

    `failures` pairs each failing shard's rows (their places in the batch) with
    its exception. A library message that names a vector of the shard's part is
    renumbered to the vector's place in the batch, as a single index names it;
    failures that name no vector come first.
    """
    candidates = []
    for rows, error in failures:
        # The exhaustive kinds raise PanicException, the partitioned one ValueError.
        library_error = isinstance(error, (PanicException, ValueError))
        message = error.args[0] if library_error and error.args else ""
        found = _VECTOR_IN_BATCH.match(message) if isinstance(message, str) else None
        if found:
            row = int(rows[int(found.group(1))])
            error = type(error)(f"vector {row} of the batch" + message[found.end() :], *error.args[1:])
            candidates.append((row, error))
        else:
            candidates.append((-1, error))
    return min(candidates, key=lambda candidate: candidate[0])[1]


# ---------------------------------------------------------------------------
# Shard files: checked before any actor loads them.


def _sha256_of(descriptor: int, size: int) -> str | None:
    """The sha256 of the next `size` bytes of an open file, or None if it ends sooner."""
    digest = hashlib.sha256()
    left = size
    while left:
        chunk = os.read(descriptor, min(left, _HASH_CHUNK))
        if not chunk:
            return None
        digest.update(chunk)
        left -= len(chunk)
    return digest.hexdigest()


def _read_exactly(descriptor: int, offset: int, size: int) -> bytes:
    data = os.pread(descriptor, size, offset)
    if len(data) != size:
        raise OSError(f"the file ended after {offset + len(data)} bytes")
    return data


def _vnim_layout(descriptor: int, size: int, name: str) -> tuple[dict[str, Any], np.ndarray]:
    """Header fields and ids of an IdMapIndex file (VNIM)."""
    if size < 15:
        raise ValueError(f"shard file {name} is not a version 2 VNIM file")
    header = _read_exactly(descriptor, 0, 15)
    if header[:5] != b"VNIM\x02":
        raise ValueError(f"shard file {name} is not a version 2 VNIM file")
    bits, tag = header[5], header[6]
    dim, count = int.from_bytes(header[7:11], "little"), int.from_bytes(header[11:15], "little")
    seed_at = 15 + dim // 8 * bits * count + 4 * count
    data_end = seed_at + 8 + 8 * count
    if size not in (data_end, data_end + _TRAILER_BYTES):
        raise ValueError(f"shard file {name} has {size} bytes, its header announces {data_end}")
    seed = int.from_bytes(_read_exactly(descriptor, seed_at, 8), "little")
    ids = np.frombuffer(_read_exactly(descriptor, seed_at + 8, 8 * count), dtype="<u8")
    return {"dim": dim, "bits": bits, "tag": tag, "seed": seed, "count": count}, ids


def _vnip_layout(descriptor: int, size: int, name: str) -> tuple[dict[str, Any], np.ndarray]:
    """Header fields, the sha256 of the centroids (None untrained) and the ids of a
    PartitionedIndex file (VNIP), walking its lists without reading their codes."""
    if size < 24:
        raise ValueError(f"shard file {name} is not a VNIP file")
    header = _read_exactly(descriptor, 0, 24)
    if header[:4] != b"VNIP" or header[4] not in (2, 3) or header[23] > 1:
        raise ValueError(f"shard file {name} is not a version 2 or 3 VNIP file")
    version, bits, tag = header[4], header[5], header[6]
    dim, lists = int.from_bytes(header[7:11], "little"), int.from_bytes(header[11:15], "little")
    seed, trained = int.from_bytes(header[15:23], "little"), bool(header[23])
    if not 1 <= lists <= _MAX_LISTS:
        raise ValueError(f"shard file {name} declares {lists} lists")
    offset, centroids = 24, None
    # Codes and centroids cover the dim rounded up to a multiple of 8 (zeros appended).
    coded_dim = -(-dim // 8) * 8
    if trained:
        centroid_bytes = 4 * lists * coded_dim
        if offset + centroid_bytes > size:
            raise ValueError(f"shard file {name} ends inside its centroids")
        os.lseek(descriptor, offset, os.SEEK_SET)
        centroids = _sha256_of(descriptor, centroid_bytes)
        offset += centroid_bytes
    # Per vector: its code row, scale, shift (from version 3), norm, and then the list's ids.
    before_ids = coded_dim // 8 * bits + 4 + (4 if version >= 3 else 0) + 4
    parts = []
    for _ in range(lists):
        count = int.from_bytes(_read_exactly(descriptor, offset, 4), "little") if offset + 4 <= size else -1
        ids_at = offset + 4 + before_ids * count
        if count < 0 or ids_at + 8 * count > size:
            raise ValueError(f"shard file {name} has {size} bytes, fewer than its lists announce")
        parts.append(np.frombuffer(_read_exactly(descriptor, ids_at, 8 * count), dtype="<u8"))
        offset = ids_at + 8 * count
    if size not in (offset, offset + _TRAILER_BYTES):
        raise ValueError(f"shard file {name} has {size} bytes, its header announces {offset}")
    ids = np.concatenate(parts) if parts else np.empty(0, dtype="<u8")
    fields = {"dim": dim, "bits": bits, "tag": tag, "seed": seed, "count": len(ids), "lists": lists}
    return {**fields, "centroids": centroids}, ids


def _shard_file_layout(descriptor: int, name: str, lists: int | None) -> tuple[dict[str, Any], np.ndarray]:
    """Header fields and ids of a shard file of either kind; ValueError says what does not fit."""
    size = os.fstat(descriptor).st_size
    return (_vnim_layout if lists is None else _vnip_layout)(descriptor, size, name)


def _ids_in_file(path: str, lists: int | None) -> np.ndarray:
    descriptor = open_regular_file(path)
    try:
        return _shard_file_layout(descriptor, os.path.basename(path), lists)[1]
    finally:
        os.close(descriptor)


def _shard_file_problem(path: str, entry: Mapping[str, Any], shard: int, params: Mapping[str, Any]) -> str | None:
    """Why the shard file at `path` cannot be loaded as shard `shard`, or None if it can.

    Checks that it is a regular file, the checksum and size recorded at write
    time (hashing no more bytes than recorded), the header against the index
    parameters and that every id routes to this shard.
    """
    name = os.path.basename(path)
    try:
        descriptor = open_regular_file(path)
        try:
            return _open_shard_file_problem(descriptor, name, entry, shard, params)
        finally:
            os.close(descriptor)
    except OSError as error:
        return f"shard file {name} cannot be read: {error}"


def _open_shard_file_problem(
    descriptor: int, name: str, entry: Mapping[str, Any], shard: int, params: Mapping[str, Any]
) -> str | None:
    size = os.fstat(descriptor).st_size
    if size != entry["bytes"]:
        return f"shard file {name} has {size} bytes, the manifest says {entry['bytes']}"
    if _sha256_of(descriptor, size) != entry["sha256"]:
        return f"shard file {name} was altered (sha256 differs from the manifest)"
    try:
        fields, ids = _shard_file_layout(descriptor, name, params["lists"])
    except ValueError as error:
        return str(error)
    expected = {
        "dim": params["dim"],
        "bits": params["bits"],
        "tag": _ROTATION_TAGS[params["rotation"]],
        "seed": DEFAULT_SEED,
        "count": entry["count"],
    }
    if params["lists"] is not None:
        expected.update(lists=params["lists"], centroids=params["centroids"])
    if fields != expected:
        what = "dim, bits, rotation, seed or count" + ("" if params["lists"] is None else ", lists or centroids")
        return f"shard file {name} does not match the manifest's {what}"
    if len(ids) and not np.all(shard_of(ids, params["num_shards"]) == shard):
        return f"shard file {name} holds ids that route to another shard"
    return None


@ray.remote(num_cpus=0)
def _check_shard_file(path: str, entry: Mapping[str, Any], shard: int, params: Mapping[str, Any]) -> str | None:
    return _shard_file_problem(path, entry, shard, params)


def _manifest_checksum(body: Mapping[str, Any]) -> str:
    text = json.dumps({k: v for k, v in body.items() if k != "checksum"}, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()


def _shard_file_name(shard: int, lists: int | None = None) -> str:
    return f"shard-{shard:05d}.{'vnim' if lists is None else 'vnip'}"


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _read_small_file(path: str, limit: int) -> bytes:
    """The contents of a regular file of at most `limit` bytes."""
    descriptor = open_regular_file(path)
    try:
        with os.fdopen(descriptor, "rb", closefd=False) as file:
            data = file.read(limit + 1)
    finally:
        os.close(descriptor)
    if len(data) > limit:
        raise OSError(f"larger than {limit:,} bytes")
    return data


def _read_manifest(directory: str) -> dict[str, Any]:
    """Reads and checks the manifest and the directory listing; raises OSError on any fault."""
    path = os.path.join(directory, MANIFEST_NAME)
    try:
        manifest = json.loads(_read_small_file(path, _MANIFEST_MAX_BYTES))
    except FileNotFoundError:
        raise OSError(f"no {MANIFEST_NAME} in {directory}: not a written sharded index") from None
    except (OSError, ValueError) as error:
        raise OSError(f"{MANIFEST_NAME} in {directory} cannot be read: {error}") from None
    except RecursionError:
        raise OSError(f"{MANIFEST_NAME} in {directory} cannot be read: nested too deeply") from None
    if not isinstance(manifest, dict) or manifest.get("checksum") != _manifest_checksum(manifest):
        raise OSError(f"{MANIFEST_NAME} in {directory} was altered (its checksum does not match)")
    version = manifest.get("version")
    if manifest.get("format") != MANIFEST_FORMAT or version not in (MANIFEST_VERSION, PARTITIONED_MANIFEST_VERSION):
        raise OSError(
            f"{MANIFEST_NAME} in {directory} is not a version {MANIFEST_VERSION} or "
            f"{PARTITIONED_MANIFEST_VERSION} {MANIFEST_FORMAT} manifest"
        )
    if manifest.get("routing") != ROUTING_RULE:
        raise OSError(f"unknown routing rule {manifest.get('routing')!r} (this version routes by {ROUTING_RULE!r})")
    if manifest.get("seed") != DEFAULT_SEED:
        raise OSError(f"unsupported seed {manifest.get('seed')!r} (shards use {DEFAULT_SEED})")
    parameters_valid = _is_int(manifest.get("dim")) and _is_int(manifest.get("bits"))
    if not parameters_valid or manifest.get("rotation") not in _ROTATION_TAGS:
        raise OSError(f"{MANIFEST_NAME} in {directory} has no valid dim, bits or rotation")
    lists: Any = manifest.get("lists")
    if version == PARTITIONED_MANIFEST_VERSION:
        centroids = manifest.get("centroids")
        lists_valid = _is_int(lists) and 1 <= lists <= _MAX_LISTS
        if not lists_valid or not (centroids is None or isinstance(centroids, str)):
            raise OSError(f"{MANIFEST_NAME} in {directory} has no valid lists or centroids")
    elif "lists" in manifest or "centroids" in manifest:
        raise OSError(f"{MANIFEST_NAME} in {directory} names lists, which no version {MANIFEST_VERSION} manifest has")
    shards = manifest.get("shards")
    if not isinstance(shards, list) or len(shards) != manifest.get("num_shards") or not shards:
        raise OSError(f"{MANIFEST_NAME} in {directory} lists a wrong number of shard files")
    for number, entry in enumerate(shards):
        fields_valid = (
            isinstance(entry, dict)
            and isinstance(entry.get("sha256"), str)
            and all(_is_int(entry.get(key)) for key in ("bytes", "count"))
        )
        if not fields_valid or entry.get("file") != _shard_file_name(number, lists):
            raise OSError(f"{MANIFEST_NAME} in {directory} has no valid entry for shard {number}")
    listed = {entry["file"] for entry in shards}
    present = {name for name in os.listdir(directory) if _SHARD_FILE_NAME.match(name)}
    if missing := sorted(listed - present):
        raise OSError(f"missing shard file {missing[0]} in {directory}")
    if extra := sorted(present - listed):
        raise OSError(f"unexpected shard file {extra[0]} in {directory} (not in {MANIFEST_NAME})")
    return manifest


# ---------------------------------------------------------------------------
# One shard: an IdMapIndex inside a Ray actor.


class _ShardPanic(Exception):
    """A library precondition failed inside an actor (carried as a plain Exception:
    a BaseException raised in an actor method would end the actor)."""


def _library_call(function, *args, **options):
    try:
        return function(*args, **options)
    except PanicException as error:
        raise _ShardPanic(*error.args) from None


class _Shard:
    def __init__(self, dim: int, bits: int, rotation: str, path: str | None, lists: int | None = None):
        # Shards on one node must not each start a thread per hardware thread.
        cpus = ray.get_runtime_context().get_assigned_resources().get("CPU", 1.0)
        varnel.set_num_threads(max(1, int(cpus)))
        self.index: IdMapIndex | PartitionedIndex
        if path:
            self.index = (IdMapIndex if lists is None else PartitionedIndex).load(path)
        elif lists is None:
            self.index = IdMapIndex(dim, bits, rotation)
        else:
            self.index = PartitionedIndex(dim, bits, lists, rotation)
        # Every stored id, ascending (8 bytes per vector): it answers the questions
        # about many ids at once that the index answers one id at a time.
        self.ids = np.sort(_ids_in_file(path, lists)) if path else np.empty(0, dtype=np.uint64)
        self.journal: list[np.ndarray] | None = None

    def threads(self) -> int:
        return varnel.num_threads()

    def size(self) -> int:
        return len(self.index)

    def present(self, ids: np.ndarray) -> np.ndarray:
        return _isin_sorted(ids, self.ids)

    def add(self, vectors: np.ndarray, ids: np.ndarray) -> None:
        _library_call(self.index.add_with_ids, vectors, ids)
        added = np.sort(ids)
        self.ids = np.insert(self.ids, np.searchsorted(self.ids, added), added)
        if self.journal is not None:
            self.journal.append(ids)

    def remove_many(self, ids: np.ndarray) -> np.ndarray:
        remove = self.index.remove
        removed = np.fromiter((remove(i) for i in ids.tolist()), dtype=bool, count=len(ids))
        self.ids = np.delete(self.ids, np.searchsorted(self.ids, ids[removed]))
        return removed

    def prepare(self) -> None:
        if hasattr(self.index, "prepare"):  # a partitioned shard has no caches to build
            self.index.prepare()

    def set_centroids(self, centroids: np.ndarray) -> None:
        _library_call(self.partitioned().set_centroids, centroids)

    def centroids(self) -> np.ndarray:
        return self.partitioned().centroids()

    def partitioned(self) -> PartitionedIndex:
        if not isinstance(self.index, PartitionedIndex):
            raise TypeError("this shard holds no PartitionedIndex")
        return self.index

    def search(self, queries: Any, k: int, probes: int | None = None) -> tuple[np.ndarray, np.ndarray, int, float]:
        start = time.perf_counter()
        options = {} if probes is None else {"probes": probes}
        scores, ids = _library_call(self.index.search, queries, k, **options)
        return scores, ids, len(self.index), time.perf_counter() - start

    def query(
        self,
        queries: np.ndarray,
        k: int,
        allowed: np.ndarray | None,
        options: Mapping[str, Any],
        refine: tuple[str, Any] | None,
    ) -> tuple[np.ndarray | None, np.ndarray | None, int, float, int | None]:
        """The index's query over this shard's part of `allowed`: (scores, ids, the
        number of stored ids the filter admits, seconds, refine fact).

        `refine` asks for the fact that decides whether the caller's refine
        vectors cover every id this shard may return: ("rows", n) gives the
        largest such id, ("ids", ascending refine ids routed here) the smallest
        one missing from them. When the fact already refuses the refine
        vectors, nothing is searched (scores and ids None).
        """
        start = time.perf_counter()
        eligible = self.ids
        if allowed is not None:
            allowed = np.unique(allowed)
            eligible = allowed[_isin_sorted(allowed, self.ids)]
        fact, refused = None, False
        if refine is not None and len(eligible):
            what, value = refine
            if what == "rows":
                fact = int(eligible[-1])
                refused = fact >= value
            else:
                missing = eligible[~_isin_sorted(eligible, value)]
                fact = int(missing[0]) if len(missing) else None
                refused = fact is not None
        if refused:
            return None, None, len(eligible), time.perf_counter() - start, fact
        filtered = None if allowed is None else eligible
        scores, ids = _library_call(self.index.query, queries, k, allowed=filtered, **options)
        return scores, ids, len(eligible), time.perf_counter() - start, fact

    def write(self, path: str) -> dict[str, Any]:
        self.index.write(path)
        descriptor = open_regular_file(path)
        try:
            os.fsync(descriptor)
            size = os.fstat(descriptor).st_size
            digest = _sha256_of(descriptor, size)
        finally:
            os.close(descriptor)
        entry = {"sha256": digest, "bytes": size, "count": len(self.index)}
        if isinstance(self.index, PartitionedIndex):
            # As the file holds them: rows of the dim rounded up to a multiple of 8, zeros appended.
            dim = self.index.dim
            centroids = np.zeros((self.index.lists if self.index.is_trained else 0, -(-dim // 8) * 8), dtype="<f4")
            centroids[:, :dim] = self.index.centroids()
            entry["centroids"] = hashlib.sha256(centroids.tobytes()).hexdigest() if self.index.is_trained else None
        return entry

    def start_journal(self) -> None:
        self.journal = []

    def end_journal(self, undo: bool) -> None:
        """Drops the journal; with `undo`, first removes every id added since it started."""
        if undo and self.journal:
            for ids in self.journal:
                self.remove_many(ids)
        self.journal = None


_ShardActor = ray.remote(max_restarts=0)(_Shard)


# ---------------------------------------------------------------------------


class ShardedIndex:
    """An ``IdMapIndex`` (or, with ``lists=N``, a ``PartitionedIndex``) spread over
    ``num_shards`` Ray actors.

    Each shard is an actor reserving ``num_cpus_per_shard`` CPUs (fractions
    allowed) and running varnel with that many threads (at least one).
    ``actor_options`` go to Ray's ``.options()`` for every shard actor (for
    example ``{"scheduling_strategy": "SPREAD"}``, the default, or custom
    resources). The constructor waits up to ``start_timeout`` seconds for the
    actors to start. Ray is initialised with its defaults if it is not yet.

    With ``lists=N`` every shard holds a ``PartitionedIndex`` of N lists
    instead; ``train(sample)`` learns the centroids once, on the caller's
    side, and gives every shard the same ones, so ``search(..., probes=P)``
    returns bit for bit what one ``PartitionedIndex`` trained on the same
    sample returns. Both kinds are written, loaded and recovered alike.
    """

    def __init__(
        self,
        dim: int,
        bits: int,
        rotation: str = "rotor3",
        num_shards: int = 2,
        *,
        num_cpus_per_shard: float = 1.0,
        actor_options: Mapping[str, Any] | None = None,
        start_timeout: float = 120.0,
        lists: int | None = None,
    ):
        probe: IdMapIndex | PartitionedIndex
        if lists is not None:
            probe = PartitionedIndex(dim, bits, lists, rotation)  # its parameter checks and messages
        else:
            probe = IdMapIndex(dim, bits, rotation)  # the same parameter checks and messages
        # Always empty: it checks the arguments of calls (see "Arguments" above).
        self._probe: IdMapIndex | PartitionedIndex = probe
        self._lists = None if lists is None else probe.lists
        num_shards = operator.index(num_shards)
        if num_shards < 1:
            raise ValueError(f"num_shards must be at least 1, got {num_shards}")
        self._dim, self._bits, self._rotation = probe.dim, probe.bits, probe.rotation
        self._num_shards = num_shards
        self._options = {"scheduling_strategy": "SPREAD", **(actor_options or {}), "num_cpus": num_cpus_per_shard}
        self._start_timeout = start_timeout
        self._lock = threading.RLock()
        self._written: dict[str, Any] | None = None  # directory and manifest of the last write or load
        self._unwritten = [False] * num_shards  # shards changed since that write
        self._actors: list[Any] = []
        self._actors = self._start(list(range(num_shards)), [None] * num_shards)

    # -- properties ---------------------------------------------------------

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def bits(self) -> int:
        return self._bits

    @property
    def rotation(self) -> str:
        return self._rotation

    @property
    def num_shards(self) -> int:
        return self._num_shards

    @property
    def lists(self) -> int | None:
        """Lists of every shard's ``PartitionedIndex``; None for shards of ``IdMapIndex``."""
        return getattr(self, "_lists", None)

    @property
    def actors(self) -> tuple[Any, ...]:
        """The shard actors' handles, in shard order (for inspection and monitoring)."""
        return tuple(self._actors)

    def __repr__(self) -> str:
        lists = f", lists={self.lists}" if self.lists is not None else ""
        return (
            f"ShardedIndex(dim={self._dim}, bits={self._bits}, rotation='{self._rotation}', "
            f"num_shards={self._num_shards}{lists})"
        )

    # -- actors and calls ---------------------------------------------------

    def _start(self, shards: list[int], paths: list[str | None]) -> list[Any]:
        """Starts one actor per shard and waits for all; on any failure kills them all."""
        actors = [
            _ShardActor.options(**self._options).remote(self._dim, self._bits, self._rotation, path, self.lists)
            for path in paths
        ]
        try:
            ready = [actor.threads.remote() for actor in actors]
            done, waiting = ray.wait(ready, num_returns=len(ready), timeout=self._start_timeout)
            if waiting:
                late = [shards[ready.index(ref)] for ref in waiting]
                raise TimeoutError(
                    f"shard actors {late} did not start within {self._start_timeout} s "
                    f"(each needs {self._options['num_cpus']} CPUs; is the cluster large enough?)"
                )
            for shard, ref in zip(shards, ready):
                try:
                    ray.get(ref)
                except ray.exceptions.RayError as error:
                    raise OSError(f"shard {shard} failed to start: {getattr(error, 'cause', None) or error}") from None
        except BaseException:
            for actor in actors:
                ray.kill(actor)
            raise
        return actors

    def _call(self, method: str, arguments: Mapping[int, tuple]) -> dict[int, Any]:
        """Calls `method` on the given shards at once; results by shard, or raises.

        A dead shard raises ShardUnavailableError naming every dead shard, after
        all other calls have finished; a failed library check raises PanicException.
        """
        results, dead, failures = self._call_all(method, arguments)
        if dead:
            raise ShardUnavailableError(dead, self._num_shards)
        if failures:
            raise next(iter(failures.values()))
        return results

    def _call_all(
        self, method: str, arguments: Mapping[int, tuple]
    ) -> tuple[dict[int, Any], list[int], dict[int, BaseException]]:
        """Like _call, but waits for every shard and returns (results of the shards
        that answered, dead shards, the exception of each shard whose call failed:
        PanicException for a failed library check)."""
        if not self._actors:
            raise RuntimeError("the sharded index is closed")
        refs = {shard: getattr(self._actors[shard], method).remote(*args) for shard, args in arguments.items()}
        results, dead, failures = {}, [], {}
        for shard, ref in refs.items():
            try:
                results[shard] = ray.get(ref)
            except ray.exceptions.RayActorError:
                dead.append(shard)
            except _ShardPanic as error:
                failures[shard] = PanicException(*error.cause.args)
            except ray.exceptions.RayTaskError as error:
                # The library's own exception, without Ray's wrapping of the remote traceback.
                failures[shard] = error.cause if isinstance(error.cause, Exception) else error
            except Exception as error:
                failures[shard] = error
        return results, dead, failures

    def _every_shard(self, *args) -> dict[int, tuple]:
        return {shard: args for shard in range(self._num_shards)}

    # -- size and membership ------------------------------------------------

    def __len__(self) -> int:
        with self._lock:
            return sum(self._call("size", self._every_shard()).values())

    def contains(self, id: int) -> bool:
        self._probe.contains(id)  # the library's checks of an id
        id = operator.index(id)
        shard = int(shard_of(id, self._num_shards)[0])
        with self._lock:
            return bool(self._call("present", {shard: (np.array([id], dtype=np.uint64),)})[shard][0])

    __contains__ = contains

    # -- adding -------------------------------------------------------------

    def add_with_ids(self, vectors: np.ndarray, ids: np.ndarray) -> None:
        """Adds vectors (float32, shape (m, dim), C-contiguous) with uint64 ids.

        All checks of ``IdMapIndex.add_with_ids`` (one id per vector, no id
        stored already, no id twice in the batch) run before any shard changes,
        with the same ``PanicException`` messages. Unlike ``IdMapIndex``,
        ``vectors`` must have exactly ``dim`` columns (ValueError otherwise).
        If a shard dies during the add, the parts already added to the other
        shards are removed again before ShardUnavailableError is raised.
        """
        _check_array("vectors", vectors, 2, np.float32)
        _check_array("ids", ids, 1, np.uint64)
        _check_rows("vectors", vectors, self._dim)
        with self._lock:
            self._add_batch(vectors, ids)

    def add_dataset(
        self, dataset: Any, *, id_column: str = "id", vector_column: str = "vector", batch_size: int = 65536
    ) -> int:
        """Adds every row of a Ray Dataset, streamed in batches; returns the number of rows added.

        ``id_column`` holds non-negative integers, ``vector_column`` float32
        vectors of ``dim`` values (a tensor column or a list column, as
        ``ray.data.read_parquet`` or ``ray.data.read_numpy`` give them). Only
        one batch at a time passes through the caller. Each batch is checked as
        in ``add_with_ids``; if any batch fails, every row this call added is
        removed again before the error propagates, so the index holds the same
        vectors as before (their positions inside a shard may differ, which
        only changes the order among exactly equal scores).
        """
        self._check_room_to_read(dataset)
        with self._lock:
            self._call("start_journal", self._every_shard())
            added = 0
            try:
                for batch in dataset.iter_batches(batch_size=batch_size, batch_format="numpy"):
                    vectors, ids = self._batch_columns(batch, id_column, vector_column)
                    self._add_batch(vectors, ids)
                    added += len(ids)
            except BaseException:
                self._call_all("end_journal", self._every_shard(True))
                raise
            self._call("end_journal", self._every_shard(False))
            return added

    def _check_room_to_read(self, dataset: Any) -> None:
        """Refuses a data set that Ray could never read because the shards hold every CPU.

        Ray Data reads (and transforms) in tasks that each need a whole CPU;
        with none left over, iter_batches would wait for ever. A materialized
        data set needs no task. The check counts the cluster as it is now: an
        autoscaling cluster may grow, so start one more node first.
        """
        if any(kind.__name__ == "MaterializedDataset" for kind in type(dataset).__mro__):
            return
        total = ray.cluster_resources().get("CPU", 0.0)
        reserved = self._num_shards * float(self._options["num_cpus"])
        if total - reserved < 1:
            raise RuntimeError(
                f"the {self._num_shards} shard actors reserve {reserved:g} of the cluster's {total:g} CPUs, "
                "leaving less than the whole CPU each Ray Data reading task needs: add_dataset would wait "
                "for ever. Give the shards fewer CPUs (num_cpus_per_shard), add a node, or pass "
                "dataset.materialize() (read before the shards start)"
            )

    def _batch_columns(self, batch: Mapping[str, np.ndarray], id_column: str, vector_column: str):
        for column in (id_column, vector_column):
            if column not in batch:
                raise ValueError(f"the data set has no column '{column}' (columns: {sorted(batch)})")
        ids, vectors = batch[id_column], batch[vector_column]
        if vectors.dtype == object:  # a list column: one array per row
            vectors = np.stack(vectors) if len(vectors) else np.empty((0, self._dim), np.float32)
        if vectors.dtype != np.float32 or vectors.ndim != 2:
            raise TypeError(
                f"column '{vector_column}' must hold float32 vectors of {self._dim} values, "
                f"got {vectors.dtype} of shape {vectors.shape}"
            )
        if ids.dtype.kind not in "iu" or ids.ndim != 1 or (ids.dtype.kind == "i" and np.any(ids < 0)):
            raise TypeError(f"column '{id_column}' must hold non-negative integers, got {ids.dtype}")
        _check_rows(f"column '{vector_column}'", vectors, self._dim)
        return np.ascontiguousarray(vectors), np.ascontiguousarray(ids, dtype=np.uint64)

    def _add_batch(self, vectors: np.ndarray, ids: np.ndarray) -> None:
        count = vectors.shape[0]
        # A broken precondition: the panic type of IdMapIndex, ValueError as PartitionedIndex raises.
        fault = PanicException if self._lists is None else ValueError
        if len(ids) != count:
            raise fault(
                f"assertion `left == right` failed: expected {count} ids, got {len(ids)}\n"
                f"  left: {len(ids)}\n right: {count}"
            )
        if count == 0:
            return
        parts = self._split_by_shard(ids, vectors)
        present = np.empty(count, dtype=bool)
        answers = self._call("present", {shard: (part_ids,) for shard, (_, part_ids, _) in parts.items()})
        for shard, (rows, _, _) in parts.items():
            present[rows] = answers[shard]
        if (offending := _first_offending_id(ids, present)) is not None:
            raise fault(f"id {offending} already present in index")
        try:
            added, dead, failures = self._call_all("add", {s: (v, i) for s, (_, i, v) in parts.items()})
        except BaseException:
            # Interrupted while the shards add: each shard runs the caller's
            # calls in order, so a removal sent now follows its add. None of
            # these ids was stored before, so nothing else can go.
            self._call_all("remove_many", {shard: (part_ids,) for shard, (_, part_ids, _) in parts.items()})
            raise
        if dead or failures:
            # All or nothing: take the parts back from the shards that took them.
            self._call_all("remove_many", {shard: (parts[shard][1],) for shard in added})
            if dead:
                raise ShardUnavailableError(dead, self._num_shards)
            raise _earliest_failure([(parts[shard][0], error) for shard, error in failures.items()])
        for shard in parts:
            self._unwritten[shard] = True

    def _split_by_shard(self, ids: np.ndarray, vectors: np.ndarray | None = None) -> dict[int, tuple]:
        """(rows of the batch, their ids, their vectors) per shard that receives any."""
        shards = shard_of(ids, self._num_shards)
        order = np.argsort(shards, kind="stable")
        bounds = np.searchsorted(shards[order], np.arange(self._num_shards + 1))
        parts = {}
        for shard in range(self._num_shards):
            rows = order[bounds[shard] : bounds[shard + 1]]
            if len(rows):
                part_vectors = None if vectors is None else np.ascontiguousarray(vectors[rows])
                parts[shard] = (rows, np.ascontiguousarray(ids[rows]), part_vectors)
        return parts

    # -- removing -----------------------------------------------------------

    def remove(self, id: int) -> bool:
        """Removes one id; returns whether it was stored."""
        self._probe.contains(id)  # the library's checks of an id
        id = operator.index(id)
        return bool(self.remove_many(np.array([id], dtype=np.uint64))[0])

    def remove_many(self, ids: np.ndarray) -> np.ndarray:
        """Removes uint64 ids; returns, per id, whether it was removed (False for an
        unknown id and for the repeat of an id earlier in the same array).

        If a shard is dead, nothing is removed: every shard concerned is asked
        first. A shard dying between that question and the removal leaves the
        removals on the other shards done; ShardUnavailableError says so.
        """
        _check_array("ids", ids, 1, np.uint64)
        removed = np.zeros(len(ids), dtype=bool)
        with self._lock:
            parts = self._split_by_shard(ids)
            self._call("size", {shard: () for shard in parts})
            results, dead, _ = self._call_all("remove_many", {s: (part_ids,) for s, (_, part_ids, _) in parts.items()})
            for shard, (rows, _, _) in parts.items():
                if shard in results:
                    removed[rows] = results[shard]
                    self._unwritten[shard] |= bool(results[shard].any())
            if dead:
                raise ShardUnavailableError(dead, self._num_shards)
        return removed

    # -- search -------------------------------------------------------------

    def prepare(self) -> None:
        """Builds every shard's search caches now, in parallel, instead of at the first search."""
        with self._lock:
            self._call("prepare", self._every_shard())

    def train(self, sample: np.ndarray) -> None:
        """Learns the lists' centroids from ``sample`` (as ``PartitionedIndex.train``)
        on the caller's side and gives every shard the same ones; only with ``lists``.

        As for one index, the shards must be empty: if any holds vectors, the
        library's refusal is raised and no shard's centroids change."""
        if self.lists is None:
            raise TypeError("train needs a ShardedIndex made with lists=N")
        index = PartitionedIndex(self._dim, self._bits, self.lists, self._rotation)
        index.train(sample)
        centroids = ray.put(index.centroids())
        with self._lock:
            sizes = self._call("size", self._every_shard())
            # Shards holding vectors first: their refusal comes before any shard changes.
            holding = [shard for shard, size in sizes.items() if size]
            for shards in (holding, [shard for shard in sizes if shard not in holding]):
                self._call("set_centroids", {shard: (centroids,) for shard in shards})
            self._probe = index

    def search(self, queries: np.ndarray, k: int, *, probes: int | None = None) -> tuple[np.ndarray, np.ndarray]:
        """Top-k over all shards: ``(scores, ids)`` as in ``IdMapIndex.search``.

        Scores are bit for bit those of one ``IdMapIndex`` holding the same
        vectors. Ties: exactly equal scores come in ascending id order (a
        single index orders them by position). Where equal scores straddle the
        k-th place, which of them are kept depends, as in a single index, on
        positions inside the shards (the order of adds and removals).

        With ``lists``, ``probes`` lists (by default 8, or ``lists`` when it is
        smaller) are scanned per query in every shard, the same lists
        everywhere (the shards share centroids).
        """
        if self.lists is None and probes is not None:
            raise TypeError("probes needs a ShardedIndex made with lists=N")
        _check_rows("queries", queries, self._dim)
        options = {} if probes is None else {"probes": probes}
        self._probe.search(queries, k, **options)  # the library's checks of every argument
        if self.lists is not None:
            queries = _query_rows(queries)  # a partitioned index takes array-likes: converted once here
        k = operator.index(k)
        with self._lock:
            shared_queries = ray.put(queries)
            results = self._call("search", self._every_shard(shared_queries, k, probes))
        if results[0][0].shape[0] == 0:
            return np.empty((0, k), np.float32), np.empty((0, k), np.uint64)
        return merge_results([results[shard][:3] for shard in range(self._num_shards)], k)

    def query(
        self,
        queries: Any,
        k: int,
        *,
        allowed: Any = None,
        metric: str = "ip",
        refine: np.ndarray | None = None,
        refine_factor: int | None = None,
        refine_ids: Any = None,
        probes: int | None = None,
        **options: Any,
    ) -> tuple[np.ndarray, np.ndarray]:
        """Top-k with the options of the shards' own ``query``: ``(scores, ids)``.

        Takes what ``IdMapIndex.query`` takes (with ``lists``, what
        ``PartitionedIndex.query`` takes, ``probes`` included), with the same
        checks and messages, made once on the caller before any shard is asked;
        further keyword options go to every shard's ``query`` as they are.

        - ``allowed`` ids: each shard filters by the allowed ids routed to it,
          so the answer holds the best of all of them (k columns when k of
          them are stored, wherever they live); fewer allowed than ``k`` gives
          fewer columns, as one index gives.
        - ``metric``: "ip", "cosine" or "l2" (ascending), merged in its order.
        - ``refine`` rows (by id, or by ``refine_ids``) stay on the caller:
          the shards return their best ``refine_factor * k`` candidates by
          code, the caller keeps the best ``refine_factor * k`` of all of them,
          as one index would, reads only their rows and re-scores them exactly
          (the same float32 sums as the library). A ``np.memmap`` is read
          only where needed.

        Scores are bit for bit those of one index holding the same vectors;
        ids too, except among exactly equal scores, which come in ascending
        id order (see ``search``). With ``lists`` each shard scans the same
        ``probes`` lists, as one ``PartitionedIndex`` with the same centroids.
        """
        forwarded: dict[str, Any] = {"metric": metric, **options}
        if probes is not None:
            forwarded["probes"] = probes
        refining = {"refine": refine, "refine_factor": refine_factor, "refine_ids": refine_ids}
        refining = {name: value for name, value in refining.items() if value is not None}
        # The library's checks of every argument, by an empty index of the shards' kind.
        self._probe.query(queries, k, allowed=allowed, **forwarded, **refining)
        rows, k = _query_rows(queries), operator.index(k)
        shards = range(self._num_shards)
        allowed_parts: dict[int, np.ndarray | None] = {s: None for s in shards}
        if allowed is not None:
            parts = self._split_by_shard(_as_ids(allowed))
            allowed_parts = {s: parts[s][1] if s in parts else np.empty(0, np.uint64) for s in shards}
        refine_facts: dict[int, tuple[str, Any] | None] = {s: None for s in shards}
        asked, factor, row_ids = k, 1, None
        if refine is not None:
            factor = 4 if refine_factor is None else operator.index(refine_factor)
            asked = _saturating_product(max(1, k), factor)
            if self.lists is not None:
                # A partitioned index checks the rows of its candidates only (in _refined).
                row_ids = None if refine_ids is None else _as_ids(refine_ids)
            elif refine_ids is None:
                refine_facts = {s: ("rows", refine.shape[0]) for s in shards}
            else:
                row_ids = _as_ids(refine_ids)
                parts = self._split_by_shard(row_ids)
                no_ids = np.empty(0, np.uint64)
                refine_facts = {s: ("ids", np.sort(parts[s][1]) if s in parts else no_ids) for s in shards}
        with self._lock:
            shared_rows = ray.put(rows)
            calls = {s: (shared_rows, asked, allowed_parts[s], forwarded, refine_facts[s]) for s in allowed_parts}
            results, dead, failures = self._call_all("query", calls)
        if dead:
            raise ShardUnavailableError(dead, self._num_shards)
        if refine is not None and self.lists is None:
            self._check_refine_facts(refine.shape[0], refine_ids is not None, [r[4] for r in results.values()])
        if failures:
            raise next(iter(failures.values()))
        found = [results[shard][:3] for shard in shards]
        if rows.shape[0] == 0:
            return np.empty((0, k), np.float32), np.empty((0, k), np.uint64)
        if refine is None:
            return merge_results(found, k, metric=metric)
        return _refined(rows, k, metric, found, factor, refine, row_ids)

    @staticmethod
    def _check_refine_facts(refine_rows: int, by_refine_ids: bool, facts: list[int | None]) -> None:
        """The refusals of one index whose refine rows miss an id it may return."""
        known = [fact for fact in facts if fact is not None]
        if by_refine_ids and known:
            raise ValueError(f"id {min(known)} may be returned but is not in refine_ids")
        if not by_refine_ids and known and max(known) >= refine_rows:
            raise ValueError(
                f"refine has {refine_rows} rows but id {max(known)} may be returned (rows are indexed by id)"
            )

    # -- files --------------------------------------------------------------

    def write(self, directory: str | os.PathLike) -> None:
        """Writes every shard's file in parallel, then the manifest.

        A shard file is what its index's ``write`` writes: ``shard-NNNNN.vnim``
        for ``IdMapIndex`` shards, ``shard-NNNNN.vnip`` for partitioned ones
        (whose manifest also records the list count and the sha256 of the
        centroids all shards share).

        ``directory`` (created if needed; on storage that every shard's node
        sees) must not hold shard files other than those of this index's
        shard numbers. Each shard writes its file into a private staging
        directory inside ``directory`` (created with an unpredictable name and
        mode 0700, so nothing planted there is followed), syncs it and reports
        its sha256; only when every shard succeeded are the files renamed into
        place and the manifest written (synced, then renamed); the staging
        directory is removed in any case.
        An interrupted write can leave a directory that ``load`` refuses;
        write to a fresh directory to keep the previous snapshot loadable.
        """
        directory = os.path.abspath(os.fspath(directory))
        os.makedirs(directory, exist_ok=True)
        names = [_shard_file_name(shard, self.lists) for shard in range(self._num_shards)]
        foreign = sorted(
            n for n in os.listdir(directory) if _SHARD_FILE_NAME.match(n) and n not in names
        )
        if foreign:
            raise OSError(f"{directory} holds shard file {foreign[0]} of another index; write to another directory")
        with self._lock, staging_directory(os.path.join(directory, MANIFEST_NAME)) as staging:
            staged = [os.path.join(staging, name) for name in names]
            entries = self._call("write", {shard: (path,) for shard, path in enumerate(staged)})
            centroids = {entry.pop("centroids", None) for entry in entries.values()}
            if len(centroids) != 1:
                raise RuntimeError("the shards hold different centroids; nothing was written")
            for name, path in zip(names, staged):
                move_into_place(path, os.path.join(directory, name), sync=False)  # the shard synced it
            manifest = {
                "format": MANIFEST_FORMAT,
                "version": MANIFEST_VERSION if self.lists is None else PARTITIONED_MANIFEST_VERSION,
                "dim": self._dim,
                "bits": self._bits,
                "rotation": self._rotation,
                "seed": DEFAULT_SEED,
                "num_shards": self._num_shards,
                "routing": ROUTING_RULE,
                "shards": [{"file": names[shard], **entries[shard]} for shard in range(self._num_shards)],
            }
            if self.lists is not None:
                manifest.update(lists=self.lists, centroids=centroids.pop())
            manifest["checksum"] = _manifest_checksum(manifest)
            staged_manifest = os.path.join(staging, MANIFEST_NAME)
            with create_new(staged_manifest, text=True) as file:
                json.dump(manifest, file, indent=1)
            sync_directory(directory)  # the shard files' new names first
            move_into_place(staged_manifest, os.path.join(directory, MANIFEST_NAME))
            self._written = {"directory": directory, "manifest": manifest}
            self._unwritten = [False] * self._num_shards

    @classmethod
    def load(
        cls,
        directory: str | os.PathLike,
        *,
        num_cpus_per_shard: float = 1.0,
        actor_options: Mapping[str, Any] | None = None,
        start_timeout: float = 120.0,
    ) -> ShardedIndex:
        """Loads a directory written by ``write``, one actor per shard file.

        The manifest (its checksum, parameters and routing rule), the set of
        shard files (none missing, none extra) and every file (size, sha256,
        header, ids routing to their shard) are checked before any actor
        starts; any fault raises OSError naming it.
        """
        directory = os.path.abspath(os.fspath(directory))
        manifest = _read_manifest(directory)
        index = cls.__new__(cls)
        index._dim, index._bits, index._rotation = manifest["dim"], manifest["bits"], manifest["rotation"]
        index._num_shards = manifest["num_shards"]
        index._lists = manifest.get("lists")
        index._options = {"scheduling_strategy": "SPREAD", **(actor_options or {}), "num_cpus": num_cpus_per_shard}
        index._start_timeout = start_timeout
        index._lock = threading.RLock()
        index._written = {"directory": directory, "manifest": manifest}
        index._unwritten = [False] * index._num_shards
        index._actors = []
        shards = list(range(index._num_shards))
        index._check_files(shards)
        try:
            if index._lists is None:
                index._probe = IdMapIndex(index._dim, index._bits, index._rotation)
            else:
                index._probe = partitioned = PartitionedIndex(index._dim, index._bits, index._lists, index._rotation)
        except (ValueError, TypeError, OverflowError, PanicException) as error:
            raise OSError(f"{MANIFEST_NAME} in {directory} has parameters no index can have: {error}") from None
        index._actors = index._start(shards, index._paths(shards))
        if manifest.get("centroids") is not None:
            try:
                partitioned.set_centroids(ray.get(index._actors[0].centroids.remote()))
            except BaseException:
                index.close()
                raise
        return index

    def _paths(self, shards: list[int]) -> list[str]:
        written = self._written
        return [os.path.join(written["directory"], written["manifest"]["shards"][s]["file"]) for s in shards]

    def _check_files(self, shards: list[int]) -> None:
        manifest = self._written["manifest"]
        params = {key: manifest.get(key) for key in ("dim", "bits", "rotation", "num_shards", "lists", "centroids")}
        checks = [
            _check_shard_file.remote(path, manifest["shards"][shard], shard, params)
            for shard, path in zip(shards, self._paths(shards))
        ]
        for problem in ray.get(checks):
            if problem:
                raise OSError(problem)

    # -- faults ---------------------------------------------------------------

    def recover(self) -> tuple[int, ...]:
        """Restarts every dead shard from its last written file; returns their numbers.

        What was acknowledged by ``write`` (or present at ``load``) is what a
        restored shard holds: adds and removals on that shard after the last
        write were only in its memory and are gone (a RuntimeWarning names
        such shards). Live shards keep their current state, so ids routed to
        them are unaffected. With no write or load yet, a dead shard cannot be
        restored and RuntimeError is raised.
        """
        with self._lock:
            _, dead, _ = self._call_all("size", self._every_shard())
            if not dead:
                return ()
            if self._written is None:
                raise RuntimeError(f"shards {dead} died and the index was never written: nothing to restore from")
            self._check_files(dead)
            for shard, actor in zip(dead, self._start(dead, self._paths(dead))):
                self._actors[shard] = actor
            if lost := [shard for shard in dead if self._unwritten[shard]]:
                warnings.warn(
                    f"shards {lost} changed after the last write; those changes are lost", RuntimeWarning, stacklevel=2
                )
            for shard in dead:
                self._unwritten[shard] = False
            return tuple(dead)

    # -- lifetime -------------------------------------------------------------

    def close(self) -> None:
        """Ends every shard actor (their memory is freed); the index is unusable afterwards."""
        with self._lock:
            for actor in self._actors:
                ray.kill(actor)
            self._actors = []

    def __enter__(self) -> ShardedIndex:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def merge_results(
    parts: list[tuple[np.ndarray, np.ndarray, int]], k: int, *, metric: str = "ip"
) -> tuple[np.ndarray, np.ndarray]:
    """Merges per-shard ``(scores, ids, shard size)`` rows into one top-k.

    The effective k is that of one index holding every vector: min(k, total
    size), at least 1. A shard returns min(k, its size) columns (one empty
    column when it is empty, dropped here). Sorted by score, best first, NaN
    below every number as in a single index; equal scores by ascending id.
    With ``metric="l2"`` (the sizes then those of the vectors a query's filter
    admits) the smallest score is best and an empty slot holds +inf.
    """
    kept = [(scores, ids) for scores, ids, size in parts if size > 0]
    nq = parts[0][0].shape[0]
    if not kept:
        return np.full((nq, 1), _empty_score(metric), np.float32), np.full((nq, 1), EMPTY_ID, np.uint64)
    scores = np.concatenate([scores for scores, _ in kept], axis=1)
    ids = np.concatenate([ids for _, ids in kept], axis=1)
    width = max(1, min(k, scores.shape[1]))
    order = _best_columns(scores, ids, width, ascending=metric == "l2")
    return np.take_along_axis(scores, order, axis=1), np.take_along_axis(ids, order, axis=1)


def _best_columns(scores: np.ndarray, ids: np.ndarray, width: int, *, ascending: bool = False) -> np.ndarray:
    """Per row, the columns of the `width` best (score, then smaller id), best first.

    A partition finds each row's `width` best in linear time; only they are
    sorted. Where the partition may have kept the wrong ones among scores equal
    to the `width`-th (more such scores than places, or NaN there), the row is
    sorted whole instead.
    """
    keys = scores if ascending else -scores  # ascending order = best first; NaN sorts last
    if width == scores.shape[1]:
        return np.lexsort((ids, keys), axis=1)
    chosen = np.argpartition(keys, width - 1, axis=1)[:, :width]
    chosen_keys = np.take_along_axis(keys, chosen, axis=1)
    last = chosen_keys.max(axis=1, keepdims=True)  # the key of the width-th best
    unsure = np.flatnonzero(((keys == last).sum(axis=1) != (chosen_keys == last).sum(axis=1)) | np.isnan(last[:, 0]))
    chosen_ids = np.take_along_axis(ids, chosen, axis=1)
    chosen = np.take_along_axis(chosen, np.lexsort((chosen_ids, chosen_keys), axis=1), axis=1)
    if len(unsure):
        chosen[unsure] = np.lexsort((ids[unsure], keys[unsure]), axis=1)[:, :width]
    return chosen


# Queries re-scored together: their candidates' rows (queries x candidates x dim
# float32) stay near this many values, a few MB that stay in cache.
_RESCORE_VALUES = 1 << 20


def _refined(
    queries: np.ndarray,
    k: int,
    metric: str,
    found: list[tuple[np.ndarray, np.ndarray, int]],
    factor: int,
    refine: np.ndarray,
    refine_ids: np.ndarray | None,
) -> tuple[np.ndarray, np.ndarray]:
    """One index's refinement from the shards' candidates: the best
    ``factor * k`` of all of them by code, re-scored exactly, the best k kept.

    `found` holds each shard's (code scores, ids, vectors its filter admits),
    at least ``factor * k`` columns where it has that many.
    """
    eligible = sum(size for _, _, size in found)
    k_eff = max(1, min(k, eligible))
    width = min(eligible, max(k_eff, _saturating_product(k_eff, factor)))
    empty = _empty_score(metric)
    if eligible == 0:
        return merge_results(found, k, metric=metric)
    scores = np.concatenate([scores for scores, _, size in found if size], axis=1)
    ids = np.concatenate([ids for _, ids, size in found if size], axis=1)
    order = _best_columns(scores, ids, width, ascending=metric == "l2")
    candidates = np.take_along_axis(ids, order, axis=1)
    # Empty slots (a partitioned search may leave some) are never re-scored.
    real = ~((candidates == EMPTY_ID) & (np.take_along_axis(scores, order, axis=1) == empty))
    if refine_ids is None:
        beyond = real & (candidates >= refine.shape[0])
        if beyond.any():  # only a partitioned index gets here: the others checked every stored id
            raise ValueError(
                f"refine has {refine.shape[0]} rows but id {int(candidates[beyond].min())} may be returned "
                "(rows are indexed by id)"
            )
        rows = np.where(real, candidates, 0).astype(np.intp)
    else:
        sorter = np.argsort(refine_ids, kind="stable")
        places = np.minimum(np.searchsorted(refine_ids, candidates, sorter=sorter), max(len(refine_ids) - 1, 0))
        missing = real & ((refine_ids[sorter[places]] != candidates) if len(refine_ids) else True)
        if np.any(missing):
            raise ValueError(f"id {int(candidates[missing].min())} may be returned but is not in refine_ids")
        rows = np.where(real, sorter[places], 0)
    exact = np.full(candidates.shape, empty, dtype=np.float32)
    step = max(1, _RESCORE_VALUES // max(1, width * queries.shape[1]))
    for first in range(0, len(queries), step):
        chunk = slice(first, first + step)
        # Only the candidates' rows are read, and converted as the library converts them.
        vectors = np.asarray(refine[rows[chunk]], dtype=np.float32)
        unusable = real[chunk] & ~np.isfinite(vectors).all(axis=2)
        if unusable.any():
            raise ValueError(f"refine row {int(rows[chunk][unusable].min())} has a NaN or infinite value")
        exact[chunk] = np.where(real[chunk], _exact_scores(metric, queries[chunk], vectors), empty)
    candidates = np.where(real, candidates, np.uint64(EMPTY_ID))
    order = _best_columns(exact, candidates, k_eff, ascending=metric == "l2")
    return np.take_along_axis(exact, order, axis=1), np.take_along_axis(candidates, order, axis=1)
