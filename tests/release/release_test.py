#!/usr/bin/python3
"""End-to-end checks of a release: scripts/release.sh on two clones of the commit under test,
its artefacts judged by osslsigncode, msitools and the installed program under Wine.

    release_test.py STEP --repo REPO --work DIR --template WINEPREFIX --press PRESS_BUTTON_EXE

Steps (CTest runs "build" first, as the fixture of the others):
  build         clone the commit twice ("a" and "second-checkout", folders of different names),
                run the release in both, keep the second dist/, then give the second clone the
                next patch version in a commit of its own and release it signed with a throw-away
                certificate made here
  reproducible  SHA256SUMS hold in both dist/ folders, which are identical file for file; the
                executable has no link time and names no build folder
  relink        the relink kit's relink.sh gives the released executable, byte for byte
  signing       the higher version's executable and MSI verify against that certificate, without
                a time stamp; the first release is unsigned
  msi           in a fresh Wine prefix: install (files, shortcut, Apps & features entry), the
                installed program converts the bundled sample in a silent batch; upgrade to the
                higher version (one product, the new executable, settings untouched); the older
                MSI over it is refused; the installed program registers its Explorer verbs through
                its own button; uninstall (folder, shortcut, verbs and their classes, entry gone; settings kept)
  zip           the zip unpacked into a folder whose path has spaces and Chinese characters runs
                a silent batch
  refusals      a dirty tree, a missing wixl, a tag that is not the version or not the commit, and
                a failing wixl are refused with one line and leave dist/ as it was

Exit codes: 0 passed, 1 failed, 77 skipped. VELLUMORA_RELEASE_TESTS=0 skips them all.
"""

import argparse
import glob
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zipfile

SKIP = 77
MENU_INSTALL_BUTTON = 115  # IDC_MENU_INSTALL in ui/control_ids.h
ZIP_FOLDER = "Vellumora 測試 資料夾 (zip)"
GIT_ID = {"GIT_AUTHOR_NAME": "Release Test", "GIT_AUTHOR_EMAIL": "release-test@vellumora.example",
          "GIT_COMMITTER_NAME": "Release Test", "GIT_COMMITTER_EMAIL": "release-test@vellumora.example"}


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def run(command, cwd=None, env=None, timeout=900, ok=(0,)):
    result = subprocess.run(command, cwd=cwd, env=env, timeout=timeout, capture_output=True, text=True,
                            errors="replace")
    if ok is not None and result.returncode not in ok:
        raise Failed(f"{' '.join(map(str, command))} exited with {result.returncode}:\n"
                     f"{result.stdout[-3000:]}\n{result.stderr[-3000:]}")
    return result


