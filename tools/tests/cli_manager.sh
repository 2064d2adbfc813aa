#!/usr/bin/env bash
# End-to-end test of what makes quillmar-clip a manager bound to a hotkey:
# the picker lines, get - and copy -, pick, the list footer, import,
# completions, and the help and usage errors. Every run uses the real
# program against temporary stores; pickers and xclip are small fakes.
#
#   cli_manager.sh path/to/quillmar-clip
set -u

BIN=${1:?usage: cli_manager.sh path/to/quillmar-clip}
BIN=$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")
TIMEOUT=$(command -v timeout)
SETSID=$(command -v setsid)
SCRIPT=$(command -v script)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export HOME="$T/home" XDG_DATA_HOME="$T/xdg-unused" LC_ALL=C.UTF-8
unset CLIPBOARD_STATE DISPLAY WAYLAND_DISPLAY QUILLMAR_PICKER
mkdir -p "$HOME"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# run ARGS...: the program (30 s at most) with its output in $T/out and
# $T/err and its exit status in $rc; standard input from $T/in when it
# exists (then removed), else from /dev/null.
run() {
  local input=/dev/null
  [ -f "$T/in" ] && input="$T/in"
  "$TIMEOUT" 30 "$BIN" "$@" <"$input" >"$T/out" 2>"$T/err"
  rc=$?
  rm -f "$T/in"
}
q() { run --store "$S" "$@"; }
stdin() { printf "$@" >"$T/in"; }
out() { cat "$T/out"; }
err() { cat "$T/err"; }
expect_rc() { [ "$rc" = "$1" ] || fail "$2: exit status $rc, wanted $1 (stderr: $(err))"; }
expect_out() { [ "$(out)" = "$1" ] || fail "$2: output '$(out)', wanted '$1'"; }
expect_err() { [ "$(err)" = "$1" ] || fail "$2: stderr '$(err)', wanted '$1'"; }
make_png() { { printf '\x89PNG\r\n\x1a\n'; printf '%s' "$1"; } >"$2"; }
# A fake program NAME in $T/bin whose body is the rest of the arguments.
fake() {
  local name=$1
  shift
  mkdir -p "$T/bin"
  printf '#!/bin/sh\n%s\n' "$*" >"$T/bin/$name"
  chmod +x "$T/bin/$name"
}
# A PATH with the fakes and the few real tools they use, nothing else.
mkdir -p "$T/basics"
for tool in cat head grep rm sh tee printf; do
  ln -s "$(command -v "$tool")" "$T/basics/$tool"
done
FAKEPATH="$T/bin:$T/basics"

# --- list --picker -------------------------------------------------------------
S="$T/picker"
mkdir -p "$S"
# Previews as a hand-edited index may hold them: tabs, line breaks and
# control characters must not break a line apart.
cat >"$S/clips.json" <<'EOF'
{"next_id": 4, "clips": [
 {"id": 1, "ts": 1700000000, "kind": "text", "preview": "a\tb\nc\r\nd\u001b[31me", "pinned": false, "hash": "", "truncated": false, "text": "a\tb\nc\r\nd\u001b[31me"},
 {"id": 2, "ts": 1700000001, "kind": "text", "preview": "h\u00e9llo w\u00f6rld", "pinned": true, "hash": "", "truncated": false, "text": "h\u00e9llo w\u00f6rld"},
 {"id": 3, "ts": 1700000002, "kind": "text", "preview": "second", "pinned": false, "hash": "", "truncated": false, "text": "second"}
]}
EOF
q list --picker
expect_rc 0 "list --picker"
expect_out "$(printf '3\tsecond\n2\th\xc3\xa9llo w\xc3\xb6rld\n1\ta b\xe2\x86\xb5c \xe2\x86\xb5d [31me')" \
  "list --picker lines"
q list --picker --limit 2 --offset 1
expect_out "$(printf '2\th\xc3\xa9llo w\xc3\xb6rld\n1\ta b\xe2\x86\xb5c \xe2\x86\xb5d [31me')" \
  "list --picker --limit --offset"
