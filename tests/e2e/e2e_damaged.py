#!/usr/bin/python3
"""Damaged photographs through the silent batch of VellumoraConvert.exe under Wine.

Small real photographs (and our own fixtures) are damaged with a fixed seed: box sizes
overwritten, item locations moved, files cut, blocks zeroed, bytes of one file spliced into
another, bits flipped, words overwritten. Most variants go through the program many to a
folder, a few one to a folder. Whatever the damage, every run must end by itself with exit
code 0 or 1 and leave a well-formed report with one result per file; no source may change, no
temporary file may stay, every "完成" output must decode whole as the asked kind at a plausible
size, and every failure must say why.

    e2e_damaged.py --variants N --seed S [--batch N] [--singles N] [--large] [--messages N] [--keep DIR]
                   --exe EXE --run WINE_RUN --prefix WINEPREFIX --fixtures DIR --samples DIR --work DIR

Half the variants go to JPG and half to PNG. Prints the figures (variants, converted, failed
with a message, faults by kind, time); damaged files that show a fault are copied to --keep.
Exit codes: 0 no fault, 1 a fault, 77 skipped (a tool or the test photographs missing).
"""

import argparse
import collections
import glob
import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time

import e2e_convert as e2e

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Small photographs from the samples folder, chosen for their variety: alpha, thumbnails, 10 and
# 12 bits, monochrome, clean apertures, several top-level images, Exif, XMP, ICC.
SAMPLES = [
    "libheif/hevc32.heif", "libheif/colors-with-alpha-thumbnail.heic", "libheif/rainbow-451x461.heic",
    "libheif/with-alpha-512x512.heic", "pillow-heif/L_8__29x100.heif", "pillow-heif/RGB_10__128x128.heif",
    "pillow-heif/RGBA_12__128x128.heif", "pillow-heif/zPug_3.heic", "pillow-heif/L_exif_xmp_iptc.heic",
    "pillow-heif/L_xmp_latin1.heic",
]
# A 12-megapixel phone photograph in 48 tiles with Exif, XMP and ICC, for the long runs (--large).
LARGE = ["metadata-extractor-images/IMG_2927.HEIC"]
# Our own fixtures, always there: the .hif extension, Exif with a turn, an ICC profile, alpha, motion
# photos (the second with Samsung's trailer), a tmap gain map, Samsung's gain map and its claims.
FIXTURES = ["rgb-64x48.hif", "exif-le-orient6.heic", "icc-small.heic", "alpha-64x48.heic", "motion-photo.heic",
            "motion-photo-trailer.heic", "gain-map-tmap-turned.heic", "gain-map-samsung-turned.heic"]

# Boxes whose children follow their header, with the bytes to skip first (full-box fields,
# entry counts); iinf's count is 16 or 32 bits by version and is handled apart.
CONTAINERS = {b"meta": 4, b"iprp": 0, b"ipco": 0, b"dinf": 0, b"dref": 8, b"iref": 4, b"grpl": 0,
              b"moov": 0, b"trak": 0, b"mdia": 0, b"minf": 0, b"stbl": 0, b"iinf": None, b"mpvd": 0}

INTERESTING_SIZES = [0, 1, 7, 8, 0x7FFFFFFF, 0xFFFFFFFF]
INTERESTING_WORDS = [0, 1, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]


# ---- The box tree ------------------------------------------------------------------------

class Box:
    def __init__(self, kind, start, header, size, depth):
        self.kind, self.start, self.header, self.size, self.depth = kind, start, header, size, depth

    @property
    def end(self):
        return self.start + self.size


def boxes(data, start=0, end=None, depth=0):
    """Every box of the tree, parents before their children; parsing stops quietly at the first
    box that does not fit."""
    end = len(data) if end is None else end
    found = []
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, pos)
        header = 8
        if size == 1 and pos + 16 <= end:
            size, header = struct.unpack_from(">Q", data, pos + 8)[0], 16
        elif size == 0:
            size = end - pos
        if size < header or pos + size > end:
            break
        box = Box(kind, pos, header, size, depth)
        found.append(box)
        skip = CONTAINERS.get(kind, -1)
        if kind == b"iinf" and pos + header + 4 <= end:
            skip = 4 + (2 if data[pos + header] == 0 else 4)
        if skip is not None and skip >= 0 and kind in CONTAINERS:
            found += boxes(data, pos + header + skip, pos + size, depth + 1)
        pos += size
    return found


