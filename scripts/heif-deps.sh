# The decoder libraries: their pinned upstream releases, how their sources are found and checked,
# and the one recipe for building them (static, HEVC decoding only). Sourced by scripts/setup.sh
# (MinGW build for the program), scripts/bench.sh (native build of the same sources, patches and
# flags: the decoding floor) and scripts/release.sh (what the notices and the SBOM say).

# --- Pinned releases: the only place that names them ------------------------------------------
# `*_tar_sha256` is of the tar stream inside the .tar.gz (`gzip -dc FILE | sha256sum`): for a
# `git archive` it depends only on the commit and the folder prefix, while the gzip bytes around
# it can differ between tools. `*_file_sha256`, where set, is of the .tar.gz itself: a published
# release tarball is one fixed file. `*_source` says in words what the archive is (notices, SBOM).
heif_version=1.23.1
heif_tag=v1.23.1
heif_commit=2c4bbb54c2738d4a5efbbe3e5fa1d5d76bb88eb0
heif_tar_sha256=3ed2956b7b15820f88c0477743e1da521c6e61c2d0a6ee947b8d1cab1e06abf6
heif_file_sha256=
heif_repository=https://github.com/strukturag/libheif
heif_download=$heif_repository/archive/refs/tags/$heif_tag.tar.gz
heif_source="git archive of tag $heif_tag, commit $heif_commit"
# libde265 1.1.3 is its release tarball, byte-identical to Debian's libde265_1.1.3.orig.tar.gz
# (source package 1.1.3-1, whose size and SHA-256 stand in Debian's signed Sources index); the
# tarball names no commit.
de265_version=1.1.3
de265_tag=v1.1.3
de265_commit=
de265_tar_sha256=081709ea6e83496e421a21c2616a511e222e3a1586ffb41affaf3f48d8af1419
de265_file_sha256=554228bd17788c99a7e63b37ab5634722190e6e2bf60c1dcb01cef328e133905
de265_repository=https://github.com/strukturag/libde265
de265_download=$de265_repository/releases/download/$de265_tag/libde265-$de265_version.tar.gz
de265_source="release tarball of tag $de265_tag (= Debian's libde265_1.1.3.orig.tar.gz), SHA-256 $de265_file_sha256"

# Bump whenever the built libraries change (flags, patches, options), so that caches rebuild.
heif_deps_recipe=r9

# The sanitizers of the decoder fuzz target's build of the same sources (scripts/fuzz.sh).
heif_deps_sanitizer_flags="-fno-omit-frame-pointer -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined"

heif_deps_repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

heif_deps_say() { printf '[setup] %s\n' "$*" >&2; }

# tar_stream_sha256 FILE: the SHA-256 of the tar stream inside a .tar.gz; fails on a damaged gzip.
tar_stream_sha256() {
  local sum
  sum="$(set -o pipefail; gzip -dc "$1" 2>/dev/null | sha256sum | cut -d' ' -f1)" || return 1
  echo "$sum"
}

# check_archive FILE TAR_SHA256 [FILE_SHA256]: one line on stderr and 1 when FILE is damaged or
# differs from the pinned release (its tar stream, and the file itself when that sum is given).
check_archive() {
  local file="$1" expected="$2" expected_file="${3:-}" sum
  if ! sum="$(tar_stream_sha256 "$file")"; then
    heif_deps_say "refusing $file: it is damaged or cut short (gzip cannot read it to the end)"
    return 1
  fi
  if [ "$sum" != "$expected" ]; then
    heif_deps_say "refusing $file: its tar stream has SHA-256 $sum, the pinned release has $expected"
    return 1
  fi
  if [ -n "$expected_file" ] && sum="$(sha256sum < "$file" | cut -d' ' -f1)" && [ "$sum" != "$expected_file" ]; then
    heif_deps_say "refusing $file: the file has SHA-256 $sum, the pinned release tarball has $expected_file"
    return 1
  fi
}

