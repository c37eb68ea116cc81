// The line reader alone: lines put together from any chunking, and the bound on a line.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { LineReader } from '../dist/cjs/line_reader.js';

function read(chunks, maxLineBytes = 1 << 20) {
  const lines = [];
  const overflows = [];
  const reader = new LineReader(maxLineBytes, (line) => lines.push(line), (bytes) => overflows.push(bytes));
  for (const chunk of chunks) reader.push(Buffer.from(chunk));
  return { lines, overflows, reader };
}

/** Cuts `bytes` at the given offsets. */
function cut(bytes, offsets) {
  const chunks = [];
  let start = 0;
  for (const at of [...offsets, bytes.length]) {
    chunks.push(bytes.subarray(start, at));
    start = at;
  }
  return chunks;
}

describe('lines from chunks', () => {
  const text = '{"ok":true,"requestId":1}\n{"ok":true,"note":"é€😀"}\r\n\n{"last":1}\n';
  const bytes = Buffer.from(text);
  const expected = ['{"ok":true,"requestId":1}', '{"ok":true,"note":"é€😀"}', '', '{"last":1}'];
  const euro = bytes.indexOf(0xe2);
  const rows = [
    ['all at once', [bytes]],
    ['one byte at a time', [...bytes].map((b) => Buffer.from([b]))],
    ['cut inside a three-byte character', cut(bytes, [euro + 1])],
    ['cut inside a four-byte character', cut(bytes, [bytes.indexOf(0xf0) + 2])],
    ['cut between CR and LF', cut(bytes, [bytes.indexOf(0x0d) + 1])],
    ['cut right after a line feed', cut(bytes, [bytes.indexOf(0x0a) + 1])],
    ['cut in many places', cut(bytes, [3, 10, 26, 27, euro + 2, bytes.length - 2])],
  ];
  for (const [name, chunks] of rows) {
    it(name, () => {
      const { lines, overflows, reader } = read(chunks);
      assert.deepEqual(lines, expected);
      assert.deepEqual(overflows, []);
      assert.equal(reader.bufferedBytes, 0);
    });
  }

  it('keeps an unfinished line until its line feed comes', () => {
    const { lines, reader } = read(['{"a":', '1}']);
    assert.deepEqual(lines, []);
    assert.equal(reader.bufferedBytes, 7);
    reader.push(Buffer.from('\n'));
    assert.deepEqual(lines, ['{"a":1}']);
  });
});

describe('the bound on a line', () => {
  it('a line of exactly the bound is delivered; one byte more is an overflow', () => {
    assert.deepEqual(read(['x'.repeat(16) + '\n'], 16).lines, ['x'.repeat(16)]);
    const over = read(['x'.repeat(10), 'x'.repeat(7) + '\nnext\n'], 16);
    assert.deepEqual(over.lines, []);
    assert.deepEqual(over.overflows, [17]);
  });

  it('10 MB without a line feed: fails at the bound and never holds more than the bound', () => {
    const bound = 65_536;
    const lines = [];
    const overflows = [];
    const reader = new LineReader(bound, (line) => lines.push(line), (bytes) => overflows.push(bytes));
    const chunk = Buffer.alloc(64 * 1024 - 7, 0x78);
    let peak = 0;
    for (let sent = 0; sent < 10 * 1024 * 1024; sent += chunk.length) {
      reader.push(chunk);
      peak = Math.max(peak, reader.bufferedBytes);
    }
    reader.push(Buffer.from('\n{"ok":true}\n'));
    assert.ok(peak <= bound, `held ${peak} bytes`);
    assert.equal(overflows.length, 1);
    assert.ok(overflows[0] > bound);
    assert.deepEqual(lines, [], 'nothing is delivered after an overflow');
    assert.equal(reader.bufferedBytes, 0);
  });
});
