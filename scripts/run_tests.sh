#!/usr/bin/env bash
# Installs what the tests need, then runs every C++ and Python test.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Each stage says how long it took, so the cost of the whole run can be read off.
stage_started=$SECONDS
stage_done() {
  echo "== $1: $((SECONDS - stage_started)) s (total $SECONDS s)"
  stage_started=$SECONDS
}

# GoogleTest for the C++ tests.
if ! find /usr/lib /usr/share /usr/local -name GTestConfig.cmake 2>/dev/null | grep -q .; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi

# A virtual environment for the Python side.
if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
. .venv/bin/activate
python -m pip install -q --upgrade pip
# The command-line tests read Parquet and HDF5 files and draw a plot.
python -m pip install -q numpy pytest hypothesis tqdm pyarrow h5py matplotlib
# The type stubs are checked against the built module (mypy's stubtest) and
# against a typed example (pyright, which brings Node.js if it is missing).
python -m pip install -q mypy pyright
# Ray (with Ray Data) for the sharded-index tests; they skip where no Ray wheel exists.
python -m pip install -q "ray[data]" || echo "Ray is not installable here: the sharded-index tests will skip"
# LangChain (with its standard vector store tests) and LlamaIndex for the framework stores; their tests skip without them.
python -m pip install -q langchain-core langchain-tests pytest-asyncio llama-index-core || echo "LangChain or LlamaIndex is not installable here: the framework store tests will skip"

stage_done "packages"
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"
stage_done "C++ tests"

# The same C++ tests under AddressSanitizer with UndefinedBehaviorSanitizer,
# then under ThreadSanitizer (the stress test races searches, thread-count
# changes and mutations). Any report fails the run.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for sanitizer in address thread; do
  cmake -S . -B "build/$sanitizer" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_SANITIZE="$sanitizer" -DVARNEL_BENCHMARKS=OFF
  cmake --build "build/$sanitizer" -j "$jobs"
  ctest --test-dir "build/$sanitizer" --output-on-failure -j "$jobs"
  stage_done "C++ tests under the $sanitizer sanitizer"
done

# The C++ tests once more for 64-bit Arm, under emulation: the NEON kernels
# build and match the portable ones.
bash scripts/check_arm64.sh
stage_done "C++ tests for aarch64 under QEMU"

if [ -f python/module.cpp ]; then
  python -m pip install -q .
  stage_done "Python build"
  python -m pytest tests/python -q
  stage_done "Python tests"
  python -m mypy.stubtest varnel._varnel
  python -m pyright tests/typing/typed_example.py
  stage_done "stub checks"
  # The wheel users install must take the same kernels and give the same
  # results as this source build.
  bash scripts/check_wheel.sh
  stage_done "wheel check"
fi
