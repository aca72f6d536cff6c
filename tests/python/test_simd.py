"""The instruction-set paths an installed build (source or wheel) sees, and
bit-identical results on each of them."""

import pathlib
import platform
import subprocess
import sys

import pytest

import varnel
from varnel import _varnel

FINGERPRINT = pathlib.Path(__file__).resolve().parents[2] / "tools" / "simd_fingerprint.py"


def cpu_flags() -> set[str]:
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith(("flags", "Features")):
            return set(line.split(":", 1)[1].split())
    return set()


EXPECTED_PATHS = {  # path: the kernel's CPU flags it needs
    "avx2": {"avx2", "fma"},
    "avx512": {"avx2", "fma", "avx512f", "avx512bw"},
    "avx512vbmi": {"avx2", "fma", "avx512f", "avx512bw", "avx512vbmi"},
    "neon": {"asimd"},
}


def test_every_path_the_cpu_has_is_offered_and_the_best_is_active():
    flags = cpu_flags()
    if not flags:
        pytest.skip("no /proc/cpuinfo flags here")
    supported = _varnel._supported_simd_paths()
    expected = ["portable"] + [path for path, needs in EXPECTED_PATHS.items()
                               if needs <= flags and (path == "neon") == (platform.machine() == "aarch64")]
    assert supported == expected
    assert varnel.simd_path() in supported


def test_every_path_gives_the_portable_results():
    out = subprocess.run([sys.executable, str(FINGERPRINT)], capture_output=True, text=True, check=True)
    lines = dict(line.split(": ", 1) for line in out.stdout.splitlines())
    paths = lines["supported paths"].split()
    digests = {lines[path].split()[1] for path in paths}
    assert [lines[path].split()[0] for path in paths] == paths  # each forced path was taken
    assert len(digests) == 1, out.stdout
