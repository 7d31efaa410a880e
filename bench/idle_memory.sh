#!/usr/bin/env bash
# Measures what glibc's per-thread malloc cache costs the server per idle
# connection: runs zelkord-loadgen's workload C against a fresh headless
# server, alternating "tcache on" (no tunable) and "tcache off"
# (GLIBC_TUNABLES=glibc.malloc.tcache_count=0), for each client count, and
# prints KiB per idle connection (median, min..max) and the server's RSS.
# With --reconnect, every client then drops its connection at once and
# connects and registers again; the table says how many came back and how
# long the last took.
#
# The program never sets the tunable itself: the environment given here
# alone decides (scripts/run.sh and the service set it for real use).
#
#   bench/idle_memory.sh BUILD_DIR [--reps N] [--counts "1000 10000"]
#                       [--seconds S] [--variants "on off"] [--reconnect]
#                       [--keep]
#
# BUILD_DIR holds zelkord and zelkord-loadgen (built with -DZELKORD_BENCH=ON).
# Traffic goes to 127.0.0.1 only; every server started here is stopped on
# exit. Needs a descriptor hard limit above the largest count (+ ~100).
set -euo pipefail

[ $# -ge 1 ] || { sed -n '2,/^set -euo/{/^set -euo/!p}' "$0"; exit 2; }
build="$(cd "$1" && pwd)"; shift
reps=3
counts="1000 10000"
seconds=10
variants="on off"
keep=0
reconnect=()
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps="$2"; shift ;;
    --counts) counts="$2"; shift ;;
    --seconds) seconds="$2"; shift ;;
    --variants) variants="$2"; shift ;;
    --keep) keep=1 ;;
    --reconnect) reconnect=(--reconnect) ;;
    *) echo "idle_memory.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done
server="$build/zelkord"
loadgen="$build/zelkord-loadgen"
[ -x "$server" ] && [ -x "$loadgen" ] || { echo "no zelkord / zelkord-loadgen in $build" >&2; exit 2; }

max_count=0
for c in $counts; do [ "$c" -gt "$max_count" ] && max_count="$c"; done
source "$(dirname "$0")/bench_lib.sh"
need_descriptors $((max_count + 200)) || exit 2

work="$(mktemp -d "${TMPDIR:-/tmp}/zelkord-idle.XXXXXX")"
results="$work/results.txt"
: >"$results"
server_pid=""
stop_server() { stop_pid "$server_pid"; server_pid=""; }
cleanup() { stop_server; if [ "$keep" = 1 ]; then echo "kept $work" >&2; else rm -rf "$work"; fi; }
trap cleanup EXIT
trap 'exit 130' INT TERM

run=0
for rep in $(seq "$reps"); do
  for count in $counts; do
    for variant in $variants; do
      run=$((run + 1))
      dir="$work/run$run-$variant-$count"; mkdir -p "$dir"
      port="$(free_port)"
      write_server_config "$dir" "$port" $((max_count + 100))
      if [ "$variant" = off ]; then
        env GLIBC_TUNABLES=glibc.malloc.tcache_count=0 \
          "$server" --headless --config "$dir/zelkord.INI" >"$dir/server.log" 2>&1 &
      else
        env -u GLIBC_TUNABLES "$server" --headless --config "$dir/zelkord.INI" >"$dir/server.log" 2>&1 &
      fi
      server_pid=$!
      wait_listening "$port" "$dir/server.log" || exit 1
      sleep 0.5  # let start-up settle before the "before" RSS
      # What the running process really has (proves the variant).
      tun="$(tr '\0' '\n' <"/proc/$server_pid/environ" | sed -n 's/^GLIBC_TUNABLES=//p')"
      timeout --signal=INT 600 "$loadgen" --host 127.0.0.1 --port "$port" --server-pid "$server_pid" \
        --workload C --clients "$count" --seconds "$seconds" --label "tcache-$variant" "${reconnect[@]}" \
        >"$dir/loadgen.out" 2>&1 || true
      result="$(sed -n 's/^RESULT //p' "$dir/loadgen.out" | tail -n 1)"
      if [ -z "$result" ]; then
        echo "variant=$variant count=$count rep=$rep failed" | tee -a "$results" >&2
        tail "$dir/loadgen.out" >&2
      else
        echo "variant=$variant count=$count rep=$rep tunables=${tun:-none} $result" >>"$results"
        echo "[rep $rep] tcache $variant, $count clients: $(grep 'server RSS' "$dir/loadgen.out" | sed 's/^ *//')" >&2
      fi
      stop_server
    done
  done
done

get() { tr ' ' '\n' | sed -n "s/^$1=//p"; }
stats() {  # reads numbers; prints "median min max"
  sort -g | awk '{v[NR]=$1} END { if (!NR) {print "na na na"; exit}
    m = NR % 2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2; print m, v[1], v[NR] }'
}
echo
echo "| clients | tcache | KiB/idle conn median (min..max) | RSS before MiB | RSS after MiB median (min..max) | registered | back after all dropped | runs |"
echo "|---|---|---|---|---|---|---|---|"
for count in $counts; do
  for variant in $variants; do
    lines="$(grep "^variant=$variant count=$count " "$results" | grep -v failed || true)"
    n="$(printf '%s\n' "$lines" | grep -c . || true)"
    read -r km kl kh < <(printf '%s\n' "$lines" | while read -r l; do get kib_per_conn <<<"$l"; done | stats)
    read -r bm _ _ < <(printf '%s\n' "$lines" | while read -r l; do get rss_before_kib <<<"$l"; done | stats)
    read -r am al ah < <(printf '%s\n' "$lines" | while read -r l; do get rss_after_kib <<<"$l"; done | stats)
    reg="$(printf '%s\n' "$lines" | while read -r l; do get registered <<<"$l"; done | sort -u | tr '\n' ' ')"
    back="$(printf '%s\n' "$lines" | while read -r l; do
      r="$(get reconnected <<<"$l")"
      [ -z "$r" ] || printf '%s in %.1f s; ' "$r" "$(get reconnect_s <<<"$l")"
    done)"
    awk -v c="$count" -v v="$variant" -v km="$km" -v kl="$kl" -v kh="$kh" -v bm="$bm" \
        -v am="$am" -v al="$al" -v ah="$ah" -v reg="$reg" -v back="${back%; }" -v n="$n" 'BEGIN {
      printf "| %s | %s | %.2f (%.2f..%.2f) | %.1f | %.1f (%.1f..%.1f) | %s| %s | %s |\n",
        c, v, km, kl, kh, bm/1024, am/1024, al/1024, ah/1024, reg, back == "" ? "n/a" : back, n }'
  done
done
echo
echo "Raw results:"
cat "$results"
