import os
from typing_extensions import Buffer
from typing import Final, SupportsIndex, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["SkerryIndex", "IdMapIndex", "__version__"]

__version__: Final[str]

class PanicException(BaseException): ...

def _num_threads() -> int: ...
def _set_num_threads(count: SupportsIndex, /) -> None: ...
def _rejected_settings() -> list[tuple[str, str, str]]: ...
@final
class SkerryIndex:
    def __new__(cls, dim: SupportsIndex, bits: SupportsIndex, rotation: str = "rotor3") -> SkerryIndex: ...
    def add(self, vectors: NDArray[np.float32]) -> None:
        """Add `n = vectors.shape[0]` vectors. `vectors` must be a 2-D
        `float32` array of shape `(n, dim)`."""
    def search(
        self, queries: NDArray[np.float32], k: SupportsIndex
    ) -> tuple[NDArray[np.float32], NDArray[np.int64]]:
        """Top-`k` search. Returns `(scores, indices)` as `(nq, k)` arrays.

        The column count is the effective k, `min(k, len(self))` and at least 1;
        an empty slot (only when `k` exceeds the stored count) holds score
        `-inf` and index -1. The column count of `queries` is not compared
        with `dim` (its buffer is split into vectors of `dim` values; a
        UserWarning says so when they differ)."""
    def write(self, path: str | os.PathLike[str] | os.PathLike[bytes]) -> None: ...
    @classmethod
    def load(cls, path: str | os.PathLike[str] | os.PathLike[bytes]) -> SkerryIndex: ...
    def prepare(self) -> None:
        """Eagerly populate caches (block-rotation matrices, Lloyd-Max
        centroids) so the first `search` call doesn't pay the init cost."""
    def swap_remove(self, idx: SupportsIndex) -> int:
        """Remove the vector at `idx` in O(1) by swap-with-last. Returns the
        previous index of the moved vector. Order is **not** preserved."""
    def to_bytes(self) -> bytes:
        """The index as `bytes`: exactly what `write` puts in a file."""
    @classmethod
    def from_bytes(cls, data: Buffer) -> SkerryIndex:
        """A new index read from `data` (bytes, bytearray, memoryview or any
        buffer) as `to_bytes` or `write` produced it, with every check of `load`."""
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
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
        `(nq, k)` arrays.

        The column count is the effective k, `min(k, len(self))` and at least 1
        (with no query rows: `k`); an empty slot holds score `-inf` and id
        `2**64 - 1`, which is also a valid stored id: tell them apart by the
        score."""
    def contains(self, id: SupportsIndex) -> bool: ...
    def prepare(self) -> None: ...
    def write(self, path: str | os.PathLike[str] | os.PathLike[bytes]) -> None: ...
    @classmethod
    def load(cls, path: str | os.PathLike[str] | os.PathLike[bytes]) -> IdMapIndex: ...
    def to_bytes(self) -> bytes:
        """The index as `bytes`: exactly what `write` puts in a file."""
    @classmethod
    def from_bytes(cls, data: Buffer) -> IdMapIndex:
        """A new index read from `data` (bytes, bytearray, memoryview or any
        buffer) as `to_bytes` or `write` produced it, with every check of `load`."""
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    @property
    def dim(self) -> int: ...
    @property
    def bits(self) -> int: ...
    @property
    def rotation(self) -> str: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
