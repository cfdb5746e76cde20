#!/usr/bin/env bash
# Crash hosts run straight under wine, with no Windows parent to collect the
# exit code: the wine command's own status is the exit code's low byte, 108
# for -9876 (139 would say the process itself crashed after its report).
#   run_directly_test.sh BUILD_DIR
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$1"
. "$root/scripts/wine-env.sh" "$build/wineprefix"
ensure_wine_prefix
log="$WINEPREFIX/drive_c/CrashEvent.log"
failures=0

# Runs one host and checks its status and that the log holds one whole report.
check() {
  local folder="$1" program="$2" kind="$3" status
  rm -f "$log"
  # Wine's own processes would inherit a pipe and keep it open: output to a file.
  (cd "$build/bin/$folder" && wine "$program" "$kind" >"$build/run-directly.out" 2>&1)
  status=$?
  local reports
  reports=$(grep -c $'^\t\t\tCall Stack\r$' "$log" 2>/dev/null)
  if [ "$status" -ne 108 ] || [ "$reports" != 1 ] || [ "$(tail -c 6 "$log" | od -An -c | tr -d ' ')" != '\r\n\r\n\r\n' ]; then
    echo "FAIL: $folder/$program $kind: status $status (want 108), reports ${reports:-none} (want 1)"
    failures=$((failures + 1))
  else
    echo "ok: $folder/$program $kind: status 108, one whole report"
  fi
}

check . crash_host.exe av
check . crash_host.exe fpu
check sample sample_host.exe div0
rm -f "$log" "$build/run-directly.out"
exit "$failures"
