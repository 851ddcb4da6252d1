// What @monogrid/gainmap-js reads from a gain-map JPEG, as one line of JSON: its extraction of
// the two images through the MPF index (with the metadata it prefers: ISO 21496-1, else XMP),
// and the gain map image's own hdrgm XMP and ISO 21496-1 metadata read separately.
//   node gain_map_probe.mjs PACKAGE_DIR FILE.jpg     (exits non-zero when it refuses the file)
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [dir, file] = process.argv.slice(2);
const g = await import(pathToFileURL(join(dir, 'dist', 'decode.js')).href);
const { sdr, gainMap, metadata } = await g.extractGainmapFromJPEG(new Uint8Array(readFileSync(file)));
const isJpeg = (b) => b.length > 2 && b[0] === 0xff && b[1] === 0xd8;
console.log(JSON.stringify({
  sdrIsJpeg: isJpeg(sdr), gainMapIsJpeg: isJpeg(gainMap), gainMapLength: gainMap.length, metadata,
  gainMapXmp: g.extractXMP(gainMap) ?? null, gainMapIso: g.extractISO(gainMap) ?? null,
}));
