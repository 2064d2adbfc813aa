#!/usr/bin/env bash
# End-to-end test of pick with real pickers, as a person uses them: fzf in a
# terminal (tmux), where typing upper-case text finds a lower-case clip and
# the preview pane shows the whole clip; and rofi on an X server (Xvfb),
# typed at with xdotool. Every wait is bounded, and everything started is
# stopped on exit. Exits 77 (skipped) when none of the pickers can be tried.
#
#   pickers.sh path/to/quillmar-clip
set -u

BIN=${1:?usage: pickers.sh path/to/quillmar-clip}
BIN=$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")
have() { command -v "$1" >/dev/null 2>&1; }
tried=0

T=$(mktemp -d)
S="$T/store"
xvfb=""
helpers=()
stop_all() {
  [ -S "$T/tmux.sock" ] && tmux -S "$T/tmux.sock" kill-server 2>/dev/null
  for p in "${helpers[@]}"; do
    [ -n "$p" ] && kill "$p" 2>/dev/null
  done
  for p in "${helpers[@]}"; do
    [ -n "$p" ] && timeout 10 tail --pid="$p" -f /dev/null 2>/dev/null
  done
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null
    timeout 10 tail --pid="$xvfb" -f /dev/null 2>/dev/null
  fi
  rm -rf "$T"
}
trap stop_all EXIT
export HOME="$T/home" XDG_DATA_HOME="$T/data" XDG_CONFIG_HOME="$T/config" LC_ALL=C.UTF-8
unset WAYLAND_DISPLAY DISPLAY CLIPBOARD_STATE QUILLMAR_PICKER
mkdir -p "$HOME"

. "$(dirname "$0")/lib.sh"

die() {
  echo "FAIL: $*" >&2
  exit 1
}
q() { timeout 30 "$BIN" --store "$S" "$@"; }

q push "the lazy dog sleeps" >/dev/null
q push $'The quick brown fox\njumps over the lazy dog\nthird line of the fox' >/dev/null
q push "pinned note" >/dev/null
q pin 3
q push "Wir sehen uns in München" >/dev/null

# --- fzf in a terminal -----------------------------------------------------------
if have tmux && have fzf; then
  tried=1
  TM=(tmux -S "$T/tmux.sock")
  screen() { "${TM[@]}" capture-pane -p -t pick; }
  shows() { screen | grep -qF -- "$1"; }
  # fzf draws on standard error, which stays the terminal's.
  pick_in_tmux() {
    rm -f "$T/picked.out" "$T/picked.rc"
    "${TM[@]}" new-session -d -s pick -x 160 -y 30 \
      "env TERM=xterm-256color $(printf '%q ' "$BIN" --store "$S" pick --print) \
      >'$T/picked.out'; echo \$? >'$T/picked.rc'; sleep 30"
  }
  picked() { [ -s "$T/picked.rc" ]; }
  pick_in_tmux
  until_true 20 shows 'clip>' || die "fzf did not start: $(screen)"
  # Pinned clips first, with their count.
  shows '1 pinned' || fail "fzf does not say how many clips are pinned: $(screen)"
  # Upper case finds lower case, and the preview pane shows the whole clip.
  "${TM[@]}" send-keys -t pick -l 'FOX'
  until_true 10 shows 'third line of the fox' || fail "fzf's preview does not show the whole clip: $(screen)"
  shows "jumps over the lazy dog" || fail "the preview lost a line: $(screen)"
  "${TM[@]}" send-keys -t pick Enter
  until_true 10 picked || die "pick did not end after Enter: $(screen)"
  [ "$(cat "$T/picked.rc")" = 0 ] || fail "pick through fzf ended with $(cat "$T/picked.rc"): $(screen)"
  [ "$(cat "$T/picked.out")" = $'The quick brown fox\njumps over the lazy dog\nthird line of the fox' ] ||
    fail "pick through fzf printed '$(cat "$T/picked.out")'"
  "${TM[@]}" kill-session -t pick
  # Unicode upper case too; Escape cancels quietly.
  pick_in_tmux
  until_true 20 shows 'clip>' || die "fzf did not start again: $(screen)"
  "${TM[@]}" send-keys -t pick -l 'MÜNCHEN'
  until_true 10 shows 'Wir sehen uns in München' || fail "fzf with MÜNCHEN: $(screen)"
  "${TM[@]}" send-keys -t pick Escape
  until_true 10 picked || die "pick did not end after Escape: $(screen)"
  [ "$(cat "$T/picked.rc")" = 1 ] && ! shows 'quillmar-clip:' ||
    fail "a cancel through fzf: status $(cat "$T/picked.rc"), $(screen)"
  "${TM[@]}" kill-server
