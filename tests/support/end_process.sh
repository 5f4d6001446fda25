# Ending a bench process (a pair's socat, ser2net) as a device or server that
# goes away (sourced).
# shellcheck shell=bash

# A killed process whose parent is gone may stay a zombie where nothing reaps
# orphans: kill -0 still finds it, so its state is read instead.
alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# Ends process $1 and waits until it is gone (5 s, then it is killed outright).
end_process() {
  kill "$1"
  for _ in $(seq 100); do
    alive "$1" || break
    sleep 0.05
  done
  kill -9 "$1" 2>/dev/null || true
}