def iloc_fields(data, box):
    """(position, width) of the item count, base offsets, extent counts, offsets and lengths of
    an iloc box; stops at the first field that does not fit."""
    fields = []
    p = box.start + box.header
    try:
        version = data[p]
        p += 4
        sizes = data[p] << 8 | data[p + 1]
        offset_size, length_size, base_size = sizes >> 12, (sizes >> 8) & 15, (sizes >> 4) & 15
        index_size = sizes & 15 if version in (1, 2) else 0
        p += 2
        count_width = 4 if version == 2 else 2
        fields.append((p, count_width))
        count = int.from_bytes(data[p:p + count_width], "big")
        p += count_width
        for _ in range(count):
            p += count_width  # item id
            if version in (1, 2):
                p += 2  # construction method
            p += 2  # data reference index
            if base_size:
                fields.append((p, base_size))
            p += base_size
            fields.append((p, 2))
            extents = data[p] << 8 | data[p + 1]
            p += 2
            for _ in range(extents):
                p += index_size
                if offset_size:
                    fields.append((p, offset_size))
                p += offset_size
                if length_size:
                    fields.append((p, length_size))
                p += length_size
            if p > box.end:
                break
    except IndexError:
        pass
    return [(pos, width) for pos, width in fields if pos + width <= box.end]


def ispe_sizes(data):
    return [struct.unpack_from(">II", data, b.start + b.header + 4) for b in boxes(data)
            if b.kind == b"ispe" and b.size >= b.header + 12]


# ---- Damage ------------------------------------------------------------------------------

def put(data, pos, width, value):
    return data[:pos] + (value % (1 << (8 * width))).to_bytes(width, "big") + data[pos + width:]


def damage_box_size(rng, data, tree, others):
    box = rng.choice(tree)
    value = rng.choice(INTERESTING_SIZES + [box.size - 1, box.size + 1, len(data) - box.start + 1,
                                            rng.randrange(1 << 32)])
    return put(data, box.start, 4, value), f"size of {box.kind.decode('latin-1')}@{box.start} = {value}"


def damage_iloc(rng, data, tree, others):
    fields = [f for b in tree if b.kind == b"iloc" for f in iloc_fields(data, b)]
    if not fields:
        return None
    pos, width = rng.choice(fields)
    old = int.from_bytes(data[pos:pos + width], "big")
    value = rng.choice([0, 1, old - 1, old + 1, old + 4096, len(data), len(data) - old, (1 << (8 * width)) - 1,
                        1 << (8 * width - 1), rng.randrange(1 << (8 * width))])
    return put(data, pos, width, value), f"iloc field @{pos}/{width} {old} = {value % (1 << (8 * width))}"


def damage_cut_at_box(rng, data, tree, others):
    box = rng.choice(tree)
    at = max(1, min(len(data) - 1, rng.choice([box.start, box.end, box.start + box.header]) + rng.choice([-1, 0, 0, 1])))
    return data[:at], f"cut at {at} ({box.kind.decode('latin-1')} edge)"


def damage_cut(rng, data, tree, others):
    at = rng.randrange(1, len(data))
    return data[:at], f"cut at {at}"


def damage_zero(rng, data, tree, others):
    if rng.random() < 0.3:
        box = rng.choice(tree)
        start, length = box.start + box.header, box.size - box.header
        where = f"payload of {box.kind.decode('latin-1')}"
    else:
        start = rng.randrange(len(data))
        length = rng.choice([1, 2, 4, 16, 64, 256, 1024])
        where = "block"
    length = min(length, len(data) - start)
    return data[:start] + bytes(length) + data[start + length:], f"zero {where} @{start}+{length}"


def damage_splice(rng, data, tree, others):
    donor_name, donor = rng.choice(others)
    donor_tree = boxes(donor)
    if donor_tree and rng.random() < 0.5:
        box = rng.choice(donor_tree)
        chunk = donor[box.start:box.end]
    else:
        a = rng.randrange(len(donor))
        chunk = donor[a:a + rng.choice([8, 64, 512, 4096])]
    at = rng.choice([b.start for b in tree] + [rng.randrange(len(data))])
    if rng.random() < 0.5:
        return data[:at] + chunk + data[at:], f"insert {len(chunk)} B of {donor_name} @{at}"
    return data[:at] + chunk + data[at + len(chunk):], f"replace {len(chunk)} B by {donor_name} @{at}"


