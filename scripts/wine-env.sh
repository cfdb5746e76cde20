# Sourced by the other scripts: the Wine environment of the project.
# Usage: . scripts/wine-env.sh PREFIX_DIR
# Wine always runs in a prefix of the project's own, never in ~/.wine: a 32-bit
# one, or with RUXTRAP_WINEARCH=win64 a 64-bit one (Debian's wine64 beside
# wine32), where 32-bit programs run under WOW64. Its crash
# debugger is switched off (a crash must end the process, not start winedbg), its
# own messages are silenced, and no display is used: the script host then cannot
# show its message box and returns at once instead of waiting for a click.
export WINEPREFIX="$(realpath -m "${1:?wine-env.sh needs the prefix folder}")"
export WINEARCH="${RUXTRAP_WINEARCH:-win32}"
export WINEDEBUG=-all
# RUXTRAP_WINEDLLOVERRIDES adds overrides of a caller's own (the tests' stand-in
# script host).
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=;mshtml=${RUXTRAP_WINEDLLOVERRIDES:+;$RUXTRAP_WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY
# Wine opens folders whose names lie outside ASCII only under a UTF-8 locale;
# the Windows side keeps its ANSI code page (1252).
export LC_ALL=C.UTF-8

# Creates the prefix once; later calls find the marker and return at once.
# A lock keeps two callers from creating the same prefix at the same time.
ensure_wine_prefix() {
  [ -f "$WINEPREFIX/.ruxtrap-ready" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ruxtrap-ready" ]; then
      echo "wine-env: creating the Wine prefix $WINEPREFIX (once)" >&2
      if [ "$WINEARCH" = win64 ]; then
        /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
      else
        wineboot -i >/dev/null 2>&1 || true
      fi
      # The DxDiag provider probes the sound drivers and prints ALSA errors;
      # an empty driver list keeps it quiet and DxDiag still answers.
      wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /t REG_SZ /d '' /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.ruxtrap-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Keeps one wineserver running for a batch of Wine programs (each start then
# costs far less), and stops it, with every Wine process of the prefix, at exit.
start_wineserver() {
  wineserver -p >/dev/null 2>&1 || true  # one may be running already
  wine cmd /c exit >/dev/null 2>&1 || true
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
}
