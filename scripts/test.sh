#!/usr/bin/env bash
# Sets up what is missing, builds the library, its tools and tests with the
# cross toolchain, and runs every test under Wine with CTest.
#   scripts/test.sh [BUILD_DIR]         (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$root/build}")"

"$root/scripts/build.sh" "$build"

. "$root/scripts/wine-env.sh" "$build/wineprefix"
ensure_wine_prefix
start_wineserver
cd "$build"
ctest --output-on-failure --timeout 900
