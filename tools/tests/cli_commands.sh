#!/usr/bin/env bash
# End-to-end test of quillmar-clip's commands that need no display: each runs
# the real program against temporary stores and checks its output, its exit
# status and what it left on disk.
#
#   cli_commands.sh path/to/quillmar-clip
set -u

BIN=${1:?usage: cli_commands.sh path/to/quillmar-clip}
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export HOME="$T/home" XDG_DATA_HOME="$T/xdg-unused" XDG_CONFIG_HOME="$T/config" LC_ALL=C.UTF-8
unset CLIPBOARD_STATE DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"

. "$(dirname "$0")/lib.sh"

expect_err_has() {
  grep -qF -- "$1" "$T/err" || fail "$2: stderr '$(err)' lacks '$1'"
}
# The number of clips in $S.
count() {
  q list --json --limit 100000
  grep -o '"id":' "$T/out" | wc -l
}
# The id in a push result such as {"id":3,"dedup":0}.
id_of() { sed -n 's/^{"id":\([0-9-]*\).*/\1/p' "$T/out"; }

PNG=$(printf '\x89PNG\r\n\x1a\n')

# --- usage errors: exit 2, a message and a usage line -----------------------
S="$T/usage"
# Ids and counts are decimal: CLI11's own reading of 0x3, 0b1, 0o7 and 010
# as other bases must never reach a command.
for args in "" "frob" "get abc" "get" "list --limit 0" "list --offset -1" "push" \
  "push a b" "expire" "expire --older-than 3x" "pause --for 0s" "--store" \
  "pin 0x3" "delete 0X3" "get 0b1" "unpin 0o7" "copy 1e3" "get +3" "get 3.0" \
  "get 2147483648" "list --limit 0x10" "list --offset 0x1" "search a --limit 1e2"; do
  # shellcheck disable=SC2086
  run $args
  expect_rc 2 "usage error '$args'"
  grep -q '^quillmar-clip: ' "$T/err" || fail "usage error '$args': no message: $(err)"
  grep -q '^usage: quillmar-clip' "$T/err" || fail "usage error '$args': no usage line"
done
run frob
expect_err_has "quillmar-clip: unknown command: frob" "unknown command"
run get abc
expect_err_has "usage: quillmar-clip get ID|- [--output FILE]" "the command's own usage line"
[ ! -e "$S" ] || fail "a usage error created the store"

run --help
expect_rc 0 "--help"
for c in watch store push push-image pause resume list search get copy pin unpin delete \
  wipe stats verify export expire; do
  grep -q "^  $c\b" "$T/out" || fail "--help does not document $c"
  grep -q "e.g. .*quillmar-clip $c\b" "$T/out" || fail "--help has no example of $c"
done
grep -qF "wl-paste --watch quillmar-clip store" "$T/out" || fail "--help lacks the wl-paste line"
run list --help
expect_rc 0 "list --help"
grep -q "Example: quillmar-clip list" "$T/out" || fail "list --help has no example"
run --version
expect_rc 0 "--version"
grep -q '^quillmar-clip [0-9]\+\.[0-9]\+\.[0-9]\+$' "$T/out" || fail "--version: $(out)"

run pin 0x3
expect_err_has "quillmar-clip: not a clip id: 0x3" "a hexadecimal id"
run list --limit 0x10
expect_err_has "quillmar-clip: --limit takes a decimal number, not 0x10" "a hexadecimal limit"

# Leading zeros are decimal, never octal.
S="$T/decimal"
for i in $(seq 1 10); do q push "clip $i"; done
q get 010
expect_out "clip 10" "get 010"
q list --offset 08 --limit 02
grep -q '^\[{"id":2,.*{"id":1,' "$T/out" || fail "list --offset 08 --limit 02: $(out)"
q delete 010
expect_rc 0 "delete 010"
q get 10
expect_rc 1 "delete 010 deleted clip 10"
q get 8
expect_out "clip 8" "delete 010 left clip 8"

# --- library errors: exit 1 with the library's message ----------------------
S="$T/errors"
q get 99
expect_rc 1 "get of a missing id"
expect_err "quillmar-clip: clip id 99 not found" "get of a missing id"
q pin 7
expect_err "quillmar-clip: clip id 7 not found" "pin of a missing id"
q delete 7
expect_err "quillmar-clip: clip id 7 not found" "delete of a missing id"
: >"$T/empty.png"
q push-image "$T/empty.png"
expect_rc 1 "empty image"
expect_err "quillmar-clip: png length must be > 0" "empty image"
: >"$T/plainfile"
run --store "$T/plainfile" list
expect_rc 1 "store that is a file"
expect_err "quillmar-clip: store_dir is not a directory: $T/plainfile" "store that is a file"
run --store "$T/no/such/parent/store" list
expect_rc 1 "store without its parent"
expect_err_has "quillmar-clip: mkdir failed: $T/no/such/parent/store (" "store without its parent"
q push-image "$T/does-not-exist.png"
expect_rc 1 "push-image of a missing file"
expect_err_has "quillmar-clip: cannot open $T/does-not-exist.png" "push-image of a missing file"

