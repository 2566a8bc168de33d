#!/bin/sh
# Installs what is missing, builds when something changed, and starts Zel in the caller's
# current folder with exactly the arguments given here.
set -e
root=$(cd "$(dirname "$0")" && pwd)
. "$root/scripts-common.sh"
ensure_packages >&2
build_quietly_into "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec "$root/build/zel" "$@"
