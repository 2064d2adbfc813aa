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
SETSID=$(command -v setsid)
SCRIPT=$(command -v script)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export HOME="$T/home" XDG_DATA_HOME="$T/xdg-unused" XDG_CONFIG_HOME="$T/config" LC_ALL=C.UTF-8
unset CLIPBOARD_STATE DISPLAY WAYLAND_DISPLAY QUILLMAR_PICKER
mkdir -p "$HOME"

. "$(dirname "$0")/lib.sh"

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
# The config file's picker when QUILLMAR_PICKER names none, which wins; a
# broken file stops pick with status 2, unless QUILLMAR_PICKER names one.
mkdir -p "$XDG_CONFIG_HOME/quillmar-clip"
printf 'picker = "grep llo"\n' >"$XDG_CONFIG_HOME/quillmar-clip/config.toml"
q pick --print
expect_rc 0 "pick with the config file's picker"
expect_out "$(printf 'h\xc3\xa9llo w\xc3\xb6rld')" "pick with the config file's picker"
QUILLMAR_PICKER='head -n1' q pick --print
expect_out second "pick with QUILLMAR_PICKER over the config file"
printf 'picker = 3\n' >"$XDG_CONFIG_HOME/quillmar-clip/config.toml"
q pick --print
expect_rc 2 "pick with a broken config file"
expect_out "" "pick with a broken config file"
grep -q 'config.toml, line 1: .*picker' "$T/err" || fail "pick with a broken config file said: $(err)"
QUILLMAR_PICKER='head -n1' q pick --print
expect_rc 0 "pick with QUILLMAR_PICKER and a broken config file"
rm -r "$XDG_CONFIG_HOME"
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
# script passes its standard input on to the terminal, so it gets none: in
# the loop below it would take the rest of the table and echo it.
on_terminal() {
  COLUMNS=80 "$TIMEOUT" 30 "$SCRIPT" -qec "$(printf '%q ' "$BIN" --store "$S" "$@")" /dev/null </dev/null |
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

# --- import --------------------------------------------------------------------
# The history of $S without times: what an export and an import keep.
history() {
  q list --json --limit 100000
  sed 's/"ts":[0-9]*,//g' "$T/out"
}
contents() {
  local id
  for id in $(history | grep -o '"id":[0-9]*' | cut -d: -f2); do
    q get "$id" -o -
    printf '%s:' "$id"
    md5sum <"$T/out"
  done
}
checksum() { (cd "$S" && cat ./* 2>/dev/null | md5sum); }
S="$T/roundtrip"
q push "oldest"
make_png "first image" "$T/b.png"
q push-image "$T/b.png" --label 'a "label" ✓'
q push $'line one\nline two\ttabbed\n'
q push-image "$T/a.png"
q push "pinned in the middle"
q pin 5
q push ""
q push $'h\xc3\xa9llo'
q pin 1
before_history=$(history)
before_contents=$(contents)
q export "$T/backup"
q wipe --yes
q import "$T/backup"
expect_rc 0 "import"
expect_out "imported 7 clips from $T/backup as ids 1-7 (2 pinned); their times are the time of the import" \
  "import"
[ "$(history)" = "$before_history" ] || fail "import changed the history: $(history), was $before_history"
[ "$(contents)" = "$before_contents" ] || fail "import changed the clips' contents"
# Into a history that holds clips: the imported ones come on top, in order.
S="$T/nonempty"
q push "mine"
q import "$T/backup"
expect_out "imported 7 clips from $T/backup as ids 2-8 (2 pinned); their times are the time of the import" \
  "import into a history with clips"
q list --picker
[ "$(head -n1 "$T/out")" = "$(printf '8\th\xc3\xa9llo')" ] && [ "$(tail -n1 "$T/out")" = "$(printf '1\tmine')" ] ||
  fail "import into a history with clips: $(out)"
# A first clip that repeats the newest one is merged with it.
S="$T/merged"
q push $'h\xc3\xa9llo'
q push "oldest"
q import "$T/backup"
expect_out "imported 7 clips from $T/backup as ids 3-8 (2 pinned); 1 repeated the clip before it and was merged with it; their times are the time of the import" \
  "import that starts with the newest clip"

# Refused before anything is recorded: the message | how to spoil the export.
spoil() {
  rm -rf "$T/spoilt"
  cp -r "$T/backup" "$T/spoilt"
  (cd "$T/spoilt" && eval "$1")
}
set_manifest() { printf '%s' "$1" >manifest.json; }
S="$T/refused"
q push "keep me"
while IFS='|' read -r want how; do
  spoil "$how"
  before=$(checksum)
  q import "$T/spoilt"
  expect_rc 1 "import of a manifest with $how"
  grep -qF -- "$want" "$T/err" || fail "import ($how): stderr '$(err)' lacks '$want'"
  [ "$(checksum)" = "$before" ] || fail "a refused import ($how) changed the store"
done <<'EOF'
it holds no manifest.json|rm manifest.json
manifest.json is not JSON: |set_manifest '{"clips": ['
it has no "clips" list|set_manifest '[1, 2]'
entry 1: not an object|set_manifest '{"clips": [7]}'
entry 1: "kind" is not "text" or "image"; nothing was imported|set_manifest '{"clips": [{"kind": "video", "file": "text-1.txt"}]}'
entry 1: "file" is not the name of a file in the directory|set_manifest '{"clips": [{"kind": "text", "file": "../backup/text-1.txt"}]}'
entry 1: "file" is not the name|set_manifest '{"clips": [{"kind": "text", "file": ".."}]}'
entry 1: "pinned" is not true or false|set_manifest '{"clips": [{"kind": "text", "file": "text-1.txt", "pinned": "yes"}]}'
entry 1: "label" is not the text|set_manifest '{"clips": [{"kind": "text", "file": "text-1.txt", "label": "x"}]}'
entry 1: "label" holds a NUL|set_manifest '{"clips": [{"kind": "image", "file": "image-4.png", "label": "a\u0000b"}]}'
entry 7: cannot read |rm text-1.txt
entry 6: cannot read |rm image-2.png
is not a regular file|rm text-3.txt && mkdir text-3.txt
text-1.txt is not a regular file; nothing was imported|printf secret >../secret && rm text-1.txt && ln -s ../secret text-1.txt
entry 6: |mkfifo image-2.png.fifo && rm image-2.png && mv image-2.png.fifo image-2.png
not the manifest's "bytes"|printf x >>text-1.txt
is not UTF-8 text without NUL bytes|printf '\377' >text-6.txt && set_manifest '{"clips": [{"kind": "text", "file": "text-6.txt"}]}'
is not UTF-8 text without NUL bytes|printf 'a\000b' >text-6.txt && set_manifest '{"clips": [{"kind": "text", "file": "text-6.txt"}]}'
is empty|: >e.png && set_manifest '{"clips": [{"kind": "image", "file": "e.png"}]}'
is larger than a clip may be (1.0 MiB)|head -c 1048577 /dev/zero | tr '\0' x >text-6.txt && set_manifest '{"clips": [{"kind": "text", "file": "text-6.txt"}]}'
nothing to import: |set_manifest '{"clips": []}'
EOF
# The caps: pinned clips, and unpinned ones that would evict the history's.
# many_clips N PINNED: a manifest of N one-line texts, all pinned or none.
many_clips() {
  local i sep=""
  mkdir -p "$T/many-export"
  rm -f "$T/many-export"/*
  {
    printf '{"clips": ['
    for i in $(seq 1 "$1"); do
      printf 'clip %s' "$i" >"$T/many-export/text-$i.txt"
      printf '%s{"kind": "text", "file": "text-%s.txt", "pinned": %s}' "$sep" "$i" "$2"
      sep=,
    done
    printf ']}'
  } >"$T/many-export/manifest.json"
}
S="$T/caps"
q push "pinned already"
q pin 1
before=$(checksum)
many_clips 200 true
q import "$T/many-export"
expect_rc 1 "import of too many pinned clips"
expect_err "quillmar-clip: cannot import $T/many-export: its 200 pinned clips and the history's 1 are more than the 200 that may be pinned; nothing was imported" \
  "import of too many pinned clips"
[ "$(checksum)" = "$before" ] || fail "a refused import changed the store"
many_clips 500 false
q push "unpinned"
before=$(checksum)
q import "$T/many-export"
expect_rc 1 "import that would evict"
expect_err "quillmar-clip: cannot import $T/many-export: its 500 unpinned clips and the history's 1 are more than the 500 kept, so the oldest 1 would be evicted; wipe, delete or expire clips first; nothing was imported" \
  "import that would evict"
[ "$(checksum)" = "$before" ] || fail "a refused import changed the store"
q delete 2
q import "$T/many-export"
expect_rc 0 "import of 500 unpinned clips beside a pinned one"
[ "$(history | grep -o '"id":' | wc -l)" = 501 ] || fail "import of 500 clips kept $(history | grep -o '"id":' | wc -l)"
# A pinned clip is recorded unpinned, then pinned: at that moment it needs
# room among the unpinned clips too, or it would evict the oldest.
# unpinned clips held|the manifest's clips, oldest first (P pinned, U not)|the refusal
# ("" when it fits)
S="$T/moment"
while IFS='|' read -r held clips why; do
  rm -rf "$S" "$T/moment-export" && mkdir -p "$S" "$T/moment-export"
  {
    printf '{"next_id": %d, "clips": [' "$((held + 1))"
    for i in $(seq 1 "$held"); do
      [ "$i" -gt 1 ] && printf ','
      printf '\n {"id": %d, "ts": 1700000000, "kind": "text", "preview": "held %d", "pinned": false, "hash": "", "text": "held %d"}' \
        "$i" "$i" "$i"
    done
    printf '\n]}'
  } >"$S/clips.json"
  manifest="" i=0
  for kind in $clips; do
    i=$((i + 1))
    printf 'imported %s' "$i" >"$T/moment-export/text-$i.txt"
    pinned=false
    [ "$kind" = P ] && pinned=true
    # The manifest lists the newest first.
    manifest="{\"kind\": \"text\", \"file\": \"text-$i.txt\", \"pinned\": $pinned}${manifest:+, $manifest}"
  done
  printf '{"clips": [%s]}' "$manifest" >"$T/moment-export/manifest.json"
  before=$(checksum)
  q import "$T/moment-export"
  what="import of $clips into $held unpinned clips"
  if [ -n "$why" ]; then
    expect_rc 1 "$what"
    expect_err "quillmar-clip: cannot import $T/moment-export: $why; nothing was imported" "$what"
    [ "$(checksum)" = "$before" ] || fail "a refused $what changed the store"
  else
    expect_rc 0 "$what"
    [ "$(history | grep -o '"id":' | wc -l)" = $((held + i)) ] || fail "$what evicted a clip"
  fi
done <<'EOF_CASES'
500|P|a pinned clip is recorded unpinned before it is pinned, and the history's 500 unpinned clips leave it no room among the 500 kept, so the oldest would be evicted; delete or expire an unpinned clip first
499|U P|a pinned clip is recorded unpinned before it is pinned, and the history's 499 unpinned clips and the 1 imported before it leave it no room among the 500 kept, so the oldest would be evicted; delete or expire an unpinned clip first
499|P|
499|P U|
498|U P P|
EOF_CASES
# A clip the library refuses midway: the message says exactly what is in.
S="$T/midway"
mkdir -p "$S"
printf '{"next_id": 2147483645, "clips": []}' >"$S/clips.json"
q import "$T/backup"
expect_rc 1 "import that fails midway"
expect_err "quillmar-clip: import stopped at text-3.txt: clip ids exhausted (next id 2147483647): wipe the store to start again at 1; imported 2 of 7 clips, oldest first: text-1.txt as 2147483645, image-2.png as 2147483646" \
  "import that fails midway"

# --- usage errors in the house style, and every command's --help --------------------
S="$T/usage"
# Arguments | the reason given; each one exits 2 with the command's usage line.
while IFS='|' read -r args why usage; do
  # shellcheck disable=SC2086
  run $args
  expect_rc 2 "usage error '$args'"
  expect_err "quillmar-clip: $why
usage: quillmar-clip $usage
(quillmar-clip --help lists every command)" "usage error '$args'"
done <<'EOF'
|missing COMMAND|[--store DIR] COMMAND [ARGS]
--bogus|unknown option: --bogus|[--store DIR] COMMAND [ARGS]
frob|unknown command: frob|[--store DIR] COMMAND [ARGS]
--store|--store needs a value|[--store DIR] COMMAND [ARGS]
get|missing ID|get ID|- [--output FILE]
get abc|not a clip id: abc|get ID|- [--output FILE]
get 0x3|not a clip id: 0x3|get ID|- [--output FILE]
get 1 --output|--output needs a value|get ID|- [--output FILE]
pin 1x|not a clip id: 1x|pin ID
push|missing TEXT|push TEXT
push a b c|unexpected arguments: b c|push TEXT
list --bogus|unknown option: --bogus|list [--offset N] [--limit N] [--json | --picker]
list --limit 0|--limit takes a number of 1 or more, not 0|list [--offset N] [--limit N] [--json | --picker]
list --offset -1|--offset takes a number of 0 or more, not -1|list [--offset N] [--limit N] [--json | --picker]
list --limit 99999999999|--limit takes a number from 1 to 2147483647, not 99999999999|list [--offset N] [--limit N] [--json | --picker]
list --json=maybe|not a value for --json: maybe|list [--offset N] [--limit N] [--json | --picker]
list --json --picker|--json and --picker cannot be used together|list [--offset N] [--limit N] [--json | --picker]
expire|missing --older-than|expire --older-than DURATION [--dry-run]
import|missing DIR|import DIR
EOF
[ ! -e "$S" ] || fail "a usage error created the store"
for c in watch store push push-image pause resume list search get copy pick pin unpin delete \
  wipe stats verify export import expire; do
  run "$c" --help
  expect_rc 0 "$c --help"
  head -n1 "$T/out" | grep -q "^Usage: quillmar-clip \[--store DIR\] $c\b" || fail "$c --help: $(head -n1 "$T/out")"
  grep -q "^Example: .*quillmar-clip $c\b" "$T/out" || fail "$c --help has no example"
  grep -q "^  -h, --help  *this text$" "$T/out" || fail "$c --help does not describe -h"
  grep -qE 'REQUIRED|TEXT:|\[OPTIONS\]|Positionals' "$T/out" && fail "$c --help has CLI11's own words: $(out)"
  while IFS= read -r line; do
    [ "${#line}" -le 80 ] || fail "$c --help: a line wider than 80 columns: $line"
  done <"$T/out"
done
run get --help
grep -q '^  -o, --output FILE  write the content to FILE (- for standard output)$' "$T/out" ||
  fail "get --help: $(out)"
grep -q "^  ID  *the clip's id, or - to read it from standard input$" "$T/out" || fail "get --help: $(out)"

# --- completion scripts ----------------------------------------------------------
S="$T/picker"
mkdir -p "$T/path"
ln -s "$BIN" "$T/path/quillmar-clip"
mkdir "$S.empty" "$S.damaged"
printf '{"clips": [' >"$S.damaged/clips.json"
# The commands that the Wayland watcher and the scripts run are not for
# people.
for sh in bash zsh fish; do
  run completion "$sh"
  grep -q wayland-capture "$T/out" && fail "the $sh completion offers wayland-capture"
  grep -q "'complete-ids'" "$T/out" && fail "the $sh completion offers complete-ids"
done
run completion bash
expect_rc 0 "completion bash"
cp "$T/out" "$T/completion.bash"
[ ! -e "$HOME/.local/share/quillmar-clipboard-history" ] || fail "completion made a store"
# The words of a command line, the last one being completed (_ for an empty
# word) | the words bash offers, in order. ~S stands for the store $S.
while IFS='|' read -r line want; do
  line=${line//\~S/$S}
  # shellcheck disable=SC2206
  if [[ $line == *" _" ]]; then words=(${line% _} ""); else words=($line); fi
  got=$(PATH="$T/path:$PATH" bash --norc --noprofile -c '
    source "$1"
    complete -p quillmar-clip >/dev/null || exit 3
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _quillmar_clip
    printf "%s\n" "${COMPREPLY[*]}"' bash "$T/completion.bash" "${words[@]}")
  [ "$got" = "$want" ] || fail "bash completes '$line' as '$got', wanted '$want'"
done <<'EOF'
quillmar-clip pi|pick pin
quillmar-clip im|import
quillmar-clip w|watch wipe
quillmar-clip --st|--store
quillmar-clip --store ~S get _|3 2 1
quillmar-clip --store ~S copy _|3 2 1
quillmar-clip --store ~S delete _|3 2 1
quillmar-clip --store ~S get 3 _|
quillmar-clip --store ~S get -o out.txt _|3 2 1
quillmar-clip --store ~S list --p|--picker
quillmar-clip --store ~S list --json --l|--limit
quillmar-clip wipe -|-y --yes -h --help
quillmar-clip completion _|bash zsh fish
quillmar-clip completion z|zsh
quillmar-clip push _|
quillmar-clip --store ~S.typo get _|
quillmar-clip --store ~S.empty get _|
quillmar-clip --store ~S.damaged get _|
quillmar-clip get _|
EOF
[ ! -e "$S.typo" ] || fail "bash completion made the store it was given"
# A Tab reads a store's index where it lies and makes nothing: no index in
# an existing directory, no default store, no damaged index set aside.
[ -z "$(ls -A "$S.empty")" ] || fail "bash completion wrote into $S.empty: $(ls -A "$S.empty")"
[ "$(ls -A "$S.damaged")" = clips.json ] && [ "$(cat "$S.damaged/clips.json")" = '{"clips": [' ] ||
  fail "bash completion changed a damaged store: $(ls -A "$S.damaged")"
[ ! -e "$HOME/.local/share/quillmar-clipboard-history" ] ||
  fail "bash completion made the default store"
# Ids typed in part, from the store given with --store=, with the script
# loaded as the README says.
got=$(bash --norc --noprofile -c 'source <("$1" completion bash); COMP_WORDS=("$1" "--store=$2" pin 1)
  COMP_CWORD=3; _quillmar_clip; printf "%s\n" "${COMPREPLY[*]}"' bash "$BIN" "$T/many")
[ "$got" = "19 18 17 16 15 14 13 12 11 10 1" ] || fail "bash completes 'pin 1' as '$got'"
got=$(cd "$T" && bash --norc --noprofile -c 'source "$1"; COMP_WORDS=(quillmar-clip import back); COMP_CWORD=2
  _quillmar_clip; printf "%s\n" "${COMPREPLY[*]}"' bash "$T/completion.bash")
[ "$got" = backup ] || fail "bash completes 'import back' as '$got'"
if command -v zsh >/dev/null; then
  run completion zsh
  cp "$T/out" "$T/_quillmar-clip"
  zsh -n "$T/_quillmar-clip" || fail "the zsh completion does not parse"
  got=$(HOME="$T/home" zsh -f -c 'autoload -U compinit && compinit -u -d "$HOME/.zcompdump"
    source "$1" && print -r -- ${_comps[quillmar-clip]}' zsh "$T/_quillmar-clip")
  [ "$got" = _quillmar-clip ] || fail "the zsh completion is not registered: '$got'"
else
  echo "zsh not installed: its completion script not checked"
fi
if command -v fish >/dev/null; then
  run completion fish
  cp "$T/out" "$T/quillmar-clip.fish"
  fish --no-config -n "$T/quillmar-clip.fish" || fail "the fish completion does not parse"
  fish_complete() {
    PATH="$T/path:$PATH" HOME="$T/home" fish --no-config -c 'source $argv[1]; complete -C $argv[2]' \
      "$T/quillmar-clip.fish" "$1"
  }
  [ "$(fish_complete "quillmar-clip --store $S get ")" = "$(q list --picker && out)" ] ||
    fail "fish completes ids as: $(fish_complete "quillmar-clip --store $S get ")"
  [ -z "$(fish_complete "quillmar-clip --store $S.typo get ")" ] && [ ! -e "$S.typo" ] ||
    fail "fish completion made the store it was given"
  fish_complete "quillmar-clip pi" | grep -q $'^pick\tChoose a clip' || fail "fish completes commands as: $(fish_complete "quillmar-clip pi")"
  [ "$(fish_complete "quillmar-clip list --pi")" = $'--picker\tprint one line ID<TAB>PREVIEW per clip, every clip' ] ||
    fail "fish completes options as: $(fish_complete "quillmar-clip list --pi")"
else
  echo "fish not installed: its completion script not checked"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
