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

source "$here/xvfb-capture.sh"
xvfb_capture_require_tools
[ -x "$build/wine-run-x11.sh" ] && [ -f "$program" ] || { echo "build $program first" >&2; exit 1; }

xvfb_capture_start 91 1280x900x24 "$prefix"
xvfb_capture_launch "$build/wine-run-x11.sh" "$program"
dpi="$(tr -d '\r\n' <"$capture_work/ready")"
xvfb_capture_take "$out" screenshot
echo "saved $out (window at $dpi dpi)"

# The page colour beside the panels and the white panel itself must be where the layout puts them.
pixel() { convert "$out" -format "%[pixel:p{$1,$2}]" info:; }
page="$(pixel 10 300)"
panel="$(pixel 30 300)"
echo "page $page, panel $panel"
[ "$dpi" = 96 ] || { echo "expected 96 dpi" >&2; exit 1; }
case "$page" in *244,247,251*) ;; *) echo "unexpected page colour" >&2; exit 1 ;; esac
case "$panel" in *255,255,255*|white) ;; *) echo "unexpected panel colour" >&2; exit 1 ;; esac
