#!/usr/bin/env bash
# End-to-end test of the server of a store (`quillmar-clip serve`; the
# watcher serves the same way): every command prints byte for byte the same
# with and without it, and leaves the same store; a stale socket, a server
# of another version, one that says nothing or garbage, or one that goes
# away while it runs a command, leave every command answering; another
# user is refused; malformed, huge and half requests are answered and
# logged without their content; a held connection does not stall
# captures; and a server killed again and again under a stream of
# captures and commands loses nothing it acknowledged and reuses no id.
# wire_peer plays the other end of the socket. Every wait is bounded, and
# everything started is stopped by its pid on exit. The part with another
# user needs root (useradd and setpriv), and is left out otherwise.
#
#   cli_server.sh path/to/quillmar-clip path/to/wire_peer path/to/the/library
set -u

BIN=${1:?usage: cli_server.sh path/to/quillmar-clip path/to/wire_peer path/to/the/library}
PEER=${2:?usage: cli_server.sh path/to/quillmar-clip path/to/wire_peer path/to/the/library}
LIB=${3:?usage: cli_server.sh path/to/quillmar-clip path/to/wire_peer path/to/the/library}
BIN=$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")
PEER=$(cd "$(dirname "$PEER")" && pwd)/$(basename "$PEER")
LIB=$(cd "$(dirname "$LIB")" && pwd)/$(basename "$LIB")
HERE=$(cd "$(dirname "$0")" && pwd)
SCRIPT=$(command -v script)
T=$(mktemp -d)
USER_NAME=quillmar-svtest
made_user=0
server=""     # the bounding timeout of the running server
server_pid="" # the server itself
helpers=()

. "$HERE/lib.sh"

stop_all() {
  for p in "${helpers[@]}" "$server"; do stop_pid "$p"; done
  if [ "$made_user" = 1 ]; then
    for p in $(pgrep -u "$USER_NAME"); do kill "$p" 2>/dev/null; done
    for p in $(pgrep -u "$USER_NAME"); do timeout 5 tail --pid="$p" -f /dev/null; done
    userdel "$USER_NAME" 2>/dev/null
  fi
  rm -rf "$T"
}
trap stop_all EXIT

chmod 0755 "$T"
export HOME="$T/home" XDG_DATA_HOME="$T/data" XDG_CONFIG_HOME="$T/config" \
  XDG_RUNTIME_DIR="$T/run" LC_ALL=C.UTF-8 TZ=UTC
unset CLIPBOARD_STATE DISPLAY WAYLAND_DISPLAY QUILLMAR_PICKER COLUMNS
mkdir -p "$HOME" "$T/work"
mkdir -m 0700 "$T/run"
cd "$T/work" || exit 1
S="$T/store"
SOCKETS="$T/run/quillmar-clip"


die() {
  echo "FAIL: $*" >&2
  for f in "$T"/serve*.out "$T"/serve*.err; do
    [ -f "$f" ] && sed "s/^/$(basename "$f"): /" "$f" >&2
  done
  exit 1
}

