// Min/max decimation for drawing. A plot a few hundred pixels wide cannot show
// 30 000 samples per channel, and 128 channels redrawn from their raw samples
// every frame would not keep up; so samples are folded as they arrive into
// buckets of B consecutive positions (aligned to multiples of B, so a finished
// bucket never changes), and a bucket is drawn as two points: its lowest and
// its highest value, in the order they came. Every point drawn is a sample
// value as published. A jump in positions (or a gap marked at a position)
// closes the bucket before it and is drawn as a null point, which uPlot
// leaves as a break in the line.

export class Decimator {
  constructor(channelCount) {
    this.channelCount = channelCount;
    this.reset(1);
  }

  reset(bucketSize) {
    this.bucketSize = bucketSize;
    this.first = []; // position of each bucket's first sample
    this.last = []; //  and of its last
    this.gapAfter = []; // samples are missing between this bucket and the next
    this.lo = [];
    this.hi = [];
    this.loAt = [];
    this.hiAt = [];
    for (let c = 0; c < this.channelCount; ++c) {
      this.lo.push([]);
      this.hi.push([]);
      this.loAt.push([]);
      this.hiAt.push([]);
    }
    this.start = 0; // buckets before this one have left the window
  }

  // brokenBefore: samples are missing just before this one although its
  // position follows on (a gap whose size the publisher did not know).
  add(position, values, offset, brokenBefore = false) {
    const j = this.first.length - 1;
    if (j >= this.start) {
      if (position !== this.last[j] + 1 || brokenBefore) {
        this.gapAfter[j] = true;
      } else if (Math.floor(position / this.bucketSize) === Math.floor(this.first[j] / this.bucketSize)) {
        this.last[j] = position;
        for (let c = 0; c < this.channelCount; ++c) {
          const v = values[offset + c];
          if (v < this.lo[c][j]) {
            this.lo[c][j] = v;
            this.loAt[c][j] = position;
          }
          if (v > this.hi[c][j]) {
            this.hi[c][j] = v;
            this.hiAt[c][j] = position;
          }
        }
        return;
      }
    }
    this.first.push(position);
    this.last.push(position);
    this.gapAfter.push(false);
    for (let c = 0; c < this.channelCount; ++c) {
      const v = values[offset + c];
      this.lo[c].push(v);
      this.hi[c].push(v);
      this.loAt[c].push(position);
      this.hiAt[c].push(position);
    }
  }

  // Forgets the buckets that end before position; the arrays are compacted
  // once the forgotten part is the larger.
  trim(position) {
    const n = this.first.length;
    while (this.start < n && this.last[this.start] < position) ++this.start;
    if (this.start > 1024 && this.start * 2 > n) {
      const s = this.start;
      for (const a of [this.first, this.last, this.gapAfter, ...this.lo, ...this.hi, ...this.loAt, ...this.hiAt]) {
        a.splice(0, s);
      }
      this.start = 0;
    }
  }

  // uPlot data for each channel from position `from` on: [xs, ys_0, ys_1, ...]
  // with x = position × xPerSample (the period in seconds: stream time).
  plotData(from, xPerSample) {
    const xs = [];
    const ys = [];
    for (let c = 0; c < this.channelCount; ++c) ys.push([]);
    const n = this.first.length;
    const finite = (v) => (Number.isFinite(v) ? v : null);
    for (let j = this.start; j < n; ++j) {
      if (this.last[j] < from) continue;
      xs.push(this.first[j] * xPerSample, this.last[j] * xPerSample);
      for (let c = 0; c < this.channelCount; ++c) {
        const loFirst = this.loAt[c][j] <= this.hiAt[c][j];
        const lo = finite(this.lo[c][j]);
        const hi = finite(this.hi[c][j]);
        ys[c].push(loFirst ? lo : hi, loFirst ? hi : lo);
      }
      if (this.gapAfter[j] && j + 1 < n) {
        xs.push(((this.last[j] + this.first[j + 1]) / 2) * xPerSample);
        for (let c = 0; c < this.channelCount; ++c) ys[c].push(null);
      }
    }
    return [xs, ...ys];
  }
}
