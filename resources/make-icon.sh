#!/usr/bin/env bash
# Draws the program's icon (a disc being built into a game: a disc with an arrow into a box)
# at 256 px and writes murk-setup.ico with 16, 24, 32, 48, 64, 128 and 256 px images, 32 bpp.
# The .ico is committed; run this again only when the artwork changes. Needs Debian's
# imagemagick (/usr/bin/convert; /usr/local/bin/convert may be something else).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
convert=/usr/bin/convert
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$convert" -size 256x256 xc:none \
  -fill '#1f3b63' -draw 'roundrectangle 8,8 247,247 44,44' \
  -fill '#2f5d94' -draw 'roundrectangle 8,8 247,150 44,44' \
  -fill '#1f3b63' -draw 'rectangle 8,120 247,150' \
  -fill '#d9dee6' -draw 'circle 112,108 112,30' \
  -fill '#aab4c3' -draw 'circle 112,108 112,66' \
  -fill '#d9dee6' -draw 'circle 112,108 112,90' \
  -fill '#1f3b63' -draw 'circle 112,108 112,100' \
  -fill '#f28c28' -draw 'polygon 168,132 232,132 232,176 252,176 200,232 148,176 168,176' \
  -fill '#ffffff' -draw 'polygon 60,200 140,200 140,214 60,214' \
  "PNG32:$work/master.png"

"$convert" "$work/master.png" -define icon:auto-resize=256,128,64,48,32,24,16 \
  "$here/murk-setup.ico"
echo "wrote $here/murk-setup.ico"
