#!/usr/bin/env bash
# The one test command: installs what is missing (Debian 12, as root), builds every preset,
# runs every suite and every fuzz smoke run, prints each CTest summary, and exits non-zero on
# any failure.
#
#   ./scripts/test.sh                 everything
#   TOVI_PRESETS="native asan" ./scripts/test.sh     a subset of the builds
#   TOVI_FUZZ_SECONDS=10 ./scripts/test.sh           shorter fuzz runs
set -u
cd "$(dirname "$0")/.."
top=$(pwd)

presets=${TOVI_PRESETS:-"native asan tsan mingw fuzz"}
fuzz_seconds=${TOVI_FUZZ_SECONDS:-60}
jobs=${TOVI_JOBS:-$(nproc)}
ctest_jobs=${TOVI_CTEST_JOBS:-4}

"$top/scripts/install-deps.sh" $presets || exit 1

failed=()
summaries=()

run_ctest() {
    local preset=$1 log="$top/build/$1/ctest.log"
    ctest --preset "$preset" -j "$ctest_jobs" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    summaries+=("== $preset: $(grep -E 'tests passed|tests failed' "$log" | tail -n 1)")
    return "$rc"
}

for preset in $presets; do
    echo "=================== $preset ==================="
    if ! cmake --preset "$preset" >"$top/build-$preset-configure.log" 2>&1; then
        cat "$top/build-$preset-configure.log"
        failed+=("$preset: configure")
        continue
    fi
    rm -f "$top/build-$preset-configure.log"
    if ! cmake --build --preset "$preset" -j "$jobs"; then
        failed+=("$preset: build")
        continue
    fi
    if [ "$preset" = fuzz ]; then
        if ! "$top/scripts/run-fuzzers.sh" "$top/build/fuzz" "$fuzz_seconds"; then
            failed+=("fuzz: a target found a failure")
            summaries+=("== fuzz: FAILED")
        else
            summaries+=("== fuzz: every target ran ${fuzz_seconds}s without a finding")
        fi
        continue
    fi
    run_ctest "$preset" || failed+=("$preset: tests")
done

echo
echo "=================== summary ==================="
printf '%s\n' "${summaries[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "all passed"
