import os
from typing_extensions import Buffer
from typing import Final, Literal, SupportsIndex, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Metric = Literal["ip", "cosine", "l2"]

__all__ = ["SkerryIndex", "IdMapIndex", "__version__"]

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
    def write(self, path: str | os.PathLike[str] | os.PathLike[bytes], *, sync: bool = True) -> None: ...
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | os.PathLike[bytes], *, require_checksum: bool = False
    ) -> SkerryIndex: ...
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
        allowed: ArrayLike | None = None,
        metric: _Metric = "ip",
        refine: NDArray[np.float32] | None = None,
        refine_factor: SupportsIndex | None = None,
    ) -> tuple[NDArray[np.float32], NDArray[np.int64]]:
        """Top-`k` search with options. Returns `(scores, indices)` as `(nq, K)` arrays,
        best first, K = `min(k, len(self))` and at least 1 (with no query rows: `k`).
        `queries`: any array-like of numbers with `dim` columns, or one query as a
        1-D array; converted to float32 once (a C-contiguous float32 array is used
        as it is).

        allowed: only these may be returned: an integer array of positions or a
          boolean mask of length `len(index)`. Applied inside the scan;
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
    def write(self, path: str | os.PathLike[str] | os.PathLike[bytes], *, sync: bool = True) -> None: ...
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | os.PathLike[bytes], *, require_checksum: bool = False
    ) -> IdMapIndex: ...
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
        allowed: ArrayLike | None = None,
        metric: _Metric = "ip",
        refine: NDArray[np.float32] | None = None,
        refine_factor: SupportsIndex | None = None,
        refine_ids: ArrayLike | None = None,
    ) -> tuple[NDArray[np.float32], NDArray[np.uint64]]:
        """Top-`k` search with options. Returns `(scores, ids)` as `(nq, K)` arrays,
        best first, K = `min(k, len(self))` and at least 1 (with no query rows: `k`).
        `queries`: any array-like of numbers with `dim` columns, or one query as a
        1-D array; converted to float32 once (a C-contiguous float32 array is used
        as it is).

        allowed: only these may be returned: an array of uint64 ids (ids not stored
          are ignored). Applied inside the scan;
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
