import os
from typing_extensions import Buffer
from typing import Final, Literal, SupportsIndex, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Metric = Literal["ip", "cosine", "l2"]
_Layout = Literal["rows", "mapped"]

__all__ = ["SkerryIndex", "IdMapIndex", "PartitionedIndex", "IdFilter", "__version__"]

__version__: Final[str]

class PanicException(BaseException): ...

def _num_threads() -> int: ...
def _set_num_threads(count: SupportsIndex, /) -> None: ...
def _rejected_settings() -> list[tuple[str, str, str, str]]: ...
def _verification_counts() -> tuple[int, int]: ...
def _simd_path() -> str: ...
def _supported_simd_paths() -> list[str]: ...
@final
class SkerryIndex:
    def __new__(cls, dim: SupportsIndex, bits: SupportsIndex, rotation: str = "rotor3") -> SkerryIndex: ...
    def add(self, vectors: NDArray[np.float32]) -> None:
        """Add `n = vectors.shape[0]` vectors. `vectors` must be a 2-D
        `float32` array of shape `(n, dim)`."""
    def search(
        self, queries: NDArray[np.float32], k: SupportsIndex
    ) -> tuple[NDArray[np.float32], NDArray[np.int64]]:
        """Top-`k` search. Returns `(scores, indices)` as `(nq, K)` arrays.

        K, the column count, is the effective k, `min(k, len(self))` and at least 1
        (with no query rows: `k`);
        an empty slot (only when `k` exceeds the stored count) holds score
        `-inf` and index -1. The column count of `queries` is not compared
        with `dim` (its buffer is split into vectors of `dim` values; a
        UserWarning says so when they differ)."""
    def write(
        self, path: str | os.PathLike[str] | os.PathLike[bytes], *, layout: _Layout = "rows", sync: bool = True
    ) -> None:
        """Writes the index to `path`. layout="mapped" writes the arrays as a
        search reads them, for `open` to map in place. sync=False skips making the
        new file durable (fsync) before returning."""
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | os.PathLike[bytes], *, require_checksum: bool = False
    ) -> SkerryIndex: ...
    @classmethod
    def open(cls, path: str | os.PathLike[str] | os.PathLike[bytes], *, verify: bool = False) -> SkerryIndex:
        """Maps a file written with layout="mapped" read-only and searches it in
        place: no read, and processes that open (or fork after opening) share
        its pages. The header, sizes and norms are checked; verify=True also
        compares the checksum of the whole file (reading all of it). The index
        is read-only: copy.copy(index) or load(path) gives a writable copy."""
    @property
    def mapped(self) -> bool:
        """True if the index searches a read-only file mapping (`open`)."""
    def prepare(self) -> None:
        """Eagerly populate caches (block-rotation matrices, Lloyd-Max
        centroids) so the first `search` call doesn't pay the init cost."""
    def swap_remove(self, idx: SupportsIndex) -> int:
        """Remove the vector at `idx` in O(1) by swap-with-last. Returns the
        previous index of the moved vector. Order is **not** preserved."""
    def to_bytes(self) -> bytes:
        """The index as `bytes`: exactly what `write` puts in a file."""
    @classmethod
    def from_bytes(cls, data: Buffer, *, require_checksum: bool = False) -> SkerryIndex:
        """A new index read from `data` (bytes, bytearray, memoryview or any
        buffer) as `to_bytes` or `write` produced it, with every check of `load`."""
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    def query(
        self,
        queries: ArrayLike,
        k: SupportsIndex,
        *,
        allowed: ArrayLike | IdFilter | None = None,
        metric: _Metric = "ip",
        refine: NDArray[np.float32] | None = None,
        refine_factor: SupportsIndex | None = None,
        radius: float | None = None,
    ) -> tuple[NDArray[np.float32], NDArray[np.int64]]:
        """Top-`k` search with options. Returns `(scores, indices)` as `(nq, K)` arrays,
        best first, K = `min(k, len(self))` and at least 1 (with no query rows: `k`).
        `queries`: any array-like of numbers with `dim` columns, or one query as a
        1-D array; converted to float32 once (a C-contiguous float32 array is used
        as it is).

        allowed: only these may be returned: an integer array of positions, a
          boolean mask of length `len(index)`, or an `IdFilter` of positions
          (built once, reused while the length is unchanged). Applied inside the scan;
          fewer allowed than `k` gives fewer columns, as a smaller index would.
        metric: "ip" (the estimated inner product, as `search`), "cosine" (that
          divided by both norms; 0 for a zero vector or query) or "l2" (the squared
          distance |q|^2 + |x|^2 - 2 ip, best = smallest; may dip just below 0).
        refine: the original float32 vectors (an array or np.memmap), row i for position i:
          the best `refine_factor * k` candidates by code (factor 4 by default) are
          re-scored exactly against them; the best `k` are returned with exact scores.

        Runs without the interpreter lock (other threads run; changing the index
        meanwhile raises RuntimeError) and stops on Ctrl-C. Empty slots: index -1
        with score -inf (+inf for "l2")."""
    def reconstruct(self, positions: ArrayLike) -> NDArray[np.float32]:
        """Approximate vectors at `positions`, decoded from their codes: each
        coordinate's centroid, rotated back, times the stored norm. Returns a
        `(len(positions), dim)` float32 array; not the vectors that were added."""
    @property
    def dim(self) -> int: ...
    @property
    def bits(self) -> int: ...
    @property
    def rotation(self) -> str: ...
    def __len__(self) -> int: ...

