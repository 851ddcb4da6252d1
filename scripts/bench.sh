#!/usr/bin/env bash
# Speed and memory of the Windows build (under Wine) beside native tools, in one run on one
# machine:
#   decode   libheif decoding as the pipeline calls it: bench/decode_probe under Wine against
#            the same program built natively with the same libheif (the floor);
#   convert  whole silent conversions (VellumoraConvert.exe --quick FMT --silent FILE, with the
#            verification read-back and decode) against heif-convert and ImageMagick convert,
#            runs alternating, wall time and peak memory, JPG and PNG;
#   stages   where one conversion spends its time (bench/stage_bench, stage timing on);
#   scan     CollectInputs over 10,000 files in nested folders (bench/scan_bench);
#   big      the 200-megapixel sample to JPG and PNG (time, peak memory);
#   starts   100 silent runs started at once, one 12-megapixel photograph each, as Explorer starts them: taking
#            turns (one settings file, so one set of conversion slots) against all at once (a
#            settings file each, so a set of slots each: what every run did before the slots);
#   batch    one silent batch of 48 real iPhone photographs converting several at once, the same
#            batch one file at a time (VELLUMORA_BATCH_WORKERS=1) and heif-convert over the same
#            48 one after another: wall and CPU time per photograph, cores used, peak memory.
# Results: build-bench-win/bench-results-<date>.txt (and bench-results.txt, the latest).
# Nothing here asserts a time: it measures and prints.
#
# Usage: scripts/bench.sh [--reps N] [--decode-reps N] [--only PART[,PART...]] [--no-build]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
reps=3
decode_reps=5
parts="decode,convert,stages,scan,big,starts,batch"
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps="$2"; shift 2 ;;
    --decode-reps) decode_reps="$2"; shift 2 ;;
    --only) parts="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    *) echo "usage: scripts/bench.sh [--reps N] [--decode-reps N] [--only decode,convert,stages,scan,big,starts,batch] [--no-build]" >&2; exit 2 ;;
  esac
done
want() { [[ ",$parts," == *",$1,"* ]]; }
say() { printf '[bench] %s\n' "$*" >&2; }

win="$repo/build-bench-win"
nat="$repo/build-bench-native"
samples="$repo/../shared/samples"
cache="${VELLUMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vellumora}"

# --- Dependencies, the native floor and the two builds --------------------------------------
if [ $build -eq 1 ]; then
  bash "$here/setup.sh"
fi
set -a; . "$repo/.deps.env"; set +a
. "$here/heif-deps.sh"
heif_ver="$(awk '$1 == "libheif" {print $2}' "$VELLUMORA_DEPS_DIR/VERSIONS")"
de265_ver="$(awk '$1 == "libde265" {print $2}' "$VELLUMORA_DEPS_DIR/VERSIONS")"
win_recipe="$(awk '$1 == "recipe" {print $2}' "$VELLUMORA_DEPS_DIR/VERSIONS")"
floor="$cache/native-libheif-$heif_ver"
floor_stamp="libheif $heif_ver libde265 $de265_ver recipe $heif_deps_recipe"
if [ $build -eq 1 ]; then
  if [ "$(cat "$floor/.complete" 2>/dev/null)" != "$floor_stamp" ]; then
    say "building the native floor: $floor_stamp"
    rm -rf "$floor"
    build_heif_deps native "$(awk '$1 == "libde265_archive" {print $2}' "$VELLUMORA_DEPS_DIR/VERSIONS")" "$de265_ver" \
      "$(awk '$1 == "libheif_archive" {print $2}' "$VELLUMORA_DEPS_DIR/VERSIONS")" "$heif_ver" "$floor" "$floor.logs"
    echo "$floor_stamp" > "$floor/.complete"
  fi
  say "building $win"; mkdir -p "$win" "$nat"
  cmake -S "$repo" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DVELLUMORA_BENCH=ON -DVELLUMORA_TESTS=OFF -DVELLUMORA_DEPS_DIR="$VELLUMORA_DEPS_DIR" >"$win/bench-configure.log" 2>&1 \
    || { tail -n 30 "$win/bench-configure.log"; exit 1; }
  cmake --build "$win" --target VellumoraConvert decode_probe decode_probe_counted stage_bench encode_probe scan_bench \
    >"$win/bench-build.log" 2>&1 || { tail -n 30 "$win/bench-build.log"; exit 1; }
  say "building $nat"
  cmake -S "$repo" -B "$nat" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLUMORA_BENCH=ON \
    -DVELLUMORA_DEPS_DIR="$floor" >"$nat/bench-configure.log" 2>&1 || { tail -n 30 "$nat/bench-configure.log"; exit 1; }
  cmake --build "$nat" --target decode_probe decode_probe_counted vellumora-fixtures \
    >"$nat/bench-build.log" 2>&1 || { tail -n 30 "$nat/bench-build.log"; exit 1; }
