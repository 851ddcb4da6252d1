# The one recipe for building libde265 and libheif (static, HEVC decoding only), sourced by
# scripts/setup.sh (MinGW build for the program) and scripts/bench.sh (native build of the
# same sources, patches and flags: the decoding floor the Windows build is measured against).

# Bump whenever the built libraries change (flags, patches, options), so that caches rebuild.
heif_deps_recipe=r4

# build_heif_deps TOOLCHAIN_FILE|native DE265_TARBALL HEIF_TARBALL PREFIX LOG_DIR
# Unpacks both tarballs into a temporary folder, applies scripts/patches/libde265-*.patch and
# scripts/patches/libheif-*.patch, builds and installs into PREFIX. Build logs go to LOG_DIR;
# on failure the tail of the failing log is printed and 1 returned.
build_heif_deps() {
  local toolchain="$1" de265_tar="$2" heif_tar="$3" prefix="$4" logs="$5"
  local patches work de265_src heif_src p
  patches="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/patches"
  work="$(mktemp -d)"
  mkdir -p "$logs"
  tar -C "$work" -xzf "$de265_tar"
  tar -C "$work" -xzf "$heif_tar"
  de265_src="$(find "$work" -maxdepth 1 -type d -name 'libde265-*' | head -n1)"
  heif_src="$(find "$work" -maxdepth 1 -type d -name 'libheif-*' | head -n1)"
  # A patch written for another version that no longer applies is left out with a loud warning
  # rather than stopping the set-up (newer versions may carry the fix already).
  apply_patches() {
    local src="$1" glob="$2"
    for p in "$patches"/$glob; do
      [ -f "$p" ] || continue
      if patch -d "$src" -p1 --forward --quiet --dry-run < "$p" >/dev/null 2>&1; then
        patch -d "$src" -p1 --forward --quiet < "$p" >/dev/null
      else
        printf '\n[setup] !!! %s does not apply to %s: building without it (see scripts/patches/README.md)\n\n' \
          "$(basename "$p")" "$(basename "$src")" >&2
      fi
    done
  }
  apply_patches "$de265_src" 'libde265-*.patch'
  apply_patches "$heif_src" 'libheif-*.patch'

  local common_flags=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix"
                      -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=OFF)
  if [ "$toolchain" != native ]; then
    common_flags+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  fi
  # libde265's SSE2/SSSE3/SSE4.1 code (inverse transforms, prediction) is enabled by its own
  # compiler checks, for MinGW as natively, and chosen at run time by CPUID.
  cmake -S "$de265_src" -B "$work/b-de265" "${common_flags[@]}" \
    -DENABLE_SDL=OFF -DENABLE_DECODER=OFF -DENABLE_ENCODER=OFF >"$logs/de265.log" 2>&1 \
    || { tail -n 40 "$logs/de265.log" >&2; rm -rf "$work"; return 1; }
  cmake --build "$work/b-de265" --target install >>"$logs/de265.log" 2>&1 \
    || { tail -n 40 "$logs/de265.log" >&2; rm -rf "$work"; return 1; }

  local heif_off=() o
  for o in X265 KVAZAAR UVG266 VVDEC VVENC OpenH264_DECODER DAV1D AOM_DECODER AOM_ENCODER SvtEnc RAV1E \
           JPEG_DECODER JPEG_ENCODER OpenJPEG_ENCODER OpenJPEG_DECODER FFMPEG_DECODER OPENJPH_ENCODER; do
    heif_off+=(-DWITH_$o=OFF -DWITH_${o}_PLUGIN=OFF)
  done
  cmake -S "$heif_src" -B "$work/b-heif" "${common_flags[@]}" "${heif_off[@]}" \
    -DWITH_LIBDE265=ON -DWITH_LIBDE265_PLUGIN=OFF \
    -DLIBDE265_INCLUDE_DIR="$prefix/include" -DLIBDE265_LIBRARY="$prefix/lib/libde265.a" \
    -DCMAKE_C_FLAGS="-DLIBDE265_STATIC_BUILD" -DCMAKE_CXX_FLAGS="-DLIBDE265_STATIC_BUILD" \
    -DENABLE_PLUGIN_LOADING=OFF -DWITH_EXAMPLES=OFF -DWITH_GDK_PIXBUF=OFF -DWITH_LIBSHARPYUV=OFF \
    -DWITH_UNCOMPRESSED_CODEC=OFF -DWITH_HEADER_COMPRESSION=OFF -DBUILD_TESTING=OFF -DWITH_FUZZERS=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_Doxygen=ON >"$logs/heif.log" 2>&1 \
    || { tail -n 40 "$logs/heif.log" >&2; rm -rf "$work"; return 1; }
  cmake --build "$work/b-heif" --target install >>"$logs/heif.log" 2>&1 \
    || { tail -n 40 "$logs/heif.log" >&2; rm -rf "$work"; return 1; }
  rm -rf "$work"
}
