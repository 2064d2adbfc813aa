#!/usr/bin/env bash
# The server of a store killed outright (SIGKILL) at random moments, and
# started again, while two loops run captures (store) and commands (list,
# get, search, pin) against the store. Afterwards: every capture that
# store acknowledged (exit status 0) is in the history, under the id it
# was given; no id was ever handed to two texts (the ids store and every
# list reported); every command exited 0 and none outlived its deadline;
# and the store loads and passes verify. The texts are distinct, and fewer
# than 500, so that nothing is evicted. The whole run is bounded (the loops
# stop after a fixed time, each command after 20 s); everything started is
# stopped by its pid on exit.
#
#   server_kill.sh path/to/quillmar-clip
set -u

BIN=${1:?usage: server_kill.sh path/to/quillmar-clip}
BIN=$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")
HERE=$(cd "$(dirname "$0")" && pwd)
T=$(mktemp -d)
server=""     # the bounding timeout of the running server
server_pid="" # the server itself
loops=()

. "$HERE/lib.sh"

stop_all() {
  for p in "${loops[@]}" "$server"; do stop_pid "$p"; done
  rm -rf "$T"
}
trap stop_all EXIT

export HOME="$T/home" XDG_DATA_HOME="$T/data" XDG_CONFIG_HOME="$T/config" \
  XDG_RUNTIME_DIR="$T/run" LC_ALL=C.UTF-8 TZ=UTC
unset CLIPBOARD_STATE DISPLAY WAYLAND_DISPLAY QUILLMAR_PICKER COLUMNS
mkdir -p "$HOME" "$T/work"
mkdir -m 0700 "$T/run" "$T/run-none"
cd "$T/work" || exit 1
S="$T/store"


die() {
  echo "FAIL: $*" >&2
  exit 1
}

# How long the loops run, and how many captures each makes at most.
RUN_SECONDS=25
MAX_CAPTURES=220
# What a single command may take before it counts as hung.
DEADLINE=20

round=0
start_server() {
  round=$((round + 1))
  local out="$T/serve.$round.out"
  timeout 120 "$BIN" --store "$S" serve >"$out" 2>"$T/serve.$round.err" &
  server=$!
  serving() { grep -qs '^serving ' "$out"; }
  until_true 20 serving || die "the server did not start: $(cat "$T/serve.$round.err")"
  server_pid=$(pgrep -P "$server")
  [ -n "$server_pid" ] || die "no server under its timeout"
}
kill_server() {
  # The timeout dies of the same signal; the shell need not report it.
  disown "$server" 2>/dev/null
  kill -KILL "$server_pid"
  timeout 20 tail --pid="$server" -f /dev/null
  { wait "$server"; } 2>/dev/null
  server=""
}

# logged K WHAT ARGS...: runs the program against the store within the
# deadline, its output in $T/last.K; a line "WHAT STATUS" in $T/status.K.
logged() {
  local k=$1 what=$2
  shift 2
  timeout "$DEADLINE" "$BIN" --store "$S" "$@" >"$T/last.$k" 2>>"$T/err.$k"
  local status=$?
  echo "$what $status" >>"$T/status.$k"
  return "$status"
}

# The ids and texts of the text clips in a list --json.
pairs() { grep -o '"id":[0-9]*,"ts":[0-9]*,"kind":"text","preview":"[^"]*"' "$1" |
  sed -E 's/^"id":([0-9]*),.*"preview":"(.*)"$/\1\t\2/'; }

