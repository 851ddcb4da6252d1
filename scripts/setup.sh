#!/usr/bin/env bash
# Prepares a Debian 12 machine to build and test Vellumora Convert:
#   1. Debian packages (cross compilers, Wine, test tools);
#   2. libde265 and libheif for the MinGW target, built from their pinned upstream releases
#      (checked against the checksums in scripts/heif-deps.sh) into a cache outside the repository;
#   3. a ready Wine prefix, also cached.
# What only the tests add (the gain-map readers) is scripts/setup-tests.sh.
# Safe to run again: every step is skipped when its result is already there.
# Prints the cache paths it settled on as KEY=VALUE lines to scripts/../.deps.env
# (read by the build script).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cache="${VELLUMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vellumora}"
mkdir -p "$cache"

say() { printf '[setup] %s\n' "$*" >&2; }
loud() { printf '\n[setup] !!! %s\n\n' "$*" >&2; }

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

# --- 1. Debian packages ------------------------------------------------------
packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-tools cmake ninja-build wine wine64 xvfb xauth x11-utils fonts-noto-cjk
  dpkg-dev googletest libimage-exiftool-perl imagemagick pngcheck
  libheif-examples libheif-dev libjpeg62-turbo-dev clang libclang-rt-14-dev python3 python3-pil
  zlib1g-dev time hyperfine wixl msitools osslsigncode curl patch exfat-fuse exfatprogs fuse3 ffmpeg
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

src_list=/etc/apt/sources.list.d/vellumora-src.sources
need_update=0
if [ ! -f "$src_list" ]; then
  say "adding deb-src entries for bookworm, bookworm-backports and trixie"
  "${sudo_cmd[@]}" tee "$src_list" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-backports trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  need_update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  say "apt-get update"
  "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  say "installing: ${missing[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- 2. libde265 and libheif for the MinGW target ----------------------------
# The pinned upstream releases, their checks and the build recipe (flags, options,
# scripts/patches/) are in scripts/heif-deps.sh, shared with scripts/bench.sh, which builds the
# same sources natively as the decoding floor. Its recipe name names the cache.
. "$here/heif-deps.sh"
recipe="$heif_deps_recipe"
downloads="$cache/downloads"

# Lists the versions of a source package that apt knows, newest first.
source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V -r -u
}

# Fetches the orig tarball of PKG=VERSION into DIR through apt's own downloader,
# checking the SHA-256 that the Sources index lists. Fails when it is not served.
fetch_orig() {
  local pkg="$1" ver="$2" dir="$3" line url name sum
  line="$(apt-get source --print-uris -qq "$pkg=$ver" 2>/dev/null | grep "\.orig\.tar" | head -n1)" || return 1
  [ -n "$line" ] || return 1
  url="$(echo "$line" | awk '{print $1}' | tr -d "'")"
  name="$(echo "$line" | awk '{print $2}')"
  sum="$(echo "$line" | awk '{print $4}' | sed 's/^SHA256://')"
  mkdir -p "$dir"
  if [ ! -f "$dir/$name" ] || ! echo "$sum  $dir/$name" | sha256sum -c --status; then
    rm -f "$dir/$name"
    timeout 300 /usr/lib/apt/apt-helper download-file "$url" "$dir/$name" "SHA256:$sum" >/dev/null 2>&1 || { rm -f "$dir/$name"; return 1; }
  fi
  echo "$sum  $dir/$name" | sha256sum -c --status || return 1
  echo "$dir/$name"
}

# Picks the newest version of PKG whose orig tarball is served; prints "version tarball".
pick_served() {
  local pkg="$1" dir="$2" v upstream tarball
  for v in $(source_versions "$pkg"); do
    upstream="${v%%-*}"
    if tarball="$(fetch_orig "$pkg" "$v" "$dir")"; then
      echo "$upstream $tarball"
      return 0
    fi
    say "$pkg $v is listed but its files are not served; trying an older one"
  done
  return 1
}

# Set-ups of several clones share the cache: one builds a recipe while the others wait for it.
exec 9>"$cache/.deps.lock"
flock 9
origin=upstream
heif_rc=0 de265_rc=0
heif_tar="$(upstream_source libheif "$heif_version" "$heif_tar_sha256" "$heif_file_sha256" "$heif_download" "$downloads")" || heif_rc=$?
de265_tar="$(upstream_source libde265 "$de265_version" "$de265_tar_sha256" "$de265_file_sha256" "$de265_download" "$downloads")" || de265_rc=$?
# A wrong archive (damaged, tampered, another version) is never built, nor replaced by another.
if [ $heif_rc -eq 1 ] || [ $de265_rc -eq 1 ]; then exit 1; fi
if [ $heif_rc -ne 0 ] || [ $de265_rc -ne 0 ]; then
  # Neither the sources folder nor the upstream repositories: Debian's older sources, loudly.
  origin=debian
  read -r heif_version heif_tar < <(pick_served libheif "$downloads") || { loud "libheif $heif_version cannot be had (no sources folder, no download) and no Debian source package is served"; exit 1; }
  read -r de265_version de265_tar < <(pick_served libde265 "$downloads") || { loud "libde265 $de265_version cannot be had (no sources folder, no download) and no Debian source package is served"; exit 1; }
  loud "building on Debian's OLDER libheif $heif_version and libde265 $de265_version: the pinned upstream releases could not be had (no sources folder, no download). This decoder lacks their security fixes (grid tiles, overflow checks, uninitialised memory, libde265's allocation and NAL limits), refuses some iPhone 16 Pro photographs (\"No 'hvcC' box\") and is slower. scripts/release.sh refuses to release it."
fi

suffix=""; [ "$origin" = upstream ] || suffix="-$origin"
deps="$cache/deps-libheif-$heif_version-libde265-$de265_version-$recipe$suffix"
if [ -f "$deps/.complete" ]; then
  say "dependencies cached: $deps"
else
  say "building libde265 $de265_version and libheif $heif_version ($origin) for MinGW into $deps"
  rm -rf "$deps"
  build_heif_deps "$repo/cmake/mingw-w64-x86_64.cmake" "$de265_tar" "$de265_version" "$heif_tar" "$heif_version" \
    "$deps" "$cache/logs-$recipe" \
    || { loud "building libde265/libheif failed (logs in $cache/logs-$recipe)"; exit 1; }
  {
    printf 'libheif %s\nlibde265 %s\nrecipe %s\norigin %s\n' "$heif_version" "$de265_version" "$recipe" "$origin"
    if [ "$origin" = upstream ]; then
      printf 'libheif_commit %s\nlibheif_tag %s\nlibheif_repository %s\nlibheif_tar_sha256 %s\nlibheif_download %s\nlibheif_source %s\n' \
        "${heif_commit:--}" "$heif_tag" "$heif_repository" "$heif_tar_sha256" "$heif_download" "$heif_source"
      printf 'libde265_commit %s\nlibde265_tag %s\nlibde265_repository %s\nlibde265_tar_sha256 %s\nlibde265_download %s\nlibde265_source %s\n' \
        "${de265_commit:--}" "$de265_tag" "$de265_repository" "$de265_tar_sha256" "$de265_download" "$de265_source"
    fi
    printf 'libheif_archive %s\nlibde265_archive %s\n' "$heif_tar" "$de265_tar"
  } > "$deps/VERSIONS"
  touch "$deps/.complete"
  say "dependencies built"
fi

flock -u 9

# --- 3. Wine prefix ----------------------------------------------------------
wine_ver="$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n' '_' )"
prefix="$cache/wineprefix-$wine_ver-p1"
if [ -f "$prefix/.complete" ]; then
  say "wine prefix cached: $prefix"
else
  say "creating wine prefix $prefix"
  rm -rf "$prefix"
  export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot -i >/dev/null 2>&1 </dev/null
  reg="$(mktemp --suffix=.reg)"
  {
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine]\n"Version"="win10"\n\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\n'
    for f in "Microsoft JhengHei UI" "Microsoft JhengHei" "Segoe UI" "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2"; do
      printf '"%s"="Noto Sans CJK TC"\n' "$f"
    done
  } > "$reg"
  wine regedit /S "$(winepath -w "$reg")" >/dev/null 2>&1 </dev/null
  wineserver -w
  rm -f "$reg"
  touch "$prefix/.complete"
fi

cat > "$repo/.deps.env" <<EOF
VELLUMORA_DEPS_DIR=$deps
VELLUMORA_WINEPREFIX_TEMPLATE=$prefix
EOF
say "ready: deps $deps, wine prefix $prefix"
