#!/usr/bin/env bash
# Runs CTest inside one warm Wine session (called under xvfb-run by scripts/test.sh).
# Usage: ctest-session.sh BUILD_DIR [ctest options...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
shift
# The window tests of another screen DPI run in a prefix of their own (tests/CMakeLists.txt).
exec "$here/wine-session.sh" --dpi 144 "$build" ctest --test-dir "$build" --output-on-failure "$@"