@final
class IdMapIndex:
    def __new__(cls, dim: SupportsIndex, bits: SupportsIndex, rotation: str = "rotor3") -> IdMapIndex: ...
    def add_with_ids(self, vectors: NDArray[np.float32], ids: NDArray[np.uint64]) -> None:
        """Add vectors with stable external `uint64` ids."""
    def upsert(self, vectors: ArrayLike, ids: ArrayLike) -> None:
        """Add vectors with ids, replacing the vectors of ids already stored.
        Takes any array-like of numbers (one vector as a 1-D array) and
        non-negative integer ids of any dtype. The batch is checked whole
        first (its length, ids repeated inside it: ValueError) and nothing
        changes if it is refused; the replacement is not stopped by Ctrl-C."""
    def remove(self, id: SupportsIndex) -> bool: ...
    def search(
        self, queries: NDArray[np.float32], k: SupportsIndex
    ) -> tuple[NDArray[np.float32], NDArray[np.uint64]]:
        """Top-`k` search returning external ids. Returns `(scores, ids)` as
        `(nq, K)` arrays.

        K, the column count, is the effective k, `min(k, len(self))` and at least 1
        (with no query rows: `k`); an empty slot holds score `-inf` and id
        `2**64 - 1`, which is also a valid stored id: tell them apart by the
        score."""
    def contains(self, id: SupportsIndex) -> bool: ...
    def prepare(self) -> None: ...
    def write(
        self, path: str | os.PathLike[str] | os.PathLike[bytes], *, layout: _Layout = "rows", sync: bool = True
    ) -> None:
        """Writes the index to `path`. layout="mapped" writes the arrays as a
        search reads them, for `open` to map in place. sync=False skips making the
        new file durable (fsync) before returning."""
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | os.PathLike[bytes], *, require_checksum: bool = False
    ) -> IdMapIndex: ...
    @classmethod
    def open(cls, path: str | os.PathLike[str] | os.PathLike[bytes], *, verify: bool = False) -> IdMapIndex:
        """Maps a file written with layout="mapped" read-only and searches it in
        place: no read, and processes that open (or fork after opening) share
        its pages. The header, sizes and norms are checked; verify=True also
        compares the checksum of the whole file (reading all of it). The index
        is read-only: copy.copy(index) or load(path) gives a writable copy."""
    @property
    def mapped(self) -> bool:
        """True if the index searches a read-only file mapping (`open`)."""
    def to_bytes(self) -> bytes:
        """The index as `bytes`: exactly what `write` puts in a file."""
    @classmethod
    def from_bytes(cls, data: Buffer, *, require_checksum: bool = False) -> IdMapIndex:
        """A new index read from `data` (bytes, bytearray, memoryview or any
        buffer) as `to_bytes` or `write` produced it, with every check of `load`."""
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    def query(
        self,
        queries: ArrayLike,
        k: SupportsIndex,
        *,
        allowed: ArrayLike | IdFilter | None = None,
        metric: _Metric = "ip",
        refine: NDArray[np.float32] | None = None,
        refine_factor: SupportsIndex | None = None,
        refine_ids: ArrayLike | None = None,
        radius: float | None = None,
    ) -> tuple[NDArray[np.float32], NDArray[np.uint64]]:
        """Top-`k` search with options. Returns `(scores, ids)` as `(nq, K)` arrays,
        best first, K = `min(k, len(self))` and at least 1 (with no query rows: `k`).
        `queries`: any array-like of numbers with `dim` columns, or one query as a
        1-D array; converted to float32 once (a C-contiguous float32 array is used
        as it is).

        allowed: only these may be returned: an array of uint64 ids (ids not stored
          are ignored), or an `IdFilter` (its positions are worked out once and
          reused while the index is unchanged). Applied inside the scan;
          fewer allowed than `k` gives fewer columns, as a smaller index would.
        metric: "ip" (the estimated inner product, as `search`), "cosine" (that
          divided by both norms; 0 for a zero vector or query) or "l2" (the squared
          distance |q|^2 + |x|^2 - 2 ip, best = smallest; may dip just below 0).
        refine: the original float32 vectors (an array or np.memmap), row i for id i:
          the best `refine_factor * k` candidates by code (factor 4 by default) are
          re-scored exactly against them; the best `k` are returned with exact scores.
        refine_ids: the id of each `refine` row, in any order, for sparse ids: then
          `refine` needs a row only for every id that may be returned.

        Runs without the interpreter lock (other threads run; changing the index
        meanwhile raises RuntimeError) and stops on Ctrl-C. Empty slots: id 2**64 - 1
        with score -inf (+inf for "l2")."""
    def reconstruct(self, ids: ArrayLike) -> NDArray[np.float32]:
        """Approximate vectors of `ids`, decoded from their codes: each
        coordinate's centroid, rotated back, times the stored norm. Returns a
        `(len(ids), dim)` float32 array; an id that is not stored raises ValueError."""
    def remove_many(self, ids: ArrayLike) -> None:
        """Remove every id of `ids`, or none: if an id is not stored or
        repeats, ValueError names it and the index is unchanged."""
    @property
    def dim(self) -> int: ...
    @property
    def bits(self) -> int: ...
    @property
    def rotation(self) -> str: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...

