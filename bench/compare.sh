#!/usr/bin/env bash
# Compares our server with peer IRC daemons and a bare relay under the same
# load: installs the peers from Debian's packages if missing, builds our
# server (with its Qt window), the relay and the load generator (Release),
# writes a loopback-only configuration for each daemon into a temporary
# folder, and runs zelkord-loadgen's workloads A, B and C against each one,
# starting a fresh daemon for every run so that no run inherits another's
# memory. Prints one table of medians with ratios to the first daemon and
# writes it into docs/performance.md. Every daemon it started is stopped on
# exit.
#
#   bench/compare.sh [--quick] [--reps N] [--daemons "zelkord relay ngircd"]
#                    [--curve ["N ..."]] [--curve-limit S] [--no-doc] [--keep]
#                    [--tls | --no-tls]
#
#   --quick    one short repetition (A 5 s, B 3 s, C 200 clients idle 3 s)
#   --reps N   repetitions of the full workloads (default 2)
#   --daemons  which daemons to run, in order; the first is the ratio base
#              (default "zelkord zelkord-logsave zelkord-history zelkord-metrics
#              zelkord-window relay hybrid ngircd inspircd")
#   --curve    instead of A, B and C, run workload D (a community: N clients in
#              N/4 channels of Zipf sizes, 2000 lines/s in all) for each N
#              (default "1000 5000 10000 19000") on each daemon that routes
#              channels and private lines (zelkord, hybrid, ngircd, inspircd;
#              the default list), one repetition unless --reps is given; writes
#              the cost curve into docs/performance.md and
#              docs/performance-curve.png (gnuplot-nox is installed if missing).
#              19000 is the top here because a process may hold 20000
#              descriptors on this machine and the limit cannot be raised
#              without CAP_SYS_RESOURCE; 50000 needs a machine that allows
#              it, and zelkord-loadgen --source-addresses past 28000 or so
#   --curve-limit S  seconds one D run may take, set-up included (default
#              300); a daemon whose run is cut off there is not run at the
#              larger N, and the table says so
#   --no-doc   leave docs/performance.md (and the curve figure) alone
#   --keep     keep the temporary folder (configurations, logs, raw results)
#   --no-tls   clear text only; by default the daemons that serve TLS (all
#              but the relay and the variants) also run A, B and C with every
#              client over TLS (A-tls, B-tls, C-tls), on a second listener
#              with a P-256 certificate made for the run
#
# The daemons:
#   zelkord          our server, headless
#   zelkord-logsave  the same with the day logs written (workload B only)
#   zelkord-history  the same with the history store written (workload B only)
#   zelkord-metrics  the same with /metrics on the web port, read every second
#                    (workload B only)
#   zelkord-window   the same with its window open on Qt's offscreen platform
#                    (workload B only; skipped when the build has no window)
#   relay            zelkord-relay (bench/relay.cpp): the floor, forwarding
#                    and nothing else
#   hybrid           ircd-hybrid, unpacked from Debian's package into the build
#                    folder (it conflicts with ngircd, so it is not installed)
#                    and run as nobody with bench/resolver_stub.py as its DNS
#   ngircd, inspircd Debian's packages, installed when missing
#
# Every run also records the daemon's peak resident memory (VmHWM) just
# before it is stopped; the table shows workload B's.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZELKORD_BENCH_BUILD:-$repo/build-bench}"
doc="$repo/docs/performance.md"
# The configuration templates; workload D runs copies with its limits raised.
peer_templates="$repo/bench/peers"
command_line="bench/compare.sh $*"

quick=0
reps=2
daemons="zelkord zelkord-logsave zelkord-history zelkord-metrics zelkord-window relay hybrid ngircd inspircd"
write_doc=1
keep=0
tls=1
reps_given=0
daemons_given=0
curve=0
curve_ns="1000 5000 10000 19000"
curve_limit=300
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1; reps=1 ;;
    --reps) reps="$2"; reps_given=1; shift ;;
    --daemons) daemons="$2"; daemons_given=1; shift ;;
    --no-doc) write_doc=0 ;;
    --keep) keep=1 ;;
    --tls) tls=1 ;;
    --no-tls) tls=0 ;;
    --curve)
      curve=1
      if [ $# -gt 1 ] && [[ "$2" != --* ]]; then curve_ns="$2"; shift; fi
      ;;
    --curve-limit) curve_limit="$2"; shift ;;
    -h|--help) sed -n '2,/^set -euo/{/^set -euo/!p}' "$0"; exit 0 ;;
    *) echo "compare.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done
case "$reps" in ''|*[!0-9]*) echo "compare.sh: --reps needs a number" >&2; exit 2 ;; esac
if [ "$reps" -lt 1 ] || [ "$reps" -gt 20 ]; then
  echo "compare.sh: --reps 1..20" >&2
  exit 2
fi

# --- workload D options ------------------------------------------------------
case "$curve_limit" in ''|*[!0-9]*|0) echo "compare.sh: --curve-limit needs seconds" >&2; exit 2 ;; esac
if [ "$curve" = 1 ]; then
  for n in $curve_ns; do
    case "$n" in ''|*[!0-9]*) echo "compare.sh: --curve needs client counts" >&2; exit 2 ;; esac
    if [ "$n" -lt 4 ] || [ "$n" -gt 19000 ]; then
      echo "compare.sh: --curve counts 4..19000 (the descriptor limit here)" >&2
      exit 2
    fi
  done
  [ "$reps_given" = 1 ] || reps=1
  tls=0  # D runs in clear text
  # The relay serves one channel and no private lines, and the zelkord
  # variants differ only in a relayed line's path: the curve leaves them out.
  [ "$daemons_given" = 1 ] || daemons="zelkord hybrid ngircd inspircd"
  curve_skipped=""
  curve_daemons=""
  for daemon in $daemons; do
    case "$daemon" in
      zelkord|hybrid|ngircd|inspircd) curve_daemons="$curve_daemons $daemon" ;;
      *) curve_skipped="$curve_skipped $daemon" ;;
    esac
  done
  daemons="${curve_daemons# }"
  [ -n "$daemons" ] || { echo "compare.sh: no daemon for the curve" >&2; exit 2; }
  [ -z "$curve_skipped" ] ||
    printf 'compare.sh: not in the curve (no channels and private lines of their own):%s\n' \
      "$curve_skipped" >&2
fi

if [ "$quick" = 1 ]; then
  args_a=(--seconds 5)
  args_b=(--seconds 3)
  args_c=(--clients 200 --seconds 3)
