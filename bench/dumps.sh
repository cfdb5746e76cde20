#!/usr/bin/env bash
# What a crash dump costs inside a real crash under Wine: the crash host,
# built with step times, crashes with the local-dump settings in the
# prefix's registry (a mini dump, then a full one), and the time from the
# message box's start to the dump on disk and the folder thinned is read
# from its step stamps. Prints the median of each, the dump's size, and the
# whole crash (fault to end of process) with and without the settings.
#   bench/dumps.sh [RUNS] [FULL_RUNS] [BUILD_DIR]    (default: 7 mini runs, 3 full, build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-7}"
full_runs="${2:-3}"
build="$(realpath -m "${3:-$root/build}")"
steps="$build-steps"

. "$root/bench/steps_build.sh" "$root" "$build" crash_host
key='HKLM\SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps'
drive_c="$WINEPREFIX/drive_c"
folder="$drive_c/ruxtrap-bench-dumps"
trap 'wine reg delete "$key" /f >/dev/null 2>&1 || true; rm -rf "$folder"; wineserver -k >/dev/null 2>&1 || true' EXIT

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) printf "%.1f", v[int((NR + 1) / 2)]; else printf "-" }'; }

# One crash: "dump ms" (message box started to dump written), "thin ms"
# (dump written to folder thinned), "crash ms" (host's fault to the end of
# its process, as the stamps and the wall clock after it give it).
crash() {
  rm -f "$drive_c/ruxtrap-steps.txt" "$drive_c/ruxtrap-fault-qpc.txt" "$drive_c/CrashEvent.log"
  rm -rf "$folder"
  (cd "$steps/bin" && wine crash_host.exe --stamp av >/dev/null 2>&1) || true
  tr -d '\r' <"$drive_c/ruxtrap-steps.txt" | awk -F'\t' '
    $1 == "frequency" { f = $2 / 1000; next }
    { at[$1] = $2 }
    END {
      if ("dump written" in at)
        printf "%.1f %.1f\n", (at["dump written"] - at["before the dump"]) / f, (at["dump folder thinned"] - at["dump written"]) / f
      else print "- -"
    }'
}

measure() {
  local label="$1" n="$2" dumps=() thins=() out size=0
  for _ in $(seq "$n"); do
    out="$(crash)"
    dumps+=("${out% *}")
    thins+=("${out#* }")
    size=$(stat -c %s "$folder"/*.dmp 2>/dev/null || echo 0)
  done
  printf '%-5s dump written %8s ms   folder thinned %6s ms   size %s bytes   (median of %s)\n' "$label" \
    "$(printf '%s\n' "${dumps[@]}" | median)" "$(printf '%s\n' "${thins[@]}" | median)" "$size" "$n"
}

# Wall time of whole crashes, with the dump settings as they are.
wall() {
  local n="$1" times=()
  for _ in $(seq "$n"); do
    rm -rf "$folder"
    times+=("$( { /usr/bin/time -f %e bash -c "cd '$build/bin' && wine crash_host.exe av >/dev/null 2>&1" ; } 2>&1 | tail -n 1)")
  done
  printf '%s\n' "${times[@]}" | median
}

echo "Wall time of a whole crash of the crash host (s, median of $runs): without the settings $(wall "$runs")"
wine reg add "$key" /v DumpFolder /t REG_EXPAND_SZ /d 'C:\ruxtrap-bench-dumps' /f >/dev/null
wine reg add "$key" /v DumpType /t REG_DWORD /d 1 /f >/dev/null
echo "  with a mini dump $(wall "$runs")"
measure mini "$runs"
wine reg add "$key" /v DumpType /t REG_DWORD /d 2 /f >/dev/null
measure full "$full_runs"
