"""Ctrl-C while the ``varnel`` command is still importing ends it quietly.

The command turns Ctrl-C into a one-line message once ``main`` runs; before
that, Python would print the traceback of whatever import was under way
(NumPy's, mostly). While the package and the command's modules are imported by
the command itself (the console script or ``python -m varnel``), SIGINT keeps
its default action, ending the process with status 130 and no output. Any other
program importing varnel is left alone, and each module restores the handler
it found before its import finishes.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator

_COMMAND_MODULES = ("varnel", "varnel.cli", "varnel.__main__")


def _module_run_with_dash_m(argv: list[str]) -> str | None:
    for number, argument in enumerate(argv[1:], 1):
        if argument == "-m":
            return argv[number + 1] if number + 1 < len(argv) else None
        if argument.startswith("-m"):
            return argument[2:]
        if not argument.startswith("-"):
            return None
    return None


def started_as_the_command() -> bool:
    main = sys.modules.get("__main__")
    spec = getattr(main, "__spec__", None)
    if spec is not None:  # python -m varnel, once the package is imported
        return spec.name in _COMMAND_MODULES
    script = getattr(main, "__file__", None)
    if script is not None:  # the console script
        return os.path.basename(script) == "varnel"
    # python -m varnel while it imports the package
    return sys.argv[:1] == ["-m"] and _module_run_with_dash_m(getattr(sys, "orig_argv", [])) in _COMMAND_MODULES


@contextlib.contextmanager
def quiet_interrupts() -> Iterator[None]:
    """SIGINT's default action for the duration of the block, when the command is starting."""
    if threading.current_thread() is not threading.main_thread() or not started_as_the_command():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_DFL)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