else
  args_a=()
  args_b=()
  args_c=()
fi
# Hard limits so that a hung daemon cannot hold the run: a loadgen run that
# takes longer than this is stopped.
loadgen_limit=900
start_limit_tenths=100
stop_limit_tenths=100

log() { printf '%s\n' "$*" >&2; }

# --- packages --------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

need=()
for daemon in $daemons; do
  case "$daemon" in
    zelkord|zelkord-logsave|zelkord-history|zelkord-metrics|zelkord-window|relay) ;;
    ngircd) [ -x /usr/sbin/ngircd ] || need+=(ngircd) ;;
    inspircd) [ -x /usr/sbin/inspircd ] || need+=(inspircd) ;;
    hybrid)
      # Run from its unpacked package, so only its libraries are installed,
      # and Python for the resolver stub.
      for package in libgnutls30 libltdl7 libcrypt1; do
        installed "$package" || need+=("$package")
      done
      command -v python3 >/dev/null || need+=(python3)
      if [ "$(id -u)" != 0 ]; then
        echo "compare.sh: hybrid needs root (a mount namespace of its own)" >&2
        exit 2
      fi
      ;;
    *) echo "compare.sh: unknown daemon '$daemon'" >&2; exit 2 ;;
  esac
done
# The run's certificate is made with the openssl command.
[ "$tls" = 0 ] || command -v openssl >/dev/null || need+=(openssl)
if [ "$curve" = 1 ] && [ "$write_doc" = 1 ] && ! command -v gnuplot >/dev/null; then
  need+=(gnuplot-nox)
fi
if [ "$(id -u)" = 0 ]; then sudo_cmd=(); else sudo_cmd=(sudo); fi
if [ ${#need[@]} -gt 0 ]; then
  log "installing ${need[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >&2 ||
    { "${sudo_cmd[@]}" apt-get update -q >&2 &&
      "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >&2; }
  # The packages start system-wide services on the default port; the runs
  # below use their own ports and never talk to those.
fi

# --- build -----------------------------------------------------------------
# With the window, so that one binary serves the headless and the window runs.
log "building $build (Release)"
cmake -S "$repo" -B "$build" -G Ninja -DZELKORD_BENCH=ON -DZELKORD_WINDOW=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target zelkord zelkord-loadgen zelkord-relay >&2
# The revision the server was built from, taken now: by the end this script
# has rewritten the document and figure itself. The document and figure are
# left out of the comparison, as a run just before may have rewritten them.
zelkord_revision="$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)$(
  git -C "$repo" diff --quiet HEAD -- . ':!docs/performance.md' ':!docs/performance-curve.png' \
    2>/dev/null || echo ', with local changes')"
loadgen="$build/zelkord-loadgen"

skipped=""
if [[ " $daemons " == *" zelkord-window "* ]] && ! ldd "$build/zelkord" | grep -q libQt6Widgets; then
  skipped="zelkord-window skipped: this build has no window (Qt6 Widgets not found)."
  log "$skipped"
  daemons="$(tr ' ' '\n' <<<"$daemons" | grep -vx zelkord-window | paste -sd ' ')"
  [ -n "$daemons" ] || exit 1
fi

# ircd-hybrid's package is unpacked into the build folder once and run from
# there.
hybrid_root="$build/peers/ircd-hybrid"
if [[ " $daemons " == *" hybrid "* ]] && [ ! -x "$hybrid_root/usr/sbin/ircd-hybrid" ]; then
  log "unpacking ircd-hybrid into $hybrid_root"
  mkdir -p "$build/peers"
  rm -f "$build/peers"/ircd-hybrid_*.deb
  (cd "$build/peers" && { apt-get download -q ircd-hybrid >&2 ||
    { "${sudo_cmd[@]}" apt-get update -q >&2 && apt-get download -q ircd-hybrid >&2; }; })
  rm -rf "$hybrid_root"
  dpkg-deb -x "$build/peers"/ircd-hybrid_*.deb "$hybrid_root"
fi

# --- the run folder and clean-up -------------------------------------------
work="$(mktemp -d "${TMPDIR:-/tmp}/zelkord-compare.XXXXXX")"
chmod 755 "$work"
results="$work/results.txt"
: >"$results"
daemon_pid=""
resolver_pid=""

stop_daemon() {
  [ -n "$daemon_pid" ] || return 0
  if kill -0 "$daemon_pid" 2>/dev/null; then
    kill -TERM "$daemon_pid" 2>/dev/null || true
    for _ in $(seq "$stop_limit_tenths"); do
      kill -0 "$daemon_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$daemon_pid" 2>/dev/null; then
      log "  daemon $daemon_pid did not stop on TERM; killing it"
      kill -KILL "$daemon_pid" 2>/dev/null || true
    fi
  fi
  wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=""
}

cleanup() {
  stop_daemon
  if [ -n "$resolver_pid" ]; then
    kill -TERM "$resolver_pid" 2>/dev/null || true
    wait "$resolver_pid" 2>/dev/null || true
  fi
  if [ "$keep" = 1 ]; then log "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# 1100 clients plus the daemons' own descriptors.
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"

port_busy() {
  if command -v ss >/dev/null; then
    [ -n "$(ss -Htln "sport = :$1" 2>/dev/null)" ]
  else
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
  fi
}

# A port below the ephemeral range: the load generator's connections take
# their ports from that range, and a daemon cannot listen on a port that a
# connection holds (a TLS run needs two ports, which made that likely).
free_port() {
  local port low span=20000
  low="$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true)"
  case "$low" in ''|*[!0-9]*) ;; *) [ "$low" -le 21000 ] || span=$((low - 20000)) ;; esac
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % span))
    port_busy "$port" && continue
    if command -v ss >/dev/null && [ -n "$(ss -Htan "sport = :$port" 2>/dev/null)" ]; then
      continue
    fi
    echo "$port"
    return 0
  done
  echo "compare.sh: no free port found" >&2
  return 1
}

# ircd-hybrid looks up every client's hostname in the resolvers of
# /etc/resolv.conf. It is given a resolv.conf of its own that names this
# stub, which answers at once, on a loopback address of its own (port 53 is
# fixed); the machine's resolver setting stays untouched.
start_resolver() {
  local address
  for _ in $(seq 20); do
    address="127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).53"
    python3 "$repo/bench/resolver_stub.py" "$address" >"$work/resolver.log" 2>&1 &
    resolver_pid=$!
    for _ in $(seq 50); do
      if grep -q '^resolver_stub: answering' "$work/resolver.log"; then
        echo "nameserver $address" >"$work/resolv.conf"
        chmod 644 "$work/resolv.conf"
        return 0
      fi
      kill -0 "$resolver_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -TERM "$resolver_pid" 2>/dev/null || true
    wait "$resolver_pid" 2>/dev/null || true
    resolver_pid=""
  done
  log "compare.sh: the resolver stub did not start; its log:"
  cat "$work/resolver.log" >&2
  return 1
}