# --- store: texts and images from standard input -----------------------------
S="$T/s"
text=$'h\xc3\xa9llo w\xc3\xb6rld \xe2\x9c\x93\nsecond line\n\tindented "quoted" \\ back'
printf '%s' "$text" >"$T/text"
cp "$T/text" "$T/in"
q store
expect_rc 0 "store of a text"
expect_out '{"id":1,"dedup":0}' "store of a text"
[ "$(stat -c %a "$S")" = 700 ] || fail "the store directory is not 0700"
q get 1
cmp -s "$T/out" "$T/text" || fail "get does not give the stored text back byte for byte"
cp "$T/text" "$T/in"
q store
expect_out '{"id":1,"dedup":1}' "the same text twice"

make_png "image-bytes" "$T/a.png"
cp "$T/a.png" "$T/in"
q store
expect_rc 0 "store of a PNG"
expect_out '{"id":2}' "store of a PNG"
cmp -s "$S/img_2.png" "$T/a.png" || fail "the image file differs from the input"
q get 2
expect_out "$S/img_2.png" "get of an image prints its path"
q get 2 --output "$T/got.png"
expect_rc 0 "get --output"
cmp -s "$T/got.png" "$T/a.png" || fail "get --output differs from the image"
q get 2 -o -
cmp -s "$T/out" "$T/a.png" || fail "get -o - differs from the image"
q get 1 --output "$T/got.txt"
cmp -s "$T/got.txt" "$T/text" || fail "get --output of a text"
# A copy of a clip is as private as the store, whatever the umask, also
# where a file of another mode was.
printf 'older and longer content' >"$T/was-there.png"
chmod 0644 "$T/was-there.png"
for f in "$T/new.png" "$T/was-there.png"; do
  (umask 022 && "$TIMEOUT" 30 "$BIN" --store "$S" get 2 --output "$f" </dev/null) ||
    fail "get --output $f under umask 022"
  [ "$(stat -c %a "$f")" = 600 ] || fail "get --output made $f mode $(stat -c %a "$f")"
  cmp -s "$f" "$T/a.png" || fail "get --output into $f"
done

# Invalid UTF-8 is repaired, never dropped.
stdin 'caf\xe9 \xff!'
q store
expect_rc 0 "store of invalid UTF-8"
expect_err "quillmar-clip: standard input was not valid UTF-8: 2 invalid sequences replaced with U+FFFD" \
  "store of invalid UTF-8"
id=$(id_of)
q get "$id"
[ "$(out)" = $'caf\xef\xbf\xbd \xef\xbf\xbd!' ] || fail "invalid UTF-8 repaired as '$(out)'"
# Bytes with NUL in them are not text: skipped, and said so.
n=$(count)
stdin 'a\000b'
q store
expect_rc 0 "store of bytes with a NUL"
expect_err "quillmar-clip: standard input is binary data (it holds NUL bytes), neither text nor a PNG image: nothing stored" \
  "store of bytes with a NUL"
expect_out "" "store of bytes with a NUL"
[ "$(count)" = "$n" ] || fail "bytes with a NUL were stored"

# An empty input stores nothing and says so.
n=$(count)
: >"$T/in"
q store
expect_rc 0 "store of nothing"
expect_err "quillmar-clip: standard input is empty: nothing stored" "store of nothing"
[ "$(count)" = "$n" ] || fail "an empty input changed the history"

# A text longer than the cap is cut by the library, within a character.
head -c 1048575 /dev/zero | tr '\0' 'x' >"$T/big"
printf '\xc3\xa9tail' >>"$T/big"
cp "$T/big" "$T/in"
q store
expect_rc 0 "store of a text over 1 MiB"
q get "$(id_of)"
[ "$(wc -c <"$T/out")" = 1048575 ] || fail "a long text kept $(wc -c <"$T/out") bytes"
# An image over the cap is refused in the library's words.
{ cat "$T/a.png"; head -c 10485760 /dev/zero; } >"$T/in"
q store
expect_rc 1 "store of a 10 MiB image"
expect_err "quillmar-clip: image exceeds 10MB cap" "store of a 10 MiB image"

