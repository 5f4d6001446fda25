#!/usr/bin/env bash
# The benchmarks: installs what is missing, builds, registers the control in
# the build's private Wine prefix, starts the null-modem bench, runs every
# measurement next to its reference, prints the table and writes the latency
# plot. A figure that misses its goal is reported, never a failure.
#
#   bash bench/run.sh [--quick]     (--quick: short windows, for a smoke run)
#
# Results: BUILD/bench-results/table.md, samples.txt and latency.png.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VEMBLARIC_BUILD:-$top/build}
quick=
[ "${1:-}" = --quick ] && quick=--quick

bash "$top/tools/setup.sh"
bash "$top/tools/build.sh" "$build"

trap 'bash "$top/tools/bench.sh" stop "$build" >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM
echo "== starting the null-modem bench"
bash "$top/tools/bench.sh" start "$build"
windows() { printf 'Z:%s' "$1" | tr / '\\'; }
VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" regsvr32 /s "$(windows "$build/server/Vemblaric.ocx")"

out=$build/bench-results
mkdir -p "$out"
rm -f "$out/table.md" "$out/samples.txt" "$out/latency.png"
echo "== measuring (a few minutes; control on COM1, peer on COM2)"
VEMBLARIC_RUN_TIMEOUT=900 "$build/wine-run" "$build/bench/vemblaric_bench.exe" \
  "$(windows "$out/table.md")" "$(windows "$out/samples.txt")" $quick >/dev/null
bash "$top/tools/bench.sh" stop "$build"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo
echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $cpu, $(nproc) cores; $(wine --version 2>/dev/null); bash bench/run.sh $quick"
echo
cat "$out/table.md"
gnuplot -e "samples='$out/samples.txt'; output='$out/latency.png'" "$top/bench/latency.gp"
echo
echo "plot: $out/latency.png"
