#!/usr/bin/env bash
# Crashes of the crash host as an unprivileged user, in a Wine prefix of its
# own, where C:\ and the files in it obey that user's file modes (root would
# ignore them): C:\ not writable, C:\CrashEvent.log a folder, a c:\~tmp.vbs
# of another owner, read-only or a link, a c:\~tmp.js of another owner on a
# system without VBScript, no folder for the script, no log anywhere, and
# Wine's own script host on a virtual display.
#   unprivileged_user_test.sh BUILD_DIR      (as root; creates the user once)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(realpath "$1")"
user=ruxtrap-tester

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: creating the test user and running as it needs root"
  exit 77
fi
id -u "$user" >/dev/null 2>&1 ||
  useradd --system --create-home --home-dir "/var/lib/$user" --shell /usr/sbin/nologin "$user"
home="$(getent passwd "$user" | cut -d: -f6)"

# Everything the user runs lies in a folder of its own: the build folder may
# sit where the user cannot reach (a checkout under /root).
base="$build/unprivileged"
if ! runuser -u "$user" -- test -x "$build"; then
  base="$home/build-$(printf %s "$build" | md5sum | cut -c1-12)"
fi
mkdir -p "$base/bin"
chown "$user:" "$base" "$base/bin"
for f in crash_host.exe Ruxtrap.dll run_host.exe message_box_text.exe WScript.exe; do
  install -o "$user" -m 0755 "$build/bin/$f" "$base/bin/$f"
done
install -o "$user" -m 0644 "$root/scripts/wine-env.sh" "$base/wine-env.sh"
prefix="$base/wineprefix"
drive_c="$prefix/drive_c"

# as_user OVERRIDES COMMAND...: runs COMMAND as the user in the user's prefix,
# OVERRIDES added to Wine's DLL overrides. It runs in the user's own folder:
# Wine complains on its output of a working directory it cannot enter (the
# caller's may lie under a folder only its owner may enter).
as_user() {
  local overrides="$1"
  shift
  runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$home" RUXTRAP_WINEDLLOVERRIDES="$overrides" \
    RUXTRAP_WSCRIPT_RECORD="C:\\users\\$user\\wscript-record.txt" \
    bash -c 'cd "$1" && . "$1/wine-env.sh" "$1/wineprefix"; shift; "$@"' as_user "$base" "$@"
}

as_user "" ensure_wine_prefix
# The stand-in script host at the system folder's wscript.exe. The prefix's
# file may be a hard link to Wine's own: it is removed, never written through.
rm -f "$drive_c/windows/system32/wscript.exe"
install -o "$user" -m 0755 "$base/bin/WScript.exe" "$drive_c/windows/system32/wscript.exe"

profile="$drive_c/users/$user"
user_log="$profile/AppData/Local/CrashEvent.log"
record="$profile/wscript-record.txt"
host='Z:'"${base//\//\\}"'\bin\crash_host.exe'
user_log_shown="C:\\users\\$user\\AppData\\Local\\CrashEvent.log"
temp_shown="C:\\users\\$user\\Temp\\"
system_host='C:\windows\system32\wscript.exe'

. "$root/tests/report/checks.sh"
script_naming() { printf 's=MsgBox("%s", vbCritical, "Exception")' "$1"; }
count() { if [ -f "$2" ]; then grep -c -F -- "$1" "$2" || true; else echo 0; fi; }
recorded() { sed -n "s/^$1=//p" "$record" 2>/dev/null | head -1 | tr -d '\r'; }

engine="$drive_c/windows/system32/vbscript.dll"
engine_away="$base/vbscript.dll.away"

# Back to a prefix where the user may write C:\, the VBScript engine is in
# place and nothing is left over.
reset() {
  chmod 0755 "$drive_c" "$profile/Temp"
  if [ -f "$engine_away" ]; then mv -f "$engine_away" "$engine"; fi
  rm -rf "$drive_c/CrashEvent.log" "$drive_c/~tmp.vbs" "$drive_c/~tmp.js" "$user_log" "$record" \
    "$profile/Temp/"~ruxtrap-*.vbs "$profile/Temp/"~ruxtrap-*.js "$profile/linked-notes.txt"
}

# Crashes the host and waits until it and every process it started, the
# script host included, have ended. Sets $exit_line to what run_host printed.
# The prefix's server and services run on between crashes.
crash() {  # crash OVERRIDES
  exit_line="$(as_user "$1" bash -c 'wine "$0/run_host.exe" --all "$1" av 2>/dev/null | tr -d "\r"' \
    "$base/bin" "$host")"
}

# The report in the user's own log, and the one script host start on a
# library-written script in the temp folder that names that log.
check_report_in_user_log() {
  check "exit" "exit code: -9876 (0xFFFFD96C)" "$exit_line"
  check "reports in the user's log" 1 "$(count $'\t\t\tCall Stack' "$user_log")"
  check "C:\\CrashEvent.log a file" no "$([ -f "$drive_c/CrashEvent.log" ] && echo yes || echo no)"
}
check_temp_script_naming() {  # check_temp_script_naming LOG_SHOWN
  check "script host starts" 1 "$(count 'cmd=' "$record")"
  check "script host" "$system_host" "$(recorded exe)"
  check "command line" "WScript.exe $temp_shown~ruxtrap-" "$(recorded cmd | sed 's/~ruxtrap-.*/~ruxtrap-/')"
  check "script read by the host" "$(script_naming "$1")" "$(recorded script)"
}

