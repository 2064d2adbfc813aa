#!/usr/bin/env bash
# End-to-end test of quillmar-clip recover: a history is made with the real
# program, its index damaged in every way (cut at every record boundary and
# inside records, a byte changed in a text, an invalid UTF-8 sequence, a
# record missing a member, a zero-length file), and recover must give back
# every whole record exactly, with the image files that no clip names, and
# nothing else, never evicting a clip of the history, and say what it could
# not give back. Also: watch and stats say once that a damaged index is set
# aside.
#
#   cli_recover.sh path/to/quillmar-clip
set -u

BIN=${1:?usage: cli_recover.sh path/to/quillmar-clip}
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export HOME="$T/home" XDG_DATA_HOME="$T/xdg-unused" XDG_CONFIG_HOME="$T/config" LC_ALL=C.UTF-8
unset CLIPBOARD_STATE DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"

. "$(dirname "$0")/lib.sh"
die() {
  echo "FAIL: $*" >&2
  exit 1
}

expect_out_has() { grep -qF -- "$1" "$T/out" || fail "$2: output '$(out)' lacks '$1'"; }
expect_err_has() { grep -qF -- "$1" "$T/err" || fail "$2: stderr '$(err)' lacks '$1'"; }

# Four 1x1 PNG images (red, green, blue, grey), whole: they decode.
png() {
  local b64
  case $1 in
    red) b64=iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAADElEQVR4nGP4z8AAAAMBAQDJ/pLvAAAAAElFTkSuQmCC ;;
    green) b64=iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAADElEQVR4nGNg+M8AAAICAQB7CYF4AAAAAElFTkSuQmCC ;;
    blue) b64=iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAADElEQVR4nGNgYPgPAAEDAQAIicLsAAAAAElFTkSuQmCC ;;
    grey) b64=iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAADElEQVR4nGPg5OQEAAA6ABztCJuOAAAAAElFTkSuQmCC ;;
  esac
  printf '%s' "$b64" | base64 -d >"$2"
}
for c in red green blue grey; do png "$c" "$T/$c.png"; done

