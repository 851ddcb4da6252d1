#!/usr/bin/env python3
"""Writes the small seed corpus of the fuzz targets into corpus/<target>/ (run once; the files are kept)."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def tiff(order, entries, ifd0=8):
    e = '<' if order == b'II' else '>'
    body = order + struct.pack(e + 'HI', 42, ifd0)
    body += b'\0' * (ifd0 - 8)
    body += struct.pack(e + 'H', len(entries))
    for tag, typ, count, value in entries:
        body += struct.pack(e + 'HHI', tag, typ, count) + value
    return body + struct.pack(e + 'I', 0)


def short(order, v):
    return struct.pack(('<' if order == b'II' else '>') + 'HH', v, 0)


def exif_blocks():
    ii = tiff(b'II', [(0x010F, 2, 4, b'Cam\0'), (0x0112, 3, 1, short(b'II', 6))])
    mm = tiff(b'MM', [(0x0112, 3, 1, short(b'MM', 8)), (0x0131, 2, 4, b'abc\0')])
    return {
        'marker_ii': struct.pack('>I', 6) + b'Exif\0\0' + ii,
        'marker_mm': struct.pack('>I', 6) + b'Exif\0\0' + mm,
        'offset0': struct.pack('>I', 0) + ii,
        'no_orientation': struct.pack('>I', 6) + b'Exif\0\0' + tiff(b'MM', [(0x010F, 2, 4, b'Cam\0')]),
        'long_orientation': struct.pack('>I', 6) + b'Exif\0\0' + tiff(b'II', [(0x0112, 4, 1, b'\1\0\0\0')]),
    }


def chunk(t, d):
    return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def main():
    blocks = exif_blocks()
    for name, data in blocks.items():
        write('exif_orientation', name, data)

    write('xmp_orientation', 'attribute',
          b'<rdf:Description tiff:Orientation="6" tiff:Make="x"/><tiff:Orientation>3</tiff:Orientation>')
    write('xmp_orientation', 'near_misses',
          b"tiff:Orientation='6' tiff:Orientation=\"9\" <tiff:Orientation> 3 </tiff:Orientation>"
          b'tiff:Orientatiotiff:Orientation="1"n="2"')

    kept = b'Exif\0\0' + blocks['marker_ii'][10:]
    app0 = b'\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00'
    sos = b'\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\xD2\xCF\xFF\xD9'
    write('find_jpeg_exif', 'exif_first', b'\xFF\xD8' + b'\xFF\xE1' + struct.pack('>H', len(kept) + 2) + kept + app0 + sos)
    write('find_jpeg_exif', 'exif_after_app0', b'\xFF\xD8' + app0 + b'\xFF\xE1' + struct.pack('>H', len(kept) + 2) + kept + sos)
    write('find_jpeg_exif', 'no_exif', b'\xFF\xD8' + app0 + sos)

    ihdr = chunk(b'IHDR', struct.pack('>IIBBBBB', 1, 1, 8, 0, 0, 0, 0))
    rest = chunk(b'IDAT', zlib.compress(b'\x00\x80')) + chunk(b'IEND', b'')
    sig = b'\x89PNG\r\n\x1a\n'
    write('find_png_exif', 'exif', sig + ihdr + chunk(b'eXIf', kept[6:]) + rest)
    write('find_png_exif', 'exif_after_iend', sig + ihdr + rest + chunk(b'eXIf', kept[6:]))
    write('find_png_exif', 'no_exif', sig + ihdr + rest)

    write('round_trip', 'small', bytes(range(0, 96)))
    write('round_trip', 'limits', b'\x01\x03\x01\x02\x01\x04' + b'ICC' * 20)
    write('round_trip', 'random', bytes((i * 37 + 11) & 0xFF for i in range(300)))


if __name__ == '__main__':
    main()
