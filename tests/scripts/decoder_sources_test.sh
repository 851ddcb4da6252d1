#!/usr/bin/env bash
# The decoder sources are checked before anything is built: a damaged, tampered, missing or
# other-version archive in the sources folder is refused with one line, and a good one is taken.
set -uo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
. "$repo/scripts/heif-deps.sh"
good="${1:-$repo/../shared/deps}/libheif-$heif_version.tar.gz"
[ -f "$good" ] || { echo "no $good: skipped"; exit 77; }
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
failed=0
expect() {  # expect CASE WORDS [LIBRARY]: upstream_source refuses with one line that says WORDS
  local out rc
  if [ "${3:-libheif}" = libde265 ]; then
    out="$(VELLUMORA_DEPS_SOURCES="$work/$1" upstream_source libde265 "$de265_version" "$de265_tar_sha256" \
           "$de265_file_sha256" "$de265_download" "$work/downloads" 2>&1 >/dev/null)"; rc=$?
  else
    out="$(VELLUMORA_DEPS_SOURCES="$work/$1" upstream_source libheif "$heif_version" "$heif_tar_sha256" \
           "$heif_file_sha256" "$heif_download" "$work/downloads" 2>&1 >/dev/null)"; rc=$?
  fi
  if [ $rc -ne 1 ] || [ "$(printf '%s\n' "$out" | wc -l)" -ne 1 ] || [[ "$out" != *"$2"* ]]; then
    echo "FAIL $1: rc $rc, said: $out"; failed=1
  else
    echo "ok   $1: $out"
  fi
}
mkdir -p "$work"/{truncated,tampered,missing,other,good}
head -c 100000 "$good" > "$work/truncated/libheif-$heif_version.tar.gz"
# A well-formed archive with one byte of the sources changed.
gzip -dc "$good" | sed '0,/libheif/s//libheiF/' | gzip -n > "$work/tampered/libheif-$heif_version.tar.gz"
cp "$good" "$work/other/libheif-1.22.0.tar.gz"
cp "$good" "$work/good/"
expect truncated "damaged or cut short"
expect tampered "the pinned release has $heif_tar_sha256"
expect missing "has no libheif-$heif_version.tar.gz"
expect other "holds libheif-1.22.0.tar.gz, not the pinned libheif-$heif_version.tar.gz"
expect not-a-folder "which is not a folder"
# A release tarball is one fixed file: the same tar stream in other gzip bytes is not it.
de265="$(dirname "$good")/libde265-$de265_version.tar.gz"
if [ -f "$de265" ]; then
  mkdir -p "$work/regzipped" && gzip -dc "$de265" | gzip -1 -n > "$work/regzipped/libde265-$de265_version.tar.gz"
  expect regzipped "the pinned release tarball has $de265_file_sha256" libde265
fi
got="$(VELLUMORA_DEPS_SOURCES="$work/good" upstream_source libheif "$heif_version" "$heif_tar_sha256" \
       "$heif_file_sha256" "$heif_download" "$work/downloads" 2>/dev/null)" || true
[ "$got" = "$work/good/libheif-$heif_version.tar.gz" ] || { echo "FAIL good: got '$got'"; failed=1; }
# Only the good archive is kept in the cache (for clones without a sources folder), nothing else.
[ "$(ls -A "$work/downloads")" = "libheif-$heif_version.tar.gz" ] && cmp -s "$good" "$work/downloads/libheif-$heif_version.tar.gz" \
  || { echo "FAIL: the cache holds: $(ls -A "$work/downloads")"; failed=1; }
exit $failed
