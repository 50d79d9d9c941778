#!/usr/bin/env bash
# Builds the core, its tests and the module with AddressSanitizer and UndefinedBehaviorSanitizer
# (every report fatal) and runs the C++ tests and the whole Python suite under them. Python itself
# is not instrumented, so the runtime is preloaded; leaks of the interpreter are suppressed, leaks
# of the module are not.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
apt_install g++ libssl-dev libgtest-dev libpq-dev libsqlite3-dev postgresql pgbouncer iproute2

# One instrumented build serves both: the module's, with the C++ tests beside it.
section "the module and the C++ core tests, built with ASan and UBSan"
python="$(venv_with_package 3.12 asan)"
section "C++ core tests under ASan and UBSan"
"$(dirname "$python")/ctest" --test-dir "$ROOT/build/py3.12-asan" --output-on-failure -j "$(nproc)"

section "Python 3.12 tests under ASan and UBSan"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:fast_unwind_on_malloc=0:malloc_context_size=2"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan-python.supp:print_suppressions=0"
# Python's objects from malloc, so that the leak checker sees (and scans) each of them.
export PYTHONMALLOC=malloc
# libstdc++ is preloaded too, so that the runtime finds the real __cxa_throw at start-up.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
run_pytest "$python"
