"""Judges a JPG written from an iPhone photograph with an HDR gain map, with readers nobody here
wrote: the current exiftool (MPF, XMP), @monogrid/gainmap-js (MPF offsets, XMP and ISO 21496-1,
through gain_map_probe.mjs), ultrahdr_app (the HDR rendition) and heif-convert (the source's gain
map, from which the expected boost is worked out per pixel). load_tools() is None when a reader
is missing (skip); judge_gain_map_jpeg() gives (problems, figures); judge_sdr_jpeg() problems."""

import array
import collections
import itertools
import json
import math
import os
import shutil
import subprocess

from PIL import Image

# |log2(written boost / Apple's boost)| over the gain map's pixels, mean and 99th percentile.
# Measured on pug.heic's gain map written at quality 75 (all Wine's encoder writes): 0.0038 and
# 0.0137 stops (0.0024 and 0.0090 at quality 95). Faults measure: gain map mirrored 0.025 / 0.11,
# copied without the remap 0.13 / 0.21, remapped without the Rec.709 curve 0.30 / 0.48.
BOOST_MEAN_STOPS = 0.01
BOOST_P99_STOPS = 0.04
HERE = os.path.dirname(os.path.abspath(__file__))
READERS = ("VELLUMORA_EXIFTOOL", "VELLUMORA_GAINMAP_JS", "VELLUMORA_ULTRAHDR_APP", "node", "heif-convert")
FIELDS = {"gainMapMin": "GainMapMin", "gainMapMax": "GainMapMax", "gamma": "Gamma", "offsetSdr": "OffsetSDR",
          "offsetHdr": "OffsetHDR", "hdrCapacityMin": "HDRCapacityMin", "hdrCapacityMax": "HDRCapacityMax"}


def load_tools(deps_env=os.path.join(HERE, "..", "..", ".deps.env")):
    """The readers' paths (scripts/setup.sh's .deps.env and PATH), or None when one is missing."""
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


def apple_headroom(tag33, tag48):
    """Apple's headroom (linear) from MakerNote tags 0x0021 and 0x0030."""
    if tag33 < 1.0:
        stops = 1.8 - 20 * tag48 if tag48 <= 0.01 else 1.601 - 0.101 * tag48
    else:
        stops = 3.0 - 70 * tag48 if tag48 <= 0.01 else 2.303 - 0.303 * tag48
    return 2 ** max(stops, 0.0)


def _wrong_fields(meta, stops):
    """Fields of one reader's metadata (scalars or per-channel lists) that the remap would not give."""
    want = dict(zip(FIELDS, (0, stops, 1, 0, 0, 0, stops)))
    as_list = lambda v: v if isinstance(v, list) else [v]  # noqa: E731
    return [f"{k}={meta.get(k)}" for k, e in want.items()
            if not all(isinstance(v, (int, float)) and abs(v - e) < 1e-3 for v in as_list(meta.get(k)))]


def judge_sdr_jpeg(jpg_path, tools, source_path=None):
    """Problems when a JPG that should be a plain picture carries a second image or hdrgm XMP
    (beyond what the source's own XMP, carried over as it is, already says)."""
    def parts(path):
        return {k.split(":")[0] for k in _tags(tools, path)
                if k.startswith(("MPF0:", "MPImage", "XMP-hdrgm:", "XMP-GContainer:"))}
    groups = sorted(parts(jpg_path) - (parts(source_path) if source_path else set()))
    return [f"{os.path.basename(jpg_path)} has gain-map parts: {', '.join(groups)}"] if groups else []


