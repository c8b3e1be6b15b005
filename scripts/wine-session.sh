#!/usr/bin/env bash
# Runs a command inside one warm Wine session of a build folder's prefix: a persistent Wine
# server and one tiny Windows program kept running, both detached from our output, so that
# Wine's helper processes never inherit the command's pipes and no program pays for starting
# them. The server is stopped when the command ends. Run it under xvfb-run when windows are
# involved. Each --dpi N warms the prefix of that screen DPI as well, each --text N the one of
# that text size (see wine-env.sh).
# Usage: wine-session.sh [--dpi N | --text N]... BUILD_DIR command [arguments...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
prefixes=()  # "DPI TEXT" of each prefix besides the default one
while [ "${1:-}" = --dpi ] || [ "${1:-}" = --text ]; do
  if [ "$1" = --dpi ]; then prefixes+=("$2 100"); else prefixes+=("96 $2"); fi
  shift 2
done
build=$1
shift

# Starts the server and the keep-alive program of one prefix.
warm() {  # $1: DPI, $2: text size
  "$here/wine-prefix.sh" "$build" "$1" "$2"
  source "$here/wine-env.sh" "$build" "$1" "$2"
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p </dev/null >/dev/null 2>&1 || true
  local ready="$WINEPREFIX.keepalive-ready"
  rm -f "$ready"
  wine "$murk_build_dir/tests/keepalive.exe" "$(winepath -w "$ready" 2>/dev/null)" \
    </dev/null >/dev/null 2>&1 &
  for _ in $(seq 1 300); do
    [ -f "$ready" ] && break
    sleep 0.1
  done
  [ -f "$ready" ] || echo "wine-session: the keep-alive program did not start; programs will be slower" >&2
}

stop() {
  for prefix in "${prefixes[@]}" "96 100"; do
    source "$here/wine-env.sh" "$build" $prefix
    wineserver -k 2>/dev/null || true
  done
}

for prefix in "${prefixes[@]}" "96 100"; do warm $prefix; done
# The command runs with the default prefix's environment.
source "$here/wine-env.sh" "$build"

status=0
"$@" || status=$?
stop
exit $status
