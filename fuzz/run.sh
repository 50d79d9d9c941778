#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (the whole core instrumented, with ASan and UBSan)
# and runs each for SECONDS, all in parallel. New inputs land in build/fuzz/corpus/<target>, crashes
# in build/fuzz/artifacts/<target>; exits non-zero when any target reports a failure.
#   fuzz/run.sh SECONDS [TARGET...]     targets: record_json round_trip timestamp entity_id
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"
seconds="${1:?usage: fuzz/run.sh SECONDS [TARGET...]}"
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(record_json round_trip timestamp entity_id)

command -v clang++ >/dev/null 2>&1 || apt_install clang libclang-rt-14-dev
apt_install libssl-dev
build="$ROOT/build/fuzz"
CXX=clang++ cmake -S "$ROOT" -B "$build" -DTRUST_PYTHON=OFF -DTRUST_POSTGRES=OFF -DTRUST_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

status=0
pids=()
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  dict=()
  case "$t" in record_json|timestamp) dict=(-dict="$ROOT/fuzz/record.dict") ;; esac
  "$build/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
      -artifact_prefix="$build/artifacts/$t/" "$build/corpus/$t" "$ROOT/fuzz/corpus/$t" \
      >"$build/$t.log" 2>&1 &
  pids+=($!)
done
for k in "${!targets[@]}"; do
  t="${targets[$k]}"
  if wait "${pids[$k]}"; then
    echo "== $t: $(grep -E '^stat::number_of_executed_units' "$build/$t.log" | awk '{print $2}') runs, no failure"
  else
    status=1
    echo "== $t: FAILED (log: $build/$t.log)" >&2
    tail -n 40 "$build/$t.log" >&2
  fi
done
exit "$status"