q list
grep -q '^\[{"id":3,' "$T/out" || fail "list without --picker is no longer JSON: $(out)"
q list --picker --json
expect_rc 2 "list --picker --json"
# Every clip, not a page of 50.
S="$T/many"
for i in $(seq 1 60); do q push "clip $i"; done
make_png "pixels" "$T/a.png"
q push-image "$T/a.png" --label shot
q list --picker
[ "$(wc -l <"$T/out")" = 61 ] || fail "list --picker printed $(wc -l <"$T/out") lines, not 61"
[ "$(head -n1 "$T/out")" = "$(printf '61\t[image 14 bytes: shot]')" ] || fail "image line: $(head -n1 "$T/out")"
[ "$(tail -n1 "$T/out")" = "$(printf '1\tclip 1')" ] || fail "oldest line: $(tail -n1 "$T/out")"
printf '' >"$T/in"
q list --picker
[ "$(grep -c $'^[0-9]\+\t' "$T/out")" = 61 ] || fail "a picker line without ID<TAB>"

# --- get - and copy - ----------------------------------------------------------
S="$T/picker"
# What standard input holds, and the exit status and output of get -.
while IFS='|' read -r input want_rc want_out; do
  printf -- "$input" >"$T/in"
  q get -
  expect_rc "$want_rc" "get - of '$input'"
  [ "$want_rc" != 0 ] || expect_out "$want_out" "get - of '$input'"
done <<'EOF'
3\tsecond\n|0|second
3\tsecond|0|second
3\n|0|second
3|0|second
  3\tsecond|0|second
3 anything\nmore lines\n|0|second
3\r\n|0|second
99\tgone\n|1|
x3\n|2|
3x\n|2|
-3\n|2|
99999999999\n|2|
\tsecond\n|2|
\n|2|
|1|
EOF
stdin 'abc\tdef\n'
q get -
expect_err "quillmar-clip: standard input does not start with a clip id: 'abc def' (give a line of 'quillmar-clip list --picker', or an id)
usage: quillmar-clip get ID|- [--output FILE]
(quillmar-clip --help lists every command)" "get - of a line without an id"
q get -
expect_err "quillmar-clip: no clip id on standard input: nothing was picked" "get - of nothing"
fake xclip 'echo "$@" >"'"$T/xclip.args"'"; cat >"'"$T/xclip.in"'"'
stdin '2\th\xc3\xa9llo\n'
DISPLAY=:99 PATH="$FAKEPATH" q copy -
expect_rc 0 "copy -"
expect_out "clip 2 is on the clipboard (xclip)" "copy -"
[ "$(cat "$T/xclip.in")" = "$(printf 'h\xc3\xa9llo w\xc3\xb6rld')" ] || fail "copy - gave xclip '$(cat "$T/xclip.in")'"
stdin 'nope\n'
q copy -
expect_rc 2 "copy - of a line without an id"
grep -q '^usage: quillmar-clip copy ID|-$' "$T/err" || fail "copy - usage line: $(err)"

# --- pick ------------------------------------------------------------------------
S="$T/picker"
# The picker gets exactly the lines of list --picker.
q list --picker
cp "$T/out" "$T/lines"
QUILLMAR_PICKER="tee '$T/picker.in' | grep llo" q pick --print
expect_rc 0 "pick --print"
expect_out "$(printf 'h\xc3\xa9llo w\xc3\xb6rld')" "pick --print"
cmp -s "$T/picker.in" "$T/lines" || fail "the picker was given: $(cat "$T/picker.in")"
QUILLMAR_PICKER='head -n1' DISPLAY=:99 PATH="$FAKEPATH" q pick
expect_rc 0 "pick"
expect_out "clip 3 is on the clipboard (xclip)" "pick"
[ "$(cat "$T/xclip.in")" = second ] || fail "pick put '$(cat "$T/xclip.in")' on the clipboard"
# Cancelled: a picker that fails or prints nothing; an answer not from the list.
for picker in false true 'cat >/dev/null; exit 130' 'echo 2; exit 1'; do
  QUILLMAR_PICKER="$picker" q pick --print
  expect_rc 1 "pick cancelled by '$picker'"
  expect_out "" "pick cancelled by '$picker'"
  expect_err "quillmar-clip: nothing picked" "pick cancelled by '$picker'"
done
QUILLMAR_PICKER='echo free text' q pick --print
expect_rc 1 "pick of a line not in the list"
expect_err "quillmar-clip: the picker's answer is not a line of the list: 'free text'" \
  "pick of a line not in the list"
