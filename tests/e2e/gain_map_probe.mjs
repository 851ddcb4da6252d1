// What @monogrid/gainmap-js reads from a gain-map JPEG, as one line of JSON: the gain map it
// extracts through the MPF index with the metadata it prefers, and the gain map's own ISO 21496-1.
//   node gain_map_probe.mjs PACKAGE_DIR FILE.jpg     (exits non-zero when it refuses the file)
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [dir, file] = process.argv.slice(2);
const g = await import(pathToFileURL(join(dir, 'dist', 'decode.js')).href);
const { gainMap, metadata } = await g.extractGainmapFromJPEG(new Uint8Array(readFileSync(file)));
console.log(JSON.stringify({ gainMapLength: gainMap.length, metadata, gainMapIso: g.extractISO(gainMap) ?? null }));
