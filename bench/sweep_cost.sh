#!/usr/bin/env bash
# What one liveness sweep of many parked clients costs the server, against
# what the same number of PING/PONG round trips costs the bare relay. Each
# server gets a fresh process and N idle clients (workload C), held for
# longer than the server's first sweep (60 s after it starts): our server
# pings every client once and they answer; the relay is pinged by every
# client once at about the same time, and answers. Prints, per server, the
# pings and pongs seen, and its CPU seconds and the most threads it ran at
# once from 50 to 75 s after its start (sampled every 0.2 s), a window that
# holds the sweep and the answers but not the connecting or the leaving.
#
#   bench/sweep_cost.sh BUILD_DIR [--clients N] [--base OTHER_BUILD_DIR] [--keep]
#
# BUILD_DIR holds zelkord, zelkord-loadgen and zelkord-relay (built with
# -DZELKORD_BENCH=ON); --base adds the zelkord of another build, to compare.
# Traffic goes to 127.0.0.1 only; every process started here is stopped on
# exit. Needs a descriptor limit above N + 200 for each process.
set -euo pipefail

[ $# -ge 1 ] || { sed -n '2,17p' "$0"; exit 2; }
build="$(cd "$1" && pwd)"; shift
clients=10000
base=""
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --clients) clients="$2"; shift ;;
    --base) base="$(cd "$2" && pwd)"; shift ;;
    --keep) keep=1 ;;
    *) echo "sweep_cost.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done
loadgen="$build/zelkord-loadgen"
source "$(dirname "$0")/bench_lib.sh"
need_descriptors $((clients + 200)) || exit 2

# The first sweep comes 60 s after the start; idling until 80 s covers it
# and the answers, whatever the connecting took.
idle_seconds=80
window_from=50
window_to=75
# The relay's clients connect within a few seconds: their pings then come
# about when our first sweep does.
relay_ping_at=55
work="$(mktemp -d "${TMPDIR:-/tmp}/zelkord-sweep.XXXXXX")"
server_pid=""
sampler_pid=""
cleanup() {
  stop_pid "$sampler_pid"
  stop_pid "$server_pid"
  if [ "$keep" = 1 ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# run NAME COMMAND...: one server, its clients idling, its peak thread count.
run() {
  local name="$1"; shift
  local dir="$work/$name" port
  mkdir -p "$dir"
  port="$(free_port)"
  write_server_config "$dir" "$port" $((clients + 100))
  "$@" "$dir" "$port" >"$dir/server.log" 2>&1 &
  server_pid=$!
  wait_listening "$port" "$dir/server.log" || return 1
  # Samples: seconds since the start, threads, CPU ticks (user + system).
  (while kill -0 "$server_pid" 2>/dev/null; do
     threads="$(sed -n 's/^Threads:\s*//p' "/proc/$server_pid/status" 2>/dev/null)"
     ticks="$(awk '{print $14 + $15}' "/proc/$server_pid/stat" 2>/dev/null)"
     [ -n "$threads" ] && [ -n "$ticks" ] && echo "$(date +%s.%N) $threads $ticks"
     sleep 0.2
   done >"$dir/samples") &
  sampler_pid=$!
  local extra=()
  [ "$name" = relay ] && extra=(--ping-at "$relay_ping_at")
  timeout --signal=INT 600 "$loadgen" --host 127.0.0.1 --port "$port" --server-pid "$server_pid" \
    --workload C --clients "$clients" --batch 200 --seconds "$idle_seconds" --label "$name" \
    "${extra[@]}" >"$dir/loadgen.out" 2>&1 || true
  stop_pid "$sampler_pid"; sampler_pid=""
  stop_pid "$server_pid"; server_pid=""
  local result window
  result="$(sed -n 's/^RESULT //p' "$dir/loadgen.out" | tail -n 1)"
  [ -n "$result" ] || { echo "$name: no result" >&2; tail "$dir/loadgen.out" >&2; return 1; }
  window="$(awk -v from="$window_from" -v to="$window_to" -v hz="$(getconf CLK_TCK)" '
    NR == 1 { start = $1 }
    $1 - start >= from && $1 - start <= to {
      if (first == "") first = $3; last = $3; if ($2 > peak) peak = $2 }
    END { printf "window_cpu_s=%.3f window_peak_threads=%d", (last - first) / hz, peak }' \
    "$dir/samples")"
  echo "$name $window $result" >>"$work/results"
}

# The servers take their settings differently; these wrappers hide it.
zelkord_from() {  # zelkord_from PROGRAM DIR PORT
  exec "$1" --headless --config "$2/zelkord.INI"
}
relay_from() {  # relay_from PROGRAM DIR PORT
  exec "$1" --port "$3"
}

: >"$work/results"
echo "sweep_cost: $clients idle clients, ${idle_seconds} s each" >&2
run zelkord zelkord_from "$build/zelkord"
[ -z "$base" ] || run zelkord-base zelkord_from "$base/zelkord"
run relay relay_from "$build/zelkord-relay"

get() { tr ' ' '\n' | sed -n "s/^$1=//p"; }
echo
echo "| server | registered | pings answered | our pings answered | CPU-s ${window_from}-${window_to} s | peak threads ${window_from}-${window_to} s |"
echo "|---|---|---|---|---|---|"
while read -r line; do
  printf '| %s | %s | %s | %s | %s | %s |\n' "${line%% *}" "$(get registered <<<"$line")" \
    "$(get pings_answered <<<"$line")" "$(get pongs_received <<<"$line")" \
    "$(get window_cpu_s <<<"$line")" "$(get window_peak_threads <<<"$line")"
done <"$work/results"
echo
echo "Raw results:"
cat "$work/results"
