#!/usr/bin/env bash
# Checks that today's IRC clients work against a fresh server at their
# default settings: Debian's irssi (in tmux), Debian's WeeChat (headless
# where the package exists, else in tmux) and irc-framework's Client under
# Node. Each gets a server of its own on a free local port, connects,
# registers, joins "#alpha,#beta" given as one list and messages a nick
# nobody holds. Each client passes when it registered, the server holds
# #alpha and #beta (and no "#alpha,#beta"), the client shows itself as
# channel operator in both, and it shows the "No such nick" error.
# A failure prints the server's own lines for it from the verbose log.
#
#   scripts/clients-check.sh [--keep]   --keep leaves the work folder with
#                                       every log and screen, and names it
set -euo pipefail
cd "$(dirname "$0")/.."
keep=0
[ "${1:-}" = "--keep" ] && keep=1

source scripts/packages.sh
weechat_package=weechat-curses
if dpkg-query -W -f='${Status}' weechat-headless 2>/dev/null | grep -q "install ok installed" ||
  apt-cache policy weechat-headless 2>/dev/null | grep -qE "Candidate: [^(]"; then
  weechat_package=weechat-headless
fi
packages=(irssi tmux "$weechat_package")
# A Node from elsewhere brings its own npm; Debian's npm would fight it.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
zelkord_install_packages "${packages[@]}"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j 2 --target zelkord >/dev/null

work=$(mktemp -d)
node=$work/node
server_pid=""
client_pid=""
session=""
cleanup() {
  if [ -n "$session" ]; then tmux kill-session -t "$session" 2>/dev/null || true; fi
  if [ -n "$client_pid" ]; then kill "$client_pid" 2>/dev/null || true; fi
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  if [ "$keep" = 1 ]; then echo "logs and screens: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
mkdir -p "$node"
(cd "$node" && npm install --no-audit --no-fund --loglevel=error irc-framework >/dev/null)

failures=0
report() { # client, check, status (0 = pass), what to show on a failure
  if [ "$3" = 0 ]; then
    printf 'PASS %-13s %s\n' "$1" "$2"
  else
    printf 'FAIL %-13s %s\n' "$1" "$2"
    printf '%s\n' "$4" | sed 's/^/       /'
    failures=$((failures + 1))
  fi
}

# 0 when the command succeeds, else 1, without stopping the script.
status_of() {
  if "$@"; then echo 0; else echo 1; fi
}

# Waits up to $3 seconds for an extended regular expression in a file.
wait_for() {
  for _ in $(seq $(($3 * 10))); do
    grep -aqE "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Starts a server of its own for one client; sets port, log and server_pid.
start_server() {
  local dir=$work/$1
  mkdir -p "$dir"
  while :; do
    port=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  log=$dir/server.log
  printf '%s\r\n' "[Server]" "Port=$port" "MotdPath=" "" "[Web]" "Send=Disable" >"$dir/zelkord.INI"
  build/zelkord --headless --verbose --config "$dir/zelkord.INI" >"$log" 2>&1 &
  server_pid=$!
  if ! wait_for "$log" "listening for IRC" 10; then
    echo "the server did not start:" >&2
    cat "$log" >&2
    exit 1
  fi
}

stop_server() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

# The connection slot the server gave a nick, from its first NICK line.
slot_of() {
  sed -n "s/^[0-9:]* recv \([0-9]*\) NICK :\{0,1\}$1\r\{0,1\}\$/\1/p" "$log" | head -1
}

# Every line the server sent to or received from one slot that matches $2.
slot_lines() {
  grep -aE "^[0-9:]* (send|recv) $1 " "$log" | grep -aE "$2" || echo "(none)"
}

# Asks the server for its channel list over a raw connection of our own.
list_channels() {
  local reply
  reply=$(
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'NICK lister\r\nUSER lister 0 * :lister\r\nLIST\r\nQUIT\r\n' >&3
    timeout 5 cat <&3 || true
  )
  printf '%s\n' "$reply" | tr -d '\r' | awk '$2 == "322" { print $4 }' | sort
}

# (a) and (b), which read only the server: registration, and the two
# channels that the one JOIN list must make.
check_server_side() { # client, nick, client-side evidence of 001 (0 = seen)
  local client=$1 nick=$2 seen=$3 slot channels status
  slot=$(slot_of "$nick")
  status=1
  [ -n "$slot" ] && grep -aqE "^[0-9:]* send $slot :[^ ]+ 001 $nick " "$log" && [ "$seen" = 0 ] && status=0
  report "$client" "registered (001)" "$status" "$(
    echo "the server's lines for slot ${slot:-?} up to the welcome:"
    [ -z "$slot" ] || slot_lines "$slot" "recv|001|4[0-9][0-9] " | head -20
    [ "$seen" = 0 ] || echo "the client itself shows no welcome (001)"
  )"

  channels=$(cat "$work/$client/list.txt")
  status=1
  grep -qx '#alpha' <<<"$channels" && grep -qx '#beta' <<<"$channels" &&
    ! grep -q ',' <<<"$channels" && status=0
  report "$client" "JOIN #alpha,#beta makes #alpha and #beta" "$status" "$(
    echo "LIST answers: $(paste -sd ' ' <<<"$channels")"
    echo "the server's JOIN lines for slot $slot:"
    slot_lines "$slot" " JOIN | 353 | 366 | 40[35] | 47[0-9] "
  )"
}

