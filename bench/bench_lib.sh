# Shell helpers shared by the idle and sweep benchmarks: free loopback
# ports, a headless server's settings file, and stopping what was started.
# Source it; it defines functions only.

port_listening() { [ -n "$(ss -Htln "sport = :$1" 2>/dev/null)" ]; }
# Any socket on the port, in any state (the clients of a finished run may
# still hold ports in TIME_WAIT).
port_busy() { [ -n "$(ss -Htan "sport = :$1" 2>/dev/null)" ]; }
# A port below the kernel's range for outgoing connections, so that no
# client socket of an earlier run can hold the one chosen.
free_port() {
  local p ephemeral_low port_low=10000
  read -r ephemeral_low _ </proc/sys/net/ipv4/ip_local_port_range
  [ "$ephemeral_low" -gt $((port_low + 1000)) ] || port_low=1100
  for _ in $(seq 200); do
    p=$((port_low + RANDOM % (ephemeral_low - port_low)))
    port_busy "$p" || { echo "$p"; return; }
  done
  return 1
}

# write_server_config DIR PORT USERMAX: a headless server's settings file
# (CR LF text) in DIR, with nothing written to disk while it runs.
write_server_config() {
  local dir="$1" port="$2" users="$3"
  printf '%s\r\n' "[Program]" "UserMax=$users" "ChanMax=10" "" \
    "[Server]" "Port=$port" "Name=zelkord.bench" "MotdPath=$dir/no-motd.MTD" "" \
    "[Log]" "Save=Disable" "Path=$dir/" "" "[Web]" "Send=Disable" >"$dir/zelkord.INI"
}

# Raises the descriptor limit to at least $1 (up to the hard limit); fails
# with a message when that is not enough.
need_descriptors() {
  ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
  if [ "$(ulimit -n)" -lt "$1" ]; then
    echo "descriptor limit $(ulimit -n) is below $1" >&2
    return 1
  fi
}

# stop_pid PID: TERM, up to 10 s, then KILL.
stop_pid() {
  local pid="$1"
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# wait_listening PORT LOG: up to 10 s for the port; prints the log's end on failure.
wait_listening() {
  for _ in $(seq 100); do port_listening "$1" && return 0; sleep 0.1; done
  echo "nothing listened on $1" >&2
  tail "$2" >&2
  return 1
}
