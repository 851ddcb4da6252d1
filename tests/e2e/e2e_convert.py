#!/usr/bin/python3
"""End-to-end checks of VellumoraConvert.exe under Wine.

Each case copies photographs into a fresh folder whose name has Chinese characters and spaces,
runs the real program as a silent quick conversion (`--quick JPG|PNG --silent <folder>`), reads
its JSON report and judges every output with tools nobody here wrote: heif-convert (Debian's
libheif) for the expected pixels, ImageMagick's compare for the difference, exiftool for Exif,
XMP and the ICC profile, pngcheck for PNG structure.

    e2e_convert.py CASE --exe EXE --run WINE_RUN --prefix WINEPREFIX --fixtures DIR
                        --samples DIR --work DIR

Exit codes: 0 passed, 1 failed, 77 skipped (a tool, the test photographs or a sample missing).
"""

import argparse
import glob
import hashlib
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import time

SKIP = 77

# Fixtures that convert to both formats, with their upright size.
PICTURES = {
    "rgb-64x48.heic": (64, 48), "rgb-33x17.heic": (33, 17), "rgb-1x1.heic": (1, 1),
    "alpha-64x48.heic": (64, 48), "rgb10-64x48.heic": (64, 48), "alpha10-64x48.heic": (64, 48),
    "orient2-mirror-lr.heic": (64, 48), "orient3-rotate-180.heic": (64, 48),
    "orient4-mirror-tb.heic": (64, 48), "orient5-transpose.heic": (64, 48),
    "orient6-rotate-90cw.heic": (64, 48), "orient7-transverse.heic": (64, 48),
    "orient8-rotate-270cw.heic": (64, 48), "orient6-33x17.heic": (33, 17),
    "clap-300x300-of-1280x720.heic": (300, 300), "clap-300x300-transverse.heic": (300, 300),
    "exif-le-orient6.heic": (64, 48), "exif-le-marker-orient6.heic": (64, 48),
    "exif-be-marker-orient8.heic": (64, 48), "exif-le-orient1.heic": (64, 48),
    "exif-be-no-orient.heic": (64, 48), "exif-two-blocks.heic": (64, 48),
    "exif-jpg-limit-65533.heic": (64, 48), "xmp-attr-orient6.heic": (64, 48),
    "xmp-elem-orient6.heic": (64, 48), "xmp-single-quoted.heic": (64, 48),
    "xmp-jpg-limit-65504.heic": (64, 48), "meta-other-kinds.heic": (64, 48),
    "icc-small.heic": (64, 48), "icc-large-66k.heic": (64, 48),
    "two-images-primary-second.heic": (64, 48), "照片 測試.heic": (64, 48),
    "UPPER.HEIC": (64, 48), "rgb-64x48.hif": (64, 48), "sample.heic": (640, 480),
    "motion-photo.heic": (64, 48), "motion-photo-trailer.heic": (64, 48), "motion-photo-cut-video.heic": (64, 48),
    "gain-map-tmap-turned.heic": (64, 64), "gain-map-tmap-unknown-version.heic": (64, 64),
    "gain-map-samsung-turned.heic": (64, 64),
}
# Motion photos, and whether a JPG keeps their video (the cut one's MP4 cannot be kept).
MOTION = {"motion-photo.heic": True, "motion-photo-trailer.heic": True, "motion-photo-cut-video.heic": False}
VIDEO_NOT_KEPT = "動態相片的影片未保留在輸出檔，已保留原檔"
# Too large for one JPG segment: PNG only.
PNG_ONLY = {"exif-jpg-limit-65534.heic": (64, 48), "exif-large-70k.heic": (64, 48),
            "xmp-large-70k.heic": (64, 48)}

# Files that must fail, with the report's error (exact, or the start of libheif's own text).
FAILURES = {
    "empty.heic": ("JPG", "原檔空白或超過 2 GB", False),
    "not-heif-jpeg.heic": ("JPG", "Invalid input: No 'ftyp' box", True),
    "truncated-half.heic": ("JPG", "Invalid input: No 'meta' box", True),
    "exif-garbage-5-bytes.heic": ("JPG", "EXIF 資料損壞，已保留原檔", False),
    "exif-bad-offset.heic": ("JPG", "EXIF 位移不正確", False),
    "exif-bad-byte-order.heic": ("JPG", "EXIF 位元序不正確", False),
    "exif-orient-long.heic": ("JPG", "EXIF 方向欄位不正確", False),
    "exif-jpg-limit-65534.heic": ("JPG", "JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留", False),
    "xmp-large-70k.heic": ("JPG", "JPG 中繼資料超過格式限制，請改用 PNG；原檔已保留", False),
}

# PSNR floors for a JPG against the PNG of the same source (our own PNG for the fixtures,
# heif-convert's for the photographs). Wine's JPEG encoder always writes quality 75 with 4:2:0
# chroma, whatever is asked. Measured: 20.0-26.3 dB for the flat saturated quadrant fixtures
# (chroma subsampling blurs their sharp colour edges), 43 dB for the sample landscape, 42-45 dB
# for 12-megapixel photographs. A wrong turn or mirror measures 1.8-2.6 dB on the quadrants and
# 9.9-17.7 dB on the landscape.
JPG_PSNR_QUADRANTS = 18.0
JPG_PSNR_PHOTO = 35.0

FOLDER_NAME = "相片 測試 資料夾"


def REPORTS(prefix):
    return os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local", "VellumoraConvert", "logs",
                        "silent-*.json")


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def run(*args, **kwargs):
    return subprocess.run(list(args), capture_output=True, **kwargs)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def unix_path(path):
    check(path.startswith("Z:"), f"unexpected path in the report: {path}")
    return path[2:].replace("\\", "/")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Case:
    def __init__(self, args, name):
        self.args = args
        self.work = os.path.join(args.work, name)
        shutil.rmtree(self.work, ignore_errors=True)
        self.folder = os.path.join(self.work, FOLDER_NAME)
        self.refs = os.path.join(self.work, "reference")
        os.makedirs(self.folder)
        os.makedirs(self.refs)
        self.problems = []

    def add(self, source, name=None):
        target = os.path.join(self.folder, name or os.path.basename(source))
        shutil.copyfile(source, target)
        return target

    def fixture(self, name):
        path = os.path.join(self.args.fixtures, name)
        if not os.path.exists(path):
            print(f"test photograph missing: {path}")
            sys.exit(SKIP)
        return self.add(path)

    def settings(self, settings=""):
        """The case's settings file (also the key of its instance name and conversion slots)."""
        path = os.path.join(self.work, "settings.ini")
        with open(path, "w", encoding="utf-8") as f:
            f.write("[General]\n" + settings)
        return windows_path(path)

    def start(self, fmt, folder, settings_file, env=None, timer=False):
        """Starts a silent run on a folder (or a list of files and folders) without waiting for it."""
        env = dict(os.environ, VELLUMORA_SETTINGS_FILE=settings_file, **(env or {}))
        inputs = [windows_path(p) for p in (folder if isinstance(folder, list) else [folder])]
        command = [self.args.run, self.args.exe, "--quick", fmt, "--silent"] + inputs
        if timer:  # the peak memory of the run, in KiB, on the last line of stderr
            command = ["/usr/bin/time", "-f", "%M"] + command
        return subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def report_of(self, folder, before):
        """The one new report whose results (or note) name the folder."""
        mine = []
        for path in set(glob.glob(REPORTS(self.args.prefix))) - before:
            with open(path, "rb") as f:
                report = json.loads(f.read().decode("utf-8"))
            if any(r["source"].startswith(windows_path(folder) + "\\") for r in report["results"]) or \
                    windows_path(folder) in report.get("error", ""):
                mine.append(report)
        check(len(mine) == 1, f"expected one report of the run on {folder}, found {len(mine)}")
        return mine[0]

    def convert(self, fmt, settings="", timer=False, timeout=600, inputs=None, env=None):
        """Runs the program on the folder (or on the given files and folders inside it); returns
        (exit code, report), with the peak memory in MiB as a third item when timed."""
        before = set(glob.glob(REPORTS(self.args.prefix)))
        started = time.monotonic()
        process = self.start(fmt, inputs or self.folder, self.settings(settings), env=env, timer=timer)
        try:
            _, err = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise
        print(f"{fmt} run: exit code {process.returncode}, {time.monotonic() - started:.1f} s")
        report = self.report_of(self.folder, before)
        check(report["exit_code"] == process.returncode, "exit code and report disagree")
        check(report["format"] == fmt, "report format")
        if timer:
            return process.returncode, report, int(err.decode().strip().splitlines()[-1]) / 1024
        return process.returncode, report

    def expect(self, condition, message):
        if not condition:
            self.problems.append(message)
            print("PROBLEM:", message)

    def finish(self):
        check(not self.problems, f"{len(self.problems)} problem(s)")
        print("passed")


