"""What every part of the ``varnel`` command shares: its error type and its voice on stderr."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable
from typing import Any

from varnel._install import install_hint


class CliError(Exception):
    """A problem the user can fix; the command prints its message as one line and exits."""

    exit_code = 1


class UsageError(CliError):
    """A command line whose arguments do not go together (exit code 2, as argparse's own errors)."""

    exit_code = 2


INSTALL_HINT = install_hint("tqdm", "cli")


class Console:
    """Notes and progress bars on stderr, so stdout carries only results.

    Bars appear only when stderr is a terminal (never in a pipe or a log file)
    and not with ``--quiet``; tqdm's ``delay`` keeps steps shorter than a
    second silent.
    """

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self._bars = not quiet and sys.stderr.isatty()
        self._hinted = False

    def note(self, text: str) -> None:
        if not self.quiet:
            print(f"note: {text}", file=sys.stderr)

    def bar(self, total: int | None, desc: str, unit: str = "vec") -> Any:
        if not self._bars:
            return _NoBar()
        try:
            from tqdm import tqdm
        except ImportError:
            if not self._hinted:
                self._hinted = True
                self.note(f"progress bars need tqdm: {INSTALL_HINT}")
            return _NoBar()
        return tqdm(
            total=total,
            desc=desc,
            unit=unit,
            unit_scale=True,
            dynamic_ncols=True,
            leave=False,
            delay=1.0,
            file=sys.stderr,
        )


class _NoBar:
    """Stands in for a tqdm bar when bars are off."""

    def update(self, count: int = 1) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def _whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None


def at_least(smallest: int) -> Callable[[str], int]:
    """An argparse type: a whole number of at least `smallest`."""

    def parse(text: str) -> int:
        value = _whole_number(text)
        if value < smallest:
            raise argparse.ArgumentTypeError(f"must be at least {smallest}, got {value}")
        return value

    return parse


def bits_value(text: str) -> int:
    value = _whole_number(text)
    if value not in (2, 3, 4):
        raise argparse.ArgumentTypeError(f"bits must be 2, 3 or 4, got {value}")
    return value


def bits_list(text: str) -> list[int]:
    """'2,3,4' -> [2, 3, 4], each checked, repeats dropped."""
    values = [bits_value(part.strip()) for part in text.split(",")]
    return list(dict.fromkeys(values))


def dim_value(text: str) -> int:
    value = _whole_number(text)
    if value < 8 or value % 8:
        raise argparse.ArgumentTypeError(f"dim must be a positive multiple of 8, got {value}")
    return value


def search_chunk(stored: int, threads: int) -> int:
    """Queries per search call: small enough that a progress bar moves every fraction of a
    second on a large index, large enough to keep every thread busy (groups of four)."""
    return max(1, min(1024, max(16 * threads, (1 << 26) // max(stored, 1))))


def check_results_fit(queries: int, columns: int, copies: int = 1) -> None:
    """Refuses, before any search, results larger than this machine's memory.

    `copies` counts the (queries, columns) arrays of scores and ids held at once.
    """

    needed = copies * queries * columns * (4 + 8)  # a float32 score and an int64 position or uint64 id
    if needed > physical_memory():
        raise CliError(
            f"{queries:,} queries x {columns:,} results need {needed / 2**30:,.1f} GiB, more than this machine's "
            f"memory ({physical_memory() / 2**30:,.1f} GiB); ask for a smaller -k or search fewer queries at a time"
        )


def panic_text(error: BaseException) -> str:
    """The library's message on one line (an assertion carries its values on further lines)."""
    text = str(error.args[0]) if error.args else type(error).__name__
    return " ".join(line.strip() for line in text.splitlines() if line.strip())


def physical_memory() -> int:
    """Bytes of memory this machine has (16 GiB when the system cannot tell)."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return 1 << 34
