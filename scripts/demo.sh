#!/usr/bin/env bash
# The main job: builds Ruxtrap.dll and the sample host, crashes the host under
# Wine, then shows the report the library appended, the script file and the
# host's exit code.
#   scripts/demo.sh [av|div0|cpp|thread] [BUILD_DIR]    (default: av, build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
kind="${1:-av}"
build="$(realpath -m "${2:-$root/build}")"

"$root/scripts/build.sh" "$build" sample_host run_host

. "$root/scripts/wine-env.sh" "$build/wineprefix"
ensure_wine_prefix
start_wineserver
drive_c="$WINEPREFIX/drive_c"
rm -f "$drive_c/CrashEvent.log" "$drive_c/~tmp.vbs"

echo "== crashing sample_host ($kind) under Wine"
wine "$build/bin/run_host.exe" "$(winepath -w "$build/bin/sample/sample_host.exe")" "$kind" | tr -d '\r'
echo
echo "== C:\\CrashEvent.log"
tr -d '\r' < "$drive_c/CrashEvent.log"
echo "== c:\\~tmp.vbs"
cat "$drive_c/~tmp.vbs"
echo
