#!/usr/bin/env bash
# The whole test suite, for both variants: installs what is missing, builds
# the 32-bit and the 64-bit control (build/x86, build/x64), and for each starts
# its null-modem bench, runs every test program under Wine through ctest, and
# stops the bench. The 64-bit run also takes the side-by-side tests, in which
# both controls are registered in one 64-bit prefix. Then it writes the
# release package (tools/package.sh). The summary at the end gives both ctest
# runs and the package, and its last line the total of both runs ("tests: N
# passed, M failed, K skipped"); the exit code is 0 only if all three succeeded.
# On a machine that runs no 32-bit programs (tools/machine.sh) only the
# 32-bit product code is compiled (tools/build.sh): its tests are counted as
# skipped, the 64-bit build has no tests that need the 32-bit one, and no
# package is written.
#
#   test.sh [ctest options]   VEMBLARIC_VARIANTS="x86" (or "x64") runs one only
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${VEMBLARIC_BUILD:-$top/build}
variants=${VEMBLARIC_VARIANTS:-x86 x64}

. "$top/tools/machine.sh"
bash "$top/tools/setup.sh"
VEMBLARIC_VARIANTS=$variants bash "$top/tools/build.sh" "$base"
base=$(cd "$base" && pwd)

current=
trap '[ -z "$current" ] || bash "$top/tools/bench.sh" stop "$current" >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM

status=0
summary=()
passed=0
failed=0
skipped=0
for variant in $variants; do
  build=$base/$variant
  word_size=$(. "$build/wine-env" && echo "$VEMBLARIC_WORD_SIZE")
  if [ "$word_size" = 32 ] && ! machine_runs_32bit; then
    count=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')
    echo "== $variant: its $count tests not run: $machine_no_32bit_note"
    summary+=("$variant: $count tests not run ($machine_no_32bit_note)")
    skipped=$((skipped + count))
    continue
  fi
  current=$build
  bash "$top/tools/bench.sh" start "$build"
  echo "== $variant: the $word_size-bit control's tests (under Wine, null-modem bench on COM1-COM4)"
  log=$build/ctest.log
  result=0
  ctest --test-dir "$build" --output-on-failure --timeout 600 -j2 "$@" 2>&1 | tee "$log" || result=$?
  [ "$result" = 0 ] || status=1
  bash "$top/tools/bench.sh" stop "$build"
  current=
  line=$(grep -E 'tests passed|No tests were found' "$log" | tail -n1 || true)
  summary+=("$variant: ${line:-ctest printed no summary}")
  not_run=$(grep -c '(Skipped)$' "$log" || true)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1] - not_run))
    skipped=$((skipped + not_run))
  fi
done
# The release package, from the two variants just built and tested.
if ! machine_runs_32bit; then
  summary+=("package: not written (it holds the 32-bit control, which was not built)")
elif [[ " $variants " == *" x86 "* && " $variants " == *" x64 "* ]]; then
  if VEMBLARIC_BUILD=$base bash "$top/tools/package.sh" >"$base/package.log" 2>&1; then
    summary+=("package: $(sed -n 's/^== //p' "$base/package.log")")
  else
    cat "$base/package.log" >&2
    summary+=("package: FAILED (tools/package.sh)")
    status=1
  fi
fi
echo "== summary"
printf '   %s\n' "${summary[@]}"
# Both variants together, as the last line.
echo "tests: $passed passed, $failed failed, $skipped skipped"
exit "$status"
