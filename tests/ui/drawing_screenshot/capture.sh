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

for tool in Xvfb import convert; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[ -f "$program" ] || { echo "build $program first" >&2; exit 1; }

# 96 dpi is the default: the build's X11 prefix serves as it is. Other dpis get a copy each.
if [ "$dpi" = 96 ]; then export WINEPREFIX="$build/wineprefix-x11"; else export WINEPREFIX="$build/wineprefix-x11-dpi$dpi"; fi
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
n=95
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
work="$(mktemp -d)"
Xvfb ":$n" -screen 0 2000x1400x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
program_pid=""
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
  "$repo/scripts/wine-prefix.sh" stop "$WINEPREFIX"
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
export DISPLAY=":$n"

# The server must draw on this display, not on one left from an earlier run.
"$repo/scripts/wine-prefix.sh" stop "$WINEPREFIX"
"$repo/scripts/wine-prefix.sh" ensure "$template" "$WINEPREFIX" x11
if [ "$dpi" != 96 ] && [ ! -f "$WINEPREFIX/.logpixels-$dpi" ]; then
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.logpixels-$dpi"
fi

"$repo/scripts/wine-prefix.sh" ensure "$template" "$WINEPREFIX" x11
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wine "$program" "$(winpath "$work/ready")" "$(winpath "$work/done")" $mode </dev/null >"$work/log" 2>&1 &
program_pid=$!
for _ in $(seq 600); do
  [ -s "$work/ready" ] && break
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$work/ready" ] || { echo "the window did not come up" >&2; cat "$work/log" >&2; exit 1; }

import -display ":$n" -window root "$work/screen.png"
touch "$work/done"
wait "$program_pid" || { echo "the capture program failed" >&2; exit 1; }
program_pid=""

tr -d '\r' <"$work/ready" >"$work/expect"
got_dpi="$(head -n1 "$work/expect")"
read -r _ wx wy ww wh _ scroll < <(grep '^window ' "$work/expect")
convert "$work/screen.png" -crop "${ww}x${wh}+${wx}+${wy}" +repage "$out"
echo "saved $out (${ww}x${wh} at $got_dpi dpi, scrolled $scroll px)"

status=0
[ "$got_dpi" = "$dpi" ] || { echo "FAIL window dpi $got_dpi, expected $dpi"; status=1; }
while read -r kind name rest; do
  case "$kind" in
    pixel)
      read -r x y r g b <<<"$rest"
      seen="$(convert "$work/screen.png" -format "%[fx:int(255*p{$x,$y}.r+.5)],%[fx:int(255*p{$x,$y}.g+.5)],%[fx:int(255*p{$x,$y}.b+.5)]" info:)"
      if [ "$seen" = "$r,$g,$b" ]; then echo "ok   $name ($x,$y) = $seen"
      else echo "FAIL $name ($x,$y) = $seen, expected $r,$g,$b"; status=1; fi ;;
    region)
      read -r x y w h r g b <<<"$rest"
      if convert "$work/screen.png" -crop "${w}x${h}+${x}+${y}" +repage -unique-colors -depth 8 txt:- |
          grep -q "($r,$g,$b)"; then echo "ok   $name has $r,$g,$b"
      else echo "FAIL $name (${w}x${h}+${x}+${y}) has no $r,$g,$b"; status=1; fi ;;
  esac
done <"$work/expect"
exit $status
