#!/usr/bin/env bash
# The main job: installs what is missing, builds both variants, and for the
# 32-bit control and then the 64-bit one registers it in its build's private
# Wine prefix, starts the null-modem bench, and runs the demo host (of the same
# word size) through a short session against a scripted peer on the other end
# of the cable; then a shorter one through SerialPort, the library's second
# class, whose exchange its DataReceived handler drives; and a script through
# the control's exchange with a device that ser2net serves over TCP.
# Everything it starts is stopped when it ends.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${VEMBLARIC_BUILD:-$top/build}

. "$top/tools/machine.sh"
bash "$top/tools/setup.sh"
bash "$top/tools/build.sh" "$base"
base=$(cd "$base" && pwd)

peer_pid=
build=
cleanup() {
  if [ -n "$peer_pid" ]; then kill "$peer_pid" 2>/dev/null || true; fi
  if [ -n "$build" ]; then bash "$top/tools/bench.sh" stop "$build" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ocx_windows_path() { printf 'Z:%s' "$build/server/Vemblaric.ocx" | tr / '\\'; }

# Starts the peer on COM<port> in the background (its pid in peer_pid) and
# returns once it listens.
start_peer() {
  local ready
  ready=$(mktemp /tmp/vemblaric-run.XXXXXX)
  rm -f "$ready"
  VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" "$build/demo/vemblaric_peer.exe" "$@" \
    </dev/null > >(while IFS= read -r line; do
                     printf '%s\n' "$line"
                     case $line in *listening*) : >"$ready" ;; esac
                   done) 2>&1 &
  peer_pid=$!
  for _ in $(seq 300); do
    [ -e "$ready" ] && break
    sleep 0.1
  done
  rm -f "$ready"
}

end_peer() {
  wait "$peer_pid" || true
  peer_pid=
  sleep 0.2
}

session() {
  build=$base/$1
  local bits status long
  bits=$(. "$build/wine-env" && echo "$VEMBLARIC_WORD_SIZE")
  echo
  echo "######## the $bits-bit control: $build/server/Vemblaric.ocx, with $bits-bit demo host and peer"
  echo "== starting the null-modem bench of the $bits-bit build: COM1<->COM2 and COM3<->COM4 are pty pairs under Wine"
  bash "$top/tools/bench.sh" start "$build"

  echo "== registering the control: regsvr32 /s $(ocx_windows_path)"
  VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" regsvr32 /s "$(ocx_windows_path)"
  echo "   Vemblaric.SerialControl and Vemblaric.SerialPort are registered in $build/wineprefix (a win$bits prefix)"

  cat <<'TEXT'

== 1. a deliberate failure: the demo host asks for COM5; the control has four ports
   vemblaric_demo.exe 5 57600
TEXT
  status=0
  VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" "$build/demo/vemblaric_demo.exe" 5 57600 </dev/null || status=$?
  echo "   (the demo host ended with exit code $status, as it does on any failure)"

  cat <<'TEXT'

== 2. an exchange over the cable
   on COM2, a peer answers each line with "echo: <line>" and "bye" with "quit";
   on COM1, the demo host opens the port through the control, shows the modem
   lines, and sends its texts, each when the previous one has been answered.
   Under Wine short answers take about a second (its serial read waits out
   the 1 s time-out for 64 bytes); Windows returns them at once.
TEXT
  start_peer 2 57600
  long="a longer line, of sixty-four characters or more, arrives in one pass"
  VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" "$build/demo/vemblaric_demo.exe" 1 57600 \
    "hello" "how are you?" "$long" "bye" </dev/null
  end_peer

  cat <<'TEXT'

== 3. the same cable through SerialPort, the library's class for new code
   on COM2, the peer again, now at 19200 baud with two stop bits; on COM1,
   vemblaric_port_demo.exe lists the ports, opens COM1 at the same setting
   (Open returns at once) and sends "hello". From then on its DataReceived
   handler, raised by the host's own message loop, takes each answer and
   sends the next text; the peer's "quit" closes the port. The time after
   each write is mostly the peer's: under Wine its read waits out its own
   200 ms time-out before it answers. Last, two failures as a host sees them.
TEXT
  start_peer 2 19200 "parity=N data=8 stop=2"
  VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" "$build/demo/vemblaric_port_demo.exe" COM1 19200 \
    "hello" "how are you?" "bye" </dev/null
  end_peer

  local rfc2217
  rfc2217=rfc2217://127.0.0.1:$(awk '$1 == "rfc2217" {print $2}' "$build/bench/ser2net.ports")
  cat <<TEXT

== 4. the control's exchange with a device on another machine
   ser2net, here on 127.0.0.1, serves a pty as $rfc2217 (Telnet with the
   serial-port control option); the peer plays the device on the pty's other
   end (COM31). A script opens the port by that name through the control's
   CommOpen and polls with Read_Com; network reads return at once, also
   under Wine.
   cscript //nologo examples\remote_device.vbs $rfc2217
TEXT
  start_peer 31 57600
  VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" cscript //nologo \
    "$(printf 'Z:%s' "$top/examples/remote_device.vbs" | tr / '\\')" "$rfc2217" </dev/null
  end_peer

  echo
  echo "== stopping the bench"
  bash "$top/tools/bench.sh" stop "$build"
  echo "   done: nothing of this session is left running"
  build=
}

for variant in ${VEMBLARIC_VARIANTS:-x86 x64}; do
  if [ "$variant" = x86 ] && ! machine_runs_32bit; then
    echo
    echo "######## the 32-bit control: no session, and only its product code was compiled: $machine_no_32bit_note"
    continue
  fi
  session "$variant"
done

# The release package needs both variants.
variants=" ${VEMBLARIC_VARIANTS:-x86 x64} "
if [[ $variants == *" x86 "* && $variants == *" x64 "* ]]; then
  echo
  if machine_runs_32bit; then
    echo "######## the release package: both controls, INSTALL.txt, the examples, SHA256SUMS"
    VEMBLARIC_BUILD=$base bash "$top/tools/package.sh"
  else
    echo "######## the release package: not written; it holds the 32-bit control, which was not built"
  fi
fi
