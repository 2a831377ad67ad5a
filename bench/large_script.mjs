// Writes a large CommonJS module for the large-app benchmark when no real one can be
// fetched: about SIZE bytes (default 9 MB) of varied functions, classes and tables, most
// of which, as in a real library, run only when called.
//
//   node large_script.mjs OUT [SIZE]

import { writeFileSync } from 'node:fs';

const [out, sizeText] = process.argv.slice(2);
if (!out) {
  process.stderr.write('usage: node large_script.mjs OUT [SIZE]\n');
  process.exit(2);
}
const size = Number(sizeText ?? 9_000_000);

// A small deterministic generator, so that every run writes the same file.
let seed = 0x2545f491;
const next = () => {
  seed ^= seed << 13;
  seed ^= seed >>> 17;
  seed ^= seed << 5;
  return seed >>> 0;
};
const pick = (list) => list[next() % list.length];
const words = ['node', 'token', 'scope', 'symbol', 'range', 'source', 'emit', 'check', 'bind',
  'parse', 'walk', 'visit', 'flags', 'kind', 'text', 'name', 'type', 'value', 'list', 'map'];

function unit(i) {
  const a = pick(words), b = pick(words), c = pick(words);
  switch (i % 4) {
    case 0:
      return `function ${a}_${b}_${i}(${c}, options) {
  const result = [];
  for (let index = 0; index < ${c}.length; index++) {
    const item = ${c}[index];
    if (item && item.${a} === ${next() % 97}) result.push({ ${b}: item.${b}, at: index });
    else if (typeof item === 'string' && item.startsWith('${a}')) result.push(item.slice(${next() % 7}));
  }
  return options && options.sorted ? result.sort((x, y) => x.at - y.at) : result;
}
exports.${a}_${b}_${i} = ${a}_${b}_${i};
`;
    case 1:
      return `class ${a[0].toUpperCase()}${a.slice(1)}${b[0].toUpperCase()}${b.slice(1)}${i} {
  constructor(${c}) { this.${c} = ${c}; this.count = ${next() % 1000}; this.cache = new Map(); }
  get(key) {
    if (!this.cache.has(key)) this.cache.set(key, String(key).split('').reverse().join('') + '${b}');
    return this.cache.get(key);
  }
  update(delta) { this.count += delta | 0; return this.count > ${next() % 5000} ? '${c}' : null; }
}
exports.C${i} = ${a[0].toUpperCase()}${a.slice(1)}${b[0].toUpperCase()}${b.slice(1)}${i};
`;
    case 2:
      return `const table_${i} = Object.freeze({ ${words.slice(0, 8).map((w) => `${w}: ${next() % 10000}`).join(', ')} });
function lookup_${i}(key, fallback = ${next() % 50}) {
  switch (key) {
    case '${a}': return table_${i}.node + fallback;
    case '${b}': return table_${i}.token * 2;
    case '${c}': return Math.max(table_${i}.scope, fallback);
    default: return key in table_${i} ? table_${i}[key] : fallback;
  }
}
exports.lookup_${i} = lookup_${i};
`;
    default:
      return `const ${a}Visitor_${i} = {
  enter(node, state) { state.depth = (state.depth || 0) + 1; return node.kind !== ${next() % 300}; },
  leave(node, state) { state.depth--; if (state.depth < 0) throw new Error('${a} ${b} ${c} unbalanced'); },
  text(node) { return \`\${node.kind}:\${node.${b} ?? '${c}'}\`; },
};
exports.${a}Visitor_${i} = ${a}Visitor_${i};
`;
  }
}

const parts = ["'use strict';\n// Generated for a benchmark: a large module, mostly functions that run only when called.\n"];
let length = parts[0].length;
for (let i = 0; length < size; i++) {
  const text = unit(i);
  parts.push(text);
  length += text.length;
}
parts.push(`exports.ready = ${parts.length};\n`);
writeFileSync(out, parts.join(''));