def sha256(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


class Work:
    def __init__(self, args):
        self.args = args
        self.root = os.path.abspath(args.work)
        self.a = os.path.join(self.root, "a")
        self.b = os.path.join(self.root, "second-checkout")
        self.b_same = os.path.join(self.root, "second-checkout-first-dist")
        self.sign = os.path.join(self.root, "signing")
        self.state_file = os.path.join(self.root, "state.json")

    def state(self):
        try:
            return json.load(open(self.state_file))
        except OSError:
            raise Failed("the release fixture did not finish (release_build)")

    def artefact(self, folder, kind, version):
        names = {"zip": f"VellumoraConvert-{version}-win-x64.zip", "msi": f"VellumoraConvert-{version}-win-x64.msi",
                 "kit": f"VellumoraConvert-{version}-relink-kit.zip"}
        return os.path.join(folder, names[kind])

    def exe_in_zip(self, path):
        with zipfile.ZipFile(path) as archive:
            return archive.read("VellumoraConvert.exe")


def release(folder, env_extra=None, arguments=()):
    env = dict(os.environ, **(env_extra or {}))
    started = time.monotonic()
    result = run(["bash", "scripts/release.sh", *arguments], cwd=folder, env=env)
    return time.monotonic() - started, result


# ---- build -----------------------------------------------------------------------------------

def step_build(w):
    shutil.rmtree(w.root, ignore_errors=True)
    os.makedirs(w.root)
    if run(["git", "status", "--porcelain"], cwd=w.args.repo).stdout.strip():
        print("note: the work tree has uncommitted changes; the release is made of its last commit")
    for clone in (w.a, w.b):
        run(["git", "clone", "-q", "--no-hardlinks", w.args.repo, clone])
    seconds_a, _ = release(w.a)
    seconds_b, _ = release(w.b)
    print(f"release.sh: {seconds_a:.0f} s in {w.a}, {seconds_b:.0f} s in {w.b}")
    shutil.copytree(os.path.join(w.b, "dist"), w.b_same)

    msi = glob.glob(os.path.join(w.a, "dist", "VellumoraConvert-*-win-x64.msi"))
    check(len(msi) == 1, f"dist/ of the first release holds {len(msi)} MSI files")
    version = re.search(r"VellumoraConvert-(.+)-win-x64\.msi$", msi[0]).group(1)
    major, minor, patch = (int(x) for x in version.split("."))
    higher = f"{major}.{minor}.{patch + 1}"

    # The notices and the bill of materials name the pinned upstream sources of the decoder: the
    # commit of a tag archive, the file's SHA-256 of a release tarball.
    pins = dict(re.findall(r"^(\w+_(?:commit|file_sha256))=(\w+)$", open(os.path.join(w.a, "scripts", "heif-deps.sh")).read(), re.M))
    sbom = json.load(open(os.path.join(w.a, "dist", f"VellumoraConvert-{version}-win-x64.spdx.json")))
    with zipfile.ZipFile(os.path.join(w.a, "dist", f"VellumoraConvert-{version}-win-x64.zip")) as z:
        notices = z.read("THIRD-PARTY-NOTICES.txt").decode()
    comments = {p["name"]: p.get("comment", "") + p["downloadLocation"] for p in sbom["packages"]}
    for name, short in (("libheif", "heif"), ("libde265", "de265")):
        pin = pins.get(f"{short}_commit") or pins.get(f"{short}_file_sha256", "?")
        check(pin in comments.get(name, "") and pin in notices,
              f"{name}: the notices or the SBOM do not name the pinned source {pin}")

    # The higher version: what a maintainer does to make the next release, in the second clone.
    cmake_lists = os.path.join(w.b, "CMakeLists.txt")
    text = open(cmake_lists, encoding="utf-8").read()
    bumped, count = re.subn(r"(project\(VellumoraConvert VERSION )" + re.escape(version), r"\g<1>" + higher, text)
    check(count == 1, "the project version was not found in CMakeLists.txt")
    open(cmake_lists, "w", encoding="utf-8").write(bumped)
    env = dict(os.environ, **GIT_ID)
    run(["git", "commit", "-q", "-am", f"Version {higher}"], cwd=w.b, env=env)

    os.makedirs(w.sign)
    cert, key = os.path.join(w.sign, "cert.pem"), os.path.join(w.sign, "key.pem")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
         "-subj", "/CN=Vellumora Release Test (throw-away)", "-addext", "extendedKeyUsage=codeSigning"])
    seconds_c, _ = release(w.b, {"VELLUMORA_SIGN_CERT": cert, "VELLUMORA_SIGN_KEY": key})
    print(f"release.sh of version {higher}, signed, after the first run in the same clone: {seconds_c:.0f} s")
    json.dump({"version": version, "higher": higher, "cert": cert}, open(w.state_file, "w"))


# ---- reproducible ----------------------------------------------------------------------------

def listing(folder):
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            files[os.path.relpath(path, folder)] = sha256(path)
    return files


def step_reproducible(w):
    s = w.state()
    first, second = os.path.join(w.a, "dist"), w.b_same
    for folder in (first, second):
        run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=folder)
        listed = {line.split("  ", 1)[1] for line in open(os.path.join(folder, "SHA256SUMS")).read().splitlines()}
        check(listed == set(listing(folder)) - {"SHA256SUMS"}, f"SHA256SUMS of {folder} does not list every artefact")
    a, b = listing(first), listing(second)
    check(set(a) == set(b), f"the two dist/ folders hold different files: {sorted(set(a) ^ set(b))}")
    differing = sorted(name for name in a if a[name] != b[name])
    check(not differing, f"differ between the two folders: {differing}")

    exe = w.exe_in_zip(w.artefact(first, "zip", s["version"]))
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    check(exe[pe:pe + 4] == b"PE\0\0", "VellumoraConvert.exe is not a PE file")
    check(struct.unpack_from("<I", exe, pe + 8)[0] == 0, "the PE header carries a link time")
    for folder in (w.a, w.b, w.args.repo, os.path.expanduser("~")):
        for form in (folder.encode(), folder.encode("utf-16-le")):
            check(form not in exe, f"the executable names the folder {folder}")
    print(f"identical: {', '.join(sorted(a))}")


# ---- relink ----------------------------------------------------------------------------------

