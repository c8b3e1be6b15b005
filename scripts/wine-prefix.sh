#!/usr/bin/env bash
# Creates the test Wine prefix inside a build folder, once. Safe to call concurrently.
# Usage: wine-prefix.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/wine-env.sh" "$1"

ready="$WINEPREFIX/.murk-ready"
[ -f "$ready" ] && exit 0

exec 9>"$murk_build_dir/.wineprefix.lock"
flock 9
[ -f "$ready" ] && exit 0

rm -rf "$WINEPREFIX"
wine wineboot -i >/dev/null 2>&1 || true
wineserver -w

# The prefix links Desktop, Documents and so on to $HOME: make them real folders,
# so that shortcuts and files the tests create stay inside the prefix.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
  if [ -L "$link" ]; then
    rm -f "$link"
    mkdir -p "$link"
  fi
done

# Without a window manager Wine waits 2 s for every destroyed top-level window unless unmanaged.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -w
touch "$ready"
