#!/usr/bin/env bash
# Damaged photographs, many of them: small real photographs and a tiled 12-megapixel phone
# photograph (from ../shared/samples when it is there) and our own fixtures are damaged with a
# chosen seed (box sizes, item locations, cuts, zeroed blocks, spliced bytes, bit flips,
# overwritten words) and converted by the built VellumoraConvert.exe as silent batches under
# Wine, half to JPG and half to PNG, most of them a hundred to a folder and ten of each format
# one to a folder. Prints every fault (a crash, a hang, a broken
# report, a changed source, a file left behind, an output that does not decode whole) and the
# figures: variants, converted, failed with a message, faults by kind, time.
#   scripts/mutation.sh [variants] [seed]     (default 1000 variants, seed 2)
# The same variants and seed give the same damaged files. Those that show a fault are kept in
# build/win/mutation/findings-<seed>/. CTest's e2e_damaged runs a short set of the same kind.
# Exit code 0 when no fault was found.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
variants="${1:-1000}"
seed="${2:-2}"

bash "$here/build.sh" native vellumora-fixtures >/dev/null
bash "$here/build.sh" win VellumoraConvert >/dev/null
win="$repo/build/win"
"$repo/build/native/tests/fixtures/vellumora-fixtures" "$win/fixtures" >/dev/null
exe="$(find "$win" -maxdepth 2 -name VellumoraConvert.exe | head -n 1)"
work="$win/mutation"
trap '"$here/wine-prefix.sh" stop "$win/wineprefix"' EXIT

python3 "$repo/tests/e2e/e2e_damaged.py" --variants "$variants" --seed "$seed" --batch 100 --singles 10 --large \
  --messages 15 --exe "$exe" --run "$win/wine-run.sh" --prefix "$win/wineprefix" --fixtures "$win/fixtures" \
  --samples "$repo/../shared/samples" --work "$work" --keep "$work/findings-$seed"
