#!/bin/sh
# run_quiet.sh LOG COMMAND...
# Runs COMMAND with no terminal input and its output in LOG, which is shown
# only if it fails. Wine starts helper services on first use that inherit the
# starter's output and live on after it; writing to LOG keeps them from holding
# open whatever pipe the build's output goes to.
log=$1
shift
if "$@" </dev/null >"$log" 2>&1; then
  exit 0
else
  status=$?
  cat "$log" >&2
  exit "$status"
fi
