#!/usr/bin/env bash
# The main command: installs what is missing, builds MurkSetup.exe and opens its window under
# Wine. Where there is no display it runs the window under a virtual one (Xvfb) and saves a
# screenshot instead (docs/window-fresh.png and docs/window-failed.png, or the folder given).
# Usage: scripts/run.sh [SCREENSHOT_FOLDER]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake --preset release -S "$root" >/dev/null
cmake --build "$build" --target MurkSetup
echo "Built $build/setup/MurkSetup.exe"

if [ -z "${DISPLAY:-}" ]; then
  echo "No display: taking screenshots of the window under Xvfb instead"
  exec "$root/scripts/screenshot.sh" "$@"
fi
"$root/scripts/wine-prefix.sh" "$build"
source "$root/scripts/wine-env.sh" "$build"
exec wine "$build/setup/MurkSetup.exe"