# ---- Judges ------------------------------------------------------------------------------

def tool_number(result):
    text = (result.stderr or result.stdout).decode().strip()
    return float(text.split()[0]) if text and text.split()[0] != "inf" else float("inf")


def size_of(path):
    out = run("identify", "-format", "%w %h", path + "[0]").stdout.decode().split()
    return int(out[0]), int(out[1])


def reference_png(case, source):
    """heif-convert's PNG of the source's primary image (None when it writes several)."""
    out = os.path.join(case.refs, os.path.basename(source) + ".png")
    result = run("heif-convert", "--quiet", source, out)
    return out if result.returncode == 0 and os.path.exists(out) else None


def differing_pixels(ours, ref):
    """Coordinates where the two pictures differ by more than 1 % (2.55 levels)."""
    mask = ours + ".diff.png"
    run("compare", "-fuzz", "1%", "-metric", "AE", ours, ref, "-compose", "src",
        "-highlight-color", "white", "-lowlight-color", "black", mask)
    text = run("convert", mask, "-alpha", "off", "-threshold", "50%", "txt:-").stdout.decode()
    os.remove(mask)
    points = []
    for line in text.splitlines()[1:]:
        m = re.match(r"(\d+),(\d+):.*#FFFFFF", line)
        if m:
            points.append((int(m.group(1)), int(m.group(2))))
    return points


def judge_png_pixels(case, name, output, ref, size):
    """Our PNG against heif-convert's. libheif 1.15.1 (heif-convert) and 1.19.7 (ours) round
    the YCbCr conversion alike to one level, so 1 % fuzz must leave no pixel. For the small
    fixtures that combine a clean-aperture crop with irot/imir, the two versions place the
    chroma at the quadrant edges one chroma sample apart (measured: 128-312 pixels, all within
    2 pixels of the two quadrant boundaries; a real 12 MP photograph with irot is identical),
    so there the difference is allowed in that band and nowhere else."""
    points = differing_pixels(output, ref)
    if name.startswith("orient"):
        w, h = size
        near_edge = lambda v, n: v < 2 or v >= n - 2 or abs(2 * v + 1 - n) <= 4
        points = [(x, y) for x, y in points if not near_edge(x, w) and not near_edge(y, h)]
    case.expect(not points, f"{name}: {len(points)} pixels differ from heif-convert, e.g. {points[:5]}")


def metadata_of(paths):
    """Exif, XMP and ICC of many files in one exiftool run: {path: (exif, xmp, icc)}, each a
    dict of "group:tag" -> value (binary values as base64, numbers unformatted)."""
    out = run("exiftool", "-j", "-G1", "-a", "-n", "-b", "-EXIF:all", "-XMP:all", "-ICC_Profile",
              *paths).stdout
    found = {}
    for entry in json.loads(out.decode("utf-8")):
        path = entry.pop("SourceFile")
        exif, xmp, icc = {}, {}, {}
        for key, value in entry.items():
            group = key.split(":")[0]
            (xmp if group.startswith("XMP") else icc if group == "ICC_Profile" else exif)[key] = value
        found[os.path.abspath(path)] = (exif, xmp, icc)
    return found


# The XMP namespaces of an iPhone photograph's hidden images (gain map, depth map, portrait).
APPLE_HIDDEN_IMAGE_XMP = ("XMP-HDRGainMap:", "XMP-apdi:", "XMP-depthData:", "XMP-depthBlurEffect:",
                          "XMP-portraitLightingEffect:")


def is_part_claim(key):
    """What an XMP property says about the parts after the primary image (a gain map, a video):
    decided for the output's own parts, never carried (judge_gain_maps, judge_motion_photos)."""
    group, _, tag = key.partition(":")
    return group in ("XMP-hdrgm", "XMP-Container", "XMP-GContainer") or \
        (group == "XMP-GCamera" and tag.startswith(("MotionPhoto", "MicroVideo")))


def judge_metadata(case, pairs):
    """For (name, source, output) pairs. Exif: every tag as in the source except IFD0
    Orientation, now 1 (or still absent). XMP: every property as in the source except a
    plainly written tiff:Orientation and the claims about parts. ICC: the same bytes."""
    found = metadata_of([p for _, source, output in pairs for p in (source, output)])
    for name, source, output in pairs:
        (src, sx, sicc), (out, ox, oicc) = found[os.path.abspath(source)], found[os.path.abspath(output)]
        if name == "exif-two-blocks.heic":
            case.expect(out.get("IFD0:Model") == "First block", f"{name}: Model {out.get('IFD0:Model')}")
        elif name == "two-images-primary-second.heic":
            case.expect(out.get("IFD0:Model") == "Primary image", f"{name}: Model {out.get('IFD0:Model')}")
        else:
            if "IFD0:Orientation" in src:
                case.expect(out.get("IFD0:Orientation") == 1, f"{name}: Orientation {out.get('IFD0:Orientation')}")
            else:
                case.expect("IFD0:Orientation" not in out, f"{name}: Orientation added")
            # ThumbnailOffset is where the thumbnail lies in the file, which the container moves;
            # its bytes (IFD1:ThumbnailImage) are compared.
            src, out = ({k: v for k, v in x.items() if k not in ("IFD0:Orientation", "IFD1:ThumbnailOffset")} for x in (src, out))
            diff = {k for k in set(src) | set(out) if src.get(k) != out.get(k)}
            case.expect(not diff, f"{name}: Exif differs in {sorted(diff)[:8]}")
        if name != "xmp-single-quoted.heic":  # tiff:Orientation='6' is not a form that is removed
            sx = {k: v for k, v in sx.items() if k != "XMP-tiff:Orientation"}
        # exiftool also lists the XMP of a photograph's hidden images (gain map, depth map),
        # which are not the primary picture's and are not carried.
        sx = {k: v for k, v in sx.items() if not k.startswith(APPLE_HIDDEN_IMAGE_XMP)}
        sx = {k: v for k, v in sx.items() if not is_part_claim(k)}
        ox = {k: v for k, v in ox.items() if not is_part_claim(k)}
        diff = {k for k in set(sx) | set(ox) if sx.get(k) != ox.get(k)}
        case.expect(not diff, f"{name}: XMP differs in {sorted(diff)[:8]}")
        case.expect(sicc == oicc, f"{name}: ICC profile differs")


