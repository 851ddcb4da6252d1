#!/usr/bin/python3
"""The file-writing steps of scripts/release.sh that need more than the shell.

    release_files.py fill TEMPLATE OUT KEY=VALUE...       @KEY@ -> VALUE
    release_files.py zip OUT.zip FOLDER EPOCH             every file under FOLDER, fixed order and times
    release_files.py relink-kit KIT BUILD_DIR             the link command of BUILD_DIR, with its inputs
    release_files.py msi-times MSI EPOCH                  creation and save times of the MSI's summary
    release_files.py winget DIR KEY=VALUE...              the three winget manifests
    release_files.py sbom OUT.json KEY=VALUE...           the SPDX 2.3 software bill of materials

Everything written depends only on the inputs and EPOCH (the commit's time), never on the clock
or the folder, so that two releases of one commit are identical.
"""

import datetime
import json
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import uuid
import zipfile


def fail(message):
    print(f"release: {message}", file=sys.stderr)
    sys.exit(1)


def pairs(arguments):
    values = {}
    for argument in arguments:
        key, _, value = argument.partition("=")
        values[key] = value
    return values


def fill(template, out, *assignments):
    text = open(template, encoding="utf-8").read()
    for key, value in pairs(assignments).items():
        text = text.replace(f"@{key}@", value)
    left = re.search(r"@[A-Z0-9_]+@", text)
    if left:
        fail(f"{template}: {left.group(0)} was left unfilled")
    # Windows users read these files with Notepad: CRLF line ends.
    with open(out, "w", encoding="utf-8", newline="\r\n") as f:
        f.write(text)


