"""Judges gain-map JPGs with readers nobody here wrote: exiftool 13 (MPF, XMP), gainmap-js (MPF
offsets, ISO 21496-1), ultrahdr_app (the HDR rendition), heif-convert (the source's gain map)."""

import array
import collections
import json
import math
import os
import shutil
import subprocess

from PIL import Image

# |log2(written boost / the source's boost)| over the gain map, mean and 99th percentile. Measured
# on pug.heic's gain map at quality 75 (all Wine's encoder writes): 0.0038 and 0.014 stops; a
# mirrored gain map measures 0.025 / 0.11, one without the remap 0.13 / 0.21.
BOOST_MEAN_STOPS, BOOST_P99_STOPS = 0.01, 0.04
HERE = os.path.dirname(os.path.abspath(__file__))
# libultrahdr as built decodes no picture wider or higher than this (the 200-megapixel one is).
ULTRAHDR_MAX_SIDE = 8192
READERS = ("VELLUMORA_EXIFTOOL", "VELLUMORA_GAINMAP_JS", "VELLUMORA_ULTRAHDR_APP", "node", "heif-convert")
FIELDS = {"gainMapMin": "GainMapMin", "gainMapMax": "GainMapMax", "gamma": "Gamma", "offsetSdr": "OffsetSDR",
          "offsetHdr": "OffsetHDR", "hdrCapacityMin": "HDRCapacityMin", "hdrCapacityMax": "HDRCapacityMax"}


