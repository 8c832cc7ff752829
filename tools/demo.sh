#!/usr/bin/env bash
# Starts the simulated controller and the tool beside it, in the folder demo/ (its Config.ini
# and its own port map live there, so nothing of the user's is touched). The simulator takes
# the first free COM number from COM3 up, as a newly plugged USB adapter would; the operator
# picks it in the tool's port list. Lines typed here go to the simulator (try: card 0,
# events 5, dump, mute, hangup, plug, help). Closing the window stops the simulator.
#   tools/demo.sh [build folder]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/release}" && pwd)
demo=$top/demo
sim=$build/tools/sim/veldoran-sim
tool=$build/src/app/veldoran

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "The tool needs a desktop session (no DISPLAY is set)." >&2
  echo "Without one, try: xvfb-run -a tools/demo.sh $build" >&2
  exit 1
fi

mkdir -p "$demo"
export XDG_CONFIG_HOME=$demo/config
ports=$XDG_CONFIG_HOME/veldoran/ports
rm -f "$ports"/COM*  # links left over by a demo that was killed (the demo's own map)

# Three users whose cards the controller already holds (names in Windows-1250).
if [ ! -f "$demo/Config.ini" ]; then
  printf '[Szafki]\r\n1=Szatnia A\r\n2=Szatnia B\r\n' >"$demo/Config.ini"
  printf '[Users_ime]\r\n1=Anna\r\n2=Jan\r\n3=\xA3ucja\r\n' >>"$demo/Config.ini"
  printf '[Users_nazwisko]\r\n1=Nowak\r\n2=Kowalski\r\n3=Wi\x9Cniewska\r\n' >>"$demo/Config.ini"
  printf '[kod]\r\n1=0011AABB\r\n2=0022CCDD\r\n3=0033EEFF\r\n' >>"$demo/Config.ini"
fi

rm -f "$demo/sim.in" && mkfifo "$demo/sim.in"
"$sim" --number 1 --events 40 --seed 7 \
  --card 0:0011AABB --card 1:0022CCDD --card 2:0033EEFF \
  <"$demo/sim.in" 2>"$demo/sim.log" &
sim_pid=$!
exec 3>"$demo/sim.in"  # keeps the simulator's input open
cleanup() {
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -f "$demo/sim.in"
}
trap cleanup EXIT INT TERM

port=
for _ in $(seq 50); do
  for link in "$ports"/COM*; do
    [ -L "$link" ] && port=$(basename "$link") && break 2
  done
  kill -0 "$sim_pid" 2>/dev/null || { echo "The simulator did not start; see $demo/sim.log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "The simulator registered no port; see $demo/sim.log" >&2; exit 1; }

(cd "$demo" && exec "$tool") &
tool_pid=$!
cat <<TXT

The simulated controller answers on $port, as a USB adapter just plugged in would. Pick $port in
the list under "Port COM" in the window, then press "Połącz". Then try "Odczytaj zdarzenia" on
the "Zdarzenia" page and "Zapisz do pliku CSV". At its next start the tool selects $port again;
it opens when you press "Połącz".
To plug in a second adapter, start another simulator in a second terminal:
  XDG_CONFIG_HOME=$XDG_CONFIG_HOME $sim --number 2
it appears in the list at once; pick it and the connection moves there.
Type simulator commands here (help lists them), e.g. "card 0" presents Anna Nowak's card.
The simulator's log: $demo/sim.log. Close the window to stop both.

TXT
while kill -0 "$tool_pid" 2>/dev/null; do
  if [ -t 0 ] && read -r -t 1 line; then
    printf '%s\n' "$line" >&3
  elif [ ! -t 0 ]; then
    sleep 1
  fi
done
wait "$tool_pid" || true
