#!/usr/bin/env bash
# Builds the libFuzzer targets of the byte formats with clang and runs each one for a while.
#   scripts/fuzz.sh [seconds-per-target]   (default 60)
# Each target starts from a temporary copy of its seed corpus (tests/fuzz/corpus/<target>), so the
# repository is not modified. Exits non-zero when a target finds a crash, leak, timeout or failed check;
# the reproducing inputs are kept in <build>/fuzz-findings/<target>/.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELLUMORA_FUZZ_BUILD_DIR:-$root/build-fuzz}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVELLUMORA_FUZZ=ON -DVELLUMORA_TESTS=ON >/dev/null
cmake --build "$build" --target vellumora_fuzz

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

status=0
for source in "$root"/tests/fuzz/fuzz_*.cpp; do
  target="$(basename "$source" .cpp)"
  name="${target#fuzz_}"
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  cp -R "$root/tests/fuzz/corpus/$name/." "$work/$name/corpus/"
  log="$work/$name/log"
  if "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 \
      -artifact_prefix="$work/$name/artifacts/" -print_final_stats=1 "$work/$name/corpus" >"$log" 2>&1; then
    summary="$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)"
    echo "fuzz $name: ok  ${summary}"
  else
    status=1
    echo "fuzz $name: FAILED"
    tail -n 60 "$log"
    mkdir -p "$build/fuzz-findings/$name"
    cp -R "$work/$name/artifacts/." "$build/fuzz-findings/$name/" 2>/dev/null || true
    echo "reproducers kept in $build/fuzz-findings/$name/"
  fi
done
exit "$status"
