#!/usr/bin/env bash
# End-to-end test of reading images for words on a real X server: starts
# Xvfb, runs the watcher against a temporary store, copies a rendered
# screenshot and right after it a text, and checks that the image is
# recorded first, labelled with its words, and the text after it; that an
# image that takes too long is recorded without words; and that store and
# ocr read images too. Every wait is bounded, and everything started is
# stopped on exit. Exits 77 (skipped) when Xvfb, xclip or Tesseract with its
# English data is missing.
#
#   ocr_watch.sh path/to/quillmar-clip
set -u

BIN=${1:?usage: ocr_watch.sh path/to/quillmar-clip}
FIXTURE="$(dirname "$0")/data/ocr-words.png"
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
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null
    timeout 10 tail --pid="$xvfb" -f /dev/null 2>/dev/null
  fi
  rm -rf "$T"
}
trap stop_all EXIT
export HOME="$T" XDG_DATA_HOME="$T/data" XDG_CONFIG_HOME="$T/config" LC_ALL=C.UTF-8
unset WAYLAND_DISPLAY CLIPBOARD_STATE QUILLMAR_OCR_DEADLINE_MS

. "$(dirname "$0")/lib.sh"

die() {
  echo "FAIL: $*" >&2
  [ -f "$T/watch.out" ] && sed 's/^/watch: /' "$T/watch.out" "$T/watch.err" >&2
  exit 1
}

q() { timeout 60 "$BIN" --store "$S" "$@"; }
if ! q stats | grep -q '^ocr        on'; then
  echo "SKIPPED: images cannot be read here: $(q stats | sed -n 's/^ocr        //p')"
  exit 77
fi
rm -rf "$S"

# What store records from standard input is read too; a reading that takes
# longer than its time records the image without words.
q store <"$FIXTURE" >/dev/null || fail "store refused the image"
q list --json | grep -qF '"preview":"[image 3985 bytes: Invoice 4711 ssh deploy@example.org]"' ||
  fail "store did not label the image with its words: $(q list --json)"
q wipe --yes >/dev/null
QUILLMAR_OCR_DEADLINE_MS=1 q store <"$FIXTURE" >/dev/null || fail "store refused the image"
q list --json | grep -qF '"preview":"[image 3985 bytes]"' ||
  fail "an image read too slowly got a label: $(q list --json)"
# ocr reads it now, and prints its words.
[ "$(q ocr 1)" = "Invoice 4711 ssh deploy@example.org" ] || fail "ocr 1 printed '$(q ocr 1)'"
q wipe --yes >/dev/null

start_xvfb

set_clipboard() {
  local args=(-quiet -selection clipboard -i "$1")
  [ $# -ge 2 ] && args+=(-t "$2")
  xclip "${args[@]}" >/dev/null 2>>"$T/xclip.err" &
  helpers+=($!)
}

"$BIN" --store "$S" watch >"$T/watch.out" 2>"$T/watch.err" &
watcher=$!
wait_line "^watching CLIPBOARD on $DISPLAY into $S" 1

# The screenshot, and a text copied while it is being read.
set_clipboard "$FIXTURE" image/png
wait_line '^CLIPBOARD: ' 1
printf 'copied right after the screenshot' >"$T/after"
set_clipboard "$T/after"
wait_line '^CLIPBOARD: text clip ' 1
wait_line '^CLIPBOARD: 4 words read in the image' 1
[ "$(q list --json | grep -o '"preview":"[^"]*"' | head -n 2 | tr '\n' ' ')" = \
  '"preview":"copied right after the screenshot" "preview":"[image 3985 bytes: Invoice 4711 ssh deploy@example.org]" ' ] ||
  fail "the image and the text after it were recorded as $(q list --json)"
grep -q 'Invoice' "$T/watch.out" "$T/watch.err" && fail "the words were written to the log"

# A watcher that stops while an image is being read records it without words.
kill "$watcher"
timeout 10 tail --pid="$watcher" -f /dev/null
watcher=""
QUILLMAR_OCR_DEADLINE_MS=1 "$BIN" --store "$S" watch >"$T/watch.out" 2>"$T/watch.err" &
watcher=$!
wait_line "^watching CLIPBOARD on $DISPLAY into $S" 1
{ cat "$FIXTURE"; printf 'x'; } >"$T/other.png"
set_clipboard "$T/other.png" image/png
wait_line '^CLIPBOARD: image recorded without words: reading it took longer than 0.001 s' 1
wait_line '^CLIPBOARD: image clip 3 (3986 bytes)$' 1

if [ "$failures" -gt 0 ]; then
  sed 's/^/watch: /' "$T/watch.out" "$T/watch.err" >&2
  exit 1
fi
echo "ocr_watch: all checks passed"
