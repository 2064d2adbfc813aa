#!/usr/bin/env bash
# End-to-end test of `quillmar-clip watch` and `copy` on a real Wayland
# compositor: starts a headless sway, runs the watcher against a temporary
# store with WAYLAND_DISPLAY set, copies with wl-copy (a text with non-ASCII
# characters and line breaks, a PNG image) and checks that every clip
# arrives with its exact bytes, that `copy` serves the clipboard through
# wl-copy, and that SIGTERM and SIGINT end the watcher and every wl-paste it
# started. sway refuses to run as root: run as root, the test creates an
# unprivileged user (and removes it again) and runs everything Wayland as
# that user; run as anyone else, it runs all of it as itself. Every wait is
# bounded, and everything started is stopped by its pid on exit.
# Exits 77 (skipped) when sway or wl-clipboard is missing.
#
#   wayland_watch.sh path/to/quillmar-clip path/to/libquillmar-clipboard-history.so.1
set -u

BIN=${1:?usage: wayland_watch.sh path/to/quillmar-clip path/to/the/library}
LIB=${2:?usage: wayland_watch.sh path/to/quillmar-clip path/to/the/library}
for tool in sway wl-copy wl-paste; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed (the sway and wl-clipboard packages)"
    exit 77
  fi
done

USER_NAME=quillmar-wltest
made_user=0
T=$(mktemp -d)
sway_pid=""
watcher=""
helpers=()

. "$(dirname "$0")/lib.sh"

stop_all() {
  for p in "$watcher" "${helpers[@]}"; do
    [ -n "$p" ] && kill "$p" 2>/dev/null
  done
  for p in "$watcher" "${helpers[@]}"; do
    stop_pid "$p"
  done
  # Last, the compositor: the wl-copy that `copy` leaves serving the
  # clipboard ends with it.
  stop_pid "$sway_pid"
  if [ "$made_user" = 1 ]; then
    # Whatever still runs as the test user was started by this test.
    for p in $(pgrep -u "$USER_NAME"); do kill "$p" 2>/dev/null; done
    for p in $(pgrep -u "$USER_NAME"); do timeout 5 tail --pid="$p" -f /dev/null; done
    userdel "$USER_NAME" 2>/dev/null
  fi
  rm -rf "$T"
}
trap stop_all EXIT