def load_tools(deps_env=os.path.join(HERE, "..", "..", ".test-deps.env"), need=READERS):
    """The readers' paths (scripts/setup-tests.sh's .test-deps.env and PATH), or None when one of
    those needed is missing."""
    tools = {"node": shutil.which("node"), "heif-convert": shutil.which("heif-convert")}
    if os.path.exists(deps_env):
        with open(deps_env, encoding="utf-8") as f:
            tools.update(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    return tools if all(tools.get(k) and os.path.exists(tools[k]) for k in need) else None


def _run(*cmd, text=True):
    return subprocess.run(list(cmd), capture_output=True, text=text, timeout=300)


def _tags(tools, path):
    r = _run("perl", tools["VELLUMORA_EXIFTOOL"], "-j", "-n", "-a", "-G1", "-struct", path)
    return json.loads(r.stdout)[0] if r.stdout.strip() else {}


def judge_sdr_jpeg(jpg_path, tools):
    """Problems when a plain JPG has a second image or claims one (gain-map XMP, a directory)."""
    parts = sorted({k.split(":")[0] for k in _tags(tools, jpg_path)
                    if k.startswith(("MPF0:", "MPImage", "XMP-hdrgm:", "XMP-GContainer:"))})
    return [f"{os.path.basename(jpg_path)} has gain-map parts: {', '.join(parts)}"] if parts else []


def _apple_headroom(tools, source_heic_path, dump_tags):
    """Apple's headroom: the gain map's XMP, else Apple's rule on MakerNote tags 0x0021 and 0x0030
    (0x0030 read as 0 when only 0x0021 is there, as Chromium, libavif and libultrahdr read it)."""
    if dump_tags.get("XMP-HDRGainMap:HDRGainMapHeadroom") is not None:
        return dump_tags["XMP-HDRGainMap:HDRGainMapHeadroom"]
    note = _tags(tools, source_heic_path)
    m33, m48 = note.get("Apple:HDRHeadroom"), note.get("Apple:HDRGain", 0)
    if m33 is None:
        return None
    if m33 < 1:
        stops = -20 * m48 + 1.8 if m48 <= 0.01 else -0.101 * m48 + 1.601
    else:
        stops = -70 * m48 + 3 if m48 <= 0.01 else -0.303 * m48 + 2.303
    return 2 ** max(stops, 0)


def source_gain_map(tools, source_heic_path, work_dir):
    """(want, gain map, boost) of a photograph: the metadata its own gain map states (hdrgm XMP:
    Samsung's, which a tmap of the same photograph repeats; Apple's headroom otherwise) as the
    written hdrgm fields must say it, heif-convert's dump of that gain map (turned as the picture
    when it is stored without a turn of its own beside a turned picture), and the log2 boost the
    source gives each stored value. (None, None, None) when heif-convert finds no gain map."""
    _run(tools["heif-convert"], "--with-aux", "--no-colons", source_heic_path, os.path.join(work_dir, "source.png"))
    dumps = [n for n in sorted(os.listdir(work_dir)) if n.startswith("source-") and "hdrgainmap" in n]
    if not dumps:
        return None, None, None
    path = os.path.join(work_dir, dumps[0])
    dump, photo = _tags(tools, path), _tags(tools, source_heic_path)
    turn = {1: Image.Transpose.ROTATE_90, 2: Image.Transpose.ROTATE_180, 3: Image.Transpose.ROTATE_270}.get(
        photo.get("QuickTime:Rotation"))
    source_map = Image.open(path).getchannel(0)
    source_map = source_map.transpose(turn) if turn else source_map
    if dump.get("XMP-hdrgm:GainMapMax") is not None:
        v = {k: dump.get("XMP-hdrgm:" + f, d) for (k, f), d in zip(FIELDS.items(), (0, None, 1, 1 / 64, 1 / 64, 0, None))}
        boost = [v["gainMapMin"] + (v["gainMapMax"] - v["gainMapMin"]) * (i / 255) ** (1 / v["gamma"]) for i in range(256)]
        return v, source_map, boost
    headroom = _apple_headroom(tools, source_heic_path, dump)
    if headroom is None:
        return None, None, None
    stops = math.log2(headroom)
    boost = [math.log2(1 + (headroom - 1) * (v / 4.5 if v < 0.081 else ((v + 0.099) / 1.099) ** (1 / 0.45)))
             for v in (i / 255 for i in range(256))]
    return dict(zip(FIELDS, (0, stops, 1, 0, 0, 0, stops))), source_map, boost


def judge_gain_map_jpeg(jpg_path, work_dir, tools, want, source_map=None, source_boost=None):
    """(problems, figures) of a gain-map JPG: MPF, directory and ISO 21496-1 block as readers see
    them, the hdrgm fields as `want` says (a number, or one per channel), ultrahdr_app's HDR
    rendition, and, given the source's gain map and the boost it gives each value, the boost per
    pixel against the written one."""
    problems, figures = [], {}
    expect = lambda ok, problem: ok or problems.append(problem)  # noqa: E731
    os.makedirs(work_dir, exist_ok=True)
    main = _tags(tools, jpg_path)
    expect(main.get("MPF0:NumberOfImages") == 2, f"MPF NumberOfImages is {main.get('MPF0:NumberOfImages')}")
    expect(str(main.get("XMP-hdrgm:Version")) == "1.0", f"primary hdrgm:Version is {main.get('XMP-hdrgm:Version')}")
    expect(str(main.get("APP2:UniformResourceName")).startswith("urn:iso:std:iso:ts:21496:-1"), "no ISO 21496-1 block")
    items = [i.get("Item", {}) for i in main.get("XMP-GContainer:ContainerDirectory") or []] + [{}, {}]
    expect([i.get("Semantic") for i in items[:2]] == ["Primary", "GainMap"], f"Container:Directory is {items[:-2]}")
    expect(items[1].get("Length") == main.get("MPImage2:MPImageLength"), f"GainMap length {items[1].get('Length')} is not MPF's")
    gm_path = os.path.join(work_dir, "written-gain-map.jpg")
    with open(gm_path, "wb") as f:
        f.write(_run("perl", tools["VELLUMORA_EXIFTOOL"], "-b", "-MPImage2", jpg_path, text=False).stdout)
    written = Image.open(gm_path)  # an image that does not decode fails the case here
    written.load()
    gm = _tags(tools, gm_path)
    readings = {"exiftool": {k: gm.get("XMP-hdrgm:" + v) for k, v in FIELDS.items()}}
    expect(str(gm.get("XMP-hdrgm:BaseRenditionIsHDR")) == "False", "gain map's BaseRenditionIsHDR is not False")
    r = _run(tools["node"], os.path.join(HERE, "gain_map_probe.mjs"), tools["VELLUMORA_GAINMAP_JS"], jpg_path)
    if expect(r.returncode == 0, "gainmap-js refuses the file: " + (r.stderr.strip().splitlines() or ["?"])[-1]):
        probe = json.loads(r.stdout)
        expect(probe["gainMapLength"] == os.path.getsize(gm_path), f"gainmap-js finds {probe['gainMapLength']} bytes")
        readings.update({"gainmap-js " + k: probe[k] or {} for k in ("metadata", "gainMapIso")})
    for reader, meta in readings.items():
        values = {k: v if isinstance(v, list) else [v] for k, v in meta.items()}
        wrong = [f"{k}={meta.get(k)}" for k, e in want.items()
                 if not all(isinstance(v, (int, float)) and abs(v - x) < 1e-3
                            for v, x in zip(values.get(k, [None]), e if isinstance(e, list) else [e] * 3))]
        expect(not wrong, f"{reader}: {', '.join(wrong)} (want {want})")
    raw = os.path.join(work_dir, "hdr-rendition.raw")  # PQ, 10-bit RGBA: 4 bytes per pixel
    if max(main["File:ImageWidth"], main["File:ImageHeight"]) <= ULTRAHDR_MAX_SIDE:
        r = _run(tools["VELLUMORA_ULTRAHDR_APP"], "-m", "1", "-j", jpg_path, "-o", "2", "-O", "5", "-z", raw)
        expect(r.returncode == 0 and os.path.getsize(raw) == 4 * main["File:ImageWidth"] * main["File:ImageHeight"],
               f"ultrahdr_app cannot decode it (rc {r.returncode}): {(r.stdout + r.stderr).strip()[-200:]}")
    if source_map is None:
        return problems, figures
    # The boost per pixel: the source's own rule on its gain map against the written metadata on
    # the written gain map.
    g = {k: gm.get("XMP-hdrgm:" + v) for k, v in FIELDS.items()}
    if written.mode != "L" or written.size != source_map.size or not all(isinstance(v, (int, float)) for v in g.values()):
        return problems + [f"gain map {written.mode} {written.size}, the source's {source_map.size}: nothing to compare"], figures
    ours = [g["gainMapMin"] + (g["gainMapMax"] - g["gainMapMin"]) * (i / 255) ** (1 / g["gamma"]) for i in range(256)]
    pairs = collections.Counter(array.array("H", Image.merge("LA", (source_map, written)).tobytes()))  # low byte: source
    errors = sorted((abs(ours[p >> 8] - source_boost[p & 255]), n) for p, n in pairs.items())
    total, seen = sum(pairs.values()), 0
    p99 = next(e for e, n in errors if (seen := seen + n) >= 0.99 * total)
    figures.update(boost_mean_stops=round(sum(e * n for e, n in errors) / total, 5), boost_p99_stops=round(p99, 5))
    expect(figures["boost_mean_stops"] <= BOOST_MEAN_STOPS and p99 <= BOOST_P99_STOPS, f"boost off the source's: {figures}")
    return problems, figures
