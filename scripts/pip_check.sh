#!/usr/bin/env bash
# Check the pip install path: build a wheel from this tree with pip, offline,
# into a fresh venv that sees the system NumPy/SciPy/pandas, then import the
# installed package from outside the source tree.
#
#   bash scripts/pip_check.sh [python]      (default /usr/bin/python3)
set -euo pipefail

PY=${1:-/usr/bin/python3}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$(mktemp -d /tmp/vordex-pip.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# The native modules the installed package must carry: the toolkit always,
# each model table whose binding source is in the tree.
modules=(vordex.pure.densitykit)
for entry in gamma:likelihood autoreg:latent kgauss:latent walk2:latent; do
  name=${entry%%:*} dir=${entry#*:}
  if [[ -f "$ROOT/bindings/tables/$name.cpp" ]]; then
    modules+=("vordex.model_defs.$dir.$name")
  fi
done

echo "pip-check: venv in $WORK/venv"
"$PY" -m venv --system-site-packages "$WORK/venv"
(cd "$ROOT" && env -u PYTHONPATH "$WORK/venv/bin/python" -m pip install \
    --no-build-isolation --no-index --no-cache-dir --disable-pip-version-check .)

cd /tmp
env -u PYTHONPATH "$WORK/venv/bin/python" - "$WORK/venv" "${modules[@]}" <<'PYEOF'
import importlib
import importlib.resources
import os
import sys

venv, names = os.path.realpath(sys.argv[1]), sys.argv[2:]
import vordex
pkg = os.path.realpath(vordex.__file__)
if not pkg.startswith(venv + os.sep):
    sys.exit(f"pip-check: vordex imported from {pkg}, not from the venv")
for name in names:
    mod = importlib.import_module(name)
    where = os.path.realpath(mod.__file__)
    if not where.startswith(venv + os.sep) or not where.endswith(".so"):
        sys.exit(f"pip-check: {name} imported from {where}")
    print(f"pip-check: {name:40s} {os.path.relpath(where, venv)}")
try:
    importlib.import_module("vordex._coretest")
except ImportError:
    pass
else:
    sys.exit("pip-check: the test-support module vordex._coretest was installed")
data = importlib.resources.files("vordex").joinpath("data", "example_marginal.csv").read_text()
lines = data.splitlines()
if lines[0] != "x,y" or len(lines) < 31:
    sys.exit("pip-check: bundled example marginal missing or malformed")
print(f"pip-check: example marginal with {len(lines) - 1} points installed")
root = importlib.resources.files("vordex")
for stub in ("py.typed", "pure/densitykit.pyi", "model_defs/latent/walk2.pyi"):
    if not root.joinpath(stub).is_file():
        sys.exit(f"pip-check: {stub} is not installed")
print("pip-check: type stubs installed")
print("pip-check: ok")
PYEOF

# The command line of the installed package, from outside the tree.
env -u PYTHONPATH "$WORK/venv/bin/python" -m vordex summary > "$WORK/summary.txt"
grep -q '^Mode  ' "$WORK/summary.txt" || { cat "$WORK/summary.txt"; echo "pip-check: summary failed" >&2; exit 1; }
echo "pip-check: python -m vordex summary ok"
