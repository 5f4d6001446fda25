#!/usr/bin/env bash
# Ends or restarts one null-modem pair of the bench, as a device that vanishes
# and comes back: pair.sh end|restart BENCH_DIR 12|34
#   end       ends the pair's socat (pid from BENCH_DIR/pairNN.pid), waits until it is
#             gone, then leaves BENCH_DIR/pairNN.ended for a caller that cannot wait
#   restart   starts the pair again unless it runs, as bench.sh starts it
set -euo pipefail
cmd=${1:?usage: pair.sh end|restart BENCH_DIR 12|34}
state=${2:?usage: pair.sh end|restart BENCH_DIR 12|34}
pair=${3:?usage: pair.sh end|restart BENCH_DIR 12|34}
a=${pair:0:1}
b=${pair:1:1}
pidfile=$state/pair$pair.pid

. "$(dirname "$0")/../support/end_process.sh"
running() { [ -f "$pidfile" ] && alive "$(cat "$pidfile")"; }

case $cmd in
  end)
    running || { echo "pair.sh: pair $pair is not running" >&2; exit 1; }
    pid=$(cat "$pidfile")
    end_process "$pid"
    touch "$state/pair$pair.ended"
    ;;
  restart)
    rm -f "$state/pair$pair.ended"
    [ -f "$pidfile" ] || exit 0  # no bench is running: nothing to restore
    running && exit 0
    rm -f "$state/com$a" "$state/com$b"
    setsid socat "pty,raw,echo=0,link=$state/com$a" "pty,raw,echo=0,link=$state/com$b" \
      </dev/null >>"$state/socat.log" 2>&1 &
    echo $! >"$pidfile"
    echo $! >>"$state/pids"  # bench.sh stop ends it with the rest
    for _ in $(seq 100); do
      [ -e "$state/com$a" ] && [ -e "$state/com$b" ] && exit 0
      sleep 0.05
    done
    echo "pair.sh: the pty pair $pair did not appear" >&2
    exit 1
    ;;
  *) echo "usage: pair.sh end|restart BENCH_DIR 12|34" >&2; exit 2 ;;
esac
