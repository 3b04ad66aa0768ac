#!/usr/bin/env bash
# The benchmark command: installs what is missing (Debian 12, as root), builds a Release
# configuration of the library and the benchmark in its own build directories, then runs the
# native benchmark (every row, then the scenarios at rest), the same rows again with every
# process pinned to one core (steadier, and it shows the CPU cost of each message; needs
# taskset), and the Windows build under Wine (ToviIPC rows beside a raw Win32 pipe row). Each
# prints one table and writes bench-results.md and bench-results.csv into its own directory,
# and bench/chart.py draws bench-results.svg beside them from the CSV.
#
#   ./scripts/bench.sh                                   everything
#   ./scripts/bench.sh --only tovi-c2s --measure rtt --reps 3    one row (plus the baseline)
#   TOVI_BENCH_PARTS=native ./scripts/bench.sh           native only (or: pinned, wine)
#   TOVI_BENCH_WINE_SCALE=0.2 ./scripts/bench.sh         message counts under Wine (default 0.2)
#   TOVI_BENCH_BUILD=/somewhere ./scripts/bench.sh       build directory (default build/bench)
#
# Arguments go to both builds' runs; --scale given here also overrides the Wine scale. Builds
# run under flock on TOVI_BUILD_LOCK (default /tmp/tovi-build.lock) with TOVI_JOBS jobs
# (default 2), and are finished before anything is measured.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
parts=${TOVI_BENCH_PARTS:-"native pinned wine"}
build=${TOVI_BENCH_BUILD:-$top/build/bench}
wine_scale=${TOVI_BENCH_WINE_SCALE:-0.2}
jobs=${TOVI_JOBS:-2}
lock=${TOVI_BUILD_LOCK:-/tmp/tovi-build.lock}

deps=(bench)
[[ " $parts " == *" wine "* ]] && deps+=(mingw)
"$top/scripts/install-deps.sh" "${deps[@]}"

locked() {
    if command -v flock >/dev/null; then flock "$lock" "$@"; else "$@"; fi
}

build_one() {  # build_one DIR [cmake arguments...]
    local dir=$1
    shift
    locked cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVI_BUILD_BENCH=ON \
        -DTOVI_BUILD_TESTS=OFF "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        exit 1
    }
    locked cmake --build "$dir" -j "$jobs"
}

mkdir -p "$build"
label="commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
git diff --quiet HEAD 2>/dev/null || label="$label with uncommitted changes"

for part in $parts; do
    case $part in
        native) build_one "$build/native" ;;
        pinned) [[ " $parts " == *" native "* ]] || build_one "$build/native" ;;
        wine) build_one "$build/mingw" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" ;;
        *) echo "unknown part: $part (native, pinned, wine)" >&2; exit 2 ;;
    esac
done

# chart CSV TITLE: the chart beside the CSV, with Debian's python3 and python3-matplotlib.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
chart() {
    "$python" "$top/bench/chart.py" "$1" --title "$2" || status=1
}

status=0
for part in $parts; do
    echo "=================== benchmark: $part ==================="
    if [ "$part" = native ]; then
        "$build/native/bench/toviipc_bench" --out "$build/native" --label "$label" "$@" || status=1
        chart "$build/native/bench-results.csv" "ToviIPC benchmark, Linux build ($label)"
        echo "results: $build/native/bench-results.md, .csv, .svg"
    elif [ "$part" = pinned ]; then
        if ! command -v taskset >/dev/null; then
            echo "taskset is missing: the pinned run is skipped"
            continue
        fi
        mkdir -p "$build/pinned"
        taskset -c 0 "$build/native/bench/toviipc_bench" --out "$build/pinned" --rows-only \
            --label "$label, pinned to core 0" "$@" || status=1
        chart "$build/pinned/bench-results.csv" \
            "ToviIPC benchmark, Linux build pinned to one core ($label)"
        echo "results: $build/pinned/bench-results.md, .csv, .svg"
    else
        export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        wine cmd /c exit >/dev/null 2>&1 || true  # boots the prefix once, outside the timings
        (cd "$build/mingw/bench" &&
            wine ./toviipc_bench.exe --out . --scale "$wine_scale" --label "$label" "$@") ||
            status=1
        chart "$build/mingw/bench/bench-results.csv" \
            "ToviIPC benchmark, Windows build under Wine ($label; only ratios mean anything)"
        echo "results: $build/mingw/bench/bench-results.md, .csv, .svg"
    fi
done
exit $status
