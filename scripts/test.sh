#!/usr/bin/env bash
# Builds everything and runs every test: the C++ core tests (ctest), then pytest on CPython 3.12
# and 3.13. Exits non-zero on any failure, including pytest collecting no tests.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
apt_install g++ libssl-dev libgtest-dev
command -v cmake >/dev/null 2>&1 && cmake --version >/dev/null 2>&1 || apt_install cmake

echo "== C++ core tests"
cmake -S "$ROOT" -B "$ROOT/build/core" -DTRUST_PYTHON=OFF -DTRUST_TESTS=ON -DTRUST_BENCH=ON >/dev/null
cmake --build "$ROOT/build/core" -j "$(nproc)"
ctest --test-dir "$ROOT/build/core" --output-on-failure -j "$(nproc)"

for version in 3.12 3.13; do
  echo "== Python $version tests"
  python="$(venv_with_package "$version")"
  status=0
  (cd "$ROOT/tests/python" && "$python" -m pytest -q -p no:cacheprovider .) || status=$?
  if [ "$status" -eq 5 ]; then
    echo "pytest collected no tests on Python $version" >&2
    exit 1
  fi
  [ "$status" -eq 0 ] || exit "$status"
done
echo "== all tests passed"
