#!/usr/bin/env bash
# The message box of a crash as the user sees it: Wine's own script host on a
# virtual display (Xvfb), the box's title, text, icon and button read back
# from its window. With the VBScript engine in the system folder (the .vbs),
# and with it taken out (the JScript), the log named whole where the ANSI
# code page cannot hold its folder. In a prefix of the test's own, whose
# desktop the display shapes: 32-bit (win32), or 64-bit (win64), where the
# 32-bit host and script host run under WOW64 and the 32-bit engine in
# syswow64 is the one taken out.
#   message_box_window_test.sh BUILD_DIR win32|win64
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(realpath "$1")"
arch="$2"

export RUXTRAP_WINEARCH="$arch"
unset RUXTRAP_WINEDLLOVERRIDES  # Wine's own script host, never the tests' stand-in
display="${DISPLAY:-}"
. "$root/scripts/wine-env.sh" "$build/wineprefix-box-$arch"
if [ "$arch" = win64 ] && [ ! -x /usr/lib/wine/wine64 ]; then
  echo "skipped: a 64-bit prefix needs wine64 (scripts/setup.sh installs it)"
  exit 77
fi
command -v xvfb-run >/dev/null || { echo "skipped: no xvfb-run (scripts/setup.sh installs it)"; exit 77; }

drive_c="$WINEPREFIX/drive_c"
if [ "$arch" = win64 ]; then engine="$drive_c/windows/syswow64/vbscript.dll"; else engine="$drive_c/windows/system32/vbscript.dll"; fi
away="$WINEPREFIX/vbscript.dll.away"
put_engine_back() { if [ -f "$away" ]; then mv -f "$away" "$engine"; fi; }

if [ -z "${RUXTRAP_ON_XVFB:-}" ]; then
  put_engine_back
  trap put_engine_back EXIT
  ensure_wine_prefix
  wineserver -k >/dev/null 2>&1 || true  # one of an earlier run, without the display
  # 24 bits a pixel: the icon's colours on the screen are the ones it is drawn in.
  RUXTRAP_ON_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
  exit
fi
export DISPLAY="$display"  # wine-env.sh took it away
trap 'put_engine_back; wineserver -k >/dev/null 2>&1 || true' EXIT

bin="$(winepath -w "$build/bin")"
local_folder="ruxtrap Журнал 日本"
. "$root/tests/report/checks.sh"
box_naming() { printf 'button: OK\nicon: critical\ntext: %s\ntitle: Exception' "$1"; }
exists() { [ -e "$1" ] && echo yes || echo no; }

reset() {
  rm -rf "$drive_c/CrashEvent.log" "$drive_c/~tmp.vbs" "$drive_c/~tmp.js" "$drive_c/$local_folder"
}

# Crashes the host (with LOCALAPPDATA, when given, set for it), reads the box
# off the screen and presses OK. Sets $exit_line and $box (its lines sorted).
# The host's output goes to a file: the script host inherits it, and a pipe
# would stay open until the box is closed.
crash() {  # crash [LOCALAPPDATA]
  local output
  output="$(mktemp)"
  if [ -n "${1:-}" ]; then
    wine cmd /c "set LOCALAPPDATA=$1&& $bin\\run_host.exe $bin\\crash_host.exe av" >"$output" 2>&1
  else
    wine "$bin\\run_host.exe" "$bin\\crash_host.exe" av >"$output" 2>&1
  fi
  box="$( (wine "$bin\\message_box_text.exe" 30 --describe 2>&1 || true) | tr -d '\r' | sort)"
  exit_line="$(tr -d '\r' <"$output")"
  rm -f "$output"
}

case="$arch, VBScript there"
reset
crash
check "exit" "exit code: -9876 (0xFFFFD96C)" "$exit_line"
check "box" "$(box_naming 'C:\CrashEvent.log')" "$box"
check "c:\\~tmp.vbs written" yes "$(exists "$drive_c/~tmp.vbs")"
check "c:\\~tmp.js written" no "$(exists "$drive_c/~tmp.js")"

mv "$engine" "$away"
case="$arch, VBScript taken out"
reset
crash
check "exit" "exit code: -9876 (0xFFFFD96C)" "$exit_line"
check "box" "$(box_naming 'C:\CrashEvent.log')" "$box"
check "c:\\~tmp.vbs written" no "$(exists "$drive_c/~tmp.vbs")"
check "c:\\~tmp.js written" yes "$(exists "$drive_c/~tmp.js")"

case="$arch, VBScript taken out, the user's log in a folder outside the code page"
reset
mkdir "$drive_c/CrashEvent.log" "$drive_c/$local_folder"
crash "C:\\$local_folder"
check "exit" "exit code: -9876 (0xFFFFD96C)" "$exit_line"
check "box" "$(box_naming "C:\\$local_folder\\CrashEvent.log")" "$box"
check "report in the user's log" yes "$(exists "$drive_c/$local_folder/CrashEvent.log")"
put_engine_back
reset
wineserver -w

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all cases passed"