def damage_flip(rng, data, tree, others):
    meta = [b for b in tree if b.kind == b"meta"]
    lo, hi = (meta[0].start, meta[0].end) if meta and rng.random() < 0.7 else (0, len(data))
    out = bytearray(data)
    spots = []
    for _ in range(rng.choice([1, 1, 2, 4, 8])):
        pos = rng.randrange(lo, hi)
        out[pos] ^= 1 << rng.randrange(8)
        spots.append(pos)
    return bytes(out), f"flip bits @{spots}"


def damage_word(rng, data, tree, others):
    inner = [b for b in tree if b.depth > 0 and b.size > b.header]
    box = rng.choice(inner or tree)
    width = rng.choice([1, 2, 4])
    pos = rng.randrange(box.start + box.header, max(box.start + box.header + 1, box.end - width + 1))
    value = rng.choice(INTERESTING_WORDS)
    return put(data, pos, width, value), f"word in {box.kind.decode('latin-1')} @{pos}/{width} = {value % (1 << (8 * width))}"


DAMAGE = [(damage_box_size, 4), (damage_iloc, 3), (damage_cut_at_box, 2), (damage_cut, 1), (damage_zero, 2),
          (damage_splice, 2), (damage_flip, 3), (damage_word, 3)]


def variants(sources, count, seed):
    """count distinct damaged files [(name, bytes, description)], the same for the same sources
    and seed. A variant keeps its source's extension; one in seven is damaged twice."""
    rng = random.Random(seed)
    seen = {hashlib.sha256(data).digest() for _, data in sources}
    made = []
    while len(made) < count:
        name, data = sources[len(made) % len(sources)]
        others = [s for s in sources if s[0] != name] or sources
        steps = []
        for _ in range(2 if rng.random() < 1 / 7 else 1):
            if len(data) < 16:  # cut to almost nothing already
                break
            tree = boxes(data) or [Box(b"????", 0, 0, len(data), 0)]
            damage = rng.choices([d for d, _ in DAMAGE], [w for _, w in DAMAGE])[0]
            result = damage(rng, data, tree, others)
            if result is not None:
                data, text = result
                steps.append(text)
        digest = hashlib.sha256(data).digest()
        if not steps or not data or digest in seen:
            continue
        seen.add(digest)
        ext = os.path.splitext(name)[1]
        made.append((f"d{len(made):05d}{ext}", data, f"{name}: " + "; ".join(steps)))
    return made


# ---- Runs and judging --------------------------------------------------------------------

Tally = collections.namedtuple("Tally", "converted failed faults")


def without_metadata(data, fmt):
    """The file without its Exif, XMP and ICC (JPG APP1 and APP2 segments; PNG eXIf, iTXt, iCCP
    chunks); raises ValueError when the segments or chunks do not chain up to the pixels."""
    out, pos = bytearray(data[:8 if fmt == "PNG" else 2]), 8 if fmt == "PNG" else 2
    while True:
        if fmt == "PNG":
            length, kind = struct.unpack_from(">I4s", data, pos)
            end = pos + 12 + length
            if kind not in (b"eXIf", b"iTXt", b"iCCP"):
                out += data[pos:end]
            if kind == b"IEND":
                return bytes(out)
        else:
            if data[pos] != 0xFF:
                raise ValueError(f"no marker at {pos}")
            marker = data[pos + 1]
            if marker == 0xDA:
                return bytes(out + data[pos:])
            end = pos + 2 + struct.unpack_from(">H", data, pos + 2)[0]
            if marker not in (0xE1, 0xE2):
                out += data[pos:end]
        if end > len(data):
            raise ValueError(f"a segment or chunk at {pos} runs past the end")
        pos = end


def gain_map_decodes(path):
    """A JPG with an MPF index or an hdrgm claim has a second image that ImageMagick decodes."""
    with open(path, "rb") as f:
        data = f.read()
    if b"MPF\0" not in data and b"http://ns.adobe.com/hdr-gain-map/1.0/" not in data:
        return True
    second = e2e.run("exiftool", "-b", "-MPImage2", path).stdout
    claims = e2e.run("exiftool", "-s3", "-NumberOfImages", "-XMP-hdrgm:Version", path).stdout.strip()
    if not second and not claims:
        return True  # those bytes were the picture's, not an index or a packet
    return bool(second) and e2e.run("identify", "-regard-warnings", "jpeg:-", input=second).returncode == 0


