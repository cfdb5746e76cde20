#!/usr/bin/env bash
# Takes the picture of the message box that the README shows: crashes the
# sample host under Wine on a virtual X display (Xvfb), with the system's own
# script host, and captures the box once it is up.
#   scripts/screenshot.sh [OUTPUT_PNG] [BUILD_DIR]   (default: docs/message-box.png, build)
# Needs Xvfb, xwd, xwininfo, netpbm and Wine's own fonts; installs what is
# missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
output="$(realpath -m "${1:-$root/docs/message-box.png}")"
build="$(realpath -m "${2:-$root/build}")"

"$root/scripts/build.sh" "$build" sample_host run_host
missing=()
for p in xvfb x11-apps x11-utils netpbm fonts-wine; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# A prefix of its own: the display the box is drawn on leaves settings behind
# that the tests' prefix should not get.
. "$root/scripts/wine-env.sh" "$build/wineprefix-screenshot"
ensure_wine_prefix
# The caption's close button is a glyph of the Marlett font, which this Wine
# finds only in the prefix's own font folder.
cp -n /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"

# Xvfb picks a free display number and writes it to the pipe. A black root
# window lets pnmcrop cut the picture down to the box.
display_file="$(mktemp)"
Xvfb -displayfd 3 -screen 0 800x600x24 -br -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
stop() {
  wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb_pid" 2>/dev/null || true
  rm -f "$display_file"
}
trap stop EXIT
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$display_file")"
# Every Wine process from here on runs on that display. Windows draw their
# own caption (title and close button), as on Windows, since no window
# manager runs to draw one.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1

drive_c="$WINEPREFIX/drive_c"
rm -f "$drive_c/CrashEvent.log" "$drive_c/~tmp.vbs"
# The host ends once the box is up; the script host keeps showing it.
# run_host waits for the host and prints its exit code. Its output goes to a
# file: a pipe would stay open as long as the script host that inherits it.
host_output="$(mktemp)"
wine "$build/bin/run_host.exe" "$(winepath -w "$build/bin/sample/sample_host.exe")" av >"$host_output" 2>&1
tr -d '\r' <"$host_output"
rm -f "$host_output"
for _ in $(seq 300); do
  xwininfo -root -tree | grep -q '"Exception"' && break
  sleep 0.1
done
xwininfo -root -tree | grep -q '"Exception"' || { echo "screenshot: no message box appeared" >&2; exit 1; }
sleep 2  # the box draws its text and icon after it is mapped
mkdir -p "$(dirname "$output")"
xwd -root -silent | xwdtopnm 2>/dev/null | pnmcrop -black 2>/dev/null | pnmtopng > "$output"
echo "screenshot: $output"
