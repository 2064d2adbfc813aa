#!/usr/bin/env bash
# End-to-end test of `quillmar-clip watch` and `copy` on a real X server:
# starts Xvfb on a free display, runs the watcher against a temporary store,
# sets the clipboard with xclip (texts, PNG images, one large enough for an
# incremental transfer) and checks that every clip arrives with its exact
# bytes. Every wait is bounded, and everything started is stopped on exit.
# Exits 77 (skipped) when Xvfb or xclip is missing.
#
#   x11_watch.sh path/to/quillmar-clip [path/to/selection_owner]
set -u

BIN=${1:?usage: x11_watch.sh path/to/quillmar-clip [path/to/selection_owner]}
OWNER=${2:-}
for tool in Xvfb xclip; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed (the xvfb and xclip packages)"
    exit 77
  fi
done

T=$(mktemp -d)
S="$T/store"
watch_out="$T/watch.out"
xvfb=""
watcher=""
helpers=()
stop_all() {
  for p in "$watcher" "${helpers[@]}"; do
    [ -n "$p" ] && kill "$p" 2>/dev/null
  done
  for p in "$watcher" "${helpers[@]}"; do
    [ -n "$p" ] && timeout 10 tail --pid="$p" -f /dev/null 2>/dev/null
  done
  # Last, the server: the xclip that `copy` leaves serving the clipboard
  # ends with it.
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null
    timeout 10 tail --pid="$xvfb" -f /dev/null 2>/dev/null
  fi
  rm -rf "$T"
}
trap stop_all EXIT
export HOME="$T" XDG_DATA_HOME="$T/data" XDG_CONFIG_HOME="$T/config" XDG_RUNTIME_DIR="$T/run" \
  LC_ALL=C.UTF-8
unset WAYLAND_DISPLAY CLIPBOARD_STATE

mkdir -m 0700 "$T/run"
. "$(dirname "$0")/lib.sh"

die() {
  echo "FAIL: $*" >&2
  [ -f "$T/watch.out" ] && sed 's/^/watch: /' "$T/watch.out" "$T/watch.err" >&2
  exit 1
}

start_xvfb