MOTION_CLAIM = re.compile(rb"MotionPhoto\s*(?:=\s*[\"']\s*1\s*[\"']|>\s*1\s*<)")
VIDEO_LENGTH = re.compile(rb"<Item:Semantic>MotionPhoto</Item:Semantic><Item:Mime>video/mp4</Item:Mime><Item:Length>(\d+)<")


def unclaimed_part(path, fmt):
    """What an output claims without holding it, or None: a motion photo is only a JPG whose directory
    names a video that ends the file as an MP4 (boxes from ftyp to the last byte); never MicroVideo."""
    with open(path, "rb") as f:
        data = f.read()
    if re.search(rb"MicroVideo\w*\s*[=>]", data):
        return "a MicroVideo property"
    if not MOTION_CLAIM.search(data):
        return None
    lengths = VIDEO_LENGTH.findall(data)
    if fmt == "PNG" or len(lengths) != 1 or not 0 < int(lengths[0]) < len(data):
        return f"a motion-photo claim with video lengths {lengths}"
    start = len(data) - int(lengths[0])
    tail = boxes(data, start)
    if not tail or tail[0].kind != b"ftyp" or max(b.end for b in tail if b.depth == 0) != len(data):
        return "a motion-photo claim without the MP4 at the end"
    return None


def decodes(outputs, fmt):
    """{path: (width, height)} for outputs that decode whole as the asked kind, {path: problem}
    for the others. Damaged Exif, XMP and ICC bytes are carried over as they were, and
    ImageMagick warns about them: then the pixels are judged without them."""
    kind = "JPEG" if fmt == "JPG" else "PNG"
    problems = {}
    for path in outputs:
        result = e2e.run("identify", "-regard-warnings", "-format", "%m %w %h\n", path)
        if result.returncode != 0:
            with open(path, "rb") as f:
                data = f.read()
            try:
                bare = without_metadata(data, fmt)
            except (ValueError, struct.error) as error:
                problems[path] = f"broken container: {error}"
                continue
            if bare != data:
                result = e2e.run("identify", "-regard-warnings", "-format", "%m %w %h\n", f"{kind.lower()}:-", input=bare)
        lines = result.stdout.decode(errors="replace").split()
        if result.returncode != 0 or len(lines) != 3 or lines[0] != kind:
            problems[path] = f"identify: {(result.stderr or result.stdout).decode(errors='replace').strip()[:200]}"
        elif fmt == "PNG" and e2e.run("pngcheck", "-q", path).returncode != 0:
            problems[path] = "pngcheck refuses it"
        elif fmt == "JPG" and not gain_map_decodes(path):
            problems[path] = "its gain map, named by the MPF index, does not decode"
        elif claim := unclaimed_part(path, fmt):
            problems[path] = claim
        else:
            problems[path] = (int(lines[1]), int(lines[2]))
    return problems