loop() {
  local k=$1 i=0 id text
  local until=$((SECONDS + RUN_SECONDS))
  while [ "$i" -lt "$MAX_CAPTURES" ] && [ "$SECONDS" -lt "$until" ]; do
    i=$((i + 1))
    text="loop $k capture $i"
    printf '%s' "$text" >"$T/in.$k"
    timeout "$DEADLINE" "$BIN" --store "$S" store <"$T/in.$k" >"$T/last.$k" 2>>"$T/err.$k"
    echo "store $?" >>"$T/status.$k"
    id=$(sed -n 's/^{"id":\([0-9]*\),"dedup":[01]}$/\1/p' "$T/last.$k")
    if [ -z "$id" ]; then
      echo "store of '$text' answered '$(cat "$T/last.$k")'" >>"$T/bad.$k"
      continue
    fi
    printf '%s\t%s\n' "$id" "$text" >>"$T/acks.$k"
    if logged "$k" list list --json --limit 100000; then
      pairs "$T/last.$k" >>"$T/seen.$k"
    fi
    if logged "$k" get get "$id" && [ "$(cat "$T/last.$k")" != "$text" ]; then
      echo "get $id gave '$(cat "$T/last.$k")', not '$text'" >>"$T/bad.$k"
    fi
    if logged "$k" search search --json --limit 1000 "$text" &&
      ! grep -q "\"id\":$id," "$T/last.$k"; then
      echo "search '$text' did not find clip $id" >>"$T/bad.$k"
    fi
    [ $((i % 10)) = 0 ] && logged "$k" pin pin "$id"
  done
}

start_server
for k in 1 2; do
  loop "$k" &
  loops+=($!)
done
# Killed at random moments; now and then the loops find no server (a stale
# socket) for a while before the next one starts.
alive() {
  local p
  for p in "${loops[@]}"; do kill -0 "$p" 2>/dev/null && return 0; done
  return 1
}
kills=0
while alive && [ "$kills" -lt 100 ]; do
  sleep "0.$((RANDOM % 6))$((RANDOM % 10))"
  alive || break
  kill_server
  kills=$((kills + 1))
  sleep "0.$((RANDOM % 3))$((RANDOM % 10))"
  start_server
done
for p in "${loops[@]}"; do wait "$p"; done
loops=()
[ "$kills" -ge 5 ] || fail "the server was killed only $kills times while the loops ran"

# --- what the commands said ----------------------------------------------------------
cat "$T"/status.* >"$T/statuses"
total=$(wc -l <"$T/statuses")
hung=$(grep -c ' 124$' "$T/statuses")
[ "$hung" = 0 ] || fail "$hung commands outlived their $DEADLINE s deadline"
bad=$(grep -v ' 0$' "$T/statuses" | sort | uniq -c)
[ -z "$bad" ] || fail "commands that did not exit 0: $bad (stderr: $(cat "$T"/err.* | sort | uniq -c | head -n 5))"
[ ! -s "$T/bad.1" ] && [ ! -s "$T/bad.2" ] || fail "wrong answers: $(cat "$T"/bad.* | head -n 5)"
cat "$T"/acks.* >"$T/acks"
[ "$(wc -l <"$T/acks")" -ge 20 ] || fail "only $(wc -l <"$T/acks") captures were acknowledged"

# --- the history afterwards ---------------------------------------------------------------
q list --json --limit 100000
expect_rc 0 "list after the kills"
pairs "$T/out" >"$T/final"
# Every acknowledged capture is there, under the id it was given.
while IFS=$'\t' read -r id text; do
  grep -qxF "$id"$'\t'"$text" "$T/final" || fail "capture '$text' (acknowledged as clip $id) is not in the history"
done <"$T/acks"
# No id ever stood for two texts, and no text is there twice.
sort -u "$T/acks" "$T"/seen.* "$T/final" | sort -t$'\t' -k1,1n >"$T/ids"
dups=$(cut -f1 "$T/ids" | uniq -d)
[ -z "$dups" ] || fail "ids handed to two texts: $(for d in $dups; do grep "^$d"$'\t' "$T/ids"; done | head -n 6)"
twice=$(cut -f2 "$T/final" | sort | uniq -d)
[ -z "$twice" ] || fail "texts recorded twice: $(head -n 3 <<<"$twice")"
# The store loads by itself (no server) to the same history, and verifies.
kill -TERM "$server_pid"
timeout 20 tail --pid="$server" -f /dev/null
server=""
XDG_RUNTIME_DIR="$T/run-none" q list --json --limit 100000
expect_rc 0 "list of the store loaded without a server"
pairs "$T/out" | cmp -s - "$T/final" || fail "the store loaded by itself differs from what the server listed"
XDG_RUNTIME_DIR="$T/run-none" q verify
expect_rc 0 "verify after the kills"

echo "$kills kills, $total commands, $(wc -l <"$T/acks") acknowledged captures, $(wc -l <"$T/final") text clips"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
