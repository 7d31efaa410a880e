#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each one over its
# corpus in tests/fuzz/corpus/<name>/, then fuzzes it for a while. New
# inputs go to build-fuzz/fuzz-work/<name>/, crashes to
# build-fuzz/fuzz-crashes/; the corpora in the repository are only read.
#
#   scripts/fuzz.sh [SECONDS]   fuzz every target SECONDS seconds (default 120)
#   scripts/fuzz.sh --ci        every corpus input once, then 20 s per target
#   scripts/fuzz.sh --minimise  rebuild each corpus from itself and the work
#                               folder with -merge=1, by edge coverage
#                               (after a long run; keeps a few dozen files)
#
# ZELKORD_FUZZ_TARGETS="split ini_file" limits the run to those targets.
# Exits non-zero when any target finds a crash or a broken property.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
zelkord_install_packages clang libclang-rt-14-dev

seconds=120
mode=fuzz
case "${1:-}" in
  --ci) seconds=20 ;;
  --minimise) mode=minimise ;;
  "") ;;
  *[!0-9]* | 0)
    echo "usage: scripts/fuzz.sh [SECONDS | --ci | --minimise]" >&2
    exit 2
    ;;
  *) seconds=$1 ;;
esac

build="${ZELKORD_FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DZELKORD_FUZZ=ON -DZELKORD_TESTS=OFF \
  -DZELKORD_WINDOW=OFF >/dev/null
cmake --build "$build" -j 2 --target fuzz_targets

corpora=tests/fuzz/corpus
work="$build/fuzz-work"
crashes="$build/fuzz-crashes"
mkdir -p "$work" "$crashes"

# Longer inputs where a target needs them to reach its limits.
max_len() {
  case "$1" in
    line_reader) echo 20000 ;;
    ini_file | web_request) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

targets=()
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  if [ -n "${ZELKORD_FUZZ_TARGETS:-}" ] && [[ " $ZELKORD_FUZZ_TARGETS " != *" $name "* ]]; then
    continue
  fi
  targets+=("$name")
done

passed=0
failed=0
for name in "${targets[@]}"; do
  binary="$build/tests/fuzz/${name}_fuzz"
  mkdir -p "$corpora/$name" "$work/$name"
  log="$work/$name.log"
  if [ "$mode" = minimise ]; then
    fresh=$(mktemp -d)
    # Edges only, without hit counts: keeps the corpus to a few dozen files.
    "$binary" -merge=1 -use_counters=0 -max_len="$(max_len "$name")" "$fresh" "$corpora/$name" \
      "$work/$name" >"$log" 2>&1
    rm -f "$corpora/$name"/*
    cp "$fresh"/* "$corpora/$name"/ 2>/dev/null || true
    rm -rf "$fresh"
    echo "$name: corpus now $(find "$corpora/$name" -type f | wc -l) files"
    passed=$((passed + 1))
    continue
  fi
  if "$binary" "$work/$name" "$corpora/$name" -max_total_time="$seconds" \
    -max_len="$(max_len "$name")" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$crashes/$name-" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    echo "$name: ok, $runs inputs in ${seconds} s (corpus $(find "$corpora/$name" -type f | wc -l) files)"
    passed=$((passed + 1))
  else
    echo "$name: FAILED; log $log, crash inputs under $crashes/"
    grep -E 'ERROR|property failed|SUMMARY' "$log" | head -5 || true
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
