#!/usr/bin/env bash
# Installs what is missing and builds MurkSetup.exe.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake --preset release -S "$root" >/dev/null
cmake --build "$build" --target MurkSetup
echo "Built $build/setup/MurkSetup.exe"