fi

# --- Wine: the build's own prefix, a running server, quiet -----------------------------------
export WINEPREFIX="$win/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$here/wine-prefix.sh" ensure "$VELLUMORA_WINEPREFIX_TEMPLATE" "$WINEPREFIX" null
server_pid() {
  local id p
  id="$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"
  for p in $(pgrep -x wineserver64 || true) $(pgrep -x wineserver || true); do
    case "$(readlink "/proc/$p/cwd" 2>/dev/null)" in */"$id") echo "$p"; return ;; esac
  done
}
server_ticks() { local p; p="$(server_pid)"; [ -n "$p" ] && awk '{print $14 + $15}' "/proc/$p/stat" || echo 0; }
ticks_per_s="$(getconf CLK_TCK)"
winpath() { winepath -w "$1" 2>/dev/null; }

# --- The photographs ---------------------------------------------------------------------------
photos="$win/photos"
mkdir -p "$photos"
if [ ! -s "$photos/large-12mp.heic" ] && [ -x "$nat/tests/fixtures/vellumora-fixtures" ]; then
  say "making large-12mp.heic with the fixture maker"
  "$nat/tests/fixtures/vellumora-fixtures" --one large-12mp.heic "$photos/large-12mp.heic" >/dev/null
fi
set_files=()
set_names=()
add_photo() {  # path label
  if [ -s "$1" ]; then set_files+=("$1"); set_names+=("$2"); else say "skipping $2: $1 is absent"; fi
}
# Each photograph with a gain map beside the same photograph without it (its gain map's auxiliary
# type and its tmap item renamed, nothing else changed): the two rows differ by what keeping the
# gain map costs. pug.heic: Apple's gain map (2016x1512) with the headroom of its MakerNote;
# aux_YCbCr.heic: an ISO 21496-1 tmap over a grid gain map (1000x462).
for name in pug.heic aux_YCbCr.heic; do
  if [ -s "$samples/pillow-heif/$name" ] && [ ! -s "$photos/${name%.heic}-no-gain-map.heic" ]; then
    python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import e2e_convert as e
open(sys.argv[3], "wb").write(e.without_gain_maps(open(sys.argv[2], "rb").read()))' \
      "$repo/tests/e2e" "$samples/pillow-heif/$name" "$photos/${name%.heic}-no-gain-map.heic"
  fi
done
add_photo "$samples/pillow-heif/pug.heic" "pug.heic (iPhone 13 Pro grid 4032x3024, gain map)"
add_photo "$photos/pug-no-gain-map.heic" "pug-no-gain-map.heic (the same without it)"
add_photo "$samples/pillow-heif/aux_YCbCr.heic" "aux_YCbCr.heic (Galaxy S25 grid 4000x1848, tmap)"
add_photo "$photos/aux_YCbCr-no-gain-map.heic" "aux_YCbCr-no-gain-map.heic (the same without it)"
# The same photograph as a motion photo: a 3-second 1080p MP4 of about 6 MB (what phones record)
# in an mpvd box after it, as Samsung's cameras store it. Its JPG carries the MP4, copied and
# never decoded, so the two rows differ by the video alone.
if [ -s "$samples/pillow-heif/pug.heic" ] && [ ! -s "$photos/pug-motion.heic" ] && command -v ffmpeg >/dev/null; then
  ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 3 -c:v libx264 -b:v 16M -pix_fmt yuv420p \
    "$photos/motion.mp4"
  python3 -c 'import struct, sys
