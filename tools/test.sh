#!/usr/bin/env bash
# Installs whatever Debian packages are missing, then builds and runs every
# test: a normal build in build/ (warnings are errors) with the whole suite,
# end-to-end tests included, then an AddressSanitizer + UndefinedBehavior-
# Sanitizer build in build-asan/ with the whole suite again (the end-to-end
# tests then drive the sanitizer build of the program), then a short run of
# each fuzz target. Prints how long each step took and ends with the test
# summaries.
#
# Usage: tools/test.sh
# TESSARO_JOBS=N limits build parallelism (default: one job per core).
# TESSARO_FUZZ_SECONDS=N sets the time per fuzz target (default 10).
set -uo pipefail
. "$(dirname "$0")/common.sh"

Build=$RepoRoot/build
AsanBuild=$RepoRoot/build-asan
Logs=$(mktemp -d)
trap 'rm -rf "$Logs"' EXIT

FuzzSeconds=${TESSARO_FUZZ_SECONDS:-10}
timings=()
failed=0
started_all=$SECONDS

# step <name> <command...>: runs it, notes its time and whether it failed.
step() {
    local name=$1 started=$SECONDS status
    shift
    echo "=== $name"
    "$@"
    status=$?
    timings+=("$(printf '%-34s %5ds%s' "$name" $((SECONDS - started)) "$([ $status -eq 0 ] || echo '  FAILED')")")
    [ $status -eq 0 ] || failed=1
    return $status
}

build_folder() {
    local dir=$1
    shift
    configure "$dir" -DTESSARO_WERROR=ON -DTESSARO_TESTS=ON "$@" && ninja -C "$dir" -j "$Jobs"
}

# run_ctest <build folder> <log> <ctest options...>
run_ctest() {
    local dir=$1 log=$2
    shift 2
    ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log"
    return "${PIPESTATUS[0]}"
}

summary() {
    # From ctest's "N% tests passed" line to the end of its output.
    sed -n '/tests passed, /,$p' "$1"
}

step "packages" ensure_packages "${ProgramPackages[@]}" "${TestPackages[@]}" || exit 1

if step "build (build/)" build_folder "$Build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    step "all tests (build/)" run_ctest "$Build" "$Logs/build.log"
fi

if step "sanitizer build (build-asan/)" build_folder "$AsanBuild" -DCMAKE_BUILD_TYPE=Debug -DTESSARO_SANITIZE=ON; then
    step "all tests (build-asan/)" run_ctest "$AsanBuild" "$Logs/asan.log"
fi

# A short bounded run of every fuzz target (clang, build-fuzz/); longer runs
# are fuzz/run.sh's own business.
step "fuzz targets, ${FuzzSeconds}s each" bash "$RepoRoot/fuzz/run.sh" "$FuzzSeconds"

echo
echo "=== Timings"
printf '  %s\n' "${timings[@]}"
printf '  %-34s %5ds\n' "total" $((SECONDS - started_all))
for part in "asan.log:sanitizer build, all tests" "build.log:normal build, all tests"; do
    log=$Logs/${part%%:*}
    [ -s "$log" ] || continue
    echo
    echo "=== Summary: ${part#*:}"
    summary "$log"
done
exit $failed
