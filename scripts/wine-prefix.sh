#!/usr/bin/env bash
# Creates the test Wine prefix inside a build folder, once. Safe to call concurrently.
# Usage: wine-prefix.sh BUILD_DIR [DPI [TEXT]]
#   DPI: a prefix whose screen has that DPI (default 96); TEXT: whose message font is that many
#   percent of the standard 9 points (default 100), as Windows' "Make text bigger" makes it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/wine-env.sh" "$1" "${2:-96}" "${3:-100}"

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
if [ "$murk_text" != 100 ]; then
  # The message font's LOGFONTW (REG_BINARY) with another character height: the standard 12
  # pixels at 96 DPI (Wine scales it to the screen's DPI) times the text size. The height is the
  # first field, a negative 32-bit number, little-endian.
  metrics='HKCU\Control Panel\Desktop\WindowMetrics'
  font=$(wine reg query "$metrics" /v MessageFont 2>/dev/null | tr -d '\r' |
    awk '$1 == "MessageFont" { print $3 }')
  [ ${#font} -ge 184 ] || { echo "wine-prefix: no message font to resize" >&2; exit 1; }
  height=$(printf '%08X' $(((1 << 32) - 12 * murk_text / 100)))
  height=${height:6:2}${height:4:2}${height:2:2}${height:0:2}
  wine reg add "$metrics" /v MessageFont /t REG_BINARY /d "$height${font:8}" /f >/dev/null 2>&1
fi
wineserver -w
touch "$ready"
