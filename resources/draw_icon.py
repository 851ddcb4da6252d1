#!/usr/bin/python3
"""Draws the application icon: one .ico with nine 32-bit images (16 to 256 px), each drawn at
its own size so that small sizes stay crisp. Run: /usr/bin/python3 resources/draw_icon.py resources/app.ico"""
import io
import struct
import sys

from PIL import Image, ImageDraw

SIZES = [16, 20, 24, 32, 40, 48, 64, 128, 256]
BLUE = (39, 100, 173, 255)
DEEP = (24, 53, 84, 255)
SKY = (231, 240, 251, 255)
SUN = (255, 196, 61, 255)
HILL = (88, 160, 120, 255)
WHITE = (255, 255, 255, 255)


def draw(size: int) -> Image.Image:
    scale = 4  # draw large, then reduce: smooth edges without an anti-aliasing API
    s = size * scale
    img = Image.new("RGBA", (s, s), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    r = max(2, s // 5)
    d.rounded_rectangle([0, 0, s - 1, s - 1], radius=r, fill=BLUE)
    # the photograph: a pale card with a sun and two hills
    m = s * 0.17
    card = [m, m, s - m, s - m * 1.25]
    d.rounded_rectangle(card, radius=max(1, s // 16), fill=SKY)
    cx, cy, cr = s * 0.62, s * 0.36, s * 0.09
    d.ellipse([cx - cr, cy - cr, cx + cr, cy + cr], fill=SUN)
    d.polygon([(card[0], card[3]), (s * 0.40, s * 0.44), (s * 0.62, card[3])], fill=HILL)
    d.polygon([(s * 0.45, card[3]), (s * 0.66, s * 0.52), (card[2], card[3])], fill=DEEP)
    # the arrow below the card: the photograph becomes a new file
    ay = s - m * 0.72
    d.line([(s * 0.30, ay), (s * 0.66, ay)], fill=WHITE, width=max(1, s // 18))
    d.polygon([(s * 0.64, ay - s * 0.07), (s * 0.76, ay), (s * 0.64, ay + s * 0.07)], fill=WHITE)
    return img.resize((size, size), Image.LANCZOS)


def main(out_path: str) -> None:
    images = []
    for size in SIZES:
        buf = io.BytesIO()
        draw(size).save(buf, format="PNG")
        images.append((size, buf.getvalue()))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        blobs += data
    with open(out_path, "wb") as f:
        f.write(header + entries + blobs)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "app.ico")