# Endless inputs are read up to the image cap and one byte more, no further.
"$TIMEOUT" 30 "$BIN" --store "$S" push-image /dev/zero >"$T/out" 2>"$T/err"
rc=$?
expect_rc 1 "push-image /dev/zero"
n=$(count)
# (An endless text: NUL bytes are binary data, which store skips.)
tr '\0' x </dev/zero | "$TIMEOUT" 30 "$BIN" --store "$S" store >"$T/out" 2>"$T/err"
rc=$?
expect_rc 0 "store from an endless text"
[ "$(count)" = $((n + 1)) ] || fail "store from an endless text recorded nothing"
{ cat "$T/a.png"; cat /dev/zero; } | "$TIMEOUT" 30 "$BIN" --store "$S" store >"$T/out" 2>"$T/err"
rc=$?
expect_rc 1 "store of an endless image"
expect_err "quillmar-clip: image exceeds 10MB cap" "store of an endless image"

# CLIPBOARD_STATE from wl-paste --watch.
n=$(count)
stdin 'a password'
CLIPBOARD_STATE=sensitive q store
expect_rc 0 "sensitive clip"
[ "$(count)" = "$n" ] || fail "a sensitive clip was stored"
CLIPBOARD_STATE=nil q store
[ "$(count)" = "$n" ] || fail "an empty clipboard was stored"
stdin 'to be cleared'
q store
cleared=$(id_of)
CLIPBOARD_STATE=clear q store
expect_rc 0 "clear"
[ "$(count)" = "$n" ] || fail "clear did not delete the newest clip"
q get "$cleared"
expect_rc 1 "the cleared clip is gone"

# A clear deletes only the clip that store itself recorded last, while it is
# still the newest and unpinned, and only a few minutes after: never after a
# skipped sensitive clip, an empty clipboard, a paused capture, or a clip
# recorded some other way. Each case is a clipboard session against a new
# store, and the previews left at its end (newest first).
session_step() {
  case "$1" in
    store=*) printf '%s' "${1#store=}" >"$T/in" && q store ;;
    push=*) q push "${1#push=}" ;;
    sensitive | nil) printf 'p4ssw0rd' >"$T/in" && CLIPBOARD_STATE=$1 q store ;;
    clear) : >"$T/in" && CLIPBOARD_STATE=clear q store ;;
    pin)
      q list --json --limit 1
      q pin "$(sed -n 's/^\[{"id":\([0-9]*\).*/\1/p' "$T/out")"
      ;;
    pause | resume) q "$1" ;;
  esac
  [ "$rc" = 0 ] || fail "session step $1: exit status $rc ($(err))"
}
previews() {
  q list --json
  echo $(grep -o '"preview":"[^"]*"' "$T/out" | cut -d'"' -f4)
}
n=0
while IFS='|' read -r steps want; do
  n=$((n + 1))
  S="$T/clear-$n"
  for word in $steps; do session_step "$word"; done
  [ "$(previews)" = "$want" ] || fail "session '$steps' left '$(previews)', wanted '$want'"
done <<'SESSIONS'
store=a store=b clear|a
store=a sensitive clear|a
store=a nil clear|a
store=a pin clear|a
store=a push=b clear|b a
store=a pause store=b resume clear|a
store=a store=a clear|
push=a store=a clear|a
push=a push=b store=a clear|a b
store=a store=b store=a clear|a b
store=a store=b store=a store=a clear|a b
store=a store=b clear clear|a
clear|
SESSIONS
# What store recorded last is remembered beside the store, privately.
S="$T/clear-1"
session_step store=c
[ "$(stat -c %a "$S.last" 2>&1)" = 600 ] || fail "no marker $S.last of mode 0600"
[ "$(ls "$S")" = clips.json ] || fail "store left a file in the store: $(ls "$S")"
# The window: a clip recorded 10 s ago goes, one recorded 10 minutes ago stays.
for age in 10 600; do
  S="$T/clear-window-$age"
  mkdir -p "$S"
  ts=$(($(date +%s) - age))
  printf '{"next_id": 2, "clips": [{"id": 1, "ts": %s, "kind": "text", "preview": "old", "pinned": false, "hash": "", "truncated": false, "text": "old"}]}' \
    "$ts" >"$S/clips.json"
  printf 'clip 1 at %s\n' "$ts" >"$S.last"
  : >"$T/in"
  CLIPBOARD_STATE=clear q store
  expect_rc 0 "clear of a clip stored $age s ago"
  if [ "$age" = 10 ]; then
    expect_out "deleted clip 1: the clipboard was cleared" "clear of a clip stored 10 s ago"
    [ "$(count)" = 0 ] || fail "a clear within the window kept the clip"
  else
    [ "$(count)" = 1 ] || fail "a clear 10 minutes later deleted the clip"
  fi
  [ ! -e "$S.last" ] || fail "a clear kept the marker"
