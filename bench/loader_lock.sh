#!/usr/bin/env bash
# Which of the report's platform calls wait for the loader lock under this
# Wine, each probed in a process of its own while another thread holds the
# lock; the last rows are the report's own steps as it makes them while
# another thread holds the lock for good.
#   bench/loader_lock.sh [BUILD_DIR]      (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$root/build}")"
"$root/scripts/build.sh" "$build" loader_lock_probe >/dev/null
. "$root/scripts/wine-env.sh" "$build/wineprefix"
ensure_wine_prefix
start_wineserver
wine "$build/bin/bench/loader_lock_probe.exe" 2>/dev/null | tr -d '\r'
rm -f "$WINEPREFIX/drive_c/ruxtrap-probe.txt"
