#!/usr/bin/env bash
# Sets up .venv (CPython 3.10 where present, else python3), installs the build
# requirements, builds the extension modules and installs the package with the
# extras named as arguments. Sourced by run.sh and test.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${TAVRO_VENV:-$root/.venv}
extras=$(IFS=,; echo "$*")

if [ ! -x "$venv/bin/python" ]; then
  py=""
  for candidate in "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/3.10.*/bin/python3.10 \
                   "$(command -v python3.10 || true)"; do
    if [ -x "$candidate" ]; then py=$candidate; break; fi
  done
  "${py:-python3}" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
"${pip[@]}" install "scikit-build-core>=0.10" "pybind11>=2.11"
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
"${pip[@]}" install --no-build-isolation "$root${extras:+[$extras]}"
