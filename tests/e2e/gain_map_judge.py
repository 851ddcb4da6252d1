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

# |log2(written boost / Apple's boost)| over the gain map, mean and 99th percentile. Measured on
# pug.heic's gain map at quality 75 (all Wine's encoder writes): 0.0038 and 0.014 stops; a
# mirrored gain map measures 0.025 / 0.11, one without the remap 0.13 / 0.21.
BOOST_MEAN_STOPS, BOOST_P99_STOPS = 0.01, 0.04
HERE = os.path.dirname(os.path.abspath(__file__))
READERS = ("VELLUMORA_EXIFTOOL", "VELLUMORA_GAINMAP_JS", "VELLUMORA_ULTRAHDR_APP", "node", "heif-convert")
FIELDS = {"gainMapMin": "GainMapMin", "gainMapMax": "GainMapMax", "gamma": "Gamma", "offsetSdr": "OffsetSDR",
          "offsetHdr": "OffsetHDR", "hdrCapacityMin": "HDRCapacityMin", "hdrCapacityMax": "HDRCapacityMax"}


def load_tools(deps_env=os.path.join(HERE, "..", "..", ".test-deps.env")):
    """The readers' paths (scripts/setup-tests.sh's .test-deps.env and PATH), or None when one is missing."""
    tools = {"node": shutil.which("node"), "heif-convert": shutil.which("heif-convert")}
    if os.path.exists(deps_env):
        with open(deps_env, encoding="utf-8") as f:
            tools.update(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    return tools if all(tools.get(k) and os.path.exists(tools[k]) for k in READERS) else None


def _run(*cmd, text=True):
    return subprocess.run(list(cmd), capture_output=True, text=text, timeout=300)


def _tags(tools, path):
    r = _run("perl", tools["VELLUMORA_EXIFTOOL"], "-j", "-n", "-a", "-G1", "-struct", path)
    return json.loads(r.stdout)[0] if r.stdout.strip() else {}


def judge_sdr_jpeg(jpg_path, tools, source_path=None):
    """Problems when a plain JPG has a second image or gain-map XMP beyond its source's own."""
    def parts(path):
        return {k.split(":")[0] for k in _tags(tools, path) if k.startswith(("MPF0:", "MPImage", "XMP-hdrgm:", "XMP-GContainer:"))}
    extra = sorted(parts(jpg_path) - (parts(source_path) if source_path else set()))
    return [f"{os.path.basename(jpg_path)} has gain-map parts: {', '.join(extra)}"] if extra else []


def judge_gain_map_jpeg(jpg_path, source_heic_path, work_dir, tools):
    """(problems, figures) of a JPG that should keep the source's Apple gain map."""
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
    # The source's gain map as heif-convert dumps it, and the headroom its XMP states.
    source_map = os.path.join(work_dir, "source-urn_com_apple_photo_2020_aux_hdrgainmap.png")
    _run(tools["heif-convert"], "--with-aux", "--no-colons", source_heic_path, os.path.join(work_dir, "source.png"))
    headroom = _tags(tools, source_map).get("XMP-HDRGainMap:HDRGainMapHeadroom") if os.path.exists(source_map) else None
    if headroom is None:
        return problems + ["heif-convert wrote no Apple gain map stating its headroom"], figures
    figures["headroom"], stops = round(headroom, 4), math.log2(headroom)
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
    want = dict(zip(FIELDS, (0, stops, 1, 0, 0, 0, stops)))
    for reader, meta in readings.items():
        values = {k: v if isinstance(v, list) else [v] for k, v in meta.items()}
        wrong = [f"{k}={meta.get(k)}" for k, e in want.items()
                 if not all(isinstance(v, (int, float)) and abs(v - e) < 1e-3 for v in values.get(k, [None]))]
        expect(not wrong, f"{reader}: {', '.join(wrong)} (log2 headroom {stops:.4f})")
    raw = os.path.join(work_dir, "hdr-rendition.raw")  # PQ, 10-bit RGBA: 4 bytes per pixel
    r = _run(tools["VELLUMORA_ULTRAHDR_APP"], "-m", "1", "-j", jpg_path, "-o", "2", "-O", "5", "-z", raw)
    expect(r.returncode == 0 and os.path.getsize(raw) == 4 * main["File:ImageWidth"] * main["File:ImageHeight"],
           f"ultrahdr_app cannot decode it (rc {r.returncode}): {(r.stdout + r.stderr).strip()[-200:]}")
    # The boost per pixel against Apple's rule on the source's gain map.
    source = Image.open(source_map).getchannel(0)
    gain_max = gm.get("XMP-hdrgm:GainMapMax")
    if written.mode != "L" or written.size != source.size or not isinstance(gain_max, (int, float)):
        return problems + [f"gain map {written.mode} {written.size}, the source's {source.size}: nothing to compare"], figures
    apple = [math.log2(1 + (headroom - 1) * (v / 4.5 if v < 0.081 else ((v + 0.099) / 1.099) ** (1 / 0.45)))
             for v in (i / 255 for i in range(256))]
    pairs = collections.Counter(array.array("H", Image.merge("LA", (source, written)).tobytes()))  # low byte: source
    errors = sorted((abs(gain_max * (p >> 8) / 255 - apple[p & 255]), n) for p, n in pairs.items())
    total, seen = sum(pairs.values()), 0
    p99 = next(e for e, n in errors if (seen := seen + n) >= 0.99 * total)
    figures.update(boost_mean_stops=round(sum(e * n for e, n in errors) / total, 5), boost_p99_stops=round(p99, 5))
    expect(figures["boost_mean_stops"] <= BOOST_MEAN_STOPS and p99 <= BOOST_P99_STOPS, f"boost off Apple's: {figures}")
    return problems, figures
