#!/bin/sh
# Fails unless the Windows DLL exports exactly the eleven functions of the
# public header, by name, and needs no DLL beyond Windows' own (libgcc,
# libstdc++ and winpthread are linked in statically).
set -eu
objdump=$1
dll=$2
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
dump=$("$objdump" -p "$dll")
# The names follow the "[Ordinal/Name Pointer] Table" line, one per line as
# "	[   0] clip_delete", up to the next empty line.
actual=$(printf '%s\n' "$dump" | awk '
  /\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
  names && NF == 0 { names = 0 }
  names { print $NF }' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported names differ from the public interface:" >&2
  printf 'expected:\n%s\nactual:\n%s\n' "$expected" "$actual" >&2
  exit 1
fi
imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ { print $3 }' | sort -u)
bad=$(printf '%s\n' "$imports" | grep -viE '^(kernel32|msvcrt|ucrtbase|ntdll|advapi32|api-ms-win-[a-z0-9-]+)\.dll$' || true)
if [ -n "$bad" ]; then
  echo "the DLL needs DLLs that Windows does not ship:" >&2
  printf '%s\n' "$bad" >&2
  exit 1
fi
echo "exports: the eleven clip_* functions; imports:" $imports