photo, video = (open(p, "rb").read() for p in sys.argv[1:3])
open(sys.argv[3], "wb").write(photo + struct.pack(">I", len(video) + 8) + b"mpvd" + video)' \
    "$samples/pillow-heif/pug.heic" "$photos/motion.mp4" "$photos/pug-motion.heic"
fi
add_photo "$photos/pug-motion.heic" "pug-motion.heic (the same, a motion photo: 3 s 1080p MP4)"
add_photo "$samples/metadata-extractor-images/IMG_1034.heic" "IMG_1034.heic (iPhone 8 grid 4032x3024)"
add_photo "$samples/metadata-extractor-images/Issue 487.heic" "Issue 487.heic (Samsung S10+ grid 4032x3024, rotated)"
add_photo "$photos/large-12mp.heic" "large-12mp.heic (ours: single image 4032x3024)"
add_photo "$samples/pillow-heif/cat.hif" "cat.hif (Sony 10-bit 4:2:2 grid 4240x2832)"

stamp="$(date +%Y%m%d-%H%M%S)"
results="$win/bench-results-$stamp.txt"
exec > >(tee "$results") 2>&1
ln -sfn "$(basename "$results")" "$win/bench-results.txt"

# measure CMD...: runs CMD with its output discarded; sets `measured` to "TM <wall s> <max RSS KiB>".
measure() {
  local t; t="$(mktemp)"
  /usr/bin/time -f 'TM %e %M' -o "$t" "$@" >/dev/null 2>&1 || true
  measured="$(grep '^TM' "$t" || true)"
  rm -f "$t"
}
median() { sort -g | awk '{v[NR] = $1} END {if (NR == 0) print "nan"; else if (NR % 2) printf "%.2f\n", v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b + 0 == 0) print "n/a"; else printf "%.2f", a / b}'; }

echo "Vellumora Convert benchmark, $(date -R)"
echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "commit: $(git -C "$repo" rev-parse --short HEAD)$(git -C "$repo" diff --quiet HEAD -- 2>/dev/null || echo ' (with uncommitted changes)')"
echo "Windows build: Release as shipped, libheif $heif_ver + libde265 $de265_ver, recipe $win_recipe ($VELLUMORA_DEPS_DIR)"
echo "native floor:  $(cat "$floor/.complete") ($floor)"
echo "peers: heif-convert $(heif-convert 2>&1 | grep -o 'libheif version: [0-9.]*' | head -n1), $(/usr/bin/convert -version | head -n1 | cut -d' ' -f2-3); $(wine --version)"
echo "repetitions: $reps per conversion (alternating), $decode_reps per decode; medians"
echo

# --- 1. Decoding -----------------------------------------------------------------------------------
if want decode; then
  echo "== Decode: libheif as the pipeline calls it (open + decode to 8-bit RGBA), median ms =="
  echo "   CPU s = user + system of the process per decode; under Wine plus the wine server's CPU"
  printf '%-58s %10s %10s %7s %9s %9s %9s\n' photograph native wine ratio "cpu nat" "cpu wine" "server"
  for i in "${!set_files[@]}"; do
    f="${set_files[$i]}"
    nat_out="$( { /usr/bin/time -f 'CPU %U %S' "$nat/bench/decode_probe" --repeat "$decode_reps" "$f"; } 2>&1 )"
    t0="$(server_ticks)"
    win_out="$( { /usr/bin/time -f 'CPU %U %S' wine "$win/bench/decode_probe.exe" --repeat "$decode_reps" "$(winpath "$f")"; } 2>&1 )"
    t1="$(server_ticks)"
    n_ms="$(grep -o 'RESULT open_ms=[0-9.]* decode_ms=[0-9.]*' <<<"$nat_out" | awk -F'[= ]' '{printf "%.1f", $3 + $5}')"
    w_ms="$(grep -o 'RESULT open_ms=[0-9.]* decode_ms=[0-9.]*' <<<"$win_out" | awk -F'[= ]' '{printf "%.1f", $3 + $5}')"
    n_cpu="$(awk -v r="$decode_reps" '/^CPU/ {printf "%.2f", ($2 + $3) / r}' <<<"$nat_out")"
    w_cpu="$(awk -v r="$decode_reps" '/^CPU/ {printf "%.2f", ($2 + $3) / r}' <<<"$win_out")"
    s_cpu="$(awk -v a="$t0" -v b="$t1" -v r="$decode_reps" -v hz="$ticks_per_s" 'BEGIN {printf "%.2f", (b - a) / hz / r}')"
    printf '%-58s %10s %10s %7s %9s %9s %9s\n' "${set_names[$i]}" "${n_ms:-fail}" "${w_ms:-fail}" \
      "$(ratio "${w_ms:-0}" "${n_ms:-0}")" "$n_cpu" "$w_cpu" "$s_cpu"
    if [ "$(grep -o 'checksum [0-9a-f]*' <<<"$nat_out" | head -n1)" != "$(grep -o 'checksum [0-9a-f]*' <<<"$win_out" | head -n1)" ]; then
      echo "   note: the two builds decoded different pixels"
    fi
  done
  echo
