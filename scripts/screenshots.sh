#!/usr/bin/env bash
# Takes the pictures of the main window shown in the README: builds the
# window tests, which start a real server behind the window on Qt's
# offscreen platform in a temporary instance folder, log a few scripted
# clients in so every page has content, and save one PNG per main page
# into docs/screenshots/. Installs what is missing first (Qt and a
# Japanese font among it). ZELKORD_BUILD_DIR selects another build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
zelkord_install_packages

build="${ZELKORD_BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja
cmake --build "$build" -j 2 --target window_tests
mkdir -p docs/screenshots
QT_QPA_PLATFORM=offscreen "$build/window_tests" --screenshots docs/screenshots