# upstream_source NAME VERSION TAR_SHA256 FILE_SHA256 URL DOWNLOADS
# Prints the path of the checked release archive NAME-VERSION.tar.gz. It comes from the sources
# folder (VELLUMORA_DEPS_SOURCES, by default ../shared/deps beside the repository when that
# exists; a checked copy is kept in DOWNLOADS), else from DOWNLOADS when an earlier copy or
# download is there, else from URL (the upstream tag archive or release tarball). FILE_SHA256 may
# be empty (a tag archive's gzip bytes vary). Returns 1 with one line on stderr when an archive
# is found but is wrong (damaged, tampered, another version): never built. Returns 2 when none
# can be had at all.
upstream_source() {
  local name="$1" version="$2" sum="$3" file_sum="$4" url="$5" downloads="$6"
  local want="$name-$version.tar.gz" dir="${VELLUMORA_DEPS_SOURCES:-}"
  if [ -z "$dir" ] && [ -d "${heif_deps_repo:?}/../shared/deps" ]; then
    dir="$(cd "$heif_deps_repo/../shared/deps" && pwd)"
  fi
  if [ -n "$dir" ]; then
    if [ ! -d "$dir" ]; then
      heif_deps_say "VELLUMORA_DEPS_SOURCES names $dir, which is not a folder"
      return 1
    fi
    if [ ! -f "$dir/$want" ]; then
      local other
      other="$(cd "$dir" && ls -1 "$name"-[0-9]*.tar.gz 2>/dev/null | head -n1)"
      if [ -n "$other" ]; then
        heif_deps_say "$dir holds $other, not the pinned $want (scripts/heif-deps.sh pins $name $version)"
      else
        heif_deps_say "$dir has no $want"
      fi
      return 1
    fi
    check_archive "$dir/$want" "$sum" "$file_sum" || return 1
    # A checked copy in the cache serves clones elsewhere that have no sources folder beside them.
    if [ ! -f "$downloads/$want" ]; then
      mkdir -p "$downloads" && cp "$dir/$want" "$downloads/.$want.part" && mv "$downloads/.$want.part" "$downloads/$want"
    fi
    echo "$dir/$want"
    return 0
  fi
  mkdir -p "$downloads"
  if [ -f "$downloads/$want" ] && check_archive "$downloads/$want" "$sum" "$file_sum" 2>/dev/null; then
    echo "$downloads/$want"
    return 0
  fi
  rm -f "$downloads/$want"
  command -v curl >/dev/null || return 2
  local part="$downloads/.$want.part"
  heif_deps_say "downloading $name $version from $url"
  if ! curl -fsSL --max-time 300 -o "$part" "$url" 2>/dev/null; then
    rm -f "$part"
    return 2
  fi
  check_archive "$part" "$sum" "$file_sum" || { rm -f "$part"; return 1; }
  mv "$part" "$downloads/$want"
  echo "$downloads/$want"
}

