#!/bin/sh
# The run path check: first against small programs linked with the run paths
# of a table, to see that it tells a safe run path from one that loads from
# the current directory, then over the build tree itself.
#
#   check_runpath_test.sh CC BUILD_DIR
set -eu
cc=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo 'int main(void) { return 0; }' >"$work/main.c"
# A script with the executable bit is not an ELF file and is not read.
printf '#!/bin/sh\n' >"$work/script"
chmod +x "$work/script"

failed=0
# name | linker flags | expected verdict
while IFS='|' read -r name flags expect; do
  dir=$work/$name
  mkdir "$dir"
  cp "$work/script" "$dir/"
  # shellcheck disable=SC2086  # the flags are words
  "$cc" -o "$dir/prog" "$work/main.c" $flags
  if sh "$here/check_runpath.sh" "$dir" >"$work/out" 2>&1; then got=pass; else got=fail; fi
  if [ "$got" != "$expect" ]; then
    echo "FAIL $name: the check said $got, expected $expect:" >&2
    cat "$work/out" >&2
    failed=1
  else
    echo "ok   $name: $got"
  fi
done <<'TABLE'
no-run-path||pass
absolute|-Wl,-rpath,/usr/lib/private|pass
origin|-Wl,-rpath,$ORIGIN/../lib|pass
origin-braces|-Wl,-rpath,${ORIGIN}/lib:/opt/lib|pass
trailing-colon|-Wl,-rpath,/opt/lib:|fail
leading-colon|-Wl,-rpath,:/opt/lib|fail
doubled-colon|-Wl,-rpath,/opt/lib::/usr/lib/x|fail
relative|-Wl,-rpath,lib|fail
dot-relative|-Wl,-rpath,./lib|fail
old-rpath-empty-entry|-Wl,--disable-new-dtags -Wl,-rpath,/opt/lib:|fail
old-rpath-relative|-Wl,--disable-new-dtags -Wl,-rpath,../lib|fail
TABLE
[ "$failed" -eq 0 ] || exit 1

sh "$here/check_runpath.sh" "$build"
