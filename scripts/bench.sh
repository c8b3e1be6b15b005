#!/usr/bin/env bash
# Builds the benchmarks and runs each under Wine, printing their figures.
# Usage: scripts/bench.sh [name-pattern]   (e.g. scripts/bench.sh output)
# A benchmark is a `murk_add_bench(NAME sources...)` line in bench/CMakeLists.txt.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/release"

if [ "${1:-}" = --inside-session ]; then
  # Called back by wine-session.sh: Wine is warm, run the benchmarks one after the other.
  pattern=${2:-}
  status=0
  for exe in "$build"/bench/*.exe; do
    name=$(basename "$exe" .exe)
    [[ -z "$pattern" || "$name" == *"$pattern"* ]] || continue
    echo "== $name"
    if [ -x "$root/bench/$name.sh" ]; then
      "$root/bench/$name.sh" "$build" || status=$?
    else
      wine "$exe" </dev/null || status=$?
    fi
  done
  exit $status
fi

"$root/scripts/install-deps.sh"
cmake --preset release -S "$root" >/dev/null
cmake --build "$build" --target benchmarks keepalive
xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$root/scripts/wine-session.sh" "$build" "$root/scripts/bench.sh" --inside-session "${1:-}"
