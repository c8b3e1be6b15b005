#!/usr/bin/env bash
# Runs a command inside one warm Wine session of a build folder's prefix: a persistent Wine
# server and one tiny Windows program kept running, both detached from our output, so that
# Wine's helper processes never inherit the command's pipes and no program pays for starting
# them. The server is stopped when the command ends. Run it under xvfb-run when windows are
# involved. Usage: wine-session.sh BUILD_DIR command [arguments...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
shift
"$here/wine-prefix.sh" "$build"
source "$here/wine-env.sh" "$build"

wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1 || true
ready="$murk_build_dir/.keepalive-ready"
rm -f "$ready"
wine "$murk_build_dir/tests/keepalive.exe" "$(winepath -w "$ready" 2>/dev/null)" </dev/null >/dev/null 2>&1 &
for _ in $(seq 1 300); do
  [ -f "$ready" ] && break
  sleep 0.1
done
[ -f "$ready" ] || echo "wine-session: the keep-alive program did not start; programs will be slower" >&2

status=0
"$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