# Writes the daemon's configuration into folder dir for port (and a TLS
# listener on tls_port, when given), starts it in the foreground (in the
# background of this shell) and sets daemon_pid.
start_daemon() {
  local daemon="$1" dir="$2" port="$3" tls_port="${4:-}"
  mkdir -p "$dir"
  chmod 755 "$dir"
  case "$daemon" in
    zelkord|zelkord-logsave|zelkord-history|zelkord-metrics|zelkord-window)
      # The settings file is CR LF text; the template already is.
      local save=Disable history=Disable web='Send=Disable\r'
      [ "$daemon" = zelkord-logsave ] && save=Enable
      [ "$daemon" = zelkord-history ] && history=Enable
      [ "$daemon" = zelkord-metrics ] && web='Send=Enable\r\nPort=0\r\nMetrics=Enable\r'
      sed -e "s|@PORT@|$port|" -e "s|@DIR@|$dir|g" -e "s|^Save=Disable|Save=$save|" \
        -e "s|^HistorySave=Disable|Save=$history|" -e "s|^Send=Disable\r\$|$web|" \
        "$peer_templates/zelkord.INI.in" >"$dir/zelkord.INI"
      [ -z "$tls_port" ] || add_tls_listener "$daemon" "$dir" "$tls_port"
      if [ "$daemon" = zelkord-metrics ]; then
        # A collector's part, once a second: from the web port the server
        # names until that port stops answering, as the server stops.
        (
          for _ in $(seq 100); do
            web_port="$(sed -n 's/.*serving status pages on port \([0-9]*\).*/\1/p' "$dir/daemon.log" 2>/dev/null)"
            [ -n "$web_port" ] && break
            sleep 0.1
          done
          [ -n "$web_port" ] || exit 0
          while curl -sf -o "$dir/metrics.txt" --max-time 2 "http://127.0.0.1:$web_port/metrics"; do
            sleep 1
          done
        ) &
      fi
      if [ "$daemon" = zelkord-window ]; then
        # The window opens only when a display is named; the offscreen
        # platform draws into memory and never connects to it.
        mkdir -m 700 "$dir/runtime"
        env DISPLAY="${DISPLAY:-:0}" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$dir/runtime" \
          "$build/zelkord" --config "$dir/zelkord.INI" >"$dir/daemon.log" 2>&1 &
      else
        "$build/zelkord" --headless --config "$dir/zelkord.INI" >"$dir/daemon.log" 2>&1 &
      fi
      ;;
    relay)
      "$build/zelkord-relay" --port "$port" >"$dir/daemon.log" 2>&1 &
      ;;
    hybrid)
      sed -e "s|@PORT@|$port|" -e "s|@DIR@|$dir|g" "$peer_templates/ircd-hybrid.conf.in" \
        >"$dir/ircd-hybrid.conf"
      [ -z "$tls_port" ] || add_tls_listener "$daemon" "$dir" "$tls_port"
      : >"$dir/ircd-hybrid.motd"
      # It refuses to run as root, so it runs as nobody and writes its logs,
      # pid and ban files into a folder nobody owns. Its module folders are
      # built into it as /usr/lib/ircd-hybrid/..., so the unpacked /usr is
      # laid over the real one in a mount namespace of its own, together
      # with the stub's resolv.conf; outside it nothing changes. Each step
      # execs the next, so the pid is the daemon's.
      chown nobody:nogroup "$dir"
      # shellcheck disable=SC2016 # the inner shell expands its own arguments
      unshare --mount sh -c '
        mount -t overlay overlay -o "lowerdir=$1/usr:/usr" /usr &&
        mount --bind "$2" /etc/resolv.conf &&
        exec setpriv --reuid=nobody --regid=nogroup --clear-groups \
          /usr/sbin/ircd-hybrid -foreground -configfile "$3/ircd-hybrid.conf" \
          -pidfile "$3/ircd-hybrid.pid" -logfile "$3/ircd-hybrid.log" \
          -klinefile "$3/kline.db" -dlinefile "$3/dline.db" \
          -xlinefile "$3/xline.db" -resvfile "$3/resv.db"' \
        sh "$hybrid_root" "$work/resolv.conf" "$dir" >"$dir/daemon.log" 2>&1 &
      ;;
    ngircd)
      sed -e "s|@PORT@|$port|" -e "s|@DIR@|$dir|g" "$peer_templates/ngircd.conf.in" \
        >"$dir/ngircd.conf"
      [ -z "$tls_port" ] || add_tls_listener "$daemon" "$dir" "$tls_port"
      # Started as root, it drops to an unprivileged user by itself.
      /usr/sbin/ngircd --nodaemon --config "$dir/ngircd.conf" >"$dir/daemon.log" 2>&1 &
      ;;
    inspircd)
      sed -e "s|@PORT@|$port|" -e "s|@DIR@|$dir|g" "$peer_templates/inspircd.conf.in" \
        >"$dir/inspircd.conf"
      [ -z "$tls_port" ] || add_tls_listener "$daemon" "$dir" "$tls_port"
      local as_root=()
      [ "$(id -u)" = 0 ] && as_root=(--runasroot)
      # With ssl_gnutls loaded, Debian's build crashes as it stops on TERM,
      # after every result is in; no core file is left in the working folder.
      (ulimit -c 0 && exec /usr/sbin/inspircd --config "$dir/inspircd.conf" --nofork --nopid \
        "${as_root[@]}") >"$dir/daemon.log" 2>&1 &
      ;;
  esac
  daemon_pid=$!
  for _ in $(seq "$start_limit_tenths"); do
    if ! kill -0 "$daemon_pid" 2>/dev/null; then
      log "  $daemon exited at start; its log:"
      tail -n 20 "$dir/daemon.log" >&2
      daemon_pid=""
      return 1
    fi
    port_busy "$port" && { [ -z "$tls_port" ] || port_busy "$tls_port"; } && return 0
    sleep 0.1
  done
  log "  $daemon is not listening on $port ${tls_port:+and $tls_port }after" \
    "$((start_limit_tenths / 10)) s"
  return 1
}

