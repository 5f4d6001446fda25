#!/usr/bin/env bash
# Ends or starts again the bench's ser2net, as a server that goes down and
# comes back: ser2net.sh end|restart BENCH_DIR
#   end       ends it (pid from BENCH_DIR/ser2net.pid), waits until it is gone,
#             then leaves BENCH_DIR/ser2net.ended for a caller that cannot wait
#   restart   starts it again with the configuration and ports bench.sh gave
#             it, and removes ser2net.ended once it listens
set -euo pipefail
cmd=${1:?usage: ser2net.sh end|restart BENCH_DIR}
state=${2:?usage: ser2net.sh end|restart BENCH_DIR}
pidfile=$state/ser2net.pid

. "$(dirname "$0")/../support/end_process.sh"
listening() {
  local hex
  hex=$(printf '%04X' "$1")
  grep -qE "^ *[0-9]+: [0-9A-F]+:$hex [0-9A-F]+:0000 0A" /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

case $cmd in
  end)
    pid=$(cat "$pidfile")
    end_process "$pid"
    touch "$state/ser2net.ended"
    ;;
  restart)
    rfc=$(awk '$1 == "rfc2217" { print $2 }' "$state/ser2net.ports")
    setsid ser2net -n -u -c "$state/ser2net.yaml" </dev/null >>"$state/ser2net.log" 2>&1 &
    echo $! >"$pidfile"  # bench.sh stop ends it
    for _ in $(seq 100); do
      if listening "$rfc"; then
        rm -f "$state/ser2net.ended"
        exit 0
      fi
      sleep 0.05
    done
    echo "ser2net.sh: ser2net did not listen again" >&2
    exit 1
    ;;
  *) echo "usage: ser2net.sh end|restart BENCH_DIR" >&2; exit 2 ;;
esac
