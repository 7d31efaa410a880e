#!/usr/bin/env bash
# Installs what is missing, builds build/zelkord and starts it: with the
# window when a display is available, headless otherwise. Arguments are
# passed on (for example --headless, --verbose, --config FILE).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
zelkord_install_packages

cmake -S . -B build -G Ninja
cmake --build build -j 2 --target zelkord
exec build/zelkord "$@"
