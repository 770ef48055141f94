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
# NumPy, whose exp and log the toolkit calls, is kept to the same level
# (NPY_DISABLE_CPU_FEATURES), and so is the C library, whose mathematical
# functions the C++ tests call and whose variants depend on the processor
# (GLIBC_TUNABLES), so each run is what a processor of that level would do.
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

# The optimisations NumPy dispatches at run time beyond a given x86-64 level.
numpy_above() {
  "$PY" - "$1" <<'PYEOF'
import sys
try:
    from numpy._core._multiarray_umath import __cpu_dispatch__
except ImportError:
    from numpy.core._multiarray_umath import __cpu_dispatch__
level = {"x86-64": set(), "x86-64-v2": {"SSSE3", "SSE41", "POPCNT", "SSE42"}}
level["x86-64-v3"] = level["x86-64-v2"] | {"AVX", "F16C", "FMA3", "AVX2"}
allowed = level.get(sys.argv[1])
print(" ".join(f for f in __cpu_dispatch__ if allowed is not None and f not in allowed))
PYEOF
}

# The processor features the C library must not use below a given level.
glibc_above() {
  local v4=AVX512F,-AVX512DQ,-AVX512CD,-AVX512BW,-AVX512VL v3=AVX,-AVX2,-FMA,-F16C v2=SSSE3,-SSE4_1,-SSE4_2,-POPCNT
  case "$1" in
    x86-64) echo "glibc.cpu.hwcaps=-$v2,-$v3,-$v4" ;;
    x86-64-v2) echo "glibc.cpu.hwcaps=-$v3,-$v4" ;;
    x86-64-v3) echo "glibc.cpu.hwcaps=-$v4" ;;
    *) echo "" ;;
  esac
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
  tunables=$(glibc_above "$march")
  echo "C library: ${tunables:-(all features)}"
  (cd "$dir" && GLIBC_TUNABLES="$tunables" ctest --output-on-failure)
  above=$(numpy_above "$march")
  echo "NumPy without: ${above:-(nothing)}"
  # The tests must import this build's modules, not the source tree's, and
  # NumPy must be held to the level.
  PYTHONPATH="$ROOT/$pkg" NPY_DISABLE_CPU_FEATURES="$above" "$PY" -P -c "
import sys, vordex.pure.densitykit as dk
try:
    from numpy._core._multiarray_umath import __cpu_features__
except ImportError:
    from numpy.core._multiarray_umath import __cpu_features__
on = [f for f in '$above'.split() if __cpu_features__.get(f)]
sys.exit(f'NumPy still uses {on}' if on else not dk.__file__.startswith('$ROOT/$pkg/'))"
  PYTHONPATH="$ROOT/$pkg" NPY_DISABLE_CPU_FEATURES="$above" GLIBC_TUNABLES="$tunables" \
    "$PY" -P -m pytest tests/python -q
done
