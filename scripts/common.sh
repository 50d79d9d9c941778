# Shared by the scripts: locating interpreters, making venvs and installing what is missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Section headings carry the time since the outermost script started, so that a slow step shows.
: "${VELK_TRUST_RUN_START:=$(date +%s)}"
export VELK_TRUST_RUN_START
section() {
  local t=$(( $(date +%s) - VELK_TRUST_RUN_START ))
  printf '== [%d:%02d] %s\n' $(( t / 60 )) $(( t % 60 )) "$*"
}

# Installs Debian packages that are not installed yet (as root, or with sudo).
apt_install() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "== installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Prints the path of CPython X.Y: from pyenv when present, else from PATH.
find_python() {
  local version="$1" candidate
  if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
      [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
  fi
  for candidate in "${HOME:-/root}"/.pyenv/versions/"$version".*/bin/python"$version"; do
    [ -x "$candidate" ] && { echo "$candidate"; return 0; }
  done
  command -v "python$version" && return 0
  echo "CPython $version not found (looked in pyenv and PATH)" >&2
  return 1
}

# pip, without the notes about local package folders that this machine's pip configuration names.
quiet_pip() {
  local status=0
  "$@" 2> >(grep -v "^WARNING: Location 'file:" >&2) || status=$?
  return $status
}

# Makes (or reuses) .venv-X.Y with the build tools, pytest and uvloop (a second event loop the asyncio
# store is tested on), and installs the package into it.
# With a second argument "asan", .venv-X.Y-asan gets a build with ASan and UBSan instead, its
# build folder the C++ tests too.
# Prints the venv's python.
venv_with_package() {
  local version="$1" flavour="${2:-}"
  local venv="$ROOT/.venv-$1${flavour:+-$flavour}" build="$ROOT/build/py$1${flavour:+-$flavour}"
  local python defines=()
  [ "$flavour" = asan ] && defines=(--config-settings=cmake.define.TRUST_SANITIZE=ON
                                    --config-settings=cmake.define.TRUST_TESTS=ON)
  python="$(find_python "$version")"
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" >&2
  fi
  quiet_pip "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      "scikit-build-core>=1.1" "cmake>=3.26" ninja pytest mypy uvloop >&2
  quiet_pip "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
      --config-settings=build-dir="$build" "${defines[@]}" "$ROOT" >&2
  echo "$venv/bin/python"
}

# Checks the installed stubs against the module (stubtest) and type-checks the examples and the
# typed test file with them (mypy --strict), with the given interpreter.
run_typecheck() {
  local python="$1" cache
  cache="$ROOT/build/mypy-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  # From the tests' folder, so that the installed stubs are checked, not the source tree's file.
  (cd "$ROOT/tests/python" && "$python" -m mypy.stubtest velk_trust) &&
    (cd "$ROOT" && "$python" -m mypy --strict --cache-dir "$cache" examples/ tests/python/test_typed_api.py)
}

# Runs the Python suite with the given interpreter; no test collected (pytest's 5) is a failure.
run_pytest() {
  local status=0
  (cd "$ROOT/tests/python" && "$1" -m pytest -q -p no:cacheprovider .) || status=$?
  if [ "$status" -eq 5 ]; then
    echo "pytest collected no tests" >&2
    return 1
  fi
  return "$status"
}
