#!/usr/bin/env bash
# Runs CTest inside one warm Wine session (called under xvfb-run by scripts/test.sh).
# Usage: ctest-session.sh BUILD_DIR [ctest options...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
shift
source "$here/wine-env.sh" "$build"

wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
# A persistent server, and one Windows program kept running, both detached from our output:
# otherwise Wine's helper processes inherit CTest's pipes and every test waits for them.
wineserver -p </dev/null >/dev/null 2>&1 || true
ready="$build/.keepalive-ready"
rm -f "$ready"
wine "$build/tests/keepalive.exe" "$(winepath -w "$ready" 2>/dev/null)" </dev/null >/dev/null 2>&1 &
for _ in $(seq 1 300); do
  [ -f "$ready" ] && break
  sleep 0.1
done
[ -f "$ready" ] || echo "ctest-session: the keep-alive program did not start; tests will be slower" >&2

status=0
ctest --test-dir "$build" --output-on-failure "$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