done

# --- push, push-image, list, search, pin, unpin, delete ----------------------
S="$T/p"
q push "first"
expect_out '{"id":1,"dedup":0}' "push"
q push-image "$T/a.png" --label 'a "label"'
expect_out '{"id":2}' "push-image"
q push "second FIRST"
q list
expect_rc 0 "list"
# Not a terminal: the library's JSON unchanged.
grep -q '^\[{"id":3,"ts":[0-9]*,"kind":"text","preview":"second FIRST","pinned":false},{"id":2,"ts":[0-9]*,"kind":"image","preview":"\[image 19 bytes: a \\"label\\"\]","pinned":false},{"id":1,' "$T/out" ||
  fail "list: $(out)"
cp "$T/out" "$T/plain"
q list --json
cmp -s "$T/out" "$T/plain" || fail "list --json differs from list without a terminal"
q list --offset 1 --limit 1
grep -q '^\[{"id":2,' "$T/out" && [ "$(grep -o '"id":' "$T/out" | wc -l)" = 1 ] ||
  fail "list --offset 1 --limit 1: $(out)"
q search first
grep -q '"id":1,.*"score"' "$T/out" && grep -q '"id":3,' "$T/out" || fail "search: $(out)"
q search zebra
expect_out '[]' "search without a match"
q pin 1
expect_rc 0 "pin"
q list
grep -q '"id":1,"ts":[0-9]*,"kind":"text","preview":"first","pinned":true' "$T/out" ||
  fail "pin did not show: $(out)"
q unpin 1
q list
grep -q '"preview":"first","pinned":false' "$T/out" || fail "unpin did not show"
q delete 2
expect_rc 0 "delete"
[ ! -e "$S/img_2.png" ] || fail "delete left the image file"
q get 2
expect_rc 1 "get of a deleted clip"

# On a terminal (script(1) provides one), list and search print a table in
# which nothing from a clip reaches the terminal as a control sequence.
S="$T/table"
q push $'red \033[31malert\033[0m\x07 and a bell'
q push "a rather long text that certainly does not fit into the sixty columns of this terminal"
q push-image "$T/a.png"
q pin 1
on_terminal() {
  COLUMNS=60 "$TIMEOUT" 30 script -qec "$(printf '%q ' "$BIN" --store "$S" "$@")" /dev/null |
    tr -d '\r' >"$T/out"
}
on_terminal list
head -n1 "$T/out" | grep -q '^ID  AGE         KIND   PIN  PREVIEW$' || fail "table header: $(out)"
grep -q '^ 3  [0-9]* s ago  *image       \[image 19 bytes\]$' "$T/out" || fail "image row: $(out)"
grep -q '^ 1  [0-9]* s ago  *text   \*    red  \[31malert \[0m  and a bell$' "$T/out" ||
  fail "pinned row: $(out)"
grep -q '^ 2 .* a rather long .*…$' "$T/out" || fail "a long preview is not cut: $(out)"
grep -q $'[\x01-\x09\x0b-\x1f\x7f]' "$T/out" && fail "a control character reached the terminal"
while IFS= read -r line; do
  [ "$(printf '%s' "$line" | wc -m)" -le 60 ] || fail "a line wider than the terminal: $line"
done <"$T/out"
on_terminal search alert
head -n1 "$T/out" | grep -q '^ID  SCORE  AGE' || fail "search table header: $(out)"
[ "$(wc -l <"$T/out")" = 2 ] || fail "search table: $(out)"
on_terminal list --json
grep -q '^\[{"id":3,' "$T/out" || fail "list --json on a terminal: $(out)"
on_terminal search zebra
[ "$(out)" = "no matches" ] || fail "search without a match on a terminal: $(out)"

# Commands from several processes at once lose no clip: the store is locked
# around every read-modify-write of the index.
S="$T/parallel"
pids=()
for i in $(seq 1 12); do
  timeout 60 "$BIN" --store "$S" push "clip number $i" >/dev/null 2>>"$T/parallel.err" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || fail "a parallel push failed: $(cat "$T/parallel.err")"; done
[ "$(count)" = 12 ] || fail "parallel pushes kept $(count) clips, not 12"

# --- watch and copy without a display ----------------------------------------
S="$T/nodisplay"
q push "to copy"
run --store "$T/plainfile" watch
expect_rc 1 "watch on a store that is a file"
expect_err "quillmar-clip: store_dir is not a directory: $T/plainfile" "watch on a bad store"
q watch
expect_rc 1 "watch without a display"
grep -q '^quillmar-clip: \(cannot open the X display\|this quillmar-clip was built without X11\)' \
  "$T/err" || fail "watch without a display: $(err)"
