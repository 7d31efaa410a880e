#!/usr/bin/env bash
# Renders the status pages in headless Chromium against a running server and
# saves the screenshots as docs/web-index.png and docs/web-log.png. Starts its
# own server in a temporary instance folder on free ports, lets two scripted
# clients talk (Japanese included), then stops everything.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
zelkord_install_packages chromium fonts-ipafont-gothic
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j 2 --target zelkord

instance=$(mktemp -d)
profile=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$instance" "$profile"
}
trap cleanup EXIT

free_port() {
  local port
  for port in $(shuf -i 20000-40000 -n 50); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$port"; return; fi
  done
  return 1
}
irc_port=$(free_port)
web_port=$(free_port)
printf '[Server]\r\nPort=%s\r\nName=demo.zelkord\r\n[Web]\r\nSend=Enable\r\nPort=%s\r\nIndexForm=%s\r\nLogForm=%s\r\n' \
  "$irc_port" "$web_port" "$PWD/build/IndexForm.html" "$PWD/build/LogForm.html" >"$instance/zelkord.INI"
build/zelkord --headless --config "$instance/zelkord.INI" >"$instance/console.txt" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$web_port") 2>/dev/null && break
  sleep 0.1
done

# Lines go out in ISO-2022-JP, as a real client sends them.
say() { printf '%s\r\n' "$2" | iconv -f UTF-8 -t ISO-2022-JP >&"$1"; }
exec 5<>"/dev/tcp/127.0.0.1/$irc_port"
exec 6<>"/dev/tcp/127.0.0.1/$irc_port"
say 5 "NICK hanako"; say 5 "USER hanako host server :Hanako"
say 6 "NICK taro"; say 6 "USER taro host server :Taro"
say 5 "JOIN #lobby"; say 6 "JOIN #lobby"; say 6 "JOIN #dev"
say 5 "TOPIC #lobby :ようこそ、雑談はこちらへ"
say 6 "TOPIC #dev :<b>build</b> & release notes"
say 5 "PRIVMSG #lobby :おはようございます！"
say 6 "PRIVMSG #lobby :おはよう。今日の打ち合わせは 10:00 から <会議室A> です"
say 5 "PRIVMSG #lobby :了解しました"
say 6 "PRIVMSG #dev :tests pass on both sanitizer builds"
sleep 1

shoot() {
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --hide-scrollbars --window-size=900,520 \
    --screenshot="$2" "http://127.0.0.1:$web_port/$1" >/dev/null 2>&1
}
mkdir -p docs
shoot "" docs/web-index.png
shoot "lobby" docs/web-log.png
say 5 "QUIT"; say 6 "QUIT"
exec 5>&- 6>&-
echo "saved docs/web-index.png and docs/web-log.png"
