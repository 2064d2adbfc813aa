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

. "$(dirname "$0")/lib.sh"

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

# --- the config file -----------------------------------------------------------
# config LINES...: writes the config file, one argument a line.
config() {
  mkdir -p "$(dirname "$CONFIG")"
  printf '%s\n' "$@" >"$CONFIG"
}

# A broken file stops store and watch with exit status 2 and a message that
# names the line and the key; nothing is recorded by defaults.
S="$T/broken"
store_text "before"
while IFS='|' read -r body message; do
  mkdir -p "$(dirname "$CONFIG")"
  printf "$body" >"$CONFIG"
  for cmd in store watch; do
    if [ "$cmd" = store ]; then store_text "not to be recorded"; else q watch; fi
    expect_rc 2 "$cmd with a config of '$body'"
    case "$message" in
      *'...') grep -qF -- "quillmar-clip: $CONFIG, ${message%...}" "$T/err" ||
        fail "$cmd with a config of '$body': stderr '$(err)', wanted '${message%...}...'" ;;
      *) expect_err "quillmar-clip: $CONFIG, $message" "$cmd with a config of '$body'" ;;
    esac
  done
done <<'EOF_CASES'
ignore = [|line 1: not valid TOML: ...
min_length = 3\nmin_length = 4|line 2: not valid TOML: ...
min_length = "3"|line 1: min_length must be a whole number of bytes, 0 or more, not a string
min_length = -1|line 1: min_length must be a whole number of bytes, 0 or more, not -1
min_length = 2.5|line 1: min_length must be a whole number of bytes, 0 or more, not a floating-point number
primary = 1|line 1: primary must be true or false, not an integer
\n\nkeep_duplicates = "yes"|line 3: keep_duplicates must be true or false, not a string
picker = true|line 1: picker must be a string (a shell command), not a boolean
min_length = 1\ncolour = "red"|line 2: unknown key "colour" (the keys are ignore, min_length, primary, keep_duplicates, picker, ocr and ocr_languages)
[watch]\nprimary = true|line 1: unknown key "watch" (the keys are ignore, min_length, primary, keep_duplicates, picker, ocr and ocr_languages)
ignore = "^otpauth:"|line 1: ignore must be a list of regular expressions, such as ["^otpauth://"], not a string
ignore = [\n  "fine",\n  3,\n]|line 3: ignore[2] must be a string (a regular expression), not an integer
ignore = ["fine", "a(b"]|line 1: ignore[2] "a(b" is not a valid regular expression (RE2 syntax): missing ): a(b
ignore = ["(?=x)"]|line 1: ignore[1] "(?=x)" is not a valid regular expression (RE2 syntax): invalid perl operator: (?=
ignore = ["x{1001}"]|line 1: ignore[1] "x{1001}" is not a valid regular expression (RE2 syntax): invalid repetition size: {1001}
ignore = ['(ab)\\1']|line 1: ignore[1] "(ab)\1": back-references such as \1 are not supported
EOF_CASES
[ "$(texts)" = before ] || fail "a broken config let something be recorded: $(texts)"
rm "$CONFIG" && mkdir "$CONFIG"
store_text "not to be recorded"
expect_rc 2 "store with a directory for a config file"
expect_err "quillmar-clip: cannot read the config file $CONFIG: Is a directory" \
  "store with a directory for a config file"
rmdir "$CONFIG"
# A FIFO in its place is refused at once, not waited on.
mkfifo "$CONFIG"
printf 'not to be recorded' >"$T/in"
"$TIMEOUT" 10 "$BIN" --store "$S" store <"$T/in" >"$T/out" 2>"$T/err"
rc=$?
rm -f "$T/in" "$CONFIG"
expect_rc 2 "store with a FIFO for a config file"
expect_err "quillmar-clip: cannot read the config file $CONFIG: not a regular file" \
  "store with a FIFO for a config file"

# ignore and min_length keep texts out; images are not texts.
S="$T/rules"
config '# what never to record' \
  'ignore = ["^otpauth://", "password[:=]", "^.*never-there", "(?i)pass\\s*phrase", ".*secret$"]' \
  'min_length = 3'
while IFS='|' read -r text reason; do
  store_text "$text"
  expect_rc 0 "store of '$text'"
  expect_err "quillmar-clip: standard input not recorded: $reason" "store of '$text'"
  expect_out "" "store of '$text'"
done <<'EOF_CASES'
ab|it is shorter than min_length (2 of 3 bytes)
otpauth://totp/me?secret=JBSWY3DP|it matches the ignore pattern "^otpauth://"
my password=hunter2|it matches the ignore pattern "password[:=]"
my PassPhrase is long|it matches the ignore pattern "(?i)pass\s*phrase"
PASS PHRASE|it matches the ignore pattern "(?i)pass\s*phrase"
it is my secret|it matches the ignore pattern ".*secret$"
EOF_CASES
store_text "abc"
expect_out '{"id":1,"dedup":0}' "a text of min_length bytes"
store_text "see otpauth://totp/x"
expect_out '{"id":2,"dedup":0}' "a text that matches no pattern"
# Texts of 1 MiB, where a backtracking matcher takes hours over ".*secret$"
# or exhausts its stack over "^.*never-there": each is judged, and recorded
# or skipped.
head -c 1048576 /dev/zero | tr '\0' 'x' >"$T/in"
q store
expect_out '{"id":3,"dedup":0}' "a 1 MiB text that matches no pattern"
{ head -c 1048570 /dev/zero | tr '\0' 'y'; printf secret; } >"$T/in"
q store
expect_err 'quillmar-clip: standard input not recorded: it matches the ignore pattern ".*secret$"' \
  "a 1 MiB text that ends in a pattern"
printf '\x89PNG\r\n\x1a\n' >"$T/in"
q store
expect_out '{"id":4}' "an image shorter than min_length"
# Without XDG_CONFIG_HOME the file is ~/.config/quillmar-clip/config.toml.
mkdir -p "$HOME/.config/quillmar-clip"
echo 'min_length = 100' >"$HOME/.config/quillmar-clip/config.toml"
printf 'short' >"$T/in"
XDG_CONFIG_HOME= q store
expect_err "quillmar-clip: standard input not recorded: it is shorter than min_length (5 of 100 bytes)" \
  "the config under HOME"
rm -r "$HOME/.config"
rm "$CONFIG"

# --- a repeat moves to the top -------------------------------------------------
S="$T/repeats"
for t in alpha beta gamma; do store_text "$t"; done
store_text alpha
expect_out '{"id":4,"dedup":0}' "a repeat of the oldest clip"
[ "$(ids)" = "4 3 2" ] || fail "a repeat left ids $(ids)"
[ "$(texts | tr '\n' ' ')" = "alpha gamma beta " ] || fail "a repeat left $(texts)"
store_text alpha
expect_out '{"id":4,"dedup":1}' "a repeat of the newest clip"
# A pinned twin stays where it is and nothing is added.
q pin 2
store_text beta
expect_out '{"id":2,"dedup":1}' "a repeat of a pinned clip"
[ "$(ids)" = "4 3 2" ] || fail "a repeat of a pinned clip left ids $(ids)"
# --keep-duplicates, or the config key, records the repeat as a new clip;
# the command line wins over the file.
store_text gamma --keep-duplicates
expect_out '{"id":5,"dedup":0}' "store --keep-duplicates"
[ "$(ids)" = "5 4 3 2" ] || fail "--keep-duplicates left ids $(ids)"
config 'keep_duplicates = true'
store_text alpha
expect_out '{"id":6,"dedup":0}' "keep_duplicates = true"
store_text beta --no-keep-duplicates
expect_out '{"id":2,"dedup":1}' "--no-keep-duplicates over the file"
# Of two copies made while duplicates were kept, the newer one moves up.
store_text gamma --no-keep-duplicates
expect_out '{"id":7,"dedup":0}' "--no-keep-duplicates over the file"
[ "$(ids)" = "7 6 4 3 2" ] || fail "a repeat of two copies left ids $(ids)"
rm "$CONFIG"
# Texts whose previews are the same are not repeats of each other.
long=$(printf 'x%.0s' $(seq 1 130))
store_text "${long}one"
store_text "${long}two"
store_text "${long}one"
expect_out '{"id":10,"dedup":0}' "a repeat among texts of one preview"
q get 9
[ "$(out)" = "${long}two" ] || fail "a text with the same preview was taken for a repeat"
q get 8
expect_rc 1 "the older copy of a repeat is gone"
# An image that repeats an older one moves up with the older one's label,
# and its file goes with it.
printf '\x89PNG\r\n\x1a\nsome picture' >"$T/pic.png"
q push-image "$T/pic.png" --label "the logo"
old=$(sed -n 's/^{"id":\([0-9]*\)}$/\1/p' "$T/out")
store_text "in between"
cp "$T/pic.png" "$T/in"
q store
new=$(sed -n 's/^{"id":\([0-9]*\)}$/\1/p' "$T/out")
[ -n "$new" ] && [ "$new" -gt "$old" ] || fail "a repeated image: $(out)"
[ ! -e "$S/img_$old.png" ] || fail "the older copy's image file is left"
cmp -s "$S/img_$new.png" "$T/pic.png" || fail "the image moved up changed"
q list --json --limit 1
grep -qF '"preview":"[image 20 bytes: the logo]"' "$T/out" || fail "the label was lost: $(out)"

# history N NEXT_ID [IMAGE]: a store $S of N unpinned texts "text 1".."text
# N", except that clip IMAGE is the picture $T/precious.png labelled
# "precious".
printf '\x89PNG\r\n\x1a\nprecious picture' >"$T/precious.png"
history() {
  rm -rf "$S" && mkdir -p "$S"
  {
    printf '{"next_id": %d, "clips": [' "$2"
    for i in $(seq 1 "$1"); do
      [ "$i" -gt 1 ] && printf ','
      if [ "$i" = "${3:-}" ]; then
        printf '\n {"id": %d, "ts": %d, "kind": "image", "preview": "[image 24 bytes: precious]", "pinned": false, "hash": "", "truncated": false, "label": "precious"}' \
          "$i" "$((1700000000 + i))"
        cp "$T/precious.png" "$S/img_$i.png"
      else
        printf '\n {"id": %d, "ts": %d, "kind": "text", "preview": "text %d", "pinned": false, "hash": "", "truncated": false, "text": "text %d"}' \
          "$i" "$((1700000000 + i))" "$i" "$i"
      fi
    done
    printf '\n]}'
  } >"$S/clips.json"
}
# has_ids IDS...: whether every one of IDS is in the history.
has_ids() {
  local all=" $(ids) " id
  for id in "$@"; do
    case "$all" in *" $id "*) ;; *) return 1 ;; esac
  done
}

