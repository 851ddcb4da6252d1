#!/usr/bin/env bash
# Builds everything after scripts/setup.sh:
#   build/native  - the platform-neutral code and its tests with the machine's compiler under
#                   AddressSanitizer and UBSan, plus the native test-photograph maker;
#   build/win     - VellumoraConvert.exe and the Windows test programs (MinGW-w64, static).
# Usage: scripts/build.sh [native|win|all] [targets...]   (no targets: everything)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
what="${1:-all}"
shift || true

[ -f "$repo/.deps.env" ] || bash "$here/setup.sh"
# shellcheck disable=SC1091
source "$repo/.deps.env"
export VELLUMORA_DEPS_DIR VELLUMORA_WINEPREFIX_TEMPLATE

jobs="${VELLUMORA_JOBS:-$(nproc)}"
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
native="$repo/build/native"
win="$repo/build/win"

if [ "$what" = native ] || [ "$what" = all ]; then
  if [ ! -f "$native/build.ninja" ]; then
    cmake -S "$repo" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUMORA_SANITIZE=ON >/dev/null
  fi
  cmake --build "$native" -j "$jobs" "${targets[@]}"
fi

if [ "$what" = win ] || [ "$what" = all ]; then
  if [ ! -f "$win/build.ninja" ]; then
    cmake -S "$repo" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
      -DVELLUMORA_DEPS_DIR="$VELLUMORA_DEPS_DIR" \
      -DVELLUMORA_WINEPREFIX_TEMPLATE="$VELLUMORA_WINEPREFIX_TEMPLATE" \
      -DVELLUMORA_NATIVE_BUILD_DIR="$native" >/dev/null
  else
    # The dependency cache may have moved to a new recipe since the last configure.
    cmake "$win" -DVELLUMORA_DEPS_DIR="$VELLUMORA_DEPS_DIR" \
      -DVELLUMORA_WINEPREFIX_TEMPLATE="$VELLUMORA_WINEPREFIX_TEMPLATE" >/dev/null
  fi
  cmake --build "$win" -j "$jobs" "${targets[@]}"
fi
