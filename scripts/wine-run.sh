#!/usr/bin/env bash
# Runs a Windows program under Wine with the build folder's test prefix.
# CMake uses it as the cross-compiling emulator, so CTest and test discovery go through it.
# MURK_TEST_DPI and MURK_TEST_TEXT (set by CTest for the tests of another screen DPI or text size)
# pick that prefix, whatever prefix the caller's environment names.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ -z "${WINEPREFIX:-}" ] || [ -n "${MURK_TEST_DPI:-}${MURK_TEST_TEXT:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || { echo "wine-run: no build folder above $1" >&2; exit 2; }
  "$here/wine-prefix.sh" "$dir" "${MURK_TEST_DPI:-96}" "${MURK_TEST_TEXT:-100}"
  source "$here/wine-env.sh" "$dir" "${MURK_TEST_DPI:-96}" "${MURK_TEST_TEXT:-100}"
fi
exec wine "$@"
