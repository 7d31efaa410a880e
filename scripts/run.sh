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
# Glibc's per-thread malloc caches would keep the blocks each idle connection
# thread freed (docs/performance.md); a deployment switches them off from
# the environment, keeping any tunables already given.
case ":${GLIBC_TUNABLES:-}:" in
  *:glibc.malloc.tcache_count=*) ;;
  *) export GLIBC_TUNABLES="${GLIBC_TUNABLES:+$GLIBC_TUNABLES:}glibc.malloc.tcache_count=0" ;;
esac
exec build/zelkord "$@"
