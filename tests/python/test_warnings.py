import contextlib
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
from conftest import fill, vectors

from varnel import IdMapIndex, SkerryIndex


def add(index, data):
    if isinstance(index, SkerryIndex):
        index.add(data)
    else:
        count = data.size // index.dim
        index.add_with_ids(data, np.arange(1000, 1000 + count, dtype=np.uint64))


def search(index, data):
    # SkerryIndex cannot shape results of another column count (ValueError).
    with contextlib.suppress(ValueError):
        index.search(data, 3)


CALLS = {"add": add, "search": search}


class TestColumnCount:
    """Inputs are split into vectors of dim values whatever their shape; a shape
    that disagrees with dim is allowed but warned about, once per call."""

    @pytest.mark.parametrize("call", CALLS)
    def test_other_column_count_warns_once(self, cls, call):
        index = fill(cls(8, 2), vectors(10, 8))
        name = "vectors" if call == "add" else "queries"
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            CALLS[call](index, vectors(3, 16, seed=1))
        assert [(w.category, str(w.message)) for w in caught] == [
            (
                UserWarning,
                f"{name} has 16 columns but the index has dim 8: its values are read as "
                "consecutive vectors of 8",
            )
        ]

    @pytest.mark.parametrize("call", CALLS)
    @pytest.mark.parametrize("shape", [(3, 8), (0, 16), (1, 0)])
    def test_matching_or_empty_input_is_silent(self, cls, call, shape):
        index = fill(cls(8, 2), vectors(10, 8))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            CALLS[call](index, np.zeros(shape, dtype=np.float32))

    def test_warning_as_error_changes_nothing(self, cls):
        index = fill(cls(8, 2), vectors(10, 8))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(UserWarning):
                add(index, vectors(2, 16))
        assert len(index) == 10


def import_warnings(**env) -> list[str]:
    result = subprocess.run(
        [sys.executable, "-W", "always", "-c", "import varnel"],
        env={**os.environ, **env},
        capture_output=True,
        text=True,
        check=True,
    )
    return [line for line in result.stderr.splitlines() if "Warning" in line]


@pytest.mark.parametrize(
    "variable, value, used",
    [
        ("VARNEL_NUM_THREADS", "abc", "(not a positive whole number); using"),
        ("VARNEL_NUM_THREADS", "0", "(not a positive whole number); using"),
        ("VARNEL_NUM_THREADS", "5000", "(above the maximum); using 1024 (the maximum)"),
        ("VARNEL_SCAN_PATH", "fastest", "(not a known path: portable, avx2"),
    ],
)
def test_unusable_environment_setting_warns_once_at_import(variable, value, used):
    (line,) = import_warnings(**{variable: value})
    assert f"RuntimeWarning: {variable}='{value}' is ignored " in line
    assert used in line


def test_usable_environment_settings_are_silent():
    assert import_warnings(VARNEL_NUM_THREADS="3", VARNEL_SCAN_PATH="portable") == []
