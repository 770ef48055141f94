#!/usr/bin/env bash
# Run the C++ and Python tests against builds for narrower vector units.
#
# The element-wise kernels are compiled in copies for SSE2, AVX2 and AVX-512,
# and the normal build runs the widest copy the processor has. This script
# builds everything once per given -march, with a single copy of each kernel
# (build-<march>/, modules in build-<march>/pkg/vordex), and runs the whole
# test suite against it, so that the copies a machine would not otherwise
# choose are tested too. Every copy must give the same bits.
#
#   bash scripts/test_widths.sh [march ...]   (default: x86-64 x86-64-v3)
#
# A -march the processor cannot run is skipped with a message.
set -euo pipefail

PY=${PYTHON:-/usr/bin/python3}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
[ $# -gt 0 ] || set -- x86-64 x86-64-v3
if [ "$(uname -m)" != x86_64 ]; then
  echo "test_widths: the kernels have copies for several widths on x86-64 only; nothing to do on $(uname -m)"
  exit 0
fi

# The dynamic loader lists the x86-64 levels the processor supports.
supported() {
  [ "$1" = x86-64 ] && return 0
  /lib64/ld-linux-x86-64.so.2 --help 2>/dev/null | grep -q "^ *$1 (supported"
}

for march in "$@"; do
  case "$march" in
    x86-64|x86-64-v2|x86-64-v3|x86-64-v4) ;;
    *) echo "test_widths: unknown -march '$march' (x86-64, x86-64-v2, x86-64-v3 or x86-64-v4)" >&2; exit 2 ;;
  esac
  if ! supported "$march"; then
    echo "test_widths: this processor cannot run $march code; skipped"
    continue
  fi
  dir=build-$march
  pkg=$dir/pkg
  echo "==== $march ($dir)"
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PY" -DVORDEX_ARCH="$march" \
      -DVORDEX_PACKAGE_DIR="$ROOT/$pkg/vordex"
  fi
  mkdir -p "$pkg"
  # A fresh copy of the package's Python files and data beside the modules.
  if [ -d "$pkg/vordex" ]; then find "$pkg/vordex" -type f ! -name '*.so' -delete; fi
  find vordex -type f \( -name '*.py' -o -name '*.pyi' -o -name py.typed -o -path 'vordex/data/*' \) \
    -exec cp --parents {} "$pkg/" \;
  ninja -C "$dir"
  (cd "$dir" && ctest --output-on-failure)
  # The tests must import this build's modules, not the source tree's.
  PYTHONPATH="$ROOT/$pkg" "$PY" -P -c "
import sys, vordex.pure.densitykit as dk
sys.exit(not dk.__file__.startswith('$ROOT/$pkg/'))"
  PYTHONPATH="$ROOT/$pkg" "$PY" -P -m pytest tests/python -q
done
