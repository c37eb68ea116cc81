// Cuts a byte stream into lines. A pipe hands over chunks that need not end at a line break,
// may hold several lines, and may split a multi-byte character, so lines are assembled from
// bytes and decoded only once complete. A line longer than the bound is an error as soon as
// the bound is passed: the reader never holds more than that many bytes of an unfinished line.

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
