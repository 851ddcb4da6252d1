#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a while.
#   scripts/fuzz.sh [seconds-per-target] [target...]   (default 60 s, every target)
# The byte-format targets start from a temporary copy of their seed corpus (tests/fuzz/corpus/<name>);
# the decoder target (heif_decode) from the sample photographs (../shared/samples, when present),
# the test photographs of the fixture maker and the crafted decoder fixtures, so the repository
# is not modified. Its libheif and libde265 are the pinned sources with our patches, built with the
# sanitizers into the cache once. Exits non-zero when a target finds a crash, leak, timeout or failed
# check; the reproducing inputs are kept in <build>/fuzz-findings/<target>/.
set -euo pipefail

seconds="${1:-60}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELLUMORA_FUZZ_BUILD_DIR:-$root/build-fuzz}"
cache="${VELLUMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vellumora}"

# The decoder libraries, instrumented (a few minutes, once per recipe).
. "$root/scripts/heif-deps.sh"
heif_san="$cache/deps-sanitized-libheif-$heif_version-libde265-$de265_version-$heif_deps_recipe"
mkdir -p "$cache"
exec 9>"$cache/.deps.lock"
flock 9
if [ ! -f "$heif_san/.complete" ]; then
  heif_tar="$(upstream_source libheif "$heif_version" "$heif_tar_sha256" "$heif_file_sha256" "$heif_download" "$cache/downloads")" &&
  de265_tar="$(upstream_source libde265 "$de265_version" "$de265_tar_sha256" "$de265_file_sha256" "$de265_download" "$cache/downloads")" &&
  heif_deps_say "building the sanitized libde265 $de265_version and libheif $heif_version for the decoder fuzz target" &&
  build_heif_deps sanitized "$de265_tar" "$de265_version" "$heif_tar" "$heif_version" "$heif_san" "$cache/logs-sanitized" &&
  touch "$heif_san/.complete" || { echo "fuzz: the sanitized decoder libraries could not be built" >&2; exit 1; }
fi

flock -u 9

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVELLUMORA_FUZZ=ON -DVELLUMORA_TESTS=ON \
  -DVELLUMORA_FUZZ_HEIF_DIR="$heif_san" >/dev/null
cmake --build "$build" --target vellumora_fuzz

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# seeds NAME DIR: fills DIR with the target's seeds.
seeds() {
  if [ "$1" != heif_decode ]; then
    cp -R "$root/tests/fuzz/corpus/$1/." "$2/"
    return
  fi
  local samples="$root/../shared/samples" f
  if [ -d "$samples" ]; then
    # The large photographs only make each run slow; the small ones cover the same boxes.
    find "$samples" -type f \( -iname '*.hei[cf]' -o -iname '*.hif' -o -iname '*.avif' \) -size -1500k \
      -exec cp -t "$2" {} +
  fi
  local maker="$root/build/native/tests/fixtures/vellumora-fixtures"
  if [ -x "$maker" ]; then "$maker" "$2" >/dev/null; fi
  return 0
}

status=0
for source in "$root"/tests/fuzz/fuzz_*.cpp; do
  target="$(basename "$source" .cpp)"
  name="${target#fuzz_}"
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  seeds "$name" "$work/$name/corpus"
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
