#!/usr/bin/env bash
# Creates the test Wine prefix inside a build folder, once. Safe to call concurrently.
# Usage: wine-prefix.sh BUILD_DIR [DPI]   (DPI: a prefix whose screen has that DPI; default 96)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/wine-env.sh" "$1" "${2:-96}"

ready="$WINEPREFIX/.murk-ready"
[ -f "$ready" ] && exit 0

exec 9>"$WINEPREFIX.lock"
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
if [ "$murk_dpi" != 96 ]; then
  # The screen's DPI as Windows' display settings store it: the user's value for the window
  # manager and the message font, the machine's for the fonts.
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$murk_dpi" /f >/dev/null 2>&1
  wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
    /v LogPixels /t REG_DWORD /d "$murk_dpi" /f >/dev/null 2>&1
fi
wineserver -w
touch "$ready"
