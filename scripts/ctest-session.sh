#!/usr/bin/env bash
# Runs CTest inside one warm Wine session (called under xvfb-run by scripts/test.sh).
# Usage: ctest-session.sh BUILD_DIR [ctest options...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
shift
exec "$here/wine-session.sh" "$build" ctest --test-dir "$build" --output-on-failure "$@"