fi

# --- 2. Whole conversions against heif-convert and ImageMagick -----------------------------------
if want convert; then
  out="$win/bench-out"
  settings="$win/bench-settings.ini"
  echo "== Conversion: median wall s and peak memory MB (max RSS) per tool; ours under Wine =="
  echo "   ours: VellumoraConvert.exe --quick FMT --silent FILE (write, read back, Exif check, decode check, rename)"
  echo "   JPG quality 75 for all three: Wine's JPEG encoder always writes quality 75 (4:2:0), so the peers get 75 too;"
  echo "   PNG with each tool's default compression"
  echo "   peak memory: /usr/bin/time's maximum resident set of the process tree it waits for; for Wine that is the"
  echo "   program's own process (the loader runs the .exe in-process); the shared wine server (~10 MB) is not counted"
  printf '%-58s %4s %9s %9s %9s %7s %8s %8s %8s %7s\n' photograph fmt ours heif-conv magick "t ratio" "MB ours" "MB h-c" "MB magick" "m ratio"
  for fmt in JPG PNG; do
    rm -rf "$out"; mkdir -p "$out"
    printf '[General]\nauto=false\ndestination=1\nfolder=%s\nformat=%s\nquality=75\nrecursive=false\nrecycle=false\nsilent_quick=false\n' \
      "$(winpath "$out" | tr '\\' '/')" "$fmt" > "$settings"
    ext="$(tr 'A-Z' 'a-z' <<<"$fmt")"
    # ImageMagick reads -quality for PNG as zlib level and filter: give it only for JPG.
    im_quality=(); [ "$fmt" = JPG ] && im_quality=(-quality 75)
    for i in "${!set_files[@]}"; do
      f="${set_files[$i]}"
      ours_t=(); ours_m=(); hc_t=(); hc_m=(); im_t=(); im_m=(); failed=""
      for ((r = 0; r < reps; r++)); do
        VELLUMORA_SETTINGS_FILE="$(winpath "$settings")" measure \
          wine "$win/VellumoraConvert.exe" --quick "$fmt" --silent "$(winpath "$f")"; m="$measured"
        [ -n "$(ls "$out" 2>/dev/null)" ] || failed=" (ours failed)"
        rm -f "$out"/*
        ours_t+=("$(awk '{print $2}' <<<"$m")"); ours_m+=("$(awk '{print $3}' <<<"$m")")
        measure heif-convert -q 75 "$f" "$out/hc.$ext"; m="$measured"
        rm -f "$out"/*
        hc_t+=("$(awk '{print $2}' <<<"$m")"); hc_m+=("$(awk '{print $3}' <<<"$m")")
        measure /usr/bin/convert "$f" "${im_quality[@]}" "$out/im.$ext"; m="$measured"
        rm -f "$out"/*
        im_t+=("$(awk '{print $2}' <<<"$m")"); im_m+=("$(awk '{print $3}' <<<"$m")")
      done
      ot="$(printf '%s\n' "${ours_t[@]}" | median)"; om="$(printf '%s\n' "${ours_m[@]}" | median)"
      ht="$(printf '%s\n' "${hc_t[@]}" | median)"; hm="$(printf '%s\n' "${hc_m[@]}" | median)"
      it="$(printf '%s\n' "${im_t[@]}" | median)"; im="$(printf '%s\n' "${im_m[@]}" | median)"
      printf '%-58s %4s %9s %9s %9s %7s %8.0f %8.0f %8.0f %7s%s\n' "${set_names[$i]}" "$fmt" "$ot" "$ht" "$it" \
        "$(ratio "$ot" "$ht")" "$(awk -v k="$om" 'BEGIN {print k / 1024}')" "$(awk -v k="$hm" 'BEGIN {print k / 1024}')" \
        "$(awk -v k="$im" 'BEGIN {print k / 1024}')" "$(ratio "$om" "$hm")" "$failed"
    done
  done
  echo "   t ratio and m ratio: ours / heif-convert"
  echo
fi

# --- 3. Stages of one conversion -----------------------------------------------------------------
if want stages; then
  out="$win/bench-out"
  rm -rf "$out"; mkdir -p "$out"
  echo "== Stages of one conversion under Wine (median ms over $reps runs; stage timing build) =="
  for i in "${!set_files[@]}"; do
    f="${set_files[$i]}"
    case "$f" in *pug.heic|*pug-no-gain-map.heic|*aux_YCbCr*.heic|*pug-motion.heic|*large-12mp.heic) ;; *) continue ;; esac
    for fmt in JPG PNG; do
      res="$(wine "$win/bench/stage_bench.exe" --repeat "$reps" --format "$fmt" --quality 75 --out "$(winpath "$out")" "$(winpath "$f")" 2>&1 | grep '^RESULT' || true)"
      echo "${set_names[$i]} -> $fmt:"
      awk '{split($2, s, "="); split($3, m, "="); printf "   %-16s %9s\n", s[2], m[2]}' <<<"$res"
    done
    floor_ms="$("$nat/bench/decode_probe" --repeat "$decode_reps" "$f" | grep -o 'decode_ms=[0-9.]*' | cut -d= -f2)"
    echo "   native decode floor (same libheif): $floor_ms ms"
  done
  echo
fi

# --- 4. Folder scan ----------------------------------------------------------------------------------
if want scan; then
  tree="$win/scan-tree"
  if [ "$(cat "$tree.complete" 2>/dev/null)" != "10000" ]; then
    rm -rf "$tree" "$tree.complete"
    # 10 folders x 10 subfolders x 100 files = 10,000 files: 8 of every 10 are photographs
    # (.heic, .HEIC, .heif, .hif), the rest other files, all empty.
    for a in $(seq -w 0 9); do
      for b in $(seq -w 0 9); do
        d="$tree/album-$a/day-$b"; mkdir -p "$d"
        (cd "$d" && for n in $(seq -w 0 99); do
          case $((10#$n % 10)) in
            0|1|2|3|4) echo -n "IMG_$n.heic" ;; 5) echo -n "IMG_$n.HEIC" ;; 6) echo -n "IMG_$n.heif" ;;
            7) echo -n "IMG_$n.hif" ;; 8) echo -n "IMG_$n.jpg" ;; 9) echo -n "notes_$n.txt" ;;
          esac; echo; done | xargs touch)
      done
    done
    echo 10000 > "$tree.complete"
  fi
  echo "== Folder scan: CollectInputs over 10,000 files in 100 nested folders, recursive, under Wine =="
  wine "$win/bench/scan_bench.exe" --repeat "$reps" "$(winpath "$tree")" 2>&1 | grep -E '^(run|RESULT)' | sed 's/^/   /'
  echo
fi

# --- 5. Scale: a 200-megapixel photograph, and 100 silent runs at once ------------------------------
# Sum of the resident memory of every running VellumoraConvert.exe, in KiB.
programs_rss() {
  local total=0 p kib
  for p in $(pgrep -f 'VellumoraConvert\.exe' || true); do
    kib="$(awk '/^VmRSS/ {print $2}' "/proc/$p/status" 2>/dev/null || true)"  # none once it is ending
    total=$((total + ${kib:-0}))
  done
  echo "$total"
}
# Whether any of the processes still runs (an ended child stays a zombie until it is waited for).
any_alive() {
  local p state
  for p in "$@"; do
    state="$(ps -o stat= -p "$p" 2>/dev/null || true)"
    [ -n "$state" ] && [ "${state#Z}" = "$state" ] && return 0
  done
  return 1
}
if want big; then
  out="$win/bench-out"
  big="$samples/pillow-heif/200MP.heic"
  echo "== 200-megapixel photograph (12240x16320): one silent run each, wall s and peak memory MB =="
  if [ -s "$big" ]; then
    for fmt in JPG PNG; do
      rm -rf "$out"; mkdir -p "$out"
      printf '[General]\ndestination=1\nfolder=%s\nformat=%s\nquality=75\n' "$(winpath "$out" | tr '\\' '/')" "$fmt" > "$win/bench-settings.ini"
      VELLUMORA_SETTINGS_FILE="$(winpath "$win/bench-settings.ini")" measure \
        wine "$win/VellumoraConvert.exe" --quick "$fmt" --silent "$(winpath "$big")"; m="$measured"
      made="$(ls "$out" 2>/dev/null | head -n1)"
      printf '   %s: %s s, %.0f MB%s\n' "$fmt" "$(awk '{print $2}' <<<"$m")" "$(awk '{print $3 / 1024}' <<<"$m")" \
        "$([ -n "$made" ] || echo ' (failed)')"
      ext="$(tr 'A-Z' 'a-z' <<<"$fmt")"
      rm -f "$out"/*
      measure heif-convert -q 75 "$big" "$out/hc.$ext"; m="$measured"
      printf '   %s heif-convert: %s s, %.0f MB\n' "$fmt" "$(awk '{print $2}' <<<"$m")" "$(awk '{print $3 / 1024}' <<<"$m")"
    done
  else
    echo "   skipped: $big is absent"
  fi
  echo
fi
if want starts; then
  out="$win/bench-out"
  twelve="$samples/pillow-heif/pug.heic"; [ -s "$twelve" ] || twelve="$photos/large-12mp.heic"
  runs=100
  echo "== $runs silent runs started at once, one $(basename "$twelve") each, JPG: wall s and peak memory =="
  echo "   peak memory: the largest sum of the resident memory of all running VellumoraConvert.exe, sampled every 0.1 s"
  for mode in turns "all at once"; do
    rm -rf "$out"; mkdir -p "$out"
    for ((n = 0; n < runs; n++)); do
      mkdir -p "$out/$n"; cp "$twelve" "$out/$n/p.heic"
      printf '[General]\nformat=JPG\nquality=75\n' > "$out/settings-$n.ini"
    done
    pids=()
    start="$(date +%s.%N)"
    for ((n = 0; n < runs; n++)); do
      ini="$out/settings-0.ini"; [ "$mode" = turns ] || ini="$out/settings-$n.ini"
      VELLUMORA_SETTINGS_FILE="$(winpath "$ini")" wine "$win/VellumoraConvert.exe" --quick JPG --silent "$(winpath "$out/$n/p.heic")" \
        >/dev/null 2>&1 &
      pids+=("$!")
    done
    peak=0
    while any_alive "${pids[@]}"; do
      now="$(programs_rss)"; [ "$now" -gt "$peak" ] && peak="$now"
      sleep 0.1
    done
    wait "${pids[@]}" 2>/dev/null || true  # not a bare wait: it would wait for the tee of the output too
    end="$(date +%s.%N)"
    made="$(ls "$out"/*/p.jpg 2>/dev/null | wc -l)"
    printf '   %-12s %6.1f s  %6.0f MB at the peak  %d of %d converted\n' "$mode" "$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')" \
      "$(awk -v k="$peak" 'BEGIN {print k / 1024}')" "$made" "$runs"
  done
  rm -rf "$out"
  echo
