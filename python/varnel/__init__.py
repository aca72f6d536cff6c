"""varnel: a compact in-memory vector index for float32 embeddings.

``SkerryIndex`` addresses vectors by position, ``IdMapIndex`` by caller-chosen
``uint64`` ids, ``PartitionedIndex`` by ids too, scanning only the lists of
vectors nearest to each query; ``IdFilter`` is a set of admitted ids built once
for the ``allowed=`` of every index's ``query``. Broken preconditions inside the library (bad parameters, a
buffer whose length is not a multiple of ``dim``, an unknown position, a
duplicate id) raise ``PanicException``, which derives from ``BaseException``:
catch it by name, ``except Exception`` does not see it.
"""

from varnel._startup import quiet_interrupts_until_main

quiet_interrupts_until_main()

from varnel import _varnel  # noqa: E402 (after the line above, which must come first)
from varnel._varnel import (  # noqa: E402
    IdFilter,
    IdMapIndex,
    PanicException,
    PartitionedIndex,
    SkerryIndex,
    __version__,
)

__all__ = [
    "SkerryIndex",
    "IdMapIndex",
    "PartitionedIndex",
    "IdFilter",
    "PanicException",
    "__version__",
    "num_threads",
    "set_num_threads",
    "simd_path",
]


def num_threads() -> int:
    """Number of threads that search and add use (workers plus the calling thread)."""
    return _varnel._num_threads()


def set_num_threads(count: int) -> None:
    """Set the number of threads later searches and adds use; 0 restores the default.

    The default is one per hardware thread, or the value of the environment
    variable ``VARNEL_NUM_THREADS`` when it is set before the first search or add.
    Counts above 1024 are capped. Results never depend on the thread count.
    """
    _varnel._set_num_threads(count)


def simd_path() -> str:
    """Name of the instruction-set path the scans and the encoder take.

    One of ``"portable"``, ``"avx2"``, ``"avx512"``, ``"avx512vbmi"`` or
    ``"neon"``: of the paths this CPU supports, the one whose 4-bit kernel ran
    fastest in a short timing on first use (the newest flag is not always the
    fastest), unless ``VARNEL_SCAN_PATH`` forces another. Every path gives
    bit-identical results; only the speed differs.
    """
    return _varnel._simd_path()


def _warn_about_rejected_settings() -> None:
    # The library cannot follow these values and uses others; it never writes
    # to stderr itself, so the package says so, once per process.
    import warnings

    for variable, value, used, reason in _varnel._rejected_settings():
        warnings.warn(
            f"{variable}={value!r} is ignored ({reason}); using {used} instead",
            RuntimeWarning,
            stacklevel=2,
        )


_warn_about_rejected_settings()
