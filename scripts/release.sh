#!/usr/bin/env bash
# Makes a release of the checked-out commit in dist/ (after the README's set-up):
#   VellumoraConvert-<version>-win-x64.zip          the program, licences, notices, README.txt
#   VellumoraConvert-<version>-win-x64.msi          per-user installer (wixl)
#   VellumoraConvert-<version>-relink-kit.zip       what the LGPL needs to relink with other libheif/libde265
#   VellumoraConvert-<version>-win-x64.spdx.json    software bill of materials (SPDX 2.3)
#   winget/                                         winget manifests (version, installer, default locale)
#   SHA256SUMS                                      of every file above
# The version is CMake's project version. Two runs on one commit give identical files, in any
# folder: times come from the commit (SOURCE_DATE_EPOCH), paths never reach the outputs.
#
# Usage: scripts/release.sh [--allow-dirty] [--tag vX.Y.Z]
#   --allow-dirty  release a work tree with uncommitted changes (for trying things out only)
#   --tag T        the release's tag: must name the checked-out commit and the CMake version
# Signing (optional): VELLUMORA_SIGN_CERT (PEM certificate, with its chain) and
# VELLUMORA_SIGN_KEY (PEM private key, VELLUMORA_SIGN_PASSWORD if it has one) sign the
# executable and the MSI with osslsigncode, without a time stamp (no network needed).
# VELLUMORA_DOWNLOAD_URL: where the MSI will be published (for the winget manifest).
#
# Refuses with one line, before anything is built, a dirty work tree, a missing wixl, or a tag
# that does not match. Everything is written into a temporary folder first; dist/ is replaced
# only when all of it is there.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cd "$repo"

say() { printf '[release] %s\n' "$*" >&2; }
die() { printf 'release: %s\n' "$*" >&2; exit 1; }

allow_dirty=0
tag=""
while [ $# -gt 0 ]; do
  case "$1" in
    --allow-dirty) allow_dirty=1 ;;
    --tag) [ $# -ge 2 ] || die "--tag needs a tag name"; tag="$2"; shift ;;
    --tag=*) tag="${1#--tag=}" ;;
    -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (usage: scripts/release.sh [--allow-dirty] [--tag vX.Y.Z])" ;;
  esac
  shift
done

# --- refusals, before anything is built --------------------------------------------------------
git rev-parse --verify -q HEAD >/dev/null 2>&1 || die "$repo is not a git work tree with a commit: a release is made from a commit"
if [ $allow_dirty -eq 0 ] && [ -n "$(git status --porcelain)" ]; then
  die "the work tree has uncommitted changes; commit them first (or pass --allow-dirty to try things out)"
fi
wixl="${VELLUMORA_WIXL:-wixl}"
command -v "$wixl" >/dev/null 2>&1 || die "wixl is missing: install Debian's packages wixl and msitools (scripts/setup.sh does)"
command -v msibuild >/dev/null 2>&1 || die "msibuild is missing: install Debian's package msitools (scripts/setup.sh does)"
sign_cert="${VELLUMORA_SIGN_CERT:-}" sign_key="${VELLUMORA_SIGN_KEY:-}"
if [ -n "$sign_cert$sign_key" ]; then
  [ -n "$sign_cert" ] && [ -n "$sign_key" ] || die "signing needs both VELLUMORA_SIGN_CERT and VELLUMORA_SIGN_KEY"
  [ -r "$sign_cert" ] && [ -r "$sign_key" ] || die "the signing certificate or key cannot be read"
  command -v osslsigncode >/dev/null 2>&1 || die "osslsigncode is missing: install Debian's package osslsigncode"
fi
if [ -n "$tag" ]; then
  tag_commit="$(git rev-parse -q --verify "refs/tags/$tag^{commit}")" || die "there is no tag $tag in this repository"
  [ "$tag_commit" = "$(git rev-parse HEAD)" ] || die "tag $tag is not the checked-out commit"
fi

commit="$(git rev-parse HEAD)"
SOURCE_DATE_EPOCH="$(git log -1 --format=%ct HEAD)"
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8