# --- TLS -------------------------------------------------------------------
# The daemons that can serve TLS; the relay cannot, and the variants of our
# server differ from it only past the connection.
serves_tls() {
  case "$1" in
    zelkord|hybrid|ngircd|inspircd) return 0 ;;
    *) return 1 ;;
  esac
}

# One certificate for every run: P-256, self-signed, never checked by the
# load generator. ngircd's GnuTLS build wants Diffie-Hellman parameters and
# would compute them at every start without a file: a named group is instant.
make_tls_files() {
  if ! openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj /CN=localhost -keyout "$work/tls.key" -out "$work/tls.crt" 2>"$work/tls.log" ||
    ! openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out "$work/dh.pem" \
      2>>"$work/tls.log"; then
    cat "$work/tls.log" >&2
    return 1
  fi
  # Read by ircd-hybrid as nobody, and by ngircd after it drops root.
  chmod 644 "$work/tls.key" "$work/tls.crt" "$work/dh.pem"
}

# Adds a TLS listener on tls_port to the configuration start_daemon wrote
# into dir.
add_tls_listener() {
  local daemon="$1" dir="$2" tls_port="$3"
  case "$daemon" in
    zelkord*)
      # Into [Server], CR LF like the rest of the file.
      local lines="TlsPort=$tls_port\r\nTlsCertificate=$work/tls.crt\r\nTlsKey=$work/tls.key\r"
      sed -i "s|^\[Server\]\r\$|&\n$lines|" "$dir/zelkord.INI"
      ;;
    hybrid)
      # A second serverinfo block adds to the first; listen flags apply to
      # the ports that follow them.
      cat >>"$dir/ircd-hybrid.conf" <<EOF_HYBRID

serverinfo {
	rsa_private_key_file = "$work/tls.key";
	tls_certificate_file = "$work/tls.crt";
};

listen {
	host = "127.0.0.1";
	flags = tls;
	port = $tls_port;
};
EOF_HYBRID
      ;;
    ngircd)
      cat >>"$dir/ngircd.conf" <<EOF_NGIRCD
[SSL]
	CertFile = $work/tls.crt
	KeyFile = $work/tls.key
	DHFile = $work/dh.pem
	Ports = $tls_port
EOF_NGIRCD
      ;;
    inspircd)
      cat >>"$dir/inspircd.conf" <<EOF_INSPIRCD
<module name="ssl_gnutls">
<sslprofile name="bench" provider="gnutls" certfile="$work/tls.crt" keyfile="$work/tls.key"
            dhfile="$work/dh.pem" requestclientcert="no">
<bind address="127.0.0.1" port="$tls_port" type="clients" sslprofile="bench">
EOF_INSPIRCD
      ;;
  esac
}

version_of() {
  case "$1" in
    zelkord) echo "zelkord $("$build/zelkord" --version | awk '{print $2}') ($zelkord_revision)" ;;
    zelkord-logsave) echo "zelkord-logsave (the same with Log.Save = Enable)" ;;
    zelkord-history) echo "zelkord-history (the same with History.Save = Enable)" ;;
    zelkord-metrics) echo "zelkord-metrics (the same with Web.Metrics = Enable, read every second)" ;;
    zelkord-window) echo "zelkord-window (the same with its Qt window, offscreen platform)" ;;
    relay) echo "relay (bench/relay.cpp, minimal single-threaded epoll relay)" ;;
    hybrid) echo "ircd-hybrid $(dpkg-deb -f "$build/peers"/ircd-hybrid_*.deb Version 2>/dev/null ||
      echo unknown)" ;;
    ngircd) /usr/sbin/ngircd --version 2>/dev/null | head -n 1 | awk '{print "ngircd " $2}' ;;
    inspircd) dpkg-query -W -f='inspircd ${Version}\n' inspircd 2>/dev/null || echo inspircd ;;
  esac
}

# The variants of our server differ from it in the path of a relayed line
# only, so they run the throughput workload alone.
workloads_of() {
  case "$1" in
    zelkord-logsave|zelkord-history|zelkord-metrics|zelkord-window) echo B ;;
    *) echo A B C ;;
  esac
}

# The workloads of a repetition in order: each over TLS right after its
# clear-text run, so that the two see the machine in the same state.
run_workloads() {
  local workload
  for workload in A B C; do
    printf '%s ' "$workload"
    [ "$tls" = 0 ] || printf '%s-tls ' "$workload"
  done
}

# Whether daemon runs workload (X or X-tls).
runs_workload() {
  local daemon="$1" workload="$2"
  [[ " $(workloads_of "$daemon") " == *" ${workload%-tls} "* ]] || return 1
  [ "$workload" = "${workload%-tls}" ] || serves_tls "$daemon"
}

# --- workload D: the cost curve ------------------------------------------------
# Writes templates for n clients into folder out: every daemon's client
# limits raised to n plus room, and zelkord's channel table sized for n/4
# channels. Ten channels a client is within every daemon's stock per-client
# limit (ngircd MaxJoins 10, InspIRCd maxchans 20, ircd-hybrid max_channels
# 25), and flood control is already off or lifted in every template.
curve_templates() {
  local n="$1" out="$2" limit=$(($1 + 100)) chans=$(($1 / 4 + 16))
  mkdir -p "$out"
  [ "$chans" -ge 10 ] || chans=10
  sed -e "s|^UserMax=1100|UserMax=$limit|" -e "s|^ChanMax=10|ChanMax=$chans|" \
    "$repo/bench/peers/zelkord.INI.in" >"$out/zelkord.INI.in"
  sed -e "s|\"5000\"|\"$limit\"|g" "$repo/bench/peers/inspircd.conf.in" >"$out/inspircd.conf.in"
  sed -e "s|= 5000;|= $limit;|" "$repo/bench/peers/ircd-hybrid.conf.in" >"$out/ircd-hybrid.conf.in"
  cp "$repo/bench/peers/ngircd.conf.in" "$out/ngircd.conf.in"
}

# Clients connecting at once in D: ngircd listens with a backlog of 10 (a
# SYN beyond it waits seconds to be resent); the others listen with hundreds
# or thousands, and InspIRCd takes about a second over each registration.
curve_connect_window() {
  case "$1" in
    ngircd) echo 10 ;;
    *) echo 100 ;;
  esac
}

# The median over the repetitions of key for daemon at n clients.
curve_value() {
  awk -v d="$1" -v n="$2" -v k="$3" '
    $1 == "daemon=" d && $2 == "n=" n {
      for (i = 3; i <= NF; i++) { split($i, kv, "="); if (kv[1] == k && kv[2] != "na") print kv[2] }
    }' "$work/curve.txt" | sort -g | awk '{ v[NR] = $1 } END {
      if (NR == 0) { print "na"; exit }
      if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

curve_cell() {
  if [ "$1" = na ]; then echo "n/a"; else awk -v v="$1" -v d="$2" 'BEGIN { printf "%.*f", d, v }'; fi
}

# raw_details FILE: the raw result lines, folded away, for a doc block.
raw_details() {
  echo "<details><summary>Raw results (one line per run)</summary>"
  echo
  echo '```'
  cat "$1"
  echo '```'
  echo
  echo "</details>"
}

# replace_doc_block BEGIN END BLOCK: puts BLOCK's text in place of the
# lines from BEGIN to END in the performance document; false when the
# document lacks either marker.
replace_doc_block() {
  local begin="$1" end="$2" block="$3"
  [ -f "$doc" ] && grep -qF "$begin" "$doc" && grep -qF "$end" "$doc" || return 1
  awk -v begin="$begin" -v end="$end" -v block="$block" '
    $0 == begin { while ((getline line < block) > 0) print line; skipping = 1; next }
    $0 == end { skipping = 0; next }
    !skipping { print }' "$doc" >"$work/doc.md"
  cat "$work/doc.md" >"$doc"
}

# loadgen_result DIR: shows the load generator's report in DIR/loadgen.out on
# stderr and prints its RESULT fields (nothing when it gave none).
loadgen_result() {
  sed -n '/^RESULT /!p' "$1/loadgen.out" >&2
  sed -n 's/^RESULT //p' "$1/loadgen.out" | tail -n 1
}

# record_if_died FILE KEYS WHAT DIR: when the daemon did not live through WHAT,
# says so with the end of its log and records KEYS failed=daemon-died in FILE.
record_if_died() {
  kill -0 "$daemon_pid" 2>/dev/null && return 0
  log "  !! $daemon died during $3; its log ends:"
  tail -n 20 "$4/daemon.log" >&2
  echo "$2 failed=daemon-died" >>"$1"
}

run_curve() {
  local curve_results="$work/curve.txt" started ended
  : >"$curve_results"
  [[ " $daemons " != *" hybrid "* ]] || start_resolver
  started="$(date +%s)"
  local rep n daemon dir port status result
  # daemon=N: the daemon's run at N clients was cut off; it is not run larger.
  local -A cut_off=()
  for rep in $(seq "$reps"); do
    for n in $curve_ns; do
      curve_templates "$n" "$work/templates-$n"
      for daemon in $daemons; do
        if [ -n "${cut_off[$daemon]:-}" ]; then
          echo "daemon=$daemon n=$n rep=$rep failed=not-run-after-cut-off-at-${cut_off[$daemon]}" \
            >>"$curve_results"
          continue
        fi
        run_index=$((run_index + 1))
        dir="$work/run$run_index-$daemon-D$n"
        port="$(free_port)"
        log "[rep $rep/$reps] workload D, $n clients, on $daemon (port $port)"
        peer_templates="$work/templates-$n"
        if ! start_daemon "$daemon" "$dir" "$port"; then
          peer_templates="$repo/bench/peers"
          echo "daemon=$daemon n=$n rep=$rep failed=start" >>"$curve_results"
          stop_daemon
          continue
        fi
        peer_templates="$repo/bench/peers"
        status=0
        # The JOIN storm grows as n squared, and some daemons take it so
        # slowly that the whole curve would take hours: each run is bounded.
        timeout --signal=INT "$curve_limit" "$loadgen" --host 127.0.0.1 \
          --port "$port" --server-pid "$daemon_pid" --workload D --clients "$n" --label "$daemon" \
          --connect-window "$(curve_connect_window "$daemon")" \
          >"$dir/loadgen.out" 2>&1 || status=$?
        result="$(loadgen_result "$dir")"
        if [ -n "$result" ]; then
          echo "daemon=$daemon n=$n rep=$rep $result" >>"$curve_results"
        elif [ "$status" = 124 ]; then
          echo "daemon=$daemon n=$n rep=$rep failed=cut-off-after-${curve_limit}s" >>"$curve_results"
          cut_off[$daemon]="$n"
        else
          echo "daemon=$daemon n=$n rep=$rep failed=loadgen-$status" >>"$curve_results"
        fi
        record_if_died "$curve_results" "daemon=$daemon n=$n rep=$rep" "workload D" "$dir"
        stop_daemon
      done
    done
  done
  ended="$(date +%s)"

  local base="${daemons%% *}" table="$work/curve-table.md" cpu base_cpu ratio
  {
    echo "| clients | daemon | CPU-µs / delivered line | p50 ms | p99 ms | KiB / client" \
      "| delivered / expected | lost / reordered | set-up s |"
    echo "|---|---|---|---|---|---|---|---|---|"
    for n in $curve_ns; do
      base_cpu="$(curve_value "$base" "$n" cpu_us_per_line)"
      for daemon in $daemons; do
        cpu="$(curve_value "$daemon" "$n" cpu_us_per_line)"
        ratio=""
        if [ "$daemon" != "$base" ] && [ "$cpu" != na ] && [ "$base_cpu" != na ]; then
          ratio=" ($(awk -v v="$cpu" -v b="$base_cpu" 'BEGIN { printf "%.2fx", v / b }'))"
        fi
        printf '| %s | %s | %s%s | %s | %s | %s | %s / %s | %s / %s | %s |\n' "$n" "$daemon" \
          "$(curve_cell "$cpu" 2)" "$ratio" \
          "$(curve_cell "$(curve_value "$daemon" "$n" lat_p50_ms)" 1)" \
          "$(curve_cell "$(curve_value "$daemon" "$n" lat_p99_ms)" 1)" \
          "$(curve_cell "$(curve_value "$daemon" "$n" kib_per_client)" 1)" \
          "$(curve_cell "$(curve_value "$daemon" "$n" delivered)" 0)" \
          "$(curve_cell "$(curve_value "$daemon" "$n" expected)" 0)" \
          "$(curve_cell "$(curve_value "$daemon" "$n" lost)" 0)" \
          "$(curve_cell "$(curve_value "$daemon" "$n" reordered)" 0)" \
          "$(curve_cell "$(curve_value "$daemon" "$n" setup_s)" 1)"
      done
    done
  } >"$table"
  local problems="$work/curve-problems.txt"
  awk '{
    issues = ""
    for (i = 4; i <= NF; i++) {
      split($i, kv, "=")
      if (kv[1] == "failed" || (kv[1] == "server_alive" && kv[2] == "0") ||
        ((kv[1] == "lost" || kv[1] == "reordered" || kv[1] == "stray" || kv[1] == "dropped") &&
          kv[2] != "0")) issues = issues " " $i
    }
    if (issues != "") print "- " $1 ", " $2 ", " $3 ":" issues
  }' "$curve_results" >"$problems"

  echo
  cat "$table"
  echo
  echo "Workload D ran $(((ended - started) / 60)) min $(((ended - started) % 60)) s."
  if [ -s "$problems" ]; then
    echo
    echo "Problems:"
    cat "$problems"
  fi
  [ "$write_doc" = 1 ] || return 0

  # The figure: CPU per delivered line and p99 against N, one line a daemon.
  local figure="$repo/docs/performance-curve.png" plot="$work/curve.gp" first=1
  mkdir -p "$(dirname "$figure")"
  for daemon in $daemons; do
    for n in $curve_ns; do
      cpu="$(curve_value "$daemon" "$n" cpu_us_per_line)"
      [ "$cpu" = na ] || echo "$n $cpu $(curve_value "$daemon" "$n" lat_p99_ms)"
    done >"$work/curve-$daemon.dat"
  done
  {
    echo "set terminal png size 900,900"
    echo "set output '$figure'"
    echo "set multiplot layout 2,1 title 'Workload D: N clients in N/4 channels of Zipf sizes, 2000 lines/s in all'"
    echo "set logscale x"
    echo "set grid"
    echo "set key top left"
    echo "set xlabel 'clients'"
    for panel in "2:server CPU per delivered line (us)" "3:p99 latency (ms)"; do
      echo "set ylabel '${panel#*:}'"
      [ "${panel%%:*}" = 3 ] && echo "set logscale y"
      printf 'plot'
      first=1
      for daemon in $daemons; do
        [ "$first" = 1 ] || printf ','
        first=0
        printf " '%s' using 1:%s with linespoints title '%s'" "$work/curve-$daemon.dat" \
          "${panel%%:*}" "$daemon"
      done
      echo
    done
    echo "unset multiplot"
  } >"$plot"
  gnuplot "$plot" && log "drew $figure"

  local begin='<!-- compare.sh curve begin -->' end='<!-- compare.sh curve end -->'
  local block="$work/curve-block.md"
  {
    echo "$begin"
    echo "## Cost curve (workload D)"
    echo
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') with \`$command_line\` ($reps repetition(s)," \
      "median shown; ratios are to $base at the same N)."
    echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)," \
      "Linux $(uname -r). Daemons: $(for d in $daemons; do printf '%s; ' "$(version_of "$d")"; done | sed 's/; $//')."
    echo "N clients in N/4 channels, channel k with max(2, round(N/2/k)) members (seed 1, at most"
    echo "10 channels a client); 2000 lines/s in all for 10 s, half to one of the sender's"
    echo "channels, half to one other client. CPU is the daemon's over the sending period and"
    echo "the drain, per delivered copy; KiB / client is the daemon's resident memory once every"
    echo "client has joined, less that before the first, over N."
    echo
    cat "$table"
    echo
    if [ -s "$problems" ]; then
      echo "Problems seen in these runs:"
      echo
      cat "$problems"
      echo
    fi
    echo "![CPU per delivered line and p99 latency against N](performance-curve.png)"
    echo
    raw_details "$curve_results"
    echo "$end"
  } >"$block"
  if ! replace_doc_block "$begin" "$end" "$block"; then
    mkdir -p "$(dirname "$doc")"
    [ -f "$doc" ] || printf '# Performance\n' >"$doc"
    { echo; cat "$block"; } >>"$doc"
  fi
  log "updated $doc"
}

# --- the runs ----------------------------------------------------------------
run_index=0
if [ "$curve" = 1 ]; then
  run_curve
  exit 0
fi
if [[ " $daemons " == *" hybrid "* ]]; then
  start_resolver
fi
if [ "$tls" = 1 ]; then
  make_tls_files
fi

for rep in $(seq "$reps"); do
  for workload in $(run_workloads); do
    for daemon in $daemons; do
      runs_workload "$daemon" "$workload" || continue
      run_index=$((run_index + 1))
      dir="$work/run$run_index-$daemon-$workload"
      port="$(free_port)"
      # Over TLS the load generator talks to a second listener.
      tls_port="" tls_args=() target="$port"
      if [ "$workload" != "${workload%-tls}" ]; then
        tls_port="$(free_port)"
        [ "$tls_port" != "$port" ] || tls_port="$(free_port)"
        tls_args=(--tls) target="$tls_port"
      fi
      log "[rep $rep/$reps] workload $workload on $daemon (port $target)"
      if ! start_daemon "$daemon" "$dir" "$port" "$tls_port"; then
        echo "daemon=$daemon rep=$rep workload=$workload failed=start" >>"$results"
        stop_daemon
        continue
      fi
      # Qt loads its platform plugin only when the window opens.
      if [ "$daemon" = zelkord-window ] && ! grep -q qoffscreen "/proc/$daemon_pid/maps"; then
        log "  zelkord-window is listening without its window"
        echo "daemon=$daemon rep=$rep workload=$workload failed=no-window" >>"$results"
        stop_daemon
        continue
      fi
      case "${workload%-tls}" in
        A) extra=("${args_a[@]}") ;;
        B) extra=("${args_b[@]}") ;;
        C) extra=("${args_c[@]}") ;;
      esac
      status=0
      timeout --signal=INT "$loadgen_limit" "$loadgen" --host 127.0.0.1 --port "$target" \
        --server-pid "$daemon_pid" --workload "${workload%-tls}" --label "$daemon" \
        "${tls_args[@]}" "${extra[@]}" >"$dir/loadgen.out" 2>&1 || status=$?
      result="$(loadgen_result "$dir" | sed "s/^workload=[A-Z]* /workload=$workload /")"
      # The peak resident memory over the whole run, read while the daemon
      # still runs.
      peak_kib="$(awk '/^VmHWM:/ { print $2 }' "/proc/$daemon_pid/status" 2>/dev/null || true)"
      if [ -z "$result" ]; then
        echo "daemon=$daemon rep=$rep workload=$workload failed=loadgen-$status" >>"$results"
      else
        echo "daemon=$daemon rep=$rep $result peak_rss_kib=${peak_kib:-na}" >>"$results"
      fi
      record_if_died "$results" "daemon=$daemon rep=$rep workload=$workload" \
        "workload $workload" "$dir"
      stop_daemon
      if [ "$daemon" = zelkord-history ]; then
        history_kib="$(du -ck "$dir"/history.sqlite* 2>/dev/null | awk 'END { print $1 + 0 }')"
        log "  history store written: $history_kib KiB"
        if [ "$history_kib" = 0 ]; then
          echo "daemon=$daemon rep=$rep workload=$workload failed=no-history" >>"$results"
        fi
      fi
      if [ "$daemon" = zelkord-logsave ]; then
        day_log_kib="$(find "$dir" -name '*.TXT' -type f -print0 | du -ck --files0-from=- 2>/dev/null |
          awk 'END { print $1 + 0 }')"
        log "  day logs written: $day_log_kib KiB"
        if [ "$day_log_kib" = 0 ]; then
          echo "daemon=$daemon rep=$rep workload=$workload failed=no-day-log" >>"$results"
        fi
      fi
    done
  done
