# What this machine can run, for the scripts that choose which variants to run
# (sourced).
# shellcheck shell=bash

# Wine's 32-bit programs need a Linux kernel that runs 32-bit code; some
# kernels have that support off (their log says "IA-32 emulation off"), and
# Wine's 32-bit loader then fails with "Exec format error". The 32-bit control
# still builds there, but none of its programs can run.
machine_runs_32bit() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
machine_no_32bit_note="this machine's Linux kernel runs no 32-bit programs (32-bit emulation is off), so Wine cannot run the 32-bit control"
