"""Writing files so that neither a crash nor another user of the directory can spoil them.

New files are first written into a private staging directory beside their
target: created by ``mkdtemp`` (mode 0700, an unpredictable name), so nobody
else can plant a link or a file in it, and on the same file system, so the
finished file is renamed into place. File and directory are synced before and
after the rename, so after a power loss the target holds the old or the new
contents, never an empty file.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import stat
import tempfile
from collections.abc import Iterator
from typing import IO, Any

_CREATE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC


@contextlib.contextmanager
def staging_directory(beside: str) -> Iterator[str]:
    """A fresh private directory in the directory of `beside`, removed with all it holds on exit."""
    folder, base = os.path.split(os.path.abspath(beside))
    staging = tempfile.mkdtemp(prefix=f".{base[:100]}.", suffix=".tmp", dir=folder)
    try:
        yield staging
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def create_new(path: str, text: bool = False) -> IO[Any]:
    """Opens a file that must not exist yet (never through a link) for writing; mode 0666 less the umask."""
    descriptor = os.open(path, _CREATE_FLAGS, 0o666)
    if text:
        return os.fdopen(descriptor, "w", encoding="utf-8")
    return os.fdopen(descriptor, "wb")


def sync_file(path: str) -> None:
    descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def sync_directory(directory: str) -> None:
    descriptor = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def move_into_place(staged: str, target: str, *, sync: bool = True) -> None:
    """Renames a finished file over `target` (a link at `target` is replaced, not followed)."""
    if sync:
        sync_file(staged)
    os.replace(staged, target)
    if sync:
        sync_directory(os.path.dirname(os.path.abspath(target)))


def open_regular_file(path: str) -> int:
    """A read-only descriptor of `path`, which must be a regular file (after following links).

    Opening does not block on a FIFO, and a device, socket or directory is
    refused with OSError before a byte is read.
    """
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(descriptor).st_mode
        if not stat.S_ISREG(mode):
            raise OSError(f"{path} is not a regular file")
        os.set_blocking(descriptor, True)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor
