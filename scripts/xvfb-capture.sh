# shellcheck shell=bash
# Sourced by the scripts that screenshot one of our windows from outside: a virtual X display,
# a Wine program that writes a READY file once its window is painted and keeps the window up
# until a DONE file exists, and a capture of the whole display in between.
#   xvfb_capture_require_tools             exits 77 (skipped) without Xvfb or ImageMagick
#   xvfb_capture_start FIRST_DISPLAY SCREEN PREFIX
#                                          starts Xvfb, exports DISPLAY, stops PREFIX's stale server;
#                                          sets capture_work, the scratch folder removed at exit
#   xvfb_capture_launch RUNNER PROGRAM [ARGS...]
#                                          runs RUNNER PROGRAM READY DONE ARGS... and waits for READY
#                                          ($capture_work/ready)
#   xvfb_capture_take OUTPUT_PNG WHAT      captures the display, lets the program end, checks its exit
# The caller sets `set -euo pipefail`; every failure exits the calling script with 1.
capture_scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

xvfb_capture_require_tools() {
  local tool
  for tool in Xvfb import convert; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
  done
}

# Wine takes Windows paths: the Z: drive maps the Unix root.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

xvfb_capture_cleanup() {
  [ -n "$capture_program_pid" ] && kill "$capture_program_pid" 2>/dev/null || true
  "$capture_scripts/wine-prefix.sh" stop "$capture_prefix"
  kill "$capture_xvfb" 2>/dev/null || true
  wait "$capture_xvfb" 2>/dev/null || true
  rm -rf "$capture_work"
}

xvfb_capture_start() {
  local first="$1" screen="$2"
  capture_prefix="$3"
  # A display number nobody uses; each caller starts from its own so that they rarely meet.
  capture_display="$first"
  while [ -e "/tmp/.X$capture_display-lock" ] || [ -e "/tmp/.X11-unix/X$capture_display" ]; do
    capture_display=$((capture_display + 1))
  done
  capture_work="$(mktemp -d)"
  Xvfb ":$capture_display" -screen 0 "$screen" -nolisten tcp >/dev/null 2>&1 &
  capture_xvfb=$!
  capture_program_pid=""
  trap xvfb_capture_cleanup EXIT
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$capture_display" ] && break; sleep 0.1; done
  export DISPLAY=":$capture_display"

  # A server left from another display would keep drawing there.
  "$capture_scripts/wine-prefix.sh" stop "$capture_prefix"
}

xvfb_capture_launch() {
  local runner="$1" program="$2"
  shift 2
  "$runner" "$program" "$(winpath "$capture_work/ready")" "$(winpath "$capture_work/done")" "$@" \
    </dev/null >"$capture_work/log" 2>&1 &
  capture_program_pid=$!
  for _ in $(seq 600); do
    [ -s "$capture_work/ready" ] && break
    kill -0 "$capture_program_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$capture_work/ready" ] || { echo "the window did not come up" >&2; cat "$capture_work/log" >&2; exit 1; }
}

xvfb_capture_take() {
  local out="$1" what="$2"
  import -display ":$capture_display" -window root "$out"
  touch "$capture_work/done"
  wait "$capture_program_pid" || { echo "the $what program failed" >&2; exit 1; }
  capture_program_pid=""
}
