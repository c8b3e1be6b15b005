#!/usr/bin/env bash
# Screenshots of the real window under Wine and a virtual display (Xvfb):
#   window-fresh.png   the fresh-install look, as the program starts
#   window-failed.png  after a failed job (an update without the game's files): details open
#   window-fresh-144dpi.png  the fresh-install look on a screen of 144 DPI (150 %)
# Usage: scripts/screenshot.sh [OUTPUT_FOLDER]   (default: docs/)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(mkdir -p "${1:-$root/docs}" && cd "${1:-$root/docs}" && pwd)
build="$root/build/release"

if [ -z "${MURK_SCREENSHOT_DISPLAY:-}" ]; then
  "$root/scripts/install-deps.sh"
  cmake --preset release -S "$root" >/dev/null
  cmake --build "$build" --target MurkSetup press_button
  "$root/scripts/wine-prefix.sh" "$build"
  "$root/scripts/wine-prefix.sh" "$build" 144
  # Always a fresh virtual screen of a known size, whatever display the caller has.
  exec env MURK_SCREENSHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$out"
fi

source "$root/scripts/wine-env.sh" "$build"
setup="$build/setup/MurkSetup.exe"
# The failed job's install folder, inside the prefix so the picture shows a plain Windows path.
games="$WINEPREFIX/drive_c/Games"
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$games"
  (source "$root/scripts/wine-env.sh" "$build" 144 && wineserver -k 2>/dev/null) || true
}
trap cleanup EXIT
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1 || true

# The X window of Setup's main window: the largest one titled like the program.
window_id() {
  xwininfo -root -tree | awk '/"MURK Recompiled Setup"/ {
      for (i = 2; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+[+-]/) { split($i, wh, /[x+-]/); break }
      if (wh[1] * wh[2] > best) { best = wh[1] * wh[2]; id = $1 } } END { if (id) print id }'
}

wait_for_window() {
  local id=""
  for _ in $(seq 1 200); do
    id=$(window_id)
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || { echo "screenshot: the window did not appear" >&2; exit 1; }
  echo "$id"
}

shoot() {  # $1: file name
  sleep 1  # let the window paint itself completely
  import -window "$(window_id)" "$out/$1"
  echo "screenshot: $out/$1"
}

wine "$setup" </dev/null >/dev/null 2>&1 &
wait_for_window >/dev/null
shoot window-fresh.png
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

wineserver -p </dev/null >/dev/null 2>&1 || true
rm -rf "$games"
wine "$setup" --update 'C:\Games\MURK-Recomp' </dev/null >/dev/null 2>&1 &
wait_for_window >/dev/null
wine "$build/tests/window/press_button.exe" 1 </dev/null >/dev/null 2>&1
shoot window-failed.png
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

source "$root/scripts/wine-env.sh" "$build" 144
wineserver -p </dev/null >/dev/null 2>&1 || true
wine "$setup" </dev/null >/dev/null 2>&1 &
wait_for_window >/dev/null
shoot window-fresh-144dpi.png
