#!/usr/bin/env bash
# Builds everything in build/ and runs every test. Installs what is missing
# first. ZELKORD_BUILD_DIR and ZELKORD_CMAKE_ARGS select other builds (the
# sanitizer builds use them).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
zelkord_install_packages

build="${ZELKORD_BUILD_DIR:-build}"
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja ${ZELKORD_CMAKE_ARGS:-}
cmake --build "$build" -j 2
ctest --test-dir "$build" --output-on-failure -j 2
