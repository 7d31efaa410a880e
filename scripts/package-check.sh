#!/usr/bin/env bash
# Checks what an installation gets: an optimised build in build-package is
# installed under a prefix holding a space (with DESTDIR and without) and
# must give exactly the expected files; the installed program must place the
# shipped message of the day beside a fresh settings file and serve the status
# pages from the shipped templates; the service unit must pass
# systemd-analyze verify and rate 2.5 or lower in systemd-analyze security;
# cpack must make a .deb with the expected name, fields and contents, of
# which lintian says no error and no warning. As root
# on a machine without Zelkord installed, the .deb is also installed (user,
# folders, nothing started, the service's command run as its user), removed
# and purged.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
# dpkg-dev for dpkg-shlibdeps, systemd for systemd-analyze, man-db for its
# check of the unit's Documentation= page, prometheus for promtool.
zelkord_install_packages dpkg-dev systemd man-db curl prometheus
# lintian judges the .deb as Debian's archive would.
zelkord_install_packages lintian

build="build-package"
unit=packaging/zelkord.service
exposureMax=2.5
version=$(sed -n 's/.*kVersion = "\([0-9.]*\)".*/\1/p' src/base/version.h)
# Relative to the prefix; the .deb holds the same under /usr.
expectedFiles="lib/systemd/system/zelkord.service
sbin/zelkord
share/doc/zelkord/changelog.gz
share/doc/zelkord/copyright
share/lintian/overrides/zelkord
share/man/man8/zelkord.8.gz
share/zelkord/IndexForm.html
share/zelkord/LogForm.html
share/zelkord/zelkord.INI
share/zelkord/zelkord.MTD"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zelkord package.XXXXXX")
server=""
debInstalled=""
cleanUp() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
  if [ -n "$debInstalled" ]; then
    echo "package-check: purging the package it installed"
    apt-get purge -y -q zelkord >/dev/null 2>&1 || true
  fi
  rm -rf "$tmp"
}
trap cleanUp EXIT

fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}

# Stops the server started last with SIGTERM; fails unless WHAT exits cleanly.
stopServer() {
  local what=$1 status=0
  kill -TERM "$server"
  wait "$server" || status=$?
  server=""
  [ "$status" -eq 0 ] || fail "$what exited with status $status after SIGTERM"
}

