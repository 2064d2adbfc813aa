# shellcheck shell=bash
# Helpers shared by the end-to-end tests of quillmar-clip; each test sources
# this file from its own directory:
#
#   . "$(dirname "$0")/lib.sh"
#
# The helpers read, when called, what the test has set up: T (its temporary
# directory), BIN (the program), S (the store), watch_out (the file the
# watcher prints to) and die (how the test gives up). A test whose commands
# run differently defines its own run and q after sourcing this file.

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# --- running the program against a store -----------------------------------

# Found once, so that a test may run the program with a PATH of fakes.
TIMEOUT=$(command -v timeout)

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
# q ARGS...: run against the store $S.
q() { run --store "$S" "$@"; }
stdin() { printf "$@" >"$T/in"; }
out() { cat "$T/out"; }
err() { cat "$T/err"; }
expect_rc() { [ "$rc" = "$1" ] || fail "$2: exit status $rc, wanted $1 (stderr: $(err))"; }
expect_out() { [ "$(out)" = "$1" ] || fail "$2: output '$(out)', wanted '$1'"; }
expect_err() { [ "$(err)" = "$1" ] || fail "$2: stderr '$(err)', wanted '$1'"; }
# make_png BODY FILE: a file that starts as a PNG does, then BODY.
make_png() { { printf '\x89PNG\r\n\x1a\n'; printf '%s' "$1"; } >"$2"; }

# --- bounded waits -----------------------------------------------------------

# until_true SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds
# or SECONDS have passed.
until_true() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.1
  done
}
# lines PATTERN: how many lines of the watcher's output match PATTERN.
lines() {
  if [ -f "$watch_out" ]; then grep -c -- "$1" "$watch_out"; else echo 0; fi
}
# wait_line PATTERN N: until the watcher has printed N lines matching PATTERN.
wait_line() {
  has_lines() { [ "$(lines "$1")" -ge "$2" ]; }
  until_true 20 has_lines "$1" "$2" || die "the watcher never printed '$1' ($2 times)"
}

# --- an X server ---------------------------------------------------------------

# start_xvfb [SIZE]: an Xvfb on a display it picks itself (written to fd 3),
# its pid in $xvfb and its name in $DISPLAY, once it takes clients.
# -noreset: by default it resets whenever its last client leaves, and a
# client that connects during the reset is refused ("Can't open display").
start_xvfb() {
  Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 "${1:-320x240}x24" 3>"$T/display" >"$T/xvfb.log" 2>&1 &
  xvfb=$!
  has_display() { [ -s "$T/display" ]; }
  until_true 20 has_display || die "Xvfb did not start: $(cat "$T/xvfb.log")"
  export DISPLAY=":$(head -n1 "$T/display")"
  # The server names its display before it takes clients on a busy machine;
  # a client that comes too early is refused ("Can't open display").
  x_ready() {
    ! xclip -o -selection secondary 2>&1 >/dev/null | grep -q "Can't open display"
  }
  until_true 20 x_ready || die "Xvfb took no clients on $DISPLAY: $(cat "$T/xvfb.log")"
}

# stop_pid PID: asks PID to end (SIGTERM) and waits up to 10 s for it; no
# PID, nothing.
stop_pid() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null
  timeout 10 tail --pid="$1" -f /dev/null 2>/dev/null
}
