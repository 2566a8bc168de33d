# Sourced by the command-line tests: a temporary folder removed at exit, the pass/fail
# counters, expect, and finish (prints the counts; fails when any case failed).
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0

# expect NAME EXPECTED ACTUAL
expect() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: %s\n--- expected:\n%s\n--- got:\n%s\n' "$1" "$2" "$3"
    fi
}

finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" = 0 ]
}