@final
class PartitionedIndex:
    """Vectors in `lists` lists by their nearest trained centroid; each list
    holds 2-, 3- or 4-bit codes of its vectors' residuals to the centroid,
    with stable uint64 ids. A search scans only the `probes` lists whose
    centroids are nearest to the query.

    Takes any array-like of numbers (float64, lists; one vector or query as a
    1-D array), ids of any integer dtype and any `dim` (coded with zeros
    appended up to a multiple of 8, which changes no score); `seed` chooses
    the rotation and training. A broken precondition raises ValueError."""

    def __new__(
        cls,
        dim: SupportsIndex,
        bits: SupportsIndex,
        lists: SupportsIndex,
        rotation: str = "rotor3",
        *,
        seed: SupportsIndex = 117900524,
    ) -> PartitionedIndex: ...
    def train(self, sample: ArrayLike) -> None:
        """Learn the centroids from a `(n, dim)` float32 sample by seeded k-means
        (10 iterations; at most 256 vectors per list are used, a seeded subset
        of a larger sample). Bit-identical on every machine, instruction-set
        path and thread count. Needs `n >= lists` and an empty index; stops on
        Ctrl-C leaving the index as it was. Centroids whose squares overflow
        float32 (norm above about 1.8e19) raise ValueError naming the first."""
    def add_with_ids(self, vectors: ArrayLike, ids: ArrayLike) -> None:
        """Add vectors with stable non-negative integer ids (any integer
        dtype, or a list); each joins the list of its nearest centroid by
        Euclidean distance. The checks and messages of
        `IdMapIndex.add_with_ids`, raised as ValueError; a refused batch
        changes nothing."""
    def search(
        self, queries: ArrayLike, k: SupportsIndex, *, probes: SupportsIndex = 8
    ) -> tuple[NDArray[np.float32], NDArray[np.uint64]]:
        """Top-`k` search. Returns `(scores, ids)` as `(nq, k)` arrays, best first.

        A score is `<q, centroid>` plus the estimated inner product of the
        query with the stored residual (with the residual's scale and shift).
        `probes` must be between 1 and
        `lists` (by default 8, or `lists` when it is smaller). The column count is `min(k, len(self))`, at least 1; an empty
        slot holds score `-inf` and id `2**64 - 1`."""
    def query(
        self,
        queries: ArrayLike,
        k: SupportsIndex,
        *,
        probes: SupportsIndex = 8,
        allowed: ArrayLike | IdFilter | None = None,
        metric: _Metric = "ip",
        refine: ArrayLike | None = None,
        refine_factor: SupportsIndex | None = None,
        refine_ids: ArrayLike | None = None,
        radius: float | None = None,
        filter_exact_below: SupportsIndex | None = None,
        filter_max_probes: SupportsIndex | None = None,
    ) -> tuple[NDArray[np.float32], NDArray[np.uint64]]:
        """`search` with the options of `IdMapIndex.query`: `allowed` ids (ids
        not stored are ignored) or an `IdFilter`, `metric` "ip", "cosine" or
        "l2" (from the stored vector lengths), and `refine` rows indexed by id
        (or by `refine_ids`, the id of each row) to re-score the best
        `refine_factor * k` candidates (factor 4 by default) exactly; a
        candidate without a row raises ValueError. The cost of refinement
        grows with the candidates, not with the size of `refine`. `radius`:
        range search, slots beyond it become empty slots.

        A filtered query plans its lists: with at most `filter_exact_below`
        admitted ids (default: half the vectors `probes` lists hold on
        average, at least 256) it scores every admitted vector; otherwise it
        probes more lists, nearest first among those holding admitted ids,
        until they hold two fifths of what the unfiltered probes hold (at
        most `filter_max_probes` lists for that; default every list) and
        always until `k` admitted ids are in reach: with `k` ids admitted,
        the answer has `k` results. Runs without the interpreter lock; stops on Ctrl-C. Empty slots: id
        2**64 - 1 with score -inf (+inf for "l2")."""
    def remove(self, id: SupportsIndex) -> bool: ...
    def remove_many(self, ids: ArrayLike) -> None:
        """Remove every id of `ids`, or none: if an id is not stored or
        repeats, ValueError names it and the index is unchanged."""
    def contains(self, id: SupportsIndex) -> bool: ...
    def list_sizes(self) -> NDArray[np.uint64]:
        """The number of vectors in each list."""
    def balance(self) -> dict[str, float]:
        """How the list sizes are spread: `lists`, `vectors`, `empty`, `smallest`,
        `largest`, `mean` and `imbalance` (sum of squared sizes * lists / n^2:
        the rows a query scans relative to equal lists; 1 for equal lists)."""
    def rebalance(
        self,
        *,
        split_above: float = 2.0,
        merge_below: float = 0.25,
        lists: SupportsIndex | None = None,
        max_steps: SupportsIndex | None = None,
        vectors: ArrayLike | None = None,
        vector_ids: ArrayLike | None = None,
    ) -> dict[str, int | bool]:
        """Merge lists below `merge_below` times the mean size, split lists
        above `split_above` times it (k-means into parts of the mean size),
        then merge the smallest lists until the list count is back at `lists`
        (default: the count when the call starts); at most `max_steps` splits
        and merges. Re-codes only the vectors whose list or centroid changes,
        from `vectors` (rows by id, or by `vector_ids`) when given, else from
        their codes. Deterministic; Ctrl-C stops it between steps. Returns
        `splits`, `merges`, `recoded` and `balanced`."""
    def reconstruct(self, ids: ArrayLike) -> NDArray[np.float32]:
        """The vectors of `ids` as their codes reconstruct them."""
    def compact(self) -> int:
        """Give back the room lists keep beyond their vectors (left by removals
        and by the slack of growth); returns the bytes freed. Results and
        files are unchanged."""
    def centroids(self) -> NDArray[np.float32]:
        """The centroids as a `(lists, dim)` array; 0 rows before training."""
    def set_centroids(self, centroids: ArrayLike) -> None:
        """Use these `(lists, dim)` finite centroids instead of training (the
        index must be empty): shards given the same centroids search alike.
        A centroid whose squares overflow float32 (norm above about 1.8e19)
        raises ValueError naming it: no vector near it could be added."""
    def write(
        self, path: str | os.PathLike[str] | os.PathLike[bytes], *, layout: _Layout = "rows", sync: bool = True
    ) -> None:
        """Writes the index to `path`. layout="mapped" writes the lists as a
        search reads them, for `open` to map in place. sync=False skips making the
        new file durable (fsync) before returning."""
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | os.PathLike[bytes], *, require_checksum: bool = False
    ) -> PartitionedIndex: ...
    @classmethod
    def open(cls, path: str | os.PathLike[str] | os.PathLike[bytes], *, verify: bool = False) -> PartitionedIndex:
        """Maps a file written with layout="mapped" read-only and searches its
        lists' codes, norms and lengths in place (ids are copied and looked up
        from a table built at open). verify=True also compares the checksum of
        the whole file. The index is read-only: copy.copy(index) or load(path)
        gives a writable copy."""
    @property
    def mapped(self) -> bool:
        """True if the index searches a read-only file mapping (`open`)."""
    def to_bytes(self) -> bytes:
        """The index as `bytes`: exactly what `write` puts in a file."""
    @classmethod
    def from_bytes(cls, data: Buffer, *, require_checksum: bool = False) -> PartitionedIndex:
        """A new index read from `data` as `to_bytes` or `write` produced it,
        with every check of `load`."""
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    @property
    def dim(self) -> int: ...
    @property
    def bits(self) -> int: ...
    @property
    def lists(self) -> int: ...
    @property
    def rotation(self) -> str: ...
    @property
    def is_trained(self) -> bool: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...

@final
class IdFilter:
    """A set of admitted ids, built once and passed as `allowed=` to the
    `query` of every index (positions for `SkerryIndex`). It keeps what it
    works out for an index (a bitmap over the index's positions) while that
    index is unchanged, so a wide filter costs each later query only the
    scan; an index that changed (add, remove, train) is worked out afresh.
    Picklable and safe to share between threads."""

    def __new__(cls, ids: ArrayLike | IdFilter) -> IdFilter:
        """`ids`: any array-like or iterable of non-negative integers (a list,
        a set, a NumPy array of any integer type, a range); repeats are
        dropped. A boolean mask is refused (pass `np.flatnonzero(mask)`)."""
    @property
    def ids(self) -> NDArray[np.uint64]:
        """The admitted ids, sorted, without repeats (a copy)."""
    @property
    def _conversions(self) -> int: ...
    def __len__(self) -> int: ...
    def __contains__(self, id: object, /) -> bool: ...
    def __reduce__(self) -> tuple[object, tuple[NDArray[np.uint64]]]: ...