# Waits up to 10 seconds for a line matching pattern in file; prints the
# number after it. Gives up early when process pid has exited.
numberAfter() {
  local file=$1 pattern=$2 pid=$3
  for _ in $(seq 100); do
    if grep -q "$pattern" "$file" 2>/dev/null; then
      sed -n "s/.*$pattern\([0-9]*\).*/\1/p" "$file" | head -n 1
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Lists the files and links under folder, relative to it, sorted.
filesUnder() {
  (cd "$1" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
}

# Compares two file lists; the diff is the message.
sameList() {
  local what=$1 expected=$2 actual=$3
  if ! diff -u <(echo "$expected") <(echo "$actual") >"$tmp/list.diff"; then
    cat "$tmp/list.diff" >&2
    fail "$what differs from the expected list (diff above: - expected, + found)"
  fi
}

echo "=== optimised build (the one the tests run) in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELKORD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr >"$tmp/configure.log" || { cat "$tmp/configure.log"; fail "cmake could not configure $build"; }
cmake --build "$build" -j 2 >"$tmp/build.log" || { tail -50 "$tmp/build.log"; fail "the build failed"; }

echo "=== install into a DESTDIR under a prefix with a space"
dest="$tmp/dest dir"
prefix="/opt/zelkord test"
DESTDIR="$dest" cmake --install "$build" --prefix "$prefix" >/dev/null
sameList "DESTDIR=\"$dest\" cmake --install --prefix \"$prefix\"" \
  "$(sed "s|^|${prefix#/}/|" <<<"$expectedFiles")" "$(filesUnder "$dest")"
installed="$dest$prefix"
cmake --install "$build" --prefix "$tmp/prefix only" >/dev/null
sameList "cmake --install --prefix \"$tmp/prefix only\"" "$expectedFiles" "$(filesUnder "$tmp/prefix only")"
[ -x "$installed/sbin/zelkord" ] || fail "the installed program is not executable"

echo "=== the installed program with a fresh settings file"
instance="$tmp/instance"
mkdir "$instance"
printf '[Server]\r\nPort=0\r\n\r\n[Web]\r\nPort=0\r\nSend=Enable\r\n' >"$instance/zelkord.INI"
"$installed/sbin/zelkord" --headless --config "$instance/zelkord.INI" >"$tmp/stdout.txt" 2>"$tmp/stderr.txt" &
server=$!
if ! numberAfter "$tmp/stdout.txt" "listening for IRC on port " "$server" >/dev/null; then
  cat "$tmp/stdout.txt" "$tmp/stderr.txt" >&2
  fail "the installed program did not start listening within 10 seconds"
fi
webPort=$(numberAfter "$tmp/stdout.txt" "serving status pages on port " "$server") ||
  fail "the installed program does not serve the status pages: $(cat "$tmp/stderr.txt")"
cmp -s data/zelkord.MTD "$instance/zelkord.MTD" ||
  fail "the shipped zelkord.MTD was not placed beside the settings file"
curl -sS --fail --http1.0 --max-time 5 -o "$tmp/index.html" "http://127.0.0.1:$webPort/" ||
  fail "the status page on port $webPort was not served"
# The page is the shipped template with the channel list in place of the
# marker: the lines before and after the marker come through unchanged.
markerLine=$(grep -n '<ZELKORD-LIST>' data/IndexForm.html | cut -d: -f1)
[ -n "$markerLine" ] || fail "data/IndexForm.html has no <ZELKORD-LIST> marker"
afterMarker=$(($(wc -l <data/IndexForm.html) - markerLine))
cmp -s <(head -n $((markerLine - 1)) data/IndexForm.html) <(head -n $((markerLine - 1)) "$tmp/index.html") &&
  cmp -s <(tail -n "$afterMarker" data/IndexForm.html) <(tail -n "$afterMarker" "$tmp/index.html") ||
  fail "the status page was not built from the shipped IndexForm.html"
stopServer "the installed program"

echo "=== service unit"
# verify wants the commands to exist: a copy runs the installed program.
mkdir "$tmp/unit"
sed "s|^\(Exec[A-Za-z]*=\)/usr/sbin/zelkord |\1\"$installed/sbin/zelkord\" |" "$unit" >"$tmp/unit/zelkord.service"
grep -q "^ExecStart=\"$installed" "$tmp/unit/zelkord.service" || fail "$unit has no ExecStart=/usr/sbin/zelkord line"
verifyStatus=0
MANPATH="$installed/share/man" systemd-analyze verify "$tmp/unit/zelkord.service" >"$tmp/verify.txt" 2>&1 ||
  verifyStatus=$?
if [ "$verifyStatus" -ne 0 ] || [ -s "$tmp/verify.txt" ]; then
  cat "$tmp/verify.txt" >&2
  fail "systemd-analyze verify $unit (status $verifyStatus)"
fi
exposure=$(systemd-analyze security --offline=true --no-pager "$unit" |
  sed -n 's/.*Overall exposure level for zelkord.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security gave no exposure level for $unit"
echo "exposure level: $exposure (at most $exposureMax)"
awk -v e="$exposure" -v m="$exposureMax" 'BEGIN { exit !(e <= m) }' ||
  fail "the unit's exposure level $exposure is above $exposureMax"

echo "=== Debian package"
rm -f "$build"/zelkord_*.deb
(cd "$build" && cpack -G DEB >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack -G DEB failed"; }
deb="$build/zelkord_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "cpack made no $deb: $(ls "$build"/*.deb 2>/dev/null)"
dpkg-deb --info "$deb"
[ "$(dpkg-deb --field "$deb" Package)" = zelkord ] || fail "the package is not named zelkord"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "the package version is not $version"
depends=$(dpkg-deb --field "$deb" Depends)
# adduser for the maintainer scripts; the rest found by dpkg-shlibdeps, the
# Qt libraries included since the package carries the window.
dependsNames=$(tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }')
for needed in adduser libc6 libssl3 libsystemd0 libstdc++6 libqt6widgets6; do
  grep -qxF "$needed" <<<"$dependsNames" || fail "Depends lacks $needed: $depends"
done
for script in postinst prerm postrm; do
  dpkg-deb --info "$deb" "$script" >/dev/null 2>&1 || fail "the package has no $script"
done
dpkg-deb --contents "$deb"
sameList "dpkg-deb --contents" "$(sed 's|^|usr/|' <<<"$expectedFiles")" \
  "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort)"
changelogVersion=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/zelkord/changelog.gz | gzip -dc |
  dpkg-parsechangelog -l - -S Version) || fail "the package's changelog does not parse"
[ "$changelogVersion" = "$version" ] || fail "the changelog's top entry is $changelogVersion, not $version"
# Any error or warning fails; the informational tags left are shown.
lintianStatus=0
lintian --fail-on error,warning --display-info --tag-display-limit 0 "$deb" >"$tmp/lintian.txt" 2>&1 ||
  lintianStatus=$?
grep -v 'running with root privileges' "$tmp/lintian.txt" || true
if [ "$lintianStatus" -ne 0 ] || grep -q '^[EW]: ' "$tmp/lintian.txt"; then
  fail "lintian $deb: errors or warnings above (status $lintianStatus)"
fi

echo "=== installing, removing and purging the package"
skip=""
if [ "$(id -u)" -ne 0 ]; then
  skip="not root"
elif dpkg-query -W -f='${Status}' zelkord 2>/dev/null | grep -qv "not-installed"; then
  skip="a zelkord package is on this machine already"
elif [ -e /etc/zelkord ] || [ -e /var/log/zelkord ]; then
  skip="/etc/zelkord or /var/log/zelkord exists, and purging would delete it"
fi
if [ -n "$skip" ]; then
  echo "skipped: $skip"
  echo "=== package check passed (without installing the package)"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
debInstalled=yes
apt-get install -y -q "$PWD/$deb" >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get install $deb"; }
IFS=: read -r _ _ _ _ _ home shell < <(getent passwd zelkord) || fail "no user zelkord after installing"
[ "$home" = /nonexistent ] && [ "$shell" = /usr/sbin/nologin ] ||
  fail "user zelkord has home $home and shell $shell"
getent group zelkord >/dev/null || fail "no group zelkord after installing"
[ "$(stat -c '%U:%G %a' /etc/zelkord)" = "root:zelkord 770" ] ||
  fail "/etc/zelkord is $(stat -c '%U:%G %a' /etc/zelkord), not root:zelkord 770"
[ "$(stat -c '%U:%G %a' /var/log/zelkord)" = "zelkord:zelkord 750" ] ||
  fail "/var/log/zelkord is $(stat -c '%U:%G %a' /var/log/zelkord), not zelkord:zelkord 750"
for name in zelkord.INI zelkord.MTD IndexForm.html LogForm.html; do
  cmp -s "/usr/share/zelkord/$name" "/etc/zelkord/$name" || fail "/etc/zelkord/$name is not the shipped file"
done
if pgrep -u zelkord >/dev/null; then fail "installing started a process as zelkord"; fi
if [ -d /run/systemd/system ]; then
  [ "$(systemctl is-enabled zelkord.service 2>/dev/null)" = disabled ] || fail "installing enabled the service"
  if systemctl is-active -q zelkord.service; then fail "installing started the service"; fi
fi
echo "user, folders and files in place; nothing started"

# The service's command as its user, on a free port: it must be able to
# write its settings file and a day log.
sed -i 's/^Port=6667\r$/Port=0\r/' /etc/zelkord/zelkord.INI
asService=(setpriv --reuid zelkord --regid zelkord --init-groups --no-new-privs)
# The unit's check before a start or a reload, by a program that has it:
# the shipped settings as installed must pass it as the service's user.
if /usr/sbin/zelkord --help 2>&1 | grep -q -- "--check-config"; then
  "${asService[@]}" /usr/sbin/zelkord --check-config --config /etc/zelkord/zelkord.INI >"$tmp/check.txt" 2>&1 ||
    { cat "$tmp/check.txt" >&2; fail "zelkord --check-config refused the installed settings"; }
  echo "zelkord --check-config passed the installed settings as zelkord"
else
  echo "zelkord has no --check-config yet: the unit's check was not run"
fi
(umask 0027 && exec "${asService[@]}" /usr/sbin/zelkord --headless --config /etc/zelkord/zelkord.INI) \
  >"$tmp/service.txt" 2>&1 &
server=$!
ircPort=$(numberAfter "$tmp/service.txt" "listening for IRC on port " "$server") ||
  { cat "$tmp/service.txt" >&2; fail "the installed service's command did not start as zelkord"; }
[ "$(stat -c %U /etc/zelkord/zelkord.INI)" = zelkord ] || fail "the program did not write /etc/zelkord/zelkord.INI"
exec 3<>"/dev/tcp/127.0.0.1/$ircPort"
printf 'NICK pkgcheck\r\nUSER pkgcheck 0 * :package check\r\nJOIN #pkgcheck\r\nPRIVMSG #pkgcheck :hello\r\n' >&3
for _ in $(seq 50); do
  compgen -G "/var/log/zelkord/#pkgcheck/*.TXT" >/dev/null && break
  sleep 0.1
done
exec 3>&-
compgen -G "/var/log/zelkord/#pkgcheck/*.TXT" >/dev/null || fail "no day log in /var/log/zelkord/#pkgcheck/"
stopServer "the service's command"
echo "the service's command ran as zelkord and wrote its settings and a day log"

apt-get remove -y -q zelkord >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get remove zelkord"; }
[ ! -e /usr/sbin/zelkord ] || fail "/usr/sbin/zelkord is still there after remove"
[ -f /etc/zelkord/zelkord.INI ] && [ -d /var/log/zelkord ] || fail "remove took the settings or the logs"
apt-get purge -y -q zelkord >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get purge zelkord"; }
debInstalled=""
[ ! -e /etc/zelkord ] && [ ! -e /var/log/zelkord ] || fail "purge left /etc/zelkord or /var/log/zelkord"
echo "remove kept /etc/zelkord and /var/log/zelkord; purge deleted them (the user zelkord stays)"
echo "=== package check passed"

# --- metrics -----------------------------------------------------------------
# The installed program with /metrics on, limited to the loopback address: a
# scrape must pass promtool's check of the text exposition format without a
# single complaint.
echo "=== metrics: promtool check metrics"
metricsInstance="$tmp/metrics instance"
mkdir "$metricsInstance"
printf '[Server]\r\nPort=0\r\n\r\n[Web]\r\nPort=0\r\nSend=Enable\r\nMetrics=Enable\r\nMetricsAddress=127.0.0.1\r\n' \
  >"$metricsInstance/zelkord.INI"
"$installed/sbin/zelkord" --headless --config "$metricsInstance/zelkord.INI" >"$tmp/metrics-stdout.txt" 2>&1 &
server=$!
metricsPort=$(numberAfter "$tmp/metrics-stdout.txt" "serving status pages on port " "$server") ||
  { cat "$tmp/metrics-stdout.txt" >&2; fail "the program with Metrics=Enable does not serve its web port"; }
curl -sS --fail --max-time 5 -o "$tmp/metrics.txt" "http://127.0.0.1:$metricsPort/metrics" ||
  fail "/metrics on port $metricsPort was not served"
promtoolStatus=0
promtool check metrics <"$tmp/metrics.txt" >"$tmp/promtool.txt" 2>&1 || promtoolStatus=$?
if [ "$promtoolStatus" -ne 0 ] || [ -s "$tmp/promtool.txt" ]; then
  cat "$tmp/promtool.txt" >&2
  fail "promtool check metrics (status $promtoolStatus) on what /metrics served"
fi
grep -qxF "zelkord_build_info{version=\"$version\"} 1" "$tmp/metrics.txt" ||
  fail "/metrics has no zelkord_build_info for version $version"
stopServer "the program with metrics"
echo "=== metrics check passed"