def psnr(a, b):
    return tool_number(run("compare", "-metric", "PSNR", a, b, "null:"))


def flattened(case, png):
    out = os.path.join(case.refs, os.path.basename(png) + ".white.png")
    run("convert", png, "-background", "white", "-alpha", "remove", "-alpha", "off", out)
    return out


def outputs_by_name(case, report):
    return {os.path.basename(unix_path(r["source"])): r for r in report["results"]}


def judge_outputs(case, report, fmt, expected, sources, our_pngs=None):
    """Every expected file converted under its own name (a " (n)" suffix where two sources
    share a stem), at its upright size, its pixels as heif-convert's (PNG) or close to our PNG
    (JPG), its metadata carried over, its source unchanged, and no temporary file left."""
    ext = "." + fmt.lower()
    results = outputs_by_name(case, report)
    case.expect(set(results) == set(expected), f"report lists {sorted(set(results) ^ set(expected))}")
    pairs = []
    for name, size in expected.items():
        r = results.get(name)
        if r is None:
            continue
        source = unix_path(r["source"])
        if r["status"] != "完成" or "output" not in r:
            case.expect(False, f"{name}: {r.get('error')}")
            continue
        output = unix_path(r["output"])
        stem = re.escape(os.path.splitext(name)[0])
        case.expect(re.fullmatch(stem + r"( \(\d+\))?" + re.escape(ext), os.path.basename(output)) is not None,
                    f"{name}: named {os.path.basename(output)}")
        case.expect(sha256(source) == sources[name], f"{name}: source changed")
        case.expect(size_of(output) == size, f"{name}: size {size_of(output)}, expected {size}")
        pairs.append((name, source, output))
        if fmt == "PNG":
            check_png = run("pngcheck", "-q", output)
            case.expect(check_png.returncode == 0, f"{name}: pngcheck: {check_png.stdout.decode().strip()}")
            ref = reference_png(case, source)
            if ref is not None:
                judge_png_pixels(case, name, output, ref, size)
        elif size != (1, 1):
            floor = JPG_PSNR_PHOTO if name == "sample.heic" else JPG_PSNR_QUADRANTS
            value = psnr(output, flattened(case, our_pngs[name]))
            case.expect(value >= floor, f"{name}: JPG PSNR {value:.1f} dB below {floor}")
    judge_metadata(case, pairs)
    judge_motion_photos(case, pairs, fmt)
    leftovers = [n for n in os.listdir(case.folder) if n.startswith(".vellumora-")]
    case.expect(not leftovers, f"temporary files left: {leftovers}")


def judge_motion_photos(case, pairs, fmt):
    """A motion photo's JPG holds the source's MP4 after its image, byte for byte, where exiftool 13
    finds it through the Motion Photo XMP, and ffprobe reads all its frames; an output without the
    video (a PNG, a JPG of a video that could not be kept) claims none."""
    import gain_map_judge
    exiftool = (gain_map_judge.load_tools(need=("VELLUMORA_EXIFTOOL",)) or {}).get("VELLUMORA_EXIFTOOL")
    pairs = [p for p in pairs if p[0] in MOTION]
    if pairs and (exiftool is None or shutil.which("ffprobe") is None):
        return print("exiftool 13 (scripts/setup-tests.sh) or ffprobe missing: motion-photo checks skipped")
    for name, source, output in pairs:
        tags = json.loads(run("perl", exiftool, "-j", "-n", "-a", "-G1", "-struct", output).stdout or b"[{}]")[0]
        video, inside = (run("perl", exiftool, "-b", "-MotionPhotoVideo", p).stdout for p in (output, source))
        claims = {k: v for k, v in tags.items() if is_part_claim(k)}
        if fmt == "PNG" or not MOTION[name]:
            case.expect(not video and not claims, f"{name}: {len(video)} bytes of video, claims {claims}")
            continue
        # exiftool gives the source's whole mpvd: the MP4, then Samsung's trailer where there is one.
        case.expect(video and inside.startswith(video) and (inside == video or inside.endswith(b"SEFT")),
                    f"{name}: the JPG's {len(video)} bytes of video are not the source's MP4")
        items = [(i.get("Item", {}).get("Semantic"), i.get("Item", {}).get("Mime"), i.get("Item", {}).get("Length"))
                 for i in claims.pop("XMP-GContainer:ContainerDirectory", [])]
        case.expect(claims == {"XMP-GCamera:MotionPhoto": 1, "XMP-GCamera:MotionPhotoVersion": 1,
                               "XMP-GCamera:MotionPhotoPresentationTimestampUs": 150000} and
                    items == [("Primary", "image/jpeg", None), ("MotionPhoto", "video/mp4", len(video))], f"{name}: {claims} {items}")
        with open(output, "rb") as f:
            case.expect(f.read().endswith(video), f"{name}: the video does not end the file")
        with open(os.path.join(case.refs, name + ".mp4"), "wb") as f:
            f.write(video)
        probe = run("ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=codec_name,nb_read_frames",
                    "-of", "csv=p=0", f.name).stdout.decode().strip()
        case.expect(probe == "hevc,3", f"{name}: ffprobe reads {probe!r} from the video")


# ---- Cases -------------------------------------------------------------------------------

def case_fixtures(args, fmt):
    case = Case(args, "fixtures-" + fmt.lower())
    expected = dict(PICTURES)
    if fmt == "PNG":
        expected.update(PNG_ONLY)
    sources = {name: sha256(case.fixture(name)) for name in expected}
    our_pngs = None
    if fmt == "JPG":
        # The JPG is judged against our own PNG of the same source, made first.
        code, report = case.convert("PNG")
        our_pngs = {n: unix_path(r["output"]) for n, r in outputs_by_name(case, report).items() if "output" in r}
    code, report = case.convert(fmt)
    case.expect(code == 0, f"exit code {code}")
    judge_outputs(case, report, fmt, expected, sources, our_pngs)
    if fmt == "JPG":
        judge_fixture_gain_maps(case, report)
    case.finish()


def case_failures(args):
    case = Case(args, "failures")
    sources = {name: sha256(case.fixture(name)) for name in FAILURES}
    case.fixture("rgb-64x48.heic")
    # An existing output of the good file must survive; the new one takes the next name.
    with open(os.path.join(case.folder, "rgb-64x48.jpg"), "wb") as f:
        f.write(b"existing")
    code, report = case.convert("JPG")
    case.expect(code == 1, f"exit code {code}")
    results = {os.path.basename(unix_path(r["source"])): r for r in report["results"]}
    for name, (_, message, prefix) in FAILURES.items():
        r = results.get(name, {})
        error = r.get("error", "")
        ok = error.startswith(message) if prefix else error == message
        case.expect(r.get("status") == "失敗" and ok, f"{name}: {r}")
        case.expect("output" not in r and "warning" not in r, f"{name}: {r}")
        case.expect(sha256(os.path.join(case.folder, name)) == sources[name], f"{name}: source changed")
    good = results.get("rgb-64x48.heic", {})
    case.expect(good.get("status") == "完成" and unix_path(good.get("output", "Z:")).endswith("rgb-64x48 (1).jpg"),
                f"good file: {good}")
    with open(os.path.join(case.folder, "rgb-64x48.jpg"), "rb") as f:
        case.expect(f.read() == b"existing", "an existing file was touched")
    expected = set(FAILURES) | {"rgb-64x48.heic", "rgb-64x48.jpg", "rgb-64x48 (1).jpg"}
    case.expect(set(os.listdir(case.folder)) == expected,
                f"folder holds {sorted(set(os.listdir(case.folder)) ^ expected)}")
    case.finish()


