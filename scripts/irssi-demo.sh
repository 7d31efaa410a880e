#!/usr/bin/env bash
# Shows the per-client encodings with real clients: starts a headless server
# on a free local port and two irssi clients in a tmux session, one in its
# default UTF-8 and one set to ISO-2022-JP, joins both to one channel with a
# Japanese name, lets each say a Japanese line, and prints both screens.
#
#   scripts/irssi-demo.sh [--keep]   --keep leaves the tmux session running
#                                    (tmux attach -t zelkord-demo)
set -euo pipefail
cd "$(dirname "$0")/.."
keep=0
[ "${1:-}" = "--keep" ] && keep=1
source scripts/packages.sh
zelkord_install_packages irssi tmux
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j 2 --target zelkord >/dev/null

work=$(mktemp -d)
session=zelkord-demo
server_pid=""
cleanup() {
  [ "$keep" = 1 ] || tmux kill-session -t "$session" 2>/dev/null || true
  [ -n "$server_pid" ] && [ "$keep" = 0 ] && kill "$server_pid" 2>/dev/null || true
  sleep 0.5  # irssi writes its settings as it quits
  [ "$keep" = 1 ] || rm -rf "$work" 2>/dev/null || true
}
trap cleanup EXIT

port=$((20000 + RANDOM % 20000))
printf '%s\r\n' "[Server]" "Port=$port" "MotdPath=" "" "[Web]" "Send=Disable" >"$work/zelkord.INI"
build/zelkord --headless --verbose --config "$work/zelkord.INI" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do grep -q "listening for IRC" "$work/server.log" && break; sleep 0.1; done

# One irssi per pane; the second one reads and writes ISO-2022-JP.
tmux kill-session -t "$session" 2>/dev/null || true
tmux new-session -d -s "$session" -x 100 -y 16 "irssi --home=$work/hanako -n hanako"
tmux split-window -v -t "$session" "irssi --home=$work/taro -n taro"
send() { tmux send-keys -t "$session.$1" "$2" Enter; sleep 1; }
sleep 2
send 1 "/set recode_autodetect_utf8 off"
send 1 "/set recode_fallback ISO-2022-JP"
send 1 "/set recode_out_default_charset ISO-2022-JP"
send 0 "/connect 127.0.0.1 $port"
send 1 "/connect 127.0.0.1 $port"
# irssi spends its burst of unpaced lines on the capability negotiation
# and registration, then sends a line every two seconds or so.
sleep 5
send 0 "/join #日本語"
send 1 "/join #日本語"
send 0 "こんにちは、世界！ テスト①〜ｶﾀｶﾅ"
send 1 "ISO-2022-JP から：日本語のテスト"
sleep 5

for pane in 0 1; do
  [ "$pane" = 0 ] && echo "=== hanako (UTF-8)" || echo "=== taro (ISO-2022-JP)"
  tmux capture-pane -p -t "$session.$pane" | grep -v '^$'
done
echo "=== the server's console (Shift_JIS shown as UTF-8)"
grep -a -E "recv [12] (JOIN|PRIVMSG)|chat|status slot" "$work/server.log" || true
