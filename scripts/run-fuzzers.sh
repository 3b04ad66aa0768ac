#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, seeded from tests/fuzz/corpus.
set -u
build=$1
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)
status=0
for target in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    work=$(mktemp -d)
    seeds="$top/tests/fuzz/corpus/${name#fuzz_}"
    echo "--- $name for ${seconds}s"
    if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$build/$name-" "$work" ${seeds:+$( [ -d "$seeds" ] && echo "$seeds")} \
            >"$build/$name.log" 2>&1; then
        tail -n 40 "$build/$name.log"
        echo "--- $name: FAILED (artifact in $build)"
        status=1
    else
        grep -E 'stat::number_of_executed_units|Done' "$build/$name.log" | tail -n 2
    fi
    rm -rf "$work"
done
exit $status
