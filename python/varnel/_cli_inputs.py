"""Vector files the ``varnel`` command reads: NumPy, the ``*vecs`` formats, Parquet and HDF5.

Every reader hands out float32, C-contiguous batches of rows, so that a file
larger than memory can be indexed: ``.npy`` and ``*vecs`` files are mapped
into memory and the pages of a finished batch are given back to the system,
Parquet files are read in record batches and HDF5 datasets in slices.
"""

from __future__ import annotations

import argparse
import importlib
import mmap
import os
from collections.abc import Iterator
from types import ModuleType
from typing import Any, ClassVar, Literal, Protocol

import numpy as np
from numpy.typing import NDArray

from varnel._cli_common import CliError
from varnel._install import install_hint


VECTOR_EXTENSIONS = (".npy", ".fvecs", ".ivecs", ".bvecs", ".parquet", ".pq", ".h5", ".hdf5")
FLOAT32 = np.dtype(np.float32)
BATCH_BYTES = 8 << 20  # float32 values per batch when --batch is not given: a few ms of adding
MAX_BATCH_ROWS = 1 << 30  # a larger --batch reads no more at a time than this (readers take int64 sizes)

Batch = tuple[int, NDArray[np.float32], "NDArray[np.uint64] | None"]


def require(module: str, extra: str, purpose: str) -> ModuleType:
    """Imports an optional dependency, or says how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        package = module.split(".")[0]
        raise CliError(f"{purpose} needs {package}: {install_hint(package, extra)}") from None


def require_readable_file(path: str) -> None:
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if not os.path.isfile(path):
        raise CliError(f"{path}: not a regular file")
    if not os.access(path, os.R_OK):
        raise CliError(f"{path}: permission denied")


NPY_MAGIC = b"\x93NUMPY"


def map_npy(path: str) -> NDArray[Any]:
    """A .npy file, memory-mapped, after checking its header against the file.

    NumPy's own messages for a file that is not a .npy array advise loading
    pickles; these checks name what is wrong instead.
    """
    with open(path, "rb") as file:
        if file.read(len(NPY_MAGIC)) != NPY_MAGIC:
            raise CliError(f"{path}: not a .npy file (it does not start with the NumPy array header)")
        shape, dtype = _npy_header(file, path)
        data_bytes = int(np.prod(shape, dtype=object)) * dtype.itemsize
        available = os.fstat(file.fileno()).st_size - file.tell()
    if data_bytes > available:
        raise CliError(f"{path}: truncated: its header announces {data_bytes:,} bytes of data, the file holds {available:,}")
    try:
        return np.load(path, mmap_mode="r", allow_pickle=False)
    except (ValueError, OSError, EOFError, OverflowError) as error:
        raise CliError(f"{path}: not a readable .npy array ({error})") from None


def _npy_header(file: Any, path: str) -> tuple[tuple[int, ...], np.dtype]:
    file.seek(0)
    try:
        version = np.lib.format.read_magic(file)
        read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
        shape, _, dtype = read(file, max_header_size=1 << 16)
    except (ValueError, OSError, EOFError, OverflowError, TypeError, SyntaxError) as error:
        raise CliError(f"{path}: damaged .npy header ({error})") from None
    if not all(isinstance(size, int) and size >= 0 for size in shape):
        raise CliError(f"{path}: the .npy header holds the shape {shape}, which no array has")
    if dtype.hasobject:
        raise CliError(f"{path}: holds Python objects, not numbers")
    return shape, dtype


def extension(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def check_number_dtype(dtype: np.dtype, name: str) -> None:
    if dtype.kind not in "fiu" or dtype.fields is not None:
        raise CliError(
            f"{name}: values of type {dtype} cannot be indexed; "
            "store numbers (float32, or float64, float16 and integers, which are converted)"
        )


def check_index_dim(dim: int, name: str) -> None:
    """The index needs a dim that is a positive multiple of 8."""
    if dim > 0 and dim % 8 == 0:
        return
    padded = max(8, -(-dim // 8) * 8)
    raise CliError(
        f"{name}: dim {dim} is not a multiple of 8; pad every vector and query with zeros "
        f"to dim {padded} (zero padding keeps inner products unchanged)"
    )


def batch_rows(requested: int | None, dim: int) -> int:
    """Rows per batch: as requested, or as many as fill BATCH_BYTES."""
    if requested is not None:
        return min(requested, MAX_BATCH_ROWS)
    return max(256, BATCH_BYTES // (4 * max(dim, 1)))


def to_float32(values: NDArray[Any], first_row: int, name: str) -> NDArray[np.float32]:
    """Converts one batch (a no-op for native float32) and refuses NaN and infinity."""
    with np.errstate(over="ignore", invalid="ignore"):
        vectors = np.ascontiguousarray(values, dtype=np.float32)
    finite_rows = np.isfinite(vectors).all(axis=1)
    if not finite_rows.all():
        bad = first_row + int(np.argmin(finite_rows))
        raise CliError(f"{name}: row {bad} holds a NaN or an infinite value (or one beyond float32's range)")
    return vectors


class VectorSource:
    """A file of `count` vectors of `dim` values, read batch by batch."""

    name: str
    count: int
    dim: int
    stored_dtype: np.dtype
    has_ids = False

    def batches(self, rows: int) -> Iterator[Batch]:
        """Yields (first row, float32 vectors, ids or None) for consecutive runs of at most `rows` rows."""
        raise NotImplementedError

    def take(self, rows: NDArray[np.int64]) -> NDArray[np.float32]:
        """The vectors at the sorted row numbers `rows`."""
        picked = []
        for first, vectors, _ in self.batches(65536):
            inside = rows[(rows >= first) & (rows < first + len(vectors))]
            picked.append(vectors[inside - first])
        return np.concatenate(picked) if picked else np.empty((0, self.dim), np.float32)

    def read_all(self) -> NDArray[np.float32]:
        parts = [vectors for _, vectors, _ in self.batches(65536)]
        return np.concatenate(parts) if parts else np.empty((0, self.dim), np.float32)

    def conversion_note(self) -> str | None:
        if self.stored_dtype == FLOAT32:
            return None
        return f"{self.name} holds {self.stored_dtype} values; converting to float32 batch by batch"


class _MappedRows(VectorSource):
    """Rows of a memory-mapped file; a finished batch's pages leave resident memory."""

    def __init__(self, path: str, offset: int, row_bytes: int) -> None:
        self.name = path
        self._offset = offset
        self._row_bytes = row_bytes
        self._map: mmap.mmap | None = None
        if self.count:
            with open(path, "rb") as file:
                self._map = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)

    def _values(self, rows: slice | NDArray[np.int64]) -> NDArray[Any]:
        """The stored values of some rows, in the file's dtype."""
        raise NotImplementedError

    def batches(self, rows: int) -> Iterator[Batch]:
        for first in range(0, self.count, rows):
            last = min(first + rows, self.count)
            yield first, to_float32(self._values(slice(first, last)), first, self.name), None
            self._release(first, last)

    def take(self, rows: NDArray[np.int64]) -> NDArray[np.float32]:
        return to_float32(self._values(rows), 0, self.name)

    def _release(self, first: int, last: int) -> None:
        # The data stay in the page cache; only this process's mapping of them goes,
        # so resident memory holds one batch instead of the whole file.
        if self._map is None or not hasattr(mmap, "MADV_DONTNEED"):
            return
        page = mmap.PAGESIZE
        start = (self._offset + first * self._row_bytes) // page * page
        stop = (self._offset + last * self._row_bytes) // page * page
        if stop > start:
            self._map.madvise(mmap.MADV_DONTNEED, start, stop - start)