def case_recycle(args):
    """Wine's IFileOperation has no SetOperationFlags: the phase must end in that step's
    warning, the output kept and the source untouched; the warning fails the run. A motion
    photo whose video the output does not hold is never offered to the bin."""
    case = Case(args, "recycle")
    sources = {name: case.fixture(name) for name in ("exif-le-orient6.heic", "motion-photo.heic", "motion-photo-cut-video.heic")}
    before = {name: sha256(path) for name, path in sources.items()}
    shell = "設定回收操作失敗 (0x80004001)"
    for fmt, warnings in (("PNG", {"exif-le-orient6.heic": shell, "motion-photo.heic": VIDEO_NOT_KEPT,
                                   "motion-photo-cut-video.heic": VIDEO_NOT_KEPT}),
                          ("JPG", {"exif-le-orient6.heic": shell, "motion-photo.heic": shell,
                                   "motion-photo-cut-video.heic": VIDEO_NOT_KEPT})):
        code, report = case.convert(fmt, "recycle=true\n")
        case.expect(code == 1, f"{fmt}: exit code {code}")
        for name, r in outputs_by_name(case, report).items():
            case.expect(r["status"] == "完成" and r.get("recycled") is False and r.get("warning") == warnings[name],
                        f"{fmt} {name}: {r}")
            case.expect(os.path.exists(unix_path(r.get("output", "Z:/missing"))), f"{fmt} {name}: output missing")
    case.expect(all(sha256(path) == before[name] for name, path in sources.items()), "a source changed")
    case.finish()


PHOTOS = {
    # iPhone 8 Plus grid, irot 270 (shown a quarter turn clockwise), Exif Orientation 6, P3 profile.
    "arrow.heic": ("pillow-heif/arrow.heic", (3024, 4032), None),
    # iPhone 13 Pro grid with a depth map and an HDR gain map, both hidden images; its MakerNote
    # has tag 0x0021 and not 0x0030.
    "pug.heic": ("pillow-heif/pug.heic", (4032, 3024), None),
    # Sony 10-bit 4:2:2 .HIF, 12 MP, Exif 40 KB and XMP 57 KB (both fit a JPG segment).
    "cat.hif": ("pillow-heif/cat.hif", (4240, 2832), None),
    # Xiaomi photograph whose 192 KB Exif item is an APP1 segment of 14 KB, a preview and padding.
    "xiaomi.heic": ("pillow-heif/xiaomi.heic", (2592, 1944), None),
    # Galaxy S25 grid with a tmap item over it and a grid gain map of three-channel YCbCr tiles.
    "aux_YCbCr.heic": ("pillow-heif/aux_YCbCr.heic", (4000, 1848), None),
}
# Photographs whose JPG keeps their gain map.
HDR_PHOTOS = {"pug.heic", "aux_YCbCr.heic", "pug-headroom.heic"}


def box_children(data, start, end):
    """(type, start, header length, size) of the boxes directly inside [start, end)."""
    found, pos = [], start
    while pos + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, pos)
        header = 8
        if size == 1:
            size, header = struct.unpack_from(">Q", data, pos + 8)[0], 16
        elif size == 0:
            size = end - pos
        found.append((kind, pos, header, size))
        pos += size
    return found


def child_box(kids, kind):
    return next(b for b in kids if b[0] == kind)


def item_properties(data):
    """The photograph's meta boxes, its item properties (ipco's boxes, in order) and, for each item,
    its associations in ipma: (position in the file, width in bytes, property index)."""
    meta = child_box(box_children(data, 0, len(data)), b"meta")
    inside = box_children(data, meta[1] + meta[2] + 4, meta[1] + meta[3])
    iprp = child_box(inside, b"iprp")
    iprp_kids = box_children(data, iprp[1] + iprp[2], iprp[1] + iprp[3])
    ipco, ipma = child_box(iprp_kids, b"ipco"), child_box(iprp_kids, b"ipma")
    props = box_children(data, ipco[1] + ipco[2], ipco[1] + ipco[3])
    version, flags = data[ipma[1] + 8], int.from_bytes(data[ipma[1] + 9:ipma[1] + 12], "big")
    pos, items = ipma[1] + 12 + 4, {}
    for _ in range(struct.unpack_from(">I", data, ipma[1] + 12)[0]):
        item = struct.unpack_from(">H" if version < 1 else ">I", data, pos)[0]
        pos += 2 if version < 1 else 4
        count, pos = data[pos], pos + 1
        width = 2 if flags & 1 else 1
        items[item] = []
        for _ in range(count):
            value = int.from_bytes(data[pos:pos + width], "big")
            items[item].append((pos, width, value & (0x7FFF if width == 2 else 0x7F)))
            pos += width
    return inside, props, items


def gain_map_items(data, props, items):
    """The items whose auxiliary type is Apple's gain map."""
    def is_gain_map_aux(index):
        b = props[index - 1]
        return b[0] == b"auxC" and b"hdrgainmap" in data[b[1]:b[1] + b[3]]
    return {i for i, entries in items.items() if any(is_gain_map_aux(x) for _, _, x in entries)}


def without_gain_map_hvcc(data):
    """The photograph with its hidden gain-map image's decoder configuration (hvcC) renamed to a
    'free' box, as some iPhone photographs come: the gain map has no hvcC, the rest is untouched."""
    inside, props, entries = item_properties(data)
    items = {i: [x for _, _, x in e] for i, e in entries.items()}
    def kind_of(index):
        return props[index - 1][0] if 0 < index <= len(props) else None
    gain = gain_map_items(data, props, entries)
    # A gain map stored as a grid: its tiles are the items it names by 'dimg'.
    iref = child_box(inside, b"iref")
    wide_ids = data[iref[1] + 8] != 0
    for kind, start, header, size in box_children(data, iref[1] + 12, iref[1] + iref[3]):
        fmt, step = (">I", 4) if wide_ids else (">H", 2)
        source = struct.unpack_from(fmt, data, start + header)[0]
        count = struct.unpack_from(">H", data, start + header + step)[0]
        if kind == b"dimg" and source in gain:
            gain |= {struct.unpack_from(fmt, data, start + header + step + 2 + k * step)[0] for k in range(count)}
    hvcc = {x for i in gain for x in items.get(i, []) if kind_of(x) == b"hvcC"}
    shared = {x for i, ix in items.items() if i not in gain for x in ix}
    if not hvcc or hvcc & shared:
        raise Failed("no hvcC of the gain map alone in this photograph")
    out = bytearray(data)
    for x in hvcc:
        out[props[x - 1][1] + 4:props[x - 1][1] + 8] = b"free"
    return bytes(out)


