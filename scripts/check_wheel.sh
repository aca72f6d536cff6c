#!/usr/bin/env bash
# Builds the manylinux wheel, installs it into a clean environment and checks
# that it sees the same instruction-set paths, takes the same default path and
# returns the same results as the source build in .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

rm -f dist/varnel-*.whl
bash tools/build_wheel.sh >build/wheel.log 2>&1 || { tail -40 build/wheel.log; exit 1; }
wheel=$(ls dist/varnel-*.whl)
echo "built $wheel"

rm -rf build/wheel-check
python3 -m venv build/wheel-check
build/wheel-check/bin/python -m pip install -q "$wheel" pytest

from_source=$(.venv/bin/python tools/simd_fingerprint.py)
# Run from outside the checkout so that nothing but the wheel can be imported.
from_wheel=$(cd build && wheel-check/bin/python ../tools/simd_fingerprint.py)
echo "source build:"; echo "$from_source"
if [ "$from_source" != "$from_wheel" ]; then
  echo "the wheel differs from the source build:"; echo "$from_wheel"
  exit 1
fi
(cd build && wheel-check/bin/python -m pytest -q ../tests/python/test_simd.py -p no:cacheprovider)
echo "the wheel takes the source build's paths and gives its results"
