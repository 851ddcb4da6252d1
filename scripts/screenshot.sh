#!/usr/bin/env bash
# Takes a screenshot of the main window with sample rows, under a virtual X display at 96 dpi,
# in the build's second Wine prefix (the one with a real display driver).
# Usage: scripts/screenshot.sh BUILD_DIR [OUTPUT_PNG]
# Exit codes: 0 saved and checked; 1 failed; 77 skipped (no Xvfb or ImageMagick).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "${1:?usage: screenshot.sh BUILD_DIR [OUTPUT_PNG]}" && pwd)"
out="${2:-$build/window-screenshot.png}"
program="$build/tests/ui/vellumora_window_screenshot.exe"
prefix="$build/wineprefix-x11"

for tool in Xvfb import convert; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[ -x "$build/wine-run-x11.sh" ] && [ -f "$program" ] || { echo "build $program first" >&2; exit 1; }

# A display number nobody uses.
n=91
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
work="$(mktemp -d)"
Xvfb ":$n" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
program_pid=""
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
  "$here/wine-prefix.sh" stop "$prefix"
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
export DISPLAY=":$n"

# A server left from another display would keep drawing there.
"$here/wine-prefix.sh" stop "$prefix"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
"$build/wine-run-x11.sh" "$program" "$(winpath "$work/ready")" "$(winpath "$work/done")" </dev/null >"$work/log" 2>&1 &
program_pid=$!
for _ in $(seq 600); do
  [ -s "$work/ready" ] && break
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$work/ready" ] || { echo "the window did not come up" >&2; cat "$work/log" >&2; exit 1; }
dpi="$(tr -d '\r\n' <"$work/ready")"

import -display ":$n" -window root "$out"
touch "$work/done"
wait "$program_pid" || { echo "the screenshot program failed" >&2; exit 1; }
program_pid=""
echo "saved $out (window at $dpi dpi)"

# The page colour beside the panels and the white panel itself must be where the layout puts them.
pixel() { convert "$out" -format "%[pixel:p{$1,$2}]" info:; }
page="$(pixel 10 300)"
panel="$(pixel 30 300)"
echo "page $page, panel $panel"
[ "$dpi" = 96 ] || { echo "expected 96 dpi" >&2; exit 1; }
case "$page" in *244,247,251*) ;; *) echo "unexpected page colour" >&2; exit 1 ;; esac
case "$panel" in *255,255,255*|white) ;; *) echo "unexpected panel colour" >&2; exit 1 ;; esac
