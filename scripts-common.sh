# Shared by run.sh and test.sh: installs the Debian packages the build needs when they are
# missing, then configures and builds into the given folder.
# Usage (sourced): ensure_packages; build_into <dir> [cmake options...]

# zlib1g-dev: an independent implementation the compression tests check against.
# libcurl4-openssl-dev: the HTTP client; python3 serves the HTTP tests their local server.
# qt6-base-dev, qt6-image-formats-plugins: image decoding and encoding (TIFF through the plugins).
ZEL_PACKAGES="cmake ninja-build g++ libgtest-dev libssl-dev zlib1g-dev libcurl4-openssl-dev python3 qt6-base-dev qt6-image-formats-plugins"
# The fuzz build (test.sh only): clang with its libFuzzer runtime.
ZEL_TEST_PACKAGES="clang libclang-rt-14-dev"

ensure_packages() {
    missing=""
    for p in $ZEL_PACKAGES "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    if [ "$(id -u)" = 0 ]; then sudo_cmd=""; else sudo_cmd="sudo"; fi
    $sudo_cmd apt-get update -qq && $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
}

build_into() {
    dir=$1
    shift
    cmake -S "$(dirname "$0")" -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir"
}

# The same, printing nothing when everything is up to date; what a build prints goes to the
# standard error, so that the standard output stays the program's. Runs from any folder.
build_quietly_into() {
    dir=$1
    shift
    root=$(cd "$(dirname "$0")" && pwd)
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null || return 1
    fi
    status=$(mktemp)
    { cmake --build "$dir" 2>&1; echo $? >"$status"; } |
        grep -v -e '^ninja: no work to do' -e 'Re-checking globbed directories' >&2 || true
    code=$(cat "$status")
    rm -f "$status"
    return "$code"
}

# The same with clang as the compiler (the fuzz build).
build_with_clang_into() {
    dir=$1
    shift
    CXX=clang++ cmake -S "$(dirname "$0")" -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir"
}
