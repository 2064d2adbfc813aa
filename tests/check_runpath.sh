#!/bin/sh
# Fails when an ELF file under one of the directories given carries an empty
# or a relative entry in its RUNPATH or RPATH: the loader reads an empty
# entry as the current directory and a relative one from the current
# directory, so a program started elsewhere would load libraries from
# wherever it was started. Entries are absolute or start with $ORIGIN.
#
#   check_runpath.sh DIR...
set -eu
[ $# -ge 1 ] || {
  echo "usage: check_runpath.sh DIR..." >&2
  exit 2
}

bad=0 checked=0
list=$(mktemp)
trap 'rm -f "$list"' EXIT
# Programs and shared libraries: executable files and *.so*, not the objects
# and archives of a build tree, which the loader never reads.
find "$@" -type f \( -perm -u=x -o -name '*.so' -o -name '*.so.*' \) >"$list"
while IFS= read -r file; do
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  checked=$((checked + 1))
  # Lines such as " 0x...1d (RUNPATH)  Library runpath: [/a:$ORIGIN/../lib]";
  # awk's split keeps the empty fields that a leading, trailing or doubled
  # ':' makes.
  readelf -d "$file" | awk -v file="$file" '
    /\((RUNPATH|RPATH)\)/ {
      s = $0
      sub(/^[^[]*\[/, "", s)
      sub(/\][ \t]*$/, "", s)
      n = split(s, entry, ":")
      if (n == 0) {
        printf "%s: empty run path (the current directory)\n", file
        bad = 1
      }
      for (i = 1; i <= n; i++) {
        if (entry[i] == "") {
          printf "%s: empty run path entry (the current directory) in [%s]\n", file, s
          bad = 1
        } else if (entry[i] !~ /^(\/|\$ORIGIN(\/|$)|\$\{ORIGIN\}(\/|$))/) {
          printf "%s: relative run path entry \"%s\" in [%s]\n", file, entry[i], s
          bad = 1
        }
      }
    }
    END { exit bad }' >&2 || bad=1
done <"$list"

[ "$bad" -eq 0 ] || exit 1
echo "run paths: $checked ELF files, no empty or relative entry"
