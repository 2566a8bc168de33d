#!/bin/sh
# Installs what is missing, builds, and starts Zel (arguments are passed to zel).
set -e
cd "$(dirname "$0")"
. ./scripts-common.sh
ensure_packages
build_into build -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec ./build/zel "$@"
