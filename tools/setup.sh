#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the control.
# Idempotent and quiet when everything is already present. Needs root.
set -euo pipefail

# gnuplot-nox draws the benchmark's latency plot.
# The 64-bit control needs the x86_64 compiler and the 64-bit Wine loader.
# zip writes the release package; ccache keeps compilations across builds;
# ser2net serves a bench port over TCP, as a device on another machine.
packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine32:i386 wine64 socat cmake googletest locales gnuplot-nox zip ccache ser2net)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

need_locale=0
locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$' || need_locale=1

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The double-byte test runs under a Japanese locale (ANSI code page 932).
if [ "$need_locale" = 1 ] && [ "$(id -u)" = 0 ]; then
  sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
exit 0