done

# --- the table ---------------------------------------------------------------
# field daemon workload key: the values of key over the repetitions.
values() {
  awk -v d="$1" -v w="$2" -v k="$3" '
    $1 == "daemon=" d {
      found = 0; value = ""
      for (i = 2; i <= NF; i++) {
        split($i, kv, "=")
        if (kv[1] == "workload" && kv[2] == w) found = 1
        if (kv[1] == k) value = kv[2]
      }
      if (found && value != "" && value != "na") print value
    }' "$results"
}

median() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "na"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Formats a median with digits decimals, and its ratio to base when one is
# given.
cell() {
  local value="$1" base="$2" digits="$3"
  if [ "$value" = na ]; then echo "n/a"; return; fi
  local text
  text="$(awk -v v="$value" -v d="$digits" 'BEGIN { printf "%.*f", d, v }')"
  if [ -n "$base" ] && [ "$base" != na ]; then
    text="$text ($(awk -v v="$value" -v b="$base" 'BEGIN {
      if (b == 0) print "n/a"; else printf "%.2fx", v / b }'))"
  fi
  echo "$text"
}

kib_to_mib() {
  case "$1" in
    ''|na) echo "$1" ;;
    *) awk -v k="$1" 'BEGIN { print k / 1024 }' ;;
  esac
}

# --- the TLS rows ------------------------------------------------------------
# The rows of the daemons that served TLS, in the columns of the clear-text
# table (from A-tls, B-tls, C-tls), with ratios to the first such daemon's
# TLS row.
tls_rows() {
  local daemon tls_base="" key
  declare -A tbase
  for daemon in $daemons; do
    serves_tls "$daemon" && { tls_base="$daemon"; break; }
  done
  [ -n "$tls_base" ] || return 0
  for key in A:cpu_s_per_m_lines A:lat_p99_ms B:lines_per_s B:cpu_s_per_m_lines \
    B:peak_rss_kib C:conn_per_s C:kib_per_conn; do
    tbase[$key]="$(values "$tls_base" "${key%%:*}-tls" "${key#*:}" | median)"
  done
  for daemon in $daemons; do
    serves_tls "$daemon" || continue
    tratio() { [ "$daemon" = "$tls_base" ] && echo "" || echo "${tbase[$1]}"; }
    printf '| %s over TLS | %s | %s | %s | %s | %s/%s | %s | %s | %s |\n' "$daemon" \
      "$(cell "$(values "$daemon" A-tls cpu_s_per_m_lines | median)" \
        "$(tratio A:cpu_s_per_m_lines)" 2)" \
      "$(cell "$(values "$daemon" A-tls lat_p99_ms | median)" "$(tratio A:lat_p99_ms)" 2)" \
      "$(cell "$(values "$daemon" B-tls lines_per_s | median)" "$(tratio B:lines_per_s)" 0)" \
      "$(cell "$(values "$daemon" B-tls cpu_s_per_m_lines | median)" \
        "$(tratio B:cpu_s_per_m_lines)" 2)" \
      "$(cell "$(values "$daemon" B-tls lost | median)" "" 0)" \
      "$(cell "$(values "$daemon" B-tls reordered | median)" "" 0)" \
      "$(cell "$(kib_to_mib "$(values "$daemon" B-tls peak_rss_kib | median)")" \
        "$(kib_to_mib "$(tratio B:peak_rss_kib)")" 1)" \
      "$(cell "$(values "$daemon" C-tls conn_per_s | median)" "$(tratio C:conn_per_s)" 1)" \
      "$(cell "$(values "$daemon" C-tls kib_per_conn | median)" "$(tratio C:kib_per_conn)" 1)"
  done
}

# What TLS costs each daemon: its TLS median over its clear-text median.
tls_ratio_table() {
  local daemon key
  echo "| daemon | A CPU per line, TLS/clear | B CPU per line, TLS/clear | B lines/s, TLS/clear" \
    "| C conn/s, TLS/clear | B-tls load generator busy |"
  echo "|---|---|---|---|---|---|"
  for daemon in $daemons; do
    serves_tls "$daemon" || continue
    printf '| %s' "$daemon"
    for key in A:cpu_s_per_m_lines B:cpu_s_per_m_lines B:lines_per_s C:conn_per_s; do
      printf ' | %s' "$(awk -v t="$(values "$daemon" "${key%%:*}-tls" "${key#*:}" | median)" \
        -v c="$(values "$daemon" "${key%%:*}" "${key#*:}" | median)" 'BEGIN {
          if (t == "na" || c == "na" || c == 0) print "n/a"; else printf "%.2fx", t / c }')"
    done
    # The load generator's share of its core while it flooded over TLS: near
    # 100 % it, not the daemon, set the B-tls rate.
    printf ' | %s |\n' "$(values "$daemon" B-tls loadgen_busy | median | awk '{
      if ($1 == "na") print "n/a"; else printf "%.0f %%", $1 * 100 }')"
  done
}

# A run line's TLS-only warning: a load generator that saturated its core.
tls_problems() {
  local line="$1" busy workload
  busy="$(tr ' ' '\n' <<<"$line" | sed -n 's/^loadgen_busy=//p')"
  workload="$(tr ' ' '\n' <<<"$line" | sed -n 's/^workload=//p')"
  [ -n "$busy" ] || return 0
  if awk -v b="$busy" 'BEGIN { exit !(b >= 0.9) }'; then
    echo "- ${line%% *}, workload $workload: the load generator was ${busy} busy, so it" \
      "may have set the rate" | sed 's/^- daemon=/- /'
  fi
}