# --- the executable ----------------------------------------------------------------------------
# The set-up speaks only when something is wrong (its warnings start with "!!!").
setup_log="$(mktemp)"
if ! bash "$here/setup.sh" 2>"$setup_log"; then cat "$setup_log" >&2; rm -f "$setup_log"; die "scripts/setup.sh failed"; fi
grep -F '!!!' "$setup_log" >&2 || true
rm -f "$setup_log"
# shellcheck disable=SC1091
source "$repo/.deps.env"
versions="$VELLUMORA_DEPS_DIR/VERSIONS"
dep() { awk -v k="$1" '$1 == k {sub(/^[^ ]+ /, ""); print}' "$versions"; }
[ "$(dep origin)" = upstream ] || die "the decoder libraries in $VELLUMORA_DEPS_DIR are Debian's older fallback, not the pinned upstream releases: a release needs scripts/setup.sh with the upstream sources (VELLUMORA_DEPS_SOURCES or a download)"
build="$repo/build/release"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DVELLUMORA_DEPS_DIR="$VELLUMORA_DEPS_DIR" -DVELLUMORA_TESTS=OFF >/dev/null
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
[ -n "$version" ] || die "CMake gave no project version"
if [ -n "$tag" ] && [ "${tag#v}" != "$version" ]; then
  die "tag $tag does not match the version $version of CMakeLists.txt"
fi
say "Vellumora Convert $version from commit $commit"
cmake --build "$build" --target VellumoraConvert -j "${VELLUMORA_JOBS:-$(nproc)}"

# --- staging -----------------------------------------------------------------------------------
stage="$(mktemp -d "$repo/build/release-stage.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
out="$stage/dist" files="$stage/files"
mkdir -p "$out" "$files/licenses"
name="VellumoraConvert-$version-win-x64"

sign() {  # sign IN OUT
  osslsigncode sign -certs "$sign_cert" -key "$sign_key" ${VELLUMORA_SIGN_PASSWORD:+-pass "$VELLUMORA_SIGN_PASSWORD"} \
    -h sha256 -n "Vellumora Convert" -i "https://vellumora.example/" -time "$SOURCE_DATE_EPOCH" \
    -in "$1" -out "$2" >/dev/null || die "signing $(basename "$1") failed"
}
if [ -n "$sign_cert" ]; then
  sign "$build/VellumoraConvert.exe" "$files/VellumoraConvert.exe"
else
  cp "$build/VellumoraConvert.exe" "$files/"
fi