# A repeat in a full history: the new copy is stored first, which evicts
# the oldest clip as any new clip does (the older copy itself when that is
# the oldest), and then the older copy goes.
# clips|repeated|ids that must be gone|ids that must stay|clips left
S="$T/full"
while IFS='|' read -r n text gone kept left; do
  history "$n" "$((n + 1))"
  store_text "$text"
  expect_out "{\"id\":$((n + 1)),\"dedup\":0}" "a repeat of '$text' in a history of $n"
  [ "$(ids | wc -w)" = "$left" ] || fail "a repeat of '$text' left $(ids | wc -w) clips, wanted $left"
  for id in $gone; do has_ids "$id" && fail "a repeat of '$text' left clip $id"; done
  has_ids $kept || fail "a repeat of '$text' lost one of $kept: ids $(ids)"
done <<'EOF_CASES'
500|text 1|1|2 500 501|500
500|text 250|1 250|2 249 251 500 501|499
499|text 250|250|1 2 499 500|499
EOF_CASES

# When the new copy cannot be stored, the older one stays where it was,
# whatever the history holds, and the message says so. The ids can be used
# up, or the image file not written (a directory at its temporary name).
# clips|next id|the repeated clip (image: the picture)|its id|the library's message
S="$T/refused"
while IFS='|' read -r n next text id why; do
  if [ "$text" = image ]; then
    history "$n" "$next" "$id"
    mkdir "$S/img_$next.png.tmp"
    cp "$T/precious.png" "$T/in"
    q store
  else
    history "$n" "$next"
    store_text "$text"
  fi
  what="a refused repeat of clip $id in a history of $n"
  expect_rc 1 "$what"
  case "$(err | tail -n 1)" in
    "quillmar-clip: $why"*"; clip $id stays where it was") ;;
    *) fail "$what: stderr '$(err)'" ;;
  esac
  [ "$(ids | wc -w)" = "$n" ] || fail "$what left $(ids | wc -w) clips"
  has_ids 1 "$id" "$n" || fail "$what lost a clip: ids $(ids)"
  if [ "$text" = image ]; then
    cmp -s "$S/img_$id.png" "$T/precious.png" || fail "$what lost the picture"
    q list --json --limit 1000
    grep -qF "{\"id\":$id,\"ts\":$((1700000000 + id)),\"kind\":\"image\",\"preview\":\"[image 24 bytes: precious]\"" \
      "$T/out" || fail "$what lost the label"
    rmdir "$S/img_$next.png.tmp"
  else
    [ "$(q get "$id" && out)" = "$text" ] || fail "$what changed it"
  fi
  q verify
  expect_rc 0 "verify after $what"
done <<'EOF_CASES'
2|2147483647|text 1|1|clip ids exhausted (next id 2147483647): wipe the store to start again at 1
500|2147483647|text 1|1|clip ids exhausted (next id 2147483647): wipe the store to start again at 1
500|2147483647|text 250|250|clip ids exhausted (next id 2147483647): wipe the store to start again at 1
500|501|image|1|
500|501|image|250|
EOF_CASES

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
