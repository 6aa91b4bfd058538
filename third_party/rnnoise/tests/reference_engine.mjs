// Runs the RNNoise WebAssembly module in Node's own WebAssembly engine, as a reference for the
// natively compiled translation.
//
//   node reference_engine.mjs <module.wasm> <input.f32> <output.f32>
//
// input: raw little-endian float32 samples, a whole number of 480-sample frames.
// output: for every frame, its 480 denoised samples followed by the voice probability (float32).
import fs from 'node:fs';

const [wasmPath, inputPath, outputPath] = process.argv.slice(2);
const frame = 480;

let memory;
// emscripten imports, resolved by their names in the module's name section.
const host = {
  emscripten_resize_heap(requested) {
    const wanted = Math.ceil((requested >>> 0) / 65536) - memory.buffer.byteLength / 65536;
    if (wanted <= 0) return 1;
    try { memory.grow(wanted); return 1; } catch { return 0; }
  },
  emscripten_memcpy_big(dest, src, size) {
    new Uint8Array(memory.buffer).copyWithin(dest, src, src + size);
  },
};

const module = await WebAssembly.compile(fs.readFileSync(wasmPath));
const names = functionNames(module);
const imports = {};
for (const imp of WebAssembly.Module.imports(module).filter((i) => i.kind === 'function')) {
  imports[imp.module] ??= {};
  imports[imp.module][imp.name] = host[names.imports.shift()];
}
const instance = await WebAssembly.instantiate(module, imports);
const exportOf = (name) => instance.exports[names.exports.get(name)];
memory = Object.values(instance.exports).find((e) => e instanceof WebAssembly.Memory);

exportOf('__wasm_call_ctors')();
const state = exportOf('rnnoise_create')(0);
const inAddress = exportOf('malloc')(frame * 4);
const outAddress = exportOf('malloc')(frame * 4);

const raw = fs.readFileSync(inputPath);
const input = new Float32Array(raw.buffer.slice(raw.byteOffset, raw.byteOffset + raw.length));
const frames = input.length / frame;
const result = new Float32Array(frames * (frame + 1));
for (let f = 0; f < frames; f++) {
  new Float32Array(memory.buffer, inAddress, frame).set(input.subarray(f * frame, (f + 1) * frame));
  const p = exportOf('rnnoise_process_frame')(state, outAddress, inAddress);
  result.set(new Float32Array(memory.buffer, outAddress, frame), f * (frame + 1));
  result[f * (frame + 1) + frame] = p;
}
fs.writeFileSync(outputPath, Buffer.from(result.buffer));

// Original names of the imported functions (in import order) and of the exported functions
// (name -> export field), read from the module's "name" custom section and export section.
function functionNames(mod) {
  const bytes = new Uint8Array(WebAssembly.Module.customSections(mod, 'name')[0]);
  const byIndex = new Map();
  let at = 0;
  const leb = () => { let v = 0, s = 0, b; do { b = bytes[at++]; v |= (b & 127) << s; s += 7; } while (b & 128); return v >>> 0; };
  while (at < bytes.length) {
    const id = bytes[at++];
    const end = leb() + at;
    if (id === 1) {
      for (let n = leb(); n > 0; n--) {
        const index = leb();
        const length = leb();
        byIndex.set(index, new TextDecoder().decode(bytes.subarray(at, at + length)));
        at += length;
      }
    }
    at = end;
  }
  const importCount = WebAssembly.Module.imports(mod).filter((i) => i.kind === 'function').length;
  const imports = [...Array(importCount).keys()].map((i) => byIndex.get(i));
  const exports = new Map();
  for (const [name, field] of exportedFunctions(fs.readFileSync(wasmPath), byIndex)) {
    exports.set(name, field);
  }
  return { imports, exports };
}

// [function name, export field] pairs from the binary's export section (id 7).
function exportedFunctions(binary, byIndex) {
  const b = new Uint8Array(binary);
  let at = 8;
  const leb = () => { let v = 0, s = 0, x; do { x = b[at++]; v |= (x & 127) << s; s += 7; } while (x & 128); return v >>> 0; };
  const pairs = [];
  while (at < b.length) {
    const id = b[at++];
    const size = leb();
    const end = at + size;
    if (id === 7) {
      for (let n = leb(); n > 0; n--) {
        const length = leb();
        const field = new TextDecoder().decode(b.subarray(at, at + length));
        at += length;
        const kind = b[at++];
        const index = leb();
        if (kind === 0) pairs.push([byIndex.get(index), field]);
      }
    }
    at = end;
  }
  return pairs;
}