def with_gain_map_turned_alone(data):
    """The photograph with a half turn for its gain map that its picture does not get: the
    rotation both share set to 180 degrees, and the picture's association with it pointed at the
    picture's own size property instead. Both keep their shape."""
    inside, props, items = item_properties(data)
    pitm = child_box(inside, b"pitm")
    primary = struct.unpack_from(">H" if data[pitm[1] + 8] == 0 else ">I", data, pitm[1] + 12)[0]
    irot = next(x for _, _, x in items[primary] if props[x - 1][0] == b"irot")
    gain = next(iter(gain_map_items(data, props, items)))
    check(any(x == irot for _, _, x in items[gain]), "the gain map does not share the picture's rotation")
    pos, width, _ = next(e for e in items[primary] if e[2] == irot)
    ispe = next(x for _, _, x in items[primary] if props[x - 1][0] == b"ispe")
    out = bytearray(data)
    out[props[irot - 1][1] + props[irot - 1][2]] = 2  # the angle, in quarter turns
    out[pos:pos + width] = ispe.to_bytes(width, "big")
    return bytes(out)


def with_gain_map_headroom(data):
    """The photograph with its gain map's XMP stating a headroom of 3.5, as newer iPhones write it."""
    version = b"<HDRGainMap:HDRGainMapVersion>65536</HDRGainMap:HDRGainMapVersion>"
    check(version in data, "no gain-map XMP of the expected form in this photograph")
    return data.replace(version, b"<HDRGainMap:HDRGainMapHeadroom>3.5</HDRGainMap:HDRGainMapHeadroom>")


def without_gain_maps(data):
    """The photograph with its gain maps unrecognisable and nothing else changed: the auxiliary
    types of Apple's and Samsung's gain maps and the item type of a tmap renamed in place."""
    for name in (b"photo:2020:aux:hdrgainmap\0", b"photo:2024:aux:hdrgainmap\0", b"\0\0tmap\0"):
        data = data.replace(name, name[:-2] + b"X\0")
    return data


def judge_gain_maps(case, results, hdr_names):
    """The named outputs are gain-map JPEGs that boost as their source's own gain map and metadata
    say, the others have no gain-map parts beyond their source's."""
    import gain_map_judge  # needs Debian's python3-pil, like the 200-megapixel case
    tools = gain_map_judge.load_tools()
    if tools is None:
        return print("gain-map readers missing (scripts/setup-tests.sh installs them): checks skipped")
    for name, r in ((n, r) for n, r in results.items() if "output" in r):
        output, source, work = unix_path(r["output"]), unix_path(r["source"]), os.path.join(case.work, "gm-" + name)
        if name in hdr_names:
            os.makedirs(work, exist_ok=True)
            want, source_map, boost = gain_map_judge.source_gain_map(tools, source, work)
            if want is None:
                case.expect(False, f"{name}: heif-convert finds no gain map with metadata in the source")
                continue
            problems, figures = gain_map_judge.judge_gain_map_jpeg(output, work, tools, want, source_map, boost)
            print(f"{name}: gain map {figures}")
        else:
            problems = gain_map_judge.judge_sdr_jpeg(output, tools)
        for problem in problems:
            case.expect(False, f"{name}: {problem}")


# Fixture gain maps (the same quadrants as the picture, turned with it) and the hdrgm fields their
# JPG must state: the tmap's three channels exactly, Samsung's XMP values; None: no gain map.
FIXTURE_GAIN_MAPS = {
    "gain-map-tmap-turned.heic": dict(gainMapMin=0, gainMapMax=[1.25, 1.375, 1.5], gamma=0.83, offsetSdr=1e-5,
                                      offsetHdr=1e-5, hdrCapacityMin=0, hdrCapacityMax=1.25),
    "gain-map-samsung-turned.heic": dict(gainMapMin=0, gainMapMax=1.5, gamma=1, offsetSdr=0, offsetHdr=0,
                                         hdrCapacityMin=0, hdrCapacityMax=1.5),
    "gain-map-tmap-unknown-version.heic": None,
}


def judge_fixture_gain_maps(case, report):
    """Each fixture gain map is carried with its metadata and turned as the picture is (its
    quadrant colours where the picture's are); a tmap of an unknown version adds nothing."""
    import gain_map_judge
    from PIL import Image
    tools = gain_map_judge.load_tools()
    if tools is None:
        return print("gain-map readers missing (scripts/setup-tests.sh installs them): checks skipped")
    results = outputs_by_name(case, report)
    judge_gain_maps(case, {n: results[n] for n in FIXTURE_GAIN_MAPS if n in results and not FIXTURE_GAIN_MAPS[n]}, set())
    for name, want in ((n, w) for n, w in FIXTURE_GAIN_MAPS.items() if w and "output" in results.get(n, {})):
        work = os.path.join(case.work, "gm-" + name)
        output = unix_path(results[name]["output"])
        problems, _ = gain_map_judge.judge_gain_map_jpeg(output, work, tools, want)
        picture, gain = (Image.open(p).convert("RGB") for p in (output, os.path.join(work, "written-gain-map.jpg")))
        placed = all(max(abs(a - b) for a, b in zip(picture.getpixel(c), gain.getpixel(c))) <= 40
                     for c in ((16, 16), (48, 16), (16, 48), (48, 48)))
        for problem in problems + ([] if placed else ["the gain map is not turned as the picture is"]):
            case.expect(False, f"{name}: {problem}")


def case_photos(args, names):
    """Real photographs to JPG: upright size, pixels close to heif-convert's, metadata carried;
    or the program's message for one that cannot be a JPG."""
    case = Case(args, "photos-" + "-".join(os.path.splitext(n)[0] for n in names))
    sources = {}
    for name in names:
        path = os.path.join(args.samples, PHOTOS[name][0])
        if not os.path.exists(path):
            print(f"sample missing: {path}")
            sys.exit(SKIP)
        target = case.add(path)
        os.chmod(target, 0o644)
        sources[name] = sha256(target)
    # A copy whose hidden gain map has no decoder configuration, as some iPhone photographs come:
    # the primary picture is whole, so the photograph converts to the same picture.
    derived = {}
    if "pug.heic" in names:
        with open(os.path.join(case.folder, "pug.heic"), "rb") as f:
            original = f.read()
        tampered = without_gain_map_hvcc(original)
        with open(os.path.join(case.folder, "pug-gain-map-without-hvcC.heic"), "wb") as f:
            f.write(tampered)
        derived["pug-gain-map-without-hvcC.heic"] = "pug.heic"
        # This copy states its headroom (3.5) in the gain map's XMP, as newer iPhones do.
        with open(os.path.join(case.folder, "pug-headroom.heic"), "wb") as f:
            f.write(with_gain_map_headroom(original))
        derived["pug-headroom.heic"] = "pug.heic"
        # And one whose gain map is given a half turn of its own that its picture does not get:
        # the shape fits, the highlights would not, so it stays an SDR JPG.
        with open(os.path.join(case.folder, "pug-headroom-turned-alone.heic"), "wb") as f:
            f.write(with_gain_map_turned_alone(with_gain_map_headroom(original)))
        derived["pug-headroom-turned-alone.heic"] = None
    failing = any(PHOTOS[n][2] for n in names)
    code, report = case.convert("JPG")
    case.expect(code == (1 if failing else 0), f"exit code {code}")
    case.expect(len(report["results"]) == len(names) + len(derived), "one result per photograph")
    for r in report["results"]:
        source = unix_path(r["source"])
        name = os.path.basename(source)
        if name in derived:
            continue
        _, size, message = PHOTOS[name]
        case.expect(sha256(source) == sources[name], f"{name}: source changed")
        if message:
            case.expect(r.get("error") == message and "output" not in r, f"{name}: {r}")
            continue
        if r["status"] != "完成":
            case.expect(False, f"{name}: {r.get('error')}")
            continue
        output = unix_path(r["output"])
        case.expect(size_of(output) == size, f"{name}: size {size_of(output)}, expected {size}")
        ref = reference_png(case, source)
        if ref is not None:
            value = psnr(output, ref)
            print(f"{name}: JPG PSNR {value:.1f} dB against heif-convert")
            case.expect(value >= JPG_PSNR_PHOTO, f"{name}: JPG PSNR {value:.1f} dB below {JPG_PSNR_PHOTO}")
        judge_metadata(case, [(name, source, output)])
    done = {os.path.basename(unix_path(r["source"])): r for r in report["results"]}
    for name, base in derived.items():
        r, b = done.get(name, {}), done.get(base, {})
        if r.get("status") != "完成" or (base and "output" not in b):
            case.expect(False, f"{name}: {r}")
            continue
        if base is None:  # turned: judged for its gain map only, below
            continue
        same = run("compare", "-metric", "AE", unix_path(r["output"]), unix_path(b["output"]), "null:")
        case.expect(same.stderr.decode().strip() == "0", f"{name}: {same.stderr.decode().strip()} pixels differ from {base}'s")
        if name == "pug-headroom.heic":
            judge_metadata(case, [(name, unix_path(r["source"]), unix_path(r["output"]))])
    judge_gain_maps(case, done, HDR_PHOTOS)
    if "xiaomi.heic" in names:
        # Only the TIFF structure of its Exif item's APP1 segment goes into the PNG: 14,368 bytes, to the
        # end of the thumbnail that the segment's declared length stops two bytes short of.
        code, report = case.convert("PNG", inputs=[os.path.join(case.folder, "xiaomi.heic")])
        png = unix_path(report["results"][0].get("output", "Z:"))
        with open(png if os.path.exists(png) else os.devnull, "rb") as f:
            data = f.read()
        at = data.find(b"eXIf")
        size = struct.unpack(">I", data[at - 4:at])[0] if at >= 4 else None
        case.expect(code == 0 and size == 14368 and data[at + 4:at + 8] == b"II*\0", f"xiaomi.heic PNG: eXIf of {size} bytes")
        judge_metadata(case, [("xiaomi.heic PNG", os.path.join(case.folder, "xiaomi.heic"), png)])
    leftovers = [n for n in os.listdir(case.folder) if n.startswith(".vellumora-")]
    case.expect(not leftovers, f"temporary files left: {leftovers}")
    case.finish()