# describe: one line per clip of $S, oldest first: its kind, whether it is
# pinned, a checksum of its bytes (a text, or an image file), and for an
# image the end of its preview (": label]" or "]").
describe() {
  local line id kind pinned preview sum
  q list --json --limit 100000
  sed 's/^\[//; s/\]$//; s/},{/}\n{/g' "$T/out" | tac >"$T/listed"
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    id=$(printf '%s' "$line" | sed -n 's/^{"id":\([0-9]*\),.*/\1/p')
    kind=$(printf '%s' "$line" | sed -n 's/.*"kind":"\([a-z]*\)".*/\1/p')
    pinned=$(printf '%s' "$line" | sed -n 's/.*"pinned":\([a-z]*\)}$/\1/p')
    preview=$(printf '%s' "$line" | sed -n 's/.*"preview":"\(.*\)","pinned".*/\1/p')
    if [ "$kind" = image ]; then
      sum=$("$TIMEOUT" 30 "$BIN" --store "$S" get "$id" --output - | md5sum | cut -c1-32)
      printf 'image %s %s %s\n' "$pinned" "$sum" "${preview#*bytes}"
    else
      sum=$("$TIMEOUT" 30 "$BIN" --store "$S" get "$id" | md5sum | cut -c1-32)
      printf 'text %s %s\n' "$pinned" "$sum"
    fi
  done <"$T/listed"
}
count() { q list --json --limit 100000; grep -o '"id":' "$T/out" | wc -l; }
snapshot() { (cd "$S" && find . -printf '%p %s %T@\n' | sort && cat ./* 2>/dev/null | md5sum); }

# A history of every kind of clip, oldest first: texts with line breaks,
# quotation marks and characters beyond ASCII, a pinned text, labelled and
# unlabelled images (one pinned), an empty label.
S="$T/orig"
q push 'alpha'
q push "$(printf 'two lines\nwith "quotes", \\ and \xc3\xa9\xf0\x9f\x98\x80 {"id": 5}')"
q push 'pinned text'
q pin 3
q push-image "$T/red.png" --label 'login page'
q push-image "$T/green.png"
q pin 5
q push 'delta'
q push-image "$T/blue.png" --label ''
q push 'omega'
[ "$(count)" = 8 ] || die "the history was not made: $(out) $(err)"
describe >"$T/orig.clips"
cp "$S/clips.json" "$T/orig.json"
# Where each record ends (one past its "}") and starts.
mapfile -t ends < <(grep -bo '^        }' "$T/orig.json" | cut -d: -f1 | awk '{print $1 + 9}')
mapfile -t starts < <(grep -bo '^        {' "$T/orig.json" | cut -d: -f1 | awk '{print $1 + 8}')
[ "${#ends[@]}" = 8 ] && [ "${#starts[@]}" = 8 ] || die "unexpected index layout"

# damaged NAME [aside]: a new store $S with the history's image files and
# the damaged index $T/bad.json as its clips.json, or with aside as an index
# set aside already (damage that keeps it valid JSON, such as a changed
# text, is for the library an index like any other).
damaged() {
  S="$T/$1"
  rm -rf "$S"
  mkdir -p "$S"
  cp "$T/orig"/img_*.png "$S/"
  if [ "${2:-}" = aside ]; then
    cp "$T/bad.json" "$S/clips.json.corrupt.1700000000"
  else
    cp "$T/bad.json" "$S/clips.json"
  fi
}

# expected CUT: what recover gives back of the index cut after CUT bytes:
# the records that lie whole before the cut, then the images of the others
# (from their files, without a pin or a label), oldest first.
expected() {
  local k=0 line
  while IFS= read -r line; do
    if [ "${ends[$k]}" -le "$1" ]; then
      echo "$line"
    elif [ "${line%% *}" = image ]; then
      set -- "$1" $line
      printf 'image false %s ]\n' "$4"
      set -- "$1"
    fi
    k=$((k + 1))
  done <"$T/orig.clips"
}

# --- cut at every record boundary, and inside every record -----------------
cuts=(0 "${starts[0]}")
for k in "${!ends[@]}"; do
  cuts+=("${ends[$k]}" $((ends[k] - 12)) $((starts[k] + 30)))
done
cuts+=($(($(stat -c %s "$T/orig.json") - 1)))
for cut in "${cuts[@]}"; do
  head -c "$cut" "$T/orig.json" >"$T/bad.json"
  damaged cut
  q recover
  [ "$rc" = 0 ] || fail "recover of the index cut at $cut: exit status $rc ($(err))"
  # An empty index is no index for the library: nothing is set aside.
  if [ "$cut" -gt 0 ]; then
    expect_err_has "clips.json in $S was damaged: it was set aside as clips.json.corrupt." \
      "cut at $cut: the set-aside"
    ls "$S"/clips.json.corrupt.* >/dev/null 2>&1 || fail "cut at $cut: the set-aside file is gone"
  fi
  describe >"$T/got"
  expected "$cut" >"$T/want"
  cmp -s "$T/got" "$T/want" || fail "cut at $cut: got
$(cat "$T/got")
wanted
$(cat "$T/want")"
done
# A record cut in two is named, with the byte where it starts.
head -c $((ends[3] - 12)) "$T/orig.json" >"$T/bad.json"
damaged cut
q recover
expect_out_has "not recoverable: record 4 (byte ${starts[3]}): the file ends inside it" \
  "a record cut in two"
expect_out_has "recovered 6 clips (1 pinned)" "the summary"
# Every image file is now named by a clip: the copies recover made replaced
# the files no clip named.
q verify
grep -q 'no clip names this image' "$T/out" && fail "recover left image files behind: $(out)"

# --- damage inside one record: it alone is lost -------------------------------
# change OFFSET BYTES: $T/bad.json is the history's index with BYTES written
# at OFFSET.
change() {
  cp "$T/orig.json" "$T/bad.json"
  printf "$2" | dd of="$T/bad.json" bs=1 seek="$1" conv=notrunc status=none
}
# without K: the lines of $T/orig.clips but the K-th (from 1).
without() { sed "${1}d" "$T/orig.clips"; }
text_at=$(grep -bo '"text": "delta"' "$T/orig.json" | cut -d: -f1)
while IFS='|' read -r what offset bytes record why; do
  change "$offset" "$bytes"
  damaged flip aside
  q recover
  expect_rc 0 "$what"
  expect_out_has "not recoverable: record $record (byte ${starts[$((record - 1))]}): $why" "$what"
  describe >"$T/got"
  without "$record" >"$T/want"
  cmp -s "$T/got" "$T/want" || fail "$what: got
$(cat "$T/got")
wanted
$(cat "$T/want")"
done <<EOF
a byte changed in a text|$((text_at + 10))|D|6|its text does not match its fingerprint ("hash")
an invalid UTF-8 sequence in a text|$((text_at + 10))|\\377|6|it is not valid JSON (
a record missing its pin|$(grep -bo '"pinned": true' "$T/orig.json" | head -1 | cut -d: -f1)|"pinnex"|3|it has no "pinned"
a record's id broken|$((starts[0] + 20))|"x|1|it is not valid JSON (
EOF

# A damaged image record: its file comes back without the label and the pin
# it had, as an image that no whole record names.
label_at=$(grep -bo '"label": "login page"' "$T/orig.json" | cut -d: -f1)
change $((label_at + 10)) 'L'
damaged label aside
q recover
expect_out_has "not recoverable: record 4 (byte ${starts[3]}): its label does not match its preview" \
  "a damaged label"
expect_out_has "added: img_4.png (no clip named it) as clip " "a damaged label's image"

# A zero-length file, named: nothing in it, and nothing added.
S="$T/empty"
mkdir -p "$S"
: >"$S/clips.json.corrupt.1700000000"
q recover clips.json.corrupt.1700000000
expect_rc 0 "recover of a zero-length file"
expect_out_has "recovering clips.json.corrupt.1700000000: 0 bytes, 0 records found, 0 whole" \
  "recover of a zero-length file"
[ "$(count)" = 0 ] || fail "a zero-length file gave clips"

# --- image files that no clip names --------------------------------------------
S="$T/orphans"
q push 'kept'
cp "$T/grey.png" "$S/img_77.png"
printf '\x89PNG\r\n\x1a\nnot an image' >"$S/img_78.png"
head -c 40 "$T/red.png" >"$S/img_79.png"
q recover
expect_rc 0 "recover of image files"
expect_out_has "no damaged index is set aside in $S: recovering the image files that no clip names" \
  "recover without an index"
expect_out_has "added: img_77.png (no clip named it) as clip 2: image, " "an orphaned image"
expect_out_has "not recoverable: img_78.png (no clip named it): it is not a whole PNG image (" \
  "a file that is not a PNG image"
expect_out_has "not recoverable: img_79.png (no clip named it): it is not a whole PNG image (" \
  "a PNG image cut short"
[ ! -e "$S/img_77.png" ] || fail "the orphaned image's file stayed beside its copy"
cmp -s "$S/img_2.png" "$T/grey.png" || fail "the orphaned image's copy differs"
[ -e "$S/img_78.png" ] && [ -e "$S/img_79.png" ] || fail "recover removed a file it did not save"
q recover
expect_out_has "recovered 0 clips" "a second recover of image files"
S="$T/nothing"
q push 'only'
q recover
expect_rc 0 "recover of a sound store"
expect_out "nothing to recover: no damaged index is set aside in $S, and every image file in it belongs to a clip" \
  "recover of a sound store"

# --- what the history holds already is not added again; dry runs --------------
head -c "${ends[4]}" "$T/orig.json" >"$T/bad.json"
damaged twice
q list
before=$(snapshot)
q recover --dry-run
expect_rc 0 "recover --dry-run"
expect_out_has "would add: record 1 (byte ${starts[0]}): text, 5 bytes: alpha" "--dry-run"
expect_out_has "would add: record 4 (byte ${starts[3]}): image, " "--dry-run of an image"
expect_out_has "would recover 6 clips (2 pinned)" "--dry-run summary"
[ "$(snapshot)" = "$before" ] || fail "recover --dry-run changed the store"
q recover
expect_out_has "recovered 6 clips (2 pinned)" "the first recover"
describe >"$T/first"
q recover
expect_rc 0 "a second recover"
# The history set aside named images up to img_7.png: the new one goes on
# from clip 8, so that no copy takes the name of a file recover reads.
expect_out_has "already in the history: record 1 (byte ${starts[0]}), as clip 8" "a second recover"
expect_out_has "recovered 0 clips" "a second recover"
describe >"$T/second"
cmp -s "$T/first" "$T/second" || fail "a second recover changed the history"

# --- FILE ------------------------------------------------------------------
cp "$T/bad.json" "$T/elsewhere.json"
S="$T/file"
q push 'here'
q recover "$T/elsewhere.json" --dry-run
expect_out_has "recovering $T/elsewhere.json: " "recover of a path"
q recover no-such-file
expect_rc 1 "recover of a missing file"
expect_err_has "cannot read $S/no-such-file: No such file or directory" "recover of a missing file"
run --store "$T/no-store" recover
expect_rc 1 "recover without a store"
[ ! -e "$T/no-store" ] || fail "recover made a store"

# --- never evicting: a full history, and the pin cap ------------------------
# index N PINNED: an index of N one-line texts ("clip 1" ...), all pinned or
# none.
index() {
  local i sep=""
  printf '{"next_id": %s, "clips": [' $(($1 + 1))
  for i in $(seq 1 "$1"); do
    printf '%s{"id": %s, "kind": "text", "pinned": %s, "text": "clip %s", "preview": "clip %s"}' \
      "$sep" "$i" "$2" "$i" "$i"
    sep=,
  done
  printf ']}'
}
# aside: sets two records aside in $S, an unpinned one then a pinned one.
aside() {
  { head -c "${starts[0]}" "$T/orig.json"
    tail -c +$((starts[1] + 1)) "$T/orig.json" | head -c $((ends[2] - starts[1])); } \
    >"$S/clips.json.corrupt.1700000000"
}
S="$T/full"
mkdir -p "$S"
index 500 false >"$S/clips.json"
aside
before=$(md5sum <"$S/clips.json")
q recover
expect_rc 1 "recover into a full history"
expect_out_has "not added: record 2 (byte " "recover into a full history"
expect_out_has "no room beside the history's 500 unpinned clips (at most 500 are kept" "recover into a full history"
[ "$(md5sum <"$S/clips.json")" = "$before" ] || fail "recover changed a full history"
# One place left: the pinned clip, the newer, takes it; the other is refused
# rather than evicting the oldest clip.
S="$T/one-left"
mkdir -p "$S"
index 499 false >"$S/clips.json"
aside
q recover
expect_rc 1 "recover with one place left"
expect_out_has "added: record 2 (byte " "recover with one place left"
[ "$(count)" = 500 ] || fail "recover with one place left: $(count) clips"
q get 1
expect_out "clip 1" "recover with one place left evicted the oldest clip"
S="$T/pins"
mkdir -p "$S"
index 200 true >"$S/clips.json"
aside
q recover
expect_rc 1 "recover beside 200 pinned clips"
expect_out_has "no room beside the history's 200 pinned clips (at most 200 may be pinned)" \
  "recover beside 200 pinned clips"
[ "$(count)" = 201 ] || fail "recover beside 200 pinned clips: $(count) clips"

# --- a write that fails midway ------------------------------------------------
# The image's copy cannot be written (a directory on the temporary name of
# clip 11, which record 4 becomes after records 1-3 as clips 8-10): recover
# stops there, and the image's own file is left as it was.
head -c "${ends[4]}" "$T/orig.json" >"$T/bad.json"
damaged midway
q list
mkdir "$S/img_11.png.tmp"
q recover
expect_rc 1 "recover that fails midway"
expect_out_has "not added: record 4 (byte ${starts[3]}): failed to open blob tmp: " \
  "recover that fails midway"
expect_out_has "not added: record 5 (byte ${starts[4]}): recover stopped at the failure above" \
  "recover that fails midway"
[ "$(count)" = 3 ] || fail "recover that fails midway kept $(count) clips"
cmp -s "$S/img_4.png" "$T/orig/img_4.png" || fail "the image's own file changed"
ls "$S"/clips.json.corrupt.* >/dev/null 2>&1 || fail "the set-aside file is gone"
rmdir "$S/img_11.png.tmp"
q recover
expect_rc 0 "recover after the failure"
describe >"$T/got"
expected "${ends[4]}" >"$T/want"
cmp -s "$T/got" "$T/want" || fail "recover after a failure: got
$(cat "$T/got")"
# The index cannot be written: nothing is added.
damaged no-index
q list
mkdir "$S/clips.json.tmp"
before=$(md5sum <"$S/clips.json")
q recover
expect_rc 1 "recover that cannot write the index"
expect_out_has "not added: record 1 (byte ${starts[0]}): failed to " \
  "recover that cannot write the index"
[ "$(md5sum <"$S/clips.json")" = "$before" ] || fail "the index changed"

# --- watch and stats say once that a damaged index is set aside ------------------
S="$T/notice"
q push 'x'
printf '{"clips": [' >"$S/clips.json.corrupt.1700000000"
q stats
expect_rc 0 "stats"
expect_err "quillmar-clip: a damaged index was set aside in $S as clips.json.corrupt.1700000000: its clips are not in the history; 'quillmar-clip recover' gives them back" \
  "stats on a set-aside index"
[ -f "$T/notice.noticed" ] || fail "no marker beside the store"
q stats
expect_err "" "a second stats"
printf '{"clips": [' >"$S/clips.json.corrupt.1700000000.1"
# Without a display, watch opens the store and then gives up.
q watch
expect_err_has "a damaged index was set aside in $S as clips.json.corrupt.1700000000.1 (and 1 older)" \
  "watch on a newer set-aside index"
q stats
expect_err "" "stats after watch"
# An index set aside by this very stats: said once, naming recover.
printf '{' >"$S/clips.json"
q stats
[ "$(grep -c 'recover' "$T/err")" = 1 ] || fail "stats said twice: $(err)"
expect_err_has "and the history starts empty ('quillmar-clip recover' gives its clips back)" \
  "stats that sets an index aside"
q stats
expect_err "" "stats after that"

# --- help, man page, completion ----------------------------------------------------
run --help
grep -q '^  recover \[FILE\] \[--dry-run\]' "$T/out" || fail "--help does not document recover"
run completion bash
expect_out_has "recover" "the completion script"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all recover tests passed"
