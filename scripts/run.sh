#!/usr/bin/env bash
# The main command: installs what is missing, builds MurkSetup.exe and shows it doing a whole
# install under Wine, in a local world that stands in for the internet, Git and Python (the
# first end-to-end scenario, tests/e2e): it picks a disc image and a folder, installs, and
# starts the game's launcher with Play. Then it prints the install's setup.log and saves a
# screenshot of the window at the end. Without a display it all runs on a virtual one (Xvfb).
# Usage: scripts/run.sh [OUTPUT_FOLDER]   (default: build/release/demo)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake --preset release -S "$root" >/dev/null
# The program itself, its world variant, the scenarios and the stand-ins they start.
cmake --build "$build" --target MurkSetup e2e_tests keepalive
echo "Built $build/setup/MurkSetup.exe"
"$root/scripts/wine-prefix.sh" "$build"

out="${1:-$build/demo}"
mkdir -p "$out"
out=$(cd "$out" && pwd)
if [ -z "${DISPLAY:-}" ]; then
  echo "No display: running it on a virtual one (Xvfb)"
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$root/scripts/demo.sh" "$build" "$out"
fi
exec "$root/scripts/demo.sh" "$build" "$out"
