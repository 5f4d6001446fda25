#!/usr/bin/env bash
# tools/wine-launch.sh with a stand-in for Wine's loader that fails as Wine
# does, a given number of times: a start that Wine itself failed is made
# again, at most twice, and logged; the program's own failure and a time-out
# are returned at once, whatever they printed.
#
#   launcher_test.sh SOURCE_DIR WORK_DIR
set -uo pipefail
src=${1:?usage: launcher_test.sh SOURCE_DIR WORK_DIR}
work=${2:?}
mkdir -p "$work"
launch=$src/tools/wine-launch.sh

# The stand-in: its first $FAILS starts fail as Wine's launcher does, saying
# so on $SAYS_ON (standard error or output); later ones behave as $THEN says.
# Every start is counted in $CALLS.
loader=$work/fake-loader
cat >"$loader" <<'FAKE'
#!/usr/bin/env bash
echo x >>"$CALLS"
if [ "$(wc -l <"$CALLS")" -le "$FAILS" ]; then
  if [ "$SAYS_ON" = out ]; then echo "$START_FAILURE"; else echo "$START_FAILURE" >&2; fi
  exit 1
fi
case $THEN in
  ok) echo "ran $*" ;;
  fails) echo "ran $*"; echo "Error (2): CommOpen (CreateFile) - File not found." >&2; exit 3 ;;
  hangs) echo "ShellExecuteEx failed: Internal error." >&2; sleep 30 ;;
esac
FAKE
chmod +x "$loader"

shell_failure=$'Application could not be started, or no application associated with the specified file.\nShellExecuteEx failed: Internal error.'
server_failure='wine client error:0: write: Bad file descriptor'

failures=0
# name | start failures | said on | then | Wine's message | starts | exit code | output | retries logged
while IFS='|' read -r name fails says then message starts status output logged; do
  calls=$work/$name.calls log=$work/$name.log
  rm -f "$calls" "$log"
  case $message in shell) message=$shell_failure ;; server) message=$server_failure ;; esac
  got_status=0
  got_output=$(CALLS=$calls FAILS=$fails SAYS_ON=$says THEN=$then START_FAILURE=$message \
               VEMBLARIC_RUN_TIMEOUT=1 VEMBLARIC_LAUNCH_PAUSE=0 VEMBLARIC_LAUNCH_LOG=$log \
               bash "$launch" "$loader" prog.exe arg 2>"$work/$name.err") || got_status=$?
  got_starts=$(wc -l <"$calls")
  got_logged=$( [ -f "$log" ] && wc -l <"$log" || echo 0)
  if [ "$got_starts $got_status $got_logged" != "$starts $status $logged" ] ||
     [ "$got_output" != "$output" ]; then
    echo "FAIL $name: starts $got_starts, exit $got_status, output '$got_output', logged $got_logged;" \
         "wanted $starts, $status, '$output', $logged" >&2
    cat "$work/$name.err" >&2
    failures=$((failures + 1))
  fi
done <<'ROWS'
started at once|0|err|ok|shell|1|0|ran prog.exe arg|0
Wine failed once|1|err|ok|shell|2|0|ran prog.exe arg|1
Wine failed once, saying so on the output|1|out|ok|shell|2|0|ran prog.exe arg|1
server not up twice|2|err|ok|server|3|0|ran prog.exe arg|2
Wine failed thrice|3|out|ok|shell|3|1||2
the program failed|0|err|fails|shell|1|3|ran prog.exe arg|0
the program hung|0|err|hangs|shell|1|124||0
ROWS

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "the launcher: 7 cases as expected"
