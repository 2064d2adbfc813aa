#!/bin/sh
# Fails when loading the shared library would run code of its own: its
# initialiser array may hold the toolchain's frame_dummy (and, in a
# sanitizer build, the instrumentation's constructors), nothing else.
# In particular no processor probe such as libgcc's __cpu_indicator_init,
# which a use of __builtin_cpu_supports pulls in.
set -eu
lib=$1
ptr=8
if readelf -h "$lib" | grep -q 'Class:[[:space:]]*ELF32'; then ptr=4; fi

if nm "$lib" 2>/dev/null | grep -q '__cpu_indicator_init'; then
  echo "the library holds __cpu_indicator_init, a constructor run at load" >&2
  exit 1
fi
if readelf -d "$lib" | grep -q '(PREINIT_ARRAY)'; then
  echo "the library has a preinit array" >&2
  exit 1
fi
if readelf -SW "$lib" | grep -q '[[:space:]]\.ctors[[:space:]]'; then
  echo "the library has a .ctors section" >&2
  exit 1
fi

addr=$(readelf -d "$lib" | awk '$2 == "(INIT_ARRAY)" {print $3}')
size=$(readelf -d "$lib" | awk '$2 == "(INIT_ARRAYSZ)" {print $3}')
if [ -z "$addr" ] || [ -z "$size" ] || [ "$size" -eq 0 ]; then
  echo "initialisers: none"
  exit 0
fi

# Each slot of the array is filled by a relative relocation whose addend is
# the function's address; the symbol table names it. A library stripped of
# its symbols can only be held to the size of one slot, frame_dummy's.
symbols=$(nm "$lib" 2>/dev/null || true)
if [ -z "$symbols" ]; then
  if [ "$size" -gt "$ptr" ]; then
    echo "the initialiser array holds $((size / ptr)) entries (stripped: one expected)" >&2
    exit 1
  fi
  echo "initialisers: one entry (stripped library)"
  exit 0
fi
relocs=$(readelf -rW "$lib")
names=""
slot=0
while [ "$slot" -lt "$size" ]; do
  at=$(printf '%x' $((addr + slot)))
  target=$(printf '%s\n' "$relocs" |
    awk -v at="$at" '{o = $1; sub(/^0+/, "", o)} o == at && $3 ~ /RELATIVE/ {print $4}')
  if [ -z "$target" ]; then
    if [ "$size" -gt "$ptr" ]; then
      echo "cannot name initialiser slot 0x$at, and the array holds more than one" >&2
      exit 1
    fi
    names="$names ?"
  else
    want=$(printf '%016x' $((0x$target)))
    name=$(printf '%s\n' "$symbols" |
      awk -v want="$want" '{a = $1; while (length(a) < 16) a = "0" a} a == want && $2 ~ /^[tT]$/ {print $3; exit}')
    case "$name" in
      # gcc's sanitizers register their globals at priority 99, clang's
      # through a module constructor: instrumentation, not library code.
      frame_dummy | _sub_I_00099_* | asan.module_ctor | ubsan.module_ctor | sancov.module_ctor*) ;;
      *)
        echo "initialiser ${name:-at 0x$target} runs when the library is loaded" >&2
        exit 1
        ;;
    esac
    names="$names $name"
  fi
  slot=$((slot + ptr))
done
echo "initialisers:$names"
