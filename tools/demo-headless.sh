#!/usr/bin/env bash
# Drives the viewer as a user would on a display without one: clicks the first data set in the chooser,
# waits until the statistics show that loading has settled, saves a screenshot and quits with Escape.
# Usage (inside an X session, e.g. under xvfb-run): tools/demo-headless.sh BIN_DIR LOG SCREENSHOT [VIEWER ARGS]
# With viewer arguments (--dataset NAME, --tree DIR) there is no chooser to click.
set -uo pipefail
bin=$1 log=$2 shot=$3
shift 3
cd "$bin"
rm -f pontaro-screenshot-*.png
./pontaro-viewer "$@" >"$log" 2>&1 &
viewer=$!
wid=
for _ in $(seq 1 100); do
  wid=$(xdotool search --name '^Pontaro$' 2>/dev/null | head -1)
  [ -n "$wid" ] && grep -q 'Link status true' "$log" && break
  sleep 0.2
done
if [ -z "$wid" ]; then
  echo "The viewer did not open its window; its output:" >&2
  tail -20 "$log" >&2
  kill "$viewer" 2>/dev/null
  exit 1
fi
if [ $# -eq 0 ]; then
  sleep 2 # the chooser lists the data sets
  xdotool mousemove --window "$wid" 20 6 click 1
fi
# Settled: the same number of splats drawn in two statistics lines in a row (one every few seconds).
last= same=0
for _ in $(seq 1 240); do
  sleep 1
  kill -0 "$viewer" 2>/dev/null || { echo "The viewer ended early; its output:" >&2; tail -20 "$log" >&2; exit 1; }
  now=$(grep -o 'Average number of splats drawn: [0-9]*' "$log" | tail -1)
  count=$(grep -c 'Average number of splats drawn' "$log")
  if [ -n "$now" ] && [ "$count" != "${seen:-0}" ]; then
    seen=$count
    if [ "$now" = "$last" ] && [ "${now##* }" != 0 ]; then same=1; break; fi
    last=$now
  fi
done
[ $same = 1 ] || echo "Loading did not settle in 4 minutes; taking the screenshot anyway." >&2
echo "${last:-no statistics yet}" >&2
xdotool key --window "$wid" p
for _ in $(seq 1 100); do grep -q 'Saved screenshot' "$log" && break; sleep 0.2; done
xdotool key --window "$wid" Escape
for _ in $(seq 1 100); do kill -0 "$viewer" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$viewer" 2>/dev/null; then
  echo "The viewer did not quit on Escape." >&2
  kill "$viewer"
  exit 1
fi
wait "$viewer"
rc=$?
file=$(grep -o 'Saved screenshot .*' "$log" | tail -1 | cut -d' ' -f3)
if [ -z "$file" ] || [ ! -f "$file" ]; then
  echo "No screenshot was saved; the viewer's output:" >&2
  tail -20 "$log" >&2
  exit 1
fi
mv "$file" "$shot"
exit $rc