class NpyFile(_MappedRows):
    def __init__(self, path: str) -> None:
        header = map_npy(path)
        if header.ndim != 2:
            raise CliError(f"{path}: holds an array of shape {header.shape}; vectors need a 2-D array (n, dim)")
        check_number_dtype(header.dtype, path)
        self.count, self.dim = header.shape
        self.stored_dtype = header.dtype
        order: Literal["C", "F"] = "F" if header.flags.f_contiguous and not header.flags.c_contiguous else "C"
        offset = header.offset
        del header
        super().__init__(path, offset, self.dim * self.stored_dtype.itemsize)
        if self._map is None:
            self._array = np.empty((0, self.dim), self.stored_dtype)
        else:
            self._array = np.ndarray(
                (self.count, self.dim), self.stored_dtype, buffer=self._map, offset=offset, order=order
            )
        if order == "F":
            self._map = None  # a row batch touches every page: nothing to hand back early

    def _values(self, rows: slice | NDArray[np.int64]) -> NDArray[Any]:
        return self._array[rows]


class VecsFile(_MappedRows):
    """``.fvecs`` / ``.ivecs`` / ``.bvecs``: each record is an int32 dim, then dim values."""

    VALUE_TYPES: ClassVar[dict[str, np.dtype]] = {
        ".fvecs": np.dtype("<f4"),
        ".ivecs": np.dtype("<i4"),
        ".bvecs": np.dtype("u1"),
    }

    def __init__(self, path: str) -> None:
        kind = extension(path)
        self.stored_dtype = self.VALUE_TYPES[kind]
        size = os.path.getsize(path)
        with open(path, "rb") as file:
            head = file.read(4)
        if len(head) < 4:
            raise CliError(f"{path}: empty or truncated {kind} file")
        self.dim = int.from_bytes(head, "little", signed=True)
        if not 0 < self.dim <= size:
            raise CliError(f"{path}: the first record announces dim {self.dim}; not a {kind} file")
        row_bytes = 4 + self.dim * self.stored_dtype.itemsize
        if size % row_bytes:
            raise CliError(
                f"{path}: {size} bytes are not a whole number of {kind} records of dim {self.dim} "
                f"({row_bytes} bytes each)"
            )
        self.count = size // row_bytes
        super().__init__(path, 0, row_bytes)
        self._raw = np.ndarray((self.count, row_bytes), np.uint8, buffer=self._map)

    def _values(self, rows: slice | NDArray[np.int64]) -> NDArray[Any]:
        raw = self._raw[rows]
        dims = np.ascontiguousarray(raw[:, :4]).view("<i4").ravel()
        wrong = np.flatnonzero(dims != self.dim)
        if wrong.size:
            record = rows.start + wrong[0] if isinstance(rows, slice) else rows[wrong[0]]
            raise CliError(f"{self.name}: record {record} has dim {dims[wrong[0]]}, the first record {self.dim}")
        return np.ascontiguousarray(raw[:, 4:]).view(self.stored_dtype)