q() { timeout 30 "$BIN" --store "$S" "$@"; }
# set_clipboard FILE [TARGET]: an xclip that owns CLIPBOARD until the next one
# takes it over.
set_clipboard() {
  local args=(-quiet -selection "${SELECTION:-clipboard}" -i "$1")
  [ $# -ge 2 ] && args+=(-t "$2")
  xclip "${args[@]}" >/dev/null 2>>"$T/xclip.err" &
  helpers+=($!)
}
count() { q list --json --limit 100000 | grep -o '"id":' | wc -l; }

# What the clipboard holds when the watcher starts is recorded too.
printf 'there before the watcher' >"$T/t0"
set_clipboard "$T/t0"
until_true 20 xclip -o -selection clipboard >/dev/null 2>&1 || die "xclip does not serve: $(cat "$T/xclip.err")"
"$BIN" --store "$S" watch >"$T/watch.out" 2>"$T/watch.err" &
watcher=$!
wait_line "^watching CLIPBOARD on $DISPLAY into $S" 1
wait_line '^CLIPBOARD: text clip 1 ' 1

# A text with non-ASCII characters and line breaks, byte for byte.
printf 'h\xc3\xa9llo w\xc3\xb6rld \xe2\x9c\x93\nsecond line\r\n\tthird "line"\n' >"$T/t1"
set_clipboard "$T/t1"
wait_line '^CLIPBOARD: text clip 2 (' 1
q get 2 >"$T/got"
cmp -s "$T/got" "$T/t1" || fail "the text arrived as '$(cat "$T/got")'"

# The same text set again is one clip.
set_clipboard "$T/t1"
wait_line '^CLIPBOARD: repeats clip 2$' 1
[ "$(count)" = 2 ] || fail "the same text twice made $(count) clips"

# The watcher serves the store's commands, and counts what it recorded; a
# second watcher on the same store is refused.
q stats >"$T/stats.out"
grep -q "^server     pid $watcher since .*, 2 captures recorded$" "$T/stats.out" ||
  fail "stats beside the watcher: $(cat "$T/stats.out")"
timeout 30 "$BIN" --store "$S" watch >"$T/second.out" 2>"$T/second.err"
status=$?
[ "$status" = 1 ] || fail "a second watcher ended with status $status"
[ "$(cat "$T/second.err")" = "quillmar-clip: a server is running for $S (pid $watcher)" ] ||
  fail "a second watcher said: $(cat "$T/second.err")"

# A PNG image, offered as image/png.
base64 -d >"$T/red.png" <<'EOF'
iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8DwHwAFBQIAX8jx0gAAAABJRU5ErkJggg==
EOF
set_clipboard "$T/red.png" image/png
wait_line '^CLIPBOARD: image clip 3 (' 1
q get 3 --output "$T/got.png"
cmp -s "$T/got.png" "$T/red.png" || fail "the PNG image arrived changed"

# An image of 3 MB, which xclip hands over in INCR chunks.
{ cat "$T/red.png"; head -c 3000000 /dev/urandom; } >"$T/big.png"
set_clipboard "$T/big.png" image/png
wait_line "^CLIPBOARD: image clip 4 ($(stat -c %s "$T/big.png") bytes)$" 1
q get 4 --output "$T/got-big.png"
cmp -s "$T/got-big.png" "$T/big.png" || fail "the large image arrived changed"

# A text that is not valid UTF-8 is repaired and recorded, and that is said.
printf 'caf\xe9' >"$T/latin"
set_clipboard "$T/latin"
wait_line '^CLIPBOARD: text clip 5 (' 1
[ "$(q get 5)" = $'caf\xef\xbf\xbd' ] || fail "the invalid text was recorded as '$(q get 5)'"
grep -qF "quillmar-clip: the CLIPBOARD text was not valid UTF-8: 1 invalid sequence replaced with U+FFFD" \
  "$T/watch.err" || fail "the repair was not reported: $(cat "$T/watch.err")"

# Paused, the watcher records nothing.
q pause >/dev/null
printf 'copied while paused' >"$T/t2"
set_clipboard "$T/t2"
wait_line '^CLIPBOARD: not recorded, recording is paused$' 1
q resume >/dev/null
[ "$(count)" = 5 ] || fail "a paused watcher recorded a clip"
# So it does when the pause names the store through a link.
ln -s store "$T/store-link"
timeout 30 "$BIN" --store "$T/store-link" pause >/dev/null
printf 'copied while paused by the link' >"$T/t2-link"
set_clipboard "$T/t2-link"
wait_line '^CLIPBOARD: not recorded, recording is paused$' 2
timeout 30 "$BIN" --store "$T/store-link" resume >/dev/null
[ "$(count)" = 5 ] || fail "a watcher paused through a link recorded a clip"

# A password manager's secret is skipped; the same hint with another value
# is not a secret.
if [ -n "$OWNER" ]; then
  timeout 60 "$OWNER" 'hunter2' secret >"$T/owner.out" 2>&1 &
  helpers+=($!)
  wait_line '^CLIPBOARD: not recorded, its owner marks it as a secret$' 1
  q search hunter2 | grep -q hunter2 && fail "a secret was recorded"
  # A hint whose value cannot be read fails closed.
  timeout 60 "$OWNER" 'hunter3' secret refuse >"$T/owner3.out" 2>&1 &
  helpers+=($!)
  wait_line "^CLIPBOARD: not recorded, its owner's x-kde-passwordManagerHint cannot be read (the owner refused the request)$" 1
  q search hunter3 | grep -q hunter3 && fail "a clip with an unreadable hint was recorded"
  timeout 60 "$OWNER" 'no secret here' public >"$T/owner2.out" 2>&1 &
  helpers+=($!)
  wait_line '^CLIPBOARD: text clip 6 (' 1
  [ "$(q get 6)" = 'no secret here' ] || fail "the public text was recorded as '$(q get 6)'"
  # An owner that does not list its targets is asked for the hint all the
  # same, and recorded only when the hint says it is no secret.
  # the owner's arguments|what the watcher says
  while IFS='|' read -r args said; do
    n=$(lines "^CLIPBOARD: $said")
    # shellcheck disable=SC2086
    timeout 60 "$OWNER" --refuse-targets $args >"$T/owner-unlisted.out" 2>&1 &
    helpers+=($!)
    wait_line "^CLIPBOARD: $said" $((n + 1))
  done <<'EOF_CASES'
unlisted-secret secret|not recorded, its owner marks it as a secret$
unlisted-nohint|not recorded, the targets its owner offers cannot be listed, nor its x-kde-passwordManagerHint read (the owner refused the request)$
unlisted-refused secret refuse|not recorded, the targets its owner offers cannot be listed, nor its x-kde-passwordManagerHint read (the owner refused the request)$
unlisted-public public|text clip 7 (15 bytes)$
EOF_CASES
  [ "$(q get 7)" = 'unlisted-public' ] || fail "the unlisted public text was recorded as '$(q get 7)'"
  q search unlisted --json | grep -o '"id":' | wc -l | grep -qx 1 ||
    fail "an owner that lists no targets got a secret recorded: $(q search unlisted --json)"
else
  echo "note: no selection_owner helper, the secret hint is not tried"
fi

# copy puts a clip back where xclip -o reads it (and the watcher sees it as
# a new clipboard owner).
q copy 2 >"$T/copy.out" 2>&1 || fail "copy 2 failed: $(cat "$T/copy.out")"
grep -q '^clip 2 is on the clipboard (xclip)$' "$T/copy.out" || fail "copy said: $(cat "$T/copy.out")"
timeout 10 xclip -o -selection clipboard >"$T/pasted" || fail "xclip -o after copy failed"
cmp -s "$T/pasted" "$T/t1" || fail "copy put '$(cat "$T/pasted")' on the clipboard"
q copy 3 >/dev/null 2>&1 || fail "copy of an image failed"
timeout 10 xclip -o -selection clipboard -t image/png >"$T/pasted.png" || fail "xclip -o -t image/png"
cmp -s "$T/pasted.png" "$T/red.png" || fail "copy of an image put other bytes on the clipboard"

# SIGTERM ends the watcher cleanly.
kill -TERM "$watcher"
timeout 20 tail --pid="$watcher" -f /dev/null
wait "$watcher"
status=$?
watcher=""
[ "$status" = 0 ] || fail "the watcher ended with status $status after SIGTERM"
[ "$(tail -n1 "$T/watch.out")" = stopped ] || fail "the watcher did not say it stopped"

# --primary follows PRIMARY too, and SIGINT ends it cleanly.
: >"$T/watch.out"
"$BIN" --store "$S" watch --primary >"$T/watch.out" 2>"$T/watch.err" &
watcher=$!
wait_line '^watching CLIPBOARD and PRIMARY' 1
printf 'a primary selection' >"$T/p1"
SELECTION=primary set_clipboard "$T/p1"
wait_line '^PRIMARY: text clip [0-9]* (19 bytes)$' 1

# A PRIMARY selection dragged further, at either end, replaces the clip it
# grew from; one that does not grow from it, or comes after the window, is a
# clip of its own.
step=0
primary_step() {
  step=$((step + 1))
  printf '%s' "$1" >"$T/primary-$step"
  SELECTION=primary set_clipboard "$T/primary-$step"
  wait_line "$2" 1
}
primary_step 'quick' '^PRIMARY: text clip [0-9]* (5 bytes)$'
primary_step 'quick brown' '^PRIMARY: text clip [0-9]* (11 bytes), grown from clip [0-9]*$'
primary_step 'the quick brown' '^PRIMARY: text clip [0-9]* (15 bytes), grown from clip [0-9]*$'
primary_step 'unrelated' '^PRIMARY: text clip [0-9]* (9 bytes)$'
q search quick --json >"$T/quick.json"
[ "$(grep -o '"id":' "$T/quick.json" | wc -l)" = 1 ] &&
  grep -qF '"preview":"the quick brown"' "$T/quick.json" ||
  fail "a growing selection left $(cat "$T/quick.json")"
q search 'a primary selection' --json | grep -q '"id":' ||
  fail "a selection that did not grow into the next one was replaced"
sleep 5.5 # beyond the window: the same growth is a new clip
primary_step 'unrelated text' '^PRIMARY: text clip [0-9]* (14 bytes)$'
q search unrelated --json >"$T/unrelated.json"
[ "$(grep -o '"id":' "$T/unrelated.json" | wc -l)" = 2 ] ||
  fail "a selection grown after the window replaced its clip: $(cat "$T/unrelated.json")"
# A selection that only repeated a clip copied on purpose never replaces it.
printf 'copied on purpose' >"$T/t-purpose"
set_clipboard "$T/t-purpose"
wait_line '^CLIPBOARD: text clip [0-9]* (17 bytes)$' 1
primary_step 'copied on purpose' '^PRIMARY: repeats clip [0-9]*$'
primary_step 'copied on purpose, and more' '^PRIMARY: text clip [0-9]* (27 bytes)$'
q search 'copied on purpose' --json | grep -q '"preview":"copied on purpose"' ||
  fail "a selection's growth replaced a clip copied on purpose"
# Nor does one that was copied with Ctrl-C after it was selected.
primary_step 'selected' '^PRIMARY: text clip [0-9]* (8 bytes)$'
printf 'selected' >"$T/t-selected"
n=$(lines '^CLIPBOARD: repeats clip [0-9]*$')
set_clipboard "$T/t-selected"
wait_line '^CLIPBOARD: repeats clip [0-9]*$' $((n + 1))
primary_step 'selected further' '^PRIMARY: text clip [0-9]* (16 bytes)$'
q search 'selected' --json | grep -q '"preview":"selected"' ||
  fail "a selection's growth replaced the clip copied from it with Ctrl-C"

# An owner that offers a PNG image and a text: the image, labelled by the text.
if [ -n "$OWNER" ]; then
  { cat "$T/red.png"; printf 'blue'; } >"$T/blue.png"
  timeout 60 "$OWNER" --png "$T/blue.png" $'https://example.org/\tblue.png\n' \
    >"$T/owner3.out" 2>&1 &
  helpers+=($!)
  wait_line "^CLIPBOARD: image clip [0-9]* ($(stat -c %s "$T/blue.png") bytes, labelled by its text)\$" 1
  q list --json --limit 1 >"$T/labelled.json"
  grep -qF "\"kind\":\"image\",\"preview\":\"[image $(stat -c %s "$T/blue.png") bytes: https://example.org/ blue.png]\"" \
    "$T/labelled.json" || fail "the image's label: $(cat "$T/labelled.json")"
  id=$(grep -o '"id":[0-9]*' "$T/labelled.json" | cut -d: -f2)
  q get "$id" --output "$T/got-blue.png"
  cmp -s "$T/got-blue.png" "$T/blue.png" || fail "the labelled image arrived changed"
fi

# A repeat of an older clip moves to the top, and the older copy goes.
printf 'there before the watcher' >"$T/t0-again"
set_clipboard "$T/t0-again"
wait_line '^CLIPBOARD: text clip [0-9]* (24 bytes), moved to the top from clip 1$' 1
q get 1 >/dev/null 2>&1 && fail "the older copy of a repeat is still there"

# The watcher keeps the store loaded, yet sees what other processes did: a
# clip pushed from a shell stays, and after a wipe the ids start again.
q push 'pushed from a shell' >/dev/null
printf 'copied after the push' >"$T/t3"
set_clipboard "$T/t3"
wait_line '^CLIPBOARD: text clip [0-9]* (21 bytes)$' 1
q search 'pushed from a shell' --json | grep -q '"id":' ||
  fail "the watcher lost a clip pushed by another process"
q wipe --yes >/dev/null
printf 'copied after the wipe' >"$T/t4"
set_clipboard "$T/t4"
wait_line '^CLIPBOARD: text clip 1 (21 bytes)$' 1
[ "$(count)" = 1 ] || fail "the watcher brought wiped clips back: $(count) clips"
kill -INT "$watcher"
timeout 20 tail --pid="$watcher" -f /dev/null
wait "$watcher"
status=$?
watcher=""
[ "$status" = 0 ] || fail "the watcher ended with status $status after SIGINT"

# The config file: primary = true follows PRIMARY, --no-primary wins over
# it, and texts its rules name are not recorded (and said so).
mkdir -p "$XDG_CONFIG_HOME/quillmar-clip"
printf '%s\n' 'primary = true' 'ignore = ["^secret-"]' 'min_length = 3' \
  >"$XDG_CONFIG_HOME/quillmar-clip/config.toml"
: >"$T/watch.out"
"$BIN" --store "$S" watch --no-primary >"$T/watch.out" 2>"$T/watch.err" &
watcher=$!
wait_line "^watching CLIPBOARD on $DISPLAY" 1
kill -TERM "$watcher"
timeout 20 tail --pid="$watcher" -f /dev/null
watcher=""
: >"$T/watch.out"
"$BIN" --store "$S" watch >"$T/watch.out" 2>"$T/watch.err" &
watcher=$!
wait_line "^watching CLIPBOARD and PRIMARY on $DISPLAY" 1
n=$(count)
printf 'secret-token-123' >"$T/t5"
set_clipboard "$T/t5"
wait_line '^CLIPBOARD: not recorded, it matches the ignore pattern "^secret-"$' 1
printf 'ab' >"$T/t6"
SELECTION=primary set_clipboard "$T/t6"
wait_line '^PRIMARY: not recorded, it is shorter than min_length (2 of 3 bytes)$' 1
[ "$(count)" = "$n" ] || fail "the config's rules let a text through"
kill -TERM "$watcher"
timeout 20 tail --pid="$watcher" -f /dev/null
watcher=""
rm -r "$XDG_CONFIG_HOME"

# While the watcher runs: an edit of the config file takes effect at once,
# a broken one is said once (on standard error and, with no terminal, as a
# desktop notification) and the last good config stays in force; the
# limits apply after each capture; blank texts are not recorded.
CFG="$XDG_CONFIG_HOME/quillmar-clip/config.toml"
mkdir -p "$XDG_CONFIG_HOME/quillmar-clip" "$T/bin"
printf 'min_length = 3\n' >"$CFG"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\n' "$T/notified" >"$T/bin/notify-send"
chmod +x "$T/bin/notify-send"
: >"$T/watch.out"
PATH="$T/bin:$PATH" "$BIN" --store "$S" watch >"$T/watch.out" 2>"$T/watch.err" &
watcher=$!
wait_line "^watching CLIPBOARD on $DISPLAY" 1
q stats | grep -qx "recording  on (watcher $watcher on $DISPLAY)" ||
  fail "stats while the watcher runs: $(q stats)"
printf '  \n\t \n' >"$T/t7"
set_clipboard "$T/t7"
wait_line '^CLIPBOARD: not recorded, it holds only white space$' 1
# Saved as editors do, a new file renamed over the old one.
printf 'min_length = 100\n' >"$CFG.new" && mv "$CFG.new" "$CFG"
wait_line "^config file reloaded: $CFG\$" 1
printf 'short text' >"$T/t8"
set_clipboard "$T/t8"
wait_line '^CLIPBOARD: not recorded, it is shorter than min_length (10 of 100 bytes)$' 1
printf 'min_lenght = 3\n' >"$CFG"
said_typo() { grep -q 'config.toml, line 1: unknown key "min_lenght"' "$T/watch.err"; }
until_true 20 said_typo || fail "a broken config was not said: $(cat "$T/watch.err")"
printf 'short two' >"$T/t9"
set_clipboard "$T/t9"
wait_line '^CLIPBOARD: not recorded, it is shorter than min_length (9 of 100 bytes)$' 1
[ "$(grep -c min_lenght "$T/watch.err")" = 1 ] || fail "a broken config was said more than once: $(cat "$T/watch.err")"
[ "$(grep -c 'min_lenght.*last good one stays in force' "$T/notified")" = 1 ] ||
  fail "the desktop was told: $(cat "$T/notified" 2>&1)"
grep -q '^--app-name=quillmar-clip quillmar-clip: ' "$T/notified" || fail "notify-send ran as: $(cat "$T/notified")"
# Fixed, with a limit: the capture comes first, then the oldest clips go.
printf 'max_items = 1\n' >"$CFG"
wait_line "^config file reloaded: $CFG\$" 2
printf 'the one kept' >"$T/t10"
set_clipboard "$T/t10"
wait_line '^CLIPBOARD: text clip [0-9]* (12 bytes)$' 1
wait_line '^limits: deleted clip' 1
[ "$(count)" = 1 ] && [ "$(q list --json | grep -o '"preview":"[^"]*"')" = '"preview":"the one kept"' ] ||
  fail "max_items 1 kept $(q list --json)"
# primary = true, read while running, follows PRIMARY from then on.
printf 'primary = true\n' >"$CFG"
wait_line '^following PRIMARY too$' 1
printf 'a primary text' >"$T/t11"
SELECTION=primary set_clipboard "$T/t11"
wait_line '^PRIMARY: text clip [0-9]* (14 bytes)$' 1
kill -TERM "$watcher"
timeout 20 tail --pid="$watcher" -f /dev/null
watcher=""
[ ! -e "$S.watcher" ] || fail "the watcher left its mark: $(cat "$S.watcher")"
q stats | grep -q '^recording  off: no watcher running' || fail "stats after the watcher stopped: $(q stats)"
rm -r "$XDG_CONFIG_HOME"

q verify >"$T/verify.out" || fail "verify after the watch: $(cat "$T/verify.out")"

if [ "$failures" -gt 0 ]; then
  sed 's/^/watch: /' "$T/watch.out" "$T/watch.err" >&2
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