def step_relink(w):
    s = w.state()
    kit = os.path.join(w.root, "relink")
    shutil.rmtree(kit, ignore_errors=True)
    with zipfile.ZipFile(w.artefact(os.path.join(w.a, "dist"), "kit", s["version"])) as archive:
        archive.extractall(kit)
    for needed in ("relink.sh", "lib/libheif.a", "lib/libde265.a", "THIRD-PARTY-NOTICES.txt", "licenses/LGPL-3.0.txt"):
        check(os.path.isfile(os.path.join(kit, needed)), f"the relink kit lacks {needed}")
    run(["sh", "relink.sh"], cwd=kit)
    released = w.exe_in_zip(w.artefact(os.path.join(w.a, "dist"), "zip", s["version"]))
    relinked = open(os.path.join(kit, "VellumoraConvert.exe"), "rb").read()
    check(relinked == released, "the relinked executable differs from the released one")
    print(f"relinked {len(relinked)} bytes, identical to the released executable")


# ---- signing ---------------------------------------------------------------------------------

def verify(path, cert):
    return run(["osslsigncode", "verify", "-CAfile", cert, "-in", path], ok=None)


def step_signing(w):
    s = w.state()
    signed = os.path.join(w.root, "signed")
    os.makedirs(signed, exist_ok=True)
    b_dist = os.path.join(w.b, "dist")
    exe = os.path.join(signed, "VellumoraConvert.exe")
    open(exe, "wb").write(w.exe_in_zip(w.artefact(b_dist, "zip", s["higher"])))
    for path in (exe, w.artefact(b_dist, "msi", s["higher"])):
        result = verify(path, s["cert"])
        output = result.stdout + result.stderr
        check(result.returncode == 0 and "Signature verification: ok" in output,
              f"{os.path.basename(path)} does not verify:\n{output[-2000:]}")
        check("Timestamp Server Signature" not in output, f"{os.path.basename(path)} carries a time stamp")
    unsigned = os.path.join(signed, "unsigned.exe")
    open(unsigned, "wb").write(w.exe_in_zip(w.artefact(os.path.join(w.a, "dist"), "zip", s["version"])))
    check(verify(unsigned, s["cert"]).returncode != 0, "the release made without a certificate is signed")


# ---- Wine ------------------------------------------------------------------------------------