# Peak memory of a JPG of the 200-megapixel photograph under Wine: measured 900 MiB (bench/README.md).
PEAK_200MP_MIB = 1000


def case_200mp(args):
    """A 200-megapixel phone photograph (12240 x 16320) converts to JPG: its size, its pixels
    close to heif-convert's, and the run's peak memory within the measured figure."""
    from PIL import Image, ImageChops  # Debian's python3-pil; only this case needs it
    Image.MAX_IMAGE_PIXELS = None
    path = os.path.join(args.samples, "pillow-heif", "200MP.heic")
    if not os.path.exists(path):
        print(f"sample missing: {path}")
        sys.exit(SKIP)
    case = Case(args, "photo-200mp")
    source = case.add(path)
    before = sha256(source)
    code, report, peak = case.convert("JPG", timer=True)
    print(f"peak memory {peak:.0f} MiB")
    r = report["results"][0]
    check(code == 0 and r["status"] == "完成", f"exit code {code}: {r}")
    case.expect(sha256(source) == before, "source changed")
    case.expect(peak <= PEAK_200MP_MIB, f"peak memory {peak:.0f} MiB above {PEAK_200MP_MIB}")
    ours = Image.open(unix_path(r["output"]))
    case.expect(ours.size == (12240, 16320), f"size {ours.size}")
    ref = reference_png(case, source)
    check(ref is not None, "heif-convert wrote no reference")
    theirs = Image.open(ref).convert("RGB")
    if ours.size == theirs.size:
        histogram = ImageChops.difference(ours.convert("RGB"), theirs).histogram()
        mse = sum(n * (i % 256) ** 2 for i, n in enumerate(histogram)) / (ours.size[0] * ours.size[1] * 3)
        value = 10 * math.log10(255 * 255 / mse) if mse else float("inf")
        print(f"200MP.heic: JPG PSNR {value:.1f} dB against heif-convert")
        case.expect(value >= JPG_PSNR_PHOTO, f"JPG PSNR {value:.1f} dB below {JPG_PSNR_PHOTO}")
    # Samsung's gain map (3060x4080 upright, no rotation of its own) with its own hdrgm XMP.
    judge_gain_maps(case, {"200MP.heic": r}, {"200MP.heic"})
    case.finish()


# ---- Silent runs started together ---------------------------------------------------------

def files_under(folder):
    """Every file and folder below the folder, as paths relative to it."""
    found = set()
    for parent, folders, files in os.walk(folder):
        found |= {os.path.relpath(os.path.join(parent, name), folder) for name in folders + files}
    return found


def destination(folder):
    return f"destination=1\nquality=90\nfolder={windows_path(folder)}\n"


def case_paths(args):
    """Names met in deep cloud and camera-import folders: a folder path beyond 260 characters
    with emoji (surrogate pairs) in its names, folder names ending in a dot or a space, and an
    existing output that differs only in letter case. The walk finds every photograph, each
    output lands beside its source (or in the chosen folder, made as named) with the next free
    name, the report (valid UTF-8) names the real paths, and nothing else is made."""
    case = Case(args, "paths")
    source = os.path.join(args.fixtures, "sample.heic")
    if not os.path.exists(source):
        print(f"test photograph missing: {source}")
        sys.exit(SKIP)
    deep = case.folder
    while len(windows_path(deep)) < 300:
        deep = os.path.join(deep, "相片😀資料夾" + "長" * 24)
    dot, space = os.path.join(case.folder, "旅行."), os.path.join(case.folder, "旅行 ")
    photos = [os.path.join(deep, "IMG 😀.heic"), os.path.join(dot, "a.heic"), os.path.join(space, "b.HEIC")]
    for photo in photos:
        os.makedirs(os.path.dirname(photo), exist_ok=True)
        shutil.copyfile(source, photo)
    existing = os.path.join(deep, "img 😀.JPG")
    with open(existing, "wb") as f:
        f.write(b"existing")
    hashes = {photo: sha256(photo) for photo in photos}
    made = files_under(case.folder)

    def outputs(report):
        return {unix_path(r["source"]): unix_path(r["output"]) for r in report["results"] if r["status"] == "完成"}

    code, report = case.convert("JPG", "recursive=true\n")
    expected = {photos[0]: os.path.join(deep, "IMG 😀 (1).jpg"), photos[1]: os.path.join(dot, "a.jpg"),
                photos[2]: os.path.join(space, "b.jpg")}
    case.expect(code == 0 and outputs(report) == expected, f"exit code {code}, {report['results']}")
    target = os.path.join(deep, "輸出.")  # new, deep, its name ending in a dot
    code, report = case.convert("PNG", destination(target), inputs=photos[:2])
    expected_png = {photos[0]: os.path.join(target, "IMG 😀.png"), photos[1]: os.path.join(target, "a.png")}
    case.expect(code == 0 and outputs(report) == expected_png, f"exit code {code}, {report['results']}")
    for output in list(expected.values()) + list(expected_png.values()):
        case.expect(os.path.exists(output) and size_of(output) == (640, 480), f"{output}: not a 640x480 picture")
    with open(existing, "rb") as f:
        case.expect(f.read() == b"existing", "an existing file differing in case was touched")
    case.expect(all(sha256(photo) == digest for photo, digest in hashes.items()), "a source changed")
    made |= {os.path.relpath(p, case.folder) for p in list(expected.values()) + list(expected_png.values()) + [target]}
    now = files_under(case.folder)
    case.expect(now == made, f"unexpected files or folders: {sorted(now ^ made)}")
    case.finish()