# A PATH with the few tools the fake ones below need, and no real xclip.
mkdir -p "$T/emptybin" "$T/basics"
for tool in cat rm sh; do ln -s "$(command -v "$tool")" "$T/basics/$tool"; done
PATH="$T/emptybin:$T/basics" q copy 1
expect_rc 1 "copy without xclip or wl-copy"
expect_err "quillmar-clip: cannot copy: neither xclip nor wl-copy is installed (install the xclip or the wl-clipboard package)" \
  "copy without xclip or wl-copy"
printf '#!/bin/sh\nexit 0\n' >"$T/emptybin/xclip"
chmod +x "$T/emptybin/xclip"
PATH="$T/emptybin:$T/basics" q copy 1
expect_err "quillmar-clip: cannot copy: xclip is installed but there is no display for it (DISPLAY is not set)" \
  "copy without a display"
printf '#!/bin/sh\ncat >/dev/null; echo "Error: Cannot open display: :99" >&2; exit 1\n' \
  >"$T/emptybin/xclip"
DISPLAY=:99 PATH="$T/emptybin:$T/basics" q copy 1
expect_rc 1 "copy when xclip fails"
expect_err "quillmar-clip: cannot copy: xclip failed: Error: Cannot open display: :99" \
  "copy when xclip fails"
# A tool that neither reads nor exits is given up on, not waited for.
printf '#!/bin/sh\nexec %s 60\n' "$(command -v sleep)" >"$T/emptybin/xclip"
DISPLAY=:99 PATH="$T/emptybin:$T/basics" q copy 1
expect_rc 1 "copy when xclip hangs"
expect_err "quillmar-clip: cannot copy: xclip did not finish within 10 s" \
  "copy when xclip hangs"
printf '#!/bin/sh\necho "$@" >"%s"; cat >"%s"\n' "$T/xclip.args" "$T/xclip.in" \
  >"$T/emptybin/xclip"
DISPLAY=:99 PATH="$T/emptybin:$T/basics" q copy 1
expect_rc 0 "copy through xclip"
expect_out "clip 1 is on the clipboard (xclip)" "copy through xclip"
[ "$(cat "$T/xclip.args")" = "-selection clipboard" ] || fail "xclip ran with $(cat "$T/xclip.args")"
[ "$(cat "$T/xclip.in")" = "to copy" ] || fail "xclip was given '$(cat "$T/xclip.in")'"
cp "$T/emptybin/xclip" "$T/emptybin/wl-copy"
q push-image "$T/a.png"
WAYLAND_DISPLAY=wayland-1 DISPLAY=:99 PATH="$T/emptybin:$T/basics" q copy 2
expect_out "clip 2 is on the clipboard (wl-copy)" "copy through wl-copy"
[ "$(cat "$T/xclip.args")" = "--type image/png" ] || fail "wl-copy ran with $(cat "$T/xclip.args")"
cmp -s "$T/xclip.in" "$T/a.png" || fail "wl-copy was not given the image's bytes"

# --- nothing of the history is written outside the store --------------------
# Every file call of a command that writes or removes anything must name a
# path inside the store (verify: none at all). Needs strace, and a system
# that lets it trace.
if command -v strace >/dev/null 2>&1 && strace -qq -o /dev/null true 2>/dev/null; then
  S="$T/traced"
  q push "a secret"
  q push-image "$T/a.png"
  writes='^[a-z0-9]*(open|openat|creat)\(.*(O_WRONLY|O_RDWR|O_CREAT)|^(mkdir|mkdirat|rename|renameat|renameat2|link|linkat|symlink|symlinkat|unlink|unlinkat|truncate)\('
  for args in "verify" "list" "search secret" "get 1" "get 2" "get 2 -o -" "stats" \
    "copy 1" "copy 2" "pick" "pin 1" "delete 1"; do
    # LeakSanitizer cannot run under ptrace; the untraced runs look for leaks.
    # shellcheck disable=SC2086
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" DISPLAY=:99 \
      QUILLMAR_PICKER='head -n1' PATH="$T/emptybin:$T/basics:$PATH" "$TIMEOUT" 30 strace -qq -o "$T/trace" \
      -e trace=open,openat,creat,mkdir,mkdirat,rename,renameat,renameat2,link,linkat,symlink,symlinkat,unlink,unlinkat,truncate \
      "$BIN" --store "$S" $args </dev/null >/dev/null 2>"$T/err" || fail "traced '$args': $(err)"
    grep -E "$writes" "$T/trace" | grep -vF -e "\"$S/" -e "\"$S\"" -e '"/dev/null"' >"$T/outside"
    [ -s "$T/outside" ] && fail "'$args' wrote outside the store: $(cat "$T/outside")"
    if [ "$args" = verify ] && grep -qE "$writes" "$T/trace"; then
      fail "verify wrote: $(grep -E "$writes" "$T/trace")"
    fi
  done
