// Decodes a LAZ file with laz-perf (a LAZ decoder compiled to WebAssembly) and writes its header and
// points, as a decompressor run from the command line does: the peer of `pontaro-las decompress` in the
// compression benchmark. Usage: node lazperf_decode.js MODULE_DIR IN.laz OUT
'use strict';
const fs = require('fs');
const path = require('path');

async function main() {
  const [moduleDir, input, output] = process.argv.slice(2);
  const { createLazPerf } = require(path.join(moduleDir, 'laz-perf'));
  const lp = await createLazPerf();
  const laz = fs.readFileSync(input);
  const inPtr = lp._malloc(laz.length);
  lp.HEAPU8.set(laz, inPtr);
  const zip = new lp.LASZip();
  zip.open(inPtr, laz.length);
  const count = zip.getCount();
  const length = zip.getPointLength();
  const offset = laz.readUInt32LE(96); // offset to the point data
  const out = Buffer.allocUnsafe(offset + count * length);
  laz.copy(out, 0, 0, offset);
  out[104] &= 0x3f; // the compression bits of the point format
  const pointPtr = lp._malloc(length);
  for (let i = 0, at = offset; i < count; ++i, at += length) {
    zip.getPoint(pointPtr);
    out.set(lp.HEAPU8.subarray(pointPtr, pointPtr + length), at);
  }
  fs.writeFileSync(output, out);
  zip.delete();
  lp._free(pointPtr);
  lp._free(inPtr);
}

main().catch((e) => {
  console.error(e.message || e);
  process.exit(1);
});