class Prefix:
    """A fresh copy of the cached Wine prefix, with its own wine server."""

    def __init__(self, w, name):
        self.path = os.path.join(w.root, name)
        shutil.rmtree(self.path, ignore_errors=True)
        run(["cp", "-a", w.args.template, self.path])
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        # One wine server for all the test's Wine processes. It and the background services that
        # the first program starts live on: they must not hold our pipes, or every captured run
        # would wait for them.
        detached = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL, timeout=120)
        # The null graphics driver counts from the next start of the server on.
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/t", "REG_SZ",
                        "/d", "null", "/f"], check=True, **detached)
        subprocess.run(["wineserver", "-k"], **detached)
        subprocess.run(["wineserver", "-w"], **detached)
        subprocess.run(["wineserver", "-p"], **detached)
        subprocess.run(["wine", "cmd", "/c", "exit"], **detached)
        users = [u for u in os.listdir(os.path.join(self.path, "drive_c", "users")) if u != "Public"]
        check(len(users) == 1, f"the prefix has users {users}")
        self.user = users[0]
        self.profile = os.path.join(self.path, "drive_c", "users", self.user)
        self.local = os.path.join(self.profile, "AppData", "Local")

    def wine(self, command, ok=(0,), timeout=300):
        return run(["wine", *command], env=self.env, ok=ok, timeout=timeout)

    def windows(self, path):
        """The Windows path of a file: C:\\... inside the prefix's drive_c (as a program installed
        there sees itself), Z:\\... elsewhere."""
        path = os.path.abspath(path)
        drive_c = os.path.join(self.path, "drive_c")
        if path.startswith(drive_c + os.sep):
            return "C:" + path[len(drive_c):].replace("/", "\\")
        return "Z:" + path.replace("/", "\\")

    def reg_tree(self, root):
        """Every key below root (root included) with its values: {key: {name: data}}; one query."""
        result = self.wine(["reg", "query", root, "/s"], ok=None)
        tree, key = {}, None
        for line in result.stdout.splitlines():
            line = line.rstrip("\r\n")
            m = re.match(r"\s{4}(.*?)\s{4}(REG_\w+)\s{4}(.*)$", line)
            if m and key is not None:
                tree[key][m.group(1)] = m.group(3).strip()
            elif line.startswith("HKEY_"):
                key = line.strip()
                tree[key] = {}
        return tree

    def reg_values(self, key):
        """The values of one key as {name: data}, or None when the key does not exist."""
        full = key.replace("HKCU\\", "HKEY_CURRENT_USER\\", 1).replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1)
        return self.reg_tree(key).get(full)

    def uninstall_entries(self):
        """Apps & features entries named Vellumora Convert: {key: values}."""
        entries = {}
        for root in (r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall",
                     r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall"):
            for key, values in self.reg_tree(root).items():
                if values.get("DisplayName") == "Vellumora Convert":
                    entries[key] = values
        return entries

    def silent_batch(self, exe, photo, fmt):
        """Runs a silent quick conversion of one photograph; returns the run's report."""
        logs = os.path.join(self.local, "VellumoraConvert", "logs")
        before = set(glob.glob(os.path.join(logs, "silent-*.json")))
        result = self.wine([self.windows(exe), "--quick", fmt, "--silent", self.windows(photo)], ok=None, timeout=120)
        reports = sorted(set(glob.glob(os.path.join(logs, "silent-*.json"))) - before)
        check(len(reports) == 1, f"{len(reports)} new reports after a silent batch (exit code {result.returncode})")
        report = json.load(open(reports[0], encoding="utf-8"))
        check(result.returncode == 0 and report.get("exit_code") == 0, f"the silent batch failed: {report}")
        check(report.get("format") == fmt and len(report.get("results", [])) == 1, f"unexpected report {report}")
        entry = report["results"][0]
        check(entry.get("status") == "完成", f"the photograph was not converted: {entry}")
        output = entry["output"]
        check(output[:3].upper() in ("C:\\", "Z:\\"), f"unexpected output path {output}")
        unix = (os.path.join(self.path, "drive_c") if output[0] in "cC" else "") + output[2:].replace("\\", "/")
        check(os.path.isfile(unix), f"the reported output {output} does not exist")
        described = run(["identify", "-format", "%m %w %h", unix]).stdout.strip()
        check(described == ("JPEG" if fmt == "JPG" else "PNG") + " 640 480", f"the output is {described}")
        return report

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True)
        shutil.rmtree(self.path, ignore_errors=True)


def sample(w, folder):
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, "sample.heic")
    shutil.copyfile(os.path.join(w.args.repo, "resources", "sample", "sample.heic"), target)
    return target


ASSOCIATIONS = r"HKCU\Software\Classes\SystemFileAssociations"


def full_key(key):
    return key.replace("HKCU\\", "HKEY_CURRENT_USER\\", 1)


VERB_KEYS = [rf"HKCU\Software\Classes\SystemFileAssociations\{ext}\shell\{verb}"
             for ext in (".heic", ".heif", ".hif") for verb in ("Vellumora.JPG", "Vellumora.PNG", "Vellumora.Open")]


def verb_classes(p):
    """The DropTarget classes of the verbs (marked with Vellumora.Verb) under the user's CLSID key."""
    return [key for key, values in p.reg_tree(r"HKCU\Software\Classes\CLSID").items() if "Vellumora.Verb" in values]