QUILLMAR_PICKER='no-such-picker-here' q pick --print
expect_rc 1 "pick with a picker that is not installed"
grep -qF "quillmar-clip: cannot run the picker no-such-picker-here (exit status 127)" "$T/err" ||
  fail "a missing picker: $(err)"
# Without QUILLMAR_PICKER: the first one installed, fzf only on a terminal.
PATH="$T/basics" q pick
expect_rc 1 "pick without a picker"
expect_err "quillmar-clip: no picker found: install fzf (in a terminal), rofi, wofi, fuzzel, bemenu or dmenu, or name one in QUILLMAR_PICKER (such as 'fzf --height 40%')" \
  "pick without a picker"
for p in fzf rofi wofi fuzzel bemenu dmenu; do
  fake "$p" 'echo '"$p"' "$@" >"'"$T/picked"'"; grep second'
done
pick_in_session() { PATH="$FAKEPATH" "$TIMEOUT" 30 "$SETSID" -w "$BIN" --store "$S" pick --print \
  </dev/null >"$T/out" 2>"$T/err"; }
for p in rofi wofi fuzzel bemenu dmenu; do
  pick_in_session
  expect_out second "pick through $p"
  grep -q "^$p" "$T/picked" || fail "pick ran $(cat "$T/picked"), not $p"
  rm "$T/bin/$p"
done
grep -qx "dmenu" "$T/picked" || fail "dmenu ran as: $(cat "$T/picked")"
fake rofi 'echo rofi "$@" >"'"$T/picked"'"; grep second'
pick_in_session
grep -qx "rofi -dmenu" "$T/picked" || fail "rofi ran as: $(cat "$T/picked")"
PATH="$FAKEPATH" "$TIMEOUT" 30 "$SCRIPT" -qec "$(printf '%q ' "$BIN" --store "$S" pick --print)" \
  /dev/null >"$T/out" 2>&1
grep -qx "fzf" "$T/picked" || fail "on a terminal pick ran $(cat "$T/picked"), not fzf"
S="$T/empty"
QUILLMAR_PICKER=cat q pick
expect_rc 1 "pick from an empty history"
expect_err "quillmar-clip: nothing to pick: the history is empty (start recording with 'quillmar-clip watch')" \
  "pick from an empty history"

# --- the list table: a footer when the page hides clips ----------------------------
# on_terminal ARGS...: the program with its output on a terminal (script(1)).
on_terminal() {
  COLUMNS=80 "$TIMEOUT" 30 "$SCRIPT" -qec "$(printf '%q ' "$BIN" --store "$S" "$@")" /dev/null |
    tr -d '\r' >"$T/out"
}
S="$T/many"
# Arguments | the last line of the table.
while IFS='|' read -r args want; do
  # shellcheck disable=SC2086
  on_terminal list $args
  [ "$(tail -n1 "$T/out")" = "$want" ] || fail "list $args ends in '$(tail -n1 "$T/out")', wanted '$want'"
done <<'EOF'
|50 of 61: --limit or --offset for more
--limit 3|3 of 61: --limit or --offset for more
--offset 10 --limit 5|clips 11-15 of 61: --limit or --offset for more
--offset 60|clip 61 of 61: --limit or --offset for more
--offset 61|nothing to show: --offset 61 skips all 61 clips
EOF
on_terminal list --limit 61
tail -n1 "$T/out" | grep -q '^ 1  .*clip 1$' || fail "a page of every clip has a footer: $(tail -n1 "$T/out")"
[ "$(wc -l <"$T/out")" = 62 ] || fail "list --limit 61 printed $(wc -l <"$T/out") lines"
on_terminal list --limit 3
[ "$(wc -l <"$T/out")" = 5 ] || fail "list --limit 3: $(out)"
q list --limit 3
grep -q 'for more' "$T/out" && fail "the footer reached a pipe: $(out)"
S="$T/fresh"
on_terminal list
expect_out "no clips yet: start recording with 'quillmar-clip watch' (or 'systemctl --user enable --now quillmar-clip-watch.service')" \
  "list of an empty history"
q list
expect_out "[]" "list of an empty history through a pipe"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
