#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: native unit tests (CTest)
# and the Python tests (pytest) against the installed package.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# CI builds with warnings as errors.
werror=OFF
if [ "${CI:-}" = true ]; then werror=ON; fi
export CMAKE_ARGS="${CMAKE_ARGS:-} -DTAVRO_WERROR=$werror"
source "$root/scripts/bootstrap.sh" test
venv=${TAVRO_VENV:-$root/.venv}

# Native unit tests need GoogleTest. System packages are installed only when
# asked: TAVRO_SYSTEM_PACKAGES=1, or in CI (CI=true).
if [ ! -f /usr/include/gtest/gtest.h ] && { [ "${TAVRO_SYSTEM_PACKAGES:-}" = 1 ] || [ "${CI:-}" = true ]; }; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev >/dev/null
fi
if [ -f /usr/include/gtest/gtest.h ]; then
  cmake -S "$root/tests/cpp" -B "$root/build/native-tests" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTAVRO_WERROR=$werror >/dev/null
  cmake --build "$root/build/native-tests"
  ctest --test-dir "$root/build/native-tests" --output-on-failure
else
  echo "test.sh: GoogleTest is not installed, so the native tests are skipped" \
       "(TAVRO_SYSTEM_PACKAGES=1 installs libgtest-dev)" >&2
fi

# Typing of the installed package: the whole package and a sample program of
# its public API under mypy --strict, and the stubs of the extension modules
# against the modules.
modules=(tavro.modelwright tavro.tokenmeter tavro.lpwriter_base tavro.lpwriter tavro.lpwriter_csc
         tavro.rag_helper tavro._kelm tavro.tavro_core)
(cd "$root/tests" &&
  "$venv/bin/python" -m mypy --config-file typing/package.ini --cache-dir "$root/build/mypy-cache" -p tavro &&
  "$venv/bin/python" -m mypy --config-file typing/package.ini --cache-dir "$root/build/mypy-cache" \
    typing/sample_api.py &&
  "$venv/bin/python" -m mypy.stubtest --mypy-config-file "$root/tests/typing/mypy.ini" "${modules[@]}")

# Lint: ruff over the Python files, clang-format over the C++ files.
"$venv/bin/ruff" check --quiet "$root/src" "$root/tests" "$root/benchmarks" "$root/scripts"
(cd "$root" && git ls-files -z -- '*.cpp' '*.hpp' 2>/dev/null | xargs -0 -r "$venv/bin/clang-format" --dry-run --Werror)

# The installed package is tested, never the source tree: pytest runs from
# tests/ with importlib imports, so the checkout's src/tavro/ is not on sys.path.
cd "$root/tests"
exec "$venv/bin/pytest" -c "$root/pyproject.toml" --rootdir "$root" "$@" "$root/tests"
