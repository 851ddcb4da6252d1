#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   1. native build: byte-format unit tests under AddressSanitizer and UBSan, fixture checks;
#   2. Windows build: every test program under Wine (null graphics driver), end-to-end runs of
#      VellumoraConvert.exe judged by exiftool, pngcheck, ImageMagick and heif-convert,
#      screenshots under Xvfb, and the release end to end (tests/release: scripts/release.sh in two
#      clones, the MSI and the zip under Wine; about 3-5 minutes, VELLUMORA_RELEASE_TESTS=0 skips);
#   3. a short bounded fuzzing run of every fuzz target (VELLUMORA_FUZZ_SECONDS each, default 20).
# Prints each CTest summary and, last, one line with the totals.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cd "$repo"

bash "$here/setup-tests.sh" || exit 1
bash "$here/build.sh" all || exit 1

passed=0 failed=0 status=0
run_ctest() {  # run_ctest NAME BUILD_DIR [ctest args...]
  local name="$1" dir="$2"; shift 2
  echo "== $name tests ($dir)"
  local log; log="$(mktemp)"
  ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line; line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)"
  if [ -n "$line" ]; then
    local f t
    f="$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/')"
    t="$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/')"
    # A Wine program now and then dies at start, before printing a line (seen once in some
    # thousand runs, never reproduced): one or two failed tests are run once more, and those that
    # pass then are named loudly instead of counted as failures. Anything that fails twice counts.
    if [ "$f" -gt 0 ] && [ "$f" -le 2 ] && [ "$name" = windows ]; then
      local flaky; flaky="$(grep -oE 'Test +#[0-9]+: [^ ]+ \.+\*+Failed' "$log" | sed -E 's/ \.+.*//' | paste -sd, -)"
      echo "== running the failed Windows tests once more: $flaky"
      if ctest --test-dir "$dir" --output-on-failure --rerun-failed; then
        echo "!!! passed only when run again (look at them if this repeats): $flaky"
        f=0 rc=0
      fi
    fi
    passed=$((passed + t - f)); failed=$((failed + f))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
  [ "$rc" -eq 0 ] || status=1
  rm -f "$log"
}

run_ctest native build/native
# The Windows suite shares one Wine prefix (registry, files); its tests run one at a time.
run_ctest windows build/win
"$here/wine-prefix.sh" stop "$repo/build/win/wineprefix"

if [ "${VELLUMORA_FUZZ_SECONDS:-20}" != 0 ] && [ -x "$here/fuzz.sh" ]; then
  echo "== fuzzing, ${VELLUMORA_FUZZ_SECONDS:-20} s per target"
  if "$here/fuzz.sh" "${VELLUMORA_FUZZ_SECONDS:-20}"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi

echo "total: $passed passed, $failed failed"
exit $status
