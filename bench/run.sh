#!/usr/bin/env bash
# The crash benchmark: builds what it needs, times crashes under Wine, and
# prints medians, the platform's own share, the split of a report's time
# inside the crash, the ratios against their targets, the crashing process's
# peak memory and the size of the stripped library.
#   bench/run.sh [RUNS] [BUILD_DIR]      (default: 9 runs, build)
# The split comes from a second build with step times, in BUILD_DIR-steps.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-9}"
build="$(realpath -m "${2:-$root/build}")"
steps="$build-steps"

. "$root/bench/steps_build.sh" "$root" "$build" crash_bench
# Case C is Wine's own crash dump: its debugger stays allowed for the bench.
WINEDLLOVERRIDES="mscoree=;mshtml=" wine "$build/bin/bench/crash_bench.exe" "$runs" "$(winepath -w "$steps/bin")" \
  2>/dev/null | tr -d '\r'

# GNU time's maximum resident size of the wine command is that of the
# Windows process itself.
peak() { /usr/bin/time -f %M wine "$@" 2>&1 >/dev/null | tail -n 1; }
echo "Peak memory of the crashing process (KB): with the library $(peak "$build/bin/crash_host.exe" av)," \
     "without $(peak "$build/bin/crash_host.exe" --no-init av)"

stripped="$(mktemp --suffix=.dll)"
i686-w64-mingw32-strip -o "$stripped" "$build/bin/Ruxtrap.dll"
echo "Ruxtrap.dll: $(stat -c %s "$build/bin/Ruxtrap.dll") bytes, stripped $(stat -c %s "$stripped") bytes (target <= 204800)"
rm -f "$stripped"
