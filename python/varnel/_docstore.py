"""Documents beside an ``IdMapIndex``: the store under the framework integrations.

``DocumentStore`` keeps, for every document, a string key, its text, its
metadata (JSON) and optional framework data in SQLite, and its embedding in an
``IdMapIndex`` under a dense ``uint64`` id (0, 1, 2, ...; freed ids are reused),
so a float32 matrix indexed by id can re-rank candidates with
``query(refine=...)``. Metadata filters are compiled to SQL; the ids they
select go to ``query(allowed=...)``, so the filter applies inside the scan.

A store lives in memory, or in a directory:

- ``store.sqlite``: the documents, their metadata values (one row per value,
  indexed, for the filters) and the settings, among them the generation of the
  index file that belongs to the table;
- ``index-<generation>.vnim``: the index. A change writes the next generation's
  file completely, then commits the table naming it, then removes the old file:
  a crash between the two leaves the table naming the old, intact file;
- ``vectors.f32``: the float32 vectors, row i for id i, memory-mapped (only
  when re-ranking is on). Rows are written before the table names them, and a
  row the committed table names is never written again;
- ``store.lock``: locked by the one store that has the directory open (or is
  saving into it).

A whole store (a new one, or one saved over another) is written into a
staging folder inside the directory and committed by renaming that folder
(see _install).

The texts are also indexed for keyword search (an FTS5 table in
``store.sqlite``, kept in the same transactions; see ``varnel._keyword``).

Nothing is pickled: a directory holds SQLite, varnel index files and raw floats.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import math
import os
import re
import shutil
import sqlite3
import stat
import threading
import weakref
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from varnel import IdMapIndex, _keyword
from varnel._metadata_filter import (  # noqa: F401 (MAX_FILTER_* are the store's documented limits)
    _ALL,
    _INT64,
    MAX_FILTER_CONDITIONS,
    MAX_FILTER_DEPTH,
    MAX_FILTER_VALUES,
    _check_text,
    compile_filter,
)
from varnel._store_errors import StoreFormatError

__all__ = ["DocumentStore", "Record", "StoreFormatError", "compile_filter"]

FORMAT = "varnel-document-store"
FORMAT_VERSION = 2
# Version 1 had no keyword index; it is built when such a store is opened.
_READABLE_VERSIONS = (1, FORMAT_VERSION)
DATABASE_NAME = "store.sqlite"
VECTORS_NAME = "vectors.f32"
LOCK_NAME = "store.lock"
# A store being written into its directory, before and after its commit.
_STAGING_NAME = ".varnel-staging"
_READY_NAME = ".varnel-ready"
_MANIFEST_NAME = "manifest.json"
METRICS = ("cosine", "ip", "l2")
EMPTY_ID = 2**64 - 1
_INDEX_FILE = re.compile(r"^index-(\d+)\.vnim$")
# What an index write leaves when it is cut short: it writes aside, then renames.
_INDEX_TEMPORARY = re.compile(r"^\.index-\d+\.vnim\.tmp-[0-9a-z]{12}$")
# SQLite's default limit on bound parameters is 32766; stay well below it.
_CHUNK = 10_000
_SCHEMA = """
CREATE TABLE settings (name TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE documents (
    uid INTEGER PRIMARY KEY,
    key TEXT NOT NULL UNIQUE,
    text TEXT,
    metadata TEXT NOT NULL,
    ref TEXT,
    payload TEXT
);
CREATE INDEX documents_by_ref ON documents(ref);
-- One row per top-level metadata value (per element for a list of scalars),
-- so that a filter is an index lookup rather than a scan of JSON.
CREATE TABLE fields (uid INTEGER NOT NULL, key TEXT NOT NULL, value, in_list INTEGER NOT NULL);
CREATE INDEX fields_lookup ON fields(key, in_list, value, uid);
CREATE INDEX fields_owner ON fields(uid);
"""


@dataclass(frozen=True)
class Record:
    key: str
    text: str | None
    metadata: dict[str, Any]
    ref: str | None
    payload: Any


# ---------------------------------------------------------------------------
# Input checks
# ---------------------------------------------------------------------------


def _check_json(value: Any, where: str) -> None:
    """JSON that reads back as it was written: str keys, finite numbers, 64-bit ints."""
    if value is None or isinstance(value, (str, bool)):
        return
    if isinstance(value, int):
        if not _INT64[0] <= value <= _INT64[1]:
            raise ValueError(f"{where}: the integer {value} is outside the 64-bit range")
        return
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{where}: {value} is not valid JSON")
        return
    if isinstance(value, Mapping):
        for key, item in value.items():
            if not isinstance(key, str):
                raise ValueError(f"{where}: the key {key!r} is not a string")
            _check_json(item, f"{where}[{key!r}]")
        return
    if isinstance(value, (list, tuple)):
        for position, item in enumerate(value):
            _check_json(item, f"{where}[{position}]")
        return
    raise ValueError(f"{where}: a {type(value).__name__} is not JSON (use str, int, float, bool, None, lists, dicts)")


def _metadata_json(metadata: Any, position: int) -> str:
    if metadata is None:
        metadata = {}
    if not isinstance(metadata, Mapping):
        raise ValueError(f"metadata of document {position} must be a mapping, not {type(metadata).__name__}")
    _check_json(metadata, f"metadata of document {position}")
    return json.dumps(metadata, ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def _field_rows(uid: int, metadata: Mapping[str, Any]) -> Iterable[tuple[int, str, Any, int]]:
    for key, value in metadata.items():
        if isinstance(value, (list, tuple)):
            for item in value:
                if item is None or isinstance(item, (str, int, float)):
                    yield uid, key, item, 1
        elif value is None or isinstance(value, (str, int, float)):
            yield uid, key, value, 0


def _padded(dim: int) -> int:
    return (dim + 7) // 8 * 8


# ---------------------------------------------------------------------------
# The float32 rows used for re-ranking
# ---------------------------------------------------------------------------


class _Rows:
    """A growable (capacity, dim) float32 matrix: in memory or a memory-mapped file."""

    def __init__(self, dim: int, path: str | None = None, rows: int = 0):
        self.dim = dim
        self.path = path
        self._data = np.zeros((0, dim), dtype=np.float32)
        if path is None:
            self._reserve(rows)
        else:
            self._map(os.path.getsize(path) // self._row_bytes)

    @property
    def _row_bytes(self) -> int:
        return self.dim * 4

    def _map(self, capacity: int) -> None:
        if capacity == 0:
            self._data = np.zeros((0, self.dim), dtype=np.float32)
        else:
            self._data = np.memmap(self.path, dtype=np.float32, mode="r+", shape=(capacity, self.dim))

    def _reserve(self, rows: int) -> None:
        capacity = len(self._data)
        if rows <= capacity:
            return
        capacity = max(rows, 2 * capacity, 64)
        if self.path is None:
            grown = np.zeros((capacity, self.dim), dtype=np.float32)
            grown[: len(self._data)] = self._data
            self._data = grown
            return
        # The file grows sparse: pages never written take no disk.
        if isinstance(self._data, np.memmap):
            self._data.flush()
        self._data = np.zeros((0, self.dim), dtype=np.float32)
        os.truncate(self.path, capacity * self._row_bytes)
        self._map(capacity)

    def write(self, uids: np.ndarray, vectors: np.ndarray) -> None:
        if len(uids) == 0:
            return
        self._reserve(int(uids.max()) + 1)
        self._data[uids] = vectors
        if isinstance(self._data, np.memmap):
            self._data.flush()

    def view(self, rows: int) -> np.ndarray:
        self._reserve(rows)
        return self._data[:rows]

    def close(self) -> None:
        self._data = np.zeros((0, self.dim), dtype=np.float32)


# ---------------------------------------------------------------------------
# The store
# ---------------------------------------------------------------------------


class DocumentStore(_keyword.KeywordSearch):
    """Documents with embeddings, metadata filters, exact re-ranking and keyword search.

    ``dim`` may be None: it is then taken from the first vectors added.
    ``directory`` None keeps everything in memory (``save`` writes it out);
    a directory that holds a store is opened (its settings win, and must not
    contradict the ones given), an empty or missing one gets a new store, and
    every change is then on disk when the call returns.

    The texts (and the metadata fields named in ``keyword_fields``) are
    indexed for keyword search by BM25 unless ``keyword_index=False``;
    ``keyword_tokenizer`` "porter" adds English stemming to the default
    "unicode61" (see ``keyword_search`` and ``hybrid_search``).
    """

    def __init__(
        self,
        dim: int | None = None,
        *,
        bits: int | None = None,
        metric: str | None = None,
        refine: bool | None = None,
        refine_factor: int = 4,
        rotation: str | None = None,
        directory: str | os.PathLike[str] | None = None,
        keyword_index: bool | None = None,
        keyword_fields: Sequence[str] | None = None,
        keyword_tokenizer: str | None = None,
    ):
        # None: as stored in `directory`, or the default for a new store.
        requested = {"dim": dim, "bits": bits, "metric": metric, "refine": refine, "rotation": rotation}
        requested.update(_keyword.requested_settings(keyword_index, keyword_fields, keyword_tokenizer))
        bits = 4 if bits is None else bits
        metric = "cosine" if metric is None else metric
        refine = True if refine is None else refine
        rotation = "rotor3" if rotation is None else rotation
        if metric not in METRICS:
            raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {metric!r}")
        if dim is not None and (not isinstance(dim, int) or isinstance(dim, bool) or dim < 1):
            raise ValueError(f"dim must be a positive integer, not {dim!r}")
        if not isinstance(refine_factor, int) or refine_factor < 1:
            raise ValueError(f"refine_factor must be a positive integer, not {refine_factor!r}")
        IdMapIndex(8, bits, rotation)  # checks bits and rotation before anything is created
        self._lock = threading.RLock()
        self.refine_factor = refine_factor
        self._directory: str | None = None
        self._lock_file: weakref.finalize | None = None
        self._index: IdMapIndex | None = None
        self._rows: _Rows | None = None
        self._settings = {
            "format": FORMAT, "version": FORMAT_VERSION, "dim": dim, "bits": bits, "metric": metric,
            "refine": int(refine), "rotation": rotation, "generation": 0, "next_uid": 0,
            **_keyword.new_settings(requested),
        }
        self._free: list[int] = []
        if directory is not None:
            self._open_or_create(os.fspath(directory))
            self._check_requested(**requested)
            return
        self._db = _connect(":memory:")
        self._create_schema()
        if dim is not None:
            self._start_index(dim)

    # -- properties ---------------------------------------------------------

    @property
    def dim(self) -> int | None:
        return self._settings["dim"]

    @property
    def bits(self) -> int:
        return self._settings["bits"]

    @property
    def metric(self) -> str:
        return self._settings["metric"]

    @property
    def refine(self) -> bool:
        return bool(self._settings["refine"])

    @property
    def rotation(self) -> str:
        return self._settings["rotation"]

    @property
    def directory(self) -> str | None:
        return self._directory

    def __len__(self) -> int:
        return 0 if self._index is None else len(self._index)

    # -- creating and opening -------------------------------------------------

    def _create_schema(self) -> None:
        with self._db:
            self._db.executescript(_SCHEMA)
            self._db.executemany("INSERT INTO settings VALUES (?, ?)", self._settings.items())
            _keyword.create(self._db, self._settings)

    def _open_or_create(self, directory: str) -> None:
        """Opens the store in `directory`, or creates one there with the settings given.

        A new store is written aside and put in place whole (see _install): a
        creation cut short leaves no store, or one that the next open completes.
        """
        _refuse_foreign(directory)
        os.makedirs(directory, exist_ok=True)
        self._take_lock(directory)
        try:
            _recover(directory)
            if not _holds_store(directory):
                _refuse_foreign(directory)
                _install(directory, self._write_new)
            self._open(directory)
        except BaseException:
            self._release_lock()
            raise

    def _write_new(self, directory: str) -> list[str]:
        """Writes the files of a new, empty store into `directory`; returns their names."""
        self._db = _staging_connection(os.path.join(directory, DATABASE_NAME))
        try:
            self._create_schema()
        finally:
            self._db.close()
        names = [DATABASE_NAME]
        if self.dim is not None:
            names.append("index-0.vnim")
            IdMapIndex(_padded(self.dim), self.bits, self.rotation).write(os.path.join(directory, names[-1]))
        if self.refine:
            names.append(VECTORS_NAME)
            open(os.path.join(directory, VECTORS_NAME), "wb").close()
        return names

    def _take_lock(self, directory: str) -> None:
        fd = _lock_directory(directory)
        # A store dropped without close() must not keep its directory locked.
        self._lock_file = weakref.finalize(self, os.close, fd)

    def _release_lock(self) -> None:
        if self._lock_file is not None:
            self._lock_file()
            self._lock_file = None

    def _start_index(self, dim: int) -> None:
        self._settings["dim"] = dim
        self._index = IdMapIndex(_padded(dim), self.bits, self.rotation)
        if self.refine:
            path = None if self._directory is None else os.path.join(self._directory, VECTORS_NAME)
            self._rows = _Rows(_padded(dim), path)

    @classmethod
    def load(cls, directory: str | os.PathLike[str], *, refine_factor: int = 4) -> DocumentStore:
        """Open the store in `directory`; later changes are written there."""
        directory = os.fspath(directory)
        missing = FileNotFoundError(f"{directory} holds no document store ({DATABASE_NAME} is missing)")
        if not _holds_store(directory) and not _is_directory(os.path.join(directory, _READY_NAME)):
            raise missing
        store = cls.__new__(cls)
        store._lock = threading.RLock()
        store.refine_factor = refine_factor
        store._directory = None
        store._lock_file = None
        store._index = None
        store._rows = None
        store._take_lock(directory)
        try:
            _recover(directory)
            if not _holds_store(directory):
                raise missing
            store._open(directory)
        except BaseException:
            store._release_lock()
            raise
        return store

    def _open(self, directory: str) -> None:
        """Reads the store in `directory`, whose lock the caller holds."""
        try:
            self._db = _connect(f"file:{_uri_path(directory)}?mode=rw", uri=True)
            try:
                self._settings = _read_settings(self._db, directory)
                self._load_parts(directory)
                _keyword.open_index(self._db, self._settings, directory, FORMAT_VERSION)
            except BaseException:
                self._db.close()
                raise
        except sqlite3.DatabaseError as error:
            raise StoreFormatError(f"{directory}: the document table cannot be read ({error})") from error
        self._directory = directory
        _remove_stale_index_files(directory, self._settings["generation"])

    def _load_parts(self, directory: str) -> None:
        settings = self._settings
        uids = np.fromiter((row[0] for row in self._db.execute("SELECT uid FROM documents ORDER BY uid")), dtype=np.int64)
        if len(uids) and (uids[0] < 0 or uids[-1] >= settings["next_uid"]):
            raise StoreFormatError(f"{directory}: a document id lies outside the ids the store handed out")
        broken = self._db.execute("SELECT count(*) FROM documents WHERE NOT json_valid(metadata)").fetchone()[0]
        if broken:
            raise StoreFormatError(f"{directory}: {broken} document(s) have metadata that is not JSON")
        self._free = sorted(set(range(settings["next_uid"])) - set(uids.tolist()), reverse=True)
        if settings["next_uid"] == 0 and settings["generation"] == 0:
            _complete_empty(directory, settings)
        if settings["dim"] is None:
            if len(uids):
                raise StoreFormatError(f"{directory}: documents but no dimension")
            return
        index_path = os.path.join(directory, f"index-{settings['generation']}.vnim")
        try:
            index = IdMapIndex.load(index_path)
        except OSError as error:
            raise StoreFormatError(f"{directory}: the index file of generation {settings['generation']} cannot be loaded ({error})") from error
        expected = (_padded(settings["dim"]), settings["bits"], settings["rotation"])
        if (index.dim, index.bits, index.rotation) != expected:
            raise StoreFormatError(f"{directory}: the index file does not match the settings (dim, bits, rotation {expected})")
        if len(index) != len(uids) or not all(index.contains(int(uid)) for uid in uids):
            raise StoreFormatError(f"{directory}: the index file and the document table hold different documents")
        rows = None
        if settings["refine"]:
            path = os.path.join(directory, VECTORS_NAME)
            if not os.path.isfile(path):
                raise StoreFormatError(f"{directory}: {VECTORS_NAME} is missing")
            size = os.path.getsize(path)
            row_bytes = 4 * _padded(settings["dim"])
            if size % row_bytes or size // row_bytes < settings["next_uid"]:
                raise StoreFormatError(f"{directory}: {VECTORS_NAME} has {size} bytes, not whole rows for {settings['next_uid']} ids")
            rows = _Rows(_padded(settings["dim"]), path)
        self._index, self._rows = index, rows

    def _check_requested(self, **requested: Any) -> None:
        for name, value in requested.items():
            stored = self._settings[name]
            if name == "refine":
                stored = bool(stored)
            if value is not None and value != stored and not (name == "dim" and stored is None):
                self.close()
                raise ValueError(f"the store in {self._directory or 'that directory'} has {name}={stored!r}, not {value!r}")

    # -- writing ------------------------------------------------------------------

    def upsert(
        self,
        keys: Sequence[str],
        texts: Sequence[str | None],
        metadatas: Sequence[Mapping[str, Any] | None],
        vectors: Any,
        *,
        refs: Sequence[str | None] | None = None,
        payloads: Sequence[Any] | None = None,
    ) -> None:
        """Add documents, replacing those whose key is stored already: all or none."""
        count = len(keys)
        columns = {"texts": texts, "metadatas": metadatas, "refs": refs, "payloads": payloads}
        for name, column in columns.items():
            if column is not None and len(column) != count:
                raise ValueError(f"{count} keys but {len(column)} {name}")
        vectors = self._checked_vectors(vectors, count)
        _check_keys(keys)
        for position, text in enumerate(texts):
            if text is not None and not isinstance(text, str):
                raise ValueError(f"text of document {position} must be a string, not {type(text).__name__}")
        for name, column in (("ref", refs), ("payload", payloads)):
            for position, value in enumerate(column or ()):
                if name == "ref" and value is not None and not isinstance(value, str):
                    raise ValueError(f"{name} of document {position} must be a string")
                if name == "payload":
                    _check_json(value, f"payload of document {position}")
        metadata_json = [_metadata_json(metadata, position) for position, metadata in enumerate(metadatas)]
        payload_json = [None if p is None else json.dumps(p, ensure_ascii=False, allow_nan=False) for p in payloads or [None] * count]
        if count == 0:
            return
        with self._lock:
            if self._index is None:
                self._start_index(vectors.shape[1])
                fresh_index = True
            else:
                fresh_index = False
            try:
                self._upsert(keys, texts, metadatas, metadata_json, refs, payload_json, vectors)
            except BaseException:
                if fresh_index and len(self._index) == 0:
                    self._index, self._rows = None, None
                    self._settings["dim"] = None
                raise

    def _checked_vectors(self, vectors: Any, count: int) -> np.ndarray:
        try:
            vectors = np.asarray(vectors, dtype=np.float32)
        except (TypeError, ValueError) as error:
            raise ValueError(f"embeddings must be numbers of equal length ({error})") from error
        if vectors.ndim != 2 or len(vectors) != count:
            raise ValueError(f"expected {count} embeddings as a 2-D array, got shape {vectors.shape}")
        if count and vectors.shape[1] == 0:
            raise ValueError("embeddings must not be empty")
        if self.dim is not None and count and vectors.shape[1] != self.dim:
            raise ValueError(f"embeddings have {vectors.shape[1]} dimensions, the store {self.dim}")
        if not np.isfinite(vectors).all():
            raise ValueError("embeddings must be finite (no NaN or infinity)")
        return vectors

    def _pad(self, vectors: np.ndarray) -> np.ndarray:
        padded = np.zeros((len(vectors), _padded(self.dim)), dtype=np.float32)
        padded[:, : self.dim] = vectors
        return padded

    def _take_uids(self, count: int) -> tuple[np.ndarray, list[int], int]:
        free = list(self._free)
        uids = [free.pop() for _ in range(min(count, len(free)))]
        next_uid = self._settings["next_uid"]
        uids.extend(range(next_uid, next_uid + count - len(uids)))
        return np.array(uids, dtype=np.uint64), free, max(next_uid, (max(uids) + 1) if uids else 0)

    def _upsert(self, keys, texts, metadatas, metadata_json, refs, payload_json, vectors) -> None:
        uids, free, next_uid = self._take_uids(len(keys))
        padded = self._pad(vectors)
        with self._transaction() as db:
            replaced = self._uids_of(keys)
            _delete_rows(db, replaced)
            _keyword.remove(db, self._settings, replaced)
            db.executemany(
                "INSERT INTO documents (uid, key, text, metadata, ref, payload) VALUES (?, ?, ?, ?, ?, ?)",
                zip(uids.tolist(), keys, texts, metadata_json, refs or [None] * len(keys), payload_json),
            )
            db.executemany(
                "INSERT INTO fields VALUES (?, ?, ?, ?)",
                (row for uid, metadata in zip(uids.tolist(), metadatas) for row in _field_rows(uid, metadata or {})),
            )
            _keyword.add(db, self._settings, uids, texts, metadatas)
            if self._rows is not None:
                self._rows.write(uids.astype(np.int64), padded)
            self._change_index(db, add=(padded, uids), remove=replaced, next_uid=next_uid)
        free.extend(replaced.tolist())
        self._free = sorted(free, reverse=True)

    def delete(self, keys: Sequence[str]) -> int:
        """Remove the documents with these keys (unknown keys are ignored); returns how many."""
        _check_keys(keys, allow_repeats=True)
        with self._lock:
            return self._delete_uids(lambda: self._uids_of(keys))

    def delete_refs(self, refs: Sequence[str]) -> int:
        """Remove every document whose ref is one of `refs`; returns how many."""
        with self._lock:
            return self._delete_uids(lambda: self._select_uids("SELECT uid FROM documents WHERE ref IN ({})", list(refs)))

    def delete_where(self, where: Mapping[str, Any], keys: Sequence[str] | None = None) -> int:
        """Remove the documents matching the filter (and among `keys`, if given)."""
        sql, params = compile_filter(where)
        with self._lock:
            def chosen() -> np.ndarray:
                uids = self._select_uids(sql, params, plain=True)
                return uids if keys is None else np.intersect1d(uids, self._uids_of(keys))
            return self._delete_uids(chosen)

    def clear(self) -> None:
        """Remove every document (the settings, dim included, stay)."""
        with self._lock:
            self._delete_uids(lambda: self._select_uids(_ALL, [], plain=True))

    def _delete_uids(self, choose) -> int:
        if self._index is None:
            return 0
        with self._transaction() as db:
            uids = choose()
            if len(uids) == 0:
                return 0
            _delete_rows(db, uids)
            _keyword.remove(db, self._settings, uids)
            self._change_index(db, add=None, remove=uids, next_uid=self._settings["next_uid"])
        self._free = sorted(self._free + uids.tolist(), reverse=True)
        return len(uids)

    @contextlib.contextmanager
    def _transaction(self):
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            yield db
        finally:
            # Committed by _change_index with the index; anything else is undone.
            if db.in_transaction:
                db.rollback()

    def _change_index(self, db, *, add, remove: np.ndarray, next_uid: int) -> None:
        """Applies the change to the index and commits the table with it, or changes neither."""
        index = self._index
        added = False
        generation = self._settings["generation"]
        new_file = None
        try:
            if add is not None:
                index.add_with_ids(*add)
                added = True
            if len(remove):
                index.remove_many(remove.astype(np.uint64))
            if self._directory is not None:
                generation += 1
                new_file = os.path.join(self._directory, f"index-{generation}.vnim")
                index.write(new_file)
            db.executemany(
                "UPDATE settings SET value = ? WHERE name = ?",
                [(generation, "generation"), (next_uid, "next_uid"), (self.dim, "dim")],
            )
            db.commit()
        except BaseException:
            self._restore_index(added, add, remove, new_file)
            raise
        self._settings["generation"] = generation
        self._settings["next_uid"] = next_uid
        if new_file is not None:
            with contextlib.suppress(OSError):
                os.remove(os.path.join(self._directory, f"index-{generation - 1}.vnim"))

    def _restore_index(self, added: bool, add, remove: np.ndarray, new_file: str | None) -> None:
        if new_file is not None:
            with contextlib.suppress(OSError):
                os.remove(new_file)
        if self._directory is not None and self._settings["dim"] is not None:
            old = os.path.join(self._directory, f"index-{self._settings['generation']}.vnim")
            if os.path.exists(old):
                self._index = IdMapIndex.load(old)
                return
        # In memory (or before the first file): undo what was done, in reverse.
        index = self._index
        if len(remove) and not index.contains(int(remove[0])):
            # Re-adding the same float32 vectors reproduces the same codes.
            if self._rows is None:
                raise RuntimeError("the index could not be restored after a failed change") from None
            index.add_with_ids(np.ascontiguousarray(self._rows.view(self._settings["next_uid"])[remove.astype(np.int64)]), remove.astype(np.uint64))
        if added:
            index.remove_many(add[1])

    # -- reading ------------------------------------------------------------------

    def _uids_of(self, keys: Sequence[str]) -> np.ndarray:
        return self._select_uids("SELECT uid FROM documents WHERE key IN ({})", list(keys))

    def _select_uids(self, sql: str, params: list[Any], plain: bool = False) -> np.ndarray:
        if plain:
            return np.fromiter((row[0] for row in self._db.execute(sql, params)), dtype=np.int64)
        found: list[int] = []
        for start in range(0, len(params), _CHUNK):
            chunk = params[start : start + _CHUNK]
            found.extend(row[0] for row in self._db.execute(sql.format(", ".join("?" * len(chunk))), chunk))
        return np.array(sorted(set(found)), dtype=np.int64)

    def get(self, keys: Sequence[str]) -> list[Record]:
        """The stored documents among `keys`, in that order; unknown keys are skipped."""
        with self._lock:
            by_key: dict[str, Record] = {}
            for start in range(0, len(keys), _CHUNK):
                chunk = list(keys[start : start + _CHUNK])
                sql = f"SELECT key, text, metadata, ref, payload FROM documents WHERE key IN ({', '.join('?' * len(chunk))})"
                for row in self._db.execute(sql, chunk):
                    by_key[row[0]] = _record(row)
            return [by_key[key] for key in keys if key in by_key]

    def keys(self, where: Mapping[str, Any] | None = None) -> list[str]:
        """Keys of all documents, or of those matching the filter, in the order of their uids."""
        with self._lock:
            if where is None:
                return [row[0] for row in self._db.execute("SELECT key FROM documents ORDER BY uid")]
            sql, params = compile_filter(where)
            return [row[0] for row in self._db.execute(f"SELECT key FROM documents WHERE uid IN ({sql}) ORDER BY uid", params)]

    def vectors(self, keys: Sequence[str]) -> np.ndarray:
        """The embeddings of these keys (all stored): exact with re-ranking on, else decoded from the codes."""
        with self._lock:
            uids = []
            for key in keys:
                row = self._db.execute("SELECT uid FROM documents WHERE key = ?", (key,)).fetchone()
                if row is None:
                    raise KeyError(key)
                uids.append(row[0])
            return self._vectors_of(np.array(uids, dtype=np.int64))

    def _vectors_of(self, uids: np.ndarray) -> np.ndarray:
        if len(uids) == 0:
            return np.zeros((0, self.dim or 0), dtype=np.float32)
        if self._rows is not None:
            full = self._rows.view(self._settings["next_uid"])[uids]
        else:
            full = self._index.reconstruct(uids.astype(np.uint64))
        return np.ascontiguousarray(full[:, : self.dim])

    def search(
        self,
        queries: Any,
        k: int,
        *,
        where: Mapping[str, Any] | None = None,
        with_vectors: bool = False,
    ) -> list[list[tuple[Record, float, np.ndarray | None]]]:
        """The best `k` documents for each query row: (record, score, vector or None), best first.

        Scores by the store's metric: cosine similarity, inner product, or
        squared Euclidean distance (smallest first).
        """
        if not isinstance(k, int) or isinstance(k, bool) or k < 0:
            raise ValueError(f"k must be a non-negative integer, not {k!r}")
        allowed_sql = compile_filter(where) if where is not None else None
        with self._lock:
            queries = self._checked_queries(queries)
            if k == 0 or self._index is None or len(self._index) == 0 or len(queries) == 0:
                return [[] for _ in range(len(queries))]
            allowed = None
            if allowed_sql is not None:
                allowed = self._select_uids(*allowed_sql, plain=True).astype(np.uint64)
                if len(allowed) == 0:
                    return [[] for _ in range(len(queries))]
            refine = None if self._rows is None else self._rows.view(self._settings["next_uid"])
            scores, uids = self._index.query(
                self._pad(queries), k, allowed=allowed, metric=self.metric,
                refine=refine, refine_factor=self.refine_factor if refine is not None else None,
            )
            return self._results(scores, uids, with_vectors)

    def _checked_queries(self, queries: Any) -> np.ndarray:
        try:
            queries = np.asarray(queries, dtype=np.float32)
        except (TypeError, ValueError) as error:
            raise ValueError(f"a query must be a list of numbers ({error})") from error
        if queries.ndim == 1:
            queries = queries[None, :]
        if queries.ndim != 2:
            raise ValueError(f"queries must be a 2-D array, got shape {queries.shape}")
        if self.dim is not None and queries.shape[1] != self.dim and len(queries):
            raise ValueError(f"the query has {queries.shape[1]} dimensions, the store {self.dim}")
        if not np.isfinite(queries).all():
            raise ValueError("a query must be finite (no NaN or infinity)")
        return queries

    def _results(self, scores: np.ndarray, uids: np.ndarray, with_vectors: bool):
        found = np.isfinite(scores)
        wanted = np.unique(uids[found]).astype(np.int64)
        records: dict[int, Record] = {}
        for start in range(0, len(wanted), _CHUNK):
            chunk = wanted[start : start + _CHUNK].tolist()
            sql = f"SELECT uid, key, text, metadata, ref, payload FROM documents WHERE uid IN ({', '.join('?' * len(chunk))})"
            for row in self._db.execute(sql, chunk):
                records[row[0]] = _record(row[1:])
        vectors = {}
        if with_vectors and len(wanted):
            vectors = dict(zip(wanted.tolist(), self._vectors_of(wanted)))
        results = []
        for row_scores, row_uids, row_found in zip(scores, uids, found):
            results.append([
                (records[int(uid)], float(score), vectors.get(int(uid)))
                for score, uid, ok in zip(row_scores, row_uids, row_found) if ok
            ])
        return results

    # -- persistence ----------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Write the store to `directory` (missing, empty, or a store that is replaced).

        The new store is written beside the old one, inside `directory`, and
        put in place at a single step: an interrupted save leaves the earlier
        contents, or the new ones, which the next open then completes. A
        directory that another store holds open is refused (RuntimeError) and
        left as it was.
        """
        target = os.path.abspath(os.fspath(directory))
        with self._lock:
            if self._directory is not None and os.path.realpath(self._directory) == os.path.realpath(target):
                return  # every change is on disk already
            _refuse_foreign(target)
            created = not os.path.lexists(target)
            os.makedirs(target, exist_ok=True)
            lock = None
            try:
                try:
                    lock = _lock_directory(target)
                except RuntimeError:
                    raise RuntimeError(
                        f"cannot save to {target}: another store (or another process) has it open; close that store first"
                    ) from None
                _recover(target)
                _refuse_foreign(target)
                _install(target, self._write_copy)
            except BaseException:
                if created and lock is not None:
                    _remove_unfinished(target)
                raise
            finally:
                if lock is not None:
                    os.close(lock)

    def _write_copy(self, directory: str) -> list[str]:
        """Writes the store's files into `directory`; returns their names."""
        names = [DATABASE_NAME]
        destination = _staging_connection(os.path.join(directory, DATABASE_NAME))
        try:
            self._db.backup(destination)
            # One self-contained file: no write-ahead log that could stay behind.
            destination.execute("PRAGMA journal_mode = DELETE")
        finally:
            destination.close()
        if self._index is not None:
            names.append(f"index-{self._settings['generation']}.vnim")
            self._index.write(os.path.join(directory, names[-1]))
        if self.refine:
            names.append(VECTORS_NAME)
            rows = self._rows.view(self._settings["next_uid"]) if self._rows is not None else np.zeros((0, 8), np.float32)
            with open(os.path.join(directory, VECTORS_NAME), "wb") as file:
                file.write(np.ascontiguousarray(rows).tobytes())
        return names

    def close(self) -> None:
        """Release the directory (its lock and files); the store is unusable afterwards."""
        with self._lock:
            if self._rows is not None:
                self._rows.close()
            with contextlib.suppress(Exception):
                self._db.close()
            self._release_lock()

    def memory_bytes(self) -> dict[str, int]:
        """Bytes of the codes (with norms) and of the float32 rows used for re-ranking."""
        dim = _padded(self.dim or 8)
        codes = len(self) * (dim * self.bits // 8 + 4)
        rows = 0 if self._rows is None else self._settings["next_uid"] * dim * 4
        return {"codes": codes, "refine_rows": rows}


def _connect(target: str, uri: bool = False) -> sqlite3.Connection:
    # One connection serves every thread; the store's lock orders the calls.
    db = sqlite3.connect(target, uri=uri, check_same_thread=False, isolation_level=None)
    db.execute("PRAGMA journal_mode = WAL" if target != ":memory:" else "PRAGMA journal_mode = MEMORY")
    db.execute("PRAGMA synchronous = FULL")
    return db


def _staging_connection(path: str) -> sqlite3.Connection:
    # A table being staged needs no syncing of its own: it is synced once,
    # whole, before the commit, and a crash before that discards it.
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA synchronous = OFF")
    return db


def _uri_path(directory: str) -> str:
    from urllib.parse import quote

    return quote(os.path.abspath(os.path.join(directory, DATABASE_NAME)))


def _holds_store(directory: str | os.PathLike[str]) -> bool:
    return os.path.isfile(os.path.join(os.fspath(directory), DATABASE_NAME))


def _read_settings(db: sqlite3.Connection, directory: str) -> dict[str, Any]:
    try:
        settings = dict(db.execute("SELECT name, value FROM settings"))
    except sqlite3.DatabaseError as error:
        raise StoreFormatError(f"{directory}: no settings table ({error})") from error
    if settings.get("format") != FORMAT:
        raise StoreFormatError(f"{directory} is not a varnel document store")
    if settings.get("version") not in _READABLE_VERSIONS:
        raise StoreFormatError(f"{directory} was written by another version (format {settings.get('version')!r}, this reads {FORMAT_VERSION})")
    checks = {
        "dim": lambda v: v is None or (isinstance(v, int) and v > 0),
        "bits": lambda v: v in (2, 3, 4),
        "metric": lambda v: v in METRICS,
        "refine": lambda v: v in (0, 1),
        "rotation": lambda v: isinstance(v, str),
        "generation": lambda v: isinstance(v, int) and v >= 0,
        "next_uid": lambda v: isinstance(v, int) and 0 <= v < 2**62,
    }
    for name, valid in checks.items():
        if name not in settings or not valid(settings[name]):
            raise StoreFormatError(f"{directory}: the setting {name} is missing or invalid ({settings.get(name)!r})")
    return settings


def _remove_stale_index_files(directory: str, generation: int) -> None:
    # Left by a crash after a new index file was written but before the table
    # named it (or after the table named it but before the old one was
    # removed), and the temporary files of index writes that were cut short.
    for name in os.listdir(directory):
        match = _INDEX_FILE.match(name)
        if (match and int(match.group(1)) != generation) or _INDEX_TEMPORARY.match(name):
            with contextlib.suppress(OSError):
                os.remove(os.path.join(directory, name))


# ---------------------------------------------------------------------------
# Writing a whole store into a directory
# ---------------------------------------------------------------------------
#
# Saving and creating write the store's files into a staging folder inside the
# directory, then rename it to the ready folder: that rename is the commit.
# The ready folder's files then move into place one by one, the table last.
# Whoever next takes the directory's lock (open, load, create, save) first
# finishes a ready folder and removes a staging one, so a crash at any step
# leaves the old store or the new one. The lock file is never replaced, so the
# lock holds throughout.


def _lock_directory(directory: str) -> int:
    """A descriptor holding `directory`'s lock; RuntimeError if another store holds it."""
    fd = os.open(os.path.join(directory, LOCK_NAME), os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise RuntimeError(f"{directory} is open in another store (or another process)") from None
    except BaseException:
        os.close(fd)
        raise
    return fd


def _is_directory(path: str) -> bool:
    try:
        return stat.S_ISDIR(os.lstat(path).st_mode)
    except OSError:
        return False


def _refuse_foreign(directory: str) -> None:
    """FileExistsError if `directory` holds no store but files a store did not put there."""
    if not os.path.isdir(directory) or _holds_store(directory) or _is_directory(os.path.join(directory, _READY_NAME)):
        return
    # Hidden files are let be; a lone lock file is what a cut-short creation leaves.
    if any(not name.startswith(".") and name != LOCK_NAME for name in os.listdir(directory)):
        raise FileExistsError(f"{directory} is not empty and holds no document store")


def _install(directory: str, write) -> None:
    """Puts the files that `write(folder)` writes (and names) in place as `directory`'s store.

    The caller holds the directory's lock.
    """
    staging = os.path.join(directory, _STAGING_NAME)
    os.mkdir(staging)
    try:
        names = write(staging)
        for name in names:
            _sync_file(os.path.join(staging, name))
        with open(os.path.join(staging, _MANIFEST_NAME), "w", encoding="utf-8") as file:
            json.dump(names, file)
            file.flush()
            os.fsync(file.fileno())
        _sync_directory(staging)
        os.rename(staging, os.path.join(directory, _READY_NAME))
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    _sync_directory(directory)
    _finish_ready(directory)


def _recover(directory: str) -> None:
    """Finishes a save or creation that was committed and removes one that was not.

    The caller holds the directory's lock.
    """
    staging = os.path.join(directory, _STAGING_NAME)
    if _is_directory(staging):
        shutil.rmtree(staging)
    elif os.path.lexists(staging):
        os.remove(staging)
    if _is_directory(os.path.join(directory, _READY_NAME)):
        _finish_ready(directory)


def _finish_ready(directory: str) -> None:
    ready = os.path.join(directory, _READY_NAME)
    names = _read_manifest(directory)
    if os.path.lexists(os.path.join(ready, DATABASE_NAME)):
        # The old table's log must not be replayed onto the new table.
        for suffix in ("-wal", "-shm", "-journal"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(directory, DATABASE_NAME + suffix))
    # Once the table is in place the store is whole, so it moves last.
    for name in sorted(names, key=lambda name: name == DATABASE_NAME):
        if os.path.lexists(os.path.join(ready, name)):
            os.replace(os.path.join(ready, name), os.path.join(directory, name))
    for name in os.listdir(directory):
        if (name == VECTORS_NAME or _INDEX_FILE.match(name)) and name not in names:
            os.remove(os.path.join(directory, name))
    _sync_directory(directory)
    # A staging folder is always removed, so renaming the ready one to that
    # name ends the save in one step.
    staging = os.path.join(directory, _STAGING_NAME)
    os.rename(ready, staging)
    shutil.rmtree(staging, ignore_errors=True)


def _read_manifest(directory: str) -> list[str]:
    path = os.path.join(directory, _READY_NAME, _MANIFEST_NAME)
    names = None
    with contextlib.suppress(OSError, ValueError, RecursionError):
        with open(path, "rb") as file:
            names = json.loads(file.read(4096))
    valid = (
        isinstance(names, list)
        and all(isinstance(name, str) and (name in (DATABASE_NAME, VECTORS_NAME) or _INDEX_FILE.match(name)) for name in names)
        and DATABASE_NAME in names and len(set(names)) == len(names)
    )
    if not valid:
        raise StoreFormatError(f"{directory}: the unfinished save in {_READY_NAME} cannot be completed (its manifest is missing or damaged)")
    return names


def _remove_unfinished(directory: str) -> None:
    """Removes a directory that a failed save created, unless it came to hold a store."""
    if _holds_store(directory) or _is_directory(os.path.join(directory, _READY_NAME)):
        return
    with contextlib.suppress(OSError):
        shutil.rmtree(os.path.join(directory, _STAGING_NAME), ignore_errors=True)
        os.remove(os.path.join(directory, LOCK_NAME))
        os.rmdir(directory)


def _complete_empty(directory: str, settings: Mapping[str, Any]) -> None:
    # A store that was never written to, whose creation an earlier version
    # cut short before its index or vectors file: it holds nothing, so the
    # missing files are made rather than the store refused.
    dim = settings["dim"]
    index_path = os.path.join(directory, "index-0.vnim")
    if dim is not None and not os.path.lexists(index_path):
        IdMapIndex(_padded(dim), settings["bits"], settings["rotation"]).write(index_path)
    vectors_path = os.path.join(directory, VECTORS_NAME)
    if settings["refine"] and not os.path.lexists(vectors_path):
        open(vectors_path, "wb").close()


def _sync_file(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _sync_directory(path: str) -> None:
    # Makes renames in the folder durable; some file systems cannot (EINVAL).
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.EROFS):
            raise
    finally:
        os.close(fd)


def _check_keys(keys: Sequence[Any], allow_repeats: bool = False) -> None:
    for position, key in enumerate(keys):
        if not isinstance(key, str):
            raise ValueError(f"id {position} must be a string, not {type(key).__name__}")
    if not allow_repeats and len(set(keys)) != len(keys):
        seen = set()
        for key in keys:
            if key in seen:
                raise ValueError(f"the id {key!r} appears more than once in one call")
            seen.add(key)


def _delete_rows(db: sqlite3.Connection, uids: np.ndarray) -> None:
    values = [(uid,) for uid in uids.tolist()]
    db.executemany("DELETE FROM fields WHERE uid = ?", values)
    db.executemany("DELETE FROM documents WHERE uid = ?", values)


def _record(row: Sequence[Any]) -> Record:
    key, text, metadata, ref, payload = row
    return Record(key, text, json.loads(metadata), ref, None if payload is None else json.loads(payload))
