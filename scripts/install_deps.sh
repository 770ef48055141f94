#!/usr/bin/env bash
# Install the Debian/Ubuntu packages that vordex needs to build and test,
# but only those that are missing: a machine that has them all pays nothing
# (no apt-get update, no root needed).
set -euo pipefail

PACKAGES=(
  g++ make cmake ninja-build
  python3-dev pybind11-dev libgtest-dev
  python3-numpy python3-scipy python3-pandas
  python3-pytest python3-hypothesis python3-matplotlib python3-mypy
  python3-venv python3-setuptools python3-wheel python3-pip
  clang libclang-rt-14-dev
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
  if [[ "$status" != ii* ]]; then
    missing+=("$pkg")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "deps: installing ${missing[*]}"
SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "deps: not root and no sudo; install these packages: ${missing[*]}" >&2
    exit 1
  fi
fi

"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