def case_destinations(args):
    """Destinations that fail half-way: an output folder that is a file, one nobody may write in,
    one deleted while the batch runs, and one on another drive. A file that cannot be written
    fails with the step's message, its source untouched and no temporary file left, and the
    batch goes on with the next file."""
    case = Case(args, "destinations")
    source = os.path.join(args.fixtures, "sample.heic")
    if not os.path.exists(source):
        print(f"test photograph missing: {source}")
        sys.exit(SKIP)
    names = [f"p{i:02d}.heic" for i in range(12)]
    for name in names[:2]:
        case.add(source, name)

    def sources_kept():
        return all(sha256(os.path.join(case.folder, name)) == sha256(source) for name in os.listdir(case.folder)
                   if name.endswith(".heic"))

    def temporaries(folder):
        return [p for p in files_under(folder) if os.path.basename(p).startswith(".vellumora-")]

    def errors(report):
        return [r.get("error", "") for r in report["results"] if r["status"] == "失敗"]

    blocker = os.path.join(case.work, "一個檔案")
    with open(blocker, "wb") as f:
        f.write(b"x")
    code, report = case.convert("JPG", destination(os.path.join(blocker, "子資料夾")))
    case.expect(code == 1 and len(errors(report)) == 2 and all(
        e.startswith("無法建立輸出資料夾：" + windows_path(blocker)) and e.endswith(")") for e in errors(report)),
        f"a file in the way: {report['results']}")

    locked = os.path.join(case.work, "唯讀")
    os.makedirs(locked)
    if run("chattr", "+i", locked).returncode == 0:  # not even root may write in it
        try:
            code, report = case.convert("JPG", destination(locked))
        finally:
            run("chattr", "-i", locked)
        case.expect(code == 1 and errors(report) == ["無法寫入檔案"] * 2, f"a locked folder: {report['results']}")
        case.expect(os.listdir(locked) == [], "something was left in the locked folder")
    else:
        print("chattr +i is not available here: the locked folder is not tried")

    drive = os.path.join(case.work, "drive-y")
    os.makedirs(drive)
    letter = os.path.join(args.prefix, "dosdevices", "y:")
    if os.path.lexists(letter):
        os.remove(letter)
    os.symlink(drive, letter)
    try:
        settings = "destination=1\nquality=90\nfolder=Y:\\輸出\\相片\n"
        code, report = case.convert("PNG", settings)
    finally:
        os.remove(letter)
    outputs = [r.get("output") for r in report["results"]]
    case.expect(code == 0 and outputs == ["Y:\\輸出\\相片\\p00.png", "Y:\\輸出\\相片\\p01.png"],
                f"another drive: {report['results']}")
    for name in ("p00", "p01"):
        output = os.path.join(drive, "輸出", "相片", name + ".png")
        case.expect(os.path.exists(output) and int(os.path.getmtime(output)) ==
                    int(os.path.getmtime(os.path.join(case.folder, name + ".heic"))), f"{output}: missing or new time")

    # The chosen folder deleted while the batch runs: the next files make it again.
    for name in names[2:]:
        case.add(source, name)
    out = os.path.join(case.work, "輸出")
    before = set(glob.glob(REPORTS(args.prefix)))
    process = case.start("JPG", case.folder, case.settings(destination(out)))
    while process.poll() is None and not (os.path.isdir(out) and any(n.endswith(".jpg") for n in os.listdir(out))):
        time.sleep(0.02)
    shutil.rmtree(out, ignore_errors=True)
    process.communicate(timeout=300)
    report = case.report_of(case.folder, before)
    results = report["results"]
    case.expect(process.returncode in (0, 1) and len(results) == len(names), f"a deleted folder: {results}")
    case.expect(all(e in ("無法建立輸出檔案", "無法寫入檔案", "無法讀取檔案", "無法保留檔案時間") or e.startswith("輸出")
                    for e in errors(report)), f"a deleted folder: {errors(report)}")
    last = results[-1] if results else {}
    case.expect(last.get("status") == "完成" and os.path.exists(unix_path(last["output"])),
                f"the batch did not go on after the folder was deleted: {last}")
    for folder in (case.work,):
        case.expect(temporaries(folder) == [], f"temporary files left: {temporaries(folder)}")
    case.expect(sources_kept(), "a source changed")
    case.finish()


def slot_limit():
    """The program takes as many slots as the logical processors Wine reports (the host's)."""
    return max(1, min(os.cpu_count() or 1, 64))


def slot_events(log):
    """(time, pid, event) for every line of the slot log folder (a file per run, named by its
    Windows process id), in time order; at one instant a leave goes first, so the count is never
    overstated."""
    events = []
    for path in glob.glob(os.path.join(log, "*.log")):
        pid = os.path.basename(path).split(".")[0]  # <pid>.<thread id>.log
        with open(path) as f:
            for line in f:
                event, ticks = line.split()
                events.append((int(ticks), 0 if event == "leave" else 1, pid, event))
    return [(t, pid, event) for t, _, pid, event in sorted(events)]


def most_at_once(events):
    running = peak = 0
    for _, _, event in events:
        running += 1 if event == "enter" else -1
        peak = max(peak, running)
    return peak


def case_burst(args):
    """24 silent runs started at once, two photographs each (one with alpha): every report and
    output right, and never more conversions at the same time than there are slots."""
    case = Case(args, "burst")
    log = os.path.join(case.work, "slots")
    os.makedirs(log)
    settings = case.settings()
    folders = []
    for i in range(24):
        folder = os.path.join(case.folder, f"run {i:02d}")
        os.makedirs(folder)
        for name in ("sample.heic", "alpha-64x48.heic"):
            source = os.path.join(args.fixtures, name)
            if not os.path.exists(source):
                print(f"test photograph missing: {source}")
                sys.exit(SKIP)
            shutil.copyfile(source, os.path.join(folder, name))
        folders.append(folder)
    before = set(glob.glob(REPORTS(args.prefix)))
    started = time.monotonic()
    runs = [case.start("JPG", folder, settings, env={"VELLUMORA_SLOT_LOG": windows_path(log)}) for folder in folders]
    errors = [run_.communicate(timeout=600)[1] for run_ in runs]
    print(f"24 runs: {time.monotonic() - started:.1f} s")
    for folder, run_, err in zip(folders, runs, errors):
        check(run_.returncode == 0, f"{folder}: exit code {run_.returncode}, {err.decode(errors='replace')[-2000:]}")
        report = case.report_of(folder, before)
        case.expect(run_.returncode == 0 and report["exit_code"] == 0, f"{folder}: exit code {run_.returncode}")
        names = {os.path.basename(unix_path(r["source"])): r for r in report["results"]}
        case.expect(set(names) == {"sample.heic", "alpha-64x48.heic"}, f"{folder}: results {sorted(names)}")
        for name, size in (("sample.heic", (640, 480)), ("alpha-64x48.heic", (64, 48))):
            r = names.get(name, {})
            output = unix_path(r.get("output", "Z:/missing"))
            case.expect(r.get("status") == "完成" and output.endswith(name[:-5] + ".jpg"), f"{folder}/{name}: {r}")
            case.expect(os.path.exists(output) and size_of(output) == size, f"{folder}/{name}: output")
    events = slot_events(log)
    peak, limit = most_at_once(events), slot_limit()
    print(f"conversions at once: at most {peak} (slots: {limit})")
    case.expect(sum(1 for e in events if e[2] == "enter") == 48, "one turn per photograph")
    case.expect(sum(1 for e in events if e[2] == "leave") == 48, "every turn given back")
    case.expect(1 <= peak <= limit, f"{peak} conversions at once, {limit} slots")
    case.finish()


