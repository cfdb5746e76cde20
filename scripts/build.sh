#!/usr/bin/env bash
# Sets up what is missing, configures and builds: scripts/build.sh BUILD_DIR [TARGET...]
# (no target: everything). The other commands start with it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
shift
"$root/scripts/setup.sh"
# The preset's toolchain and settings, in BUILD_DIR rather than its build/.
cmake -S "$root" --preset x86 -B "$build" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