# (d) for the server's part: what it did with PRIVMSG nobody.
explain_401() { # nick
  local slot
  slot=$(slot_of "$1")
  echo "the server's lines for slot $slot about nobody:"
  slot_lines "$slot" "nobody"
  grep -aqE "^[0-9:]* send $slot :[^ ]+ 401 $1 nobody " "$log" ||
    echo "the server received PRIVMSG nobody and sent no 401 back"
}

run_irssi() {
  local nick=irssi dir=$work/irssi window status line
  start_server irssi
  session=zelkord-clients-$$
  tmux new-session -d -s "$session" -x 120 -y 40 "irssi --home=$dir/home -n $nick"
  keys() { tmux send-keys -t "$session" "$1" Enter; }
  sleep 2
  keys "/connect 127.0.0.1 $port"
  wait_for "$log" "send [0-9]+ :[^ ]+ 001 $nick " 20 || true
  keys "/join #alpha,#beta"
  wait_for "$log" "recv [0-9]+ JOIN #alpha" 10 || true
  # irssi paces its lines once the burst is spent: about one each 2 s.
  sleep 2
  keys "/msg nobody hi"
  wait_for "$log" "recv [0-9]+ PRIVMSG nobody " 15 || true
  sleep 2
  list_channels >"$dir/list.txt"

  # One screen per irssi window, until a window number does not exist.
  for window in $(seq 9); do
    keys "/window $window"
    sleep 0.5
    tmux capture-pane -p -t "$session" >"$dir/screen.$window"
    grep -qE "\[$window:" "$dir/screen.$window" || {
      rm "$dir/screen.$window"
      break
    }
  done
  keys "/quit"
  sleep 1
  tmux kill-session -t "$session" 2>/dev/null || true
  session=""
  stop_server

  check_server_side irssi "$nick" "$(status_of grep -qs "Welcome to the Internet Relay Network $nick" "$dir"/screen.*)"
  status=0
  for channel in '#alpha' '#beta'; do
    # The channel's window: its status bar names the channel alone, with
    # the channel's modes once irssi has asked for them.
    window=$(grep -lE "\[[0-9]+:[^]/]*/$channel(\([^)]*\))?\]" "$dir"/screen.* 2>/dev/null |
      head -1 || true)
    [ -n "$window" ] && grep -qF "@$nick" "$window" || status=1
  done
  report irssi "@$nick in #alpha and #beta" "$status" "$(
    for window in "$dir"/screen.*; do
      line=$(grep -oE "\[[0-9]+:[^]]*\]" "$window" | tail -1)
      echo "window $line: $(grep -E "has joined|\[Users|\[@|@$nick" "$window" | tr -s ' ' | paste -sd '|')"
    done
  )"
  report irssi "shows 401 for nobody" "$(status_of grep -qs "nobody: No such nick" "$dir"/screen.*)" "$(explain_401 "$nick")"
}

run_weechat() {
  local nick=weechat dir=$work/weechat fifo="" fifos status
  start_server weechat
  # The plain port: WeeChat 4 and later default to TLS; 3.x, plain by
  # default, ignores -notls.
  local args=(--dir "$dir/home" -r "/server add zel 127.0.0.1/$port -notls;/set irc.server.zel.nicks $nick;/set irc.server.zel.autojoin \"#alpha,#beta\";/connect zel")
  if [ "$weechat_package" = weechat-headless ]; then
    weechat-headless "${args[@]}" </dev/null >"$dir/weechat.out" 2>&1 &
    client_pid=$!
  else
    session=zelkord-clients-$$
    tmux new-session -d -s "$session" -x 120 -y 40 weechat "${args[@]}"
  fi
  # Commands go in through WeeChat's own command pipe.
  for _ in $(seq 50); do
    fifos=("$dir/home"/weechat_fifo*)
    fifo=${fifos[0]}
    [ -p "$fifo" ] && break
    sleep 0.1
  done
  wait_for "$log" "send [0-9]+ :[^ ]+ 001 $nick " 20 || true
  wait_for "$log" "recv [0-9]+ JOIN #alpha" 10 || true
  sleep 2
  echo "irc.server.zel */msg nobody hi" >"$fifo"
  wait_for "$log" "recv [0-9]+ PRIVMSG nobody " 10 || true
  # WeeChat prints a channel's names, with their prefixes, on request.
  echo "irc.server.zel */names #alpha" >"$fifo"
  echo "irc.server.zel */names #beta" >"$fifo"
  wait_for "$log" "recv [0-9]+ NAMES #beta" 10 || true
  sleep 1
  list_channels >"$dir/list.txt"
  # Quitting flushes the logs.
  echo "*/quit" >"$fifo"
  for _ in $(seq 50); do
    if [ -n "$client_pid" ]; then
      kill -0 "$client_pid" 2>/dev/null || break
    else
      tmux has-session -t "$session" 2>/dev/null || break
    fi
    sleep 0.1
  done
  [ -n "$client_pid" ] && { kill "$client_pid" 2>/dev/null || true; wait "$client_pid" 2>/dev/null || true; }
  client_pid=""
  [ -n "$session" ] && { tmux kill-session -t "$session" 2>/dev/null || true; }
  session=""
  stop_server

  local logs=$dir/home/logs
  check_server_side weechat "$nick" "$(status_of grep -qs "Welcome to the Internet Relay Network $nick" "$logs"/irc.server.zel.weechatlog)"
  status=0
  for channel in '#alpha' '#beta'; do
    grep -qsE "Nicks $channel: \[(.* )?@${nick}[] ]" "$logs/irc.zel.$channel.weechatlog" || status=1
  done
  report weechat "@$nick in #alpha and #beta" "$status" "$(
    for file in "$logs"/irc.*.weechatlog; do
      echo "${file##*/}: $(grep -E "has joined|Nicks|Channel #" "$file" | cut -f3 | paste -sd '|')"
    done
  )"
  report weechat "shows 401 for nobody" "$(status_of grep -qs "nobody: No such nick" "$logs"/*.weechatlog)" "$(explain_401 "$nick")"
}

