#!/usr/bin/env bash
# Runs CTest inside one warm Wine session (called under xvfb-run by scripts/test.sh).
# Usage: ctest-session.sh BUILD_DIR [ctest options...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
shift

# A drive with no room to speak of, for the tests of a full drive: a 1 MB tmpfs mounted in a
# mount namespace of this session's own (so the Wine server, started in it, sees it, and nothing
# stays mounted after), drive Y: of the prefix while the session runs. It takes root; without it
# those tests are skipped.
if [ -z "${murk_small_drive_namespace:-}" ] && [ "$(id -u)" = 0 ] &&
  unshare --mount true 2>/dev/null; then
  murk_small_drive_namespace=1 exec unshare --mount "$0" "$build" "$@"
fi
if [ -n "${murk_small_drive_namespace:-}" ]; then
  "$here/wine-prefix.sh" "$build"
  source "$here/wine-env.sh" "$build"
  small="$murk_build_dir/small-drive"
  mkdir -p "$small"
  # A namespace may still refuse a mount (a locked-down container): the tests are then skipped.
  if mount -t tmpfs -o size=1m murk-small-drive "$small"; then
    ln -sfn "$small" "$WINEPREFIX/dosdevices/y:"
    trap 'rm -f "$WINEPREFIX/dosdevices/y:"' EXIT
    export MURK_SMALL_DRIVE='Y:'
  fi
fi

# The window tests of another screen DPI or text size run in a prefix of their own
# (tests/CMakeLists.txt).
"$here/wine-session.sh" --dpi 144 --text 200 "$build" ctest --test-dir "$build" --output-on-failure "$@"
