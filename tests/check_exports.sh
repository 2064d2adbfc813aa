#!/bin/sh
# Fails unless the shared library exports exactly the eleven functions of
# the public header.
set -eu
lib=$1
expected="clip_delete
clip_free_string
clip_get
clip_init
clip_last_error
clip_list
clip_pin
clip_push_image
clip_push_text
clip_search
clip_wipe"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^_' | sort)
# Symbols a toolchain adds on its own (none on Linux today) start with '_'.
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the public interface:" >&2
  printf 'expected:\n%s\nactual:\n%s\n' "$expected" "$actual" >&2
  exit 1
fi
all=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$all" != "$expected" ]; then
  echo "unexpected exported symbols:" >&2
  printf '%s\n' "$all" >&2
  exit 1
fi
echo "exports: the eleven clip_* functions"
