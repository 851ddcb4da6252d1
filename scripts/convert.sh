#!/usr/bin/env bash
# Converts a photograph with VellumoraConvert.exe under Wine, silently, and shows the report.
# Usage: scripts/convert.sh [PHOTO.heic] [JPG|PNG]
# Without a photograph, a copy of the bundled sample is converted in out/. The output is
# written beside its source (a photograph you name is converted where it lies).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
format="${2:-JPG}"

bash "$here/setup.sh"
bash "$here/build.sh" win VellumoraConvert

if [ $# -ge 1 ] && [ -n "$1" ]; then
  photo="$(realpath "$1")"
else
  mkdir -p "$repo/out"
  photo="$repo/out/sample.heic"
  cp "$repo/resources/sample/sample.heic" "$photo"
fi

run="$repo/build/win/wine-run.sh"
export WINEPREFIX="$repo/build/win/wineprefix"
# Wine names the profile folder after the Unix user.
logs_unix="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/VellumoraConvert/logs"
before="$(ls "$logs_unix" 2>/dev/null | sort || true)"

echo "Converting $photo to $format ..."
set +e
"$run" "$repo/build/win/VellumoraConvert.exe" --quick "$format" --silent "Z:${photo//\//\\}"
code=$?
set -e
"$here/wine-prefix.sh" stop "$WINEPREFIX"

report="$(comm -13 <(echo "$before") <(ls "$logs_unix" 2>/dev/null | sort) | tail -n1)"
echo "exit code: $code"
if [ -n "$report" ]; then
  echo "report: $logs_unix/$report"
  cat "$logs_unix/$report"; echo
fi
ls -l "$(dirname "$photo")"
exit $code