def case_batch(args):
    """A mixed batch converted several files at once ends as one file after another does: the
    same report (in input order), output names and bytes, exit code, sources kept. x.heic from two
    folders and "x (1).heic" compete for names in one output folder (the larger file first, so a
    batch that let them race would hand out the names differently); one file is damaged;
    recycling is asked (Wine's Shell refuses it, so every source must stay)."""
    case = Case(args, "batch")
    for folder in ("a", "b", "c"):
        os.makedirs(os.path.join(case.folder, folder))
    layout = {"a/x.heic": "sample.heic", "b/x.heic": "rgb-64x48.heic", "c/x (1).heic": "alpha-64x48.heic",
              "c/truncated-half.heic": "truncated-half.heic"}
    layout.update({f"c/p{n}.heic": "sample.heic" for n in range(4)})
    for name, fixture in layout.items():
        source = os.path.join(args.fixtures, fixture)
        if not os.path.exists(source):
            print(f"test photograph missing: {source}")
            sys.exit(SKIP)
        shutil.copyfile(source, os.path.join(case.folder, name))
    sources = {name: sha256(os.path.join(case.folder, name)) for name in layout}
    inputs = [os.path.join(case.folder, f) for f in ("a", "b", "c")]
    log = os.path.join(case.work, "slots")
    os.makedirs(log)
    runs = {}
    for workers in ("1", ""):
        out = os.path.join(case.work, f"out-{workers or 'all'}")
        env = {"VELLUMORA_BATCH_WORKERS": workers} if workers else {"VELLUMORA_SLOT_LOG": windows_path(log)}
        code, report = case.convert("JPG", f"destination=1\nfolder={windows_path(out)}\nrecycle=true\n",
                                    inputs=inputs, env=env)
        text = json.dumps(report, ensure_ascii=False).replace(json.dumps(windows_path(out))[1:-1], "OUT")
        outputs = {name: sha256(os.path.join(out, name)) for name in os.listdir(out)}
        runs[workers] = (code, text, outputs)
    case.expect(runs["1"] == runs[""], f"one at a time {runs['1']}\nseveral at once {runs['']}")
    code, text, outputs = runs[""]
    results = {os.path.relpath(unix_path(r["source"]), case.folder): r for r in json.loads(text)["results"]}
    case.expect(code == 1 and set(results) == set(layout), f"exit code {code}, results {sorted(results)}")
    for name, expected in (("a/x.heic", "x.jpg"), ("b/x.heic", "x (1).jpg"), ("c/x (1).heic", "x (1) (1).jpg")):
        case.expect(results.get(name, {}).get("output") == "OUT\\" + expected, f"{name}: {results.get(name)}")
    case.expect(results.get("c/truncated-half.heic", {}).get("status") == "失敗", f"{results.get('c/truncated-half.heic')}")
    good = [r for n, r in results.items() if n != "c/truncated-half.heic"]
    case.expect(all(r.get("warning") == "設定回收操作失敗 (0x80004001)" and r.get("recycled") is False for r in good),
                f"recycling: {good}")
    case.expect(len(outputs) == 7, f"outputs {sorted(outputs)}")
    case.expect(all(sha256(os.path.join(case.folder, n)) == h for n, h in sources.items()), "a source changed")
    left = sorted(files_under(case.folder) - set(layout) - {"a", "b", "c"})
    case.expect(not left, f"left behind: {left}")
    peak = most_at_once(slot_events(log))
    print(f"conversions at once: at most {peak}")
    case.expect(peak >= min(2, slot_limit()), f"several at once converted at most {peak} at a time")
    case.finish()


def case_killed_slot(args):
    """Runs killed while each holds a slot (all slots taken) do not keep the next run waiting:
    their slots come back abandoned, and the next run converts."""
    case = Case(args, "killed-slot")
    log = os.path.join(case.work, "slots")
    os.makedirs(log)
    settings = case.settings()
    limit = slot_limit()
    source = os.path.join(args.fixtures, "sample.heic")
    if not os.path.exists(source):
        print(f"test photograph missing: {source}")
        sys.exit(SKIP)
    # Busy runs: many photographs each, so that each always holds a slot or is about to.
    busy = []
    for i in range(limit):
        folder = os.path.join(case.work, f"busy {i}")
        os.makedirs(folder)
        for n in range(40):
            shutil.copyfile(source, os.path.join(folder, f"p{n:02d}.heic"))
        # One file at a time each: every busy run is one slot holder to kill.
        busy.append(case.start("PNG", folder, settings,
                               env={"VELLUMORA_SLOT_LOG": windows_path(log), "VELLUMORA_BATCH_WORKERS": "1"}))
    holders = []
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and len(holders) < limit:
        last = {}
        for _, pid, event in slot_events(log):
            last[pid] = event
        holders = [pid for pid, event in last.items() if event == "enter"]
        time.sleep(0.05)
    check(len(holders) == limit, f"only {len(holders)} of {limit} busy runs took a slot")
    for pid in holders:
        run(args.run, "taskkill", "/F", "/PID", pid, timeout=60)
    for process in busy:
        process.communicate(timeout=60)
    last = {}
    for _, pid, event in slot_events(log):
        last[pid] = event
    held = [pid for pid in holders if last.get(pid) == "enter"]
    print(f"killed {len(holders)} runs, {len(held)} of them while holding a slot")
    if len(held) < limit:  # one let its slot go just before the kill: nothing was shown
        print("a run was between two photographs when it was killed: skipped")
        sys.exit(SKIP)
    case.fixture("sample.heic")
    case.fixture("rgb-64x48.heic")
    try:
        code, report = case.convert("JPG", timeout=120)
    except subprocess.TimeoutExpired:
        raise Failed("the run after the killed ones never finished: their slots stayed taken")
    case.expect(code == 0, f"exit code {code}")
    case.expect([r["status"] for r in report["results"]] == ["完成", "完成"], f"results {report['results']}")
    case.finish()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    for tool in ("heif-convert", "exiftool", "pngcheck", "compare", "identify", "convert"):
        if shutil.which(tool) is None:
            print(f"{tool} is not installed: skipped")
            return SKIP
    cases = {
        "fixtures-png": lambda: case_fixtures(args, "PNG"),
        "fixtures-jpg": lambda: case_fixtures(args, "JPG"),
        "failures": lambda: case_failures(args),
        "recycle": lambda: case_recycle(args),
        "photo-iphone": lambda: case_photos(args, ["arrow.heic", "pug.heic"]),
        "photo-camera": lambda: case_photos(args, ["cat.hif", "xiaomi.heic", "aux_YCbCr.heic"]),
        "photo-200mp": lambda: case_200mp(args),
        "burst": lambda: case_burst(args),
        "killed-slot": lambda: case_killed_slot(args),
        "batch": lambda: case_batch(args),
        "paths": lambda: case_paths(args),
        "destinations": lambda: case_destinations(args),
    }
    try:
        cases[args.case]()
    except Failed as failure:
        print("FAILED:", failure)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