class Hdf5File(VectorSource):
    """One 2-D dataset of an HDF5 file, as the public nearest-neighbour benchmarks store them."""

    def __init__(self, path: str, dataset: str) -> None:
        h5py = require("h5py", "hdf5", "reading HDF5 files")
        self.path = path
        self.name = f"{path}:{dataset}"
        try:
            self._file = h5py.File(path, "r")
        except OSError as error:
            raise CliError(f"{path}: not a readable HDF5 file ({error})") from None
        if dataset not in self._file or not isinstance(self._file[dataset], h5py.Dataset):
            held = ", ".join(sorted(self._file.keys())) or "nothing"
            raise CliError(f"{path}: no dataset '{dataset}' (the file holds: {held})")
        self._data = self._file[dataset]
        if self._data.ndim != 2:
            raise CliError(f"{self.name}: holds shape {self._data.shape}; vectors need a 2-D dataset (n, dim)")
        check_number_dtype(self._data.dtype, self.name)
        self.count, self.dim = self._data.shape
        self.stored_dtype = self._data.dtype

    def batches(self, rows: int) -> Iterator[Batch]:
        for first in range(0, self.count, rows):
            yield first, to_float32(self._data[first : first + rows], first, self.name), None

    def has_dataset(self, name: str) -> bool:
        return name in self._file

    def metric(self) -> str | None:
        """The distance the file's ground truth was computed with, if it says."""
        value = self._file.attrs.get("distance")
        if isinstance(value, np.ndarray) and value.size == 1:  # a one-element array of text
            value = value.reshape(()).item()
        if isinstance(value, bytes):
            value = value.decode("utf-8", errors="replace")
        return value if isinstance(value, str) else None

    def stored_neighbors(self) -> NDArray[np.int64] | None:
        data = self._file.get("neighbors")
        if data is None or data.ndim != 2 or data.dtype.kind not in "iu":
            return None
        return np.asarray(data[:], dtype=np.int64)


