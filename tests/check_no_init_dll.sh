#!/bin/sh
# Fails when loading the Windows DLL would run code of its own. What runs at
# load is listed in three tables: the constructors between __CTOR_LIST__ and
# __DTOR_LIST__ (only libgcc's register_frame_ctor, which registers the
# unwind tables), the C runtime's initialisers in .CRT$XC and .CRT$XI (only
# its own pre_c_init) and the TLS callbacks in .CRT$XL (only the runtime's
# __dyn_tls_init and __dyn_tls_dtor). In particular no processor probe such
# as libgcc's __cpu_indicator_init, which __builtin_cpu_supports pulls in.
#   check_no_init_dll.sh OBJDUMP NM DLL
set -eu
objdump=$1
nm=$2
dll=$3

symbols=$("$nm" "$dll")
if printf '%s\n' "$symbols" | grep -q '__cpu_indicator_init'; then
  echo "the DLL holds __cpu_indicator_init, a constructor run at load" >&2
  exit 1
fi

address_of() {
  printf '%s\n' "$symbols" | awk -v name="$1" '$3 == name {print $1; exit}'
}

# The non-zero 64-bit pointers in [from, to), as addresses of 16 hex digits.
pointers() {
  "$objdump" -s --start-address="0x$1" --stop-address="0x$2" "$dll" | awk '
    /^ [0-9a-f]+ / {
      line = substr($0, 2)
      split(line, f, " ")
      hex = substr(line, length(f[1]) + 2, 35)
      gsub(/ /, "", hex)
      bytes = bytes hex
    }
    END {
      for (i = 1; i + 15 <= length(bytes); i += 16) {
        q = ""
        for (b = 14; b >= 0; b -= 2) q = q substr(bytes, i + b, 2)
        if (q != "0000000000000000" && q != "ffffffffffffffff") print q
      }
    }'
}

# Fails unless every pointer of the table [from, to) names an allowed function.
check_table() {
  what=$1
  from=$(address_of "$2")
  to=$(address_of "$3")
  allowed=$4
  if [ -z "$from" ] || [ -z "$to" ]; then
    echo "cannot find $2 and $3 in the DLL's symbols" >&2
    exit 1
  fi
  found=""
  for p in $(pointers "$from" "$to"); do
    name=$(printf '%s\n' "$symbols" |
      awk -v want="$p" '$1 == want && $2 ~ /^[tT]$/ && $3 !~ /^\./ {print $3; exit}')
    case " $allowed " in
      *" $name "*) found="$found $name" ;;
      *)
        echo "$what: ${name:-the function at 0x$p} runs when the DLL is loaded" >&2
        exit 1
        ;;
    esac
  done
  echo "$what:${found:- none}"
}

check_table constructors __CTOR_LIST__ __DTOR_LIST__ register_frame_ctor
check_table "C runtime initialisers" ___crt_xc_start__ ___crt_xi_end__ pre_c_init
check_table "TLS callbacks" ___crt_xl_start__ ___crt_xp_start__ "__dyn_tls_init __dyn_tls_dtor"
