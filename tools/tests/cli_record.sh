#!/usr/bin/env bash
# End-to-end test of how quillmar-clip records what it is given: input that
# is not text, the config file, and repeats that move to the top. Each case
# runs the real program against a temporary store and checks its output, its
# exit status and what it left in the history.
#
#   cli_record.sh path/to/quillmar-clip
set -u

BIN=${1:?usage: cli_record.sh path/to/quillmar-clip}
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export HOME="$T/home" XDG_DATA_HOME="$T/data" XDG_CONFIG_HOME="$T/config" LC_ALL=C.UTF-8
unset CLIPBOARD_STATE DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"
CONFIG="$XDG_CONFIG_HOME/quillmar-clip/config.toml"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# run ARGS...: runs the program (30 s at most) with standard input from
# $T/in (or /dev/null), its output in $T/out and $T/err, its status in $rc.
run() {
  local input=/dev/null
  [ -f "$T/in" ] && input="$T/in"
  timeout 30 "$BIN" "$@" <"$input" >"$T/out" 2>"$T/err"
  rc=$?
  rm -f "$T/in"
}
q() { run --store "$S" "$@"; }
out() { cat "$T/out"; }
err() { cat "$T/err"; }
expect_rc() { [ "$rc" = "$1" ] || fail "$2: exit status $rc, wanted $1 (stderr: $(err))"; }
expect_out() { [ "$(out)" = "$1" ] || fail "$2: output '$(out)', wanted '$1'"; }
expect_err() { [ "$(err)" = "$1" ] || fail "$2: stderr '$(err)', wanted '$1'"; }
# store_text TEXT: records TEXT through `store`, as wl-paste would.
store_text() {
  printf '%s' "$1" >"$T/in"
  q store "${@:2}"
}
# The ids of the history, newest first, on one line.
ids() {
  q list --json --limit 100000
  grep -o '"id":[0-9]*' "$T/out" | cut -d: -f2 | tr '\n' ' ' | sed 's/ $//'
}
# The texts of the history, newest first, one per line.
texts() {
  local id
  for id in $(ids); do
    q get "$id"
    printf '%s\n' "$(out)"
  done
}

# --- store: input that is neither text nor PNG is skipped --------------------
S="$T/binary"
store_text "already here"
while IFS='|' read -r what bytes; do
  printf "$bytes" >"$T/in"
  q store
  expect_rc 0 "store of $what"
  expect_err "quillmar-clip: standard input is $what, neither text nor a PNG image: nothing stored" \
    "store of $what"
  expect_out "" "store of $what"
done <<'EOF_CASES'
a JPEG image|\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01
a GIF image|GIF89a\x01\x00\x01\x00\x80\x00\x00
a WebP image|RIFF\x1a\x00\x00\x00WEBPVP8L\x0d\x00\x00\x00
a PDF document|%%PDF-1.7\n%%\xe2\xe3\xcf\xd3\n
binary data (it holds NUL bytes)|\x7fELF\x02\x01\x01\x00\x00
EOF_CASES
[ "$(ids)" = 1 ] || fail "binary input was stored: ids $(ids)"
# Text that only needs repair, and PNG bytes, are still recorded.
printf 'caf\xe9 cr\xe8me' >"$T/in"
q store
expect_out '{"id":2,"dedup":0}' "store of repairable text"
printf '\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR' >"$T/in"
q store
expect_out '{"id":3}' "store of PNG bytes with NULs"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