base_daemon="${daemons%% *}"
declare -A base
for key in A:cpu_s_per_m_lines A:lat_p99_ms B:lines_per_s B:cpu_s_per_m_lines \
  B:peak_rss_kib C:conn_per_s C:kib_per_conn; do
  base[$key]="$(values "$base_daemon" "${key%%:*}" "${key#*:}" | median)"
done

table="$work/table.md"
{
  echo "| daemon | A CPU-s/M lines | A p99 ms | B lines/s | B CPU-s/M lines | B lost/reordered" \
    "| B peak RSS MiB | C conn/s | C KiB/idle conn |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for daemon in $daemons; do
    ratio() { [ "$daemon" = "$base_daemon" ] && echo "" || echo "${base[$1]}"; }
    a_cpu="$(values "$daemon" A cpu_s_per_m_lines | median)"
    a_p99="$(values "$daemon" A lat_p99_ms | median)"
    b_rate="$(values "$daemon" B lines_per_s | median)"
    b_cpu="$(values "$daemon" B cpu_s_per_m_lines | median)"
    b_peak="$(values "$daemon" B peak_rss_kib | median)"
    b_lost="$(values "$daemon" B lost | median)"
    b_reordered="$(values "$daemon" B reordered | median)"
    c_rate="$(values "$daemon" C conn_per_s | median)"
    c_kib="$(values "$daemon" C kib_per_conn | median)"
    printf '| %s | %s | %s | %s | %s | %s/%s | %s | %s | %s |\n' "$daemon" \
      "$(cell "$a_cpu" "$(ratio A:cpu_s_per_m_lines)" 2)" \
      "$(cell "$a_p99" "$(ratio A:lat_p99_ms)" 2)" \
      "$(cell "$b_rate" "$(ratio B:lines_per_s)" 0)" \
      "$(cell "$b_cpu" "$(ratio B:cpu_s_per_m_lines)" 2)" \
      "$(cell "$b_lost" "" 0)" "$(cell "$b_reordered" "" 0)" \
      "$(cell "$(kib_to_mib "$b_peak")" "$(kib_to_mib "$(ratio B:peak_rss_kib)")" 1)" \
      "$(cell "$c_rate" "$(ratio C:conn_per_s)" 1)" \
      "$(cell "$c_kib" "$(ratio C:kib_per_conn)" 1)"
  done
} >"$table"
if [ "$tls" = 1 ]; then
  tls_rows >>"$table"
  tls_ratio_table >"$work/tls-ratios.md"
fi

# Anything that went wrong in any run, daemon by daemon.
problems="$work/problems.txt"
: >"$problems"
while read -r line; do
  daemon="${line%% *}"; daemon="${daemon#daemon=}"
  get() { tr ' ' '\n' <<<"$line" | sed -n "s/^$1=//p"; }
  workload="$(get workload)"
  rep="$(get rep)"
  failed="$(get failed)"
  if [ -n "$failed" ]; then
    echo "- $daemon, repetition $rep, workload $workload: run failed ($failed)" >>"$problems"
    continue
  fi
  for key in lost reordered stray dropped; do
    value="$(get "$key")"
    if [ -n "$value" ] && [ "$value" != 0 ]; then
      echo "- $daemon, repetition $rep, workload $workload: $key=$value" >>"$problems"
    fi
  done
  if [ "$(get server_alive)" = 0 ]; then
    echo "- $daemon, repetition $rep, workload $workload: the daemon was gone at the end" >>"$problems"
  fi
  if [ "${workload%-tls}" = C ] && [ "$(get registered)" != "$(get clients)" ]; then
    echo "- $daemon, repetition $rep, workload $workload: $(get registered) of $(get clients) registered" >>"$problems"
  fi
  if [ "$tls" = 1 ]; then tls_problems "$line" >>"$problems"; fi
done <"$results"

echo
cat "$table"
if [ "$tls" = 1 ]; then
  echo
  cat "$work/tls-ratios.md"
fi
if [ -n "$skipped" ]; then
  echo
  echo "$skipped"
fi
if [ -s "$problems" ]; then
  echo
  echo "Problems:"
  cat "$problems"
fi

# --- docs/performance.md -----------------------------------------------------
[ "$write_doc" = 1 ] || exit 0
begin='<!-- compare.sh results begin -->'
end='<!-- compare.sh results end -->'
block="$work/block.md"
{
  echo "$begin"
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') with \`$command_line\`"
  echo "($reps repetition(s), median shown; ratios are to $base_daemon)."
  echo
  echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)," \
    "Linux $(uname -r). Daemons: $(for d in $daemons; do printf '%s; ' "$(version_of "$d")"; done | sed 's/; $//')."
  if [ "$quick" = 1 ]; then
    echo "Quick run: A 5 s, B 3 s, C 200 clients idle 3 s."
  else
    echo "Full run: A 64 clients x 10 lines/s x 20 s; B 64 clients, window 32, 10 s;" \
      "C 1000 clients, 50 at a time, idle 10 s."
  fi
  if [[ " $daemons " == *" zelkord-logsave "* || " $daemons " == *" zelkord-history "* ||
    " $daemons " == *" zelkord-window "* ]]; then
    echo "zelkord-logsave, zelkord-history and zelkord-window run workload B only."
  fi
  echo "B peak RSS is the daemon's peak resident memory (VmHWM) read just before it was stopped."
  if [ "$tls" = 1 ]; then
    echo "The rows \"over TLS\" ran the same workloads with every client over TLS (P-256" \
      "certificate, the daemon's own TLS library), each right after its clear-text run;" \
      "their ratios are to the first of them."
  fi
  echo
  cat "$table"
  echo
  if [ "$tls" = 1 ]; then
    cat "$work/tls-ratios.md"
    echo
  fi
  if [ -n "$skipped" ]; then
    echo "$skipped"
    echo
  fi
  if [ -s "$problems" ]; then
    echo "Problems seen in these runs:"
    echo
    cat "$problems"
  else
    echo "No run lost, reordered or strayed a line, and no daemon dropped a client or died."
  fi
  echo
  raw_details "$results"
  echo "$end"
} >"$block"

if ! replace_doc_block "$begin" "$end" "$block"; then
  mkdir -p "$(dirname "$doc")"
  {
    echo "# Performance"
    echo
    echo "## Latest comparison"
    echo
    cat "$block"
  } >"$doc"
fi
log "updated $doc"
