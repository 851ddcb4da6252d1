#!/usr/bin/env python3
"""Checks the JPG and PNG containers against independent readers.

Builds a HEIF-style Exif block, an XMP packet and an ICC profile, normalises them with the container
tool, embeds them into a real encoder's JPG and PNG (ImageMagick) and then checks that pngcheck accepts
the PNG, that exiftool reads back the same Exif tags, XMP and ICC profile from both files, and that
Python's zlib inflates the iCCP stream to the profile. Tools that are missing are skipped; when none of
the outside readers is present the test reports itself skipped (exit code 77).

usage: validate_containers.py <container_tool> <work folder>
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import zlib

SKIP = 77
failures = []
checks = 0


def check(condition, what):
    global checks
    checks += 1
    if not condition:
        failures.append(what)
        print('FAIL:', what)


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def have(tool, probe, marker):
    path = shutil.which(tool)
    if not path:
        return None
    out = run([path] + probe)
    return path if marker in (out.stdout + out.stderr) else None


# ---- inputs ----------------------------------------------------------------------------------------

def exif_block():
    """A big-endian TIFF: IFD0 with Make, Model, Orientation 6 and an Exif IFD with DateTimeOriginal,
    behind the HEIF offset field and the Exif marker."""
    make, model, date = b'Vellumora Test\0', b'Unit 1\0', b'2024:01:02 03:04:05\0'
    ifd0_at = 8
    ifd0_size = 2 + 4 * 12 + 4
    exif_at = ifd0_at + ifd0_size
    exif_size = 2 + 12 + 4
    data_at = exif_at + exif_size
    blobs = b''

    def blob(value):
        nonlocal blobs
        at = data_at + len(blobs)
        blobs += value + (b'\0' if len(value) % 2 else b'')
        return struct.pack('>I', at)

    ifd0 = struct.pack('>H', 4)
    ifd0 += struct.pack('>HHI', 0x010F, 2, len(make)) + blob(make)
    ifd0 += struct.pack('>HHI', 0x0110, 2, len(model)) + blob(model)
    ifd0 += struct.pack('>HHIHH', 0x0112, 3, 1, 6, 0)
    ifd0 += struct.pack('>HHII', 0x8769, 4, 1, exif_at)
    ifd0 += struct.pack('>I', 0)
    sub = struct.pack('>H', 1) + struct.pack('>HHI', 0x9003, 2, len(date)) + blob(date) + struct.pack('>I', 0)
    tiff = b'MM\0\x2a' + struct.pack('>I', ifd0_at) + ifd0 + sub + blobs
    return struct.pack('>I', 6) + b'Exif\0\0' + tiff


XMP = ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
       '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">\n'
       '<rdf:Description rdf:about="" xmlns:tiff="http://ns.adobe.com/tiff/1.0/" '
       'xmlns:xmp="http://ns.adobe.com/xap/1.0/" tiff:Orientation="6" xmp:CreatorTool="Vellumora 測試"/>\n'
       '<rdf:Description rdf:about="" xmlns:tiff="http://ns.adobe.com/tiff/1.0/">'
       '<tiff:Orientation>6</tiff:Orientation><tiff:Make>Vellumora</tiff:Make></rdf:Description>\n'
       '</rdf:RDF></x:xmpmeta>\n<?xpacket end="w"?>').encode('utf-8')


def icc_profile(padding):
    """A version 2 display profile with a description, white point and copyright, padded with a private
    tag so that it needs several JPG chunks and several stored deflate blocks."""
    def s15(v):
        return struct.pack('>i', round(v * 65536))

    desc_text = b'Vellumora test profile\0'
    tags = [
        (b'desc', b'desc\0\0\0\0' + struct.pack('>I', len(desc_text)) + desc_text + b'\0' * 8 + b'\0\0\0' + b'\0' * 67),
        (b'wtpt', b'XYZ \0\0\0\0' + s15(0.9642) + s15(1.0) + s15(0.8249)),
        (b'cprt', b'text\0\0\0\0' + b'No copyright\0'),
        (b'vlmP', b'data\0\0\0\0' + struct.pack('>I', 1) + bytes((i * 13 + 7) & 0xFF for i in range(padding))),
    ]
    table_size = 4 + 12 * len(tags)
    at = 128 + table_size
    table, body = struct.pack('>I', len(tags)), b''
    for sig, data in tags:
        table += sig + struct.pack('>II', at + len(body), len(data))
        body += data + b'\0' * (-len(data) % 4)
    size = 128 + len(table) + len(body)
    header = (struct.pack('>I', size) + b'\0\0\0\0' + struct.pack('>I', 0x02100000) + b'mntrRGB XYZ '
              + struct.pack('>6H', 2024, 1, 2, 3, 4, 5) + b'acsp' + b'\0' * 4 + b'\0' * 4 + b'\0' * 8 + b'\0' * 8
              + b'\0' * 4 + s15(0.9642) + s15(1.0) + s15(0.8249) + b'\0' * 4 + b'\0' * 16 + b'\0' * 28)
    assert len(header) == 128
    return header + table + body


def minimal_png():
    def chunk(t, d):
        return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))
    rows = b''.join(b'\0' + bytes([x * 16, 255 - x * 16, 128]) * 1 for x in range(1)) * 1
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 1, 1, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


# ---- readers ---------------------------------------------------------------------------------------

def png_chunks(data):
    p, chunks = 8, []
    while p + 12 <= len(data):
        n = struct.unpack('>I', data[p:p + 4])[0]
        t = data[p + 4:p + 8]
        body = data[p + 8:p + 8 + n]
        crc = struct.unpack('>I', data[p + 8 + n:p + 12 + n])[0]
        chunks.append((t, body, crc == zlib.crc32(t + body)))
        p += 12 + n
    return chunks


def exiftool_json(exiftool, path):
    out = run([exiftool, '-j', '-n', '-G1', '-a', path])
    return json.loads(out.stdout.decode('utf-8'))[0]


def exiftool_binary(exiftool, tag, path):
    return run([exiftool, '-b', '-' + tag, path]).stdout


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    tool, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)

    def path(name):
        return os.path.join(work, name)

    def tool_run(*args):
        result = run([tool] + list(args))
        check(result.returncode == 0, 'container_tool %s: %s' % (args[0], result.stderr.decode('utf-8', 'replace')))

    exiftool = have('exiftool', ['-ver'], b'.')
    pngcheck = have('pngcheck', ['-h'], b'PNG')
    magick = have('convert', ['-version'], b'ImageMagick')
    if not (exiftool or pngcheck):
        print('SKIP: neither exiftool nor pngcheck is installed')
        return SKIP

    icc = icc_profile(140000)
    inputs = {'block.exif': exif_block(), 'packet.xmp': XMP, 'profile.icc': icc}
    for name, data in inputs.items():
        with open(path(name), 'wb') as f:
            f.write(data)
    tool_run('normalize-exif', path('block.exif'), path('kept.exif'))
    tool_run('strip-xmp', path('packet.xmp'), path('kept.xmp'))
    tool_run('zlib', path('profile.icc'), path('profile.zlib'))
    kept_exif = open(path('kept.exif'), 'rb').read()
    kept_xmp = open(path('kept.xmp'), 'rb').read()
    entry = struct.pack('>HHIHH', 0x0112, 3, 1, 6, 0)
    check(kept_exif == inputs['block.exif'][4:].replace(entry, entry[:8] + b'\0\x01\0\0'),
          'kept Exif is the block with Orientation 1')
    check(kept_xmp == XMP.replace(b'tiff:Orientation="6"', b'').replace(b'<tiff:Orientation>6</tiff:Orientation>', b''),
          'kept XMP lost exactly the two orientation properties')
    check(zlib.decompress(open(path('profile.zlib'), 'rb').read()) == icc, 'zlib inflates the stored stream')

    encoded = {}
    if magick:
        for ext in ('png', 'jpg'):
            result = run([magick, '-size', '24x16', 'gradient:red-blue', '-strip', path('encoded.' + ext)])
            check(result.returncode == 0, 'ImageMagick writes a %s' % ext)
            encoded[ext] = path('encoded.' + ext)
    else:
        print('note: ImageMagick missing; using a hand-made PNG and no JPG')
        with open(path('encoded.png'), 'wb') as f:
            f.write(minimal_png())
        encoded['png'] = path('encoded.png')

    for ext, source in encoded.items():
        out = path('out.' + ext)
        tool_run('build-' + ext, source, path('kept.exif'), path('kept.xmp'), path('profile.icc'), out)
        tool_run('find-exif-' + ext, out, path('found.' + ext + '.exif'))
        check(open(path('found.' + ext + '.exif'), 'rb').read() == kept_exif, '%s: FindExif returns the Exif' % ext)

        if exiftool:
            info = exiftool_json(exiftool, out)
            check(info.get('IFD0:Make') == 'Vellumora Test', '%s: exiftool reads Make' % ext)
            check(info.get('IFD0:Model') == 'Unit 1', '%s: exiftool reads Model' % ext)
            check(info.get('IFD0:Orientation') == 1, '%s: exiftool reads Orientation 1' % ext)
            check(info.get('ExifIFD:DateTimeOriginal') == '2024:01:02 03:04:05', '%s: exiftool follows the Exif IFD' % ext)
            check(info.get('XMP-xmp:CreatorTool') == 'Vellumora 測試', '%s: exiftool reads the XMP' % ext)
            check(info.get('XMP-tiff:Make') == 'Vellumora', '%s: exiftool reads the XMP element' % ext)
            check('XMP-tiff:Orientation' not in info, '%s: no XMP orientation left' % ext)
            check(info.get('ICC-header:ProfileFileSignature') == 'acsp', '%s: exiftool reads the ICC header' % ext)
            check(info.get('ICC_Profile:ProfileDescription') == 'Vellumora test profile', '%s: ICC description' % ext)
            warnings = [k for k in info if k.endswith(':Warning') or k.endswith(':Error')]
            check(not warnings, '%s: exiftool warnings %s' % (ext, [info[k] for k in warnings]))
            check(exiftool_binary(exiftool, 'icc_profile', out) == icc, '%s: ICC profile equals the input' % ext)
            check(exiftool_binary(exiftool, 'xmp', out) == kept_xmp, '%s: XMP packet equals the input' % ext)
            exif = exiftool_binary(exiftool, 'exif', out)
            check(exif == kept_exif[6:], '%s: Exif block equals the input' % ext)

        if magick:
            result = run([magick, out, '-format', '%wx%h', 'info:'])
            check(result.returncode == 0 and result.stdout == b'24x16', '%s: ImageMagick decodes the output' % ext)

    png = open(path('out.png'), 'rb').read()
    chunks = png_chunks(png)
    check(all(ok for _, _, ok in chunks), 'png: every chunk CRC verifies with zlib.crc32')
    check([t for t, _, _ in chunks[:4]] == [b'IHDR', b'eXIf', b'iCCP', b'iTXt'], 'png: chunk order')
    iccp = [body for t, body, _ in chunks if t == b'iCCP']
    check(len(iccp) == 1 and iccp[0][:5] == b'ICC\0\0' and zlib.decompress(iccp[0][5:]) == icc,
          'png: iCCP inflates with zlib to the profile')
    if pngcheck:
        result = run([pngcheck, '-v', path('out.png')])
        text = result.stdout.decode('latin-1')
        check(result.returncode == 0 and 'No errors detected' in text, 'png: pngcheck -v passes\n' + text[-2000:])
        for t in ('eXIf', 'iCCP', 'iTXt'):
            check('chunk ' + t in text, 'png: pngcheck lists %s' % t)

    print('%d checks, %d failed' % (checks, len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
