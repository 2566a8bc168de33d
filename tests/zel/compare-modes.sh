#!/bin/sh
# Runs every language-level test script once per interpreter mode and compares what each run
# prints (failures, error reports and the summary) and its exit status: the modes must not be
# told apart. The first mode is the default one; the others are the environment settings
# that switch the interpreter's shortcuts off. Extra environment settings given after the
# executable apply to every run (for example ZEL_GC_STRESS=1). ZEL_COMPARE_JOBS scripts run
# at once (default 3).
# Usage: compare-modes.sh <zel executable> [VAR=value ...]
modes="ZEL_NO_FAST_PATHS=1 ZEL_NO_CODE_CACHE=1"
if [ "$1" = "--one" ]; then
    # One script: prints a line "same" or the differences.
    shift
    zel=$1 script=$2
    shift 2
    dir=$(dirname "$0")
    name=$(basename "$script" .zel)
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
    env "$@" "$dir/run-test.sh" "$zel" "$script" > "$out/default" 2>&1
    echo "status $?" >> "$out/default"
    for mode in $modes; do
        env "$@" "$mode" "$dir/run-test.sh" "$zel" "$script" > "$out/mode" 2>&1
        echo "status $?" >> "$out/mode"
        if cmp -s "$out/default" "$out/mode"; then
            echo "same $name"
        else
            echo "DIFFERS: $name with $mode"
            diff "$out/default" "$out/mode" | head -20
        fi
    done
    exit 0
fi
zel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
dir=$(cd "$(dirname "$0")" && pwd)
report=$(ls "$dir"/*.zel | xargs -P "${ZEL_COMPARE_JOBS:-3}" -I{} "$dir/compare-modes.sh" --one "$zel" {} "$@")
echo "$report" | grep -v '^same ' || true
same=$(echo "$report" | grep -c '^same ')
differ=$(echo "$report" | grep -c '^DIFFERS: ')
echo "$same passed, $differ failed"
[ "$differ" -eq 0 ]
