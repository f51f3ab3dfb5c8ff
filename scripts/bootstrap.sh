#!/usr/bin/env bash
# Sets up .venv (CPython 3.10 where present, else python3), installs the build
# requirements, builds the extension modules and installs the package with the
# extras named as arguments. Sourced by run.sh and test.sh.
#
# The install is skipped when nothing that goes into the package changed since
# the last one in this venv (a stamp of the sources' state, the Python and the
# extras installed is kept in the venv); a fresh checkout has no stamp, so it
# installs everything.
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

# What the wheel is built from, as git sees it: the staged files, the changes
# not staged and the untracked files (not ignored). Outside a git checkout:
# every file's path, size and modification time.
tavro_source_state() {
  local packaged=(src CMakeLists.txt pyproject.toml README.md)
  if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$root" &&
      git ls-files -s -- "${packaged[@]}" &&
      git diff --binary -- "${packaged[@]}" &&
      git ls-files -z --others --exclude-standard -- "${packaged[@]}" | xargs -0 -r git hash-object --)
  else
    (cd "$root" && find "${packaged[@]}" -type f -printf '%p %s %T@\n' | LC_ALL=C sort)
  fi
}

tavro_stamp="$venv/.tavro-install-stamp"
tavro_state=$({ tavro_source_state; "$venv/bin/python" -c 'import sys; print(sys.version)'; } |
              sha256sum | cut -d' ' -f1)
tavro_installed=""   # the extras of the last install, when the sources are the same
if [ -f "$tavro_stamp" ] && [ -x "$venv/bin/tavro" ]; then
  read -r stamp_state stamp_extras < "$tavro_stamp" || true
  if [ "${stamp_state:-}" = "$tavro_state" ]; then tavro_installed=",${stamp_extras:-},"; fi
fi
tavro_wanted=$extras
tavro_missing=""
if [ -n "$tavro_installed" ]; then
  for extra in ${extras//,/ }; do
    case "$tavro_installed" in *",$extra,"*) ;; *) tavro_missing=yes ;; esac
  done
  # Keep what was installed: switching between run.sh and test.sh installs once.
  tavro_wanted=$(echo "${tavro_installed//,/ } ${extras//,/ }" | tr ' ' '\n' | sed '/^$/d' | sort -u | paste -sd, -)
fi

if [ -z "$tavro_installed" ] || [ -n "$tavro_missing" ]; then
  rm -f "$tavro_stamp"
  pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
  "${pip[@]}" install "scikit-build-core>=0.10" "pybind11>=2.11"
  if command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
  fi
  export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
  "${pip[@]}" install --no-build-isolation "$root${tavro_wanted:+[$tavro_wanted]}"
  echo "$tavro_state $tavro_wanted" > "$tavro_stamp"
fi
