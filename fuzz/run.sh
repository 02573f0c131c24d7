#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, build-fuzz) and runs each one for a
# bounded time on a scratch copy of its seed corpus. Exits non-zero when the
# build fails or any target finds a crash, leak, timeout or broken property;
# the input that did it is kept under build-fuzz/artifacts/<target>/.
#
#   fuzz/run.sh [seconds-per-target] [target...]
#
# Default: 20 seconds for each of all targets. Inputs kept under
# fuzz/regressions/<target>/ are replayed before the target fuzzes.
set -euo pipefail

seconds=${1:-20}
shift $(( $# > 0 ? 1 : 0 ))
case $seconds in
  ''|*[!0-9]*) echo "usage: $0 [seconds-per-target] [target...]" >&2; exit 2 ;;
esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$repo/build-fuzz
all_targets=(fuzz_str_to_int fuzz_mem_ini_file fuzz_transfer_receiver)
if (( $# > 0 )); then targets=("$@"); else targets=("${all_targets[@]}"); fi

# The largest input worth trying per target: past it a target only gets slower.
declare -A max_len=([fuzz_str_to_int]=64 [fuzz_mem_ini_file]=4096 [fuzz_transfer_receiver]=4096)
# Comparison feedback helps the fuzzer reach exact limits such as INT32_MAX.
declare -A extra_flags=([fuzz_str_to_int]=-use_value_profile=1)

for target in "${targets[@]}"; do
  [[ -n ${max_len[$target]:-} ]] || { echo "unknown target: $target" >&2; exit 2; }
done

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARO_FUZZ=ON -DTESSARO_TESTS=OFF >/dev/null
ninja -C "$build" -j2 "${targets[@]}"

# Scratch space on tmpfs where there is one: the settings target saves (and
# syncs) a file on every run.
scratch_parent=/tmp
[[ -d /dev/shm && -w /dev/shm ]] && scratch_parent=/dev/shm
scratch=$(mktemp -d "$scratch_parent/tessaro-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  artifacts=$build/artifacts/$target
  work=$scratch/$target
  mkdir -p "$artifacts" "$work/corpus" "$work/tmp"
  cp "$repo/fuzz/corpus/$target/"* "$work/corpus/"
  log=$work/log
  common=(-max_len="${max_len[$target]}" -timeout=10 -artifact_prefix="$artifacts/" ${extra_flags[$target]:-})

  regressions=$repo/fuzz/regressions/$target
  if [[ -d $regressions ]] && compgen -G "$regressions/*" >/dev/null; then
    echo "== $target: replaying $regressions"
    if ! TMPDIR=$work/tmp "$binary" "${common[@]}" "$regressions"/* >"$log" 2>&1; then
      tail -n 40 "$log"
      failed+=("$target (regressions)")
      continue
    fi
  fi

  echo "== $target: ${seconds}s"
  status=0
  TMPDIR=$work/tmp "$binary" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    "$work/corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "   runs ${runs:-?}, corpus $(ls "$work/corpus" | wc -l) files, $(grep -o 'cov: [0-9]*' "$log" | tail -n 1)"
  if (( status != 0 )); then
    tail -n 40 "$log"
    echo "   FAILED (exit $status); inputs in $artifacts" >&2
    failed+=("$target")
  fi
done

if (( ${#failed[@]} > 0 )); then
  echo "fuzzing failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing passed: ${targets[*]}"
