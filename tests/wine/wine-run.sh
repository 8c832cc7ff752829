#!/usr/bin/env bash
# Runs the Windows test programs under Wine: the cross build's CMAKE_CROSSCOMPILING_EMULATOR.
#
#   wine-run.sh <dir> --setup        a fresh Wine prefix in <dir>/prefix, a wineserver kept
#                                    running for the whole test run, and the line helper
#   wine-run.sh <dir> --cleanup      stops both and removes the prefix
#   wine-run.sh <dir> prog.exe args  runs one test program in that prefix
#
# <dir>/host holds the two Linux helpers the build made: modem_lines.so, preloaded into Wine
# so that pseudo-terminals answer the modem-line calls, and line_helper, which gives each test
# a pseudo-terminal linked as a COM port and plays the device at its far end (its TCP port is
# handed to the programs as VELDORAN_LINE_PORT). Headless: no display, no Mono or Gecko.
set -euo pipefail
dir=$(realpath -m "$1")  # Wine wants an absolute prefix
shift
export WINEPREFIX="$dir/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
unset WAYLAND_DISPLAY
run="$dir/run"

stop() {
  if [ -f "$run/line_helper.pid" ]; then
    kill "$(cat "$run/line_helper.pid")" 2>/dev/null || true
  fi
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
}

case "${1:-}" in
  --setup)
    stop
    rm -rf "$WINEPREFIX" "$run"
    mkdir -p "$run"
    start=$(date +%s)
    wine wineboot --init >"$run/wineboot.log" 2>&1
    wineserver -w >/dev/null 2>&1 || true
    # One server for the whole run, so each program starts in a moment.
    LD_PRELOAD="$dir/host/modem_lines.so" wineserver -p >/dev/null 2>&1
    # Start Wine's own services now, detached from CTest's output: started by the first test
    # they would hold its output open, and CTest would wait for them.
    LD_PRELOAD="$dir/host/modem_lines.so" wine wineboot >>"$run/wineboot.log" 2>&1 </dev/null
    "$dir/host/line_helper" "$WINEPREFIX/dosdevices" "$run/line_port" \
      >"$run/line_helper.log" 2>&1 &
    echo $! >"$run/line_helper.pid"
    for _ in $(seq 100); do [ -s "$run/line_port" ] && break; sleep 0.1; done
    [ -s "$run/line_port" ] || { echo "the line helper did not start"; cat "$run/line_helper.log"; exit 1; }
    echo "Wine prefix ready in $(( $(date +%s) - start )) s: $(wine --version)"
    ;;
  --cleanup)
    stop
    rm -rf "$WINEPREFIX" "$run"
    ;;
  *)
    [ -s "$run/line_port" ] || { echo "no Wine prefix: run the test wine_prefix_setup first"; exit 1; }
    export VELDORAN_LINE_PORT
    VELDORAN_LINE_PORT=$(cat "$run/line_port")
    LD_PRELOAD="$dir/host/modem_lines.so" exec wine "$@"
    ;;
esac
