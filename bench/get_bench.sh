#!/usr/bin/env bash
# Runs the download benchmark under Wine and prints its figures, with a plain curl of the
# same loopback URL beside Get. scripts/bench.sh calls it inside a warm Wine session.
# Usage: bench/get_bench.sh [BUILD_DIR]   (default build/release; builds what it needs)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/release}
cmake --build "$build" --target get_bench keepalive >/dev/null
"$root/scripts/wine-prefix.sh" "$build"
source "$root/scripts/wine-env.sh" "$build"

echo "== 256 MB download from a loopback server inside the Wine program"
coproc BENCH { wine "$build/bench/get_bench.exe" 2>/dev/null; }
bench_pid=$BENCH_PID
read -r word url <&"${BENCH[0]}"
[ "$word" = url ] || { echo "get_bench did not start" >&2; exit 1; }
url=${url%$'\r'}
# curl writes into a file as Get does.
target=$(mktemp)
trap 'rm -f "$target"' EXIT
curl -s --noproxy '*' -o "$target" -w '%{size_download} %{time_total} %{speed_download}\n' "$url" |
  awk '{ printf "curl 256 MB into a file: %d bytes in %.2f s = %.0f MB/s\n", $1, $2, $3 / 1048576 }'
rm -f "$target"
echo go >&"${BENCH[1]}"
cat <&"${BENCH[0]}"
wait "$bench_pid"