class ParquetFile(VectorSource):
    """A list (or fixed-size list) column of numbers, optionally with an integer id column."""

    def __init__(self, path: str, column: str | None, id_column: str | None) -> None:
        self._pa = require("pyarrow", "parquet", "reading Parquet files")
        pq = require("pyarrow.parquet", "parquet", "reading Parquet files")
        self._compute = require("pyarrow.compute", "parquet", "reading Parquet files")
        try:
            self._file = pq.ParquetFile(path)
        except (self._pa.ArrowException, OSError) as error:
            raise CliError(f"{path}: not a readable Parquet file ({error})") from None
        schema = self._file.schema_arrow
        self._column = column if column is not None else self._only_list_column(path, schema)
        self.name = f"{path}:{self._column}"
        self._ids_name = f"{path}:{id_column}"
        self._list_type = self._checked_list_type(path, schema, self._column)
        self._id_column = id_column
        self.has_ids = id_column is not None
        if id_column is not None:
            self._check_id_type(path, schema, id_column)
        self.stored_dtype = np.dtype(self._list_type.value_type.to_pandas_dtype())
        self.count = self._file.metadata.num_rows
        self.dim = self._first_dim()

    def _only_list_column(self, path: str, schema: Any) -> str:
        lists = [field.name for field in schema if self._is_list(field.type)]
        if len(lists) == 1:
            return lists[0]
        if not lists:
            raise CliError(f"{path}: no list column of numbers (columns: {', '.join(schema.names)})")
        raise CliError(f"{path}: several list columns ({', '.join(lists)}); choose one with --column")

    def _is_list(self, kind: Any) -> bool:
        types = self._pa.types
        return types.is_list(kind) or types.is_large_list(kind) or types.is_fixed_size_list(kind)

    def _checked_list_type(self, path: str, schema: Any, column: str) -> Any:
        if column not in schema.names:
            raise CliError(f"{path}: no column '{column}' (columns: {', '.join(schema.names)})")
        kind = schema.field(column).type
        types = self._pa.types
        if not self._is_list(kind) or not (types.is_floating(kind.value_type) or types.is_integer(kind.value_type)):
            raise CliError(f"{path}: column '{column}' is {kind}; vectors need a list of numbers")
        return kind

    def _check_id_type(self, path: str, schema: Any, column: str) -> None:
        if column not in schema.names:
            raise CliError(f"{path}: no id column '{column}' (columns: {', '.join(schema.names)})")
        if not self._pa.types.is_integer(schema.field(column).type):
            raise CliError(f"{path}: id column '{column}' is {schema.field(column).type}; ids must be integers")

    def _first_dim(self) -> int:
        if self._pa.types.is_fixed_size_list(self._list_type):
            return int(self._list_type.list_size)
        if self.count == 0:
            return 0
        first = next(self._file.iter_batches(batch_size=1, columns=[self._column])).column(0)
        if first.null_count:
            raise CliError(f"{self.name}: row 0 is null")
        return len(first[0].values)

    def batches(self, rows: int) -> Iterator[Batch]:
        columns = [self._column] + ([self._id_column] if self._id_column else [])
        first = 0
        for record_batch in self._file.iter_batches(batch_size=rows, columns=columns):
            vectors = self._vectors(record_batch.column(self._column), first)
            ids = self._ids(record_batch.column(self._id_column), first) if self._id_column else None
            yield first, vectors, ids
            first += record_batch.num_rows

    def _vectors(self, lists: Any, first: int) -> NDArray[np.float32]:
        if lists.null_count:
            raise CliError(f"{self.name}: row {first + _first_null(lists)} is null")
        if not self._pa.types.is_fixed_size_list(lists.type):
            lengths = self._compute.list_value_length(lists).to_numpy()
            wrong = np.flatnonzero(lengths != self.dim)
            if wrong.size:
                row = first + int(wrong[0])
                raise CliError(f"{self.name}: row {row} has {lengths[wrong[0]]} values, row 0 has {self.dim}")
        values = lists.flatten().to_numpy(zero_copy_only=False)
        return to_float32(values.reshape(-1, self.dim), first, self.name)

    def _ids(self, ids: Any, first: int) -> NDArray[np.uint64]:
        if ids.null_count:
            raise CliError(f"{self._ids_name}: row {first + _first_null(ids)} has no id")
        return checked_ids(ids.to_numpy(), first, self._ids_name)


def _first_null(array: Any) -> int:
    return int(np.argmax(array.is_null().to_numpy(zero_copy_only=False)))


def checked_ids(values: NDArray[Any], first: int, name: str) -> NDArray[np.uint64]:
    if values.dtype.kind == "i" and values.size and values.min() < 0:
        row = first + int(np.argmax(values < 0))
        raise CliError(f"{name}: row {row} holds the negative id {values[row - first]}; ids are unsigned")
    return np.ascontiguousarray(values, dtype=np.uint64)