# start_server [NAME]: `serve` on $S, its output in $T/NAME.out and .err.
start_server() {
  local name=${1:-serve}
  timeout 300 "$BIN" --store "$S" serve >"$T/$name.out" 2>"$T/$name.err" &
  server=$!
  serve_out=$T/$name.out
  serve_err=$T/$name.err
  serving() { grep -qs '^serving ' "$serve_out"; }
  until_true 20 serving || die "the server did not start: $(cat "$serve_err")"
  server_pid=$(pgrep -P "$server")
  [ -n "$server_pid" ] || die "no server under its timeout"
}
# stop_server SIGNAL: the server ends with status 0, says so, and takes
# its socket along.
stop_server() {
  kill "-$1" "$server_pid"
  timeout 20 tail --pid="$server" -f /dev/null
  wait "$server"
  local status=$?
  server=""
  [ "$status" = 0 ] || fail "the server ended with status $status after SIG$1"
  [ "$(tail -n1 "$serve_out")" = stopped ] || fail "the server did not say it stopped after SIG$1"
  [ -z "$(ls "$SOCKETS"/*.sock 2>/dev/null)" ] || fail "SIG$1 left the socket: $(ls "$SOCKETS")"
}
kill_server() {
  # The timeout dies of the same signal; the shell need not report it.
  disown "$server" 2>/dev/null
  kill -KILL "$server_pid"
  timeout 20 tail --pid="$server" -f /dev/null
  { wait "$server"; } 2>/dev/null
  server=""
}
socket() { ls "$SOCKETS"/*.sock 2>/dev/null | head -n1; }
# served: stats says this server answers for the store.
served() {
  q stats
  grep -q "^server     pid $server_pid since " "$T/out"
}
count() { q list --json --limit 100000; grep -o '"id":' "$T/out" | wc -l; }

# A fake program NAME in $T/bin whose body is the rest of the arguments.
fake() {
  local name=$1
  shift
  mkdir -p "$T/bin"
  printf '#!/bin/sh\n%s\n' "$*" >"$T/bin/$name"
  chmod +x "$T/bin/$name"
}
fake xclip 'echo "$@" >"'"$T/xclip.args"'"; cat >"'"$T/xclip.in"'"'
# A rofi that keeps the rows it is given (each image's file after a NUL)
# and takes the first pinned image row.
fake rofi 'cat >"'"$T/rofi.in"'"; tr "\000" "\n" <"'"$T/rofi.in"'" | grep -a -m1 "	★ \[image"'

# --- the history both runs start from ------------------------------------------
make_png "pixels" "$T/a.png"
make_png "other pixels" "$T/b.png"
q push 'hello world'
q push "$(printf 'line one\nline two\n')"
q push-image "$T/a.png" --label shot
q push "$(printf 'caf\xc3\xa9 \xe2\x9c\x93\ttab')"
q push 'Hello again, WORLD'
q pin 2
# Old enough for expire, and the same in both runs.
sed -i -E 's/"ts": [0-9]+/"ts": 1700000000/' "$S/clips.json"
q verify
expect_rc 0 "the fixture store"
cp -a "$S" "$T/fixture"
# What import takes: an export of a small store of its own.
S="$T/imp-src" q push 'imported text'
S="$T/imp-src" q export "$T/imp"
expect_rc 0 "the export to import"
mkdir -p "$T/work/sub"

# --- every command, with and without the server ---------------------------------
# step ARGS...: the command against $S, its output, error and status kept
# as $D/N.*; both ARGS...: the same with the two streams as one.
step() {
  n=$((n + 1))
  q "$@"
  cp "$T/out" "$D/$n.out"
  cp "$T/err" "$D/$n.err"
  echo "$rc" >"$D/$n.rc"
  echo "$*" >"$D/$n.cmd"
}
both() {
  n=$((n + 1))
  local input=/dev/null
  [ -f "$T/in" ] && input="$T/in"
  timeout 30 "$BIN" --store "$S" "$@" <"$input" >"$D/$n.out" 2>&1
  echo $? >"$D/$n.rc"
  : >"$D/$n.err"
  rm -f "$T/in"
  echo "$* (2>&1)" >"$D/$n.cmd"
}
# on_terminal ARGS...: the command on a terminal 100 columns wide.
on_terminal() {
  n=$((n + 1))
  COLUMNS=100 timeout 30 "$SCRIPT" -qec "$(printf '%q ' "$BIN" --store "$S" "$@")" \
    /dev/null </dev/null | tr -d '\r' >"$D/$n.out"
  echo 0 >"$D/$n.rc"
  : >"$D/$n.err"
  echo "$* (on a terminal)" >"$D/$n.cmd"
}
steps() {
  n=0
  step list
  step list --offset 1 --limit 2 --json
  step list --picker
  step list --picker --limit 2 --offset 1
  on_terminal list
  on_terminal search o
  step search hello
  step search --json zzz
  step search ''
  step get 1
  step get 2
  step get 3
  step get 3 --output -
  # Paths are the command's own: an output file in its directory, and a
  # store named from another directory.
  cd "$T/work/sub" || return
  step get 3 --output rel.png
  mv rel.png "$D/rel.png"
  cd "$T" || return
  S=./store step get 3
  cd "$T/work" || return
  step get 999
  stdin '4\tcaf\xc3\xa9\n'
  step get -
  stdin 'junk\n'
  step get -
  step stats
  step stats --json
  QUILLMAR_PICKER='head -n 1' step pick --print
  QUILLMAR_PICKER='false' step pick --print
  # The rows pick gives its picker, and the image it takes, whoever made
  # them; a store named from another directory names the image's file the
  # same way.
  step pin 3
  QUILLMAR_PICKER="tee '$T/picker.in' | head -n 1" step pick --print
  cp "$T/picker.in" "$D/picker.in"
  QUILLMAR_PICKER=rofi PATH="$T/bin:$PATH" step pick --print
  cp "$T/rofi.in" "$D/rofi.in"
  cd "$T" || return
  S=./store QUILLMAR_PICKER=rofi PATH="$T/bin:$PATH" step pick --print
  S=./store step picker-rows
  S=./store step preview 3
  cd "$T/work" || return
  step picker-rows
  step preview 2
  step preview 4
  step preview 999
  step unpin 3
  DISPLAY=:fake PATH="$T/bin:$PATH" step copy 4
  cp "$T/xclip.in" "$D/xclip.in"
  DISPLAY=:fake PATH="$T/bin:$PATH" step copy 3
  cp "$T/xclip.in" "$D/xclip-image.in"
  step pin 1
  step unpin 2
  step pin 999
  step push 'pushed text'
  step push-image "$T/b.png" --label 'new shot'
  make_png 'from standard input' "$T/in"
  step push-image /dev/stdin
  step push-image "$T/missing.png"
  stdin 'stored \xff text'
  step store
  stdin 'stored \xfe text'
  both store
  stdin ''
  step store
  stdin 'to be cleared'
  step store
  CLIPBOARD_STATE=clear step store
  stdin 'GIF89a and more'
  step store
  step expire --older-than 1000d --dry-run
  step expire --older-than 1000d
  step list --json
  rm -rf "$T/exported"
  cd "$T" || return
  step export exported
  cd "$T/work" || return
  step import "$T/imp"
  step delete 2
  step delete 999
  step wipe
  step verify
  step list --limit 0
  step bogus
  step wipe --yes
  step list
}
# The store as a run left it, the times masked (new clips take the time of
# the run), and what export wrote.
snapshot() {
  sed -E 's/"ts": [0-9]+/"ts": T/' "$S/clips.json" >"$D/clips.json"
  (cd "$S" && ls -la --time-style=+ | awk '{print $1, $5, $NF}' | grep -v ' \.\.\?$') >"$D/files"
  (cd "$T/exported" && for f in *; do
    echo "== $f"
    case "$f" in
    manifest.json) grep -v '"exported"\|"ts"' "$f" ;;
    *) cksum <"$f" ;;
    esac
  done) >"$D/exported"
}

D="$T/direct"
mkdir -p "$D"
steps
snapshot

rm -rf "$S"
cp -a "$T/fixture" "$S"
start_server
sock=$(sed -n 's/^serving .* on \(.*\) (Ctrl-C stops)$/\1/p' "$serve_out")
[ -n "$sock" ] && [ "$(dirname "$sock")" = "$SOCKETS" ] || fail "the server said: $(cat "$serve_out")"
[ "$(stat -c %a "$SOCKETS")" = 700 ] || fail "the socket directory has mode $(stat -c %a "$SOCKETS")"
served || fail "stats does not name the server: $(out)"
D="$T/served"
mkdir -p "$D"
steps
snapshot
[ "$(ls "$T/direct" | wc -l)" -gt 200 ] || fail "only $(ls "$T/direct" | wc -l) files of the run without a server"
# New clips take the time of the run: times are masked.
for d in direct served; do
  for f in "$T/$d"/*.out; do sed -i -E 's/"ts":[0-9]+/"ts":T/g' "$f"; done
done
for a in "$T/direct"/*; do
  name=$(basename "$a")
  b=$T/served/$name
  what=$(cat "$T/direct/${name%.*}.cmd" 2>/dev/null || echo "$name")
  case "$name" in
  *.cmd) continue ;;
  esac
  if [[ "$what" == stats* ]]; then
    # The line (or member) that says who serves is all that differs.
    cmp -s <(sed '/^server  /d; s/,"server":.*}$/}/' "$a") <(sed '/^server  /d; s/,"server":.*}$/}/' "$b") ||
      fail "$what: $name differs beyond the server line: $(diff "$a" "$b" | head -n 5)"
    continue
  fi
  cmp -s "$a" "$b" || fail "$what: $name differs with the server: $(diff "$a" "$b" | head -n 5)"
done
grep -qx "$S/img_3.png" "$T/served/"*.out || fail "get of an image through a relative store did not name its file"
tr '\000\037' '\n\n' <"$T/served/rofi.in" | grep -qx "$S/img_3.png" ||
  fail "pick gave rofi no thumbnail of the pinned image"
grep -q $'^3\t\xe2\x98\x85 \[image' "$T/served/picker.in" || fail "pick gave its picker no pinned image row: $(cat "$T/served/picker.in")"
grep -q '^server     none: commands open the store themselves$' "$T/direct/"*.out ||
  fail "stats without a server did not say so"
grep -q '"server":{"pid":'"$server_pid"',"since":[0-9]*,"captures":[0-9]*,"version":"quillmar-clip [^"]*","serves":true}' "$T/served/"*.out ||
  fail "stats --json with a server did not describe it"
[ -s "$T/served/xclip.in" ] || fail "copy through the server gave xclip nothing"
! grep -q 'refused\|dropped' "$serve_err" || fail "the server refused a command: $(cat "$serve_err")"

# The rest starts from the fixture again.
stop_server TERM
rm -rf "$S"
cp -a "$T/fixture" "$S"
start_server serve-again

# --- one writer at a time --------------------------------------------------------
# A command that does not find the server (another runtime directory) writes
# directly; the server sees the change and reuses no id.
q push 'served one'
first=$(grep -o '"id":[0-9]*' "$T/out")
XDG_RUNTIME_DIR="$T/run-elsewhere" q push 'direct one'
second=$(grep -o '"id":[0-9]*' "$T/out")
q push 'served two'
third=$(grep -o '"id":[0-9]*' "$T/out")
[ "${first#*:}" -lt "${second#*:}" ] && [ "${second#*:}" -lt "${third#*:}" ] ||
  fail "ids $first, $second, $third when the server and a command took turns"
q list --picker
grep -q $'\tdirect one$' "$T/out" || fail "the server missed a clip written beside it: $(out)"

# --- a second server, a dead one, signals -----------------------------------------
timeout 30 "$BIN" --store "$S" serve >"$T/second.out" 2>"$T/second.err"
status=$?
[ "$status" = 1 ] || fail "a second server ended with status $status"
[ "$(cat "$T/second.err")" = "quillmar-clip: a server is running for $S (pid $server_pid)" ] ||
  fail "a second server said: $(cat "$T/second.err")"
stop_server TERM
start_server serve-int
stop_server INT
start_server serve-hup
stop_server HUP
# Killed outright, it leaves its socket; commands do without it, and the
# next server takes the socket over.
start_server serve-killed
q list --picker
cp "$T/out" "$T/want"
kill_server
[ -S "$sock" ] || fail "a killed server left no socket (the test needs a stale one)"
q list --picker
expect_rc 0 "list --picker beside a stale socket"
cmp -s "$T/out" "$T/want" || fail "list --picker beside a stale socket printed $(out)"
start_server serve-after
served || fail "the server after a killed one does not answer: $(out)"

QUILLMAR_PICKER='head -n 1' q pick --print
expect_rc 0 "pick --print with a server"
cp "$T/out" "$T/want-pick"

# --- servers that answer wrongly ----------------------------------------------------
stop_server TERM
QUILLMAR_PICKER='head -n 1' q pick --print
cmp -s "$T/out" "$T/want-pick" || fail "pick --print without a server printed $(out)"
for mode in other-version silent garbage vanish; do
  timeout 120 "$PEER" fake "$sock" "$mode" >"$T/fake.out" 2>&1 &
  fake_pid=$!
  helpers+=("$fake_pid")
  listening() { grep -qs listening "$T/fake.out"; }
  until_true 10 listening || die "the fake server ($mode) did not start"
  q list --picker
  expect_rc 0 "list --picker against a server that is $mode"
  cmp -s "$T/out" "$T/want" || fail "list --picker against a server that is $mode printed $(out)"
  q get 1
  expect_rc 0 "get against a server that is $mode"
  expect_out 'hello world' "get against a server that is $mode"
  QUILLMAR_PICKER='head -n 1' q pick --print
  expect_rc 0 "pick --print against a server that is $mode"
  cmp -s "$T/out" "$T/want-pick" || fail "pick --print against a server that is $mode printed $(out)"
  if [ "$mode" = other-version ]; then
    q stats
    grep -q '^server     pid [0-9]* runs another version (quillmar-clip 0.9.0 wire 0): commands open the store themselves$' "$T/out" ||
      fail "stats beside a server of another version: $(out)"
  fi
  if [ "$mode" = vanish ]; then
    # A delete that may or may not have happened is not run twice.
    q delete 1
    expect_rc 1 "delete against a server that went away while it ran"
    grep -q "went away while it ran delete: whether it took effect is not known" "$T/err" ||
      fail "delete against a vanishing server said: $(err)"
    q get 1
    expect_out 'hello world' "the delete that the vanishing server did not do"
  fi
  stop_pid "$fake_pid"
  rm -f "$sock"
done

# --- malformed, huge and half requests ---------------------------------------------
start_server serve-peer
# frame TYPE PAYLOAD-FILE: a frame of the payload in the file.
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
secret='hunter2-never-logged'
printf 'V' >"$T/bad"
le32 3 >>"$T/bad"
printf 'v1 ' >>"$T/bad"
printf 'A' >>"$T/bad"
le32 ${#secret} >>"$T/bad"
printf '%s' "$secret" >>"$T/bad"
printf 'Z' >>"$T/bad"
le32 0 >>"$T/bad"
{ printf 'Q'; le32 "$(stat -c %s "$T/bad")"; cat "$T/bad"; } >"$T/frame.bad"
{ printf 'Z'; le32 0; } >"$T/frame.type"
{ printf 'Q'; le32 4294967295; } >"$T/frame.huge"
{ printf 'Q'; le32 1000; printf 'only a part'; } >"$T/frame.half"
head -c 2 "$T/frame.bad" >"$T/frame.header"
: >"$T/frame.none"
printf 'G' >"$T/go"
le32 0 >>"$T/go"
# What is sent | its file | the first line of the answer.
while IFS='|' read -r what file want; do
  "$PEER" send "$sock" <"$file" >"$T/peer.out" 2>&1
  head -n1 "$T/peer.out" | grep -q -- "$want" || fail "$what: the server answered $(cat "$T/peer.out")"
  tail -n1 "$T/peer.out" | grep -qx closed || fail "$what: the server kept the connection: $(cat "$T/peer.out")"
done <<EOF
a field of unknown type|$T/frame.bad|^R [0-9]* malformed request: it has a field of unknown type
a frame of unknown type|$T/frame.type|^R [0-9]* malformed request: the first frame is not a request
a frame of 4 GiB|$T/frame.huge|^R [0-9]* the request is larger than
half a frame, then the end|$T/frame.half|^R [0-9]* the request was cut short
half a header, then the end|$T/frame.header|^R [0-9]* the request was cut short
go before any request|$T/go|^R [0-9]* malformed request: the first frame is not a request
nothing at all|$T/frame.none|^closed
EOF
# A request of 11 MiB of junk behind a header that announces it.
{ printf 'Q'; le32 $((11 * 1024 * 1024)); head -c $((11 * 1024 * 1024)) /dev/zero; } >"$T/frame.big"
"$PEER" send "$sock" <"$T/frame.big" >"$T/peer.out" 2>&1
grep -q '^R [0-9]* malformed request: it does not start with the version' "$T/peer.out" ||
  fail "11 MiB of junk: the server answered $(cat "$T/peer.out")"
{ printf 'Q'; le32 $((15 * 1024 * 1024)); head -c 65536 /dev/zero; } >"$T/frame.toobig"
"$PEER" send "$sock" <"$T/frame.toobig" >"$T/peer.out" 2>&1
grep -q '^R [0-9]* the request is larger than' "$T/peer.out" ||
  fail "15 MiB announced: the server answered $(cat "$T/peer.out")"
# A proper request whose client goes away before go is not run.
"$PEER" ask "$sock" --before-go --store "$S" delete 1 >"$T/peer.out" 2>&1
grep -qx ready "$T/peer.out" || fail "a proper request was not made ready: $(cat "$T/peer.out")"
q get 1
expect_out 'hello world' "a delete whose client went away before go"
grep -q 'refused a malformed request of [0-9]* bytes: it has a field of unknown type' "$serve_err" ||
  fail "the server did not log the malformed request: $(cat "$serve_err")"
grep -q 'refused a request that announces more than' "$serve_err" || fail "the huge request was not logged"
grep -q 'refused a request cut short after 16 bytes' "$serve_err" || fail "the half request was not logged"
grep -q "$secret" "$serve_err" && fail "the server logged what a request held"
served || fail "the server no longer answers after the malformed requests"

# --- a held connection, and more clients than the server takes ------------------------
# A client that sends half a request and then nothing is dropped within its
# deadline; captures go on meanwhile, served.
printf 'Q\x10\x00\x00\x00half' >"$T/half"
timeout 60 "$PEER" hold "$sock" 8 <"$T/half" >"$T/hold.out" 2>&1 &
holder=$!
helpers+=("$holder")
holding() { grep -qs holding "$T/hold.out"; }
until_true 10 holding || fail "the holder did not connect"
q stats
before=$(sed -n 's/^server .* \([0-9]*\) captures\? recorded$/\1/p' "$T/out")
for i in 1 2 3 4 5; do
  stdin "held capture $i"
  q store
  expect_rc 0 "a capture while a connection is held"
done
q stats
after=$(sed -n 's/^server .* \([0-9]*\) captures\? recorded$/\1/p' "$T/out")
[ "$after" = $((before + 5)) ] || fail "the server recorded $((after - before)) of 5 captures while a connection was held"
timeout 30 tail --pid="$holder" -f /dev/null
grep -qx 'R 28 the request was cut short' "$T/hold.out" || grep -qx closed "$T/hold.out" ||
  fail "the held connection was not dropped: $(cat "$T/hold.out")"
grep -q 'dropped a client that sent no whole request within 5 s (9 bytes came)' "$serve_err" ||
  fail "the dropped client was not logged: $(tail -n3 "$serve_err")"
# More silent clients than the server takes at once: the next command is
# told to run by itself, and does.
for i in $(seq 1 34); do
  timeout 60 "$PEER" hold "$sock" 4 </dev/null >/dev/null 2>&1 &
  helpers+=($!)
done
sleep 1
q list --picker
expect_rc 0 "list --picker while 34 clients hold connections"
for p in "${helpers[@]}"; do timeout 20 tail --pid="$p" -f /dev/null 2>/dev/null; done
helpers=()
served || fail "the server no longer answers after the held connections"

# --- killed again and again under a stream of captures and commands ---------------------
# The server keeps the picker's rows of the texts it has read; ids given
# again after a wipe, by the server or beside it, name the new texts.
q push 'before the wipe'
q list --picker
q wipe --yes
q push 'after the wipe'
q list --picker
expect_out $'1\tafter the wipe' "list --picker after a wipe in the server"
XDG_RUNTIME_DIR="$T/run-elsewhere" q wipe --yes
XDG_RUNTIME_DIR="$T/run-elsewhere" q push 'beside the server'
q list --picker
expect_out $'1\tbeside the server' "list --picker after a wipe beside the server"
# Distinct texts, so that every acknowledged id names one text; the history
# stays under 500 clips, so that nothing is evicted.
q wipe --yes
stream() {
  local k=$1 i
  for i in $(seq 1 40); do
    printf 'stream %s clip %s' "$k" "$i" | timeout 60 "$BIN" --store "$S" store \
      >>"$T/acks.$k" 2>>"$T/stream.err" || echo "store $k $i failed" >>"$T/stream.fail"
    timeout 60 "$BIN" --store "$S" list --picker >/dev/null 2>>"$T/stream.err" ||
      echo "list $k $i failed" >>"$T/stream.fail"
    text="stream $k record $i"
    printf '%s' "$text" | timeout 60 "$BIN" --store "$S" wayland-record \
      --seen "${#text}" text >>"$T/records.$k" 2>>"$T/stream.err" ||
      echo "wayland-record $k $i failed" >>"$T/stream.fail"
  done
}
pids=()
for k in 1 2 3; do
  stream "$k" &
  pids+=($!)
done
for round in 1 2 3 4 5 6; do
  sleep "0.$((RANDOM % 9 + 1))"
  kill_server
  sleep "0.$((RANDOM % 5))"
  start_server "serve-round$round"
done
for p in "${pids[@]}"; do wait "$p"; done
[ ! -s "$T/stream.fail" ] || fail "commands failed under the kills: $(head -n5 "$T/stream.fail")"
q list --picker --limit 100000
cp "$T/out" "$T/final"
acks=0
for k in 1 2 3; do
  i=0
  while read -r line; do
    i=$((i + 1))
    id=$(sed -n 's/^{"id":\([0-9]*\),"dedup":[01]}$/\1/p' <<<"$line")
    [ -n "$id" ] || { fail "stream $k clip $i was answered '$line'"; continue; }
    acks=$((acks + 1))
    q get "$id"
    [ "$(out)" = "stream $k clip $i" ] || fail "clip $id, acknowledged for 'stream $k clip $i', holds '$(out)'"
  done <"$T/acks.$k"
  [ "$i" = 40 ] || fail "stream $k has $i acknowledged captures, not 40"
  i=0
  while read -r line; do
    i=$((i + 1))
    id=$(sed -n 's/^CLIPBOARD: \(text clip\|repeats clip\) \([0-9]*\).*$/\2/p' <<<"$line")
    [ -n "$id" ] || { fail "stream $k record $i said '$line'"; continue; }
    q get "$id"
    [ "$(out)" = "stream $k record $i" ] || fail "clip $id, recorded for 'stream $k record $i', holds '$(out)'"
  done <"$T/records.$k"
  [ "$i" = 40 ] || fail "stream $k has $i recorded captures, not 40"
done
dups=$(cut -f1 "$T/final" | sort | uniq -d)
[ -z "$dups" ] || fail "ids used twice: $dups"
q verify
expect_rc 0 "verify after the kills"
stop_server TERM

# --- the socket's directory ----------------------------------------------------------
chmod 0755 "$SOCKETS"
timeout 30 "$BIN" --store "$S" serve >"$T/open.out" 2>"$T/open.err"
status=$?
[ "$status" = 1 ] || fail "serve with a socket directory open to others ended with $status"
[ "$(cat "$T/open.err")" = "quillmar-clip: cannot serve $S: $SOCKETS is open to other users (mode 0755; it must be 0700)" ] ||
  fail "serve with a socket directory open to others said: $(cat "$T/open.err")"
chmod 0700 "$SOCKETS"

# --- another user ------------------------------------------------------------------------
if [ "$(id -u)" = 0 ] && command -v useradd >/dev/null && command -v setpriv >/dev/null; then
  if ! id -u "$USER_NAME" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin "$USER_NAME" || die "cannot create $USER_NAME"
    made_user=1
  fi
  mkdir -m 0755 "$T/u" "$T/u/bin"
  mkdir -m 0700 "$T/u/run" "$T/u/home"
  chown "$USER_NAME:" "$T/u/run" "$T/u/home"
  cp "$BIN" "$T/u/bin/quillmar-clip"
  cp "$PEER" "$T/u/bin/wire_peer"
  cp -L "$LIB" "$T/u/bin/$(basename "$LIB")"
  chmod 0755 "$T/u/bin"/*
  AS=(setpriv --reuid="$USER_NAME" --regid="$USER_NAME" --clear-groups env -i
    PATH=/usr/bin:/bin HOME="$T/u/home" XDG_RUNTIME_DIR="$T/u/run" LC_ALL=C.UTF-8
    LD_LIBRARY_PATH="$T/u/bin")
  US="$T/u/home/store"
  timeout 120 "${AS[@]}" "$T/u/bin/quillmar-clip" --store "$US" serve >"$T/user.out" 2>"$T/user.err" &
  helpers+=($!)
  user_serving() { grep -qs '^serving ' "$T/user.out"; }
  until_true 20 user_serving || die "the other user's server did not start: $(cat "$T/user.err")"
  usock=$(sed -n 's/^serving .* on \(.*\) (Ctrl-C stops)$/\1/p' "$T/user.out")
  # Root may reach the socket; the server answers its own user only.
  { printf 'Q'; le32 0; } | "$PEER" send "$usock" >"$T/peer.out" 2>&1
  grep -q '^R [0-9]* the server answers only its own user' "$T/peer.out" ||
    fail "the server answered another user: $(cat "$T/peer.out")"
  grep -q "refused a connection from uid 0 (pid [0-9]*): the server answers only its own user" "$T/user.err" ||
    fail "the refusal was not logged: $(cat "$T/user.err")"
  # A command of another user, given that user's runtime directory, does
  # not use a server it does not own, and runs by itself.
  XDG_RUNTIME_DIR="$T/u/run" HOME="$T/u/home" run --store "$T/rootstore" push 'mine'
  expect_rc 0 "a push beside another user's server"
  # The other user cannot reach root's sockets at all.
  start_server serve-root
  "${AS[@]}" timeout 10 "$T/u/bin/wire_peer" send "$(socket)" </dev/null >"$T/peer.out" 2>&1
  grep -q 'cannot connect: Permission denied' "$T/peer.out" ||
    fail "another user reached root's socket: $(cat "$T/peer.out")"
  stop_server TERM
else
  echo "note: the part with another user needs root with useradd and setpriv; left out"
fi

# A sanitizer's report in any server's or command's standard error (a
# server that died of one would leave the commands running by themselves).
reports=$(grep -l 'Sanitizer\|runtime error:' "$T"/*.err "$T"/*/*.err 2>/dev/null)
[ -z "$reports" ] || fail "sanitizer reports in: $reports: $(grep -h -A5 'Sanitizer\|runtime error:' $reports | head -n 20)"

if [ "$failures" -gt 0 ]; then
  for f in "$T"/serve*.err; do sed "s/^/$(basename "$f"): /" "$f" >&2; done
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
