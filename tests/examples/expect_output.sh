#!/usr/bin/env bash
# Runs a program and compares what it prints, line by line, with the lines it
# is expected to print; line-end carriage returns are not compared. Fails with
# a diff when they differ, or when the program fails. @WORD_SIZE@ in the
# expected lines stands for $VEMBLARIC_WORD_SIZE, the word size of the host.
#
#   expect_output.sh EXPECTED_FILE COMMAND [ARGS...]
set -uo pipefail
expected=${1:?usage: expect_output.sh EXPECTED_FILE COMMAND [ARGS...]}
shift
actual=$(mktemp /tmp/vemblaric-example.XXXXXX)
wanted=$(mktemp /tmp/vemblaric-example.XXXXXX)
trap 'rm -f "$actual" "$wanted"' EXIT
sed "s/@WORD_SIZE@/${VEMBLARIC_WORD_SIZE:-unset}/g" "$expected" >"$wanted"
"$@" </dev/null | tr -d '\r' >"$actual"
status=${PIPESTATUS[0]}
cat "$actual"
if ! diff -u "$wanted" "$actual" >&2; then
  echo "the output differs from $expected (- expected, + printed)" >&2
  exit 1
fi
if [ "$status" != 0 ]; then
  echo "the program ended with exit code $status" >&2
  exit 1
fi