# Everything the test user touches lives under $T: the program and its
# library (the build tree may lie where that user cannot go), the runtime
# directory, a home directory with the store, temporary files, and the
# fixtures.
chmod 0755 "$T"
mkdir -m 0755 "$T/bin" "$T/fix"
mkdir -m 0700 "$T/run" "$T/home" "$T/tmp"
cp "$BIN" "$T/bin/quillmar-clip"
cp -L "$LIB" "$T/bin/$(basename "$LIB")"
chmod 0755 "$T/bin"/*
QB=$T/bin/quillmar-clip
S=$T/home/store

if [ "$(id -u)" = 0 ]; then
  for tool in useradd userdel setpriv; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "SKIPPED: $tool is missing, so no unprivileged user for sway"
      exit 77
    fi
  done
  if ! id -u "$USER_NAME" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin "$USER_NAME" || { echo "FAIL: cannot create $USER_NAME" >&2; exit 1; }
    made_user=1
  fi
  chown "$USER_NAME:" "$T/run" "$T/home" "$T/tmp"
  AS=(setpriv --reuid="$USER_NAME" --regid="$USER_NAME" --clear-groups)
else
  AS=()
fi
# The environment of every command of the session: nothing from ours, and a
# TMPDIR of its own for the buffers that a killed wl-copy leaves behind.
ENV=(env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$T/home" XDG_RUNTIME_DIR="$T/run"
  XDG_CACHE_HOME="$T/home/cache" TMPDIR="$T/tmp" LC_ALL=C.UTF-8 LD_LIBRARY_PATH="$T/bin")


die() {
  echo "FAIL: $*" >&2
  for f in "$T"/watch*.out "$T"/watch*.err; do
    [ -f "$f" ] && sed "s/^/$(basename "$f"): /" "$f" >&2
  done
  [ -f "$T/sway.log" ] && tail -n 20 "$T/sway.log" | sed 's/^/sway: /' >&2
  exit 1
}

# The compositor, with no outputs or input devices of its own, and a
# configuration that starts nothing (not even Xwayland).
printf 'xwayland disable\n' >"$T/sway.conf"
chmod 0644 "$T/sway.conf"
(cd "$T" && exec "${AS[@]}" "${ENV[@]}" WLR_BACKENDS=headless WLR_RENDERER=pixman \
  WLR_LIBINPUT_NO_DEVICES=1 timeout 300 sway -c "$T/sway.conf") >"$T/sway.log" 2>&1 &
sway_pid=$!
socket_name() {
  local s
  for s in "$T"/run/wayland-*; do
    [ -S "$s" ] && { basename "$s"; return 0; }
  done
  return 1
}
has_socket() { socket_name >/dev/null && kill -0 "$sway_pid" 2>/dev/null; }
until_true 30 has_socket || die "sway did not start"
WD=$(socket_name)
ENV+=(WAYLAND_DISPLAY="$WD")
# Runs a command of the session in the foreground, bounded.
run() { (cd "$T" && exec "${AS[@]}" "${ENV[@]}" timeout 30 "$@"); }
q() { run "$QB" --store "$S" "$@"; }
# wl_copy FILE [wl-copy options]: a wl-copy that serves FILE until the next
# owner replaces it.
wl_copy() {
  local file=$1
  shift
  (cd "$T" && exec "${AS[@]}" "${ENV[@]}" timeout 120 wl-copy --foreground "$@") <"$file" \
    >/dev/null 2>>"$T/wl-copy.err" &
  helpers+=($!)
}
# start_watch OUT [watch options]: the watcher, with its output in OUT.out
# and OUT.err and WATCH_ENV added to its environment; $watcher is the
# bounding timeout's pid, $watcher_pid the watcher's own.
WATCH_ENV=()
start_watch() {
  local out=$1
  shift
  (cd "$T" && exec "${AS[@]}" "${ENV[@]}" "${WATCH_ENV[@]}" timeout 240 "$QB" --store "$S" \
    watch "$@") \
    >"$T/$out.out" 2>"$T/$out.err" &
  watcher=$!
  watch_out=$T/$out.out
  has_pid() { watcher_pid=$(pgrep -P "$watcher" | head -n1) && [ -n "$watcher_pid" ]; }
  until_true 20 has_pid || die "the watcher did not start"
}
count() { q list --json --limit 100000 | grep -o '"id":' | wc -l; }
# stop_watch SIGNAL: ends the watcher with SIGNAL and checks that it said
# so, ended with status 0, and left none of its wl-paste children (nor
# anything they started) behind.
stop_watch() {
  local kids pid status
  kids=$(pgrep -P "$watcher_pid")
  [ "$(wc -w <<<"$kids")" -ge 2 ] || fail "the watcher runs $(wc -w <<<"$kids") children: $kids"
  kill "-$1" "$watcher_pid"
  timeout 20 tail --pid="$watcher" -f /dev/null
  wait "$watcher"
  status=$?
  watcher=""
  [ "$status" = 0 ] || fail "the watcher ended with status $status after SIG$1"
  [ "$(tail -n1 "$watch_out")" = stopped ] || fail "the watcher did not say it stopped after SIG$1"
  for pid in $kids; do
    if kill -0 "$pid" 2>/dev/null || [ -n "$(pgrep -g "$pid")" ]; then
      fail "child $pid of the watcher (or its group) outlived SIG$1: $(ps -o pid=,args= -g "$pid")"
    fi
  done
}

# What the clipboard holds when the watcher starts is recorded too.
printf 'there before the watcher' >"$T/fix/t0"
wl_copy "$T/fix/t0"
served() { [ "$(run wl-paste --no-newline 2>/dev/null)" = 'there before the watcher' ]; }
until_true 20 served || die "wl-copy does not serve: $(cat "$T/wl-copy.err")"
start_watch watch
wait_line "^watching CLIPBOARD on $WD into $S " 1
wait_line '^CLIPBOARD: text clip 1 ' 1

# A text with non-ASCII characters and line breaks, byte for byte.
printf 'h\xc3\xa9llo w\xc3\xb6rld \xe2\x9c\x93\nsecond line\r\n\tthird "line"\n' >"$T/fix/t1"
wl_copy "$T/fix/t1" --type 'text/plain;charset=utf-8'
wait_line "^CLIPBOARD: text clip 2 ($(stat -c %s "$T/fix/t1") bytes)$" 1
q get 2 >"$T/got"
cmp -s "$T/got" "$T/fix/t1" || fail "the text arrived as '$(cat "$T/got")'"

# A PNG image, offered as image/png, is one image clip and no text.
base64 -d >"$T/fix/red.png" <<'EOF'
iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8DwHwAFBQIAX8jx0gAAAABJRU5ErkJggg==
EOF
wl_copy "$T/fix/red.png" --type image/png
wait_line '^CLIPBOARD: image clip 3 (70 bytes)$' 1
q get 3 --output - >"$T/got.png"
cmp -s "$T/got.png" "$T/fix/red.png" || fail "the PNG image arrived changed"
[ "$(count)" = 3 ] || fail "three copies made $(count) clips"
# Each capture handed its clip to the watcher, which serves the store.
q stats >"$T/stats.out"
grep -q "^server     pid $watcher_pid since .*, 3 captures recorded$" "$T/stats.out" ||
  fail "stats beside the watcher: $(cat "$T/stats.out")"

# wl-copy without xdg-mime offers a PNG as text: it is still an image.
{ cat "$T/fix/red.png"; printf 'and some more bytes'; } >"$T/fix/red2.png"
wl_copy "$T/fix/red2.png" --type text/plain
wait_line '^CLIPBOARD: image clip 4 (89 bytes)$' 1
q get 4 --output - >"$T/got2.png"
cmp -s "$T/got2.png" "$T/fix/red2.png" || fail "the PNG image offered as text arrived changed"

# Paused, the watcher records nothing.
q pause >/dev/null
printf 'copied while paused' >"$T/fix/t2"
wl_copy "$T/fix/t2"
wait_line '^CLIPBOARD: not recorded, recording is paused$' 1
q resume >/dev/null
[ "$(count)" = 4 ] || fail "a paused watcher recorded a clip"

# copy puts a clip back where wl-paste reads it (and the watcher sees it as
# a new owner).
q copy 2 >"$T/copy.out" 2>&1 || fail "copy 2 failed: $(cat "$T/copy.out")"
grep -q '^clip 2 is on the clipboard (wl-copy)$' "$T/copy.out" || fail "copy said: $(cat "$T/copy.out")"
# Seen again, the older clip moves to the top.
wait_line '^CLIPBOARD: text clip 5 ([0-9]* bytes), moved to the top from clip 2$' 1
run wl-paste --no-newline >"$T/pasted" || fail "wl-paste after copy failed"
cmp -s "$T/pasted" "$T/fix/t1" || fail "copy put '$(cat "$T/pasted")' on the clipboard"
q copy 3 >/dev/null 2>&1 || fail "copy of an image failed"
run wl-paste --type image/png >"$T/pasted.png" || fail "wl-paste --type image/png after copy failed"
cmp -s "$T/pasted.png" "$T/fix/red.png" || fail "copy of an image put other bytes on the clipboard"
# Without wl-copy, copy says what to install (clip 1: the copies above moved
# clips 2 and 3 to the top as repeats).
mkdir -m 0755 "$T/nobin"
q_out=$(run env PATH="$T/nobin" "$QB" --store "$S" copy 1 2>&1)
status=$?
[ "$status" = 1 ] || fail "copy without wl-copy ended with status $status"
[ "$q_out" = "quillmar-clip: cannot copy on Wayland: wl-copy is not installed (install the wl-clipboard package)" ] \
  || fail "copy without wl-copy said: $q_out"

# SIGTERM ends the watcher and its children cleanly.
stop_watch TERM

# --primary follows PRIMARY too, and SIGINT ends it cleanly.
start_watch watch-primary --primary
wait_line '^watching CLIPBOARD and PRIMARY' 1
printf 'a primary selection' >"$T/fix/p1"
wl_copy "$T/fix/p1" --primary
wait_line '^PRIMARY: text clip [0-9]* (19 bytes)$' 1
stop_watch INT

# A password manager's clip. wl-copy offers one content under one family
# of types, so a wl-paste in front of the real one stands in for the extra
# x-kde-passwordManagerHint offer: it adds the hint to the listed types and
# answers it with the content of $T/fix/hint (failing when that is not a
# file), and leaves everything else to wl-paste itself.
real_wl_paste=$(command -v wl-paste)
mkdir -m 0755 "$T/shim"
cat >"$T/shim/wl-paste" <<SHIM
#!/bin/sh
case " \$* " in
*" --list-types "*)
  $real_wl_paste "\$@" || exit
  echo x-kde-passwordManagerHint
  exit 0 ;;
*" x-kde-passwordManagerHint "*)
  [ -f "$T/fix/hint" ] && exec cat "$T/fix/hint"
  exit 1 ;;
esac
exec $real_wl_paste "\$@"
SHIM
chmod 0755 "$T/shim/wl-paste"
printf 'secret' >"$T/fix/hint"
chmod 0644 "$T/fix/hint"
WATCH_ENV=(PATH="$T/shim:/usr/local/bin:/usr/bin:/bin")
start_watch watch-hint
wait_line '^watching CLIPBOARD on' 1
# What the clipboard holds at the start is the first secret.
wait_line '^CLIPBOARD: not recorded, its owner marks it as a secret$' 1
before=$(count)
printf 'hunter2' >"$T/fix/t3"
wl_copy "$T/fix/t3"
wait_line '^CLIPBOARD: not recorded, its owner marks it as a secret$' 2
# Another value of the hint is no secret.
printf 'public' >"$T/fix/hint"
printf 'no secret here' >"$T/fix/t4"
wl_copy "$T/fix/t4"
wait_line '^CLIPBOARD: text clip [0-9]* (14 bytes)$' 1
# A hint that cannot be read keeps the clip out, as a secret would be.
rm "$T/fix/hint"
mkdir -m 0755 "$T/fix/hint"
printf 'unreadable hint' >"$T/fix/t5"
wl_copy "$T/fix/t5"
wait_line '^CLIPBOARD: not recorded, its owner marks it with a hint that cannot be read$' 1
[ "$(count)" = $((before + 1)) ] || fail "the hinted clips made $(($(count) - before)) clips, not 1"
q search hunter2 | grep -q hunter2 && fail "a secret was recorded"
q search 'unreadable hint' | grep -q unreadable && fail "a clip with an unreadable hint was recorded"
stop_watch TERM
WATCH_ENV=()
# A wl-paste that marks a secret itself (CLIPBOARD_STATE, from wl-clipboard
# 2.2 on) is believed without asking the owner again.
q_out=$(printf 'hunter3' | run env CLIPBOARD_STATE=sensitive "$QB" --store "$S" wayland-capture text)
[ "$q_out" = 'CLIPBOARD: not recorded, its owner marks it as a secret' ] \
  || fail "a capture with CLIPBOARD_STATE=sensitive said: $q_out"
q search hunter3 | grep -q hunter3 && fail "a secret marked by CLIPBOARD_STATE was recorded"

# Each capture reads the config file, as store does: an ignore pattern keeps
# a text out.
mkdir -p "$T/home/.config/quillmar-clip"
printf 'ignore = ["^otpauth://"]\n' >"$T/home/.config/quillmar-clip/config.toml"
chmod -R a+rX "$T/home/.config"
start_watch watch-config
wait_line '^watching CLIPBOARD on' 1
# What the clipboard still holds (the text whose hint could not be read) is
# recorded at the start; the count is taken after it.
wait_line '^CLIPBOARD: text clip [0-9]* (15 bytes)$' 1
before=$(count)
printf 'otpauth://totp/me?secret=JBSWY3DP' >"$T/fix/t6"
wl_copy "$T/fix/t6"
wait_line '^CLIPBOARD: not recorded, it matches the ignore pattern "^otpauth://"$' 1
[ "$(count)" = "$before" ] || fail "a text matching an ignore pattern was recorded"
# A typo in the file is said once, and the last good config stays in force:
# clips are neither dropped nor recorded by defaults the user did not choose.
CFG="$T/home/.config/quillmar-clip/config.toml"
printf 'min_lenght = 3\n' >"$CFG"
said_typo() { grep -q "config.toml, line 1: unknown key \"min_lenght\"" "$T/watch-config.err"; }
until_true 20 said_typo || fail "a broken config was not said: $(cat "$T/watch-config.err")"
printf 'otpauth://totp/again' >"$T/fix/t7"
wl_copy "$T/fix/t7"
wait_line '^CLIPBOARD: not recorded, it matches the ignore pattern "^otpauth://"$' 2
printf 'recorded despite the typo' >"$T/fix/t8"
wl_copy "$T/fix/t8"
wait_line '^CLIPBOARD: text clip [0-9]* (25 bytes)$' 1
[ "$(grep -c min_lenght "$T/watch-config.err")" = 1 ] ||
  fail "a broken config was said more than once: $(cat "$T/watch-config.err")"
grep -q 'not recorded, .*min_lenght' "$watch_out" && fail "a broken config dropped a clip"
# Fixed, it takes effect without a restart.
printf 'min_length = 100\n' >"$CFG"
wait_line "^config file reloaded: $CFG\$" 1
q stats | grep -qx "recording  on (watcher $watcher_pid on $WD)" || fail "stats while the watcher runs: $(q stats)"
printf 'short' >"$T/fix/t9"
wl_copy "$T/fix/t9"
wait_line '^CLIPBOARD: not recorded, it is shorter than min_length (5 of 100 bytes)$' 1
stop_watch TERM
[ ! -e "$S.config.toml" ] || fail "the watcher left its copy of the config beside the store"
[ ! -e "$S.watcher" ] || fail "the watcher left its mark beside the store"
rm -r "$T/home/.config"

# A store named through a symbolic link, by the watcher and by pause alike:
# the captures, handed the store's real path, still find the pause.
ln -s store "$T/home/clips"
S_real=$S
S=$T/home/clips
start_watch watch-link
wait_line "^watching CLIPBOARD on $WD into $S_real " 1
q pause >/dev/null
before=$(count)
printf 'copied while paused through a link' >"$T/fix/t7"
wl_copy "$T/fix/t7"
wait_line '^CLIPBOARD: not recorded, recording is paused$' 1
q resume >/dev/null
[ "$(count)" = "$before" ] || fail "a watcher of a linked store recorded while paused"
stop_watch TERM
S=$S_real

# A watcher killed outright (no cleanup of its own) takes its wl-paste
# children along instead of leaving them recording.
start_watch watch-killed
wait_line '^watching CLIPBOARD on' 1
kids=$(pgrep -P "$watcher_pid")
[ -n "$kids" ] || fail "the watcher runs no children"
kill -KILL "$watcher_pid"
timeout 20 tail --pid="$watcher" -f /dev/null
watcher=""
kids_gone() {
  local pid
  for pid in $kids; do kill -0 "$pid" 2>/dev/null && return 1; done
  return 0
}
until_true 10 kids_gone || fail "wl-paste children outlived a killed watcher: $(ps -o pid=,args= -p "${kids//$'\n'/,}")"

# Without a compositor to talk to, the watcher says so and fails.
(cd "$T" && exec "${AS[@]}" "${ENV[@]}" WAYLAND_DISPLAY=wayland-none timeout 30 "$QB" \
  --store "$S" watch) >"$T/nowhere.out" 2>"$T/nowhere.err"
status=$?
[ "$status" = 1 ] || fail "watch without a compositor ended with status $status"
grep -qF 'quillmar-clip: cannot connect to the Wayland display "wayland-none"' "$T/nowhere.err" \
  || fail "watch without a compositor said: $(cat "$T/nowhere.err")"

# Without wl-paste, the watcher says what to install.
q_out=$(run env PATH="$T/nobin" "$QB" --store "$S" watch 2>&1)
status=$?
[ "$status" = 1 ] || fail "watch without wl-paste ended with status $status"
[ "$q_out" = "quillmar-clip: watch on Wayland needs wl-paste: install the wl-clipboard package" ] \
  || fail "watch without wl-paste said: $q_out"

# A compositor that goes away ends the watcher with status 1 and a reason
# (the systemd unit then restarts it), and its children with it.
start_watch watch-lost
wait_line '^watching CLIPBOARD on' 1
kids=$(pgrep -P "$watcher_pid")
stop_pid "$sway_pid"
sway_pid=""
timeout 20 tail --pid="$watcher" -f /dev/null
wait "$watcher"
status=$?
watcher=""
[ "$status" = 1 ] || fail "the watcher ended with status $status when the compositor went away"
grep -q '^quillmar-clip: wl-paste --watch ended: the Wayland clipboard is no longer followed' \
  "$T/watch-lost.err" || fail "the watcher said, when the compositor went away: $(cat "$T/watch-lost.err")"
until_true 10 kids_gone || fail "wl-paste children outlived the compositor: $kids"

q verify >"$T/verify.out" || fail "verify after the watch: $(cat "$T/verify.out")"

if [ "$failures" -gt 0 ]; then
  for f in "$T"/watch*.out "$T"/watch*.err; do sed "s/^/$(basename "$f"): /" "$f" >&2; done
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