else
  echo "note: strace cannot trace here, the file calls are not checked"
fi

# --- a damaged index is set aside, and the host says so ----------------------
S="$T/damaged"
mkdir -p "$S"
printf '{"next_id": 3, "clips": [' >"$S/clips.json"
q list
expect_rc 0 "list of a damaged store"
expect_out '[]' "list of a damaged store"
expect_err_has "clips.json in $S was damaged: it was set aside as clips.json.corrupt." \
  "the set-aside is reported"

# --- pause and resume --------------------------------------------------------
S="$T/paused/store"
mkdir -p "$T/paused"
q push "before the pause"
q pause
expect_rc 0 "pause"
[ -f "$T/paused/store.paused" ] || fail "no pause marker beside the store"
[ -z "$(ls "$S" | grep -v '^clips.json$')" ] || fail "pause put a file into the store"
stdin 'while paused'
q store
expect_rc 0 "store while paused"
expect_err "quillmar-clip: recording is paused: clip not stored" "store while paused"
CLIPBOARD_STATE=clear q store
[ "$(count)" = 1 ] || fail "a paused store recorded or cleared something"
q stats
grep -q '^recording  paused$' "$T/out" || fail "stats does not show the pause"
q wipe --yes
[ -f "$T/paused/store.paused" ] || fail "a wipe removed the pause marker"
q resume
expect_out "recording resumed" "resume"
q resume
expect_out "recording was not paused" "resume twice"
stdin 'after the pause'
q store
expect_out '{"id":1,"dedup":0}' "store after resume"
q pause --for 1h
grep -q '^recording paused until 20[0-9-]* [0-9:]*$' "$T/out" || fail "pause --for: $(out)"
stdin 'during a timed pause'
q store
[ "$(count)" = 1 ] || fail "a timed pause recorded"
# A timed pause that has run out no longer holds.
echo "until 1" >"$T/paused/store.paused"
stdin 'after a timed pause'
q store
expect_out '{"id":2,"dedup":0}' "store after a timed pause ran out"
# Every spelling of one store finds the same markers: a link to the store, a
# link among its parents, a trailing slash, a path relative to where the
# command runs. Each row pauses with one spelling and records, resumes and
# clears with the other (relative paths from $T).
mkdir -p "$T/spelt/real"
ln -s real "$T/spelt/link"
ln -s spelt "$T/spelt-parent"
ABS_BIN=$(realpath "$BIN")
spelt() { (cd "$T" && BIN=$ABS_BIN run --store "$@"); }
while IFS='|' read -r a b; do
  rm -rf "$T/spelt/real" "$T"/spelt/*.paused "$T"/spelt/*.last && mkdir "$T/spelt/real"
  spelt "$a" pause
  printf 'while paused' >"$T/in"
  spelt "$b" store
  expect_err "quillmar-clip: recording is paused: clip not stored" "store by $b after a pause by $a"
  spelt "$b" resume
  expect_out "recording resumed" "resume by $b after a pause by $a"
  printf 'to be cleared' >"$T/in"
  spelt "$a" store
  : >"$T/in"
  CLIPBOARD_STATE=clear spelt "$b" store
  expect_out "deleted clip 1: the clipboard was cleared" "clear by $b after a store by $a"
  [ "$(ls -A "$T/spelt" | tr '\n' ' ')" = "link real " ] ||
    fail "markers of $a and $b left $(ls -A "$T/spelt")"
done <<'EOF_CASES'
spelt/link|spelt/real
spelt/real|spelt/link
spelt/link/|spelt-parent/real
spelt-parent/link|spelt/../spelt/real/
EOF_CASES

# --- stats -------------------------------------------------------------------
S="$T/stats"
q push "one"
q push "two"
q push-image "$T/a.png"
q pin 1
q stats
expect_rc 0 "stats"
grep -q '^clips      3 (2 text, 1 image)$' "$T/out" || fail "stats counts: $(out)"
grep -q '^pinned     1 of at most 200$' "$T/out" || fail "stats pinned: $(out)"
grep -q "^index      .* ($(stat -c %s "$S/clips.json") bytes)$" "$T/out" || fail "stats index: $(out)"
grep -q '^images     1 file, 19 B (19 bytes)$' "$T/out" || fail "stats images: $(out)"
q stats --json
grep -q '"clips":3,"text":2,"image":1,"pinned":1,"index_bytes":[0-9]*,"image_files":1,"image_bytes":19,"paused":false' "$T/out" ||
  fail "stats --json: $(out)"

# --- export ------------------------------------------------------------------
q export "$T/exported"
expect_rc 0 "export"
expect_out "exported 3 of 3 clips to $T/exported (manifest.json)" "export"
[ "$(cat "$T/exported/text-1.txt")" = one ] || fail "export of a text"
cmp -s "$T/exported/image-3.png" "$T/a.png" || fail "export of an image"
grep -q '"file": "image-3.png"' "$T/exported/manifest.json" || fail "manifest lacks the image"
grep -q '"pinned": true' "$T/exported/manifest.json" || fail "manifest lacks the pin"
q export "$T/exported"
expect_rc 1 "export into a directory that is not empty"
expect_err "quillmar-clip: export directory is not empty: $T/exported" "export into a full directory"

# --- expire ------------------------------------------------------------------
S="$T/expire"
mkdir -p "$S"
now=$(date +%s)
cat >"$S/clips.json" <<EOF
{"next_id": 5, "clips": [
 {"id": 1, "ts": $((now - 40 * 86400)), "kind": "text", "preview": "old", "pinned": false, "hash": "", "truncated": false, "text": "old"},
 {"id": 2, "ts": $((now - 40 * 86400)), "kind": "text", "preview": "old pinned", "pinned": true, "hash": "", "truncated": false, "text": "old pinned"},
 {"id": 3, "ts": $((now - 31 * 86400)), "kind": "text", "preview": "old too", "pinned": false, "hash": "", "truncated": false, "text": "old too"},
 {"id": 4, "ts": $((now - 3600)), "kind": "text", "preview": "recent", "pinned": false, "hash": "", "truncated": false, "text": "recent"}
]}
EOF
q expire --older-than 30d --dry-run
expect_out "would delete 2 clips older than 30d: 3, 1" "expire --dry-run"
[ "$(count)" = 4 ] || fail "expire --dry-run deleted something"
q expire --older-than 30d
expect_rc 0 "expire"
expect_out "deleted 2 clips older than 30d: 3, 1" "expire"
q list
grep -q '^\[{"id":4,.*{"id":2,' "$T/out" && [ "$(count)" = 2 ] || fail "expire kept: $(out)"

# --- verify: read-only, and it finds every kind of problem -------------------
S="$T/verify"
q push "text"
q push-image "$T/a.png"
q verify
expect_rc 0 "verify of a sound store"
grep -q '^no problems found$' "$T/out" || fail "verify of a sound store: $(out)"
make_png "orphan" "$S/img_40.png"
rm "$S/img_2.png"
echo '{' >"$S/clips.json.corrupt.1700000000"
: >"$S/clips.json.tmp"
: >"$S/notes.txt"
snapshot() { (cd "$S" && find . -printf '%p %s %T@ %m\n' | sort && cat ./* 2>/dev/null | md5sum); }
before=$(snapshot)
q verify
expect_rc 1 "verify of a damaged store"
for p in "problem: clip 2: its image file img_2.png is missing" \
  "problem: img_40.png: no clip names this image" \
  "problem: clips.json.corrupt.1700000000: a damaged index set aside" \
  "problem: clips.json.tmp: left over from an interrupted write" \
  "problem: notes.txt: not made by the history" "5 problems found"; do
  grep -qF "$p" "$T/out" || fail "verify does not report '$p': $(out)"
done
[ "$(snapshot)" = "$before" ] || fail "verify changed the store"
# A damaged index is reported, and stays where it is.
printf '{"clips": [{"kind": "text"}]}' >"$S/clips.json"
before=$(snapshot)
q verify
expect_rc 1 "verify of a damaged index"
grep -qF "problem: clips.json is damaged" "$T/out" || fail "verify misses the damaged index"
[ "$(snapshot)" = "$before" ] || fail "verify set the damaged index aside"
# verify reads the index where it lies: it needs no temporary directory.
TMPDIR="$T/no-such-tmp" q verify
expect_rc 1 "verify without a temporary directory"
grep -qF "problem: clips.json is damaged" "$T/out" || fail "verify without TMPDIR: $(out) $(err)"
[ ! -e "$T/no-such-tmp" ] || fail "verify made a temporary directory"
# The library's rules for a damaged index, case by case.
S="$T/verify-rules"
mkdir -p "$S"
while IFS='|' read -r verdict index; do
  printf '%b' "$index" >"$S/clips.json"
  q verify
  if [ "$verdict" = damaged ]; then
    grep -qF "problem: clips.json is damaged" "$T/out" || fail "verify took '$index' for sound: $(out)"
  else
    grep -qF "store $S: $verdict" "$T/out" && grep -q '^no problems found$' "$T/out" ||
      fail "verify of '$index': $(out) $(err)"
  fi
done <<'INDEXES'
0 clips (0 images)|
0 clips (0 images)|{"next_id": 1, "clips": []}
1 clip (0 images)|{"clips": [{"id": 1, "kind": "text", "text": "x"}]}
1 clip (0 images)|{"clips": [7, "skipped", {"id": 2, "kind": "text"}]}
damaged|{"clips": [{"id": "1", "kind": "text"}]}
damaged|{"clips": [{"id": 1.0, "kind": "text"}]}
damaged|{"clips": [{"id": 1, "kind": "picture"}]}
damaged|{"clips": [{"id": 1}]}
damaged|{"clips": {}}
damaged|{}
damaged|[]
damaged|{"clips": [],}
damaged|{"clips": ["\xff"]}
INDEXES
rm "$S/clips.json"
mkfifo "$S/clips.json"
q verify
expect_rc 1 "verify of a FIFO index"
expect_err "quillmar-clip: clips.json is not a regular file: $S/clips.json" "verify of a FIFO index"
rm "$S/clips.json"
run --store "$T/nowhere" verify
expect_rc 1 "verify without a store"
[ ! -e "$T/nowhere" ] || fail "verify created a store"

# --- wipe --------------------------------------------------------------------
S="$T/wipe"
q push "keep me"
q wipe
expect_rc 1 "wipe without a terminal"
expect_err "quillmar-clip: refusing to wipe without confirmation: run 'quillmar-clip wipe --yes'" \
  "wipe without a terminal"
[ "$(count)" = 1 ] || fail "a refused wipe changed the history"
: >"$S/diary.txt"
q wipe --yes
expect_rc 1 "wipe of a directory with foreign files"
[ -f "$S/diary.txt" ] && [ "$(count)" = 1 ] || fail "a refused wipe removed something"
rm "$S/diary.txt"
q wipe --yes
expect_rc 0 "wipe --yes"
[ "$(count)" = 0 ] || fail "wipe left clips"
q push "again"
expect_out '{"id":1,"dedup":0}' "ids start at 1 after a wipe"

# --- the default store -------------------------------------------------------
XDG_DATA_HOME="$T/xdg/deep/data" run push "default"
expect_rc 0 "push into the default store"
[ -f "$T/xdg/deep/data/quillmar-clipboard-history/clips.json" ] || fail "no default store"
[ "$(stat -c %a "$T/xdg/deep")" = 700 ] || fail "a parent of the default store is not 0700"
XDG_DATA_HOME= run push "home"
[ -f "$HOME/.local/share/quillmar-clipboard-history/clips.json" ] || fail "no store under HOME"

# An empty --store is a usage error, never the default store.
XDG_DATA_HOME= run --store "" wipe --yes
expect_rc 2 "wipe of an empty --store"
expect_err_has "quillmar-clip: --store: the store directory must not be empty" "an empty --store"
XDG_DATA_HOME= run --store= wipe --yes
expect_rc 2 "wipe of --store="
XDG_DATA_HOME= run list
[ "$(grep -o '"id":' "$T/out" | wc -l)" = 1 ] || fail "an empty --store wiped the default store"

# A store path that is not UTF-8 is refused before anything is made: as a
# usage error when given, as a failure when it comes from the environment.
bad=$'not-utf8-\xff'
run --store "$T/$bad" push "x"
expect_rc 2 "a --store that is not UTF-8"
expect_err_has "quillmar-clip: --store: the store directory is not valid UTF-8: $T/not-utf8-"$'\xef\xbf\xbd' \
  "a --store that is not UTF-8"
XDG_DATA_HOME="$T/$bad" run push "x"
expect_rc 1 "an XDG_DATA_HOME that is not UTF-8"
expect_err_has "quillmar-clip: the store directory is not valid UTF-8: $T/not-utf8-" \
  "an XDG_DATA_HOME that is not UTF-8"
[ ! -e "$T/$bad" ] || fail "a path that is not UTF-8 was created"
# So is a link that leads to such a path, with nothing written there.
mkdir "$T/$bad" && ln -s "$bad" "$T/utf8-link"
run --store "$T/utf8-link" push "x"
expect_rc 1 "a --store that leads to a path that is not UTF-8"
expect_err_has "(the store $T/utf8-link leads there)" \
  "a --store that leads to a path that is not UTF-8"
[ -z "$(ls -A "$T/$bad")" ] || fail "a store was made at a path that is not UTF-8"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
