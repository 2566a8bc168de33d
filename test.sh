#!/bin/sh
# Installs what is missing, builds, and runs every test: the normal build, the same suite
# with the collector moving every buffer at every safe point (heap verifier on), the same
# suite with the interpreter's fast paths off, every test script's output compared between
# those interpreter modes (plain and under the stress collector), a sanitizer build, and a short run of every
# fuzz harness (ZEL_FUZZ_SECONDS each, default 15).
set -e
cd "$(dirname "$0")"
. ./scripts-common.sh
ensure_packages $ZEL_TEST_PACKAGES
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build"
build_into build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== tests with ZEL_GC_STRESS=1 (every buffer moves at every safe point, heap verified)"
ZEL_GC_STRESS=1 ZEL_GC_VERIFY=1 ctest --test-dir build --output-on-failure -j "$jobs"

echo "== tests with ZEL_NO_FAST_PATHS=1 (the interpreter's general route only)"
ZEL_NO_FAST_PATHS=1 ctest --test-dir build --output-on-failure -j "$jobs"

echo "== every test script in each interpreter mode, outputs and error reports compared"
ZEL_COMPARE_JOBS=$jobs tests/zel/compare-modes.sh build/zel
echo "== the same with ZEL_GC_STRESS=1"
ZEL_COMPARE_JOBS=$jobs tests/zel/compare-modes.sh build/zel ZEL_GC_STRESS=1

echo "== sanitizer build"
build_into build-asan -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=ON
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzz build"
build_with_clang_into build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_FUZZ=ON
echo "== fuzz harnesses"
tests/fuzz/run.sh build-fuzz "${ZEL_FUZZ_SECONDS:-15}"
