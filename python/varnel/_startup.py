"""Ctrl-C while the ``varnel`` command is still importing ends it quietly.

The command turns Ctrl-C into a one-line message once ``main`` runs; before
that, Python would print the traceback of whatever import was under way
(NumPy's, mostly). When the process is the command itself (its console script
or ``python -m varnel``), importing the package gives SIGINT its default
action, which ends the process with status 130 and no output, until ``main``
puts back the handler it found. Any other program importing varnel is left
alone.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from typing import Any

_COMMAND_MODULES = ("varnel", "varnel.cli", "varnel.__main__")


def _module_run_with_dash_m(argv: list[str]) -> str | None:
    """The module of `python [options] -m MODULE ...`, from the interpreter's own arguments."""
    arguments = iter(argv[1:])
    for argument in arguments:
        if argument == "-m":
            return next(arguments, None)
        if argument.startswith("-m"):
            return argument[2:]
        if argument in ("-X", "-W"):  # options whose value is the next argument
            next(arguments, None)
        elif not argument.startswith("-") or argument == "-c":
            return None
    return None


def _script_folders() -> set[str]:
    import sysconfig  # only here: it takes a while to import

    schemes = [sysconfig.get_default_scheme(), sysconfig.get_preferred_scheme("user")]
    return {os.path.abspath(sysconfig.get_path("scripts", scheme)) for scheme in schemes}


def _console_script() -> str | None:
    """The path of the script this process runs, if it is named like the console script."""
    main = sys.modules.get("__main__")
    script = getattr(main, "__file__", None)
    if script is None or getattr(main, "__spec__", None) is not None or os.path.basename(script) != "varnel":
        return None
    return script


def _run_with_dash_m() -> bool:
    """python -m varnel while it imports the package."""
    return sys.argv[:1] == ["-m"] and _module_run_with_dash_m(getattr(sys, "orig_argv", [])) in _COMMAND_MODULES


_found_handler: Any = None


def quiet_interrupts_until_main() -> None:
    """Gives SIGINT its default action if this process is the command starting up."""
    global _found_handler
    if _found_handler is not None or threading.current_thread() is not threading.main_thread():
        return
    script = _console_script()
    if script is None and not _run_with_dash_m():
        return
    # Quiet first: telling a console script from a user's own script named
    # "varnel" (by the folder pip puts scripts in) takes a slow import.
    found = signal.signal(signal.SIGINT, signal.SIG_DFL)
    if script is not None and os.path.dirname(os.path.abspath(script)) not in _script_folders():
        signal.signal(signal.SIGINT, found)
        return
    _found_handler = found or signal.default_int_handler


def restore_interrupts() -> None:
    """Puts back the SIGINT handler that quiet_interrupts_until_main found (from the main thread)."""
    global _found_handler
    if _found_handler is not None and threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, _found_handler)
        _found_handler = None
