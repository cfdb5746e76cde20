#!/usr/bin/env bash
# The triage tool's benchmark: crashes the crash host under Wine in several
# ways to get real reports (and its stripped twin, for a run that names
# addresses offline), then times the tool on corpora made of them.
#   bench/triage_bench.sh [SIZES_MB] [BUILD_DIR]     (default: 50,200 and build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
sizes="${1:-50,200}"
build="$(realpath -m "${2:-$root/build}")"

"$root/scripts/build.sh" "$build" crash_host triage_stripped_host >/dev/null

. "$root/scripts/wine-env.sh" "$build/wineprefix"
ensure_wine_prefix
start_wineserver
samples="$(mktemp -d)"
trap 'rm -rf "$samples"; wineserver -k >/dev/null 2>&1 || true' EXIT
log="$WINEPREFIX/drive_c/CrashEvent.log"

crash_all() {  # crash_all PROGRAM OUTPUT KIND...
  local program="$1" output="$2"
  shift 2
  rm -f "$log"
  for kind in "$@"; do
    # The crash ends wine with a signal, which the shell that waits for it
    # reports: that shell's own output goes too.
    bash -c 'wine "$@" || true' crash "$program" $kind >/dev/null 2>&1
  done
  cp "$log" "$output"
}
crash_all "$build/bin/crash_host.exe" "$samples/sample.log" av div0 cpp chain dll thread "deep 20"
crash_all "$build/bin/triage/stripped/crash_host.exe" "$samples/stripped.log" chain dll "deep 20"
rm -f "$log"

/usr/bin/python3 "$root/bench/triage_bench.py" --sizes "$sizes" \
  --symbols "$build/bin/triage/symbols" --stripped-log "$samples/stripped.log" "$samples/sample.log"