for setup in "C:\\ not writable" "C:\\ not writable, C:\\CrashEvent.log a folder"; do
  case="$setup"
  reset
  [[ "$setup" == *folder* ]] && mkdir "$drive_c/CrashEvent.log"
  chmod 0555 "$drive_c"
  crash wscript.exe=n
  check_report_in_user_log
  check "c:\\~tmp.vbs" no "$([ -e "$drive_c/~tmp.vbs" ] && echo yes || echo no)"
  check_temp_script_naming "$user_log_shown"
done

# A c:\~tmp.vbs of another owner is left alone even where the user may
# write it: its owner could rewrite it between the library's write and the
# script host's read.
planted='CreateObject("WScript.Shell").Run "calc"'
for setup in "c:\\~tmp.vbs of another owner" "c:\\~tmp.vbs read-only" \
  "c:\\~tmp.vbs of another owner, writable by all"; do
  case="$setup"
  reset
  printf '%s\r\n' "$planted" >"$drive_c/~tmp.vbs"
  case "$setup" in
    *"writable by all") chmod 0666 "$drive_c/~tmp.vbs" ;;
    *owner) chmod 0644 "$drive_c/~tmp.vbs" ;;
    *) chown "$user:" "$drive_c/~tmp.vbs" && chmod 0444 "$drive_c/~tmp.vbs" ;;
  esac
  crash wscript.exe=n
  check "exit" "exit code: -9876 (0xFFFFD96C)" "$exit_line"
  check "reports in C:\\CrashEvent.log" 1 "$(count $'\t\t\tCall Stack' "$drive_c/CrashEvent.log")"
  check "planted script kept" "$planted" "$(tr -d '\r' <"$drive_c/~tmp.vbs")"
  check_temp_script_naming 'C:\CrashEvent.log'
done

# Without the VBScript engine the script is JScript, by the same rules: a
# c:\~tmp.js of another owner is left alone and never run.
case="no VBScript, c:\\~tmp.js of another owner, writable by all"
reset
mv "$engine" "$engine_away"
planted_js='new ActiveXObject("WScript.Shell").Run("calc");'
printf '%s\r\n' "$planted_js" >"$drive_c/~tmp.js"
chmod 0666 "$drive_c/~tmp.js"
crash wscript.exe=n
check "exit" "exit code: -9876 (0xFFFFD96C)" "$exit_line"
check "planted script kept" "$planted_js" "$(tr -d '\r' <"$drive_c/~tmp.js")"
check "script host starts" 1 "$(count 'cmd=' "$record")"
check "script host" "$system_host" "$(recorded exe)"
check "command line" "WScript.exe $temp_shown~ruxtrap-*.js" "$(recorded cmd | sed 's/~ruxtrap-.*[.]/~ruxtrap-*./')"
check "script read by the host" \
  'new ActiveXObject("WScript.Shell").Popup("C:\\CrashEvent.log", 0, "Exception", 16);' "$(recorded script)"

# A Unix symbolic link at c:\~tmp.vbs opens as its target under Wine: a
# file of the user's own there is not written through it, and a link to
# nothing does not create its target.
for setup in "a link to the user's own file" "a link to nothing"; do
  case="c:\\~tmp.vbs $setup"
  reset
  target="$profile/linked-notes.txt"
  [[ "$setup" == *own* ]] && printf 'notes\n' >"$target" && chown "$user:" "$target"
  ln -s "$target" "$drive_c/~tmp.vbs"
  crash wscript.exe=n
  check "exit" "exit code: -9876 (0xFFFFD96C)" "$exit_line"
  if [[ "$setup" == *own* ]]; then
    check "linked file kept" "notes" "$(cat "$target")"
  else
    check "link target made" no "$([ -e "$target" ] && echo yes || echo no)"
  fi
  check_temp_script_naming 'C:\CrashEvent.log'
done

case="no folder the script can be written to"
reset
chmod 0555 "$drive_c" "$profile/Temp"
crash wscript.exe=n
check_report_in_user_log
check "script host starts" 0 "$(count 'cmd=' "$record")"

case="no log anywhere"
reset
mkdir "$user_log"
chmod 0555 "$drive_c"
crash wscript.exe=n
check "exit" "exit code: -1073741819 (0xC0000005)" "$exit_line"
check "script host starts" 0 "$(count 'cmd=' "$record")"

# Wine's own script host (no override) on a virtual display: the notice the
# user sees names the log that was written. The prefix's services start
# afresh on that display.
case="Wine's script host shows the notice"
as_user "" wineserver -k 2>/dev/null || true
reset
chmod 0555 "$drive_c"
shown="$(as_user "" xvfb-run -a bash -c \
  'wine "$0/run_host.exe" "$1" av >/dev/null 2>&1; wine "$0/message_box_text.exe" 120 2>&1 | tr -d "\r"; wineserver -w' \
  "$base/bin" "$host")"
check "notice text" "$user_log_shown" "$shown"
check "reports in the user's log" 1 "$(count $'\t\t\tCall Stack' "$user_log")"

reset
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all cases passed"
