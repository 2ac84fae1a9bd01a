#!/usr/bin/env bash
# Rebuilds the example recording: a two-line BASIC program at 0x2c36, played by tapegen.
# Run from the repository root after building: bash examples/make-example.sh
set -euo pipefail
tapegen=${1:-build/tools/tapegen}
# Memory from 0x2c36: the first line's address (0x2c3a), the text end, then the lines,
# each a line number (little-endian), its text and a carriage return.
printf '\x3a\x2c\x5a\x2c\x0a\x00PRINT "HELLO, TAPE"\r\x14\x00GOTO 10\r' > examples/hello.bin
"$tapegen" --data examples/hello.bin --start 0x2c36 --lead 40 --rate 22050 --bits 8 examples/hello.wav
