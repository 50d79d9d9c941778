#!/usr/bin/env bash
# Builds everything and runs every test: the C++ core tests (ctest), pytest on CPython 3.12 and
# 3.13 with stubtest and mypy --strict, the C++ tests and the 3.12 suite again under ASan and UBSan,
# the wheel (built, repaired, installed in a fresh venv, toured), and a minute of each fuzz target. Exits non-zero on any
# failure, including pytest collecting no tests.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# chromium: the tests open the velk-trust report's page in a headless browser. postgresql: the
# database store's tests run against a real server, started here and stopped on any exit.
apt_install g++ libssl-dev libgtest-dev libpq-dev libsqlite3-dev postgresql pgbouncer iproute2 chromium
command -v cmake >/dev/null 2>&1 && cmake --version >/dev/null 2>&1 || apt_install cmake

source "$ROOT/scripts/postgres.sh"
PG_DIR="$(mktemp -d /tmp/velk-trust-pg.XXXXXX)"
trap 'postgres_stop "$PG_DIR"' EXIT
section "PostgreSQL for the database store's tests"
VELK_TRUST_TEST_DATABASE="$(postgres_start "$PG_DIR")"
export VELK_TRUST_TEST_DATABASE
echo "$VELK_TRUST_TEST_DATABASE"

section "C++ core tests"
cmake -S "$ROOT" -B "$ROOT/build/core" -DTRUST_PYTHON=OFF -DTRUST_TESTS=ON -DTRUST_BENCH=ON >/dev/null
cmake --build "$ROOT/build/core" -j "$(nproc)"
ctest --test-dir "$ROOT/build/core" --output-on-failure -j "$(nproc)"

for version in 3.12 3.13; do
  section "Python $version tests"
  python="$(venv_with_package "$version")"
  run_pytest "$python"
  section "Python $version stubs and types"
  run_typecheck "$python"
done
bash "$ROOT/scripts/sanitize.sh"

bash "$ROOT/scripts/wheel.sh"

section "benchmark smoke runs (judge nothing) and the shared-store example"
python="$(venv_with_package 3.12)"
"$python" "$ROOT/bench/compare.py" --quick >/dev/null
quiet_pip "$python" -m pip install -q --disable-pip-version-check "psycopg[binary]>=3.1"
"$python" "$ROOT/bench/database.py" --quick "$VELK_TRUST_TEST_DATABASE" >/dev/null
"$python" "$ROOT/examples/shared_store.py" "$VELK_TRUST_TEST_DATABASE" >/dev/null
quiet_pip "$python" -m pip install -q --disable-pip-version-check asyncpg
"$python" "$ROOT/bench/asyncio_store.py" --quick "$VELK_TRUST_TEST_DATABASE" >/dev/null
"$python" "$ROOT/bench/sqlite_store.py" --quick >/dev/null
"$python" "$ROOT/examples/async_gate.py" "$VELK_TRUST_TEST_DATABASE" >/dev/null

section "fuzz targets, 60 s each"
bash "$ROOT/fuzz/run.sh" 60
section "all tests passed"
