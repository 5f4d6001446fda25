#!/usr/bin/env bash
# Starts one Windows program under Wine, bounded in time, and starts it again
# when Wine itself failed to start it. Every Wine program of the build, the
# tests and the main job starts here (through the build's wine-run, or the
# install tests' prefix_run).
#
#   wine-launch.sh LOADER PROGRAM [ARGS...]
#
# The Wine settings (WINEPREFIX, WINEARCH, WINEDEBUG, ...) are the caller's.
# VEMBLARIC_RUN_TIMEOUT bounds each try (seconds, default 300);
# VEMBLARIC_LAUNCH_PAUSE is the pause before a new try (seconds, default 1).
#
# Now and then Wine fails before any of the program runs: the loader cannot
# reach a wineserver that is still starting, or the program launcher answers
# "ShellExecuteEx failed: Internal error". Such a try says so on standard
# error and ends at once; it is logged (standard error, and the file named by
# VEMBLARIC_LAUNCH_LOG when set) and made again, at most twice. Anything else
# (the program's own failure, whatever it printed, a time-out) is returned as
# it is, never retried.
#
# Wine's program launcher says so on standard output. So the program writes
# its output to a file, which is passed on as it grows, line by line, less
# Wine's start-failure lines (a retried program prints its output once);
# those are kept for the decision. A file, not a pipe: the services Wine
# starts outlive the program and would hold a pipe open. Standard error is
# kept in a file too and shown when the try ends.
set -uo pipefail
loader=${1:?usage: wine-launch.sh LOADER PROGRAM [ARGS...]}
shift

# What Wine, not the program, prints when it could not start the program.
start_failures='ShellExecuteEx failed|Application could not be started|wine client error|could not connect to wineserver|wineserver.*(not running|failed|could not)|could not exec wineserver|could not load kernel32\.dll'

errors=$(mktemp "${TMPDIR:-/tmp}/vemblaric-launch.XXXXXX")
output=$(mktemp "${TMPDIR:-/tmp}/vemblaric-launch.XXXXXX")
held=$(mktemp "${TMPDIR:-/tmp}/vemblaric-launch.XXXXXX")
trap 'rm -f "$errors" "$output" "$held"' EXIT

# Standard output, less Wine's start-failure lines, which go to $held.
hold_start_failures() {
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    if [[ $line =~ $start_failures ]]; then
      printf '%s\n' "$line" >>"$held"
    else
      printf '%s\n' "$line"
    fi
  done
}

status=0
for try in 1 2 3; do
  : >"$output"
  : >"$held"
  timeout --kill-after=10 "${VEMBLARIC_RUN_TIMEOUT:-300}" "$loader" "$@" <&0 >"$output" 2>"$errors" &
  program=$!
  # Ends once the program has ended and all it wrote is passed on. Output
  # wakes tail at once; the end of the program only when tail looks, so it
  # looks often: the suite starts some 400 programs, most of them short.
  tail -s 0.01 --pid="$program" -n +1 -f "$output" | hold_start_failures
  status=0
  wait "$program" || status=$?
  cat "$errors" >>"$held"
  cat "$errors" >&2
  # 124 and 137 are the time limit's: a hang is the program's, not Wine's start.
  if [ "$status" = 0 ] || [ "$status" = 124 ] || [ "$status" = 137 ] ||
     [ "$try" = 3 ] || ! grep -qE "$start_failures" "$held"; then
    break
  fi
  note="wine-launch: Wine did not start $1 (try $try of 3, exit code $status): $(grep -m1 -E "$start_failures" "$held")"
  echo "$note" >&2
  if [ -n "${VEMBLARIC_LAUNCH_LOG:-}" ]; then echo "$(date -u '+%F %T') $note" >>"$VEMBLARIC_LAUNCH_LOG"; fi
  sleep "${VEMBLARIC_LAUNCH_PAUSE:-1}"
done
exit "$status"