else
  echo "note: tmux or fzf is not installed, fzf is not tried"
fi

# --- rofi on an X server ---------------------------------------------------------
if have Xvfb && have rofi && have xdotool; then
  tried=1
  Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 800x600x24 3>"$T/display" >"$T/xvfb.log" 2>&1 &
  xvfb=$!
  has_display() { [ -s "$T/display" ]; }
  until_true 20 has_display || die "Xvfb did not start: $(cat "$T/xvfb.log")"
  DISPLAY=":$(head -n1 "$T/display")"
  export DISPLAY
  x_ready() { xdotool getmouselocation >/dev/null 2>&1; }
  until_true 20 x_ready || die "Xvfb took no clients on $DISPLAY"
  # pick from a hotkey: no terminal, so the first graphical picker, rofi.
  pick_on_x() {
    rm -f "$T/rofi.out"
    setsid -w timeout 60 "$BIN" --store "$S" pick "${@:---print}" </dev/null >"$T/rofi.out" 2>"$T/rofi.err" &
    picker=$!
    helpers+=("$picker")
  }
  rofi_up() { xdotool search --class rofi >/dev/null 2>&1; }
  pick_on_x
  until_true 20 rofi_up || die "rofi did not open: $(cat "$T/rofi.err")"
  sleep 0.5 # rofi grabs the keyboard once its window is up
  xdotool type --delay 50 'LAZY DOG SLEEPS'
  xdotool key Return
  timeout 20 tail --pid="$picker" -f /dev/null
  wait "$picker"
  status=$?
  [ "$status" = 0 ] || fail "pick through rofi ended with $status: $(cat "$T/rofi.err")"
  [ "$(cat "$T/rofi.out")" = "the lazy dog sleeps" ] || fail "pick through rofi printed '$(cat "$T/rofi.out")'"
  # Typed text that matches nothing cannot be picked; Escape cancels quietly.
  pick_on_x
  until_true 20 rofi_up || die "rofi did not open again: $(cat "$T/rofi.err")"
  sleep 0.5
  xdotool type --delay 50 'zebra'
  xdotool key Return
  sleep 0.5
  rofi_up || fail "rofi took typed text that matches no clip"
  xdotool key Escape
  timeout 20 tail --pid="$picker" -f /dev/null
  wait "$picker"
  status=$?
  [ "$status" = 1 ] && [ ! -s "$T/rofi.out" ] ||
    fail "a cancel through rofi: status $status, '$(cat "$T/rofi.out")', '$(cat "$T/rofi.err")'"
  # pick --paste into a terminal: xterm pasting the clipboard on
  # ctrl+shift+v, as terminals do, with a shell line reading what comes.
  if have xterm && have xclip; then
    xterm -T paste-target -xrm 'XTerm*VT100.translations: #override Ctrl Shift <Key>V: insert-selection(CLIPBOARD)' \
      -e sh -c "read -r line; printf '%s' \"\$line\" >'$T/typed'" >/dev/null 2>&1 &
    helpers+=($!)
    xterm_up() { xdotool search --onlyvisible --name paste-target >/dev/null 2>&1; }
    until_true 20 xterm_up || die "xterm did not open"
    xdotool windowfocus --sync "$(xdotool search --onlyvisible --name paste-target | head -n1)"
    pick_on_x --paste --paste-keys ctrl+shift+v
    until_true 20 rofi_up || die "rofi did not open for the paste: $(cat "$T/rofi.err")"
    sleep 0.5
    xdotool type --delay 50 'SLEEPS'
    xdotool key Return
    timeout 20 tail --pid="$picker" -f /dev/null
    wait "$picker"
    status=$?
    [ "$status" = 0 ] || fail "pick --paste ended with $status: $(cat "$T/rofi.err")"
    [ "$(cat "$T/rofi.out")" = "clip 1 is on the clipboard (xclip)
pasted with ctrl+shift+v (xdotool)" ] || fail "pick --paste said '$(cat "$T/rofi.out")'"
    xdotool key Return
    typed() { [ -s "$T/typed" ]; }
    until_true 10 typed || fail "nothing reached the terminal"
    [ "$(cat "$T/typed")" = "the lazy dog sleeps" ] || fail "the terminal got '$(cat "$T/typed")'"
  else
    echo "note: xterm or xclip is not installed, pick --paste is not tried"
  fi
else
  echo "note: Xvfb, rofi or xdotool is not installed, rofi is not tried"
fi

if [ "$tried" = 0 ]; then
  echo "SKIPPED: neither fzf with tmux nor rofi with Xvfb and xdotool is installed"
  exit 77
fi
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