fi

# --- 6. One silent batch of many photographs: several at once, one at a time, heif-convert -------
if want batch; then
  out="$win/bench-out"
  src="$win/batch-photos"
  iphones=()
  for f in "$samples/metadata-extractor-images/IMG_1034.heic" "$samples/metadata-extractor-images/IMG_2927.HEIC" \
           "$samples/pillow-heif/pug.heic"; do [ -s "$f" ] && iphones+=("$f"); done
  count=48
  echo "== A silent batch of $count iPhone photographs to JPG (quality 75), median of $reps: per photograph =="
  if [ ${#iphones[@]} -eq 0 ]; then
    echo "   skipped: no iPhone sample in $samples"
  else
    rm -rf "$src"; mkdir -p "$src"
    for ((n = 0; n < count; n++)); do
      f="${iphones[$((n % ${#iphones[@]}))]}"; cp "$f" "$src/$(printf '%02d' "$n")-$(basename "$f")"
    done
    echo "   photographs: $(for f in "${iphones[@]}"; do basename "$f"; done | paste -sd, -) in turn; load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "   CPU = user + system of the process (ours: plus the wine server's); cores = CPU / wall; MB = peak resident"
    printf '[General]\ndestination=1\nfolder=%s\nformat=JPG\nquality=75\n' "$(winpath "$out" | tr '\\' '/')" > "$win/bench-batch.ini"
    # run_batch WAY: one timed run; prints "<wall s> <cpu s> <max RSS KiB> <outputs>".
    run_batch() {
      local t s0 s1 line; t="$(mktemp)"; rm -rf "$out"; mkdir -p "$out"
      s0="$(server_ticks)"
      case "$1" in
        several) VELLUMORA_SETTINGS_FILE="$(winpath "$win/bench-batch.ini")" /usr/bin/time -f 'TM %e %U %S %M' -o "$t" \
                   wine "$win/VellumoraConvert.exe" --quick JPG --silent "$(winpath "$src")" >/dev/null 2>&1 || true ;;
        one) VELLUMORA_SETTINGS_FILE="$(winpath "$win/bench-batch.ini")" VELLUMORA_BATCH_WORKERS=1 /usr/bin/time -f 'TM %e %U %S %M' -o "$t" \
               wine "$win/VellumoraConvert.exe" --quick JPG --silent "$(winpath "$src")" >/dev/null 2>&1 || true ;;
        heif-convert) /usr/bin/time -f 'TM %e %U %S %M' -o "$t" bash -c \
                        'for f in "$1"/*; do heif-convert -q 75 "$f" "$2/$(basename "${f%.*}").jpg" >/dev/null || exit 1; done' _ "$src" "$out" \
                        >/dev/null 2>&1 || true ;;
      esac
      s1="$(server_ticks)"; [ "$1" = heif-convert ] && s1="$s0"
      line="$(grep '^TM' "$t" || echo 'TM nan 0 0 0')"; rm -f "$t"
      awk -v a="$s0" -v b="$s1" -v hz="$ticks_per_s" -v made="$(ls "$out" | grep -c '\.jpg$' || true)" \
        '{printf "%s %.2f %s %s\n", $2, $3 + $4 + (b - a) / hz, $5, made}' <<<"$line"
    }
    declare -A walls cpus mems made
    for ((r = 0; r < reps; r++)); do
      for way in several one heif-convert; do
        read -r w c m k <<<"$(run_batch "$way")"
        walls[$way]+="$w "; cpus[$way]+="$c "; mems[$way]+="$m "; made[$way]="$k"
        echo "   run $((r + 1)) $way: $w s, CPU $c s, $k of $count converted"
      done
    done
    hc_w="$(tr ' ' '\n' <<<"${walls[heif-convert]}" | grep . | median)"
    printf '   %-22s %9s %9s %9s %7s %7s %8s\n' way "total s" "s/photo" "CPU/photo" cores "MB" "vs h-c"
    for way in several one heif-convert; do
      w="$(tr ' ' '\n' <<<"${walls[$way]}" | grep . | median)"; c="$(tr ' ' '\n' <<<"${cpus[$way]}" | grep . | median)"
      m="$(tr ' ' '\n' <<<"${mems[$way]}" | grep . | median)"
      label="$way"; [ "$way" = several ] && label="ours, several at once"; [ "$way" = one ] && label="ours, one at a time"
      printf '   %-22s %9s %9.3f %9.3f %7.2f %7.0f %8s\n' "$label" "$w" "$(awk -v w="$w" -v n="$count" 'BEGIN {print w / n}')" \
        "$(awk -v c="$c" -v n="$count" 'BEGIN {print c / n}')" "$(awk -v c="$c" -v w="$w" 'BEGIN {print (w > 0) ? c / w : 0}')" \
        "$(awk -v k="$m" 'BEGIN {print k / 1024}')" "$(ratio "$w" "$hc_w")"
    done
    echo "   load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
    rm -rf "$src" "$out"
  fi
  echo
fi

echo "results written to $results"