def judge(case, folder, fmt, files, limits, code, report):
    """Faults of one finished run [(variant, kind, detail)] and its converted and failed names."""
    faults, converted, failed = [], [], []
    if code not in (0, 1):
        faults.append(("*", "crash", f"exit code {code:#x}"))
    if not isinstance(report, dict) or not isinstance(report.get("results"), list):
        return faults + [("*", "bad report", str(report)[:300])], converted, failed
    results = report.get("results", [])
    names = [os.path.basename(e2e.unix_path(r.get("source", "Z:"))) for r in results]
    if sorted(names) != sorted(files) or report.get("format") != fmt or "error" in report:
        faults.append(("*", "bad report", f"{len(results)} results for {len(files)} files, format "
                       f"{report.get('format')}, note {report.get('error')!r}"))
    if report.get("exit_code") != code:
        faults.append(("*", "bad report", f"report says {report.get('exit_code')}, process {code}"))
    outputs = {}
    for name, r in zip(names, results):
        if r.get("status") == "完成" and r.get("output") and "error" not in r:
            outputs[e2e.unix_path(r["output"])] = name
        elif r.get("status") == "失敗" and r.get("error", "").strip() and "output" not in r:
            failed.append((name, r["error"]))
        else:
            faults.append((name, "bad report", json.dumps(r, ensure_ascii=False)))
    unsuccessful = sum(1 for r in results if r.get("status") != "完成" or "warning" in r)
    if code in (0, 1) and code != (1 if unsuccessful else 0):
        faults.append(("*", "bad report", f"exit code {code} with {unsuccessful} unsuccessful results"))
    for output, name in outputs.items():
        pattern = re.escape(os.path.splitext(name)[0]) + r"( \(\d+\))?\." + fmt.lower()
        if os.path.dirname(output) != os.path.abspath(folder) or not re.fullmatch(pattern, os.path.basename(output)):
            faults.append((name, "undecodable output", f"unexpected output path {output}"))
    for path, found in decodes([o for o in outputs if os.path.exists(o)], fmt).items():
        name = outputs[path]
        w, h = found if isinstance(found, tuple) else (0, 0)
        if not isinstance(found, tuple):
            faults.append((name, "undecodable output", found))
        elif not (0 < w <= limits[name] and 0 < h <= limits[name]):
            faults.append((name, "undecodable output", f"implausible size {w}x{h}"))
        else:
            converted.append(name)
    for output, name in outputs.items():
        if not os.path.exists(output):
            faults.append((name, "undecodable output", "reported output missing"))
    for name, digest in files.items():
        if e2e.sha256(os.path.join(folder, name)) != digest:
            faults.append((name, "changed source", ""))
    extra = set(os.listdir(folder)) - set(files) - {os.path.basename(o) for o in outputs}
    if extra:
        faults.append(("*", "leftover", ", ".join(sorted(extra))))
    return faults, converted, failed


def convert_folder(case, folder, fmt, files, limits, settings):
    """One silent run on a folder of damaged files: (faults, converted, failed)."""
    before = set(glob.glob(e2e.REPORTS(case.args.prefix)))
    process = case.start(fmt, folder, settings)
    try:
        process.communicate(timeout=60 + 5 * len(files))
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        # Whatever of the program still runs in the prefix goes with the prefix's wine server.
        e2e.run(os.path.join(REPO, "scripts", "wine-prefix.sh"), "stop", case.args.prefix)
        return [("*", "hang", f"no end within {60 + 5 * len(files)} s")], [], []
    try:
        report = case.report_of(folder, before)
    except (e2e.Failed, ValueError, KeyError, TypeError) as error:
        report = f"{type(error).__name__}: {error}"
    return judge(case, folder, fmt, files, limits, process.returncode, report)


def run_set(case, fmt, made, limits, batch, singles, keep):
    """Converts the variants to fmt, batch to a folder and the last `singles` one to a folder; a
    run whose fault names no file (a hang, a crash, a broken report) is repeated a file at a
    time to find the file. Returns the Tally."""
    settings = case.settings()
    together = made[:len(made) - singles]
    groups = [together[i:i + batch] for i in range(0, len(together), batch)]
    groups += [[v] for v in made[len(made) - singles:]] if singles else []
    converted, failed, faults = [], [], []
    for index, group in enumerate(groups):
        folder = os.path.join(case.work, f"{fmt} {index:03d} 損壞")
        found, ok, bad = convert_group(case, folder, fmt, group, limits, settings)
        if any(who == "*" for who, _, _ in found) and len(group) > 1:
            print(f"{fmt} run {index}: {sorted({k for _, k, _ in found})} for the whole folder; one file at a time")
            found, ok, bad = [], [], []
            for v in group:
                f1, o1, b1 = convert_group(case, folder + " " + v[0], fmt, [v], limits, settings)
                shutil.rmtree(folder + " " + v[0], ignore_errors=True)
                found += [(v[0] if who == "*" else who, kind, detail) for who, kind, detail in f1]
                ok += o1
                bad += b1
        converted += ok
        failed += bad
        faults += found
        shutil.rmtree(folder, ignore_errors=True)
    descriptions = {name: text for name, _, text in made}
    for name, kind, detail in faults:
        print(f"FAULT {fmt} {name} [{descriptions.get(name, '')}]: {kind}: {detail}")
        if keep and name in descriptions:
            os.makedirs(keep, exist_ok=True)
            with open(os.path.join(keep, name), "wb") as f:
                f.write(dict((n, d) for n, d, _ in made)[name])
    return Tally(converted, failed, faults)


