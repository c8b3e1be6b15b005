#!/usr/bin/env bash
# Runs the fresh-install scenario of the end-to-end tests in a warm Wine session on the current
# display, prints the install's setup.log and saves window-installed.png of the window at its
# end into OUTPUT_FOLDER. Called by scripts/run.sh after building.
# Usage: demo.sh BUILD_DIR OUTPUT_FOLDER
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "$1" && pwd)
out=$2
source "$here/wine-env.sh" "$build"
rm -f "$out/window.ready" "$out/window.shot" "$out/setup.log" "$out/window-installed.png"

# The X window of Setup's main window: the largest one titled like the program.
window_id() {
  xwininfo -root -tree | awk '/"MURK Recompiled Setup"/ {
      for (i = 2; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+[+-]/) { split($i, wh, /[x+-]/); break }
      if (wh[1] * wh[2] > best) { best = wh[1] * wh[2]; id = $1 } } END { if (id) print id }'
}

echo "Installing MURK in the local world (tests/e2e): tools, source, build, shortcut, Play..."
MURK_DEMO_FOLDER=$(winepath -w "$out" 2>/dev/null) "$here/wine-session.sh" "$build" \
  wine "$build/tests/e2e/e2e_tests.exe" \
  --gtest_filter=Scenario.FreshInstallFromDiscImageThroughTheWindowUpToPlay \
  >"$out/scenario.txt" 2>&1 &
scenario=$!

# The scenario waits at its end (up to 30 s) while the window is photographed.
for _ in $(seq 1 1200); do
  [ -f "$out/window.ready" ] && break
  kill -0 "$scenario" 2>/dev/null || break
  sleep 0.1
done
if [ -f "$out/window.ready" ]; then
  sleep 0.5  # let the window paint itself completely
  id=$(window_id)
  [ -n "$id" ] && import -window "$id" "$out/window-installed.png"
  touch "$out/window.shot"
fi

status=0
wait "$scenario" || status=$?
echo
echo "---- setup.log of the install ----"
if [ -f "$out/setup.log" ]; then
  tr -d '\r' <"$out/setup.log"
else
  echo "(none: the scenario didn't get that far)"
fi
echo "----"
rm -f "$out/window.ready" "$out/window.shot"
if [ "$status" -ne 0 ]; then
  echo "The scenario failed:"
  cat "$out/scenario.txt"
  exit "$status"
fi
[ -f "$out/window-installed.png" ] && echo "Screenshot of the window at the end: $out/window-installed.png"
echo "The install went through: the launcher started and Setup closed."