class IdFile:
    """``--ids``: a 1-D integer .npy array with one id per vector, read slice by slice."""

    def __init__(self, path: str, count: int) -> None:
        require_readable_file(path)
        if extension(path) != ".npy":
            raise CliError(f"{path}: ids are read from a .npy file of integers")
        self._ids = map_npy(path)
        if self._ids.ndim != 1 or self._ids.dtype.kind not in "iu":
            raise CliError(
                f"{path}: ids need a 1-D array of integers, not {self._ids.dtype} of shape {self._ids.shape}"
            )
        if len(self._ids) != count:
            raise CliError(f"{path}: holds {len(self._ids):,} ids for {count:,} vectors")
        self.name = path

    def slice(self, first: int, last: int) -> NDArray[np.uint64]:
        return checked_ids(np.asarray(self._ids[first:last]), first, self.name)


def open_vectors(
    path: str,
    *,
    column: str | None = None,
    id_column: str | None = None,
    dataset: str | None = None,
    default_dataset: str = "train",
) -> VectorSource:
    """Opens a vector file by its extension; `dataset` names the HDF5 dataset to read."""
    require_readable_file(path)
    kind = extension(path)
    if kind not in VECTOR_EXTENSIONS:
        raise CliError(
            f"{path}: unknown extension '{kind}'; vectors are read from .npy, .fvecs, .ivecs, .bvecs, "
            ".parquet and .h5/.hdf5 files"
        )
    is_parquet = kind in (".parquet", ".pq")
    if (column is not None or id_column is not None) and not is_parquet:
        raise CliError(f"{path}: --column and --id-column apply to Parquet files only")
    is_hdf5 = kind in (".h5", ".hdf5")
    if dataset is not None and not is_hdf5:
        raise CliError(f"{path}: --dataset applies to HDF5 files only")
    if kind == ".npy":
        return NpyFile(path)
    if kind in VecsFile.VALUE_TYPES:
        return VecsFile(path)
    if is_parquet:
        return ParquetFile(path, column, id_column)
    return Hdf5File(path, dataset if dataset is not None else default_dataset)


class SearchedIndex(Protocol):
    """What query options need to know of the index searched (an index file's header, say)."""

    has_ids: bool
    dim: int
    count: int


def query_options(args: argparse.Namespace, header: SearchedIndex) -> dict[str, Any]:
    """Keyword options of `query` from --metric, --filter, --refine and --refine-factor."""
    options: dict[str, Any] = {}
    if args.metric != "ip":
        options["metric"] = args.metric
    if args.filter is not None:
        options["allowed"] = read_allowed(args.filter, header.has_ids)
    if args.refine is not None:
        options["refine"] = read_refine_vectors(args.refine, header.dim)
    if args.refine_factor is not None:
        if args.refine is None:
            raise CliError("--refine-factor needs --refine")
        # Candidates beyond the stored count change nothing.
        options["refine_factor"] = min(args.refine_factor, max(header.count, 1))
    return options


def read_npy(path: str, what: str) -> NDArray[Any]:
    require_readable_file(path)
    if os.path.splitext(path)[1].lower() != ".npy":
        raise CliError(f"{path}: {what} is read from a .npy file")
    return map_npy(path)


def read_allowed(path: str, ids: bool) -> NDArray[Any]:
    """Positions or a bool mask (positions index), uint64 ids (id index)."""
    allowed = np.asarray(read_npy(path, "--filter"))
    if allowed.ndim != 1 or allowed.dtype.kind not in ("iu" if ids else "iub"):
        kinds = "integer ids" if ids else "integer positions or a bool mask"
        raise CliError(f"{path}: --filter needs a 1-D array of {kinds}, not {allowed.dtype} of shape {allowed.shape}")
    return checked_ids(allowed, 0, path) if ids else allowed


def read_refine_vectors(path: str, dim: int) -> NDArray[np.float32]:
    vectors = read_npy(path, "--refine")
    if vectors.ndim != 2 or vectors.dtype != np.float32 or vectors.shape[1] != dim:
        raise CliError(
            f"{path}: --refine needs float32 vectors of shape (n, {dim}), not {vectors.dtype} of shape {vectors.shape}"
        )
    return vectors