def convert_group(case, folder, fmt, group, limits, settings):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    files = {}
    for name, data, _ in group:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        files[name] = hashlib.sha256(data).hexdigest()
    return convert_folder(case, folder, fmt, files, limits, settings)


def sources_of(args):
    """(name, bytes) of the photographs to damage: the samples when there, and our fixtures."""
    samples = SAMPLES + (LARGE if args.large else [])
    paths = [os.path.join(args.samples, p) for p in samples if os.path.exists(os.path.join(args.samples, p))]
    paths += [os.path.join(args.fixtures, p) for p in FIXTURES]
    sources = []
    # With the phone photographs, an iPhone photograph whose gain map becomes a gain-map JPEG.
    pug = os.path.join(args.samples, "pillow-heif", "pug.heic")
    if args.large and os.path.exists(pug):
        with open(pug, "rb") as f:
            sources.append(("pug-headroom.heic", e2e.with_gain_map_headroom(f.read())))
    for path in paths:
        if not os.path.exists(path):
            print(f"test photograph missing: {path}")
            sys.exit(e2e.SKIP)
        with open(path, "rb") as f:
            sources.append((os.path.basename(path), f.read()))
    return sources


def main():
    parser = argparse.ArgumentParser()
    for option in ("--exe", "--run", "--prefix", "--fixtures", "--samples", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--variants", type=int, default=60)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--batch", type=int, default=100)
    parser.add_argument("--singles", type=int, default=2, help="variants run one to a folder, per format")
    parser.add_argument("--large", action="store_true", help="damage a tiled phone photograph too (slow)")
    parser.add_argument("--messages", type=int, default=0, help="print this many most frequent failure messages")
    parser.add_argument("--keep", help="folder for the damaged files that show a fault")
    args = parser.parse_args()
    for tool in ("identify", "pngcheck"):
        if shutil.which(tool) is None:
            print(f"{tool} is not installed: skipped")
            return e2e.SKIP
    started = time.monotonic()
    sources = sources_of(args)
    made = variants(sources, args.variants, args.seed)
    # The fixture maker's hostile files, each built to reach one published decoder fault, go
    # through both formats as they are.
    crafted = []
    for path in sorted(glob.glob(os.path.join(args.fixtures, "crafted-*.heic"))):
        with open(path, "rb") as f:
            crafted.append((os.path.basename(path), f.read(), os.path.basename(path) + ": as crafted"))
    # A decoded picture is at most as wide or high as the largest image its intact source declares.
    largest = {name: max([max(s) for s in ispe_sizes(data)] + [1]) for name, data in sources + [c[:2] for c in crafted]}
    limits = {name: largest[text.split(":")[0]] for name, _, text in made + crafted}
    case = e2e.Case(args, f"damaged-{args.seed}")
    half = (len(made) + 1) // 2
    made += crafted
    tallies = [run_set(case, "JPG", made[:half] + crafted, limits, args.batch, min(args.singles, half), args.keep),
               run_set(case, "PNG", made[half:], limits, args.batch, min(args.singles, len(made) - half), args.keep)]
    converted = sum(len(t.converted) for t in tallies)
    failed = sum(len(t.failed) for t in tallies)
    faults = [f for t in tallies for f in t.faults]
    kinds = collections.Counter(kind for _, kind, _ in faults)
    print(f"seed {args.seed}: {len(made)} variants of {len(sources)} photographs, {converted} converted, "
          f"{failed} failed with a message, {len(faults)} faults"
          + (f" ({', '.join(f'{k}: {n}' for k, n in sorted(kinds.items()))})" if faults else "")
          + f", {time.monotonic() - started:.0f} s")
    origin = {name: text.split(":")[0] for name, _, text in made}
    made_of, converted_of = collections.Counter(origin.values()), collections.Counter(origin[n] for t in tallies for n in t.converted)
    print("converted per photograph: " + ", ".join(f"{n} {converted_of[n]}/{made_of[n]}" for n in sorted(made_of)))
    messages = collections.Counter(m for t in tallies for _, m in t.failed)
    for message, n in messages.most_common(args.messages):
        print(f"{n:6d} × {message}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