def step_msi(w):
    s = w.state()
    a_dist, b_dist = os.path.join(w.a, "dist"), os.path.join(w.b, "dist")
    p = Prefix(w, "prefix-msi")
    try:
        programs = os.path.join(p.local, "Programs", "Vellumora Convert")
        exe = os.path.join(programs, "VellumoraConvert.exe")
        shortcut = os.path.join(p.profile, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                                "Vellumora Convert.lnk")
        settings = r"HKCU\Software\Vellumora\Convert"

        # Install.
        p.wine(["msiexec", "/i", p.windows(w.artefact(a_dist, "msi", s["version"])), "/qn"])
        for name in ("VellumoraConvert.exe", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "README.txt",
                     "licenses/LGPL-3.0.txt", "licenses/GPL-3.0.txt"):
            check(os.path.isfile(os.path.join(programs, name)), f"{name} was not installed into {programs}")
        check(open(exe, "rb").read() == w.exe_in_zip(w.artefact(a_dist, "zip", s["version"])),
              "the installed executable is not the released one")
        check(os.path.isfile(shortcut), "no Start-menu shortcut")
        link = open(shortcut, "rb").read()
        check("VellumoraConvert.exe".encode("utf-16-le") in link or b"VellumoraConvert.exe" in link,
              "the shortcut does not start VellumoraConvert.exe")
        # Wine's msiexec does not apply MsiShortcutProperty; the table that Windows applies is checked.
        aumid = re.search(r'SetCurrentProcessExplicitAppUserModelID\(L"([^"]+)"\)',
                          open(os.path.join(w.args.repo, "entry", "entry.cpp"), encoding="utf-8").read()).group(1)
        table = run(["msiinfo", "export", w.artefact(a_dist, "msi", s["version"]), "MsiShortcutProperty"]).stdout
        check(f"AppShortcut\tSystem.AppUserModel.ID\t{aumid}" in table, f"the shortcut's AppUserModelID is not {aumid}")
        entries = p.uninstall_entries()
        check(len(entries) == 1, f"{len(entries)} Apps & features entries after the install")
        entry = next(iter(entries.values()))
        check(entry.get("DisplayVersion") == s["version"] and entry.get("Publisher") == "Vellumora",
              f"Apps & features entry {entry}")

        # The installed program converts the bundled photograph.
        photos = os.path.join(p.path, "drive_c", "photos")
        p.silent_batch(exe, sample(w, photos), "JPG")
        p.wine(["reg", "add", settings, "/v", "quality", "/t", "REG_SZ", "/d", "77", "/f"])

        # Upgrade to the higher version, built by the fixture.
        p.wine(["msiexec", "/i", p.windows(w.artefact(b_dist, "msi", s["higher"])), "/qn"])
        check(open(exe, "rb").read() == w.exe_in_zip(w.artefact(b_dist, "zip", s["higher"])),
              "after the upgrade the installed executable is not the new one")
        entries = p.uninstall_entries()
        check(len(entries) == 1, f"{len(entries)} Apps & features entries after the upgrade: {sorted(entries)}")
        check(next(iter(entries.values())).get("DisplayVersion") == s["higher"], "the entry's version was not upgraded")
        check((p.reg_values(settings) or {}).get("quality") == "77", "the upgrade changed the user's settings")

        # The older version over the newer one is refused, and changes nothing.
        log = os.path.join(p.path, "drive_c", "downgrade.log")
        refused = p.wine(["msiexec", "/i", p.windows(w.artefact(a_dist, "msi", s["version"])), "/qn",
                          "/l*v", p.windows(log)], ok=None)
        check(refused.returncode != 0, "installing the older version over the newer one succeeded")
        # Wine's msiexec refuses without writing the condition's text to the log; Windows shows it.
        conditions = run(["msiinfo", "export", w.artefact(a_dist, "msi", s["version"]), "LaunchCondition"]).stdout
        check("NOT WIX_DOWNGRADE_DETECTED\tA newer version of Vellumora Convert is already installed" in conditions,
              "the refusal has no message")
        check("WIX_DOWNGRADE_DETECTED = {" in open(log, errors="replace").read(), "the refusal was not for a downgrade")
        check(open(exe, "rb").read() == w.exe_in_zip(w.artefact(b_dist, "zip", s["higher"])),
              "the refused downgrade changed the installed executable")
        check(len(p.uninstall_entries()) == 1, "the refused downgrade changed Apps & features")

        # The installed program registers its Explorer verbs through its own button.
        window = subprocess.Popen(["wine", p.windows(exe)], env=p.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            pressed = p.wine([p.windows(w.args.press), str(MENU_INSTALL_BUTTON)], ok=None, timeout=120)
            check(pressed.returncode == 0, f"the program's window could not be driven (code {pressed.returncode})")
            window.wait(timeout=60)
        finally:
            if window.poll() is None:
                window.kill()
        verbs = p.reg_tree(ASSOCIATIONS)
        for key in VERB_KEYS:
            command = verbs.get(full_key(key) + "\\command", {}).get("(Default)", "")
            check(command.startswith(f'"{p.windows(exe)}"'), f"{key} does not start the installed program: {command!r}")
        check(len(verb_classes(p)) == 3, "the installed program did not register its three verb classes")

        # Uninstall: program, shortcut, verbs and entry go; the settings stay.
        p.wine(["msiexec", "/x", p.windows(w.artefact(b_dist, "msi", s["higher"])), "/qn"])
        check(not os.path.exists(programs), f"{programs} is still there: {os.listdir(programs) if os.path.isdir(programs) else ''}")
        check(not os.path.exists(shortcut), "the Start-menu shortcut is still there")
        verbs = p.reg_tree(ASSOCIATIONS)
        left = [key for key in VERB_KEYS if full_key(key) in verbs]
        check(not left, f"Explorer verbs left behind: {left}")
        check(not verb_classes(p), f"verb classes left behind: {verb_classes(p)}")
        check(not p.uninstall_entries(), "the Apps & features entry is still there")
        check((p.reg_values(settings) or {}).get("quality") == "77", "the uninstall removed the user's settings")
    finally:
        p.close()


def step_zip(w):
    s = w.state()
    p = Prefix(w, "prefix-zip")
    try:
        folder = os.path.join(p.path, "drive_c", "users", p.user, "Documents", ZIP_FOLDER)
        with zipfile.ZipFile(w.artefact(os.path.join(w.a, "dist"), "zip", s["version"])) as archive:
            names = archive.namelist()
            archive.extractall(folder)
        for needed in ("VellumoraConvert.exe", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "README.txt",
                       "licenses/LGPL-3.0.txt"):
            check(needed in names, f"the zip lacks {needed}")
        p.silent_batch(os.path.join(folder, "VellumoraConvert.exe"), sample(w, os.path.join(folder, "相片")), "PNG")
    finally:
        p.close()


# ---- refusals --------------------------------------------------------------------------------

def step_refusals(w):
    s = w.state()
    b = w.b
    dist = os.path.join(b, "dist")
    before = listing(dist)

    def refused(why, env_extra=None, arguments=()):
        result = run(["bash", "scripts/release.sh", *arguments], cwd=b, env=dict(os.environ, **(env_extra or {})),
                     ok=None)
        lines = [line for line in result.stderr.splitlines() if line.strip()]
        check(result.returncode != 0, f"{why}: the release went ahead")
        check(len(lines) >= 1 and lines[-1].startswith("release: "), f"{why}: no clear last line: {lines[-5:]}")
        check(listing(dist) == before, f"{why}: dist/ changed")
        check(not glob.glob(os.path.join(b, "build", "release-stage.*")), f"{why}: a staging folder was left")
        return lines

    readme = os.path.join(b, "README.md")
    original = open(readme, "rb").read()
    open(readme, "ab").write(b"\nan edit\n")
    try:
        check(len(refused("dirty work tree")) == 1, "the dirty-tree refusal is not one line")
    finally:
        open(readme, "wb").write(original)
    check(len(refused("missing wixl", {"VELLUMORA_WIXL": "/nonexistent/wixl"})) == 1, "the wixl refusal is not one line")

    env = dict(os.environ, **GIT_ID)
    wrong = "v" + s["version"]  # the first release's version, not this commit's
    run(["git", "tag", wrong], cwd=b, env=env)
    try:
        lines = refused("tag of another version", arguments=("--tag", wrong))
        check("does not match" in lines[-1], f"unexpected refusal {lines[-1]}")
    finally:
        run(["git", "tag", "-d", wrong], cwd=b)
    elsewhere = "v" + s["higher"]
    run(["git", "tag", elsewhere, "HEAD~1"], cwd=b, env=env)
    try:
        lines = refused("tag on another commit", arguments=("--tag", elsewhere))
        check("not the checked-out commit" in lines[-1], f"unexpected refusal {lines[-1]}")
    finally:
        run(["git", "tag", "-d", elsewhere], cwd=b)

    broken = os.path.join(w.root, "broken-wixl")
    with open(broken, "w") as f:
        f.write("#!/bin/sh\necho 'wixl: out of disk space' >&2\nexit 1\n")
    os.chmod(broken, 0o755)
    refused("failing wixl", {"VELLUMORA_WIXL": broken})


STEPS = {"build": step_build, "reproducible": step_reproducible, "relink": step_relink, "signing": step_signing,
         "msi": step_msi, "zip": step_zip, "refusals": step_refusals}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("step", choices=sorted(STEPS))
    parser.add_argument("--repo", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--press", required=True)
    args = parser.parse_args()
    if os.environ.get("VELLUMORA_RELEASE_TESTS") == "0":
        print("skipped: VELLUMORA_RELEASE_TESTS=0")
        return SKIP
    if run(["git", "rev-parse", "--verify", "-q", "HEAD"], cwd=args.repo, ok=None).returncode != 0:
        print("skipped: the source folder is not a git work tree with a commit")
        return SKIP
    started = time.monotonic()
    try:
        STEPS[args.step](Work(args))
    except (Failed, subprocess.TimeoutExpired) as failure:
        print(f"FAILED ({args.step}): {failure}")
        return 1
    print(f"passed ({args.step}, {time.monotonic() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