run_irc_framework() {
  local nick=ircfw dir=$work/irc-framework status
  cat >"$node/check.js" <<'EOF'
// Connects with irc-framework's defaults and prints the events checked.
const { Client } = require('irc-framework');
const [port, nick] = process.argv.slice(2);
const client = new Client();
const print = (...words) => console.log(words.join(' '));
client.on('registered', (event) => {
  print('registered', event.nick);
  client.join('#alpha,#beta');
  setTimeout(() => client.say('nobody', 'hi'), 2000);
});
client.on('join', (event) => print('join', event.nick, event.channel));
client.on('userlist', (event) =>
  print('userlist', event.channel, ...event.users.map((u) => (u.modes.includes('o') ? '@' : '') + u.nick)));
client.on('irc error', (event) => print('irc error', event.error, event.nick || event.channel || '', event.reason || ''));
client.on('unknown command', (event) => print('unknown command', event.command, ...event.params));
process.on('SIGTERM', () => {
  client.quit('done');
  setTimeout(() => process.exit(0), 500);
});
setTimeout(() => process.exit(1), 60000);
client.connect({ host: '127.0.0.1', port: Number(port), nick });
EOF
  start_server irc-framework
  (cd "$node" && exec node check.js "$port" "$nick") >"$dir/events.log" 2>&1 &
  client_pid=$!
  wait_for "$dir/events.log" "^registered" 20 || true
  wait_for "$log" "recv [0-9]+ PRIVMSG nobody " 10 || true
  sleep 2
  list_channels >"$dir/list.txt"
  kill -TERM "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  client_pid=""
  stop_server

  check_server_side irc-framework "$nick" "$(status_of grep -q "^registered $nick\$" "$dir/events.log")"
  status=0
  for channel in '#alpha' '#beta'; do
    grep -qE "^userlist $channel( .*)? @$nick( |\$)" "$dir/events.log" || status=1
  done
  report irc-framework "@$nick in #alpha and #beta" "$status" "$(grep -E "^(join|userlist) " "$dir/events.log")"
  report irc-framework "shows 401 for nobody" "$(status_of grep -q "^irc error no_such_nick nobody" "$dir/events.log")" "$(
    grep -E "^(irc error|unknown command 4)" "$dir/events.log" || echo "irc-framework reported no error"
    explain_401 "$nick"
  )"
}

echo "irssi $(irssi --version | awk '{print $2}'), $weechat_package $(dpkg-query -W -f='${Version}' "$weechat_package")," \
  "irc-framework $(node -p "require('$node/node_modules/irc-framework/package.json').version") on Node $(node --version)"
run_irssi
run_weechat
run_irc_framework

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "every check passed"
