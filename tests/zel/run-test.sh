#!/bin/sh
# Runs one language-level test script: the harness, then the script, then the report.
# Usage: run-test.sh <zel executable> <test.zel>
zel=$1
script=$2
dir=$(dirname "$0")
# Fixtures the scripts use (the HTTP tests' server) are found through ZEL_TEST_DATA.
ZEL_TEST_DATA=$(cd "$dir/data" && pwd)
export ZEL_TEST_DATA
tmp=$(mktemp --suffix=.zel)
trap 'rm -f "$tmp"' EXIT
{
    echo 'Zel [title: "test"]'
    cat "$dir/harness.zel"
    echo
    cat "$script"
    echo
    echo 'report-tests'
} > "$tmp"
"$zel" "$tmp"
