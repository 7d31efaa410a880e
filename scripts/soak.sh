#!/usr/bin/env bash
# Runs the soak test long and big: hundreds of clients for minutes against
# one server, then the table, delivery, thread and descriptor checks (see
# tests/integration/soak_test.cpp). The test suite runs a short version of
# the same test.
#
#   scripts/soak.sh [MINUTES [CLIENTS]]    default 5 minutes, 400 clients
#
# ZELKORD_BUILD_DIR and ZELKORD_CMAKE_ARGS select another build, for
# example a sanitizer build:
#   ZELKORD_BUILD_DIR=build-rel-tsan \
#     ZELKORD_CMAKE_ARGS="-DZELKORD_SANITIZE=thread -DZELKORD_WINDOW=OFF" scripts/soak.sh 3 200
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-5}
clients=${2:-400}
case "$minutes$clients" in
  *[!0-9]*)
    echo "usage: scripts/soak.sh [MINUTES [CLIENTS]]" >&2
    exit 2
    ;;
esac
set --  # the package list takes its extra names from the arguments
source scripts/packages.sh
zelkord_install_packages

build="${ZELKORD_BUILD_DIR:-build-rel}"
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DZELKORD_WINDOW=OFF ${ZELKORD_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j 2 --target integration_tests

# Each client needs a descriptor on both ends of its connection.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
echo "soak: $minutes min, $clients clients, build $build"
ZELKORD_SOAK_SECONDS=$((minutes * 60)) ZELKORD_SOAK_CLIENTS=$clients \
  "$build/integration_tests" --gtest_filter='Soak.*'