# What the notices say about the libraries inside: the upstream releases set-up built and checked.
. "$here/heif-deps.sh"
heif_tar="$(dep libheif_archive)" de265_tar="$(dep libde265_archive)"
[ -f "$heif_tar" ] && [ -f "$de265_tar" ] || die "the source archives named in $versions are gone: run scripts/setup.sh again"
deb_version() { dpkg-query -W -f='${Version}' "$1"; }
facts=(
  VERSION="$version" COMMIT="$commit" EPOCH="$SOURCE_DATE_EPOCH"
  LIBHEIF_VERSION="$(dep libheif)" LIBHEIF_TAG="$(dep libheif_tag)" LIBHEIF_COMMIT="$(dep libheif_commit)"
  LIBHEIF_REPOSITORY="$(dep libheif_repository)" LIBHEIF_TAR_SHA256="$(dep libheif_tar_sha256)"
  LIBHEIF_SOURCE="$(dep libheif_source)" LIBHEIF_DOWNLOAD="$(dep libheif_download)"
  LIBHEIF_PATCHES="$(patch_summaries libheif "$(dep libheif)")"
  LIBDE265_VERSION="$(dep libde265)" LIBDE265_TAG="$(dep libde265_tag)" LIBDE265_COMMIT="$(dep libde265_commit)"
  LIBDE265_REPOSITORY="$(dep libde265_repository)" LIBDE265_TAR_SHA256="$(dep libde265_tar_sha256)"
  LIBDE265_SOURCE="$(dep libde265_source)" LIBDE265_DOWNLOAD="$(dep libde265_download)"
  LIBDE265_PATCHES="$(patch_summaries libde265 "$(dep libde265)")"
  MINGW_DEBIAN_VERSION="$(deb_version mingw-w64-x86-64-dev)"
  MINGW_VERSION="$(deb_version mingw-w64-x86-64-dev | sed 's/-.*//')"
  GCC_DEBIAN_VERSION="$(deb_version g++-mingw-w64-x86-64-posix)"
  GCC_VERSION="$(deb_version g++-mingw-w64-x86-64-posix | sed 's/-.*//')"
)
crlf() { sed 's/\r$//; s/$/\r/' "$1" > "$2"; }
crlf LICENSE "$files/LICENSE.txt"
for f in packaging/licenses/*.txt; do crlf "$f" "$files/licenses/$(basename "$f")"; done
python3 "$here/release_files.py" fill packaging/THIRD-PARTY-NOTICES.txt.in "$files/THIRD-PARTY-NOTICES.txt" "${facts[@]}"
python3 "$here/release_files.py" fill packaging/README.txt.in "$files/README.txt" "${facts[@]}"
# The installer's cabinet keeps file times: the commit's, like the zip's.
find "$files" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

# --- zip ---------------------------------------------------------------------------------------
python3 "$here/release_files.py" zip "$out/$name.zip" "$files" "$SOURCE_DATE_EPOCH"

# --- MSI ---------------------------------------------------------------------------------------
msi_dir="$stage/msi"
cp -a "$files" "$msi_dir"
cp packaging/VellumoraConvert.wxs resources/app.ico "$msi_dir/"
touch -h -d "@$SOURCE_DATE_EPOCH" "$msi_dir/app.ico" "$msi_dir/VellumoraConvert.wxs"
upgrade_code="$(sed -n 's/.*UpgradeCode="\([0-9A-Fa-f-]*\)".*/\1/p' packaging/VellumoraConvert.wxs)"
uuid_of() { python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$upgrade_code" "$1"; }
product_code="$(uuid_of "product $version")"            # one per version: winget and upgrades know it
package_code="$(uuid_of "package $version $commit ${sign_cert:+signed}")"
"$wixl" -a x64 -D Version="$version" -D ProductCode="$product_code" -D PackageCode="$package_code" \
  -o "$stage/$name.msi" "$msi_dir/VellumoraConvert.wxs" || die "wixl failed"
# What wixl cannot write: the refusal's text, the shortcut's AppUserModelID (the one the program
# sets for itself, so that the pinned shortcut and the window group together), the package code
# and language in the summary, and times that are not the build's.
msibuild "$stage/$name.msi" -q "UPDATE \`LaunchCondition\` SET \`Description\` = 'A newer version of Vellumora Convert is already installed. To go back to this version, first uninstall the newer one in Settings > Apps.' WHERE \`Condition\` = 'NOT WIX_DOWNGRADE_DETECTED'" \
  || die "msibuild could not write the downgrade message"
aumid="$(sed -n 's/.*SetCurrentProcessExplicitAppUserModelID(L"\([^"]*\)").*/\1/p' entry/entry.cpp)"
[ -n "$aumid" ] || die "the program's AppUserModelID was not found in entry/entry.cpp"
printf 'MsiShortcutProperty\tShortcut_\tPropertyKey\tPropVariantValue\ns72\ts72\ts0\ts0\nMsiShortcutProperty\tMsiShortcutProperty\nAppUserModelID\tAppShortcut\tSystem.AppUserModel.ID\t%s\n' \
  "$aumid" > "$stage/MsiShortcutProperty.idt"
(cd "$stage" && msibuild "$name.msi" -i MsiShortcutProperty.idt) || die "msibuild could not add the shortcut's AppUserModelID"
msibuild "$stage/$name.msi" -s "Vellumora Convert $version" "Vellumora" "x64;1028" "{$package_code}" \
  || die "msibuild could not write the summary"
python3 "$here/release_files.py" msi-times "$stage/$name.msi" "$SOURCE_DATE_EPOCH"
if [ -n "$sign_cert" ]; then
  sign "$stage/$name.msi" "$out/$name.msi"
else
  mv "$stage/$name.msi" "$out/"
fi

# --- relink kit --------------------------------------------------------------------------------
kit="$stage/kit"
mkdir -p "$kit"
python3 "$here/release_files.py" relink-kit "$kit" "$build"
cp -a "$files/LICENSE.txt" "$files/THIRD-PARTY-NOTICES.txt" "$files/licenses" "$kit/"
find "$kit" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
python3 "$here/release_files.py" zip "$out/VellumoraConvert-$version-relink-kit.zip" "$kit" "$SOURCE_DATE_EPOCH"

# --- winget, SBOM, checksums -------------------------------------------------------------------
url_base="${VELLUMORA_DOWNLOAD_URL:-https://vellumora.example/download/$version}"
python3 "$here/release_files.py" winget "$out/winget" VERSION="$version" PRODUCT_CODE="$product_code" \
  UPGRADE_CODE="$upgrade_code" URL="$url_base/$name.msi" SHA256="$(sha256sum "$out/$name.msi" | cut -d' ' -f1)" \
  DATE="$(date -u -d "@$SOURCE_DATE_EPOCH" +%F)"
python3 "$here/release_files.py" sbom "$out/$name.spdx.json" "${facts[@]}" \
  EXE_SHA256="$(sha256sum "$files/VellumoraConvert.exe" | cut -d' ' -f1)"
(cd "$out" && find . -type f | sed 's|^\./||' | sort | xargs sha256sum > "$stage/SHA256SUMS" && mv "$stage/SHA256SUMS" .)

# --- dist/ at once -----------------------------------------------------------------------------
if [ -e dist ]; then mv dist "$stage/previous-dist"; fi
mv "$out" dist
say "dist/ ($( [ -n "$sign_cert" ] && echo signed || echo unsigned )):"
(cd dist && find . -type f | sed 's|^\./||' | sort | while read -r f; do printf '  %9s  %s\n' "$(stat -c %s "$f")" "$f"; done) >&2
