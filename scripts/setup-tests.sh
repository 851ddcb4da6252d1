#!/usr/bin/env bash
# Prepares what only the tests need, after scripts/setup.sh (which it runs first): the gain-map
# readers that judge the gain-map JPEGs, cached like the decoder: the current exiftool and
# @monogrid/gainmap-js (npm, pinned), and libultrahdr's ultrahdr_app (native, checked).
# Safe to run again: the readers are skipped when they are already there.
# Prints their paths as KEY=VALUE lines to scripts/../.test-deps.env (read by tests/e2e).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
bash "$here/setup.sh"

cache="${VELLUMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vellumora}"
downloads="$cache/downloads"
say() { printf '[setup] %s\n' "$*" >&2; }
loud() { printf '\n[setup] !!! %s\n\n' "$*" >&2; }
# For upstream_source: the same search and checks as the decoder's archives.
. "$here/heif-deps.sh"

# Debian's exiftool (12.57) misreads MPF and hdrgm, hence the current one from npm, run by the
# machine's Node and npm, at the versions and integrity hashes of tests/e2e/gain-map-readers.
# ultrahdr_app only reads our files in tests: none of its code goes into the program. Without
# these readers the gain-map checks skip, so a failure here is loud but not fatal.
readers_lock="$repo/tests/e2e/gain-map-readers/package-lock.json"
readers="$cache/gain-map-readers-r1-$(sha256sum < "$readers_lock" | cut -c1-12)"
uhdr_version=2.0.2
uhdr_tar_sha256=7df0d7bb0e0c902612bcfc70377f05a711603f35e43e1583972a62996fe75f4e
install_readers() {
  local stage="$readers.tmp" tar
  rm -rf "$stage" && mkdir -p "$stage/npm" && cp "$readers_lock" "${readers_lock%-lock.json}.json" "$stage/npm/"
  npm ci --prefix "$stage/npm" --no-audit --no-fund --loglevel=error >/dev/null || return 1
  tar="$(upstream_source libultrahdr "$uhdr_version" "$uhdr_tar_sha256" "" \
    "https://github.com/google/libultrahdr/archive/refs/tags/v$uhdr_version.tar.gz" "$downloads")" || return 1
  tar -C "$stage" -xzf "$tar" || return 1
  { cmake -S "$stage/libultrahdr-$uhdr_version" -B "$stage/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_SHARED_LIBS=OFF -DUHDR_ENABLE_HEIF=OFF -DUHDR_ENABLE_INSTALL=OFF -DUHDR_WRITE_XMP=ON \
      && ninja -C "$stage/build" ultrahdr_app; } >"$stage/build.log" 2>&1 || { tail -n 30 "$stage/build.log" >&2; return 1; }
  mv "$stage/build/ultrahdr_app" "$stage/" || return 1
  rm -rf "$stage/build" "$stage/libultrahdr-$uhdr_version"
  touch "$stage/.complete" && mv "$stage" "$readers"
}
if [ -f "$readers/.complete" ]; then
  say "gain-map readers cached: $readers"
else
  say "installing the gain-map readers (exiftool, gainmap-js, ultrahdr_app) into $readers"
  rm -rf "$readers"
  install_readers || { rm -rf "$readers.tmp"; loud "the gain-map readers could not be installed: the gain-map checks will skip"; }
fi

cat > "$repo/.test-deps.env" <<ENV
VELLUMORA_EXIFTOOL=$readers/npm/node_modules/exiftool-vendored.pl/bin/exiftool
VELLUMORA_GAINMAP_JS=$readers/npm/node_modules/@monogrid/gainmap-js
VELLUMORA_ULTRAHDR_APP=$readers/ultrahdr_app
ENV
say "ready for the tests: gain-map readers $readers"
