#!/bin/sh
# Runs the scripted session natively and for the target (under the emulator
# given, e.g. Wine), each in a fresh directory, and fails unless the two
# transcripts are the same line for line.
#   compare.sh NATIVE_PROGRAM EMULATOR TARGET_PROGRAM
set -eu
native=$1
emulator=$2
target=$3
if [ ! -x "$native" ]; then
  echo "no native session program at $native: build the native preset (dev) first" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/native" "$work/target"
(cd "$work/native" && timeout 120 "$native" > ../native.txt)
(cd "$work/target" && timeout 300 "$emulator" "$target" > ../target.txt)
if ! cmp -s "$work/native.txt" "$work/target.txt"; then
  echo "the transcripts differ (native <, target >):" >&2
  diff "$work/native.txt" "$work/target.txt" | cut -c1-300 | head -40 >&2
  exit 1
fi
echo "transcripts match: $(wc -l < "$work/native.txt") lines, $(wc -c < "$work/native.txt") bytes"
