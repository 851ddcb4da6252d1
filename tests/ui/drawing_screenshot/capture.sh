#!/usr/bin/env bash
# Screenshot of the main window's drawing under a virtual X display at a chosen dpi, in a Wine
# prefix with the X11 driver (for a dpi other than 96, a copy of its own with LogPixels set),
# then checks the colours at the points the capture program names against the palette.
# Usage: capture.sh PROGRAM BUILD_DIR PREFIX_TEMPLATE DPI OUTPUT_PNG [scrolled]
# Exit codes: 0 saved and checked; 1 failed; 77 skipped (no Xvfb or ImageMagick).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../../.." && pwd)"
program="${1:?usage: capture.sh PROGRAM BUILD_DIR PREFIX_TEMPLATE DPI OUTPUT_PNG [scrolled]}"
build="$(cd "${2:?build dir}" && pwd)"
template="${3:?prefix template}"
dpi="${4:?dpi}"
out="${5:?output png}"
mode="${6:-}"

source "$repo/scripts/xvfb-capture.sh"
xvfb_capture_require_tools
[ -f "$program" ] || { echo "build $program first" >&2; exit 1; }

# 96 dpi is the default: the build's X11 prefix serves as it is. Other dpis get a copy each.
if [ "$dpi" = 96 ]; then export WINEPREFIX="$build/wineprefix-x11"; else export WINEPREFIX="$build/wineprefix-x11-dpi$dpi"; fi
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_capture_start 95 2000x1400x24 "$WINEPREFIX"
"$repo/scripts/wine-prefix.sh" ensure "$template" "$WINEPREFIX" x11
if [ "$dpi" != 96 ] && [ ! -f "$WINEPREFIX/.logpixels-$dpi" ]; then
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.logpixels-$dpi"
fi

"$repo/scripts/wine-prefix.sh" ensure "$template" "$WINEPREFIX" x11
xvfb_capture_launch wine "$program" $mode
xvfb_capture_take "$capture_work/screen.png" capture

tr -d '\r' <"$capture_work/ready" >"$capture_work/expect"
got_dpi="$(head -n1 "$capture_work/expect")"
read -r _ wx wy ww wh _ scroll < <(grep '^window ' "$capture_work/expect")
convert "$capture_work/screen.png" -crop "${ww}x${wh}+${wx}+${wy}" +repage "$out"
echo "saved $out (${ww}x${wh} at $got_dpi dpi, scrolled $scroll px)"

status=0
[ "$got_dpi" = "$dpi" ] || { echo "FAIL window dpi $got_dpi, expected $dpi"; status=1; }
while read -r kind name rest; do
  case "$kind" in
    pixel)
      read -r x y r g b <<<"$rest"
      seen="$(convert "$capture_work/screen.png" -format "%[fx:int(255*p{$x,$y}.r+.5)],%[fx:int(255*p{$x,$y}.g+.5)],%[fx:int(255*p{$x,$y}.b+.5)]" info:)"
      if [ "$seen" = "$r,$g,$b" ]; then echo "ok   $name ($x,$y) = $seen"
      else echo "FAIL $name ($x,$y) = $seen, expected $r,$g,$b"; status=1; fi ;;
    region)
      read -r x y w h r g b <<<"$rest"
      if convert "$capture_work/screen.png" -crop "${w}x${h}+${x}+${y}" +repage -unique-colors -depth 8 txt:- |
          grep -q "($r,$g,$b)"; then echo "ok   $name has $r,$g,$b"
      else echo "FAIL $name (${w}x${h}+${x}+${y}) has no $r,$g,$b"; status=1; fi ;;
  esac
done <"$capture_work/expect"
exit $status