def write_zip(out, folder, epoch):
    # Zip time stamps are local times without a zone, from 1980 on; the commit's time in UTC.
    when = datetime.datetime.fromtimestamp(max(int(epoch), 315532800), datetime.timezone.utc)
    stamp = (when.year, when.month, when.day, when.hour, when.minute, when.second - when.second % 2)
    names = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            names.append(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    with zipfile.ZipFile(out, "w") as archive:
        for name in sorted(names):
            info = zipfile.ZipInfo(name, stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS: no Unix owner or permission bits
            info.external_attr = 0
            with open(os.path.join(folder, name), "rb") as f:
                archive.writestr(info, f.read(), compresslevel=9)


def relink_kit(kit, build):
    """Copies every input of the executable's link into KIT and writes relink.sh with the same
    command, the inputs named by their place in the kit."""
    commands = subprocess.run(["ninja", "-C", build, "-t", "commands", "VellumoraConvert"],
                              check=True, capture_output=True, text=True).stdout.strip().splitlines()
    line = commands[-1]
    if " && " in line:
        line = line.split(" && ", 1)[1]
    words = shlex.split(line)
    if "&&" in words:  # CMake closes the link with "&& :"
        words = words[:words.index("&&")]
    if not words or "-o" not in words:
        fail("the link command of VellumoraConvert.exe was not found")
    os.makedirs(os.path.join(kit, "lib"), exist_ok=True)
    out = ["\"$CXX\""]
    for word in words[1:]:
        path = word if os.path.isabs(word) else os.path.join(build, word)
        if word.startswith("-Wl,--out-implib,"):
            continue  # an import library of the program: nothing anyone needs
        if not word.startswith("-") and os.path.isfile(path) and not word.endswith(".exe"):
            name = os.path.basename(word)
            if os.path.exists(os.path.join(kit, "lib", name)):
                fail(f"two link inputs are called {name}")
            shutil.copyfile(path, os.path.join(kit, "lib", name))
            out.append(shlex.quote("lib/" + name))
        else:
            out.append(shlex.quote(word))
    script = (
        "#!/bin/sh\n"
        "# Relinks VellumoraConvert.exe from this kit with the command that linked the released\n"
        "# executable. Replace lib/libheif.a or lib/libde265.a with your own builds first; with\n"
        "# the kit's own files the result is identical to the released executable (before its\n"
        "# signature, when the release is signed).\n"
        "# CXX: the MinGW-w64 C++ compiler (default x86_64-w64-mingw32-g++-posix; in MSYS2: g++).\n"
        "set -e\n"
        "cd \"$(dirname \"$0\")\"\n"
        "CXX=\"${CXX:-x86_64-w64-mingw32-g++-posix}\"\n"
        + " ".join(out) + "\n"
        "echo \"relinked: $(pwd)/VellumoraConvert.exe\"\n")
    with open(os.path.join(kit, "relink.sh"), "w", newline="\n") as f:
        f.write(script)
    os.chmod(os.path.join(kit, "relink.sh"), 0o755)


def filetime(epoch):
    return (int(epoch) + 11644473600) * 10_000_000


def msi_times(msi, epoch):
    """wixl stamps the summary information with the time of the build (two FILETIME values:
    created and last saved). Each is stored as VT_FILETIME (0x40) followed by 8 bytes; both are
    replaced by the commit's time. Exactly two such values near the present must be found."""
    data = bytearray(open(msi, "rb").read())
    now = filetime(int(datetime.datetime.now(datetime.timezone.utc).timestamp()))
    window = 2 * 24 * 3600 * 10_000_000
    found = []
    start = 0
    while True:
        at = data.find(b"\x40\x00\x00\x00", start)
        if at < 0 or at + 12 > len(data):
            break
        value = struct.unpack_from("<Q", data, at + 4)[0]
        if abs(value - now) < window:
            found.append(at + 4)
        start = at + 1
    if len(found) != 2:
        fail(f"{msi}: expected two build times in the summary information, found {len(found)}")
    for at in found:
        struct.pack_into("<Q", data, at, filetime(epoch))
    open(msi, "wb").write(bytes(data))


WINGET_SCHEMA = "1.12.0"


def winget(folder, *assignments):
    v = pairs(assignments)
    ident = "Vellumora.Convert"
    os.makedirs(folder, exist_ok=True)
    header = "# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}.%s.schema.json\n\n" % WINGET_SCHEMA
    files = {
        f"{ident}.yaml": header.format(kind="version") + "\n".join([
            f"PackageIdentifier: {ident}",
            f"PackageVersion: {v['VERSION']}",
            "DefaultLocale: zh-TW",
            "ManifestType: version",
            f"ManifestVersion: {WINGET_SCHEMA}"]),
        f"{ident}.installer.yaml": header.format(kind="installer") + "\n".join([
            f"PackageIdentifier: {ident}",
            f"PackageVersion: {v['VERSION']}",
            "MinimumOSVersion: 10.0.17763.0",
            "InstallerType: wix",
            "Scope: user",
            "InstallModes:",
            "- interactive",
            "- silent",
            "- silentWithProgress",
            "UpgradeBehavior: install",
            f"ProductCode: '{{{v['PRODUCT_CODE']}}}'",
            f"ReleaseDate: {v['DATE']}",
            "AppsAndFeaturesEntries:",
            "- DisplayName: Vellumora Convert",
            "  Publisher: Vellumora",
            f"  DisplayVersion: {v['VERSION']}",
            f"  ProductCode: '{{{v['PRODUCT_CODE']}}}'",
            f"  UpgradeCode: '{{{v['UPGRADE_CODE']}}}'",
            "Installers:",
            "- Architecture: x64",
            f"  InstallerUrl: {v['URL']}",
            f"  InstallerSha256: {v['SHA256'].upper()}",
            "ManifestType: installer",
            f"ManifestVersion: {WINGET_SCHEMA}"]),
        f"{ident}.locale.zh-TW.yaml": header.format(kind="defaultLocale") + "\n".join([
            f"PackageIdentifier: {ident}",
            f"PackageVersion: {v['VERSION']}",
            "PackageLocale: zh-TW",
            "Publisher: Vellumora",
            "PublisherUrl: https://vellumora.example/",
            "PublisherSupportUrl: https://vellumora.example/",
            "Author: Vellumora Convert 團隊",
            "PackageName: Vellumora Convert",
            "PackageUrl: https://vellumora.example/",
            "License: MIT",
            "LicenseUrl: https://vellumora.example/LICENSE",
            "Copyright: Copyright (c) 2026 Vellumora",
            "ShortDescription: 將 HEIF 相片（.heic、.heif、.hif）轉換為 JPG 或 PNG，保留 Exif、XMP 與色彩描述檔。",
            "Description: |-",
            "  Vellumora Convert 將 HEIF 相片轉換為 JPG 或 PNG，不遺失任何資料：Exif、XMP 與 ICC 色彩描述檔",
            "  一併保留，寫出的檔案會讀回並重新解碼驗證，不覆寫既有檔案；也可在檔案總管的右鍵選單中快速轉換。",
            "Moniker: vellumora",
            "Tags:",
            "- heic",
            "- heif",
            "- jpg",
            "- png",
            "- photo",
            "- converter",
            "ManifestType: defaultLocale",
            f"ManifestVersion: {WINGET_SCHEMA}"]),
    }
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8", newline="\n") as f:
            f.write(text + "\n")


def sbom(out, *assignments):
    v = pairs(assignments)
    created = datetime.datetime.fromtimestamp(int(v["EPOCH"]), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    namespace_id = uuid.uuid5(uuid.NAMESPACE_URL, f"vellumora-convert/{v['VERSION']}/{v['COMMIT']}")

    def package(spdx_id, name, version, licence, download, supplier, checksums=(), comment=None, files=False):
        p = {
            "SPDXID": spdx_id,
            "name": name,
            "versionInfo": version,
            "supplier": supplier,
            "downloadLocation": download,
            "filesAnalyzed": files,
            "licenseConcluded": licence,
            "licenseDeclared": licence,
            "copyrightText": "NOASSERTION",
        }
        if checksums:
            p["checksums"] = [{"algorithm": "SHA256", "checksumValue": c} for c in checksums]
        if comment:
            p["comment"] = comment
        return p

    def decoder_package(name, key):
        """An upstream release as set-up checked it: repository, tag, what the archive is, its SHA-256."""
        commit = v[f"{key}_COMMIT"]
        p = package(f"SPDXRef-Package-{name}", name, v[f"{key}_VERSION"], "LGPL-3.0-or-later",
                    f"git+{v[f'{key}_REPOSITORY']}.git@{commit}" if commit not in ("", "-") else v[f"{key}_DOWNLOAD"],
                    "Organization: Struktur AG",
                    comment=f"Upstream release {v[f'{key}_TAG']} ({v[f'{key}_SOURCE']}); source "
                            f"archive checked by the SHA-256 of its tar stream, {v[f'{key}_TAR_SHA256']}. "
                            f"Patches: {v[f'{key}_PATCHES']}.")
        p["sourceInfo"] = f"{v[f'{key}_SOURCE']} of {v[f'{key}_REPOSITORY']}"
        p["externalRefs"] = [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                              "referenceLocator": "pkg:github/" + "/".join(v[f"{key}_REPOSITORY"].rstrip("/").split("/")[-2:]) + "@" + v[f"{key}_TAG"]}]
        return p

    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"VellumoraConvert-{v['VERSION']}-win-x64",
        "documentNamespace": f"https://vellumora.example/spdx/VellumoraConvert-{v['VERSION']}-{namespace_id}",
        "creationInfo": {"created": created, "creators": ["Organization: Vellumora", "Tool: scripts/release.sh"]},
        "documentDescribes": ["SPDXRef-Package-VellumoraConvert"],
        "packages": [
            dict(package("SPDXRef-Package-VellumoraConvert", "VellumoraConvert", v["VERSION"], "MIT",
                         "NOASSERTION", "Organization: Vellumora",
                         comment=f"VellumoraConvert.exe built from commit {v['COMMIT']}; "
                                 f"SHA-256 of the executable {v['EXE_SHA256']}."),
                 primaryPackagePurpose="APPLICATION"),
            decoder_package("libheif", "LIBHEIF"),
            decoder_package("libde265", "LIBDE265"),
            package("SPDXRef-Package-mingw-w64-runtime", "mingw-w64-runtime", v["MINGW_VERSION"],
                    "ZPL-2.1 AND MIT", "NOASSERTION", "Organization: mingw-w64 project",
                    comment=f"C runtime start-up code, import libraries and winpthreads; Debian package "
                            f"mingw-w64 {v['MINGW_DEBIAN_VERSION']}."),
            package("SPDXRef-Package-gcc-runtime", "libstdc++ and libgcc", v["GCC_VERSION"],
                    "GPL-3.0-or-later WITH GCC-exception-3.1", "NOASSERTION",
                    "Organization: Free Software Foundation",
                    comment=f"Debian package gcc-mingw-w64 {v['GCC_DEBIAN_VERSION']}."),
        ],
        "relationships": [
            {"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
             "relatedSpdxElement": "SPDXRef-Package-VellumoraConvert"},
        ] + [
            {"spdxElementId": "SPDXRef-Package-VellumoraConvert", "relationshipType": "STATIC_LINK",
             "relatedSpdxElement": other}
            for other in ("SPDXRef-Package-libheif", "SPDXRef-Package-libde265",
                          "SPDXRef-Package-mingw-w64-runtime", "SPDXRef-Package-gcc-runtime")
        ] + [
            {"spdxElementId": "SPDXRef-Package-libheif", "relationshipType": "STATIC_LINK",
             "relatedSpdxElement": "SPDXRef-Package-libde265"},
        ],
    }
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        json.dump(document, f, ensure_ascii=False, indent=2)
        f.write("\n")


def main():
    if len(sys.argv) < 2:
        fail(__doc__)
    command, arguments = sys.argv[1], sys.argv[2:]
    {"fill": fill, "zip": write_zip, "relink-kit": relink_kit, "msi-times": msi_times,
     "winget": winget, "sbom": sbom}[command](*arguments)


if __name__ == "__main__":
    main()