# patch_summaries NAME VERSION: "file (summary); ..." for the patches applied to that release.
patch_summaries() {
  local p out=""
  for p in "$heif_deps_repo/scripts/patches/$1-$2"/*.patch; do
    [ -f "$p" ] || continue
    out+="${out:+; }scripts/patches/$1-$2/$(basename "$p") ($(sed -n '1s/^Summary: //p' "$p"))"
  done
  echo "${out:-none}"
}

# build_heif_deps TOOLCHAIN_FILE|native|sanitized DE265_TARBALL DE265_VERSION HEIF_TARBALL HEIF_VERSION PREFIX LOG_DIR
# Unpacks both tarballs into a temporary folder, applies scripts/patches/libde265-VERSION/*.patch
# and scripts/patches/libheif-VERSION/*.patch (name order, patch -p1; a patch that does not apply
# stops the build: the versions are pinned), builds and installs into PREFIX.tmp and renames it to
# PREFIX only when all succeeded, so that no half-built folder is left. Build logs go to LOG_DIR;
# on failure the tail of the failing log is printed and 1 returned.
build_heif_deps() {
  local toolchain="$1" de265_tar="$2" de265_ver="$3" heif_tar="$4" heif_ver="$5" prefix="$6" logs="$7"
  local work de265_src heif_src p stage="$6.tmp"
  work="$(mktemp -d)"
  rm -rf "$stage"
  mkdir -p "$logs"
  fail() { [ -z "${1:-}" ] || tail -n 40 "$1" >&2; rm -rf "$work" "$stage"; return 1; }
  tar -C "$work" -xzf "$de265_tar" || { fail; return 1; }
  tar -C "$work" -xzf "$heif_tar" || { fail; return 1; }
  de265_src="$(find "$work" -maxdepth 1 -type d -name 'libde265-*' | head -n1)"
  heif_src="$(find "$work" -maxdepth 1 -type d -name 'libheif-*' | head -n1)"
  local name ver src
  for name in libde265 libheif; do
    if [ $name = libde265 ]; then ver="$de265_ver" src="$de265_src"; else ver="$heif_ver" src="$heif_src"; fi
    for p in "$heif_deps_repo/scripts/patches/$name-$ver"/*.patch; do
      [ -f "$p" ] || continue
      if ! patch -d "$src" -p1 --forward --quiet < "$p" >"$logs/patch.log" 2>&1; then
        heif_deps_say "scripts/patches/$name-$ver/$(basename "$p") does not apply to $name $ver"
        fail "$logs/patch.log"; return 1
      fi
    done
  done

  local common_flags=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage"
                      -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=OFF)
  local extra_flags=""
  if [ "$toolchain" = sanitized ]; then
    # The decoder fuzz target's build: clang, AddressSanitizer and UBSan, coverage for libFuzzer.
    common_flags+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    extra_flags="$heif_deps_sanitizer_flags"
  elif [ "$toolchain" != native ]; then
    common_flags+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
    # GCC for Windows cannot keep the stack 32-byte aligned, so an AVX2 or AVX-512 kernel that
    # spills a vector register with an aligned move can fault; the assembler makes those moves
    # unaligned ones (same speed on current processors).
    extra_flags="-Wa,-muse-unaligned-vector-move"
  fi
  # libde265's SSE4.1, AVX2 and AVX-512 code (inverse transforms, prediction, deblocking) is
  # enabled by its own compiler checks, for MinGW as natively, and chosen at run time by CPUID.
  cmake -S "$de265_src" -B "$work/b-de265" "${common_flags[@]}" \
    -DCMAKE_C_FLAGS="$extra_flags" -DCMAKE_CXX_FLAGS="$extra_flags" \
    -DENABLE_SDL=OFF -DENABLE_DECODER=OFF -DENABLE_ENCODER=OFF -DBUILD_TESTING=OFF >"$logs/de265.log" 2>&1 \
    || { fail "$logs/de265.log"; return 1; }
  cmake --build "$work/b-de265" --target install >>"$logs/de265.log" 2>&1 \
    || { fail "$logs/de265.log"; return 1; }

  local heif_off=() o
  for o in X265 X264 KVAZAAR UVG266 VVDEC VVENC OpenH264_DECODER OpenH264_ENCODER DAV1D AOM_DECODER AOM_ENCODER \
           SvtEnc RAV1E JPEG_DECODER JPEG_ENCODER OpenJPEG_ENCODER OpenJPEG_DECODER FFMPEG_DECODER \
           OPENJPH_ENCODER OPENJPH_DECODER; do
    heif_off+=(-DWITH_$o=OFF -DWITH_${o}_PLUGIN=OFF)
  done
  cmake -S "$heif_src" -B "$work/b-heif" "${common_flags[@]}" "${heif_off[@]}" \
    -DWITH_LIBDE265=ON -DWITH_LIBDE265_PLUGIN=OFF \
    -DLIBDE265_INCLUDE_DIR="$stage/include" -DLIBDE265_LIBRARY="$stage/lib/libde265.a" \
    -DCMAKE_C_FLAGS="-DLIBDE265_STATIC_BUILD $extra_flags" -DCMAKE_CXX_FLAGS="-DLIBDE265_STATIC_BUILD $extra_flags" \
    -DENABLE_PLUGIN_LOADING=OFF -DWITH_EXAMPLES=OFF -DWITH_GDK_PIXBUF=OFF -DWITH_LIBSHARPYUV=OFF \
    -DWITH_UNCOMPRESSED_CODEC=OFF -DWITH_HEADER_COMPRESSION=OFF -DWITH_WEBCODECS=OFF -DBUILD_TESTING=OFF \
    -DWITH_FUZZERS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Doxygen=ON >"$logs/heif.log" 2>&1 \
    || { fail "$logs/heif.log"; return 1; }
  cmake --build "$work/b-heif" --target install >>"$logs/heif.log" 2>&1 \
    || { fail "$logs/heif.log"; return 1; }
  rm -rf "$work" "$prefix"
  mv "$stage" "$prefix"
}
