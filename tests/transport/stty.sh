#!/bin/sh
# Writes the settings of the tty $1 to the file $2, whole or not at all, for
# a test under Wine that waits for the file to appear.
stty -a -F "$1" >"$2.part" 2>&1
mv "$2.part" "$2"
