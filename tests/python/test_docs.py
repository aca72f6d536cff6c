"""Every ```python block of README.md and docs/*.md runs, so the docs cannot drift from the code.

The blocks of one file run in order in one fresh interpreter (a later block may
use what an earlier one made), in an empty temporary folder. A file whose
blocks import a package that is not installed is skipped.
"""

import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```", re.DOTALL | re.MULTILINE)


def python_blocks(path: Path) -> list[tuple[int, str]]:
    """(first line number, code) of each python block."""
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, found.start(1)) + 1, found.group(1)) for found in PYTHON_BLOCK.finditer(text)]


def imported_packages(code: str) -> set[str]:
    packages = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            packages.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            packages.add(node.module.split(".")[0])
    return packages


def script_of(path: Path, blocks: list[tuple[int, str]]) -> str:
    """The blocks as one script, each padded to its line in the document, so tracebacks point there."""
    lines: list[str] = []
    for first_line, code in blocks:
        lines.extend([""] * (first_line - 1 - len(lines)))
        lines.extend(code.splitlines())
    return "\n".join(lines) + "\n"


DOCUMENTS_WITH_CODE = [path for path in DOCUMENTS if python_blocks(path)]


def test_the_documents_hold_examples():
    names = {path.name for path in DOCUMENTS_WITH_CODE}
    assert {"README.md", "python.md", "distributed.md"} <= names


@pytest.mark.parametrize("path", DOCUMENTS_WITH_CODE, ids=[path.name for path in DOCUMENTS_WITH_CODE])
def test_python_examples_run(path, tmp_path):
    blocks = python_blocks(path)
    for package in sorted(imported_packages("\n".join(code for _, code in blocks))):
        if importlib.util.find_spec(package) is None:
            pytest.skip(f"{path.name} needs {package}, which is not installed")
    script = tmp_path / path.name.replace(".md", "_examples.py")
    script.write_text(script_of(path, blocks), encoding="utf-8")
    done = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, f"{path.name}: an example failed (line numbers are the document's)\n{done.stderr}"