def judge_gain_map_jpeg(jpg_path, source_heic_path, work_dir, tools):
    problems, figures = [], {}
    expect = lambda ok, problem: ok or problems.append(problem)  # noqa: E731
    os.makedirs(work_dir, exist_ok=True)
    main = _tags(tools, jpg_path)
    expect(main.get("MPF0:NumberOfImages") == 2, f"MPF NumberOfImages is {main.get('MPF0:NumberOfImages')}, not 2")
    expect(str(main.get("XMP-hdrgm:Version")) == "1.0", f"primary hdrgm:Version is {main.get('XMP-hdrgm:Version')}")
    expect(str(main.get("APP2:UniformResourceName")).startswith("urn:iso:std:iso:ts:21496:-1"), "primary has no ISO 21496-1 block")
    items = [i.get("Item", {}) for i in main.get("XMP-GContainer:ContainerDirectory") or []] + [{}, {}]
    expect([i.get("Semantic") for i in items[:2]] == ["Primary", "GainMap"], f"Container:Directory is {items[:-2]}")
    expect(items[1].get("Length") == main.get("MPImage2:MPImageLength"),
           f"GainMap Item:Length {items[1].get('Length')} is not MPF's {main.get('MPImage2:MPImageLength')}")
    # The source's gain map as heif-convert dumps it, and the headroom: the gain map's own XMP,
    # else both of Apple's MakerNote tags; without either the JPG should have no gain map at all.
    source_map = os.path.join(work_dir, "source-urn_com_apple_photo_2020_aux_hdrgainmap.png")
    r = _run(tools["heif-convert"], "--with-aux", "--no-colons", source_heic_path, os.path.join(work_dir, "source.png"))
    if r.returncode != 0 or not os.path.exists(source_map):
        return problems + ["heif-convert wrote no Apple gain map for the source"], figures
    src = {**_tags(tools, source_heic_path), **_tags(tools, source_map)}
    if "XMP-HDRGainMap:HDRGainMapHeadroom" in src:
        headroom = float(src["XMP-HDRGainMap:HDRGainMapHeadroom"])
    elif "Apple:HDRHeadroom" in src and "Apple:HDRGain" in src:
        headroom = apple_headroom(float(src["Apple:HDRHeadroom"]), float(src["Apple:HDRGain"]))
    else:
        return problems + ["the source has no headroom (gain map XMP, MakerNote 0x0021 and 0x0030)"], figures
    figures["headroom"] = round(headroom, 4)
    stops = math.log2(headroom)
    gm_path = os.path.join(work_dir, "written-gain-map.jpg")
    with open(gm_path, "wb") as f:
        f.write(_run("perl", tools["VELLUMORA_EXIFTOOL"], "-b", "-MPImage2", jpg_path, text=False).stdout)
    try:
        with Image.open(gm_path) as im:
            written = im.copy()
    except Exception as e:  # noqa: BLE001 - whatever stops it decoding is the finding
        return problems + [f"MPImage2 does not decode as a JPEG: {e}"], figures
    gm = _tags(tools, gm_path)
    readings = {"exiftool's gain map XMP": {k: gm.get("XMP-hdrgm:" + v) for k, v in FIELDS.items()}}
    expect(str(gm.get("XMP-hdrgm:BaseRenditionIsHDR")) == "False",
           f"gain map hdrgm:BaseRenditionIsHDR is {gm.get('XMP-hdrgm:BaseRenditionIsHDR')}")
    # gainmap-js finds the gain map through the MPF offsets and parses both of its packets.
    r = _run(tools["node"], os.path.join(HERE, "gain_map_probe.mjs"), tools["VELLUMORA_GAINMAP_JS"], jpg_path)
    if expect(r.returncode == 0, "gainmap-js refuses the file: " + (r.stderr.strip().splitlines() or ["?"])[-1]):
        probe = json.loads(r.stdout)
        expect(probe["sdrIsJpeg"] and probe["gainMapIsJpeg"] and probe["gainMapLength"] == os.path.getsize(gm_path),
               f"gainmap-js extracts another gain map: {probe['gainMapLength']} bytes")
        readings.update({f"gainmap-js {k}": probe[k] or {} for k in ("metadata", "gainMapXmp", "gainMapIso")})
    for reader, meta in readings.items():
        wrong = _wrong_fields(meta, stops)
        expect(not wrong, f"{reader}: {', '.join(wrong)} (log2 headroom {stops:.4f})")
    # ultrahdr_app: the whole HDR rendition (PQ, 10-bit RGBA), one 4-byte pixel per SDR pixel.
    raw = os.path.join(work_dir, "hdr-rendition.raw")
    r = _run(tools["VELLUMORA_ULTRAHDR_APP"], "-m", "1", "-j", jpg_path, "-o", "2", "-O", "5", "-z", raw)
    size = os.path.getsize(raw) if os.path.exists(raw) else 0
    expect(r.returncode == 0 and size == 4 * main.get("File:ImageWidth", 0) * main.get("File:ImageHeight", 0),
           f"ultrahdr_app cannot decode it (rc {r.returncode}, {size} bytes): {(r.stdout + r.stderr).strip()[-200:]}")
    if size:
        os.remove(raw)
    # The boost pixel by pixel, the written gain map's against Apple's rule on the source's. The
    # dump keeps the gain map's own orientation: turned as the primary when its shape says so.
    source = Image.open(source_map).getchannel(0)
    turn = {1: Image.ROTATE_90, 2: Image.ROTATE_180, 3: Image.ROTATE_270}.get(src.get("QuickTime:Rotation"))
    if turn is not None and source.size != written.size:
        source = source.transpose(turn)
    figures["gain_map_size"] = "%dx%d" % written.size
    gain_max = gm.get("XMP-hdrgm:GainMapMax")
    if written.mode != "L" or written.size != source.size or not isinstance(gain_max, (int, float)):
        return problems + [f"gain map is {written.mode} {written.size} (the source's {source.size}), "
                           f"GainMapMax {gain_max}: no boost to compare"], figures
    # Apple's boost in stops for each source value (Rec.709-coded), then per (source, written) pair.
    apple = [math.log2(1 + (headroom - 1) * (v / 4.5 if v < 0.081 else ((v + 0.099) / 1.099) ** (1 / 0.45)))
             for v in (i / 255 for i in range(256))]
    pairs = collections.Counter(array.array("H", Image.merge("LA", (source, written)).tobytes()))  # low byte: source
    errors = sorted((abs(gain_max * (p >> 8) / 255 - apple[p & 255]), n) for p, n in pairs.items())
    total = sum(pairs.values())
    p99 = next(e for (e, _), seen in zip(errors, itertools.accumulate(n for _, n in errors)) if seen >= 0.99 * total)
    figures.update(boost_mean_stops=round(sum(e * n for e, n in errors) / total, 5), boost_p99_stops=round(p99, 5))
    expect(figures["boost_mean_stops"] <= BOOST_MEAN_STOPS and p99 <= BOOST_P99_STOPS,
           f"boost is off Apple's by {figures['boost_mean_stops']} stops on average, {figures['boost_p99_stops']} at the 99th percentile")
    return problems, figures


if __name__ == "__main__":  # gain_map_judge.py JPG [HEIC WORK_DIR]: what the judge finds
    import sys
    found = load_tools() or sys.exit(77)
    print(*(judge_gain_map_jpeg(*sys.argv[1:4], found) if len(sys.argv) == 4 else [judge_sdr_jpeg(sys.argv[1], found)]), sep="\n")
