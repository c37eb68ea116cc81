// Cuts a byte stream into lines. A pipe hands over chunks that need not end at a line break,
// may hold several lines, and may split a multi-byte character, so lines are assembled from
// bytes and decoded only once complete. A line longer than the bound is an error as soon as
// the bound is passed: the reader never holds more than that many bytes of an unfinished line.

import type { Readable } from 'node:stream';
import { StringDecoder } from 'node:string_decoder';

export class LineReader {
  private parts: Buffer[] = [];
  private partBytes = 0;
  private failed = false;

  /**
   * `onLine` receives each complete line without its line feed (and without a carriage
   * return just before it). `onOverflow` is called once when a line grows past
   * `maxLineBytes`; nothing is delivered after that.
   */
  constructor(
    private readonly maxLineBytes: number,
    private readonly onLine: (line: string) => void,
    private readonly onOverflow: (bytes: number) => void,
  ) {}

  /** Bytes of the unfinished line held now. */
  get bufferedBytes(): number {
    return this.partBytes;
  }

  push(chunk: Buffer): void {
    let start = 0;
    while (!this.failed && start < chunk.length) {
      const end = chunk.indexOf(0x0a, start);
      if (end === -1) {
        this.keep(chunk.subarray(start));
        return;
      }
      if (this.partBytes + (end - start) > this.maxLineBytes) {
        this.overflow(this.partBytes + (end - start));
        return;
      }
      let line: Buffer;
      if (this.partBytes === 0) {
        line = chunk.subarray(start, end);
      } else {
        this.parts.push(chunk.subarray(start, end));
        line = Buffer.concat(this.parts, this.partBytes + (end - start));
        this.parts = [];
        this.partBytes = 0;
      }
      start = end + 1;
      const length = line.length > 0 && line[line.length - 1] === 0x0d ? line.length - 1 : line.length;
      this.onLine(line.toString('utf8', 0, length));
    }
  }

  private keep(rest: Buffer): void {
    if (this.partBytes + rest.length > this.maxLineBytes) {
      this.overflow(this.partBytes + rest.length);
      return;
    }
    // A copy: the stream may reuse the chunk's memory, and a small remainder must not keep
    // a large chunk alive.
    this.parts.push(Buffer.from(rest));
    this.partBytes += rest.length;
  }

  private overflow(bytes: number): void {
    this.failed = true;
    this.parts = [];
    this.partBytes = 0;
    this.onOverflow(bytes);
  }
}

/**
 * Reads `stream` as UTF-8 text and calls `onLine` for every line, without its line break;
 * a line longer than `maxChars` UTF-16 units comes in pieces of at most that many, and a last
 * line without a line break comes when the stream ends. For diagnostic output, which is
 * shown, not parsed: a long line is not a fault there.
 */
export function readTextLines(stream: Readable, maxChars: number, onLine: (line: string) => void): void {
  const decoder = new StringDecoder('utf8');
  let pending = '';
  const deliver = (line: string) => onLine(line.endsWith('\r') ? line.slice(0, -1) : line);
  const take = (text: string) => {
    pending += text;
    for (let end = pending.indexOf('\n'); end !== -1; end = pending.indexOf('\n')) {
      deliver(pending.slice(0, end));
      pending = pending.slice(end + 1);
    }
    while (pending.length > maxChars) {
      // Never between the two halves of a surrogate pair.
      const cut = /[\uD800-\uDBFF]/.test(pending[maxChars - 1]!) ? maxChars - 1 : maxChars;
      deliver(pending.slice(0, cut));
      pending = pending.slice(cut);
    }
  };
  stream.on('data', (chunk: Buffer) => take(decoder.write(chunk)));
  stream.on('end', () => {
    take(decoder.end());
    if (pending.length > 0) deliver(pending);
    pending = '';
  });
  stream.on('error', () => {});
}
