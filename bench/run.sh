#!/usr/bin/env bash
# The benchmarks: installs what is missing, builds, registers the control in
# the build's private Wine prefix, starts the null-modem bench, runs every
# measurement next to its reference, prints the table and writes the latency
# plot. A figure that misses its goal is reported, never a failure.
#
#   bash bench/run.sh [--quick]     (--quick: short windows, for a smoke run)
#
# Both variants are measured, the 32-bit control and then the 64-bit one, each
# with its own table. Results: build/VARIANT/bench-results/table.md,
# samples.txt and latency.png.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${VEMBLARIC_BUILD:-$top/build}
quick=
[ "${1:-}" = --quick ] && quick=--quick

bash "$top/tools/setup.sh"
bash "$top/tools/build.sh" "$base"
base=$(cd "$base" && pwd)

build=
trap '[ -z "$build" ] || bash "$top/tools/bench.sh" stop "$build" >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM
windows() { printf 'Z:%s' "$1" | tr / '\\'; }
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)

# One variant: its control registered in its own prefix, measured by the
# benchmark program of the same word size.
measure() {
  build=$base/$1
  local bits out
  bits=$(. "$build/wine-env" && echo "$VEMBLARIC_WORD_SIZE")
  echo "== the $bits-bit control ($1): starting the null-modem bench"
  bash "$top/tools/bench.sh" start "$build"
  VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" regsvr32 /s "$(windows "$build/server/Vemblaric.ocx")"

  out=$build/bench-results
  mkdir -p "$out"
  rm -f "$out/table.md" "$out/samples.txt" "$out/latency.png"
  echo "== measuring the $bits-bit control (a few minutes; control on COM1, peer on COM2;"
  echo "   and over rfc2217:// to ser2net on 127.0.0.1, the device on COM31)"
  VEMBLARIC_BENCH_RFC2217=rfc2217://127.0.0.1:$(awk '$1 == "rfc2217" {print $2}' "$build/bench/ser2net.ports") \
  VEMBLARIC_RUN_TIMEOUT=900 "$build/wine-run" "$build/bench/vemblaric_bench.exe" \
    "$(windows "$out/table.md")" "$(windows "$out/samples.txt")" $quick >/dev/null
  bash "$top/tools/bench.sh" stop "$build"
  build=
  gnuplot -e "samples='$out/samples.txt'; output='$out/latency.png'" "$top/bench/latency.gp"
}

variants=${VEMBLARIC_VARIANTS:-x86 x64}
. "$top/tools/machine.sh"
if [[ " $variants " == *" x86 "* ]] && ! machine_runs_32bit; then
  echo "== the 32-bit control is not measured: $machine_no_32bit_note"
  variants=$(echo " $variants " | sed 's/ x86 / /; s/^ *//; s/ *$//')
fi
for variant in $variants; do
  measure "$variant"
done

echo
echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $cpu, $(nproc) cores; $(wine --version 2>/dev/null); bash bench/run.sh $quick"
for variant in $variants; do
  bits=$(. "$base/$variant/wine-env" && echo "$VEMBLARIC_WORD_SIZE")
  echo
  echo "### the $bits-bit control ($variant/Vemblaric.ocx, $bits-bit host)"
  echo
  cat "$base/$variant/bench-results/table.md"
  echo
  echo "plot: $base/$variant/bench-results/latency.png"
done
