#!/bin/sh
# Runs every fuzz harness of a fuzz build for a while, each from its seed corpus.
# Usage: run.sh <fuzz build dir> [seconds per harness, default 15]
# The seeds in tests/fuzz/corpus/<name>/ are copied to a scratch folder first, so the run
# never changes the committed corpus. A crash leaves its input in the scratch folder and
# fails the run.
set -e
build=$1
seconds=${2:-15}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for exe in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$exe" ] || continue
    name=$(basename "$exe" | sed 's/^fuzz_//')
    mkdir -p "$scratch/$name"
    [ -d "$here/corpus/$name" ] && cp -r "$here/corpus/$name/." "$scratch/$name/"
    echo "== fuzz $name for ${seconds}s"
    if ! ASAN_OPTIONS=detect_leaks=0 "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
            -print_final_stats=0 -artifact_prefix="$scratch/" "$scratch/$name" >"$scratch/$name.log" 2>&1; then
        tail -n 60 "$scratch/$name.log"
        for f in "$scratch"/crash-* "$scratch"/timeout-* "$scratch"/oom-*; do
            [ -e "$f" ] && { echo "failing input ($f):"; od -c "$f" | head -n 20; }
        done
        status=1
    else
        grep -E '^Done|#[0-9]+.*DONE' "$scratch/$name.log" | tail -n 1
    fi
done
exit $status
